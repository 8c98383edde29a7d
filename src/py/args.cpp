#include "py/args.hpp"

namespace tesvorn::py {

ArgParser::ArgParser(const char* fname, std::initializer_list<const char*> names, int positional,
                     int required)
    : fname_(fname), names_(names), positional_(positional), required_(required) {}

bool ArgParser::intern() const {
    bool ok = true;
    std::call_once(once_, [&] {
        for (const char* name : names_) {
            PyObject* s = PyUnicode_InternFromString(name);
            if (!s) {
                ok = false;
                return;
            }
            interned_.push_back(s);  // kept for the life of the process
        }
    });
    if (!ok || interned_.size() != names_.size()) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "keyword names could not be interned");
        return false;
    }
    return true;
}

bool ArgParser::parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      std::span<PyObject*> out) const {
    const auto nparams = static_cast<Py_ssize_t>(names_.size());
    for (auto& slot : out) slot = nullptr;
    if (nargs > positional_) {
        if (positional_ == required_) {
            PyErr_Format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd were given",
                         fname_, positional_, positional_ == 1 ? "" : "s", nargs);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() takes at most %d positional argument%s (%zd given)",
                         fname_, positional_, positional_ == 1 ? "" : "s", nargs);
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];
    if (kwnames) {
        if (!intern()) return false;
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t found = -1;
            for (Py_ssize_t p = 0; p < nparams; ++p) {
                if (interned_[static_cast<std::size_t>(p)] == key) {
                    found = p;
                    break;
                }
            }
            if (found < 0) {
                for (Py_ssize_t p = 0; p < nparams; ++p) {
                    const int eq = PyUnicode_Compare(interned_[static_cast<std::size_t>(p)], key);
                    if (eq == -1 && PyErr_Occurred()) return false;
                    if (eq == 0) {
                        found = p;
                        break;
                    }
                }
            }
            if (found < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                             fname_, key);
                return false;
            }
            if (out[static_cast<std::size_t>(found)]) {
                PyErr_Format(PyExc_TypeError,
                             "argument for %s() given by name ('%s') and position (%zd)", fname_,
                             names_[static_cast<std::size_t>(found)], found + 1);
                return false;
            }
            out[static_cast<std::size_t>(found)] = args[nargs + k];
        }
    }
    for (int p = 0; p < required_; ++p) {
        if (!out[static_cast<std::size_t>(p)]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %d)", fname_,
                         names_[static_cast<std::size_t>(p)], p + 1);
            return false;
        }
    }
    return true;
}

bool arg_size(PyObject* obj, const char* name, std::size_t& out) {
    if (!PyIndex_Check(obj)) {
        PyErr_Format(PyExc_TypeError,
                     "argument '%s': '%.200s' object cannot be interpreted as an integer", name,
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    ref index = ref::steal(PyNumber_Index(obj));
    if (!index) return false;
    const std::size_t value = PyLong_AsSize_t(index.get());
    if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool arg_bool(PyObject* obj, const char* name, bool& out) {
    if (!PyBool_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': must be bool, not %.200s", name,
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    out = obj == Py_True;
    return true;
}

bool arg_str(PyObject* obj, const char* name) {
    if (PyUnicode_Check(obj)) return true;
    PyErr_Format(PyExc_TypeError, "argument '%s': must be str, not %.200s", name,
                 Py_TYPE(obj)->tp_name);
    return false;
}

bool arg_optional_str(PyObject* obj, const char* name) {
    if (obj == Py_None || PyUnicode_Check(obj)) return true;
    PyErr_Format(PyExc_TypeError, "argument '%s': must be str or None, not %.200s", name,
                 Py_TYPE(obj)->tp_name);
    return false;
}

}  // namespace tesvorn::py
