// In-process test helpers: trap the process exit, capture the output,
// run a built program and collect what it printed.
#pragma once

#include <iostream>
#include <sstream>
#include <string>

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
// (as the programs bind them); standard error of assertions goes there too.
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
};

// Resets the diagnostic counters and flags on construction and destruction.
class DiagnosticsScope {
 public:
  DiagnosticsScope();
  ~DiagnosticsScope();
};

struct RunResult {
  int status;
  std::string output;  // standard output and standard error, merged
};

// Runs a shell command line, in dir when it is not empty.
RunResult runCommand(const std::string& command, const std::string& dir = "");

// Directory of the built programs (TOOL_BIN_DIR when set, else the build's bin).
std::string toolBinDir();

// A fresh empty directory under the system's temporary directory.
std::string makeTempDir(const std::string& tag);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);

}  // namespace testing_support
