// The sorting operations: Python's comparison operators, a stable merge
// sort that stays in bounds whatever the comparison does, and the sorting
// of node objects in two steps (order everything, then change everything).
#include "py/sorting.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <unordered_set>

#include "py/blank_runs.hpp"
#include "py/errors.hpp"
#include "py/node_common.hpp"
#include "py/nodes.hpp"

namespace tesvorn::py {

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

std::vector<std::size_t> stable_order(std::size_t n,
                                      const std::function<bool(std::size_t, std::size_t)>& less) {
    // Bottom-up merge sort over positions: every access is bounds-checked by
    // construction, so a comparison that is not a strict weak order can only
    // give a strange order, never walk out of range.
    std::vector<std::size_t> a(n), b(n);
    for (std::size_t i = 0; i < n; ++i) a[i] = i;
    for (std::size_t width = 1; width < n; width *= 2) {
        for (std::size_t lo = 0; lo < n; lo += 2 * width) {
            const std::size_t mid = std::min(lo + width, n), hi = std::min(lo + 2 * width, n);
            std::size_t i = lo, j = mid, k = lo;
            while (i < mid && j < hi) b[k++] = less(a[j], a[i]) ? a[j++] : a[i++];
            while (i < mid) b[k++] = a[i++];
            while (j < hi) b[k++] = a[j++];
        }
        a.swap(b);
    }
    return a;
}

namespace {

/// One object to sort, and what ordering it found.
struct Job {
    Job(PyObject* o, bool is_mapping, PyObject* key_function)
        : obj(ref::borrow(o)), mapping(is_mapping), key(key_function) {}

    ref obj;
    bool mapping = false;
    PyObject* key = nullptr;  // the key function, or null
    std::vector<std::size_t> order;
    std::uint64_t writes = 0;  // the borrow flag's write count once ordered
    ref elements;              // a sequence's Python part when it was ordered
    std::size_t paired = 0;    // the items ordered: those with an element
};

/// The jobs of one call: the object itself first, then, when recursive,
/// every node object below it that the call descends into (mappings get
/// sort_keys, sequences under sequences get sort), each once.
bool collect(PyObject* root, bool mapping, PyObject* key, bool recursive, std::vector<Job>& jobs) {
    std::unordered_set<PyObject*> seen{root};
    jobs.emplace_back(root, mapping, key);
    for (std::size_t next = 0; recursive && next < jobs.size(); ++next) {
        // The Python part is read without running Python code.
        PyObject* obj = jobs[next].obj.get();
        const bool in_mapping = jobs[next].mapping;
        PyObject* job_key = jobs[next].key;
        const auto add = [&](PyObject* child) {
            const bool child_mapping = is_mapping_object(child);
            // Mappings descend only into mappings; sequences into both, and
            // a mapping below a sequence is sorted by its key strings.
            if (!(child_mapping || (!in_mapping && is_sequence_object(child)))) return;
            if (!seen.insert(child).second) return;
            jobs.emplace_back(child, child_mapping,
                              child_mapping && !in_mapping ? nullptr : job_key);
        };
        if (in_mapping) {
            Py_ssize_t pos = 0;
            PyObject* k;
            PyObject* v;
            while (PyDict_Next(obj, &pos, &k, &v)) add(v);
        } else {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) add(PyList_GET_ITEM(obj, i));
        }
    }
    return true;
}

/// Orders the results of the key function (or the values themselves).
bool order_by(std::vector<ref>& keys, std::vector<std::size_t>& order) {
    ref error;
    order = stable_order(keys.size(), [&](std::size_t a, std::size_t b) {
        return py_compare(keys[a].get(), keys[b].get(), error) == Ordering::Less;
    });
    if (error) {
        PyErr_SetRaisedException(error.release());
        return false;
    }
    return true;
}

/// A mapping's order: by key string, or by key(k). Exclusive access is
/// held while the key function and the comparisons run.
bool order_mapping(Job& job) {
    MappingObject* m = as_mapping(job.obj.get());
    ExclusiveBorrow borrow(m->borrow);
    if (!borrow.ok()) return false;
    job.writes = m->borrow.writes();
    const auto& entries = m->inner.get().entries;
    if (!job.key) {
        job.order = stable_order(entries.size(), [&](std::size_t a, std::size_t b) {
            return entries.at(a).key < entries.at(b).key;
        });
        return true;
    }
    std::vector<ref> keys;
    keys.reserve(entries.size());
    for (const auto& slot : entries) {
        ref k = make_str(slot.key);
        if (!k) return false;
        ref r = ref::steal(PyObject_CallOneArg(job.key, k.get()));
        if (!r) return false;
        keys.push_back(std::move(r));
    }
    return order_by(keys, job.order);
}

/// A sequence's order: by its elements, or by key(element). No access is
/// held while Python code runs; what changes meanwhile is found later.
bool order_sequence(Job& job) {
    SequenceObject* s = as_sequence(job.obj.get());
    {
        SharedBorrow borrow(s->borrow);
        if (!borrow.ok()) return false;
        job.writes = s->borrow.writes();
        job.elements =
            ref::steal(PyList_GetSlice(job.obj.get(), 0, PyList_GET_SIZE(job.obj.get())));
        if (!job.elements) return false;
        job.paired = std::min<std::size_t>(
            s->inner.get().items.size(), static_cast<std::size_t>(PyList_GET_SIZE(job.obj.get())));
    }
    std::vector<ref> keys;
    keys.reserve(job.paired);
    for (std::size_t i = 0; i < job.paired; ++i) {
        PyObject* element = PyList_GET_ITEM(job.elements.get(), static_cast<Py_ssize_t>(i));
        ref k = job.key ? ref::steal(PyObject_CallOneArg(job.key, element)) : ref::borrow(element);
        if (!k) return false;
        keys.push_back(std::move(k));
    }
    return order_by(keys, job.order);
}

/// Whether the object is as it was when its order was found: nothing took
/// exclusive access since (this step's own access aside), and a sequence's
/// Python part holds the same elements.
bool unchanged(const Job& job, BorrowFlag& flag) {
    if (flag.writes() != job.writes + 1) return false;
    if (job.mapping) return true;
    PyObject* list = job.obj.get();
    const Py_ssize_t n = PyList_GET_SIZE(job.elements.get());
    if (PyList_GET_SIZE(list) != n) return false;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyList_GET_ITEM(list, i) != PyList_GET_ITEM(job.elements.get(), i)) return false;
    return true;
}

/// Puts the entries in the new order, then the parent dict: the same value
/// objects, in the tree's order, and keys only the dict has after them.
bool apply_mapping(const Job& job) {
    PyObject* self = job.obj.get();
    MappingObject* m = as_mapping(self);
    keep_document_header(self);
    auto slots = m->inner.mut().entries.take_all();
    std::vector<OrderedMap<YamlEntry>::Slot> sorted;
    sorted.reserve(slots.size());
    for (std::size_t i : job.order) sorted.push_back(std::move(slots[i]));
    m->inner.mut().entries.assign(std::move(sorted));
    ref items = ref::steal(PyDict_Items(self));  // holds every value while the dict is refilled
    if (!items) return false;
    ref ordered = ref::steal(PyDict_New());
    if (!ordered) return false;
    for (const auto& slot : m->inner.get().entries) {
        ref key = make_str(slot.key);
        if (!key) return false;
        PyObject* value = PyDict_GetItemWithError(self, key.get());
        if (value == nullptr) {
            if (PyErr_Occurred()) return false;
            continue;
        }
        if (PyDict_SetItem(ordered.get(), key.get(), value) < 0) return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);
        const int has = PyDict_Contains(ordered.get(), PyTuple_GET_ITEM(pair, 0));
        if (has < 0) return false;
        if (!has &&
            PyDict_SetItem(ordered.get(), PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)) < 0)
            return false;
    }
    PyDict_Clear(self);
    return PyDict_Update(self, ordered.get()) == 0;
}

/// The entries or items of a job's collection in its tree.
std::size_t slot_count(const Job& job) noexcept {
    return job.mapping ? as_mapping(job.obj.get())->inner.get().entries.size()
                       : as_sequence(job.obj.get())->inner.get().items.size();
}

bool apply_sequence(const Job& job) {
    PyObject* self = job.obj.get();
    SequenceObject* s = as_sequence(self);
    keep_document_header(self);
    auto& items = s->inner.mut().items;
    std::vector<YamlItem> sorted;
    sorted.reserve(items.size());
    ref elements = ref::steal(PyList_New(0));
    if (!elements) return false;
    for (std::size_t i : job.order) {
        if (PyList_Append(elements.get(),
                          PyList_GET_ITEM(job.elements.get(), static_cast<Py_ssize_t>(i))) < 0)
            return false;
    }
    const Py_ssize_t n = PyList_GET_SIZE(job.elements.get());
    for (auto i = static_cast<Py_ssize_t>(job.paired); i < n; ++i)
        if (PyList_Append(elements.get(), PyList_GET_ITEM(job.elements.get(), i)) < 0) return false;
    if (PyList_SetSlice(self, 0, n, elements.get()) < 0) return false;
    for (std::size_t i : job.order) sorted.push_back(std::move(items[i]));
    for (std::size_t i = job.paired; i < items.size(); ++i) sorted.push_back(std::move(items[i]));
    items = std::move(sorted);
    return true;
}

bool sort_jobs(PyObject* root, bool mapping, PyObject* key, bool reverse, bool recursive) {
    std::vector<Job> jobs;
    if (!collect(root, mapping, key, recursive, jobs)) return false;
    for (Job& job : jobs) {
        if (!(job.mapping ? order_mapping(job) : order_sequence(job))) return false;
        if (reverse) std::reverse(job.order.begin(), job.order.end());
    }
    std::vector<std::unique_ptr<ExclusiveBorrow>> held;
    held.reserve(jobs.size());
    for (const Job& job : jobs) {
        BorrowFlag& flag = node_borrow(job.obj.get());
        held.push_back(std::make_unique<ExclusiveBorrow>(flag));
        if (!held.back()->ok()) return false;
        if (!unchanged(job, flag)) {
            PyErr_SetString(PyExc_ValueError, job.mapping ? "mapping modified during sort"
                                                          : "list modified during sort");
            return false;
        }
    }
    // The blank lines that end a collection stay at its end when its last
    // entry or item moves (the chains go through the objects held here).
    std::unordered_set<PyObject*> sorted;
    for (const Job& job : jobs) sorted.insert(job.obj.get());
    std::vector<std::unique_ptr<SlotEdit>> ends;
    for (const Job& job : jobs) {
        const std::size_t n = slot_count(job);
        if (n < 2 || job.order.size() != n || job.order.back() == n - 1) continue;
        ends.push_back(std::make_unique<SlotEdit>(&sorted));
        if (!ends.back()->prepare(job.obj.get(), n, n, 1)) return false;
    }
    for (const auto& end : ends) end->commit();
    for (const Job& job : jobs)
        if (!(job.mapping ? apply_mapping(job) : apply_sequence(job))) return false;
    return true;
}

}  // namespace

bool sort_keys_object(PyObject* self, PyObject* key, bool reverse, bool recursive) {
    return guarded([&] { return sort_jobs(self, true, key, reverse, recursive); });
}

bool sort_sequence_object(PyObject* self, PyObject* key, bool reverse, bool recursive) {
    return guarded([&] { return sort_jobs(self, false, key, reverse, recursive); });
}

}  // namespace tesvorn::py
