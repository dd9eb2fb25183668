#include "support/harness.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "diagnostics.h"
#include "platform.h"

namespace testing_support {
namespace {

void throwingExit(int status) { throw ProcessExit{status}; }

int gRecordedCount = 0;
int gRecordedStatus = 0;
void recordingExit(int status) {
  ++gRecordedCount;
  gRecordedStatus = status;
}

platform::ExitFunction gSavedTrap = nullptr;
platform::ExitFunction gSavedRecorder = nullptr;

}  // namespace

ExitTrap::ExitTrap() { gSavedTrap = platform::setExitFunction(throwingExit); }
ExitTrap::~ExitTrap() { platform::setExitFunction(gSavedTrap); }

ExitRecorder::ExitRecorder() {
  gRecordedCount = 0;
  gRecordedStatus = 0;
  gSavedRecorder = platform::setExitFunction(recordingExit);
}
ExitRecorder::~ExitRecorder() { platform::setExitFunction(gSavedRecorder); }
int ExitRecorder::count() { return gRecordedCount; }
int ExitRecorder::lastStatus() { return gRecordedStatus; }

OutputCapture::OutputCapture() {
  std::cout.flush();
  cOldOut = std::cout.rdbuf(cBuffer.rdbuf());
  cOldErr = std::cerr.rdbuf(cBuffer.rdbuf());
}
OutputCapture::~OutputCapture() {
  std::cout.rdbuf(cOldOut);
  std::cerr.rdbuf(cOldErr);
}

DiagnosticsScope::DiagnosticsScope() { resetDiagnostics(); }
DiagnosticsScope::~DiagnosticsScope() { resetDiagnostics(); }

RunResult runCommand(const std::string& command, const std::string& dir) {
  std::string full = dir.empty() ? command : "cd '" + dir + "' && " + command;
  full += " 2>&1";
  RunResult r{-1, ""};
  FILE* p = popen(full.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

std::string toolBinDir() {
  const char* d = std::getenv("TOOL_BIN_DIR");
  return d ? d : TOOL_BIN_DIR_DEFAULT;
}

std::string makeTempDir(const std::string& tag) {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base ? base : "/tmp") + "/" + tag + "-XXXXXX";
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  return tmpl;
}

std::string readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace testing_support
