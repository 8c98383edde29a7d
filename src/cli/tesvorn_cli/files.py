"""Reading, checking and writing the files the command works on."""

import contextlib
import difflib
import os
import re
import stat
import sys
import tempfile
from collections.abc import Iterator
from typing import Any

import tesvorn

from .paths import Failure, show_path
from .values import LOAD_ERRORS, parse_message


def display_name(file: str) -> str:
    return "<stdin>" if file == "-" else file


def read_text(file: str) -> str:
    """The file's text, byte for byte (line breaks untranslated)."""
    try:
        if file == "-":
            data = sys.stdin.buffer.read()
        else:
            with open(file, "rb") as f:
                data = f.read()
        return data.decode("utf-8")
    except OSError as e:
        raise Failure(f"{display_name(file)}: {e.strerror or e}") from None
    except UnicodeDecodeError as e:
        raise Failure(f"{display_name(file)}: not UTF-8 (byte {e.start})") from None


def load_file(file: str) -> tuple[str, list[Any]]:
    text = read_text(file)
    try:
        return text, tesvorn.loads_all(text)
    except LOAD_ERRORS as e:
        position, message = parse_message(e)
        raise Failure(f"{display_name(file)}{position}: {message}") from None


def dump_all(file: str, docs: list[Any]) -> str:
    try:
        return tesvorn.dumps_all(docs)
    except LOAD_ERRORS as e:
        raise Failure(f"{display_name(file)}: {e}") from None


# ---- what `check` finds -----------------------------------------------------------

_PLAIN_KEY_END = re.compile(r":(?:[ \t]|$)")
_MARKER = re.compile(r"(?:---|\.\.\.)(?:[ \t]|$)")


def _key_at(line: str, column: int) -> str | None:
    """The key of a block mapping entry that starts at `column` of `line`, as
    the mapping holds it; None when the line holds no such key there."""
    rest = line[column:]
    if rest[:1] in ("'", '"'):
        quote, i = rest[0], 1
        while i < len(rest):
            if rest[i] == "\\" and quote == '"':
                i += 2
                continue
            if rest[i] == quote:
                if quote == "'" and rest[i + 1:i + 2] == "'":
                    i += 2
                    continue
                break
            i += 1
        if not rest[i + 1:].lstrip(" \t").startswith(":"):
            return None
        try:
            key = tesvorn.loads(rest[:i + 1])
        except LOAD_ERRORS:
            return None
        return key.value if isinstance(key, tesvorn.YamlScalar) and isinstance(key.value, str) else None
    # Not a plain key: an indicator ("- " of an item, "? " and ": " of an explicit key, ...).
    if not rest or rest[0] in "&!*[{#|>%@`" or rest[0] in "-?:" and rest[1:2] in ("", " ", "\t"):
        return None
    m = _PLAIN_KEY_END.search(rest)
    return rest[:m.start()].rstrip(" \t") if m else None


def _block_mappings(node: Any, steps: list[str | int]) -> Iterator[tuple[Any, list[str | int]]]:
    if isinstance(node, tesvorn.YamlMapping):
        if node.style == "block":
            yield node, steps
        for key, child in node.items():
            yield from _block_mappings(child, [*steps, key])
    elif isinstance(node, tesvorn.YamlSequence):
        for i, child in enumerate(node):
            yield from _block_mappings(child, [*steps, i])


def duplicate_key(text: str, docs: list[Any]) -> tuple[str, int, int] | None:
    """The first key written twice in one block mapping: (its PATH, the line
    of each). Read from the text, as a load keeps one of the two: the lines
    of a block mapping's keys start at its keys' column, and lines indented
    more belong to its values."""
    lines = text.split("\n")
    for doc in docs:
        for mapping, steps in _block_mappings(doc, []):
            positions = [p for p in (mapping.key_position(k) for k in mapping) if p is not None]
            if mapping.position is not None:
                positions.append(mapping.position)
            if len(mapping) < 1 or not positions:
                continue
            first, column = min(positions)[0], min(positions)[1] - 1
            seen: dict[str, int] = {}
            for number in range(first, len(lines) + 1):
                line = lines[number - 1].rstrip("\r")
                body = line.lstrip(" ")
                if not body or body.startswith("#"):
                    continue
                indent = len(line) - len(body)
                if number > first and indent < column or column == 0 and _MARKER.match(line):
                    break
                if number > first and indent > column:
                    continue
                key = _key_at(line, column)
                if key is None or key not in mapping:
                    continue
                if key in seen:
                    return show_path([*steps, key]), seen[key], number
                seen[key] = number
    return None


def check_text(file: str, text: str, docs: list[Any]) -> str | None:
    """None when the file can be edited safely: it dumps back byte for byte
    and writes no key twice in a mapping. Else the error line."""
    duplicate = duplicate_key(text, docs)
    if duplicate is not None:
        path, first, second = duplicate
        return f"{display_name(file)}:{second}: duplicate key {path} (first on line {first})"
    out = dump_all(file, docs)
    if out == text:
        return None
    line = 1 + text[:len(os.path.commonprefix([text, out]))].count("\n")
    return (f"{display_name(file)}:{line}: load and dump do not give the text back byte for byte "
            "from this line on")


# ---- writing --------------------------------------------------------------------

def write_in_place(file: str, data: bytes) -> None:
    """Replaces the file's content atomically: a temporary file in the same
    folder, given the file's mode (and owner where allowed), renamed over it.
    A symbolic link stays one: its target is written. A read-only file is
    refused, as editors do, even where the folder would allow replacing it."""
    target = os.path.realpath(file)
    try:
        st = os.stat(target)
    except OSError as e:
        raise Failure(f"{file}: cannot write: {e.strerror or e}") from None
    if not st.st_mode & (stat.S_IWUSR | stat.S_IWGRP | stat.S_IWOTH) or not os.access(target, os.W_OK):
        raise Failure(f"{file}: the file is read-only; not written")
    try:
        fd, tmp = tempfile.mkstemp(prefix=f".{os.path.basename(target)}.", suffix=".tmp",
                                   dir=os.path.dirname(target))
    except OSError as e:
        raise Failure(f"{file}: cannot write: {e.strerror or e}") from None
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, stat.S_IMODE(st.st_mode))
        if hasattr(os, "getuid") and (st.st_uid, st.st_gid) != (os.getuid(), os.getgid()):
            with contextlib.suppress(PermissionError):
                os.chown(tmp, st.st_uid, st.st_gid)
        os.replace(tmp, target)
    except OSError as e:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise Failure(f"{file}: cannot write: {e.strerror or e}") from None
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def write_stdout(data: bytes) -> None:
    try:
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
    except OSError as e:
        # Nothing more goes to this stdout, not even at exit.
        with contextlib.suppress(OSError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        raise Failure(f"cannot write to standard output: {e.strerror or e}") from None


def unified_diff(file: str, before: str, after: str) -> str:
    """`diff -u` of the two texts, with its marker for a last line that has no line break."""
    out = []
    name = display_name(file)
    for line in difflib.unified_diff(before.splitlines(keepends=True), after.splitlines(keepends=True),
                                     name, name):
        out.append(line if line.endswith("\n") else line + "\n\\ No newline at end of file\n")
    return "".join(out)
