// Directory paths and file names split into drive, directory, base name
// and extension; both "/" and "\" separate directories.
#pragma once

#include <ostream>

#include "diagnostics.h"

class DirInfo {
 public:
  explicit DirInfo(const String& path) : cPath(path) {}
  const String& name() const { return cPath; }
  // 1 if the directory can be opened for listing.
  int dirExists() const;
  void print(std::ostream& os) const;

 private:
  String cPath;
};

class FileName {
 public:
  explicit FileName(const String& path);

  String path() const { return cDrive + cDir; }
  String name() const { return cFname + cExt; }
  String baseName() const { return cFname; }
  String ext() const { return cExt; }
  String fullName() const { return hasPath() ? path() + name() : name(); }
  int hasPath() const { return cDir.empty() ? 0 : 1; }
  int hasName() const { return cFname.empty() ? 0 : 1; }
  int pathExists() const;
  int fileExists() const;
  // The name fileExists tests: without a directory part the name is taken
  // relative to the current directory, not the drive's.
  String testedName() const { return hasPath() ? fullName() : name(); }
  void print(std::ostream& os) const;

 private:
  // Whole strings: a path is never cut (a cut path would name another file).
  String cDrive;
  String cDir;
  String cFname;
  String cExt;
};

int isValidFileName(const String& text);
int isAllDigits(const String& text);
int isObjectFileName(const String& text);
