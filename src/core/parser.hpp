// The event parser: checks the structure of the token stream, resolves tags
// and aliases, and sets comments aside for the tree builder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/event.hpp"
#include "core/result.hpp"
#include "core/scanner.hpp"

namespace tesvorn {

/// Parser states, numbered as listed.
enum class ParserState : std::uint8_t {
    StreamStart,
    ImplicitDocumentStart,
    DocumentStart,
    DocumentContent,
    DocumentEnd,
    BlockNode,
    BlockSequenceFirstEntry,
    BlockSequenceEntry,
    IndentlessSequenceEntry,
    BlockMappingFirstKey,
    BlockMappingKey,
    BlockMappingValue,
    FlowSequenceFirstEntry,
    FlowSequenceEntry,
    FlowSequenceEntryMappingKey,
    FlowSequenceEntryMappingValue,
    FlowSequenceEntryMappingEnd,
    FlowMappingFirstKey,
    FlowMappingKey,
    FlowMappingValue,
    FlowMappingEmptyValue,
    End,
};

namespace detail {

/// The parser's state machine, compiled once; it reads tokens from the
/// scanner it is given on each call.
class ParserCore {
  public:
    /// Block collections may nest this deep; one more is an error.
    static constexpr std::size_t kMaxBlockDepth = 1000;

    /// Runs the handler of the current state once. On failure the error is
    /// kept (see `error`) and every later call fails with it again.
    [[nodiscard]] bool parse(ScannerCore& scanner, Event& event, Marker& mark);
    [[nodiscard]] const ScanError& error() const noexcept { return *error_; }
    /// After an error: the innermost flow collection or quoted scalar open
    /// there that began before it.
    [[nodiscard]] Opener open_at_error(const ScannerCore& scanner) const noexcept;
    [[nodiscard]] ParserState state() const noexcept { return state_; }

    std::vector<PendingComment> pending_comments;
    /// Whether comments passed are kept in `pending_comments` (readers that
    /// take comments from the source text need not copy them).
    bool keep_comments = true;

  private:
    using Type = TokenType;

    // The next non-comment token, left in the scanner's queue until `skip`;
    // comments passed on the way go to `pending_comments`.
    [[nodiscard]] Token* peek(ScannerCore& scanner);
    [[nodiscard, gnu::noinline]] Token* peek_past_comments(ScannerCore& scanner);
    [[gnu::always_inline]] void skip(ScannerCore& scanner) {
        // Tokens the scanner adds without text of their own (block ends,
        // implicit keys and starts) stand at the next token: they end nothing.
        const Token* t = scanner.peek_token();
        if (t->end != t->mark.pos) last_end_ = t->end;
        scanner.pop_token();
    }
    [[nodiscard]] bool fail(Marker m, const char* message);
    /// Runs the handler of the current state.
    [[nodiscard]] bool dispatch(ScannerCore& sc, Event& ev, Marker& mk);
    void push_state(ParserState s) { state_stack_.push_back(s); }
    void pop_state() {
        state_ = state_stack_.back();
        state_stack_.pop_back();
    }

    [[nodiscard]] bool stream_start(ScannerCore& sc, Event& ev, Marker& mk);
    [[nodiscard]] bool document_start(ScannerCore& sc, Event& ev, Marker& mk, bool implicit);
    [[nodiscard]] bool explicit_document_start(ScannerCore& sc, Event& ev, Marker& mk);
    [[nodiscard]] bool process_directives(ScannerCore& sc, std::optional<YamlVersion>& version,
                                          TagDirectives& directives);
    [[nodiscard]] bool document_content(ScannerCore& sc, Event& ev, Marker& mk);
    [[nodiscard]] bool document_end(ScannerCore& sc, Event& ev, Marker& mk);
    [[nodiscard]] bool block_sequence_entry(ScannerCore& sc, Event& ev, Marker& mk, bool first);
    [[nodiscard]] bool indentless_sequence_entry(ScannerCore& sc, Event& ev, Marker& mk);
    /// The node of a block sequence item whose "-" is at `entry`.
    [[nodiscard]] bool item_node(ScannerCore& sc, Event& ev, Marker& mk, const Marker& entry);
    [[nodiscard]] bool block_mapping_key(ScannerCore& sc, Event& ev, Marker& mk, bool first);
    [[nodiscard]] bool block_mapping_value(ScannerCore& sc, Event& ev, Marker& mk);
    [[nodiscard]] bool flow_sequence_entry(ScannerCore& sc, Event& ev, Marker& mk, bool first);
    [[nodiscard]] bool flow_sequence_entry_mapping_key(ScannerCore& sc, Event& ev, Marker& mk);
    [[nodiscard]] bool flow_sequence_entry_mapping_value(ScannerCore& sc, Event& ev, Marker& mk);
    [[nodiscard]] bool flow_mapping_key(ScannerCore& sc, Event& ev, Marker& mk, bool first);
    [[nodiscard]] bool flow_mapping_value(ScannerCore& sc, Event& ev, Marker& mk, bool empty);
    [[nodiscard]] bool parse_node(ScannerCore& sc, Event& ev, Marker& mk, bool block,
                                  bool indentless);
    [[nodiscard, gnu::noinline]] bool parse_other_node(ScannerCore& sc, Event& ev, Marker& mk,
                                                       bool block, bool indentless, Token* t);
    [[nodiscard]] bool resolve_tag(Marker m, std::string& handle, std::string& suffix, Tag& out);
    [[nodiscard]] bool open_block_collection(Marker m);
    void close_block_collection() noexcept { --block_depth_; }

    ParserState state_ = ParserState::StreamStart;
    std::vector<ParserState> state_stack_;
    std::unordered_map<std::string, std::size_t> anchor_ids_;
    std::size_t anchor_count_ = 0;
    std::vector<std::size_t> open_anchors_;  // per open collection: its anchor's number, or 0
    std::vector<Opener> open_flows_;         // per open flow collection: its bracket, if it has one
    bool scanner_failed_ = false;            // the error is the scanner's
    std::unordered_map<std::string, std::string> tag_handles_;
    std::size_t block_depth_ = 0;
    std::size_t last_end_ = 0;  // byte offset past the last token taken
    std::optional<ScanError> error_;
};

}  // namespace detail

/// The event parser over a character source (see `Scanner`).
template <class Source>
class Parser {
  public:
    explicit Parser(Source source) : scanner_(std::move(source)) {}

    /// The next event and the mark that goes with it, or the error that ends
    /// the parse (every later call returns it again).
    Result<std::pair<Event, Marker>> parse() {
        std::pair<Event, Marker> out;
        if (!core_.parse(scanner_, out.first, out.second)) return core_.error();
        return out;
    }

    /// As `parse()`, filling `event` and `mark` in place (no copies of the
    /// event for callers that reuse one).
    Status parse_into(Event& event, Marker& mark) {
        if (!core_.parse(scanner_, event, mark)) return core_.error();
        return {};
    }

    /// Comments passed since the driver last emptied the list, as (mark of
    /// the '#', text), in scanning order. The driver takes them after each
    /// successful `parse()`.
    std::vector<PendingComment>& pending_comments() noexcept { return core_.pending_comments; }
    std::vector<PendingComment> take_pending_comments() {
        std::vector<PendingComment> out;
        out.swap(core_.pending_comments);
        return out;
    }

    [[nodiscard]] ParserState state() const noexcept { return core_.state(); }
    /// After an error: what was left open before it (see `Opener`).
    [[nodiscard]] Opener open_at_error() const noexcept { return core_.open_at_error(scanner_); }
    Scanner<Source>& scanner() noexcept { return scanner_; }
    /// Whether comments are set aside for `pending_comments` (on by default).
    void keep_comments(bool keep) noexcept { core_.keep_comments = keep; }

  private:
    Scanner<Source> scanner_;
    detail::ParserCore core_;
};

using TextParser = Parser<TextSource>;

}  // namespace tesvorn
