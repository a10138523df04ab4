// brackwell-stamp: the command line around stamp.h, for the people and
// servers that build and hand out the images brackwell reads.
//
//   brackwell-stamp write IMAGE PROFILE [options]
//   brackwell-stamp show IMAGE [--json]
//   brackwell-stamp extract IMAGE [-o FILE]
//   brackwell-stamp remove IMAGE [options]
//   brackwell-stamp unsign IMAGE [options]
//   brackwell-stamp help [COMMAND] | --help | --version
//
// PROFILE "-" is standard input; OUT and FILE "-" are standard output (the
// new image is written to descriptor 1, everything else to `out`). Data
// (show's report, JSON, extracted bytes, the help) goes to `out`, every
// message to `err`.
//
// Two environment variables help to look inside a run:
//   BRACKWELL_STAMP_VERBOSE  set and not "0": write, remove and unsign name
//                            the copy method that ran
//   BRACKWELL_STAMP_COPY     "no-clone" or "stream" rules out the cheaper
//                            copies (default "auto": the cheapest available)
#pragma once

#include <iosfwd>

// The exit statuses, the same for every command: what scripts and servers
// act on.
enum class ExitStatus : int {
  done = 0,
  failed = 1, // failed or refused; the message says why
  usage = 2,
  no_profile = 3,            // the image holds no profile (show, extract, remove)
  range_not_satisfiable = 4, // --range selects none of the new image's bytes
  validator_mismatch = 5     // --if-etag: the new image's validator is another
};

int runStamp(int argc, const char* const argv[], std::ostream& out, std::ostream& err);
