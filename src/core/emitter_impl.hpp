// The writer's state and the declarations of its parts, shared by the files
// that write documents (emitter.cpp), block collections (emit_block.cpp),
// scalars (emit_scalar.cpp) and flow collections (emit_flow.cpp). Private to
// the core.
#pragma once

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/emitter.hpp"
#include "core/render.hpp"
#include "core/reuse.hpp"
#include "core/scalar_lines.hpp"

namespace tesvorn::detail {

using namespace rendering;
using reuse::comment_matches;
using reuse::key_matches;
using reuse::value_matches;

// A block-context implicit key must reach its ':' within 1024 characters of
// its start, or readers give up on it; longer keys are written after "? ".
inline constexpr std::size_t kMaxSimpleKey = 1000;

// New strings longer than this are folded over lines.
inline constexpr std::size_t kWidth = 80;

// Text reaches a fallible sink in fragments of about this size.
inline constexpr std::size_t kChunk = std::size_t{1} << 16;

/// The column a block scalar read as `text` (its header first) put its
/// content at, its entry or item standing at `indent`; 0 where it shows
/// none. A changed one goes there too.
inline std::size_t block_content_column(std::string_view text, std::size_t indent) noexcept {
    std::size_t p = 1;
    for (; p < text.size() && p < 3; ++p) {
        if (text[p] >= '1' && text[p] <= '9')
            return indent + static_cast<std::size_t>(text[p] - '0');
        if (text[p] != '+' && text[p] != '-') break;
    }
    p = text.find('\n', p);
    while (p != std::string_view::npos && p + 1 < text.size()) {
        const std::size_t b = p + 1;
        std::size_t e = b;
        while (e < text.size() && text[e] == ' ') ++e;
        if (e < text.size() && !is_break(text[e])) return e - b > indent ? e - b : 0;
        p = text.find('\n', e);
    }
    return 0;
}

/// Where an inline node goes: plain scalars are stricter inside flow
/// collections, and an empty plain scalar cannot stand alone as a flow
/// sequence item.
enum class Place : std::uint8_t { Block, FlowValue, FlowItem };

inline const std::string* opt(const OptString& s) noexcept {
    return s.get();
}

class Emitter {
  public:
    Emitter(std::string& out, Sink* sink, std::size_t step, const DocMetadata& meta)
        : out_(out),
          sink_(sink),
          step_(step == 0 ? 2 : step),
          meta_(meta),
          doc_(meta.layout.get()),
          crlf_(doc_ != nullptr && doc_->crlf) {}

    /// A root not written as read; `tail_begin` is where the text read after
    /// it starts, moved past what this writes.
    bool emit_root_anew(const YamlNode& root, std::uint32_t& tail_begin);
    /// One document; `first` when nothing precedes it in the output.
    bool emit_document(const YamlNode& root, bool start_marker, bool end_previous, bool first,
                       bool last);
    /// Completes the root's slots as they are written (see RootFiller).
    void set_filler(RootFiller* filler) noexcept { filler_ = filler; }

    // The parts of a document, for writing it piece by piece (BlockWriter).
    void begin_document(bool start_marker, bool end_previous, std::string_view lead = {});
    void end_document(bool explicit_end) {
        if (last_char() != '\n') put('\n');
        if (explicit_end) put("...\n");
    }
    /// The line of a root block collection's anchor and tag, if any. Right
    /// after "---" they go on the marker's line: on a line of their own
    /// there, a reader would count that line as blank before the content.
    void root_properties(const std::string* anchor, const std::string* tag) {
        if (anchor == nullptr && tag == nullptr) return;
        if (marker_end_ == out_.size()) {
            out_.pop_back();
            if (!out_.empty() && out_.back() == '\r') out_.pop_back();
            out_ += ' ';
        }
        write_anchor_tag_inline(anchor, tag);
        out_.pop_back();
        put('\n');
    }
    /// The entries or items of a non-empty block collection at `indent`.
    void block_content(const YamlNode& node, std::size_t indent) {
        if (const YamlMapping* m = node.mapping()) {
            for (const auto& slot : m->entries)
                (void)emit_mapping_entry(slot.key, slot.value, indent);
        } else if (const YamlSequence* s = node.sequence()) {
            for (const YamlItem& item : s->items) (void)emit_sequence_item(item, indent);
        }
    }
    /// One entry or item of a block collection at `indent`.
    void block_entry(std::string_view key, const YamlEntry& e, std::size_t indent) {
        (void)emit_mapping_entry(key, e, indent);
    }
    void block_item(const YamlItem& item, std::size_t indent) {
        (void)emit_sequence_item(item, indent);
    }
    /// Everything of an entry up to the contents of its value, a non-empty
    /// block collection with `anchor` and `tag`.
    void open_value(std::string_view key, const YamlEntry& e, const std::string* anchor,
                    const std::string* tag, std::size_t indent) {
        entry_lead(e, indent);
        (void)emit_mapping_key(key, e, indent);
        write_anchor_tag_block_suffix(anchor, tag);
        push_inline_comment(opt(e.comments->trailing));
        put('\n');
    }
    void trailing_blank_lines(std::size_t n) { blank_lines(n); }
    [[nodiscard]] std::size_t step() const noexcept { return step_; }

    /// Hands the rest of the text to the sink.
    bool finish() {
        if (sink_ != nullptr && !out_.empty()) flush();
        return !failed_;
    }

  private:
    using Shape = SlotLayout::Shape;

    // Output -----------------------------------------------------------------
    // Text the writer makes goes through put(), which breaks lines the way
    // the document read did; text taken from the source goes through raw().
    void put(std::string_view s) {
        if (!crlf_) {
            out_.append(s);
            return;
        }
        for (const char c : s) put(c);
    }
    void put(char c) {
        if (c == '\n' && crlf_) out_ += '\r';
        out_ += c;
    }
    void spaces(std::size_t n) { out_.append(n, ' '); }
    /// The line break of the lines the writer makes.
    [[nodiscard]] std::string_view line_break() const noexcept { return crlf_ ? "\r\n" : "\n"; }
    /// Text taken from the source, as it is.
    void put_raw(std::string_view s) {
        out_.append(s);
        if (!s.empty()) raw_end_ = pos();
    }
    void raw(const SourceRef& source, std::uint32_t b, std::uint32_t e) {
        const std::string_view text = source->text;
        const std::size_t end = std::min<std::size_t>(e, text.size());
        if (end > b) put_raw(std::string_view(text.data() + b, end - b));
    }
    [[nodiscard]] std::size_t pos() const noexcept { return flushed_ + out_.size(); }
    void flush() {
        if (!failed_ && !sink_->write(out_)) failed_ = true;
        flushed_ += out_.size();
        out_.clear();
    }
    /// Called between entries and items: passes full fragments on to a sink
    /// and reports whether writing may go on. (After every slot: kept
    /// inline.)
    [[gnu::always_inline]] bool checkpoint() {
        if (sink_ != nullptr && out_.size() >= kChunk) flush();
        return !failed_;
    }
    [[nodiscard]] int last_char() const noexcept {
        if (!out_.empty()) return static_cast<unsigned char>(out_.back());
        return sink_ != nullptr ? sink_->last_char() : -1;
    }
    /// Whether the next text starts a line: after a line break, at the very
    /// start, or right after a head that ends in a byte order mark.
    [[nodiscard]] bool at_line_start() const noexcept {
        const int c = last_char();
        return c == '\n' || c == '\r' || c == -1 || pos() == line_pos_;
    }
    void line_start() {
        if (!at_line_start()) put('\n');
    }
    /// The column the next character goes to.
    [[nodiscard]] std::size_t column() const noexcept {
        std::size_t n = 0;
        std::size_t i = out_.size();
        for (; i > 0 && !is_break(out_[i - 1]); --i)
            if ((static_cast<unsigned char>(out_[i - 1]) & 0xC0) != 0x80) ++n;
        // A byte order mark that starts the text takes no column.
        if (i == 0 && n > 0 && out_.starts_with("\xEF\xBB\xBF")) --n;
        return n;
    }
    /// Blank lines; none right after a keep-chomped block scalar, which
    /// would take them as its own content.
    void blank_lines(std::size_t n) {
        // (Most slots have none: told inline.)
        if (n != 0) put_blank_lines(n);
    }
    void put_blank_lines(std::size_t n) {
        if (pos() == after_keep_) return;
        const bool after_block = pos() == after_block_;
        for (std::size_t i = 0; i < n; ++i) put('\n');
        // Lines indented deeper after them still read as the block's text.
        if (after_block) after_block_ = pos();
    }

    // Records -----------------------------------------------------------------
    /// A block collection being written: its records, and whether it stands
    /// at the column it was read at (lines taken from the source keep their
    /// indentation, so only then do they fit).
    struct Block {
        const CollectionLayout* layout = nullptr;
        bool same_column = false;
        /// How far right of where they were read its entries stand now.
        std::ptrdiff_t shift = 0;
    };
    /// Whether a slot's records were read with its collection's.
    static bool recorded(const Block& b, const SlotLayout& l) noexcept {
        return reuse::recorded(b.layout, l);
    }
    static std::string_view piece(const SourceRef& src, const SlotLayout& l, SlotLayout::Piece p) {
        return reuse::piece(src, l, p);
    }
    static std::string_view piece(const Block& b, const SlotLayout& l, SlotLayout::Piece p) {
        return reuse::piece(b.layout->source, l, p);
    }
    static Block block_of(const CollectionLayout& l, std::size_t column) {
        Block b;
        if (!l.has() || l.flag(CollectionLayout::kFlow)) return b;
        b.layout = &l;
        b.same_column = !l.flag(CollectionLayout::kIndentStale) && l.column == column;
        b.shift = static_cast<std::ptrdiff_t>(column) - static_cast<std::ptrdiff_t>(l.column);
        return b;
    }
    /// The shape a value is written in, as recorded slots name it. A
    /// multi-line string that replaced a block scalar stays a block scalar.
    static Shape shape_of(const YamlNode& v, const SlotLayout* recorded) {
        if (const YamlScalar* s = v.scalar()) {
            if (block_form(*s)) return SlotLayout::kBlockScalar;
            // A block scalar as read (one made of line breaks only, say),
            // which its record gives back.
            if (recorded != nullptr && recorded->shape == SlotLayout::kBlockScalar &&
                is_block_style(s->style) && !recorded->check(SlotLayout::kPlainValue) &&
                recorded->fp_value == fingerprint_value(v))
                return SlotLayout::kBlockScalar;
            if (recorded != nullptr && recorded->shape == SlotLayout::kBlockScalar &&
                s->value.is_str() && s->value.as_str().find('\n') != std::string::npos &&
                !s->props->original && block_can_hold(s->value.as_str()))
                return SlotLayout::kBlockScalar;
            const bool empty = s->props->original && s->props->original->empty() &&
                               !s->props->anchor && !s->props->tag;
            return empty ? SlotLayout::kEmpty : SlotLayout::kInline;
        }
        const YamlMapping* m = v.mapping();
        const YamlSequence* q = v.sequence();
        if ((m != nullptr && m->style == ContainerStyle::Block && !m->entries.empty()) ||
            (q != nullptr && q->style == ContainerStyle::Block && !q->items.empty()))
            return SlotLayout::kBlock;
        return SlotLayout::kInline;
    }
    /// The column of a block collection below its parent's entries at
    /// `indent`: where it was read relative to them, else one step in.
    /// New collections follow the document's own indentation where it
    /// shows one. `under_key`: the parent is a mapping key (a sequence may
    /// stand at its column), else a "-".
    [[nodiscard]] std::size_t child_column(const YamlNode& child, std::size_t indent,
                                           bool under_key) const {
        const CollectionLayout* l =
            child.mapping() ? &child.mapping()->layout : &child.sequence()->layout;
        const std::int32_t min = child.sequence() && under_key ? 0 : 1;
        const bool block_record = l->has() && !l->flag(CollectionLayout::kFlow);
        if (block_record && !l->flag(CollectionLayout::kIndentStale)) {
            if (l->rel >= min) return indent + static_cast<std::size_t>(l->rel);
        } else if (doc_ != nullptr && !block_record && !doc_reset_) {
            // (Without a sequence to follow, a sequence follows the mappings.)
            std::int32_t shown = child.mapping() ? doc_->map_step : doc_->seq_step;
            if (shown < 0 && child.sequence()) shown = doc_->map_step;
            if (shown >= min) return indent + static_cast<std::size_t>(shown);
        }
        return indent + step_;
    }
    /// Whether `lines` (blank and comment lines from the source) can follow
    /// what is written so far as they are: right after a block scalar,
    /// comment lines and lines of blanks indented deeper than its entry
    /// would become its text, and after a kept one blank lines would.
    [[nodiscard]] bool lines_fit(std::string_view lines, const SourceText* src,
                                 std::uint32_t begin) const noexcept {
        if (pos() != after_block_ && pos() != after_keep_) return true;
        // Lines that followed this very block scalar in the text read.
        if (src == block_src_ && begin == block_end_) return true;
        std::size_t p = 0;
        bool first = true;
        while (p < lines.size()) {
            std::size_t q = p;
            while (q < lines.size() && (lines[q] == ' ' || lines[q] == '\t')) ++q;
            if (q < lines.size() && lines[q] == '#' && q - p > block_column_) return false;
            const bool blanks_only = q < lines.size() && (lines[q] == '\n' || lines[q] == '\r');
            if (blanks_only && (q - p > block_column_ ||
                                lines.substr(p, q - p).find('\t') != std::string_view::npos))
                return false;
            if (first && pos() == after_keep_ &&
                (q == lines.size() || lines[q] == '\n' || lines[q] == '\r'))
                return false;
            first = false;
            while (q < lines.size() && lines[q] != '\n') ++q;
            p = q + 1;
        }
        return true;
    }
    /// Registers the anchors written with text taken from the source.
    void note_anchor(const OptString& anchor) {
        if (anchor) anchors_.insert(*anchor);
    }
    void note_node_anchor(const YamlNode& n) {
        if (const YamlScalar* s = n.scalar()) note_anchor(s->props->anchor);
        if (const YamlMapping* m = n.mapping()) note_anchor(m->anchor);
        if (const YamlSequence* q = n.sequence()) note_anchor(q->anchor);
    }
    void note_all_anchors(const YamlNode& n) {
        note_node_anchor(n);
        if (const YamlMapping* m = n.mapping()) {
            for (const auto& slot : m->entries) {
                note_anchor(slot.value.key_props->anchor);
                if (slot.value.key_props->node) note_all_anchors(**slot.value.key_props->node);
                note_all_anchors(slot.value.value);
            }
        } else if (const YamlSequence* q = n.sequence()) {
            for (const YamlItem& item : q->items) note_all_anchors(item.node);
        }
    }
    /// Whether text taken from the source for `n` as a whole would hold an
    /// alias whose anchor is neither written before it nor defined earlier
    /// in that text.
    [[nodiscard]] bool has_unwritten_alias(const YamlNode& n) const {
        std::vector<const std::string*> defined;
        return unwritten_alias(n, defined);
    }
    bool unwritten_alias(const YamlNode& n, std::vector<const std::string*>& defined) const {
        const auto known = [&](std::string_view name) {
            if (written(name)) return true;
            for (const std::string* d : defined)
                if (*d == name) return true;
            return false;
        };
        if (const AliasNode* a = n.alias()) return !known(a->name);
        if (const YamlScalar* s = n.scalar()) {
            if (s->props->anchor) defined.push_back(&*s->props->anchor);
            return false;
        }
        const YamlMapping* m = n.mapping();
        const YamlSequence* q = n.sequence();
        if (m == nullptr && q == nullptr) return false;
        const OptString& anchor = m != nullptr ? m->anchor : q->anchor;
        if (anchor) defined.push_back(&*anchor);
        if (m != nullptr) {
            for (const auto& slot : m->entries) {
                if (slot.value.key_props->alias && !known(*slot.value.key_props->alias))
                    return true;
                if (slot.value.key_props->anchor) defined.push_back(&*slot.value.key_props->anchor);
                if (slot.value.key_props->node &&
                    unwritten_alias(**slot.value.key_props->node, defined))
                    return true;
                if (unwritten_alias(slot.value.value, defined)) return true;
            }
        } else {
            for (const YamlItem& item : q->items)
                if (unwritten_alias(item.node, defined)) return true;
        }
        return false;
    }

    // Nodes ------------------------------------------------------------------
    bool emit_node(const YamlNode& node, std::size_t indent);
    bool emit_mapping(const YamlMapping& map, std::size_t indent);
    bool emit_sequence(const YamlSequence& seq, std::size_t indent);
    bool emit_mapping_entries(const YamlMapping& map, std::size_t indent, bool inline_first);
    /// One step of writing a block mapping read with repeated keys: one of
    /// its entries, or the text of an entry that a later one with the same
    /// key replaced (see ShadowedEntries).
    struct ShadowStep {
        std::uint32_t piece = ShadowedEntries::kNone;  // a replaced entry, as read
        std::uint32_t entry = ShadowedEntries::kNone;  // the entry (with `piece`: of its key)
        bool opens = false;                            // the first replaced one, at its key's place
    };
    /// The order to write such a mapping in: the entries in their order,
    /// but where an entry that stands is still the one read where it was
    /// read, the first entry it replaced in its place, and the others and
    /// itself after the entries they followed in the text (so that the text
    /// loads to the same data: the first of a key gives its place, the last
    /// its value).
    static std::vector<ShadowStep> shadow_plan(const YamlMapping& map, const ShadowedEntries& sh);
    bool emit_shadowed_entries(const YamlMapping& map, const ShadowedEntries& sh, const Block& b,
                               std::size_t indent, bool inline_first);
    /// The entry a block mapping's text ends with.
    static const YamlEntry& last_written(const YamlMapping& map);
    bool emit_sequence_items(const YamlSequence& seq, std::size_t indent, bool inline_first);
    /// Blank lines, comment lines and indentation before an entry or item.
    template <class EntryOrItem>
    void entry_lead(const EntryOrItem& e, std::size_t indent) {
        blank_lines(e.blank_lines_before);
        emit_comment_before(opt(e.comments->before), indent);
        spaces(indent);
    }
    /// The lead of an entry or item: as read while its comments and blank
    /// lines are unchanged, else the designed one. `inline_pos`: the first
    /// of a collection that starts on its parent's line.
    /// Blank and comment lines moved `shift` columns (they stay where they
    /// were when one would cross the left edge: "" then).
    static std::string shifted_lines(std::string_view lines, std::ptrdiff_t shift,
                                     bool before_key = false) {
        std::string out;
        out.reserve(lines.size() + 8);
        std::size_t p = 0;
        while (p < lines.size()) {
            std::size_t e = lines.find('\n', p);
            e = e == std::string_view::npos ? lines.size() : e + 1;
            const std::string_view line = lines.substr(p, e - p);
            const std::size_t n = std::min(line.find_first_not_of(' '), line.size());
            // (The last line of a lead is the indentation of its key.)
            const bool blank =
                line.back() == '\n' && (n == line.size() || line[n] == '\n' || line[n] == '\r');
            if (blank) {
                out.append(line);
            } else {
                const std::ptrdiff_t to = static_cast<std::ptrdiff_t>(n) + shift;
                if (to < 0) return {};
                out.append(static_cast<std::size_t>(to), ' ');
                out.append(line.substr(n));
            }
            p = e;
        }
        // A key read at the left edge has no indentation line of its own.
        if (before_key && (lines.empty() || lines.back() == '\n') && shift > 0)
            out.append(static_cast<std::size_t>(shift), ' ');
        return out;
    }
    template <class EntryOrItem>
    void slot_lead(const Block& b, const EntryOrItem& e, std::size_t indent, bool inline_pos) {
        const SlotLayout& l = e.layout.ref();
        // (A slot moved up from the end of a text without a final line break
        // ended its line without one.)
        if (!inline_pos) line_start();
        const bool as_read = l.blank == e.blank_lines_before;
        // (A first entry on its parent's line has no room for blank lines.)
        const bool ok = recorded(b, l) && !b.layout->flag(CollectionLayout::kIndentStale) &&
                        l.fresh(SlotLayout::kLead) &&
                        l.flag(SlotLayout::kInlineFirst) == inline_pos &&
                        (inline_pos ? as_read : at_line_start()) &&
                        reuse::lead_matches(b.layout->source, l, e.comments->before);
        if (ok && lead_as_read(b, l, e.blank_lines_before)) return;
        if (inline_pos) {
            // The first entry shares the dash's line unless a comment must
            // come first. Blank lines have no place here.
            if (e.comments->before && !e.comments->before->empty()) {
                put('\n');
                emit_comment_before(opt(e.comments->before), indent);
                spaces(indent);
            }
        } else {
            line_start();
            entry_lead(e, indent);
        }
    }
    /// Writes the lead of a slot as read, with `blank_lines` blank lines,
    /// when it fits where the output stands.
    bool lead_as_read(const Block& b, const SlotLayout& l, std::size_t blank_lines) {
        const bool as_read = l.blank == blank_lines;
        std::string_view lead = piece(b, l, SlotLayout::kLead);
        // Only the count of blank lines changed: the lead as read with
        // blank lines added before it or dropped from it.
        std::string counted;
        if (!as_read) {
            counted = with_blank_lines(lead, l.blank, blank_lines, line_break());
            lead = counted;
        }
        std::string moved;
        if (!b.same_column) {
            // A collection written at another column than it was read at
            // (a part of a document written alone): its lines move along.
            moved = shifted_lines(lead, b.shift, at_line_start());
        }
        if (b.same_column &&
            lines_fit(lead, as_read ? b.layout->source.get() : nullptr, l.at(SlotLayout::kLead))) {
            put_raw(lead);
            return true;
        }
        if (!moved.empty() && lines_fit(moved, nullptr, 0)) {
            put_raw(moved);
            return true;
        }
        return false;
    }
    bool emit_mapping_entry(std::string_view key, const YamlEntry& e, std::size_t indent) {
        entry_lead(e, indent);
        return emit_mapping_key(key, e, indent) && emit_mapping_value(e, e.value, indent) &&
               checkpoint();
    }
    bool emit_sequence_item(const YamlItem& item, std::size_t indent) {
        entry_lead(item, indent);
        put('-');
        return emit_item_body(item, item.node, indent) && checkpoint();
    }
    /// An entry of a block mapping whose value is `v` (its own, or the one
    /// a filler made for it).
    bool emit_entry(const Block& b, std::string_view key, const YamlEntry& e, const YamlNode& v,
                    std::size_t indent, bool inline_pos);
    /// A ',' or closing bracket of a flow collection: after an empty
    /// explicit key ("?") written as read, a blank first, or it would read
    /// as a plain "?".
    void flow_indicator(char c) {
        if (pos() == lone_question_) put(' ');
        put(c);
    }
    /// A piece of a flow collection taken from the source.
    void flow_raw(const SourceRef& src, std::uint32_t begin, std::uint32_t end, bool plain = true) {
        raw(src, begin, end);
        if (plain && end == begin + 1 && src->text[begin] == '?') plain_question_ = pos();
    }
    /// Text from the source after the last piece: a blank right after a
    /// plain "?" needs the "?" quoted.
    void flow_text(std::string_view text) {
        if (pos() == plain_question_ && !text.empty() && (is_blank(text[0]) || is_break(text[0]))) {
            out_.pop_back();
            put("'?'");
        }
        put_raw(text);
    }
    /// An empty key read as its anchor or tag alone ("&a :", "!!str :").
    static bool empty_with_properties(std::string_view key, const YamlEntry& e) {
        return key.empty() && e.key_style == ScalarStyle::Plain &&
               (e.key_props->anchor || e.key_props->tag);
    }
    /// Whether the separator of an entry as read holds its ':' (an
    /// explicit key may have none: its value is empty).
    static bool has_colon(const SourceRef& src, const SlotLayout& l) {
        bool comment = false;
        for (std::uint32_t p = l.at(SlotLayout::kSep); p < l.at(SlotLayout::kValue); ++p) {
            const char c = src->text[p];
            if (c == '\n')
                comment = false;
            else if (c == '#')
                comment = true;
            else if (c == ':' && !comment)
                return true;
        }
        return false;
    }
    bool emit_item(const Block& b, const YamlItem& item, const YamlNode& node, std::size_t indent,
                   bool inline_pos);
    /// A slot recorded with its collection (`key` null for an item) whose
    /// pieces all stand as read, its value a scalar or empty on its line:
    /// its text from the lead to the end of the trail in one piece (a value
    /// that rendering gives back rendered in it), as emit_entry / emit_item
    /// would write it piece by piece. False, with nothing written, for any
    /// other slot.
    template <class EntryOrItem>
    bool slot_as_read(const Block& b, const SlotLayout& l, const std::string_view* key,
                      const EntryOrItem& e, const YamlNode& v, std::size_t indent, bool inline_pos);
    /// After the ':' or '-' (raw or written): the value of an entry or item
    /// from its records; false when they do not fit it.
    bool emit_slot_rest(const Block& b, const SlotLayout& l, const YamlNode& v,
                        const OptString& comment, std::size_t indent, bool entry, const void* slot);
    void emit_trail(const Block& b, const SlotLayout& l, const OptString& comment, bool ok);
    void emit_collection_tail(const Block& b, const CollectionLayout& l,
                              std::uint8_t trailing_blank_lines, std::size_t indent) {
        // (Most collections have nothing after their last entry or item:
        // told inline.)
        if (trailing_blank_lines != 0 || l.tail_end != l.tail_begin)
            write_collection_tail(b, l, trailing_blank_lines, indent);
    }
    void write_collection_tail(const Block& b, const CollectionLayout& l,
                               std::uint8_t trailing_blank_lines, std::size_t indent);
    /// After an empty block collection, written "{}" or "[]" with its line:
    /// the blank and comment lines that followed its entries, at `column`.
    void empty_collection_tail(const YamlNode& v, std::size_t column) {
        const YamlMapping* m = v.mapping();
        const YamlSequence* q = v.sequence();
        if (m != nullptr && m->style == ContainerStyle::Block && m->entries.empty())
            emit_collection_tail(block_of(m->layout, column), m->layout, m->trailing_blank_lines,
                                 column);
        else if (q != nullptr && q->style == ContainerStyle::Block && q->items.empty())
            emit_collection_tail(block_of(q->layout, column), q->layout, q->trailing_blank_lines,
                                 column);
    }
    bool emit_mapping_key(std::string_view key, const YamlEntry& entry, std::size_t indent);
    /// The key of an entry as the writer makes it; true when it is a simple
    /// key (the ':' may follow it directly), false when it is explicit and
    /// ends with a line break and the indentation of the ':'.
    bool emit_key_part(std::string_view key, const YamlEntry& entry, std::size_t indent, bool& ok);
    bool emit_mapping_value(const YamlEntry& entry, const YamlNode& v, std::size_t indent);
    /// `fresh`: an item not read (of a collection not read), whose long
    /// string is folded.
    bool emit_item_body(const YamlItem& item, const YamlNode& n, std::size_t indent,
                        bool fresh = true);
    // (On the hottest path of dumps: kept inline.)
    [[gnu::always_inline]] inline bool put_checked_plain(const YamlNode& v,
                                                         const std::string* comment);
    /// A slot without records of a block collection, with `head` a simple
    /// key written as it stands (then ':') or "-": written as emit_entry /
    /// emit_item write it, `head` with its indentation in one piece, and
    /// with a checked-plain value the whole line. False, with nothing
    /// written, for any other slot; else `ok` is what writing it gave.
    template <class EntryOrItem>
    [[gnu::always_inline]] inline bool designed_slot(const Block& b, std::string_view head,
                                                     const EntryOrItem& e, const YamlNode& v,
                                                     std::size_t indent, bool inline_pos, bool& ok);
    bool emit_tagged_or_inline_first(const YamlNode& node, const std::string* comment,
                                     std::size_t indent);
    /// A block collection starting right where the output stands (after
    /// "- " or "? "): its first entry on this line.
    bool emit_inline_first(const YamlNode& node, std::size_t column);
    void emit_node_inline(const YamlNode& node, Place place);
    void emit_scalar_inline(const YamlScalar& s, Place place);
    void emit_key(std::string_view key, ScalarStyle style, bool flow,
                  PlainChecked checked = PlainChecked{}) {
        if (style == ScalarStyle::Plain && checked.holds(flow)) {
            out_.append(key);
            return;
        }
        append_key(out_, key, style, flow);
    }
    /// `column`: where its content goes (0: one step in from `base`).
    void emit_block_scalar(const std::string* anchor, const std::string* tag, std::string_view text,
                           ScalarStyle style, std::size_t base, const std::string* comment,
                           std::size_t column = 0);
    /// A changed string in `style`, the style it was read in (a block scalar,
    /// or a plain or quoted scalar over several lines), written over the lines
    /// it was read from: those before and after the change as they were read,
    /// the changed text between them folded at about the width of the text
    /// read. A block scalar's header keeps its indicators and comment while
    /// they still hold. False, with nothing written, where the text read
    /// cannot be taken apart that way.
    bool rewrite_lines(const SourceRef& src, const SlotLayout& l, const YamlScalar& s,
                       ScalarStyle style, std::size_t indent, const std::string* comment,
                       bool comment_ok, bool at_end);
    /// `t` (no line feed) in `style` without its quotes, from the column the
    /// output stands at, broken into lines at its single spaces: before a
    /// word that would pass `width` (`strict`), or once a line has passed it
    /// (a text rewritten over lines of about that width, so that a line a
    /// word longer than the others stays one line); a new line starts at
    /// `cont`.
    void put_folded(std::string_view t, ScalarStyle style, std::size_t cont, std::size_t width,
                    bool strict);
    /// A new string value too long for one line, as plain or quoted lines
    /// folded at kWidth with the lines after the first at `cont`. False, with
    /// nothing written, for any other scalar.
    bool put_long_string(const YamlScalar& s, std::size_t cont);
    void emit_sequence_flow(const YamlSequence& seq, bool props = true);
    /// Whether a flow collection's text as read fits where the output stands.
    [[nodiscard]] bool flow_text_fits(const CollectionLayout& l) const;
    void emit_mapping_flow(const YamlMapping& map, bool props = true);
    template <class Slots>
    void emit_flow_body(const CollectionLayout& l, const Slots& slots, bool mapping, bool bare);
    void emit_flow_value(const SourceRef& source, const SlotLayout& l, const YamlNode& v,
                         Place place);

    // Properties and comments ------------------------------------------------
    /// "&name", remembered: an alias may only follow its anchor.
    void put_anchor(const std::string& name) {
        put('&');
        append_anchor_name(out_, name);
        anchors_.insert(name);
    }
    [[nodiscard]] bool written(const std::string& name) const { return anchors_.contains(name); }
    [[nodiscard]] bool written(std::string_view name) const {
        return anchors_.contains(std::string(name));
    }
    // An alias whose anchor is not written before it (the anchored node was
    // removed, replaced by a later duplicate key, or moved behind the alias
    // by an edit or a sort) would give text no reader accepts. It is written
    // as the node it stands for instead (inline, so a block collection
    // takes flow form), carrying the anchor's name, so that the text loads
    // to the same data and later aliases of the name resolve.
    static YamlNode node_instead_of_alias(const AliasNode& alias);
    static void anchor_instead_of_alias(YamlEntry& entry) {
        // The key text is the aliased scalar's already.
        KeyProps& k = entry.key_props.mut();
        k.anchor = std::move(k.alias);
        k.alias = std::nullopt;
    }
    // (The checks for nothing to write are inline: most nodes have no
    // properties and most slots no comments.)
    void write_anchor_tag_inline(const std::string* anchor, const std::string* tag) {
        if (anchor != nullptr || tag != nullptr) write_properties_inline(anchor, tag);
    }
    void write_properties_inline(const std::string* anchor, const std::string* tag);
    void write_anchor_tag_block_suffix(const std::string* anchor, const std::string* tag) {
        if (anchor != nullptr || tag != nullptr) write_block_suffix(anchor, tag);
    }
    void write_block_suffix(const std::string* anchor, const std::string* tag);
    void emit_comment_before(const std::string* text, std::size_t indent) {
        if (text != nullptr) emit_comment_lines(*text, indent);
    }
    void emit_comment_lines(std::string_view text, std::size_t indent);
    void push_inline_comment(const std::string* text) {
        if (text != nullptr) push_comment(*text);
    }
    void push_comment(const std::string& text);
    void write_comment_text(std::string_view text);
    /// Turns the simple key written from `start` on into an explicit one
    /// when it is too long for readers to take as a simple key.
    bool make_explicit_if_long(std::size_t start);

    /// Block scalars are written as such only for strings they can carry;
    /// everything else takes its one-line form.
    static bool block_form(const YamlScalar& s) {
        return is_block_style(s.style) && s.value.is_str() && block_can_hold(s.value.as_str());
    }
    /// Columns an inline-first collection moves in from its dash: the step,
    /// but at least the two of "- ".
    [[nodiscard]] std::size_t dash_width() const noexcept {
        if (doc_ != nullptr && !doc_reset_ && doc_->dash_step >= 2)
            return static_cast<std::size_t>(doc_->dash_step);
        return std::max<std::size_t>(step_, 2);
    }

    std::string& out_;
    Sink* sink_;
    std::size_t step_;
    const DocMetadata& meta_;
    const DocLayout* doc_;  // the document's records, if it was read
    bool crlf_;             // lines the writer makes end with CR LF
    /// Whether the document ends with its last slot: no "..." and no
    /// blank lines after it (they would give a value that ended the text
    /// without a line break one).
    [[nodiscard]] bool nothing_after_last_slot() const {
        if (meta_.explicit_end || root_ == nullptr) return false;
        const YamlNode* n = root_;
        for (;;) {
            if (const YamlMapping* m = n->mapping()) {
                if (m->style != ContainerStyle::Block || m->trailing_blank_lines != 0 ||
                    m->entries.empty())
                    return m->trailing_blank_lines == 0;
                n = &last_written(*m).value;
            } else if (const YamlSequence* q = n->sequence()) {
                if (q->style != ContainerStyle::Block || q->trailing_blank_lines != 0 ||
                    q->items.empty())
                    return q->trailing_blank_lines == 0;
                n = &q->items.back().node;
            } else {
                return true;
            }
        }
    }
    const YamlNode* root_ = nullptr;
    /// Block collections whose entries or items are being written: the
    /// root is the one written at depth 0 (a copy of it nested inside
    /// shares its record, so the address alone does not tell).
    std::size_t block_depth_ = 0;
    /// Whether every block collection being written is at its last slot and
    /// followed by no blank lines: only there can the last slot of the
    /// output stand (a record shared by two places is met twice, the first
    /// time not last; a filler's collections are not under root_).
    bool on_last_chain_ = true;
    const void* last_slot_ = nullptr;  // the last entry or item of the output
    RootFiller* filler_ = nullptr;
    bool last_pending_ = false;  // last_slot_ waits for the filler's last slot
    /// The last entry or item at or under `slot` (null: the root), whose
    /// value is `node`.
    void find_last_slot(const void* slot, const YamlNode& node);
    /// Has the filler complete slot `index` of `count` of the root or of a
    /// collection it entered (`slot`: what to write), when `ask` (not for a
    /// slot that stands as it is); false to stop.
    template <class Slot>
    bool fill_slot(const void* collection, std::size_t index, std::size_t count, bool root,
                   bool ask, const Slot*& slot, const YamlNode*& value, bool& skip);
    /// The block collections on the way to last_slot_ (with a filler).
    std::vector<const void*> last_chain_;
    /// Restores on_last_chain_ when a collection's slots are written.
    class ChainScope {
      public:
        explicit ChainScope(bool& on) noexcept : on_(on), was_(on) {}
        ChainScope(const ChainScope&) = delete;
        ChainScope& operator=(const ChainScope&) = delete;
        ~ChainScope() { on_ = was_; }
        /// At slot `i` of `n`; `closed`: no blank lines follow the collection.
        void at(std::size_t i, std::size_t n, bool closed) noexcept {
            on_ = was_ && closed && i + 1 == n;
        }

      private:
        bool& on_;
        bool was_;
    };
    /// One more block collection open while it lives.
    class DepthScope {
      public:
        explicit DepthScope(std::size_t& depth) noexcept : depth_(depth) { ++depth_; }
        DepthScope(const DepthScope&) = delete;
        DepthScope& operator=(const DepthScope&) = delete;
        ~DepthScope() { --depth_; }

      private:
        std::size_t& depth_;
    };
    /// Whether the slots of `collection` come from the filler; a nested one
    /// is left again when the guard ends, on every path.
    class FillScope {
      public:
        FillScope(RootFiller* filler, bool root, const void* collection)
            : filled_(filler != nullptr && (root || filler->enter(collection))),
              nested_(filled_ && !root ? filler : nullptr) {}
        FillScope(const FillScope&) = delete;
        FillScope& operator=(const FillScope&) = delete;
        ~FillScope() {
            if (nested_ != nullptr) nested_->leave();
        }
        [[nodiscard]] bool filled() const noexcept { return filled_; }

      private:
        bool filled_;
        RootFiller* nested_;
    };
    bool doc_reset_ = false;  // the root's indentation was reset: no steps to follow
    std::size_t raw_end_ = static_cast<std::size_t>(-1);  // where text from the source last ended
    std::size_t flushed_ = 0;
    std::size_t after_keep_ = static_cast<std::size_t>(-1);
    // Where an explicit key written as read without its ':' (an empty
    // value) ends, with its line.
    std::size_t open_key_ = static_cast<std::size_t>(-1);
    std::size_t open_key_indent_ = 0;  // and the indentation of its mapping
    // Where an empty explicit key ("?") written as read ends.
    std::size_t lone_question_ = static_cast<std::size_t>(-1);
    /// Where a plain "?" taken from the source ends (flow): it was read
    /// right before a ',', ':' or bracket, and a blank after it would make
    /// it an indicator.
    std::size_t plain_question_ = static_cast<std::size_t>(-1);
    // Where the last block scalar ended, and the column of its entry or
    // item: lines indented deeper right after it would be read as its text.
    std::size_t after_block_ = static_cast<std::size_t>(-1);
    std::size_t block_column_ = 0;
    const SourceText* block_src_ = nullptr;  // a block scalar written as read: its text
    std::uint32_t block_end_ = 0;            // and where it ended there
    std::size_t line_pos_ = static_cast<std::size_t>(-1);
    bool failed_ = false;
    bool head_raw_ = false;
    std::size_t marker_end_ = static_cast<std::size_t>(-1);  // where the document's "---\n" ends
    std::unordered_set<std::string> anchors_;                // written so far in this document
};

}  // namespace tesvorn::detail
