#include "replacement.h"

#include "platform.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace replacement {
namespace {

// The temporary files not yet renamed or removed. A program has one or two
// at a time; a file beyond the slots is written unlisted.
constexpr int kPendingSlots = 16;

// The piece in which a finished file is copied into a target written in
// place.
constexpr std::size_t kCopyBlock = 256 * 1024;
std::atomic<const char*> gPending[kPendingSlots];

// Every signal whose default action ends the process, but those that leave
// no chance to act (SIGKILL), that a program meets only by its own fault
// (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGSYS, SIGTRAP) and SIGPIPE, which the
// programs ignore.
const int kCleanedSignals[] = {SIGINT,  SIGTERM, SIGHUP,    SIGXFSZ, SIGQUIT, SIGUSR1,
                               SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGABRT};

extern "C" void removePendingAndDie(int sig) {
  removePending();
  // Ends the process as the signal would have without the handler.
  struct sigaction plain {};
  plain.sa_handler = SIG_DFL;
  sigemptyset(&plain.sa_mask);
  sigaction(sig, &plain, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, sig);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  raise(sig);
}

// Only a signal left at its default action gets the handler: one that is
// ignored (a job started to survive its terminal, a writer that wants a
// failed write instead of SIGXFSZ) stays ignored, and a handler of the
// embedding program stays its own.
void installHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  for (int sig : kCleanedSignals) {
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) != 0 || (old.sa_flags & SA_SIGINFO) ||
        old.sa_handler != SIG_DFL)
      continue;
    struct sigaction act {};
    act.sa_handler = removePendingAndDie;
    sigemptyset(&act.sa_mask);
    for (int other : kCleanedSignals) sigaddset(&act.sa_mask, other);
    sigaction(sig, &act, nullptr);
  }
}

}  // namespace

int createPending(char* pattern) {
  installHandlers();
  sigset_t held, previous;
  sigemptyset(&held);
  for (int sig : kCleanedSignals) sigaddset(&held, sig);
  pthread_sigmask(SIG_BLOCK, &held, &previous);
  const int fd = mkstemp(pattern);
  if (fd >= 0) {
    for (auto& slot : gPending) {
      const char* empty = nullptr;
      if (slot.compare_exchange_strong(empty, pattern)) break;
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return fd;
}

void forgetPending(const char* name) {
  for (auto& slot : gPending) {
    const char* listed = name;
    if (slot.compare_exchange_strong(listed, nullptr)) return;
  }
}

void removePending() {
  for (auto& slot : gPending) {
    const char* name = slot.exchange(nullptr);
    if (name) ::unlink(name);
  }
}

Created createWhole(const String& path, const unsigned char* bytes, std::size_t size) {
  installHandlers();
  // Listed before it is created, without holding signals off: the name
  // was free when the caller looked, so a signal in between removes
  // nothing but this file.
  const char* name = path.c_str();
  for (auto& slot : gPending) {
    const char* empty = nullptr;
    if (slot.compare_exchange_strong(empty, name)) break;
  }
  const int fd =
      ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    const int why = errno;
    forgetPending(name);
    return why == EEXIST ? alreadyThere : openFailed;
  }
  bool ok = platform::writeAll(fd, bytes, size);
  if (::close(fd) != 0) ok = false;
  if (!ok) ::unlink(name);
  forgetPending(name);
  return ok ? created : writeFailed;
}

bool namesDescriptor(const String& path) {
  if (path.compare(0, 5, "/dev/") != 0 && path.compare(0, 6, "/proc/") != 0) return false;
  const String p = std::filesystem::path(path).lexically_normal().string();
  if (p == "/dev/stdin" || p == "/dev/stdout" || p == "/dev/stderr") return true;
  const auto number = [](const String& text, std::size_t from) {
    return from < text.size() &&
           text.find_first_not_of("0123456789", from) == String::npos;
  };
  if (p.compare(0, 8, "/dev/fd/") == 0) return number(p, 8);
  if (p.compare(0, 6, "/proc/") != 0) return false;
  const std::size_t slash = p.find('/', 6);
  if (slash == String::npos || p.compare(slash, 4, "/fd/") != 0) return false;
  const String process = p.substr(6, slash - 6);
  if (process != "self" && process != "thread-self" && !number(process, 0)) return false;
  return number(p, slash + 4);
}

FileIdentity identify(const String& path) {
  FileIdentity id;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISREG(st.st_mode)) {
      id.regular = true;
      id.device = st.st_dev;
      id.inode = st.st_ino;
    } else {
      id.other = true;
    }
    return id;
  }
  String target;
  bool exists = false;
  if (!resolveLinks(path, target, st, exists) || exists) {
    id.other = true;  // a loop, or a file that cannot be followed: nothing lands there
    return id;
  }
  // The directories on the way may be links too.
  std::error_code failure;
  std::filesystem::path absolute = std::filesystem::absolute(target, failure);
  if (failure) absolute = target;
  const std::filesystem::path real = std::filesystem::weakly_canonical(absolute, failure);
  id.created = (failure ? absolute.lexically_normal() : real).string();
  return id;
}

bool sameFile(const FileIdentity& a, const FileIdentity& b) {
  if (a.regular && b.regular) return a.device == b.device && a.inode == b.inode;
  if (a.regular || b.regular || a.other || b.other) return false;
  return !a.created.empty() && a.created == b.created;
}

int sameFile(const String& a, const String& b) {
  return sameFile(identify(a), identify(b)) ? 1 : 0;
}

namespace {

// Copies the whole of from (read from its start) to to; false on any
// failure. The size copied goes to copied.
bool copyWhole(int from, int to, off_t& copied) {
  std::unique_ptr<char[]> buffer(new char[kCopyBlock]);
  copied = 0;
  for (;;) {
    const ssize_t n = ::pread(from, buffer.get(), kCopyBlock, copied);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (!platform::writeAll(to, buffer.get(), static_cast<std::size_t>(n))) return false;
    copied += n;
  }
}

// Where a target written in place has its contents made first.
String spoolDirectory() {
  const char* dir = std::getenv("TMPDIR");
  return dir && dir[0] == '/' ? String(dir) : String("/tmp");
}

}  // namespace

OutputFile::~OutputFile() {
  if (cSpool) std::fclose(cSpool);
}

int OutputFile::prepare() {
  if (cPrepared) return cReady;
  cPrepared = true;
  struct stat here;
  if (cLinks == replaceLink && ::lstat(cPath.c_str(), &here) == 0 && S_ISLNK(here.st_mode)) {
    cTarget = cPath;
    cExists = false;
    cKind = kRename;
    cReady = 1;
    return 1;
  }
  bool viaDescriptor = namesDescriptor(cPath);
  if (!resolveLinks(cPath, cTarget, cFacts, cExists, &viaDescriptor)) return 0;
  if (cExists && S_ISDIR(cFacts.st_mode)) return 0;
  if (viaDescriptor || (cExists && !S_ISREG(cFacts.st_mode))) {
    cKind = kInPlace;
    // What is not there yet is made by the write, as a plain create would.
    cReady = access(cPath.c_str(), W_OK) == 0 || errno == ENOENT;
    return cReady;
  }
  // A file we may not write stays as it is.
  if (cExists && access(cTarget.c_str(), W_OK) != 0) return 0;
  cKind = cExists && cFacts.st_nlink > 1 ? kLinked : kRename;
  cReady = 1;
  return 1;
}

int OutputFile::open() {
  if (!prepare()) return 0;
  if (cKind == kInPlace) {
    String pattern = spoolDirectory() + "/.spool.XXXXXX";
    const int fd = createPending(&pattern[0]);
    if (fd < 0) return 0;
    // Unnamed from the start: nothing is left behind, whatever ends the run.
    ::unlink(pattern.c_str());
    forgetPending(pattern.c_str());
    cSpool = fdopen(fd, "w+b");
    if (!cSpool) ::close(fd);
    return cSpool ? 1 : 0;
  }
  cTemp.reset(new TempFile(cTarget));
  if (!cTemp->open()) {
    cTemp.reset();
    return 0;
  }
  if (cKind == kLinked) return 1;  // copied into the old file, whose inode stays
  if (cExists && (cFacts.st_uid != geteuid() || cFacts.st_gid != getegid()))
    cTemp->setOwner(cFacts.st_uid, cFacts.st_gid);
  if (!cTemp->setMode(cExists ? (cFacts.st_mode & 01777) : creationMode())) {
    cTemp.reset();
    return 0;
  }
  return 1;
}

int OutputFile::close() {
  if (cSpool) return std::fflush(cSpool) == 0 && !std::ferror(cSpool) ? 1 : 0;
  return cTemp ? cTemp->close() : 0;
}

int OutputFile::commit() { return commitAll({this}) ? 0 : 1; }

int OutputFile::copyIn() {
  int from = -1;
  int to = -1;
  if (cKind == kInPlace) {
    if (!cSpool) return 0;
    from = fileno(cSpool);
    to = ::open(cPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } else {
    if (!cTemp) return 0;
    from = ::open(cTemp->path().c_str(), O_RDONLY | O_CLOEXEC);
    if (from >= 0) to = ::open(cTarget.c_str(), O_WRONLY | O_CLOEXEC);
  }
  bool ok = from >= 0 && to >= 0;
  if (ok && cKind == kLinked) {
    // The room is taken before the old contents are touched, so a full
    // disk fails here instead of half-way through them.
    struct stat st;
    ok = ::fstat(from, &st) == 0;
    const int taken = ok && st.st_size > 0 ? posix_fallocate(to, 0, st.st_size) : 0;
    ok = ok && (taken == 0 || taken == EOPNOTSUPP || taken == EINVAL);
  }
  off_t copied = 0;
  ok = ok && copyWhole(from, to, copied);
  if (ok && cKind == kLinked) {
    ok = ::ftruncate(to, copied) == 0;
    if (ok && (cFacts.st_mode & 06000)) ok = ::fchmod(to, cFacts.st_mode & 01777) == 0;
  }
  if (to >= 0 && ::close(to) != 0) ok = false;
  if (cKind != kInPlace && from >= 0) ::close(from);
  if (ok) cTemp.reset();  // the temporary file has served
  return ok ? 1 : 0;
}

int OutputFile::stamp() {
  const struct timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
  return utimensat(AT_FDCWD, cTarget.c_str(), times, 0) == 0 ? 1 : 0;
}

OutputFile* commitAll(std::initializer_list<OutputFile*> files) {
  std::vector<OutputFile*> placed;
  const auto undo = [&placed] {
    for (auto it = placed.rbegin(); it != placed.rend(); ++it) (*it)->cTemp->unplace();
  };
  for (OutputFile* f : files) {
    if (!f || f->cKeep || f->cKind != OutputFile::kRename) continue;
    if (!f->cTemp || !f->cTemp->place(f->cExists ? &f->cFacts : nullptr)) {
      undo();
      return f;
    }
    placed.push_back(f);
  }
  for (OutputFile* f : files) {
    if (f && f->cKeep && !f->stamp()) {
      undo();
      return f;
    }
  }
  // Writes in place cannot be taken back: they come last, those into
  // files with other links before those into devices and pipes.
  for (const OutputFile::Kind kind : {OutputFile::kLinked, OutputFile::kInPlace}) {
    for (OutputFile* f : files) {
      if (!f || f->cKeep || f->cKind != kind) continue;
      if (!f->copyIn()) {
        undo();
        return f;
      }
    }
  }
  for (OutputFile* f : placed) {
    f->cTemp->settle();
    f->cTemp.reset();
  }
  return nullptr;
}

void OutputBuffer::reset(std::FILE* stream) {
  cStream = stream;
  cUsed = 0;
  cFailed = false;
}

char* OutputBuffer::room(std::size_t size) {
  TOOL_ASSERT(size <= cSize);
  if (!cBuffer) cBuffer.reset(new char[cSize]);
  if (cSize - cUsed < size) flush();
  return cFailed ? nullptr : cBuffer.get() + cUsed;
}

bool OutputBuffer::putAfterFlush(std::string_view text) {
  if (cFailed || (cUsed > 0 && !flush())) return false;
  if (text.size() > cSize) return write(text.data(), text.size());
  std::memcpy(room(text.size()), text.data(), text.size());
  used(text.size());
  return !cFailed;
}

bool OutputBuffer::flush() {
  const std::size_t size = cUsed;
  cUsed = 0;
  return write(cBuffer.get(), size);
}

bool OutputBuffer::write(const char* bytes, std::size_t size) {
  if (cFailed) return false;
  if (size > 0 && (!cStream || std::fwrite(bytes, 1, size, cStream) != size)) cFailed = true;
  return !cFailed;
}

String directoryOf(const String& path) {
  std::size_t slash = path.rfind('/');
  if (slash == String::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

String baseOf(const String& path) {
  std::size_t slash = path.rfind('/');
  return slash == String::npos ? path : path.substr(slash + 1);
}

int resolveLinks(const String& path, String& target, struct stat& facts, bool& exists,
                 bool* viaDescriptor) {
  String current = path;
  for (int hops = 0; hops < 40; ++hops) {
    if (viaDescriptor && !*viaDescriptor && namesDescriptor(current)) *viaDescriptor = true;
    exists = lstat(current.c_str(), &facts) == 0;
    if (!exists || !S_ISLNK(facts.st_mode)) {
      target = current;
      return 1;
    }
    std::vector<char> buf(static_cast<std::size_t>(facts.st_size > 0 ? facts.st_size : 255) + 2);
    ssize_t n = readlink(current.c_str(), buf.data(), buf.size() - 1);
    if (n < 0 || static_cast<std::size_t>(n) >= buf.size() - 1) return 0;  // gone or changed
    String link(buf.data(), static_cast<std::size_t>(n));
    if (!link.empty() && link[0] != '/') link = directoryOf(current) + "/" + link;
    current = link;
  }
  return 0;
}

mode_t creationMode() {
  mode_t mask = umask(0);
  umask(mask);
  return static_cast<mode_t>(0666 & ~mask);
}

}  // namespace replacement
