// Result<T>: a value, or the Error that stopped it; Result<void>: success, or the Error.
//
// The one way the host kernel, the board and the tools return a failure that has a reason.
// Functions that stand in for the kernel's own C entry points keep the kernel's convention
// (0 or a negative errno) instead; this is for the C++ around them: loaders, parsers, the
// simulator's session and mount, the monitor's file reads.
//
//   host::Result<Config> parse(std::string_view text) {
//     if (text.empty()) return host::Error("empty");          // a failure
//     host::Result<Words> w = split(text);
//     if (!w) return w.error();                               // pass a failure on
//     return Config{*w};                                      // a value
//   }
//   host::Result<void> check(...) { ...; return {}; }         // success without a value
//
// An Error carries a message for people and, where a caller acts on the kind of failure (the
// FUSE bridge answers with it, the monitor tells a vanished file from a broken one), the
// errno. A caller adds context by making a new Error from the old message.
//
// Asking an error result for its value, or a value result for its error, is a programming
// fault: it aborts with a message (never undefined behaviour). Test the result first.
//
// Header-only: usable from every layer, also from code that does not link the host kernel.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace host {

struct Error {
  // explicit: a Result<std::string> is never made from a string by accident.
  explicit Error(std::string message, int errnum = 0)
      : message(std::move(message)), errnum(errnum) {}
  // A failure told by its errno alone: the message is the errno's text ("No such file...").
  static Error from_errno(int errnum) { return Error(std::strerror(errnum), errnum); }

  std::string message;
  int errnum = 0;  // a positive errno (EIO); 0 where none applies
};

namespace result_detail {

[[noreturn]] inline void misuse(const char* what, const std::string& message) {
  std::fprintf(stderr, "host::Result: %s (%s)\n", what, message.c_str());
  std::abort();
}

}  // namespace result_detail

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

  explicit operator bool() const { return v_.index() == 0; }

  T& value() & { return std::get<0>(checked()); }
  const T& value() const& { return std::get<0>(checked()); }
  T&& value() && { return std::get<0>(std::move(checked())); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const Error& error() const {
    if (v_.index() != 1) result_detail::misuse("error() of a result that holds a value", "");
    return std::get<1>(v_);
  }

 private:
  std::variant<T, Error>& checked() {
    if (v_.index() != 0) result_detail::misuse("value of an error result", std::get<1>(v_).message);
    return v_;
  }
  const std::variant<T, Error>& checked() const {
    if (v_.index() != 0) result_detail::misuse("value of an error result", std::get<1>(v_).message);
    return v_;
  }

  std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)) {}

  explicit operator bool() const { return !error_.has_value(); }

  const Error& error() const {
    if (!error_) result_detail::misuse("error() of a result that succeeded", "");
    return *error_;
  }

 private:
  std::optional<Error> error_;
};

}  // namespace host
