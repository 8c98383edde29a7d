#include "py/metadata.hpp"

#include <string>

#include "py/args.hpp"
#include "py/errors.hpp"

namespace tesvorn::py {

const char* scalar_style_name(ScalarStyle style) noexcept {
    switch (style) {
        case ScalarStyle::Plain:
            return "plain";
        case ScalarStyle::Single:
            return "single";
        case ScalarStyle::Double:
            return "double";
        case ScalarStyle::Literal:
            return "literal";
        case ScalarStyle::Folded:
            return "folded";
    }
    return "plain";
}

const char* container_style_name(ContainerStyle style) noexcept {
    return style == ContainerStyle::Flow ? "flow" : "block";
}

namespace {

void raise_value_error(const std::string& message) {
    ref text = make_str(message);
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
}

}  // namespace

bool parse_scalar_style(PyObject* obj, const char* argname, ScalarStyle& out) {
    if (!arg_str(obj, argname)) return false;
    std::string_view s;
    if (!str_utf8(obj, s)) return false;
    if (s == "plain") {
        out = ScalarStyle::Plain;
    } else if (s == "single") {
        out = ScalarStyle::Single;
    } else if (s == "double") {
        out = ScalarStyle::Double;
    } else if (s == "literal") {
        out = ScalarStyle::Literal;
    } else if (s == "folded") {
        out = ScalarStyle::Folded;
    } else {
        raise_value_error("unknown style " + quoted(s) +
                          "; expected plain/single/double/literal/folded");
        return false;
    }
    return true;
}

bool parse_container_style(PyObject* obj, const char* argname, ContainerStyle& out) {
    if (!arg_str(obj, argname)) return false;
    std::string_view s;
    if (!str_utf8(obj, s)) return false;
    if (s == "block") {
        out = ContainerStyle::Block;
    } else if (s == "flow") {
        out = ContainerStyle::Flow;
    } else {
        raise_value_error("unknown style " + quoted(s) + "; expected \"block\" or \"flow\"");
        return false;
    }
    return true;
}

namespace {

bool parse_version_part(std::string_view part, std::uint8_t& out) {
    if (!part.empty() && part[0] == '+') part.remove_prefix(1);
    if (part.empty()) return false;
    unsigned value = 0;
    for (char c : part) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > 255) return false;
    }
    out = static_cast<std::uint8_t>(value);
    return true;
}

}  // namespace

bool parse_yaml_version(PyObject* obj, const char* argname,
                        std::optional<std::pair<std::uint8_t, std::uint8_t>>& out) {
    if (obj == Py_None) {
        out.reset();
        return true;
    }
    if (!arg_str(obj, argname)) return false;
    std::string_view s;
    if (!str_utf8(obj, s)) return false;
    const std::size_t dot = s.find('.');
    std::uint8_t major = 0, minor = 0;
    if (dot == std::string_view::npos || !parse_version_part(s.substr(0, dot), major) ||
        !parse_version_part(s.substr(dot + 1), minor)) {
        raise_value_error("invalid YAML version " + quoted(s) +
                          "; expected \"major.minor\" (e.g. \"1.2\")");
        return false;
    }
    out = std::make_pair(major, minor);
    return true;
}

}  // namespace tesvorn::py
