// Where loaded nodes stood in their source, and positions on the errors of
// a load. Line and column are worked out only when asked, from the offsets
// the reader keeps anyway and the source text's line index.
#pragma once

#include <cstdint>

#include "core/layout.hpp"
#include "core/result.hpp"
#include "core/types.hpp"
#include "py/ref.hpp"
#include "py/slot_methods.hpp"

namespace tesvorn::py {

/// Offsets of an entry's key and value and of an item's node in their
/// collection's source text; kNoPosition when not read there.
inline std::uint32_t key_offset(const YamlEntry& e) noexcept {
    return e.key_at.v;
}
inline std::uint32_t value_offset(const YamlEntry& e) noexcept {
    return e.key_at.known() && e.value_delta.known() ? e.key_at.v + e.value_delta.v : kNoPosition;
}
inline std::uint32_t item_offset(const YamlItem& i) noexcept {
    return i.at.v;
}

/// A value replaced through the API was not read from anywhere.
inline void forget_value_position(YamlEntry& e) noexcept {
    e.value_delta = {};
}
inline void forget_value_position(YamlItem& i) noexcept {
    i.at = {};
}
/// An entry or item copied from another collection: its offsets are into
/// that one's text.
inline void forget_positions(YamlEntry& e) noexcept {
    e.key_at = {};
    e.value_delta = {};
}
inline void forget_positions(YamlItem& i) noexcept {
    i.at = {};
}

/// New reference: (line, column), both from 1, of byte `offset` of
/// `source`'s text; None when there is no source or no offset.
ref position_tuple(const SourceRef& source, std::uint32_t offset);

/// The UTF-8 text of a str given as YAML input; false with ParseError set,
/// at the character, when the str holds a lone surrogate (no text).
bool text_utf8(PyObject* str, std::string_view& out);

/// The `position` property of the three node classes (new reference).
PyObject* get_position(PyObject* self, void*);

/// The source text a YamlMapping's or YamlSequence's offsets point into
/// (null when it was not read); shared access held by the caller.
const SourceRef& collection_source(PyObject* self) noexcept;

namespace slot_methods {

/// key_position(k), value_position(k), item_position(i): the position of
/// the byte `offset(slot)` gives, or None; KeyError / IndexError when the
/// slot is missing.
template <class Slots, class Offset>
PyObject* position(PyObject* self, PyObject* arg, Offset offset) {
    return guarded([&]() -> PyObject* {
        typename Slots::Pos pos;
        if (!Slots::check(arg, pos)) return nullptr;
        return with_slot<Slots>(self, arg, pos, false, [&](typename Slots::Slot& slot) {
            return position_tuple(collection_source(self), offset(slot)).release();
        });
    });
}

}  // namespace slot_methods

/// Raises ParseError for `error` with its position: the attributes line,
/// column and offset, and as notes the source line with a caret (when
/// `source` holds it) and where `opened` began.
void raise_parse_error(const ScanError& error, const Opener& opened, const SourceText* source);

/// When the pending exception is a LoaderError that does not say where yet,
/// gives it the position of byte `offset` of `source` (the node the loader
/// failed on); any other exception is left as it is.
void locate_loader_error(const SourceRef& source, std::uint32_t offset);

}  // namespace tesvorn::py
