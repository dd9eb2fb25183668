// Writing a file by replacing it whole: the new contents go to a temporary
// file beside the target, renamed over it only once all of it was written,
// so a failed write never leaves a half-written file in the target's place.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string_view>
#include <vector>

#include "diagnostics.h"

namespace replacement {

String directoryOf(const String& path);
String baseOf(const String& path);

// The file a write to path really changes: symbolic links are followed, so
// the link stays a link and its target gets the new contents. 0 on a loop.
// exists tells whether target is there; if so, facts holds its stat (the
// last lstat of the walk, which found no link). viaDescriptor, when given,
// is set once a name on the way stands for a descriptor (namesDescriptor).
int resolveLinks(const String& path, String& target, struct stat& facts, bool& exists,
                 bool* viaDescriptor = nullptr);

// The permission bits a plain create would give a new file.
mode_t creationMode();

// Whether a name stands for a descriptor the process already holds
// (/dev/stdout, /dev/stderr, /dev/fd/N, /proc/self/fd/N and the like): what
// it leads to is written in place, never replaced by a file of that path.
bool namesDescriptor(const String& path);

// What tells whether two names are one file, for the check that no output
// of a run lands on one of its inputs or on another of its outputs. An
// existing regular file is known by its device and inode; a name that
// leads (through links, a dangling one too) to nothing yet by the absolute
// path it would create. Devices and pipes are never "the same file":
// nothing on them is lost.
struct FileIdentity {
  bool regular = false;  // exists as a regular file
  bool other = false;    // exists as something else
  dev_t device = 0;
  ino_t inode = 0;
  String created;  // absolute and normal; set when nothing is there
};
FileIdentity identify(const String& path);
bool sameFile(const FileIdentity& a, const FileIdentity& b);
// Both names identified; 1 when they are one file.
int sameFile(const String& a, const String& b);

// Temporary files not yet renamed or removed are listed where a signal
// handler can find them: a signal that ends the process (an interrupt, a
// termination, a hang-up, a quit, an abort, an alarm or timer, a user
// signal, an exceeded processor time or file size) removes them all before
// it ends the process as it would have, and so does a process exit that
// unwinds nothing. The handlers are set up with the first temporary file,
// for each of those signals that is not ignored.
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
  const String& path() const { return cPath; }

  // The permission bits the library keeps (or would get from a plain create).
  int setMode(mode_t mode) { return fchmod(fileno(cFile), mode) == 0 ? 1 : 0; }

  // The owner and group of the file it replaces, as far as the process may
  // give them: a group it belongs to at least.
  void setOwner(uid_t owner, gid_t group) {
    const int fd = fileno(cFile);
    if (fchown(fd, owner, group) != 0 && errno == EPERM)
      (void)!fchown(fd, static_cast<uid_t>(-1), group);
  }

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
    if (!place(replaced)) return 0;
    settle();
    return 1;
  }

  // commit in two steps, so that several files are put in place together
  // or not at all: place renames the file over the target, where unplace
  // can still take it back; settle lets the old file go.
  int place(const struct stat* replaced) {
    // Where the file system can, the two files swap names and the old one
    // goes under the temporary name: a rename over an existing file makes
    // some file systems write the new file out before the rename returns,
    // which for a map of tens of megabytes costs more than composing it.
    if (replaced && renameat2(AT_FDCWD, cPath.c_str(), AT_FDCWD, cTarget.c_str(),
                              RENAME_EXCHANGE) == 0) {
      cPlaced = kSwapped;
    } else if (std::rename(cPath.c_str(), cTarget.c_str()) == 0) {
      cPlaced = replaced ? kOverwritten : kCreated;
    } else {
      return 0;
    }
    return 1;
  }
  void unplace() {
    if (cPlaced == kSwapped)
      renameat2(AT_FDCWD, cPath.c_str(), AT_FDCWD, cTarget.c_str(), RENAME_EXCHANGE);
    else if (cPlaced == kCreated)
      std::rename(cTarget.c_str(), cPath.c_str());
    // An old file renamed over is gone: nothing brings it back.
    cPlaced = kNone;
  }
  void settle() {
    if (cPlaced == kSwapped) ::unlink(cPath.c_str());
    cPlaced = kNone;
    forgetPending(cPath.c_str());
    cPath.clear();
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

  enum Placed { kNone, kSwapped, kOverwritten, kCreated };

  String cTarget;
  // The temporary file's name, listed as pending (see createPending) until
  // it is renamed or removed; unchanged while listed.
  String cPath;
  std::FILE* cFile = nullptr;
  Placed cPlaced = kNone;
};

// An output file written whole: nothing reaches the target before commit.
// A regular file (or one not there yet) is written to a temporary file
// beside it that replaces it by a rename, with the old file's owner and
// group (as far as the process may set them) and permission bits less
// set-user-ID and set-group-ID; a new one gets those of a plain create. A
// link stays a link and its target is replaced. A regular file with other
// hard links keeps them: the finished temporary file is copied into it. A
// target that is no regular file (a device, a pipe, a FIFO), or one named
// through a descriptor (namesDescriptor), gets the finished contents
// written in place, once, under the name given, from an unnamed temporary
// file. Dropped uncommitted, the old file stays as it was.
class OutputFile {
 public:
  // How a symbolic link at the name is taken: followed, its target
  // replaced; or replaced itself by the file (an extracted member stays in
  // the directory it is extracted into).
  enum Links { followLinks, replaceLink };
  explicit OutputFile(const String& hostPath, Links links = followLinks)
      : cPath(hostPath), cLinks(links) {}
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Finds what the name leads to; 0 when it cannot be written: its links
  // loop, or it exists and may not be written. open does it when not done.
  int prepare();
  // The existing regular file the output would replace and its stat, or
  // null. Valid after prepare.
  const struct stat* replaced() const { return cExists && cKind != kInPlace ? &cFacts : nullptr; }
  const String& target() const { return cTarget; }
  // The old file already holds what would be written: nothing is, and
  // commit only stamps it as written now. Instead of open.
  void keepOld() { cKeep = true; }

  // 0 when the file cannot be written (see prepare) or no temporary file
  // can be made for it.
  int open();
  std::FILE* file() const { return cTemp ? cTemp->file() : cSpool; }
  // Flushes and closes; 0 when anything written was lost.
  int close();
  // Puts the written file in place of the old one; 0 when that failed (the
  // old file is then as it was, but for a device or pipe written in part).
  // Call after a successful close.
  int commit();
  // Whether commit writes into the target itself (a device, a pipe, a file
  // with other links) instead of renaming over it.
  bool inPlace() const { return cKind != kRename; }

 private:
  friend OutputFile* commitAll(std::initializer_list<OutputFile*> files);
  enum Kind { kRename, kLinked, kInPlace };
  int copyIn();
  int stamp();

  String cPath;
  Links cLinks;
  String cTarget;
  bool cPrepared = false;
  int cReady = 0;  // what prepare found
  bool cExists = false;
  bool cKeep = false;
  Kind cKind = kRename;
  struct stat cFacts {};
  std::unique_ptr<TempFile> cTemp;  // beside the target
  std::FILE* cSpool = nullptr;      // unnamed, for a target written in place
};

// Bytes gathered for an output's stream and written a buffer at a time: a
// stream write per HEX record or listing row cost as much as formatting
// it. Once a write fails nothing more is written.
class OutputBuffer {
 public:
  // Bytes written at a time: what measured fastest for the writer's pieces.
  explicit OutputBuffer(std::size_t size) : cSize(size) {}
  std::size_t size() const { return cSize; }

  // Starts over on stream (null: nothing is written), with no failure.
  void reset(std::FILE* stream);
  // Room for size bytes (at most size()) after what was put, or null once a
  // write failed; used says how many of them were filled.
  char* room(std::size_t size);
  void used(std::size_t size) { cUsed += size; }
  // false once a write failed. A text longer than the buffer is written
  // from where it is, not copied. Inline: a listing puts a few pieces a
  // row.
  bool put(std::string_view text) {
    if (text.empty()) return !cFailed;  // an empty view may hold no pointer
    if (!cBuffer || text.size() > cSize - cUsed) return putAfterFlush(text);
    std::memcpy(cBuffer.get() + cUsed, text.data(), text.size());
    cUsed += text.size();
    return !cFailed;
  }
  // Writes what was gathered; false once a write failed.
  bool flush();

 private:
  bool putAfterFlush(std::string_view text);
  bool write(const char* bytes, std::size_t size);

  const std::size_t cSize;
  std::FILE* cStream = nullptr;
  std::unique_ptr<char[]> cBuffer;
  std::size_t cUsed = 0;
  bool cFailed = false;
};

// Commits every file given (null ones passed over) or none: the renames
// come first and are taken back when a later file fails; writes in place
// come last. The file that failed, or null when all were committed.
OutputFile* commitAll(std::initializer_list<OutputFile*> files);

}  // namespace replacement
