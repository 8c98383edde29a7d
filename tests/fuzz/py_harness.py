"""The Python side of the fuzz_python target: one fuzz input drives the
module's load, dump, conversion and editing roads. Expected failures (a
clear exception of the documented kinds) are fine; any other exception, a
failed check, a crash or a sanitizer report is a finding.

The first byte picks the road, the rest is the YAML text (decoded with
surrogateescape, so invalid UTF-8 reaches `loads` as lone surrogates) or the
raw bytes of a stream.
"""

import pathlib
import sys

import tesvorn

# Data comparison shared with the tests and the round-trip report.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "support"))
from fidelity import plain, same_data as same  # noqa: E402

# Failures the module documents for hostile or invalid input: parse errors,
# nesting too deep for the conversions, lone surrogates in str input.
EXPECTED = (tesvorn.TesvornError, RecursionError, UnicodeEncodeError)
# Documented RuntimeErrors: bad base64 under !!binary, bytes that are not UTF-8.
EXPECTED_RUNTIME = ("!!binary decode error: ", "UTF-8 decode error: ")


def expected(e: BaseException) -> bool:
    if isinstance(e, EXPECTED):
        return True
    return type(e) is RuntimeError and str(e).startswith(EXPECTED_RUNTIME)


# !!timestamp text is handed to datetime's fromisoformat, whose ValueError
# comes through unchanged. Such an error is expected when the input loads
# with the timestamp tag taken as text: then it came from that decoding.
TIMESTAMPS_AS_TEXT = tesvorn.Schema()
TIMESTAMPS_AS_TEXT.add_loader("tag:yaml.org,2002:timestamp", str)


class TimestampRejected(Exception):
    pass


def load_input(load):
    """`load(**kw)` of the fuzz input, with the check above."""
    try:
        return load()
    except ValueError as e:
        if type(e) is not ValueError:
            raise
        # An integer longer than the interpreter's limit for decimal text
        # raises the interpreter's own ValueError.
        if "integer string conversion" in str(e):
            raise TimestampRejected from e
        try:
            load(schema=TIMESTAMPS_AS_TEXT)
        except Exception:  # noqa: BLE001 - then the first error stands
            raise e from None
        raise TimestampRejected from e


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


def without_bare_comment_lines(text: str) -> str:
    # An empty comment line at the end of a comment block is not kept (an
    # empty comment text writes nothing): known, a rule of the comment API.
    return "\n".join(line for line in text.split("\n") if line.strip() != "#")


def check_roundtrip(docs, dangling=False):
    data = [plain(d) for d in docs]
    out = tesvorn.dumps_all(docs)
    again = tesvorn.loads_all(out)
    if dangling:
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
    if isinstance(doc, (tesvorn.YamlMapping, tesvorn.YamlSequence)) and doc.style == "flow":
        doc.style = "block"  # comments are set in block collections only
    if isinstance(doc, tesvorn.YamlMapping):
        keys = list(doc)
        if keys:
            k = keys[0]
            if doc.style == "block":  # (a flow collection refuses comments)
                doc.set_comment_before(k, "edited\nby the fuzzer")
            doc.blank_lines_before(k, 2)
            doc[k] = {"new": [1, 2.5, None, "x: y"]}
            del doc[keys[-1]]
        doc["added"] = [doc.copy() if len(doc) < 50 else None]
        doc.sort_keys()
        keys = list(doc)
        comment = {"comment": "placed"} if doc.style == "block" else {}
        doc.insert(len(keys) // 2, "placed", {"k": keys[:2]}, **comment)
        doc.move(keys[-1], 0)
        doc.move_to_end(keys[0])
        if "renamed" not in doc:
            doc.rename_key(keys[len(keys) // 2], "renamed")
    elif isinstance(doc, tesvorn.YamlSequence):
        if doc:
            if doc.style == "block":
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
    text = body.decode("utf-8", "surrogateescape")
    try:
        if road == 0:
            check_roundtrip(load_input(lambda **kw: tesvorn.loads_all(text, **kw)), dangling)
        elif road == 1:
            split = body.find(b"\n")
            sizes, raw = (body[:split], body[split + 1:]) if split >= 0 else (b"", body)
            check_roundtrip(load_input(lambda **kw: tesvorn.load_all(ChunkedStream(raw, sizes), **kw)),
                            dangling)
        elif road == 2:
            lazy = load_input(lambda **kw: [plain(d) for d in tesvorn.iter_loads_all(text, **kw)])
            assert same(lazy, [plain(d) for d in tesvorn.loads_all(text)]), "iterator and loads_all differ"
        else:
            for doc in load_input(lambda **kw: tesvorn.loads_all(text, **kw)):
                edit(doc)
    except TimestampRejected:
        pass
    except Exception as e:  # noqa: BLE001 - sorted into expected and findings
        if not expected(e):
            raise
