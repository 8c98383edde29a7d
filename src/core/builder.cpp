#include "core/builder.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <type_traits>

#include "core/char_traits.hpp"
#include "core/render.hpp"

namespace tesvorn {

namespace {

/// The bytes an alias's copy of `node` costs: a collection's record is
/// shared, a scalar's text is copied.
std::size_t copy_cost(const YamlNode& node) noexcept {
    std::size_t n = sizeof(YamlNode);
    if (const YamlScalar* s = node.scalar()) {
        if (s->value.is_str()) n += s->value.as_str().size();
        if (s->props->original) n += s->props->original->size();
    }
    return n;
}

using chars::is_blank;
using chars::is_break;

/// The first line break in [p, end), or `end`. Lines are short but many:
/// memchr beats a loop over their bytes.
const char* find_break(const char* p, const char* end) noexcept {
    if (p >= end) return end;
    if (is_break(*p)) return p;  // a value's trail is mostly its line break alone
    const auto* nl =
        static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    const char* const stop = nl != nullptr ? nl : end;
    if (p == stop) return stop;
    const auto* cr =
        static_cast<const char*>(std::memchr(p, '\r', static_cast<std::size_t>(stop - p)));
    return cr != nullptr ? cr : stop;
}

/// Past the line break of the line `p` is on (CR LF is one), or `end`.
const char* past_line(const char* p, const char* end) noexcept {
    p = find_break(p, end);
    if (p < end) {
        if (*p == '\r' && p + 1 < end && p[1] == '\n') ++p;
        ++p;
    }
    return p;
}

/// Whether `s` is the literal `lit` (a comparison the compiler inlines).
template <std::size_t N>
bool is_text(std::string_view s, const char (&lit)[N]) noexcept {
    return s.size() == N - 1 && std::memcmp(s.data(), lit, N - 1) == 0;
}

// Offsets in records are 32 bits: a longer source keeps no records.
constexpr std::size_t kMaxRecorded = std::numeric_limits<std::uint32_t>::max() - 1;

}  // namespace

Builder::Builder(std::shared_ptr<const SourceText> source)
    : source_(std::move(source)), layout_(source_ != nullptr) {
    // Frames are large: room for the nesting of typical documents at once.
    frames_.reserve(8);
}

// ---------------------------------------------------------------------------
// Text

std::size_t Builder::line_start(std::size_t pos) const noexcept {
    const char* const first = ptr(source_->base);
    const char* p = ptr(pos);
    while (p > first && !is_break(p[-1])) --p;
    step(static_cast<std::size_t>(ptr(pos) - p));
    return pos - static_cast<std::size_t>(ptr(pos) - p);
}

std::size_t Builder::column_of(std::size_t pos) const noexcept {
    // One walk back to the line start, counting characters on the way.
    const char* const first = ptr(source_->base);
    const char* const e = ptr(pos);
    const char* p = e;
    std::size_t col = 0;
    while (p > first && !is_break(p[-1])) {
        --p;
        if ((static_cast<unsigned char>(*p) & 0xC0) != 0x80) ++col;
    }
    step(static_cast<std::size_t>(e - p));
    // A byte order mark at the start of the stream takes no column.
    if (p == first && source_->base == 0 && e - p >= 3 && p[0] == '\xEF' && p[1] == '\xBB' &&
        p[2] == '\xBF')
        --col;
    return col;
}

std::size_t Builder::end_of_line(std::size_t from, std::size_t limit) const noexcept {
    const char* const b = ptr(from);
    const auto n = static_cast<std::size_t>(past_line(b, ptr(limit)) - b);
    step(n);
    return from + n;
}

std::size_t Builder::first_token(std::size_t from, std::size_t limit) const noexcept {
    const char* const b = ptr(from);
    const char* const e = ptr(limit);
    const char* p = b;
    while (p < e) {
        const char c = *p;
        if (is_blank(c) || is_break(c)) {
            ++p;
        } else if (c == '#') {
            p = find_break(p, e);
        } else {
            break;
        }
    }
    step(static_cast<std::size_t>(p - b));
    return p < e ? from + static_cast<std::size_t>(p - b) : limit;
}

std::string Builder::comment_text(std::size_t hash) const {
    const char* p = ptr(hash + 1);
    const char* const end = ptr(text_end());
    if (p < end && *p == ' ') ++p;
    return std::string(p, find_break(p, end));
}

std::size_t Builder::comment_on_line(std::size_t from, std::size_t limit) const noexcept {
    // A '#' starts a comment after a blank or at the start of a line only.
    const char* const first = ptr(source_->base);
    const char* const b = ptr(from);
    const char* p = b;
    for (const char* const e = ptr(limit); p < e && !is_break(*p); ++p) {
        if (*p == '#' && (p == first || is_blank(p[-1]) || is_break(p[-1]))) {
            step(static_cast<std::size_t>(p - b));
            return from + static_cast<std::size_t>(p - b);
        }
    }
    step(static_cast<std::size_t>(p - b));
    return kNone;
}

void Builder::read_lead(std::size_t from, std::size_t to, Slot& slot) const {
    std::size_t blank = 0;
    const char* const b = ptr(from);
    const char* const e = ptr(to);
    const char* p = b;
    while (p < e) {
        const char* q = p;
        while (q < e && is_blank(*q)) ++q;
        // Blanks without a break after them are the indentation of what
        // follows, not a line.
        if (q == e) break;
        if (is_break(*q)) {
            // A line of blanks: its break is right here, no search needed.
            ++blank;
            p = q + (*q == '\r' && q + 1 < e && q[1] == '\n' ? 2 : 1);
            continue;
        }
        if (*q == '#') {
            std::string text = comment_text(from + static_cast<std::size_t>(q - b));
            OptString& before = slot.comments.mut().before;
            if (before) {
                *before += '\n';
                *before += text;
            } else {
                before = std::move(text);
            }
        }
        p = past_line(q, e);
    }
    step(static_cast<std::size_t>(p - b));
    slot.blank_lines = static_cast<std::uint8_t>(std::min<std::size_t>(blank, 255));
}

// ---------------------------------------------------------------------------
// Pieces

std::size_t Builder::block_start(std::size_t after, std::size_t open) const noexcept {
    for (std::size_t p = after; p < open; ++p) {
        if (is_break(at(p))) {
            step(p - after);
            return end_of_line(p, open);
        }
    }
    step(open > after ? open - after : 0);
    return open;
}

void Builder::set_trail(Frame& f, std::size_t from, std::size_t to) {
    const std::size_t i = static_cast<std::size_t>(f.open_trail);
    f.open_trail = -1;
    Slot& s = f.slot;
    // The comment after the value on its line is its inline comment.
    const std::size_t hash = has_text() ? comment_on_line(from, to) : kNone;
    std::optional<std::string> comment;
    if (hash != kNone) comment = comment_text(hash);
    auto finish = [&](auto& owner, const YamlNode& value, const SmallString* key,
                      const YamlEntry* entry) {
        if (comment) {
            owner.comments.mut().trailing = std::move(comment);
            s.flags &= static_cast<std::uint8_t>(
                ~(SlotLayout::kCommentInSep | SlotLayout::kCommentInValue));
            s.flags |= SlotLayout::kCommentInTrail;
        }
        if (!layout_ || s.at[0] == kNone) return;
        SlotLayout l;
        const std::uint32_t at[6] = {rel(s.at[0]), rel(s.at[1]), rel(s.at[2]),
                                     rel(s.at[3]), rel(from),    rel(to)};
        if (!l.set(at)) return;
        l.source = source_->id;
        l.shape = s.shape;
        l.flags = s.flags;
        const Comments& comments = *owner.comments;
        slot_checks(l, value, comments.before, owner.blank_lines_before, key, entry);
        // Only what the writer would not give back by itself is recorded
        // (decided before the costlier parts of a record are made).
        if (written_as_read(f, s, l, comments.trailing, value, key)) {
            // It checked that the writer writes this key and this value
            // plain as they stand: a dump need not check them again.
            YamlNode* node = nullptr;
            if constexpr (std::is_same_v<std::remove_cvref_t<decltype(owner)>, YamlEntry>) {
                node = &owner.value;
                if (l.check(SlotLayout::kPlainKey)) owner.layout.set_key_checked(f.is_flow);
            } else {
                node = &owner.node;
            }
            if (l.check(SlotLayout::kPlainValue) && l.shape == SlotLayout::kInline)
                if (YamlScalar* sc = node->scalar())
                    sc->plain_checked.v = f.is_flow ? PlainChecked::kFlow : PlainChecked::kBlock;
            return;
        }
        finish_slot_layout(l, value, key, entry);
        owner.layout.mut() = l;
    };
    if (f.is_mapping) {
        auto& slot = f.mapping.entries.at(i);
        finish(slot.value, slot.value.value, &slot.key, &slot.value);
    } else {
        YamlItem& item = f.sequence.items[i];
        finish(item, item.node, nullptr, nullptr);
    }
    cursor_ = std::max(cursor_, to);
}

void Builder::find_doc_break(std::size_t limit) {
    std::size_t p = std::max(doc_.begin, doc_.nl_from);
    for (; p < limit; ++p) {
        if (at(p) == '\n') {
            doc_.nl = p > doc_.begin && at(p - 1) == '\r' ? 2 : 1;
            break;
        }
    }
    step(p - std::max(doc_.begin, doc_.nl_from));
    doc_.nl_from = p;
}

bool Builder::written_as_read(const Frame& f, const Slot& s, const SlotLayout& l,
                              const OptString& comment_inline, const YamlNode& value,
                              const SmallString* key) {
    // The writer's own rendering of an entry or item, piece by piece: where
    // it is the text read, no record is needed.
    const std::string_view text = source_->text;
    // Where each piece starts (and the trail ends), summed once.
    std::uint32_t o[6];
    o[0] = l.begin;
    o[1] = o[0] + l.len[0];
    o[2] = o[1] + l.len[1];
    o[3] = o[2] + l.len[2];
    o[4] = o[3] + l.value_len;
    o[5] = o[4] + l.len[3];
    const auto piece = [&](SlotLayout::Piece p) {
        return std::string_view(text.data() + o[p], o[p + 1] - o[p]);
    };
    const std::string_view nl = doc_break(o[SlotLayout::kEnd] + source_->base);
    const auto shape = static_cast<SlotLayout::Shape>(l.shape);
    if (shape == SlotLayout::kBlockScalar || value.alias() != nullptr) return false;
    if (l.flag(SlotLayout::kCommentInSep) || l.flag(SlotLayout::kCommentInValue)) return false;
    // Key and value, but for the costlier checks of plain text (last).
    if (f.is_mapping &&
        (!l.check(SlotLayout::kPlainKey) || !l.flag(SlotLayout::kSimpleKey) || key->size() >= 1000))
        return false;
    const YamlScalar* sc = value.scalar();
    const bool plain_value =
        sc != nullptr && shape == SlotLayout::kInline && !l.check(SlotLayout::kRenderedValue);
    if (sc != nullptr) {
        if (plain_value && !l.check(SlotLayout::kPlainValue)) return false;
        if (shape == SlotLayout::kEmpty && (sc->props->tag || sc->props->anchor)) return false;
    } else if (value.is_collection()) {
        const YamlMapping* m = value.mapping();
        const YamlSequence* q = value.sequence();
        if (m != nullptr ? (m->anchor || m->tag) : (q->anchor || q->tag)) return false;
        if (shape == SlotLayout::kInline) {
            // A flow collection whose text starts at its bracket.
            const CollectionLayout& cl = m != nullptr ? m->layout : q->layout;
            if (!cl.has() || !cl.flag(CollectionLayout::kFlow) ||
                cl.flag(CollectionLayout::kBare) || cl.open != o[SlotLayout::kValue])
                return false;
        }
    } else {
        return false;
    }
    // Separator.
    const std::string_view sep = piece(SlotLayout::kSep);
    if (f.is_flow) {
        if (f.is_mapping ? (shape != SlotLayout::kInline || !is_text(sep, ": ")) : !sep.empty())
            return false;
    } else if (f.is_mapping) {
        if (shape == SlotLayout::kInline && !is_text(sep, ": ")) return false;
        if (shape == SlotLayout::kEmpty && !is_text(sep, ":")) return false;
        if (shape == SlotLayout::kBlock &&
            (sep.size() != 1 + nl.size() || sep[0] != ':' || sep.substr(1) != nl))
            return false;
    } else {
        if (shape == SlotLayout::kInline && !is_text(sep, " ")) return false;
        if (shape == SlotLayout::kEmpty && !sep.empty()) return false;
        if (shape == SlotLayout::kBlock) {
            // On the dash's line, as far in as the document puts such
            // collections.
            const std::size_t w =
                doc_.dash_step >= 2 ? static_cast<std::size_t>(doc_.dash_step) : 2;
            if (sep.size() != w - 1 || sep.find_first_not_of(' ') != std::string_view::npos)
                return false;
        }
    }
    // Trail.
    const std::string_view trail = piece(SlotLayout::kTrail);
    if (f.is_flow || shape == SlotLayout::kBlock) {
        if (!trail.empty()) return false;
    } else if (comment_inline) {
        const std::string_view c = *comment_inline;
        const std::size_t head = c.empty() ? 3 : 4;
        if (trail.size() != head + c.size() + nl.size() ||
            trail.substr(0, head) != std::string_view("  # ").substr(0, head) ||
            trail.substr(head, c.size()) != c || trail.substr(head + c.size()) != nl)
            return false;
    } else if (trail != nl) {
        return false;
    }
    // Lead.
    const std::string_view lead = piece(SlotLayout::kLead);
    if (f.is_flow) {
        if (s.index == 0) {
            if (!lead.empty()) return false;
        } else {
            if (f.typical_len == kNone) return false;
            const std::string_view typical =
                text.substr(f.typical_begin - source_->base, f.typical_len);
            if (lead != typical || typical.find('#') != std::string_view::npos) return false;
        }
    } else if (l.check(SlotLayout::kLeadComment)) {
        return false;
    } else if (l.flag(SlotLayout::kInlineFirst)) {
        if (!lead.empty()) return false;
    } else {
        std::size_t p = 0;
        for (std::uint8_t b = 0; b < l.blank; ++b, p += nl.size())
            if (lead.substr(p, nl.size()) != nl) return false;
        if (lead.size() - p != f.column || lead.find_first_not_of(' ', p) != std::string_view::npos)
            return false;
    }
    // Plain text the writer would quote.
    if (f.is_mapping && !writes_plain_key(*key, f.is_flow)) return false;
    return !plain_value || writes_plain_value(sc->value.as_str(), f.is_flow);
}

void Builder::close_trail(Frame& f, std::size_t limit) {
    if (f.open_trail < 0) return;
    const std::size_t from = f.open_trail_from;
    // A value that ends a line (an empty one after a key that did) has no
    // trail: what follows is the next line.
    if (!has_text() || (from > source_->base && is_break(at(from - 1)))) {
        set_trail(f, from, from);
        return;
    }
    set_trail(f, from, end_of_line(from, limit));
}

void Builder::note_sep_comment(Frame& f, std::size_t value_start) {
    // "key: # note" with the value below it: the entry's inline comment.
    Slot& s = f.slot;
    if (f.is_flow || !has_text() || s.at[0] == kNone) return;
    const std::size_t hash = comment_on_line(s.at[SlotLayout::kSep], value_start);
    if (hash == kNone || hash >= value_start) return;
    s.comments.mut().trailing = comment_text(hash);
    s.flags |= SlotLayout::kCommentInSep;
}

void Builder::slot_checks(SlotLayout& l, const YamlNode& value, const OptString& comment_before,
                          std::uint8_t blank, const SmallString* key,
                          const YamlEntry* entry) const {
    const std::string_view text = source_->text;
    l.blank = blank;
    if (comment_before) l.checks |= SlotLayout::kLeadComment;
    // Plain keys and plain strings are checked against their own text;
    // anything else through a fingerprint of what was read.
    if (key != nullptr && entry->key_style == ScalarStyle::Plain && !entry->key_props.has() &&
        text.substr(l.at(SlotLayout::kKey), l.len[1]) == *key)
        l.checks |= SlotLayout::kPlainKey;
    const YamlScalar* s = value.scalar();
    const bool plain = s != nullptr && s->style == ScalarStyle::Plain && !s->props->tag &&
                       !s->props->anchor && !s->props->original;
    if (plain && !s->value.is_str()) {
        // A number, boolean or null read in its canonical form: writing the
        // value gives its text back.
        l.checks |= SlotLayout::kRenderedValue;
    } else if (plain && text.substr(l.at(SlotLayout::kValue), l.value_len) == s->value.as_str()) {
        l.checks |= SlotLayout::kPlainValue;
    } else if (s != nullptr &&
               quoted_as_is(text.substr(l.at(SlotLayout::kValue), l.value_len), *s)) {
        l.checks |= SlotLayout::kQuotedValue;
    }
}

void Builder::finish_slot_layout(SlotLayout& l, const YamlNode& value, const SmallString* key,
                                 const YamlEntry* entry) const {
    const std::string_view text = source_->text;
    if (key != nullptr && !l.check(SlotLayout::kPlainKey)) l.fp_key = fingerprint_key(*key, *entry);
    if (!l.check(SlotLayout::kRenderedValue) && !l.check(SlotLayout::kPlainValue) &&
        !l.check(SlotLayout::kQuotedValue))
        l.fp_value = fingerprint_value(value);
    // Pieces that span lines keep their place only at their own column.
    const auto spans = [&](SlotLayout::Piece b, SlotLayout::Piece e) {
        const std::string_view piece = text.substr(l.at(b), l.at(e) - l.at(b));
        return find_break(piece.data(), piece.data() + piece.size()) != piece.data() + piece.size();
    };
    if (spans(SlotLayout::kKey, SlotLayout::kSep)) l.flags |= SlotLayout::kKeyLines;
    if (spans(SlotLayout::kValue, SlotLayout::kTrail)) l.flags |= SlotLayout::kValueLines;
}

Builder::Role Builder::begin_node(const Event& ev) {
    if (frames_.empty()) return Role::Root;
    Frame& f = frames_.back();
    const bool key = f.is_mapping && f.pending.empty();
    if (f.is_mapping && !key) {
        // A value: the separator runs from the key to the node.
        f.slot.at[SlotLayout::kSep] = cursor_;
        f.slot.value_at = ev.start;
        return Role::Value;
    }
    const std::size_t index = f.slots_read++;
    if (!has_text()) {
        f.slot = Slot{};
        return key ? Role::Key : Role::Item;
    }
    // The previous entry's trail first (it still needs the slot's record).
    std::size_t lead_from = cursor_;
    if (f.is_flow) {
        // After the previous entry: its trail up to the ',', then the lead.
        if (f.open_trail >= 0) {
            std::size_t p = f.open_trail_from;
            while (p < ev.start && at(p) != ',') {
                if (at(p) == '#') {
                    while (p < ev.start && !is_break(at(p))) ++p;
                } else {
                    ++p;
                }
            }
            step(p - f.open_trail_from);
            set_trail(f, f.open_trail_from, p);
            lead_from = std::min(p + 1, ev.start);
        }
    } else {
        close_trail(f, ev.start);
        lead_from = cursor_;
    }
    f.slot = Slot{};
    Slot& s = f.slot;
    s.index = index;
    (key ? s.key_at : s.value_at) = ev.start;
    // An explicit key's '?' or a block item's '-' starts the piece after the
    // lead.
    std::size_t begin = ev.start;
    // Most leads are indentation alone: no indicator, comment or line to read.
    const char* q = ptr(lead_from);
    const char* const lead_end = ptr(ev.start);
    while (q < lead_end && is_blank(*q)) ++q;
    step(static_cast<std::size_t>(q - ptr(lead_from)));
    const bool indentation_only = q == lead_end;
    if (!indentation_only) {
        const std::size_t tok = first_token(lead_from, ev.start);
        if (tok < ev.start) begin = tok;
    }
    s.at[SlotLayout::kLead] = lead_from;
    s.at[SlotLayout::kKey] = begin;
    if (f.is_flow && index == 1 && begin - lead_from < 0xFFFF) {
        // What the document puts between a ',' and an entry.
        f.typical_begin = lead_from;
        f.typical_len = begin - lead_from;
        CollectionLayout& cl = f.is_mapping ? f.mapping.layout : f.sequence.layout;
        if (cl.has()) {
            cl.typical_begin = rel(lead_from);
            cl.typical_len = static_cast<std::uint16_t>(begin - lead_from);
        }
    }
    if (!f.is_flow) {
        if (!indentation_only) read_lead(lead_from, begin, s);
        // Blank lines at the top of a document without "---" are not
        // counted: the count starts at its first content.
        if (!doc_.explicit_start && !doc_.root_props && frames_.size() == 1 &&
            lead_from == doc_.head_end)
            s.blank_lines = 0;
        // Not at a line start: no walk back is needed to tell.
        if (lead_from == begin && begin > source_->base && !is_break(at(begin - 1)))
            s.flags |= SlotLayout::kInlineFirst;
    }
    if (key) {
        if (begin == ev.start) s.flags |= SlotLayout::kSimpleKey;
        // (Read back only if a key comes twice: see keep_shadows.)
        if (!f.is_flow && layout_) leads_.push_back(rel(lead_from));
        return Role::Key;
    }
    if (!f.is_flow) {
        // A block item: the '-' is its key piece.
        s.at[SlotLayout::kSep] = begin + 1;
    } else {
        s.at[SlotLayout::kSep] = ev.start;
    }
    return Role::Item;
}

// ---------------------------------------------------------------------------
// Events

Status Builder::process_event(Event&& event, const Marker& mark, CoercionTags coercion) {
    if (layout_ && text_end() - source_->base > kMaxRecorded) layout_ = false;
    switch (event.type) {
        case Event::Type::StreamStart:
            cursor_ = event.start;
            break;
        case Event::Type::StreamEnd:
            end_stream(event);
            break;
        case Event::Type::DocumentStart:
            start_document(event);
            break;
        case Event::Type::DocumentEnd:
            end_document(event);
            break;
        case Event::Type::Alias:
            return process_alias(std::move(event), mark);
        case Event::Type::Scalar:
            return process_scalar(std::move(event), mark, coercion);
        case Event::Type::SequenceStart:
        case Event::Type::MappingStart: {
            if (event.tag) [[unlikely]] {
                Status fits = check_collection_tag(event, mark, coercion);
                if (!fits.ok()) return fits;
            }
            const Role role = begin_node(event);
            push_collection(event, role);
            break;
        }
        case Event::Type::SequenceEnd:
        case Event::Type::MappingEnd:
            end_collection(event);
            break;
    }
    return {};
}

void Builder::start_document(const Event& ev) {
    anchors_.clear();  // (the reader refuses aliases to an earlier document)
    doc_ = DocState{};
    doc_.begin = cursor_;
    doc_.explicit_start = ev.is_explicit;
    if (!ev.tag_directives.empty()) current_meta_.tag_directives.mut() = ev.tag_directives;
    current_meta_.explicit_start = ev.is_explicit;
    current_meta_.explicit_end = false;
    current_meta_.yaml_version = ev.version;
    ++docs_started_;
    if (ev.is_explicit) cursor_ = std::max(cursor_, ev.end);
    if (has_text() && !ev.is_explicit) {
        // A byte order mark belongs to the head, and so do "..." lines that
        // end no document (the first content's lead follows them).
        const std::size_t b = doc_.begin;
        if (b + 3 <= text_end() && at(b) == '\xEF' && at(b + 1) == '\xBB' && at(b + 2) == '\xBF')
            cursor_ = std::max(cursor_, b + 3);
        for (std::size_t p = cursor_; p + 3 <= ev.start;) {
            const std::size_t e = end_of_line(p, ev.start);
            if (at(p) == '.' && at(p + 1) == '.' && at(p + 2) == '.' &&
                (p + 3 == e || is_blank(at(p + 3)) || is_break(at(p + 3))))
                cursor_ = e;
            if (e == p) break;
            p = e;
        }
    }
}

void Builder::push_collection(const Event& ev, Role role) {
    // Made in place: a frame is large.
    Frame& f = frames_.emplace_back();
    f.is_mapping = ev.type == Event::Type::MappingStart;
    f.is_flow = ev.flow;
    const ContainerStyle style = ev.flow ? ContainerStyle::Flow : ContainerStyle::Block;
    std::optional<std::string> tag;
    if (ev.tag) tag = ev.tag->full();
    if (f.is_mapping) {
        f.mapping.style = style;
        f.mapping.tag = std::move(tag);
        f.mapping.anchor = ev.anchor;
    } else {
        f.sequence.style = style;
        f.sequence.tag = std::move(tag);
        f.sequence.anchor = ev.anchor;
    }
    f.anchor = ev.anchor;
    if (ev.anchor) f.anchor_order = ++anchors_read_;
    f.leads_base = leads_.size();
    // Storage left by an earlier collection, with its capacity.
    if (f.is_mapping && !spare_entries_.empty()) {
        f.mapping.entries.adopt_room(std::move(spare_entries_.back()));
        spare_entries_.pop_back();
    } else if (!f.is_mapping && !spare_items_.empty()) {
        f.sequence.items = std::move(spare_items_.back());
        spare_items_.pop_back();
    } else if (f.is_mapping) {
        // Room for a typical collection at once, rather than growing
        // (moving every entry) from one.
        f.mapping.entries.reserve(kFirstRoom);
    } else {
        f.sequence.items.reserve(kFirstRoom);
    }
    CollectionLayout& layout = f.is_mapping ? f.mapping.layout : f.sequence.layout;
    Frame* parent = frames_.size() > 1 ? &frames_[frames_.size() - 2] : nullptr;
    if (has_text()) {
        if (ev.flow) {
            // The pieces before the node end where its text starts.
            if (role == Role::Item || role == Role::Value)
                parent->slot.at[SlotLayout::kValue] = ev.start;
            else if (role == Role::Root)
                doc_.head_end = doc_.root_begin = ev.start;
            // A flow pair without braces opens with no character of its own.
            const bool bare = ev.end == ev.open;
            if (layout_) {
                layout.source = source_;
                layout.start = rel(ev.start);
                layout.open = rel(ev.open);
                layout.flags |= CollectionLayout::kFlow;
                if (bare) layout.flags |= CollectionLayout::kBare;
            }
            cursor_ = std::max(cursor_, ev.end);
        } else {
            // The separator (or head) runs to the end of the line of the last
            // token before the first entry: the indicator, or the properties.
            std::size_t after = cursor_;
            if (role == Role::Value) {
                const std::size_t ind = first_token(parent->slot.at[SlotLayout::kSep], ev.start);
                if (ind < ev.start) after = ind + 1;
            } else if (role == Role::Item) {
                after = parent->slot.at[SlotLayout::kSep];
            } else if (role == Role::Key) {
                const std::size_t k = parent->slot.at[SlotLayout::kKey];
                if (k < ev.start) after = k + 1;  // the '?'
            }
            const bool props = ev.end > ev.start;
            if (props) after = std::max(after, ev.end);
            // A document without "---" starts its root's first entry at once
            // (comments above it are that entry's).
            const std::size_t first = role == Role::Root && !doc_.explicit_start && !props
                                          ? cursor_
                                          : block_start(after, ev.open);
            if (role == Role::Item || role == Role::Value) {
                Slot& s = parent->slot;
                s.at[SlotLayout::kValue] = first;
                s.at[SlotLayout::kTrail] = first;
                s.at[SlotLayout::kEnd] = first;
                s.shape = SlotLayout::kBlock;
                // "key: # note" above the collection: the entry's inline comment.
                const std::size_t sep = s.at[SlotLayout::kSep];
                const std::size_t hash = comment_on_line(sep, first);
                if (hash != kNone && hash < first) {
                    s.comments.mut().trailing = comment_text(hash);
                    s.flags |= SlotLayout::kCommentInSep;
                }
            } else if (role == Role::Root) {
                doc_.head_end = first;
                doc_.root_is_block = true;
                doc_.root_props = props;
            }
            f.column = column_of(ev.open);
            if (parent != nullptr) {
                f.parent_column = parent->column;
                f.has_parent = true;
            }
            if (layout_) {
                layout.source = source_;
                layout.start = rel(ev.start);
                layout.column = static_cast<std::uint32_t>(f.column);
                const std::ptrdiff_t rel =
                    static_cast<std::ptrdiff_t>(f.column) -
                    static_cast<std::ptrdiff_t>(f.has_parent ? f.parent_column : 0);
                layout.rel =
                    static_cast<std::int16_t>(std::clamp<std::ptrdiff_t>(rel, -30000, 30000));
                if (role == Role::Root) layout.flags |= CollectionLayout::kRoot;
                // The first of each kind of nesting shows how the document
                // indents.
                if (layout.rel >= 0 && layout.rel < 100) {
                    const auto r = static_cast<std::int8_t>(layout.rel);
                    if (role == Role::Value && f.is_mapping && doc_.map_step < 0) doc_.map_step = r;
                    if (role == Role::Value && !f.is_mapping && doc_.seq_step < 0)
                        doc_.seq_step = r;
                    if (role == Role::Item && first == ev.open && doc_.dash_step < 0)
                        doc_.dash_step = r;
                }
            }
            cursor_ = std::max(cursor_, first);
        }
    }
}

void Builder::end_collection(const Event& ev) {
    if (frames_.empty()) return;
    Frame& f = frames_.back();
    std::size_t end = ev.end;
    if (has_text()) {
        CollectionLayout& layout = f.is_mapping ? f.mapping.layout : f.sequence.layout;
        std::uint8_t& trailing =
            f.is_mapping ? f.mapping.trailing_blank_lines : f.sequence.trailing_blank_lines;
        if (f.is_flow) {
            std::size_t tail_from = cursor_;
            if (f.open_trail >= 0) {
                // The last entry's trail: up to a trailing ',', else its
                // comment on the same line.
                std::size_t p = f.open_trail_from;
                std::size_t comma = kNone;
                std::size_t comment_end = p;
                while (p < ev.start) {
                    const char c = at(p);
                    if (c == ',') {
                        comma = p;
                        break;
                    }
                    if (c == '#') {
                        while (p < ev.start && !is_break(at(p))) ++p;
                        comment_end = p;
                        continue;
                    }
                    if (is_break(c)) break;
                    ++p;
                }
                step(p - f.open_trail_from);
                const std::size_t trail_end = comma != kNone ? comma : comment_end;
                set_trail(f, f.open_trail_from, trail_end);
                tail_from = comma != kNone ? comma + 1 : trail_end;
                if (comma != kNone) layout.flags |= CollectionLayout::kTrailingComma;
            }
            if (layout.has()) {
                layout.tail_begin = rel(tail_from);
                layout.tail_end = rel(std::max(tail_from, ev.start));
                if (layout.flag(CollectionLayout::kBare) && ev.end > ev.start)
                    layout.flags |= CollectionLayout::kClosed;
            }
            cursor_ = std::max(cursor_, ev.end);
        } else {
            close_trail(f, ev.start);
            // The tail: blank lines right after the last entry, and comment
            // lines indented at least as deep as the entries (deeper, for a
            // sequence at its parent's column) up to the first comment that
            // is not.
            // Whole lines up to the token that ends the collection (all of
            // them at the end of the input).
            std::size_t limit = ev.start >= text_end() ? ev.start : line_start(ev.start);
            limit = std::max(limit, cursor_);
            const bool nested = frames_.size() > 1;
            const std::size_t threshold =
                f.column + ((f.has_parent && f.column == f.parent_column) ? 1 : 0);
            std::size_t p = cursor_;
            std::size_t tail_end = cursor_;
            std::size_t blank = 0;
            std::size_t blank_at_end = 0;
            bool leading = true;
            while (p < limit) {
                const std::size_t line_end = end_of_line(p, limit);
                std::size_t q = p;
                while (q < line_end && is_blank(at(q))) ++q;
                step(q - p);
                if (q == line_end || is_break(at(q))) {
                    if (q < line_end) ++blank;  // (blanks at the end of the input are no line)
                    if (leading) {
                        tail_end = line_end;
                        blank_at_end = blank;
                    }
                } else {
                    leading = false;
                    if (nested && column_of(q) < threshold) break;
                    tail_end = line_end;
                    blank_at_end = blank;
                }
                p = line_end;
            }
            if (!nested) {
                // A root collection keeps everything up to the document's end.
                tail_end = limit;
                blank_at_end = blank;
            }
            trailing = static_cast<std::uint8_t>(std::min<std::size_t>(blank_at_end, 255));
            if (layout.has()) {
                layout.tail_begin = rel(cursor_);
                layout.tail_end = rel(tail_end);
                layout.trailing = trailing;
            }
            cursor_ = tail_end;
            end = tail_end;
        }
    }
    Frame& done = frames_.back();
    if (!done.shadows.empty()) [[unlikely]]
        keep_shadows(done);
    if (done.is_mapping && !done.is_flow) leads_.resize(done.leads_base);
    // Loaded trees live as long as the program keeps them: the entries
    // move into storage of their exact size, and the storage they grew in
    // serves the next collection.
    // (Large storage is freed at once rather than kept.)
    constexpr std::size_t kSpareLimit = 256;
    if (done.is_mapping) {
        auto room = done.mapping.entries.compact();
        if (room.capacity() <= kSpareLimit) spare_entries_.push_back(std::move(room));
    } else {
        std::vector<YamlItem> room;
        room.reserve(done.sequence.items.size());
        for (YamlItem& it : done.sequence.items) room.push_back(std::move(it));
        room.swap(done.sequence.items);
        room.clear();
        if (room.capacity() <= kSpareLimit) spare_items_.push_back(std::move(room));
    }
    // Straight into the node's shared record (no intermediate copy).
    YamlNode node;
    if (done.is_mapping) {
        node.v.emplace<0>(std::move(done.mapping));
    } else {
        node.v.emplace<1>(std::move(done.sequence));
    }
    if (done.anchor) register_anchor(*done.anchor, node, done.anchor_order);
    const bool flow = done.is_flow;
    frames_.pop_back();
    const Role role = frames_.empty()                                               ? Role::Root
                      : frames_.back().is_mapping && frames_.back().pending.empty() ? Role::Key
                      : frames_.back().is_mapping                                   ? Role::Value
                                                                                    : Role::Item;
    place(std::move(node), role, flow ? ev.end : end);
}

void Builder::place(YamlNode&& node, Role role, std::size_t end) {
    if (role == Role::Root) {
        doc_.root_end = end;
        doc_.root_done = true;
        metas_.push_back(std::move(current_meta_));
        current_meta_ = DocMetadata{};
        roots_.push_back(std::move(node));
        return;
    }
    Frame& f = frames_.back();
    Slot& s = f.slot;
    if (role == Role::Key) {
        // A collection used as a key: its text is the key piece.
        f.pending.key_node = std::move(node);
        s.at[SlotLayout::kSep] = end;
        return;
    }
    const bool block_value = s.shape == SlotLayout::kBlock || s.shape == SlotLayout::kBlockScalar;
    if (has_text() && s.at[0] != kNone) {
        if (s.shape != SlotLayout::kBlock) s.at[SlotLayout::kTrail] = end;
        if (s.shape == SlotLayout::kBlockScalar) s.at[SlotLayout::kEnd] = end;
    }
    std::size_t index = 0;
    // Entries and items are filled where they stay.
    if (role == Role::Item) {
        index = f.sequence.items.size();
        YamlItem& item = f.sequence.items.emplace_back();
        item.node = std::move(node);
        item.comments = std::move(s.comments);
        item.blank_lines_before = s.blank_lines;
        if (layout_ && s.value_at != kNone) item.at.v = rel(s.value_at);
    } else {
        PendingKey& k = f.pending;
        // A duplicate key replaces the earlier entry in its place: last one wins.
        const auto [at, added] = f.mapping.entries.find_or_append(
            k.key
                ? std::move(*k.key)
                : SmallString(k.key_node ? complex_key_string(*k.key_node, f.mapping.entries.size())
                                         : std::string()));
        index = at;
        YamlEntry& entry = f.mapping.entries.at(index).value;
        if (!added) {
            note_shadow(f, index, entry);
            entry = YamlEntry{};
        }
        entry.value = std::move(node);
        entry.comments = std::move(s.comments);
        entry.blank_lines_before = s.blank_lines;
        if (layout_ && s.key_at != kNone) {
            entry.key_at.v = rel(s.key_at);
            if (s.value_at != kNone && s.value_at >= s.key_at && s.value_at - s.key_at < kNoDelta)
                entry.value_delta.v = static_cast<std::uint16_t>(s.value_at - s.key_at);
        }
        if (!k.key) {
            // A collection used as a key: its properties live on the key node.
            entry.key_props.mut().node = Box<YamlNode>(std::move(*k.key_node));
        } else {
            entry.key_style = k.key_style;
            if (k.key_anchor || k.key_alias || k.key_tag || k.key_node) {
                KeyProps& props = entry.key_props.mut();
                props.anchor = std::move(k.key_anchor);
                props.alias = std::move(k.key_alias);
                props.tag = std::move(k.key_tag);
                if (k.key_node) props.node = Box<YamlNode>(std::move(*k.key_node));
            }
        }
        if (!added && !f.shadows.back().kept) {
            // In the first one's place, the text it was read with does not
            // fit next to its new neighbours: it is written anew, whole.
            s.at[0] = kNone;
            forget_layout(entry.value);
        }
        k.clear();
    }
    f.open_trail = static_cast<std::ptrdiff_t>(index);
    f.open_trail_from = end;
    cursor_ = std::max(cursor_, end);
    // Block values end with a line (or their own records): no trail.
    if (block_value || !has_text()) set_trail(f, end, end);
}

void Builder::forget_layout(YamlNode& node) {
    if (YamlMapping* m = node.mapping()) {
        m->layout.reset();
        for (auto& slot : m->entries) {
            slot.value.layout.reset();
            if (slot.value.key_props->node) forget_layout(**slot.value.key_props.mut().node);
            forget_layout(slot.value.value);
        }
    } else if (YamlSequence* q = node.sequence()) {
        q->layout.reset();
        for (YamlItem& item : q->items) {
            item.layout.reset();
            forget_layout(item.node);
        }
    }
}

bool Builder::plain_text(const YamlNode& node) {
    if (node.alias() != nullptr) return false;
    if (const YamlScalar* s = node.scalar()) return !s->props->anchor && !s->props->tag;
    if (const YamlMapping* m = node.mapping()) {
        if (m->anchor || m->tag) return false;
        for (const auto& slot : m->entries)
            if (slot.value.key_props.has() || !plain_text(slot.value.value)) return false;
    } else if (const YamlSequence* q = node.sequence()) {
        if (q->anchor || q->tag) return false;
        for (const YamlItem& item : q->items)
            if (!plain_text(item.node)) return false;
    }
    return true;
}

void Builder::note_shadow(Frame& f, std::size_t index, const YamlEntry& old) {
    ++duplicates_;
    ShadowNote& note = f.shadows.emplace_back();
    note.entry = index;
    // Text the writer gives back beside the tree must not define or use an
    // anchor (other text refers to those), nor hold a tag (whose handle a
    // directive may no longer declare), nor an explicit key.
    note.key_at = old.key_at.known() ? old.key_at.v : 0;
    if (!layout_ || f.is_flow || !old.key_at.known() || f.slot.at[0] == kNone ||
        old.key_props.has() || !plain_text(old.value))
        return;
    note.kept = true;
    // Whether its text ends with a block scalar: lines after it that are
    // indented deeper would be read as that scalar's (and with "+", blank
    // lines too). Found at the end of its chain of last values, unless the
    // tail of a collection on it ends the text with comment lines.
    const YamlNode* v = &old.value;
    std::uint32_t at = old.value_delta.known() ? old.key_at.v + old.value_delta.v : kNoPosition;
    for (;;) {
        const YamlMapping* m = v->mapping();
        const YamlSequence* q = v->sequence();
        const CollectionLayout* cl = m != nullptr   ? &m->layout
                                     : q != nullptr ? &q->layout
                                                    : nullptr;
        if (cl != nullptr && cl->has() && tail_comments(*cl)) return;
        if (m != nullptr && m->style == ContainerStyle::Block && !m->entries.empty()) {
            const YamlEntry& last = m->entries.back().value;
            at = last.key_at.known() && last.value_delta.known()
                     ? last.key_at.v + last.value_delta.v
                     : kNoPosition;
            v = &last.value;
        } else if (q != nullptr && q->style == ContainerStyle::Block && !q->items.empty()) {
            at = q->items.back().at.v;
            v = &q->items.back().node;
        } else {
            break;
        }
    }
    const YamlScalar* sc = v->scalar();
    if (sc == nullptr || (sc->style != ScalarStyle::Literal && sc->style != ScalarStyle::Folded))
        return;
    note.block_end = true;
    note.keep_end = true;  // unless its header says otherwise
    const std::string_view text = source_->text;
    if (at >= text.size() || (text[at] != '|' && text[at] != '>')) return;
    std::size_t p = at + 1;
    while (p < text.size() &&
           (text[p] == '+' || text[p] == '-' || (text[p] >= '0' && text[p] <= '9'))) {
        if (text[p] == '+') return;
        ++p;
    }
    note.keep_end = false;
}

void Builder::keep_shadows(Frame& f) {
    auto& entries = f.mapping.entries;
    const std::vector<ShadowNote>& notes = f.shadows;
    // Where the text of an entry cannot be kept, the entry that replaced it
    // is written anew, whole, in the first one's place.
    const auto written_anew = [&](std::size_t index) {
        YamlEntry& e = entries.at(index).value;
        e.layout.reset();
        forget_layout(e.value);
    };
    const auto lost_all = [&] {
        for (const ShadowNote& n : notes) written_anew(n.entry);
        lost_duplicates_ += notes.size();
    };
    CollectionLayout& layout = f.mapping.layout;
    const std::size_t base = f.leads_base;
    const std::size_t count = leads_.size() - base;
    if (f.is_flow || !layout_ || !layout.has() || layout.source != source_ ||
        count != entries.size() + notes.size())
        return lost_all();
    const std::string_view text = source_->text;
    const auto lead_begin = leads_.begin() + static_cast<std::ptrdiff_t>(base);
    // The entry whose lead and key hold offset `key_at`, in the order read.
    const auto piece_at = [&](std::uint32_t key_at) -> std::size_t {
        const auto it = std::upper_bound(lead_begin, leads_.end(), key_at);
        return it == lead_begin ? kNone : static_cast<std::size_t>(it - lead_begin) - 1;
    };
    constexpr std::uint32_t kNo = ShadowedEntries::kNone;
    ShadowedEntries record;
    record.pieces.resize(count);
    std::vector<bool> claimed(count, false);
    const auto claim = [&](std::uint32_t key_at) -> ShadowedEntries::Piece* {
        const std::size_t i = piece_at(key_at);
        if (i == kNone || claimed[i]) return nullptr;
        claimed[i] = true;
        ShadowedEntries::Piece& p = record.pieces[i];
        p.begin = leads_[base + i];
        p.end = i + 1 < count ? leads_[base + i + 1] : p.begin;
        p.key_at = key_at;
        return &p;
    };
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const YamlEntry& e = entries.at(i).value;
        if (!e.key_at.known() || claim(e.key_at.v) == nullptr) return lost_all();
    }
    // A group for each key read more than once (numbered by entry for now);
    // one with any entry whose text cannot be kept keeps none.
    std::vector<std::uint32_t> group_of(entries.size(), kNo);
    std::vector<std::size_t> group_entry;
    std::vector<bool> lost;
    for (const ShadowNote& n : notes) {
        if (group_of[n.entry] == kNo) {
            group_of[n.entry] = static_cast<std::uint32_t>(group_entry.size());
            group_entry.push_back(n.entry);
            lost.push_back(false);
        }
        const std::uint32_t g = group_of[n.entry];
        ShadowedEntries::Piece* p = claim(n.key_at);
        if (p == nullptr) return lost_all();
        p->shadow = true;
        p->group = g;
        p->block_end = n.block_end;
        p->keep_end = n.keep_end;
        // A simple key at the start of its line, or first on its parent's
        // "-" line.
        std::uint32_t k = p->key_at;
        while (k > p->begin && text[k - 1] == ' ') --k;
        if (!n.kept || (k != p->begin && !is_break(text[k - 1]))) lost[g] = true;
        p->inline_first = p->key_at == p->begin && p->begin > 0 && !is_break(text[p->begin - 1]);
    }
    // The entry that stands is read after the ones it replaced.
    std::vector<std::size_t> first(group_entry.size(), kNone);
    std::vector<std::size_t> real(group_entry.size());
    for (std::size_t g = 0; g < group_entry.size(); ++g)
        real[g] = piece_at(entries.at(group_entry[g]).value.key_at.v);
    for (std::size_t i = 0; i < count; ++i) {
        const ShadowedEntries::Piece& p = record.pieces[i];
        if (!p.shadow) continue;
        first[p.group] = std::min(first[p.group], i);
        if (i > real[p.group]) lost[p.group] = true;
    }
    std::vector<std::uint32_t> kept(group_entry.size(), kNo);
    for (std::size_t g = 0; g < group_entry.size(); ++g) {
        if (lost[g]) {
            written_anew(group_entry[g]);
            continue;
        }
        const auto& slot = entries.at(group_entry[g]);
        const YamlEntry& e = slot.value;
        kept[g] = static_cast<std::uint32_t>(record.groups.size());
        ShadowedEntries::Group& group = record.groups.emplace_back();
        group.key = slot.key.str();
        group.key_at = e.key_at.v;
        group.fp_key = fingerprint_key(slot.key, e);
        group.fp_value = fingerprint_value(e.value);
        if (const YamlMapping* m = e.value.mapping(); m != nullptr && m->layout.has())
            group.value_start = m->layout.start;
        if (const YamlSequence* q = e.value.sequence(); q != nullptr && q->layout.has())
            group.value_start = q->layout.start;
        group.first = static_cast<std::uint32_t>(first[g]);
        record.pieces[real[g]].group = kept[g];
    }
    for (ShadowedEntries::Piece& p : record.pieces) {
        if (!p.shadow) continue;
        p.group = kept[p.group];
        if (p.group == kNo) ++lost_duplicates_;
    }
    if (record.groups.empty()) return;
    layout.set_shadowed(source_->keep(std::move(record)));
}

void Builder::register_anchor(const std::string& name, const YamlNode& node, std::size_t order) {
    auto it = anchors_.find(name);
    if (it != anchors_.end() && it->second.order > order) return;
    anchors_.insert_or_assign(name, Anchored{node, copy_cost(node), order});
}

Status Builder::process_alias(Event&& event, const Marker& mark) {
    YamlNode copy;
    if (auto it = anchors_.find(event.value); it != anchors_.end()) {
        alias_copies_ += it->second.cost;
        const std::size_t budget = std::max(kAliasBudgetFloor, 10 * event.end);
        if (alias_copies_ > budget)
            return ScanError(mark, "aliases expand too far: the document copies more than " +
                                       std::to_string(budget) + " bytes through aliases");
        copy = it->second.node;
    }
    const Role role = begin_node(event);
    if (role == Role::Key) {
        Frame& f = frames_.back();
        PendingKey& k = f.pending;
        k.key.emplace(copy.scalar() ? copy.scalar()->value.to_key_string() : std::string());
        k.key_alias = std::move(event.value);
        k.key_style = ScalarStyle::Plain;
        f.slot.at[SlotLayout::kSep] = event.end;
        cursor_ = std::max(cursor_, event.end);
        return {};
    }
    if (role == Role::Root) {
        doc_.head_end = doc_.root_begin = event.start;
    } else {
        Slot& s = frames_.back().slot;
        s.at[SlotLayout::kValue] = event.start;
        s.shape = SlotLayout::kInline;
        note_sep_comment(frames_.back(), event.start);
    }
    cursor_ = std::max(cursor_, event.end);
    place(YamlNode(AliasNode{std::move(event.value), Box<YamlNode>(std::move(copy))}), role,
          event.end);
    return {};
}

Status Builder::check_collection_tag(const Event& ev, const Marker& mark,
                                     CoercionTags coercion) const {
    const std::string tag = ev.tag->full();
    if (coercion.contains(tag)) return {};
    const bool mapping = ev.type == Event::Type::MappingStart;
    std::string misfit = core_tag_misfit(tag, mapping, !mapping, {}, false);
    if (misfit.empty()) return {};
    return tag_error(ev, mark, std::move(misfit));
}

ScanError Builder::tag_error(const Event& ev, const Marker& mark, std::string message) const {
    // At the node's properties, where the tag is, when the text is here.
    Marker at = mark;
    if (has_text() && ev.start >= source_->base && ev.start <= text_end()) {
        const TextPosition p = source_->lines.locate(source_->text, ev.start - source_->base);
        at = Marker{p.index, p.line, p.column, ev.start};
    }
    return ScanError(at, std::move(message), ScanError::Kind::Tag);
}

Status Builder::process_scalar(Event&& event, const Marker& mark, CoercionTags coercion) {
    // An empty node stands after what was read before it.
    if (event.start == event.end && event.start < cursor_) event.start = event.end = cursor_;
    const Role role = begin_node(event);
    std::optional<std::string> tag;
    if (event.tag) tag = event.tag->full();

    if (role == Role::Key && !event.anchor) {
        // Keys keep their text exactly as read: a key written 1.0 stays "1.0".
        Frame& f = frames_.back();
        PendingKey& k = f.pending;
        k.key.emplace(event.value);
        k.key_style = event.style;
        k.key_tag = std::move(tag);
        f.slot.at[SlotLayout::kSep] = event.end;
        cursor_ = std::max(cursor_, event.end);
        return {};
    }
    // Made where it stays: in the node.
    YamlNode node;
    YamlScalar& s = node.emplace_scalar();
    s.style = event.style;
    bool misfit = false;
    s.value = type_scalar(event.value, event.style, tag, coercion, &misfit);
    if (misfit)
        return tag_error(event, mark, core_tag_misfit(*tag, false, false, event.value, true));
    if (event.style == ScalarStyle::Plain && keeps_original(s.value, event.value, tag.has_value()))
        s.props.mut().original = event.value;
    if (tag) s.props.mut().tag = tag;
    if (event.anchor) s.props.mut().anchor = event.anchor;
    // An anchored key registers its typed node too, for aliases elsewhere.
    if (event.anchor) register_anchor(*event.anchor, node, ++anchors_read_);

    if (role == Role::Key) {
        Frame& f = frames_.back();
        PendingKey& k = f.pending;
        k.key.emplace(event.value);
        k.key_style = event.style;
        k.key_anchor = std::move(event.anchor);
        k.key_tag = std::move(tag);
        f.slot.at[SlotLayout::kSep] = event.end;
        cursor_ = std::max(cursor_, event.end);
        return {};
    }
    const bool block = event.style == ScalarStyle::Literal || event.style == ScalarStyle::Folded;
    if (role == Role::Root) {
        doc_.head_end = doc_.root_begin = event.start;
    } else {
        Slot& sl = frames_.back().slot;
        sl.at[SlotLayout::kValue] = event.start;
        sl.shape = block                      ? SlotLayout::kBlockScalar
                   : event.start == event.end ? SlotLayout::kEmpty
                                              : SlotLayout::kInline;
        note_sep_comment(frames_.back(), event.start);
        if (block && has_text()) {
            // A comment after the header is the entry's inline comment.
            const std::size_t hash = comment_on_line(event.start, event.end);
            if (hash != kNone) {
                sl.comments.mut().trailing = comment_text(hash);
                sl.flags = static_cast<std::uint8_t>((sl.flags & ~SlotLayout::kCommentInSep) |
                                                     SlotLayout::kCommentInValue);
            }
        }
    }
    cursor_ = std::max(cursor_, event.end);
    place(std::move(node), role, event.end);
    return {};
}

void Builder::fill_doc_layout(DocLayout& l, const DocMetadata& meta, const YamlNode& root) const {
    l.source = source_;
    l.head_begin = rel(doc_.begin);
    l.head_end = rel(std::max(doc_.begin, doc_.head_end));
    if (doc_.root_is_block) {
        l.root_begin = l.root_end = l.head_end;
    } else {
        l.root_begin = rel(doc_.root_begin);
        l.root_end = rel(doc_.root_end);
    }
    l.fp_head = fingerprint_head(meta, root);
    l.fp_root = fingerprint_value(root);
    l.has_marker = meta.explicit_start;
    l.map_step = doc_.map_step;
    l.seq_step = doc_.seq_step;
    l.dash_step = doc_.dash_step;
    // The line breaks of the document: CR LF when its first one is.
    std::size_t p = doc_.begin;
    for (; p < cursor_; ++p) {
        if (at(p) == '\n') {
            l.crlf = p > doc_.begin && at(p - 1) == '\r';
            break;
        }
    }
    step(p - doc_.begin);
    l.final_break = cursor_ == doc_.begin || is_break(at(cursor_ - 1));
}

void Builder::end_document(const Event& ev) {
    ++document_ends_;
    if (roots_.empty() || metas_.empty()) return;
    DocMetadata& meta = metas_.back();
    meta.explicit_end = ev.is_explicit;
    if (!has_text()) return;
    const std::size_t tail_begin = cursor_;
    std::size_t tail_end = std::max(cursor_, ev.start);
    if (ev.is_explicit) tail_end = std::max(cursor_, line_start(ev.start));
    cursor_ = tail_end;
    std::size_t end_begin = cursor_, end_end = cursor_;
    if (ev.is_explicit) {
        end_begin = ev.start;
        end_end = end_of_line(ev.end, text_end());
        cursor_ = end_end;
    }
    if (!layout_ || doc_.head_end == kNone) return;
    DocLayout l;
    fill_doc_layout(l, meta, roots_.back());
    l.tail_begin = rel(tail_begin);
    l.tail_end = rel(tail_end);
    l.end_begin = rel(end_begin);
    l.end_end = rel(end_end);
    l.has_end = ev.is_explicit;
    meta.layout.set(std::move(l));
}

void Builder::end_stream(const Event& ev) {
    if (!has_text()) return;
    const std::size_t end = std::max(cursor_, ev.start);
    if (!layout_ || end == cursor_) return;
    if (!roots_.empty() && !metas_.empty() && metas_.back().layout.get() != nullptr) {
        // Comments and blank lines after the last document's "..." stay
        // with it.
        DocLayout l = *metas_.back().layout.get();
        l.end_end = rel(end);
        l.final_break = is_break(at(end - 1));
        metas_.back().layout.set(std::move(l));
        cursor_ = end;
        return;
    }
    if (docs_started_ > 0) return;
    // A stream of comments and blank lines only: one empty document holds
    // them, so that they are written back.
    YamlScalar empty;
    empty.value = ScalarValue::null();
    empty.props.mut().original = std::string();
    doc_ = DocState{};
    doc_.begin = cursor_;
    doc_.head_end = end;
    doc_.root_begin = doc_.root_end = end;
    DocMetadata meta;
    YamlNode root(std::move(empty));
    cursor_ = end;
    DocLayout l;
    fill_doc_layout(l, meta, root);
    l.tail_begin = l.tail_end = rel(end);
    l.end_begin = l.end_end = rel(end);
    meta.layout.set(std::move(l));
    roots_.push_back(std::move(root));
    metas_.push_back(std::move(meta));
}

}  // namespace tesvorn
