#include "py/view.hpp"

#include <cmath>
#include <unordered_map>

#include "py/convert_detail.hpp"
#include "py/node_common.hpp"
#include "py/nodes.hpp"

namespace tesvorn::py {

namespace {

constexpr const char* kReading = " while reading a YAML node object";

/// The items of a dict or list as a new list: a snapshot that code run
/// while it is read (a key's __hash__, a deepcopy) cannot change.
ref snapshot_items(PyObject* obj) {
    return ref::steal(PyDict_Check(obj) ? PyDict_Items(obj) : PySequence_List(obj));
}

/// Whether every key of a dict is an exact str: copying such a dict runs no
/// Python code, so it can be read in place.
bool str_keys(PyObject* dict) noexcept {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(dict, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key)) return false;
    return true;
}

class PlainCopier {
  public:
    ref copy(PyObject* obj) {
        const bool dict = PyDict_Check(obj);
        if (!dict && !PyList_Check(obj)) {
            // (A YamlScalar is held only where one was put through dict's or
            // list's own methods: its plain value, as a dump writes it.)
            if (is_scalar_object(obj))
                return ref::steal(PyObject_CallMethod(obj, "to_python", nullptr));
            return ref::borrow(obj);
        }
        if (auto it = done_.find(obj); it != done_.end()) return it->second.dup();
        RecursionGuard guard(kReading);
        if (!guard) return ref();
        ref out = ref::steal(dict ? PyDict_New() : PyList_New(0));
        if (!out) return out;
        done_.emplace(obj, out.dup());
        if (!dict) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
                const ref held = ref::borrow(PyList_GET_ITEM(obj, i));
                ref value = copy(held.get());
                if (!value || PyList_Append(out.get(), value.get()) < 0) return ref();
            }
            return out;
        }
        if (str_keys(obj)) {
            Py_ssize_t pos = 0;
            PyObject* key;
            PyObject* item;
            while (PyDict_Next(obj, &pos, &key, &item)) {
                const ref held_key = ref::borrow(key), held = ref::borrow(item);
                ref value = copy(held.get());
                if (!value || PyDict_SetItem(out.get(), held_key.get(), value.get()) < 0)
                    return ref();
            }
            return out;
        }
        // Other keys may run code when hashed: work on a snapshot.
        ref items = snapshot_items(obj);
        if (!items) return ref();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            PyObject* pair = PyList_GET_ITEM(items.get(), i);
            ref value = copy(PyTuple_GET_ITEM(pair, 1));
            if (!value || PyDict_SetItem(out.get(), PyTuple_GET_ITEM(pair, 0), value.get()) < 0)
                return ref();
        }
        return out;
    }

  private:
    // Originals stay alive for the call: the fast paths run no Python code
    // that could drop them, and the snapshot holds what the other reads.
    std::unordered_map<PyObject*, ref> done_;
};

bool is_shared_leaf(PyObject* v) noexcept {
    PyTypeObject* t = Py_TYPE(v);
    return v == Py_None || t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type ||
           t == &PyBool_Type || t == &PyBytes_Type;
}

/// memo[id(obj)] as copy.deepcopy keeps it; null without an error when
/// absent.
ref memo_get(PyObject* memo, PyObject* obj, bool& failed) {
    failed = false;
    ref key = ref::steal(PyLong_FromVoidPtr(obj));
    if (!key) {
        failed = true;
        return ref();
    }
    ref found = ref::borrow(PyDict_GetItemWithError(memo, key.get()));
    if (!found && PyErr_Occurred()) failed = true;
    return found;
}

/// memo[id(obj)] = copy, and `obj` kept alive in memo[id(memo)] as
/// copy.deepcopy does, so that its id cannot be reused while memo lives.
bool memo_put(PyObject* memo, PyObject* obj, PyObject* copy) {
    ref key = ref::steal(PyLong_FromVoidPtr(obj));
    if (!key || PyDict_SetItem(memo, key.get(), copy) < 0) return false;
    ref memo_key = ref::steal(PyLong_FromVoidPtr(memo));
    if (!memo_key) return false;
    ref keep = ref::borrow(PyDict_GetItemWithError(memo, memo_key.get()));
    if (!keep) {
        if (PyErr_Occurred()) return false;
        keep = ref::steal(PyList_New(0));
        if (!keep || PyDict_SetItem(memo, memo_key.get(), keep.get()) < 0) return false;
    }
    return !PyList_Check(keep.get()) || PyList_Append(keep.get(), obj) == 0;
}

ref deepcopy_leaf(PyObject* value, PyObject* memo) {
    static PyObject* deepcopy = nullptr;  // copy.deepcopy, kept for the life of the process
    if (deepcopy == nullptr) {
        ref module = ref::steal(PyImport_ImportModule("copy"));
        if (!module) return ref();
        deepcopy = PyObject_GetAttrString(module.get(), "deepcopy");
        if (deepcopy == nullptr) return ref();
    }
    return ref::steal(PyObject_CallFunctionObjArgs(deepcopy, value, memo, nullptr));
}

}  // namespace

ref to_plain(PyObject* obj) {
    return ref::steal(guarded([&]() -> PyObject* { return PlainCopier().copy(obj).release(); }));
}

ref copy_node_object(PyObject* obj, PyObject* memo, bool deep) {
    RecursionGuard guard(kReading);
    if (!guard) return ref();
    ref own_memo;
    if (memo == nullptr) {
        own_memo = ref::steal(PyDict_New());
        if (!own_memo) return ref();
        memo = own_memo.get();
    }
    bool failed = false;
    if (ref done = memo_get(memo, obj, failed)) return done;
    if (failed) return ref();
    const bool mapping = is_mapping_object(obj);
    ref out;
    ref items = snapshot_items(obj);
    if (!items) return ref();
    {
        SharedBorrow borrow(node_borrow(obj));
        if (!borrow.ok()) return ref();
        out = mapping ? new_mapping_object(as_mapping(obj)->inner, as_mapping(obj)->meta.get())
                      : new_sequence_object(as_sequence(obj)->inner, as_sequence(obj)->meta.get());
        if (out && mapping) as_mapping(out.get())->loaded_by_schema = loaded_by_schema(obj);
        if (out && !mapping) as_sequence(out.get())->loaded_by_schema = loaded_by_schema(obj);
    }
    if (!out || !memo_put(memo, obj, out.get())) return ref();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        PyObject* value = mapping ? PyTuple_GET_ITEM(item, 1) : item;
        ref copied;
        if (is_container_object(value)) {
            copied = copy_node_object(value, memo, deep);
        } else if (deep && !is_shared_leaf(value)) {
            copied = deepcopy_leaf(value, memo);
        } else {
            copied = ref::borrow(value);
        }
        if (!copied) return ref();
        // Filled directly: the new object's tree already holds the entries.
        const int rc = mapping ? PyDict_SetItem(out.get(), PyTuple_GET_ITEM(item, 0), copied.get())
                               : PyList_Append(out.get(), copied.get());
        if (rc < 0) return ref();
    }
    return out;
}

bool append_value_text(std::string& out, PyObject* v) {
    PyTypeObject* t = Py_TYPE(v);
    if (t == &PyUnicode_Type) {
        std::string_view text;
        if (!str_utf8(v, text)) return false;
        out += quoted(text);
        return true;
    }
    if (v == Py_None || t == &PyBool_Type) {
        out += v == Py_None ? "None" : v == Py_True ? "True" : "False";
        return true;
    }
    if (t == &PyFloat_Type) {
        const double d = PyFloat_AS_DOUBLE(v);
        if (std::isnan(d)) {
            out += "NaN";
        } else if (std::isinf(d)) {
            out += d > 0 ? "inf" : "-inf";
        } else {
            append_shortest_fixed(out, d);
        }
        return true;
    }
    ref text = ref::steal(PyObject_Repr(v));
    std::string_view utf8;
    if (!text || !str_utf8(text.get(), utf8)) return false;
    out += utf8;
    return true;
}

ref node_repr(PyObject* obj) {
    const bool mapping = is_mapping_object(obj);
    const char* open = mapping ? "YamlMapping({" : "YamlSequence([";
    const char* close = mapping ? "})" : "])";
    const int entered = Py_ReprEnter(obj);
    if (entered < 0) return ref();
    if (entered > 0) return make_str(std::string(open) + "..." + close);
    struct Leave {
        PyObject* obj;
        ~Leave() { Py_ReprLeave(obj); }
    } leave{obj};
    ref items = snapshot_items(obj);
    if (!items) return ref();
    std::string text = open;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        if (i != 0) text += ", ";
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        if (mapping) {
            if (!append_value_text(text, PyTuple_GET_ITEM(item, 0))) return ref();
            text += ": ";
            item = PyTuple_GET_ITEM(item, 1);
        }
        if (!append_value_text(text, item)) return ref();
    }
    text += close;
    return make_str(text);
}

bool current_node(const YamlNode& node, PyObject* value, YamlNode& out) {
    return guarded([&]() -> bool {
        detail::ConvertContext ctx;
        if (!detail::Extractor(nullptr, ctx, false).value_of(node, value, out)) return false;
        while (AliasNode* a = out.alias()) {
            YamlNode target = std::move(*a->target);
            out = std::move(target);
        }
        return true;
    });
}

}  // namespace tesvorn::py
