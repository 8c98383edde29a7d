// YamlSequence: a list subclass kept in step with its model sequence `inner`.
#include <new>

#include "py/args.hpp"
#include "py/metadata.hpp"
#include "py/nodes.hpp"
#include "py/schema.hpp"

namespace tesvorn::py {

namespace {

PyTypeObject* g_sequence_type = nullptr;

/// Constructs the native state in freshly allocated memory.
void construct_state(SequenceObject* m, YamlSequence inner, DocMeta meta) {
    new (&m->borrow) BorrowFlag();
    new (&m->inner) YamlSequence(std::move(inner));
    new (&m->meta) DocMeta(std::move(meta));
}

/// Allocates an instance of `type` with an empty parent list and a default
/// native state.
ref alloc_sequence(PyTypeObject* type, YamlSequence inner, DocMeta meta) {
    ref self = ref::steal(type->tp_alloc(type, 0));  // a zeroed list is a valid empty list
    if (!self) return self;
    construct_state(as_sequence(self.get()), std::move(inner), std::move(meta));
    return self;
}

PyObject* sequence_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kwlist[] = {"iterable", "style", "tag", "schema", nullptr};
        PyObject* iterable = Py_None;
        PyObject* style = nullptr;
        PyObject* tag = Py_None;
        PyObject* schema = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$OOO:YamlSequence", const_cast<char**>(kwlist), &iterable,
                                         &style, &tag, &schema))
            return nullptr;
        YamlSequence inner;
        if (style && !parse_container_style(style, "style", inner.style)) return nullptr;
        if (!arg_optional_str(tag, "tag")) return nullptr;
        if (tag != Py_None) {
            std::string_view text;
            if (!str_utf8(tag, text)) return nullptr;
            inner.tag = std::string(text);
        }
        SchemaObject* s = nullptr;
        if (!arg_schema(schema, s)) return nullptr;
        return alloc_sequence(type, std::move(inner), DocMeta{}).release();
    });
}

void sequence_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, sequence_dealloc)
    SequenceObject* m = as_sequence(self);
    m->meta.~DocMeta();
    m->inner.~YamlSequence();
    m->borrow.~BorrowFlag();
    PyList_Type.tp_dealloc(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

int sequence_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return PyList_Type.tp_traverse(self, visit, arg);
}

int sequence_clear(PyObject* self) { return PyList_Type.tp_clear(self); }

PyType_Slot sequence_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "YamlSequence(iterable=None, *, style=\"block\", tag=None, schema=None)\n--\n\n"
                    "A YAML sequence node. Subclass of list; the parent list is always kept in\n"
                    "sync with `inner` so that standard list operations work transparently.")},
    {Py_tp_new, reinterpret_cast<void*>(sequence_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(sequence_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(sequence_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(sequence_clear)},
    {0, nullptr},
};

PyType_Spec sequence_spec = {
    "tesvorn.YamlSequence",
    sizeof(SequenceObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    sequence_slots,
};

}  // namespace

PyTypeObject* sequence_type() noexcept { return g_sequence_type; }

bool init_sequence_type() noexcept {
    if (g_sequence_type) return true;
    ref bases = ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyList_Type)));
    if (!bases) return false;
    g_sequence_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpecWithBases(&sequence_spec, bases.get()));
    return g_sequence_type != nullptr;
}

ref new_sequence_object(YamlSequence inner, DocMeta meta) {
    return alloc_sequence(g_sequence_type, std::move(inner), std::move(meta));
}

}  // namespace tesvorn::py
