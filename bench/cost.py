"""What loads and dumps cost in tesvorn alone, on the inputs of make bench
(the corpus as one stream, a generated config-like document, a document of
flow sequences of numbers): MB/s of loads_all and dumps_all (best of
--repeat) and the peak memory growth of loads_all in a fresh process, as a
multiple of the input size.

For a before/after comparison, run it against two builds of the module:

    python bench/cost.py                          # the installed module
    python bench/cost.py --module-path DIR        # a module built into DIR
                                                  # (pip install --target DIR .)
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))

PROBE = r"""
import json, sys, time
if sys.argv[1]:
    sys.path.insert(0, sys.argv[1])
import tesvorn
mode, path, repeat = sys.argv[2], sys.argv[3], int(sys.argv[4])
text = open(path, encoding="utf-8").read()
def kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1])
if mode == "memory":
    before = kb("VmRSS:")
    docs = tesvorn.loads_all(text)
    print(json.dumps({"growth_kb": kb("VmHWM:") - before}))
else:
    def best(fn):
        t = float("inf")
        for _ in range(repeat):
            t0 = time.perf_counter()
            out = fn()
            t = min(t, time.perf_counter() - t0)
        return t, out
    load_s, docs = best(lambda: tesvorn.loads_all(text))
    dump_s, _ = best(lambda: tesvorn.dumps_all(docs))
    print(json.dumps({"load_s": load_s, "dump_s": dump_s}))
"""


def run(module_path, mode, path, repeat):
    out = subprocess.run([sys.executable, "-c", PROBE, module_path or "", mode, path, str(repeat)],
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--module-path", default="", help="folder holding the tesvorn module to measure")
    ap.add_argument("--mb", type=float, default=10.0, help="size of the generated documents")
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args(argv)
    sys.path.insert(0, HERE)
    from compare import inputs  # the same inputs as make bench

    print("| input | MB | loads MB/s | dumps MB/s | peak memory of loads |")
    print("|---|---:|---:|---:|---:|")
    for name, text, _ in inputs(args.mb, 0.01):
        with tempfile.NamedTemporaryFile("w", suffix=".yaml", encoding="utf-8", delete=False) as f:
            f.write(text)
        try:
            size = len(text.encode())
            speed = run(args.module_path, "speed", f.name, args.repeat)
            mem = run(args.module_path, "memory", f.name, 1)
        finally:
            os.unlink(f.name)
        print(f"| {name} | {size / 1e6:.1f} | {size / 1e6 / speed['load_s']:.2f} | "
              f"{size / 1e6 / speed['dump_s']:.2f} | {mem['growth_kb'] * 1024 / size:.1f}x input |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
