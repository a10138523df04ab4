// brackwell-fixture: the disk images and listings the tests build, for the
// scripts (scripts/demo.sh, the benchmarks, tests/download_server), so that
// no script spells out a trailer byte by byte or a listing line by line. A
// test and development tool: never installed.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

#include "support/listings.h"
#include "support/test_support.h"

namespace {

const char USAGE[] =
    "usage: brackwell-fixture image [--data N] [--fill zero|random|hole]\n"
    "                               [--profile FILE | --random-profile N] [--signature N] OUT\n"
    "       brackwell-fixture listings [--others N] IMAGE MOUNT DIR\n"
    "       brackwell-fixture --help\n";

const char HELP[] = "\n"
                    "Writes the test fixtures the scripts need, made by the builders the tests use.\n"
                    "\n"
                    "  image     writes a disk image to OUT ('-': standard output): the data, then the\n"
                    "            profile and its descriptor when one is given, then a code signature\n"
                    "            when asked for, then a 512-byte UDIF trailer (\"koly\", version 4,\n"
                    "            header size 512, the signature's offset and length)\n"
                    "    --data N            N bytes of image data in front (default 0)\n"
                    "    --fill zero         the data is zero bytes, written out (the default)\n"
                    "    --fill random       pseudo-random bytes, written out: the same sequence every\n"
                    "                        time, so images of different lengths agree as far as the\n"
                    "                        shorter one goes\n"
                    "    --fill hole         a hole (OUT must be a file): the data takes no room on disk\n"
                    "    --profile FILE      stamp the bytes of FILE ('-': standard input)\n"
                    "    --random-profile N  stamp N pseudo-random bytes\n"
                    "    --signature N       a code-signature superblob of N bytes (at least 12)\n"
                    "  listings  writes DIR/info.txt and DIR/info.plist, what \"hdiutil info\" and\n"
                    "            \"hdiutil info -plist\" print with IMAGE attached and mounted at MOUNT\n"
                    "            (the stand-in utility reads them)\n"
                    "    --others N          N realistic images attached in front of it (default 0)\n"
                    "\n"
                    "Exit status: 0 done, 1 failed, 2 usage error.\n";

constexpr int USAGE_ERROR = 2;

class UsageError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// A whole decimal number, nothing else.
std::uint64_t number(const std::string& option, const std::string& text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 19) {
    throw UsageError(option + " takes a whole number, not '" + text + "'");
  }
  return std::stoull(text);
}

// Every option takes a value: what each one does with it.
using Options = std::map<std::string, std::function<void(const std::string& value)>>;

// The operands among `args`, after every option in it has been handed its
// value.
std::vector<std::string> operandsOf(const std::vector<std::string>& args, const Options& options) {
  std::vector<std::string> operands;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() < 2 || arg[0] != '-') {
      operands.push_back(arg);
      continue;
    }
    const auto option = options.find(arg);
    if (option == options.end()) {
      throw UsageError("unknown option '" + arg + "'");
    }
    if (++i == args.size()) {
      throw UsageError(arg + " needs a value");
    }
    option->second(args[i]);
  }
  return operands;
}

testsupport::Bytes readAll(const std::string& path) {
  if (path != "-") {
    return testsupport::readFile(path);
  }
  testsupport::Bytes bytes;
  std::uint8_t buffer[65536];
  for (;;) {
    const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
    if (got == 0) {
      return bytes;
    }
    if (got < 0) {
      throw std::runtime_error(std::string("cannot read standard input: ") + std::strerror(errno));
    }
    bytes.insert(bytes.end(), buffer, buffer + got);
  }
}

// The number `text` as an option's value, at most `max`.
std::uint64_t atMost(std::uint64_t max, const std::string& option, const std::string& text) {
  const std::uint64_t value = number(option, text);
  if (value > max) {
    throw UsageError(option + " takes at most " + std::to_string(max) + ", not " + text);
  }
  return value;
}

void image(const std::vector<std::string>& args) {
  testsupport::ImageLayout layout;
  const auto oneProfile = [&] {
    if (layout.profile || layout.randomProfile) {
      throw UsageError("one profile at the most");
    }
  };
  const std::vector<std::string> operands = operandsOf(
      args,
      {
          {"--data", [&](const std::string& value) { layout.dataBytes = number("--data", value); }},
          {"--fill",
           [&](const std::string& value) {
             const std::map<std::string, testsupport::Fill> fills = {{"zero", testsupport::Fill::zero},
                                                                     {"random", testsupport::Fill::random},
                                                                     {"hole", testsupport::Fill::hole}};
             const auto fill = fills.find(value);
             if (fill == fills.end()) {
               throw UsageError("--fill takes zero, random or hole, not '" + value + "'");
             }
             layout.fill = fill->second;
           }},
          {"--profile",
           [&](const std::string& value) {
             oneProfile();
             layout.profile = readAll(value);
           }},
          {"--random-profile",
           [&](const std::string& value) {
             oneProfile();
             layout.randomProfile = static_cast<std::uint32_t>(atMost(UINT32_MAX, "--random-profile", value));
           }},
          {"--signature",
           [&](const std::string& value) {
             layout.signatureBytes = static_cast<std::size_t>(atMost(UINT32_MAX, "--signature", value));
             if (layout.signatureBytes < 12) {
               throw UsageError("--signature takes at least 12, the superblob's header, not " + value);
             }
           }},
      });
  if (operands.size() != 1) {
    throw UsageError("image takes one output, OUT");
  }
  if (operands[0] == "-") {
    testsupport::writeImage(STDOUT_FILENO, layout);
  } else {
    testsupport::writeImage(operands[0], layout);
  }
}

void listings(const std::vector<std::string>& args) {
  int others = 0;
  const std::vector<std::string> operands =
      operandsOf(args, {{"--others", [&](const std::string& value) {
                           others = static_cast<int>(atMost(100000, "--others", value));
                         }}});
  if (operands.size() != 3) {
    throw UsageError("listings takes IMAGE, MOUNT and DIR");
  }
  std::vector<testsupport::Attached> images = testsupport::realisticImages(others);
  images.push_back({operands[0], operands[0], {operands[1]}});
  testsupport::writeFile(operands[2] + "/info.txt", testsupport::textListing(images));
  testsupport::writeFile(operands[2] + "/info.plist", testsupport::plistListing(images));
}

} // namespace

int main(int argc, char* argv[]) {
  const std::vector<std::string> all(argv + 1, argv + argc);
  if (!all.empty() && (all[0] == "--help" || all[0] == "-h")) {
    std::cout << USAGE << HELP;
    return std::cout.flush() ? 0 : 1;
  }
  try {
    if (all.empty()) {
      throw UsageError("no command");
    }
    const std::vector<std::string> args(all.begin() + 1, all.end());
    for (const std::string& arg : args) {
      if (arg == "--help" || arg == "-h") {
        std::cout << USAGE << HELP;
        return std::cout.flush() ? 0 : 1;
      }
    }
    if (all[0] == "image") {
      image(args);
    } else if (all[0] == "listings") {
      listings(args);
    } else {
      throw UsageError("unknown command '" + all[0] + "'");
    }
  } catch (const UsageError& error) {
    std::cerr << "brackwell-fixture: " << error.what() << "\n" << USAGE;
    return USAGE_ERROR;
  } catch (const std::exception& error) {
    std::cerr << "brackwell-fixture: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
