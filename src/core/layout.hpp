// Layout memory: what the source looked like around each value, kept beside
// the normalised metadata of the document model so that the writer can give
// untouched text back byte for byte.
//
// A record holds offsets into one shared copy of the source text and a
// fingerprint of the normalised data it was derived from (comment texts,
// blank-line counts, the value, its style and properties). The writer uses a
// piece of source text only while the fingerprint of the current data still
// matches; as soon as an edit changed that data it renders the piece the
// designed way, so an edit changes exactly its own lines.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/lines.hpp"

namespace tesvorn {

/// What a block mapping read with a repeated key keeps of the entries that
/// a later one with the same key replaced (loading keeps the last entry,
/// at the first one's place). The writer gives their text back while the
/// entry that stands is the one read: the first replaced entry at that
/// entry's place, the others and the entry itself where they stood, so
/// that the text loads to the same data; an edit of the entry drops them.
struct ShadowedEntries {
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    /// One entry of the mapping as read, in the order of the text.
    struct Piece {
        std::uint32_t begin = 0;      // a replaced entry's text: from its lead
        std::uint32_t end = 0;        // to the next entry's lead
        std::uint32_t key_at = 0;     // where its key starts (YamlEntry::key_at)
        std::uint32_t group = kNone;  // its key's group, kNone for a key read once
        bool shadow = false;          // replaced by a later entry
        bool inline_first = false;    // first of a mapping on its parent's "-" line
        bool block_end = false;       // its text ends with a block scalar...
        bool keep_end = false;        // ...that keeps its final line breaks
    };
    /// A key read more than once, as its entry that stands was read.
    struct Group {
        std::string key;
        std::uint32_t key_at = kNone;
        std::uint64_t fp_key = 0;
        std::uint64_t fp_value = 0;
        std::uint32_t value_start = kNone;  // a collection value's CollectionLayout::start
        std::uint32_t first = 0;            // its first piece
    };
    std::vector<Piece> pieces;
    std::vector<Group> groups;
};

/// The text documents were read from (UTF-8). Layout offsets count bytes
/// from the start of `text`, which lies `base` bytes into the stream. The
/// bytes are `owned`, or kept alive by `keeper` (the caller's own copy of
/// the text, shared instead of copied).
struct SourceText {
    std::string_view text;
    std::string owned;
    std::shared_ptr<const void> keeper;
    std::size_t base = 0;
    /// Tells the records of one read from those of another.
    std::uint64_t id = next_id();
    /// Lines and columns of offsets into `text`, for positions asked of
    /// loaded nodes; built on first use. Its origin says where `text`
    /// starts in the stream.
    LineIndex lines;

    SourceText() = default;
    SourceText(const SourceText&) = delete;
    SourceText& operator=(const SourceText&) = delete;

    /// Appends to the owned text (a stream read in chunks).
    void append(std::string_view more) {
        owned.append(more);
        text = owned;
    }

    static std::uint64_t next_id() noexcept;

    /// Keeps `record` as long as the text, for the layouts that point at it
    /// (see CollectionLayout::shadowed). Only the builder reading this text
    /// adds records; a record never changes once kept.
    const ShadowedEntries* keep(ShadowedEntries record) const {
        shadowed_.push_back(std::make_unique<const ShadowedEntries>(std::move(record)));
        return shadowed_.back().get();
    }

  private:
    mutable std::vector<std::unique_ptr<const ShadowedEntries>> shadowed_;
};
using SourceRef = std::shared_ptr<const SourceText>;

/// A 64-bit fingerprint of normalised data (not cryptographic: it only has
/// to tell an edited value from the one that was read).
class Fingerprint {
  public:
    Fingerprint& add(std::string_view s) noexcept;
    Fingerprint& add(std::uint64_t v) noexcept;
    /// An optional string: absent and empty differ.
    Fingerprint& add_opt(const std::string* s) noexcept {
        return s != nullptr ? add(1).add(*s) : add(0);
    }
    [[nodiscard]] std::uint64_t value() const noexcept { return h_; }

  private:
    std::uint64_t h_ = 0x9E3779B97F4A7C15ull;
};

/// Offsets of the pieces one entry or item was read from, in source order:
///   lead   blank and comment lines and the indentation before it (block),
///          or what follows the opening bracket or the previous ',' (flow)
///   key    the key with its properties ("?" included), or the "-" of a
///          block item (empty for flow items)
///   sep    from the key to the value: ":" and blanks; for a block
///          collection value also its properties and the rest of the line
///   value  the value's text (a scalar or alias with its properties, a flow
///          collection from its properties to its closing bracket; for a
///          block collection its whole text, which keeps its own records)
///   trail  after the value to the end of its line (block) or up to the
///          next ',' (flow)
/// What a piece was read with is checked against the current data before
/// the piece is used: comments and blank-line counts against the text
/// itself, plain keys and plain strings too; other keys and values through
/// a fingerprint.
struct SlotLayout {
    enum Piece : std::uint8_t { kLead = 0, kKey = 1, kSep = 2, kValue = 3, kTrail = 4, kEnd = 5 };
    /// The shape of the value when read; pieces fit only a value of the
    /// same shape.
    enum Shape : std::uint8_t {
        kInline = 0,       // a scalar, alias, flow or empty collection on the line
        kEmpty = 1,        // nothing at all after the ":" or "-"
        kBlockScalar = 2,  // a literal or folded scalar
        kBlock = 3,        // a block mapping or sequence below or after it
    };
    enum Flag : std::uint8_t {
        kInlineFirst = 1,     // first of a block collection on its parent's "-" line
        kCommentInSep = 2,    // the inline comment stands in `sep` (key line)
        kCommentInValue = 4,  // ... in the value (a block scalar's header)
        kCommentInTrail = 8,  // ... in the trail
        kKeyLines = 16,       // the key spans lines
        kValueLines = 32,     // the value spans lines
        kSimpleKey = 64,      // an implicit key (no "?")
    };
    enum Check : std::uint8_t {
        kLeadComment = 1,    // the lead holds comment lines (Comments::before)
        kPlainKey = 2,       // the key piece is the key's text, plain, no properties
        kPlainValue = 4,     // the value piece is a plain string's text, no properties
        kRenderedValue = 8,  // the value is written as it was read by rendering it (a
                             // number, boolean or null in canonical form)
        kQuotedValue = 16,   // the value piece is a quoted string's text between its
                             // quotes, nothing escaped, no properties
    };

    std::uint32_t begin = kNone;  // where the lead starts
    std::uint16_t len[4] = {};    // lengths of lead, key, sep, trail
    std::uint32_t value_len = 0;
    std::uint8_t shape : 2 = kInline;
    /// Pieces a reset of the formatting dropped (bit 1 << Piece).
    std::uint8_t stale : 5 = 0;
    std::uint8_t flags = 0;
    std::uint8_t checks = 0;
    std::uint8_t blank = 0;      // the blank lines the lead was read with
    std::uint64_t fp_key = 0;    // key text, style, properties, complex key (unless kPlainKey)
    std::uint64_t fp_value = 0;  // scalar value, style, properties; alias name; collection
                                 // style and properties (unless kPlainValue or kQuotedValue)
    /// The id of the SourceText the offsets point into: whole, so that a
    /// slot moved into a collection read from other text never passes for
    /// one of that text, however many texts a process reads.
    std::uint64_t source = 0;

    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

    [[nodiscard]] bool has() const noexcept { return begin != kNone; }
    [[nodiscard]] bool flag(Flag f) const noexcept { return (flags & f) != 0; }
    [[nodiscard]] bool check(Check c) const noexcept { return (checks & c) != 0; }
    [[nodiscard]] Shape shape_read() const noexcept { return static_cast<Shape>(shape); }
    [[nodiscard]] bool fresh(Piece p) const noexcept { return has() && (stale & (1u << p)) == 0; }
    void drop(Piece p) noexcept { stale = static_cast<std::uint8_t>(stale | (1u << p)); }
    /// Where piece `p` starts (kEnd: where the trail ends).
    [[nodiscard]] std::uint32_t at(Piece p) const noexcept {
        std::uint32_t o = begin;
        if (p > kLead) o += len[0];
        if (p > kKey) o += len[1];
        if (p > kSep) o += len[2];
        if (p > kValue) o += value_len;
        if (p > kTrail) o += len[3];
        return o;
    }
    /// Sets the offsets; false (and no record) when a piece does not fit
    /// the lengths recorded.
    bool set(const std::uint32_t (&at)[6]) noexcept {
        for (int i = 0; i < 5; ++i)
            if (at[i + 1] < at[i]) return false;
        const std::uint32_t lens[4] = {at[1] - at[0], at[2] - at[1], at[3] - at[2], at[5] - at[4]};
        for (int i = 0; i < 4; ++i) {
            if (lens[i] > 0xFFFFu) return false;
            len[i] = static_cast<std::uint16_t>(lens[i]);
        }
        begin = at[0];
        value_len = at[4] - at[3];
        return true;
    }
    void reset() noexcept { *this = SlotLayout{}; }

    // Records never make two trees differ.
    friend bool operator==(const SlotLayout&, const SlotLayout&) noexcept { return true; }
};

/// Set by the reader on a plain string value or key whose text it found
/// the writer writes plain as it stands: in flow context too, or in block
/// context only. The writer then need not check it again. A new value is a
/// new scalar, and a key whose text changes loses it, so the mark goes with
/// the text it is about; it never makes two trees differ.
struct PlainChecked {
    enum : std::uint8_t { kNo = 0, kBlock = 1, kFlow = 2 };
    std::uint8_t v = kNo;
    [[nodiscard]] bool holds(bool flow) const noexcept {
        return v == kFlow || (v == kBlock && !flow);
    }
    friend bool operator==(const PlainChecked&, const PlainChecked&) noexcept { return true; }
};

/// The layout record of an entry or item, held out of line: an entry the
/// writer gives back as it was read by itself needs none, and most need
/// none. Copies share the record (copies of trees are cheap) until one is
/// changed (`mut`). An entry without one can still carry what the reader
/// found of its key: that the writer writes it plain as it stands (see
/// PlainChecked), so that a dump need not check it again.
class SlotRecord {
  public:
    SlotRecord() noexcept = default;
    SlotRecord(const SlotRecord& other) noexcept : p_(other.p_) {
        if (counted()) p_->refs.fetch_add(1, std::memory_order_relaxed);
    }
    SlotRecord(SlotRecord&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    SlotRecord& operator=(SlotRecord other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~SlotRecord() { release(); }

    [[nodiscard]] bool has() const noexcept { return counted(); }
    /// The record, or an empty one (`has()` false) when there is none.
    [[nodiscard]] const SlotLayout& ref() const noexcept { return counted() ? p_->value : kEmpty; }
    /// The record to change, made unshared first (created when missing).
    SlotLayout& mut() {
        if (!counted()) {
            p_ = new Counted;
        } else if (p_->refs.load(std::memory_order_acquire) > 1) {
            Counted* copy = new Counted;
            copy->value = p_->value;
            release();
            p_ = copy;
        }
        return p_->value;
    }
    void reset() noexcept {
        release();
        p_ = nullptr;
    }

    /// What the reader found of the entry's key (nothing once a record is
    /// made: the record is checked instead).
    [[nodiscard]] PlainChecked key_checked() const noexcept {
        if (p_ == marks()) return {PlainChecked::kBlock};
        if (p_ == marks() + 1) return {PlainChecked::kFlow};
        return {};
    }
    /// Remembers that the key is written plain as it stands, in flow
    /// context too or not; only for an entry without a record.
    void set_key_checked(bool flow) noexcept {
        if (p_ == nullptr) p_ = marks() + (flow ? 1 : 0);
    }
    /// Forgets it (the key's text changed).
    void clear_key_checked() noexcept {
        if (!counted()) p_ = nullptr;
    }

    friend bool operator==(const SlotRecord&, const SlotRecord&) noexcept { return true; }

  private:
    struct Counted {
        std::atomic<std::uint32_t> refs{1};
        SlotLayout value;
    };
    // Two addresses that stand for no record and a key checked for block
    // or flow context: never counted, read or freed.
    static Counted kMarks[2];
    static Counted* marks() noexcept { return kMarks; }
    [[nodiscard]] bool counted() const noexcept {
        return p_ != nullptr && p_ != marks() && p_ != marks() + 1;
    }
    void release() noexcept {
        if (counted() && p_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete p_;
    }

    static inline const SlotLayout kEmpty{};
    Counted* p_ = nullptr;
};

inline SlotRecord::Counted SlotRecord::kMarks[2]{};

/// Layout of a mapping or sequence: where its entries stand and what
/// follows the last one.
struct CollectionLayout {
    enum Flag : std::uint8_t {
        kBare = 1,           // a flow pair written without braces ([a: 1])
        kTrailingComma = 2,  // a flow collection whose last entry has a ','
        kTailStale = 4,      // the tail was reset (blank lines or comments)
        kIndentStale = 8,    // the indentation and flow spacing were reset
        kFlow = 16,          // read in flow style (the records are of brackets and commas)
        kClosed = 32,        // a pair read without an opening brace but with a closing one
        kRoot = 64,          // read as a document's root (its column is its own indentation)
        kStyleSet = 128,     // the style was set since it was read: it goes where it goes
    };
    /// The text the offsets refer to; null when nothing was recorded.
    SourceRef source;
    /// Block: the column of the entries' keys or dashes.
    std::uint32_t column = 0;
    /// Flow: the offset of the opening bracket. (Block mappings: see
    /// shadowed().)
    std::uint32_t open = 0;
    /// Block: blank and comment lines after the last entry that belong to
    /// the collection (indented at least as deep as it). Flow: the text
    /// between the last entry and the closing bracket.
    std::uint32_t tail_begin = 0;
    std::uint32_t tail_end = 0;
    /// Flow: what stands between a ',' and the next entry (the second
    /// entry's lead), for entries written without a record of their own.
    std::uint32_t typical_begin = 0;
    /// Where the collection's text starts: its properties, else its opening
    /// bracket or first entry (the position of a loaded collection).
    std::uint32_t start = 0;
    std::uint16_t typical_len = 0;
    /// Block: the column relative to the parent's entries (0 for an
    /// indentless sequence).
    std::int16_t rel = 0;
    std::uint8_t flags = 0;
    std::uint8_t trailing = 0;  // the trailing_blank_lines the tail was read with
    // Two bytes of tail padding, which a collection's style fills.

    [[nodiscard]] bool has() const noexcept { return source != nullptr; }
    [[nodiscard]] bool flag(Flag f) const noexcept { return (flags & f) != 0; }
    void reset() noexcept { *this = CollectionLayout{}; }

    /// A block mapping's entries that later ones with the same key replaced,
    /// kept by `source`; null for most. (Held in the room of the flow-only
    /// `open` and `typical_begin`: nothing on every collection for a rare
    /// record.)
    [[nodiscard]] const ShadowedEntries* shadowed() const noexcept {
        if (source == nullptr || flag(kFlow)) return nullptr;
        const std::uint64_t bits = (static_cast<std::uint64_t>(typical_begin) << 32) | open;
        return reinterpret_cast<const ShadowedEntries*>(static_cast<std::uintptr_t>(bits));
    }
    void set_shadowed(const ShadowedEntries* record) noexcept {
        const auto bits = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(record));
        open = static_cast<std::uint32_t>(bits);
        typical_begin = static_cast<std::uint32_t>(bits >> 32);
    }

    friend bool operator==(const CollectionLayout&, const CollectionLayout&) noexcept {
        return true;
    }
};

/// Layout of a document: everything before the root (a byte order mark,
/// comments, directives, the "---" line with the root's properties), the
/// root's own text when it is not a block collection, what follows the
/// root, and the "..." line.
struct DocLayout {
    SourceRef source;
    std::uint32_t head_begin = 0, head_end = 0;
    std::uint32_t root_begin = 0, root_end = 0;  // scalar, alias or flow root
    std::uint32_t tail_begin = 0, tail_end = 0;  // after the root's own records
    std::uint32_t end_begin = 0, end_end = 0;    // "..." and the rest of its line
    std::uint64_t fp_head = 0;  // markers, directives, root properties (block root)
    std::uint64_t fp_root = 0;  // the root value (scalar, alias or flow root)
    bool crlf = false;          // the source breaks lines with CR LF
    bool has_marker = false;    // the head holds "---"
    bool has_end = false;       // a "..." line was read
    bool final_break = true;    // the document's text ends with a line break
    /// How the document indents what it nests, for new content to follow:
    /// a block mapping under a key, a block sequence under a key (0 for
    /// sequences at their key's column), a collection after "- "; -1 where
    /// the document shows none.
    std::int8_t map_step = -1;
    std::int8_t seq_step = -1;
    std::int8_t dash_step = -1;

    [[nodiscard]] bool has() const noexcept { return source != nullptr; }
};

/// The '#' of the first comment on the first line of `piece` (after a blank
/// or at the start), or npos.
std::size_t first_comment(std::string_view piece) noexcept;
/// Whether the comment lines of `lead` hold exactly `comment` (its lines
/// joined by line feeds, each without its '#' and one space); no comment
/// line and a null `comment` match too.
bool lead_comments_are(std::string_view lead, const std::string* comment) noexcept;
/// Whether the first comment on the first line of `piece` is `comment`
/// (none, when `comment` is null).
bool piece_comment_is(std::string_view piece, const std::string* comment) noexcept;

/// `lines` (whole blank and comment lines; the last line of a lead may be
/// the indentation of what follows) with `want` blank lines where it was
/// read with `have`: the missing ones (`nl` each) go before the first line,
/// the surplus goes from the first ones on. Comment lines stay as they are.
std::string with_blank_lines(std::string_view lines, std::size_t have, std::size_t want,
                             std::string_view nl);

/// How much of `lead` (the blank and comment lines before a key, and its
/// indentation) stands before its last blank line, when comment lines come
/// before that line: those lines are not about the key. 0 otherwise.
std::size_t detached_lines(std::string_view lead) noexcept;

/// Whether the tail of a block collection, as the writer writes it, holds
/// comment lines.
bool tail_comments(const CollectionLayout& l) noexcept;

/// A block collection on a chain of last values (a value, its last entry's
/// value, and so on): its count of trailing blank lines and its records.
struct ChainLevel {
    std::uint8_t* trailing;
    const CollectionLayout* layout;
};
/// The blank lines that end the text of a chain (its first level the
/// outermost): those of the outer tails up to one with comment lines (whose
/// blank lines come before them). The reader gives the blank lines after an
/// entry to the innermost collection that ends there: they separate the
/// entry from what follows (its end blank run). With `take`, they are taken
/// off the levels.
std::size_t end_blank_run(std::span<const ChainLevel> chain, bool take) noexcept;

/// A document's layout, held in its metadata (it does not change once read;
/// metadata records are few, one per document root). Never makes two
/// metadata records differ.
class DocLayoutRef {
  public:
    [[nodiscard]] const DocLayout* get() const noexcept { return set_ ? &l_ : nullptr; }
    void set(DocLayout layout) {
        l_ = std::move(layout);
        set_ = true;
    }

    friend bool operator==(const DocLayoutRef&, const DocLayoutRef&) noexcept { return true; }

  private:
    [[no_unique_address]] DocLayout l_;
    bool set_ = false;  // in the layout's tail padding
};

}  // namespace tesvorn
