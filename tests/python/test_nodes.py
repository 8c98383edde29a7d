"""Node classes built from Python values: construction, container operations,
metadata methods and properties (loaded documents are covered in test_roundtrip)."""

import copy
import datetime

import pytest
import yaml

import tesvorn
from tesvorn import Schema, YamlMapping, YamlScalar, YamlSequence


class TestMetadataProperties:
    @pytest.mark.parametrize("cls", [YamlMapping, YamlSequence, lambda: YamlScalar(1)])
    def test_yaml_version(self, cls):
        obj = cls()
        assert obj.yaml_version is None
        obj.yaml_version = "1.2"
        assert obj.yaml_version == "1.2"
        obj.yaml_version = "+1.+2"
        assert obj.yaml_version == "1.2"
        obj.yaml_version = "01.02"
        assert obj.yaml_version == "1.2"
        for bad in ["1", "1.", ".2", "1.2.3", "1.256", "-1.2", "a.b", "+.1", ""]:
            with pytest.raises(ValueError) as info:
                obj.yaml_version = bad
            assert str(info.value) == f'invalid YAML version "{bad}"; expected "major.minor" (e.g. "1.2")'
        assert obj.yaml_version == "1.2"
        obj.yaml_version = None
        assert obj.yaml_version is None
        with pytest.raises(TypeError):
            obj.yaml_version = 1.2

    def test_styles(self):
        m = YamlMapping()
        with pytest.raises(ValueError) as info:
            m.style = "Flow"
        assert str(info.value) == 'unknown style "Flow"; expected "block" or "flow"'
        m.style = "flow"
        assert m.style == "flow"
        x = YamlScalar("a")
        x.style = "folded"
        assert x.style == "folded"
        with pytest.raises(ValueError) as info:
            x.style = "bold"
        assert str(info.value) == 'unknown style "bold"; expected plain/single/double/literal/folded'
        with pytest.raises(TypeError):
            x.style = 1

    def test_trailing_blank_lines_and_flags(self):
        m = YamlSequence()
        m.trailing_blank_lines = 3
        assert m.trailing_blank_lines == 3
        for bad in (300, -1):
            with pytest.raises(OverflowError):
                m.trailing_blank_lines = bad
        with pytest.raises(TypeError):
            m.trailing_blank_lines = "3"
        assert not hasattr(YamlScalar(1), "trailing_blank_lines")
        with pytest.raises(TypeError):
            m.explicit_start = 1
        m.explicit_start = True
        m.explicit_end = True
        assert (m.explicit_start, m.explicit_end) == (True, True)
        with pytest.raises(TypeError):
            del m.explicit_start

    def test_tag_anchor_directives(self):
        m = YamlMapping()
        m.tag = "not a tag"
        assert m.tag == "not a tag"
        m.anchor = "a1"
        assert m.anchor == "a1"
        m.tag = None
        assert m.tag is None
        m.tag_directives = [("!e!", "!ex-")]
        assert m.tag_directives == [("!e!", "!ex-")]
        m.tag_directives = (("!a!", "tag:a,2000:"),)
        assert m.tag_directives == [("!a!", "tag:a,2000:")]
        for bad in ("ab", [("a",)], [("a", 1)], 5):
            with pytest.raises(TypeError):
                m.tag_directives = bad
        assert m.tag_directives == [("!a!", "tag:a,2000:")]


class TestYamlScalar:
    def test_values_and_defaults(self):
        x = YamlScalar(1)
        assert (x.value, x.style, x.tag, x.anchor) == (1, "plain", None, None)
        assert YamlScalar("x", style="double").style == "double"
        assert YamlScalar(None).value is None
        assert YamlScalar(2.5).to_python() == 2.5
        assert YamlScalar(True).value is True

    def test_bytes_and_dates(self):
        b = YamlScalar(b"hi")
        assert (b.value, b.tag) == ("aGk=", "!!binary")
        assert YamlScalar(bytearray(b"hi"), tag="!b").tag == "!b"
        d = YamlScalar(datetime.date(2024, 1, 2))
        assert (d.value, d.tag) == ("2024-01-02", "!!timestamp")
        dt = YamlScalar(datetime.datetime(2024, 1, 2, 3, 4, 5))
        assert dt.value == "2024-01-02T03:04:05"

    def test_errors(self):
        with pytest.raises(TypeError) as info:
            YamlScalar([1])
        assert str(info.value) == ("YamlScalar value must be str, int, float, bool, None, bytes, "
                                   "bytearray, datetime, or date")
        with pytest.raises(ValueError):
            YamlScalar(1, style="bold")
        with pytest.raises(TypeError):
            YamlScalar(1, tag=5)

    def test_equality_and_repr(self):
        assert YamlScalar(1) == 1
        assert YamlScalar(1) == YamlScalar(1.0)
        assert YamlScalar(1) != 2
        assert not (YamlScalar(1) != YamlScalar(1))
        with pytest.raises(TypeError):
            YamlScalar(1) < 2
        assert repr(YamlScalar("a")) == "YamlScalar('a')"
        assert repr(YamlScalar(None)) == "YamlScalar(None)"

    def test_copies(self):
        x = YamlScalar("a", style="double", tag="!t")
        x.explicit_start = True
        for c in (copy.copy(x), copy.deepcopy(x), copy.deepcopy({"k": x})["k"]):
            assert c is not x and c == x and (c.style, c.tag, c.explicit_start) == ("double", "!t", True)

    def test_format(self):
        x = YamlScalar("a\nb", style="single")
        x.format(comments=False)
        assert x.style == "literal"
        y = YamlScalar("ab", style="double")
        y.format(styles=False)
        assert y.style == "double"
        with pytest.raises(TypeError):
            y.format(styles=1)


class TestYamlMapping:
    def test_construction(self):
        m = YamlMapping({"a": 1}, style="flow")
        assert (m.style, m.tag, dict(m)) == ("flow", None, {"a": 1})
        assert YamlMapping([("a", 1)]) == {"a": 1}
        with pytest.raises(TypeError):
            YamlMapping([["a", 1]])
        with pytest.raises(ValueError) as info:
            YamlMapping(style="inline")
        assert str(info.value) == 'unknown style "inline"; expected "block" or "flow"'
        with pytest.raises(TypeError, match="schema"):
            YamlMapping({}, schema=1)
        with pytest.raises(TypeError):
            YamlMapping({1: "a"})

    def test_construction_with_schema(self):
        s = Schema()
        s.add_dumper(complex, lambda c: ("!c", [c.real, c.imag]))
        m = YamlMapping({"z": 1 + 2j}, schema=s, tag="!t")
        assert m.tag == "!t"
        assert m == {"z": [1.0, 2.0]}
        with pytest.raises(TypeError) as info:
            YamlMapping([1, 2], schema=s)
        assert str(info.value) == "YamlMapping requires a dict or mapping-like object"

    def test_assignment_converts(self):
        m = YamlMapping()
        d = {"k": 1}
        m["x"] = d
        assert isinstance(m["x"], YamlMapping) and m["x"] is not d
        m["s"] = YamlScalar("v", style="double")
        assert m["s"] == "v" and type(m["s"]) is str
        m["l"] = (1, 2)
        assert isinstance(m["l"], YamlSequence) and m["l"] == [1, 2]
        with pytest.raises(TypeError, match="key"):
            m[1] = 2
        o = object()
        m["o"] = o  # kept as is behind a placeholder
        assert m["o"] is o

    def test_assignment_keeps_entry_metadata(self):
        m = YamlMapping({"a": 1, "b": 2})
        m.comment_inline("a", "note")
        m.blank_lines_before("a", 2)
        m["a"] = 5
        assert m.comment_inline("a") == "note" and m.blank_lines_before("a") == 2
        assert list(m) == ["a", "b"]
        m.update({"a": 6})
        assert m.comment_inline("a") is None and list(m) == ["a", "b"]

    def test_delete_pop_popitem(self):
        m = YamlMapping({"a": 1, "b": [1], "c": 3})
        del m["a"]
        with pytest.raises(KeyError):
            del m["a"]
        assert m.pop("missing", 0) == 0
        assert m.pop("missing", None) is None
        with pytest.raises(KeyError):
            m.pop("missing")
        b = m.pop("b")
        assert b == [1] and isinstance(b, YamlSequence)
        assert m.popitem() == ("c", 3)
        with pytest.raises(KeyError) as info:
            m.popitem()
        assert info.value.args == ("dictionary is empty",)
        assert m.to_python() == {}

    def test_setdefault_and_clear(self):
        m = YamlMapping(style="flow", tag="!t")
        v = m.setdefault("n", {"k": 1})
        assert isinstance(v, YamlMapping) and m["n"] is v
        assert m.setdefault("n", 5) is v
        assert m.setdefault("z") is None and "z" in m
        m.clear()
        assert len(m) == 0 and m.to_python() == {} and (m.style, m.tag) == ("flow", "!t")

    def test_update_forms(self):
        src = YamlMapping({"a": 1, "b": 2})
        src.comment_before("a", "from src")
        m = YamlMapping({"b": 0, "z": 9})
        m.update(src)
        assert list(m) == ["b", "z", "a"] and m == {"a": 1, "b": 2, "z": 9}
        assert m.comment_before("a") == "from src"

        class KeysOnly:
            def keys(self):
                return ["p"]

            def __getitem__(self, k):
                return k * 2

        m.update(KeysOnly())
        assert m["p"] == "pp"
        m.update([("q", 1)])
        assert m["q"] == 1
        with pytest.raises(TypeError):
            m.update([("r", 1, 2)])

        class Broken:
            @property
            def keys(self):
                raise RuntimeError("boom")

        with pytest.raises(RuntimeError, match="boom"):
            m.update(Broken())

    def test_inplace_or_keeps_tree_in_step(self):
        m = YamlMapping({"a": 1})
        m |= {"b": 2}
        assert m.to_python() == {"a": 1, "b": 2}
        n = YamlMapping.fromkeys(["x", "y"], 0)
        assert type(n) is YamlMapping and n.to_python() == {"x": 0, "y": 0}

    def test_node_nodes_copy_independent(self):
        m = YamlMapping({"a": {"b": 1}, "s": "x"})
        n = m.node("a")
        assert isinstance(n, YamlMapping)
        n["b"] = 2
        assert m.to_python()["a"] == {"b": 1}
        assert isinstance(m.node("s"), YamlScalar)
        with pytest.raises(KeyError):
            m.node("zz")
        keys = [k for k, _ in m.nodes()]
        assert keys == ["a", "s"]
        c = m.copy()
        assert type(c) is YamlMapping and c == m
        c["a"]["b"] = 5
        assert m["a"]["b"] == 1
        assert copy.deepcopy(m) == m and copy.copy(m) == m


    def test_format_reaches_shared_and_self_holding_objects_once(self):
        m = tesvorn.loads("a:  # c\n  b: 'x'\n")
        m["me"] = m
        m["again"] = m["a"]
        m.format()
        assert tesvorn.dumps(m["a"]) == "b: x\n" and m["me"] is m

    def test_comment_methods(self):
        m = YamlMapping({"a": 1})
        assert m.comment_before("missing") is None
        with pytest.raises(KeyError):
            m.get_comment_before("missing")
        with pytest.raises(KeyError):
            m.comment_before("missing", "x")
        m.set_comment_before("a", "line1\nline2")
        assert m.get_comment_before("a") == "line1\nline2"
        m.set_comment_before("a", None)
        assert m.comment_before("a") is None
        with pytest.raises(RuntimeError) as info:
            m.comment_inline("a", "x", "y")
        assert str(info.value) == "comment_inline takes 1 or 2 positional arguments"
        with pytest.raises(TypeError, match="comment"):
            m.set_comment_inline("a", 5)

    @pytest.mark.parametrize("text, lines", [
        ("a\r\nb", "a\nb"), ("a\rb", "a\nb"), ("a\x85b", "a\nb"), ("a\u2028b\u2029c", "a\nb\nc"),
        ("tab\tand é", "tab\tand é"),
    ])
    def test_comment_line_breaks_start_new_lines(self, text, lines):
        m = tesvorn.loads("a: 1\nb: 2\n")
        m.set_comment_before("a", text)
        m.set_comment_inline("a", "x" + text)
        assert m.comment_before("a") == lines
        out = tesvorn.dumps(m)
        assert tesvorn.loads(out) == {"a": 1, "b": 2}
        for reader in (yaml.safe_load, tesvorn.loads):  # YAML 1.1 readers break at NEL too
            assert reader(out) == {"a": 1, "b": 2}

    @pytest.mark.parametrize("bad", ["\x00", "\x07", "\x7f", "\x9b", "\ufeff", "\uffff"])
    def test_comment_refuses_what_yaml_cannot_write(self, bad):
        m = YamlMapping({"a": 1})
        for setter in (m.set_comment_before, m.set_comment_inline, m.comment_before):
            with pytest.raises(ValueError, match="^argument 'comment': character U\\+"):
                setter("a", "x" + bad)
        assert m.comment_before("a") is None and m.comment_inline("a") is None

    def test_blank_lines_before(self):
        m = YamlMapping({"a": 1})
        m.blank_lines_before("a", 1000)
        assert m.blank_lines_before("a") == 255
        with pytest.raises(OverflowError):
            m.blank_lines_before("a", -1)
        with pytest.raises(OverflowError):
            m.blank_lines_before("a", 2**32)
        with pytest.raises(TypeError):
            m.blank_lines_before("a", "1")
        with pytest.raises(RuntimeError) as info:
            m.blank_lines_before("a", 1, 2)
        assert str(info.value) == "blank_lines_before takes 1 or 2 positional arguments"
        with pytest.raises(KeyError):
            m.blank_lines_before("b")

    def test_styles_per_key(self):
        m = YamlMapping({"a": {"x": 1}, "s": "v"})
        with pytest.raises(ValueError) as info:
            m.scalar_style("missing", "bold")
        assert "bold" in str(info.value)
        with pytest.raises(TypeError) as info:
            m.scalar_style("a", "double")
        assert str(info.value) == ('value at key "a" is not a scalar; use container_style() '
                                   "for mappings and sequences")
        m.scalar_style("s", "double")
        assert m.node("s").style == "double"
        m.container_style("a", "flow")
        assert m["a"].style == "flow" and m.node("a").style == "flow"
        m.container_style("s", "flow")  # not a collection: nothing changes
        with pytest.raises(KeyError):
            m.container_style("zz", "flow")

    def test_alias_methods(self):
        m = YamlMapping({"a": 1, "b": 2})
        assert m.alias_name("b") is None
        m.set_alias("b", "x")
        assert m.alias_name("b") == "x" and m["b"] == 2
        assert m.to_python() == {"a": 1, "b": 2}  # the alias keeps its target
        with pytest.raises(KeyError):
            m.set_alias("zz", "x")

    def test_repr(self):
        m = YamlMapping({"a": 1, "b": ["x", 2.0], "c": None, 'q"\n': True})
        assert repr(m) == ('YamlMapping({"a": 1, "b": YamlSequence(["x", 2]), "c": None, '
                           '"q\\"\\n": True})')
        assert repr(YamlMapping()) == "YamlMapping({})"


class TestSortKeys:
    def test_orders(self):
        m = YamlMapping({"b": 1, "B": 2, "a": 3})
        m.sort_keys()
        assert list(m) == ["B", "a", "b"]
        m = YamlMapping({"b": 1, "B": 2, "a": 3})
        m.sort_keys(key=str.lower)
        assert list(m) == ["a", "b", "B"]
        m.sort_keys(key=str.lower, reverse=True)
        assert list(m) == ["B", "b", "a"]
        assert [k for k, _ in m.nodes()] == ["B", "b", "a"]

    def test_recursive_only_through_mappings(self):
        m = YamlMapping({"z": {"b": 1, "a": 2}, "l": [{"d": 1, "c": 2}]})
        m.sort_keys(recursive=True)
        assert list(m) == ["l", "z"]
        assert list(m["z"]) == ["a", "b"]
        assert list(m["l"][0]) == ["d", "c"]
        assert list(m.to_python()["z"]) == ["a", "b"]

    def test_errors_leave_everything_in_place(self):
        m = YamlMapping({"b": 1, "a": 2, "c": 3})

        def bad_key(k):
            if k == "c":
                raise ValueError("no")
            return k

        with pytest.raises(ValueError):
            m.sort_keys(key=bad_key)
        assert list(m) == ["b", "a", "c"] and list(m.to_python()) == ["b", "a", "c"]
        with pytest.raises(TypeError):
            m.sort_keys(key=lambda k: 1 if k == "a" else "x")
        assert list(m) == ["b", "a", "c"] and list(m.to_python()) == ["b", "a", "c"]
        with pytest.raises(TypeError):
            m.sort_keys(reverse=1)

    def test_key_function_cannot_reenter(self):
        m = YamlMapping({"b": 1, "a": 2})

        def peek(k):
            m.comment_before("a", "x")
            return k

        with pytest.raises(RuntimeError, match="Already"):
            m.sort_keys(key=peek)


class TestYamlSequence:
    def test_index_rules(self):
        s = YamlSequence([1])
        s.comment_inline(0, "c")
        s[-1] = 5
        assert s == [5] and s.comment_inline(0) == "c"
        s = YamlSequence([1, 2])
        with pytest.raises(IndexError) as info:
            s[3] = 5
        assert str(info.value) == "index 3 is out of range for sequence of length 2"
        with pytest.raises(IndexError):
            s[-3]
        with pytest.raises(TypeError) as info:
            s["a"] = 1
        assert str(info.value) == "sequence indices must be integers or slices"
        with pytest.raises(IndexError):
            s.comment_before(5)
        with pytest.raises(TypeError, match="idx"):
            s.node("0")

    def test_slices(self):
        s = YamlSequence([1, 2, 3, 4])
        s.comment_before(2, "keep")
        s[0:2] = [7, 8, 9]
        assert s == [7, 8, 9, 3, 4] and s.comment_before(3) == "keep"
        assert s.to_python() == [7, 8, 9, 3, 4]
        del s[1:3]
        assert s == [7, 3, 4] and s.to_python() == [7, 3, 4]
        s[5:2] = ["x"]  # stop before start: an insertion at start
        assert s == [7, 3, 4, "x"] and s.to_python() == s
        del s[3:1]
        assert s == [7, 3, 4, "x"]
        with pytest.raises(TypeError):
            s[0:1] = 5

    def test_insert_pop_remove(self):
        s = YamlSequence(["a"])
        s.insert(100, "x")
        s.insert(-100, "y")
        assert s == ["y", "a", "x"] and s.to_python() == s
        assert s.pop() == "x" and s.pop(0) == "y"
        with pytest.raises(IndexError) as info:
            s.pop(5)
        assert str(info.value) == "pop index out of range"
        s.pop()
        with pytest.raises(IndexError) as info:
            s.pop()
        assert str(info.value) == "pop from empty list"
        t = YamlSequence([1.0, 1])
        t.remove(1)
        assert t.to_python() == [1] and type(t[0]) is int
        with pytest.raises(ValueError, match="value not in list"):
            t.remove(5)

    def test_extend_and_iadd(self):
        a = YamlSequence([1])
        b = YamlSequence([{"k": 1}])
        b.comment_before(0, "from b")
        a.extend(b)
        assert a[1] is b[0] and a.comment_before(1) == "from b"
        a += [3]
        assert a.to_python() == [1, {"k": 1}, 3]
        x = [0]
        x += YamlSequence([1])
        assert x == [0, 1] and type(x) is list

    def test_clear_and_repeat_keep_tree_in_step(self):
        s = YamlSequence([1, 2])
        s.comment_before(1, "c")
        s *= 2
        assert s == [1, 2, 1, 2] and s.to_python() == [1, 2, 1, 2]
        assert s.comment_before(3) == "c"
        s *= 0
        assert s == [] and s.to_python() == []
        s = YamlSequence([1])
        s.clear()
        assert s == [] and s.to_python() == []

    def test_reverse_keeps_metadata(self):
        s = YamlSequence([1, 2, 3])
        s.comment_before(0, "first")
        s.reverse()
        assert s == [3, 2, 1] and s.comment_before(2) == "first"
        assert s.to_python() == [3, 2, 1]

    def test_sort(self):
        s = YamlSequence([3, "a"])
        with pytest.raises(TypeError):
            s.sort()
        assert s == [3, "a"] and s.to_python() == [3, "a"]
        s = YamlSequence([10, 9])
        s.sort(key=str)
        assert s == [10, 9]
        s = YamlSequence([3, 1, 2])
        s.comment_before(0, "three")
        s.sort()
        assert s == [1, 2, 3] and s.comment_before(2) == "three" and s.to_python() == [1, 2, 3]
        s.sort(reverse=True)
        assert s == [3, 2, 1]
        t = YamlSequence([{"b": 1, "a": 2}])
        t.sort(key=lambda v: 0, recursive=True)
        assert list(t[0]) == ["a", "b"]

    def test_per_index_metadata(self):
        s = YamlSequence([1, {"a": 1}])
        with pytest.raises(TypeError) as info:
            s.scalar_style(-1, "literal")
        assert str(info.value) == ("item at index -1 is not a scalar; use container_style() for "
                                   "mappings and sequences")
        with pytest.raises(ValueError):
            s.scalar_style(50, "bold")  # the style is checked first
        s.container_style(-1, "flow")  # a negative index reaches the child object too
        assert s[1].style == "flow" and s.node(1).style == "flow"
        with pytest.raises(IndexError):
            s.comment_before(2)  # unlike a missing key, which reads as None
        with pytest.raises(TypeError, match="argument 'idx'"):
            s.alias_name("0")
        s.set_alias(0, "x")
        assert s.alias_name(0) == "x" and s.alias_name(1) is None and s[0] == 1
        s.blank_lines_before(0, 300)
        assert s.blank_lines_before(0) == 255
        with pytest.raises(RuntimeError):
            s.comment_before(0, "a", "b")

    def test_construction(self):
        assert YamlSequence((1, 2)) == [1, 2]
        assert YamlSequence(style="flow").style == "flow"
        s = Schema()
        s.add_dumper(complex, lambda c: ("!c", c.real))
        assert YamlSequence([1j], schema=s) == [0.0]
        with pytest.raises(TypeError) as info:
            YamlSequence({"a": 1}, schema=s)
        assert str(info.value) == "YamlSequence requires a list or iterable object"

    def test_repr_and_equality(self):
        s = YamlSequence(["x", 1.5, None, {"k": [True]}])
        assert repr(s) == 'YamlSequence(["x", 1.5, None, YamlMapping({"k": YamlSequence([True])})])'
        assert s == ["x", 1.5, None, {"k": [True]}]
        assert isinstance(s.copy(), list)
