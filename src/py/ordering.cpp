// The ordering of the sorting operations: Python's comparison operators, and
// a stable merge sort that stays in bounds whatever the comparison does.
#include "py/convert.hpp"
#include "py/node_common.hpp"

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

}  // namespace tesvorn::py
