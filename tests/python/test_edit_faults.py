"""Edits of loaded documents that once gave a dump other than the objects
hold, or lost lines: one row a fault. Each row loads `text`, runs `edit`,
and checks the dump, that it loads back to what the objects hold, and that
a second dump gives the same text."""

import copy
import heapq

import pytest

import tesvorn


def check(text, edit, expected):
    d = tesvorn.loads(text)
    edit(d)
    out = tesvorn.dumps(d)
    assert out == expected
    assert repr(tesvorn.loads(out).to_python()) == repr(d.to_python())  # types and NaN too
    assert tesvorn.dumps(d) == out


ROWS = {
    # Aliases are their anchors' objects: one edit, written once.
    "alias edited through the anchor": (
        "x-env: &env\n  TZ: UTC\nweb:\n  <<: *env\n  image: a\n",
        lambda d: d["x-env"].__setitem__("TZ", "Europe/Berlin"),
        "x-env: &env\n  TZ: Europe/Berlin\nweb:\n  <<: *env\n  image: a\n"),
    "alias edited through the alias": (
        "a: &x [1]\nb: *x\n", lambda d: d["b"].append(2), "a: &x [1, 2]\nb: *x\n"),
    "merge list of aliases": (
        "a: &a {p: 1}\nb: &b {q: 2}\nc:\n  <<: [*a, *b]\n",
        lambda d: d["c"]["<<"][1].__setitem__("q", 3),
        "a: &a {p: 1}\nb: &b {q: 3}\nc:\n  <<: [*a, *b]\n"),
    "alias of a NaN": ("a: &x [.nan]\nb: *x\n", lambda d: None, "a: &x [.nan]\nb: *x\n"),
    # What the dict or list holds is what is written.
    "dict.__setitem__ keeping the count": (
        "a: 1  # one\nb: x\n", lambda d: dict.__setitem__(d, "a", 5), "a: 5  # one\nb: x\n"),
    "dict pop and add keeping the count": (
        "a: 1  # one\nb: x\n",
        lambda d: (dict.__delitem__(d, "a"), dict.__setitem__(d, "c", 3)), "b: x\nc: 3\n"),
    "heapq.heapify": ("k: [3, 1, 2]\n", lambda d: heapq.heapify(d["k"]), "k: [1, 3, 2]\n"),
    "list.reverse keeps comments with items": (
        "- 3  # three\n- 1  # one\n- 2\n", lambda d: list.reverse(d),
        "- 2\n- 1  # one\n- 3  # three\n"),
    "list.__setitem__ of a scalar alias": (
        "a: &x 1\nb: [*x]\n", lambda d: list.__setitem__(d["b"], 0, 2), "a: &x 1\nb: [2]\n"),
    # A copy of the root placed inside the document shares the root's record.
    "copy of the root set inside": (
        "a:\n  b: 1\n", lambda d: d["a"].__setitem__("k", d.copy()),
        "a:\n  b: 1\n  k:\n    a:\n      b: 1\n"),
    "copy of the root inserted inside": (
        "a:\n  b: 1\n", lambda d: d["a"].insert(0, "k", d.copy()),
        "a:\n  k:\n    a:\n      b: 1\n  b: 1\n"),
    # Flow collections keep their brackets and elements.
    "flow value replaced by its own child": (
        "{ a: [b, [c]] }\n", lambda d: d.__setitem__("a", d["a"][1]), "{ a: [c] }\n"),
    "single pair emptied in a flow sequence": ("[a: b]\n", lambda d: d[0].pop("a"), "[{}]\n"),
    "single pair cleared before another item": ("[a: b, c]\n", lambda d: d[0].clear(), "[{}, c]\n"),
    # Text reused in another collection of the same file fits its new place.
    "entries of a nested mapping added at the top": (
        "a:\n  k: 'x'\n", lambda d: d.update(d["a"]), "a:\n  k: 'x'\nk: 'x'\n"),
    "items of a deeper sequence appended": (
        "roles:\n- a\nports:\n    - p: 1\n      q: 2\n", lambda d: d["roles"].extend(d["ports"]),
        "roles:\n- a\n- p: 1\n  q: 2\nports:\n    - p: 1\n      q: 2\n"),
    # An alias written as its value under a new name does not define the
    # value's old anchor there.
    "set_alias on a value that redefines an anchor": (
        "a: &x Foo\nb: &x Bar\nc: *x\n", lambda d: d.set_alias("b", "n"),
        "a: &x Foo\nb: &n Bar\nc: Bar\n"),
    "a str subclass key whose hash raises": (
        "a: 1\n", lambda d: d.__setitem__(type("K", (str,), {"__hash__": None})("zz"), 1),
        "a: 1\nzz: 1\n"),
    # A complex key lives under its own text, not its place.
    "complex key after an entry removed before it": (
        "{a: [b, c], [d, e]: f}\n", lambda d: d.pop("a"), "{[d, e]: f}\n"),
    # Found by the edit fuzzer.
    "a copy of the root below a comment line, placed deeper": (
        "a: 1\n# c\nb: 2\n", lambda d: d.__setitem__("k", d.copy()),
        "a: 1\n# c\nb: 2\nk:\n  a: 1\n  # c\n  b: 2\n"),
    "a tagged scalar replaced through dict's own methods": (
        "a: !Ref X\nb: 1\n", lambda d: dict.__setitem__(d, "a", 5), "a: 5\nb: 1\n"),
    "untouched tagged values keep their tags": (
        "a: !Ref X\nb: 1\n", lambda d: dict.__setitem__(d, "b", 5), "a: !Ref X\nb: 5\n"),
    "tagged items reordered behind the class": (
        "k:\n  - !t x\n  - !t y\n", lambda d: list.reverse(d["k"]), "k:\n  - !t y\n  - !t x\n"),
    "a tagged collection replaced behind the class": (
        "r: !Join\n  - x\n", lambda d: dict.update(d, {"r": 0}), "r: 0\n"),
    "set_alias after a change behind the class": (
        "k: 1\n", lambda d: (dict.__setitem__(d, "k", [1, "a"]), d.set_alias("k", "n")),
        "k: &n\n  - 1\n  - a\n"),
    "a change behind the class after set_alias": (
        "k: 1\n", lambda d: (d.set_alias("k", "n"), dict.__setitem__(d, "k", [1, "a"])),
        "k: &n\n  - 1\n  - a\n"),
    "set_alias of no anchor keeps a block collection's lines": (
        "a:\n  # top\n  x: 1  # c\n  y: 2\n", lambda d: d.set_alias("a", "n"),
        "a: &n\n  # top\n  x: 1  # c\n  y: 2\n"),
    # Document properties keep the lines above the head; a block scalar that
    # ended the text without a line break keeps its value when something
    # follows it now.
    "a document's tag set below a comment": (
        "# top\n---\na: 1\n", lambda d: setattr(d, "tag", "!t"), "# top\n--- !t\na: 1\n"),
    "a document's start marker dropped below a comment": (
        "# top\n---\na: 1\n", lambda d: setattr(d, "explicit_start", False), "# top\na: 1\n"),
    "a document's style changed below a comment": (
        "# top\n---\na: 1\n", lambda d: setattr(d, "style", "flow"), "# top\n---\n{a: 1}\n"),
    "explicit_end after a block scalar with no final line break": (
        "a: |\n  x", lambda d: setattr(d, "explicit_end", True), "a: |-\n  x\n...\n"),
    "blank lines after a block scalar with no final line break": (
        "a: |\n  x", lambda d: setattr(d, "trailing_blank_lines", 1), "a: |-\n  x\n\n"),
    "a comment written as read wherever its entry moves": (
        "#### N\nfirst: 1\ninclude: 2", lambda d: d.move_to_end("include", last=False),
        "include: 2\n#### N\nfirst: 1\n"),
    "a comments-only document given a tag": (
        "# c\n# d", lambda d: setattr(d, "tag", "!root"), "# c\n# d\n!root ''"),
    "a tagged collection replaced by a plain one behind the class": (
        "c: !If [a, b]\n", lambda d: dict.__setitem__(d, "c", {}), "c: {}\n"),
    "a timestamp replaced by a string behind the class": (
        "x: !!timestamp 2024-01-02\n", lambda d: dict.__setitem__(d, "x", "two"), "x: two\n"),
    "a flow text over lines placed elsewhere": (
        "a:\n  v: [\n   x,\n   y]\nb: {}\n",
        lambda d: d["b"].__setitem__("k", copy.deepcopy(d["a"])),
        "a:\n  v: [\n   x,\n   y]\nb: {k: {v: [x, y]}}\n"),
    "block entries put into a flow mapping": (
        "f: {}\ng:\n  # c\n  e: false  # f\n", lambda d: d["f"].update(copy.copy(d["g"])),
        "f: {e: false}\ng:\n  # c\n  e: false  # f\n"),
    "update from a mapping changed behind the class": (
        "a:\n  app: wp\nb:\n  x: 1\n",
        lambda d: (dict.update(d["a"], {"app": 5}), d["b"].update(d["a"])),
        "a:\n  app: 5\nb:\n  x: 1\n  app: 5\n"),
    "extend from a sequence changed behind the class": (
        "a:\n- wp\nb:\n- 1\n",
        lambda d: (list.__setitem__(d["a"], 0, 5), d["b"].extend(d["a"])),
        "a:\n- 5\nb:\n- 1\n- 5\n"),
    # An anchor renamed or redefined inside: aliases after it read what the
    # text defines last under the name.
    "an anchor renamed, its old name given to the root": (
        "x-a: &a\n  p: 1\nx-b: &b\n  q: 2\ns:\n  <<: *a\n  r: *b\n",
        lambda d: (d.set_alias("x-b", "a"), d.pop("x-a"), setattr(d, "anchor", "b")),
        "&b\nx-b: &a\n  q: 2\ns:\n  <<:\n    p: 1\n  r:\n    q: 2\n"),
    "an alias name defined again inside its value": (
        "m:\n- name: a\n  email: x@y\n",
        lambda d: (d.setdefault("", d["m"][0]), d["m"][0].set_alias("email", "n1"),
                   dict.update(d["m"][0], {"email": copy.copy(d["m"][0])})),
        "m:\n- name: a\n  email: &n1\n    name: a\n    email: &n1 x@y\n"
        "'':\n  name: a\n  email:\n    name: a\n    email: *n1\n"),
    # A block scalar that ended the text without a line break, followed now.
    "its record written twice": (
        "- a: 1\n- run: |\n    t", lambda d: d.append(d[1]),
        "- a: 1\n- run: |-\n    t\n- run: |\n    t"),
    "a list put before a tagged scalar given an alias name, behind the class": (
        "v:\n- !Ref x\n", lambda d: (d["v"].set_alias(0, "n1"), list.insert(d["v"], 0, [1])),
        "v:\n- - 1\n- &n1 !Ref x\n"),
    "a tail comment after a copied block scalar and its blank line": (
        "env:\n  A: x   # one\n       # more\n\nc:\n- run: |\n    echo a\n\n- b: 1\n",
        lambda d: d["env"].__setitem__("n", copy.deepcopy(d["c"][0])),
        "env:\n  A: x   # one\n  n:\n    run: |\n      echo a\n\n  # more\n\n"
        "c:\n- run: |\n    echo a\n\n- b: 1\n"),
    "blank lines after the collection around it": (
        "a:\n- x: 1\n  run: |\n    t", lambda d: setattr(d["a"][0], "trailing_blank_lines", 1),
        "a:\n- x: 1\n  run: |-\n    t\n\n"),
}

# A comment block a blank line separates from the first entry or item is
# the file's header: it stays on top through every reordering.
HEADED = "# Licence: MIT\n\n# about a\na: 1  # one\nb: 2\n"
HEADED_SEQ = "# Licence: MIT\n\n- b  # bee\n- a\n"
for name, edit, body in [
    ("move_to_end", lambda d: d.move_to_end("a"), "b: 2\n# about a\na: 1  # one\n"),
    ("move", lambda d: d.move("b", 0), "b: 2\n# about a\na: 1  # one\n"),
    ("insert at 0", lambda d: d.insert(0, "z", 0), "z: 0\n# about a\na: 1  # one\nb: 2\n"),
    ("sort_keys", lambda d: d.sort_keys(reverse=True), "b: 2\n# about a\na: 1  # one\n"),
]:
    ROWS[f"header stays: {name}"] = (HEADED, edit, "# Licence: MIT\n\n" + body)
for name, edit, body in [
    ("insert at 0", lambda s: s.insert(0, "z"), "- z\n- b  # bee\n- a\n"),
    ("slice at 0", lambda s: s.__setitem__(slice(0, 0), ["z"]), "- z\n- b  # bee\n- a\n"),
    ("sort", lambda s: s.sort(), "- a\n- b  # bee\n"),
    ("reverse", lambda s: s.reverse(), "- a\n- b  # bee\n"),
]:
    ROWS[f"header stays: sequence {name}"] = (HEADED_SEQ, edit, "# Licence: MIT\n\n" + body)

# A key read twice loads last-wins at the first one's place; the replaced
# entry's lines stay while the entry that stands is the one read, and go with
# an edit of it. Its text never stands where it would win.
DUP = "a: 1\nb: 2\na: 3\n"
K8S = ("spec:\n  # first\n  selector:\n    app: x\n  template: t\n"
       "  # second\n  selector:\n    matchLabels:\n      app: x\n")
for name, text, edit, out in [
    ("no edit", DUP, lambda d: None, DUP),
    ("another value set", DUP, lambda d: d.__setitem__("b", 5), "a: 1\nb: 5\na: 3\n"),
    ("a key added", DUP, lambda d: d.__setitem__("c", 4), DUP + "c: 4\n"),
    ("a key inserted first", DUP, lambda d: d.insert(0, "z", 0), "z: 0\n" + DUP),
    ("another key deleted", DUP, lambda d: d.__delitem__("b"), "a: 1\na: 3\n"),
    ("another comment", DUP, lambda d: d.set_comment_inline("b", "x"), "a: 1\nb: 2  # x\na: 3\n"),
    ("its value set", DUP, lambda d: d.__setitem__("a", 5), "a: 5\nb: 2\n"),
    ("its value set behind the class", DUP, lambda d: dict.__setitem__(d, "a", 5), "a: 5\nb: 2\n"),
    ("deleted", DUP, lambda d: d.__delitem__("a"), "b: 2\n"),
    ("deleted behind the class", DUP, lambda d: dict.__delitem__(d, "a"), "b: 2\n"),
    ("renamed", DUP, lambda d: d.rename_key("a", "z"), "z: 3\nb: 2\n"),
    ("moved", DUP, lambda d: d.move_to_end("a"), "b: 2\na: 3\n"),
    ("sorted", DUP, lambda d: d.sort_keys(reverse=True), "b: 2\na: 3\n"),
    ("comments reset", "a: 1  # one\nb: 2\na: 3\n", lambda d: d.format(styles=False, blank_lines=False),
     "a: 3\nb: 2\n"),
    ("read three times, another set", "a: 1\nb: 2\na: 3\nc: 4\na: 5\n",
     lambda d: d.__setitem__("c", 9), "a: 1\nb: 2\na: 3\nc: 9\na: 5\n"),
    ("read three times, set", "a: 1\nb: 2\na: 3\nc: 4\na: 5\n",
     lambda d: d.__setitem__("a", 0), "a: 0\nb: 2\nc: 4\n"),
    ("two keys crossed, one set", "a: 1\nb: 1\na: 2\nb: 2\n",
     lambda d: d.__setitem__("a", 9), "a: 9\nb: 1\nb: 2\n"),
    ("nested with comments, another set", K8S, lambda d: d["spec"].__setitem__("template", "u"),
     K8S.replace("template: t", "template: u")),
    ("nested with comments, replaced", K8S, lambda d: d["spec"].__setitem__("selector", {"app": "z"}),
     "spec:\n  # second\n  selector:\n    app: z\n  template: t\n"),
    ("a kept block scalar replaced", "a: |+\n  x\n\nb: 1\na: 2\n", lambda d: d.__setitem__("b", 3),
     "a: |+\n  x\n\nb: 3\na: 2\n"),
    ("CRLF", "a: 1\r\nb: 2\r\na: 3\r\n", lambda d: d.__setitem__("c", 4),
     "a: 1\r\nb: 2\r\na: 3\r\nc: 4\r\n"),
    ("no final line break", "a: 1\nb: 2\na: 3", lambda d: d.__setitem__("b", 5), "a: 1\nb: 5\na: 3"),
    ("first on a dash line", "- a: 1\n  b: 2\n  a: 3\n", lambda d: d[0].__setitem__("b", 5),
     "- a: 1\n  b: 5\n  a: 3\n"),
    ("no longer first on a dash line", "- a: 1\n  b: 2\n  a: 3\n", lambda d: d[0].insert(0, "z", 1),
     "- z: 1\n  a: 3\n  b: 2\n"),
    ("in a flow mapping", "{a: 1, a: 2}\n", lambda d: None, "{a: 2}\n"),
    ("holding an anchor", "a: &x 1\nb: *x\na: 2\n", lambda d: None, "a: 2\nb: &x 1\n"),
]:
    ROWS[f"repeated key: {name}"] = (text, edit, out)


@pytest.mark.parametrize("text, edit, expected", ROWS.values(), ids=ROWS.keys())
def test_edit(text, edit, expected):
    check(text, edit, expected)


def test_to_python_of_a_yaml_scalar_put_behind_the_class():
    d = tesvorn.loads("a: 1\n")
    dict.__setitem__(d, "a", tesvorn.YamlScalar("s", style="double"))
    assert d.to_python() == {"a": "s"} and tesvorn.dumps(d) == 'a: "s"\n'


def test_methods_read_what_the_python_part_holds():
    s = tesvorn.loads("- 3  # three\n- 1  # one\n- 2\n")
    list.reverse(s)
    assert [s.comment_inline(i) for i in range(3)] == [None, "one", "three"]
    assert s.item_position(2) == (1, 3) and s.node(0).value == 2
    d = tesvorn.loads("a: 1  # one\nb: 2\n")
    dict.__setitem__(d, "a", 5)
    assert d.node("a").value == 5 and d.comment_inline("a") == "one"


@pytest.mark.parametrize("value, tag, held", [
    (5, "!!str", "5"), ("5", "!!int", 5), (1, "!!float", 1.0), ("0x1F", "!!int", 31),
    ("true", "!!bool", True), ("x", "!t", "x"),
])
def test_a_tagged_scalar_holds_what_its_dump_loads_as(value, tag, held):
    s = tesvorn.YamlScalar(value, tag=tag)
    assert repr(s.value) == repr(held) == repr(tesvorn.loads(tesvorn.dumps(s)).value)
    root = tesvorn.loads(f"{value}\n")  # a document's own tag, likewise
    root.tag = tag
    assert repr(root.value) == repr(tesvorn.loads(tesvorn.dumps(root)).value)


@pytest.mark.parametrize("make", [
    lambda: tesvorn.YamlScalar("x", tag="!!int"), lambda: tesvorn.YamlScalar(1.5, tag="!!int"),
    lambda: tesvorn.YamlSequence([1], tag="!!map"), lambda: tesvorn.YamlMapping({}, tag="!!seq"),
    lambda: setattr(tesvorn.loads("a: 1\n"), "tag", "!!str"),
    lambda: tesvorn.loads("k: [a, b]\n")["k"].set_comment_inline(0, "c"),
    lambda: tesvorn.loads("k: {a: 1}\n")["k"].insert(0, "b", 2, comment="c"),
    lambda: setattr(tesvorn.loads("%TAG !e! tag:e,2000:\n---\na: !e!x 1\n"), "tag_directives", []),
])
def test_what_a_dump_could_not_keep_is_refused(make):
    with pytest.raises(ValueError):
        make()
