"""Round-trip measures shared by the tests, the round-trip report
(bench/roundtrip_report.py) and the fuzz harness: data comparison and the
cause of a text difference. Everything goes through the module's public API.
"""

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
