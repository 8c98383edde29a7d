"""Reference and memory leaks: every road (loads, dumps, node edits, schema
loaders and dumpers, streams, the iterator, and the error paths) runs a few
thousand times after a warm-up, twice; the second round must not grow:
  - Python objects: sys.getallocatedblocks();
  - the native heap: bytes in use by malloc (mallinfo2), where the C++ trees
    and strings live;
  - peak RSS (VmHWM).
Skipped in the sanitized run (TESVORN_ASAN=1: PYTHONMALLOC=malloc and the
sanitizer's allocator make these figures meaningless; LeakSanitizer covers
the C++ tests there).
"""

import contextlib
import copy
import ctypes
import datetime
import gc
import io
import os
import sys

import pytest

import tesvorn

pytestmark = pytest.mark.skipif(os.environ.get("TESVORN_ASAN") == "1", reason="figures meaningless under ASan")

ROUNDS = 1500


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


try:
    _libc = ctypes.CDLL(None)
    _libc.mallinfo2.restype = _MallInfo2
except (OSError, AttributeError):  # not glibc >= 2.33
    _libc = None


def malloc_in_use() -> int:
    if _libc is None:
        return 0
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd


def peak_rss_kb() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def snapshot():
    gc.collect()
    return sys.getallocatedblocks(), malloc_in_use(), peak_rss_kb()


def assert_no_growth(fn, rounds: int = ROUNDS):
    for _ in range(rounds):
        fn()
    first = snapshot()
    for _ in range(rounds):
        fn()
    second = snapshot()
    for _ in range(rounds):
        fn()
    third = snapshot()
    blocks, heap, peak = (c - b for b, c in zip(second, third))
    # The interpreter's caches settle over the first rounds (a few hundred
    # blocks, decaying); a leak of even one object per call grows with every
    # call: at least `rounds` blocks here.
    assert blocks < 200, f"Python blocks grew by {blocks} over {rounds} calls ({first=} {second=} {third=})"
    assert heap < 256 * 1024, f"malloc heap grew by {heap} bytes over {rounds} calls"
    assert peak < 4096, f"peak RSS grew by {peak} kB over {rounds} calls"


DOC = """\
%YAML 1.2
%TAG !e! tag:example.com,2000:
--- # the service
# name first
name: orders  # inline
port: 0x1F90
ratio: 1.5e3
on: yes
when: !!timestamp 2001-12-14
blob: !!binary aGVsbG8=
base: &base {cpu: 2, mem: "1Gi", tags: [a, b]}
copy: *base
custom: !e!point [1, 2]
text: |
  line one
  line two
folded: >-
  folded
  text
list:

  - 'single'
  - "double\\n"
  - ~
  - ? complex
    : key
...
---
- second
- document
"""


def test_loads_and_to_python():
    def run():
        docs = tesvorn.loads_all(DOC)
        docs[0].to_python()
        tesvorn.loads("a: 1")
        tesvorn.loads("plain scalar").to_python()

    assert_no_growth(run)


def test_dumps():
    docs = tesvorn.loads_all(DOC)
    shared = [1, 2]
    plain = {"a": [1, 2.5, None, True, "x" * 50], "b": {"c": b"\x00\x01"}, "d": shared, "e": shared,
             "t": datetime.datetime(2020, 1, 2, 3, 4, 5), "u": (1, 2), "f": float("nan")}

    def run():
        tesvorn.dumps_all(docs)
        tesvorn.dumps(plain, indent=4)
        tesvorn.dumps_all([plain, docs[1]])
        s = io.StringIO()
        tesvorn.dump_all(docs, s)
        tesvorn.dump(plain, s)

    assert_no_growth(run)


def test_streams_and_iterator():
    data = DOC.encode()

    def run():
        tesvorn.load_all(io.BytesIO(data))
        tesvorn.load(io.StringIO(DOC))
        list(tesvorn.iter_load_all(io.BytesIO(data)))
        it = tesvorn.iter_loads_all(DOC)
        next(it)  # abandoned half-way

    assert_no_growth(run)


def test_node_editing():
    base = tesvorn.loads(DOC)

    def run():
        m = copy.deepcopy(base)
        m["new"] = {"x": [1, {"y": 2}]}
        m.set_comment_before("new", "added")
        m.set_comment_inline("port", "changed")
        m.blank_lines_before("new", 2)
        m.scalar_style("name", "double")
        m.container_style("base", "block")
        m.set_alias("copy", "base")
        m.update({"z": 1, "name": "renamed"})
        m.setdefault("w", [1])
        m.pop("ratio")
        del m["on"]
        m.sort_keys()
        m.format(comments=False)
        m.tag = "!root"
        m.anchor = "top"
        m.yaml_version = "1.1"
        m.tag_directives = [("!e!", "tag:example.com,2000:"), ("!x!", "tag:x,2000:")]
        m.nodes()
        repr(m)
        m.key_position("port"), m.value_position("port"), m.position, base["list"].item_position(-1)
        s = m["list"]
        s.append({"k": "v"})
        s.insert(0, [1, 2])
        s[1] = "replaced"
        s.set_comment_before(0, "first")
        s.pop()
        s.reverse()
        s.sort(key=str)
        s.extend([3, 4])
        del s[0]
        s.node(0)
        m.copy()
        tesvorn.YamlMapping({"a": [1, 2]}, style="flow", tag="!t")
        tesvorn.YamlSequence([1, {"b": 2}], style="flow")
        sc = tesvorn.YamlScalar("text", style="single", tag="!s")
        sc.style = "double"
        tesvorn.dumps(sc)
        tesvorn.dumps(m)
        # The Python view: objects held as assigned (a cycle too), aliases
        # written as their value, every read, a failed sort.
        m["held"] = s
        m["me"] = m
        m.to_python()
        repr(m)
        copy.deepcopy(m)
        m.copy()
        del m["me"]
        m["copy"]["k"] = [1, 2]
        tesvorn.dumps(m)
        m.sort_keys(recursive=True)
        s[::2] = s[::2]
        with contextlib.suppress(ValueError):
            s.sort(key=lambda v: s.append(v) or 0)
        # Placing entries, and the errors that change nothing.
        m.insert(1, "ins", {"n": [1]}, comment="c")
        m.insert(0, "ins", "again")
        m.rename_key("ins", "renamed")
        m.move("renamed", -1)
        m.move_to_end("renamed", last=False)
        _raises(KeyError, m.rename_key, "renamed", "name")
        _raises(TypeError, m.insert, 0, "bad", {1: 2})
        tesvorn.dumps(m)

    assert_no_growth(run, rounds=800)


class Point:
    def __init__(self, x, y):
        self.x, self.y = x, y


def test_schema_loaders_and_dumpers():
    schema = tesvorn.Schema()
    schema.add_loader("tag:example.com,2000:point", lambda seq: Point(*seq))
    schema.add_loader("!!int", lambda text: int(text, 0))
    schema.add_dumper(Point, lambda p: ("!point", [p.x, p.y]))

    def run():
        docs = tesvorn.loads_all(DOC, schema=schema)
        docs[0].to_python()
        tesvorn.dumps({"p": Point(1, 2), "q": [Point(3, 4)]}, schema=schema)
        list(tesvorn.iter_loads_all(DOC, schema=schema))
        m = tesvorn.YamlMapping({"p": Point(5, 6)}, schema=schema)
        tesvorn.dumps(m, schema=schema)

    assert_no_growth(run)


def _raises(exc, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{fn} did not raise {exc}")


class Reader:
    def __init__(self, data, fail_after):
        self.data, self.calls, self.fail_after = data, 0, fail_after

    def read(self, size):
        self.calls += 1
        if self.calls > self.fail_after:
            raise OSError("read failed")
        return self.data if self.calls == 1 else ""


class Writer:
    def write(self, text):
        raise OSError("disk full")


def test_alias_budget_failure():
    # Each call copies 100,000 collections before it fails: fewer rounds; a
    # leak of the copies would show in the heap and RSS figures at once.
    # (Anchors on complex keys load as no object, so their aliases copy.)
    laughs = "? &k0 [x, x, x, x, x, x, x, x, x]\n: 0\n" + "".join(
        f"? &k{i} [" + ", ".join([f"*k{i - 1}"] * 9) + f"]\n: {i}\n" for i in range(1, 9)) + "z: *k8\n"
    assert_no_growth(lambda: _raises(tesvorn.LoaderError, tesvorn.loads, laughs), rounds=60)


def test_shared_aliases():
    laughs = "a: &a [x, x, x, x, x, x, x, x, x]\n" + "".join(
        f"b{i}: &b{i} [" + ", ".join([f"*{'a' if i == 0 else f'b{i - 1}'}"] * 9) + "]\n" for i in range(8))
    assert_no_growth(lambda: tesvorn.dumps(tesvorn.loads(laughs)))


def test_error_paths():
    failing = tesvorn.Schema()
    failing.add_loader("!bad", lambda v: 1 / 0)
    failing.add_dumper(Point, lambda p: 1 / 0)
    wrong = tesvorn.Schema()
    wrong.add_dumper(Point, lambda p: "not a tuple")
    deep: list = []
    for _ in range(3000):
        deep = [deep]
    cycle: dict = {}
    cycle["self"] = cycle
    m = tesvorn.loads("a: 1\nb: [1, 2]\n")

    def sort_key_fails(_):
        raise KeyError("k")

    def run():
        _raises(tesvorn.ParseError, tesvorn.loads, "a: [1, 2\n" + "b: c\n" * 20)
        _raises(tesvorn.ParseError, tesvorn.loads_all, "a: 1\n---\n- [\n")
        _raises(tesvorn.ParseError, tesvorn.loads, "[" * 300)
        _raises(tesvorn.LoaderError, tesvorn.loads, "x: !bad 1", schema=failing)
        _raises(tesvorn.DumperError, tesvorn.dumps, [Point(1, 2)], schema=failing)
        _raises(tesvorn.DumperError, tesvorn.dumps, Point(1, 2), schema=wrong)
        _raises(RuntimeError, tesvorn.dumps, {"o": object()})
        _raises(RecursionError, tesvorn.dumps, deep)
        _raises(ValueError, tesvorn.YamlMapping, {"a": cycle})
        _raises(tesvorn.ParseError, tesvorn.loads, "a: \ud800")
        _raises(UnicodeEncodeError, tesvorn.dumps, {"a": ["\ud800"]})
        _raises(tesvorn.ParseError, tesvorn.load, io.BytesIO(b"a: \xff\xfe"))
        _raises(tesvorn.LoaderError, tesvorn.loads, "a: !!int x\nb: !!map [1]")
        _raises(tesvorn.LoaderError, tesvorn.loads, "- " + "9" * 5000)
        _raises(RuntimeError, tesvorn.loads, "b: !!binary a===")
        _raises(ValueError, tesvorn.loads, "t: !!timestamp 2001-99-99")
        _raises(OSError, tesvorn.load_all, Reader("a: 1\n", 1))
        _raises(OSError, tesvorn.dump, {"a": [1, 2]}, Writer())
        _raises(TypeError, tesvorn.loads, b"a")
        _raises(TypeError, tesvorn.dumps, {1.5: 2})
        _raises(TypeError, tesvorn.dumps, 1, schema=3)
        _raises(OverflowError, tesvorn.dumps, 1, indent=-1)
        _raises(KeyError, m.sort_keys, key=sort_key_fails)
        _raises(KeyError, m.comment_inline, "zz", "x")
        _raises(IndexError, m["b"].comment_before, 9)
        _raises(KeyError, m.value_position, "zz")
        _raises(ValueError, m.scalar_style, "a", "bold")
        _raises(TypeError, m.__setitem__, 1, 2)
        it = tesvorn.iter_loads_all("a: 1\n---\n[\n")
        next(it)
        _raises(tesvorn.ParseError, next, it)

    assert_no_growth(run, rounds=600)
