// The writer: document-model trees back to YAML text, reproducing comments,
// blank lines, styles, anchors, tags and document markers.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

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

  protected:
    void remember_last(std::string_view text) noexcept {
        if (!text.empty()) last_ = static_cast<unsigned char>(text.back());
    }

  private:
    int last_ = -1;
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

/// Appends one document to `out`, framed as `emit_docs` frames each of its
/// documents: "---" first when `start_marker` (and always after directives),
/// "..." before the directives when `end_previous`.
void emit_doc_into(std::string& out, const YamlNode& root, const DocMetadata& meta,
                   std::size_t indent, bool start_marker, bool end_previous);

// Piecewise writing of a large document with a plain root (no markers, no
// directives, no properties on the root): a caller that writes "---" when
// needed, then the root's content in pieces, gets the text of `emit_docs`.

/// Appends the entries of a non-empty block mapping, or the items of a
/// non-empty block sequence, at column `column`: the content of a document
/// root (column 0) or of a value under a key. Writing a collection's entries
/// or items in several calls gives the same text as one call.
void emit_block_content(std::string& out, const YamlNode& node, std::size_t column,
                        std::size_t indent);

/// Appends the line that opens a non-empty block collection (with no anchor
/// or tag) as the value of the plain-styled `key` at `column`: the key, ":"
/// and a line feed. The value's content follows at `column` + the step.
void emit_block_key(std::string& out, std::string_view key, std::size_t column, std::size_t indent);

/// Writes one document to `sink`; false when the sink failed (the text
/// handed over before the failure stays written). The text reaches the sink
/// in large fragments: at the latest when the document is complete.
[[nodiscard]] bool emit_docs_to(const YamlNode& root, const DocMetadata& meta, std::size_t indent,
                                Sink& sink);

/// The one-line text of a scalar value in `style`, as the writer puts it in
/// block context: numbers, booleans and null as their canonical words; a
/// string plain when it reads back as the same string, else quoted. Block
/// styles (literal, folded) give the double-quoted form.
std::string emit_scalar_value_with_style(const ScalarValue& value, ScalarStyle style);

/// `text` in single quotes, apostrophes doubled. Reads back as `text` only
/// when it holds no line break or character that needs an escape.
std::string single_quote(std::string_view text);

/// `text` in double quotes with escapes for the quote, backslash, tab, line
/// breaks and every character YAML does not allow raw (and NEL, U+2028,
/// U+2029, U+FEFF); always reads back as `text`.
std::string double_quote(std::string_view text);

}  // namespace tesvorn
