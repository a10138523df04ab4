// brackwell-stamp: the command line around stamp.h, for the people who build
// the images brackwell reads.
//
//   brackwell-stamp write IMAGE PROFILE [--out OUT] [--replace] [--unsign]
//   brackwell-stamp show IMAGE
//   brackwell-stamp extract IMAGE [--out FILE]
//   brackwell-stamp remove IMAGE [--out OUT] [--unsign]
//   brackwell-stamp unsign IMAGE [--out OUT]
//   brackwell-stamp --help | --version
//
// PROFILE "-" is standard input; OUT and FILE "-" are standard output (the
// new image is written to descriptor 1, everything else to `out`). Data
// (show's report, extracted bytes, the help) goes to `out`, every message to
// `err`. Exit status: 0 success, 1 failure, 2 usage error.
//
// Two environment variables help to look inside a run:
//   BRACKWELL_STAMP_VERBOSE  set and not "0": write, remove and unsign name
//                            the copy method that ran
//   BRACKWELL_STAMP_COPY     "no-clone" or "stream" rules out the cheaper
//                            copies (default "auto": the cheapest available)
#pragma once

#include <iosfwd>

constexpr int STAMP_EXIT_OK = 0;
constexpr int STAMP_EXIT_FAILED = 1;
constexpr int STAMP_EXIT_USAGE = 2;

int runStamp(int argc, const char* const argv[], std::ostream& out, std::ostream& err);
