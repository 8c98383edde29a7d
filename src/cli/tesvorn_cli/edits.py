"""The edits, and which documents of a file each one goes to."""

import re
from collections.abc import Sequence
from typing import Any

import tesvorn

from .paths import (Concrete, Failure, NotFound, Step, ThroughMerge, Walker, documents_where, kind,
                    merged_owner, show_path)
from .values import Keys, Value

HAS_PATH, HAS_PLACE, ABSENT = 2, 1, 0


class Edit:
    """One change to one document. `rank` tells whether a document has what
    the edit names (HAS_PATH), only the place for it (HAS_PLACE: the mapping
    a new key goes into) or neither."""

    def __init__(self, path: str, steps: list[Step]) -> None:
        self.path, self.steps = path, steps

    def apply(self, walker: Walker, keys: Keys) -> None:
        raise NotImplementedError

    def rank(self, walker: Walker) -> int:
        try:
            walker.at(self.steps)
        except NotFound:
            return ABSENT
        except Failure:
            return HAS_PATH  # there, but the edit will fail on it: say why
        return HAS_PATH

    def _last(self, walker: Walker, what: str) -> tuple[Any, Concrete]:
        """The container of the last step and that step, which must be there and
        be the container's own (not merged in)."""
        if not self.steps:
            raise Failure(f"{what} needs a key or an item: PATH . is the document itself")
        parent, _ = walker.descend(self.steps[:-1])
        last = walker.step(parent, self.steps[-1], self.steps, len(self.steps) - 1)
        if isinstance(last, str) and last not in parent:
            raise ThroughMerge(walker.root, self.steps, merged_owner(parent, last)[1])  # type: ignore[index]
        return parent, last


class SetEdit(Edit):
    def __init__(self, path: str, steps: list[Step], value: Value | None, create: bool,
                 comment: str | None = None, comment_before: str | None = None) -> None:
        super().__init__(path, steps)
        self.value, self.create = value, create
        self.comment, self.comment_before = comment, comment_before

    def rank(self, walker: Walker) -> int:
        if not self.steps:
            return HAS_PATH
        try:
            parent, _ = walker.descend(self.steps[:-1])
            last = self.steps[-1]
            if isinstance(last, str) and isinstance(parent, dict):
                return HAS_PATH if last in parent or merged_owner(parent, last) else HAS_PLACE
            walker.step(parent, last, self.steps, len(self.steps) - 1)
        except NotFound:
            return ABSENT
        except Failure:
            return HAS_PATH
        return HAS_PATH

    def apply(self, walker: Walker, keys: Keys) -> None:
        parent: Any
        if not self.steps:
            raise Failure("set needs a key or an item: PATH . is the document itself")
        last = self.steps[-1]
        parent, _ = walker.descend(self.steps[:-1], self.create and isinstance(last, str))
        block = getattr(parent, "style", "block") == "block"
        if isinstance(last, str) and isinstance(parent, dict) and last not in parent:
            if self.value is None:
                walker.step(parent, last, self.steps, len(self.steps) - 1)  # NotFound, or:
                raise ThroughMerge(walker.root, self.steps, merged_owner(parent, last)[1])  # type: ignore[index]
            # A key merged in is overridden here, not changed in the anchor's mapping.
            owner = merged_owner(parent, last)
            merged: Any = owner[0] if owner else None
            keys.add(parent, last, self.value.make(merged.node(last) if merged is not None else None, block))
            key: Concrete = last
        else:
            key = walker.step(parent, last, self.steps, len(self.steps) - 1)
            if self.value is not None:
                parent[key] = self.value.make(parent.node(key), block)
        if self.comment is not None:
            parent.set_comment_inline(key, self.comment or None)
        if self.comment_before is not None:
            parent.set_comment_before(key, self.comment_before or None)


class DeleteEdit(Edit):
    def apply(self, walker: Walker, keys: Keys) -> None:
        parent, last = self._last(walker, "delete")
        del parent[last]


class InsertEdit(Edit):
    def __init__(self, path: str, steps: list[Step], index: int, value: Value) -> None:
        super().__init__(path, steps)
        self.index, self.value = index, value

    def rank(self, walker: Walker) -> int:
        found = super().rank(walker)
        return found if found != HAS_PATH or isinstance(walker.at(self.steps), list) else ABSENT

    def apply(self, walker: Walker, keys: Keys) -> None:
        seq = walker.at(self.steps)
        where = show_path(self.steps)
        if not isinstance(seq, list):
            raise NotFound(f"{where} is {kind(seq)}, not a sequence")
        n = len(seq)
        if not -(n + 1) <= self.index <= n:
            raise NotFound(f"{where} has {n} items: INDEX must be in {-(n + 1)}..{n}, not {self.index}")
        at = self.index if self.index >= 0 else n + 1 + self.index
        # Beside items that are all strings, a new item is one too, quoted as its neighbour.
        beside = None
        if n and isinstance(seq, tesvorn.YamlSequence) and all(isinstance(item, str) for item in seq):
            beside = seq.node(min(at, n - 1))
        seq.insert(at, self.value.make(beside, getattr(seq, "style", "block") == "block"))


class RenameEdit(Edit):
    def __init__(self, path: str, steps: list[Step], new: str) -> None:
        super().__init__(path, steps)
        self.new = new

    def apply(self, walker: Walker, keys: Keys) -> None:
        parent, last = self._last(walker, "rename")
        if not isinstance(last, str):
            raise Failure(f"{self.path} is an item of a sequence: only a key is renamed")
        if self.new in parent and self.new != last:
            raise Failure(f"{show_path(self.steps[:-1])} has a key {show_path([self.new])} already")
        if self.new != last:
            keys.rename(parent, last, self.new)


class MoveEdit(Edit):
    def __init__(self, path: str, steps: list[Step], index: int) -> None:
        super().__init__(path, steps)
        self.index = index

    def apply(self, walker: Walker, keys: Keys) -> None:
        parent, last = self._last(walker, "move")
        if not isinstance(last, str):
            raise Failure(f"{self.path} is an item of a sequence: move places a key in its mapping")
        n = len(parent)
        if not -n <= self.index < n:
            raise NotFound(f"{show_path(self.steps[:-1])} has {n} keys: INDEX must be in {-n}..{n - 1}, "
                           f"not {self.index}")
        parent.move(last, self.index % n)


# ---- which documents --------------------------------------------------------------

_NUMBER = re.compile(r"-?[0-9]+")


def _listed(numbers: Sequence[int]) -> str:
    shown = [str(n) for n in numbers]
    return shown[0] if len(shown) == 1 else ", ".join(shown[:-1]) + " and " + shown[-1]


def candidates(docs: Sequence[Any], doc: str | None) -> list[int]:
    """The documents --doc allows: N, the documents where KEY is VALUE, or all."""
    if doc is None:
        return list(range(len(docs)))
    if _NUMBER.fullmatch(doc):
        n = int(doc)
        if not -len(docs) <= n < len(docs):
            raise NotFound(f"no document {n} (the file has {len(docs)})")
        return [n % len(docs)]
    found = list(documents_where(docs, doc))
    if not found:
        raise NotFound(f"no document has {doc}")
    return found


def targets(docs: Sequence[Any], allowed: list[int], edit: Edit, all_docs: bool, create: bool) -> list[int]:
    """The documents `edit` goes to: without --all-docs the one allowed document
    that has its path (or, for a new key, the place for it); with --all-docs
    each one that has the path (with --create, the place)."""
    if len(allowed) == 1 and not all_docs:
        return allowed
    ranks = {i: edit.rank(Walker(docs[i])) for i in allowed}
    if all_docs:
        least = HAS_PLACE if create else HAS_PATH
        chosen = [i for i in allowed if ranks[i] >= least]
        if not chosen:
            raise NotFound(f"no document has {edit.path}")
        return chosen
    best = max(ranks.values(), default=ABSENT)
    chosen = [i for i in allowed if ranks[i] == best] if best != ABSENT else []
    if len(chosen) == 1:
        return chosen
    how = "choose one with --doc N or --doc KEY=VALUE (such as --doc kind=Service)"
    if not chosen:
        raise NotFound(f"no document has {edit.path}: {how}; --all-docs edits each one that has it")
    has = "have" if best == HAS_PATH else "have the place for"
    raise Failure(f"documents {_listed(chosen)} {has} {edit.path}: {how}, or edit each with --all-docs")
