// YamlSequence: a list subclass kept in step with its model sequence `inner`.
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

PyTypeObject* g_sequence_type = nullptr;

/// Constructs the native state in freshly allocated memory.
void construct_state(SequenceObject* m, YamlSequence inner, DocMeta meta) {
    new (&m->borrow) BorrowFlag();
    new (&m->inner) YamlSequence(std::move(inner));
    new (&m->meta) DocMeta(std::move(meta));
}

/// Allocates an instance of `type` with an empty parent list and a default
/// native state.
ref alloc_sequence(PyTypeObject* type, YamlSequence inner, DocMeta meta) {
    ref self = ref::steal(type->tp_alloc(type, 0));  // a zeroed list is a valid empty list
    if (!self) return self;
    construct_state(as_sequence(self.get()), std::move(inner), std::move(meta));
    return self;
}

PyObject* sequence_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kwlist[] = {"iterable", "style", "tag", "schema", nullptr};
        PyObject* iterable = Py_None;
        PyObject* style = nullptr;
        PyObject* tag = Py_None;
        PyObject* schema = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$OOO:YamlSequence",
                                         const_cast<char**>(kwlist), &iterable, &style, &tag,
                                         &schema))
            return nullptr;
        YamlSequence inner;
        if (style && !parse_container_style(style, "style", inner.style)) return nullptr;
        if (!arg_optional_str(tag, "tag")) return nullptr;
        if (tag != Py_None) {
            std::string_view text;
            if (!str_utf8(tag, text)) return nullptr;
            inner.tag = std::string(text);
        }
        SchemaObject* s = nullptr;
        if (!arg_schema(schema, s)) return nullptr;
        return alloc_sequence(type, std::move(inner), DocMeta{}).release();
    });
}

void sequence_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, sequence_dealloc) SequenceObject* m = as_sequence(self);
    m->meta.~DocMeta();
    m->inner.~YamlSequence();
    m->borrow.~BorrowFlag();
    PyList_Type.tp_dealloc(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

int sequence_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return PyList_Type.tp_traverse(self, visit, arg);
}

int sequence_clear(PyObject* self) {
    return PyList_Type.tp_clear(self);
}

// ---- helpers -------------------------------------------------------------------

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

/// Resolves an index against the model's length; IndexError
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

YamlItem bare_item(YamlNode node) {
    YamlItem item;
    item.node = std::move(node);
    return item;
}

/// Resolves a step-1 slice; a stop before the start is an empty range at
/// the start, as for lists.
bool resolve_slice(PyObject* slice, std::size_t len, bool deletion, std::size_t& start,
                   std::size_t& stop) {
    Py_ssize_t b, e, step;
    if (PySlice_Unpack(slice, &b, &e, &step) < 0) return false;
    PySlice_AdjustIndices(static_cast<Py_ssize_t>(len), &b, &e, step);
    if (step != 1) {
        PyErr_SetString(
            PyExc_NotImplementedError,
            deletion ? "tesvorn sequences do not support extended slice deletion (step != 1)"
                     : "tesvorn sequences do not support extended slice assignment (step != 1)");
        return false;
    }
    start = static_cast<std::size_t>(b);
    stop = static_cast<std::size_t>(std::max(b, e));
    return true;
}

// ---- item assignment and deletion ------------------------------------------------------

int assign_index(PyObject* self, Py_ssize_t idx, PyObject* value) {
    SequenceObject* s = as_sequence(self);
    YamlNode node;
    ref converted;
    if (value && !py_to_node_with_fallback(value, nullptr, node, converted)) return -1;
    std::size_t pos = 0;
    {
        ExclusiveBorrow borrow(s->borrow);
        if (!borrow.ok()) return -1;
        if (!resolve_index(idx, s->inner.items.size(), pos)) return -1;
        if (value) {
            s->inner.items[pos].node = std::move(node);
        } else {
            s->inner.items.erase(s->inner.items.begin() + static_cast<std::ptrdiff_t>(pos));
        }
    }
    const auto p = static_cast<Py_ssize_t>(pos);
    if (!value) return PyList_SetSlice(self, p, p + 1, nullptr);
    if (p >= parent_len(self)) return PyList_Append(self, converted.get());
    return PyList_SetItem(self, p, converted.release());
}

int sequence_ass_subscript(PyObject* self, PyObject* index, PyObject* value) {
    return guarded([&]() -> int {
        SequenceObject* s = as_sequence(self);
        if (PyIndex_Check(index)) {
            const Py_ssize_t idx = PyNumber_AsSsize_t(index, PyExc_IndexError);
            if (idx == -1 && PyErr_Occurred()) return -1;
            return assign_index(self, idx, value);
        }
        if (!PySlice_Check(index)) {
            PyErr_SetString(PyExc_TypeError, "sequence indices must be integers or slices");
            return -1;
        }
        std::size_t len = 0;
        {
            SharedBorrow borrow(s->borrow);
            if (!borrow.ok()) return -1;
            len = s->inner.items.size();
        }
        std::size_t start = 0, stop = 0;
        if (!resolve_slice(index, len, value == nullptr, start, stop)) return -1;
        std::vector<YamlNode> nodes;
        ref values;
        if (value && !convert_all(value, nodes, values)) return -1;
        {
            ExclusiveBorrow borrow(s->borrow);
            if (!borrow.ok()) return -1;
            auto& items = s->inner.items;
            stop = std::min(stop, items.size());
            start = std::min(start, stop);
            items.erase(items.begin() + static_cast<std::ptrdiff_t>(start),
                        items.begin() + static_cast<std::ptrdiff_t>(stop));
            std::vector<YamlItem> fresh;
            fresh.reserve(nodes.size());
            for (auto& n : nodes) fresh.push_back(bare_item(std::move(n)));
            items.insert(items.begin() + static_cast<std::ptrdiff_t>(start),
                         std::make_move_iterator(fresh.begin()),
                         std::make_move_iterator(fresh.end()));
        }
        return PyList_SetSlice(self, static_cast<Py_ssize_t>(start), static_cast<Py_ssize_t>(stop),
                               values.get());
    });
}

int sequence_ass_item(PyObject* self, Py_ssize_t idx, PyObject* value) {
    return guarded([&]() -> int {
        // The sequence protocol has already added the length to a negative
        // index; the model check uses the same length.
        return assign_index(self, idx, value);
    });
}

// ---- adding items ---------------------------------------------------------------------------

bool append_converted(PyObject* self, std::vector<YamlItem> items, PyObject* values) {
    SequenceObject* s = as_sequence(self);
    {
        ExclusiveBorrow borrow(s->borrow);
        if (!borrow.ok()) return false;
        for (auto& item : items) s->inner.items.push_back(std::move(item));
    }
    const Py_ssize_t n = parent_len(self);
    return PyList_SetSlice(self, n, n, values) == 0;
}

PyObject* sequence_append(PyObject* self, PyObject* value) {
    return guarded([&]() -> PyObject* {
        YamlNode node;
        ref converted;
        if (!py_to_node_with_fallback(value, nullptr, node, converted)) return nullptr;
        SequenceObject* s = as_sequence(self);
        {
            ExclusiveBorrow borrow(s->borrow);
            if (!borrow.ok()) return nullptr;
            s->inner.items.push_back(bare_item(std::move(node)));
        }
        if (PyList_Append(self, converted.get()) < 0) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* sequence_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
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
        std::size_t pos = 0;
        {
            ExclusiveBorrow borrow(s->borrow);
            if (!borrow.ok()) return nullptr;
            const auto n = static_cast<Py_ssize_t>(s->inner.items.size());
            Py_ssize_t p = idx < 0 ? std::max<Py_ssize_t>(idx + n, 0) : std::min(idx, n);
            pos = static_cast<std::size_t>(p);
            s->inner.items.insert(s->inner.items.begin() + p, bare_item(std::move(node)));
        }
        if (PyList_Insert(self, static_cast<Py_ssize_t>(pos), converted.get()) < 0) return nullptr;
        Py_RETURN_NONE;
    });
}

bool extend_from(PyObject* self, PyObject* other) {
    if (is_sequence_object(other)) {
        SequenceObject* o = as_sequence(other);
        std::vector<YamlItem> items;
        {
            SharedBorrow borrow(o->borrow);
            if (!borrow.ok()) return false;
            items = o->inner.items;
        }
        ref values = ref::steal(PySequence_List(other));  // the same element objects
        if (!values) return false;
        return append_converted(self, std::move(items), values.get());
    }
    std::vector<YamlNode> nodes;
    ref values;
    if (!convert_all(other, nodes, values)) return false;
    std::vector<YamlItem> items;
    items.reserve(nodes.size());
    for (auto& n : nodes) items.push_back(bare_item(std::move(n)));
    return append_converted(self, std::move(items), values.get());
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

/// `s *= n`: the items repeat with their metadata (deep copies), the
/// elements as the list would repeat them.
PyObject* sequence_inplace_repeat(PyObject* self, Py_ssize_t n) {
    return guarded([&]() -> PyObject* {
        SequenceObject* s = as_sequence(self);
        {
            ExclusiveBorrow borrow(s->borrow);
            if (!borrow.ok()) return nullptr;
            if (n <= 0) {
                s->inner.items.clear();
            } else {
                const std::vector<YamlItem> once = s->inner.items;
                for (Py_ssize_t k = 1; k < n; ++k)
                    s->inner.items.insert(s->inner.items.end(), once.begin(), once.end());
            }
        }
        ref repeated = ref::steal(PySequence_Repeat(ref::steal(PySequence_List(self)).get(), n));
        if (!repeated || PyList_SetSlice(self, 0, parent_len(self), repeated.get()) < 0)
            return nullptr;
        return Py_NewRef(self);
    });
}

// ---- removing items -----------------------------------------------------------------------

PyObject* sequence_pop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static ArgParser parser("pop", {"idx"}, 1, 0);
        PyObject* a[1];
        if (!parser.parse(args, nargs, kwnames, a)) return nullptr;
        Py_ssize_t idx = -1;
        if (a[0] && !idx_arg(a[0], idx)) return nullptr;
        SequenceObject* s = as_sequence(self);
        YamlNode removed;
        std::size_t pos = 0;
        {
            ExclusiveBorrow borrow(s->borrow);
            if (!borrow.ok()) return nullptr;
            const auto n = static_cast<Py_ssize_t>(s->inner.items.size());
            if (n == 0) {
                PyErr_SetString(PyExc_IndexError, "pop from empty list");
                return nullptr;
            }
            if (idx < -n || idx >= n) {
                PyErr_SetString(PyExc_IndexError, "pop index out of range");
                return nullptr;
            }
            pos = static_cast<std::size_t>(idx < 0 ? idx + n : idx);
            removed = std::move(s->inner.items[pos].node);
            s->inner.items.erase(s->inner.items.begin() + static_cast<std::ptrdiff_t>(pos));
        }
        const auto p = static_cast<Py_ssize_t>(pos);
        if (p < parent_len(self) && PyList_SetSlice(self, p, p + 1, nullptr) < 0) return nullptr;
        return node_to_py(removed, nullptr).release();
    });
}

PyObject* sequence_remove(PyObject* self, PyObject* value) {
    return guarded([&]() -> PyObject* {
        SequenceObject* s = as_sequence(self);
        std::vector<YamlNode> nodes;
        {
            SharedBorrow borrow(s->borrow);
            if (!borrow.ok()) return nullptr;
            for (const auto& item : s->inner.items) nodes.push_back(item.node);
        }
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            ref v = node_to_py(nodes[i], nullptr);
            if (!v) return nullptr;
            const int eq = PyObject_RichCompareBool(v.get(), value, Py_EQ);
            if (eq < 0) return nullptr;
            if (!eq) continue;
            {
                ExclusiveBorrow borrow(s->borrow);
                if (!borrow.ok()) return nullptr;
                if (i < s->inner.items.size())
                    s->inner.items.erase(s->inner.items.begin() + static_cast<std::ptrdiff_t>(i));
            }
            const auto p = static_cast<Py_ssize_t>(i);
            if (p < parent_len(self) && PyList_SetSlice(self, p, p + 1, nullptr) < 0)
                return nullptr;
            Py_RETURN_NONE;
        }
        PyErr_SetString(PyExc_ValueError, "value not in list");
        return nullptr;
    });
}

/// `clear()` empties the tree too, so that a cleared sequence dumps empty.
PyObject* sequence_clear_method(PyObject* self, PyObject*) {
    SequenceObject* s = as_sequence(self);
    {
        ExclusiveBorrow borrow(s->borrow);
        if (!borrow.ok()) return nullptr;
        s->inner.items.clear();
    }
    if (PyList_SetSlice(self, 0, parent_len(self), nullptr) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* sequence_reverse(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        SequenceObject* s = as_sequence(self);
        ref elements = ref::steal(PySequence_List(self));
        if (!elements) return nullptr;
        {
            ExclusiveBorrow borrow(s->borrow);
            if (!borrow.ok()) return nullptr;
            std::reverse(s->inner.items.begin(), s->inner.items.end());
        }
        // Empty the parent list directly (not through clear(), which would
        // also drop the items just reversed).
        if (PyList_Reverse(elements.get()) < 0 ||
            PyList_SetSlice(self, 0, parent_len(self), elements.get()) < 0)
            return nullptr;
        Py_RETURN_NONE;
    });
}

// ---- sort ------------------------------------------------------------------------------

bool sort_sequence_object(PyObject* self, PyObject* key, bool reverse, bool recursive);

PyObject* sequence_sort(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* key;
        bool reverse, recursive;
        if (!parse_sort_args("sort", args, nargs, kwnames, key, reverse, recursive)) return nullptr;
        if (!sort_sequence_object(self, key, reverse, recursive)) return nullptr;
        Py_RETURN_NONE;
    });
}

bool sort_sequence_object(PyObject* self, PyObject* key, bool reverse, bool recursive) {
    RecursionGuard guard(" while sorting");
    if (!guard) return false;
    SequenceObject* s = as_sequence(self);
    std::vector<YamlItem> items;
    {
        SharedBorrow borrow(s->borrow);
        if (!borrow.ok()) return false;
        items = s->inner.items;
    }
    ref elements = ref::steal(PySequence_List(self));
    if (!elements) return false;
    const std::size_t n = std::min<std::size_t>(
        items.size(), static_cast<std::size_t>(PyList_GET_SIZE(elements.get())));
    std::vector<ref> keys;
    keys.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* element = PyList_GET_ITEM(elements.get(), static_cast<Py_ssize_t>(i));
        ref k = key ? ref::steal(PyObject_CallOneArg(key, element)) : ref::borrow(element);
        if (!k) return false;
        keys.push_back(std::move(k));
    }
    ref error;
    std::vector<std::size_t> order = stable_order(n, [&](std::size_t a, std::size_t b) {
        return py_compare(keys[a].get(), keys[b].get(), error) == Ordering::Less;
    });
    if (error) {
        PyErr_SetRaisedException(error.release());
        return false;
    }
    if (reverse) std::reverse(order.begin(), order.end());
    std::vector<YamlItem> sorted;
    sorted.reserve(items.size());
    ref new_elements = ref::steal(PyList_New(0));
    if (!new_elements) return false;
    for (std::size_t i : order) {
        sorted.push_back(std::move(items[i]));
        if (PyList_Append(new_elements.get(),
                          PyList_GET_ITEM(elements.get(), static_cast<Py_ssize_t>(i))) < 0)
            return false;
    }
    for (std::size_t i = n; i < items.size(); ++i) sorted.push_back(std::move(items[i]));
    {
        ExclusiveBorrow borrow(s->borrow);
        if (!borrow.ok()) return false;
        s->inner.items = std::move(sorted);
    }
    if (PyList_SetSlice(self, 0, parent_len(self), new_elements.get()) < 0) return false;
    if (recursive) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(new_elements.get()); ++i) {
            PyObject* element = PyList_GET_ITEM(new_elements.get(), i);
            if (is_mapping_object(element)) {
                ref method = ref::steal(PyObject_GetAttrString(element, "sort_keys"));
                if (!method) return false;
                ref kwargs = ref::steal(Py_BuildValue(
                    "{s:O,s:O}", "reverse", reverse ? Py_True : Py_False, "recursive", Py_True));
                if (!kwargs) return false;
                ref empty = ref::steal(PyTuple_New(0));
                if (!empty || !ref::steal(PyObject_Call(method.get(), empty.get(), kwargs.get())))
                    return false;
            } else if (is_sequence_object(element) &&
                       !sort_sequence_object(element, key, reverse, true)) {
                return false;
            }
        }
    }
    return true;
}

// ---- reading -------------------------------------------------------------------------------

/// A copy of item `idx`'s node (index checked).
bool copy_item_node(PyObject* self, PyObject* idx_obj, YamlNode& out) {
    Py_ssize_t idx = 0;
    if (!idx_arg(idx_obj, idx)) return false;
    SequenceObject* s = as_sequence(self);
    SharedBorrow borrow(s->borrow);
    if (!borrow.ok()) return false;
    std::size_t pos = 0;
    if (!resolve_index(idx, s->inner.items.size(), pos)) return false;
    out = s->inner.items[pos].node;
    return true;
}

PyObject* sequence_node(PyObject* self, PyObject* idx) {
    return guarded([&]() -> PyObject* {
        YamlNode node;
        if (!copy_item_node(self, idx, node)) return nullptr;
        return node_to_doc(std::move(node), DocMeta{}, nullptr).release();
    });
}

PyObject* sequence_to_python(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        SequenceObject* s = as_sequence(self);
        YamlNode copy;
        {
            SharedBorrow borrow(s->borrow);
            if (!borrow.ok()) return nullptr;
            copy = YamlNode(s->inner);
        }
        return node_to_plain(copy).release();
    });
}

PyObject* sequence_format(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        bool styles, comments, blank;
        if (!parse_format_flags("format", args, nargs, kwnames, styles, comments, blank))
            return nullptr;
        if (!format_object(self, styles, comments, blank)) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* sequence_copy(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        SequenceObject* s = as_sequence(self);
        YamlSequence inner;
        DocMeta meta;
        {
            SharedBorrow borrow(s->borrow);
            if (!borrow.ok()) return nullptr;
            inner = s->inner;
            meta = s->meta;
        }
        return sequence_to_py_obj(std::move(inner), std::move(meta), nullptr).release();
    });
}

PyObject* sequence_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    static ArgParser parser("__deepcopy__", {"memo"}, 1, 1);
    PyObject* a[1];
    if (!parser.parse(args, nargs, kwnames, a)) return nullptr;
    return sequence_copy(self, nullptr);
}

PyObject* sequence_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        SequenceObject* s = as_sequence(self);
        std::string text = "YamlSequence([";
        {
            SharedBorrow borrow(s->borrow);
            if (!borrow.ok()) return nullptr;
            bool first = true;
            for (const auto& item : s->inner.items) {
                if (!first) text += ", ";
                first = false;
                append_text_form(text, item.node);
            }
        }
        text += "])";
        return make_str(text).release();
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
    static YamlItem* find(PyObject* self, PyObject*, Pos& pos, bool) {
        SequenceObject* s = as_sequence(self);
        if (!resolve_index(pos.idx, s->inner.items.size(), pos.at)) return nullptr;
        return &s->inner.items[pos.at];
    }
    static YamlNode& node(YamlItem& item) { return item.node; }
    static std::string where(const Pos& pos) { return "item at index " + std::to_string(pos.idx); }
    static ref parent_value(PyObject* self, PyObject*, const Pos& pos) {
        const auto at = static_cast<Py_ssize_t>(pos.at);
        return at < parent_len(self) ? ref::borrow(PyList_GET_ITEM(self, at)) : ref();
    }
};

int sequence_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> int {
        static const char* kwlist[] = {"iterable", "style", "tag", "schema", nullptr};
        PyObject* iterable = Py_None;
        PyObject* style = nullptr;
        PyObject* tag = nullptr;
        PyObject* schema = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$OOO:YamlSequence",
                                         const_cast<char**>(kwlist), &iterable, &style, &tag,
                                         &schema))
            return -1;
        SchemaObject* sc = nullptr;
        if (!arg_schema(schema, sc)) return -1;
        if (iterable == Py_None) return 0;
        if (!sc) return extend_from(self, iterable) ? 0 : -1;
        YamlNode node;
        if (!py_to_node(iterable, sc, node)) return -1;
        YamlSequence* converted = node.sequence();
        if (!converted) {
            PyErr_SetString(PyExc_TypeError, "YamlSequence requires a list or iterable object");
            return -1;
        }
        SequenceObject* s = as_sequence(self);
        YamlSequence snapshot;
        {
            ExclusiveBorrow borrow(s->borrow);
            if (!borrow.ok()) return -1;
            converted->tag = s->inner.tag;
            converted->style = s->inner.style;
            s->inner = std::move(*converted);
            snapshot = s->inner;
        }
        for (const auto& item : snapshot.items) {
            ref value = node_to_py(item.node, sc);
            if (!value || PyList_Append(self, value.get()) < 0) return -1;
        }
        return 0;
    });
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
     "pop($self, idx=-1)\n--\n\nRemove and return the item at idx (made from the tree)."},
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
     "node($self, idx, /)\n--\n\nA new node object for a copy of the item's node."},
    {"to_python", TESVORN_METHOD(sequence_to_python), METH_NOARGS,
     "to_python($self, /)\n--\n\nA plain list built from the tree."},
    {"format", TESVORN_METHOD(sequence_format), METH_FASTCALL | METH_KEYWORDS,
     "format($self, /, *, styles=True, comments=True, blank_lines=True)\n--\n\n"
     "Reset styles, comments and blank lines, recursively."},
    {"__copy__", TESVORN_METHOD(sequence_copy), METH_NOARGS,
     "__copy__($self, /)\n--\n\nAn independent deep copy (tree and document metadata)."},
    {"__deepcopy__", TESVORN_METHOD(sequence_deepcopy), METH_FASTCALL | METH_KEYWORDS,
     "__deepcopy__($self, memo, /)\n--\n\nAn independent deep copy (tree and document metadata)."},
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
    {nullptr, nullptr, 0, nullptr},
};

#undef TESVORN_METHOD

PyType_Slot sequence_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "YamlSequence(iterable=None, *, style=\"block\", tag=None, schema=None)\n--\n\n"
                    "A YAML sequence node. Subclass of list; the parent list is always kept in\n"
                    "sync with `inner` so that standard list operations work transparently.")},
    {Py_tp_new, reinterpret_cast<void*>(sequence_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(sequence_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(sequence_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(sequence_clear)},
    {Py_tp_init, reinterpret_cast<void*>(sequence_init)},
    {Py_tp_methods, sequence_methods},
    {Py_tp_getset, sequence_getset},
    {Py_tp_repr, reinterpret_cast<void*>(sequence_repr)},
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
    if (g_sequence_type) return true;
    ref bases = ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyList_Type)));
    if (!bases) return false;
    g_sequence_type =
        reinterpret_cast<PyTypeObject*>(PyType_FromSpecWithBases(&sequence_spec, bases.get()));
    return g_sequence_type != nullptr;
}

ref new_sequence_object(YamlSequence inner, DocMeta meta) {
    return alloc_sequence(g_sequence_type, std::move(inner), std::move(meta));
}

}  // namespace tesvorn::py
