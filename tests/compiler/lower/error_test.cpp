#include "lower/error.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using compiler::lower::debug_string;
using compiler::lower::escape_debug;
using compiler::lower::LowerError;

TEST(LowerErrorTest, DebugText) {
  EXPECT_EQ(debug_string(LowerError{"node 0: output repeats index 1"}),
            "LowerError { message: \"node 0: output repeats index 1\" }");
  EXPECT_EQ(debug_string(LowerError{""}), "LowerError { message: \"\" }");
}

TEST(LowerErrorTest, Escaping) {
  struct Case {
    std::string text;
    std::string escaped;
  };
  const std::vector<Case> cases = {
      // Printable text, backticks and single quotes included, is copied.
      {"axis `j'` of 1'", "\"axis `j'` of 1'\""},
      {"a\\b\"c", "\"a\\\\b\\\"c\""},
      {"\n\r\t", "\"\\n\\r\\t\""},
      {std::string("x\0y", 3), "\"x\\0y\""},
      {"\x01\x1f\x7f", "\"\\u{1}\\u{1f}\\u{7f}\""},
      // Printable non-ASCII is copied; control and format characters are not.
      {"\u00e9\u4e2d", "\"\u00e9\u4e2d\""},
      {"\u0085\u200b\u2028\ufeff", "\"\\u{85}\\u{200b}\\u{2028}\\u{feff}\""},
      // Bytes that are not well-formed UTF-8 (stray continuation, truncated,
      // overlong, surrogate) are escaped one by one.
      {"\x80", "\"\\u{80}\""},
      {"a\xe4\xb8", "\"a\\u{e4}\\u{b8}\""},
      {"\xc0\xaf", "\"\\u{c0}\\u{af}\""},
      {"\xed\xa0\x80", "\"\\u{ed}\\u{a0}\\u{80}\""},
  };
  for (const Case& c : cases) EXPECT_EQ(escape_debug(c.text), c.escaped) << c.escaped;
}

}  // namespace
