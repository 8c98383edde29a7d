"""The Python side of the fuzz_python target: one fuzz input drives the
module's load, dump, conversion and editing roads. Expected failures (a
clear exception of the documented kinds) are fine; any other exception, a
failed check, a crash or a sanitizer report is a finding.

The first byte picks the road, the rest is the YAML text (decoded with
surrogateescape, so invalid UTF-8 reaches `loads` as lone surrogates) or the
raw bytes of a stream.
"""

import io
import pathlib
import re
import sys

import tesvorn

# Data comparison shared with the round-trip report and tests.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "bench"))
from roundtrip_report import plain, same_data as same  # noqa: E402

# Failures the module documents for hostile or invalid input: parse errors,
# nesting too deep for the conversions, lone surrogates in str input.
EXPECTED = (tesvorn.TesvornError, RecursionError, UnicodeEncodeError)
# Documented RuntimeErrors: bad base64 under !!binary, bytes that are not UTF-8.
EXPECTED_RUNTIME = ("!!binary decode error: ", "UTF-8 decode error: ")


def expected(e: BaseException, text: str) -> bool:
    if isinstance(e, EXPECTED):
        return True
    if type(e) is RuntimeError and str(e).startswith(EXPECTED_RUNTIME):
        return True
    # !!timestamp text is handed to datetime's fromisoformat, whose ValueError
    # comes through unchanged; an integer longer than the interpreter's
    # limit for decimal text raises its ValueError.
    return type(e) is ValueError and ("timestamp" in text or "integer string conversion" in str(e))


def not_idempotent_shape(text: str) -> bool:
    """A known shape whose second dump differs (see fuzz_core.cpp): an
    explicit key."""
    for line in text.splitlines():
        s = line.lstrip(" ")
        while s.startswith("- "):
            s = s[2:].lstrip(" ")
        if s == "?" or s.startswith("? "):
            return True
    return False


class ChunkedStream:
    """A byte stream that hands out pieces of varying sizes, so that
    characters and tokens are split across reads."""

    def __init__(self, data: bytes, sizes: bytes):
        self.data, self.pos, self.sizes, self.calls = data, 0, sizes or b"\x07", 0

    def read(self, size):
        n = min(size, 1 + self.sizes[self.calls % len(self.sizes)] % 64)
        self.calls += 1
        piece = self.data[self.pos:self.pos + n]
        self.pos += n
        return piece


ANCHOR_OR_ALIAS = re.compile(r"(?<![^\s\[{,:-])([&*])([^\s,\[\]{}]+)")


def reordered_anchors(text: str) -> bool:
    """An anchor defined twice in a dump: the reader keeps what an alias
    named when it was read, but a duplicate key can put another definition
    of its name before it (known, see roundtrip_check.hpp; the core target
    checks aliases exactly). An alias before any anchor of its name in this
    regex's view of the text is a plain scalar such as "a *b": skipped too."""
    defined = set()
    for kind, name in ANCHOR_OR_ALIAS.findall(text):
        if kind == "&":
            if name in defined:
                return True
            defined.add(name)
        elif name not in defined:
            return True
    return False


def without_bare_comment_lines(text: str) -> str:
    # An empty comment line at the end of a comment block is not kept (an
    # empty comment text writes nothing): known, by the comment API's design.
    return "\n".join(line for line in text.split("\n") if line.strip() != "#")


def check_roundtrip(docs, dangling=False):
    data = [plain(d) for d in docs]
    out = tesvorn.dumps_all(docs)
    again = tesvorn.loads_all(out)
    if dangling or reordered_anchors(out):
        return
    assert same(data, [plain(d) for d in again]), ("reload differs", out)
    if not not_idempotent_shape(out):
        # Blank lines at the very start are not read back (see
        # roundtrip_check.hpp); a duplicate key can put them there.
        second = tesvorn.dumps_all(again)
        assert second == out or without_bare_comment_lines(second).lstrip("\n") == \
            without_bare_comment_lines(out).lstrip("\n"), ("second dump differs", out)
    # The plain values dump and load back to themselves too.
    text = tesvorn.dumps_all(data)
    assert same(data, [plain(d) for d in tesvorn.loads_all(text)]), ("plain reload differs", text)


def edit(doc):
    """A few edits through the node API, then a dump that must load again."""
    if isinstance(doc, tesvorn.YamlMapping):
        keys = list(doc)
        if keys:
            k = keys[0]
            doc.set_comment_before(k, "edited\nby the fuzzer")
            doc.blank_lines_before(k, 2)
            doc[k] = {"new": [1, 2.5, None, "x: y"]}
            del doc[keys[-1]]
        doc["added"] = [doc.copy() if len(doc) < 50 else None]
        doc.sort_keys()
    elif isinstance(doc, tesvorn.YamlSequence):
        if doc:
            doc.set_comment_before(0, "edited")
            doc.insert(0, {"k": "v"})
            doc.pop()
        doc.append([1, {"a": None}])
        doc.reverse()
    tesvorn.loads_all(tesvorn.dumps(doc))


def one_input(data: bytes, dangling: bool = False) -> None:
    """`dangling`: the core found an alias that no longer stands for its
    anchor's node (a duplicate key dropped the definition and another came
    between): known, and the data checks are skipped."""
    if not data:
        return
    road, body = data[0] % 4, data[1:]
    try:
        if road == 0:
            check_roundtrip(tesvorn.loads_all(body.decode("utf-8", "surrogateescape")), dangling)
        elif road == 1:
            split = body.find(b"\n")
            sizes, raw = (body[:split], body[split + 1:]) if split >= 0 else (b"", body)
            check_roundtrip(tesvorn.load_all(ChunkedStream(raw, sizes)), dangling)
        elif road == 2:
            text = body.decode("utf-8", "surrogateescape")
            lazy = [plain(d) for d in tesvorn.iter_loads_all(text)]
            assert same(lazy, [plain(d) for d in tesvorn.loads_all(text)]), "iterator and loads_all differ"
        else:
            for doc in tesvorn.loads_all(body.decode("utf-8", "surrogateescape")):
                edit(doc)
    except Exception as e:  # noqa: BLE001 - sorted into expected and findings
        if not expected(e, body.decode("utf-8", "replace")):
            raise
