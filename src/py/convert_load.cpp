// Load conversion: document trees into node objects and plain values, with
// schema loaders and the built-in !!binary and !!timestamp conversions.
#include "py/convert.hpp"

#include <array>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>

#include "core/base64.hpp"
#include "core/read.hpp"
#include "py/driver.hpp"
#include "py/errors.hpp"
#include "py/positions.hpp"

namespace tesvorn::py {

namespace {

constexpr std::string_view kBinaryTags[] = {"!!binary", "tag:yaml.org,2002:binary"};
constexpr std::string_view kTimestampTags[] = {"!!timestamp", "tag:yaml.org,2002:timestamp"};

bool tag_is(const OptString& tag, const std::string_view (&names)[2]) {
    return tag && (*tag == names[0] || *tag == names[1]);
}

}  // namespace

ref scalar_to_py(const ScalarValue& value) {
    switch (value.kind()) {
        case ScalarValue::Int:
            return ref::steal(PyLong_FromLongLong(value.as_int()));
        case ScalarValue::Float:
            return ref::steal(PyFloat_FromDouble(value.as_float()));
        case ScalarValue::Bool:
            return ref::borrow(value.as_bool() ? Py_True : Py_False);
        case ScalarValue::Str:
            return make_str(value.as_str());
        case ScalarValue::BigInt: {
            const std::string digits(value.as_big_int());
            ref n = ref::steal(PyLong_FromString(digits.c_str(), nullptr, 10));
            // Over the interpreter's limit on digits: an error of ours (the
            // caller locates it), not the interpreter's bare ValueError.
            if (!n && PyErr_ExceptionMatches(PyExc_ValueError)) {
                PyErr_Clear();
                raise_integer_too_long(digits.size() - (digits[0] == '-' || digits[0] == '+'));
            }
            return n;
        }
        case ScalarValue::Null:
            break;
    }
    return ref::borrow(Py_None);
}

namespace {

/// The text used by the built-in tag conversions.
std::string_view scalar_text(const YamlScalar& s) {
    if (s.props->original) return *s.props->original;
    if (s.value.is_str()) return s.value.as_str();
    return {};
}

ref decode_binary(std::string_view text) {
    // Drop every Unicode whitespace character (line breaks of block scalars).
    std::string compact;
    compact.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        std::size_t len = 0;
        const char32_t cp = code_point_at(text, i, len);
        if (!Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(cp))) compact.append(text.substr(i, len));
        i += len;
    }
    std::string bytes, error;
    if (!base64_decode(compact, bytes, error)) {
        raise_binary_decode(error);
        return ref();
    }
    return ref::steal(
        PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

ref call_loader(PyObject* loader, PyObject* arg, std::string_view tag) {
    ref result = ref::steal(PyObject_CallOneArg(loader, arg));
    if (!result) {
        ref exc = ref::steal(PyErr_GetRaisedException());
        raise_loader_error(tag, exc.get());
    }
    return result;
}

}  // namespace

ref apply_loader(ref value, SchemaObject* schema, const OptString& tag) {
    if (!value || !schema || !tag) return value;
    ref loader;
    if (!schema_find_loader(schema, *tag, loader)) return ref();
    if (!loader) return value;
    return call_loader(loader.get(), value.get(), *tag);
}

namespace {

/// What the anchored nodes of one document load as, by anchor name: an
/// alias loads as the very object of the anchor it names, the last one of
/// that name before it in the text, so that an edit through either name is
/// one edit. Most documents have no anchors, and then it costs nothing.
class LoadAnchors {
  public:
    explicit LoadAnchors(KeyCache* cache = nullptr) noexcept : keys(cache) {}
    /// A collection's anchor stands before its content: the token orders it
    /// before the anchors inside it.
    std::uint64_t open() noexcept { return ++clock_; }
    /// The node anchored `name` at `token` loads as `obj`, unless an anchor
    /// of that name inside it stands later in the text.
    void define(const std::string& name, PyObject* obj, std::uint64_t token) {
        Entry& e = entries_[name];
        if (e.at > token) return;
        e.obj = ref::borrow(obj);
        e.at = token;
    }
    /// An anchor whose node is no object of its own (a key's): its aliases
    /// load from the copy the reader made.
    void forget(const std::string& name) {
        if (entries_.empty()) return;
        Entry& e = entries_[name];
        e.obj = ref();
        e.at = ++clock_;
    }
    /// The object of the anchor `name`, borrowed, or null.
    [[nodiscard]] PyObject* find(const std::string& name) const {
        if (entries_.empty()) return nullptr;
        auto it = entries_.find(name);
        return it == entries_.end() ? nullptr : it->second.obj.get();
    }
    /// Counts a collection made from an alias's copy (one whose anchor has
    /// no object); false, with an error set, past the budget.
    [[nodiscard]] bool copied() {
        if (++copies_ <= kCopyBudget) return true;
        raise_alias_budget(kCopyBudget);
        return false;
    }
    /// How deep conversion is inside an alias's copy.
    std::size_t copying = 0;
    /// Where the keys of this load are shared, if anywhere.
    KeyCache* const keys;

  private:
    // Sharing makes aliases free; only copies (aliases of anchors on
    // complex keys) cost objects, and a document of nested ones would make
    // exponentially many.
    static constexpr std::size_t kCopyBudget = 100000;
    struct Entry {
        ref obj;
        std::uint64_t at = 0;
    };
    std::unordered_map<std::string, Entry> entries_;
    std::uint64_t clock_ = 0;
    std::size_t copies_ = 0;
};

ref convert_node(const YamlNode& node, SchemaObject* schema, LoadAnchors& anchors);
ref to_mapping_obj(Cow<YamlMapping>&& record, DocMeta&& meta, SchemaObject* schema,
                   LoadAnchors& anchors);
ref to_sequence_obj(Cow<YamlSequence>&& record, DocMeta&& meta, SchemaObject* schema,
                    LoadAnchors& anchors);

/// node_to_py of a mapping or sequence: a copy of it becomes its own node
/// object.
ref collection_node_to_py(const YamlNode& n, SchemaObject* schema, LoadAnchors& anchors) {
    if (anchors.copying != 0 && !anchors.copied()) return ref();
    if (const YamlSequence* s = n.sequence())
        return apply_loader(
            to_sequence_obj(Cow<YamlSequence>(YamlSequence(*s)), DocMeta{}, schema, anchors),
            schema, s->tag);
    const YamlMapping& m = *n.mapping();
    return apply_loader(
        to_mapping_obj(Cow<YamlMapping>(YamlMapping(m)), DocMeta{}, schema, anchors), schema,
        m.tag);
}

/// The value of an alias: its anchor's object, or one made from the copy
/// the reader made of the anchored node.
ref alias_to_py(const AliasNode& alias, SchemaObject* schema, LoadAnchors& anchors) {
    if (PyObject* shared = anchors.find(alias.name.str())) return ref::borrow(shared);
    ++anchors.copying;
    ref value = convert_node(*alias.target, schema, anchors);
    --anchors.copying;
    return value;
}

/// The anchor a node defines, or null.
const OptString* anchor_of(const YamlNode& node) noexcept {
    if (const YamlScalar* s = node.scalar()) return s->props->anchor ? &s->props->anchor : nullptr;
    if (const YamlMapping* m = node.mapping()) return m->anchor ? &m->anchor : nullptr;
    if (const YamlSequence* q = node.sequence()) return q->anchor ? &q->anchor : nullptr;
    return nullptr;
}

/// Forgets every anchor defined in a complex key's node (keys are no
/// objects of their own).
void forget_anchors(const YamlNode& node, LoadAnchors& anchors) {
    if (const OptString* a = anchor_of(node)) anchors.forget(**a);
    if (const YamlMapping* m = node.mapping()) {
        for (const auto& slot : m->entries) {
            if (slot.value.key_props->anchor) anchors.forget(*slot.value.key_props->anchor);
            if (slot.value.key_props->node) forget_anchors(**slot.value.key_props->node, anchors);
            forget_anchors(slot.value.value, anchors);
        }
    } else if (const YamlSequence* q = node.sequence()) {
        for (const YamlItem& item : q->items) forget_anchors(item.node, anchors);
    }
}

ref convert_node(const YamlNode& node, SchemaObject* schema, LoadAnchors& anchors) {
    if (const AliasNode* a = node.alias()) return alias_to_py(*a, schema, anchors);
    const YamlNode* n = &node;
    // Only collections recurse: a scalar (the most common node) needs no
    // guard.
    if (n->is_collection()) {
        RecursionGuard guard(" while converting YAML to Python");
        if (!guard) return ref();
        return collection_node_to_py(*n, schema, anchors);
    }
    if (n->kind() != YamlNode::Scalar) return ref::borrow(Py_None);
    const YamlScalar& s = *n->scalar();
    if (s.props->tag && schema && schema_has_loaders(schema)) {
        ref loader;
        if (!schema_find_loader(schema, *s.props->tag, loader)) return ref();
        if (loader) {
            ref arg = scalar_to_py(s.value);
            if (!arg) return arg;
            return call_loader(loader.get(), arg.get(), *s.props->tag);
        }
    }
    if (tag_is(s.props->tag, kBinaryTags)) return decode_binary(scalar_text(s));
    if (tag_is(s.props->tag, kTimestampTags)) return timestamp_to_py(scalar_text(s));
    return scalar_to_py(s.value);
}

}  // namespace

ref node_to_py(const YamlNode& node, SchemaObject* schema) {
    LoadAnchors anchors;
    return convert_node(node, schema, anchors);
}

namespace {

// A table of a cache that ended, kept emptied for the next one on this
// thread: a small load need not allocate and clear a whole table. (A cache
// made while another lives finds none and makes its own.)
struct SpareTable {
    std::vector<PyObject*> slots;
    std::vector<std::uint16_t> filled;
};
thread_local SpareTable g_spare_table;

}  // namespace

KeyCache::KeyCache() noexcept {
    slots_.swap(g_spare_table.slots);
    filled_.swap(g_spare_table.filled);
}

KeyCache::~KeyCache() {
    for (const std::uint16_t i : filled_) Py_DECREF(std::exchange(slots_[i], nullptr));
    filled_.clear();
    // The larger table stays for the next cache.
    if (slots_.size() >= g_spare_table.slots.size()) {
        slots_.swap(g_spare_table.slots);
        filled_.swap(g_spare_table.filled);
    }
}

namespace {

/// A hash of a short key, cheaper than std::hash (keys are at most kMaxKey
/// bytes): 8-byte words, the last one overlapping the one before.
std::size_t key_hash(std::string_view key) noexcept {
    constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ull;
    const char* p = key.data();
    const std::size_t n = key.size();
    std::uint64_t h = n * kMul;
    const auto mix = [&h](std::uint64_t w) {
        h = (h ^ w) * kMul;
        h ^= h >> 29;
    };
    if (n >= 8) {
        std::uint64_t w = 0;
        for (std::size_t i = 0; i + 8 < n; i += 8) {
            std::memcpy(&w, p + i, 8);
            mix(w);
        }
        std::memcpy(&w, p + n - 8, 8);
        mix(w);
    } else if (n >= 4) {
        std::uint32_t a = 0, b = 0;
        std::memcpy(&a, p, 4);
        std::memcpy(&b, p + n - 4, 4);
        mix((std::uint64_t{a} << 32) | b);
    } else if (n > 0) {
        mix(static_cast<unsigned char>(p[0]) | (static_cast<unsigned char>(p[n / 2]) << 8) |
            (static_cast<unsigned char>(p[n - 1]) << 16));
    }
    return static_cast<std::size_t>(h ^ (h >> 32));
}

}  // namespace

ref KeyCache::str(KeyCache* cache, std::string_view key) {
    if (cache == nullptr || key.size() > kMaxKey) return make_str(key);
    if (cache->slots_.empty()) cache->slots_.assign(kSlots, nullptr);
    std::size_t h = key_hash(key);
    for (std::size_t probe = 0; probe < 8; ++probe, ++h) {
        const std::size_t i = h & (kSlots - 1);
        PyObject*& slot = cache->slots_[i];
        if (slot == nullptr) {
            ref s = make_str(key);
            if (s) {
                cache->filled_.push_back(static_cast<std::uint16_t>(i));
                slot = Py_NewRef(s.get());
            }
            return s;
        }
        Py_ssize_t n = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(slot, &n);
        if (utf8 != nullptr && std::string_view(utf8, static_cast<std::size_t>(n)) == key)
            return ref::borrow(slot);
        if (utf8 == nullptr) PyErr_Clear();
    }
    return make_str(key);
}

namespace {

/// The record a collection of `style` without tag, anchor or trailing blank
/// lines leaves in its parent's tree once its contents moved into its own
/// object: one shared record per kind and style (copied on the first
/// change), so such records cost no memory and copying them touches no
/// memory of their own.
const YamlNode& shared_record(YamlNode::Kind kind, ContainerStyle style) {
    const auto flow = [](auto collection) {
        collection.style = ContainerStyle::Flow;
        return YamlNode(std::move(collection));
    };
    static const YamlNode records[2][2] = {
        {YamlNode(YamlMapping{}), flow(YamlMapping{})},
        {YamlNode(YamlSequence{}), flow(YamlSequence{})},
    };
    return records[kind == YamlNode::Sequence][style == ContainerStyle::Flow];
}

/// Hands the record of `node`'s collection (alternative `K` of its variant)
/// to a new node object and leaves an empty record of its style, tag and
/// anchor behind.
template <std::size_t K>
ref collection_to_py(YamlNode& node, SchemaObject* schema, LoadAnchors& anchors) {
    auto& record = std::get<K>(node.v);
    const auto& c = record.get();
    YamlNode left;
    if (!c.tag && !c.anchor && c.trailing_blank_lines == 0) {
        left = shared_record(node.kind(), c.style);
    } else {
        std::remove_cvref_t<decltype(c)> empty;
        empty.style = c.style;
        empty.tag = c.tag;
        empty.anchor = c.anchor;
        empty.trailing_blank_lines = c.trailing_blank_lines;
        left = YamlNode(std::move(empty));
    }
    auto taken = std::move(record);
    node = std::move(left);
    if constexpr (K == 0) {
        return to_mapping_obj(std::move(taken), DocMeta{}, schema, anchors);
    } else {
        return to_sequence_obj(std::move(taken), DocMeta{}, schema, anchors);
    }
}

/// node_to_py for a node of a tree being converted, which keeps it only as
/// its record: a mapping or sequence that becomes its own node object (no
/// loader takes it) moves its contents into that object rather than being
/// copied, and stays behind empty (a collection's current state is read
/// from its object).
ref owned_collection_to_py(YamlNode& node, SchemaObject* schema, LoadAnchors& anchors) {
    const YamlNode& record = node;
    const OptString& tag =
        record.mapping() != nullptr ? record.mapping()->tag : record.sequence()->tag;
    if (tag && schema != nullptr && schema_has_loaders(schema)) {
        ref loader;
        if (!schema_find_loader(schema, *tag, loader)) return ref();
        if (loader) return convert_node(node, schema, anchors);
    }
    RecursionGuard guard(" while converting YAML to Python");
    if (!guard) return ref();
    return node.kind() == YamlNode::Mapping ? collection_to_py<0>(node, schema, anchors)
                                            : collection_to_py<1>(node, schema, anchors);
}

ref owned_node_to_py(YamlNode& node, SchemaObject* schema, LoadAnchors& anchors) {
    const OptString* anchor = anchor_of(node);
    if (anchor == nullptr) {
        if (!node.is_collection()) return convert_node(node, schema, anchors);
        return owned_collection_to_py(node, schema, anchors);
    }
    // (The name is copied: the node gives its record away.)
    const std::string name = **anchor;
    const std::uint64_t token = anchors.open();
    ref value = node.is_collection() ? owned_collection_to_py(node, schema, anchors)
                                     : convert_node(node, schema, anchors);
    if (value) anchors.define(name, value.get(), token);
    return value;
}

ref to_mapping_obj(Cow<YamlMapping>&& record, DocMeta&& meta, SchemaObject* schema,
                   LoadAnchors& anchors) {
    // Not yet shared: changed in place.
    YamlMapping& mapping = record.mut();
    // Most mappings are small: their values wait on the stack.
    constexpr std::size_t kOnStack = 16;
    const std::size_t count = mapping.entries.size();
    std::array<ref, kOnStack> few;
    std::vector<ref> many;
    if (count > kOnStack) many.resize(count);
    ref* const values = count > kOnStack ? many.data() : few.data();
    std::size_t converted = 0;
    for (auto& slot : mapping.entries) {
        const KeyProps& key = *slot.value.key_props;
        if (key.anchor) anchors.forget(*key.anchor);
        if (key.node) forget_anchors(**key.node, anchors);
        ref v = owned_node_to_py(slot.value.value, schema, anchors);
        if (!v) {
            locate_loader_error(mapping.layout.source, value_offset(slot.value));
            return v;
        }
        values[converted++] = std::move(v);
    }
    const bool contained = self_contained(mapping);
    ref obj = new_mapping_object(std::move(record), std::move(meta));
    if (!obj) return obj;
    as_mapping(obj.get())->contained.set(0, contained);
    as_mapping(obj.get())->loaded_by_schema = schema != nullptr && schema_has_loaders(schema);
    // Not yet visible to Python: the state can be read without a borrow.
    const YamlMapping& inner = as_mapping(obj.get())->inner.get();
    KeyCache* const keys = anchors.keys;
    for (std::size_t i = 0; i < count; ++i) {
        ref key = KeyCache::str(keys, inner.entries.at(i).key);
        if (!key || PyDict_SetItem(obj.get(), key.get(), values[i].get()) < 0) return ref();
    }
    // Filled as its tree says: only a change from now on is to be checked.
    watch_dict(as_mapping(obj.get()));
    return obj;
}

ref to_sequence_obj(Cow<YamlSequence>&& record, DocMeta&& meta, SchemaObject* schema,
                    LoadAnchors& anchors) {
    YamlSequence& sequence = record.mut();
    ref list = ref::steal(PyList_New(static_cast<Py_ssize_t>(sequence.items.size())));
    if (!list) return list;
    for (std::size_t i = 0; i < sequence.items.size(); ++i) {
        ref v = owned_node_to_py(sequence.items[i].node, schema, anchors);
        if (!v) {
            locate_loader_error(sequence.layout.source, item_offset(sequence.items[i]));
            return v;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), v.release());
    }
    const bool contained = self_contained(sequence);
    ref obj = new_sequence_object(std::move(record), std::move(meta));
    if (!obj) return obj;
    as_sequence(obj.get())->contained.set(0, contained);
    as_sequence(obj.get())->loaded_by_schema = schema != nullptr && schema_has_loaders(schema);
    // Fill the parent list directly, bypassing the class's own hooks. The
    // list's own __init__ sizes its storage exactly; a slice assignment
    // would leave room for eight items under a short list.
    ref args = ref::steal(PyTuple_Pack(1, list.get()));
    if (!args || PyList_Type.tp_init(obj.get(), args.get(), nullptr) < 0) return ref();
    return obj;
}

}  // namespace

ref mapping_to_py_obj(YamlMapping&& mapping, DocMeta&& meta, SchemaObject* schema) {
    return mapping_to_py_obj(Cow<YamlMapping>(std::move(mapping)), std::move(meta), schema);
}

ref sequence_to_py_obj(YamlSequence&& sequence, DocMeta&& meta, SchemaObject* schema) {
    return sequence_to_py_obj(Cow<YamlSequence>(std::move(sequence)), std::move(meta), schema);
}

ref mapping_to_py_obj(Cow<YamlMapping>&& record, DocMeta&& meta, SchemaObject* schema,
                      KeyCache* keys) {
    LoadAnchors anchors(keys);
    return to_mapping_obj(std::move(record), std::move(meta), schema, anchors);
}

ref sequence_to_py_obj(Cow<YamlSequence>&& record, DocMeta&& meta, SchemaObject* schema,
                       KeyCache* keys) {
    LoadAnchors anchors(keys);
    return to_sequence_obj(std::move(record), std::move(meta), schema, anchors);
}

bool parse_text(PyObject* text, SchemaObject* schema, ParsedDocuments& out) {
    return guarded([&]() -> bool {
        std::uint8_t bits = 0;
        if (!schema_tag_policy(schema, bits)) return false;
        std::string_view utf8;
        if (!text_utf8(text, utf8)) return false;
        // The documents' layout records point into the str's own UTF-8,
        // which they keep alive (no copy).
        std::shared_ptr<const void> keeper(Py_NewRef(text), [](const void* p) {
            Py_DECREF(static_cast<PyObject*>(const_cast<void*>(p)));
        });
        std::shared_ptr<SourceText> source = borrow_source(utf8, std::move(keeper));
        Parser<TextSource> parser{TextSource(source->text)};
        return parse_all(parser, std::move(source), CoercionTags{bits}, out);
    });
}

ref node_to_doc(YamlNode&& tree, DocMeta&& meta, SchemaObject* schema, KeyCache* keys) {
    if (tree.kind() == YamlNode::Mapping)
        return mapping_to_py_obj(std::move(std::get<0>(tree.v)), std::move(meta), schema, keys);
    if (tree.kind() == YamlNode::Sequence)
        return sequence_to_py_obj(std::move(std::get<1>(tree.v)), std::move(meta), schema, keys);
    return new_scalar_object(std::move(tree), std::move(meta));
}

}  // namespace tesvorn::py
