// The device tree: loading, lookups, aliases, and the of_* entry points the module calls.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/errno.h"
#include "platform/host/device_tree.h"
#include "platform/host/faults.h"
#include "platform/host/gpio_core.h"
#include "platform/of.h"
#include "support/dts.h"
#include "support/kernel_test.h"

namespace {

using host::DeviceTree;
using testing_support::KernelTest;

using testing_support::compile_dts;

constexpr const char* kBoard = R"(/dts-v1/;
/ {
  model = "test board";
  aliases {
    i2c4 = "/i2c@fe5c0000";
    i2c12 = "/i2c@fe600000";
    serial2 = "/serial@1";
  };
  gpio0: gpio@fd8a0000 {
    compatible = "vendor,gpio-bank", "vendor,gpio";
    gpio-controller;
    #gpio-cells = <2>;
  };
  gpio1: gpio@fec20000 {
    compatible = "vendor,gpio-bank";
    gpio-controller;
    #gpio-cells = <2>;
  };
  nogpio: pinctrl {
    #gpio-cells = <2>;
  };
  plain: plain-node {
  };
  i2c@fe5c0000 {
    #address-cells = <1>;
    #size-cells = <0>;
    chip: lt7911d@2b {
      compatible = "lontium,lt7911d";
      reg = <0x2b>;
      irq-gpio = <&gpio0 7 0>;
      reset-gpio = <&gpio0 31 1>;
      two-gpios = <&gpio0 1 0 &gpio0 2 0>;
      late-gpio = <&gpio1 3 0>;
      far-gpio = <&gpio0 32 0>;
      bad-gpio = <&nogpio 1 0>;
      lost-gpio = <0x7777 1 0>;
      nocells-gpio = <&plain 1 0>;
      empty;
      short = [01 02];
      list = <1 2 3>;
      strings = "a", "bc";
    };
    off@30 {
      compatible = "vendor,thing";
      reg = <0x30>;
      status = "disabled";
    };
  };
  i2c@fe600000 {
  };
  serial@1 {
  };
};
)";

class DeviceTreeTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    dtb_ = compile_dts(kBoard);
    ASSERT_FALSE(dtb_.empty()) << "dtc failed";
    auto r = dt().load(dtb_);
    ASSERT_TRUE(r) << r.error().message;
  }
  DeviceTree& dt() { return kernel().dt(); }
  device_node* chip() { return dt().find_by_path("/i2c@fe5c0000/lt7911d@2b"); }

  std::vector<uint8_t> dtb_;
};

TEST_F(DeviceTreeTest, NodesKeepTheirNamesPathsAndFamily) {
  device_node* root = dt().root();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->path, "/");
  device_node* np = chip();
  ASSERT_NE(np, nullptr);
  EXPECT_EQ(np->name, "lt7911d");
  EXPECT_EQ(np->full_name, "lt7911d@2b");
  EXPECT_STREQ(of_node_full_name(np), "lt7911d@2b");
  EXPECT_STREQ(of_node_full_name(nullptr), "<no-node>");
  ASSERT_NE(np->parent, nullptr);
  EXPECT_EQ(np->parent->path, "/i2c@fe5c0000");
  ASSERT_EQ(np->parent->children.size(), 2u);
  EXPECT_EQ(np->parent->children[0], np);
  EXPECT_EQ(np->parent->children[1]->path, "/i2c@fe5c0000/off@30");
  EXPECT_EQ(dt().find_by_path("/nowhere"), nullptr);
}

TEST_F(DeviceTreeTest, PropertiesReadAsCellsAndStrings) {
  device_node* np = chip();
  EXPECT_EQ(DeviceTree::read_u32(np, "reg"), 0x2bu);
  EXPECT_EQ(DeviceTree::read_u32_array(np, "list"), (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(DeviceTree::read_u32_array(np, "short"), std::nullopt);
  EXPECT_EQ(DeviceTree::read_string(np, "compatible"), "lontium,lt7911d");
  EXPECT_EQ(DeviceTree::read_string_list(np, "strings"), (std::vector<std::string>{"a", "bc"}));
  EXPECT_EQ(DeviceTree::read_string(np, "reg"), std::nullopt);  // not NUL-terminated text
  EXPECT_EQ(DeviceTree::read_string(np, "missing"), std::nullopt);
  EXPECT_TRUE(np->has_property("empty"));
  EXPECT_TRUE(DeviceTree::is_available(np));
  EXPECT_FALSE(DeviceTree::is_available(dt().find_by_path("/i2c@fe5c0000/off@30")));
}

TEST_F(DeviceTreeTest, LookupsByPhandleCompatibleAndAlias) {
  device_node* gpio0 = dt().find_by_path("/gpio@fd8a0000");
  ASSERT_NE(gpio0, nullptr);
  ASSERT_NE(gpio0->phandle, 0u);
  EXPECT_EQ(dt().find_by_phandle(gpio0->phandle), gpio0);
  EXPECT_EQ(dt().find_by_phandle(0x7777), nullptr);

  auto banks = dt().find_compatible("vendor,gpio-bank");
  ASSERT_EQ(banks.size(), 2u);
  EXPECT_EQ(banks[0], gpio0);
  EXPECT_TRUE(DeviceTree::is_compatible(gpio0, "vendor,gpio"));
  EXPECT_FALSE(DeviceTree::is_compatible(gpio0, "vendor"));

  device_node* bus4 = dt().find_by_path("/i2c@fe5c0000");
  EXPECT_EQ(dt().alias("i2c4"), bus4);
  EXPECT_EQ(dt().alias("i2c5"), nullptr);
  EXPECT_EQ(dt().alias_id("i2c", bus4), 4);
  EXPECT_EQ(dt().alias_id("i2c", dt().find_by_path("/i2c@fe600000")), 12);
  EXPECT_EQ(dt().alias_id("serial", dt().find_by_path("/serial@1")), 2);
  EXPECT_EQ(dt().alias_id("serial", bus4), -ENODEV);
  EXPECT_EQ(dt().alias_id("i2c", chip()), -ENODEV);
}

TEST_F(DeviceTreeTest, BrokenBlobsAreRefusedAndTheTreeIsKept) {
  std::vector<uint8_t> junk(64, 0xab);
  auto r = dt().load(junk);
  ASSERT_FALSE(r);
  EXPECT_NE(r.error().message.find("header"), std::string::npos) << r.error().message;

  std::vector<uint8_t> cut(dtb_.begin(), dtb_.begin() + dtb_.size() / 2);
  EXPECT_FALSE(dt().load(cut));

  // A property whose name offset points outside the strings block: the error names the node.
  std::vector<uint8_t> bad = dtb_;
  const uint8_t reg[] = {0, 0, 0, 0x2b};
  size_t at = 0;
  for (size_t i = 12; i + 4 <= bad.size(); ++i) {
    if (std::equal(reg, reg + 4, bad.begin() + i) && bad[i - 5] == 4) {
      at = i;
      break;
    }
  }
  ASSERT_NE(at, 0u);
  bad[at - 4] = 0x7f;  // nameoff, big-endian
  r = dt().load(bad);
  ASSERT_FALSE(r);
  EXPECT_NE(r.error().message.find("/i2c@fe5c0000/lt7911d@2b"), std::string::npos)
      << r.error().message;

  EXPECT_EQ(chip()->full_name, "lt7911d@2b");  // the good tree is still there
  EXPECT_FALSE(dt().load_file("/nonexistent.dtb"));
}

TEST_F(DeviceTreeTest, ReadU32ResultsFollowLinux) {
  device_node* np = chip();
  u32 v = 7;
  EXPECT_EQ(of_property_read_u32(np, "reg", &v), 0);
  EXPECT_EQ(v, 0x2bu);
  v = 7;
  EXPECT_EQ(of_property_read_u32(np, "missing", &v), -EINVAL);
  EXPECT_EQ(of_property_read_u32(np, "empty", &v), -ENODATA);
  EXPECT_EQ(of_property_read_u32(np, "short", &v), -EOVERFLOW);
  EXPECT_EQ(v, 7u);

  kernel().faults().inject({.call = "of_property_read_u32", .match = "reg", .error = -EIO});
  EXPECT_EQ(of_property_read_u32(np, "list", &v), 0);  // another property: no fault
  EXPECT_EQ(of_property_read_u32(np, "reg", &v), -EIO);
  EXPECT_EQ(of_property_read_u32(np, "reg", &v), 0);  // the rule fired once
}

class NamedGpioTest : public DeviceTreeTest {
 protected:
  void SetUp() override {
    DeviceTreeTest::SetUp();
    // gpio0 gets lines 64..95; gpio1 has no registered controller.
    auto r = kernel().gpio().add_chip(
        {.label = "gpio0", .of_node = dt().find_by_path("/gpio@fd8a0000"), .base = 64});
    ASSERT_TRUE(r) << r.error().message;
  }
};

TEST_F(NamedGpioTest, SpecifiersResolveToControllerBasePlusLine) {
  EXPECT_EQ(of_get_named_gpio(chip(), "irq-gpio", 0), 64 + 7);
  EXPECT_EQ(of_get_named_gpio(chip(), "reset-gpio", 0), 64 + 31);  // flags cell ignored
  EXPECT_EQ(of_get_named_gpio(chip(), "two-gpios", 0), 64 + 1);
  EXPECT_EQ(of_get_named_gpio(chip(), "two-gpios", 1), 64 + 2);
}

TEST_F(NamedGpioTest, EachFailureHasItsErrno) {
  struct Case {
    const char* prop;
    int index;
    int want;
  };
  // As Linux answers (the same table runs in a real kernel: tests/kunit/platform_test.c).
  const Case cases[] = {
      {"no-such-gpio", 0, -ENOENT},     // property missing
      {"lost-gpio", 0, -EINVAL},        // phandle names no node
      {"nocells-gpio", 0, -EINVAL},     // node without #gpio-cells
      {"bad-gpio", 0, -EPROBE_DEFER},   // node with cells, but no controller registered for it
      {"two-gpios", 2, -ENOENT},        // index beyond the list
      {"irq-gpio", -1, -EINVAL},        // negative index
      {"far-gpio", 0, -EPROBE_DEFER},   // line 32 of a 32-line controller: no controller takes it
      {"late-gpio", 0, -EPROBE_DEFER},  // controller not registered yet
      {"short", 0, -ENOENT},            // shorter than one cell
  };
  for (const Case& c : cases) {
    EXPECT_EQ(of_get_named_gpio(chip(), c.prop, c.index), c.want)
        << c.prop << "[" << c.index << "]";
  }
}

TEST_F(NamedGpioTest, SpecifierOfANodeWithoutCellsIsReportedAsLinuxDoes) {
  size_t mark = kernel().log().size();
  EXPECT_EQ(of_get_named_gpio(chip(), "nocells-gpio", 0), -EINVAL);
  std::vector<host::LogRecord> recs = kernel().log().records();
  ASSERT_EQ(recs.size(), mark + 1);
  EXPECT_EQ(recs[mark].level, 3);
  EXPECT_EQ(recs[mark].text,
            "OF: /i2c@fe5c0000/lt7911d@2b: could not get #gpio-cells for /plain-node");
}

TEST_F(NamedGpioTest, LateControllerResolvesOnceRegisteredAndFaultsMatchTheProperty) {
  ASSERT_TRUE(kernel().gpio().add_chip(
      {.label = "gpio1", .of_node = dt().find_by_path("/gpio@fec20000"), .base = 96}));
  EXPECT_EQ(of_get_named_gpio(chip(), "late-gpio", 0), 96 + 3);

  kernel().faults().inject(
      {.call = "of_get_named_gpio", .match = "reset-gpio", .times = -1, .error = -EPROBE_DEFER});
  EXPECT_EQ(of_get_named_gpio(chip(), "irq-gpio", 0), 64 + 7);
  EXPECT_EQ(of_get_named_gpio(chip(), "reset-gpio", 0), -EPROBE_DEFER);
  EXPECT_EQ(of_get_named_gpio(chip(), "reset-gpio", 0), -EPROBE_DEFER);
}

}  // namespace
