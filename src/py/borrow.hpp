// The shared/exclusive borrow flag that guards native state of our objects.
// A conflicting access fails at once instead of waiting: a conflict can only
// come from Python code re-entering the same object from inside an operation.
#pragma once

#include <atomic>
#include <cstdint>

#include "py/errors.hpp"

namespace tesvorn::py {

class BorrowFlag {
  public:
    /// True on success; false with RuntimeError "Already mutably borrowed".
    [[nodiscard]] bool acquire_shared() noexcept {
        std::int32_t cur = state_.load(std::memory_order_relaxed);
        do {
            if (cur < 0) {
                raise_already_mutably_borrowed();
                return false;
            }
        } while (!state_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire,
                                               std::memory_order_relaxed));
        return true;
    }
    void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }

    /// True on success; false with RuntimeError "Already borrowed".
    [[nodiscard]] bool acquire_exclusive() noexcept {
        std::int32_t expected = 0;
        if (state_.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                           std::memory_order_relaxed)) {
            writes_.fetch_add(1, std::memory_order_relaxed);
            return true;
        }
        raise_already_borrowed();
        return false;
    }
    /// As acquire_exclusive, but a conflict raises nothing.
    [[nodiscard]] bool try_acquire_exclusive() noexcept {
        std::int32_t expected = 0;
        if (!state_.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                            std::memory_order_relaxed))
            return false;
        writes_.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

    /// Whether exclusive access is held now.
    [[nodiscard]] bool held_exclusively() const noexcept {
        return state_.load(std::memory_order_relaxed) < 0;
    }

    /// How many times exclusive access was taken: an operation that lets go
    /// of the state while Python code runs (a sort's key function) compares
    /// it before and after to see whether anything changed in between.
    [[nodiscard]] std::uint64_t writes() const noexcept {
        return writes_.load(std::memory_order_relaxed);
    }

  private:
    std::atomic<std::int32_t> state_{0};  // > 0: readers, -1: one writer
    std::atomic<std::uint64_t> writes_{0};
};

/// RAII shared access; check `ok()` (false: exception set).
class SharedBorrow {
  public:
    explicit SharedBorrow(BorrowFlag& flag) noexcept
        : flag_(flag.acquire_shared() ? &flag : nullptr) {}
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ~SharedBorrow() {
        if (flag_) flag_->release_shared();
    }
    [[nodiscard]] bool ok() const noexcept { return flag_ != nullptr; }

  private:
    BorrowFlag* flag_;
};

/// RAII exclusive access; check `ok()` (false: exception set).
class ExclusiveBorrow {
  public:
    explicit ExclusiveBorrow(BorrowFlag& flag) noexcept
        : flag_(flag.acquire_exclusive() ? &flag : nullptr) {}
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow() {
        if (flag_) flag_->release_exclusive();
    }
    [[nodiscard]] bool ok() const noexcept { return flag_ != nullptr; }

  private:
    BorrowFlag* flag_;
};

}  // namespace tesvorn::py
