#include "stamp/stamp_cli.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "fileio/fd.h"
#include "fileio/io.h"
#include "profile/profile_trailer.h"
#include "stamp/stamp.h"

namespace {

using Json = nlohmann::ordered_json;

const char* const PROGRAM = "brackwell-stamp: ";

// Every message of ours: one line on standard error, after the program's
// name. (The reader's own lines, which extract passes on, are not ours.)
void say(std::ostream& err, const std::string& message) {
  err << PROGRAM << message << std::endl;
}
const char* const STANDARD_STREAM = "-";

const char* const USAGE = "usage: brackwell-stamp write IMAGE PROFILE [options]\n"
                          "       brackwell-stamp show IMAGE [--json]\n"
                          "       brackwell-stamp extract IMAGE [-o FILE]\n"
                          "       brackwell-stamp remove IMAGE [options]\n"
                          "       brackwell-stamp unsign IMAGE [options]\n"
                          "       brackwell-stamp help [COMMAND] | --help | --version\n"
                          "PROFILE '-' is standard input; OUT and FILE '-' are standard output.\n";

const char* const EXIT_STATUSES = "\n"
                                  "Exit status: 0 done, 1 failed or refused, 2 usage error, 3 no profile,\n"
                                  "4 range not satisfiable, 5 validator mismatch. See brackwell-stamp(1).\n";

const char* const QUIET_HELP = "  -q, --quiet     print nothing on success\n";

// The options write, remove and unsign share.
const char* const CHANGE_HELP =
    "  --wait S        in place, wait at most S seconds (default 60) for another\n"
    "                  process that holds the image's lock\n"
    "  --dry-run       check everything, write and create nothing\n"
    "  --json          with --dry-run: print the new image's size and validator\n"
    "                  (an HTTP ETag) as one JSON object\n"
    "  --range SPEC    with --out -: write only the bytes FIRST-LAST, FIRST- or\n"
    "                  -SUFFIX of the new image\n"
    "  --if-etag ETAG  write nothing unless the new image's validator is ETAG\n";

const char* const OUT_HELP = "  -o, --out OUT   write the new image to OUT ('-': standard output) instead\n"
                             "                  of replacing IMAGE\n";

const char* const UNSIGN_HELP =
    "  --unsign        take a code signature off as well (a signed image is\n"
    "                  refused otherwise: changing it would break the signature)\n";

const std::string HELP = std::string(USAGE) +
                         "\n"
                         "Puts a customer's profile into a UDIF disk image, in front of its trailer,\n"
                         "where brackwell reads it; shows, extracts and removes it again.\n"
                         "\n"
                         "  write    stamp PROFILE into IMAGE\n"
                         "  show     report IMAGE's size, profile and code signature\n"
                         "  extract  write the profile brackwell would read to FILE or standard output\n"
                         "  remove   take the profile out again\n"
                         "  unsign   take the code signature off: the image as it was before signing\n"
                         "\n"
                         "Options of write, remove and unsign:\n" +
                         OUT_HELP +
                         "  --replace       (write) swap a profile already there for the new one\n"
                         "  --unsign        (write, remove) take a code signature off as well\n" +
                         CHANGE_HELP +
                         "Every command takes -q, --quiet (print nothing on success) and -h, --help.\n" +
                         "'brackwell-stamp help COMMAND' describes one command.\n" + EXIT_STATUSES;

enum class Verb { write, show, extract, remove, unsign };

struct Grammar {
  const char* name;
  Verb verb;
  std::size_t operands;
  const char* operandNames; // for the message about a wrong count
  bool out;
  bool replace;
  bool unsign;
  bool change; // --wait, --dry-run, --json (with --dry-run), --range, --if-etag
  bool json;
  const char* usage;
  std::string help; // what follows the usage in `COMMAND --help`
};

const Grammar GRAMMAR[] = {
    {"write", Verb::write, 2, "IMAGE and PROFILE", true, true, true, true, true,
     "usage: brackwell-stamp write IMAGE PROFILE [-o OUT] [--replace] [--unsign] [--wait S]\n"
     "                             [--dry-run [--json]] [--range SPEC] [--if-etag ETAG] [-q]\n",
     std::string("\nStamps PROFILE ('-': standard input) into IMAGE, in front of its trailer.\n\n") +
         OUT_HELP + "  --replace       swap a profile already there for the new one\n" + UNSIGN_HELP +
         CHANGE_HELP + QUIET_HELP + EXIT_STATUSES},
    {"show", Verb::show, 1, "one IMAGE", false, false, false, false, true,
     "usage: brackwell-stamp show IMAGE [--json] [-q]\n",
     std::string("\nReports IMAGE's size, profile and code signature on standard output.\n\n") +
         "  --json          as one JSON object\n" + QUIET_HELP + EXIT_STATUSES},
    {"extract", Verb::extract, 1, "one IMAGE", true, false, false, false, false,
     "usage: brackwell-stamp extract IMAGE [-o FILE] [-q]\n",
     std::string("\nWrites the profile that brackwell would read from IMAGE to standard output.\n\n") +
         "  -o, --out FILE  write it to FILE instead ('-': standard output)\n" + QUIET_HELP + EXIT_STATUSES},
    {"remove", Verb::remove, 1, "one IMAGE", true, false, true, true, true,
     "usage: brackwell-stamp remove IMAGE [-o OUT] [--unsign] [--wait S]\n"
     "                              [--dry-run [--json]] [--range SPEC] [--if-etag ETAG] [-q]\n",
     std::string("\nTakes the profile out of IMAGE again.\n\n") + OUT_HELP + UNSIGN_HELP + CHANGE_HELP +
         QUIET_HELP + EXIT_STATUSES},
    {"unsign", Verb::unsign, 1, "one IMAGE", true, false, false, true, true,
     "usage: brackwell-stamp unsign IMAGE [-o OUT] [--wait S]\n"
     "                              [--dry-run [--json]] [--range SPEC] [--if-etag ETAG] [-q]\n",
     std::string("\nTakes IMAGE's code signature off: the image as it was before it was signed.\n\n") +
         OUT_HELP + CHANGE_HELP + QUIET_HELP + EXIT_STATUSES},
};

const Grammar* grammarOf(const std::string& name) {
  for (const Grammar& grammar : GRAMMAR) {
    if (name == grammar.name) {
      return &grammar;
    }
  }
  return nullptr;
}

// The longest --wait accepted: a year.
constexpr unsigned MAX_WAIT_SECONDS = 366u * 24 * 3600;

struct Command {
  const Grammar* grammar = nullptr;
  std::vector<std::string> operands;
  std::optional<std::string> out;
  bool replace = false;
  bool unsign = false;
  bool dryRun = false;
  bool json = false;
  bool quiet = false;
  std::optional<unsigned> waitSeconds;
  std::optional<stamp::ByteRange> range;
  std::optional<std::string> ifEtag;
  bool toStandardOutput() const { return out && *out == STANDARD_STREAM; }
};

// What the command line asks for before anything is parsed in full: --help
// and --version win over everything else in front of a "--".
enum class Request {
  run,
  help,        // the whole help
  commandHelp, // one command's help (`COMMAND --help`, `help COMMAND`)
  version
};

// The options that take a value: their value is skipped when looking for
// --help, whatever it looks like.
bool takesValue(const std::string& arg) {
  return arg == "--out" || arg == "-o" || arg == "--wait" || arg == "--range" || arg == "--if-etag";
}

Request requested(int argc, const char* const argv[]) {
  Request request = Request::run;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      break;
    }
    if (takesValue(arg)) {
      ++i;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      return argc > 1 && grammarOf(argv[1]) != nullptr ? Request::commandHelp : Request::help;
    }
    if (arg == "--version") {
      request = Request::version;
    }
  }
  return request;
}

// A whole decimal number that fits `value`.
template <typename Number> bool parseNumber(const std::string& text, Number& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

// A position in a range: decimal digits, as many as HTTP allows. A number
// past what 64 bits hold is past the end of any image, so it stands as the
// largest there is (a FIRST past the end, a LAST clipped, a SUFFIX of all).
bool parsePosition(const std::string& text, std::uint64_t& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  if (!parseNumber(text, value)) {
    value = std::numeric_limits<std::uint64_t>::max();
  }
  return true;
}

// An HTTP byte-range-spec: FIRST-LAST, FIRST- or -SUFFIX.
std::optional<stamp::ByteRange> parseRange(const std::string& spec) {
  const std::size_t dash = spec.find('-');
  if (dash == std::string::npos) {
    return std::nullopt;
  }
  const std::string left = spec.substr(0, dash);
  const std::string right = spec.substr(dash + 1);
  stamp::ByteRange range;
  range.text = spec;
  if (left.empty()) {
    range.kind = stamp::ByteRange::Kind::suffix;
    return parsePosition(right, range.last) ? std::optional(range) : std::nullopt;
  }
  if (!parsePosition(left, range.first)) {
    return std::nullopt;
  }
  if (right.empty()) {
    range.kind = stamp::ByteRange::Kind::from;
    return range;
  }
  range.kind = stamp::ByteRange::Kind::from_to;
  if (!parsePosition(right, range.last) || range.last < range.first) {
    return std::nullopt;
  }
  return range;
}

// Parses argv into `command`; a usage error says what is wrong.
fileio::Result<void> parse(int argc, const char* const argv[], Command& command) {
  if (argc < 2) {
    return fileio::fail("no command given");
  }
  const std::string verb = argv[1];
  command.grammar = grammarOf(verb);
  if (command.grammar == nullptr) {
    return fileio::fail("unknown command '" + verb + "'");
  }
  const Grammar& grammar = *command.grammar;
  bool optionsEnded = false;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (optionsEnded || arg == STANDARD_STREAM || arg.empty() || arg[0] != '-') {
      command.operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    // "--name VALUE", "--name=VALUE", and for -o also "-o VALUE", "-oVALUE".
    std::string name = arg;
    std::optional<std::string> value;
    if (const std::size_t equals = arg.find('=');
        arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
    } else if (arg.compare(0, 2, "-o") == 0 && arg.size() > 2) {
      name = "-o";
      value = arg.substr(2);
    }
    const auto takeValue = [&]() -> std::optional<std::string> {
      if (!value) {
        if (i + 1 >= argc) {
          return std::nullopt;
        }
        value = argv[++i];
      }
      return value;
    };
    if (grammar.out && (name == "--out" || name == "-o")) {
      if (command.out) {
        return fileio::fail("--out given twice");
      }
      command.out = takeValue();
      if (!command.out || command.out->empty()) {
        return fileio::fail("--out needs a path");
      }
    } else if (grammar.change && name == "--wait") {
      if (command.waitSeconds) {
        return fileio::fail("--wait given twice");
      }
      const auto seconds = takeValue();
      if (!seconds) {
        return fileio::fail("--wait needs a number of seconds");
      }
      unsigned parsed = 0;
      if (!parseNumber(*seconds, parsed) || parsed > MAX_WAIT_SECONDS) {
        return fileio::fail("--wait takes a whole number of seconds from 0 to " +
                            std::to_string(MAX_WAIT_SECONDS) + ", not '" + *seconds + "'");
      }
      command.waitSeconds = parsed;
    } else if (grammar.change && name == "--range") {
      if (command.range) {
        return fileio::fail("--range given twice");
      }
      const auto spec = takeValue();
      if (!spec) {
        return fileio::fail("--range needs FIRST-LAST, FIRST- or -SUFFIX");
      }
      command.range = parseRange(*spec);
      if (!command.range) {
        return fileio::fail(
            "--range takes FIRST-LAST (LAST not below FIRST), FIRST- or -SUFFIX in bytes, not '" + *spec +
            "'");
      }
    } else if (grammar.change && name == "--if-etag") {
      if (command.ifEtag) {
        return fileio::fail("--if-etag given twice");
      }
      command.ifEtag = takeValue();
      if (!command.ifEtag || command.ifEtag->empty()) {
        return fileio::fail("--if-etag needs a validator");
      }
    } else if (value) {
      return fileio::fail("unknown option '" + arg + "' for " + verb);
    } else if (grammar.replace && arg == "--replace") {
      command.replace = true;
    } else if (grammar.unsign && arg == "--unsign") {
      command.unsign = true;
    } else if (grammar.change && arg == "--dry-run") {
      command.dryRun = true;
    } else if (grammar.json && arg == "--json") {
      command.json = true;
    } else if (arg == "-q" || arg == "--quiet") {
      command.quiet = true;
    } else if (grammar.verb == Verb::write && arg == "--force") {
      return fileio::fail(
          "--force is no longer accepted: it wrote signed images whose signature no longer fits; pass "
          "--unsign to take the signature off instead");
    } else {
      return fileio::fail("unknown option '" + arg + "' for " + verb);
    }
  }
  if (command.operands.size() != grammar.operands) {
    return fileio::fail(verb + " takes " + grammar.operandNames + ", got " +
                        std::to_string(command.operands.size()) + " operand" +
                        (command.operands.size() == 1 ? "" : "s"));
  }
  if (command.json && grammar.change && !command.dryRun) {
    return fileio::fail("--json goes with --dry-run for " + verb);
  }
  if (command.range && !command.toStandardOutput()) {
    return fileio::fail("--range needs --out -");
  }
  return {};
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

using fileio::quoted;

int code(ExitStatus status) {
  return static_cast<int>(status);
}

// The exit status of a failed change or extraction.
ExitStatus statusOf(stamp::Failure failure) {
  switch (failure) {
  case stamp::Failure::no_profile:
    return ExitStatus::no_profile;
  case stamp::Failure::range_unsatisfiable:
    return ExitStatus::range_not_satisfiable;
  case stamp::Failure::etag_mismatch:
    return ExitStatus::validator_mismatch;
  case stamp::Failure::image_unreadable:
  case stamp::Failure::not_a_regular_file:
  case stamp::Failure::no_trailer:
  case stamp::Failure::bad_signature:
  case stamp::Failure::signed_image:
  case stamp::Failure::not_signed:
  case stamp::Failure::profile_present:
  case stamp::Failure::damaged_descriptor:
  case stamp::Failure::profile_unreadable:
  case stamp::Failure::out_of_memory:
  case stamp::Failure::profile_too_long:
  case stamp::Failure::output_is_image:
  case stamp::Failure::output_unusable:
  case stamp::Failure::path_refused:
  case stamp::Failure::image_locked:
  case stamp::Failure::write_failed:
  case stamp::Failure::image_changed:
    return ExitStatus::failed;
  }
  return ExitStatus::failed;
}

// Whether the reader's verdict means that the image holds no profile at all
// (rather than that it is broken): nothing of a descriptor is in front of
// its trailer.
bool holdsNoProfile(profile_trailer::Status status) {
  switch (status) {
  case profile_trailer::Status::wrong_type:
  case profile_trailer::Status::magic_mismatch:
    return true;
  case profile_trailer::Status::ok:
  case profile_trailer::Status::no_trailer:
  case profile_trailer::Status::length_too_large:
    return false;
  }
  return false;
}

const char* tokenOf(profile_trailer::Status status) {
  switch (status) {
  case profile_trailer::Status::ok:
    return "ok";
  case profile_trailer::Status::no_trailer:
    return "no_trailer";
  case profile_trailer::Status::wrong_type:
    return "wrong_type";
  case profile_trailer::Status::magic_mismatch:
    return "magic_mismatch";
  case profile_trailer::Status::length_too_large:
    return "length_too_large";
  }
  return "";
}

const char* tokenOf(code_signature::Layout layout) {
  switch (layout) {
  case code_signature::Layout::none:
    return "none";
  case code_signature::Layout::valid:
    return "valid";
  case code_signature::Layout::length_without_offset:
    return "length_without_offset";
  case code_signature::Layout::offset_past_trailer:
    return "offset_past_trailer";
  case code_signature::Layout::not_ending_at_trailer:
    return "not_ending_at_trailer";
  case code_signature::Layout::too_short:
    return "too_short";
  case code_signature::Layout::no_superblob:
    return "no_superblob";
  case code_signature::Layout::length_mismatch:
    return "length_mismatch";
  case code_signature::Layout::unreadable:
    return "unreadable";
  }
  return "";
}

// One JSON object on one line. Paths are bytes; what is not UTF-8 in them
// is replaced, so that the line stays valid JSON.
void printJson(const Json& object, std::ostream& out) {
  out << object.dump(-1, ' ', false, Json::error_handler_t::replace) << "\n" << std::flush;
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

// What a change did (or, in a dry run, would do), e.g. "removed the code
// signature (64 bytes) and stamped a profile of 33 bytes at offset 4096".
std::string whatWasDone(const stamp::Outcome& outcome, Verb verb) {
  std::string done;
  if (outcome.unsignedImage) {
    done = "removed the code signature (" + std::to_string(outcome.signatureLength) + " bytes)";
  }
  const auto also = [&done](const std::string& what) { done += (done.empty() ? "" : " and ") + what; };
  switch (verb) {
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
  case Verb::unsign:
  case Verb::show:
  case Verb::extract:
    break;
  }
  return done;
}

// The JSON a dry run prints: the new image's size and validator, and the
// range it would write.
void printPlan(std::uint64_t size, const std::string& etag,
               const std::optional<std::pair<std::uint64_t, std::uint64_t>>& range, std::ostream& out) {
  Json json;
  json["size"] = size;
  json["etag"] = etag;
  if (range) {
    json["range"] = {
        {"first", range->first}, {"last", range->second}, {"length", range->second - range->first + 1}};
  }
  printJson(json, out);
}

int report(const stamp::Result<stamp::Outcome>& result, const Command& command, std::ostream& out,
           std::ostream& err) {
  if (!result) {
    const stamp::Error& error = result.error();
    // A dry run that got as far as the size and validator prints them, also
    // when the range or the validator is refused: a server answers from them.
    if (command.dryRun && command.json && !error.etag.empty()) {
      printPlan(error.imageSize, error.etag, std::nullopt, out);
    }
    say(err, error.message);
    return code(statusOf(error.failure));
  }
  const stamp::Outcome& outcome = *result;
  if (command.dryRun && command.json) {
    printPlan(outcome.imageSize, outcome.etag, outcome.written, out);
  }
  if (command.quiet) {
    return code(ExitStatus::done);
  }
  if (verbose() && !command.dryRun) {
    say(err, "copy method: " + fileio::nameOf(outcome.copy) + " (" + std::to_string(outcome.copiedBytes) +
                 " bytes in front of the insertion point)");
  }
  const std::string done = whatWasDone(outcome, command.grammar->verb);
  const std::string size = std::to_string(outcome.imageSize);
  const std::string bytes = outcome.written ? "bytes " + std::to_string(outcome.written->first) + "-" +
                                                  std::to_string(outcome.written->second) + " of " + size
                                            : size + " bytes";
  const std::string target = command.out ? *command.out : command.operands[0];
  if (command.dryRun) {
    say(err, "dry run, nothing written: would have " + done + "; " +
                 (command.toStandardOutput() ? "standard output would get " + bytes
                                             : quoted(target) + " would be " + size + " bytes") +
                 ", validator " + outcome.etag);
  } else {
    say(err,
        done + "; wrote " + (command.toStandardOutput() ? bytes + " to standard output" : quoted(target)));
  }
  return code(ExitStatus::done);
}

int change(const Command& command, stamp::Options options, std::ostream& out, std::ostream& err) {
  options.replace = command.replace;
  options.unsign = command.unsign;
  options.waitSeconds = command.waitSeconds.value_or(options.waitSeconds);
  options.dryRun = command.dryRun;
  options.range = command.range;
  options.ifEtag = command.ifEtag;
  if (command.toStandardOutput()) {
    out.flush();
    options.outFd = STDOUT_FILENO;
  } else {
    options.out = command.out.value_or("");
  }
  if (!command.quiet) {
    options.notice = [&err](const std::string& text) { say(err, text); };
  }
  const std::string& image = command.operands[0];
  switch (command.grammar->verb) {
  case Verb::write: {
    const std::string& profilePath = command.operands[1];
    fileio::Fd profile(profilePath == STANDARD_STREAM ? -1 : open(profilePath.c_str(), O_RDONLY | O_CLOEXEC));
    if (profilePath != STANDARD_STREAM && !profile.valid()) {
      const int problem = errno;
      say(err, fileio::systemError("cannot open profile " + quoted(profilePath), problem).message);
      return code(ExitStatus::failed);
    }
    const int profileFd = profile.valid() ? profile.get() : STDIN_FILENO;
    return report(stamp::stampProfile(image, profileFd, options), command, out, err);
  }
  case Verb::remove:
    return report(stamp::removeProfile(image, options), command, out, err);
  case Verb::unsign:
    return report(stamp::removeSignature(image, options), command, out, err);
  case Verb::show:
  case Verb::extract:
    break;
  }
  return code(ExitStatus::failed);
}

int show(const Command& command, std::ostream& out, std::ostream& err) {
  const std::string& image = command.operands[0];
  const fileio::Fd fd(open(image.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) {
    const int problem = errno;
    say(err, fileio::systemError("cannot open image " + quoted(image), problem).message);
    return code(ExitStatus::failed);
  }
  // A directory or a FIFO has no end to count back from; a block device
  // holding an image does.
  struct stat st {};
  const bool examined = fstat(fd.get(), &st) == 0;
  if (!examined || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) {
    if (examined && S_ISCHR(st.st_mode)) {
      // macOS gives each disk a raw device beside its block device; only
      // the block device tells its size.
      const std::string block = fileio::blockDeviceOf(image);
      say(err, quoted(image) + " is a character device, not a regular file or a block device" +
                   (block.empty() ? "" : "; use the disk's block device " + quoted(block)));
    } else {
      say(err, quoted(image) + " is not a regular file");
    }
    return code(ExitStatus::failed);
  }
  const stamp::Inspection inspection = stamp::inspect(fd.get());
  const profile_trailer::Location& location = inspection.location;
  const code_signature::Signature& signature = inspection.signature;
  const bool present = location.status == profile_trailer::Status::ok;
  const bool hasTrailer = location.status != profile_trailer::Status::no_trailer;
  // A read that failed says nothing about what the image holds.
  if (location.readError) {
    say(err, location.readError->within("cannot read the end of " + quoted(image)).message);
    return code(ExitStatus::failed);
  }
  if (signature.layout == code_signature::Layout::unreadable) {
    say(err, signature.readError.value_or(fileio::systemError(0))
                 .within("cannot read the code signature of " + quoted(image))
                 .message);
    return code(ExitStatus::failed);
  }

  if (command.json) {
    Json json;
    json["image"] = image;
    json["size"] = location.fileSize;
    json["trailer_offset"] =
        hasTrailer ? Json(location.fileSize - profile_trailer::TRAILER_SIZE) : Json(nullptr);
    json["profile_status"] = tokenOf(location.status);
    json["profile"] =
        present ? Json{{"offset", location.profileOffset}, {"length", location.length}} : Json(nullptr);
    json["signature"] = hasTrailer && signature.present() ? Json{{"offset", signature.offset},
                                                                 {"length", signature.length},
                                                                 {"valid", signature.valid()},
                                                                 {"layout", tokenOf(signature.layout)}}
                                                          : Json(nullptr);
    json["profile_in_front_of_signature"] = hasHiddenProfile(inspection);
    printJson(json, out);
  } else {
    out << "image: " << image << "\n";
    out << "size: " << location.fileSize << " bytes\n";
    if (present) {
      out << "profile: offset " << location.profileOffset << ", length " << location.length << "\n";
    } else {
      out << "profile: none (" << profile_trailer::readerMessage(location) << ")\n";
    }
    if (!hasTrailer) {
      out << "code signature: unknown (no trailer)\n";
    } else if (!signature.present()) {
      out << "code signature: none\n";
    } else {
      out << "code signature: offset " << signature.offset << ", length " << signature.length << " ("
          << (signature.valid() ? "valid layout: " : "does not fit the image: ")
          << code_signature::explain(signature) << ")\n";
    }
    if (hasHiddenProfile(inspection)) {
      out << "profile in front of the code signature: offset " << inspection.beforeSignature->profileOffset
          << ", length " << inspection.beforeSignature->length
          << " (brackwell cannot read it there; 'brackwell-stamp unsign' makes it readable)\n";
    }
    out.flush();
  }
  if (present) {
    return code(ExitStatus::done);
  }
  say(err, "no valid profile in " + quoted(image) + ": " + profile_trailer::readerMessage(location) +
               (hasHiddenProfile(inspection) ? "; " + hiddenProfileHint(*inspection.beforeSignature) : ""));
  return code(holdsNoProfile(location.status) ? ExitStatus::no_profile : ExitStatus::failed);
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
  // Quiet, they are kept back and shown only when the run fails.
  const std::string& image = command.operands[0];
  const bool toFile = command.out && !command.toStandardOutput();
  if (toFile) {
    options.out = *command.out;
  } else {
    out.flush();
    options.outFd = STDOUT_FILENO;
  }
  std::ostringstream heldBack;
  std::ostream& log = command.quiet ? static_cast<std::ostream&>(heldBack) : err;
  const stamp::Result<stamp::Outcome> result = stamp::extractProfile(image, options, log);
  if (!result) {
    err << heldBack.str();
    const stamp::Error& error = result.error();
    if (error.message.empty()) {
      // The reader has said why it found no profile.
      const auto hidden = hiddenProfileOf(image);
      say(err, "no profile extracted" + (hidden ? "; " + hiddenProfileHint(*hidden) : std::string()));
    } else {
      say(err, error.message);
    }
    return code(statusOf(error.failure));
  }
  if (!command.quiet) {
    say(err, "extracted a profile of " + std::to_string(result->profileLength) + " bytes" +
                 (toFile ? " to " + quoted(*command.out) : std::string()));
  }
  return code(ExitStatus::done);
}

// `brackwell-stamp help [COMMAND]`.
int help(int argc, const char* const argv[], std::ostream& out, std::ostream& err) {
  if (argc == 2) {
    out << HELP << std::flush;
    return out ? code(ExitStatus::done) : code(ExitStatus::failed);
  }
  const Grammar* grammar = argc == 3 ? grammarOf(argv[2]) : nullptr;
  if (grammar == nullptr) {
    say(err, argc == 3 ? "unknown command '" + std::string(argv[2]) + "'" : "help takes one COMMAND");
    err << USAGE << std::flush;
    return code(ExitStatus::usage);
  }
  out << grammar->usage << grammar->help << std::flush;
  return out ? code(ExitStatus::done) : code(ExitStatus::failed);
}

} // namespace

namespace {

int runCommandLine(int argc, const char* const argv[], std::ostream& out, std::ostream& err) {
  switch (requested(argc, argv)) {
  case Request::help:
    out << HELP << std::flush;
    return out ? code(ExitStatus::done) : code(ExitStatus::failed);
  case Request::commandHelp: {
    const Grammar* grammar = grammarOf(argv[1]);
    out << grammar->usage << grammar->help << std::flush;
    return out ? code(ExitStatus::done) : code(ExitStatus::failed);
  }
  case Request::version:
    out << "brackwell-stamp " << BRACKWELL_VERSION << std::endl;
    return out ? code(ExitStatus::done) : code(ExitStatus::failed);
  case Request::run:
    break;
  }
  if (argc >= 2 && std::string(argv[1]) == "help") {
    return help(argc, argv, out, err);
  }
  Command command;
  if (auto parsed = parse(argc, argv, command); !parsed) {
    say(err, parsed.error().message);
    err << (command.grammar != nullptr ? command.grammar->usage : USAGE) << std::flush;
    return code(ExitStatus::usage);
  }
  stamp::Options options;
  const auto limit = copyLimit();
  if (!limit) {
    say(err, "BRACKWELL_STAMP_COPY must be auto, no-clone or stream");
    return code(ExitStatus::failed);
  }
  options.copy = *limit;
  switch (command.grammar->verb) {
  case Verb::show:
    return show(command, out, err);
  case Verb::extract:
    return extract(command, options, out, err);
  case Verb::write:
  case Verb::remove:
  case Verb::unsign:
    return change(command, options, out, err);
  }
  return code(ExitStatus::failed);
}

} // namespace

int runStamp(int argc, const char* const argv[], std::ostream& out, std::ostream& err) {
  // Nothing a run allocates is large (the profile streams through a fixed
  // buffer), but a memory limit can still refuse the little it needs: that
  // ends the run with a message and the temporary file removed on the way
  // out, never with an abort.
  try {
    return runCommandLine(argc, argv, out, err);
  } catch (const std::exception& failure) {
    say(err, failure.what());
    return code(ExitStatus::failed);
  }
}
