#include "core/scalar_lines.hpp"

#include <algorithm>

#include "core/char_traits.hpp"

namespace tesvorn {

namespace {

using chars::is_blank;

/// One line of a text: [begin, end) without its line break, which (when
/// there is one) ends at `next`.
struct RawLine {
    std::size_t begin = 0, end = 0, next = 0;
    bool has_break = false;
};

std::vector<RawLine> split_lines(std::string_view t, std::size_t from) {
    std::vector<RawLine> lines;
    std::size_t p = from;
    while (true) {
        RawLine l;
        l.begin = p;
        while (p < t.size() && t[p] != '\n' && t[p] != '\r') ++p;
        l.end = p;
        if (p < t.size()) {
            l.has_break = true;
            p += t[p] == '\r' && p + 1 < t.size() && t[p + 1] == '\n' ? 2 : 1;
        }
        l.next = p;
        lines.push_back(l);
        if (!l.has_break) break;
    }
    return lines;
}

/// The line feeds that join two lines of a folded scalar (or of a plain or
/// quoted one, `more` false) with `empty` empty lines between them.
std::size_t fold_breaks(bool a_more, bool b_more, std::size_t empty) noexcept {
    return a_more || b_more ? empty + 1 : empty;
}

void add_width(ScalarLines& out, std::size_t start_column, std::string_view text) {
    out.width = std::max(out.width, start_column + text_columns(text));
}

bool read_block(std::string_view t, std::size_t indent, ScalarLines& out) {
    out.style = t[0] == '|' ? ScalarStyle::Literal : ScalarStyle::Folded;
    std::size_t i = 1;
    std::size_t digit = 0;
    char chomp = 0;
    for (int n = 0; n < 2 && i < t.size(); ++n) {
        const char c = t[i];
        if (c >= '1' && c <= '9' && digit == 0) {
            digit = static_cast<std::size_t>(c - '0');
        } else if ((c == '+' || c == '-') && chomp == 0) {
            chomp = c;
        } else {
            break;
        }
        ++i;
    }
    std::size_t e = i;
    while (e < t.size() && t[e] != '\n' && t[e] != '\r') ++e;
    if (e == t.size() || (e > i && !is_blank(t[i]))) return false;
    out.header_end = static_cast<std::uint32_t>(e);
    out.indicator = digit != 0;
    const std::vector<RawLine> lines =
        split_lines(t, e + (t[e] == '\r' && e + 1 < t.size() && t[e + 1] == '\n' ? 2 : 1));
    const auto leading = [&](const RawLine& l) {
        std::size_t p = l.begin;
        while (p < l.end && t[p] == ' ') ++p;
        return p - l.begin;
    };
    std::size_t column = indent + digit;
    if (digit == 0) {
        const auto first = std::find_if(lines.begin(), lines.end(), [&](const RawLine& l) {
            return leading(l) < l.end - l.begin;
        });
        if (first == lines.end()) return false;
        column = leading(*first);
        if (t[first->begin + column] == '\t') return false;
    }
    if (column == 0) return false;
    out.column = static_cast<std::uint32_t>(column);
    const bool folded = out.style == ScalarStyle::Folded;
    std::size_t empty = 0;   // empty lines since the last line with text
    std::size_t breaks = 0;  // line breaks after the last line with text
    const RawLine* last = nullptr;
    for (const RawLine& l : lines) {
        const std::size_t n = l.end - l.begin;
        const std::size_t sp = leading(l);
        if (n <= column && sp == n) {
            // An empty line (its blanks, if any, are indentation).
            ++empty;
            if (last != nullptr && l.has_break) ++breaks;
            continue;
        }
        if (sp < column) return false;  // not of this scalar
        const std::string_view text = t.substr(l.begin + column, n - column);
        ScalarLines::Line line;
        line.more = folded && is_blank(text[0]);
        if (out.lines.empty()) {
            out.value.append(empty, '\n');
        } else {
            const bool prev_more = out.lines.back().more;
            const std::size_t nl = folded ? fold_breaks(prev_more, line.more, empty) : empty + 1;
            if (nl == 0) {
                out.value += ' ';
            } else {
                out.value.append(nl, '\n');
            }
        }
        line.src_begin = static_cast<std::uint32_t>(l.begin + column);
        line.src_end = static_cast<std::uint32_t>(l.end);
        line.val_begin = static_cast<std::uint32_t>(out.value.size());
        out.value.append(text);
        line.val_end = static_cast<std::uint32_t>(out.value.size());
        out.lines.push_back(line);
        add_width(out, column, text);
        last = &l;
        empty = 0;
        breaks = l.has_break ? 1 : 0;
    }
    if (out.lines.empty()) return false;
    out.body_len = out.value.size();
    if (chomp == '+') {
        out.value.append(breaks, '\n');
    } else if (chomp == 0 && breaks > 0) {
        out.value += '\n';
    }
    return true;
}

/// Decodes the escape at `t[p]` (after its backslash) into `out`; the
/// position after it, or 0 for one this reading does not know.
std::size_t unescape(std::string_view t, std::size_t p, std::string& out) {
    if (p >= t.size()) return 0;
    const char c = t[p];
    const auto hex = [&](std::size_t digits) -> std::size_t {
        if (p + digits >= t.size()) return 0;
        char32_t cp = 0;
        for (std::size_t k = 1; k <= digits; ++k) {
            const char h = t[p + k];
            cp <<= 4;
            if (h >= '0' && h <= '9') {
                cp |= static_cast<char32_t>(h - '0');
            } else if (h >= 'a' && h <= 'f') {
                cp |= static_cast<char32_t>(h - 'a' + 10);
            } else if (h >= 'A' && h <= 'F') {
                cp |= static_cast<char32_t>(h - 'A' + 10);
            } else {
                return 0;
            }
        }
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
        chars::append_utf8(out, cp);
        return p + digits + 1;
    };
    switch (c) {
        case '0':
            out += '\0';
            break;
        case 'a':
            out += '\a';
            break;
        case 'b':
            out += '\b';
            break;
        case 't':
        case '\t':
            out += '\t';
            break;
        case 'n':
            out += '\n';
            break;
        case 'v':
            out += '\v';
            break;
        case 'f':
            out += '\f';
            break;
        case 'r':
            out += '\r';
            break;
        case 'e':
            out += '\x1B';
            break;
        case ' ':
            out += ' ';
            break;
        case '"':
            out += '"';
            break;
        case '/':
            out += '/';
            break;
        case '\\':
            out += '\\';
            break;
        case 'N':
            out += "\xC2\x85";
            break;
        case '_':
            out += "\xC2\xA0";
            break;
        case 'L':
            out += "\xE2\x80\xA8";
            break;
        case 'P':
            out += "\xE2\x80\xA9";
            break;
        case 'x':
            return hex(2);
        case 'u':
            return hex(4);
        case 'U':
            return hex(8);
        default:
            return 0;
    }
    return p + 1;
}

/// A plain or quoted scalar: its lines are folded (a line break between two
/// lines reads as a space, empty lines as line feeds), blanks around line
/// breaks are not its text, and a quoted one ends at its closing quote.
bool read_flow_scalar(std::string_view t, std::size_t column, ScalarLines& out) {
    const char quote = t[0] == '\'' || t[0] == '"' ? t[0] : 0;
    out.style = quote == '\''  ? ScalarStyle::Single
                : quote == '"' ? ScalarStyle::Double
                               : ScalarStyle::Plain;
    std::string_view inner = t;
    std::size_t base = 0;
    if (quote != 0) {
        if (t.size() < 2 || t.back() != quote) return false;
        inner = t.substr(0, t.size() - 1);
        base = 1;
    }
    const std::vector<RawLine> lines = split_lines(inner, base);
    if (lines.size() < 2) return false;
    std::size_t empty = 0;
    bool escaped_break = false;  // the last line ended with "\" before its break
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const RawLine& l = lines[i];
        const bool first = i == 0, last = i + 1 == lines.size();
        std::size_t b = l.begin, e = l.end;
        if (!first)
            while (b < e && is_blank(inner[b])) ++b;
        if (b == e && !first && !last) {
            ++empty;  // an empty line
            continue;
        }
        // The text of the line, and where its last character that is not a
        // blank of the source ends: blanks before a line break are dropped,
        // but for those before an escaped line break ("\\" at its end).
        std::string text;
        std::size_t kept = b, text_kept = 0;
        bool continues = false;
        std::size_t p = b;
        while (p < e) {
            const char c = inner[p];
            if (quote == '\'' && c == '\'') {
                if (p + 1 >= e || inner[p + 1] != '\'') return false;
                text += '\'';
                p += 2;
            } else if (quote == '"' && c == '\\') {
                if (p + 1 == e) {
                    if (last) return false;
                    continues = true;
                    break;
                }
                const std::size_t q = unescape(inner, p + 1, text);
                if (q == 0 || q > e) return false;
                p = q;
            } else if (quote == '"' && c == '"') {
                return false;
            } else {
                text += c;
                ++p;
                if (is_blank(c)) continue;
            }
            kept = p;
            text_kept = text.size();
        }
        if (continues || last) {
            kept = continues ? p : e;
            text_kept = text.size();
        }
        text.resize(text_kept);
        ScalarLines::Line line;
        if (!first) {
            if (escaped_break) {
                out.value.append(empty, '\n');
            } else if (empty == 0) {
                out.value += ' ';
            } else {
                out.value.append(empty, '\n');
            }
        }
        line.src_begin = static_cast<std::uint32_t>(b);
        line.src_end = static_cast<std::uint32_t>(kept);
        line.val_begin = static_cast<std::uint32_t>(out.value.size());
        out.value += text;
        line.val_end = static_cast<std::uint32_t>(out.value.size());
        out.lines.push_back(line);
        if (first) {
            out.width = std::max(out.width, column + text_columns(t.substr(0, kept)));
        } else {
            const std::size_t indentation = b - l.begin;
            add_width(out, indentation, inner.substr(b, kept - b));
        }
        empty = 0;
        escaped_break = continues;
    }
    if (quote == 0 && out.lines.back().src_end != t.size()) return false;
    out.body_len = out.value.size();
    return true;
}

}  // namespace

std::size_t text_columns(std::string_view text) noexcept {
    std::size_t n = 0;
    for (const char c : text)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
    return n;
}

bool read_scalar_lines(std::string_view text, std::size_t column, std::size_t indent,
                       ScalarLines& out) {
    out = ScalarLines{};
    if (text.empty()) return false;
    if (text[0] == '|' || text[0] == '>') return read_block(text, indent, out);
    return read_flow_scalar(text, column, out);
}

}  // namespace tesvorn
