// The owner type for Python references, and the guard that keeps C++
// exceptions out of the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <type_traits>
#include <utility>

namespace tesvorn::py {

/// Owns one strong reference (or none). Move-only; never converts to
/// PyObject* implicitly.
class ref {
  public:
    ref() noexcept = default;
    /// Takes over a new reference (may be null).
    static ref steal(PyObject* p) noexcept { return ref(p); }
    /// Adds a reference to a borrowed pointer (may be null).
    static ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return ref(p);
    }

    ref(const ref&) = delete;
    ref& operator=(const ref&) = delete;
    ref(ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ref& operator=(ref&& other) noexcept {
        PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    ~ref() { Py_XDECREF(p_); }

    /// Borrowed pointer.
    [[nodiscard]] PyObject* get() const noexcept { return p_; }
    /// Gives up ownership: the caller gets the (new) reference.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    /// Drops the current reference and takes over `p` (a new reference).
    void reset(PyObject* p = nullptr) noexcept {
        PyObject* old = std::exchange(p_, p);
        Py_XDECREF(old);
    }
    /// A second owner of the same object.
    [[nodiscard]] ref dup() const noexcept { return borrow(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

  private:
    explicit ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

/// Runs `f` and turns any C++ exception into a pending Python exception
/// (std::bad_alloc becomes MemoryError), returning the failure value of the
/// function's return type: NULL for pointers, false for bool, -1 for
/// other integers.
template <class F>
auto guarded(F&& f) noexcept -> decltype(f()) {
    using R = decltype(f());
    try {
        return f();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "tesvorn internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "tesvorn internal error");
    }
    if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else if constexpr (std::is_same_v<R, bool>) {
        return false;
    } else if constexpr (std::is_void_v<R>) {
        return;
    } else {
        return static_cast<R>(-1);
    }
}

/// RAII around Py_EnterRecursiveCall: every recursive walk over Python
/// values goes through one, so deep input raises RecursionError. A depth cap
/// of our own keeps the trees we build shallow enough for the writer's and
/// the destructors' recursion, whatever the interpreter's own limit is.
class RecursionGuard {
  public:
    static constexpr int kMaxDepth = 2500;
    /// Dumps stop where the reader would: it refuses block collections
    /// nested deeper than 1,000 levels, so deeper output could not be read
    /// back.
    static constexpr int kMaxDumpDepth = 1000;

    explicit RecursionGuard(const char* where, int max_depth = kMaxDepth) noexcept {
        // The thread's counter is looked up once (each look-up of a
        // thread-local in a shared module is a call) and kept for the end.
        int& depth = depth_;
        if (depth >= max_depth) {
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
            return;
        }
        if (Py_EnterRecursiveCall(where) != 0) return;
        ++depth;
        depth_of_ = &depth;
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    ~RecursionGuard() {
        if (depth_of_ != nullptr) {
            --*depth_of_;
            Py_LeaveRecursiveCall();
        }
    }
    /// False when the limit was hit; the exception is then pending.
    explicit operator bool() const noexcept { return depth_of_ != nullptr; }

  private:
    static thread_local int depth_;
    int* depth_of_ = nullptr;  // this thread's depth_, once entered
};

}  // namespace tesvorn::py
