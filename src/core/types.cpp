#include "core/types.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <limits>

#include "core/char_traits.hpp"
#include "core/render.hpp"
#include "core/result.hpp"

namespace tesvorn {

std::string ScanError::display() const {
    std::string out = info;
    // Characters, as the `offset` of the Python error counts them.
    out += " at character ";
    out += std::to_string(mark.index);
    out += " line ";
    out += std::to_string(mark.line);
    out += " column ";
    out += std::to_string(mark.col + 1);
    return out;
}

/// Whether a plain scalar keeps its source text: wherever writing the typed
/// value would not give the text back. Numbers are compared with their
/// written form, so 0644 (an octal file mode to YAML 1.1 readers such as
/// Ansible) and 3.10 come back as written instead of as 644 and 3.1.
bool keeps_original(const ScalarValue& value, std::string_view text, bool tagged) {
    if (tagged) return true;
    switch (value.kind()) {
        case ScalarValue::Int: {
            char buf[24];
            const auto res = std::to_chars(buf, buf + sizeof buf, value.as_int());
            return text != std::string_view(buf, static_cast<std::size_t>(res.ptr - buf));
        }
        case ScalarValue::Float: {
            std::string written;
            rendering::append_float(written, value.as_float());
            return text != written;
        }
        case ScalarValue::Bool:
            return text != (value.as_bool() ? "true" : "false");
        case ScalarValue::Null:
            return text != "null";
        case ScalarValue::BigInt:
            return text != value.as_big_int();
        case ScalarValue::Str:
            break;
    }
    return false;
}

namespace {

bool tag_is(std::string_view tag, std::string_view name) {
    constexpr std::string_view core = "tag:yaml.org,2002:";
    return (tag.size() == 2 + name.size() && tag.substr(0, 2) == "!!" && tag.substr(2) == name) ||
           (tag.size() == core.size() + name.size() && tag.substr(0, core.size()) == core &&
            tag.substr(core.size()) == name);
}

bool type_plain(std::string_view t, ScalarValue& out);

}  // namespace

ScalarValue type_scalar(std::string_view text, ScalarStyle style,
                        const std::optional<std::string>& tag, CoercionTags coercion,
                        bool* misfit) {
    auto default_value = [&]() {
        ScalarValue v;
        if (style == ScalarStyle::Plain && type_plain(text, v)) return v;
        return ScalarValue::of_str(text);
    };
    if (!tag) return default_value();
    const std::string& t = *tag;
    // With a loader for a standard tag, the loader gets the source text.
    if (coercion.contains(t)) return ScalarValue::of_str(text);
    // YAML 1.2 resolves only untagged plain scalars: a local tag's scalar
    // is the text written (its loader gets that text, 1.10 not 1.1).
    const bool local = t.starts_with('!') && !t.starts_with("!!");
    if (local || tag_is(t, "str")) return ScalarValue::of_str(text);
    // A tag that forces a type its text is not would give the caller
    // another type than asked for: the misfit is reported.
    const auto other = [&] {
        if (misfit) *misfit = true;
        return default_value();
    };
    if (tag_is(t, "int")) {
        ScalarValue v = ScalarValue::from_str(text);
        return v.is_integer() ? v : other();
    }
    if (tag_is(t, "bool")) {
        ScalarValue v = ScalarValue::from_str(text);
        return v.kind() == ScalarValue::Bool ? v : other();
    }
    if (tag_is(t, "float")) {
        ScalarValue v = ScalarValue::from_str(text);
        if (v.kind() == ScalarValue::Float) return v;
        if (v.kind() == ScalarValue::Int)
            return ScalarValue::of_float(static_cast<double>(v.as_int()));
        double d = 0;
        if (v.kind() == ScalarValue::BigInt && parse_f64(text, d)) return ScalarValue::of_float(d);
        return other();
    }
    if (tag_is(t, "null")) return ScalarValue::null();
    if (tag_is(t, "map") || tag_is(t, "seq")) return other();
    return default_value();
}

namespace {

constexpr std::size_t kMaxKeyText = 4096;

/// A canonical text of a key node: equal keys give equal texts, whatever
/// their styles, comments or place.
bool append_key_text(std::string& out, const YamlNode& node) {
    // Aliases are followed: a key of nested aliases could grow without end.
    if (out.size() > kMaxKeyText) return false;
    if (const YamlMapping* m = node.mapping()) {
        out += '{';
        bool first = true;
        for (const auto& slot : m->entries) {
            if (!first) out += ", ";
            first = false;
            if (slot.value.key_props->node) {
                if (!append_key_text(out, **slot.value.key_props->node)) return false;
            } else {
                YamlScalar key;
                key.value = ScalarValue::of_str(slot.key);
                append_key_text(out, YamlNode(std::move(key)));
            }
            out += ": ";
            if (!append_key_text(out, slot.value.value)) return false;
        }
        out += '}';
    } else if (const YamlSequence* q = node.sequence()) {
        out += '[';
        for (std::size_t i = 0; i < q->items.size(); ++i) {
            if (i != 0) out += ", ";
            if (!append_key_text(out, q->items[i].node)) return false;
        }
        out += ']';
    } else if (const YamlScalar* s = node.scalar()) {
        if (!s->value.is_str()) {
            out += s->value.to_key_string();
            return true;
        }
        out += '"';
        for (const char c : s->value.as_str()) {
            if (c == '"' || c == '\\') out += '\\';
            out += c;
        }
        out += '"';
    } else if (const AliasNode* a = node.alias()) {
        return append_key_text(out, *a->target);
    } else {
        out += "null";
    }
    return out.size() <= kMaxKeyText;
}

}  // namespace

std::string complex_key_string(const YamlNode& key, std::size_t count) {
    std::string text(1, '\0');
    if (append_key_text(text, key)) return text;
    // Too long to be its own name: its place names it.
    text.resize(1);
    text += '#';
    text += std::to_string(count);
    return text;
}

std::string core_tag_misfit(std::string_view tag, bool mapping, bool sequence,
                            std::string_view scalar_text, bool scalar_misfit) {
    const char* const names[] = {"map", "seq", "str", "int", "float", "bool", "null"};
    const char* name = nullptr;
    for (const char* n : names)
        if (tag_is(tag, n)) name = n;
    if (name == nullptr) return {};
    const std::string_view n = name;
    if (!scalar_misfit && !(mapping && n != "map") && !(sequence && n != "seq")) return {};
    std::string what;
    if (mapping) {
        what = "a mapping";
    } else if (sequence) {
        what = "a sequence";
    } else {
        constexpr std::size_t kShown = 40;
        what = "'" + std::string(scalar_text.substr(0, kShown)) +
               (scalar_text.size() > kShown ? "...'" : "'");
    }
    return "the tag !!" + std::string(n) + " does not fit " + what;
}

bool parse_i64(std::string_view text, int base, std::int64_t& out) noexcept {
    bool negative = false;
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size()) return false;
    // Accumulate as a negative number so that the most negative value fits.
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    std::int64_t acc = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        int d;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            d = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            d = c - 'A' + 10;
        } else {
            return false;
        }
        if (d >= base) return false;
        if (acc < (kMin + d) / base) return false;
        acc = acc * base - d;
    }
    if (!negative) {
        if (acc == kMin) return false;
        acc = -acc;
    }
    out = acc;
    return true;
}

bool is_decimal_integer(std::string_view text) noexcept {
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) text.remove_prefix(1);
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

namespace {

bool iequals(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != b[i]) return false;
    }
    return true;
}

using chars::is_digit;

/// Whether `text` has a '.', 'e' or 'E' (the marks of a float).
bool has_float_mark(std::string_view text) noexcept {
    for (const char c : text)
        if (c == '.' || c == 'e' || c == 'E') return true;
    return false;
}

}  // namespace

bool parse_f64(std::string_view text, double& out) noexcept {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const std::string_view body = text.substr(i);
    if (iequals(body, "inf") || iequals(body, "infinity")) {
        out = negative ? -std::numeric_limits<double>::infinity()
                       : std::numeric_limits<double>::infinity();
        return true;
    }
    if (iequals(body, "nan")) {
        out = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    // digits [. digits] | . digits, then an optional exponent.
    std::size_t j = 0;
    std::size_t int_digits = 0, frac_digits = 0;
    while (j < body.size() && is_digit(body[j])) ++j, ++int_digits;
    if (j < body.size() && body[j] == '.') {
        ++j;
        while (j < body.size() && is_digit(body[j])) ++j, ++frac_digits;
    }
    if (int_digits + frac_digits == 0) return false;
    if (j < body.size() && (body[j] == 'e' || body[j] == 'E')) {
        ++j;
        if (j < body.size() && (body[j] == '+' || body[j] == '-')) ++j;
        std::size_t exp_digits = 0;
        while (j < body.size() && is_digit(body[j])) ++j, ++exp_digits;
        if (exp_digits == 0) return false;
    }
    if (j != body.size()) return false;
    double value = 0;
    const auto res =
        std::from_chars(body.data(), body.data() + body.size(), value, std::chars_format::general);
    if (res.ec == std::errc::result_out_of_range) {
        // from_chars leaves the value alone on range errors: saturate as the
        // usual float readers do. A mantissa of zeros never overflows.
        const std::size_t e = body.find_first_of("eE");
        const bool tiny = e != std::string_view::npos && e + 1 < body.size() && body[e + 1] == '-';
        value = tiny ? 0.0 : std::numeric_limits<double>::infinity();
    } else if (res.ec != std::errc() || res.ptr != body.data() + body.size()) {
        return false;
    }
    out = negative ? -value : value;
    return true;
}

void append_shortest_fixed(std::string& out, double v) {
    // Fixed notation of a double needs at most 309 integer digits plus
    // 1074 fraction digits for subnormals.
    std::array<char, 1100> buf;
    const auto res =
        std::to_chars(buf.data(), buf.data() + buf.size(), v, std::chars_format::fixed);
    out.append(buf.data(), res.ptr);
}

namespace {

/// ScalarValue::from_str for every type but a string: false when `t` is one.
bool type_plain(std::string_view t, ScalarValue& out) {
    if (t.empty()) {
        out = ScalarValue::null();
        return true;
    }
    // Most plain scalars are words: the null and boolean words start with
    // one of few letters, and numbers with a sign, a digit or a point.
    const char c = t[0];
    bool word = false;
    switch (c) {
        case '~':
        case 'n':
        case 'N':
        case 't':
        case 'T':
        case 'y':
        case 'Y':
        case 'o':
        case 'O':
        case 'f':
        case 'F':
            word = t.size() <= 5;
            break;
        default:
            break;
    }
    if (word) {
        // Null and booleans: exact words only.
        if (t == "~" || t == "null" || t == "Null" || t == "NULL") {
            out = ScalarValue::null();
            return true;
        }
        if (t == "true" || t == "True" || t == "TRUE" || t == "yes" || t == "Yes" || t == "YES" ||
            t == "on" || t == "On" || t == "ON") {
            out = ScalarValue::of_bool(true);
            return true;
        }
        if (t == "false" || t == "False" || t == "FALSE" || t == "no" || t == "No" || t == "NO" ||
            t == "off" || t == "Off" || t == "OFF") {
            out = ScalarValue::of_bool(false);
            return true;
        }
    }
    const bool numeric = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
    if (numeric) {
        std::int64_t i = 0;
        if (t.size() >= 2 && t[0] == '0') {
            if ((t[1] == 'x' || t[1] == 'X') && parse_i64(t.substr(2), 16, i)) {
                out = ScalarValue::of_int(i);
                return true;
            }
            if ((t[1] == 'o' || t[1] == 'O') && parse_i64(t.substr(2), 8, i)) {
                out = ScalarValue::of_int(i);
                return true;
            }
        }
        if (parse_i64(t, 10, i)) {
            out = ScalarValue::of_int(i);
            return true;
        }
        if (is_decimal_integer(t)) {
            // Outside 64 bits: the digits, without a '+' or leading zeros.
            std::string digits = t[0] == '-' ? "-" : "";
            const std::string_view body = t.substr(t[0] == '+' || t[0] == '-' ? 1 : 0);
            digits.append(body.substr(body.find_first_not_of('0')));
            out = ScalarValue::of_big_int(std::move(digits));
            return true;
        }
        if (t == ".inf" || t == ".Inf" || t == ".INF") {
            out = ScalarValue::of_float(std::numeric_limits<double>::infinity());
            return true;
        }
        if (t == "-.inf" || t == "-.Inf" || t == "-.INF") {
            out = ScalarValue::of_float(-std::numeric_limits<double>::infinity());
            return true;
        }
        if (t == ".nan" || t == ".NaN" || t == ".NAN") {
            out = ScalarValue::of_float(std::numeric_limits<double>::quiet_NaN());
            return true;
        }
    }
    double d = 0;
    if (has_float_mark(t) && parse_f64(t, d)) {
        out = ScalarValue::of_float(d);
        return true;
    }
    return false;
}

}  // namespace

ScalarValue ScalarValue::from_str(std::string_view t) {
    ScalarValue v;
    if (type_plain(t, v)) return v;
    return of_str(std::string(t));
}

std::string ScalarValue::to_key_string() const {
    switch (kind()) {
        case Int:
            return std::to_string(as_int());
        case Float: {
            const double d = as_float();
            if (std::isnan(d)) return "NaN";
            if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
            std::string out;
            append_shortest_fixed(out, d);
            return out;
        }
        case Bool:
            return as_bool() ? "true" : "false";
        case Str:
            return std::string(as_str());
        case BigInt:
            return std::string(as_big_int());
        case Null:
            break;
    }
    return std::string();
}

void YamlScalar::format_with(bool styles, bool, bool) {
    if (!styles) return;
    style = value.is_str() && value.as_str().find('\n') != std::string::npos ? ScalarStyle::Literal
                                                                             : ScalarStyle::Plain;
    if (props.has()) props.mut().original.reset();
}

namespace {

void format_collection_node(YamlNode& node, bool styles, bool comments, bool blank_lines) {
    if (auto* m = node.mapping()) {
        m->format_with(styles, comments, blank_lines);
    } else if (auto* s = node.sequence()) {
        s->format_with(styles, comments, blank_lines);
    } else if (auto* sc = node.scalar()) {
        sc->format_with(styles, comments, blank_lines);
    }
}

}  // namespace

namespace {

/// Drops the layout records that a reset of the formatting covers: comment
/// and blank-line placement (leads, trails, tails), and indentation,
/// spacing and quoting (keys, separators, values, columns, flow spacing).
void drop_slot(SlotRecord& r, bool styles, bool comments, bool blank_lines) {
    if (!r.has() || !(styles || comments || blank_lines)) return;
    SlotLayout& l = r.mut();
    if (comments || blank_lines) {
        l.drop(SlotLayout::kLead);
        l.drop(SlotLayout::kTrail);
    }
    if (styles) {
        l.drop(SlotLayout::kKey);
        l.drop(SlotLayout::kSep);
        l.drop(SlotLayout::kValue);
    }
}

void drop_collection(CollectionLayout& l, bool styles, bool comments, bool blank_lines) {
    if (comments || blank_lines) l.flags |= CollectionLayout::kTailStale;
    if (styles) l.flags |= CollectionLayout::kIndentStale;
    // Lines of replaced entries are text as read, comments and all.
    if ((styles || comments || blank_lines) && !l.flag(CollectionLayout::kFlow))
        l.set_shadowed(nullptr);
}

}  // namespace

void YamlMapping::format_with(bool styles, bool comments, bool blank_lines) {
    if (styles) style = ContainerStyle::Block;
    if (blank_lines) trailing_blank_lines = 0;
    drop_collection(layout, styles, comments, blank_lines);
    for (auto& slot : entries) {
        YamlEntry& e = slot.value;
        if (comments) e.comments.reset();
        if (blank_lines) e.blank_lines_before = 0;
        if (styles) e.key_style = ScalarStyle::Plain;
        drop_slot(e.layout, styles, comments, blank_lines);
        if (e.key_props->node)
            format_collection_node(**e.key_props.mut().node, styles, comments, blank_lines);
        format_collection_node(e.value, styles, comments, blank_lines);
    }
}

void YamlSequence::format_with(bool styles, bool comments, bool blank_lines) {
    if (styles) style = ContainerStyle::Block;
    if (blank_lines) trailing_blank_lines = 0;
    drop_collection(layout, styles, comments, blank_lines);
    for (auto& item : items) {
        if (comments) item.comments.reset();
        if (blank_lines) item.blank_lines_before = 0;
        drop_slot(item.layout, styles, comments, blank_lines);
        format_collection_node(item.node, styles, comments, blank_lines);
    }
}

void YamlNode::format_with(bool styles, bool comments, bool blank_lines) {
    format_collection_node(*this, styles, comments, blank_lines);
}

std::size_t take_end_blank_run(YamlNode& node) {
    std::vector<ChainLevel> chain;
    for (YamlNode* n = &node;;) {
        if (n->kind() == YamlNode::Mapping) {
            YamlMapping* m = n->mapping();
            if (m->style != ContainerStyle::Block) break;
            chain.push_back({&m->trailing_blank_lines, &m->layout});
            if (m->entries.empty()) break;
            n = &m->entries.back().value.value;
        } else if (n->kind() == YamlNode::Sequence) {
            YamlSequence* q = n->sequence();
            if (q->style != ContainerStyle::Block) break;
            chain.push_back({&q->trailing_blank_lines, &q->layout});
            if (q->items.empty()) break;
            n = &q->items.back().node;
        } else {
            break;
        }
    }
    return end_blank_run(chain, true);
}

}  // namespace tesvorn
