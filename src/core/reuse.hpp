// Whether a piece of the source text read with an entry or item (its lead,
// key, separator, value or trail) still says what the tree holds, so that the
// writer may copy it as read. Every route of the writer asks here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/layout.hpp"
#include "core/types.hpp"

namespace tesvorn::reuse {

/// The column of offset `at` as the reader counts it: characters from the
/// line start, a byte order mark at the start of the stream none.
[[nodiscard]] std::size_t column_of(const SourceText& src, std::uint32_t at) noexcept;

/// Whether a slot's records were read with block collection `c`'s: from the
/// same text, at the column of its keys or dashes (a slot taken from another
/// collection of that text does not fit its lines).
[[nodiscard]] bool recorded(const CollectionLayout* c, const SlotLayout& l) noexcept;

/// The text of piece `p` of a slot recorded from `src`.
[[nodiscard]] std::string_view piece(const SourceRef& src, const SlotLayout& l,
                                     SlotLayout::Piece p) noexcept;

/// Whether the key read is still the entry's key (text, style, properties).
[[nodiscard]] bool key_matches(const SourceRef& src, const SlotLayout& l, std::string_view key,
                               const YamlEntry& e) noexcept;

/// Whether the value read is still the value, as far as its own text goes
/// (a collection's entries answer for themselves). A value that rendering
/// gives back as read (a number, boolean or null in its canonical form) is
/// rendered, changed or not: never this.
[[nodiscard]] bool value_matches(const SourceRef& src, const SlotLayout& l,
                                 const YamlNode& v) noexcept;

/// Whether the inline comment read, in the piece where it stood, is still
/// `comment` (none read and none held match too).
[[nodiscard]] bool comment_matches(const SourceRef& src, const SlotLayout& l,
                                   const OptString& comment) noexcept;

/// Whether the comment lines of the lead read are still `before`.
[[nodiscard]] bool lead_matches(const SourceRef& src, const SlotLayout& l,
                                const OptString& before) noexcept;

}  // namespace tesvorn::reuse
