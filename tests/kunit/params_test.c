// SPDX-License-Identifier: GPL-2.0
/*
 * The forced-mode parameters in a real kernel: given to init_module, written and read through
 * their files under /sys/module, and applied by the status worker.
 */
#include "harness.h"

struct params_env {
  struct file* status;
  struct lt_watch watch;
};

/* Loads with the parameters and watches the status file's wake-ups. */
static void load(struct kunit* test, const char* args) {
  struct params_env* env = kunit_kzalloc(test, sizeof(*env), GFP_KERNEL);

  KUNIT_ASSERT_NOT_NULL(test, env);
  KUNIT_ASSERT_EQ(test, lt_insmod(test, args), 0);
  env->status = lt_open(test, "status", O_RDONLY);
  KUNIT_ASSERT_FALSE(test, IS_ERR(env->status));
  lt_watch_start(&env->watch, env->status);
  test->priv = env;
}

static void params_exit(struct kunit* test) {
  struct params_env* env = test->priv;

  if (env) lt_watch_stop(&env->watch);
  lt_case_exit(test);
}

static int wakeups(struct kunit* test) {
  struct params_env* env = test->priv;

  return atomic_read(&env->watch.wakeups);
}

static const char* mode(struct kunit* test) {
  char* text = kunit_kzalloc(test, 64, GFP_KERNEL);

  KUNIT_ASSERT_NOT_NULL(test, text);
  snprintf(text, 64, "%s%s%s", lt_read(test, "width"), lt_read(test, "height"),
           lt_read(test, "fps"));
  return text;
}

static void files_show_the_values_with_their_modes(struct kunit* test) {
  static const char* const names[] = {"force_width", "force_height", "force_fps"};
  int i;

  load(test, "");
  for (i = 0; i < ARRAY_SIZE(names); i++) {
    KUNIT_EXPECT_STREQ_MSG(test, lt_param_read(test, names[i]), "-1\n", "%s", names[i]);
    KUNIT_EXPECT_EQ_MSG(test, lt_param_mode(names[i]), 0644, "%s", names[i]);
  }
}

static void given_at_load_they_show_at_the_first_interrupt_with_a_signal(struct kunit* test) {
  struct lt_log* log;
  u64 mark;

  load(test, "force_width=1280 force_height=720 force_fps=50");
  KUNIT_EXPECT_STREQ_MSG(test, lt_read(test, "status"), "disappear\n", "the start texts stay");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "width"), "0\n");
  mark = lt_log_mark();
  lt_plug(test, "1080p60");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "status"), "new res\n");
  KUNIT_EXPECT_STREQ(test, mode(test), "1280\n720\n50\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "hdcp"), "no hdcp\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "asr"), "48\n");
  /* No resolution, HDCP or frame-rate query. */
  log = lt_log_since(test, mark);
  KUNIT_ASSERT_EQ(test, log->n, 2);
  KUNIT_EXPECT_STREQ(test, log->text[0], "LT7911D chip platform unsupported");
  KUNIT_EXPECT_STREQ(test, log->text[1], "HDMI signal state: 0x03");
  KUNIT_EXPECT_EQ(test, wakeups(test), 1);
}

static void set_operation_publishes_and_queues_by_its_rules(struct kunit* test) {
  const char* const run = "HDMI signal state: ";
  int w;
  u64 mark;

  load(test, "");
  lt_plug(test, "1080p60");
  KUNIT_ASSERT_EQ(test, lt_write(test, "status", "ok"), 2);
  w = wakeups(test);

  /* Width alone publishes nothing. */
  KUNIT_EXPECT_EQ(test, lt_param_write(test, "force_width", "1920"), 4);
  KUNIT_EXPECT_STREQ(test, lt_param_read(test, "force_width"), "1920\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "status"), "stable\n");
  KUNIT_EXPECT_EQ(test, wakeups(test), w);

  /* With the height, the forced mode is published at once, fps -1 showing as 30. */
  mark = lt_log_mark();
  KUNIT_EXPECT_EQ(test, lt_param_write(test, "force_height", "1080"), 4);
  KUNIT_EXPECT_STREQ(test, lt_read(test, "status"), "new res\n");
  KUNIT_EXPECT_STREQ(test, mode(test), "1920\n1080\n30\n");
  KUNIT_EXPECT_EQ(test, wakeups(test), ++w);
  KUNIT_EXPECT_EQ_MSG(test, lt_log_count_prefix(test, mark, run), 0, "published by the writer");

  KUNIT_EXPECT_EQ(test, lt_param_write(test, "force_fps", "60"), 2);
  KUNIT_EXPECT_STREQ(test, mode(test), "1920\n1080\n60\n");
  KUNIT_EXPECT_EQ(test, wakeups(test), ++w);

  /* The same value again publishes again. */
  KUNIT_EXPECT_EQ(test, lt_param_write(test, "force_width", "1920"), 4);
  KUNIT_EXPECT_EQ(test, wakeups(test), ++w);

  /* Clearing fps queues a measurement; the worker publishes the forced mode with fps 30. */
  mark = lt_log_mark();
  KUNIT_EXPECT_EQ(test, lt_param_write(test, "force_fps", "-1"), 2);
  KUNIT_EXPECT_EQ(test, lt_log_count_prefix(test, mark, run), 1);
  KUNIT_EXPECT_STREQ(test, mode(test), "1920\n1080\n30\n");
  KUNIT_EXPECT_EQ(test, wakeups(test), ++w);

  /* Writing -1 where it already is -1 publishes (width and height are positive). */
  mark = lt_log_mark();
  KUNIT_EXPECT_EQ(test, lt_param_write(test, "force_fps", "-1"), 2);
  KUNIT_EXPECT_EQ(test, lt_log_count_prefix(test, mark, run), 0);
  KUNIT_EXPECT_EQ(test, wakeups(test), ++w);

  /* 0 is not positive: no publication and no measurement. */
  mark = lt_log_mark();
  KUNIT_EXPECT_EQ(test, lt_param_write(test, "force_width", "0"), 1);
  KUNIT_EXPECT_EQ(test, lt_log_count_prefix(test, mark, run), 0);
  KUNIT_EXPECT_EQ(test, wakeups(test), w);

  /* A text that is no integer is refused and changes nothing. */
  KUNIT_EXPECT_EQ(test, lt_param_write(test, "force_height", "abc"), -EINVAL);
  KUNIT_EXPECT_STREQ(test, lt_param_read(test, "force_height"), "1080\n");
  KUNIT_EXPECT_EQ(test, wakeups(test), w);

  /* Clearing the height queues one measurement, which publishes the measured mode. */
  mark = lt_log_mark();
  KUNIT_EXPECT_EQ(test, lt_param_write(test, "force_height", "-1"), 2);
  KUNIT_EXPECT_EQ(test, lt_log_count_prefix(test, mark, run), 1);
  KUNIT_EXPECT_STREQ(test, mode(test), "1920\n1080\n60\n");
  KUNIT_EXPECT_EQ(test, wakeups(test), ++w);
}

static void clearing_before_any_bind_queues_nothing(struct kunit* test) {
  /* Set, then cleared, before the work item exists: queueing the item uninitialised would be
   * reported by the work item's object debugging. */
  load(test, "force_width=1280 force_width=-1");
  KUNIT_EXPECT_STREQ(test, lt_param_read(test, "force_width"), "-1\n");
}

struct worker_forced {
  const char* name;
  const char* params;
  const char* plug; /* NULL to unplug */
  const char* status;
  const char* mode;
};

static const struct worker_forced forced_cases[] = {
    {"fps-0-shows-30", "force_width=1280 force_height=720 force_fps=0", "720p60", "new res\n",
     "1280\n720\n30\n"},
    {"fps-144", "force_width=1280 force_height=720 force_fps=144", "720p60", "new res\n",
     "1280\n720\n144\n"},
    {"width-0", "force_width=0 force_height=1080", "720p60", "new res\n", "0\n1080\n30\n"},
    {"width-70000", "force_width=70000 force_height=1080", "720p60", "new res\n",
     "4464\n1080\n30\n"},
    {"signal-lost", "force_width=1280 force_height=720", NULL, "disappear\n", "0\n0\n0\n"},
    {"height-not-forced", "force_width=1280", "720p60", "new res\n", "1280\n720\n60\n"},
};

static void forced_desc(const struct worker_forced* c, char* desc) { strscpy(desc, c->name, 64); }
KUNIT_ARRAY_PARAM(forced, forced_cases, forced_desc);

static void worker_publishes_the_forced_or_measured_mode(struct kunit* test) {
  const struct worker_forced* c = test->param_value;

  load(test, c->params);
  lt_plug(test, "1080p60");
  if (c->plug)
    lt_plug(test, c->plug);
  else
    lt_unplug();
  KUNIT_EXPECT_STREQ(test, lt_read(test, "status"), c->status);
  KUNIT_EXPECT_STREQ(test, mode(test), c->mode);
}

static struct kunit_case params_cases[] = {
    KUNIT_CASE(files_show_the_values_with_their_modes),
    KUNIT_CASE(given_at_load_they_show_at_the_first_interrupt_with_a_signal),
    KUNIT_CASE(set_operation_publishes_and_queues_by_its_rules),
    KUNIT_CASE(clearing_before_any_bind_queues_nothing),
    KUNIT_CASE_PARAM(worker_publishes_the_forced_or_measured_mode, forced_gen_params),
    {},
};

static struct kunit_suite params_suite = {
    .name = "lt7911_force_params",
    .init = lt_case_init,
    .exit = params_exit,
    .test_cases = params_cases,
};
kunit_test_suite(params_suite);
