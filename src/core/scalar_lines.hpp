// A scalar written over several lines, read back line by line: where the
// text of each line lies in the source and in the value it reads as, so that
// the writer can keep the lines a changed value still holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/types.hpp"

namespace tesvorn {

struct ScalarLines {
    /// A line with text (empty lines lie between lines: they are part of the
    /// line breaks that join them).
    struct Line {
        std::uint32_t src_begin = 0, src_end = 0;  // its text in the scalar's source
        std::uint32_t val_begin = 0, val_end = 0;  // what it reads as, in `value`
        bool more = false;  // a more-indented line of a folded scalar (not folded)
    };
    ScalarStyle style = ScalarStyle::Plain;
    std::string value;
    std::vector<Line> lines;
    /// The column the longest line ends at.
    std::size_t width = 0;
    /// `value` without the line feeds a block scalar's chomping keeps.
    std::size_t body_len = 0;
    // Block scalars only:
    std::uint32_t header_end = 0;  // where the header's line ends (at its line break)
    std::uint32_t column = 0;      // the column of the content
    bool indicator = false;        // the header has an indentation indicator
};

/// Reads `text`, a scalar's source from its first character (no properties
/// before it) to its end, which starts at column `column` and is a mapping
/// value or sequence item whose keys or dashes stand at `indent`: a block
/// scalar (with the line break after its last line, if any, and the empty
/// lines after it), a plain scalar, or a quoted one. False when the text is
/// not one this reading takes apart; what it gives must still be checked
/// against the value read (it is not a reader).
bool read_scalar_lines(std::string_view text, std::size_t column, std::size_t indent,
                       ScalarLines& out);

/// How many columns `text` takes: its code points.
std::size_t text_columns(std::string_view text) noexcept;

}  // namespace tesvorn
