// Native state of the three node classes (YamlMapping, YamlSequence,
// YamlScalar) and the interfaces the load and dump conversions use to make
// and read them.
#pragma once

#include "core/types.hpp"
#include "py/borrow.hpp"
#include "py/ref.hpp"

namespace tesvorn::py {

/// The bridge's copy of one document's metadata.
using DocMeta = DocMetadata;

/// A YamlMapping instance: a real dict (the parent dict) followed by the
/// model mapping `inner` and the document metadata.
struct MappingObject {
    PyDictObject dict;
    BorrowFlag borrow;
    YamlMapping inner;
    DocMeta meta;
};

/// A YamlSequence instance: a real list (the parent list), `inner` and the
/// document metadata.
struct SequenceObject {
    PyListObject list;
    BorrowFlag borrow;
    YamlSequence inner;
    DocMeta meta;
};

/// A YamlScalar instance: one node (normally a Scalar) and the metadata.
struct ScalarObject {
    PyObject_HEAD BorrowFlag borrow;
    YamlNode node;
    DocMeta meta;
};

/// The three types (borrowed; each created once per process by its init).
PyTypeObject* mapping_type() noexcept;
PyTypeObject* sequence_type() noexcept;
PyTypeObject* scalar_type() noexcept;
[[nodiscard]] bool init_mapping_type() noexcept;
[[nodiscard]] bool init_sequence_type() noexcept;
[[nodiscard]] bool init_scalar_type() noexcept;

inline bool is_mapping_object(PyObject* o) noexcept {
    return PyObject_TypeCheck(o, mapping_type());
}
inline bool is_sequence_object(PyObject* o) noexcept {
    return PyObject_TypeCheck(o, sequence_type());
}
inline bool is_scalar_object(PyObject* o) noexcept {
    return PyObject_TypeCheck(o, scalar_type());
}
/// A YamlMapping or YamlSequence: an object whose Python part holds values.
inline bool is_container_object(PyObject* o) noexcept {
    return is_mapping_object(o) || is_sequence_object(o);
}
inline MappingObject* as_mapping(PyObject* o) noexcept {
    return reinterpret_cast<MappingObject*>(o);
}
inline SequenceObject* as_sequence(PyObject* o) noexcept {
    return reinterpret_cast<SequenceObject*>(o);
}
inline ScalarObject* as_scalar(PyObject* o) noexcept {
    return reinterpret_cast<ScalarObject*>(o);
}

/// New YamlMapping owning `inner` and `meta`, with an empty parent dict that
/// the caller fills directly (PyDict_SetItem, bypassing the class's hooks).
ref new_mapping_object(YamlMapping inner, DocMeta meta);
/// New YamlSequence owning `inner` and `meta`, with an empty parent list that
/// the caller fills directly (PyList_Append).
ref new_sequence_object(YamlSequence inner, DocMeta meta);
/// New YamlScalar holding `node` as is.
ref new_scalar_object(YamlNode node, DocMeta meta);

}  // namespace tesvorn::py
