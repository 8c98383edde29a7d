#include "core/builder.hpp"

#include <algorithm>

namespace tesvorn {

namespace {

std::size_t count_nodes(const YamlNode& node) {
    std::size_t n = 1;
    if (const auto* m = node.mapping()) {
        for (const auto& slot : m->entries) {
            n += count_nodes(slot.value.value);
            if (slot.value.key_node) n += count_nodes(**slot.value.key_node);
        }
    } else if (const auto* s = node.sequence()) {
        for (const auto& item : s->items) n += count_nodes(item.node);
    } else if (const auto* a = node.alias()) {
        n += count_nodes(*a->target);
    }
    return n;
}

}  // namespace

std::uint8_t Builder::blank_lines_for(std::size_t line) const {
    if (!last_line_ || *last_line_ + 1 >= line) return 0;
    std::size_t gap = line - *last_line_ - 1;
    std::size_t comments = 0;
    for (const auto& c : pending_comments_)
        if (c.first < line) ++comments;
    gap = gap > comments ? gap - comments : 0;
    return static_cast<std::uint8_t>(std::min<std::size_t>(gap, 255));
}

std::optional<std::string> Builder::take_before(std::size_t line) {
    // Comments above `line` are taken; later ones stay pending. A comment
    // below a quoted scalar reaches the builder before the scalar does (the
    // scanner reads it while looking for what follows the closing quote), and
    // it belongs to whatever comes next.
    std::optional<std::string> out;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < pending_comments_.size(); ++i) {
        auto& c = pending_comments_[i];
        if (c.first >= line) {
            if (kept != i) pending_comments_[kept] = std::move(c);
            ++kept;
            continue;
        }
        if (out) {
            *out += '\n';
            *out += c.second;
        } else {
            out = std::move(c.second);
        }
    }
    pending_comments_.resize(kept);
    return out;
}

std::optional<std::string> Builder::take_at(std::size_t line) {
    for (auto it = pending_comments_.begin(); it != pending_comments_.end(); ++it) {
        if (it->first != line) continue;
        std::optional<std::string> out = std::move(it->second);
        pending_comments_.erase(it);
        return out;
    }
    return std::nullopt;
}

void Builder::absorb_comments(std::vector<PendingComment>& comments) {
    for (auto& c : comments) {
        if (!last_line_ || c.mark.line != *last_line_) {
            pending_comments_.emplace_back(c.mark.line, std::move(c.text));
            continue;
        }
        // On the line of what was just read: an inline comment.
        if (frames_.empty()) {
            if (roots_.empty() || current_meta_.explicit_start) {
                // Nothing read yet in this document: the line is its start
                // ("---", or the first document's first line), and a comment
                // there belongs to what follows (a quoted scalar is read past,
                // and the comment after it, before its event arrives), not
                // to the document before. It waits instead of being dropped
                // or given to the previous document's last entry.
                pending_comments_.emplace_back(c.mark.line, std::move(c.text));
                continue;
            }
            YamlNode& root = roots_.back();
            if (auto* m = root.mapping(); m && !m->entries.empty()) {
                auto& e = m->entries.back().value;
                if (!e.comment_inline) e.comment_inline = std::move(c.text);
            } else if (auto* s = root.sequence(); s && !s->items.empty()) {
                auto& item = s->items.back();
                if (!item.comment_inline) item.comment_inline = std::move(c.text);
            }
            continue;
        }
        // A quoted scalar is read past, with a comment after it, before its
        // own event arrives; when nothing read before it on its line can take
        // the comment, it waits for the scalar (which takes pending comments
        // on its line as inline) instead of being dropped or misplaced. That
        // is: a collection with nothing in it yet (it starts with the
        // document), or a block collection that just ended (it ends at the
        // next token, on the line of what follows it).
        const auto ended_block = [](const YamlNode& n) {
            const YamlMapping* m = n.mapping();
            const YamlSequence* s = n.sequence();
            return (m && m->style == ContainerStyle::Block) ||
                   (s && s->style == ContainerStyle::Block);
        };
        Frame& f = frames_.back();
        if (f.is_flow) {
            f.flow_comment = std::move(c.text);
        } else if (f.is_mapping) {
            if (!f.pending.empty()) {
                f.pending.comment_inline = std::move(c.text);
            } else if (!f.mapping.entries.empty() &&
                       !ended_block(f.mapping.entries.back().value.value)) {
                f.mapping.entries.back().value.comment_inline = std::move(c.text);
            } else {
                pending_comments_.emplace_back(c.mark.line, std::move(c.text));
            }
        } else if (!f.sequence.items.empty() && !ended_block(f.sequence.items.back().node)) {
            f.sequence.items.back().comment_inline = std::move(c.text);
        } else {
            pending_comments_.emplace_back(c.mark.line, std::move(c.text));
        }
    }
    comments.clear();
}

std::optional<YamlNode> Builder::PendingKey::insert_entry(YamlMapping& mapping, YamlNode&& value) {
    if (empty()) return std::move(value);
    YamlEntry entry;
    entry.value = std::move(value);
    entry.comment_before = std::move(comment_before);
    entry.comment_inline = std::move(comment_inline);
    entry.blank_lines_before = blank_lines_before;
    std::string entry_key;
    if (!key) {
        // A collection used as a key: its properties live on the key node.
        entry_key = complex_key_string(mapping.entries.size());
        entry.key_node = Box<YamlNode>(std::move(*key_node));
        entry.key_style = ScalarStyle::Plain;
    } else {
        entry_key = std::move(*key);
        entry.key_anchor = std::move(key_anchor);
        entry.key_alias = std::move(key_alias);
        entry.key_tag = std::move(key_tag);
        entry.key_style = key_style;
        if (key_node) entry.key_node = Box<YamlNode>(std::move(*key_node));
    }
    // A duplicate key replaces the earlier entry in its place: last one wins.
    mapping.entries.insert(std::move(entry_key), std::move(entry));
    *this = PendingKey{};
    return std::nullopt;
}

void Builder::push_node(YamlNode&& node) {
    if (frames_.empty()) {
        metas_.push_back(std::move(current_meta_));
        current_meta_ = DocMetadata{};
        roots_.push_back(std::move(node));
        return;
    }
    Frame& f = frames_.back();
    if (!f.is_mapping) {
        YamlItem item;
        item.node = std::move(node);
        item.comment_before = std::move(f.item_comment_before);
        item.comment_inline = std::move(f.item_comment_inline);
        item.blank_lines_before = f.item_blank_lines_before;
        f.item_comment_before.reset();
        f.item_comment_inline.reset();
        f.item_blank_lines_before = 0;
        f.sequence.items.push_back(std::move(item));
        return;
    }
    if (auto back = f.pending.insert_entry(f.mapping, std::move(node)))
        f.pending.key_node = std::move(*back);
}

void Builder::register_anchor(const std::string& name, const YamlNode& node) {
    anchors_.insert_or_assign(name, Anchored{node, count_nodes(node)});
}

Status Builder::process_event(Event&& event, const Marker& mark, CoercionTags coercion) {
    const std::size_t line = mark.line;
    switch (event.type) {
        case Event::Type::StreamStart:
        case Event::Type::StreamEnd:
            break;
        case Event::Type::DocumentStart:
            current_meta_.tag_directives = std::move(event.tag_directives);
            current_meta_.explicit_start = event.is_explicit;
            current_meta_.explicit_end = false;
            current_meta_.yaml_version = event.version;
            last_line_ = line;
            break;
        case Event::Type::DocumentEnd:
            ++document_ends_;
            if (!roots_.empty() && !metas_.empty()) {
                metas_.back().explicit_end = event.is_explicit;
            } else if (roots_.empty()) {
                DocMetadata only_end;
                only_end.explicit_end = event.is_explicit;
                metas_.push_back(std::move(only_end));
            }
            break;
        case Event::Type::Alias: {
            ++nodes_read_;
            YamlNode copy;
            if (auto it = anchors_.find(event.value); it != anchors_.end()) {
                alias_copies_ += it->second.nodes;
                const std::size_t budget = std::max(kAliasBudgetFloor, 10 * nodes_read_);
                if (alias_copies_ > budget)
                    return ScanError(mark,
                                     "aliases expand too far: the document copies more than " +
                                         std::to_string(budget) + " nodes through aliases");
                copy = it->second.node;
            }
            // An alias that starts an entry or item takes the blank lines and
            // comments above it, like a scalar, and its line becomes the line
            // of what was just read: otherwise a comment after it on its line
            // would move to the next entry and its line would count as blank.
            const bool starts_item =
                !frames_.empty() && (!frames_.back().is_mapping || frames_.back().pending.empty());
            std::uint8_t blank = 0;
            std::optional<std::string> comment;
            if (starts_item) {
                blank = blank_lines_for(line);
                comment = take_before(line);
            }
            last_line_ = line;
            if (!frames_.empty() && frames_.back().is_mapping && frames_.back().pending.empty()) {
                PendingKey& k = frames_.back().pending;
                k.key = copy.scalar() ? copy.scalar()->value.to_key_string() : std::string();
                k.key_alias = event.value;
                k.key_style = ScalarStyle::Plain;
                k.comment_before = std::move(comment);
                k.blank_lines_before = blank;
            } else if (!frames_.empty() && !frames_.back().is_mapping) {
                YamlItem item;
                item.node =
                    YamlNode(AliasNode{std::move(event.value), Box<YamlNode>(std::move(copy))});
                item.comment_before = std::move(comment);
                item.blank_lines_before = blank;
                frames_.back().sequence.items.push_back(std::move(item));
            } else {
                push_node(
                    YamlNode(AliasNode{std::move(event.value), Box<YamlNode>(std::move(copy))}));
            }
            break;
        }
        case Event::Type::Scalar:
            ++nodes_read_;
            process_scalar(std::move(event), line, coercion);
            break;
        case Event::Type::SequenceStart:
        case Event::Type::MappingStart: {
            ++nodes_read_;
            if (!frames_.empty() && !frames_.back().is_mapping) {
                // A block item starts at its properties when it has any: its
                // start token can be lines below them.
                std::size_t item_line = line;
                if (event.property_line != 0 && !event.flow)
                    item_line = std::min(line, event.property_line);
                Frame& parent = frames_.back();
                parent.item_blank_lines_before = blank_lines_for(item_line);
                parent.item_comment_before = take_before(item_line);
                // A comment after the "-" of a block collection that starts
                // below it is the item's inline comment: the writer puts an
                // item's inline comment there (it went to the first entry
                // below, and moved on every round).
                if (!event.flow) parent.item_comment_inline = take_at(item_line);
                last_line_ = line - 1;
            }
            Frame f;
            f.is_mapping = event.type == Event::Type::MappingStart;
            f.is_flow = event.flow;
            const ContainerStyle style = event.flow ? ContainerStyle::Flow : ContainerStyle::Block;
            std::optional<std::string> tag;
            if (event.tag) tag = event.tag->full();
            if (f.is_mapping) {
                f.mapping.style = style;
                f.mapping.tag = std::move(tag);
                f.mapping.anchor = event.anchor;
            } else {
                f.sequence.style = style;
                f.sequence.tag = std::move(tag);
                f.sequence.anchor = event.anchor;
            }
            f.anchor = std::move(event.anchor);
            frames_.push_back(std::move(f));
            break;
        }
        case Event::Type::SequenceEnd:
        case Event::Type::MappingEnd: {
            if (frames_.empty()) break;
            Frame f = std::move(frames_.back());
            frames_.pop_back();
            const std::uint8_t trailing = blank_lines_for(line);
            last_line_ = line;
            YamlNode node;
            if (f.is_mapping) {
                f.mapping.trailing_blank_lines = trailing;
                node = YamlNode(std::move(f.mapping));
            } else {
                f.sequence.trailing_blank_lines = trailing;
                node = YamlNode(std::move(f.sequence));
            }
            if (f.anchor) register_anchor(*f.anchor, node);
            if (f.flow_comment && !frames_.empty()) {
                Frame& parent = frames_.back();
                if (parent.is_flow) {
                    parent.flow_comment = std::move(f.flow_comment);
                } else if (!parent.is_mapping) {
                    parent.item_comment_inline = std::move(f.flow_comment);
                } else if (!parent.pending.empty()) {
                    parent.pending.comment_inline = std::move(f.flow_comment);
                }
            }
            push_node(std::move(node));
            break;
        }
    }
    return {};
}

void Builder::process_scalar(Event&& event, std::size_t line, CoercionTags coercion) {
    std::optional<std::string> tag;
    if (event.tag) tag = event.tag->full();
    // The line a comment must be on to follow this scalar: where its text
    // ends (multi-line plain, quoted and block scalars end below their mark).
    const std::size_t end_line = std::max(line, event.end_line);

    const bool starts_item =
        !frames_.empty() && (!frames_.back().is_mapping || frames_.back().pending.empty());
    std::uint8_t blank = 0;
    std::optional<std::string> comment;
    if (starts_item) {
        blank = blank_lines_for(line);
        comment = take_before(line);
    }

    const bool is_key =
        !frames_.empty() && frames_.back().is_mapping && frames_.back().pending.empty();
    last_line_ = end_line;
    // A comment after a quoted scalar reaches the builder before the scalar
    // does: a pending comment on the scalar's last line follows it.
    std::optional<std::string> inline_comment;
    for (auto it = pending_comments_.begin(); it != pending_comments_.end();) {
        if (it->first == end_line) {
            inline_comment = std::move(it->second);
            it = pending_comments_.erase(it);
        } else {
            ++it;
        }
    }
    if (is_key && !event.anchor) {
        // Keys keep their text exactly as read: a key written 1.0 stays "1.0".
        PendingKey& k = frames_.back().pending;
        k.key = std::move(event.value);
        k.comment_before = std::move(comment);
        k.blank_lines_before = blank;
        k.key_style = event.style;
        k.key_tag = std::move(tag);
        if (inline_comment) k.comment_inline = std::move(inline_comment);
        return;
    }
    std::optional<std::string> key_text;
    if (is_key) key_text = event.value;

    YamlScalar s;
    s.style = event.style;
    s.value = type_scalar(event.value, event.style, tag, coercion);
    if (event.style == ScalarStyle::Plain) {
        // type_scalar may have moved the text into a Str value.
        const std::string_view text =
            s.value.is_str() ? std::string_view(s.value.as_str()) : event.value;
        if (keeps_original(s.value, text, tag.has_value())) s.original = std::string(text);
    }
    s.tag = tag;
    s.anchor = event.anchor;
    YamlNode node(std::move(s));
    // An anchored key registers its typed node too, for aliases elsewhere.
    if (event.anchor) register_anchor(*event.anchor, node);

    if (is_key) {
        PendingKey& k = frames_.back().pending;
        k.key = std::move(key_text);
        k.comment_before = std::move(comment);
        k.blank_lines_before = blank;
        k.key_style = event.style;
        k.key_anchor = std::move(event.anchor);
        k.key_tag = std::move(tag);
        if (inline_comment) k.comment_inline = std::move(inline_comment);
        return;
    }
    if (frames_.empty()) {
        push_node(std::move(node));
    } else if (!frames_.back().is_mapping) {
        YamlItem item;
        item.node = std::move(node);
        item.comment_before = std::move(comment);
        item.comment_inline = std::move(inline_comment);
        item.blank_lines_before = blank;
        frames_.back().sequence.items.push_back(std::move(item));
    } else {
        Frame& f = frames_.back();
        if (inline_comment) f.pending.comment_inline = std::move(inline_comment);
        (void)f.pending.insert_entry(f.mapping, std::move(node));
    }
}

}  // namespace tesvorn
