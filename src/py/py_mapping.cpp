// YamlMapping: a dict subclass kept in step with its model mapping `inner`.
#include <algorithm>
#include <new>

#include "py/args.hpp"
#include "py/metadata.hpp"
#include "py/node_common.hpp"
#include "py/nodes.hpp"
#include "py/schema.hpp"
#include "py/slot_methods.hpp"

namespace tesvorn::py {

namespace {

PyTypeObject* g_mapping_type = nullptr;

/// Constructs the native state in freshly allocated memory.
void construct_state(MappingObject* m, YamlMapping inner, DocMeta meta) {
    new (&m->borrow) BorrowFlag();
    new (&m->inner) YamlMapping(std::move(inner));
    new (&m->meta) DocMeta(std::move(meta));
}

/// Allocates an instance of `type` with an empty parent dict and a default
/// native state.
ref alloc_mapping(PyTypeObject* type, YamlMapping inner, DocMeta meta) {
    static PyObject* empty = PyTuple_New(0);  // kept for the life of the process
    if (!empty) return ref();
    ref self = ref::steal(PyDict_Type.tp_new(type, empty, nullptr));
    if (!self) return self;
    construct_state(as_mapping(self.get()), std::move(inner), std::move(meta));
    return self;
}

PyObject* mapping_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kwlist[] = {"mapping", "style", "tag", "schema", nullptr};
        PyObject* mapping = Py_None;
        PyObject* style = nullptr;
        PyObject* tag = Py_None;
        PyObject* schema = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$OOO:YamlMapping",
                                         const_cast<char**>(kwlist), &mapping, &style, &tag,
                                         &schema))
            return nullptr;
        YamlMapping inner;
        if (style && !parse_container_style(style, "style", inner.style)) return nullptr;
        if (!arg_optional_str(tag, "tag")) return nullptr;
        if (tag != Py_None) {
            std::string_view text;
            if (!str_utf8(tag, text)) return nullptr;
            inner.tag = std::string(text);
        }
        SchemaObject* s = nullptr;
        if (!arg_schema(schema, s)) return nullptr;
        return alloc_mapping(type, std::move(inner), DocMeta{}).release();
    });
}

void mapping_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, mapping_dealloc) MappingObject* m = as_mapping(self);
    m->meta.~DocMeta();
    m->inner.~YamlMapping();
    m->borrow.~BorrowFlag();
    PyDict_Type.tp_dealloc(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

int mapping_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return PyDict_Type.tp_traverse(self, visit, arg);
}

int mapping_clear(PyObject* self) {
    return PyDict_Type.tp_clear(self);
}

// ---- helpers -------------------------------------------------------------------

bool key_arg(PyObject* key, std::string_view& out) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "argument 'key': must be str, not %.200s",
                     Py_TYPE(key)->tp_name);
        return false;
    }
    return str_utf8(key, out);
}

void raise_key_error(PyObject* key) {
    PyErr_SetObject(PyExc_KeyError, key);
}

/// The entry under `text` (the UTF-8 of `key`), or null with KeyError(key)
/// set. The caller holds access to the state.
YamlEntry* entry_or_raise(MappingObject* m, PyObject* key, std::string_view text) {
    YamlEntry* e = m->inner.entries.find(text);
    if (!e) raise_key_error(key);
    return e;
}

#define TESVORN_METHOD(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

/// Stores `value` (already converted) under `key` in the parent dict alone.
bool set_parent(PyObject* self, PyObject* key, PyObject* value) {
    return PyDict_SetItem(self, key, value) == 0;
}

/// Inserts a fresh entry (empty metadata) or replaces an existing entry
/// whole, in place. Exclusive access must be held.
void put_fresh_entry(MappingObject* m, std::string_view key, YamlNode node) {
    YamlEntry entry;
    entry.value = std::move(node);
    m->inner.entries.insert(std::string(key), std::move(entry));
}

/// Assigns one already-converted value under `key` as item assignment does:
/// an existing entry keeps its position and metadata.
bool assign_value(PyObject* self, PyObject* key, std::string_view text, YamlNode node,
                  PyObject* value) {
    MappingObject* m = as_mapping(self);
    {
        ExclusiveBorrow borrow(m->borrow);
        if (!borrow.ok()) return false;
        if (YamlEntry* e = m->inner.entries.find(text)) {
            e->value = std::move(node);
        } else {
            put_fresh_entry(m, text, std::move(node));
        }
    }
    return set_parent(self, key, value);
}

// ---- item assignment and deletion ---------------------------------------------------

int mapping_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
    return guarded([&]() -> int {
        std::string_view text;
        if (!key_arg(key, text)) return -1;
        MappingObject* m = as_mapping(self);
        if (!value) {
            {
                ExclusiveBorrow borrow(m->borrow);
                if (!borrow.ok()) return -1;
                if (!m->inner.entries.remove(text)) {
                    raise_key_error(key);
                    return -1;
                }
            }
            return PyDict_DelItem(self, key);
        }
        YamlNode node;
        ref converted;
        if (!py_to_node_with_fallback(value, nullptr, node, converted)) return -1;
        return assign_value(self, key, text, std::move(node), converted.get()) ? 0 : -1;
    });
}

// ---- update ---------------------------------------------------------------------------

/// One key/value pair of the keys() and iterable forms: a fresh entry.
bool update_pair(PyObject* self, PyObject* key, PyObject* value) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "YamlMapping keys must be str, not %.200s",
                     Py_TYPE(key)->tp_name);
        return false;
    }
    std::string_view text;
    if (!str_utf8(key, text)) return false;
    YamlNode node;
    ref converted;
    if (!py_to_node_with_fallback(value, nullptr, node, converted)) return false;
    MappingObject* m = as_mapping(self);
    {
        ExclusiveBorrow borrow(m->borrow);
        if (!borrow.ok()) return false;
        put_fresh_entry(m, text, std::move(node));
    }
    return set_parent(self, key, converted.get());
}

bool update_from(PyObject* self, PyObject* other) {
    MappingObject* m = as_mapping(self);
    if (is_mapping_object(other)) {
        MappingObject* o = as_mapping(other);
        YamlMapping copy;
        {
            SharedBorrow borrow(o->borrow);
            if (!borrow.ok()) return false;
            copy = o->inner;
        }
        std::vector<std::string> keys;
        keys.reserve(copy.entries.size());
        {
            ExclusiveBorrow borrow(m->borrow);
            if (!borrow.ok()) return false;
            for (auto& slot : copy.entries) {
                keys.push_back(slot.key);
                m->inner.entries.insert(std::move(slot.key), std::move(slot.value));
            }
        }
        for (const std::string& k : keys) {
            ref key = make_str(k);
            if (!key) return false;
            ref value = ref::borrow(PyDict_GetItemWithError(other, key.get()));
            if (!value) {
                if (PyErr_Occurred()) return false;
                continue;
            }
            if (!set_parent(self, key.get(), value.get())) return false;
        }
        return true;
    }
    ref keys_attr;
    {
        PyObject* attr = nullptr;
        if (PyObject_GetOptionalAttrString(other, "keys", &attr) < 0) return false;
        keys_attr = ref::steal(attr);
    }
    if (keys_attr) {
        ref keys = ref::steal(PyObject_CallNoArgs(keys_attr.get()));
        if (!keys) return false;
        ref it = ref::steal(PyObject_GetIter(keys.get()));
        if (!it) return false;
        while (ref k = ref::steal(PyIter_Next(it.get()))) {
            ref v = ref::steal(PyObject_GetItem(other, k.get()));
            if (!v || !update_pair(self, k.get(), v.get())) return false;
        }
        return !PyErr_Occurred();
    }
    ref it = ref::steal(PyObject_GetIter(other));
    if (!it) return false;
    while (ref pair = ref::steal(PyIter_Next(it.get()))) {
        if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2 ||
            !PyUnicode_Check(PyTuple_GET_ITEM(pair.get(), 0))) {
            PyErr_Format(PyExc_TypeError,
                         "YamlMapping update expects (str, value) tuples, got %.200s",
                         Py_TYPE(pair.get())->tp_name);
            return false;
        }
        if (!update_pair(self, PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1)))
            return false;
    }
    return !PyErr_Occurred();
}

PyObject* mapping_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static ArgParser parser("update", {"other"}, 1, 1);
        PyObject* a[1];
        if (!parser.parse(args, nargs, kwnames, a)) return nullptr;
        if (!update_from(self, a[0])) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* mapping_inplace_or(PyObject* self, PyObject* other) {
    return guarded([&]() -> PyObject* {
        if (!is_mapping_object(self)) Py_RETURN_NOTIMPLEMENTED;
        if (!update_from(self, other)) return nullptr;
        return Py_NewRef(self);
    });
}

int mapping_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> int {
        static const char* kwlist[] = {"mapping", "style", "tag", "schema", nullptr};
        PyObject* mapping = Py_None;
        PyObject* style = nullptr;
        PyObject* tag = nullptr;
        PyObject* schema = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$OOO:YamlMapping",
                                         const_cast<char**>(kwlist), &mapping, &style, &tag,
                                         &schema))
            return -1;
        SchemaObject* s = nullptr;
        if (!arg_schema(schema, s)) return -1;
        if (mapping == Py_None) return 0;
        if (!s) return update_from(self, mapping) ? 0 : -1;
        YamlNode node;
        if (!py_to_node(mapping, s, node)) return -1;
        YamlMapping* converted = node.mapping();
        if (!converted) {
            PyErr_SetString(PyExc_TypeError, "YamlMapping requires a dict or mapping-like object");
            return -1;
        }
        MappingObject* m = as_mapping(self);
        {
            ExclusiveBorrow borrow(m->borrow);
            if (!borrow.ok()) return -1;
            converted->tag = m->inner.tag;
            converted->style = m->inner.style;
            m->inner = std::move(*converted);
        }
        YamlMapping snapshot;
        {
            SharedBorrow borrow(m->borrow);
            if (!borrow.ok()) return -1;
            snapshot = m->inner;
        }
        for (const auto& slot : snapshot.entries) {
            ref key = make_str(slot.key);
            if (!key) return -1;
            ref value = node_to_py(slot.value.value, s);
            if (!value || !set_parent(self, key.get(), value.get())) return -1;
        }
        return 0;
    });
}

// ---- dict methods ------------------------------------------------------------------------

PyObject* mapping_pop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static ArgParser parser("pop", {"key", "default"}, 2, 1);
        PyObject* a[2];
        if (!parser.parse(args, nargs, kwnames, a)) return nullptr;
        std::string_view text;
        if (!key_arg(a[0], text)) return nullptr;
        MappingObject* m = as_mapping(self);
        std::optional<YamlNode> removed;
        {
            ExclusiveBorrow borrow(m->borrow);
            if (!borrow.ok()) return nullptr;
            const auto pos = m->inner.entries.index_of(text);
            if (pos >= 0) {
                removed = std::move(m->inner.entries.at(static_cast<std::size_t>(pos)).value.value);
                m->inner.entries.erase_at(static_cast<std::size_t>(pos));
            }
        }
        if (!removed) {
            if (a[1] && a[1] != Py_None) return Py_NewRef(a[1]);
            raise_key_error(a[0]);
            return nullptr;
        }
        if (PyDict_DelItem(self, a[0]) < 0) return nullptr;
        return node_to_py(*removed, nullptr).release();
    });
}

PyObject* mapping_popitem(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        MappingObject* m = as_mapping(self);
        std::string key_text;
        {
            ExclusiveBorrow borrow(m->borrow);
            if (!borrow.ok()) return nullptr;
            if (m->inner.entries.empty()) {
                PyErr_SetString(PyExc_KeyError, "dictionary is empty");
                return nullptr;
            }
            key_text = m->inner.entries.back().key;
            m->inner.entries.erase_at(m->inner.entries.size() - 1);
        }
        ref key = make_str(key_text);
        if (!key) return nullptr;
        ref value = ref::borrow(PyDict_GetItemWithError(self, key.get()));
        if (!value) {
            if (PyErr_Occurred()) return nullptr;
            value = ref::borrow(Py_None);
        } else if (PyDict_DelItem(self, key.get()) < 0) {
            return nullptr;
        }
        return PyTuple_Pack(2, key.get(), value.get());
    });
}

PyObject* mapping_clear_method(PyObject* self, PyObject*) {
    MappingObject* m = as_mapping(self);
    {
        ExclusiveBorrow borrow(m->borrow);
        if (!borrow.ok()) return nullptr;
        m->inner.entries.clear();
    }
    PyDict_Clear(self);
    Py_RETURN_NONE;
}

PyObject* mapping_setdefault(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static ArgParser parser("setdefault", {"key", "default"}, 2, 1);
        PyObject* a[2];
        if (!parser.parse(args, nargs, kwnames, a)) return nullptr;
        std::string_view text;
        if (!key_arg(a[0], text)) return nullptr;
        MappingObject* m = as_mapping(self);
        bool present = false;
        {
            SharedBorrow borrow(m->borrow);
            if (!borrow.ok()) return nullptr;
            present = m->inner.entries.contains(text);
        }
        if (!present) {
            YamlNode node;
            ref converted;
            if (!py_to_node_with_fallback(a[1] ? a[1] : Py_None, nullptr, node, converted))
                return nullptr;
            if (!assign_value(self, a[0], text, std::move(node), converted.get())) return nullptr;
            return converted.release();
        }
        PyObject* value = PyDict_GetItemWithError(self, a[0]);
        if (!value) {
            if (!PyErr_Occurred()) raise_key_error(a[0]);
            return nullptr;
        }
        return Py_NewRef(value);
    });
}

/// A new, independent YamlMapping (exact class) from deep copies.
PyObject* mapping_copy(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        MappingObject* m = as_mapping(self);
        YamlMapping inner;
        DocMeta meta;
        {
            SharedBorrow borrow(m->borrow);
            if (!borrow.ok()) return nullptr;
            inner = m->inner;
            meta = m->meta;
        }
        return mapping_to_py_obj(std::move(inner), std::move(meta), nullptr).release();
    });
}

PyObject* mapping_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    static ArgParser parser("__deepcopy__", {"memo"}, 1, 1);
    PyObject* a[1];
    if (!parser.parse(args, nargs, kwnames, a)) return nullptr;
    return mapping_copy(self, nullptr);
}

/// A copy of the value node under `key`, or KeyError.
bool copy_value_node(PyObject* self, PyObject* key, YamlNode& out) {
    std::string_view text;
    if (!key_arg(key, text)) return false;
    MappingObject* m = as_mapping(self);
    SharedBorrow borrow(m->borrow);
    if (!borrow.ok()) return false;
    const YamlEntry* e = m->inner.entries.find(text);
    if (!e) {
        raise_key_error(key);
        return false;
    }
    out = e->value;
    return true;
}

PyObject* mapping_node(PyObject* self, PyObject* key) {
    return guarded([&]() -> PyObject* {
        YamlNode node;
        if (!copy_value_node(self, key, node)) return nullptr;
        return node_to_doc(std::move(node), DocMeta{}, nullptr).release();
    });
}

PyObject* mapping_nodes(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        YamlMapping inner;
        {
            MappingObject* m = as_mapping(self);
            SharedBorrow borrow(m->borrow);
            if (!borrow.ok()) return nullptr;
            inner = m->inner;
        }
        ref list = ref::steal(PyList_New(0));
        if (!list) return nullptr;
        for (auto& slot : inner.entries) {
            ref key = make_str(slot.key);
            if (!key) return nullptr;
            ref node = node_to_doc(std::move(slot.value.value), DocMeta{}, nullptr);
            if (!node) return nullptr;
            ref pair = ref::steal(PyTuple_Pack(2, key.get(), node.get()));
            if (!pair || PyList_Append(list.get(), pair.get()) < 0) return nullptr;
        }
        return list.release();
    });
}

PyObject* mapping_to_python(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        MappingObject* m = as_mapping(self);
        YamlNode copy;
        {
            SharedBorrow borrow(m->borrow);
            if (!borrow.ok()) return nullptr;
            copy = YamlNode(m->inner);
        }
        return node_to_plain(copy).release();
    });
}

PyObject* mapping_format(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        bool styles, comments, blank;
        if (!parse_format_flags("format", args, nargs, kwnames, styles, comments, blank))
            return nullptr;
        if (!format_object(self, styles, comments, blank)) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* mapping_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        MappingObject* m = as_mapping(self);
        std::string text;
        {
            SharedBorrow borrow(m->borrow);
            if (!borrow.ok()) return nullptr;
            text = "YamlMapping({";
            bool first = true;
            for (const auto& slot : m->inner.entries) {
                if (!first) text += ", ";
                first = false;
                text += quoted(slot.key);
                text += ": ";
                append_text_form(text, slot.value.value);
            }
            text += "})";
        }
        return make_str(text).release();
    });
}

// ---- sort_keys ---------------------------------------------------------------------------

/// Sorts the entries of `mapping` (and, recursively, of mapping values)
/// by key string or by key(k); on any Python error every entry stays where
/// it was and the error is returned.
bool sort_mapping_node(YamlMapping& mapping, PyObject* key, bool reverse, bool recursive) {
    RecursionGuard guard(" while sorting keys");
    if (!guard) return false;
    if (recursive) {
        for (auto& slot : mapping.entries)
            if (YamlMapping* child = slot.value.value.mapping())
                if (!sort_mapping_node(*child, key, reverse, true)) return false;
    }
    const std::size_t n = mapping.entries.size();
    std::vector<std::size_t> order;
    if (!key) {
        order = stable_order(n, [&](std::size_t a, std::size_t b) {
            return mapping.entries.at(a).key < mapping.entries.at(b).key;
        });
    } else {
        std::vector<ref> results;
        results.reserve(n);
        for (const auto& slot : mapping.entries) {
            ref k = make_str(slot.key);
            if (!k) return false;
            ref r = ref::steal(PyObject_CallOneArg(key, k.get()));
            if (!r) return false;
            results.push_back(std::move(r));
        }
        ref error;
        order = stable_order(n, [&](std::size_t a, std::size_t b) {
            return py_compare(results[a].get(), results[b].get(), error) == Ordering::Less;
        });
        if (error) {
            PyErr_SetRaisedException(error.release());
            return false;
        }
    }
    if (reverse) std::reverse(order.begin(), order.end());
    auto slots = mapping.entries.take_all();
    std::vector<OrderedMap<YamlEntry>::Slot> sorted;
    sorted.reserve(n);
    for (std::size_t i : order) sorted.push_back(std::move(slots[i]));
    mapping.entries.assign(std::move(sorted));
    return true;
}

bool sort_keys_object(PyObject* self, PyObject* key, bool reverse, bool recursive) {
    MappingObject* m = as_mapping(self);
    std::vector<std::string> new_order;
    {
        // Exclusive access across the key function and the comparisons.
        ExclusiveBorrow borrow(m->borrow);
        if (!borrow.ok()) return false;
        YamlMapping work = m->inner;
        if (!sort_mapping_node(work, key, reverse, recursive)) return false;
        m->inner = std::move(work);
        for (const auto& slot : m->inner.entries) new_order.push_back(slot.key);
    }
    std::vector<std::pair<ref, ref>> items;
    items.reserve(new_order.size());
    for (const std::string& k : new_order) {
        ref pykey = make_str(k);
        if (!pykey) return false;
        PyObject* v = PyDict_GetItemWithError(self, pykey.get());
        if (!v) {
            if (PyErr_Occurred()) return false;
            continue;
        }
        items.emplace_back(std::move(pykey), ref::borrow(v));
    }
    PyDict_Clear(self);
    for (auto& [k, v] : items) {
        if (recursive && is_mapping_object(v.get()) &&
            !sort_keys_object(v.get(), key, reverse, true))
            return false;
        if (!set_parent(self, k.get(), v.get())) return false;
    }
    return true;
}

PyObject* mapping_sort_keys(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* key;
        bool reverse, recursive;
        if (!parse_sort_args("sort_keys", args, nargs, kwnames, key, reverse, recursive))
            return nullptr;
        if (!sort_keys_object(self, key, reverse, recursive)) return nullptr;
        Py_RETURN_NONE;
    });
}

// ---- per-key metadata ------------------------------------------------------------------------

/// How the per-key metadata methods find an entry: by the key's text.
struct MapSlots {
    using Slot = YamlEntry;
    struct Pos {
        std::string_view text;
    };
    static constexpr const char* kArg = "key";
    static constexpr bool kDualGetMissingIsNone = true;

    static bool check(PyObject* arg, Pos& pos) { return key_arg(arg, pos.text); }
    static YamlEntry* find(PyObject* self, PyObject* arg, Pos& pos, bool raise_missing) {
        MappingObject* m = as_mapping(self);
        return raise_missing ? entry_or_raise(m, arg, pos.text) : m->inner.entries.find(pos.text);
    }
    static YamlNode& node(YamlEntry& e) { return e.value; }
    static std::string where(const Pos& pos) { return "value at key " + quoted(pos.text); }
    static ref parent_value(PyObject* self, PyObject* arg, const Pos&) {
        return ref::borrow(PyDict_GetItemWithError(self, arg));
    }
};

PyMethodDef mapping_methods[] = {
    {"update", TESVORN_METHOD(mapping_update), METH_FASTCALL | METH_KEYWORDS,
     "update($self, other, /)\n--\n\nUpdate from a YamlMapping (entries with their metadata), a "
     "mapping, or "
     "an iterable of (key, value) pairs."},
    {"pop", TESVORN_METHOD(mapping_pop), METH_FASTCALL | METH_KEYWORDS,
     "pop($self, key, default=None)\n--\n\nRemove key and return its value (made from the tree)."},
    {"popitem", TESVORN_METHOD(mapping_popitem), METH_NOARGS,
     "popitem($self, /)\n--\n\nRemove and return the last (key, value) pair."},
    {"clear", TESVORN_METHOD(mapping_clear_method), METH_NOARGS,
     "clear($self, /)\n--\n\nRemove every entry; the mapping's own style, tag and anchor stay."},
    {"setdefault", TESVORN_METHOD(mapping_setdefault), METH_FASTCALL | METH_KEYWORDS,
     "setdefault($self, key, default=None)\n--\n\nInsert key with default if it is absent; return "
     "its value."},
    {"copy", TESVORN_METHOD(mapping_copy), METH_NOARGS,
     "copy($self, /)\n--\n\nAn independent deep copy (tree and document metadata)."},
    {"__copy__", TESVORN_METHOD(mapping_copy), METH_NOARGS,
     "__copy__($self, /)\n--\n\nSame as copy()."},
    {"__deepcopy__", TESVORN_METHOD(mapping_deepcopy), METH_FASTCALL | METH_KEYWORDS,
     "__deepcopy__($self, memo, /)\n--\n\nSame as copy()."},
    {"node", TESVORN_METHOD(mapping_node), METH_O,
     "node($self, key, /)\n--\n\nA new node object for a copy of the value node under key."},
    {"nodes", TESVORN_METHOD(mapping_nodes), METH_NOARGS,
     "nodes($self, /)\n--\n\nA list of (key, node object) pairs, one per entry."},
    {"to_python", TESVORN_METHOD(mapping_to_python), METH_NOARGS,
     "to_python($self, /)\n--\n\nA plain dict built from the tree."},
    {"format", TESVORN_METHOD(mapping_format), METH_FASTCALL | METH_KEYWORDS,
     "format($self, /, *, styles=True, comments=True, blank_lines=True)\n--\n\n"
     "Reset styles, comments and blank lines, recursively."},
    {"sort_keys", TESVORN_METHOD(mapping_sort_keys), METH_FASTCALL | METH_KEYWORDS,
     "sort_keys($self, /, key=None, reverse=False, recursive=False)\n--\n\n"
     "Sort the entries by key (stable), keeping their metadata."},
    {"comment_before", TESVORN_METHOD(slot_methods::comment_before<MapSlots>), METH_FASTCALL,
     "comment_before($self, key, *args)\n--\n\nGet, or with a second argument set, the comment "
     "above key."},
    {"comment_inline", TESVORN_METHOD(slot_methods::comment_inline<MapSlots>), METH_FASTCALL,
     "comment_inline($self, key, *args)\n--\n\nGet, or with a second argument set, the comment "
     "after key."},
    {"get_comment_before", TESVORN_METHOD(slot_methods::get_comment_before<MapSlots>), METH_O,
     "get_comment_before($self, key, /)\n--\n\nThe comment above key, or None."},
    {"get_comment_inline", TESVORN_METHOD(slot_methods::get_comment_inline<MapSlots>), METH_O,
     "get_comment_inline($self, key, /)\n--\n\nThe comment after key on its line, or None."},
    {"set_comment_before", TESVORN_METHOD(slot_methods::set_comment_before<MapSlots>),
     METH_FASTCALL | METH_KEYWORDS,
     "set_comment_before($self, key, comment)\n--\n\nSet (str) or clear (None) the comment above "
     "key."},
    {"set_comment_inline", TESVORN_METHOD(slot_methods::set_comment_inline<MapSlots>),
     METH_FASTCALL | METH_KEYWORDS,
     "set_comment_inline($self, key, comment)\n--\n\nSet (str) or clear (None) the comment after "
     "key."},
    {"blank_lines_before", TESVORN_METHOD(slot_methods::blank_lines_before<MapSlots>),
     METH_FASTCALL,
     "blank_lines_before($self, key, *args)\n--\n\nGet, or with a second argument set, the blank "
     "lines "
     "before key."},
    {"scalar_style", TESVORN_METHOD(slot_methods::scalar_style<MapSlots>),
     METH_FASTCALL | METH_KEYWORDS,
     "scalar_style($self, key, style)\n--\n\nSet the style of the scalar value under key."},
    {"container_style", TESVORN_METHOD(slot_methods::container_style<MapSlots>),
     METH_FASTCALL | METH_KEYWORDS,
     "container_style($self, key, style)\n--\n\nSet the style (\"block\" or \"flow\") of the "
     "collection under "
     "key."},
    {"set_alias", TESVORN_METHOD(slot_methods::set_alias<MapSlots>), METH_FASTCALL | METH_KEYWORDS,
     "set_alias($self, key, anchor_name)\n--\n\nWrite the value under key as an alias "
     "*anchor_name."},
    {"alias_name", TESVORN_METHOD(slot_methods::alias_name<MapSlots>), METH_O,
     "alias_name($self, key, /)\n--\n\nThe alias name of the value under key, or None."},
    {nullptr, nullptr, 0, nullptr},
};

#undef TESVORN_METHOD

PyType_Slot mapping_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "YamlMapping(mapping=None, *, style=\"block\", tag=None, schema=None)\n--\n\n"
                    "A YAML mapping node. Subclass of dict; the parent dict is always kept in\n"
                    "sync with `inner` so that standard dict operations work transparently.")},
    {Py_tp_new, reinterpret_cast<void*>(mapping_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(mapping_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(mapping_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(mapping_clear)},
    {Py_tp_init, reinterpret_cast<void*>(mapping_init)},
    {Py_tp_methods, mapping_methods},
    {Py_tp_getset, mapping_getset},
    {Py_tp_repr, reinterpret_cast<void*>(mapping_repr)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(mapping_ass_subscript)},
    {Py_nb_inplace_or, reinterpret_cast<void*>(mapping_inplace_or)},
    {0, nullptr},
};

PyType_Spec mapping_spec = {
    "tesvorn.YamlMapping",
    sizeof(MappingObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    mapping_slots,
};

}  // namespace

PyTypeObject* mapping_type() noexcept {
    return g_mapping_type;
}

bool init_mapping_type() noexcept {
    if (g_mapping_type) return true;
    ref bases = ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyDict_Type)));
    if (!bases) return false;
    g_mapping_type =
        reinterpret_cast<PyTypeObject*>(PyType_FromSpecWithBases(&mapping_spec, bases.get()));
    return g_mapping_type != nullptr;
}

ref new_mapping_object(YamlMapping inner, DocMeta meta) {
    return alloc_mapping(g_mapping_type, std::move(inner), std::move(meta));
}

}  // namespace tesvorn::py
