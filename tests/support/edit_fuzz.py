"""Edit-sequence fuzzer: loads a corpus file, applies random public edits at
random depths, and checks the dump after each sequence:

  dump      the dump loads back to what `to_python()` gives (reprs compared,
            so NaN, 1, 1.0 and True are told apart);
  to_python `to_python()` gives what the dicts and lists hold;
  twice     dumping twice gives the same text;
  reload    a reload of the dump dumps to the same text;
  comments  the comment lines of top-level entries that no edit reached are
            still in the dump;
  untouched so are their other lines (in block documents; entries with an
            anchor or alias aside);
  raise     an edit that raised left its object as it was;
  crash     the process died (a segfault: faulthandler prints the C stack);
  error     an edit, a dump or a check raised something unexpected.

A case is a corpus file and a seed. Cases run in a worker process, so a
crash is reported with its input and the run goes on. Edits are generated
against the live objects and run as Python code, so every failure prints
the file, the seed and the edits as a program that reproduces it.

  python tests/support/edit_fuzz.py [--seed N] [--cases N | --seconds S] [--minimize]
"""

import argparse
import collections
import copy
import datetime  # noqa: F401  (edits use it)
import faulthandler
import heapq  # noqa: F401  (edits use it)
import json
import pathlib
import random
import re
import subprocess
import sys
import tempfile
import time

import tesvorn
from tesvorn import YamlMapping, YamlScalar, YamlSequence

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import testdata  # noqa: E402

CONTAINERS = (dict, list)
# What a refused edit may raise; anything else is a fault.
EXPECTED = (KeyError, IndexError, ValueError, TypeError, tesvorn.TesvornError)
MAX_EDITS = 8

SCALARS = ["0", "1", "-7", "2.5", "1.0", "-0.0", "float('nan')", "float('inf')", "True", "False",
           "None", "'x'", "''", "'yes'", "'1'", "'null'", "'~'", "'0x1F'", "' lead'", "'trail '",
           "'a: b'", "'# c'", "'- i'", "'*x'", "'&x'", "'!t'", "'{a}'", "'[b]'", "'ä ü'",
           "'line1\\nline2'", "'end\\n'", "'two\\n\\nparas\\n'", "'word ' * 25",
           "b'\\x00bin'", "datetime.date(2024, 1, 2)"]
NEW = ["{}", "[]", "{'k': 1}", "[1, 'a']", "{'k': [1, {'n': None}]}", "[[1], {}]",
       "YamlMapping({'k': 'v'}, style='flow')", "YamlSequence([1, 2], style='flow')",
       "YamlMapping({'m': [1]})", "YamlSequence([{'a': 1}])"]
# Values only the classes convert: dict's and list's own methods hold them as they are.
CONVERTED = ["('t', 2)", "YamlScalar('s', style='double')", "YamlScalar('lit\\n', style='literal')"]
KEYS = ["'a'", "'new'", "'name'", "'x y'", "'1'", "'true'", "'null'", "''", "'k: v'", "'#'",
        "'ä'", "'-'"]
BAD_KEYS = ["1", "None"]  # refused by the class; dict's own methods are not given them
COMMENTS = ["None", "''", "'note'", "'two\\nlines'", "'  spaced'", "'#hash'", "'x\\n'", "'\\n'"]
SCALAR_STYLES = ["'plain'", "'single'", "'double'", "'literal'", "'folded'"]
STYLES = ["'block'", "'flow'"]


def walk(docs):
    """Every container reachable from the documents: (object, path, depth),
    each object once, at its first path."""
    seen, out = set(), []
    stack = [(doc, f"docs[{i}]", 0) for i, doc in reversed(list(enumerate(docs)))]
    while stack:
        obj, path, depth = stack.pop()
        if not isinstance(obj, CONTAINERS) or id(obj) in seen:
            continue
        seen.add(id(obj))
        out.append((obj, path, depth))
        items = dict.items(obj) if isinstance(obj, dict) else enumerate(list.__iter__(obj))
        for k, v in reversed(list(items)):
            stack.append((v, f"{path}[{k!r}]", depth + 1))
    return out


def reaches(obj, target):
    """Whether `target` is `obj` or inside it."""
    return any(o is target for o, _, _ in walk([obj]))


def plain(x):
    """What the objects hold, as plain Python."""
    if isinstance(x, dict):
        return {k: plain(v) for k, v in dict.items(x)}
    if isinstance(x, list):
        return [plain(v) for v in list.__iter__(x)]
    return x.to_python() if isinstance(x, YamlScalar) else x


def to_python(docs):
    return [d.to_python() if hasattr(d, "to_python") else d for d in docs]


def slots(obj):
    return list(dict.keys(obj)) if isinstance(obj, dict) else list(range(len(obj)))


class Entries:
    """The top-level entries of each document, with the containers in each,
    the comment lines each had at load and (in block documents) the other
    lines of its text; an edit marks the entries it reaches."""

    def __init__(self, docs, text):
        self.entries = []  # [doc index, slot, ids inside, comment lines, text lines, touched]
        self.keep = []  # holds the loaded objects, so their ids stay theirs
        starts = []
        for i, doc in enumerate(docs):
            if isinstance(doc, (YamlMapping, YamlScalar, YamlSequence)) and doc.position:
                starts.append(doc.position[0])
            if not isinstance(doc, CONTAINERS):
                continue
            for slot in slots(doc):
                value = doc[slot] if isinstance(doc, list) else dict.__getitem__(doc, slot)
                inside = walk([value])
                self.keep += [o for o, _, _ in inside]
                lines = self._comments(doc, slot) + [c for o, _, _ in inside for s in slots(o)
                                                     for c in self._comments(o, s)]
                pos = doc.key_position(slot) if isinstance(doc, dict) else doc.item_position(slot)
                self.entries.append([i, slot, {id(o) for o, _, _ in inside}, lines,
                                     pos[0] if pos and doc.style == "block" else None, False])
                starts.append(pos[0] if pos else 0)
        source = text.splitlines()
        for e in self.entries:  # the entry's lines: up to the next entry's or document's
            first = e[4]
            end = min((n for n in starts if first and n > first), default=len(source) + 1)
            own = [line for line in source[first - 1:end - 1] if first and line.strip()
                   and not line.lstrip().startswith("#") and not line.startswith(("---", "...", "%"))]
            # An alias or anchor is written anew when the other end of it moves;
            # a block scalar that ends the text without a line break changes its
            # header when something is written after it.
            last = e is self.entries[-1] and not text.endswith(("\n", "\r"))
            e[4] = [] if last or any(re.search(r"(^|[\s\[{,])[&*]\S", line) for line in own) else own

    @staticmethod
    def _comments(obj, slot):
        if not isinstance(obj, (YamlMapping, YamlSequence)):
            return []
        texts = [obj.get_comment_before(slot), obj.get_comment_inline(slot)]
        return [line.strip() for t in texts if t for line in t.split("\n") if line.strip()]

    def touch(self, objs, docs, keys=(), all_slots=False, deep=False):
        """Marks the entries holding any of `objs`; for a document itself, the
        entries under `keys` (every entry when `all_slots`). A `deep` edit
        reaches everything inside `objs`, a document shared into them too."""
        ids = {id(o) for o in objs}
        if deep:
            ids |= {id(o) for o, _, _ in walk(objs)}
        for e in self.entries:
            doc = docs[e[0]]
            if e[2] & ids or (id(doc) in ids and (all_slots or deep or e[1] in keys)):
                e[5] = True

    def missing(self, text):
        """Comment lines, and other lines, of untouched entries that the text
        no longer has."""
        want = collections.Counter(line for e in self.entries if not e[5] for line in e[3])
        comments = [line for line, n in want.items() if text.count(line) < n]
        have = collections.Counter(text.splitlines())
        want = collections.Counter(line for e in self.entries if not e[5] for line in e[4])
        return comments, [line for line, n in want.items() if have[line] < n]


class Generator:
    """Makes one random edit as Python code over `docs`, and says which
    objects it reaches."""

    def __init__(self, rng, docs):
        self.rng, self.docs = rng, docs

    def pick(self, options):
        return self.rng.choice(options)

    def value(self, target, base=False):
        """A value expression and the loaded objects it brings along (for
        dict's or list's own methods when `base`)."""
        r = self.rng.random()
        if r < 0.45:
            return self.pick(SCALARS), []
        if r < 0.7:
            return self.pick(NEW if base else NEW + CONVERTED), []
        nodes = [(o, p) for o, p, _ in walk(self.docs)]
        obj, path = self.pick(nodes)
        how = self.rng.random()
        if how < 0.3 and slots(obj):  # a scalar or a node read from the document
            s = self.pick(slots(obj))
            v = obj[s]
            if not isinstance(v, CONTAINERS) or not reaches(v, target):
                return f"{path}[{s!r}]", [path, f"{path}[{s!r}]"]
        if how < 0.6 and not reaches(obj, target):  # the node itself, shared
            return path, [path]
        if reaches(obj, target) and self.rng.random() < 0.7:  # copies of an ancestor: rarer
            return self.pick(SCALARS), []
        copies = ["copy.deepcopy({})"]
        if isinstance(obj, YamlMapping):  # (a YamlSequence's copy() is list's: shallow)
            copies += ["copy.copy({})", "{}.copy()"]
        elif isinstance(obj, YamlSequence):
            copies += ["copy.copy({})"]
        return self.pick(copies).format(path), [path]

    def key(self, obj, fresh=False, bad=False):
        keys = slots(obj)
        if keys and not fresh and self.rng.random() < 0.8:
            return repr(self.pick(keys))
        return self.pick(KEYS + BAD_KEYS) if bad else self.pick(KEYS)

    def index(self, obj):
        n = len(obj)
        return str(self.rng.randint(-n - 1, n + 1) if self.rng.random() < 0.1 else
                   self.rng.randint(0, max(n - 1, 0)))

    def edit(self):
        """{code, reach: paths of the objects it reaches, its target first,
        keys: the keys it names, every: whether it reaches every slot}."""
        nodes = [n for n in walk(self.docs) if isinstance(n[0], (YamlMapping, YamlSequence))]
        if not nodes or self.rng.random() < 0.04:
            return self.document_edit()
        depths = sorted({d for _, _, d in nodes})
        depth = self.pick(depths)
        obj, path, _ = self.pick([n for n in nodes if n[2] == depth])
        if isinstance(obj, dict):
            return self.mapping_edit(obj, path)
        return self.sequence_edit(obj, path)

    def document_edit(self):
        i = self.rng.randrange(len(self.docs))
        doc = self.docs[i]
        prop, val = self.pick([
            ("explicit_start", "True"), ("explicit_start", "False"), ("explicit_end", "True"),
            ("explicit_end", "False"), ("yaml_version", "'1.2'"), ("yaml_version", "None"),
            ("tag_directives", "[('!e!', 'tag:example.com,2024:')]"), ("tag_directives", "[]"),
            ("tag", "'!root'"), ("tag", "None"), ("anchor", "'root'"), ("anchor", "None"),
            ("style", self.pick(SCALAR_STYLES if isinstance(doc, YamlScalar) else STYLES))])
        if not isinstance(doc, (YamlMapping, YamlSequence, YamlScalar)):
            return dict(code="pass", reach=[], keys=[], every=False)
        return dict(code=f"docs[{i}].{prop} = {val}", reach=[f"docs[{i}]"], keys=[], every=True)

    def common_edit(self, obj, path, slot):
        """Edits both kinds of collection have; `slot` is a key or an index."""
        c = self.pick(COMMENTS)
        return self.pick([
            f"{path}.set_comment_before({slot}, {c})", f"{path}.set_comment_inline({slot}, {c})",
            f"{path}.comment_before({slot}, {c})", f"{path}.comment_inline({slot}, {c})",
            f"{path}.blank_lines_before({slot}, {self.rng.choice([0, 1, 2])})",
            f"{path}.scalar_style({slot}, {self.pick(SCALAR_STYLES)})",
            f"{path}.container_style({slot}, {self.pick(STYLES)})",
            f"{path}.set_alias({slot}, {self.anchor_name()!r})"])

    def whole_edit(self, path):
        return self.pick([
            f"{path}.style = {self.pick(STYLES)}",
            f"{path}.trailing_blank_lines = {self.rng.choice([0, 1, 2])}",
            f"{path}.tag = {self.pick(['None', repr('!t'), repr('!!map'), repr('!!seq')])}",
            f"{path}.anchor = {self.pick(['None', repr('an'), repr(self.anchor_name())])}",
            f"{path}.format(styles={self.pick(['True', 'False'])}, comments={self.pick(['True', 'False'])})"])

    def anchor_name(self):
        names = [o.anchor for o, _, _ in walk(self.docs)
                 if isinstance(o, (YamlMapping, YamlSequence)) and o.anchor]
        return self.pick(names + ["n1"]) if self.rng.random() < 0.8 else "n1"

    def mapping_edit(self, m, path):
        k, new, bad = self.key(m), self.key(m, fresh=True), self.key(m, fresh=True, bad=True)
        r = self.rng.random()
        v, reach = self.value(m, base=r >= 0.85)
        every = [f"{path}.popitem()", f"{path}.clear()", f"{path}.update({v})", f"dict.clear({path})",
                 f"{path}.sort_keys(key=str, reverse={self.pick(['True', 'False'])})",
                 f"{path}.sort_keys(key=repr, recursive=True)"]  # edits that reach past the keys they name
        if r < 0.2:
            code = self.pick([f"{path}[{k}] = {v}", f"{path}[{bad}] = {v}", f"{path}.setdefault({new}, {v})"])
        elif r < 0.35:
            code = self.pick([f"del {path}[{k}]", f"{path}.pop({k})", f"{path}.pop({new}, None)"] + every[:2])
        elif r < 0.5:
            code = self.pick([
                f"{path}.insert({self.index(m)}, {bad}, {v})",
                f"{path}.insert({self.index(m)}, {new}, {v}, comment={self.pick(COMMENTS)})",
                f"{path}.rename_key({k}, {new})", f"{path}.move({k}, {self.index(m)})",
                f"{path}.move_to_end({k}, last={self.pick(['True', 'False'])})",
                f"{path}.update({{{new}: {v}}})", f"{path} |= {{{new}: {v}}}",
                f"{path}.update([({new}, {v})], extra={v})"] + every[2:3] + every[4:])
        elif r < 0.75:
            code = self.common_edit(m, path, k)
        elif r < 0.85:
            code = self.whole_edit(path)
            every.append(code)
        else:  # through dict's own methods, past the class
            code = self.pick([
                f"dict.__setitem__({path}, {k}, {v})", f"dict.__setitem__({path}, {new}, {v})",
                f"dict.__delitem__({path}, {k})", f"dict.pop({path}, {k})",
                f"dict.update({path}, {{{k}: {v}}})", every[3]])
        return dict(code=code, reach=[path] + reach, keys=[k, new, bad, "'extra'"], every=code in every)

    def sequence_edit(self, s, path):
        i, n = self.index(s), len(s)
        r = self.rng.random()
        v, reach = self.value(s, base=r >= 0.8)
        a, b = sorted(self.rng.randint(0, n) for _ in range(2))
        if r < 0.15:
            code = self.pick([f"{path}[{i}] = {v}", f"{path}.append({v})", f"{path}.insert({i}, {v})"])
        elif r < 0.45:
            code = self.pick([
                f"del {path}[{i}]", f"{path}.pop()", f"{path}.pop({i})", f"{path}.remove({path}[{i}])",
                f"{path}.extend([{v}, {self.pick(SCALARS)}])", f"{path}.extend({v})", f"{path} += [{v}]",
                f"{path}.reverse()", f"{path}.sort()", f"{path}.sort(key=repr, reverse=True)",
                f"{path}.sort(key=repr, recursive=True)", f"{path}[{a}:{b}] = [{v}]",
                f"{path}[{a}:{b}] = []", f"del {path}[{a}:{b}]", f"{path}[::2] = {path}[::2][::-1]",
                f"{path} *= 2", f"{path}.clear()"])
        elif r < 0.7:
            code = self.common_edit(s, path, i)
        elif r < 0.8:
            code = self.whole_edit(path)
        else:  # through list's own methods, past the class
            code = self.pick([
                f"list.reverse({path})", f"list.__setitem__({path}, {i}, {v})", f"list.append({path}, {v})",
                f"list.sort({path}, key=repr)", f"heapq.heapify({path})", f"list.pop({path})",
                f"list.insert({path}, 0, {v})"])
        return dict(code=code, reach=[path] + reach, keys=[], every=True)


NAMESPACE = dict(copy=copy, datetime=datetime, heapq=heapq, tesvorn=tesvorn, YamlMapping=YamlMapping,
                 YamlSequence=YamlSequence, YamlScalar=YamlScalar)


def check(docs, entries):
    """The failures of the documents as they stand: [(kind, detail)]."""
    fails = []
    try:
        held = repr(to_python(docs))
        if held != repr([plain(d) for d in docs]):
            fails.append(("to_python", f"to_python {where(held, repr([plain(d) for d in docs]))}"))
        out = tesvorn.dumps_all(docs)
        try:
            back = tesvorn.loads_all(out)
        except tesvorn.ParseError as e:
            near = out.splitlines()[max((e.line or 1) - 6, 0):(e.line or 1) + 1]
            return fails + [("dump", f"the dump does not load: {e}\n" + "\n".join(near))]
        if repr(to_python(back)) != held:
            fails.append(("dump", f"reloaded {where(repr(to_python(back)), held)}"))
        if tesvorn.dumps_all(docs) != out:
            fails.append(("twice", "a second dump differs"))
        again = tesvorn.dumps_all(back)
        if again != out:
            fails.append(("reload", f"dump of the reload differs:\n{diff(out, again)}"))
        comments, lines = entries.missing(out)
        if comments:
            fails.append(("comments", f"comment lines of untouched entries lost: {comments[:5]}"))
        if lines:
            fails.append(("untouched", f"lines of untouched entries lost: {lines[:5]}"))
    except Exception as e:  # noqa: BLE001
        fails.append(("error", f"{type(e).__name__}: {e}"))
    return fails


def where(a, b):
    """Two reprs around where they first differ."""
    i = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
    lo = max(i - 150, 0)
    return f"...{a[lo:i + 150]}...\nheld     ...{b[lo:i + 150]}..."


def diff(a, b):
    import difflib
    return "".join(list(difflib.unified_diff(a.splitlines(True), b.splitlines(True), n=1))[2:40])


def apply(edit, ns, entries, emit):
    """Runs one edit, marking the entries it reaches: the failures it makes."""
    reach = []
    for path in edit["reach"]:
        try:
            reach.append(eval(path, ns))
        except Exception:  # noqa: BLE001  (an earlier edit took it away)
            pass
    before = repr(plain(reach[0])) if reach else None
    code = edit["code"]
    deep = ".format(" in code or "recursive=True" in code
    entries.touch(reach, ns["docs"], [eval(k) for k in edit["keys"]], edit["every"], deep)
    emit({"edit": edit})
    try:
        exec(code, ns)
    except EXPECTED as e:
        emit({"raised": type(e).__name__})
        # (dict's and list's own methods may leave half their work done)
        if reach and repr(plain(reach[0])) != before and not code.startswith(("dict.", "list.", "heapq.")):
            return [("raise", f"{code} raised {type(e).__name__}: {e} and changed its object")]
    except Exception as e:  # noqa: BLE001
        return [("error", f"{code}: {type(e).__name__}: {e}")]
    return []


def run_edits(text, edits, emit=lambda event: None):
    """Loads `text`, runs the edits, checks: the failures."""
    docs = tesvorn.loads_all(text)
    entries, ns = Entries(docs, text), dict(NAMESPACE, docs=docs)
    return [f for edit in edits for f in apply(edit, ns, entries, emit)] + check(docs, entries)


def run_case(text, seed, emit):
    """A random sequence of edits on `text`: the failures."""
    rng = random.Random(seed)
    docs = tesvorn.loads_all(text)
    if not docs:
        return []
    entries, gen, ns = Entries(docs, text), Generator(rng, docs), dict(NAMESPACE, docs=docs)
    fails = []
    for _ in range(rng.randint(1, MAX_EDITS)):
        fails += apply(gen.edit(), ns, entries, emit)
    return fails + check(docs, entries)


def cases(seed, files, start=0):
    """The endless list of cases of a run: (index, file, case seed)."""
    i = start
    while True:
        rng = random.Random(f"{seed}:{i}")
        yield i, rng.choice(files), rng.getrandbits(32)
        i += 1


def worker(args):
    """Runs cases from --start, one JSON line per event on stdout."""
    faulthandler.enable()
    corpus = testdata.find("corpus")
    files = [p.relative_to(corpus).as_posix() for p in testdata.corpus_files(corpus)]

    def emit(event):
        print(json.dumps(event), flush=True)

    if args.replay:
        for line in sys.stdin:
            job = json.loads(line)
            emit({"fails": run_edits((corpus / job["file"]).read_text(encoding="utf-8"), job["edits"])})
        return
    deadline = time.time() + args.seconds if args.seconds else None
    for i, rel, case_seed in cases(args.seed, files, args.start):
        if (args.cases is not None and i >= args.cases) or (deadline and time.time() > deadline):
            break
        if i in args.skip:
            continue
        emit({"case": i, "file": rel, "seed": case_seed})
        fails = run_case((corpus / rel).read_text(encoding="utf-8"), case_seed, emit)
        emit({"done": i, "fails": fails})


class Failure:
    def __init__(self, case, kind, detail, edits):
        self.index, self.file, self.seed = case["case"], case["file"], case["seed"]
        self.kind, self.detail, self.edits = kind, detail, edits  # edits: [code, what it raised or None]

    def program(self):
        lines = ["import copy, datetime, heapq, tesvorn",
                 "from tesvorn import YamlMapping, YamlScalar, YamlSequence",
                 f"docs = tesvorn.loads_all(open({str(testdata.find('corpus') / self.file)!r}).read())"]
        for edit, raised in self.edits:
            code = edit["code"]
            lines.append(f"try: {code}\nexcept {raised}: pass" if raised else code)
        lines.append("print(tesvorn.dumps_all(docs), end='')")
        return "\n".join(lines)

    def report(self):
        return (f"--- {self.kind}: case {self.index}, {self.file}, seed {self.seed}\n{self.detail}\n"
                f"# reproduction:\n{self.program()}\n")


def run(seed=1, count=None, seconds=None, skip=(), log=None, start=0):
    """Runs cases in worker processes (a new one after a crash): (counts, failures)."""
    counts, failures = collections.Counter(), []
    deadline = time.time() + seconds if seconds else None

    def fail(case, kind, detail, edits):
        failures.append(Failure(case, kind, detail, [list(e) for e in edits]))
        counts[f"failures: {kind}"] += 1
        if log:
            log(failures[-1])

    while True:
        cmd = [sys.executable, __file__, "--worker", "--seed", str(seed), "--start", str(start),
               "--skip", ",".join(map(str, skip))]
        if count is not None:
            cmd += ["--cases", str(count)]
        if deadline:
            cmd += ["--seconds", str(max(deadline - time.time(), 0))]
        with tempfile.TemporaryFile("w+") as err, \
                subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=err, text=True) as proc:
            case, edits = None, []
            for line in proc.stdout:
                event = json.loads(line)
                if "case" in event:
                    case, edits = event, []
                    counts["sequences"] += 1
                elif "edit" in event:
                    edits.append([event["edit"], None])
                    counts["edits"] += 1
                elif "raised" in event:
                    edits[-1][1] = event["raised"]
                    counts["edits that raised"] += 1
                elif "done" in event:
                    for kind, detail in event["fails"]:
                        fail(case, kind, detail, edits)
                    case = None
            proc.wait()
            err.seek(0)
            stderr = err.read()
        if case is None:
            if proc.returncode:
                raise RuntimeError(f"edit fuzzer worker failed:\n{stderr}")
            return counts, failures
        fail(case, "crash", f"exit code {proc.returncode} in the last edit or the checks\n{stderr[-3000:]}", edits)
        start = case["case"] + 1


class Replayer:
    """Runs edit lists in a worker process kept between calls (a new one
    after a crash)."""

    def __init__(self):
        self.proc = None

    def __call__(self, file, edits):
        """The failures of running `edits` on `file`: {kind: detail}."""
        if self.proc is None:
            self.proc = subprocess.Popen([sys.executable, __file__, "--worker", "--replay"], text=True,
                                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.proc.stdin.write(json.dumps({"file": file, "edits": edits}) + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if line:
            return dict(reversed(json.loads(line)["fails"]))
        self.proc.stdin.close()
        stderr = self.proc.stderr.read()
        self.proc.stdout.close()
        self.proc.stderr.close()
        code, self.proc = self.proc.wait(), None
        return {"crash": f"exit code {code}\n{stderr[-3000:]}"}

    def close(self):
        if self.proc:
            self.proc.stdin.close()
            self.proc.wait()
            self.proc.stdout.close()
            self.proc.stderr.close()


def minimize(failure, replay):
    """Drops the edits the failure does not need, one at a time."""
    keep = list(range(len(failure.edits)))
    for i in reversed(keep):
        trial = [j for j in keep if j != i]
        if failure.kind in replay(failure.file, [failure.edits[j][0] for j in trial]):
            keep = trial
    failure.edits = [failure.edits[j] for j in keep]
    failure.detail = replay(failure.file, [e for e, _ in failure.edits]).get(failure.kind, failure.detail)
    return failure


def shape(failure):
    """The kind and the edits with paths and values blanked: failures of one
    shape are most likely one fault."""
    def blank(code):
        code = re.sub(r"docs\[\d+\](\[[^\[\]]*\])*", "P", code)
        return re.sub(r"-?\d+(\.\d+)?", "N", re.sub(r"'[^']*'", "S", code))
    return failure.kind, frozenset(blank(e["code"]) for e, _ in failure.edits)


def triage(failures, minimizing):
    """One failure of each shape, minimized first when asked, with how many
    failures it stands for. A failure whose edits hold every edit of a
    known shape of its kind is taken for that fault and not minimized."""
    shapes = {}
    replay = Replayer()
    try:
        for f in failures:
            kind, edits = shape(f)
            known = next((s for s in shapes if s[0] == kind and s[1] <= edits), None)
            if known is None:
                known = shape(minimize(f, replay) if minimizing else f)
                shapes.setdefault(known, [f, 0])
            shapes[known][1] += 1
    finally:
        replay.close()
    return sorted(shapes.values(), key=lambda x: (x[0].kind, -x[1]))


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--cases", type=int)
    p.add_argument("--seconds", type=float)
    p.add_argument("--minimize", action="store_true", help="drop the edits each failure does not need")
    p.add_argument("--save", help="also write the failure of each shape to this file as a JSON line")
    p.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    p.add_argument("--replay", action="store_true", help=argparse.SUPPRESS)
    p.add_argument("--start", type=int, default=0, help=argparse.SUPPRESS)
    p.add_argument("--case", type=int, help="run only this case of the seed")
    p.add_argument("--skip", default="", help="case indexes not to run, comma-separated")
    args = p.parse_args()
    args.skip = {int(x) for x in args.skip.split(",") if x}
    if args.worker:
        return worker(args)
    if testdata.find("corpus") is None:
        sys.exit(testdata.missing_message("corpus"))
    if args.case is not None:
        args.start, args.cases = args.case, args.case + 1
    elif args.cases is None and args.seconds is None:
        args.cases = 200

    def log(f):
        print(f"case {f.index}: {f.kind} ({f.file})", flush=True)

    print(f"edit fuzz: seed {args.seed}", flush=True)
    counts, failures = run(args.seed, args.cases, args.seconds, args.skip, log, args.start)
    print(", ".join(f"{k}: {v}" for k, v in sorted(counts.items())), flush=True)
    for f, n in triage(failures, args.minimize):
        print(f"\n{n} failure(s) of this shape\n{f.report()}", flush=True)
        if args.save:
            with open(args.save, "a", encoding="utf-8") as out:
                out.write(json.dumps(dict(vars(f), count=n)) + "\n")
    print(", ".join(f"{k}: {v}" for k, v in sorted(counts.items())))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
