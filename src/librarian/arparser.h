// Command line of the librarian: "[/q] /{ctdrxh} LIBRARY [MEMBER...]".
#pragma once

#include "archiver.h"
#include "diagnostics.h"

class ArParser {
 public:
  // Parses the arguments after the program name and hands the command to
  // archiver. Ends the program itself on a usage error or the help screen;
  // returns only when the exit function lets it (tests).
  static void parse(int argc, char** argv, Archiver& archiver);
  // Reports message (the usage line when empty) and exits with status 1.
  static void usage(const String& message);
  // Prints the help screen and exits with status 255, without the summary.
  static void help();
  // A name part of at least 5 characters starting with a letter or digit,
  // extension ".lib" in any case.
  static int isLibraryName(const String& name);

  static const char* defaultUsageLine();
};
