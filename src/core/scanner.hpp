// The tokenizer: turns characters into tokens, one `next()` at a time, and
// keeps comments as tokens so that they can be put back on output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/char_traits.hpp"
#include "core/result.hpp"
#include "core/types.hpp"

namespace tesvorn {

/// Token kinds; the numbering is fixed (the parser relies on the order).
enum class TokenType : std::uint8_t {
    StreamStart,
    StreamEnd,
    VersionDirective,  // major, minor
    TagDirective,      // value = handle, suffix = prefix
    DocumentStart,
    DocumentEnd,
    BlockSequenceStart,
    BlockMappingStart,
    BlockEnd,
    FlowSequenceStart,
    FlowSequenceEnd,
    FlowMappingStart,
    FlowMappingEnd,
    BlockEntry,
    FlowEntry,
    Key,
    Value,
    Alias,    // value = name
    Anchor,   // value = name
    Tag,      // value = handle, suffix = suffix
    Scalar,   // value, style
    Comment,  // value = text
};

/// One token and the position where it starts. A flat record: each kind uses
/// the fields noted beside it in `TokenType`.
struct Token {
    TokenType type = TokenType::StreamStart;
    ScalarStyle style = ScalarStyle::Plain;
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    Marker mark;
    /// Scalars: the line of the last line of their text in the source.
    std::size_t end_line = 0;
    /// Byte offset just past the token's text (for a block scalar, past the
    /// line break of its last line).
    std::size_t end = 0;
    std::string value;
    std::string suffix;
    /// Scalars and comments read in place whose value is their text as it
    /// stands: that text, in the caller's buffer, and `value` is empty. The
    /// parser copies it once, where it keeps it; `next()` hands it out in
    /// `value`.
    std::string_view raw;

    Token() = default;
    Token(TokenType t, Marker m) : type(t), mark(m), end(m.pos) {}
    Token(TokenType t, Marker m, std::string v, std::string s = {})
        : type(t), mark(m), end(m.pos), value(std::move(v)), suffix(std::move(s)) {}
};

/// A character source over UTF-8 text held by the caller (not copied). Bytes
/// that are not valid UTF-8 are read as U+FFFD, one per maximal bad sequence.
class TextSource {
  public:
    explicit TextSource(std::string_view text) noexcept
        : p_(reinterpret_cast<const unsigned char*>(text.data())), end_(p_ + text.size()) {}

    /// The next character, or nothing at the end (and for ever after).
    std::optional<char32_t> next() noexcept {
        if (p_ == end_) return std::nullopt;
        if (*p_ < 0x80) return *p_++;
        const Decoded d = decode_multibyte(p_, end_);
        p_ += d.length;
        return d.c;
    }

    /// Takes up to `n` ASCII characters other than NUL into `dst`, stopping
    /// before any other byte; returns how many. The scanner's refills are
    /// mostly such runs, and this takes them without decoding.
    std::size_t take_ascii(char32_t* dst, std::size_t n) noexcept;

    /// What `take_run` took: as `ScannerCore::PulledRun`.
    struct Run {
        std::size_t count;
        std::size_t bytes;
        char32_t stop;
        bool ended;
        bool nul;
    };
    /// Takes characters while `run` accepts them, appending them as UTF-8 to
    /// `*out` unless `out` is null, and the character after them. Valid text
    /// is copied as it stands, a stretch at a time, not character by
    /// character.
    Run take_run(std::string* out, chars::Run run);

    /// The unread text up to its first character that YAML does not allow
    /// unescaped (`nul`: `bad` stands after it), when all of it is valid
    /// UTF-8 (`ok`): a scanner then reads it in place, byte by byte, instead
    /// of character by character through `next()`.
    struct Clean {
        std::string_view text;
        bool nul;
        bool ok;
        char32_t bad = 0;
    };
    [[nodiscard]] Clean clean_text() const noexcept;

  private:
    struct Decoded {
        char32_t c;
        unsigned length;
    };
    // A pure function of its arguments, so that the pointers of a copied
    // source can stay in registers in the caller's loop.
    static Decoded decode_multibyte(const unsigned char* p, const unsigned char* end) noexcept;

    const unsigned char* p_;
    const unsigned char* end_;
};

namespace detail {

/// Everything of the scanner that does not depend on the character source;
/// compiled once. A `Scanner<Source>` supplies characters through `pull`,
/// which is called once per refill of the lookahead, not per character.
class ScannerCore {
  public:
    ScannerCore(const ScannerCore&) = delete;
    ScannerCore& operator=(const ScannerCore&) = delete;
    virtual ~ScannerCore();

    /// The next token into `out`; false when there is none (the stream has
    /// ended or an error is stored).
    [[nodiscard]] bool next(Token& out);
    /// The next token, left in place: valid until `pop_token`; null when
    /// there is none. The parser reads tokens this way, without copies.
    [[nodiscard]] Token* peek_token() {
        // The parser peeks at a token again before it pops it.
        if (queue_ready_) return &queue_.front();
        return peek_token_slow();
    }
    /// Hands out the token `peek_token` returned.
    void pop_token() noexcept {
        if (queue_.front().type == TokenType::StreamEnd) stream_ended_ = true;
        queue_.pop_front();
        queue_ready_ = false;
        ++tokens_taken_;
    }
    /// The next token, or nothing (see `stored_error`).
    std::optional<Token> next() {
        Token t;
        if (!next(t)) return std::nullopt;
        return t;
    }
    /// The current position.
    [[nodiscard]] Marker mark() const noexcept { return mark_; }
    /// The error that stopped scanning, if any.
    [[nodiscard]] const std::optional<ScanError>& stored_error() const noexcept {
        return stored_error_;
    }
    /// After an error: the innermost flow collection or quoted scalar open
    /// there that began before it.
    [[nodiscard]] Opener open_at_error() const noexcept;

    /// Lookahead bound, in characters: the window over text held in memory.
    static constexpr unsigned kLookahead = 64;
    /// The window over sources read on demand, which are read no further
    /// ahead than this: a failed read then comes after the documents before
    /// it.
    static constexpr unsigned kStreamLookahead = 16;

  protected:
    ScannerCore();
    ScannerCore(ScannerCore&&) noexcept;
    ScannerCore& operator=(ScannerCore&&) noexcept;

    struct Pulled {
        std::size_t count;  // characters written
        bool nul;           // the source gave a character not allowed (`bad`) after them
        char32_t bad;
    };
    /// Writes up to `n` characters to `dst`. Fewer than `n` means the source
    /// has ended, or gave a character YAML does not allow unescaped (`nul`,
    /// NUL among them), which is not written.
    virtual Pulled pull(char32_t* dst, std::size_t n) = 0;

    struct PulledRun {
        std::size_t count;  // characters of the run (appended to the output)
        std::size_t bytes;  // their length in UTF-8
        char32_t stop;      // the character after the run, taken from the source
        bool ended;         // no such character: the source ended...
        bool nul;           // ...or gave a character not allowed (`stop`)
    };
    /// Takes characters from the source while `run` accepts them, appending
    /// them as UTF-8 to `*out` unless `out` is null. Used for long runs once
    /// the lookahead window is exhausted, so that they are handled once.
    virtual PulledRun pull_run(std::string* out, chars::Run run) = 0;

    unsigned window_ = kStreamLookahead;  // characters a refill fills the window to

    /// Reads [begin, end) in place instead of through `pull`: valid UTF-8
    /// of allowed characters; `nul_after` says `bad` stands at `end`.
    void read_bytes(const unsigned char* begin, const unsigned char* end, bool nul_after,
                    char32_t bad) noexcept;

  private:
    struct PotentialSimpleKey {
        std::size_t token_number = 0;
        Marker mark;
        bool possible = false;
        bool required = false;
    };
    struct IndentLevel {
        std::ptrdiff_t column;
        bool needs_block_end;
    };
    // Tokens not yet handed out: a ring of slots that are reused, so that a
    // token costs no construction and its strings keep their buffers, and
    // an insertion near the front (keys and collection starts are inserted
    // before tokens already queued) moves the few tokens before it.
    class TokenQueue {
      public:
        [[nodiscard]] std::size_t size() const noexcept { return size_; }
        [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
        Token& front() noexcept { return slots_[head_]; }
        Token& back() noexcept { return at(size_ - 1); }
        template <class... Args>
        Token& emplace_back(Args&&... args) {
            if (size_ == mask_ + 1) grow();
            ++size_;
            Token& t = back();
            set(t, std::forward<Args>(args)...);
            return t;
        }
        void push_back(Token&& t) {
            if (size_ == mask_ + 1) grow();
            ++size_;
            back() = std::move(t);
        }
        void emplace(std::size_t pos, TokenType type, const Marker& m) {
            // Mostly a key goes in at the front, where nothing moves.
            if (pos == 0 && size_ <= mask_) {
                head_ = (head_ + mask_) & mask_;
                ++size_;
                set(slots_[head_], type, m);
                return;
            }
            emplace_slow(pos, type, m);
        }
        void emplace_slow(std::size_t pos, TokenType type, const Marker& m);
        void pop_back() noexcept { --size_; }
        void pop_front() noexcept {
            head_ = (head_ + 1) & mask_;
            --size_;
        }
        void clear() noexcept { head_ = size_ = 0; }

      private:
        Token& at(std::size_t i) noexcept { return slots_[(head_ + i) & mask_]; }
        void grow();
        static void set(Token& t, TokenType type, const Marker& m) noexcept {
            t.type = type;
            t.style = ScalarStyle::Plain;
            t.major = t.minor = 0;
            t.mark = m;
            t.end_line = 0;
            t.end = m.pos;
            t.raw = {};
            // A slot whose text was not taken (a comment nobody keeps) does
            // not hold on to a large buffer.
            if (t.value.capacity() > 256) drop_buffer(t.value);
            t.value.clear();
            t.suffix.clear();
        }
        [[gnu::cold]] static void drop_buffer(std::string& s) noexcept;
        static void set(Token& t, TokenType type, const Marker& m, std::string&& value) {
            set(t, type, m);
            t.value = std::move(value);
        }
        static void set(Token& t, TokenType type, const Marker& m, std::string&& value,
                        std::string&& suffix) {
            set(t, type, m);
            t.value = std::move(value);
            t.suffix = std::move(suffix);
        }

        std::vector<Token> slots_;  // a power of two of them, or none
        // Their number less one, kept: a Token's size is no power of two, so
        // the vector's size would cost a division on every access.
        std::size_t mask_ = ~std::size_t{0};
        std::size_t head_ = 0;
        std::size_t size_ = 0;
    };

    // Characters. Text held in memory is read in place (bytes_): the
    // current character starts at bp_, and the end of the text reads as
    // kEnd. Other sources go through the lookahead window buf_[head_,
    // head_ + count_); it holds at most window_ characters and is moved to
    // the front of buf_ when it would run past the end, so a refill is one
    // contiguous pull. In place, count_ stays above any lookahead asked for.
    static unsigned sequence_length(unsigned char lead) noexcept {
        return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    }
    static char32_t decode(const unsigned char* p) noexcept {
        const unsigned b0 = p[0];
        if (b0 < 0x80) return b0;
        if (b0 < 0xE0) return ((b0 & 0x1Fu) << 6) | (p[1] & 0x3Fu);
        if (b0 < 0xF0) return ((b0 & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
        return ((b0 & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) |
               (p[3] & 0x3Fu);
    }
    char32_t cur() const noexcept {
        // (Through the window bp_ and bend_ are both null.)
        if (bp_ != bend_) return decode(bp_);
        return bytes_ ? chars::kEnd : buf_[head_];
    }
    // As `cur()` where only ASCII characters are looked for: in place, the
    // lead byte stands for a longer character (it equals none of them).
    char32_t cur_ascii() const noexcept {
        if (bp_ != bend_) return *bp_;
        return bytes_ ? chars::kEnd : buf_[head_];
    }
    char32_t at(unsigned i) const noexcept {
        if (!bytes_) return buf_[head_ + i];
        const unsigned char* p = bp_;
        for (; i > 0; --i) {
            if (p == bend_) return chars::kEnd;
            p += sequence_length(*p);
        }
        return p == bend_ ? chars::kEnd : decode(p);
    }
    void lookahead(unsigned n) {
        if (count_ < n) fill();
    }
    void fill();
    // Drops `n` characters, which in place must be ASCII.
    void drop(unsigned n) noexcept {
        if (bytes_) {
            bp_ += n;
            return;
        }
        head_ += n;
        count_ -= n;
    }
    void skip_blank() noexcept {
        ++mark_.index;
        ++mark_.col;
        ++mark_.pos;
        drop(1);
    }
    // Passes the ASCII indicator at the current position.
    void skip_indicator() noexcept {
        ++mark_.index;
        ++mark_.col;
        ++mark_.pos;
        leading_blanks_only_ = false;
        drop(1);
    }
    void skip_nonblank() noexcept {
        ++mark_.index;
        ++mark_.col;
        leading_blanks_only_ = false;
        if (bytes_) {
            // (At the end of input, as the window does: one byte on.)
            const unsigned n = bp_ == bend_ ? 0 : sequence_length(*bp_);
            bp_ += n;
            mark_.pos += n == 0 ? 1 : n;
            return;
        }
        mark_.pos += chars::utf8_length(cur());
        drop(1);
    }
    void skip_linebreak();
    void read_break(std::string& s);
    template <class Keep>
    void take_while(std::string& out, Keep keep);
    void take_run(std::string* out, chars::Run run) {
        if (bytes_)
            take_run_bytes(out, run);
        else
            take_run_window(out, run);
    }
    void take_run_bytes(std::string* out, chars::Run run);
    // Passes the text of a plain scalar up to the first blank or break that
    // may end it; returns its length in bytes.
    std::size_t take_plain_bytes(bool in_flow);
    template <bool in_flow>
    std::size_t take_plain_bytes_in();
    void take_run_window(std::string* out, chars::Run run);
    void skip_spaces() {
        if (!bytes_) {
            take_run(nullptr, chars::kRunSpaces);
            return;
        }
        // Mostly indentation: a few spaces, not worth a call.
        const unsigned char* p = bp_;
        while (p != bend_ && *p == ' ') ++p;
        const auto n = static_cast<std::size_t>(p - bp_);
        mark_.index += n;
        mark_.col += n;
        mark_.pos += n;
        bp_ = p;
    }
    std::ptrdiff_t col() const noexcept { return static_cast<std::ptrdiff_t>(mark_.col); }
    // The position `n` characters on, all of them ASCII on this line.
    Marker ascii_ahead(std::size_t n) const noexcept {
        Marker m = mark_;
        m.index += n;
        m.col += n;
        m.pos += n;
        return m;
    }

    [[nodiscard]] Token* peek_token_slow();

    // Errors: stored, and `false` passed up.
    [[nodiscard]] bool fail(Marker m, std::string_view message);
    // At the character not allowed that ended the input.
    [[nodiscard]] bool fail_bad_char();

    // Fetching.
    [[nodiscard]] bool fetch_more_tokens();
    [[nodiscard]] bool fetch_next_token();
    [[nodiscard]] bool stale_key_check() {
        // Most checks find no key pending; in flow collections only the
        // block-level key is checked, and outside them it is the only one.
        // (There is one key per flow level and one for the block level.)
        if (!potential_keys_.front().possible) return true;
        return stale_key_check_slow();
    }
    [[nodiscard]] bool stale_key_check_slow();
    [[nodiscard]] bool front_may_be_key() const noexcept;
    [[nodiscard]] bool skip_to_next_token();
    [[nodiscard]] bool skip_ws_to_eol(bool tabs_allowed, bool* found_tabs = nullptr,
                                      bool* found_spaces = nullptr);
    void capture_comment();
    void fetch_stream_start();
    [[nodiscard]] bool fetch_stream_end();
    [[nodiscard]] bool fetch_document_indicator(TokenType kind);
    [[nodiscard]] bool fetch_directive();
    [[nodiscard]] bool scan_version_number(Marker start, std::uint32_t& out);
    [[nodiscard]] bool scan_tag_prefix(Marker start, std::string& out);
    [[nodiscard]] bool fetch_flow_collection_start(TokenType kind);
    [[nodiscard]] bool fetch_flow_collection_end(TokenType kind);
    [[nodiscard]] bool fetch_flow_entry();
    [[nodiscard]] bool fetch_block_entry();
    [[nodiscard]] bool fetch_key();
    [[nodiscard]] bool fetch_value();
    // After a ':': tabs that follow it, and a key that tabs indent.
    [[nodiscard, gnu::noinline]] bool value_tabs(const PotentialSimpleKey& key);
    [[nodiscard]] bool fetch_plain_scalar();
    // The general case of a plain scalar: from its start, or past the text
    // `value` taken in place.
    [[nodiscard, gnu::noinline]] bool plain_scalar_rest(Marker start, std::ptrdiff_t indent,
                                                        std::string value);
    [[nodiscard]] bool plain_scalar_ended(std::ptrdiff_t indent, bool in_flow);
    [[nodiscard]] bool line_ends_scalar(std::ptrdiff_t indent);
    [[nodiscard]] bool take_quoted_bytes(bool single, std::string_view& text);
    [[nodiscard]] bool fetch_flow_scalar(bool single);
    [[nodiscard]] bool scan_escape(std::string& out);
    [[nodiscard]] bool fetch_block_scalar(bool literal);
    void skip_block_scalar_indent(std::ptrdiff_t indent, std::string& breaks);
    [[nodiscard]] bool fetch_anchor(bool alias);
    [[nodiscard]] bool fetch_tag();
    [[nodiscard]] bool scan_tag_handle(bool directive, Marker m, std::string& out);
    [[nodiscard]] bool scan_tag_shorthand_suffix(std::string_view head, Marker m, std::string& out);
    [[nodiscard]] bool scan_uri_escapes(Marker m, std::string& out);
    void implicit_mapping_end();

    // Simple keys and indentation.
    [[gnu::always_inline]] void save_simple_key() {
        if (!simple_key_permitted_) return;
        const bool required = flow_depth_ == 0 && current_indent_ == col() &&
                              !indent_stack_.empty() && indent_stack_.back().needs_block_end;
        // Field by field: no temporary to copy over.
        PotentialSimpleKey& key = potential_keys_.back();
        key.token_number = tokens_taken_ + queue_.size();
        key.mark = mark_;
        key.possible = true;
        key.required = required;
    }
    [[nodiscard]] bool remove_simple_key();
    void roll_indent(std::ptrdiff_t column, std::optional<std::size_t> insert_at, TokenType kind,
                     const Marker& m) {
        // Mostly a further key or entry of the collection already open.
        if (flow_depth_ > 0 || current_indent_ > column ||
            (current_indent_ == column && !indent_stack_.empty() &&
             indent_stack_.back().needs_block_end))
            return;
        roll_indent_slow(column, insert_at, kind, m);
    }
    void roll_indent_slow(std::ptrdiff_t column, std::optional<std::size_t> insert_at,
                          TokenType kind, const Marker& m);
    void unroll_indent(std::ptrdiff_t column) {
        // Checked before every token; mostly there is nothing to close.
        if (flow_depth_ == 0 && current_indent_ > column) unroll_indent_slow(column);
    }
    void unroll_indent_slow(std::ptrdiff_t column);
    void unroll_provisional();
    [[gnu::always_inline]] void roll_one_column() {
        if (flow_depth_ > 0 || indent_stack_.empty() || !indent_stack_.back().needs_block_end)
            return;
        indent_stack_.push_back(IndentLevel{current_indent_, false});
        ++current_indent_;
    }
    bool at_document_indicator() const noexcept;
    // Whether a block collection opening at `m` would be indented with a
    // tab: `m` follows tabs after a line start or a block indicator.
    bool tab_indented(const Marker& m) const noexcept {
        if (flow_depth_ > 0 || m.line != tab_line_ || m.col != tab_col_) return false;
        std::ptrdiff_t indent = current_indent_;
        const auto column = static_cast<std::ptrdiff_t>(m.col);
        if (!indent_stack_.empty() && !indent_stack_.back().needs_block_end && indent <= column)
            indent = indent_stack_.back().column;
        return indent < column;
    }
    void note_tab() noexcept {
        tab_line_ = mark_.line;
        tab_col_ = mark_.col;
    }
    [[nodiscard]] bool fail_tab_indented(const Marker& m) {
        return fail(m, "tabs disallowed within this context (block indentation)");
    }

    Marker mark_;
    // Where a tab last separated something from a line start or a block
    // indicator (see tab_indented).
    std::size_t tab_line_ = ~std::size_t{0};
    std::size_t tab_col_ = 0;
    std::size_t last_break_end_ = 0;     // byte offset past the last line break read
    char32_t buf_[3 * kLookahead] = {};  // room for the move in fill()
    unsigned head_ = 0;
    unsigned count_ = 0;
    bool source_done_ = false;
    bool nul_seen_ = false;  // the input ends at a character not allowed...
    char32_t bad_char_ = 0;  // ...this one
    bool bytes_ = false;
    const unsigned char* bp_ = nullptr;
    const unsigned char* bend_ = nullptr;

    TokenQueue queue_;
    std::size_t tokens_taken_ = 0;
    std::vector<PotentialSimpleKey> potential_keys_;
    std::ptrdiff_t current_indent_ = -1;
    std::vector<IndentLevel> indent_stack_;
    unsigned flow_depth_ = 0;
    bool simple_key_permitted_ = true;
    bool leading_blanks_only_ = true;
    std::size_t adjacent_value_index_ = 0;
    bool flow_mapping_open_ = false;
    bool implicit_mapping_open_ = false;
    // The two flags above of each enclosing flow collection.
    std::vector<std::pair<bool, bool>> outer_pairs_;
    // The open flow collections (innermost last), and the quoted scalar an
    // error stopped in, for the error to say what was left open.
    std::vector<Opener> open_flows_;
    Opener open_quote_;
    bool stream_started_ = false;
    bool stream_ended_ = false;
    bool queue_ready_ = false;
    std::optional<ScanError> stored_error_;

    // Scratch strings of the scalar routines, kept for their capacity.
    std::string whitespaces_;
    std::string leading_break_;
    std::string trailing_breaks_;
};

}  // namespace detail

/// The tokenizer over a character source: any type with
/// `std::optional<char32_t> next()` that keeps returning nothing after the end.
template <class Source>
class Scanner final : public detail::ScannerCore {
  public:
    explicit Scanner(Source source) : source_(std::move(source)) {
        if constexpr (requires(Source & s, char32_t* dst) { s.take_ascii(dst, 1); })
            window_ = kLookahead;
        if constexpr (requires(const Source& s) { s.clean_text(); }) {
            // Text that is not valid UTF-8 goes through the window, which
            // reads what is bad as U+FFFD.
            const auto clean = source_.clean_text();
            if (clean.ok) {
                const auto* begin = reinterpret_cast<const unsigned char*>(clean.text.data());
                read_bytes(begin, begin + clean.text.size(), clean.nul, clean.bad);
            }
        }
    }
    Scanner(Scanner&&) noexcept = default;
    Scanner& operator=(Scanner&&) noexcept = default;
    ~Scanner() override = default;

    Source& source() noexcept { return source_; }

  private:
    Pulled pull(char32_t* dst, std::size_t n) override {
        if constexpr (std::is_trivially_copyable_v<Source>) {
            // A local copy lets the compiler keep the source's state in
            // registers instead of reloading it after every store.
            Source local = source_;
            const Pulled got = pull_from(local, dst, n);
            source_ = local;
            return got;
        } else {
            return pull_from(source_, dst, n);
        }
    }

    PulledRun pull_run(std::string* out, chars::Run run) override {
        if constexpr (std::is_trivially_copyable_v<Source>) {
            Source local = source_;
            const PulledRun got = run_from(local, out, run);
            source_ = local;
            return got;
        } else {
            return run_from(source_, out, run);
        }
    }

    static PulledRun run_from(Source& source, std::string* out, chars::Run run) {
        if constexpr (requires { source.take_run(out, run); }) {
            const auto got = source.take_run(out, run);
            return {got.count, got.bytes, got.stop, got.ended, got.nul};
        }
        char buf[256];
        std::size_t len = 0;
        std::size_t count = 0;
        std::size_t bytes = 0;
        PulledRun got{};
        for (;;) {
            const std::optional<char32_t> c = source.next();
            if (!c) {
                got = {count, bytes, 0, true, false};
                break;
            }
            const char32_t ch = *c;
            if (ch < 0x80) {
                // One lookup: the table also stops every run at NUL.
                if (chars::detail::kRunStops[ch] & run) {
                    const bool bad = !chars::is_printable(ch);
                    got = {count, bytes, ch, bad, bad};
                    break;
                }
                if (out) buf[len++] = static_cast<char>(ch);
                ++bytes;
            } else {
                if (!chars::is_printable(ch)) {
                    got = {count, bytes, ch, true, true};
                    break;
                }
                if (!chars::run_accepts(run, ch)) {
                    got = {count, bytes, ch, false, false};
                    break;
                }
                if (out) len += chars::encode_utf8(buf + len, ch);
                bytes += chars::utf8_length(ch);
            }
            ++count;
            if (len > sizeof buf - 4) {
                out->append(buf, len);
                len = 0;
            }
        }
        if (len > 0) out->append(buf, len);
        return got;
    }

    static Pulled pull_from(Source& source, char32_t* dst, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            if constexpr (requires { source.take_ascii(dst, n); }) {
                i += source.take_ascii(dst + i, n - i);
                if (i == n) break;
            }
            std::optional<char32_t> c = source.next();
            if (!c) return {i, false, 0};
            if (!chars::is_printable(*c)) return {i, true, *c};
            dst[i] = *c;
        }
        return {n, false, 0};
    }

    Source source_;
};

using TextScanner = Scanner<TextSource>;

}  // namespace tesvorn
