#include "py/new_content.hpp"

#include <optional>

#include "core/emitter.hpp"
#include "py/node_common.hpp"

namespace tesvorn::py {

void keep_text_style(const YamlNode& old, PyObject* value, YamlNode& fresh) noexcept {
    YamlScalar* s = fresh.scalar();
    const YamlScalar* was = old.scalar();
    if (!PyUnicode_Check(value) || s == nullptr || !s->value.is_str() ||
        s->style != ScalarStyle::Plain || s->props->anchor || s->props->tag || was == nullptr ||
        !was->value.is_str())
        return;
    const std::string_view text = s->value.as_str();
    const bool block = was->style == ScalarStyle::Literal || was->style == ScalarStyle::Folded;
    if (!writes_as_block(text)) {
        if (!block) s->style = was->style;
    } else if (!block && text.find('\n') != std::string_view::npos) {
        s->style = ScalarStyle::Literal;
    } else {
        s->style = was->style;
    }
}

namespace {

/// Whether `l` is the layout of a collection read in flow style whose style
/// was not set since; `source` the text it must be read from (null: any).
bool read_flow(const CollectionLayout& l, ContainerStyle style, const SourceText* source) {
    return style == ContainerStyle::Flow && l.has() && l.flag(CollectionLayout::kFlow) &&
           !l.flag(CollectionLayout::kStyleSet) && (source == nullptr || l.source.get() == source);
}

/// Block style for `obj` and the flow collections read with it (from
/// `source`), under exclusive access to each; one in use is left.
void to_block(PyObject* obj, const SourceText* source) {
    const bool mapping = is_mapping_object(obj);
    ExclusiveBorrow borrow(node_borrow(obj));
    if (!borrow.ok()) {
        PyErr_Clear();
        return;
    }
    if (mapping) {
        MappingObject* m = as_mapping(obj);
        const YamlMapping& t = m->inner.get();
        if (!read_flow(t.layout, t.style, source)) return;
        m->inner.mut().style = ContainerStyle::Block;
    } else {
        SequenceObject* q = as_sequence(obj);
        const YamlSequence& t = q->inner.get();
        if (!read_flow(t.layout, t.style, source)) return;
        q->inner.mut().style = ContainerStyle::Block;
    }
    // The values: the dict's or the list's (no Python code runs in these
    // walks, so the borrowed items stay).
    if (mapping) {
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(obj, &pos, &key, &value))
            if (is_container_object(value) && value != obj) to_block(value, source);
    } else {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
            PyObject* value = PyList_GET_ITEM(obj, i);
            if (is_container_object(value) && value != obj) to_block(value, source);
        }
    }
}

}  // namespace

void follow_block_style(PyObject* value) noexcept {
    if (!is_container_object(value)) return;
    const SourceText* source = nullptr;
    {
        SharedBorrow borrow(node_borrow(value));
        if (!borrow.ok()) {
            PyErr_Clear();
            return;
        }
        // A document's root carries its document's records.
        if (node_meta(value).get().layout.get() == nullptr) return;
        const CollectionLayout& l = is_mapping_object(value)
                                        ? as_mapping(value)->inner.get().layout
                                        : as_sequence(value)->inner.get().layout;
        const ContainerStyle style = is_mapping_object(value)
                                         ? as_mapping(value)->inner.get().style
                                         : as_sequence(value)->inner.get().style;
        if (!read_flow(l, style, nullptr)) return;
        source = l.source.get();
    }
    to_block(value, source);
}

}  // namespace tesvorn::py
