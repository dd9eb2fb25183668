// The command line and the run of the COFF-to-HEX converter.
#pragma once

#include "hex.h"

// Reads a "/r" value "begin-end": two numbers, each decimal or "0x" hex and
// within 32 bits, joined by one '-', with end not below begin. False for
// anything else (empty pieces, stray characters, overflow).
bool parseRangeArgument(const String& text, AddrRange& range);

// The whole program; ends through the process exit (returns only when a
// replaced exit function returns, with the status it was given).
int runHexConverter(int argc, char** argv);
