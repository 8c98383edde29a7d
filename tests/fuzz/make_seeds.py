"""Writes the seed corpus of a fuzz target into a folder (made at fuzz time,
never committed): every in.yaml of the YAML test suite (error cases too) and
every file of the corpus of real files, capped at MAX_LEN bytes.

    python tests/fuzz/make_seeds.py OUT_DIR [--python]

With --python each seed gets the harness's leading road byte (see
py_harness.py): the files are spread over the four roads, and the stream
road gets a line of read sizes in front.
"""

import argparse
import hashlib
import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
MAX_LEN = 16384


def find_dir(env: str, name: str) -> pathlib.Path | None:
    for cand in (os.environ.get(env), ROOT.parent / "shared" / name, pathlib.Path("/work/shared") / name):
        if cand and pathlib.Path(cand).is_dir():
            return pathlib.Path(cand)
    return None


def sources() -> list[pathlib.Path]:
    # The repository's own YAML always; the shared test data where present
    # (TESVORN_FUZZ_SEEDS=repo leaves it out, as on a machine without it).
    out = sorted((ROOT / "examples").glob("*.yaml"))
    if os.environ.get("TESVORN_FUZZ_SEEDS") == "repo":
        return out
    suite = find_dir("TESVORN_YAML_TEST_SUITE", "yaml-test-suite")
    if suite:
        out += sorted(suite.rglob("in.yaml"))
    corpus = find_dir("TESVORN_CORPUS", "corpus")
    if corpus:
        out += sorted(p for p in corpus.rglob("*") if p.suffix in (".yml", ".yaml"))
    return out


def main(argv=None) -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("out")
    ap.add_argument("--python", action="store_true")
    args = ap.parse_args(argv)
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    n = 0
    for i, path in enumerate(sources()):
        data = path.read_bytes()[:MAX_LEN]
        if args.python:
            road = i % 4
            data = bytes([road]) + (b"\x05\x01\x40\x11\n" if road == 1 else b"") + data
        (out / hashlib.sha1(data).hexdigest()).write_bytes(data)
        n += 1
    print(f"{n} seeds in {out}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
