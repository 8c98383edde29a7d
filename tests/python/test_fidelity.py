"""The measures of tests/support/fidelity.py that `make roundtrip` and the
corpus test rely on: which lines are comments, and when an edit's diff is
local."""

import collections

import pytest

import tesvorn
from fidelity import apply_edit, comment_texts, diff_lines, edit_locality, is_local


@pytest.mark.parametrize("text, comments", [
    ("# top\na: 1  # one\n#\nb: 'x # no' # two\n", ["# top", "# one", "# two"]),
    ("c: \"y # no \\\" # no\"\nd: it's # three\ne: x#no\n", ["# three"]),
    ("k: 'multi\n  # no\n  line' # four\n", ["# four"]),
    ("f: [a, # five\n  b]\n--- # six\n", ["# five", "# six"]),
    ("run: |  # head\n  # no\n\n  echo # no\n# seven\n", ["# head", "# seven"]),
    ("- key: >-\n    # no\n  # eight\n  other: x\n", ["# eight"]),
    ("- |\n  # no\n# nine\n", ["# nine"]),
    ("g: !t &a 'q # no' # ten\n", ["# ten"]),
], ids=["lines", "quotes", "multi-line quote", "flow and marker", "block scalar",
        "block scalar under a dash", "block scalar item", "tag and anchor"])
def test_comment_texts(text, comments):
    assert comment_texts(text) == collections.Counter(comments)


@pytest.mark.parametrize("edit, src, out, local", [
    ("change a value", "a: 1\nb: 2\n", "a: 1\nb: 3\n", True),
    ("change a value", "a: 1\nb: 2", "a: 1\nb: 3\n", True),
    ("change a value", "a: 1\r\nb: 2\r\n", "a: 1\nb: 3\n", False),
    ("add a key", "a:\n  b: 1\n", "a:\n  b: 1\n  c: 2\n", True),
    ("add a key", "a:\n  b: 1", "a:\n  b: 1\n  c: 2\n", False),
    ("delete a key", "a: 1\n# c\nb: 2\nc: 3\n", "a: 1\nc: 3\n", True),
    ("delete a key", "a: 1\nb: 2\nc: 3\nd: 4\n", "b: 2\nd: 4\n", False),
    ("append an item", "s:\n  - 1\n", "s:\n  - 1\n  - 2\n", True),
    ("append an item", "s:\n- 1\n", "s:\n  - 1\n  - 2\n", False),
])
def test_is_local(edit, src, out, local):
    assert is_local(edit, *diff_lines(src, out)) is local


@pytest.mark.parametrize("edit, removed, added", [
    ("change a value", ["a: 1\n"], ["a: 2\n"]),
    ("add a key", [], ["  added_key: added value\n"]),
    ("delete a key", ["b:\n", "  c: x\n", "  d: [1]\n", "  e:\n", "    - y\n"], []),
    ("append an item", [], ["    - added item\n"]),
])
def test_edits_choose_their_place(edit, removed, added):
    text = "a: 1\nb:\n  c: x\n  d: [1]\n  e:\n    - y\n"
    docs = tesvorn.loads_all(text)
    assert apply_edit(edit, docs[0], text)
    assert diff_lines(text, tesvorn.dumps_all(docs))[:2] == (removed, added)
    assert edit_locality(text, edit) == (True, len(removed) + len(added), False)


@pytest.mark.parametrize("edit, text", [
    ("change a value", "a: |\n  x\nb: 'folded\n  line'\nc: &x 1\nd: *x\ne: null\n"),
    ("add a key", "a: [1]\nb: {c: 1}\n"),
    ("delete a key", "a: 1\n"),
    ("append an item", "a: [1]\nb: {c: 1}\n"),
])
def test_edits_that_do_not_apply(edit, text):
    assert edit_locality(text, edit) is None
