"""Round-trip measures shared by the tests, the round-trip report
(bench/roundtrip_report.py) and the fuzz harness: data comparison, the cause
of a text difference, comment lines kept, and how local an edit's change of
the text is. Everything goes through the module's public API.
"""

import collections
import difflib
import math
import re

import tesvorn

# ---- data -------------------------------------------------------------------


def plain(doc):
    return doc.to_python() if hasattr(doc, "to_python") else doc


def same_data(a, b) -> bool:
    """Equal values of equal types, keys in the same order; NaN equals NaN."""
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    if isinstance(a, dict) and isinstance(b, dict):
        return list(a) == list(b) and all(same_data(a[k], b[k]) for k in a)
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same_data(x, y) for x, y in zip(a, b))
    return type(a) is type(b) and a == b


def roundtrip(text: str):
    """(documents, their dump, the dump loaded again)."""
    docs = tesvorn.loads_all(text)
    out = tesvorn.dumps_all(docs)
    return docs, out, tesvorn.loads_all(out)


# ---- the cause of a text difference -------------------------------------------


def first_difference(src: str, out: str) -> tuple[int, str, str]:
    """(0-based line number, source line, output line) of the first difference."""
    a, b = src.splitlines(), out.splitlines()
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i, x, y
    i = min(len(a), len(b))
    return i, a[i] if i < len(a) else "<end>", b[i] if i < len(b) else "<end>"


def classify(src: str, out: str) -> str:
    """A short name for the cause of the first difference."""
    if src.rstrip("\n") == out.rstrip("\n"):
        return "final line break"
    if src.replace("\r\n", "\n") == out:
        return "CRLF line ends"
    i, a, b = first_difference(src, out)
    if a.rstrip() == b.rstrip():
        return "trailing whitespace"
    strip_comment = re.compile(r"\s+#.*$")
    if "#" in a and "#" in b and strip_comment.sub("", a) == strip_comment.sub("", b):
        if re.sub(r"\s+#", " #", a) == re.sub(r"\s+#", " #", b):
            return "spacing before an inline comment"
        return "comment text or placement"
    if a.lstrip() == b.lstrip():
        if a.lstrip().startswith("- ") or b.lstrip().startswith("- "):
            return "indentation of sequences"
        return "indentation"
    if b == "---" or a == "---":
        return "document start marker"
    if a.strip() == "" or b.strip() == "":
        src_lines = src.splitlines()
        prev = src_lines[i - 1].lstrip() if 0 < i <= len(src_lines) else ""
        if a.strip() == "" and prev.startswith("#"):
            return "blank line after a comment"
        return "blank lines"
    if a.lstrip().startswith("#") or b.lstrip().startswith("#"):
        return "comment text or placement"
    if re.sub(r"""['"]""", "", a) == re.sub(r"""['"]""", "", b):
        return "quoting"
    if re.sub(r"\s+", "", a) == re.sub(r"\s+", "", b):
        return "spacing inside a line (flow collections, after colons)"
    if b.startswith(a.rstrip()) or a.startswith(b.rstrip()):
        return "folded plain or quoted scalars"
    if "|" in a or ">" in a or "|" in b or ">" in b:
        return "block scalars"
    return "other"


# ---- comments ---------------------------------------------------------------

# A block scalar header at the end of a line's content: "|", ">", with
# chomping and indentation indicators, after a key, a dash, a tag or an anchor.
_BLOCK_HEADER = re.compile(r"(?:^|[\s:?-])[|>][0-9+-]*$")
_LEAD = re.compile(r"( *)((?:-[ ]+)*)")


def _comment_and_body(line: str, quote: str | None) -> tuple[str | None, str, str | None]:
    """(the "# ..." part of `line` or None, the content before it, the quote
    still open at the end of the line). `quote` is the quote open at its start."""
    n, i, token_start = len(line), 0, quote is None
    while i < n:
        c = line[i]
        if quote == "'":
            if c == "'":
                if i + 1 < n and line[i + 1] == "'":
                    i += 2
                    continue
                quote = None
            i += 1
            continue
        if quote == '"':
            if c == "\\":
                i += 2
                continue
            if c == '"':
                quote = None
            i += 1
            continue
        if c == "#" and (i == 0 or line[i - 1] in " \t"):
            return line[i:], line[:i], None
        if c in "'\"" and token_start:
            quote = c
        elif c in "!&" and token_start:
            # A tag or an anchor: the scalar starts after it.
            while i < n and line[i] not in " \t":
                i += 1
            continue
        elif c in "[{,":
            token_start = True
        elif c in "-:?" and (i + 1 == n or line[i + 1] in " \t"):
            token_start = True
        elif c not in " \t":
            token_start = False
        i += 1
    return None, line, quote


def _block_scalar_parent(line: str, body: str) -> int:
    """The column a block scalar's content must be indented beyond, for the
    header ending `body`: the key's column after `key: |`, the dash's after
    `- |`, none for a header alone on its line."""
    m = _LEAD.match(line)
    rest = body[m.end():]
    if not rest.startswith(("|", ">")):
        return m.end()
    return len(m.group(0).rstrip()) - 1 if m.group(2) else len(m.group(1)) - 1


def comment_texts(text: str) -> collections.Counter:
    """The comments of `text` ("# ..." with the '#', stripped of surrounding
    whitespace; bare '#' left out) as a multiset. Lines inside block scalars
    and quoted scalars are content, not comments."""
    found: collections.Counter = collections.Counter()
    quote = None
    block = None  # (column to exceed, indentation of the content or None)
    for line in text.splitlines():
        stripped = line.lstrip(" ")
        indent = len(line) - len(stripped)
        if block is not None:
            parent, content = block
            if not stripped.strip():
                continue
            if content is None and indent > parent:
                block = (parent, indent)
                continue
            if content is not None and indent >= content:
                continue
            block = None
        comment, body, quote = _comment_and_body(line, quote)
        if comment is not None and comment.strip() != "#":
            found[comment.strip()] += 1
        if quote is None and _BLOCK_HEADER.search(body.rstrip()):
            block = (_block_scalar_parent(line, body.rstrip()), None)
    return found


def comments_lost(src: str, out: str) -> int:
    """How many comments of `src` are not in `out` (as a multiset)."""
    return sum((comment_texts(src) - comment_texts(out)).values())


# ---- edit locality -------------------------------------------------------------

EDITS = ("change a value", "add a key", "delete a key", "append an item")
_NEW_KEY = "added_key"


def _children(node):
    """(container, key or index, value) of a mapping or sequence, depth
    first, leaving out aliases (their value is the anchored node's)."""
    keys = list(node) if isinstance(node, dict) else range(len(node))
    for k in keys:
        if node.alias_name(k) is not None:
            continue
        value = node[k]
        yield node, k, value
        if isinstance(value, (tesvorn.YamlMapping, tesvorn.YamlSequence)):
            yield from _children(value)


def _one_line_scalar(container, k, value, text: str) -> bool:
    if value is None or not isinstance(value, (str, int, float)):
        return False
    node = container.node(k)
    if node.anchor is not None or node.style not in ("plain", "single", "double"):
        return False
    if not isinstance(value, str):
        return True
    if "\n" in value:
        return False
    # A plain or quoted string that folds several lines has no source line
    # holding it as it is.
    written = {"plain": value, "single": "'" + value.replace("'", "''") + "'",
               "double": '"' + value + '"'}[node.style]
    return written in text


def _new_value(value):
    if isinstance(value, bool):
        return not value
    if isinstance(value, (int, float)):
        return value + 1 if math.isfinite(value) else 1.5
    return value + "-edited"


def apply_edit(edit: str, doc, text: str) -> bool:
    """Makes the edit on `doc`; False when the document has nothing it applies to."""
    if edit == "change a value":
        for container, k, value in _children(doc):
            if _one_line_scalar(container, k, value, text):
                node = container.node(k)
                container[k] = tesvorn.YamlScalar(_new_value(value), style=node.style, tag=node.tag)
                return True
    elif edit == "add a key":
        for _, _, value in _children(doc):
            if isinstance(value, tesvorn.YamlMapping) and value and value.style == "block":
                key = _NEW_KEY
                while key in value:
                    key += "_"
                value[key] = "added value"
                return True
    elif edit == "delete a key":
        for mapping in [doc] + [v for _, _, v in _children(doc)]:
            if isinstance(mapping, tesvorn.YamlMapping) and len(mapping) > 1 and mapping.style == "block":
                for k in list(mapping)[1:]:
                    if mapping.alias_name(k) is None and mapping.node(k).anchor is None:
                        del mapping[k]
                        return True
    elif edit == "append an item":
        for _, _, value in _children(doc):
            if isinstance(value, tesvorn.YamlSequence) and value and value.style == "block":
                value.append({"added": "item"} if isinstance(value[-1], dict) else "added item")
                return True
    else:
        raise ValueError(edit)
    return False


def diff_lines(src: str, out: str) -> tuple[list[str], list[str], int]:
    """(removed lines, added lines, number of hunks) of the unified diff with
    no context. Lines keep their ends: a lost final line break or CRLF shows."""
    removed, added, hunks = [], [], 0
    for line in difflib.unified_diff(src.splitlines(True), out.splitlines(True), n=0):
        if line.startswith(("---", "+++")):
            continue
        if line.startswith("@@"):
            hunks += 1
        elif line.startswith("-"):
            removed.append(line[1:])
        elif line.startswith("+"):
            added.append(line[1:])
    return removed, added, hunks


def is_local(edit: str, removed: list[str], added: list[str], hunks: int) -> bool:
    """Whether the diff holds only the lines of the edit: the changed line, the
    added line, or one contiguous run of removed lines."""
    if edit == "change a value":
        return len(removed) == 1 and len(added) == 1
    if edit == "delete a key":
        return hunks == 1 and bool(removed) and not added
    return not removed and len(added) == 1


# `ended`: not local only because the text lacked a final line break and the
# edit added a line after its last one, which then needs one.
Locality = collections.namedtuple("Locality", "local size ended")


def edit_locality(text: str, edit: str) -> Locality | None:
    """Makes `edit` on the first document of `text` (a mapping) on a fresh
    load; whether the diff between `text` and the dump is local, and its size
    (removed + added lines). None when the edit does not apply."""
    docs = tesvorn.loads_all(text)
    if not apply_edit(edit, docs[0], text):
        return None
    removed, added, hunks = diff_lines(text, tesvorn.dumps_all(docs))
    local = is_local(edit, removed, added, hunks)
    ended = False
    if not local and removed and not removed[-1].endswith(("\n", "\r")):
        last = removed[-1]
        for line in (last + "\n", last + "\r\n"):
            if line in added:
                rest = list(added)
                rest.remove(line)
                ended = is_local(edit, removed[:-1], rest, hunks)
    return Locality(local, len(removed) + len(added), ended)


# ---- multi-line text edits ----------------------------------------------------


def _source_rest(text: str, position) -> str:
    line, column = position
    return text.splitlines()[line - 1][column - 1:]


def _quote_closes(rest: str) -> bool:
    """Whether the quoted scalar that `rest` starts with ends on its line."""
    quote, i = rest[0], 1
    while i < len(rest):
        if quote == '"' and rest[i] == "\\":
            i += 2
            continue
        if rest[i] == quote:
            if quote == "'" and rest[i + 1:i + 2] == "'":
                i += 2
                continue
            return True
        i += 1
    return False


def multiline_texts(doc, text: str):
    """(container, key or index) of the strings of `doc` written over
    several lines of `text`: block scalars with text, plain and quoted
    scalars that go on past their first line. Leaves out values with
    properties (their text starts before the value)."""
    found = []
    for container, k, value in _children(doc):
        if not isinstance(value, str) or not value.strip("\n"):
            continue
        node = container.node(k)
        if node.anchor is not None or node.tag is not None:
            continue
        position = (container.value_position(k) if isinstance(container, dict)
                    else container.item_position(k))
        if position is None:
            continue
        rest = _source_rest(text, position)
        if node.style in ("literal", "folded"):
            found.append((container, k))
        elif node.style == "plain":
            first = re.sub(r"\s+#.*$", "", rest).rstrip()
            if value != first and value.startswith(first):
                found.append((container, k))
        elif not _quote_closes(rest):
            found.append((container, k))
    return found


def text_end_edits(text: str):
    """For each multi-line text value of every document of `text` that is a
    mapping or sequence, on a fresh load: a word appended to its text (before
    its final line feeds) by item assignment of a str. Yields (value's path
    for the report, whether the diff of the dump against `text` is one line
    removed and one added)."""
    docs = tesvorn.loads_all(text)
    for d, doc in enumerate(docs):
        if not isinstance(doc, (dict, list)):
            continue
        for i in range(len(multiline_texts(doc, text))):
            fresh = tesvorn.loads_all(text)
            container, k = multiline_texts(fresh[d], text)[i]
            value = container[k]
            body = value.rstrip("\n")
            container[k] = body + " edited" + value[len(body):]
            removed, added, _ = diff_lines(text, tesvorn.dumps_all(fresh))
            yield f"document {d} {k!r}", len(removed) == 1 and len(added) == 1
