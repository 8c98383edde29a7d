#include "core/layout.hpp"

#include <atomic>
#include <cstring>

#include "core/char_traits.hpp"
#include "core/types.hpp"

namespace tesvorn {

namespace {

constexpr std::uint64_t kK1 = 0xA0761D6478BD642Full;
constexpr std::uint64_t kK2 = 0xE7037ED1A0B428DBull;

inline std::uint64_t mix(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t h = (a ^ (a >> 29)) * b;
    h ^= h >> 32;
    h *= kK1;
    return h ^ (h >> 29);
}

void add_node(Fingerprint& f, const YamlNode& node, bool deep) noexcept;

void add_scalar(Fingerprint& f, const YamlScalar& s) noexcept {
    const ScalarValue& v = s.value;
    // The kind, the style and which properties follow, in one word.
    const std::string* tag = s.props->tag.get();
    const std::string* anchor = s.props->anchor.get();
    const std::string* original = s.props->original.get();
    f.add(static_cast<std::uint64_t>(YamlNode::Scalar) |
          (static_cast<std::uint64_t>(v.kind()) << 24) |
          (static_cast<std::uint64_t>(s.style) << 8) | (tag != nullptr ? 1ull << 16 : 0) |
          (anchor != nullptr ? 1ull << 17 : 0) | (original != nullptr ? 1ull << 18 : 0));
    switch (v.kind()) {
        case ScalarValue::Int:
            f.add(static_cast<std::uint64_t>(v.as_int()));
            break;
        case ScalarValue::Float: {
            std::uint64_t bits = 0;
            const double d = v.as_float();
            std::memcpy(&bits, &d, sizeof bits);
            f.add(bits);
            break;
        }
        case ScalarValue::Bool:
            f.add(v.as_bool() ? 1 : 0);
            break;
        case ScalarValue::Str:
            f.add(v.as_str());
            break;
        case ScalarValue::BigInt:
            f.add(v.as_big_int());
            break;
        case ScalarValue::Null:
            break;
    }
    if (tag != nullptr) f.add(*tag);
    if (anchor != nullptr) f.add(*anchor);
    if (original != nullptr) f.add(*original);
}

void add_entry_key(Fingerprint& f, std::string_view key, const YamlEntry& e) noexcept {
    const KeyProps& k = *e.key_props;
    const std::string* anchor = k.anchor.get();
    const std::string* tag = k.tag.get();
    const std::string* alias = k.alias.get();
    // The style and which properties follow, in one word.
    f.add(key).add(static_cast<std::uint64_t>(e.key_style) | (anchor != nullptr ? 1ull << 8 : 0) |
                   (tag != nullptr ? 1ull << 9 : 0) | (alias != nullptr ? 1ull << 10 : 0) |
                   (k.node ? 1ull << 11 : 0));
    if (anchor != nullptr) f.add(*anchor);
    if (tag != nullptr) f.add(*tag);
    if (alias != nullptr) f.add(*alias);
    if (k.node) add_node(f, **k.node, true);
}

/// A collection's kind, style and which properties follow, in one word,
/// then the properties.
void add_collection(Fingerprint& f, YamlNode::Kind kind, ContainerStyle style,
                    const std::string* tag, const std::string* anchor) noexcept {
    f.add(static_cast<std::uint64_t>(kind) | (static_cast<std::uint64_t>(style) << 8) |
          (tag != nullptr ? 1ull << 16 : 0) | (anchor != nullptr ? 1ull << 17 : 0));
    if (tag != nullptr) f.add(*tag);
    if (anchor != nullptr) f.add(*anchor);
}

void add_node(Fingerprint& f, const YamlNode& node, bool deep) noexcept {
    switch (node.kind()) {
        case YamlNode::Mapping: {
            const YamlMapping& m = *node.mapping();
            add_collection(f, YamlNode::Mapping, m.style, m.tag.get(), m.anchor.get());
            if (!deep) break;
            f.add(m.entries.size());
            for (const auto& slot : m.entries) {
                add_entry_key(f, slot.key, slot.value);
                add_node(f, slot.value.value, true);
            }
            break;
        }
        case YamlNode::Sequence: {
            const YamlSequence& s = *node.sequence();
            add_collection(f, YamlNode::Sequence, s.style, s.tag.get(), s.anchor.get());
            if (!deep) break;
            f.add(s.items.size());
            for (const YamlItem& item : s.items) add_node(f, item.node, true);
            break;
        }
        case YamlNode::Scalar:
            add_scalar(f, *node.scalar());
            break;
        case YamlNode::Null:
            f.add(YamlNode::Null);
            break;
        case YamlNode::Alias:
            f.add(YamlNode::Alias).add(node.alias()->name);
            break;
    }
}

}  // namespace

std::uint64_t SourceText::next_id() noexcept {
    static std::atomic<std::uint64_t> counter{0};
    return counter.fetch_add(1, std::memory_order_relaxed) + 1;
}

Fingerprint& Fingerprint::add(std::string_view s) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t n = s.size();
    std::uint64_t h = mix(h_ ^ kK1, n ^ kK2);
    for (; n >= 8; n -= 8, p += 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        h = mix(h ^ w, kK1);
    }
    // The last 0 to 7 bytes in at most two loads (overlapping ones for 4 to
    // 7 bytes): with the length already mixed in, they still tell the
    // bytes apart.
    std::uint64_t last = 0;
    if (n >= 4) {
        std::uint32_t lo;
        std::uint32_t hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + n - 4, 4);
        last = lo | (static_cast<std::uint64_t>(hi) << 32);
    } else if (n > 0) {
        last = p[0] | (static_cast<std::uint64_t>(p[n / 2]) << 8) |
               (static_cast<std::uint64_t>(p[n - 1]) << 16);
    }
    h_ = mix(h ^ last, kK2);
    return *this;
}

Fingerprint& Fingerprint::add(std::uint64_t v) noexcept {
    h_ = mix(h_ ^ v ^ kK2, kK1);
    return *this;
}

std::uint64_t fingerprint_value(const YamlNode& node) noexcept {
    Fingerprint f;
    add_node(f, node, false);
    return f.value();
}

std::uint64_t fingerprint_key(std::string_view key, const YamlEntry& entry) noexcept {
    Fingerprint f;
    add_entry_key(f, key, entry);
    return f.value();
}

bool quoted_as_is(std::string_view text, const YamlScalar& s) noexcept {
    char quote = 0;
    if (s.style == ScalarStyle::Single) quote = '\'';
    if (s.style == ScalarStyle::Double) quote = '"';
    if (quote == 0 || !s.value.is_str() || s.props->tag || s.props->anchor || s.props->original)
        return false;
    return text.size() >= 2 && text.front() == quote && text.back() == quote &&
           text.substr(1, text.size() - 2) == s.value.as_str();
}

std::uint64_t fingerprint_head(const DocMetadata& meta, const YamlNode& root) noexcept {
    Fingerprint f;
    f.add(meta.explicit_start ? 1 : 0);
    if (meta.yaml_version) {
        f.add(1).add(meta.yaml_version->first).add(meta.yaml_version->second);
    } else {
        f.add(0);
    }
    f.add(meta.tag_directives->size());
    for (const auto& [handle, prefix] : *meta.tag_directives) f.add(handle).add(prefix);
    if (const YamlMapping* m = root.mapping(); m && m->style == ContainerStyle::Block) {
        f.add(1).add_opt(m->anchor.get()).add_opt(m->tag.get());
    } else if (const YamlSequence* s = root.sequence(); s && s->style == ContainerStyle::Block) {
        f.add(2).add_opt(s->anchor.get()).add_opt(s->tag.get());
    } else {
        f.add(0);
    }
    return f.value();
}

namespace {

using chars::is_blank;
using chars::is_break;

/// Where the line holding `p` ends in `s`: its first line break, or the end.
std::size_t line_end(std::string_view s, std::size_t p) noexcept {
    const char* from = s.data() + p;
    const auto* nl = static_cast<const char*>(std::memchr(from, '\n', s.size() - p));
    const std::size_t e = nl != nullptr ? static_cast<std::size_t>(nl - s.data()) : s.size();
    const auto* cr = static_cast<const char*>(std::memchr(from, '\r', e - p));
    return cr != nullptr ? static_cast<std::size_t>(cr - s.data()) : e;
}

/// The text of the comment whose '#' is at `hash` in `s`: without the '#'
/// and one space after it, to the end of its line.
std::string_view comment_at(std::string_view s, std::size_t hash) noexcept {
    std::size_t p = hash + 1;
    if (p < s.size() && s[p] == ' ') ++p;
    return s.substr(p, line_end(s, p) - p);
}

}  // namespace

std::size_t first_comment(std::string_view piece) noexcept {
    for (std::size_t p = 0; p < piece.size() && !is_break(piece[p]); ++p)
        if (piece[p] == '#' && (p == 0 || is_blank(piece[p - 1]))) return p;
    return std::string_view::npos;
}

bool lead_comments_are(std::string_view lead, const std::string* comment) noexcept {
    std::string_view want = comment != nullptr ? std::string_view(*comment) : std::string_view();
    bool any = false;
    std::size_t p = 0;
    while (p < lead.size()) {
        std::size_t q = p;
        while (q < lead.size() && is_blank(lead[q])) ++q;
        std::size_t e = q < lead.size() ? line_end(lead, q) : q;
        if (q < e && lead[q] == '#') {
            std::size_t t = q + 1;
            if (t < e && lead[t] == ' ') ++t;
            const std::string_view line = lead.substr(t, e - t);
            if (any) {
                if (want.empty() || want[0] != '\n') return false;
                want.remove_prefix(1);
            }
            if (want.substr(0, line.size()) != line) return false;
            want.remove_prefix(line.size());
            any = true;
        }
        if (e < lead.size() && lead[e] == '\r' && e + 1 < lead.size() && lead[e + 1] == '\n') ++e;
        p = e + 1;
    }
    return any ? (comment != nullptr && want.empty()) : comment == nullptr;
}

bool piece_comment_is(std::string_view piece, const std::string* comment) noexcept {
    const std::size_t hash = first_comment(piece);
    if (hash == std::string_view::npos) return comment == nullptr;
    return comment != nullptr && comment_at(piece, hash) == *comment;
}

namespace {

/// The end of the line that starts at `p` (past its line break), and
/// whether the line holds blanks only.
std::size_t next_line(std::string_view s, std::size_t p, bool& blank) noexcept {
    std::size_t e = p;
    while (e < s.size() && is_blank(s[e])) ++e;
    blank = e < s.size() && is_break(s[e]);
    while (e < s.size() && !is_break(s[e])) ++e;
    if (e < s.size() && s[e] == '\r' && e + 1 < s.size() && s[e + 1] == '\n') ++e;
    return e < s.size() ? e + 1 : e;
}

}  // namespace

std::string with_blank_lines(std::string_view lines, std::size_t have, std::size_t want,
                             std::string_view nl) {
    std::string out;
    out.reserve(lines.size() + (want > have ? (want - have) * nl.size() : 0));
    for (std::size_t i = have; i < want; ++i) out.append(nl);
    std::size_t drop = have > want ? have - want : 0;
    for (std::size_t p = 0; p < lines.size();) {
        bool blank = false;
        const std::size_t e = next_line(lines, p, blank);
        if (blank && drop > 0) {
            --drop;
        } else {
            out.append(lines.substr(p, e - p));
        }
        p = e;
    }
    return out;
}

std::size_t detached_lines(std::string_view lead) noexcept {
    std::size_t split = 0;
    bool comment = false;
    for (std::size_t p = 0; p < lead.size();) {
        bool blank = false;
        const std::size_t e = next_line(lead, p, blank);
        if (blank && comment) {
            split = e;
        } else if (!blank) {
            std::size_t q = p;
            while (q < e && is_blank(lead[q])) ++q;
            comment = comment || (q < e && lead[q] == '#');
        }
        p = e;
    }
    return split;
}

bool tail_comments(const CollectionLayout& l) noexcept {
    if (!l.has() || l.flag(CollectionLayout::kFlow) || l.flag(CollectionLayout::kTailStale))
        return false;
    const std::string_view tail = l.source->text.substr(l.tail_begin, l.tail_end - l.tail_begin);
    for (std::size_t p = 0; p < tail.size();) {
        bool blank = false;
        const std::size_t e = next_line(tail, p, blank);
        std::size_t q = p;
        while (q < e && is_blank(tail[q])) ++q;
        if (q < e && tail[q] == '#') return true;
        p = e;
    }
    return false;
}

std::size_t end_blank_run(std::span<const ChainLevel> chain, bool take) noexcept {
    std::size_t run = 0;
    for (const ChainLevel& level : chain) {
        if (tail_comments(*level.layout)) break;
        run += *level.trailing;
        if (take) *level.trailing = 0;
    }
    return run;
}

}  // namespace tesvorn
