// Parse events: the contract between the parser and the tree builder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/result.hpp"
#include "core/types.hpp"

namespace tesvorn {

/// A resolved tag: `handle` is the resolved prefix (such as
/// "tag:yaml.org,2002:"), "!" for a local tag, or empty; the full tag is
/// handle followed by suffix.
struct Tag {
    std::string handle;
    std::string suffix;

    [[nodiscard]] std::string full() const { return handle + suffix; }
    friend bool operator==(const Tag&, const Tag&) = default;
};

using TagDirectives = std::vector<std::pair<std::string, std::string>>;
using YamlVersion = std::pair<std::uint8_t, std::uint8_t>;

/// One parse event. A flat record rather than a variant: each kind uses the
/// fields listed beside it and leaves the others at their defaults.
struct Event {
    enum class Type : std::uint8_t {
        StreamStart,
        StreamEnd,
        DocumentStart,  // is_explicit, version, tag_directives
        DocumentEnd,    // is_explicit
        Alias,          // value = the name
        Scalar,         // value, anchor, tag, style
        SequenceStart,  // anchor, tag, flow
        SequenceEnd,
        MappingStart,  // anchor, tag, flow
        MappingEnd,
    };

    Type type = Type::StreamStart;
    bool is_explicit = false;
    bool flow = false;
    ScalarStyle style = ScalarStyle::Plain;
    std::optional<YamlVersion> version;
    TagDirectives tag_directives;
    std::string value;
    std::optional<std::string> anchor;
    std::optional<Tag> tag;
    /// Scalars: the line where the scalar's text ends (multi-line plain and
    /// quoted scalars and block scalars end below the line of their mark).
    std::size_t end_line = 0;
    /// Collection starts: the line of the node's first property (anchor or
    /// tag), 0 when it has none. A block collection's start token can be
    /// lines below its properties.
    std::size_t property_line = 0;
    /// Where the event's text lies in the input, as byte offsets: from its
    /// first property (or its first character) to just past it. An empty
    /// node is an empty range where it stands. Collection starts end after
    /// the opening bracket (flow) or after their properties (block); block
    /// collection ends are empty ranges at the token that ends them.
    std::size_t start = 0;
    std::size_t end = 0;
    /// Collection starts: the offset of the opening bracket (flow), or of
    /// the first entry's key or indicator (block).
    std::size_t open = 0;

    static Event simple(Type t) {
        Event e;
        e.type = t;
        return e;
    }
    static Event document_start(bool is_explicit, std::optional<YamlVersion> version,
                                TagDirectives dirs) {
        Event e;
        e.type = Type::DocumentStart;
        e.is_explicit = is_explicit;
        e.version = version;
        e.tag_directives = std::move(dirs);
        return e;
    }
    static Event document_end(bool is_explicit) {
        Event e;
        e.type = Type::DocumentEnd;
        e.is_explicit = is_explicit;
        return e;
    }
    static Event alias(std::string name) {
        Event e;
        e.type = Type::Alias;
        e.value = std::move(name);
        return e;
    }
    static Event scalar(std::string value, std::optional<std::string> anchor,
                        std::optional<Tag> tag, ScalarStyle style) {
        Event e;
        e.type = Type::Scalar;
        e.value = std::move(value);
        e.anchor = std::move(anchor);
        e.tag = std::move(tag);
        e.style = style;
        return e;
    }
    /// The empty scalar that stands for a missing key or value.
    static Event empty_scalar() {
        return scalar(std::string(), std::nullopt, std::nullopt, ScalarStyle::Plain);
    }
    static Event collection_start(Type t, std::optional<std::string> anchor, std::optional<Tag> tag,
                                  bool flow) {
        Event e;
        e.type = t;
        e.anchor = std::move(anchor);
        e.tag = std::move(tag);
        e.flow = flow;
        return e;
    }

    friend bool operator==(const Event&, const Event&) = default;
};

/// A comment set aside by the parser: the position of its `#` and its text.
struct PendingComment {
    Marker mark;
    std::string text;
};

}  // namespace tesvorn
