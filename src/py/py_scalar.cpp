// YamlScalar: one scalar node with its style, tag and document metadata.
#include <new>

#include "py/convert.hpp"
#include "py/args.hpp"
#include "py/metadata.hpp"
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
    new (&s->meta) DocMeta(std::move(meta));
    return self;
}

PyObject* scalar_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kwlist[] = {"value", "style", "tag", nullptr};
        PyObject* value = nullptr;
        PyObject* style = nullptr;
        PyObject* tag = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OO:YamlScalar", const_cast<char**>(kwlist), &value,
                                         &style, &tag))
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
        } else if (PyBytes_Check(value) || PyByteArray_Check(value)) {
            const bool b = PyBytes_Check(value);
            const auto* data =
                reinterpret_cast<const unsigned char*>(b ? PyBytes_AS_STRING(value) : PyByteArray_AS_STRING(value));
            const auto n = static_cast<std::size_t>(b ? PyBytes_GET_SIZE(value) : PyByteArray_GET_SIZE(value));
            scalar.value = ScalarValue::of_str(base64_encode({data, n}));
            if (!tag_text) tag_text = "!!binary";
        } else {
            bool is_date = false;
            if (!is_date_or_datetime(value, is_date)) return nullptr;
            if (!is_date) {
                PyErr_SetString(PyExc_TypeError,
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
        scalar.tag = std::move(tag_text);
        return alloc_scalar(type, YamlNode(std::move(scalar)), DocMeta{}).release();
    });
}

void scalar_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    ScalarObject* s = as_scalar(self);
    s->meta.~DocMeta();
    s->node.~YamlNode();
    s->borrow.~BorrowFlag();
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot scalar_slots[] = {
    {Py_tp_doc, const_cast<char*>("YamlScalar(value, *, style=\"plain\", tag=None)\n--\n\n"
                                  "A YAML scalar document node (int, float, bool, str, or null).")},
    {Py_tp_new, reinterpret_cast<void*>(scalar_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(scalar_dealloc)},
    {0, nullptr},
};

PyType_Spec scalar_spec = {
    "tesvorn.YamlScalar",
    sizeof(ScalarObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    scalar_slots,
};

}  // namespace

PyTypeObject* scalar_type() noexcept { return g_scalar_type; }

bool init_scalar_type() noexcept {
    if (g_scalar_type) return true;
    g_scalar_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&scalar_spec));
    return g_scalar_type != nullptr;
}

ref new_scalar_object(YamlNode node, DocMeta meta) { return alloc_scalar(g_scalar_type, std::move(node), std::move(meta)); }

}  // namespace tesvorn::py
