// The edid, edid_snapshot and version files: the LT7911D's refusals, validation, the refresh
// window on a controlled real-time clock, and, with chip operations that succeed against the
// chip model's stores, refresh, snapshot, write, verification and restart.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "driver/driver_fixture.h"
#include "driver/edid_samples.h"
#include "monitor/chip_queries.h"

namespace driver_test {
namespace {

using edid_samples::Edid;
using ::testing::ElementsAre;

constexpr int64_t kNsPerMs = host::kNsPerMs;
constexpr int64_t kEpoch = 1'700'000'000LL * 1'000'000'000LL;

std::string bytes_of(const Edid& e) { return std::string(e.begin(), e.end()); }

std::string hex_dump(std::string_view bytes) {
  std::string out = "Writing EDID: ";
  char b[4];
  for (unsigned char c : bytes) {
    std::snprintf(b, sizeof(b), "%02x ", c);
    out += b;
  }
  return out;
}

class EdidFiles : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    ASSERT_EQ(insmod(), 0);
    sched().set_realtime(kEpoch);
    int power = brd().power_line().number();
    // Records the power line's levels and passes them on to the chip, as the board does.
    kernel().gpio().observe_output(power, [this](int, int level) {
      {
        std::lock_guard<std::mutex> l(power_mutex_);
        power_events_.emplace_back(now(), level);
      }
      chip().set_power(level != 0);
    });
  }
  void TearDown() override {
    kernel().gpio().observe_output(brd().power_line().number(),
                                   [this](int, int level) { chip().set_power(level != 0); });
    DriverTest::TearDown();
  }
  std::vector<std::pair<int64_t, int>> power_events() {
    std::lock_guard<std::mutex> l(power_mutex_);
    return power_events_;
  }
  void clear_power_events() {
    std::lock_guard<std::mutex> l(power_mutex_);
    power_events_.clear();
  }
  // Whether the power went off and on again 100 ms later since the last clear.
  bool restarted() {
    std::vector<std::pair<int64_t, int>> ev = power_events();
    for (size_t i = 0; i + 1 < ev.size(); i++)
      if (ev[i].second == 0 && ev[i + 1].second == 1 &&
          ev[i + 1].first - ev[i].first == 100 * kNsPerMs)
        return true;
    return false;
  }
  bool switched_off() {
    for (auto& [t, level] : power_events())
      if (level == 0) return true;
    return false;
  }
  host::ReadResult read_at(const std::string& file, loff_t pos, size_t n) {
    int fd = open(file);
    kernel().vfs().lseek(proc_, fd, pos, SEEK_SET);
    host::ReadResult r = kernel().vfs().read(proc_, fd, n);
    close(fd);
    return r;
  }
  ssize_t read_result(const std::string& file) { return read_at(file, 0, 4096).ret; }

  std::mutex power_mutex_;
  std::vector<std::pair<int64_t, int>> power_events_;
};

// ---- The LT7911D refuses every chip step ----

TEST_F(EdidFiles, Lt7911dReadFailsEveryTimeAndLeavesThePowerOn) {
  for (int i = 0; i < 2; i++) {
    size_t mark = log_mark();
    EXPECT_EQ(read_result("edid"), -EIO);
    EXPECT_THAT(log_since(mark),
                ElementsAre("Reading EDID from LT7911UXC...",
                            "LT7911D chip platform does not support EDID reading"));
  }
  EXPECT_EQ(read("power"), "on\n");
  EXPECT_EQ(read("edid_snapshot"), "");
}

TEST_F(EdidFiles, Lt7911dValidWriteSwitchesOnAndFails) {
  ASSERT_EQ(write("power", "off"), 3);
  Edid e = edid_samples::monitor_1080p();
  size_t mark = log_mark();
  EXPECT_EQ(write("edid", bytes_of(e)), -EIO);
  EXPECT_THAT(
      log_since(mark),
      ElementsAre(hex_dump(bytes_of(e)), "LT7911D chip platform does not support String reading"));
  EXPECT_EQ(read("power"), "on\n");
  EXPECT_EQ(read("edid_snapshot"), "");
}

TEST_F(EdidFiles, Lt7911dVersion) {
  EXPECT_EQ(read("version"), "unknown\n");
  EXPECT_EQ(read_at("version", 8, 16).ret, 0);
  ASSERT_EQ(write("power", "off"), 3);
  size_t mark = log_mark();
  EXPECT_EQ(write("version", "1.0\n"), -EIO);
  EXPECT_THAT(log_since(mark),
              ElementsAre("Writing version: 1.0\n",  // the written line feed stays in the record
                          "LT7911D chip platform does not support String reading"));
  EXPECT_EQ(read("power"), "on\n");
  EXPECT_EQ(read("version"), "unknown\n");
  EXPECT_EQ(write("version", std::string(33, 'v')), -EIO);
  EXPECT_EQ(write("version", std::string(4096, 'v')), -EIO);
}

// ---- Validation, before the chip or its power is touched ----

TEST_F(EdidFiles, WrongLengthsAreDumpedThenRefused) {
  for (size_t n : {255u, 257u, 128u}) {
    std::string bytes(n, '\x5a');
    clear_power_events();
    size_t mark = log_mark();
    EXPECT_EQ(write("edid", bytes), -EINVAL) << n;
    EXPECT_THAT(log_since(mark), ElementsAre(hex_dump(bytes), "EDID data length is not 256 bytes"));
    EXPECT_TRUE(power_events().empty());
  }
  size_t mark = log_mark();
  EXPECT_EQ(write("edid", ""), -EINVAL);
  EXPECT_THAT(log_since(mark), ElementsAre("Writing EDID: ", "EDID data length is not 256 bytes"));
}

TEST_F(EdidFiles, ValidEdidInTwoHalvesIsRefusedTwice) {
  std::string e = bytes_of(edid_samples::monitor_1080p());
  EXPECT_EQ(write("edid", e.substr(0, 128)), -EINVAL);
  EXPECT_EQ(write("edid", e.substr(128)), -EINVAL);
}

TEST_F(EdidFiles, LongWritesAreBoundedAndTheirDumpIsCut) {
  std::string big(1 << 20, '\x11');
  size_t mark = log_mark();
  EXPECT_EQ(write("edid", big), -EINVAL);
  // The dump is longer than a log line: the log holds it in pieces of at most a line each.
  auto dump_and_last = [&](size_t from) {
    std::vector<std::string> lines = log_since(from);
    std::string dump;
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
      EXPECT_LE(lines[i].size(), host::Log::kLineMax);
      dump += lines[i];
    }
    return std::make_pair(dump, lines.empty() ? std::string() : lines.back());
  };
  auto [dump, last] = dump_and_last(mark);
  EXPECT_EQ(dump, hex_dump(big.substr(0, 1024)) + "...");
  EXPECT_EQ(last, "EDID data length is not 256 bytes");
  // Up to 1024 bytes the dump shows every byte.
  std::string kb(1024, '\x22');
  mark = log_mark();
  EXPECT_EQ(write("edid", kb), -EINVAL);
  EXPECT_EQ(dump_and_last(mark).first, hex_dump(kb));
}

TEST_F(EdidFiles, UnreadableWriteBufferFailsWithEfaultAndLogsNothing) {
  std::string e = bytes_of(edid_samples::monitor_1080p());
  int fd = open("edid", O_WRONLY);
  size_t mark = log_mark();
  EXPECT_EQ(
      kernel().vfs().write(proc_, fd, host::UserBuffer::faulting_after(e.data(), 256, 200), 256),
      -EFAULT);
  std::string big(4096, 'x');
  EXPECT_EQ(kernel().vfs().write(proc_, fd,
                                 host::UserBuffer::faulting_after(big.data(), 4096, 3000), 4096),
            -EFAULT);
  int vfd = open("version", O_WRONLY);
  EXPECT_EQ(kernel().vfs().write(proc_, vfd, host::UserBuffer::unmapped(4), 4), -EFAULT);
  EXPECT_TRUE(log_since(mark).empty());
}

struct Broken {
  std::string name;
  int index;   // byte changed by +1
  int index2;  // a second byte changed by +1, or -1
  std::string message;
};

class EdidValidation : public EdidFiles, public ::testing::WithParamInterface<Broken> {};

TEST_P(EdidValidation, ReportsTheFirstFailingCheck) {
  const Broken& b = GetParam();
  Edid e = edid_samples::monitor_1080p();
  e[b.index]++;
  if (b.index2 >= 0) e[b.index2]++;
  size_t mark = log_mark();
  EXPECT_EQ(write("edid", bytes_of(e)), -EINVAL);
  EXPECT_THAT(log_since(mark), ElementsAre(hex_dump(bytes_of(e)), b.message));
  EXPECT_TRUE(power_events().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Checks, EdidValidation,
    ::testing::Values(Broken{"Header", 7, -1, "EDID header is invalid"},
                      Broken{"FirstBlock", 60, -1, "Checksum for first 128 bytes is incorrect"},
                      Broken{"SecondBlock", 200, -1, "Checksum for second 128 bytes is incorrect"},
                      Broken{"BothBlocks", 60, 200, "Checksum for first 128 bytes is incorrect"}),
    [](const auto& info) { return info.param.name; });

// ---- edid-decode and the checksum checks agree ----

// What edid-decode says of each block's checksum: true for a correct one.
std::vector<bool> edid_decode_checksums(const Edid& e) {
  std::string path = ::testing::TempDir() + "lt7911_edid_" + std::to_string(getpid()) + ".bin";
  FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(e.data(), 1, e.size(), f);
  std::fclose(f);
  std::vector<bool> ok;
  FILE* p = popen(("edid-decode " + path + " 2>&1").c_str(), "r");
  char line[512];
  while (p && std::fgets(line, sizeof(line), p)) {
    std::string l(line);
    if (l.find("Checksum: 0x") != std::string::npos)
      ok.push_back(l.find("should be") == std::string::npos);
  }
  if (p) pclose(p);
  return ok;
}

TEST_F(EdidFiles, ChecksumVerdictsMatchEdidDecode) {
  std::vector<std::pair<std::string, Edid>> samples;
  samples.emplace_back("monitor", edid_samples::monitor_1080p());
  samples.emplace_back("other name", edid_samples::monitor_1080p("Bridge Panel"));
  Edid bad_base = edid_samples::monitor_1080p();
  bad_base[100] ^= 0x40;
  samples.emplace_back("broken base", bad_base);
  Edid bad_ext = edid_samples::monitor_1080p();
  bad_ext[140] ^= 0x01;
  samples.emplace_back("broken extension", bad_ext);
  for (auto& [name, e] : samples) {
    std::vector<bool> verdict = edid_decode_checksums(e);
    ASSERT_EQ(verdict.size(), 2u) << name << ": is edid-decode installed?";
    size_t mark = log_mark();
    ssize_t ret = write("edid", bytes_of(e));
    std::vector<std::string> errs = errors_since(mark);
    if (verdict[0] && verdict[1]) {
      EXPECT_EQ(ret, -EIO) << name << ": valid, refused only by the chip";
      EXPECT_EQ(
          std::count(errs.begin(), errs.end(), "Checksum for first 128 bytes is incorrect") +
              std::count(errs.begin(), errs.end(), "Checksum for second 128 bytes is incorrect"),
          0)
          << name;
    } else {
      EXPECT_EQ(ret, -EINVAL) << name;
      EXPECT_THAT(errs, ElementsAre(!verdict[0] ? "Checksum for first 128 bytes is incorrect"
                                                : "Checksum for second 128 bytes is incorrect"))
          << name;
    }
  }
}

// ---- With chip operations that succeed against the chip model ----

struct Store {
  board::Lt7911d* chip = nullptr;
  const lt7911_chip_ops* shipped = nullptr;
  int edid_reads = 0;
  int edid_writes = 0;
  int corrupt_edid_at = -1;      // read-back byte changed, or -1
  std::string version_readback;  // returned instead of the store's, if not empty
  bool watchdog_fails = false;
  int hdcp_mode = -1;  // the mode to answer; -1: the shipped answer; -2: the query fails
  bool edid_read_fails = false;
  bool str_read_fails = false;
  bool powered_at_edid_read = false;
};
Store store;

int op_disable_watchdog() {
  if (store.watchdog_fails) return -1;
  return store.shipped->disable_watchdog();
}
int op_get_hdcp_mode(u8* mode) {
  if (store.hdcp_mode == -2) return -1;
  if (store.hdcp_mode < 0) return store.shipped->get_hdcp_mode(mode);
  *mode = static_cast<u8>(store.hdcp_mode);
  return 0;
}
int op_edid_read(u8* buf, u16 len) {
  store.powered_at_edid_read = store.chip->powered();
  if (store.edid_read_fails) return -1;
  store.edid_reads++;
  std::array<uint8_t, 256> e = store.chip->edid();
  std::memcpy(buf, e.data(), std::min<size_t>(len, e.size()));
  if (store.corrupt_edid_at >= 0) buf[store.corrupt_edid_at] ^= 0x01;
  return 0;
}
int op_str_read(u8* buf) {
  if (store.str_read_fails) return -1;
  std::array<uint8_t, 32> v = store.chip->version();
  std::memcpy(buf, v.data(), v.size());
  if (!store.version_readback.empty()) {
    std::memset(buf, 0, 32);
    std::memcpy(buf, store.version_readback.data(),
                std::min<size_t>(32, store.version_readback.size()));
  }
  return 0;
}
int op_edid_write(const u8* buf, u16 len) {
  store.edid_writes++;
  store.chip->set_edid(std::span<const uint8_t>(buf, len));
  return 0;
}
int op_str_write(const u8* str, u16 len) {
  if (len > LT7911_STR_MAX) return -1;
  store.chip->set_version(std::string(reinterpret_cast<const char*>(str), len));
  return 0;
}
const lt7911_chip_ops kStoreOps = {op_disable_watchdog, op_get_hdcp_mode, op_edid_read,
                                   op_str_read,         op_edid_write,    op_str_write};

class EdidWithChip : public EdidFiles {
 protected:
  void SetUp() override {
    EdidFiles::SetUp();
    install_ = reinterpret_cast<const lt7911_chip_ops* (*)(int, const lt7911_chip_ops*)>(
        symbol("lt7911_chip_ops_install"));
    ASSERT_NE(install_, nullptr);
    store = Store{};
    store.chip = &chip();
    store.shipped = install_(1, &kStoreOps);
    chip().set_edid(edid_samples::monitor_1080p());
    clear_power_events();
  }
  void TearDown() override {
    if (install_) install_(1, nullptr);
    DriverTest::TearDown();
  }
  const lt7911_chip_ops* (*install_)(int, const lt7911_chip_ops*) = nullptr;
};

TEST_F(EdidWithChip, FirstReadRefreshesSnapshotsAndRestarts) {
  size_t mark = log_mark();
  EXPECT_EQ(read("edid"), bytes_of(edid_samples::monitor_1080p()));
  EXPECT_EQ(store.edid_reads, 1);
  EXPECT_THAT(log_since(mark),
              ElementsAre("Reading EDID from LT7911UXC...", "Restarting LT7911..."));
  EXPECT_TRUE(restarted());
  EXPECT_EQ(read("power"), "on\n");
  std::string snap = read("edid_snapshot");
  EXPECT_EQ(snap, bytes_of(edid_samples::monitor_1080p()));
  EXPECT_EQ(read("edid_snapshot"), snap) << "unchanged on every read";
  EXPECT_EQ(read_at("edid_snapshot", 200, 100).ret, 56);
}

TEST_F(EdidWithChip, ReadsWithinTheWindowServeTheHeldBytes) {
  ASSERT_EQ(read("edid").size(), 256u);
  // Reads every 300 ms never refresh: the window restarts at each read.
  for (int i = 1; i <= 5; i++) {
    sched().set_realtime(kEpoch + i * 300 * kNsPerMs);
    EXPECT_EQ(read("edid").size(), 256u);
  }
  EXPECT_EQ(store.edid_reads, 1);
}

TEST_F(EdidWithChip, WindowBoundaryAndClockSetBack) {
  ASSERT_EQ(read_result("edid"), 256);  // at kEpoch
  int64_t t = kEpoch + 500999999;
  sched().set_realtime(t);
  ASSERT_EQ(read_result("edid"), 256);
  EXPECT_EQ(store.edid_reads, 1) << "500999999 ns does not refresh";
  t += 501000000;
  sched().set_realtime(t);
  ASSERT_EQ(read_result("edid"), 256);
  EXPECT_EQ(store.edid_reads, 2) << "501000000 ns refreshes";
  clear_power_events();
  sched().set_realtime(t - 10'000 * kNsPerMs);
  ASSERT_EQ(read_result("edid"), 256);
  EXPECT_EQ(store.edid_reads, 2) << "a clock set back serves the held bytes";
  EXPECT_TRUE(power_events().empty());
}

TEST_F(EdidWithChip, SuccessfulWriteRestartsAndTheEdidFileKeepsItsWindow) {
  ASSERT_EQ(read("edid"), bytes_of(edid_samples::monitor_1080p()));
  Edid other = edid_samples::monitor_1080p("Second Panel");
  clear_power_events();
  size_t mark = log_mark();
  EXPECT_EQ(write("edid", bytes_of(other)), 256);
  EXPECT_THAT(log_since(mark), ElementsAre(hex_dump(bytes_of(other)), "Restarting LT7911UXC..."));
  EXPECT_TRUE(restarted());
  EXPECT_EQ(chip().edid(), other);
  EXPECT_EQ(read("edid_snapshot"), bytes_of(other));
  sched().set_realtime(kEpoch + 400 * kNsPerMs);
  EXPECT_EQ(read("edid"), bytes_of(edid_samples::monitor_1080p()))
      << "within the window the bytes held from before the write";
}

TEST_F(EdidWithChip, VerificationFailureKeepsTheReadBackAndDoesNotRestart) {
  store.corrupt_edid_at = 20;
  Edid e = edid_samples::monitor_1080p("Third Panel");
  size_t mark = log_mark();
  EXPECT_EQ(write("edid", bytes_of(e)), -EIO);
  EXPECT_THAT(errors_since(mark), ElementsAre("EDID write verification failed"));
  EXPECT_FALSE(switched_off());
  Edid readback = e;
  readback[20] ^= 0x01;
  EXPECT_EQ(read("edid_snapshot"), bytes_of(readback));
}

TEST_F(EdidWithChip, VersionWriteVerifiesAndRestarts) {
  size_t mark = log_mark();
  EXPECT_EQ(write("version", "1.0\n"), 4);
  EXPECT_THAT(log_since(mark), ElementsAre("Writing version: 1.0\n", "Restarting LT7911UXC..."));
  EXPECT_TRUE(restarted());
  EXPECT_EQ(read("version"), "1.0\n");
  // A full 32-byte string is served whole, without a terminator.
  std::string full(32, 'z');
  EXPECT_EQ(write("version", full), 32);
  EXPECT_EQ(read("version"), full);
  EXPECT_EQ(write("version", std::string(33, 'z')), -EIO);
}

TEST_F(EdidWithChip, VersionVerificationFailureHoldsWhatTheChipReturned) {
  store.version_readback = "2.5\n";
  clear_power_events();
  size_t mark = log_mark();
  EXPECT_EQ(write("version", "3.0\n"), -EIO);
  EXPECT_THAT(errors_since(mark), ElementsAre("version write verification failed"));
  EXPECT_FALSE(switched_off());
  EXPECT_EQ(read("version"), "2.5\n");
}

TEST_F(EdidWithChip, ReadersNeverSeeAHalfWrittenSnapshot) {
  Edid a = edid_samples::monitor_1080p("Panel A");
  Edid b = edid_samples::monitor_1080p("Panel B");
  std::atomic<bool> done{false};
  std::vector<std::string> bad;
  host::Thread reader = sched().spawn("reader", [&] {
    host::Process p{600, 0, 0, "reader"};
    while (!done.load()) {
      int fd = kernel().vfs().open(p, proc_path("edid_snapshot"), O_RDONLY);
      std::string s = kernel().vfs().read(p, fd, 256).data;
      kernel().vfs().close(p, fd);
      if (!s.empty() && s != bytes_of(a) && s != bytes_of(b)) bad.push_back(s);
      sched().sleep_for(7 * kNsPerMs);
    }
  });
  for (int i = 0; i < 6; i++) EXPECT_EQ(write("edid", bytes_of(i % 2 ? a : b)), 256);
  done = true;
  reader.join();
  EXPECT_TRUE(bad.empty());
}

TEST_F(EdidWithChip, OperationsAreInstalledPerKnownPlatform) {
  // Platform 0 (unknown) has its own table, the shipped one until replaced; no other exists.
  EXPECT_NE(install_(0, &kStoreOps), nullptr);
  EXPECT_EQ(install_(0, nullptr), &kStoreOps);
  EXPECT_EQ(install_(2, &kStoreOps), nullptr);
  EXPECT_EQ(install_(-1, &kStoreOps), nullptr);
  EXPECT_EQ(install_(1, &kStoreOps), &kStoreOps) << "platform 1 keeps the table of the set-up";
}

TEST_F(EdidWithChip, HdcpModeOfThePlatformIsPublished) {
  const std::pair<int, const char*> modes[] = {{1, "hdcp 1.4\n"},     {2, "hdcp 2.2\n"},
                                               {3, "unknown hdcp\n"}, {0, "no hdcp\n"},
                                               {2, "hdcp 2.2\n"},     {-2, "no hdcp\n"}};
  int rate = 32;
  for (const auto& [mode, text] : modes) {
    store.hdcp_mode = mode;
    hdmi().plug(board::Mode::parse("1080p60"));
    hdmi().set_audio_rate(rate++);  // one more run either way
    settle();
    EXPECT_EQ(read("hdcp"), text) << "mode " << mode;
    EXPECT_EQ(read("status"), "new res\n");
  }
  // The signal going takes the HDCP mode with it.
  store.hdcp_mode = 1;
  plug("1080p60");
  hdmi().set_audio_rate(rate);
  settle();
  ASSERT_EQ(read("hdcp"), "hdcp 1.4\n");
  unplug();
  EXPECT_EQ(read("hdcp"), "no hdcp\n");
}

TEST_F(EdidWithChip, WatchdogFailureEndsTheRunBeforeAnyQuery) {
  store.watchdog_fails = true;
  size_t mark = log_mark();
  size_t bmark = bus().log().mark();
  plug("1080p60");
  EXPECT_THAT(errors_since(mark), ElementsAre("Failed to disable LT7911D watchdog"));
  EXPECT_THAT(bus().log().lines_since(bmark),
              ElementsAre("write 0x80:0xEE = 0x01", "write 0x80:0xEE = 0x00"))
      << "enabled, then disabled again";
  EXPECT_EQ(read("status"), "disappear\n");
  // When the disable fails too, the watchdog's failure is logged first.
  mark = log_mark();
  board::BusFault disable = board::BusFault::on(
      {.bank = 0x80, .reg = 0xEE, .dir = board::Direction::kWrite}, board::FaultKind::kIo);
  disable.nth = 2;
  bus().faults().add(disable);
  hdmi().set_audio_rate(33);
  settle();
  EXPECT_THAT(errors_since(mark), ElementsAre("Failed to disable LT7911D watchdog",
                                              "[W]Failed to write data to the i2c bus; ret = -5",
                                              "Failed to disable LT7911D"));
}

TEST_F(EdidWithChip, ReadBackFailuresFailTheWrites) {
  store.edid_read_fails = true;
  size_t mark = log_mark();
  EXPECT_EQ(write("edid", bytes_of(edid_samples::monitor_1080p("Panel C"))), -EIO);
  store.edid_read_fails = false;
  store.str_read_fails = true;
  EXPECT_EQ(write("version", "4.0\n"), -EIO);
  EXPECT_TRUE(errors_since(mark).empty()) << "nothing was compared";
  EXPECT_FALSE(switched_off()) << "no restart";
}

TEST_F(EdidWithChip, ChipIsPoweredWhileItsEdidIsRead) {
  ASSERT_EQ(write("power", "off"), 3);
  clear_power_events();
  EXPECT_EQ(read("edid").size(), 256u);
  EXPECT_TRUE(store.powered_at_edid_read);
  ASSERT_FALSE(power_events().empty());
  EXPECT_EQ(power_events().front().second, 1) << "switched on before the read";
}

TEST_F(EdidWithChip, RestartsAreLoggedAsTheyBegin) {
  // Each "Restarting" line is logged when the power goes off, 100 ms before it comes back.
  auto restart_logged_at_power_off = [&](const std::string& line) {
    std::vector<std::pair<int64_t, int>> ev = power_events();
    std::vector<host::LogRecord> recs = kernel().log().records();
    int64_t logged = -1;
    for (const host::LogRecord& r : recs)
      if (r.text == line) logged = r.time_ns;
    for (auto& [t, level] : ev)
      if (level == 0) return logged == t;
    return false;
  };
  clear_power_events();
  ASSERT_EQ(read("edid").size(), 256u);
  EXPECT_TRUE(restart_logged_at_power_off("Restarting LT7911..."));
  sched().advance(50 * kNsPerMs);
  clear_power_events();
  ASSERT_EQ(write("edid", bytes_of(edid_samples::monitor_1080p("Panel D"))), 256);
  EXPECT_TRUE(restart_logged_at_power_off("Restarting LT7911UXC..."));
  sched().advance(50 * kNsPerMs);
  clear_power_events();
  ASSERT_EQ(write("version", "5.0\n"), 4);
  EXPECT_TRUE(restart_logged_at_power_off("Restarting LT7911UXC..."));
}

TEST_F(EdidWithChip, VersionTextsOfEveryLength) {
  EXPECT_EQ(write("version", "7"), 1);
  EXPECT_EQ(read("version"), "7") << "a one-character version is served as it is";
  // A full 32-byte string is logged whole.
  size_t mark = log_mark();
  std::string full(32, 'v');
  EXPECT_EQ(write("version", full), 32);
  EXPECT_TRUE(in_order(log_since(mark), {"Writing version: " + full}));
  // Longer writes reach the chip's string operation with a length that it refuses, however
  // long they are: nothing is compared and the chip keeps its string.
  for (size_t n : {33u, 65535u, 65536u, 70000u}) {
    mark = log_mark();
    EXPECT_EQ(write("version", std::string(n, 'w')), -EIO) << n;
    EXPECT_TRUE(errors_since(mark).empty()) << n;
    EXPECT_EQ(read("version"), full) << n;
  }
}

}  // namespace
}  // namespace driver_test
