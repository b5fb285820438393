// The simulator's file writing: a temporary file goes on every path unless renamed into place,
// and a replacement is whole or leaves the old file and no temporary behind.
#include "tools/sim/files.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/sim_process.h"

namespace {

using testing::ElementsAre;
using testing_support::read_file;

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/lt7911-files-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir_))
      out.push_back(e.path().filename());
    std::sort(out.begin(), out.end());
    return out;
  }
  std::string dir_;
};

TEST_F(Files, ATemporaryFileGoesWithItsScopeUnlessRenamedIntoPlace) {
  const std::string pid = std::to_string(::getpid());
  {
    sim::TempFile t(dir_ + "/a");
    EXPECT_EQ(t.path(), dir_ + "/a.tmp" + pid);
    ASSERT_EQ(sim::write_file(t.path(), "one"), 0);
    EXPECT_THAT(names(), ElementsAre("a.tmp" + pid));
  }
  EXPECT_THAT(names(), ElementsAre());
  {
    sim::TempFile t(dir_ + "/a");
    ASSERT_EQ(sim::write_file(t.path(), "two"), 0);
    ASSERT_EQ(t.rename_to(dir_ + "/a"), 0);
  }
  EXPECT_THAT(names(), ElementsAre("a"));
  EXPECT_EQ(read_file(dir_ + "/a"), "two");
  {
    // A rename that fails leaves the file temporary: it goes too.
    std::filesystem::create_directory(dir_ + "/d");
    std::filesystem::create_directory(dir_ + "/d/inside");
    sim::TempFile t(dir_ + "/b");
    ASSERT_EQ(sim::write_file(t.path(), "three"), 0);
    EXPECT_LT(t.rename_to(dir_ + "/d"), 0);
  }
  EXPECT_THAT(names(), ElementsAre("a", "d"));
}

TEST_F(Files, AReplacementIsWholeOrLeavesTheOldFileAndNoTemporary) {
  const std::string f = dir_ + "/pid";
  ASSERT_EQ(sim::replace_file(f, "123\n"), 0);
  ASSERT_EQ(sim::replace_file(f, "4567\n"), 0);
  EXPECT_EQ(read_file(f), "4567\n");
  EXPECT_THAT(names(), ElementsAre("pid"));

  // The place is taken by a directory that is not empty: the rename fails.
  const std::string d = dir_ + "/taken";
  std::filesystem::create_directories(d + "/inside");
  EXPECT_LT(sim::replace_file(d, "1\n"), 0);
  // The temporary cannot even be made.
  EXPECT_EQ(sim::replace_file(dir_ + "/missing/pid", "1\n"), -ENOENT);
  EXPECT_THAT(names(), ElementsAre("pid", "taken"));
  EXPECT_EQ(read_file(f), "4567\n");
}

}  // namespace
