// The round-trip checks of the core fuzz target, shared with the
// regression tests of its findings (tests/core/fuzz_regressions_test.cpp).
#pragma once

#include <cmath>
#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "core/builder.hpp"
#include "core/emitter.hpp"
#include "core/parser.hpp"

namespace tesvorn::fuzz {

struct Loaded {
    std::deque<YamlNode> roots;
    std::deque<DocMetadata> metas;
    std::string error;
};

inline bool load(std::string_view text, Loaded& out) {
    Parser<TextSource> parser{TextSource(text)};
    Builder builder;
    Event event;
    Marker mark;
    for (;;) {
        Status parsed = parser.parse_into(event, mark);
        if (!parsed.ok()) {
            out.error = parsed.error().display();
            return false;
        }
        builder.absorb_comments(parser.pending_comments());
        const bool end = event.type == Event::Type::StreamEnd;
        Status built = builder.process_event(std::move(event), mark, CoercionTags{});
        if (!built.ok()) {
            out.error = built.error().display();
            return false;
        }
        if (end) break;
    }
    out.roots = std::move(builder.roots());
    out.metas = std::move(builder.metadata());
    return true;
}

inline std::string dump(const Loaded& docs) {
    const std::vector<YamlNode> roots(docs.roots.begin(), docs.roots.end());
    const std::vector<DocMetadata> metas(docs.metas.begin(), docs.metas.end());
    return emit_docs(roots, metas, 0);
}

// An alias stands for the node it names; an empty node and a null scalar
// are the same value (both load as None).
inline const YamlNode& resolved(const YamlNode& n) {
    const YamlNode* p = &n;
    while (const AliasNode* a = p->alias()) p = a->target.get();
    return *p;
}

inline bool is_null(const YamlNode& n) {
    if (n.kind() == YamlNode::Null) return true;
    const YamlScalar* s = n.scalar();
    return s && s->value.kind() == ScalarValue::Null;
}

inline bool same_value(const ScalarValue& a, const ScalarValue& b) {
    if (a.kind() == ScalarValue::Float && b.kind() == ScalarValue::Float &&
        std::isnan(a.as_float()) && std::isnan(b.as_float()))
        return true;
    return a == b;
}

inline bool same_data(const YamlNode& x, const YamlNode& y) {
    const YamlNode& a = resolved(x);
    const YamlNode& b = resolved(y);
    if (is_null(a) || is_null(b)) return is_null(a) && is_null(b);
    if (a.kind() != b.kind()) return false;
    if (const YamlScalar* s = a.scalar()) return same_value(s->value, b.scalar()->value);
    if (const YamlSequence* s = a.sequence()) {
        const auto& t = b.sequence()->items;
        if (s->items.size() != t.size()) return false;
        for (std::size_t i = 0; i < t.size(); ++i)
            if (!same_data(s->items[i].node, t[i].node)) return false;
        return true;
    }
    const YamlMapping& m = *a.mapping();
    const YamlMapping& n = *b.mapping();
    if (m.entries.size() != n.entries.size()) return false;
    for (std::size_t i = 0; i < m.entries.size(); ++i) {
        const auto& e = m.entries.at(i);
        const auto& f = n.entries.at(i);
        if (e.key != f.key) return false;
        if (e.value.key_node.has_value() != f.value.key_node.has_value()) return false;
        if (e.value.key_node && !same_data(**e.value.key_node, **f.value.key_node)) return false;
        if (!same_data(e.value.value, f.value.value)) return false;
    }
    return true;
}

inline bool has_explicit_key(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        std::size_t i = 0;
        for (;;) {
            while (i < line.size() && line[i] == ' ') ++i;
            if (i + 1 < line.size() && line[i] == '-' && line[i + 1] == ' ') {
                i += 2;
                continue;
            }
            break;
        }
        if (i < line.size() && line[i] == '?' && (i + 1 == line.size() || line[i + 1] == ' '))
            return true;
        pos = end + 1;
    }
    return false;
}

/// `text` without the blank lines at its very start. The writer puts the
/// blank lines of the first entry or item of the first document before it,
/// but the reader counts no blank lines before the first content of a
/// stream (there is nothing above them to count from). Text can give the
/// first entry blank lines only through a duplicate key ("a:", a blank
/// line, "a:" again: the last occurrence and its blank line take the first
/// one's place), so that one difference is accepted.
inline std::string without_leading_blank_lines(const std::string& text) {
    const std::size_t start = text.find_first_not_of('\n');
    return start == std::string::npos ? std::string() : text.substr(start);
}

/// What went wrong with `text`, or "" when it does not load at all or loads,
/// dumps, reloads to equal data and dumps to the same text again (the last
/// check is skipped for dumps with explicit keys, see fuzz_core.cpp).
inline std::string roundtrip_problem(std::string_view text) {
    Loaded first;
    if (!load(text, first)) return "";
    const std::string out = dump(first);
    const auto report = [&](const char* what, const std::string& second) {
        return std::string(what) + "\n--- input ---\n" + std::string(text) +
               "\n--- first dump ---\n" + out + "\n--- second ---\n" + second;
    };
    Loaded again;
    if (!load(out, again)) return report("the dump does not load again", again.error);
    bool equal = again.roots.size() == first.roots.size();
    for (std::size_t i = 0; equal && i < first.roots.size(); ++i)
        equal = same_data(first.roots[i], again.roots[i]);
    if (!equal) return report("the dump loads to different data", dump(again));
    if (!has_explicit_key(out)) {
        const std::string second = dump(again);
        if (second != out && second != without_leading_blank_lines(out))
            return report("dumping the reloaded documents gives other text", second);
    }
    return "";
}

}  // namespace tesvorn::fuzz
