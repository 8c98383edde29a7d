#include "py/positions.hpp"

#include <cstdio>
#include <string>

#include "core/lines.hpp"
#include "py/errors.hpp"
#include "py/node_common.hpp"
#include "py/nodes.hpp"

namespace tesvorn::py {

namespace {

/// Sets the attributes line and column (from 1) and offset (characters
/// from the start of the stream) of an exception object.
bool set_position(PyObject* exc, std::size_t line, std::size_t column, std::size_t offset) {
    const std::pair<const char*, std::size_t> fields[] = {
        {"line", line}, {"column", column}, {"offset", offset}};
    for (const auto& [name, value] : fields) {
        ref v = ref::steal(PyLong_FromSize_t(value));
        if (!v || PyObject_SetAttrString(exc, name, v.get()) < 0) return false;
    }
    return true;
}

bool add_note(PyObject* exc, const std::string& note) {
    ref text = make_str(note);
    if (!text) return false;
    ref done = ref::steal(PyObject_CallMethod(exc, "add_note", "O", text.get()));
    return static_cast<bool>(done);
}

}  // namespace

ref position_tuple(const SourceRef& source, std::uint32_t offset) {
    if (!source || offset == kNoPosition) return ref::borrow(Py_None);
    const TextPosition p = source->lines.locate(source->text, offset);
    return ref::steal(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(p.line),
                                    static_cast<Py_ssize_t>(p.column + 1)));
}

const SourceRef& collection_source(PyObject* self) noexcept {
    return is_mapping_object(self) ? as_mapping(self)->inner.get().layout.source
                                   : as_sequence(self)->inner.get().layout.source;
}

PyObject* get_position(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        // A collection starts where its own text does; a scalar object has
        // a position only as the root of a loaded document.
        SourceRef source;
        std::uint32_t offset = kNoPosition;
        {
            SharedBorrow borrow(node_borrow(self));
            if (!borrow.ok()) return nullptr;
            if (is_container_object(self)) {
                const CollectionLayout& l = is_mapping_object(self)
                                                ? as_mapping(self)->inner.get().layout
                                                : as_sequence(self)->inner.get().layout;
                if (l.has()) {
                    source = l.source;
                    offset = l.start;
                }
            } else if (const DocLayout* l = as_scalar(self)->meta.get().layout.get();
                       l && l->has()) {
                source = l->source;
                offset = l->root_begin;
            }
        }
        return position_tuple(source, offset).release();
    });
}

bool text_utf8(PyObject* str, std::string_view& out) {
    Py_ssize_t n = 0;
    if (const char* p = PyUnicode_AsUTF8AndSize(str, &n)) {
        out = std::string_view(p, static_cast<std::size_t>(n));
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
    // Where the first lone surrogate stands, as the scanner counts.
    const Py_ssize_t len = PyUnicode_GetLength(str);
    const int kind = PyUnicode_KIND(str);
    const void* data = PyUnicode_DATA(str);
    Marker m;
    Py_UCS4 c = 0;
    for (Py_ssize_t i = 0; i < len; ++i) {
        c = PyUnicode_READ(kind, data, i);
        if (c >= 0xD800 && c <= 0xDFFF) break;
        ++m.index;
        ++m.col;
        const bool crlf = c == '\r' && i + 1 < len && PyUnicode_READ(kind, data, i + 1) == '\n';
        if ((c == '\n' || c == '\r') && !crlf) {
            ++m.line;
            m.col = 0;
        }
    }
    char code[8];
    std::snprintf(code, sizeof code, "%04X", static_cast<unsigned>(c));
    raise_parse_error(
        ScanError(m, std::string("found a lone surrogate U+") + code + ", which is not text"), {},
        nullptr);
    return false;
}

void raise_parse_error(const ScanError& error, const Opener& opened, const SourceText* source) {
    // Text that reads but cannot load as its standard tag says (!!int 1.5)
    // is refused as a loader would refuse it.
    const bool tag = error.kind == ScanError::Kind::Tag;
    ref message = make_str((tag ? "YAML loader error: " : "YAML parse error: ") + error.display());
    if (!message) return;
    ref exc = ref::steal(PyObject_CallOneArg(
        tag ? exceptions().loader_error : exceptions().parse_error, message.get()));
    if (!exc) return;
    const Marker& m = error.mark;
    if (!set_position(exc.get(), m.line, m.col + 1, m.index)) return;
    // A stream keeps only the text of the document being read.
    if (source && m.pos >= source->base && m.pos - source->base <= source->text.size() &&
        !add_note(exc.get(), caret_excerpt(source->text, m.pos - source->base, m.col)))
        return;
    if (opened.what) {
        const std::string note = std::string("the ") + opened.what + " started at line " +
                                 std::to_string(opened.mark.line) + ", column " +
                                 std::to_string(opened.mark.col + 1);
        if (!add_note(exc.get(), note)) return;
    }
    PyErr_SetRaisedException(exc.release());
}

void locate_loader_error(const SourceRef& source, std::uint32_t offset) {
    if (!source || offset == kNoPosition || !PyErr_ExceptionMatches(exceptions().loader_error))
        return;
    ref exc = ref::steal(PyErr_GetRaisedException());
    const bool ok = guarded([&]() -> bool {
        // One that says where already came from a node inside this one.
        ref line = ref::steal(PyObject_GetAttrString(exc.get(), "line"));
        if (!line) return false;
        if (line.get() != Py_None) return true;
        const TextPosition p = source->lines.locate(source->text, offset);
        return set_position(exc.get(), p.line, p.column + 1, p.index) &&
               add_note(exc.get(), caret_excerpt(source->text, offset, p.column));
    });
    // When that failed, its own error (say, MemoryError) is raised instead.
    if (ok) PyErr_SetRaisedException(exc.release());
}

}  // namespace tesvorn::py
