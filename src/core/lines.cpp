#include "core/lines.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "core/char_traits.hpp"

namespace tesvorn {

namespace {

constexpr std::size_t kMaxIndexed = std::numeric_limits<std::uint32_t>::max();

using chars::is_break;

bool is_lead(char c) noexcept {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
}

std::size_t count_chars(std::string_view s) noexcept {
    return static_cast<std::size_t>(std::count_if(s.begin(), s.end(), is_lead));
}

bool starts_with_bom(std::string_view s) noexcept {
    return s.size() >= 3 && s[0] == '\xEF' && s[1] == '\xBB' && s[2] == '\xBF';
}

}  // namespace

TextOrigin TextOrigin::after(std::string_view skipped) const noexcept {
    if (skipped.empty()) return *this;
    TextOrigin o = *this;
    o.stream_start = false;
    o.after_cr = false;
    o.at.index += count_chars(skipped);
    std::size_t i = 0;
    if (stream_start && starts_with_bom(skipped)) i = 3;
    if (after_cr) {
        // The CR before ends its line, together with an LF that follows.
        ++o.at.line;
        o.at.column = 0;
        if (skipped[0] == '\n') i = 1;
    }
    std::string_view rest = skipped.substr(i);
    // A CR at the end may be the first half of a CR LF: its line ends only
    // with what comes after.
    const bool cr_last = !rest.empty() && rest.back() == '\r';
    if (cr_last) rest.remove_suffix(1);
    std::size_t breaks = 0;
    std::size_t last_start = 0;  // where the last line of `rest` starts
    if (rest.find('\r') == std::string_view::npos) {
        // The usual case, in fast passes.
        breaks = static_cast<std::size_t>(std::count(rest.begin(), rest.end(), '\n'));
        if (breaks > 0) last_start = rest.rfind('\n') + 1;
    } else {
        for (std::size_t j = 0; j < rest.size(); ++j) {
            if (rest[j] == '\r' && j + 1 < rest.size() && rest[j + 1] == '\n') ++j;
            if (is_break(rest[j])) {
                ++breaks;
                last_start = j + 1;
            }
        }
    }
    if (breaks > 0) {
        o.at.line += breaks;
        o.at.column = 0;
    }
    o.at.column += count_chars(rest.substr(last_start));
    if (cr_last) {
        ++o.at.column;
        o.after_cr = true;
    }
    return o;
}

void LineIndex::extend(std::string_view text) const {
    const std::size_t n = std::min(text.size(), kMaxIndexed);
    std::size_t i = covered_;
    if (i == 0 && origin_.after_cr && starts_.empty() && n > 0) {
        // The CR that ended the text before ends the first line here, with
        // this LF if there is one.
        i = text[0] == '\n' ? 1 : 0;
        starts_.push_back(static_cast<std::uint32_t>(i));
    }
    while (i < n) {
        const char* p = text.data() + i;
        const char* end = text.data() + n;
        const char* hit = std::find_if(p, end, is_break);
        if (hit == end) {
            i = n;
            break;
        }
        std::size_t j = static_cast<std::size_t>(hit - text.data());
        if (*hit == '\r') {
            // A CR as the last byte so far may yet be the first half of CR LF.
            if (j + 1 == text.size()) {
                i = j;
                break;
            }
            if (j + 1 < n && text[j + 1] == '\n') ++j;
        }
        starts_.push_back(static_cast<std::uint32_t>(j + 1));
        i = j + 1;
    }
    covered_ = i;
    // Characters before each block, for columns on long lines.
    while ((chars_.size() << kBlockBits) <= covered_) {
        const std::size_t b = chars_.size();
        chars_.push_back(b == 0 ? 0
                                : chars_[b - 1] +
                                      count_chars(text.substr((b - 1) << kBlockBits,
                                                              std::size_t{1} << kBlockBits)));
    }
}

std::size_t LineIndex::chars_before(std::string_view text, std::size_t offset) const noexcept {
    const std::size_t b = offset >> kBlockBits;
    const std::size_t from = b << kBlockBits;
    return chars_[b] + count_chars(text.substr(from, offset - from));
}

TextPosition LineIndex::locate(std::string_view text, std::size_t offset) const {
    std::lock_guard lock(mutex_);
    offset = std::min(offset, text.size());
    if (offset > covered_ || chars_.empty()) extend(text);
    offset = std::min(offset, covered_);
    const auto k = static_cast<std::size_t>(
        std::upper_bound(starts_.begin(), starts_.end(), offset) - starts_.begin());
    const std::size_t line_start = k == 0 ? 0 : starts_[k - 1];
    TextPosition out;
    out.line = origin_.at.line + k;
    const std::size_t chars = chars_before(text, offset);
    out.index = origin_.at.index + chars;
    out.column = chars - chars_before(text, line_start);
    if (k == 0) {
        out.column += origin_.at.column;
        if (origin_.stream_start && starts_with_bom(text) && offset >= 3) --out.column;
    }
    return out;
}

std::string caret_excerpt(std::string_view text, std::size_t at, std::size_t column) {
    constexpr std::size_t kWide = 100;   // longer lines show a window around the caret:
    constexpr std::size_t kBefore = 40;  // this many characters before it,
    constexpr std::size_t kWindow = 80;  // this many in all
    at = std::min(at, text.size());
    std::size_t begin = at;
    if (column > 0)
        while (begin > 0 && !is_break(text[begin - 1])) --begin;
    if (starts_with_bom(text.substr(begin)) && begin + 3 <= at) begin += 3;
    std::size_t end = at;
    while (end < text.size() && !is_break(text[end])) ++end;
    const std::string_view line = text.substr(begin, end - begin);
    const std::size_t caret = count_chars(line.substr(0, at - begin));
    const std::size_t total = count_chars(line);
    std::size_t first = 0;
    std::size_t last = total;
    if (total > kWide) {
        first = caret > kBefore ? caret - kBefore : 0;
        last = std::min(total, first + kWindow);
    }
    // The byte offset of character `c` of the line.
    const auto byte_of = [&line](std::size_t c) {
        std::size_t b = 0;
        for (std::size_t seen = 0; b < line.size(); ++b) {
            if (!is_lead(line[b])) continue;
            if (seen++ == c) break;
        }
        return b;
    };
    const std::size_t b = byte_of(first);
    const std::string_view shown = line.substr(b, byte_of(last) - b);
    std::string out = "    ";
    std::string under = "    ";
    if (first > 0) {
        out += "...";
        under += "   ";
    }
    out += shown;
    if (last < total) out += "...";
    // Tabs stay tabs under the text, so that the caret lines up.
    std::size_t c = first;
    for (const char ch : shown) {
        if (!is_lead(ch)) continue;
        if (c++ == caret) break;
        under += ch == '\t' ? '\t' : ' ';
    }
    out += '\n';
    out += under;
    out += '^';
    return out;
}

}  // namespace tesvorn
