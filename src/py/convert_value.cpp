// The general value converter (`py_to_node`): Python values into trees,
// with schema dumpers, and the conversion of values assigned into node
// objects.
#include "core/base64.hpp"
#include "py/convert_detail.hpp"

namespace tesvorn::py {

using namespace detail;

namespace {

YamlScalar& set_scalar(YamlNode& out) {
    return out.emplace_scalar();
}

PyObject* mapping_abc() {
    static PyObject* cls = nullptr;  // kept for the life of the process
    if (cls == nullptr) {
        ref module = ref::steal(PyImport_ImportModule("collections.abc"));
        if (!module) return nullptr;
        cls = PyObject_GetAttrString(module.get(), "Mapping");
    }
    return cls;
}

/// Calls the dumper and converts its data; the tag it returns replaces the
/// node's own.
bool apply_dumper(PyObject* func, PyObject* obj, SchemaObject* schema, ConvertContext& ctx,
                  YamlNode& out) {
    PyTypeObject* type = Py_TYPE(obj);
    // Data returned by a dumper is converted with the same dumpers: bound
    // the nesting so a dumper that returns its own type again fails cleanly.
    constexpr int kMaxDumperDepth = 200;
    if (ctx.dumper_depth >= kMaxDumperDepth) {
        raise_dumper_recursion(type);
        return false;
    }
    ref result = ref::steal(PyObject_CallOneArg(func, obj));
    if (!result) {
        ref exc = ref::steal(PyErr_GetRaisedException());
        raise_dumper_raised(type, exc.get());
        return false;
    }
    PyObject* r = result.get();
    if (!PyTuple_Check(r) || PyTuple_GET_SIZE(r) != 2 || !PyUnicode_Check(PyTuple_GET_ITEM(r, 0))) {
        std::string failure;
        if (!PyTuple_Check(r)) {
            failure = "TypeError: '" + type_qualname(Py_TYPE(r)) +
                      "' object cannot be converted to 'tuple'";
        } else if (PyTuple_GET_SIZE(r) != 2) {
            failure = "ValueError: expected tuple of length 2, but got tuple of length " +
                      std::to_string(PyTuple_GET_SIZE(r));
        } else {
            failure = "TypeError: '" + type_qualname(Py_TYPE(PyTuple_GET_ITEM(r, 0))) +
                      "' object cannot be converted to 'str'";
        }
        raise_dumper_bad_result(type, failure);
        return false;
    }
    std::string_view tag;
    if (!str_utf8(PyTuple_GET_ITEM(r, 0), tag)) return false;
    std::string tag_text(tag);
    ++ctx.dumper_depth;
    const bool ok = to_node(PyTuple_GET_ITEM(r, 1), schema, ctx, out);
    --ctx.dumper_depth;
    if (!ok) return false;
    if (auto* m = out.mapping()) {
        m->tag = std::move(tag_text);
    } else if (auto* s = out.sequence()) {
        s->tag = std::move(tag_text);
    } else if (auto* sc = out.scalar()) {
        sc->props.mut().tag = std::move(tag_text);
    }
    return true;
}

}  // namespace

namespace detail {

bool exact_scalar(PyObject* obj, YamlNode& out) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyUnicode_Type) {
        Py_ssize_t n = 0;
        const char* p = PyUnicode_AsUTF8AndSize(obj, &n);
        if (p == nullptr) {
            PyErr_Clear();
            return false;
        }
        set_scalar(out).value = ScalarValue::of_str(std::string(p, static_cast<std::size_t>(n)));
        return true;
    }
    if (type == &PyLong_Type) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow != 0) return false;
        set_scalar(out).value = ScalarValue::of_int(v);
        return true;
    }
    if (type == &PyFloat_Type) {
        set_scalar(out).value = ScalarValue::of_float(PyFloat_AS_DOUBLE(obj));
        return true;
    }
    if (type == &PyBool_Type) {
        set_scalar(out).value = ScalarValue::of_bool(obj == Py_True);
        return true;
    }
    if (obj == Py_None) {
        set_scalar(out);
        return true;
    }
    return false;
}

bool key_string(PyObject* key, std::string& out) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "mapping keys must be str, not %.200s",
                     Py_TYPE(key)->tp_name);
        return false;
    }
    std::string_view text;
    if (!str_utf8(key, text)) return false;
    out.assign(text);
    return true;
}

YamlNode* entry_slot(YamlMapping& m, PyObject* key) {
    std::string text;
    if (!key_string(key, text)) return nullptr;
    return &m.entries.at(m.entries.insert(std::move(text), YamlEntry{})).value.value;
}

bool copy_scalar_object(PyObject* obj, YamlNode& out) {
    ScalarObject* s = as_scalar(obj);
    SharedBorrow borrow(s->borrow);
    if (!borrow.ok()) return false;
    out = s->node;
    return true;
}

bool to_node(PyObject* obj, SchemaObject* schema, ConvertContext& ctx, YamlNode& out) {
    const bool dumpers = schema_has_dumpers(schema);
    if (!dumpers && exact_scalar(obj, out)) return true;
    RecursionGuard guard(kDumping, RecursionGuard::kMaxDumpDepth);
    if (!guard) return false;
    const auto convert = [&](PyObject* item, YamlNode& node) {
        return to_node(item, schema, ctx, node);
    };
    if (dumpers) {
        ref func;
        if (!schema_find_dumper(schema, obj, func)) return false;
        if (func) return apply_dumper(func.get(), obj, schema, ctx, out);
    }
    // A node object as it is now: its tree with its Python part's values.
    if (is_container_object(obj)) return Extractor(schema, ctx, false).convert(obj, out);
    if (is_scalar_object(obj)) return copy_scalar_object(obj, out);
    if (auto scalar = py_primitive_to_scalar(obj)) {
        out = YamlNode(std::move(*scalar));
        return true;
    }
    // A str that is no primitive cannot be encoded (lone surrogates): raise
    // that, rather than taking it as an iterable of such strings.
    if (PyUnicode_Check(obj)) {
        std::string_view text;
        if (!str_utf8(obj, text)) return false;
    }
    if (PyTuple_Check(obj) || PyList_Check(obj)) {
        ProgressMark mark(ctx.in_progress(), obj);
        if (!mark.fresh()) {
            raise_recursive_structure(container_kind(obj));
            return false;
        }
        return items_to_sequence(obj, convert, out.emplace_sequence());
    }
    if (PyBytes_Check(obj) || PyByteArray_Check(obj)) {
        const bool b = PyBytes_Check(obj);
        const auto* data = reinterpret_cast<const unsigned char*>(b ? PyBytes_AS_STRING(obj)
                                                                    : PyByteArray_AS_STRING(obj));
        const auto n =
            static_cast<std::size_t>(b ? PyBytes_GET_SIZE(obj) : PyByteArray_GET_SIZE(obj));
        YamlScalar& s = set_scalar(out);
        s.value = ScalarValue::of_str(base64_encode({data, n}));
        s.props.mut().tag = "!!binary";
        return true;
    }
    bool is_date = false;
    if (!is_date_or_datetime(obj, is_date)) return false;
    if (is_date) {
        ref text = ref::steal(PyObject_CallMethod(obj, "isoformat", nullptr));
        if (!text) return false;
        if (!PyUnicode_Check(text.get())) {
            PyErr_Format(PyExc_TypeError, "isoformat() must return str, not %.200s",
                         Py_TYPE(text.get())->tp_name);
            return false;
        }
        std::string_view utf8;
        if (!str_utf8(text.get(), utf8)) return false;
        YamlScalar& s = set_scalar(out);
        s.value = ScalarValue::of_str(std::string(utf8));
        s.props.mut().tag = "!!timestamp";
        return true;
    }
    if (PyDict_Check(obj)) {
        ProgressMark mark(ctx.in_progress(), obj);
        if (!mark.fresh()) {
            raise_recursive_structure("dict");
            return false;
        }
        return dict_to_mapping(obj, convert, out.emplace_mapping());
    }
    PyObject* abc = mapping_abc();
    if (abc == nullptr) return false;
    const int is_abc_mapping = PyObject_IsInstance(obj, abc);
    if (is_abc_mapping < 0) return false;
    if (is_abc_mapping) return items_to_mapping(obj, convert, out.emplace_mapping());
    ref it = ref::steal(PyObject_GetIter(obj));
    if (it) return iterator_to_sequence(it.get(), convert, out.emplace_sequence());
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    raise_cannot_convert(obj);
    if (ctx.unconvertible != nullptr && PyErr_Occurred()) {
        PyObject* exc = PyErr_GetRaisedException();
        *ctx.unconvertible = ref::borrow(exc);
        PyErr_SetRaisedException(exc);
    }
    return false;
}

}  // namespace detail

std::optional<YamlScalar> py_primitive_to_scalar(PyObject* obj) {
    YamlScalar s;
    // Fast paths for the exact built-in types.
    if (obj == Py_None) return s;
    if (PyBool_Check(obj)) {
        s.value = ScalarValue::of_bool(obj == Py_True);
        return s;
    }
    if (PyUnicode_CheckExact(obj)) {
        std::string_view text;
        if (!str_utf8(obj, text)) {
            PyErr_Clear();
            return std::nullopt;
        }
        s.value = ScalarValue::of_str(std::string(text));
        return s;
    }
    if (PyFloat_CheckExact(obj)) {
        s.value = ScalarValue::of_float(PyFloat_AS_DOUBLE(obj));
        return s;
    }
    // NumPy's boolean scalar has no __index__: recognise it by name.
    if (std::string_view(Py_TYPE(obj)->tp_name) == "numpy.bool" ||
        std::string_view(Py_TYPE(obj)->tp_name) == "numpy.bool_") {
        const int truth = PyObject_IsTrue(obj);
        if (truth >= 0) {
            s.value = ScalarValue::of_bool(truth != 0);
            return s;
        }
        PyErr_Clear();
    }
    if (PyIndex_Check(obj)) {
        ref index = ref::steal(PyNumber_Index(obj));
        if (index) {
            int overflow = 0;
            const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
            if (overflow == 0 && !(v == -1 && PyErr_Occurred())) {
                s.value = ScalarValue::of_int(v);
                return s;
            }
            if (overflow != 0) {
                // Outside 64 bits: the exact digits, never a float. An
                // integer beyond the interpreter's limit for its decimal
                // text is no primitive at all.
                ref digits = ref::steal(PyNumber_ToBase(index.get(), 10));
                std::string_view text;
                if (digits && str_utf8(digits.get(), text)) {
                    s.value = ScalarValue::of_big_int(std::string(text));
                    return s;
                }
                PyErr_Clear();
                return std::nullopt;
            }
        }
        PyErr_Clear();
    }
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (number != nullptr && (number->nb_float != nullptr || number->nb_index != nullptr)) {
        const double d = PyFloat_AsDouble(obj);
        if (!(d == -1.0 && PyErr_Occurred())) {
            s.value = ScalarValue::of_float(d);
            return s;
        }
        PyErr_Clear();
    }
    if (PyUnicode_Check(obj)) {
        std::string_view text;
        if (str_utf8(obj, text)) {
            s.value = ScalarValue::of_str(std::string(text));
            return s;
        }
        PyErr_Clear();
    }
    return std::nullopt;
}

bool py_to_node(PyObject* obj, SchemaObject* schema, YamlNode& out) {
    return guarded([&]() -> bool {
        ConvertContext ctx;
        return to_node(obj, schema, ctx, out);
    });
}

bool py_to_node_with_fallback(PyObject* obj, SchemaObject* schema, YamlNode& node, ref& value) {
    if (is_container_object(obj)) {
        // The parent holds the object itself, as a dict or list would; its
        // tree node is a placeholder of its kind, read through the object.
        if (is_mapping_object(obj)) {
            node.emplace_mapping();
        } else {
            node.emplace_sequence();
        }
        value = ref::borrow(obj);
        return true;
    }
    ref unconvertible;
    const bool converted = guarded([&]() -> bool {
        ConvertContext ctx;
        ctx.unconvertible = &unconvertible;
        return to_node(obj, schema, ctx, node);
    });
    if (!converted) {
        ref exc = ref::steal(PyErr_GetRaisedException());
        if (!unconvertible || exc.get() != unconvertible.get()) {
            PyErr_SetRaisedException(exc.release());
            return false;
        }
        node = YamlNode(YamlMapping());
        value = ref::borrow(obj);
        return true;
    }
    value = node_to_py(node, schema);
    return static_cast<bool>(value);
}

}  // namespace tesvorn::py
