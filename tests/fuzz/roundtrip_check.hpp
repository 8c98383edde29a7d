// The round-trip checks of the core fuzz target, shared with the
// regression tests of its findings (tests/core/fuzz_regressions_test.cpp).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "core/emitter.hpp"
#include "core/read.hpp"

namespace tesvorn::fuzz {

struct Loaded {
    std::deque<YamlNode> roots;
    std::deque<DocMetadata> metas;
    std::string error;
    /// Text the writer cannot give back: entries a duplicate key dropped
    /// whose text is not kept (see Builder::lost_duplicate_keys), bytes that
    /// are not UTF-8 (read as U+FFFD), aliases of an earlier document's
    /// anchors (written as their node).
    bool known_loss = false;
    /// Entries a later one with the same key replaced (in their place: the
    /// blank lines and comments that come along then read back elsewhere).
    bool duplicates = false;
};

/// Whether an alias in `n` names an anchor that its document does not
/// define before it (an earlier document's): the writer writes such an
/// alias as its node, since anchors belong to one document.
inline bool foreign_alias(const YamlNode& n, std::vector<std::string>& defined) {
    if (const AliasNode* a = n.alias())
        return std::find(defined.begin(), defined.end(), a->name) == defined.end();
    if (const YamlScalar* s = n.scalar()) {
        if (s->props->anchor) defined.push_back(*s->props->anchor);
        return false;
    }
    const YamlMapping* m = n.mapping();
    const YamlSequence* q = n.sequence();
    if (m == nullptr && q == nullptr) return false;
    bool foreign = false;
    if (q != nullptr) {
        for (const YamlItem& item : q->items)
            foreign = foreign_alias(item.node, defined) || foreign;
    } else {
        for (const auto& slot : m->entries) {
            const YamlEntry& e = slot.value;
            if (e.key_props->alias &&
                std::find(defined.begin(), defined.end(), *e.key_props->alias) == defined.end())
                foreign = true;
            if (e.key_props->anchor) defined.push_back(*e.key_props->anchor);
            if (e.key_props->node) foreign = foreign_alias(**e.key_props->node, defined) || foreign;
            foreign = foreign_alias(e.value, defined) || foreign;
        }
    }
    const OptString& anchor = m != nullptr ? m->anchor : q->anchor;
    if (anchor) defined.push_back(*anchor);
    return foreign;
}

inline bool load(std::string_view text, Loaded& out) {
    Result<ReadDocuments> read = read_text(text);
    if (!read.ok()) {
        out.error = read.error().display();
        return false;
    }
    out.roots = std::move(read.value().roots);
    out.metas = std::move(read.value().metas);
    out.duplicates = read.value().duplicate_keys > 0;
    out.known_loss = read.value().lost_duplicate_keys > 0 || make_source(text)->text != text;
    for (const YamlNode& root : out.roots) {
        std::vector<std::string> defined;
        out.known_loss = foreign_alias(root, defined) || out.known_loss;
    }
    return true;
}

inline std::string dump(const Loaded& docs) {
    const std::vector<YamlNode> roots(docs.roots.begin(), docs.roots.end());
    const std::vector<DocMetadata> metas(docs.metas.begin(), docs.metas.end());
    return emit_docs(roots, metas, 0);
}

/// The tree without its records of the source: what the writer makes of
/// the data and metadata alone.
inline void strip_layout(YamlNode& n) {
    if (YamlMapping* m = n.mapping()) {
        m->layout.reset();
        std::vector<OrderedMap<YamlEntry>::Slot> slots = m->entries.take_all();
        for (auto& slot : slots) {
            slot.value.layout.reset();
            if (slot.value.key_props->node) strip_layout(**slot.value.key_props.mut().node);
            strip_layout(slot.value.value);
        }
        m->entries.assign(std::move(slots));
    } else if (YamlSequence* q = n.sequence()) {
        q->layout.reset();
        for (YamlItem& item : q->items) {
            item.layout.reset();
            strip_layout(item.node);
        }
    } else if (AliasNode* a = n.alias()) {
        strip_layout(*a->target);
    }
}

inline std::string dump_designed(const Loaded& docs) {
    std::vector<YamlNode> roots(docs.roots.begin(), docs.roots.end());
    std::vector<DocMetadata> metas(docs.metas.begin(), docs.metas.end());
    for (YamlNode& root : roots) strip_layout(root);
    for (DocMetadata& meta : metas) meta.layout = DocLayoutRef{};
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
        if (e.value.key_props->node.has_value() != f.value.key_props->node.has_value())
            return false;
        if (e.value.key_props->node &&
            !same_data(**e.value.key_props->node, **f.value.key_props->node))
            return false;
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

/// True when some alias in the document does not stand for what its anchor
/// names at that point of the text. The reader lets anchors outlive their
/// definition: a duplicate key drops the first entry with any anchor defined
/// in it, and a later "&x" may come between. An alias with no anchor of its
/// name before it is written as its node (under the name), so it reads back
/// as it was; but "*x" after another "&x" than the one it was read with
/// reads back as that other node. Known; such inputs skip the data checks.
/// The reader takes a scalar's anchor at once and a collection's when the
/// collection ends; the writer counts a name as written at its "&".
struct Anchor {
    std::string name;
    const YamlNode* node;  // null for a key's anchor
    std::string key;       // the key text, for a key's anchor
    bool open = false;     // a collection's, while inside it
};
using Anchors = std::vector<Anchor>;

inline bool dangling_alias(const YamlNode& n, Anchors& seen) {
    const auto last = [&](std::string_view name) -> const Anchor* {
        for (auto it = seen.rbegin(); it != seen.rend(); ++it)
            if (!it->open && it->name == name) return &*it;
        return nullptr;
    };
    // No definition yet: the writer writes the node in the alias's place,
    // unless an enclosing collection already wrote the name.
    const auto undefined = [&](std::string_view name, Anchor def) {
        for (const Anchor& a : seen)
            if (a.open && a.name == name) return true;
        seen.push_back(std::move(def));
        return false;
    };
    if (const AliasNode* a = n.alias()) {
        const Anchor* def = last(a->name);
        if (!def) return undefined(a->name, {a->name.str(), a->target.get(), {}});
        if (def->node) return !same_data(*def->node, *a->target);
        // A key's anchor: the alias stands for the key's scalar.
        const YamlNode& target = resolved(*a->target);
        if (is_null(target)) return !def->key.empty();
        const YamlScalar* named = target.scalar();
        return !named || named->value.to_key_string() != def->key;
    }
    if (const YamlScalar* s = n.scalar()) {
        if (s->props->anchor) seen.push_back({*s->props->anchor, &n, {}});
        return false;
    }
    const YamlMapping* m = n.mapping();
    const YamlSequence* q = n.sequence();
    if (m == nullptr && q == nullptr) return false;
    const OptString& anchor = m != nullptr ? m->anchor : q->anchor;
    const std::size_t open_at = seen.size();
    if (anchor) seen.push_back({*anchor, &n, {}, true});
    if (q != nullptr) {
        for (const YamlItem& item : q->items)
            if (dangling_alias(item.node, seen)) return true;
    } else {
        for (const auto& slot : m->entries) {
            const YamlEntry& e = slot.value;
            if (e.key_props->alias) {
                // An alias key takes the key text of what it names.
                if (const Anchor* def = last(*e.key_props->alias)) {
                    const YamlScalar* named = def->node ? def->node->scalar() : nullptr;
                    const std::string text =
                        def->node ? (named ? named->value.to_key_string() : "") : def->key;
                    if (text != slot.key) return true;
                } else if (undefined(*e.key_props->alias,
                                     {*e.key_props->alias, nullptr, slot.key.str()})) {
                    return true;
                }
            }
            if (e.key_props->anchor)
                seen.push_back({*e.key_props->anchor, nullptr, slot.key.str()});
            if (e.key_props->node && dangling_alias(**e.key_props->node, seen)) return true;
            if (dangling_alias(e.value, seen)) return true;
        }
    }
    if (anchor) {
        seen.erase(seen.begin() + static_cast<std::ptrdiff_t>(open_at));
        seen.push_back({*anchor, &n, {}});
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

/// `text` without comment lines that are a bare "#", which carry no text:
/// the comparison of a second dump leaves them out.
inline std::string without_bare_comment_lines(const std::string& text) {
    std::string out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        const std::string_view line(text.data() + pos, end - pos);
        const std::size_t i = line.find_first_not_of(' ');
        if (!(i != std::string_view::npos && line.substr(i) == "#")) {
            out.append(line);
            out += '\n';
        }
        pos = end + 1;
    }
    return out;
}

/// What went wrong with `text`, or "" when it does not load at all, or
/// loads and
///   - dumps to the same bytes (unless it holds what the writer cannot give
///     back: see Loaded::known_loss), and
///   - written without the records of the source (the writer's own
///     rendering), loads again to equal data and dumps to the same text
///     again (this last check is skipped for dumps with explicit keys, see
///     fuzz_core.cpp).
inline std::string roundtrip_problem(std::string_view text) {
    Loaded first;
    if (!load(text, first)) return "";
    const auto report = [&](const char* what, const std::string& out, const std::string& second) {
        return std::string(what) + "\n--- input ---\n" + std::string(text) +
               "\n--- first dump ---\n" + out + "\n--- second ---\n" + second;
    };
    bool dangling = false;
    for (const YamlNode& root : first.roots) {
        Anchors seen;
        dangling = dangling || dangling_alias(root, seen);
    }
    // A dangling alias whose name an enclosing collection carries is
    // written as an alias of that collection, which the reader refuses (the
    // writer takes a collection's anchor as written once its properties
    // are).
    const auto refused = [&](const Loaded& l) {
        return dangling && l.error.find("refers to its own node") != std::string::npos;
    };
    const std::string same = dump(first);
    if (same != text && !first.known_loss) return report("the dump is not the text read", same, "");
    Loaded reread;
    if (!load(same, reread)) {
        if (refused(reread)) return "";
        return report("the dump does not load again", same, reread.error);
    }
    if (dangling) return "";
    bool equal = reread.roots.size() == first.roots.size();
    for (std::size_t i = 0; equal && i < first.roots.size(); ++i)
        equal = same_data(first.roots[i], reread.roots[i]);
    if (!equal) return report("the dump loads to different data", same, dump(reread));

    const std::string out = dump_designed(first);
    Loaded again;
    if (!load(out, again)) return report("the designed dump does not load again", out, again.error);
    equal = again.roots.size() == first.roots.size();
    for (std::size_t i = 0; equal && i < first.roots.size(); ++i)
        equal = same_data(first.roots[i], again.roots[i]);
    if (!equal) return report("the designed dump loads to different data", out, dump(again));
    if (!has_explicit_key(out) && !first.duplicates) {
        const std::string second = dump_designed(again);
        // The two known losses below may come together.
        const auto known = [](const std::string& t) {
            return without_leading_blank_lines(without_bare_comment_lines(t));
        };
        if (second != out && known(second) != known(out))
            return report("dumping the reloaded documents gives other text", out, second);
    }
    return "";
}

}  // namespace tesvorn::fuzz
