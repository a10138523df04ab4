#include "support/scene.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <iostream>
#include <unistd.h>

namespace testsupport {

namespace {

// The images every scene's directory starts with (see scene.h).
void writeSceneImages(const TempDir& dir) {
  writeFile(dir.file("Setup.dmg"), stamped(Bytes(4096, 0x5a), PROFILE));
  writeFile(dir.file("Other.dmg"), stamped(Bytes(64, 1), toBytes("other")));
  writeFile(dir.file("Empty.dmg"), stamped(Bytes(64, 1), {}));
  writeFile(dir.file("NoKoly.dmg"), Bytes(2048, 0));
  Bytes huge = stamped(Bytes(100, 0), {});
  std::fill(huge.end() - 528, huge.end() - 524, 0xff); // length 4294967295
  writeFile(dir.file("Huge.dmg"), huge);
  Bytes shortImage = udifTrailer();
  shortImage.insert(shortImage.begin(), 10, 0x41); // 522 bytes: trailer, no descriptor
  writeFile(dir.file("Short.dmg"), shortImage);
}

// EXPECT_EQ on two 100 MB texts would print both; this names the first
// difference instead.
void expectSameText(const std::string& actual, const std::string& expected) {
  if (actual.size() < 65536 && expected.size() < 65536) {
    EXPECT_EQ(actual, expected);
    return;
  }
  if (actual != expected) {
    const std::size_t at = static_cast<std::size_t>(
        std::mismatch(actual.begin(),
                      actual.begin() + static_cast<std::ptrdiff_t>(std::min(actual.size(), expected.size())),
                      expected.begin())
            .first -
        actual.begin());
    ADD_FAILURE() << "standard output differs at byte " << at << " of " << actual.size() << " (expected "
                  << expected.size() << "): '" << actual.substr(at, 200) << "' instead of '"
                  << expected.substr(at, 200) << "'";
  }
}

} // namespace

std::string expandPaths(std::string text, const TempDir& dir) {
  replaceAll(text, "{OUT}", dir.file("profile.out"));
  return expandDir(std::move(text), dir);
}

Scene::Scene(std::string name) : name_(std::move(name)), args_{PKG, "{OUT}"} {}

Scene& Scene::attached(std::vector<Attached> images) {
  images_ = std::move(images);
  return *this;
}

Scene& Scene::textListing(std::string text) {
  info_ = std::move(text);
  return *this;
}

Scene& Scene::propertyList(std::string text) {
  plist_ = std::move(text);
  return *this;
}

Scene& Scene::arrange(std::function<void(Stage&)> step) {
  arrangements_.push_back(std::move(step));
  return *this;
}

Scene& Scene::env(std::string name, std::string value) {
  env_.emplace_back(std::move(name), std::move(value));
  return *this;
}

Scene& Scene::maxOpenFiles(rlim_t limit) {
  maxOpenFiles_ = limit;
  return *this;
}

Scene& Scene::maxFileSize(rlim_t limit) {
  maxFileSize_ = limit;
  return *this;
}

Scene& Scene::unprivileged() {
  unprivileged_ = true;
  return *this;
}

Scene& Scene::standardOutput(StandardOutput kind) {
  standardOutput_ = kind;
  return *this;
}

Scene& Scene::childSignalIgnored() {
  ignoreChildSignal_ = true;
  return *this;
}

Scene& Scene::args(std::vector<std::string> args) {
  args_ = std::move(args);
  return *this;
}

Scene& Scene::prints(std::string standardOutput) {
  expected_ = std::move(standardOutput);
  return *this;
}

Scene& Scene::printsNothingObservable(std::string why) {
  expected_.reset();
  unobservable_ = std::move(why);
  return *this;
}

Scene& Scene::echoing(std::string text) {
  echo_ = std::move(text);
  return *this;
}

Scene& Scene::exits(int status) {
  exitCode_ = status;
  return *this;
}

Scene& Scene::output(OutputFile fate) {
  output_ = fate;
  return *this;
}

Scene& Scene::calls(std::string invocations) {
  calls_ = std::move(invocations);
  return *this;
}

Scene& Scene::verify(std::function<void(const Stage&)> check) {
  verify_ = std::move(check);
  return *this;
}

void PrintTo(const Scene& scene, std::ostream* os) {
  *os << scene.name();
}

void Scene::run() const {
  ASSERT_TRUE(expected_ || !unobservable_.empty()) << name_ << " states no standard output";
  if (maxOpenFiles_ != 0 && std::getenv("BRACKWELL_SANITIZED") != nullptr) {
    // The sanitizers' runtime probes memory through a pipe of its own and
    // misreports when no descriptor is left; the unsanitized builds run this.
    GTEST_SKIP() << "needs an unsanitized binary";
  }
  TempDir dir;
  writeSceneImages(dir);
  writeFile(dir.file("profile.out"), OLD_OUTPUT);
  writeFile(dir.file("calls.log"), std::string());

  Stage stage{dir, images_
                       ? *images_
                       : std::vector<Attached>{{"{DIR}/Setup.dmg", "{DIR}/Setup.dmg", {"/Volumes/Setup"}}}};
  for (Attached& image : stage.images) {
    image.path = expandPaths(image.path, dir);
    image.alias = expandPaths(image.alias, dir);
  }
  stage.info = info_;
  stage.plist = plist_;
  for (const auto& step : arrangements_) {
    step(stage);
  }

  ChildSetup setup;
  setup.maxOpenFiles = maxOpenFiles_;
  setup.maxFileSize = maxFileSize_;
  setup.standardOutput = standardOutput_;
  setup.ignoreChildSignal = ignoreChildSignal_;
  // Every scene ends well within this, also under the sanitizers; a run that
  // blocks (on a FIFO, say) is killed instead of hanging the suite.
  setup.timeoutSeconds = 120;
  if (unprivileged_ && geteuid() == 0) {
    const char* bin = std::getenv("BRACKWELL_BIN");
    const char* standin = std::getenv("BRACKWELL_STANDIN");
    if (bin == nullptr || standin == nullptr || !canRunAs(NOBODY, bin, standin)) {
      GTEST_SKIP() << "permissions do not stop root, and uid 65534 cannot run the build here";
    }
    setup.runAs = NOBODY;
  }

  const std::string plist = stage.plist ? *stage.plist : plistListing(stage.images);
  writeFile(dir.file("info.txt"), stage.info ? *stage.info : testsupport::textListing(stage.images));
  writeFile(dir.file("info.plist"), plist);
  setup.env = {{"BRACKWELL_STANDIN_INFO", dir.file("info.txt")},
               {"BRACKWELL_STANDIN_PLIST", dir.file("info.plist")},
               {"BRACKWELL_STANDIN_LOG", dir.file("calls.log")}};
  setup.env.insert(setup.env.end(), env_.begin(), env_.end());
  std::vector<std::string> args;
  for (const std::string& arg : args_) {
    args.push_back(expandPaths(arg, dir));
  }

  const auto started = std::chrono::steady_clock::now();
  const RunResult result = runTool(args, setup);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (seconds > 5) {
    std::cout << name_ << ": the run took " << seconds << " s\n";
  }

  if (expected_) {
    std::string expected = expandPaths(*expected_, dir);
    replaceAll(expected, "{PLIST}", echo_ ? *echo_ : plist);
    expectSameText(result.out, expected);
  } else {
    ::testing::Test::RecordProperty("standard output", "not observable: " + unobservable_);
  }
  EXPECT_EQ(result.exitCode, exitCode_);
  if (calls_) {
    const Bytes logged = readFile(dir.file("calls.log"));
    EXPECT_EQ(std::string(logged.begin(), logged.end()), *calls_);
  }
  const Bytes out = readFile(dir.file("profile.out"));
  switch (output_) {
  case OutputFile::profile:
    EXPECT_EQ(out, PROFILE);
    break;
  case OutputFile::empty:
    EXPECT_TRUE(out.empty());
    break;
  case OutputFile::untouched:
    EXPECT_EQ(out, toBytes(OLD_OUTPUT));
    break;
  case OutputFile::absent:
    EXPECT_FALSE(args.size() >= 2 && exists(args[1])) << "an output file was created at " << args[1];
    EXPECT_EQ(out, toBytes(OLD_OUTPUT));
    break;
  }
  if (verify_) {
    verify_(stage);
  }
}

} // namespace testsupport
