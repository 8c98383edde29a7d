// The per-key (YamlMapping) and per-index (YamlSequence) metadata methods:
// comments, blank lines, styles and aliases of one entry or item. Both
// classes share these bodies; a slots policy says how the first argument
// finds its entry or item and how messages name it.
//
// A policy provides:
//   using Slot;                                  YamlEntry or YamlItem
//   struct Pos;                                  the checked first argument
//   static constexpr const char* kArg;           "key" or "idx"
//   static constexpr bool kDualGetMissingIsNone; comment_before(k) of a missing key reads None
//   static bool check(PyObject* arg, Pos&);      type check only (TypeError naming the argument)
//   static Slot* find(PyObject* self, PyObject* arg, Pos&, bool raise_missing, bool write);
//                                                access held; KeyError / IndexError;
//                                                the slot is only read unless `write`
//   static YamlNode& node(Slot&);
//   static std::string where(const Pos&);        "value at key 'k'" / "item at index 3"
//   static ref parent_value(PyObject* self, PyObject* arg, const Pos&);
//                                                the value in the parent dict/list, or null
//                                                (error set only on failure); after find
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/metadata.hpp"
#include "py/node_common.hpp"
#include "py/nodes.hpp"

namespace tesvorn::py::slot_methods {

/// Runs `fn(slot)` on the slot `arg` names, under shared (write = false) or
/// exclusive access. A missing slot raises unless `raise_missing` is false,
/// in which case it reads as None.
template <class Slots, class F>
PyObject* with_slot(PyObject* self, PyObject* arg, typename Slots::Pos& pos, bool write, F&& fn,
                    bool raise_missing = true) {
    auto run = [&]() -> PyObject* {
        typename Slots::Slot* slot = Slots::find(self, arg, pos, raise_missing, write);
        if (slot) return fn(*slot);
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NONE;
    };
    // A change made behind the class's back is taken in first.
    if (!bring_in_step(self)) return nullptr;
    BorrowFlag& flag = node_borrow(self);
    if (write) {
        ExclusiveBorrow borrow(flag);
        return borrow.ok() ? run() : nullptr;
    }
    SharedBorrow borrow(flag);
    return borrow.ok() ? run() : nullptr;
}

/// Whether node object `self` is a flow collection (read under its borrow).
inline bool flow_collection(PyObject* self) noexcept {
    if (is_mapping_object(self)) return as_mapping(self)->inner.get().style == ContainerStyle::Flow;
    if (is_sequence_object(self))
        return as_sequence(self)->inner.get().style == ContainerStyle::Flow;
    return false;
}

/// Comments inside a flow collection are written only as they were read.
inline void raise_flow_comment() {
    PyErr_SetString(PyExc_ValueError,
                    "a comment cannot be set inside a flow collection; make it a block "
                    "collection first (style = \"block\")");
}

/// Which of a slot's comments a method reads or sets.
using CommentField = OptString Comments::*;

template <class Slots>
PyObject* get_comment(PyObject* self, PyObject* arg, CommentField field, bool missing_is_none) {
    typename Slots::Pos pos;
    if (!Slots::check(arg, pos)) return nullptr;
    return with_slot<Slots>(
        self, arg, pos, false,
        [&](typename Slots::Slot& slot) -> PyObject* {
            const OptString& c = (*slot.comments).*field;
            if (!c) Py_RETURN_NONE;
            return make_str(*c).release();
        },
        !missing_is_none);
}

template <class Slots>
PyObject* set_comment(PyObject* self, PyObject* arg, PyObject* value, CommentField field) {
    typename Slots::Pos pos;
    if (!Slots::check(arg, pos)) return nullptr;
    std::optional<std::string> comment;
    if (!parse_comment(value, comment)) return nullptr;
    return with_slot<Slots>(self, arg, pos, true, [&](typename Slots::Slot& slot) -> PyObject* {
        const OptString& now = (*slot.comments).*field;
        const bool same = comment ? now.has_value() && *now == *comment : !now.has_value();
        if (!same && flow_collection(self)) {
            raise_flow_comment();
            return nullptr;
        }
        slot.comments.set(field, std::move(comment));
        Py_RETURN_NONE;
    });
}

/// comment_before(k) reads, comment_before(k, c) sets.
template <class Slots, CommentField Field>
PyObject* comment_dual(PyObject* self, PyObject* const* args, Py_ssize_t nargs, const char* name) {
    return guarded([&]() -> PyObject* {
        if (nargs < 1) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos 1)", name,
                         Slots::kArg);
            return nullptr;
        }
        if (nargs == 1)
            return get_comment<Slots>(self, args[0], Field, Slots::kDualGetMissingIsNone);
        if (nargs == 2) return set_comment<Slots>(self, args[0], args[1], Field);
        raise_arity(name);
        return nullptr;
    });
}

template <class Slots>
PyObject* comment_before(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return comment_dual<Slots, &Comments::before>(self, args, nargs, "comment_before");
}
template <class Slots>
PyObject* comment_inline(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return comment_dual<Slots, &Comments::trailing>(self, args, nargs, "comment_inline");
}
template <class Slots>
PyObject* get_comment_before(PyObject* self, PyObject* arg) {
    return guarded([&] { return get_comment<Slots>(self, arg, &Comments::before, false); });
}
template <class Slots>
PyObject* get_comment_inline(PyObject* self, PyObject* arg) {
    return guarded([&] { return get_comment<Slots>(self, arg, &Comments::trailing, false); });
}

template <class Slots, CommentField Field>
PyObject* set_comment_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames, const char* name) {
    return guarded([&]() -> PyObject* {
        static const ArgParser parser(name, {Slots::kArg, "comment"}, 2, 2);
        PyObject* a[2];
        if (!parser.parse(args, nargs, kwnames, a)) return nullptr;
        return set_comment<Slots>(self, a[0], a[1], Field);
    });
}
template <class Slots>
PyObject* set_comment_before(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return set_comment_method<Slots, &Comments::before>(self, args, nargs, kwnames,
                                                        "set_comment_before");
}
template <class Slots>
PyObject* set_comment_inline(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return set_comment_method<Slots, &Comments::trailing>(self, args, nargs, kwnames,
                                                          "set_comment_inline");
}

/// blank_lines_before(k) reads, blank_lines_before(k, n) sets.
template <class Slots>
PyObject* blank_lines_before(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (nargs < 1) {
            PyErr_Format(PyExc_TypeError,
                         "blank_lines_before() missing required argument '%s' (pos 1)",
                         Slots::kArg);
            return nullptr;
        }
        if (nargs > 2) {
            raise_arity("blank_lines_before");
            return nullptr;
        }
        typename Slots::Pos pos;
        if (!Slots::check(args[0], pos)) return nullptr;
        if (nargs == 1) {
            return with_slot<Slots>(self, args[0], pos, false,
                                    [](typename Slots::Slot& slot) -> PyObject* {
                                        return PyLong_FromLong(slot.blank_lines_before);
                                    });
        }
        std::uint8_t n = 0;
        if (!parse_blank_lines(args[1], n)) return nullptr;
        return with_slot<Slots>(self, args[0], pos, true,
                                [&](typename Slots::Slot& slot) -> PyObject* {
                                    slot.blank_lines_before = n;
                                    Py_RETURN_NONE;
                                });
    });
}

template <class Slots>
PyObject* scalar_style(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const ArgParser parser("scalar_style", {Slots::kArg, "style"}, 2, 2);
        PyObject* a[2];
        if (!parser.parse(args, nargs, kwnames, a)) return nullptr;
        ScalarStyle style;
        if (!parse_scalar_style(a[1], "style", style)) return nullptr;
        typename Slots::Pos pos;
        if (!Slots::check(a[0], pos)) return nullptr;
        return with_slot<Slots>(
            self, a[0], pos, true, [&](typename Slots::Slot& slot) -> PyObject* {
                YamlScalar* s = Slots::node(slot).scalar();
                if (!s) {
                    const std::string message =
                        Slots::where(pos) +
                        " is not a scalar; use container_style() for mappings and sequences";
                    PyErr_SetString(PyExc_TypeError, message.c_str());
                    return nullptr;
                }
                s->style = style;
                Py_RETURN_NONE;
            });
    });
}

/// Sets the style in the tree and, when the parent dict/list holds a node
/// object for the value, in that object's own tree too: both, or (when the
/// object is in use) neither.
template <class Slots>
PyObject* container_style(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const ArgParser parser("container_style", {Slots::kArg, "style"}, 2, 2);
        PyObject* a[2];
        if (!parser.parse(args, nargs, kwnames, a)) return nullptr;
        ContainerStyle style;
        if (!parse_container_style(a[1], "style", style)) return nullptr;
        typename Slots::Pos pos;
        if (!Slots::check(a[0], pos)) return nullptr;
        return with_slot<Slots>(
            self, a[0], pos, true, [&](typename Slots::Slot& slot) -> PyObject* {
                ref child = Slots::parent_value(self, a[0], pos);
                if (!child && PyErr_Occurred()) return nullptr;
                std::optional<ExclusiveBorrow> child_borrow;
                if (child && is_container_object(child.get()) && child.get() != self) {
                    child_borrow.emplace(node_borrow(child.get()));
                    if (!child_borrow->ok()) return nullptr;
                }
                YamlNode& node = Slots::node(slot);
                if (YamlMapping* m = node.mapping())
                    m->style = style;
                else if (YamlSequence* q = node.sequence())
                    q->style = style;
                if (child && is_mapping_object(child.get())) {
                    YamlMapping& cm = as_mapping(child.get())->inner.mut();
                    cm.style = style;
                    cm.layout.flags |= CollectionLayout::kStyleSet;
                } else if (child && is_sequence_object(child.get())) {
                    YamlSequence& cq = as_sequence(child.get())->inner.mut();
                    cq.style = style;
                    cq.layout.flags |= CollectionLayout::kStyleSet;
                }
                Py_RETURN_NONE;
            });
    });
}

template <class Slots>
PyObject* set_alias(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const ArgParser parser("set_alias", {Slots::kArg, "anchor_name"}, 2, 2);
        PyObject* a[2];
        if (!parser.parse(args, nargs, kwnames, a)) return nullptr;
        typename Slots::Pos pos;
        if (!Slots::check(a[0], pos)) return nullptr;
        std::string_view name;
        if (!arg_str(a[1], "anchor_name") || !str_utf8(a[1], name)) return nullptr;
        return with_slot<Slots>(
            self, a[0], pos, true, [&](typename Slots::Slot& slot) -> PyObject* {
                // An alias set on an alias targets the old alias node unchanged.
                YamlNode& node = Slots::node(slot);
                YamlNode previous = std::move(node);
                node = YamlNode(AliasNode{std::string(name), Box<YamlNode>(std::move(previous))});
                Py_RETURN_NONE;
            });
    });
}

template <class Slots>
PyObject* alias_name(PyObject* self, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        typename Slots::Pos pos;
        if (!Slots::check(arg, pos)) return nullptr;
        return with_slot<Slots>(self, arg, pos, false, [](typename Slots::Slot& slot) -> PyObject* {
            if (const AliasNode* alias = Slots::node(slot).alias())
                return make_str(alias->name).release();
            Py_RETURN_NONE;
        });
    });
}

}  // namespace tesvorn::py::slot_methods
