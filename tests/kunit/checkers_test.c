// SPDX-License-Identifier: GPL-2.0
/*
 * After the module's suites: kmemleak looks for memory that nothing refers to any more. It
 * reports only objects older than five seconds, so the case waits that long before it scans:
 * in the kernel's virtual time (time-travel), which passes at once while nothing else runs.
 */
#include <linux/delay.h>
#include <linux/fs.h>

#include "harness.h"

/* kmemleak's minimum age of an object it reports, and a second for the clock's grain. */
#define KMEMLEAK_MIN_AGE_MS 6000

static void no_memory_leaks(struct kunit* test) {
  const char* report;

  msleep(KMEMLEAK_MIN_AGE_MS);
  KUNIT_ASSERT_EQ(test, lt_debugfs_write(test, "kmemleak", "scan"), 4);
  report = lt_debugfs_read(test, "kmemleak");
  if (*report) pr_err("lt7911_kunit: kmemleak report:\n%s", report);
  KUNIT_EXPECT_STREQ(test, report, "");
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
