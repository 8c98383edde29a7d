// The load driver: runs a parser and a tree builder over a whole input.
#pragma once

#include <deque>

#include "core/builder.hpp"
#include "core/parser.hpp"
#include "py/errors.hpp"
#include "py/positions.hpp"

namespace tesvorn::py {

/// Every document of an input, as the builder produced them.
struct ParsedDocuments {
    std::deque<YamlNode> roots;
    std::deque<DocMetadata> metas;
};

/// Parses to the end of the stream; false with ParseError set at the first
/// reader error (everything built so far is dropped).
/// `source` is the text the parser reads (it may grow as a stream is read).
template <class Source>
[[nodiscard]] bool parse_all(Parser<Source>& parser, std::shared_ptr<const SourceText> source,
                             CoercionTags coercion, ParsedDocuments& out) {
    const SourceText* text = source.get();  // kept alive by the builder
    Builder builder(std::move(source));
    parser.keep_comments(false);
    Event event;
    Marker mark;
    for (;;) {
        Status parsed = parser.parse_into(event, mark);
        if (!parsed.ok()) {
            raise_parse_error(parsed.error(), parser.open_at_error(), text);
            return false;
        }
        const bool stream_end = event.type == Event::Type::StreamEnd;
        Status built = builder.process_event(std::move(event), mark, coercion);
        if (!built.ok()) {
            raise_parse_error(built.error(), {}, text);
            return false;
        }
        if (stream_end) break;
    }
    // Swapped, not moved: a moved-to deque allocates an empty one for the
    // moved-from side.
    out.roots.swap(builder.roots());
    out.metas.swap(builder.metadata());
    return true;
}

}  // namespace tesvorn::py
