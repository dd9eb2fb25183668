// Reader of the linker command files. Every directive it recognises is handed
// to the linker through LinkerDirectives; every error ends the run through
// Parser::usage.
#pragma once

#include <cstdint>
#include <istream>
#include <list>
#include <unordered_set>

#include "diagnostics.h"
#include "directives.h"
#include "memtarg.h"

class Parser {
 public:
  Parser();

  // Reads the arguments from argv[1] on, strictly left to right, reading
  // each command file where it is named. Returns 1 when every argument was
  // accepted and a command file was read; any refusal ends the run through
  // usage, and no arguments at all through help (0 should the exit return).
  int parseCommandLine(int argc, char** argv, LinkerDirectives& linker);

  // Prints the help screen, even in quiet mode, and ends the run with
  // status 255 without a summary.
  void help();

  // Reports message as an error and ends the run with status 1. Should the
  // installed exit function return, the caller stops what it was doing.
  void usage(const String& message);

  // Finds, opens and reads one linker command file, handing its directives
  // to linker. Returns 1 after the whole file was read; 0 only when an error
  // was reported through usage and the exit function returned.
  int parseCommandFile(const String& name, LinkerDirectives& linker);

  // Attribute readers: read the rest of the line from tokens. Each returns 1
  // with the record in its out-parameter, or reports the directive's
  // "Invalid attributes for ..." message and returns 0. type is the memory
  // type (0 ROM for CODEPAGE, 1 RAM for the bank kinds).
  int parseMemory(std::istream& tokens, const String& keyword, const String& file, int line,
                  char type, Memory& memory);
  int parseSection(std::istream& tokens, const String& file, int line, SectionDesc& desc);
  int parseStack(std::istream& tokens, const String& file, int line, StackDesc& desc);
  int parseHeap(std::istream& tokens, const String& file, int line, uint32_t& minSize);

  // The command-line reader joins this class: it appends the directories of
  // each -k switch to cLkrPath (appendLkrPath) before it reads the command
  // files named after the switch, and hands the same LinkerDirectives to
  // parseCommandFile.
  void appendLkrPath(const String& dir) { cLkrPath.push_back(dir); }

  const std::list<String>& cmdFiles() const { return cCmdFiles; }
  const std::list<String>& lkrPath() const { return cLkrPath; }

 private:
  // Resolves name to the text under which the file is read; empty (after
  // the report) when it cannot be found.
  String locateCommandFile(const String& name);
  int parseLine(const String& lineText, const String& file, int line, LinkerDirectives& linker);
  int parsePathList(std::istream& tokens, const String& keyword, const String& what,
                    const String& file, int line, std::list<String>& pieces);
  // " in '" file ":" line "'", the tail of every directive message.
  String where(const String& file, int line);
  void invalidAttributes(const String& keyword, const String& file, int line);

  char cScratch[1024];
  // Files being read through INCLUDE right now, nested in one another.
  int cIncludeDepth;
  std::list<String> cCmdFiles;
  // The same names, for the test against reading one twice.
  std::unordered_set<String> cCmdFileSet;
  std::list<String> cLkrPath;
};

// 1 when a command-line argument is a switch: it begins with '-', or with
// '/' unless its text up to the next separator names an existing directory
// (then it is an absolute path: "/tmp/x.o" is a file, "/o/tmp/a.out" the
// switch o with the value "/tmp/a.out").
int isSwitchArgument(const String& arg);

// Name tests for command-line arguments and FILES and INCLUDE operands.
int isLibraryFileName(const String& text);
int isCommandFileName(const String& text);
int isValidPath(const String& text);

// Cuts line at its first "//".
void stripComment(String& line);
