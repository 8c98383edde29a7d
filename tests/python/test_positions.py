"""Positions: where ParseError and LoaderError happened, and where loaded
keys, values, items and documents stand, before and after edits."""

import io

import pytest

import tesvorn


def parse_error(load, text):
    with pytest.raises(tesvorn.ParseError) as info:
        load(text)
    return info.value


class Chunks(io.StringIO):
    def read(self, size=-1):
        return super().read(7)  # small pieces: a line is read in several


class TestParseErrorPositions:
    # text, (line, column, offset), the note on what was left open
    CASES = [
        ("a: [1, 2\nb: 3", (2, 2, 10), "the flow sequence started at line 1, column 4"),
        ("a: {b: 1\nc: 2\n", (2, 2, 10), "the flow mapping started at line 1, column 4"),
        ("k: [x, {a: b]\n", (1, 13, 12), "the flow mapping started at line 1, column 8"),
        ("[1, [2]\n", (2, 1, 8), "the flow sequence started at line 1, column 1"),
        ("[a: 1\n", (2, 1, 6), "the flow sequence started at line 1, column 1"),  # a pair has no bracket
        ("[1, 2", (2, 1, 5), "the flow sequence started at line 1, column 1"),
        ("a: 1\n---\n[b, c\n", (4, 1, 15), "the flow sequence started at line 3, column 1"),
        ('a: "x\n\tb"', (2, 1, 6), "the double-quoted scalar started at line 1, column 4"),
        ("a:\n  b: 'x\n\ty'", (3, 1, 11), "the single-quoted scalar started at line 2, column 6"),
        ('x: "a\\qb"', (1, 7, 6), None),  # at the escape's letter
        ("é: ü: x", (1, 5, 4), None),
        ("a:\r\n  b: [1,\r\n c: d\r\n", (3, 2, 15),
         "the flow sequence started at line 2, column 6"),
        ("\ufeffk: v\n- x\n", (2, 1, 6), None),
        ("a:\n\t- [b:\t", (2, 2, 4), None),
    ]

    @pytest.mark.parametrize("text, where, opened", CASES)
    @pytest.mark.parametrize("load", [tesvorn.loads, lambda t: tesvorn.load(Chunks(t))])
    def test_attributes_and_notes(self, load, text, where, opened):
        e = parse_error(load, text)
        assert (e.line, e.column, e.offset) == where
        assert f" line {e.line} column {e.column}" in str(e) and "\n" not in str(e)
        assert e.__notes__[1:] == ([opened] if opened else [])
        # The caret stands under the character at the column.
        shown, caret = e.__notes__[0].split("\n")
        lines = text.lstrip("\ufeff").splitlines()
        line = lines[e.line - 1] if e.line <= len(lines) else ""  # past the end of the input
        assert shown == "    " + line
        assert caret.index("^") == 4 + e.column - 1
        assert caret[:-1].strip(" \t") == ""

    def test_characters_in_the_message_and_in_offset(self):
        e = parse_error(tesvorn.loads, "é: ü: x")
        assert "at character 4 line 1 column 5" in str(e) and e.offset == 4

    @pytest.mark.parametrize("cls", [tesvorn.ParseError, tesvorn.LoaderError])
    def test_made_by_hand_says_nothing(self, cls):
        e = cls("x")
        assert (e.line, e.column, e.offset, str(e)) == (None, None, None, "x")


class TestLoaderErrorPositions:
    @pytest.mark.parametrize("text, where", [
        ("a:\n  b: [1, !bad x]\n", (2, 10, 12)),   # the innermost node
        ("- ok\n- é: !bad 3\n", (2, 6, 10)),        # columns in characters
        ("x: !bad\n  k: 1\n", (1, 4, 3)),           # a collection from its tag
        ("---\na: 1\n---\nb: [!bad 1]\n", (4, 5, 17)),
    ])
    def test_where_the_loader_failed(self, text, where):
        schema = tesvorn.Schema()
        schema.add_loader("!bad", lambda v: 1 / 0)
        with pytest.raises(tesvorn.LoaderError) as info:
            tesvorn.loads_all(text, schema=schema)
        e = info.value
        assert (e.line, e.column, e.offset) == where
        shown, caret = e.__notes__[0].split("\n")
        assert shown == "    " + text.splitlines()[e.line - 1] and caret.index("^") == 3 + e.column


DOC = """\
# settings
name: demo   # inline
ports: [80, {tls: 443}]
script: |
  run
servers:
  - &main host-a
  -
    role: db
    ids: !!seq
      - 7
empty:
...
---
- x
- {é: y}
"""


class TestNodePositions:
    @pytest.mark.parametrize("get, expected", [
        (lambda d: d[0].position, (2, 1)),
        (lambda d: d[0].key_position("name"), (2, 1)),
        (lambda d: d[0].value_position("name"), (2, 7)),
        (lambda d: d[0].value_position("ports"), (3, 8)),
        (lambda d: d[0]["ports"].item_position(1), (3, 13)),
        (lambda d: d[0]["ports"][1].value_position("tls"), (3, 19)),
        (lambda d: d[0].value_position("script"), (4, 9)),
        (lambda d: d[0]["servers"].position, (7, 3)),
        (lambda d: d[0]["servers"].item_position(-1), (9, 5)),
        (lambda d: d[0]["servers"][1].value_position("ids"), (10, 10)),
        (lambda d: d[0].value_position("empty"), (12, 7)),
        (lambda d: d[1].position, (15, 1)),
        (lambda d: d[1][1].value_position("é"), (16, 7)),
        (lambda d: tesvorn.loads("--- !!str\n  text\n").position, (1, 5)),
        (lambda d: tesvorn.YamlMapping({"a": 1}).key_position("a"), None),
        (lambda d: d[0].node("ports").position, (3, 8)),
        (lambda d: d[0].node("name").position, None),
    ])
    def test_where_nodes_stand(self, get, expected):
        assert get(tesvorn.loads_all(DOC)) == expected

    def test_missing_keys_and_indexes(self):
        m = tesvorn.loads(DOC)
        with pytest.raises(KeyError):
            m.key_position("nope")
        with pytest.raises(IndexError):
            m["servers"].item_position(3)
        with pytest.raises(TypeError):
            m.value_position(1)

    def test_a_stream_read_in_pieces_gives_the_same_positions(self):
        # Long enough for the iterator to let go of text already read.
        doc = "".join(f"k{i}: [é, {i}]\r\n" for i in range(6000))
        text = "---\r\n".join([doc] * 4)

        def positions(docs):
            return [[(m.key_position(k), m[k].item_position(1)) for k in m] for m in docs]

        assert positions(tesvorn.iter_load_all(io.StringIO(text))) == positions(tesvorn.loads_all(text))


def name_positions(m):
    return m.key_position("name"), m.value_position("name"), m.key_position("new") if "new" in m else None


def item_positions(m):
    return [m["servers"].item_position(i) for i in range(len(m["servers"]))]


class TestPositionsAfterEdits:
    def edited(self, edit):
        m = tesvorn.loads(DOC)
        edit(m)
        return m

    @pytest.mark.parametrize("edit, get, expected", [
        (lambda m: m.sort_keys(), lambda m: m.value_position("name"), (2, 7)),
        (lambda m: m.pop("name"), lambda m: m.key_position("ports"), (3, 1)),
        (lambda m: m.__setitem__("name", "x"), name_positions, ((2, 1), None, None)),
        (lambda m: m.update(tesvorn.loads("\n\nname: 2\nnew: 3\n")), name_positions, ((2, 1), None, None)),
        (lambda m: m.setdefault("new", 1), lambda m: m.key_position("new"), None),
        (lambda m: m.__setitem__("ports", [1]), lambda m: m["ports"].position, None),
        (lambda m: m.set_alias("name", "main"), lambda m: m.value_position("name"), (2, 7)),
        (lambda m: m.format(), lambda m: m["servers"].item_position(1), (9, 5)),
        (lambda m: m["servers"].insert(0, "h"), item_positions, [None, (7, 5), (9, 5)]),
        (lambda m: m["servers"].__setitem__(0, "h"), lambda m: m["servers"].item_position(0), None),
        (lambda m: m["servers"].extend(tesvorn.loads("[a]")), lambda m: m["servers"].item_position(2), None),
        (lambda m: m["servers"].__imul__(2), item_positions, [(7, 5), (9, 5), None, None]),
    ])
    def test_positions_follow_entries_and_leave_replaced_values(self, edit, get, expected):
        assert get(self.edited(edit)) == expected
