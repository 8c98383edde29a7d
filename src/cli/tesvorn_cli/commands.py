"""The commands and their command line."""

import argparse
import base64
import json
import math
import re
import sys
from collections.abc import Callable, Sequence
from typing import Any, NoReturn

import tesvorn

from .edits import (DeleteEdit, Edit, InsertEdit, MoveEdit, RenameEdit, SetEdit, candidates,
                    targets)
from .files import (check_text, display_name, dump_all, load_file, read_text, unified_diff,
                    write_in_place, write_stdout)
from .paths import (EXIT_FAILURE, EXIT_USAGE, Failure, NotFound, Walker, effective_keys, parse_path,
                    plain_data, show_path)
from .values import Keys, Value

# ---- reading: get, keys, length ---------------------------------------------------


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


def _json_ready(value: Any) -> Any:
    """JSON has no infinities, NaN, bytes or dates: they go as their YAML text."""
    if isinstance(value, float) and not math.isfinite(value):
        return ".nan" if math.isnan(value) else (".inf" if value > 0 else "-.inf")
    if isinstance(value, dict):
        return {k: _json_ready(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_json_ready(v) for v in value]
    if isinstance(value, (bytes, bytearray)):
        return base64.b64encode(value).decode("ascii")
    return value


def to_json(value: Any, compact: bool = False) -> str:
    return json.dumps(_json_ready(value), ensure_ascii=False, default=str,
                      indent=None if compact else 2) + "\n"


def _shown(what: str, node: Any, output: str, path: str) -> tuple[str, Any]:
    """(the text to print, the JSON value) of what `get`, `keys` or `length` reads at `node`."""
    if what == "keys":
        if isinstance(node, dict):
            found: list[Any] = effective_keys(node)
        elif isinstance(node, list):
            found = list(range(len(node)))
        else:
            raise NotFound(f"{path} is a scalar: keys lists a mapping's keys or a sequence's indexes")
        return "".join(f"{k}\n" for k in found), found
    if what == "length":
        value = getattr(node, "value", node)
        if isinstance(node, dict):
            n = len(effective_keys(node))
        elif isinstance(node, (list, str)) or value is None or isinstance(value, str):
            n = len(value) if isinstance(value, (list, str)) else 0
        else:
            raise NotFound(f"{path} is a scalar that is not a string: it has no length")
        return f"{n}\n", n
    if isinstance(node, (dict, list)):
        return collection_text(node), plain_data(node)
    if output == "yaml":
        return tesvorn.dumps(node).removesuffix("\n") + "\n", plain_data(node)
    return scalar_text(node), plain_data(node)


def cmd_read(args: argparse.Namespace) -> None:
    """get, keys and length: FILE... PATH. Prints what each file has at PATH
    (from every document that has it unless --doc); with several files each
    line starts with the file's name (JSON: one object per line)."""
    if len(args.targets) < 2:
        raise Failure(f"{args.command} needs FILE and PATH", EXIT_USAGE)
    files, path = args.targets[:-1], args.targets[-1]
    steps = parse_path(path)
    several = len(files) > 1
    if several and files.count("-") > 0:
        raise Failure("standard input '-' can only be the one FILE", EXIT_USAGE)
    out: list[str] = []
    failed = False
    for file in files:
        try:
            out.extend(_read_one(args, file, steps, several))
        except Failure as e:
            if e.code == EXIT_USAGE or (not several and not (args.exists and isinstance(e, NotFound))):
                raise
            if not (args.exists and isinstance(e, NotFound)):
                name = f"{display_name(file)}: " if isinstance(e, NotFound) else ""
                print(f"tesvorn: {name}{e}", file=sys.stderr)
            failed = True
    if not args.exists:
        write_stdout("".join(out).encode("utf-8"))
    if failed:
        raise SystemExit(EXIT_FAILURE)


def _read_one(args: argparse.Namespace, file: str, steps: list[Any], several: bool) -> list[str]:
    _, docs = load_file(file)
    found: list[Any] = []
    errors: list[tuple[int, NotFound]] = []
    picked = candidates(docs, args.doc)
    for i in picked:
        try:
            found.append(Walker(docs[i], reads=True).node_at(steps))
        except NotFound as e:
            errors.append((i, e))
    if not found:
        if not picked:
            raise NotFound("the file has no document")
        # The document that has most of PATH is likely the one meant: say what it lacks.
        deepest = max(e.depth for _, e in errors)
        closest = [(i, e) for i, e in errors if e.depth == deepest]
        if len(closest) > 1:  # one that knows a key close to the missing one says more
            closest = [(i, e) for i, e in closest if "(did you mean" in str(e)] or closest
        if len(errors) == 1:
            raise errors[0][1]
        if len(closest) == 1 and deepest > 0:
            raise NotFound(f"document {closest[0][0]}: {closest[0][1]}")
        raise NotFound(f"no document has {show_path(steps)}")
    out = []
    for node in found:
        text, value = _shown(args.command, node, args.output, show_path(steps))
        if args.output == "json":
            out.append(to_json({"file": file, "value": value}, compact=True) if several else to_json(value))
        elif several:
            out.append("".join(f"{display_name(file)}: {line}\n" for line in text.splitlines()))
        else:
            separate = len(found) > 1 and args.command == "get" and isinstance(node, (dict, list))
            out.append(("---\n" if separate else "") + text)
    return out


# ---- editing ----------------------------------------------------------------------

def _only_comments(text: str) -> bool:
    """Whether the text has nothing but comments, blank lines and `---` lines."""
    lines = (line.strip().removeprefix("\ufeff") for line in text.split("\n"))
    return all(not line or line.startswith("#") or re.fullmatch(r"---(\s+#.*)?", line) for line in lines)


def run_edit(args: argparse.Namespace, edits: Sequence[Edit]) -> None:
    """Loads FILE, applies the edits in order, each to its documents, and
    writes the result once: to stdout, as a diff (--diff), or back to the
    file (-i). Any error leaves the file as it was."""
    if args.in_place and args.file == "-":
        raise Failure("--in-place needs a file, not standard input", EXIT_USAGE)
    text, docs = load_file(args.file)
    # An edit must change nothing but its own lines: a file that does not
    # come back as it is, or that writes a key twice, is not edited at all.
    problem = check_text(args.file, text, docs)
    if problem is not None:
        raise Failure(f"{problem}; not edited")
    keys = Keys(text)
    create = getattr(args, "create", False)
    allowed = candidates(docs, args.doc) if docs else []
    made_root = _make_root(args, docs, allowed, edits, create)
    if made_root:
        allowed = [0] if not allowed else allowed
    for edit in edits:
        chosen = targets(docs, allowed, edit, args.all_docs, create)
        for i in chosen:
            try:
                edit.apply(Walker(docs[i], add_key=keys.add), keys)
            except NotFound as e:
                if args.all_docs or len(docs) < 2:
                    raise
                raise NotFound(f"document {i}: {e}") from None
    if made_root and len(docs) == 1 and _only_comments(text):
        # The comments of an empty document stay, above the mapping made for it.
        body = tesvorn.dumps(docs[0])
        out = text + ("\n" if text and not text.endswith("\n") else "") + body
        if "\r\n" in text:
            out = text + ("\r\n" if not text.endswith("\n") else "") + body.replace("\n", "\r\n")
    else:
        out = dump_all(args.file, docs)
    if args.diff:
        write_stdout(unified_diff(args.file, text, out).encode("utf-8"))
    elif not args.in_place:
        write_stdout(out.encode("utf-8"))
    if args.in_place and out != text:
        write_in_place(args.file, out.encode("utf-8"))


def _make_root(args: argparse.Namespace, docs: list[Any], allowed: list[int], edits: Sequence[Edit],
               create: bool) -> bool:
    """An empty document (no document, or one of comments only) becomes an
    empty mapping when `set --create` is to add keys to it."""
    empty = not docs or (len(allowed) == 1 and isinstance(docs[allowed[0]], tesvorn.YamlScalar)
                         and docs[allowed[0]].value is None)
    if not empty or not any(isinstance(e, SetEdit) and e.steps for e in edits):
        if not docs:
            raise NotFound("the file has no document" + ("" if create else ": set --create adds a mapping"))
        return False
    if not create:
        raise NotFound("the document is empty: set --create adds a mapping to it")
    if docs:
        mapping = tesvorn.YamlMapping()
        mapping.explicit_start = docs[allowed[0]].explicit_start
        docs[allowed[0]] = mapping
    else:
        docs.append(tesvorn.YamlMapping())
    return True


def _value(args: argparse.Namespace, text: str) -> Value:
    mode = "string" if args.string else "yaml" if getattr(args, "yaml", False) else "auto"
    return Value(text, mode)


def cmd_set(args: argparse.Namespace) -> None:
    rest = args.rest
    comments = args.comment is not None or args.comment_before is not None
    if args.value_file is not None:
        if len(rest) != 1:
            raise Failure("set --value-file takes one PATH and no VALUE", EXIT_USAGE)
        if args.value_file == "-" and args.file == "-":
            raise Failure("FILE and --value-file cannot both be standard input", EXIT_USAGE)
        pairs: list[tuple[str, Value | None]] = [(rest[0], Value(read_text(args.value_file), "file"))]
    elif comments and len(rest) in (1, 2):
        pairs = [(rest[0], _value(args, rest[1]) if len(rest) == 2 else None)]
    elif comments:
        raise Failure("set --comment takes one PATH and an optional VALUE", EXIT_USAGE)
    elif len(rest) < 2 or len(rest) % 2:
        raise Failure("set takes PATH VALUE, or several PATH VALUE pairs", EXIT_USAGE)
    else:
        pairs = [(rest[i], _value(args, rest[i + 1])) for i in range(0, len(rest), 2)]
    run_edit(args, [SetEdit(path, parse_path(path), value, args.create, args.comment, args.comment_before)
                    for path, value in pairs])


def cmd_delete(args: argparse.Namespace) -> None:
    run_edit(args, [DeleteEdit(path, parse_path(path)) for path in args.paths])


def cmd_insert(args: argparse.Namespace) -> None:
    run_edit(args, [InsertEdit(args.path, parse_path(args.path), args.index, _value(args, args.value))])


def cmd_rename(args: argparse.Namespace) -> None:
    run_edit(args, [RenameEdit(args.path, parse_path(args.path), args.key)])


def cmd_move(args: argparse.Namespace) -> None:
    run_edit(args, [MoveEdit(args.path, parse_path(args.path), args.index)])


def cmd_check(args: argparse.Namespace) -> None:
    failed = []
    for file in args.files:
        try:
            text, docs = load_file(file)
            message = check_text(file, text, docs)
        except Failure as e:
            message = str(e)
        if message is not None:
            failed.append(message)
    for message in failed:
        print(message, file=sys.stderr)
    if failed:
        raise SystemExit(EXIT_FAILURE)


# ---- the command line ---------------------------------------------------------------

class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        """A usage error is one line (argparse would print the usage first)."""
        self.exit(EXIT_USAGE, f"{self.prog}: {message} (see {self.prog} --help)\n")


PATH_HELP = ('keys separated by dots, [N] for an item (negative from the end), [KEY=VALUE] for the '
             'item whose KEY is VALUE, keys with dots or brackets quoted '
             '(metadata.annotations."example.com/team"); . is the document itself')
VALUE_HELP = ('a YAML scalar or flow collection: 3, "3", [a, b], {k: v}. Replacing a string, it stays '
              'a string in that string\'s quotes unless it is quoted, tagged or a collection itself')
DOC_HELP = ("only document N (0 is the first, -1 the last), or the documents where KEY is VALUE "
            "(--doc kind=Service, --doc metadata.name=web)")

EXAMPLES = {
    "get": """\
  tesvorn get deploy.yaml 'spec.template.spec.containers[name=app].image'
  tesvorn get -o json --doc kind=Service deploy.yaml spec.ports
  tesvorn get -e values.yaml ingress.enabled && echo has ingress""",
    "keys": """\
  tesvorn keys compose.yaml services
  tesvorn keys -o json compose.yaml services.web.environment""",
    "length": """\
  tesvorn length deploy.yaml 'spec.template.spec.containers'
  tesvorn length workflow.yml jobs.test.strategy.matrix.python""",
    "set": """\
  tesvorn set -i workflow.yml 'jobs.test.steps[1].with.go-version' 1.21   # stays '1.21'
  tesvorn set -i deploy.yaml spec.replicas 3 'spec.template.spec.containers[name=app].image' app:2
  tesvorn set --diff --create values.yaml ingress.hosts '[a.example.com]'
  tesvorn set -i --comment 'pinned for #123' deploy.yaml metadata.labels.version""",
    "delete": """\
  tesvorn delete -i deploy.yaml 'spec.template.spec.containers[name=sidecar]'
  tesvorn delete -i --all-docs manifests.yaml metadata.namespace""",
    "insert": """\
  tesvorn insert -i workflow.yml jobs.test.strategy.matrix.python -1 3.13   # '3.13' beside strings
  tesvorn insert -i workflow.yml jobs.test.steps 0 '{uses: actions/checkout@v4}'""",
    "rename": """\
  tesvorn rename -i compose.yaml services.web app
  tesvorn rename -i --doc kind=Service deploy.yaml spec.ports[0].port servicePort""",
    "move": """\
  tesvorn move -i deploy.yaml metadata.labels.team 0     # first
  tesvorn move -i compose.yaml services.db -1            # last""",
    "check": """\
  tesvorn check $(git ls-files '*.yaml' '*.yml')
  tesvorn check values.yaml || exit 1""",
}


def build_parser() -> tuple[argparse.ArgumentParser, dict[str, argparse.ArgumentParser]]:
    parser = _Parser(prog="tesvorn", description=(
        "Read, change and check YAML files; an edit changes only its own lines. FILE '-' is "
        "standard input. Exit codes: 1 path not found, input does not parse or cannot be written, "
        "2 usage."))
    parser.add_argument("--version", action="version", version=f"tesvorn {_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    subs: dict[str, argparse.ArgumentParser] = {}

    def command(name: str, run: Callable[[argparse.Namespace], None], summary: str,
                edit: bool = False) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=summary, description=summary, epilog="examples:\n" + EXAMPLES[name],
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.set_defaults(run=run)
        if name != "check":
            sub.add_argument("--doc", metavar="N|KEY=VALUE", help=DOC_HELP)
            sub.add_argument("--all-docs", action="store_true", help=(
                "every document that has PATH (the default)" if not edit else
                "edit every document that has PATH (set --create: every one that has its mapping); "
                "without it an edit goes to the one document that has PATH"))
        if edit:
            sub.add_argument("-i", "--in-place", action="store_true",
                             help="write the result to FILE (atomically) instead of to stdout")
            sub.add_argument("--diff", action="store_true",
                             help="print a unified diff of the change instead of the file (with -i: as well)")
            sub.add_argument("file", metavar="FILE")
        subs[name] = sub
        return sub

    def value_options(sub: argparse.ArgumentParser) -> None:
        how = sub.add_mutually_exclusive_group()
        how.add_argument("--string", action="store_true", help="take VALUE as a string, as it is")
        how.add_argument("--yaml", action="store_true",
                         help="take VALUE as YAML even where it replaces a string (1.21 is a number)")

    for name, summary in (("get", "print the value at PATH: a scalar as text, a collection as YAML"),
                          ("keys", "print the keys of the mapping at PATH (or the indexes of a sequence)"),
                          ("length", "print how many items or keys the collection at PATH has "
                                     "(or characters a string has)")):
        sub = command(name, cmd_read, summary)
        sub.add_argument("targets", nargs="+", metavar="FILE... PATH", help="the files, then " + PATH_HELP)
        sub.add_argument("-o", "--output", choices=("text", "yaml", "json"), default="text", help=(
            "text (default): a string as its text, anything else as YAML; yaml: a scalar as written "
            "(quotes included); json: the value as JSON, merge keys resolved"))
        sub.add_argument("-e", "--exists", action="store_true",
                         help="print nothing; exit 0 when every FILE has PATH, 1 otherwise")

    set_ = command("set", cmd_set, "set the value at PATH, or several: PATH VALUE [PATH VALUE...]; "
                   "a missing last key is added at the end of its mapping. A key that a mapping has "
                   "through a merge key (<<: *anchor) is set as the mapping's own, overriding the "
                   "anchor's; other edits of merged keys are errors that name the anchor", edit=True)
    set_.add_argument("rest", nargs="*", metavar="PATH VALUE", help=f"PATH: {PATH_HELP}. VALUE: {VALUE_HELP}")
    value_options(set_)
    set_.add_argument("--value-file", metavar="F",
                      help="VALUE is the text of file F (- for stdin), written as a | block when it has "
                           "several lines")
    set_.add_argument("--create", action="store_true",
                      help="add missing mappings on the way to PATH (and to an empty document)")
    set_.add_argument("--comment", metavar="TEXT", help="the comment at the end of PATH's line ('' removes it)")
    set_.add_argument("--comment-before", metavar="TEXT",
                      help="the comment lines above PATH ('' removes them; \\n in TEXT makes lines)")

    delete = command("delete", cmd_delete, "delete the keys or items at PATH...", edit=True)
    delete.add_argument("paths", nargs="+", metavar="PATH", help=PATH_HELP)

    insert = command("insert", cmd_insert, "insert an item into the sequence at PATH", edit=True)
    insert.add_argument("path", metavar="PATH", help=PATH_HELP)
    insert.add_argument("index", type=int, metavar="INDEX",
                        help="the new item's place: 0 is first, -1 last (appends)")
    insert.add_argument("value", metavar="VALUE", help=VALUE_HELP.replace(
        "Replacing a string", "Beside items that are all strings"))
    value_options(insert)

    rename = command("rename", cmd_rename, "rename the key at PATH where it stands (its comments stay)",
                     edit=True)
    rename.add_argument("path", metavar="PATH", help=PATH_HELP)
    rename.add_argument("key", metavar="NEWKEY", help="the new key (a key, not a PATH)")

    move = command("move", cmd_move, "move the key at PATH to another place in its mapping", edit=True)
    move.add_argument("path", metavar="PATH", help=PATH_HELP)
    move.add_argument("index", type=int, metavar="INDEX", help="its new place: 0 is first, -1 last")

    check = command("check", cmd_check, "fail for each FILE that does not parse, writes a key twice, "
                                        "or does not come back byte for byte")
    check.add_argument("files", nargs="*", metavar="FILE")
    return parser, subs


def _version() -> str:
    from importlib import metadata
    try:
        return metadata.version("tesvorn")
    except metadata.PackageNotFoundError:
        return "unknown"


def main(argv: Sequence[str] | None = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    parser, subs = build_parser()
    if argv and argv[0] in subs:
        # Options may stand anywhere among the PATH VALUE pairs (and files).
        args = subs[argv[0]].parse_intermixed_args(argv[1:])
        args.command = argv[0]
    else:
        args = parser.parse_args(argv)
    if getattr(args, "all_docs", False) and args.doc is not None and re.fullmatch(r"-?[0-9]+", args.doc):
        subs[args.command].error("argument --all-docs: not allowed with argument --doc N")
    try:
        args.run(args)
    except Failure as e:
        print(f"tesvorn: {e}", file=sys.stderr)
        return e.code
    return 0
