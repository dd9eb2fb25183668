#include <gtest/gtest.h>

#include <cstring>

#include "banner.h"
#include "debug.h"
#include "support/harness.h"

namespace {

TEST(DebugSwitch, Registry) {
  EXPECT_EQ(DebugSwitch("Test::neverRegistered").isOn(), 0);
  DebugSwitch("Test::set", 3);
  DebugSwitch second("Test::set");  // registering again keeps the value
  EXPECT_EQ(second.isOn(), 3);
  DebugSwitch("Test::set", 0);
  EXPECT_EQ(second.isOn(), 0);
}

TEST(Banner, TextsAndStartLines) {
  EXPECT_STREQ(linkerBanner(), "TORVAN v2.10.00, Linker");
  EXPECT_STREQ(librarianBanner(), "KESVO v2.10.00, Librarian");
  EXPECT_STREQ(hexConverterBanner(), "PONZER v2.10.00, COFF to HEX File Converter");
  EXPECT_STREQ(codConverterBanner(), "DRALM v2.10.00, COFF to COD File Converter");
  EXPECT_STREQ(codConverterVersion(), "DRALM v2.10.00");
  const char* notice = noticeBanner();
  EXPECT_LE(std::strlen(notice), 63u);
  for (const char* p = notice; *p; ++p) EXPECT_TRUE(*p >= 0x20 && *p < 0x7F);

  testing_support::DiagnosticsScope scope;
  {
    testing_support::OutputCapture out;
    printStartBanner(linkerBanner());
    EXPECT_EQ(out.text(), std::string("TORVAN v2.10.00, Linker\n") + notice + "\n\n");
  }
  setQuiet(1);
  testing_support::OutputCapture out;
  printStartBanner(linkerBanner());
  EXPECT_EQ(out.text(), "");
}

}  // namespace
