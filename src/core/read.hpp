// Reading a whole text: the scanner, parser and builder run over it to the
// end of the stream.
#pragma once

#include <deque>
#include <memory>
#include <string_view>

#include "core/builder.hpp"
#include "core/layout.hpp"
#include "core/result.hpp"
#include "core/types.hpp"

namespace tesvorn {

/// The shared copy of `text` that layout records point into. Bytes that are
/// not valid UTF-8 are replaced by U+FFFD, one per maximal bad sequence, as
/// the reader reads them; `valid_utf8` skips the check.
std::shared_ptr<SourceText> make_source(std::string_view text, bool valid_utf8 = false);

/// A source over text that `keeper` keeps alive (valid UTF-8; not copied).
std::shared_ptr<SourceText> borrow_source(std::string_view text,
                                          std::shared_ptr<const void> keeper);

/// Every document of a text, as the builder made them.
struct ReadDocuments {
    std::deque<YamlNode> roots;
    std::deque<DocMetadata> metas;
    std::size_t document_ends = 0;
    std::size_t duplicate_keys = 0;
    std::size_t lost_duplicate_keys = 0;  // see Builder::lost_duplicate_keys
    std::size_t text_steps = 0;           // see Builder::text_steps
};

/// Reads all of `source`; the first error of the reader ends it.
Result<ReadDocuments> read_documents(std::shared_ptr<const SourceText> source,
                                     CoercionTags coercion = {});

/// Reads all of `text` (see make_source).
Result<ReadDocuments> read_text(std::string_view text, CoercionTags coercion = {});

}  // namespace tesvorn
