"""Round-trip fidelity over the corpus of hand-written YAML files and the
YAML test suite, through the module's public API (`make roundtrip`):

1. corpus, load all documents and dump them with no edit: byte-identical,
   equal data with other text (grouped by the cause of the first
   difference), different data, or failure;
2. corpus comments: non-empty comment lines of the source missing from the
   dump (compared as a multiset of "# ..." texts), and the files losing any;
3. the test suite's valid cases: byte-identical, and the first differing
   line of the others;
4. edit locality: four edits on the first document of every corpus file
   whose first document is a mapping, each on a fresh load; the share of
   files whose diff against the source holds only the edit's lines;
5. text edits: the end of every string written over several lines (block
   scalars, folded plain and quoted scalars) changed, each on a fresh load;
   how many change exactly one line.

The data is found as the tests find it (tests/support/testdata.py).

    python bench/roundtrip_report.py [--show CAUSE] [--library tesvorn|ruamel]
    python bench/roundtrip_report.py --write-expected

--write-expected rewrites the list of corpus files that are not
byte-identical today (tests/python/corpus_not_identical.tsv) and prints it.
"""

import argparse
import collections
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "support"))

import testdata  # noqa: E402
from fidelity import (EDITS, classify, comment_texts, edit_locality, first_difference, plain,  # noqa: E402
                      same_data, text_end_edits)

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


def comments_report(files, root: pathlib.Path) -> None:
    import tesvorn

    def words(texts):
        # The text once '#' and spacing are left aside ("## a" written as "# # a").
        return collections.Counter(re.sub(r"[#\s]+", " ", t).strip() for t in texts.elements())

    total = lost = gone = gone_files = 0
    losing = []
    for path in files:
        text = read(path)
        try:
            out = tesvorn.dumps_all(tesvorn.loads_all(text))
        except Exception:  # noqa: BLE001 - counted in the table above
            continue
        src, got = comment_texts(text), comment_texts(out)
        total += sum(src.values())
        n = sum((src - got).values())
        if n:
            lost += n
            n_gone = sum((words(src) - words(got)).values())
            gone += n_gone
            gone_files += n_gone > 0
            losing.append((n, path.relative_to(root).as_posix()))
    print(f"\nComments (non-empty comment lines, as a multiset of '# ...' texts): {total} in the corpus")
    print(f"  lost or changed: {lost} ({100 * lost / max(total, 1):.1f}%) in {len(losing)} files "
          f"({100 * len(losing) / max(len(files), 1):.1f}%)")
    print(f"  of which gone altogether (not only their '#' or spacing changed): {gone}, "
          f"in {gone_files} files")
    for n, name in sorted(losing, key=lambda r: (-r[0], r[1]))[:5]:
        print(f"  {n:6}  {name}")


def suite_report(suite: pathlib.Path) -> None:
    import tesvorn

    cases = testdata.suite_cases(suite)
    others = []
    for case in cases:
        text = read(case / "in.yaml")
        cid = testdata.case_id(suite, case)
        try:
            out = tesvorn.dumps_all(tesvorn.loads_all(text))
        except Exception as e:  # noqa: BLE001 - listed
            others.append(f"{cid}: {type(e).__name__}: {str(e)[:100]}")
            continue
        if out != text:
            i, a, b = first_difference(text, out)
            others.append(f"{cid}: line {i + 1}: - {a!r} + {b!r}")
    same = len(cases) - len(others)
    print(f"\nYAML test suite, valid cases byte-identical after load + dump: {same} of {len(cases)} "
          f"({100 * same / max(len(cases), 1):.1f}%); the others, with their first differing line:")
    for line in others:
        print("  " + line)


def locality_report(files, root: pathlib.Path) -> None:
    import tesvorn

    mapping_files = []
    for path in files:
        text = read(path)
        try:
            docs = tesvorn.loads_all(text)
        except Exception:  # noqa: BLE001 - counted in the table above
            continue
        if docs and isinstance(docs[0], dict):
            mapping_files.append((path.relative_to(root).as_posix(), text))
    print(f"\nEdit locality: {len(mapping_files)} corpus files whose first document is a mapping; "
          "each edit on a fresh load, unified diff (no context) of the dump against the source.")
    for edit in EDITS:
        local, ended, skipped, worst = 0, 0, 0, []
        for name, text in mapping_files:
            try:
                result = edit_locality(text, edit)
            except Exception as e:  # noqa: BLE001 - a failed edit is not local
                worst.append((float("inf"), f"{name} ({type(e).__name__}: {str(e)[:60]})"))
                continue
            if result is None:
                skipped += 1
            elif result.local:
                local += 1
            else:
                worst.append((result.size, name))
                ended += result.ended
        tried = len(mapping_files) - skipped
        worst.sort(key=lambda r: (-r[0], r[1]))
        print(f"  {edit + ':':16} local in {local} of {tried} files ({100 * local / max(tried, 1):.1f}%), "
              f"{skipped} skipped; of the others, {ended} only because their last line gained the "
              f"line break it lacked ({100 * (local + ended) / max(tried, 1):.1f}% with them); "
              "worst (lines in the diff):")
        for size, name in worst[:5]:
            print(f"  {size:>22}  {name}")
    print("  (local: 1 line removed and 1 added for a changed value; 1 added line for an added key or\n"
          "  item; removed lines only, in one run, for a deleted key. Skipped: no such place to edit.\n"
          "  A text without a final line break gives a line added after its last one a line break.)")


def text_edits_report(files, root: pathlib.Path) -> None:
    tried, one_line, others = 0, 0, []
    for path in files:
        text = read(path)
        try:
            results = list(text_end_edits(text))
        except Exception as e:  # noqa: BLE001 - a file that fails is counted above
            others.append(f"{path.relative_to(root).as_posix()} ({type(e).__name__}: {str(e)[:60]})")
            continue
        for where, ok in results:
            tried += 1
            one_line += ok
            if not ok:
                others.append(f"{path.relative_to(root).as_posix()}: {where}")
    print(f"\nText edits: a word added at the end of each of the {tried} strings written over several "
          f"lines (block, folded plain and quoted scalars), each on a fresh load: {one_line} change "
          f"exactly one line ({100 * one_line / max(tried, 1):.1f}%); the first of the others:")
    for line in others[:5]:
        print("  " + line)


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
    files = testdata.corpus_files(corpus)
    _, _, per_file = report(files, args.library, args.show, corpus)
    if args.write_expected:
        write_expected(per_file, EXPECTED_FILE)
        print(f"\nwrote {EXPECTED_FILE.relative_to(ROOT)}: {len(per_file)} files")
        return 0
    if args.library != "tesvorn":
        return 0
    comments_report(files, corpus)
    suite = testdata.find("yaml-test-suite")
    if suite is None:
        print(testdata.missing_message("yaml-test-suite"), file=sys.stderr)
        return 1
    suite_report(suite)
    locality_report(files, corpus)
    text_edits_report(files, corpus)
    return 0


if __name__ == "__main__":
    sys.exit(main())
