"""Random YAML 1.2 texts built from real constructs, each with the data it
must load as: nesting in block and flow style, every scalar style (with
chomping and indentation indicators), anchors and aliases, tags, comments
wherever they may stand, document markers, tabs, CR LF line breaks and
Unicode text.

Plain scalars are drawn from forms that YAML 1.1 readers (the peers used as
oracles) read as YAML 1.2 does: no yes/no/on/off, no octal or sexagesimal
numbers, no dates, no '<<' or '=' keys.

    python tests/support/yamlgen.py --seed 1 --count 3   # prints samples
"""

import argparse
import random

WORDS = ["a", "key", "value", "x y", "héllo", "日本", "with-dash", "a:b", "a#b", "path/to", "e.g.",
         "some text here", "😀", "ü-ö", "v1", "CamelCase", "snake_case", "dots.in.name"]
NUMBERS = [("12", 12), ("-3", -3), ("0", 0), ("1.5", 1.5), ("-0.25", -0.25), ("1000000", 1000000)]
SPECIAL = [("true", True), ("false", False), ("null", None), ("~", None)]
# Characters double quotes escape, with the escape written.
ESCAPES = [("\\n", "\n"), ("\\t", "\t"), ("\\\\", "\\"), ('\\"', '"'), ("\\x41", "A"), ("\\u00e9", "é"),
           ("\\U0001F600", "😀"), ("\\0", "\0"), ("\\e", "\x1b"), ("\\/", "/"), ("\\ ", " ")]


class Gen:
    def __init__(self, rng: random.Random):
        self.r = rng
        self.anchors = {}  # name -> data, of this document
        self.nl = "\n"
        self.open_root = False  # the last document was a root block scalar, not closed by "..."
        self.kept = False  # a keep-chomped block scalar was the last node: blank lines are its

    # -- scalars ---------------------------------------------------------------

    def text(self):
        r = self.r
        return r.choice(WORDS) + (r.choice(["", " " + r.choice(WORDS)]) if r.random() < 0.3 else "")

    def plain(self, flow):
        """(text, data) of a plain scalar."""
        r = self.r
        k = r.random()
        if k < 0.2:
            return r.choice(NUMBERS)
        if k < 0.3:
            return r.choice(SPECIAL)
        t = self.text()
        if flow:
            t = t.replace(":", "").replace("#", "") or "w"
        if k < 0.35:
            t += " -"  # a word that ends in ' -' is still text
        return t, t

    def single(self):
        t = self.r.choice(WORDS + ["it's", "", " lead", "a  b", "#not comment", "[x]"])
        return "'" + t.replace("'", "''") + "'", t

    def double(self):
        parts, data = [], []
        for _ in range(self.r.randint(0, 3)):
            if self.r.random() < 0.5:
                w = self.r.choice(WORDS)
                parts.append(w)
                data.append(w)
            else:
                e, v = self.r.choice(ESCAPES)
                parts.append(e)
                data.append(v)
        return '"' + "".join(parts) + '"', "".join(data)

    def block(self, indent):
        """(header + lines, data) of a literal or folded scalar whose lines
        stand at `indent` spaces; starts after its key or dash."""
        r = self.r
        literal = r.random() < 0.5
        chomp = r.choice(["", "-", "+"])
        explicit = r.random() < 0.3
        lines = [r.choice(WORDS) for _ in range(r.randint(1, 3))]
        extra = " " if explicit and r.random() < 0.5 else ""  # more indented than the indicator says
        body = [extra + ln for ln in lines]
        trailing = r.randint(0, 2) if chomp == "+" else 0
        # The indicator counts from the parent collection's column, which
        # nested values stand two columns inside.
        head = ("|" if literal else ">") + ("2" if explicit and indent > 0 else "") + chomp
        if explicit and indent == 0:
            head = ("|" if literal else ">") + chomp  # no indicator for the root's column 0
            body = lines
        if literal:
            content = "\n".join(body)
        else:
            # Folding joins lines of the same indentation with a space;
            # more-indented lines keep their breaks.
            content = ""
            for i, ln in enumerate(body):
                if i == 0:
                    content = ln
                elif ln.startswith(" ") or body[i - 1].startswith(" "):
                    content += "\n" + ln
                else:
                    content += " " + ln
        if chomp == "-":
            data = content
        elif chomp == "+":
            data = content + "\n" + "\n" * trailing
        else:
            data = content + "\n"
        pad = " " * indent
        comment = " # c" if r.random() < 0.3 else ""
        text = head + comment + self.nl + "".join(pad + ln + self.nl for ln in body)
        text += self.nl * trailing
        self.kept = chomp == "+"
        return text, data

    def scalar(self, flow, indent, allow_block=True):
        """(text, data, ends_line) of a scalar with maybe a tag or anchor."""
        r = self.r
        k = r.random()
        if k < 0.45:
            t, d = self.plain(flow)
        elif k < 0.6:
            t, d = self.single()
        elif k < 0.75:
            t, d = self.double()
        elif allow_block and not flow and k < 0.9:
            t, d = self.block(indent)
            return self.props(t, d, True)
        else:
            t, d = self.plain(flow)
        if r.random() < 0.1 and isinstance(d, str) and not t.startswith(("'", '"')) and d == t:
            t = "!!str " + t
        return self.props(t, d, False)

    def props(self, t, d, block):
        if self.r.random() < 0.15:
            name = "a%d" % self.r.randint(0, 99)
            self.anchors[name] = d
            t = "&" + name + " " + t
        return t, d, block

    def alias(self):
        if not self.anchors or self.r.random() < 0.7:
            return None
        name = self.r.choice(sorted(self.anchors))
        return "*" + name, self.anchors[name]

    # -- collections -------------------------------------------------------------

    def flow_node(self, depth):
        r = self.r
        if depth <= 0 or r.random() < 0.5:
            a = self.alias()
            if a:
                return a
            t, d, _ = self.scalar(True, 0, allow_block=False)
            return t, d
        if r.random() < 0.5:
            items = [self.flow_node(depth - 1) for _ in range(r.randint(0, 3))]
            sep = r.choice([", ", ",", " , ", ",\t"])
            end = "," if items and r.random() < 0.2 else ""
            return "[" + sep.join(t for t, _ in items) + end + "]", [d for _, d in items]
        keys = {}
        parts = []
        for _ in range(r.randint(0, 3)):
            k = self.key(True)
            t, d = self.flow_node(depth - 1)
            colon = r.choice([": ", ":\t", " : "])
            parts.append(k + colon + t)
            keys[k] = d
        return "{" + ", ".join(parts) + "}", self.mapping_data(parts, keys)

    def mapping_data(self, parts, keys):
        return {self.key_data(k): v for k, v in keys.items()}

    def key(self, flow):
        r = self.r
        while True:
            w = r.choice(WORDS)
            if flow or r.random() < 0.8:
                w = w.replace(":", "").replace("#", "")
                if w and w not in ("true", "false", "null", "~") and not w[0].isdigit():
                    return w
            else:
                return "'" + w + "'"

    @staticmethod
    def key_data(k):
        return k[1:-1] if k.startswith("'") else k

    def inline_comment(self):
        r = self.r.random()
        if r < 0.15:
            return " # note"
        if r < 0.2:
            return "\t# tabbed"
        return ""

    def comment_lines(self, indent):
        out = ""
        for _ in range(self.r.choice([0, 0, 0, 1, 2])):
            out += " " * self.r.choice([0, indent]) + "# " + self.r.choice(WORDS) + self.nl
            self.kept = False  # (a line less indented ends the block scalar)
        if self.r.random() < 0.1 and not self.kept:
            out += self.nl
        return out

    def block_node(self, indent, depth, item=False):
        """(text, data) of a node written after 'key:' or '- ' (text starts
        with a space or a line break)."""
        r = self.r
        k = r.random()
        if depth <= 0 or k < 0.4:
            a = self.alias()
            if a:
                return " " + a[0] + self.inline_comment() + self.nl, a[1]
            t, d, block = self.scalar(False, indent + 2, allow_block=True)
            if block:
                return " " + t, d
            return " " + t + self.inline_comment() + self.nl, d
        if k < 0.55:
            t, d = self.flow_node(depth - 1)
            return " " + t + self.inline_comment() + self.nl, d
        head = self.inline_comment() + self.nl
        if k < 0.78:
            body, d = self.block_mapping(indent + 2, depth - 1)
        else:
            # A mapping's value may stand at the key's column; an item's not.
            body, d = self.block_sequence(indent + (2 if item else r.choice([0, 2])), depth - 1)
        if not d and d != {}:
            pass
        if (isinstance(d, dict) and not d) or (isinstance(d, list) and not d):
            return " " + ("{}" if isinstance(d, dict) else "[]") + self.nl, d
        return head + body, d

    def block_mapping(self, indent, depth):
        r = self.r
        pad = " " * indent
        out, data = "", {}
        for _ in range(r.randint(1, 4)):
            k = self.key(False)
            if self.key_data(k) in data:
                continue
            out += self.comment_lines(indent)
            self.kept = False
            sep = ":" + ("\t" if r.random() < 0.1 else "")
            t, d = self.block_node(indent, depth)
            if sep.endswith("\t") and t.startswith(" "):
                t = t[1:]
            out += pad + k + sep + t
            data[self.key_data(k)] = d
        return out, data

    def block_sequence(self, indent, depth):
        r = self.r
        pad = " " * indent
        out, data = "", []
        for _ in range(r.randint(1, 4)):
            out += self.comment_lines(indent)
            self.kept = False
            t, d = self.block_node(indent, depth, item=True)
            out += pad + "-" + t
            data.append(d)
        return out, data

    # -- documents ---------------------------------------------------------------

    def document(self, first, explicit_end_before):
        r = self.r
        self.anchors = {}
        head = ""
        marker = not first or r.random() < 0.4 or explicit_end_before
        if marker and r.random() < 0.2:
            head += "%YAML 1.2" + self.nl
            if not first and not explicit_end_before:
                head = "..." + self.nl + head
        if not self.open_root:
            head += self.comment_lines(0)  # (else lines at column 0 are still that scalar's)
        k = r.random()
        if k < 0.45:
            body, d = self.block_mapping(0, r.randint(0, 3))
        elif k < 0.7:
            body, d = self.block_sequence(0, r.randint(0, 3))
        elif k < 0.85:
            t, d = self.flow_node(r.randint(0, 3))
            body = t + self.nl
        block = False
        if k >= 0.85:
            t, d, block = self.scalar(False, 0)
            body = t if block else t + self.nl
        if marker:
            sep = " " if body[:1] not in ("\n",) and (k >= 0.7) else self.nl
            if k < 0.7:
                head += "---" + self.nl
            else:
                head += "---" + sep
        # Lines at column 0 after a root block scalar would be its text.
        text = head + body + ("" if block else self.comment_lines(0))
        end = r.random() < 0.2
        if end:
            text += "..." + self.nl
            self.kept = False
        self.open_root = block and not end
        return text, d, end

    def stream(self):
        """(text, list of documents' data)."""
        r = self.r
        self.nl = "\r\n" if r.random() < 0.1 else "\n"
        docs, text, ended = [], "", False
        for i in range(r.choice([1, 1, 1, 2, 3])):
            t, d, ended = self.document(i == 0, ended)
            text += t
            docs.append(d)
        if self.nl == "\r\n":
            text = text.replace("\r\n", "\n").replace("\n", "\r\n")
        return text, docs


def generate(seed: int):
    """(text, documents' data) for `seed`."""
    return Gen(random.Random(seed)).stream()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--count", type=int, default=3)
    args = ap.parse_args()
    for s in range(args.seed, args.seed + args.count):
        text, docs = generate(s)
        print(f"# seed {s}: {docs!r}\n{text}")


if __name__ == "__main__":
    main()
