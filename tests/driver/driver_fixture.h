// The fixture of the driver's behaviour tests: a booted kernel, the default board (or a variant
// of its device tree), the module loaded through the module loader, and /proc files read and
// written as simulated processes.
#pragma once

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "board/board.h"
#include "platform/host/faults.h"
#include "platform/host/gpio_core.h"
#include "platform/host/i2c_core.h"
#include "platform/host/kernel.h"
#include "platform/host/log.h"
#include "platform/host/modules.h"
#include "platform/host/vfs.h"
#include "tests/support/kernel_test.h"

namespace driver_test {

inline constexpr const char* kModule = "lt7911_manage";
inline constexpr const char* kDir = "/proc/lt7911_info";

inline std::string proc_path(const std::string& file) { return std::string(kDir) + "/" + file; }

// Whether `expected` occurs in `lines` in this order (other lines may come between).
inline bool in_order(const std::vector<std::string>& lines,
                     const std::vector<std::string>& expected) {
  size_t i = 0;
  for (const std::string& l : lines)
    if (i < expected.size() && l == expected[i]) i++;
  return i == expected.size();
}

inline size_t count_of(const std::vector<std::string>& lines, const std::string& text) {
  size_t n = 0;
  for (const std::string& l : lines) n += l == text;
  return n;
}

class DriverTest : public testing_support::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    if (load_default_board_) load_board();
  }

  void TearDown() override {
    if (board_)
      for (int nr : board_->bus_numbers()) board_->bus(nr)->release_holds();
    settle();
    for (int fd : open_fds_) kernel().vfs().close(proc_, fd);
    open_fds_.clear();
    if (kernel().modules().loaded(kModule)) kernel().modules().rmmod(kModule);
    settle();
    board_.reset();
    KernelTest::TearDown();
  }

  // The default board, or one whose device tree is `dts` (the default board's source with
  // the chip node's properties replaced).
  void load_board(const std::string& dts = "") {
    std::string path = board::Board::default_dtb_path();
    if (!dts.empty()) {
      path = ::testing::TempDir() + "lt7911_variant_" + std::to_string(getpid()) + ".dts";
      std::ofstream(path) << dts;
    }
    auto r = board::Board::load(path);
    ASSERT_TRUE(r) << r.error().message;
    board_ = std::move(*r);
  }

  // The default board's source with the chip node's lines `from` replaced by `to`.
  static std::string default_dts_with(const std::string& from, const std::string& to) {
    std::ifstream in(board::Board::default_dts_path());
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
  }

  int insmod(const std::vector<std::string>& params = {}) {
    int ret = kernel().modules().insmod(kModule, params);
    settle();
    return ret;
  }
  int rmmod() {
    int ret = kernel().modules().rmmod(kModule);
    settle();
    return ret;
  }
  void* symbol(const char* name) { return kernel().modules().symbol(kModule, name); }

  board::Board& brd() { return *board_; }
  board::Lt7911d& chip() { return board_->chip(); }
  board::HdmiSource& hdmi() { return board_->hdmi(); }
  board::SimBus& bus() { return board_->bus(); }

  // /proc access as a simulated process.
  int open(const std::string& file, int flags = O_RDONLY) {
    int fd = kernel().vfs().open(proc_, proc_path(file), flags);
    if (fd >= 0) open_fds_.push_back(fd);
    return fd;
  }
  void close(int fd) {
    kernel().vfs().close(proc_, fd);
    std::erase(open_fds_, fd);
  }
  // The whole file from position 0 (a fresh open).
  std::string read(const std::string& file) {
    host::Vfs& vfs = kernel().vfs();
    int fd = vfs.open(proc_, proc_path(file), O_RDONLY);
    EXPECT_GE(fd, 0) << file;
    std::string all;
    for (;;) {
      host::ReadResult r = vfs.read(proc_, fd, 4096);
      if (r.ret <= 0) {
        last_read_result_ = r.ret;
        break;
      }
      all += r.data;
    }
    vfs.close(proc_, fd);
    return all;
  }
  // One write of a fresh open of any path, as process p.
  ssize_t write_as(host::Process& p, const std::string& path, std::string_view bytes) {
    host::Vfs& vfs = kernel().vfs();
    int fd = vfs.open(p, path, O_WRONLY);
    if (fd < 0) return fd;
    ssize_t ret = vfs.write(p, fd, bytes);
    vfs.close(p, fd);
    return ret;
  }
  ssize_t write(const std::string& file, std::string_view bytes) {
    return write_as(proc_, proc_path(file), bytes);
  }
  // A parameter file of the module.
  static std::string param_path(const std::string& name) {
    return std::string("/sys/module/lt7911_manage/parameters/") + name;
  }
  ssize_t param_write(host::Process& p, const std::string& name, const std::string& value) {
    return write_as(p, param_path(name), value);
  }
  // Status texts of the six simple files.
  std::map<std::string, std::string> texts() {
    std::map<std::string, std::string> t;
    for (const char* f : {"power", "status", "width", "height", "fps", "hdcp", "asr"})
      t[f] = read(f);
    return t;
  }
  short poll_now(int fd) {
    std::vector<pollfd> fds{{fd, POLLPRI | POLLIN, 0}};
    kernel().vfs().poll(proc_, fds, 0);
    return fds[0].revents;
  }

  // Plugs (or changes) the HDMI source and lets every interrupt and worker run finish.
  void plug(const std::string& mode) {
    hdmi().plug(board::Mode::parse(mode));
    settle();
  }
  void unplug() {
    hdmi().unplug();
    settle();
  }
  // Another interrupt from the chip with the input unchanged; every run it causes finishes.
  void interrupt() {
    brd().irq_line().set(false);
    brd().irq_line().set(true);
    settle();
    brd().irq_line().set(false);
    settle();
  }

  size_t log_mark() { return kernel().log().size(); }
  std::vector<std::string> log_since(size_t mark) { return kernel().log().lines_since(mark); }
  // Records of level KERN_ERR since the mark.
  std::vector<std::string> errors_since(size_t mark) {
    std::vector<std::string> out;
    std::vector<host::LogRecord> recs = kernel().log().records();
    for (size_t i = mark; i < recs.size(); i++)
      if (recs[i].level == 3) out.push_back(recs[i].text);
    return out;
  }

  host::Process proc_{100, 0, 0, "test"};
  std::unique_ptr<board::Board> board_;
  bool load_default_board_ = true;
  ssize_t last_read_result_ = 0;
  std::vector<int> open_fds_;
};

}  // namespace driver_test
