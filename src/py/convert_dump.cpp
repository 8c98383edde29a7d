// The dump converter (`extract_yaml_node`): node objects with their own
// metadata and current contents, plain containers with id001-style anchors
// for those reached more than once.
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "py/convert_detail.hpp"

namespace tesvorn::py {

bool self_contained(const YamlMapping& m) noexcept {
    for (const auto& slot : m.entries) {
        const YamlEntry& e = slot.value;
        const KeyProps& k = *e.key_props;
        if (k.anchor || k.alias || k.node) return false;
        const YamlScalar* s = e.value.scalar();
        if (s != nullptr ? s->props->anchor.has_value() : e.value.kind() != YamlNode::Null)
            return false;
    }
    return true;
}

bool self_contained(const YamlSequence& q) noexcept {
    for (const YamlItem& item : q.items) {
        const YamlScalar* s = item.node.scalar();
        if (s != nullptr ? s->props->anchor.has_value() : item.node.kind() != YamlNode::Null)
            return false;
    }
    return true;
}

namespace {

/// Whether Python value `v` is what the untagged scalar `s` loads as.
bool holds_scalar(PyObject* v, const YamlScalar& s) noexcept {
    const ScalarValue& x = s.value;
    switch (x.kind()) {
        case ScalarValue::Null:
            return v == Py_None;
        case ScalarValue::Bool:
            return v == (x.as_bool() ? Py_True : Py_False);
        case ScalarValue::Int: {
            if (!PyLong_CheckExact(v)) return false;
            int overflow = 0;
            const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
            return overflow == 0 && n == x.as_int();
        }
        case ScalarValue::Float: {
            if (!PyFloat_CheckExact(v)) return false;
            const double d = PyFloat_AS_DOUBLE(v);
            return d == x.as_float() || (d != d && x.as_float() != x.as_float());
        }
        case ScalarValue::Str: {
            if (!PyUnicode_CheckExact(v)) return false;
            const std::string_view want = x.as_str();
            if (PyUnicode_IS_COMPACT_ASCII(v))
                return static_cast<std::size_t>(PyUnicode_GET_LENGTH(v)) == want.size() &&
                       std::memcmp(PyUnicode_DATA(v), want.data(), want.size()) == 0;
            Py_ssize_t n = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(v, &n);
            if (utf8 == nullptr) {
                PyErr_Clear();
                return false;
            }
            return std::string_view(utf8, static_cast<std::size_t>(n)) == want;
        }
        case ScalarValue::BigInt: {
            if (!PyLong_CheckExact(v)) return false;
            ref text = ref::steal(PyObject_Str(v));
            std::string_view digits;
            if (!text || !str_utf8(text.get(), digits)) {
                PyErr_Clear();
                return false;
            }
            return digits == x.as_big_int();
        }
    }
    return false;
}

/// Whether a tagged scalar's value cannot be told from its Python value:
/// one made by a built-in conversion (!!binary, !!timestamp), or by a
/// schema's loader when the collection was read with one.
bool opaque_tag(const YamlScalar& s, bool by_schema) noexcept {
    const std::string& t = *s.props->tag;
    if (by_schema) return true;
    return t == "!!binary" || t == "tag:yaml.org,2002:binary" || t == "!!timestamp" ||
           t == "tag:yaml.org,2002:timestamp";
}

/// Whether `v` is of the type a built-in conversion makes for tagged
/// scalar `s` (bytes for !!binary, a date for !!timestamp): another type
/// there was put behind the class.
bool converted_type(PyObject* v, const YamlScalar& s) noexcept {
    const std::string& t = *s.props->tag;
    if (t == "!!binary" || t == "tag:yaml.org,2002:binary") return PyBytes_Check(v);
    if (t == "!!timestamp" || t == "tag:yaml.org,2002:timestamp") {
        const std::string_view name = Py_TYPE(v)->tp_name;
        return name == "datetime.date" || name == "datetime.datetime";
    }
    return true;
}

/// Whether value `v` of a slot whose node is `node` is what the node loads
/// as, as far as can be told without running Python code: collections are
/// read from the Python part anyway, and a tagged scalar made by a
/// conversion is taken as it stands.
bool holds(PyObject* v, const YamlNode& node, bool by_schema) noexcept {
    const YamlNode* n = &node;
    while (const AliasNode* a = n->alias()) n = a->target.get();
    if (const YamlScalar* s = n->scalar()) {
        if (s->props->tag && opaque_tag(*s, by_schema)) return by_schema || converted_type(v, *s);
        return holds_scalar(v, *s);
    }
    if (n->is_collection()) {
        const bool tagged = n->mapping() != nullptr ? n->mapping()->tag.has_value()
                                                    : n->sequence()->tag.has_value();
        // A tagged collection is its own node object, or a loader's result.
        if (tagged) return is_container_object(v) || by_schema;
        // Read from the Python part; a primitive there was put behind the class.
        return !(v == Py_None || PyBool_Check(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) ||
                 PyUnicode_CheckExact(v));
    }
    return v == Py_None;
}

/// Whether str `key` has the text `text`.
bool key_is(PyObject* key, std::string_view text) noexcept {
    if (!PyUnicode_CheckExact(key)) return false;
    if (PyUnicode_IS_COMPACT_ASCII(key))
        return static_cast<std::size_t>(PyUnicode_GET_LENGTH(key)) == text.size() &&
               std::memcmp(PyUnicode_DATA(key), text.data(), text.size()) == 0;
    Py_ssize_t n = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &n);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return false;
    }
    return std::string_view(utf8, static_cast<std::size_t>(n)) == text;
}

}  // namespace

bool in_step(PyObject* o, const YamlMapping& tree) noexcept {
    if (PyDict_GET_SIZE(o) != static_cast<Py_ssize_t>(tree.entries.size())) return false;
    // Nothing changed behind the class since the last check: the count
    // tells. (A watched dict is marked clean before the check: a change
    // made meanwhile marks it again.)
    MappingObject* m = as_mapping(o);
    std::uint8_t state = m->watch.load(std::memory_order_acquire);
    if (state == MappingObject::kClean) return true;
    if (state == MappingObject::kChanged)
        state = m->watch.exchange(MappingObject::kClean, std::memory_order_acq_rel);
    bool same = true;
    Py_BEGIN_CRITICAL_SECTION(o);
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    for (const auto& slot : tree.entries) {
        if (!PyDict_Next(o, &pos, &key, &value) || !key_is(key, slot.key) ||
            !holds(value, slot.value.value, m->loaded_by_schema)) {
            same = false;
            break;
        }
    }
    Py_END_CRITICAL_SECTION();
    if (!same) {
        if (state != MappingObject::kUnwatched)
            m->watch.store(MappingObject::kChanged, std::memory_order_release);
    } else if (state == MappingObject::kUnwatched) {
        watch_dict(m);
    }
    return same;
}

bool in_step(PyObject* o, const YamlSequence& tree) noexcept {
    if (PyList_GET_SIZE(o) != static_cast<Py_ssize_t>(tree.items.size())) return false;
    const bool by_schema = as_sequence(o)->loaded_by_schema;
    bool same = true;
    Py_BEGIN_CRITICAL_SECTION(o);
    for (std::size_t i = 0; i < tree.items.size(); ++i) {
        if (!holds(PyList_GET_ITEM(o, static_cast<Py_ssize_t>(i)), tree.items[i].node, by_schema)) {
            same = false;
            break;
        }
    }
    Py_END_CRITICAL_SECTION();
    return same;
}

namespace detail {

/// The census: counts how often each dict, list and tuple is reached,
/// entering each only once (so cycles end). Node objects are neither counted
/// nor entered. No Python code runs here, so borrowed pointers stay valid;
/// the walk keeps its own stack, so any depth is fine.
void prepass(PyObject* root, IdentityTable& table) {
    if (!is_plain_container(root)) return;
    std::vector<PyObject*> stack{root};
    const auto visit = [&](PyObject* child) {
        if (is_plain_container(child)) stack.push_back(child);
    };
    while (!stack.empty()) {
        PyObject* obj = stack.back();
        stack.pop_back();
        if (++table.add(obj).count > 1) continue;
        if (PyDict_Check(obj)) {
            Py_ssize_t pos = 0;
            PyObject* key;
            PyObject* value;
            while (PyDict_Next(obj, &pos, &key, &value)) visit(value);
        } else if (PyList_Check(obj)) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) visit(PyList_GET_ITEM(obj, i));
        } else {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i) visit(PyTuple_GET_ITEM(obj, i));
        }
    }
}

std::string anchor_name(std::uint32_t number) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "id%03u", static_cast<unsigned>(number));
    return buf;
}

namespace {

const YamlNode& resolved(const YamlNode& node) noexcept {
    const YamlNode* n = &node;
    while (const AliasNode* a = n->alias()) n = a->target.get();
    return *n;
}

/// Whether two trees load as the same data: the same kinds, keys, values and
/// tags, aliases taken as the nodes they stand for. Styles, comments,
/// anchors and source texts do not matter.
bool same_data(const YamlNode& x, const YamlNode& y) {
    const YamlNode& a = resolved(x);
    const YamlNode& b = resolved(y);
    if (a.kind() != b.kind()) return false;
    if (const YamlScalar* sa = a.scalar()) {
        const YamlScalar* sb = b.scalar();
        return sa->value == sb->value && sa->props->tag == sb->props->tag;
    }
    if (const YamlMapping* ma = a.mapping()) {
        const YamlMapping* mb = b.mapping();
        if (ma == mb) return true;
        if (ma->tag != mb->tag || ma->entries.size() != mb->entries.size()) return false;
        for (std::size_t i = 0; i < ma->entries.size(); ++i) {
            const auto& ea = ma->entries.at(i);
            const auto& eb = mb->entries.at(i);
            if (ea.key != eb.key ||
                ea.value.key_props->node.has_value() != eb.value.key_props->node.has_value())
                return false;
            if (ea.value.key_props->node &&
                !same_data(**ea.value.key_props->node, **eb.value.key_props->node))
                return false;
            if (!same_data(ea.value.value, eb.value.value)) return false;
        }
        return true;
    }
    if (const YamlSequence* qa = a.sequence()) {
        const YamlSequence* qb = b.sequence();
        if (qa == qb) return true;
        if (qa->tag != qb->tag || qa->items.size() != qb->items.size()) return false;
        for (std::size_t i = 0; i < qa->items.size(); ++i)
            if (!same_data(qa->items[i].node, qb->items[i].node)) return false;
        return true;
    }
    return true;  // both null
}

/// A hash of a scalar's value (equal for the trees same_data calls equal);
/// one value for every other node.
std::uint64_t data_hash(const YamlNode& node) {
    const YamlNode& n = resolved(node);
    const YamlScalar* s = n.scalar();
    if (s == nullptr) return n.kind();
    const ScalarValue& v = s->value;
    std::uint64_t h = 0x9E3779B97F4A7C15ull * (v.kind() + 1);
    switch (v.kind()) {
        case ScalarValue::Int:
            h ^= static_cast<std::uint64_t>(v.as_int());
            break;
        case ScalarValue::Float:
            if (v.as_float() == v.as_float()) h ^= std::hash<double>{}(v.as_float());
            break;
        case ScalarValue::Bool:
            h ^= v.as_bool() ? 1 : 0;
            break;
        case ScalarValue::Str:
            h ^= std::hash<std::string_view>{}(v.as_str());
            break;
        case ScalarValue::BigInt:
            h ^= std::hash<std::string_view>{}(v.as_big_int());
            break;
        case ScalarValue::Null:
            break;
    }
    return h;  // (not the tag: a tagged value is matched by what it loads as)
}

OptString* root_anchor(YamlNode& node) {
    if (YamlScalar* s = node.scalar()) return &s->props.mut().anchor;
    if (node.kind() == YamlNode::Mapping) return &node.mapping()->anchor;
    if (node.kind() == YamlNode::Sequence) return &node.sequence()->anchor;
    return nullptr;
}

const OptString* root_anchor(const YamlNode& node) {
    if (const YamlScalar* s = node.scalar()) return &s->props->anchor;
    if (const YamlMapping* m = node.mapping()) return &m->anchor;
    if (const YamlSequence* q = node.sequence()) return &q->anchor;
    return nullptr;
}

/// Takes `name` off the root of `node`: an alias written as its value does
/// not define the anchor again.
void drop_root_anchor(YamlNode& node, const std::string& name) {
    const OptString* a = root_anchor(std::as_const(node));
    if (a && *a == name) root_anchor(node)->reset();
}

/// Whether `node` is a tagged mapping or sequence.
bool collection_tag(const YamlNode& node) noexcept {
    if (const YamlMapping* m = node.mapping()) return m->tag.has_value();
    if (const YamlSequence* q = node.sequence()) return q->tag.has_value();
    return false;
}

/// The value in the parent dict under `key` (null without an error when
/// missing). Entries and dict items are kept in the same order, and a dict
/// made by a load has no holes: the item at position `hint`, the entry's
/// index, is tried first, which spares making a str of the key.
ref dict_value(PyObject* obj, std::string_view key, std::size_t hint) {
    ref found;
    Py_BEGIN_CRITICAL_SECTION(obj);
    auto pos = static_cast<Py_ssize_t>(hint);
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    if (PyDict_Next(obj, &pos, &k, &v) && PyUnicode_CheckExact(k)) {
        Py_ssize_t n = 0;
        const char* text = nullptr;
        if (PyUnicode_IS_COMPACT_ASCII(k)) {
            // Most keys: their bytes are the UTF-8, read in place.
            text = static_cast<const char*>(PyUnicode_DATA(k));
            n = PyUnicode_GET_LENGTH(k);
        } else {
            text = PyUnicode_AsUTF8AndSize(k, &n);
        }
        if (text == nullptr)
            PyErr_Clear();  // not UTF-8: the lookup below decides
        else if (std::string_view(text, static_cast<std::size_t>(n)) == key)
            found = ref::borrow(v);
    }
    Py_END_CRITICAL_SECTION();
    if (found) return found;
    ref pykey = make_str(key);
    if (!pykey) return ref();
    return ref::borrow(PyDict_GetItemWithError(obj, pykey.get()));
}

}  // namespace

namespace {

/// The tree node a slot holding `v` gets when the tree is brought back in
/// step: a placeholder for what the Python part keeps (collections, and
/// values that are not primitives, which a dump converts as they are
/// then), a scalar for a primitive.
YamlNode slot_node_for(PyObject* v) {
    if (is_sequence_object(v)) return YamlNode(YamlSequence{});
    if (!PyDict_Check(v) && !is_mapping_object(v) && !PyList_Check(v) && !PyTuple_Check(v))
        if (auto scalar = py_primitive_to_scalar(v)) return YamlNode(std::move(*scalar));
    if (PyList_Check(v) || PyTuple_Check(v)) return YamlNode(YamlSequence{});
    return YamlNode(YamlMapping{});
}

/// A tree for mapping object `obj` that holds what its Python part holds,
/// each value in the slot of its key while that holds the same data.
bool resynced(PyObject* obj, const YamlMapping& stored, YamlMapping& out) {
    out.tag = stored.tag;
    out.anchor = stored.anchor;
    out.layout = stored.layout;
    out.style = stored.style;
    out.trailing_blank_lines = stored.trailing_blank_lines;
    ref items = ref::steal(PyDict_Items(obj));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);
        std::string text;
        if (!key_string(PyTuple_GET_ITEM(pair, 0), text)) return false;
        PyObject* value = PyTuple_GET_ITEM(pair, 1);
        const YamlEntry* was = stored.entries.find(text);
        YamlEntry entry = was != nullptr ? *was : YamlEntry{};
        if (was == nullptr || !holds(value, was->value, loaded_by_schema(obj)))
            entry.value = slot_node_for(value);
        out.entries.insert(text, std::move(entry));
    }
    return true;
}

/// The same for sequence object `obj`: items are matched in order, and
/// then among those not yet matched, so that a reordered item keeps its
/// comments.
bool resynced(PyObject* obj, const YamlSequence& stored, YamlSequence& out) {
    out.tag = stored.tag;
    out.anchor = stored.anchor;
    out.layout = stored.layout;
    out.style = stored.style;
    out.trailing_blank_lines = stored.trailing_blank_lines;
    ref list = ref::steal(PySequence_List(obj));
    if (!list) return false;
    const std::vector<YamlItem>& items = stored.items;
    std::vector<bool> used(items.size(), false);
    std::size_t next = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        PyObject* value = PyList_GET_ITEM(list.get(), i);
        std::size_t found = items.size();
        for (std::size_t j = next; j < items.size() && j < next + 2 && found == items.size(); ++j)
            if (!used[j] && holds(value, items[j].node, loaded_by_schema(obj)) &&
                slot_node_for(value).is_collection() == resolved(items[j].node).is_collection())
                found = j;
        if (found != items.size()) {
            next = found + 1;
        } else {
            const YamlNode fresh = slot_node_for(value);
            for (std::size_t j = 0; j < items.size() && found == items.size(); ++j)
                if (!used[j] && !fresh.is_collection() && same_data(items[j].node, fresh))
                    found = j;
        }
        if (found != items.size()) {
            used[found] = true;
            out.items.push_back(items[found]);
        } else {
            out.items.emplace_back().node = slot_node_for(value);
        }
    }
    return true;
}

template <class Obj, class Tree>
bool bring_object_in_step(PyObject* self, Obj* o) {
    // A few tries: Python code run by a conversion may change the object.
    for (int attempt = 0; attempt < 4; ++attempt) {
        Cow<Tree> stored;
        std::uint64_t writes = 0;
        {
            SharedBorrow borrow(o->borrow);
            if (!borrow.ok()) {
                // In use: the method's own access reports the conflict.
                PyErr_Clear();
                return true;
            }
            if (in_step(self, o->inner.get())) return true;
            stored = o->inner;
            writes = o->borrow.writes();
        }
        Tree fresh;
        if (!resynced(self, stored.get(), fresh)) return false;
        ExclusiveBorrow borrow(o->borrow);
        if (!borrow.ok()) {
            PyErr_Clear();
            return true;
        }
        if (o->borrow.writes() != writes + 1) continue;  // (this access counts one)
        o->inner = Cow<Tree>(std::move(fresh));
        return true;
    }
    return true;
}

}  // namespace

}  // namespace detail

bool bring_in_step(PyObject* self) {
    return guarded([&]() -> bool {
        if (is_mapping_object(self))
            return detail::bring_object_in_step<MappingObject, YamlMapping>(self, as_mapping(self));
        if (is_sequence_object(self))
            return detail::bring_object_in_step<SequenceObject, YamlSequence>(self,
                                                                              as_sequence(self));
        return true;
    });
}

namespace detail {

bool Extractor::convert(PyObject* obj, YamlNode& out) {
    if (exact_scalar(obj, out)) return true;
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyDict_Type || type == &PyList_Type || type == &PyTuple_Type)
        return plain_container(obj, out);
    if (is_mapping_object(obj)) return mapping_object(obj, out);
    if (is_sequence_object(obj)) return sequence_object(obj, out);
    if (is_scalar_object(obj)) {
        if (!copy_scalar_object(obj, out)) return false;
        if (auto replacement = settled(out)) out = std::move(*replacement);
        return true;
    }
    if (auto scalar = py_primitive_to_scalar(obj)) {
        out = YamlNode(std::move(*scalar));
        return true;
    }
    if (PyDict_Check(obj) || PyList_Check(obj) || PyTuple_Check(obj))
        return plain_container(obj, out);
    if (!to_node(obj, schema_, ctx_, out)) return false;
    // A dumper's data may hold node objects with anchors and aliases.
    if (auto replacement = settled(out)) out = std::move(*replacement);
    return true;
}

bool Extractor::plain_container(PyObject* obj, YamlNode& out) {
    RecursionGuard guard(kDumping, RecursionGuard::kMaxDumpDepth);
    if (!guard) return false;
    std::optional<std::string> anchor;
    if (registry_ != nullptr) {
        IdentityTable::Slot* slot = registry_->table.find(obj);
        if (slot != nullptr && slot->count >= 2) {
            if (slot->anchor != 0) {
                // An alias inside its own anchor's node would make the text
                // hold itself, which no reader loads.
                const auto& open = registry_->open;
                if (std::find(open.begin(), open.end(), obj) != open.end()) {
                    raise_recursive_structure(container_kind(obj));
                    return false;
                }
                out = YamlNode(AliasNode{anchor_name(slot->anchor), Box<YamlNode>()});
                return true;
            }
            slot->anchor = ++registry_->counter;
            anchor = anchor_name(slot->anchor);
        }
    }
    // A container the census did not see (reached only through a node
    // object's Python part) must not recurse into itself for ever.
    ProgressMark mark(ctx_.in_progress(), obj);
    if (!mark.fresh()) {
        raise_recursive_structure(container_kind(obj));
        return false;
    }
    const auto convert = [this](PyObject* item, YamlNode& node) {
        return this->convert(item, node);
    };
    if (PyDict_Check(obj)) {
        YamlMapping& m = out.emplace_mapping();
        if (!dict_to_mapping(obj, convert, m)) return false;
        m.anchor = std::move(anchor);
    } else {
        YamlSequence& s = out.emplace_sequence();
        if (!items_to_sequence(obj, convert, s)) return false;
        s.anchor = std::move(anchor);
    }
    return true;
}

bool Extractor::snapshot(PyObject* obj, YamlMapping& out) {
    MappingObject* m = as_mapping(obj);
    SharedBorrow borrow(m->borrow);
    if (!borrow.ok()) return false;
    out = m->inner.get();
    return true;
}

bool Extractor::snapshot(PyObject* obj, YamlSequence& out) {
    SequenceObject* s = as_sequence(obj);
    SharedBorrow borrow(s->borrow);
    if (!borrow.ok()) return false;
    out = s->inner.get();
    return true;
}

bool Extractor::share_record(PyObject* obj, YamlNode& out) {
    if (is_mapping_object(obj)) {
        MappingObject* m = as_mapping(obj);
        SharedBorrow borrow(m->borrow);
        if (!borrow.ok()) return false;
        out.v.emplace<0>(m->inner);
        return true;
    }
    SequenceObject* s = as_sequence(obj);
    SharedBorrow borrow(s->borrow);
    if (!borrow.ok()) return false;
    out.v.emplace<1>(s->inner);
    return true;
}

template <class Obj, std::size_t K>
bool Extractor::share(Obj* o, YamlNode& out, bool& shared, bool& stale) {
    SharedBorrow borrow(o->borrow);
    if (!borrow.ok()) return false;
    const auto& tree = o->inner.get();
    if (tree.anchor) {
        // Shared under its anchor and written already: an alias.
        if (const AnchorBook::Entry* e = written_as(*tree.anchor, reinterpret_cast<PyObject*>(o))) {
            out = YamlNode(AliasNode{*tree.anchor, Box<YamlNode>(e->data)});
            shared = true;
            return true;
        }
    }
    stale = !in_step(reinterpret_cast<PyObject*>(o), tree);
    if (stale) return true;
    const std::uint64_t writes = o->borrow.writes();
    if (const auto known = o->contained.get(writes)) {
        shared = *known;
    } else {
        shared = self_contained(tree);
        o->contained.set(writes, shared);
    }
    if (!shared) return true;
    // A change made to the object later copies the record first.
    out.v.template emplace<K>(o->inner);
    if (settle_ && tree.anchor)
        close_object_anchor(*tree.anchor, book_.open(*tree.anchor), out,
                            reinterpret_cast<PyObject*>(o));
    return true;
}

template <class Obj, std::size_t K>
bool Extractor::share_unfilled(Obj* o, YamlNode& out, bool& whole) {
    SharedBorrow borrow(o->borrow);
    if (!borrow.ok()) {
        PyErr_Clear();  // the whole-tree road reports it
        return false;
    }
    const auto& tree = o->inner.get();
    if (tree.anchor && written_as(*tree.anchor, reinterpret_cast<PyObject*>(o))) return false;
    if (!in_step(reinterpret_cast<PyObject*>(o), tree)) return false;
    const std::uint64_t writes = o->borrow.writes();
    bool contained = false;
    if (const auto known = o->contained.get(writes)) {
        contained = *known;
    } else {
        contained = self_contained(tree);
        o->contained.set(writes, contained);
    }
    if (contained) {
        // What mapping_object / sequence_object make of it, without their
        // mark of work in progress: a tree without collections cannot be
        // open around itself.
        RecursionGuard guard(kDumping, RecursionGuard::kMaxDumpDepth);
        if (!guard) return false;
        out.v.template emplace<K>(o->inner);
        if (settle_ && tree.anchor)
            close_object_anchor(*tree.anchor, book_.open(*tree.anchor), out,
                                reinterpret_cast<PyObject*>(o));
        whole = true;
        return false;
    }
    if (tree.style != ContainerStyle::Block || tree.anchor) return false;
    if constexpr (K == 0) {
        // (One read with repeated keys is not written in the order of its
        // entries: see ShadowedEntries.)
        if (tree.entries.empty() || tree.layout.shadowed() != nullptr) return false;
    } else {
        if (tree.items.empty()) return false;
    }
    out.v.template emplace<K>(o->inner);
    return true;
}

bool Extractor::open_record(PyObject* obj, YamlNode& out, bool& whole) {
    whole = false;
    ref value;
    bool present = true;
    // Only a collection can be missing from the Python part, and one that
    // is left out as its slot comes is skipped then. The last slot is
    // looked at now: what the writer decides before the first slot (that
    // something is written, and which slot ends the output) holds only
    // while the last one is there. (A sequence object is told first by its
    // class: the subclass check for a mapping would walk its MRO.)
    if (Py_TYPE(obj) != sequence_type() && is_mapping_object(obj)) {
        if (!share_unfilled<MappingObject, 0>(as_mapping(obj), out, whole)) return false;
        const YamlMapping& m = *std::as_const(out).mapping();
        const std::size_t last = m.entries.size() - 1;
        const auto& slot = m.entries.at(last);
        if (!parent_value(obj, slot.key, last, slot.value.value, value, present) || !present) {
            out = YamlNode();
            return false;
        }
        return true;
    }
    if (!share_unfilled<SequenceObject, 1>(as_sequence(obj), out, whole)) return false;
    const YamlSequence& q = *std::as_const(out).sequence();
    if (PyList_GET_SIZE(obj) < static_cast<Py_ssize_t>(q.items.size())) {
        out = YamlNode();
        return false;
    }
    return true;
}

void Extractor::define_key_anchor(std::string_view key, const YamlEntry& e) {
    // A complex key's anchor is not followed: an alias naming it is left
    // as it is.
    if (e.key_props->node) {
        book_.forget(*e.key_props->anchor);
        return;
    }
    YamlScalar s;
    s.style = e.key_style;
    if (e.key_props->tag) s.props.mut().tag = e.key_props->tag;
    s.value = type_scalar(key, s.style, s.props->tag.to_optional(), CoercionTags{});
    book_.define(*e.key_props->anchor, YamlNode(std::move(s)));
}

void Extractor::settle_key(std::string_view key, YamlEntry& e) {
    if (e.key_props->alias && settle_) {
        // A key written as an alias reads the anchor's text: one that is no
        // longer this key's (the anchored key was renamed) is written as
        // the key's own text.
        const AnchorBook::Entry* anchored = book_.find(*e.key_props->alias);
        const YamlScalar* s = anchored != nullptr ? anchored->data.scalar() : nullptr;
        if (s != nullptr && !anchored->open && s->value.to_key_string() != key)
            e.key_props.mut().alias.reset();
    }
    key_anchor(key, e);
    if (e.key_props->node)
        if (auto replacement = settled(**e.key_props->node))
            **e.key_props.mut().node = std::move(*replacement);
}

bool Extractor::parent_value(PyObject* obj, std::string_view key, std::size_t index,
                             const YamlNode& node, ref& value, bool& present) {
    present = true;
    if (!needs_value(node)) return true;
    value = dict_value(obj, key, index);
    if (!value) {
        if (PyErr_Occurred()) return false;
        present = !node.is_collection();
    }
    return true;
}

bool Extractor::parent_value(PyObject* obj, std::size_t index, const YamlNode& node, ref& value,
                             bool& present) {
    present = true;
    if (!needs_value(node)) return true;
    // Python code run by a conversion may have shortened the list.
    const auto i = static_cast<Py_ssize_t>(index);
    if (i < PyList_GET_SIZE(obj)) {
        value = ref::borrow(PyList_GET_ITEM(obj, i));
    } else {
        present = !node.is_collection();
    }
    return true;
}

bool Extractor::writes_value(const YamlNode& node, PyObject* value) noexcept {
    if (value == nullptr || node.alias()) return false;
    return is_container_object(value) || (node.is_collection() && !collection_tag(node));
}

bool Extractor::finish_entry(PyObject* obj, std::string_view key, std::size_t index, YamlEntry& e,
                             bool& present) {
    settle_key(key, e);
    if (!needs_value(e.value)) {
        present = true;
        if (auto replacement = settled(e.value)) e.value = std::move(*replacement);
        return true;
    }
    ref value;
    if (!parent_value(obj, key, index, e.value, value, present)) return false;
    if (!present) return true;
    YamlNode current;
    if (!value_of(e.value, value.get(), current)) return false;
    e.value = std::move(current);
    return true;
}

bool Extractor::finish_item(PyObject* obj, std::size_t index, YamlItem& item, bool& present) {
    if (!needs_value(item.node)) {
        present = true;
        if (auto replacement = settled(item.node)) item.node = std::move(*replacement);
        return true;
    }
    ref value;
    if (!parent_value(obj, index, item.node, value, present)) return false;
    if (!present) return true;
    YamlNode current;
    if (!value_of(item.node, value.get(), current)) return false;
    item.node = std::move(current);
    return true;
}

bool Extractor::complete_entry(PyObject* obj, std::string_view key, std::size_t index,
                               const YamlEntry& stored, YamlEntry& spare, const YamlEntry*& out,
                               bool& present) {
    present = true;
    out = &stored;
    const KeyProps& k = *stored.key_props;
    if (!needs_value(stored.value) && !(settle_ && (k.alias || k.node))) {
        // settle_key and finish_entry without a change to make.
        key_anchor(key, stored);
        if (settles_as_is(stored.value)) return true;
        if (auto replacement = settled(stored.value)) {
            spare = stored;
            spare.value = std::move(*replacement);
            out = &spare;
        }
        return true;
    }
    spare = stored;
    out = &spare;
    return finish_entry(obj, key, index, spare, present);
}

bool Extractor::complete_item(PyObject* obj, std::size_t index, const YamlItem& stored,
                              YamlItem& spare, const YamlItem*& out, bool& present) {
    present = true;
    out = &stored;
    if (!needs_value(stored.node)) {
        if (settles_as_is(stored.node)) return true;
        if (auto replacement = settled(stored.node)) {
            spare = stored;
            spare.node = std::move(*replacement);
            out = &spare;
        }
        return true;
    }
    spare = stored;
    out = &spare;
    return finish_item(obj, index, spare, present);
}

bool Extractor::value_of(const YamlNode& node, PyObject* value, YamlNode& out) {
    const AliasNode* alias = node.alias();
    if (value != nullptr && is_container_object(value)) {
        if (!alias) return convert(value, out);
        // The anchor's own object, written already: the alias stays.
        if (const AnchorBook::Entry* e = written_as(alias->name.str(), value)) {
            out = YamlNode(AliasNode{alias->name, Box<YamlNode>(e->data)});
            return true;
        }
        return alias_value(*alias, value, out);
    }
    // An alias whose value was replaced behind the class (dict's own
    // methods): what the Python part holds, compared with the anchor's.
    if (alias != nullptr && value != nullptr) {
        const YamlNode& target = resolved(node);
        const YamlScalar* s = target.scalar();
        const bool tagged = s != nullptr ? s->props->tag.has_value() : collection_tag(target);
        const bool replaced =
            target.is_collection() ? !is_container_object(value) : !holds(value, target, false);
        if (!tagged && replaced) return alias_value(*alias, value, out);
    }
    if (!node.is_collection() || value == nullptr) {
        out = node;
    } else if (collection_tag(node)) {
        // The source of a loaded value that was not replaced (a loader's
        // result) is written as it was read.
        out = node;
    } else {
        // A placeholder: the value kept as it was assigned.
        return convert(value, out);
    }
    if (auto replacement = settled(out)) out = std::move(*replacement);
    return true;
}

bool Extractor::alias_value(const AliasNode& alias, PyObject* value, YamlNode& out) {
    // The object made from the alias carries the anchor's name on its
    // root, and what it holds is written only if the alias is not: the
    // anchors its conversion records count only then.
    // (One copy of the book: the states before and after the conversion
    // change places instead of being copied back.)
    AnchorBook other = book_;
    const std::uint64_t start = book_.clock();
    YamlNode current;
    if (!convert(value, current)) return false;
    std::swap(book_, other);  // book_: before the conversion; other: after it
    // No anchor of the name before it: it is written as its value under
    // the anchor's name, and the object is that anchor's from now on.
    const bool first =
        settle_ && !issued(alias.name.view()) && book_.find(alias.name.str()) == nullptr;
    // The value's own anchor, which the alias's name takes the place of.
    std::string own_anchor;
    if (const OptString* a = root_anchor(std::as_const(current)); a && *a) own_anchor = **a;
    // An anchor of the alias's name inside the value stands later in the
    // text than the one on the value: an alias after it reads that one.
    bool redefined = false;
    if (auto replacement = alias_replacement(alias.name.str(), current)) {
        std::swap(book_, other);
        const AnchorBook::Entry* inner = book_.find(alias.name.str());
        redefined = inner != nullptr && inner->at > start && inner->obj != value;
        if (!redefined) book_.restore(alias.name.str(), other);
        // The value's own anchor is not written (unless an anchor of that
        // name inside it is): an alias of that name still means what it did.
        if (!own_anchor.empty() && own_anchor != alias.name.str()) {
            const AnchorBook::Entry* e = book_.find(own_anchor);
            if (e == nullptr || e->obj == value || !is_container_object(value))
                book_.restore(own_anchor, other);
        }
        out = std::move(*replacement);
    } else {
        out = YamlNode(AliasNode{alias.name, Box<YamlNode>(std::move(current))});
    }
    if (first && !redefined && is_container_object(value)) {
        book_.set_object(alias.name.str(), value);
        held_.push_back(ref::borrow(value));
    }
    return true;
}

bool Extractor::mapping_object(PyObject* obj, YamlNode& out) {
    RecursionGuard guard(kDumping, RecursionGuard::kMaxDumpDepth);
    if (!guard) return false;
    ProgressMark mark(ctx_.in_progress(), obj);
    if (!mark.fresh()) {
        raise_self_referential();
        return false;
    }
    bool shared = false;
    bool stale = false;
    if (!share<MappingObject, 0>(as_mapping(obj), out, shared, stale)) return false;
    if (stale) return python_part(obj, out);
    if (shared) return true;
    YamlMapping& result = out.emplace_mapping();
    if (!snapshot(obj, result)) return false;
    const bool opened = settle_ && result.anchor;
    const std::uint64_t token = opened ? book_.open(*result.anchor) : 0;
    std::vector<std::size_t> missing;
    for (std::size_t i = 0; i < result.entries.size(); ++i) {
        auto& slot = result.entries.at(i);
        bool present = true;
        if (!finish_entry(obj, slot.key, i, slot.value, present)) return false;
        if (!present) missing.push_back(i);
    }
    for (auto i = missing.rbegin(); i != missing.rend(); ++i) result.entries.erase_at(*i);
    if (opened) close_object_anchor(*result.anchor, token, out, obj);
    return true;
}

bool Extractor::sequence_object(PyObject* obj, YamlNode& out) {
    RecursionGuard guard(kDumping, RecursionGuard::kMaxDumpDepth);
    if (!guard) return false;
    ProgressMark mark(ctx_.in_progress(), obj);
    if (!mark.fresh()) {
        raise_self_referential();
        return false;
    }
    bool shared = false;
    bool stale = false;
    if (!share<SequenceObject, 1>(as_sequence(obj), out, shared, stale)) return false;
    if (stale) return python_part(obj, out);
    if (shared) return true;
    YamlSequence& result = out.emplace_sequence();
    if (!snapshot(obj, result)) return false;
    const bool opened = settle_ && result.anchor;
    const std::uint64_t token = opened ? book_.open(*result.anchor) : 0;
    std::vector<std::size_t> missing;
    for (std::size_t i = 0; i < result.items.size(); ++i) {
        bool present = true;
        if (!finish_item(obj, i, result.items[i], present)) return false;
        if (!present) missing.push_back(i);
    }
    for (auto i = missing.rbegin(); i != missing.rend(); ++i)
        result.items.erase(result.items.begin() + static_cast<std::ptrdiff_t>(*i));
    if (opened) close_object_anchor(*result.anchor, token, out, obj);
    return true;
}

bool Extractor::issued(std::string_view name) const {
    if (registry_ == nullptr || name.size() < 5 || name.substr(0, 2) != "id") return false;
    std::uint32_t number = 0;
    for (const char c : name.substr(2)) {
        if (c < '0' || c > '9' || number > registry_->counter) return false;
        number = number * 10 + static_cast<std::uint32_t>(c - '0');
    }
    return number >= 1 && number <= registry_->counter && anchor_name(number) == name;
}

std::optional<YamlNode> Extractor::alias_replacement(const std::string& name,
                                                     const YamlNode& value) {
    if (!settle_ || issued(name)) return std::nullopt;
    const AnchorBook::Entry* anchored = book_.find(name);
    if (anchored == nullptr) {
        // No anchor of that name in the text before it: the writer writes
        // the alias as its value under the anchor's name, which takes the
        // place of the value's own anchor (that one is not defined there).
        // (The node itself, not an alias the emitter expands: a block
        // collection stays one, with its records.)
        YamlNode own = value;
        if (OptString* a = root_anchor(own)) *a = name;
        // It stands where the alias stood: the blank lines that followed the
        // anchored node stay there.
        take_end_blank_run(own);
        std::optional<YamlNode> inner = settled(own);
        book_.define(name, inner ? *inner : own);
        if (own.kind() == YamlNode::Null) return std::nullopt;
        return inner ? std::move(*inner) : std::move(own);
    }
    if (!anchored->open && same_data(anchored->data, value)) return std::nullopt;
    // Other data, or the node of a collection still open around the alias
    // (which the alias would make contain itself): the value itself.
    YamlNode own = value;
    drop_root_anchor(own, name);
    // It stands where the alias stood: the blank lines that followed the
    // anchored node stay there.
    take_end_blank_run(own);
    if (auto inner = settled(own)) return inner;
    return own;
}

std::optional<YamlNode> Extractor::settled(const YamlNode& node) {
    if (!settle_) return std::nullopt;
    switch (node.kind()) {
        case YamlNode::Alias: {
            const AliasNode& a = *node.alias();
            return alias_replacement(a.name.str(), *a.target);
        }
        case YamlNode::Scalar:
            if (const OptString& anchor = node.scalar()->props->anchor) book_.define(*anchor, node);
            return std::nullopt;
        case YamlNode::Null:
            return std::nullopt;
        case YamlNode::Mapping: {
            const YamlMapping& m = *node.mapping();
            const std::uint64_t token = m.anchor ? book_.open(*m.anchor) : 0;
            std::optional<YamlNode> copy;  // made at the first change
            for (std::size_t i = 0; i < m.entries.size(); ++i) {
                const YamlEntry& e = m.entries.at(i).value;
                key_anchor(m.entries.at(i).key, e);
                std::optional<YamlNode> key;
                if (e.key_props->node) key = settled(**e.key_props->node);
                std::optional<YamlNode> value = settled(e.value);
                if (!key && !value) continue;
                if (!copy) copy = node;
                YamlEntry& target = copy->mapping()->entries.at(i).value;
                if (key) **target.key_props.mut().node = std::move(*key);
                if (value) target.value = std::move(*value);
            }
            if (m.anchor) book_.close(*m.anchor, token, copy ? *copy : node);
            return copy;
        }
        case YamlNode::Sequence: {
            const YamlSequence& q = *node.sequence();
            const std::uint64_t token = q.anchor ? book_.open(*q.anchor) : 0;
            std::optional<YamlNode> copy;
            for (std::size_t i = 0; i < q.items.size(); ++i) {
                std::optional<YamlNode> item = settled(q.items[i].node);
                if (!item) continue;
                if (!copy) copy = node;
                copy->sequence()->items[i].node = std::move(*item);
            }
            if (q.anchor) book_.close(*q.anchor, token, copy ? *copy : node);
            return copy;
        }
    }
    return std::nullopt;
}

bool Extractor::python_part(PyObject* obj, YamlNode& out) {
    YamlNode record;
    if (!share_record(obj, record)) return false;
    const YamlNode& view = record;
    const YamlMapping* stored_map = view.mapping();
    const YamlSequence* stored_seq = view.sequence();
    const OptString& anchor = stored_map != nullptr ? stored_map->anchor : stored_seq->anchor;
    const bool opened = settle_ && anchor;
    const std::uint64_t token = opened ? book_.open(*anchor) : 0;
    // A value keeps the slot it was read in while it is what was read
    // there: a collection where one was read (its Python part decides what
    // it holds), or a scalar of the same data (written as it was read).
    // `fresh` is the value converted, for all but collections.
    const bool by_schema = loaded_by_schema(obj);
    const auto matches = [by_schema](const YamlNode& stored, const YamlNode* fresh,
                                     PyObject* value) {
        if (stored.is_collection()) {
            // A tagged collection holds its own node object (or a loader's
            // result): a plain one put there is written as what it is.
            if (collection_tag(stored) && !by_schema && !is_container_object(value)) return false;
            return fresh == nullptr;
        }
        // An alias stands for what the Python part holds: a collection, or
        // a scalar of its anchor's data.
        if (stored.alias() != nullptr && fresh == nullptr) return true;
        // A tagged scalar keeps its tag while it holds what it was read as.
        const YamlScalar* s = resolved(stored).scalar();
        if (s != nullptr && s->props->tag) return holds(value, stored, by_schema);
        return fresh != nullptr && same_data(stored, *fresh);
    };
    // The value written for `value` in slot `stored` (null: a new slot).
    const auto value_in = [this](const YamlNode* stored, PyObject* value, YamlNode& fresh,
                                 bool converted, YamlNode& node) -> bool {
        if (stored == nullptr) {
            if (!converted && !convert(value, fresh)) return false;
            node = std::move(fresh);
            return true;
        }
        if (!needs_value(*stored)) return true;  // the slot's own node
        YamlNode current;
        if (!value_of(*stored, value, current)) return false;
        node = std::move(current);
        return true;
    };
    const auto convert_unless_collection = [this](PyObject* value, YamlNode& fresh,
                                                  bool& converted) {
        converted = !(PyDict_Check(value) || PyList_Check(value) || PyTuple_Check(value));
        return !converted || convert(value, fresh);
    };
    // The collection's own properties, style and layout stay.
    const auto same_properties = [](auto& to, const auto& from) {
        to.tag = from.tag;
        to.anchor = from.anchor;
        to.layout = from.layout;
        to.style = from.style;
        to.trailing_blank_lines = from.trailing_blank_lines;
    };
    if (stored_map != nullptr) {
        YamlMapping& m = out.emplace_mapping();
        same_properties(m, *stored_map);
        const Py_ssize_t size = PyDict_GET_SIZE(obj);
        Py_ssize_t pos = 0;
        PyObject* k;
        PyObject* v;
        while (PyDict_Next(obj, &pos, &k, &v)) {
            // Hold both: converting the value may run code that changes the dict.
            ref key = ref::borrow(k);
            ref value = ref::borrow(v);
            std::string text;
            if (!key_string(key.get(), text)) return false;
            const YamlEntry* was = stored_map->entries.find(text);
            YamlNode fresh;
            bool converted = false;
            if (!convert_unless_collection(value.get(), fresh, converted)) return false;
            // An entry keeps its key's slot, as an assignment would.
            YamlEntry entry = was != nullptr ? *was : YamlEntry{};
            const bool same =
                was != nullptr && matches(was->value, converted ? &fresh : nullptr, value.get());
            if (!value_in(same ? &was->value : nullptr, value.get(), fresh, converted, entry.value))
                return false;
            m.entries.insert(std::move(text), std::move(entry));
            if (PyDict_GET_SIZE(obj) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return false;
            }
        }
    } else {
        YamlSequence& q = out.emplace_sequence();
        same_properties(q, *stored_seq);
        // Items are matched in order, passing over one taken out; an item
        // found nowhere near is looked for among the items not yet matched
        // (the list was reordered), so that its comments go with it.
        const std::vector<YamlItem>& items = stored_seq->items;
        std::vector<bool> used(items.size(), false);
        std::unordered_multimap<std::uint64_t, std::size_t> unmatched;  // made when needed
        bool indexed = false;
        std::size_t next = 0;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
            ref value = ref::borrow(PyList_GET_ITEM(obj, i));
            YamlNode fresh;
            bool converted = false;
            if (!convert_unless_collection(value.get(), fresh, converted)) return false;
            const YamlNode* probe = converted ? &fresh : nullptr;
            const YamlItem* was = nullptr;
            for (std::size_t j = next; j < items.size() && j < next + 2; ++j) {
                // (An item's place tells less than a key: a collection put
                // where an alias of a scalar stood is a new item.)
                const YamlNode& node = items[j].node;
                if (probe == nullptr && node.alias() != nullptr && !resolved(node).is_collection())
                    continue;
                if (!used[j] && matches(node, probe, value.get())) {
                    was = &items[j];
                    used[j] = true;
                    next = j + 1;
                    break;
                }
            }
            if (was == nullptr && probe != nullptr) {
                if (!indexed) {
                    for (std::size_t j = 0; j < items.size(); ++j)
                        if (!used[j]) unmatched.emplace(data_hash(items[j].node), j);
                    indexed = true;
                }
                auto [first, last] = unmatched.equal_range(data_hash(*probe));
                for (auto it = first; it != last; ++it) {
                    if (!used[it->second] && matches(items[it->second].node, probe, value.get())) {
                        was = &items[it->second];
                        used[it->second] = true;
                        unmatched.erase(it);
                        break;
                    }
                }
            }
            YamlItem item = was != nullptr ? *was : YamlItem{};
            if (!value_in(was != nullptr ? &was->node : nullptr, value.get(), fresh, converted,
                          item.node))
                return false;
            q.items.push_back(std::move(item));
        }
    }
    if (opened) close_object_anchor(*anchor, token, out, obj);
    return true;
}

bool read_doc_meta(PyObject* doc, DocMeta& meta) {
    meta = DocMeta{};
    BorrowFlag* flag = nullptr;
    const DocMeta* source = nullptr;
    if (is_mapping_object(doc)) {
        flag = &as_mapping(doc)->borrow;
        source = &as_mapping(doc)->meta.get();
    } else if (is_sequence_object(doc)) {
        flag = &as_sequence(doc)->borrow;
        source = &as_sequence(doc)->meta.get();
    } else if (is_scalar_object(doc)) {
        flag = &as_scalar(doc)->borrow;
        source = &as_scalar(doc)->meta.get();
    }
    if (flag == nullptr) return true;
    SharedBorrow borrow(*flag);
    if (!borrow.ok()) return false;
    meta = *source;
    return true;
}

}  // namespace detail

using namespace detail;

bool extract_yaml_node(PyObject* obj, SchemaObject* schema, YamlNode& out) {
    return guarded([&]() -> bool {
        ConvertContext ctx;
        return Extractor(schema, ctx).convert(obj, out);
    });
}

bool extract_doc_and_meta(PyObject* doc, SchemaObject* schema, YamlNode& tree, DocMeta& meta) {
    return guarded([&]() -> bool {
        AnchorRegistry registry;
        prepass(doc, registry.table);
        registry.hold_shared();
        ConvertContext ctx(&registry);
        return Extractor(schema, ctx).convert(doc, tree) && read_doc_meta(doc, meta);
    });
}

}  // namespace tesvorn::py
