// YamlSequence: a list subclass whose list part (the parent list) holds the
// values, kept in step with its model sequence `inner`, which holds every
// item's metadata and node. Every change goes to both together.
#include <algorithm>
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

PyTypeObject* g_sequence_type = nullptr;

#define TESVORN_METHOD(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

Py_ssize_t parent_len(PyObject* self) {
    return PyList_GET_SIZE(self);
}

/// An `idx` argument: any object with an integer value.
bool idx_arg(PyObject* obj, Py_ssize_t& out) {
    if (!PyIndex_Check(obj)) {
        PyErr_Format(PyExc_TypeError,
                     "argument 'idx': '%.200s' object cannot be interpreted as an integer",
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    out = PyNumber_AsSsize_t(obj, PyExc_IndexError);
    return !(out == -1 && PyErr_Occurred());
}

/// Resolves an index against a length; IndexError
/// "index {} is out of range for sequence of length {}" otherwise.
bool resolve_index(Py_ssize_t idx, std::size_t len, std::size_t& out) {
    const auto n = static_cast<Py_ssize_t>(len);
    if (idx < -n || idx >= n) {
        PyErr_Format(PyExc_IndexError, "index %zd is out of range for sequence of length %zd", idx,
                     n);
        return false;
    }
    out = static_cast<std::size_t>(idx < 0 ? idx + n : idx);
    return true;
}

/// Converts every element of an iterable as an assigned value, before
/// anything changes.
bool convert_all(PyObject* iterable, std::vector<YamlNode>& nodes, ref& values) {
    ref it = ref::steal(PyObject_GetIter(iterable));
    if (!it) return false;
    values = ref::steal(PyList_New(0));
    if (!values) return false;
    while (ref item = ref::steal(PyIter_Next(it.get()))) {
        YamlNode node;
        ref value;
        if (!py_to_node_with_fallback(item.get(), nullptr, node, value)) return false;
        nodes.push_back(std::move(node));
        if (PyList_Append(values.get(), value.get()) < 0) return false;
    }
    return !PyErr_Occurred();
}

/// New items for `nodes`: no metadata.
std::vector<YamlItem> bare_items(std::vector<YamlNode>&& nodes) {
    std::vector<YamlItem> items(nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i) items[i].node = std::move(nodes[i]);
    return items;
}

/// The items and elements `extend(other)` adds, made before anything
/// changes: a YamlSequence's items with their metadata and the same element
/// objects; any other iterable's elements converted.
bool items_to_add(PyObject* other, std::vector<YamlItem>& items, ref& values) {
    if (!is_sequence_object(other)) {
        std::vector<YamlNode> nodes;
        if (!convert_all(other, nodes, values)) return false;
        items = bare_items(std::move(nodes));
        return true;
    }
    // (Its items made to match the elements the list holds first.)
    if (!bring_in_step(other)) return false;
    YamlSequence copy;
    if (!detail::Extractor::snapshot(other, copy)) return false;
    values = ref::steal(PySequence_List(other));
    if (!values) return false;
    const std::size_t n =
        std::min(copy.items.size(), static_cast<std::size_t>(PyList_GET_SIZE(values.get())));
    if (PyList_SetSlice(values.get(), static_cast<Py_ssize_t>(n), PyList_GET_SIZE(values.get()),
                        nullptr) < 0)
        return false;
    copy.items.resize(n);
    for (YamlItem& item : copy.items) forget_positions(item);
    items = std::move(copy.items);
    return true;
}

/// Replaces the tree's items `start`..`stop` (as far as it has them) by
/// `fresh`.
void replace_items(std::vector<YamlItem>& all, std::size_t start, std::size_t stop,
                   std::vector<YamlItem>&& fresh) {
    const std::size_t to = std::min(stop, all.size());
    const std::size_t from = std::min(start, to);
    all.erase(all.begin() + static_cast<std::ptrdiff_t>(from),
              all.begin() + static_cast<std::ptrdiff_t>(to));
    all.insert(all.begin() + static_cast<std::ptrdiff_t>(from),
               std::make_move_iterator(fresh.begin()), std::make_move_iterator(fresh.end()));
}

/// Replaces the parent list's elements `start`..`stop` by `values` (null:
/// none) and the same items of the tree by `items`, under exclusive access.
/// The elements let go of are released after the access ends: releasing
/// one may run code that reads this sequence.
bool splice(PyObject* self, std::size_t start, std::size_t stop, PyObject* values,
            std::vector<YamlItem>&& items) {
    SequenceObject* s = as_sequence(self);
    const auto b = static_cast<Py_ssize_t>(start), e = static_cast<Py_ssize_t>(stop);
    ref released = ref::steal(PyList_GetSlice(self, b, e));
    if (!released) return false;
    ExclusiveBorrow borrow(s->borrow);
    if (!borrow.ok()) return false;
    SlotEdit edit;
    if (!edit.prepare(self, start, stop, items.size())) return false;
    if (PyList_SetSlice(self, b, e, values) < 0) return false;
    if (start == 0) keep_document_header(self);
    edit.commit();
    replace_items(s->inner.mut().items, start, stop, std::move(items));
    if (values != nullptr)
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values); ++i)
            follow_block_style(PyList_GET_ITEM(values, i));
    return true;
}

// ---- item assignment and deletion ------------------------------------------------------

int assign_index(PyObject* self, Py_ssize_t idx, PyObject* value) {
    SequenceObject* s = as_sequence(self);
    YamlNode node;
    ref converted;
    if (value && !py_to_node_with_fallback(value, nullptr, node, converted)) return -1;
    ref released;
    ExclusiveBorrow borrow(s->borrow);
    if (!borrow.ok()) return -1;
    std::size_t pos = 0;
    if (!resolve_index(idx, static_cast<std::size_t>(parent_len(self)), pos)) return -1;
    const auto p = static_cast<Py_ssize_t>(pos);
    auto& items = s->inner.mut().items;
    if (value) {
        ValueEdit edit;
        if (!edit.prepare(self, pos)) return -1;
        // The list's reference to the old element goes to `released`.
        released = ref::steal(PyList_GET_ITEM(self, p));
        PyList_SET_ITEM(self, p, converted.release());
        edit.commit();
        if (pos < items.size()) {
            keep_text_style(items[pos].node, value, node);
            items[pos].node = std::move(node);
            forget_value_position(items[pos]);
        }
        follow_block_style(value);
        return 0;
    }
    SlotEdit edit;
    if (!edit.prepare(self, pos, pos + 1, 0)) return -1;
    released = ref::borrow(PyList_GET_ITEM(self, p));
    if (PyList_SetSlice(self, p, p + 1, nullptr) < 0) return -1;
    if (pos == 0) keep_document_header(self);
    edit.commit();
    if (pos < items.size()) items.erase(items.begin() + static_cast<std::ptrdiff_t>(pos));
    return 0;
}

/// Slice assignment and deletion. A step-1 slice is replaced by new items
/// (a stop before the start is an empty range at the start, as for lists);
/// an extended slice keeps its positions: assignment (of exactly as many
/// values) replaces the values and keeps the items' metadata.
int assign_slice(PyObject* self, PyObject* slice, PyObject* value) {
    Py_ssize_t b, e, step;
    if (PySlice_Unpack(slice, &b, &e, &step) < 0) return -1;
    std::vector<YamlNode> nodes;
    ref values;
    if (value && !convert_all(value, nodes, values)) return -1;
    SequenceObject* s = as_sequence(self);
    ref released = ref::steal(PySequence_List(self));
    if (!released) return -1;
    ExclusiveBorrow borrow(s->borrow);
    if (!borrow.ok()) return -1;
    const Py_ssize_t count = PySlice_AdjustIndices(parent_len(self), &b, &e, step);
    auto& items = s->inner.mut().items;
    if (step == 1) {
        const Py_ssize_t stop = std::max(b, e);
        SlotEdit edit;
        if (!edit.prepare(self, static_cast<std::size_t>(b), static_cast<std::size_t>(stop),
                          nodes.size()))
            return -1;
        if (PyList_SetSlice(self, b, stop, values.get()) < 0) return -1;
        if (b == 0) keep_document_header(self);
        edit.commit();
        replace_items(items, static_cast<std::size_t>(b), static_cast<std::size_t>(stop),
                      bare_items(std::move(nodes)));
        return 0;
    }
    if (value && static_cast<Py_ssize_t>(nodes.size()) != count) {
        PyErr_Format(PyExc_ValueError,
                     "attempt to assign sequence of size %zd to extended slice of size %zd",
                     static_cast<Py_ssize_t>(nodes.size()), count);
        return -1;
    }
    std::vector<Py_ssize_t> at(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) at[static_cast<std::size_t>(i)] = b + i * step;
    if (value) {
        for (std::size_t i = 0; i < at.size(); ++i) {
            PyObject* v = PyList_GET_ITEM(values.get(), static_cast<Py_ssize_t>(i));
            // The list's reference to the old element (still held by
            // `released` too) goes with `old`.
            ref old = ref::steal(PyList_GET_ITEM(self, at[i]));
            PyList_SET_ITEM(self, at[i], Py_NewRef(v));
            if (static_cast<std::size_t>(at[i]) < items.size()) {
                YamlItem& item = items[static_cast<std::size_t>(at[i])];
                item.node = std::move(nodes[i]);
                forget_value_position(item);
            }
        }
        return 0;
    }
    std::sort(at.begin(), at.end(), std::greater<>());
    // The items left after the last one kept go as a deletion at the end.
    std::size_t kept = items.size();
    for (const Py_ssize_t i : at)
        if (static_cast<std::size_t>(i) + 1 == kept) --kept;
    SlotEdit edit;
    if (!edit.prepare(self, kept, items.size(), 0)) return -1;
    if (!at.empty() && at.back() == 0) keep_document_header(self);
    edit.commit();
    for (const Py_ssize_t i : at) {
        if (PyList_SetSlice(self, i, i + 1, nullptr) < 0) return -1;
        if (static_cast<std::size_t>(i) < items.size())
            items.erase(items.begin() + static_cast<std::ptrdiff_t>(i));
    }
    return 0;
}

int sequence_ass_subscript(PyObject* self, PyObject* index, PyObject* value) {
    return guarded([&]() -> int {
        if (PyIndex_Check(index)) {
            const Py_ssize_t idx = PyNumber_AsSsize_t(index, PyExc_IndexError);
            if (idx == -1 && PyErr_Occurred()) return -1;
            return assign_index(self, idx, value);
        }
        if (PySlice_Check(index)) return assign_slice(self, index, value);
        PyErr_SetString(PyExc_TypeError, "sequence indices must be integers or slices");
        return -1;
    });
}

int sequence_ass_item(PyObject* self, Py_ssize_t idx, PyObject* value) {
    // The sequence protocol has already added the length to a negative index.
    return guarded([&] { return assign_index(self, idx, value); });
}

// ---- adding items ---------------------------------------------------------------------------

PyObject* sequence_append(PyObject* self, PyObject* value) {
    return guarded([&]() -> PyObject* {
        YamlNode node;
        ref converted;
        if (!py_to_node_with_fallback(value, nullptr, node, converted)) return nullptr;
        SequenceObject* s = as_sequence(self);
        ExclusiveBorrow borrow(s->borrow);
        if (!borrow.ok()) return nullptr;
        const std::size_t n = s->inner.get().items.size();
        SlotEdit edit;
        if (!edit.prepare(self, n, n, 1)) return nullptr;
        if (PyList_Append(self, converted.get()) < 0) return nullptr;
        edit.commit();
        s->inner.mut().items.emplace_back().node = std::move(node);
        follow_block_style(value);
        Py_RETURN_NONE;
    });
}

PyObject* sequence_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (!bring_in_step(self)) return nullptr;
        if (nargs != 2) {
            PyErr_Format(PyExc_TypeError, "insert expected 2 arguments, got %zd", nargs);
            return nullptr;
        }
        Py_ssize_t idx = 0;
        if (!idx_arg(args[0], idx)) return nullptr;
        YamlNode node;
        ref converted;
        if (!py_to_node_with_fallback(args[1], nullptr, node, converted)) return nullptr;
        SequenceObject* s = as_sequence(self);
        ExclusiveBorrow borrow(s->borrow);
        if (!borrow.ok()) return nullptr;
        const Py_ssize_t n = parent_len(self);
        const Py_ssize_t p = idx < 0 ? std::max<Py_ssize_t>(idx + n, 0) : std::min(idx, n);
        auto& items = s->inner.mut().items;
        const auto at = static_cast<std::size_t>(std::min<std::ptrdiff_t>(p, std::ssize(items)));
        if (at == 0) keep_document_header(self);
        SlotEdit edit;
        if (!edit.prepare(self, at, at, 1)) return nullptr;
        if (PyList_Insert(self, p, converted.get()) < 0) return nullptr;
        edit.commit();
        YamlItem item;
        item.node = std::move(node);
        items.insert(items.begin() + static_cast<std::ptrdiff_t>(at), std::move(item));
        follow_block_style(args[1]);
        Py_RETURN_NONE;
    });
}

bool extend_from(PyObject* self, PyObject* other) {
    std::vector<YamlItem> items;
    ref values;
    if (!items_to_add(other, items, values)) return false;
    const auto end = static_cast<std::size_t>(parent_len(self));
    return splice(self, end, end, values.get(), std::move(items));
}

PyObject* sequence_extend(PyObject* self, PyObject* iterable) {
    return guarded([&]() -> PyObject* {
        if (!extend_from(self, iterable)) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* sequence_inplace_add(PyObject* self, PyObject* other) {
    return guarded([&]() -> PyObject* {
        if (!is_sequence_object(self)) Py_RETURN_NOTIMPLEMENTED;
        if (!extend_from(self, other)) return nullptr;
        return Py_NewRef(self);
    });
}

/// `s *= n`: the items repeat with their metadata, the elements as the list
/// would repeat them.
PyObject* sequence_inplace_repeat(PyObject* self, Py_ssize_t n) {
    return guarded([&]() -> PyObject* {
        SequenceObject* s = as_sequence(self);
        ref released = ref::steal(PySequence_List(self));
        if (!released) return nullptr;
        ref repeated = ref::steal(PySequence_Repeat(released.get(), n));
        if (!repeated) return nullptr;
        ExclusiveBorrow borrow(s->borrow);
        if (!borrow.ok()) return nullptr;
        if (PyList_SetSlice(self, 0, parent_len(self), repeated.get()) < 0) return nullptr;
        auto& items = s->inner.mut().items;
        if (n <= 0) {
            items.clear();
        } else {
            // The repeats were not read anywhere.
            std::vector<YamlItem> once = items;
            for (YamlItem& item : once) forget_positions(item);
            for (Py_ssize_t k = 1; k < n; ++k) items.insert(items.end(), once.begin(), once.end());
        }
        return Py_NewRef(self);
    });
}

// ---- removing items -----------------------------------------------------------------------

PyObject* sequence_pop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const ArgParser parser("pop", {"idx"}, 1, 0);
        PyObject* a[1];
        if (!parser.parse(args, nargs, kwnames, a)) return nullptr;
        Py_ssize_t idx = -1;
        if (a[0] && !idx_arg(a[0], idx)) return nullptr;
        SequenceObject* s = as_sequence(self);
        ref removed;
        {
            ExclusiveBorrow borrow(s->borrow);
            if (!borrow.ok()) return nullptr;
            const Py_ssize_t n = parent_len(self);
            if (n == 0) {
                PyErr_SetString(PyExc_IndexError, "pop from empty list");
                return nullptr;
            }
            if (idx < -n || idx >= n) {
                PyErr_SetString(PyExc_IndexError, "pop index out of range");
                return nullptr;
            }
            const Py_ssize_t p = idx < 0 ? idx + n : idx;
            const auto at = static_cast<std::size_t>(p);
            SlotEdit edit;
            if (!edit.prepare(self, at, at + 1, 0)) return nullptr;
            removed = ref::borrow(PyList_GET_ITEM(self, p));
            if (PyList_SetSlice(self, p, p + 1, nullptr) < 0) return nullptr;
            if (p == 0) keep_document_header(self);
            edit.commit();
            auto& items = s->inner.mut().items;
            if (static_cast<std::size_t>(p) < items.size())
                items.erase(items.begin() + static_cast<std::ptrdiff_t>(p));
        }
        return removed.release();
    });
}

PyObject* sequence_remove(PyObject* self, PyObject* value) {
    return guarded([&]() -> PyObject* {
        // As list.remove: the first element equal to `value`, compared
        // while no access is held (the comparison may run any code).
        for (Py_ssize_t i = 0; i < parent_len(self); ++i) {
            ref element = ref::borrow(PyList_GET_ITEM(self, i));
            const int eq = PyObject_RichCompareBool(element.get(), value, Py_EQ);
            if (eq < 0) return nullptr;
            if (!eq) continue;
            if (i >= parent_len(self)) break;
            const auto at = static_cast<std::size_t>(i);
            if (!splice(self, at, at + 1, nullptr, {})) return nullptr;
            Py_RETURN_NONE;
        }
        PyErr_SetString(PyExc_ValueError, "value not in list");
        return nullptr;
    });
}

PyObject* sequence_clear_method(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (!splice(self, 0, static_cast<std::size_t>(parent_len(self)), nullptr, {}))
            return nullptr;
        // Items the tree holds beyond the list's length go too.
        SequenceObject* s = as_sequence(self);
        ExclusiveBorrow borrow(s->borrow);
        if (!borrow.ok()) return nullptr;
        s->inner.mut().items.clear();
        Py_RETURN_NONE;
    });
}

PyObject* sequence_reverse(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (!bring_in_step(self)) return nullptr;
        SequenceObject* s = as_sequence(self);
        ExclusiveBorrow borrow(s->borrow);
        if (!borrow.ok()) return nullptr;
        // The blank lines that end the sequence stay at its end.
        const std::size_t n = s->inner.get().items.size();
        if (n > 1) keep_document_header(self);
        SlotEdit last;
        if (n > 1 && !last.prepare(self, n, n, 1)) return nullptr;
        if (PyList_Reverse(self) < 0) return nullptr;
        last.commit();
        std::reverse(s->inner.mut().items.begin(), s->inner.mut().items.end());
        Py_RETURN_NONE;
    });
}

PyObject* sequence_sort(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (!bring_in_step(self)) return nullptr;
        PyObject* key;
        bool reverse, recursive;
        if (!parse_sort_args("sort", args, nargs, kwnames, key, reverse, recursive)) return nullptr;
        if (!sort_sequence_object(self, key, reverse, recursive)) return nullptr;
        Py_RETURN_NONE;
    });
}

// ---- reading -------------------------------------------------------------------------------

PyObject* sequence_node(PyObject* self, PyObject* idx_obj) {
    return guarded([&]() -> PyObject* {
        if (!bring_in_step(self)) return nullptr;
        Py_ssize_t idx = 0;
        if (!idx_arg(idx_obj, idx)) return nullptr;
        SequenceObject* s = as_sequence(self);
        YamlNode node;
        std::size_t pos = 0;
        {
            SharedBorrow borrow(s->borrow);
            if (!borrow.ok()) return nullptr;
            if (!resolve_index(idx, s->inner.get().items.size(), pos)) return nullptr;
            node = s->inner.get().items[pos].node;
        }
        const auto p = static_cast<Py_ssize_t>(pos);
        ref value = p < parent_len(self) ? ref::borrow(PyList_GET_ITEM(self, p)) : ref();
        YamlNode current;
        if (!current_node(node, value.get(), current)) return nullptr;
        return node_to_doc(std::move(current), DocMeta{}, nullptr).release();
    });
}

// ---- per-index metadata ----------------------------------------------------------------------

/// How the per-index metadata methods find an item: by index into the tree.
struct SeqSlots {
    using Slot = YamlItem;
    struct Pos {
        Py_ssize_t idx = 0;
        std::size_t at = 0;  // resolved by find()
    };
    static constexpr const char* kArg = "idx";
    static constexpr bool kDualGetMissingIsNone = false;

    static bool check(PyObject* arg, Pos& pos) { return idx_arg(arg, pos.idx); }
    static YamlItem* find(PyObject* self, PyObject*, Pos& pos, bool, bool write) {
        SequenceObject* s = as_sequence(self);
        if (!resolve_index(pos.idx, s->inner.get().items.size(), pos.at)) return nullptr;
        // A reader must not unshare the record (see the mapping's).
        return write ? &s->inner.mut().items[pos.at]
                     : const_cast<YamlItem*>(&s->inner.get().items[pos.at]);
    }
    static YamlNode& node(YamlItem& item) { return item.node; }
    static std::string where(const Pos& pos) { return "item at index " + std::to_string(pos.idx); }
    static ref parent_value(PyObject* self, PyObject*, const Pos& pos) {
        const auto at = static_cast<Py_ssize_t>(pos.at);
        return at < parent_len(self) ? ref::borrow(PyList_GET_ITEM(self, at)) : ref();
    }
};

/// As list.__init__: the contents are replaced by those of `iterable` (none
/// when it is None).
int sequence_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> int {
        node_class::CtorArgs a;
        if (!node_class::parse_ctor_args<SequenceObject>(args, kwargs, a)) return -1;
        const auto all = static_cast<std::size_t>(parent_len(self));
        if (a.first == Py_None) return splice(self, 0, all, nullptr, {}) ? 0 : -1;
        std::vector<YamlItem> items;
        ref values;
        if (!a.schema)
            return items_to_add(a.first, items, values) &&
                           splice(self, 0, all, values.get(), std::move(items))
                       ? 0
                       : -1;
        // With a schema: its dumpers convert the whole iterable and its
        // loaders make the values.
        YamlNode node;
        if (!py_to_node(a.first, a.schema, node)) return -1;
        YamlSequence* converted = node.sequence();
        if (!converted) {
            PyErr_SetString(PyExc_TypeError, "YamlSequence requires a list or iterable object");
            return -1;
        }
        values = ref::steal(PyList_New(0));
        if (!values) return -1;
        for (const auto& item : converted->items) {
            ref value = node_to_py(item.node, a.schema);
            if (!value || PyList_Append(values.get(), value.get()) < 0) return -1;
        }
        if (!splice(self, 0, all, values.get(), std::move(converted->items))) return -1;
        SequenceObject* s = as_sequence(self);
        ExclusiveBorrow borrow(s->borrow);
        if (!borrow.ok()) return -1;
        // The rest of the converted sequence's own metadata; tag and style
        // stay as the constructor set them.
        s->inner.mut().anchor = std::move(converted->anchor);
        s->inner.mut().trailing_blank_lines = converted->trailing_blank_lines;
        return 0;
    });
}

PyObject* sequence_item_position(PyObject* self, PyObject* idx) {
    return slot_methods::position<SeqSlots>(self, idx, item_offset);
}

PyMethodDef sequence_methods[] = {
    {"append", TESVORN_METHOD(sequence_append), METH_O,
     "append($self, value, /)\n--\n\nAppend a new item."},
    {"insert", TESVORN_METHOD(sequence_insert), METH_FASTCALL,
     "insert($self, idx, value, /)\n--\n\nInsert a new item before idx."},
    {"extend", TESVORN_METHOD(sequence_extend), METH_O,
     "extend($self, iterable, /)\n--\n\nAppend the items of iterable (a YamlSequence's with their "
     "metadata)."},
    {"pop", TESVORN_METHOD(sequence_pop), METH_FASTCALL | METH_KEYWORDS,
     "pop($self, idx=-1)\n--\n\nRemove and return the item at idx."},
    {"remove", TESVORN_METHOD(sequence_remove), METH_O,
     "remove($self, value, /)\n--\n\nRemove the first item equal to value."},
    {"clear", TESVORN_METHOD(sequence_clear_method), METH_NOARGS,
     "clear($self, /)\n--\n\nRemove every item; the sequence's own style, tag and anchor stay."},
    {"reverse", TESVORN_METHOD(sequence_reverse), METH_NOARGS,
     "reverse($self, /)\n--\n\nReverse the items in place, keeping their metadata."},
    {"sort", TESVORN_METHOD(sequence_sort), METH_FASTCALL | METH_KEYWORDS,
     "sort($self, /, key=None, reverse=False, recursive=False)\n--\n\n"
     "Sort the items (stable), keeping their metadata."},
    {"node", TESVORN_METHOD(sequence_node), METH_O,
     "node($self, idx, /)\n--\n\nA new node object for the item, as it is now."},
    {"to_python", TESVORN_METHOD(node_class::to_python), METH_NOARGS,
     "to_python($self, /)\n--\n\nA plain list: the values, with node objects as plain dicts and "
     "lists."},
    {"format", TESVORN_METHOD(node_class::format), METH_FASTCALL | METH_KEYWORDS,
     "format($self, /, *, styles=True, comments=True, blank_lines=True)\n--\n\n"
     "Reset styles, comments and blank lines, recursively."},
    {"__copy__", TESVORN_METHOD(node_class::copy), METH_NOARGS,
     "__copy__($self, /)\n--\n\nA copy with its own tree and document metadata, and copies of the "
     "node objects it holds."},
    {"__deepcopy__", TESVORN_METHOD(node_class::deepcopy), METH_FASTCALL | METH_KEYWORDS,
     "__deepcopy__($self, memo, /)\n--\n\nAs __copy__(), with every other value deep-copied too."},
    {"comment_before", TESVORN_METHOD(slot_methods::comment_before<SeqSlots>), METH_FASTCALL,
     "comment_before($self, idx, *args)\n--\n\nGet, or with a second argument set, the comment "
     "above the item."},
    {"comment_inline", TESVORN_METHOD(slot_methods::comment_inline<SeqSlots>), METH_FASTCALL,
     "comment_inline($self, idx, *args)\n--\n\nGet, or with a second argument set, the comment "
     "after the item."},
    {"get_comment_before", TESVORN_METHOD(slot_methods::get_comment_before<SeqSlots>), METH_O,
     "get_comment_before($self, idx, /)\n--\n\nThe comment above the item, or None."},
    {"get_comment_inline", TESVORN_METHOD(slot_methods::get_comment_inline<SeqSlots>), METH_O,
     "get_comment_inline($self, idx, /)\n--\n\nThe comment after the item on its line, or None."},
    {"set_comment_before", TESVORN_METHOD(slot_methods::set_comment_before<SeqSlots>),
     METH_FASTCALL | METH_KEYWORDS,
     "set_comment_before($self, idx, comment)\n--\n\nSet (str) or clear (None) the comment above "
     "the item."},
    {"set_comment_inline", TESVORN_METHOD(slot_methods::set_comment_inline<SeqSlots>),
     METH_FASTCALL | METH_KEYWORDS,
     "set_comment_inline($self, idx, comment)\n--\n\nSet (str) or clear (None) the comment after "
     "the item."},
    {"blank_lines_before", TESVORN_METHOD(slot_methods::blank_lines_before<SeqSlots>),
     METH_FASTCALL,
     "blank_lines_before($self, idx, *args)\n--\n\nGet, or with a second argument set, the blank "
     "lines before "
     "the item."},
    {"scalar_style", TESVORN_METHOD(slot_methods::scalar_style<SeqSlots>),
     METH_FASTCALL | METH_KEYWORDS,
     "scalar_style($self, idx, style)\n--\n\nSet the style of the scalar item."},
    {"container_style", TESVORN_METHOD(slot_methods::container_style<SeqSlots>),
     METH_FASTCALL | METH_KEYWORDS,
     "container_style($self, idx, style)\n--\n\nSet the style (\"block\" or \"flow\") of the "
     "collection item."},
    {"set_alias", TESVORN_METHOD(slot_methods::set_alias<SeqSlots>), METH_FASTCALL | METH_KEYWORDS,
     "set_alias($self, idx, anchor_name)\n--\n\nWrite the item as an alias *anchor_name."},
    {"alias_name", TESVORN_METHOD(slot_methods::alias_name<SeqSlots>), METH_O,
     "alias_name($self, idx, /)\n--\n\nThe alias name of the item, or None."},
    {"item_position", TESVORN_METHOD(sequence_item_position), METH_O,
     "item_position($self, idx, /)\n--\n\nWhere the item starts in the text it was loaded from, "
     "as (line, column), both from 1; None when it was not loaded or has been replaced."},
    {nullptr, nullptr, 0, nullptr},
};

#undef TESVORN_METHOD

PyType_Slot sequence_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "YamlSequence(iterable=None, *, style=\"block\", tag=None, schema=None)\n--\n\n"
                    "A YAML sequence node. Subclass of list; the parent list is always kept in\n"
                    "sync with `inner` so that standard list operations work transparently.")},
    {Py_tp_new, reinterpret_cast<void*>(node_class::tp_new<SequenceObject>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(node_class::tp_dealloc<SequenceObject>)},
    {Py_tp_traverse, reinterpret_cast<void*>(node_class::tp_traverse<SequenceObject>)},
    {Py_tp_clear, reinterpret_cast<void*>(node_class::tp_clear<SequenceObject>)},
    {Py_tp_init, reinterpret_cast<void*>(sequence_init)},
    {Py_tp_methods, sequence_methods},
    {Py_tp_getset, sequence_getset},
    {Py_tp_repr, reinterpret_cast<void*>(node_class::repr)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(sequence_ass_subscript)},
    {Py_sq_ass_item, reinterpret_cast<void*>(sequence_ass_item)},
    {Py_nb_inplace_add, reinterpret_cast<void*>(sequence_inplace_add)},
    {Py_sq_inplace_repeat, reinterpret_cast<void*>(sequence_inplace_repeat)},
    {0, nullptr},
};

PyType_Spec sequence_spec = {
    "tesvorn.YamlSequence",
    sizeof(SequenceObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    sequence_slots,
};

}  // namespace

PyTypeObject* sequence_type() noexcept {
    return g_sequence_type;
}

bool init_sequence_type() noexcept {
    return node_class::init_type(g_sequence_type, sequence_spec, &PyList_Type);
}

ref new_sequence_object(Cow<YamlSequence> inner, DocMeta meta) {
    return node_class::alloc<SequenceObject>(g_sequence_type, std::move(inner), std::move(meta));
}

}  // namespace tesvorn::py
