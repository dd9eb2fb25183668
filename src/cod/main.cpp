// dralm: turns a linked COFF executable into its COD debug file and,
// unless told not to, its listing.
#include <cstdint>
#include <iostream>
#include <memory>

#include "banner.h"
#include "coff.h"
#include "coff2cod.h"
#include "diagnostics.h"
#include "platform.h"

namespace {

const char* const kUsage =
    "Usage: dralm [-n, /n <listingPageLength>] [-d, /d] [-q, /q] <coffFile>";

int usage() {
  if (!isQuiet()) {
    std::cerr << kUsage << "\n";
    std::cerr.flush();
  }
  return 1;
}

// A decimal number as the standard conversion reads one: leading white
// space, an optional sign, digits up to the first other character, none
// giving 0. Only the size matters (the page test is a remainder, so -5 pages
// like 5), and it is held at 2^31 - 1 instead of overflowing.
uint32_t parsePageLength(const char* text) {
  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
  if (*p == '+' || *p == '-') ++p;
  uint32_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    const uint32_t digit = static_cast<uint32_t>(*p - '0');
    value = value > (0x7FFFFFFFu - digit) / 10 ? 0x7FFFFFFFu : value * 10 + digit;
  }
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  platform::openStandardDescriptors();
  platform::tuneHeapForShortRun();
  platform::installEndHandlers();
  bindErrorStreamToStdout();
  if (hasQuietSwitch(argc, argv)) setQuiet(1);
  printStartBanner(codConverterBanner());

  uint32_t pageLength = 0;
  bool pageLengthGiven = false;
  bool noListing = false;
  bool haveCoffName = false;
  String coffName;

  for (int i = 1; i < argc; ++i) {
    const String arg = argv[i];
    String word = arg;
    if (word.size() >= 2 && (word[0] == '-' || word[0] == '/') && word[1] >= 'A' &&
        word[1] <= 'Z')
      word[1] = static_cast<char>(word[1] - 'A' + 'a');

    if (word == "-n" || word == "/n") {
      if (i + 1 >= argc) return usage();
      pageLength = parsePageLength(argv[++i]);
      pageLengthGiven = true;
    } else if (word == "-q" || word == "/q") {
      // Taken in by the scan above.
    } else if (word == "-d" || word == "/d") {
      noListing = true;
    } else if (!haveCoffName) {
      coffName = arg;
      haveCoffName = true;
    } else {
      return usage();
    }
  }
  if (!haveCoffName) return usage();

  if (noListing && pageLengthGiven)
    reportMessage(SevWarning, "main()", "no listing file generated: /n switch ignored", 0);

  // Of two sections of one name the reader keeps one, which no debug file
  // could describe truly.
  const platform::Activity converting("converting Coff file", coffName);
  std::unique_ptr<Coff> coff = Coff::make(coffName);
  if (!coff || !coff->verifySectionCount()) {
    printSummaryAndExit(1);
    return 1;
  }
  Coff2Cod cod;
  if (!cod.init(*coff, pageLength, noListing)) {
    printSummaryAndExit(1);
    return 1;
  }
  if (!cod.preWrite() || !cod.write()) {
    printSummaryAndExit(1);
    return 1;
  }
  coff.reset();
  printSummaryAndExit(0);
  return 0;
}
