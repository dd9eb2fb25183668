#include "banner.h"

#include <iostream>

#include "diagnostics.h"

const char* linkerBanner() { return "TORVAN v2.10.00, Linker"; }
const char* librarianBanner() { return "KESVO v2.10.00, Librarian"; }
const char* hexConverterBanner() { return "PONZER v2.10.00, COFF to HEX File Converter"; }
const char* codConverterBanner() { return "DRALM v2.10.00, COFF to COD File Converter"; }
const char* codConverterVersion() { return "DRALM v2.10.00"; }
const char* noticeBanner() { return "Free software for small cores; no warranty of any kind"; }

void printStartBanner(const char* banner) {
  if (isQuiet()) return;
  std::cout << banner << "\n" << noticeBanner() << "\n\n";
  std::cout.flush();
}
