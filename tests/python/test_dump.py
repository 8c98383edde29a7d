"""The dump road: Python values to YAML text, anchors, node objects, Schema and dumpers."""

import collections
import copy
import datetime
import decimal
import enum
import fractions
import inspect
import io
import threading
import types

import pytest
import yaml
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tesvorn
import testdata
from tesvorn import dumps, dumps_all, loads

CANNOT_CONVERT = "Cannot convert {} to a YAML node"
RECURSIVE = "cannot serialize a recursive structure: self-referential {} detected"


class Named:
    """An unconvertible object with a predictable str()."""

    def __init__(self, name="thing"):
        self.name = name

    def __str__(self):
        return self.name


class P:
    pass


def mapping(pairs):
    m = tesvorn.YamlMapping()
    m.update(pairs)
    return m


def nested(make, depth):
    root = cur = make()
    for _ in range(depth):
        child = make()
        if isinstance(cur, dict):
            cur["k"] = child
        else:
            cur.append(child)
        cur = child
    return root


class TestValueKinds:
    def test_containers_and_primitives(self):
        doc = {"s": "text", "i": -7, "f": 2.5, "t": True, "n": None,
               "l": [1, [2, 3]], "t2": (4, (5,)), "d": {"x": {}}, "e": []}
        assert dumps(doc) == (
            "s: text\ni: -7\nf: 2.5\nt: true\nn: null\nl:\n  - 1\n  - - 2\n    - 3\n"
            "t2:\n  - 4\n  - - 5\nd:\n  x: {}\ne: []\n")

    @pytest.mark.parametrize("value,text", [
        (None, "null\n"), (5, "5\n"), ("a", "a\n"), ([], "[]\n"), ({}, "{}\n"), ((), "[]\n"),
        (False, "false\n"), (-0.0, "-0.0\n"), (float("nan"), ".nan\n"), (float("-inf"), "-.inf\n"),
    ])
    def test_roots(self, value, text):
        assert dumps(value) == text

    @pytest.mark.parametrize("value", [-2**63, 2**63 - 1, 2**63, -2**70, 10**30, 10**400])
    def test_integers_of_any_size_are_exact(self, value):
        text = dumps({"n": value})
        assert text == f"n: {value}\n"
        assert loads(text)["n"] == value and type(loads(text)["n"]) is int
        m = loads("n: 0\n")
        m["n"] = value
        assert m["n"] == value and m.node("n").value == value and dumps(m) == text

    @pytest.mark.parametrize("text", ["123456789012345678901234567890", "-99999999999999999999",
                                      "+000123456789012345678901234567890"])
    def test_big_integers_load_as_int_and_keep_their_text(self, text):
        doc = loads(f"a: {text}\nb: '{text}'\n")
        assert doc["a"] == int(text) and doc["b"] == text
        assert dumps(doc) == f"a: {text}\nb: '{text}'\n"
        assert dumps({"s": text}) == f"s: '{text}'\n"  # a string stays one

    def test_number_like_objects(self):
        class Level(enum.IntEnum):
            HIGH = 3

        class Colour(str, enum.Enum):
            RED = "red"

        class IndexRaises:
            def __index__(self):
                raise ValueError("no index")

            def __float__(self):
                return 2.5

        assert dumps([decimal.Decimal("1.5"), fractions.Fraction(1, 4), Level.HIGH,
                      Colour.RED, IndexRaises()]) == "- 1.5\n- 0.25\n- 3\n- red\n- 2.5\n"
        with pytest.raises(RuntimeError, match="^Cannot convert sNaN to a YAML node$"):
            dumps([decimal.Decimal("sNaN")])

    def test_bytes_and_dates(self):
        doc = {"b": b"hi", "ba": bytearray(b"hello"), "e": b"",
               "d": datetime.date(2001, 12, 14),
               "t": datetime.datetime(2001, 12, 14, 21, 59, 43, tzinfo=datetime.timezone.utc)}
        text = dumps(doc)
        assert text == ("b: !!binary aGk=\nba: !!binary aGVsbG8=\ne: !!binary ''\n"
                        "d: !!timestamp 2001-12-14\nt: !!timestamp 2001-12-14T21:59:43+00:00\n")
        back = loads(text)
        assert back["b"] == b"hi" and back["ba"] == b"hello" and back["d"] == doc["d"]

    def test_isoformat_failures_propagate(self):
        class BadDate(datetime.date):
            def isoformat(self):
                raise KeyError("iso")

        class IntDate(datetime.date):
            def isoformat(self):
                return 5

        with pytest.raises(KeyError, match="iso"):
            dumps({"d": BadDate(2000, 1, 1)})
        with pytest.raises(TypeError):
            dumps({"d": IntDate(2000, 1, 1)})

    def test_sets_generators_and_iterables(self):
        assert dumps({"k": {1, 2}}) == "k:\n  - 1\n  - 2\n"
        assert dumps({"g": (i * i for i in range(3))}) == "g:\n  - 0\n  - 1\n  - 4\n"
        assert dumps(range(2)) == "- 0\n- 1\n"

    def test_mappings_in_iteration_order(self):
        od = collections.OrderedDict(a=1, b=2)
        od.move_to_end("a")
        assert dumps(od) == "b: 2\na: 1\n"
        assert dumps({"o": od}) == "o:\n  b: 2\n  a: 1\n"
        proxy = types.MappingProxyType({"x": [1]})
        assert dumps({"c": collections.ChainMap({"a": 1}, {"b": 2}), "p": proxy}) == (
            "c:\n  b: 2\n  a: 1\np:\n  x:\n    - 1\n")

    def test_hostile_iterables_and_mappings(self):
        class BadIter:
            def __iter__(self):
                raise ValueError("iter")

        class BadItems(collections.abc.Mapping):
            def __getitem__(self, k):
                return 1

            def __iter__(self):
                return iter("a")

            def __len__(self):
                return 1

            def items(self):
                raise LookupError("items")

        class IntKeys(BadItems):
            def items(self):
                return [(1, "a")]

        def gen():
            yield 1
            raise OSError("gen")

        with pytest.raises(ValueError, match="iter"):
            dumps([BadIter()])
        with pytest.raises(LookupError, match="items"):
            dumps([BadItems()])
        with pytest.raises(TypeError):
            dumps([IntKeys()])
        with pytest.raises(OSError, match="gen"):
            dumps({"g": gen()})

    def test_hostile_equality_is_never_consulted(self):
        class NoEq:
            def __eq__(self, other):
                raise AssertionError("compared")

            __hash__ = None

        item = [NoEq.__name__]
        assert dumps({"a": item, "b": item}) == "a: &id001\n  - NoEq\nb: *id001\n"


class TestErrors:
    def test_non_str_keys(self):
        for doc in ({1: "a"}, {"ok": {None: 1}}, [{b"k": 1}]):
            with pytest.raises(TypeError):
                dumps(doc)

    def test_cannot_convert(self):
        with pytest.raises(RuntimeError) as info:
            dumps({"o": Named("my thing")})
        assert str(info.value) == CANNOT_CONVERT.format("my thing")
        with pytest.raises(RuntimeError, match="^Cannot convert <object object at 0x"):
            dumps({"o": object()})

    def test_str_of_unconvertible_raising_propagates(self):
        class BadStr:
            def __str__(self):
                raise ArithmeticError("str")

        with pytest.raises(ArithmeticError, match="str"):
            dumps([BadStr()])

    def test_unencodable_strings(self):
        with pytest.raises(UnicodeEncodeError):
            dumps({"s": "a\ud800b"})
        with pytest.raises(UnicodeEncodeError):
            dumps({"s\udfff": 1})

    def test_dumps_all_fails_whole(self):
        with pytest.raises(RuntimeError, match="^Cannot convert thing"):
            dumps_all([{"a": 1}, Named()])

    def test_dict_changed_during_conversion(self):
        doc = {}
        s = tesvorn.Schema()
        s.add_dumper(P, lambda o: (doc.update(extra=1), ("!p", 1))[1])
        doc["p"] = P()
        with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
            dumps(doc, schema=s)


class TestAnchors:
    def test_shared_and_equal_containers(self):
        d = {"a": 1}
        assert dumps({"x": d, "y": d}) == "x: &id001\n  a: 1\ny: *id001\n"
        assert dumps({"x": [1], "y": [1]}) == "x:\n  - 1\ny:\n  - 1\n"

    def test_self_containing_containers(self):
        # Such text would hold itself: no reader loads it.
        d = {}
        d["self"] = d
        lst = [1]
        lst.append(lst)
        inner = []
        outer = {"l": inner}
        inner.append(outer)
        for value, kind in ((d, "dict"), (lst, "list"), ([outer], "dict")):
            with pytest.raises(ValueError, match=f"^cannot serialize a recursive structure: .*{kind}"):
                dumps(value)

    def test_numbering_in_conversion_order(self):
        a, b = [1], {"k": 2}
        text = dumps([b, a, a, b, (a,)])
        assert text == ("- &id001\n  k: 2\n- &id002\n  - 1\n- *id002\n- *id001\n- - *id002\n")
        many = [[i] for i in range(1000)]
        text = dumps(many + many)
        assert "&id999\n" in text and "- &id1000\n" in text and text.endswith("- *id1000\n")

    def test_shared_tuples_and_empty_collections_read_back(self):
        e = []
        doc = {"a": (), "b": (), "c": [e, e]}
        text = dumps(doc)
        assert text == "a: &id001 []\nb: *id001\nc:\n  - &id002 []\n  - *id002\n"
        assert loads(text).to_python() == {"a": [], "b": [], "c": [[], []]}
        assert yaml.safe_load(text) == {"a": [], "b": [], "c": [[], []]}

    def test_anchors_inside_nested_sequences_read_back(self):
        d = {"a": 1}
        for indent in (1, 2, 3, 4):
            text = dumps([[d, d], [[d]]], indent=indent)
            expected = [[{"a": 1}] * 2, [[{"a": 1}]]]
            assert loads(text).to_python() == expected
            assert yaml.safe_load(text) == expected

    def test_anchor_redefined_inside_a_collection_of_its_name(self):
        # The inner anchor stands later in the text: an alias after the
        # outer collection reads the inner one, so an alias whose data is
        # the outer one's is written as that data, and one holding the
        # inner object is an alias.
        d = loads("seq: &s [3, 1, 2]\nagain: *s\nother: *s\n")
        again = copy.copy(d["again"])
        again.insert(0, d["seq"])
        d["again"] = again
        d.insert(1, "a", again)
        out = dumps(d)
        assert out == ("seq: &s [3, 1, 2]\na: &s [&s [3, 1, 2], 3, 1, 2]\n"
                       "again: &s [&s [3, 1, 2], 3, 1, 2]\nother: *s\n")
        assert loads(out).to_python() == d.to_python()

    def test_each_document_restarts_numbering(self):
        d = [0]
        assert dumps_all([{"a": d, "b": d}, {"c": d, "d": d}]) == (
            "---\na: &id001\n  - 0\nb: *id001\n---\nc: &id001\n  - 0\nd: *id001\n")

    def test_scratch_state_cleaned_after_errors(self):
        s = tesvorn.Schema()
        s.add_dumper(P, lambda o: 1 / 0)
        shared = [1]
        with pytest.raises(tesvorn.DumperError):
            dumps([shared, shared, P()], schema=s)
        with pytest.raises(RecursionError):
            dumps(nested(list, 100_000))
        with pytest.raises(ValueError):
            tesvorn.YamlMapping({"a": shared, "b": [shared, self_dict()]}, schema=s)
        assert dumps([shared, shared]) == "- &id001\n  - 1\n- *id001\n"
        # The container that was being converted when the error struck is
        # not left marked as in progress.
        d = self_dict()
        with pytest.raises(ValueError):
            dumps({"d": d})
        assert dumps({"d": d["self"] is d and [1]}) == "d:\n  - 1\n"

    def test_threads_have_their_own_registry(self):
        barrier = threading.Barrier(2, timeout=10)

        class Pause:
            pass

        s = tesvorn.Schema()
        # Runs in the middle of thread A's document, while thread B dumps.
        s.add_dumper(Pause, lambda o: (barrier.wait(), barrier.wait(), ("!pause", 1))[2])
        results = {}

        def thread_a():
            x, y = [1], [2]
            results["a"] = dumps([x, x, Pause(), y, y], schema=s)

        def thread_b():
            barrier.wait()
            z = [3]
            results["b"] = dumps([z, z])
            barrier.wait()

        threads = [threading.Thread(target=thread_a), threading.Thread(target=thread_b)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert results["a"] == "- &id001\n  - 1\n- *id001\n- !pause 1\n- &id002\n  - 2\n- *id002\n"
        assert results["b"] == "- &id001\n  - 3\n- *id001\n"

    def test_nested_dump_in_a_dumper_keeps_outer_anchors(self):
        inner = {"z": 1}
        s = tesvorn.Schema()
        s.add_dumper(P, lambda o: ("!p", dumps({"a": inner, "b": inner})))
        a, b = [1], [2]
        text = dumps({"a1": a, "a2": a, "p": P(), "b1": b, "b2": b}, schema=s)
        assert text == ('a1: &id001\n  - 1\na2: *id001\np: !p "a: &id001\\n  z: 1\\nb: *id001\\n"\n'
                        "b1: &id002\n  - 2\nb2: *id002\n")


def self_dict():
    d = {}
    d["self"] = d
    return d


def self_list():
    lst = []
    lst.append(lst)
    return lst


class TestNodeObjects:
    def test_loaded_document_round_trips_with_edits(self):
        text = "%YAML 1.2\n---\n# top\na: 1  # one\n\nb:\n  c: [x, y]\n  d: 'q'\n...\n"
        doc = loads(text)
        assert dumps(doc) == text
        doc["b"]["c"].append("z")
        doc["b"]["e"] = {"f": None}
        assert dumps(doc) == ("%YAML 1.2\n---\n# top\na: 1  # one\n\nb:\n  c: [x, y, z]\n"
                              "  d: 'q'\n  e:\n    f: null\n...\n")

    def test_scalar_and_sequence_roots(self):
        assert dumps(loads("--- !t 'x'\n...\n")) == "--- !t 'x'\n...\n"
        assert dumps(tesvorn.YamlScalar("x", tag="!t", style="single")) == "!t 'x'\n"
        assert dumps(loads("a: &x [1]\nb: *x\n")) == "a: &x [1]\nb: *x\n"
        seq = tesvorn.YamlSequence([1, 2], style="flow", tag="!s")
        assert dumps({"s": seq}) == "s: !s [1, 2]\n"

    def test_current_contents_of_the_python_part(self):
        m = loads("a:\n  b: 1\nl:\n  - x\n  - [1]\n")
        dict.__setitem__(m, "a", {"plain": True})  # bypasses the tree: dict part wins
        list.__setitem__(m["l"], 1, (7, 8))
        assert dumps(m) == "a:\n  plain: true\nl:\n  - x\n  - - 7\n    - 8\n"
        # Collection entries missing from the Python part are left out.
        dict.__delitem__(m, "a")
        list.__delitem__(m["l"], 1)
        assert dumps(m) == "l:\n  - x\n"

    # Collections are written slot by slot from their objects: one missing
    # from a Python part is left out where it stood, the last one too; a
    # text's end without a line break is found under them.
    @pytest.mark.parametrize("text, path, key, expected", [
        ("a:\n  b:\n    x: 1\n  c:\n    y: 2\n  d: 3\ne: 4\n", ["a"], "b",
         "a:\n  c:\n    y: 2\n  d: 3\ne: 4\n"),
        ("a:\n  b:\n    x: 1\n  c:\n    y: 2\ne: 4\n", ["a"], "c", "a:\n  b:\n    x: 1\ne: 4\n"),
        ("a:\n  b:\n    - 1\n  c:\n    - 2\ne: 4\n", ["a"], "b", "a:\n  c:\n    - 2\ne: 4\n"),
        ("a:\n  - x: 1\n    y:\n      - 2\n    z: 3\n", ["a", 0], "y", "a:\n  - x: 1\n    z: 3\n"),
        ("a:\n  x: 1\nb:\n  y: 2\n", [], "b", "a:\n  x: 1\n"),
        ("a:\n  x: 1\n", [], "a", "{}\n"),
        ("a:\n  b:\n    c: |\n      text", None, None, "a:\n  b:\n    c: |\n      text"),
        ("- - x: 1\n    y: >\n      folded", None, None, "- - x: 1\n    y: >\n      folded"),
    ])
    def test_nested_objects_written_slot_by_slot(self, text, path, key, expected):
        doc = loads(text)
        if path is not None:
            parent = doc
            for step in path:
                parent = parent[step]
            dict.__delitem__(parent, key)
        assert dumps(doc) == expected

    def test_placeholder_values_use_the_dump_schema(self):
        m = tesvorn.YamlMapping()
        m["p"] = P()
        with pytest.raises(RuntimeError, match="^Cannot convert <"):
            dumps(m)
        s = tesvorn.Schema()
        s.add_dumper(P, lambda o: ("!p", [1]))
        assert dumps(m, schema=s) == "p: !p\n  - 1\n"

    def test_self_containing_plain_container_in_python_part(self):
        m = tesvorn.YamlMapping()
        with pytest.raises(ValueError) as info:
            m["k"] = self_dict()
        assert str(info.value) == RECURSIVE.format("dict") and m == {}
        q = tesvorn.YamlSequence()
        with pytest.raises(ValueError) as info:
            q.append(self_list())
        assert str(info.value) == RECURSIVE.format("list") and q == []
        # Kept as it is (it holds a value with no conversion), it is caught
        # at the dump.
        m2 = tesvorn.YamlMapping()
        kept = [P()]
        m2["k"] = kept
        assert m2["k"] is kept
        kept.insert(0, kept)
        with pytest.raises(ValueError) as info:
            dumps(m2)
        assert str(info.value) == RECURSIVE.format("list")
        with pytest.raises(ValueError) as info:
            tesvorn.YamlMapping({"a": self_dict()}, schema=tesvorn.Schema())
        assert str(info.value) == RECURSIVE.format("dict")

    def test_node_object_containing_itself(self):
        m = tesvorn.YamlMapping({"a": {}})
        dict.__setitem__(m, "a", m)
        with pytest.raises(RuntimeError) as info:
            dumps(m)
        assert str(info.value) == "self-referential structure detected"
        q = tesvorn.YamlSequence([[]])
        inner = tesvorn.YamlMapping({"q": []})
        dict.__setitem__(inner, "q", q)
        list.__setitem__(q, 0, inner)
        with pytest.raises(RuntimeError, match="^self-referential structure detected$"):
            dumps({"x": q})

    def test_trees_shared_with_a_dump_or_a_copy_stay_apart(self):
        # A dump shares the trees of nested objects that hold only scalars;
        # a copy shares its original's until one of them changes.
        m = loads("a: {x: 1}\nb: 2\n")
        assert dumps(m) == "a: {x: 1}\nb: 2\n"
        m["a"]["y"] = [3]  # no longer only scalars: written from its objects
        m["a"]["y"].append(4)
        assert dumps(m) == "a: {x: 1, y: [3, 4]}\nb: 2\n"
        c = m["a"].copy()
        m["a"]["x"] = 5
        assert (dumps(c), dumps(m["a"])) == ("{x: 1, y: [3, 4]}\n", "{x: 5, y: [3, 4]}\n")
        # A dumper that changes an object already written: the text holds
        # what was written, the object the change.
        q = loads("- [1, 2]\n")
        s = tesvorn.Schema()
        s.add_dumper(P, lambda o: (q[0].append(9), ("!p", 0))[1])
        q.append(P())
        assert dumps(q, schema=s) == "- [1, 2]\n- !p 0\n"
        assert q[0] == [1, 2, 9]

    def test_dumper_changing_the_root_being_written(self):
        # A root's entries are made one at a time as they are written: what
        # a dumper takes out of the Python part before its turn is left out.
        m = loads("a: 1\nb: [1]\nc: [2]\n")
        m["a"] = P()
        s = tesvorn.Schema()
        s.add_dumper(P, lambda o: (m.pop("c", None), ("!p", 0))[1])
        assert dumps(m, schema=s) == "a: !p 0\nb: [1]\n"
        s2 = tesvorn.Schema()
        s2.add_dumper(P, lambda o: 1 / 0)
        with pytest.raises(tesvorn.DumperError, match="ZeroDivisionError"):
            dumps(m, schema=s2)
        assert dumps(m, schema=s) == "a: !p 0\nb: [1]\n"

    @pytest.mark.parametrize("doc,path,key,change,out", [
        ("a: 1\nb: [1]\nc: x\n", (), "a", {"c": "y", "d": 1}, "a: !p 0\nb: [1]\nc: x\n"),
        ("r:\n  a: 1\n  b: [1]\n  c: x\n", ("r",), "a", {"c": "y", "d": 1},
         "r:\n  a: !p 0\n  b: [1]\n  c: x\n"),
        ("- 1\n- [1]\n- x\n", (), 0, {2: "y"}, "- !p 0\n- [1]\n- x\n"),
        ("r:\n- 1\n- [1]\n- x\n", ("r",), 0, {2: "y"}, "r:\n- !p 0\n- [1]\n- x\n"),
        ("r: {a: 1, b: [1], c: x}\n", ("r",), "a", {"c": "y"}, "r: {a: !p 0, b: [1], c: x}\n"),
        # Objects made in Python, written in pieces.
        (lambda: {"r": mapping([("a", 1), ("b", [1]), ("c", "x")])}, ("r",), "a",
         {"c": "y", "d": 1}, "r:\n  a: !p 0\n  b:\n    - 1\n  c: x\n"),
        (lambda: tesvorn.YamlSequence([1, [1], "x"]), (), 0, {2: "y"}, "- !p 0\n- - 1\n- x\n"),
    ], ids=["root", "nested", "root-seq", "nested-seq", "flow", "pieces", "pieces-seq"])
    def test_dumper_changing_the_object_being_written(self, doc, path, key, change, out):
        # Entries and items that are not collections are written as the
        # object held them when its turn came, whatever a dumper changes.
        doc = loads(doc) if isinstance(doc, str) else doc()
        obj = doc
        for k in path:
            obj = obj[k]
        obj[key] = P()

        def dumper(o):
            for k, v in change.items():
                obj[k] = v
            if isinstance(obj, list):
                obj.extend(range(9))
            return "!p", 0

        s = tesvorn.Schema()
        s.add_dumper(P, dumper)
        assert dumps(doc, schema=s) == out
        assert all(obj[k] == v for k, v in change.items())

    def test_node_objects_in_dumper_data_are_dumped_as_they_are(self):
        m = loads("a: 1  # c\nb: [2]\n")
        m["b"].append(3)
        s = tesvorn.Schema()
        s.add_dumper(P, lambda o: ("!p", m))
        assert dumps({"v": P()}, schema=s) == "v: !p\n  a: 1  # c\n  b: [2, 3]\n"


class TestDeepNesting:
    @pytest.mark.parametrize("make", [list, dict])
    def test_deep_plain_containers(self, make):
        with pytest.raises(RecursionError):
            dumps(nested(make, 100_000))

    def test_deep_tuples(self):
        t = ()
        for _ in range(100_000):
            t = (t,)
        with pytest.raises(RecursionError):
            dumps(t)

    def test_deep_node_objects(self):
        m = tesvorn.YamlMapping({"a": {}})
        q = tesvorn.YamlSequence([[]])
        for _ in range(100_000):
            m2 = tesvorn.YamlMapping({"a": {}})
            dict.__setitem__(m2, "a", m)
            m = m2
            q2 = tesvorn.YamlSequence([[]])
            list.__setitem__(q2, 0, q)
            q = q2
        for doc in (m, q, [m]):
            with pytest.raises(RecursionError):
                dumps(doc)

    def test_deep_data_from_a_dumper(self):
        s = tesvorn.Schema()
        s.add_dumper(P, lambda o: ("!p", nested(list, 100_000)))
        with pytest.raises(RecursionError):
            dumps([P()], schema=s)

    def test_deep_in_a_thread(self):
        errors = []

        def run():
            try:
                dumps(nested(dict, 100_000))
            except RecursionError as exc:
                errors.append(exc)

        t = threading.Thread(target=run)
        t.start()
        t.join()
        assert len(errors) == 1

    def test_moderate_depth_works(self):
        text = dumps(nested(list, 300))
        assert loads(text).to_python() == nested(list, 300)


class TestIndent:
    def test_steps(self):
        doc = {"a": {"b": 1}, "l": [1, [2]], "m": [{"x": 1, "y": 2}]}
        assert dumps(doc, indent=4) == (
            "a:\n    b: 1\nl:\n    - 1\n    -   - 2\nm:\n    -   x: 1\n        y: 2\n")
        assert dumps(doc, indent=0) == dumps(doc) == dumps(doc, indent=2)
        for step in (1, 3, 9, 12):
            text = dumps(doc, indent=step)
            assert loads(text).to_python() == doc
            assert yaml.safe_load(text) == doc

    @pytest.mark.parametrize("indent", [256, 2**32, 2**63 - 1, 2**64 - 1])
    def test_an_indent_the_writer_cannot_use(self, indent):
        for call in (lambda: dumps({"a": {"b": 1}}, indent=indent),
                     lambda: tesvorn.dump_all([{"a": 1}], io.StringIO(), indent=indent)):
            with pytest.raises(ValueError, match=r"^argument 'indent': must be in 0\.\.255 "):
                call()
        assert loads(dumps({"a": {"b": [1]}}, indent=255)) == {"a": {"b": [1]}}

    def test_index_protocol(self):
        class Four:
            def __index__(self):
                return 4

        assert dumps({"a": {"b": 1}}, indent=Four()) == "a:\n    b: 1\n"


class TestSchema:
    def test_class_surface(self):
        assert tesvorn.Schema.__doc__.startswith(
            "Per-call registry of custom YAML \u2194 Python type handlers.")
        assert "schema=" in tesvorn.Schema.__doc__
        assert str(inspect.signature(tesvorn.Schema)) == "()"
        s = tesvorn.Schema()
        assert str(inspect.signature(s.add_loader)) == "(tag, func)"
        assert str(inspect.signature(s.add_dumper)) == "(py_type, func)"
        assert s.add_loader.__doc__.startswith("Register a loader for a YAML tag.")
        assert s.add_dumper.__doc__.startswith("Register a dumper for a Python type.")
        with pytest.raises(TypeError):
            tesvorn.Schema(1)
        with pytest.raises(TypeError):
            tesvorn.Schema(x=1)
        with pytest.raises(TypeError, match="^argument 'tag': "):
            s.add_loader(b"!x", str)
        assert s.add_loader("!x", str) is None and s.add_dumper(P, str) is None

    def test_loader_tag_expansion_and_coercion(self):
        calls = []
        s = tesvorn.Schema()
        s.add_loader("!!int", lambda v: calls.append(("short", v)))
        s.add_loader("tag:yaml.org,2002:int", lambda v: calls.append(("long", v)) or v)
        assert loads("v: !!int 0x1F", schema=s)["v"] == "0x1F"
        assert calls == [("long", "0x1F")]
        p = tesvorn.Schema()
        p.add_loader("!point", lambda v: ("pt", v))
        p.add_loader("!!point", lambda v: ("long", v))
        doc = loads("a: !point 0x1F\nb: !!point 7\n", schema=p)
        assert doc == doc.to_python() == {"a": ("pt", "0x1F"), "b": ("long", 7)}

    def test_dumper_order_and_type_forms(self):
        class Base:
            pass

        class Sub(Base):
            pass

        class Q:
            pass

        s = tesvorn.Schema()
        s.add_dumper(Sub, lambda o: ("!sub", 1))
        s.add_dumper(Base, lambda o: ("!base", 2))
        s.add_dumper(Sub, lambda o: ("!second sub", 0))  # the first registration stays
        s.add_dumper("not a type", lambda o: ("!never", 0))
        s.add_dumper((P, Q), lambda o: ("!pq", type(o).__name__))
        s.add_dumper(Q, lambda o: ("!q", 3))
        assert dumps([Sub(), Base(), P(), Q()], schema=s) == (
            "- !sub 1\n- !base 2\n- !pq P\n- !pq Q\n")
        r = tesvorn.Schema()
        r.add_dumper(Base, lambda o: ("!base", 2))
        r.add_dumper(Sub, lambda o: ("!sub", 1))
        assert dumps([Sub()], schema=r) == "- !base 2\n"

    def test_raising_isinstance_is_skipped(self):
        class Meta(type):
            def __instancecheck__(cls, obj):
                raise RuntimeError("check")

        class Hostile(metaclass=Meta):
            pass

        s = tesvorn.Schema()
        s.add_dumper(Hostile, lambda o: ("!h", 1))
        s.add_dumper(P, lambda o: ("!p", 2))
        assert dumps([P()], schema=s) == "- !p 2\n"

    def test_loader_cannot_register_while_loading(self):
        seen = []
        s = tesvorn.Schema()

        def loader(value):
            for register in (lambda: s.add_loader("!y", str), lambda: s.add_dumper(P, str)):
                try:
                    register()
                except RuntimeError as exc:
                    seen.append(str(exc))
            return value

        s.add_loader("!x", loader)
        assert loads("a: !x 1", schema=s) == {"a": "1"}
        assert seen == ["Already borrowed", "Already borrowed"]

        def registering(value):
            s.add_loader("!z", str)

        s.add_loader("!r", registering)
        with pytest.raises(tesvorn.LoaderError) as info:
            loads("a: !r 1", schema=s)
        assert str(info.value) == "Schema loader for tag '!r' raised: RuntimeError: Already borrowed"
        s.add_loader("!after", str)  # the load released the schema

    def test_dumper_may_register_during_dumps(self):
        s = tesvorn.Schema()

        def dumper(o):
            s.add_dumper(float, lambda f: ("!f", str(f)))
            return ("!p", [1.5])

        s.add_dumper(P, dumper)
        # The new dumper applies to objects converted afterwards, such as the
        # dumper's own data, but never to plain floats at document level.
        assert dumps([1.5, P(), 2.5], schema=s) == "- 1.5\n- !p\n  - !f '1.5'\n- 2.5\n"

    def test_non_callable_functions_fail_when_called(self):
        s = tesvorn.Schema()
        s.add_loader("!x", 42)
        s.add_dumper(P, 42)
        with pytest.raises(tesvorn.LoaderError) as info:
            loads("a: !x 1", schema=s)
        assert str(info.value) == (
            "Schema loader for tag '!x' raised: TypeError: 'int' object is not callable")
        with pytest.raises(tesvorn.DumperError) as info:
            dumps([P()], schema=s)
        assert str(info.value) == (
            "Schema dumper for P raised: TypeError: 'int' object is not callable")


class TestDumpers:
    def test_tagged_data(self):
        s = tesvorn.Schema()
        s.add_dumper(P, lambda o: ("!p", {"x": 1}))
        assert dumps({"v": P()}, schema=s) == "v: !p\n  x: 1\n"
        assert dumps(P(), schema=s) == "!p\nx: 1\n"
        assert loads(dumps({"v": P()}, schema=s)) == {"v": {"x": 1}}

    @pytest.mark.parametrize("tag,text", [
        ("!!p", "!!p 1"), ("tag:yaml.org,2002:str", "!!str 1"), ("!", "! 1"),
        ("", "!<> 1"), ("p", "!<p> 1"), ("!a b", "!a%20b 1"),
    ])
    def test_tag_is_taken_as_returned(self, tag, text):
        s = tesvorn.Schema()
        s.add_dumper(P, lambda o: (tag, 1))
        assert dumps([P()], schema=s) == f"- {text}\n"

    def test_dumpers_apply_inside_dumper_data_only(self):
        s = tesvorn.Schema()
        s.add_dumper(dict, lambda o: ("!dict", 0))
        s.add_dumper(int, lambda o: ("!i", str(o)))
        s.add_dumper(P, lambda o: ("!p", [1, (2,)]))
        assert dumps({"a": {"b": 1}, "p": P()}, schema=s) == (
            "a:\n  b: 1\np: !p\n  - !i '1'\n  - - !i '2'\n")

    def test_data_tags_are_replaced(self):
        s = tesvorn.Schema()
        s.add_dumper(P, lambda o: ("!p", tesvorn.YamlScalar(5, tag="!old", style="double")))
        assert dumps([P()], schema=s) == "- !p 5\n"
        s2 = tesvorn.Schema()
        s2.add_dumper(P, lambda o: ("!p", tesvorn.YamlScalar("5", tag="!old", style="double")))
        assert dumps([P()], schema=s2) == '- !p "5"\n'

    @pytest.mark.parametrize("result,failure", [
        ("!p", "TypeError: 'str' object cannot be converted to 'tuple'"),
        (("!p",), "ValueError: expected tuple of length 2, but got tuple of length 1"),
        (("!p", 1, 2), "ValueError: expected tuple of length 2, but got tuple of length 3"),
        ((1, 2), "TypeError: 'int' object cannot be converted to 'str'"),
        (None, "TypeError: 'NoneType' object cannot be converted to 'tuple'"),
    ])
    def test_bad_results(self, result, failure):
        s = tesvorn.Schema()
        s.add_dumper(P, lambda o: result)
        with pytest.raises(tesvorn.DumperError) as info:
            dumps({"v": P()}, schema=s)
        assert str(info.value) == f"Schema dumper for P must return (tag, data) tuple: {failure}"

    def test_raising_dumpers(self):
        class Outer:
            class Inner:
                pass

        class Unprintable(Exception):
            def __str__(self):
                raise ValueError

        s = tesvorn.Schema()
        s.add_dumper(P, lambda o: 1 / 0)
        s.add_dumper(Outer.Inner, lambda o: (_ for _ in ()).throw(Unprintable()))
        with pytest.raises(tesvorn.DumperError) as info:
            dumps([P()], schema=s)
        assert str(info.value) == "Schema dumper for P raised: ZeroDivisionError: division by zero"
        assert info.value.__cause__ is None
        with pytest.raises(tesvorn.DumperError) as info:
            dumps([Outer.Inner()], schema=s)
        assert str(info.value) == (
            "Schema dumper for TestDumpers.test_raising_dumpers.<locals>.Outer.Inner raised: "
            "TestDumpers.test_raising_dumpers.<locals>.Unprintable: <exception str() failed>")

    @pytest.mark.parametrize("data", [lambda: P(), lambda: [P()], lambda: {"again": (P(),)}])
    def test_recursion_is_bounded(self, data):
        s = tesvorn.Schema()
        s.add_dumper(P, lambda o: ("!p", data()))
        with pytest.raises(tesvorn.DumperError) as info:
            dumps({"v": P()}, schema=s)
        assert str(info.value).startswith("Schema dumper for P recursed too deeply")
        assert dumps({"v": [1]}, schema=s) == "v:\n  - 1\n"

    @pytest.mark.parametrize("again", [lambda: P(), lambda: {"v": P()}])
    def test_node_objects_made_by_a_dumper_nest_boundedly(self, again):
        # A node object made inside a dumper is a conversion of its own; one
        # that needs the dumper again still ends in an error, and the next
        # dump starts clean.
        s = tesvorn.Schema()
        s.add_dumper(P, lambda o: ("!p", tesvorn.YamlMapping({"again": again()}, schema=s)))
        with pytest.raises(tesvorn.DumperError):
            dumps({"v": P()}, schema=s)
        a = [1]
        assert dumps({"x": a, "y": a}, schema=s) == "x: &id001\n  - 1\ny: *id001\n"

    def test_dumper_data_containing_its_container(self):
        doc = {}
        s = tesvorn.Schema()
        s.add_dumper(P, lambda o: ("!p", doc))
        doc["p"] = P()
        with pytest.raises(ValueError) as info:
            dumps(doc, schema=s)
        assert str(info.value) == RECURSIVE.format("dict")


class TestCompare:
    def test_sort_finishes_then_raises_the_last_failure(self):
        failures = []

        class Fussy:
            def __init__(self, n):
                self.n = n

            def __lt__(self, other):
                failures.append(self.n)
                raise ValueError(len(failures))

            __gt__ = __lt__

        seq = tesvorn.YamlSequence(["a", "b", "c", "d"])
        with pytest.raises(ValueError) as info:
            seq.sort(key=lambda s: Fussy(s))
        assert len(failures) > 3 and info.value.args == (len(failures),)
        assert sorted(seq) == ["a", "b", "c", "d"]


class Ordered(collections.OrderedDict):
    pass


class Listed(list):
    pass


def whole_tree_text(doc, **kw):
    """The text of `doc` written from one complete tree: dump() converts the
    whole document before writing, and so does dumps() for a root that is
    not an exact dict, list or tuple."""
    out = io.StringIO()
    tesvorn.dump(doc, out, **kw)
    text = out.getvalue()
    if type(doc) is dict:
        assert dumps(Ordered(doc), **kw) == text
    elif type(doc) in (list, tuple):
        assert dumps(Listed(doc), **kw) == text
    return text


class TestPiecewiseWriting:
    """dumps converts and writes a document one entry or item at a time
    (deeper for collections under keys); the text must be that of the whole
    tree."""

    def test_nested_plain_collections(self):
        doc = {"a": {"b": {"c": [1, {"d": []}], "": {"": [None]}}}, "e": ({"f": 1}, [[2]]),
               "g": {}, "h": [], "i": {"x" * 1200: [1]}, "j": "t"}
        for indent in (0, 1, 2, 3, 4):
            assert dumps(doc, indent=indent) == whole_tree_text(doc, indent=indent)
            assert dumps([doc, doc["a"]], indent=indent) == whole_tree_text([doc, doc["a"]], indent=indent)

    def test_shared_containers_inside_plain_roots(self):
        shared, inner = {"s": [1]}, [2]
        doc = {"a": {"x": shared, "y": [inner, inner]}, "b": shared, "c": {"d": {"e": inner}}}
        assert dumps(doc) == whole_tree_text(doc)
        assert "&id001" in dumps(doc) and "&id002" in dumps(doc)
        assert dumps([doc, doc]) == whole_tree_text([doc, doc])
        d = self_dict()
        with pytest.raises(ValueError, match="recursive"):
            dumps({"k": {"l": d}})

    def test_node_objects_inside_plain_roots(self):
        loaded = loads("# c\na: |+\n  keep\n\n\nb:\n\n  - 1  # one\n\n")
        doc = {"m": {"n": loaded, "o": loaded["b"]}, "p": [loaded, {"q": loaded}], "r": 1}
        for indent in (2, 4):
            assert dumps(doc, indent=indent) == whole_tree_text(doc, indent=indent)

    def test_errors_are_the_same(self):
        for doc in ({"a": {"b": {1: 2}}}, {"a": {"b": [Named()]}}, [{"a": [(1, Named("z"))]}]):
            with pytest.raises(Exception) as piecewise:
                dumps(doc)
            with pytest.raises(Exception) as whole:
                whole_tree_text(doc)
            assert type(piecewise.value) is type(whole.value)
            assert str(piecewise.value) == str(whole.value)
        m = tesvorn.YamlMapping()
        m["back"] = {}
        doc = {"outer": {"m": m}}
        dict.__setitem__(m, "back", doc["outer"])
        with pytest.raises(ValueError, match="self-referential dict"):
            dumps(doc)

    def test_loaded_documents(self):
        text = ("%TAG !e! tag:example.com,2000:\n---\n&r !e!root\n# lead\na: !e!x 1  # one\n\n"
                "b: &s !t\n  # inner\n  - [1, 2]\n  - |+\n    keep\n\n\n  - c: d\n\n\n"
                "? [k]\n: v\nf: {g: 1}\ne: {}\n\n...\n")
        doc = loads(text)
        assert dumps(doc) == whole_tree_text(doc)
        assert loads(dumps(doc)).to_python() == doc.to_python()
        doc["b"].append({"n": [1]})
        doc["h"] = {"i": {"j": [2]}}
        for indent in (2, 3):
            assert dumps(doc, indent=indent) == whole_tree_text(doc, indent=indent)
            assert dumps({"w": doc, "v": [doc]}, indent=indent) == whole_tree_text(
                {"w": doc, "v": [doc]}, indent=indent)

    def test_yaml_test_suite_documents(self, suite):
        count = 0
        for case in testdata.suite_cases(suite):
            try:
                docs = tesvorn.loads_all((case / "in.yaml").read_text(encoding="utf-8"))
            except tesvorn.ParseError:
                continue
            for doc in docs:
                count += 1
                assert dumps(doc) == whole_tree_text(doc), case
                assert dumps({"k": doc}) == whole_tree_text({"k": doc}), case
        assert count > 200

    def test_several_documents(self):
        loaded = loads("%YAML 1.2\n---\na: 1\n...\n")
        docs = [{"a": {"b": 1}}, loaded, [1, [2]], loaded, "s", {}]
        text = dumps_all(docs)
        assert text == tesvorn.dumps_all([Ordered(d) if type(d) is dict else
                                          Listed(d) if type(d) is list else d for d in docs])
        assert text.startswith("---\na:\n  b: 1\n...\n%YAML 1.2\n---\na: 1\n...\n---\n- 1\n")


# ---- property: what is dumped reads back -----------------------------------------

scalars = (st.none() | st.booleans() | st.integers(-2**63, 2**63 - 1)
           | st.floats(allow_nan=False) | st.text())
values = st.recursive(
    scalars,
    lambda children: st.lists(children, max_size=5) | st.dictionaries(st.text(), children,
                                                                      max_size=5),
    max_leaves=30)
documents = st.lists(values, max_size=5) | st.dictionaries(st.text(), values, max_size=5)


def same_strings(ours, base):
    """`base` (read by PyYAML's BaseLoader, all scalars as str) has the
    structure of `ours` and the same string values; other scalars are typed
    by YAML 1.1 rules there, so only their presence is checked."""
    if isinstance(ours, dict):
        return (isinstance(base, dict) and list(ours) == list(base)
                and all(same_strings(ours[k], base[k]) for k in ours))
    if isinstance(ours, list):
        return (isinstance(base, list) and len(ours) == len(base)
                and all(same_strings(a, b) for a, b in zip(ours, base)))
    if isinstance(ours, str):
        return ours == base
    return isinstance(base, str)


class TestReadBack:
    @settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(documents, st.sampled_from([0, 1, 2, 3, 4, 8]))
    def test_dumped_documents_read_back(self, doc, indent):
        text = dumps(doc, indent=indent)
        assert text == whole_tree_text(doc, indent=indent)
        assert loads(text).to_python() == doc
        assert same_strings(doc, yaml.load(text, Loader=yaml.BaseLoader))

    @settings(max_examples=200, deadline=None)
    @given(scalars)
    def test_scalar_roots(self, value):
        assert loads(dumps(value)).value == value


class TestDepthMatchesTheReader:
    """dumps writes nothing the reader would refuse: it stops at the reader's
    1,000 levels of block nesting."""

    @staticmethod
    def nest(n, wrap):
        x = 1
        for _ in range(n):
            x = wrap(x)
        return x

    @pytest.mark.parametrize("wrap", [lambda x: [x], lambda x: {"k": x}, lambda x: (x,)],
                             ids=["list", "dict", "tuple"])
    def test_deepest_dump_reads_back(self, wrap):
        text = tesvorn.dumps(self.nest(1000, wrap))
        assert tesvorn.loads(text) is not None
        with pytest.raises(RecursionError):
            tesvorn.dumps(self.nest(1001, wrap))
