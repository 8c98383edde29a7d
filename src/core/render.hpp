// The text of one scalar, key, tag or anchor as the writer puts it: pure
// functions of their arguments, shared by the writer and by the checks that
// tell beforehand what it will write.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "core/char_traits.hpp"
#include "core/types.hpp"

namespace tesvorn {

/// The one-line text of a scalar value in `style`, as the writer puts it in
/// block context: numbers, booleans and null as their canonical words; a
/// string plain when it reads back as the same string, else quoted. Block
/// styles (literal, folded) give the double-quoted form.
std::string emit_scalar_value_with_style(const ScalarValue& value, ScalarStyle style);

/// Whether the writer writes the string `text` as a plain scalar, in block
/// context or (`flow`) inside a flow collection.
bool writes_plain_value(std::string_view text, bool flow) noexcept;
/// Whether a block scalar (literal or folded) can carry the string `text`:
/// the writer writes other strings in block style on one line, quoted.
bool writes_as_block(std::string_view text) noexcept;
/// Whether the writer writes the mapping key `text` plain.
bool writes_plain_key(std::string_view text, bool flow) noexcept;

/// `text` in single quotes, apostrophes doubled. Reads back as `text` only
/// when it holds no line break or character that needs an escape.
std::string single_quote(std::string_view text);

/// `text` in double quotes with escapes for the quote, backslash, tab, line
/// breaks and every character YAML does not allow raw (and NEL, U+2028,
/// U+2029, U+FEFF); always reads back as `text`.
std::string double_quote(std::string_view text);

namespace rendering {

using chars::is_blank;
using chars::is_break;

inline bool is_block_style(ScalarStyle s) noexcept {
    return s == ScalarStyle::Literal || s == ScalarStyle::Folded;
}

/// A set of bytes as a table: the checks run once per key and value read,
/// where a find() in a string of them would call memchr.
constexpr std::array<bool, 256> byte_set(std::string_view bytes) {
    std::array<bool, 256> t{};
    for (const char c : bytes) t[static_cast<unsigned char>(c)] = true;
    return t;
}
// Indicators, quotes and blanks: no plain scalar starts with one.
inline constexpr std::array<bool, 256> kNoPlainStart = byte_set("#,[]{}&*!|>'\"%@` \t");

/// What one pass over a string finds out for the quoting decisions.
struct TextScan {
    bool line_feed = false;     // holds "\n"
    bool escape_only = false;   // holds CR or a character only escapes can carry
    bool breaks_plain = false;  // ": ", ":<TAB>", " #", "<TAB>#" or a final ':'
    bool flow_char = false;     // one of , [ ] { }
    bool tab = false;           // holds a tab

    [[nodiscard]] bool needs_double() const noexcept { return line_feed || escape_only; }
};

[[nodiscard]] TextScan scan_text(std::string_view t) noexcept;

/// True when `t` written plain reads back as exactly `t` (typing aside): no
/// indicator at the start, nothing that ends the scalar early, no blanks at
/// the ends, no document marker. Flow context also excludes , [ ] { } and a
/// leading '?' or ':'.
[[nodiscard]] bool plain_syntax_ok(std::string_view t, bool flow, const TextScan& s) noexcept;
/// The plain test for a string value: syntax, and no other type on reading.
[[nodiscard]] bool plain_value_ok(std::string_view t, bool flow, const TextScan& s) noexcept;
/// The plain test for a mapping key. Keys are never typed, so only syntax
/// matters; "<<" stays plain as the merge key.
[[nodiscard]] bool plain_key_ok(std::string_view t, bool flow, const TextScan& s) noexcept;

/// Whether a block scalar can carry `t`: it holds no CR or character that
/// needs an escape, and is not made of line feeds only (readers give those
/// back as an empty string).
[[nodiscard]] bool block_can_hold(std::string_view t) noexcept;

/// Whether a continuation line of a plain scalar may start with `c`: not a
/// blank, and nothing a reader could take for a comment or an indicator.
inline bool plain_line_start(char c) noexcept {
    return !kNoPlainStart[static_cast<unsigned char>(c)] && c != '-' && c != '?' && c != ':';
}

/// Whether a folded line of `t` may break at `i`: a single space between
/// two characters that are not blanks (blanks around a line break are not
/// text of a plain or quoted scalar, and a blank after it would start a
/// more-indented line of a folded one); in a plain scalar the next line
/// must also start as one. (Asked of every character of a long string.)
inline bool breaks_at(std::string_view t, std::size_t i, ScalarStyle style) noexcept {
    if (t[i] != ' ' || i == 0 || i + 1 >= t.size() || is_blank(t[i - 1]) || is_blank(t[i + 1]))
        return false;
    return style != ScalarStyle::Plain || plain_line_start(t[i + 1]);
}

/// The style a string that is not written as a block goes out in: plain
/// where it reads back as itself, else single-quoted where that can carry
/// it, else double-quoted.
[[nodiscard]] ScalarStyle quoting_of(std::string_view t, ScalarStyle style, bool flow);

/// `t` as the text between double quotes: the quote, the backslash and
/// every character YAML does not allow raw escaped.
void append_double_escaped(std::string& out, std::string_view t);
void append_double_quoted(std::string& out, std::string_view t);
void append_single_quoted(std::string& out, std::string_view t);

/// A float as the writer writes it: ".nan", ".inf", "-.inf", or the
/// shortest fixed form with ".0" added when it has no decimal point.
void append_float(std::string& out, double d);

/// The one-line text of a value in `style`, in a flow collection when
/// `flow` (block styles give the double-quoted form).
void append_value(std::string& out, const ScalarValue& v, ScalarStyle style, bool flow);
/// A key's text in its style (block styles give the double-quoted form).
void append_key(std::string& out, std::string_view key, ScalarStyle style, bool flow);

/// An anchor or alias name, with what a reader could not take back as %XX.
void append_anchor_name(std::string& out, std::string_view name);

/// A %TAG prefix as the reader takes it back.
[[nodiscard]] std::string prefix_text(std::string_view prefix);
/// The text of `tag` that reads back as `tag` in a document with the given
/// %TAG directives: a shorthand where one fits, else the verbatim form.
void append_tag(std::string& out, std::string_view tag, const DocMetadata& meta);

}  // namespace rendering
}  // namespace tesvorn
