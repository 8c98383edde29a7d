// Block collections: entries and items, written as read where they are
// unchanged, and their keys, separators, values and tails.
#include "core/emitter_impl.hpp"

namespace tesvorn::detail {

namespace {

/// A slot a RootFiller that takes plain slots as they are has nothing to
/// complete in (see there).
bool stands_as_is(const YamlNode& v) noexcept {
    const YamlScalar* s = v.scalar();
    return s != nullptr ? !s->props->anchor : v.kind() == YamlNode::Null;
}
bool stands_as_is(const YamlEntry& e) noexcept {
    const KeyProps& k = *e.key_props;
    return !k.anchor && !k.alias && !k.node && stands_as_is(e.value);
}
bool stands_as_is(const YamlItem& item) noexcept {
    return stands_as_is(item.node);
}

}  // namespace

template <class Slot>
bool Emitter::fill_slot(const void* collection, std::size_t index, std::size_t count, bool root,
                        bool ask, const Slot*& slot, const YamlNode*& value, bool& skip) {
    skip = false;
    if (ask) {
        switch (filler_->fill(index, slot, value)) {
            case RootFiller::Fill::kStop:
                failed_ = true;
                return false;
            case RootFiller::Fill::kSkip:
                skip = true;
                return true;
            case RootFiller::Fill::kWrite:
                break;
        }
    }
    // The last slot of the output is found from the root's last slot once
    // it is filled; the records under it that a filler handed out unfilled
    // hold their slots as they were read: the last slot filled in one of
    // them carries the search on.
    const bool on_chain =
        !root && std::find(last_chain_.begin(), last_chain_.end(), collection) != last_chain_.end();
    if (index + 1 == count && (root ? last_pending_ : on_chain)) find_last_slot(slot, *value);
    return true;
}

bool Emitter::emit_mapping_entries(const YamlMapping& map, std::size_t indent, bool inline_first) {
    const Block b = block_of(map.layout, indent);
    const bool root = block_depth_ == 0 && root_ != nullptr && root_->mapping() == &map;
    const DepthScope depth(block_depth_);
    const FillScope scope(filler_, root, &map);
    const bool filled = scope.filled();
    const bool plain_as_is = filled && filler_->plain_as_is();
    if (const ShadowedEntries* sh = map.layout.shadowed();
        sh != nullptr && !filled && b.same_column) [[unlikely]]
        return emit_shadowed_entries(map, *sh, b, indent, inline_first);
    const std::size_t n = map.entries.size();
    bool first = true;
    ChainScope chain(on_last_chain_);
    for (std::size_t i = 0; i < n; ++i) {
        chain.at(i, n, map.trailing_blank_lines == 0);
        bool skip = false;
        const auto& slot = map.entries.at(i);
        const YamlEntry* entry = &slot.value;
        const YamlNode* value = &entry->value;
        const bool ask = filled && !(plain_as_is && stands_as_is(*entry));
        if (filled && !fill_slot(&map, i, n, root, ask, entry, value, skip)) return false;
        if (skip) continue;
        const std::string_view key = slot.key;
        // (The key as emit_key_part writes most keys.)
        const bool simple_key = !entry->key_props.has() && entry->key_style == ScalarStyle::Plain &&
                                entry->layout.key_checked().holds(false) &&
                                key.size() <= kMaxSimpleKey;
        bool ok = true;
        if (!(simple_key &&
              designed_slot(b, key, *entry, *value, indent, first && inline_first, ok)))
            ok = emit_entry(b, key, *entry, *value, indent, first && inline_first);
        if (!ok) return false;
        if (!checkpoint()) return false;
        if (ask && i + 1 != n) filler_->release(i);
        first = false;
    }
    emit_collection_tail(b, map.layout, map.trailing_blank_lines, indent);
    return checkpoint();
}

std::vector<Emitter::ShadowStep> Emitter::shadow_plan(const YamlMapping& map,
                                                      const ShadowedEntries& sh) {
    constexpr std::uint32_t kNo = ShadowedEntries::kNone;
    const auto& entries = map.entries;
    const auto& pieces = sh.pieces;
    const std::size_t n = entries.size();
    const std::size_t count = pieces.size();
    if (n == 0) return {};
    // The piece each entry was read as (none for one added since).
    std::vector<std::uint32_t> piece_of(n, kNo);
    std::vector<std::uint32_t> entry_of(count, kNo);
    for (std::size_t i = 0; i < n; ++i) {
        const YamlEntry& e = entries.at(i).value;
        if (!e.key_at.known()) continue;
        const auto it = std::lower_bound(
            pieces.begin(), pieces.end(), e.key_at.v,
            [](const ShadowedEntries::Piece& p, std::uint32_t at) { return p.key_at < at; });
        const auto p = static_cast<std::uint32_t>(it - pieces.begin());
        if (it == pieces.end() || it->key_at != e.key_at.v || it->shadow || entry_of[p] != kNo)
            continue;
        piece_of[i] = p;
        entry_of[p] = static_cast<std::uint32_t>(i);
    }
    // Where each entry's place was read (its key's first piece), and that
    // of the nearest entries read before and after it.
    const auto place = [&](std::size_t i) -> std::uint32_t {
        const std::uint32_t p = piece_of[i];
        if (p == kNo) return kNo;
        const std::uint32_t g = pieces[p].group;
        return g == kNo ? p : sh.groups[g].first;
    };
    std::vector<std::uint32_t> before(n, kNo);
    std::vector<std::uint32_t> after(n, kNo);
    for (std::size_t i = 1; i < n; ++i)
        before[i] = place(i - 1) != kNo ? place(i - 1) : before[i - 1];
    for (std::size_t i = n - 1; i-- > 0;)
        after[i] = place(i + 1) != kNo ? place(i + 1) : after[i + 1];
    // The keys whose entry is the one read, in its place: the entry that
    // stands for each of them.
    std::vector<std::uint32_t> real(sh.groups.size(), kNo);
    for (std::uint32_t g = 0; g < sh.groups.size(); ++g) {
        const ShadowedEntries::Group& group = sh.groups[g];
        const std::ptrdiff_t at = entries.index_of(group.key);
        if (at < 0) continue;
        const auto i = static_cast<std::size_t>(at);
        const YamlEntry& e = entries.at(i).value;
        if (piece_of[i] == kNo || pieces[piece_of[i]].group != g ||
            fingerprint_key(group.key, e) != group.fp_key ||
            fingerprint_value(e.value) != group.fp_value)
            continue;
        std::uint32_t start = kNo;
        const YamlMapping* m = e.value.mapping();
        const YamlSequence* q = e.value.sequence();
        const CollectionLayout* cl = m != nullptr   ? &m->layout
                                     : q != nullptr ? &q->layout
                                                    : nullptr;
        if (cl != nullptr && cl->has() && cl->source == map.layout.source) start = cl->start;
        if (start != group.value_start) continue;
        if ((before[i] != kNo && before[i] > group.first) ||
            (after[i] != kNo && after[i] < group.first))
            continue;  // moved
        real[g] = static_cast<std::uint32_t>(i);
    }
    // Pieces left out: replaced entries of keys not written so, entries
    // gone. The others after the first of their key follow the piece read
    // before them, once the earlier ones of their key are written.
    const auto deferred = [&](std::size_t p) {
        const std::uint32_t g = pieces[p].group;
        return g != kNo && real[g] != kNo && p != sh.groups[g].first;
    };
    const auto left_out = [&](std::size_t p) {
        const ShadowedEntries::Piece& piece = pieces[p];
        if (piece.shadow) return piece.group == kNo || real[piece.group] == kNo;
        return entry_of[p] == kNo;
    };
    std::vector<std::uint32_t> rank(count, 0);
    std::vector<std::uint32_t> done(sh.groups.size(), 0);
    for (std::size_t p = 0; p < count; ++p)
        if (pieces[p].group != kNo) rank[p] = done[pieces[p].group]++;
    std::fill(done.begin(), done.end(), 0);
    std::vector<bool> written(count, false);
    std::vector<ShadowStep> plan;
    plan.reserve(n + count);
    const auto put = [&](std::size_t p) {
        const ShadowedEntries::Piece& piece = pieces[p];
        const std::uint32_t g = piece.group;
        ShadowStep step;
        if (piece.shadow) step.piece = static_cast<std::uint32_t>(p);
        step.entry = real[g];
        step.opens = p == sh.groups[g].first;
        plan.push_back(step);
        written[p] = true;
        ++done[g];
    };
    const auto follow = [&](std::size_t p) {
        for (std::size_t q = p + 1; q < count; ++q) {
            if (left_out(q)) continue;
            if (written[q] || !deferred(q) || rank[q] != done[pieces[q].group]) break;
            put(q);
        }
    };
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t p = piece_of[i];
        const std::uint32_t g = p != kNo ? pieces[p].group : kNo;
        if (g != kNo && real[g] == i) {
            put(sh.groups[g].first);
            follow(sh.groups[g].first);
            continue;
        }
        ShadowStep step;
        step.entry = static_cast<std::uint32_t>(i);
        plan.push_back(step);
        if (p != kNo) {
            written[p] = true;
            follow(p);
        }
    }
    for (std::size_t p = 0; p < count; ++p)
        if (!written[p] && deferred(p)) put(p);
    return plan;
}

const YamlEntry& Emitter::last_written(const YamlMapping& map) {
    const ShadowedEntries* sh = map.layout.shadowed();
    if (sh == nullptr || map.layout.flag(CollectionLayout::kIndentStale))
        return map.entries.back().value;
    const std::vector<ShadowStep> plan = shadow_plan(map, *sh);
    return map.entries.at(plan.back().entry).value;
}

bool Emitter::emit_shadowed_entries(const YamlMapping& map, const ShadowedEntries& sh,
                                    const Block& b, std::size_t indent, bool inline_first) {
    const std::vector<ShadowStep> plan = shadow_plan(map, sh);
    const SourceRef& src = b.layout->source;
    const std::string_view text = src->text;
    std::vector<bool> written(map.entries.size(), false);
    std::vector<bool> dropped(sh.groups.size(), false);
    bool first = true;
    for (const ShadowStep& step : plan) {
        const bool inline_pos = first && inline_first;
        if (step.piece != ShadowedEntries::kNone) {
            const ShadowedEntries::Piece& p = sh.pieces[step.piece];
            if (dropped[p.group]) continue;
            // (Not after an explicit key written without its ':': a key of
            // its own read empty would start with one.)
            if (p.end <= text.size() && p.inline_first == inline_pos &&
                (inline_pos || at_line_start()) &&
                (pos() != open_key_ || indent != open_key_indent_ || p.key_at >= text.size() ||
                 text[p.key_at] != ':') &&
                lines_fit(text.substr(p.begin, p.key_at - p.begin), src.get(), p.begin)) {
                put_raw(text.substr(p.begin, p.end - p.begin));
                if (p.block_end) {
                    after_block_ = pos();
                    block_column_ = indent;
                    block_src_ = src.get();
                    block_end_ = p.end;
                    if (p.keep_end) after_keep_ = pos();
                }
                first = false;
                if (!checkpoint()) return false;
                continue;
            }
            // One that does not fit here is left out; without the first,
            // the entry takes its place itself, as an edited one does.
            if (!step.opens) continue;
            dropped[p.group] = true;
        }
        if (written[step.entry]) continue;
        written[step.entry] = true;
        const auto& slot = map.entries.at(step.entry);
        const YamlEntry& e = slot.value;
        const std::string_view key = slot.key;
        const bool simple_key = !e.key_props.has() && e.key_style == ScalarStyle::Plain &&
                                e.layout.key_checked().holds(false) && key.size() <= kMaxSimpleKey;
        bool ok = true;
        if (!(simple_key && designed_slot(b, key, e, e.value, indent, inline_pos, ok)))
            ok = emit_entry(b, key, e, e.value, indent, inline_pos);
        if (!ok || !checkpoint()) return false;
        first = false;
    }
    emit_collection_tail(b, map.layout, map.trailing_blank_lines, indent);
    return checkpoint();
}

bool Emitter::emit_sequence_items(const YamlSequence& seq, std::size_t indent, bool inline_first) {
    const Block b = block_of(seq.layout, indent);
    const bool root = block_depth_ == 0 && root_ != nullptr && root_->sequence() == &seq;
    const DepthScope depth(block_depth_);
    const FillScope scope(filler_, root, &seq);
    const bool filled = scope.filled();
    const bool plain_as_is = filled && filler_->plain_as_is();
    const std::size_t n = seq.items.size();
    bool first = true;
    ChainScope chain(on_last_chain_);
    for (std::size_t i = 0; i < n; ++i) {
        chain.at(i, n, seq.trailing_blank_lines == 0);
        bool skip = false;
        const YamlItem* item = &seq.items[i];
        const YamlNode* node = &item->node;
        const bool ask = filled && !(plain_as_is && stands_as_is(*item));
        if (filled && !fill_slot(&seq, i, n, root, ask, item, node, skip)) return false;
        if (skip) continue;
        bool ok = true;
        if (!designed_slot(b, "-", *item, *node, indent, first && inline_first, ok))
            ok = emit_item(b, *item, *node, indent, first && inline_first);
        if (!ok) return false;
        if (!checkpoint()) return false;
        if (ask && i + 1 != n) filler_->release(i);
        first = false;
    }
    emit_collection_tail(b, seq.layout, seq.trailing_blank_lines, indent);
    return checkpoint();
}

void Emitter::write_collection_tail(const Block& b, const CollectionLayout& l,
                                    std::uint8_t trailing_blank_lines, std::size_t indent) {
    const bool as_read = l.trailing == trailing_blank_lines;
    // Another count of blank lines keeps the comment lines of the tail (an
    // edit moved blank lines here from a nested collection, or away).
    if (b.layout != nullptr && !l.flag(CollectionLayout::kTailStale) &&
        (as_read || tail_comments(l))) {
        if (l.tail_end == l.tail_begin) return;
        std::string_view tail = l.source->text.substr(l.tail_begin, l.tail_end - l.tail_begin);
        std::string moved;
        if (!b.same_column && !l.flag(CollectionLayout::kIndentStale)) {
            moved = shifted_lines(tail, b.shift);
            if (!moved.empty()) tail = moved;
        }
        std::string counted;
        if (!as_read) {
            counted = with_blank_lines(tail, l.trailing, trailing_blank_lines, line_break());
            tail = counted;
        }
        line_start();
        if (lines_fit(tail, moved.empty() && as_read ? l.source.get() : nullptr, l.tail_begin)) {
            const bool after_block = pos() == after_block_;
            put_raw(tail);
            // Blank lines only: deeper lines after them still read as the
            // block scalar's text.
            if (after_block && tail.find('#') == std::string_view::npos) after_block_ = pos();
            return;
        }
        // After a block scalar: its comment lines at the collection's
        // column, so that they stay comments.
        blank_lines(trailing_blank_lines);
        std::size_t p = 0;
        while (p < tail.size()) {
            std::size_t e = tail.find('\n', p);
            if (e == std::string_view::npos) e = tail.size();
            std::string_view line = tail.substr(p, e - p);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            const std::size_t hash = line.find_first_not_of(" \t");
            if (hash != std::string_view::npos && line[hash] == '#') {
                spaces(std::min(indent, block_column_));
                put(line.substr(hash));
                put('\n');
            }
            p = e + 1;
        }
        return;
    }
    blank_lines(trailing_blank_lines);
}

template <class EntryOrItem>
bool Emitter::slot_as_read(const Block& b, const SlotLayout& l, const std::string_view* key,
                           const EntryOrItem& e, const YamlNode& v, std::size_t indent,
                           bool inline_pos) {
    // The checks of slot_lead / lead_as_read, emit_entry and emit_slot_rest
    // for the pieces they write as read, made before anything is written.
    const YamlScalar* s = v.scalar();
    if ((s == nullptr && v.kind() != YamlNode::Null) || (s != nullptr && is_block_style(s->style)))
        return false;
    if (!b.same_column || l.stale != 0 || l.flag(SlotLayout::kInlineFirst) != inline_pos ||
        l.blank != e.blank_lines_before || (!inline_pos && !at_line_start()))
        return false;
    const SlotLayout::Shape shape = l.shape_read();
    if (shape != SlotLayout::kInline && shape != SlotLayout::kEmpty) return false;
    const SourceRef& src = b.layout->source;
    const std::string_view text = src->text;
    const std::uint32_t begin = l.at(SlotLayout::kLead);
    const std::uint32_t end = l.at(SlotLayout::kEnd);
    if (end > text.size()) return false;
    const std::string_view lead = text.substr(begin, l.len[0]);
    if constexpr (std::is_same_v<EntryOrItem, YamlEntry>) {
        // A simple key without properties; no explicit key written as read
        // waits for a ':' before it.
        if (e.key_props.has() || !l.flag(SlotLayout::kSimpleKey) ||
            (pos() == open_key_ && indent == open_key_indent_ &&
             l.at(SlotLayout::kKey) == l.at(SlotLayout::kSep)) ||
            !key_matches(src, l, *key, e))
            return false;
    } else if (l.len[1] != 1 || text[l.at(SlotLayout::kKey)] != '-' ||
               end == l.at(SlotLayout::kSep)) {
        // (The "-" is the writer's own there; something follows it.)
        return false;
    }
    // A value that rendering gives back (a number, boolean or null as read)
    // is rendered between the pieces as read around it.
    const bool rendered = l.check(SlotLayout::kRenderedValue);
    if (shape_of(v, &l) != shape || !comment_matches(src, l, e.comments->trailing) ||
        (!rendered && !value_matches(src, l, v)))
        return false;
    if (!reuse::lead_matches(src, l, e.comments->before)) return false;
    if (!lines_fit(lead, src.get(), begin)) return false;
    if (!rendered) {
        put_raw(text.substr(begin, end - begin));
        note_node_anchor(v);
        return true;
    }
    const std::uint32_t value_at = l.at(SlotLayout::kValue);
    const std::uint32_t trail_at = l.at(SlotLayout::kTrail);
    put_raw(text.substr(begin, value_at - begin));
    if (shape == SlotLayout::kInline && !at_line_start() && out_.back() != ' ' &&
        value_at == l.at(SlotLayout::kSep))
        put(' ');
    emit_node_inline(v, Place::Block);
    put_raw(text.substr(trail_at, end - trail_at));
    return true;
}

bool Emitter::emit_entry(const Block& b, std::string_view key, const YamlEntry& e,
                         const YamlNode& v, std::size_t indent, bool inline_pos) {
    const SlotLayout& l = e.layout.ref();
    const bool rec = recorded(b, l);
    if (rec && slot_as_read(b, l, &key, e, v, indent, inline_pos)) return true;
    // The key as read, while it is the same key with the same properties.
    const bool key_raw = rec && l.fresh(SlotLayout::kKey) &&
                         (!l.flag(SlotLayout::kKeyLines) || b.same_column) &&
                         key_matches(b.layout->source, l, key, e) &&
                         !(e.key_props->alias && !written(*e.key_props->alias)) &&
                         !(e.key_props->node && has_unwritten_alias(**e.key_props->node));
    // An entry whose key is empty and read as nothing starts with its ':';
    // after an explicit key written as read without one, that ':' would
    // read as the value of that key (comments and blank lines between do
    // not close it): the open key gets its empty value first.
    if (key_raw && pos() == open_key_ && indent == open_key_indent_ &&
        l.at(SlotLayout::kKey) == l.at(SlotLayout::kSep)) {
        spaces(indent);
        put(":\n");
    }
    slot_lead(b, e, indent, inline_pos);
    bool simple = true;
    if (key_raw) {
        raw(b.layout->source, l.at(SlotLayout::kKey), l.at(SlotLayout::kSep));
        note_anchor(e.key_props->anchor);
        if (e.key_props->node) note_all_anchors(**e.key_props->node);
        simple = l.flag(SlotLayout::kSimpleKey);
    } else {
        bool ok = true;
        simple = emit_key_part(key, e, indent, ok);
        if (!ok) return false;
    }
    // The separator as read fits behind the key as read, or behind a
    // simple key where one was read.
    if (rec && (key_raw || (simple && l.flag(SlotLayout::kSimpleKey))) &&
        emit_slot_rest(b, l, v, e.comments->trailing, indent, true, &e)) {
        if (key_raw && !simple && !has_colon(b.layout->source, l)) {
            open_key_ = pos();
            open_key_indent_ = indent;
        }
        return true;
    }
    if (!simple && key_raw) {
        // An explicit key as read: its ':' goes on a line of its own.
        line_start();
        spaces(indent);
    }
    // "*a:" would name an anchor "a:", "!!str:" a tag "!!str:".
    if (key_raw && simple && (e.key_props->alias || empty_with_properties(key, e))) put(' ');
    put(':');
    return emit_mapping_value(e, v, indent);
}

bool Emitter::emit_item(const Block& b, const YamlItem& item, const YamlNode& node,
                        std::size_t indent, bool inline_pos) {
    if (recorded(b, item.layout.ref()) &&
        slot_as_read(b, item.layout.ref(), nullptr, item, node, indent, inline_pos))
        return true;
    slot_lead(b, item, indent, inline_pos);
    put('-');
    if (recorded(b, item.layout.ref()) &&
        emit_slot_rest(b, item.layout.ref(), node, item.comments->trailing, indent, false, &item))
        return true;
    return emit_item_body(item, node, indent, b.layout == nullptr && !item.layout.has());
}

bool Emitter::emit_slot_rest(const Block& b, const SlotLayout& l, const YamlNode& v,
                             const OptString& comment, std::size_t indent, bool entry,
                             const void* slot) {
    Shape shape;
    bool value_ok;
    if (const YamlScalar* s = v.scalar();
        s != nullptr && l.shape_read() == SlotLayout::kBlockScalar && is_block_style(s->style) &&
        l.fresh(SlotLayout::kValue) && !l.check(SlotLayout::kPlainValue) &&
        !l.check(SlotLayout::kRenderedValue) && l.fp_value == fingerprint_value(v)) {
        // A block scalar as read: its fingerprint says it still is one,
        // without a scan of its text, and is taken once.
        shape = SlotLayout::kBlockScalar;
        value_ok = true;
    } else {
        shape = shape_of(v, &l);
        value_ok = l.fresh(SlotLayout::kValue) && value_matches(b.layout->source, l, v);
    }
    const bool comment_ok = comment_matches(b.layout->source, l, comment);
    bool sep_ok = l.fresh(SlotLayout::kSep) && shape == l.shape_read() &&
                  (!l.flag(SlotLayout::kCommentInSep) || comment_ok);
    const SourceRef& src = b.layout->source;
    if (sep_ok && shape != SlotLayout::kBlock && !b.same_column) {
        // A separator over lines ("key:\n  value") keeps its indentation.
        for (std::uint32_t p = l.at(SlotLayout::kSep); p < l.at(SlotLayout::kValue); ++p)
            if (src->text[p] == '\n') sep_ok = false;
    }
    if (shape == SlotLayout::kBlock) sep_ok = sep_ok && value_ok;  // its properties
    if (!sep_ok) return false;
    raw(src, l.at(SlotLayout::kSep), l.at(SlotLayout::kValue));
    switch (shape) {
        case SlotLayout::kInline:
        case SlotLayout::kEmpty: {
            const bool multi_ok = !l.flag(SlotLayout::kValueLines) || b.same_column;
            if (v.is_collection()) {
                emit_flow_value(src, l, v, Place::Block);
            } else if (value_ok && multi_ok && !has_unwritten_alias(v)) {
                raw(src, l.at(SlotLayout::kValue), l.at(SlotLayout::kTrail));
                note_node_anchor(v);
            } else if (const YamlScalar* s = v.scalar();
                       s != nullptr && l.flag(SlotLayout::kValueLines) && b.same_column &&
                       l.fresh(SlotLayout::kValue) &&
                       rewrite_lines(src, l, *s, s->style, indent, nullptr, true, false)) {
                // A text read over several lines, changed: over those lines.
            } else {
                if (shape == SlotLayout::kInline && !at_line_start() && out_.back() != ' ' &&
                    l.at(SlotLayout::kValue) == l.at(SlotLayout::kSep))
                    put(' ');
                emit_node_inline(v, Place::Block);
            }
            emit_trail(b, l, comment, comment_ok && l.fresh(SlotLayout::kTrail));
            return true;
        }
        case SlotLayout::kBlockScalar: {
            const YamlScalar& s = *v.scalar();
            const std::string_view text = piece(src, l, SlotLayout::kValue);
            // One that ended the text read without a line break means what
            // it says only where nothing follows it still.
            const bool ended = !text.empty() && (text.back() == '\n' || text.back() == '\r');
            const bool as_read = value_ok && comment_ok && b.same_column;
            // (A part of a document written alone has its line break.)
            const bool at_end = slot == last_slot_ && on_last_chain_ && doc_ != nullptr &&
                                !doc_->final_break && nothing_after_last_slot();
            if (as_read && !ended && !at_end && s.value.is_str() &&
                (s.value.as_str().empty() || s.value.as_str().back() != '\n')) {
                // It ended the text read without a line break, and something
                // follows it now: the same lines with a line break after the
                // last, and the header stripping that break (the value had
                // none).
                const std::size_t header_end = text.find_first_of("\r\n");
                std::size_t ind = 0;
                while (ind < header_end && !((text[ind] == '|' || text[ind] == '>') &&
                                             (ind == 0 || text[ind - 1] == ' ')))
                    ++ind;
                if (ind < header_end) {
                    std::size_t q = ind + 1;
                    std::string digits;
                    while (q < header_end && (std::isdigit(static_cast<unsigned char>(text[q])) ||
                                              text[q] == '+' || text[q] == '-')) {
                        if (text[q] != '+' && text[q] != '-') digits += text[q];
                        ++q;
                    }
                    std::string rewritten(text.substr(0, ind + 1));
                    rewritten += digits;
                    rewritten += '-';
                    rewritten.append(text.substr(q));
                    put_raw(rewritten);
                    put('\n');
                    note_node_anchor(v);
                    return true;
                }
            }
            const std::size_t header_end = text.find('\n');
            if (as_read && ended && slot != last_slot_ &&
                l.at(SlotLayout::kTrail) == src->text.size() && s.value.is_str() &&
                !s.value.as_str().empty() &&
                s.value.as_str().find_first_not_of('\n') == std::string::npos &&
                static_cast<std::size_t>(std::count(
                    text.begin() + static_cast<std::ptrdiff_t>(header_end) + 1, text.end(), '\n')) <
                    s.value.as_str().size()) {
                // A block of line feeds only that ended the text read with
                // fewer lines than line feeds (the end of the text reads one
                // more), and is followed now: its header's line, then a line
                // for each of them.
                put_raw(text.substr(0, header_end + 1));
                for (std::size_t i = 0; i < s.value.as_str().size(); ++i) put('\n');
                after_block_ = after_keep_ = pos();
                block_column_ = indent;
                block_src_ = nullptr;
                return true;
            }
            if (as_read && (ended || at_end)) {
                put_raw(text);
                note_node_anchor(v);
                after_block_ = pos();
                block_column_ = indent;
                block_src_ = src.get();
                block_end_ = l.at(SlotLayout::kTrail);
                // A kept block scalar's header has "+": blank lines after it
                // would be its text.
                const std::size_t header = text.find_first_of("\r\n");
                if (text.substr(0, header).find('+') != std::string_view::npos) after_keep_ = pos();
            } else {
                ScalarStyle style = s.style;
                if (!is_block_style(style)) {
                    // A multi-line string in place of a block scalar: the
                    // style that was read.
                    std::uint32_t p = l.at(SlotLayout::kValue);
                    while (p < l.at(SlotLayout::kTrail) && src->text[p] != '|' &&
                           src->text[p] != '>')
                        ++p;
                    style = p < l.at(SlotLayout::kTrail) && src->text[p] == '>'
                                ? ScalarStyle::Folded
                                : ScalarStyle::Literal;
                }
                if (b.same_column && l.fresh(SlotLayout::kValue) &&
                    rewrite_lines(src, l, s, style, indent, opt(comment), comment_ok, at_end))
                    return true;
                emit_block_scalar(opt(s.props->anchor), opt(s.props->tag), s.value.as_str(), style,
                                  indent, opt(comment),
                                  b.same_column ? block_content_column(text, indent) : 0);
            }
            return true;
        }
        case SlotLayout::kBlock: {
            note_node_anchor(v);
            // Below the line of the "-" or ":", or on it after "- ".
            const bool below = at_line_start();
            if (below) return emit_node(v, child_column(v, indent, entry));
            return emit_inline_first(v, column());
        }
    }
    return true;
}

void Emitter::emit_trail(const Block& b, const SlotLayout& l, const OptString& comment, bool ok) {
    if (ok && (l.shape == SlotLayout::kInline || l.shape == SlotLayout::kEmpty)) {
        raw(b.layout->source, l.at(SlotLayout::kTrail), l.at(SlotLayout::kEnd));
        return;
    }
    push_inline_comment(opt(comment));
    put('\n');
}

bool Emitter::emit_inline_first(const YamlNode& node, std::size_t column) {
    if (const YamlMapping* m = node.mapping()) return emit_mapping_entries(*m, column, true);
    return emit_sequence_items(*node.sequence(), column, true);
}

bool Emitter::make_explicit_if_long(std::size_t start) {
    if (pos() - start <= kMaxSimpleKey) return false;
    // `start` lies in the unflushed buffer: nothing is flushed inside a key.
    out_.insert(start - flushed_, "? ");
    return true;
}

bool Emitter::emit_mapping_key(std::string_view key, const YamlEntry& entry, std::size_t indent) {
    bool ok = true;
    const bool simple = emit_key_part(key, entry, indent, ok);
    (void)simple;
    put(':');
    return ok;
}

bool Emitter::emit_key_part(std::string_view key, const YamlEntry& entry, std::size_t indent,
                            bool& ok) {
    // Most keys: plain, without properties, and found by the reader to be
    // written as they stand.
    if (!entry.key_props.has() && entry.key_style == ScalarStyle::Plain &&
        entry.layout.key_checked().holds(false)) {
        const std::size_t start = pos();
        out_.append(key);
        if (key.size() > kMaxSimpleKey && make_explicit_if_long(start)) {
            put('\n');
            spaces(indent);
            return false;
        }
        return true;
    }
    if (entry.key_props->alias && !written(*entry.key_props->alias)) {
        YamlEntry anchored = entry;
        anchor_instead_of_alias(anchored);
        return emit_key_part(key, anchored, indent, ok);
    }
    if (entry.key_props->alias) {
        put("? *");
        append_anchor_name(out_, *entry.key_props->alias);
        put('\n');
        spaces(indent);
        return false;
    }
    if (entry.key_props->node) {
        const YamlNode& k = **entry.key_props->node;
        const YamlMapping* m = k.mapping();
        const YamlSequence* s = k.sequence();
        const bool block =
            (m != nullptr && m->style == ContainerStyle::Block && !m->entries.empty()) ||
            (s != nullptr && s->style == ContainerStyle::Block && !s->items.empty());
        put('?');
        if (block) {
            // Like a sequence item: the key starts on the "? " line, so no
            // line of the key is left empty (a reader would count it blank).
            put(' ');
            if (!emit_tagged_or_inline_first(k, nullptr, indent)) ok = false;
        } else {
            put(' ');
            emit_node_inline(k, Place::Block);
            put('\n');
        }
        line_start();
        spaces(indent);
        return false;
    }
    const std::string* anchor = opt(entry.key_props->anchor);
    const std::string* tag = opt(entry.key_props->tag);
    if (is_block_style(entry.key_style) && block_can_hold(key)) {
        put("? ");
        emit_block_scalar(anchor, tag, key, entry.key_style, indent, nullptr);
        spaces(indent);
        return false;
    }
    const std::size_t start = pos();
    write_anchor_tag_inline(anchor, tag);
    // An empty plain key was an empty node: with an anchor or tag it stays
    // one ("&a :"); written as '' an alias of it would read back as "".
    if (!(key.empty() && entry.key_style == ScalarStyle::Plain && (anchor || tag)))
        emit_key(key, entry.key_style, false, entry.layout.key_checked());
    if (pos() - start > kMaxSimpleKey && make_explicit_if_long(start)) {
        put('\n');
        spaces(indent);
        return false;
    }
    return true;
}

namespace {

/// Most values and items: a non-empty plain string without properties,
/// found by the reader to be written as it stands; null for the rest.
/// (Asked of most slots: kept inline.)
[[gnu::always_inline]] inline const YamlScalar* checked_plain(const YamlNode& v) noexcept {
    const YamlScalar* s = v.scalar();
    if (s == nullptr || s->style != ScalarStyle::Plain || !s->plain_checked.holds(false) ||
        s->props.has() || !s->value.is_str() || s->value.as_str().empty())
        return nullptr;
    return s;
}

}  // namespace

/// A checked-plain value (see checked_plain) after its ':' or '-'. True when
/// written.
bool Emitter::put_checked_plain(const YamlNode& v, const std::string* comment) {
    const YamlScalar* s = checked_plain(v);
    if (s == nullptr) return false;
    put(' ');
    put(s->value.as_str());
    push_inline_comment(comment);
    put('\n');
    return true;
}

template <class EntryOrItem>
bool Emitter::designed_slot(const Block& b, std::string_view head, const EntryOrItem& e,
                            const YamlNode& v, std::size_t indent, bool inline_pos, bool& ok) {
    constexpr bool kEntry = std::is_same_v<EntryOrItem, YamlEntry>;
    if (recorded(b, e.layout.ref())) return false;
    std::size_t blanks = indent;
    if (!inline_pos) {
        line_start();
        blank_lines(e.blank_lines_before);
        emit_comment_before(opt(e.comments->before), indent);
    } else if (e.comments->before && !e.comments->before->empty()) {
        return false;
    } else {
        // The first of a collection on its parent's line goes on after the
        // dash, with no blank lines and no indentation of its own.
        blanks = 0;
    }
    // The text is made blanks first, the indentation among them; the rest
    // is copied over them. (A line broken with CR LF ends the general way.)
    const YamlScalar* s = crlf_ ? nullptr : checked_plain(v);
    const std::string_view value = s != nullptr ? s->value.as_str() : std::string_view();
    const std::string* comment = opt(e.comments->trailing);
    const std::size_t at = out_.size();
    const std::size_t head_end = blanks + head.size() + (kEntry ? 1 : 0);
    out_.append(s == nullptr ? head_end : head_end + 1 + value.size() + (comment ? 0 : 1), ' ');
    char* p = out_.data() + at + blanks;
    std::memcpy(p, head.data(), head.size());
    if constexpr (kEntry) p[head.size()] = ':';
    if (s == nullptr) {
        if constexpr (kEntry) {
            ok = emit_mapping_value(e, v, indent);
        } else {
            ok = emit_item_body(e, v, indent, b.layout == nullptr);
        }
        return true;
    }
    std::memcpy(out_.data() + at + head_end + 1, value.data(), value.size());
    if (comment == nullptr) {
        out_.back() = '\n';
    } else {
        push_comment(*comment);
        put('\n');
    }
    ok = true;
    return true;
}

bool Emitter::emit_mapping_value(const YamlEntry& entry, const YamlNode& v, std::size_t indent) {
    const std::string* comment = opt(entry.comments->trailing);
    if (put_checked_plain(v, comment)) return true;
    if (const YamlScalar* s = v.scalar(); s != nullptr && block_form(*s)) {
        put(' ');
        emit_block_scalar(opt(s->props->anchor), opt(s->props->tag), s->value.as_str(), s->style,
                          indent, comment);
        return true;
    }
    if (const YamlMapping* m = v.mapping();
        m != nullptr && m->style == ContainerStyle::Block && !m->entries.empty()) {
        write_anchor_tag_block_suffix(opt(m->anchor), opt(m->tag));
        push_inline_comment(comment);
        put('\n');
        return emit_mapping(*m, child_column(v, indent, true));
    }
    if (const YamlSequence* s = v.sequence();
        s != nullptr && s->style == ContainerStyle::Block && !s->items.empty()) {
        write_anchor_tag_block_suffix(opt(s->anchor), opt(s->tag));
        push_inline_comment(comment);
        put('\n');
        return emit_sequence(*s, child_column(v, indent, true));
    }
    // An empty value leaves the line at the ':' ("key:"), with no blank.
    put(' ');
    const std::size_t before = out_.size();
    // A new entry's long string is folded; one read keeps its line.
    const YamlScalar* s = v.scalar();
    if (s == nullptr || entry.layout.has() || entry.layout.key_checked().v != PlainChecked::kNo ||
        !put_long_string(*s, indent + step_))
        emit_node_inline(v, Place::Block);
    if (out_.size() == before) out_.pop_back();
    push_inline_comment(comment);
    put('\n');
    if (v.is_collection()) empty_collection_tail(v, child_column(v, indent, true));
    return true;
}

bool Emitter::emit_item_body(const YamlItem& item, const YamlNode& n, std::size_t indent,
                             bool fresh) {
    const std::string* comment = opt(item.comments->trailing);
    if (put_checked_plain(n, comment)) return true;
    const YamlMapping* m = n.mapping();
    const YamlSequence* s = n.sequence();
    put(' ');
    if ((m != nullptr && m->style == ContainerStyle::Block && !m->entries.empty()) ||
        (s != nullptr && s->style == ContainerStyle::Block && !s->items.empty()))
        return emit_tagged_or_inline_first(n, comment, indent);
    if (const YamlScalar* sc = n.scalar(); sc != nullptr && block_form(*sc)) {
        emit_block_scalar(opt(sc->props->anchor), opt(sc->props->tag), sc->value.as_str(),
                          sc->style, indent, comment);
        return true;
    }
    // An empty item is a bare "-".
    const std::size_t before = out_.size();
    const YamlScalar* sc = n.scalar();
    if (sc == nullptr || !fresh || !put_long_string(*sc, indent + dash_width()))
        emit_node_inline(n, Place::Block);
    if (out_.size() == before) out_.pop_back();
    push_inline_comment(comment);
    put('\n');
    if (n.is_collection()) empty_collection_tail(n, child_column(n, indent, false));
    return true;
}

bool Emitter::emit_tagged_or_inline_first(const YamlNode& node, const std::string* comment,
                                          std::size_t indent) {
    const YamlMapping* m = node.mapping();
    const YamlSequence* s = node.sequence();
    const std::string* anchor = m != nullptr ? opt(m->anchor) : opt(s->anchor);
    const std::string* tag = m != nullptr ? opt(m->tag) : opt(s->tag);
    if (anchor == nullptr && tag == nullptr && comment == nullptr) {
        // "- " is written; the collection starts on the dash's line.
        const std::size_t w = dash_width();
        spaces(w - 2);
        return emit_inline_first(node, indent + w);
    }
    bool sep = false;
    if (anchor != nullptr) {
        put_anchor(*anchor);
        sep = true;
    }
    if (tag != nullptr) {
        if (sep) put(' ');
        append_tag(out_, *tag, meta_);
        sep = true;
    }
    if (comment != nullptr) {
        if (sep) put(' ');
        put("# ");
        write_comment_text(*comment);
    }
    put('\n');
    return m != nullptr ? emit_mapping(*m, child_column(node, indent, false))
                        : emit_sequence(*s, child_column(node, indent, false));
}

}  // namespace tesvorn::detail
