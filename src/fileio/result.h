// What an operation of ours gives back: its value, or an error that says
// what went wrong in words the user can act on. The error is made where the
// failure happens, with errno taken there, so nothing printed or called in
// between can change what it says; the callers above add what they were
// doing (Error::within), never a second guess at the cause.
#pragma once

#include <string>
#include <tl/expected.hpp>
#include <utility>

namespace fileio {

struct Error {
  std::string message; // names the user's paths, never our temporary files
  int code = 0;        // errno of the failure, where there is one

  // This error as the cause of `what` failing: "<what>: <message>".
  Error within(const std::string& what) const { return {what + ": " + message, code}; }
};

template <typename T> using Result = tl::expected<T, Error>;

// strerror's text, or "unexpected end of file" for 0 (a read that came back
// short without an error).
std::string errorText(int code);

// The system's text for `code` as an error.
Error systemError(int code);

// `what` followed by the system's text for `code`.
Error systemError(const std::string& what, int code);

// An error without an errno, as a failed Result.
inline tl::unexpected<Error> fail(std::string message, int code = 0) {
  return tl::make_unexpected(Error{std::move(message), code});
}

// `what` with the system's text for `code`, as a failed Result.
inline tl::unexpected<Error> failWith(const std::string& what, int code) {
  return tl::make_unexpected(systemError(what, code));
}

// A path as messages name it: in single quotes.
std::string quoted(const std::string& path);

} // namespace fileio
