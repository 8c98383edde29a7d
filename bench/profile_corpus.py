"""A driver for profilers: loads_all (or loads_all then dumps_all) of every
corpus file, one file at a time, with no peer library in the process, so a
profile shows tesvorn's own work only.

    python bench/profile_corpus.py loads|dumps [--passes N] [--module-path DIR]

Instruction counts by function, for example (a module built with symbols):

    cmake -S . -B build/prof -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \\
        -DTESVORN_PYTHON=ON -DTESVORN_TESTS=OFF && cmake --build build/prof
    valgrind --tool=callgrind --toggle-collect='*fn_loads_all*' \\
        .venv/bin/python bench/profile_corpus.py loads --module-path build/prof
    callgrind_annotate --inclusive=yes callgrind.out.<pid>

(`*fn_dumps_all*` for dumps). `perf record -g` works the same way.
"""

import argparse
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "support"))

import testdata  # noqa: E402


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("work", choices=["loads", "dumps"])
    ap.add_argument("--passes", type=int, default=1)
    ap.add_argument("--module-path", default="", help="folder holding the tesvorn module to profile")
    args = ap.parse_args(argv)
    if args.module_path:
        sys.path.insert(0, args.module_path)
    import tesvorn

    root = testdata.find("corpus")
    if root is None:
        sys.exit(testdata.missing_message("corpus"))
    texts = [p.read_text(encoding="utf-8") for p in testdata.corpus_files(root)]
    docs = []
    for _ in range(args.passes if args.work == "loads" else 1):
        docs = []
        for text in texts:
            try:
                docs.append(tesvorn.loads_all(text))
            except tesvorn.TesvornError:
                pass
    if args.work == "dumps":
        for _ in range(args.passes):
            for d in docs:
                tesvorn.dumps_all(d)
    return 0


if __name__ == "__main__":
    sys.exit(main())
