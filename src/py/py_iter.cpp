#include "py/py_iter.hpp"

#include <memory>
#include <new>
#include <optional>

#include "core/builder.hpp"
#include "core/parser.hpp"
#include "py/borrow.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"
#include "py/schema.hpp"
#include "py/streaming.hpp"

namespace tesvorn::py {

namespace {

PyTypeObject* g_iter_type = nullptr;

struct IterObject {
    PyObject_HEAD
    BorrowFlag borrow;
    std::optional<Parser<CharsSource>> parser;
    Builder builder;
    CoercionTags coercion;
    PyObject* schema;  // owned, or null
    std::shared_ptr<ErrorSlot> slot;  // stream input only
    bool done;
};

IterObject* as_iter(PyObject* o) { return reinterpret_cast<IterObject*>(o); }

void iter_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    IterObject* it = as_iter(self);
    Py_CLEAR(it->schema);
    it->slot.~shared_ptr();
    it->builder.~Builder();
    it->parser.~optional();
    it->borrow.~BorrowFlag();
    type->tp_free(self);
    Py_DECREF(type);
}

int iter_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_iter(self)->schema);
    return 0;
}

int iter_clear(PyObject* self) {
    Py_CLEAR(as_iter(self)->schema);
    return 0;
}

/// Raises the exception parked by a failed read(), if any.
bool raise_stream_error(IterObject* it) {
    if (!it->slot) return false;
    PyObject* exc = it->slot->take();
    if (!exc) return false;
    it->done = true;
    PyErr_SetRaisedException(exc);
    return true;
}

PyObject* iter_next(PyObject* self) {
    return guarded([&]() -> PyObject* {
        IterObject* it = as_iter(self);
        ExclusiveBorrow borrow(it->borrow);
        if (!borrow.ok()) return nullptr;
        if (it->done || !it->parser) return nullptr;  // StopIteration
        const std::size_t ends = it->builder.document_end_count();
        Event event;
        Marker mark;
        for (;;) {
            Status parsed = it->parser->parse_into(event, mark);
            if (!parsed.ok()) {
                raise_parse_error(parsed.error());
                return nullptr;
            }
            if (raise_stream_error(it)) return nullptr;
            it->builder.absorb_comments(it->parser->pending_comments());
            const bool stream_end = event.type == Event::Type::StreamEnd;
            Status built = it->builder.process_event(std::move(event), mark, it->coercion);
            if (!built.ok()) {
                raise_parse_error(built.error());
                return nullptr;
            }
            if (stream_end) {
                it->done = true;
                break;
            }
            if (it->builder.document_end_count() > ends) break;
        }
        auto& roots = it->builder.roots();
        if (roots.empty()) return nullptr;
        YamlNode root = std::move(roots.front());
        roots.pop_front();
        DocMeta meta;
        auto& metas = it->builder.metadata();
        if (!metas.empty()) {
            meta = std::move(metas.front());
            metas.pop_front();
        }
        auto* schema = it->schema ? reinterpret_cast<SchemaObject*>(it->schema) : nullptr;
        return node_to_doc(std::move(root), std::move(meta), schema).release();
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
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    iter_slots,
};

ref new_iter(CharsSource source, std::shared_ptr<ErrorSlot> slot, SchemaObject* schema) {
    std::uint8_t bits = 0;
    if (!schema_tag_policy(schema, bits)) return ref();
    ref self = ref::steal(PyType_GenericAlloc(g_iter_type, 0));
    if (!self) return self;
    IterObject* it = as_iter(self.get());
    new (&it->borrow) BorrowFlag();
    new (&it->parser) std::optional<Parser<CharsSource>>();
    new (&it->builder) Builder();
    new (&it->slot) std::shared_ptr<ErrorSlot>(std::move(slot));
    it->coercion = CoercionTags{bits};
    it->schema = schema ? Py_NewRef(reinterpret_cast<PyObject*>(schema)) : nullptr;
    it->done = false;
    it->parser.emplace(std::move(source));
    return self;
}

}  // namespace

PyTypeObject* iter_type() noexcept { return g_iter_type; }

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
