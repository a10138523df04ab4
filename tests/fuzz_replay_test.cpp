// The committed fuzz inputs, replayed through the fuzz targets' checks in
// every build (plain, sanitized, libc++, release): each seed of
// fuzz/corpus/<target> and each finding kept in fuzz/regressions/<target>
// (fuzz/regressions/README.md) must pass.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "checks.h"
#include "support/test_support.h"

namespace {

struct Target {
  std::string name;
  std::function<std::string(std::string_view, const testsupport::TempDir&)> check;
};

const std::vector<Target>& targets() {
  static const std::vector<Target> all = {
      {"listing", [](std::string_view input, const auto&) { return fuzzcheck::checkListing(input); }},
      {"listing_line",
       [](std::string_view input, const auto&) { return fuzzcheck::checkListingLine(input); }},
      {"plist", [](std::string_view input, const auto&) { return fuzzcheck::checkPlist(input); }},
      {"package_path",
       [](std::string_view input, const auto&) { return fuzzcheck::checkPackagePath(input); }},
      {"profile",
       [](std::string_view input, const testsupport::TempDir& dir) {
         return fuzzcheck::checkProfile(input, dir.file("image.dmg"));
       }},
      {"recipe", [](std::string_view input,
                    const testsupport::TempDir& dir) { return fuzzcheck::checkRecipe(input, dir.path()); }},
  };
  return all;
}

struct Input {
  std::string target;
  std::string kind; // "corpus" or "regressions"
  std::string file;
};

// The names in `dir`, sorted, without hidden files.
std::vector<std::string> filesIn(const std::string& dir) {
  std::vector<std::string> files = testsupport::listDirectory(dir);
  files.erase(
      std::remove_if(files.begin(), files.end(), [](const std::string& name) { return name[0] == '.'; }),
      files.end());
  return files;
}

std::vector<Input> inputs() {
  std::vector<Input> all;
  for (const Target& target : targets()) {
    for (const std::string kind : {"corpus", "regressions"}) {
      for (const std::string& file :
           filesIn(std::string(BRACKWELL_FUZZ_DIR) + "/" + kind + "/" + target.name)) {
        all.push_back({target.name, kind, file});
      }
    }
  }
  return all;
}

void PrintTo(const Input& input, std::ostream* os) {
  *os << input.kind << "/" << input.target << "/" << input.file;
}

class FuzzReplay : public ::testing::TestWithParam<Input> {};

TEST_P(FuzzReplay, PassesItsCheck) {
  const Input& input = GetParam();
  const std::string path =
      std::string(BRACKWELL_FUZZ_DIR) + "/" + input.kind + "/" + input.target + "/" + input.file;
  const testsupport::Bytes bytes = testsupport::readFile(path);
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  const testsupport::TempDir dir;
  for (const Target& target : targets()) {
    if (target.name == input.target) {
      EXPECT_EQ(target.check(text, dir), "") << path;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Inputs, FuzzReplay, ::testing::ValuesIn(inputs()),
                         [](const ::testing::TestParamInfo<Input>& row) {
                           std::string name = row.param.kind + "_" + row.param.target + "_" + row.param.file;
                           for (char& c : name) {
                             c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           }
                           return name;
                         });

// An empty or misplaced corpus would make the table above pass by having no
// rows.
TEST(FuzzCorpus, EveryTargetHasSeeds) {
  for (const Target& target : targets()) {
    EXPECT_FALSE(filesIn(std::string(BRACKWELL_FUZZ_DIR) + "/corpus/" + target.name).empty()) << target.name;
  }
}

// A finding filed under a name that is not a target's would never be
// replayed: everything in fuzz/regressions but its README is a target's
// folder. The README shows that the folder looked at is the real one, where
// an empty listing would pass unseen.
TEST(FuzzRegressions, AreFiledUnderTheirTarget) {
  const std::string dir = std::string(BRACKWELL_FUZZ_DIR) + "/regressions";
  for (const std::string& name : filesIn(dir)) {
    if (name == "README.md") {
      continue;
    }
    const bool isTarget = std::any_of(targets().begin(), targets().end(),
                                      [&](const Target& target) { return target.name == name; });
    EXPECT_TRUE(isTarget && std::filesystem::is_directory(dir + "/" + name))
        << dir << "/" << name << " is not the folder of a fuzz target";
  }
  EXPECT_TRUE(testsupport::exists(dir + "/README.md")) << "the folder says what it is for";
}

} // namespace
