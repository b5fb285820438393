// SPDX-License-Identifier: GPL-2.0
/*
 * The status file's poll/read/"ok" protocol with several openers, the simple reads and the power
 * file, through the VFS of a real kernel.
 */
#include "harness.h"

static int status_init(struct kunit* test) {
  int ret = lt_case_init(test);

  if (ret) return ret;
  return lt_insmod(test, "");
}

static struct file* open_status(struct kunit* test, int flags) {
  struct file* file = lt_open(test, "status", flags);

  KUNIT_ASSERT_FALSE(test, IS_ERR(file));
  return file;
}

static const char* read_fd(struct kunit* test, struct file* file, size_t n) {
  char* text = kunit_kzalloc(test, 65, GFP_KERNEL);
  ssize_t ret;

  KUNIT_ASSERT_NOT_NULL(test, text);
  ret = lt_fread(file, text, n > 64 ? 64 : n);
  KUNIT_EXPECT_GE(test, ret, 0);
  return text;
}

static void fresh_open_sees_no_event_until_a_publication(struct kunit* test) {
  struct file* status = open_status(test, O_RDWR);

  KUNIT_EXPECT_EQ(test, lt_poll_now(status), 0u);
  lt_plug(test, "1080p60");
  KUNIT_EXPECT_EQ(test, lt_poll_now(status), EPOLLPRI);
  KUNIT_EXPECT_EQ_MSG(test, lt_poll_now(status), EPOLLPRI, "pending until this opener reads");
  KUNIT_EXPECT_STREQ(test, read_fd(test, status, 1), "n");
  KUNIT_EXPECT_EQ(test, lt_poll_now(status), 0u);
}

static void read_at_the_end_leaves_the_event_pending_and_a_reread_catches_up(struct kunit* test) {
  struct file* status = open_status(test, O_RDONLY);

  KUNIT_EXPECT_STREQ(test, read_fd(test, status, 64), "disappear\n");
  lt_plug(test, "1080p60");
  KUNIT_EXPECT_STREQ(test, read_fd(test, status, 64), "");
  KUNIT_EXPECT_EQ(test, lt_poll_now(status), EPOLLPRI);
  KUNIT_EXPECT_EQ(test, vfs_llseek(status, 0, SEEK_SET), 0);
  KUNIT_EXPECT_STREQ(test, read_fd(test, status, 64), "new res\n");
  KUNIT_EXPECT_EQ(test, lt_poll_now(status), 0u);
}

static void one_openers_read_leaves_the_others_event_pending(struct kunit* test) {
  struct file* a = open_status(test, O_RDONLY);
  struct file* b = open_status(test, O_RDONLY);

  lt_plug(test, "1080p60");
  KUNIT_EXPECT_STREQ(test, read_fd(test, a, 64), "new res\n");
  KUNIT_EXPECT_EQ(test, lt_poll_now(a), 0u);
  KUNIT_EXPECT_EQ(test, lt_poll_now(b), EPOLLPRI);
}

static void ok_acknowledges_a_new_resolution_and_wakes_every_opener(struct kunit* test) {
  struct file *a, *b;

  lt_plug(test, "1080p60");
  a = open_status(test, O_RDWR);
  b = open_status(test, O_RDONLY);
  KUNIT_EXPECT_EQ(test, lt_fwrite(a, "ok", 2), 2);
  KUNIT_EXPECT_STREQ(test, lt_read(test, "status"), "stable\n");
  KUNIT_EXPECT_EQ(test, lt_poll_now(a), EPOLLPRI);
  KUNIT_EXPECT_EQ(test, lt_poll_now(b), EPOLLPRI);
  /* A second "ok" changes nothing and wakes nobody. */
  KUNIT_EXPECT_STREQ(test, read_fd(test, a, 64), "stable\n");
  KUNIT_EXPECT_STREQ(test, read_fd(test, b, 64), "stable\n");
  KUNIT_EXPECT_EQ(test, lt_fwrite(a, "ok", 2), 2);
  KUNIT_EXPECT_EQ(test, lt_poll_now(a), 0u);
  KUNIT_EXPECT_EQ(test, lt_poll_now(b), 0u);
}

static void blocked_poller_wakes_with_pollpri(struct kunit* test) {
  struct file* status = open_status(test, O_RDONLY);
  struct lt_poller poller = {};

  lt_poller_start(test, &poller, status);
  KUNIT_ASSERT_TRUE(test, lt_poller_wait_registered(&poller));
  lt_plug(test, "720p60");
  KUNIT_EXPECT_EQ(test, lt_poller_join(&poller), EPOLLPRI);
}

/* ---- Status writes ---- */

struct ack_case {
  const char* name;
  bool new_res; /* "new res" after a plug, else "disappear" */
  const char* bytes;
  ssize_t result;
  const char* after;
};

static const struct ack_case ack_cases[] = {
    {"ok", true, "ok", 2, "stable\n"},
    {"ok-newline", true, "ok\n", 3, "stable\n"},
    {"okay", true, "okay", 4, "stable\n"},
    {"fifteen", true, "ok_____________", 15, "stable\n"},
    {"sixteen", true, "ok______________", -EINVAL, "new res\n"},
    {"upper-case", true, "OK", 2, "new res\n"},
    {"leading-blank", true, " ok", 3, "new res\n"},
    {"lone-k", true, "k", 1, "new res\n"},
    {"empty", true, "", 0, "new res\n"},
    {"disappear-is-not-acknowledged", false, "ok\n", 3, "disappear\n"},
};

static void ack_desc(const struct ack_case* c, char* desc) { strscpy(desc, c->name, 64); }
KUNIT_ARRAY_PARAM(ack, ack_cases, ack_desc);

static void status_write_is_judged_on_its_first_two_bytes(struct kunit* test) {
  const struct ack_case* c = test->param_value;

  if (c->new_res) lt_plug(test, "1080p60");
  KUNIT_ASSERT_STREQ(test, lt_read(test, "status"), c->new_res ? "new res\n" : "disappear\n");
  KUNIT_EXPECT_EQ(test, lt_write(test, "status", c->bytes), c->result);
  KUNIT_EXPECT_STREQ(test, lt_read(test, "status"), c->after);
}

static void short_write_is_not_judged_on_an_earlier_writes_bytes(struct kunit* test) {
  lt_plug(test, "1080p60");
  KUNIT_EXPECT_EQ(test, lt_write(test, "status", "xk"), 2);
  KUNIT_EXPECT_EQ(test, lt_write(test, "status", "o"), 1);
  KUNIT_EXPECT_STREQ(test, lt_read(test, "status"), "new res\n");
}

static void unreadable_user_buffer_fails_with_efault(struct kunit* test) {
  struct file* status;
  unsigned long half;

  lt_plug(test, "1080p60");
  status = open_status(test, O_RDWR);
  half = lt_user_readable_only("o", 1);
  KUNIT_ASSERT_NE(test, half, 0ul);
  KUNIT_EXPECT_EQ(test, lt_fwrite_user(status, half, 2), -EFAULT);
  KUNIT_EXPECT_EQ(test, lt_fwrite_user(status, lt_user_unmapped(), 2), -EFAULT);
  KUNIT_EXPECT_STREQ(test, lt_read(test, "status"), "new res\n");
  /* A read into an unwritable buffer fails and leaves the event pending. */
  lt_plug(test, "720p60");
  KUNIT_EXPECT_EQ(test, lt_fread_user(status, lt_user_unmapped(), 16), -EFAULT);
  KUNIT_EXPECT_EQ(test, lt_poll_now(status), EPOLLPRI);
}

static void open_fails_when_the_counter_cannot_be_allocated(struct kunit* test) {
  struct file* status;

  /* The open's first allocation from kmalloc-16 is the module's per-open state. */
  lt_fail_nth(1);
  status = lt_open(test, "status", O_RDONLY);
  lt_fail_nth(0);
  KUNIT_EXPECT_EQ(test, PTR_ERR_OR_ZERO(status), -ENOMEM);
  if (!IS_ERR(status)) lt_close(test, status);
  KUNIT_EXPECT_EQ_MSG(test, lt_rmmod(test), 0, "the module reference was given back");
}

static void simple_reads_serve_the_text_in_pieces(struct kunit* test) {
  struct file* width;

  lt_plug(test, "1080p60");
  width = lt_open(test, "width", O_RDONLY);
  KUNIT_ASSERT_FALSE(test, IS_ERR(width));
  KUNIT_EXPECT_STREQ(test, read_fd(test, width, 1), "1");
  KUNIT_EXPECT_STREQ(test, read_fd(test, width, 64), "920\n");
  KUNIT_EXPECT_STREQ(test, read_fd(test, width, 64), "");
}

/*
 * A read that goes on after the text changed ends there: it never serves the tail of the new
 * text after the head of the old one. A rewind reads the new text whole. The pairs of texts share
 * their first byte, all but their first byte, and nothing.
 */
struct text_change {
  const char* file;
  const char* before_mode; /* NULL: unplugged */
  const char* after_mode;
  const char* head; /* read before the change */
  const char* after;
};

static const struct text_change text_changes[] = {
    {"width", "1080p60", "720p60", "19", "1280\n"},
    {"fps", "1080p60", "1080p50", "6", "50\n"},
    {"status", NULL, "1080p60", "dis", "new res\n"},
};

static void change_desc(const struct text_change* c, char* desc) { strscpy(desc, c->file, 64); }
KUNIT_ARRAY_PARAM(text_change, text_changes, change_desc);

static void a_read_going_on_after_the_text_changed_ends_there(struct kunit* test) {
  const struct text_change* c = test->param_value;
  struct file* file;

  if (c->before_mode) lt_plug(test, c->before_mode);
  file = lt_open(test, c->file, O_RDONLY);
  KUNIT_ASSERT_FALSE(test, IS_ERR(file));
  KUNIT_EXPECT_STREQ(test, read_fd(test, file, strlen(c->head)), c->head);
  lt_plug(test, c->after_mode);
  KUNIT_EXPECT_STREQ_MSG(test, read_fd(test, file, 64), "", "not the new text's tail");
  KUNIT_EXPECT_EQ(test, vfs_llseek(file, 0, SEEK_SET), 0);
  KUNIT_EXPECT_STREQ(test, read_fd(test, file, 64), c->after);
}

/* Without a read from the start there is no text to hold a later read to. */
static void a_read_at_an_offset_without_a_read_from_the_start_serves_the_tail(struct kunit* test) {
  struct file* width;
  struct file* status;

  lt_plug(test, "1080p60");
  width = lt_open(test, "width", O_RDONLY);
  status = open_status(test, O_RDONLY);
  KUNIT_ASSERT_FALSE(test, IS_ERR(width));
  KUNIT_EXPECT_EQ(test, vfs_llseek(width, 2, SEEK_SET), 2);
  KUNIT_EXPECT_EQ(test, vfs_llseek(status, 2, SEEK_SET), 2);
  KUNIT_EXPECT_STREQ(test, read_fd(test, width, 64), "20\n");
  KUNIT_EXPECT_STREQ(test, read_fd(test, status, 64), "w res\n");
}

/* ---- Power writes ---- */

struct power_case {
  const char* name;
  const char* bytes;
  ssize_t result;
  const char* after; /* "" when nothing switches */
};

static const struct power_case power_cases[] = {
    {"on", "on", 2, "on\n"},
    {"on-newline", "on\n", 3, "on\n"},
    {"one", "one", 3, "on\n"},
    {"digit-1", "1", 1, "on\n"},
    {"ten", "10", 2, "on\n"},
    {"off", "off", 3, "off\n"},
    {"off-newline", "off\n", 4, "off\n"},
    {"digit-0", "0", 1, "off\n"},
    {"zero-x", "0x", 2, "off\n"},
    {"fifteen-off", "off____________", 15, "off\n"},
    {"sixteen-off", "off_____________", -EINVAL, ""},
    {"of", "of", -EINVAL, ""},
    {"upper-on", "ON", -EINVAL, ""},
    {"empty", "", -EINVAL, ""},
    {"digit-2", "2", -EINVAL, ""},
    {"leading-blank", " on", -EINVAL, ""},
};

static void power_desc(const struct power_case* c, char* desc) { strscpy(desc, c->name, 64); }
KUNIT_ARRAY_PARAM(power, power_cases, power_desc);

static void power_write_accepts_only_its_words(struct kunit* test) {
  const struct power_case* c = test->param_value;
  struct file* status;

  lt_plug(test, "1080p60");
  status = open_status(test, O_RDONLY);
  read_fd(test, status, 64);
  KUNIT_EXPECT_EQ(test, lt_write(test, "power", c->bytes), c->result);
  lt_settle();
  if (!*c->after) {
    KUNIT_EXPECT_STREQ(test, lt_read(test, "power"), "on\n");
    KUNIT_EXPECT_STREQ(test, lt_read(test, "status"), "new res\n");
    KUNIT_EXPECT_EQ(test, lt_poll_now(status), 0u);
  } else if (!strcmp(c->after, "off\n")) {
    KUNIT_EXPECT_STREQ(test, lt_read(test, "power"), "off\n");
    KUNIT_EXPECT_FALSE(test, lt_chip_powered());
    KUNIT_EXPECT_STREQ(test, lt_read(test, "status"), "disappear\n");
    KUNIT_EXPECT_EQ(test, lt_poll_now(status), EPOLLPRI);
    /* The other texts keep their values. */
    KUNIT_EXPECT_STREQ(test, lt_read(test, "width"), "1920\n");
    KUNIT_EXPECT_STREQ(test, lt_read(test, "fps"), "60\n");
    KUNIT_EXPECT_STREQ(test, lt_read(test, "asr"), "48\n");
  } else {
    KUNIT_EXPECT_STREQ(test, lt_read(test, "power"), "on\n");
    KUNIT_EXPECT_TRUE(test, lt_chip_powered());
    KUNIT_EXPECT_STREQ_MSG(test, lt_read(test, "status"), "new res\n",
                           "switching on publishes nothing");
    KUNIT_EXPECT_EQ(test, lt_poll_now(status), 0u);
  }
}

static void power_write_fails_with_eio_when_the_line_cannot_be_driven(struct kunit* test) {
  u64 mark;

  lt_plug(test, "1080p60");
  lt_board_fail_power_switch(1, -EIO);
  mark = lt_log_mark();
  KUNIT_EXPECT_EQ(test, lt_write(test, "power", "off"), -EIO);
  lt_expect_errors(test, mark, LT_LINES("Failed to set GPIO 67 to low"));
  KUNIT_EXPECT_STREQ(test, lt_read(test, "power"), "on\n");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "status"), "new res\n");
}

static void power_write_from_an_unreadable_buffer_fails_with_efault(struct kunit* test) {
  struct file* power = lt_open(test, "power", O_WRONLY);

  KUNIT_ASSERT_FALSE(test, IS_ERR(power));
  KUNIT_EXPECT_EQ(test, lt_fwrite_user(power, lt_user_unmapped(), 3), -EFAULT);
  KUNIT_EXPECT_STREQ(test, lt_read(test, "power"), "on\n");
}

static void power_coming_back_makes_the_next_access_select_its_bank_again(struct kunit* test) {
  unsigned int mark;
  char line[64];

  lt_plug(test, "1080p60");
  KUNIT_ASSERT_EQ(test, lt_write(test, "power", "off"), 3);
  KUNIT_EXPECT_STREQ(test, lt_read(test, "status"), "disappear\n");
  mark = lt_bus_mark();
  KUNIT_ASSERT_EQ(test, lt_write(test, "power", "on"), 2);
  lt_settle();
  /* Powered again, the chip signals the input it sees and the worker runs; the chip forgot
   * its bank at power-up, so the enable in bank 0x80 selects it again. */
  KUNIT_ASSERT_TRUE(test, lt_bus_line(mark, 0, line, sizeof(line)));
  KUNIT_EXPECT_STREQ(test, line, "select 0x80");
  KUNIT_EXPECT_STREQ(test, lt_read(test, "status"), "new res\n");
}

static struct kunit_case status_cases[] = {
    KUNIT_CASE(fresh_open_sees_no_event_until_a_publication),
    KUNIT_CASE(read_at_the_end_leaves_the_event_pending_and_a_reread_catches_up),
    KUNIT_CASE(one_openers_read_leaves_the_others_event_pending),
    KUNIT_CASE(ok_acknowledges_a_new_resolution_and_wakes_every_opener),
    KUNIT_CASE(blocked_poller_wakes_with_pollpri),
    KUNIT_CASE_PARAM(status_write_is_judged_on_its_first_two_bytes, ack_gen_params),
    KUNIT_CASE(short_write_is_not_judged_on_an_earlier_writes_bytes),
    KUNIT_CASE(unreadable_user_buffer_fails_with_efault),
    KUNIT_CASE(open_fails_when_the_counter_cannot_be_allocated),
    KUNIT_CASE(simple_reads_serve_the_text_in_pieces),
    KUNIT_CASE_PARAM(a_read_going_on_after_the_text_changed_ends_there, text_change_gen_params),
    KUNIT_CASE(a_read_at_an_offset_without_a_read_from_the_start_serves_the_tail),
    KUNIT_CASE_PARAM(power_write_accepts_only_its_words, power_gen_params),
    KUNIT_CASE(power_write_fails_with_eio_when_the_line_cannot_be_driven),
    KUNIT_CASE(power_write_from_an_unreadable_buffer_fails_with_efault),
    KUNIT_CASE(power_coming_back_makes_the_next_access_select_its_bank_again),
    {},
};

static struct kunit_suite status_suite = {
    .name = "lt7911_status_file",
    .init = status_init,
    .exit = lt_case_exit,
    .test_cases = status_cases,
};
kunit_test_suite(status_suite);
