// Conversions between document-model trees and Python values.
//
// Load side: trees become node objects (YamlMapping / YamlSequence /
// YamlScalar) and plain values. Dump side: Python values become trees, with
// id001-style anchors for containers reached more than once, and schema
// dumpers for other types.
//
// Every function returns false (or a null ref) with a Python exception set on
// failure.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/types.hpp"
#include "py/nodes.hpp"
#include "py/ref.hpp"
#include "py/schema.hpp"

namespace tesvorn::py {

// ---- load conversion ------------------------------------------------------

struct ParsedDocuments;

/// The keys of the mappings loaded through one cache (handed to
/// `node_to_doc` for the documents of one load) share one str per text:
/// configuration files repeat the same keys many times.
class KeyCache {
  public:
    KeyCache() noexcept;
    KeyCache(const KeyCache&) = delete;
    KeyCache& operator=(const KeyCache&) = delete;
    ~KeyCache();

    /// A str of `key` (a new reference), or null with an exception set:
    /// shared through `cache` when there is one.
    static ref str(KeyCache* cache, std::string_view key);

  private:
    static constexpr std::size_t kSlots = 1024;  // a power of two
    static constexpr std::size_t kMaxKey = 64;
    std::vector<PyObject*> slots_;       // owned references, or null
    std::vector<std::uint16_t> filled_;  // the slots that hold one
};

/// Parses a whole str (UTF-8 taken from the object, not copied).
[[nodiscard]] bool parse_text(PyObject* text, SchemaObject* schema, ParsedDocuments& out);

/// Python object for a document root: a YamlMapping / YamlSequence carrying
/// `meta`, or a YamlScalar holding the node unconverted. Consumes the tree.
/// Keys are shared through `keys` when given.
ref node_to_doc(YamlNode&& tree, DocMeta&& meta, SchemaObject* schema, KeyCache* keys = nullptr);
/// Python value for a nested node (aliases followed; containers copied into
/// their own node objects; loaders and !!binary / !!timestamp applied).
ref node_to_py(const YamlNode& node, SchemaObject* schema);
/// Python primitive for a typed value.
ref scalar_to_py(const ScalarValue& value);
/// A populated YamlMapping / YamlSequence (values converted with node_to_py).
ref mapping_to_py_obj(YamlMapping&& mapping, DocMeta&& meta, SchemaObject* schema);
ref sequence_to_py_obj(YamlSequence&& sequence, DocMeta&& meta, SchemaObject* schema);
/// The same for a record not shared with anything else (taken over).
ref mapping_to_py_obj(Cow<YamlMapping>&& record, DocMeta&& meta, SchemaObject* schema,
                      KeyCache* keys = nullptr);
ref sequence_to_py_obj(Cow<YamlSequence>&& record, DocMeta&& meta, SchemaObject* schema,
                       KeyCache* keys = nullptr);
/// The schema's loader for exactly `tag` applied to `value`, or `value`.
ref apply_loader(ref value, SchemaObject* schema, const OptString& tag);

// ---- dump conversion ------------------------------------------------------

/// One document's tree and metadata (node objects contribute their own).
[[nodiscard]] bool extract_doc_and_meta(PyObject* doc, SchemaObject* schema, YamlNode& tree,
                                        DocMeta& meta);
/// Converts the documents of a `dumps` / `dumps_all` call and appends their
/// text to `out`: the text of converting them all and then writing them with
/// `emit_docs`, made one document (and for plain containers one entry or
/// item) at a time so that only one piece of the tree exists at once.
[[nodiscard]] bool dumps_into(std::span<PyObject* const> docs, SchemaObject* schema,
                              std::size_t indent, std::string& out);
/// The text a dump wrote (UTF-8) as a str; null with an exception set.
ref dumped_str(std::string_view text);
/// Converts for a dump: node objects' metadata and current contents, anchors
/// for shared plain containers (when a registry is installed).
[[nodiscard]] bool extract_yaml_node(PyObject* obj, SchemaObject* schema, YamlNode& out);
/// The general value converter: dumpers first, then built-in types; refuses
/// self-containing containers.
[[nodiscard]] bool py_to_node(PyObject* obj, SchemaObject* schema, YamlNode& out);
/// None, bool, int (64-bit), float (also via __float__) or str; nothing for
/// anything else (never an error).
std::optional<YamlScalar> py_primitive_to_scalar(PyObject* obj);
/// Converts an assigned value: (node, value to store). A value py_to_node
/// refuses is kept as is behind an empty mapping placeholder.
[[nodiscard]] bool py_to_node_with_fallback(PyObject* obj, SchemaObject* schema, YamlNode& node,
                                            ref& value);

/// The standard library's datetime types (imported on first use); false
/// with an exception set when the import fails.
[[nodiscard]] bool is_date_or_datetime(PyObject* obj, bool& out);
/// The value of a !!timestamp scalar's text: a date, or a datetime (aware
/// when the text gives a zone). Texts of none of YAML's timestamp forms are
/// read as ISO 8601 by the standard library, whose ValueError propagates.
ref timestamp_to_py(std::string_view text);

}  // namespace tesvorn::py
