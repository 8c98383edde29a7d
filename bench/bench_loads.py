"""loads throughput and memory: tesvorn against PyYAML's CSafeLoader (plain
data, no comments kept) and ruamel.yaml's round-trip loader (comments kept),
same data, same process; plus the load+dump round trip against ruamel.yaml's.

Inputs: the corpus as one stream of documents, and a generated ~10 MB
config-like document. Peak memory of a loaded document is measured in a
fresh subprocess per library (peak RSS minus the RSS before loading).
"""

import argparse
import io
import json
import os
import pathlib
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests" / "support"))

import yaml  # noqa: E402
from ruamel.yaml import YAML  # noqa: E402

import tesvorn  # noqa: E402
from gen import config_like  # noqa: E402
import testdata  # noqa: E402


class TagLoader(yaml.CSafeLoader):
    """CSafeLoader that accepts application tags (!Ref, !secret, ...) as
    plain nodes, as the corpus files use them."""


def _untagged(loader, suffix, node):
    if isinstance(node, yaml.ScalarNode):
        return loader.construct_scalar(node)
    if isinstance(node, yaml.SequenceNode):
        return loader.construct_sequence(node)
    return loader.construct_mapping(node)


TagLoader.add_multi_constructor("!", _untagged)


def best_of(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def corpus_stream() -> str | None:
    root = testdata.find("corpus")
    return None if root is None else testdata.corpus_stream(root)


def ruamel_load_all(text):
    return list(YAML().load_all(text))


def ruamel_roundtrip(text):
    rt = YAML()
    docs = list(rt.load_all(text))
    buf = io.StringIO()
    rt.dump_all(docs, buf)
    return buf.getvalue()


def measure(name, text, repeat, ruamel_too):
    mb = len(text.encode()) / 1e6
    rows = [
        ("tesvorn.loads_all", best_of(lambda: tesvorn.loads_all(text), repeat)),
        ("PyYAML CSafeLoader", best_of(lambda: list(yaml.load_all(text, Loader=TagLoader)), 1)),
    ]
    if ruamel_too:
        rows.append(("ruamel.yaml round-trip load", best_of(lambda: ruamel_load_all(text), 1)))
    base = rows[0][1]
    print(f"\nload: {name} ({mb:.2f} MB)")
    print(f"{'library':32} {'seconds':>9} {'MB/s':>9} {'tesvorn is':>14}")
    for lib, secs in rows:
        ratio = "" if lib.startswith("tesvorn") else f"{secs / base:.1f}x faster"
        print(f"{lib:32} {secs:9.3f} {mb / secs:9.1f} {ratio:>14}")
    rt = best_of(lambda: tesvorn.dumps_all(tesvorn.loads_all(text)), repeat)
    print(f"round trip (load + dump): tesvorn {mb / rt:.1f} MB/s", end="")
    if ruamel_too:
        rr = best_of(lambda: ruamel_roundtrip(text), 1)
        print(f", ruamel.yaml {mb / rr:.2f} MB/s: tesvorn is {rr / rt:.1f}x faster")
    else:
        print()


MEMORY_PROBE = r"""
import json, resource, sys
path, lib = sys.argv[1], sys.argv[2]
text = open(path, encoding="utf-8").read()
import yaml, tesvorn
def rss_kb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
before = rss_kb()
if lib == "tesvorn":
    doc = tesvorn.loads(text)
else:
    doc = yaml.load(text, Loader=yaml.CSafeLoader)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"peak_kb": peak, "before_kb": before, "after_kb": rss_kb()}))
"""


def memory(text: str):
    import tempfile

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "doc.yaml")
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        mb = len(text.encode()) / 1e6
        print(f"\npeak memory while loading one {mb:.1f} MB document (fresh process each):")
        for lib in ("tesvorn", "pyyaml"):
            out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, path, lib], capture_output=True, text=True,
                                 check=True)
            r = json.loads(out.stdout)
            name = "tesvorn.loads" if lib == "tesvorn" else "PyYAML CSafeLoader"
            print(f"  {name:22} peak RSS {r['peak_kb'] / 1024:7.1f} MB, growth {(r['peak_kb'] - r['before_kb']) / 1024:7.1f} MB,"
                  f" held after load {(r['after_kb'] - r['before_kb']) / 1024:7.1f} MB")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--mb", type=float, default=10.0)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--skip-ruamel", action="store_true")
    args = ap.parse_args(argv)
    stream = corpus_stream()
    if stream is not None:
        measure("the corpus as one stream", stream, args.repeat, not args.skip_ruamel)
    big = tesvorn.dumps(config_like(int(args.mb * 1_000_000)))
    measure("a generated config-like document", big, args.repeat, not args.skip_ruamel)
    memory(big)
    return 0


if __name__ == "__main__":
    sys.exit(main())
