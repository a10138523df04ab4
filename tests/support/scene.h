// End-to-end scenes: one run of brackwell (the build against the stand-in
// utility, BRACKWELL_BIN), stated top to bottom as its reader needs it:
// the setup (what is attached, what the listings say, the images, limits,
// environment), the arguments, the whole standard output the run must print,
// its exit status and what becomes of the output file.
//
//   Scene("ReadThroughAlias")
//       .attached({{"{DIR}/var/Setup.dmg", "{DIR}/Setup.dmg", {"/Volumes/Setup"}}})
//       .args({PKG, "{OUT}"})
//       .prints(SEARCH_STARTED +
//               "Checking image-path: {DIR}/var/Setup.dmg\n"
//               ...
//               "Profile extracted to: {OUT}\n")
//       .exits(0)
//       .output(OutputFile::profile)
//
// Placeholders, in arguments, listings, expected output and paths:
//   {DIR}    the scene's own directory
//   {OUT}    {DIR}/profile.out, which holds OLD_OUTPUT before the run
//   {PLIST}  (expected output only) the property list as the run echoes it
//
// Every scene's directory starts with these images (SCENE_IMAGES):
//   Setup.dmg   4096 bytes of 0x5a, then PROFILE (test_support.h), its descriptor and a trailer
//   Other.dmg   carries the profile "other"
//   Empty.dmg   carries an empty profile
//   NoKoly.dmg  2048 zero bytes: no trailer
//   Huge.dmg    100 bytes, then a descriptor whose length is 4294967295
//   Short.dmg   522 bytes: a trailer with no room for a descriptor
// and, unless the scene says otherwise, Setup.dmg is attached at
// /Volumes/Setup and listed with itself as alias.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <utility>
#include <vector>

#include "support/listings.h"
#include "support/run_tool.h"
#include "support/test_support.h"

namespace testsupport {

// What {OUT} holds before every run.
inline const std::string OLD_OUTPUT = "previous contents\n";
// The package path most scenes run with.
inline const std::string PKG = "/Volumes/Setup/Install.pkg";

// How every run with PKG begins, named once so that a scene writes out only
// what follows (each is the one before it, then more lines):
//
// the paths taken from the arguments, all a run prints when a listing fails;
inline const std::string PATHS_PRINTED = "PACKAGE PATH: '/Volumes/Setup/Install.pkg'\n"
                                         "VOLUME PATH: '/Volumes/Setup'\n";
// then the property list, echoed between two rules, all a run prints before
// the reader's verdict on it;
inline const std::string PLIST_ECHOED = PATHS_PRINTED +
                                        "source hdiutil info plist --------------------------------------\n"
                                        "{PLIST}\n"
                                        "-----------------------------------------------------------------\n";
// then the one image of the default listings, mounted at /Volumes/Setup,
// loaded, and the search for the volume's image begun.
inline const std::string SEARCH_STARTED = PLIST_ECHOED + "Parsing next image info \n"
                                                         "mount-point: '/Volumes/Setup'\n"
                                                         "Loaded 1 image infos from plist\n"
                                                         "Searching images...\n";

// What becomes of the output file.
enum class OutputFile {
  profile,   // {OUT} holds exactly PROFILE
  empty,     // {OUT} exists and is empty
  untouched, // {OUT} still holds OLD_OUTPUT
  absent     // the output path the run was given was not created; {OUT} still holds OLD_OUTPUT
};

// What a scene's arrangement may change before the run.
struct Stage {
  const TempDir& dir;
  std::vector<Attached> images;          // what the listings describe ({DIR} expanded)
  std::optional<std::string> info = {};  // the text listing, when not the one made from `images`
  std::optional<std::string> plist = {}; // the property list, when not the one made from `images`
  std::string file(const std::string& name) const { return dir.file(name); }
};

class Scene {
public:
  explicit Scene(std::string name);

  // The setup.
  Scene& attached(std::vector<Attached> images);
  Scene& textListing(std::string text);
  Scene& propertyList(std::string text);
  // Anything else the directory or the listings need, done in the scene's
  // directory before the run.
  Scene& arrange(std::function<void(Stage&)> step);
  // A stand-in setting (tests/standin/hdiutil): exit statuses, signals.
  Scene& env(std::string name, std::string value);
  Scene& maxOpenFiles(rlim_t limit);
  Scene& maxFileSize(rlim_t limit);
  // As root, run as NOBODY, so that permissions count.
  Scene& unprivileged();
  Scene& standardOutput(StandardOutput kind);
  Scene& childSignalIgnored();

  // The run.
  Scene& args(std::vector<std::string> args);

  // What it must do.
  Scene& prints(std::string standardOutput);
  // For a run whose standard output the test cannot read at all: says why,
  // and checks everything else.
  Scene& printsNothingObservable(std::string why);
  // The property list as the run echoes it, where that is not all of it
  // (the capture keeps each line up to its first zero byte).
  Scene& echoing(std::string text);
  Scene& exits(int status);
  Scene& output(OutputFile fate);
  // The utility's invocations, one per line ("" when it never ran).
  Scene& calls(std::string invocations);
  // Whatever else must hold afterwards.
  Scene& verify(std::function<void(const Stage&)> check);

  const std::string& name() const { return name_; }

  // Runs the scene and checks everything it states.
  void run() const;

private:
  std::string name_;
  std::optional<std::vector<Attached>> images_;
  std::optional<std::string> info_;
  std::optional<std::string> plist_;
  std::vector<std::function<void(Stage&)>> arrangements_;
  std::vector<std::pair<std::string, std::string>> env_;
  rlim_t maxOpenFiles_ = 0;
  rlim_t maxFileSize_ = 0;
  bool unprivileged_ = false;
  StandardOutput standardOutput_ = StandardOutput::captured;
  bool ignoreChildSignal_ = false;
  std::vector<std::string> args_;
  std::optional<std::string> expected_;
  std::string unobservable_;
  std::optional<std::string> echo_;
  int exitCode_ = 0;
  OutputFile output_ = OutputFile::untouched;
  std::optional<std::string> calls_;
  std::function<void(const Stage&)> verify_;
};

// GoogleTest prints a failing row by its name.
void PrintTo(const Scene& scene, std::ostream* os);

// Replaces {DIR} and {OUT} with the directory's paths.
std::string expandPaths(std::string text, const TempDir& dir);

} // namespace testsupport
