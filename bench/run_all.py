"""Runs every bench/bench_*.py script in turn, each in its own process.

A script whose optional dependencies are not installed is skipped with a note
instead of failing the run; any other failure makes the run fail at the end.
Arguments after the script's own are passed to every benchmark.
"""

import pathlib
import re
import subprocess
import sys

MISSING = re.compile(r"ModuleNotFoundError: No module named '([^']+)'")


def main(argv: list[str]) -> int:
    here = pathlib.Path(__file__).resolve().parent
    scripts = sorted(here.glob("bench_*.py"))
    failed = []
    for script in scripts:
        print(f"== {script.name}", flush=True)
        proc = subprocess.run([sys.executable, str(script), *argv], cwd=here,
                              stderr=subprocess.PIPE, text=True)
        missing = MISSING.search(proc.stderr)
        if proc.returncode != 0 and missing:
            print(f"skipped: module {missing.group(1)!r} is not installed\n", flush=True)
            continue
        sys.stderr.write(proc.stderr)
        if proc.returncode != 0:
            failed.append(script.name)
        print(flush=True)
    if not scripts:
        print("no bench_*.py scripts found")
    if failed:
        print(f"failed: {', '.join(failed)}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
