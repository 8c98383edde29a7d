// Python streams as a character source for the reader and as a sink for
// the writer.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/char_traits.hpp"
#include "core/emitter.hpp"
#include "core/layout.hpp"
#include "py/ref.hpp"

namespace tesvorn::py {

/// One parked Python exception, shared between a stream source and whoever
/// drives the parse: the character interface can only say "end of input",
/// so a failing read() is recorded here.
class ErrorSlot {
  public:
    ErrorSlot() = default;
    ErrorSlot(const ErrorSlot&) = delete;
    ErrorSlot& operator=(const ErrorSlot&) = delete;
    ~ErrorSlot();

    /// Records an exception, replacing any earlier one.
    void record(ref exc) noexcept;
    /// Takes the recorded exception out (a new reference, or null).
    [[nodiscard]] PyObject* take() noexcept;
    /// Lets the garbage collector see the parked exception (its traceback
    /// may lead back to the iterator that owns this slot).
    int traverse(visitproc visit, void* arg) noexcept;

  private:
    std::mutex mutex_;
    ref exc_;
};

/// The reader's character source: an owned text, or a Python object with a
/// read(size) method returning str or bytes, read in chunks of 8192. Bytes
/// are UTF-8, or UTF-16 or UTF-32 as their byte order mark (or the pattern
/// of zero bytes at their start) says. The text handed out is kept (as
/// UTF-8) for the layout records of what is read from it; `rebase` lets go
/// of text no longer needed. Text that does not decode ends the input with
/// `chars::kBadText`, which the reader reports where it stands.
class CharsSource {
  public:
    /// Text variant: takes `text` (valid UTF-8).
    static CharsSource text(std::string text);
    /// Stream variant: reads `stream` (borrowed; a reference is kept) on
    /// demand; failures go to `slot`.
    static CharsSource stream(PyObject* stream, std::shared_ptr<ErrorSlot> slot);

    CharsSource(CharsSource&& other) noexcept
        : src_(std::move(other.src_)),
          pos_(std::exchange(other.pos_, 0)),
          stream_(std::move(other.stream_)),
          slot_(std::move(other.slot_)),
          tail_(std::move(other.tail_)),
          encoding_(other.encoding_),
          undecodable_(std::exchange(other.undecodable_, false)),
          done_(std::exchange(other.done_, true)) {}
    CharsSource& operator=(CharsSource&&) = delete;
    CharsSource(const CharsSource&) = delete;
    CharsSource& operator=(const CharsSource&) = delete;
    ~CharsSource();

    /// The next character, or nothing at the end of input (and for ever after).
    std::optional<char32_t> next() noexcept {
        if (pos_ == src_->text.size() && !refill()) {
            if (!undecodable_) return std::nullopt;
            undecodable_ = false;
            return chars::kBadText;
        }
        const auto c = static_cast<unsigned char>(src_->text[pos_]);
        if (c < 0x80) {
            ++pos_;
            return c;
        }
        return decode_multibyte();
    }

    /// The text read so far (from `source()->base` on); it grows as the
    /// reader reads on.
    [[nodiscard]] const std::shared_ptr<SourceText>& source() const noexcept { return src_; }
    /// Continues in a new copy of the text that starts at stream offset
    /// `from`: earlier text stays with whoever holds the old copy. Worth it
    /// only when much text lies before `from`.
    void rebase(std::size_t from);

    /// The stream object (borrowed), null for the text variant or once released.
    [[nodiscard]] PyObject* stream_object() const noexcept { return stream_.get(); }

  private:
    CharsSource() = default;
    bool refill() noexcept;
    void read_chunk();
    void take_bytes(const char* data, std::size_t n);
    // Decodes what it can of [data, data + n); keeps an incomplete character
    // at the end for the next bytes unless `last`.
    void decode(const char* data, std::size_t n, bool last);
    void end_of_bytes();
    // Takes the encodable part of a str that is not all text.
    void take_bad_str(PyObject* str);
    char32_t decode_multibyte() noexcept;
    void fail(ref exc) noexcept;

    std::shared_ptr<SourceText> src_;  // the text; from pos_ on not yet handed out
    std::size_t pos_ = 0;
    ref stream_;  // null for the text variant
    std::shared_ptr<ErrorSlot> slot_;
    enum class Encoding : std::uint8_t { Unknown, Utf8, Utf16Le, Utf16Be, Utf32Le, Utf32Be };
    std::string tail_;  // bytes carried to the next chunk: an incomplete character
    Encoding encoding_ = Encoding::Unknown;
    bool undecodable_ = false;  // the input ends at text that does not decode
    bool done_ = true;
};

/// The writer's sink over a Python object with write(data): str first;
/// when the stream refuses str, UTF-8 bytes from then on. One write() per
/// fragment the writer hands over, no buffering of its own, no flush.
class PyStreamWriter final : public Sink {
  public:
    /// Keeps a reference to `stream` (borrowed).
    explicit PyStreamWriter(PyObject* stream) : stream_(ref::borrow(stream)) {}
    ~PyStreamWriter() override = default;

    /// The exception recorded by a failed write, if any (a new reference).
    [[nodiscard]] PyObject* take_error() noexcept { return error_.release(); }

    [[nodiscard]] bool write(std::string_view fragment) override;

  private:
    enum class Mode : std::uint8_t { Bytes = 0, Str = 1, Unknown = 2 };

    [[nodiscard]] bool call_write(std::string_view fragment, bool as_bytes);

    ref stream_;
    ref error_;
    Mode mode_ = Mode::Unknown;
};

struct ParsedDocuments;
struct SchemaObject;

/// Parses everything `stream` yields. A failure of read() (or an undecodable
/// chunk) is raised in place of the parse result or parse error.
[[nodiscard]] bool parse_stream(PyObject* stream, SchemaObject* schema, ParsedDocuments& out);

}  // namespace tesvorn::py
