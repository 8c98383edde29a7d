"""Edit a commented configuration file by program and keep everything else.

Changes a value of examples/config.yaml with the `tesvorn` command, then
from Python renames a key where it stands, inserts an entry after another,
adds an entry with a comment and deletes one, and prints the result with a
diff against the original: the lines not touched (comments, quoting, hex
numbers, anchors, block scalars, blank lines) come back as they were.
"""

import difflib
import pathlib
import shlex
import subprocess
import sysconfig

import tesvorn

HERE = pathlib.Path(__file__).resolve().parent


def tesvorn_command(*args: str) -> str:
    """Runs the `tesvorn` command installed with the module and returns what it printed."""
    print("$ tesvorn " + shlex.join(args))
    command = pathlib.Path(sysconfig.get_path("scripts")) / "tesvorn"
    result = subprocess.run([str(command), *args], cwd=HERE, check=True, stdout=subprocess.PIPE)
    return result.stdout.decode("utf-8")


def main() -> None:
    original = (HERE / "config.yaml").read_text(encoding="utf-8")

    # Change a value from the shell: the entry keeps its place, its quotes
    # and its inline comment (-i would write the file in place).
    doc = tesvorn.loads(tesvorn_command("set", "config.yaml", "service.version", "2.5.0"))

    # Rename a key where it stands, and insert an entry right after another.
    service = doc["service"]
    service.rename_key("debug", "verbose")
    service.insert(list(service).index("port") + 1, "replicas", 3, comment="one per zone")

    # Add an entry with a comment above it.
    doc["features"]["dark-mode"] = True
    doc["features"].set_comment_before("dark-mode", "Rolled out to everyone on 1 December.")

    # Delete one: the legacy backend goes.
    backends = doc["backends"]
    for i, backend in enumerate(backends):
        if backend["name"] == "legacy-billing":
            del backends[i]
            break

    edited = tesvorn.dumps(doc)
    print("=== edited file ===")
    print(edited, end="")
    print("=== what changed ===")
    diff = difflib.unified_diff(original.splitlines(keepends=True), edited.splitlines(keepends=True),
                                "config.yaml", "config.yaml (edited)")
    print("".join(diff), end="")


if __name__ == "__main__":
    main()
