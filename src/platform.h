// Host services the tool chain relies on: the one way out of the process,
// the always-on assertion, host path handling and the clock.
#pragma once

#include <cstdint>
#include <ctime>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Every way a program ends goes through exitProcess. Tests and fuzzers
// install their own function (one that throws, or one that records the
// status and returns) so those paths can be exercised in-process.
using ExitFunction = void (*)(int status);

// Installs fn (nullptr restores the default, which flushes and exits) and
// returns the previous one.
ExitFunction setExitFunction(ExitFunction fn);

// Calls the installed exit function. With the default it does not return;
// a replaced function may return, and callers then carry on with the value
// their operation yields after the failure.
void exitProcess(int status);

// What the program is doing, named by the one message a failure that may
// strike anywhere can give ("Out of memory while reading Coff file 'a.o'.").
// A scope names it and gives the outer one back when it ends; the name is
// copied into the scope itself, so that naming allocates nothing.
class Activity {
 public:
  // what is a fixed text ("reading Coff file"); name, when given, is quoted
  // after it.
  explicit Activity(const char* what, const std::string& name = std::string());
  ~Activity();
  Activity(const Activity&) = delete;
  Activity& operator=(const Activity&) = delete;

  // The innermost activity's text ("reading Coff file 'a.o'"), or "".
  static std::string current();

 private:
  const char* cWhat;
  char cName[512];
  Activity* cOuter;
};

// Sets up how every program ends, first thing in main. A closed pipe or an
// exceeded file size on a write makes the write fail instead of ending the
// process (SIGPIPE and SIGXFSZ ignored). An exception that nothing catches
// ends the process through exitProcess, so pending temporary files are
// removed: an allocation failure (std::bad_alloc, or std::length_error for a
// size beyond any allocation) as the error "Out of memory while <activity>."
// with status 1, anything else as a failed assertion.
void installEndHandlers();

// Reports a failed assertion on standard error, descriptor 2 whatever
// std::cerr is bound to ("Assertion Failed!", the expression, the source
// file and line, then "ABNORMAL TERMINATION") and ends the process with
// status 255.
void assertFailed(const char* expr, const char* file, int line);

// Sends the report of a failed assertion to stream instead of descriptor 2
// (nullptr: back to descriptor 2), so that a test in the same process can
// read it; returns the stream set before.
std::ostream* setAssertionStream(std::ostream* stream);

// Failed assertions so far in this process. An assertion and a fatal
// diagnostic both exit with 255; an exit function that must tell them apart
// (a fuzzer's) compares this before and after.
int assertionFailures();

// Host path for open and existence tests: "\" becomes "/".
std::string hostPath(const std::string& path);

// Descriptors 0, 1 and 2 that were closed are opened on /dev/null, so that
// no file a program opens takes the place of a standard stream (and gets
// its messages written into it). Called first thing in main.
void openStandardDescriptors();

// 1 if the directory can be opened for listing.
int directoryExists(const std::string& path);
// 1 if the file exists (access test, the file is not opened).
int fileExists(const std::string& path);

// No input of the tool chain comes near this size; a larger one is damaged
// or not meant as an input, and is refused before it is read.
constexpr std::uint64_t kMaxInputSize = std::uint64_t(1) << 30;

// Reads the whole regular file at a host path into bytes: one read of the
// size fstat gives (more only after a short read), never more than that.
// Anything but a regular file (a directory, a device, a FIFO, whatever a
// link to one names) is refused as readNoFile, as a file that cannot be
// opened, without a wait or a read; so is a file larger than kMaxInputSize,
// with nothing kept. bytes holds what was read, also after a read error.
enum ReadResult { readNoFile, readFailed, readDone };
ReadResult readWholeFile(const std::string& hostPath, std::vector<unsigned char>& bytes);
// The same, true when the file was read (result readDone or readFailed);
// false, with nothing kept, for a file readWholeFile refuses.
bool readRegularFile(const std::string& hostPath, std::vector<unsigned char>& bytes,
                     ReadResult& result);
// Opens what readWholeFile reads, for reading by offset: the descriptor,
// with size the size fstat gives (0 for a file that gives none); -1 for
// what readWholeFile refuses as readNoFile. The caller closes it.
int openRegularFile(const std::string& hostPath, std::uint64_t& size);
// Reads exactly length bytes at offset of the open file fd; false when the
// file ends first or a read fails.
bool readAt(int fd, void* buffer, std::uint64_t length, std::uint64_t offset);
// Writes all size bytes to fd, however many writes it takes; false when
// one fails.
bool writeAll(int fd, const void* bytes, std::size_t size);

// Reads a file line by line, holding only the line being read: a file of
// many short lines costs a chunk of memory, one long line about its own
// length. A line ends at "\n", one "\r" before it dropped; a last line
// without one counts, an empty file has none; every other byte (NUL
// among them) stays in the line. The same files as readWholeFile are
// refused, and no more is read than the size the file had when opened: a
// file that grows meanwhile is read as it was, one that shrinks ends early.
class LineReader {
 public:
  // Bytes asked of the file at a time, and what the buffer shrinks back
  // to when the line it holds is short.
  static constexpr std::size_t kChunk = std::size_t{64} << 10;

  LineReader() = default;
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Opens the file at a host path; false for one readWholeFile refuses.
  bool open(const std::string& hostPath);
  // The next line, valid until the next call; false at the end of the
  // file, and after a failed read (failed() then tells).
  bool next(std::string_view& line);
  // A read failed (or a file that gives no size went past kMaxInputSize);
  // the lines before it were given.
  bool failed() const { return cFailed; }

 private:
  void fill();
  void moveLine(std::size_t capacity);
  bool lengthAhead(std::uint64_t& ahead) const;
  void finish();

  int cFd = -1;
  bool cSized = false;
  std::uint64_t cLeft = 0;    // bytes the file may still give
  std::uint64_t cOffset = 0;  // bytes read so far
  std::unique_ptr<char[]> cBuffer;
  std::size_t cCapacity = 0;
  std::size_t cBegin = 0;   // the line being read starts here
  std::size_t cSearch = 0;  // no "\n" in [cBegin, cSearch)
  std::size_t cEnd = 0;     // bytes read end here
  bool cAtEnd = false;
  bool cFailed = false;
};

// For a program whose heap grows to tens of megabytes and lives a fraction
// of a second: the heap is reserved in one piece and given large pages where
// the host allows them, and freed memory stays for the next allocation
// instead of going back to the host. A host without either keeps the usual
// behaviour. Called first thing in main.
void tuneHeapForShortRun();

// Current time for time stamps; tests install a fixed clock.
using ClockFunction = std::time_t (*)();
ClockFunction setClock(ClockFunction fn);
std::time_t now();

// The standard ctime text of t, including its trailing newline.
std::string ctimeText(std::time_t t);

}  // namespace platform

// Always on (unlike <cassert>, which NDEBUG removes).
#define TOOL_ASSERT(expr) \
  ((expr) ? (void)0 : ::platform::assertFailed(#expr, __FILE__, __LINE__))
