"""PATH: its grammar, and finding what it names in a loaded document.

A PATH is keys separated by dots, `[N]` for an item (negative from the
end), `[KEY=VALUE]` for the one item of a sequence whose KEY is VALUE, and
keys holding dots, brackets or `=` in quotes. `.` alone is the document
itself, and a leading `.` is allowed (`.spec.replicas`).

Reads follow merge keys (`<<: *anchor`); an edit never goes through one,
since what it reached would be the anchor's mapping, shared by every
mapping that merges it.
"""

import difflib
import re
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any, NoReturn

import tesvorn

EXIT_FAILURE, EXIT_USAGE = 1, 2


class Failure(Exception):
    """An error reported on one line, with the exit code it ends the command with."""

    def __init__(self, message: str, code: int = EXIT_FAILURE) -> None:
        super().__init__(message)
        self.code = code


class NotFound(Failure):
    """What PATH names is not there (a document without it may simply not be the one meant).
    `depth`: how many steps of PATH were found."""

    def __init__(self, message: str, depth: int = 0) -> None:
        super().__init__(message)
        self.depth = depth


@dataclass(frozen=True)
class Select:
    """`[key=value]`: the one item of a sequence that is a mapping whose `key` reads as `value`."""
    key: str
    value: str


Step = str | int | Select
Concrete = str | int  # a step once a selector has found its item


# ---- the grammar ----------------------------------------------------------------

_INDEX = re.compile(r"\[(-?[0-9]+)\]")
_BARE = re.compile(r"[^.\[]+")
_BARE_SELECT_KEY = re.compile(r"[^=\]\"']+")
_BARE_SELECT_VALUE = re.compile(r"[^\]\"']*")
_BARE_SHOWN = re.compile(r"[^.\[\"'=\]][^.\[=\]]*")


def parse_path(text: str) -> list[Step]:
    """`a.b[0]."c.d"[name=x]` -> ["a", "b", 0, "c.d", Select("name", "x")]. Quoted
    keys take backslash escapes in double quotes and '' for a quote in single quotes."""
    if text == ".":
        return []
    i = 1 if text.startswith(".") else 0
    steps: list[Step] = []

    def bad(why: str) -> NoReturn:
        raise Failure(f"bad PATH {text!r}: {why} at character {i + 1}", EXIT_USAGE)

    def key_or_value(bare: re.Pattern[str], what: str) -> str:
        nonlocal i
        if text[i:i + 1] in ("'", '"'):
            found, i = _quoted(text, i, bad)
            return found
        m = bare.match(text, i)
        if not m or (not m[0] and what == "key"):
            bad(f"a {what} is missing")
        i = m.end()
        return m[0]

    while True:
        if text[i:i + 1] == "[":
            m = _INDEX.match(text, i)
            if m:
                steps.append(int(m[1]))
                i = m.end()
            else:
                i += 1
                key = key_or_value(_BARE_SELECT_KEY, "key")
                if text[i:i + 1] != "=":
                    bad("an item is [N] or [KEY=VALUE]")
                i += 1
                value = key_or_value(_BARE_SELECT_VALUE, "value")
                if text[i:i + 1] != "]":
                    bad("']' must close [KEY=VALUE]")
                i += 1
                steps.append(Select(key, value))
        elif text[i:i + 1] in ("'", '"'):
            key, i = _quoted(text, i, bad)
            steps.append(key)
        else:
            m = _BARE.match(text, i)
            if not m:
                bad("a key is missing")
            steps.append(m[0])
            i = m.end()
        if i == len(text):
            return steps
        if text[i] == ".":
            i += 1
            if text[i:i + 1] in ("", "["):
                bad("a key is missing")
        elif text[i] != "[":
            bad("a quoted key or an item ends here, '.' or '[' must follow")


def _quoted(text: str, i: int, bad: Callable[[str], NoReturn]) -> tuple[str, int]:
    """The key quoted at text[i], and the index after its closing quote."""
    quote, j = text[i], i + 1
    key: list[str] = []
    while j < len(text):
        c = text[j]
        if quote == '"' and c == "\\" and j + 1 < len(text):
            key.append(text[j + 1])
            j += 2
        elif c == quote and quote == "'" and text[j + 1:j + 2] == "'":
            key.append("'")
            j += 2
        elif c == quote:
            return "".join(key), j + 1
        else:
            key.append(c)
            j += 1
    bad("the quoted key is not closed")


def _shown_key(key: str) -> str:
    if _BARE_SHOWN.fullmatch(key):
        return key
    return '"' + key.replace("\\", "\\\\").replace('"', '\\"') + '"'


def show_path(steps: Sequence[Step]) -> str:
    """The PATH text of `steps` ("the document" for none)."""
    out = ""
    for step in steps:
        if isinstance(step, int):
            out += f"[{step}]"
        elif isinstance(step, Select):
            out += f"[{_shown_key(step.key)}={_shown_key(step.value) if step.value else ''}]"
        else:
            out += ("." if out else "") + _shown_key(step)
    return out or "the document"


# ---- merge keys ----------------------------------------------------------------

MERGE = "<<"


def merge_sources(mapping: dict[str, Any]) -> list[tuple[str | None, dict[str, Any]]]:
    """The mappings that `mapping` merges in, in order of precedence, each with
    its anchor name (None for a mapping written in place). The merge value may
    be a copy of the anchor's mapping or that mapping itself: only what it
    holds is read."""
    value = mapping.get(MERGE)
    if isinstance(value, dict):
        alias = mapping.alias_name(MERGE) if isinstance(mapping, tesvorn.YamlMapping) else None
        return [(alias, value)]
    if isinstance(value, list):
        return [(value.alias_name(i) if isinstance(value, tesvorn.YamlSequence) else None, item)
                for i, item in enumerate(value) if isinstance(item, dict)]
    return []


def merged_owner(mapping: dict[str, Any], key: str) -> tuple[dict[str, Any], str | None] | None:
    """For a key that `mapping` has only through a merge key: the mapping
    that holds it and the anchor it was merged in by (nearest first)."""
    for anchor, source in merge_sources(mapping):
        if key in source and key != MERGE:
            return source, anchor
        deeper = merged_owner(source, key)
        if deeper is not None:
            return deeper[0], anchor if anchor is not None else deeper[1]
    return None


def effective_keys(mapping: dict[str, Any]) -> list[str]:
    """The keys a reader sees: the merge key replaced, where it stands, by the
    keys it brings that the mapping does not set itself."""
    out: list[str] = []
    for key in mapping:
        if key == MERGE and merge_sources(mapping):
            for _, source in merge_sources(mapping):
                out.extend(k for k in effective_keys(source) if k not in mapping and k not in out)
        elif key not in out:
            out.append(key)
    return out


def plain_data(node: Any) -> Any:
    """The value as plain Python data with merge keys resolved (for JSON)."""
    if isinstance(node, dict):
        out = {}
        for key in effective_keys(node):
            owner = node if key in node else merged_owner(node, key)[0]  # type: ignore[index]
            out[key] = plain_data(owner[key])
        return out
    if isinstance(node, list):
        return [plain_data(item) for item in node]
    return node.value if isinstance(node, tesvorn.YamlScalar) else node


def anchor_path(root: Any, anchor: str) -> str | None:
    """The PATH of the mapping or sequence of `root` that carries `anchor`."""
    def search(node: Any, steps: list[Step]) -> str | None:
        if isinstance(node, (tesvorn.YamlMapping, tesvorn.YamlSequence)):
            if node.anchor == anchor and steps:
                return show_path(steps)
            children = node.items() if isinstance(node, dict) else enumerate(node)
            for step, child in children:
                if step != MERGE:
                    found = search(child, [*steps, step])
                    if found:
                        return found
        return None
    return search(root, [])


class ThroughMerge(Failure):
    """An edit that would go through a key the mapping has only by a merge key."""

    def __init__(self, root: Any, steps: Sequence[Step], anchor: str | None) -> None:
        where = show_path(steps)
        if anchor is None:
            super().__init__(f"{where} comes from a merge key (<<) written in place: edit it there")
            return
        there = anchor_path(root, anchor)
        at = f", {there}.{show_path(steps[-1:])}" if there else ""
        super().__init__(f"{where} comes from the merge key <<: *{anchor}: edit the anchor's mapping{at}, "
                         "which every mapping that merges it shares")


# ---- walking a document ---------------------------------------------------------

def kind(node: Any) -> str:
    if isinstance(node, dict):
        return "a mapping"
    if isinstance(node, list):
        return "a sequence"
    return "null" if getattr(node, "value", node) is None else "a scalar"


def item_text(value: Any) -> str | None:
    """A scalar as it reads in a selector: a string as its text, true/false, a number in decimal."""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (str, int, float)):
        return str(value)
    return None


def _suggest(key: str, keys: Sequence[str]) -> str:
    close = difflib.get_close_matches(key, [k for k in keys if k != MERGE], n=1, cutoff=0.6)
    return f" (did you mean {_shown_key(close[0])}?)" if close else ""


class Walker:
    """Finds the steps of a PATH in one document. `reads` follows merge keys;
    otherwise (an edit) a step that only a merge key provides is a ThroughMerge
    error. `create` makes missing (or null) mappings on the way, through
    `add_key` so that new keys are written the way their neighbours are."""

    def __init__(self, root: Any, *, reads: bool = False,
                 add_key: Callable[[dict[str, Any], str, Any], None] | None = None) -> None:
        self.root, self.reads, self.add_key = root, reads, add_key

    def descend(self, steps: Sequence[Step], create: bool = False) -> tuple[Any, list[Concrete]]:
        """The node at `steps`, and the steps with selectors resolved to indexes."""
        node, done = self.root, []
        for at, step in enumerate(steps):
            if (create and isinstance(step, str) and isinstance(node, dict) and self.add_key is not None
                    and (node[step] is None if step in node else merged_owner(node, step) is None)
                    and all(isinstance(s, str) for s in steps[at:])):
                self.add_key(node, step, tesvorn.YamlMapping())
            concrete = self.step(node, step, steps, at)
            done.append(concrete)
            node = self.child(node, concrete, steps, at)
        return node, done

    def step(self, node: Any, step: Step, steps: Sequence[Step], at: int) -> Concrete:
        """`step` of `node` (reached by steps[:at]) as a key or an index; NotFound when absent."""
        where = show_path(steps[:at])
        if isinstance(step, int):
            if not isinstance(node, list):
                raise NotFound(f"{where} is {kind(node)}, not a sequence", at)
            if not -len(node) <= step < len(node):
                raise NotFound(f"{where} has no item [{step}] ({len(node)} items)", at)
            return step
        if isinstance(step, Select):
            return self.select(node, step, where, at)
        if not isinstance(node, dict):
            raise NotFound(f"{where} is {kind(node)}, not a mapping", at)
        if step not in node and merged_owner(node, step) is None:
            raise NotFound(f"{where} has no key {_shown_key(step)}{_suggest(step, effective_keys(node))}", at)
        return step

    def child(self, node: Any, step: Concrete, steps: Sequence[Step], at: int) -> Any:
        if isinstance(step, int) or step in node:
            return node[step]
        owner = merged_owner(node, step)
        assert owner is not None
        if not self.reads:
            raise ThroughMerge(self.root, steps[:at + 1], owner[1])
        return owner[0][step]

    def select(self, node: Any, step: Select, where: str, at: int) -> int:
        if not isinstance(node, list):
            raise NotFound(f"{where} is {kind(node)}, not a sequence", at)
        found = [i for i, item in enumerate(node) if isinstance(item, dict) and self._reads_as(item, step)]
        if len(found) == 1:
            return found[0]
        shown = show_path([step])
        if found:
            raise Failure(f"{where} has {len(found)} items {shown} ({', '.join(f'[{i}]' for i in found)}): "
                          "pick one by its index")
        seen = [t for item in node if isinstance(item, dict) and (t := self._text(item, step.key)) is not None]
        hint = _suggest(step.value, seen) if seen else f" (no item has the key {_shown_key(step.key)})"
        raise NotFound(f"{where} has no item {shown}{hint}", at)

    def _text(self, item: dict[str, Any], key: str) -> str | None:
        if key in item:
            return item_text(item[key])
        owner = merged_owner(item, key)
        return item_text(owner[0][key]) if owner else None

    def _reads_as(self, item: dict[str, Any], step: Select) -> bool:
        return self._text(item, step.key) == step.value

    def at(self, steps: Sequence[Step]) -> Any:
        """The node at `steps` (NotFound when it is not there)."""
        return self.descend(steps)[0]

    def node_at(self, steps: Sequence[Step]) -> Any:
        """The node object at `steps` (a YamlScalar for a scalar, so that it is
        shown as written); the document itself for no steps."""
        if not steps:
            return self.root
        parent, done = self.descend(steps[:-1])
        last = self.step(parent, steps[-1], steps, len(steps) - 1)
        if isinstance(last, str) and last not in parent:
            parent = merged_owner(parent, last)[0]  # type: ignore[index]
        if isinstance(parent, tesvorn.YamlMapping) and isinstance(last, str):
            return parent.node(last)
        if isinstance(parent, tesvorn.YamlSequence) and isinstance(last, int):
            return parent.node(last)
        return parent[last]


def documents_where(docs: Sequence[Any], selector: str) -> Iterator[int]:
    """The indexes of the documents in which the PATH left of '=' reads as the text right of it."""
    path, value = split_selector(selector)
    for i, doc in enumerate(docs):
        try:
            found = Walker(doc, reads=True).at(path)
        except Failure:
            continue
        if item_text(found) == value:
            yield i


def split_selector(text: str) -> tuple[list[Step], str]:
    """`kind=Service` -> (["kind"], "Service"): the first '=' outside quotes divides."""
    quote = ""
    for i, c in enumerate(text):
        if quote:
            quote = "" if c == quote else quote
        elif c in ("'", '"'):
            quote = c
        elif c == "=":
            return parse_path(text[:i]), text[i + 1:]
    raise Failure(f"bad --doc {text!r}: a document is N (0 first, -1 last) or KEY=VALUE", EXIT_USAGE)
