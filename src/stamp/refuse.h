// How the stamping library's rooms end a run: a stamp::Error made where the
// failure is seen.
#pragma once

#include <cerrno>
#include <string>
#include <tl/expected.hpp>
#include <utility>

#include "fileio/result.h"
#include "stamp/stamp.h"

namespace stamp {

// A run that ends with `failure`, for the reason `message` gives.
inline tl::unexpected<Error> refuse(Failure failure, std::string message) {
  return tl::make_unexpected(Error{failure, std::move(message), 0, {}});
}

// A run that ends with `failure` because of `cause`, which says it all.
inline tl::unexpected<Error> refuse(Failure failure, const fileio::Error& cause) {
  return refuse(failure, cause.message);
}

// Why a path was refused or could not be reached, as a failure of the run:
// a name refused under the shared-directory rules (fileio/place.h), or
// `otherwise`.
inline Failure placeFailure(const fileio::Error& problem, Failure otherwise) {
  return problem.code == EACCES ? Failure::path_refused : otherwise;
}

} // namespace stamp
