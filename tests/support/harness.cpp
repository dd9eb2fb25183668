#include "support/harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

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

constexpr int kChildSetupFailed = 126;
constexpr int kExecFailed = 127;

// Sets the limit resource to bytes (0: leaves it); false when refused.
bool limitTo(int resource, rlim_t bytes) {
  if (bytes == 0) return true;
  const struct rlimit limit = {bytes, bytes};
  return setrlimit(resource, &limit) == 0;
}

// In the forked child: binds the standard streams, applies limits and
// becomes program. Never returns.
[[noreturn]] void becomeProgram(const std::string& dir, const std::string& program,
                                const std::vector<char*>& argv, const ChildLimits& limits,
                                const int* pipeEnds) {
  // Before chdir, so that a relative log path names what the parent meant.
  int sink = -1;
  if (pipeEnds) {
    sink = pipeEnds[1];
    close(pipeEnds[0]);
  } else if (!limits.closeOutput) {
    sink = open(limits.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (sink < 0) _exit(kChildSetupFailed);
  }
  if (limits.closeOutput) {
    close(1);
    close(2);
  } else {
    dup2(sink, 1);
    dup2(sink, 2);
    if (sink != 1 && sink != 2) close(sink);
  }
  if (chdir(dir.c_str()) != 0) _exit(kChildSetupFailed);
  if (limits.defaultSignals) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGXFSZ, SIGQUIT, SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM,
                    SIGVTALRM, SIGPROF, SIGXCPU, SIGABRT})
      signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
  }
  if (limits.ignoredSignal != 0) signal(limits.ignoredSignal, SIG_IGN);
  if (limits.ignoreFileSizeSignal) signal(SIGXFSZ, SIG_IGN);
  if (limits.closeInput) close(0);
  if (!limitTo(RLIMIT_AS, limits.addressSpace) || !limitTo(RLIMIT_STACK, limits.stack) ||
      !limitTo(RLIMIT_FSIZE, limits.fileSize))
    _exit(kChildSetupFailed);
  if (limits.alarmSeconds != 0) alarm(limits.alarmSeconds);
  if (limits.traced && ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
    if (errno != EPERM) _exit(kChildSetupFailed);
    if (write(2, kTraceRefusedText, std::strlen(kTraceRefusedText)) < 0) _exit(kChildSetupFailed);
    _exit(kTraceRefused);
  }
  execv(program.c_str(), argv.data());
  _exit(kExecFailed);
}

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

std::string toolPath(const std::string& tool) { return toolBinDir() + "/" + tool; }

Child startChild(const std::string& dir, const std::string& program,
                 const std::vector<std::string>& args, const ChildLimits& limits) {
  // Built before fork: the child only calls what is safe there.
  std::vector<std::string> words{program};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const bool piped = !limits.closeOutput && limits.log.empty();
  int ends[2] = {-1, -1};
  if (piped && pipe(ends) != 0) return Child{};
  Child child;
  child.pid = fork();
  if (child.pid == 0) becomeProgram(dir, program, argv, limits, piped ? ends : nullptr);
  if (piped) {
    close(ends[1]);
    if (child.pid < 0)
      close(ends[0]);
    else
      child.output = ends[0];
  }
  return child;
}

ChildEnd collectChild(const Child& child, const ChildLimits& limits, const int* reaped) {
  ChildEnd end;
  // Read to the end before waiting, so that a full pipe cannot hold the child.
  if (child.output >= 0) {
    char buf[4096];
    for (;;) {
      const ssize_t n = read(child.output, buf, sizeof buf);
      if (n > 0)
        end.output.append(buf, static_cast<std::size_t>(n));
      else if (n == 0 || errno != EINTR)
        break;
    }
    close(child.output);
  }
  if (child.pid < 0) return end;
  int st = 0;
  if (reaped) {
    st = *reaped;
  } else {
    pid_t got;
    while ((got = waitpid(child.pid, &st, 0)) < 0 && errno == EINTR) {
    }
    if (got != child.pid) return end;
  }
  if (WIFEXITED(st)) end.status = WEXITSTATUS(st);
  if (WIFSIGNALED(st)) end.signal = WTERMSIG(st);
  if (!limits.closeOutput && !limits.log.empty()) end.output = readFile(limits.log);
  return end;
}

ChildEnd runChild(const std::string& dir, const std::string& program,
                  const std::vector<std::string>& args, const ChildLimits& limits) {
  return collectChild(startChild(dir, program, args, limits), limits);
}

std::string makeTempDir(const std::string& tag) {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base ? base : "/tmp") + "/" + tag + "-XXXXXX";
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  return tmpl;
}

std::vector<std::string> directoryEntries(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code failed;
  for (const auto& e : std::filesystem::directory_iterator(dir, failed))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
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
