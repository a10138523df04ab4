// End-to-end runs of brackwell-stamp (BRACKWELL_STAMP_BIN): exit status,
// standard output and standard error byte for byte, and every file in the
// directory afterwards. Then the ways a run can fail part-way: no permission
// to create the new file, a file-size limit, a signal, each of which must
// leave the image intact and no temporary file behind; a stream whose device
// is full or whose reader goes away; a run killed outright, whose leftover
// the next run removes; two runs on one image at once.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <pwd.h>
#include <regex>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>

#include "fileio/fd.h"
#include "profile/profile_trailer.h"
#include "support/run_tool.h"
#include "support/test_support.h"

using testsupport::BackgroundRun;
using testsupport::Bytes;
using testsupport::cat;
using testsupport::ChildSetup;
using testsupport::PROFILE;
using testsupport::readFile;
using testsupport::RunResult;
using testsupport::runStampTool;
using testsupport::signatureBlob;
using testsupport::signedImage;
using testsupport::stamped;
using testsupport::stampIn;
using testsupport::StandardOutput;
using testsupport::TempDir;
using testsupport::toBytes;
using testsupport::writeFile;

namespace {

const Bytes NEW_PROFILE = toBytes("customer=Globex\n"); // 16 bytes; PROFILE has 33
const Bytes DATA(4096, 0x5a);

Bytes tail() {
  return testsupport::udifTrailer();
}

const Bytes PLAIN = cat({DATA, tail()});
const Bytes STAMPED = stamped(DATA, PROFILE, tail());
const Bytes BLOB = signatureBlob(64);
const Bytes SIGNED = signedImage(PLAIN, BLOB);           // signature at 4096
const Bytes STAMPED_SIGNED = signedImage(STAMPED, BLOB); // signed after stamping: signature at 4145
const Bytes BAD_SIGNATURE = cat({DATA, testsupport::withSignatureFields(tail(), 0, 64)});
const Bytes NOKOLY(2048, 0);

// The directory every case starts from.
const std::map<std::string, Bytes> FIXTURES = {
    {"plain.dmg", PLAIN},
    {"stamped.dmg", STAMPED},
    {"signed.dmg", SIGNED},
    {"stamped-signed.dmg", STAMPED_SIGNED},
    {"bad-signature.dmg", BAD_SIGNATURE},
    {"nokoly.dmg", NOKOLY},
    {"profile.bin", PROFILE},
    {"new.bin", NEW_PROFILE},
    {"stdin.bin", NEW_PROFILE},
};

std::string text(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

const std::string USAGE = "usage: brackwell-stamp write IMAGE PROFILE [options]\n"
                          "       brackwell-stamp show IMAGE [--json]\n"
                          "       brackwell-stamp extract IMAGE [-o FILE]\n"
                          "       brackwell-stamp remove IMAGE [options]\n"
                          "       brackwell-stamp unsign IMAGE [options]\n"
                          "       brackwell-stamp help [COMMAND] | --help | --version\n"
                          "PROFILE '-' is standard input; OUT and FILE '-' are standard output.\n";

const std::string HELP = USAGE +
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
                         "Options of write, remove and unsign:\n"
                         "  -o, --out OUT   write the new image to OUT ('-': standard output) instead\n"
                         "                  of replacing IMAGE\n"
                         "  --replace       (write) swap a profile already there for the new one\n"
                         "  --unsign        (write, remove) take a code signature off as well\n"
                         "  --wait S        in place, wait at most S seconds (default 60) for another\n"
                         "                  process that holds the image's lock\n"
                         "  --dry-run       check everything, write and create nothing\n"
                         "  --json          with --dry-run: print the new image's size and validator\n"
                         "                  (an HTTP ETag) as one JSON object\n"
                         "  --range SPEC    with --out -: write only the bytes FIRST-LAST, FIRST- or\n"
                         "                  -SUFFIX of the new image\n"
                         "  --if-etag ETAG  write nothing unless the new image's validator is ETAG\n"
                         "Every command takes -q, --quiet (print nothing on success) and -h, --help.\n"
                         "'brackwell-stamp help COMMAND' describes one command.\n"
                         "\n"
                         "Exit status: 0 done, 1 failed or refused, 2 usage error, 3 no profile,\n"
                         "4 range not satisfiable, 5 validator mismatch. See brackwell-stamp(1).\n";

// Each command's usage, which its usage errors show.
const std::string WRITE_USAGE =
    "usage: brackwell-stamp write IMAGE PROFILE [-o OUT] [--replace] [--unsign] [--wait S]\n"
    "                             [--dry-run [--json]] [--range SPEC] [--if-etag ETAG] [-q]\n";
const std::string SHOW_USAGE = "usage: brackwell-stamp show IMAGE [--json] [-q]\n";
const std::string EXTRACT_USAGE = "usage: brackwell-stamp extract IMAGE [-o FILE] [-q]\n";
const std::string REMOVE_USAGE =
    "usage: brackwell-stamp remove IMAGE [-o OUT] [--unsign] [--wait S]\n"
    "                              [--dry-run [--json]] [--range SPEC] [--if-etag ETAG] [-q]\n";

const std::string UNSIGN_USAGE =
    "usage: brackwell-stamp unsign IMAGE [-o OUT] [--wait S]\n"
    "                              [--dry-run [--json]] [--range SPEC] [--if-etag ETAG] [-q]\n";

// `write --help`, `help write`.
const std::string WRITE_HELP = WRITE_USAGE +
                               "\n"
                               "Stamps PROFILE ('-': standard input) into IMAGE, in front of its trailer.\n"
                               "\n"
                               "  -o, --out OUT   write the new image to OUT ('-': standard output) instead\n"
                               "                  of replacing IMAGE\n"
                               "  --replace       swap a profile already there for the new one\n"
                               "  --unsign        take a code signature off as well (a signed image is\n"
                               "                  refused otherwise: changing it would break the signature)\n"
                               "  --wait S        in place, wait at most S seconds (default 60) for another\n"
                               "                  process that holds the image's lock\n"
                               "  --dry-run       check everything, write and create nothing\n"
                               "  --json          with --dry-run: print the new image's size and validator\n"
                               "                  (an HTTP ETag) as one JSON object\n"
                               "  --range SPEC    with --out -: write only the bytes FIRST-LAST, FIRST- or\n"
                               "                  -SUFFIX of the new image\n"
                               "  --if-etag ETAG  write nothing unless the new image's validator is ETAG\n"
                               "  -q, --quiet     print nothing on success\n"
                               "\n"
                               "Exit status: 0 done, 1 failed or refused, 2 usage error, 3 no profile,\n"
                               "4 range not satisfiable, 5 validator mismatch. See brackwell-stamp(1).\n";

// `help show`.
const std::string SHOW_HELP = SHOW_USAGE +
                              "\n"
                              "Reports IMAGE's size, profile and code signature on standard output.\n"
                              "\n"
                              "  --json          as one JSON object\n"
                              "  -q, --quiet     print nothing on success\n"
                              "\n"
                              "Exit status: 0 done, 1 failed or refused, 2 usage error, 3 no profile,\n"
                              "4 range not satisfiable, 5 validator mismatch. See brackwell-stamp(1).\n";

// A usage error with no command to name: the whole usage follows.
std::string usageError(const std::string& what) {
  return "brackwell-stamp: " + what + "\n" + USAGE;
}

// A usage error of one command: its usage follows.
std::string usageError(const std::string& what, const std::string& usage) {
  return "brackwell-stamp: " + what + "\n" + usage;
}

struct CliCase {
  std::string name;
  std::vector<std::string> args; // {DIR}: the case's directory
  std::vector<std::pair<std::string, std::string>> env;
  int exitCode;
  std::string out; // standard output, exactly ({DIR} expanded)
  std::string err; // standard error, exactly
  std::map<std::string, Bytes>
      changed; // files created or changed, with their contents; all others stay as they were
};

void PrintTo(const CliCase& row, std::ostream* os) {
  *os << row.name;
}

std::vector<CliCase> cliCases() {
  const std::string stampedShow = "image: {DIR}/stamped.dmg\nsize: " + std::to_string(STAMPED.size()) +
                                  " bytes\nprofile: offset 4096, length 33\ncode signature: none\n";
  const std::string notA = "Embedded data not of type 'A'";
  const std::string signedShow =
      "image: {DIR}/signed.dmg\nsize: 4672 bytes\nprofile: none (" + notA +
      ")\ncode signature: offset 4096, length 64 (valid layout: one signature blob that "
      "ends where the trailer begins)\n";
  const std::string hidden =
      "a profile of 33 bytes lies in front of the code signature, where brackwell cannot "
      "read it; 'brackwell-stamp unsign' makes it readable";
  return {
      // Usage errors: status 2, the usage on standard error, nothing touched.
      {"NoCommand", {}, {}, 2, "", usageError("no command given"), {}},
      {"UnknownCommand", {"stamp", "{DIR}/plain.dmg"}, {}, 2, "", usageError("unknown command 'stamp'"), {}},
      {"WriteWithoutProfile",
       {"write", "{DIR}/plain.dmg"},
       {},
       2,
       "",
       usageError("write takes IMAGE and PROFILE, got 1 operand", WRITE_USAGE),
       {}},
      {"ExtraOperand",
       {"remove", "{DIR}/stamped.dmg", "{DIR}/plain.dmg"},
       {},
       2,
       "",
       usageError("remove takes one IMAGE, got 2 operands", REMOVE_USAGE),
       {}},
      {"OptionOfAnotherCommand",
       {"show", "{DIR}/stamped.dmg", "--force"},
       {},
       2,
       "",
       usageError("unknown option '--force' for show", SHOW_USAGE),
       {}},
      {"OutWithoutPath",
       {"extract", "{DIR}/stamped.dmg", "--out"},
       {},
       2,
       "",
       usageError("--out needs a path", EXTRACT_USAGE),
       {}},
      {"OutTwice",
       {"remove", "{DIR}/stamped.dmg", "--out", "{DIR}/a", "--out={DIR}/b"},
       {},
       2,
       "",
       usageError("--out given twice", REMOVE_USAGE),
       {}},

      {"JsonWithoutDryRun",
       {"write", "{DIR}/plain.dmg", "{DIR}/profile.bin", "--json"},
       {},
       2,
       "",
       usageError("--json goes with --dry-run for write", WRITE_USAGE),
       {}},
      {"DryRunOfShow",
       {"show", "{DIR}/stamped.dmg", "--dry-run"},
       {},
       2,
       "",
       usageError("unknown option '--dry-run' for show", SHOW_USAGE),
       {}},
      {"RangeWithoutStandardOutput",
       {"remove", "{DIR}/stamped.dmg", "--range", "0-9"},
       {},
       2,
       "",
       usageError("--range needs --out -", REMOVE_USAGE),
       {}},
      {"RangeBackwards",
       {"remove", "{DIR}/stamped.dmg", "-o", "-", "--range", "9-3"},
       {},
       2,
       "",
       usageError("--range takes FIRST-LAST (LAST not below FIRST), FIRST- or -SUFFIX in bytes, not '9-3'",
                  REMOVE_USAGE),
       {}},
      {"RangeInHttpsHeaderForm",
       {"remove", "{DIR}/stamped.dmg", "-o", "-", "--range=bytes=0-9"},
       {},
       2,
       "",
       usageError(
           "--range takes FIRST-LAST (LAST not below FIRST), FIRST- or -SUFFIX in bytes, not 'bytes=0-9'",
           REMOVE_USAGE),
       {}},
      {"WaitNotANumber",
       {"write", "{DIR}/plain.dmg", "{DIR}/profile.bin", "--wait", "soon"},
       {},
       2,
       "",
       usageError("--wait takes a whole number of seconds from 0 to 31622400, not 'soon'", WRITE_USAGE),
       {}},
      {"EmptyValidator",
       {"unsign", "{DIR}/signed.dmg", "--if-etag="},
       {},
       2,
       "",
       usageError("--if-etag needs a validator", UNSIGN_USAGE),
       {}},

      // write
      {"WriteInPlace",
       {"write", "{DIR}/plain.dmg", "{DIR}/profile.bin"},
       {},
       0,
       "",
       "brackwell-stamp: stamped a profile of 33 bytes at offset 4096; wrote '{DIR}/plain.dmg'\n",
       {{"plain.dmg", STAMPED}}},
      {"WriteToOutLeavesTheImage",
       {"write", "{DIR}/plain.dmg", "{DIR}/profile.bin", "--out", "{DIR}/out.dmg"},
       {},
       0,
       "",
       "brackwell-stamp: stamped a profile of 33 bytes at offset 4096; wrote '{DIR}/out.dmg'\n",
       {{"out.dmg", STAMPED}}},
      {"WriteFromStandardInput",
       {"write", "--out={DIR}/out.dmg", "{DIR}/plain.dmg", "-"},
       {},
       0,
       "",
       "brackwell-stamp: stamped a profile of 16 bytes at offset 4096; wrote '{DIR}/out.dmg'\n",
       {{"out.dmg", stamped(DATA, NEW_PROFILE, tail())}}},
      {"WriteRefusesAnExistingProfile",
       {"write", "{DIR}/stamped.dmg", "{DIR}/new.bin"},
       {},
       1,
       "",
       "brackwell-stamp: '{DIR}/stamped.dmg' already carries a profile (33 bytes at offset 4096); pass "
       "--replace "
       "to swap it for the new one\n",
       {}},
      {"WriteReplace",
       {"write", "{DIR}/stamped.dmg", "{DIR}/new.bin", "--replace"},
       {},
       0,
       "",
       "brackwell-stamp: replaced the profile of 33 bytes with 16 bytes at offset 4096; wrote "
       "'{DIR}/stamped.dmg'\n",
       {{"stamped.dmg", stamped(DATA, NEW_PROFILE, tail())}}},
      {"ForceIsNoLongerAccepted",
       {"write", "{DIR}/signed.dmg", "{DIR}/profile.bin", "--force"},
       {},
       2,
       "",
       usageError(
           "--force is no longer accepted: it wrote signed images whose signature no longer fits; pass "
           "--unsign to take the signature off instead",
           WRITE_USAGE),
       {}},
      {"WriteRefusesASignedImage",
       {"write", "{DIR}/signed.dmg", "{DIR}/profile.bin"},
       {},
       1,
       "",
       "brackwell-stamp: '{DIR}/signed.dmg' is code-signed (a signature of 64 bytes at offset 4096). "
       "Stamping it "
       "would break the signature, and macOS reports a disk image whose signature does not verify as "
       "damaged. "
       "Pass --unsign to remove the signature as well\n",
       {}},
      {"WriteUnsignsFirst",
       {"write", "{DIR}/signed.dmg", "{DIR}/profile.bin", "--unsign"},
       {},
       0,
       "",
       "brackwell-stamp: removed the code signature (64 bytes) and stamped a profile of 33 bytes at offset "
       "4096; "
       "wrote '{DIR}/signed.dmg'\n",
       {{"signed.dmg", STAMPED}}},
      {"WriteUnsignReplacesAProfileStampedBeforeSigning",
       {"write", "{DIR}/stamped-signed.dmg", "{DIR}/new.bin", "--unsign", "--replace", "--out",
        "{DIR}/out.dmg"},
       {},
       0,
       "",
       "brackwell-stamp: removed the code signature (64 bytes) and replaced the profile of 33 bytes with 16 "
       "bytes "
       "at offset 4096; wrote '{DIR}/out.dmg'\n",
       {{"out.dmg", stamped(DATA, NEW_PROFILE, tail())}}},
      {"WriteRefusesSignatureFieldsThatDoNotFit",
       {"write", "{DIR}/bad-signature.dmg", "{DIR}/profile.bin", "--unsign"},
       {},
       1,
       "",
       "brackwell-stamp: '{DIR}/bad-signature.dmg' records a code signature of 64 bytes at offset 0, but the "
       "offset is 0 while the length is not: nothing tells which bytes are the signature, so the image is "
       "left "
       "as it is\n",
       {}},
      {"WriteRefusesAnImageWithoutTrailer",
       {"write", "{DIR}/nokoly.dmg", "{DIR}/profile.bin", "--out", "{DIR}/out.dmg"},
       {},
       1,
       "",
       "brackwell-stamp: '{DIR}/nokoly.dmg' does not end in a 512-byte UDIF trailer ('koly' block not "
       "found)\n",
       {}},
      {"WriteWithMissingProfile",
       {"write", "{DIR}/plain.dmg", "{DIR}/missing.bin"},
       {},
       1,
       "",
       "brackwell-stamp: cannot open profile '{DIR}/missing.bin': No such file or directory\n",
       {}},
      {"WriteNamesTheCopyMethodWhenVerbose",
       {"write", "{DIR}/plain.dmg", "{DIR}/profile.bin"},
       {{"BRACKWELL_STAMP_VERBOSE", "1"}, {"BRACKWELL_STAMP_COPY", "stream"}},
       0,
       "",
       "brackwell-stamp: copy method: streamed (4096 bytes in front of the insertion point)\n"
       "brackwell-stamp: stamped a profile of 33 bytes at offset 4096; wrote '{DIR}/plain.dmg'\n",
       {{"plain.dmg", STAMPED}}},
      {"UnknownCopyMethod",
       {"write", "{DIR}/plain.dmg", "{DIR}/profile.bin"},
       {{"BRACKWELL_STAMP_COPY", "fast"}},
       1,
       "",
       "brackwell-stamp: BRACKWELL_STAMP_COPY must be auto, no-clone or stream\n",
       {}},

      {"WriteToShortOut",
       {"write", "{DIR}/plain.dmg", "{DIR}/profile.bin", "-o", "{DIR}/out.dmg"},
       {},
       0,
       "",
       "brackwell-stamp: stamped a profile of 33 bytes at offset 4096; wrote '{DIR}/out.dmg'\n",
       {{"out.dmg", STAMPED}}},
      {"WriteQuietly",
       {"write", "{DIR}/plain.dmg", "{DIR}/profile.bin", "-q"},
       {},
       0,
       "",
       "",
       {{"plain.dmg", STAMPED}}},
      // A dry run refuses what the real run would refuse, and writes nothing.
      {"DryRunRefusesASignedImage",
       {"write", "{DIR}/signed.dmg", "{DIR}/profile.bin", "--dry-run", "--json"},
       {},
       1,
       "",
       "brackwell-stamp: '{DIR}/signed.dmg' is code-signed (a signature of 64 bytes at offset 4096). "
       "Stamping it "
       "would break the signature, and macOS reports a disk image whose signature does not verify as "
       "damaged. "
       "Pass --unsign to remove the signature as well\n",
       {}},
      {"DryRunChecksTheOutput",
       {"write", "{DIR}/plain.dmg", "{DIR}/profile.bin", "--dry-run", "-o", "{DIR}/plain.dmg"},
       {},
       1,
       "",
       "brackwell-stamp: the output '{DIR}/plain.dmg' is the image itself\n",
       {}},
      {"DryRunOfRemoveWithoutProfile",
       {"remove", "{DIR}/plain.dmg", "--dry-run"},
       {},
       3,
       "",
       "brackwell-stamp: '{DIR}/plain.dmg' carries no profile to remove: " + notA + "\n",
       {}},

      // show
      {"ShowStamped", {"show", "{DIR}/stamped.dmg"}, {}, 0, stampedShow, "", {}},
      {"ShowStampedAsJson",
       {"show", "{DIR}/stamped.dmg", "--json"},
       {},
       0,
       "{\"image\":\"{DIR}/stamped.dmg\",\"size\":4657,\"trailer_offset\":4145,\"profile_status\":\"ok\","
       "\"profile\":{\"offset\":4096,\"length\":33},\"signature\":null,\"profile_in_front_of_signature\":"
       "false}\n",
       "",
       {}},
      {"ShowStampedThenSignedAsJson",
       {"show", "{DIR}/stamped-signed.dmg", "--json"},
       {},
       3,
       "{\"image\":\"{DIR}/stamped-signed.dmg\",\"size\":4721,\"trailer_offset\":4209,"
       "\"profile_status\":\"wrong_type\",\"profile\":null,\"signature\":{\"offset\":4145,\"length\":64,"
       "\"valid\":true,\"layout\":\"valid\"},\"profile_in_front_of_signature\":true}\n",
       "brackwell-stamp: no valid profile in '{DIR}/stamped-signed.dmg': " + notA + "; " + hidden + "\n",
       {}},
      {"ShowSignatureFieldsThatDoNotFitAsJson",
       {"show", "{DIR}/bad-signature.dmg", "--json"},
       {},
       3,
       "{\"image\":\"{DIR}/bad-signature.dmg\",\"size\":4608,\"trailer_offset\":4096,"
       "\"profile_status\":\"wrong_type\",\"profile\":null,\"signature\":{\"offset\":0,\"length\":64,"
       "\"valid\":false,\"layout\":\"length_without_offset\"},\"profile_in_front_of_signature\":false}\n",
       "brackwell-stamp: no valid profile in '{DIR}/bad-signature.dmg': " + notA + "\n",
       {}},
      {"ShowWithoutTrailerAsJson",
       {"show", "{DIR}/nokoly.dmg", "--json"},
       {},
       1,
       "{\"image\":\"{DIR}/nokoly.dmg\",\"size\":2048,\"trailer_offset\":null,\"profile_status\":"
       "\"no_trailer\",\"profile\":null,\"signature\":null,\"profile_in_front_of_signature\":false}\n",
       "brackwell-stamp: no valid profile in '{DIR}/nokoly.dmg': 'koly' block not found\n",
       {}},
      {"ShowWithoutProfile",
       {"show", "{DIR}/plain.dmg"},
       {},
       3,
       "image: {DIR}/plain.dmg\nsize: 4608 bytes\nprofile: none (" + notA + ")\ncode signature: none\n",
       "brackwell-stamp: no valid profile in '{DIR}/plain.dmg': " + notA + "\n",
       {}},
      {"ShowSigned",
       {"show", "{DIR}/signed.dmg"},
       {},
       3,
       signedShow,
       "brackwell-stamp: no valid profile in '{DIR}/signed.dmg': " + notA + "\n",
       {}},
      {"ShowStampedThenSigned",
       {"show", "{DIR}/stamped-signed.dmg"},
       {},
       3,
       "image: {DIR}/stamped-signed.dmg\nsize: 4721 bytes\nprofile: none (" + notA +
           ")\ncode signature: offset 4145, length 64 (valid layout: one signature blob that ends where the "
           "trailer begins)\nprofile in front of the code signature: offset 4096, length 33 (brackwell "
           "cannot "
           "read it there; 'brackwell-stamp unsign' makes it readable)\n",
       "brackwell-stamp: no valid profile in '{DIR}/stamped-signed.dmg': " + notA + "; " + hidden + "\n",
       {}},
      {"ShowSignatureFieldsThatDoNotFit",
       {"show", "{DIR}/bad-signature.dmg"},
       {},
       3,
       "image: {DIR}/bad-signature.dmg\nsize: 4608 bytes\nprofile: none (" + notA +
           ")\ncode signature: offset 0, length 64 (does not fit the image: the offset is 0 while the "
           "length is not)\n",
       "brackwell-stamp: no valid profile in '{DIR}/bad-signature.dmg': " + notA + "\n",
       {}},
      {"ShowWithoutTrailer",
       {"show", "{DIR}/nokoly.dmg"},
       {},
       1,
       "image: {DIR}/nokoly.dmg\nsize: 2048 bytes\nprofile: none ('koly' block not found)\n"
       "code signature: unknown (no trailer)\n",
       "brackwell-stamp: no valid profile in '{DIR}/nokoly.dmg': 'koly' block not found\n",
       {}},
      {"ShowMissingImage",
       {"show", "{DIR}/missing.dmg"},
       {},
       1,
       "",
       "brackwell-stamp: cannot open image '{DIR}/missing.dmg': No such file or directory\n",
       {}},

      {"ShowDirectory", {"show", "{DIR}"}, {}, 1, "", "brackwell-stamp: '{DIR}' is not a regular file\n", {}},
      // A character device is named for what it is (macOS's raw disks also
      // name their block device: fileio's blockDeviceOf).
      {"ShowCharacterDevice",
       {"show", "/dev/null"},
       {},
       1,
       "",
       "brackwell-stamp: '/dev/null' is a character device, not a regular file or a block device\n",
       {}},
      {"WriteCharacterDevice",
       {"write", "/dev/null", "{DIR}/profile.bin", "--out", "{DIR}/out.dmg"},
       {},
       1,
       "",
       "brackwell-stamp: '/dev/null' is a character device, not a regular file\n",
       {}},

      // extract: the reader's own lines on standard error, the bytes alone on standard output
      {"ExtractToStandardOutput",
       {"extract", "{DIR}/stamped.dmg"},
       {},
       0,
       std::string(PROFILE.begin(), PROFILE.end()),
       "Extracting profile from DMG at '{DIR}/stamped.dmg'\nbrackwell-stamp: extracted a profile of 33 "
       "bytes\n",
       {}},
      {"ExtractToFile",
       {"extract", "{DIR}/stamped.dmg", "--out", "{DIR}/profile.out"},
       {},
       0,
       "",
       "Extracting profile from DMG at '{DIR}/stamped.dmg'\n"
       "brackwell-stamp: extracted a profile of 33 bytes to '{DIR}/profile.out'\n",
       {{"profile.out", PROFILE}}},
      {"ExtractWithoutProfile",
       {"extract", "{DIR}/plain.dmg", "--out", "{DIR}/profile.out"},
       {},
       3,
       "",
       "Extracting profile from DMG at '{DIR}/plain.dmg'\n" + notA +
           "\nbrackwell-stamp: no profile extracted\n",
       {}},
      // Quiet: nothing on success; on failure, everything that says why.
      {"ExtractQuietly", {"extract", "{DIR}/stamped.dmg", "-q"}, {}, 0, text(PROFILE), "", {}},
      {"ExtractQuietlyWithoutProfile",
       {"extract", "{DIR}/plain.dmg", "--quiet"},
       {},
       3,
       "",
       "Extracting profile from DMG at '{DIR}/plain.dmg'\n" + notA +
           "\nbrackwell-stamp: no profile extracted\n",
       {}},
      // No trailer: a broken or foreign file, not an image without a profile.
      {"ExtractWithoutTrailer",
       {"extract", "{DIR}/nokoly.dmg"},
       {},
       1,
       "",
       "Extracting profile from DMG at '{DIR}/nokoly.dmg'\n'koly' block not found\nbrackwell-stamp: no "
       "profile "
       "extracted\n",
       {}},
      {"ExtractToAFullDevice",
       {"extract", "{DIR}/stamped.dmg", "--out", "/dev/full"},
       {},
       1,
       "",
       "Extracting profile from DMG at '{DIR}/stamped.dmg'\nbrackwell-stamp: cannot write the profile to "
       "'/dev/full': No space left on device\n",
       {}},

      // Truncating the output to write the profile would destroy the image.
      {"ExtractRefusesToOverwriteTheImage",
       {"extract", "{DIR}/stamped.dmg", "--out", "{DIR}/stamped.dmg"},
       {},
       1,
       "",
       "Extracting profile from DMG at '{DIR}/stamped.dmg'\nbrackwell-stamp: the output '{DIR}/stamped.dmg' "
       "is "
       "the image itself\n",
       {}},
      {"ExtractExplainsAProfileStampedBeforeSigning",
       {"extract", "{DIR}/stamped-signed.dmg"},
       {},
       3,
       "",
       "Extracting profile from DMG at '{DIR}/stamped-signed.dmg'\n" + notA +
           "\nbrackwell-stamp: no profile extracted; " + hidden + "\n",
       {}},
      {"ExtractToStandardOutputByDash",
       {"extract", "{DIR}/stamped.dmg", "--out", "-"},
       {},
       0,
       text(PROFILE),
       "Extracting profile from DMG at '{DIR}/stamped.dmg'\nbrackwell-stamp: extracted a profile of 33 "
       "bytes\n",
       {}},

      // remove
      {"RemoveInPlace",
       {"remove", "{DIR}/stamped.dmg"},
       {},
       0,
       "",
       "brackwell-stamp: removed the profile of 33 bytes; wrote '{DIR}/stamped.dmg'\n",
       {{"stamped.dmg", PLAIN}}},
      {"RemoveToJoinedShortOut",
       {"remove", "{DIR}/stamped.dmg", "-o{DIR}/out.dmg"},
       {},
       0,
       "",
       "brackwell-stamp: removed the profile of 33 bytes; wrote '{DIR}/out.dmg'\n",
       {{"out.dmg", PLAIN}}},
      {"RemoveToOut",
       {"remove", "{DIR}/stamped.dmg", "--out", "{DIR}/out.dmg"},
       {},
       0,
       "",
       "brackwell-stamp: removed the profile of 33 bytes; wrote '{DIR}/out.dmg'\n",
       {{"out.dmg", PLAIN}}},
      {"RemoveFromASignedImageRefused",
       {"remove", "{DIR}/stamped-signed.dmg"},
       {},
       1,
       "",
       "brackwell-stamp: '{DIR}/stamped-signed.dmg' is code-signed (a signature of 64 bytes at offset 4145). "
       "Removing its profile would break the signature, and macOS reports a disk image whose signature does "
       "not "
       "verify as damaged. Pass --unsign to remove the signature as well\n",
       {}},
      {"RemoveUnsignsFirst",
       {"remove", "{DIR}/stamped-signed.dmg", "--unsign"},
       {},
       0,
       "",
       "brackwell-stamp: removed the code signature (64 bytes) and the profile of 33 bytes; wrote "
       "'{DIR}/stamped-signed.dmg'\n",
       {{"stamped-signed.dmg", PLAIN}}},
      {"RemoveWithoutProfile",
       {"remove", "{DIR}/plain.dmg"},
       {},
       3,
       "",
       "brackwell-stamp: '{DIR}/plain.dmg' carries no profile to remove: " + notA + "\n",
       {}},

      // unsign: exactly the image before it was signed
      {"UnsignInPlace",
       {"unsign", "{DIR}/signed.dmg"},
       {},
       0,
       "",
       "brackwell-stamp: removed the code signature (64 bytes); wrote '{DIR}/signed.dmg'\n",
       {{"signed.dmg", PLAIN}}},
      {"UnsignKeepsAProfileStampedBeforeSigning",
       {"unsign", "{DIR}/stamped-signed.dmg", "--out", "{DIR}/out.dmg"},
       {},
       0,
       "",
       "brackwell-stamp: removed the code signature (64 bytes); wrote '{DIR}/out.dmg'\n",
       {{"out.dmg", STAMPED}}},
      {"UnsignWithoutSignature",
       {"unsign", "{DIR}/plain.dmg"},
       {},
       1,
       "",
       "brackwell-stamp: '{DIR}/plain.dmg' carries no code signature to remove\n",
       {}},
      {"UnsignRefusesSignatureFieldsThatDoNotFit",
       {"unsign", "{DIR}/bad-signature.dmg", "--out", "{DIR}/out.dmg"},
       {},
       1,
       "",
       "brackwell-stamp: '{DIR}/bad-signature.dmg' records a code signature of 64 bytes at offset 0, but the "
       "offset is 0 while the length is not: nothing tells which bytes are the signature, so the image is "
       "left "
       "as it is\n",
       {}},

      // --out -: the new image on standard output, nothing created on disk
      {"WriteToStandardOutput",
       {"write", "{DIR}/plain.dmg", "{DIR}/profile.bin", "--out", "-"},
       {},
       0,
       text(STAMPED),
       "brackwell-stamp: stamped a profile of 33 bytes at offset 4096; wrote 4657 bytes to standard output\n",
       {}},
      {"WriteFromStandardInputToStandardOutput",
       {"write", "{DIR}/plain.dmg", "-", "--out=-"},
       {},
       0,
       text(stamped(DATA, NEW_PROFILE, tail())),
       "brackwell-stamp: stamped a profile of 16 bytes at offset 4096; wrote 4640 bytes to standard output\n",
       {}},
      {"WriteUnsignToStandardOutput",
       {"write", "{DIR}/signed.dmg", "{DIR}/profile.bin", "--unsign", "--out", "-"},
       {},
       0,
       text(STAMPED),
       "brackwell-stamp: removed the code signature (64 bytes) and stamped a profile of 33 bytes at offset "
       "4096; "
       "wrote 4657 bytes to standard output\n",
       {}},
      {"RemoveToStandardOutput",
       {"remove", "{DIR}/stamped.dmg", "--out", "-"},
       {},
       0,
       text(PLAIN),
       "brackwell-stamp: removed the profile of 33 bytes; wrote 4608 bytes to standard output\n",
       {}},
      {"UnsignToStandardOutput",
       {"unsign", "{DIR}/stamped-signed.dmg", "--out", "-"},
       {},
       0,
       text(STAMPED),
       "brackwell-stamp: removed the code signature (64 bytes); wrote 4657 bytes to standard output\n",
       {}},
      {"RefusalToStandardOutputWritesNothing",
       {"write", "{DIR}/stamped.dmg", "{DIR}/new.bin", "--out", "-"},
       {},
       1,
       "",
       "brackwell-stamp: '{DIR}/stamped.dmg' already carries a profile (33 bytes at offset 4096); pass "
       "--replace "
       "to swap it for the new one\n",
       {}},
      // Into a pipe the kernel hands the image's pages over (Linux).
      {"StreamingNamesTheCopyMethodWhenVerbose",
       {"write", "{DIR}/plain.dmg", "{DIR}/profile.bin", "--out", "-"},
       {{"BRACKWELL_STAMP_VERBOSE", "1"}},
       0,
       text(STAMPED),
       "brackwell-stamp: copy method: splice (4096 bytes in front of the insertion point)\n"
       "brackwell-stamp: stamped a profile of 33 bytes at offset 4096; wrote 4657 bytes to standard output\n",
       {}},
      {"StreamingThroughABuffer",
       {"remove", "{DIR}/stamped.dmg", "--out", "-"},
       {{"BRACKWELL_STAMP_VERBOSE", "1"}, {"BRACKWELL_STAMP_COPY", "stream"}},
       0,
       text(PLAIN),
       "brackwell-stamp: copy method: streamed (4096 bytes in front of the insertion point)\n"
       "brackwell-stamp: removed the profile of 33 bytes; wrote 4608 bytes to standard output\n",
       {}},

      // --help and --version: standard output, status 0, whatever else is there
      {"Help", {"--help"}, {}, 0, HELP, "", {}},
      {"HelpOfACommand", {"write", "{DIR}/plain.dmg", "-h"}, {}, 0, WRITE_HELP, "", {}},
      {"HelpWinsOverAUsageError", {"frobnicate", "--help"}, {}, 0, HELP, "", {}},
      {"HelpCommand", {"help"}, {}, 0, HELP, "", {}},
      {"HelpCommandOfACommand", {"help", "show"}, {}, 0, SHOW_HELP, "", {}},
      {"HelpCommandOfAnUnknownCommand",
       {"help", "frobnicate"},
       {},
       2,
       "",
       usageError("unknown command 'frobnicate'"),
       {}},
      {"Version", {"--version"}, {}, 0, "brackwell-stamp " BRACKWELL_VERSION "\n", "", {}},
      // An --out path is a path, even one that looks like an option.
      {"OutNamedLikeAnOption",
       {"remove", "{DIR}/plain.dmg", "--out", "--version"},
       {},
       3,
       "",
       "brackwell-stamp: '{DIR}/plain.dmg' carries no profile to remove: " + notA + "\n",
       {}},
  };
}

void writeFixtures(const TempDir& dir) {
  for (const auto& [name, bytes] : FIXTURES) {
    writeFile(dir.file(name), bytes);
  }
}

// The library of injected faults, when this system and build can preload it.
const char* injectedFaults() {
#if defined(__linux__)
  if (std::getenv("BRACKWELL_SANITIZED") == nullptr) {
    return std::getenv("BRACKWELL_INJECTED_FAULTS");
  }
#endif
  return nullptr;
}

class StampCli : public ::testing::TestWithParam<CliCase> {};

TEST_P(StampCli, PrintsExitsAndChangesExactlyWhatItShould) {
  const CliCase& c = GetParam();
  TempDir dir;
  writeFixtures(dir);
  auto expand = [&](const std::string& text) { return testsupport::expandDir(text, dir); };
  std::vector<std::string> args;
  for (const std::string& arg : c.args) {
    args.push_back(expand(arg));
  }
  ChildSetup setup;
  setup.env = c.env;
  setup.stdinPath = dir.file("stdin.bin");
  setup.captureStderr = true;

  const RunResult run = runStampTool(args, setup);

  EXPECT_EQ(run.exitCode, c.exitCode);
  EXPECT_EQ(run.out, expand(c.out));
  EXPECT_EQ(run.err, expand(c.err));
  std::map<std::string, Bytes> expected = FIXTURES;
  for (const auto& [name, bytes] : c.changed) {
    expected[name] = bytes;
  }
  std::vector<std::string> names;
  for (const auto& entry : expected) {
    names.push_back(entry.first);
  }
  EXPECT_EQ(testsupport::listDirectory(dir.path()), names); // no temporary file, nothing unexpected
  for (const auto& [name, bytes] : expected) {
    EXPECT_EQ(readFile(dir.file(name)), bytes) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(Runs, StampCli, ::testing::ValuesIn(cliCases()),
                         [](const ::testing::TestParamInfo<CliCase>& row) { return row.param.name; });

// The directory a failed run must leave exactly as it found it.
struct Snapshot {
  std::vector<std::string> names;
  Bytes image;
};

Snapshot snapshot(const std::string& dir, const std::string& image) {
  return {testsupport::listDirectory(dir), readFile(image)};
}

void expectUnchanged(const Snapshot& before, const std::string& dir, const std::string& image) {
  EXPECT_EQ(testsupport::listDirectory(dir), before.names) << "a temporary file was left behind";
  EXPECT_EQ(readFile(image), before.image) << "the image changed";
}

// A directory the run may not create files in. Root ignores permission
// bits, so as root the run drops to the unprivileged user "nobody".
class UnwritableDirectory : public ::testing::TestWithParam<bool> {}; // in place?

TEST_P(UnwritableDirectory, FailsBeforeTouchingAnything) {
  const bool inPlace = GetParam();
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0); // "nobody" must reach the files
  const std::string ro = dir.file("ro");
  ASSERT_EQ(mkdir(ro.c_str(), 0755), 0);
  writeFile(dir.file("image.dmg"), PLAIN);
  writeFile(ro + "/image.dmg", PLAIN);
  writeFile(dir.file("profile.bin"), PROFILE);
  ASSERT_EQ(chmod(ro.c_str(), 0555), 0);

  ChildSetup setup;
  setup.captureStderr = true;
  if (geteuid() == 0) {
    const passwd* nobody = getpwnam("nobody");
    if (nobody == nullptr) {
      GTEST_SKIP()
          << "running as root and there is no user 'nobody' to drop to; permission bits would not stop "
             "root";
    }
    setup.runAs = testsupport::Identity{nobody->pw_uid, nobody->pw_gid};
  }
  const std::string image = inPlace ? ro + "/image.dmg" : dir.file("image.dmg");
  std::vector<std::string> args = {"write", image, dir.file("profile.bin")};
  if (!inPlace) {
    args.insert(args.end(), {"--out", ro + "/out.dmg"});
  }
  const Snapshot before = snapshot(ro, ro + "/image.dmg");

  const RunResult run = runStampTool(args, setup);

  if (run.exitCode == testsupport::CANNOT_DROP_PRIVILEGES) {
    GTEST_SKIP() << "could not drop root privileges in the child; permission bits would not stop root";
  }
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err, "brackwell-stamp: cannot create the new file next to '" + ro +
                         (inPlace ? "/image.dmg" : "/out.dmg") + "': Permission denied\n");
  expectUnchanged(before, ro, ro + "/image.dmg");
  EXPECT_EQ(readFile(dir.file("image.dmg")), PLAIN);
}

INSTANTIATE_TEST_SUITE_P(Destinations, UnwritableDirectory, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& row) {
                           return row.param ? "InPlace" : "ToOut";
                         });

// A write that fails part-way: a file-size limit (RLIMIT_FSIZE) stops the
// new file at a chosen point. The tool itself ignores SIGXFSZ, so the write
// fails with EFBIG instead of killing it, and it must clean up.
struct LimitCase {
  std::string name;
  std::string copy; // BRACKWELL_STAMP_COPY
  rlim_t limit;     // bytes the new file may reach
};

void PrintTo(const LimitCase& row, std::ostream* os) {
  *os << row.name;
}

constexpr std::size_t BIG_DATA = 256 << 10;
constexpr std::size_t BIG_PROFILE = 64 << 10;

class FileSizeLimit : public ::testing::TestWithParam<std::tuple<LimitCase, bool>> {};

TEST_P(FileSizeLimit, OriginalStaysIntactAndNoTemporaryFileRemains) {
  const auto& [c, inPlace] = GetParam();
  TempDir dir;
  const std::string image = dir.file("image.dmg");
  writeFile(image, cat({Bytes(BIG_DATA, 0x33), tail()}));
  writeFile(dir.file("profile.bin"), Bytes(BIG_PROFILE, 0x44));
  ChildSetup setup;
  setup.captureStderr = true;
  setup.env = {{"BRACKWELL_STAMP_COPY", c.copy}};
  setup.maxFileSize = c.limit;
  std::vector<std::string> args = {"write", image, dir.file("profile.bin")};
  if (!inPlace) {
    args.insert(args.end(), {"--out", dir.file("out.dmg")});
  }
  const Snapshot before = snapshot(dir.path(), image);

  const RunResult run = runStampTool(args, setup);

  EXPECT_EQ(run.exitCode, 1) << run.err;
  EXPECT_NE(run.err.find("File too large"), std::string::npos) << run.err;
  expectUnchanged(before, dir.path(), image);
}

INSTANTIATE_TEST_SUITE_P(WritesCutShort, FileSizeLimit,
                         ::testing::Combine(::testing::ValuesIn(std::vector<LimitCase>{
                                                {"InTheStreamedCopy", "stream", BIG_DATA / 2},
                                                {"InTheKernelCopy", "no-clone", BIG_DATA / 2},
                                                {"InTheProfile", "stream", BIG_DATA + BIG_PROFILE / 2},
                                                {"InTheTrailer", "stream", BIG_DATA + BIG_PROFILE + 16 + 100},
                                            }),
                                            ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<LimitCase, bool>>& row) {
                           return std::get<0>(row.param).name +
                                  (std::get<1>(row.param) ? "_InPlace" : "_ToOut");
                         });

// Ended by a signal while it waits for the profile on standard input, the
// run removes its temporary file and dies of that signal.
class EndedBySignal : public ::testing::TestWithParam<int> {};

TEST_P(EndedBySignal, RemovesItsTemporaryFile) {
  const int signal = GetParam();
  const char* bin = std::getenv("BRACKWELL_STAMP_BIN");
  ASSERT_NE(bin, nullptr) << "BRACKWELL_STAMP_BIN is not set; run through ctest";
  TempDir dir;
  const std::string image = dir.file("image.dmg");
  writeFile(image, PLAIN);
  const Snapshot before = snapshot(dir.path(), image);
  int input[2];
  ASSERT_EQ(pipe(input), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(input[0], STDIN_FILENO);
    close(input[0]);
    close(input[1]);
    // A signal ignored by whoever started the tests would stay ignored.
    for (const int s : {SIGINT, SIGTERM, SIGHUP}) {
      std::signal(s, SIG_DFL);
    }
    execl(bin, bin, "write", image.c_str(), "-", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(input[0]);
  bool started = false;
  for (int i = 0; i < 1000 && !started; ++i) {
    started = testsupport::listDirectory(dir.path()).size() == 2;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, signal);
  int status = 0;
  waitpid(pid, &status, 0);
  close(input[1]);
  ASSERT_TRUE(started) << "the temporary file never appeared";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << "status " << status;
  expectUnchanged(before, dir.path(), image);
}

INSTANTIATE_TEST_SUITE_P(Signals, EndedBySignal, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& row) {
                           return row.param == SIGINT    ? "Interrupt"
                                  : row.param == SIGTERM ? "Terminate"
                                                         : "Hangup";
                         });

// The new image written to a stream that fails part-way: a full device, a
// reader that stops reading, the image itself as standard output. A message
// and status 1, whatever the copy method; the image stays as it was.
struct StreamCase {
  std::string name;
  std::vector<std::string> args; // {DIR}: the case's directory
  StandardOutput standardOutput;
  std::string stdoutPath;  // {DIR} expanded
  std::size_t readerBytes; // with readerExitsEarly
  std::string err;         // {DIR} expanded
};

void PrintTo(const StreamCase& row, std::ostream* os) {
  *os << row.name;
}

// Large enough that the copy is still under way when a reader stops
// after a few bytes: a pipe holds 64 KiB.
const Bytes BIG_PLAIN = cat({Bytes(4 << 20, 0x61), tail()});
const Bytes BIG_STAMPED = stamped(Bytes(4 << 20, 0x61), PROFILE, tail());

class StreamFailure : public ::testing::TestWithParam<std::tuple<StreamCase, std::string>> {};

TEST_P(StreamFailure, SaysSoAndLeavesTheImageAlone) {
  const auto& [c, copy] = GetParam();
  TempDir dir;
  writeFile(dir.file("big.dmg"), BIG_PLAIN);
  writeFile(dir.file("stamped.dmg"), BIG_STAMPED);
  writeFile(dir.file("profile.bin"), PROFILE);
  auto expand = [&](const std::string& text) { return testsupport::expandDir(text, dir); };
  std::vector<std::string> args;
  for (const std::string& arg : c.args) {
    args.push_back(expand(arg));
  }
  ChildSetup setup;
  setup.captureStderr = true;
  setup.env = {{"BRACKWELL_STAMP_COPY", copy}};
  setup.standardOutput = c.standardOutput;
  setup.stdoutPath = expand(c.stdoutPath);
  setup.readerBytes = c.readerBytes;
  const std::vector<std::string> before = testsupport::listDirectory(dir.path());

  const RunResult run = runStampTool(args, setup);

  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err, expand(c.err));
  if (c.standardOutput == StandardOutput::readerExitsEarly) {
    const Bytes& whole = c.args[0] == "remove" ? BIG_PLAIN : BIG_STAMPED;
    EXPECT_EQ(run.out, std::string(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(c.readerBytes)))
        << "what the reader got is the start of the new image";
  }
  EXPECT_EQ(testsupport::listDirectory(dir.path()), before);
  EXPECT_EQ(readFile(dir.file("big.dmg")), BIG_PLAIN);
  EXPECT_EQ(readFile(dir.file("stamped.dmg")), BIG_STAMPED);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, StreamFailure,
    ::testing::Combine(
        ::testing::ValuesIn(std::vector<StreamCase>{
            {"WriteToAFullDevice",
             {"write", "{DIR}/big.dmg", "{DIR}/profile.bin", "--out", "-"},
             StandardOutput::file,
             "/dev/full",
             0,
             "brackwell-stamp: cannot write the new image to the output: No space left on device\n"},
            {"RemoveToAFullDevice",
             {"remove", "{DIR}/stamped.dmg", "--out", "-"},
             StandardOutput::file,
             "/dev/full",
             0,
             "brackwell-stamp: cannot write the new image to the output: No space left on device\n"},
            {"WriteToAReaderThatExitsEarly",
             {"write", "{DIR}/big.dmg", "{DIR}/profile.bin", "--out", "-"},
             StandardOutput::readerExitsEarly,
             "",
             1000,
             "brackwell-stamp: cannot write the new image to the output: Broken pipe\n"},
            {"RemoveToAReaderThatExitsEarly",
             {"remove", "{DIR}/stamped.dmg", "--out", "-"},
             StandardOutput::readerExitsEarly,
             "",
             100000,
             "brackwell-stamp: cannot write the new image to the output: Broken pipe\n"},
            {"StandardOutputClosed",
             {"write", "{DIR}/big.dmg", "{DIR}/profile.bin", "--out", "-"},
             StandardOutput::closed,
             "",
             0,
             "brackwell-stamp: cannot write the new image to the output: Bad file descriptor\n"},
            // Reading and writing one file at once would corrupt it.
            {"StandardOutputIsTheImage",
             {"write", "{DIR}/big.dmg", "{DIR}/profile.bin", "--out", "-"},
             StandardOutput::file,
             "{DIR}/big.dmg",
             0,
             "brackwell-stamp: the output (standard output) is the image itself\n"},
        }),
        ::testing::Values("auto", "stream")),
    [](const ::testing::TestParamInfo<std::tuple<StreamCase, std::string>>& row) {
      return std::get<0>(row.param).name + (std::get<1>(row.param) == "auto" ? "_Kernel" : "_Buffered");
    });

// The temporary file next to `image`, once it has appeared.
std::string waitForTemporaryFile(const TempDir& dir, const std::string& image) {
  for (int i = 0; i < 1000; ++i) {
    for (const std::string& name : testsupport::listDirectory(dir.path())) {
      if (name.rfind("." + image + ".stamp-", 0) == 0) {
        return dir.file(name);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return "";
}

// An image overwritten at the same size while it streams: the bytes already
// out may mix two versions, so the run fails.
// `extract IMAGE --out IMAGE`: the profile written over the image it comes
// from would leave an image without its trailer. In a shared (sticky,
// world-writable) directory the output is a new file renamed over the name,
// never the file opened there, and must be refused all the same.
class ExtractIntoTheImage : public ::testing::TestWithParam<bool> {};

TEST_P(ExtractIntoTheImage, IsRefused) {
  const bool shared = GetParam();
  TempDir dir;
  const std::string folder = dir.file("folder");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(chmod(folder.c_str(), shared ? 01777 : 0755), 0);
  const std::string image = folder + "/stamped.dmg";
  writeFile(image, STAMPED);

  const RunResult run = stampIn(dir, {"extract", image, "--out", image});

  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err, "Extracting profile from DMG at '" + image + "'\nbrackwell-stamp: the output '" + image +
                         "' is the image itself\n");
  EXPECT_EQ(readFile(image), STAMPED);
  EXPECT_EQ(testsupport::listDirectory(folder), std::vector<std::string>{"stamped.dmg"});
}

INSTANTIATE_TEST_SUITE_P(Directories, ExtractIntoTheImage, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& row) {
                           return row.param ? "Shared" : "Private";
                         });

TEST(StreamWhileTheImageChanges, FailsAfterTheLastByte) {
  TempDir dir;
  writeFile(dir.file("image.dmg"), PLAIN);
  const timespec anHourAgo[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, dir.file("image.dmg").c_str(), anHourAgo, 0), 0);
  BackgroundRun run({"write", dir.file("image.dmg"), "-", "--out", "-"});
  ASSERT_TRUE(run.started());
  // The image's bytes go out first; then it waits for the profile.
  ASSERT_TRUE(run.input("")) << "the run is there";
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  {
    const int fd = open(dir.file("image.dmg").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "X", 1, 0), 1);
    close(fd);
  }
  ASSERT_TRUE(run.input("p"));
  const RunResult result = run.finish();
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.err, "brackwell-stamp: the image '" + dir.file("image.dmg") +
                            "' changed while it was being read; the output is not to be used\n");
  EXPECT_EQ(testsupport::listDirectory(dir.path()), std::vector<std::string>{"image.dmg"});
}

// A run killed outright (SIGKILL, a power loss) cannot clean up; the next
// run that writes the same destination does. Every run here stamps
// other.dmg into image.dmg (--out), so all of them work on image.dmg's
// temporary files.
class Leftovers : public ::testing::Test {
protected:
  void SetUp() override {
    writeFile(dir.file("image.dmg"), PLAIN);
    writeFile(dir.file("other.dmg"), PLAIN);
    writeFile(dir.file("profile.bin"), PROFILE);
  }
  // Starts a run that waits for its profile on standard input.
  std::vector<std::string> waitingRun() const {
    return {"write", dir.file("other.dmg"), "-", "--out", dir.file("image.dmg")};
  }
  // Stamps to completion; what it printed.
  RunResult stampAgain() const {
    ChildSetup setup;
    setup.captureStderr = true;
    return runStampTool(
        {"write", dir.file("other.dmg"), dir.file("profile.bin"), "--out", dir.file("image.dmg")}, setup);
  }
  std::string wrote() const {
    return "brackwell-stamp: stamped a profile of 33 bytes at offset 4096; wrote '" + dir.file("image.dmg") +
           "'\n";
  }
  std::vector<std::string> everything() const { return {"image.dmg", "other.dmg", "profile.bin"}; }
  TempDir dir;
};

TEST_F(Leftovers, TheNextRunRemovesWhatAKilledRunLeft) {
  std::string leftover;
  {
    BackgroundRun killed(waitingRun());
    ASSERT_TRUE(killed.started());
    leftover = waitForTemporaryFile(dir, "image.dmg");
    ASSERT_FALSE(leftover.empty()) << "the temporary file never appeared";
    killed.kill(SIGKILL);
    EXPECT_EQ(killed.finish().exitCode, 128 + SIGKILL);
  }
  ASSERT_EQ(access(leftover.c_str(), F_OK), 0) << "SIGKILL leaves the temporary file behind";

  const RunResult next = stampAgain();

  EXPECT_EQ(next.exitCode, 0);
  EXPECT_EQ(next.err, "brackwell-stamp: removed '" + leftover +
                          "', left behind by a run that was ended before it finished\n" + wrote());
  EXPECT_EQ(testsupport::listDirectory(dir.path()), everything());
  EXPECT_EQ(readFile(dir.file("other.dmg")), PLAIN);
  EXPECT_EQ(readFile(dir.file("image.dmg")), STAMPED);
}

TEST_F(Leftovers, ARunStillAtWorkKeepsItsFile) {
  BackgroundRun working(waitingRun());
  ASSERT_TRUE(working.started());
  const std::string inProgress = waitForTemporaryFile(dir, "image.dmg");
  ASSERT_FALSE(inProgress.empty()) << "the temporary file never appeared";

  const RunResult other = stampAgain();
  EXPECT_EQ(other.exitCode, 0) << other.err;
  EXPECT_EQ(other.err, wrote());
  EXPECT_EQ(access(inProgress.c_str(), F_OK), 0) << "the other run removed a file still being assembled";

  ASSERT_TRUE(working.input(std::string(PROFILE.begin(), PROFILE.end())));
  const RunResult done = working.finish();
  EXPECT_EQ(done.exitCode, 0) << done.err;
  EXPECT_EQ(readFile(dir.file("image.dmg")), STAMPED);
  EXPECT_EQ(testsupport::listDirectory(dir.path()), everything());
}

// Two runs that change one image in place at once take turns: the second
// waits for the first, then works on the image the first one left. Both
// succeed, and the image is the second one's result; nothing is left over.
TEST(TwoRunsOnOneImage, TakeTurns) {
  TempDir dir;
  const std::string image = dir.file("image.dmg");
  writeFile(image, PLAIN);
  writeFile(dir.file("new.bin"), NEW_PROFILE);
  BackgroundRun first({"write", image, "-", "--replace"});
  ASSERT_TRUE(first.started());
  ASSERT_FALSE(waitForTemporaryFile(dir, "image.dmg").empty()) << "the first run never started its copy";
  BackgroundRun second({"write", image, dir.file("new.bin"), "--replace"});
  ASSERT_TRUE(second.started());
  ASSERT_TRUE(second.waitForError("waiting for another run")) << "the second run did not wait";

  ASSERT_TRUE(first.input(std::string(PROFILE.begin(), PROFILE.end())));
  const RunResult one = first.finish();
  const RunResult two = second.finish();

  EXPECT_EQ(one.exitCode, 0);
  EXPECT_EQ(one.err,
            "brackwell-stamp: stamped a profile of 33 bytes at offset 4096; wrote '" + image + "'\n");
  EXPECT_EQ(two.exitCode, 0);
  EXPECT_EQ(two.err,
            "brackwell-stamp: waiting for another run that is changing '" + image +
                "'\nbrackwell-stamp: replaced the profile of 33 bytes with 16 bytes at offset 4096; wrote '" +
                image + "'\n");
  EXPECT_EQ(readFile(image), stamped(DATA, NEW_PROFILE, tail()));
  EXPECT_EQ(testsupport::listDirectory(dir.path()), (std::vector<std::string>{"image.dmg", "new.bin"}));
}

// An image on a real block device (a loop device): `show` reports it and
// `extract` reads its profile, both counting back from the device's end.
// macOS gives a disk device no end to seek to (lseek to the end of
// /dev/diskN answers 0), so there the size comes from the driver; this run
// shows the same reports on Linux's block devices.
TEST(BlockDevice, ShowAndExtractReadTheImageOnIt) {
  TempDir dir;
  // A device holds whole 512-byte sectors: 16 of them.
  const Bytes data(8192 - 512 - 16 - PROFILE.size(), 0x5a);
  writeFile(dir.file("image.dmg"), stamped(data, PROFILE, tail()));
  const testsupport::LoopDevice loop(dir.file("image.dmg"));
  if (loop.device().empty()) {
    GTEST_SKIP() << "no block device to try: " << loop.why();
  }
  ChildSetup setup;
  setup.captureStderr = true;
  const RunResult show = runStampTool({"show", loop.device()}, setup);
  EXPECT_EQ(show.exitCode, 0) << show.err;
  EXPECT_EQ(show.out, "image: " + loop.device() +
                          "\nsize: 8192 bytes\nprofile: offset 7631, length 33\ncode signature: none\n");
  const RunResult extract = runStampTool({"extract", loop.device()}, setup);
  EXPECT_EQ(extract.exitCode, 0) << extract.err;
  EXPECT_EQ(extract.out, text(PROFILE));
}

} // namespace

namespace {

// A disk that fails to read one byte (EIO), through a library preloaded into
// the run: every command names the read that failed, never a conclusion
// drawn from bytes it did not get (a signature "of 0 bytes", a missing
// trailer).
struct ReadErrorCase {
  std::string name;
  std::vector<std::string> args; // {DIR}: the case's directory
  std::uint64_t failAt;          // the byte whose reads fail
  std::string copy;              // BRACKWELL_STAMP_COPY
  std::string err;               // {DIR} expanded
};

void PrintTo(const ReadErrorCase& row, std::ostream* os) {
  *os << row.name;
}

class ReadError : public ::testing::TestWithParam<ReadErrorCase> {};

TEST_P(ReadError, NamesTheFailedRead) {
  const ReadErrorCase& c = GetParam();
  const char* library = injectedFaults();
  if (library == nullptr) {
    GTEST_SKIP() << "needs BRACKWELL_INJECTED_FAULTS (set by ctest), Linux's LD_PRELOAD and an unsanitized "
                    "binary: the sanitizers' runtime must come first among the loaded libraries";
  }
  TempDir dir;
  writeFixtures(dir);
  auto expand = [&](const std::string& text) { return testsupport::expandDir(text, dir); };
  std::vector<std::string> args;
  for (const std::string& arg : c.args) {
    args.push_back(expand(arg));
  }
  ChildSetup setup;
  setup.captureStderr = true;
  setup.env = {{"LD_PRELOAD", library},
               {"BRACKWELL_FAIL_READ_AT", std::to_string(c.failAt)},
               {"BRACKWELL_STAMP_COPY", c.copy}};

  const RunResult run = runStampTool(args, setup);

  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, expand(c.err));
  for (const auto& [name, bytes] : FIXTURES) {
    EXPECT_EQ(readFile(dir.file(name)), bytes) << name;
  }
  EXPECT_EQ(testsupport::listDirectory(dir.path()).size(), FIXTURES.size()) << "nothing was created";
}

// Offsets in the fixtures: plain.dmg's trailer starts at 4096; signed.dmg's
// at 4160, its signature fields 296 bytes into it; stamped.dmg's profile
// runs from 4096 to 4129.
INSTANTIATE_TEST_SUITE_P(
    Eio, ReadError,
    ::testing::ValuesIn(std::vector<ReadErrorCase>{
        {"SignatureFieldsOfAWrite",
         {"write", "{DIR}/signed.dmg", "{DIR}/profile.bin", "--unsign", "--out", "{DIR}/out.dmg"},
         4160 + 296,
         "auto",
         "brackwell-stamp: cannot read the code signature of '{DIR}/signed.dmg': Input/output error\n"},
        {"SignatureFieldsOfShow",
         {"show", "{DIR}/signed.dmg"},
         4160 + 296,
         "auto",
         "brackwell-stamp: cannot read the code signature of '{DIR}/signed.dmg': Input/output error\n"},
        {"TrailerOfAWrite",
         {"write", "{DIR}/plain.dmg", "{DIR}/profile.bin", "--out", "{DIR}/out.dmg"},
         4096,
         "auto",
         "brackwell-stamp: cannot read the end of '{DIR}/plain.dmg': Input/output error\n"},
        {"ImageDataOfAWrite",
         {"write", "{DIR}/plain.dmg", "{DIR}/profile.bin", "--out", "{DIR}/out.dmg"},
         100,
         "stream",
         "brackwell-stamp: cannot read the image: Input/output error\n"},
        {"ProfileOfAnExtract",
         {"extract", "{DIR}/stamped.dmg"},
         4100,
         "stream",
         "Extracting profile from DMG at '{DIR}/stamped.dmg'\n"
         "brackwell-stamp: cannot read the profile: Input/output error\n"},
    }),
    [](const ::testing::TestParamInfo<ReadErrorCase>& row) { return row.param.name; });

// An extended attribute the new image cannot take (a preloaded library
// makes setting user.b fail): as Apple's copyfile does, a refusal, an
// attribute or a name the file system does not keep, or a value it cannot
// store leaves that attribute out, says so, and the run goes on with the
// others carried; any other failure fails the run and leaves nothing.
struct AttributeFaultCase {
  std::string name;
  int error;       // what setting user.b fails with
  int exitCode;    // of the run
  std::string err; // {DIR} expanded
};

void PrintTo(const AttributeFaultCase& row, std::ostream* os) {
  *os << row.name;
}

class AttributeFault : public ::testing::TestWithParam<AttributeFaultCase> {};

TEST_P(AttributeFault, LeavesOutWhatTheNewFileCannotTake) {
  const AttributeFaultCase& c = GetParam();
  const char* library = injectedFaults();
  if (library == nullptr) {
    GTEST_SKIP()
        << "needs BRACKWELL_INJECTED_FAULTS (set by ctest), Linux's LD_PRELOAD and an unsanitized binary";
  }
  TempDir dir;
  writeFixtures(dir);
  const std::string image = dir.file("plain.dmg");
  for (const std::string name : {"user.a", "user.b", "user.c"}) {
    if (!testsupport::setExtendedAttribute(image, name, "value of " + name)) {
      GTEST_SKIP() << "the file system of " << dir.path() << " keeps no user.* attributes";
    }
  }
  ChildSetup setup;
  setup.captureStderr = true;
  setup.env = {{"LD_PRELOAD", library}, {"BRACKWELL_FAIL_SETXATTR", "user.b:" + std::to_string(c.error)}};

  const RunResult run =
      runStampTool({"write", image, dir.file("profile.bin"), "--out", dir.file("out.dmg")}, setup);

  EXPECT_EQ(run.exitCode, c.exitCode);
  EXPECT_EQ(run.err, testsupport::expandDir(c.err, dir));
  if (c.exitCode == 0) {
    EXPECT_EQ(readFile(dir.file("out.dmg")), STAMPED);
    const std::map<std::string, std::string> carried = {{"user.a", "value of user.a"},
                                                        {"user.c", "value of user.c"}};
    EXPECT_EQ(testsupport::extendedAttributes(dir.file("out.dmg")), carried);
  } else {
    EXPECT_EQ(testsupport::listDirectory(dir.path()).size(), FIXTURES.size()) << "nothing was created";
  }
}

const std::string STAMPED_OUT =
    "brackwell-stamp: stamped a profile of 33 bytes at offset 4096; wrote '{DIR}/out.dmg'\n";

INSTANTIATE_TEST_SUITE_P(
    Errors, AttributeFault,
    ::testing::ValuesIn(std::vector<AttributeFaultCase>{
        {"Refused", EPERM, 0,
         "brackwell-stamp: the new image goes without the extended attribute 'user.b' of the image: "
         "Operation not permitted\n" +
             STAMPED_OUT},
        {"AccessDenied", EACCES, 0,
         "brackwell-stamp: the new image goes without the extended attribute 'user.b' of the image: "
         "Permission denied\n" +
             STAMPED_OUT},
        {"NotKeptThere", ENOTSUP, 0,
         "brackwell-stamp: the new image goes without the extended attribute 'user.b' of the image: "
         "Operation not supported\n" +
             STAMPED_OUT},
        {"NameRefused", EINVAL, 0,
         "brackwell-stamp: the new image goes without the extended attribute 'user.b' of the image: "
         "Invalid argument\n" +
             STAMPED_OUT},
        {"NameTooLongOnMacOs", ENAMETOOLONG, 0,
         "brackwell-stamp: the new image goes without the extended attribute 'user.b' of the image: "
         "File name too long\n" +
             STAMPED_OUT},
        {"NameOrValueTooLongOnLinux", ERANGE, 0,
         "brackwell-stamp: the new image goes without the extended attribute 'user.b' of the image: "
         "Numerical result out of range\n" +
             STAMPED_OUT},
        {"ValueTooLarge", E2BIG, 0,
         "brackwell-stamp: the new image goes without the extended attribute 'user.b' of the image: "
         "Argument list too long\n" +
             STAMPED_OUT},
        {"DiskFailing", EIO, 1,
         "brackwell-stamp: cannot carry over the extended attribute 'user.b' of the image: "
         "Input/output error\n"},
        {"DiskFull", ENOSPC, 1,
         "brackwell-stamp: cannot carry over the extended attribute 'user.b' of the image: "
         "No space left on device\n"},
    }),
    [](const ::testing::TestParamInfo<AttributeFaultCase>& row) { return row.param.name; });

// A signal at the worst moment: right after the temporary file is created,
// before the run has registered it for removal (a preloaded library raises
// it there). The run dies of that signal and leaves nothing behind.
class SignalAtCreation : public ::testing::TestWithParam<std::tuple<int, bool>> {};

TEST_P(SignalAtCreation, LeavesNoTemporaryFile) {
  const auto [signal, inPlace] = GetParam();
  const char* library = injectedFaults();
  if (library == nullptr) {
    GTEST_SKIP()
        << "needs BRACKWELL_INJECTED_FAULTS (set by ctest), Linux's LD_PRELOAD and an unsanitized binary";
  }
  TempDir dir;
  writeFile(dir.file("image.dmg"), PLAIN);
  writeFile(dir.file("profile.bin"), PROFILE);
  std::vector<std::string> args = {"write", dir.file("image.dmg"), dir.file("profile.bin")};
  if (!inPlace) {
    args.insert(args.end(), {"--out", dir.file("out.dmg")});
  }
  ChildSetup setup;
  setup.captureStderr = true;
  setup.env = {{"LD_PRELOAD", library}, {"BRACKWELL_SIGNAL_ON_CREATE", std::to_string(signal)}};

  const RunResult run = runStampTool(args, setup);

  EXPECT_EQ(run.exitCode, 128 + signal) << run.err;
  EXPECT_EQ(testsupport::listDirectory(dir.path()), (std::vector<std::string>{"image.dmg", "profile.bin"}));
  EXPECT_EQ(readFile(dir.file("image.dmg")), PLAIN);
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalAtCreation,
                         ::testing::Combine(::testing::Values(SIGINT, SIGTERM, SIGHUP), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<int, bool>>& row) {
                           const int signal = std::get<0>(row.param);
                           return std::string(signal == SIGINT    ? "Interrupt"
                                              : signal == SIGTERM ? "Terminate"
                                                                  : "Hangup") +
                                  (std::get<1>(row.param) ? "_InPlace" : "_ToOut");
                         });

// The new image's tail is made in memory: a profile that does not fit (a
// sparse file of the most bytes the length field allows, under a 1 GiB
// address space) fails every output with a message that says so, before
// anything is written, and leaves nothing behind.
TEST(ProfileTooLargeForMemory, FailsEveryOutputWithAMessage) {
  if (std::getenv("BRACKWELL_SANITIZED") != nullptr) {
    GTEST_SKIP() << "the sanitizers reserve terabytes of address space: no address-space limit fits them";
  }
  TempDir dir;
  writeFile(dir.file("image.dmg"), PLAIN);
  writeFile(dir.file("profile.bin"), Bytes{});
  ASSERT_EQ(truncate(dir.file("profile.bin").c_str(), off_t{0xffffffff}), 0);
  for (const std::vector<std::string>& output :
       std::vector<std::vector<std::string>>{{},
                                             {"--out", dir.file("out.dmg")},
                                             {"--out", "-"},
                                             {"--out", "-", "--range", "0-9"},
                                             {"--dry-run"}}) {
    std::vector<std::string> args{"write", dir.file("image.dmg"), dir.file("profile.bin")};
    args.insert(args.end(), output.begin(), output.end());
    ChildSetup setup;
    setup.captureStderr = true;
    setup.maxAddressSpace = rlim_t{1} << 30;
    const RunResult run = runStampTool(args, setup);
    EXPECT_EQ(run.exitCode, 1) << args.back();
    EXPECT_EQ(run.out, "") << args.back();
    EXPECT_EQ(run.err, "brackwell-stamp: not enough memory to hold the profile of 4294967295 bytes (the new "
                       "image's tail is made in memory)\n")
        << args.back();
    EXPECT_EQ(readFile(dir.file("image.dmg")), PLAIN);
    EXPECT_EQ(testsupport::listDirectory(dir.path()), (std::vector<std::string>{"image.dmg", "profile.bin"}));
  }
}

// Few descriptors: whatever step runs out of them, the run fails with the
// real cause and leaves nothing behind.
TEST(FewDescriptors, FailWithTheRealCause) {
  if (std::getenv("BRACKWELL_SANITIZED") != nullptr) {
    GTEST_SKIP() << "the sanitizers' runtime needs descriptors of its own";
  }
  TempDir dir;
  writeFile(dir.file("image.dmg"), PLAIN);
  writeFile(dir.file("profile.bin"), PROFILE);
  int failed = 0;
  for (rlim_t limit = 4; limit <= 12; ++limit) {
    const std::string out = dir.file("out" + std::to_string(limit) + ".dmg");
    ChildSetup setup;
    setup.captureStderr = true;
    setup.maxOpenFiles = limit;
    setup.env = {{"BRACKWELL_STAMP_COPY", "stream"}};
    const RunResult run =
        runStampTool({"write", dir.file("image.dmg"), dir.file("profile.bin"), "--out", out}, setup);
    if (run.exitCode == 0) {
      EXPECT_EQ(readFile(out), STAMPED) << "limit " << limit;
      continue;
    }
    ++failed;
    EXPECT_EQ(run.exitCode, 1) << "limit " << limit;
    EXPECT_NE(run.err.find("Too many open files"), std::string::npos) << "limit " << limit << ": " << run.err;
  }
  EXPECT_GT(failed, 0) << "no limit was low enough to fail: the test proves nothing";
  for (const std::string& name : testsupport::listDirectory(dir.path())) {
    EXPECT_EQ(name.find(".stamp-"), std::string::npos) << name;
  }
}

} // namespace

// What a download server relies on: the size and validator of a dry run,
// byte ranges of the stream, and the validator guarding it.
namespace {

// The one JSON object a dry run prints.
nlohmann::json dryRunJson(const RunResult& run) {
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << "one line: " << run.out;
  return nlohmann::json::parse(run.out, nullptr, false);
}

const std::regex ETAG_SHAPE("\"bw1-[0-9a-f]{16}\"");

// Each command, the new image it makes of the fixtures, and a dry run of it
// that prints the size and validator of exactly those bytes and changes
// nothing.
struct ServedCase {
  std::string name;
  std::vector<std::string> args; // without --out / --dry-run
  Bytes whole;                   // what the full stream holds
};

void PrintTo(const ServedCase& row, std::ostream* os) {
  *os << row.name;
}

std::vector<ServedCase> servedCases() {
  return {
      {"Write", {"write", "{DIR}/plain.dmg", "{DIR}/profile.bin"}, STAMPED},
      {"WriteUnsigningFirst", {"write", "{DIR}/signed.dmg", "{DIR}/profile.bin", "--unsign"}, STAMPED},
      {"WriteReplacing",
       {"write", "{DIR}/stamped.dmg", "{DIR}/new.bin", "--replace"},
       stamped(DATA, NEW_PROFILE, tail())},
      {"WriteFromStandardInput", {"write", "{DIR}/plain.dmg", "-"}, stamped(DATA, NEW_PROFILE, tail())},
      {"Remove", {"remove", "{DIR}/stamped.dmg"}, PLAIN},
      {"Unsign", {"unsign", "{DIR}/signed.dmg"}, PLAIN},
  };
}

class Served : public ::testing::TestWithParam<ServedCase> {};

TEST_P(Served, DryRunTellsSizeAndValidatorAndChangesNothing) {
  const ServedCase& c = GetParam();
  for (const std::vector<std::string>& where :
       {std::vector<std::string>{}, {"-o", "-"}, {"-o", "{DIR}/out.dmg"}}) {
    TempDir dir;
    writeFixtures(dir);
    std::vector<std::string> args = c.args;
    args.insert(args.end(), where.begin(), where.end());
    args.insert(args.end(), {"--dry-run", "--json", "-q"});
    ChildSetup setup;
    setup.captureStderr = true;
    setup.stdinPath = dir.file("stdin.bin");
    std::vector<std::string> expanded;
    for (const std::string& arg : args) {
      expanded.push_back(testsupport::expandDir(arg, dir));
    }

    const RunResult run = runStampTool(expanded, setup);

    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const nlohmann::json json = dryRunJson(run);
    EXPECT_EQ(json.value("size", 0u), c.whole.size());
    EXPECT_TRUE(std::regex_match(json.value("etag", ""), ETAG_SHAPE)) << run.out;
    std::vector<std::string> names;
    for (const auto& [name, bytes] : FIXTURES) {
      names.push_back(name);
      EXPECT_EQ(readFile(dir.file(name)), bytes) << name;
    }
    EXPECT_EQ(testsupport::listDirectory(dir.path()), names) << "a dry run creates nothing";
  }
}

// The stream with --if-etag set to the dry run's validator is exactly the
// bytes the dry run described.
TEST_P(Served, TheValidatorOfTheDryRunLetsTheStreamThrough) {
  const ServedCase& c = GetParam();
  TempDir dir;
  writeFixtures(dir);
  ChildSetup setup;
  setup.captureStderr = true;
  setup.stdinPath = dir.file("stdin.bin");
  std::vector<std::string> args;
  for (const std::string& arg : c.args) {
    args.push_back(testsupport::expandDir(arg, dir));
  }
  std::vector<std::string> dry = args;
  dry.insert(dry.end(), {"--dry-run", "--json"});
  const std::string etag = dryRunJson(runStampTool(dry, setup)).value("etag", "");
  std::vector<std::string> stream = args;
  stream.insert(stream.end(), {"-o", "-", "--if-etag", etag, "-q"});

  const RunResult run = runStampTool(stream, setup);

  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, text(c.whole));
}

INSTANTIATE_TEST_SUITE_P(Commands, Served, ::testing::ValuesIn(servedCases()),
                         [](const ::testing::TestParamInfo<ServedCase>& row) { return row.param.name; });

// Ranges of the new image, as HTTP's byte-range-spec gives them: exactly
// those bytes, LAST clipped to the end; a range that selects nothing is
// status 4 with nothing written. The stamped image is 4657 bytes.
struct RangeCase {
  std::string name;
  std::string spec;
  int exitCode;
  std::uint64_t first = 0; // the bytes that must come out, when exitCode is 0
  std::uint64_t last = 0;
};

void PrintTo(const RangeCase& row, std::ostream* os) {
  *os << row.name;
}

class Ranges : public ::testing::TestWithParam<RangeCase> {};

TEST_P(Ranges, WriteExactlyTheBytesAsked) {
  const RangeCase& c = GetParam();
  TempDir dir;
  writeFixtures(dir);
  const std::vector<std::string> args = {
      "write", "{DIR}/plain.dmg", "{DIR}/profile.bin", "-o", "-", "--range", c.spec};

  const RunResult run = stampIn(dir, args);
  std::vector<std::string> dry = args;
  dry.push_back("--dry-run");
  dry.push_back("--json");
  const RunResult planned = stampIn(dir, dry);

  EXPECT_EQ(run.exitCode, c.exitCode);
  EXPECT_EQ(planned.exitCode, c.exitCode);
  const nlohmann::json json = dryRunJson(planned);
  EXPECT_EQ(json.value("size", 0u), STAMPED.size());
  if (c.exitCode != 0) {
    EXPECT_EQ(run.out, "") << "nothing of an unsatisfiable range is written";
    EXPECT_EQ(run.err,
              "brackwell-stamp: the range " + c.spec + " selects none of the 4657 bytes of the new image\n");
    EXPECT_FALSE(json.contains("range"));
    return;
  }
  EXPECT_EQ(run.out, std::string(STAMPED.begin() + static_cast<std::ptrdiff_t>(c.first),
                                 STAMPED.begin() + static_cast<std::ptrdiff_t>(c.last) + 1));
  EXPECT_EQ(run.err, "brackwell-stamp: stamped a profile of 33 bytes at offset 4096; wrote bytes " +
                         std::to_string(c.first) + "-" + std::to_string(c.last) +
                         " of 4657 to standard output\n");
  EXPECT_EQ(json["range"],
            (nlohmann::json{{"first", c.first}, {"last", c.last}, {"length", c.last - c.first + 1}}));
}

INSTANTIATE_TEST_SUITE_P(Specs, Ranges,
                         ::testing::ValuesIn(std::vector<RangeCase>{
                             {"FirstBytes", "0-99", 0, 0, 99},
                             {"AcrossImageAndProfile", "4090-4100", 0, 4090, 4100},
                             {"TheDescriptor", "4129-4144", 0, 4129, 4144},
                             {"FromOnwards", "4600-", 0, 4600, 4656},
                             {"LastClipped", "4600-99999", 0, 4600, 4656},
                             {"Suffix", "-100", 0, 4557, 4656},
                             {"SuffixLongerThanTheImage", "-99999", 0, 0, 4656},
                             {"LastByte", "4656-4656", 0, 4656, 4656},
                             {"StartsAtTheEnd", "4657-", 4},
                             {"PastTheEnd", "5000-6000", 4},
                             {"EmptySuffix", "-0", 4},
                             // Numbers past 64 bits are past the end of any image.
                             {"FirstBeyond64Bits", "99999999999999999999999-", 4},
                             {"LastBeyond64Bits", "4600-99999999999999999999999", 0, 4600, 4656},
                             {"SuffixBeyond64Bits", "-99999999999999999999999", 0, 0, 4656},
                         }),
                         [](const ::testing::TestParamInfo<RangeCase>& row) { return row.param.name; });

// The cost of a range follows the range: the image's bytes outside it are
// never read. Shown with a disk whose first byte cannot be read: a range at
// the end passes, one at the start fails.
TEST(RangeReads, OnlyTheImageBytesInTheRange) {
  const char* library = injectedFaults();
  if (library == nullptr) {
    GTEST_SKIP()
        << "needs BRACKWELL_INJECTED_FAULTS (set by ctest), Linux's LD_PRELOAD and an unsanitized binary";
  }
  TempDir dir;
  writeFixtures(dir);
  const std::vector<std::pair<std::string, std::string>> badFirstByte = {
      {"LD_PRELOAD", library}, {"BRACKWELL_FAIL_READ_AT", "0"}, {"BRACKWELL_STAMP_COPY", "stream"}};

  const RunResult end = stampIn(
      dir, {"write", "{DIR}/plain.dmg", "{DIR}/profile.bin", "-o", "-", "--range", "-600"}, badFirstByte);
  const RunResult start = stampIn(
      dir, {"write", "{DIR}/plain.dmg", "{DIR}/profile.bin", "-o", "-", "--range", "0-9"}, badFirstByte);

  EXPECT_EQ(end.exitCode, 0) << end.err;
  EXPECT_EQ(end.out, std::string(STAMPED.end() - 600, STAMPED.end()));
  EXPECT_EQ(start.exitCode, 1);
  EXPECT_EQ(start.err, "brackwell-stamp: cannot read the image: Input/output error\n");
}

// The validator: the same for the same image and profile wherever they are,
// different whenever the new image could differ.
std::string etagIn(const TempDir& dir, const std::string& image, const std::string& profile) {
  const RunResult run = stampIn(dir, {"write", dir.file(image), dir.file(profile), "--dry-run", "--json"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  return dryRunJson(run).value("etag", "");
}

void copyWithTimes(const std::string& from, const std::string& to) {
  writeFile(to, readFile(from));
  struct stat st {};
  ASSERT_EQ(stat(from.c_str(), &st), 0);
  const timespec times[2] = {st.st_atim, st.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, to.c_str(), times, 0), 0);
}

TEST(Validator, IsTheSameForACopyThatKeepsTheTimes) {
  TempDir here;
  TempDir there;
  writeFixtures(here);
  copyWithTimes(here.file("plain.dmg"), there.file("copy.dmg"));
  copyWithTimes(here.file("profile.bin"), there.file("licence"));

  const std::string original = etagIn(here, "plain.dmg", "profile.bin");

  EXPECT_TRUE(std::regex_match(original, ETAG_SHAPE)) << original;
  EXPECT_EQ(etagIn(here, "plain.dmg", "profile.bin"), original) << "the same run twice";
  EXPECT_EQ(etagIn(there, "copy.dmg", "licence"), original) << "no path, inode or name counts";
}

struct ChangeCase {
  std::string name;
  std::function<void(const TempDir&)> change; // to plain.dmg or profile.bin
};

void PrintTo(const ChangeCase& row, std::ostream* os) {
  *os << row.name;
}

class ValidatorChanges : public ::testing::TestWithParam<ChangeCase> {};

TEST_P(ValidatorChanges, WithWhatTheNewImageIsMadeOf) {
  TempDir dir;
  writeFixtures(dir);
  // An hour old, so that a change now gives it another modification time.
  const timespec anHourAgo[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, dir.file("plain.dmg").c_str(), anHourAgo, 0), 0);
  const std::string before = etagIn(dir, "plain.dmg", "profile.bin");

  GetParam().change(dir);

  EXPECT_NE(etagIn(dir, "plain.dmg", "profile.bin"), before);
}

INSTANTIATE_TEST_SUITE_P(Changes, ValidatorChanges,
                         ::testing::ValuesIn(std::vector<ChangeCase>{
                             {"ImageRewrittenAtTheSameSize",
                              [](const TempDir& dir) {
                                Bytes image = PLAIN;
                                image[100] ^= 0xff;
                                writeFile(dir.file("plain.dmg"), image);
                              }},
                             // Only the time tells: the bytes are the same.
                             {"ImageTouched",
                              [](const TempDir& dir) {
                                ASSERT_EQ(utimensat(AT_FDCWD, dir.file("plain.dmg").c_str(), nullptr, 0), 0);
                              }},
                             // The trailer tells, even at the same modification time.
                             {"ImageTrailerChangedKeepingTheTime",
                              [](const TempDir& dir) {
                                struct stat st {};
                                ASSERT_EQ(stat(dir.file("plain.dmg").c_str(), &st), 0);
                                Bytes image = PLAIN;
                                image[image.size() - 100] ^= 0xff; // a checksum field, say
                                writeFile(dir.file("plain.dmg"), image);
                                const timespec times[2] = {st.st_atim, st.st_mtim};
                                ASSERT_EQ(utimensat(AT_FDCWD, dir.file("plain.dmg").c_str(), times, 0), 0);
                              }},
                             {"ProfileOfTheSameLength",
                              [](const TempDir& dir) {
                                Bytes profile = PROFILE;
                                profile[0] ^= 0x20;
                                writeFile(dir.file("profile.bin"), profile);
                              }},
                             {"ProfileLonger",
                              [](const TempDir& dir) {
                                writeFile(dir.file("profile.bin"), cat({PROFILE, toBytes("!")}));
                              }},
                         }),
                         [](const ::testing::TestParamInfo<ChangeCase>& row) { return row.param.name; });

// Between a server's dry run and its stream the image changes: the stream
// is refused with status 5 before a byte is written, also when its range
// would not have been satisfiable.
TEST(Validator, AStaleOneRefusesTheStream) {
  TempDir dir;
  writeFixtures(dir);
  const std::string stale = etagIn(dir, "plain.dmg", "profile.bin");
  writeFile(dir.file("profile.bin"), NEW_PROFILE);
  const std::string current = etagIn(dir, "plain.dmg", "profile.bin");

  const RunResult whole =
      stampIn(dir, {"write", "{DIR}/plain.dmg", "{DIR}/profile.bin", "-o", "-", "--if-etag", stale});
  const RunResult ranged = stampIn(dir, {"write", "{DIR}/plain.dmg", "{DIR}/profile.bin", "-o", "-",
                                         "--if-etag", stale, "--range", "99999-"});
  const RunResult toFile = stampIn(
      dir, {"write", "{DIR}/plain.dmg", "{DIR}/profile.bin", "-o", "{DIR}/out.dmg", "--if-etag", stale});

  const std::string refusal = "brackwell-stamp: the new image's validator is " + current + ", not " + stale +
                              ": the image or the profile changed\n";
  for (const RunResult& run : {whole, ranged, toFile}) {
    EXPECT_EQ(run.exitCode, 5);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, refusal);
  }
  EXPECT_NE(access(dir.file("out.dmg").c_str(), F_OK), 0) << "nothing was created";
}

} // namespace
