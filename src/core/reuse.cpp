#include "core/reuse.hpp"

#include <algorithm>

namespace tesvorn::reuse {

std::size_t column_of(const SourceText& src, std::uint32_t at) noexcept {
    const std::string_view text = src.text.substr(0, std::min<std::size_t>(at, src.text.size()));
    const std::size_t nl = text.find_last_of("\r\n");
    const std::size_t begin = nl == std::string_view::npos ? 0 : nl + 1;
    std::size_t col = 0;
    for (std::size_t i = begin; i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++col;
    if (begin == 0 && src.base == 0 && text.substr(0, 3) == "\xEF\xBB\xBF") --col;
    return col;
}

bool recorded(const CollectionLayout* c, const SlotLayout& l) noexcept {
    if (c == nullptr || !l.has() || l.source != c->source->id) return false;
    return column_of(*c->source, l.at(SlotLayout::kKey)) == c->column;
}

std::string_view piece(const SourceRef& src, const SlotLayout& l, SlotLayout::Piece p) noexcept {
    const std::uint32_t begin = l.at(p);
    return src->text.substr(begin, l.at(static_cast<SlotLayout::Piece>(p + 1)) - begin);
}

bool key_matches(const SourceRef& src, const SlotLayout& l, std::string_view key,
                 const YamlEntry& e) noexcept {
    if (l.check(SlotLayout::kPlainKey))
        return e.key_style == ScalarStyle::Plain && !e.key_props->anchor && !e.key_props->tag &&
               !e.key_props->alias && !e.key_props->node && piece(src, l, SlotLayout::kKey) == key;
    return l.fp_key == fingerprint_key(key, e);
}

bool value_matches(const SourceRef& src, const SlotLayout& l, const YamlNode& v) noexcept {
    if (l.check(SlotLayout::kRenderedValue)) return false;
    if (l.check(SlotLayout::kPlainValue)) {
        const YamlScalar* s = v.scalar();
        return s != nullptr && s->value.is_str() && s->style == ScalarStyle::Plain &&
               !s->props->tag && !s->props->anchor && !s->props->original &&
               piece(src, l, SlotLayout::kValue) == s->value.as_str();
    }
    if (l.check(SlotLayout::kQuotedValue)) {
        const YamlScalar* s = v.scalar();
        return s != nullptr && quoted_as_is(piece(src, l, SlotLayout::kValue), *s);
    }
    return l.fp_value == fingerprint_value(v);
}

bool comment_matches(const SourceRef& src, const SlotLayout& l, const OptString& comment) noexcept {
    SlotLayout::Piece p;
    if (l.flag(SlotLayout::kCommentInTrail)) {
        p = SlotLayout::kTrail;
    } else if (l.flag(SlotLayout::kCommentInSep)) {
        p = SlotLayout::kSep;
    } else if (l.flag(SlotLayout::kCommentInValue)) {
        p = SlotLayout::kValue;
    } else {
        return !comment;
    }
    return piece_comment_is(piece(src, l, p), comment.get());
}

bool lead_matches(const SourceRef& src, const SlotLayout& l, const OptString& before) noexcept {
    return l.check(SlotLayout::kLeadComment)
               ? lead_comments_are(piece(src, l, SlotLayout::kLead), before.get())
               : !before.has_value();
}

}  // namespace tesvorn::reuse
