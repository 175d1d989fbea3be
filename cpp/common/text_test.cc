#include "common/text.h"

#include <gtest/gtest.h>

using halvane::IntParse;
using halvane::parse_py_int;

TEST(PyInt, AcceptsPythonGrammar) {
  int64_t v = 0;
  EXPECT_EQ(parse_py_int(" 42\n", v), IntParse::ok);
  EXPECT_EQ(v, 42);
  EXPECT_EQ(parse_py_int("-1_000", v), IntParse::ok);
  EXPECT_EQ(v, -1000);
  EXPECT_EQ(parse_py_int("+7", v), IntParse::ok);
  EXPECT_EQ(v, 7);
  EXPECT_EQ(parse_py_int("-9223372036854775808", v), IntParse::ok);
  EXPECT_EQ(v, INT64_MIN);
  EXPECT_EQ(parse_py_int("9223372036854775807", v), IntParse::ok);
  EXPECT_EQ(v, INT64_MAX);
}

TEST(PyInt, RejectsMalformedAndOutOfRange) {
  int64_t v = 0;
  for (const char* bad : {"", " ", "1__0", "_1", "1_", "4.0", "0x10", "--1", "1 2", "+"})
    EXPECT_EQ(parse_py_int(bad, v), IntParse::invalid) << bad;
  EXPECT_EQ(parse_py_int("9223372036854775808", v), IntParse::out_of_range);
  EXPECT_EQ(parse_py_int("-9223372036854775809", v), IntParse::out_of_range);
  EXPECT_EQ(parse_py_int("99999999999999999999999", v), IntParse::out_of_range);
}

TEST(PyInt, ReprQuotesLikePython) {
  EXPECT_EQ(halvane::py_repr("abc"), "'abc'");
  EXPECT_EQ(halvane::py_repr("it's"), "\"it's\"");
  EXPECT_EQ(halvane::py_repr("a'b\"c"), "'a\\'b\"c'");
  EXPECT_EQ(halvane::py_repr("x\ny\\"), "'x\\ny\\\\'");
  EXPECT_EQ(halvane::py_repr(std::string_view("\x01", 1)), "'\\x01'");
}
