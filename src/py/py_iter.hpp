// YamlIter: the lazy document iterator of iter_load_all / iter_loads_all.
#pragma once

#include <string_view>

#include "py/ref.hpp"
#include "py/schema.hpp"

namespace tesvorn::py {

PyTypeObject* iter_type() noexcept;
[[nodiscard]] bool init_iter_type() noexcept;

/// An iterator over a copy of `text`.
ref new_text_iter(std::string_view text, SchemaObject* schema);
/// An iterator that reads `stream` only as far as each next document needs.
ref new_stream_iter(PyObject* stream, SchemaObject* schema);

}  // namespace tesvorn::py
