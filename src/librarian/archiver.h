// The librarian's command: what to do, to which library, with which members.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <ostream>

#include "diagnostics.h"

class Archive;

enum ArCommand : uint8_t {
  cmdCreateCode = 0,
  cmdListCode = 1,
  cmdDeleteCode = 2,
  cmdReplaceCode = 3,
  cmdExtractCode = 4
};

class Archiver {
 public:
  Archiver();
  virtual ~Archiver();
  Archiver(const Archiver&) = delete;
  Archiver& operator=(const Archiver&) = delete;

  // The parser hands over its result here; 0 if a command was already set.
  virtual int setCommand(uint8_t cmd, const String& archive, const std::list<String>& members);

  // 0 when no command is set or the code is unknown, else the command's result.
  int run();
  void print(std::ostream& os) const;

  int checkLibraryOverMembers(const char* context) const;
  int cmdCreate();
  int cmdList();
  int cmdDelete();
  int cmdReplace();
  int cmdExtract();

  uint8_t command() const { return cCmd; }
  const String& archiveName() const { return cArchive; }
  const std::list<String>& memberNames() const { return cMembers; }
  int hasCommand() const { return cHasCmd; }

 private:
  uint8_t cCmd = 0;
  String cArchive;
  std::list<String> cMembers;
  int cHasCmd = 0;
  // The library a command works on, kept until the Archiver goes: a program
  // ends without taking thousands of members apart node by node.
  std::unique_ptr<Archive> cLibrary;
};
