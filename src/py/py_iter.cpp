#include "py/py_iter.hpp"

#include <memory>
#include <new>
#include <utility>

#include "core/builder.hpp"
#include "core/parser.hpp"
#include "py/borrow.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"
#include "py/positions.hpp"
#include "py/schema.hpp"
#include "py/streaming.hpp"

namespace tesvorn::py {

namespace {

PyTypeObject* g_iter_type = nullptr;

// Text before the next document is dropped once this much of it piles up.
constexpr std::size_t kRebaseAt = std::size_t{1} << 16;

/// Everything native an iterator owns; one allocation, so that an object
/// whose construction failed half-way holds nothing to destroy.
struct IterState {
    IterState(CharsSource source, std::shared_ptr<ErrorSlot> error_slot, CoercionTags tags)
        : parser(std::move(source)),
          builder(parser.scanner().source().source()),
          coercion(tags),
          slot(std::move(error_slot)) {
        parser.keep_comments(false);
    }

    Parser<CharsSource> parser;
    Builder builder;
    CoercionTags coercion;
    std::shared_ptr<ErrorSlot> slot;  // stream input only
    bool done = false;
};

struct IterObject {
    PyObject_HEAD BorrowFlag borrow;
    IterState* state;  // owned; null once cleared
    ref schema;        // null without a schema
};

IterObject* as_iter(PyObject* o) {
    return reinterpret_cast<IterObject*>(o);
}

void iter_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    IterObject* it = as_iter(self);
    it->schema.reset();
    // Releasing the stream may run Python code; the object is untracked by now.
    delete std::exchange(it->state, nullptr);
    it->schema.~ref();
    it->borrow.~BorrowFlag();
    type->tp_free(self);
    Py_DECREF(type);
}

int iter_traverse(PyObject* self, visitproc visit, void* arg) {
    IterObject* it = as_iter(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(it->schema.get());
    if (IterState* st = it->state) {
        // A stream (or the traceback of a parked read() failure) may refer
        // back to the iterator.
        Py_VISIT(st->parser.scanner().source().stream_object());
        if (st->slot) {
            if (int rc = st->slot->traverse(visit, arg)) return rc;
        }
    }
    return 0;
}

int iter_clear(PyObject* self) {
    IterObject* it = as_iter(self);
    it->schema.reset();
    delete std::exchange(it->state, nullptr);
    return 0;
}

/// Raises the exception parked by a failed read(), if any; the iterator is
/// done after it.
bool raise_stream_error(IterState& st) {
    if (!st.slot) return false;
    PyObject* exc = st.slot->take();
    if (!exc) return false;
    st.done = true;
    PyErr_SetRaisedException(exc);
    return true;
}

/// Parses until one more document is complete (or the stream ends), then
/// converts and returns the oldest completed document; null with no
/// exception set means StopIteration.
PyObject* next_document(IterState& st, SchemaObject* schema) {
    if (st.done) return nullptr;
    // A read() failure parked while the parser reported the input it cut
    // short: the parse error went first, the cause comes now.
    if (raise_stream_error(st)) return nullptr;
    const std::size_t ends = st.builder.document_end_count();
    Event event;
    Marker mark;
    for (;;) {
        Status parsed = st.parser.parse_into(event, mark);
        if (!parsed.ok()) {
            raise_parse_error(parsed.error(), st.parser.open_at_error(),
                              st.parser.scanner().source().source().get());
            return nullptr;
        }
        if (raise_stream_error(st)) return nullptr;
        const bool stream_end = event.type == Event::Type::StreamEnd;
        Status built = st.builder.process_event(std::move(event), mark, st.coercion);
        if (!built.ok()) {
            raise_parse_error(built.error(), {}, st.parser.scanner().source().source().get());
            return nullptr;
        }
        if (stream_end) {
            st.done = true;
            break;
        }
        if (st.builder.document_end_count() > ends) break;
    }
    // Text before the next document is needed no more (the documents read
    // keep what they refer to): let it go once there is a lot of it.
    CharsSource& chars = st.parser.scanner().source();
    const std::size_t base = chars.source()->base;
    const std::size_t from = st.builder.needed_from();
    if (from > base &&
        from - base >= std::max<std::size_t>(kRebaseAt, chars.source()->text.size() / 2)) {
        chars.rebase(from);
        st.builder.set_source(chars.source());
    }
    auto& roots = st.builder.roots();
    if (roots.empty()) return nullptr;
    YamlNode root = std::move(roots.front());
    roots.pop_front();
    DocMeta meta;
    auto& metas = st.builder.metadata();
    if (!metas.empty()) {
        meta = std::move(metas.front());
        metas.pop_front();
    }
    return node_to_doc(std::move(root), std::move(meta), schema).release();
}

PyObject* iter_next(PyObject* self) {
    return guarded([&]() -> PyObject* {
        IterObject* it = as_iter(self);
        // Exclusive: a read() or a loader that calls next() on this same
        // iterator gets "Already borrowed".
        ExclusiveBorrow borrow(it->borrow);
        if (!borrow.ok()) return nullptr;
        if (!it->state) return nullptr;
        return next_document(*it->state, reinterpret_cast<SchemaObject*>(it->schema.get()));
    });
}

PyType_Slot iter_slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_dealloc, reinterpret_cast<void*>(iter_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(iter_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(iter_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iter_next)},
    {0, nullptr},
};

// No tp_new: instances come only from iter_load_all / iter_loads_all, and
// calling the class raises TypeError.
PyType_Spec iter_spec = {
    "tesvorn.YamlIter",
    sizeof(IterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    iter_slots,
};

/// A new iterator (new reference), or null with an exception set.
ref new_iter(CharsSource source, std::shared_ptr<ErrorSlot> slot, SchemaObject* schema) {
    std::uint8_t bits = 0;
    if (!schema_tag_policy(schema, bits)) return ref();
    auto state =
        std::make_unique<IterState>(std::move(source), std::move(slot), CoercionTags{bits});
    ref self = ref::steal(PyType_GenericAlloc(g_iter_type, 0));
    if (!self) return self;
    IterObject* it = as_iter(self.get());
    new (&it->borrow) BorrowFlag();
    it->state = state.release();
    new (&it->schema) ref(ref::borrow(reinterpret_cast<PyObject*>(schema)));
    return self;
}

}  // namespace

PyTypeObject* iter_type() noexcept {
    return g_iter_type;
}

bool init_iter_type() noexcept {
    if (g_iter_type) return true;
    g_iter_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&iter_spec));
    return g_iter_type != nullptr;
}

ref new_text_iter(std::string_view text, SchemaObject* schema) {
    return new_iter(CharsSource::text(std::string(text)), nullptr, schema);
}

ref new_stream_iter(PyObject* stream, SchemaObject* schema) {
    auto slot = std::make_shared<ErrorSlot>();
    return new_iter(CharsSource::stream(stream, slot), slot, schema);
}

}  // namespace tesvorn::py
