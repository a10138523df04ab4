// What a file operation gives back: its value, or an error that says what
// went wrong in words the user can act on. The error is made where the
// failure happens, with errno taken there, so nothing printed or called in
// between can change what it says.
#pragma once

#include <string>
#include <tl/expected.hpp>

namespace fileio {

struct Error {
  std::string message; // names the user's paths, never our temporary files
  int code = 0;        // errno of the failure, where there is one
};

template <typename T> using Result = tl::expected<T, Error>;

// `what` followed by the system's text for `code` ("unexpected end of file"
// for 0: a read that came back short without an error).
Error systemError(const std::string& what, int code);

// An error without an errno.
inline tl::unexpected<Error> fail(std::string message, int code = 0) {
  return tl::make_unexpected(Error{std::move(message), code});
}

// `what` with the system's text for `code`, as a failed Result.
inline tl::unexpected<Error> failWith(const std::string& what, int code) {
  return tl::make_unexpected(systemError(what, code));
}

} // namespace fileio
