// Where blank lines and comment lines go when an edit changes which entry or
// item of a collection is first or last.
//
// The blank lines after an entry or item whose value is a block collection
// belong to the innermost collection on its chain of last values (the reader
// gives them to the deepest collection that ends there): the entry's end
// blank run. An entry's run separates it from what follows, so an edit that
// makes another entry last (a deletion, an addition at the end) or replaces
// the value moves the run along, and the blank lines stay between the same
// neighbours.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_set>
#include <vector>

#include "core/types.hpp"
#include "py/nodes.hpp"
#include "py/ref.hpp"

namespace tesvorn::py {

/// The end blank run under one value: the block collections of its chain of
/// last values, node objects on it held under exclusive access until the
/// run is destroyed. A chain stops at a node object in use (the one being
/// edited among them), which keeps its blank lines.
class EndRun {
  public:
    /// `held`: node objects the caller holds exclusively already, which the
    /// chain goes through as they are (null: none).
    explicit EndRun(const std::unordered_set<PyObject*>* held = nullptr) noexcept
        : held_by_caller_(held) {}
    EndRun(const EndRun&) = delete;
    EndRun& operator=(const EndRun&) = delete;
    ~EndRun();

    /// The run of entry or item `index` of `self`, a mapping or sequence
    /// object held exclusively by the caller; none when `self` is a flow
    /// collection. False with an exception set on failure.
    [[nodiscard]] bool of_slot(PyObject* self, std::size_t index);
    /// The same for a value the caller names: `value` what the parent
    /// holds (null: nothing), `node` its node in the parent's tree.
    [[nodiscard]] bool of_value(PyObject* value, YamlNode* node);
    /// Takes the run off its chain; returns how many blank lines it had.
    /// Call it before the tree that holds the value drops it.
    std::size_t take() noexcept;

  private:
    const std::unordered_set<PyObject*>* held_by_caller_;
    std::vector<ChainLevel> levels_;  // the value's own collection first
    std::vector<ref> held_;           // node objects whose access this run holds
};

/// Moves runs for an edit of `self` (a mapping or sequence object held
/// exclusively) that replaces its slots [first, last) by `added` new ones:
/// prepared before anything changes, done once the parent dict or list has
/// changed and before the tree drops the slots.
class SlotEdit {
  public:
    /// `held` as for EndRun.
    explicit SlotEdit(const std::unordered_set<PyObject*>* held = nullptr) noexcept
        : gap_(held), end_(held) {}
    /// False with an exception set on failure (nothing changed then).
    [[nodiscard]] bool prepare(PyObject* self, std::size_t first, std::size_t last,
                               std::size_t added);
    void commit() noexcept;

  private:
    PyObject* self_ = nullptr;
    EndRun gap_;  // the run before removed last slots
    EndRun end_;  // the run of the last slot, which goes up to `self`
};

/// Replacing the value of slot `index`: its old value's run goes to the
/// next slot's blank lines, or to the collection's when it was last.
class ValueEdit {
  public:
    /// Call before the parent dict or list changes (it reads the old value).
    [[nodiscard]] bool prepare(PyObject* self, std::size_t index);
    /// Call before the tree drops the old value.
    void commit() noexcept;

  private:
    PyObject* self_ = nullptr;
    std::size_t index_ = 0;
    EndRun run_;
};

/// Before the first entry or item of a document's root goes: comment lines
/// above it that a blank line separates from it are the document's, and
/// stay (the root's records take them into the document's head). `self` is
/// the root object, held exclusively.
void keep_document_header(PyObject* self);

}  // namespace tesvorn::py
