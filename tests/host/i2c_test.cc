// The I2C core: clients from the device tree, driver matching, probe/remove, bind/unbind, SMBus
// message shapes, dummy clients and adapter references.
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/errno.h"
#include "platform/host/device_tree.h"
#include "platform/host/faults.h"
#include "platform/host/i2c_core.h"
#include "platform/i2c.h"
#include "platform/locking.h"
#include "platform/time.h"
#include "support/dts.h"
#include "support/kernel_test.h"

namespace {

using host::I2cCore;
using testing_support::KernelTest;

using testing_support::compile_dts;

constexpr const char* kBoard = R"(/dts-v1/;
/ {
  i2c@1 {
    #address-cells = <1>;
    #size-cells = <0>;
    lt7911d@2b { compatible = "lontium,lt7911d"; reg = <0x2b>; };
    off@30 { compatible = "x,off"; reg = <0x30>; status = "disabled"; };
    noreg { compatible = "x,noreg"; };
    wide@1ab { compatible = "x,wide"; reg = <0x1ab>; };
    multi@40 { compatible = "x,first", "lontium,lt7911d"; reg = <0x40>; };
  };
};
)";

// A bus of register files: a write sets a device's register pointer from its first byte and
// stores the rest from there on; a read returns bytes from the pointer on. Every transaction is
// logged message by message.
class RegisterBus : public host::I2cBus {
 public:
  struct Msg {
    u16 addr;
    bool read;
    std::vector<u8> bytes;  // written, or returned
    bool operator==(const Msg&) const = default;
  };

  int master_xfer(i2c_msg* msgs, int num) override {
    const int now = ++in_flight;
    if (now > max_in_flight) max_in_flight = now;
    if (sleep_ms > 0) msleep(sleep_ms);  // the bit time of the transaction
    int result = num - short_by;
    std::vector<Msg> t;
    if (fail_with != 0) {
      result = fail_with;
    } else {
      for (int i = 0; i < num; ++i) {
        auto dev = regs.find(msgs[i].addr);
        if (dev == regs.end()) {
          result = -ENXIO;
          break;
        }
        u8& ptr = pointer[msgs[i].addr];
        Msg m{msgs[i].addr, (msgs[i].flags & I2C_M_RD) != 0, {}};
        if (m.read) {
          for (int j = 0; j < msgs[i].len; ++j) msgs[i].buf[j] = dev->second[ptr++];
          m.bytes.assign(msgs[i].buf, msgs[i].buf + msgs[i].len);
        } else {
          m.bytes.assign(msgs[i].buf, msgs[i].buf + msgs[i].len);
          if (msgs[i].len > 0) ptr = msgs[i].buf[0];
          for (int j = 1; j < msgs[i].len; ++j) dev->second[ptr++] = msgs[i].buf[j];
        }
        t.push_back(std::move(m));
      }
    }
    log.push_back(std::move(t));
    --in_flight;
    return result;
  }

  std::map<u16, std::array<u8, 256>> regs;
  std::map<u16, u8> pointer;
  std::vector<std::vector<Msg>> log;
  int fail_with = 0;
  int short_by = 0;
  int sleep_ms = 0;
  std::atomic<int> in_flight{0};
  std::atomic<int> max_in_flight{0};
};

// What the test drivers saw; reset per test.
struct Events {
  std::vector<std::string> log;
  std::map<std::string, int> probe_result;  // by device name; default 0
  bool call_back = false;                   // probes exercise the core from inside
  int nested_ok = -1;
};
Events g_events;

int record_probe(i2c_client* c, const i2c_device_id* id) {
  const std::string dev = I2cCore::dev_name(c);
  g_events.log.push_back("probe " + dev + " id=" + (id ? id->name : "null"));
  c->dev.driver_data = c;
  if (g_events.call_back) {
    // A probe may look up its adapter, make a temporary client, talk through it and register
    // another device, all without deadlocking the core.
    i2c_adapter* adap = i2c_get_adapter(i2c_adapter_id(c->adapter));
    i2c_client* tmp = i2c_new_dummy(adap, 0x50);
    g_events.nested_ok = tmp != nullptr && i2c_smbus_read_byte(tmp) >= 0 ? 1 : 0;
    i2c_put_adapter(adap);
    i2c_unregister_device(tmp);
    g_events.call_back = false;
    i2c_board_info info{};
    std::snprintf(info.type, sizeof info.type, "sensor");
    info.addr = 0x11;
    i2c_new_device(c->adapter, &info);
  }
  auto it = g_events.probe_result.find(dev);
  return it == g_events.probe_result.end() ? 0 : it->second;
}

int record_remove(i2c_client* c) {
  g_events.log.push_back("remove " + I2cCore::dev_name(c));
  return 0;
}

const of_device_id kOfTable[] = {{"", "", "lontium,lt7911d", nullptr}, {}};
const i2c_device_id kIdTable[] = {{"sensor", 0}, {"dummy", 0}, {}};
const i2c_device_id kBothIds[] = {{"lt7911d", 0}, {}};

i2c_driver make_driver(const char* name, const of_device_id* of, const i2c_device_id* ids) {
  i2c_driver d{};
  d.probe = record_probe;
  d.remove = record_remove;
  d.driver.name = name;
  d.driver.of_match_table = of;
  d.id_table = ids;
  return d;
}

class I2cTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    g_events = Events{};
    dtb_ = compile_dts(kBoard);
    ASSERT_FALSE(dtb_.empty());
    ASSERT_TRUE(kernel().dt().load(dtb_));
    bus_.regs[0x2b] = {};
    bus_.regs[0x40] = {};
    bus_.regs[0x50] = {};
  }
  I2cCore& i2c() { return kernel().i2c(); }
  device_node* bus_node() { return kernel().dt().find_by_path("/i2c@1"); }
  i2c_adapter* add_dt_adapter() { return i2c().add_numbered_adapter(4, "i2c-4", bus_, bus_node()); }
  i2c_adapter* add_plain_adapter() { return i2c().add_numbered_adapter(4, "i2c-4", bus_); }
  i2c_client* add_device(i2c_adapter* adap, const char* type, u16 addr) {
    i2c_board_info info{};
    std::snprintf(info.type, sizeof info.type, "%s", type);
    info.addr = addr;
    return i2c_new_device(adap, &info);
  }
  bool logged(const std::string& text) {
    for (const auto& l : log_lines()) {
      if (l.find(text) != std::string::npos) return true;
    }
    return false;
  }
  bool warned_with(const std::string& text) {
    for (const auto& w : take_warnings()) {
      if (w.message.find(text) != std::string::npos) return true;
    }
    return false;
  }

  std::vector<uint8_t> dtb_;
  RegisterBus bus_;
};

TEST_F(I2cTest, AdapterNodeGivesAClientPerUsableChild) {
  std::vector<std::string> aliases;
  i2c().set_modalias_handler([&](const std::string& m) { aliases.push_back(m); });
  i2c_adapter* adap = add_dt_adapter();
  ASSERT_NE(adap, nullptr);
  EXPECT_EQ(i2c().add_numbered_adapter(4, "again", bus_), nullptr);  // number taken

  EXPECT_EQ(i2c().clients(), (std::vector<std::string>{"4-002b", "4-0040"}));
  i2c_client* c = i2c().find_client("4-002b");
  ASSERT_NE(c, nullptr);
  EXPECT_STREQ(c->name, "lt7911d");
  EXPECT_EQ(c->addr, 0x2b);
  EXPECT_EQ(c->adapter, adap);
  EXPECT_EQ(i2c_adapter_id(c->adapter), 4);
  EXPECT_EQ(c->dev.of_node, kernel().dt().find_by_path("/i2c@1/lt7911d@2b"));
  EXPECT_STREQ(i2c().find_client("4-0040")->name, "first");

  EXPECT_TRUE(logged("i2c i2c-4: of_i2c: invalid reg on /i2c@1/noreg"));
  EXPECT_TRUE(logged("i2c i2c-4: Invalid 7-bit I2C address 0x1ab"));
  EXPECT_TRUE(logged("i2c i2c-4: Failed to create I2C device for /i2c@1/wide@1ab"));
  // Nothing took the clients, so their modaliases went to the loader.
  EXPECT_EQ(aliases, (std::vector<std::string>{"of:Nlt7911dT<NULL>Clontium,lt7911d",
                                               "of:NmultiT<NULL>Cx,firstClontium,lt7911d"}));
}

TEST_F(I2cTest, CompatibleMatchBindsWithoutAnIdEntry) {
  add_dt_adapter();
  i2c_driver drv = make_driver("ofdrv", kOfTable, nullptr);
  ASSERT_EQ(i2c_register_driver(nullptr, &drv), 0);
  // The second client matches by the second string of its compatible list.
  EXPECT_EQ(g_events.log,
            (std::vector<std::string>{"probe 4-002b id=null", "probe 4-0040 id=null"}));
  EXPECT_EQ(i2c().bound_driver("4-002b"), "ofdrv");
  EXPECT_EQ(i2c().bound_driver("4-0040"), "ofdrv");
  i2c_del_driver(&drv);
}

TEST_F(I2cTest, IdTableAndNameMatchesForClientsWithoutANode) {
  i2c_adapter* adap = add_plain_adapter();
  i2c_client* sensor = add_device(adap, "sensor", 0x10);
  ASSERT_NE(sensor, nullptr);
  i2c_driver ids = make_driver("iddrv", nullptr, kIdTable);
  i2c_driver of = make_driver("ofdrv", kOfTable, nullptr);
  i2c_driver both = make_driver("both", kOfTable, kBothIds);
  ASSERT_EQ(i2c_register_driver(nullptr, &ids), 0);
  EXPECT_EQ(g_events.log, (std::vector<std::string>{"probe 4-0010 id=sensor"}));

  // A client registered later binds at once.
  add_device(adap, "sensor", 0x12);
  EXPECT_EQ(i2c().bound_driver("4-0012"), "iddrv");

  // Without a node the OF table matches the client name, with or without the vendor prefix;
  // the first registered driver that matches takes the client.
  ASSERT_EQ(i2c_register_driver(nullptr, &of), 0);
  ASSERT_EQ(i2c_register_driver(nullptr, &both), 0);
  add_device(adap, "lt7911d", 0x2b);
  EXPECT_EQ(i2c().bound_driver("4-002b"), "ofdrv");
  EXPECT_EQ(g_events.log.back(), "probe 4-002b id=null");
  i2c_del_driver(&of);
  EXPECT_EQ(i2c().bound_driver("4-002b"), std::nullopt);
  EXPECT_EQ(i2c().bind("4-002b", "both"), 0);
  EXPECT_EQ(g_events.log.back(), "probe 4-002b id=lt7911d");

  EXPECT_EQ(i2c_register_driver(nullptr, &both), -EBUSY);
  EXPECT_TRUE(logged("Error: Driver 'both' is already registered, aborting..."));
  i2c_del_driver(&both);
  i2c_del_driver(&ids);
}

TEST_F(I2cTest, FailedProbesLeaveTheClientUnboundAndOnlyRealErrorsAreLogged) {
  add_dt_adapter();
  g_events.probe_result["4-002b"] = -EIO;
  g_events.probe_result["4-0040"] = -ENODEV;
  i2c_driver drv = make_driver("ofdrv", kOfTable, nullptr);
  ASSERT_EQ(i2c_register_driver(nullptr, &drv), 0);
  EXPECT_EQ(i2c().bound_driver("4-002b"), std::nullopt);
  EXPECT_EQ(i2c().bound_driver("4-0040"), std::nullopt);
  EXPECT_EQ(i2c().find_client("4-002b")->dev.driver_data, nullptr);

  int warnings_logged = 0;
  for (const auto& r : kernel().log().records()) {
    if (r.text.find("probe of") == std::string::npos) continue;
    ++warnings_logged;
    EXPECT_EQ(r.text, "ofdrv: probe of 4-002b failed with error -5");
    EXPECT_EQ(r.level, 4);
  }
  EXPECT_EQ(warnings_logged, 1);

  // Through the bind control the probe's result comes back; a later success binds.
  EXPECT_EQ(i2c().bind("4-002b", "ofdrv"), -EIO);
  g_events.probe_result.clear();
  EXPECT_EQ(i2c().bind("4-002b", "ofdrv"), 0);
  EXPECT_EQ(i2c().bound_driver("4-002b"), "ofdrv");
  i2c_del_driver(&drv);
  EXPECT_EQ(g_events.log.back(), "remove 4-002b");  // only the bound client is removed
}

TEST_F(I2cTest, DriverRemovalCallsRemoveNewestBindingFirst) {
  i2c_adapter* adap = add_plain_adapter();
  i2c_driver drv = make_driver("iddrv", nullptr, kIdTable);
  ASSERT_EQ(i2c_register_driver(nullptr, &drv), 0);
  add_device(adap, "sensor", 0x20);
  add_device(adap, "sensor", 0x21);
  add_device(adap, "sensor", 0x22);
  i2c_del_driver(&drv);
  EXPECT_EQ(g_events.log,
            (std::vector<std::string>{"probe 4-0020 id=sensor", "probe 4-0021 id=sensor",
                                      "probe 4-0022 id=sensor", "remove 4-0022", "remove 4-0021",
                                      "remove 4-0020"}));
  EXPECT_EQ(i2c().drivers(), std::vector<std::string>{});
  i2c_del_driver(&drv);
  EXPECT_TRUE(warned_with("Unexpected driver unregister!"));
}

TEST_F(I2cTest, BindAndUnbindControl) {
  i2c_adapter* adap = add_plain_adapter();
  add_device(adap, "sensor", 0x20);
  add_device(adap, "other", 0x21);
  i2c_driver drv = make_driver("iddrv", nullptr, kIdTable);
  g_events.probe_result["4-0020"] = -EIO;
  ASSERT_EQ(i2c_register_driver(nullptr, &drv), 0);
  g_events.probe_result.clear();

  EXPECT_EQ(i2c().bind("4-0099", "iddrv"), -ENODEV);  // no such device
  EXPECT_EQ(i2c().bind("4-0020", "nodrv"), -ENODEV);  // no such driver
  EXPECT_EQ(i2c().bind("4-0021", "iddrv"), -ENODEV);  // no match
  EXPECT_EQ(i2c().unbind("4-0020"), -ENODEV);         // not bound
  EXPECT_EQ(i2c().bind("4-0020", "iddrv"), 0);
  EXPECT_EQ(i2c().bind("4-0020", "iddrv"), -EBUSY);
  EXPECT_EQ(i2c().unbind("4-0020"), 0);
  EXPECT_EQ(g_events.log.back(), "remove 4-0020");
  EXPECT_EQ(i2c().bound_driver("4-0020"), std::nullopt);
  EXPECT_EQ(i2c().find_client("4-0020")->dev.driver_data, nullptr);
  i2c_del_driver(&drv);
}

TEST_F(I2cTest, SmbusTransactionsHaveTheShapesOfLinuxEmulation) {
  i2c_client* c = add_device(add_plain_adapter(), "chip", 0x2b);
  auto& regs = bus_.regs[0x2b];
  regs[0x00] = 0x16;
  regs[0x01] = 0x05;
  using M = RegisterBus::Msg;

  EXPECT_EQ(i2c_smbus_write_byte_data(c, 0xff, 0xa0), 0);
  EXPECT_EQ(bus_.log.back(), (std::vector<M>{{0x2b, false, {0xff, 0xa0}}}));
  EXPECT_EQ(regs[0xff], 0xa0);

  EXPECT_EQ(i2c_smbus_read_byte_data(c, 0x01), 0x05);
  EXPECT_EQ(bus_.log.back(), (std::vector<M>{{0x2b, false, {0x01}}, {0x2b, true, {0x05}}}));

  EXPECT_EQ(i2c_smbus_write_byte(c, 0x00), 0);
  EXPECT_EQ(bus_.log.back(), (std::vector<M>{{0x2b, false, {0x00}}}));
  EXPECT_EQ(i2c_smbus_read_byte(c), 0x16);
  EXPECT_EQ(bus_.log.back(), (std::vector<M>{{0x2b, true, {0x16}}}));

  // Blocks longer than 32 bytes are cut to 32.
  u8 out[40];
  for (int i = 0; i < 40; ++i) out[i] = static_cast<u8>(0x80 + i);
  EXPECT_EQ(i2c_smbus_write_i2c_block_data(c, 0x10, 40, out), 0);
  ASSERT_EQ(bus_.log.back().size(), 1u);
  EXPECT_EQ(bus_.log.back()[0].bytes.size(), 33u);
  EXPECT_EQ(bus_.log.back()[0].bytes[0], 0x10);
  EXPECT_EQ(regs[0x10 + 31], 0x80 + 31);
  EXPECT_EQ(regs[0x10 + 32], 0);

  u8 in[40] = {};
  in[32] = 0xee;
  EXPECT_EQ(i2c_smbus_read_i2c_block_data(c, 0x10, 40, in), 32);
  ASSERT_EQ(bus_.log.back().size(), 2u);
  EXPECT_EQ(bus_.log.back()[0], (M{0x2b, false, {0x10}}));
  EXPECT_EQ(bus_.log.back()[1].bytes.size(), 32u);
  EXPECT_EQ(in[0], 0x80);
  EXPECT_EQ(in[31], 0x80 + 31);
  EXPECT_EQ(in[32], 0xee);  // untouched beyond the cut
  EXPECT_EQ(i2c_smbus_read_i2c_block_data(c, 0x00, 2, in), 2);
  EXPECT_EQ(in[0], 0x16);
}

TEST_F(I2cTest, BusErrorsComeBackUnchangedAndShortTransfersAreEio) {
  i2c_adapter* adap = add_plain_adapter();
  i2c_client* c = add_device(adap, "chip", 0x2b);
  i2c_client* absent = add_device(adap, "ghost", 0x33);
  EXPECT_EQ(i2c_smbus_read_byte_data(absent, 0x00), -ENXIO);
  EXPECT_EQ(i2c_smbus_write_byte_data(absent, 0x00, 1), -ENXIO);

  bus_.fail_with = -ETIMEDOUT;
  EXPECT_EQ(i2c_smbus_read_byte_data(c, 0x00), -ETIMEDOUT);
  EXPECT_EQ(i2c_smbus_write_i2c_block_data(c, 0x00, 1, reinterpret_cast<const u8*>("x")),
            -ETIMEDOUT);
  bus_.fail_with = 0;
  bus_.short_by = 1;
  EXPECT_EQ(i2c_smbus_read_byte_data(c, 0x00), -EIO);
  u8 buf[4];
  EXPECT_EQ(i2c_smbus_read_i2c_block_data(c, 0x00, 4, buf), -EIO);
  bus_.short_by = 0;
  EXPECT_EQ(i2c_smbus_read_byte_data(c, 0x00), 0);
}

TEST_F(I2cTest, DummyClientsAreNeverBound) {
  i2c_adapter* adap = add_dt_adapter();
  i2c_driver drv = make_driver("iddrv", nullptr, kIdTable);  // its table even names "dummy"
  ASSERT_EQ(i2c_register_driver(nullptr, &drv), 0);

  EXPECT_EQ(i2c_new_dummy(adap, 0x2b), nullptr);  // taken by the chip
  EXPECT_TRUE(logged("i2c i2c-4: Failed to register i2c client dummy at 0x2b (-16)"));
  EXPECT_EQ(i2c_new_dummy(adap, 0x00), nullptr);
  EXPECT_EQ(i2c_new_dummy(adap, 0x80), nullptr);
  kernel().faults().inject({.call = "i2c_new_dummy", .match = "80", .error = -ENOMEM});
  EXPECT_EQ(i2c_new_dummy(adap, 0x50), nullptr);  // 0x50 = 80

  i2c_client* d = i2c_new_dummy(adap, 0x50);
  ASSERT_NE(d, nullptr);
  EXPECT_STREQ(d->name, "dummy");
  EXPECT_EQ(i2c().bound_driver("4-0050"), std::nullopt);
  EXPECT_EQ(i2c().bind("4-0050", "iddrv"), -ENODEV);
  EXPECT_GE(i2c_smbus_read_byte(d), 0);
  EXPECT_TRUE(g_events.log.empty());
  i2c_unregister_device(d);
  EXPECT_EQ(i2c().find_client("4-0050"), nullptr);
  i2c_unregister_device(nullptr);
  i2c_del_driver(&drv);
}

TEST_F(I2cTest, AdapterReferences) {
  i2c_adapter* adap = add_dt_adapter();
  EXPECT_EQ(i2c_get_adapter(5), nullptr);
  EXPECT_EQ(i2c_get_adapter(-1), nullptr);
  EXPECT_EQ(i2c_get_adapter(4), adap);
  EXPECT_EQ(i2c().adapter_refs(4), 1);
  i2c_put_adapter(adap);
  EXPECT_EQ(i2c().adapter_refs(4), 0);
  i2c_put_adapter(nullptr);
  i2c_put_adapter(adap);
  EXPECT_TRUE(warned_with("i2c_put_adapter without a reference"));

  kernel().faults().inject({.call = "i2c_get_adapter", .match = "4"});
  EXPECT_EQ(i2c_get_adapter(4), nullptr);
  EXPECT_EQ(i2c().adapter_refs(4), 0);

  // Deleting a referenced adapter takes its clients; the holder's pointer stays valid but
  // carries no transfers until it is put.
  i2c_driver drv = make_driver("ofdrv", kOfTable, nullptr);
  ASSERT_EQ(i2c_register_driver(nullptr, &drv), 0);
  i2c_adapter* held = i2c_get_adapter(4);
  i2c().del_adapter(adap);
  EXPECT_EQ(g_events.log.back(), "remove 4-0040");
  EXPECT_TRUE(i2c().clients().empty());
  EXPECT_EQ(i2c().adapter(4), nullptr);
  EXPECT_EQ(i2c_get_adapter(4), nullptr);
  u8 b = 0;
  i2c_msg m = {0x2b, I2C_M_RD, 1, &b};
  EXPECT_EQ(i2c_transfer(held, &m, 1), -ENODEV);
  i2c_put_adapter(held);
  EXPECT_NE(i2c().add_numbered_adapter(4, "i2c-4", bus_), nullptr);  // the number is free
  i2c_del_driver(&drv);
}

TEST_F(I2cTest, ProbeCanCallBackIntoTheCore) {
  i2c_adapter* adap = add_plain_adapter();
  i2c_driver drv = make_driver("iddrv", nullptr, kIdTable);
  ASSERT_EQ(i2c_register_driver(nullptr, &drv), 0);
  g_events.call_back = true;
  add_device(adap, "sensor", 0x10);
  EXPECT_EQ(g_events.nested_ok, 1);
  EXPECT_EQ(i2c().adapter_refs(4), 0);
  // The device registered from inside the probe was bound as well.
  EXPECT_EQ(g_events.log,
            (std::vector<std::string>{"probe 4-0010 id=sensor", "probe 4-0011 id=sensor"}));
  EXPECT_EQ(i2c().clients(), (std::vector<std::string>{"4-0010", "4-0011"}));
  i2c_del_driver(&drv);
}

TEST_F(I2cTest, TransactionsOnOneAdapterNeverOverlap) {
  i2c_client* c = add_device(add_plain_adapter(), "chip", 0x2b);
  bus_.sleep_ms = 1;
  const int64_t start = now();
  std::vector<host::Thread> tasks;
  for (int i = 0; i < 3; ++i) {
    tasks.push_back(sched().spawn("reader" + std::to_string(i), [c] {
      for (int j = 0; j < 4; ++j) i2c_smbus_read_byte_data(c, 0x00);
    }));
  }
  for (auto& t : tasks) t.join();
  EXPECT_EQ(bus_.max_in_flight, 1);
  EXPECT_EQ(bus_.log.size(), 12u);
  EXPECT_EQ(now() - start, 12 * host::kNsPerMs);  // one after the other
}

TEST_F(I2cTest, TransferInAtomicContextWarns) {
  i2c_client* c = add_device(add_plain_adapter(), "chip", 0x2b);
  DEFINE_SPINLOCK(lock);
  spin_lock(&lock);
  const s32 r = i2c_smbus_read_byte(c);
  spin_unlock(&lock);
  EXPECT_GE(r, 0);
  EXPECT_TRUE(warned_with("sleeping function called from invalid context"));
}

}  // namespace
