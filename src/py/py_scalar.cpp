// YamlScalar: one scalar node with its style, tag and document metadata.
#include <new>

#include "core/base64.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/metadata.hpp"
#include "py/node_common.hpp"
#include "py/nodes.hpp"

namespace tesvorn::py {

namespace {

PyTypeObject* g_scalar_type = nullptr;

ref alloc_scalar(PyTypeObject* type, YamlNode node, DocMeta meta) {
    ref self = ref::steal(type->tp_alloc(type, 0));
    if (!self) return self;
    ScalarObject* s = as_scalar(self.get());
    new (&s->borrow) BorrowFlag();
    new (&s->node) YamlNode(std::move(node));
    new (&s->meta) MetaRef(std::move(meta));
    return self;
}

PyObject* scalar_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kwlist[] = {"value", "style", "tag", nullptr};
        PyObject* value = nullptr;
        PyObject* style = nullptr;
        PyObject* tag = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OO:YamlScalar",
                                         const_cast<char**>(kwlist), &value, &style, &tag))
            return nullptr;
        if (!arg_optional_str(tag, "tag")) return nullptr;
        ScalarStyle parsed = ScalarStyle::Plain;
        if (style && !parse_scalar_style(style, "style", parsed)) return nullptr;
        std::optional<std::string> tag_text;
        if (tag != Py_None) {
            std::string_view text;
            if (!str_utf8(tag, text)) return nullptr;
            tag_text = std::string(text);
        }
        YamlScalar scalar;
        if (auto primitive = py_primitive_to_scalar(value)) {
            scalar = std::move(*primitive);
        } else if (PyUnicode_Check(value)) {
            // Only a str that cannot be encoded (lone surrogates) gets here:
            // raise that rather than the type error below.
            std::string_view text;
            if (!str_utf8(value, text)) return nullptr;
            PyErr_SetString(PyExc_ValueError, "YamlScalar value cannot be encoded as UTF-8");
            return nullptr;
        } else if (PyBytes_Check(value) || PyByteArray_Check(value)) {
            const bool b = PyBytes_Check(value);
            const auto* data = reinterpret_cast<const unsigned char*>(
                b ? PyBytes_AS_STRING(value) : PyByteArray_AS_STRING(value));
            const auto n =
                static_cast<std::size_t>(b ? PyBytes_GET_SIZE(value) : PyByteArray_GET_SIZE(value));
            scalar.value = ScalarValue::of_str(base64_encode({data, n}));
            if (!tag_text) tag_text = "!!binary";
        } else {
            bool is_date = false;
            if (!is_date_or_datetime(value, is_date)) return nullptr;
            if (!is_date) {
                PyErr_SetString(
                    PyExc_TypeError,
                    "YamlScalar value must be str, int, float, bool, None, bytes, bytearray, "
                    "datetime, or date");
                return nullptr;
            }
            ref text = ref::steal(PyObject_CallMethod(value, "isoformat", nullptr));
            if (!text) return nullptr;
            std::string_view utf8;
            if (!PyUnicode_Check(text.get())) {
                PyErr_Format(PyExc_TypeError, "isoformat() must return str, not %.200s",
                             Py_TYPE(text.get())->tp_name);
                return nullptr;
            }
            if (!str_utf8(text.get(), utf8)) return nullptr;
            scalar.value = ScalarValue::of_str(std::string(utf8));
            if (!tag_text) tag_text = "!!timestamp";
        }
        scalar.style = parsed;
        if (tag_text) scalar.props.mut().tag = std::move(tag_text);
        if (!fit_standard_tag(scalar)) return nullptr;
        return alloc_scalar(type, YamlNode(std::move(scalar)), DocMeta{}).release();
    });
}

void scalar_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    ScalarObject* s = as_scalar(self);
    s->meta.~MetaRef();
    s->node.~YamlNode();
    s->borrow.~BorrowFlag();
    type->tp_free(self);
    Py_DECREF(type);
}

#define TESVORN_METHOD(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

/// The plain value of the node: the scalar's typed value, None otherwise.
ref scalar_value(PyObject* self) {
    ScalarObject* s = as_scalar(self);
    SharedBorrow borrow(s->borrow);
    if (!borrow.ok()) return ref();
    const YamlScalar* sc = s->node.scalar();
    return sc ? scalar_to_py(sc->value) : ref::borrow(Py_None);
}

PyObject* scalar_to_python(PyObject* self, PyObject*) {
    return guarded([&] { return scalar_value(self).release(); });
}

PyObject* scalar_format(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        bool styles, comments, blank;
        if (!parse_format_flags("format", args, nargs, kwnames, styles, comments, blank))
            return nullptr;
        if (!format_object(self, styles, comments, blank)) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* scalar_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        ref value = scalar_value(self);
        if (!value) return nullptr;
        return PyUnicode_FromFormat("YamlScalar(%R)", value.get());
    });
}

PyObject* scalar_richcompare(PyObject* self, PyObject* other, int op) {
    return guarded([&]() -> PyObject* {
        if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
        if (op == Py_NE) {
            const int eq = PyObject_RichCompareBool(self, other, Py_EQ);
            if (eq < 0) return nullptr;
            return PyBool_FromLong(!eq);
        }
        ref mine = scalar_value(self);
        if (!mine) return nullptr;
        ref theirs = is_scalar_object(other) ? scalar_value(other) : ref::borrow(other);
        if (!theirs) return nullptr;
        const int eq = PyObject_RichCompareBool(mine.get(), theirs.get(), Py_EQ);
        if (eq < 0) return nullptr;
        return PyBool_FromLong(eq);
    });
}

/// A new YamlScalar (of this exact class) with a copy of the node and the
/// document metadata; a scalar holds nothing to copy deeper.
PyObject* scalar_copy(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        ScalarObject* s = as_scalar(self);
        SharedBorrow borrow(s->borrow);
        if (!borrow.ok()) return nullptr;
        return alloc_scalar(g_scalar_type, s->node, DocMeta(s->meta.get())).release();
    });
}

PyObject* scalar_deepcopy(PyObject* self, PyObject* memo) {
    (void)memo;
    return scalar_copy(self, nullptr);
}

PyMethodDef scalar_methods[] = {
    {"to_python", TESVORN_METHOD(scalar_to_python), METH_NOARGS,
     "to_python($self, /)\n--\n\nThe plain Python value (same as .value)."},
    {"format", TESVORN_METHOD(scalar_format), METH_FASTCALL | METH_KEYWORDS,
     "format($self, /, *, styles=True, comments=True, blank_lines=True)\n--\n\n"
     "Reset the style (literal for multi-line strings, plain otherwise) and drop the source text."},
    {"__copy__", TESVORN_METHOD(scalar_copy), METH_NOARGS,
     "__copy__($self, /)\n--\n\nA copy with its own node and document metadata."},
    {"__deepcopy__", TESVORN_METHOD(scalar_deepcopy), METH_O,
     "__deepcopy__($self, memo, /)\n--\n\nSame as __copy__()."},
    {nullptr, nullptr, 0, nullptr},
};

#undef TESVORN_METHOD

PyType_Slot scalar_slots[] = {
    {Py_tp_doc, const_cast<char*>("YamlScalar(value, *, style=\"plain\", tag=None)\n--\n\n"
                                  "A YAML scalar document node (int, float, bool, str, or null).")},
    {Py_tp_new, reinterpret_cast<void*>(scalar_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(scalar_dealloc)},
    {Py_tp_methods, scalar_methods},
    {Py_tp_getset, scalar_getset},
    {Py_tp_repr, reinterpret_cast<void*>(scalar_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(scalar_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {0, nullptr},
};

PyType_Spec scalar_spec = {
    "tesvorn.YamlScalar", sizeof(ScalarObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    scalar_slots,
};

}  // namespace

PyTypeObject* scalar_type() noexcept {
    return g_scalar_type;
}

bool init_scalar_type() noexcept {
    if (g_scalar_type) return true;
    g_scalar_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&scalar_spec));
    return g_scalar_type != nullptr;
}

ref new_scalar_object(YamlNode node, DocMeta meta) {
    return alloc_scalar(g_scalar_type, std::move(node), std::move(meta));
}

}  // namespace tesvorn::py
