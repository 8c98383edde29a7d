// Native state of the three node classes (YamlMapping, YamlSequence,
// YamlScalar) and the interfaces the load and dump conversions use to make
// and read them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "core/types.hpp"
#include "py/borrow.hpp"
#include "py/ref.hpp"

namespace tesvorn::py {

/// The bridge's copy of one document's metadata.
using DocMeta = DocMetadata;

/// A node object's DocMeta held in one pointer: only a document's root has
/// any, and every nested collection of a loaded document is an object too.
/// Absent reads as empty; `mut()` creates it. Copies are deep.
class MetaRef {
  public:
    MetaRef() noexcept = default;
    explicit MetaRef(DocMeta&& meta) {
        if (!is_empty(meta)) p_ = std::make_unique<DocMeta>(std::move(meta));
    }
    MetaRef(const MetaRef& other) : p_(other.p_ ? std::make_unique<DocMeta>(*other.p_) : nullptr) {}
    MetaRef(MetaRef&&) noexcept = default;
    MetaRef& operator=(const MetaRef&) = delete;
    MetaRef& operator=(MetaRef&&) noexcept = default;
    ~MetaRef() = default;

    [[nodiscard]] const DocMeta& get() const noexcept { return p_ ? *p_ : kEmpty; }
    DocMeta& mut() {
        if (!p_) p_ = std::make_unique<DocMeta>();
        return *p_;
    }

  private:
    static bool is_empty(const DocMeta& m) noexcept {
        return !m.explicit_start && !m.explicit_end && !m.yaml_version &&
               m.tag_directives->empty() && m.layout.get() == nullptr;
    }
    static const DocMeta kEmpty;
    std::unique_ptr<DocMeta> p_;
};

/// Whether a node object's tree is written as it stands: nothing in it is
/// read from the Python part (no collections, no aliases) and nothing has
/// to be settled (no anchors, no keys written as aliases or complex keys).
/// A dump shares such a tree instead of copying it.
bool self_contained(const YamlMapping& m) noexcept;
bool self_contained(const YamlSequence& q) noexcept;

/// `self_contained` of an object's tree, remembered for the number of
/// writes the object's borrow flag had counted when it was found (0:
/// nothing remembered). Read and written under shared access.
class ContainedMark {
  public:
    /// The answer remembered for `writes`, if any.
    [[nodiscard]] std::optional<bool> get(std::uint64_t writes) const noexcept {
        const std::uint64_t v = v_.load(std::memory_order_relaxed);
        if (v >> 1 != writes + 1) return std::nullopt;
        return (v & 1) != 0;
    }
    void set(std::uint64_t writes, bool contained) noexcept {
        v_.store(((writes + 1) << 1) | (contained ? 1 : 0), std::memory_order_relaxed);
    }

  private:
    std::atomic<std::uint64_t> v_{0};
};

/// A YamlMapping instance: a real dict (the parent dict) followed by the
/// model mapping `inner` and the document metadata. `inner` is a shared
/// record: a dump shares it instead of copying it, and a copy of the object
/// shares it until one of them changes. Read it with `get()` (under a
/// shared borrow); change it only through `mut()`, under an exclusive one.
struct MappingObject {
    PyDictObject dict;
    BorrowFlag borrow;
    Cow<YamlMapping> inner;
    MetaRef meta;
    ContainedMark contained;
    /// Whether the dict may have changed other than through the class: a
    /// watcher of the dict sees every change. While it is kClean, `in_step`
    /// need not compare the values.
    enum Watch : std::uint8_t { kClean = 0, kChanged = 1, kUnwatched = 2 };
    std::atomic<std::uint8_t> watch{kUnwatched};
    /// Read with a schema's loaders: a tagged value may be a loader's
    /// result, which the tree cannot tell from a change.
    bool loaded_by_schema = false;
};

/// Watches the dict of mapping object `m`, which holds what its tree says,
/// for changes made behind the class from now on.
void watch_dict(MappingObject* m) noexcept;

/// A YamlSequence instance: a real list (the parent list), `inner` (shared
/// as above) and the document metadata.
struct SequenceObject {
    PyListObject list;
    BorrowFlag borrow;
    Cow<YamlSequence> inner;
    MetaRef meta;
    ContainedMark contained;
    bool loaded_by_schema = false;  // as MappingObject's
};

/// Whether node object `o`'s values were made with a schema's loaders.
inline bool loaded_by_schema(PyObject* o) noexcept;

/// A YamlScalar instance: one node (normally a Scalar) and the metadata.
struct ScalarObject {
    PyObject_HEAD BorrowFlag borrow;
    YamlNode node;
    MetaRef meta;
};

/// The three types (borrowed; each created once per process by its init).
PyTypeObject* mapping_type() noexcept;
PyTypeObject* sequence_type() noexcept;
PyTypeObject* scalar_type() noexcept;
[[nodiscard]] bool init_mapping_type() noexcept;
[[nodiscard]] bool init_sequence_type() noexcept;
[[nodiscard]] bool init_scalar_type() noexcept;

inline bool is_mapping_object(PyObject* o) noexcept {
    return PyObject_TypeCheck(o, mapping_type());
}
inline bool is_sequence_object(PyObject* o) noexcept {
    return PyObject_TypeCheck(o, sequence_type());
}
inline bool is_scalar_object(PyObject* o) noexcept {
    return PyObject_TypeCheck(o, scalar_type());
}
/// A YamlMapping or YamlSequence: an object whose Python part holds values.
inline bool is_container_object(PyObject* o) noexcept {
    return is_mapping_object(o) || is_sequence_object(o);
}
inline MappingObject* as_mapping(PyObject* o) noexcept {
    return reinterpret_cast<MappingObject*>(o);
}
inline SequenceObject* as_sequence(PyObject* o) noexcept {
    return reinterpret_cast<SequenceObject*>(o);
}
inline ScalarObject* as_scalar(PyObject* o) noexcept {
    return reinterpret_cast<ScalarObject*>(o);
}
inline bool loaded_by_schema(PyObject* o) noexcept {
    if (is_mapping_object(o)) return as_mapping(o)->loaded_by_schema;
    if (is_sequence_object(o)) return as_sequence(o)->loaded_by_schema;
    return false;
}

/// Whether a node object's Python part holds what its tree says (read
/// under a borrow of the object): as many values, under the same keys, and
/// for every untagged scalar slot a value of the same kind and data. The
/// node classes keep the two in step; a change made through the base
/// class's own methods (`dict.__setitem__(m, k, v)`, `list.reverse(s)`,
/// `heapq.heapify(s)`) does not, and a dump then writes what the Python
/// part holds. Never fails.
bool in_step(PyObject* o, const YamlMapping& tree) noexcept;
bool in_step(PyObject* o, const YamlSequence& tree) noexcept;
/// Makes node object `self`'s tree hold what its Python part holds (see
/// in_step), keeping each value's slot while it holds the same data; false
/// with an exception set on failure. The class's methods call it first, so
/// that comments, styles and positions follow a change made behind them.
[[nodiscard]] bool bring_in_step(PyObject* self);

/// New YamlMapping owning `inner` and `meta`, with an empty parent dict that
/// the caller fills directly (PyDict_SetItem, bypassing the class's hooks).
ref new_mapping_object(Cow<YamlMapping> inner, DocMeta meta);
/// New YamlSequence owning `inner` and `meta`, with an empty parent list that
/// the caller fills directly (PyList_Append).
ref new_sequence_object(Cow<YamlSequence> inner, DocMeta meta);
/// New YamlScalar holding `node` as is.
ref new_scalar_object(YamlNode node, DocMeta meta);

}  // namespace tesvorn::py
