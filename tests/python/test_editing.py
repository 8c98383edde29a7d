"""Editing loaded documents: what an edit does not touch comes back byte for
byte (compared with the dump of the unedited document), and a stateful test
that keeps node objects in step with plain dicts and lists."""

import copy
import datetime
import difflib
import pathlib

import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

import tesvorn
from tesvorn import YamlMapping, YamlSequence


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


WORKFLOW = "actions__starter-workflows/ci__go.yml"


@pytest.fixture
def workflow(corpus):
    """A GitHub workflow of the corpus, loaded, and its text (which its
    dump gives back byte for byte)."""
    text = (corpus / WORKFLOW).read_text(encoding="utf-8")
    doc = tesvorn.loads(text)
    assert tesvorn.dumps(doc) == text
    return doc, text


class TestEditingRealFiles:
    def test_change_a_value(self, workflow):
        doc, before = workflow
        doc["jobs"]["build"]["runs-on"] = "ubuntu-24.04"
        removed, added = changed_lines(before, tesvorn.dumps(doc))
        assert removed == ["    runs-on: ubuntu-latest"]
        assert added == ["    runs-on: ubuntu-24.04"]

    def test_change_a_nested_value_keeps_quotes_elsewhere(self, workflow):
        doc, before = workflow
        step = doc["jobs"]["build"]["steps"][1]
        step["with"]["go-version"] = tesvorn.YamlScalar("1.22", style="single")
        removed, added = changed_lines(before, tesvorn.dumps(doc))
        assert removed == ["        go-version: '1.20'"]
        assert added == ["        go-version: '1.22'"]

    def test_add_an_entry_with_a_comment(self, workflow):
        doc, before = workflow
        doc["env"] = {"GOFLAGS": "-mod=readonly"}
        doc.set_comment_before("env", "Shared by every job")
        doc.blank_lines_before("env", 1)
        removed, added = changed_lines(before, tesvorn.dumps(doc))
        assert removed == []
        assert added == ["", "# Shared by every job", "env:", "  GOFLAGS: '-mod=readonly'"]

    def test_remove_entries(self, workflow):
        doc, before = workflow
        del doc["on"]["pull_request"]
        steps = doc["jobs"]["build"]["steps"]
        steps.pop()
        removed, added = changed_lines(before, tesvorn.dumps(doc))
        assert added == []
        # The blank line before "jobs:" stays; the one before the last step goes with it. (Of
        # the two equal "branches" lines, the diff takes the first as the deleted one.)
        assert removed == ["    branches: [ $default-branch ]", "  pull_request:", "",
                           "    - name: Test", "      run: go test -v ./..."]

    def test_reorder_keys(self, workflow):
        doc, before = workflow
        doc["jobs"]["build"].sort_keys(reverse=True)
        after = tesvorn.dumps(doc)
        assert sorted(before.splitlines()) == sorted(after.splitlines())
        assert after.index("    steps:") < after.index("    runs-on:")

    def test_comments_and_blank_lines(self, workflow):
        doc, before = workflow
        doc.set_comment_inline("name", "shown in the Actions tab")
        steps = doc["jobs"]["build"]["steps"]
        steps.set_comment_before(0, "Check out first")
        removed, added = changed_lines(before, tesvorn.dumps(doc))
        assert removed == ["name: Go"]
        assert added == ["name: Go  # shown in the Actions tab", "    # Check out first"]

    def test_block_to_flow_and_back(self, workflow):
        doc, before = workflow
        doc["on"].container_style("push", "flow")
        flowed = tesvorn.dumps(doc)
        assert "  push: {branches: [ $default-branch ]}" in flowed
        doc["on"].container_style("push", "block")
        assert tesvorn.dumps(doc) == before

    def test_nested_edits_through_several_levels(self, workflow):
        doc, before = workflow
        doc["jobs"]["build"]["steps"].append({"name": "Vet", "run": "go vet ./..."})
        removed, added = changed_lines(before, tesvorn.dumps(doc))
        assert removed == []
        # The new item follows its neighbours: at the key's column.
        assert added == ["    - name: Vet", "      run: go vet ./..."]


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


class TestPythonViewIsTheTruth:
    READS = {
        "to_python": lambda d: d.to_python(),
        "repr": lambda d: eval(repr(d), {"YamlMapping": YamlMapping, "YamlSequence": YamlSequence}),
        "copy": lambda d: d.copy(),
        "copy.copy": copy.copy,
        "deepcopy": copy.deepcopy,
        "node": lambda d: {k: d.node(k) for k in d},
        "nodes": lambda d: dict(d.nodes()),
        "reload": lambda d: tesvorn.loads(tesvorn.dumps(d)),
    }

    @pytest.mark.parametrize("read", READS.values(), ids=READS.keys())
    def test_nested_edits_show_in_every_read(self, read):
        d = tesvorn.loads("a: {b: 1}\nl: [x]\n")
        d["a"]["b"] = 2
        d["l"].append("y")
        assert read(d) == {"a": {"b": 2}, "l": ["x", "y"]} and d == d.copy()

    def test_an_assigned_node_object_is_held_as_it_is(self):
        d = tesvorn.loads("a: 1  # c\n")
        s = YamlSequence([1], style="flow")
        d["s"] = s
        d["t"] = s
        s.append(2)
        assert d["s"] is s and d["t"] is s
        assert tesvorn.dumps(d) == "a: 1  # c\ns: [1, 2]\nt: [1, 2]\n"
        c = copy.deepcopy(d)
        assert c["s"] is c["t"] and c["s"] is not s

    @pytest.mark.parametrize("edit, text", [
        (lambda d: None, "a: &x [1]\nb: *x\n"),
        # An alias is its anchor's object: an edit through either name is one.
        (lambda d: d["b"].append(2), "a: &x [1, 2]\nb: *x\n"),
        (lambda d: d["a"].__setitem__(0, 5), "a: &x [5]\nb: *x\n"),
        (lambda d: d.move_to_end("a"), "b: &x [1]\na: *x\n"),
        (lambda d: d.__setitem__("c", d["a"]), "a: &x [1]\nb: *x\nc: *x\n"),
        # A value assigned in its place is its own; set_alias makes it an
        # alias again while it holds the anchor's data.
        (lambda d: d.__setitem__("b", [1]), "a: &x [1]\nb:\n  - 1\n"),
        (lambda d: (d.__setitem__("b", [1]), d.set_alias("b", "x")), "a: &x [1]\nb: *x\n"),
        (lambda d: (d.__setitem__("b", [1]), d.set_alias("b", "x"), d["a"].append(2)),
         "a: &x [1, 2]\nb:\n  - 1\n"),
    ])
    def test_an_alias_is_written_as_such_only_while_its_data_is_the_anchors(self, edit, text):
        d = tesvorn.loads("a: &x [1]\nb: *x\n")
        edit(d)
        assert tesvorn.dumps(d) == text and tesvorn.loads(text) == d

    def test_a_loaded_value_not_replaced_is_written_from_its_source(self):
        s = tesvorn.Schema()
        s.add_loader("!env", lambda m: "from " + m["name"])
        s.add_loader("!list", lambda q: tuple(q))
        text = "a: !env {name: HOME}\nb: !list [1, 2]\n"
        d = tesvorn.loads(text, schema=s)
        assert d == d.to_python() == {"a": "from HOME", "b": (1, 2)}
        assert tesvorn.dumps(d) == text
        d["a"] = "replaced"
        assert tesvorn.dumps(d) == "a: replaced\nb: !list [1, 2]\n"

    def test_to_python_holds_the_values_the_view_holds(self):
        d = tesvorn.loads("b: !!binary aGk=\nt: !!timestamp 2001-12-14\nn: {x: !!binary aGk=}\n")
        assert d.to_python() == {"b": b"hi", "t": datetime.date(2001, 12, 14), "n": {"x": b"hi"}}
        assert type(d.to_python()["n"]) is dict

    def test_dict_and_list_behaviour(self):
        m = YamlMapping({"a": 1})
        assert m.pop("zz", None) is None
        m.update({"b": 2}, c=3)
        assert m == {"a": 1, "b": 2, "c": 3} and m.to_python() == m
        s = YamlSequence([1, 2, 3, 4])
        s.comment_before(2, "kept")
        s[::2] = ["a", "b"]
        assert s == ["a", 2, "b", 4] and s.comment_before(2) == "kept"
        with pytest.raises(ValueError, match="extended slice of size 2"):
            s[::2] = [1]
        del s[::-2]
        assert s == ["a", "b"] and tesvorn.loads(tesvorn.dumps(s)) == s
        s.__init__([9])
        assert s == [9] and s.to_python() == [9]

    def test_a_list_changed_by_the_sort_key_is_not_sorted_nor_lost(self):
        s = YamlSequence([3, 1, 2])

        def key(v):
            s.append(v)
            return v

        with pytest.raises(ValueError, match="^list modified during sort$"):
            s.sort(key=key)
        assert s == [3, 1, 2, 3, 1, 2] and s.to_python() == s

    def test_a_failing_write_changes_neither_view(self):
        class BadHash(str):
            def __hash__(self):
                raise ValueError("no hash")

        m = tesvorn.loads("a: 1\n")
        m[BadHash("b")] = 2  # stored under an exact str: nothing of the key runs
        with pytest.raises(TypeError):
            m["c"] = {1: "key that is no str"}
        assert m == {"a": 1, "b": 2} and tesvorn.dumps(m) == "a: 1\nb: 2\n"


COMMENTED = "# top\nname: web  # the name\n\n# the image\nimage: nginx\nports: [80]  # open\n"
LISTED = "items:\n- a: 1\n  b: 2\n"


# Changes made through the base class's own methods, which the node classes
# never see: a dump writes what the Python part holds, and what still
# matches what was read keeps its text and comments.
BASE_CLASS_EDITS = [
    ("- 1\n- x: 1\n- 3\n", lambda d: list.__delitem__(d, 1), "- 1\n- 3\n"),
    ("a:\n  - [1]\n  - - 2\n  - 3\n", lambda d: list.__delitem__(d["a"], 1), "a:\n  - [1]\n  - 3\n"),
    ("- a  # one\n- b  # two\n- c\n", lambda d: list.__delitem__(d, 0), "- b  # two\n- c\n"),
    ("- a  # one\n- b\n", lambda d: list.insert(d, 1, "n"), "- a  # one\n- n\n- b\n"),
    ("a: &x 1\nb: [*x, 2]\n", lambda d: list.append(d["b"], 5), "a: &x 1\nb: [*x, 2, 5]\n"),
    ("a: 1\nb:\n  c: 2\n  d: 3\n", lambda d: dict.__delitem__(d["b"], "c"), "a: 1\nb:\n  d: 3\n"),
    ("k: v  # in\nj: 0x1F\n", lambda d: dict.__setitem__(d, "n", 1), "k: v  # in\nj: 0x1F\nn: 1\n"),
    ("k: v\nj: w\n", lambda d: dict.clear(d), "{}\n"),
    (None, lambda d: dict.__delitem__(d, "a"), "b:\n  c: 2\n  l:\n    - 1\n    - 2\n"),
    (None, lambda d: list.__delitem__(d["b"]["l"], 0), "a: 1\nb:\n  c: 2\n  l:\n    - 2\n"),
]


class TestBaseClassEdits:
    @pytest.mark.parametrize("text, change, expected", BASE_CLASS_EDITS)
    def test_the_python_part_is_written(self, text, change, expected):
        d = (tesvorn.loads(text) if text is not None
             else YamlMapping({"a": 1, "b": YamlMapping({"c": 2, "l": YamlSequence([1, 2])})}))
        change(d)
        assert tesvorn.dumps(d) == expected
        assert tesvorn.loads(expected) == d


class TestPlacingEntries:
    """insert(), rename_key(), move_to_end() and move(): the exact text, and
    every read of the edited mapping agreeing with its reload."""

    @pytest.mark.parametrize("text, edit, expected", [
        # between commented entries, with an inline comment
        (COMMENTED, lambda d: d.insert(2, "pull", "Always", comment="new"),
         "# top\nname: web  # the name\n\n# the image\nimage: nginx\npull: Always  # new\n"
         "ports: [80]  # open\n"),
        # a key present moves, keeping its comment, its value replaced
        ("a: 1  # one\nb: 2\nc: 3\n", lambda d: d.insert(-1, "a", 5), "b: 2\na: 5  # one\nc: 3\n"),
        # the neighbours' indentation: 4 spaces, and a mapping in an indentless sequence
        ("top:\n    a: 1\n    # b\n    b: 2\n", lambda d: d["top"].insert(1, "n", {"k": "v"}),
         "top:\n    a: 1\n    n:\n        k: v\n    # b\n    b: 2\n"),
        (LISTED, lambda d: d["items"][0].insert(1, "n", [1, 2]),
         "items:\n- a: 1\n  n:\n  - 1\n  - 2\n  b: 2\n"),
        (LISTED, lambda d: d["items"][0].insert(0, "n", {"k": 1}),
         "items:\n- n:\n    k: 1\n  a: 1\n  b: 2\n"),
        # a rename keeps the key's style, quoting where the new key needs it
        ("'a': 1  # c\n\"b c\": 2\n", lambda d: d.rename_key("b c", "d"), "'a': 1  # c\n\"d\": 2\n"),
        (COMMENTED, lambda d: d.rename_key("image", "needs: quotes"),
         "# top\nname: web  # the name\n\n# the image\n'needs: quotes': nginx\nports: [80]  # open\n"),
        ("a: 1\nb: 2\n", lambda d: d.rename_key("b", "c: d"), "a: 1\n'c: d': 2\n"),
        # a complex key and an aliased key become plain string keys
        ("? [a, b]\n: 1\nc: 2\n", lambda d: d.rename_key(next(iter(d)), "ab"), "ab: 1\nc: 2\n"),
        ("x: &k key\n*k : 1\n", lambda d: d.rename_key("key", "other"), "x: &k key\nother : 1\n"),
        # an anchored key renamed: its aliases, value or key, keep the old key's text
        ("&x old: 1\nv: *x\nm: {*x : 2}\n", lambda d: d.rename_key("old", "new"),
         "&x new: 1\nv: old\nm: {old: 2}\n"),
        # an entry moves with the comments and blank lines above it
        (COMMENTED, lambda d: d.move_to_end("image"),
         "# top\nname: web  # the name\nports: [80]  # open\n\n# the image\nimage: nginx\n"),
        (COMMENTED, lambda d: d.move("ports", 0),
         "ports: [80]  # open\n# top\nname: web  # the name\n\n# the image\nimage: nginx\n"),
        ("a: |\n  text\nb: 1\n", lambda d: d.move_to_end("a", last=True), "b: 1\na: |\n  text\n"),
        # to the end of a text without a final line break: the scalar's own stays
        ("a: |\n  text\nb: 1", lambda d: d.move_to_end("a"), "b: 1\na: |\n  text\n"),
        # on a sequence item's dash line: another entry comes first
        ("- a: 1  # one\n  # about b\n  b: 2\n", lambda d: d[0].move_to_end("a"),
         "- \n  # about b\n  b: 2\n  a: 1  # one\n"),
        # an aliased key, or an empty one with a tag, given a block value keeps
        # the blank before its ':'
        ("&a a: &b b\n*b : *a\n", lambda d: d.insert(1, "b", {"k": 1}), "&a a: &b b\n*b :\n  k: 1\n"),
        ("- !!str : x\n", lambda d: d[0].insert(0, "", [1]), "- !!str :\n    - 1\n"),
        # an empty explicit key moved from the end of a flow mapping stays one
        ("{\n? explicit: entry,\nimplicit: entry,\n?\n}\n", lambda d: d.move_to_end("explicit"),
         "{\nimplicit: entry,\n? ,\n? explicit: entry\n}\n"),
        ("{\n? explicit: entry,\n?\n}\n", lambda d: d.insert(1, "", "x"), "{\n? explicit: entry,\n? : x\n}\n"),
        # and a pair of one in a flow sequence: only where a ',' or bracket follows
        ("[ a, ? ]\n", lambda d: d.reverse(), "[ ? , a ]\n"),
        ("[ a, ? ]\n", lambda d: None, "[ a, ? ]\n"),
        ("{a: 1, b: 2, c: 3}\n",
         lambda d: (d.move_to_end("a"), d.insert(0, "z", 0), d.rename_key("b", "bb")),
         "{z: 0, bb: 2, c: 3, a: 1}\n"),
    ])
    def test_edits(self, text, edit, expected):
        doc = tesvorn.loads(text)
        edit(doc)
        assert tesvorn.dumps(doc) == expected
        again = tesvorn.loads(expected)
        names = {"YamlMapping": YamlMapping, "YamlSequence": YamlSequence}
        assert again.to_python() == doc.to_python() == doc
        assert repr(again) == repr(doc) and eval(repr(doc), names) == doc
        for m, n in [(doc, again)] if isinstance(doc, dict) else zip(doc, again):
            if isinstance(m, dict):
                assert list(m) == list(n) == list(m.copy()) == list(m.to_python())

    @pytest.mark.parametrize("edit, undo", [
        (lambda d: d.rename_key("image", "img"), lambda d: d.rename_key("img", "image")),
        (lambda d: d.move_to_end("name"), lambda d: d.move_to_end("name", last=False)),
        (lambda d: d.move("name", 2), lambda d: d.move("name", 0)),
    ])
    def test_undone_edits_give_the_text_back(self, edit, undo):
        doc = tesvorn.loads(COMMENTED)
        edit(doc)
        undo(doc)
        assert tesvorn.dumps(doc) == COMMENTED

    def test_a_mapping_built_in_python(self):
        m = YamlMapping({"a": 1, "b": 2})
        m.insert(1, "x", [1], comment="c")
        m.rename_key("a", "A")
        m.move_to_end("b", last=False)
        m.rename_key("x", "x")
        assert list(m) == ["b", "A", "x"] and m["x"] == [1]
        assert tesvorn.dumps(m) == "b: 2\nA: 1\nx:  # c\n  - 1\n"

    @pytest.mark.parametrize("call, error, message", [
        (lambda d: d.rename_key("zz", "y"), KeyError, "'zz'"),
        (lambda d: d.rename_key("name", "ports"), KeyError, 'cannot rename "name" to "ports"'),
        (lambda d: d.rename_key("name", 1), TypeError, "argument 'new'"),
        (lambda d: d.move("zz", 0), KeyError, "'zz'"),
        (lambda d: d.move("name", 1.0), TypeError, "argument 'index'"),
        (lambda d: d.move_to_end("name", last=1), TypeError, "argument 'last'"),
        (lambda d: d.insert("0", "k", 1), TypeError, "argument 'index'"),
        (lambda d: d.insert(0, b"k", 1), TypeError, "argument 'key'"),
        (lambda d: d.insert(0, "k", 1, comment="\x00"), ValueError, "U\\+0000"),
        (lambda d: d.insert(0, "name", {1: "x"}), TypeError, "keys must be str"),
        (lambda d: d.sort_keys(key=lambda k: d.move_to_end(k)), RuntimeError, "Already borrowed"),
    ])
    def test_errors_change_nothing(self, call, error, message):
        doc = tesvorn.loads(COMMENTED)
        before = dict(doc)
        with pytest.raises(error, match=message):
            call(doc)
        assert tesvorn.dumps(doc) == COMMENTED
        assert doc == before and list(doc) == list(before)


KEYS = st.sampled_from(["a", "b", "c", "key with space", "é", "-x"])
# Printable text only: the text form (repr) of a string is evaluated back.
TEXT = st.text(st.characters(codec="utf-8", categories=["L", "N", "P", "S"], include_characters=" "),
               max_size=8)
VALUES = st.recursive(
    st.none() | st.booleans() | st.integers(-10**30, 10**30) | TEXT
    | st.floats(allow_nan=False, allow_infinity=False),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(KEYS, inner, max_size=3),
    max_leaves=6)
LOADED = """\
base: &b  # anchored
  k: 1
  l: [1, two]
use: *b
items:
  - {x: 1}
  - [a, b]
seq: &s [3, 1, 2]
again: *s
"""


def reaches(start, target) -> bool:
    """Whether `target` is `start` or is held, at any depth, by it."""
    seen, todo = set(), [start]
    while todo:
        obj = todo.pop()
        if obj is target:
            return True
        if id(obj) in seen or not isinstance(obj, (dict, list)):
            continue
        seen.add(id(obj))
        todo.extend(obj.values() if isinstance(obj, dict) else obj)
    return False


def sort_mirror(d: dict, seen: set) -> None:
    """sort_keys(recursive=True) on plain dicts: by UTF-8, through mappings."""
    if id(d) in seen:
        return
    seen.add(id(d))
    items = sorted(d.items(), key=lambda kv: kv[0].encode())
    d.clear()
    d.update(items)
    for v in d.values():
        if isinstance(v, dict):
            sort_mirror(v, seen)


class NodeObjectMachine(RuleBasedStateMachine):
    """Edits nested node objects of a loaded document through every dict
    and list operation, aliases and node objects assigned into others
    included, beside a plain mirror; after every step each read of the
    document must equal the mirror."""

    def __init__(self):
        super().__init__()
        self.doc = tesvorn.loads(LOADED)
        # Aliases are their anchors' objects.
        base, seq = {"k": 1, "l": [1, "two"]}, [3, 1, 2]
        self.mirror = {"base": base, "use": base, "items": [{"x": 1}, ["a", "b"]], "seq": seq,
                       "again": seq}
        self.pairs = []  # (node object, its mirror)
        self.register(self.doc, self.mirror)

    def register(self, obj, mirror):
        if isinstance(obj, (YamlMapping, YamlSequence)) and all(o is not obj for o, _ in self.pairs):
            self.pairs.append((obj, mirror))
            for k in (obj if isinstance(obj, YamlMapping) else range(len(obj))):
                self.register(obj[k], mirror[k])

    def pick(self, data, kind):
        pairs = [p for p in self.pairs if isinstance(p[0], kind)]
        return data.draw(st.sampled_from(pairs)) if pairs else (None, None)

    def value(self, data, target_mirror):
        """A plain value, or now and then a node object the document has
        (shared, as a dict or list would hold it; never one holding the target)."""
        if data.draw(st.booleans()):
            obj, mirror = data.draw(st.sampled_from(self.pairs))
            if not reaches(mirror, target_mirror):
                return obj, mirror
        v = data.draw(VALUES)
        return v, copy.deepcopy(v)

    def assigned(self, obj, mirror, key):
        self.register(obj[key], mirror[key])

    # ---- mappings
    @rule(data=st.data(), k=KEYS)
    def setitem(self, data, k):
        m, pm = self.pick(data, YamlMapping)
        v, pv = self.value(data, pm)
        m[k] = v
        pm[k] = pv
        self.assigned(m, pm, k)

    @rule(data=st.data(), k=KEYS)
    def delete_or_pop(self, data, k):
        m, pm = self.pick(data, YamlMapping)
        how = data.draw(st.sampled_from(["del", "pop", "pop default", "popitem"]))
        if how == "del" and k in pm:
            del m[k], pm[k]
        elif how == "pop" and k in pm:
            assert m.pop(k) is not None or pm[k] is None
            pm.pop(k)
        elif how == "pop default":
            assert m.pop(k, None) == pm.pop(k, None)
        elif how == "popitem" and pm:
            assert m.popitem()[0] == pm.popitem()[0]

    @rule(data=st.data(), k=KEYS)
    def setdefault(self, data, k):
        m, pm = self.pick(data, YamlMapping)
        v, pv = self.value(data, pm)
        m.setdefault(k, v)
        pm.setdefault(k, pv)
        self.assigned(m, pm, k)

    @rule(data=st.data(), other=st.dictionaries(KEYS, VALUES, max_size=2), kw=st.booleans())
    def update(self, data, other, kw):
        m, pm = self.pick(data, YamlMapping)
        if kw:
            m.update(other, z=other)
            pm.update(copy.deepcopy(other), z=copy.deepcopy(other))
        else:
            m |= other
            pm |= copy.deepcopy(other)
        for k in list(other) + (["z"] if kw else []):
            self.assigned(m, pm, k)

    @rule(data=st.data())
    def sort_keys(self, data):
        m, pm = self.pick(data, YamlMapping)
        m.sort_keys(recursive=True)
        sort_mirror(pm, set())

    @rule(data=st.data(), k=KEYS, i=st.integers(-4, 4))
    def place(self, data, k, i):
        m, pm = self.pick(data, YamlMapping)
        how = data.draw(st.sampled_from(["insert", "rename", "move", "move_to_end"]))
        items = [kv for kv in pm.items() if kv[0] != k]
        if how == "insert":
            v, pv = self.value(data, pm)
            m.insert(i, k, v)
            items.insert(i, (k, pv))
        elif k not in pm:
            return
        elif how == "rename":
            new = data.draw(KEYS)
            if new in pm and new != k:
                with pytest.raises(KeyError):
                    m.rename_key(k, new)
                return
            m.rename_key(k, new)
            items = [(new if kk == k else kk, vv) for kk, vv in pm.items()]
        elif how == "move":
            m.move(k, i)
            items.insert(i, (k, pm[k]))
        else:
            last = data.draw(st.booleans())
            m.move_to_end(k, last=last)
            items.insert(last * len(items), (k, pm[k]))
        pm.clear()
        pm.update(items)
        if how == "insert":
            self.assigned(m, pm, k)

    @rule(data=st.data())
    def refused_value_changes_nothing(self, data):
        m, pm = self.pick(data, YamlMapping)
        with pytest.raises(TypeError):
            m["a"] = {1: "non-str key"}

    # ---- sequences
    @rule(data=st.data(), i=st.integers(-4, 4))
    def insert_or_set(self, data, i):
        s, ps = self.pick(data, YamlSequence)
        v, pv = self.value(data, ps)
        if data.draw(st.booleans()) or not -len(ps) <= i < len(ps):
            s.insert(i, v)
            ps.insert(i, pv)
            i = min(max(i + len(ps) - 1 if i < 0 else i, 0), len(ps) - 1)
        else:
            s[i] = v
            ps[i] = pv
        self.assigned(s, ps, i)

    @rule(data=st.data(), a=st.integers(-4, 4), b=st.integers(-4, 4), step=st.sampled_from([1, 2, -1]),
          vs=st.lists(VALUES, max_size=3))
    def slices(self, data, a, b, step, vs):
        s, ps = self.pick(data, YamlSequence)
        if data.draw(st.booleans()):
            del s[a:b:step], ps[a:b:step]
            return
        if step != 1:
            n = len(range(*slice(a, b, step).indices(len(ps))))
            vs = vs[:n]
            if len(vs) != n:
                with pytest.raises(ValueError, match="extended slice of size"):
                    s[a:b:step] = vs
                return
        s[a:b:step] = vs
        ps[a:b:step] = copy.deepcopy(vs)
        for i in range(len(ps)):
            self.register(s[i], ps[i])

    @rule(data=st.data(), vs=st.lists(VALUES, max_size=2))
    def extend(self, data, vs):
        s, ps = self.pick(data, YamlSequence)
        other, po = self.pick(data, YamlSequence)
        if data.draw(st.booleans()) and not reaches(po, ps):
            s += other  # the same element objects
            ps += po
        else:
            s.extend(vs)
            ps.extend(copy.deepcopy(vs))
        for i in range(len(ps)):
            self.register(s[i], ps[i])

    @rule(data=st.data(), i=st.integers(-3, 3))
    def remove_items(self, data, i):
        s, ps = self.pick(data, YamlSequence)
        how = data.draw(st.sampled_from(["pop", "remove", "reverse", "repeat", "clear"]))
        if how == "pop" and -len(ps) <= i < len(ps):
            assert s.pop(i) == ps.pop(i)
        elif how == "remove" and ps:
            s.remove(ps[0])
            ps.remove(ps[0])
        elif how == "reverse":
            s.reverse()
            ps.reverse()
        elif how == "repeat" and len(ps) < 4:
            s *= 2
            ps *= 2
        elif how == "clear" and len(ps) > 4:
            s.clear()
            ps.clear()

    @rule(data=st.data(), reverse=st.booleans())
    def sort(self, data, reverse):
        s, ps = self.pick(data, YamlSequence)
        numbers = all(type(v) in (int, float) for v in ps)
        if numbers or all(type(v) is str for v in ps):
            s.sort(reverse=reverse)
            ps.sort(reverse=reverse)

    @invariant()
    def every_read_is_the_python_view(self):
        d, mirror = self.doc, self.mirror
        names = {"YamlMapping": YamlMapping, "YamlSequence": YamlSequence}
        assert d == mirror and list(d) == list(mirror)
        assert d.to_python() == mirror
        assert eval(repr(d), names) == mirror
        for c in (d.copy(), copy.copy(d), copy.deepcopy(d)):
            assert c == mirror
        assert tesvorn.loads(tesvorn.dumps(d)).to_python() == mirror


NodeObjectMachine.TestCase.settings = settings(max_examples=100, stateful_step_count=30, deadline=None)
TestStateful = NodeObjectMachine.TestCase
