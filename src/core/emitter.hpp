// The writer: document-model trees back to YAML text, reproducing comments,
// blank lines, styles, anchors, tags and document markers.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "core/render.hpp"
#include "core/types.hpp"

namespace tesvorn {

/// Where the writer's text goes. A sink may fail (a Python stream whose
/// `write` raises); the writer stops at the first failure and reports it.
class Sink {
  public:
    virtual ~Sink() = default;

    /// Appends `text`; false when the sink failed. Implementations call
    /// `remember_last(text)` for every text they accepted.
    [[nodiscard]] virtual bool write(std::string_view text) = 0;

    /// The last character accepted so far, or -1 when nothing was written.
    [[nodiscard]] int last_char() const noexcept { return last_; }

    /// Whether the last document written (by `emit_docs_to`) was closed by
    /// "...", so that directives after it need no second one.
    [[nodiscard]] bool document_closed() const noexcept { return closed_; }
    void set_document_closed(bool closed) noexcept { closed_ = closed; }

  protected:
    void remember_last(std::string_view text) noexcept {
        if (!text.empty()) last_ = static_cast<unsigned char>(text.back());
    }

  private:
    int last_ = -1;
    bool closed_ = false;
};

/// A sink that collects everything into a string; it never fails.
class StringSink final : public Sink {
  public:
    [[nodiscard]] bool write(std::string_view text) override {
        out_.append(text);
        remember_last(text);
        return true;
    }
    [[nodiscard]] const std::string& str() const noexcept { return out_; }
    /// Hands the collected text over, leaving the sink empty.
    std::string take() noexcept { return std::move(out_); }

  private:
    std::string out_;
};

/// Writes every document (`metas` may be shorter than `roots`: missing
/// entries count as empty metadata). `indent` is the indentation step; 0
/// means 2.
std::string emit_docs(std::span<const YamlNode> roots, std::span<const DocMetadata> metas,
                      std::size_t indent);

/// Completes the entries or items of a document's root collection one at a
/// time while the document is written, so that each is made just before it
/// is written (while what it is made of is still in cache) and can be let go
/// after. The root handed to the writer may be shared: it is only read, and
/// a slot that is not written as it stands comes from the filler.
class RootFiller {
  public:
    enum class Fill : std::uint8_t { kWrite, kSkip, kStop };
    /// `plain_as_is`: a slot whose key has no anchor, alias or node and
    /// whose value is a scalar without an anchor, or empty, holds nothing
    /// for this filler to complete; it is written as it stands, without
    /// `fill` or `release`.
    explicit RootFiller(bool plain_as_is = false) noexcept : plain_as_is_(plain_as_is) {}
    RootFiller(const RootFiller&) = delete;
    RootFiller& operator=(const RootFiller&) = delete;
    virtual ~RootFiller() = default;
    [[nodiscard]] bool plain_as_is() const noexcept { return plain_as_is_; }
    /// Completes entry or item `index` of the root: write it, leave it out,
    /// or stop writing (the filler keeps the reason). `slot` comes in as
    /// the root's own and `value` as its value; to write another slot or
    /// only another value, the filler points them at ones it keeps until
    /// the next call or `release`.
    virtual Fill fill(std::size_t index, const YamlEntry*& slot, const YamlNode*& value) = 0;
    virtual Fill fill(std::size_t index, const YamlItem*& slot, const YamlNode*& value) = 0;
    /// Slot `index` (not the last) was written: its content may go.
    virtual void release(std::size_t index) noexcept = 0;
    /// Whether the slots of block collection `collection` (a YamlMapping or
    /// YamlSequence) come from the filler as well: true for the value of the
    /// slot it filled last when it handed that value out unfilled. Until
    /// the matching `leave`, `fill` and `release` are about its slots.
    virtual bool enter(const void* /*collection*/) { return false; }
    virtual void leave() noexcept {}

  private:
    bool plain_as_is_;
};

/// Appends one document to `out`, framed as `emit_docs` frames each of its
/// documents: "---" first when `start_marker` (and always after directives),
/// "..." before the directives when `end_previous`; `last` when no document
/// follows. With a `filler`, a block root's entries or items are completed
/// by it as they are written.
void emit_doc_into(std::string& out, const YamlNode& root, const DocMetadata& meta,
                   std::size_t indent, bool start_marker, bool end_previous, bool last = true,
                   RootFiller* filler = nullptr);

namespace detail {
class Emitter;
}

/// Writes one document into a string piece by piece, so that a caller never
/// needs the document's whole tree: the framing, the entries or items of
/// block collections a few at a time, and the lines that open block
/// collections under keys. Pieces that make up a tree give the text that
/// `emit_doc_into` gives for that tree.
class BlockWriter {
  public:
    /// `indent` is the indentation step (0 means 2). `out` and `meta` are
    /// kept by reference: both must outlive the writer.
    BlockWriter(std::string& out, const DocMetadata& meta, std::size_t indent);
    BlockWriter(const BlockWriter&) = delete;
    BlockWriter& operator=(const BlockWriter&) = delete;
    ~BlockWriter();

    /// Directives and "---" as `emit_doc_into` writes them, then the line of
    /// the root's anchor and tag when it is a block collection that has any.
    void begin(bool start_marker, bool end_previous, const std::string* anchor,
               const std::string* tag);
    /// The entries of a block mapping or the items of a block sequence, at
    /// column `column` (0 for the root); writing a collection's entries or
    /// items over several calls gives the same text as one call.
    void content(const YamlNode& piece, std::size_t column);
    /// One entry or item of such content, as `content` writes it.
    void entry(std::string_view key, const YamlEntry& e, std::size_t column);
    void item(const YamlItem& item, std::size_t column);
    /// An entry at `column` up to its value, which is a non-empty block
    /// collection with `anchor` and `tag`: blank lines, comment lines, the
    /// key, ":", the properties, the entry's inline comment and a line feed.
    /// The value's content follows at `column` + `step()`.
    void open_value(std::string_view key, const YamlEntry& entry, const std::string* anchor,
                    const std::string* tag, std::size_t column);
    /// The blank lines after a block collection's last entry or item.
    void trailing_blank_lines(std::size_t n);
    /// The final line feed when missing, and "..." when `explicit_end`.
    void end(bool explicit_end);
    /// The indentation step in effect.
    [[nodiscard]] std::size_t step() const noexcept;

  private:
    std::unique_ptr<detail::Emitter> emitter_;
};

/// Writes one document to `sink`; false when the sink failed (the text
/// handed over before the failure stays written). The text reaches the sink
/// in large fragments: at the latest when the document is complete.
[[nodiscard]] bool emit_docs_to(const YamlNode& root, const DocMetadata& meta, std::size_t indent,
                                Sink& sink);
/// As above, with "---" written when `start_marker` (as `emit_docs` does for
/// every document of several); `last` when no document follows.
[[nodiscard]] bool emit_docs_to(const YamlNode& root, const DocMetadata& meta, std::size_t indent,
                                Sink& sink, bool start_marker, bool last);

}  // namespace tesvorn
