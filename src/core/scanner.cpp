#include "core/scanner.hpp"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/char_traits.hpp"
#include "core/scan_bytes.hpp"

namespace tesvorn {

using chars::is_blank;
using chars::is_blankz;
using chars::is_break;
using chars::is_breakz;
using chars::is_flow_indicator;
using chars::kEnd;

TextSource::Decoded TextSource::decode_multibyte(const unsigned char* p,
                                                 const unsigned char* end) noexcept {
    const std::size_t avail = static_cast<std::size_t>(end - p);
    const unsigned b0 = p[0];
    auto cont = [&](std::size_t i, unsigned lo = 0x80, unsigned hi = 0xBF) {
        return i < avail && p[i] >= lo && p[i] <= hi;
    };
    // On a bad sequence, the maximal valid prefix becomes one U+FFFD.
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        if (cont(1)) return {((b0 & 0x1Fu) << 6) | (p[1] & 0x3Fu), 2};
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        if (cont(1, b0 == 0xE0 ? 0xA0 : 0x80, b0 == 0xED ? 0x9F : 0xBF)) {
            if (cont(2)) return {((b0 & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu), 3};
            return {0xFFFD, 2};
        }
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        if (cont(1, b0 == 0xF0 ? 0x90 : 0x80, b0 == 0xF4 ? 0x8F : 0xBF)) {
            if (!cont(2)) return {0xFFFD, 2};
            if (!cont(3)) return {0xFFFD, 3};
            return {((b0 & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) |
                        (p[3] & 0x3Fu),
                    4};
        }
    }
    return {0xFFFD, 1};
}

std::size_t TextSource::take_ascii(char32_t* dst, std::size_t n) noexcept {
    const std::size_t avail = std::min(n, static_cast<std::size_t>(end_ - p_));
    std::size_t i = 0;
    // Eight bytes at a time while all are in 0x20-0x7E.
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    constexpr std::uint64_t kHighs = 0x8080808080808080u;
    for (; i + 8 <= avail; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p_ + i, 8);
        if ((((w - kOnes * 0x20) | (w + kOnes)) & kHighs) != 0) break;
        for (std::size_t k = 0; k < 8; ++k) dst[i + k] = p_[i + k];
    }
    // Then byte by byte up to a character not allowed, a multi-byte one, or
    // the next eight bytes of plain ASCII.
    while (i < avail && chars::is_printable(p_[i]) && p_[i] < 0x80) {
        dst[i] = p_[i];
        ++i;
        if (i + 8 > avail) continue;
        std::uint64_t w;
        std::memcpy(&w, p_ + i, 8);
        if (((w - kOnes * 0x20) | (w + kOnes)) & kHighs) continue;
        for (std::size_t k = 0; k < 8; ++k) dst[i + k] = p_[i + k];
        i += 8;
    }
    p_ += i;
    return i;
}

TextSource::Run TextSource::take_run(std::string* out, chars::Run run) {
    const unsigned char* p = p_;
    const unsigned char* copied = p;  // the text before it is in *out
    std::size_t count = 0;
    std::size_t bytes = 0;
    Run got{};
    for (;;) {
        const unsigned char* ascii = p;
        while (p != end_ && *p < 0x80 && !(chars::detail::kRunStops[*p] & run)) ++p;
        count += static_cast<std::size_t>(p - ascii);
        bytes += static_cast<std::size_t>(p - ascii);
        if (p == end_) {
            got = {count, bytes, 0, true, false};
            break;
        }
        if (*p < 0x80) {
            // One lookup: the table also stops every run at NUL.
            const bool bad = !chars::is_printable(*p);
            got = {count, bytes, *p, bad, bad};
            if (out) out->append(reinterpret_cast<const char*>(copied), p - copied);
            p_ = p + 1;
            return got;
        }
        const Decoded d = decode_multibyte(p, end_);
        if (!chars::run_accepts(run, d.c) || !chars::is_printable(d.c)) {
            const bool bad = !chars::is_printable(d.c);
            got = {count, bytes, d.c, bad, bad};
            if (out) out->append(reinterpret_cast<const char*>(copied), p - copied);
            p_ = p + d.length;
            return got;
        }
        if (d.c == 0xFFFD) {
            // Maybe a bad sequence: what stands for it is U+FFFD, not the
            // bytes.
            if (out) {
                out->append(reinterpret_cast<const char*>(copied), p - copied);
                out->append("\xEF\xBF\xBD");
            }
            copied = p + d.length;
        }
        p += d.length;
        ++count;
        bytes += chars::utf8_length(d.c);
    }
    if (out) out->append(reinterpret_cast<const char*>(copied), p - copied);
    p_ = p;
    return got;
}

TextSource::Clean TextSource::clean_text() const noexcept {
    const unsigned char* p = p_;
    auto upto = [this](const unsigned char* q) {
        return std::string_view(reinterpret_cast<const char*>(p_),
                                static_cast<std::size_t>(q - p_));
    };
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    constexpr std::uint64_t kHighs = 0x8080808080808080u;
    for (;;) {
        // Sixteen or eight bytes at a time while all are printable ASCII or
        // line breaks (tabs are rare: the byte loop takes them).
#if defined(__SSE2__)
        while (end_ - p >= 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            // Bytes below 0x20 (and, signed, above 0x7F) or equal to 0x7F,
            // less LF and CR.
            const __m128i low = _mm_or_si128(_mm_cmplt_epi8(v, _mm_set1_epi8(0x20)),
                                             _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F)));
            const __m128i breaks = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n')),
                                                _mm_cmpeq_epi8(v, _mm_set1_epi8('\r')));
            if (_mm_movemask_epi8(_mm_andnot_si128(breaks, low)) != 0) break;
            p += 16;
        }
#endif
        while (end_ - p >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            if ((((w - kOnes * 0x20) | (w + kOnes)) & kHighs) != 0) break;
            p += 8;
        }
        if (p == end_) return {upto(p), false, true};
        if (*p < 0x80) {
            if (!chars::is_printable(*p)) return {upto(p), true, true, *p};
            ++p;
            continue;
        }
        const Decoded d = decode_multibyte(p, end_);
        // U+FFFD stands for a bad sequence unless it is its own three bytes.
        if (d.c == 0xFFFD && (d.length != 3 || *p != 0xEF)) return {{}, false, false};
        if (!chars::is_printable(d.c)) return {upto(p), true, true, d.c};
        p += d.length;
    }
}

namespace detail {

ScannerCore::ScannerCore() = default;
ScannerCore::~ScannerCore() = default;
ScannerCore::ScannerCore(ScannerCore&&) noexcept = default;
ScannerCore& ScannerCore::operator=(ScannerCore&&) noexcept = default;

void ScannerCore::TokenQueue::drop_buffer(std::string& s) noexcept {
    std::string().swap(s);
}

void ScannerCore::TokenQueue::emplace_slow(std::size_t pos, TokenType type, const Marker& m) {
    if (size_ == mask_ + 1) grow();
    ++size_;
    if (pos < size_ / 2) {
        // The tokens before `pos` move one slot towards the front.
        head_ = (head_ + mask_) & mask_;
        for (std::size_t i = 0; i < pos; ++i) std::swap(at(i), at(i + 1));
    } else {
        for (std::size_t i = size_ - 1; i > pos; --i) std::swap(at(i), at(i - 1));
    }
    set(at(pos), type, m);
}

void ScannerCore::TokenQueue::grow() {
    std::vector<Token> bigger(slots_.empty() ? 16 : 2 * slots_.size());
    for (std::size_t i = 0; i < size_; ++i) bigger[i] = std::move(at(i));
    slots_.swap(bigger);
    mask_ = slots_.size() - 1;
    head_ = 0;
}

// ---------------------------------------------------------------------------
// Characters

void ScannerCore::read_bytes(const unsigned char* begin, const unsigned char* end, bool nul_after,
                             char32_t bad) noexcept {
    bytes_ = true;
    bp_ = begin;
    bend_ = end;
    nul_seen_ = nul_after;
    bad_char_ = bad;
    source_done_ = true;
    // No refill is ever asked for.
    count_ = ~0u;
}

void ScannerCore::fill() {
    if (head_ + window_ > 2 * window_) {
        // A whole window's copy: cheaper than copying exactly count_ characters.
        std::copy_n(buf_ + head_, window_, buf_);
        head_ = 0;
    }
    const unsigned want = window_ - count_;
    char32_t* dst = buf_ + head_ + count_;
    if (source_done_) {
        std::fill_n(dst, want, kEnd);
    } else {
        const Pulled got = pull(dst, want);
        if (got.count < want) {
            // From here on the scanner sees the end of input; a NUL that
            // caused it is reported when the scanner reaches it.
            source_done_ = true;
            nul_seen_ = got.nul;
            bad_char_ = got.bad;
            std::fill_n(dst + got.count, want - got.count, kEnd);
        }
    }
    count_ = window_;
}

void ScannerCore::skip_linebreak() {
    lookahead(2);
    const char32_t c = cur_ascii();
    if (c == '\r' && at(1) == '\n') {
        mark_.index += 2;
        mark_.pos += 2;
        drop(2);
    } else if (is_break(c)) {
        mark_.index += 1;
        mark_.pos += 1;
        drop(1);
    } else {
        return;
    }
    ++mark_.line;
    mark_.col = 0;
    last_break_end_ = mark_.pos;
    leading_blanks_only_ = true;
}

void ScannerCore::read_break(std::string& s) {
    lookahead(2);
    if (!is_break(cur())) return;
    skip_linebreak();
    s.push_back('\n');
}

// Copies the run of characters accepted by `keep` (which must reject the end
// of input) into `out`, a lookahead window at a time.
template <class Keep>
void ScannerCore::take_while(std::string& out, Keep keep) {
    if (bytes_) {
        const unsigned char* p = bp_;
        std::size_t n = 0;
        for (; p != bend_ && keep(decode(p)); ++n) p += sequence_length(*p);
        if (n == 0) return;
        out.append(reinterpret_cast<const char*>(bp_), static_cast<std::size_t>(p - bp_));
        mark_.index += n;
        mark_.col += n;
        mark_.pos += static_cast<std::size_t>(p - bp_);
        leading_blanks_only_ = false;
        bp_ = p;
        return;
    }
    for (;;) {
        if (count_ == 0) fill();
        char buf[kLookahead * 4];
        unsigned len = 0;
        unsigned i = 0;
        const unsigned n = count_;
        for (; i < n; ++i) {
            const char32_t c = at(i);
            if (!keep(c)) break;
            len += chars::encode_utf8(buf + len, c);
        }
        if (i == 0) return;
        out.append(buf, len);
        mark_.index += i;
        mark_.col += i;
        mark_.pos += len;
        leading_blanks_only_ = false;
        drop(i);
        if (i < n) return;
    }
}

void ScannerCore::take_run_bytes(std::string* out, chars::Run run) {
    const unsigned char* const start = bp_;
    const unsigned char* p = start;
    // The bytes taken ORed together: without a high bit, all are ASCII and
    // the characters need no counting.
    std::uint64_t seen = 0;
    using chars::Run;
    switch (run) {
        case Run::kRunPlainBlock:
            p = find_stop<Run::kRunPlainBlock, ' ', '\t', '\n', '\r', ':'>(p, bend_, seen);
            break;
        case Run::kRunPlainFlow:
            p = find_stop<Run::kRunPlainFlow, ' ', '\t', '\n', '\r', ':', ',', '[', ']', '{', '}'>(
                p, bend_, seen);
            break;
        case Run::kRunLine:
            p = find_stop<Run::kRunLine, '\n', '\r'>(p, bend_, seen);
            break;
        case Run::kRunSingle:
            p = find_stop<Run::kRunSingle, ' ', '\t', '\n', '\r', '\''>(p, bend_, seen);
            break;
        case Run::kRunDouble:
            p = find_stop<Run::kRunDouble, ' ', '\t', '\n', '\r', '"', '\\'>(p, bend_, seen);
            break;
        case Run::kRunSpaces:
            while (p != bend_ && *p == ' ') ++p;
            break;
    }
    const auto bytes = static_cast<std::size_t>(p - start);
    if (bytes == 0) return;
    // Runs never hold line breaks; only a run of spaces leaves the line blank.
    const std::size_t n = (seen & kHighs) != 0 ? count_chars(start, p) : bytes;
    if (run != chars::kRunSpaces) leading_blanks_only_ = false;
    if (out) out->append(reinterpret_cast<const char*>(start), bytes);
    mark_.index += n;
    mark_.col += n;
    mark_.pos += bytes;
    bp_ = p;
}

std::size_t ScannerCore::take_plain_bytes(bool in_flow) {
    // One body per context, each with only its own search constants.
    return in_flow ? take_plain_bytes_in<true>() : take_plain_bytes_in<false>();
}

template <bool in_flow>
std::size_t ScannerCore::take_plain_bytes_in() {
    const unsigned char* const start = bp_;
    const unsigned char* const end = bend_;
    const unsigned char* p = start;
    std::uint64_t seen = 0;
    using chars::Run;
    const Run run = in_flow ? Run::kRunPlainFlow : Run::kRunPlainBlock;
    for (;;) {
        if constexpr (in_flow)
            p = find_stop<Run::kRunPlainFlow, ' ', '\t', '\n', '\r', ':', ',', '[', ']', '{', '}'>(
                p, end, seen);
        else
            p = find_stop<Run::kRunPlainBlock, ' ', '\t', '\n', '\r', ':'>(p, end, seen);
        if (end - p < 2) break;  // the end of input follows: it ends the text
        const unsigned char next = p[1];
        if (*p == ' ') {
            // One space between words goes on with the text unless what
            // follows starts a comment, may be a "-" error, or ends it.
            if (next == '#' || next == '-' || (chars::detail::kByteRunStops[next] & run)) break;
        } else if (*p == ':') {
            // A ':' goes on with the text when no blank or (in flow) flow
            // indicator follows it.
            if (next < 0x80 && (is_blankz(next) || (in_flow && is_flow_indicator(next)))) break;
        } else {
            break;
        }
        p += 1;
    }
    const auto bytes = static_cast<std::size_t>(p - start);
    if (bytes == 0) return 0;
    const std::size_t n = (seen & kHighs) != 0 ? count_chars(start, p) : bytes;
    leading_blanks_only_ = false;
    mark_.index += n;
    mark_.col += n;
    mark_.pos += bytes;
    bp_ = p;
    return bytes;
}

void ScannerCore::take_run_window(std::string* out, chars::Run run) {
    auto advance = [this, run](std::size_t n, std::size_t bytes) {
        mark_.index += n;
        mark_.col += n;  // runs never hold line breaks
        mark_.pos += bytes;
        if (n > 0 && run != chars::kRunSpaces) leading_blanks_only_ = false;
    };
    // What the window holds first...
    unsigned len = 0;
    unsigned i = 0;
    const unsigned n = count_;
    const char32_t* window = buf_ + head_;
    if (out) {
        char buf[kLookahead * 4];
        for (; i < n; ++i) {
            const char32_t c = window[i];
            if (c < 0x80) {
                if (chars::detail::kRunStops[c] & run) break;
                buf[len++] = static_cast<char>(c);
            } else {
                if (!chars::run_accepts(run, c)) break;
                len += chars::encode_utf8(buf + len, c);
            }
        }
        if (len > 0) out->append(buf, len);
    } else {
        for (; i < n; ++i) {
            const char32_t c = window[i];
            if (!chars::run_accepts(run, c)) break;
            len += chars::utf8_length(c);
        }
    }
    advance(i, len);
    drop(i);
    if (i < n) return;
    if (source_done_) {
        fill();  // the end of input, which stops every run
        return;
    }
    // ...then straight from the source, one character of lookahead at a time.
    const PulledRun got = pull_run(out, run);
    advance(got.count, got.bytes);
    head_ = 0;
    count_ = 0;
    if (got.ended) {
        source_done_ = true;
        nul_seen_ = got.nul;
        bad_char_ = got.stop;
    } else {
        buf_[0] = got.stop;
        count_ = 1;
    }
}

bool ScannerCore::at_document_indicator() const noexcept {
    const char32_t c = cur_ascii();
    return (c == '-' || c == '.') && at(1) == c && at(2) == c && is_blankz(at(3));
}

[[gnu::noinline, gnu::cold]] bool ScannerCore::fail(Marker m, std::string_view message) {
    if (!stored_error_) stored_error_.emplace(m, std::string(message));
    return false;
}

bool ScannerCore::fail_bad_char() {
    if (bad_char_ == 0) return fail(mark_, "found invalid character NUL");
    if (bad_char_ == chars::kBadText)
        return fail(
            mark_,
            "found text that is not valid Unicode (bytes that do not decode, or a lone surrogate)");
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(bad_char_));
    return fail(mark_, std::string("found invalid character ") + code +
                           " (control characters must be escaped, in a double-quoted scalar)");
}

Opener ScannerCore::open_at_error() const noexcept {
    if (!stored_error_) return {};
    const std::size_t at = stored_error_->mark.index;
    if (open_quote_.what && open_quote_.mark.index < at) return open_quote_;
    for (auto it = open_flows_.rbegin(); it != open_flows_.rend(); ++it)
        if (it->mark.index < at) return *it;
    return {};
}

// ---------------------------------------------------------------------------
// Token loop

bool ScannerCore::next(Token& out) {
    Token* t = peek_token();
    if (!t) return false;
    out = std::move(*t);
    if (out.raw.data()) {
        out.value = out.raw;
        out.raw = {};
    }
    pop_token();
    return true;
}

Token* ScannerCore::peek_token_slow() {
    if (stored_error_ || stream_ended_) return nullptr;
    if (!fetch_more_tokens()) return nullptr;
    if (queue_.empty()) {
        static_cast<void>(fail(mark_, "did not find expected next token"));
        return nullptr;
    }
    return &queue_.front();
}

bool ScannerCore::fetch_more_tokens() {
    for (;;) {
        if (!queue_.empty()) {
            if (!stale_key_check()) return false;
            if (!front_may_be_key()) break;
        }
        if (!fetch_next_token()) return false;
    }
    queue_ready_ = true;
    return true;
}

bool ScannerCore::front_may_be_key() const noexcept {
    for (const PotentialSimpleKey& k : potential_keys_)
        if (k.possible && k.token_number == tokens_taken_) return true;
    return false;
}

bool ScannerCore::stale_key_check_slow() {
    auto stale = [this](const PotentialSimpleKey& k) {
        return k.possible &&
               (k.mark.line < mark_.line || k.mark.index + kMaxSimpleKeyLength < mark_.index);
    };
    if (flow_depth_ > 0) {
        // Inside flow collections keys never go stale. The block-level key
        // (a flow collection that may turn out to be a key) is bound to be
        // dropped by the first check after the collection, so an optional
        // one is dropped now: the tokens are the same, but a long flow
        // collection no longer sits whole in the queue.
        PotentialSimpleKey& block_key = potential_keys_.front();
        if (stale(block_key) && !block_key.required) block_key.possible = false;
        return true;
    }
    // Outside flow collections the block-level key is the only one.
    PotentialSimpleKey& key = potential_keys_.front();
    if (stale(key)) {
        if (key.required) return fail(mark_, "simple key expect ':'");
        key.possible = false;
    }
    return true;
}

bool ScannerCore::fetch_next_token() {
    if (!stream_started_) {
        fetch_stream_start();
        return true;
    }
    if (!skip_to_next_token()) return false;
    if (!stale_key_check()) return false;
    unroll_indent(col());
    lookahead(4);
    const char32_t c = cur_ascii();
    if (c == kEnd) return fetch_stream_end();
    if (mark_.col == 0) {
        if (c == '%') return fetch_directive();
        if (c == '-' && at_document_indicator())
            return fetch_document_indicator(TokenType::DocumentStart);
        if (c == '.' && at_document_indicator()) {
            if (!fetch_document_indicator(TokenType::DocumentEnd)) return false;
            if (!skip_ws_to_eol(true)) return false;
            lookahead(1);
            if (!is_breakz(cur())) return fail(mark_, "invalid content after document end marker");
            return true;
        }
    }
    if (col() < current_indent_) return fail(mark_, "invalid indentation");
    // Only read after an ASCII indicator: in place, the next byte is then
    // the next character, or its lead byte, which is no blank or indicator.
    const char32_t n = !bytes_ ? buf_[head_ + 1] : bend_ - bp_ > 1 ? bp_[1] : kEnd;
    switch (c) {
        case '[':
            return fetch_flow_collection_start(TokenType::FlowSequenceStart);
        case '{':
            return fetch_flow_collection_start(TokenType::FlowMappingStart);
        case ']':
            return fetch_flow_collection_end(TokenType::FlowSequenceEnd);
        case '}':
            return fetch_flow_collection_end(TokenType::FlowMappingEnd);
        case ',':
            return fetch_flow_entry();
        case '-':
            if (is_blankz(n)) return fetch_block_entry();
            break;
        case '?':
            if (is_blankz(n)) return fetch_key();
            break;
        case ':':
            if (is_blankz(n) ||
                (flow_depth_ > 0 && (is_flow_indicator(n) || mark_.index == adjacent_value_index_)))
                return fetch_value();
            break;
        case '*':
            return fetch_anchor(true);
        case '&':
            return fetch_anchor(false);
        case '!':
            return fetch_tag();
        case '|':
        case '>':
            // Indicators, which start no plain scalar (there are no block
            // scalars in flow collections).
            if (flow_depth_ == 0) return fetch_block_scalar(c == '|');
            return fail(mark_,
                        c == '|' ? "unexpected character: `|'" : "unexpected character: `>'");
        case '\'':
        case '"':
            return fetch_flow_scalar(c == '\'');
        case '%':
        case '@':
        case '`': {
            std::string message = "unexpected character: `";
            message.push_back(static_cast<char>(c));
            message += "'";
            return fail(mark_, message);
        }
        default:
            break;
    }
    return fetch_plain_scalar();
}

bool ScannerCore::skip_to_next_token() {
    for (;;) {
        lookahead(1);
        switch (cur_ascii()) {
            case ' ':
                skip_spaces();
                break;
            case '\t':
                if (!indent_stack_.empty() && leading_blanks_only_ && col() < current_indent_) {
                    if (!skip_ws_to_eol(true)) return false;
                    lookahead(1);
                    if (!is_breakz(cur()))
                        return fail(mark_,
                                    "tabs disallowed within this context (block indentation)");
                } else if (leading_blanks_only_) {
                    // Indentation with a tab: what follows it may not open
                    // a block collection.
                    for (lookahead(1); is_blank(cur_ascii()); lookahead(1)) skip_blank();
                    note_tab();
                } else {
                    skip_blank();
                }
                break;
            case '\n':
            case '\r':
                skip_linebreak();
                if (flow_depth_ == 0) simple_key_permitted_ = true;
                break;
            case '#':
                capture_comment();
                break;
            default:
                return true;
        }
    }
}

bool ScannerCore::skip_ws_to_eol(bool tabs_allowed, bool* found_tabs, bool* found_spaces) {
    bool tabs = false;
    bool spaces = false;
    for (;;) {
        lookahead(1);
        const char32_t c = cur_ascii();
        if (c == ' ') {
            spaces = true;
            skip_spaces();
        } else if (c == '\t' && tabs_allowed) {
            tabs = true;
            skip_blank();
        } else if (c == '#') {
            if (!tabs && !spaces)
                return fail(mark_, "comments must be separated from other tokens by whitespace");
            capture_comment();
        } else {
            break;
        }
    }
    if (found_tabs) *found_tabs = tabs;
    if (found_spaces) *found_spaces = spaces;
    return true;
}

void ScannerCore::capture_comment() {
    const Marker start = mark_;
    skip_indicator();  // '#'
    lookahead(1);
    if (cur_ascii() == ' ') skip_blank();
    if (bytes_) {
        // The text stays in the source until someone keeps it.
        const char* text = reinterpret_cast<const char*>(bp_);
        take_run_bytes(nullptr, chars::kRunLine);
        queue_.emplace_back(TokenType::Comment, start).raw = std::string_view(
            text, static_cast<std::size_t>(reinterpret_cast<const char*>(bp_) - text));
    } else {
        std::string text;
        take_run_window(&text, chars::kRunLine);
        queue_.emplace_back(TokenType::Comment, start, std::move(text));
    }
    queue_.back().end = mark_.pos;
}

// ---------------------------------------------------------------------------
// Stream, documents, directives

void ScannerCore::fetch_stream_start() {
    current_indent_ = -1;
    stream_started_ = true;
    simple_key_permitted_ = true;
    queue_.emplace_back(TokenType::StreamStart, mark_);
    potential_keys_.push_back(PotentialSimpleKey{});
    // A byte order mark at the start of the stream is not content (files
    // saved by some editors begin with one); the first line still starts at
    // column 0.
    lookahead(1);
    if (cur() == 0xFEFF) {
        skip_nonblank();
        mark_.col = 0;
        leading_blanks_only_ = true;
    }
}

bool ScannerCore::fetch_stream_end() {
    // A NUL character is not an end of input: stopping there would hand back
    // a truncated document as a success.
    if (nul_seen_) return fail_bad_char();
    if (mark_.col != 0) {
        mark_.col = 0;
        ++mark_.line;
    }
    for (PotentialSimpleKey& k : potential_keys_) {
        if (k.possible && k.required) return fail(mark_, "simple key expected");
        k.possible = false;
    }
    unroll_indent(-1);
    if (!remove_simple_key()) return false;
    simple_key_permitted_ = false;
    queue_.emplace_back(TokenType::StreamEnd, mark_);
    return true;
}

bool ScannerCore::fetch_document_indicator(TokenType kind) {
    unroll_indent(-1);
    if (!remove_simple_key()) return false;
    simple_key_permitted_ = false;
    const Marker start = mark_;
    skip_nonblank();
    skip_nonblank();
    skip_nonblank();
    queue_.emplace_back(kind, start).end = mark_.pos;
    return true;
}

bool ScannerCore::fetch_directive() {
    unroll_indent(-1);
    if (!remove_simple_key()) return false;
    simple_key_permitted_ = false;
    const Marker start = mark_;
    skip_nonblank();  // '%'
    std::string name;
    take_while(name, chars::is_word_char);
    if (name.empty())
        return fail(start, "while scanning a directive, could not find expected directive name");
    lookahead(1);
    if (!is_blankz(cur()))
        return fail(start,
                    "while scanning a directive, found unexpected non-alphabetical character");
    auto skip_blanks = [this] {
        for (lookahead(1); is_blank(cur()); lookahead(1)) skip_blank();
    };

    Token token;
    if (name == "YAML") {
        skip_blanks();
        std::uint32_t major = 0;
        std::uint32_t minor = 0;
        if (!scan_version_number(start, major)) return false;
        if (cur() != '.')
            return fail(start,
                        "while scanning a YAML directive, did not find expected digit or '.' "
                        "character");
        skip_nonblank();
        if (!scan_version_number(start, minor)) return false;
        token = Token(TokenType::VersionDirective, start);
        token.major = major;
        token.minor = minor;
    } else if (name == "TAG") {
        skip_blanks();
        std::string handle;
        if (!scan_tag_handle(true, start, handle)) return false;
        lookahead(1);
        if (!is_blank(cur()))
            return fail(start,
                        "while scanning TAG, did not find expected whitespace after the handle");
        skip_blanks();
        std::string prefix;
        if (!scan_tag_prefix(start, prefix)) return false;
        lookahead(1);
        if (!is_blankz(cur()))
            return fail(start,
                        "while scanning TAG, did not find expected whitespace or line break");
        token = Token(TokenType::TagDirective, start, std::move(handle), std::move(prefix));
    } else {
        // Unknown directives are skipped; the parser ignores the empty token.
        take_run(nullptr, chars::kRunLine);
        token = Token(TokenType::TagDirective, start);
    }
    if (!skip_ws_to_eol(true)) return false;
    lookahead(1);
    if (!is_breakz(cur()))
        return fail(start,
                    "while scanning a directive, did not find expected comment or line break");
    skip_linebreak();
    token.end = mark_.pos;
    queue_.push_back(std::move(token));
    return true;
}

bool ScannerCore::scan_version_number(Marker start, std::uint32_t& out) {
    unsigned length = 0;
    std::uint32_t value = 0;
    for (lookahead(1); chars::is_digit(cur()); lookahead(1)) {
        if (++length > 9)
            return fail(start,
                        "while scanning a YAML directive, found extremely long version number");
        value = value * 10 + (cur() - '0');
        skip_nonblank();
    }
    if (length == 0)
        return fail(start, "while scanning a YAML directive, did not find expected version number");
    out = value;
    return true;
}

bool ScannerCore::scan_tag_prefix(Marker start, std::string& out) {
    lookahead(1);
    const char32_t first = cur();
    if (first == '%') {
        if (!scan_uri_escapes(start, out)) return false;
    } else if (chars::is_uri_char(first) && !is_flow_indicator(first)) {
        out.push_back(static_cast<char>(first));
        skip_nonblank();
    } else {
        return fail(start, "invalid global tag character");
    }
    for (lookahead(1); chars::is_uri_char(cur()); lookahead(1)) {
        if (cur() == '%') {
            if (!scan_uri_escapes(start, out)) return false;
        } else {
            take_while(out, [](char32_t c) { return chars::is_uri_char(c) && c != '%'; });
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Flow and block indicators

bool ScannerCore::fetch_flow_collection_start(TokenType kind) {
    save_simple_key();
    roll_one_column();
    if (flow_depth_ >= kMaxFlowDepth) return fail(mark_, "recursion limit exceeded");
    potential_keys_.push_back(PotentialSimpleKey{});
    ++flow_depth_;
    simple_key_permitted_ = true;
    const Marker start = mark_;
    open_flows_.push_back(
        {kind == TokenType::FlowMappingStart ? "flow mapping" : "flow sequence", start});
    skip_indicator();
    // The pair state belongs to each flow collection: a pair in a sequence
    // whose value is a collection resumes when that collection ends.
    outer_pairs_.push_back({flow_mapping_open_, implicit_mapping_open_});
    flow_mapping_open_ = kind == TokenType::FlowMappingStart;
    implicit_mapping_open_ = false;
    if (!skip_ws_to_eol(true)) return false;
    queue_.emplace_back(kind, start).end = start.pos + 1;
    return true;
}

bool ScannerCore::fetch_flow_collection_end(TokenType kind) {
    if (!remove_simple_key()) return false;
    if (flow_depth_ > 0) {
        --flow_depth_;
        potential_keys_.pop_back();
        open_flows_.pop_back();
    }
    simple_key_permitted_ = false;
    implicit_mapping_end();
    if (!outer_pairs_.empty()) {
        flow_mapping_open_ = outer_pairs_.back().first;
        implicit_mapping_open_ = outer_pairs_.back().second;
        outer_pairs_.pop_back();
    }
    const Marker start = mark_;
    skip_indicator();
    if (!skip_ws_to_eol(true)) return false;
    if (flow_depth_ > 0) adjacent_value_index_ = mark_.index;
    queue_.emplace_back(kind, start).end = start.pos + 1;
    return true;
}

bool ScannerCore::fetch_flow_entry() {
    if (!remove_simple_key()) return false;
    simple_key_permitted_ = true;
    implicit_mapping_end();
    const Marker start = mark_;
    skip_indicator();
    if (!skip_ws_to_eol(true)) return false;
    queue_.emplace_back(TokenType::FlowEntry, start).end = start.pos + 1;
    return true;
}

void ScannerCore::implicit_mapping_end() {
    if (!implicit_mapping_open_) return;
    implicit_mapping_open_ = false;
    flow_mapping_open_ = false;
    queue_.emplace_back(TokenType::FlowMappingEnd, mark_);
}

bool ScannerCore::fetch_block_entry() {
    if (flow_depth_ > 0) return fail(mark_, "\"-\" is only valid inside a block");
    if (!simple_key_permitted_)
        return fail(mark_, "block sequence entries are not allowed in this context");
    if (!queue_.empty()) {
        const Token& last = queue_.back();
        if ((last.type == TokenType::Anchor || last.type == TokenType::Tag) && mark_.col == 0 &&
            last.mark.col == 0 && current_indent_ >= 0)
            return fail(last.mark, "invalid indentation for anchor");
    }
    const Marker start = mark_;
    if (tab_indented(start)) return fail_tab_indented(start);
    skip_indicator();
    roll_indent(static_cast<std::ptrdiff_t>(start.col), std::nullopt, TokenType::BlockSequenceStart,
                start);
    bool found_tabs = false;
    if (!skip_ws_to_eol(true, &found_tabs)) return false;
    if (found_tabs) note_tab();
    lookahead(2);
    if (found_tabs && cur() == '-' && is_blankz(at(1)))
        return fail(mark_, "'-' must be followed by a valid YAML whitespace");
    if (!skip_ws_to_eol(false)) return false;
    lookahead(1);
    if (is_break(cur()) || is_flow_indicator(cur())) roll_one_column();
    if (!remove_simple_key()) return false;
    simple_key_permitted_ = true;
    queue_.emplace_back(TokenType::BlockEntry, start).end = start.pos + 1;
    return true;
}

bool ScannerCore::fetch_key() {
    const Marker start = mark_;
    if (flow_depth_ > 0) {
        flow_mapping_open_ = true;
    } else {
        if (!simple_key_permitted_)
            return fail(mark_, "mapping keys are not allowed in this context");
        if (tab_indented(start)) return fail_tab_indented(start);
        roll_indent(static_cast<std::ptrdiff_t>(start.col), std::nullopt,
                    TokenType::BlockMappingStart, start);
    }
    if (!remove_simple_key()) return false;
    simple_key_permitted_ = flow_depth_ == 0;
    skip_indicator();  // '?'
    bool separated = false;
    for (;;) {
        lookahead(2);
        const char32_t c = cur_ascii();
        if (c == ' ') {
            skip_blank();
            separated = true;
        } else if (is_break(c)) {
            skip_linebreak();
            separated = true;
            if (flow_depth_ == 0) simple_key_permitted_ = true;
        } else if (c == '#') {
            // A comment on the line of an explicit key is not kept.
            for (lookahead(1); !is_breakz(cur()); lookahead(1)) skip_nonblank();
        } else {
            break;
        }
    }
    if (!separated && cur() != kEnd) return fail(mark_, "expected whitespace");
    if (cur() == '\t') return fail(mark_, "tabs disallowed in this context");
    queue_.emplace_back(TokenType::Key, start).end = start.pos + 1;
    return true;
}

bool ScannerCore::value_tabs(const PotentialSimpleKey& key) {
    bool tabs = false;
    if (cur_ascii() == '\t' && !skip_ws_to_eol(true, &tabs)) return false;
    if (key.possible && key.token_number >= tokens_taken_ && tab_indented(key.mark))
        return fail_tab_indented(key.mark);
    if (tabs) note_tab();
    return true;
}

bool ScannerCore::fetch_value() {
    const Marker start = mark_;
    implicit_mapping_open_ = flow_depth_ > 0 && !flow_mapping_open_;
    skip_indicator();  // ':'
    // Tabs separate the value like spaces; only a block collection may not
    // follow them (they would be its indentation).
    lookahead(1);
    PotentialSimpleKey& key = potential_keys_.back();
    if (cur_ascii() == '\t' || key.mark.line == tab_line_) [[unlikely]] {
        if (!value_tabs(key)) return false;
    }
    if (key.possible && key.token_number >= tokens_taken_) {
        const std::size_t pos = key.token_number - tokens_taken_;
        queue_.emplace(pos, TokenType::Key, key.mark);
        if (implicit_mapping_open_) {
            if (key.mark.line < start.line) {
                // Mostly a ']' that is missing, lines before: say which.
                const Opener& open = open_flows_.back();
                return fail(start,
                            std::string("found ':' after a key on an earlier line, in the ") +
                                open.what + " started at line " + std::to_string(open.mark.line) +
                                " column " + std::to_string(open.mark.col + 1) +
                                " (is its closing ']' missing?)");
            }
            queue_.emplace(pos, TokenType::FlowMappingStart, key.mark);
        }
        roll_indent(static_cast<std::ptrdiff_t>(key.mark.col), key.token_number,
                    TokenType::BlockMappingStart, key.mark);
        roll_one_column();
        key.possible = false;
        simple_key_permitted_ = false;
    } else {
        if (implicit_mapping_open_) queue_.emplace_back(TokenType::FlowMappingStart, start);
        if (flow_depth_ == 0) {
            if (!simple_key_permitted_)
                return fail(start, "mapping values are not allowed in this context");
            roll_indent(static_cast<std::ptrdiff_t>(start.col), std::nullopt,
                        TokenType::BlockMappingStart, start);
            roll_one_column();
            simple_key_permitted_ = true;
        } else {
            simple_key_permitted_ = false;
        }
    }
    queue_.emplace_back(TokenType::Value, start).end = start.pos + 1;
    return true;
}

// ---------------------------------------------------------------------------
// Simple keys and indentation

bool ScannerCore::remove_simple_key() {
    PotentialSimpleKey& key = potential_keys_.back();
    if (key.possible && key.required) return fail(mark_, "simple key expected");
    key.possible = false;
    return true;
}

void ScannerCore::roll_indent_slow(std::ptrdiff_t column, std::optional<std::size_t> insert_at,
                                   TokenType kind, const Marker& m) {
    if (current_indent_ <= column && !indent_stack_.empty() &&
        !indent_stack_.back().needs_block_end) {
        current_indent_ = indent_stack_.back().column;
        indent_stack_.pop_back();
    }
    if (current_indent_ < column) {
        indent_stack_.push_back(IndentLevel{current_indent_, true});
        current_indent_ = column;
        if (insert_at)
            queue_.emplace(*insert_at - tokens_taken_, kind, m);
        else
            queue_.emplace_back(kind, m);
    }
}

void ScannerCore::unroll_indent_slow(std::ptrdiff_t column) {
    while (current_indent_ > column && !indent_stack_.empty()) {
        const IndentLevel level = indent_stack_.back();
        indent_stack_.pop_back();
        current_indent_ = level.column;
        if (level.needs_block_end) queue_.emplace_back(TokenType::BlockEnd, mark_);
    }
}

void ScannerCore::unroll_provisional() {
    while (!indent_stack_.empty() && !indent_stack_.back().needs_block_end) {
        current_indent_ = indent_stack_.back().column;
        indent_stack_.pop_back();
    }
}

// ---------------------------------------------------------------------------
// Anchors, aliases and tags

bool ScannerCore::fetch_anchor(bool alias) {
    save_simple_key();
    simple_key_permitted_ = false;
    const Marker start = mark_;
    skip_indicator();  // '&' or '*'
    std::string name;
    take_while(name, chars::is_anchor_char);
    if (name.empty())
        return fail(start,
                    "while scanning an anchor or alias, did not find expected alphabetic or "
                    "numeric character");
    lookahead(1);
    if (!alias && (cur() == '[' || cur() == '{'))
        return fail(mark_,
                    "while scanning an anchor, did not find expected whitespace or line break");
    queue_.emplace_back(alias ? TokenType::Alias : TokenType::Anchor, start, std::move(name)).end =
        mark_.pos;
    return true;
}

bool ScannerCore::fetch_tag() {
    save_simple_key();
    simple_key_permitted_ = false;
    const Marker start = mark_;
    lookahead(2);
    std::string handle;
    std::string suffix;
    if (at(1) == '<') {
        skip_nonblank();
        skip_nonblank();
        for (lookahead(1); chars::is_uri_char(cur()); lookahead(1)) {
            if (cur() == '%') {
                if (!scan_uri_escapes(start, suffix)) return false;
            } else {
                take_while(suffix, [](char32_t c) { return chars::is_uri_char(c) && c != '%'; });
            }
        }
        if (cur() != '>')
            return fail(start, "while scanning a verbatim tag, did not find the expected '>'");
        skip_nonblank();
    } else {
        if (!scan_tag_handle(false, start, handle)) return false;
        if (handle.size() >= 2 && handle.back() == '!') {
            if (!scan_tag_shorthand_suffix({}, start, suffix)) return false;
        } else {
            if (!scan_tag_shorthand_suffix(handle, start, suffix)) return false;
            handle.assign(1, '!');
            if (suffix.empty()) {
                // A lone '!': the non-specific tag.
                handle.clear();
                suffix.assign(1, '!');
            }
        }
    }
    const std::size_t end = mark_.pos;
    lookahead(1);
    // Properties are separated from their node: a tag may touch only the
    // end of an (empty) flow entry, never a collection's opening bracket.
    if (!blankz_or_flow(cur(), flow_depth_ > 0) || cur() == '[' || cur() == '{')
        return fail(start, "while scanning a tag, did not find expected whitespace or line break");
    queue_.emplace_back(TokenType::Tag, start, std::move(handle), std::move(suffix)).end = end;
    return true;
}

bool ScannerCore::scan_tag_handle(bool directive, Marker m, std::string& out) {
    lookahead(1);
    if (cur() != '!') return fail(m, "while scanning a tag, did not find expected '!'");
    out.push_back('!');
    skip_nonblank();
    take_while(out, chars::is_word_char);
    lookahead(1);
    if (cur() == '!') {
        out.push_back('!');
        skip_nonblank();
    } else if (directive && out != "!") {
        return fail(m, "while parsing a tag directive, did not find expected '!'");
    }
    return true;
}

bool ScannerCore::scan_tag_shorthand_suffix(std::string_view head, Marker m, std::string& out) {
    std::size_t length = head.size();
    if (head.size() > 1) out.append(head.substr(1));
    for (lookahead(1); chars::is_tag_char(cur()); lookahead(1)) {
        if (cur() == '%') {
            if (!scan_uri_escapes(m, out)) return false;
            ++length;
        } else {
            const std::size_t before = out.size();
            take_while(out, [](char32_t c) { return chars::is_tag_char(c) && c != '%'; });
            length += out.size() - before;  // tag characters are ASCII
        }
    }
    if (length == 0) return fail(m, "while parsing a tag, did not find expected tag URI");
    return true;
}

bool ScannerCore::scan_uri_escapes(Marker m, std::string& out) {
    std::uint32_t code = 0;
    unsigned remaining = 0;
    bool first = true;
    do {
        lookahead(3);
        if (cur() != '%' || !chars::is_hex(at(1)) || !chars::is_hex(at(2)))
            return fail(m, "while parsing a tag, did not find URI escaped octet");
        const unsigned octet = chars::hex_value(at(1)) * 16 + chars::hex_value(at(2));
        if (first) {
            first = false;
            if ((octet & 0x80) == 0) {
                remaining = 1;
                code = octet;
            } else if ((octet & 0xE0) == 0xC0) {
                remaining = 2;
                code = octet & 0x1F;
            } else if ((octet & 0xF0) == 0xE0) {
                remaining = 3;
                code = octet & 0x0F;
            } else if ((octet & 0xF8) == 0xF0) {
                remaining = 4;
                code = octet & 0x07;
            } else {
                return fail(m, "while parsing a tag, found an incorrect leading UTF-8 octet");
            }
        } else {
            if ((octet & 0xC0) != 0x80)
                return fail(m, "while parsing a tag, found an incorrect trailing UTF-8 octet");
            code = (code << 6) | (octet & 0x3F);
        }
        skip_nonblank();
        skip_nonblank();
        skip_nonblank();
    } while (--remaining > 0);
    if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
        return fail(m, "while parsing a tag, found an invalid UTF-8 codepoint");
    chars::append_utf8(out, code);
    return true;
}

}  // namespace detail
}  // namespace tesvorn
