#include <climits>
#include <string>

#include <gtest/gtest.h>
#include "platform/errno.h"
#include "platform/moduleparam.h"

namespace {

int g_value = 0;
const kernel_param_ops kIntOps = {0, param_set_int, param_get_int, nullptr};
const kernel_param kParam = {"value", nullptr, &kIntOps, 0644, -1, 0, {&g_value}};

struct SetCase {
  const char* text;
  int result;
  int value;  // expected value after a successful set
};

class ParamIntTest : public ::testing::TestWithParam<SetCase> {};

TEST_P(ParamIntTest, ParsesLikeTheKernelsIntegerParser) {
  const SetCase& c = GetParam();
  g_value = 12345;
  EXPECT_EQ(param_set_int(c.text, &kParam), c.result) << "'" << c.text << "'";
  EXPECT_EQ(g_value, c.result == 0 ? c.value : 12345) << "'" << c.text << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParamIntTest,
    ::testing::Values(
        SetCase{"1920", 0, 1920}, SetCase{"-1", 0, -1}, SetCase{"+7", 0, 7}, SetCase{"0", 0, 0},
        SetCase{"0x10", 0, 16}, SetCase{"0X1f", 0, 31}, SetCase{"010", 0, 8},
        SetCase{"-0x10", 0, -16}, SetCase{"1080\n", 0, 1080},  // one trailing newline
        SetCase{"2147483647", 0, INT_MAX}, SetCase{"-2147483648", 0, INT_MIN},
        SetCase{"1080\n\n", -EINVAL, 0}, SetCase{"", -EINVAL, 0}, SetCase{"\n", -EINVAL, 0},
        SetCase{" 1", -EINVAL, 0}, SetCase{"1 ", -EINVAL, 0}, SetCase{"abc", -EINVAL, 0},
        SetCase{"12abc", -EINVAL, 0}, SetCase{"-", -EINVAL, 0}, SetCase{"--1", -EINVAL, 0},
        SetCase{"0x", -EINVAL, 0}, SetCase{"08", -EINVAL, 0}, SetCase{"1.5", -EINVAL, 0},
        SetCase{"2147483648", -ERANGE, 0}, SetCase{"-2147483649", -ERANGE, 0},
        SetCase{"99999999999999999999", -ERANGE, 0}, SetCase{"-99999999999999999999", -ERANGE, 0}));

TEST(ParamInt, NullTextIsRejected) {
  g_value = 3;
  EXPECT_EQ(param_set_int(nullptr, &kParam), -EINVAL);
  EXPECT_EQ(g_value, 3);
}

TEST(ParamInt, GetPrintsTheValueWithANewline) {
  char page[4096];
  g_value = -1;
  EXPECT_EQ(param_get_int(page, &kParam), 3);
  EXPECT_EQ(std::string(page), "-1\n");
  g_value = INT_MIN;
  EXPECT_EQ(param_get_int(page, &kParam), 12);
  EXPECT_EQ(std::string(page), "-2147483648\n");
}

}  // namespace
