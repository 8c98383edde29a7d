"""Round-trip fidelity over a corpus of hand-written YAML files.

For every file: load it (all documents), dump it, and classify the result:
byte-identical, equal data with different text (grouped by the cause of the
first difference), different data, or failure. Prints a table. The corpus
is found as the tests find it (tests/support/testdata.py).

    python bench/roundtrip_report.py [--show CAUSE] [--library tesvorn|ruamel]
    python bench/roundtrip_report.py --write-expected

--write-expected rewrites the list of corpus files that are not
byte-identical today (tests/python/corpus_not_identical.tsv).
"""

import argparse
import collections
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "support"))

import testdata  # noqa: E402
from fidelity import classify, first_difference, plain, same_data  # noqa: E402

EXPECTED_FILE = ROOT / "tests" / "python" / "corpus_not_identical.tsv"


def run_tesvorn(text: str):
    import tesvorn

    docs = tesvorn.loads_all(text)
    out = tesvorn.dumps_all(docs)
    again = tesvorn.loads_all(out)
    return docs, out, again


def run_ruamel(text: str):
    import io

    from ruamel.yaml import YAML

    yaml = YAML()
    docs = list(yaml.load_all(text))
    buf = io.StringIO()
    if len(docs) == 1:
        yaml.dump(docs[0], buf)
    else:
        yaml.dump_all(docs, buf)
    out = buf.getvalue()
    again = list(YAML().load_all(out))
    return docs, out, again


def read(path: pathlib.Path) -> str:
    # Bytes as they are: no newline translation, so CRLF files stay CRLF.
    return path.read_bytes().decode("utf-8")


def report(files, library: str, show: str | None = None, root: pathlib.Path | None = None):
    """The result table and the causes; returns (counts, causes, {file: cause}),
    the last for files whose text differs ("data differs" or "fails" when
    that is what happened)."""
    counts = collections.Counter()
    causes = collections.Counter()
    examples = collections.defaultdict(list)
    per_file = {}
    run = run_tesvorn if library == "tesvorn" else run_ruamel
    for path in files:
        name = path.relative_to(root).as_posix() if root else str(path)
        text = read(path)
        try:
            docs, out, again = run(text)
        except Exception as e:  # noqa: BLE001 - any failure is counted
            counts["fail"] += 1
            per_file[name] = "fails"
            examples["fail"].append(f"{name}: {type(e).__name__}: {str(e)[:160]}")
            continue
        if out == text:
            counts["identical"] += 1
            continue
        try:
            equal = same_data([plain(d) for d in docs], [plain(d) for d in again])
        except Exception:  # noqa: BLE001
            equal = False
        i, a, b = first_difference(text, out)
        if not equal:
            counts["data differs"] += 1
            per_file[name] = "data differs"
            examples["data differs"].append(f"{name}:{i + 1}\n  - {a!r}\n  + {b!r}")
            continue
        counts["equal data, text differs"] += 1
        cause = classify(text, out)
        per_file[name] = cause
        causes[cause] += 1
        examples[cause].append(f"{name}:{i + 1}\n  - {a!r}\n  + {b!r}")
    total = sum(counts.values())
    print(f"Round trip of {total} files with {library} (load all documents, dump, compare)")
    print(f"{'result':44} {'files':>6} {'share':>7}")
    for key in ("identical", "equal data, text differs", "data differs", "fail"):
        n = counts[key]
        print(f"{key:44} {n:6} {100 * n / max(total, 1):6.1f}%")
    if causes:
        print("\nFirst difference of the files whose text differs, by cause:")
        for cause, n in causes.most_common():
            print(f"  {cause:42} {n:6}")
    for key in ("data differs", "fail"):
        if examples[key]:
            print(f"\n{key}: first examples")
            for e in examples[key][:5]:
                print("  " + e.replace("\n", "\n  "))
    if show:
        print(f"\nexamples of {show!r}:")
        for e in examples.get(show, [])[:15]:
            print("  " + e.replace("\n", "\n  "))
    return counts, causes, per_file


def write_expected(per_file: dict[str, str], path: pathlib.Path) -> None:
    lines = ["# Corpus files whose text differs after load + dump with no edit, with the",
             "# cause of the first difference (tests/python/test_roundtrip.py checks it).",
             "# Regenerate with: .venv/bin/python bench/roundtrip_report.py --write-expected"]
    lines += [f"{name}\t{cause}" for name, cause in sorted(per_file.items())]
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--show", help="print examples of one cause")
    ap.add_argument("--library", default="tesvorn", choices=["tesvorn", "ruamel"])
    ap.add_argument("--write-expected", action="store_true",
                    help=f"rewrite {EXPECTED_FILE.relative_to(ROOT)} from this run")
    args = ap.parse_args(argv)
    if args.write_expected and args.library != "tesvorn":
        ap.error("--write-expected records tesvorn's results")
    corpus = testdata.find("corpus")
    if corpus is None:
        print(testdata.missing_message("corpus"), file=sys.stderr)
        return 1
    _, _, per_file = report(testdata.corpus_files(corpus), args.library, args.show, corpus)
    if args.write_expected:
        write_expected(per_file, EXPECTED_FILE)
        print(f"\nwrote {EXPECTED_FILE.relative_to(ROOT)}: {len(per_file)} files")
    return 0


if __name__ == "__main__":
    sys.exit(main())
