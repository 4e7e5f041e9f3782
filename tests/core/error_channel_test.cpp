// The error slot seen from inside the library: messages built elsewhere may
// carry NUL characters, which are removed rather than truncating the text.
#include <gtest/gtest.h>

#include <string>

#include "lib.h"

namespace {

TEST(ErrorChannel, RemovesNulCharactersAndKeepsTheRest) {
  q_core::lib::set_error(std::string("cc: \0error\0 here", 16));
  EXPECT_STREQ(q_error(), "cc: error here");
  q_core::lib::set_error(std::string_view("fixed\0tail", 10));
  EXPECT_STREQ(q_error(), "fixedtail");
}

TEST(ErrorChannel, Utf8Validation) {
  using q_core::lib::is_valid_utf8;
  EXPECT_TRUE(is_valid_utf8("ab ~ \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"));
  for (const char* bad : {"\xff", "\xc3", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80",
                          "\xf4\x90\x80\x80", "\x80", "\xe2\x82"}) {
    EXPECT_FALSE(is_valid_utf8(bad)) << bad;
  }
}

}  // namespace
