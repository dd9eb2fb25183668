#include "platform.h"

#include <dirent.h>
#include <fcntl.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <new>
#include <stdexcept>

#include "diagnostics.h"
#include "replacement.h"

namespace platform {
namespace {

void defaultExit(int status) {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  // Nothing is unwound: a file being replaced leaves no temporary behind.
  replacement::removePending();
  std::_Exit(status);
}

ExitFunction gExitFunction = defaultExit;

std::time_t systemClock() { return std::time(nullptr); }

ClockFunction gClock = systemClock;

int gAssertionFailures = 0;

// Where a failed assertion is reported instead of descriptor 2, if set.
std::ostream* gAssertionStream = nullptr;
Activity* gInnermost = nullptr;

// Given back when memory has run out, so that the message and the summary
// find room whatever else is held.
void* gReserve = nullptr;
constexpr std::size_t kReserveBytes = std::size_t{64} << 10;

[[noreturn]] void endOnUncaughtException() {
  std::free(gReserve);
  gReserve = nullptr;
  bool outOfMemory = false;
  char what[256] = "uncaught exception";
  try {
    if (std::exception_ptr thrown = std::current_exception()) std::rethrow_exception(thrown);
  } catch (const std::bad_alloc&) {
    outOfMemory = true;
  } catch (const std::length_error&) {
    outOfMemory = true;
  } catch (const std::exception& e) {
    std::snprintf(what, sizeof what, "uncaught exception: %s", e.what());
  } catch (...) {
  }
  if (outOfMemory) {
    const std::string activity = Activity::current();
    reportMessage(SevError, "platform",
                  activity.empty() ? "Out of memory." : "Out of memory while " + activity + ".", 0);
    printSummaryAndExit(1);
  } else {
    assertFailed(what, __FILE__, __LINE__);
  }
  // Only an exit function of a test returns; the process still may not.
  std::_Exit(outOfMemory ? 1 : 255);
}

const char* baseOf(const char* file) {
  const char* base = file;
  for (const char* p = file; *p; ++p)
    if (*p == '/' || *p == '\\') base = p + 1;
  return base;
}

}  // namespace

Activity::Activity(const char* what, const std::string& name) : cWhat(what), cOuter(gInnermost) {
  const std::size_t length = std::min(name.size(), sizeof cName - 1);
  std::memcpy(cName, name.data(), length);
  cName[length] = '\0';
  gInnermost = this;
}

Activity::~Activity() { gInnermost = cOuter; }

std::string Activity::current() {
  if (!gInnermost) return std::string();
  std::string text = gInnermost->cWhat;
  if (gInnermost->cName[0] != '\0') text = text + " '" + gInnermost->cName + "'";
  return text;
}

void installEndHandlers() {
  // A write to a closed pipe or beyond the file-size limit fails (EPIPE,
  // EFBIG) and is reported as any failed write, instead of ending the run.
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
  if (!gReserve) gReserve = std::malloc(kReserveBytes);
  std::set_terminate(endOnUncaughtException);
}

ExitFunction setExitFunction(ExitFunction fn) {
  ExitFunction previous = gExitFunction;
  gExitFunction = fn ? fn : defaultExit;
  return previous;
}

void exitProcess(int status) { gExitFunction(status); }

std::ostream* setAssertionStream(std::ostream* stream) {
  std::ostream* previous = gAssertionStream;
  gAssertionStream = stream;
  return previous;
}

void assertFailed(const char* expr, const char* file, int line) {
  ++gAssertionFailures;
  std::cout.flush();
  std::cerr.flush();
  char number[16];
  std::snprintf(number, sizeof number, "%d", line);
  const char* const pieces[] = {"Assertion Failed!\n\nExpression: ", expr, "\nFile: ", baseOf(file),
                                "\nLine: ", number, "\n\nABNORMAL TERMINATION\n"};
  // Straight to descriptor 2, not through std::cerr, which the programs
  // bind to standard output; nothing is allocated on the way.
  for (const char* piece : pieces) {
    if (gAssertionStream) {
      *gAssertionStream << piece;
      continue;
    }
    writeAll(2, piece, std::strlen(piece));
  }
  if (gAssertionStream) gAssertionStream->flush();
  exitProcess(255);
}

int assertionFailures() { return gAssertionFailures; }

std::string hostPath(const std::string& path) {
  std::string out = path;
  for (char& c : out)
    if (c == '\\') c = '/';
  return out;
}

void openStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is this one, as the lower ones are open.
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

int directoryExists(const std::string& path) {
  DIR* d = opendir(hostPath(path).c_str());
  if (!d) return 0;
  closedir(d);
  return 1;
}

int fileExists(const std::string& path) {
  return access(hostPath(path).c_str(), F_OK) == 0 ? 1 : 0;
}

bool readAt(int fd, void* buffer, std::uint64_t length, std::uint64_t offset) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (length > 0) {
    const ssize_t n = ::pread(fd, bytes, length, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    length -= static_cast<std::uint64_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool writeAll(int fd, const void* bytes, std::size_t size) {
  const char* at = static_cast<const char*>(bytes);
  while (size > 0) {
    const ssize_t n = ::write(fd, at, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

namespace {

// Reads from fd into buffer until want bytes are there (got counts them)
// or the file ends; readFailed on an error.
ReadResult readInto(int fd, unsigned char* buffer, std::size_t want, std::size_t& got) {
  ReadResult result = readDone;
  while (got < want) {
    const ssize_t n = ::read(fd, buffer + got, want - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) result = readFailed;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  return result;
}

// Reads the regular file fd, whose stat is st, and closes it. Never more
// than the size fstat gave: a file that grows while it is read is read as
// it was. A file that gives no size (some host files do) is read to its end,
// but no further than the largest input.
ReadResult readOpenFile(int fd, const struct stat& st, std::vector<unsigned char>& bytes) {
  const bool sized = st.st_size > 0;
  const std::size_t limit = sized ? static_cast<std::size_t>(st.st_size) : kMaxInputSize + 1;
  std::size_t want = sized ? limit : 65536;
  bytes.resize(want);
  std::size_t got = 0;
  ReadResult result;
  for (;;) {
    result = readInto(fd, bytes.data(), want, got);
    if (result != readDone || got < want || want == limit) break;
    want = std::min(want + want, limit);
    bytes.resize(want);
  }
  ::close(fd);
  bytes.resize(got);
  if (got > kMaxInputSize) {
    std::vector<unsigned char>().swap(bytes);
    return readNoFile;
  }
  return result;
}

// Opens a regular file for reading without waiting on it (a FIFO without a
// writer, a device); -1 for anything else or one too large to be an input.
int openRegularFile(const std::string& hostPath, struct stat& st) {
  const int fd = ::open(hostPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  if (static_cast<std::uint64_t>(st.st_size) > kMaxInputSize) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

int openRegularFile(const std::string& hostPath, std::uint64_t& size) {
  struct stat st;
  const int fd = openRegularFile(hostPath, st);
  size = fd < 0 ? 0 : static_cast<std::uint64_t>(st.st_size);
  return fd;
}

ReadResult readWholeFile(const std::string& hostPath, std::vector<unsigned char>& bytes) {
  bytes.clear();
  struct stat st;
  const int fd = openRegularFile(hostPath, st);
  if (fd < 0) return readNoFile;
  return readOpenFile(fd, st, bytes);
}

bool readRegularFile(const std::string& hostPath, std::vector<unsigned char>& bytes,
                     ReadResult& result) {
  result = readWholeFile(hostPath, bytes);
  return result != readNoFile;
}

LineReader::~LineReader() { finish(); }

bool LineReader::open(const std::string& hostPath) {
  struct stat st;
  cFd = openRegularFile(hostPath, st);
  if (cFd < 0) return false;
  // A file that gives no size is read to its end, but no further than the
  // largest input.
  cSized = st.st_size > 0;
  cLeft = cSized ? static_cast<std::uint64_t>(st.st_size) : kMaxInputSize + 1;
  return true;
}

void LineReader::finish() {
  if (cFd >= 0) ::close(cFd);
  cFd = -1;
}

bool LineReader::next(std::string_view& line) {
  for (;;) {
    if (cSearch < cEnd) {
      const char* const at = cBuffer.get();
      const auto* newLine =
          static_cast<const char*>(std::memchr(at + cSearch, '\n', cEnd - cSearch));
      if (newLine) {
        const std::size_t stop = static_cast<std::size_t>(newLine - at);
        line = std::string_view(at + cBegin, stop - cBegin);
        cBegin = cSearch = stop + 1;
        break;
      }
      cSearch = cEnd;
    }
    if (cFailed) return false;
    if (cAtEnd) {
      if (cBegin == cEnd) return false;
      line = std::string_view(cBuffer.get() + cBegin, cEnd - cBegin);
      cBegin = cSearch = cEnd;
      break;
    }
    fill();
  }
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return true;
}

// Makes room after the line begun at cBegin and reads into it.
void LineReader::fill() {
  const std::size_t partial = cEnd - cBegin;
  if (cCapacity == 0 || (cCapacity > kChunk && partial < kChunk)) {
    moveLine(kChunk);
  } else if (partial == cCapacity) {
    // The line fills the buffer: it grows to the line's length, found by
    // reading ahead without keeping the bytes. A line is read twice, but
    // never held in two buffers of about its length at once, as growing by
    // steps would at the last one. Without a length the buffer doubles.
    std::uint64_t ahead = cCapacity;
    if (!lengthAhead(ahead)) ahead = cCapacity;
    ahead = std::min(std::max<std::uint64_t>(ahead, 1), cLeft);
    moveLine(cCapacity + static_cast<std::size_t>(ahead));
  } else if (cBegin > 0) {
    std::memmove(cBuffer.get(), cBuffer.get() + cBegin, partial);
    cSearch -= cBegin;
    cEnd = partial;
    cBegin = 0;
  }
  const std::size_t room =
      static_cast<std::size_t>(std::min<std::uint64_t>(cCapacity - cEnd, cLeft));
  ssize_t n;
  do {
    n = ::read(cFd, cBuffer.get() + cEnd, room);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    (n < 0 ? cFailed : cAtEnd) = true;
  } else {
    cEnd += static_cast<std::size_t>(n);
    cOffset += static_cast<std::uint64_t>(n);
    cLeft -= static_cast<std::uint64_t>(n);
    // A sized file is read up to its size; one without a size is refused
    // past the largest input.
    if (cLeft == 0) (cSized ? cAtEnd : cFailed) = true;
  }
  if (cAtEnd || cFailed) finish();
}

// A buffer of capacity bytes, the line begun at cBegin moved to its start.
void LineReader::moveLine(std::size_t capacity) {
  std::unique_ptr<char[]> buffer(new char[capacity]);
  const std::size_t partial = cEnd - cBegin;
  if (partial > 0) std::memcpy(buffer.get(), cBuffer.get() + cBegin, partial);
  cBuffer = std::move(buffer);
  cCapacity = capacity;
  cSearch -= cBegin;
  cEnd = partial;
  cBegin = 0;
}

// The bytes the file still gives up to the next "\n" (with it) or its
// end, no more than cLeft; false when a read fails.
bool LineReader::lengthAhead(std::uint64_t& ahead) const {
  std::unique_ptr<char[]> chunk(new char[kChunk]);
  ahead = 0;
  while (ahead < cLeft) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, cLeft - ahead));
    const ssize_t n = ::pread(cFd, chunk.get(), want, static_cast<off_t>(cOffset + ahead));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    if (const void* newLine = std::memchr(chunk.get(), '\n', static_cast<std::size_t>(n))) {
      ahead += static_cast<std::uint64_t>(static_cast<const char*>(newLine) - chunk.get()) + 1;
      break;
    }
    ahead += static_cast<std::uint64_t>(n);
  }
  return true;
}

// A sanitizer's allocator is its own; the heap is left to it.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TOOL_HAS_ASAN 1
#endif
#endif
#ifndef TOOL_HAS_ASAN
#define TOOL_HAS_ASAN 0
#endif

void tuneHeapForShortRun() {
#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !TOOL_HAS_ASAN
  // Faulting in tens of thousands of 4 KB pages, and missing the address
  // cache on them, costs a link about a third of its time; large pages cut
  // both by a factor of several hundred. The reservation is address space
  // only: pages are still taken as they are first written.
  constexpr std::size_t kLargePage = std::size_t{2} << 20;
  constexpr std::size_t kReserve = std::size_t{256} << 20;
  constexpr std::size_t kDefaultTopPad = std::size_t{128} << 10;
  mallopt(M_MMAP_THRESHOLD, 32 << 20);  // large blocks from the heap as well
  mallopt(M_TRIM_THRESHOLD, 1 << 30);   // nothing handed back while the program runs
  mallopt(M_TOP_PAD, static_cast<int>(kReserve));
  const auto before = reinterpret_cast<std::uintptr_t>(sbrk(0));
  void* probe = std::malloc(kLargePage);  // makes the heap grow by the reservation
  const auto after = reinterpret_cast<std::uintptr_t>(sbrk(0));
  // Only a heap that grew by about the reservation is the one marked (the
  // allocator may have placed the block elsewhere).
  if (probe && after > before && after - before <= 2 * kReserve) {
    const std::uintptr_t from = (before + kLargePage - 1) & ~(kLargePage - 1);
    const std::uintptr_t to = after & ~(kLargePage - 1);
    if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
  }
  std::free(probe);
  mallopt(M_TOP_PAD, static_cast<int>(kDefaultTopPad));
#endif
}

ClockFunction setClock(ClockFunction fn) {
  ClockFunction previous = gClock;
  gClock = fn ? fn : systemClock;
  return previous;
}

std::time_t now() { return gClock(); }

std::string ctimeText(std::time_t t) {
  char buf[64];
  struct tm tmv;
  if (!localtime_r(&t, &tmv)) return "\n";
  // ctime's fixed layout: "Www Mmm dd hh:mm:ss yyyy\n".
  static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::snprintf(buf, sizeof buf, "%.3s %.3s%3d %.2d:%.2d:%.2d %d\n", days[tmv.tm_wday % 7],
                months[tmv.tm_mon % 12], tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec,
                1900 + tmv.tm_year);
  return buf;
}

}  // namespace platform
