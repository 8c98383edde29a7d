"""Round-trip fidelity over a corpus of hand-written YAML files.

For every file: load it (all documents), dump it, and classify the result:
byte-identical, equal data with different text (grouped by the cause of the
first difference), different data, or failure. Prints a table.

    python bench/roundtrip_report.py [--corpus DIR] [--show CAUSE] [--library tesvorn|ruamel]
"""

import argparse
import collections
import math
import os
import pathlib
import re
import sys

HERE = pathlib.Path(__file__).resolve().parent
DEFAULT_CORPUS_DIRS = [HERE.parent.parent / "shared" / "corpus", pathlib.Path("/work/shared/corpus")]


def corpus_files(root: pathlib.Path) -> list[pathlib.Path]:
    out = []
    for dirpath, _, names in os.walk(root):
        for name in names:
            if name.endswith((".yml", ".yaml")):
                out.append(pathlib.Path(dirpath) / name)
    return sorted(out)


def find_corpus(explicit: str | None) -> pathlib.Path | None:
    if explicit:
        return pathlib.Path(explicit)
    env = os.environ.get("TESVORN_CORPUS")
    for cand in ([pathlib.Path(env)] if env else []) + DEFAULT_CORPUS_DIRS:
        if cand.is_dir():
            return cand
    return None


def same_data(a, b) -> bool:
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    if isinstance(a, dict) and isinstance(b, dict):
        return list(a) == list(b) and all(same_data(a[k], b[k]) for k in a)
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same_data(x, y) for x, y in zip(a, b))
    return type(a) is type(b) and a == b


def plain(doc):
    return doc.to_python() if hasattr(doc, "to_python") else doc


def first_difference(src: str, out: str) -> tuple[int, str, str]:
    a, b = src.splitlines(), out.splitlines()
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i, x, y
    i = min(len(a), len(b))
    return i, a[i] if i < len(a) else "<end>", b[i] if i < len(b) else "<end>"


def classify(src: str, out: str) -> str:
    """A short name for the cause of the first difference."""
    if src.rstrip("\n") == out.rstrip("\n"):
        return "final line break"
    if src.replace("\r\n", "\n") == out:
        return "CRLF line ends"
    i, a, b = first_difference(src, out)
    if a.rstrip() == b.rstrip():
        return "trailing whitespace"
    strip_comment = re.compile(r"\s+#.*$")
    if "#" in a and "#" in b and strip_comment.sub("", a) == strip_comment.sub("", b):
        if re.sub(r"\s+#", " #", a) == re.sub(r"\s+#", " #", b):
            return "spacing before an inline comment"
        return "comment text or placement"
    if a.lstrip() == b.lstrip():
        if a.lstrip().startswith("- ") or b.lstrip().startswith("- "):
            return "indentation of sequences"
        return "indentation"
    if b == "---" or a == "---":
        return "document start marker"
    if a.strip() == "" or b.strip() == "":
        src_lines = src.splitlines()
        prev = src_lines[i - 1].lstrip() if 0 < i <= len(src_lines) else ""
        if a.strip() == "" and prev.startswith("#"):
            return "blank line after a comment"
        return "blank lines"
    if a.lstrip().startswith("#") or b.lstrip().startswith("#"):
        return "comment text or placement"
    if re.sub(r"""['"]""", "", a) == re.sub(r"""['"]""", "", b):
        return "quoting"
    if re.sub(r"\s+", "", a) == re.sub(r"\s+", "", b):
        return "spacing inside a line (flow collections, after colons)"
    if b.startswith(a.rstrip()) or a.startswith(b.rstrip()):
        return "folded plain or quoted scalars"
    if "|" in a or ">" in a or "|" in b or ">" in b:
        return "block scalars"
    return "other"


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


def report(files, library: str, show: str | None = None, root: pathlib.Path | None = None):
    counts = collections.Counter()
    causes = collections.Counter()
    examples = collections.defaultdict(list)
    run = run_tesvorn if library == "tesvorn" else run_ruamel
    for path in files:
        text = path.read_bytes().decode("utf-8")
        try:
            docs, out, again = run(text)
        except Exception as e:  # noqa: BLE001 - any failure is counted
            counts["fail"] += 1
            examples["fail"].append(f"{path}: {type(e).__name__}: {str(e)[:160]}")
            continue
        if out == text:
            counts["identical"] += 1
            continue
        try:
            equal = same_data([plain(d) for d in docs], [plain(d) for d in again])
        except Exception:  # noqa: BLE001
            equal = False
        if not equal:
            counts["data differs"] += 1
            i, a, b = first_difference(text, out)
            examples["data differs"].append(f"{path}:{i + 1}\n  - {a!r}\n  + {b!r}")
            continue
        counts["equal data, text differs"] += 1
        cause = classify(text, out)
        causes[cause] += 1
        i, a, b = first_difference(text, out)
        examples[cause].append(f"{path}:{i + 1}\n  - {a!r}\n  + {b!r}")
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
    return counts, causes


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--corpus")
    ap.add_argument("--show", help="print examples of one cause")
    ap.add_argument("--library", default="tesvorn", choices=["tesvorn", "ruamel"])
    args = ap.parse_args(argv)
    root = find_corpus(args.corpus)
    if root is None:
        print("corpus not found (set TESVORN_CORPUS or pass --corpus)")
        return 0
    report(corpus_files(root), args.library, args.show, root)
    return 0


if __name__ == "__main__":
    sys.exit(main())
