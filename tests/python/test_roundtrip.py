"""Round trips over real files and over the YAML test suite: a dump reloads to
equal data, dumping the reload gives the same text again, the suite's JSON
values come out of loads_all, and the corpus files that do not come back
byte for byte are exactly those listed in corpus_not_identical.tsv, each with
the cause of its first difference (tests/support/fidelity.py classifies).

When a change makes files come back byte for byte (or moves the cause of
their first difference), regenerate the list and review its diff:

    .venv/bin/python bench/roundtrip_report.py --write-expected
"""

import json
import pathlib

import tesvorn
from fidelity import classify, plain, roundtrip, same_data as same
from testdata import case_id

EXPECTED_FILE = pathlib.Path(__file__).with_name("corpus_not_identical.tsv")
REGENERATE = ".venv/bin/python bench/roundtrip_report.py --write-expected"


def not_identical() -> dict[str, str]:
    """File (relative to the corpus) -> cause, from EXPECTED_FILE."""
    rows = (line.split("\t") for line in EXPECTED_FILE.read_text(encoding="utf-8").splitlines()
            if line and not line.startswith("#"))
    return {name: cause for name, cause in rows}


NOT_IDENTICAL = not_identical()

# Suite cases that do not come back byte for byte, and why.
NOT_IDENTICAL_CASES: dict[str, str] = {}

# Suite cases whose loaded data differs from in.json where our typing rules
# differ from the suite's JSON (the loader's rules hold).
JSON_DIFFERS: dict[str, str] = {
    "565N": "!!binary values load as bytes; the JSON holds their base64 text",
    "L24T/01": "a block scalar ending the stream gains no line break it does not have",
}


class TestCorpus:
    def test_roundtrip(self, corpus, corpus_file):
        text = corpus_file.read_bytes().decode("utf-8")
        docs, out, again = roundtrip(text)
        assert same([plain(d) for d in docs], [plain(d) for d in again])
        assert tesvorn.dumps_all(again) == out
        name = corpus_file.relative_to(corpus).as_posix()
        cause, listed = (None if out == text else classify(text, out)), NOT_IDENTICAL.get(name)
        if listed is None:
            assert cause is None, f"no longer comes back byte for byte: {cause}"
        else:
            assert cause is not None, f"comes back byte for byte now: take it off the list ({REGENERATE})"
            assert cause == listed, f"first difference now {cause!r}, listed as {listed!r} ({REGENERATE})"

    def test_listed_files_exist(self, corpus):
        assert [n for n in NOT_IDENTICAL if not (corpus / n).is_file()] == []


class TestSuite:
    def test_roundtrip(self, suite, suite_case):
        text = (suite_case / "in.yaml").read_text(encoding="utf-8")
        docs, out, again = roundtrip(text)
        assert same([plain(d) for d in docs], [plain(d) for d in again])
        assert tesvorn.dumps_all(again) == out
        if case_id(suite, suite_case) in NOT_IDENTICAL_CASES:
            assert out != text, "comes back byte for byte now: update NOT_IDENTICAL_CASES"
        else:
            assert out == text

    def test_json_values(self, suite, suite_json_case):
        raw = (suite_json_case / "in.json").read_text(encoding="utf-8")
        decoder, pos, expected = json.JSONDecoder(), 0, []
        while True:
            while pos < len(raw) and raw[pos].isspace():
                pos += 1
            if pos >= len(raw):
                break
            value, pos = decoder.raw_decode(raw, pos)
            expected.append(value)
        text = (suite_json_case / "in.yaml").read_text(encoding="utf-8")
        got = [plain(d) for d in tesvorn.loads_all(text)]
        if not expected and text:
            # No document, only comments or blank lines: one empty document
            # carries them.
            expected = [None]
        if case_id(suite, suite_json_case) in JSON_DIFFERS:
            assert got != expected
        else:
            assert got == expected
