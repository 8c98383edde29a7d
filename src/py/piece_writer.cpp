// `dumps` one piece at a time: the entries or items of a document's root
// (and of large collections under it) are converted and written one by one,
// so that the whole tree never exists at once.
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "py/convert_detail.hpp"

namespace tesvorn::py {

namespace {

using namespace detail;

/// Writes one document piece by piece: the entries or items of its root are
/// converted and written one at a time, and an entry's value that is itself
/// a large collection is opened by its key line and written the same way.
/// The text is the writer's for the whole tree; only the peak memory
/// changes (one piece, not the whole document).
class PieceWriter {
  public:
    PieceWriter(Extractor& extractor, AnchorRegistry& registry, BlockWriter& writer) noexcept
        : extractor_(extractor), registry_(registry), writer_(writer) {}

    /// Collections written in pieces: non-empty block ones without an
    /// anchor, i.e. exact dicts (keys exact str, so no two share a text),
    /// lists and tuples that the census met once, and YamlMapping /
    /// YamlSequence objects in block style.
    [[nodiscard]] bool in_pieces(PyObject* obj) { return in_pieces(obj, registry_); }
    /// The same before a writer is made (most documents are not written in
    /// pieces, and need none).
    [[nodiscard]] static bool in_pieces(PyObject* obj, AnchorRegistry& registry) {
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
            // An anchored collection is written whole: the aliases after it
            // are compared with what it holds.
            // Collections read from text are written whole, with their
            // records of the source.
            return shape.block && shape.size != 0 && !shape.anchor && !shape.recorded &&
                   shape.in_step;
        } else {
            return false;
        }
        const IdentityTable::Slot* slot = registry.table.find(obj);
        return slot == nullptr || slot->count < 2;
    }

    /// Writes the content of `obj` (which `in_pieces`) at `column`, its
    /// trailing blank lines included. No Python code runs between the test
    /// and the first entry or item, so the collection is still not empty.
    bool write(PyObject* obj, std::size_t column) {
        RecursionGuard guard(kDumping, RecursionGuard::kMaxDumpDepth);
        if (!guard) return false;
        const bool node_object = is_mapping_object(obj) || is_sequence_object(obj);
        ProgressMark mark(registry_.open, obj);
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
        bool recorded = false;  // read from text: it has layout records
        bool in_step = true;    // its Python part matches its tree
    };

    static bool read_shape(PyObject* obj, Shape& out) {
        const auto read = [&out, obj](BorrowFlag& flag, const auto& inner, std::size_t size) {
            SharedBorrow borrow(flag);
            if (!borrow.ok()) return false;
            out.block = inner.style == ContainerStyle::Block;
            out.size = size;
            out.anchor = inner.anchor;
            out.tag = inner.tag;
            out.recorded = inner.layout.has();
            out.in_step = in_step(obj, inner);
            return true;
        };
        if (is_mapping_object(obj)) {
            MappingObject* m = as_mapping(obj);
            return read(m->borrow, m->inner.get(), m->inner.get().entries.size());
        }
        if (is_sequence_object(obj)) {
            SequenceObject* s = as_sequence(obj);
            return read(s->borrow, s->inner.get(), s->inner.get().items.size());
        }
        return true;
    }

    /// One entry: its value written in pieces under the entry's opening
    /// lines when it can be, else the whole entry as one piece.
    bool entry(std::string_view key, YamlEntry& e, PyObject* value, std::size_t column) {
        if (in_pieces(value)) {
            Shape shape;
            if (!read_shape(value, shape)) return false;
            writer_.open_value(key, e, nullptr, shape.tag ? &*shape.tag : nullptr, column);
            return write(value, column + writer_.step());
        }
        if (!extractor_.convert(value, e.value)) return false;
        writer_.entry(key, e, column);
        return true;
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
            writer_.item(it, column);
        }
        return true;
    }

    /// As Extractor::mapping_object, entry by entry, from a share of the
    /// object's record: what is written as it stands is not copied.
    bool mapping_object(PyObject* obj, std::size_t column) {
        YamlNode record;
        if (!Extractor::share_record(obj, record)) return false;
        const YamlMapping& m = *std::as_const(record).mapping();
        YamlEntry spare;
        for (std::size_t i = 0; i < m.entries.size(); ++i) {
            const auto& slot = m.entries.at(i);
            ref value;
            bool present = true;
            if (!Extractor::parent_value(obj, slot.key, i, slot.value.value, value, present))
                return false;
            if (!present) continue;
            if (Extractor::writes_value(slot.value.value, value.get())) {
                spare = slot.value;
                extractor_.settle_key(slot.key, spare);
                if (!entry(slot.key, spare, value.get(), column)) return false;
                continue;
            }
            const YamlEntry* e = nullptr;
            if (!extractor_.complete_entry(obj, slot.key, i, slot.value, spare, e, present))
                return false;
            if (present) writer_.entry(slot.key, *e, column);
        }
        writer_.trailing_blank_lines(m.trailing_blank_lines);
        return true;
    }

    /// As Extractor::sequence_object, item by item.
    bool sequence_object(PyObject* obj, std::size_t column) {
        YamlNode record;
        if (!Extractor::share_record(obj, record)) return false;
        const YamlSequence& q = *std::as_const(record).sequence();
        YamlItem spare;
        for (std::size_t i = 0; i < q.items.size(); ++i) {
            const YamlItem* it = nullptr;
            bool present = true;
            if (!extractor_.complete_item(obj, i, q.items[i], spare, it, present)) return false;
            if (present) writer_.item(*it, column);
        }
        writer_.trailing_blank_lines(q.trailing_blank_lines);
        return true;
    }

    Extractor& extractor_;
    AnchorRegistry& registry_;
    BlockWriter& writer_;
};

/// Completes the entries or items of a node object at the root of a
/// document as the writer reaches them (see RootFiller): each one's value
/// is made from its object just before it is written and let go after, so
/// that a large document is never copied whole and what is written is
/// still in cache. The rest works as Extractor::mapping_object /
/// sequence_object: the same record, the same settling in document order.
/// A value that is itself such a node object (a block collection read from
/// text, say) is handed to the writer as its own record, unfilled, and its
/// slots are completed the same way when the writer enters it: no record
/// under the root is copied to be written.
class RootFill final : public RootFiller {
  public:
    /// `registry`: the document's, the one `extractor` converts with.
    RootFill(Extractor& extractor, AnchorRegistry& registry, PyObject* obj)
        : RootFiller(true),  // settling leaves plain slots as they are
          extractor_(extractor),
          registry_(registry),
          obj_(obj),
          guard_(kDumping, RecursionGuard::kMaxDumpDepth),
          mark_(registry.open, obj) {}

    /// Puts in `tree` a share of the object's record, or a copy of it
    /// without the collections the Python part no longer holds; false with
    /// an exception set.
    bool prepare(YamlNode& tree) {
        if (!guard_) return false;
        if (!mark_.fresh()) {
            raise_self_referential();
            return false;
        }
        if (!Extractor::share_record(obj_, tree)) return false;
        const YamlNode& view = tree;
        ref value;
        bool here = true;
        // A collection missing from the Python part is skipped as its slot
        // comes, as in the levels under the root; only a missing last slot
        // (by which the writer finds where the output ends) has them all
        // taken out now.
        if (is_mapping_object(obj_)) {
            const auto& entries = view.mapping()->entries;
            const std::size_t last = entries.size() - 1;
            if (!Extractor::parent_value(obj_, entries.at(last).key, last,
                                         entries.at(last).value.value, value, here))
                return false;
            for (std::size_t i = here ? 0 : entries.size(); i-- > 0;) {
                const auto& slot = view.mapping()->entries.at(i);
                if (!Extractor::parent_value(obj_, slot.key, i, slot.value.value, value, here))
                    return false;
                // The first change copies the record.
                if (!here) tree.mapping()->entries.erase_at(i);
            }
            root_.map = view.mapping();
        } else {
            const std::size_t n = view.sequence()->items.size();
            here = PyList_GET_SIZE(obj_) >= static_cast<Py_ssize_t>(n);
            for (std::size_t i = here ? 0 : n; i-- > 0;) {
                if (!Extractor::parent_value(obj_, i, view.sequence()->items[i].node, value, here))
                    return false;
                if (!here) {
                    auto& items = tree.sequence()->items;
                    items.erase(items.begin() + static_cast<std::ptrdiff_t>(i));
                }
            }
            root_.seq = view.sequence();
        }
        root_.obj = obj_;
        const OptString& anchor = root_.map != nullptr ? root_.map->anchor : root_.seq->anchor;
        if (anchor) extractor_.open_anchor(*anchor);
        return true;
    }

    Fill fill(std::size_t index, const YamlEntry*& slot, const YamlNode*& value) override {
        Level& level = current();
        drop_pending();
        bool here = true;
        const auto& stored = level.map->entries.at(index);
        bool ok = true;
        if (!handed_out(level, stored.key, index, stored.value, slot, value, here, ok)) {
            ok = extractor_.complete_entry(level.obj, stored.key, index, stored.value, level.entry,
                                           slot, here);
            value = &slot->value;
        }
        return done(ok, here);
    }

    Fill fill(std::size_t index, const YamlItem*& slot, const YamlNode*& value) override {
        Level& level = current();
        drop_pending();
        bool here = true;
        const YamlItem& stored = level.seq->items[index];
        bool ok = true;
        if (!handed_out(level, index, stored, value, here, ok)) {
            ok = extractor_.complete_item(level.obj, index, stored, level.item, slot, here);
            value = &slot->node;
        }
        return done(ok, here);
    }

    void release(std::size_t) noexcept override {
        Level& level = current();
        if (level.entry.value.is_collection()) level.entry.value = YamlNode();
        if (level.item.node.is_collection()) level.item.node = YamlNode();
        if (level.value.is_collection()) level.value = YamlNode();
    }

    bool enter(const void* collection) override {
        if (!pending_) return false;
        const Level& next = nested(depth_);
        if (collection != static_cast<const void*>(next.map) &&
            collection != static_cast<const void*>(next.seq))
            return false;
        pending_ = false;
        ++depth_;
        return true;
    }

    void leave() noexcept override {
        drop_pending();
        nested(--depth_).close();
    }

    [[nodiscard]] bool failed() const noexcept { return failed_; }

  private:
    /// A collection whose slots are being completed: its object, its record,
    /// and the entry, item or value written when not the record's own.
    struct Level {
        PyObject* obj = nullptr;
        const YamlMapping* map = nullptr;
        const YamlSequence* seq = nullptr;
        YamlEntry entry;
        YamlItem item;
        YamlNode value;  // the value written for a slot that is the record's own
        // A nested level's own: the object held while it is written, its
        // record, and the marks Extractor::mapping_object would hold.
        ref owner;
        YamlNode record;
        std::optional<RecursionGuard> guard;
        std::optional<ProgressMark> mark;

        /// Done with: let go in the reverse order of taking. The slots and
        /// the record stay until the level is used again.
        void close() noexcept {
            mark.reset();
            guard.reset();
            map = nullptr;
            seq = nullptr;
            obj = nullptr;
            owner = ref();
        }
    };

    Level& current() noexcept { return depth_ == 0 ? root_ : nested(depth_ - 1); }
    Level& nested(std::size_t i) noexcept {
        return i < near_.size() ? near_[i] : *far_[i - near_.size()];
    }

    /// A value handed out and not entered (the writer took another road,
    /// or failed) is let go before the next slot is filled.
    void drop_pending() noexcept {
        if (!pending_) return;
        pending_ = false;
        nested(depth_).close();
    }

    /// Opens the next level for node object `value` when
    /// Extractor::open_record takes it, with the guards
    /// Extractor::mapping_object would hold while it is written; `whole`
    /// when that shared its tree whole instead (the next level's record is
    /// then the value). False with `ok` set: make it whole; with `ok`
    /// false: failed.
    bool open_level(PyObject* value, bool& whole, bool& ok) {
        if (depth_ >= near_.size() && far_.size() == depth_ - near_.size())
            far_.push_back(std::make_unique<Level>());
        Level& next = nested(depth_);
        if (!extractor_.open_record(value, next.record, whole)) {
            // (A record shared whole is no failure: nothing to ask.)
            ok = whole || !PyErr_Occurred();
            return false;
        }
        const YamlNode& view = next.record;
        next.map = view.mapping();
        next.seq = view.sequence();
        next.guard.emplace(kDumping, RecursionGuard::kMaxDumpDepth);
        if (!*next.guard) {
            next.close();
            ok = false;
            return false;
        }
        next.mark.emplace(registry_.open, value);
        if (!next.mark->fresh()) {
            next.close();  // the whole-tree road reports it
            return false;
        }
        next.obj = value;
        next.owner = ref::borrow(value);
        pending_ = true;
        return true;
    }

    /// A stored entry or item whose value is a collection: completed as
    /// finish_entry / finish_item complete it, its value handed out as its
    /// object's record when `open_level` takes it. The slot itself is
    /// copied only for a key that settling may change. False for the rest,
    /// which complete_entry / complete_item complete.
    bool handed_out(Level& level, std::string_view key, std::size_t index, const YamlEntry& stored,
                    const YamlEntry*& slot, const YamlNode*& value, bool& here, bool& ok) {
        const YamlNode& node = stored.value;
        if (!node.is_collection()) return false;
        YamlNode* target = &level.value;
        if (stored.key_props->alias || stored.key_props->node) {
            level.entry = stored;
            slot = &level.entry;
            extractor_.settle_key(key, level.entry);
            target = &level.entry.value;
        } else {
            extractor_.settle_simple_key(key, stored);
        }
        value = target;
        ref current;
        if (!Extractor::parent_value(level.obj, key, index, node, current, here)) {
            ok = false;
            return true;
        }
        if (!here) return true;
        ok = value_of(node, current.get(), *target, target == &level.value ? &value : nullptr);
        return true;
    }

    bool handed_out(Level& level, std::size_t index, const YamlItem& stored, const YamlNode*& value,
                    bool& here, bool& ok) {
        const YamlNode& node = stored.node;
        if (!node.is_collection()) return false;
        value = &level.value;
        ref current;
        if (!Extractor::parent_value(level.obj, index, node, current, here)) {
            ok = false;
            return true;
        }
        if (!here) return true;
        ok = value_of(node, current.get(), level.value, &value);
        return true;
    }

    /// The value to write for a slot whose stored node is collection `node`
    /// and whose parent holds `value`: the record of a node object whose
    /// slots are filled as they are written, else Extractor::value_of.
    /// With `written`, such a record is not copied into `out`: `written`
    /// points at it where the next level keeps it (until that level is
    /// used again, after the slot is written).
    bool value_of(const YamlNode& node, PyObject* value, YamlNode& out,
                  const YamlNode** written = nullptr) {
        if (value != nullptr && Extractor::fills_by_slot(value)) {
            bool whole = false;
            bool ok = true;
            if (open_level(value, whole, ok) || (whole && ok)) {
                if (written != nullptr) {
                    *written = &nested(depth_).record;
                } else {
                    out = nested(depth_).record;
                }
                return true;
            }
            if (!ok) return false;
        }
        YamlNode current;
        if (!extractor_.value_of(node, value, current)) return false;
        out = std::move(current);
        return true;
    }

    Fill done(bool ok, bool here) {
        if (!ok) {
            failed_ = true;
            return Fill::kStop;
        }
        // Code run by an earlier conversion took it out of the Python part.
        return here ? Fill::kWrite : Fill::kSkip;
    }

    Extractor& extractor_;
    AnchorRegistry& registry_;
    PyObject* obj_;
    RecursionGuard guard_;
    ProgressMark mark_;
    Level root_;
    // The levels under the root, kept in place (the writer holds pointers
    // into them) and reused; nested(depth_) is the one handed out when
    // `pending_`. Loaded documents nest a few levels deep: those are held
    // here, the deeper ones made as they are reached.
    std::array<Level, 6> near_;
    std::vector<std::unique_ptr<Level>> far_;
    std::size_t depth_ = 0;
    bool pending_ = false;
    bool failed_ = false;
};

/// Whether a document's root is written through RootFill: a node object in
/// block style with something in it whose tree cannot be shared whole.
bool filled_root(PyObject* doc) {
    if (is_mapping_object(doc)) {
        MappingObject* m = as_mapping(doc);
        SharedBorrow borrow(m->borrow);
        if (!borrow.ok()) {
            PyErr_Clear();  // the whole-tree road reports it
            return false;
        }
        const YamlMapping& t = m->inner.get();
        // (One read with repeated keys is not written in the order of its
        // entries: see ShadowedEntries.)
        return t.style == ContainerStyle::Block && !t.entries.empty() &&
               t.layout.shadowed() == nullptr && in_step(doc, t) && !self_contained(t);
    }
    if (is_sequence_object(doc)) {
        SequenceObject* q = as_sequence(doc);
        SharedBorrow borrow(q->borrow);
        if (!borrow.ok()) {
            PyErr_Clear();
            return false;
        }
        const YamlSequence& t = q->inner.get();
        return t.style == ContainerStyle::Block && !t.items.empty() && in_step(doc, t) &&
               !self_contained(t);
    }
    return false;
}

}  // namespace

ref dumped_str(std::string_view text) {
    // Most text written is ASCII: copied into a str of ASCII a word at a
    // time while no byte says otherwise, where decoding looks at every
    // byte. Any other text is decoded.
    const auto* const p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    ref str = ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(n), 127));
    if (!str) return str;
    auto* const to = static_cast<unsigned char*>(PyUnicode_1BYTE_DATA(str.get()));
    std::size_t i = 0;
#if defined(__SSE2__)
    // (Two vector registers at a time: one test of the high bits of both.)
    for (; i + 32 <= n; i += 32) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16));
        if (_mm_movemask_epi8(_mm_or_si128(a, b)) != 0) return make_str(text);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i), a);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i + 16), b);
    }
#else
    constexpr std::uint64_t kHighs = 0x8080808080808080u;
    for (; i + 32 <= n; i += 32) {
        std::uint64_t w[4];
        std::memcpy(w, p + i, sizeof w);
        if (((w[0] | w[1] | w[2] | w[3]) & kHighs) != 0) return make_str(text);
        std::memcpy(to + i, w, sizeof w);
    }
#endif
    for (; i < n; ++i) {
        if (p[i] >= 0x80) return make_str(text);
        to[i] = p[i];
    }
    return str;
}

bool dumps_into(std::span<PyObject* const> docs, SchemaObject* schema, std::size_t indent,
                std::string& out) {
    return guarded([&]() -> bool {
        bool previous_open = false;  // the last document written has no "..."
        const SourceText* reserved = nullptr;
        for (std::size_t di = 0; di < docs.size(); ++di) {
            PyObject* doc = docs[di];
            AnchorRegistry registry;
            prepass(doc, registry.table);
            registry.hold_shared();
            ConvertContext ctx(&registry);
            Extractor extractor(schema, ctx);
            DocMeta meta;
            if (!read_doc_meta(doc, meta)) return false;
            // A document read from text is written back about as long: room
            // for the whole text it came from (once for the documents of one
            // stream) spares growing the output step by step.
            if (const DocLayout* l = meta.layout.get();
                l != nullptr && l->source != nullptr && l->source.get() != reserved) {
                reserved = l->source.get();
                const std::size_t n = reserved->text.size();
                out.reserve(out.size() + n + n / 16 + 64);
            }
            const bool start = docs.size() != 1 || meta.explicit_start;
            if (PieceWriter::in_pieces(doc, registry)) {
                BlockWriter writer(out, meta, indent);
                PieceWriter pieces(extractor, registry, writer);
                OptString anchor, tag;
                if (!pieces.root_properties(doc, anchor, tag)) return false;
                writer.begin(start, previous_open, anchor.get(), tag.get());
                if (!pieces.write(doc, 0)) return false;
                writer.end(meta.explicit_end);
                previous_open = !meta.explicit_end;
                continue;
            }
            YamlNode tree;
            if (filled_root(doc)) {
                RootFill fill(extractor, registry, doc);
                if (!fill.prepare(tree) || !read_doc_meta(doc, meta)) return false;
                emit_doc_into(out, tree, meta, indent, start, previous_open, di + 1 == docs.size(),
                              &fill);
                if (fill.failed()) return false;
                previous_open = !meta.explicit_end;
                continue;
            }
            if (!extractor.convert(doc, tree) || !read_doc_meta(doc, meta)) return false;
            emit_doc_into(out, tree, meta, indent, docs.size() != 1 || meta.explicit_start,
                          previous_open, di + 1 == docs.size());
            previous_open = !meta.explicit_end;
        }
        return true;
    });
}

}  // namespace tesvorn::py
