// SPDX-License-Identifier: GPL-2.0
/*
 * Binding to the chip in a real kernel: a good bind from the device tree with its log lines,
 * every failure of the probe, the remove and a second bring-up, one chip only, unloading, and
 * the interrupt's rules.
 */
#include <linux/gpio.h>
#include <linux/i2c.h>
#include <linux/interrupt.h>
#include <linux/irq.h>
#include <linux/irqdesc.h>
#include <linux/of.h>

#include "harness.h"

/* Nothing of the chip is claimed by the module: lines and interrupt free, no /proc directory. */
static void expect_nothing_claimed(struct kunit* test) {
  const char* int_label = lt_board_line_label(LT_GPIO_INT);
  const char* pwr_label = lt_board_line_label(LT_GPIO_PWR);

  KUNIT_EXPECT_TRUE(test, !int_label || strcmp(int_label, "init_gpio"));
  KUNIT_EXPECT_TRUE(test, !pwr_label || strcmp(pwr_label, "LT7911_PWR"));
  KUNIT_EXPECT_FALSE(test, irq_has_action(lt_board_irq_of(LT_GPIO_INT)));
  KUNIT_EXPECT_FALSE(test, lt_proc_exists(""));
  KUNIT_EXPECT_NULL(test, lt_bound_driver(LT_CHIP_DEVICE));
}

static void expect_start_texts(struct kunit* test) {
  KUNIT_EXPECT_STREQ(test, lt_read(test, "power"), "on\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "status"), "disappear\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "width"), "0\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "height"), "0\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "fps"), "0\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "hdcp"), "no hdcp\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "asr"), "disappear\n");
}

static void good_bind_logs_configuration_and_writes_start_texts(struct kunit* test) {
  u64 mark = lt_log_mark(), published;
  struct irq_desc* desc;
  int irq;

  /* The status run that the bind queues is held at its first query, so that the start texts
   * can be read. */
  lt_bus_hold((struct lt_match){LT_WRITE, 0xD2, 0x83});
  KUNIT_ASSERT_EQ(test, lt_insmod(test, ""), 0);
  KUNIT_ASSERT_TRUE(test, lt_bus_hold_wait());
  KUNIT_EXPECT_STREQ(test, lt_bound_driver(LT_CHIP_DEVICE), LT_MODULE);
  KUNIT_EXPECT_TRUE(test,
                    lt_log_in_order(test, mark,
                                    LT_LINES("Force HDMI width: -1, height: -1, fps: -1",
                                             "lt7911: config bus=4 addr=0x2b irq_gpio=44 "
                                             "reset_gpio=67",
                                             "Chip: LT7911D", "lt7911_manage module loaded")));
  /* The bring-up logs no error; the run's first step is the LT7911D's watchdog refusal. */
  lt_expect_errors(test, mark, LT_LINES("LT7911D chip platform unsupported"));
  expect_start_texts(test);
  KUNIT_EXPECT_STREQ(test, lt_board_line_label(LT_GPIO_INT), "init_gpio");
  KUNIT_EXPECT_STREQ(test, lt_board_line_label(LT_GPIO_PWR), "LT7911_PWR");
  irq = lt_board_irq_of(LT_GPIO_INT);
  desc = irq_to_desc(irq);
  KUNIT_ASSERT_NOT_NULL(test, desc);
  KUNIT_ASSERT_NOT_NULL(test, desc->action);
  KUNIT_EXPECT_STREQ(test, desc->action->name, "init_gpio_irq");
  KUNIT_EXPECT_EQ(test, irqd_get_trigger_type(irq_get_irq_data(irq)), IRQ_TYPE_EDGE_BOTH);
  KUNIT_EXPECT_EQ(test, desc->depth, 0u);
  KUNIT_EXPECT_TRUE(test, lt_chip_powered());

  /* The run then publishes what the chip sees: no source. */
  published = lt_log_mark();
  lt_bus_hold_release();
  lt_settle();
  KUNIT_EXPECT_TRUE(
      test, lt_log_in_order(test, published,
                            LT_LINES("HDMI signal state: 0x02", "HDMI signal has disappeared")));
  KUNIT_EXPECT_STREQ(test, lt_read(test, "status"), "disappear\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "width"), "0\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "asr"), "0\n");
}

static void proc_directory_holds_ten_files_with_their_modes(struct kunit* test) {
  static const struct {
    const char* name;
    umode_t mode;
  } files[] = {
      {"power", 0666},         {"status", 0666},  {"width", 0444}, {"height", 0444},
      {"fps", 0444},           {"hdcp", 0444},    {"asr", 0444},   {"edid", 0666},
      {"edid_snapshot", 0444}, {"version", 0666},
  };
  int i;

  KUNIT_ASSERT_EQ(test, lt_insmod(test, ""), 0);
  for (i = 0; i < ARRAY_SIZE(files); i++) {
    KUNIT_EXPECT_EQ_MSG(test, lt_proc_mode(files[i].name), files[i].mode, "%s", files[i].name);
    if (files[i].mode == 0444)
      KUNIT_EXPECT_EQ_MSG(test, lt_open_as_user(files[i].name, O_WRONLY), -EACCES, "%s",
                          files[i].name);
  }
}

static void identification_transfers_select_each_bank_once(struct kunit* test) {
  static const char* const expected[] = {
      "select 0x80",
      "write 0x80:0xEE = 0x01",
      "select 0xA0",
      "read 0xA0:0x00 -> 0x16",
      "read 0xA0:0x01 -> 0x05",
      "select 0x80",
      "write 0x80:0xEE = 0x01",
      "select 0xD2",
      "write 0xD2:0x83 = 0x10",
  };
  unsigned int mark = lt_bus_mark();
  char line[64];
  int i;

  /* Enable (bank 0x80), the two identity bytes behind one select; then, after the power
   * cycle, the run that the bind queues selects its banks afresh. */
  KUNIT_ASSERT_EQ(test, lt_insmod(test, ""), 0);
  for (i = 0; i < ARRAY_SIZE(expected); i++) {
    KUNIT_ASSERT_TRUE(test, lt_bus_line(mark, i, line, sizeof(line)));
    KUNIT_EXPECT_STREQ(test, line, expected[i]);
  }
}

struct insmod_thread {
  struct lt_thread thread;
  int result;
};

static int insmod_main(struct lt_thread* t) {
  struct insmod_thread* it = container_of(t, struct insmod_thread, thread);

  it->result = lt_insmod(t->arg, "");
  return 0;
}

static void power_cycle_at_bring_up_as_seen_by_a_reader(struct kunit* test) {
  struct insmod_thread it;

  /* The bring-up's power cycle is held at its switch back on: the power file says "off". */
  lt_board_power_hold(1);
  lt_thread_start(test, &it.thread, insmod_main, test);
  KUNIT_ASSERT_TRUE(test, lt_board_power_hold_wait()); /* gpio_init's switch on */
  lt_board_power_hold(1);
  lt_board_power_hold_release();
  KUNIT_ASSERT_TRUE(test, lt_board_power_hold_wait()); /* the power cycle's */
  KUNIT_EXPECT_STREQ(test, lt_read(test, "power"), "off\n");
  KUNIT_EXPECT_FALSE(test, lt_chip_powered());
  lt_board_power_hold_release();
  KUNIT_ASSERT_TRUE(test, lt_thread_wait(&it.thread));
  KUNIT_EXPECT_EQ(test, it.result, 0);
  KUNIT_EXPECT_STREQ(test, lt_read(test, "power"), "on\n");
  KUNIT_EXPECT_EQ(test, lt_chip_power_ups(), 2);
}

static void interrupt_during_bring_up_queues_no_work(struct kunit* test) {
  unsigned int bus = lt_bus_mark();
  struct insmod_thread it;
  u64 mark = lt_log_mark();

  /* An edge read high while the probe identifies the chip, its interrupt live: nothing is
   * queued (a queued item would stay pending behind the held one). */
  lt_bus_hold((struct lt_match){LT_READ, 0xA0, 0x00});
  lt_thread_start(test, &it.thread, insmod_main, test);
  KUNIT_ASSERT_TRUE(test, lt_bus_hold_wait());
  lt_wq_hold();
  lt_board_set_irq_level(true);
  lt_board_settle_irqs();
  lt_board_set_irq_level(false);
  lt_board_settle_irqs();
  KUNIT_EXPECT_TRUE(test, irq_has_action(lt_board_irq_of(LT_GPIO_INT)));
  KUNIT_EXPECT_FALSE(test, work_pending((struct work_struct*)lt_sym("get_video_info_work")));
  lt_wq_release();
  lt_bus_hold_release();
  KUNIT_ASSERT_TRUE(test, lt_thread_wait(&it.thread));
  KUNIT_ASSERT_EQ(test, it.result, 0);
  lt_settle();
  KUNIT_EXPECT_EQ_MSG(test, lt_log_count_prefix(test, mark, "HDMI signal state: "), 1,
                      "only the run that the finished bring-up queues");
  KUNIT_EXPECT_EQ(test, lt_bus_count_line(bus, "write 0x80:0xEE = 0x01"), 2u);
}

/* ---- Probe failures of the device tree ---- */

struct variant {
  const char* node;   /* under /variants */
  const char* kernel; /* the kernel's own error line before the probe's, or NULL */
  const char* error;  /* the probe's message */
  int result;         /* the probe's result */
};

static const struct variant dt_variants[] = {
    {"no-irq-gpio", NULL, "lt7911: invalid irq-gpio/reset-gpio in dts", -EINVAL},
    {"no-reset-gpio", NULL, "lt7911: invalid irq-gpio/reset-gpio in dts", -EINVAL},
    {"irq-gpio-out-of-range", NULL, "lt7911: invalid irq-gpio/reset-gpio in dts", -EINVAL},
    /* The device-tree core reports the specifier it cannot parse. */
    {"irq-gpio-not-a-gpio",
     "OF: /variants/irq-gpio-not-a-gpio: could not get #gpio-cells for /i2c@ff3d0000",
     "lt7911: invalid irq-gpio/reset-gpio in dts", -EINVAL},
    {"no-reg", NULL, "lt7911: missing reg in dts", -EINVAL},
};

static void variant_desc(const struct variant* v, char* desc) { strscpy(desc, v->node, 64); }
KUNIT_ARRAY_PARAM(dt_variant, dt_variants, variant_desc);

/* Registers a client at 0x30 on the chip's bus for the node /variants/NAME (or none). */
static struct i2c_client* register_client(struct kunit* test, const char* name) {
  struct i2c_board_info info = {.type = "lt7911d", .addr = 0x30};
  struct device_node* node = NULL;
  struct i2c_client* client;
  char path[64];

  if (name) {
    snprintf(path, sizeof(path), "/variants/%s", name);
    node = of_find_node_by_path(path);
    KUNIT_ASSERT_NOT_NULL_MSG(test, node, "%s", path);
    info.of_node = node;
  }
  client = i2c_new_client_device(lt_chip_bus(), &info);
  of_node_put(node);
  KUNIT_ASSERT_FALSE(test, IS_ERR(client));
  lt_settle();
  return client;
}

/* Loaded, with the board's chip unbound, so that the client at 0x30 is the one probed. */
static void load_and_free_the_chip(struct kunit* test) {
  KUNIT_ASSERT_EQ(test, lt_insmod(test, ""), 0);
  KUNIT_ASSERT_EQ(test, lt_unbind(test, LT_CHIP_DEVICE), 0);
}

static void probe_fails_with_its_messages_and_claims_nothing(struct kunit* test) {
  const struct variant* v = test->param_value;
  struct i2c_client* client;
  char failed[80];
  u64 mark;

  load_and_free_the_chip(test);
  mark = lt_log_mark();
  client = register_client(test, v->node);
  KUNIT_EXPECT_NULL(test, client->dev.driver);
  if (v->kernel)
    lt_expect_errors(test, mark, LT_LINES(v->kernel, v->error, "lt7911: dts parse failed"));
  else
    lt_expect_errors(test, mark, LT_LINES(v->error, "lt7911: dts parse failed"));
  KUNIT_EXPECT_TRUE(
      test,
      lt_log_in_order(test, mark, LT_LINES("Force HDMI width: -1, height: -1, fps: -1", v->error)));
  snprintf(failed, sizeof(failed), LT_MODULE ": probe of 4-0030 failed with error %d", v->result);
  KUNIT_EXPECT_EQ(test, lt_log_count(test, mark, failed), 1);
  expect_nothing_claimed(test);
  i2c_unregister_device(client);
}

static void reg_is_shown_masked_and_the_client_address_is_used(struct kunit* test) {
  struct i2c_client* client;
  u64 mark;

  load_and_free_the_chip(test);
  mark = lt_log_mark();
  client = register_client(test, "reg-0x1ab");
  KUNIT_EXPECT_TRUE(test, lt_log_in_order(test, mark,
                                          LT_LINES("lt7911: config bus=4 addr=0x2b irq_gpio=44 "
                                                   "reset_gpio=67")));
  /* No chip answers at 0x30: identification goes to the client's address and fails there. */
  KUNIT_EXPECT_TRUE(test,
                    lt_log_in_order(test, mark, LT_LINES("This module only supports LT7911 chip")));
  KUNIT_EXPECT_NULL(test, client->dev.driver);
  i2c_unregister_device(client);
}

static void gpio_number_zero_is_accepted(struct kunit* test) {
  struct i2c_client* client;
  u64 mark;

  load_and_free_the_chip(test);
  mark = lt_log_mark();
  client = register_client(test, "gpio-zero");
  KUNIT_EXPECT_TRUE(test, lt_log_in_order(test, mark,
                                          LT_LINES("lt7911: config bus=4 addr=0x30 irq_gpio=0 "
                                                   "reset_gpio=67")));
  i2c_unregister_device(client);
}

static void client_without_device_tree_node(struct kunit* test) {
  struct i2c_client* client;
  u64 mark;

  load_and_free_the_chip(test);
  mark = lt_log_mark();
  client = register_client(test, NULL);
  lt_expect_errors(test, mark, LT_LINES("lt7911: dts node not found", "lt7911: dts parse failed"));
  KUNIT_EXPECT_NULL(test, client->dev.driver);
  i2c_unregister_device(client);
}

static void null_client_is_refused(struct kunit* test) {
  int (*probe)(struct i2c_client*, const struct i2c_device_id*);
  u64 mark;

  load_and_free_the_chip(test);
  probe = lt_sym("lt7911_manage_probe");
  KUNIT_ASSERT_NOT_NULL(test, probe);
  mark = lt_log_mark();
  KUNIT_EXPECT_EQ(test, probe(NULL, NULL), -EINVAL);
  lt_expect_errors(test, mark, LT_LINES("lt7911: invalid i2c client", "lt7911: dts parse failed"));
  /* The refused probe left the module free to bind the chip again. */
  KUNIT_EXPECT_EQ(test, lt_bind(test, LT_CHIP_DEVICE), 0);
  KUNIT_EXPECT_STREQ(test, lt_bound_driver(LT_CHIP_DEVICE), LT_MODULE);
}

/* ---- Probe failures of the chip and the lines ---- */

static void foreign_identity_fails_and_releases_everything(struct kunit* test) {
  u64 mark = lt_log_mark();

  lt_chip_set_identity(0x16, 0x06);
  KUNIT_ASSERT_EQ(test, lt_insmod(test, ""), 0);
  lt_expect_errors(test, mark, LT_LINES("This module only supports LT7911 chip"));
  expect_nothing_claimed(test);
  KUNIT_EXPECT_TRUE_MSG(test, lt_chip_powered(), "gpio_exit leaves the power on");
}

static void unreadable_identity_logs_the_bus_failure(struct kunit* test) {
  u64 mark = lt_log_mark();

  lt_bus_fault((struct lt_match){LT_READ, 0xA0, 0x01}, 1, 1, -EIO);
  KUNIT_ASSERT_EQ(test, lt_insmod(test, ""), 0);
  lt_expect_errors(test, mark,
                   LT_LINES("[R]Failed to read data from the i2c bus; ret = -5",
                            "This module only supports LT7911 chip"));
  expect_nothing_claimed(test);
}

static void failed_enable_still_identifies(struct kunit* test) {
  u64 mark = lt_log_mark();

  lt_bus_fault((struct lt_match){LT_WRITE, 0x80, 0xEE}, 1, 1, -EIO);
  KUNIT_ASSERT_EQ(test, lt_insmod(test, ""), 0);
  lt_expect_errors(test, mark,
                   LT_LINES("[W]Failed to write data to the i2c bus; ret = -5",
                            "Failed to enable LT7911D", "LT7911D chip platform unsupported"));
  KUNIT_EXPECT_STREQ(test, lt_bound_driver(LT_CHIP_DEVICE), LT_MODULE);
}

/* A claim that fails in gpio_init, made to fail by the test taking the resource first. */
enum taken { TAKE_INT_LINE, TAKE_TO_IRQ, TAKE_IRQ, TAKE_PWR_LINE };

struct gpio_failure {
  const char* name;
  enum taken taken;
  const char* kernel; /* the kernel's own error line before the module's, or NULL */
  const char* message;
};

static const struct gpio_failure gpio_failures[] = {
    {"int-line-request", TAKE_INT_LINE, NULL, "GPIO request failed"},
    {"no-irq-number", TAKE_TO_IRQ, NULL, "Unable to get IRQ number"},
    /* The interrupt core reports the clash of the two requests. */
    {"irq-request", TAKE_IRQ,
     "genirq: Flags mismatch irq %d. 00000003 (init_gpio_irq) vs. "
     "00000001 (other)",
     "Unable to request IRQ"},
    {"pwr-line-request", TAKE_PWR_LINE, NULL, "Failed to request GPIO 67 for LT7911 PWR pin"},
};

static void gpio_failure_desc(const struct gpio_failure* f, char* desc) {
  strscpy(desc, f->name, 64);
}
KUNIT_ARRAY_PARAM(gpio_failure, gpio_failures, gpio_failure_desc);

static irqreturn_t other_handler(int irq, void* cookie) { return IRQ_HANDLED; }

static void gpio_failure_releases_what_it_claimed(struct kunit* test) {
  const struct gpio_failure* f = test->param_value;
  int irq = lt_board_irq_of(LT_GPIO_INT);
  u64 mark;

  switch (f->taken) {
    case TAKE_INT_LINE:
      KUNIT_ASSERT_EQ(test, gpio_request(LT_GPIO_INT, "other"), 0);
      break;
    case TAKE_TO_IRQ:
      lt_board_fail_to_irq(true);
      break;
    case TAKE_IRQ:
      KUNIT_ASSERT_EQ(test, request_irq(irq, other_handler, IRQF_TRIGGER_RISING, "other", test), 0);
      break;
    case TAKE_PWR_LINE:
      KUNIT_ASSERT_EQ(test, gpio_request(LT_GPIO_PWR, "other"), 0);
      break;
  }
  mark = lt_log_mark();
  KUNIT_ASSERT_EQ(test, lt_insmod(test, ""), 0);
  if (f->kernel) {
    char kernel[96];

    snprintf(kernel, sizeof(kernel), f->kernel, irq);
    lt_expect_errors(test, mark, LT_LINES(kernel, f->message, "Failed to initialize GPIO"));
  } else {
    lt_expect_errors(test, mark, LT_LINES(f->message, "Failed to initialize GPIO"));
  }
  if (f->taken == TAKE_IRQ) {
    KUNIT_EXPECT_STREQ(test, irq_to_desc(irq)->action->name, "other");
    free_irq(irq, test);
  }
  expect_nothing_claimed(test);
  if (f->taken == TAKE_INT_LINE) gpio_free(LT_GPIO_INT);
  if (f->taken == TAKE_PWR_LINE) {
    KUNIT_EXPECT_FALSE(test, lt_board_line_is_output(LT_GPIO_PWR));
    KUNIT_EXPECT_EQ_MSG(test, lt_chip_power_ups(), 0, "the power is not touched");
    gpio_free(LT_GPIO_PWR);
  }
  lt_board_fail_to_irq(false);
}

static void failed_power_switch_does_not_fail_the_bind(struct kunit* test) {
  u64 mark = lt_log_mark();

  /* The power cycle's switch off (the line's second change) fails. */
  lt_board_fail_power_switch(2, -EIO);
  KUNIT_ASSERT_EQ(test, lt_insmod(test, ""), 0);
  KUNIT_EXPECT_STREQ(test, lt_bound_driver(LT_CHIP_DEVICE), LT_MODULE);
  lt_expect_errors(test, mark,
                   LT_LINES("Failed to set GPIO 67 to low", "LT7911D chip platform unsupported"));
  KUNIT_EXPECT_STREQ(test, lt_read(test, "power"), "on\n");
}

static void proc_creation_failure_rolls_back_and_keeps_foreign_entries(struct kunit* test) {
  struct insmod_thread it;
  u64 mark = lt_log_mark();

  /*
   * From gpio_init's switch on (held there), the bring-up's allocations from the marked caches
   * are its /proc entries: the directory, then the files in their order. The ninth, the edid
   * file's, fails.
   */
  lt_board_power_hold(1);
  lt_thread_start(test, &it.thread, insmod_main, test);
  KUNIT_ASSERT_TRUE(test, lt_board_power_hold_wait());
  WRITE_ONCE(it.thread.task->fail_nth, 9);
  lt_board_power_hold_release();
  KUNIT_ASSERT_TRUE(test, lt_thread_wait(&it.thread));
  KUNIT_ASSERT_EQ(test, it.result, 0);
  lt_expect_errors(test, mark,
                   LT_LINES("Failed to create proc entries", "Failed to create proc info files"));
  expect_nothing_claimed(test);
  KUNIT_EXPECT_TRUE_MSG(test, lt_proc_root_exists("version"), "/proc/version is not the module's");
}

/* ---- Remove, rebind, one chip, unload ---- */

static void remove_releases_and_keeps_the_power_then_rebinds(struct kunit* test) {
  u64 mark;

  KUNIT_ASSERT_EQ(test, lt_insmod(test, ""), 0);
  mark = lt_log_mark();
  KUNIT_ASSERT_EQ(test, lt_unbind(test, LT_CHIP_DEVICE), 0);
  KUNIT_EXPECT_TRUE(test,
                    lt_log_in_order(test, mark, LT_LINES("GPIO-I2C interrupt module unloaded")));
  expect_nothing_claimed(test);
  KUNIT_EXPECT_TRUE(test, lt_chip_powered());

  KUNIT_ASSERT_EQ(test, lt_bind(test, LT_CHIP_DEVICE), 0);
  KUNIT_EXPECT_TRUE(test, lt_proc_exists("version"));
  KUNIT_EXPECT_STREQ(test, lt_read(test, "status"), "disappear\n");
  lt_plug(test, "1080p60");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "width"), "1920\n");
}

static void second_chip_is_refused_and_the_first_keeps_working(struct kunit* test) {
  struct i2c_board_info info = {.type = "lt7911d", .addr = 0x2c};
  int (*remove)(struct i2c_client*);
  struct i2c_client* other;
  u64 mark;

  KUNIT_ASSERT_EQ(test, lt_insmod(test, ""), 0);
  info.of_node = of_find_node_by_path("/i2c@ff3d0000/lt7911d@2b");
  KUNIT_ASSERT_NOT_NULL(test, info.of_node);
  mark = lt_log_mark();
  other = i2c_new_client_device(lt_chip_bus(), &info);
  of_node_put(info.of_node);
  KUNIT_ASSERT_FALSE(test, IS_ERR(other));
  lt_settle();
  KUNIT_EXPECT_NULL(test, other->dev.driver);
  KUNIT_EXPECT_EQ(test,
                  lt_log_count(test, mark, LT_MODULE ": probe of 4-002c failed with error -16"), 1);
  remove = lt_sym("lt7911_manage_remove");
  KUNIT_ASSERT_NOT_NULL(test, remove);
  KUNIT_EXPECT_EQ_MSG(test, remove(other), 0, "a remove of another client does nothing");
  i2c_unregister_device(other);
  lt_settle();
  KUNIT_EXPECT_TRUE(test, lt_proc_exists(""));
  KUNIT_EXPECT_STREQ(test, lt_board_line_label(LT_GPIO_INT), "init_gpio");
  lt_plug(test, "720p60");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "width"), "1280\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "status"), "new res\n");
}

static void unload_is_refused_while_the_status_file_is_open(struct kunit* test) {
  struct file* status;
  u64 mark;

  KUNIT_ASSERT_EQ(test, lt_insmod(test, ""), 0);
  status = lt_open(test, "status", O_RDONLY);
  KUNIT_ASSERT_FALSE(test, IS_ERR(status));
  KUNIT_EXPECT_EQ(test, lt_rmmod(test), -EWOULDBLOCK);
  KUNIT_EXPECT_STREQ(test, lt_bound_driver(LT_CHIP_DEVICE), LT_MODULE);
  lt_close(test, status);
  mark = lt_log_mark();
  KUNIT_EXPECT_EQ(test, lt_rmmod(test), 0);
  KUNIT_EXPECT_TRUE(test,
                    lt_log_in_order(test, mark, LT_LINES("GPIO-I2C interrupt module unloaded")));
  expect_nothing_claimed(test);
}

static void interrupt_rules(struct kunit* test) {
  unsigned int bus;
  u64 mark;
  int i;

  KUNIT_ASSERT_EQ(test, lt_insmod(test, ""), 0);
  /* A line read high queues a run; a falling edge that reads low queues nothing. */
  bus = lt_bus_mark();
  lt_board_set_irq_level(true);
  lt_settle();
  KUNIT_EXPECT_GT(test, lt_bus_count_since(bus), 0u);
  bus = lt_bus_mark();
  lt_board_set_irq_level(false);
  lt_settle();
  KUNIT_EXPECT_EQ(test, lt_bus_count_since(bus), 0u);
  /* A burst of edges while a run is held mid-way queues exactly one more run. */
  lt_bus_hold((struct lt_match){LT_SELECT, LT_ANY, LT_ANY});
  mark = lt_log_mark();
  lt_board_set_irq_level(true);
  lt_board_settle_irqs();
  KUNIT_ASSERT_TRUE(test, lt_bus_hold_wait());
  for (i = 0; i < 5; i++) {
    lt_board_set_irq_level(false);
    lt_board_set_irq_level(true);
  }
  lt_board_settle_irqs();
  lt_bus_hold_release();
  lt_settle();
  KUNIT_EXPECT_EQ(test, lt_log_count(test, mark, "HDMI signal state: 0x02"), 2);
  lt_board_set_irq_level(false);
  lt_settle();
}

static void unknown_platform_queues_nothing(struct kunit* test) {
  unsigned int bus;

  KUNIT_ASSERT_EQ(test, lt_insmod(test, ""), 0);
  /* A second bring-up reads a foreign identity: it fails and leaves chip_platform 0. */
  KUNIT_ASSERT_EQ(test, lt_unbind(test, LT_CHIP_DEVICE), 0);
  lt_chip_set_identity(0x17, 0x05);
  KUNIT_EXPECT_EQ(test, lt_bind(test, LT_CHIP_DEVICE), -ENODEV);
  bus = lt_bus_mark();
  lt_board_set_irq_level(true);
  lt_settle();
  KUNIT_EXPECT_EQ(test, lt_bus_count_since(bus), 0u);
}

static void device_exists_probes_the_chips_bus(struct kunit* test) {
  struct device* chip;
  int (*exists)(u8);
  unsigned int refs;
  u64 mark;

  KUNIT_ASSERT_EQ(test, lt_insmod(test, ""), 0);
  exists = lt_sym("i2c_device_exists");
  KUNIT_ASSERT_NOT_NULL(test, exists);
  refs = kref_read(&lt_chip_bus()->dev.kobj.kref);
  KUNIT_EXPECT_EQ_MSG(test, exists(0x50), 0, "nobody answers there");
  KUNIT_EXPECT_EQ_MSG(test, kref_read(&lt_chip_bus()->dev.kobj.kref), refs,
                      "the adapter is released");
  /* The bound chip's address is taken: no temporary client can be made there. */
  mark = lt_log_mark();
  KUNIT_EXPECT_EQ(test, exists(0x2b), 1);
  lt_expect_errors(test, mark,
                   LT_LINES("i2c i2c-4: Failed to register i2c client dummy at 0x2b (-16)",
                            "Failed to create I2C device"));
  KUNIT_ASSERT_EQ(test, lt_unbind(test, LT_CHIP_DEVICE), 0);
  chip = bus_find_device_by_name(&i2c_bus_type, NULL, LT_CHIP_DEVICE);
  KUNIT_ASSERT_NOT_NULL(test, chip);
  put_device(chip);
  i2c_unregister_device(i2c_verify_client(chip));
  refs = kref_read(&lt_chip_bus()->dev.kobj.kref);
  KUNIT_EXPECT_EQ_MSG(test, exists(0x2b), 1, "a free address where the chip answers");
  KUNIT_EXPECT_EQ_MSG(test, kref_read(&lt_chip_bus()->dev.kobj.kref), refs,
                      "every path releases the adapter");
}

static void device_exists_without_an_adapter(struct kunit* test) {
  int (*exists)(u8);
  int* bus_num;
  struct lt_log* log;
  u64 mark;

  KUNIT_ASSERT_EQ(test, lt_insmod(test, ""), 0);
  exists = lt_sym("i2c_device_exists");
  bus_num = lt_sym("i2c_bus_num");
  KUNIT_ASSERT_NOT_NULL(test, exists);
  KUNIT_ASSERT_NOT_NULL(test, bus_num);
  KUNIT_EXPECT_EQ(test, *bus_num, 4);
  *bus_num = 7;
  mark = lt_log_mark();
  KUNIT_EXPECT_EQ(test, exists(0x2b), 0);
  *bus_num = 4;
  log = lt_log_since(test, mark);
  KUNIT_ASSERT_GT(test, log->n, 0);
  KUNIT_EXPECT_STREQ(test, log->text[0], "Failed to get I2C adapter");
  KUNIT_EXPECT_EQ_MSG(test, log->level[0], 4, "printk's default level");
}

static struct kunit_case binding_cases[] = {
    KUNIT_CASE(good_bind_logs_configuration_and_writes_start_texts),
    KUNIT_CASE(proc_directory_holds_ten_files_with_their_modes),
    KUNIT_CASE(identification_transfers_select_each_bank_once),
    KUNIT_CASE(power_cycle_at_bring_up_as_seen_by_a_reader),
    KUNIT_CASE(interrupt_during_bring_up_queues_no_work),
    KUNIT_CASE_PARAM(probe_fails_with_its_messages_and_claims_nothing, dt_variant_gen_params),
    KUNIT_CASE(reg_is_shown_masked_and_the_client_address_is_used),
    KUNIT_CASE(gpio_number_zero_is_accepted),
    KUNIT_CASE(client_without_device_tree_node),
    KUNIT_CASE(null_client_is_refused),
    KUNIT_CASE(foreign_identity_fails_and_releases_everything),
    KUNIT_CASE(unreadable_identity_logs_the_bus_failure),
    KUNIT_CASE(failed_enable_still_identifies),
    KUNIT_CASE_PARAM(gpio_failure_releases_what_it_claimed, gpio_failure_gen_params),
    KUNIT_CASE(failed_power_switch_does_not_fail_the_bind),
    KUNIT_CASE(proc_creation_failure_rolls_back_and_keeps_foreign_entries),
    KUNIT_CASE(remove_releases_and_keeps_the_power_then_rebinds),
    KUNIT_CASE(second_chip_is_refused_and_the_first_keeps_working),
    KUNIT_CASE(unload_is_refused_while_the_status_file_is_open),
    KUNIT_CASE(interrupt_rules),
    KUNIT_CASE(unknown_platform_queues_nothing),
    KUNIT_CASE(device_exists_probes_the_chips_bus),
    KUNIT_CASE(device_exists_without_an_adapter),
    {},
};

static struct kunit_suite binding_suite = {
    .name = "lt7911_binding",
    .init = lt_case_init,
    .exit = lt_case_exit,
    .test_cases = binding_cases,
};
kunit_test_suite(binding_suite);
