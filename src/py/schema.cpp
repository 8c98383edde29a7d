#include "py/schema.hpp"

#include <new>
#include <utility>

#include "core/types.hpp"
#include "py/args.hpp"

namespace tesvorn::py {

namespace {

PyTypeObject* g_schema_type = nullptr;

SchemaObject* as_schema(PyObject* self) {
    return reinterpret_cast<SchemaObject*>(self);
}

PyObject* schema_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
            PyErr_SetString(PyExc_TypeError, "Schema() takes no arguments");
            return nullptr;
        }
        ref self = ref::steal(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        SchemaObject* s = as_schema(self.get());
        new (&s->borrow) BorrowFlag();
        new (&s->loaders) std::unordered_map<std::string, ref>();
        s->coercion_tags = 0;
        new (&s->dumpers) std::vector<std::pair<ref, ref>>();
        return self.release();
    });
}

int schema_clear(PyObject* self) {
    SchemaObject* s = as_schema(self);
    // Move the references out first: releasing one may run arbitrary code,
    // which must find the schema empty rather than half torn down.
    auto loaders = std::move(s->loaders);
    auto dumpers = std::move(s->dumpers);
    s->loaders.clear();
    s->dumpers.clear();
    return 0;
}

int schema_traverse(PyObject* self, visitproc visit, void* arg) {
    SchemaObject* s = as_schema(self);
    Py_VISIT(Py_TYPE(self));
    for (auto& [tag, func] : s->loaders) Py_VISIT(func.get());
    for (auto& [type, func] : s->dumpers) {
        Py_VISIT(type.get());
        Py_VISIT(func.get());
    }
    return 0;
}

void schema_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    schema_clear(self);
    SchemaObject* s = as_schema(self);
    s->loaders.~unordered_map();
    s->dumpers.~vector();
    s->borrow.~BorrowFlag();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* schema_add_loader(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static ArgParser parser("add_loader", {"tag", "func"}, 2, 2);
        PyObject* a[2];
        if (!parser.parse(args, nargs, kwnames, a)) return nullptr;
        if (!arg_str(a[0], "tag")) return nullptr;
        std::string_view tag;
        if (!str_utf8(a[0], tag)) return nullptr;
        std::string key;
        if (tag.substr(0, 2) == "!!") {
            key = "tag:yaml.org,2002:";
            key += tag.substr(2);
        } else {
            key = tag;
        }
        SchemaObject* s = as_schema(self);
        ref func = ref::borrow(a[1]);
        ref replaced;  // released after the borrow: releasing may run code
        {
            ExclusiveBorrow borrow(s->borrow);
            if (!borrow.ok()) return nullptr;
            const std::uint8_t bit = CoercionTags::bit_of(key);
            ref& slot = s->loaders[std::move(key)];
            replaced = std::exchange(slot, std::move(func));
            s->coercion_tags |= bit;
        }
        Py_RETURN_NONE;
    });
}

PyObject* schema_add_dumper(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static ArgParser parser("add_dumper", {"py_type", "func"}, 2, 2);
        PyObject* a[2];
        if (!parser.parse(args, nargs, kwnames, a)) return nullptr;
        SchemaObject* s = as_schema(self);
        ExclusiveBorrow borrow(s->borrow);
        if (!borrow.ok()) return nullptr;
        s->dumpers.emplace_back(ref::borrow(a[0]), ref::borrow(a[1]));
        Py_RETURN_NONE;
    });
}

PyMethodDef schema_methods[] = {
    {"add_loader", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(schema_add_loader)),
     METH_FASTCALL | METH_KEYWORDS,
     "add_loader($self, tag, func)\n--\n\n"
     "Register a loader for a YAML tag.\n\n"
     "`tag` is the tag text; a leading \"!!\" is expanded to \"tag:yaml.org,2002:\".\n"
     "When a node with this tag is loaded, `func` is called with one argument and\n"
     "its return value is used as the loaded object. For a scalar it receives the\n"
     "value that type inference produced, or the raw source text as a str when the\n"
     "tag is one of the standard tags !!null, !!bool, !!int, !!float or !!str; for\n"
     "a mapping or sequence it receives the populated YamlMapping or YamlSequence.\n"
     "Document roots are never passed to loaders. A later registration for the\n"
     "same tag replaces the earlier one."},
    {"add_dumper", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(schema_add_dumper)),
     METH_FASTCALL | METH_KEYWORDS,
     "add_dumper($self, py_type, func)\n--\n\n"
     "Register a dumper for a Python type.\n\n"
     "`func` is called with an object of `py_type` and must return a 2-tuple\n"
     "(tag: str, data), where data is any value the dump conversion accepts\n"
     "(dumpers apply inside it too); the node made from data carries the tag.\n"
     "Dumpers are tried in registration order and the first isinstance() match\n"
     "wins, so register more specific types before their base types."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot schema_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Schema()\n--\n\n"
                       "Per-call registry of custom YAML \u2194 Python type handlers.\n\n"
                       "Pass it as `schema=` to any load or dump function (and to the node\n"
                       "classes' constructors); it has no global state, and one instance can\n"
                       "be reused across calls.")},
    {Py_tp_new, reinterpret_cast<void*>(schema_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(schema_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(schema_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(schema_clear)},
    {Py_tp_methods, schema_methods},
    {0, nullptr},
};

PyType_Spec schema_spec = {
    "tesvorn.Schema",
    sizeof(SchemaObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    schema_slots,
};

}  // namespace

PyTypeObject* schema_type() noexcept {
    return g_schema_type;
}

bool init_schema_type() noexcept {
    if (g_schema_type) return true;
    g_schema_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&schema_spec));
    return g_schema_type != nullptr;
}

bool arg_schema(PyObject* obj, SchemaObject*& out) {
    out = nullptr;
    if (!obj || obj == Py_None) return true;
    if (!is_schema(obj)) {
        PyErr_Format(PyExc_TypeError,
                     "argument 'schema': '%.200s' object is not an instance of 'Schema'",
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    out = as_schema(obj);
    return true;
}

bool schema_tag_policy(SchemaObject* schema, std::uint8_t& out) {
    out = 0;
    if (!schema) return true;
    SharedBorrow borrow(schema->borrow);
    if (!borrow.ok()) return false;
    out = schema->coercion_tags;
    return true;
}

bool schema_find_loader(SchemaObject* schema, std::string_view tag, ref& out) {
    out.reset();
    if (!schema) return true;
    SharedBorrow borrow(schema->borrow);
    if (!borrow.ok()) return false;
    if (schema->loaders.empty()) return true;
    auto it = schema->loaders.find(std::string(tag));
    if (it != schema->loaders.end()) out = it->second.dup();
    return true;
}

bool schema_has_loaders(SchemaObject* schema) {
    if (!schema) return false;
    return !schema->loaders.empty();
}

bool schema_has_dumpers(SchemaObject* schema) {
    if (!schema) return false;
    return !schema->dumpers.empty();
}

bool schema_find_dumper(SchemaObject* schema, PyObject* obj, ref& out) {
    out.reset();
    if (!schema) return true;
    SharedBorrow borrow(schema->borrow);
    if (!borrow.ok()) return false;
    for (const auto& [type, func] : schema->dumpers) {
        const int match = PyObject_IsInstance(obj, type.get());
        if (match < 0) {
            PyErr_Clear();  // an isinstance test that raises is skipped
            continue;
        }
        if (match) {
            out = func.dup();
            return true;
        }
    }
    return true;
}

}  // namespace tesvorn::py
