// In-process test helpers: trap the process exit, capture the output,
// run a built program and collect what it printed.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace testing_support {

// Thrown by the trapped exit function.
struct ProcessExit {
  int status;
};

// While alive, every exit of the tool chain throws ProcessExit instead.
class ExitTrap {
 public:
  ExitTrap();
  ~ExitTrap();
  ExitTrap(const ExitTrap&) = delete;
  ExitTrap& operator=(const ExitTrap&) = delete;
};

// While alive, every exit only records its status and returns, so tests can
// see what an operation yields after a failed assertion.
class ExitRecorder {
 public:
  ExitRecorder();
  ~ExitRecorder();
  ExitRecorder(const ExitRecorder&) = delete;
  ExitRecorder& operator=(const ExitRecorder&) = delete;
  static int count();       // exits seen since construction
  static int lastStatus();  // status of the last one
};

// While alive, standard output and the error stream both go into one buffer
// (as the programs bind them); the report of a failed assertion, which a
// program writes to descriptor 2, goes there too.
class OutputCapture {
 public:
  OutputCapture();
  ~OutputCapture();
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;
  std::string text() const { return cBuffer.str(); }

 private:
  std::ostringstream cBuffer;
  std::streambuf* cOldOut;
  std::streambuf* cOldErr;
  std::ostream* cOldAssertionStream;
};

// Resets the diagnostic counters and flags on construction and destruction.
class DiagnosticsScope {
 public:
  DiagnosticsScope();
  ~DiagnosticsScope();
};

struct RunResult {
  int status;          // exit status, -1 when a signal ended it
  std::string output;  // standard output and standard error, merged
};

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's shadow memory needs terabytes of address space; its own
// checks stand in for an address-space limit there.
constexpr bool kLimitAddressSpace = false;
#else
constexpr bool kLimitAddressSpace = true;
#endif

// Runs program with args, in dir when it is not empty, through an argument
// vector: no shell reads the words, so any byte may be in them (and in dir).
// program is a path, or a name looked up in PATH (status 127 when it is not
// found there).
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& dir = "");

// Runs the built program tool with args in dir, its dates in UTC.
RunResult runToolInUtc(const std::string& dir, const std::string& tool,
                       const std::vector<std::string>& args);

// The blank-separated words of text, no quoting: for literal argument lists
// (a path that may hold a blank goes in as a word of its own).
std::vector<std::string> splitWords(const std::string& text);

// The full path of program as PATH finds it, empty when it is not there.
std::string findProgram(const std::string& program);

// Fails the test, naming program, when PATH does not find it: a test that
// reads files back through an outside program checks nothing without it.
#define REQUIRE_PROGRAM(program)                                                  \
  ASSERT_FALSE(::testing_support::findProgram(program).empty())                   \
      << (program) << " was not found in PATH: this test reads the files back with it;" \
      << " install it to run the test"

// Runs a line through /bin/sh in dir (when not empty: the child enters it,
// its name is not part of the line). Prefer runProgram: the line's words
// are the caller's to quote.
RunResult runCommand(const std::string& command, const std::string& dir = "");

// Directory of the built programs (TOOL_BIN_DIR when set, else the build's bin).
std::string toolBinDir();

// The path of the built program tool.
std::string toolPath(const std::string& tool);

// How a program is run as a child: what is set between fork and exec, so
// that it holds for the program from its first instruction.
struct ChildLimits {
  rlim_t addressSpace = 0;  // bytes; 0: as inherited
  rlim_t stack = 0;         // bytes; 0: as inherited
  rlim_t fileSize = 0;      // bytes; 0: as inherited
  // Ignored, an oversized write fails; else it may kill the program.
  bool ignoreFileSizeSignal = false;
  // Every signal that ends a process (SIGINT, SIGTERM, SIGHUP, SIGXFSZ,
  // SIGQUIT, SIGPIPE, the user, alarm, timer and processor-time signals,
  // SIGABRT) at its default action and none blocked, as a terminal leaves
  // them, whatever the test runner inherited.
  bool defaultSignals = false;
  // A signal left ignored, as a parent such as nohup leaves one; 0: none.
  int ignoredSignal = 0;
  bool closeInput = false;
  bool closeOutput = false;  // standard output and error: nothing collected
  bool traced = false;       // stops at its start for this process to trace it
  // Only a guard: a program that blocks is killed by SIGALRM. 0: none.
  unsigned alarmSeconds = 0;
  // The file taking standard output and error. Empty: a pipe that
  // collectChild reads, beyond the reach of the file-size limit.
  std::string log;
  // NAME=value settings added to (or replacing in) the inherited environment.
  std::vector<std::string> environment;
  // When this process is root, the child runs as user and group kNobody
  // (with no supplementary groups), so that a file's permission bits bind it
  // as they bind an ordinary user; otherwise it runs as this process's user.
  // What it reads must be readable by that user, the directory it enters
  // searchable (makeTempDir's is not: giveToUnprivileged), and a directory
  // it is to write into writable.
  bool unprivileged = false;
};

// The user and group an unprivileged child of a root process runs as.
constexpr uid_t kNobody = 65534;

// The exit status and message of a child that was not allowed to be traced
// (some containers forbid it), told apart from a failure: 126 when the set-up
// failed, 127 when the program could not be started.
constexpr int kTraceRefused = 125;
constexpr const char* kTraceRefusedText = "tracing refused";

struct Child {
  pid_t pid = -1;
  int output = -1;  // read end of the output pipe, -1 when there is none
};

struct ChildEnd {
  int status = -1;  // exit status, -1 when a signal ended it
  int signal = 0;   // the signal that ended it, 0 when it exited
  std::string output;
  // The status as a shell reports it: 128 + the signal for a killed program.
  int shellStatus() const { return signal != 0 ? 128 + signal : status; }
};

// Starts program (a path, or a name looked up in PATH) with args in dir (when
// not empty) under limits; pid -1 when no
// child could be made. A child writing to a pipe may block once it is full,
// until collectChild reads it.
Child startChild(const std::string& dir, const std::string& program,
                 const std::vector<std::string>& args, const ChildLimits& limits);

// Reaps the child and takes what it printed; reaped, when given, is the wait
// status of a child already waited for (by its tracer, say).
ChildEnd collectChild(const Child& child, const ChildLimits& limits, const int* reaped = nullptr);

// startChild, then collectChild.
ChildEnd runChild(const std::string& dir, const std::string& program,
                  const std::vector<std::string>& args, const ChildLimits& limits);

// Runs body in a forked child of this process, set up as startChild sets up
// a program (dir, limits, privileges), and collects it as collectChild does.
// The child's exit status is what body returns (or the status of a trapped
// exit); what it prints is the output. Failed expectations inside body are
// not seen by this process: body reports through its status and output.
ChildEnd runInChild(const std::string& dir, const std::function<int()>& body,
                    const ChildLimits& limits);

// A fresh empty directory under the system's temporary directory (TMPDIR,
// else /tmp). It belongs to this process: at its exit the directory is
// removed with all it holds, whatever the modes set on what is inside.
std::string makeTempDir(const std::string& tag);

// When this process is root, path (not followed when a link) becomes user
// and group kNobody's, so that an unprivileged child has its owner's rights
// on it (a directory it writes into, say); nothing otherwise, as the child
// then runs as path's owner already. False when it could not be given.
bool giveToUnprivileged(const std::string& path);

// The names in dir (not "." and ".."), sorted; empty when it cannot be read.
std::vector<std::string> directoryEntries(const std::string& dir);

// What is on disk under dir, one line per entry below it (links not
// followed), sorted by path: its kind, permission bits, owner and group,
// link count and, for a regular file, its size and a digest of its bytes
// (past 64 MB, the time of its last change instead; a link: its target).
// Two states compare equal when every file is whole as it was and nothing
// was added or removed.
std::vector<std::string> directoryState(const std::string& dir);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);

}  // namespace testing_support
