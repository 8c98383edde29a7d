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

sys.path.insert(0, str(ROOT / "tests" / "support"))
import testdata  # noqa: E402


def sources() -> list[pathlib.Path]:
    # The repository's own YAML always; the shared test data where present
    # (TESVORN_FUZZ_SEEDS=repo leaves it out, as on a machine without it).
    # Under `make test` missing data is an error: the CI runs would start
    # from other seeds.
    out = sorted((ROOT / "examples").glob("*.yaml"))
    if os.environ.get("TESVORN_FUZZ_SEEDS") == "repo":
        return out
    suite, corpus = testdata.find("yaml-test-suite"), testdata.find("corpus")
    for name, found in (("yaml-test-suite", suite), ("corpus", corpus)):
        if found is None:
            if testdata.required():
                sys.exit(f"make_seeds: {testdata.missing_message(name)}")
            print(f"make_seeds: {testdata.missing_message(name)}; seeding without it", file=sys.stderr)
    if suite:
        out += sorted(suite.rglob("in.yaml"))
    if corpus:
        out += testdata.corpus_files(corpus)
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
