// Error values of the engine: a category in the manner of the OS error kinds plus a message.
// Failures travel as values; no exception crosses a module boundary.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace quarry {

enum class ErrorKind {
  NotFound,
  PermissionDenied,
  InvalidInput,
  IsADirectory,
  NotADirectory,
  AlreadyExists,
  FileTooLarge,
  Interrupted,
  Other,
};

struct IoError {
  ErrorKind kind = ErrorKind::Other;
  std::string message;
};

// The category and "{description} (os error {errnum})" for an errno value. Capture errno
// before any cleanup call can overwrite it.
IoError os_error(int errnum);

// The system's description of an errno value alone, e.g. "No such file or directory".
std::string os_error_description(int errnum);

// A value or an error.
template <typename T, typename E = IoError>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::move(value)) {}
  Result(E error) : state_(std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const E& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, E> state_;
};

// Success or an error, for operations with no value.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(IoError error) : error_(std::move(error)) {}

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  const IoError& error() const { return *error_; }

 private:
  std::optional<IoError> error_;
};

}  // namespace quarry
