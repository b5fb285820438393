// The status file's poll/read/"ok" protocol with several openers, the simple reads, and the
// power file's writes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "driver/driver_fixture.h"
#include "platform/host/slab.h"

namespace driver_test {
namespace {

class StatusFile : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    ASSERT_EQ(insmod(), 0);
  }
  ssize_t write_fd(int fd, std::string_view bytes) {
    return kernel().vfs().write(proc_, fd, bytes);
  }
  std::string read_fd(int fd, size_t n = 64) { return kernel().vfs().read(proc_, fd, n).data; }
  void rewind(int fd) { kernel().vfs().lseek(proc_, fd, 0, SEEK_SET); }
};

TEST_F(StatusFile, FreshOpenSeesNoEventUntilAPublication) {
  int fd = open("status", O_RDWR);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(poll_now(fd), 0);
  plug("1080p60");
  EXPECT_EQ(poll_now(fd), POLLPRI);
  EXPECT_EQ(poll_now(fd), POLLPRI) << "stays pending until this opener reads";
  EXPECT_EQ(read_fd(fd, 1), "n");
  EXPECT_EQ(poll_now(fd), 0);
}

TEST_F(StatusFile, ReadAtTheEndLeavesTheEventPendingAndARereadCatchesUp) {
  int fd = open("status");
  EXPECT_EQ(read_fd(fd), "disappear\n");
  plug("1080p60");
  EXPECT_EQ(read_fd(fd), "") << "at the end";
  EXPECT_EQ(poll_now(fd), POLLPRI);
  rewind(fd);
  EXPECT_EQ(read_fd(fd), "new res\n");
  EXPECT_EQ(poll_now(fd), 0);
}

TEST_F(StatusFile, OneOpenersReadLeavesTheOthersEventPending) {
  int a = open("status");
  int b = open("status");
  plug("1080p60");
  EXPECT_EQ(read_fd(a), "new res\n");
  EXPECT_EQ(poll_now(a), 0);
  EXPECT_EQ(poll_now(b), POLLPRI);
}

TEST_F(StatusFile, OkAcknowledgesANewResolutionAndWakesEveryOpener) {
  plug("1080p60");
  int a = open("status", O_RDWR);
  int b = open("status");
  EXPECT_EQ(write_fd(a, "ok"), 2);
  EXPECT_EQ(read("status"), "stable\n");
  EXPECT_EQ(poll_now(a), POLLPRI);
  EXPECT_EQ(poll_now(b), POLLPRI);
  // A second "ok" changes nothing and wakes nobody.
  EXPECT_EQ(read_fd(a), "stable\n");
  EXPECT_EQ(read_fd(b), "stable\n");
  EXPECT_EQ(write_fd(a, "ok"), 2);
  EXPECT_EQ(poll_now(a), 0);
  EXPECT_EQ(poll_now(b), 0);
}

TEST_F(StatusFile, BlockedPollerWakesWithPollpri) {
  int fd = open("status");
  short revents = 0;
  host::Thread poller = sched().spawn("poller", [&] {
    std::vector<pollfd> fds{{fd, POLLPRI, 0}};
    kernel().vfs().poll(proc_, fds, -1);
    revents = fds[0].revents;
  });
  settle();
  hdmi().plug(board::Mode::parse("720p60"));
  poller.join();
  EXPECT_EQ(revents, POLLPRI);
}

TEST_F(StatusFile, EveryBlockedPollerWakesAtOnePublication) {
  // Three tasks blocked in poll(): two on their own opens, one more on a shared open.
  int a = open("status");
  int b = open("status");
  std::atomic<short> revents[3] = {-1, -1, -1};
  std::vector<host::Thread> pollers;
  for (int i = 0; i < 3; i++) {
    int fd = i == 0 ? a : b;
    pollers.push_back(sched().spawn("poller", [this, fd, &revents, i] {
      std::vector<pollfd> fds{{fd, POLLPRI, 0}};
      kernel().vfs().poll(proc_, fds, 5000);
      revents[i] = fds[0].revents;
    }));
  }
  wait_queue_head_t* wq = static_cast<wait_queue_head_t*>(
      kernel().modules().symbol(kModule, "lt7911_ctx"));  // begins with the pollers' queue
  ASSERT_NE(wq, nullptr);
  ASSERT_TRUE(sched().run_until([&] { return kernel().vfs().wait_queue(wq)->waiters() == 3; }));
  int64_t published_at = now();
  hdmi().plug(board::Mode::parse("720p60"));
  for (host::Thread& p : pollers) p.join();
  for (int i = 0; i < 3; i++) EXPECT_EQ(revents[i].load(), POLLPRI) << "poller " << i;
  EXPECT_LT(now() - published_at, 1000 * host::kNsPerMs) << "all woke at the publication";
}

struct AckCase {
  std::string name;
  std::string status_before;  // "new res" after a plug, else "disappear"
  std::string bytes;
  ssize_t result;
  std::string status_after;
};

class StatusWrite : public StatusFile, public ::testing::WithParamInterface<AckCase> {};

TEST_P(StatusWrite, IsJudgedOnItsFirstTwoBytes) {
  const AckCase& c = GetParam();
  if (c.status_before == "new res\n") plug("1080p60");
  ASSERT_EQ(read("status"), c.status_before);
  EXPECT_EQ(write("status", c.bytes), c.result);
  EXPECT_EQ(read("status"), c.status_after);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StatusWrite,
    ::testing::Values(AckCase{"Ok", "new res\n", "ok", 2, "stable\n"},
                      AckCase{"OkNewline", "new res\n", "ok\n", 3, "stable\n"},
                      AckCase{"Okay", "new res\n", "okay", 4, "stable\n"},
                      AckCase{"Fifteen", "new res\n", "ok_____________", 15, "stable\n"},
                      AckCase{"Sixteen", "new res\n", "ok______________", -EINVAL, "new res\n"},
                      AckCase{"UpperCase", "new res\n", "OK", 2, "new res\n"},
                      AckCase{"LeadingBlank", "new res\n", " ok", 3, "new res\n"},
                      AckCase{"LoneK", "new res\n", "k", 1, "new res\n"},
                      AckCase{"Empty", "new res\n", "", 0, "new res\n"},
                      AckCase{"DisappearIsNotAcknowledged", "disappear\n", "ok\n", 3,
                              "disappear\n"}),
    [](const auto& info) { return info.param.name; });

TEST_F(StatusFile, ShortWriteIsNotJudgedOnAnEarlierWritesBytes) {
  plug("1080p60");
  // "ok" would acknowledge; write "xk" then a lone "o": the buffer holds "ok" afterwards, but
  // a one-byte write is judged on its own byte.
  EXPECT_EQ(write("status", "xk"), 2);
  EXPECT_EQ(write("status", "o"), 1);
  EXPECT_EQ(read("status"), "new res\n");
}

TEST_F(StatusFile, UnreadableUserBufferFailsWithEfault) {
  plug("1080p60");
  int fd = open("status", O_RDWR);
  char bytes[2] = {'o', 'k'};
  EXPECT_EQ(kernel().vfs().write(proc_, fd, host::UserBuffer::faulting_after(bytes, 2, 1), 2),
            -EFAULT);
  EXPECT_EQ(kernel().vfs().write(proc_, fd, host::UserBuffer::unmapped(2), 2), -EFAULT);
  EXPECT_EQ(read("status"), "new res\n");
  // A read into an unwritable buffer fails and leaves the event pending.
  plug("720p60");
  char out[16];
  EXPECT_EQ(kernel().vfs().read(proc_, fd, host::UserBuffer::unmapped(16), 16), -EFAULT);
  (void)out;
  EXPECT_EQ(poll_now(fd), POLLPRI);
}

TEST_F(StatusFile, OpenFailsWhenTheCounterCannotBeAllocated) {
  kernel().faults().inject({"kzalloc"});
  EXPECT_EQ(open("status"), -ENOMEM);
  EXPECT_EQ(kernel().modules().refcount(kModule), 0) << "the reference was given back";
}

TEST_F(StatusFile, EachOpenHoldsOneAllocationUntilItsClose) {
  const size_t before = host::slab_live_allocations();
  int a = open("status");
  int b = open("status");
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  EXPECT_EQ(host::slab_live_allocations(), before + 2);
  close(a);
  close(b);
  EXPECT_EQ(host::slab_live_allocations(), before);
}

TEST_F(StatusFile, OpenFailsWithEnodevWhileTheModuleIsGoing) {
  kernel().faults().inject({"try_module_get"});
  EXPECT_EQ(open("status"), -ENODEV);
  EXPECT_EQ(kernel().modules().refcount(kModule), 0);
}

TEST_F(StatusFile, SimpleReadsServeTheTextInPieces) {
  plug("1080p60");
  int fd = open("width");
  EXPECT_EQ(read_fd(fd, 1), "1");
  EXPECT_EQ(read_fd(fd, 64), "920\n");
  EXPECT_EQ(read_fd(fd, 64), "");
}

// A read that goes on after the text changed ends there: it never serves the tail of the new
// text after the head of the old one. A rewind reads the new text whole. The pairs of texts share
// their first byte, all but their first byte, and nothing.
TEST_F(StatusFile, AReadGoingOnAfterTheTextChangedEndsThere) {
  struct Change {
    const char* file;
    const char* before_mode;
    const char* after_mode;
    const char* head;  // read before the change
    const char* after;
  };
  const Change changes[] = {
      {"width", "1080p60", "720p60", "19", "1280\n"},
      {"fps", "1080p60", "1080p30", "6", "30\n"},
      {"status", nullptr, "1080p60", "dis", "new res\n"},
  };
  for (const Change& c : changes) {
    SCOPED_TRACE(c.file);
    if (c.before_mode) plug(c.before_mode);
    int fd = open(c.file);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(read_fd(fd, strlen(c.head)), c.head);
    plug(c.after_mode);
    EXPECT_EQ(read_fd(fd), "") << "not the new text's tail";
    rewind(fd);
    EXPECT_EQ(read_fd(fd), c.after);
    EXPECT_EQ(read_fd(fd), "");
    unplug();
  }
}

// Without a read from the start there is no text to hold a later read to: a read at an offset
// serves the current text's tail, before and after a change.
TEST_F(StatusFile, AReadAtAnOffsetWithoutAReadFromTheStartServesTheTail) {
  plug("1080p60");
  for (const char* file : {"width", "status"}) {
    SCOPED_TRACE(file);
    int fd = open(file);
    ASSERT_GE(fd, 0);
    kernel().vfs().lseek(proc_, fd, 2, SEEK_SET);
    EXPECT_EQ(read_fd(fd), file == std::string("width") ? "20\n" : "w res\n");
  }
}

// Power writes.
struct PowerCase {
  std::string name;
  std::string bytes;
  ssize_t result;
  std::string power_after;  // "" when nothing switches
};

class PowerWrite : public StatusFile, public ::testing::WithParamInterface<PowerCase> {};

TEST_P(PowerWrite, AcceptsOnlyItsWords) {
  const PowerCase& c = GetParam();
  plug("1080p60");
  int fd = open("status");
  read_fd(fd);
  EXPECT_EQ(write("power", c.bytes), c.result);
  if (c.power_after.empty()) {
    EXPECT_EQ(read("power"), "on\n");
    EXPECT_EQ(read("status"), "new res\n");
    EXPECT_EQ(poll_now(fd), 0);
  } else if (c.power_after == "off\n") {
    EXPECT_EQ(read("power"), "off\n");
    EXPECT_FALSE(chip().powered());
    EXPECT_EQ(read("status"), "disappear\n");
    EXPECT_EQ(poll_now(fd), POLLPRI);
    // The other texts keep their values.
    EXPECT_EQ(read("width"), "1920\n");
    EXPECT_EQ(read("fps"), "60\n");
    EXPECT_EQ(read("asr"), "48\n");
  } else {
    EXPECT_EQ(read("power"), "on\n");
    EXPECT_TRUE(chip().powered());
    EXPECT_EQ(read("status"), "new res\n") << "switching on publishes nothing";
    EXPECT_EQ(poll_now(fd), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PowerWrite,
    ::testing::Values(PowerCase{"On", "on", 2, "on\n"}, PowerCase{"OnNewline", "on\n", 3, "on\n"},
                      PowerCase{"One", "one", 3, "on\n"}, PowerCase{"Digit1", "1", 1, "on\n"},
                      PowerCase{"Ten", "10", 2, "on\n"}, PowerCase{"Off", "off", 3, "off\n"},
                      PowerCase{"OffNewline", "off\n", 4, "off\n"},
                      PowerCase{"Digit0", "0", 1, "off\n"}, PowerCase{"ZeroX", "0x", 2, "off\n"},
                      PowerCase{"FifteenOff", "off____________", 15, "off\n"},
                      PowerCase{"SixteenOff", "off_____________", -EINVAL, ""},
                      PowerCase{"Of", "of", -EINVAL, ""}, PowerCase{"UpperOn", "ON", -EINVAL, ""},
                      PowerCase{"Empty", "", -EINVAL, ""}, PowerCase{"Digit2", "2", -EINVAL, ""},
                      PowerCase{"LeadingBlank", " on", -EINVAL, ""}),
    [](const auto& info) { return info.param.name; });

TEST_F(StatusFile, PowerWriteFailsWithEioWhenTheLineCannotBeDriven) {
  plug("1080p60");
  kernel().faults().inject({"gpiod_direction_output"});
  size_t mark = log_mark();
  EXPECT_EQ(write("power", "off"), -EIO);
  EXPECT_THAT(errors_since(mark), ::testing::ElementsAre("Failed to set GPIO 67 to low"));
  EXPECT_EQ(read("power"), "on\n");
  EXPECT_EQ(read("status"), "new res\n");
}

TEST_F(StatusFile, PowerOnFailsWithEioWhenTheLineCannotBeDriven) {
  ASSERT_EQ(write("power", "off"), 3);
  kernel().faults().inject({"gpiod_direction_output"});
  size_t mark = log_mark();
  EXPECT_EQ(write("power", "on"), -EIO);
  EXPECT_THAT(errors_since(mark), ::testing::ElementsAre("Failed to set GPIO 67 to high"));
  EXPECT_EQ(read("power"), "off\n");
}

TEST_F(StatusFile, PowerWriteFromAnUnreadableBufferFailsWithEfault) {
  int fd = open("power", O_WRONLY);
  EXPECT_EQ(kernel().vfs().write(proc_, fd, host::UserBuffer::unmapped(3), 3), -EFAULT);
  EXPECT_EQ(read("power"), "on\n");
}

TEST_F(StatusFile, PowerComingBackMakesTheNextAccessSelectItsBankAgain) {
  plug("1080p60");
  ASSERT_EQ(write("power", "off"), 3);
  EXPECT_EQ(read("status"), "disappear\n");
  size_t mark = bus().log().mark();
  ASSERT_EQ(write("power", "on"), 2);
  settle();
  // Powered again, the chip signals the input it sees, and the worker runs. Its first access is
  // the enable in bank 0x80, which the last run also used; the chip forgot its bank at
  // power-up, so the select is sent again.
  std::vector<std::string> lines = bus().log().lines_since(mark);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "select 0x80");
  EXPECT_EQ(read("status"), "new res\n");
}

TEST_F(StatusFile, ConcurrentReadersSeeWholeTexts) {
  // Readers race the worker's and the parameter writers' updates; every read is a whole text.
  std::atomic<bool> done{false};
  std::vector<std::string> bad;
  host::Thread reader = sched().spawn("reader", [&] {
    host::Process p{400, 0, 0, "reader"};
    while (!done.load()) {
      int fd = kernel().vfs().open(p, proc_path("width"), O_RDONLY);
      std::string t = kernel().vfs().read(p, fd, 64).data;
      kernel().vfs().close(p, fd);
      if (t != "0\n" && t != "1920\n" && t != "1280\n") bad.push_back(t);
      sched().sleep_for(host::kNsPerMs);
    }
  });
  for (int i = 0; i < 10; i++) {
    hdmi().plug(board::Mode::parse(i % 2 ? "720p60" : "1080p60"));
    advance_ms(50);
  }
  done = true;
  reader.join();
  EXPECT_TRUE(bad.empty()) << bad.front();
}

}  // namespace
}  // namespace driver_test
