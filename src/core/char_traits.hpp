// Character classes of the reader. The scanner stores "end of input" as
// U+0000, so every class that stops at a line break also stops there.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tesvorn::chars {

/// How the scanner sees the end of input.
inline constexpr char32_t kEnd = 0;
/// What a source gives for bytes it cannot decode (no Unicode character).
inline constexpr char32_t kBadText = 0x110000;

/// Characters YAML allows unescaped: tab, line breaks, printable ASCII, NEL
/// and the rest of Unicode but for C1 controls, surrogates and U+FFFE/FFFF.
constexpr bool is_printable(char32_t c) noexcept {
    if (c < 0x7F) return c >= 0x20 || c == '\t' || c == '\n' || c == '\r';
    if (c < 0xA0) return c == 0x85;
    if (c < 0xE000) return c < 0xD800;
    return c != 0xFFFE && c != 0xFFFF && c < kBadText;
}

namespace detail {

// Bits of the ASCII class table; one lookup answers the hot questions.
enum : std::uint8_t {
    kBlank = 1,  // space, tab
    kBreak = 2,  // LF, CR
    kFlow = 4,   // , [ ] { }
    kWord = 8,   // A-Z a-z 0-9 - _
    kUri = 16,   // word characters and #;/?:@&=+$,_.!~*'()[]%
    kTag = 32,   // word characters and #;/?:@&=+$.~*'()%
};

consteval std::array<std::uint8_t, 128> make_table() {
    std::array<std::uint8_t, 128> t{};
    t[' '] |= kBlank;
    t['\t'] |= kBlank;
    t['\n'] |= kBreak;
    t['\r'] |= kBreak;
    for (char c : {',', '[', ']', '{', '}'}) t[static_cast<unsigned char>(c)] |= kFlow;
    for (int c = 0; c < 128; ++c) {
        bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_';
        if (word) t[c] |= kWord | kUri | kTag;
    }
    for (char c : std::string_view("#;/?:@&=+$,_.!~*'()[]%"))
        t[static_cast<unsigned char>(c)] |= kUri;
    for (char c : std::string_view("#;/?:@&=+$.~*'()%")) t[static_cast<unsigned char>(c)] |= kTag;
    return t;
}

inline constexpr std::array<std::uint8_t, 128> kTable = make_table();

constexpr bool has(char32_t c, std::uint8_t bits) noexcept {
    return c < 128 && (kTable[c] & bits);
}

}  // namespace detail

constexpr bool is_blank(char32_t c) noexcept {
    return c == ' ' || c == '\t';
}
constexpr bool is_break(char32_t c) noexcept {
    return c == '\n' || c == '\r';
}
constexpr bool is_breakz(char32_t c) noexcept {
    return c == '\n' || c == '\r' || c == kEnd;
}
constexpr bool is_blankz(char32_t c) noexcept {
    return is_blank(c) || is_breakz(c);
}
constexpr bool is_flow_indicator(char32_t c) noexcept {
    return detail::has(c, detail::kFlow);
}
constexpr bool is_word_char(char32_t c) noexcept {
    return detail::has(c, detail::kWord);
}
constexpr bool is_uri_char(char32_t c) noexcept {
    return detail::has(c, detail::kUri);
}
constexpr bool is_tag_char(char32_t c) noexcept {
    return detail::has(c, detail::kTag);
}
constexpr bool is_digit(char32_t c) noexcept {
    return c >= '0' && c <= '9';
}
constexpr bool is_hex(char32_t c) noexcept {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
constexpr unsigned hex_value(char32_t c) noexcept {
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

/// Characters allowed in anchor and alias names.
constexpr bool is_anchor_char(char32_t c) noexcept {
    return !is_blankz(c) && !is_flow_indicator(c) && c != 0xFEFF;
}

/// Kinds of character runs the scanner copies or skips in bulk. A run goes
/// on while its characters are accepted and stops at the first other one.
enum Run : std::uint8_t {
    kRunPlainBlock = 1,  // plain text: not blank, break, end or ':'
    kRunPlainFlow = 2,   // the same, and not a flow indicator
    kRunLine = 4,        // rest of a line: not a break or the end
    kRunSingle = 8,      // single-quoted text: not blank, break, end or '\''
    kRunDouble = 16,     // double-quoted text: not blank, break, end, '"' or '\\'
    kRunSpaces = 32,     // spaces only
};

namespace detail {

// For each ASCII character, the runs it stops.
consteval std::array<std::uint8_t, 128> make_run_stops() {
    std::array<std::uint8_t, 128> t{};
    for (int c = 0; c < 128; ++c) {
        if (c != ' ') t[c] |= kRunSpaces;
        const bool blankz = c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == 0;
        if (blankz) t[c] |= kRunPlainBlock | kRunPlainFlow | kRunSingle | kRunDouble;
        if (c == '\n' || c == '\r' || c == 0) t[c] |= kRunLine;
        // Characters that may not stand unescaped end the input where they
        // are (the scanner reports them), as NUL does.
        if (!is_printable(static_cast<char32_t>(c))) t[c] = 0xFF;
    }
    t[':'] |= kRunPlainBlock | kRunPlainFlow;
    for (char c : {',', '[', ']', '{', '}'}) t[static_cast<unsigned char>(c)] |= kRunPlainFlow;
    t['\''] |= kRunSingle;
    t['"'] |= kRunDouble;
    t['\\'] |= kRunDouble;
    return t;
}

inline constexpr std::array<std::uint8_t, 128> kRunStops = make_run_stops();

// The same for each byte of UTF-8 text: the bytes of a multi-byte character
// stop only a run of spaces.
consteval std::array<std::uint8_t, 256> make_byte_run_stops() {
    std::array<std::uint8_t, 256> t{};
    for (int c = 0; c < 256; ++c) t[c] = c < 128 ? kRunStops[c] : std::uint8_t{kRunSpaces};
    return t;
}

inline constexpr std::array<std::uint8_t, 256> kByteRunStops = make_byte_run_stops();

}  // namespace detail

/// Whether `c` continues a run of kind `run`. Every run stops at the end of
/// input and at line breaks; only a run of spaces stops at non-ASCII.
constexpr bool run_accepts(Run run, char32_t c) noexcept {
    return c < 128 ? !(detail::kRunStops[c] & run) : run != kRunSpaces;
}

/// The length of `c` in UTF-8 (1-4).
constexpr unsigned utf8_length(char32_t c) noexcept {
    return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

/// Writes `c` as UTF-8 at `p`; returns the number of bytes written (1-4).
inline unsigned encode_utf8(char* p, char32_t c) noexcept {
    if (c < 0x80) {
        p[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        p[0] = static_cast<char>(0xC0 | (c >> 6));
        p[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        p[0] = static_cast<char>(0xE0 | (c >> 12));
        p[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        p[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    p[0] = static_cast<char>(0xF0 | (c >> 18));
    p[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    p[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    p[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

/// Appends `c` to `out` as UTF-8.
inline void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
        return;
    }
    char b[4];
    out.append(b, encode_utf8(b, c));
}

}  // namespace tesvorn::chars
