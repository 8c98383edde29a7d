// Scalars: plain, single- and double-quoted (with escapes) and block
// scalars.
#include <algorithm>
#include <cstring>

#include "core/scan_bytes.hpp"
#include "core/scanner.hpp"

namespace tesvorn::detail {

bool ScannerCore::fetch_plain_scalar() {
    save_simple_key();
    simple_key_permitted_ = false;
    unroll_provisional();
    const std::ptrdiff_t indent = current_indent_ + 1;
    const bool in_flow = flow_depth_ > 0;
    if (in_flow && col() < indent) return fail(mark_, "invalid indentation in flow construct");
    if (!bytes_ || (in_flow && cur() == '-' && is_flow_indicator(at(1))))
        return plain_scalar_rest(mark_, indent, {});
    // In place, most scalars are one stretch of their line: taken straight
    // into their token. (The first character is never a blank, a break, a
    // '#' or a document indicator: the token loop saw to that.)
    const Marker start = mark_;
    Token& token = queue_.emplace_back(TokenType::Scalar, start);
    const char* text = reinterpret_cast<const char*>(bp_);
    token.raw = std::string_view(text, take_plain_bytes(in_flow));
    token.end_line = mark_.line;
    token.end = mark_.pos;
    if (plain_scalar_ended(indent, in_flow)) {
        if (leading_blanks_only_) simple_key_permitted_ = true;
        return true;
    }
    // More lines or words follow: the general loop goes on from the blank
    // or break after this stretch, as after any other.
    std::string value(token.raw);
    queue_.pop_back();
    return plain_scalar_rest(start, indent, std::move(value));
}

bool ScannerCore::plain_scalar_rest(Marker start, std::ptrdiff_t indent, std::string value) {
    const bool in_flow = flow_depth_ > 0;
    // (Text taken so far ends here.)
    std::size_t end_line = value.empty() ? start.line : mark_.line;
    std::size_t end = value.empty() ? start.pos : mark_.pos;
    whitespaces_.clear();
    leading_break_.clear();
    trailing_breaks_.clear();
    auto continues = [&](char32_t ch, char32_t next) {
        if (ch == ':') return !is_blankz(next) && !(in_flow && is_flow_indicator(next));
        return !is_blankz(ch) && !(in_flow && is_flow_indicator(ch));
    };
    for (;;) {
        lookahead(4);
        char32_t c = cur();
        if (mark_.col == 0 && at_document_indicator()) break;
        if (c == '#') break;
        if (in_flow && c == '-' && is_flow_indicator(at(1)) && mark_.index == start.index)
            return fail(mark_, "plain scalar cannot start with '-' followed by ,[]{}");
        if (continues(c, at(1))) {
            // (Most scalars are one chunk: the joins below are then empty.)
            if (leading_blanks_only_) {
                if (!trailing_breaks_.empty())
                    value += trailing_breaks_;
                else if (!leading_break_.empty())
                    value.push_back(' ');
                leading_break_.clear();
                trailing_breaks_.clear();
                leading_blanks_only_ = false;
            } else if (!whitespaces_.empty()) {
                value += whitespaces_;
                whitespaces_.clear();
            }
            const chars::Run run = in_flow ? chars::kRunPlainFlow : chars::kRunPlainBlock;
            if (bytes_) {
                const char* text = reinterpret_cast<const char*>(bp_);
                value.append(text, take_plain_bytes(in_flow));
            }
            while (!bytes_) {
                take_run(&value, run);
                lookahead(2);
                if (cur() == ' ') {
                    // One space between words of a line: joined here, not by
                    // the blank handling below (which sees the same when the
                    // next character goes on with the text and starts
                    // neither a comment nor a "-" that may be an error).
                    const char32_t n = at(1);
                    if (n == '#' || n == '-' || !chars::run_accepts(run, n)) break;
                    value.push_back(' ');
                    skip_blank();
                    continue;
                }
                if (cur() != ':' || !continues(':', at(1))) break;
                value.push_back(':');
                skip_nonblank();
            }
            end_line = mark_.line;
            end = mark_.pos;
        }
        // Blanks and line breaks, which join this chunk to the next one.
        c = cur();
        if (!is_blank(c) && !is_break(c)) break;
        if (bytes_ && !in_flow && is_break(c) && line_ends_scalar(indent)) break;
        for (;;) {
            lookahead(2);
            c = cur();
            if (is_blank(c)) {
                if (leading_blanks_only_) {
                    if (c == '\t' && col() < indent) {
                        if (!skip_ws_to_eol(true)) return false;
                        lookahead(1);
                        if (!is_breakz(cur()))
                            return fail(start, "while scanning a plain scalar, found a tab");
                    } else if (c == ' ') {
                        skip_spaces();  // indentation, not recorded
                    } else {
                        skip_blank();
                    }
                } else {
                    whitespaces_.push_back(static_cast<char>(c));
                    skip_blank();
                }
            } else if (is_break(c)) {
                if (!leading_blanks_only_) {
                    whitespaces_.clear();
                    read_break(leading_break_);
                } else {
                    read_break(trailing_breaks_);
                }
            } else {
                break;
            }
        }
        if (!in_flow && col() < indent) break;
    }
    if (leading_blanks_only_) simple_key_permitted_ = true;
    Token& token = queue_.emplace_back(TokenType::Scalar, start, std::move(value));
    token.end_line = end_line;
    token.end = end;
    return true;
}

bool ScannerCore::plain_scalar_ended(std::ptrdiff_t indent, bool in_flow) {
    // What the loop below would find after a stretch of text, in the usual
    // cases: no blank or break follows, the line ends and the next one is
    // indented less, or blanks lead to a comment or to what cannot go on with
    // the text. Otherwise the current character is a blank or a break.
    if (bp_ == bend_) return true;
    const unsigned char b = *bp_;
    if (b == '\n' || b == '\r') return !in_flow && line_ends_scalar(indent);
    if (b != ' ' && b != '\t') return true;
    const unsigned char* q = bp_ + 1;
    while (q != bend_ && (*q == ' ' || *q == '\t')) ++q;
    if (q != bend_) {
        const unsigned char c = *q;
        if (c == '\n' || c == '\r') return false;
        if (c != '#') {
            const unsigned char next = bend_ - q > 1 ? q[1] : 0;
            const bool goes_on = c == ':'
                                     ? !is_blankz(next) && !(in_flow && is_flow_indicator(next))
                                     : !(in_flow && is_flow_indicator(c));
            if (goes_on) return false;
        }
    }
    // The blanks are passed, as the loop would pass them.
    const auto n = static_cast<std::size_t>(q - bp_);
    mark_.index += n;
    mark_.col += n;
    mark_.pos += n;
    bp_ = q;
    return true;
}

bool ScannerCore::line_ends_scalar(std::ptrdiff_t indent) {
    // The usual end of a block plain scalar: its line ends, and the next
    // one is indented less and not blank. Taken as the loop above would
    // take it (the joins it would record are not used).
    const unsigned char* const p = bp_;
    const unsigned char* const line = p + (p[0] == '\r' && bend_ - p > 1 && p[1] == '\n' ? 2 : 1);
    const unsigned char* q = line;
    while (q != bend_ && *q == ' ') ++q;
    const auto spaces = static_cast<std::size_t>(q - line);
    if (static_cast<std::ptrdiff_t>(spaces) >= indent ||
        (q != bend_ && (*q == '\t' || *q == '\n' || *q == '\r')))
        return false;
    const auto skipped = static_cast<std::size_t>(q - p);
    mark_.index += skipped;
    mark_.pos += skipped;
    ++mark_.line;
    mark_.col = spaces;
    last_break_end_ = mark_.pos - spaces;
    leading_blanks_only_ = true;
    bp_ = q;
    return true;
}

bool ScannerCore::take_quoted_bytes(bool single, std::string_view& text) {
    // Text that ends on its line, with no escape: the bytes are the value
    // (blanks between words are kept as they stand), copied at once.
    const unsigned char* const start = bp_;
    std::uint64_t seen = 0;
    const unsigned char* const p = single ? find_any<'\'', '\n', '\r'>(start, bend_, seen)
                                          : find_any<'"', '\\', '\n', '\r'>(start, bend_, seen);
    if (p == bend_ || *p != (single ? '\'' : '"')) return false;
    if (single && bend_ - p > 1 && p[1] == '\'') return false;  // an escaped quote
    const auto bytes = static_cast<std::size_t>(p - start);
    const std::size_t n = (seen & kHighs) != 0 ? count_chars(start, p) : bytes;
    text = std::string_view(reinterpret_cast<const char*>(start), bytes);
    mark_.index += n;
    mark_.col += n;
    mark_.pos += bytes;
    bp_ = p;
    return true;
}

bool ScannerCore::fetch_flow_scalar(bool single) {
    save_simple_key();
    simple_key_permitted_ = false;
    const Marker start = mark_;
    const char32_t quote = single ? U'\'' : U'"';
    // An error past the opening quote (the others stand at it) says where
    // the scalar began.
    const auto fail_inside = [&](std::string_view message) {
        open_quote_ = {single ? "single-quoted scalar" : "double-quoted scalar", start};
        return fail(mark_, message);
    };
    skip_indicator();  // opening quote

    std::string value;
    whitespaces_.clear();
    leading_break_.clear();
    trailing_breaks_.clear();
    std::string_view text;  // the value, as it stands in the source
    const bool one_line = bytes_ && take_quoted_bytes(single, text);
    while (!one_line) {
        lookahead(4);
        if (mark_.col == 0 && at_document_indicator())
            return fail(start,
                        "while scanning a quoted scalar, found unexpected document indicator");
        if (cur() == kEnd) {
            if (nul_seen_) {
                open_quote_ = {single ? "single-quoted scalar" : "double-quoted scalar", start};
                return fail_bad_char();
            }
            return fail(start, "while scanning a quoted scalar, found unexpected end of stream");
        }
        if (col() < current_indent_)
            return fail_inside(
                "found a line less indented than the quoted scalar's block: "
                "is its closing quote missing?");

        bool leading_blanks = false;
        for (;;) {
            take_run(&value, single ? chars::kRunSingle : chars::kRunDouble);
            lookahead(2);
            const char32_t c = cur_ascii();
            if (single && c == '\'' && at(1) == '\'') {
                value.push_back('\'');
                skip_nonblank();
                skip_nonblank();
                continue;
            }
            if (!single && c == '\\') {
                if (is_break(at(1))) {
                    // An escaped line break: the break and the next line's
                    // indentation vanish.
                    skip_nonblank();
                    skip_linebreak();
                    leading_blanks = true;
                    break;
                }
                if (!scan_escape(value)) return false;
                continue;
            }
            break;
        }
        lookahead(1);
        if (cur() == quote) break;

        for (;;) {
            lookahead(2);
            const char32_t c = cur_ascii();
            if (is_blank(c)) {
                if (leading_blanks) {
                    if (c == '\t' && col() < current_indent_)
                        return fail_inside("tab cannot be used as indentation");
                    if (c == ' ')
                        skip_spaces();
                    else
                        skip_blank();
                } else {
                    whitespaces_.push_back(static_cast<char>(c));
                    skip_blank();
                }
            } else if (is_break(c)) {
                if (!leading_blanks) {
                    whitespaces_.clear();
                    read_break(leading_break_);
                    leading_blanks = true;
                } else {
                    read_break(trailing_breaks_);
                }
            } else {
                break;
            }
        }
        if (leading_blanks) {
            if (leading_break_.empty() || !trailing_breaks_.empty())
                value += trailing_breaks_;
            else
                value.push_back(' ');
            leading_break_.clear();
            trailing_breaks_.clear();
        } else {
            value += whitespaces_;
            whitespaces_.clear();
        }
    }
    const std::size_t end_line = mark_.line;
    skip_indicator();  // closing quote
    const std::size_t end = mark_.pos;
    if (!skip_ws_to_eol(true)) return false;
    lookahead(1);
    const char32_t c = cur_ascii();
    const bool in_flow = flow_depth_ > 0;
    const bool trailing_ok = is_breakz(c) ||
                             (in_flow && (c == ',' || c == ']' || c == '}' || c == ':')) ||
                             (!in_flow && c == ':' && mark_.line == start.line);
    if (!trailing_ok) return fail(mark_, "invalid trailing content after double-quoted scalar");

    // Comments after the scalar on its line are queued before it.
    if (!skip_to_next_token()) return false;
    adjacent_value_index_ = mark_.index;
    Token& token = queue_.emplace_back(TokenType::Scalar, start);
    if (one_line)
        token.raw = text;
    else
        token.value = std::move(value);
    token.style = single ? ScalarStyle::Single : ScalarStyle::Double;
    token.end_line = end_line;
    token.end = end;
    return true;
}

bool ScannerCore::scan_escape(std::string& out) {
    lookahead(10);  // backslash, 'U' and eight digits
    char32_t ch = 0;
    unsigned digits = 0;
    switch (at(1)) {
        case '0':
            ch = 0x00;
            break;
        case 'a':
            ch = 0x07;
            break;
        case 'b':
            ch = 0x08;
            break;
        case 't':
        case '\t':
            ch = 0x09;
            break;
        case 'n':
            ch = 0x0A;
            break;
        case 'v':
            ch = 0x0B;
            break;
        case 'f':
            ch = 0x0C;
            break;
        case 'r':
            ch = 0x0D;
            break;
        case 'e':
            ch = 0x1B;
            break;
        case ' ':
            ch = 0x20;
            break;
        case '"':
            ch = 0x22;
            break;
        case '/':
            ch = 0x2F;
            break;
        case '\\':
            ch = 0x5C;
            break;
        case 'N':
            ch = 0x85;
            break;
        case '_':
            ch = 0xA0;
            break;
        case 'L':
            ch = 0x2028;
            break;
        case 'P':
            ch = 0x2029;
            break;
        case 'x':
            digits = 2;
            break;
        case 'u':
            digits = 4;
            break;
        case 'U':
            digits = 8;
            break;
        default:
            return fail(ascii_ahead(1),
                        "while parsing a quoted scalar, found unknown escape character");
    }
    if (digits > 0) {
        std::uint32_t code = 0;
        for (unsigned i = 0; i < digits; ++i) {
            const char32_t d = at(2 + i);
            if (!chars::is_hex(d))
                return fail(
                    ascii_ahead(2 + i),
                    "while parsing a quoted scalar, did not find expected hexadecimal number");
            code = code * 16 + chars::hex_value(d);
        }
        if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
            return fail(
                mark_,
                "while parsing a quoted scalar, found invalid Unicode character escape code");
        ch = code;
    }
    for (unsigned i = 0; i < 2 + digits; ++i) skip_nonblank();
    chars::append_utf8(out, ch);
    return true;
}

void ScannerCore::skip_block_scalar_indent(std::ptrdiff_t indent, std::string& breaks) {
    for (;;) {
        if (bytes_) {
            const unsigned char* p = bp_;
            std::ptrdiff_t room = indent - col();
            for (; room > 0 && p != bend_ && *p == ' '; --room) ++p;
            const auto n = static_cast<std::size_t>(p - bp_);
            mark_.index += n;
            mark_.col += n;
            mark_.pos += n;
            bp_ = p;
        }
        while (!bytes_) {
            if (count_ == 0) fill();
            unsigned i = 0;
            const unsigned n = count_;
            while (i < n && col() + static_cast<std::ptrdiff_t>(i) < indent && at(i) == ' ') ++i;
            mark_.index += i;
            mark_.col += i;
            mark_.pos += i;
            drop(i);
            if (i < n) break;
        }
        lookahead(2);
        if (!is_break(cur())) return;
        read_break(breaks);
    }
}

bool ScannerCore::fetch_block_scalar(bool literal) {
    save_simple_key();
    simple_key_permitted_ = true;
    const Marker start = mark_;
    skip_indicator();  // '|' or '>'
    unroll_provisional();

    enum class Chomping { Strip, Clip, Keep };
    Chomping chomping = Chomping::Clip;
    std::ptrdiff_t increment = 0;
    auto read_increment = [&]() -> bool {
        lookahead(1);
        if (!chars::is_digit(cur())) return true;
        if (cur() == '0')
            return fail(mark_,
                        "while scanning a block scalar, found an indentation indicator equal to 0");
        increment = static_cast<std::ptrdiff_t>(cur() - '0');
        skip_nonblank();
        return true;
    };
    auto read_chomping = [&] {
        lookahead(1);
        if (cur() == '+' || cur() == '-') {
            chomping = cur() == '+' ? Chomping::Keep : Chomping::Strip;
            skip_nonblank();
        }
    };
    lookahead(1);
    if (cur() == '+' || cur() == '-') {
        read_chomping();
        if (!read_increment()) return false;
    } else {
        if (!read_increment()) return false;
        read_chomping();
    }

    if (!skip_ws_to_eol(true)) return false;
    // Where the scalar's text ends: past the line break of its last line
    // (the header's, when no content line follows), and for kept chomping
    // past the empty lines after it, which are content.
    std::size_t header_end = mark_.pos;
    lookahead(2);
    if (!is_breakz(cur()))
        return fail(mark_,
                    "while scanning a block scalar, did not find expected comment or line break");
    const bool header_break = is_break(cur());
    if (header_break) {
        skip_linebreak();
        header_end = mark_.pos;
        lookahead(1);
        if (cur() == '\t') return fail(start, "a block scalar content cannot start with a tab");
    }

    std::string value;
    leading_break_.clear();
    trailing_breaks_.clear();
    std::ptrdiff_t indent = 0;
    std::ptrdiff_t max_col = 0;
    if (increment > 0) {
        indent = current_indent_ < 1 ? increment : current_indent_ + increment;
        skip_block_scalar_indent(indent, trailing_breaks_);
    } else {
        for (;;) {
            skip_spaces();
            max_col = std::max(max_col, col());
            lookahead(2);
            if (!is_break(cur())) break;
            read_break(trailing_breaks_);
        }
        indent = std::max(max_col, current_indent_ + 1);
    }

    // The last source line the value covers: its last content line, and for
    // kept chomping the empty lines after it too.
    std::size_t end_line = start.line;
    std::size_t content_end = header_end;
    auto push = [&] {
        Token& token = queue_.emplace_back(TokenType::Scalar, start, std::move(value));
        token.style = literal ? ScalarStyle::Literal : ScalarStyle::Folded;
        token.end_line = end_line;
        const bool kept = chomping == Chomping::Keep && last_break_end_ > content_end;
        token.end = kept ? last_break_end_ : content_end;
    };
    lookahead(1);
    if (cur() == kEnd) {
        // No content line at all: there is no final line break to clip;
        // keeping keeps the empty lines (the header's break is the
        // header's, not content; blanks that end the input end a line).
        value.clear();
        if (chomping == Chomping::Keep) {
            value = trailing_breaks_;
            if (header_break && col() > 0) value.push_back('\n');
        }
        push();
        return true;
    }
    // A document marker ends the scalar, however deep its text would be.
    lookahead(4);
    const bool marker = col() == 0 && at_document_indicator();
    if (col() < indent && col() > current_indent_ && !marker)
        return fail(mark_, "wrongly indented line in block scalar");

    bool leading_blank = false;
    while (col() == indent && cur() != kEnd) {
        if (indent == 0) {
            lookahead(4);
            if (at_document_indicator()) break;
        }
        const bool trailing_blank = is_blank(cur());
        if (!literal && !leading_break_.empty() && !leading_blank && !trailing_blank) {
            if (trailing_breaks_.empty()) value.push_back(' ');
            value += trailing_breaks_;
        } else {
            value += leading_break_;
            value += trailing_breaks_;
        }
        leading_break_.clear();
        trailing_breaks_.clear();
        leading_blank = trailing_blank;
        take_run(&value, chars::kRunLine);
        end_line = mark_.line;
        content_end = mark_.pos;
        lookahead(2);
        if (cur() == kEnd) break;
        read_break(leading_break_);
        content_end = mark_.pos;
        skip_block_scalar_indent(indent, trailing_breaks_);
    }

    // The last line's break, if it has one: a scalar that ends the stream
    // without one gains none.
    if (chomping != Chomping::Strip) value += leading_break_;
    if (chomping == Chomping::Keep) {
        value += trailing_breaks_;
        if (!trailing_breaks_.empty()) end_line = mark_.line - 1;
    }
    push();
    return true;
}

}  // namespace tesvorn::detail
