// The module's exception classes and every message it raises, in one place.
// Each raise_* function sets the Python exception; callers then return their
// failure value.
#pragma once

#include <string>
#include <string_view>

#include "core/result.hpp"
#include "py/ref.hpp"

namespace tesvorn::py {

/// The four exception classes (borrowed; created once per process by
/// `init_exceptions`, which the module's exec step calls first).
struct Exceptions {
    PyObject* tesvorn_error = nullptr;
    PyObject* parse_error = nullptr;
    PyObject* loader_error = nullptr;
    PyObject* dumper_error = nullptr;
};
const Exceptions& exceptions() noexcept;
[[nodiscard]] bool init_exceptions() noexcept;

// Text helpers.

/// A new str from UTF-8 text.
ref make_str(std::string_view utf8) noexcept;
/// The UTF-8 text of a str (borrowed from the object's cache); false with an
/// exception set when it cannot be encoded (lone surrogates).
[[nodiscard]] bool str_utf8(PyObject* str, std::string_view& out) noexcept;
/// "QualName: str(exc)" of an exception object, as used in the wrapped
/// loader and dumper messages; never fails.
std::string describe_exception(PyObject* exc);
/// The qualified name of a type, "?" when it cannot be obtained.
std::string type_qualname(PyTypeObject* type);
/// Decodes the UTF-8 character starting at `s[i]` (text that came from a
/// Python str, so valid) and returns its byte length in `len`.
inline char32_t code_point_at(std::string_view s, std::size_t i, std::size_t& len) noexcept {
    const auto c = static_cast<unsigned char>(s[i]);
    len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    if (i + len > s.size()) len = s.size() - i;
    char32_t cp = c;
    if (len > 1) {
        cp = c & (0xFF >> (len + 1));
        for (std::size_t k = 1; k < len; ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    }
    return cp;
}

/// Quoted form of a string for messages and reprs: double quotes, with
/// backslash escapes for quotes, backslashes, \n \r \t \0 and \u{hex} for
/// other unprintable characters.
std::string quoted(std::string_view utf8);

// The module's own errors.

void raise_loader_error(std::string_view tag, PyObject* exc);
/// Aliases whose anchors load as no object of their own (a complex key's)
/// made more than `budget` copies.
void raise_alias_budget(std::size_t budget);
/// LoaderError for an integer with more digits than the interpreter
/// converts (its limit guards against quadratic conversions).
void raise_integer_too_long(std::size_t digits);
void raise_dumper_raised(PyTypeObject* type, PyObject* exc);
void raise_dumper_bad_result(PyTypeObject* type, std::string_view failure);
void raise_dumper_recursion(PyTypeObject* type);
void raise_cannot_convert(PyObject* obj);
/// kind is "dict", "list" or "tuple".
void raise_recursive_structure(const char* kind);
void raise_self_referential();
void raise_already_borrowed();
void raise_already_mutably_borrowed();
void raise_binary_decode(std::string_view detail);

}  // namespace tesvorn::py
