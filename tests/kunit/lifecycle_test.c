// SPDX-License-Identifier: GPL-2.0
/*
 * The module's life around its binding in a real kernel: a source present at bind, parameter
 * writes racing the module's exit and the probe on the kernel's work queue, pollers of the
 * status file while the chip goes away, and the bank cache across power switches.
 */
#include <linux/module.h>
#include <linux/notifier.h>

#include "harness.h"

/* ---- A source present at bind ---- */

static void source_present_at_load_is_reported_without_a_further_event(struct kunit* test) {
  u64 mark = lt_log_mark();

  lt_chip_plug(lt_mode_find("1080p60"));
  KUNIT_ASSERT_EQ(test, lt_insmod(test, ""), 0);
  KUNIT_EXPECT_STREQ(test, lt_read(test, "status"), "new res\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "width"), "1920\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "height"), "1080\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "fps"), "60\n");
  KUNIT_EXPECT_EQ_MSG(test, lt_log_count_prefix(test, mark, "HDMI signal state: "), 1,
                      "one run, queued at the end of the bring-up");
}

static void source_present_at_rebind_and_reload_is_reported(struct kunit* test) {
  KUNIT_ASSERT_EQ(test, lt_insmod(test, ""), 0);
  lt_plug(test, "1080p60");
  KUNIT_ASSERT_EQ(test, lt_write(test, "status", "ok"), 2);
  KUNIT_ASSERT_EQ(test, lt_unbind(test, LT_CHIP_DEVICE), 0);
  KUNIT_ASSERT_EQ(test, lt_bind(test, LT_CHIP_DEVICE), 0);
  KUNIT_EXPECT_STREQ(test, lt_read(test, "status"), "new res\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "width"), "1920\n");
  KUNIT_ASSERT_EQ(test, lt_rmmod(test), 0);
  KUNIT_ASSERT_EQ(test, lt_insmod(test, ""), 0);
  KUNIT_EXPECT_STREQ(test, lt_read(test, "status"), "new res\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "height"), "1080\n");
}

static void forced_mode_given_at_load_shows_at_bind_with_a_source(struct kunit* test) {
  lt_chip_plug(lt_mode_find("1080p60"));
  KUNIT_ASSERT_EQ(test, lt_insmod(test, "force_width=1280 force_height=720"), 0);
  KUNIT_EXPECT_STREQ(test, lt_read(test, "status"), "new res\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "width"), "1280\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "height"), "720\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "fps"), "30\n");
}

/* ---- Parameter writes racing the exit and the probe ---- */

struct exit_race {
  struct kunit* test;
  struct notifier_block nb;
  ssize_t cleared;
  bool pending;
  bool called;
};

/*
 * Called after the module's exit function returned and before the module is freed: its
 * parameter files are still there. A forced value cleared now must queue nothing, or the run
 * would outlive the module.
 */
static int exit_race_notify(struct notifier_block* nb, unsigned long state, void* data) {
  struct exit_race* r = container_of(nb, struct exit_race, nb);
  struct module* mod = data;
  struct work_struct* work;

  if (state != MODULE_STATE_GOING || strcmp(mod->name, LT_MODULE)) return NOTIFY_DONE;
  r->called = true;
  r->cleared = lt_param_write(r->test, "force_width", "-1");
  work = lt_sym("get_video_info_work");
  r->pending = work && work_pending(work);
  /* Should it have been queued, it is dropped here, while its code is still there. */
  if (work && work->func) cancel_work_sync(work);
  return NOTIFY_DONE;
}

static void parameter_cleared_during_the_exit_queues_nothing(struct kunit* test) {
  struct exit_race race = {.test = test, .nb = {.notifier_call = exit_race_notify}};

  KUNIT_ASSERT_EQ(test, lt_insmod(test, ""), 0);
  KUNIT_ASSERT_EQ(test, lt_param_write(test, "force_width", "1280"), 4);
  /* A run queued now would stay pending behind the held item. */
  lt_wq_hold();
  KUNIT_ASSERT_EQ(test, register_module_notifier(&race.nb), 0);
  KUNIT_EXPECT_EQ(test, lt_rmmod(test), 0);
  unregister_module_notifier(&race.nb);
  lt_wq_release();
  KUNIT_EXPECT_TRUE(test, race.called);
  KUNIT_EXPECT_EQ_MSG(test, race.cleared, 2, "the write itself succeeds");
  KUNIT_EXPECT_FALSE_MSG(test, race.pending, "the clear queued a run after the exit");
}

struct probe_window {
  struct kunit* test;
  struct lt_thread writer;
  ssize_t cleared;
  bool writer_waited;
  bool writer_done_early;
};

static int clear_main(struct lt_thread* t) {
  struct probe_window* w = t->arg;

  lt_thread_started(t);
  w->cleared = lt_param_write(w->test, "force_width", "-1");
  return 0;
}

/*
 * In the probe, between its cancel_work_sync and its INIT_WORK: a writer clears a value. The
 * probe stays here while the writer runs as far as it can: until it waits for the module's
 * lock of the work item, or ends.
 */
static void in_the_probe_window(void* arg) {
  struct probe_window* w = arg;
  struct mutex* work_lock = lt_sym("lt7911_work_lock");
  unsigned long end = jiffies + LT_WAIT;

  lt_thread_start(w->test, &w->writer, clear_main, w);
  while (!lt_thread_done(&w->writer) && time_before(jiffies, end) &&
         !(work_lock && lt_thread_blocked(&w->writer) && !list_empty(&work_lock->wait_list)))
    schedule_timeout_uninterruptible(1);
  w->writer_waited = lt_thread_blocked(&w->writer);
  w->writer_done_early = lt_thread_done(&w->writer);
}

static void parameter_cleared_inside_the_probes_work_window_waits_for_it(struct kunit* test) {
  struct probe_window w = {.test = test};

  KUNIT_ASSERT_EQ(test, lt_insmod(test, ""), 0);
  KUNIT_ASSERT_EQ(test, lt_param_write(test, "force_width", "1280"), 4);
  KUNIT_ASSERT_EQ(test, lt_unbind(test, LT_CHIP_DEVICE), 0);
  lt_wq_hold();
  lt_after_next_cancel(in_the_probe_window, &w);
  KUNIT_EXPECT_EQ(test, lt_bind(test, LT_CHIP_DEVICE), 0);
  KUNIT_ASSERT_TRUE(test, lt_thread_wait(&w.writer));
  KUNIT_EXPECT_TRUE_MSG(test, w.writer_waited, "the writer waits for the probe's INIT_WORK");
  KUNIT_EXPECT_FALSE(test, w.writer_done_early);
  KUNIT_EXPECT_EQ(test, w.cleared, 2);
  KUNIT_EXPECT_TRUE_MSG(test, work_pending(lt_work()), "a measurement queued behind the probe");
  lt_wq_release();
  lt_settle();
  KUNIT_EXPECT_STREQ(test, lt_read(test, "status"), "disappear\n");
}

/* ---- Pollers while the chip goes away ---- */

static void poller_blocked_at_unbind_hangs_up_before_the_files_go(struct kunit* test) {
  struct lt_poller poller = {};
  struct file* status;
  char text[16];

  KUNIT_ASSERT_EQ(test, lt_insmod(test, ""), 0);
  status = lt_open(test, "status", O_RDONLY);
  KUNIT_ASSERT_FALSE(test, IS_ERR(status));
  KUNIT_ASSERT_EQ(test, lt_fread(status, text, sizeof(text)), 10);
  lt_poller_start(test, &poller, status);
  KUNIT_ASSERT_TRUE(test, lt_poller_wait_registered(&poller));
  KUNIT_ASSERT_EQ(test, lt_unbind(test, LT_CHIP_DEVICE), 0);
  KUNIT_EXPECT_EQ(test, lt_poller_join(&poller), EPOLLERR | EPOLLHUP);
  KUNIT_EXPECT_TRUE_MSG(test, poller.files_there, "the poller left before the files went");
  KUNIT_EXPECT_FALSE(test, waitqueue_active(lt_status_queue()));
  /* A poll of the old file now answers the default mask and waits on nothing. */
  KUNIT_EXPECT_EQ(test, lt_poll_now(status), EPOLLIN);
  lt_close(test, status);
  KUNIT_EXPECT_EQ_MSG(test, lt_rmmod(test), 0, "no waiter left on the module's queue");
}

static int queue_entries(wait_queue_head_t* head) {
  struct list_head* entry;
  unsigned long flags;
  int n = 0;

  spin_lock_irqsave(&head->lock, flags);
  list_for_each(entry, &head->head) n++;
  spin_unlock_irqrestore(&head->lock, flags);
  return n;
}

static void poller_arriving_while_the_files_go_hangs_up_at_once(struct kunit* test) {
  struct lt_poller poller = {};
  struct lt_thread unbind;
  struct lt_watch watch;
  wait_queue_head_t* queue;
  struct file* status;
  int i;

  KUNIT_ASSERT_EQ(test, lt_insmod(test, ""), 0);
  queue = lt_status_queue();
  status = lt_open(test, "status", O_RDONLY);
  KUNIT_ASSERT_FALSE(test, IS_ERR(status));
  /* A registration that does not leave at the hang-up, as an epoll set's: the remove, having
   * hung up, waits for it to go with the status file still there. */
  lt_watch_start(&watch, status);
  lt_unbind_start(test, &unbind);
  for (i = 0; i < 100 && !atomic_read(&watch.wakeups); i++) schedule_timeout_uninterruptible(1);
  KUNIT_ASSERT_EQ_MSG(test, atomic_read(&watch.wakeups), 1, "the remove hung up");
  KUNIT_EXPECT_TRUE(test, lt_thread_wait_blocked(&unbind));
  KUNIT_EXPECT_TRUE(test, lt_proc_exists("status"));
  /* A poll now hangs up at once and registers nowhere. */
  lt_poller_start(test, &poller, status);
  KUNIT_EXPECT_EQ(test, lt_poller_join(&poller), EPOLLERR | EPOLLHUP);
  KUNIT_EXPECT_EQ(test, lt_poll_now(status), EPOLLERR | EPOLLHUP);
  KUNIT_EXPECT_EQ_MSG(test, queue_entries(queue), 1, "only the lasting registration");
  lt_watch_stop(&watch);
  KUNIT_ASSERT_TRUE(test, lt_thread_wait(&unbind));
  KUNIT_EXPECT_EQ(test, unbind.result, 0);
  KUNIT_EXPECT_FALSE(test, lt_proc_exists(""));
}

static void unload_waits_for_no_poller_and_rebind_makes_polls_wait_again(struct kunit* test) {
  struct lt_poller poller = {}, again = {};
  struct file* status;

  KUNIT_ASSERT_EQ(test, lt_insmod(test, ""), 0);
  status = lt_open(test, "status", O_RDONLY);
  KUNIT_ASSERT_FALSE(test, IS_ERR(status));
  lt_poller_start(test, &poller, status);
  KUNIT_ASSERT_TRUE(test, lt_poller_wait_registered(&poller));
  KUNIT_EXPECT_EQ_MSG(test, lt_rmmod(test), -EWOULDBLOCK, "the open file holds the module");
  KUNIT_ASSERT_EQ(test, lt_unbind(test, LT_CHIP_DEVICE), 0);
  KUNIT_EXPECT_EQ(test, lt_poller_join(&poller), EPOLLERR | EPOLLHUP);
  lt_close(test, status);
  KUNIT_ASSERT_EQ(test, lt_bind(test, LT_CHIP_DEVICE), 0);
  status = lt_open(test, "status", O_RDONLY);
  KUNIT_ASSERT_FALSE(test, IS_ERR(status));
  lt_poller_start(test, &again, status);
  KUNIT_EXPECT_TRUE_MSG(test, lt_poller_wait_registered(&again), "a poll waits after the rebind");
  lt_plug(test, "1080p60");
  KUNIT_EXPECT_EQ(test, lt_poller_join(&again), EPOLLPRI);
  lt_close(test, status);
  KUNIT_EXPECT_EQ(test, lt_rmmod(test), 0);
}

/* ---- The bank cache across power switches ---- */

static void only_a_real_power_up_forgets_the_selected_bank(struct kunit* test) {
  unsigned int mark;
  char line[64];

  KUNIT_ASSERT_EQ(test, lt_insmod(test, ""), 0);
  /* The bind's run left bank 0x80 selected. Switching on a chip that is on keeps it. */
  KUNIT_ASSERT_EQ(test, lt_write(test, "power", "on"), 2);
  mark = lt_bus_mark();
  lt_interrupt();
  KUNIT_ASSERT_TRUE(test, lt_bus_line(mark, 0, line, sizeof(line)));
  KUNIT_EXPECT_STREQ(test, line, "write 0x80:0xEE = 0x01");
  /* Off and on again: the chip's registers were reset, so the bank is selected afresh. */
  KUNIT_ASSERT_EQ(test, lt_write(test, "power", "off"), 3);
  KUNIT_ASSERT_EQ(test, lt_write(test, "power", "on"), 2);
  mark = lt_bus_mark();
  lt_interrupt();
  KUNIT_ASSERT_TRUE(test, lt_bus_line(mark, 0, line, sizeof(line)));
  KUNIT_EXPECT_STREQ(test, line, "select 0x80");
  KUNIT_ASSERT_TRUE(test, lt_bus_line(mark, 1, line, sizeof(line)));
  KUNIT_EXPECT_STREQ(test, line, "write 0x80:0xEE = 0x01");
}

static struct kunit_case lifecycle_cases[] = {
    KUNIT_CASE(source_present_at_load_is_reported_without_a_further_event),
    KUNIT_CASE(source_present_at_rebind_and_reload_is_reported),
    KUNIT_CASE(forced_mode_given_at_load_shows_at_bind_with_a_source),
    KUNIT_CASE(parameter_cleared_during_the_exit_queues_nothing),
    KUNIT_CASE(parameter_cleared_inside_the_probes_work_window_waits_for_it),
    KUNIT_CASE(poller_blocked_at_unbind_hangs_up_before_the_files_go),
    KUNIT_CASE(poller_arriving_while_the_files_go_hangs_up_at_once),
    KUNIT_CASE(unload_waits_for_no_poller_and_rebind_makes_polls_wait_again),
    KUNIT_CASE(only_a_real_power_up_forgets_the_selected_bank),
    {},
};

static struct kunit_suite lifecycle_suite = {
    .name = "lt7911_lifecycle",
    .init = lt_case_init,
    .exit = lt_case_exit,
    .test_cases = lifecycle_cases,
};
kunit_test_suite(lifecycle_suite);
