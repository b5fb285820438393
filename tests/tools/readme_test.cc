// The READMEs' examples, run as a user pastes them: every ```sh block of README.md and
// tools/README.md against a live simulator (a fresh directory for /tmp/board, the build's bin/
// for build/bin/), and the Python poll loop. Blocks that run scripts/ (they install packages and
// build the whole project) are left to CI, which runs them, as are the blocks for a board and
// its kernel tree (scripts/kbuild-check builds the module for one). Also the installed layout and a
// binary copied on its own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "board/board.h"
#include "tests/support/sim_process.h"

namespace {

using ::testing::HasSubstr;
using testing_support::Child;
using testing_support::read_file;

namespace fs = std::filesystem;

fs::path source_root() {
  // <root>/board/dts/lt7911-board.dts
  return fs::path(board::Board::default_dts_path()).parent_path().parent_path().parent_path();
}

// The fenced blocks of a markdown text in the given language.
std::vector<std::string> blocks(const std::string& markdown, const std::string& language) {
  std::vector<std::string> out;
  const std::string open = "```" + language + "\n";
  for (size_t at = markdown.find(open); at != std::string::npos; at = markdown.find(open, at)) {
    at += open.size();
    size_t end = markdown.find("\n```", at);
    if (end == std::string::npos) break;
    out.push_back(markdown.substr(at, end - at + 1));
    at = end;
  }
  return out;
}

void replace_all(std::string* text, const std::string& from, const std::string& to) {
  for (size_t at = text->find(from); at != std::string::npos;
       at = text->find(from, at + to.size())) {
    text->replace(at, from.size(), to);
  }
}

class ReadmeExamples : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string why = testing_support::cannot_mount_here(); !why.empty()) GTEST_SKIP() << why;
    base_ = testing_support::scratch_dir("lt7911-readme");
    ASSERT_FALSE(base_.empty());
  }
  void TearDown() override { testing_support::remove_scratch(base_); }
  // The example as it runs here.
  std::string localised(std::string block) {
    replace_all(&block, "/tmp/board", base_ + "/board");
    replace_all(&block, "build/bin/", testing_support::build_bin());
    return block;
  }
  std::string base_;
};

TEST_F(ReadmeExamples, EveryShellExampleRunsAsWritten) {
  int ran = 0;
  for (const char* readme : {"README.md", "tools/README.md"}) {
    for (const std::string& block : blocks(read_file((source_root() / readme).string()), "sh")) {
      // Blocks that run scripts/ (CI runs those) and blocks for a board or its kernel tree (the
      // .ko, kbuild/: scripts/kbuild-check builds and checks what they show) do not run here.
      if (block.find("scripts/") != std::string::npos ||
          block.find("kbuild") != std::string::npos || block.find(".ko") != std::string::npos) {
        continue;
      }
      SCOPED_TRACE(std::string(readme) + ":\n" + block);
      Child sh;
      ASSERT_TRUE(sh.start({"/bin/bash", "-e", "-o", "pipefail", "-c", localised(block)},
                           {.env = {"LC_ALL=C"}, .cwd = source_root().string()}));
      const std::string out = sh.rest_of_stdout(60'000);
      std::optional<int> st = sh.wait_exit(60'000);
      ASSERT_TRUE(st);
      EXPECT_EQ(Child::code_of(*st), 0) << out << sh.rest_of_stderr();
      // What the examples show happened.
      EXPECT_THAT(out, HasSubstr("new res\n1920\n1080\n60\n"));
      EXPECT_THAT(out, HasSubstr("] HDMI FPS: 60"));
      // And the board they started is gone again.
      EXPECT_FALSE(testing_support::mounted_at(base_ + "/board"));
      EXPECT_FALSE(fs::exists(base_ + "/board.pid"));
      ++ran;
    }
  }
  EXPECT_EQ(ran, 2) << "a README lost its example";
}

TEST_F(ReadmeExamples, ThePythonPollLoopFollowsTheInput) {
  std::vector<std::string> python =
      blocks(read_file((source_root() / "README.md").string()), "python");
  ASSERT_EQ(python.size(), 1u);
  const std::string dir = base_ + "/board";
  fs::create_directory(dir);
  testing_support::SimProcess sim;
  ASSERT_TRUE(sim.start(dir));
  Child loop;
  ASSERT_TRUE(loop.start({"/usr/bin/python3", "-u", "-c", localised(python[0])}));
  // The loop reads the state first and then waits: the plug comes once it waits in poll(2), or
  // its first read would take the change (the file tells each open of a change once).
  const std::string syscall = "/proc/" + std::to_string(loop.pid()) + "/syscall";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  bool polled = false;
  while (!(polled = read_file(syscall).rfind("7 ", 0) == 0) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  ASSERT_TRUE(polled) << "the loop never waited in poll()";
  std::ofstream(dir + "/sim/hdmi") << "plug 1920x1080@60";
  // Other changes of the board's start may come first; each read is printed.
  std::optional<std::string> line;
  while ((line = loop.line()) && *line != "b'new res\\n'") {
  }
  EXPECT_EQ(line, "b'new res\\n'");
  EXPECT_EQ(loop.line(), "b'stable\\n'") << "it acknowledged, and the status became stable";
  loop.signal(SIGKILL);
  sim.child.signal(SIGTERM);
  std::optional<int> st = sim.child.wait_exit();
  ASSERT_TRUE(st);
  EXPECT_EQ(Child::code_of(*st), 0);
}

TEST_F(ReadmeExamples, TheInstalledSimulatorFindsItsModuleAndACopiedOneSaysHowToGiveIt) {
  const std::string build = std::getenv("LT_BUILD_DIR");
  const std::string prefix = base_ + "/prefix";
  Child install;
  ASSERT_TRUE(install.start({"/usr/bin/cmake", "--install", build, "--prefix", prefix}));
  std::optional<int> st = install.wait_exit(120'000);
  ASSERT_TRUE(st);
  ASSERT_EQ(Child::code_of(*st), 0) << install.rest_of_stdout() << install.rest_of_stderr();
  EXPECT_TRUE(fs::exists(prefix + "/lib/lt7911_manage/lt7911_manage.so"));
  EXPECT_TRUE(fs::exists(prefix + "/share/lt7911_manage/lt7911-board.dtb"));

  const Child::Options away{.unset = {"LT_BUILD_DIR"}, .cwd = "/"};
  Child demo;
  ASSERT_TRUE(demo.start({prefix + "/bin/lt7911-sim", "demo"}, away));
  EXPECT_THAT(demo.rest_of_stdout(60'000), HasSubstr("status=new res width=1920"));
  st = demo.wait_exit();
  ASSERT_TRUE(st);
  EXPECT_EQ(Child::code_of(*st), 0) << demo.rest_of_stderr();

  // On its own, the binary finds no module and says how to give one.
  fs::create_directory(base_ + "/alone");
  fs::copy_file(build + "/bin/lt7911-sim", base_ + "/alone/lt7911-sim");
  Child alone;
  ASSERT_TRUE(alone.start({base_ + "/alone/lt7911-sim", "demo"}, away));
  st = alone.wait_exit();
  ASSERT_TRUE(st);
  EXPECT_EQ(Child::code_of(*st), 1);
  EXPECT_THAT(alone.rest_of_stderr(),
              HasSubstr("cannot find the module lt7911_manage.so (looked at " + base_ +
                        "/alone/../lib/lt7911_manage/lt7911_manage.so"));
  Child given;
  ASSERT_TRUE(given.start(
      {base_ + "/alone/lt7911-sim", "--module", build + "/modules/lt7911_manage.so", "demo"},
      away));
  st = given.wait_exit(60'000);
  ASSERT_TRUE(st);
  EXPECT_EQ(Child::code_of(*st), 0) << given.rest_of_stderr();
}

}  // namespace
