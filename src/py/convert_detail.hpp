// Internals shared by the dump converters (the general value converter, the
// document extractor and the piece writer): the per-document anchor
// registry, the in-progress marks, and the container-filling helpers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/emitter.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"

namespace tesvorn::py::detail {

constexpr const char* kDumping = " while dumping to YAML";

/// Containers of one document by identity: how often the census reached
/// each, the anchor number issued to it, and whether its conversion is under
/// way. Open addressing on the address; slot references stay valid only
/// until the next `add`.
class IdentityTable {
  public:
    struct Slot {
        PyObject* obj;
        std::uint32_t count;
        std::uint32_t anchor;  // 1 for id001, ...; 0 while none is issued
        bool busy;
    };

    IdentityTable() : slots_(kInitialSize) {}

    [[nodiscard]] Slot* find(PyObject* obj) noexcept {
        for (std::size_t i = home(obj);; i = (i + 1) & mask()) {
            Slot& s = slots_[i];
            if (s.obj == obj) return &s;
            if (s.obj == nullptr) return nullptr;
        }
    }

    /// The slot of `obj`, added with a zero count when absent.
    Slot& add(PyObject* obj) {
        if ((used_ + 1) * 2 > slots_.size()) grow();
        for (std::size_t i = home(obj);; i = (i + 1) & mask()) {
            Slot& s = slots_[i];
            if (s.obj == obj) return s;
            if (s.obj == nullptr) {
                s.obj = obj;
                ++used_;
                return s;
            }
        }
    }

    template <class F>
    void for_each(F&& f) {
        for (Slot& s : slots_)
            if (s.obj != nullptr) f(s);
    }

  private:
    static constexpr unsigned kInitialBits = 6;
    static constexpr std::size_t kInitialSize = std::size_t{1} << kInitialBits;

    [[nodiscard]] std::size_t mask() const noexcept { return slots_.size() - 1; }
    [[nodiscard]] std::size_t home(PyObject* obj) const noexcept {
        // Fibonacci hashing: the multiply spreads the address bits (the low
        // ones are alignment) into the top bits, which are kept.
        const auto v = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(obj));
        return static_cast<std::size_t>((v * 0x9E3779B97F4A7C15ull) >> (64 - bits_));
    }
    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        ++bits_;
        for (const Slot& s : old) {
            if (s.obj == nullptr) continue;
            std::size_t i = home(s.obj);
            while (slots_[i].obj != nullptr) i = (i + 1) & mask();
            slots_[i] = s;
        }
    }

    std::vector<Slot> slots_;
    std::size_t used_ = 0;
    unsigned bits_ = kInitialBits;
};

/// One document's anchor registry: the census in `table`, and the number of
/// names issued. The containers met twice or more are held alive, so that
/// their identities cannot be reused by new objects while Python code runs
/// during the conversion.
struct AnchorRegistry {
    IdentityTable table;
    std::uint32_t counter = 0;
    std::vector<ref> held;

    /// Keeps every container met twice or more alive for the document.
    void hold_shared() {
        table.for_each([this](IdentityTable::Slot& s) {
            if (s.count >= 2) held.push_back(ref::borrow(s.obj));
        });
    }
};

/// The registry of the document being converted on this thread, if any.
extern thread_local AnchorRegistry* t_anchors;
/// Containers under conversion while no registry is installed (values
/// assigned into node objects outside a dump).
extern thread_local std::unordered_set<PyObject*> t_in_progress;

/// Installs a registry for one document; the previous one (if a dumper
/// started a nested dump) comes back when the guard ends, on every path.
class AnchorGuard {
  public:
    explicit AnchorGuard(AnchorRegistry& registry) noexcept : previous_(t_anchors) {
        t_anchors = &registry;
    }
    AnchorGuard(const AnchorGuard&) = delete;
    AnchorGuard& operator=(const AnchorGuard&) = delete;
    ~AnchorGuard() { t_anchors = previous_; }

  private:
    AnchorRegistry* previous_;
};

/// Marks a container as being converted until the mark ends: in the
/// document's registry during a dump, else in the thread's own set.
class ProgressMark {
  public:
    ProgressMark(AnchorRegistry* registry, PyObject* obj) : registry_(registry), obj_(obj) {
        if (registry_ != nullptr) {
            IdentityTable::Slot& s = registry_->table.add(obj);
            fresh_ = !s.busy;
            s.busy = true;
        } else {
            fresh_ = t_in_progress.insert(obj).second;
        }
    }
    ProgressMark(const ProgressMark&) = delete;
    ProgressMark& operator=(const ProgressMark&) = delete;
    ~ProgressMark() {
        if (!fresh_) return;
        if (registry_ == nullptr) {
            t_in_progress.erase(obj_);
        } else if (IdentityTable::Slot* s = registry_->table.find(obj_)) {
            s->busy = false;
        }
    }
    /// False when the container was already being converted.
    [[nodiscard]] bool fresh() const noexcept { return fresh_; }

  private:
    AnchorRegistry* registry_;
    PyObject* obj_;
    bool fresh_ = false;
};

inline bool is_plain_container(PyObject* obj) noexcept {
    constexpr unsigned long kFlags =
        Py_TPFLAGS_DICT_SUBCLASS | Py_TPFLAGS_LIST_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS;
    return (Py_TYPE(obj)->tp_flags & kFlags) != 0 && !is_mapping_object(obj) &&
           !is_sequence_object(obj);
}

void prepass(PyObject* root, IdentityTable& table);
std::string anchor_name(std::uint32_t number);

/// The exact built-in scalar types, converted without calling into Python:
/// true when `out` was set. Anything else (subclasses, ints beyond 64 bits,
/// strings that cannot be encoded) is left to the general rules.
bool exact_scalar(PyObject* obj, YamlNode& out);
/// A mapping key's text; TypeError for anything but a str.
bool key_string(PyObject* key, std::string& out);
/// Appends (or, for a repeated key text, replaces) the entry of `key` and
/// returns its value slot, which stays put while the value is converted.
YamlNode* entry_slot(YamlMapping& m, PyObject* key);

/// Fills `m` from a mapping's items(): the iteration order of dict
/// subclasses such as OrderedDict and of other mappings.
template <class Convert>
bool items_to_mapping(PyObject* obj, Convert&& convert, YamlMapping& m) {
    ref items = ref::steal(PyObject_CallMethod(obj, "items", nullptr));
    if (!items) return false;
    ref it = ref::steal(PyObject_GetIter(items.get()));
    if (!it) return false;
    while (ref pair = ref::steal(PyIter_Next(it.get()))) {
        ref key = ref::steal(PySequence_GetItem(pair.get(), 0));
        if (!key) return false;
        ref value = ref::steal(PySequence_GetItem(pair.get(), 1));
        if (!value) return false;
        YamlNode* slot = entry_slot(m, key.get());
        if (slot == nullptr || !convert(value.get(), *slot)) return false;
    }
    return !PyErr_Occurred();
}

/// Fills `m` from a dict in its iteration order, values by `convert`.
template <class Convert>
bool dict_to_mapping(PyObject* dict, Convert&& convert, YamlMapping& m) {
    if (!PyDict_CheckExact(dict)) return items_to_mapping(dict, convert, m);
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    m.entries.reserve(static_cast<std::size_t>(size));
    Py_ssize_t pos = 0;
    PyObject* k;
    PyObject* v;
    while (PyDict_Next(dict, &pos, &k, &v)) {
        // Hold both: converting the value may run code that changes the dict.
        ref key = ref::borrow(k);
        ref value = ref::borrow(v);
        YamlNode* slot = entry_slot(m, key.get());
        if (slot == nullptr || !convert(value.get(), *slot)) return false;
        if (PyDict_GET_SIZE(dict) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return false;
        }
    }
    return true;
}

/// Fills `s` from a list's or tuple's items, by `convert`.
template <class Convert>
bool items_to_sequence(PyObject* seq, Convert&& convert, YamlSequence& s) {
    const bool is_list = PyList_Check(seq);
    const Py_ssize_t n = is_list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq);
    s.items.reserve(static_cast<std::size_t>(n));
    // A list may change while its items are converted: re-check the size.
    for (Py_ssize_t i = 0; i < (is_list ? PyList_GET_SIZE(seq) : n); ++i) {
        ref item = ref::borrow(is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i));
        if (!convert(item.get(), s.items.emplace_back().node)) return false;
    }
    return true;
}

/// Fills `s` from any iterable.
template <class Convert>
bool iterator_to_sequence(PyObject* it, Convert&& convert, YamlSequence& s) {
    while (ref item = ref::steal(PyIter_Next(it))) {
        if (!convert(item.get(), s.items.emplace_back().node)) return false;
    }
    return !PyErr_Occurred();
}

inline const char* container_kind(PyObject* obj) noexcept {
    return PyDict_Check(obj) ? "dict" : PyList_Check(obj) ? "list" : "tuple";
}

/// A copy of a YamlScalar object's node.
bool copy_scalar_object(PyObject* obj, YamlNode& out);

/// The general value converter (`py_to_node`), with the registry whose
/// in-progress marks it shares during a dump.
bool to_node(PyObject* obj, SchemaObject* schema, AnchorRegistry* registry, YamlNode& out);

/// Copies an entry's metadata, and its value unless that is a collection
/// (whose current contents come from the object's Python part instead).
YamlEntry copy_entry_shallow(const YamlEntry& e);

template <class Container>
void copy_container_metadata(const Container& from, Container& to) {
    to.style = from.style;
    to.tag = from.tag;
    to.anchor = from.anchor;
    to.trailing_blank_lines = from.trailing_blank_lines;
}

/// The dump converter (`extract_yaml_node`) for one document.
class Extractor {
  public:
    Extractor(SchemaObject* schema, AnchorRegistry* registry) noexcept
        : schema_(schema), registry_(registry) {}

    bool convert(PyObject* obj, YamlNode& out) {
        if (exact_scalar(obj, out)) return true;
        PyTypeObject* type = Py_TYPE(obj);
        if (type == &PyDict_Type || type == &PyList_Type || type == &PyTuple_Type)
            return plain_container(obj, out);
        if (is_mapping_object(obj)) return mapping_object(obj, out);
        if (is_sequence_object(obj)) return sequence_object(obj, out);
        if (is_scalar_object(obj)) return copy_scalar_object(obj, out);
        if (auto scalar = py_primitive_to_scalar(obj)) {
            out = YamlNode(std::move(*scalar));
            return true;
        }
        if (PyDict_Check(obj) || PyList_Check(obj) || PyTuple_Check(obj))
            return plain_container(obj, out);
        return to_node(obj, schema_, registry_, out);
    }

  private:
    /// A dict, list or tuple: the anchor step, then its contents.
    bool plain_container(PyObject* obj, YamlNode& out) {
        RecursionGuard guard(kDumping, RecursionGuard::kMaxDumpDepth);
        if (!guard) return false;
        std::optional<std::string> anchor;
        if (registry_ != nullptr) {
            IdentityTable::Slot* slot = registry_->table.find(obj);
            if (slot != nullptr && slot->count >= 2) {
                if (slot->anchor != 0) {
                    out = YamlNode(AliasNode{anchor_name(slot->anchor), Box<YamlNode>()});
                    return true;
                }
                slot->anchor = ++registry_->counter;
                anchor = anchor_name(slot->anchor);
            }
        }
        // A container the census did not see (reached only through a node
        // object's Python part) must not recurse into itself for ever.
        ProgressMark mark(registry_, obj);
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

    /// A YamlMapping object: its own metadata and every entry's metadata
    /// from `inner`; for an entry whose node there is a collection, the
    /// object its dict now holds under the key (left out when missing).
    bool mapping_object(PyObject* obj, YamlNode& out) {
        RecursionGuard guard(kDumping, RecursionGuard::kMaxDumpDepth);
        if (!guard) return false;
        ProgressMark mark(registry_, obj);
        if (!mark.fresh()) {
            raise_self_referential();
            return false;
        }
        MappingObject* m = as_mapping(obj);
        YamlMapping& result = out.emplace_mapping();
        std::vector<std::size_t> from_dict;
        {
            SharedBorrow borrow(m->borrow);
            if (!borrow.ok()) return false;
            copy_container_metadata(m->inner, result);
            result.entries.reserve(m->inner.entries.size());
            for (const auto& slot : m->inner.entries) {
                const std::size_t at =
                    result.entries.insert(slot.key, copy_entry_shallow(slot.value));
                if (slot.value.value.is_collection()) from_dict.push_back(at);
            }
        }
        std::vector<std::size_t> missing;
        for (const std::size_t i : from_dict) {
            auto& slot = result.entries.at(i);
            ref key = make_str(slot.key);
            if (!key) return false;
            ref value = ref::borrow(PyDict_GetItemWithError(obj, key.get()));
            if (!value) {
                if (PyErr_Occurred()) return false;
                missing.push_back(i);
                continue;
            }
            if (!convert(value.get(), slot.value.value)) return false;
        }
        for (auto i = missing.rbegin(); i != missing.rend(); ++i) result.entries.erase_at(*i);
        return true;
    }

    /// A YamlSequence object: the same by index.
    bool sequence_object(PyObject* obj, YamlNode& out) {
        RecursionGuard guard(kDumping, RecursionGuard::kMaxDumpDepth);
        if (!guard) return false;
        ProgressMark mark(registry_, obj);
        if (!mark.fresh()) {
            raise_self_referential();
            return false;
        }
        SequenceObject* s = as_sequence(obj);
        YamlSequence& result = out.emplace_sequence();
        std::vector<std::size_t> from_list;
        {
            SharedBorrow borrow(s->borrow);
            if (!borrow.ok()) return false;
            copy_container_metadata(s->inner, result);
            result.items.reserve(s->inner.items.size());
            for (const YamlItem& item : s->inner.items) {
                YamlItem& copy = result.items.emplace_back();
                if (item.node.is_collection()) {
                    from_list.push_back(result.items.size() - 1);
                } else {
                    copy.node = item.node;
                }
                copy.comment_before = item.comment_before;
                copy.comment_inline = item.comment_inline;
                copy.blank_lines_before = item.blank_lines_before;
            }
        }
        std::vector<std::size_t> missing;
        for (const std::size_t i : from_list) {
            // Python code run by a conversion may shorten the list.
            if (static_cast<Py_ssize_t>(i) >= PyList_GET_SIZE(obj)) {
                missing.push_back(i);
                continue;
            }
            ref element = ref::borrow(PyList_GET_ITEM(obj, static_cast<Py_ssize_t>(i)));
            if (!convert(element.get(), result.items[i].node)) return false;
        }
        for (auto i = missing.rbegin(); i != missing.rend(); ++i)
            result.items.erase(result.items.begin() + static_cast<std::ptrdiff_t>(*i));
        return true;
    }

    SchemaObject* schema_;
    AnchorRegistry* registry_;
};

/// A node object's document metadata (the default for anything else).
bool read_doc_meta(PyObject* doc, DocMeta& meta);

}  // namespace tesvorn::py::detail
