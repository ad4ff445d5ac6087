// Errors as values: every model operation returns a Result, and the binding turns
// the error into a Python exception in one place.
#pragma once

#include <exception>
#include <string>
#include <utility>
#include <variant>

namespace orvane {

/// The failure value of every model operation: one message text, nothing else.
struct ArchiveError {
  std::string message;
};

/// A violated internal precondition. Thrown, never returned: it means a bug, and the
/// binding reports it as InternalFault instead of letting it reach the interpreter.
class Fault : public std::exception {
 public:
  explicit Fault(const char* message) noexcept : message_(message) {}
  const char* what() const noexcept override { return message_; }

 private:
  const char* message_;
};

/// The success value of operations that return nothing.
struct Ok {};

/// A value or an ArchiveError; callers must look at it.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(ArchiveError error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return state_.index() == 0; }

  T& value() & {
    if (!ok()) throw Fault("Result read as a value while it holds an error.");
    return std::get<0>(state_);
  }
  const T& value() const& {
    if (!ok()) throw Fault("Result read as a value while it holds an error.");
    return std::get<0>(state_);
  }
  T&& value() && {
    if (!ok()) throw Fault("Result read as a value while it holds an error.");
    return std::get<0>(std::move(state_));
  }
  const ArchiveError& error() const {
    if (ok()) throw Fault("Result read as an error while it holds a value.");
    return std::get<1>(state_);
  }
  ArchiveError&& take_error() && {
    if (ok()) throw Fault("Result read as an error while it holds a value.");
    return std::get<1>(std::move(state_));
  }

 private:
  std::variant<T, ArchiveError> state_;
};

/// The result of an operation that returns nothing.
using Status = Result<Ok>;

/// Builds a failed result; reads better than a bare brace at the call site.
inline ArchiveError fail(std::string message) {
  return ArchiveError{std::move(message)};
}

}  // namespace orvane
