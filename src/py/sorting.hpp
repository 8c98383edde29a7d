// Sorting of node objects: `sort_keys` of YamlMapping and `sort` of
// YamlSequence, recursive or not, with Python's ordering.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "py/ref.hpp"

namespace tesvorn::py {

enum class Ordering : std::int8_t { Less = -1, Equal = 0, Greater = 1 };
/// a < b, then a > b; an exception is stored in `error` (replacing an
/// earlier one) and counts as Equal.
Ordering py_compare(PyObject* a, PyObject* b, ref& error);

/// Stable merge sort of the positions 0..n-1 by `less`; safe with any
/// comparison (inconsistent ones included). Returns the ordered positions.
std::vector<std::size_t> stable_order(std::size_t n,
                                      const std::function<bool(std::size_t, std::size_t)>& less);

/// `sort_keys(key, reverse, recursive)` of a YamlMapping and `sort(key,
/// reverse, recursive)` of a YamlSequence. Every object the call reaches is
/// ordered first and changed only when all of them could be: an error (from
/// `key`, a comparison, or an object changed meanwhile, "list modified
/// during sort") leaves every one of them as it was. Nesting of any depth
/// is sorted without recursion.
[[nodiscard]] bool sort_keys_object(PyObject* self, PyObject* key, bool reverse, bool recursive);
[[nodiscard]] bool sort_sequence_object(PyObject* self, PyObject* key, bool reverse,
                                        bool recursive);

}  // namespace tesvorn::py
