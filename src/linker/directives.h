// The records of the SECTION and STACK directives and the thirteen
// operations through which the command line and the linker command files
// hand their settings to the linker. The parser sees only this interface,
// so it can be driven against a recording double.
#pragma once

#include <cstdint>
#include <ostream>

#include "diagnostics.h"
#include "memtarg.h"
#include "textutil.h"

// One SECTION directive: the section and the memories named by ROM= and RAM=
// (empty when absent).
class SectionDesc {
 public:
  SectionDesc() = default;
  SectionDesc(const String& name, const String& loadMemory, const String& runMemory)
      : cName(name), cLoadMemory(loadMemory), cRunMemory(runMemory) {}

  String getName() const { return cName; }
  String getLoadMemory() const { return cLoadMemory; }
  String getRunMemory() const { return cRunMemory; }

  bool operator<(const SectionDesc& o) const { return cName < o.cName; }
  bool operator==(const SectionDesc& o) const { return cName == o.cName; }

  void print(std::ostream& os) const {
    os << "SectionDesc:  cName=" << cName << ", cLoadMemory=" << cLoadMemory
       << ", cRunMemory=" << cRunMemory << '\n';
  }

 private:
  String cName;
  String cLoadMemory;
  String cRunMemory;
};

// The STACK directive: its size in bytes and the memory named by RAM=.
class StackDesc {
 public:
  StackDesc() = default;
  StackDesc(uint32_t size, const String& runMemory) : cSize(size), cRunMemory(runMemory) {}

  uint32_t getSize() const { return cSize; }
  String getRunMemory() const { return cRunMemory; }

  bool operator<(const StackDesc& o) const { return cSize < o.cSize; }
  bool operator==(const StackDesc& o) const { return cSize == o.cSize; }

  void print(std::ostream& os) const {
    os << "StackDesc:  cSize=" << hexString(cSize, 4) << ", cRunMemory=" << cRunMemory << '\n';
  }

 private:
  uint32_t cSize = 0;
  String cRunMemory;
};

// Every operation returns 1 when it accepts its input and 0 when it refuses
// it; a refusal puts exactly one message into err and changes nothing else.
class LinkerDirectives {
 public:
  virtual ~LinkerDirectives() = default;

  virtual int setMinHeapSize(uint32_t size, String& err) = 0;
  virtual int setMapFile(const String& name, String& err) = 0;
  virtual int setOutputFile(const String& name, String& err) = 0;
  virtual int addObjectFile(const String& name, String& err) = 0;
  virtual int addLibraryFile(const String& name, String& err) = 0;
  virtual int addCodePage(const Memory& memory, String& err) = 0;
  virtual int addDataBank(const Memory& memory, String& err) = 0;
  virtual int addShareBank(const Memory& memory, String& err) = 0;
  virtual int addAccessBank(const Memory& memory, String& err) = 0;
  virtual int addSectionDesc(const SectionDesc& desc, String& err) = 0;
  virtual int setStackDesc(const StackDesc& desc, String& err) = 0;
  virtual int addLibPath(const String& dir, String& err) = 0;
  virtual int setStrip(int flag, String& err) = 0;
};
