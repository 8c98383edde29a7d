// YamlMapping: a dict subclass whose dict part (the parent dict) holds the
// values, kept in step with its model mapping `inner`, which holds every
// entry's metadata and node. Every change goes to both together.
#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "py/blank_runs.hpp"
#include "py/convert_detail.hpp"
#include "py/new_content.hpp"
#include "py/node_class.hpp"
#include "py/positions.hpp"
#include "py/slot_methods.hpp"
#include "py/sorting.hpp"

namespace tesvorn::py {

namespace {

PyTypeObject* g_mapping_type = nullptr;

/// A `key` argument: a str (TypeError naming 'key' otherwise). `text` is
/// its UTF-8; `exact`, when asked for, the key as the parent dict holds it:
/// an exact str, whose hashing and comparison run no Python code, so that a
/// change of the parent dict cannot fail half-way.
bool key_arg(PyObject* key, std::string_view& text, ref* exact = nullptr) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "argument 'key': must be str, not %.200s",
                     Py_TYPE(key)->tp_name);
        return false;
    }
    if (!str_utf8(key, text)) return false;
    if (exact) *exact = PyUnicode_CheckExact(key) ? ref::borrow(key) : make_str(text);
    return !exact || *exact;
}

void raise_key_error(PyObject* key) {
    PyErr_SetObject(PyExc_KeyError, key);
}

#define TESVORN_METHOD(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

// ---- changes --------------------------------------------------------------------

/// One key to set: the parent dict gets `value`; the tree gets `entry`
/// whole (a fresh or copied entry) or, for item assignment, only its value
/// node (an existing entry keeps its metadata and position).
struct Change {
    ref key;  // exact str
    std::string text;
    YamlEntry entry;
    ref value;
    bool whole = false;
    bool text_assigned = false;  // a str: it takes the style of the string it replaces
};

/// `value` converted as an assigned value, as a change of `key`.
bool converted_change(ref key, std::string_view text, PyObject* value, bool whole, Change& out) {
    out.key = std::move(key);
    out.text.assign(text);
    out.whole = whole;
    out.text_assigned = PyUnicode_Check(value);
    return py_to_node_with_fallback(value, nullptr, out.entry.value, out.value);
}

/// Makes the changes, in order, under exclusive access: the parent dict
/// first (the step that can fail), then the tree. The values the parent
/// dict lets go of are released after the access ends: releasing one may
/// run code that reads this mapping.
bool apply(PyObject* self, std::vector<Change>& changes) {
    MappingObject* m = as_mapping(self);
    std::vector<ref> released;
    released.reserve(changes.size());
    ExclusiveBorrow borrow(m->borrow);
    if (!borrow.ok()) return false;
    for (Change& c : changes) {
        ref old = ref::borrow(PyDict_GetItemWithError(self, c.key.get()));
        if (!old && PyErr_Occurred()) return false;
        // A replaced value's blank lines stay where they stood; a new entry
        // goes before those that end the mapping.
        const std::ptrdiff_t at = m->inner.get().entries.index_of(c.text);
        const std::size_t n = m->inner.get().entries.size();
        ValueEdit replaced;
        SlotEdit added;
        if (at >= 0 ? !replaced.prepare(self, static_cast<std::size_t>(at))
                    : !added.prepare(self, n, n, 1))
            return false;
        if (PyDict_SetItem(self, c.key.get(), c.value.get()) < 0) return false;
        released.push_back(std::move(old));
        replaced.commit();
        added.commit();
        YamlEntry* e = c.whole ? nullptr : m->inner.mut().entries.find(c.text);
        if (e) {
            if (c.text_assigned) keep_text_style(e->value, c.value.get(), c.entry.value);
            e->value = std::move(c.entry.value);
            forget_value_position(*e);
        } else {
            // An entry assigned anew keeps where its key was read.
            if (const YamlEntry* prev = m->inner.get().entries.find(c.text))
                c.entry.key_at = prev->key_at;
            m->inner.mut().entries.insert(std::move(c.text), std::move(c.entry));
        }
        follow_block_style(c.value.get());
    }
    return true;
}

bool set_one(PyObject* self, ref key, std::string_view text, PyObject* value) {
    std::vector<Change> changes(1);
    return converted_change(std::move(key), text, value, false, changes[0]) && apply(self, changes);
}

/// Removes `exact` from both; the value the parent dict held goes to
/// `removed`. A key the parent dict lacks sets `missing` (nothing changes).
bool remove_key(PyObject* self, PyObject* exact, std::string_view text, ref& removed,
                bool& missing) {
    MappingObject* m = as_mapping(self);
    ExclusiveBorrow borrow(m->borrow);
    if (!borrow.ok()) return false;
    removed = ref::borrow(PyDict_GetItemWithError(self, exact));
    missing = !removed;
    if (!removed) return !PyErr_Occurred();
    const std::ptrdiff_t at = m->inner.get().entries.index_of(text);
    SlotEdit edit;
    if (at >= 0 &&
        !edit.prepare(self, static_cast<std::size_t>(at), static_cast<std::size_t>(at) + 1, 0))
        return false;
    if (PyDict_DelItem(self, exact) < 0) return false;
    if (at == 0) keep_document_header(self);
    edit.commit();
    m->inner.mut().entries.remove(text);
    return true;
}

// ---- item assignment and deletion -------------------------------------------------------

int mapping_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
    return guarded([&]() -> int {
        std::string_view text;
        ref exact;
        if (!key_arg(key, text, &exact)) return -1;
        if (value) return set_one(self, std::move(exact), text, value) ? 0 : -1;
        ref removed;
        bool missing = false;
        if (!remove_key(self, exact.get(), text, removed, missing)) return -1;
        if (missing) {
            raise_key_error(key);
            return -1;
        }
        return 0;
    });
}

// ---- update ---------------------------------------------------------------------------

/// A (key, value) pair of the keys() and iterable forms and of keyword
/// arguments: a fresh entry.
bool pair_change(PyObject* key, PyObject* value, std::vector<Change>& changes) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "YamlMapping keys must be str, not %.200s",
                     Py_TYPE(key)->tp_name);
        return false;
    }
    std::string_view text;
    ref exact;
    if (!key_arg(key, text, &exact)) return false;
    return converted_change(std::move(exact), text, value, true, changes.emplace_back());
}

/// The changes `update(other)` makes, all converted before anything changes.
bool update_changes(PyObject* other, std::vector<Change>& changes) {
    if (is_mapping_object(other)) {
        // Entries whole, with their metadata; the values are the objects
        // `other` holds, not copies (its entries made to match them first).
        if (!bring_in_step(other)) return false;
        YamlMapping copy;
        {
            MappingObject* o = as_mapping(other);
            SharedBorrow borrow(o->borrow);
            if (!borrow.ok()) return false;
            copy = o->inner.get();
        }
        for (auto& slot : copy.entries) {
            ref key = make_str(slot.key);
            if (!key) return false;
            ref value = ref::borrow(PyDict_GetItemWithError(other, key.get()));
            if (!value) {
                if (PyErr_Occurred()) return false;
                continue;  // not in `other`'s dict: not one of its values
            }
            forget_positions(slot.value);
            changes.push_back(Change{std::move(key), slot.key.str(), std::move(slot.value),
                                     std::move(value), true});
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
            if (!v || !pair_change(k.get(), v.get(), changes)) return false;
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
        if (!pair_change(PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1), changes))
            return false;
    }
    return !PyErr_Occurred();
}

PyObject* mapping_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (nargs > 1) {
            PyErr_Format(PyExc_TypeError, "update expected at most 1 argument, got %zd", nargs);
            return nullptr;
        }
        std::vector<Change> changes;
        if (nargs == 1 && !update_changes(args[0], changes)) return nullptr;
        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t i = 0; i < nkw; ++i)
            if (!pair_change(PyTuple_GET_ITEM(kwnames, i), args[nargs + i], changes))
                return nullptr;
        if (!apply(self, changes)) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* mapping_inplace_or(PyObject* self, PyObject* other) {
    return guarded([&]() -> PyObject* {
        if (!is_mapping_object(self)) Py_RETURN_NOTIMPLEMENTED;
        std::vector<Change> changes;
        if (!update_changes(other, changes) || !apply(self, changes)) return nullptr;
        return Py_NewRef(self);
    });
}

int mapping_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> int {
        node_class::CtorArgs a;
        if (!node_class::parse_ctor_args<MappingObject>(args, kwargs, a)) return -1;
        if (a.first == Py_None) return 0;
        std::vector<Change> changes;
        if (!a.schema) return update_changes(a.first, changes) && apply(self, changes) ? 0 : -1;
        // With a schema: the schema's dumpers convert the whole mapping and
        // its loaders make the values.
        YamlNode node;
        if (!py_to_node(a.first, a.schema, node)) return -1;
        YamlMapping* converted = node.mapping();
        if (!converted) {
            PyErr_SetString(PyExc_TypeError, "YamlMapping requires a dict or mapping-like object");
            return -1;
        }
        std::vector<std::pair<ref, ref>> items;
        for (const auto& slot : converted->entries) {
            ref key = make_str(slot.key);
            if (!key) return -1;
            ref value = node_to_py(slot.value.value, a.schema);
            if (!value) return -1;
            items.emplace_back(std::move(key), std::move(value));
        }
        MappingObject* m = as_mapping(self);
        ref previous = ref::steal(PyDict_Values(self));  // released after the access
        if (!previous) return -1;
        ExclusiveBorrow borrow(m->borrow);
        if (!borrow.ok()) return -1;
        PyDict_Clear(self);
        for (auto& [key, value] : items)
            if (PyDict_SetItem(self, key.get(), value.get()) < 0) return -1;
        converted->tag = std::move(m->inner.get().tag);
        converted->style = m->inner.get().style;
        m->inner = Cow<YamlMapping>(std::move(*converted));
        return 0;
    });
}

// ---- dict methods ------------------------------------------------------------------------

PyObject* mapping_pop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const ArgParser parser("pop", {"key", "default"}, 2, 1);
        PyObject* a[2];
        if (!parser.parse(args, nargs, kwnames, a)) return nullptr;
        std::string_view text;
        ref exact;
        if (!key_arg(a[0], text, &exact)) return nullptr;
        ref removed;
        bool missing = false;
        if (!remove_key(self, exact.get(), text, removed, missing)) return nullptr;
        if (!missing) return removed.release();
        if (a[1]) return Py_NewRef(a[1]);
        raise_key_error(a[0]);
        return nullptr;
    });
}

PyObject* mapping_popitem(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        MappingObject* m = as_mapping(self);
        ref key, value;
        {
            ExclusiveBorrow borrow(m->borrow);
            if (!borrow.ok()) return nullptr;
            if (m->inner.get().entries.empty()) {
                PyErr_SetString(PyExc_KeyError, "dictionary is empty");
                return nullptr;
            }
            const std::size_t n = m->inner.get().entries.size();
            key = make_str(m->inner.get().entries.back().key);
            if (!key) return nullptr;
            value = ref::borrow(PyDict_GetItemWithError(self, key.get()));
            if (!value && PyErr_Occurred()) return nullptr;
            SlotEdit edit;
            if (!edit.prepare(self, n - 1, n, 0)) return nullptr;
            if (value) {
                if (PyDict_DelItem(self, key.get()) < 0) return nullptr;
            } else {
                value = ref::borrow(Py_None);
            }
            if (n == 1) keep_document_header(self);
            edit.commit();
            m->inner.mut().entries.erase_at(n - 1);
        }
        return PyTuple_Pack(2, key.get(), value.get());
    });
}

PyObject* mapping_clear_method(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        MappingObject* m = as_mapping(self);
        ref values = ref::steal(PyDict_Values(self));  // released after the access
        if (!values) return nullptr;
        ExclusiveBorrow borrow(m->borrow);
        if (!borrow.ok()) return nullptr;
        // The blank lines after the last entry stay after the mapping.
        SlotEdit edit;
        if (!edit.prepare(self, 0, m->inner.get().entries.size(), 0)) return nullptr;
        PyDict_Clear(self);
        keep_document_header(self);
        edit.commit();
        m->inner.mut().entries.clear();
        Py_RETURN_NONE;
    });
}

PyObject* mapping_setdefault(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const ArgParser parser("setdefault", {"key", "default"}, 2, 1);
        PyObject* a[2];
        if (!parser.parse(args, nargs, kwnames, a)) return nullptr;
        std::string_view text;
        ref exact;
        if (!key_arg(a[0], text, &exact)) return nullptr;
        if (PyObject* present = PyDict_GetItemWithError(self, exact.get())) {
            return Py_NewRef(present);
        }
        if (PyErr_Occurred()) return nullptr;
        std::vector<Change> changes(1);
        if (!converted_change(std::move(exact), text, a[1] ? a[1] : Py_None, false, changes[0]))
            return nullptr;
        ref value = changes[0].value.dup();
        if (!apply(self, changes)) return nullptr;
        return value.release();
    });
}

// ---- nodes ------------------------------------------------------------------------------

/// The node object for the value under `key` now: a copy of its tree with
/// its current values.
ref node_of(PyObject* self, std::string_view key, const YamlNode& node) {
    ref value;
    if (detail::Extractor::needs_value(node)) {
        ref pykey = make_str(key);
        if (!pykey) return ref();
        value = ref::borrow(PyDict_GetItemWithError(self, pykey.get()));
        if (!value && PyErr_Occurred()) return ref();
    }
    YamlNode current;
    if (!current_node(node, value.get(), current)) return ref();
    return node_to_doc(std::move(current), DocMeta{}, nullptr);
}

PyObject* mapping_node(PyObject* self, PyObject* key) {
    return guarded([&]() -> PyObject* {
        if (!bring_in_step(self)) return nullptr;
        std::string_view text;
        if (!key_arg(key, text)) return nullptr;
        YamlNode node;
        {
            MappingObject* m = as_mapping(self);
            SharedBorrow borrow(m->borrow);
            if (!borrow.ok()) return nullptr;
            const YamlEntry* e = m->inner.get().entries.find(text);
            if (!e) {
                raise_key_error(key);
                return nullptr;
            }
            node = e->value;
        }
        return node_of(self, std::string(text), node).release();
    });
}

PyObject* mapping_nodes(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (!bring_in_step(self)) return nullptr;
        YamlMapping inner;
        if (!detail::Extractor::snapshot(self, inner)) return nullptr;
        ref list = ref::steal(PyList_New(0));
        if (!list) return nullptr;
        for (auto& slot : inner.entries) {
            ref key = make_str(slot.key);
            if (!key) return nullptr;
            ref node = node_of(self, slot.key, slot.value.value);
            if (!node) return nullptr;
            ref pair = ref::steal(PyTuple_Pack(2, key.get(), node.get()));
            if (!pair || PyList_Append(list.get(), pair.get()) < 0) return nullptr;
        }
        return list.release();
    });
}

PyObject* mapping_sort_keys(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!bring_in_step(self)) return nullptr;
        PyObject* key;
        bool reverse, recursive;
        if (!parse_sort_args("sort_keys", args, nargs, kwnames, key, reverse, recursive))
            return nullptr;
        if (!sort_keys_object(self, key, reverse, recursive)) return nullptr;
        Py_RETURN_NONE;
    });
}

// ---- placing entries --------------------------------------------------------------------

/// A key argument named otherwise than 'key'.
bool named_key_arg(PyObject* obj, const char* name, std::string_view& text, ref* exact = nullptr) {
    return arg_str(obj, name) && key_arg(obj, text, exact);
}

/// An `index` argument: any object with an integer value; one beyond the
/// machine's range counts as the end (or the start).
bool index_arg(PyObject* obj, Py_ssize_t& out) {
    if (!PyIndex_Check(obj)) {
        PyErr_Format(PyExc_TypeError,
                     "argument 'index': '%.200s' object cannot be interpreted as an integer",
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    out = PyNumber_AsSsize_t(obj, nullptr);
    return !(out == -1 && PyErr_Occurred());
}

/// Where list.insert(index, x) puts x in a list of `n`.
std::size_t list_position(Py_ssize_t index, std::size_t n) noexcept {
    const auto len = static_cast<Py_ssize_t>(n);
    return static_cast<std::size_t>(index < 0 ? std::max<Py_ssize_t>(index + len, 0)
                                              : std::min(index, len));
}

/// The parent dict's items as they are to stand: first the tree's entries
/// in its order (the value null where the dict holds none), then the keys
/// only the dict holds, in its order.
struct DictOrder {
    std::vector<std::pair<ref, ref>> items;
    ref held;  // the dict's items as they were, released after the access
};

/// Reads the order of `self`, under exclusive access.
bool read_order(PyObject* self, DictOrder& out) {
    const YamlMapping& inner = as_mapping(self)->inner.get();
    out.held = ref::steal(PyDict_Items(self));
    if (!out.held) return false;
    for (const auto& slot : inner.entries) {
        ref key = make_str(slot.key);
        if (!key) return false;
        ref value = ref::borrow(PyDict_GetItemWithError(self, key.get()));
        if (!value && PyErr_Occurred()) return false;
        out.items.emplace_back(std::move(key), std::move(value));
    }
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(self, &pos, &key, &value)) {
        std::string_view text;
        if (PyUnicode_Check(key)) {
            if (str_utf8(key, text) && inner.entries.contains(text)) continue;
            PyErr_Clear();  // no UTF-8 (a lone surrogate): not a key of the tree
        }
        out.items.emplace_back(ref::borrow(key), ref::borrow(value));
    }
    return true;
}

/// A new dict of `order`'s items; a key met twice keeps its first place
/// and value (a key the tree now holds that only the dict held before).
ref dict_of(const DictOrder& order) {
    ref d = ref::steal(PyDict_New());
    if (!d) return d;
    for (const auto& [key, value] : order.items) {
        if (!value) continue;
        const int has = PyDict_Contains(d.get(), key.get());
        if (has < 0 || (has == 0 && PyDict_SetItem(d.get(), key.get(), value.get()) < 0))
            return ref();
    }
    return d;
}

/// Gives the parent dict the contents of `d`, in its order (the tree has
/// changed already: only memory can run out here).
bool take_dict(PyObject* self, PyObject* d) {
    PyDict_Clear(self);
    return PyDict_Update(self, d) == 0;
}

/// Moves the entry at `from` to position `to` in both, under exclusive
/// access.
bool move_entry(PyObject* self, std::size_t from, std::size_t to, DictOrder& order) {
    if (from == to) return true;
    if (from == 0 || to == 0) keep_document_header(self);
    // The blank lines that end the mapping stay at its end.
    const std::size_t n = as_mapping(self)->inner.get().entries.size();
    SlotEdit last;
    if ((from + 1 == n || to + 1 == n) && !last.prepare(self, n, n, 1)) return false;
    if (!read_order(self, order)) return false;
    auto& items = order.items;
    std::pair<ref, ref> moved = std::move(items[from]);
    items.erase(items.begin() + static_cast<std::ptrdiff_t>(from));
    items.insert(items.begin() + static_cast<std::ptrdiff_t>(to), std::move(moved));
    ref d = dict_of(order);
    if (!d) return false;
    last.commit();
    as_mapping(self)->inner.mut().entries.move(from, to);
    return take_dict(self, d.get());
}

PyObject* mapping_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!bring_in_step(self)) return nullptr;
        static const ArgParser parser("insert", {"index", "key", "value", "comment"}, 3, 3);
        PyObject* a[4];
        if (!parser.parse(args, nargs, kwnames, a)) return nullptr;
        Py_ssize_t index = 0;
        std::string_view text;
        ref exact;
        std::optional<std::string> comment;
        if (!index_arg(a[0], index) || !key_arg(a[1], text, &exact)) return nullptr;
        if (a[3] && !parse_comment(a[3], comment)) return nullptr;
        Change c;
        if (!converted_change(std::move(exact), text, a[2], false, c)) return nullptr;
        MappingObject* m = as_mapping(self);
        DictOrder order;
        ExclusiveBorrow borrow(m->borrow);
        if (!borrow.ok() || !read_order(self, order)) return nullptr;
        if (comment && slot_methods::flow_collection(self)) {
            slot_methods::raise_flow_comment();
            return nullptr;
        }
        auto& entries = m->inner.mut().entries;
        const std::ptrdiff_t at = entries.index_of(c.text);
        const std::size_t n = entries.size();
        auto& items = order.items;
        if (at >= 0) items.erase(items.begin() + at);
        const std::size_t pos = list_position(index, n - (at >= 0 ? 1 : 0));
        if (pos == 0 || at == 0) keep_document_header(self);
        // As assignment and addition do, blank lines stay where they stood,
        // and those that end the mapping at its end.
        ValueEdit replaced;
        SlotEdit last;
        if (at >= 0 ? !replaced.prepare(self, static_cast<std::size_t>(at)) ||
                          (pos + 1 == n && static_cast<std::size_t>(at) + 1 != n &&
                           !last.prepare(self, n, n, 1))
                    : !last.prepare(self, pos, pos, 1))
            return nullptr;
        items.emplace(items.begin() + static_cast<std::ptrdiff_t>(pos), c.key.dup(), c.value.dup());
        ref d = dict_of(order);
        if (!d) return nullptr;
        replaced.commit();
        last.commit();
        if (at >= 0) {
            // As assignment: the entry keeps its metadata.
            YamlEntry& e = entries.at(static_cast<std::size_t>(at)).value;
            e.value = std::move(c.entry.value);
            if (a[3]) e.comments.set(&Comments::trailing, std::move(comment));
            entries.move(static_cast<std::size_t>(at), pos);
        } else {
            c.entry.comments.set(&Comments::trailing, std::move(comment));
            entries.insert_at(pos, std::move(c.text), std::move(c.entry));
        }
        if (!take_dict(self, d.get())) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* mapping_rename_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const ArgParser parser("rename_key", {"old", "new"}, 2, 2);
        PyObject* a[2];
        if (!parser.parse(args, nargs, kwnames, a)) return nullptr;
        std::string_view old_text, new_text;
        ref new_key;
        if (!named_key_arg(a[0], "old", old_text) ||
            !named_key_arg(a[1], "new", new_text, &new_key))
            return nullptr;
        MappingObject* m = as_mapping(self);
        DictOrder order;
        ExclusiveBorrow borrow(m->borrow);
        if (!borrow.ok()) return nullptr;
        auto& entries = m->inner.mut().entries;
        const std::ptrdiff_t at = entries.index_of(old_text);
        if (at < 0) {
            raise_key_error(a[0]);
            return nullptr;
        }
        if (new_text == old_text) Py_RETURN_NONE;
        const int taken = entries.contains(new_text) ? 1 : PyDict_Contains(self, new_key.get());
        if (taken < 0) return nullptr;
        if (taken > 0) {
            const std::string message = "cannot rename " + quoted(old_text) + " to " +
                                        quoted(new_text) + ": " + quoted(new_text) +
                                        " is a key already";
            ref text = make_str(message);
            if (text) PyErr_SetObject(PyExc_KeyError, text.get());
            return nullptr;
        }
        if (!read_order(self, order)) return nullptr;
        order.items[static_cast<std::size_t>(at)].first = std::move(new_key);
        ref d = dict_of(order);
        if (!d) return nullptr;
        // The key is a plain string now: neither the complex key nor the
        // alias it was read as.
        YamlEntry& e = entries.at(static_cast<std::size_t>(at)).value;
        if (e.key_props.has()) {
            e.key_props.mut().node.reset();
            e.key_props.mut().alias.reset();
        }
        e.layout.clear_key_checked();  // checked for the old text
        entries.rename_at(static_cast<std::size_t>(at), new_text);
        if (!take_dict(self, d.get())) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* mapping_move_to_end(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!bring_in_step(self)) return nullptr;
        static const ArgParser parser("move_to_end", {"key", "last"}, 2, 1);
        PyObject* a[2];
        if (!parser.parse(args, nargs, kwnames, a)) return nullptr;
        std::string_view text;
        bool last = true;
        if (!key_arg(a[0], text) || (a[1] && !arg_bool(a[1], "last", last))) return nullptr;
        MappingObject* m = as_mapping(self);
        DictOrder order;
        ExclusiveBorrow borrow(m->borrow);
        if (!borrow.ok()) return nullptr;
        const std::ptrdiff_t at = m->inner.get().entries.index_of(text);
        if (at < 0) {
            raise_key_error(a[0]);
            return nullptr;
        }
        const std::size_t to = last ? m->inner.get().entries.size() - 1 : 0;
        if (!move_entry(self, static_cast<std::size_t>(at), to, order)) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* mapping_move(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!bring_in_step(self)) return nullptr;
        static const ArgParser parser("move", {"key", "index"}, 2, 2);
        PyObject* a[2];
        if (!parser.parse(args, nargs, kwnames, a)) return nullptr;
        std::string_view text;
        Py_ssize_t index = 0;
        if (!key_arg(a[0], text) || !index_arg(a[1], index)) return nullptr;
        MappingObject* m = as_mapping(self);
        DictOrder order;
        ExclusiveBorrow borrow(m->borrow);
        if (!borrow.ok()) return nullptr;
        const std::ptrdiff_t at = m->inner.get().entries.index_of(text);
        if (at < 0) {
            raise_key_error(a[0]);
            return nullptr;
        }
        const std::size_t to = list_position(index, m->inner.get().entries.size() - 1);
        if (!move_entry(self, static_cast<std::size_t>(at), to, order)) return nullptr;
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
    static YamlEntry* find(PyObject* self, PyObject* arg, Pos& pos, bool raise_missing,
                           bool write) {
        // A reader must not unshare the record: another reader (a dump) may
        // be copying it.
        auto& inner = as_mapping(self)->inner;
        YamlEntry* e = write ? inner.mut().entries.find(pos.text)
                             : const_cast<YamlEntry*>(inner.get().entries.find(pos.text));
        if (!e && raise_missing) raise_key_error(arg);
        return e;
    }
    static YamlNode& node(YamlEntry& e) { return e.value; }
    static std::string where(const Pos& pos) { return "value at key " + quoted(pos.text); }
    static ref parent_value(PyObject* self, PyObject* arg, const Pos&) {
        return ref::borrow(PyDict_GetItemWithError(self, arg));
    }
};

PyObject* mapping_key_position(PyObject* self, PyObject* key) {
    return slot_methods::position<MapSlots>(self, key, key_offset);
}

PyObject* mapping_value_position(PyObject* self, PyObject* key) {
    return slot_methods::position<MapSlots>(self, key, value_offset);
}

PyMethodDef mapping_methods[] = {
    {"update", TESVORN_METHOD(mapping_update), METH_FASTCALL | METH_KEYWORDS,
     "update($self, other=(), /, **kwargs)\n--\n\nUpdate from a YamlMapping (entries with their "
     "metadata, values shared), a mapping, an iterable of (key, value) pairs, and keyword "
     "arguments."},
    {"pop", TESVORN_METHOD(mapping_pop), METH_FASTCALL | METH_KEYWORDS,
     "pop($self, key, /, *default)\n--\n\nRemove key and return its value; default "
     "when it is missing, if given."},
    {"popitem", TESVORN_METHOD(mapping_popitem), METH_NOARGS,
     "popitem($self, /)\n--\n\nRemove and return the last (key, value) pair."},
    {"clear", TESVORN_METHOD(mapping_clear_method), METH_NOARGS,
     "clear($self, /)\n--\n\nRemove every entry; the mapping's own style, tag and anchor stay."},
    {"setdefault", TESVORN_METHOD(mapping_setdefault), METH_FASTCALL | METH_KEYWORDS,
     "setdefault($self, key, default=None)\n--\n\nInsert key with default if it is absent; return "
     "its value."},
    {"copy", TESVORN_METHOD(node_class::copy), METH_NOARGS,
     "copy($self, /)\n--\n\nA copy with its own tree and document metadata, and copies of the "
     "node objects it holds."},
    {"__copy__", TESVORN_METHOD(node_class::copy), METH_NOARGS,
     "__copy__($self, /)\n--\n\nSame as copy()."},
    {"__deepcopy__", TESVORN_METHOD(node_class::deepcopy), METH_FASTCALL | METH_KEYWORDS,
     "__deepcopy__($self, memo, /)\n--\n\nAs copy(), with every other value deep-copied too."},
    {"node", TESVORN_METHOD(mapping_node), METH_O,
     "node($self, key, /)\n--\n\nA new node object for the value under key, as it is now."},
    {"nodes", TESVORN_METHOD(mapping_nodes), METH_NOARGS,
     "nodes($self, /)\n--\n\nA list of (key, node object) pairs, one per entry."},
    {"to_python", TESVORN_METHOD(node_class::to_python), METH_NOARGS,
     "to_python($self, /)\n--\n\nA plain dict: the values, with node objects as plain dicts and "
     "lists."},
    {"format", TESVORN_METHOD(node_class::format), METH_FASTCALL | METH_KEYWORDS,
     "format($self, /, *, styles=True, comments=True, blank_lines=True)\n--\n\n"
     "Reset styles, comments and blank lines, recursively."},
    {"sort_keys", TESVORN_METHOD(mapping_sort_keys), METH_FASTCALL | METH_KEYWORDS,
     "sort_keys($self, /, key=None, reverse=False, recursive=False)\n--\n\n"
     "Sort the entries by key (stable), keeping their metadata."},
    {"insert", TESVORN_METHOD(mapping_insert), METH_FASTCALL | METH_KEYWORDS,
     "insert($self, index, key, value, *, comment=None)\n--\n\nInsert key with value before "
     "position index, counted as list.insert counts it, with an inline comment if given. A key "
     "already present moves there, its value replaced as by assignment."},
    {"rename_key", TESVORN_METHOD(mapping_rename_key), METH_FASTCALL | METH_KEYWORDS,
     "rename_key($self, old, new)\n--\n\nRename key old to new where it stands; its value, "
     "comments and layout stay. KeyError when old is missing or new is another key already."},
    {"move_to_end", TESVORN_METHOD(mapping_move_to_end), METH_FASTCALL | METH_KEYWORDS,
     "move_to_end($self, key, last=True)\n--\n\nMove key, with its comments and blank lines, to "
     "the end, or to the start when last is False."},
    {"move", TESVORN_METHOD(mapping_move), METH_FASTCALL | METH_KEYWORDS,
     "move($self, key, index)\n--\n\nMove key, with its comments and blank lines, before "
     "position index among the other entries, counted as list.insert counts it."},
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
    {"key_position", TESVORN_METHOD(mapping_key_position), METH_O,
     "key_position($self, key, /)\n--\n\nWhere key stands in the text it was loaded from, as "
     "(line, column), both from 1; None when the entry was not loaded."},
    {"value_position", TESVORN_METHOD(mapping_value_position), METH_O,
     "value_position($self, key, /)\n--\n\nWhere the value under key starts in the text it was "
     "loaded from, as (line, column), both from 1; None when it was not loaded or has been "
     "replaced."},
    {nullptr, nullptr, 0, nullptr},
};

#undef TESVORN_METHOD

PyType_Slot mapping_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "YamlMapping(mapping=None, *, style=\"block\", tag=None, schema=None)\n--\n\n"
                    "A YAML mapping node. Subclass of dict; the parent dict is always kept in\n"
                    "sync with `inner` so that standard dict operations work transparently.")},
    {Py_tp_new, reinterpret_cast<void*>(node_class::tp_new<MappingObject>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(node_class::tp_dealloc<MappingObject>)},
    {Py_tp_traverse, reinterpret_cast<void*>(node_class::tp_traverse<MappingObject>)},
    {Py_tp_clear, reinterpret_cast<void*>(node_class::tp_clear<MappingObject>)},
    {Py_tp_init, reinterpret_cast<void*>(mapping_init)},
    {Py_tp_methods, mapping_methods},
    {Py_tp_getset, mapping_getset},
    {Py_tp_repr, reinterpret_cast<void*>(node_class::repr)},
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

namespace {

// The dict watcher of this process's interpreter, or -1.
int g_dict_watcher = -1;

/// Marks a mapping object whose dict changes while the class does not
/// hold it: a change made through dict's own methods.
int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) noexcept {
    if (event == PyDict_EVENT_DEALLOCATED || !is_mapping_object(dict)) return 0;
    MappingObject* m = as_mapping(dict);
    if (!m->borrow.held_exclusively())
        m->watch.store(MappingObject::kChanged, std::memory_order_relaxed);
    return 0;
}

}  // namespace

void watch_dict(MappingObject* m) noexcept {
    // Without a watcher (another interpreter) every check compares values.
    if (g_dict_watcher < 0 || PyDict_Watch(g_dict_watcher, reinterpret_cast<PyObject*>(m)) < 0) {
        PyErr_Clear();
        m->watch.store(MappingObject::kUnwatched, std::memory_order_relaxed);
        return;
    }
    m->watch.store(MappingObject::kClean, std::memory_order_release);
}

bool init_mapping_type() noexcept {
    if (g_dict_watcher < 0) {
        g_dict_watcher = PyDict_AddWatcher(on_dict_event);
        if (g_dict_watcher < 0) PyErr_Clear();
    }
    return node_class::init_type(g_mapping_type, mapping_spec, &PyDict_Type);
}

ref new_mapping_object(Cow<YamlMapping> inner, DocMeta meta) {
    return node_class::alloc<MappingObject>(g_mapping_type, std::move(inner), std::move(meta));
}

}  // namespace tesvorn::py
