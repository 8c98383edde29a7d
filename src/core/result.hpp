// Positions, the reader's error type, and the result type the core returns
// instead of throwing.
#pragma once

#include <cstddef>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace tesvorn {

/// A position in the input: characters consumed (from 0), line (from 1),
/// column (characters since the last line break, from 0) and the byte offset
/// of the position in the UTF-8 text.
struct Marker {
    std::size_t index = 0;
    std::size_t line = 1;
    std::size_t col = 0;
    std::size_t pos = 0;

    friend bool operator==(const Marker&, const Marker&) = default;
};

/// A flow collection or quoted scalar still open where an error happened,
/// which began before it (an error's real cause is often a missing ']' or
/// quote): what it is ("flow sequence", "flow mapping", "single-quoted
/// scalar", "double-quoted scalar"; null for none) and where it starts.
struct Opener {
    const char* what = nullptr;
    Marker mark;
};

/// The single error type of the reader: a message and where it happened.
struct ScanError {
    /// What is wrong: the text's syntax, or a standard tag that its node
    /// does not fit (the text is read right, but cannot load as tagged).
    enum class Kind : std::uint8_t { Syntax, Tag };

    std::string info;
    Marker mark;
    Kind kind = Kind::Syntax;

    ScanError() = default;
    ScanError(Marker m, std::string message, Kind k = Kind::Syntax)
        : info(std::move(message)), mark(m), kind(k) {}

    /// "{info} at character {index} line {line} column {col + 1}".
    [[nodiscard]] std::string display() const;
};

/// Either a value or a `ScanError`. Errors are values in the core: nothing
/// throws across its API.
template <class T>
class [[nodiscard]] Result {
  public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(ScanError error) : v_(std::in_place_index<1>, std::move(error)) {}

    [[nodiscard]] bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return *std::get_if<0>(&v_); }
    const T& value() const& { return *std::get_if<0>(&v_); }
    T&& value() && { return std::move(*std::get_if<0>(&v_)); }
    ScanError& error() & { return *std::get_if<1>(&v_); }
    const ScanError& error() const& { return *std::get_if<1>(&v_); }
    ScanError&& error() && { return std::move(*std::get_if<1>(&v_)); }

  private:
    std::variant<T, ScanError> v_;
};

/// Success or a `ScanError`.
template <>
class [[nodiscard]] Result<void> {
  public:
    Result() = default;
    Result(ScanError error) : err_(std::move(error)), failed_(true) {}

    [[nodiscard]] bool ok() const noexcept { return !failed_; }
    explicit operator bool() const noexcept { return ok(); }
    ScanError& error() & { return err_; }
    const ScanError& error() const& { return err_; }
    ScanError&& error() && { return std::move(err_); }

  private:
    ScanError err_;
    bool failed_ = false;
};

using Status = Result<void>;

}  // namespace tesvorn

/// Evaluates `expr` (a Result); on error returns the error from the enclosing
/// function, whose return type must be constructible from a ScanError.
#define TESVORN_TRY(expr)                                                             \
    do {                                                                              \
        auto&& tesvorn_try_result_ = (expr);                                          \
        if (!tesvorn_try_result_.ok()) return std::move(tesvorn_try_result_).error(); \
    } while (0)
