// YamlMapping: a dict subclass kept in step with its model mapping `inner`.
#include <new>

#include "py/args.hpp"
#include "py/metadata.hpp"
#include "py/nodes.hpp"
#include "py/schema.hpp"

namespace tesvorn::py {

namespace {

PyTypeObject* g_mapping_type = nullptr;

/// Constructs the native state in freshly allocated memory.
void construct_state(MappingObject* m, YamlMapping inner, DocMeta meta) {
    new (&m->borrow) BorrowFlag();
    new (&m->inner) YamlMapping(std::move(inner));
    new (&m->meta) DocMeta(std::move(meta));
}

/// Allocates an instance of `type` with an empty parent dict and a default
/// native state.
ref alloc_mapping(PyTypeObject* type, YamlMapping inner, DocMeta meta) {
    static PyObject* empty = PyTuple_New(0);  // kept for the life of the process
    if (!empty) return ref();
    ref self = ref::steal(PyDict_Type.tp_new(type, empty, nullptr));
    if (!self) return self;
    construct_state(as_mapping(self.get()), std::move(inner), std::move(meta));
    return self;
}

PyObject* mapping_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kwlist[] = {"mapping", "style", "tag", "schema", nullptr};
        PyObject* mapping = Py_None;
        PyObject* style = nullptr;
        PyObject* tag = Py_None;
        PyObject* schema = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$OOO:YamlMapping", const_cast<char**>(kwlist), &mapping,
                                         &style, &tag, &schema))
            return nullptr;
        YamlMapping inner;
        if (style && !parse_container_style(style, "style", inner.style)) return nullptr;
        if (!arg_optional_str(tag, "tag")) return nullptr;
        if (tag != Py_None) {
            std::string_view text;
            if (!str_utf8(tag, text)) return nullptr;
            inner.tag = std::string(text);
        }
        SchemaObject* s = nullptr;
        if (!arg_schema(schema, s)) return nullptr;
        return alloc_mapping(type, std::move(inner), DocMeta{}).release();
    });
}

void mapping_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, mapping_dealloc)
    MappingObject* m = as_mapping(self);
    m->meta.~DocMeta();
    m->inner.~YamlMapping();
    m->borrow.~BorrowFlag();
    PyDict_Type.tp_dealloc(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

int mapping_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return PyDict_Type.tp_traverse(self, visit, arg);
}

int mapping_clear(PyObject* self) { return PyDict_Type.tp_clear(self); }

PyType_Slot mapping_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "YamlMapping(mapping=None, *, style=\"block\", tag=None, schema=None)\n--\n\n"
                    "A YAML mapping node. Subclass of dict; the parent dict is always kept in\n"
                    "sync with `inner` so that standard dict operations work transparently.")},
    {Py_tp_new, reinterpret_cast<void*>(mapping_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(mapping_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(mapping_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(mapping_clear)},
    {0, nullptr},
};

PyType_Spec mapping_spec = {
    "tesvorn.YamlMapping",
    sizeof(MappingObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    mapping_slots,
};

}  // namespace

PyTypeObject* mapping_type() noexcept { return g_mapping_type; }

bool init_mapping_type() noexcept {
    if (g_mapping_type) return true;
    ref bases = ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyDict_Type)));
    if (!bases) return false;
    g_mapping_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpecWithBases(&mapping_spec, bases.get()));
    return g_mapping_type != nullptr;
}

ref new_mapping_object(YamlMapping inner, DocMeta meta) {
    return alloc_mapping(g_mapping_type, std::move(inner), std::move(meta));
}

}  // namespace tesvorn::py
