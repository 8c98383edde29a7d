#include "py/positions.hpp"

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

void raise_parse_error(const ScanError& error, const Opener& opened, const SourceText* source) {
    ref message = make_str("YAML parse error: " + error.display());
    if (!message) return;
    ref exc = ref::steal(PyObject_CallOneArg(exceptions().parse_error, message.get()));
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
