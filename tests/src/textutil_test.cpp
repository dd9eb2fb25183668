#include "textutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <vector>

namespace {

TEST(ParseNumber, Table) {
  struct Case {
    const char* text;
    uint32_t value;
  } cases[] = {
      {"0", 0},
      {"123", 123},
      {"0x1F", 31},
      {"0X1f", 31},
      {"0x", 0},          // two characters: decimal, digit 0 then 'x'
      {"0xg", 0},         // prefix with no hex digit
      {"12abc", 12},      // digits then letters
      {"4294967295", 0xFFFFFFFFu},
      {"4294967296", 0xFFFFFFFFu},
      {"99999999999999999999999", 0xFFFFFFFFu},
      {"0x100000000", 0xFFFFFFFFu},
      {"0xFFFFFFFF", 0xFFFFFFFFu},
      {"0x0x1F", 31},     // a second prefix is accepted in base 16
      {"0x 1F", 31},      // white space after the prefix is skipped
      {"  42", 42},
      {"+7", 7},
      {"-1", 0xFFFFFFFFu},
      {"-5", 0xFFFFFFFBu},
      {"0x-1", 0xFFFFFFFFu},
      {"1x10", 16},       // only the second character decides the base
      {"", 0},
      {"abc", 0},
      {"-", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(parseNumber(c.text), c.value) << c.text;
}

TEST(SplitString, Table) {
  struct Case {
    const char* text;
    char sep;
    std::vector<String> pieces;
  } cases[] = {
      {"a;;b", ';', {"a", "", "b"}},
      {";a", ';', {"", "a"}},
      {"a;", ';', {"a"}},
      {"", ';', {}},
      {"abc", ';', {"abc"}},
      {";", ';', {""}},
      {"0x10-0x20", '-', {"0x10", "0x20"}},
  };
  for (const Case& c : cases) {
    std::list<String> got = splitString(c.text, c.sep);
    EXPECT_EQ(std::vector<String>(got.begin(), got.end()), c.pieces) << c.text;
  }
}

TEST(ReadToken, Table) {
  struct Case {
    const char* input;
    bool ok;
    const char* token;
    const char* rest;  // what the stream holds afterwards
  } cases[] = {
      {"ab\"c d\"e rest", true, "abc de", "rest"},
      {"  word\tnext", true, "word", "next"},
      {"\"\" x", false, "", "x"},
      {"\"open", false, "open", ""},
      {"   ", false, "", ""},
      {"", false, "", ""},
      {"last", true, "last", ""},
      {"\"a b\"", true, "a b", ""},
  };
  for (const Case& c : cases) {
    std::istringstream in(c.input);
    String token = "junk";
    EXPECT_EQ(readToken(in, token), c.ok) << c.input;
    EXPECT_EQ(token, c.token) << c.input;
    in.clear();
    std::string rest((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(rest, c.rest) << c.input;
  }
}

TEST(HexString, Table) {
  struct Case {
    uint32_t value;
    int count;
    const char* text;
  } cases[] = {
      {0x1234, 1, "0x34"},      {0x1234, 2, "0x1234"},     {0x1234, 3, "0x001234"},
      {0x1234, 4, "0x00001234"}, {0xABCDEF12, 4, "0xabcdef12"}, {0xABCDEF12, 3, "0xcdef12"},
      {5, 0, "<NaN>"},          {5, 5, "<NaN>"},           {5, -1, "<NaN>"},
  };
  for (const Case& c : cases) EXPECT_EQ(hexString(c.value, c.count), c.text);
}

TEST(HexAtLeast, Table) {
  struct Case {
    uint64_t value;
    int digits;
    const char* text;
  } cases[] = {
      {0, 4, "0x0000"},          {0xabc, 4, "0x0abc"},         {0xFFFF, 4, "0xffff"},
      {0x10000, 4, "0x10000"},   {0x30000D, 4, "0x30000d"},    {0xFFFFFFFF, 4, "0xffffffff"},
      {0x123456789, 4, "0x123456789"}, {0x5, 1, "0x5"},        {0x5, 0, "0x5"},
  };
  for (const Case& c : cases) EXPECT_EQ(hexAtLeast(c.value, c.digits), c.text) << c.text;
}

TEST(TextUtil, ByteSwapQuoteStrip) {
  EXPECT_EQ(byteSwap32(0x11223344u), 0x44332211u);
  EXPECT_EQ(quote("a b"), "\"a b\"");
  EXPECT_EQ(stripQuotes("\"a\"b\""), "ab");
}

TEST(ScnAddr, OrderedByAddressOnly) {
  std::vector<ScnAddr> v = {{"c", 30}, {"a", 10}, {"b", 0xFFFFFFF0u}, {"d", 10}};
  std::stable_sort(v.begin(), v.end());
  EXPECT_EQ(v[0].cName, "a");
  EXPECT_EQ(v[1].cName, "d");
  EXPECT_EQ(v[2].cName, "c");
  EXPECT_EQ(v[3].cName, "b");  // compared unsigned
  EXPECT_FALSE(ScnAddr("x", 1) < ScnAddr("y", 1));
  EXPECT_TRUE(ScnAddr("x", 2) > ScnAddr("y", 1));
  ScnAddr d;
  EXPECT_EQ(d.cName, "");
  EXPECT_EQ(d.cAddress, 0u);
}

}  // namespace
