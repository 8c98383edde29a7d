"""tesvorn against the libraries users would pick instead, same data, same
process; prints markdown (the tables in README.md come from this script).

Inputs: (a) the corpus of real files as one stream of documents, (b) a
generated config-like document (bench/gen.py config_like), (c) a document of
many small flow sequences of numbers (bench/gen.py flow_numbers, written in
flow style). Operations: loads (text to Python values), dumps (the same
Python values to text), round trip (load + dump).

Peers: PyYAML with LibYAML (CSafeLoader / CSafeDumper), PyYAML pure Python
(SafeLoader / SafeDumper), ruamel.yaml's round-trip mode (comments kept, like
tesvorn), and rapidyaml's `ryml` when installed. ryml has no documented way
to build Python values, so it is measured parsing into its own tree (loads),
emitting that tree (dumps) and both (round trip): work that leaves out the
Python objects the others build.

MB/s always counts the size of the input document. The slow pure-Python
peers run on a smaller document from the same generator (--slow-mb) and one
repetition; their MB/s are comparable, their seconds are not. Peak memory:
growth of peak RSS while loading, in a fresh process per library, as a
multiple of the input size.

Then the round-trip fidelity over the corpus files (bench/roundtrip_report.py)
for tesvorn and for ruamel.yaml: files that come back byte for byte, files
whose reload has equal data, failures.

    python bench/compare.py [--mb 10] [--slow-mb 1] [--repeat 3] [--quick]
"""

import argparse
import contextlib
import datetime
import io
import json
import os
import platform
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import yaml  # noqa: E402
from ruamel.yaml import YAML  # noqa: E402

import tesvorn  # noqa: E402
from bench_loads import TagLoader, corpus_stream  # noqa: E402
from gen import config_like, flow_numbers  # noqa: E402
from roundtrip_report import report, testdata  # noqa: E402

try:
    import ryml
except ImportError:  # rapidyaml is optional
    ryml = None


class PureTagLoader(yaml.SafeLoader):
    """SafeLoader that accepts application tags, as TagLoader does."""


PureTagLoader.add_multi_constructor("!", lambda loader, suffix, node: TagLoader.yaml_multi_constructors["!"](
    loader, suffix, node))


def ruamel_load(text):
    return list(YAML().load_all(text))


def ruamel_dump(docs):
    buf = io.StringIO()
    YAML().dump_all(docs, buf)
    return buf.getvalue()


def ryml_parse(text):
    return ryml.parse_in_arena(text.encode())


# name -> (loads, dumps, slow). dumps takes the Python values its own loads
# gave (for ryml: its tree).
LIBRARIES = {
    "tesvorn": (tesvorn.loads_all, tesvorn.dumps_all, False),
    "PyYAML (LibYAML)": (lambda t: list(yaml.load_all(t, Loader=TagLoader)),
                         lambda d: yaml.dump_all(d, Dumper=yaml.CSafeDumper, sort_keys=False), False),
    "PyYAML (pure)": (lambda t: list(yaml.load_all(t, Loader=PureTagLoader)),
                      lambda d: yaml.dump_all(d, Dumper=yaml.SafeDumper, sort_keys=False), True),
    "ruamel.yaml (rt)": (ruamel_load, ruamel_dump, True),
}
if ryml is not None:
    LIBRARIES["ryml (tree only)"] = (ryml_parse, ryml.emit_yaml, False)


def best_of(fn, repeat):
    best, out = float("inf"), None
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


def flow_text(mb: float) -> str:
    rows = flow_numbers(int(mb * 1_000_000))
    return tesvorn.dumps(tesvorn.YamlSequence([tesvorn.YamlSequence(r, style="flow") for r in rows]))


def inputs(mb: float, slow_mb: float):
    corpus = corpus_stream()
    out = []
    if corpus is not None:
        out.append(("corpus stream", corpus, corpus))
    out.append(("config-like", tesvorn.dumps(config_like(int(mb * 1e6))), tesvorn.dumps(config_like(int(slow_mb * 1e6)))))
    out.append(("flow numbers", flow_text(mb), flow_text(slow_mb)))
    return out


MEMORY_PROBE = r"""
import json, sys
sys.path.insert(0, sys.argv[3])
from compare import LIBRARIES
text = open(sys.argv[1], encoding="utf-8").read()
def kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1])
before = kb("VmRSS:")
docs = LIBRARIES[sys.argv[2]][0](text)
print(json.dumps({"growth_kb": kb("VmHWM:") - before}))
"""


def peak_growth(lib: str, text: str) -> float:
    with tempfile.NamedTemporaryFile("w", suffix=".yaml", encoding="utf-8", delete=False) as f:
        f.write(text)
    try:
        out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, f.name, lib, HERE], capture_output=True,
                             text=True, check=True)
        return json.loads(out.stdout)["growth_kb"] * 1024 / len(text.encode())
    finally:
        os.unlink(f.name)


def speed_table(mb, slow_mb, repeat, libraries):
    rows = []
    for name, text, slow_text in inputs(mb, slow_mb):
        results = {}
        for lib in libraries:
            loads, dumps, slow = LIBRARIES[lib]
            t = slow_text if slow else text
            size = len(t.encode()) / 1e6
            reps = 1 if slow else repeat
            try:
                load_s, docs = best_of(lambda: loads(t), reps)
                dump_s, _ = best_of(lambda: dumps(docs), reps)
                rt_s, _ = best_of(lambda: dumps(loads(t)), reps)
                mem = peak_growth(lib, t)
                results[lib] = (size, size / load_s, size / dump_s, size / rt_s, mem)
            except Exception as e:  # noqa: BLE001 - a failure is a result
                results[lib] = (size, None, None, None, f"{type(e).__name__}")
            print(f"  {name}: {lib} done", file=sys.stderr)
        rows.append((name, len(text.encode()) / 1e6, len(slow_text.encode()) / 1e6, results))
    return rows


def fmt_speed(v, base):
    if v is None:
        return "fails"
    ratio = base / v if base else 0
    return f"{v:.2f} ({ratio:.1f}x)" if ratio >= 1.05 or ratio <= 0.95 else f"{v:.2f}"


def print_speed(rows):
    print("| input | library | loads MB/s | dumps MB/s | load+dump MB/s | peak memory of loads |")
    print("|---|---|---:|---:|---:|---:|")
    for name, size, slow_size, results in rows:
        base = results["tesvorn"]
        for lib, (lib_size, load, dump, rt, mem) in results.items():
            label = f"{name} ({lib_size:.1f} MB)"
            memtext = f"{mem:.1f}x input" if isinstance(mem, float) else mem
            print(f"| {label} | {lib} | {fmt_speed(load, base[1])} | {fmt_speed(dump, base[2])} | "
                  f"{fmt_speed(rt, base[3])} | {memtext} |")
    print("\n(x) = how many times faster tesvorn is than that library, for the same operation.")


def fidelity_table(libraries=("tesvorn", "ruamel")):
    root = testdata.find("corpus")
    if root is None:
        print(f"\n({testdata.missing_message('corpus')}: no fidelity table)")
        return
    files = testdata.corpus_files(root)
    print(f"\n| round trip of {len(files)} corpus files | byte-identical | equal data, text differs | "
          "data differs | fails |")
    print("|---|---:|---:|---:|---:|")
    for lib in libraries:
        with contextlib.redirect_stdout(io.StringIO()):
            counts, _, _ = report(files, lib, root=root)
        total = max(sum(counts.values()), 1)
        cells = [f"{counts[k]} ({100 * counts[k] / total:.0f}%)"
                 for k in ("identical", "equal data, text differs", "data differs", "fail")]
        name = "tesvorn" if lib == "tesvorn" else "ruamel.yaml (rt)"
        print(f"| {name} | " + " | ".join(cells) + " |")


def versions():
    import importlib.metadata as md

    def v(dist):
        try:
            return md.version(dist)
        except md.PackageNotFoundError:
            return "not installed"

    cpu = ""
    with contextlib.suppress(OSError):
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    return (f"{datetime.date.today().isoformat()}, {cpu or platform.processor()}, {os.cpu_count()} cores, "
            f"{platform.system()} {platform.release()}; CPython {platform.python_version()}; "
            f"tesvorn {v('tesvorn')}, PyYAML {v('PyYAML')} (LibYAML {yaml.__with_libyaml__ and 'yes'}), "
            f"ruamel.yaml {v('ruamel.yaml')}, rapidyaml {v('rapidyaml')}")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--mb", type=float, default=10.0, help="size of the generated documents")
    ap.add_argument("--slow-mb", type=float, default=1.0, help="their size for the pure-Python peers")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--quick", action="store_true", help="small documents, one repetition (a smoke test)")
    args = ap.parse_args(argv)
    if args.quick:
        args.mb, args.slow_mb, args.repeat = 0.2, 0.05, 1
    print(f"Measured {versions()}.\n")
    print_speed(speed_table(args.mb, args.slow_mb, args.repeat, list(LIBRARIES)))
    fidelity_table()
    return 0


if __name__ == "__main__":
    sys.exit(main())
