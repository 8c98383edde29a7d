"""Rendering property test: every string the writer renders reads back as the
same string.

build/cpp/render_scalars (built by `make cpp`) renders each generated string
as a document root, a block mapping value, a block sequence item, a mapping
key and a flow sequence item, in each of the five scalar styles. PyYAML's
BaseLoader, which builds strings only, reads every document back as an
independent oracle. It follows YAML 1.1; where it differs from YAML 1.2 on
output we keep, the check is replaced by an exact comparison (see
`pyyaml_cannot_read`).

The seed is printed; set TESVORN_SEED to replay a run and TESVORN_STRINGS to
change the number of random strings.
"""

import os
import pathlib
import random
import subprocess

import pytest

yaml = pytest.importorskip("yaml")

ROOT = pathlib.Path(__file__).resolve().parents[2]
TOOL = ROOT / "build" / "cpp" / "render_scalars"

pytestmark = pytest.mark.skipif(
    not TOOL.exists(), reason="build/cpp/render_scalars is not built (make cpp)"
)

STYLES = ("plain", "single", "double", "literal", "folded")

CONTROLS = [chr(c) for c in range(0x20)] + [chr(0x7F)] + [chr(c) for c in range(0x80, 0xA0)]
NON_ASCII = ["é", "ß", "中文", "😀", "\u00a0", "\u2028", "\u2029", "\ufeff", "\ufffe", "\uffff",
             "\U0010ffff", "\u200b"]
INDICATORS = list("-?:,[]{}#&*!|>'\"%@`~=<.+\\/")
RESERVED = ["~", "null", "Null", "NULL", "true", "True", "TRUE", "false", "False", "FALSE",
            "yes", "Yes", "YES", "no", "No", "NO", "on", "On", "ON", "off", "Off", "OFF",
            ".inf", ".Inf", ".INF", "-.inf", "-.Inf", "-.INF", ".nan", ".NaN", ".NAN", "y",
            "n", "<<", "="]
NUMBERS = ["0", "1", "-1", "+1", "007", "0x1F", "-0x1F", "0X1f", "0o17", "0x-1", "0x", "0o",
           "0xZZ", "1.5", "1.", ".5", "-.5", "1e3", "1E3", "-2.5e-3", "1e", "1_000", "inf",
           "nan", "Infinity", "+.inf", "9223372036854775807", "9223372036854775808",
           "-9223372036854775809", "1e400", "0.1", "1:30", "2024-01-02", "12:30:45"]
SPECIAL = ["", " ", "  ", "\t", "\n", "\n\n", "\r", "\r\n", "---", "...", "--- x", "... x",
           "---x", "...x", "#", "# x", "a #b", "a\t#b", "a#b", ": ", "a: b", "a:", ":",
           ":x", "a:b", "a:\tb", "- ", "- x", "-", "-x", "? ", "? x", "?x", "a ", " a",
           "a\t", "\ta", "a\tb", "a  b", "a\nb", "a\n", "a\n\n", "\na", " a\nb", "a\n b",
           "a\n\n b", "a \nb", "a\n \nb", "  \n", "x\n  ", "'", "''", '"', "it's", "%x",
           "@x", "`x", "&a", "*a", "!a", "|", ">", "[a]", "{a: b}", "a,b", "a]", "a}",
           "a?b", "http://x.y/?q=1", "\ufeffa", "a\u0085b", "a\x00b", "\\", "\\n"]
SIMPLE = ["hello", "a b", "a:b", "a#b", "a-b", "it's", "inf", "1_000", "0x", "~x", "-x",
          "http://x.y/?q=1", "中文", "a\tb", "a, b", "<x", "=x", "?x"]
PIECES = ([chr(c) for c in range(0x20, 0x7F)] + CONTROLS + NON_ASCII + INDICATORS + RESERVED
          + NUMBERS + SPECIAL + [" ", "  ", "\t", "\n", "\r\n", ": ", " #", "- ", "? ",
                                 "---", "...", "\n\n", " \n", "\n "])


def random_string(rng: random.Random) -> str:
    kind = rng.random()
    if kind < 0.6:
        return "".join(rng.choice(PIECES) for _ in range(rng.randint(1, 6)))
    if kind < 0.8:
        return "".join(rng.choice(PIECES[:95]) for _ in range(rng.randint(1, 12)))
    if kind < 0.97:
        # Arbitrary code points, surrogates excluded (they have no UTF-8).
        out = []
        for _ in range(rng.randint(1, 8)):
            c = rng.choice((rng.randint(0, 0x7F), rng.randint(0x80, 0x7FF),
                            rng.randint(0x800, 0xFFFF), rng.randint(0x10000, 0x10FFFF)))
            out.append(chr(c) if not 0xD800 <= c <= 0xDFFF else "x")
        return "".join(out)
    # Long texts: keys beyond a reader's simple-key limit.
    return rng.choice(["k", "a b", "x\ty"]) * rng.randint(300, 700)


def generated_strings() -> list[str]:
    seed = int(os.environ.get("TESVORN_SEED", random.randrange(1 << 32)))
    count = int(os.environ.get("TESVORN_STRINGS", "3000"))
    print(f"rendering property test: TESVORN_SEED={seed} TESVORN_STRINGS={count}")
    rng = random.Random(seed)
    fixed = SIMPLE + PIECES + [a + b for a in SPECIAL[:40] for b in ("x", " ", "\n", ":")]
    return fixed + [random_string(rng) for _ in range(count)]


def render(strings: list[str]) -> list[tuple[str, str, bool, bool, str]]:
    """Runs the tool; one (place, style, plain, typed, document) per rendering."""
    data = bytearray()
    for s in strings:
        b = s.encode("utf-8")
        data += b"%d\n" % len(b) + b
    out = subprocess.run([str(TOOL)], input=bytes(data), capture_output=True, check=True).stdout
    records = []
    pos = 0
    while pos < len(out):
        nl = out.index(b"\n", pos)
        place, style, plain, typed, length = out[pos:nl].decode().split()
        start = nl + 1
        end = start + int(length)
        records.append((place, STYLES[int(style)], plain == "1", typed == "1",
                        out[start:end].decode("utf-8")))
        pos = end
    assert len(records) == 25 * len(strings)
    return records


def expected(place: str, s: str):
    return {"doc": s, "value": {"k": s}, "item": [s], "key": {s: "v"}, "flow": [s]}[place]


def pyyaml_cannot_read(place: str, plain: bool, s: str) -> bool:
    """Plain scalars that YAML 1.2 reads back unchanged but PyYAML (YAML 1.1,
    pure-Python scanner) does not: it ends a plain scalar at a tab, and inside
    flow collections at '?'. The writer keeps these plain so that documents
    read from such text are written back unchanged."""
    return plain and ("\t" in s or (place == "flow" and "?" in s))


def plain_texts(place: str, s: str) -> tuple[str, ...]:
    return {"doc": (f"{s}\n",), "value": (f"k: {s}\n",), "item": (f"- {s}\n",),
            "key": (f"{s}: v\n", f"? {s}\n: v\n"), "flow": (f"[{s}]\n",)}[place]


def short(x) -> str:
    r = repr(x)
    return r if len(r) < 120 else r[:100] + "..." + r[-15:]


@pytest.fixture(scope="module")
def renderings():
    strings = generated_strings()
    return strings, render(strings)


class TestRendering:
    def test_reads_back_as_the_same_string(self, renderings):
        strings, records = renderings
        failures = []
        for i, (place, style, plain, _typed, doc) in enumerate(records):
            s = strings[i // 25]
            if pyyaml_cannot_read(place, plain, s):
                if doc not in plain_texts(place, s):
                    failures.append((s, place, style, doc, "not the exact plain text"))
                continue
            try:
                got = yaml.load(doc, Loader=yaml.BaseLoader)
            except yaml.YAMLError as e:
                failures.append((s, place, style, doc, str(e).splitlines()[0]))
                continue
            if got != expected(place, s):
                failures.append((s, place, style, doc, repr(got)))
        assert not failures, f"{len(failures)} failures:\n" + "\n".join(
            " ".join(short(x) for x in f) for f in failures[:40])

    def test_plain_only_when_typed_as_string(self, renderings):
        strings, records = renderings
        bad = [(strings[i // 25], place, doc)
               for i, (place, _style, plain, typed, doc) in enumerate(records)
               if plain and not typed]
        assert not bad, bad[:30]

    def test_plain_only_when_asked_for(self, renderings):
        strings, records = renderings
        bad = [(strings[i // 25], place, style, doc)
               for i, (place, style, plain, _typed, doc) in enumerate(records)
               if plain and style != "plain"]
        assert not bad, bad[:30]

    def test_simple_strings_stay_plain(self, renderings):
        # Guards against a plain test that quotes everything.
        strings, records = renderings
        for i, s in enumerate(SIMPLE):
            for place, style, plain, _typed, doc in records[25 * i:25 * i + 25]:
                if style != "plain":
                    continue
                # Values starting with - ? < = are quoted; keys only need
                # quotes for '?', '<', '='; flow collections for ','; tabs
                # are quoted everywhere.
                quoted = ((s[0] in "-?<=" and place != "key") or (s[0] in "?<=" and place == "key")
                          or (place == "flow" and "," in s) or "\t" in s)
                assert plain != quoted, (s, place, doc)
