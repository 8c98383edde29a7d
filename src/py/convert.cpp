#include "py/convert.hpp"

#include <datetime.h>

#include <unordered_map>
#include <unordered_set>

#include "py/driver.hpp"
#include "py/errors.hpp"

namespace tesvorn::py {

namespace {

constexpr std::string_view kBinaryTags[] = {"!!binary", "tag:yaml.org,2002:binary"};
constexpr std::string_view kTimestampTags[] = {"!!timestamp", "tag:yaml.org,2002:timestamp"};

bool tag_is(const std::optional<std::string>& tag, const std::string_view (&names)[2]) {
    return tag && (*tag == names[0] || *tag == names[1]);
}

/// The datetime C API, imported on first need.
bool datetime_api() {
    if (PyDateTimeAPI) return true;
    PyDateTime_IMPORT;
    return PyDateTimeAPI != nullptr;
}

}  // namespace

bool is_date_or_datetime(PyObject* obj, bool& out) {
    if (!datetime_api()) return false;
    out = PyDate_Check(obj);  // datetime is a subclass of date
    return true;
}

// ---- base64 ----------------------------------------------------------------

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64_value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

std::string base64_encode(std::span<const unsigned char> bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const unsigned v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (const std::size_t rest = bytes.size() - i; rest != 0) {
        unsigned v = static_cast<unsigned>(bytes[i]) << 16;
        if (rest == 2) v |= static_cast<unsigned>(bytes[i + 1]) << 8;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

bool base64_decode(std::string_view text, std::string& out, std::string& error) {
    out.clear();
    if (text.size() % 4 != 0) {
        error = "invalid length " + std::to_string(text.size()) + " (not a multiple of 4)";
        return false;
    }
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            const auto c = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
            if (c == '=' && last && k >= 2) {
                v[k] = 0;
                ++pad;
                continue;
            }
            v[k] = base64_value(c);
            if (v[k] < 0 || pad > 0) {
                error = "invalid symbol at offset " + std::to_string(i + static_cast<std::size_t>(k));
                return false;
            }
        }
        const unsigned n = (static_cast<unsigned>(v[0]) << 18) | (static_cast<unsigned>(v[1]) << 12) |
                           (static_cast<unsigned>(v[2]) << 6) | static_cast<unsigned>(v[3]);
        // Canonical padding: the bits dropped by the padding must be zero.
        if ((pad == 1 && (n & 0xFF) != 0) || (pad == 2 && (n & 0xFFFF) != 0)) {
            error = "invalid last symbol at offset " + std::to_string(i + 3 - static_cast<std::size_t>(pad));
            return false;
        }
        out += static_cast<char>((n >> 16) & 0xFF);
        if (pad < 2) out += static_cast<char>((n >> 8) & 0xFF);
        if (pad < 1) out += static_cast<char>(n & 0xFF);
    }
    return true;
}

// ---- load conversion ----------------------------------------------------------

ref scalar_to_py(const ScalarValue& value) {
    switch (value.kind()) {
        case ScalarValue::Int: return ref::steal(PyLong_FromLongLong(value.as_int()));
        case ScalarValue::Float: return ref::steal(PyFloat_FromDouble(value.as_float()));
        case ScalarValue::Bool: return ref::borrow(value.as_bool() ? Py_True : Py_False);
        case ScalarValue::Str: return make_str(value.as_str());
        case ScalarValue::Null: break;
    }
    return ref::borrow(Py_None);
}

namespace {

/// The text used by the built-in tag conversions.
std::string_view scalar_text(const YamlScalar& s) {
    if (s.original) return *s.original;
    if (s.value.is_str()) return s.value.as_str();
    return {};
}

ref decode_binary(std::string_view text) {
    // Drop every Unicode whitespace character (line breaks of block scalars).
    std::string compact;
    compact.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        if (i + len > text.size()) len = text.size() - i;
        char32_t cp = c;
        if (len > 1) {
            cp = c & (0xFF >> (len + 1));
            for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        if (!Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(cp))) compact.append(text.substr(i, len));
        i += len;
    }
    std::string bytes, error;
    if (!base64_decode(compact, bytes, error)) {
        raise_binary_decode(error);
        return ref();
    }
    return ref::steal(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

ref decode_timestamp(std::string_view text) {
    std::string t(text);
    if (const auto sp = t.find(' '); sp != std::string::npos) t[sp] = 'T';
    ref module = ref::steal(PyImport_ImportModule("datetime"));
    if (!module) return ref();
    const bool is_datetime =
        t.find('T') != std::string::npos || t.size() <= 5 || t.find(':', 5) != std::string::npos;
    ref cls = ref::steal(PyObject_GetAttrString(module.get(), is_datetime ? "datetime" : "date"));
    if (!cls) return ref();
    ref arg = make_str(t);
    if (!arg) return ref();
    return ref::steal(PyObject_CallMethod(cls.get(), "fromisoformat", "O", arg.get()));
}

ref call_loader(PyObject* loader, PyObject* arg, std::string_view tag) {
    ref result = ref::steal(PyObject_CallOneArg(loader, arg));
    if (!result) {
        PyObject* exc = PyErr_GetRaisedException();
        raise_loader_error(tag, exc);
        Py_XDECREF(exc);
    }
    return result;
}

}  // namespace

ref apply_loader(ref value, SchemaObject* schema, const std::optional<std::string>& tag) {
    if (!value || !schema || !tag) return value;
    ref loader;
    if (!schema_find_loader(schema, *tag, loader)) return ref();
    if (!loader) return value;
    return call_loader(loader.get(), value.get(), *tag);
}

ref node_to_py(const YamlNode& node, SchemaObject* schema) {
    RecursionGuard guard(" while converting YAML to Python");
    if (!guard) return ref();
    const YamlNode* n = &node;
    while (const AliasNode* a = n->alias()) n = a->target.get();
    switch (n->kind()) {
        case YamlNode::Null:
        case YamlNode::Alias:
            return ref::borrow(Py_None);
        case YamlNode::Sequence: {
            const YamlSequence& s = *n->sequence();
            return apply_loader(sequence_to_py_obj(YamlSequence(s), DocMeta{}, schema), schema, s.tag);
        }
        case YamlNode::Mapping: {
            const YamlMapping& m = *n->mapping();
            return apply_loader(mapping_to_py_obj(YamlMapping(m), DocMeta{}, schema), schema, m.tag);
        }
        case YamlNode::Scalar:
            break;
    }
    const YamlScalar& s = *n->scalar();
    if (s.tag && schema && schema_has_loaders(schema)) {
        ref loader;
        if (!schema_find_loader(schema, *s.tag, loader)) return ref();
        if (loader) {
            ref arg = scalar_to_py(s.value);
            if (!arg) return arg;
            return call_loader(loader.get(), arg.get(), *s.tag);
        }
    }
    if (tag_is(s.tag, kBinaryTags)) return decode_binary(scalar_text(s));
    if (tag_is(s.tag, kTimestampTags)) return decode_timestamp(scalar_text(s));
    return scalar_to_py(s.value);
}

ref mapping_to_py_obj(YamlMapping&& mapping, DocMeta&& meta, SchemaObject* schema) {
    std::vector<ref> values;
    values.reserve(mapping.entries.size());
    for (const auto& slot : mapping.entries) {
        ref v = node_to_py(slot.value.value, schema);
        if (!v) return v;
        values.push_back(std::move(v));
    }
    ref obj = new_mapping_object(std::move(mapping), std::move(meta));
    if (!obj) return obj;
    // Not yet visible to Python: the state can be read without a borrow.
    const YamlMapping& inner = as_mapping(obj.get())->inner;
    for (std::size_t i = 0; i < values.size(); ++i) {
        ref key = make_str(inner.entries.at(i).key);
        if (!key || PyDict_SetItem(obj.get(), key.get(), values[i].get()) < 0) return ref();
    }
    return obj;
}

ref sequence_to_py_obj(YamlSequence&& sequence, DocMeta&& meta, SchemaObject* schema) {
    ref list = ref::steal(PyList_New(static_cast<Py_ssize_t>(sequence.items.size())));
    if (!list) return list;
    for (std::size_t i = 0; i < sequence.items.size(); ++i) {
        ref v = node_to_py(sequence.items[i].node, schema);
        if (!v) return v;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), v.release());
    }
    ref obj = new_sequence_object(std::move(sequence), std::move(meta));
    if (!obj) return obj;
    // Fill the parent list directly, bypassing the class's own hooks.
    if (PyList_SetSlice(obj.get(), 0, 0, list.get()) < 0) return ref();
    return obj;
}

bool parse_text(PyObject* text, SchemaObject* schema, ParsedDocuments& out) {
    return guarded([&]() -> bool {
        std::uint8_t bits = 0;
        if (!schema_tag_policy(schema, bits)) return false;
        std::string_view utf8;
        if (!str_utf8(text, utf8)) return false;
        Parser<TextSource> parser{TextSource(utf8)};
        return parse_all(parser, CoercionTags{bits}, out);
    });
}

ref node_to_doc(YamlNode&& tree, DocMeta&& meta, SchemaObject* schema) {
    if (YamlMapping* m = tree.mapping()) return mapping_to_py_obj(std::move(*m), std::move(meta), schema);
    if (YamlSequence* s = tree.sequence()) return sequence_to_py_obj(std::move(*s), std::move(meta), schema);
    return new_scalar_object(std::move(tree), std::move(meta));
}

// ---- dump conversion ------------------------------------------------------------

namespace {

/// Names issued for the plain containers that the census met twice or more.
struct AnchorRegistry {
    std::unordered_map<PyObject*, std::optional<std::string>> names;
    std::vector<ref> keep_alive;  // so that an identity is never reused mid-dump
    unsigned counter = 0;
};

thread_local AnchorRegistry* t_anchors = nullptr;
thread_local std::unordered_set<PyObject*> t_in_progress;
thread_local int t_dumper_depth = 0;

/// Installs a registry for one document; the previous one (if a dumper
/// started a nested dump) comes back when the guard ends, on every path.
class AnchorGuard {
public:
    explicit AnchorGuard(AnchorRegistry& registry) noexcept : previous_(t_anchors) { t_anchors = &registry; }
    AnchorGuard(const AnchorGuard&) = delete;
    AnchorGuard& operator=(const AnchorGuard&) = delete;
    ~AnchorGuard() { t_anchors = previous_; }

private:
    AnchorRegistry* previous_;
};

/// Marks a container as being converted on this thread until the guard ends.
class InProgress {
public:
    InProgress(PyObject* obj) : obj_(obj) { inserted_ = t_in_progress.insert(obj).second; }
    InProgress(const InProgress&) = delete;
    InProgress& operator=(const InProgress&) = delete;
    ~InProgress() {
        if (inserted_) t_in_progress.erase(obj_);
    }
    /// False when the container was already being converted.
    [[nodiscard]] bool fresh() const noexcept { return inserted_; }

private:
    PyObject* obj_;
    bool inserted_ = false;
};

bool prepass(PyObject* obj, std::unordered_map<PyObject*, unsigned>& counts) {
    if (is_mapping_object(obj) || is_sequence_object(obj)) return true;
    const bool is_dict = PyDict_Check(obj);
    const bool is_list = !is_dict && PyList_Check(obj);
    const bool is_tuple = !is_dict && !is_list && PyTuple_Check(obj);
    if (!is_dict && !is_list && !is_tuple) return true;
    if (++counts[obj] > 1) return true;
    RecursionGuard guard(" while dumping to YAML");
    if (!guard) return false;
    // No Python code runs here, so borrowed items stay valid.
    if (is_dict) {
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(obj, &pos, &key, &value))
            if (!prepass(value, counts)) return false;
    } else if (is_list) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i)
            if (!prepass(PyList_GET_ITEM(obj, i), counts)) return false;
    } else {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i)
            if (!prepass(PyTuple_GET_ITEM(obj, i), counts)) return false;
    }
    return true;
}

bool key_string(PyObject* key, std::string& out) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "mapping keys must be str, not %.200s", Py_TYPE(key)->tp_name);
        return false;
    }
    std::string_view text;
    if (!str_utf8(key, text)) return false;
    out.assign(text);
    return true;
}

using Converter = bool (*)(PyObject*, SchemaObject*, YamlNode&);

/// A mapping from a dict's items, values converted by `convert`.
bool dict_to_mapping(PyObject* dict, SchemaObject* schema, Converter convert, YamlMapping& out) {
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    out.entries.reserve(static_cast<std::size_t>(size));
    Py_ssize_t pos = 0;
    PyObject* k;
    PyObject* v;
    while (PyDict_Next(dict, &pos, &k, &v)) {
        // Hold both: converting the value may run code that changes the dict.
        ref key = ref::borrow(k);
        ref value = ref::borrow(v);
        std::string text;
        if (!key_string(key.get(), text)) return false;
        YamlEntry entry;
        if (!convert(value.get(), schema, entry.value)) return false;
        out.entries.insert(std::move(text), std::move(entry));
        if (PyDict_GET_SIZE(dict) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return false;
        }
    }
    return true;
}

/// A sequence from a list's or tuple's items.
bool items_to_sequence(PyObject* seq, SchemaObject* schema, Converter convert, YamlSequence& out) {
    const bool is_list = PyList_Check(seq);
    const Py_ssize_t n = is_list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq);
    out.items.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0;; ++i) {
        // A list may change while its items are converted: re-check the size.
        if (i >= (is_list ? PyList_GET_SIZE(seq) : n)) break;
        ref item = ref::borrow(is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i));
        YamlItem out_item;
        if (!convert(item.get(), schema, out_item.node)) return false;
        out.items.push_back(std::move(out_item));
    }
    return true;
}

/// Copies an entry's metadata; the value too unless it is a collection,
/// whose current contents come from the object's Python part instead.
YamlEntry copy_entry_shallow(const YamlEntry& e) {
    YamlEntry out;
    if (!e.value.is_collection()) out.value = e.value;
    out.comment_before = e.comment_before;
    out.comment_inline = e.comment_inline;
    out.blank_lines_before = e.blank_lines_before;
    out.key_style = e.key_style;
    out.key_anchor = e.key_anchor;
    out.key_tag = e.key_tag;
    out.key_alias = e.key_alias;
    out.key_node = e.key_node;
    return out;
}

bool extract_mapping_object(PyObject* obj, SchemaObject* schema, YamlNode& out) {
    InProgress progress(obj);
    if (!progress.fresh()) {
        raise_self_referential();
        return false;
    }
    MappingObject* m = as_mapping(obj);
    YamlMapping result;
    std::vector<std::pair<std::string, YamlEntry>> entries;
    std::vector<bool> from_dict;
    {
        SharedBorrow borrow(m->borrow);
        if (!borrow.ok()) return false;
        result.style = m->inner.style;
        result.tag = m->inner.tag;
        result.anchor = m->inner.anchor;
        result.trailing_blank_lines = m->inner.trailing_blank_lines;
        entries.reserve(m->inner.entries.size());
        from_dict.reserve(m->inner.entries.size());
        for (const auto& slot : m->inner.entries) {
            entries.emplace_back(slot.key, copy_entry_shallow(slot.value));
            from_dict.push_back(slot.value.value.is_collection());
        }
    }
    result.entries.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        auto& [key, entry] = entries[i];
        if (from_dict[i]) {
            ref pykey = make_str(key);
            if (!pykey) return false;
            ref value = ref::borrow(PyDict_GetItemWithError(obj, pykey.get()));
            if (!value) {
                if (PyErr_Occurred()) return false;
                continue;  // no current value: the entry is left out
            }
            if (!extract_yaml_node(value.get(), schema, entry.value)) return false;
        }
        result.entries.insert(std::move(key), std::move(entry));
    }
    out = YamlNode(std::move(result));
    return true;
}

bool extract_sequence_object(PyObject* obj, SchemaObject* schema, YamlNode& out) {
    InProgress progress(obj);
    if (!progress.fresh()) {
        raise_self_referential();
        return false;
    }
    SequenceObject* s = as_sequence(obj);
    YamlSequence result;
    std::vector<bool> from_list;
    {
        SharedBorrow borrow(s->borrow);
        if (!borrow.ok()) return false;
        result.style = s->inner.style;
        result.tag = s->inner.tag;
        result.anchor = s->inner.anchor;
        result.trailing_blank_lines = s->inner.trailing_blank_lines;
        result.items.reserve(s->inner.items.size());
        for (const YamlItem& item : s->inner.items) {
            YamlItem copy;
            const bool container = item.node.is_collection();
            if (!container) copy.node = item.node;
            copy.comment_before = item.comment_before;
            copy.comment_inline = item.comment_inline;
            copy.blank_lines_before = item.blank_lines_before;
            result.items.push_back(std::move(copy));
            from_list.push_back(container);
        }
    }
    std::vector<YamlItem> items = std::move(result.items);
    result.items.clear();
    result.items.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (from_list[i]) {
            const auto idx = static_cast<Py_ssize_t>(i);
            if (idx >= PyList_GET_SIZE(obj)) continue;  // no current element: left out
            ref element = ref::borrow(PyList_GET_ITEM(obj, idx));
            if (!extract_yaml_node(element.get(), schema, items[i].node)) return false;
        }
        result.items.push_back(std::move(items[i]));
    }
    out = YamlNode(std::move(result));
    return true;
}

bool copy_scalar_object(PyObject* obj, YamlNode& out) {
    ScalarObject* s = as_scalar(obj);
    SharedBorrow borrow(s->borrow);
    if (!borrow.ok()) return false;
    out = s->node;
    return true;
}

/// Anchor step for plain containers met during extract_yaml_node: true when
/// `out` was produced (an alias), false with `name` set to the anchor to put
/// on the converted node (or empty).
bool anchor_step(PyObject* obj, std::optional<std::string>& name, YamlNode& out) {
    if (!t_anchors) return false;
    auto it = t_anchors->names.find(obj);
    if (it == t_anchors->names.end()) return false;
    if (it->second) {
        out = YamlNode(AliasNode{*it->second, Box<YamlNode>()});
        return true;
    }
    char buf[24];
    std::snprintf(buf, sizeof buf, "id%03u", ++t_anchors->counter);
    it->second = buf;
    name = it->second;
    return false;
}

}  // namespace

bool extract_yaml_node(PyObject* obj, SchemaObject* schema, YamlNode& out) {
    return guarded([&]() -> bool {
        RecursionGuard guard(" while dumping to YAML");
        if (!guard) return false;
        if (is_mapping_object(obj)) return extract_mapping_object(obj, schema, out);
        if (is_sequence_object(obj)) return extract_sequence_object(obj, schema, out);
        if (is_scalar_object(obj)) return copy_scalar_object(obj, out);
        if (auto scalar = py_primitive_to_scalar(obj)) {
            out = YamlNode(std::move(*scalar));
            return true;
        }
        const bool is_dict = PyDict_Check(obj);
        const bool is_list = !is_dict && PyList_Check(obj);
        if (!is_dict && !is_list && !PyTuple_Check(obj)) return py_to_node(obj, schema, out);

        std::optional<std::string> anchor;
        if (anchor_step(obj, anchor, out)) return true;
        // A container the census did not see (reached only through a node
        // object's Python part) must not recurse into itself for ever.
        InProgress progress(obj);
        if (!progress.fresh()) {
            raise_recursive_structure(is_dict ? "dict" : is_list ? "list" : "tuple");
            return false;
        }
        if (is_dict) {
            YamlMapping m;
            if (!dict_to_mapping(obj, schema, extract_yaml_node, m)) return false;
            m.anchor = std::move(anchor);
            out = YamlNode(std::move(m));
        } else {
            YamlSequence s;
            if (!items_to_sequence(obj, schema, extract_yaml_node, s)) return false;
            s.anchor = std::move(anchor);
            out = YamlNode(std::move(s));
        }
        return true;
    });
}

std::optional<YamlScalar> py_primitive_to_scalar(PyObject* obj) {
    YamlScalar s;
    // Fast paths for the exact built-in types.
    if (obj == Py_None) return s;
    if (PyBool_Check(obj)) {
        s.value = ScalarValue::of_bool(obj == Py_True);
        return s;
    }
    if (PyUnicode_CheckExact(obj)) {
        std::string_view text;
        if (!str_utf8(obj, text)) {
            PyErr_Clear();
            return std::nullopt;
        }
        s.value = ScalarValue::of_str(std::string(text));
        return s;
    }
    if (PyFloat_CheckExact(obj)) {
        s.value = ScalarValue::of_float(PyFloat_AS_DOUBLE(obj));
        return s;
    }
    // NumPy's boolean scalar has no __index__: recognise it by name.
    if (std::string_view(Py_TYPE(obj)->tp_name) == "numpy.bool" ||
        std::string_view(Py_TYPE(obj)->tp_name) == "numpy.bool_") {
        const int truth = PyObject_IsTrue(obj);
        if (truth >= 0) {
            s.value = ScalarValue::of_bool(truth != 0);
            return s;
        }
        PyErr_Clear();
    }
    if (PyIndex_Check(obj)) {
        ref index = ref::steal(PyNumber_Index(obj));
        if (index) {
            int overflow = 0;
            const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
            if (overflow == 0 && !(v == -1 && PyErr_Occurred())) {
                s.value = ScalarValue::of_int(v);
                return s;
            }
        }
        PyErr_Clear();
    }
    if (Py_TYPE(obj)->tp_as_number && (Py_TYPE(obj)->tp_as_number->nb_float || Py_TYPE(obj)->tp_as_number->nb_index)) {
        const double d = PyFloat_AsDouble(obj);
        if (!(d == -1.0 && PyErr_Occurred())) {
            s.value = ScalarValue::of_float(d);
            return s;
        }
        PyErr_Clear();
    }
    if (PyUnicode_Check(obj)) {
        std::string_view text;
        if (str_utf8(obj, text)) {
            s.value = ScalarValue::of_str(std::string(text));
            return s;
        }
        PyErr_Clear();
    }
    return std::nullopt;
}

namespace {

/// Calls the dumper and converts its data; the tag it returns replaces the
/// node's own.
bool apply_dumper(PyObject* func, PyObject* obj, SchemaObject* schema, YamlNode& out) {
    PyTypeObject* type = Py_TYPE(obj);
    // Data returned by a dumper is converted with the same dumpers: bound
    // the nesting so a dumper that returns its own type again fails cleanly.
    constexpr int kMaxDumperDepth = 200;
    if (t_dumper_depth >= kMaxDumperDepth) {
        raise_dumper_recursion(type);
        return false;
    }
    ref result = ref::steal(PyObject_CallOneArg(func, obj));
    if (!result) {
        PyObject* exc = PyErr_GetRaisedException();
        raise_dumper_raised(type, exc);
        Py_XDECREF(exc);
        return false;
    }
    if (!PyTuple_Check(result.get()) || PyTuple_GET_SIZE(result.get()) != 2 ||
        !PyUnicode_Check(PyTuple_GET_ITEM(result.get(), 0))) {
        std::string failure;
        if (!PyTuple_Check(result.get())) {
            failure = "TypeError: '" + type_qualname(Py_TYPE(result.get())) + "' object cannot be converted to 'tuple'";
        } else if (PyTuple_GET_SIZE(result.get()) != 2) {
            failure = "ValueError: expected tuple of length 2, but got tuple of length " +
                      std::to_string(PyTuple_GET_SIZE(result.get()));
        } else {
            failure = "TypeError: '" + type_qualname(Py_TYPE(PyTuple_GET_ITEM(result.get(), 0))) +
                      "' object cannot be converted to 'str'";
        }
        raise_dumper_bad_result(type, failure);
        return false;
    }
    std::string_view tag;
    if (!str_utf8(PyTuple_GET_ITEM(result.get(), 0), tag)) return false;
    std::string tag_text(tag);
    ref data = ref::borrow(PyTuple_GET_ITEM(result.get(), 1));
    ++t_dumper_depth;
    const bool ok = py_to_node(data.get(), schema, out);
    --t_dumper_depth;
    if (!ok) return false;
    if (auto* m = out.mapping()) m->tag = std::move(tag_text);
    else if (auto* s = out.sequence()) s->tag = std::move(tag_text);
    else if (auto* sc = out.scalar()) sc->tag = std::move(tag_text);
    return true;
}

PyObject* mapping_abc() {
    static PyObject* cls = nullptr;  // kept for the life of the process
    if (!cls) {
        ref module = ref::steal(PyImport_ImportModule("collections.abc"));
        if (!module) return nullptr;
        cls = PyObject_GetAttrString(module.get(), "Mapping");
    }
    return cls;
}

}  // namespace

bool py_to_node(PyObject* obj, SchemaObject* schema, YamlNode& out) {
    return guarded([&]() -> bool {
        RecursionGuard guard(" while dumping to YAML");
        if (!guard) return false;
        if (schema_has_dumpers(schema)) {
            ref func;
            if (!schema_find_dumper(schema, obj, func)) return false;
            if (func) return apply_dumper(func.get(), obj, schema, out);
        }
        if (is_mapping_object(obj)) {
            MappingObject* m = as_mapping(obj);
            SharedBorrow borrow(m->borrow);
            if (!borrow.ok()) return false;
            out = YamlNode(YamlMapping(m->inner));
            return true;
        }
        if (is_sequence_object(obj)) {
            SequenceObject* s = as_sequence(obj);
            SharedBorrow borrow(s->borrow);
            if (!borrow.ok()) return false;
            out = YamlNode(YamlSequence(s->inner));
            return true;
        }
        if (is_scalar_object(obj)) return copy_scalar_object(obj, out);
        if (auto scalar = py_primitive_to_scalar(obj)) {
            out = YamlNode(std::move(*scalar));
            return true;
        }
        if (PyUnicode_Check(obj)) {
            // Only a str that has no UTF-8 form (lone surrogates) gets here.
            // Raise the encoder's error; as an iterable of one-character
            // strings it would recurse until RecursionError.
            std::string_view text;
            if (!str_utf8(obj, text)) return false;
        }
        if (PyTuple_Check(obj) || PyList_Check(obj)) {
            InProgress progress(obj);
            if (!progress.fresh()) {
                raise_recursive_structure(PyTuple_Check(obj) ? "tuple" : "list");
                return false;
            }
            YamlSequence s;
            if (!items_to_sequence(obj, schema, py_to_node, s)) return false;
            out = YamlNode(std::move(s));
            return true;
        }
        if (PyBytes_Check(obj) || PyByteArray_Check(obj)) {
            const bool b = PyBytes_Check(obj);
            const auto* data = reinterpret_cast<const unsigned char*>(b ? PyBytes_AS_STRING(obj) : PyByteArray_AS_STRING(obj));
            const auto n = static_cast<std::size_t>(b ? PyBytes_GET_SIZE(obj) : PyByteArray_GET_SIZE(obj));
            YamlScalar s;
            s.value = ScalarValue::of_str(base64_encode({data, n}));
            s.tag = "!!binary";
            out = YamlNode(std::move(s));
            return true;
        }
        bool is_date = false;
        if (!is_date_or_datetime(obj, is_date)) return false;
        if (is_date) {
            ref text = ref::steal(PyObject_CallMethod(obj, "isoformat", nullptr));
            if (!text) return false;
            if (!PyUnicode_Check(text.get())) {
                PyErr_Format(PyExc_TypeError, "isoformat() must return str, not %.200s", Py_TYPE(text.get())->tp_name);
                return false;
            }
            std::string_view utf8;
            if (!str_utf8(text.get(), utf8)) return false;
            YamlScalar s;
            s.value = ScalarValue::of_str(std::string(utf8));
            s.tag = "!!timestamp";
            out = YamlNode(std::move(s));
            return true;
        }
        if (PyDict_Check(obj)) {
            InProgress progress(obj);
            if (!progress.fresh()) {
                raise_recursive_structure("dict");
                return false;
            }
            YamlMapping m;
            if (!dict_to_mapping(obj, schema, py_to_node, m)) return false;
            out = YamlNode(std::move(m));
            return true;
        }
        PyObject* abc = mapping_abc();
        if (!abc) return false;
        const int is_abc_mapping = PyObject_IsInstance(obj, abc);
        if (is_abc_mapping < 0) return false;
        if (is_abc_mapping) {
            ref items = ref::steal(PyObject_CallMethod(obj, "items", nullptr));
            if (!items) return false;
            ref it = ref::steal(PyObject_GetIter(items.get()));
            if (!it) return false;
            YamlMapping m;
            while (ref pair = ref::steal(PyIter_Next(it.get()))) {
                ref key = ref::steal(PySequence_GetItem(pair.get(), 0));
                if (!key) return false;
                std::string text;
                if (!key_string(key.get(), text)) return false;
                ref value = ref::steal(PySequence_GetItem(pair.get(), 1));
                if (!value) return false;
                YamlEntry entry;
                if (!py_to_node(value.get(), schema, entry.value)) return false;
                m.entries.insert(std::move(text), std::move(entry));
            }
            if (PyErr_Occurred()) return false;
            out = YamlNode(std::move(m));
            return true;
        }
        ref it = ref::steal(PyObject_GetIter(obj));
        if (it) {
            YamlSequence s;
            while (ref item = ref::steal(PyIter_Next(it.get()))) {
                YamlItem y;
                if (!py_to_node(item.get(), schema, y.node)) return false;
                s.items.push_back(std::move(y));
            }
            if (PyErr_Occurred()) return false;
            out = YamlNode(std::move(s));
            return true;
        }
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyErr_Clear();
        raise_cannot_convert(obj);
        return false;
    });
}

bool py_to_node_with_fallback(PyObject* obj, SchemaObject* schema, YamlNode& node, ref& value) {
    if (!py_to_node(obj, schema, node)) {
        PyErr_Clear();
        node = YamlNode(YamlMapping());
        value = ref::borrow(obj);
        return true;
    }
    value = node_to_py(node, schema);
    return static_cast<bool>(value);
}

bool extract_doc_and_meta(PyObject* doc, SchemaObject* schema, YamlNode& tree, DocMeta& meta) {
    return guarded([&]() -> bool {
        AnchorRegistry registry;
        {
            std::unordered_map<PyObject*, unsigned> counts;
            if (!prepass(doc, counts)) return false;
            for (const auto& [obj, n] : counts) {
                if (n < 2) continue;
                registry.names.emplace(obj, std::nullopt);
                registry.keep_alive.push_back(ref::borrow(obj));
            }
        }
        AnchorGuard guard(registry);
        if (!extract_yaml_node(doc, schema, tree)) return false;
        meta = DocMeta{};
        if (is_mapping_object(doc) || is_sequence_object(doc) || is_scalar_object(doc)) {
            BorrowFlag& flag = is_mapping_object(doc)    ? as_mapping(doc)->borrow
                               : is_sequence_object(doc) ? as_sequence(doc)->borrow
                                                         : as_scalar(doc)->borrow;
            SharedBorrow borrow(flag);
            if (!borrow.ok()) return false;
            meta = is_mapping_object(doc)    ? as_mapping(doc)->meta
                   : is_sequence_object(doc) ? as_sequence(doc)->meta
                                             : as_scalar(doc)->meta;
        }
        return true;
    });
}

Ordering py_compare(PyObject* a, PyObject* b, ref& error) {
    auto test = [&](int op) -> int {
        const int r = PyObject_RichCompareBool(a, b, op);
        if (r < 0) error = ref::steal(PyErr_GetRaisedException());
        return r;
    };
    const int lt = test(Py_LT);
    if (lt > 0) return Ordering::Less;
    if (lt < 0) return Ordering::Equal;
    const int gt = test(Py_GT);
    if (gt > 0) return Ordering::Greater;
    return Ordering::Equal;
}

}  // namespace tesvorn::py
