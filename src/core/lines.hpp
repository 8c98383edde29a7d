// Lines and columns of byte offsets, computed only when asked: positions of
// loaded nodes and the source line quoted under an error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tesvorn {

/// A place in a stream as the scanner counts it (see `Marker`): a line
/// (from 1), a column (characters from 0) and the characters before it.
/// LF, CR LF and a lone CR each end a line; a byte order mark at the start
/// of the stream takes no column.
struct TextPosition {
    std::size_t line = 1;
    std::size_t column = 0;
    std::size_t index = 0;

    friend bool operator==(const TextPosition&, const TextPosition&) = default;
};

/// Where a text starts in its stream (a stream read in chunks lets go of
/// the text before a document once it is no longer needed).
struct TextOrigin {
    TextPosition at;
    /// The text before ends with a lone CR: an LF first completes that break.
    bool after_cr = false;
    /// The text starts the stream (a byte order mark may follow).
    bool stream_start = true;

    /// The origin of the text that follows `skipped` (which starts here).
    [[nodiscard]] TextOrigin after(std::string_view skipped) const noexcept;
};

/// The line starts of one text, found on first use and extended when the
/// text has grown since (a stream still being read). Safe to share between
/// threads. Offsets beyond 4 GiB are not indexed: nothing records them.
class LineIndex {
  public:
    LineIndex() = default;
    LineIndex(const LineIndex&) = delete;
    LineIndex& operator=(const LineIndex&) = delete;

    /// Set before the text is shared.
    void set_origin(const TextOrigin& origin) noexcept { origin_ = origin; }
    [[nodiscard]] const TextOrigin& origin() const noexcept { return origin_; }

    /// The position of byte `offset` of `text`, the text this index belongs
    /// to (it may have grown since the last call, but not changed).
    [[nodiscard]] TextPosition locate(std::string_view text, std::size_t offset) const;

  private:
    static constexpr unsigned kBlockBits = 12;
    void extend(std::string_view text) const;
    [[nodiscard]] std::size_t chars_before(std::string_view text,
                                           std::size_t offset) const noexcept;

    TextOrigin origin_;
    mutable std::mutex mutex_;
    mutable std::vector<std::uint32_t> starts_;  // where each line after the first starts
    mutable std::vector<std::uint64_t> chars_;   // characters before each block of 4 KiB
    mutable std::size_t covered_ = 0;            // bytes looked at for line breaks
};

/// Two lines for an error note: the line of `text` holding byte `at`
/// (shortened around `at` when long), and a caret under `at`. `column` is
/// the scanner's column of `at` (0 puts the caret at the start of an empty
/// line when `at` is not at a line start: the scanner's end of input).
std::string caret_excerpt(std::string_view text, std::size_t at, std::size_t column);

}  // namespace tesvorn
