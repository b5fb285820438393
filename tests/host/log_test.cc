// The kernel log: records as Linux 4.19's printk stores them (levels, continuation lines, line
// feeds inside a message, the line length limit), the fixed ring with sequence numbers, readers
// that take what is new, and the text view kernel.log is served from.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/host/log.h"
#include "platform/printk.h"
#include "tests/support/kernel_test.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class LogTest : public testing_support::KernelTest {
 protected:
  host::Log& log() { return kernel().log(); }
  std::vector<host::LogRecord> since(uint64_t mark) { return log().read(mark).records; }
  // Runs fn as another task, to its end.
  void in_other_task(std::function<void()> fn) {
    host::Thread t = sched().spawn("other", std::move(fn));
    t.join();
  }
  // The whole text view, as kernel.log holds it.
  std::string text_view() {
    host::Log::Extent e = log().text_extent();
    std::string out(e.end - e.begin, '\0');
    ssize_t n = log().read_text(e.begin, out.data(), out.size());
    EXPECT_EQ(n, static_cast<ssize_t>(out.size()));
    return out;
  }
};

TEST_F(LogTest, LevelsComeFromTheFirstMarkerOrTheDefault) {
  const uint64_t mark = log().size();
  printk(KERN_ERR "error\n");
  printk("no level\n");
  printk(KERN_INFO KERN_ERR "first marker wins\n");
  auto r = since(mark);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0].level, 3);
  EXPECT_EQ(r[1].level, host::Log::kDefaultLevel);
  EXPECT_EQ(r[2].level, 6);
  EXPECT_EQ(r[2].text, "first marker wins");
  EXPECT_EQ(r[0].seq + 2, r[2].seq);
}

TEST_F(LogTest, ContinuationJoinsTheSameTasksOpenLineAndHidesItUntilStored) {
  const uint64_t mark = log().size();
  printk(KERN_INFO "Writing EDID: ");
  pr_cont("00 ");
  EXPECT_THAT(since(mark), IsEmpty()) << "an open line is not readable yet";
  pr_cont("ff\n");
  auto r = since(mark);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].text, "Writing EDID: 00 ff");
  EXPECT_EQ(r[0].level, 6);
  EXPECT_TRUE(r[0].complete);
}

TEST_F(LogTest, AnotherMessageStoresTheOpenLineAsItIs) {
  const uint64_t mark = log().size();
  printk(KERN_INFO "Writing EDID: ");
  printk(KERN_ERR "EDID data length is not 256 bytes\n");
  auto r = since(mark);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].text, "Writing EDID: ");
  EXPECT_FALSE(r[0].complete);
  EXPECT_EQ(r[1].level, 3);
}

TEST_F(LogTest, ContinuationAfterAnotherTasksOpenLineGetsTheDefaultLevel) {
  const uint64_t mark = log().size();
  printk(KERN_ERR "half a line from the test task");
  in_other_task([] { pr_cont("a fragment\n"); });
  auto r = since(mark);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].text, "half a line from the test task");
  EXPECT_EQ(r[0].level, 3);
  EXPECT_EQ(r[1].text, "a fragment");
  EXPECT_EQ(r[1].level, host::Log::kDefaultLevel);
  EXPECT_NE(r[0].pid, r[1].pid);
}

TEST_F(LogTest, AContinuationThatContinuesNothingIsARecordOrNothing) {
  const uint64_t mark = log().size();
  pr_cont("alone\n");
  pr_cont("\n");           // an empty continuation only ends an open line; there is none
  printk(KERN_INFO "\n");  // an empty line of its own is a record
  auto r = since(mark);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].text, "alone");
  EXPECT_EQ(r[0].level, host::Log::kDefaultLevel);
  EXPECT_EQ(r[1].text, "");
}

TEST_F(LogTest, InnerLineFeedsStayInOneRecord) {
  const uint64_t mark = log().size();
  printk(KERN_INFO "HDCP mode: %s\n", "no hdcp\n");
  printk(KERN_INFO "Writing version: %s\n", "a\nb");
  auto r = since(mark);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].text, "HDCP mode: no hdcp\n");
  EXPECT_EQ(r[1].text, "Writing version: a\nb");
  // As dmesg shows them: a trailing line feed adds no line, an inner one starts an indented
  // continuation line.
  EXPECT_EQ(host::Log::format(r[0]), "<6>[    0.000000] HDCP mode: no hdcp");
  EXPECT_EQ(host::Log::format(r[1]),
            "<6>[    0.000000] Writing version: a\n"
            "                  b");
}

TEST_F(LogTest, UserBytesAreEscapedAsDmesgShowsThem) {
  const uint64_t mark = log().size();
  printk(KERN_INFO "Writing version: %s\n", "\x1b[2J\x7f\xc3\xa9\r\tend\\");
  auto r = since(mark);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(host::Log::format(r[0]),
            "<6>[    0.000000] Writing version: \\x1b[2J\\x7f\\xc3\\xa9\\x0d\tend\\");
}

TEST_F(LogTest, MessagesAreCutAtTheLineLimit) {
  const uint64_t mark = log().size();
  const std::string big(2000, 'x');
  printk(KERN_INFO "%s\n", big.c_str());
  printk(KERN_INFO "next\n");
  auto r = since(mark);
  ASSERT_EQ(r.size(), 2u);
  // 991 bytes are kept, the level marker among them; the line feed was cut off, so the line
  // stayed open until the next message stored it.
  EXPECT_EQ(r[0].text, std::string(host::Log::kLineMax - 3, 'x'));
  EXPECT_FALSE(r[0].complete);
  EXPECT_EQ(r[1].text, "next");
}

TEST_F(LogTest, AContinuationThatDoesNotFitStartsANewRecord) {
  const uint64_t mark = log().size();
  const std::string part(600, 'y');
  printk(KERN_INFO "%s", part.c_str());
  pr_cont("%s", part.c_str());
  pr_cont("\n");
  auto r = since(mark);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].text, part);
  EXPECT_EQ(r[0].level, 6);
  EXPECT_EQ(r[1].text, part);
  EXPECT_EQ(r[1].level, host::Log::kDefaultLevel);
  EXPECT_TRUE(r[1].complete);
}

TEST_F(LogTest, TheRingKeepsTheNewestRecordsAndReadersLearnWhatWasLost) {
  const uint64_t mark = log().size();
  const size_t total = host::Log::kCapacity + 100;
  for (size_t i = 0; i < total; ++i) printk(KERN_INFO "record %zu\n", i);
  EXPECT_EQ(log().next_seq(), mark + total);
  EXPECT_EQ(log().next_seq() - log().first_seq(), host::Log::kCapacity);
  host::Log::Batch b = log().read(mark, 10);
  EXPECT_EQ(b.lost, 100u);
  ASSERT_EQ(b.records.size(), 10u);
  EXPECT_EQ(b.records[0].text, "record 100");
  EXPECT_EQ(b.next, log().first_seq() + 10);
  // A reader that keeps its place gets exactly what is new.
  printk(KERN_INFO "one more\n");
  b = log().read(mark + total);
  EXPECT_EQ(b.lost, 0u);
  ASSERT_EQ(b.records.size(), 1u);
  EXPECT_EQ(b.records[0].text, "one more");
  EXPECT_EQ(log().read(b.next).records.size(), 0u);
  EXPECT_EQ(log().lines().size(), host::Log::kCapacity);
  EXPECT_EQ(log().lines_since(mark + total), std::vector<std::string>{"one more"});
}

TEST_F(LogTest, TheTextViewHoldsTheFormattedRingAtOffsetsFromBoot) {
  const uint64_t mark = log().size();
  printk(KERN_INFO "first\n");
  printk(KERN_ERR "second\n");
  const std::string all = text_view();
  EXPECT_EQ(all, log().dmesg());
  EXPECT_THAT(all, ::testing::HasSubstr("<6>[    0.000000] first\n<3>[    0.000000] second\n"));
  // Reads from any offset inside, in pieces.
  host::Log::Extent e = log().text_extent();
  std::string pieces;
  char buf[7];
  for (uint64_t at = e.begin; at < e.end;) {
    ssize_t n = log().read_text(at, buf, sizeof buf);
    ASSERT_GT(n, 0);
    pieces.append(buf, static_cast<size_t>(n));
    at += static_cast<uint64_t>(n);
  }
  EXPECT_EQ(pieces, all);
  EXPECT_EQ(log().read_text(e.end, buf, sizeof buf), 0);
  // Once the ring wraps, the start is gone, and the held bytes still read.
  for (size_t i = 0; i < host::Log::kCapacity; ++i) printk(KERN_INFO "filler %zu\n", i);
  host::Log::Extent after = log().text_extent();
  EXPECT_EQ(after.begin, e.end);  // the first filler is the oldest held
  EXPECT_EQ(log().read_text(e.begin, buf, sizeof buf), -EPIPE);
  EXPECT_EQ(text_view(), log().dmesg());
  EXPECT_EQ(log().read(mark).lost, 2u);
}

TEST_F(LogTest, SubscribersSeeEveryStoredRecordUntilTheyLeave) {
  std::vector<std::string> seen;
  uint64_t id = log().subscribe([&](const host::LogRecord& r) { seen.push_back(r.text); });
  printk(KERN_INFO "open");
  pr_cont(" and closed\n");
  printk(KERN_INFO "another\n");
  log().unsubscribe(id);
  printk(KERN_INFO "unseen\n");
  EXPECT_THAT(seen, ElementsAre("open and closed", "another"));
}

}  // namespace
