// Reads of a node object's Python view: what its dict or list part holds is
// the truth (nested node objects as they are now, loaded values as loaded),
// so `to_python()`, `repr`, the copies and `node()` are made from it, never
// from the copies of nested subtrees that `inner` may still hold.
#pragma once

#include <string>

#include "core/types.hpp"
#include "py/ref.hpp"

namespace tesvorn::py {

/// A plain deep copy of a value (new reference): node objects, dicts and
/// lists become new plain dicts and lists; every other value is the same
/// object. An object reached twice is copied once, so sharing and cycles
/// are kept.
ref to_plain(PyObject* obj);

/// A copy of the YamlMapping or YamlSequence `obj` (new reference, of the
/// exact class): a new object for it and for every node object in its
/// Python part, each with a copy of its tree and document metadata; other
/// values are the same objects, or with `deep` copies by `copy.deepcopy`.
/// `memo` (a dict, or null for a private one) maps id() of an original to
/// its copy, as `copy.deepcopy` does, so sharing and cycles are kept.
ref copy_node_object(PyObject* obj, PyObject* memo, bool deep);

/// `repr` of a YamlMapping or YamlSequence: "YamlMapping({"k": v})",
/// "YamlSequence([v])", values in the text form below.
ref node_repr(PyObject* obj);

/// The text form of a value: a str in quoted form, an int in decimal, a
/// float as the shortest decimal that reads back (no exponent, no fraction
/// when integral; "NaN", "inf", "-inf"), True, False, None, and `repr()`
/// of anything else. False with an exception set when `repr()` fails.
[[nodiscard]] bool append_value_text(std::string& out, PyObject* value);

/// The node an entry or item stands for now: its tree node `node`, or,
/// where the parent's `value` decides (a node object, a value kept as it
/// was assigned), that value's tree; aliases resolved to their values.
[[nodiscard]] bool current_node(const YamlNode& node, PyObject* value, YamlNode& out);

}  // namespace tesvorn::py
