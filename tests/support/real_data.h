// Tests on the real listings and disk images beside the repository
// (BRACKWELL_REALDATA_DIR, see test_support.h). A test of this fixture is
// skipped, saying why, where that directory is absent; where it is present,
// an empty corpus is a failure of the test, not a reason to skip.
//
//   using RealImages = testsupport::RealData;
//   TEST_F(RealImages, ...) { for (const std::string& path : files("images")) ... }
//
// RealDataWithParam<Row> is the same for a table (TEST_P).
#pragma once

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace testsupport {

template <typename Base> class RealDataFixture : public Base {
protected:
  void SetUp() override {
    if (realdataDir().empty()) {
      GTEST_SKIP() << "real data not found under " << BRACKWELL_REALDATA_DIR << ": skipped";
    }
  }
  // The files of one subdirectory ("images", "listings", "signed"), sorted.
  static std::vector<std::string> files(const std::string& subdir) { return realdataFiles(subdir); }
  static std::string path(const std::string& relative) { return realdataDir() + "/" + relative; }
};

using RealData = RealDataFixture<::testing::Test>;
template <typename Row> using RealDataWithParam = RealDataFixture<::testing::TestWithParam<Row>>;

} // namespace testsupport
