"""The `tesvorn` command, run as the installed console script on copies of
corpus files: an edit changes exactly its own lines, `check` passes the
whole corpus, and an error leaves every file as it was."""

import difflib
import pathlib
import resource
import shutil
import signal
import subprocess
import sysconfig

import pytest

from testdata import corpus_files

COMMAND = pathlib.Path(sysconfig.get_path("scripts")) / "tesvorn"
CONFIG = pathlib.Path(__file__).resolve().parents[2] / "examples" / "config.yaml"

K8S = "GoogleCloudPlatform__kubernetes-engine-samples/"
# w: a workflow without a final line break; k: a manifest whose annotation key
# holds dots; c: five documents with CRLF line breaks.
FILES = {
    "w.yml": "actions__starter-workflows/ci__go.yml",
    "k.yaml": K8S + "networking__load-balancing__basic-ingress-static.yaml",
    "c.yaml": K8S + "ai-ml__infw-gw__examples__getting-started__inference-pool-variables.yaml",
}
MADE = {"bad.yaml": b"a: [1, 2\n", "dup.yaml": b"a: 1\nb: 2\na: 3\n", "latin.yaml": b"a: \xe9\n",
        "keep.yaml": b"a:\n  b: |+\n    x\n\n\nc: 1\n"}


def run(*args: str, cwd: pathlib.Path, stdin: bytes = b"", **kwargs) -> subprocess.CompletedProcess[bytes]:
    if not COMMAND.exists():
        pytest.fail(f"{COMMAND} is not installed (make module installs it)")
    pipes = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE}
    return subprocess.run([str(COMMAND), *args], cwd=cwd, input=stdin, **(pipes | kwargs))


@pytest.fixture
def work(corpus, tmp_path) -> pathlib.Path:
    for name, source in FILES.items():
        shutil.copyfile(corpus / source, tmp_path / name)
    for name, data in MADE.items():
        (tmp_path / name).write_bytes(data)
    return tmp_path


def snapshot(folder: pathlib.Path) -> dict[str, bytes]:
    return {p.name: p.read_bytes() for p in folder.iterdir()}


def changed_lines(before: bytes, after: bytes) -> tuple[list[str], list[str]]:
    """(removed, added) lines, split at "\\n" only, so a CR stays in its line."""
    a, b = before.decode().split("\n"), after.decode().split("\n")
    removed, added = [], []
    for tag, i1, i2, j1, j2 in difflib.SequenceMatcher(a=a, b=b, autojunk=False).get_opcodes():
        removed += a[i1:i2] if tag in ("replace", "delete") else []
        added += b[j1:j2] if tag in ("replace", "insert") else []
    return removed, added


EDITS = [  # file, arguments, removed lines, added lines
    ("w.yml", ["set", "jobs.build.runs-on", "ubuntu-24.04"],
     ["    runs-on: ubuntu-latest"], ["    runs-on: ubuntu-24.04"]),
    ("w.yml", ["set", "--string", "jobs.build.steps[1].with.go-version", "1.22"],
     ["        go-version: '1.20'"], ["        go-version: '1.22'"]),
    # A flow VALUE goes into a block file in block style.
    ("w.yml", ["set", "jobs.build.env", '{CGO_ENABLED: "0"}'], [],
     ["    env:", '      CGO_ENABLED: "0"']),
    ("w.yml", ["set", "--create", "env.GOFLAGS", "--", "-mod=readonly"],
     [], ["env:", "  GOFLAGS: '-mod=readonly'"]),
    ("w.yml", ["delete", "jobs.build.steps[0]"], ["    - uses: actions/checkout@v4", ""], []),
    ("w.yml", ["insert", "on.push.branches", "-1", "main"],
     ["    branches: [ $default-branch ]"], ["    branches: [ $default-branch, main ]"]),
    ("w.yml", ["insert", "jobs.build.steps", "1", "{uses: actions/cache@v4}"],
     [], ["    - uses: actions/cache@v4"]),
    ("k.yaml", ["set", 'metadata.annotations."kubernetes.io/ingress.global-static-ip-name"', "ip-2"],
     ['    kubernetes.io/ingress.global-static-ip-name: "web-static-ip"'],
     ['    kubernetes.io/ingress.global-static-ip-name: "ip-2"']),
    ("c.yaml", ["set", "--doc", "2", "spec.replicas", "3"],
     ["  replicas: ${REPLICAS:-1}\r"], ["  replicas: 3\r"]),
    ("c.yaml", ["set", "--all-docs", "metadata.namespace", "team-a"],
     ["  namespace: ${NAMESPACE:-default}\r"] * 2, ["  namespace: team-a\r"] * 5),
    # Only the Service has spec.ports: the other documents are left alone, not half edited.
    ("c.yaml", ["set", "--all-docs", "--create", "spec.ports[0].name", "grpc"], [], ["      name: grpc\r"]),
    # The blank line after the deleted or replaced nested collection stays. (Of the two equal
    # "branches" lines, the diff takes the first as the deleted one.)
    ("w.yml", ["delete", "on.pull_request"], ["    branches: [ $default-branch ]", "  pull_request:"], []),
    ("w.yml", ["set", "jobs.build.steps[0]", "uses: actions/checkout@v5"],
     ["    - uses: actions/checkout@v4"], ["    - uses: actions/checkout@v5"]),
]


class TestEdits:
    @pytest.mark.parametrize("name, args, removed, added", EDITS)
    def test_changes_only_the_edits_lines(self, work, name, args, removed, added):
        before = (work / name).read_bytes()
        printed = run(args[0], name, *args[1:], cwd=work)
        assert printed.returncode == 0, printed.stderr
        in_place = run(args[0], "-i", name, *args[1:], cwd=work)
        assert (in_place.returncode, in_place.stdout, in_place.stderr) == (0, b"", b"")
        assert (work / name).read_bytes() == printed.stdout
        assert changed_lines(before, printed.stdout) == (removed, added)

    def test_in_place_keeps_mode_and_link(self, work):
        (work / "c.yaml").chmod(0o640)
        (work / "link.yaml").symlink_to("c.yaml")
        assert run("set", "-i", "link.yaml", "kind", "Pool", cwd=work).returncode == 0
        assert (work / "link.yaml").is_symlink() and b"kind: Pool\r\n" in (work / "c.yaml").read_bytes()
        assert (work / "c.yaml").stat().st_mode & 0o777 == 0o640


GETS = [  # file (fed on stdin as "-" too), arguments, output
    ("w.yml", ["jobs.build.runs-on"], "ubuntu-latest\n"),
    ("w.yml", ["jobs.build.steps[-1].run"], "go test -v ./...\n"),
    ("w.yml", ["jobs.build.steps[1].with"], "go-version: '1.20'\n"),
    ("w.yml", ["on.push.branches"], "[ $default-branch ]\n"),
    ("k.yaml", ['metadata.annotations."kubernetes.io/ingress.global-static-ip-name"'], "web-static-ip\n"),
    ("c.yaml", ["kind"], "InferencePool\nService\nDeployment\nClusterRole\nClusterRoleBinding\n"),
    ("c.yaml", ["--doc", "-4", "spec.ports[0].port"], "${EXTENSION_GRPC_PORT:-9002}\n"),
    ("c.yaml", ["spec.replicas"], "${REPLICAS:-1}\n"),
    ("keep.yaml", ["a"], "b: |+\n  x\n\n\n"),  # the blank lines at its end are b's
    (CONFIG, ["service.port"], "0x1F90\n"),
]


class TestGet:
    @pytest.mark.parametrize("name, args, output", GETS)
    def test_prints_the_value(self, work, name, args, output):
        for file, stdin in ((str(name), b""), ("-", (work / name).read_bytes())):
            result = run("get", file, *args, cwd=work, stdin=stdin)
            assert (result.returncode, result.stdout.decode(), result.stderr) == (0, output, b"")


class TestCheck:
    def test_the_corpus_passes(self, corpus):
        result = run("check", *map(str, corpus_files(corpus)), cwd=corpus)
        assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")

    @pytest.mark.parametrize("name, error", [
        ("bad.yaml", "bad.yaml:2:1: while parsing a flow sequence, expected ',' or ']'"),
        ("dup.yaml", "dup.yaml:1: load and dump do not give the text back byte for byte from this line on"),
        ("latin.yaml", "latin.yaml: not UTF-8 (byte 3)"),
        ("gone.yaml", "gone.yaml: No such file or directory"),
    ])
    def test_a_failing_file_is_one_line(self, work, name, error):
        result = run("check", "w.yml", name, "c.yaml", cwd=work)
        assert (result.returncode, result.stdout, result.stderr.decode()) == (1, b"", error + "\n")


ERRORS = [  # arguments, exit code, start of the message
    (["get", "w.yml", "a..b"], 2, "tesvorn: bad PATH 'a..b': a key is missing at character 3"),
    (["set", "w.yml", "jobs.deploy.runs-on", "x"], 1, "tesvorn: jobs has no key deploy"),
    (["set", "--create", "w.yml", "jobs.build.steps[0].uses.x", "1"], 1,
     "tesvorn: jobs.build.steps[0].uses is a scalar"),
    (["set", "w.yml", "jobs.build.steps[9]", "x"], 1, "tesvorn: jobs.build.steps has no item [9] (4 items)"),
    (["set", "w.yml", "name", "[a"], 1, "tesvorn: VALUE:2:1: "),
    (["set", "--doc", "1", "w.yml", "name", "x"], 1, "tesvorn: no document 1 (the file has 1)"),
    (["set", "--doc", "0", "--all-docs", "w.yml", "name", "x"], 2,
     "tesvorn set: argument --all-docs: not allowed"),
    (["set", "-", "name", "x"], 2, "tesvorn: --in-place needs a file"),
    (["insert", "w.yml", "on.push.branches", "2", "x"], 1,
     "tesvorn: on.push.branches has 1 items: INDEX must be in -2..1"),
    (["insert", "w.yml", "on.push.branches", "x", "x"], 2, "tesvorn insert: argument INDEX: invalid int value"),
    (["delete", "w.yml", "name[0]"], 1, "tesvorn: name is a scalar, not a sequence"),
    (["set", "bad.yaml", "a", "1"], 1, "tesvorn: bad.yaml:2:1: while parsing a flow sequence"),
    (["set", "dup.yaml", "b", "1"], 1, "tesvorn: dup.yaml:1: load and dump do not give the text back"),
    (["frob", "w.yml"], 2, "tesvorn: argument COMMAND: invalid choice"),
]


class TestErrors:
    @pytest.mark.parametrize("args, code, message", ERRORS)
    def test_nothing_is_written(self, work, args, code, message):
        before = snapshot(work)
        edit = args[0] in ("set", "delete", "insert")
        result = run(*args[:1], *(["-i"] if edit else []), *args[1:], cwd=work)
        assert (result.returncode, result.stdout) == (code, b"")
        assert result.stderr.decode().startswith(message) and result.stderr.count(b"\n") == 1, result.stderr
        assert snapshot(work) == before

    def _no_big_files(self):
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (1000, 1000))

    def test_a_failed_write_changes_nothing(self, work):
        before = snapshot(work)
        in_place = run("set", "-i", "c.yaml", "kind", "Pool", cwd=work, preexec_fn=self._no_big_files)
        with open("/dev/full", "wb") as full:
            printed = run("set", "c.yaml", "kind", "Pool", cwd=work, stdout=full)
        assert in_place.stderr.decode() == "tesvorn: c.yaml: cannot write: File too large\n"
        assert printed.stderr.decode() == "tesvorn: cannot write to standard output: No space left on device\n"
        assert (in_place.returncode, printed.returncode) == (1, 1)
        assert snapshot(work) == before
