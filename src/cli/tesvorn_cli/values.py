"""VALUE, and new keys: what an edit writes, in the file's own style.

A VALUE replacing a string stays a string in that string's style: read as
YAML, `1.21` would become a float and `000600` an int. It is read as YAML
when it says so itself (quoted, tagged, a flow collection, a `|` block) or
with --yaml. A new collection under a block collection is written in block
style, and a new key is quoted where its neighbours are, or where a reader
would take it for something other than a string (`201`, `true`, `~`).
"""

import json
import re
from typing import Any

import tesvorn

from .paths import Failure

LOAD_ERRORS = (tesvorn.TesvornError, ValueError, RecursionError)
_POSITION = re.compile(r" at (?:byte|character) [0-9]+ line ([0-9]+) column ([0-9]+)$")


def parse_message(e: BaseException) -> tuple[str, str]:
    """(":line:column" or "", the message) of a load error, with the note that
    says where an unclosed bracket or quote opened."""
    message = str(e).removeprefix("YAML parse error: ")
    line, column = getattr(e, "line", None), getattr(e, "column", None)
    m = _POSITION.search(message)
    if m:
        message = message[:m.start()]
        if line is None:
            line, column = int(m[1]), int(m[2])
    # The notes are the source line with a caret (not for one line of text) and where it began.
    for note in getattr(e, "__notes__", ()):
        if note[:1].strip():
            message += f" ({note})"
    return (f":{line}:{column}" if line is not None else ""), message


def _data(docs: list[Any]) -> str:
    """What a VALUE's documents hold, types included, for comparing two readings."""
    value: Any = docs[0] if docs else None
    return repr(value.to_python() if value is not None else None)


def dropped_comment(text: str, docs: list[Any]) -> str | None:
    """The first comment in `text` (a VALUE that loaded as `docs`), which a
    load drops: a '#' after a blank, outside quotes, whose removal (to the end
    of its line) reads the same."""
    if "#" not in text:
        return None
    data = _data(docs)
    quote = ""
    for i, c in enumerate(text):
        if quote:
            quote = "" if c == quote or c == "\n" else quote
        elif c in ("'", '"') and (i == 0 or text[i - 1] in " \t\n[{,:"):
            quote = c
        elif c == "#" and (i == 0 or text[i - 1] in " \t\n"):
            end = text.find("\n", i)
            end = len(text) if end < 0 else end
            try:
                if _data(tesvorn.loads_all(text[:i] + text[end:])) == data:
                    return text[i:end].rstrip()
            except LOAD_ERRORS:
                pass
    return None


def to_block(node: Any) -> None:
    """Block style for a collection and every non-empty collection in it
    (an empty one can only be written in flow style)."""
    if not isinstance(node, (tesvorn.YamlMapping, tesvorn.YamlSequence)) or not node:
        return
    node.style = "block"
    for step, child in (node.items() if isinstance(node, dict) else enumerate(node)):
        if isinstance(child, (dict, list)) and child:
            node.container_style(step, "block")  # type: ignore[arg-type]
            to_block(child)


def _is_string(node: Any) -> bool:
    return isinstance(node, tesvorn.YamlScalar) and isinstance(node.value, str)


class Value:
    """VALUE of an edit, made anew for each place it goes (a node object is
    placed once). `mode`: "auto" (the default rules above), "yaml", "string"
    (the text as it is) or "file" (the text of a file, in `|` style when it
    has more than one line)."""

    def __init__(self, text: str, mode: str = "auto") -> None:
        self.text, self.mode = text, mode
        self.docs: list[Any] = []
        if mode in ("auto", "yaml"):
            try:
                self.docs = tesvorn.loads_all(text)
            except LOAD_ERRORS as e:
                position, message = parse_message(e)
                raise Failure(f"VALUE{position}: {message}") from None
            if len(self.docs) > 1:
                raise Failure(f"VALUE holds {len(self.docs)} documents, not one")
            comment = dropped_comment(text, self.docs)
            if comment is not None:
                raise Failure(f"VALUE {text!r} holds a comment ({comment}), which YAML drops: use --string "
                              "to set the text as it is (--comment sets a comment)")

    def _as_written(self) -> str | None:
        """The text to keep as a string, when VALUE does not say it is YAML:
        a plain scalar as written, or a block collection typed without brackets."""
        if not self.docs:
            return ""
        node = self.docs[0]
        if isinstance(node, tesvorn.YamlScalar):
            if node.style != "plain" or node.tag is not None:
                return None
            value = node.value
            return value if isinstance(value, str) else tesvorn.dumps(node).strip("\n")
        if node.style == "block" and node.tag is None and node.anchor is None:
            return self.text.strip()
        return None

    def make(self, old: Any = None, block: bool = False) -> Any:
        """The value to place where `old` stands (the node object replaced, or
        a string item beside an inserted one; None for a new key), under a
        block collection when `block`."""
        if self.mode == "file":
            style: Any = old.style if _is_string(old) and old.style in ("literal", "folded") else "literal"
            return tesvorn.YamlScalar(self.text, style=style) if "\n" in self.text.rstrip("\n") \
                else self._styled(self.text.rstrip("\n"), old, keep_plain=True)
        if self.mode == "string":
            return self._styled(self.text, old, keep_plain=False)
        if self.mode == "auto" and _is_string(old) and (text := self._as_written()) is not None:
            return tesvorn.YamlScalar(text, style=old.style)
        new: Any = tesvorn.loads(self.text) if self.docs else None
        if isinstance(new, (dict, list)):
            replacing_flow = getattr(old, "style", None) == "flow"
            if block and not replacing_flow:
                to_block(new)
            return new
        if isinstance(new, tesvorn.YamlScalar) and new.style == "plain" and new.tag is None \
                and isinstance(new.value, str):
            return self._styled(new.value, old, keep_plain=False)
        return new

    @staticmethod
    def _styled(text: str, old: Any, keep_plain: bool) -> Any:
        """A string replacing a quoted or block string keeps that style."""
        if _is_string(old) and (old.style != "plain" or keep_plain):
            return tesvorn.YamlScalar(text, style=old.style)
        return text


# ---- keys -----------------------------------------------------------------------

def _needs_quotes(key: str) -> bool:
    """Whether `key` written plain would read back as something else than this string."""
    try:
        node = tesvorn.loads(f"{key}: x")
    except LOAD_ERRORS:
        return True
    if not isinstance(node, dict) or list(node) != [key] or node.get(key) != "x":
        return True
    try:
        alone = tesvorn.loads(key) if key.strip() else None
    except LOAD_ERRORS:
        return True
    return not (isinstance(alone, tesvorn.YamlScalar) and alone.value == key)


class Keys:
    """Writes new keys into the mappings of one file the way its keys are
    written: a key is quoted when every key beside it is, or when it must
    be, and then in the quotes its neighbours use."""

    def __init__(self, text: str) -> None:
        self.text = text
        self.line_starts = [0] + [m.end() for m in re.finditer("\n", text)]

    def _quote_of(self, mapping: Any, key: str) -> str | None:
        """The quote the key is written in (None: plain or unknown)."""
        position = mapping.key_position(key) if isinstance(mapping, tesvorn.YamlMapping) else None
        if position is None or position[0] > len(self.line_starts):
            return None
        offset = self.line_starts[position[0] - 1] + position[1] - 1
        c = self.text[offset:offset + 1]
        return c if c in ("'", '"') else None

    def _blank_lines_above(self, mapping: Any, key: str) -> int | None:
        """How many blank lines stand above the key's line (and the comment lines right above it)."""
        position = mapping.key_position(key) if isinstance(mapping, tesvorn.YamlMapping) else None
        if position is None:
            return None
        line, blank = position[0] - 1, 0
        while line > 0 and self._line(line).lstrip().startswith("#"):
            line -= 1
        while line > 0 and not self._line(line).strip():
            line, blank = line - 1, blank + 1
        return blank

    def _line(self, number: int) -> str:
        start = self.line_starts[number - 1]
        end = self.line_starts[number] if number < len(self.line_starts) else len(self.text)
        return self.text[start:end]

    def style_for(self, mapping: Any, key: str) -> str | None:
        quotes = [self._quote_of(mapping, k) for k in mapping]
        if quotes and all(quotes):
            return quotes[-1]
        if _needs_quotes(key):
            return next((q for q in reversed(quotes) if q), "'")
        return None

    def add(self, mapping: Any, key: str, value: Any) -> None:
        """Adds `key` at the end of `mapping` (or sets it, when there), after
        as many blank lines as separate every entry of it from the one before."""
        if key in mapping:
            mapping[key] = value
            return
        quote = self.style_for(mapping, key)
        blanks = {self._blank_lines_above(mapping, k) for k in list(mapping)[1:]} if len(mapping) > 2 else set()
        if quote is not None:
            written = "'" + key.replace("'", "''") + "'" if quote == "'" else json.dumps(key)
            mapping.update(tesvorn.loads(f"{written}: null"))  # brings the key's style along
        mapping[key] = value
        if len(blanks) == 1 and (n := blanks.pop()):
            mapping.blank_lines_before(key, n)

    def rename(self, mapping: Any, old: str, new: str) -> None:
        """Renames `old` where it stands, keeping its comments, quoted as a new key would be."""
        quote = self.style_for(mapping, new) if self._quote_of(mapping, old) is None else None
        mapping.rename_key(old, new)
        if quote is None:
            return
        before, inline = mapping.comment_before(new), mapping.comment_inline(new)
        blank = mapping.blank_lines_before(new)
        written = "'" + new.replace("'", "''") + "'" if quote == "'" else json.dumps(new)
        entry = tesvorn.loads(f"{written}: null")
        entry[new] = mapping[new]
        mapping.update(entry)
        mapping.set_comment_before(new, before)
        mapping.set_comment_inline(new, inline)
        mapping.blank_lines_before(new, blank)
