// Scalars: inline and block styles, long strings folded, and changed text
// written over the lines it was read from.
#include "core/emitter_impl.hpp"

namespace tesvorn::detail {

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
        m->anchor = alias.name.str();
    else if (YamlSequence* q = node.sequence())
        q->anchor = alias.name.str();
    else
        node.scalar()->props.mut().anchor = alias.name.str();
    return node;
}

void Emitter::emit_scalar_inline(const YamlScalar& s, Place place) {
    write_anchor_tag_inline(opt(s.props->anchor), opt(s.props->tag));
    const bool flow = place != Place::Block;
    if (s.props->original) {
        // The source text is kept where it still reads back in this place.
        const std::string& o = *s.props->original;
        const bool fits = o.empty() ? place != Place::FlowItem || s.props->anchor || s.props->tag
                                    : plain_syntax_ok(o, flow, scan_text(o));
        if (fits) {
            // Properties of an empty scalar end the line: no trailing blank.
            if (o.empty() && (s.props->anchor || s.props->tag) && !out_.empty() &&
                out_.back() == ' ')
                out_.pop_back();
            put(o);
            return;
        }
    }
    if (s.style == ScalarStyle::Plain && s.plain_checked.holds(flow) && s.value.is_str()) {
        put(s.value.as_str());
        return;
    }
    append_value(out_, s.value, s.style, flow);
}

void Emitter::emit_block_scalar(const std::string* anchor, const std::string* tag,
                                std::string_view text, ScalarStyle style, std::size_t base,
                                const std::string* comment, std::size_t want) {
    write_anchor_tag_inline(anchor, tag);
    put(style == ScalarStyle::Literal ? '|' : '>');

    // Content lines: the pieces between line feeds, without the empty piece
    // after a final one.
    std::size_t trailing = 0;
    while (trailing < text.size() && text[text.size() - 1 - trailing] == '\n') ++trailing;
    const std::string_view body = trailing != 0 ? text.substr(0, text.size() - 1) : text;

    std::size_t column = want > base ? want : base + step_;
    const std::size_t first = text.find_first_not_of('\n');
    if (first != std::string_view::npos && text[first] == ' ') {
        // The indentation indicator counts from the parent's indentation;
        // it has one digit, so a wider step moves the content in by 9.
        std::size_t digit = column - base;
        if (digit > 9) {
            digit = std::min<std::size_t>(step_, 9);
            column = base + digit;
        }
        put(static_cast<char>('0' + digit));
    }
    if (trailing == 0) {
        put('-');
    } else if (trailing >= 2) {
        put('+');
    }
    push_inline_comment(comment);
    put('\n');

    if (text.empty()) {
        // Even with no lines, deeper lines after the header would be its text.
        after_block_ = pos();
        block_column_ = base;
        block_src_ = nullptr;
        return;
    }
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
    after_block_ = pos();
    block_column_ = base;
    block_src_ = nullptr;
}

void Emitter::put_folded(std::string_view t, ScalarStyle style, std::size_t cont, std::size_t width,
                         bool strict) {
    std::size_t col = column();
    std::string chunk;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= t.size(); ++i) {
        if (i < t.size() && !breaks_at(t, i, style)) continue;
        const std::string_view word = t.substr(start, i - start);
        chunk.clear();
        if (style == ScalarStyle::Double) {
            append_double_escaped(chunk, word);
        } else if (style == ScalarStyle::Single) {
            append_single_quoted(chunk, word);
            chunk = chunk.substr(1, chunk.size() - 2);
        } else {
            chunk = word;
        }
        const std::size_t w = text_columns(chunk);
        if (start != 0) {
            if (strict ? col + 1 + w > width : col > width) {
                put('\n');
                spaces(cont);
                col = cont;
            } else {
                out_ += ' ';
                ++col;
            }
        }
        out_ += chunk;
        col += w;
        start = i + 1;
    }
}

bool Emitter::put_long_string(const YamlScalar& s, std::size_t cont) {
    // (A block style that cannot carry the string gives it one line too.)
    if (!s.value.is_str() || s.props->anchor || s.props->tag || s.props->original) return false;
    const std::string_view t = s.value.as_str();
    // (Bytes are at least columns: most strings are told apart here.)
    if (t.size() + column() <= kWidth || t.find(' ') == std::string_view::npos) return false;
    const ScalarStyle style = quoting_of(t, s.style, false);
    if (style != ScalarStyle::Double && scan_text(t).needs_double()) return false;
    if (style == ScalarStyle::Plain) {
        put_folded(t, style, cont, kWidth, true);
        return true;
    }
    const char quote = style == ScalarStyle::Single ? '\'' : '"';
    out_ += quote;
    put_folded(t, style, cont, kWidth, true);
    out_ += quote;
    return true;
}

bool Emitter::rewrite_lines(const SourceRef& src, const SlotLayout& l, const YamlScalar& s,
                            ScalarStyle style, std::size_t indent, const std::string* comment,
                            bool comment_ok, bool at_end) {
    if (!s.value.is_str() || s.props->anchor || s.props->tag || s.props->original) return false;
    const std::string_view piece = Emitter::piece(src, l, SlotLayout::kValue);
    if (piece.empty()) return false;
    const char lead = piece[0];
    const ScalarStyle read = lead == '|'    ? ScalarStyle::Literal
                             : lead == '>'  ? ScalarStyle::Folded
                             : lead == '\'' ? ScalarStyle::Single
                             : lead == '"'  ? ScalarStyle::Double
                                            : ScalarStyle::Plain;
    if (read != style) return false;
    // The column the scalar starts at in the text read.
    const std::string_view text = src->text;
    const std::uint32_t at = l.at(SlotLayout::kValue);
    std::size_t line_start = at;
    while (line_start > 0 && !is_break(text[line_start - 1])) --line_start;
    ScalarLines r;
    if (!read_scalar_lines(piece, text_columns(text.substr(line_start, at - line_start)), indent,
                           r))
        return false;
    // What the lines read as must be what was read: the reading above is
    // checked against the record, never trusted.
    {
        YamlScalar was;
        was.value = ScalarValue::of_str(r.value);
        was.style = r.style;
        if (fingerprint_value(YamlNode(std::move(was))) != l.fp_value) return false;
    }
    const bool block = is_block_style(style);
    const std::string_view now = s.value.as_str();
    std::size_t body_len = now.size();
    if (block) {
        if (!block_can_hold(now)) return false;
        while (body_len > 0 && now[body_len - 1] == '\n') --body_len;
    }
    const std::string_view old_body = std::string_view(r.value).substr(0, r.body_len);
    const std::string_view new_body = now.substr(0, body_len);
    const auto& lines = r.lines;
    const std::size_t n = lines.size();

    // A block scalar's header and what follows its last line: as read while
    // the value ends in as many line feeds as it did and that still reads
    // so (one that ended the text without a line break does only there).
    const bool ended = is_break(piece.back());
    const std::size_t trailing_was = r.value.size() - r.body_len;
    const std::size_t trailing = now.size() - body_len;
    const bool tail_ok = !block || (trailing == trailing_was && (ended || at_end));
    const auto put_header = [&] {
        if (tail_ok && comment_ok) {
            put_raw(piece.substr(0, r.header_end));
            return;
        }
        std::size_t i = 1;
        char digit = 0, chomp = 0;
        for (int k = 0; k < 2 && i < r.header_end; ++k, ++i) {
            const char c = piece[i];
            if (c >= '1' && c <= '9' && digit == 0) {
                digit = c;
            } else if ((c == '+' || c == '-') && chomp == 0) {
                chomp = c;
            } else {
                break;
            }
        }
        put(lead);
        if (digit != 0) put(digit);
        if (!tail_ok) chomp = trailing == 0 ? '-' : trailing >= 2 ? '+' : 0;
        if (chomp != 0) put(chomp);
        if (comment_ok) {
            put_raw(piece.substr(i, r.header_end - i));
        } else {
            push_inline_comment(comment);
        }
    };
    const auto put_tail = [&](std::size_t from) {
        if (tail_ok) {
            put_raw(piece.substr(from));
            return;
        }
        put_raw(piece.substr(from, lines[n - 1].src_end - from));
        if (trailing >= 2) {
            for (std::size_t i = 0; i < trailing; ++i) put('\n');
        } else if (ended) {
            // The line break and the empty lines after it, which are no text
            // of a scalar that is not kept.
            put_raw(piece.substr(lines[n - 1].src_end));
        } else {
            put('\n');
        }
    };
    const auto finish = [&] {
        if (!block) return;
        after_block_ = pos();
        block_column_ = indent;
        block_src_ = tail_ok ? src.get() : nullptr;
        block_end_ = l.at(SlotLayout::kTrail);
        if (tail_ok ? piece.substr(0, r.header_end).find('+') != std::string_view::npos
                    : trailing >= 2)
            after_keep_ = pos();
    };
    if (old_body == new_body) {
        // The text is the same (its comment or its final line feeds are not).
        put_header();
        put_tail(r.header_end);
        finish();
        return true;
    }

    std::size_t same_start = 0;
    while (same_start < old_body.size() && same_start < new_body.size() &&
           old_body[same_start] == new_body[same_start])
        ++same_start;
    // (The two may overlap: what is kept of each is checked on its own.)
    const std::size_t same_max = std::min(old_body.size(), new_body.size());
    std::size_t same_end = 0;
    while (same_end < same_max &&
           old_body[old_body.size() - 1 - same_end] == new_body[new_body.size() - 1 - same_end])
        ++same_end;

    // The first line rewritten: the last one whose text starts where the
    // text is still the same, and whose new text starts the way that line
    // did (a blank there would start a more-indented line or be dropped).
    const auto starts_ok = [&](std::size_t k) {
        const std::size_t b = lines[k].val_begin;
        if (b > same_start || b >= new_body.size()) return false;
        // The line starts as it did.
        if (b < same_start) return true;
        const char c = new_body[b];
        if (c == '\n') return false;
        switch (style) {
            case ScalarStyle::Literal:
                return k > 0 || r.indicator || !is_blank(c);
            case ScalarStyle::Folded:
                return is_blank(c) == lines[k].more && (k > 0 || r.indicator || !is_blank(c));
            case ScalarStyle::Plain:
                return k == 0 || plain_line_start(c);
            default:
                return k == 0 || !is_blank(c);
        }
    };
    std::size_t k = n;
    for (std::size_t i = n; i-- > 0;) {
        if (starts_ok(i)) {
            k = i;
            break;
        }
    }
    if (k == n) return false;
    // The first line kept after the change: the first whose text from the
    // line breaks before it to the end is still the same (line k itself
    // when the change only adds text before it, with line breaks).
    const std::size_t m_begin = lines[k].val_begin;
    std::size_t j = n, m_end = new_body.size();
    for (std::size_t i = std::max<std::size_t>(k, 1); i < n; ++i) {
        const std::size_t keep = old_body.size() - lines[i - 1].val_end;
        if (keep > same_end || new_body.size() - keep <= m_begin) continue;
        const std::size_t e = new_body.size() - keep;
        const char c = new_body[e - 1];
        if (is_blank(c) || c == '\n') continue;
        if (style == ScalarStyle::Folded) {
            // The line breaks before the line kept fold as they did.
            const std::size_t nl = new_body.rfind('\n', e - 1);
            const std::size_t line =
                nl == std::string_view::npos || nl < m_begin ? m_begin : nl + 1;
            if (is_blank(new_body[line]) != lines[i - 1].more) continue;
        }
        j = i;
        m_end = e;
        break;
    }
    const std::string_view m = new_body.substr(m_begin, m_end - m_begin);
    if (m.empty() || m.back() == '\n') return false;
    if (style == ScalarStyle::Plain || style == ScalarStyle::Single) {
        if (m.find('\n') != std::string_view::npos || scan_text(m).needs_double()) return false;
        if (style == ScalarStyle::Plain) {
            std::string flat(now);
            std::replace(flat.begin(), flat.end(), '\n', ' ');
            if (!plain_value_ok(flat, false, scan_text(flat)) || is_decimal_integer(flat))
                return false;
        }
    }

    // Lines after the first go where the lines read went, as wide as they
    // were (lines of a few words each are no width to follow).
    const std::size_t width = std::max(r.width, kWidth / 2);
    std::size_t cont = r.column;
    if (!block) {
        const std::size_t line = std::max<std::size_t>(k, 1);
        if (line >= n) return false;
        std::size_t b = lines[line].src_begin;
        while (b > 0 && !is_break(piece[b - 1])) --b;
        cont = lines[line].src_begin - b;
    }
    if (block) {
        put_header();
        put_raw(piece.substr(r.header_end, lines[k].src_begin - r.header_end));
    } else {
        put_raw(piece.substr(0, lines[k].src_begin));
    }
    if (style == ScalarStyle::Literal || style == ScalarStyle::Folded) {
        // Its lines, an empty line for each line feed between two lines that
        // fold (folded), a line for each line feed (literal).
        std::size_t p = 0;
        bool first = true, was_more = false;
        while (p < m.size()) {
            std::size_t e = m.find('\n', p);
            if (e == std::string_view::npos) e = m.size();
            const std::string_view line = m.substr(p, e - p);
            const bool more = is_blank(line[0]);
            if (!first) {
                // `p` follows a run of line feeds.
                std::size_t feeds = 0;
                while (p - feeds > 0 && m[p - feeds - 1] == '\n') ++feeds;
                const std::size_t breaks =
                    style == ScalarStyle::Folded && !more && !was_more ? feeds + 1 : feeds;
                for (std::size_t i = 0; i < breaks; ++i) put('\n');
                spaces(cont);
            }
            if (style == ScalarStyle::Folded && !more) {
                put_folded(line, style, cont, width, false);
            } else {
                put(line);
            }
            first = false;
            was_more = more;
            p = e;
            while (p < m.size() && m[p] == '\n') ++p;
        }
    } else {
        put_folded(m, style, cont, width, false);
    }
    if (j < n) {
        if (block) {
            put_raw(
                piece.substr(lines[j - 1].src_end, lines[n - 1].src_end - lines[j - 1].src_end));
            put_tail(lines[n - 1].src_end);
        } else {
            put_raw(piece.substr(lines[j - 1].src_end));
        }
    } else if (block) {
        put_tail(lines[n - 1].src_end);
    } else {
        put_raw(piece.substr(lines[n - 1].src_end));
    }
    finish();
    return true;
}

}  // namespace tesvorn::detail
