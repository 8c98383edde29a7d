"""dumps throughput: tesvorn against PyYAML's CSafeDumper and ruamel.yaml's
round-trip dumper, on the same data in the same process."""

import argparse
import io
import sys
import time

import yaml
from ruamel.yaml import YAML

import tesvorn
from gen import config_like


def best_of(fn, repeat):
    best = float("inf")
    out = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--mb", type=float, default=10.0, help="size of the generated document in MB")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--skip-ruamel", action="store_true")
    args = ap.parse_args(argv)

    data = config_like(int(args.mb * 1_000_000))
    rows = []
    t, text = best_of(lambda: tesvorn.dumps(data), args.repeat)
    mb = len(text.encode()) / 1e6
    rows.append(("tesvorn.dumps", t))
    # The round-trip case: the same document as loaded node objects.
    loaded = tesvorn.loads(text)
    t, again = best_of(lambda: tesvorn.dumps(loaded), args.repeat)
    assert again == text
    del loaded
    rows.append(("tesvorn.dumps (loaded document)", t))
    t, _ = best_of(lambda: yaml.dump(data, Dumper=yaml.CSafeDumper, sort_keys=False), max(1, args.repeat - 1))
    rows.append(("PyYAML CSafeDumper", t))
    if not args.skip_ruamel:
        rt = YAML()

        def ruamel_dump():
            buf = io.StringIO()
            rt.dump(data, buf)
            return buf.getvalue()

        t, _ = best_of(ruamel_dump, 1)
        rows.append(("ruamel.yaml round-trip dump", t))

    base = rows[0][1]
    print(f"dumps of a generated config-like document: {mb:.1f} MB of YAML (tesvorn output)")
    print(f"{'library':32} {'seconds':>9} {'MB/s':>9} {'tesvorn.dumps is faster by':>28}")
    for name, secs in rows:
        ratio = "" if name.startswith("tesvorn") else f"{secs / base:.1f}x"
        print(f"{name:32} {secs:9.3f} {mb / secs:9.1f} {ratio:>28}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
