"""The speed and memory figures tesvorn is held to, side by side with its peers
in one process: per-file loads of the real files of the corpus (as a program
reading config files does), a 10 MB generated config document, dumps of the
loaded corpus, ruamel.yaml's round-trip loader, and the peak memory of loads
on three inputs (the corpus as one stream, 20 MB of small mappings, 100,000
small documents). The core reader against LibYAML is `make bench-reader`.
Each speed row runs tesvorn and its peer in turn, --repeat rounds (the slow
peers fewer), and keeps the best time of each.

    python bench/targets.py [--repeat 5] [--module-path DIR] [--memory]

--module-path measures a module built into DIR (pip install --target DIR .)
instead of the installed one, for before/after comparisons; --memory
measures the memory rows only (they are exact to about 0.1 MB, so they show
what a change to the tree's layout saves).
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))


def setup(module_path):
    if module_path:
        sys.path.insert(0, module_path)


def corpus_texts():
    """The corpus files that PyYAML's LibYAML loader reads (the ones both can compare on)."""
    import testdata
    import yaml

    root = testdata.find("corpus")
    if root is None:
        sys.exit(testdata.missing_message("corpus"))
    texts = []
    for path in testdata.corpus_files(root):
        try:
            text = path.read_text(encoding="utf-8")
            list(yaml.load_all(text, Loader=yaml.CSafeLoader))
        except Exception:  # noqa: BLE001 - PyYAML refuses it: not comparable
            continue
        texts.append(text)
    return texts


def small_mappings(mb):
    """One document: a sequence of small flat mappings, about `mb` MB."""
    rows = []
    size = 0
    i = 0
    while size < mb * 1e6:
        row = f"- id: {i}\n  name: item{i}\n  ok: true\n"
        rows.append(row)
        size += len(row)
        i += 1
    return "".join(rows)


def small_docs(n):
    return "".join(f"---\nid: {i}\nname: doc{i}\ntags: [a, b]\nenabled: true\nnote: a small document\n" for i in range(n))


MEMORY_PROBE = r"""
import json, sys
if sys.argv[3]:
    sys.path.insert(0, sys.argv[3])
text = open(sys.argv[1], encoding="utf-8").read()
def kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1])
if sys.argv[2] == "tesvorn":
    import tesvorn
    load = tesvorn.loads_all
else:
    sys.path.insert(0, sys.argv[4])
    from bench_loads import TagLoader  # CSafeLoader that accepts application tags
    load = lambda t: list(__import__("yaml").load_all(t, Loader=TagLoader))
before = kb("VmRSS:")
docs = load(text)
print(json.dumps({"growth_kb": kb("VmHWM:") - before}))
"""


def best_pair(ours, theirs, rounds, theirs_rounds=None):
    """The best times of `ours` and `theirs`, run in turn rather than one
    after the other: a slow spell of a shared machine then falls on both."""
    theirs_rounds = rounds if theirs_rounds is None else theirs_rounds
    best = [float("inf"), float("inf")]
    for i in range(max(rounds, theirs_rounds)):
        for k, (fn, n) in enumerate(((ours, rounds), (theirs, theirs_rounds))):
            if i < n:
                t0 = time.perf_counter()
                fn()
                best[k] = min(best[k], time.perf_counter() - t0)
    return best


def peak_mb(lib, text, module_path):
    with tempfile.NamedTemporaryFile("w", suffix=".yaml", encoding="utf-8", delete=False) as f:
        f.write(text)
    try:
        out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, f.name, lib, module_path or "", HERE],
                             capture_output=True, text=True, check=True)
        return json.loads(out.stdout)["growth_kb"] / 1024
    finally:
        os.unlink(f.name)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--module-path", default="")
    ap.add_argument("--memory", action="store_true", help="the memory rows only")
    args = ap.parse_args(argv)
    setup(args.module_path)
    import yaml
    from gen import config_like, json_records
    from ruamel.yaml import YAML

    import tesvorn
    from bench_loads import corpus_stream  # (after the module path is set)

    rows = []

    def speed_row(work, size, ours, peer_name, theirs, target, rounds, theirs_rounds=None):
        a, b = best_pair(ours, theirs, rounds, theirs_rounds)
        row(work, size / a, peer_name, size / b, "MB/s", target)

    def row(work, ours, peer_name, theirs, unit, target):
        ratio = ours / theirs
        rows.append((work, f"{ours:.1f} {unit}", f"{peer_name} {theirs:.1f} {unit}", f"{ratio:.2f}x", target))

    if not args.memory:
        texts = corpus_texts()
        mb = sum(len(t.encode()) for t in texts) / 1e6

        def ours_loads():
            for t in texts:
                tesvorn.loads_all(t)

        def peer_loads():
            for t in texts:
                list(yaml.load_all(t, Loader=yaml.CSafeLoader))

        speed_row(f"loads_all per file, {len(texts)} corpus files ({mb:.1f} MB)", mb, ours_loads, "CSafeLoader",
                  peer_loads, ">= 10x", args.repeat)

        ours_docs = [tesvorn.loads_all(t) for t in texts]
        peer_docs = [list(yaml.load_all(t, Loader=yaml.CSafeLoader)) for t in texts]

        def ours_dumps():
            for d in ours_docs:
                tesvorn.dumps_all(d)

        def peer_dumps():
            for d in peer_docs:
                yaml.dump_all(d, Dumper=yaml.CSafeDumper, sort_keys=False)

        speed_row("dumps_all per file of the loaded corpus", mb, ours_dumps, "CSafeDumper", peer_dumps, ">= 20x",
                  args.repeat)

        def ruamel_loads():
            for t in texts:
                list(YAML().load_all(t))

        speed_row("loads_all per file, against the round-trip loader", mb, ours_loads, "ruamel.yaml", ruamel_loads,
                  ">= 200x", args.repeat, 1)

        config = tesvorn.dumps(config_like(10_500_000))
        cmb = len(config.encode()) / 1e6
        speed_row(f"loads of a generated config document ({cmb:.1f} MB)", cmb, lambda: tesvorn.loads(config),
                  "CSafeLoader", lambda: yaml.load(config, Loader=yaml.CSafeLoader), ">= 25x",
                  max(1, args.repeat // 2), 1)

        # JSON is YAML, and minified JSON is one long line: time must grow
        # with the length, as it does for the same data pretty-printed.
        per_mb = {}
        for mb in (1, 4):
            records = json_records(mb * 1_000_000)
            for form, text in (("one-line", json.dumps(records, separators=(",", ":"))),
                               ("pretty-printed", json.dumps(records, indent=2))):
                size = len(text.encode()) / 1e6
                a, b = best_pair(lambda: tesvorn.loads(text), lambda: yaml.load(text, Loader=yaml.CSafeLoader),
                                 max(1, args.repeat // 2), 1)
                per_mb[form, mb] = a / size
                row(f"loads of {form} JSON, {mb} MB of records ({size:.1f} MB)", size / a, "CSafeLoader",
                    size / b, "MB/s", ">= 5x")
        for form in ("one-line", "pretty-printed"):
            growth = per_mb[form, 4] / per_mb[form, 1]
            rows.append((f"{form} JSON: time per MB at 4 MB over that at 1 MB", f"{growth:.2f}", "", "",
                         "<= 1.5 (linear)"))

    for name, text, target in (
        ("peak memory of loads_all, corpus as one stream", corpus_stream(), "<= 2x"),
        ("peak memory of loads, 20 MB of small mappings", small_mappings(20), "<= 0.5x"),
        ("peak memory of loads_all, 100,000 small documents", small_docs(100_000), "<= 2x"),
    ):
        row(f"{name} ({len(text.encode()) / 1e6:.1f} MB)", peak_mb("tesvorn", text, args.module_path),
            "CSafeLoader", peak_mb("pyyaml", text, args.module_path), "MB", target)

    print("| work | tesvorn | peer | tesvorn / peer | target |")
    print("|---|---:|---:|---:|---|")
    for r in rows:
        print("| " + " | ".join(r) + " |")
    print("\nSpeed rows: higher is better; memory rows (peak growth of RSS in a fresh process): lower is "
          "better.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
