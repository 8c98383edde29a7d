// Pieces shared by the three node classes: argument parsing of the
// metadata methods, format(), and the metadata properties.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "py/convert.hpp"
#include "py/nodes.hpp"
#include "py/ref.hpp"

namespace tesvorn::py {

/// A comment argument: str or None (TypeError naming 'comment').
[[nodiscard]] bool parse_comment(PyObject* obj, std::optional<std::string>& out);
/// A blank-line count: an int in 0..4294967295, stored as min(n, 255).
[[nodiscard]] bool parse_blank_lines(PyObject* obj, std::uint8_t& out);
/// The keyword-only bool flags of format().
[[nodiscard]] bool parse_format_flags(const char* fname, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames, bool& styles, bool& comments,
                                      bool& blank_lines);
/// sort_keys()/sort() arguments: key (None or callable), reverse, recursive.
[[nodiscard]] bool parse_sort_args(const char* fname, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames, PyObject*& key, bool& reverse,
                                   bool& recursive);

/// Borrow flag and document metadata of any node object.
BorrowFlag& node_borrow(PyObject* self) noexcept;
MetaRef& node_meta(PyObject* self) noexcept;

/// Property tables (tag, anchor, style, trailing_blank_lines where it
/// applies, and the four document-metadata properties).
extern PyGetSetDef mapping_getset[];
extern PyGetSetDef sequence_getset[];
extern PyGetSetDef scalar_getset[];

/// format() of a node object: format_with on its tree and on the tree of
/// every YamlMapping / YamlSequence reachable through the Python parts,
/// each once, at any depth; all or (on a borrow conflict) none.
[[nodiscard]] bool format_object(PyObject* obj, bool styles, bool comments, bool blank_lines);

/// A scalar with a standard tag (!!str, !!int, !!float, !!bool, !!null)
/// is given the value its text reads as under that tag, so that it holds
/// what its dump loads as; ValueError when the text does not fit the tag.
[[nodiscard]] bool fit_standard_tag(YamlScalar& s);
/// Whether a mapping (or sequence) may carry `tag`: not a standard tag of
/// another kind (ValueError).
[[nodiscard]] bool collection_takes_tag(bool mapping, std::string_view tag);

/// "{name} takes 1 or 2 positional arguments".
void raise_arity(const char* name);

}  // namespace tesvorn::py
