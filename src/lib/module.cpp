// The tesvorn module: initialisation, exception classes and the ten
// top-level functions.
#include <optional>

#include "core/emitter.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/driver.hpp"
#include "py/errors.hpp"
#include "py/nodes.hpp"
#include "py/positions.hpp"
#include "py/py_iter.hpp"
#include "py/schema.hpp"
#include "py/streaming.hpp"

namespace tesvorn::py {

namespace {

// ---- argument handling shared by the functions ------------------------------

struct LoadArgs {
    PyObject* input = nullptr;  // text or stream (borrowed)
    SchemaObject* schema = nullptr;
};

/// The widest indentation step a dump takes: wide enough for any layout,
/// and bounded so that deep documents stay of a size that can be written.
constexpr std::size_t kMaxIndent = 255;

struct DumpArgs {
    PyObject* doc = nullptr;     // doc or docs (borrowed)
    PyObject* stream = nullptr;  // borrowed; null for dumps / dumps_all
    SchemaObject* schema = nullptr;
    std::size_t indent = 2;
};

bool parse_load_args(const ArgParser& parser, bool text_input, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, LoadArgs& out) {
    PyObject* a[2];
    if (!parser.parse(args, nargs, kwnames, a)) return false;
    if (text_input && !arg_str(a[0], "text")) return false;
    out.input = a[0];
    return arg_schema(a[1], out.schema);
}

bool parse_dump_args(const ArgParser& parser, bool to_stream, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, DumpArgs& out) {
    PyObject* a[4];
    if (!parser.parse(args, nargs, kwnames, std::span<PyObject*>(a, to_stream ? 4 : 3)))
        return false;
    out.doc = a[0];
    std::size_t k = 1;
    if (to_stream) out.stream = a[k++];
    if (!arg_schema(a[k++], out.schema)) return false;
    if (a[k] && !arg_size(a[k], "indent", out.indent)) return false;
    if (out.indent > kMaxIndent) {
        PyErr_Format(PyExc_ValueError, "argument 'indent': must be in 0..%zu (0 means 2), not %zu",
                     kMaxIndent, out.indent);
        return false;
    }
    return true;
}

// ---- the load road ------------------------------------------------------------

/// Pauses the cyclic garbage collector for a scope (restoring its state).
class GcPause {
  public:
    GcPause() noexcept : was_enabled_(PyGC_Disable() == 1) {}
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }

  private:
    bool was_enabled_;
};

/// Converts the first document, or returns None when there is none.
PyObject* first_document(ParsedDocuments& docs, SchemaObject* schema) {
    if (docs.roots.empty()) Py_RETURN_NONE;
    KeyCache keys;
    DocMeta meta = docs.metas.empty() ? DocMeta{} : std::move(docs.metas.front());
    return node_to_doc(std::move(docs.roots.front()), std::move(meta), schema, &keys).release();
}

/// Converts every document, in order, into a new list.
PyObject* all_documents(ParsedDocuments& docs, SchemaObject* schema) {
    ref list = ref::steal(PyList_New(0));
    if (!list) return nullptr;
    KeyCache keys;
    // Each document's tree is let go once converted: its objects hold it.
    while (!docs.roots.empty()) {
        DocMeta meta;
        if (!docs.metas.empty()) {
            meta = std::move(docs.metas.front());
            docs.metas.pop_front();
        }
        ref doc = node_to_doc(std::move(docs.roots.front()), std::move(meta), schema, &keys);
        docs.roots.pop_front();
        if (!doc || PyList_Append(list.get(), doc.get()) < 0) return nullptr;
    }
    return list.release();
}

/// Runs a whole load: parse (text or stream), then convert the first or
/// every document. The schema is held shared for the whole call, so a
/// loader cannot register into the schema it runs under.
PyObject* load_road(const LoadArgs& a, bool text_input, bool all) {
    std::optional<SharedBorrow> hold;
    if (a.schema) {
        hold.emplace(a.schema->borrow);
        if (!hold->ok()) return nullptr;
    }
    ParsedDocuments docs;
    const bool parsed =
        text_input ? parse_text(a.input, a.schema, docs) : parse_stream(a.input, a.schema, docs);
    if (!parsed) return nullptr;
    // Conversion makes many containers and no cycles: collecting while they
    // are made only costs time.
    GcPause pause;
    return all ? all_documents(docs, a.schema) : first_document(docs, a.schema);
}

// ---- the dump road -----------------------------------------------------------

/// The text of `docs` as a new str.
PyObject* dumped_text(std::span<PyObject* const> docs, const DumpArgs& a) {
    std::string text;
    if (!dumps_into(docs, a.schema, a.indent, text)) return nullptr;
    return dumped_str(text).release();
}

PyObject* raise_sink_error(PyStreamWriter& writer) {
    PyObject* exc = writer.take_error();
    if (exc)
        PyErr_SetRaisedException(exc);
    else if (!PyErr_Occurred())
        PyErr_SetString(PyExc_RuntimeError, "stream write failed");
    return nullptr;
}

// ---- the ten functions ---------------------------------------------------------

PyObject* fn_load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static ArgParser parser("load", {"stream", "schema"}, 1, 1);
        LoadArgs a;
        if (!parse_load_args(parser, false, args, nargs, kwnames, a)) return nullptr;
        return load_road(a, false, false);
    });
}

PyObject* fn_loads(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static ArgParser parser("loads", {"text", "schema"}, 1, 1);
        LoadArgs a;
        if (!parse_load_args(parser, true, args, nargs, kwnames, a)) return nullptr;
        return load_road(a, true, false);
    });
}

PyObject* fn_load_all(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static ArgParser parser("load_all", {"stream", "schema"}, 1, 1);
        LoadArgs a;
        if (!parse_load_args(parser, false, args, nargs, kwnames, a)) return nullptr;
        return load_road(a, false, true);
    });
}

PyObject* fn_loads_all(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static ArgParser parser("loads_all", {"text", "schema"}, 1, 1);
        LoadArgs a;
        if (!parse_load_args(parser, true, args, nargs, kwnames, a)) return nullptr;
        return load_road(a, true, true);
    });
}

PyObject* fn_iter_load_all(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static ArgParser parser("iter_load_all", {"stream", "schema"}, 1, 1);
        LoadArgs a;
        if (!parse_load_args(parser, false, args, nargs, kwnames, a)) return nullptr;
        return new_stream_iter(a.input, a.schema).release();
    });
}

PyObject* fn_iter_loads_all(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static ArgParser parser("iter_loads_all", {"text", "schema"}, 1, 1);
        LoadArgs a;
        if (!parse_load_args(parser, true, args, nargs, kwnames, a)) return nullptr;
        std::string_view text;
        if (!text_utf8(a.input, text)) return nullptr;
        return new_text_iter(text, a.schema).release();
    });
}

PyObject* fn_dump(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static ArgParser parser("dump", {"doc", "stream", "schema", "indent"}, 2, 2);
        DumpArgs a;
        if (!parse_dump_args(parser, true, args, nargs, kwnames, a)) return nullptr;
        YamlNode tree;
        DocMeta meta;
        if (!extract_doc_and_meta(a.doc, a.schema, tree, meta)) return nullptr;
        PyStreamWriter writer(a.stream);
        if (!emit_docs_to(tree, meta, a.indent, writer)) return raise_sink_error(writer);
        Py_RETURN_NONE;
    });
}

PyObject* fn_dumps(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static ArgParser parser("dumps", {"doc", "schema", "indent"}, 1, 1);
        DumpArgs a;
        if (!parse_dump_args(parser, false, args, nargs, kwnames, a)) return nullptr;
        return dumped_text({&a.doc, 1}, a);
    });
}

PyObject* fn_dump_all(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static ArgParser parser("dump_all", {"docs", "stream", "schema", "indent"}, 2, 2);
        DumpArgs a;
        if (!parse_dump_args(parser, true, args, nargs, kwnames, a)) return nullptr;
        ref docs = ref::steal(PySequence_List(a.doc));  // iterated to exhaustion first
        if (!docs) return nullptr;
        const Py_ssize_t n = PyList_GET_SIZE(docs.get());
        PyStreamWriter writer(a.stream);
        for (Py_ssize_t i = 0; i < n; ++i) {
            YamlNode tree;
            DocMeta meta;
            if (!extract_doc_and_meta(PyList_GET_ITEM(docs.get(), i), a.schema, tree, meta))
                return nullptr;
            // Every document of several starts with "---" (unless its
            // own text separates it from the one before already).
            if (!emit_docs_to(tree, meta, a.indent, writer, n > 1 || meta.explicit_start,
                              i + 1 == n))
                return raise_sink_error(writer);
        }
        Py_RETURN_NONE;
    });
}

PyObject* fn_dumps_all(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static ArgParser parser("dumps_all", {"docs", "schema", "indent"}, 1, 1);
        DumpArgs a;
        if (!parse_dump_args(parser, false, args, nargs, kwnames, a)) return nullptr;
        ref docs = ref::steal(PySequence_List(a.doc));
        if (!docs) return nullptr;
        // Only this function holds the list: its items stay put.
        PyObject* const* items = PySequence_Fast_ITEMS(docs.get());
        return dumped_text({items, static_cast<std::size_t>(PyList_GET_SIZE(docs.get()))}, a);
    });
}

#define TESVORN_FN(name, sig)                                                             \
    {                                                                                     \
#name, reinterpret_cast < PyCFunction>(reinterpret_cast <void (*)()>(fn_##name)), \
            METH_FASTCALL | METH_KEYWORDS, sig "\n--\n\n"                                 \
    }

PyMethodDef module_functions[] = {
    TESVORN_FN(load, "load(stream, *, schema=None)"),
    TESVORN_FN(loads, "loads(text, *, schema=None)"),
    TESVORN_FN(load_all, "load_all(stream, *, schema=None)"),
    TESVORN_FN(loads_all, "loads_all(text, *, schema=None)"),
    TESVORN_FN(iter_load_all, "iter_load_all(stream, *, schema=None)"),
    TESVORN_FN(iter_loads_all, "iter_loads_all(text, *, schema=None)"),
    TESVORN_FN(dump, "dump(doc, stream, *, schema=None, indent=2)"),
    TESVORN_FN(dumps, "dumps(doc, *, schema=None, indent=2)"),
    TESVORN_FN(dump_all, "dump_all(docs, stream, *, schema=None, indent=2)"),
    TESVORN_FN(dumps_all, "dumps_all(docs, *, schema=None, indent=2)"),
    {nullptr, nullptr, 0, nullptr},
};

#undef TESVORN_FN

bool add_type(PyObject* module, const char* name, PyTypeObject* type) {
    return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

int module_exec(PyObject* module) {
    return guarded([&]() -> int {
        if (!init_exceptions()) return -1;
        const Exceptions& e = exceptions();
        if (PyModule_AddObjectRef(module, "TesvornError", e.tesvorn_error) < 0 ||
            PyModule_AddObjectRef(module, "ParseError", e.parse_error) < 0 ||
            PyModule_AddObjectRef(module, "LoaderError", e.loader_error) < 0 ||
            PyModule_AddObjectRef(module, "DumperError", e.dumper_error) < 0)
            return -1;
        if (!init_schema_type() || !add_type(module, "Schema", schema_type())) return -1;
        if (!init_scalar_type() || !add_type(module, "YamlScalar", scalar_type())) return -1;
        if (!init_mapping_type() || !add_type(module, "YamlMapping", mapping_type())) return -1;
        if (!init_sequence_type() || !add_type(module, "YamlSequence", sequence_type())) return -1;
        if (!init_iter_type() || !add_type(module, "YamlIter", iter_type())) return -1;
        return PyModule_AddFunctions(module, module_functions);
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tesvorn",
    "The tesvorn module.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace tesvorn::py

PyMODINIT_FUNC PyInit_tesvorn() {
    return PyModuleDef_Init(&tesvorn::py::module_def);
}
