// SPDX-License-Identifier: GPL-2.0
/*
 * After the module's suites: kmemleak looks for memory that nothing refers to any more (what it
 * found before the first case is cleared, see harness.c). It reports only objects older than
 * five seconds, so the case waits that long before it scans: in the kernel's virtual time
 * (time-travel=inf-cpu), which passes at once while nothing else runs.
 */
#include <linux/delay.h>
#include <linux/fs.h>
#include <linux/jiffies.h>
#include <linux/string.h>
#include <linux/vmalloc.h>

#include "harness.h"

/* Room for kmemleak's whole report: about a kilobyte per object. */
#define REPORT_SIZE (8 << 20)

/* Whether a record of kmemleak's report is of an object allocated after the first case began. */
static bool allocated_by_the_cases(const char* record) {
  const char* at = strstr(record, "jiffies ");
  unsigned long when;

  if (!at || sscanf(at, "jiffies %lu", &when) != 1) return true;
  return time_after(when, lt_kmemleak_since);
}

static void no_memory_leaks(struct kunit* test) {
  char* report;
  char* record;
  int leaks = 0;

  msleep(LT_KMEMLEAK_MIN_AGE_MS);
  KUNIT_ASSERT_EQ(test, lt_debugfs_write(test, "kmemleak", "scan"), 4);
  report = lt_debugfs_read_large("kmemleak", REPORT_SIZE);
  KUNIT_ASSERT_NOT_NULL_MSG(test, report, "kmemleak's report could not be read whole");
  /* One record per object, each beginning "unreferenced object". */
  record = strstr(report, "unreferenced object");
  while (record) {
    char* next = strstr(record + 1, "unreferenced object");

    if (next) next[-1] = '\0';
    if (allocated_by_the_cases(record)) {
      pr_err("lt7911_kunit: kmemleak: %s", record);
      leaks++;
    }
    record = next;
  }
  vfree(report);
  KUNIT_EXPECT_EQ_MSG(test, leaks, 0, "objects the cases left unreferenced (in the kernel log)");
}

static struct kunit_case checker_cases[] = {
    KUNIT_CASE(no_memory_leaks),
    {},
};

static struct kunit_suite checker_suite = {
    .name = "lt7911_zz_kmemleak",
    .init = lt_case_init,
    .exit = lt_case_exit,
    .test_cases = checker_cases,
};
kunit_test_suite(checker_suite);
