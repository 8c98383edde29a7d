#include "core/parser.hpp"

#include <algorithm>

namespace tesvorn::detail {

namespace {

constexpr const char* kYamlTagPrefix = "tag:yaml.org,2002:";

bool is_directive(TokenType t) {
    return t == TokenType::VersionDirective || t == TokenType::TagDirective;
}

// Events are filled in place: the driver hands in the same event on every
// call, and building a new one to move over it cost more than filling it.
// Inlined, the stores the caller makes again fall away.
[[gnu::always_inline]] inline Event& reset(Event& ev, Event::Type t) {
    ev.type = t;
    ev.is_explicit = false;
    ev.flow = false;
    ev.style = ScalarStyle::Plain;
    ev.version.reset();
    ev.tag_directives.clear();
    ev.value.clear();
    ev.anchor.reset();
    ev.tag.reset();
    ev.end_line = 0;
    ev.property_line = 0;
    ev.start = ev.end = ev.open = 0;
    return ev;
}

// The value of a scalar token into its event.
void take_value(Event& ev, Token& t) {
    if (t.raw.data())
        ev.value.assign(t.raw.data(), t.raw.size());
    else
        ev.value = std::move(t.value);
}

}  // namespace

[[gnu::noinline, gnu::cold]] bool ParserCore::fail(Marker m, const char* message) {
    if (!error_) error_.emplace(m, message);
    return false;
}

Opener ParserCore::open_at_error(const ScannerCore& scanner) const noexcept {
    if (!error_) return {};
    // Nothing moves after an error: the stacks are as they were then.
    if (scanner_failed_) return scanner.open_at_error();
    for (auto it = open_flows_.rbegin(); it != open_flows_.rend(); ++it)
        if (it->what && it->mark.index < error_->mark.index) return *it;
    return {};
}

Token* ParserCore::peek(ScannerCore& scanner) {
    // Kept small enough to inline: the rare paths are calls.
    Token* t = scanner.peek_token();
    if (t && t->type != Type::Comment) [[likely]]
        return t;
    return peek_past_comments(scanner);
}

Token* ParserCore::peek_past_comments(ScannerCore& scanner) {
    for (;;) {
        Token* t = scanner.peek_token();
        if (!t) {
            if (scanner.stored_error()) {
                error_ = *scanner.stored_error();
                scanner_failed_ = true;
            } else {
                error_.emplace(scanner.mark(), "unexpected eof");
            }
            return nullptr;
        }
        if (t->type != Type::Comment) return t;
        if (keep_comments)
            pending_comments.push_back(
                PendingComment{t->mark, t->raw.data() ? std::string(t->raw) : std::move(t->value)});
        scanner.pop_token();
    }
}

bool ParserCore::parse(ScannerCore& sc, Event& ev, Marker& mk) {
    if (error_ || !dispatch(sc, ev, mk)) return false;
    // The collections still open, by the number of their anchor (0 for
    // none): an alias naming one of them would make the node contain itself.
    if (ev.type == Event::Type::SequenceStart || ev.type == Event::Type::MappingStart) {
        open_anchors_.push_back(ev.anchor ? anchor_ids_[*ev.anchor] : 0);
    } else if ((ev.type == Event::Type::SequenceEnd || ev.type == Event::Type::MappingEnd) &&
               !open_anchors_.empty()) {
        open_anchors_.pop_back();
    }
    return true;
}

// Inlined into `parse`: one call per event, not two.
[[gnu::always_inline]] inline bool ParserCore::dispatch(ScannerCore& sc, Event& ev, Marker& mk) {
    switch (state_) {
        case ParserState::StreamStart:
            return stream_start(sc, ev, mk);
        case ParserState::ImplicitDocumentStart:
            return document_start(sc, ev, mk, true);
        case ParserState::DocumentStart:
            return document_start(sc, ev, mk, false);
        case ParserState::DocumentContent:
            return document_content(sc, ev, mk);
        case ParserState::DocumentEnd:
            return document_end(sc, ev, mk);
        case ParserState::BlockNode:
            return parse_node(sc, ev, mk, true, false);
        case ParserState::BlockSequenceFirstEntry:
            return block_sequence_entry(sc, ev, mk, true);
        case ParserState::BlockSequenceEntry:
            return block_sequence_entry(sc, ev, mk, false);
        case ParserState::IndentlessSequenceEntry:
            return indentless_sequence_entry(sc, ev, mk);
        case ParserState::BlockMappingFirstKey:
            return block_mapping_key(sc, ev, mk, true);
        case ParserState::BlockMappingKey:
            return block_mapping_key(sc, ev, mk, false);
        case ParserState::BlockMappingValue:
            return block_mapping_value(sc, ev, mk);
        case ParserState::FlowSequenceFirstEntry:
            return flow_sequence_entry(sc, ev, mk, true);
        case ParserState::FlowSequenceEntry:
            return flow_sequence_entry(sc, ev, mk, false);
        case ParserState::FlowSequenceEntryMappingKey:
            return flow_sequence_entry_mapping_key(sc, ev, mk);
        case ParserState::FlowSequenceEntryMappingValue:
            return flow_sequence_entry_mapping_value(sc, ev, mk);
        case ParserState::FlowSequenceEntryMappingEnd:
            state_ = ParserState::FlowSequenceEntry;
            reset(ev, Event::Type::MappingEnd);
            mk = sc.mark();
            ev.start = ev.end = last_end_;
            return true;
        case ParserState::FlowMappingFirstKey:
            return flow_mapping_key(sc, ev, mk, true);
        case ParserState::FlowMappingKey:
            return flow_mapping_key(sc, ev, mk, false);
        case ParserState::FlowMappingValue:
            return flow_mapping_value(sc, ev, mk, false);
        case ParserState::FlowMappingEmptyValue:
            return flow_mapping_value(sc, ev, mk, true);
        case ParserState::End:
            reset(ev, Event::Type::StreamEnd);
            mk = sc.mark();
            return true;
    }
    return fail(sc.mark(), "invalid parser state");
}

namespace {

// The empty scalar that stands for a missing node, at `m`. In block
// collections `m` is the indicator ("-", "?", ":") that announced the node,
// not the token after it: that token is usually on a later line, and the
// builder would count the indicator's own line as a blank line before the
// node (and one more on every round trip).
bool empty_scalar(Event& ev, Marker& mk, Marker m, std::size_t at) {
    reset(ev, Event::Type::Scalar);
    mk = m;
    ev.start = ev.end = at;
    return true;
}

}  // namespace

bool ParserCore::stream_start(ScannerCore& sc, Event& ev, Marker& mk) {
    Token* t = peek(sc);
    if (!t) return false;
    if (t->type != Type::StreamStart) return fail(t->mark, "did not find expected <stream-start>");
    mk = t->mark;
    skip(sc);
    state_ = ParserState::ImplicitDocumentStart;
    reset(ev, Event::Type::StreamStart);
    ev.start = ev.end = t->mark.pos;
    return true;
}

bool ParserCore::document_start(ScannerCore& sc, Event& ev, Marker& mk, bool implicit) {
    Token* t = peek(sc);
    if (!t) return false;
    while (t->type == Type::DocumentEnd) {
        skip(sc);
        if (!(t = peek(sc))) return false;
    }
    if (t->type == Type::StreamEnd) {
        mk = t->mark;
        const std::size_t at = t->mark.pos;
        skip(sc);
        state_ = ParserState::End;
        reset(ev, Event::Type::StreamEnd);
        ev.start = ev.end = at;
        return true;
    }
    if (implicit && !is_directive(t->type) && t->type != Type::DocumentStart) {
        tag_handles_.clear();
        push_state(ParserState::DocumentEnd);
        state_ = ParserState::BlockNode;
        reset(ev, Event::Type::DocumentStart);
        mk = t->mark;
        ev.start = ev.end = t->mark.pos;
        return true;
    }
    return explicit_document_start(sc, ev, mk);
}

bool ParserCore::explicit_document_start(ScannerCore& sc, Event& ev, Marker& mk) {
    std::optional<YamlVersion> version;
    TagDirectives directives;
    Token* t = peek(sc);
    if (!t) return false;
    const std::size_t start = t->mark.pos;  // the first directive, or "---"
    if (!process_directives(sc, version, directives)) return false;
    t = peek(sc);
    if (!t) return false;
    if (t->type != Type::DocumentStart)
        return fail(t->mark, "did not find expected <document start>");
    push_state(ParserState::DocumentEnd);
    state_ = ParserState::DocumentContent;
    mk = t->mark;
    skip(sc);
    ev = Event::document_start(true, version, std::move(directives));
    ev.start = start;
    ev.end = last_end_;
    return true;
}

bool ParserCore::process_directives(ScannerCore& sc, std::optional<YamlVersion>& version,
                                    TagDirectives& directives) {
    std::unordered_map<std::string, std::string> handles;
    for (;;) {
        Token* t = peek(sc);
        if (!t) return false;
        if (t->type == Type::VersionDirective) {
            if (version) return fail(t->mark, "duplicate version directive");
            version = YamlVersion(static_cast<std::uint8_t>(t->major),
                                  static_cast<std::uint8_t>(t->minor));
        } else if (t->type == Type::TagDirective) {
            if (!t->value.empty() || !t->suffix.empty()) {
                if (handles.contains(t->value))
                    return fail(t->mark,
                                "the TAG directive must only be given at most once per handle in "
                                "the same document");
                handles.emplace(t->value, t->suffix);
                directives.emplace_back(std::move(t->value), std::move(t->suffix));
            }
        } else {
            break;
        }
        skip(sc);
    }
    tag_handles_ = std::move(handles);
    return true;
}

bool ParserCore::document_content(ScannerCore& sc, Event& ev, Marker& mk) {
    Token* t = peek(sc);
    if (!t) return false;
    switch (t->type) {
        case Type::StreamEnd:
        case Type::VersionDirective:
        case Type::TagDirective:
        case Type::DocumentStart:
        case Type::DocumentEnd:
            pop_state();
            return empty_scalar(ev, mk, t->mark, last_end_);
        default:
            return parse_node(sc, ev, mk, true, false);
    }
}

bool ParserCore::document_end(ScannerCore& sc, Event& ev, Marker& mk) {
    Token* t = peek(sc);
    if (!t) return false;
    tag_handles_.clear();
    // Anchors, like tag handles, belong to their document: an alias of an
    // earlier document's anchor names nothing.
    anchor_ids_.clear();
    mk = t->mark;
    const std::size_t at = t->mark.pos;
    if (t->type == Type::DocumentEnd) {
        skip(sc);
        state_ = ParserState::ImplicitDocumentStart;
        reset(ev, Event::Type::DocumentEnd).is_explicit = true;
        ev.start = at;
        ev.end = last_end_;
        return true;
    }
    if (is_directive(t->type))
        return fail(t->mark, "missing explicit document end marker before directive");
    state_ = ParserState::DocumentStart;
    reset(ev, Event::Type::DocumentEnd);
    ev.start = ev.end = at;
    return true;
}

[[gnu::always_inline]] inline bool ParserCore::block_sequence_entry(ScannerCore& sc, Event& ev,
                                                                    Marker& mk, bool first) {
    if (first) skip(sc);  // the BlockSequenceStart
    Token* t = peek(sc);
    if (!t) return false;
    if (t->type == Type::BlockEnd) {
        pop_state();
        close_block_collection();
        mk = t->mark;
        skip(sc);
        reset(ev, Event::Type::SequenceEnd);
        ev.start = ev.end = mk.pos;
        return true;
    }
    if (t->type != Type::BlockEntry)
        return fail(t->mark,
                    "while parsing a block collection, did not find expected '-' indicator");
    const Marker entry = t->mark;
    skip(sc);
    if (!(t = peek(sc))) return false;
    if (t->type == Type::BlockEntry || t->type == Type::BlockEnd) {
        state_ = ParserState::BlockSequenceEntry;
        return empty_scalar(ev, mk, entry, last_end_);
    }
    push_state(ParserState::BlockSequenceEntry);
    return item_node(sc, ev, mk, entry);
}

bool ParserCore::item_node(ScannerCore& sc, Event& ev, Marker& mk, const Marker& entry) {
    if (!parse_node(sc, ev, mk, true, false)) return false;
    // An item that starts on a line below its "-" stands at the "-": the
    // builder counts blank lines before an item up to where it stands, and
    // the "-" line is not blank. A block collection stands there as it does
    // at properties (which are on the "-" line or below it); a scalar keeps
    // the line its text ends on, for the comment after it.
    if (mk.line <= entry.line) return true;
    if ((ev.type == Event::Type::MappingStart || ev.type == Event::Type::SequenceStart) &&
        !ev.flow) {
        ev.property_line = entry.line;
    } else if (ev.type == Event::Type::Scalar &&
               std::none_of(pending_comments.begin(), pending_comments.end(),
                            [&](const PendingComment& c) { return c.mark.line >= entry.line; })) {
        // (A comment on the "-" line or below it must stay above the
        // scalar's own line to become the item's comment.)
        ev.end_line = std::max(ev.end_line, mk.line);
        mk = entry;
    }
    return true;
}

bool ParserCore::indentless_sequence_entry(ScannerCore& sc, Event& ev, Marker& mk) {
    Token* t = peek(sc);
    if (!t) return false;
    if (t->type != Type::BlockEntry) {
        pop_state();
        close_block_collection();
        reset(ev, Event::Type::SequenceEnd);
        mk = t->mark;
        ev.start = ev.end = mk.pos;
        return true;
    }
    const Marker entry = t->mark;
    skip(sc);
    if (!(t = peek(sc))) return false;
    switch (t->type) {
        case Type::BlockEntry:
        case Type::Key:
        case Type::Value:
        case Type::BlockEnd:
            state_ = ParserState::IndentlessSequenceEntry;
            return empty_scalar(ev, mk, entry, last_end_);
        default:
            push_state(ParserState::IndentlessSequenceEntry);
            return item_node(sc, ev, mk, entry);
    }
}

[[gnu::always_inline]] inline bool ParserCore::block_mapping_key(ScannerCore& sc, Event& ev,
                                                                 Marker& mk, bool first) {
    if (first) skip(sc);  // the BlockMappingStart
    Token* t = peek(sc);
    if (!t) return false;
    switch (t->type) {
        case Type::BlockEnd:
            pop_state();
            close_block_collection();
            mk = t->mark;
            skip(sc);
            reset(ev, Event::Type::MappingEnd);
            ev.start = ev.end = mk.pos;
            return true;
        case Type::Key: {
            const Marker key = t->mark;
            skip(sc);
            if (!(t = peek(sc))) return false;
            if (t->type == Type::BlockEnd || t->type == Type::Key || t->type == Type::Value) {
                state_ = ParserState::BlockMappingValue;
                return empty_scalar(ev, mk, key, last_end_);
            }
            push_state(ParserState::BlockMappingValue);
            return parse_node(sc, ev, mk, true, true);
        }
        case Type::Value:
            state_ = ParserState::BlockMappingValue;
            return empty_scalar(ev, mk, t->mark, t->mark.pos);
        default:
            return fail(t->mark, "while parsing a block mapping, did not find expected key");
    }
}

[[gnu::always_inline]] inline bool ParserCore::block_mapping_value(ScannerCore& sc, Event& ev,
                                                                   Marker& mk) {
    Token* t = peek(sc);
    if (!t) return false;
    if (t->type != Type::Value) {
        state_ = ParserState::BlockMappingKey;
        return empty_scalar(ev, mk, t->mark, last_end_);
    }
    const Marker value = t->mark;
    skip(sc);
    if (!(t = peek(sc))) return false;
    if (t->type == Type::BlockEnd || t->type == Type::Key || t->type == Type::Value) {
        state_ = ParserState::BlockMappingKey;
        return empty_scalar(ev, mk, value, last_end_);
    }
    push_state(ParserState::BlockMappingKey);
    return parse_node(sc, ev, mk, true, true);
}

bool ParserCore::flow_sequence_entry(ScannerCore& sc, Event& ev, Marker& mk, bool first) {
    if (first) skip(sc);  // the '['
    Token* t = peek(sc);
    if (!t) return false;
    if (t->type != Type::FlowSequenceEnd) {
        if (!first) {
            if (t->type != Type::FlowEntry)
                return fail(t->mark, "while parsing a flow sequence, expected ',' or ']'");
            skip(sc);
            if (!(t = peek(sc))) return false;
        }
    }
    if (t->type == Type::FlowSequenceEnd) {
        pop_state();
        if (!open_flows_.empty()) open_flows_.pop_back();
        mk = t->mark;
        skip(sc);
        reset(ev, Event::Type::SequenceEnd);
        ev.start = mk.pos;
        ev.end = last_end_;
        return true;
    }
    if (t->type == Type::Key) {
        // An explicit-key pair: a single-pair mapping.
        state_ = ParserState::FlowSequenceEntryMappingKey;
        mk = t->mark;
        reset(ev, Event::Type::MappingStart).flow = true;
        ev.start = ev.end = ev.open = mk.pos;
        skip(sc);
        return true;
    }
    push_state(ParserState::FlowSequenceEntry);
    return parse_node(sc, ev, mk, false, false);
}

bool ParserCore::flow_sequence_entry_mapping_key(ScannerCore& sc, Event& ev, Marker& mk) {
    Token* t = peek(sc);
    if (!t) return false;
    if (t->type == Type::Value || t->type == Type::FlowEntry || t->type == Type::FlowSequenceEnd) {
        state_ = ParserState::FlowSequenceEntryMappingValue;
        return empty_scalar(ev, mk, t->mark, t->type == Type::Value ? t->mark.pos : last_end_);
    }
    push_state(ParserState::FlowSequenceEntryMappingValue);
    return parse_node(sc, ev, mk, false, false);
}

bool ParserCore::flow_sequence_entry_mapping_value(ScannerCore& sc, Event& ev, Marker& mk) {
    Token* t = peek(sc);
    if (!t) return false;
    if (t->type != Type::Value) {
        state_ = ParserState::FlowSequenceEntryMappingEnd;
        return empty_scalar(ev, mk, t->mark, last_end_);
    }
    skip(sc);
    if (!(t = peek(sc))) return false;
    if (t->type == Type::FlowEntry || t->type == Type::FlowSequenceEnd) {
        state_ = ParserState::FlowSequenceEntryMappingEnd;
        return empty_scalar(ev, mk, t->mark, last_end_);
    }
    push_state(ParserState::FlowSequenceEntryMappingEnd);
    return parse_node(sc, ev, mk, false, false);
}

bool ParserCore::flow_mapping_key(ScannerCore& sc, Event& ev, Marker& mk, bool first) {
    if (first) skip(sc);  // the '{'
    Token* t = peek(sc);
    if (!t) return false;
    const Marker t_mark = t->mark;
    if (t->type != Type::FlowMappingEnd) {
        if (!first) {
            if (t->type != Type::FlowEntry)
                return fail(t->mark,
                            "while parsing a flow mapping, did not find expected ',' or '}'");
            skip(sc);
            if (!(t = peek(sc))) return false;
        }
        switch (t->type) {
            case Type::Key:
                skip(sc);
                if (!(t = peek(sc))) return false;
                if (t->type == Type::Value || t->type == Type::FlowEntry ||
                    t->type == Type::FlowMappingEnd) {
                    state_ = ParserState::FlowMappingValue;
                    return empty_scalar(ev, mk, t->mark,
                                        t->type == Type::Value ? t->mark.pos : last_end_);
                }
                push_state(ParserState::FlowMappingValue);
                return parse_node(sc, ev, mk, false, false);
            case Type::Value:
                state_ = ParserState::FlowMappingValue;
                return empty_scalar(ev, mk, t->mark, t->mark.pos);
            case Type::FlowMappingEnd:
                break;
            default:
                push_state(ParserState::FlowMappingEmptyValue);
                return parse_node(sc, ev, mk, false, false);
        }
    }
    // The mapping ends; with a trailing comma the end carries the comma's mark.
    pop_state();
    if (!open_flows_.empty()) open_flows_.pop_back();
    // A pair without braces ends where its value does.
    const bool implicit = t->end == t->mark.pos;
    const std::size_t close = implicit ? last_end_ : t->mark.pos;
    skip(sc);
    mk = t_mark;
    reset(ev, Event::Type::MappingEnd);
    ev.start = close;
    ev.end = implicit ? close : last_end_;
    return true;
}

bool ParserCore::flow_mapping_value(ScannerCore& sc, Event& ev, Marker& mk, bool empty) {
    Token* t = peek(sc);
    if (!t) return false;
    state_ = ParserState::FlowMappingKey;
    if (empty || t->type != Type::Value) return empty_scalar(ev, mk, t->mark, last_end_);
    const Marker value_mark = t->mark;
    skip(sc);
    if (!(t = peek(sc))) return false;
    if (t->type == Type::FlowEntry || t->type == Type::FlowMappingEnd)
        return empty_scalar(ev, mk, value_mark, last_end_);
    push_state(ParserState::FlowMappingKey);
    return parse_node(sc, ev, mk, false, false);
}

bool ParserCore::open_block_collection(Marker m) {
    // Deep nesting is refused early: consumers of the events recurse over
    // the tree they build.
    if (block_depth_ >= kMaxBlockDepth) return fail(m, "recursion limit exceeded");
    ++block_depth_;
    return true;
}

[[gnu::always_inline]] inline bool ParserCore::parse_node(ScannerCore& sc, Event& ev, Marker& mk,
                                                          bool block, bool indentless) {
    Token* t = peek(sc);
    if (!t) return false;
    if (t->type == Type::Scalar) {
        // The common node, with no properties: none of the work of the
        // general case, which is a call of its own.
        pop_state();
        mk = t->mark;
        take_value(reset(ev, Event::Type::Scalar), *t);
        ev.style = t->style;
        ev.end_line = t->end_line;
        ev.start = t->mark.pos;
        ev.end = t->end;
        skip(sc);
        return true;
    }
    return parse_other_node(sc, ev, mk, block, indentless, t);
}

bool ParserCore::parse_other_node(ScannerCore& sc, Event& ev, Marker& mk, bool block,
                                  bool indentless, Token* t) {
    if (t->type == Type::Alias) {
        pop_state();
        mk = t->mark;
        const auto anchor = anchor_ids_.find(t->value);
        if (anchor == anchor_ids_.end())
            return fail(t->mark, "while parsing node, found unknown anchor");
        if (std::find(open_anchors_.begin(), open_anchors_.end(), anchor->second) !=
            open_anchors_.end())
            return fail(t->mark, "while parsing node, found an alias that refers to its own node");
        reset(ev, Event::Type::Alias).value = std::move(t->value);
        ev.start = t->mark.pos;
        skip(sc);
        ev.end = last_end_;
        return true;
    }

    std::optional<std::string> anchor;
    std::optional<Tag> tag;
    Marker property_mark;
    bool has_property = false;
    for (;;) {
        if (t->type == Type::Anchor && !anchor) {
            if (!has_property) property_mark = t->mark;
            has_property = true;
            anchor_ids_[t->value] = ++anchor_count_;
            anchor = std::move(t->value);
        } else if (t->type == Type::Tag && !tag) {
            if (!has_property) property_mark = t->mark;
            has_property = true;
            tag.emplace();
            if (!resolve_tag(property_mark, t->value, t->suffix, *tag)) return false;
        } else {
            break;
        }
        skip(sc);
        if (!(t = peek(sc))) return false;
    }

    using E = Event::Type;
    // Where the node's text starts, and where its properties end.
    const std::size_t start = has_property ? property_mark.pos : t->mark.pos;
    const std::size_t props_end = has_property ? last_end_ : start;
    auto collection = [&](E type, bool flow, ParserState next) {
        state_ = next;
        reset(ev, type).flow = flow;
        ev.anchor = std::move(anchor);
        ev.tag = std::move(tag);
        if (has_property) ev.property_line = property_mark.line;
        mk = t->mark;
        ev.start = start;
        ev.open = t->mark.pos;
        ev.end = flow ? t->end : props_end;
        // A flow pair without braces ([a: 1]) has no bracket to name.
        if (flow)
            open_flows_.push_back({t->end == t->mark.pos     ? nullptr
                                   : type == E::MappingStart ? "flow mapping"
                                                             : "flow sequence",
                                   t->mark});
        return true;
    };
    switch (t->type) {
        case Type::BlockSequenceStart:
            if (!block) break;
            if (!open_block_collection(t->mark)) return false;
            return collection(E::SequenceStart, false, ParserState::BlockSequenceFirstEntry);
        case Type::BlockMappingStart:
            if (!block) break;
            if (!open_block_collection(t->mark)) return false;
            return collection(E::MappingStart, false, ParserState::BlockMappingFirstKey);
        case Type::FlowSequenceStart:
            return collection(E::SequenceStart, true, ParserState::FlowSequenceFirstEntry);
        case Type::FlowMappingStart:
            return collection(E::MappingStart, true, ParserState::FlowMappingFirstKey);
        case Type::BlockEntry:
            if (!indentless) break;
            if (!open_block_collection(t->mark)) return false;
            // The token's mark lies after the "-" and its blanks: the
            // sequence opens at the "-".
            collection(E::SequenceStart, false, ParserState::IndentlessSequenceEntry);
            ev.open = t->end - 1;
            if (!has_property) ev.start = ev.end = ev.open;
            return true;
        case Type::Scalar:
            pop_state();
            mk = t->mark;
            take_value(reset(ev, Event::Type::Scalar), *t);
            ev.anchor = std::move(anchor);
            ev.tag = std::move(tag);
            ev.style = t->style;
            ev.end_line = t->end_line;
            ev.start = start;
            ev.end = t->end;
            skip(sc);
            return true;
        default:
            break;
    }
    if (!anchor && !tag)
        return fail(t->mark, "while parsing a node, did not find expected node content");
    pop_state();
    reset(ev, Event::Type::Scalar);
    ev.anchor = std::move(anchor);
    ev.tag = std::move(tag);
    // An empty node stands where its properties are: the next token may be
    // lines further down, and the builder places blank lines and comments by
    // the line of this mark.
    mk = property_mark;
    ev.end_line = property_mark.line;
    ev.start = start;
    ev.end = props_end;
    return true;
}

bool ParserCore::resolve_tag(Marker m, std::string& handle, std::string& suffix, Tag& out) {
    if (handle.empty() && suffix == "!") {
        // The non-specific tag.
        auto it = tag_handles_.find(handle);
        out.handle = it != tag_handles_.end() ? it->second : std::string();
        out.suffix.assign(1, '!');
        return true;
    }
    if (auto it = tag_handles_.find(handle); it != tag_handles_.end()) {
        out.handle = it->second;
    } else if (handle == "!!") {
        out.handle = kYamlTagPrefix;
    } else if (handle.size() >= 2 && handle.front() == '!' && handle.back() == '!') {
        return fail(m, "the handle wasn't declared");
    } else {
        out.handle = std::move(handle);
    }
    out.suffix = std::move(suffix);
    return true;
}

}  // namespace tesvorn::detail
