"""The load road: loads / loads_all, conversion of trees into node objects and
values, schema loaders, !!binary and !!timestamp, parse errors."""

import copy
import datetime
import io

import pytest
import yaml

import tesvorn
from tesvorn import LoaderError, ParseError, Schema, YamlMapping, YamlScalar, YamlSequence


class TestDocuments:
    def test_empty_inputs(self):
        assert tesvorn.loads("") is None
        assert tesvorn.loads_all("") == []
        # Comments and blank lines alone read as one empty document that
        # carries them, so that they are written back.
        for text in ("# only a comment\n", "\n\n", "# a\n\n#b"):
            docs = tesvorn.loads_all(text)
            assert [d.to_python() for d in docs] == [None]
            assert tesvorn.dumps_all(docs) == tesvorn.dumps(tesvorn.loads(text)) == text

    def test_first_document_only_but_whole_input_parsed(self):
        d = tesvorn.loads("a: 1\n---\nb: 2\n")
        assert d == {"a": 1}
        with pytest.raises(ParseError):
            tesvorn.loads("a: 1\n---\n[")
        assert [x.to_python() for x in tesvorn.loads_all("a: 1\n---\nb: 2\n")] == [{"a": 1}, {"b": 2}]

    def test_root_kinds(self):
        assert isinstance(tesvorn.loads("a: 1"), YamlMapping)
        assert isinstance(tesvorn.loads("- 1"), YamlSequence)
        for text in ("42", "--- !!binary aGk=", "~", "'x'"):
            assert isinstance(tesvorn.loads(text), YamlScalar), text
        assert tesvorn.loads("42").value == 42
        assert tesvorn.loads("--- !!binary aGk=").value == "aGk="

    def test_document_metadata(self):
        d = tesvorn.loads("%YAML 1.2\n%TAG !e! tag:e,2000:\n--- !e!x\na: 1\n...\n")
        assert d.yaml_version == "1.2"
        assert d.tag_directives == [("!e!", "tag:e,2000:")]
        assert (d.explicit_start, d.explicit_end) == (True, True)
        assert d.tag == "tag:e,2000:x"
        nested = tesvorn.loads("--- \na:\n  b: 1\n")["a"]
        assert (nested.explicit_start, nested.yaml_version) == (False, None)

    def test_parse_error_text(self):
        with pytest.raises(ParseError) as info:
            tesvorn.loads("a: 1\n@x")
        assert str(info.value) == "YAML parse error: unexpected character: `@' at character 5 line 2 column 1"
        with pytest.raises(ParseError, match="found invalid character NUL"):
            tesvorn.loads("a: 1\x00b")

    def test_lone_surrogates_in_text(self):
        with pytest.raises(ParseError, match="lone surrogate U[+]D800") as info:
            tesvorn.loads("a: \ud800")
        assert (info.value.line, info.value.column) == (1, 4)


class TestValues:
    def test_scalars_and_nesting(self):
        d = tesvorn.loads("a: 1\nb: [x, 2.5, true, null]\nc: 0x1F\nd: yes\ne: ~\n")
        assert d == {"a": 1, "b": ["x", 2.5, True, None], "c": 31, "d": True, "e": None}
        assert isinstance(d["b"], YamlSequence)
        assert type(d["c"]) is int

    def test_keys_are_strings(self):
        d = tesvorn.loads("1: a\ntrue: b\n~: c\n1.5: d\n")
        assert list(d) == ["1", "true", "~", "1.5"]

    def test_many_keys_of_every_length(self):
        # Keys are shared through a cache of one load: more distinct keys
        # than it holds, of every length up to past its limit, each repeated
        # in a later document and mapping.
        keys = ["k" * n for n in range(1, 80)] + [f"key {i} of many" for i in range(1500)]
        doc = "".join(f"'{k}': {i}\n" for i, k in enumerate(keys))
        nested = "".join("  " + line for line in doc.splitlines(True))
        docs = tesvorn.loads_all(f"{doc}---\nouter:\n{nested}")
        expected = {k: i for i, k in enumerate(keys)}
        assert docs[0] == expected and docs[1]["outer"] == expected
        assert list(docs[1]["outer"]) == keys

    def test_complex_keys_live_under_synthetic_keys(self):
        # NUL and the key's canonical text: the same through edits and reloads.
        d = tesvorn.loads("? [a, b]\n: 1\n? {k: 1}\n: 2\n")
        assert list(d) == ['\x00["a", "b"]', '\x00{"k": 1}']

    @pytest.mark.parametrize("text, paths", [
        ("a: &x [1]\nb: *x\n", [("a",), ("b",)]),
        ("x: &e {TZ: UTC}\nweb:\n  <<: *e\ndb: {<<: *e}\n", [("x",), ("web", "<<"), ("db", "<<")]),
        ("- &a {k: v}\n- [*a, *a]\n", [(0,), (1, 0), (1, 1)]),
        # The last anchor of the name before the alias, as the text reads.
        ("- &a [&a [x]]\n- *a\n", [(0, 0), (1,)]),
        ("--- &r\n- &a [1]\n- &a [2]\n- *a\n", [(1,), (2,)]),
    ])
    def test_an_alias_is_its_anchors_object(self, text, paths):
        def at(d, path):
            for p in path:
                d = d[p]
            return d
        for d in (tesvorn.loads(text), tesvorn.loads_all(text)[0],
                  next(tesvorn.iter_loads_all(text)), tesvorn.load(io.StringIO(text))):
            objects = [at(d, p) for p in paths]
            assert all(o is objects[0] for o in objects), text
            assert tesvorn.dumps(d) == text
            for c in (copy.deepcopy(d), copy.copy(d)):
                assert all(at(c, p) is at(c, paths[0]) for p in paths)
            assert at(copy.deepcopy(d), paths[0]) is not objects[0]

    @pytest.mark.parametrize("text", ["&a [*a]", "a: &x {b: [*x]}", "- &s\n  - *s\n"])
    def test_recursive_alias_is_refused(self, text):
        with pytest.raises(ParseError, match="found an alias that refers to its own node at"):
            tesvorn.loads(text)

    def test_duplicate_keys_last_wins_at_first_place(self):
        d = tesvorn.loads("a: 1\nb: 2\na: 3\n")
        assert list(d.items()) == [("a", 3), ("b", 2)]


class TestBlockScalars:
    @pytest.mark.parametrize("text", [
        "a: |\n\n\n", "a: >\n\n", "a: |-\n\n", "a: |+\n\n\n", "a: |\n\n  \nb: 1\n",
        "a: |\n  text", "a: >\n  x\n  y", "a: |+\n  t\n\n  ", "a: |\n  x\n  ", "- |\n  x",
        "a: >\n  x\n\n  y\n  ", "a: |\n  x\n   ",
    ])
    def test_chomping_reads_as_pyyaml_does(self, text):
        assert tesvorn.loads(text).to_python() == yaml.safe_load(text)


class TestBuiltInTags:
    def test_binary(self):
        assert tesvorn.loads("v: !!binary aGk=")["v"] == b"hi"
        assert tesvorn.loads("v: !!binary |\n  aG\n  k=\n")["v"] == b"hi"
        assert tesvorn.loads("v: !<tag:yaml.org,2002:binary> aGk=")["v"] == b"hi"
        for bad in ("aGk", "aG=k", "a*k=", "aGl="):
            with pytest.raises(RuntimeError, match=r"^!!binary decode error: "):
                tesvorn.loads(f"v: !!binary {bad}")

    def test_timestamp(self):
        assert tesvorn.loads("d: !!timestamp 2001-12-14")["d"] == datetime.date(2001, 12, 14)
        dt = tesvorn.loads("d: !!timestamp 2001-12-14 21:59:43")["d"]
        assert dt == datetime.datetime(2001, 12, 14, 21, 59, 43)
        with pytest.raises(ValueError):
            tesvorn.loads("d: !!timestamp not-a-date")

    @pytest.mark.parametrize("text", [
        "2001-12-14", "2001-12-14 21:59:43.10 -5", "2001-12-14t21:59:43.10-05:00",
        "2001-12-14T21:59:43Z", "2001-12-14 21:59:43.1234567", "2001-1-2 3:04:05",
        "2001-12-14 21:59:43 +05:30", "2001-12-14  21:59:43 Z", "2001-12-15T02:59:43.1Z",
    ])
    def test_timestamp_forms_read_as_pyyaml_reads_them(self, text):
        ours = tesvorn.loads(f"d: !!timestamp {text}")["d"]
        theirs = yaml.safe_load(f"d: !!timestamp {text}")["d"]
        assert (ours, type(ours), getattr(ours, "tzinfo", None)) == (
            theirs, type(theirs), getattr(theirs, "tzinfo", None))

    def test_untagged_dates_stay_strings(self):
        assert tesvorn.loads("d: 2001-12-14")["d"] == "2001-12-14"


class TestLoaders:
    def test_standard_tag_loader_gets_source_text(self):
        for tag in ("!!int", "tag:yaml.org,2002:int"):
            s = Schema()
            s.add_loader(tag, str)
            assert tesvorn.loads("v: !!int 0x1F", schema=s)["v"] == "0x1F"
        assert tesvorn.loads("v: !!int 0x1F")["v"] == 31

    def test_custom_tags(self):
        s = Schema()
        s.add_loader("!pt", lambda v: ("pt", v))
        d = tesvorn.loads("p: !pt 1\nq: !pt [1, 2]\nr: !pt {x: 1}\n", schema=s)
        assert d["p"] == ("pt", "1")
        kind, seq = d["q"]
        assert isinstance(seq, YamlSequence) and seq == [1, 2]
        assert isinstance(d["r"][1], YamlMapping)
        # Roots are never passed to loaders.
        assert isinstance(tesvorn.loads("--- !pt\na: 1\n", schema=s), YamlMapping)

    def test_loader_errors_are_wrapped(self):
        s = Schema()

        def bad(v):
            raise ValueError("bad")

        s.add_loader("!pt", bad)
        with pytest.raises(LoaderError) as info:
            tesvorn.loads("p: !pt 1", schema=s)
        assert str(info.value) == "Schema loader for tag '!pt' raised: ValueError: bad"

        class Unprintable(Exception):
            def __str__(self):
                raise RuntimeError

        def worse(v):
            raise Unprintable

        s.add_loader("!pt", worse)
        with pytest.raises(LoaderError) as info:
            tesvorn.loads("p: !pt 1", schema=s)
        assert str(info.value).endswith(".Unprintable: <exception str() failed>")

    def test_registration_during_load_is_refused(self):
        s = Schema()

        def greedy(v):
            s.add_loader("!other", str)
            return v

        s.add_loader("!pt", greedy)
        with pytest.raises(LoaderError, match="Already borrowed"):
            tesvorn.loads("p: !pt 1", schema=s)

    @pytest.mark.parametrize("text, value", [
        ("!ver 1.10", "1.10"), ("!n 12", "12"), ("!x null", "null"), ("!GetAZs", ""),
        ("!x 'quoted 1'", "quoted 1"),
    ])
    def test_local_tag_scalar_is_its_text(self, text, value):
        # YAML 1.2 types only untagged plain scalars: a locally tagged one is
        # the text written, with or without a loader, and writes back as it was.
        calls = []
        s = Schema()
        s.add_loader(text.split()[0], lambda v: calls.append(v) or v)
        for schema in (None, s):
            doc = tesvorn.loads(f"v: {text}\n", schema=schema)
            assert doc["v"] == value and type(doc["v"]) is str
            assert tesvorn.dumps(doc) == f"v: {text}\n"
        assert calls == [value]


class TestAliasBudget:
    def laughs(self, levels=9, width=9):
        lines = ["a: &a [" + ", ".join(["lol"] * width) + "]"]
        for i in range(1, levels):
            prev, cur = chr(ord("a") + i - 1), chr(ord("a") + i)
            lines.append(f"{cur}: &{cur} [" + ", ".join([f"*{prev}"] * width) + "]")
        return "\n".join(lines) + "\n"

    def test_billion_laughs_loads_shared(self):
        # Aliases share their anchor's object (memory is checked in
        # test_bounds.py).
        d = tesvorn.loads(self.laughs())
        assert d["i"][0] is d["h"] and d["h"][8] is d["g"]

    def test_ordinary_reuse_loads(self):
        base = "base: &b {image: app, env: [A, B], limits: {cpu: 1, memory: 2Gi}}\n"
        services = "".join(f"s{i}:\n  <<: *b\n  name: s{i}\n" for i in range(300))
        d = tesvorn.loads(base + services)
        assert d["s299"]["<<"]["limits"]["memory"] == "2Gi" and d["s299"]["<<"] is d["base"]
        assert tesvorn.loads(self.laughs(levels=3))["c"][0][0] == ["lol"] * 9


def test_keys_share_one_str_per_load_and_nested_loads_keep_theirs():
    # A loader that loads again in the middle of a load: both loads share
    # their own keys, and each key is the text read.
    s = tesvorn.Schema()
    s.add_loader("!inner", lambda v: tesvorn.loads(v)["name"])
    docs = tesvorn.loads_all("- name: a\n  x: !inner 'name: b'\n- name: c\n---\nname: d\n", schema=s)
    first, second = docs
    keys = [next(iter(first[0])), next(iter(first[1])), next(iter(second))]
    assert keys == ["name"] * 3 and keys[0] is keys[1] is keys[2]
    assert first[0]["x"] == "b"
