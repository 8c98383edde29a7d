// Flow collections, written as read where their text still fits.
#include "core/emitter_impl.hpp"

namespace tesvorn::detail {

void Emitter::emit_flow_value(const SourceRef& source, const SlotLayout& l, const YamlNode& v,
                              Place place) {
    // A flow collection: its properties as read while they are unchanged,
    // its contents through its own records.
    const YamlMapping* m = v.mapping();
    const YamlSequence* q = v.sequence();
    const CollectionLayout& cl = m != nullptr ? m->layout : q->layout;
    const bool flow = (m != nullptr ? m->style : q->style) == ContainerStyle::Flow;
    // (Only the collection read in this very slot: a collection read inside
    // it, now its value, starts later.)
    if (flow && cl.has() && cl.flag(CollectionLayout::kFlow) && cl.source == source &&
        l.fresh(SlotLayout::kValue) && value_matches(source, l, v) &&
        cl.start == l.at(SlotLayout::kValue) && cl.open <= l.at(SlotLayout::kTrail)) {
        raw(source, l.at(SlotLayout::kValue), cl.open);
        note_node_anchor(v);
        if (m != nullptr) {
            emit_mapping_flow(*m, false);
        } else {
            emit_sequence_flow(*q, false);
        }
        return;
    }
    emit_node_inline(v, place);
}

bool Emitter::flow_text_fits(const CollectionLayout& l) const {
    // Text over several lines keeps its indentation: it fits only where its
    // bracket stands at the column it was read at.
    const std::string_view text = l.source->text;
    if (l.open >= text.size() || l.tail_end > text.size() || l.tail_end < l.open) return false;
    if (text.substr(l.open, l.tail_end - l.open).find_first_of("\r\n") == std::string_view::npos)
        return true;
    return column() == reuse::column_of(*l.source, l.open);
}

void Emitter::emit_sequence_flow(const YamlSequence& seq, bool props) {
    if (props) write_anchor_tag_inline(opt(seq.anchor), opt(seq.tag));
    if (seq.layout.has() && seq.layout.flag(CollectionLayout::kFlow) &&
        !seq.layout.flag(CollectionLayout::kIndentStale) && flow_text_fits(seq.layout)) {
        emit_flow_body(seq.layout, seq.items, false, false);
        return;
    }
    put('[');
    bool first = true;
    for (const YamlItem& item : seq.items) {
        if (!first) put(", ");
        first = false;
        emit_node_inline(item.node, Place::FlowItem);
    }
    put(']');
}

void Emitter::emit_mapping_flow(const YamlMapping& map, bool props) {
    if (props) write_anchor_tag_inline(opt(map.anchor), opt(map.tag));
    if (map.layout.has() && map.layout.flag(CollectionLayout::kFlow) &&
        !map.layout.flag(CollectionLayout::kIndentStale) && flow_text_fits(map.layout)) {
        // A pair read without braces keeps that form while it is one simple
        // pair.
        bool bare = map.layout.flag(CollectionLayout::kBare) && !props && !map.anchor && !map.tag &&
                    !map.entries.empty();
        // (An entry added to it needs the braces.)
        if (bare && map.entries.size() != 1)
            for (const auto& slot : map.entries)
                bare = bare && slot.value.layout.has() &&
                       slot.value.layout.ref().source == map.layout.source->id;
        emit_flow_body(map.layout, map.entries, true, bare);
        return;
    }
    put('{');
    bool first = true;
    for (const auto& slot : map.entries) {
        std::optional<YamlEntry> anchored;
        if (slot.value.key_props->alias && !written(*slot.value.key_props->alias)) {
            anchored.emplace(slot.value);
            anchor_instead_of_alias(*anchored);
        }
        const YamlEntry& e = anchored ? *anchored : slot.value;
        if (!first) put(", ");
        first = false;
        const std::size_t start = pos();
        if (e.key_props->node) {
            emit_node_inline(**e.key_props->node, Place::FlowItem);
        } else if (e.key_props->alias) {
            put('*');
            append_anchor_name(out_, *e.key_props->alias);
            put(' ');
        } else {
            write_anchor_tag_inline(opt(e.key_props->anchor), opt(e.key_props->tag));
            if (!(slot.key.empty() && e.key_style == ScalarStyle::Plain &&
                  (e.key_props->anchor || e.key_props->tag)))
                emit_key(slot.key, e.key_style, true, e.layout.key_checked());
        }
        make_explicit_if_long(start);
        put(": ");
        emit_node_inline(e.value, Place::FlowValue);
    }
    put('}');
}

template <class Slots>
void Emitter::emit_flow_body(const CollectionLayout& l, const Slots& slots, bool mapping,
                             bool bare) {
    const SourceRef& src = l.source;
    const std::string_view text = src->text;
    const std::uint32_t first_lead = bare ? l.open : l.open + 1;
    auto slot_of = [&](const auto& s) -> const auto& {
        if constexpr (std::is_same_v<std::decay_t<decltype(s)>, YamlItem>) {
            return s;
        } else {
            return s.value;
        }
    };
    auto has_comment = [&](std::uint32_t b, std::uint32_t e) {
        return text.substr(b, e - b).find('#') != std::string_view::npos;
    };
    // What goes between a ',' and an entry that has no lead of its own: the
    // lead the document's second entry was read with; over lines, only its
    // last line break and indentation (no comments).
    std::string_view typical = " ";
    if (l.typical_len != 0 || l.typical_begin != 0) {
        typical = text.substr(l.typical_begin, l.typical_len);
        const std::size_t br = typical.find_last_of("\r\n");
        if (br != std::string_view::npos && typical.find('#') != std::string_view::npos) {
            const std::size_t from = br > 0 && typical[br - 1] == '\r' ? br - 1 : br;
            typical = typical.substr(from);
        }
    }
    // What stood between the opening bracket and the first entry, for an
    // entry first now that was not read first: the same spacing inside both
    // brackets, and its comments (the entry read first, deleted or moved
    // on, no longer writes them). None after a reset of comments and blank
    // lines.
    std::string_view opening;
    if (!l.flag(CollectionLayout::kTailStale)) {
        std::size_t p = first_lead;
        while (p < text.size()) {
            const char c = text[p];
            if (c == '#' && p > first_lead && (is_blank(text[p - 1]) || is_break(text[p - 1]))) {
                while (p < text.size() && !is_break(text[p])) ++p;
            } else if (is_blank(c) || is_break(c)) {
                ++p;
            } else {
                break;
            }
        }
        opening = text.substr(first_lead, p - first_lead);
    }
    if (!bare) put(mapping ? '{' : '[');
    const std::size_t n = slots.size();
    std::size_t i = 0;
    bool comma_done = false;      // the ',' before the next entry is written
    std::size_t comment_col = 0;  // a comment ends the last line: the next entry's column
    bool after_comment = false;
    for (const auto& s : slots) {
        const auto& e = slot_of(s);
        const SlotLayout& sl = e.layout.ref();
        // (Only a slot read in this collection: one taken from a block
        // collection of the same text brings lines of its own.)
        const bool rec = sl.has() && sl.source == src->id && sl.at(SlotLayout::kLead) >= l.open &&
                         sl.at(SlotLayout::kEnd) <= l.tail_end;
        if (i > 0 && !comma_done) flow_indicator(',');
        comma_done = false;
        // Lead.
        std::string_view lead;
        const bool read_first = rec && sl.at(SlotLayout::kLead) == first_lead;
        if (rec && sl.fresh(SlotLayout::kLead) && read_first == (i == 0)) {
            lead = text.substr(sl.at(SlotLayout::kLead),
                               sl.at(SlotLayout::kKey) - sl.at(SlotLayout::kLead));
        } else {
            lead = i > 0 ? typical : opening;
        }
        if (after_comment && lead.find_first_of("\r\n") == std::string_view::npos) {
            put('\n');
            spaces(comment_col);
            lead = {};
        }
        put_raw(lead);
        after_comment = false;
        // Content.
        if constexpr (std::is_same_v<std::decay_t<decltype(s)>, YamlItem>) {
            if (rec && sl.fresh(SlotLayout::kValue) && !s.node.is_collection() &&
                value_matches(src, sl, s.node) && !has_unwritten_alias(s.node)) {
                flow_raw(src, sl.at(SlotLayout::kValue), sl.at(SlotLayout::kTrail));
                note_node_anchor(s.node);
            } else if (rec && s.node.is_collection()) {
                emit_flow_value(src, sl, s.node, Place::FlowItem);
            } else {
                emit_node_inline(s.node, Place::FlowItem);
            }
        } else {
            const YamlEntry& en = s.value;
            const bool key_raw = rec && sl.fresh(SlotLayout::kKey) &&
                                 key_matches(src, sl, s.key, en) &&
                                 !(en.key_props->alias && !written(*en.key_props->alias)) &&
                                 !(en.key_props->node && has_unwritten_alias(**en.key_props->node));
            if (key_raw) {
                flow_raw(src, sl.at(SlotLayout::kKey), sl.at(SlotLayout::kSep),
                         sl.flag(SlotLayout::kSimpleKey));
                // (A plain key "?" read before a ',' or bracket stays as it is.)
                if (!sl.flag(SlotLayout::kSimpleKey) && piece(src, sl, SlotLayout::kKey) == "?")
                    lone_question_ = pos();
                note_anchor(en.key_props->anchor);
                if (en.key_props->node) note_all_anchors(**en.key_props->node);
            } else {
                std::optional<YamlEntry> anchored;
                if (en.key_props->alias && !written(*en.key_props->alias)) {
                    anchored.emplace(en);
                    anchor_instead_of_alias(*anchored);
                }
                const YamlEntry& ke = anchored ? *anchored : en;
                const std::size_t start = pos();
                if (ke.key_props->node) {
                    emit_node_inline(**ke.key_props->node, Place::FlowItem);
                } else if (ke.key_props->alias) {
                    put('*');
                    append_anchor_name(out_, *ke.key_props->alias);
                    put(' ');
                } else {
                    write_anchor_tag_inline(opt(ke.key_props->anchor), opt(ke.key_props->tag));
                    if (!(s.key.empty() && ke.key_style == ScalarStyle::Plain &&
                          (ke.key_props->anchor || ke.key_props->tag)))
                        emit_key(s.key, ke.key_style, true, ke.layout.key_checked());
                }
                make_explicit_if_long(start);
            }
            const bool empty_now = shape_of(en.value, nullptr) == SlotLayout::kEmpty;
            const bool sep_raw = rec && sl.fresh(SlotLayout::kSep) && key_raw &&
                                 (sl.shape_read() == SlotLayout::kEmpty) == empty_now;
            if (sep_raw) {
                raw(src, sl.at(SlotLayout::kSep), sl.at(SlotLayout::kValue));
            } else {
                // "*a:" would name an anchor "a:", "!!str:" a tag, "?:" a plain "?".
                if (key_raw && (en.key_props->alias || pos() == lone_question_ ||
                                empty_with_properties(s.key, en)))
                    put(' ');
                put(": ");
            }
            if (rec && sl.fresh(SlotLayout::kValue) && !en.value.is_collection() &&
                value_matches(src, sl, en.value) && !has_unwritten_alias(en.value)) {
                flow_raw(src, sl.at(SlotLayout::kValue), sl.at(SlotLayout::kTrail));
                note_node_anchor(en.value);
            } else if (rec && en.value.is_collection()) {
                emit_flow_value(src, sl, en.value, Place::FlowValue);
            } else {
                emit_node_inline(en.value, Place::FlowValue);
            }
        }
        // Trail: a comment on its last line would swallow a ',' written
        // after it, so the ',' goes before it. (A trail that goes on past
        // its comment's line break ends where a ',' stood: as read.)
        const bool last = i + 1 == n;
        const bool comma_after = !last || l.flag(CollectionLayout::kTrailingComma);
        if (rec && sl.fresh(SlotLayout::kTrail)) {
            const std::uint32_t tb = sl.at(SlotLayout::kTrail);
            const std::uint32_t te = sl.at(SlotLayout::kEnd);
            std::uint32_t last_line = te;
            while (last_line > tb && !is_break(text[last_line - 1])) --last_line;
            if (has_comment(last_line, te)) {
                if (comma_after) {
                    flow_indicator(',');
                    comma_done = true;
                }
                raw(src, tb, te);
                after_comment = true;
                std::uint32_t ls = sl.at(SlotLayout::kKey);
                while (ls > 0 && text[ls - 1] != '\n' && text[ls - 1] != '\r') --ls;
                comment_col = sl.at(SlotLayout::kKey) - ls;
            } else {
                raw(src, tb, te);
            }
        }
        ++i;
    }
    if (n > 0 && l.flag(CollectionLayout::kTrailingComma) && !comma_done) flow_indicator(',');
    if (!l.flag(CollectionLayout::kTailStale)) {
        const std::string_view tail = text.substr(l.tail_begin, l.tail_end - l.tail_begin);
        if (after_comment && tail.find_first_of("\r\n") == std::string_view::npos) put('\n');
        flow_text(tail);
    } else if (after_comment) {
        put('\n');
    }
    if (!bare || l.flag(CollectionLayout::kClosed)) flow_indicator(mapping ? '}' : ']');
}

}  // namespace tesvorn::detail
