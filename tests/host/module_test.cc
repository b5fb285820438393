#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/errno.h"
#include "platform/host/device_tree.h"
#include "platform/host/faults.h"
#include "platform/host/gpio_core.h"
#include "platform/host/i2c_core.h"
#include "platform/host/irq_core.h"
#include "platform/host/modules.h"
#include "platform/host/slab.h"
#include "platform/host/vfs.h"
#include "platform/host/workqueues.h"
#include "platform/slab.h"
#include "support/kernel_test.h"

namespace {

using host::Process;
using testing_support::KernelTest;

constexpr const char* kModule = "lt_testmod";
constexpr const char* kValue = "/proc/testmod/value";
constexpr const char* kCounterParam = "/sys/module/lt_testmod/parameters/counter";

class ModuleTest : public KernelTest {
 protected:
  host::Modules& modules() { return kernel().modules(); }
  host::Vfs& vfs() { return kernel().vfs(); }
  int var(const char* name) {
    auto* p = static_cast<int*>(modules().symbol(kModule, name));
    EXPECT_NE(p, nullptr) << name;
    return p == nullptr ? -999 : *p;
  }
  std::string read_file(Process& p, const char* path) {
    const int fd = vfs().open(p, path, O_RDONLY);
    if (fd < 0) return "open " + std::to_string(fd);
    std::string text = vfs().read(p, fd, 64).data;
    vfs().close(p, fd);
    return text;
  }
  ssize_t write_file(Process& p, const char* path, const std::string& text) {
    const int fd = vfs().open(p, path, O_WRONLY);
    if (fd < 0) return fd;
    const ssize_t r = vfs().write(p, fd, text);
    vfs().close(p, fd);
    return r;
  }
  bool has_line(const std::string& needle) {
    for (const std::string& l : log_lines()) {
      if (l.find(needle) != std::string::npos) return true;
    }
    return false;
  }
  bool mapped() { return mapped_object(kModule); }
  static bool mapped_object(const char* name) {
    const std::string path = host::Modules::resolve(name);
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (h != nullptr) dlclose(h);
    return h != nullptr;
  }

  Process root{1, 0, 0, "root"};
  Process user{2, 1000, 1000, "user"};
};

TEST_F(ModuleTest, LoadRunsInitAndUnloadTakesEverythingAway) {
  ASSERT_EQ(modules().insmod(kModule), 0);
  EXPECT_TRUE(modules().loaded(kModule));
  EXPECT_EQ(modules().list(), std::vector<std::string>{kModule});
  EXPECT_EQ(read_file(user, kValue), "5\n");
  EXPECT_TRUE(has_line("lt_testmod: loaded, counter 5"));
  EXPECT_EQ(modules().insmod(kModule), -EEXIST);
  EXPECT_EQ(modules().rmmod(kModule), 0);
  EXPECT_FALSE(modules().loaded(kModule));
  EXPECT_FALSE(vfs().exists("/proc/testmod"));
  EXPECT_FALSE(vfs().exists("/sys/module/lt_testmod"));
  EXPECT_FALSE(mapped());
  EXPECT_EQ(modules().rmmod(kModule), -ENOENT);
  EXPECT_EQ(modules().insmod("no_such_module"), -ENOENT);
}

TEST_F(ModuleTest, EveryLoadStartsFromTheLoadValues) {
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(modules().insmod(kModule), 0) << round;
    EXPECT_EQ(var("counter"), 5) << round;
    EXPECT_EQ(var("writes_seen"), 0) << round;
    EXPECT_EQ(var("set_log_length"), 0) << round;
    EXPECT_EQ(write_file(user, kValue, "3"), 1) << round;
    EXPECT_EQ(write_file(root, kCounterParam, "100"), 3) << round;
    EXPECT_EQ(read_file(user, kValue), "100\n") << round;
    EXPECT_EQ(var("writes_seen"), 1) << round;
    ASSERT_EQ(modules().rmmod(kModule), 0) << round;
    EXPECT_FALSE(mapped()) << round;
  }
  EXPECT_EQ(host::slab_live_allocations(), 0u);
}

TEST_F(ModuleTest, ParametersAreSetInTheirOrderBeforeInit) {
  ASSERT_EQ(modules().insmod(kModule, {"counter=3", "limit=50", "counter=0x10"}), 0);
  EXPECT_EQ(var("set_log_length"), 2);
  auto* log = static_cast<int*>(modules().symbol(kModule, "set_log"));
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(log[0], 3);
  EXPECT_EQ(log[1], 16);
  EXPECT_EQ(var("counter_at_init"), 16);
  EXPECT_EQ(var("limit"), 50);
  EXPECT_EQ(read_file(user, kCounterParam), "16\n");
}

TEST_F(ModuleTest, UnknownParameterIsLoggedAndIgnored) {
  ASSERT_EQ(modules().insmod(kModule, {"bogus=1", "counter=8"}), 0);
  EXPECT_TRUE(has_line("lt_testmod: unknown parameter 'bogus' ignored"));
  EXPECT_EQ(var("counter_at_init"), 8);
}

TEST_F(ModuleTest, RejectedParameterFailsTheLoadWithItsError) {
  EXPECT_EQ(modules().insmod(kModule, {"counter=abc"}), -EINVAL);
  EXPECT_FALSE(modules().loaded(kModule));
  EXPECT_EQ(modules().insmod(kModule, {"limit=500"}), -ERANGE);
  EXPECT_EQ(modules().insmod(kModule, {"counter"}), -EINVAL);  // an int needs a value
  EXPECT_FALSE(modules().loaded(kModule));
  EXPECT_FALSE(mapped());
  EXPECT_FALSE(vfs().exists("/sys/module/lt_testmod"));
  ASSERT_EQ(modules().insmod(kModule), 0);
  EXPECT_EQ(var("counter"), 5);
}

TEST_F(ModuleTest, InitFailureUnloadsAndReturnsItsError) {
  EXPECT_EQ(modules().insmod(kModule, {"fail_init=1"}), -ENODEV);
  EXPECT_FALSE(modules().loaded(kModule));
  EXPECT_FALSE(mapped());
  EXPECT_FALSE(vfs().exists("/sys/module/lt_testmod"));
  EXPECT_FALSE(vfs().exists("/proc/testmod"));
}

TEST_F(ModuleTest, UnloadIsRefusedWhileAReferenceIsHeld) {
  ASSERT_EQ(modules().insmod(kModule), 0);
  const int fd = vfs().open(user, kValue, O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(modules().refcount(kModule), 1);
  EXPECT_EQ(modules().rmmod(kModule), -EWOULDBLOCK);
  EXPECT_TRUE(modules().loaded(kModule));
  EXPECT_EQ(vfs().read(user, fd, 8).data, "5\n");
  EXPECT_EQ(vfs().close(user, fd), 0);
  EXPECT_EQ(modules().refcount(kModule), 0);
  EXPECT_EQ(modules().rmmod(kModule), 0);
  // The exit function found try_module_get failing: the module was going away.
  EXPECT_TRUE(has_line("lt_testmod: exit, try_module_get failed"));
}

TEST_F(ModuleTest, InjectedReferenceFailureFailsTheOpen) {
  ASSERT_EQ(modules().insmod(kModule), 0);
  kernel().faults().inject({"try_module_get", kModule, 1, 1, -1});
  EXPECT_EQ(vfs().open(user, kValue, O_RDONLY), -ENODEV);
  EXPECT_EQ(modules().refcount(kModule), 0);
  kernel().faults().inject({"kzalloc", "", 1, 1, -12});
  EXPECT_EQ(vfs().open(user, kValue, O_RDONLY), -ENOMEM);
  EXPECT_EQ(modules().refcount(kModule), 0);
  EXPECT_EQ(modules().rmmod(kModule), 0);
}

TEST_F(ModuleTest, ParameterFilesFollowTheirPermissions) {
  ASSERT_EQ(modules().insmod(kModule), 0);
  EXPECT_EQ(vfs().stat(kCounterParam)->mode, S_IFREG | 0644);
  EXPECT_EQ(vfs().stat("/sys/module/lt_testmod/parameters/limit")->mode, S_IFREG | 0444);
  EXPECT_FALSE(vfs().exists("/sys/module/lt_testmod/parameters/fail_init"));  // perm 0
  EXPECT_EQ(read_file(user, kCounterParam), "5\n");
  EXPECT_EQ(write_file(user, kCounterParam, "1"), -EACCES);
  EXPECT_EQ(write_file(root, kCounterParam, "42\n"), 3);
  EXPECT_EQ(var("counter"), 42);
  EXPECT_EQ(write_file(root, kCounterParam, "forty"), -EINVAL);
  EXPECT_EQ(write_file(root, kCounterParam, "99999999999"), -ERANGE);
  EXPECT_EQ(read_file(user, kCounterParam), "42\n");
  EXPECT_EQ(write_file(root, "/sys/module/lt_testmod/parameters/limit", "7"), 1);  // root
  EXPECT_EQ(var("limit"), 7);
}

TEST_F(ModuleTest, ModinfoListsInformationAliasesAndParameters) {
  auto check = [](const host::ModInfo& info) {
    EXPECT_EQ(info.name, "lt_testmod");
    EXPECT_EQ(info.description(), "Host kernel test module");
    EXPECT_EQ(info.version(), "1.2");
    EXPECT_EQ(info.license(), "GPL");
    EXPECT_EQ(info.aliases(), (std::vector<std::string>{"of:N*T*Cvexmoor,test",
                                                        "of:N*T*Cvexmoor,testC*", "i2c:testdev"}));
    EXPECT_EQ(info.parm_descriptions(),
              (std::vector<std::string>{"counter:A counter", "limit:An upper bound"}));
    ASSERT_EQ(info.params.size(), 5u);
    EXPECT_EQ(info.params[0].name, "counter");
    EXPECT_EQ(info.params[0].perm, 0644u);
    EXPECT_EQ(info.params[1].name, "limit");
    EXPECT_EQ(info.params[1].perm, 0444u);
  };
  auto offline = modules().modinfo(kModule);  // read from the object, not loaded
  ASSERT_TRUE(offline);
  check(*offline);
  EXPECT_FALSE(modules().loaded(kModule));
  EXPECT_FALSE(mapped());
  ASSERT_EQ(modules().insmod(kModule), 0);
  auto online = modules().modinfo(kModule);
  ASSERT_TRUE(online);
  check(*online);
  EXPECT_FALSE(modules().modinfo("no_such_module"));
}

TEST_F(ModuleTest, ModuleWithAnUnknownDeviceTableTypeIsRefused) {
  EXPECT_EQ(modules().insmod("lt_badtable"), -ENOEXEC);
  EXPECT_TRUE(has_line("lt_badtable: module sections unreadable"));
  EXPECT_FALSE(modules().loaded("lt_badtable"));
  EXPECT_FALSE(mapped_object("lt_badtable"));
  EXPECT_FALSE(modules().modinfo("lt_badtable"));
}

TEST_F(ModuleTest, LeftoversAtUnloadAreWarnedAboutAndCleanedUp) {
  ASSERT_EQ(modules().insmod(kModule, {"leak_proc=1", "leak_work=1"}), 0);
  EXPECT_EQ(modules().rmmod(kModule), 0);
  auto warnings = take_warnings();
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_NE(warnings[0].message.find("left /proc/testmod behind"), std::string::npos);
  EXPECT_NE(warnings[1].message.find("work item"), std::string::npos);
  EXPECT_FALSE(vfs().exists("/proc/testmod"));
  EXPECT_TRUE(kernel().wq().idle());
  EXPECT_FALSE(mapped());
}

// As debugobjects would: a poller left on a wait queue in the module's memory when it is unloaded
// (here the module's entry was removed under it, which wakes nobody) is reported.
TEST_F(ModuleTest, UnloadWithAPollerStillOnItsQueueWarns) {
  ASSERT_EQ(modules().insmod(kModule, {"leak_proc=1"}), 0);
  const int fd = vfs().open(user, kValue, O_RDONLY);
  ASSERT_GE(fd, 0);
  std::atomic<int> ready{-1};
  host::Thread poller = sched().spawn("poller", [&] {
    std::vector<pollfd> fds{{fd, POLLPRI, 0}};
    ready = vfs().poll(user, fds, 2000);
  });
  advance_ms(1);
  ASSERT_TRUE(vfs().remove("/proc/testmod"));  // releases the open file and its reference
  EXPECT_EQ(modules().rmmod(kModule), 0);
  auto warnings = take_warnings();
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].message.find("unloaded while the wait queue"), std::string::npos)
      << warnings[0].message;
  EXPECT_NE(warnings[0].message.find("1 waiter"), std::string::npos);
  poller.join();
  EXPECT_EQ(ready.load(), 0) << "nothing woke it; it timed out";
  vfs().close(user, fd);
}

// A parameter file is read from one page filled at the first read, as sysfs does: a read split
// around a write never mixes two values.
TEST_F(ModuleTest, ParameterReadSplitAroundAWriteShowsOneValue) {
  ASSERT_EQ(modules().insmod(kModule, {"counter=1280"}), 0);
  const int fd = vfs().open(root, kCounterParam, O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(vfs().read(root, fd, 2).data, "12");
  EXPECT_EQ(write_file(root, kCounterParam, "-1"), 2);
  EXPECT_EQ(vfs().read(root, fd, 64).data, "80\n");
  EXPECT_EQ(vfs().read(root, fd, 64).ret, 0);
  // A seek starts afresh.
  EXPECT_EQ(vfs().lseek(root, fd, 0, SEEK_SET), 0);
  EXPECT_EQ(vfs().read(root, fd, 64).data, "-1\n");
  vfs().close(root, fd);
}

TEST_F(ModuleTest, ShutdownUnloadsModulesWithOpenFiles) {
  ASSERT_EQ(modules().insmod(kModule), 0);
  ASSERT_GE(vfs().open(user, kValue, O_RDONLY), 0);
  EXPECT_EQ(modules().rmmod(kModule), -EWOULDBLOCK);
  host::Kernel::shutdown();
  EXPECT_FALSE(mapped());
  EXPECT_EQ(host::slab_live_allocations(), 0u);
}

// --- End to end: a driver bound through the device tree, its interrupt, work and poller -----

// The test board's bus: the device at 0x42 answers every read with kStatus.
class TestBus : public host::I2cBus {
 public:
  static constexpr uint8_t kStatus = 0x5a;
  int master_xfer(struct i2c_msg* msgs, int num) override {
    for (int i = 0; i < num; ++i) {
      if (msgs[i].addr != 0x42) return -ENXIO;
      if ((msgs[i].flags & I2C_M_RD) != 0) {
        for (int b = 0; b < msgs[i].len; ++b) msgs[i].buf[b] = kStatus;
      }
    }
    ++transfers;
    return num;
  }
  std::atomic<int> transfers{0};
};

class DriverModuleTest : public ModuleTest {
 protected:
  static constexpr int kGpioBase = 64;
  static constexpr int kIrqLine = kGpioBase + 5;  // irq-gpio = <&gpio0 5 0>
  static constexpr const char* kClient = "3-0042";
  static constexpr const char* kEvents = "/proc/testdrv_events";

  void SetUp() override {
    ModuleTest::SetUp();
    ASSERT_TRUE(kernel().dt().load_file(LT_TESTDRV_DTB));
    host::GpioChipInfo chip;
    chip.label = "test-gpio";
    chip.of_node = kernel().dt().find_by_path("/gpio@1000");
    chip.base = kGpioBase;
    ASSERT_NE(chip.of_node, nullptr);
    ASSERT_TRUE(kernel().gpio().add_chip(chip));
    ASSERT_NE(kernel().i2c().add_numbered_adapter(3, "test-i2c", bus,
                                                  kernel().dt().find_by_path("/i2c@2000")),
              nullptr);
  }
  void TearDown() override {
    // Unload while the bus still exists; the adapter goes with the kernel.
    if (host::Kernel::booted()) modules().unload_all();
    ModuleTest::TearDown();
  }
  // One edge on the interrupt line (rising and falling in turn).
  void pulse() {
    level_ ^= 1;
    kernel().gpio().set_input(kIrqLine, level_);
  }
  int level_ = 0;

  TestBus bus;
};

TEST_F(DriverModuleTest, InterruptWorkAndPollerMeetThroughTheModule) {
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(modules().insmod("lt_testdrv"), 0) << round;
    EXPECT_EQ(kernel().i2c().bound_driver(kClient), "lt_testdrv");
    EXPECT_EQ(kernel().gpio().label(kIrqLine), "testdrv_irq");
    EXPECT_TRUE(kernel().irq().requested(host::Irq::gpio_irq(kIrqLine)));

    // A follower process polls the events file; an interrupt wakes it through the work item.
    std::atomic<int> polled{-99};
    std::string text;
    host::Thread follower = sched().spawn("follower", [&] {
      Process proc{40, 1000, 1000, "follower"};
      const int fd = vfs().open(proc, kEvents, O_RDONLY);
      std::vector<pollfd> fds{{fd, POLLPRI, 0}};
      polled = vfs().poll(proc, fds, -1) == 1 ? fds[0].revents : -1;
      text = vfs().read(proc, fd, 32).data;
      vfs().close(proc, fd);
    });
    advance_ms(20);
    EXPECT_EQ(polled.load(), -99);  // nothing happened yet
    pulse();
    follower.join();
    EXPECT_EQ(polled.load(), POLLPRI);
    EXPECT_EQ(text, "1 90\n");  // one event, status 0x5a read in the work item
    settle();

    ASSERT_EQ(modules().rmmod("lt_testdrv"), 0) << round;
    EXPECT_FALSE(kernel().i2c().bound_driver(kClient));
    EXPECT_FALSE(kernel().gpio().requested(kIrqLine));
    EXPECT_FALSE(kernel().irq().requested(host::Irq::gpio_irq(kIrqLine)));
    EXPECT_FALSE(vfs().exists(kEvents));
    EXPECT_FALSE(mapped_object("lt_testdrv"));
  }
  EXPECT_TRUE(kernel().wq().idle());
  EXPECT_EQ(host::slab_live_allocations(), 0u);
}

TEST_F(DriverModuleTest, OpenEventsFileHoldsTheModule) {
  ASSERT_EQ(modules().insmod("lt_testdrv"), 0);
  const int fd = vfs().open(user, kEvents, O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(modules().rmmod("lt_testdrv"), -EWOULDBLOCK);
  pulse();
  settle();
  EXPECT_EQ(vfs().read(user, fd, 32).data, "1 90\n");
  vfs().close(user, fd);
  EXPECT_EQ(modules().rmmod("lt_testdrv"), 0);
}

}  // namespace

namespace {

// --- Kernel memory ------------------------------------------------------------------------------

class SlabTest : public testing_support::KernelTest {};

TEST_F(SlabTest, AllocationsAreTrackedAndFaultable) {
  const size_t before = host::slab_live_allocations();
  auto* p = static_cast<unsigned char*>(kzalloc(64, GFP_KERNEL));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(p[i], 0) << i;
  EXPECT_EQ(host::slab_live_allocations(), before + 1);
  kfree(p);
  kfree(nullptr);
  EXPECT_EQ(host::slab_live_allocations(), before);
  kernel().faults().inject({"kzalloc", "", 2, 1, -12});
  void* first = kzalloc(4, GFP_KERNEL);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(kzalloc(4, GFP_KERNEL), nullptr);  // the second call fails
  kfree(first);
}

TEST_F(SlabTest, FreeingWhatWasNotAllocatedWarnsAndLeavesTheHeapAlone) {
  int on_stack = 0;
  kfree(&on_stack);
  void* p = kmalloc(8, GFP_KERNEL);
  kfree(p);
  kfree(p);  // twice
  auto warnings = take_warnings();
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_NE(warnings[0].message.find("kfree"), std::string::npos);
}

TEST_F(SlabTest, SleepingAllocationInAtomicContextWarns) {
  host::current().atomic_depth++;
  void* atomic_ok = kmalloc(8, GFP_ATOMIC);
  void* sleeping = kmalloc(8, GFP_KERNEL);
  host::current().atomic_depth--;
  kfree(atomic_ok);
  kfree(sleeping);
  auto warnings = take_warnings();
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].message.find("sleeping function called from invalid context"),
            std::string::npos);
}

}  // namespace
