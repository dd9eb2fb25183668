// Writing a file by replacing it whole: the new contents go to a temporary
// file beside the target, renamed over it only once all of it was written,
// so a failed write never leaves a half-written file in the target's place.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <vector>

#include "diagnostics.h"

namespace replacement {

String directoryOf(const String& path);
String baseOf(const String& path);

// The file a write to path really changes: symbolic links are followed, so
// the link stays a link and its target gets the new contents. 0 on a loop.
// exists tells whether target is there; if so, facts holds its stat (the
// last lstat of the walk, which found no link).
int resolveLinks(const String& path, String& target, struct stat& facts, bool& exists);

// The permission bits a plain create would give a new file.
mode_t creationMode();

// 1 when both names lead (through links) to one existing regular file.
// Devices and pipes are never "the same file": nothing on them is lost.
int sameRegularFile(const String& a, const String& b);

// Temporary files not yet renamed or removed are listed where a signal
// handler can find them: an interrupt, a termination, a hang-up or an
// exceeded file size removes them all before the signal ends the process,
// and so does a process exit that unwinds nothing. The handlers are set up
// with the first temporary file, for each of those signals that is not
// ignored.
//
// createPending creates the file from pattern (as mkstemp) with the signals
// held off, so that no file exists unlisted; the descriptor, or -1.
// forgetPending drops the name again (before its buffer changes).
int createPending(char* pattern);
void forgetPending(const char* name);
// Removes every listed file; safe inside a signal handler.
void removePending();

// Writes a whole file at path, where nothing is yet: with nothing to
// replace, the file is created outright (no temporary file, no rename),
// exclusively and without following a link, with the permission bits of a
// plain create, and its bytes go out in one write. It is listed as pending
// from just before it is created until it is whole, so a signal or a failed
// write leaves nothing at path. alreadyThere (nothing touched) when
// something took the name since the caller looked.
enum Created { created, alreadyThere, openFailed, writeFailed };
Created createWhole(const String& path, const unsigned char* bytes, std::size_t size);

// A temporary file beside the target, removed again unless committed.
class TempFile {
 public:
  explicit TempFile(const String& target) : cTarget(target) {}
  ~TempFile() { discard(); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  int open() {
    // A name as long as the file system allows leaves no room for the
    // suffix: the temporary name keeps only the start of it.
    String pattern = directoryOf(cTarget) + "/." + baseOf(cTarget).substr(0, 200) + ".XXXXXX";
    // mkstemp fills in the name in place; the pending list holds it there.
    cPath = pattern;
    int fd = createPending(&cPath[0]);
    if (fd < 0) {
      cPath.clear();
      return 0;
    }
    cFile = fdopen(fd, "wb");
    if (!cFile) {
      ::close(fd);
      return 0;
    }
    return 1;
  }

  std::FILE* file() const { return cFile; }

  // The permission bits the library keeps (or would get from a plain create).
  int setMode(mode_t mode) { return fchmod(fileno(cFile), mode) == 0 ? 1 : 0; }

  // Flushes everything and closes; 0 when any of it failed. No fsync: a
  // build writes many outputs, and waiting for the disk on each would cost
  // more than the link itself; the rename alone keeps a failed write from
  // replacing the old file.
  int close() {
    int ok = std::fflush(cFile) == 0 && !std::ferror(cFile);
    if (std::fclose(cFile) != 0) ok = 0;
    cFile = nullptr;
    return ok;
  }

  // Renames the file over the target; replaced is the stat of the file it
  // replaces, null when there is none.
  int commit(const struct stat* replaced) {
    // Where the file system can, the two files swap names and the old one
    // goes under the temporary name: a rename over an existing file makes
    // some file systems write the new file out before the rename returns,
    // which for a map of tens of megabytes costs more than composing it.
    if (replaced && renameat2(AT_FDCWD, cPath.c_str(), AT_FDCWD, cTarget.c_str(),
                              RENAME_EXCHANGE) == 0) {
      ::unlink(cPath.c_str());
    } else if (std::rename(cPath.c_str(), cTarget.c_str()) != 0) {
      return 0;
    }
    forgetPending(cPath.c_str());
    cPath.clear();
    return 1;
  }

 private:
  void discard() {
    if (cFile) std::fclose(cFile);
    cFile = nullptr;
    if (!cPath.empty()) {
      std::remove(cPath.c_str());
      forgetPending(cPath.c_str());
    }
    cPath.clear();
  }

  String cTarget;
  // The temporary file's name, listed as pending (see createPending) until
  // it is renamed or removed; unchanged while listed.
  String cPath;
  std::FILE* cFile = nullptr;
};

// An output file written whole. A regular file (or one not there yet) is
// written to a temporary file that replaces it only once all of it was
// written, with the old file's permission bits (a new one gets those of a
// plain create); a link stays a link and its target is replaced. Anything
// else (a device, a pipe) is written in place, as there is nothing to lose,
// unless the caller refuses it. Dropped uncommitted, the old file stays as
// it was.
class OutputFile {
 public:
  explicit OutputFile(const String& hostPath) : cPath(hostPath) {}
  ~OutputFile() {
    if (cInPlace) std::fclose(cInPlace);
  }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  enum Special { writeInPlace, refuseSpecial };
  // 0 when the file cannot be written: its links loop, it exists and may
  // not be written (or is no regular file, and special refuses it), or no
  // temporary file can be made beside it.
  int open(Special special = writeInPlace);
  std::FILE* file() const { return cInPlace ? cInPlace : cTemp ? cTemp->file() : nullptr; }
  // Flushes and closes; 0 when anything written was lost.
  int close();
  // Puts the written file in place of the old one; 0 when that failed (the
  // old file is then as it was). Call after a successful close.
  int commit();

 private:
  String cPath;
  std::unique_ptr<TempFile> cTemp;
  std::FILE* cInPlace = nullptr;
  bool cExists = false;
  struct stat cFacts {};
};

}  // namespace replacement
