#include "parser.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <system_error>
#include <vector>

#include <sys/stat.h>

#include "filename.h"
#include "platform.h"
#include "textutil.h"

namespace {

// Deepest nesting of INCLUDE below a command file named on the command line.
const int kMaxIncludeDepth = 100;

bool isSeparator(char c) { return c == '/' || c == '\\'; }

bool isAlnum(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

bool isHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(const String& a, const String& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

// Name part at least 5 characters ("x.lkr"), beginning with a letter or a
// digit, with the given extension in any case.
int hasFileNameWithExtension(const String& text, const String& extension) {
  FileName f(text);
  String n = f.name();
  if (n.size() < 5 || !isAlnum(n[0])) return 0;
  return equalsIgnoringCase(f.ext(), extension) ? 1 : 0;
}

// NAME=value: the name before the first '=', the value after it, which must
// not be empty.
bool splitAttribute(const String& token, String& name, String& value) {
  size_t eq = token.find('=');
  if (eq == String::npos || eq + 1 >= token.size()) return false;
  name = token.substr(0, eq);
  value = token.substr(eq + 1);
  return true;
}

// A hexadecimal fill text is padded with zeros to whole groups of four
// digits (0xFF becomes 0x00FF). A text that looks hexadecimal but has no
// digits, or other characters among them, has no value and is refused.
bool normaliseFill(String& value) {
  if (value.size() < 2 || lower(value[1]) != 'x') return true;
  if (value[0] != '0' || value.size() < 3) return false;
  for (size_t i = 2; i < value.size(); ++i)
    if (!isHexDigit(value[i])) return false;
  while ((value.size() - 2) % 4 != 0) value = "0x0" + value.substr(2);
  return true;
}

// Skips white space; true when another token follows on the line.
bool hasMoreTokens(std::istream& in) {
  in >> std::ws;
  return in.peek() != std::char_traits<char>::eof();
}

// A file written with CRLF line ends reads as if written with LF.
String dropCarriageReturns(const String& content) {
  String out;
  out.reserve(content.size());
  for (size_t i = 0; i < content.size(); ++i) {
    if (content[i] == '\r' && i + 1 < content.size() && content[i + 1] == '\n') continue;
    out += content[i];
  }
  return out;
}

const char* const kHelpLines[] = {
    "Syntax:   torvan { cmdfile | [objfile] | [libfile] | [option] } ...  ",
    "  'cmdfile' is the name of a linker command file.              ",
    "       All linker command files must have the extension '.lkr' ",
    "  'objfile' is the name of an assembler or compiler generated object file. ",
    "       All object files must have the extension '.o'.          ",
    "  'libfile' is the name of a librarian created library file.   ",
    "       All library files must have the extension '.lib'.       ",
    "  'option'  is a linker command line option described below.   ",
    "",
    "Linker command line options:                                   ",
    "   /o <filename>   : specify output file 'filename', default is 'a.out'  ",
    "   /m <filename>   : create map file 'filename'                          ",
    "   /l <pathlist>   : list of directories to search for library/object files",
    "   /k <pathlist>   : list of directories to search for linker command files",
    "   /n <length>     : number of lines per listing page (0 = no pagination)",
    "   /h, /?          : show this help screen                   ",
    "   /a <hexformat>  : specify format of hex programming file  ",
    "                     valid formats are INHX8M, INHX8S, INHX32",
    "   /d              : don't create listing file               ",
    "   /q              : quiet mode operation                    ",
};

// The switches that take a value: the rest of the argument, or else the
// next argument whatever it looks like.
bool takesValue(char letter) {
  return letter == 'a' || letter == 'k' || letter == 'l' || letter == 'm' || letter == 'n' ||
         letter == 'o';
}

}  // namespace

int isSwitchArgument(const String& arg) {
  if (arg.empty()) return 0;
  if (arg[0] == '-') return 1;
  if (arg[0] != '/') return 0;
  size_t next = 1;
  while (next < arg.size() && !isSeparator(arg[next])) ++next;
  if (next == 1) return 1;  // "/" alone, or "//..."
  return platform::directoryExists(arg.substr(0, next)) ? 0 : 1;
}

int isLibraryFileName(const String& text) { return hasFileNameWithExtension(text, ".lib"); }

int isCommandFileName(const String& text) { return hasFileNameWithExtension(text, ".lkr"); }

int isValidPath(const String& text) { return text.empty() ? 0 : 1; }

void stripComment(String& line) {
  size_t pos = line.find("//");
  if (pos != String::npos) line.erase(pos);
}

Parser::Parser() : cScratch{}, cIncludeDepth(0) {}

void Parser::usage(const String& message) {
  reportMessage(SevError, "Parser::usage()", message, 0);
  printSummaryAndExit(1);
}

void Parser::help() {
  for (const char* line : kHelpLines) std::cout << line << '\n';
  std::cout.flush();
  platform::exitProcess(255);
}

int Parser::parseCommandLine(int argc, char** argv, LinkerDirectives& linker) {
  String err;
  bool commandFileRead = false;
  for (int i = 1; i < argc; ++i) {
    String arg = argv[i];
    int accepted = 1;
    if (isSwitchArgument(arg)) {
      if (arg.size() > 1) arg[1] = lower(arg[1]);
      const char letter = arg.size() > 1 ? arg[1] : '\0';
      String value;
      if (takesValue(letter)) {
        if (arg.size() > 2)
          value = arg.substr(2);
        else if (i + 1 < argc)
          value = argv[++i];
      }
      switch (letter) {
        case 'o':
        case 'm':
          if (!isValidFileName(value)) {
            usage(String("-") + letter + " switch requires <filename>");
            return 0;
          }
          accepted = letter == 'o' ? linker.setOutputFile(value, err) : linker.setMapFile(value, err);
          break;
        case 'l':
        case 'k': {
          std::list<String> dirs = splitString(value, ';');
          bool valid = !dirs.empty();
          for (const String& dir : dirs)
            if (!isValidPath(dir)) valid = false;
          if (!valid) {
            usage(String("-") + letter + " switch requires <pathlist>");
            return 0;
          }
          for (const String& dir : dirs) {
            if (letter == 'k') {
              appendLkrPath(dir);
            } else if (!linker.addLibPath(dir, err)) {
              accepted = 0;
              break;
            }
          }
          break;
        }
        case 'n':
          // Accepted for compatibility; the linker writes no listing.
          if (!isAllDigits(value)) {
            usage("-n switch requires <length>");
            return 0;
          }
          break;
        case 'a':
          // Accepted for compatibility; the HEX converter chooses the format.
          if (value != "INHX8M" && value != "INHX8S" && value != "INHX32") {
            usage("-a switch requires <hexformat>");
            return 0;
          }
          break;
        case 'd':
          break;
        case 'q':
          setQuiet(1);
          break;
        case 's':
          accepted = linker.setStrip(1, err);
          break;
        case 'h':
        case '?':
          help();
          return 0;
        default:
          usage("unknown switch: " + arg);
          return 0;
      }
    } else if (isObjectFileName(arg)) {
      accepted = linker.addObjectFile(arg, err);
    } else if (isLibraryFileName(arg)) {
      accepted = linker.addLibraryFile(arg, err);
    } else if (isCommandFileName(arg)) {
      if (!parseCommandFile(arg, linker)) return 0;
      commandFileRead = true;
    } else {
      usage("unrecognized input: " + String(argv[i]));
      return 0;
    }
    if (!accepted) {
      usage(err);
      return 0;
    }
  }

  if (argc <= 1) {
    help();
    return 0;
  }
  if (!commandFileRead) {
    usage("linker command file required.");
    return 0;
  }
  return 1;
}

String Parser::where(const String& file, int line) {
  std::snprintf(cScratch, sizeof cScratch, "%d", line);
  return " in '" + file + ":" + cScratch + "'";
}

void Parser::invalidAttributes(const String& keyword, const String& file, int line) {
  usage("Invalid attributes for " + keyword + where(file, line));
}

String Parser::locateCommandFile(const String& name) {
  FileName given(name);
  if (given.hasPath()) {
    if (given.fileExists()) return name;
  } else {
    // The current directory comes before every LKRPATH directory.
    std::list<String> dirs(1, ".");
    dirs.insert(dirs.end(), cLkrPath.begin(), cLkrPath.end());
    for (const String& dir : dirs) {
      String candidate = dir;
      if (candidate.empty() || !isSeparator(candidate.back())) candidate += '/';
      candidate += name;
      if (FileName(candidate).fileExists()) return candidate;
    }
  }
  usage("Could not find linker command file '" + name + "'.");
  return String();
}

int Parser::parseCommandFile(const String& name, LinkerDirectives& linker) {
  String file = locateCommandFile(name);
  if (file.empty()) return 0;

  // An existing directory, a device or a FIFO passes the access test but is
  // no command file: it is refused unread, as is a file that fails part-way.
  const platform::Activity reading("reading linker command file", file);
  std::vector<unsigned char> bytes;
  if (platform::readWholeFile(platform::hostPath(file), bytes) != platform::readDone) {
    usage("Could not open '" + file + "'");
    return 0;
  }
  if (!cCmdFileSet.insert(file).second) {
    usage("Multliple inclusion of linker command file '" + file + "' ");
    return 0;
  }
  cCmdFiles.push_back(file);

  String content = dropCarriageReturns(String(bytes.begin(), bytes.end()));
  std::vector<unsigned char>().swap(bytes);

  // Every line is read whole, however long: a comment or a file name is
  // never split into lines of its own.
  int lineNo = 0;
  size_t pos = 0;
  while (pos < content.size()) {
    size_t newline = content.find('\n', pos);
    size_t end = newline == String::npos ? content.size() : newline;
    if (!parseLine(content.substr(pos, end - pos), file, ++lineNo, linker)) return 0;
    pos = newline == String::npos ? content.size() : newline + 1;
  }
  return 1;
}

int Parser::parsePathList(std::istream& tokens, const String& keyword, const String& what,
                          const String& file, int line, std::list<String>& pieces) {
  String operand;
  bool valid = hasMoreTokens(tokens) && readToken(tokens, operand);
  if (valid) {
    pieces = splitString(operand, ';');
    valid = !pieces.empty();
    for (const String& piece : pieces)
      if (!isValidPath(piece)) valid = false;
  }
  if (!valid) {
    usage("Illegal " + what + " for " + keyword + where(file, line));
    return 0;
  }
  return 1;
}

int Parser::parseLine(const String& lineText, const String& file, int line,
                      LinkerDirectives& linker) {
  String text = lineText;
  stripComment(text);
  text += ' ';
  std::istringstream tokens(text);
  String err;
  // A refused directive is reported with the handler's own message.
  auto refused = [this, &err](int accepted) {
    if (!accepted) usage(err);
    return !accepted;
  };
  String keyword;
  while (tokens >> keyword) {
    if (keyword == "LIBPATH") {
      std::list<String> dirs;
      if (!parsePathList(tokens, keyword, "<libpath>", file, line, dirs)) return 0;
      for (const String& dir : dirs) {
        if (refused(linker.addLibPath(dir, err))) return 0;
      }
    } else if (keyword == "LKRPATH") {
      std::list<String> dirs;
      if (!parsePathList(tokens, keyword, "<lkrpath>", file, line, dirs)) return 0;
      cLkrPath.insert(cLkrPath.end(), dirs.begin(), dirs.end());
    } else if (keyword == "FILES" || keyword == "INCLUDE") {
      // Each operand is handed over (an INCLUDE read completely) before the
      // next one is looked at.
      bool include = keyword == "INCLUDE";
      int count = 0;
      for (;;) {
        bool more = hasMoreTokens(tokens);
        if (!more && count > 0) break;
        String operand;
        bool valid = more && readToken(tokens, operand);
        int accepted = 1;
        if (valid && include && isCommandFileName(operand)) {
          // Each level of nesting holds a reader on the stack: a chain of
          // thousands of files, each including the next, would exhaust it.
          if (cIncludeDepth >= kMaxIncludeDepth) {
            usage("Linker command file '" + operand + "' is included more than " +
                  std::to_string(kMaxIncludeDepth) + " levels deep" + where(file, line));
            return 0;
          }
          ++cIncludeDepth;
          const int read = parseCommandFile(operand, linker);
          --cIncludeDepth;
          if (!read) return 0;
        } else if (valid && !include && isObjectFileName(operand)) {
          accepted = linker.addObjectFile(operand, err);
        } else if (valid && !include && isLibraryFileName(operand)) {
          accepted = linker.addLibraryFile(operand, err);
        } else {
          usage("Illegal <filename> for " + keyword + where(file, line));
          return 0;
        }
        if (refused(accepted)) return 0;
        ++count;
      }
    } else if (keyword == "CODEPAGE" || keyword == "DATABANK" || keyword == "SHAREBANK" ||
               keyword == "ACCESSBANK") {
      char type = keyword == "CODEPAGE" ? 0 : 1;
      Memory memory;
      if (!parseMemory(tokens, keyword, file, line, type, memory)) return 0;
      int accepted = keyword == "CODEPAGE"    ? linker.addCodePage(memory, err)
                     : keyword == "DATABANK"  ? linker.addDataBank(memory, err)
                     : keyword == "SHAREBANK" ? linker.addShareBank(memory, err)
                                              : linker.addAccessBank(memory, err);
      if (refused(accepted)) return 0;
    } else if (keyword == "SECTION") {
      SectionDesc desc;
      if (!parseSection(tokens, file, line, desc)) return 0;
      if (refused(linker.addSectionDesc(desc, err))) return 0;
    } else if (keyword == "STACK") {
      StackDesc desc;
      if (!parseStack(tokens, file, line, desc)) return 0;
      if (refused(linker.setStackDesc(desc, err))) return 0;
    } else if (keyword == "HEAP") {
      uint32_t minSize = 0;
      if (!parseHeap(tokens, file, line, minSize)) return 0;
      if (refused(linker.setMinHeapSize(minSize, err))) return 0;
    } else {
      std::snprintf(cScratch, sizeof cScratch, "%d", line);
      usage("Unrecognized input in '" + file + ":" + cScratch + "': " + keyword);
      return 0;
    }
  }
  return 1;
}

int Parser::parseMemory(std::istream& tokens, const String& keyword, const String& file,
                        int line, char type, Memory& memory) {
  String name, fill;
  uint32_t start = 0, end = 0;
  bool haveName = false, haveStart = false, haveEnd = false, haveFill = false;
  bool isProtected = false;
  bool valid = true;
  String token;
  while (valid && tokens >> token) {
    if (token == "PROTECTED") {
      valid = !isProtected;
      isProtected = true;
      continue;
    }
    String attr, value;
    if (!splitAttribute(token, attr, value)) {
      valid = false;
    } else if (attr == "NAME" && !haveName) {
      name = value;
      haveName = true;
    } else if (attr == "START" && !haveStart) {
      start = parseNumber(value);
      haveStart = true;
    } else if (attr == "END" && !haveEnd) {
      end = parseNumber(value);
      haveEnd = true;
    } else if (attr == "FILL" && !haveFill && keyword == "CODEPAGE" && normaliseFill(value)) {
      fill = value;
      haveFill = true;
    } else {
      valid = false;
    }
  }
  // The memory model needs START <= END and a size that fits 32 bits.
  if (valid)
    valid = haveName && haveStart && haveEnd && start <= end && !(start == 0 && end == 0xFFFFFFFFu);
  if (!valid) {
    invalidAttributes(keyword, file, line);
    return 0;
  }
  memory = Memory(name, start, end, type, isProtected ? 1 : 0, haveFill ? 1 : 0, fill);
  return 1;
}

int Parser::parseSection(std::istream& tokens, const String& file, int line, SectionDesc& desc) {
  String name, rom, ram;
  bool haveName = false, haveRom = false, haveRam = false;
  bool valid = true;
  String token;
  while (valid && tokens >> token) {
    String attr, value;
    if (!splitAttribute(token, attr, value)) {
      valid = false;
    } else if (attr == "NAME" && !haveName) {
      name = value;
      haveName = true;
    } else if (attr == "ROM" && !haveRom) {
      rom = value;
      haveRom = true;
    } else if (attr == "RAM" && !haveRam) {
      ram = value;
      haveRam = true;
    } else {
      valid = false;
    }
  }
  if (!valid || !haveName || !(haveRom || haveRam)) {
    invalidAttributes("SECTION", file, line);
    return 0;
  }
  desc = SectionDesc(name, rom, ram);
  return 1;
}

int Parser::parseStack(std::istream& tokens, const String& file, int line, StackDesc& desc) {
  uint32_t size = 0;
  String ram;
  bool haveSize = false, haveRam = false;
  bool valid = true;
  String token;
  while (valid && tokens >> token) {
    String attr, value;
    if (!splitAttribute(token, attr, value)) {
      valid = false;
    } else if (attr == "SIZE" && !haveSize) {
      size = parseNumber(value);
      haveSize = true;
    } else if (attr == "RAM" && !haveRam) {
      ram = value;
      haveRam = true;
    } else {
      valid = false;
    }
  }
  if (!valid || !haveSize) {
    invalidAttributes("STACK", file, line);
    return 0;
  }
  desc = StackDesc(size, ram);
  return 1;
}

int Parser::parseHeap(std::istream& tokens, const String& file, int line, uint32_t& minSize) {
  uint32_t size = 0;
  bool haveSize = false;
  bool valid = true;
  String token;
  while (valid && tokens >> token) {
    String attr, value;
    if (splitAttribute(token, attr, value) && attr == "MINSIZE" && !haveSize) {
      size = parseNumber(value);
      haveSize = true;
    } else {
      valid = false;
    }
  }
  if (!valid || !haveSize) {
    invalidAttributes("HEAP", file, line);
    return 0;
  }
  minSize = size;
  return 1;
}
