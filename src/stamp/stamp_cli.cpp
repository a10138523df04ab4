#include "app/stamp_cli.h"

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

#include "app/output_file.h"
#include "profile/profile_stamp.h"
#include "profile/profile_trailer.h"

namespace {

const char* const PROGRAM = "brackwell-stamp: ";

const char* const USAGE = "usage: brackwell-stamp write IMAGE PROFILE [--out OUT] [--replace] [--force]\n"
                          "       brackwell-stamp show IMAGE\n"
                          "       brackwell-stamp extract IMAGE [--out FILE]\n"
                          "       brackwell-stamp remove IMAGE [--out OUT]\n"
                          "PROFILE '-' reads the profile from standard input.\n";

struct Command {
  std::string verb;
  std::vector<std::string> operands;
  std::optional<std::string> out;
  bool replace = false;
  bool force = false;
};

struct Grammar {
  const char* verb;
  std::size_t operands;
  bool out;
  bool replace;
  bool force;
};

constexpr Grammar GRAMMAR[] = {
    {"write", 2, true, true, true},
    {"show", 1, false, false, false},
    {"extract", 1, true, false, false},
    {"remove", 1, true, false, false},
};

// Parses argv into `command`; on a usage error returns what is wrong.
std::optional<std::string> parse(int argc, const char* const argv[], Command& command) {
  if (argc < 2) {
    return "no command given";
  }
  command.verb = argv[1];
  const Grammar* grammar = nullptr;
  for (const Grammar& candidate : GRAMMAR) {
    if (command.verb == candidate.verb) {
      grammar = &candidate;
    }
  }
  if (grammar == nullptr) {
    return "unknown command '" + command.verb + "'";
  }
  bool optionsEnded = false;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (optionsEnded || arg == "-" || arg.empty() || arg[0] != '-') {
      command.operands.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (grammar->out && (arg == "--out" || arg.compare(0, 6, "--out=") == 0)) {
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
    } else if (grammar->replace && arg == "--replace") {
      command.replace = true;
    } else if (grammar->force && arg == "--force") {
      command.force = true;
    } else {
      return "unknown option '" + arg + "' for " + command.verb;
    }
  }
  if (command.operands.size() != grammar->operands) {
    return command.verb + " takes " + (grammar->operands == 2 ? "IMAGE and PROFILE" : "one IMAGE") +
           ", got " + std::to_string(command.operands.size()) + " operand" +
           (command.operands.size() == 1 ? "" : "s");
  }
  return std::nullopt;
}

bool verbose() {
  const char* value = std::getenv("BRACKWELL_STAMP_VERBOSE");
  return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

std::optional<profile_stamp::CopyLimit> copyLimit() {
  const char* value = std::getenv("BRACKWELL_STAMP_COPY");
  if (value == nullptr || *value == '\0' || std::strcmp(value, "auto") == 0) {
    return profile_stamp::CopyLimit::cheapest;
  }
  if (std::strcmp(value, "no-clone") == 0) {
    return profile_stamp::CopyLimit::no_clone;
  }
  if (std::strcmp(value, "stream") == 0) {
    return profile_stamp::CopyLimit::stream;
  }
  return std::nullopt;
}

std::string quoted(const std::string& path) {
  return "'" + path + "'";
}

int report(const profile_stamp::Outcome& outcome, const Command& command, std::ostream& err) {
  if (!outcome.ok()) {
    err << PROGRAM << outcome.message << std::endl;
    return STAMP_EXIT_FAILED;
  }
  if (verbose()) {
    err << PROGRAM << "copy method: " << profile_stamp::describe(outcome.copy) << " (" << outcome.copiedBytes
        << " bytes in front of the insertion point)" << std::endl;
  }
  const std::string target = quoted(command.out ? *command.out : command.operands[0]);
  if (command.verb == "remove") {
    err << PROGRAM << "removed the profile of " << outcome.profileLength << " bytes; wrote " << target
        << std::endl;
  } else if (outcome.replaced) {
    err << PROGRAM << "replaced the profile of " << outcome.replacedLength << " bytes with "
        << outcome.profileLength << " bytes at offset " << outcome.profileOffset << "; wrote " << target
        << std::endl;
  } else {
    err << PROGRAM << "stamped a profile of " << outcome.profileLength << " bytes at offset "
        << outcome.profileOffset << "; wrote " << target << std::endl;
  }
  return STAMP_EXIT_OK;
}

int write(const Command& command, profile_stamp::Options options, std::ostream& err) {
  options.replace = command.replace;
  options.force = command.force;
  const std::string& profilePath = command.operands[1];
  int profileFd = STDIN_FILENO;
  if (profilePath != "-") {
    profileFd = open(profilePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (profileFd < 0) {
      err << PROGRAM << "cannot open profile " << quoted(profilePath) << ": " << std::strerror(errno)
          << std::endl;
      return STAMP_EXIT_FAILED;
    }
  }
  const profile_stamp::Outcome outcome = profile_stamp::stampProfile(command.operands[0], profileFd, options);
  if (profileFd != STDIN_FILENO) {
    close(profileFd);
  }
  return report(outcome, command, err);
}

int show(const Command& command, std::ostream& out, std::ostream& err) {
  const std::string& image = command.operands[0];
  const int fd = open(image.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    err << PROGRAM << "cannot open image " << quoted(image) << ": " << std::strerror(errno) << std::endl;
    return STAMP_EXIT_FAILED;
  }
  // A directory or a FIFO has no end to count back from; a block device
  // holding an image does.
  struct stat st {};
  if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) {
    close(fd);
    err << PROGRAM << quoted(image) << " is not a regular file" << std::endl;
    return STAMP_EXIT_FAILED;
  }
  const profile_stamp::Inspection inspection = profile_stamp::inspect(fd);
  close(fd);
  const profile_trailer::Location& location = inspection.location;
  const bool present = location.status == profile_trailer::Status::ok;

  out << "image: " << image << "\n";
  out << "size: " << location.fileSize << " bytes\n";
  if (present) {
    out << "profile: offset " << location.profileOffset << ", length " << location.length << "\n";
  } else {
    out << "profile: none (" << profile_trailer::describe(location) << ")\n";
  }
  if (location.status == profile_trailer::Status::no_trailer) {
    out << "code signature: unknown (no trailer)\n";
  } else if (inspection.signature.present()) {
    out << "code signature: offset " << inspection.signature.offset << ", length "
        << inspection.signature.length << "\n";
  } else {
    out << "code signature: none\n";
  }
  out.flush();
  if (!present) {
    err << PROGRAM << "no valid profile in " << quoted(image) << ": " << profile_trailer::describe(location)
        << std::endl;
    return STAMP_EXIT_FAILED;
  }
  return STAMP_EXIT_OK;
}

int extract(const Command& command, std::ostream& out, std::ostream& err) {
  // The same reader brackwell runs, so what extract gives is what brackwell
  // would give; its progress lines go to `err`, leaving `out` to the data.
  const ProfileReadResult profile = readProfileFrom(command.operands[0], err);
  if (!profile.first) {
    err << PROGRAM << "no profile extracted" << std::endl;
    return STAMP_EXIT_FAILED;
  }
  const std::vector<std::uint8_t>& bytes = profile.second;
  if (command.out) {
    if (writeOutputFile(*command.out, bytes) != WriteResult::written) {
      err << PROGRAM << "cannot write " << quoted(*command.out) << std::endl;
      return STAMP_EXIT_FAILED;
    }
  } else {
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) {
      err << PROGRAM << "cannot write the profile to standard output" << std::endl;
      return STAMP_EXIT_FAILED;
    }
  }
  err << PROGRAM << "extracted a profile of " << bytes.size() << " bytes"
      << (command.out ? " to " + quoted(*command.out) : std::string()) << std::endl;
  return STAMP_EXIT_OK;
}

} // namespace

int runStamp(int argc, const char* const argv[], std::ostream& out, std::ostream& err) {
  Command command;
  if (const auto problem = parse(argc, argv, command)) {
    err << PROGRAM << *problem << "\n" << USAGE << std::flush;
    return STAMP_EXIT_USAGE;
  }
  if (command.verb == "show") {
    return show(command, out, err);
  }
  if (command.verb == "extract") {
    return extract(command, out, err);
  }

  profile_stamp::Options options;
  const auto limit = copyLimit();
  if (!limit) {
    err << PROGRAM << "BRACKWELL_STAMP_COPY must be auto, no-clone or stream" << std::endl;
    return STAMP_EXIT_FAILED;
  }
  options.copy = *limit;
  options.out = command.out.value_or("");
  if (command.verb == "write") {
    return write(command, options, err);
  }
  return report(profile_stamp::removeProfile(command.operands[0], options), command, err);
}
