// The tree builder: consumes parse events and assembles one YamlNode tree
// and one DocMetadata record per document, attaching comments and blank
// lines by line number, typing scalars, and copying anchored nodes into
// aliases.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/event.hpp"
#include "core/result.hpp"
#include "core/types.hpp"

namespace tesvorn {

class Builder {
  public:
    Builder() = default;

    /// Comments the parser set aside while producing the next event; only
    /// the line of each mark is used.
    void absorb_comments(std::vector<PendingComment>& comments);
    /// Handles one event whose mark is `mark`. Fails only when aliases would
    /// copy more nodes than any sane document needs (a guard against
    /// exponential "billion laughs" input).
    Status process_event(Event&& event, const Marker& mark, CoercionTags coercion);

    /// Finished documents, oldest first, with their metadata (the metadata
    /// list may be longer or shorter than the roots; see DocumentEnd).
    std::deque<YamlNode>& roots() noexcept { return roots_; }
    std::deque<DocMetadata>& metadata() noexcept { return metas_; }
    /// Number of document-end events seen.
    [[nodiscard]] std::size_t document_end_count() const noexcept { return document_ends_; }

    /// Copies made for aliases may not exceed this many nodes, nor ten times
    /// the nodes read so far.
    static constexpr std::size_t kAliasBudgetFloor = 100000;

  private:
    struct PendingKey {
        std::optional<std::string> key;
        std::optional<std::string> comment_before;
        std::optional<std::string> comment_inline;
        std::optional<std::string> key_anchor;
        std::optional<std::string> key_alias;
        std::optional<std::string> key_tag;
        std::optional<YamlNode> key_node;
        ScalarStyle key_style = ScalarStyle::Plain;
        std::uint8_t blank_lines_before = 0;

        [[nodiscard]] bool empty() const noexcept { return !key && !key_node; }
        /// Inserts the entry for `value`; with an empty key nothing is
        /// inserted and the value is handed back (it becomes the key node).
        std::optional<YamlNode> insert_entry(YamlMapping& mapping, YamlNode&& value);
    };

    struct Frame {
        bool is_mapping = false;
        YamlMapping mapping;
        YamlSequence sequence;
        std::optional<std::string> anchor;
        bool is_flow = false;
        // Sequence frames: what waits for the next item when it is a collection.
        std::optional<std::string> item_comment_before;
        std::optional<std::string> item_comment_inline;
        std::uint8_t item_blank_lines_before = 0;
        // Flow frames: an inline comment met inside the collection. Comments
        // of flow items are never written, so it goes to the entry or item
        // that holds the outermost flow collection.
        std::optional<std::string> flow_comment;
        // Mapping frames.
        PendingKey pending;
    };

    struct Anchored {
        YamlNode node;
        std::size_t nodes = 0;  // size of the tree, for the alias budget
    };

    std::uint8_t blank_lines_for(std::size_t line) const;
    std::optional<std::string> take_before(std::size_t line);
    /// The pending comment on `line`, if any, taken.
    std::optional<std::string> take_at(std::size_t line);
    void push_node(YamlNode&& node);
    void register_anchor(const std::string& name, const YamlNode& node);
    void process_scalar(Event&& event, std::size_t line, CoercionTags coercion);

    std::optional<std::size_t> last_line_;
    std::vector<Frame> frames_;
    std::deque<YamlNode> roots_;
    std::deque<DocMetadata> metas_;
    DocMetadata current_meta_;
    std::vector<std::pair<std::size_t, std::string>> pending_comments_;
    std::unordered_map<std::string, Anchored> anchors_;
    std::size_t document_ends_ = 0;
    std::size_t nodes_read_ = 0;
    std::size_t alias_copies_ = 0;
};

}  // namespace tesvorn
