#include "py/node_common.hpp"

#include <algorithm>
#include <memory>
#include <unordered_set>

#include "core/render.hpp"
#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/metadata.hpp"
#include "py/positions.hpp"

namespace tesvorn::py {

namespace {

/// The name of a standard tag ("str", "int", "map", ...) given in short or
/// long form; empty for any other tag.
std::string_view standard_tag(std::string_view tag) noexcept {
    constexpr std::string_view kLong = "tag:yaml.org,2002:";
    if (tag.starts_with("!!")) return tag.substr(2);
    if (tag.starts_with(kLong)) return tag.substr(kLong.size());
    return {};
}

/// The text the writer gives a scalar's value.
std::string scalar_text(const YamlScalar& s) {
    if (s.props->original) return *s.props->original;
    if (s.value.is_str()) return std::string(s.value.as_str());
    return emit_scalar_value_with_style(s.value, ScalarStyle::Plain);
}

}  // namespace

bool fit_standard_tag(YamlScalar& s) {
    if (!s.props->tag) return true;
    const std::string tag = *s.props->tag;
    const std::string_view name = standard_tag(tag);
    // Another tag's scalar keeps its value: what it loads as is for the
    // loader of that tag to say. Only an empty one changes: a locally
    // tagged empty node reads as an empty string.
    if (name.empty()) {
        if (s.value.kind() == ScalarValue::Null && tag.starts_with('!')) {
            s.value = ScalarValue::of_str("");
            s.props.mut().original.reset();
        }
        return true;
    }
    if (name == "binary" || name == "timestamp") return true;
    const std::string text = scalar_text(s);
    const ScalarValue typed = ScalarValue::from_str(text);
    bool fits = false;
    ScalarValue value;
    if (name == "str") {
        fits = true;
        value = ScalarValue::of_str(text);
    } else if (name == "int") {
        fits = typed.is_integer();
        value = typed;
    } else if (name == "float") {
        double d = 0;
        fits = typed.kind() == ScalarValue::Float || (typed.is_integer() && parse_f64(text, d));
        value = typed.kind() == ScalarValue::Float ? typed : ScalarValue::of_float(d);
    } else if (name == "bool") {
        fits = typed.kind() == ScalarValue::Bool;
        value = typed;
    } else if (name == "null") {
        fits = typed.kind() == ScalarValue::Null;
        value = typed;
    }
    if (!fits) {
        const std::string message = "a scalar " + quoted(text) + " cannot be tagged '" + tag +
                                    "': it would not read back as one";
        ref m = make_str(message);
        if (m) PyErr_SetObject(PyExc_ValueError, m.get());
        return false;
    }
    // The text as it stands reads back as this value: a string is written
    // from its value, anything else as that text.
    if (!(value == s.value)) {
        s.value = std::move(value);
        if (s.value.is_str()) {
            s.props.mut().original.reset();
        } else {
            s.props.mut().original = text;
        }
    }
    return true;
}

bool collection_takes_tag(bool mapping, std::string_view tag) {
    const std::string_view name = standard_tag(tag);
    if (name.empty()) return true;
    const bool fits = mapping
                          ? (name == "map" || name == "omap" || name == "pairs" || name == "set")
                          : (name == "seq" || name == "omap" || name == "pairs");
    if (fits) return true;
    const std::string message = std::string(mapping ? "a mapping" : "a sequence") +
                                " cannot be tagged '" + std::string(tag) +
                                "': it would not read back as one";
    ref m = make_str(message);
    if (m) PyErr_SetObject(PyExc_ValueError, m.get());
    return false;
}

const DocMeta MetaRef::kEmpty{};

// ---- arguments ----------------------------------------------------------------

namespace {

/// Whether a comment may hold `cp` as it is: YAML's printable characters
/// (tab included, the byte order mark not), line breaks aside.
bool comment_char(char32_t cp) noexcept {
    return cp == '\t' || (cp >= 0x20 && cp <= 0x7E) || (cp >= 0xA0 && cp <= 0xD7FF) ||
           (cp >= 0xE000 && cp <= 0xFFFD && cp != 0xFEFF) || (cp >= 0x10000 && cp <= 0x10FFFF);
}

}  // namespace

bool parse_comment(PyObject* obj, std::optional<std::string>& out) {
    if (!arg_optional_str(obj, "comment")) return false;
    if (obj == Py_None) {
        out.reset();
        return true;
    }
    std::string_view text;
    if (!str_utf8(obj, text)) return false;
    // Every kind of line break starts a new comment line: written raw, NEL,
    // U+2028, U+2029 or a lone CR would end the comment for some readers
    // and make the rest of it YAML.
    std::string lines;
    lines.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        std::size_t len = 0;
        const char32_t cp = code_point_at(text, i, len);
        if (cp == '\r' || cp == '\n' || cp == 0x85 || cp == 0x2028 || cp == 0x2029) {
            lines += '\n';
            if (cp == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++len;
        } else if (comment_char(cp)) {
            lines.append(text.substr(i, len));
        } else {
            PyErr_Format(PyExc_ValueError,
                         "argument 'comment': character U+%04X cannot be written in a YAML comment",
                         static_cast<unsigned>(cp));
            return false;
        }
        i += len;
    }
    out = std::move(lines);
    return true;
}

bool parse_blank_lines(PyObject* obj, std::uint8_t& out) {
    if (!PyLong_Check(obj)) {
        PyErr_Format(PyExc_TypeError,
                     "argument 'n': '%.200s' object cannot be interpreted as an integer",
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    const unsigned long long n = PyLong_AsUnsignedLongLong(obj);
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    if (n > 4294967295ULL) {
        PyErr_SetString(PyExc_OverflowError,
                        "argument 'n': value out of range for a 32-bit unsigned integer");
        return false;
    }
    out = static_cast<std::uint8_t>(n > 255 ? 255 : n);
    return true;
}

bool parse_format_flags(const char* fname, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, bool& styles, bool& comments, bool& blank_lines) {
    (void)fname;
    static ArgParser parser("format", {"styles", "comments", "blank_lines"}, 0, 0);
    PyObject* a[3];
    if (!parser.parse(args, nargs, kwnames, a)) return false;
    styles = comments = blank_lines = true;
    return (!a[0] || arg_bool(a[0], "styles", styles)) &&
           (!a[1] || arg_bool(a[1], "comments", comments)) &&
           (!a[2] || arg_bool(a[2], "blank_lines", blank_lines));
}

bool parse_sort_args(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject*& key, bool& reverse, bool& recursive) {
    static ArgParser keys_parser("sort_keys", {"key", "reverse", "recursive"}, 3, 0);
    static ArgParser list_parser("sort", {"key", "reverse", "recursive"}, 3, 0);
    const ArgParser& parser = std::string_view(fname) == "sort" ? list_parser : keys_parser;
    PyObject* a[3];
    if (!parser.parse(args, nargs, kwnames, a)) return false;
    key = (a[0] && a[0] != Py_None) ? a[0] : nullptr;
    if (key && !PyCallable_Check(key)) {
        PyErr_Format(PyExc_TypeError, "argument 'key': '%.200s' object is not callable",
                     Py_TYPE(key)->tp_name);
        return false;
    }
    reverse = recursive = false;
    return (!a[1] || arg_bool(a[1], "reverse", reverse)) &&
           (!a[2] || arg_bool(a[2], "recursive", recursive));
}

bool format_object(PyObject* obj, bool styles, bool comments, bool blank_lines) {
    // Every node object reachable through the Python parts, each once (they
    // may be shared, or hold themselves), without recursion: any depth
    // works. All are taken before any is changed, so a conflict changes
    // nothing. Reading the Python parts runs no Python code.
    std::vector<ref> objects;
    objects.push_back(ref::borrow(obj));
    std::unordered_set<PyObject*> seen{obj};
    for (std::size_t next = 0; next < objects.size(); ++next) {
        PyObject* o = objects[next].get();
        const auto add = [&](PyObject* child) {
            if (is_container_object(child) && seen.insert(child).second)
                objects.push_back(ref::borrow(child));
        };
        if (is_mapping_object(o)) {
            Py_ssize_t pos = 0;
            PyObject* key;
            PyObject* value;
            while (PyDict_Next(o, &pos, &key, &value)) add(value);
        } else if (is_sequence_object(o)) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) add(PyList_GET_ITEM(o, i));
        }
    }
    std::vector<std::unique_ptr<ExclusiveBorrow>> held;
    held.reserve(objects.size());
    for (const ref& o : objects) {
        held.push_back(std::make_unique<ExclusiveBorrow>(node_borrow(o.get())));
        if (!held.back()->ok()) return false;
    }
    for (const ref& o : objects) {
        if (is_mapping_object(o.get())) {
            as_mapping(o.get())->inner.mut().format_with(styles, comments, blank_lines);
        } else if (is_sequence_object(o.get())) {
            as_sequence(o.get())->inner.mut().format_with(styles, comments, blank_lines);
        } else {
            as_scalar(o.get())->node.format_with(styles, comments, blank_lines);
        }
    }
    return true;
}

void raise_arity(const char* name) {
    PyErr_Format(PyExc_RuntimeError, "%s takes 1 or 2 positional arguments", name);
}

// ---- metadata properties ----------------------------------------------------------

BorrowFlag& node_borrow(PyObject* self) noexcept {
    if (is_mapping_object(self)) return as_mapping(self)->borrow;
    if (is_sequence_object(self)) return as_sequence(self)->borrow;
    return as_scalar(self)->borrow;
}

MetaRef& node_meta(PyObject* self) noexcept {
    if (is_mapping_object(self)) return as_mapping(self)->meta;
    if (is_sequence_object(self)) return as_sequence(self)->meta;
    return as_scalar(self)->meta;
}

namespace {

/// A node-level field of an object (`field` picks it from a mapping,
/// sequence or scalar), or null for a YamlScalar whose node is not a
/// scalar: to read (`Write` false, under a shared borrow) or to change
/// (under an exclusive one, which unshares the tree first).
template <bool Write, class Field>
auto node_field(PyObject* self, Field field)
    -> std::conditional_t<Write, OptString*, const OptString*> {
    const auto tree = [](auto& inner) -> auto& {
        if constexpr (Write) {
            return inner.mut();
        } else {
            return inner.get();
        }
    };
    if (is_mapping_object(self)) return &field(tree(as_mapping(self)->inner));
    if (is_sequence_object(self)) return &field(tree(as_sequence(self)->inner));
    YamlScalar* s = as_scalar(self)->node.scalar();
    if (s == nullptr) return nullptr;
    if constexpr (Write) {
        return &field(s->props.mut());
    } else {
        return &field(*s->props);
    }
}

template <bool Write>
auto tag_field(PyObject* self) {
    return node_field<Write>(
        self, [](auto& n) -> auto& { return n.tag; });
}

template <bool Write>
auto anchor_field(PyObject* self) {
    return node_field<Write>(
        self, [](auto& n) -> auto& { return n.anchor; });
}

bool refuse_delete(PyObject* value, const char* name) {
    if (value) return true;
    PyErr_Format(PyExc_TypeError, "cannot delete attribute '%s'", name);
    return false;
}

ref optional_str(const OptString& s) {
    return s ? make_str(*s) : ref::borrow(Py_None);
}

template <const OptString* (*Field)(PyObject*)>
PyObject* get_opt(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        SharedBorrow borrow(node_borrow(self));
        if (!borrow.ok()) return nullptr;
        const OptString* f = Field(self);
        return f ? optional_str(*f).release() : ref::borrow(Py_None).release();
    });
}

/// The tag property: a standard tag is checked against the node first (see
/// fit_standard_tag), so that the node holds what its dump loads as.
int set_tag(PyObject* self, PyObject* value, void* closure) {
    return guarded([&]() -> int {
        const char* name = static_cast<const char*>(closure);
        if (!refuse_delete(value, name) || !arg_optional_str(value, name)) return -1;
        std::optional<std::string> text;
        if (value != Py_None) {
            std::string_view utf8;
            if (!str_utf8(value, utf8)) return -1;
            text = std::string(utf8);
        }
        ExclusiveBorrow borrow(node_borrow(self));
        if (!borrow.ok()) return -1;
        if (is_scalar_object(self)) {
            YamlScalar* s = as_scalar(self)->node.scalar();
            if (s == nullptr) return 0;
            YamlScalar fitted = *s;
            fitted.props.mut().tag = text;
            if (!fit_standard_tag(fitted)) return -1;
            *s = std::move(fitted);
            return 0;
        }
        if (text && !collection_takes_tag(is_mapping_object(self), *text)) return -1;
        if (OptString* f = tag_field<true>(self)) *f = std::move(text);
        return 0;
    });
}

template <OptString* (*Field)(PyObject*)>
int set_opt(PyObject* self, PyObject* value, void* closure) {
    return guarded([&]() -> int {
        const char* name = static_cast<const char*>(closure);
        if (!refuse_delete(value, name) || !arg_optional_str(value, name)) return -1;
        std::optional<std::string> text;
        if (value != Py_None) {
            std::string_view utf8;
            if (!str_utf8(value, utf8)) return -1;
            text = std::string(utf8);
        }
        ExclusiveBorrow borrow(node_borrow(self));
        if (!borrow.ok()) return -1;
        if (OptString* f = Field(self)) *f = std::move(text);
        return 0;
    });
}

PyObject* get_style(PyObject* self, void*) {
    SharedBorrow borrow(node_borrow(self));
    if (!borrow.ok()) return nullptr;
    if (is_mapping_object(self))
        return PyUnicode_FromString(container_style_name(as_mapping(self)->inner.get().style));
    if (is_sequence_object(self))
        return PyUnicode_FromString(container_style_name(as_sequence(self)->inner.get().style));
    const YamlScalar* s = as_scalar(self)->node.scalar();
    return PyUnicode_FromString(scalar_style_name(s ? s->style : ScalarStyle::Plain));
}

int set_style(PyObject* self, PyObject* value, void*) {
    if (!refuse_delete(value, "style")) return -1;
    if (is_mapping_object(self) || is_sequence_object(self)) {
        ContainerStyle style;
        if (!parse_container_style(value, "style", style)) return -1;
        ExclusiveBorrow borrow(node_borrow(self));
        if (!borrow.ok()) return -1;
        // A style set is kept wherever the collection goes (see
        // follow_block_style).
        if (is_mapping_object(self)) {
            YamlMapping& m = as_mapping(self)->inner.mut();
            m.style = style;
            m.layout.flags |= CollectionLayout::kStyleSet;
        } else {
            YamlSequence& q = as_sequence(self)->inner.mut();
            q.style = style;
            q.layout.flags |= CollectionLayout::kStyleSet;
        }
        return 0;
    }
    ScalarStyle style;
    if (!parse_scalar_style(value, "style", style)) return -1;
    ExclusiveBorrow borrow(node_borrow(self));
    if (!borrow.ok()) return -1;
    if (YamlScalar* s = as_scalar(self)->node.scalar()) s->style = style;
    return 0;
}

PyObject* get_trailing(PyObject* self, void*) {
    SharedBorrow borrow(node_borrow(self));
    if (!borrow.ok()) return nullptr;
    const std::uint8_t n = is_mapping_object(self)
                               ? as_mapping(self)->inner.get().trailing_blank_lines
                               : as_sequence(self)->inner.get().trailing_blank_lines;
    return PyLong_FromLong(n);
}

int set_trailing(PyObject* self, PyObject* value, void*) {
    if (!refuse_delete(value, "trailing_blank_lines")) return -1;
    if (!PyLong_Check(value)) {
        PyErr_Format(PyExc_TypeError, "trailing_blank_lines must be an int, not %.200s",
                     Py_TYPE(value)->tp_name);
        return -1;
    }
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (n == -1 && PyErr_Occurred()) return -1;
    if (overflow || n < 0 || n > 255) {
        PyErr_SetString(PyExc_OverflowError, "trailing_blank_lines must be in 0..255");
        return -1;
    }
    ExclusiveBorrow borrow(node_borrow(self));
    if (!borrow.ok()) return -1;
    (is_mapping_object(self) ? as_mapping(self)->inner.mut().trailing_blank_lines
                             : as_sequence(self)->inner.mut().trailing_blank_lines) =
        static_cast<std::uint8_t>(n);
    return 0;
}

PyObject* get_version(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        SharedBorrow borrow(node_borrow(self));
        if (!borrow.ok()) return nullptr;
        const auto& v = node_meta(self).get().yaml_version;
        if (!v) Py_RETURN_NONE;
        return PyUnicode_FromFormat("%u.%u", unsigned{v->first}, unsigned{v->second});
    });
}

int set_version(PyObject* self, PyObject* value, void*) {
    if (!refuse_delete(value, "yaml_version")) return -1;
    std::optional<std::pair<std::uint8_t, std::uint8_t>> v;
    if (!parse_yaml_version(value, "yaml_version", v)) return -1;
    ExclusiveBorrow borrow(node_borrow(self));
    if (!borrow.ok()) return -1;
    return guarded([&]() -> int {
        node_meta(self).mut().yaml_version = v;
        return 0;
    });
}

template <bool DocMeta::*Field>
PyObject* get_flag(PyObject* self, void*) {
    SharedBorrow borrow(node_borrow(self));
    if (!borrow.ok()) return nullptr;
    return PyBool_FromLong(node_meta(self).get().*Field);
}

template <bool DocMeta::*Field>
int set_flag(PyObject* self, PyObject* value, void* closure) {
    const char* name = static_cast<const char*>(closure);
    if (!refuse_delete(value, name)) return -1;
    bool flag = false;
    if (!arg_bool(value, name, flag)) return -1;
    ExclusiveBorrow borrow(node_borrow(self));
    if (!borrow.ok()) return -1;
    return guarded([&]() -> int {
        node_meta(self).mut().*Field = flag;
        return 0;
    });
}

PyObject* get_directives(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        std::vector<std::pair<std::string, std::string>> dirs;
        {
            SharedBorrow borrow(node_borrow(self));
            if (!borrow.ok()) return nullptr;
            dirs = *node_meta(self).get().tag_directives;
        }
        ref list = ref::steal(PyList_New(static_cast<Py_ssize_t>(dirs.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < dirs.size(); ++i) {
            ref handle = make_str(dirs[i].first);
            ref prefix = make_str(dirs[i].second);
            if (!handle || !prefix) return nullptr;
            PyObject* pair = PyTuple_Pack(2, handle.get(), prefix.get());
            if (!pair) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
        }
        return list.release();
    });
}

using Directives = std::vector<std::pair<std::string, std::string>>;

/// The handle of a directive in `removed` that `tag` is written with (its
/// prefix, or its handle as written), or empty.
std::string_view removed_handle(const OptString& tag, const Directives& removed) noexcept {
    if (!tag) return {};
    for (const auto& [handle, prefix] : removed)
        if (tag->starts_with(prefix) || tag->starts_with(handle)) return handle;
    return {};
}

/// A handle in `removed` some tag of `node` is written with, or empty.
std::string_view removed_in(const YamlNode& node, const Directives& removed) {
    std::string_view found;
    if (const YamlScalar* s = node.scalar()) return removed_handle(s->props->tag, removed);
    if (const YamlMapping* m = node.mapping()) {
        if (!(found = removed_handle(m->tag, removed)).empty()) return found;
        for (const auto& slot : m->entries) {
            const KeyProps& k = *slot.value.key_props;
            if (!(found = removed_handle(k.tag, removed)).empty()) return found;
            if (k.node && !(found = removed_in(**k.node, removed)).empty()) return found;
            if (!(found = removed_in(slot.value.value, removed)).empty()) return found;
        }
    } else if (const YamlSequence* q = node.sequence()) {
        if (!(found = removed_handle(q->tag, removed)).empty()) return found;
        for (const YamlItem& item : q->items)
            if (!(found = removed_in(item.node, removed)).empty()) return found;
    }
    return {};
}

/// Whether no tag of the document of root `self` is written with one of the
/// `removed` directives (ValueError naming it otherwise): such tags would not
/// read back. Nested node objects are read through the Python parts.
bool directives_unused(PyObject* self, const Directives& removed) {
    if (removed.empty()) return true;
    std::vector<PyObject*> objects{self};
    std::unordered_set<PyObject*> seen{self};
    for (std::size_t next = 0; next < objects.size(); ++next) {
        PyObject* o = objects[next];
        std::string h;
        {
            SharedBorrow borrow(node_borrow(o));
            if (!borrow.ok()) return false;
            if (is_mapping_object(o)) {
                h = removed_in(YamlNode(as_mapping(o)->inner.get()), removed);
            } else if (is_sequence_object(o)) {
                h = removed_in(YamlNode(as_sequence(o)->inner.get()), removed);
            } else {
                h = removed_in(as_scalar(o)->node, removed);
            }
        }
        if (!h.empty()) {
            const std::string message = "the %TAG directive of " + h +
                                        " is used by a tag of the document: it cannot be left "
                                        "out of tag_directives";
            ref m = make_str(message);
            if (m) PyErr_SetObject(PyExc_ValueError, m.get());
            return false;
        }
        const auto add = [&](PyObject* child) {
            if (is_container_object(child) && seen.insert(child).second) objects.push_back(child);
        };
        if (is_mapping_object(o)) {
            Py_ssize_t pos = 0;
            PyObject* key;
            PyObject* value;
            while (PyDict_Next(o, &pos, &key, &value)) add(value);
        } else if (is_sequence_object(o)) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) add(PyList_GET_ITEM(o, i));
        }
    }
    return true;
}

int set_directives(PyObject* self, PyObject* value, void*) {
    return guarded([&]() -> int {
        if (!refuse_delete(value, "tag_directives")) return -1;
        if (PyUnicode_Check(value) || !PySequence_Check(value)) {
            PyErr_Format(PyExc_TypeError,
                         "tag_directives must be a sequence of (handle, prefix) tuples, not %.200s",
                         Py_TYPE(value)->tp_name);
            return -1;
        }
        ref items = ref::steal(PySequence_Fast(value, "tag_directives must be a sequence"));
        if (!items) return -1;
        std::vector<std::pair<std::string, std::string>> dirs;
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* pair = PySequence_Fast_GET_ITEM(items.get(), i);
            std::string_view h, p;
            if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2 ||
                !PyUnicode_Check(PyTuple_GET_ITEM(pair, 0)) ||
                !PyUnicode_Check(PyTuple_GET_ITEM(pair, 1))) {
                PyErr_SetString(PyExc_TypeError,
                                "tag_directives items must be (handle, prefix) tuples of str");
                return -1;
            }
            if (!str_utf8(PyTuple_GET_ITEM(pair, 0), h) || !str_utf8(PyTuple_GET_ITEM(pair, 1), p))
                return -1;
            dirs.emplace_back(std::string(h), std::string(p));
        }
        Directives removed;
        {
            SharedBorrow borrow(node_borrow(self));
            if (!borrow.ok()) return -1;
            for (const auto& d : *node_meta(self).get().tag_directives)
                if (std::find(dirs.begin(), dirs.end(), d) == dirs.end()) removed.push_back(d);
        }
        if (!directives_unused(self, removed)) return -1;
        ExclusiveBorrow borrow(node_borrow(self));
        if (!borrow.ok()) return -1;
        if (dirs.empty())
            node_meta(self).mut().tag_directives.reset();
        else
            node_meta(self).mut().tag_directives.mut() = std::move(dirs);
        return 0;
    });
}

constexpr const char* kPositionDoc =
    "Where the node starts in the text it was loaded from, as (line, column),\n"
    "both from 1; None when it was not loaded (made or replaced through the API).\n"
    "A YamlScalar has a position as the root of a loaded document only.";

PyObject* get_scalar_value(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        ScalarObject* s = as_scalar(self);
        SharedBorrow borrow(s->borrow);
        if (!borrow.ok()) return nullptr;
        const YamlScalar* sc = s->node.scalar();
        return (sc ? scalar_to_py(sc->value) : ref::borrow(Py_None)).release();
    });
}

#define TESVORN_COMMON_GETSET                                                                      \
    {"tag", get_opt<tag_field<false>>, set_tag, "The node's tag, or None.",                        \
     const_cast<char*>("tag")},                                                                    \
        {"anchor", get_opt<anchor_field<false>>, set_opt<anchor_field<true>>,                      \
         "The node's anchor name (without &), or None.", const_cast<char*>("anchor")},             \
        {"style", get_style, set_style, "The node's style name.", nullptr},                        \
        {"yaml_version", get_version, set_version,                                                 \
         "The %YAML version of the document, \"major.minor\" or None.", nullptr},                  \
        {"explicit_start", get_flag<&DocMeta::explicit_start>, set_flag<&DocMeta::explicit_start>, \
         "Whether the document starts with an explicit ---.",                                      \
         const_cast<char*>("explicit_start")},                                                     \
        {"explicit_end", get_flag<&DocMeta::explicit_end>, set_flag<&DocMeta::explicit_end>,       \
         "Whether the document ends with an explicit ....", const_cast<char*>("explicit_end")},    \
    {                                                                                              \
        "tag_directives", get_directives, set_directives,                                          \
            "The %TAG directives as (handle, prefix) tuples.", nullptr                             \
    }

}  // namespace

PyGetSetDef mapping_getset[] = {
    TESVORN_COMMON_GETSET,
    {"trailing_blank_lines", get_trailing, set_trailing,
     "Blank lines written after the last entry (0..255).", nullptr},
    {"position", get_position, nullptr, kPositionDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef sequence_getset[] = {
    TESVORN_COMMON_GETSET,
    {"trailing_blank_lines", get_trailing, set_trailing,
     "Blank lines written after the last item (0..255).", nullptr},
    {"position", get_position, nullptr, kPositionDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef scalar_getset[] = {
    {"value", get_scalar_value, nullptr,
     "The plain Python value of the scalar (None for null and alias nodes).", nullptr},
    TESVORN_COMMON_GETSET,
    {"position", get_position, nullptr, kPositionDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef TESVORN_COMMON_GETSET

}  // namespace tesvorn::py
