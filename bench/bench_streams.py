"""Streams: peak memory of iter_load_all over a large multi-document file,
dump() to a file against dumps() plus one write, and loading from a stream
against loading the same text.

Memory: a multi-document stream (50 MB by default, documents of varying size)
is generated in a temporary directory; each measurement runs in a fresh
subprocess that reports its peak RSS (VmHWM) above the RSS it had just before
loading. Iterating should cost about as much as loading the largest document
alone, however long the stream.

Run from the project venv: .venv/bin/python bench/bench_streams.py
"""

import argparse
import gc
import io
import os
import random
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import tesvorn  # noqa: E402
from gen import config_like  # noqa: E402


def rss_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def child(mode, path):
    """Runs in the subprocess: loads `path` as `mode` says and prints the
    peak RSS above the starting RSS, in KiB, and the document count."""
    base = rss_kib("VmRSS")
    count = 0
    if mode == "iter-binary":
        with open(path, "rb") as f:
            for doc in tesvorn.iter_load_all(f):
                count += 1
                del doc
    elif mode == "iter-text":
        with open(path, encoding="utf-8") as f:
            for doc in tesvorn.iter_load_all(f):
                count += 1
                del doc
    elif mode == "load":
        with open(path, "rb") as f:
            doc = tesvorn.load(f)
        count = 1 if doc is not None else 0
    elif mode == "load_all":
        with open(path, "rb") as f:
            count = len(tesvorn.load_all(f))
    else:
        raise SystemExit(f"unknown mode {mode}")
    print(rss_kib("VmHWM") - base, count)


def measure(mode, path):
    out = subprocess.run([sys.executable, __file__, "--child", mode, path], check=True,
                         capture_output=True, text=True).stdout.split()
    return int(out[0]) / 1024, int(out[1])


def write_stream(directory, total_mb, seed):
    """Writes the multi-document stream and, separately, its largest document.
    Returns (stream path, largest-document path, stream bytes, largest bytes, docs)."""
    rng = random.Random(seed)
    path = os.path.join(directory, "stream.yaml")
    sizes = []
    largest_text = ""
    with open(path, "w", encoding="utf-8") as f:
        total = 0
        i = 0
        while total < total_mb * 1_000_000:
            # Mostly 100-600 KB documents, now and then a 2 MB one.
            target = 2_000_000 if i % 25 == 12 else rng.randint(100_000, 600_000)
            text = tesvorn.dumps({"doc": i, "services": config_like(target, seed=seed + i)})
            f.write("---\n" + text)
            sizes.append(len(text.encode()) + 4)
            total += sizes[-1]
            if len(text) > len(largest_text):
                largest_text = text
            i += 1
    single = os.path.join(directory, "largest.yaml")
    with open(single, "w", encoding="utf-8") as f:
        f.write(largest_text)
    return path, single, sum(sizes), max(sizes), len(sizes)


def memory(args):
    with tempfile.TemporaryDirectory() as tmp:
        path, single, total, largest, docs = write_stream(tmp, args.mb, args.seed)
        print(f"memory: {total / 1e6:.1f} MB stream of {docs} documents, "
              f"largest document {largest / 1e6:.2f} MB of YAML")
        one, _ = measure("load", single)
        print(f"  {'load() of the largest document alone':44} {one:8.1f} MB peak above start")
        for mode in ("iter-binary", "iter-text"):
            peak, n = measure(mode, path)
            assert n == docs, (n, docs)
            print(f"  {'iter_load_all over the stream (' + mode[5:] + ' file)':44} {peak:8.1f} MB"
                  f"  ({peak / one:.2f}x the largest document alone)")
        if args.load_all:
            peak, n = measure("load_all", path)
            print(f"  {'load_all over the stream (for contrast)':44} {peak:8.1f} MB")


def interleaved(rows, repeat):
    """Best time of each (name, fn) row. The rows take turns, because each run
    leaves the allocator in a different state for the next one."""
    best = [float("inf")] * len(rows)
    for _ in range(repeat):
        for k, (_, fn) in enumerate(rows):
            gc.collect()
            t0 = time.perf_counter()
            fn()
            best[k] = min(best[k], time.perf_counter() - t0)
    return best


def dump_speed(args):
    doc = config_like(int(args.dump_mb * 1_000_000))
    mb = len(tesvorn.dumps(doc).encode()) / 1e6
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "out.yaml")

        def to_file(mode, fn):
            def run():
                with open(path, mode, **({} if "b" in mode else {"encoding": "utf-8"})) as f:
                    fn(f)
            return run

        rows = [
            ("dumps + one write (text file)", to_file("w", lambda f: f.write(tesvorn.dumps(doc)))),
            ("dump (text file)", to_file("w", lambda f: tesvorn.dump(doc, f))),
            ("dumps + encode + one write (binary file)",
             to_file("wb", lambda f: f.write(tesvorn.dumps(doc).encode()))),
            ("dump (binary file)", to_file("wb", lambda f: tesvorn.dump(doc, f))),
        ]
        best = interleaved(rows, args.repeat)
    print(f"dump of one {mb:.1f} MB document to a file (best of {args.repeat})")
    for k, ((name, _), secs) in enumerate(zip(rows, best)):
        ratio = "" if k % 2 == 0 else f"{best[k - 1] / secs:.2f}x the speed of dumps + write"
        print(f"  {name:44} {secs:7.3f} s {mb / secs:8.1f} MB/s  {ratio}")


def load_speed(args):
    docs = [config_like(int(args.load_mb * 1_000_000) // 20, seed=i) for i in range(20)]
    text = tesvorn.dumps_all(docs)
    data = text.encode()
    mb = len(data) / 1e6
    rows = [
        ("loads_all (text)", lambda: tesvorn.loads_all(text)),
        ("load_all (BytesIO)", lambda: tesvorn.load_all(io.BytesIO(data))),
        ("load_all (StringIO)", lambda: tesvorn.load_all(io.StringIO(text))),
        ("iter_load_all (BytesIO)", lambda: list(tesvorn.iter_load_all(io.BytesIO(data)))),
    ]
    best = interleaved(rows, args.repeat)
    print(f"load of a {mb:.1f} MB stream of 20 documents (best of {args.repeat})")
    for (name, _), secs in zip(rows, best):
        print(f"  {name:44} {secs:7.3f} s {mb / secs:8.1f} MB/s  {best[0] / secs:.2f}x loads_all")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--mb", type=float, default=50.0, help="size of the generated stream in MB")
    ap.add_argument("--dump-mb", type=float, default=20.0, help="size of the dumped document")
    ap.add_argument("--load-mb", type=float, default=5.0, help="size of the loaded stream")
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--load-all", action="store_true",
                    help="also measure load_all over the whole stream (needs a lot of memory)")
    ap.add_argument("--child", nargs=2, metavar=("MODE", "PATH"), help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.child:
        child(*args.child)
        return 0
    memory(args)
    dump_speed(args)
    load_speed(args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
