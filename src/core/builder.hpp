// The tree builder: consumes parse events and assembles one YamlNode tree
// and one DocMetadata record per document. It types scalars, copies anchored
// nodes into aliases, and reads the text between events from the source in
// document order: the comments, blank lines and spacing around each value
// become both the normalised metadata (comments, blank lines) and the
// layout records the writer uses to give untouched text back as it was.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/event.hpp"
#include "core/layout.hpp"
#include "core/result.hpp"
#include "core/types.hpp"

namespace tesvorn {

class Builder {
  public:
    /// `source` holds the text the events are read from, as UTF-8 starting
    /// at byte `source->base` of the stream. It may still grow while events
    /// arrive (a stream read in chunks): the builder only looks at text the
    /// events have passed. Without a source no comments or layout are kept.
    explicit Builder(std::shared_ptr<const SourceText> source = nullptr);

    /// Handles one event whose mark is `mark`. Fails only when aliases would
    /// copy more nodes than any sane document needs (a guard against
    /// exponential "billion laughs" input).
    Status process_event(Event&& event, const Marker& mark, CoercionTags coercion);

    /// Finished documents, oldest first, with their metadata.
    std::deque<YamlNode>& roots() noexcept { return roots_; }
    std::deque<DocMetadata>& metadata() noexcept { return metas_; }
    /// Number of document-end events seen.
    [[nodiscard]] std::size_t document_end_count() const noexcept { return document_ends_; }
    /// Entries dropped because a later entry had the same key.
    [[nodiscard]] std::size_t duplicate_keys() const noexcept { return duplicates_; }
    /// Those of them whose text is not kept to be written back (see
    /// ShadowedEntries): in flow mappings, and those holding anchors,
    /// aliases, tags or explicit keys.
    [[nodiscard]] std::size_t lost_duplicate_keys() const noexcept { return lost_duplicates_; }

    /// Bytes of source text the builder's own walks have looked at. Each
    /// walk is bounded by the text around one node, so over a whole input
    /// this stays a small multiple of its length; the tests hold it there.
    /// Counted only in builds for the tests (TESVORN_COUNT_STEPS), else 0.
    [[nodiscard]] std::size_t text_steps() const noexcept { return steps_; }

    /// The stream offset from which on the builder still needs the source.
    [[nodiscard]] std::size_t needed_from() const noexcept { return cursor_; }
    /// Continues with `source`, which must hold the stream from
    /// `needed_from()` on (finished documents keep the text they refer to).
    void set_source(std::shared_ptr<const SourceText> source) { source_ = std::move(source); }

    /// What aliases copy may not exceed this many bytes, nor ten times the
    /// text read so far. A collection's copy shares its record and costs
    /// a node's size; a scalar's copies its text.
    static constexpr std::size_t kAliasBudgetFloor = std::size_t{16} << 20;

  private:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    /// The entries a new collection has room for before it grows.
    static constexpr std::size_t kFirstRoom = 8;

    /// An entry or item being read: stream offsets of its pieces (see
    /// SlotLayout) and the metadata read from them.
    struct Slot {
        std::size_t at[6] = {kNone, 0, 0, 0, 0, 0};
        SlotLayout::Shape shape = SlotLayout::kInline;
        std::uint8_t flags = 0;
        CommentsRef comments;  // made only for one that has a comment, and moved to it
        std::uint8_t blank_lines = 0;
        std::size_t index = 0;         // its place among its collection's entries, as read
        std::size_t key_at = kNone;    // where its key starts
        std::size_t value_at = kNone;  // where its value (an item's node) starts
    };

    struct PendingKey {
        // Its own copy of the text: the event's buffer stays with the
        // scanner for the next scalar.
        std::optional<SmallString> key;
        std::optional<std::string> key_anchor;
        std::optional<std::string> key_alias;
        std::optional<std::string> key_tag;
        std::optional<YamlNode> key_node;
        ScalarStyle key_style = ScalarStyle::Plain;

        [[nodiscard]] bool empty() const noexcept { return !key && !key_node; }
        /// Empties it (cheaper than assigning a new one: most parts are
        /// empty already).
        void clear() noexcept {
            key.reset();
            if (key_anchor) key_anchor.reset();
            if (key_alias) key_alias.reset();
            if (key_tag) key_tag.reset();
            if (key_node) key_node.reset();
            key_style = ScalarStyle::Plain;
        }
    };

    /// An entry of a block mapping that a later one with the same key
    /// replaced.
    struct ShadowNote {
        std::size_t entry = 0;     // the index of the entry that replaced it
        std::uint32_t key_at = 0;  // where its key starts
        bool kept = false;         // its text can be written back as it stands
        bool block_end = false;    // see ShadowedEntries::Piece
        bool keep_end = false;
    };

    struct Frame {
        bool is_mapping = false;
        bool is_flow = false;
        YamlMapping mapping;
        YamlSequence sequence;
        std::optional<std::string> anchor;
        std::size_t anchor_order = 0;
        std::size_t column = 0;         // block: the entries' column
        std::size_t parent_column = 0;  // block: the parent's entries' column
        bool has_parent = false;
        Slot slot;           // the entry or item being read
        PendingKey pending;  // mappings: a key waiting for its value
        /// Position of the entry or item whose trail is not read yet, or -1.
        std::ptrdiff_t open_trail = -1;
        /// Offset of that entry's or item's value end.
        std::size_t open_trail_from = 0;
        std::size_t slots_read = 0;
        /// Flow: the second entry's lead (what stands after a ',').
        std::size_t typical_begin = 0;
        std::size_t typical_len = kNone;
        /// Block mappings: where its entries' leads start in `leads_`, and
        /// the entries replaced by later ones with the same key (rare).
        std::size_t leads_base = 0;
        std::vector<ShadowNote> shadows;
    };

    /// What the current document has read so far.
    struct DocState {
        std::size_t begin = 0;
        std::size_t head_end = kNone;  // set when the root starts
        std::size_t root_begin = 0;
        std::size_t root_end = 0;
        bool root_is_block = false;
        bool root_props = false;  // the root block collection has an anchor or tag
        std::int8_t map_step = -1, seq_step = -1, dash_step = -1;
        std::uint8_t nl = 0;      // the document's line break: 0 not seen yet, 1 LF, 2 CR LF
        std::size_t nl_from = 0;  // where the look for it goes on (a long line is read once)
        bool explicit_start = false;
        bool root_done = false;
    };

    enum class Role { Root, Item, Key, Value };

    struct Anchored {
        YamlNode node;
        std::size_t cost = 0;   // what a copy costs, for the alias budget
        std::size_t order = 0;  // where its anchor stands among the anchors read
    };

    // Text --------------------------------------------------------------------
    [[nodiscard]] bool has_text() const noexcept { return source_ != nullptr; }
    [[nodiscard]] char at(std::size_t pos) const noexcept {
        return source_->text[pos - source_->base];
    }
    [[nodiscard]] const char* ptr(std::size_t pos) const noexcept {
        return source_->text.data() + (pos - source_->base);
    }
    [[nodiscard]] std::size_t text_end() const noexcept {
        return source_->base + source_->text.size();
    }
    [[nodiscard]] std::size_t line_start(std::size_t pos) const noexcept;
    [[nodiscard]] std::size_t column_of(std::size_t pos) const noexcept;
    /// Past the line break of the line `from` is on (or `limit`).
    [[nodiscard]] std::size_t end_of_line(std::size_t from, std::size_t limit) const noexcept;
    /// The first character in [from, limit) that is not a blank, line break
    /// or part of a comment, or `limit`.
    [[nodiscard]] std::size_t first_token(std::size_t from, std::size_t limit) const noexcept;
    /// The text of the comment whose '#' is at `hash`: without the '#' and
    /// one space after it, to the end of the line.
    [[nodiscard]] std::string comment_text(std::size_t hash) const;
    /// The '#' of a comment in [from, end of its line), or kNone.
    [[nodiscard]] std::size_t comment_on_line(std::size_t from, std::size_t limit) const noexcept;
    /// Reads the whole lines of a lead in [from, to): comments joined by
    /// line feeds and the number of blank lines.
    void read_lead(std::size_t from, std::size_t to, Slot& slot) const;

    // Pieces ------------------------------------------------------------------
    Role begin_node(const Event& ev);
    void close_trail(Frame& f, std::size_t limit);
    void note_sep_comment(Frame& f, std::size_t value_start);
    /// Reads the trail of `f`'s open entry or item as [from, to) and closes it.
    void set_trail(Frame& f, std::size_t from, std::size_t to);
    /// Past the line that ends with the last token before a block
    /// collection whose first entry is at `open`; `open` itself when that
    /// entry shares the line.
    [[nodiscard]] std::size_t block_start(std::size_t after, std::size_t open) const noexcept;
    /// The line break of the current document ("\n" or "\r\n"): its
    /// first one, looked for before `limit`.
    std::string_view doc_break(std::size_t limit) {
        if (doc_.nl == 0) find_doc_break(limit);
        return doc_.nl == 2 ? std::string_view("\r\n") : std::string_view("\n");
    }
    void find_doc_break(std::size_t limit);
    /// Whether the writer's own rendering of the entry or item gives back
    /// the text it was read from (then it needs no record).
    /// `l`'s checks: what its pieces can be checked against directly.
    void slot_checks(SlotLayout& l, const YamlNode& value, const OptString& comment_before,
                     std::uint8_t blank, const SmallString* key, const YamlEntry* entry) const;
    bool written_as_read(const Frame& f, const Slot& s, const SlotLayout& l,
                         const OptString& comment_inline, const YamlNode& value,
                         const SmallString* key);
    /// The rest of a record that is kept: fingerprints and spans.
    void finish_slot_layout(SlotLayout& l, const YamlNode& value, const SmallString* key,
                            const YamlEntry* entry) const;
    [[nodiscard]] std::uint32_t rel(std::size_t pos) const noexcept {
        return static_cast<std::uint32_t>(pos - source_->base);
    }

    // Tree --------------------------------------------------------------------
    void place(YamlNode&& node, Role role, std::size_t end);
    void push_collection(const Event& ev, Role role);
    void end_collection(const Event& ev);
    /// Registers `node` under `name` unless an anchor of that name read
    /// later than `order` is registered already (a collection's anchor
    /// comes before those inside it, though the collection ends after them).
    /// Drops the layout records of a tree (it is written anew).
    static void forget_layout(YamlNode& node);
    /// Notes that entry `index` of `f`'s mapping, `old`, is replaced by the
    /// one being placed (before `old` goes).
    void note_shadow(Frame& f, std::size_t index, const YamlEntry& old);
    /// Whether the text of `old` can be written back as it stands beside
    /// the tree: nothing in it that other text refers to or depends on.
    static bool plain_text(const YamlNode& node);
    /// At the end of a block mapping with replaced entries: the record that
    /// keeps their text (ShadowedEntries), or, where it cannot be kept, the
    /// entries that stand without records of their text (as for a flow
    /// mapping).
    void keep_shadows(Frame& f);
    void register_anchor(const std::string& name, const YamlNode& node, std::size_t order);
    Status process_scalar(Event&& event, const Marker& mark, CoercionTags coercion);
    /// A standard tag its node does not fit, at the node's properties.
    [[gnu::cold, gnu::noinline]] ScanError tag_error(const Event& ev, const Marker& mark,
                                                     std::string message) const;
    [[gnu::noinline]] Status check_collection_tag(const Event& ev, const Marker& mark,
                                                  CoercionTags coercion) const;
    Status process_alias(Event&& event, const Marker& mark);
    void start_document(const Event& ev);
    void end_document(const Event& ev);
    void end_stream(const Event& ev);
    void fill_doc_layout(DocLayout& l, const DocMetadata& meta, const YamlNode& root) const;

    std::shared_ptr<const SourceText> source_;
    bool layout_ = false;  // records are kept (a source, and offsets that fit)
    std::size_t cursor_ = 0;
    std::vector<Frame> frames_;
    // Emptied storage of finished collections, reused by the next ones.
    std::vector<std::vector<OrderedMap<YamlEntry>::Slot>> spare_entries_;
    std::vector<std::vector<YamlItem>> spare_items_;
    std::deque<YamlNode> roots_;
    std::deque<DocMetadata> metas_;
    DocMetadata current_meta_;
    DocState doc_;
    std::unordered_map<std::string, Anchored> anchors_;
    std::size_t document_ends_ = 0;
    std::size_t docs_started_ = 0;
    std::size_t anchors_read_ = 0;
    std::size_t duplicates_ = 0;
    std::size_t lost_duplicates_ = 0;
    /// Where the leads of the entries of the open block mappings start, in
    /// the order read (each mapping's above its parent's).
    std::vector<std::uint32_t> leads_;
    std::size_t alias_copies_ = 0;
    mutable std::size_t steps_ = 0;  // see text_steps()
    void step(std::size_t n) const noexcept {
#if defined(TESVORN_COUNT_STEPS)
        steps_ += n;
#else
        static_cast<void>(n);
#endif
    }
};

}  // namespace tesvorn
