"""Editing loaded documents: what an edit does not touch comes back byte for
byte (compared with the dump of the unedited document), and a stateful test
that keeps node objects in step with plain dicts and lists."""

import difflib
import pathlib

import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

import tesvorn
from tesvorn import YamlMapping, YamlSequence

from test_roundtrip import CORPUS


def changed_lines(before: str, after: str):
    """(removed, added) lines between two dumps."""
    removed, added = [], []
    for tag, i1, i2, j1, j2 in difflib.SequenceMatcher(a=before.splitlines(), b=after.splitlines(),
                                                       autojunk=False).get_opcodes():
        if tag in ("replace", "delete"):
            removed += before.splitlines()[i1:i2]
        if tag in ("replace", "insert"):
            added += after.splitlines()[j1:j2]
    return removed, added


def corpus_doc(name: str):
    matches = sorted(CORPUS.rglob(name)) if CORPUS else []
    if not matches:
        pytest.skip(f"{name} not in the corpus")
    doc = tesvorn.loads(matches[0].read_text(encoding="utf-8"))
    return doc, tesvorn.dumps(doc)


WORKFLOW = "ci__go.yml"


class TestEditingRealFiles:
    def test_change_a_value(self):
        doc, before = corpus_doc(WORKFLOW)
        doc["jobs"]["build"]["runs-on"] = "ubuntu-24.04"
        removed, added = changed_lines(before, tesvorn.dumps(doc))
        assert removed == ["    runs-on: ubuntu-latest"]
        assert added == ["    runs-on: ubuntu-24.04"]

    def test_change_a_nested_value_keeps_quotes_elsewhere(self):
        doc, before = corpus_doc(WORKFLOW)
        step = doc["jobs"]["build"]["steps"][1]
        step["with"]["go-version"] = tesvorn.YamlScalar("1.22", style="single")
        removed, added = changed_lines(before, tesvorn.dumps(doc))
        assert removed == ["          go-version: '1.20'"]
        assert added == ["          go-version: '1.22'"]

    def test_add_an_entry_with_a_comment(self):
        doc, before = corpus_doc(WORKFLOW)
        doc["env"] = {"GOFLAGS": "-mod=readonly"}
        doc.set_comment_before("env", "Shared by every job")
        doc.blank_lines_before("env", 1)
        removed, added = changed_lines(before, tesvorn.dumps(doc))
        assert removed == []
        assert added == ["", "# Shared by every job", "env:", "  GOFLAGS: '-mod=readonly'"]

    def test_remove_entries(self):
        doc, before = corpus_doc(WORKFLOW)
        del doc["on"]["pull_request"]
        steps = doc["jobs"]["build"]["steps"]
        steps.pop()
        removed, added = changed_lines(before, tesvorn.dumps(doc))
        assert added == []
        assert "  pull_request:" in removed and "        run: go test -v ./..." in removed

    def test_reorder_keys(self):
        doc, before = corpus_doc(WORKFLOW)
        doc["jobs"]["build"].sort_keys(reverse=True)
        after = tesvorn.dumps(doc)
        assert sorted(before.splitlines()) == sorted(after.splitlines())
        assert after.index("    steps:") < after.index("    runs-on:")

    def test_comments_and_blank_lines(self):
        doc, before = corpus_doc(WORKFLOW)
        doc.set_comment_inline("name", "shown in the Actions tab")
        steps = doc["jobs"]["build"]["steps"]
        steps.set_comment_before(0, "Check out first")
        removed, added = changed_lines(before, tesvorn.dumps(doc))
        assert removed == ["name: Go"]
        assert added == ["name: Go  # shown in the Actions tab", "      # Check out first"]

    def test_block_to_flow_and_back(self):
        doc, before = corpus_doc(WORKFLOW)
        doc["on"].container_style("push", "flow")
        flowed = tesvorn.dumps(doc)
        assert "  push: {branches: [$default-branch]}" in flowed
        doc["on"].container_style("push", "block")
        assert tesvorn.dumps(doc) == before

    def test_nested_edits_through_several_levels(self):
        doc, before = corpus_doc(WORKFLOW)
        doc["jobs"]["build"]["steps"].append({"name": "Vet", "run": "go vet ./..."})
        removed, added = changed_lines(before, tesvorn.dumps(doc))
        assert removed == []
        assert added == ["      - name: Vet", "        run: go vet ./..."]


class TestEditsKeepMetadata:
    def test_assignment_keeps_comments_update_drops_them(self):
        m = tesvorn.loads("a: 1  # one\nb: 2\n")
        m["a"] = 5
        assert tesvorn.dumps(m) == "a: 5  # one\nb: 2\n"
        m.update({"a": 6})
        assert tesvorn.dumps(m) == "a: 6\nb: 2\n"

    def test_set_alias_writes_an_alias_while_the_data_is_the_same(self):
        m = tesvorn.loads("a: &x 1\nb: 1\n")
        m.set_alias("b", "x")
        assert m["b"] == 1 and m.alias_name("b") == "x"
        assert tesvorn.dumps(m) == "a: &x 1\nb: *x\n"
        m["a"] = tesvorn.YamlScalar(2)
        assert tesvorn.dumps(m) == "a: 2\nb: &x 1\n"

    @pytest.mark.parametrize("text, edit, expected", [
        # the anchored entry removed: its first alias carries the anchor
        ("base: &b {k: 1}\nuse: *b\nalso: *b\n", lambda d: d.pop("base"),
         "use: &b {k: 1}\nalso: *b\n"),
        # sorted behind its alias
        ("b: &x 1\na: *x\n", lambda d: d.sort_keys(), "a: &x 1\nb: &x 1\n"),
        # an alias set to a name no anchor has
        ("a: 1\nb: 2\n", lambda d: d.set_alias("b", "nowhere"), "a: 1\nb: &nowhere 2\n"),
        # a later duplicate key replaced the anchored value
        ("a: &x [1]\na: 2\nb: *x\n", lambda d: None, "a: 2\nb: &x [1]\n"),
        # in a node object inside a sequence, written piece by piece
        ("- &s {a: 1}\n- [*s]\n", lambda d: d.pop(0), "- [&s {a: 1}]\n"),
    ])
    def test_aliases_whose_anchor_is_gone_still_load(self, text, edit, expected):
        doc = tesvorn.loads(text)
        edit(doc)
        out = tesvorn.dumps(doc)
        assert out == expected
        assert tesvorn.loads(out).to_python() == doc.to_python()



    def test_cleared_and_repeated_sequences_dump_what_they_hold(self):
        m = tesvorn.loads("l: [1, 2]\nk:\n  - x\n")
        m["l"].clear()
        m["k"] *= 2
        assert tesvorn.dumps(m) == "l: []\nk:\n  - x\n  - x\n"

    def test_values_kept_unconverted_are_dumped_with_the_dump_schema(self):
        class Point:
            def __init__(self, x):
                self.x = x

        m = tesvorn.loads("a: 1\n")
        m["p"] = Point(3)
        with pytest.raises(RuntimeError, match="^Cannot convert "):
            tesvorn.dumps(m)
        s = tesvorn.Schema()
        s.add_dumper(Point, lambda p: ("!point", {"x": p.x}))
        assert tesvorn.dumps(m, schema=s) == "a: 1\np: !point\n  x: 3\n"

    def test_format_resets_everything_but_tags_and_anchors(self):
        m = tesvorn.loads("# c\na: 'x'  # i\n\nb: &r [1, 2]\nc: !t 0x10\n")
        m.format()
        assert tesvorn.dumps(m) == "a: x\nb: &r\n  - 1\n  - 2\nc: !t '0x10'\n"


KEYS = st.sampled_from(["a", "b", "c", "key with space", "é", "-x"])
VALUES = st.recursive(
    st.none() | st.booleans() | st.integers(-10**6, 10**6) | st.text(max_size=8)
    | st.floats(allow_nan=False, allow_infinity=False),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(KEYS, inner, max_size=3),
    max_leaves=6)


class MappingAndSequenceMachine(RuleBasedStateMachine):
    """Random dict and list operations on node objects and plain containers
    side by side."""

    def __init__(self):
        super().__init__()
        self.m = tesvorn.loads("a: 1  # c\nb: [x, y]\n")
        self.pm = {"a": 1, "b": ["x", "y"]}
        self.s = tesvorn.loads("- 1\n- two  # t\n- [3]\n")
        self.ps = [1, "two", [3]]

    # mapping rules
    @rule(k=KEYS, v=VALUES)
    def setitem(self, k, v):
        self.m[k] = v
        self.pm[k] = v

    @rule(k=KEYS)
    def delitem(self, k):
        if k in self.pm:
            del self.m[k]
            del self.pm[k]
        else:
            with pytest.raises(KeyError):
                del self.m[k]

    @rule(k=KEYS, v=VALUES)
    def setdefault(self, k, v):
        self.m.setdefault(k, v)
        self.pm.setdefault(k, v)

    @rule(k=KEYS)
    def pop(self, k):
        if k in self.pm:
            assert self.m.pop(k) == self.pm.pop(k)

    @rule(other=st.dictionaries(KEYS, VALUES, max_size=3))
    def update(self, other):
        self.m.update(other)
        self.pm.update(other)

    @rule(other=st.dictionaries(KEYS, VALUES, max_size=3))
    def ior(self, other):
        self.m |= other
        self.pm |= other

    @precondition(lambda self: len(self.pm) > 0)
    @rule()
    def popitem(self):
        assert self.m.popitem() == self.pm.popitem()

    @rule()
    def sort_keys(self):
        self.m.sort_keys()
        self.pm = dict(sorted(self.pm.items(), key=lambda kv: kv[0].encode()))

    # sequence rules
    @rule(v=VALUES)
    def append(self, v):
        self.s.append(v)
        self.ps.append(v)

    @rule(i=st.integers(-5, 5), v=VALUES)
    def insert(self, i, v):
        self.s.insert(i, v)
        self.ps.insert(i, v)

    @rule(i=st.integers(-5, 5), v=VALUES)
    def setindex(self, i, v):
        if -len(self.ps) <= i < len(self.ps):
            self.s[i] = v
            self.ps[i] = v

    @rule(a=st.integers(0, 5), b=st.integers(0, 5), vs=st.lists(VALUES, max_size=3))
    def setslice(self, a, b, vs):
        self.s[a:b] = vs
        self.ps[a:b] = vs

    @rule(a=st.integers(0, 5), b=st.integers(0, 5))
    def delslice(self, a, b):
        del self.s[a:b]
        del self.ps[a:b]

    @rule(vs=st.lists(VALUES, max_size=3))
    def extend(self, vs):
        self.s.extend(vs)
        self.ps.extend(vs)

    @rule(n=st.integers(0, 2))
    def repeat(self, n):
        self.s *= n
        self.ps *= n

    @precondition(lambda self: len(self.ps) > 0)
    @rule(i=st.integers(-3, 3))
    def pop_index(self, i):
        if -len(self.ps) <= i < len(self.ps):
            assert self.s.pop(i) == self.ps.pop(i)

    @rule()
    def reverse(self):
        self.s.reverse()
        self.ps.reverse()

    @rule()
    def clear_sometimes(self):
        if len(self.ps) > 6:
            self.s.clear()
            self.ps.clear()

    @invariant()
    def in_step(self):
        assert self.m == self.pm
        assert list(self.m) == list(self.pm)
        assert tesvorn.loads(tesvorn.dumps(self.m)).to_python() == self.pm
        assert self.s == self.ps
        assert tesvorn.loads(tesvorn.dumps(self.s)).to_python() == self.ps


MappingAndSequenceMachine.TestCase.settings = settings(max_examples=60, stateful_step_count=25, deadline=None)
TestStateful = MappingAndSequenceMachine.TestCase
