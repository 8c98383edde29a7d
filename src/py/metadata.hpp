// Python names of styles and versions, and their parsers (shared by the
// node classes' constructors and properties).
#pragma once

#include <optional>
#include <string_view>

#include "core/types.hpp"
#include "py/ref.hpp"

namespace tesvorn::py {

const char* scalar_style_name(ScalarStyle style) noexcept;
const char* container_style_name(ContainerStyle style) noexcept;

/// Parses a str (any other type: TypeError naming `argname`); an unknown
/// name raises ValueError "unknown style {}; expected plain/single/double/literal/folded".
[[nodiscard]] bool parse_scalar_style(PyObject* obj, const char* argname, ScalarStyle& out);
/// Parses "block" / "flow"; ValueError "unknown style {}; expected "block" or "flow"".
[[nodiscard]] bool parse_container_style(PyObject* obj, const char* argname, ContainerStyle& out);
/// Parses None or "major.minor" (each 0..255, optional '+', leading zeros
/// allowed); ValueError "invalid YAML version {}; expected "major.minor" (e.g. "1.2")".
[[nodiscard]] bool parse_yaml_version(PyObject* obj, const char* argname,
                                      std::optional<std::pair<std::uint8_t, std::uint8_t>>& out);

}  // namespace tesvorn::py
