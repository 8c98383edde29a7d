// libFuzzer target for the Python module: an embedded interpreter imports
// the instrumented module and hands every input to py_harness.one_input.
// Any exception that escapes the harness (a failed check, or an exception
// of a kind the module does not document for bad input) aborts the run.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string_view>

#include "roundtrip_check.hpp"

namespace {

PyObject* one_input = nullptr;

// Whether the YAML text of the input has an alias that no longer stands for
// what its anchor names (see roundtrip_check.hpp): the harness then skips
// its reload checks. Computed with the core, which the module hides.
bool dangling(std::string_view data) {
    if (data.empty()) return false;
    std::string_view text = data.substr(1);
    if (data[0] % 4 == 1) {  // the stream road: a line of read sizes first
        const std::size_t nl = text.find('\n');
        if (nl != std::string_view::npos) text = text.substr(nl + 1);
    }
    tesvorn::fuzz::Loaded docs;
    if (!tesvorn::fuzz::load(text, docs)) return false;
    for (const auto& root : docs.roots) {
        tesvorn::fuzz::Anchors seen;
        if (tesvorn::fuzz::dangling_alias(root, seen)) return true;
    }
    return false;
}

void die_on_python_error(const char* what) {
    std::fprintf(stderr, "fuzz_python: %s\n", what);
    PyErr_Print();
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    // The interpreter's prefix and the folders of the module and the
    // harness are fixed when the target is built.
    PyStatus status = PyConfig_SetBytesString(&config, &config.home, TESVORN_PYTHON_HOME);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);
    config.site_import = 0;
    // A fixed str hash: the same inputs then take the same paths on every
    // run, and a finding replays.
    config.use_hash_seed = 1;
    config.hash_seed = 0;
    status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);

    PyObject* path = PySys_GetObject("path");
    for (const char* dir : {TESVORN_MODULE_DIR, TESVORN_HARNESS_DIR}) {
        PyObject* s = PyUnicode_FromString(dir);
        if (!s || PyList_Insert(path, 0, s) < 0) die_on_python_error("cannot extend sys.path");
        Py_DECREF(s);
    }
    PyObject* harness = PyImport_ImportModule("py_harness");
    if (!harness) die_on_python_error("cannot import py_harness");
    one_input = PyObject_GetAttrString(harness, "one_input");
    Py_DECREF(harness);
    if (!one_input) die_on_python_error("py_harness has no one_input");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    PyObject* arg = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                              static_cast<Py_ssize_t>(size));
    if (!arg) die_on_python_error("out of memory");
    PyObject* result = PyObject_CallFunctionObjArgs(
        one_input, arg, dangling({reinterpret_cast<const char*>(data), size}) ? Py_True : Py_False,
        nullptr);
    Py_DECREF(arg);
    if (!result) die_on_python_error("finding: an exception escaped the harness");
    Py_DECREF(result);
    return 0;
}
