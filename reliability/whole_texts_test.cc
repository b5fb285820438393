// A program that reads a text file to its end (cat, Python's read()) gets one whole value, even
// when the text changes between its reads: the second read of an open file serves the rest of
// the text that the read from the start saw, or nothing once the text is another. Found by the
// stress run as "0\n0\n" in the height file: "0\n" read whole, then the tail of "720\n".
#include <gtest/gtest.h>

#include "reliability/rig.h"

namespace reliability {
namespace {

class WholeTexts : public ::testing::Test {
 protected:
  void SetUp() override {
    rig_ = std::make_unique<Rig>();
    ASSERT_EQ(rig_->load_error(), "");
    ASSERT_EQ(rig_->insmod(), 0);
    rig_->settle();
  }
  void TearDown() override {
    for (int fd : fds_) vfs().close(rig_->proc(), fd);
    EXPECT_EQ(rig_->take_warnings(), std::vector<std::string>());
    rig_.reset();
  }
  host::Vfs& vfs() { return rig_->kernel().vfs(); }
  int open(const std::string& file) {
    int fd = vfs().open(rig_->proc(), proc_path(file), O_RDWR);
    if (fd >= 0) fds_.push_back(fd);
    return fd;
  }
  std::string read(int fd, size_t count = 64) {
    host::ReadResult r = vfs().read(rig_->proc(), fd, count);
    EXPECT_GE(r.ret, 0);
    return r.data;
  }
  void event(const std::string& mode) {
    rig_->plug(mode);
    rig_->settle();
  }

  std::unique_ptr<Rig> rig_;
  std::vector<int> fds_;
};

TEST_F(WholeTexts, AReadToTheEndOfASimpleFileGetsOneValue) {
  int fd = open("height");
  ASSERT_GE(fd, 0);
  EXPECT_EQ(read(fd), "0\n");
  event("720p60");  // "720\n": its tail from position 2 would be "0\n"
  EXPECT_EQ(read(fd), "") << "the file ends after the value that was read";
  EXPECT_EQ(rig_->read(proc_path("height")), std::optional<std::string>("720\n"));
  // Read again from the start, the same open file serves the new value.
  vfs().lseek(rig_->proc(), fd, 0, SEEK_SET);
  EXPECT_EQ(read(fd), "720\n");
}

TEST_F(WholeTexts, AReadToTheEndOfTheStatusFileGetsOneValue) {
  event("1080p60");
  ASSERT_EQ(rig_->write(proc_path("status"), "ok"), 2);
  int fd = open("status");
  ASSERT_GE(fd, 0);
  EXPECT_EQ(read(fd), "stable\n");
  rig_->hdmi().unplug();  // "disappear\n": its tail from position 7 would be "ar\n"
  rig_->settle();
  EXPECT_EQ(read(fd), "");
  // The change is still pending for this opener: the read that ended it served nothing.
  std::vector<pollfd> fds{{fd, POLLPRI, 0}};
  EXPECT_EQ(vfs().poll(rig_->proc(), fds, 0), 1);
  vfs().lseek(rig_->proc(), fd, 0, SEEK_SET);
  EXPECT_EQ(read(fd), "disappear\n");
  EXPECT_EQ(vfs().poll(rig_->proc(), fds, 0), 0);
}

TEST_F(WholeTexts, PiecesOfAnUnchangedTextMakeItWhole) {
  event("1080p60");
  int fd = open("width");
  ASSERT_GE(fd, 0);
  std::string all;
  for (std::string piece; !(piece = read(fd, 2)).empty();) all += piece;
  EXPECT_EQ(all, "1920\n");
  // Another text changing between the pieces does not end this one.
  int h = open("height");
  EXPECT_EQ(read(h, 3), "108");
  rig_->hdmi().set_audio_rate(32);
  rig_->settle();
  EXPECT_EQ(read(h, 3), "0\n");
}

TEST_F(WholeTexts, PiecesNeverJoinTwoValues) {
  event("1080p60");
  int fd = open("width");
  ASSERT_GE(fd, 0);
  EXPECT_EQ(read(fd, 2), "19");
  event("720p60");  // "1280\n"
  EXPECT_EQ(read(fd, 64), "") << "not \"80\\n\" from the next value";
}

}  // namespace
}  // namespace reliability
