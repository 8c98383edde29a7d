"""The `tesvorn` command: read, change and check YAML files from the shell.

An edit changes the lines of the value it edits and leaves every other byte
of the file as it was. Built on the public API of the tesvorn module only.

Exit codes: 0 done, 1 the path is not there or an input does not parse (or
a file cannot be read or written), 2 the command line is wrong. An error is
one line on stderr, and nothing is written when there is one.
"""

import argparse
import contextlib
import os
import re
import stat
import sys
import tempfile
from collections.abc import Callable, Sequence
from typing import Any, NoReturn

import tesvorn

Step = str | int  # a mapping key, or a sequence index
EXIT_FAILURE, EXIT_USAGE = 1, 2


class Failure(Exception):
    """An error reported on one line, with the exit code it ends the command with."""

    def __init__(self, message: str, code: int = EXIT_FAILURE) -> None:
        super().__init__(message)
        self.code = code


class NotFound(Failure):
    pass


# ---- PATH ---------------------------------------------------------------------

_INDEX = re.compile(r"\[(-?[0-9]+)\]")
_BARE = re.compile(r"[^.\[]+")
_BARE_SHOWN = re.compile(r"[^.\[\"'][^.\[]*")


def parse_path(text: str) -> list[Step]:
    """`a.b[0]."c.d"` -> ["a", "b", 0, "c.d"]: keys separated by dots, indexes
    in brackets (negative from the end), and keys holding dots, brackets or
    a leading quote in double quotes (backslash escapes) or single quotes
    ('' is a quote)."""
    steps: list[Step] = []
    i = 0

    def bad(why: str) -> NoReturn:
        raise Failure(f"bad PATH {text!r}: {why} at character {i + 1}", EXIT_USAGE)

    while True:
        if text[i:i + 1] == "[":
            m = _INDEX.match(text, i)
            if not m:
                bad("an index is [N] or [-N]")
            steps.append(int(m[1]))
            i = m.end()
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
            bad("a quoted key or an index ends here, '.' or '[' must follow")


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


def show_path(steps: Sequence[Step]) -> str:
    """The PATH text of `steps` ("the document" for none)."""
    out = ""
    for step in steps:
        if isinstance(step, int):
            out += f"[{step}]"
        else:
            if not _BARE_SHOWN.fullmatch(step):
                step = '"' + step.replace("\\", "\\\\").replace('"', '\\"') + '"'
            out += ("." if out else "") + step
    return out or "the document"


# ---- walking a document -------------------------------------------------------

def _kind(node: Any) -> str:
    if isinstance(node, dict):
        return "a mapping"
    if isinstance(node, list):
        return "a sequence"
    return "null" if getattr(node, "value", node) is None else "a scalar"


def _check_step(node: Any, step: Step, steps: Sequence[Step], at: int) -> None:
    """Raises NotFound unless `node` (reached by steps[:at]) has `step`."""
    where = show_path(steps[:at])
    if isinstance(step, int):
        if not isinstance(node, list):
            raise NotFound(f"{where} is {_kind(node)}, not a sequence")
        if not -len(node) <= step < len(node):
            raise NotFound(f"{where} has no item [{step}] ({len(node)} items)")
    else:
        if not isinstance(node, dict):
            raise NotFound(f"{where} is {_kind(node)}, not a mapping")
        if step not in node:
            raise NotFound(f"{where} has no key {show_path([step])}")


def walk(doc: Any, steps: Sequence[Step], create: bool = False) -> Any:
    """The node at `steps`. With `create`, a missing or empty (null) key on
    the way becomes an empty block mapping, unless an index follows (it
    could not be in a new mapping, and the edit would fail half done)."""
    node = doc
    for at, step in enumerate(steps):
        if (create and isinstance(node, dict) and isinstance(step, str) and node.get(step) is None
                and all(isinstance(s, str) for s in steps[at:])):
            node[step] = tesvorn.YamlMapping()
        _check_step(node, step, steps, at)
        node = node[step]
    return node


def node_at(doc: Any, steps: Sequence[Step]) -> Any:
    """The node object at `steps`: a YamlMapping, a YamlSequence or a YamlScalar."""
    parent = walk(doc, steps[:-1])
    _check_step(parent, steps[-1], steps, len(steps) - 1)
    return parent.node(steps[-1])


# ---- the edits ----------------------------------------------------------------

def edit_set(doc: Any, steps: list[Step], value: Callable[[], Any], create: bool) -> None:
    last = steps[-1]
    parent = walk(doc, steps[:-1], create and isinstance(last, str))
    if isinstance(last, int) or not isinstance(parent, dict):
        _check_step(parent, last, steps, len(steps) - 1)  # an item must be there; a key may be new
    new = value()
    if isinstance(last, int) or last in parent:
        new = _keep_style(parent.node(last), new)
    parent[last] = new


def _keep_style(old: Any, new: Any) -> Any:
    """A string that replaces a string keeps its quotes or block style, unless
    VALUE was written with a style (or a tag) of its own."""
    if isinstance(new, tesvorn.YamlScalar) and new.style == "plain" and new.tag is None:
        text = new.value
    else:
        text = new
    if (isinstance(text, str) and isinstance(old, tesvorn.YamlScalar) and isinstance(old.value, str)
            and old.style != "plain"):
        return tesvorn.YamlScalar(text, style=old.style)
    return new


def edit_delete(doc: Any, steps: list[Step]) -> None:
    parent = walk(doc, steps[:-1])
    _check_step(parent, steps[-1], steps, len(steps) - 1)
    del parent[steps[-1]]


def edit_insert(doc: Any, steps: list[Step], index: int, value: Callable[[], Any]) -> None:
    """Inserts so that the new item is at `index` afterwards: 0 is first,
    -1 is last (appends)."""
    seq = walk(doc, steps)
    if not isinstance(seq, list):
        raise NotFound(f"{show_path(steps)} is {_kind(seq)}, not a sequence")
    n = len(seq)
    if not -(n + 1) <= index <= n:
        raise NotFound(f"{show_path(steps)} has {n} items: INDEX must be in {-(n + 1)}..{n}, not {index}")
    seq.insert(index if index >= 0 else n + 1 + index, value())


def value_maker(text: str, literal: bool) -> Callable[[], Any]:
    """Makes VALUE anew for each document it goes into: a YAML scalar or
    collection (its style and tag kept), or with `literal` the string itself."""
    if literal:
        return lambda: text
    try:
        docs = tesvorn.loads_all(text)
    except (tesvorn.TesvornError, ValueError, RecursionError) as e:
        position, message = parse_message(e)
        raise Failure(f"VALUE{position}: {message}") from None
    if len(docs) > 1:
        raise Failure(f"VALUE holds {len(docs)} documents, not one")
    return lambda: tesvorn.loads(text) if docs else None


# ---- reading and writing --------------------------------------------------------

_POSITION = re.compile(r" at (?:byte|character) [0-9]+ line ([0-9]+) column ([0-9]+)$")


def parse_message(e: BaseException) -> tuple[str, str]:
    """(":line:column" or "", the message) of a load error."""
    message = str(e).removeprefix("YAML parse error: ")
    line, column = getattr(e, "line", None), getattr(e, "column", None)
    m = _POSITION.search(message)
    if m:
        message = message[:m.start()]
        if line is None:
            line, column = int(m[1]), int(m[2])
    return (f":{line}:{column}" if line is not None else ""), message


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
    except (tesvorn.TesvornError, ValueError, RecursionError) as e:
        position, message = parse_message(e)
        raise Failure(f"{display_name(file)}{position}: {message}") from None


def dump_all(file: str, docs: list[Any]) -> str:
    try:
        return tesvorn.dumps_all(docs)
    except (tesvorn.TesvornError, ValueError, RecursionError) as e:
        raise Failure(f"{display_name(file)}: {e}") from None


def differs(file: str, text: str, out: str) -> str | None:
    """None when `out` is `text`, else where it starts to differ, as an error line."""
    if out == text:
        return None
    line = 1 + text[:len(os.path.commonprefix([text, out]))].count("\n")
    return (f"{display_name(file)}:{line}: load and dump do not give the text back byte for byte "
            "from this line on")


def write_in_place(file: str, data: bytes) -> None:
    """Replaces the file's content atomically: a temporary file in the same
    folder, given the file's mode (and owner where allowed), renamed over it.
    A symbolic link stays one: its target is written."""
    target = os.path.realpath(file)
    st = os.stat(target)
    fd, tmp = tempfile.mkstemp(prefix=f".{os.path.basename(target)}.", suffix=".tmp",
                               dir=os.path.dirname(target))
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


# ---- the commands ------------------------------------------------------------------

def pick_documents(docs: list[Any], doc: int | None, all_docs: bool) -> list[int]:
    if doc is not None:
        if not -len(docs) <= doc < len(docs):
            raise NotFound(f"no document {doc} (the file has {len(docs)})")
        return [doc % len(docs)]
    if not docs:
        raise NotFound("the file has no document")
    return list(range(len(docs))) if all_docs else [0]


def scalar_text(node: Any) -> str:
    """A string as its text; any other scalar as written in the file (0x1F stays 0x1F)."""
    value = node.value
    text = value if isinstance(value, str) else tesvorn.dumps(node).removesuffix("\n")
    return text if text.endswith("\n") else text + "\n"


_TRAILING_BLANK_LINES = re.compile(r"\n(?:[ \t\r]*\n)+\Z")


def collection_text(node: Any) -> str:
    """The collection's lines as they stand in the file (a nested one is
    written from the left edge), without the blank lines that end it
    (unless they belong to a value: a block scalar that keeps its final
    line breaks)."""
    text = tesvorn.dumps(node)
    trimmed = _TRAILING_BLANK_LINES.sub("\n", text)
    return trimmed if trimmed == text or tesvorn.loads(trimmed) == node else text


def cmd_get(args: argparse.Namespace) -> None:
    steps = parse_path(args.path)
    _, docs = load_file(args.file)
    found: list[Any] = []
    errors: list[NotFound] = []
    for i in pick_documents(docs, args.doc, True):
        try:
            found.append(node_at(docs[i], steps))
        except NotFound as e:
            errors.append(e)
    if not found:
        raise errors[0] if len(errors) == 1 else NotFound(f"no document has {show_path(steps)}")
    out = []
    for node in found:
        if isinstance(node, (dict, list)):
            out.append(("---\n" if len(found) > 1 else "") + collection_text(node))
        else:
            out.append(scalar_text(node))
    write_stdout("".join(out).encode("utf-8"))


def run_edit(args: argparse.Namespace, edit: Callable[[Any], None]) -> None:
    """Loads FILE, applies `edit` to the documents picked, and writes the
    result to stdout, or back to the file with --in-place."""
    if args.in_place and args.file == "-":
        raise Failure("--in-place needs a file, not standard input", EXIT_USAGE)
    text, docs = load_file(args.file)
    # An edit must change nothing but its own lines: a file that does not
    # come back as it is (a duplicate key, say) is not edited at all.
    if (unchanged := differs(args.file, text, dump_all(args.file, docs))) is not None:
        raise Failure(f"{unchanged}; not edited")
    picked = pick_documents(docs, args.doc, args.all_docs)
    errors: list[NotFound] = []
    for i in picked:
        try:
            edit(docs[i])
        except NotFound as e:
            errors.append(e)
    if len(errors) == len(picked):
        if len(errors) > 1:
            raise NotFound(f"no document has {args.path}")
        raise NotFound((f"document {picked[0]}: " if len(docs) > 1 else "") + str(errors[0]))
    out = dump_all(args.file, docs)
    data = out.encode("utf-8")
    if not args.in_place:
        write_stdout(data)
    elif out != text:
        try:
            write_in_place(args.file, data)
        except OSError as e:
            raise Failure(f"{args.file}: cannot write: {e.strerror or e}") from None


def cmd_set(args: argparse.Namespace) -> None:
    steps, value = parse_path(args.path), value_maker(args.value, args.string)
    run_edit(args, lambda doc: edit_set(doc, steps, value, args.create))


def cmd_delete(args: argparse.Namespace) -> None:
    steps = parse_path(args.path)
    run_edit(args, lambda doc: edit_delete(doc, steps))


def cmd_insert(args: argparse.Namespace) -> None:
    steps, value = parse_path(args.path), value_maker(args.value, args.string)
    run_edit(args, lambda doc: edit_insert(doc, steps, args.index, value))


def check_file(file: str) -> str | None:
    """None when the file loads and dumps back byte for byte, else the error line."""
    try:
        text, docs = load_file(file)
        return differs(file, text, dump_all(file, docs))
    except Failure as e:
        return str(e)


def cmd_check(args: argparse.Namespace) -> None:
    failed = [message for message in map(check_file, args.files) if message is not None]
    for message in failed:
        print(message, file=sys.stderr)
    if failed:
        raise SystemExit(EXIT_FAILURE)


# ---- the command line ----------------------------------------------------------------

class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        """A usage error is one line (argparse would print the usage first)."""
        self.exit(EXIT_USAGE, f"{self.prog}: {message} (see {self.prog} --help)\n")


PATH_HELP = ('keys separated by dots, [N] for an item (negative from the end), keys with dots '
             'or brackets quoted: metadata.annotations."example.com/team"')
VALUE_HELP = 'a YAML scalar or flow collection: 3, "3", [a, b], {k: v}'


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="tesvorn", description=(
        "Read, change and check YAML files; an edit changes only its own lines. FILE '-' is "
        "standard input. Exit codes: 1 path not found or input does not parse, 2 usage."))
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, run: Callable[[argparse.Namespace], None], summary: str,
                edit: bool = False) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=summary, description=summary)
        sub.set_defaults(run=run)
        if name != "check":
            sub.add_argument("file", metavar="FILE")
            sub.add_argument("path", metavar="PATH", help=PATH_HELP)
            which = sub.add_mutually_exclusive_group()
            which.add_argument("--doc", type=int, metavar="N",
                               help="only document N of the file (0 is the first, -1 the last)")
            which.add_argument("--all-docs", action="store_true", help=(
                "every document that has the path (the default of get)" if not edit else
                "edit every document that has the path (default: the first document)"))
        if edit:
            sub.add_argument("-i", "--in-place", action="store_true",
                             help="write the result to FILE (atomically) instead of to stdout")
        return sub

    command("get", cmd_get, "print the value at PATH: a scalar as text, a collection as YAML")
    set_ = command("set", cmd_set, "set the value at PATH (a missing last key is added)", edit=True)
    set_.add_argument("value", metavar="VALUE", help=VALUE_HELP)
    set_.add_argument("--string", action="store_true", help="take VALUE as a string, as it is")
    set_.add_argument("--create", action="store_true", help="add missing mappings on the way to PATH")
    command("delete", cmd_delete, "delete the key or item at PATH", edit=True)
    insert = command("insert", cmd_insert, "insert an item into the sequence at PATH", edit=True)
    insert.add_argument("index", type=int, metavar="INDEX",
                        help="the new item's place: 0 is first, -1 last (appends)")
    insert.add_argument("value", metavar="VALUE", help=VALUE_HELP)
    insert.add_argument("--string", action="store_true", help="take VALUE as a string, as it is")
    check = command("check", cmd_check,
                    "fail for each FILE that does not parse or does not come back byte for byte")
    check.add_argument("files", nargs="+", metavar="FILE")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        args.run(args)
    except Failure as e:
        print(f"tesvorn: {e}", file=sys.stderr)
        return e.code
    return 0


if __name__ == "__main__":
    sys.exit(main())
