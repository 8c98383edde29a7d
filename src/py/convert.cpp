#include "py/convert.hpp"

#include <datetime.h>

#include <cstdio>
#include <unordered_set>

#include "core/base64.hpp"
#include "core/emitter.hpp"
#include "py/driver.hpp"
#include "py/errors.hpp"

namespace tesvorn::py {

namespace {

constexpr std::string_view kBinaryTags[] = {"!!binary", "tag:yaml.org,2002:binary"};
constexpr std::string_view kTimestampTags[] = {"!!timestamp", "tag:yaml.org,2002:timestamp"};

bool tag_is(const OptString& tag, const std::string_view (&names)[2]) {
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

// ---- load conversion ----------------------------------------------------------

ref scalar_to_py(const ScalarValue& value) {
    switch (value.kind()) {
        case ScalarValue::Int:
            return ref::steal(PyLong_FromLongLong(value.as_int()));
        case ScalarValue::Float:
            return ref::steal(PyFloat_FromDouble(value.as_float()));
        case ScalarValue::Bool:
            return ref::borrow(value.as_bool() ? Py_True : Py_False);
        case ScalarValue::Str:
            return make_str(value.as_str());
        case ScalarValue::Null:
            break;
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
        std::size_t len = 0;
        const char32_t cp = code_point_at(text, i, len);
        if (!Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(cp))) compact.append(text.substr(i, len));
        i += len;
    }
    std::string bytes, error;
    if (!base64_decode(compact, bytes, error)) {
        raise_binary_decode(error);
        return ref();
    }
    return ref::steal(
        PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
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

ref apply_loader(ref value, SchemaObject* schema, const OptString& tag) {
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
            return apply_loader(sequence_to_py_obj(YamlSequence(s), DocMeta{}, schema), schema,
                                s.tag);
        }
        case YamlNode::Mapping: {
            const YamlMapping& m = *n->mapping();
            return apply_loader(mapping_to_py_obj(YamlMapping(m), DocMeta{}, schema), schema,
                                m.tag);
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
    if (YamlMapping* m = tree.mapping())
        return mapping_to_py_obj(std::move(*m), std::move(meta), schema);
    if (YamlSequence* s = tree.sequence())
        return sequence_to_py_obj(std::move(*s), std::move(meta), schema);
    return new_scalar_object(std::move(tree), std::move(meta));
}

// ---- dump conversion ------------------------------------------------------------

namespace {

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
        bool busy;
    };

    IdentityTable() : slots_(kInitialSize) {}

    [[nodiscard]] Slot* find(PyObject* obj) noexcept {
        for (std::size_t i = home(obj);; i = (i + 1) & mask()) {
            Slot& s = slots_[i];
            if (s.obj == obj) return &s;
            if (s.obj == nullptr) return nullptr;
        }
    }

    /// The slot of `obj`, added with a zero count when absent.
    Slot& add(PyObject* obj) {
        if ((used_ + 1) * 2 > slots_.size()) grow();
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
    bool holding = false;

    AnchorRegistry() = default;
    AnchorRegistry(const AnchorRegistry&) = delete;
    AnchorRegistry& operator=(const AnchorRegistry&) = delete;
    ~AnchorRegistry() {
        if (holding)
            table.for_each([](IdentityTable::Slot& s) {
                if (s.count >= 2) Py_DECREF(s.obj);
            });
    }
    void hold_shared() noexcept {
        table.for_each([](IdentityTable::Slot& s) {
            if (s.count >= 2) Py_INCREF(s.obj);
        });
        holding = true;
    }
};

thread_local AnchorRegistry* t_anchors = nullptr;
// Containers under conversion while no registry is installed (values
// assigned into node objects outside a dump).
thread_local std::unordered_set<PyObject*> t_in_progress;
thread_local int t_dumper_depth = 0;

/// Installs a registry for one document; the previous one (if a dumper
/// started a nested dump) comes back when the guard ends, on every path.
class AnchorGuard {
  public:
    explicit AnchorGuard(AnchorRegistry& registry) noexcept : previous_(t_anchors) {
        t_anchors = &registry;
    }
    AnchorGuard(const AnchorGuard&) = delete;
    AnchorGuard& operator=(const AnchorGuard&) = delete;
    ~AnchorGuard() { t_anchors = previous_; }

  private:
    AnchorRegistry* previous_;
};

/// Marks a container as being converted until the mark ends: in the
/// document's registry during a dump, else in the thread's own set.
class ProgressMark {
  public:
    ProgressMark(AnchorRegistry* registry, PyObject* obj) : registry_(registry), obj_(obj) {
        if (registry_ != nullptr) {
            IdentityTable::Slot& s = registry_->table.add(obj);
            fresh_ = !s.busy;
            s.busy = true;
        } else {
            fresh_ = t_in_progress.insert(obj).second;
        }
    }
    ProgressMark(const ProgressMark&) = delete;
    ProgressMark& operator=(const ProgressMark&) = delete;
    ~ProgressMark() {
        if (!fresh_) return;
        if (registry_ == nullptr) {
            t_in_progress.erase(obj_);
        } else if (IdentityTable::Slot* s = registry_->table.find(obj_)) {
            s->busy = false;
        }
    }
    /// False when the container was already being converted.
    [[nodiscard]] bool fresh() const noexcept { return fresh_; }

  private:
    AnchorRegistry* registry_;
    PyObject* obj_;
    bool fresh_ = false;
};

bool is_plain_container(PyObject* obj) noexcept {
    constexpr unsigned long kFlags =
        Py_TPFLAGS_DICT_SUBCLASS | Py_TPFLAGS_LIST_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS;
    return (Py_TYPE(obj)->tp_flags & kFlags) != 0 && !is_mapping_object(obj) &&
           !is_sequence_object(obj);
}

/// The census: counts how often each dict, list and tuple is reached,
/// entering each only once (so cycles end). Node objects are neither counted
/// nor entered. No Python code runs here, so borrowed pointers stay valid;
/// the walk keeps its own stack, so any depth is fine.
void prepass(PyObject* root, IdentityTable& table) {
    if (!is_plain_container(root)) return;
    std::vector<PyObject*> stack{root};
    const auto visit = [&](PyObject* child) {
        if (is_plain_container(child)) stack.push_back(child);
    };
    while (!stack.empty()) {
        PyObject* obj = stack.back();
        stack.pop_back();
        if (++table.add(obj).count > 1) continue;
        if (PyDict_Check(obj)) {
            Py_ssize_t pos = 0;
            PyObject* key;
            PyObject* value;
            while (PyDict_Next(obj, &pos, &key, &value)) visit(value);
        } else if (PyList_Check(obj)) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) visit(PyList_GET_ITEM(obj, i));
        } else {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i) visit(PyTuple_GET_ITEM(obj, i));
        }
    }
}

std::string anchor_name(std::uint32_t number) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "id%03u", static_cast<unsigned>(number));
    return buf;
}

YamlScalar& set_scalar(YamlNode& out) {
    return out.emplace_scalar();
}

/// The exact built-in scalar types, converted without calling into Python:
/// true when `out` was set. Anything else (subclasses, ints beyond 64 bits,
/// strings that cannot be encoded) is left to the general rules.
bool exact_scalar(PyObject* obj, YamlNode& out) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyUnicode_Type) {
        Py_ssize_t n = 0;
        const char* p = PyUnicode_AsUTF8AndSize(obj, &n);
        if (p == nullptr) {
            PyErr_Clear();
            return false;
        }
        set_scalar(out).value = ScalarValue::of_str(std::string(p, static_cast<std::size_t>(n)));
        return true;
    }
    if (type == &PyLong_Type) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow != 0) return false;
        set_scalar(out).value = ScalarValue::of_int(v);
        return true;
    }
    if (type == &PyFloat_Type) {
        set_scalar(out).value = ScalarValue::of_float(PyFloat_AS_DOUBLE(obj));
        return true;
    }
    if (type == &PyBool_Type) {
        set_scalar(out).value = ScalarValue::of_bool(obj == Py_True);
        return true;
    }
    if (obj == Py_None) {
        set_scalar(out);
        return true;
    }
    return false;
}

bool key_string(PyObject* key, std::string& out) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "mapping keys must be str, not %.200s",
                     Py_TYPE(key)->tp_name);
        return false;
    }
    std::string_view text;
    if (!str_utf8(key, text)) return false;
    out.assign(text);
    return true;
}

/// Appends (or, for a repeated key text, replaces) the entry of `key` and
/// returns its value slot, which stays put while the value is converted.
YamlNode* entry_slot(YamlMapping& m, PyObject* key) {
    std::string text;
    if (!key_string(key, text)) return nullptr;
    return &m.entries.at(m.entries.insert(std::move(text), YamlEntry{})).value.value;
}

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

const char* container_kind(PyObject* obj) noexcept {
    return PyDict_Check(obj) ? "dict" : PyList_Check(obj) ? "list" : "tuple";
}

bool copy_scalar_object(PyObject* obj, YamlNode& out) {
    ScalarObject* s = as_scalar(obj);
    SharedBorrow borrow(s->borrow);
    if (!borrow.ok()) return false;
    out = s->node;
    return true;
}

PyObject* mapping_abc() {
    static PyObject* cls = nullptr;  // kept for the life of the process
    if (cls == nullptr) {
        ref module = ref::steal(PyImport_ImportModule("collections.abc"));
        if (!module) return nullptr;
        cls = PyObject_GetAttrString(module.get(), "Mapping");
    }
    return cls;
}

bool to_node(PyObject* obj, SchemaObject* schema, AnchorRegistry* registry, YamlNode& out);

/// Calls the dumper and converts its data; the tag it returns replaces the
/// node's own.
bool apply_dumper(PyObject* func, PyObject* obj, SchemaObject* schema, AnchorRegistry* registry,
                  YamlNode& out) {
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
        ref exc = ref::steal(PyErr_GetRaisedException());
        raise_dumper_raised(type, exc.get());
        return false;
    }
    PyObject* r = result.get();
    if (!PyTuple_Check(r) || PyTuple_GET_SIZE(r) != 2 || !PyUnicode_Check(PyTuple_GET_ITEM(r, 0))) {
        std::string failure;
        if (!PyTuple_Check(r)) {
            failure = "TypeError: '" + type_qualname(Py_TYPE(r)) +
                      "' object cannot be converted to 'tuple'";
        } else if (PyTuple_GET_SIZE(r) != 2) {
            failure = "ValueError: expected tuple of length 2, but got tuple of length " +
                      std::to_string(PyTuple_GET_SIZE(r));
        } else {
            failure = "TypeError: '" + type_qualname(Py_TYPE(PyTuple_GET_ITEM(r, 0))) +
                      "' object cannot be converted to 'str'";
        }
        raise_dumper_bad_result(type, failure);
        return false;
    }
    std::string_view tag;
    if (!str_utf8(PyTuple_GET_ITEM(r, 0), tag)) return false;
    std::string tag_text(tag);
    ++t_dumper_depth;
    const bool ok = to_node(PyTuple_GET_ITEM(r, 1), schema, registry, out);
    --t_dumper_depth;
    if (!ok) return false;
    if (auto* m = out.mapping()) {
        m->tag = std::move(tag_text);
    } else if (auto* s = out.sequence()) {
        s->tag = std::move(tag_text);
    } else if (auto* sc = out.scalar()) {
        sc->tag = std::move(tag_text);
    }
    return true;
}

/// The general value converter (`py_to_node`), with the registry whose
/// in-progress marks it shares during a dump.
bool to_node(PyObject* obj, SchemaObject* schema, AnchorRegistry* registry, YamlNode& out) {
    const bool dumpers = schema_has_dumpers(schema);
    if (!dumpers && exact_scalar(obj, out)) return true;
    RecursionGuard guard(kDumping, RecursionGuard::kMaxDumpDepth);
    if (!guard) return false;
    const auto convert = [&](PyObject* item, YamlNode& node) {
        return to_node(item, schema, registry, node);
    };
    if (dumpers) {
        ref func;
        if (!schema_find_dumper(schema, obj, func)) return false;
        if (func) return apply_dumper(func.get(), obj, schema, registry, out);
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
    // A str that is no primitive cannot be encoded (lone surrogates): raise
    // that, rather than taking it as an iterable of such strings.
    if (PyUnicode_Check(obj)) {
        std::string_view text;
        if (!str_utf8(obj, text)) return false;
    }
    if (PyTuple_Check(obj) || PyList_Check(obj)) {
        ProgressMark mark(registry, obj);
        if (!mark.fresh()) {
            raise_recursive_structure(container_kind(obj));
            return false;
        }
        return items_to_sequence(obj, convert, out.emplace_sequence());
    }
    if (PyBytes_Check(obj) || PyByteArray_Check(obj)) {
        const bool b = PyBytes_Check(obj);
        const auto* data = reinterpret_cast<const unsigned char*>(b ? PyBytes_AS_STRING(obj)
                                                                    : PyByteArray_AS_STRING(obj));
        const auto n =
            static_cast<std::size_t>(b ? PyBytes_GET_SIZE(obj) : PyByteArray_GET_SIZE(obj));
        YamlScalar& s = set_scalar(out);
        s.value = ScalarValue::of_str(base64_encode({data, n}));
        s.tag = "!!binary";
        return true;
    }
    bool is_date = false;
    if (!is_date_or_datetime(obj, is_date)) return false;
    if (is_date) {
        ref text = ref::steal(PyObject_CallMethod(obj, "isoformat", nullptr));
        if (!text) return false;
        if (!PyUnicode_Check(text.get())) {
            PyErr_Format(PyExc_TypeError, "isoformat() must return str, not %.200s",
                         Py_TYPE(text.get())->tp_name);
            return false;
        }
        std::string_view utf8;
        if (!str_utf8(text.get(), utf8)) return false;
        YamlScalar& s = set_scalar(out);
        s.value = ScalarValue::of_str(std::string(utf8));
        s.tag = "!!timestamp";
        return true;
    }
    if (PyDict_Check(obj)) {
        ProgressMark mark(registry, obj);
        if (!mark.fresh()) {
            raise_recursive_structure("dict");
            return false;
        }
        return dict_to_mapping(obj, convert, out.emplace_mapping());
    }
    PyObject* abc = mapping_abc();
    if (abc == nullptr) return false;
    const int is_abc_mapping = PyObject_IsInstance(obj, abc);
    if (is_abc_mapping < 0) return false;
    if (is_abc_mapping) return items_to_mapping(obj, convert, out.emplace_mapping());
    ref it = ref::steal(PyObject_GetIter(obj));
    if (it) return iterator_to_sequence(it.get(), convert, out.emplace_sequence());
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    raise_cannot_convert(obj);
    return false;
}

/// Copies an entry's metadata, and its value unless that is a collection
/// (whose current contents come from the object's Python part instead).
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

template <class Container>
void copy_container_metadata(const Container& from, Container& to) {
    to.style = from.style;
    to.tag = from.tag;
    to.anchor = from.anchor;
    to.trailing_blank_lines = from.trailing_blank_lines;
}

/// The dump converter (`extract_yaml_node`) for one document.
class Extractor {
  public:
    Extractor(SchemaObject* schema, AnchorRegistry* registry) noexcept
        : schema_(schema), registry_(registry) {}

    bool convert(PyObject* obj, YamlNode& out) {
        if (exact_scalar(obj, out)) return true;
        PyTypeObject* type = Py_TYPE(obj);
        if (type == &PyDict_Type || type == &PyList_Type || type == &PyTuple_Type)
            return plain_container(obj, out);
        if (is_mapping_object(obj)) return mapping_object(obj, out);
        if (is_sequence_object(obj)) return sequence_object(obj, out);
        if (is_scalar_object(obj)) return copy_scalar_object(obj, out);
        if (auto scalar = py_primitive_to_scalar(obj)) {
            out = YamlNode(std::move(*scalar));
            return true;
        }
        if (PyDict_Check(obj) || PyList_Check(obj) || PyTuple_Check(obj))
            return plain_container(obj, out);
        return to_node(obj, schema_, registry_, out);
    }

  private:
    /// A dict, list or tuple: the anchor step, then its contents.
    bool plain_container(PyObject* obj, YamlNode& out) {
        RecursionGuard guard(kDumping, RecursionGuard::kMaxDumpDepth);
        if (!guard) return false;
        std::optional<std::string> anchor;
        if (registry_ != nullptr) {
            IdentityTable::Slot* slot = registry_->table.find(obj);
            if (slot != nullptr && slot->count >= 2) {
                if (slot->anchor != 0) {
                    out = YamlNode(AliasNode{anchor_name(slot->anchor), Box<YamlNode>()});
                    return true;
                }
                slot->anchor = ++registry_->counter;
                anchor = anchor_name(slot->anchor);
            }
        }
        // A container the census did not see (reached only through a node
        // object's Python part) must not recurse into itself for ever.
        ProgressMark mark(registry_, obj);
        if (!mark.fresh()) {
            raise_recursive_structure(container_kind(obj));
            return false;
        }
        const auto convert = [this](PyObject* item, YamlNode& node) {
            return this->convert(item, node);
        };
        if (PyDict_Check(obj)) {
            YamlMapping& m = out.emplace_mapping();
            if (!dict_to_mapping(obj, convert, m)) return false;
            m.anchor = std::move(anchor);
        } else {
            YamlSequence& s = out.emplace_sequence();
            if (!items_to_sequence(obj, convert, s)) return false;
            s.anchor = std::move(anchor);
        }
        return true;
    }

    /// A YamlMapping object: its own metadata and every entry's metadata
    /// from `inner`; for an entry whose node there is a collection, the
    /// object its dict now holds under the key (left out when missing).
    bool mapping_object(PyObject* obj, YamlNode& out) {
        RecursionGuard guard(kDumping, RecursionGuard::kMaxDumpDepth);
        if (!guard) return false;
        ProgressMark mark(registry_, obj);
        if (!mark.fresh()) {
            raise_self_referential();
            return false;
        }
        MappingObject* m = as_mapping(obj);
        YamlMapping& result = out.emplace_mapping();
        std::vector<std::size_t> from_dict;
        {
            SharedBorrow borrow(m->borrow);
            if (!borrow.ok()) return false;
            copy_container_metadata(m->inner, result);
            result.entries.reserve(m->inner.entries.size());
            for (const auto& slot : m->inner.entries) {
                const std::size_t at =
                    result.entries.insert(slot.key, copy_entry_shallow(slot.value));
                if (slot.value.value.is_collection()) from_dict.push_back(at);
            }
        }
        std::vector<std::size_t> missing;
        for (const std::size_t i : from_dict) {
            auto& slot = result.entries.at(i);
            ref key = make_str(slot.key);
            if (!key) return false;
            ref value = ref::borrow(PyDict_GetItemWithError(obj, key.get()));
            if (!value) {
                if (PyErr_Occurred()) return false;
                missing.push_back(i);
                continue;
            }
            if (!convert(value.get(), slot.value.value)) return false;
        }
        for (auto i = missing.rbegin(); i != missing.rend(); ++i) result.entries.erase_at(*i);
        return true;
    }

    /// A YamlSequence object: the same by index.
    bool sequence_object(PyObject* obj, YamlNode& out) {
        RecursionGuard guard(kDumping, RecursionGuard::kMaxDumpDepth);
        if (!guard) return false;
        ProgressMark mark(registry_, obj);
        if (!mark.fresh()) {
            raise_self_referential();
            return false;
        }
        SequenceObject* s = as_sequence(obj);
        YamlSequence& result = out.emplace_sequence();
        std::vector<std::size_t> from_list;
        {
            SharedBorrow borrow(s->borrow);
            if (!borrow.ok()) return false;
            copy_container_metadata(s->inner, result);
            result.items.reserve(s->inner.items.size());
            for (const YamlItem& item : s->inner.items) {
                YamlItem& copy = result.items.emplace_back();
                if (item.node.is_collection()) {
                    from_list.push_back(result.items.size() - 1);
                } else {
                    copy.node = item.node;
                }
                copy.comment_before = item.comment_before;
                copy.comment_inline = item.comment_inline;
                copy.blank_lines_before = item.blank_lines_before;
            }
        }
        std::vector<std::size_t> missing;
        for (const std::size_t i : from_list) {
            // Python code run by a conversion may shorten the list.
            if (static_cast<Py_ssize_t>(i) >= PyList_GET_SIZE(obj)) {
                missing.push_back(i);
                continue;
            }
            ref element = ref::borrow(PyList_GET_ITEM(obj, static_cast<Py_ssize_t>(i)));
            if (!convert(element.get(), result.items[i].node)) return false;
        }
        for (auto i = missing.rbegin(); i != missing.rend(); ++i)
            result.items.erase(result.items.begin() + static_cast<std::ptrdiff_t>(*i));
        return true;
    }

    SchemaObject* schema_;
    AnchorRegistry* registry_;
};

/// Writes one document piece by piece: the entries or items of its root are
/// converted and written one at a time, and an entry's value that is itself
/// a large collection is opened by its key line and written the same way.
/// The text is the writer's for the whole tree; only the peak memory
/// changes (one piece, not the whole document).
class PieceWriter {
  public:
    PieceWriter(Extractor& extractor, AnchorRegistry& registry, BlockWriter& writer) noexcept
        : extractor_(extractor), registry_(registry), writer_(writer) {}

    /// Collections written in pieces: non-empty block ones without an anchor
    /// of the dump's own, i.e. exact dicts (keys exact str, so no two share
    /// a text), lists and tuples that the census met once, and YamlMapping /
    /// YamlSequence objects in block style.
    [[nodiscard]] bool in_pieces(PyObject* obj) {
        PyTypeObject* type = Py_TYPE(obj);
        if (type == &PyList_Type || type == &PyTuple_Type) {
            if (PySequence_Fast_GET_SIZE(obj) == 0) return false;
        } else if (type == &PyDict_Type) {
            if (PyDict_GET_SIZE(obj) == 0) return false;
            Py_ssize_t pos = 0;
            PyObject* key;
            PyObject* value;
            while (PyDict_Next(obj, &pos, &key, &value))
                if (!PyUnicode_CheckExact(key)) return false;
        } else if (is_mapping_object(obj) || is_sequence_object(obj)) {
            // A borrow conflict is left to the whole-tree road to report.
            Shape shape;
            if (!read_shape(obj, shape)) {
                PyErr_Clear();
                return false;
            }
            return shape.block && shape.size != 0;
        } else {
            return false;
        }
        const IdentityTable::Slot* slot = registry_.table.find(obj);
        return slot == nullptr || slot->count < 2;
    }

    /// Writes the content of `obj` (which `in_pieces`) at `column`, its
    /// trailing blank lines included. No Python code runs between the test
    /// and the first entry or item, so the collection is still not empty.
    bool write(PyObject* obj, std::size_t column) {
        RecursionGuard guard(kDumping, RecursionGuard::kMaxDumpDepth);
        if (!guard) return false;
        const bool node_object = is_mapping_object(obj) || is_sequence_object(obj);
        ProgressMark mark(&registry_, obj);
        if (!mark.fresh()) {
            if (node_object) {
                raise_self_referential();
            } else {
                raise_recursive_structure(container_kind(obj));
            }
            return false;
        }
        if (is_mapping_object(obj)) return mapping_object(obj, column);
        if (is_sequence_object(obj)) return sequence_object(obj, column);
        return PyDict_Check(obj) ? dict_entries(obj, column) : items(obj, column);
    }

    /// The root's anchor and tag (a node object's own; none for the rest).
    bool root_properties(PyObject* obj, OptString& anchor, OptString& tag) {
        Shape shape;
        if (!read_shape(obj, shape)) return false;
        anchor = std::move(shape.anchor);
        tag = std::move(shape.tag);
        return true;
    }

  private:
    struct Shape {
        bool block = true;
        std::size_t size = 0;
        OptString anchor;
        OptString tag;
    };

    static bool read_shape(PyObject* obj, Shape& out) {
        const auto read = [&out](BorrowFlag& flag, const auto& inner, std::size_t size) {
            SharedBorrow borrow(flag);
            if (!borrow.ok()) return false;
            out.block = inner.style == ContainerStyle::Block;
            out.size = size;
            out.anchor = inner.anchor;
            out.tag = inner.tag;
            return true;
        };
        if (is_mapping_object(obj)) {
            MappingObject* m = as_mapping(obj);
            return read(m->borrow, m->inner, m->inner.entries.size());
        }
        if (is_sequence_object(obj)) {
            SequenceObject* s = as_sequence(obj);
            return read(s->borrow, s->inner, s->inner.items.size());
        }
        return true;
    }

    /// One entry: its value (`value`, or `e.value` when null) written in
    /// pieces under the entry's opening lines when it can be, else the whole
    /// entry as one piece.
    bool entry(const std::string& key, YamlEntry& e, PyObject* value, std::size_t column) {
        if (value != nullptr && in_pieces(value)) {
            Shape shape;
            if (!read_shape(value, shape)) return false;
            writer_.open_value(key, e, shape.anchor ? &*shape.anchor : nullptr,
                               shape.tag ? &*shape.tag : nullptr, column);
            return write(value, column + writer_.step());
        }
        if (value != nullptr && !extractor_.convert(value, e.value)) return false;
        YamlMapping& piece = piece_.emplace_mapping();
        piece.entries.insert(key, std::move(e));
        writer_.content(piece_, column);
        return true;
    }

    void item(YamlItem&& it, std::size_t column) {
        YamlSequence& piece = piece_.emplace_sequence();
        piece.items.push_back(std::move(it));
        writer_.content(piece_, column);
    }

    bool dict_entries(PyObject* dict, std::size_t column) {
        const Py_ssize_t size = PyDict_GET_SIZE(dict);
        Py_ssize_t pos = 0;
        PyObject* k;
        PyObject* v;
        while (PyDict_Next(dict, &pos, &k, &v)) {
            ref key = ref::borrow(k);
            ref value = ref::borrow(v);
            std::string text;
            if (!key_string(key.get(), text)) return false;
            YamlEntry e;
            if (!entry(text, e, value.get(), column)) return false;
            if (PyDict_GET_SIZE(dict) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return false;
            }
        }
        return true;
    }

    bool items(PyObject* seq, std::size_t column) {
        const bool is_list = PyList_Check(seq);
        const Py_ssize_t n = is_list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq);
        for (Py_ssize_t i = 0; i < (is_list ? PyList_GET_SIZE(seq) : n); ++i) {
            ref child = ref::borrow(is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i));
            YamlItem it;
            if (!extractor_.convert(child.get(), it.node)) return false;
            item(std::move(it), column);
        }
        return true;
    }

    /// As Extractor::mapping_object, entry by entry.
    bool mapping_object(PyObject* obj, std::size_t column) {
        MappingObject* m = as_mapping(obj);
        std::uint8_t trailing = 0;
        std::vector<std::pair<std::string, YamlEntry>> entries;
        std::vector<bool> from_dict;
        {
            SharedBorrow borrow(m->borrow);
            if (!borrow.ok()) return false;
            trailing = m->inner.trailing_blank_lines;
            entries.reserve(m->inner.entries.size());
            for (const auto& slot : m->inner.entries) {
                entries.emplace_back(slot.key, copy_entry_shallow(slot.value));
                from_dict.push_back(slot.value.value.is_collection());
            }
        }
        for (std::size_t i = 0; i < entries.size(); ++i) {
            auto& [key, e] = entries[i];
            ref value;
            if (from_dict[i]) {
                ref pykey = make_str(key);
                if (!pykey) return false;
                value = ref::borrow(PyDict_GetItemWithError(obj, pykey.get()));
                if (!value) {
                    if (PyErr_Occurred()) return false;
                    continue;  // no current value: the entry is left out
                }
            }
            if (!entry(key, e, value.get(), column)) return false;
        }
        writer_.trailing_blank_lines(trailing);
        return true;
    }

    /// As Extractor::sequence_object, item by item.
    bool sequence_object(PyObject* obj, std::size_t column) {
        SequenceObject* s = as_sequence(obj);
        std::uint8_t trailing = 0;
        std::vector<YamlItem> copies;
        std::vector<bool> from_list;
        {
            SharedBorrow borrow(s->borrow);
            if (!borrow.ok()) return false;
            trailing = s->inner.trailing_blank_lines;
            copies.reserve(s->inner.items.size());
            for (const YamlItem& it : s->inner.items) {
                YamlItem& copy = copies.emplace_back();
                from_list.push_back(it.node.is_collection());
                if (!from_list.back()) copy.node = it.node;
                copy.comment_before = it.comment_before;
                copy.comment_inline = it.comment_inline;
                copy.blank_lines_before = it.blank_lines_before;
            }
        }
        for (std::size_t i = 0; i < copies.size(); ++i) {
            if (from_list[i]) {
                const auto idx = static_cast<Py_ssize_t>(i);
                if (idx >= PyList_GET_SIZE(obj)) continue;  // no current element: left out
                ref element = ref::borrow(PyList_GET_ITEM(obj, idx));
                if (!extractor_.convert(element.get(), copies[i].node)) return false;
            }
            item(std::move(copies[i]), column);
        }
        writer_.trailing_blank_lines(trailing);
        return true;
    }

    Extractor& extractor_;
    AnchorRegistry& registry_;
    BlockWriter& writer_;
    YamlNode piece_;
};

/// A node object's document metadata (the default for anything else).
bool read_doc_meta(PyObject* doc, DocMeta& meta) {
    meta = DocMeta{};
    BorrowFlag* flag = nullptr;
    const DocMeta* source = nullptr;
    if (is_mapping_object(doc)) {
        flag = &as_mapping(doc)->borrow;
        source = &as_mapping(doc)->meta;
    } else if (is_sequence_object(doc)) {
        flag = &as_sequence(doc)->borrow;
        source = &as_sequence(doc)->meta;
    } else if (is_scalar_object(doc)) {
        flag = &as_scalar(doc)->borrow;
        source = &as_scalar(doc)->meta;
    }
    if (flag == nullptr) return true;
    SharedBorrow borrow(*flag);
    if (!borrow.ok()) return false;
    meta = *source;
    return true;
}

}  // namespace

bool extract_yaml_node(PyObject* obj, SchemaObject* schema, YamlNode& out) {
    return guarded([&]() -> bool { return Extractor(schema, t_anchors).convert(obj, out); });
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
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (number != nullptr && (number->nb_float != nullptr || number->nb_index != nullptr)) {
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

bool py_to_node(PyObject* obj, SchemaObject* schema, YamlNode& out) {
    return guarded([&]() -> bool { return to_node(obj, schema, t_anchors, out); });
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
        prepass(doc, registry.table);
        registry.hold_shared();
        AnchorGuard guard(registry);
        return Extractor(schema, &registry).convert(doc, tree) && read_doc_meta(doc, meta);
    });
}

bool dumps_into(std::span<PyObject* const> docs, SchemaObject* schema, std::size_t indent,
                std::string& out) {
    return guarded([&]() -> bool {
        bool previous_open = false;  // the last document written has no "..."
        for (PyObject* doc : docs) {
            AnchorRegistry registry;
            prepass(doc, registry.table);
            registry.hold_shared();
            AnchorGuard guard(registry);
            Extractor extractor(schema, &registry);
            DocMeta meta;
            if (!read_doc_meta(doc, meta)) return false;
            const bool start = docs.size() != 1 || meta.explicit_start;
            BlockWriter writer(out, meta, indent);
            PieceWriter pieces(extractor, registry, writer);
            if (pieces.in_pieces(doc)) {
                OptString anchor, tag;
                if (!pieces.root_properties(doc, anchor, tag)) return false;
                writer.begin(start, previous_open, anchor.get(), tag.get());
                if (!pieces.write(doc, 0)) return false;
                writer.end(meta.explicit_end);
                previous_open = !meta.explicit_end;
                continue;
            }
            YamlNode tree;
            if (!extractor.convert(doc, tree) || !read_doc_meta(doc, meta)) return false;
            emit_doc_into(out, tree, meta, indent, docs.size() != 1 || meta.explicit_start,
                          previous_open);
            previous_open = !meta.explicit_end;
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
