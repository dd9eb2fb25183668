#include "replacement.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <system_error>

namespace replacement {
namespace {

// The temporary files not yet renamed or removed. A program has one or two
// at a time; a file beyond the slots is written unlisted.
constexpr int kPendingSlots = 16;
std::atomic<const char*> gPending[kPendingSlots];

const int kCleanedSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGXFSZ};

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
  bool ok = true;
  for (std::size_t done = 0; ok && done < size;) {
    const ssize_t n = ::write(fd, bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) ok = false;
  if (!ok) ::unlink(name);
  forgetPending(name);
  return ok ? created : writeFailed;
}

int sameRegularFile(const String& a, const String& b) {
  struct stat sa, sb;
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && S_ISREG(sa.st_mode) &&
                 S_ISREG(sb.st_mode) && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino
             ? 1
             : 0;
}

int OutputFile::open(Special special) {
  String target;
  if (!resolveLinks(cPath, target, cFacts, cExists)) return 0;
  if (cExists && !S_ISREG(cFacts.st_mode)) {
    if (special == refuseSpecial) return 0;
    cInPlace = std::fopen(cPath.c_str(), "wb");
    return cInPlace ? 1 : 0;
  }
  // A file we may not write stays as it is.
  if (cExists && access(target.c_str(), W_OK) != 0) return 0;
  cTemp.reset(new TempFile(target));
  if (!cTemp->open() ||
      !cTemp->setMode(cExists ? (cFacts.st_mode & 07777) : creationMode())) {
    cTemp.reset();
    return 0;
  }
  return 1;
}

int OutputFile::close() {
  if (cInPlace) {
    int ok = std::fflush(cInPlace) == 0 && !std::ferror(cInPlace);
    if (std::fclose(cInPlace) != 0) ok = 0;
    cInPlace = nullptr;
    return ok;
  }
  return cTemp ? cTemp->close() : 0;
}

int OutputFile::commit() {
  if (!cTemp) return 1;  // written in place
  const int done = cTemp->commit(cExists ? &cFacts : nullptr);
  cTemp.reset();
  return done;
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

int resolveLinks(const String& path, String& target, struct stat& facts, bool& exists) {
  String current = path;
  for (int hops = 0; hops < 40; ++hops) {
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
