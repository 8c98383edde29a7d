// Argument parsing for METH_FASTCALL | METH_KEYWORDS functions.
#pragma once

#include <initializer_list>
#include <mutex>
#include <span>
#include <vector>

#include "py/ref.hpp"

namespace tesvorn::py {

/// Binds vectorcall arguments to parameter slots. The first `positional`
/// parameters may be given by position or keyword, the rest by keyword only;
/// the first `required` must be given. Messages follow the interpreter's.
class ArgParser {
  public:
    ArgParser(const char* fname, std::initializer_list<const char*> names, int positional,
              int required);

    /// Fills `out` (one borrowed pointer per parameter, null when not given).
    /// False with TypeError set on a bad call.
    [[nodiscard]] bool parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                             std::span<PyObject*> out) const;

  private:
    bool intern() const;

    const char* fname_;
    std::vector<const char*> names_;
    int positional_;
    int required_;
    mutable std::once_flag once_;
    mutable std::vector<PyObject*> interned_;  // names, interned once, compared by pointer first
};

/// Integer argument through the index protocol, as an unsigned machine
/// word; TypeError names the argument, a negative value raises the
/// interpreter's OverflowError.
[[nodiscard]] bool arg_size(PyObject* obj, const char* name, std::size_t& out);
/// A Python bool, nothing else; TypeError names the argument.
[[nodiscard]] bool arg_bool(PyObject* obj, const char* name, bool& out);
/// A str; TypeError "argument 'name': must be str, not T".
[[nodiscard]] bool arg_str(PyObject* obj, const char* name);
/// None or str; TypeError names the argument.
[[nodiscard]] bool arg_optional_str(PyObject* obj, const char* name);

}  // namespace tesvorn::py
