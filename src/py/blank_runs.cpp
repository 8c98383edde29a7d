#include "py/blank_runs.hpp"

#include <algorithm>
#include <memory>

#include "py/errors.hpp"
#include "py/node_common.hpp"

namespace tesvorn::py {

namespace {

/// Whether the writer writes the tree node `node` itself for a value the
/// parent holds as `value`, which is no node object: the source of a
/// loader's value (a tagged collection) is.
bool tree_written(const YamlNode& node, PyObject* value) noexcept {
    if (value == nullptr || !node.is_collection()) return false;
    return node.mapping() != nullptr ? node.mapping()->tag.has_value()
                                     : node.sequence()->tag.has_value();
}

std::size_t slot_count(PyObject* self) noexcept {
    return is_mapping_object(self) ? as_mapping(self)->inner.get().entries.size()
                                   : as_sequence(self)->inner.get().items.size();
}

std::uint8_t& trailing_blank_lines(PyObject* self) noexcept {
    return is_mapping_object(self) ? as_mapping(self)->inner.mut().trailing_blank_lines
                                   : as_sequence(self)->inner.mut().trailing_blank_lines;
}

/// Adds `n` blank lines to a count, which stops at 255.
void add_blank_lines(std::uint8_t& count, std::size_t n) noexcept {
    count = static_cast<std::uint8_t>(std::min<std::size_t>(count + n, 255));
}

}  // namespace

EndRun::~EndRun() {
    for (const ref& o : held_) node_borrow(o.get()).release_exclusive();
}

bool EndRun::of_slot(PyObject* self, std::size_t index) {
    if (MappingObject* m = is_mapping_object(self) ? as_mapping(self) : nullptr) {
        if (m->inner.get().style != ContainerStyle::Block || index >= m->inner.get().entries.size())
            return true;
        auto& slot = m->inner.mut().entries.at(index);
        ref key = make_str(slot.key);
        if (!key) return false;
        PyObject* value = PyDict_GetItemWithError(self, key.get());
        if (value == nullptr && PyErr_Occurred()) return false;
        return of_value(value, &slot.value.value);
    }
    SequenceObject* s = as_sequence(self);
    if (s->inner.get().style != ContainerStyle::Block || index >= s->inner.get().items.size())
        return true;
    const auto i = static_cast<Py_ssize_t>(index);
    PyObject* value = i < PyList_GET_SIZE(self) ? PyList_GET_ITEM(self, i) : nullptr;
    return of_value(value, &s->inner.mut().items[index].node);
}

bool EndRun::of_value(PyObject* value, YamlNode* node) {
    // Down the last values: through node objects while the parent holds
    // one, else through the tree where the writer writes the tree itself.
    bool in_tree = false;
    std::vector<PyObject*> passed;  // objects the caller holds, met on the way
    while (node == nullptr || node->alias() == nullptr) {
        YamlMapping* m = nullptr;
        YamlSequence* q = nullptr;
        PyObject* owner = nullptr;
        if (!in_tree && value != nullptr && is_container_object(value)) {
            if (held_by_caller_ != nullptr && held_by_caller_->contains(value)) {
                // (A chain through itself ends where it comes back.)
                if (std::find(passed.begin(), passed.end(), value) != passed.end()) break;
                passed.push_back(value);
            } else {
                held_.push_back(ref::borrow(value));
                if (!node_borrow(value).try_acquire_exclusive()) {
                    held_.pop_back();
                    break;
                }
            }
            owner = value;
            if (is_mapping_object(value)) {
                m = &as_mapping(value)->inner.mut();
            } else {
                q = &as_sequence(value)->inner.mut();
            }
        } else if (node != nullptr &&
                   (in_tree ? node->is_collection() : tree_written(*node, value))) {
            in_tree = true;
            if (node->kind() == YamlNode::Mapping) {
                m = node->mapping();
            } else {
                q = node->sequence();
            }
        } else {
            break;
        }
        if ((m != nullptr ? m->style : q->style) != ContainerStyle::Block) break;
        levels_.push_back(m != nullptr ? ChainLevel{&m->trailing_blank_lines, &m->layout}
                                       : ChainLevel{&q->trailing_blank_lines, &q->layout});
        if (m != nullptr ? m->entries.empty() : q->items.empty()) break;
        value = nullptr;
        if (m != nullptr) {
            auto& last = m->entries.back();
            node = &last.value.value;
            if (owner != nullptr) {
                ref key = make_str(last.key);
                if (!key) return false;
                value = PyDict_GetItemWithError(owner, key.get());
                if (value == nullptr && PyErr_Occurred()) return false;
            }
        } else {
            node = &q->items.back().node;
            const auto i = static_cast<Py_ssize_t>(q->items.size() - 1);
            if (owner != nullptr && i < PyList_GET_SIZE(owner)) value = PyList_GET_ITEM(owner, i);
        }
    }
    return true;
}

std::size_t EndRun::take() noexcept {
    return end_blank_run(levels_, true);
}

bool SlotEdit::prepare(PyObject* self, std::size_t first, std::size_t last, std::size_t added) {
    const std::size_t n = slot_count(self);
    last = std::min(last, n);
    first = std::min(first, last);
    // Only an edit at the end changes which slot is last.
    if (n == 0 || last < n || (first == last && added == 0)) return true;
    self_ = self;
    // New slots come before the blank lines that end the collection;
    // without them, the slot left last loses the blank lines that
    // separated it from the removed ones.
    if (!end_.of_slot(self, n - 1)) return false;
    return added != 0 || first == 0 || gap_.of_slot(self, first - 1);
}

void SlotEdit::commit() noexcept {
    if (self_ == nullptr) return;
    gap_.take();
    add_blank_lines(trailing_blank_lines(self_), end_.take());
}

bool ValueEdit::prepare(PyObject* self, std::size_t index) {
    self_ = self;
    index_ = index;
    return run_.of_slot(self, index);
}

void ValueEdit::commit() noexcept {
    if (self_ == nullptr) return;
    const std::size_t run = run_.take();
    if (run == 0) return;
    const std::size_t next = index_ + 1;
    if (next >= slot_count(self_)) {
        add_blank_lines(trailing_blank_lines(self_), run);
    } else if (is_mapping_object(self_)) {
        add_blank_lines(as_mapping(self_)->inner.mut().entries.at(next).value.blank_lines_before,
                        run);
    } else {
        add_blank_lines(as_sequence(self_)->inner.mut().items[next].blank_lines_before, run);
    }
}

void keep_document_header(PyObject* self) {
    const DocLayout* doc = node_meta(self).get().layout.get();
    if (doc == nullptr || !doc->has()) return;
    const CollectionLayout* cl = nullptr;
    const SlotLayout* l = nullptr;
    const OptString* comment = nullptr;
    std::uint8_t blank = 0;
    if (is_mapping_object(self)) {
        const YamlMapping& m = as_mapping(self)->inner.get();
        if (m.style != ContainerStyle::Block || m.entries.empty()) return;
        const YamlEntry& e = m.entries.at(0).value;
        cl = &m.layout;
        l = &e.layout.ref();
        comment = &e.comments->before;
        blank = e.blank_lines_before;
    } else {
        const YamlSequence& q = as_sequence(self)->inner.get();
        if (q.style != ContainerStyle::Block || q.items.empty()) return;
        const YamlItem& item = q.items.front();
        cl = &q.layout;
        l = &item.layout.ref();
        comment = &item.comments->before;
        blank = item.blank_lines_before;
    }
    // Only a lead the writer gives back as it was read.
    if (!cl->has() || cl->source != doc->source || cl->flag(CollectionLayout::kFlow) ||
        cl->flag(CollectionLayout::kIndentStale) || !l->has() || l->source != cl->source->id ||
        !l->fresh(SlotLayout::kLead) || l->at(SlotLayout::kLead) != doc->head_end ||
        l->blank != blank)
        return;
    const std::uint32_t begin = l->at(SlotLayout::kLead);
    const std::string_view lead = cl->source->text.substr(begin, l->at(SlotLayout::kKey) - begin);
    if (l->check(SlotLayout::kLeadComment) ? !lead_comments_are(lead, comment->get())
                                           : comment->has_value())
        return;
    const std::size_t header = detached_lines(lead);
    if (header == 0) return;
    DocLayout moved = *doc;
    moved.head_end = begin + static_cast<std::uint32_t>(header);
    moved.root_begin = moved.root_end = moved.head_end;
    node_meta(self).mut().layout.set(std::move(moved));
    // The first slot keeps only the comment lines below the header: it may
    // stay, or move away from the top.
    std::size_t header_comments = 0;
    for (std::size_t p = 0; p < header;) {
        std::size_t e = lead.find('\n', p);
        e = e == std::string_view::npos ? header : e + 1;
        const std::size_t q = lead.find_first_not_of(" \t\r", p);
        if (q < e && lead[q] == '#') ++header_comments;
        p = e;
    }
    const auto trim = [&](auto& slot) {
        SlotLayout& layout = slot.layout.mut();
        layout.begin += static_cast<std::uint32_t>(header);
        layout.len[SlotLayout::kLead] =
            static_cast<std::uint16_t>(layout.len[SlotLayout::kLead] - header);
        layout.blank = 0;
        slot.blank_lines_before = 0;
        OptString rest;
        if (const std::string* c = slot.comments->before.get()) {
            std::size_t p = 0;
            for (std::size_t k = 0; k < header_comments && p != std::string::npos; ++k) {
                p = c->find('\n', p);
                if (p != std::string::npos) ++p;
            }
            if (p != std::string::npos && p < c->size()) rest = c->substr(p);
        }
        slot.comments.set(&Comments::before, std::move(rest));
    };
    if (is_mapping_object(self)) {
        trim(as_mapping(self)->inner.mut().entries.at(0).value);
    } else {
        trim(as_sequence(self)->inner.mut().items.front());
    }
}

}  // namespace tesvorn::py
