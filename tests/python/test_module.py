"""The module frame: import, exception classes, signatures and argument checks."""

import inspect

import pytest

import tesvorn

FUNCTIONS = {
    "load": "(stream, *, schema=None)",
    "loads": "(text, *, schema=None)",
    "load_all": "(stream, *, schema=None)",
    "loads_all": "(text, *, schema=None)",
    "iter_load_all": "(stream, *, schema=None)",
    "iter_loads_all": "(text, *, schema=None)",
    "dump": "(doc, stream, *, schema=None, indent=2)",
    "dumps": "(doc, *, schema=None, indent=2)",
    "dump_all": "(docs, stream, *, schema=None, indent=2)",
    "dumps_all": "(docs, *, schema=None, indent=2)",
}


class TestModule:
    def test_docstring_and_exports(self):
        assert tesvorn.__doc__ == "The tesvorn module."
        for name in FUNCTIONS:
            assert callable(getattr(tesvorn, name))
        for name in ("Schema", "YamlScalar", "YamlMapping", "YamlSequence", "YamlIter"):
            assert isinstance(getattr(tesvorn, name), type)

    @pytest.mark.parametrize("name,signature", FUNCTIONS.items())
    def test_signatures(self, name, signature):
        fn = getattr(tesvorn, name)
        assert str(inspect.signature(fn)) == signature
        assert not fn.__doc__  # the docstring is only the text signature

    def test_class_bases_and_docs(self):
        assert tesvorn.YamlMapping.__bases__ == (dict,)
        assert tesvorn.YamlSequence.__bases__ == (list,)
        assert tesvorn.YamlScalar.__bases__ == (object,)
        assert tesvorn.Schema.__bases__ == (object,)
        assert tesvorn.YamlIter.__doc__ in ("", None)
        assert str(inspect.signature(tesvorn.YamlMapping)) == (
            "(mapping=None, *, style='block', tag=None, schema=None)")
        assert str(inspect.signature(tesvorn.YamlSequence)) == (
            "(iterable=None, *, style='block', tag=None, schema=None)")
        assert str(inspect.signature(tesvorn.YamlScalar)) == "(value, *, style='plain', tag=None)"
        assert tesvorn.YamlMapping.__doc__.startswith("A YAML mapping node. Subclass of dict;")
        assert tesvorn.YamlScalar.__doc__ == (
            "A YAML scalar document node (int, float, bool, str, or null).")

    def test_yamliter_cannot_be_created(self):
        with pytest.raises(TypeError):
            tesvorn.YamlIter()


class TestExceptions:
    @pytest.mark.parametrize("name", ["ParseError", "LoaderError", "DumperError"])
    def test_hierarchy(self, name):
        cls = getattr(tesvorn, name)
        assert cls.__bases__ == (tesvorn.TesvornError,)
        assert f"{cls.__module__}.{cls.__qualname__}" == f"tesvorn.{name}"
        assert isinstance(cls("x"), tesvorn.TesvornError)
        assert str(cls("x")) == "x"

    def test_base(self):
        assert tesvorn.TesvornError.__bases__ == (Exception,)
        assert tesvorn.TesvornError.__module__ == "tesvorn"
        assert tesvorn.TesvornError.__doc__ is None


class TestArguments:
    @pytest.mark.parametrize("fn", [tesvorn.loads, tesvorn.loads_all, tesvorn.iter_loads_all])
    def test_text_must_be_str(self, fn):
        with pytest.raises(TypeError, match=r"^argument 'text': "):
            fn(b"a: 1")
        with pytest.raises(TypeError, match=r"^argument 'text': "):
            fn(text=None)

    @pytest.mark.parametrize("name", sorted(FUNCTIONS))
    def test_schema_must_be_schema(self, name):
        fn = getattr(tesvorn, name)
        args = ("x",) if name in ("loads", "loads_all", "iter_loads_all", "load", "load_all",
                                  "iter_load_all", "dumps", "dumps_all") else ("x", None)
        with pytest.raises(TypeError) as info:
            fn(*args, schema=42)
        assert str(info.value) == "argument 'schema': 'int' object is not an instance of 'Schema'"

    def test_schema_is_keyword_only(self):
        with pytest.raises(TypeError):
            tesvorn.loads("a", None)
        with pytest.raises(TypeError):
            tesvorn.dumps({}, None)

    def test_indent(self):
        with pytest.raises(OverflowError):
            tesvorn.dumps({"a": 1}, indent=-1)
        with pytest.raises(TypeError, match=r"^argument 'indent': "):
            tesvorn.dumps({"a": 1}, indent="2")
        with pytest.raises(TypeError, match=r"^argument 'indent': "):
            tesvorn.dumps({"a": 1}, indent=2.0)

    def test_call_shape_errors(self):
        with pytest.raises(TypeError, match="missing required argument 'text'"):
            tesvorn.loads()
        with pytest.raises(TypeError, match="unexpected keyword argument 'txt'"):
            tesvorn.loads(txt="a")
        with pytest.raises(TypeError, match="given by name"):
            tesvorn.loads("a", text="b")
        with pytest.raises(TypeError, match="positional"):
            tesvorn.dump({}, None, None)
