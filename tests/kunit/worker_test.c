// SPDX-License-Identifier: GPL-2.0
/*
 * The status worker on the kernel's work queue: plugs raising the interrupt and the worker
 * publishing the texts, the classification's memory, lost inputs, failing transfers, and the
 * remove racing a queued or running run.
 */
#include "harness.h"

struct worker_env {
  struct file* status;
  struct lt_watch watch;
};

static int worker_init(struct kunit* test) {
  struct worker_env* env;
  int ret = lt_case_init(test);

  if (ret) return ret;
  ret = lt_insmod(test, "");
  if (ret) return ret;
  env = kunit_kzalloc(test, sizeof(*env), GFP_KERNEL);
  if (!env) return -ENOMEM;
  env->status = lt_open(test, "status", O_RDONLY);
  if (IS_ERR(env->status)) return PTR_ERR(env->status);
  lt_watch_start(&env->watch, env->status);
  test->priv = env;
  return 0;
}

static void worker_exit(struct kunit* test) {
  struct worker_env* env = test->priv;

  if (env) lt_watch_stop(&env->watch);
  lt_case_exit(test);
}

static int wakeups(struct kunit* test) {
  struct worker_env* env = test->priv;

  return atomic_read(&env->watch.wakeups);
}

static void first_1080p60_run(struct kunit* test) {
  u64 mark = lt_log_mark();
  struct lt_log* log;
  static const char* const run[] = {
      "LT7911D chip platform unsupported",
      "HDMI signal state: 0x03",
      "HDMI signal is stable",
      "Detected HDMI resolution type: 1",
      "HDMI resolution: 1920 x 1080",
      "LT7911D chip platform does not support HDCP",
      "HDCP mode: no hdcp",
      "",
      "HDMI HTotal: 2200, VTotal: 1125",
      "HDMI FPS: 60",
  };
  int i;

  lt_plug(test, "1080p60");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "status"), "new res\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "width"), "1920\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "height"), "1080\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "hdcp"), "no hdcp\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "fps"), "60\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "asr"), "48\n");
  KUNIT_EXPECT_EQ(test, wakeups(test), 1);
  log = lt_log_since(test, mark);
  KUNIT_ASSERT_EQ(test, log->n, (int)ARRAY_SIZE(run));
  for (i = 0; i < ARRAY_SIZE(run); i++) KUNIT_EXPECT_STREQ(test, log->text[i], run[i]);
}

static void same_input_again_is_published_again(struct kunit* test) {
  int before;
  u64 mark;

  lt_plug(test, "1080p60");
  KUNIT_ASSERT_EQ(test, lt_write(test, "status", "ok"), 2);
  KUNIT_ASSERT_STREQ(test, lt_read(test, "status"), "stable\n");
  before = wakeups(test);
  mark = lt_log_mark();
  lt_interrupt();
  KUNIT_EXPECT_TRUE(test,
                    lt_log_in_order(test, mark, LT_LINES("Detected HDMI resolution type: 0")));
  KUNIT_EXPECT_STREQ(test, lt_read(test, "status"), "new res\n");
  KUNIT_EXPECT_EQ(test, wakeups(test), before + 1);
}

static void unsupported_and_unlisted_modes_are_published(struct kunit* test) {
  u64 mark = lt_log_mark();

  lt_plug(test, "1366x768@60");
  KUNIT_EXPECT_TRUE(test,
                    lt_log_in_order(test, mark, LT_LINES("Detected HDMI resolution type: 2")));
  KUNIT_EXPECT_STREQ(test, lt_read(test, "status"), "new res\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "width"), "1366\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "height"), "768\n");
  mark = lt_log_mark();
  lt_plug(test, "1024x600@60");
  KUNIT_EXPECT_TRUE(test,
                    lt_log_in_order(test, mark, LT_LINES("Detected HDMI resolution type: 3")));
  KUNIT_EXPECT_STREQ(test, lt_read(test, "width"), "1024\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "height"), "600\n");
}

static void classification_remembers_the_last_supported_mode(struct kunit* test) {
  static const char* const modes[] = {"1080p60", "1366x768@60", "1080p60", "1920x1200@60",
                                      "1080p60"};
  static const char* const types[] = {"1", "2", "0", "1", "1"};
  const char* const prefix = "Detected HDMI resolution type: ";
  u64 mark = lt_log_mark();
  struct lt_log* log;
  int i, n = 0;

  for (i = 0; i < ARRAY_SIZE(modes); i++) lt_plug(test, modes[i]);
  log = lt_log_since(test, mark);
  for (i = 0; i < log->n; i++) {
    if (strncmp(log->text[i], prefix, strlen(prefix))) continue;
    if (n < ARRAY_SIZE(types)) KUNIT_EXPECT_STREQ(test, log->text[i] + strlen(prefix), types[n]);
    n++;
  }
  KUNIT_EXPECT_EQ(test, n, (int)ARRAY_SIZE(types));
}

static void signal_loss(struct kunit* test) {
  unsigned int bus;
  int before;
  u64 mark;

  lt_plug(test, "1080p60");
  before = wakeups(test);
  mark = lt_log_mark();
  bus = lt_bus_mark();
  lt_unplug();
  KUNIT_EXPECT_STREQ(test, lt_read(test, "status"), "disappear\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "width"), "0\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "height"), "0\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "fps"), "0\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "hdcp"), "no hdcp\n");
  KUNIT_EXPECT_STREQ_MSG(test, lt_read(test, "asr"), "0\n", "the audio flag is always set");
  KUNIT_EXPECT_EQ(test, wakeups(test), before + 1);
  KUNIT_EXPECT_TRUE(
      test, lt_log_in_order(test, mark,
                            LT_LINES("LT7911D chip platform unsupported", "HDMI signal state: 0x02",
                                     "HDMI signal has disappeared")));
  KUNIT_EXPECT_EQ(test, lt_log_count_prefix(test, mark, "HDMI"), 2);
  KUNIT_EXPECT_EQ(test, lt_bus_count_line(bus, "write 0x80:0xEE = 0x00"), 2u);
}

/* Width, height and fps texts equal the driver's arithmetic on the model's registers. */
static const char* const standard_modes[] = {"480p",    "720p50",      "720p60",
                                             "1080p24", "1080p50",     "1080p60",
                                             "2160p30", "1024x768@60", "1366x768@60"};

static void mode_desc(const char* const* name, char* desc) { strscpy(desc, *name, 64); }
KUNIT_ARRAY_PARAM(standard_mode, standard_modes, mode_desc);

static void standard_mode_end_to_end(struct kunit* test) {
  const struct lt_mode* m = lt_mode_find(*(const char* const*)test->param_value);
  u32 htotal, vtotal, clock, total, fps;
  char text[16];

  KUNIT_ASSERT_NOT_NULL(test, m);
  lt_plug(test, m->name);
  htotal = ((m->htotal / 2) & 0x7FFF) * 2;
  vtotal = m->vtotal;
  clock = (m->pixel_clock_hz / 2000) & 0x7FFFF;
  total = htotal * vtotal;
  fps = total ? clock * 2000u / total : 0;
  snprintf(text, sizeof(text), "%u\n", m->width);
  KUNIT_EXPECT_STREQ(test, lt_read(test, "width"), text);
  snprintf(text, sizeof(text), "%u\n", m->height);
  KUNIT_EXPECT_STREQ(test, lt_read(test, "height"), text);
  snprintf(text, sizeof(text), "%u\n", fps & 0xFFFF);
  KUNIT_EXPECT_STREQ(test, lt_read(test, "fps"), text);
  KUNIT_EXPECT_STREQ(test, lt_read(test, "status"), "new res\n");
}

/* ---- One failing transfer of a stable-video run, by its position in the run ---- */

struct fault_case {
  const char* name;
  unsigned int nth;
  const char* errors[4];
  bool published;
  const char* asr;
  const char* fps;
  unsigned int disables;
};

#define W_OFFSET "[W]Failed to write offset to the i2c bus; ret = -5"
#define W_DATA "[W]Failed to write data to the i2c bus; ret = -5"
#define R_DATA "[R]Failed to read data from the i2c bus; ret = -5"
#define WATCHDOG "LT7911D chip platform unsupported"
#define HDCP "LT7911D chip platform does not support HDCP"

static const struct fault_case fault_cases[] = {
    /* The previous run ended in bank 0x80, so the enable needs no select. */
    {"enable-write", 1, {W_DATA, "Failed to enable LT7911D"}, false, "48\n", "60\n", 0},
    {"state-select", 2, {WATCHDOG, W_OFFSET, "Failed to get HDMI state"}, false, "48\n", "60\n", 1},
    {"state-measure-write",
     3,
     {WATCHDOG, W_DATA, "Failed to get HDMI state"},
     false,
     "48\n",
     "60\n",
     1},
    {"state-read-96", 4, {WATCHDOG, R_DATA, "Failed to get HDMI state"}, false, "48\n", "60\n", 1},
    {"state-read-8c", 7, {WATCHDOG, R_DATA, "Failed to get HDMI state"}, false, "48\n", "60\n", 1},
    /* The resolution failure disables the chip before the audio read, which then reads 0. */
    {"res-select",
     8,
     {WATCHDOG, W_OFFSET, "Failed to get HDMI resolution"},
     false,
     "0\n",
     "60\n",
     2},
    {"res-read-39",
     12,
     {WATCHDOG, R_DATA, "Failed to get HDMI resolution"},
     false,
     "0\n",
     "60\n",
     2},
    {"fps-select", 13, {WATCHDOG, HDCP, W_OFFSET}, true, "44\n", "0\n", 1},
    {"fps-read-9f", 18, {WATCHDOG, HDCP, R_DATA}, true, "44\n", "0\n", 1},
    {"clock-select-write", 20, {WATCHDOG, HDCP, W_DATA}, true, "44\n", "0\n", 1},
    {"clock-read-b3", 24, {WATCHDOG, HDCP, R_DATA}, true, "44\n", "0\n", 1},
    {"audio-read",
     26,
     {WATCHDOG, HDCP, R_DATA, "Failed to get audio sample rate"},
     true,
     "unknown\n",
     "60\n",
     1},
    {"disable-select",
     27,
     {WATCHDOG, HDCP, W_OFFSET, "Failed to disable LT7911D"},
     true,
     "44\n",
     "60\n",
     0},
    {"disable-write",
     28,
     {WATCHDOG, HDCP, W_DATA, "Failed to disable LT7911D"},
     true,
     "44\n",
     "60\n",
     1},
};

static void fault_desc(const struct fault_case* c, char* desc) { strscpy(desc, c->name, 64); }
KUNIT_ARRAY_PARAM(fault, fault_cases, fault_desc);

/*
 * The position of the run's last totals read (VTotal's low byte): failures before it stop the
 * run or the frame-rate query before the totals are known.
 */
#define LAST_TOTALS_READ 18

static void failing_transfer_follows_the_outcome_table(struct kunit* test) {
  const struct fault_case* c = test->param_value;
  unsigned int bus;
  int before, n = 0;
  u64 mark;

  lt_plug(test, "1080p60");
  KUNIT_ASSERT_EQ(test, lt_write(test, "status", "ok"), 2);
  before = wakeups(test);
  mark = lt_log_mark();
  bus = lt_bus_mark();
  lt_bus_fault((struct lt_match){LT_ANY, LT_ANY, LT_ANY}, c->nth, 1, -EIO);
  lt_chip_set_audio_rate(44); /* the next run's input: one interrupt */
  lt_settle();
  while (n < ARRAY_SIZE(c->errors) && c->errors[n]) n++;
  lt_expect_errors(test, mark, c->errors, n);
  KUNIT_EXPECT_STREQ(test, lt_read(test, "status"), c->published ? "new res\n" : "stable\n");
  KUNIT_EXPECT_EQ(test, wakeups(test), before + (c->published ? 1 : 0));
  KUNIT_EXPECT_STREQ(test, lt_read(test, "asr"), c->asr);
  KUNIT_EXPECT_STREQ(test, lt_read(test, "fps"), c->fps);
  KUNIT_EXPECT_EQ(test, lt_bus_count_prefix(bus, "write 0x80:0xEE = 0x00"), c->disables);
  /* The frame-rate query logs its totals only once it has read all four of them. */
  KUNIT_EXPECT_EQ(test, lt_log_count_prefix(test, mark, "HDMI HTotal:"),
                  c->nth > LAST_TOTALS_READ ? 1 : 0);
}

/* ---- Removal and the power file against a run ---- */

/* Starts a run (an audio-rate change) and holds it at its resolution query. */
static void hold_a_run_at_its_resolution_query(struct kunit* test) {
  lt_bus_hold((struct lt_match){LT_READ, 0xC2, 0x06});
  lt_chip_set_audio_rate(32);
  lt_board_settle_irqs();
  KUNIT_ASSERT_TRUE(test, lt_bus_hold_wait());
}

static void remove_waits_for_a_running_run(struct kunit* test) {
  struct worker_env* env = test->priv;
  struct lt_thread unbind;
  unsigned int cancels;
  u64 mark;

  lt_plug(test, "1080p60");
  mark = lt_log_mark();
  hold_a_run_at_its_resolution_query(test);
  lt_watch_stop(&env->watch);
  cancels = lt_cancel_calls();
  lt_unbind_start(test, &unbind);
  KUNIT_ASSERT_TRUE(test, lt_wait_cancel_call(cancels));
  KUNIT_EXPECT_TRUE_MSG(test, lt_thread_wait_blocked(&unbind), "the remove waits for the run");
  KUNIT_EXPECT_TRUE(test, lt_proc_exists(""));
  lt_bus_hold_release();
  KUNIT_ASSERT_TRUE(test, lt_thread_wait(&unbind));
  KUNIT_EXPECT_EQ(test, unbind.result, 0);
  KUNIT_EXPECT_TRUE(
      test,
      lt_log_in_order(test, mark, LT_LINES("HDMI FPS: 60", "GPIO-I2C interrupt module unloaded")));
  KUNIT_EXPECT_FALSE(test, lt_proc_exists(""));
  KUNIT_EXPECT_TRUE(test, lt_chip_powered());
}

static void remove_drops_a_queued_run(struct kunit* test) {
  struct worker_env* env = test->priv;
  unsigned int bus;
  u64 mark;

  lt_plug(test, "1080p60");
  lt_watch_stop(&env->watch);
  /* The run that an interrupt queues stays pending behind a held item of the work queue. */
  lt_wq_hold();
  mark = lt_log_mark();
  bus = lt_bus_mark();
  lt_chip_set_audio_rate(32);
  lt_board_settle_irqs();
  KUNIT_ASSERT_TRUE(test, work_pending(lt_work()));
  KUNIT_EXPECT_EQ(test, lt_unbind(test, LT_CHIP_DEVICE), 0);
  KUNIT_EXPECT_FALSE(test, work_pending(lt_work()));
  lt_wq_release();
  lt_settle();
  KUNIT_EXPECT_EQ_MSG(test, lt_bus_count_since(bus), 0u, "the dropped run never talked");
  KUNIT_EXPECT_EQ(test, lt_log_count_prefix(test, mark, "HDMI signal state"), 0);
  KUNIT_EXPECT_FALSE(test, lt_proc_exists(""));
}

static void run_queued_after_the_remove_starts_does_nothing(struct kunit* test) {
  struct worker_env* env = test->priv;
  unsigned int bus;

  lt_plug(test, "1080p60");
  lt_watch_stop(&env->watch);
  KUNIT_ASSERT_EQ(test, lt_unbind(test, LT_CHIP_DEVICE), 0);
  bus = lt_bus_mark();
  lt_plug(test, "720p60");
  KUNIT_EXPECT_EQ(test, lt_bus_count_since(bus), 0u);
}

struct power_thread {
  struct lt_thread thread;
  ssize_t result;
};

static int power_off_main(struct lt_thread* t) {
  struct power_thread* p = container_of(t, struct power_thread, thread);

  lt_thread_started(t);
  p->result = lt_write(t->arg, "power", "off");
  return 0;
}

static void power_write_waits_for_the_workers_chip_sequence(struct kunit* test) {
  struct power_thread writer = {.result = 1};
  u64 mark;

  lt_plug(test, "1080p60");
  mark = lt_log_mark();
  hold_a_run_at_its_resolution_query(test);
  lt_thread_start(test, &writer.thread, power_off_main, test);
  KUNIT_EXPECT_TRUE_MSG(test, lt_thread_wait_blocked(&writer.thread),
                        "the switch waits for the run");
  KUNIT_EXPECT_TRUE(test, lt_chip_powered());
  lt_bus_hold_release();
  KUNIT_ASSERT_TRUE(test, lt_thread_wait(&writer.thread));
  KUNIT_EXPECT_EQ(test, writer.result, 3);
  KUNIT_EXPECT_FALSE(test, lt_chip_powered());
  lt_expect_errors(test, mark, LT_LINES(WATCHDOG, HDCP));
  KUNIT_EXPECT_STREQ(test, lt_read(test, "status"), "disappear\n");
}

static struct kunit_case worker_cases[] = {
    KUNIT_CASE(first_1080p60_run),
    KUNIT_CASE(same_input_again_is_published_again),
    KUNIT_CASE(unsupported_and_unlisted_modes_are_published),
    KUNIT_CASE(classification_remembers_the_last_supported_mode),
    KUNIT_CASE(signal_loss),
    KUNIT_CASE_PARAM(standard_mode_end_to_end, standard_mode_gen_params),
    KUNIT_CASE_PARAM(failing_transfer_follows_the_outcome_table, fault_gen_params),
    KUNIT_CASE(remove_waits_for_a_running_run),
    KUNIT_CASE(remove_drops_a_queued_run),
    KUNIT_CASE(run_queued_after_the_remove_starts_does_nothing),
    KUNIT_CASE(power_write_waits_for_the_workers_chip_sequence),
    {},
};

static struct kunit_suite worker_suite = {
    .name = "lt7911_status_worker",
    .init = worker_init,
    .exit = worker_exit,
    .test_cases = worker_cases,
};
kunit_test_suite(worker_suite);
