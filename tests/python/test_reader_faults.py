"""The reader against the YAML 1.2 rules, one row per fault it once had:
valid text it misread or refused, invalid text it took (losing data), errors
that were not the library's own or pointed at the wrong place, and writes
that did not load back."""

import io

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tesvorn
from tesvorn import LoaderError, ParseError


def data(docs):
    return [d.to_python() if hasattr(d, "to_python") else d for d in docs]


def read(text):
    if isinstance(text, bytes):
        return data(tesvorn.load_all(io.BytesIO(text)))
    return data(tesvorn.loads_all(text))


# Valid text, and what it holds.
VALID = [
    ("root literal before ---", "|\nfoo\n--- bar\n", ["foo\n", "bar"]),
    ("root folded before ---", ">\nfoo\n--- bar\n", ["foo\n", "bar"]),
    ("empty root block before ---", "|\n--- bar\n", ["", "bar"]),
    ("tab after ':'", "a:\tb", [{"a": "b"}]),
    ("tab after ':' in flow", "{a:\tb}", [{"a": "b"}]),
    ("tab after ':' in an item", "- a:\tb\n", [[{"a": "b"}]]),
    ("tab after ':' of an explicit key", "? a\n:\tb\n", [{"a": "b"}]),
    ("flow sequence scalar ending ' -'", "[a -]", [["a -"]]),
    ("flow mapping value ending ' -'", "{a: b -}", [{"a": "b -"}]),
    ("document end in an empty block", "|2\n\n...\n", [""]),
    ("bare '?' at the end", "?", [{"": None}]),
    ("bare '?' as an item", "- ?", [[{"": None}]]),
    ("empty keep block at the end", "a: |+\n", [{"a": ""}]),
    ("keep block of one empty line", "a: |+\n\n", [{"a": "\n"}]),
    ("NEL is printable", "a: b\x85c\n", [{"a": "b\x85c"}]),
    ("escaped control character", 'a: "\\x01"\n', [{"a": "\x01"}]),
    ("UTF-16 LE with BOM", "\ufeffa: [é, 1]\n".encode("utf-16-le"), [{"a": ["é", 1]}]),
    ("UTF-16 BE with BOM", "\ufeffa: 1\n".encode("utf-16-be"), [{"a": 1}]),
    ("UTF-32 LE with BOM", "\ufeffa: 1\n".encode("utf-32-le"), [{"a": 1}]),
    ("UTF-32 BE with BOM", "\ufeffa: 😀\n".encode("utf-32-be"), [{"a": "😀"}]),
    ("UTF-16 LE without BOM", "a: 1\n".encode("utf-16-le"), [{"a": 1}]),
    ("UTF-8 with BOM", "\ufeffa: 1\n".encode(), [{"a": 1}]),
]


# Invalid text: the exception, its line and column, and words of its message.
INVALID = [
    ("alias of an earlier document's anchor", "--- &a x\n--- *a\n", ParseError, 2, 5, "unknown anchor"),
    ("C0 control in a plain scalar", "a: \x01b\n", ParseError, 1, 4, "U+0001"),
    ("DEL", "a: b\x7f\n", ParseError, 1, 5, "U+007F"),
    ("C1 control", "a: \x9b\n", ParseError, 1, 4, "U+009B"),
    ("U+FFFE", "a: \ufffe\n", ParseError, 1, 4, "U+FFFE"),
    ("control in a comment", "a: 1 # c\x07\n", ParseError, 1, 9, "U+0007"),
    ("control in a single-quoted scalar", "a: 'x\x02'\n", ParseError, 1, 6, "U+0002"),
    ("control in a double-quoted scalar", 'a: "x\x1b"\n', ParseError, 1, 6, "U+001B"),
    ("'|' as a flow scalar", "[|]", ParseError, 1, 2, "`|'"),
    ("'>' as a flow scalar", "{a: >}", ParseError, 1, 5, "`>'"),
    ("tab before the first '-'", "\t- a\n", ParseError, 1, 2, "tabs"),
    ("tab indenting a nested mapping", "a:\n  \tb: c\n", ParseError, 2, 4, "tabs"),
    ("%TAG handle glued to its prefix", "%TAG !e!tag:x\n--- a\n", ParseError, 1, 1, "TAG"),
    ("tag glued to a flow sequence", "[!!str[]]", ParseError, 1, 2, "tag"),
    ("tag glued to a flow mapping", "- !!str{}\n", ParseError, 1, 3, "tag"),
    ("anchor glued to a flow mapping", "&a{}", ParseError, 1, 3, "anchor"),
    ("!!int on a float", "v: !!int 1.5", LoaderError, 1, 4, "!!int"),
    ("!!bool on a word", "v: !!bool maybe", LoaderError, 1, 4, "!!bool"),
    ("!!float on a word", "- !!float abc", LoaderError, 1, 3, "!!float"),
    ("!!map on a sequence", "!!map [a]", LoaderError, 1, 1, "!!map"),
    ("!!seq on a mapping", "a: !!seq {b: c}", LoaderError, 1, 4, "!!seq"),
    ("!!int on a mapping", "a: !!int\n  b: c\n", LoaderError, 1, 4, "!!int"),
    # Errors that were not the library's own, or pointed elsewhere.
    ("invalid UTF-8", b"a: 1\nb: \xff\n", ParseError, 2, 4, "not valid Unicode"),
    ("UTF-8 cut inside a character", b"a: \xc3", ParseError, 1, 4, "not valid Unicode"),
    ("lone surrogate in a str", "a: 1\nb: \udcff\n", ParseError, 2, 4, "surrogate"),
    ("lone surrogate in UTF-16", "a: \ud800".encode("utf-16-le", "surrogatepass"), ParseError, 1, 4,
     "not valid Unicode"),
    ("unknown escape", 'k: "x\\qy"', ParseError, 1, 7, "unknown escape"),
    ("bad hex digit", 'k: "\\uZZZZ"', ParseError, 1, 7, "hexadecimal"),
    ("indentation indicator 0", "|0\n a\n", ParseError, 1, 2, "equal to 0"),
    ("unclosed '['", "a: [b, c\nd: e\n", ParseError, 2, 2, "started at line 1 column 4"),
    ("unterminated quote", "a:\n  b: 'x\nc: d\n", ParseError, 3, 1, "closing quote"),
]


class TestValidInput:
    @pytest.mark.parametrize("text, want", [r[1:] for r in VALID], ids=[r[0] for r in VALID])
    def test_reads(self, text, want):
        assert read(text) == want


class TestInvalidInput:
    @pytest.mark.parametrize("text, exc, line, column, words", [r[1:] for r in INVALID],
                             ids=[r[0] for r in INVALID])
    def test_refused_where_it_is(self, text, exc, line, column, words):
        with pytest.raises(exc) as info:
            read(text)
        e = info.value
        assert (e.line, e.column) == (line, column), str(e)
        assert words in str(e)
        if exc is ParseError:
            # The message counts what `offset` counts: characters.
            assert f"at character {e.offset} line {line} column {column}" in str(e)


class TestLongIntegers:
    def test_over_the_interpreters_digit_limit(self):
        with pytest.raises(LoaderError, match="5000 digits") as info:
            tesvorn.loads("a: 1\nb: " + "7" * 5000 + "\n")
        assert (info.value.line, info.value.column) == (2, 4)


def formatted(text):
    docs = tesvorn.loads_all(text)
    for d in docs:
        d.format()
    return tesvorn.dumps_all(docs)


class TestWritesLoadBack:
    @pytest.mark.parametrize("text", [
        "---\n#\n", "%YAML 1.2\n---\n", "a: 1\n--- # c\n", "--- >-3\n    q\n# c\n", "a: 1\n---\n",
        '[[key, "x\\n\\n"]]\n',  # a flow root's line break after a "+" block it became
    ])
    def test_format_then_load(self, text):
        out = formatted(text)
        assert read(out) == read(text), out

    def test_style_change_of_a_block_root_before_a_comment(self):
        doc = tesvorn.loads("--- >-3\n    q\n# c\n")
        doc.style = "double"
        assert read(tesvorn.dumps(doc)) == [" q"]

    @pytest.mark.parametrize("make, kind", [
        (lambda: (lambda x: (x.append(x), x)[1])([1]), "list"),
        (lambda: (lambda x: (x.__setitem__("a", x), x)[1])({}), "dict"),
        (lambda: (lambda x: (x.append({"b": x}), x)[1])([]), "list"),
    ])
    def test_recursive_plain_containers_are_refused(self, make, kind):
        with pytest.raises(ValueError, match=f"cannot serialize a recursive structure: .*{kind}"):
            tesvorn.dumps(make())

    def test_shared_containers_still_become_aliases(self):
        shared = [1]
        assert read(tesvorn.dumps({"a": shared, "b": shared})) == [{"a": [1], "b": [1]}]


PY_SCALARS = (st.none() | st.booleans() | st.integers(-10**30, 10**30) | st.text(max_size=12)
              | st.floats(allow_nan=False))
PY_DATA = st.recursive(PY_SCALARS, lambda inner: st.lists(inner, max_size=4)
                       | st.dictionaries(st.text(max_size=8), inner, max_size=4), max_leaves=20)


class TestPythonDataLoadsBack:
    @settings(max_examples=300, deadline=None)
    @given(value=PY_DATA)
    def test_dump_then_load(self, value):
        text = tesvorn.dumps(value)
        assert data([tesvorn.loads(text)]) == [value], text
