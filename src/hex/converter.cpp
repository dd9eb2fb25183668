#include "converter.h"

#include <iostream>
#include <memory>

#include "banner.h"
#include "platform.h"
#include "replacement.h"
#include "textutil.h"

namespace {

const char* const kUsage =
    "Usage: ponzer [/a <hexformat>] [/r 0xBBBB-0xEEEE]... [/q] <coffFile>\n"
    "   where, <hexformat> is {INHX32, INHX8S, INHX8M} \n"
    "          0xBBBB is the beginning program memory address of a range to include\n"
    "          0xEEEE is the ending program memory address of a range to include\n"
    "   If no /r option is present, all rom sections will be included.\n";
const char* const kRangeMessage = "/r requires 0xBBBB-0xEEEE where 0xEEEE >= 0xBBBB";
const char* const kFormatMessage = "-a switch requires {INHX32, INHX8S, INHX8M}";

bool isDecimalDigit(char c) { return c >= '0' && c <= '9'; }
bool isHexDigit(char c) {
  return isDecimalDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A number written wholly in one of the two forms the range syntax shows,
// small enough for 32 bits.
bool isWellFormedNumber(const String& text) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const size_t first = hex ? 2 : 0;
  if (text.size() <= first) return false;
  uint64_t value = 0;
  for (size_t i = first; i < text.size(); ++i) {
    const char c = text[i];
    if (hex ? !isHexDigit(c) : !isDecimalDigit(c)) return false;
    const uint64_t digit = isDecimalDigit(c) ? static_cast<uint64_t>(c - '0')
                                             : static_cast<uint64_t>((c | 0x20) - 'a' + 10);
    value = value * (hex ? 16 : 10) + digit;
    if (value > 0xFFFFFFFFull) return false;
  }
  return true;
}

// Messages of the command line carry no "Error - ", are not counted and
// end the run without the summary.
void messageExit(const char* text) {
  if (!isQuiet()) {
    std::cerr << text << "\n";
    std::cerr.flush();
  }
  platform::exitProcess(1);
}

// The usage text already ends in a newline; one more leaves an empty line.
void usageExit() { messageExit(kUsage); }

bool isSwitch(const String& arg, char letter) {
  if (arg.size() != 2 || (arg[0] != '-' && arg[0] != '/')) return false;
  const char c = arg[1];
  return c == letter || c == static_cast<char>(letter - 'a' + 'A');
}

}  // namespace

bool parseRangeArgument(const String& text, AddrRange& range) {
  // The split drops a trailing empty piece; a trailing '-' is still one.
  if (!text.empty() && text.back() == '-') return false;
  const std::list<String> pieces = splitString(text, '-');
  if (pieces.size() != 2) return false;
  const String& first = pieces.front();
  const String& last = pieces.back();
  if (!isWellFormedNumber(first) || !isWellFormedNumber(last)) return false;
  const uint32_t begin = parseNumber(first);
  const uint32_t end = parseNumber(last);
  if (end < begin) return false;
  range = AddrRange(begin, end);
  return true;
}

int runHexConverter(int argc, char** argv) {
  bindErrorStreamToStdout();
  if (hasQuietSwitch(argc, argv)) setQuiet(1);
  printStartBanner(hexConverterBanner());

  int format = fmtINHX32;
  AddrRangeList ranges;
  String objectName;
  // An empty argument is a name too: the flag, not the text, says whether
  // one was given.
  bool haveObjectName = false;

  for (int i = 1; i < argc; ++i) {
    const String arg = argv[i];
    if (isSwitch(arg, 'r')) {
      if (i + 1 >= argc) {
        usageExit();
        return 1;
      }
      AddrRange range;
      if (!parseRangeArgument(argv[i + 1], range)) {
        messageExit(kRangeMessage);
        return 1;
      }
      ranges.push_back(range);
      ++i;
    } else if (isSwitch(arg, 'q')) {
      // Already taken in by the scan above.
    } else if (isSwitch(arg, 'a')) {
      const String value = i + 1 < argc ? argv[i + 1] : "";
      if (value == "INHX8M") {
        format = fmtINHX8M;
      } else if (value == "INHX8S") {
        format = fmtINHX8S;
      } else if (value == "INHX32") {
        format = fmtINHX32;
      } else {
        messageExit(kFormatMessage);
        return 1;
      }
      ++i;
    } else if (!haveObjectName) {
      objectName = arg;
      haveObjectName = true;
    } else {
      usageExit();
      return 1;
    }
  }
  if (!haveObjectName) {
    usageExit();
    return 1;
  }

  // Of two sections of one name the reader keeps one: the image would
  // silently lack the other's bytes.
  const platform::Activity converting("converting Coff file", objectName);
  std::unique_ptr<Coff> coff = Coff::makeMemoryImage(objectName);
  if (!coff || !coff->verifySectionCount()) {
    printSummaryAndExit(1);
    return 1;
  }
  Coff2Hex hex;
  if (!hex.init(*coff, ranges)) {
    printSummaryAndExit(1);
    return 1;
  }
  // The HEX files land in the current directory under the executable's
  // base name: an executable named like one of them would be its own
  // output, and the two files of INHX8S may lead to one file.
  const std::vector<String> names = hex.fileNames(format);
  const replacement::FileIdentity input = replacement::identify(platform::hostPath(objectName));
  std::vector<replacement::FileIdentity> outputs;
  for (const String& name : names) {
    outputs.push_back(replacement::identify(platform::hostPath(name)));
    String other;
    if (replacement::sameFile(outputs.back(), input))
      other = "Coff file '" + objectName + "'";
    for (std::size_t i = 0; other.empty() && i + 1 < outputs.size(); ++i)
      if (replacement::sameFile(outputs.back(), outputs[i])) other = "Hex file '" + names[i] + "'";
    if (!other.empty()) {
      reportMessage(SevError, "main()", "Hex file '" + name + "' would overwrite the " + other + ".",
                    0);
      printSummaryAndExit(1);
      return 1;
    }
  }
  if (!hex.write(format)) {
    printSummaryAndExit(1);
    return 1;
  }
  coff.reset();
  printSummaryAndExit(0);
  return 0;
}
