#include "py/py_iter.hpp"

namespace tesvorn::py {

namespace {

PyTypeObject* g_iter_type = nullptr;

struct IterObject {
    PyObject_HEAD
};

void iter_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot iter_slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_dealloc, reinterpret_cast<void*>(iter_dealloc)},
    {0, nullptr},
};

// No tp_new: instances come only from iter_load_all / iter_loads_all, and
// calling the class raises TypeError.
PyType_Spec iter_spec = {
    "tesvorn.YamlIter",
    sizeof(IterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    iter_slots,
};

}  // namespace

PyTypeObject* iter_type() noexcept { return g_iter_type; }

bool init_iter_type() noexcept {
    if (g_iter_type) return true;
    g_iter_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&iter_spec));
    return g_iter_type != nullptr;
}

}  // namespace tesvorn::py
