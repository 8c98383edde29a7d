// What YamlMapping and YamlSequence share as classes: allocation and
// destruction of the native state, the constructor's arguments, the copies,
// to_python(), format() and repr. Each takes the object type as a template
// parameter; `ClassTraits` says what differs.
#pragma once

#include <new>
#include <type_traits>

#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/metadata.hpp"
#include "py/node_common.hpp"
#include "py/nodes.hpp"
#include "py/schema.hpp"
#include "py/view.hpp"

namespace tesvorn::py {

template <class Obj>
struct ClassTraits;

template <>
struct ClassTraits<MappingObject> {
    using Inner = YamlMapping;
    static constexpr const char* kName = "YamlMapping";
    static constexpr const char* kFirstArg = "mapping";
    static PyTypeObject* base() noexcept { return &PyDict_Type; }
};

template <>
struct ClassTraits<SequenceObject> {
    using Inner = YamlSequence;
    static constexpr const char* kName = "YamlSequence";
    static constexpr const char* kFirstArg = "iterable";
    static PyTypeObject* base() noexcept { return &PyList_Type; }
};

namespace node_class {

/// A new instance of `type` with an empty Python part, owning `inner` and
/// `meta`.
template <class Obj>
ref alloc(PyTypeObject* type, Cow<typename ClassTraits<Obj>::Inner> inner, DocMeta meta) {
    static PyObject* empty = PyTuple_New(0);  // kept for the life of the process
    if (!empty) return ref();
    ref self = ref::steal(ClassTraits<Obj>::base()->tp_new(type, empty, nullptr));
    if (!self) return self;
    Obj* o = reinterpret_cast<Obj*>(self.get());
    new (&o->borrow) BorrowFlag();
    new (&o->inner) Cow<typename ClassTraits<Obj>::Inner>(std::move(inner));
    new (&o->meta) MetaRef(std::move(meta));
    new (&o->contained) ContainedMark();
    if constexpr (std::is_same_v<Obj, MappingObject>)
        new (&o->watch) std::atomic<std::uint8_t>(MappingObject::kUnwatched);
    o->loaded_by_schema = false;
    return self;
}

/// The arguments of the constructor and of __init__: the first argument,
/// style, tag and schema.
struct CtorArgs {
    PyObject* first = Py_None;
    PyObject* style = nullptr;
    PyObject* tag = Py_None;
    SchemaObject* schema = nullptr;
};

template <class Obj>
bool parse_ctor_args(PyObject* args, PyObject* kwargs, CtorArgs& out) {
    static const char* kwlist[] = {ClassTraits<Obj>::kFirstArg, "style", "tag", "schema", nullptr};
    static const std::string format = std::string("|O$OOO:") + ClassTraits<Obj>::kName;
    PyObject* schema = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(kwlist),
                                     &out.first, &out.style, &out.tag, &schema))
        return false;
    return arg_schema(schema, out.schema);
}

template <class Obj>
PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        CtorArgs a;
        if (!parse_ctor_args<Obj>(args, kwargs, a)) return nullptr;
        typename ClassTraits<Obj>::Inner inner;
        if (a.style && !parse_container_style(a.style, "style", inner.style)) return nullptr;
        if (!arg_optional_str(a.tag, "tag")) return nullptr;
        if (a.tag != Py_None) {
            std::string_view text;
            if (!str_utf8(a.tag, text)) return nullptr;
            if (!collection_takes_tag(std::is_same_v<Obj, MappingObject>, text)) return nullptr;
            inner.tag = std::string(text);
        }
        return alloc<Obj>(type, Cow<typename ClassTraits<Obj>::Inner>(std::move(inner)), DocMeta{})
            .release();
    });
}

template <class Obj>
void tp_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, tp_dealloc<Obj>) Obj* o = reinterpret_cast<Obj*>(self);
    o->contained.~ContainedMark();
    o->meta.~MetaRef();
    o->inner.~Cow();
    o->borrow.~BorrowFlag();
    ClassTraits<Obj>::base()->tp_dealloc(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

template <class Obj>
int tp_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return ClassTraits<Obj>::base()->tp_traverse(self, visit, arg);
}

template <class Obj>
int tp_clear(PyObject* self) {
    return ClassTraits<Obj>::base()->tp_clear(self);
}

inline PyObject* copy(PyObject* self, PyObject*) {
    return guarded([&] { return copy_node_object(self, nullptr, false).release(); });
}

inline PyObject* deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const ArgParser parser("__deepcopy__", {"memo"}, 1, 1);
        PyObject* a[1];
        if (!parser.parse(args, nargs, kwnames, a)) return nullptr;
        if (!PyDict_Check(a[0])) {
            PyErr_Format(PyExc_TypeError, "argument 'memo': must be dict, not %.200s",
                         Py_TYPE(a[0])->tp_name);
            return nullptr;
        }
        return copy_node_object(self, a[0], true).release();
    });
}

inline PyObject* to_python(PyObject* self, PyObject*) {
    return guarded([&] { return to_plain(self).release(); });
}

inline PyObject* format(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        bool styles, comments, blank;
        if (!parse_format_flags("format", args, nargs, kwnames, styles, comments, blank))
            return nullptr;
        if (!format_object(self, styles, comments, blank)) return nullptr;
        Py_RETURN_NONE;
    });
}

inline PyObject* repr(PyObject* self) {
    return guarded([&] { return node_repr(self).release(); });
}

/// The type from `spec` with `base` as its base, created once.
inline bool init_type(PyTypeObject*& cache, PyType_Spec& spec, PyTypeObject* base) noexcept {
    if (cache) return true;
    ref bases = ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(base)));
    if (!bases) return false;
    cache = reinterpret_cast<PyTypeObject*>(PyType_FromSpecWithBases(&spec, bases.get()));
    return cache != nullptr;
}

}  // namespace node_class

}  // namespace tesvorn::py
