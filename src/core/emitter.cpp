#include "core/emitter.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <unordered_set>

namespace tesvorn {
namespace detail {
namespace {

constexpr std::string_view kYamlTagPrefix = "tag:yaml.org,2002:";

// A block-context implicit key must reach its ':' within 1024 characters of
// its start, or readers give up on it; longer keys are written after "? ".
constexpr std::size_t kMaxSimpleKey = 1000;

// Text reaches a fallible sink in fragments of about this size.
constexpr std::size_t kChunk = std::size_t{1} << 16;

constexpr char kHex[] = "0123456789ABCDEF";

// ---------------------------------------------------------------------------
// Character classes

bool is_blank(char c) noexcept {
    return c == ' ' || c == '\t';
}
bool is_digit(char c) noexcept {
    return c >= '0' && c <= '9';
}

bool is_word(unsigned char c) noexcept {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
           c == '_';
}

// Byte classes for the scans below.
enum : std::uint8_t {
    kLead = 1,   // first byte of a multi-byte character that may need an escape
    kCtl = 2,    // C0 control or DEL
    kPlain = 4,  // matters for the plain test: ':' '#' and the flow indicators
    kQuote = 8,  // needs an escape inside double quotes: '"' and '\'
};

constexpr std::array<std::uint8_t, 256> make_classes() {
    std::array<std::uint8_t, 256> t{};
    for (int c = 0; c < 0x20; ++c) t[c] = kCtl;
    t[0x7F] = kCtl;
    t[0xC2] = kLead;  // U+0080..U+009F (C1 controls, NEL)
    t[0xE2] = kLead;  // U+2028, U+2029
    t[0xEF] = kLead;  // U+FEFF, U+FFFE, U+FFFF
    for (unsigned char c : std::string_view(":#,[]{}")) t[c] = kPlain;
    t['"'] = kQuote;
    t['\\'] = kQuote;
    return t;
}
constexpr std::array<std::uint8_t, 256> kClasses = make_classes();

/// When the bytes at `p` start one of the multi-byte characters that YAML
/// does not allow raw (C1 controls, U+FFFE, U+FFFF) or that readers take as
/// line breaks or a byte order mark (NEL, U+2028, U+2029, U+FEFF): its
/// length, with the code point in `cp`. Otherwise 0.
std::size_t special_multibyte(const unsigned char* p, const unsigned char* end,
                              std::uint32_t& cp) noexcept {
    const auto n = end - p;
    if (p[0] == 0xC2) {
        if (n >= 2 && p[1] >= 0x80 && p[1] <= 0x9F) {
            cp = p[1];
            return 2;
        }
    } else if (p[0] == 0xE2) {
        if (n >= 3 && p[1] == 0x80 && (p[2] == 0xA8 || p[2] == 0xA9)) {
            cp = 0x2000u + (p[2] - 0x80u);
            return 3;
        }
    } else if (p[0] == 0xEF) {
        if (n >= 3 && ((p[1] == 0xBB && p[2] == 0xBF) || (p[1] == 0xBF && p[2] >= 0xBE))) {
            cp = 0xF000u + ((p[1] - 0x80u) << 6) + (p[2] - 0x80u);
            return 3;
        }
    }
    return 0;
}

/// What one pass over a string finds out for the quoting decisions.
struct TextScan {
    bool line_feed = false;     // holds "\n"
    bool escape_only = false;   // holds CR or a character only escapes can carry
    bool breaks_plain = false;  // ": ", ":<TAB>", " #", "<TAB>#" or a final ':'
    bool flow_char = false;     // one of , [ ] { }
    bool tab = false;           // holds a tab

    [[nodiscard]] bool needs_double() const noexcept { return line_feed || escape_only; }
};

TextScan scan_text(std::string_view t) noexcept {
    TextScan s;
    const auto* const begin = reinterpret_cast<const unsigned char*>(t.data());
    const auto* const end = begin + t.size();
    for (const unsigned char* p = begin; p < end; ++p) {
        const std::uint8_t cls = kClasses[*p];
        if (cls == 0 || cls == kQuote) continue;
        const unsigned char c = *p;
        if (cls == kCtl) {
            if (c == '\n') {
                s.line_feed = true;
            } else if (c == '\t') {
                s.tab = true;
            } else {
                s.escape_only = true;
            }
        } else if (cls == kLead) {
            std::uint32_t cp = 0;
            if (special_multibyte(p, end, cp) != 0) s.escape_only = true;
        } else if (c == ':') {
            if (p + 1 == end || is_blank(static_cast<char>(p[1]))) s.breaks_plain = true;
        } else if (c == '#') {
            if (p != begin && is_blank(static_cast<char>(p[-1]))) s.breaks_plain = true;
        } else {
            s.flow_char = true;
        }
    }
    return s;
}

/// True when `t` written plain reads back as exactly `t` (typing aside): no
/// indicator at the start, nothing that ends the scalar early, no blanks at
/// the ends, no document marker. Flow context also excludes , [ ] { } and a
/// leading '?' or ':'.
bool plain_syntax_ok(std::string_view t, bool flow, const TextScan& s) noexcept {
    if (t.empty() || s.needs_double() || s.breaks_plain || (flow && s.flow_char)) return false;
    const char c = t[0];
    // Indicators, quotes and blanks cannot start a plain scalar.
    if (std::string_view("#,[]{}&*!|>'\"%@` \t").find(c) != std::string_view::npos) return false;
    // '-', '?' and ':' can when a non-blank follows (not '?' and ':' in flow).
    if (c == '-' || c == '?' || c == ':') {
        if (t.size() == 1 || is_blank(t[1]) || (flow && c != '-')) return false;
    }
    if (is_blank(t.back())) return false;
    // A '-' after a blank starts a word, and the reader refuses a word '-'
    // followed by , ] or }: in flow context one of them follows the scalar.
    if (flow && t.size() >= 2 && t.back() == '-' && is_blank(t[t.size() - 2])) return false;
    if (t.size() >= 3 && (t.starts_with("---") || t.starts_with("...")) &&
        (t.size() == 3 || is_blank(t[3])))
        return false;
    return true;
}

bool is_reserved_word(std::string_view t) noexcept {
    static constexpr std::string_view kWords[] = {
        "~",     "on",    "On",    "ON",    "no",    "No",   "NO",   "yes",  "Yes",
        "YES",   "off",   "Off",   "OFF",   "---",   "...",  "null", "Null", "NULL",
        "true",  "True",  "TRUE",  ".inf",  ".Inf",  ".INF", ".nan", ".NaN", ".NAN",
        "false", "False", "FALSE", "-.inf", "-.Inf", "-.INF"};
    if (t.size() > 5) return false;
    for (std::string_view w : kWords)
        if (w == t) return true;
    return false;
}

/// Mirrors the reader's typing: texts that would read back as a number.
bool is_number_like(std::string_view t) noexcept {
    std::string_view body = t;
    if (!body.empty() && (body[0] == '+' || body[0] == '-')) body.remove_prefix(1);
    if (body.empty() || !(is_digit(body[0]) || body[0] == '.')) return false;
    std::int64_t i = 0;
    if (body.size() >= 2 && body[0] == '0') {
        if (body[1] == 'x' || body[1] == 'X') return parse_i64(body.substr(2), 16, i);
        if (body[1] == 'o' || body[1] == 'O') return parse_i64(body.substr(2), 8, i);
    }
    if (parse_i64(t, 10, i)) return true;
    double d = 0;
    return t.find_first_of(".eE") != std::string_view::npos && parse_f64(t, d);
}

/// The plain test for a string value.
bool plain_value_ok(std::string_view t, bool flow, const TextScan& s) noexcept {
    // Tabs are valid inside plain scalars, but several readers (PyYAML among
    // them) reject them there; quoted, they read back everywhere.
    if (s.tab || !plain_syntax_ok(t, flow, s)) return false;
    // Values starting with - ? < or = are quoted as well: to other readers
    // some of them are indicators (YAML 1.1 merge and value keys).
    if (t[0] == '-' || t[0] == '?' || t[0] == '<' || t[0] == '=') return false;
    return !is_reserved_word(t) && !is_number_like(t);
}

/// The plain test for a mapping key. Keys are never typed, so only syntax
/// matters; "<<" stays plain as the merge key.
bool plain_key_ok(std::string_view t, bool flow, const TextScan& s) noexcept {
    if (t == "<<") return true;
    if (s.tab || !plain_syntax_ok(t, flow, s)) return false;
    return t[0] != '?' && t[0] != '<' && t[0] != '=';
}

bool is_block_style(ScalarStyle s) noexcept {
    return s == ScalarStyle::Literal || s == ScalarStyle::Folded;
}

/// Whether a block scalar can carry `t`: it holds no CR or character that
/// needs an escape, and is not made of line feeds only (readers give those
/// back as an empty string).
bool block_can_hold(std::string_view t) noexcept {
    if (scan_text(t).escape_only) return false;
    return t.empty() || t.find_first_not_of('\n') != std::string_view::npos;
}

// ---------------------------------------------------------------------------
// Scalar text

void append_hex_escape(std::string& out, char kind, std::uint32_t cp, int digits) {
    out += '\\';
    out += kind;
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += kHex[(cp >> shift) & 0xF];
}

void append_double_quoted(std::string& out, std::string_view t) {
    out += '"';
    const auto* const begin = reinterpret_cast<const unsigned char*>(t.data());
    const auto* const end = begin + t.size();
    const unsigned char* run = begin;  // start of the bytes not yet copied
    for (const unsigned char* p = begin; p < end;) {
        const std::uint8_t cls = kClasses[*p];
        if ((cls & (kCtl | kQuote | kLead)) == 0) {
            ++p;
            continue;
        }
        std::uint32_t cp = *p;
        std::size_t len = 1;
        if (cls == kLead) {
            len = special_multibyte(p, end, cp);
            if (len == 0) {
                ++p;
                continue;
            }
        }
        out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
        switch (cp) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\0':
                out += "\\0";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case 0x85:
                out += "\\N";
                break;
            case 0x2028:
                out += "\\L";
                break;
            case 0x2029:
                out += "\\P";
                break;
            default:
                if (cp < 0x100) {
                    append_hex_escape(out, 'x', cp, 2);
                } else {
                    append_hex_escape(out, 'u', cp, 4);
                }
        }
        p += len;
        run = p;
    }
    out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(end - run));
    out += '"';
}

void append_single_quoted(std::string& out, std::string_view t) {
    out += '\'';
    for (std::size_t pos = 0;;) {
        const std::size_t q = t.find('\'', pos);
        if (q == std::string_view::npos) {
            out.append(t.substr(pos));
            break;
        }
        out.append(t.substr(pos, q + 1 - pos));
        out += '\'';
        pos = q + 1;
    }
    out += '\'';
}

void append_float(std::string& out, double d) {
    if (std::isnan(d)) {
        out += ".nan";
    } else if (std::isinf(d)) {
        out += d > 0 ? ".inf" : "-.inf";
    } else {
        const std::size_t start = out.size();
        append_shortest_fixed(out, d);
        if (out.find_first_of(".eE", start) == std::string::npos) out += ".0";
    }
}

/// The one-line text of a string value in `style`.
void append_string(std::string& out, std::string_view t, ScalarStyle style, bool flow) {
    const TextScan s = scan_text(t);
    if (style == ScalarStyle::Plain && plain_value_ok(t, flow, s)) {
        out.append(t);
    } else if ((style == ScalarStyle::Plain || style == ScalarStyle::Single) && !s.needs_double()) {
        append_single_quoted(out, t);
    } else {
        append_double_quoted(out, t);
    }
}

void append_value(std::string& out, const ScalarValue& v, ScalarStyle style, bool flow) {
    switch (v.kind()) {
        case ScalarValue::Int: {
            std::array<char, 24> buf;
            const auto res = std::to_chars(buf.data(), buf.data() + buf.size(), v.as_int());
            out.append(buf.data(), res.ptr);
            break;
        }
        case ScalarValue::Float:
            append_float(out, v.as_float());
            break;
        case ScalarValue::Bool:
            out += v.as_bool() ? "true" : "false";
            break;
        case ScalarValue::Str:
            // A plain decimal integer of any size reads back as an integer.
            if (style == ScalarStyle::Plain && is_decimal_integer(v.as_str())) {
                append_single_quoted(out, v.as_str());
            } else {
                append_string(out, v.as_str(), style, flow);
            }
            break;
        case ScalarValue::Null:
            out += "null";
            break;
        case ScalarValue::BigInt:
            out += v.as_big_int();
            break;
    }
}

/// A key's text in its style (block styles give the double-quoted form).
void append_key(std::string& out, std::string_view key, ScalarStyle style, bool flow) {
    const TextScan s = scan_text(key);
    if (style == ScalarStyle::Plain && plain_key_ok(key, flow, s)) {
        out.append(key);
    } else if ((style == ScalarStyle::Plain || style == ScalarStyle::Single) && !s.needs_double()) {
        append_single_quoted(out, key);
    } else {
        append_double_quoted(out, key);
    }
}

// ---------------------------------------------------------------------------
// Anchors and tags

/// Anchor names are written as they are, unless a reader could not take
/// them back (blanks, line breaks, flow indicators, characters that need an
/// escape, or no character at all): then the offending bytes are written as
/// %XX, so that the anchor and its aliases still match.
void append_anchor_name(std::string& out, std::string_view name) {
    const auto bad = [](unsigned char c) {
        return c <= ' ' || c == 0x7F || c == ',' || c == '[' || c == ']' || c == '{' || c == '}';
    };
    const TextScan s = scan_text(name);
    bool valid = !name.empty() && !s.needs_double() && !s.flow_char;
    for (std::size_t i = 0; valid && i < name.size(); ++i)
        valid = !bad(static_cast<unsigned char>(name[i]));
    if (valid) {
        out.append(name);
        return;
    }
    if (name.empty()) {
        out += '%';
        return;
    }
    const auto* const begin = reinterpret_cast<const unsigned char*>(name.data());
    const auto* const end = begin + name.size();
    for (const unsigned char* p = begin; p < end;) {
        std::uint32_t cp = 0;
        std::size_t len = kClasses[*p] == kLead ? special_multibyte(p, end, cp) : 0;
        if (len == 0 && !bad(*p) && *p != '%') {
            out += static_cast<char>(*p++);
            continue;
        }
        for (std::size_t k = 0; k < std::max<std::size_t>(len, 1); ++k, ++p) {
            out += '%';
            out += kHex[*p >> 4];
            out += kHex[*p & 0xF];
        }
    }
}

bool is_tag_char(unsigned char c) noexcept {
    return is_word(c) || std::string_view("#;/?:@&=+$.~*'()").find(static_cast<char>(c)) !=
                             std::string_view::npos;
}

bool is_uri_char(unsigned char c) noexcept {
    return is_word(c) || std::string_view("#;/?:@&=+$,_.!~*'()[]").find(static_cast<char>(c)) !=
                             std::string_view::npos;
}

/// Appends `s` with every byte a tag may not hold raw written as %XX (the
/// reader decodes these); `verbatim` allows the wider set of `!<...>`.
void append_tag_text(std::string& out, std::string_view s, bool verbatim) {
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (verbatim ? is_uri_char(c) : is_tag_char(c)) {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
}

/// A %TAG prefix as the reader takes it back: the reader decodes %XX, so a
/// decoded character that is not a URI character (a space, a line break,
/// "%" itself) is escaped again; a first character may also be "!", but not
/// "," "[" or "]".
std::string prefix_text(std::string_view prefix) {
    std::string out;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const auto c = static_cast<unsigned char>(prefix[i]);
        const bool raw = i == 0 ? c == '!' || (is_uri_char(c) && c != ',' && c != '[' && c != ']')
                                : is_uri_char(c);
        if (raw) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    return out;
}

bool valid_handle(std::string_view h) noexcept {
    if (h == "!" || h == "!!") return true;
    if (h.size() < 3 || h.front() != '!' || h.back() != '!') return false;
    return std::all_of(h.begin() + 1, h.end() - 1,
                       [](char c) { return is_word(static_cast<unsigned char>(c)); });
}

/// The text of `tag` that reads back as `tag` in a document with the given
/// %TAG directives: a shorthand where one fits, else the verbatim form.
void append_tag(std::string& out, std::string_view tag, const DocMetadata& meta) {
    if (tag == "!") {
        out += '!';
        return;
    }
    bool declares_primary = false, declares_secondary = false;
    for (const auto& d : meta.tag_directives) {
        declares_primary = declares_primary || d.first == "!";
        declares_secondary = declares_secondary || d.first == "!!";
    }
    // A prefix declared by %TAG gives the form the document was written in.
    for (const auto& [handle, prefix] : meta.tag_directives) {
        if (!prefix.empty() && tag.size() > prefix.size() && tag.starts_with(prefix) &&
            valid_handle(handle)) {
            out += handle;
            append_tag_text(out, tag.substr(prefix.size()), false);
            return;
        }
    }
    std::string_view standard_rest;
    bool standard = false;
    if (tag.starts_with(kYamlTagPrefix) && tag.size() > kYamlTagPrefix.size()) {
        standard_rest = tag.substr(kYamlTagPrefix.size());
        standard = true;
    } else if (tag.starts_with("!!") && tag.size() > 2) {
        // "!!x" is the shorthand of the standard tag x.
        standard_rest = tag.substr(2);
        standard = true;
    }
    if (standard) {
        if (!declares_secondary) {
            out += "!!";
            append_tag_text(out, standard_rest, false);
        } else {
            out += "!<";
            out += kYamlTagPrefix;
            append_tag_text(out, standard_rest, true);
            out += '>';
        }
        return;
    }
    if (tag.size() >= 2 && tag[0] == '!' && tag[1] != '!' && !declares_primary) {
        // A later '!' is escaped so that the reader does not take a named
        // handle.
        out += '!';
        append_tag_text(out, tag.substr(1), false);
        return;
    }
    out += "!<";
    append_tag_text(out, tag, true);
    out += '>';
}

// ---------------------------------------------------------------------------
// The emitter

/// Where an inline node goes: plain scalars are stricter inside flow
/// collections, and an empty plain scalar cannot stand alone as a flow
/// sequence item.
enum class Place : std::uint8_t { Block, FlowValue, FlowItem };

const std::string* opt(const OptString& s) noexcept {
    return s.get();
}

}  // namespace

class Emitter {
  public:
    Emitter(std::string& out, Sink* sink, std::size_t step, const DocMetadata& meta)
        : out_(out), sink_(sink), step_(step == 0 ? 2 : step), meta_(meta) {}

    bool emit_document(const YamlNode& root, bool start_marker, bool end_previous);

    // The parts of a document, for writing it piece by piece (BlockWriter).
    void begin_document(bool start_marker, bool end_previous);
    void end_document(bool explicit_end) {
        if (last_char() != '\n') put('\n');
        if (explicit_end) put("...\n");
    }
    /// The line of a root block collection's anchor and tag, if any. Right
    /// after "---" they go on the marker's line: on a line of their own
    /// there, a reader would count that line as blank before the content.
    void root_properties(const std::string* anchor, const std::string* tag) {
        if (anchor == nullptr && tag == nullptr) return;
        if (marker_end_ == out_.size()) out_.back() = ' ';
        write_anchor_tag_inline(anchor, tag);
        out_.back() = '\n';
    }
    /// The entries or items of a non-empty block collection at `indent`.
    void block_content(const YamlNode& node, std::size_t indent) {
        if (const YamlMapping* m = node.mapping()) {
            for (const auto& slot : m->entries)
                (void)emit_mapping_entry(slot.key, slot.value, indent);
        } else if (const YamlSequence* s = node.sequence()) {
            for (const YamlItem& item : s->items) (void)emit_sequence_item(item, indent);
        }
    }
    /// Everything of an entry up to the contents of its value, a non-empty
    /// block collection with `anchor` and `tag`.
    void open_value(std::string_view key, const YamlEntry& e, const std::string* anchor,
                    const std::string* tag, std::size_t indent) {
        entry_lead(e, indent);
        (void)emit_mapping_key(key, e, indent);
        write_anchor_tag_block_suffix(anchor, tag);
        push_inline_comment(opt(e.comment_inline));
        put('\n');
    }
    void trailing_blank_lines(std::size_t n) { blank_lines(n); }
    [[nodiscard]] std::size_t step() const noexcept { return step_; }

    /// Hands the rest of the text to the sink.
    bool finish() {
        if (sink_ != nullptr && !out_.empty()) flush();
        return !failed_;
    }

  private:
    // Output -----------------------------------------------------------------
    void put(std::string_view s) { out_.append(s); }
    void put(char c) { out_ += c; }
    void spaces(std::size_t n) { out_.append(n, ' '); }
    [[nodiscard]] std::size_t pos() const noexcept { return flushed_ + out_.size(); }
    void flush() {
        if (!failed_ && !sink_->write(out_)) failed_ = true;
        flushed_ += out_.size();
        out_.clear();
    }
    /// Called between entries and items: passes full fragments on to a sink
    /// and reports whether writing may go on.
    bool checkpoint() {
        if (sink_ != nullptr && out_.size() >= kChunk) flush();
        return !failed_;
    }
    [[nodiscard]] int last_char() const noexcept {
        if (!out_.empty()) return static_cast<unsigned char>(out_.back());
        return sink_ != nullptr ? sink_->last_char() : -1;
    }
    /// Blank lines; none right after a keep-chomped block scalar, which
    /// would take them as its own content.
    void blank_lines(std::size_t n) {
        if (n != 0 && pos() != after_keep_) out_.append(n, '\n');
    }

    // Nodes ------------------------------------------------------------------
    bool emit_node(const YamlNode& node, std::size_t indent);
    bool emit_mapping(const YamlMapping& map, std::size_t indent);
    bool emit_sequence(const YamlSequence& seq, std::size_t indent);
    bool emit_mapping_entries(const YamlMapping& map, std::size_t indent, bool inline_first);
    bool emit_sequence_items(const YamlSequence& seq, std::size_t indent, bool inline_first);
    /// Blank lines, comment lines and indentation before an entry or item.
    template <class EntryOrItem>
    void entry_lead(const EntryOrItem& e, std::size_t indent) {
        blank_lines(e.blank_lines_before);
        emit_comment_before(opt(e.comment_before), indent);
        spaces(indent);
    }
    bool emit_mapping_entry(std::string_view key, const YamlEntry& e, std::size_t indent) {
        entry_lead(e, indent);
        return emit_mapping_key(key, e, indent) && emit_mapping_value(e, indent) && checkpoint();
    }
    bool emit_sequence_item(const YamlItem& item, std::size_t indent) {
        entry_lead(item, indent);
        put("- ");
        return emit_item_body(item, indent) && checkpoint();
    }
    bool emit_mapping_inline_first(const YamlMapping& map, std::size_t indent) {
        return emit_mapping_entries(map, indent, true);
    }
    bool emit_sequence_inline_first(const YamlSequence& seq, std::size_t indent) {
        return emit_sequence_items(seq, indent, true);
    }
    bool emit_mapping_key(std::string_view key, const YamlEntry& entry, std::size_t indent);
    bool emit_mapping_value(const YamlEntry& entry, std::size_t indent);
    bool emit_item_body(const YamlItem& item, std::size_t indent);
    bool emit_tagged_or_inline_first(const YamlNode& node, const std::string* comment,
                                     std::size_t indent);
    void emit_node_inline(const YamlNode& node, Place place);
    void emit_scalar_inline(const YamlScalar& s, Place place);
    void emit_key(std::string_view key, ScalarStyle style, bool flow) {
        append_key(out_, key, style, flow);
    }
    void emit_block_scalar(const std::string* anchor, const std::string* tag, std::string_view text,
                           ScalarStyle style, std::size_t base, const std::string* comment);
    void emit_sequence_flow(const YamlSequence& seq);
    void emit_mapping_flow(const YamlMapping& map);

    // Properties and comments ------------------------------------------------
    /// "&name", remembered: an alias may only follow its anchor.
    void put_anchor(const std::string& name) {
        put('&');
        append_anchor_name(out_, name);
        anchors_.insert(name);
    }
    [[nodiscard]] bool written(const std::string& name) const { return anchors_.contains(name); }
    // An alias whose anchor is not written before it (the anchored node was
    // removed, replaced by a later duplicate key, or moved behind the alias
    // by an edit or a sort) would give text no reader accepts. It is written
    // as the node it stands for instead (inline, so a block collection
    // takes flow form), carrying the anchor's name, so that the text loads
    // to the same data and later aliases of the name resolve.
    static YamlNode node_instead_of_alias(const AliasNode& alias);
    static void anchor_instead_of_alias(YamlEntry& entry) {
        // The key text is the aliased scalar's already.
        entry.key_anchor = std::move(entry.key_alias);
        entry.key_alias = std::nullopt;
    }
    void write_anchor_tag_inline(const std::string* anchor, const std::string* tag);
    void write_anchor_tag_block_suffix(const std::string* anchor, const std::string* tag);
    void emit_comment_before(const std::string* text, std::size_t indent);
    void push_inline_comment(const std::string* text);
    void write_comment_text(std::string_view text);
    /// Turns the simple key written from `start` on into an explicit one
    /// when it is too long for readers to take as a simple key.
    bool make_explicit_if_long(std::size_t start);

    /// Block scalars are written as such only for strings they can carry;
    /// everything else takes its one-line form.
    static bool block_form(const YamlScalar& s) {
        return is_block_style(s.style) && s.value.is_str() && block_can_hold(s.value.as_str());
    }
    /// Columns an inline-first collection moves in from its dash: the step,
    /// but at least the two of "- ".
    [[nodiscard]] std::size_t dash_width() const noexcept {
        return std::max<std::size_t>(step_, 2);
    }

    std::string& out_;
    Sink* sink_;
    std::size_t step_;
    const DocMetadata& meta_;
    std::size_t flushed_ = 0;
    std::size_t after_keep_ = static_cast<std::size_t>(-1);
    bool failed_ = false;
    std::size_t marker_end_ = static_cast<std::size_t>(-1);  // where the document's "---\n" ends
    std::unordered_set<std::string> anchors_;                // written so far in this document
};

bool Emitter::emit_document(const YamlNode& root, bool start_marker, bool end_previous) {
    begin_document(start_marker, end_previous);
    if (!emit_node(root, 0)) return false;
    end_document(meta_.explicit_end);
    return checkpoint();
}

void Emitter::begin_document(bool start_marker, bool end_previous) {
    const bool directives = meta_.yaml_version || !meta_.tag_directives.empty();
    // Directives after a document need that document closed by "...".
    if (directives && end_previous) put("...\n");
    if (meta_.yaml_version) {
        put("%YAML ");
        put(std::to_string(meta_.yaml_version->first));
        put('.');
        put(std::to_string(meta_.yaml_version->second));
        put('\n');
    }
    for (const auto& [handle, prefix] : meta_.tag_directives) {
        put("%TAG ");
        put(handle);
        put(' ');
        put(prefix_text(prefix));
        put('\n');
    }
    marker_end_ = static_cast<std::size_t>(-1);
    if (start_marker || directives) {
        put("---\n");
        marker_end_ = out_.size();
    }
}

bool Emitter::emit_node(const YamlNode& node, std::size_t indent) {
    switch (node.kind()) {
        case YamlNode::Mapping:
            return emit_mapping(*node.mapping(), indent);
        case YamlNode::Sequence:
            return emit_sequence(*node.sequence(), indent);
        case YamlNode::Scalar: {
            const YamlScalar& s = *node.scalar();
            if (block_form(s)) {
                emit_block_scalar(opt(s.anchor), opt(s.tag), s.value.as_str(), s.style, indent,
                                  nullptr);
            } else {
                emit_scalar_inline(s, Place::Block);
            }
            return checkpoint();
        }
        default:
            emit_node_inline(node, Place::Block);
            return checkpoint();
    }
}

bool Emitter::emit_mapping(const YamlMapping& map, std::size_t indent) {
    if (map.style == ContainerStyle::Flow) {
        emit_mapping_flow(map);
        return checkpoint();
    }
    // A document root's properties get a line of their own.
    if (indent == 0) root_properties(opt(map.anchor), opt(map.tag));
    if (map.entries.empty()) {
        put("{}\n");
        return checkpoint();
    }
    return emit_mapping_entries(map, indent, false);
}

bool Emitter::emit_sequence(const YamlSequence& seq, std::size_t indent) {
    if (seq.style == ContainerStyle::Flow) {
        emit_sequence_flow(seq);
        return checkpoint();
    }
    if (indent == 0) root_properties(opt(seq.anchor), opt(seq.tag));
    if (seq.items.empty()) {
        put("[]\n");
        return checkpoint();
    }
    return emit_sequence_items(seq, indent, false);
}

bool Emitter::emit_mapping_entries(const YamlMapping& map, std::size_t indent, bool inline_first) {
    bool first = true;
    for (const auto& slot : map.entries) {
        const YamlEntry& e = slot.value;
        const bool has_comment = e.comment_before && !e.comment_before->empty();
        if (first && inline_first) {
            // The first entry shares the dash's line unless a comment must
            // come first. Blank lines have no place here.
            if (has_comment) {
                put('\n');
                emit_comment_before(opt(e.comment_before), indent);
                spaces(indent);
            }
        } else {
            entry_lead(e, indent);
        }
        first = false;
        if (!emit_mapping_key(slot.key, e, indent) || !emit_mapping_value(e, indent) ||
            !checkpoint())
            return false;
    }
    blank_lines(map.trailing_blank_lines);
    return checkpoint();
}

bool Emitter::emit_sequence_items(const YamlSequence& seq, std::size_t indent, bool inline_first) {
    bool first = true;
    for (const YamlItem& item : seq.items) {
        const bool has_comment = item.comment_before && !item.comment_before->empty();
        if (first && inline_first) {
            if (has_comment) {
                put('\n');
                emit_comment_before(opt(item.comment_before), indent);
                spaces(indent);
            }
        } else {
            entry_lead(item, indent);
        }
        first = false;
        put("- ");
        if (!emit_item_body(item, indent) || !checkpoint()) return false;
    }
    blank_lines(seq.trailing_blank_lines);
    return checkpoint();
}

bool Emitter::make_explicit_if_long(std::size_t start) {
    if (pos() - start <= kMaxSimpleKey) return false;
    // `start` lies in the unflushed buffer: nothing is flushed inside a key.
    out_.insert(start - flushed_, "? ");
    return true;
}

bool Emitter::emit_mapping_key(std::string_view key, const YamlEntry& entry, std::size_t indent) {
    if (entry.key_alias && !written(*entry.key_alias)) {
        YamlEntry anchored = entry;
        anchor_instead_of_alias(anchored);
        return emit_mapping_key(key, anchored, indent);
    }
    if (entry.key_alias) {
        put("? *");
        append_anchor_name(out_, *entry.key_alias);
        put('\n');
        spaces(indent);
        put(':');
        return true;
    }
    if (entry.key_node) {
        const YamlNode& k = **entry.key_node;
        const YamlMapping* m = k.mapping();
        const YamlSequence* s = k.sequence();
        const bool block =
            (m != nullptr && m->style == ContainerStyle::Block && !m->entries.empty()) ||
            (s != nullptr && s->style == ContainerStyle::Block && !s->items.empty());
        put('?');
        if (block) {
            // Like a sequence item: the key starts on the "? " line, so no
            // line of the key is left empty (a reader would count it blank).
            put(' ');
            if (!emit_tagged_or_inline_first(k, nullptr, indent)) return false;
        } else {
            put(' ');
            emit_node_inline(k, Place::Block);
            put('\n');
        }
        spaces(indent);
        put(':');
        return true;
    }
    const std::string* anchor = opt(entry.key_anchor);
    const std::string* tag = opt(entry.key_tag);
    if (is_block_style(entry.key_style) && block_can_hold(key)) {
        put("? ");
        emit_block_scalar(anchor, tag, key, entry.key_style, indent, nullptr);
        spaces(indent);
        put(':');
        return true;
    }
    const std::size_t start = pos();
    write_anchor_tag_inline(anchor, tag);
    // An empty plain key was an empty node: with an anchor or tag it stays
    // one ("&a :"); written as '' an alias of it would read back as "".
    if (!(key.empty() && entry.key_style == ScalarStyle::Plain && (anchor || tag)))
        emit_key(key, entry.key_style, false);
    if (make_explicit_if_long(start)) {
        put('\n');
        spaces(indent);
    }
    put(':');
    return true;
}

bool Emitter::emit_mapping_value(const YamlEntry& entry, std::size_t indent) {
    const YamlNode& v = entry.value;
    const std::string* comment = opt(entry.comment_inline);
    if (const YamlScalar* s = v.scalar(); s != nullptr && block_form(*s)) {
        put(' ');
        emit_block_scalar(opt(s->anchor), opt(s->tag), s->value.as_str(), s->style, indent,
                          comment);
        return true;
    }
    if (const YamlMapping* m = v.mapping();
        m != nullptr && m->style == ContainerStyle::Block && !m->entries.empty()) {
        write_anchor_tag_block_suffix(opt(m->anchor), opt(m->tag));
        push_inline_comment(comment);
        put('\n');
        return emit_mapping(*m, indent + step_);
    }
    if (const YamlSequence* s = v.sequence();
        s != nullptr && s->style == ContainerStyle::Block && !s->items.empty()) {
        write_anchor_tag_block_suffix(opt(s->anchor), opt(s->tag));
        push_inline_comment(comment);
        put('\n');
        return emit_sequence(*s, indent + step_);
    }
    put(' ');
    emit_node_inline(v, Place::Block);
    push_inline_comment(comment);
    put('\n');
    return true;
}

bool Emitter::emit_item_body(const YamlItem& item, std::size_t indent) {
    const YamlNode& n = item.node;
    const std::string* comment = opt(item.comment_inline);
    const YamlMapping* m = n.mapping();
    const YamlSequence* s = n.sequence();
    if ((m != nullptr && m->style == ContainerStyle::Block && !m->entries.empty()) ||
        (s != nullptr && s->style == ContainerStyle::Block && !s->items.empty()))
        return emit_tagged_or_inline_first(n, comment, indent);
    if (const YamlScalar* sc = n.scalar(); sc != nullptr && block_form(*sc)) {
        emit_block_scalar(opt(sc->anchor), opt(sc->tag), sc->value.as_str(), sc->style, indent,
                          comment);
        return true;
    }
    emit_node_inline(n, Place::Block);
    push_inline_comment(comment);
    put('\n');
    return true;
}

bool Emitter::emit_tagged_or_inline_first(const YamlNode& node, const std::string* comment,
                                          std::size_t indent) {
    const YamlMapping* m = node.mapping();
    const YamlSequence* s = node.sequence();
    const std::string* anchor = m != nullptr ? opt(m->anchor) : opt(s->anchor);
    const std::string* tag = m != nullptr ? opt(m->tag) : opt(s->tag);
    if (anchor == nullptr && tag == nullptr && comment == nullptr) {
        // "- " is written; the collection starts on the dash's line.
        const std::size_t w = dash_width();
        spaces(w - 2);
        return m != nullptr ? emit_mapping_inline_first(*m, indent + w)
                            : emit_sequence_inline_first(*s, indent + w);
    }
    bool sep = false;
    if (anchor != nullptr) {
        put_anchor(*anchor);
        sep = true;
    }
    if (tag != nullptr) {
        if (sep) put(' ');
        append_tag(out_, *tag, meta_);
        sep = true;
    }
    if (comment != nullptr) {
        if (sep) put(' ');
        put("# ");
        write_comment_text(*comment);
    }
    put('\n');
    return m != nullptr ? emit_mapping(*m, indent + step_) : emit_sequence(*s, indent + step_);
}

void Emitter::emit_node_inline(const YamlNode& node, Place place) {
    switch (node.kind()) {
        case YamlNode::Mapping:
            emit_mapping_flow(*node.mapping());
            break;
        case YamlNode::Sequence:
            emit_sequence_flow(*node.sequence());
            break;
        case YamlNode::Scalar:
            emit_scalar_inline(*node.scalar(), place);
            break;
        case YamlNode::Null:
            put("null");
            break;
        case YamlNode::Alias:
            if (written(node.alias()->name)) {
                put('*');
                append_anchor_name(out_, node.alias()->name);
            } else {
                emit_node_inline(node_instead_of_alias(*node.alias()), place);
            }
            break;
    }
}

YamlNode Emitter::node_instead_of_alias(const AliasNode& alias) {
    const YamlNode* target = alias.target.get();
    while (const AliasNode* inner = target->alias()) target = inner->target.get();
    YamlNode node = target->kind() == YamlNode::Null ? YamlNode(YamlScalar{}) : *target;
    if (YamlMapping* m = node.mapping())
        m->anchor = alias.name;
    else if (YamlSequence* q = node.sequence())
        q->anchor = alias.name;
    else
        node.scalar()->anchor = alias.name;
    return node;
}

void Emitter::emit_scalar_inline(const YamlScalar& s, Place place) {
    write_anchor_tag_inline(opt(s.anchor), opt(s.tag));
    const bool flow = place != Place::Block;
    if (s.original) {
        // The source text is kept where it still reads back in this place.
        const std::string& o = *s.original;
        const bool fits = o.empty() ? place != Place::FlowItem || s.anchor || s.tag
                                    : plain_syntax_ok(o, flow, scan_text(o));
        if (fits) {
            // Properties of an empty scalar end the line: no trailing blank.
            if (o.empty() && (s.anchor || s.tag) && !out_.empty() && out_.back() == ' ')
                out_.pop_back();
            put(o);
            return;
        }
    }
    append_value(out_, s.value, s.style, flow);
}

void Emitter::emit_block_scalar(const std::string* anchor, const std::string* tag,
                                std::string_view text, ScalarStyle style, std::size_t base,
                                const std::string* comment) {
    write_anchor_tag_inline(anchor, tag);
    put(style == ScalarStyle::Literal ? '|' : '>');

    // Content lines: the pieces between line feeds, without the empty piece
    // after a final one.
    std::size_t trailing = 0;
    while (trailing < text.size() && text[text.size() - 1 - trailing] == '\n') ++trailing;
    const std::string_view body = trailing != 0 ? text.substr(0, text.size() - 1) : text;

    std::size_t column = base + step_;
    const std::size_t first = text.find_first_not_of('\n');
    if (first != std::string_view::npos && text[first] == ' ') {
        // The indentation indicator counts from the parent's indentation;
        // it has one digit, so a wider step moves the content in by 9.
        const std::size_t digit = std::min<std::size_t>(step_, 9);
        column = base + digit;
        put(static_cast<char>('0' + digit));
    }
    if (trailing == 0) {
        put('-');
    } else if (trailing >= 2) {
        put('+');
    }
    push_inline_comment(comment);
    put('\n');

    if (text.empty()) return;
    const bool folded = style == ScalarStyle::Folded;
    for (std::size_t pos_in = 0;;) {
        std::size_t nl = body.find('\n', pos_in);
        if (nl == std::string_view::npos) nl = body.size();
        const std::string_view line = body.substr(pos_in, nl - pos_in);
        if (line.empty()) {
            put('\n');
        } else {
            spaces(column);
            put(line);
            put('\n');
            if (folded && !is_blank(line[0])) {
                // A line break between two lines that do not start with a
                // blank is read as a space unless an empty line follows.
                const std::size_t next = body.find_first_not_of('\n', nl);
                if (next != std::string_view::npos && !is_blank(body[next])) put('\n');
            }
        }
        if (nl == body.size()) break;
        pos_in = nl + 1;
    }
    if (trailing >= 2) after_keep_ = pos();
}

void Emitter::emit_sequence_flow(const YamlSequence& seq) {
    write_anchor_tag_inline(opt(seq.anchor), opt(seq.tag));
    put('[');
    bool first = true;
    for (const YamlItem& item : seq.items) {
        if (!first) put(", ");
        first = false;
        emit_node_inline(item.node, Place::FlowItem);
    }
    put(']');
}

void Emitter::emit_mapping_flow(const YamlMapping& map) {
    write_anchor_tag_inline(opt(map.anchor), opt(map.tag));
    put('{');
    bool first = true;
    for (const auto& slot : map.entries) {
        std::optional<YamlEntry> anchored;
        if (slot.value.key_alias && !written(*slot.value.key_alias)) {
            anchored.emplace(slot.value);
            anchor_instead_of_alias(*anchored);
        }
        const YamlEntry& e = anchored ? *anchored : slot.value;
        if (!first) put(", ");
        first = false;
        const std::size_t start = pos();
        if (e.key_node) {
            emit_node_inline(**e.key_node, Place::FlowItem);
        } else if (e.key_alias) {
            put('*');
            append_anchor_name(out_, *e.key_alias);
            put(' ');
        } else {
            write_anchor_tag_inline(opt(e.key_anchor), opt(e.key_tag));
            if (!(slot.key.empty() && e.key_style == ScalarStyle::Plain &&
                  (e.key_anchor || e.key_tag)))
                emit_key(slot.key, e.key_style, true);
        }
        make_explicit_if_long(start);
        put(": ");
        emit_node_inline(e.value, Place::FlowValue);
    }
    put('}');
}

void Emitter::write_anchor_tag_inline(const std::string* anchor, const std::string* tag) {
    if (anchor != nullptr) {
        put_anchor(*anchor);
        put(' ');
    }
    if (tag != nullptr) {
        append_tag(out_, *tag, meta_);
        put(' ');
    }
}

void Emitter::write_anchor_tag_block_suffix(const std::string* anchor, const std::string* tag) {
    if (anchor != nullptr) {
        put(' ');
        put_anchor(*anchor);
    }
    if (tag != nullptr) {
        put(' ');
        append_tag(out_, *tag, meta_);
    }
}

void Emitter::emit_comment_before(const std::string* text, std::size_t indent) {
    if (text == nullptr) return;
    // One comment line per line of the text; CR, LF and CR LF all end a line
    // (a raw CR inside a comment would end the comment for a reader).
    const std::string_view t = *text;
    std::size_t pos_in = 0;
    while (pos_in < t.size()) {
        std::size_t br = t.find_first_of("\r\n", pos_in);
        if (br == std::string_view::npos) br = t.size();
        spaces(indent);
        // An empty comment line is a bare '#': no trailing blank.
        put(br == pos_in ? "#" : "# ");
        put(t.substr(pos_in, br - pos_in));
        put('\n');
        if (br < t.size() && t[br] == '\r' && br + 1 < t.size() && t[br + 1] == '\n') ++br;
        pos_in = br + 1;
    }
}

void Emitter::write_comment_text(std::string_view text) {
    // A comment on a content line has one line: line breaks become spaces.
    std::size_t pos_in = 0;
    while (true) {
        const std::size_t br = text.find_first_of("\r\n", pos_in);
        if (br == std::string_view::npos) {
            put(text.substr(pos_in));
            return;
        }
        put(text.substr(pos_in, br - pos_in));
        put(' ');
        pos_in = br + 1;
    }
}

void Emitter::push_inline_comment(const std::string* text) {
    if (text == nullptr) return;
    put(text->empty() ? "  #" : "  # ");
    write_comment_text(*text);
}

}  // namespace detail

std::string emit_docs(std::span<const YamlNode> roots, std::span<const DocMetadata> metas,
                      std::size_t indent) {
    std::string out;
    out.reserve(256);
    const DocMetadata empty;
    for (std::size_t i = 0; i < roots.size(); ++i) {
        const DocMetadata& meta = i < metas.size() ? metas[i] : empty;
        const bool previous_open = i > 0 && !(i - 1 < metas.size() && metas[i - 1].explicit_end);
        const bool start = roots.size() != 1 || meta.explicit_start;
        emit_doc_into(out, roots[i], meta, indent, start, previous_open);
    }
    return out;
}

void emit_doc_into(std::string& out, const YamlNode& root, const DocMetadata& meta,
                   std::size_t indent, bool start_marker, bool end_previous) {
    detail::Emitter e(out, nullptr, indent, meta);
    (void)e.emit_document(root, start_marker, end_previous);
}

BlockWriter::BlockWriter(std::string& out, const DocMetadata& meta, std::size_t indent)
    : emitter_(std::make_unique<detail::Emitter>(out, nullptr, indent, meta)) {}

BlockWriter::~BlockWriter() = default;

void BlockWriter::begin(bool start_marker, bool end_previous, const std::string* anchor,
                        const std::string* tag) {
    emitter_->begin_document(start_marker, end_previous);
    emitter_->root_properties(anchor, tag);
}

void BlockWriter::content(const YamlNode& piece, std::size_t column) {
    emitter_->block_content(piece, column);
}

void BlockWriter::open_value(std::string_view key, const YamlEntry& entry,
                             const std::string* anchor, const std::string* tag,
                             std::size_t column) {
    emitter_->open_value(key, entry, anchor, tag, column);
}

void BlockWriter::trailing_blank_lines(std::size_t n) {
    emitter_->trailing_blank_lines(n);
}

void BlockWriter::end(bool explicit_end) {
    emitter_->end_document(explicit_end);
}

std::size_t BlockWriter::step() const noexcept {
    return emitter_->step();
}

bool emit_docs_to(const YamlNode& root, const DocMetadata& meta, std::size_t indent, Sink& sink) {
    std::string buf;
    buf.reserve(256);
    detail::Emitter e(buf, &sink, indent, meta);
    // Whatever the sink holds is an earlier document; "..." closes it before
    // directives unless it ended with one already (as emit_docs writes it).
    const bool previous_open = sink.last_char() != -1 && !sink.document_closed();
    const bool ok = e.emit_document(root, meta.explicit_start, previous_open);
    const bool written = e.finish() && ok;
    sink.set_document_closed(meta.explicit_end);
    return written;
}

std::string emit_scalar_value_with_style(const ScalarValue& value, ScalarStyle style) {
    std::string out;
    detail::append_value(out, value, style, false);
    return out;
}

std::string single_quote(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    detail::append_single_quoted(out, text);
    return out;
}

std::string double_quote(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    detail::append_double_quoted(out, text);
    return out;
}

}  // namespace tesvorn
