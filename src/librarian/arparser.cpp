#include "arparser.h"

#include <iostream>

#include "filename.h"
#include "platform.h"

namespace {

const char* const kHelpLines[] = {
    "Syntax:   kesvo [/q] /{ctdrxh} LIBRARY [MEMBER...]  ",
    "  /q      : quiet mode                       ",
    "  /c      : create library LIBRARY           ",
    "  /t      : list library LIBRARY             ",
    "  /d      : delete MEMBER from LIBRARY       ",
    "  /r      : add or replace MEMBER in LIBRARY ",
    "  /x      : extract MEMBER from LIBRARY      ",
    "  /h, /?  : show this help screen            ",
};

bool isAlnum(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool isSwitch(const String& arg) { return !arg.empty() && (arg[0] == '-' || arg[0] == '/'); }

// Switch letters are case-insensitive: "/C" reads as "/c".
String normalised(const String& arg) {
  String s = arg;
  if (isSwitch(s) && s.size() >= 2) s[1] = lower(s[1]);
  return s;
}

// Command code of a command switch, or -1.
int commandCode(const String& sw) {
  static const char letters[] = {'c', 't', 'd', 'r', 'x'};
  if (sw.size() != 2 || !isSwitch(sw)) return -1;
  for (int code = 0; code < 5; ++code)
    if (sw[1] == letters[code]) return code;
  return -1;
}

}  // namespace

const char* ArParser::defaultUsageLine() {
  return "Usage:  kesvo [/q] /{ctdrx} LIBRARY [MEMBER...] ";
}

void ArParser::usage(const String& message) {
  reportMessage(SevError, "ArParser::usage()",
                message.empty() ? String(defaultUsageLine()) : message, 0);
  printSummaryAndExit(1);
}

void ArParser::help() {
  for (const char* line : kHelpLines) std::cout << line << "\n";
  std::cout << "\n";
  std::cout.flush();
  platform::exitProcess(255);
}

int ArParser::isLibraryName(const String& name) {
  FileName f(name);
  String n = f.name();
  String e = f.ext();
  if (n.size() < 5 || !isAlnum(n[0])) return 0;
  if (e.size() != 4 || e[0] != '.') return 0;
  return lower(e[1]) == 'l' && lower(e[2]) == 'i' && lower(e[3]) == 'b' ? 1 : 0;
}

void ArParser::parse(int argc, char** argv, Archiver& archiver) {
  for (int i = 1; i < argc; ++i) {
    String arg = normalised(argv[i]);
    int code = commandCode(arg);
    if (code < 0) {
      if (arg == "-q" || arg == "/q") continue;
      // "-h", "/h", "/?" and anything unknown before the command.
      help();
      return;
    }

    String library = i + 1 < argc ? String(argv[i + 1]) : String();
    if (library.empty() || !isLibraryName(library)) {
      usage("library filename is required");
      return;
    }
    std::list<String> members;
    for (int m = i + 2; m < argc; ++m) {
      String member = argv[m];
      if (member.empty() || !isObjectFileName(member)) {
        usage("invalid object filename");
        return;
      }
      members.push_back(member);
    }
    if (!archiver.setCommand(static_cast<uint8_t>(code), library, members)) usage("");
    return;
  }
  // No command: the help screen, except in quiet mode, where run() then fails.
  if (!isQuiet()) help();
}
