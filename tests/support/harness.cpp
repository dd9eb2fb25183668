#include "support/harness.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
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
#include <utility>

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

// Writes text to descriptor 2 in a forked child (no allocation).
void childSays(const char* text) {
  if (write(2, text, std::strlen(text)) < 0) return;
}

// In the forked child: binds the standard streams, drops privileges,
// enters dir and applies limits. On failure it ends the child.
void setUpChild(const std::string& dir, const ChildLimits& limits, const int* pipeEnds) {
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
  // Groups first: once the user is no longer root, they cannot be changed.
  if (limits.unprivileged && geteuid() == 0 &&
      (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
    childSays("could not drop privileges\n");
    _exit(kChildSetupFailed);
  }
  if (!dir.empty() && chdir(dir.c_str()) != 0) {
    childSays("could not enter the directory\n");
    _exit(kChildSetupFailed);
  }
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
    childSays(kTraceRefusedText);
    _exit(kTraceRefused);
  }
}

// The environment a child gets: this process's, with the settings of
// limits added or replaced by name.
std::vector<std::string> childEnvironment(const ChildLimits& limits) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string setting = *e;
    const std::string name = setting.substr(0, setting.find('=') + 1);
    const bool replaced =
        std::any_of(limits.environment.begin(), limits.environment.end(),
                    [&](const std::string& s) { return s.compare(0, name.size(), name) == 0; });
    if (!replaced) env.push_back(setting);
  }
  env.insert(env.end(), limits.environment.begin(), limits.environment.end());
  return env;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Forks a child whose output goes where limits say; in the child, run (which
// never returns) follows the set-up.
template <typename Run>
Child forkChild(const std::string& dir, const ChildLimits& limits, Run run) {
  const bool piped = !limits.closeOutput && limits.log.empty();
  int ends[2] = {-1, -1};
  if (piped && pipe(ends) != 0) return Child{};
  Child child;
  child.pid = fork();
  if (child.pid == 0) {
    setUpChild(dir, limits, piped ? ends : nullptr);
    run();
  }
  if (piped) {
    close(ends[1]);
    if (child.pid < 0)
      close(ends[0]);
    else
      child.output = ends[0];
  }
  return child;
}

// Removes path and all below it, first giving this process's user the
// right to enter and empty every directory there.
void removeTree(const std::string& path) {
  std::error_code ignored;
  namespace fs = std::filesystem;
  if (fs::is_directory(fs::symlink_status(path, ignored))) {
    chmod(path.c_str(), 0700);
    for (fs::recursive_directory_iterator it(path, ignored), end; !ignored && it != end;
         it.increment(ignored))
      if (it->is_directory(ignored) && !it->is_symlink(ignored))
        chmod(it->path().c_str(), 0700);
  }
  fs::remove_all(path, ignored);
}

// The owner of makeTempDir's directories: removes them when the process
// ends normally. A forked child that exits through here leaves them alone:
// they are its parent's.
class TempDirOwner {
 public:
  ~TempDirOwner() {
    if (getpid() != cCreator) return;
    for (const std::string& dir : cDirs) removeTree(dir);
  }
  void own(const std::string& dir) { cDirs.push_back(dir); }

 private:
  pid_t cCreator = getpid();
  std::vector<std::string> cDirs;
};

TempDirOwner& tempDirOwner() {
  static TempDirOwner owner;
  return owner;
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
  cOldAssertionStream = platform::setAssertionStream(&cBuffer);
}
OutputCapture::~OutputCapture() {
  std::cout.rdbuf(cOldOut);
  std::cerr.rdbuf(cOldErr);
  platform::setAssertionStream(cOldAssertionStream);
}

DiagnosticsScope::DiagnosticsScope() { resetDiagnostics(); }
DiagnosticsScope::~DiagnosticsScope() { resetDiagnostics(); }

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& dir) {
  const ChildEnd end = runChild(dir, program, args, ChildLimits{});
  return RunResult{end.status, end.output};
}

std::vector<std::string> splitWords(const std::string& text) {
  std::vector<std::string> found;
  std::istringstream in(text);
  for (std::string word; in >> word;) found.push_back(word);
  return found;
}

std::string findProgram(const std::string& program) {
  if (program.find('/') != std::string::npos) return program;
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string d; std::getline(dirs, d, ':');) {
    const std::string candidate = (d.empty() ? "." : d) + "/" + program;
    struct stat st;
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        access(candidate.c_str(), X_OK) == 0)
      return candidate;
  }
  return "";
}

RunResult runCommand(const std::string& command, const std::string& dir) {
  return runProgram("/bin/sh", {"-c", command}, dir);
}

std::string toolBinDir() {
  const char* d = std::getenv("TOOL_BIN_DIR");
  return d ? d : TOOL_BIN_DIR_DEFAULT;
}

std::string toolPath(const std::string& tool) { return toolBinDir() + "/" + tool; }

Child startChild(const std::string& dir, const std::string& program,
                 const std::vector<std::string>& args, const ChildLimits& limits) {
  // Built before fork: the child only calls what is safe there.
  const std::string found = findProgram(program);
  std::vector<std::string> argWords{program};
  argWords.insert(argWords.end(), args.begin(), args.end());
  std::vector<char*> argv = pointersTo(argWords);
  std::vector<std::string> env = childEnvironment(limits);
  std::vector<char*> envp = pointersTo(env);
  const std::string notFound = program + ": not found\n";
  return forkChild(dir, limits, [&] {
    if (!found.empty()) execve(found.c_str(), argv.data(), envp.data());
    childSays(notFound.c_str());
    _exit(kExecFailed);
  });
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

ChildEnd runInChild(const std::string& dir, const std::function<int()>& body,
                    const ChildLimits& limits) {
  std::cout.flush();
  std::fflush(nullptr);
  const Child child = forkChild(dir, limits, [&] {
    int status = kChildSetupFailed;
    try {
      status = body();
    } catch (const ProcessExit& e) {
      status = e.status;
    } catch (...) {
      childSays("uncaught exception\n");
    }
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    _exit(status);
  });
  return collectChild(child, limits);
}

std::string makeTempDir(const std::string& tag) {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + tag + "-XXXXXX";
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  tempDirOwner().own(tmpl);
  return tmpl;
}

bool giveToUnprivileged(const std::string& path) {
  return geteuid() != 0 || lchown(path.c_str(), kNobody, kNobody) == 0;
}

std::vector<std::string> directoryEntries(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code failed;
  for (const auto& e : std::filesystem::directory_iterator(dir, failed))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Files up to this size are read for directoryState's digest.
constexpr off_t kLargestDigested = off_t(64) << 20;

std::vector<std::string> directoryState(const std::string& dir) {
  namespace fs = std::filesystem;
  std::vector<std::string> lines;
  std::error_code failed;
  for (fs::recursive_directory_iterator it(dir, failed), end; !failed && it != end;
       it.increment(failed)) {
    const std::string path = it->path().string();
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    char facts[96];
    std::snprintf(facts, sizeof facts, " %04o %u:%u links %lu", unsigned(st.st_mode & 07777),
                  unsigned(st.st_uid), unsigned(st.st_gid), static_cast<unsigned long>(st.st_nlink));
    std::string line = fs::relative(it->path(), dir).string();
    if (S_ISREG(st.st_mode) && st.st_size > kLargestDigested) {
      // A huge input (sparse, as tests make them) is not read: its size and
      // the time of its last change stand for its bytes.
      line += " file" + std::string(facts) + " " + std::to_string(st.st_size) + " bytes changed " +
              std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
    } else if (S_ISREG(st.st_mode)) {
      const std::string bytes = readFile(path);
      line += " file" + std::string(facts) + " " + std::to_string(bytes.size()) + " bytes #" +
              std::to_string(std::hash<std::string>()(bytes));
    } else if (S_ISLNK(st.st_mode)) {
      std::error_code unreadable;
      line += " link to " + fs::read_symlink(it->path(), unreadable).string();
    } else if (S_ISDIR(st.st_mode)) {
      line += " directory" + std::string(facts);
    } else {
      line += " special" + std::string(facts);  // never opened: a FIFO would block
    }
    lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

std::string readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

RunResult runToolInUtc(const std::string& dir, const std::string& tool,
                       const std::vector<std::string>& args) {
  ChildLimits limits;
  limits.environment.push_back("TZ=UTC");
  const ChildEnd end = runChild(dir, toolPath(tool), args, limits);
  return RunResult{end.status, end.output};
}

}  // namespace testing_support
