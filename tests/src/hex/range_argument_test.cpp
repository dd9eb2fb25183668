// Reading the "/r" value.
#include <gtest/gtest.h>

#include "converter.h"

namespace {

struct GoodRange {
  const char* text;
  uint32_t begin;
  uint32_t end;
};

TEST(RangeArgument, AcceptsWellFormedRanges) {
  const GoodRange cases[] = {
      {"0x10-0x20", 0x10, 0x20},
      {"0X1f-0X1F", 0x1F, 0x1F},
      {"16-32", 16, 32},
      {"0x10-32", 0x10, 32},
      {"0-0", 0, 0},
      {"007-010", 7, 10},
      {"0-0xFFFFFFFF", 0, 0xFFFFFFFF},
      {"4294967295-4294967295", 0xFFFFFFFF, 0xFFFFFFFF},
      {"0x000000000010-0x20", 0x10, 0x20},
  };
  for (const GoodRange& c : cases) {
    SCOPED_TRACE(c.text);
    AddrRange r;
    ASSERT_TRUE(parseRangeArgument(c.text, r));
    EXPECT_EQ(r.cStart, c.begin);
    EXPECT_EQ(r.cEnd, c.end);
  }
}

TEST(RangeArgument, RefusesMalformedRanges) {
  const char* const cases[] = {
      "",              // nothing
      "-",             // two empty pieces
      "0x10",          // one piece
      "0x10-",         // ends in '-'
      "-0x10",         // empty begin
      "-5",            // a negative number is an empty piece and 5
      "0x10--0x20",    // three pieces, the middle one empty
      "1-2-3",         // three pieces
      "0x10-0x20-",    // trailing '-'
      "foo-bar",       // no digits
      "12abc-0x20",    // characters after the number
      "0x10-0x20z",    //
      "0x-0x10",       // prefix without digits
      "0xg-0x10",      //
      "1x10-0x20",     // prefix not "0x"
      " 1-2",          // white space
      "1- 2",          //
      "+1-2",          // sign
      "0x20-0x10",     // end below begin
      "4294967296-4294967297",      // decimal past 32 bits
      "0x100000000-0x100000001",    // hexadecimal past 32 bits
      "0-99999999999999999999999",  // far past 32 bits
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    AddrRange r(7, 9);
    EXPECT_FALSE(parseRangeArgument(text, r));
    EXPECT_EQ(r.cStart, 7u);
    EXPECT_EQ(r.cEnd, 9u);
  }
}

}  // namespace
