// What a value written into a node object takes from where it goes: a
// string the style of the text it replaces, a collection read in flow style
// as a document of its own the block style of the file.
#pragma once

#include "py/nodes.hpp"

namespace tesvorn::py {

/// `fresh`, converted from `value` to replace `old`: when `value` is a str
/// (no style of its own), it keeps the style of the string it replaces (a
/// block scalar stays one, with the chomping its text asks for; quotes stay),
/// and a string over several lines where a plain or quoted one stood is a
/// literal block.
void keep_text_style(const YamlNode& old, PyObject* value, YamlNode& fresh) noexcept;

/// A YamlMapping or YamlSequence read in flow style as a document's root
/// (the value of a command line, a `loads("[a, b]")`), whose style was not
/// set since, is written in block style once it is put into another
/// collection, and so are the flow collections read inside it: flow only
/// inside flow, or when asked for. Objects in use elsewhere keep theirs.
void follow_block_style(PyObject* value) noexcept;

}  // namespace tesvorn::py
