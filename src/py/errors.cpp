#include "py/errors.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace tesvorn::py {

thread_local int RecursionGuard::depth_ = 0;

namespace {

Exceptions g_exceptions;

ref make_exception(const char* qualified_name, PyObject* base) {
    return ref::steal(PyErr_NewException(qualified_name, base, nullptr));
}

/// An exception class that says where in the input it happened: the class
/// attributes line, column and offset are None until an instance sets them.
ref make_positioned_exception(const char* qualified_name, const char* doc, PyObject* base) {
    ref dict = ref::steal(PyDict_New());
    if (!dict) return dict;
    for (const char* name : {"line", "column", "offset"})
        if (PyDict_SetItemString(dict.get(), name, Py_None) < 0) return ref();
    return ref::steal(PyErr_NewExceptionWithDoc(qualified_name, doc, base, dict.get()));
}

}  // namespace

const Exceptions& exceptions() noexcept {
    return g_exceptions;
}

bool init_exceptions() noexcept {
    // Created once per process; the module holds them as attributes.
    if (g_exceptions.tesvorn_error) return true;
    ref base = make_exception("tesvorn.TesvornError", PyExc_Exception);
    if (!base) return false;
    ref parse = make_positioned_exception(
        "tesvorn.ParseError",
        "The input is not valid YAML.\n\n"
        "line and column (both from 1) and offset (characters from the start of the\n"
        "stream) say where the reader stopped; the notes show that line with a caret\n"
        "and, for a bracket or quote left open, where it was opened.",
        base.get());
    if (!parse) return false;
    ref loader = make_positioned_exception(
        "tesvorn.LoaderError",
        "A schema loader raised.\n\n"
        "line, column and offset give the position of the node it was loading (None\n"
        "when not known); a note shows that line with a caret.",
        base.get());
    if (!loader) return false;
    ref dumper = make_exception("tesvorn.DumperError", base.get());
    if (!dumper) return false;
    g_exceptions.tesvorn_error = base.release();
    g_exceptions.parse_error = parse.release();
    g_exceptions.loader_error = loader.release();
    g_exceptions.dumper_error = dumper.release();
    return true;
}

namespace {

bool is_ascii(std::string_view t) noexcept {
    const char* p = t.data();
    std::size_t n = t.size();
    std::uint64_t bits = 0;
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t w = 0;
        std::memcpy(&w, p, 8);
        bits |= w;
    }
    for (; n > 0; ++p, --n) bits |= static_cast<unsigned char>(*p);
    return (bits & 0x8080808080808080ull) == 0;
}

}  // namespace

ref make_str(std::string_view utf8) noexcept {
    // Short ASCII text (most keys and scalars) is copied into a new str: for
    // it the decoder costs more in setting up than in decoding. (Single
    // characters and the empty text come from the interpreter's own.)
    if (utf8.size() >= 2 && utf8.size() <= 64 && is_ascii(utf8)) {
        PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(utf8.size()), 127);
        if (s != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(s), utf8.data(), utf8.size());
        return ref::steal(s);
    }
    return ref::steal(
        PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

bool str_utf8(PyObject* str, std::string_view& out) noexcept {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(str, &n);
    if (!p) return false;
    out = std::string_view(p, static_cast<std::size_t>(n));
    return true;
}

std::string type_qualname(PyTypeObject* type) {
    ref name = ref::steal(PyType_GetQualName(type));
    std::string_view text;
    if (!name || !str_utf8(name.get(), text)) {
        PyErr_Clear();
        return "?";
    }
    return std::string(text);
}

std::string describe_exception(PyObject* exc) {
    std::string out = type_qualname(Py_TYPE(exc));
    out += ": ";
    ref text = ref::steal(PyObject_Str(exc));
    std::string_view utf8;
    if (!text || !str_utf8(text.get(), utf8)) {
        PyErr_Clear();
        out += "<exception str() failed>";
    } else {
        out += utf8;
    }
    return out;
}

std::string quoted(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    out += '"';
    for (std::size_t i = 0; i < s.size();) {
        std::size_t len = 0;
        const char32_t cp = code_point_at(s, i, len);
        switch (cp) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case 0:
                out += "\\0";
                break;
            default:
                if (Py_UNICODE_ISPRINTABLE(static_cast<Py_UCS4>(cp))) {
                    out.append(s.substr(i, len));
                } else {
                    char buf[16];
                    std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
                    out += buf;
                }
        }
        i += len;
    }
    out += '"';
    return out;
}

namespace {

void set_error(PyObject* type, const std::string& message) {
    ref text = make_str(message);
    if (text) PyErr_SetObject(type, text.get());
}

}  // namespace

void raise_loader_error(std::string_view tag, PyObject* exc) {
    std::string message = "Schema loader for tag '";
    message += tag;
    message += "' raised: ";
    message += describe_exception(exc);
    set_error(g_exceptions.loader_error, message);
}

void raise_alias_budget(std::size_t budget) {
    set_error(g_exceptions.loader_error, "aliases expand too far: the document copies more than " +
                                             std::to_string(budget) +
                                             " collections through aliases");
}

void raise_integer_too_long(std::size_t digits) {
    set_error(g_exceptions.loader_error, "YAML loader error: an integer of " +
                                             std::to_string(digits) +
                                             " digits is longer than the interpreter converts (see "
                                             "sys.set_int_max_str_digits)");
}

void raise_dumper_raised(PyTypeObject* type, PyObject* exc) {
    set_error(g_exceptions.dumper_error,
              "Schema dumper for " + type_qualname(type) + " raised: " + describe_exception(exc));
}

void raise_dumper_bad_result(PyTypeObject* type, std::string_view failure) {
    std::string message =
        "Schema dumper for " + type_qualname(type) + " must return (tag, data) tuple: ";
    message += failure;
    set_error(g_exceptions.dumper_error, message);
}

void raise_dumper_recursion(PyTypeObject* type) {
    set_error(g_exceptions.dumper_error,
              "Schema dumper for " + type_qualname(type) +
                  " recursed too deeply: its data keeps needing a dumper (maximum depth exceeded)");
}

void raise_cannot_convert(PyObject* obj) {
    ref text = ref::steal(PyObject_Str(obj));
    std::string_view utf8;
    if (!text || !str_utf8(text.get(), utf8)) return;  // str() raised: propagate that
    std::string message = "Cannot convert ";
    message += utf8;
    message += " to a YAML node";
    set_error(PyExc_RuntimeError, message);
}

void raise_recursive_structure(const char* kind) {
    set_error(PyExc_ValueError,
              std::string("cannot serialize a recursive structure: self-referential ") + kind +
                  " detected");
}

void raise_self_referential() {
    PyErr_SetString(PyExc_RuntimeError, "self-referential structure detected");
}
void raise_already_borrowed() {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
}
void raise_already_mutably_borrowed() {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
}

void raise_binary_decode(std::string_view detail) {
    std::string message = "!!binary decode error: ";
    message += detail;
    set_error(PyExc_RuntimeError, message);
}

}  // namespace tesvorn::py
