// The `Schema` class: a per-call registry of loaders (by tag) and dumpers
// (by Python type).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "py/borrow.hpp"
#include "py/ref.hpp"

namespace tesvorn::py {

struct SchemaObject {
    PyObject_HEAD BorrowFlag borrow;
    std::unordered_map<std::string, ref> loaders;  // tag text -> callable
    std::uint8_t coercion_tags = 0;  // CoercionTags bits of the standard tags with a loader
    std::vector<std::pair<ref, ref>> dumpers;  // (type, callable), in registration order
};

/// The Schema type (borrowed; created by `init_schema_type`).
PyTypeObject* schema_type() noexcept;
[[nodiscard]] bool init_schema_type() noexcept;

inline bool is_schema(PyObject* obj) noexcept {
    return PyObject_TypeCheck(obj, schema_type());
}

/// Checks a `schema=` argument: None (returns null) or a Schema. False with
/// TypeError "argument 'schema': 'T' object is not an instance of 'Schema'".
[[nodiscard]] bool arg_schema(PyObject* obj, SchemaObject*& out);

/// The coercion-tag bits (0 = no policy), read under shared access.
[[nodiscard]] bool schema_tag_policy(SchemaObject* schema, std::uint8_t& out);

/// The loader registered under exactly `tag`, as a new reference, or null
/// (without an exception) when there is none. Shared access is held only
/// while searching, so the returned callable may register more entries.
/// Returns false with an exception set on a borrow conflict.
[[nodiscard]] bool schema_find_loader(SchemaObject* schema, std::string_view tag, ref& out);

/// True when the schema has at least one dumper.
[[nodiscard]] bool schema_has_dumpers(SchemaObject* schema);
[[nodiscard]] bool schema_has_loaders(SchemaObject* schema);

/// The first dumper whose type `obj` is an instance of (isinstance errors are
/// skipped), as a new reference, or null without an exception. False with an
/// exception set on a borrow conflict.
[[nodiscard]] bool schema_find_dumper(SchemaObject* schema, PyObject* obj, ref& out);

}  // namespace tesvorn::py
