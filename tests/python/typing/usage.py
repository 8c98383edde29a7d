"""A small program using the public API; checked by mypy --strict."""

import io

import tesvorn
from tesvorn import Schema, YamlMapping, YamlScalar, YamlSequence


def bump_port(text: str) -> str:
    doc = tesvorn.loads(text)
    if isinstance(doc, YamlMapping):
        port = doc.get("port", 0)
        doc["port"] = int(port) + 1
        doc.set_comment_inline("port", "bumped")
        doc.blank_lines_before("port", 1)
        before: str | None = doc.comment_before("port")
        assert before is None or isinstance(before, str)
        doc.sort_keys(key=str.lower, reverse=False)
        doc.explicit_start = True
        doc.yaml_version = "1.2"
        doc.tag_directives = [("!e!", "tag:example.com,2024:")]
    return tesvorn.dumps(doc, indent=4)


def migrate(text: str) -> str:
    doc = tesvorn.loads(text)
    if isinstance(doc, YamlMapping):
        if "depends_on" in doc:
            doc.rename_key("depends_on", "needs")
        doc.insert(list(doc).index("image") + 1 if "image" in doc else len(doc), "pull", "Always",
                   comment="added")
        doc.move_to_end("needs", last=False)
        doc.move("pull", 1)
    return tesvorn.dumps(doc)


def build() -> str:
    items = YamlSequence([1, 2, 3], style="flow")
    items.append(YamlScalar("x", style="double", tag="!t"))
    items.set_comment_before(0, "first")
    count: int = items.blank_lines_before(0)
    m = YamlMapping({"items": items, "n": count}, tag="!cfg")
    m.container_style("items", "block")
    plain: dict[str, object] = m.to_python()
    schema = Schema()
    schema.add_dumper(complex, lambda c: ("!complex", [c.real, c.imag]))
    schema.add_loader("!complex", lambda v: complex(*v))
    buf = io.StringIO()
    tesvorn.dump_all([m, plain], buf, schema=schema)
    for doc in tesvorn.iter_loads_all(buf.getvalue(), schema=schema):
        print(type(doc).__name__)
    return tesvorn.dumps_all(tesvorn.loads_all(buf.getvalue()))


def errors() -> None:
    try:
        tesvorn.loads("[")
    except tesvorn.ParseError as e:
        print(e)
    except tesvorn.TesvornError:
        raise


def where(text: str) -> list[tuple[int, int] | None]:
    try:
        doc = tesvorn.loads(text)
    except (tesvorn.ParseError, tesvorn.LoaderError) as e:
        line: int | None = e.line
        return [(line or 0, e.column or 0)] if e.offset is not None else []
    if not isinstance(doc, YamlMapping) or not isinstance(doc["items"], YamlSequence):
        return []
    return [doc.position, doc.key_position("items"), doc.value_position("items"), doc["items"].item_position(-1)]


if __name__ == "__main__":
    print(bump_port("port: 8080\n"))
    print(migrate("image: x\ndepends_on: [db]\n"))
    print(build())
    errors()
    print(where("items: [1, 2]\n"))
