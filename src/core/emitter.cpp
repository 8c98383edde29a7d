#include "core/emitter.hpp"

#include "core/emitter_impl.hpp"

namespace tesvorn {
namespace detail {

void Emitter::find_last_slot(const void* slot, const YamlNode& node) {
    // The entry or item whose text the output ends with.
    if (slot != nullptr) last_slot_ = slot;
    last_chain_.clear();
    for (const YamlNode* n = &node;;) {
        const YamlMapping* m = n->mapping();
        const YamlSequence* q = n->sequence();
        if (m != nullptr && m->style == ContainerStyle::Block && !m->entries.empty()) {
            if (filler_ != nullptr) last_chain_.push_back(m);
            last_slot_ = &last_written(*m);
            n = &last_written(*m).value;
        } else if (q != nullptr && q->style == ContainerStyle::Block && !q->items.empty()) {
            if (filler_ != nullptr) last_chain_.push_back(q);
            last_slot_ = &q->items.back();
            n = &q->items.back().node;
        } else {
            break;
        }
    }
}

bool Emitter::emit_document(const YamlNode& root, bool start_marker, bool end_previous, bool first,
                            bool last) {
    root_ = &root;
    if (doc_ == nullptr) {
        // A part of a document written alone breaks its lines as the text
        // its records come from.
        const CollectionLayout* cl = nullptr;
        if (const YamlMapping* rm = root.mapping()) cl = &rm->layout;
        if (const YamlSequence* rs = root.sequence()) cl = &rs->layout;
        if (cl != nullptr && cl->has()) {
            const std::string_view text = cl->source->text;
            const std::size_t nl = text.find('\n');
            crlf_ = nl != std::string_view::npos && nl > 0 && text[nl - 1] == '\r';
        }
    }
    if (const YamlMapping* rm = root.mapping())
        doc_reset_ = rm->layout.flag(CollectionLayout::kIndentStale);
    else if (const YamlSequence* rs = root.sequence())
        doc_reset_ = rs->layout.flag(CollectionLayout::kIndentStale);
    // The root's last slot is complete only once a filler made it.
    if (last && filler_ == nullptr) find_last_slot(nullptr, root);
    last_pending_ = last && filler_ != nullptr;
    const DocLayout* l = doc_;
    const bool directives = meta_.yaml_version || !meta_.tag_directives->empty();
    // The head as read, while the markers, directives and root properties
    // are unchanged and it still separates this document from the last.
    head_raw_ = l != nullptr && l->fp_head == fingerprint_head(meta_, root) &&
                (first || l->has_marker || !end_previous);
    if (head_raw_) {
        line_start();
        if (directives && end_previous) put("...\n");
        raw(l->source, l->head_begin, l->head_end);
        if (l->head_end > l->head_begin && l->source->text[l->head_end - 1] != '\n')
            line_pos_ = pos();
        if (root.is_collection()) note_node_anchor(root);
    } else {
        if (!first) line_start();
        // The comment and blank lines the head was read with stay above it.
        std::string lead;
        if (l != nullptr && l->head_end > l->head_begin) {
            const std::string_view head =
                l->source->text.substr(l->head_begin, l->head_end - l->head_begin);
            std::size_t p = 0;
            while (p < head.size()) {
                const std::size_t nl = head.find('\n', p);
                const std::size_t q = head.find_first_not_of(" \t\r", p);
                if (nl == std::string_view::npos) {
                    // A last comment line with no line break gets one.
                    if (q != std::string_view::npos && head[q] == '#') {
                        lead.assign(head);
                        lead += line_break();
                    }
                    break;
                }
                if (q < nl && head[q] != '#') break;
                p = nl + 1;
            }
            if (lead.empty()) lead.assign(head.substr(0, p));
            // (A byte order mark is not a line of its own.)
            if (lead.starts_with("\xEF\xBB\xBF")) lead.erase(0, 3);
        }
        begin_document(start_marker, end_previous, lead);
    }
    const YamlMapping* m = root.mapping();
    const YamlSequence* q = root.sequence();
    std::uint32_t tail_begin = l != nullptr ? l->tail_begin : 0;
    const bool block_root = (m != nullptr && m->style == ContainerStyle::Block) ||
                            (q != nullptr && q->style == ContainerStyle::Block);
    // A head read as it stands may end at its marker ("---" of an empty
    // root): a root written anew is kept apart from it ("---null" would be
    // one plain scalar).
    const auto apart = [&] {
        if (!head_raw_ || block_root) return;
        // A head that ends in a comment (a text of comments only, without
        // a final line break): the root goes on a line of its own.
        const std::size_t line = out_.find_last_of("\r\n") + 1;  // npos + 1 == 0
        const std::size_t hash = out_.find('#', line);
        if (hash != std::string::npos &&
            (hash == line || out_[hash - 1] == ' ' || out_[hash - 1] == '\t')) {
            put_raw(line_break());
            return;
        }
        const int c = last_char();
        if (c != -1 && c != ' ' && c != '\t' && c != '\n') put(' ');
    };
    if (l != nullptr && !block_root && l->fp_root == fingerprint_value(root) &&
        !has_unwritten_alias(root) && !(m != nullptr || q != nullptr)) {
        // A scalar or alias root as read.
        raw(l->source, l->root_begin, l->root_end);
        note_node_anchor(root);
    } else if (l != nullptr && !block_root && (m != nullptr || q != nullptr) &&
               l->fp_root == fingerprint_value(root)) {
        // A flow root: its properties as read, its contents by its records.
        const CollectionLayout& cl = m != nullptr ? m->layout : q->layout;
        if (cl.has() && cl.flag(CollectionLayout::kFlow) && cl.source == l->source) {
            raw(l->source, l->root_begin, cl.open);
            note_node_anchor(root);
            if (m != nullptr) {
                emit_mapping_flow(*m, false);
            } else {
                emit_sequence_flow(*q, false);
            }
        } else {
            apart();
            if (!emit_node(root, 0)) return false;
        }
    } else {
        apart();
        if (!emit_root_anew(root, tail_begin)) return false;
    }
    if (l != nullptr) {
        // A tail read on lines of its own stays there, also after a root
        // that ended its line as read (a block scalar) but not as written.
        const bool tail_lines = tail_begin == 0 || l->source->text[tail_begin - 1] == '\n' ||
                                l->source->text[tail_begin - 1] == '\r';
        if (l->tail_end > tail_begin && !at_line_start() && (block_root || tail_lines))
            line_start();
        if (block_root && !tail_lines && at_line_start()) {
            // The rest of the root's line read, after a root that now ends
            // its own line (a flow root written in block style): its line
            // break is written already, and another would be a blank line
            // (text of a "+" block scalar).
            const std::string_view t = l->source->text;
            std::uint32_t p = tail_begin;
            while (p < l->tail_end && (t[p] == ' ' || t[p] == '\t')) ++p;
            if (p < l->tail_end && t[p] == '\r') {
                if (++p < l->tail_end && t[p] == '\n') ++p;
                tail_begin = p;
            } else if (p == l->tail_end || t[p] == '\n') {
                tail_begin = p + (p < l->tail_end ? 1 : 0);
            }  // (a comment stays, on a line of its own)
        }
        raw(l->source, tail_begin, l->tail_end);
        if (l->has_end) {
            if (meta_.explicit_end) {
                line_start();
                raw(l->source, l->end_begin, l->end_end);
            }
        } else {
            if (meta_.explicit_end) {
                line_start();
                put("...\n");
            }
            raw(l->source, l->end_begin, l->end_end);
        }
        if (!l->final_break) {
            // The text read did not end with a line break: neither does the
            // text written, when its last line is still the one read (an
            // edit that adds or rewrites the last line ends it).
            return checkpoint();
        }
        if (!at_line_start()) put('\n');
        return checkpoint();
    }
    end_document(meta_.explicit_end);
    return checkpoint();
}

bool Emitter::emit_root_anew(const YamlNode& root, std::uint32_t& tail_begin) {
    const YamlScalar* s = root.scalar();
    if (doc_ == nullptr || s == nullptr || !block_form(*s)) return emit_node(root, 0);
    // The rest of the root's line read goes with the block it is now: a
    // comment on its header (after the block it would be its text), the
    // line break at its end.
    const std::string_view tail =
        doc_->source->text.substr(doc_->tail_begin, doc_->tail_end - doc_->tail_begin);
    std::size_t e = 0;
    while (e < tail.size() && !is_break(tail[e])) ++e;
    std::optional<std::string> comment;
    if (const std::size_t hash = first_comment(tail); hash != std::string_view::npos) {
        std::size_t p = hash + 1;
        if (p < tail.size() && tail[p] == ' ') ++p;
        comment.emplace(tail.substr(p, e - p));
    }
    if (e < tail.size() && tail[e] == '\r') ++e;
    if (e < tail.size() && tail[e] == '\n') ++e;
    tail_begin = doc_->tail_begin + static_cast<std::uint32_t>(e);
    emit_block_scalar(opt(s->props->anchor), opt(s->props->tag), s->value.as_str(), s->style, 0,
                      comment ? &*comment : nullptr);
    return checkpoint();
}

void Emitter::begin_document(bool start_marker, bool end_previous, std::string_view lead) {
    const bool directives = meta_.yaml_version || !meta_.tag_directives->empty();
    // Directives after a document need that document closed by "...".
    if (directives && end_previous) put("...\n");
    put_raw(lead);
    if (meta_.yaml_version) {
        put("%YAML ");
        put(std::to_string(meta_.yaml_version->first));
        put('.');
        put(std::to_string(meta_.yaml_version->second));
        put('\n');
    }
    for (const auto& [handle, prefix] : *meta_.tag_directives) {
        put("%TAG ");
        put(handle);
        put(' ');
        put(prefix_text(prefix));
        put('\n');
    }
    marker_end_ = static_cast<std::size_t>(-1);
    if (start_marker || directives) {
        put("---\n");
        marker_end_ = out_.size();
    }
}

bool Emitter::emit_node(const YamlNode& node, std::size_t indent) {
    switch (node.kind()) {
        case YamlNode::Mapping:
            return emit_mapping(*node.mapping(), indent);
        case YamlNode::Sequence:
            return emit_sequence(*node.sequence(), indent);
        case YamlNode::Scalar: {
            const YamlScalar& s = *node.scalar();
            if (block_form(s)) {
                emit_block_scalar(opt(s.props->anchor), opt(s.props->tag), s.value.as_str(),
                                  s.style, indent, nullptr);
            } else {
                emit_scalar_inline(s, Place::Block);
            }
            return checkpoint();
        }
        default:
            emit_node_inline(node, Place::Block);
            return checkpoint();
    }
}

bool Emitter::emit_mapping(const YamlMapping& map, std::size_t indent) {
    if (map.style == ContainerStyle::Flow) {
        emit_mapping_flow(map);
        return checkpoint();
    }
    const bool root = block_depth_ == 0 && root_ != nullptr && root_->mapping() == &map;
    // A document root's properties get a line of their own.
    if (root && !head_raw_) root_properties(opt(map.anchor), opt(map.tag));
    if (map.entries.empty()) {
        line_start();
        put("{}\n");
        emit_collection_tail(block_of(map.layout, indent), map.layout, map.trailing_blank_lines,
                             indent);
        return checkpoint();
    }
    // (A collection read nested and written as a root starts at the left edge.)
    if (root && map.layout.flag(CollectionLayout::kRoot) &&
        !map.layout.flag(CollectionLayout::kIndentStale) &&
        !map.layout.flag(CollectionLayout::kFlow) && map.layout.rel > 0)
        indent = static_cast<std::size_t>(map.layout.rel);
    return emit_mapping_entries(map, indent, false);
}

bool Emitter::emit_sequence(const YamlSequence& seq, std::size_t indent) {
    if (seq.style == ContainerStyle::Flow) {
        emit_sequence_flow(seq);
        return checkpoint();
    }
    const bool root = block_depth_ == 0 && root_ != nullptr && root_->sequence() == &seq;
    if (root && !head_raw_) root_properties(opt(seq.anchor), opt(seq.tag));
    if (seq.items.empty()) {
        line_start();
        put("[]\n");
        emit_collection_tail(block_of(seq.layout, indent), seq.layout, seq.trailing_blank_lines,
                             indent);
        return checkpoint();
    }
    // (A collection read nested and written as a root starts at the left edge.)
    if (root && seq.layout.flag(CollectionLayout::kRoot) &&
        !seq.layout.flag(CollectionLayout::kIndentStale) &&
        !seq.layout.flag(CollectionLayout::kFlow) && seq.layout.rel > 0)
        indent = static_cast<std::size_t>(seq.layout.rel);
    return emit_sequence_items(seq, indent, false);
}

void Emitter::write_properties_inline(const std::string* anchor, const std::string* tag) {
    if (anchor != nullptr) {
        put_anchor(*anchor);
        put(' ');
    }
    if (tag != nullptr) {
        append_tag(out_, *tag, meta_);
        put(' ');
    }
}

void Emitter::write_block_suffix(const std::string* anchor, const std::string* tag) {
    if (anchor != nullptr) {
        put(' ');
        put_anchor(*anchor);
    }
    if (tag != nullptr) {
        put(' ');
        append_tag(out_, *tag, meta_);
    }
}

void Emitter::emit_comment_lines(std::string_view t, std::size_t indent) {
    // The text's lines are the comment lines, as the reader joins them: CR,
    // LF and CR LF each end one (a raw CR inside a comment would end it for
    // a reader), so "" is one line and "x\n" two, the last of them empty.
    std::size_t pos_in = 0;
    while (true) {
        std::size_t br = t.find_first_of("\r\n", pos_in);
        if (br == std::string_view::npos) br = t.size();
        spaces(indent);
        // An empty comment line is a bare '#': no trailing blank.
        put(br == pos_in ? "#" : "# ");
        put(t.substr(pos_in, br - pos_in));
        put('\n');
        if (br == t.size()) break;
        if (t[br] == '\r' && br + 1 < t.size() && t[br + 1] == '\n') ++br;
        pos_in = br + 1;
    }
}

void Emitter::write_comment_text(std::string_view text) {
    // A comment on a content line has one line: line breaks become spaces.
    std::size_t pos_in = 0;
    while (true) {
        const std::size_t br = text.find_first_of("\r\n", pos_in);
        if (br == std::string_view::npos) {
            put(text.substr(pos_in));
            return;
        }
        put(text.substr(pos_in, br - pos_in));
        put(' ');
        pos_in = br + 1;
    }
}

void Emitter::push_comment(const std::string& text) {
    put(text.empty() ? "  #" : "  # ");
    write_comment_text(text);
}

}  // namespace detail

std::string emit_docs(std::span<const YamlNode> roots, std::span<const DocMetadata> metas,
                      std::size_t indent) {
    std::string out;
    out.reserve(256);
    const DocMetadata empty;
    for (std::size_t i = 0; i < roots.size(); ++i) {
        const DocMetadata& meta = i < metas.size() ? metas[i] : empty;
        const bool previous_open = i > 0 && !(i - 1 < metas.size() && metas[i - 1].explicit_end);
        const bool start = roots.size() != 1 || meta.explicit_start;
        detail::Emitter e(out, nullptr, indent, meta);
        (void)e.emit_document(roots[i], start, previous_open, i == 0, i + 1 == roots.size());
    }
    return out;
}

void emit_doc_into(std::string& out, const YamlNode& root, const DocMetadata& meta,
                   std::size_t indent, bool start_marker, bool end_previous, bool last,
                   RootFiller* filler) {
    detail::Emitter e(out, nullptr, indent, meta);
    e.set_filler(filler);
    (void)e.emit_document(root, start_marker, end_previous, out.empty(), last);
}

BlockWriter::BlockWriter(std::string& out, const DocMetadata& meta, std::size_t indent)
    : emitter_(std::make_unique<detail::Emitter>(out, nullptr, indent, meta)) {}

BlockWriter::~BlockWriter() = default;

void BlockWriter::begin(bool start_marker, bool end_previous, const std::string* anchor,
                        const std::string* tag) {
    emitter_->begin_document(start_marker, end_previous);
    emitter_->root_properties(anchor, tag);
}

void BlockWriter::content(const YamlNode& piece, std::size_t column) {
    emitter_->block_content(piece, column);
}

void BlockWriter::entry(std::string_view key, const YamlEntry& e, std::size_t column) {
    emitter_->block_entry(key, e, column);
}

void BlockWriter::item(const YamlItem& item, std::size_t column) {
    emitter_->block_item(item, column);
}

void BlockWriter::open_value(std::string_view key, const YamlEntry& entry,
                             const std::string* anchor, const std::string* tag,
                             std::size_t column) {
    emitter_->open_value(key, entry, anchor, tag, column);
}

void BlockWriter::trailing_blank_lines(std::size_t n) {
    emitter_->trailing_blank_lines(n);
}

void BlockWriter::end(bool explicit_end) {
    emitter_->end_document(explicit_end);
}

std::size_t BlockWriter::step() const noexcept {
    return emitter_->step();
}

bool emit_docs_to(const YamlNode& root, const DocMetadata& meta, std::size_t indent, Sink& sink) {
    return emit_docs_to(root, meta, indent, sink, meta.explicit_start, true);
}

bool emit_docs_to(const YamlNode& root, const DocMetadata& meta, std::size_t indent, Sink& sink,
                  bool start_marker, bool last) {
    std::string buf;
    buf.reserve(256);
    detail::Emitter e(buf, &sink, indent, meta);
    // Whatever the sink holds is an earlier document; "..." closes it before
    // directives unless it ended with one already (as emit_docs writes it).
    const bool previous_open = sink.last_char() != -1 && !sink.document_closed();
    const bool ok =
        e.emit_document(root, start_marker, previous_open, sink.last_char() == -1, last);
    const bool written = e.finish() && ok;
    sink.set_document_closed(meta.explicit_end);
    return written;
}

}  // namespace tesvorn
