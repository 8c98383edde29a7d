#include "core/emitter.hpp"

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

#include "core/render.hpp"
#include "core/scalar_lines.hpp"

namespace tesvorn {
namespace detail {

using namespace rendering;

namespace {

// A block-context implicit key must reach its ':' within 1024 characters of
// its start, or readers give up on it; longer keys are written after "? ".
constexpr std::size_t kMaxSimpleKey = 1000;

// New strings longer than this are folded over lines.
constexpr std::size_t kWidth = 80;

// Text reaches a fallible sink in fragments of about this size.
constexpr std::size_t kChunk = std::size_t{1} << 16;

/// The column a block scalar read as `text` (its header first) put its
/// content at, its entry or item standing at `indent`; 0 where it shows
/// none. A changed one goes there too.
std::size_t block_content_column(std::string_view text, std::size_t indent) noexcept {
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

// ---------------------------------------------------------------------------
// The emitter

/// Where an inline node goes: plain scalars are stricter inside flow
/// collections, and an empty plain scalar cannot stand alone as a flow
/// sequence item.
enum class Place : std::uint8_t { Block, FlowValue, FlowItem };

const std::string* opt(const OptString& s) noexcept {
    return s.get();
}

}  // namespace

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
    /// Whether a slot's records were read with its collection's: from the
    /// same text, at the column of its keys or dashes (a slot taken from
    /// another collection of that text does not fit its lines).
    static bool recorded(const Block& b, const SlotLayout& l) noexcept {
        if (b.layout == nullptr || !l.has() || l.source != b.layout->source->id) return false;
        return key_column(*b.layout->source, l.at(SlotLayout::kKey)) == b.layout->column;
    }
    /// The column of offset `at` as the reader counts it: characters from
    /// the line start, a byte order mark at the start of the stream none.
    static std::size_t key_column(const SourceText& src, std::uint32_t at) noexcept {
        const std::string_view text =
            src.text.substr(0, std::min<std::size_t>(at, src.text.size()));
        const std::size_t nl = text.find_last_of("\r\n");
        const std::size_t begin = nl == std::string_view::npos ? 0 : nl + 1;
        std::size_t col = 0;
        for (std::size_t i = begin; i < text.size(); ++i)
            if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++col;
        if (begin == 0 && src.base == 0 && text.substr(0, 3) == "\xEF\xBB\xBF") --col;
        return col;
    }
    /// The text of piece `p` of a slot recorded with its collection.
    static std::string_view piece(const SourceRef& src, const SlotLayout& l, SlotLayout::Piece p) {
        const std::uint32_t begin = l.at(p);
        return src->text.substr(begin, l.at(static_cast<SlotLayout::Piece>(p + 1)) - begin);
    }
    static std::string_view piece(const Block& b, const SlotLayout& l, SlotLayout::Piece p) {
        return piece(b.layout->source, l, p);
    }
    /// Whether the key read is still the entry's key (text, style,
    /// properties).
    static bool key_matches(const SourceRef& src, const SlotLayout& l, std::string_view key,
                            const YamlEntry& e) {
        if (l.check(SlotLayout::kPlainKey))
            return e.key_style == ScalarStyle::Plain && !e.key_props->anchor && !e.key_props->tag &&
                   !e.key_props->alias && !e.key_props->node &&
                   piece(src, l, SlotLayout::kKey) == key;
        return l.fp_key == fingerprint_key(key, e);
    }
    /// Whether the value read is still the value (as far as its own text
    /// goes: see fingerprint_value).
    static bool value_matches(const SourceRef& src, const SlotLayout& l, const YamlNode& v) {
        // (A value that rendering gives back is rendered, changed or not.)
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
    /// Whether the inline comment read (where it stood) is still the one.
    static bool comment_matches(const SourceRef& src, const SlotLayout& l,
                                const OptString& comment) {
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
        return piece_comment_is(piece(src, l, p), opt(comment));
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
        const bool ok =
            recorded(b, l) && !b.layout->flag(CollectionLayout::kIndentStale) &&
            l.fresh(SlotLayout::kLead) && l.flag(SlotLayout::kInlineFirst) == inline_pos &&
            (inline_pos ? as_read : at_line_start()) &&
            (l.check(SlotLayout::kLeadComment)
                 ? lead_comments_are(piece(b, l, SlotLayout::kLead), opt(e.comments->before))
                 : !e.comments->before);
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
    if (l.check(SlotLayout::kLeadComment) ? !lead_comments_are(lead, opt(e.comments->before))
                                          : e.comments->before.has_value())
        return false;
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

void Emitter::emit_node_inline(const YamlNode& node, Place place) {
    switch (node.kind()) {
        case YamlNode::Mapping:
            emit_mapping_flow(*node.mapping());
            break;
        case YamlNode::Sequence:
            emit_sequence_flow(*node.sequence());
            break;
        case YamlNode::Scalar:
            emit_scalar_inline(*node.scalar(), place);
            break;
        case YamlNode::Null:
            put("null");
            break;
        case YamlNode::Alias:
            if (written(node.alias()->name)) {
                put('*');
                append_anchor_name(out_, node.alias()->name);
            } else {
                emit_node_inline(node_instead_of_alias(*node.alias()), place);
            }
            break;
    }
}

YamlNode Emitter::node_instead_of_alias(const AliasNode& alias) {
    const YamlNode* target = alias.target.get();
    while (const AliasNode* inner = target->alias()) target = inner->target.get();
    YamlNode node = target->kind() == YamlNode::Null ? YamlNode(YamlScalar{}) : *target;
    if (YamlMapping* m = node.mapping())
        m->anchor = alias.name.str();
    else if (YamlSequence* q = node.sequence())
        q->anchor = alias.name.str();
    else
        node.scalar()->props.mut().anchor = alias.name.str();
    return node;
}

void Emitter::emit_scalar_inline(const YamlScalar& s, Place place) {
    write_anchor_tag_inline(opt(s.props->anchor), opt(s.props->tag));
    const bool flow = place != Place::Block;
    if (s.props->original) {
        // The source text is kept where it still reads back in this place.
        const std::string& o = *s.props->original;
        const bool fits = o.empty() ? place != Place::FlowItem || s.props->anchor || s.props->tag
                                    : plain_syntax_ok(o, flow, scan_text(o));
        if (fits) {
            // Properties of an empty scalar end the line: no trailing blank.
            if (o.empty() && (s.props->anchor || s.props->tag) && !out_.empty() &&
                out_.back() == ' ')
                out_.pop_back();
            put(o);
            return;
        }
    }
    if (s.style == ScalarStyle::Plain && s.plain_checked.holds(flow) && s.value.is_str()) {
        put(s.value.as_str());
        return;
    }
    append_value(out_, s.value, s.style, flow);
}

void Emitter::emit_block_scalar(const std::string* anchor, const std::string* tag,
                                std::string_view text, ScalarStyle style, std::size_t base,
                                const std::string* comment, std::size_t want) {
    write_anchor_tag_inline(anchor, tag);
    put(style == ScalarStyle::Literal ? '|' : '>');

    // Content lines: the pieces between line feeds, without the empty piece
    // after a final one.
    std::size_t trailing = 0;
    while (trailing < text.size() && text[text.size() - 1 - trailing] == '\n') ++trailing;
    const std::string_view body = trailing != 0 ? text.substr(0, text.size() - 1) : text;

    std::size_t column = want > base ? want : base + step_;
    const std::size_t first = text.find_first_not_of('\n');
    if (first != std::string_view::npos && text[first] == ' ') {
        // The indentation indicator counts from the parent's indentation;
        // it has one digit, so a wider step moves the content in by 9.
        std::size_t digit = column - base;
        if (digit > 9) {
            digit = std::min<std::size_t>(step_, 9);
            column = base + digit;
        }
        put(static_cast<char>('0' + digit));
    }
    if (trailing == 0) {
        put('-');
    } else if (trailing >= 2) {
        put('+');
    }
    push_inline_comment(comment);
    put('\n');

    if (text.empty()) {
        // Even with no lines, deeper lines after the header would be its text.
        after_block_ = pos();
        block_column_ = base;
        block_src_ = nullptr;
        return;
    }
    const bool folded = style == ScalarStyle::Folded;
    for (std::size_t pos_in = 0;;) {
        std::size_t nl = body.find('\n', pos_in);
        if (nl == std::string_view::npos) nl = body.size();
        const std::string_view line = body.substr(pos_in, nl - pos_in);
        if (line.empty()) {
            put('\n');
        } else {
            spaces(column);
            put(line);
            put('\n');
            if (folded && !is_blank(line[0])) {
                // A line break between two lines that do not start with a
                // blank is read as a space unless an empty line follows.
                const std::size_t next = body.find_first_not_of('\n', nl);
                if (next != std::string_view::npos && !is_blank(body[next])) put('\n');
            }
        }
        if (nl == body.size()) break;
        pos_in = nl + 1;
    }
    if (trailing >= 2) after_keep_ = pos();
    after_block_ = pos();
    block_column_ = base;
    block_src_ = nullptr;
}

void Emitter::put_folded(std::string_view t, ScalarStyle style, std::size_t cont, std::size_t width,
                         bool strict) {
    std::size_t col = column();
    std::string chunk;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= t.size(); ++i) {
        if (i < t.size() && !breaks_at(t, i, style)) continue;
        const std::string_view word = t.substr(start, i - start);
        chunk.clear();
        if (style == ScalarStyle::Double) {
            append_double_escaped(chunk, word);
        } else if (style == ScalarStyle::Single) {
            append_single_quoted(chunk, word);
            chunk = chunk.substr(1, chunk.size() - 2);
        } else {
            chunk = word;
        }
        const std::size_t w = text_columns(chunk);
        if (start != 0) {
            if (strict ? col + 1 + w > width : col > width) {
                put('\n');
                spaces(cont);
                col = cont;
            } else {
                out_ += ' ';
                ++col;
            }
        }
        out_ += chunk;
        col += w;
        start = i + 1;
    }
}

bool Emitter::put_long_string(const YamlScalar& s, std::size_t cont) {
    // (A block style that cannot carry the string gives it one line too.)
    if (!s.value.is_str() || s.props->anchor || s.props->tag || s.props->original) return false;
    const std::string_view t = s.value.as_str();
    // (Bytes are at least columns: most strings are told apart here.)
    if (t.size() + column() <= kWidth || t.find(' ') == std::string_view::npos) return false;
    const ScalarStyle style = quoting_of(t, s.style, false);
    if (style != ScalarStyle::Double && scan_text(t).needs_double()) return false;
    if (style == ScalarStyle::Plain) {
        put_folded(t, style, cont, kWidth, true);
        return true;
    }
    const char quote = style == ScalarStyle::Single ? '\'' : '"';
    out_ += quote;
    put_folded(t, style, cont, kWidth, true);
    out_ += quote;
    return true;
}

bool Emitter::rewrite_lines(const SourceRef& src, const SlotLayout& l, const YamlScalar& s,
                            ScalarStyle style, std::size_t indent, const std::string* comment,
                            bool comment_ok, bool at_end) {
    if (!s.value.is_str() || s.props->anchor || s.props->tag || s.props->original) return false;
    const std::string_view piece = Emitter::piece(src, l, SlotLayout::kValue);
    if (piece.empty()) return false;
    const char lead = piece[0];
    const ScalarStyle read = lead == '|'    ? ScalarStyle::Literal
                             : lead == '>'  ? ScalarStyle::Folded
                             : lead == '\'' ? ScalarStyle::Single
                             : lead == '"'  ? ScalarStyle::Double
                                            : ScalarStyle::Plain;
    if (read != style) return false;
    // The column the scalar starts at in the text read.
    const std::string_view text = src->text;
    const std::uint32_t at = l.at(SlotLayout::kValue);
    std::size_t line_start = at;
    while (line_start > 0 && !is_break(text[line_start - 1])) --line_start;
    ScalarLines r;
    if (!read_scalar_lines(piece, text_columns(text.substr(line_start, at - line_start)), indent,
                           r))
        return false;
    // What the lines read as must be what was read: the reading above is
    // checked against the record, never trusted.
    {
        YamlScalar was;
        was.value = ScalarValue::of_str(r.value);
        was.style = r.style;
        if (fingerprint_value(YamlNode(std::move(was))) != l.fp_value) return false;
    }
    const bool block = is_block_style(style);
    const std::string_view now = s.value.as_str();
    std::size_t body_len = now.size();
    if (block) {
        if (!block_can_hold(now)) return false;
        while (body_len > 0 && now[body_len - 1] == '\n') --body_len;
    }
    const std::string_view old_body = std::string_view(r.value).substr(0, r.body_len);
    const std::string_view new_body = now.substr(0, body_len);
    const auto& lines = r.lines;
    const std::size_t n = lines.size();

    // A block scalar's header and what follows its last line: as read while
    // the value ends in as many line feeds as it did and that still reads
    // so (one that ended the text without a line break does only there).
    const bool ended = is_break(piece.back());
    const std::size_t trailing_was = r.value.size() - r.body_len;
    const std::size_t trailing = now.size() - body_len;
    const bool tail_ok = !block || (trailing == trailing_was && (ended || at_end));
    const auto put_header = [&] {
        if (tail_ok && comment_ok) {
            put_raw(piece.substr(0, r.header_end));
            return;
        }
        std::size_t i = 1;
        char digit = 0, chomp = 0;
        for (int k = 0; k < 2 && i < r.header_end; ++k, ++i) {
            const char c = piece[i];
            if (c >= '1' && c <= '9' && digit == 0) {
                digit = c;
            } else if ((c == '+' || c == '-') && chomp == 0) {
                chomp = c;
            } else {
                break;
            }
        }
        put(lead);
        if (digit != 0) put(digit);
        if (!tail_ok) chomp = trailing == 0 ? '-' : trailing >= 2 ? '+' : 0;
        if (chomp != 0) put(chomp);
        if (comment_ok) {
            put_raw(piece.substr(i, r.header_end - i));
        } else {
            push_inline_comment(comment);
        }
    };
    const auto put_tail = [&](std::size_t from) {
        if (tail_ok) {
            put_raw(piece.substr(from));
            return;
        }
        put_raw(piece.substr(from, lines[n - 1].src_end - from));
        if (trailing >= 2) {
            for (std::size_t i = 0; i < trailing; ++i) put('\n');
        } else if (ended) {
            // The line break and the empty lines after it, which are no text
            // of a scalar that is not kept.
            put_raw(piece.substr(lines[n - 1].src_end));
        } else {
            put('\n');
        }
    };
    const auto finish = [&] {
        if (!block) return;
        after_block_ = pos();
        block_column_ = indent;
        block_src_ = tail_ok ? src.get() : nullptr;
        block_end_ = l.at(SlotLayout::kTrail);
        if (tail_ok ? piece.substr(0, r.header_end).find('+') != std::string_view::npos
                    : trailing >= 2)
            after_keep_ = pos();
    };
    if (old_body == new_body) {
        // The text is the same (its comment or its final line feeds are not).
        put_header();
        put_tail(r.header_end);
        finish();
        return true;
    }

    std::size_t same_start = 0;
    while (same_start < old_body.size() && same_start < new_body.size() &&
           old_body[same_start] == new_body[same_start])
        ++same_start;
    // (The two may overlap: what is kept of each is checked on its own.)
    const std::size_t same_max = std::min(old_body.size(), new_body.size());
    std::size_t same_end = 0;
    while (same_end < same_max &&
           old_body[old_body.size() - 1 - same_end] == new_body[new_body.size() - 1 - same_end])
        ++same_end;

    // The first line rewritten: the last one whose text starts where the
    // text is still the same, and whose new text starts the way that line
    // did (a blank there would start a more-indented line or be dropped).
    const auto starts_ok = [&](std::size_t k) {
        const std::size_t b = lines[k].val_begin;
        if (b > same_start || b >= new_body.size()) return false;
        // The line starts as it did.
        if (b < same_start) return true;
        const char c = new_body[b];
        if (c == '\n') return false;
        switch (style) {
            case ScalarStyle::Literal:
                return k > 0 || r.indicator || !is_blank(c);
            case ScalarStyle::Folded:
                return is_blank(c) == lines[k].more && (k > 0 || r.indicator || !is_blank(c));
            case ScalarStyle::Plain:
                return k == 0 || plain_line_start(c);
            default:
                return k == 0 || !is_blank(c);
        }
    };
    std::size_t k = n;
    for (std::size_t i = n; i-- > 0;) {
        if (starts_ok(i)) {
            k = i;
            break;
        }
    }
    if (k == n) return false;
    // The first line kept after the change: the first whose text from the
    // line breaks before it to the end is still the same (line k itself
    // when the change only adds text before it, with line breaks).
    const std::size_t m_begin = lines[k].val_begin;
    std::size_t j = n, m_end = new_body.size();
    for (std::size_t i = std::max<std::size_t>(k, 1); i < n; ++i) {
        const std::size_t keep = old_body.size() - lines[i - 1].val_end;
        if (keep > same_end || new_body.size() - keep <= m_begin) continue;
        const std::size_t e = new_body.size() - keep;
        const char c = new_body[e - 1];
        if (is_blank(c) || c == '\n') continue;
        if (style == ScalarStyle::Folded) {
            // The line breaks before the line kept fold as they did.
            const std::size_t nl = new_body.rfind('\n', e - 1);
            const std::size_t line =
                nl == std::string_view::npos || nl < m_begin ? m_begin : nl + 1;
            if (is_blank(new_body[line]) != lines[i - 1].more) continue;
        }
        j = i;
        m_end = e;
        break;
    }
    const std::string_view m = new_body.substr(m_begin, m_end - m_begin);
    if (m.empty() || m.back() == '\n') return false;
    if (style == ScalarStyle::Plain || style == ScalarStyle::Single) {
        if (m.find('\n') != std::string_view::npos || scan_text(m).needs_double()) return false;
        if (style == ScalarStyle::Plain) {
            std::string flat(now);
            std::replace(flat.begin(), flat.end(), '\n', ' ');
            if (!plain_value_ok(flat, false, scan_text(flat)) || is_decimal_integer(flat))
                return false;
        }
    }

    // Lines after the first go where the lines read went, as wide as they
    // were (lines of a few words each are no width to follow).
    const std::size_t width = std::max(r.width, kWidth / 2);
    std::size_t cont = r.column;
    if (!block) {
        const std::size_t line = std::max<std::size_t>(k, 1);
        if (line >= n) return false;
        std::size_t b = lines[line].src_begin;
        while (b > 0 && !is_break(piece[b - 1])) --b;
        cont = lines[line].src_begin - b;
    }
    if (block) {
        put_header();
        put_raw(piece.substr(r.header_end, lines[k].src_begin - r.header_end));
    } else {
        put_raw(piece.substr(0, lines[k].src_begin));
    }
    if (style == ScalarStyle::Literal || style == ScalarStyle::Folded) {
        // Its lines, an empty line for each line feed between two lines that
        // fold (folded), a line for each line feed (literal).
        std::size_t p = 0;
        bool first = true, was_more = false;
        while (p < m.size()) {
            std::size_t e = m.find('\n', p);
            if (e == std::string_view::npos) e = m.size();
            const std::string_view line = m.substr(p, e - p);
            const bool more = is_blank(line[0]);
            if (!first) {
                // `p` follows a run of line feeds.
                std::size_t feeds = 0;
                while (p - feeds > 0 && m[p - feeds - 1] == '\n') ++feeds;
                const std::size_t breaks =
                    style == ScalarStyle::Folded && !more && !was_more ? feeds + 1 : feeds;
                for (std::size_t i = 0; i < breaks; ++i) put('\n');
                spaces(cont);
            }
            if (style == ScalarStyle::Folded && !more) {
                put_folded(line, style, cont, width, false);
            } else {
                put(line);
            }
            first = false;
            was_more = more;
            p = e;
            while (p < m.size() && m[p] == '\n') ++p;
        }
    } else {
        put_folded(m, style, cont, width, false);
    }
    if (j < n) {
        if (block) {
            put_raw(
                piece.substr(lines[j - 1].src_end, lines[n - 1].src_end - lines[j - 1].src_end));
            put_tail(lines[n - 1].src_end);
        } else {
            put_raw(piece.substr(lines[j - 1].src_end));
        }
    } else if (block) {
        put_tail(lines[n - 1].src_end);
    } else {
        put_raw(piece.substr(lines[n - 1].src_end));
    }
    finish();
    return true;
}

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
    return column() == key_column(*l.source, l.open);
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
