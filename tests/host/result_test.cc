// Result<T> and Result<void>: what a caller sees of a value, a failure and its errno, how a
// failure passes up unchanged, and that misuse stops the program instead of reading garbage.
#include "platform/host/result.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>

namespace {

using host::Error;
using host::Result;

Result<int> parse_digit(char c) {
  if (c < '0' || c > '9') return Error(std::string("'") + c + "' is not a digit", EINVAL);
  return c - '0';
}

// Two digits, failing with the first digit's error unchanged.
Result<int> parse_pair(const char* s) {
  Result<int> tens = parse_digit(s[0]);
  if (!tens) return tens.error();
  Result<int> ones = parse_digit(s[1]);
  if (!ones) return Error("second digit: " + ones.error().message, ones.error().errnum);
  return *tens * 10 + *ones;
}

Result<void> check_even(const char* s) {
  Result<int> n = parse_pair(s);
  if (!n) return n.error();
  if (*n % 2 != 0) return Error(std::to_string(*n) + " is odd");
  return {};
}

TEST(ResultTest, ValuesErrorsAndTheirPropagation) {
  Result<int> ok = parse_pair("42");
  ASSERT_TRUE(ok);
  EXPECT_EQ(*ok, 42);
  EXPECT_EQ(ok.value(), 42);

  Result<int> first = parse_pair("x2");
  ASSERT_FALSE(first);
  EXPECT_EQ(first.error().message, "'x' is not a digit");
  EXPECT_EQ(first.error().errnum, EINVAL);

  Result<int> second = parse_pair("4y");
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().message, "second digit: 'y' is not a digit");
  EXPECT_EQ(second.error().errnum, EINVAL);  // the context kept the errno

  EXPECT_TRUE(check_even("42"));
  Result<void> odd = check_even("43");
  ASSERT_FALSE(odd);
  EXPECT_EQ(odd.error().message, "43 is odd");
  EXPECT_EQ(odd.error().errnum, 0);  // none given
  Result<void> passed_up = check_even("z0");
  ASSERT_FALSE(passed_up);
  EXPECT_EQ(passed_up.error().message, "'z' is not a digit");
  EXPECT_EQ(passed_up.error().errnum, EINVAL);

  // A result can be replaced by another of either kind.
  odd = check_even("10");
  EXPECT_TRUE(odd);
  ok = Error("gone", ENOENT);
  ASSERT_FALSE(ok);
  EXPECT_EQ(ok.error().errnum, ENOENT);
}

TEST(ResultTest, StringValuesAndMoveOnlyValues) {
  // A string is a value; an error is only ever made as an Error.
  Result<std::string> text = std::string("hello");
  ASSERT_TRUE(text);
  EXPECT_EQ(text->size(), 5u);
  Result<std::string> refused = Error("hello");
  EXPECT_FALSE(refused);

  Result<std::unique_ptr<int>> owned = std::make_unique<int>(7);
  ASSERT_TRUE(owned);
  std::unique_ptr<int> taken = std::move(owned).value();
  ASSERT_NE(taken, nullptr);
  EXPECT_EQ(*taken, 7);
  Result<std::unique_ptr<int>> moved = std::move(refused).error();
  ASSERT_FALSE(moved);
  EXPECT_EQ(moved.error().message, "hello");
}

using ResultDeathTest = ::testing::Test;

TEST_F(ResultDeathTest, ReadingTheWrongSideAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH((void)*parse_digit('q'), "value of an error result.*'q' is not a digit");
  EXPECT_DEATH((void)Result<std::string>(Error("no text"))->size(),
               "value of an error result.*no text");
  EXPECT_DEATH((void)parse_digit('3').error(), "error\\(\\) of a result that holds a value");
  EXPECT_DEATH((void)check_even("42").error(), "error\\(\\) of a result that succeeded");
}

}  // namespace
