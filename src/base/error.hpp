// What can go wrong in the core, as one value, and the result type that
// carries it: every operation that can fail returns Expected<T>, so that the
// binding alone decides which Python exception a failure becomes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "base/source_location.hpp"

namespace velmaro {

struct Error {
  enum class Kind : uint8_t {
    kIo,           // a file operation failed: `errnum`, or (errnum 0) `message` alone
    kInternal,     // an expectation of the core broke: `message`, found at `where`
    kInterrupted,  // the caller asked a long operation to stop
  };

  Kind kind = Kind::kInternal;
  int errnum = 0;
  std::string message;
  SourceLocation where;

  static Error os(int errnum) { return Error{Kind::kIo, errnum, {}, {}}; }
  static Error io(std::string_view message) { return Error{Kind::kIo, 0, std::string(message), {}}; }
  static Error internal(std::string message, SourceLocation where = SourceLocation::current()) {
    return Error{Kind::kInternal, 0, std::move(message), where};
  }
  static Error interrupted() { return Error{Kind::kInterrupted, 0, {}, {}}; }

  // "No such file or directory (os error 2)" for an error number, else the
  // message.
  std::string text() const;
};

// I/O errors without a number, by their fixed messages.
inline constexpr std::string_view kUnexpectedEof = "failed to fill whole buffer";
inline constexpr std::string_view kNulInPath = "file name contained an unexpected NUL byte";

// A value or the Error that took its place.  Converts implicitly from
// either, so that a function returns `value` or `Error::...(...)` alike.
template <class T>
class Expected {
 public:
  Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Expected(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool has_value() const { return v_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &std::get<0>(v_); }
  const T* operator->() const { return &std::get<0>(v_); }
  T& operator*() & { return std::get<0>(v_); }
  const T& operator*() const& { return std::get<0>(v_); }

  Error& error() & { return std::get<1>(v_); }
  const Error& error() const& { return std::get<1>(v_); }

 private:
  std::variant<T, Error> v_;
};

// Success that carries no value: `return {};`.
template <>
class Expected<void> {
 public:
  Expected() = default;
  Expected(Error error) : error_(std::move(error)) {}

  bool has_value() const { return !error_; }
  explicit operator bool() const { return has_value(); }

  Error& error() & { return *error_; }
  const Error& error() const& { return *error_; }

 private:
  std::optional<Error> error_;
};

}  // namespace velmaro
