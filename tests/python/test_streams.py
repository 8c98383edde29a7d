"""Loading from and dumping to stream objects, and the lazy document iterator."""

import gc
import io
import itertools
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tesvorn

READ_TYPE = "stream.read() must return str or bytes"


class Chunked:
    """A stream whose read() hands out `data` in pieces of `sizes` (cycled),
    passed through `wrap`; the `fail_on`-th call raises `exc` instead."""

    def __init__(self, data, sizes=(8192,), wrap=None, fail_on=None, exc=None):
        self.data = data
        self.sizes = itertools.cycle(sizes)
        self.wrap = wrap or (lambda piece: piece)
        self.fail_on = fail_on
        self.exc = exc or OSError("disk gone")
        self.pos = 0
        self.calls = []

    def read(self, size):
        self.calls.append(size)
        if len(self.calls) == self.fail_on:
            raise self.exc
        piece = self.data[self.pos:self.pos + next(self.sizes)]
        self.pos += len(piece)
        return self.wrap(piece)


class Returns:
    """A stream whose read() returns the given values, then ''."""

    def __init__(self, *values):
        self.values = list(values)

    def read(self, size):
        return self.values.pop(0) if self.values else ""


class Recorder:
    """A write-only stream that records every call; `accept` is the type it
    takes, and the `fail_on`-th call raises."""

    def __init__(self, accept=(str, bytes), fail_on=None, log=None):
        self.accept = accept
        self.fail_on = fail_on
        self.calls = []
        self.log = log
        self.flushed = False

    def write(self, data):
        self.calls.append(data)
        if self.log is not None:
            self.log.append("write")
        if len(self.calls) == self.fail_on:
            raise OSError("no space left")
        if not isinstance(data, self.accept):
            raise TypeError("wrong type")
        return "ignored"

    def flush(self):
        self.flushed = True

    def text(self):
        return "".join(d if isinstance(d, str) else d.decode() for d in self.calls
                       if isinstance(d, self.accept))


TEXT = "a: é€😀\nb: [1, 'x y']\n# comment ü\n---\nc: 𝄞\n--- |\n  lit\n...\n"


def plain(docs):
    return [d.to_python() for d in docs]


class TestStreamSources:
    def test_stringio_and_bytesio(self):
        assert tesvorn.load(io.StringIO("a: 1\n")) == {"a": 1}
        assert tesvorn.load(io.BytesIO(b"a: 1\n")) == {"a": 1}
        assert tesvorn.load(io.StringIO("")) is None
        assert tesvorn.load_all(io.BytesIO(b"")) == []

    @pytest.mark.parametrize("mode", ["r", "rb"])
    def test_files(self, tmp_path, mode):
        path = tmp_path / "in.yaml"
        path.write_bytes(TEXT.encode() * 2000)  # several chunks
        with open(path, mode, **({} if "b" in mode else {"encoding": "utf-8"})) as f:
            assert plain(tesvorn.load_all(f)) == plain(tesvorn.loads_all(TEXT * 2000))

    @pytest.mark.parametrize("sizes", [(1,), (3,), (8192,), (2, 5, 1)])
    @pytest.mark.parametrize("wrap", [str, bytes, bytearray, memoryview, list])
    def test_chunk_sizes_and_result_types(self, sizes, wrap):
        # Byte chunks of 1 to 3 bytes split every multi-byte character.
        data = TEXT if wrap is str else TEXT.encode()
        stream = Chunked(data, sizes, wrap)
        assert plain(tesvorn.load_all(stream)) == plain(tesvorn.loads_all(TEXT))
        assert set(stream.calls) == {8192}

    def test_crlf_split_between_chunks(self):
        assert tesvorn.load(Chunked("a: 1\r\nb: 2\r\n", (5, 1))) == {"a": 1, "b": 2}

    def test_load_parses_everything(self):
        assert tesvorn.load(io.StringIO("a: 1\n---\nb: 2\n")) == {"a": 1}
        with pytest.raises(tesvorn.ParseError):
            tesvorn.load(io.StringIO("a: 1\n---\n["))

    def test_str_where_a_stream_is_expected(self):
        with pytest.raises(AttributeError):
            tesvorn.load("a: 1")


class TestReadErrors:
    @pytest.mark.parametrize("value", [None, 42, 1.5, object(), [300], ("a",)])
    def test_wrong_result_type(self, value):
        with pytest.raises(RuntimeError) as info:
            tesvorn.load(Returns("a: ", value))
        assert str(info.value) == READ_TYPE

    @pytest.mark.parametrize("fail_on", [1, 2])
    def test_raising_read_wins_over_parse_error(self, fail_on):
        # Cut short after 'a: "x', the text alone would be a parse error.
        stream = Chunked('a: "xxxxxxxxxxxx"\n', (5,), fail_on=fail_on)
        for load in (tesvorn.load, tesvorn.load_all):
            stream.pos, stream.calls = 0, []
            with pytest.raises(OSError) as info:
                load(stream)
            assert info.value is stream.exc

    def test_read_raising_stop_iteration_does_not_end_the_iterator(self):
        class Stops:
            def read(self, size):
                raise StopIteration

        for load in (tesvorn.load, lambda s: list(tesvorn.iter_load_all(s))):
            with pytest.raises(RuntimeError, match="^stream.read\\(\\) raised StopIteration$") as info:
                load(Stops())
            assert type(info.value.__cause__) is StopIteration

    # Text that does not decode is a parse error where it stands.
    def test_invalid_utf8(self):
        with pytest.raises(tesvorn.ParseError, match="not valid Unicode"):
            tesvorn.load(io.BytesIO(b"\xff\xfe\xff"))

    @pytest.mark.parametrize("size", [1, 4, 8192])
    def test_decode_error_position_counts_from_stream_start(self, size):
        with pytest.raises(tesvorn.ParseError, match="not valid Unicode") as info:
            tesvorn.load(Chunked("é: 1\nb: \xff\n".encode("latin-1").replace(b"\xe9", "é".encode()),
                                 (size,)))
        assert (info.value.line, info.value.column, info.value.offset) == (2, 4, 8)

    @pytest.mark.parametrize("size", [1, 8192])
    def test_stream_ends_inside_a_character(self, size):
        with pytest.raises(tesvorn.ParseError, match="not valid Unicode") as info:
            tesvorn.load(Chunked("a: €".encode()[:-1], (size,)))
        assert (info.value.line, info.value.column) == (1, 4)

    def test_text_does_not_complete_a_split_character(self):
        with pytest.raises(tesvorn.ParseError, match="not valid Unicode"):
            tesvorn.load(Returns(b"a: \xe2\x82", "\xac"))

    def test_str_chunk_with_lone_surrogate(self):
        # Not text that can be read: a parse error, as for loads().
        with pytest.raises(tesvorn.ParseError) as info:
            tesvorn.load(io.StringIO("a: 1\nb: \ud800"))
        assert (info.value.line, info.value.column) == (2, 4)

    @pytest.mark.parametrize("make", [str, bytes])
    @pytest.mark.parametrize("size", [1, 8192])
    @pytest.mark.parametrize("text", ["a: b\0c\n", 'a: "b\0c"\n', "a: 1\n\0"])
    def test_nul_is_an_error_not_an_end(self, make, size, text):
        data = text if make is str else text.encode()
        with pytest.raises(tesvorn.ParseError) as info:
            tesvorn.load_all(Chunked(data, (size,)))
        expected = f"found invalid character NUL at character {text.index(chr(0))} "
        assert expected in str(info.value)
        with pytest.raises(tesvorn.ParseError, match=expected):
            list(tesvorn.iter_loads_all(text))


class TestIterator:
    def test_class(self):
        assert tesvorn.YamlIter.__doc__ == ""
        with pytest.raises(TypeError):
            tesvorn.YamlIter()
        it = tesvorn.iter_loads_all("a")
        assert iter(it) is it and type(it) is tesvorn.YamlIter

    def test_matches_loads_all_with_metadata(self):
        text = "%YAML 1.2\n--- a\n...\n--- !!str b\n---\nc: [1]\n"
        got = list(tesvorn.iter_load_all(Chunked(text.encode(), (3,))))
        want = tesvorn.loads_all(text)
        assert plain(got) == plain(want)
        assert [tesvorn.dumps(d) for d in got] == [tesvorn.dumps(d) for d in want]
        assert [(d.explicit_start, d.explicit_end, d.yaml_version) for d in got] == [
            (d.explicit_start, d.explicit_end, d.yaml_version) for d in want]

    def test_nothing_read_before_first_next(self):
        stream = Chunked("a: 1\n")
        it = tesvorn.iter_load_all(stream)
        assert stream.calls == []
        assert next(it) == {"a": 1}

    def test_reads_only_as_far_as_the_next_document(self):
        doc = "---\n" + "".join(f"k{i}: {'v' * 90}\n" for i in range(1000))  # ~100 KB
        stream = Chunked((doc * 3).encode())
        it = tesvorn.iter_load_all(stream)
        for n in (1, 2):
            assert len(next(it)) == 1000
            assert n * len(doc) <= stream.pos <= n * len(doc) + 2 * 8192
        assert len(next(it)) == 1000
        assert list(it) == [] and stream.pos == 3 * len(doc)

    @pytest.mark.parametrize("make", ["text", "stream"])
    def test_syntax_error_raised_by_the_next_that_reaches_it(self, make):
        text = "a: 1\n---\nb: [\n"
        it = tesvorn.iter_loads_all(text) if make == "text" else tesvorn.iter_load_all(
            io.StringIO(text))
        assert next(it) == {"a": 1}
        with pytest.raises(tesvorn.ParseError):
            next(it)

    def test_stop_iteration_repeats(self):
        it = tesvorn.iter_loads_all("")
        assert list(it) == []
        for _ in range(3):
            with pytest.raises(StopIteration):
                next(it)

    def test_read_failure_after_earlier_documents(self):
        stream = Chunked("a: 1\n---\nb: 2\n---\nc: 3\n", (9,), fail_on=3)
        it = tesvorn.iter_load_all(stream)
        assert next(it) == {"a": 1}
        with pytest.raises(OSError) as info:
            next(it)
        assert info.value is stream.exc
        assert list(it) == []

    def test_read_failure_behind_a_parse_error_is_not_lost(self):
        # The failed read cuts a quoted scalar short: the parser reports that
        # first, the read() exception comes with the next call, then the end.
        stream = Chunked('a: 1\n---\nb: "xxxxxxxxxxxxxxxxxxxxxxx"\n', (10,), fail_on=3)
        it = tesvorn.iter_load_all(stream)
        assert next(it) == {"a": 1}
        with pytest.raises(tesvorn.ParseError, match="unexpected end of stream"):
            next(it)
        with pytest.raises(OSError) as info:
            next(it)
        assert info.value is stream.exc
        assert list(it) == []

    def test_documents_before_undecodable_bytes_are_returned(self):
        data = b"a: 1\n---\nb: 2\n---\nc: " + b"x" * 100 + b"\xff\n"
        it = tesvorn.iter_load_all(io.BytesIO(data))
        assert next(it) == {"a": 1}
        assert next(it) == {"b": 2}
        with pytest.raises(tesvorn.ParseError, match="not valid Unicode") as info:
            next(it)
        assert (info.value.line, info.value.column) == (5, 104)

    def test_reentrant_next_from_read(self):
        class Reentrant:
            def read(self, size):
                next(self.it)

        stream = Reentrant()
        stream.it = tesvorn.iter_load_all(stream)
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            next(stream.it)

    def test_loader_may_not_reenter_but_may_register(self):
        schema = tesvorn.Schema()
        its = []

        def loader(value):
            schema.add_loader("!late", str.upper)  # allowed under an iterator
            return next(its[0])

        schema.add_loader("!t", loader)
        its.append(tesvorn.iter_loads_all("x: !t 1\n---\ny: !late v\n", schema=schema))
        with pytest.raises(tesvorn.LoaderError, match="(?m)RuntimeError: Already borrowed$"):
            next(its[0])
        assert next(its[0]) == {"y": "V"}

    def test_cycle_through_stream_is_collected(self):
        class Holder:
            def read(self, size):
                return ""

        stream = Holder()
        stream.it = tesvorn.iter_load_all(stream)
        alive = weakref.ref(stream)
        del stream
        gc.collect()
        assert alive() is None


class TestStreamWriter:
    def test_stringio_and_bytesio(self):
        doc = {"a": 1, "b": ["é€😀"]}
        out = io.StringIO()
        tesvorn.dump(doc, out)
        assert out.getvalue() == tesvorn.dumps(doc)
        raw = io.BytesIO()
        tesvorn.dump(doc, raw)
        assert raw.getvalue() == tesvorn.dumps(doc).encode()

    @pytest.mark.parametrize("mode", ["w", "wb"])
    def test_files(self, tmp_path, mode):
        docs = tesvorn.loads_all(TEXT)
        path = tmp_path / "out.yaml"
        with open(path, mode, **({} if "b" in mode else {"encoding": "utf-8"})) as f:
            tesvorn.dump_all(docs, f)
        assert path.read_bytes() == tesvorn.dumps_all(docs).encode()

    def test_bytes_only_stream(self):
        doc = {f"k{i}": "ü" * 100 for i in range(2000)}  # several fragments
        out = Recorder(accept=bytes)
        tesvorn.dump(doc, out)
        # One str attempt on the first fragment, bytes from then on.
        assert isinstance(out.calls[0], str)
        assert all(isinstance(d, bytes) for d in out.calls[1:]) and len(out.calls) > 3
        assert out.text() == tesvorn.dumps(doc)

    def test_fragments_not_lines_and_no_flush(self):
        small = Recorder()
        tesvorn.dump({"a": 1, "b": [1, 2]}, small)
        assert len(small.calls) == 1
        big = Recorder()
        doc = {f"key{i}": list(range(20)) for i in range(5000)}
        tesvorn.dump(doc, big)
        text = tesvorn.dumps(doc)
        assert big.text() == text
        assert 1 < len(big.calls) <= len(text) // 60000 + 1
        assert not big.flushed

    def test_mode_is_decided_once(self):
        class StrThenNothing(Recorder):
            def write(self, data):
                if self.calls:
                    raise TypeError("str no more")
                return super().write(data)

        out = StrThenNothing()
        with pytest.raises(TypeError, match="str no more"):
            tesvorn.dump_all([{"a": 1}, {"b": 2}], out)
        assert out.calls == ["---\na: 1\n"]  # no retry with bytes

    def test_write_failure_stops_writing(self):
        out = Recorder(fail_on=2)
        with pytest.raises(OSError, match="no space left"):
            tesvorn.dump_all([{"a": 1}, {"b": 2}, {"c": 3}], out)
        assert len(out.calls) == 2  # nothing after the failure

    def test_both_attempts_fail_raises_the_bytes_one(self):
        class Refuses:
            def write(self, data):
                raise (ValueError if isinstance(data, str) else KeyError)("no")

        with pytest.raises(KeyError):
            tesvorn.dump({"a": 1}, Refuses())

    def test_missing_write_after_conversion(self):
        with pytest.raises(AttributeError):
            tesvorn.dump({"a": 1}, object())
        with pytest.raises(RuntimeError, match="^Cannot convert"):
            tesvorn.dump(object(), object())


class TestDumpAll:
    def test_markers(self):
        out = io.StringIO()
        tesvorn.dump_all([{"a": 1}, {"b": 2}], out)
        assert out.getvalue() == "---\na: 1\n---\nb: 2\n"
        out = io.StringIO()
        tesvorn.dump_all([{"a": 1}], out)
        assert out.getvalue() == "a: 1\n"
        out = io.StringIO()
        tesvorn.dump_all([], out)
        assert out.getvalue() == ""

    def test_same_text_as_dumps_all(self):
        docs = tesvorn.loads_all("%YAML 1.2\n--- a\n...\n%TAG !e! tag:e,2000:\n--- !e!x b\n")
        out = io.StringIO()
        tesvorn.dump_all(docs, out)
        assert out.getvalue() == tesvorn.dumps_all(docs)

    def test_generator_consumed_before_writing(self):
        log = []

        def docs():
            for i in range(3):
                log.append(f"yield {i}")
                yield {"n": i}

        tesvorn.dump_all(docs(), Recorder(log=log))
        assert log == ["yield 0", "yield 1", "yield 2", "write", "write", "write"]

    def test_convert_and_write_alternate(self):
        class Thing:
            pass

        log = []
        schema = tesvorn.Schema()
        schema.add_dumper(Thing, lambda t: (log.append("convert") or "!thing", "x"))
        tesvorn.dump_all([Thing(), Thing()], Recorder(log=log), schema=schema)
        assert log == ["convert", "write", "convert", "write"]

    def test_later_conversion_failure(self):
        out = io.StringIO()
        with pytest.raises(RuntimeError, match="^Cannot convert"):
            tesvorn.dump_all([{"a": 1}, object()], out)
        assert out.getvalue() == "---\na: 1\n"
        with pytest.raises(RuntimeError, match="^Cannot convert"):
            tesvorn.dumps_all([{"a": 1}, object()])


# ---- property: a stream in any chunking loads like its text -------------------

chars = st.characters(codec="utf-8", exclude_categories=["Cs", "Cc"]) | st.sampled_from(
    "\n\t é€😀:#-'\"")
strings = st.text(chars, max_size=8)
scalars = st.none() | st.booleans() | st.integers(-2**63, 2**63 - 1) | st.floats(
    allow_nan=False) | strings
values = st.recursive(
    scalars, lambda inner: st.lists(inner, max_size=4) | st.dictionaries(strings, inner, max_size=4),
    max_leaves=12)


class TestStreamMatchesText:
    @settings(max_examples=300, deadline=None)
    @given(docs=st.lists(values, max_size=4), comment=st.booleans(),
           sizes=st.lists(st.integers(1, 9), min_size=1, max_size=4),
           wrap=st.sampled_from([str, bytes, bytearray, memoryview]))
    def test_any_chunking(self, docs, comment, sizes, wrap):
        text = ("# ça €\n" if comment else "") + tesvorn.dumps_all(docs)
        want = tesvorn.loads_all(text)
        data = text if wrap is str else text.encode()
        got = tesvorn.load_all(Chunked(data, sizes, wrap))
        assert plain(got) == plain(want)
        assert [tesvorn.dumps(d) for d in got] == [tesvorn.dumps(d) for d in want]
        lazily = list(tesvorn.iter_load_all(Chunked(data, sizes, wrap)))
        assert plain(lazily) == plain(want)
