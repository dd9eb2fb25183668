// The map file: the human-readable report of a finished link, built from
// the output image alone. It lists the sections, the program memory they
// use, and the global and static symbols by name and by address.
#pragma once

#include <cstdint>
#include <ostream>

#include "coff.h"
#include "diagnostics.h"
#include "replacement.h"

// One row of the section table.
class SectionInfo {
 public:
  SectionInfo() = default;
  SectionInfo(const String& name, uint32_t address, uint32_t size, char location, char type,
              int abs, int shared, int access)
      : cName(name),
        cAddress(address),
        cSize(size),
        cLocation(location),
        cType(type),
        cAbs(abs),
        cShared(shared),
        cAccess(access) {}

  static bool compareAddress(const SectionInfo& a, const SectionInfo& b) {
    return a.cAddress < b.cAddress;
  }
  void print(std::ostream& os) const;

  String cName;
  uint32_t cAddress = 0;  // first location
  uint32_t cSize = 0;     // bytes
  char cLocation = 0;     // 0 program memory, 1 data memory
  char cType = 0;         // ScnType
  int cAbs = 0;
  int cShared = 0;
  int cAccess = 0;
};

// One row of the symbol tables.
class SymbolInfo {
 public:
  SymbolInfo() = default;
  SymbolInfo(const String& name, uint32_t address, char location, char storageClass, char kind,
             const String& file)
      : cName(name),
        cAddress(address),
        cLocation(location),
        cStorageClass(storageClass),
        cKind(kind),
        cFile(file) {}

  static bool compareName(const SymbolInfo& a, const SymbolInfo& b) { return a.cName < b.cName; }
  static bool compareAddress(const SymbolInfo& a, const SymbolInfo& b) {
    return a.cAddress < b.cAddress;
  }
  void print(std::ostream& os) const;

  String cName;
  uint32_t cAddress = 0;
  char cLocation = 0;      // 0 program memory, 1 data memory
  char cStorageClass = 0;  // 0 external, 1 static
  char cKind = 0;          // 0 function, 1 variable
  String cFile;            // source file, empty when none
};

class MapFile {
 public:
  // Opens file, the map file name; 0 after reporting a failure.
  static int open(replacement::OutputFile& file, const String& name, const char* context);
  // Writes the map of output into file (the map file name), block by block
  // as it is composed, and closes it; the caller commits it. programSize is
  // the total of the CODEPAGE sizes in locations. 1 when the whole file was
  // written; 0 after reporting a failed open or a failed write, once.
  static int write(replacement::OutputFile& file, const String& name, const Coff& output,
                   uint64_t programSize);
  // The map alone: written and put in place.
  static int write(const String& name, const Coff& output, uint64_t programSize);
  static void reportCommitFailure(const replacement::OutputFile& file, const String& name,
                                  const char* context);
  // Writes text as the map file name; a failed open, write, flush or close
  // is reported with context and gives 0. The error map file uses it too.
  static int writeText(const String& name, const String& text, const char* context);

  // Words for the codes; empty for any other code.
  static String typeText(int type);
  static String locationText(int location);
  static String storageText(int storageClass);
  static String kindText(int kind);

  // The whole text of the map, with created as the ctime text of the
  // "Created" line (it ends in a newline).
  static String compose(const Coff& output, uint64_t programSize, const String& created);
};
