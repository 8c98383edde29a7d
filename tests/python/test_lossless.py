"""What a program does not touch comes back as it was: documents written back
byte for byte, edits that change exactly their own lines, comments that stay
where they were, and the resets that ask for the writer's own layout."""

import copy

import pytest

import tesvorn
from tesvorn import YamlScalar, dumps, dumps_all, loads, loads_all

# Each feature of hand-written layout; every text must come back as it is.
AS_READ = {
    "comments only": "# commented out\n#   key: value\n\n# more\n",
    "blank lines only": "\n\n",
    "comment before first ---": "# header\n---\na: 1\n",
    "comment on --- and ...": "--- # first\na: 1\n... # done\n",
    "footer after last entry": "a: 1\nb: 2\n# [END snippet]\n\n# license\n",
    "shallower comment after nested block": "a:\n    b: 1\n    # end of a\n# before c\nc: 2\n",
    "comment between key and nested block": "key: # about key\n  nested: 1\n",
    "comment after block scalar header": "text: |  # the text\n  line\nnext: 1\n",
    "comments inside flow": "args: [\n  a,  # first\n  b,\n  # before c\n  c\n]\n",
    "comment after alias": "a: &x 1\nb: *x  # same as a\n",
    "comment inside explicit key line": "? a  # key\n: b\n",
    "indentless sequence": "key:\n- a\n-   b\n",
    "four-space indentation": "a:\n    b:\n        c: 1\n",
    "sequence indented under key": "steps:\n    - uses: x\n      with:\n          y: 1\n",
    "aligned values": "name:     app\nimage:    nginx\nreplicas: 2\n",
    "hash without space": "#comment\na: 1 #tight\n",
    "spacing in flow": "a: [ 1, 2 ]\nb: [1,2]\nc: {x: 1,y: 2}\nd: [a, b, ]\n",
    "multi-line flow": "a: [\n  1,\n  2\n]\n",
    "multi-line plain and quoted": "a: one\n  two\nb: 'x\n  y'\nc: \"p\\\n  q\"\n",
    "block scalars": "a: |+\n  keep\n\nb: >-\n  folded\n  text\nc: |2\n    indented\n",
    "quoted keys and values": "'a': \"b\"\n\"c d\": 'e''f'\n",
    "plain strings writers quote": "opt: --results=verified\nneg: -foo\nq: ?x\n",
    "source text of plain scalars": "hex: 0x1F\nyes: yes\nf: 1.50\nn: ~\ne:\n",
    "key with nothing after the colon": "a:\nb:   # empty\n-:\n",
    "bare dash": "- \n-\n- a\n",
    "tags and anchors": "a: &a !t {x: 1}\nb: !!str 1\nc: *a\n",
    "directives and markers": "%YAML 1.2\n%TAG !e! tag:e.com,2000:\n---\n!e!x a\n...\n",
    "several documents": "a: 1\n---\n# two\nb: 2\n---\n- c\n",
    "trailing whitespace": "a: 1   \nb: 2\t\n",
    "no final line break": "a: 1\nb: |\n  text",
    "CRLF": "a: 1\r\nb:\r\n  - x  # c\r\n",
    "lone CR line breaks": "\r- - x\n\r- - y\n",
    "lone CR after a comment in flow": "a: {e  # c\r}\nb: [x # c\r, y]\n",
    "byte order mark": "\ufeffa: 1\n",
    "byte order mark before a tab on a dash line": "\ufeff-\tplain\n-\t[a,\tb]\n",
    "root scalar and comments": "# note\nplain text\n# after\n",
    "root flow collection": "[1, 2]  # nums\n",
    "complex keys": "? [a, b]\n: 1\n? - c\n  - d\n: 2\n",
    "rendered values as read": "port:   80  # http\nup:     true\nnone:   null\nl:\n  -   1  # one\n",
    "anchors defined again": "a: &x 1\nb: *x\nc: &x 2\nd: *x\n",
    "key anchors defined again": "&k a: 1\nb: *k\n&k c: 2\nd: *k\n",
    "item anchors defined again": "- &x 1\n- *x\n- &x 2\n- *x\n",
}


class TestAsRead:
    @pytest.mark.parametrize("text", AS_READ.values(), ids=AS_READ.keys())
    def test_written_back_byte_for_byte(self, text):
        docs = loads_all(text)
        assert dumps_all(docs) == text
        # The copies of a document keep its layout too.
        assert dumps_all([copy.copy(d) for d in docs]) == text
        assert dumps_all([copy.deepcopy(d) for d in docs]) == text


def edit(text, change):
    doc = loads(text)
    change(doc)
    return dumps(doc)


# (text, edit, the text expected after it).
EDITS = [
    ("a: 1  # one\nb: 2\n", lambda d: d.__setitem__("a", 5), "a: 5  # one\nb: 2\n"),
    ("name:     app\nport:     80\n", lambda d: d.__setitem__("port", 8080),
     "name:     app\nport:     8080\n"),
    ("a:\n    b: 1\n    # end\nc: 2\n", lambda d: d["a"].__setitem__("x", 2),
     "a:\n    b: 1\n    x: 2\n    # end\nc: 2\n"),
    ("k:\n- a\n- b\n", lambda d: d["k"].append("c"), "k:\n- a\n- b\n- c\n"),
    ("k:\n    - a\n", lambda d: d["k"].append({"x": 1}), "k:\n    - a\n    - x: 1\n"),
    ("a: [1, 2]\n", lambda d: d["a"].append(3), "a: [1, 2, 3]\n"),
    ("a: [\n  1,\n  2\n]\n", lambda d: d["a"].append(3), "a: [\n  1,\n  2,\n  3\n]\n"),
    ("# top\na: 1\n\n# about b\nb: 2\nc: 3\n", lambda d: d.__delitem__("b"),
     "# top\na: 1\nc: 3\n"),
    ("t: |\n  old\nx: 1\n", lambda d: d.__setitem__("t", "new\ntext\n"), "t: |\n  new\n  text\nx: 1\n"),
    ("t: >\n  old\n", lambda d: d.__setitem__("t", "new\n"), "t: >\n  new\n"),
    ("a: 1\nb: 2", lambda d: d.__setitem__("b", 3), "a: 1\nb: 3"),
    ("a: 1\r\nb: 2\r\n", lambda d: d.__setitem__("c", 3), "a: 1\r\nb: 2\r\nc: 3\r\n"),
    ("a:    1  # c\n", lambda d: d.set_comment_inline("a", "new"), "a:    1  # new\n"),
    ("a: 1\nb: 2\n", lambda d: d.set_comment_before("b", "about b"), "a: 1\n# about b\nb: 2\n"),
    # Clearing one comment keeps the other; clearing none changes nothing.
    ("a: 1  # c\n# about b\nb: 2  # t\n", lambda d: d.set_comment_inline("b", None),
     "a: 1  # c\n# about b\nb: 2\n"),
    ("a: 1\n", lambda d: d.set_comment_before("a", None), "a: 1\n"),
    # A comment's lines are its text's lines: an empty one is a bare '#', and
    # a text read, changed and set back gives the lines it was read from.
    ("a: 1\nb: 2\n", lambda d: d.set_comment_before("b", ""), "a: 1\n#\nb: 2\n"),
    ("a: 1\nb: 2\n", lambda d: d.set_comment_before("b", "\n"), "a: 1\n#\n#\nb: 2\n"),
    ("a: 1\nb: 2\n", lambda d: d.set_comment_before("b", "x\n"), "a: 1\n# x\n#\nb: 2\n"),
    ("a: 1\n# x\n#\n# y\nb: 2\n",
     lambda d: d.set_comment_before("b", d.get_comment_before("b").upper()),
     "a: 1\n# X\n#\n# Y\nb: 2\n"),
    ("- x  # c\n- y\n", lambda d: d.set_comment_inline(0, None), "- x\n- y\n"),
    ("# c\n- x  # d\n", lambda d: (d.set_comment_inline(0, None), d.set_comment_before(0, None)),
     "- x\n"),
    ("a:\n    b: 1\n", lambda d: d.__setitem__("n", {"x": [1]}), "a:\n    b: 1\nn:\n    x:\n        - 1\n"),
    ("x: 0x1F\n", lambda d: d.__setitem__("x", 32), "x: 32\n"),
    # A block scalar that ended the text without a line break, followed now:
    # the header strips the break it gains (its value had none).
    ("t: |\n  text", lambda d: d.__setitem__("z", 1), "t: |-\n  text\nz: 1\n"),
    ("a: 1\nb: 2", lambda d: d.__delitem__("b"), "a: 1\n"),
    # A quoted string as read is its text between its quotes, in its style,
    # without properties.
    ("a:   'x'  # c\n", lambda d: d.__setitem__("a", YamlScalar("x", style="single")),
     "a:   'x'  # c\n"),
    ("a:   'x'  # c\n", lambda d: d.__setitem__("a", YamlScalar("x", style="double")),
     'a:   "x"  # c\n'),
    ("a:   'x'  # c\n", lambda d: d.__setitem__("a", YamlScalar("x", style="single", tag="!t")),
     "a:   !t 'x'  # c\n"),
    # The first entry on a dash's line, given a comment line.
    ("- a: 1\n  b: 2\n", lambda d: d[0].set_comment_before("a", "about a"),
     "- \n  # about a\n  a: 1\n  b: 2\n"),
    # Anchored scalars and keys beside nested collections are settled still.
    ("a: &x 1\nb:\n  c: *x\n", lambda d: d.__setitem__("a", 2), "a: 2\nb:\n  c: &x 1\n"),
    ("&k a: 1\nb:\n  *k : 2\n", lambda d: d["b"].__setitem__("n", 3),
     "&k a: 1\nb:\n  *k : 2\n  n: 3\n"),
]


class TestEditsChangeTheirLines:
    @pytest.mark.parametrize("text, change, expected", EDITS)
    def test_edit(self, text, change, expected):
        out = edit(text, change)
        assert out == expected
        assert loads(out) == loads(expected)


LONG = ("lorem ipsum dolor sit amet consectetur adipiscing elit sed do eiusmod tempor incididunt "
        "ut labore et dolore magna aliqua")


def _flow_asked(d):
    v = loads("[1, 2]")
    v.style = "flow"
    d["x"] = v


# Changed text keeps its style and the lines read where its text is the
# same; new content follows the file.
TEXT_EDITS = [
    # A str set where a string stood takes its style; the chomping is the
    # one the new text needs.
    ("run: |-\n  echo hi\n", lambda d: d.__setitem__("run", "echo bye"), "run: |-\n  echo bye\n"),
    ("run: >-\n  echo hi\n", lambda d: d.__setitem__("run", "echo bye"), "run: >-\n  echo bye\n"),
    ("run: |\n  echo hi\n", lambda d: d.__setitem__("run", "echo bye"), "run: |-\n  echo bye\n"),
    ("a: x\n", lambda d: d.__setitem__("a", "l1\nl2\n"), "a: |\n  l1\n  l2\n"),
    ("a: 'x'\n", lambda d: d.__setitem__("a", "l1\nl2"), "a: |-\n  l1\n  l2\n"),
    ('- "x"\n', lambda d: d.__setitem__(0, "y"), '- "y"\n'),
    # ... while a style given with the value is the value's.
    ("a: |-\n  x\n", lambda d: d.__setitem__("a", YamlScalar("y")), "a: y\n"),
    # The lines before and after a change as read, the change at their width.
    ("d: >-\n  one two three\n  four five six\nk: 1\n",
     lambda d: d.__setitem__("d", "one two three four five six seven"),
     "d: >-\n  one two three\n  four five six seven\nk: 1\n"),
    ("d: >\n  aa bb\n  cc dd\n  ee ff\n", lambda d: d.__setitem__("d", "aa bb cc XX ee ff\n"),
     "d: >\n  aa bb\n  cc XX\n  ee ff\n"),
    ("d: >\n  aa bb\n  cc dd\n  ee ff\n",
     lambda d: d.__setitem__("d", f"aa bb cc dd {LONG} ee ff\n"),
     "d: >\n  aa bb\n  cc dd\n  lorem ipsum dolor sit amet consectetur adipiscing\n"
     "  elit sed do eiusmod tempor incididunt ut\n  labore et dolore magna aliqua\n  ee ff\n"),
    ("t: |\n  a\n  \n  b\n", lambda d: d.__setitem__("t", "a\n\nb c\n"), "t: |\n  a\n  \n  b c\n"),
    ("- |\n    x\n    y\n", lambda d: d.__setitem__(0, "w\nz\n"), "- |\n    w\n    z\n"),
    ("p: one two\n  three\n", lambda d: d.__setitem__("p", "one two three four"),
     "p: one two\n  three four\n"),
    ('q: "one two\n  three"\n', lambda d: d.__setitem__("q", "one two three four"),
     'q: "one two\n  three four"\n'),
    ("q: 'one two\n  three'  # c\n", lambda d: d.__setitem__("q", "one two three it's"),
     "q: 'one two\n  three it''s'  # c\n"),
    ('q: "ab\\\n  cd"\n', lambda d: d.__setitem__("q", "abcdef"), 'q: "ab\\\n  cdef"\n'),
    ("r: |\n  a\n  b", lambda d: d.__setitem__("r", "a\nbc"), "r: |\n  a\n  bc"),
    # A comment set on a block scalar changes its header only.
    ("a: |1\n   x\nb: 1\n", lambda d: d.set_comment_inline("a", "c"), "a: |1  # c\n   x\nb: 1\n"),
    ("a: >\n  x y\n  z\nb: 1\n", lambda d: d.set_comment_inline("a", "c"),
     "a: >  # c\n  x y\n  z\nb: 1\n"),
    ("a: >  # c\n  x y\n  z\n", lambda d: d.set_comment_inline("a", None), "a: >\n  x y\n  z\n"),
    # A root made a block keeps the comment of its line, on its header.
    ("--- foo  # comment\n", lambda d: setattr(d, "style", "literal"), "--- |-  # comment\n  foo\n"),
    # A new long string is folded at 80 columns; one set where a value stood
    # on one line stays on one line.
    ("a: 1\n", lambda d: d.__setitem__("b", LONG),
     "a: 1\nb: lorem ipsum dolor sit amet consectetur adipiscing elit sed do eiusmod tempor\n"
     "  incididunt ut labore et dolore magna aliqua\n"),
    ("a: short\n", lambda d: d.__setitem__("a", LONG), f"a: {LONG}\n"),
    # A collection read in flow style as a document of its own goes into a
    # block collection in block style, with the file's indentation; flow
    # stays inside flow, where it was written so, and where it was asked for.
    ("a: 1\n", lambda d: d.__setitem__("env", loads("[{name: A, value: '1'}]")),
     "a: 1\nenv:\n  - name: A\n    value: '1'\n"),
    ("a:\n    b: 1\n", lambda d: d["a"].__setitem__("env", loads("{x: [1, 2]}")),
     "a:\n    b: 1\n    env:\n        x:\n            - 1\n            - 2\n"),
    ("a: {b: 1}\n", lambda d: d["a"].__setitem__("c", loads("[1, 2]")), "a: {b: 1, c: [1, 2]}\n"),
    ("a: 1\n", lambda d: d.__setitem__("x", loads("k: [1, 2]\n")["k"]), "a: 1\nx: [1, 2]\n"),
    ("a: 1\n", _flow_asked, "a: 1\nx: [1, 2]\n"),
]


class TestChangedTextAndNewContent:
    @pytest.mark.parametrize("text, change, expected", TEXT_EDITS)
    def test_edit(self, text, change, expected):
        d = loads(text)
        change(d)
        out = dumps(d)
        assert out == expected
        assert tesvorn.loads(out).to_python() == d.to_python()
        assert dumps(loads(out)) == out

    @pytest.mark.parametrize("text", ["a: |+\n", "a: |+\n\n", "- >+\n", "a: |+\r\n"])
    def test_an_append_after_an_empty_kept_block_changes_no_value(self, text):
        d = loads(text)
        was = d.to_python()
        (d.append if isinstance(d, list) else lambda v: d.__setitem__("z", v))(1)
        back = loads(dumps(d)).to_python()
        assert (back[:-1] if isinstance(back, list) else {k: back[k] for k in was}) == was


WORKFLOW = "on:\n  push:\n    branches: [main]\n  pull_request:\n    branches: [main]\n\njobs:\n  build: 1\n"
ITEMS = "a:\n  - x: 1\n  - y:\n      - 2\n\nb: 1\n"
SIBLINGS = "a:\n  x:\n    p: 1\n\n  y:\n    q: 2\n\n  z:\n    r: 3\n\nb: 1\n"

# The blank lines after a nested block collection stay between the same
# neighbours when its entry goes, gets another value or stops being last;
# comment lines above a document's first key that a blank line separates from
# it are the document's; a flow collection's first entry keeps the spacing
# after its bracket; an alias written as its changed node leaves the blank
# lines after the node where they were.
AROUND_EDITS = [
    (WORKFLOW, lambda d: d["on"].pop("pull_request"),
     "on:\n  push:\n    branches: [main]\n\njobs:\n  build: 1\n"),
    (WORKFLOW, lambda d: d["on"].__setitem__("pull_request", 1),
     "on:\n  push:\n    branches: [main]\n  pull_request: 1\n\njobs:\n  build: 1\n"),
    (WORKFLOW, lambda d: d["on"]["pull_request"].clear(),
     "on:\n  push:\n    branches: [main]\n  pull_request: {}\n\njobs:\n  build: 1\n"),
    (WORKFLOW, lambda d: d["on"].__setitem__("tags", 1),
     "on:\n  push:\n    branches: [main]\n  pull_request:\n    branches: [main]\n  tags: 1\n\n"
     "jobs:\n  build: 1\n"),
    (WORKFLOW, lambda d: d["on"].move_to_end("push"),
     "on:\n  pull_request:\n    branches: [main]\n  push:\n    branches: [main]\n\njobs:\n  build: 1\n"),
    (ITEMS, lambda d: d["a"].pop(), "a:\n  - x: 1\n\nb: 1\n"),
    (ITEMS, lambda d: d["a"].append(3), "a:\n  - x: 1\n  - y:\n      - 2\n  - 3\n\nb: 1\n"),
    (ITEMS, lambda d: d["a"].__setitem__(1, 3), "a:\n  - x: 1\n  - 3\n\nb: 1\n"),
    (WORKFLOW, lambda d: d["on"].sort_keys(),
     "on:\n  pull_request:\n    branches: [main]\n  push:\n    branches: [main]\n\njobs:\n  build: 1\n"),
    (ITEMS, lambda d: d["a"].reverse(), "a:\n  - y:\n      - 2\n  - x: 1\n\nb: 1\n"),
    (SIBLINGS, lambda d: d["a"].pop("z"), "a:\n  x:\n    p: 1\n\n  y:\n    q: 2\n\nb: 1\n"),
    # a value that is not last: its blank lines go before the next entry's comment
    ("a:\n  b:\n    c: 1\n\n  # about d\n  d: 2\n", lambda d: d["a"].__setitem__("b", 5),
     "a:\n  b: 5\n\n  # about d\n  d: 2\n"),
    # a comment after the deleted block, at the indentation of its key, stays
    ("a:\n  x: 1\n  b:\n    c: 1\n\n  # end of a\nd: 1\n", lambda d: d["a"].pop("b"),
     "a:\n  x: 1\n\n  # end of a\nd: 1\n"),
    # blank lines before a comment that ends a nested block are not those after it
    ("a:\n  x:\n    p: 1\n\n    # note\nb: 1\n", lambda d: d["a"].__setitem__("y", 1),
     "a:\n  x:\n    p: 1\n\n    # note\n  y: 1\nb: 1\n"),
    ("a:\n  x:\n    p: 1\n\n    # note\n  y: 2\nb: 1\n", lambda d: d["a"].pop("y"),
     "a:\n  x:\n    p: 1\n\n    # note\nb: 1\n"),
    ("# header\n\na: 1\nb: 2\n", lambda d: d.pop("a"), "# header\n\nb: 2\n"),
    ("# header\n\n# about a\na: 1\nb: 2\n", lambda d: d.pop("a"), "# header\n\nb: 2\n"),
    ("# about a\na: 1\nb: 2\n", lambda d: d.pop("a"), "b: 2\n"),
    ("# header\n\n- 1\n- 2\n", lambda d: d.pop(0), "# header\n\n- 2\n"),
    ("k: [ a ]\n", lambda d: d["k"].insert(0, "new"), "k: [ new, a ]\n"),
    ("k: { a: 1 }\n", lambda d: d["k"].insert(0, "n", 2), "k: { n: 2, a: 1 }\n"),
    ("k: [ a, b ]\n", lambda d: d["k"].pop(0), "k: [ b ]\n"),
    # a line of blanks that moves up to a block scalar would be its text
    ("h: |\n x\ng: 2\n   \nb: x\n", lambda d: d.pop("g"), "h: |\n x\n\nb: x\n"),
    ("h: |\n x\ng: 2\n \t\nb: x\n", lambda d: d.pop("g"), "h: |\n x\n\nb: x\n"),
    ("c: 1\n # k\nk: 2\n", lambda d: d.__setitem__("c", YamlScalar("", style="literal")),
     "c: |-\n# k\nk: 2\n"),
    # a plain "?" read before a ',' is quoted when a blank would follow it
    ("{ a: 1, ?, b: 2 }\n", lambda d: d.pop("b"), "{ a: 1, '?' }\n"),
    ("[ a: ?, b ]\n", lambda d: d.pop(1), "[ a: '?' ]\n"),
    ("{ a: 1, ? }\n", lambda d: d.__setitem__("a", 2), "{ a: 2, ? }\n"),
    # a comment before a ',' on the next line: the ',' stays where it stood
    ("k: [ a # c\n , b ]\n", lambda d: d["k"].append("z"), "k: [ a # c\n , b, z ]\n"),
    ("k: [ a # c\n , b ]\n", lambda d: d["k"].__setitem__(0, "n"), "k: [ n # c\n , b ]\n"),
    ("a: &x\n  p: 1\n\nb:\n  k: *x\n\nc: 1\n", lambda d: d.pop("a"),
     "b:\n  k: &x\n    p: 1\n\nc: 1\n"),
    ("a: &x\n  - 1\n\nb:\n  - *x\nc: 1\n", lambda d: d.pop("a"), "b:\n  - &x\n    - 1\nc: 1\n"),
]


class TestLinesAroundAnEdit:
    @pytest.mark.parametrize("text, change, expected", AROUND_EDITS)
    def test_edit(self, text, change, expected):
        assert edit(text, change) == expected


# Where comments stood when the writer re-attached them by line: each must
# keep its place, through a load, a dump, and a load + edit + dump.
COMMENT_PLACES = [
    "# only a comment\n",
    "# before ---\n---\na: 1\n",
    "--- # on the marker\na: 1\n",
    "a: 1\n... # on the end marker\n",
    "a:\n  b: 1\n  # after the nested block, deeper\n",
    "a:\n  b:\n    c: 1\n  # shallower than c\nd: 1\n",
    "key: # between key and block\n  x: 1\n",
    "s: |- # after the header\n  x\n",
    "f: [a, # inside flow\n  b]\n",
    # A comment before the ',' that ends its line or stands on its own.
    "f: [ a # before the comma\n , b ]\n",
    "f: [ a\n# on its own line\n ,b ]\n",
    "f: { x: 1 # before the comma\n , y: 2 }\n",
    "a: &x 1\nb: *x # after an alias\n",
]


class TestCommentsStay:
    @pytest.mark.parametrize("text", COMMENT_PLACES)
    def test_in_place_after_an_edit_elsewhere(self, text):
        docs = loads_all(text)
        assert dumps_all(docs) == text
        root = docs[-1]
        if isinstance(root, tesvorn.YamlMapping):
            root["zz_added"] = 1
            out = dumps_all(docs)
            comments = [line.strip() for line in text.splitlines() if "#" in line]
            for c in comments:
                assert c in out


class TestResets:
    def test_format_gives_the_writers_own_layout(self):
        d = loads("a:\n    b:   1  #c\nl: [ 1,2 ]\n")
        d.format()
        assert dumps(d) == "a:\n  b: 1\nl:\n  - 1\n  - 2\n"

    def test_indent_applies_to_what_has_no_neighbour(self):
        text = "a:\n    b: 1\n"
        d = loads(text)
        assert dumps(d, indent=2) == text
        assert dumps({"a": {"b": 1}}, indent=4) == "a:\n    b: 1\n"

    def test_a_changed_style_is_written_anew(self):
        d = loads("a: 'x'\nb: 1\n")
        d.scalar_style("a", "double")
        assert dumps(d) == 'a: "x"\nb: 1\n'
        d = loads("a: [1, 2]\n")
        d.container_style("a", "block")
        assert dumps(d) == "a:\n  - 1\n  - 2\n"

    def test_a_moved_value_takes_its_neighbours_layout(self):
        d = loads("a:\n      x: 1\nb: 0\n")
        other = loads("k:\n  - p\n  - q\n")
        d["b"] = other["k"]
        assert dumps(d) == "a:\n      x: 1\nb:\n  - p\n  - q\n"
        assert loads(dumps(d)).to_python() == {"a": {"x": 1}, "b": ["p", "q"]}


class TestStreams:
    def test_iterator_and_stream_keep_the_text(self, tmp_path):
        text = "".join(f"# doc {i}\nk{i}: [ {i} ]  # c\n---\n" for i in range(3000)) + "end: 1\n"
        assert dumps_all(list(tesvorn.iter_loads_all(text))) == text
        path = tmp_path / "in.yaml"
        path.write_text(text, encoding="utf-8")
        with open(path, "rb") as f:
            assert dumps_all(list(tesvorn.iter_load_all(f))) == text
        with open(path, "rb") as f:
            assert dumps_all(tesvorn.load_all(f)) == text

    def test_scalar_documents(self):
        doc = loads("--- 'x'  # q\n...\n")
        assert dumps(doc) == "--- 'x'  # q\n...\n"
        assert dumps(YamlScalar("y")) == "y\n"


# A nested collection written alone: at the left edge, its comment lines
# moved along, its line breaks as read, and a block scalar that ended the
# text without a line break still without one in its value.
PARTS = [
    ("top:\n  a:   1  # c\n  # b next\n\n  b:\n    - x\n    # in\n    -  y\n  # end\nz: 1\n",
     ("top",), "a:   1  # c\n# b next\n\nb:\n  - x\n  # in\n  -  y\n# end\n"),
    ("top:\n  b:\n    - x\n    # in\n    -  y\n", ("top", "b"), "- x\n# in\n-  y\n"),
    ("a:\r\n  b: 1\r\n  c: 2\r\n", ("a",), "b: 1\r\nc: 2\r\n"),
    ("a:\n  b: |\n    text", ("a",), "b: |-\n  text\n"),
    ("a:\n- |\n  text", ("a",), "- |-\n  text\n"),
]


@pytest.mark.parametrize("text, path, expected", PARTS)
def test_a_part_written_alone(text, path, expected):
    node = loads(text)
    for k in path:
        node = node[k]
    out = dumps(node)
    assert out == expected
    assert loads(out) == node
