// SPDX-License-Identifier: GPL-2.0
/*
 * The kernel's answers to the calls the module makes, where the host kernel stands in for them:
 * GPIO specifiers of the device tree, each failing in its own way. The host kernel's tests
 * (tests/host/of_test.cc) expect the same answers.
 */
#include <linux/of.h>
#include <linux/of_gpio.h>

#include "harness.h"

struct specifier {
  const char* prop;
  int index;
  int want;
  const char* why;
};

static const struct specifier specifiers[] = {
    {"irq-gpio", 0, 32 + 7, "controller 1's base plus the line"},
    {"two-gpios", 1, 32 + 2, "the second specifier of a list"},
    {"no-such-gpio", 0, -ENOENT, "property missing"},
    {"lost-gpio", 0, -EINVAL, "phandle names no node"},
    {"bad-gpio", 0, -EPROBE_DEFER, "node with cells, but no controller registered for it"},
    {"two-gpios", 2, -ENOENT, "index beyond the list"},
    {"irq-gpio", -1, -EINVAL, "negative index"},
    {"far-gpio", 0, -EPROBE_DEFER, "line 32 of a 32-line controller: no controller takes it"},
    {"late-gpio", 0, -EPROBE_DEFER, "controller not registered yet"},
    {"short", 0, -ENOENT, "shorter than one cell"},
};

static void gpio_specifiers_resolve_or_fail_with_their_errno(struct kunit* test) {
  struct device_node* np = of_find_node_by_path("/variants/specifiers");
  int i;

  KUNIT_ASSERT_NOT_NULL(test, np);
  for (i = 0; i < ARRAY_SIZE(specifiers); i++) {
    const struct specifier* s = &specifiers[i];

    KUNIT_EXPECT_EQ_MSG(test, of_get_named_gpio(np, s->prop, s->index), s->want, "%s[%d]: %s",
                        s->prop, s->index, s->why);
  }
  of_node_put(np);
}

static struct kunit_case platform_cases[] = {
    KUNIT_CASE(gpio_specifiers_resolve_or_fail_with_their_errno),
    {},
};

static struct kunit_suite platform_suite = {
    .name = "lt7911_platform",
    .init = lt_case_init,
    .exit = lt_case_exit,
    .test_cases = platform_cases,
};
kunit_test_suite(platform_suite);
