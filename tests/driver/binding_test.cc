// Binding to the chip: module information, a good bind, every probe failure, remove, a second
// bring-up, one chip only, and unload.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "driver/driver_fixture.h"
#include "platform/host/device_tree.h"
#include "platform/host/irq_core.h"
#include "platform/host/workqueues.h"

namespace driver_test {
namespace {

using ::testing::ElementsAre;

// `text` with its first `from` replaced by `to`.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

class Binding : public DriverTest {
 protected:
  bool chip_bound() {
    return kernel().i2c().bound_driver(brd().chip_device_name()) ==
           std::optional<std::string>(kModule);
  }
  // Nothing of the chip is claimed: lines free, interrupt free, no /proc directory.
  void expect_nothing_claimed() {
    EXPECT_FALSE(kernel().gpio().requested(brd().irq_line().number()));
    EXPECT_FALSE(kernel().gpio().requested(brd().power_line().number()));
    EXPECT_FALSE(kernel().irq().requested(host::Irq::gpio_irq(brd().irq_line().number())));
    EXPECT_FALSE(kernel().vfs().exists(kDir));
    EXPECT_FALSE(chip_bound());
  }
};

TEST_F(Binding, ModuleInformationAndAliases) {
  std::optional<host::ModInfo> info = kernel().modules().modinfo(kModule);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->description(), "Vexmoor HDMI Module Management");
  EXPECT_EQ(info->version(), "0.0.4");
  EXPECT_EQ(info->license(), "GPL");
  std::vector<std::string> aliases = info->aliases();
  EXPECT_NE(std::find(aliases.begin(), aliases.end(), "of:N*T*Clontium,lt7911d"), aliases.end());
  EXPECT_NE(std::find(aliases.begin(), aliases.end(), "of:N*T*Clontium,lt7911dC*"), aliases.end());
  EXPECT_NE(std::find(aliases.begin(), aliases.end(), "i2c:lt7911d"), aliases.end());
  std::vector<std::string> parms = info->parm_descriptions();
  EXPECT_NE(std::find(parms.begin(), parms.end(), "force_width:Force HDMI width"), parms.end());
  EXPECT_NE(std::find(parms.begin(), parms.end(), "force_fps:Force HDMI fps"), parms.end());
}

TEST_F(Binding, GoodBindLogsConfigurationAndWritesStartTexts) {
  // The status run that the bind queues is held at its first query, so that the start texts
  // can be read.
  std::shared_ptr<board::TransferHold> run =
      bus().hold({.bank = 0xD2, .reg = 0x83, .dir = board::Direction::kWrite});
  size_t mark = log_mark();
  ASSERT_EQ(insmod(), 0);
  ASSERT_TRUE(sched().run_until([&] { return run->reached(); }));
  EXPECT_TRUE(chip_bound());
  EXPECT_TRUE(in_order(log_since(mark), {"Force HDMI width: -1, height: -1, fps: -1",
                                         "lt7911: config bus=4 addr=0x2b irq_gpio=44 reset_gpio=67",
                                         "Chip: LT7911D", "lt7911_manage module loaded"}));
  // The bring-up logs no error; the run's first step is the LT7911D's watchdog refusal.
  EXPECT_THAT(errors_since(mark), ElementsAre("LT7911D chip platform unsupported"));
  std::map<std::string, std::string> t = texts();
  EXPECT_EQ(t["power"], "on\n");
  EXPECT_EQ(t["status"], "disappear\n");
  EXPECT_EQ(t["width"], "0\n");
  EXPECT_EQ(t["height"], "0\n");
  EXPECT_EQ(t["fps"], "0\n");
  EXPECT_EQ(t["hdcp"], "no hdcp\n");
  EXPECT_EQ(t["asr"], "disappear\n");
  EXPECT_EQ(kernel().gpio().label(brd().irq_line().number()), "init_gpio");
  EXPECT_EQ(kernel().gpio().label(brd().power_line().number()), "LT7911_PWR");
  int irq = host::Irq::gpio_irq(brd().irq_line().number());
  EXPECT_EQ(kernel().irq().name(irq), "init_gpio_irq");
  EXPECT_EQ(kernel().irq().flags(irq) & 3u, 3u);
  EXPECT_EQ(kernel().irq().depth(irq), 0);
  EXPECT_TRUE(chip().powered());

  // The run then publishes what the chip sees: no source.
  size_t published = log_mark();
  run->release();
  settle();
  EXPECT_TRUE(
      in_order(log_since(published), {"HDMI signal state: 0x02", "HDMI signal has disappeared"}));
  t = texts();
  EXPECT_EQ(t["status"], "disappear\n");
  EXPECT_EQ(t["width"], "0\n");
  EXPECT_EQ(t["asr"], "0\n") << "the audio byte, read with the signal gone";
}

TEST_F(Binding, ProcDirectoryHoldsTenFilesWithTheirModes) {
  ASSERT_EQ(insmod(), 0);
  std::optional<std::vector<host::DirEntry>> entries = kernel().vfs().readdir(kDir);
  ASSERT_TRUE(entries);
  std::map<std::string, umode_t> modes;
  for (const host::DirEntry& e : *entries) modes[e.name] = e.mode & 0777;
  std::map<std::string, umode_t> expected = {
      {"power", 0666},         {"status", 0666}, {"width", 0444}, {"height", 0444},
      {"fps", 0444},           {"hdcp", 0444},   {"asr", 0444},   {"edid", 0666},
      {"edid_snapshot", 0444}, {"version", 0666}};
  EXPECT_EQ(modes, expected);
  // The read-only files refuse writing.
  host::Process user{200, 1000, 1000, "user"};
  for (const char* f : {"width", "height", "fps", "hdcp", "asr", "edid_snapshot"})
    EXPECT_LT(kernel().vfs().open(user, proc_path(f), O_WRONLY), 0) << f;
}

TEST_F(Binding, IdentificationTransfersSelectEachBankOnce) {
  size_t mark = bus().log().mark();
  ASSERT_EQ(insmod(), 0);
  std::vector<std::string> lines = bus().log().lines_since(mark);
  // Enable (bank 0x80), then the two identity bytes in bank 0xA0 behind one select.
  // Then, after the power cycle, the status run that the bind queues: it selects its banks
  // afresh. Bring-up makes no other register access.
  ASSERT_GE(lines.size(), 9u);
  EXPECT_THAT(std::vector<std::string>(lines.begin(), lines.begin() + 9),
              ElementsAre("select 0x80", "write 0x80:0xEE = 0x01", "select 0xA0",
                          "read 0xA0:0x00 -> 0x16", "read 0xA0:0x01 -> 0x05", "select 0x80",
                          "write 0x80:0xEE = 0x01", "select 0xD2", "write 0xD2:0x83 = 0x10"));
}

TEST_F(Binding, PowerCycleAtBringUpAsSeenByAReader) {
  // A reader polls the power file every 10 ms while the probe runs.
  std::vector<std::pair<int64_t, std::string>> seen;
  std::atomic<bool> done{false};
  host::Thread reader = sched().spawn("reader", [&] {
    host::Process p{300, 0, 0, "reader"};
    while (!done.load()) {
      int fd = kernel().vfs().open(p, proc_path("power"), O_RDONLY);
      if (fd >= 0) {
        host::ReadResult r = kernel().vfs().read(p, fd, 16);
        kernel().vfs().close(p, fd);
        if (r.ret > 0) seen.emplace_back(now(), r.data);
      }
      sched().sleep_for(10 * host::kNsPerMs);
    }
  });
  int64_t start = now();
  ASSERT_EQ(kernel().modules().insmod(kModule), 0);
  int64_t end = now();
  done = true;
  reader.join();
  EXPECT_GE(end - start, 200 * host::kNsPerMs);
  ASSERT_FALSE(seen.empty());
  // "off" during the first 100 ms after the files appear, "on" from then on.
  int64_t first_on = -1;
  bool saw_off = false;
  for (auto& [t, text] : seen) {
    if (text == "off\n") {
      saw_off = true;
      EXPECT_EQ(first_on, -1) << "off after on at " << t;
    } else {
      EXPECT_EQ(text, "on\n");
      if (first_on < 0) first_on = t;
    }
  }
  EXPECT_TRUE(saw_off);
  EXPECT_EQ(seen.back().second, "on\n");
}

TEST_F(Binding, BringUpSwitchesOffFor100msThenWaits100msMore) {
  // Watches the power line and passes its level on to the chip, as the board does.
  std::vector<std::pair<int64_t, int>> power;
  kernel().gpio().observe_output(brd().power_line().number(), [&](int, int level) {
    power.emplace_back(now(), level);
    chip().set_power(level != 0);
  });
  int64_t start = now();
  ASSERT_EQ(kernel().modules().insmod(kModule), 0);
  kernel().gpio().observe_output(brd().power_line().number(),
                                 [&](int, int level) { chip().set_power(level != 0); });
  // On at the claim, then off and on again 100 ms later.
  ASSERT_EQ(power.size(), 3u);
  EXPECT_EQ(power[0].second, 1);
  EXPECT_EQ(power[1].second, 0);
  EXPECT_EQ(power[2].second, 1);
  EXPECT_EQ(power[2].first - power[1].first, 100 * host::kNsPerMs);
  // The bring-up ends 100 ms after the power came back, with the interrupt enabled.
  int64_t loaded = -1;
  for (const host::LogRecord& r : kernel().log().records())
    if (r.text == "lt7911_manage module loaded") loaded = r.time_ns;
  EXPECT_EQ(loaded - power[2].first, 100 * host::kNsPerMs);
  EXPECT_GE(power[1].first, start);
  settle();
}

TEST_F(Binding, InterruptWhileARebindIdentifiesTheChipQueuesNothing) {
  ASSERT_EQ(insmod(), 0);
  ASSERT_EQ(kernel().i2c().unbind(brd().chip_device_name()), 0);
  settle();
  // The rebind is held at its identification, with its interrupt already requested.
  std::shared_ptr<board::TransferHold> hold =
      bus().hold({.bank = 0xA0, .reg = 0x00, .dir = board::Direction::kRead});
  host::Thread binder = sched().spawn(
      "bind", [&] { EXPECT_EQ(kernel().i2c().bind(brd().chip_device_name(), kModule), 0); });
  ASSERT_TRUE(sched().run_until([&] { return hold->reached(); }));
  brd().irq_line().set(true);
  brd().irq_line().set(false);
  hold->release();
  binder.join();
  settle();
  auto* work = static_cast<work_struct*>(symbol("get_video_info_work"));
  ASSERT_NE(work, nullptr);
  EXPECT_EQ(kernel().wq().runs(work), 1u) << "only the run that the finished bring-up queues";
}

TEST_F(Binding, InterruptDuringBringUpQueuesNoWork) {
  // An input change while the probe's power cycle runs: the chip pulses, nothing is queued.
  size_t mark = bus().log().mark();
  host::Thread prober = sched().spawn("insmod", [&] { kernel().modules().insmod(kModule); });
  sched().run_until([&] { return kernel().vfs().exists(kDir); });
  brd().irq_line().set(true);
  brd().irq_line().set(false);
  prober.join();
  settle();
  auto* work = static_cast<work_struct*>(symbol("get_video_info_work"));
  ASSERT_NE(work, nullptr);
  EXPECT_EQ(kernel().wq().runs(work), 1u) << "only the run that the finished bring-up queues";
  EXPECT_EQ(count_of(bus().log().lines_since(mark), "write 0x80:0xEE = 0x01"), 2u)
      << "the identification's enable and the one run's";
}

// A probe failure of the device tree: the messages, nothing claimed, no bind.
struct DtFailure {
  std::string name;
  std::string from;
  std::string to;
  std::string message;
  int error;
};

class ProbeDtFailure : public Binding, public ::testing::WithParamInterface<DtFailure> {
 protected:
  ProbeDtFailure() { load_default_board_ = false; }
};

TEST_P(ProbeDtFailure, FailsWithItsMessagesAndClaimsNothing) {
  const DtFailure& f = GetParam();
  ASSERT_NO_FATAL_FAILURE(load_board(default_dts_with(f.from, f.to)));
  size_t mark = log_mark();
  ASSERT_EQ(insmod(), 0) << "loading succeeds; only the bind fails";
  EXPECT_FALSE(chip_bound());
  EXPECT_THAT(errors_since(mark), ElementsAre(f.message, "lt7911: dts parse failed"));
  std::vector<std::string> lines = log_since(mark);
  EXPECT_TRUE(in_order(lines, {"Force HDMI width: -1, height: -1, fps: -1", f.message}));
  if (f.error != -ENODEV) {
    EXPECT_TRUE(in_order(
        lines, {"lt7911_manage: probe of 4-002b failed with error " + std::to_string(f.error)}));
  }
  expect_nothing_claimed();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ProbeDtFailure,
    ::testing::Values(DtFailure{"IrqGpioMissing", "irq-gpio = <&gpio1 12 0>;", "",
                                "lt7911: invalid irq-gpio/reset-gpio in dts", -EINVAL},
                      DtFailure{"ResetGpioMissing", "reset-gpio = <&gpio2 3 0>;", "",
                                "lt7911: invalid irq-gpio/reset-gpio in dts", -EINVAL},
                      DtFailure{"IrqGpioOutOfRange", "irq-gpio = <&gpio1 12 0>;",
                                "irq-gpio = <&gpio1 40 0>;",
                                "lt7911: invalid irq-gpio/reset-gpio in dts", -EINVAL},
                      DtFailure{"IrqGpioBadPhandle", "irq-gpio = <&gpio1 12 0>;",
                                "irq-gpio = <&i2c4 12 0>;",
                                "lt7911: invalid irq-gpio/reset-gpio in dts", -EINVAL}),
    [](const auto& info) { return info.param.name; });

class ProbeNodeVariant : public Binding {
 protected:
  ProbeNodeVariant() { load_default_board_ = false; }
  // The default board plus a node outside the bus that describes the chip with `props`; a
  // client at 0x30 on bus 4 is then registered with it.
  i2c_client* register_with_node(const std::string& props) {
    std::string dts = default_dts_with(
        "\ti2c4: i2c@ff3d0000 {", "\tbridge {\n\t\tcompatible = \"lontium,lt7911d\";\n" + props +
                                      "\t};\n\n\ti2c4: i2c@ff3d0000 {");
    load_board(dts);
    if (!board_) return nullptr;
    EXPECT_EQ(insmod(), 0);
    EXPECT_EQ(kernel().i2c().unbind(brd().chip_device_name()), 0);
    i2c_board_info info{};
    std::snprintf(info.type, sizeof(info.type), "lt7911d");
    info.addr = 0x30;
    info.of_node = kernel().dt().find_by_path("/bridge");
    EXPECT_NE(info.of_node, nullptr);
    probe_mark_ = log_mark();
    i2c_client* c = kernel().i2c().new_device(kernel().i2c().adapter(4), &info);
    settle();
    return c;
  }
  size_t probe_mark_ = 0;  // the log before the client at 0x30 is probed
};

TEST_F(ProbeNodeVariant, MissingRegFailsAlthoughTheClientHasAnAddress) {
  size_t mark = log_mark();
  i2c_client* c =
      register_with_node("\t\tirq-gpio = <&gpio1 12 0>;\n\t\treset-gpio = <&gpio2 3 0>;\n");
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(
      in_order(errors_since(mark), {"lt7911: missing reg in dts", "lt7911: dts parse failed"}));
  EXPECT_TRUE(in_order(log_since(mark), {"lt7911_manage: probe of 4-0030 failed with error -22"}));
  kernel().i2c().unregister_device(c);
}

TEST_F(ProbeNodeVariant, RegIsShownMaskedAndTheClientAddressIsUsed) {
  i2c_client* c = register_with_node(
      "\t\treg = <0x1ab>;\n\t\tirq-gpio = <&gpio1 12 0>;\n\t\treset-gpio = <&gpio2 3 0>;\n");
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(in_order(log_since(probe_mark_),
                       {"lt7911: config bus=4 addr=0x2b irq_gpio=44 reset_gpio=67"}));
  // No chip answers at 0x30: identification goes to the client's address and fails there.
  EXPECT_TRUE(in_order(errors_since(probe_mark_), {"This module only supports LT7911 chip"}));
  kernel().i2c().unregister_device(c);
}

TEST_F(ProbeNodeVariant, GpioNumberZeroIsAccepted) {
  i2c_client* c = register_with_node(
      "\t\treg = <0x30>;\n\t\tirq-gpio = <&gpio0 0 0>;\n\t\treset-gpio = <&gpio2 3 0>;\n");
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(in_order(log_since(probe_mark_),
                       {"lt7911: config bus=4 addr=0x30 irq_gpio=0 reset_gpio=67"}));
  // Nothing answers at 0x30: the failed identification released GPIO 0 with the rest.
  EXPECT_FALSE(kernel().gpio().requested(0));
  EXPECT_FALSE(kernel().irq().requested(host::Irq::gpio_irq(0)));
  kernel().i2c().unregister_device(c);
}

// A board whose chip has its interrupt and power lines at `irq` and `power`, with a 16th
// controller (GPIOs 480 to 511) beside the default three.
struct LinePair {
  std::string name;
  std::string irq;  // a specifier: "<&gpio0 0 0>"
  std::string power;
  int irq_number;
  int power_number;
};

class GpioEnds : public Binding, public ::testing::WithParamInterface<LinePair> {
 protected:
  GpioEnds() { load_default_board_ = false; }
};

TEST_P(GpioEnds, FirstAndLastGpioNumbersAreClaimedAndReleased) {
  const LinePair& p = GetParam();
  std::string dts = default_dts_with("irq-gpio = <&gpio1 12 0>;", "irq-gpio = " + p.irq + ";");
  dts = replaced(dts, "reset-gpio = <&gpio2 3 0>;", "reset-gpio = " + p.power + ";");
  dts = replaced(dts, "\t\ti2c4 = &i2c4;", "\t\ti2c4 = &i2c4;\n\t\tgpio15 = &gpio15;");
  dts = replaced(dts, "\ti2c4: i2c@ff3d0000 {",
                 "\tgpio15: gpio@ff7f0000 {\n\t\tcompatible = \"sim,gpio-bank\";\n"
                 "\t\treg = <0xff7f0000 0x100>;\n\t\tgpio-controller;\n\t\t#gpio-cells = <2>;\n"
                 "\t\tinterrupt-controller;\n\t\t#interrupt-cells = <2>;\n\t\tngpios = <32>;\n"
                 "\t};\n\n\ti2c4: i2c@ff3d0000 {");
  ASSERT_NO_FATAL_FAILURE(load_board(dts));
  ASSERT_EQ(brd().irq_line().number(), p.irq_number);
  ASSERT_EQ(brd().power_line().number(), p.power_number);
  ASSERT_EQ(insmod(), 0);
  EXPECT_TRUE(chip_bound());
  EXPECT_EQ(kernel().gpio().label(p.irq_number), "init_gpio");
  EXPECT_EQ(kernel().gpio().label(p.power_number), "LT7911_PWR");
  plug("1080p60");
  EXPECT_EQ(read("width"), "1920\n");
  ASSERT_EQ(kernel().i2c().unbind(brd().chip_device_name()), 0);
  settle();
  expect_nothing_claimed();
  // A failed identification releases them too.
  chip().set_identity(0x16, 0x06);
  EXPECT_EQ(kernel().i2c().bind(brd().chip_device_name(), kModule), -ENODEV);
  settle();
  expect_nothing_claimed();
}

INSTANTIATE_TEST_SUITE_P(
    Lines, GpioEnds,
    ::testing::Values(LinePair{"IrqAt0PowerAt511", "<&gpio0 0 0>", "<&gpio15 31 0>", 0, 511},
                      LinePair{"IrqAt511PowerAt0", "<&gpio15 31 0>", "<&gpio0 0 0>", 511, 0}),
    [](const auto& info) { return info.param.name; });

TEST_F(Binding, PowerWriteDuringTheBringUpsLastWaitIsNotHeldUp) {
  // The bring-up's last 100 ms wait holds no lock: a power write then goes through at once.
  host::Thread prober = sched().spawn("insmod", [&] { kernel().modules().insmod(kModule); });
  ASSERT_TRUE(sched().run_until([&] { return chip().power_ups() == 2; }))
      << "the power came back after the bring-up's switch off";
  int64_t asked = now();
  EXPECT_EQ(write("power", "on"), 2);
  EXPECT_EQ(now(), asked);
  prober.join();
  settle();
}

TEST_F(Binding, ClientWithoutDeviceTreeNode) {
  ASSERT_EQ(insmod(), 0);
  ASSERT_EQ(kernel().i2c().unbind(brd().chip_device_name()), 0);
  settle();
  size_t mark = log_mark();
  i2c_board_info info{};
  std::snprintf(info.type, sizeof(info.type), "lt7911d");
  info.addr = 0x30;
  i2c_client* c = kernel().i2c().new_device(kernel().i2c().adapter(4), &info);
  ASSERT_NE(c, nullptr);
  settle();
  EXPECT_THAT(errors_since(mark),
              ElementsAre("lt7911: dts node not found", "lt7911: dts parse failed"));
  EXPECT_FALSE(kernel().i2c().bound_driver(host::I2cCore::dev_name(c)));
  EXPECT_EQ(kernel().i2c().bind(host::I2cCore::dev_name(c), kModule), -ENODEV)
      << "the probe's result";
  kernel().i2c().unregister_device(c);
}

TEST_F(Binding, NullClientIsRefused) {
  ASSERT_EQ(insmod(), 0);
  ASSERT_EQ(kernel().i2c().unbind(brd().chip_device_name()), 0);
  auto probe =
      reinterpret_cast<int (*)(i2c_client*, const i2c_device_id*)>(symbol("lt7911_manage_probe"));
  ASSERT_NE(probe, nullptr);
  size_t mark = log_mark();
  EXPECT_EQ(probe(nullptr, nullptr), -EINVAL);
  EXPECT_THAT(errors_since(mark),
              ElementsAre("lt7911: invalid i2c client", "lt7911: dts parse failed"));
  // The refused probe left the module free to bind the chip again.
  EXPECT_EQ(kernel().i2c().bind(brd().chip_device_name(), kModule), 0);
}

TEST_F(Binding, ForeignIdentityFailsAndReleasesEverything) {
  chip().set_identity(0x16, 0x06);
  size_t mark = log_mark();
  ASSERT_EQ(insmod(), 0);
  EXPECT_THAT(errors_since(mark), ElementsAre("This module only supports LT7911 chip"));
  expect_nothing_claimed();
  EXPECT_TRUE(chip().powered()) << "gpio_exit leaves the power on";
  EXPECT_TRUE(take_warnings().empty()) << "the interrupt is freed before its line";
}

TEST_F(Binding, UnreadableIdentityLogsTheBusFailure) {
  bus().faults().add(board::BusFault::on(
      {.bank = 0xA0, .reg = 0x01, .dir = board::Direction::kRead}, board::FaultKind::kIo));
  size_t mark = log_mark();
  ASSERT_EQ(insmod(), 0);
  EXPECT_THAT(errors_since(mark), ElementsAre("[R]Failed to read data from the i2c bus; ret = -5",
                                              "This module only supports LT7911 chip"));
  expect_nothing_claimed();
}

TEST_F(Binding, FailedEnableStillIdentifies) {
  bus().faults().add(board::BusFault::on(
      {.bank = 0x80, .reg = 0xEE, .dir = board::Direction::kWrite}, board::FaultKind::kIo));
  size_t mark = log_mark();
  ASSERT_EQ(insmod(), 0);
  EXPECT_THAT(errors_since(mark),
              ElementsAre("[W]Failed to write data to the i2c bus; ret = -5",
                          "Failed to enable LT7911D", "LT7911D chip platform unsupported"));
  EXPECT_TRUE(chip_bound());
}

struct GpioFailure {
  std::string name;
  host::FaultRule rule;
  std::vector<std::string> messages;
  int error;  // the probe's result
};

class ProbeGpioFailure : public Binding, public ::testing::WithParamInterface<GpioFailure> {};

TEST_P(ProbeGpioFailure, ReleasesWhatItClaimed) {
  const GpioFailure& f = GetParam();
  kernel().faults().inject(f.rule);
  size_t mark = log_mark();
  ASSERT_EQ(insmod(), 0);
  EXPECT_EQ(errors_since(mark), f.messages);
  expect_nothing_claimed();
  // The probe's own result, as a bind returns it.
  kernel().faults().inject(f.rule);
  EXPECT_EQ(kernel().i2c().bind(brd().chip_device_name(), kModule), f.error);
  settle();
  expect_nothing_claimed();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ProbeGpioFailure,
    ::testing::Values(GpioFailure{"IntPinRequest",
                                  {"gpio_request", "44"},
                                  {"GPIO request failed", "Failed to initialize GPIO"},
                                  -ENODEV},
                      GpioFailure{"NoIrqNumber",
                                  {"gpiod_to_irq"},
                                  {"Unable to get IRQ number", "Failed to initialize GPIO"},
                                  -ENODEV},
                      GpioFailure{"IrqRequest",
                                  {"request_irq"},
                                  {"Unable to request IRQ", "Failed to initialize GPIO"},
                                  -ENODEV},
                      GpioFailure{"PwrPinRequest",
                                  {"gpio_request", "67"},
                                  {"Failed to request GPIO 67 for LT7911 PWR pin",
                                   "Failed to initialize GPIO"},
                                  -ENODEV}),
    [](const auto& info) { return info.param.name; });

TEST_F(Binding, PowerLineRequestFailureLeavesThePowerUntouched) {
  kernel().faults().inject({"gpio_request", "67"});
  ASSERT_EQ(insmod(), 0);
  EXPECT_FALSE(brd().power_line().is_output());
  EXPECT_EQ(chip().power_ups(), 0);
}

TEST_F(Binding, FailedPowerSwitchDoesNotFailTheBind) {
  // The power cycle's switch off fails: the bind still succeeds and the text stays "on".
  kernel().faults().inject({"gpiod_direction_output", "", 2, 1});
  size_t mark = log_mark();
  ASSERT_EQ(insmod(), 0);
  EXPECT_TRUE(chip_bound());
  EXPECT_THAT(errors_since(mark),
              ElementsAre("Failed to set GPIO 67 to low", "LT7911D chip platform unsupported"));
  EXPECT_EQ(read("power"), "on\n");
}

TEST_F(Binding, ProcCreationFailureRollsBackAndKeepsForeignEntries) {
  // "version" exists at the root of /proc; the creation fails at "edid".
  ASSERT_NE(kernel().vfs().proc_create("version", 0444, nullptr, nullptr), nullptr);
  kernel().faults().inject({"proc_create", "edid"});
  size_t mark = log_mark();
  ASSERT_EQ(insmod(), 0);
  EXPECT_THAT(errors_since(mark),
              ElementsAre("Failed to create proc entries", "Failed to create proc info files"));
  expect_nothing_claimed();
  EXPECT_TRUE(kernel().vfs().exists("/proc/version"));
  EXPECT_TRUE(take_warnings().empty()) << "only what was created is removed";
}

TEST_F(Binding, ProcCreationFailureAtARebindRemovesOnlyWhatThatBindCreated) {
  ASSERT_EQ(insmod(), 0);
  ASSERT_EQ(kernel().i2c().unbind(brd().chip_device_name()), 0);
  settle();
  kernel().faults().inject({"proc_create", "edid"});
  size_t mark = log_mark();
  EXPECT_EQ(kernel().i2c().bind(brd().chip_device_name(), kModule), -ENOMEM);
  settle();
  EXPECT_THAT(errors_since(mark),
              ElementsAre("Failed to create proc entries", "Failed to create proc info files"));
  expect_nothing_claimed();
  EXPECT_TRUE(take_warnings().empty()) << "no entry of the first bind is removed again";
  ASSERT_EQ(kernel().i2c().bind(brd().chip_device_name(), kModule), 0);
  settle();
  EXPECT_EQ(read("status"), "disappear\n");
}

TEST_F(Binding, FailedCreationAfterARemoveTouchesNothingOutsideItsDirectory) {
  ASSERT_NE(kernel().vfs().proc_create("version", 0444, nullptr, nullptr), nullptr);
  ASSERT_EQ(insmod(), 0);
  ASSERT_EQ(kernel().i2c().unbind(brd().chip_device_name()), 0);
  // The second bring-up cannot even make its directory.
  kernel().faults().inject({"proc_mkdir", "lt7911_info"});
  EXPECT_EQ(kernel().i2c().bind(brd().chip_device_name(), kModule), -ENOMEM);
  settle();
  EXPECT_TRUE(kernel().vfs().exists("/proc/version"));
  EXPECT_TRUE(take_warnings().empty());
}

TEST_F(Binding, RemoveReleasesAndKeepsThePowerThenRebinds) {
  ASSERT_EQ(insmod(), 0);
  size_t mark = log_mark();
  ASSERT_EQ(kernel().i2c().unbind(brd().chip_device_name()), 0);
  settle();
  EXPECT_TRUE(in_order(log_since(mark), {"GPIO-I2C interrupt module unloaded"}));
  expect_nothing_claimed();
  EXPECT_TRUE(chip().powered());
  // The interrupt goes before its line: freeing the line first is a kernel warning.
  EXPECT_EQ(kernel().warnings().describe(), "");

  ASSERT_EQ(kernel().i2c().bind(brd().chip_device_name(), kModule), 0);
  settle();
  EXPECT_TRUE(kernel().vfs().exists(proc_path("version")));
  EXPECT_EQ(read("status"), "disappear\n");
  plug("1080p60");
  EXPECT_EQ(read("width"), "1920\n");
}

TEST_F(Binding, SecondChipIsRefusedAndTheFirstKeepsWorking) {
  ASSERT_EQ(insmod(), 0);
  auto probe =
      reinterpret_cast<int (*)(i2c_client*, const i2c_device_id*)>(symbol("lt7911_manage_probe"));
  auto remove = reinterpret_cast<int (*)(i2c_client*)>(symbol("lt7911_manage_remove"));
  ASSERT_TRUE(probe && remove);
  i2c_client other{};
  other.addr = 0x2c;
  other.adapter = kernel().i2c().adapter(4);
  other.dev.of_node = kernel().dt().find_by_path(brd().chip_node_path());
  size_t mark = log_mark();
  EXPECT_EQ(probe(&other, nullptr), -EBUSY);
  EXPECT_THAT(errors_since(mark), ElementsAre("lt7911: a chip is already bound"));
  EXPECT_EQ(remove(&other), 0) << "a remove of another client does nothing";
  settle();
  EXPECT_TRUE(kernel().vfs().exists(kDir));
  EXPECT_TRUE(kernel().gpio().requested(brd().irq_line().number()));
  plug("720p60");
  EXPECT_EQ(read("width"), "1280\n");
  EXPECT_EQ(read("status"), "new res\n");
}

TEST_F(Binding, UnloadIsRefusedWhileTheStatusFileIsOpen) {
  ASSERT_EQ(insmod(), 0);
  int fd = open("status");
  ASSERT_GE(fd, 0);
  EXPECT_EQ(rmmod(), -EBUSY);
  EXPECT_TRUE(chip_bound());
  close(fd);
  size_t mark = log_mark();
  EXPECT_EQ(rmmod(), 0);
  EXPECT_TRUE(in_order(log_since(mark), {"GPIO-I2C interrupt module unloaded"}));
  expect_nothing_claimed();
}

TEST_F(Binding, InterruptRules) {
  ASSERT_EQ(insmod(), 0);
  size_t mark = bus().log().mark();
  // A falling edge that reads low queues nothing.
  brd().irq_line().set(true);
  settle();
  size_t after_high = bus().log().lines_since(mark).size();
  EXPECT_GT(after_high, 0u) << "a line read high queues a run";
  mark = bus().log().mark();
  brd().irq_line().set(false);
  settle();
  EXPECT_TRUE(bus().log().lines_since(mark).empty());
  // A burst of edges while a run is held mid-way queues exactly one more run.
  std::shared_ptr<board::TransferHold> hold = bus().hold({.dir = board::Direction::kSelect});
  size_t lmark = log_mark();
  brd().irq_line().set(true);
  ASSERT_TRUE(sched().run_until([&] { return hold->reached(); }));
  for (int i = 0; i < 5; i++) {
    brd().irq_line().set(false);
    brd().irq_line().set(true);
  }
  hold->release();
  settle();
  EXPECT_EQ(count_of(log_since(lmark), "HDMI signal state: 0x02"), 2u);
  brd().irq_line().set(false);
  settle();
}

TEST_F(Binding, UnknownPlatformQueuesNothing) {
  ASSERT_EQ(insmod(), 0);
  // The identity is read again at a second bring-up; a foreign one fails it and leaves
  // chip_platform 0, so an edge (with nothing bound) queues nothing either way.
  ASSERT_EQ(kernel().i2c().unbind(brd().chip_device_name()), 0);
  chip().set_identity(0x17, 0x05);
  EXPECT_EQ(kernel().i2c().bind(brd().chip_device_name(), kModule), -ENODEV);
  size_t mark = bus().log().mark();
  brd().irq_line().set(true);
  settle();
  EXPECT_TRUE(bus().log().lines_since(mark).empty());
}

TEST_F(Binding, DeviceExistsProbesTheChipsBus) {
  ASSERT_EQ(insmod(), 0);
  auto exists = reinterpret_cast<int (*)(u8)>(symbol("i2c_device_exists"));
  ASSERT_NE(exists, nullptr);
  EXPECT_EQ(exists(0x2b), 1);
  EXPECT_EQ(exists(0x50), 0) << "nobody answers there";
  size_t mark = log_mark();
  kernel().faults().inject({"i2c_new_dummy"});
  EXPECT_EQ(exists(0x50), 1);
  EXPECT_THAT(errors_since(mark), ElementsAre("Failed to create I2C device"));
  EXPECT_EQ(kernel().i2c().adapter_refs(4), 0) << "every path releases the adapter";
}

// A device on the chip's bus that answers a receive-byte with `value`.
class ByteDevice : public board::I2cTarget {
 public:
  explicit ByteDevice(uint8_t value) : value_(value) {}
  bool transfer(std::span<i2c_msg> msgs) override {
    for (i2c_msg& m : msgs)
      if (m.flags & I2C_M_RD)
        for (int i = 0; i < m.len; i++) m.buf[i] = value_;
    return true;
  }

 private:
  uint8_t value_;
};

TEST_F(Binding, DeviceExistsAsksTheAddressEveryTime) {
  ASSERT_EQ(insmod(), 0);
  auto exists = reinterpret_cast<int (*)(u8)>(symbol("i2c_device_exists"));
  ASSERT_NE(exists, nullptr);
  ByteDevice zero(0x00);
  bus().attach(0x51, &zero);
  size_t mark = log_mark();
  // Each call makes its own client and lets it go again: asking twice gives the same answer.
  for (int i = 0; i < 2; i++) {
    EXPECT_EQ(exists(0x51), 1) << "a device answering 0x00 is there";
    EXPECT_EQ(exists(0x50), 0) << "nobody answers there";
  }
  EXPECT_TRUE(errors_since(mark).empty());
  bus().detach(0x51);
  EXPECT_EQ(exists(0x51), 0);
  EXPECT_EQ(kernel().i2c().adapter_refs(4), 0);
}

TEST_F(Binding, DeviceExistsWithoutAnAdapter) {
  ASSERT_EQ(insmod(), 0);
  auto exists = reinterpret_cast<int (*)(u8)>(symbol("i2c_device_exists"));
  ASSERT_NE(exists, nullptr);
  kernel().faults().inject({"i2c_get_adapter"});
  size_t mark = log_mark();
  EXPECT_EQ(exists(0x2b), 0);
  std::vector<host::LogRecord> recs = kernel().log().records();
  ASSERT_GT(recs.size(), mark);
  EXPECT_EQ(recs[mark].text, "Failed to get I2C adapter");
  EXPECT_EQ(recs[mark].level, host::Log::kDefaultLevel);
}

}  // namespace
}  // namespace driver_test
