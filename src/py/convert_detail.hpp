// Internals shared by the dump converters (the general value converter, the
// document extractor and the piece writer): the per-document anchor
// registry, the in-progress marks, and the container-filling helpers.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
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
    };

    // The slots are made on the first `add`: a document of node objects
    // has no plain containers to count.
    IdentityTable() = default;

    [[nodiscard]] Slot* find(PyObject* obj) noexcept {
        if (slots_.empty()) return nullptr;
        for (std::size_t i = home(obj);; i = (i + 1) & mask()) {
            Slot& s = slots_[i];
            if (s.obj == obj) return &s;
            if (s.obj == nullptr) return nullptr;
        }
    }

    /// The slot of `obj`, added with a zero count when absent.
    Slot& add(PyObject* obj) {
        if (slots_.empty()) {
            slots_.resize(kInitialSize);
        } else if ((used_ + 1) * 2 > slots_.size()) {
            grow();
        }
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
    /// The containers being converted, outermost first.
    std::vector<PyObject*> open;

    // Room for the nesting of most documents at once.
    AnchorRegistry() { open.reserve(16); }

    /// Keeps every container met twice or more alive for the document.
    void hold_shared() {
        table.for_each([this](IdentityTable::Slot& s) {
            if (s.count >= 2) held.push_back(ref::borrow(s.obj));
        });
    }
};

/// The state of one conversion of Python values into trees (a dump, or a
/// value assigned into a node object), handed down every call rather than
/// kept per thread: a dumper that converts values again, or a nested dump,
/// starts a conversion of its own.
struct ConvertContext {
    /// The document's anchors during a dump; null for a value assigned into
    /// a node object (no anchors for shared plain containers).
    AnchorRegistry* registry = nullptr;
    /// Containers under conversion when there is no registry, outermost
    /// first.
    std::vector<PyObject*> open;
    /// How deeply dumpers' data nests.
    int dumper_depth = 0;
    /// While a value assigned into a node object is converted: where the
    /// "Cannot convert" exception is noted, the one failure that keeps the
    /// value unconverted (any other propagates).
    ref* unconvertible = nullptr;

    explicit ConvertContext(AnchorRegistry* r = nullptr) noexcept : registry(r) {}
    ConvertContext(const ConvertContext&) = delete;
    ConvertContext& operator=(const ConvertContext&) = delete;

    [[nodiscard]] std::vector<PyObject*>& in_progress() noexcept {
        return registry != nullptr ? registry->open : open;
    }
};

/// Marks a container as being converted until the mark ends, in the list of
/// containers open around it. Only those are searched: a short list that
/// stays in cache, where a table of every container met would not.
class ProgressMark {
  public:
    ProgressMark(std::vector<PyObject*>& open, PyObject* obj) : open_(open) {
        fresh_ = std::find(open_.begin(), open_.end(), obj) == open_.end();
        if (fresh_) open_.push_back(obj);
    }
    ProgressMark(const ProgressMark&) = delete;
    ProgressMark& operator=(const ProgressMark&) = delete;
    ~ProgressMark() {
        if (fresh_) open_.pop_back();
    }
    /// False when the container was already being converted.
    [[nodiscard]] bool fresh() const noexcept { return fresh_; }

  private:
    std::vector<PyObject*>& open_;
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

/// The general value converter (`py_to_node`), within conversion `ctx`.
bool to_node(PyObject* obj, SchemaObject* schema, ConvertContext& ctx, YamlNode& out);

/// The dump converter (`extract_yaml_node`). It converts in document order,
/// so that at each alias it knows what the anchor of that name holds in the
/// text written so far: an alias is written as `*name` only while its
/// current value is the same data as that anchor's, and as its value
/// otherwise, so that the text always loads back to what the objects hold.
class Extractor {
  public:
    /// Without a registry in `ctx`: no anchors for shared plain containers.
    /// `settle` false: aliases are kept as they are (conversions that do
    /// not write).
    Extractor(SchemaObject* schema, ConvertContext& ctx, bool settle = true) noexcept
        : schema_(schema), ctx_(ctx), registry_(ctx.registry), settle_(settle) {}

    /// Any value, as a dump writes it.
    bool convert(PyObject* obj, YamlNode& out);

    /// Whether the value of an entry or item whose node in the tree is
    /// `node` depends on the value its parent holds: the Python part of a
    /// node object decides for collections (including placeholders and the
    /// sources of loaded values) and for aliases; scalars are read from the
    /// tree.
    static bool needs_value(const YamlNode& node) noexcept {
        return node.is_collection() || node.alias() != nullptr;
    }

    /// The value to write for an entry or item: `node` is its node in the
    /// tree, `value` what the parent holds (null when it holds nothing).
    bool value_of(const YamlNode& node, PyObject* value, YamlNode& out);

    /// A copy of a mapping object's tree taken under shared access (the
    /// entries' values not yet current).
    static bool snapshot(PyObject* obj, YamlMapping& out);
    static bool snapshot(PyObject* obj, YamlSequence& out);
    /// The same without a copy: `out` shares the record of mapping or
    /// sequence object `obj`, which stays as it is while Python code run
    /// by conversions changes the object (a change copies the record
    /// first). Read it through a const node: a change to `out` copies it.
    static bool share_record(PyObject* obj, YamlNode& out);

    /// What the parent holds for an entry (`key`, entry `index` of mapping
    /// object `obj`) or an item (`index` of sequence object `obj`) whose
    /// tree node is `node`, when `needs_value`; `present` is false when the
    /// entry or item is to be left out (a collection the parent no longer
    /// holds).
    static bool parent_value(PyObject* obj, std::string_view key, std::size_t index,
                             const YamlNode& node, ref& value, bool& present);
    static bool parent_value(PyObject* obj, std::size_t index, const YamlNode& node, ref& value,
                             bool& present);
    /// Whether `value_of(node, value)` is the conversion of `value` itself.
    static bool writes_value(const YamlNode& node, PyObject* value) noexcept;

    /// Whether `value` may be written through `open_record`.
    static bool fills_by_slot(PyObject* value) noexcept {
        // (The classes themselves first: a subclass check walks the MRO.)
        PyTypeObject* type = Py_TYPE(value);
        return type == mapping_type() || type == sequence_type() || is_mapping_object(value) ||
               is_sequence_object(value);
    }
    /// Shares in `out` the record of mapping or sequence object `obj` when
    /// its slots can be completed one by one as they are written (in the
    /// order mapping_object and sequence_object complete them): a non-empty
    /// block collection without an anchor (aliases after an anchored one
    /// are compared with the whole of it), whose tree is not self-contained,
    /// and whose Python part still holds every collection it records. A
    /// self-contained one is shared whole instead, as `convert` shares it:
    /// false with `whole` set, `out` its value. False otherwise, with an
    /// exception set only when the object could not be read.
    bool open_record(PyObject* obj, YamlNode& out, bool& whole);

    /// Completes entry `e` (from a snapshot of mapping object `obj`) in
    /// document order: its key's properties, then its current value.
    bool finish_entry(PyObject* obj, std::string_view key, std::size_t index, YamlEntry& e,
                      bool& present);
    /// The same for item `index` of sequence object `obj`.
    bool finish_item(PyObject* obj, std::size_t index, YamlItem& item, bool& present);
    /// finish_entry for an entry of a shared record, `stored`, which is not
    /// changed: `out` is set to `stored` when it is written as it stands,
    /// else to `spare`, made from it.
    bool complete_entry(PyObject* obj, std::string_view key, std::size_t index,
                        const YamlEntry& stored, YamlEntry& spare, const YamlEntry*& out,
                        bool& present);
    bool complete_item(PyObject* obj, std::size_t index, const YamlItem& stored, YamlItem& spare,
                       const YamlItem*& out, bool& present);
    /// A collection with anchor `name` is being written: an alias of it
    /// inside it is written as its value.
    void open_anchor(const std::string& name) {
        if (settle_) book_.open(name);
    }
    /// The key's properties of entry `e` (key text `key`), which come
    /// before its value.
    void settle_key(std::string_view key, YamlEntry& e);
    /// The same for a key that is neither an alias nor a complex key, which
    /// settling leaves as it is.
    void settle_simple_key(std::string_view key, const YamlEntry& e) { key_anchor(key, e); }

  private:
    bool plain_container(PyObject* obj, YamlNode& out);
    /// The value to write for alias `alias` whose parent holds `value`: the
    /// alias while that is its anchor's data, else the value itself.
    bool alias_value(const AliasNode& alias, PyObject* value, YamlNode& out);
    /// Writes node object `o` (alternative `K` of a node) as its own tree,
    /// shared rather than copied, when nothing in it depends on anything
    /// else; `shared` says whether it did. `stale` when its Python part is
    /// not in step with its tree (nothing shared).
    template <class Obj, std::size_t K>
    bool share(Obj* o, YamlNode& out, bool& shared, bool& stale);
    template <class Obj, std::size_t K>
    bool share_unfilled(Obj* o, YamlNode& out, bool& whole);
    bool mapping_object(PyObject* obj, YamlNode& out);
    bool sequence_object(PyObject* obj, YamlNode& out);
    /// A node object whose Python part no longer matches its tree (see
    /// in_step): what the Python part holds, each value with the slot of
    /// the tree it still matches.
    bool python_part(PyObject* obj, YamlNode& out);

    /// Settles a subtree copied as it is (the source of a loaded value, an
    /// alias's value, a key node, a dumper's result): records its anchors
    /// and decides its aliases in document order. Returns the subtree to
    /// write instead when an alias in it has to be written as its value.
    std::optional<YamlNode> settled(const YamlNode& node);
    /// Whether `settled` has nothing to do for `node`: no anchor to record
    /// and nothing under it (most values; checked inline, before a call).
    [[nodiscard]] bool settles_as_is(const YamlNode& node) const noexcept {
        if (!settle_ || node.kind() == YamlNode::Null) return true;
        const YamlScalar* s = node.scalar();
        return s != nullptr && !s->props->anchor;
    }
    /// An alias named `name` whose current value is `value`: the node to
    /// write instead, or nothing to keep the alias.
    std::optional<YamlNode> alias_replacement(const std::string& name, const YamlNode& value);
    /// The anchor of a key (text `key`) is defined: an alias of it reads
    /// the key's text, which a rename may have changed, typed as the reader
    /// types it.
    void key_anchor(std::string_view key, const YamlEntry& e) {
        // (Most keys have no anchor: checked inline, before a call.)
        if (e.key_props->anchor && settle_) define_key_anchor(key, e);
    }
    void define_key_anchor(std::string_view key, const YamlEntry& e);
    /// Whether `name` is one of the id001-style anchors of this dump.
    [[nodiscard]] bool issued(std::string_view name) const;

    /// What the text written so far defines under each anchor name, as
    /// the reader resolves aliases: the last node of that name completed
    /// before the alias. A collection's name is open from its properties
    /// until it is complete: an alias of that name inside it, with no other
    /// node of the name in between, would be an alias of its own node.
    class AnchorBook {
      public:
        struct Entry {
            bool open = false;
            YamlNode data;
            std::uint64_t at = 0;  // where the anchor stands in the text, in order
            /// The node object written under the anchor, if it was one:
            /// an alias holding that very object is written as `*name`
            /// without being converted again.
            PyObject* obj = nullptr;
        };
        /// A collection's anchor, before its content; closed by `close`
        /// with the token returned.
        std::uint64_t open(const std::string& name) {
            const std::uint64_t at = ++clock_;
            entries_[name] = Entry{true, YamlNode(), at};
            return at;
        }
        /// A node of that name is complete.
        void define(const std::string& name, const YamlNode& data) {
            entries_[name] = Entry{false, data, ++clock_};
        }
        /// The collection opened as `token` is complete. An anchor of the
        /// same name inside it stands later in the text, so an alias after
        /// the collection reads that one: it stays.
        void close(const std::string& name, std::uint64_t token, const YamlNode& data,
                   PyObject* obj = nullptr) {
            auto it = entries_.find(name);
            if (it != entries_.end() && it->second.at > token) return;
            entries_[name] = Entry{false, data, token, obj};
        }
        /// The node of `name`, complete, was node object `obj`.
        void set_object(const std::string& name, PyObject* obj) {
            auto it = entries_.find(name);
            if (it != entries_.end() && !it->second.open) it->second.obj = obj;
        }
        /// Where the text written so far ends, in the order of `at`.
        [[nodiscard]] std::uint64_t clock() const noexcept { return clock_; }
        /// An anchor whose data is not followed (a key's).
        void forget(const std::string& name) { entries_.erase(name); }
        /// Makes `name` what it is in `other`.
        void restore(const std::string& name, const AnchorBook& other) {
            if (const Entry* e = other.find(name)) {
                entries_[name] = *e;
            } else {
                entries_.erase(name);
            }
        }
        [[nodiscard]] const Entry* find(const std::string& name) const {
            auto it = entries_.find(name);
            return it == entries_.end() ? nullptr : &it->second;
        }

      private:
        std::unordered_map<std::string, Entry> entries_;
        std::uint64_t clock_ = 0;
    };

    /// Closes the anchor of node object `obj`, written as `data`.
    void close_object_anchor(const std::string& name, std::uint64_t token, const YamlNode& data,
                             PyObject* obj) {
        book_.close(name, token, data, obj);
        // Held for the dump: its address must not be reused by another
        // object while the book compares addresses.
        held_.push_back(ref::borrow(obj));
    }
    /// Whether node object `obj`, anchored `name`, is what the text written
    /// so far defines under that name: then an alias writes it.
    [[nodiscard]] const AnchorBook::Entry* written_as(const std::string& name,
                                                      PyObject* obj) const {
        if (!settle_) return nullptr;
        const AnchorBook::Entry* e = book_.find(name);
        return e != nullptr && !e->open && e->obj == obj ? e : nullptr;
    }

    SchemaObject* schema_;
    ConvertContext& ctx_;
    AnchorRegistry* registry_;
    bool settle_;
    AnchorBook book_;
    std::vector<ref> held_;
};

/// A node object's document metadata (the default for anything else).
bool read_doc_meta(PyObject* doc, DocMeta& meta);

}  // namespace tesvorn::py::detail
