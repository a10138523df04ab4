#include "stamp/stamp_cli.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <ostream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "fileio/fd.h"
#include "fileio/io.h"
#include "profile/profile_trailer.h"
#include "stamp/stamp.h"

namespace {

const char* const PROGRAM = "brackwell-stamp: ";
const char* const STANDARD_STREAM = "-";

const char* const USAGE =
    "usage: brackwell-stamp write IMAGE PROFILE [--out OUT] [--replace] [--unsign] [--wait S]\n"
    "       brackwell-stamp show IMAGE\n"
    "       brackwell-stamp extract IMAGE [--out FILE]\n"
    "       brackwell-stamp remove IMAGE [--out OUT] [--unsign] [--wait S]\n"
    "       brackwell-stamp unsign IMAGE [--out OUT] [--wait S]\n"
    "       brackwell-stamp --help | --version\n"
    "PROFILE '-' is standard input; OUT and FILE '-' are standard output.\n";

const char* const HELP = "\n"
                         "Puts a customer's profile into a UDIF disk image, in front of its trailer,\n"
                         "where brackwell reads it; shows, extracts and removes it again.\n"
                         "\n"
                         "  write    stamp PROFILE into IMAGE\n"
                         "  show     report IMAGE's size, profile and code signature\n"
                         "  extract  write the profile brackwell would read to FILE or standard output\n"
                         "  remove   take the profile out again\n"
                         "  unsign   take the code signature off: the image as it was before signing\n"
                         "\n"
                         "  --out OUT  write the new image to OUT instead of replacing IMAGE\n"
                         "  --replace  swap a profile already there for the new one\n"
                         "  --unsign   take a code signature off as well (a signed image is refused\n"
                         "             otherwise: changing it would break the signature)\n"
                         "  --wait S   in place, wait at most S seconds (default 60) for another\n"
                         "             process that holds the image's lock\n"
                         "\n"
                         "Exit status: 0 done (show: brackwell can read a profile), 1 failed or\n"
                         "refused, 2 usage error. See brackwell-stamp(1).\n";

enum class Verb { write, show, extract, remove, unsign };

struct Grammar {
  const char* name;
  Verb verb;
  std::size_t operands;
  bool out;
  bool replace;
  bool unsign;
  bool wait;
};

constexpr Grammar GRAMMAR[] = {
    {"write", Verb::write, 2, true, true, true, true},
    {"show", Verb::show, 1, false, false, false, false},
    {"extract", Verb::extract, 1, true, false, false, false},
    {"remove", Verb::remove, 1, true, false, true, true},
    {"unsign", Verb::unsign, 1, true, false, false, true},
};

// The longest --wait accepted: a year.
constexpr unsigned long MAX_WAIT_SECONDS = 366UL * 24 * 3600;

struct Command {
  const Grammar* grammar = nullptr;
  std::vector<std::string> operands;
  std::optional<std::string> out;
  bool replace = false;
  bool unsign = false;
  std::optional<unsigned> waitSeconds;
  bool toStandardOutput() const { return out && *out == STANDARD_STREAM; }
};

enum class Request { run, help, version };

// --help and --version win over everything else on the command line, up to
// a "--".
Request requested(int argc, const char* const argv[]) {
  Request request = Request::run;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      break;
    }
    if (arg == "--out" || arg == "--wait") {
      ++i; // its value is taken as it is, whatever it looks like
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      return Request::help;
    }
    if (arg == "--version") {
      request = Request::version;
    }
  }
  return request;
}

// Parses argv into `command`; on a usage error returns what is wrong.
std::optional<std::string> parse(int argc, const char* const argv[], Command& command) {
  if (argc < 2) {
    return "no command given";
  }
  const std::string verb = argv[1];
  for (const Grammar& candidate : GRAMMAR) {
    if (verb == candidate.name) {
      command.grammar = &candidate;
    }
  }
  if (command.grammar == nullptr) {
    return "unknown command '" + verb + "'";
  }
  const Grammar& grammar = *command.grammar;
  bool optionsEnded = false;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (optionsEnded || arg == STANDARD_STREAM || arg.empty() || arg[0] != '-') {
      command.operands.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (grammar.out && (arg == "--out" || arg.compare(0, 6, "--out=") == 0)) {
      if (command.out) {
        return "--out given twice";
      }
      if (arg == "--out") {
        if (i + 1 >= argc) {
          return "--out needs a path";
        }
        command.out = argv[++i];
      } else {
        command.out = arg.substr(6);
      }
      if (command.out->empty()) {
        return "--out needs a path";
      }
    } else if (grammar.wait && (arg == "--wait" || arg.compare(0, 7, "--wait=") == 0)) {
      if (command.waitSeconds) {
        return "--wait given twice";
      }
      if (arg == "--wait" && i + 1 >= argc) {
        return "--wait needs a number of seconds";
      }
      const std::string value = arg == "--wait" ? argv[++i] : arg.substr(7);
      if (value.empty() || value.size() > 10 || value.find_first_not_of("0123456789") != std::string::npos ||
          std::stoul(value) > MAX_WAIT_SECONDS) {
        return "--wait takes a whole number of seconds from 0 to " + std::to_string(MAX_WAIT_SECONDS) +
               ", not '" + value + "'";
      }
      command.waitSeconds = static_cast<unsigned>(std::stoul(value));
    } else if (grammar.replace && arg == "--replace") {
      command.replace = true;
    } else if (grammar.unsign && arg == "--unsign") {
      command.unsign = true;
    } else if (grammar.verb == Verb::write && arg == "--force") {
      return "--force is no longer accepted: it wrote signed images whose signature no longer fits; pass "
             "--unsign to take the signature off instead";
    } else {
      return "unknown option '" + arg + "' for " + verb;
    }
  }
  if (command.operands.size() != grammar.operands) {
    return verb + " takes " + (grammar.operands == 2 ? "IMAGE and PROFILE" : "one IMAGE") + ", got " +
           std::to_string(command.operands.size()) + " operand" + (command.operands.size() == 1 ? "" : "s");
  }
  return std::nullopt;
}

bool verbose() {
  const char* value = std::getenv("BRACKWELL_STAMP_VERBOSE");
  return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

std::optional<stamp::CopyLimit> copyLimit() {
  const char* value = std::getenv("BRACKWELL_STAMP_COPY");
  if (value == nullptr || *value == '\0' || std::strcmp(value, "auto") == 0) {
    return stamp::CopyLimit::cheapest;
  }
  if (std::strcmp(value, "no-clone") == 0) {
    return stamp::CopyLimit::no_clone;
  }
  if (std::strcmp(value, "stream") == 0) {
    return stamp::CopyLimit::stream;
  }
  return std::nullopt;
}

std::string quoted(const std::string& path) {
  return "'" + path + "'";
}

// What a profile stamped before the image was signed means for brackwell.
std::string hiddenProfileHint(const profile_trailer::Location& beforeSignature) {
  return "a profile of " + std::to_string(beforeSignature.length) +
         " bytes lies in front of the code signature, where brackwell cannot read it; 'brackwell-stamp "
         "unsign' makes it readable";
}

bool hasHiddenProfile(const stamp::Inspection& inspection) {
  return inspection.beforeSignature && inspection.beforeSignature->status == profile_trailer::Status::ok;
}

int report(const stamp::Outcome& outcome, const Command& command, std::ostream& err) {
  if (!outcome.ok()) {
    err << PROGRAM << outcome.message << std::endl;
    return STAMP_EXIT_FAILED;
  }
  if (verbose()) {
    err << PROGRAM << "copy method: " << fileio::describe(outcome.copy) << " (" << outcome.copiedBytes
        << " bytes in front of the insertion point)" << std::endl;
  }
  std::string done;
  if (outcome.unsignedImage) {
    done = "removed the code signature (" + std::to_string(outcome.signatureLength) + " bytes)";
  }
  const auto also = [&done](const std::string& what) { done += (done.empty() ? "" : " and ") + what; };
  switch (command.grammar->verb) {
  case Verb::write:
    if (outcome.replaced) {
      also("replaced the profile of " + std::to_string(outcome.replacedLength) + " bytes with " +
           std::to_string(outcome.profileLength) + " bytes at offset " +
           std::to_string(outcome.profileOffset));
    } else {
      also("stamped a profile of " + std::to_string(outcome.profileLength) + " bytes at offset " +
           std::to_string(outcome.profileOffset));
    }
    break;
  case Verb::remove:
    also((outcome.unsignedImage ? "the profile of " : "removed the profile of ") +
         std::to_string(outcome.profileLength) + " bytes");
    break;
  default:
    break;
  }
  const std::string target = command.toStandardOutput()
                                 ? std::to_string(outcome.imageSize) + " bytes to standard output"
                                 : quoted(command.out ? *command.out : command.operands[0]);
  err << PROGRAM << done << "; wrote " << target << std::endl;
  return STAMP_EXIT_OK;
}

int change(const Command& command, stamp::Options options, std::ostream& out, std::ostream& err) {
  options.replace = command.replace;
  options.unsign = command.unsign;
  options.waitSeconds = command.waitSeconds.value_or(options.waitSeconds);
  if (command.toStandardOutput()) {
    out.flush();
    options.outFd = STDOUT_FILENO;
  } else {
    options.out = command.out.value_or("");
  }
  options.notice = [&err](const std::string& text) { err << PROGRAM << text << std::endl; };
  const std::string& image = command.operands[0];
  switch (command.grammar->verb) {
  case Verb::write: {
    const std::string& profilePath = command.operands[1];
    fileio::Fd profile(profilePath == STANDARD_STREAM ? -1 : open(profilePath.c_str(), O_RDONLY | O_CLOEXEC));
    if (profilePath != STANDARD_STREAM && !profile.valid()) {
      err << PROGRAM << "cannot open profile " << quoted(profilePath) << ": " << std::strerror(errno)
          << std::endl;
      return STAMP_EXIT_FAILED;
    }
    const int profileFd = profile.valid() ? profile.get() : STDIN_FILENO;
    return report(stamp::stampProfile(image, profileFd, options), command, err);
  }
  case Verb::remove:
    return report(stamp::removeProfile(image, options), command, err);
  default:
    return report(stamp::removeSignature(image, options), command, err);
  }
}

int show(const Command& command, std::ostream& out, std::ostream& err) {
  const std::string& image = command.operands[0];
  const fileio::Fd fd(open(image.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) {
    err << PROGRAM << "cannot open image " << quoted(image) << ": " << std::strerror(errno) << std::endl;
    return STAMP_EXIT_FAILED;
  }
  // A directory or a FIFO has no end to count back from; a block device
  // holding an image does.
  struct stat st {};
  if (fstat(fd.get(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) {
    err << PROGRAM << quoted(image) << " is not a regular file" << std::endl;
    return STAMP_EXIT_FAILED;
  }
  const stamp::Inspection inspection = stamp::inspect(fd.get());
  const profile_trailer::Location& location = inspection.location;
  const profile_trailer::CodeSignature& signature = inspection.signature;
  const bool present = location.status == profile_trailer::Status::ok;
  // A read that failed says nothing about what the image holds.
  if (location.error != 0) {
    err << PROGRAM << "cannot read the end of " << quoted(image) << ": " << fileio::errorText(location.error)
        << std::endl;
    return STAMP_EXIT_FAILED;
  }
  if (signature.layout == profile_trailer::SignatureLayout::unreadable) {
    err << PROGRAM << "cannot read the code signature of " << quoted(image) << ": "
        << fileio::errorText(signature.error) << std::endl;
    return STAMP_EXIT_FAILED;
  }

  out << "image: " << image << "\n";
  out << "size: " << location.fileSize << " bytes\n";
  if (present) {
    out << "profile: offset " << location.profileOffset << ", length " << location.length << "\n";
  } else {
    out << "profile: none (" << profile_trailer::describe(location) << ")\n";
  }
  if (location.status == profile_trailer::Status::no_trailer) {
    out << "code signature: unknown (no trailer)\n";
  } else if (!signature.present()) {
    out << "code signature: none\n";
  } else {
    out << "code signature: offset " << signature.offset << ", length " << signature.length << " ("
        << (signature.valid() ? "valid layout: " : "does not fit the image: ")
        << profile_trailer::describe(signature) << ")\n";
  }
  if (hasHiddenProfile(inspection)) {
    out << "profile in front of the code signature: offset " << inspection.beforeSignature->profileOffset
        << ", length " << inspection.beforeSignature->length
        << " (brackwell cannot read it there; 'brackwell-stamp unsign' makes it readable)\n";
  }
  out.flush();
  if (!present) {
    err << PROGRAM << "no valid profile in " << quoted(image) << ": " << profile_trailer::describe(location);
    if (hasHiddenProfile(inspection)) {
      err << "; " << hiddenProfileHint(*inspection.beforeSignature);
    }
    err << std::endl;
    return STAMP_EXIT_FAILED;
  }
  return STAMP_EXIT_OK;
}

// Whether `image` holds a profile in front of its code signature.
std::optional<profile_trailer::Location> hiddenProfileOf(const std::string& image) {
  const fileio::Fd fd(open(image.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return std::nullopt;
  }
  const stamp::Inspection inspection = stamp::inspect(fd.get());
  if (!hasHiddenProfile(inspection)) {
    return std::nullopt;
  }
  return inspection.beforeSignature;
}

int extract(const Command& command, stamp::Options options, std::ostream& out, std::ostream& err) {
  // The same reader brackwell runs, so what extract gives is what brackwell
  // would give; its progress lines go to `err`, leaving `out` to the data.
  const std::string& image = command.operands[0];
  const bool toFile = command.out && !command.toStandardOutput();
  if (toFile) {
    options.out = *command.out;
  } else {
    out.flush();
    options.outFd = STDOUT_FILENO;
  }
  const stamp::Outcome outcome = stamp::extractProfile(image, options, err);
  if (outcome.failure == stamp::Failure::no_profile) {
    err << PROGRAM << "no profile extracted";
    if (const auto hidden = hiddenProfileOf(image)) {
      err << "; " << hiddenProfileHint(*hidden);
    }
    err << std::endl;
    return STAMP_EXIT_FAILED;
  }
  if (!outcome.ok()) {
    err << PROGRAM << outcome.message << std::endl;
    return STAMP_EXIT_FAILED;
  }
  err << PROGRAM << "extracted a profile of " << outcome.profileLength << " bytes"
      << (toFile ? " to " + quoted(*command.out) : std::string()) << std::endl;
  return STAMP_EXIT_OK;
}

} // namespace

int runStamp(int argc, const char* const argv[], std::ostream& out, std::ostream& err) {
  switch (requested(argc, argv)) {
  case Request::help:
    out << USAGE << HELP << std::flush;
    return out ? STAMP_EXIT_OK : STAMP_EXIT_FAILED;
  case Request::version:
    out << "brackwell-stamp " << BRACKWELL_VERSION << std::endl;
    return out ? STAMP_EXIT_OK : STAMP_EXIT_FAILED;
  case Request::run:
    break;
  }
  Command command;
  if (const auto problem = parse(argc, argv, command)) {
    err << PROGRAM << *problem << "\n" << USAGE << std::flush;
    return STAMP_EXIT_USAGE;
  }
  if (command.grammar->verb == Verb::show) {
    return show(command, out, err);
  }
  stamp::Options options;
  const auto limit = copyLimit();
  if (!limit) {
    err << PROGRAM << "BRACKWELL_STAMP_COPY must be auto, no-clone or stream" << std::endl;
    return STAMP_EXIT_FAILED;
  }
  options.copy = *limit;
  if (command.grammar->verb == Verb::extract) {
    return extract(command, options, out, err);
  }
  return change(command, options, out, err);
}
