"""Hostile and oversized input, made by generators here (no stored blobs):
every case ends with a result or a clear exception, in bounded memory,
without a crash. Bounds are asserted as memory or work, never as time
(speed is measured in bench/).

Memory bounds are measured in a fresh interpreter (peak RSS growth over the
RSS before the call). They are skipped in the sanitized run (TESVORN_ASAN=1),
where the sanitizer's shadow memory and quarantine make RSS meaningless.
Bounds measured when these tests were written (CPython 3.13, x86-64):
  - "billion laughs" (9**24 lists if copied): loads as 25 shared lists, under 1 MB growth;
  - a 10 MB scalar: 50 MB growth (loads and dumps);
  - 300,000 small documents through iter_load_all: under 40 MB growth;
  - 100 MB of config-like text through loads: ~7 GB peak, ~70x the input.
    The load path keeps the parsed tree and the Python objects at once;
    the bound below allows 90x and must come down with the memory work
    on the document model.
"""

import copy
import datetime
import io
import json
import os
import re
import subprocess
import sys
import textwrap

import pytest

import tesvorn

ASAN = os.environ.get("TESVORN_ASAN") == "1"
needs_rss = pytest.mark.skipif(ASAN, reason="RSS is meaningless under the sanitizers")


# --- generators -------------------------------------------------------------


def flow_nest(n: int, kind: str = "[") -> str:
    if kind == "[":
        return "[" * n + "]" * n
    return "{a: " * n + "1" + "}" * n


def block_seq_nest(n: int) -> str:
    return "".join("  " * i + "-\n" for i in range(n - 1)) + "  " * (n - 1) + "- x\n"


def block_map_nest(n: int) -> str:
    return "".join("  " * i + "k:\n" for i in range(n - 1)) + "  " * (n - 1) + "k: x\n"


def laughs(levels: int = 9, width: int = 9) -> str:
    """The "billion laughs": each level an anchored list of `width` aliases
    of the level below, width**levels copies in all."""
    names = [f"l{i}" for i in range(levels + 1)]
    lines = [f"{names[0]}: &{names[0]} [" + ", ".join(["lol"] * width) + "]"]
    for i in range(1, levels + 1):
        lines.append(f"{names[i]}: &{names[i]} [" + ", ".join([f"*{names[i - 1]}"] * width) + "]")
    return "\n".join(lines) + "\n"


def config_text(target_bytes: int) -> str:
    unit = ("service-{0}:\n  image: registry.example.com/app:{0}\n  replicas: 3\n  ports: [80, 443]\n"
            "  env:\n    - name: MODE\n      value: \"production {0}\"\n  # comment {0}\n")
    parts, size, i = [], 0, 0
    while size < target_bytes:
        s = unit.format(i)
        parts.append(s)
        size += len(s)
        i += 1
    return "".join(parts)


def depth(v) -> int:
    d = 0
    while isinstance(v, (list, dict)) and v:
        v = v[0] if isinstance(v, list) else next(iter(v.values()))
        d += 1
    return d


# A probe runs in a fresh interpreter: `setup` builds the input (not
# measured), `call` has its peak RSS growth measured (and its time, printed
# by the 100 MB test only).
PROBE = textwrap.dedent("""
    import json, sys, time
    sys.path.insert(0, {here!r})
    import tesvorn, io
    from test_bounds import *
    def status_kb(field):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field):
                    return int(line.split()[1])
    {setup}
    before = status_kb("VmRSS:")
    t0 = time.perf_counter()
    try:
        result = {call}
        outcome = "ok"
    except Exception as e:
        outcome = type(e).__name__ + ": " + str(e)
    seconds = time.perf_counter() - t0
    # VmHWM, not ru_maxrss: the latter keeps the parent's peak across exec.
    peak = status_kb("VmHWM:")
    print(json.dumps({{"outcome": outcome, "seconds": seconds, "growth_mb": (peak - before) / 1024}}))
""")


def probe(setup: str, call: str, timeout: float = 300) -> dict:
    code = PROBE.format(here=os.path.dirname(__file__), setup=setup, call=call)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout)
    assert out.returncode == 0, out.stderr[-2000:]
    return json.loads(out.stdout.strip().splitlines()[-1])


# --- nesting ----------------------------------------------------------------


class TestNesting:
    @pytest.mark.parametrize("kind", ["[", "{"])
    def test_flow_255_levels_load_and_256_fail(self, kind):
        doc = tesvorn.loads(flow_nest(255, kind))
        assert depth(doc.to_python()) == (254 if kind == "[" else 255)
        assert tesvorn.loads(tesvorn.dumps(doc)).to_python() == doc.to_python()
        with pytest.raises(tesvorn.ParseError, match="recursion limit exceeded"):
            tesvorn.loads(flow_nest(256, kind))

    @pytest.mark.parametrize("gen", [block_seq_nest, block_map_nest], ids=["sequence", "mapping"])
    def test_block_1000_levels_load_and_1001_fail(self, gen):
        doc = tesvorn.loads(gen(1000))
        plain = doc.to_python()
        assert depth(plain) == 1000
        assert tesvorn.loads(tesvorn.dumps(doc)).to_python() == plain
        assert tesvorn.loads(tesvorn.dumps(plain)).to_python() == plain
        with pytest.raises(tesvorn.ParseError, match="recursion limit exceeded"):
            tesvorn.loads(gen(1001))

    def test_compact_sequences_are_bounded_too(self):
        assert depth(tesvorn.loads("- " * 1000 + "x").to_python()) == 1000
        with pytest.raises(tesvorn.ParseError, match="recursion limit exceeded"):
            tesvorn.loads("- " * 1001 + "x")
        with pytest.raises(tesvorn.ParseError, match="recursion limit exceeded"):
            tesvorn.loads("- " * 100_000 + "x")

    def test_deep_python_values_raise_recursion_error(self):
        deep_list: list = []
        for _ in range(100_000):
            deep_list = [deep_list]
        deep_dict: dict = {}
        for _ in range(100_000):
            deep_dict = {"k": deep_dict}
        for value in (deep_list, deep_dict):
            with pytest.raises(RecursionError):
                tesvorn.dumps(value)
            with pytest.raises(RecursionError):
                tesvorn.dumps_all([value])
        # Node objects convert what they are given at once.
        m = tesvorn.loads("a: 1")
        for make in (lambda: m.__setitem__("a", deep_dict), lambda: tesvorn.YamlMapping(deep_dict),
                     lambda: tesvorn.YamlSequence(deep_list)):
            with pytest.raises(RecursionError):
                make()
        assert m == {"a": 1}

    def test_deep_node_objects_built_through_the_api(self):
        # Node objects hold the objects assigned, so nesting has no bound:
        # every read and write that walks it either works or raises
        # RecursionError, and nothing changes when it raises.
        top = tesvorn.YamlMapping({"b": 1, "a": 0})
        for _ in range(30_000):
            top = tesvorn.YamlMapping({"z": top, "y": 0})
        for read in (tesvorn.dumps, repr, copy.copy, copy.deepcopy, lambda o: o.to_python()):
            with pytest.raises(RecursionError):
                read(top)
        top.blank_lines_before("y", 3)
        top.format()
        assert top.blank_lines_before("y") == 0
        top.sort_keys(recursive=True)
        inner = top
        for _ in range(30_000):
            assert list(inner) == ["y", "z"]
            inner = inner["z"]
        assert list(inner) == ["a", "b"]


# --- aliases ----------------------------------------------------------------


LOAD_ROADS = {
    "loads": "tesvorn.loads(text)",
    "loads_all": "tesvorn.loads_all(text)",
    "iter_loads_all": "list(tesvorn.iter_loads_all(text))",
    "load": "tesvorn.load(io.StringIO(text))",
}


class TestAliasBudget:
    # An alias of a collection loads as its anchor's own object, so the
    # "billion laughs" (9**24 lists if copied) makes one list per level and
    # comes back as it was written.
    @pytest.mark.parametrize("call", LOAD_ROADS.values(), ids=LOAD_ROADS.keys())
    def test_billion_laughs_loads_shared(self, call):
        text = laughs(24, 9)
        doc = eval(call)
        doc = doc if isinstance(doc, tesvorn.YamlMapping) else doc[0]
        assert all(item is doc["l23"] for item in doc["l24"])
        assert tesvorn.dumps(doc) == text
        plain = doc.to_python()
        assert plain["l24"][0] is plain["l24"][8] is plain["l23"]

    @needs_rss
    @pytest.mark.parametrize("call", LOAD_ROADS.values(), ids=LOAD_ROADS.keys())
    def test_billion_laughs_memory(self, call):
        r = probe("text = laughs(24, 9)", call)
        assert r["outcome"] == "ok", r
        assert r["growth_mb"] < 50, r

    @pytest.mark.parametrize("text, error", [
        # A scalar's alias copies its text: bounded by ten times the input.
        ("big: &b " + "x" * 1_000_000 + "\n" + "".join(f"c{i}: *b\n" for i in range(200)),
         tesvorn.ParseError),
        # Anchors on complex keys load as no object; their aliases copy.
        ("? &k0 [lol, lol, lol, lol, lol, lol, lol, lol, lol]\n: 0\n"
         + "".join(f"? &k{i} [" + ", ".join([f"*k{i - 1}"] * 9) + f"]\n: {i}\n" for i in range(1, 12))
         + "last: *k11\n", tesvorn.LoaderError),
    ], ids=["scalar", "complex-keys"])
    def test_copies_are_bounded(self, text, error):
        with pytest.raises(error, match="aliases expand too far"):
            tesvorn.loads(text)

    def test_many_aliases_of_one_big_node(self):
        big = "base: &b [" + ", ".join(str(i) for i in range(20_000)) + "]\n"
        doc = tesvorn.loads(big + "".join(f"c{i}: *b\n" for i in range(1000)))
        assert doc["c999"] is doc["base"]
        assert doc["c3"] == list(range(20_000))

    def test_ordinary_merge_style_aliases_load(self):
        text = "defaults: &d {a: 1, b: [1, 2]}\n" + "".join(f"s{i}: *d\n" for i in range(2000))
        doc = tesvorn.loads(text)
        assert doc["s1999"] == {"a": 1, "b": [1, 2]}


# --- size -------------------------------------------------------------------


class TestLongInput:
    @pytest.mark.parametrize("style", ["plain", "single", "double", "literal", "folded"])
    def test_ten_megabyte_scalars(self, style):
        body = "x" * 10_000_000
        text = {
            "plain": f"k: {body}\n",
            "single": f"k: '{body}'\n",
            "double": f'k: "{body}"\n',
            "literal": f"k: |\n  {body}\n",
            "folded": f"k: >\n  {body}\n",
        }[style]
        doc = tesvorn.loads(text)
        assert len(doc["k"]) in (10_000_000, 10_000_001)
        assert tesvorn.loads(tesvorn.dumps(doc)) == doc

    def test_long_keys(self):
        key = "k" * 1_000_000
        doc = tesvorn.loads(f"? {key}\n: v\n")
        assert list(doc) == [key]
        assert tesvorn.loads(tesvorn.dumps(doc)) == doc
        assert tesvorn.loads(tesvorn.dumps({key: 1})) == {key: 1}
        # A plain simple key is limited to 1024 characters.
        with pytest.raises(tesvorn.ParseError):
            tesvorn.loads(f"a: 1\n{'k' * 2000}: v\n")
        assert tesvorn.loads(f"{{{'k' * 2000}: v}}") == {"k" * 2000: "v"}

    @needs_rss
    def test_ten_megabyte_scalar_memory(self):
        r = probe('text = "k: " + "x" * 10_000_000 + "\\n"', "tesvorn.dumps(tesvorn.loads(text))")
        assert r["outcome"] == "ok" and r["growth_mb"] < 150, r

    def test_many_small_documents(self):
        text = "".join(f"---\na: {i}\n" for i in range(100_000))
        docs = tesvorn.loads_all(text)
        assert len(docs) == 100_000 and docs[-1] == {"a": 99_999}
        assert sum(1 for _ in tesvorn.iter_loads_all(text)) == 100_000
        assert tesvorn.loads_all(tesvorn.dumps_all(docs))[12345] == {"a": 12345}

    @pytest.mark.parametrize("items", [1, 2, 5, 13, 300])
    def test_loaded_sequences_hold_exact_storage(self, items):
        # A short list filled by slice assignment keeps room for 8 items.
        body = ", ".join(map(str, range(items)))
        doc = tesvorn.loads(f"top: [{body}]\nnested: [[{body}]]\n")
        for seq in (doc["top"], doc["nested"][0]):
            storage = sys.getsizeof(seq) - sys.getsizeof(type(seq)())
            assert storage == sys.getsizeof(list(seq)) - sys.getsizeof([]), items

    @needs_rss
    def test_many_small_documents_stream_in_bounded_memory(self):
        r = probe('text = "".join(f"---\\na: {i}\\nb: [1, 2, 3]\\n" for i in range(300_000))',
                  "sum(1 for _ in tesvorn.iter_load_all(io.StringIO(text)))")
        assert r["outcome"] == "ok" and r["growth_mb"] < 80, r

    # Peak growth of loads_all as a multiple of PyYAML's LibYAML loader's on
    # the same text: the corpus as one stream and many small documents
    # (measured 1.86x and 1.95x, the goal being 2x; repeated runs agree to
    # within 0.01, and the bound leaves room for other machines).
    MEMORY_BOUND = 2.05

    @needs_rss
    @pytest.mark.parametrize("stream", ["corpus", "small documents"])
    def test_memory_against_libyaml(self, stream, corpus, tmp_path):
        import testdata  # not at the top: probes import this module without it

        yaml = pytest.importorskip("yaml")
        if not hasattr(yaml, "CSafeLoader"):
            pytest.skip("PyYAML is built without LibYAML")
        path = tmp_path / "stream.yaml"
        if stream == "corpus":
            text = testdata.corpus_stream(corpus)
        else:
            text = "".join(f"---\nid: {i}\nname: doc{i}\ntags: [a, b]\nenabled: true\n"
                           f"note: a small document\n" for i in range(100_000))
        path.write_text(text, encoding="utf-8")
        setup = f"text = open({str(path)!r}, encoding='utf-8').read()"
        ours = probe(setup, "tesvorn.loads_all(text)")
        # Application tags (!Ref, !secret) load as plain nodes.
        theirs = probe(setup + textwrap.dedent("""
            import yaml
            class Loader(yaml.CSafeLoader): pass
            def untagged(loader, suffix, node):
                if isinstance(node, yaml.ScalarNode): return loader.construct_scalar(node)
                if isinstance(node, yaml.SequenceNode): return loader.construct_sequence(node)
                return loader.construct_mapping(node)
            Loader.add_multi_constructor("!", untagged)
        """), "list(yaml.load_all(text, Loader=Loader))")
        assert ours["outcome"] == theirs["outcome"] == "ok", (ours, theirs)
        ratio = ours["growth_mb"] / theirs["growth_mb"]
        assert ratio <= self.MEMORY_BOUND, (ratio, ours, theirs)

    @pytest.mark.huge
    @needs_rss
    def test_hundred_megabytes(self):
        r = probe("text = config_text(100_000_000)", "len(tesvorn.loads(text))", timeout=600)
        assert r["outcome"] == "ok", r
        assert r["growth_mb"] < 90 * 100, r
        print(f"\n100 MB load: {r['seconds']:.1f} s, peak growth {r['growth_mb']:.0f} MB")


# --- encodings --------------------------------------------------------------


class ChunkStream:
    def __init__(self, chunks):
        self.chunks = list(chunks)

    def read(self, size):
        return self.chunks.pop(0) if self.chunks else b""


BAD_UTF8 = [
    b"a: \xff\n",  # never valid
    b"a: \xc0\xaf\n",  # overlong "/"
    b"a: \xed\xa0\x80\n",  # an encoded surrogate
    b"a: \xf4\x90\x80\x80\n",  # above U+10FFFF
    b"a: \xe2\x82\n",  # truncated in the middle
    b"a: b\xe2",  # truncated at the end of the stream
    b"\xff\xfea\x00:\x00\x00\xd8",  # UTF-16 with its BOM, and a lone surrogate
]


class TestEncoding:
    @pytest.mark.parametrize("data", BAD_UTF8, ids=lambda d: d.hex())
    def test_invalid_utf8_streams(self, data):
        for load in (tesvorn.load, tesvorn.load_all, lambda s: list(tesvorn.iter_load_all(s))):
            with pytest.raises(tesvorn.ParseError, match="not valid Unicode") as info:
                load(io.BytesIO(data))
            assert info.value.line == 1

    def test_characters_split_across_reads(self):
        text = "k: \u00e9\u20ac\U0001F600 \u00e9\n".encode()
        chunks = [text[i:i + 1] for i in range(len(text))]
        assert tesvorn.load(ChunkStream(chunks)) == {"k": "\u00e9\u20ac\U0001F600 \u00e9"}
        assert tesvorn.load(io.BytesIO(b"\xef\xbb\xbfk: v\n")) == {"k": "v"}

    def test_nul(self):
        with pytest.raises(tesvorn.ParseError, match="NUL"):
            tesvorn.loads("a: b\x00c")
        with pytest.raises(tesvorn.ParseError):
            tesvorn.load(io.BytesIO(b"\x00"))
        value = {"k\x00": "v\x00w", "s": ["\x00"]}
        assert tesvorn.loads(tesvorn.dumps(value)) == value
        assert tesvorn.loads('a: "\\0"') == {"a": "\x00"}

    def test_lone_surrogates(self):
        for text in ("\ud800", "a: \udc80", "- '\udfff'\n"):
            for load in (tesvorn.loads, tesvorn.loads_all, lambda t: list(tesvorn.iter_loads_all(t)),
                         lambda t: tesvorn.load(io.StringIO(t))):
                with pytest.raises(tesvorn.ParseError, match="surrogate"):
                    load(text)
        # Dumping them fails the same way (it recursed into the string's
        # characters until RecursionError before).
        for value in ({"a": "\udc80"}, ["ok", "\ud800"], "\udfff", {"\ud800": 1}, {"k": {"x": ["\ud800"]}}):
            with pytest.raises(UnicodeEncodeError):
                tesvorn.dumps(value)
        m = tesvorn.loads("a: 1")
        with pytest.raises(UnicodeEncodeError):
            m.set_comment_before("a", "\ud800")
        with pytest.raises(UnicodeEncodeError):
            m.tag = "\ud800"
        # The constructor names the encoding failure, not the value's type.
        with pytest.raises(UnicodeEncodeError):
            tesvorn.YamlScalar("\ud800")


# --- type errors ------------------------------------------------------------


def _m():
    return tesvorn.loads("a: 1\nb: [1]\n")


def _s():
    return tesvorn.loads("- 1\n- x\n")


S = io.StringIO
TYPE_ERRORS = [
    # (name, call, exception, message start)
    ("loads text", lambda: tesvorn.loads(b"a"), TypeError, "argument 'text': "),
    ("loads_all text", lambda: tesvorn.loads_all(1), TypeError, "argument 'text': "),
    ("iter_loads_all text", lambda: tesvorn.iter_loads_all(None), TypeError, "argument 'text': "),
    ("loads schema", lambda: tesvorn.loads("a", schema=1),
     TypeError, "argument 'schema': 'int' object is not an instance of 'Schema'"),
    ("loads_all schema", lambda: tesvorn.loads_all("a", schema="s"), TypeError, "argument 'schema': "),
    ("iter_loads_all schema", lambda: tesvorn.iter_loads_all("a", schema=[]), TypeError, "argument 'schema': "),
    ("load schema", lambda: tesvorn.load(S("a"), schema=1), TypeError, "argument 'schema': "),
    ("load_all schema", lambda: tesvorn.load_all(S("a"), schema=1), TypeError, "argument 'schema': "),
    ("iter_load_all schema", lambda: tesvorn.iter_load_all(S("a"), schema=1), TypeError, "argument 'schema': "),
    ("dumps schema", lambda: tesvorn.dumps(1, schema=1), TypeError, "argument 'schema': "),
    ("dumps_all schema", lambda: tesvorn.dumps_all([1], schema=1), TypeError, "argument 'schema': "),
    ("dump schema", lambda: tesvorn.dump(1, S(), schema=1), TypeError, "argument 'schema': "),
    ("dump_all schema", lambda: tesvorn.dump_all([1], S(), schema=1), TypeError, "argument 'schema': "),
    ("dumps indent", lambda: tesvorn.dumps(1, indent="2"), TypeError, "argument 'indent': "),
    ("dumps_all indent", lambda: tesvorn.dumps_all([1], indent=1.5), TypeError, "argument 'indent': "),
    ("dump indent", lambda: tesvorn.dump(1, S(), indent=None), TypeError, "argument 'indent': "),
    ("dump_all indent", lambda: tesvorn.dump_all([1], S(), indent=[]), TypeError, "argument 'indent': "),
    ("dumps indent negative", lambda: tesvorn.dumps(1, indent=-1), OverflowError, ""),
    ("dumps indent huge", lambda: tesvorn.dumps(1, indent=2**64), OverflowError, ""),
    ("dumps_all not iterable", lambda: tesvorn.dumps_all(1), TypeError, ""),
    ("dump_all not iterable", lambda: tesvorn.dump_all(1, S()), TypeError, ""),
    ("loads unknown keyword", lambda: tesvorn.loads("a", foo=1), TypeError, ""),
    ("loads positional schema", lambda: tesvorn.loads("a", None), TypeError, ""),
    ("dumps no argument", lambda: tesvorn.dumps(), TypeError, ""),
    ("dump no stream", lambda: tesvorn.dump(1), TypeError, ""),
    ("load no read", lambda: tesvorn.load("a: 1"), AttributeError, ""),
    ("dump no write", lambda: tesvorn.dump({"a": 1}, object()), AttributeError, ""),
    ("read returns int", lambda: tesvorn.load(type("R", (), {"read": lambda self, n: 5})()),
     RuntimeError, "stream.read() must return str or bytes"),
    ("read returns None", lambda: tesvorn.load_all(type("R", (), {"read": lambda self, n: None})()),
     RuntimeError, "stream.read() must return str or bytes"),
    ("dump key float", lambda: tesvorn.dumps({1.5: 2}), TypeError, ""),
    ("dump key object", lambda: tesvorn.dumps({object(): 2}), TypeError, ""),
    ("dump unknown object", lambda: tesvorn.dumps({"o": object()}), RuntimeError, "Cannot convert "),
    ("YamlIter()", lambda: tesvorn.YamlIter(), TypeError, ""),
    ("Schema(1)", lambda: tesvorn.Schema(1), TypeError, ""),
    ("add_loader tag", lambda: tesvorn.Schema().add_loader(1, print), TypeError, "argument 'tag': "),
    ("YamlMapping(1)", lambda: tesvorn.YamlMapping(1), TypeError, ""),
    ("YamlMapping style", lambda: tesvorn.YamlMapping(style=1), TypeError, "argument 'style': "),
    ("YamlMapping style name", lambda: tesvorn.YamlMapping(style="inline"), ValueError, ""),
    ("YamlMapping tag", lambda: tesvorn.YamlMapping(tag=1), TypeError, "argument 'tag': "),
    ("YamlMapping schema", lambda: tesvorn.YamlMapping({}, schema=1), TypeError, "argument 'schema': "),
    ("YamlMapping int key", lambda: _m().__setitem__(1, 2), TypeError, "argument 'key': "),
    ("YamlSequence(1)", lambda: tesvorn.YamlSequence(1), TypeError, ""),
    ("YamlSequence style name", lambda: tesvorn.YamlSequence([], style="x"), ValueError, ""),
    ("YamlScalar()", lambda: tesvorn.YamlScalar(), TypeError, ""),
    ("YamlScalar(object())", lambda: tesvorn.YamlScalar(object()), TypeError, "YamlScalar value must be "),
    ("YamlScalar style", lambda: tesvorn.YamlScalar("x", style=1), TypeError, "argument 'style': "),
    ("YamlScalar style name", lambda: tesvorn.YamlScalar("x", style="bold"), ValueError, "unknown style "),
    ("comment_before key", lambda: _m().comment_before(1), TypeError, "argument 'key': "),
    ("set_comment_before comment", lambda: _m().set_comment_before("a", 1), TypeError, "argument 'comment': "),
    ("blank_lines_before n", lambda: _m().blank_lines_before("a", "x"), TypeError, "argument 'n': "),
    ("blank_lines_before negative", lambda: _m().blank_lines_before("a", -1), OverflowError, ""),
    ("blank_lines_before three", lambda: _m().blank_lines_before("a", 1, 2),
     RuntimeError, "blank_lines_before takes 1 or 2 positional arguments"),
    ("scalar_style style", lambda: _m().scalar_style("a", 1), TypeError, "argument 'style': "),
    ("container_style style", lambda: _m().container_style("b", 1), TypeError, "argument 'style': "),
    ("set_alias name", lambda: _m().set_alias("a", 1), TypeError, "argument 'anchor_name': "),
    ("set_alias absent", lambda: _m().set_alias("zz", "x"), KeyError, ""),
    ("sort_keys key", lambda: _m().sort_keys(key=1), TypeError, "argument 'key': "),
    ("format flag", lambda: _m().format(styles="x"), TypeError, "argument 'styles': "),
    ("format positional", lambda: _m().format(1), TypeError, ""),
    ("node key", lambda: _m().node(1), TypeError, "argument 'key': "),
    ("update", lambda: _m().update(1), TypeError, ""),
    ("setdefault key", lambda: _m().setdefault(1), TypeError, "argument 'key': "),
    ("pop key", lambda: _m().pop(1), TypeError, "argument 'key': "),
    ("tag", lambda: setattr(_m(), "tag", 1), TypeError, "argument 'tag': "),
    ("anchor", lambda: setattr(_m(), "anchor", 1), TypeError, "argument 'anchor': "),
    ("style", lambda: setattr(_m(), "style", 1), TypeError, "argument 'style': "),
    ("yaml_version type", lambda: setattr(_m(), "yaml_version", 1), TypeError, "argument 'yaml_version': "),
    ("yaml_version text", lambda: setattr(_m(), "yaml_version", "1.x"), ValueError, "invalid YAML version "),
    ("explicit_start", lambda: setattr(_m(), "explicit_start", "yes"), TypeError, "argument 'explicit_start': "),
    ("tag_directives", lambda: setattr(_m(), "tag_directives", 1), TypeError, "tag_directives must be "),
    ("tag_directives items", lambda: setattr(_m(), "tag_directives", [(1, 2)]), TypeError, "tag_directives items "),
    ("trailing_blank_lines type", lambda: setattr(_m(), "trailing_blank_lines", "x"), TypeError, ""),
    ("trailing_blank_lines range", lambda: setattr(_m(), "trailing_blank_lines", 256), OverflowError, ""),
    ("del tag", lambda: delattr(_m(), "tag"), TypeError, ""),
    ("sequence comment idx", lambda: _s().comment_before("x"), TypeError, "argument 'idx': "),
    ("sequence comment range", lambda: _s().comment_before(5), IndexError, ""),
    ("sequence node idx", lambda: _s().node("x"), TypeError, "argument 'idx': "),
    ("sequence insert idx", lambda: _s().insert("x", 1), TypeError, "argument 'idx': "),
    ("sequence setitem idx", lambda: _s().__setitem__("x", 1), TypeError, ""),
    ("sequence pop idx", lambda: _s().pop("x"), TypeError, "argument 'idx': "),
    ("sequence sort key", lambda: _s().sort(key=1), TypeError, "argument 'key': "),
    ("sequence sort mixed", lambda: _s().sort(), TypeError, ""),
    ("sequence blank n", lambda: _s().blank_lines_before(0, "x"), TypeError, "argument 'n': "),
    ("scalar value is read-only", lambda: setattr(tesvorn.loads("x"), "value", 1), AttributeError, ""),
    ("timestamp text", lambda: tesvorn.loads("t: !!timestamp 2001-13-45"), ValueError, ""),
    ("binary text", lambda: tesvorn.loads("b: !!binary aGk"), RuntimeError, "!!binary decode error: "),
]


@pytest.mark.parametrize("call,exc,start", [t[1:] for t in TYPE_ERRORS], ids=[t[0] for t in TYPE_ERRORS])
def test_argument_errors(call, exc, start):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    assert str(info.value).startswith(start), str(info.value)


def test_errors_leave_objects_usable():
    m = _m()
    for bad in (lambda: m.set_comment_before("a", 1), lambda: m.blank_lines_before("a", "x"),
                lambda: m.__setitem__(1, 2), lambda: setattr(m, "tag", 1)):
        with pytest.raises(TypeError):
            bad()
    m["c"] = datetime.date(2020, 1, 2)
    assert tesvorn.loads(tesvorn.dumps(m)).to_python() == {"a": 1, "b": [1], "c": m["c"]}
