#include "core/render.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace tesvorn {
namespace rendering {
namespace {

constexpr std::string_view kYamlTagPrefix = "tag:yaml.org,2002:";

constexpr char kHex[] = "0123456789ABCDEF";

using chars::is_digit;
using chars::is_word_char;

// Byte classes for the scans below.
enum : std::uint8_t {
    kLead = 1,   // first byte of a multi-byte character that may need an escape
    kCtl = 2,    // C0 control or DEL
    kPlain = 4,  // matters for the plain test: ':' '#' and the flow indicators
    kQuote = 8,  // needs an escape inside double quotes: '"' and '\'
};

constexpr std::array<std::uint8_t, 256> make_classes() {
    std::array<std::uint8_t, 256> t{};
    for (int c = 0; c < 0x20; ++c) t[c] = kCtl;
    t[0x7F] = kCtl;
    t[0xC2] = kLead;  // U+0080..U+009F (C1 controls, NEL)
    t[0xE2] = kLead;  // U+2028, U+2029
    t[0xEF] = kLead;  // U+FEFF, U+FFFE, U+FFFF
    for (unsigned char c : std::string_view(":#,[]{}")) t[c] = kPlain;
    t['"'] = kQuote;
    t['\\'] = kQuote;
    return t;
}
constexpr std::array<std::uint8_t, 256> kClasses = make_classes();

// The first characters of the reserved words (is_reserved_word).
constexpr std::array<bool, 256> kWordStart = byte_set("~oOnNyYtTfF-.");

/// When the bytes at `p` start one of the multi-byte characters that YAML
/// does not allow raw (C1 controls, U+FFFE, U+FFFF) or that readers take as
/// line breaks or a byte order mark (NEL, U+2028, U+2029, U+FEFF): its
/// length, with the code point in `cp`. Otherwise 0.
std::size_t special_multibyte(const unsigned char* p, const unsigned char* end,
                              std::uint32_t& cp) noexcept {
    const auto n = end - p;
    if (p[0] == 0xC2) {
        if (n >= 2 && p[1] >= 0x80 && p[1] <= 0x9F) {
            cp = p[1];
            return 2;
        }
    } else if (p[0] == 0xE2) {
        if (n >= 3 && p[1] == 0x80 && (p[2] == 0xA8 || p[2] == 0xA9)) {
            cp = 0x2000u + (p[2] - 0x80u);
            return 3;
        }
    } else if (p[0] == 0xEF) {
        if (n >= 3 && ((p[1] == 0xBB && p[2] == 0xBF) || (p[1] == 0xBF && p[2] >= 0xBE))) {
            cp = 0xF000u + ((p[1] - 0x80u) << 6) + (p[2] - 0x80u);
            return 3;
        }
    }
    return 0;
}

// 1 for the bytes that matter to no quoting decision (scan_text skips them).
constexpr std::array<std::uint8_t, 256> make_dull() {
    std::array<std::uint8_t, 256> t{};
    for (std::size_t c = 0; c < 256; ++c) t[c] = kClasses[c] == 0 || kClasses[c] == kQuote;
    return t;
}
constexpr std::array<std::uint8_t, 256> kDull = make_dull();

bool is_reserved_word(std::string_view t) noexcept {
    static constexpr std::string_view kWords[] = {
        "~",     "on",    "On",    "ON",    "no",    "No",   "NO",   "yes",  "Yes",
        "YES",   "off",   "Off",   "OFF",   "---",   "...",  "null", "Null", "NULL",
        "true",  "True",  "TRUE",  ".inf",  ".Inf",  ".INF", ".nan", ".NaN", ".NAN",
        "false", "False", "FALSE", "-.inf", "-.Inf", "-.INF"};
    if (t.empty() || t.size() > 5 || !kWordStart[static_cast<unsigned char>(t[0])]) return false;
    for (std::string_view w : kWords)
        if (w == t) return true;
    return false;
}

/// Mirrors the reader's typing: texts that would read back as a number.
bool is_number_like(std::string_view t) noexcept {
    std::string_view body = t;
    if (!body.empty() && (body[0] == '+' || body[0] == '-')) body.remove_prefix(1);
    if (body.empty() || !(is_digit(body[0]) || body[0] == '.')) return false;
    std::int64_t i = 0;
    if (body.size() >= 2 && body[0] == '0') {
        if (body[1] == 'x' || body[1] == 'X') return parse_i64(body.substr(2), 16, i);
        if (body[1] == 'o' || body[1] == 'O') return parse_i64(body.substr(2), 8, i);
    }
    if (parse_i64(t, 10, i)) return true;
    double d = 0;
    return t.find_first_of(".eE") != std::string_view::npos && parse_f64(t, d);
}

void append_hex_escape(std::string& out, char kind, std::uint32_t cp, int digits) {
    out += '\\';
    out += kind;
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += kHex[(cp >> shift) & 0xF];
}

/// A byte as %XX, the escape of tags, %TAG prefixes and anchor names.
void append_percent(std::string& out, unsigned char c) {
    out += '%';
    out += kHex[c >> 4];
    out += kHex[c & 0xF];
}

/// The one-line text of a string value in `style`.
void append_string(std::string& out, std::string_view t, ScalarStyle style, bool flow) {
    const TextScan s = scan_text(t);
    if (style == ScalarStyle::Plain && plain_value_ok(t, flow, s)) {
        out.append(t);
    } else if ((style == ScalarStyle::Plain || style == ScalarStyle::Single) && !s.needs_double()) {
        append_single_quoted(out, t);
    } else {
        append_double_quoted(out, t);
    }
}

// The reader's tag and URI characters but '%': the writer escapes a '%' of
// the text itself, which the reader would take for the start of an escape.
bool is_tag_char(unsigned char c) noexcept {
    return c != '%' && chars::is_tag_char(c);
}

bool is_uri_char(unsigned char c) noexcept {
    return c != '%' && chars::is_uri_char(c);
}

/// Appends `s` with every byte a tag may not hold raw written as %XX (the
/// reader decodes these); `verbatim` allows the wider set of `!<...>`.
void append_tag_text(std::string& out, std::string_view s, bool verbatim) {
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (verbatim ? is_uri_char(c) : is_tag_char(c)) {
            out += ch;
        } else {
            append_percent(out, c);
        }
    }
}

bool valid_handle(std::string_view h) noexcept {
    if (h == "!" || h == "!!") return true;
    if (h.size() < 3 || h.front() != '!' || h.back() != '!') return false;
    return std::all_of(h.begin() + 1, h.end() - 1,
                       [](char c) { return is_word_char(static_cast<unsigned char>(c)); });
}

}  // namespace

TextScan scan_text(std::string_view t) noexcept {
    TextScan s;
    const auto* const begin = reinterpret_cast<const unsigned char*>(t.data());
    const auto* const end = begin + t.size();
    for (const unsigned char* p = begin; p < end; ++p) {
        // Most bytes are dull: skip them eight at a time.
        while (end - p >= 8 && (kDull[p[0]] & kDull[p[1]] & kDull[p[2]] & kDull[p[3]] &
                                kDull[p[4]] & kDull[p[5]] & kDull[p[6]] & kDull[p[7]]) != 0)
            p += 8;
        if (p == end) break;
        const std::uint8_t cls = kClasses[*p];
        if (cls == 0 || cls == kQuote) continue;
        const unsigned char c = *p;
        if (cls == kCtl) {
            if (c == '\n') {
                s.line_feed = true;
            } else if (c == '\t') {
                s.tab = true;
            } else {
                s.escape_only = true;
            }
        } else if (cls == kLead) {
            std::uint32_t cp = 0;
            if (special_multibyte(p, end, cp) != 0) s.escape_only = true;
        } else if (c == ':') {
            if (p + 1 == end || is_blank(static_cast<char>(p[1]))) s.breaks_plain = true;
        } else if (c == '#') {
            if (p != begin && is_blank(static_cast<char>(p[-1]))) s.breaks_plain = true;
        } else {
            s.flow_char = true;
        }
    }
    return s;
}

bool plain_syntax_ok(std::string_view t, bool flow, const TextScan& s) noexcept {
    if (t.empty() || s.needs_double() || s.breaks_plain || (flow && s.flow_char)) return false;
    const char c = t[0];
    // Indicators, quotes and blanks cannot start a plain scalar.
    if (kNoPlainStart[static_cast<unsigned char>(c)]) return false;
    // '-', '?' and ':' can when a non-blank follows (not '?' and ':' in flow).
    if (c == '-' || c == '?' || c == ':') {
        if (t.size() == 1 || is_blank(t[1]) || (flow && c != '-')) return false;
    }
    if (is_blank(t.back())) return false;
    // A '-' after a blank starts a word, and the reader refuses a word '-'
    // followed by , ] or }: in flow context one of them follows the scalar.
    if (flow && t.size() >= 2 && t.back() == '-' && is_blank(t[t.size() - 2])) return false;
    if (t.size() >= 3 && (c == '-' || c == '.') && t[1] == c && t[2] == c &&
        (t.size() == 3 || is_blank(t[3])))
        return false;
    return true;
}

bool plain_value_ok(std::string_view t, bool flow, const TextScan& s) noexcept {
    // Tabs are valid inside plain scalars, but several readers (PyYAML among
    // them) reject them there; quoted, they read back everywhere.
    if (s.tab || !plain_syntax_ok(t, flow, s)) return false;
    // Values starting with - ? < or = are quoted as well: to other readers
    // some of them are indicators (YAML 1.1 merge and value keys).
    if (t[0] == '-' || t[0] == '?' || t[0] == '<' || t[0] == '=') return false;
    return !is_reserved_word(t) && !is_number_like(t);
}

bool plain_key_ok(std::string_view t, bool flow, const TextScan& s) noexcept {
    if (t == "<<") return true;
    if (s.tab || !plain_syntax_ok(t, flow, s)) return false;
    return t[0] != '?' && t[0] != '<' && t[0] != '=';
}

bool block_can_hold(std::string_view t) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(t.data());
    const auto* const end = p + t.size();
    constexpr std::uint64_t kSpaces = 0x2020202020202020u;
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    constexpr std::uint64_t kHighs = 0x8080808080808080u;
    while (p < end) {
        // Block scalars are long and mostly printable ASCII: eight bytes at
        // a time while none is below ' ' or from DEL on.
        for (std::uint64_t w = 0; end - p >= 8; p += 8) {
            std::memcpy(&w, p, 8);
            if (((w - kSpaces) | (w + kOnes) | w) & kHighs) break;
        }
        if (p == end) break;
        const std::uint8_t cls = kClasses[*p];
        if (cls == kCtl && *p != '\n' && *p != '\t') return false;
        if (cls == kLead) {
            std::uint32_t cp = 0;
            if (special_multibyte(p, end, cp) != 0) return false;
        }
        ++p;
    }
    return t.empty() || t.find_first_not_of('\n') != std::string_view::npos;
}

ScalarStyle quoting_of(std::string_view t, ScalarStyle style, bool flow) {
    const TextScan s = scan_text(t);
    if (style == ScalarStyle::Plain && plain_value_ok(t, flow, s) && !is_decimal_integer(t))
        return ScalarStyle::Plain;
    if ((style == ScalarStyle::Plain || style == ScalarStyle::Single) && !s.needs_double())
        return ScalarStyle::Single;
    return ScalarStyle::Double;
}

void append_double_escaped(std::string& out, std::string_view t) {
    const auto* const begin = reinterpret_cast<const unsigned char*>(t.data());
    const auto* const end = begin + t.size();
    const unsigned char* run = begin;  // start of the bytes not yet copied
    for (const unsigned char* p = begin; p < end;) {
        const std::uint8_t cls = kClasses[*p];
        if ((cls & (kCtl | kQuote | kLead)) == 0) {
            ++p;
            continue;
        }
        std::uint32_t cp = *p;
        std::size_t len = 1;
        if (cls == kLead) {
            len = special_multibyte(p, end, cp);
            if (len == 0) {
                ++p;
                continue;
            }
        }
        out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
        switch (cp) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\0':
                out += "\\0";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case 0x85:
                out += "\\N";
                break;
            case 0x2028:
                out += "\\L";
                break;
            case 0x2029:
                out += "\\P";
                break;
            default:
                if (cp < 0x100) {
                    append_hex_escape(out, 'x', cp, 2);
                } else {
                    append_hex_escape(out, 'u', cp, 4);
                }
        }
        p += len;
        run = p;
    }
    out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(end - run));
}

void append_double_quoted(std::string& out, std::string_view t) {
    out += '"';
    append_double_escaped(out, t);
    out += '"';
}

void append_single_quoted(std::string& out, std::string_view t) {
    out += '\'';
    for (std::size_t pos = 0;;) {
        const std::size_t q = t.find('\'', pos);
        if (q == std::string_view::npos) {
            out.append(t.substr(pos));
            break;
        }
        out.append(t.substr(pos, q + 1 - pos));
        out += '\'';
        pos = q + 1;
    }
    out += '\'';
}

void append_float(std::string& out, double d) {
    if (std::isnan(d)) {
        out += ".nan";
    } else if (std::isinf(d)) {
        out += d > 0 ? ".inf" : "-.inf";
    } else {
        const std::size_t start = out.size();
        append_shortest_fixed(out, d);
        if (out.find_first_of(".eE", start) == std::string::npos) out += ".0";
    }
}

void append_value(std::string& out, const ScalarValue& v, ScalarStyle style, bool flow) {
    switch (v.kind()) {
        case ScalarValue::Int: {
            std::array<char, 24> buf;
            const auto res = std::to_chars(buf.data(), buf.data() + buf.size(), v.as_int());
            out.append(buf.data(), static_cast<std::size_t>(res.ptr - buf.data()));
            break;
        }
        case ScalarValue::Float:
            append_float(out, v.as_float());
            break;
        case ScalarValue::Bool:
            out += v.as_bool() ? "true" : "false";
            break;
        case ScalarValue::Str:
            // A plain decimal integer of any size reads back as an integer.
            if (style == ScalarStyle::Plain && is_decimal_integer(v.as_str())) {
                append_single_quoted(out, v.as_str());
            } else {
                append_string(out, v.as_str(), style, flow);
            }
            break;
        case ScalarValue::Null:
            out += "null";
            break;
        case ScalarValue::BigInt:
            out += v.as_big_int();
            break;
    }
}

void append_key(std::string& out, std::string_view key, ScalarStyle style, bool flow) {
    const TextScan s = scan_text(key);
    if (style == ScalarStyle::Plain && plain_key_ok(key, flow, s)) {
        out.append(key);
    } else if ((style == ScalarStyle::Plain || style == ScalarStyle::Single) && !s.needs_double()) {
        append_single_quoted(out, key);
    } else {
        append_double_quoted(out, key);
    }
}

/// Anchor names are written as they are, unless a reader could not take
/// them back (blanks, line breaks, flow indicators, characters that need an
/// escape, or no character at all): then the offending bytes are written as
/// %XX, so that the anchor and its aliases still match.
void append_anchor_name(std::string& out, std::string_view name) {
    const auto bad = [](unsigned char c) {
        return c <= ' ' || c == 0x7F || c == ',' || c == '[' || c == ']' || c == '{' || c == '}';
    };
    const TextScan s = scan_text(name);
    bool valid = !name.empty() && !s.needs_double() && !s.flow_char;
    for (std::size_t i = 0; valid && i < name.size(); ++i)
        valid = !bad(static_cast<unsigned char>(name[i]));
    if (valid) {
        out.append(name);
        return;
    }
    if (name.empty()) {
        out += '%';
        return;
    }
    const auto* const begin = reinterpret_cast<const unsigned char*>(name.data());
    const auto* const end = begin + name.size();
    for (const unsigned char* p = begin; p < end;) {
        std::uint32_t cp = 0;
        std::size_t len = kClasses[*p] == kLead ? special_multibyte(p, end, cp) : 0;
        if (len == 0 && !bad(*p) && *p != '%') {
            out += static_cast<char>(*p++);
            continue;
        }
        for (std::size_t k = 0; k < std::max<std::size_t>(len, 1); ++k, ++p)
            append_percent(out, *p);
    }
}

/// A %TAG prefix as the reader takes it back: the reader decodes %XX, so a
/// decoded character that is not a URI character (a space, a line break,
/// "%" itself) is escaped again; a first character may also be "!", but not
/// "," "[" or "]".
std::string prefix_text(std::string_view prefix) {
    std::string out;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const auto c = static_cast<unsigned char>(prefix[i]);
        const bool raw = i == 0 ? c == '!' || (is_uri_char(c) && c != ',' && c != '[' && c != ']')
                                : is_uri_char(c);
        if (raw) {
            out += static_cast<char>(c);
        } else {
            append_percent(out, c);
        }
    }
    return out;
}

void append_tag(std::string& out, std::string_view tag, const DocMetadata& meta) {
    if (tag == "!") {
        out += '!';
        return;
    }
    bool declares_primary = false, declares_secondary = false;
    for (const auto& d : *meta.tag_directives) {
        declares_primary = declares_primary || d.first == "!";
        declares_secondary = declares_secondary || d.first == "!!";
    }
    // A prefix declared by %TAG gives the form the document was written in.
    for (const auto& [handle, prefix] : *meta.tag_directives) {
        if (!prefix.empty() && tag.size() > prefix.size() && tag.starts_with(prefix) &&
            valid_handle(handle)) {
            out += handle;
            append_tag_text(out, tag.substr(prefix.size()), false);
            return;
        }
    }
    std::string_view standard_rest;
    bool standard = false;
    if (tag.starts_with(kYamlTagPrefix) && tag.size() > kYamlTagPrefix.size()) {
        standard_rest = tag.substr(kYamlTagPrefix.size());
        standard = true;
    } else if (tag.starts_with("!!") && tag.size() > 2) {
        // "!!x" is the shorthand of the standard tag x.
        standard_rest = tag.substr(2);
        standard = true;
    }
    if (standard) {
        if (!declares_secondary) {
            out += "!!";
            append_tag_text(out, standard_rest, false);
        } else {
            out += "!<";
            out += kYamlTagPrefix;
            append_tag_text(out, standard_rest, true);
            out += '>';
        }
        return;
    }
    if (tag.size() >= 2 && tag[0] == '!' && tag[1] != '!' && !declares_primary) {
        // A later '!' is escaped so that the reader does not take a named
        // handle.
        out += '!';
        append_tag_text(out, tag.substr(1), false);
        return;
    }
    out += "!<";
    append_tag_text(out, tag, true);
    out += '>';
}

}  // namespace rendering

std::string emit_scalar_value_with_style(const ScalarValue& value, ScalarStyle style) {
    std::string out;
    rendering::append_value(out, value, style, false);
    return out;
}

namespace {

// Letters, digits, "_./-" and spaces: no quoting rule looks at them, but
// for a space at the end or before a final '-'.
constexpr std::array<bool, 256> kWordByte =
    rendering::byte_set("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_./- ");

/// Words of those bytes that start with a letter or '_' (most keys and many
/// values): plain anywhere, syntax-wise.
bool is_plain_words(std::string_view t) noexcept {
    if (t.empty()) return false;
    const char c = t[0];
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_')) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(t.data());
    const auto* const end = p + t.size();
    // Eight at a time (a branch per byte costs more than the lookups).
    for (; end - p >= 8; p += 8)
        if (!(kWordByte[p[0]] & kWordByte[p[1]] & kWordByte[p[2]] & kWordByte[p[3]] &
              kWordByte[p[4]] & kWordByte[p[5]] & kWordByte[p[6]] & kWordByte[p[7]]))
            return false;
    for (; p < end; ++p)
        if (!kWordByte[*p]) return false;
    const char last = t.back();
    return last != ' ' && !(last == '-' && t[t.size() - 2] == ' ');
}

}  // namespace

bool writes_plain_value(std::string_view text, bool flow) noexcept {
    // Short words that start with a letter read back as strings unless they
    // are reserved words (longer texts are scanned faster the other way).
    if (text.size() <= 16 && is_plain_words(text)) return !rendering::is_reserved_word(text);
    return rendering::plain_value_ok(text, flow, rendering::scan_text(text));
}

bool writes_as_block(std::string_view text) noexcept {
    return rendering::block_can_hold(text);
}

bool writes_plain_key(std::string_view text, bool flow) noexcept {
    if (is_plain_words(text)) return true;
    return rendering::plain_key_ok(text, flow, rendering::scan_text(text));
}

std::string single_quote(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    rendering::append_single_quoted(out, text);
    return out;
}

std::string double_quote(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    rendering::append_double_quoted(out, text);
    return out;
}

}  // namespace tesvorn
