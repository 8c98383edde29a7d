// The dump converter (`extract_yaml_node`): node objects with their own
// metadata and current contents, plain containers with id001-style anchors
// for those reached more than once.
#include <cstdio>

#include "py/convert_detail.hpp"

namespace tesvorn::py {

namespace detail {

thread_local AnchorRegistry* t_anchors = nullptr;
thread_local std::unordered_set<PyObject*> t_in_progress;

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

}  // namespace detail

using namespace detail;

bool extract_yaml_node(PyObject* obj, SchemaObject* schema, YamlNode& out) {
    return guarded([&]() -> bool { return Extractor(schema, t_anchors).convert(obj, out); });
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

}  // namespace tesvorn::py
