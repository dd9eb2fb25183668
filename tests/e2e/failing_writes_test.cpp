// Writes that fail, runs that are stopped, memory that runs out, outputs
// that would land on their own inputs and programs started with their
// standard streams closed or on a pipe nobody reads. The output files of an
// earlier run must come through each of them unchanged (contents and
// permission bits), and no temporary file may be left beside them. Every
// program runs as a child: under a file-size limit, with the exceeded-size
// signal ignored or at its default (the write fails either way); under an
// address-space limit; or stopped by a signal at its first write to its
// temporary listing, held there by this process as its tracer.
#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive.h"
#include "coff.h"
#include "devtab.h"
#include "fixtures/coff_builder.h"
#include "support/harness.h"

using fixtures::Bytes;
using fixtures::CoffBuilder;
using testing_support::Child;
using testing_support::ChildEnd;
using testing_support::ChildLimits;
using testing_support::kTraceRefused;
using testing_support::kTraceRefusedText;
using testing_support::directoryState;
using testing_support::makeTempDir;
using testing_support::readFile;
using testing_support::toolPath;
using testing_support::writeFile;

namespace {

using testing_support::kLimitAddressSpace;
// Every valid run here fits in a fraction of this, and no huge input does.
constexpr rlim_t kAddressSpace = rlim_t(256) << 20;
constexpr std::uint64_t kHugeInput = std::uint64_t(512) << 20;
// Only a guard: a program that loops or blocks is killed, and fails the
// test by its status.
constexpr unsigned kGuardSeconds = 120;

// Every run here: the output goes to a log beside dir, out of sight of the
// checks on dir's hidden files, and the signals are a terminal's.
ChildLimits limitsIn(const std::string& dir) {
  ChildLimits limits;
  limits.log = dir + "/../child.log";
  limits.defaultSignals = true;
  return limits;
}

// Runs the program tool of the tool chain in dir with args.
ChildEnd runTool(const std::string& dir, const std::string& tool,
                 const std::vector<std::string>& args) {
  return testing_support::runChild(dir, toolPath(tool), args, limitsIn(dir));
}

// The names in dir that begin with '.' (the temporary files), "." and ".."
// aside.
std::vector<std::string> hiddenFiles(const std::string& dir) {
  std::vector<std::string> names;
  for (const std::string& name : testing_support::directoryEntries(dir))
    if (name[0] == '.') names.push_back(name);
  return names;
}

#if defined(__x86_64__)
// What a traced child came to.
struct TracedCall {
  bool reached = false;  // the call came; the child was let go after it
  bool ended = false;    // the child ended before (its wait status in status)
  int status = 0;
  std::vector<std::string> during;  // the hidden files at the call, if asked
  std::string problem;              // why tracing stopped, if it failed
};

// How a traced child ended: collected as usual once the trace let it go,
// else from the wait status the trace took.
ChildEnd collectTraced(const testing_support::Child& child, const ChildLimits& limits,
                       const TracedCall& t) {
  return t.reached ? testing_support::collectChild(child, limits)
                   : testing_support::collectChild(child, limits, &t.status);
}

// Whether the system would not let the test trace its child.
bool traceRefused(const TracedCall& t, const ChildEnd& end) {
  return t.ended && end.status == kTraceRefused &&
         end.output.find(kTraceRefusedText) != std::string::npos;
}

bool waitForChild(pid_t pid, int& st) {
  pid_t got;
  while ((got = waitpid(pid, &st, 0)) < 0 && errno == EINTR) {
  }
  return got == pid;
}

// Ends tracing that failed at what: the child is killed and reaped, so
// that nothing waits for it without end.
bool giveUpTracing(pid_t pid, TracedCall& t, const std::string& what) {
  t.problem = what + ": " + std::strerror(errno);
  kill(pid, SIGKILL);
  int st = 0;
  while (waitForChild(pid, st) && !WIFEXITED(st) && !WIFSIGNALED(st)) {
  }
  return false;
}

// The path of the child's descriptor fd, empty when it has none.
std::string descriptorPath(pid_t pid, unsigned long long fd) {
  const std::string link =
      "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(static_cast<int>(fd));
  char target[4096];
  const ssize_t n = readlink(link.c_str(), target, sizeof target);
  return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

// Steps the traced child pid (stopped at its start) from system call to
// system call and leaves it stopped at the entry of the first one that
// isIt takes, its registers in regs: true. False when the child ended
// first (t.ended) or tracing failed (t.problem).
bool stopAtCall(pid_t pid, const std::function<bool(const user_regs_struct&)>& isIt,
                user_regs_struct& regs, TracedCall& t) {
  int st = 0;
  if (!waitForChild(pid, st)) return giveUpTracing(pid, t, "waitpid");
  if (WIFEXITED(st) || WIFSIGNALED(st)) {
    t.ended = true;
    t.status = st;
    return false;
  }
  if (!WIFSTOPPED(st) || WSTOPSIG(st) != SIGTRAP)
    return giveUpTracing(pid, t, "no stop at the start");
  // A sanitizer runtime may start the program again: that exec is an event,
  // not a trap signal to pass on.
  const long options = PTRACE_O_EXITKILL | PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACEEXEC;
  if (ptrace(PTRACE_SETOPTIONS, pid, nullptr, options) != 0)
    return giveUpTracing(pid, t, "PTRACE_SETOPTIONS");
  bool inCall = false;  // stops alternate between entry and exit
  int pass = 0;         // a signal to deliver on resuming
  for (;;) {
    if (ptrace(PTRACE_SYSCALL, pid, nullptr, pass) != 0)
      return giveUpTracing(pid, t, "PTRACE_SYSCALL");
    pass = 0;
    if (!waitForChild(pid, st)) return giveUpTracing(pid, t, "waitpid");
    if (WIFEXITED(st) || WIFSIGNALED(st)) {
      t.ended = true;
      t.status = st;
      return false;
    }
    if (!WIFSTOPPED(st)) continue;
    if (WSTOPSIG(st) != (SIGTRAP | 0x80)) {
      if (st >> 16 == 0) pass = WSTOPSIG(st);  // a signal, not an event
      continue;
    }
    inCall = !inCall;
    if (!inCall) continue;
    if (ptrace(PTRACE_GETREGS, pid, nullptr, &regs) != 0)
      return giveUpTracing(pid, t, "PTRACE_GETREGS");
    if (isIt(regs)) return true;
  }
}

// Steps the traced child pid (stopped at its start) up to the first write
// to a file whose path begins with prefix, then lists the hidden files of
// dir, sends sig and lets the child go on. Writes to other descriptors (the
// sanitizers' own, say) are passed over.
TracedCall signalAtListingWrite(pid_t pid, int sig, const std::string& prefix,
                                const std::string& dir) {
  TracedCall t;
  user_regs_struct regs;
  const auto isIt = [&](const user_regs_struct& r) {
    return r.orig_rax == SYS_write &&
           descriptorPath(pid, r.rdi).compare(0, prefix.size(), prefix) == 0;
  };
  if (!stopAtCall(pid, isIt, regs, t)) return t;
  t.during = hiddenFiles(dir);
  // Pending while the child is held; it arrives once the write is done.
  if (kill(pid, sig) != 0) {
    giveUpTracing(pid, t, "kill");
    return t;
  }
  if (ptrace(PTRACE_DETACH, pid, nullptr, 0) != 0) {
    giveUpTracing(pid, t, "PTRACE_DETACH");
    return t;
  }
  t.reached = true;
  return t;
}

// Steps the traced child pid (stopped at its start) up to its read
// numbered nth (from 1) of the file at path, which then fails with EIO as
// a failing disk fails it: the call is not made, the error is its result.
// Then lets the child go on.
TracedCall failReadOf(pid_t pid, const std::string& path, int nth) {
  TracedCall t;
  user_regs_struct regs;
  int reads = 0;
  const auto isIt = [&](const user_regs_struct& r) {
    return (r.orig_rax == SYS_read || r.orig_rax == SYS_pread64) &&
           descriptorPath(pid, r.rdi) == path && ++reads == nth;
  };
  if (!stopAtCall(pid, isIt, regs, t)) return t;
  regs.orig_rax = static_cast<unsigned long long>(-1);  // no such call: none is made
  if (ptrace(PTRACE_SETREGS, pid, nullptr, &regs) != 0) {
    giveUpTracing(pid, t, "PTRACE_SETREGS");
    return t;
  }
  int st = 0;
  do {
    if (ptrace(PTRACE_SYSCALL, pid, nullptr, 0) != 0 || !waitForChild(pid, st)) {
      giveUpTracing(pid, t, "to the end of the read");
      return t;
    }
  } while (WIFSTOPPED(st) && WSTOPSIG(st) != (SIGTRAP | 0x80));
  if (!WIFSTOPPED(st) || ptrace(PTRACE_GETREGS, pid, nullptr, &regs) != 0) {
    giveUpTracing(pid, t, "at the end of the read");
    return t;
  }
  regs.rax = static_cast<unsigned long long>(-EIO);
  if (ptrace(PTRACE_SETREGS, pid, nullptr, &regs) != 0 ||
      ptrace(PTRACE_DETACH, pid, nullptr, 0) != 0) {
    giveUpTracing(pid, t, "after the read");
    return t;
  }
  t.reached = true;
  return t;
}
#endif

// The line of a listing that holds the time.
const char* const kListingStamp = "Listing File Generated";

// text without the line that holds stamp (the time of the run), if any.
std::string withoutStamp(std::string text, const char* stamp) {
  if (!stamp) return text;
  const std::size_t at = text.find(stamp);
  if (at == std::string::npos) return text;
  return text.erase(at, text.find('\n', at) - at);
}

// While alive, children dump no core: a signal whose default action dumps
// one (SIGQUIT, SIGABRT, SIGXCPU) would leave it in the directory checked.
class NoCoreFiles {
 public:
  NoCoreFiles() {
    getrlimit(RLIMIT_CORE, &cSaved);
    struct rlimit none = cSaved;
    none.rlim_cur = 0;
    setrlimit(RLIMIT_CORE, &none);
  }
  ~NoCoreFiles() { setrlimit(RLIMIT_CORE, &cSaved); }
  NoCoreFiles(const NoCoreFiles&) = delete;
  NoCoreFiles& operator=(const NoCoreFiles&) = delete;

 private:
  struct rlimit cSaved {};
};

// Runs tool in dir with its standard output and error on a pipe whose
// reading end this process closed before the program began: the child is
// held at its start as a traced one and let go only once the pipe has no
// reader. False, with the child reaped, when tracing is refused here.
bool runOnPipeWithoutReader(const std::string& dir, const std::string& tool,
                            const std::vector<std::string>& args, ChildEnd& end) {
  ChildLimits limits;
  limits.defaultSignals = true;
  limits.traced = true;
  limits.alarmSeconds = kGuardSeconds;
  Child child = testing_support::startChild(dir, toolPath(tool), args, limits);
  EXPECT_GT(child.pid, 0);
  if (child.pid <= 0) return true;
  int st = 0;
  pid_t got;
  while ((got = waitpid(child.pid, &st, 0)) < 0 && errno == EINTR) {
  }
  if (got == child.pid && WIFSTOPPED(st)) {
    close(child.output);
    child.output = -1;
    EXPECT_EQ(ptrace(PTRACE_DETACH, child.pid, nullptr, 0), 0) << std::strerror(errno);
    end = testing_support::collectChild(child, limits);
    return true;
  }
  end = testing_support::collectChild(child, limits, &st);
  if (end.status == kTraceRefused && end.output.find(kTraceRefusedText) != std::string::npos)
    return false;
  ADD_FAILURE() << "the child did not stop at its start\n" << end.output;
  return true;
}

mode_t modeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// The files of an earlier run, each with its own contents and mode.
void writeEarlierOutputs(const std::string& dir, const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    writeFile(dir + "/" + name, "earlier " + name + "\n");
    chmod((dir + "/" + name).c_str(), 0640);
  }
}

void expectEarlierOutputs(const std::string& dir, const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    EXPECT_EQ(readFile(dir + "/" + name), "earlier " + name + "\n") << name;
    EXPECT_EQ(modeOf(dir + "/" + name), 0640u) << name;
  }
}

std::string sourceLines(int count) {
  std::string text;
  for (int i = 1; i <= count; ++i) text += "\t; line " + std::to_string(i) + " of the program\n";
  return text;
}

ProcId processor() {
  ProcId id = 0;
  EXPECT_EQ(procIdFromName("XQD02", &id), 1);
  return id;
}

// An executable as torvan leaves one: codeBytes of code at 0 with a line
// record per word, its source files named by ".file" symbols.
void writeExecutable(const std::string& path, const std::vector<std::string>& sources,
                     std::uint32_t codeBytes, std::uint32_t address = 0) {
  CoffBuilder b(path);
  b.processor(procCoffType(processor()), 16, 8);
  b.flags(kFileExecutable);
  Bytes code(codeBytes);
  for (std::uint32_t i = 0; i < codeBytes; ++i) code[i] = static_cast<unsigned char>(i * 7);
  b.section(".code", scnCode, address, code);
  for (const std::string& source : sources) {
    const std::uint32_t file = b.file(source);
    for (std::uint32_t w = 0; w < codeBytes / 2 && w < 60000; ++w)
      b.lineNumber(".code", file, static_cast<std::uint16_t>(w + 1), address + 2 * w);
    b.symbol(".eof", 0, kScnNumDebug, kClassFile);
  }
  b.writeFile(path);
}

const char* const kCommandFile =
    "LIBPATH .\n"
    "CODEPAGE NAME=vectors START=0x0 END=0x17 PROTECTED\n"
    "CODEPAGE NAME=page START=0x18 END=0x3FFF\n"
    "ACCESSBANK NAME=accessram START=0x0 END=0x5F\n"
    "DATABANK NAME=gpr0 START=0x60 END=0xFF\n";

// An object of little code and many symbols: its executable is a few
// kilobytes, its map several times that.
void writeObject(const std::string& path, int symbols) {
  CoffBuilder b(path);
  b.processor(procCoffType(processor()), 16, 8);
  const int code = b.section(".code", scnCode, 0, Bytes(64, 0));
  for (int i = 0; i < symbols; ++i)
    b.externDef("s" + std::to_string(i), static_cast<std::int16_t>(code),
                static_cast<std::uint32_t>(i % 32) * 2);
  b.writeFile(path);
}

class FailingWrites : public ::testing::Test {
 protected:
  void SetUp() override {
    root = makeTempDir("failing-writes");
    dir = root + "/work";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    // 16 KB of code, 200 source lines: a HEX file of 45 KB, a COD file of
    // 18 KB and a listing of 27 KB.
    writeExecutable(dir + "/prog.out", {"prog.asm"}, 16384);
    writeFile(dir + "/prog.asm", sourceLines(200));
    writeObject(dir + "/many.o", 300);
    writeFile(dir + "/link.lkr", kCommandFile);
    ASSERT_EQ(mkdir((dir + "/ex").c_str(), 0755), 0);
    ChildEnd made = runTool(dir, "kesvo", {"/c", "many.lib", "many.o"});
    ASSERT_EQ(made.status, 0) << made.output;
    made = runTool(dir, "kesvo", {"/q", "/t", "many.lib"});  // reads back
    ASSERT_EQ(made.status, 0) << made.output;
  }

  void TearDown() override { std::filesystem::remove_all(root); }

  std::string root;
  std::string dir;
};

TEST_F(FailingWrites, AFailedWriteLeavesTheEarlierOutputsAsTheyWere) {
  struct Case {
    const char* label;
    const char* tool;
    std::vector<std::string> args;
    long limit;
    std::vector<std::string> kept;  // outputs of the earlier run
    const char* message;            // printed when the write fails
    // The map a link that failed after placing its sections leaves (the
    // partial map), if any; every other file stays as it was.
    const char* errorMap = nullptr;
  };
  const std::vector<Case> cases = {
      {"hex", "ponzer", {"prog.out"}, 4096, {"prog.hex"}, "Could not write hex file 'prog.hex'."},
      {"split hex",
       "ponzer",
       {"/a", "INHX8S", "prog.out"},
       4096,
       {"prog.hxl", "prog.hxh"},
       "Could not write hex file 'prog.hxl'."},
      {"listing", "dralm", {"prog.out"}, 4096, {"prog.lst", "prog.cod"},
       "Could not write list file 'prog.lst'."},
      {"cod", "dralm", {"-d", "prog.out"}, 4096, {"prog.cod"},
       "Could not write code block in Cod file 'prog.cod'."},
      // The partial map already fails, and so does the executable after it.
      {"executable and map",
       "torvan",
       {"link.lkr", "many.o", "-o", "many.out", "-m", "many.map"},
       512,
       {"many.out", "many.map"},
       "Could not write map file 'many.map'."},
      // The partial map fits, the executable does not.
      {"executable",
       "torvan",
       {"link.lkr", "many.o", "-o", "many.out", "-m", "many.map"},
       4096,
       {"many.out"},
       "Coff file 'many.out' could not write",
       "many.map"},
      // The member's writer names what failed; the library adds nothing.
      {"library", "kesvo", {"/c", "new.lib", "many.o"}, 1024, {"new.lib"},
       "Coff file 'many.o' could not write"},
      {"extracted member", "kesvo", {"/x", "../many.lib"}, 1024, {"ex/many.o"},
       "Coff file 'many.o' could not write"},
  };
  for (const Case& c : cases) {
    for (const bool atDefault : {false, true}) {
      SCOPED_TRACE(std::string(c.label) + (atDefault ? ", signal at its default" : ", signal ignored"));
      writeEarlierOutputs(dir, c.kept);
      const std::vector<std::string> before = directoryState(dir);
      const std::string where = c.kept[0].compare(0, 3, "ex/") == 0 ? dir + "/ex" : dir;
      ChildLimits limits = limitsIn(where);
      limits.log = root + "/child.log";
      limits.fileSize = c.limit;
      limits.ignoreFileSizeSignal = !atDefault;
      const ChildEnd end = testing_support::runChild(where, toolPath(c.tool), c.args, limits);
      // The programs ignore the signal themselves: the write fails.
      EXPECT_EQ(end.status, 1) << end.output;
      EXPECT_NE(end.output.find(c.message), std::string::npos) << end.output;
      expectEarlierOutputs(dir, c.kept);
      EXPECT_TRUE(hiddenFiles(dir).empty());
      EXPECT_TRUE(hiddenFiles(dir + "/ex").empty());
      std::vector<std::string> after = directoryState(dir);
      std::vector<std::string> expected = before;
      if (c.errorMap) {
        EXPECT_NE(readFile(dir + "/" + c.errorMap).find("\nLinker Error Map File - Created"),
                  std::string::npos);
        const std::string entry = std::string(c.errorMap) + " ";
        for (std::vector<std::string>* state : {&after, &expected})
          state->erase(std::remove_if(state->begin(), state->end(),
                                      [&](const std::string& line) {
                                        return line.compare(0, entry.size(), entry) == 0;
                                      }),
                       state->end());
      }
      EXPECT_EQ(after, expected);
    }
  }
}

// A full map that fails is reported once; neither the map nor the
// executable of the earlier run changes, whether the file-size signal is
// ignored or at its default.
TEST_F(FailingWrites, AFullMapThatFailsLeavesTheEarlierMapAndExecutable) {
  for (const bool atDefault : {false, true}) {
    SCOPED_TRACE(atDefault);
    writeEarlierOutputs(dir, {"many.map", "many.out"});
    const std::vector<std::string> before = directoryState(dir);
    ChildLimits limits = limitsIn(dir);
    limits.fileSize = 16384;
    limits.ignoreFileSizeSignal = !atDefault;
    const ChildEnd end = testing_support::runChild(
        dir, toolPath("torvan"), {"link.lkr", "many.o", "-o", "many.out", "-m", "many.map"},
        limits);
    EXPECT_EQ(end.status, 1);
    const std::string message = "Error - Could not write map file 'many.map'.";
    const std::size_t at = end.output.find(message);
    EXPECT_NE(at, std::string::npos) << end.output;
    EXPECT_EQ(end.output.find(message, at + 1), std::string::npos) << end.output;
    expectEarlierOutputs(dir, {"many.map", "many.out"});
    EXPECT_TRUE(hiddenFiles(dir).empty());
    EXPECT_EQ(directoryState(dir), before);
  }
}

// Held by this process at its first write to the temporary listing, dralm
// is sent a signal there. Each signal that ends it removes the half-written
// listing first and ends it as the signal would have, leaving the directory
// as it was; a signal its parent left ignored stays ignored, and the run
// ends as a normal one.
TEST_F(FailingWrites, ASignalInTheMiddleOfAListingLeavesNoTemporaryFile) {
#if defined(__x86_64__)
  const std::string prefix = std::filesystem::canonical(dir).string() + "/.prog.lst.";
  const NoCoreFiles noCores;
  const ChildEnd normal = runTool(dir, "dralm", {"prog.out"});
  ASSERT_EQ(normal.status, 0) << normal.output;
  const std::string listing = withoutStamp(readFile(dir + "/prog.lst"), kListingStamp);
  struct Case {
    int sig;
    bool ignored;  // by the parent
  };
  const std::vector<Case> cases = {
      {SIGTERM, false}, {SIGINT, false},    {SIGHUP, false},  {SIGQUIT, false},
      {SIGUSR1, false}, {SIGUSR2, false},   {SIGALRM, false}, {SIGVTALRM, false},
      {SIGPROF, false}, {SIGXCPU, false},   {SIGABRT, false}, {SIGHUP, true},
      {SIGUSR1, true},  {SIGQUIT, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(strsignal(c.sig)) + (c.ignored ? ", ignored" : ""));
    unlink((dir + "/prog.cod").c_str());
    writeEarlierOutputs(dir, {"prog.lst"});
    const std::vector<std::string> before = testing_support::directoryEntries(dir);
    const std::vector<std::string> state = directoryState(dir);
    ChildLimits limits = limitsIn(dir);
    limits.traced = true;
    if (c.ignored) limits.ignoredSignal = c.sig;
    const Child child = testing_support::startChild(dir, toolPath("dralm"), {"prog.out"}, limits);
    ASSERT_GT(child.pid, 0);
    const TracedCall t = signalAtListingWrite(child.pid, c.sig, prefix, dir);
    const ChildEnd end = collectTraced(child, limits, t);
    if (traceRefused(t, end))
      GTEST_SKIP() << "this system does not let a test trace its child";
    ASSERT_TRUE(t.reached) << (t.ended ? "dralm ended before it wrote its listing"
                                       : t.problem)
                           << "\n"
                           << end.output;
    EXPECT_EQ(t.during.size(), 2u);  // the listing being written, the COD file opened before it
    if (c.ignored) {
      EXPECT_EQ(end.signal, 0);
      EXPECT_EQ(end.status, 0) << end.output;
      EXPECT_EQ(withoutStamp(readFile(dir + "/prog.lst"), kListingStamp), listing);
      struct stat st;
      EXPECT_EQ(stat((dir + "/prog.cod").c_str(), &st), 0);
    } else {
      EXPECT_EQ(end.signal, c.sig) << end.output;
      expectEarlierOutputs(dir, {"prog.lst"});
      // No temporary file, no COD file, no core file.
      EXPECT_EQ(testing_support::directoryEntries(dir), before);
      EXPECT_EQ(directoryState(dir), state);
    }
    EXPECT_TRUE(hiddenFiles(dir).empty());
  }
#else
  GTEST_SKIP() << "the system-call stops are read for x86-64 only";
#endif
}

// A source whose read fails once rows of it are written ends the run as a
// failed write does: an error, status 1, the earlier listing and COD file
// as they were and no temporary file. A read that fails before any row is
// written leaves the source out with a warning, as one that cannot be
// opened.
TEST_F(FailingWrites, ASourceReadThatFailsPartWayEndsTheListing) {
#if defined(__x86_64__)
  // Several chunks of the line reader, so that a later read comes after
  // rows of the first.
  writeFile(dir + "/prog.asm", sourceLines(8000));
  const std::string source = std::filesystem::canonical(dir).string() + "/prog.asm";
  struct Case {
    int failingRead;
    int status;
    const char* message;
    bool kept;  // the earlier outputs
  };
  const Case cases[] = {
      {2, 1, "Error - Could not read source file 'prog.asm'.\n", true},
      {1, 0,
       "Warning - Could not open source file 'prog.asm'.\nThis file will not be present in the "
       "list file.\n",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("read " + std::to_string(c.failingRead));
    writeEarlierOutputs(dir, {"prog.lst", "prog.cod"});
    ChildLimits limits = limitsIn(dir);
    limits.traced = true;
    limits.alarmSeconds = kGuardSeconds;
    const Child child = testing_support::startChild(dir, toolPath("dralm"), {"prog.out"}, limits);
    ASSERT_GT(child.pid, 0);
    const TracedCall t = failReadOf(child.pid, source, c.failingRead);
    const ChildEnd end = collectTraced(child, limits, t);
    if (traceRefused(t, end))
      GTEST_SKIP() << "this system does not let a test trace its child";
    ASSERT_TRUE(t.reached) << (t.ended ? "dralm ended before that read" : t.problem) << "\n"
                           << end.output;
    EXPECT_EQ(end.signal, 0);
    EXPECT_EQ(end.status, c.status) << end.output;
    const std::size_t at = end.output.find(c.message);
    EXPECT_NE(at, std::string::npos) << end.output;
    EXPECT_EQ(end.output.find(c.message, at + 1), std::string::npos) << end.output;
    if (c.kept) {
      expectEarlierOutputs(dir, {"prog.lst", "prog.cod"});
    } else {
      EXPECT_EQ(readFile(dir + "/prog.lst").find("prog.asm"), std::string::npos);
      EXPECT_NE(readFile(dir + "/prog.cod"), "earlier prog.cod\n");
    }
    EXPECT_TRUE(hiddenFiles(dir).empty());
  }
#else
  GTEST_SKIP() << "the system-call stops are read for x86-64 only";
#endif
}

// Started with its standard output and error on a pipe whose reader is
// gone, each program finishes as one whose standard output was closed (with
// status 0): what it prints is lost, its files are those of a normal run.
TEST_F(FailingWrites, APipeWithoutReaderOnStandardOutputEndsNoRun) {
  struct Output {
    const char* name;
    const char* stamp;  // the line that holds the time; nullptr: none
    bool sizeOnly;      // a binary file with the time in it
  };
  struct Case {
    const char* tool;
    std::vector<std::string> args;
    std::vector<Output> outputs;
  };
  const std::vector<Case> cases = {
      {"dralm", {"prog.out"}, {{"prog.lst", kListingStamp, false}, {"prog.cod", nullptr, true}}},
      {"torvan",
       {"link.lkr", "many.o", "-o", "many.out", "-m", "many.map"},
       {{"many.map", "Created", false}, {"many.out", nullptr, true}}},
      {"ponzer", {"prog.out"}, {{"prog.hex", nullptr, false}}},
      {"kesvo", {"/c", "copy.lib", "many.o"}, {{"copy.lib", nullptr, false}}},
      {"kesvo", {"/t", "many.lib"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tool + (" " + c.args[0]));
    const ChildEnd normal = runTool(dir, c.tool, c.args);
    ASSERT_EQ(normal.status, 0) << normal.output;
    std::vector<std::string> expected;
    for (const Output& o : c.outputs) {
      const std::string bytes = readFile(dir + "/" + o.name);
      expected.push_back(o.sizeOnly ? std::to_string(bytes.size()) : withoutStamp(bytes, o.stamp));
      unlink((dir + "/" + o.name).c_str());
    }
    // What is there now, and the outputs again: no temporary file beside them.
    std::vector<std::string> names = testing_support::directoryEntries(dir);
    for (const Output& o : c.outputs) names.push_back(o.name);
    std::sort(names.begin(), names.end());
    ChildEnd end;
    if (!runOnPipeWithoutReader(dir, c.tool, c.args, end))
      GTEST_SKIP() << "this system does not let a test trace its child";
    EXPECT_EQ(end.signal, 0);
    EXPECT_EQ(end.status, 0);
    for (std::size_t i = 0; i < c.outputs.size(); ++i) {
      const Output& o = c.outputs[i];
      const std::string bytes = readFile(dir + "/" + o.name);
      EXPECT_EQ(o.sizeOnly ? std::to_string(bytes.size()) : withoutStamp(bytes, o.stamp),
                expected[i])
          << o.name;
    }
    EXPECT_TRUE(hiddenFiles(dir).empty());
    EXPECT_EQ(testing_support::directoryEntries(dir), names);
  }
}

// Given an input larger than the address space it may use, each program
// ends with an error naming what it was doing and status 1, its earlier
// outputs and the directory as they were.
TEST_F(FailingWrites, MemoryThatRunsOutIsAnErrorNamingTheWork) {
  if (!kLimitAddressSpace) GTEST_SKIP() << "the sanitizer needs the whole address space";
  // Sparse: larger than the limit, without taking up the disk.
  for (const char* name : {"huge.out", "huge.o", "huge.lib", "huge.lkr", "huge.asm"}) {
    writeFile(dir + "/" + name, "");
    std::filesystem::resize_file(dir + "/" + name, kHugeInput);
  }
  // A small executable listing the huge source.
  writeExecutable(dir + "/listed.out", {"huge.asm"}, 64);
  // The memory image reads only the blocks it needs: headers without
  // sections or symbols, then a string table filling the file.
  {
    std::string head(filehdr::kSize + opthdr::kSize + 4, '\0');
    filehdr fh;
    fh.f_magic = kCoffMagic;
    fh.f_opthdr = kOptHdrSize;
    fh.encode(reinterpret_cast<unsigned char*>(&head[0]));
    const std::uint64_t table = kHugeInput - filehdr::kSize - opthdr::kSize;
    for (int i = 0; i < 4; ++i)
      head[filehdr::kSize + opthdr::kSize + i] = static_cast<char>(table >> (8 * i));
    writeFile(dir + "/names.out", head);
    std::filesystem::resize_file(dir + "/names.out", kHugeInput);
  }
  struct Case {
    const char* tool;
    std::vector<std::string> args;
    std::vector<std::string> kept;  // outputs of an earlier run
    const char* message;
  };
  const std::vector<Case> cases = {
      {"ponzer", {"names.out"}, {"names.hex"},
       "Error - Out of memory while reading Coff file 'names.out'."},
      {"dralm", {"huge.out"}, {"huge.cod", "huge.lst"},
       "Error - Out of memory while reading Coff file 'huge.out'."},
      {"dralm", {"listed.out"}, {"listed.cod", "listed.lst"},
       "Error - Out of memory while reading source file 'huge.asm'."},
      {"torvan",
       {"link.lkr", "huge.o", "-o", "huge.x", "-m", "huge.map"},
       {"huge.x", "huge.map"},
       "Error - Out of memory while reading Coff file './huge.o'."},
      {"torvan",
       {"huge.lkr", "many.o", "-o", "huge.x", "-m", "huge.map"},
       {"huge.x", "huge.map"},
       "Error - Out of memory while reading linker command file './huge.lkr'."},
      {"kesvo", {"/c", "new.lib", "huge.o"}, {"new.lib"},
       "Error - Out of memory while reading Coff file 'huge.o'."},
      {"kesvo", {"/t", "huge.lib"}, {},
       "Error - Out of memory while reading library file 'huge.lib'."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tool + (" " + c.args[0]));
    writeEarlierOutputs(dir, c.kept);
    const std::vector<std::string> before = testing_support::directoryEntries(dir);
    ChildLimits limits = limitsIn(dir);
    limits.addressSpace = kAddressSpace;
    const ChildEnd end = testing_support::runChild(dir, toolPath(c.tool), c.args, limits);
    EXPECT_EQ(end.signal, 0) << end.output;
    EXPECT_EQ(end.status, 1) << end.output;
    EXPECT_NE(end.output.find(c.message), std::string::npos) << end.output;
    expectEarlierOutputs(dir, c.kept);
    EXPECT_EQ(testing_support::directoryEntries(dir), before);
  }
}

// Outputs that are no regular file, or named through a descriptor, get
// their one whole content in place: the full map (or the partial one of a
// link that fails after mapping) once, the executable whole.
TEST_F(FailingWrites, OutputsThroughDescriptorsAndPipesGetOneWholeContent) {
  writeFile(dir + "/tight.lkr",
            "CODEPAGE NAME=page START=0x0 END=0x1F\n"
            "ACCESSBANK NAME=accessram START=0x0 END=0x5F\n");
  const ChildEnd made = testing_support::runChild(
      dir, toolPath("torvan"), {"link.lkr", "many.o", "-o", "ref.out", "-m", "ref.map"},
      limitsIn(dir));
  ASSERT_EQ(made.status, 0) << made.output;
  // The executable past its time stamp (quiet runs write it alone, so that
  // no message shares standard output with it).
  const std::string executable = readFile(dir + "/ref.out").substr(8);
  const auto count = [](const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
      ++n;
    return n;
  };
  struct Case {
    const char* name;
    std::vector<std::string> args;
    const char* log;  // standard output's file; empty: a pipe
    int status;
    std::size_t maps, errorMaps;
    bool holdsExecutable;
  };
  const std::vector<Case> cases = {
      {"map to /dev/stdout, a file", {"link.lkr", "many.o", "-o", "a.out", "-m", "/dev/stdout"},
       "out.txt", 0, 1, 0, false},
      {"map to /dev/stdout, a pipe", {"link.lkr", "many.o", "-o", "a.out", "-m", "/dev/stdout"},
       "", 0, 1, 0, false},
      {"map to /dev/fd/1", {"link.lkr", "many.o", "-o", "a.out", "-m", "/dev/fd/1"}, "", 0, 1, 0,
       false},
      {"map to /proc/self/fd/1", {"link.lkr", "many.o", "-o", "a.out", "-m", "/proc/self/fd/1"},
       "", 0, 1, 0, false},
      // Standard error goes where standard output goes.
      {"map to /dev/stderr", {"link.lkr", "many.o", "-o", "a.out", "-m", "/dev/stderr"}, "", 0, 1,
       0, false},
      {"error map to /dev/stdout", {"tight.lkr", "many.o", "-o", "t.out", "-m", "/dev/stdout"}, "",
       1, 0, 1, false},
      {"executable to /dev/stdout, a file", {"-q", "link.lkr", "many.o", "-o", "/dev/stdout"}, "out.bin",
       0, 0, 0, true},
      {"executable to /dev/stdout, a pipe", {"-q", "link.lkr", "many.o", "-o", "/dev/stdout"}, "", 0, 0,
       0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChildLimits limits = limitsIn(dir);
    if (*c.log) limits.log = dir + "/" + c.log;
    const ChildEnd end = testing_support::runChild(dir, toolPath("torvan"), c.args, limits);
    const std::string got = *c.log ? readFile(dir + "/" + c.log) : end.output;
    EXPECT_EQ(end.status, c.status) << got;
    EXPECT_EQ(count(got, "\nLinker Map File - Created"), c.maps) << got;
    EXPECT_EQ(count(got, "\nLinker Error Map File - Created"), c.errorMaps) << got;
    EXPECT_EQ(got.find(executable) != std::string::npos, c.holdsExecutable);
    EXPECT_TRUE(hiddenFiles(dir).empty());
    if (*c.log) std::remove((dir + "/" + c.log).c_str());
  }
  // A FIFO with a reader gets the one whole content. This process holds a
  // writing end too, so that its reader sees no end of the data before the
  // program is done; the pipe is made large enough to take all of it, and
  // read once the program has ended.
  struct FifoCase {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::size_t maps, errorMaps;
    bool holdsExecutable;
    std::vector<std::string> written;  // beside the FIFO
  };
  const std::vector<FifoCase> fifoCases = {
      {"executable to a FIFO", {"link.lkr", "many.o", "-o", "out.fifo"}, 0, 0, 0, true, {}},
      {"map to a FIFO", {"link.lkr", "many.o", "-o", "f.out", "-m", "out.fifo"}, 0, 1, 0, false,
       {"f.out"}},
      {"error map to a FIFO", {"tight.lkr", "many.o", "-o", "t.out", "-m", "out.fifo"}, 1, 0, 1,
       false, {}},
  };
  for (const FifoCase& c : fifoCases) {
    SCOPED_TRACE(c.name);
    const std::string fifo = dir + "/out.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const int holder = ::open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(holder, 0);
    ASSERT_GE(fcntl(reader, F_SETPIPE_SZ, 1 << 20), 1 << 20);
    std::vector<std::string> names = testing_support::directoryEntries(dir);
    names.insert(names.end(), c.written.begin(), c.written.end());
    std::sort(names.begin(), names.end());
    ChildLimits guarded = limitsIn(dir);
    guarded.alarmSeconds = kGuardSeconds;  // only a guard against a writer that blocks
    const ChildEnd end = testing_support::runChild(dir, toolPath("torvan"), c.args, guarded);
    ::close(holder);
    ASSERT_EQ(fcntl(reader, F_SETFL, 0), 0);
    std::string received;
    char buffer[4096];
    for (ssize_t n; (n = ::read(reader, buffer, sizeof buffer)) != 0;) {
      if (n > 0)
        received.append(buffer, static_cast<std::size_t>(n));
      else if (errno != EINTR)
        break;
    }
    ::close(reader);
    EXPECT_EQ(end.signal, 0) << end.output;
    EXPECT_EQ(end.status, c.status) << end.output;
    EXPECT_EQ(count(received, "\nLinker Map File - Created"), c.maps) << received;
    EXPECT_EQ(count(received, "\nLinker Error Map File - Created"), c.errorMaps) << received;
    if (c.holdsExecutable) {
      EXPECT_EQ(received.size(), executable.size() + 8);
      EXPECT_NE(received.find(executable), std::string::npos);
    }
    EXPECT_EQ(testing_support::directoryEntries(dir), names);
    unlink(fifo.c_str());
    unlink((dir + "/f.out").c_str());
  }
}

TEST_F(FailingWrites, AnOutputThatIsItsOwnInputIsRefused) {
  // An executable named like its HEX files.
  writeExecutable(dir + "/prog.hex", {}, 64);
  writeExecutable(dir + "/prog.hxh", {}, 64);
  // Executables whose sources include the listing, by name and by a link.
  writeExecutable(dir + "/self.out", {"self.lst"}, 64);
  writeFile(dir + "/self.lst", sourceLines(3));
  writeExecutable(dir + "/alias.out", {"alias.asm"}, 64);
  writeFile(dir + "/alias.lst", sourceLines(3));
  ASSERT_EQ(symlink("alias.lst", (dir + "/alias.asm").c_str()), 0);
  // A library with a member named like the library.
  {
    CoffBuilder member("self.lib");
    member.processor(procCoffType(processor()), 16, 8);
    member.section(".code", scnCode, 0, Bytes(4, 0));
    Archive library;
    library.cFileName = dir + "/self.lib";
    library.cMembers.push_back(std::make_unique<Coff>(member.model()));
    ASSERT_EQ(library.makeSymbols(), 1);
    ASSERT_EQ(library.write(), 1);
  }
  struct Case {
    const char* tool;
    std::vector<std::string> args;
    const char* input;  // must stay as it was
    const char* message;
  };
  const std::vector<Case> cases = {
      {"ponzer", {"prog.hex"}, "prog.hex",
       "Error - Hex file 'prog.hex' would overwrite the Coff file 'prog.hex'."},
      {"ponzer", {"/a", "INHX8S", "prog.hxh"}, "prog.hxh",
       "Error - Hex file 'prog.hxh' would overwrite the Coff file 'prog.hxh'."},
      {"dralm", {"self.out"}, "self.lst",
       "Error - List file 'self.lst' would overwrite the source file 'self.lst'."},
      {"dralm", {"alias.out"}, "alias.lst",
       "Error - List file 'alias.lst' would overwrite the source file 'alias.asm'."},
      {"kesvo", {"/x", "self.lib"}, "self.lib",
       "Error - Member 'self.lib' in library 'self.lib' would overwrite the library; nothing is "
       "extracted."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    const std::string before = readFile(dir + "/" + c.input);
    const std::vector<std::string> state = directoryState(dir);
    const ChildEnd end = runTool(dir, c.tool, c.args);
    EXPECT_EQ(end.status, 1);
    EXPECT_NE(end.output.find(c.message), std::string::npos) << end.output;
    EXPECT_EQ(readFile(dir + "/" + c.input), before);
    EXPECT_TRUE(hiddenFiles(dir).empty());
    EXPECT_EQ(directoryState(dir), state);
  }
  struct stat st;
  EXPECT_NE(stat((dir + "/prog.hxl").c_str(), &st), 0);
  EXPECT_NE(stat((dir + "/self.cod").c_str(), &st), 0);
  EXPECT_NE(stat((dir + "/alias.cod").c_str(), &st), 0);
}

// What a listing, a map or a HEX file holds does not depend on whether the
// standard streams were open.
TEST_F(FailingWrites, ClosedStandardStreamsLeaveTheOutputsAlone) {
  // A missing source gives dralm a warning to print.
  writeExecutable(dir + "/warn.out", {"prog.asm", "missing.asm"}, 64);
  struct Case {
    const char* tool;
    std::vector<std::string> args;
    const char* output;
    const char* stamp;  // the line that holds the time, left out of the comparison
  };
  const std::vector<Case> cases = {
      {"dralm", {"warn.out"}, "warn.lst", kListingStamp},
      {"torvan", {"link.lkr", "many.o", "-o", "many.out", "-m", "many.map"}, "many.map",
       "Created"},
      {"ponzer", {"warn.out"}, "warn.hex", nullptr},
      {"kesvo", {"/c", "copy.lib", "many.o"}, "copy.lib", nullptr},
  };
  for (const Case& c : cases) {
    for (const bool input : {false, true}) {
      SCOPED_TRACE(std::string(c.output) + (input ? ", input closed too" : ""));
      const ChildEnd open = runTool(dir, c.tool, c.args);
      EXPECT_EQ(open.status, 0) << open.output;
      const std::string expected = withoutStamp(readFile(dir + "/" + c.output), c.stamp);
      ASSERT_FALSE(expected.empty());
      unlink((dir + "/" + c.output).c_str());
      ChildLimits closed = limitsIn(dir);
      closed.closeOutput = true;
      closed.closeInput = input;
      const ChildEnd end = testing_support::runChild(dir, toolPath(c.tool), c.args, closed);
      EXPECT_EQ(end.status, 0);
      EXPECT_EQ(withoutStamp(readFile(dir + "/" + c.output), c.stamp), expected);
    }
  }
}

// INHX8M and INHX8S reach 64 KB (of bytes, of words): data beyond it is
// refused before anything is written, the earlier files left as they were.
TEST_F(FailingWrites, AnAddressBeyondTheFormatWritesNothing) {
  struct Case {
    const char* format;
    std::uint32_t address;  // of 32 bytes of code
    std::vector<std::string> files;
  };
  const std::vector<Case> cases = {
      {"INHX8M", 0x7FF8, {"far.hex"}},
      {"INHX8S", 0xFFF8, {"far.hxl", "far.hxh"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    writeExecutable(dir + "/far.out", {}, 32, c.address);
    writeEarlierOutputs(dir, c.files);
    const std::vector<std::string> before = directoryState(dir);
    const ChildEnd end = runTool(dir, "ponzer", {"/a", c.format, "far.out"});
    EXPECT_EQ(end.status, 255);
    EXPECT_NE(end.output.find("Selected hex format does not support byte addresses above 64kb"),
              std::string::npos);
    expectEarlierOutputs(dir, c.files);
    EXPECT_TRUE(hiddenFiles(dir).empty());
    EXPECT_EQ(directoryState(dir), before);
  }
}

}  // namespace

namespace {

// An output that leads through a link to an input or to another output of
// the run is refused before anything is written.
TEST_F(FailingWrites, OutputsThroughLinksOverInputsOrEachOtherAreRefused) {
  struct Case {
    const char* link;
    const char* to;
    const char* tool;
    std::vector<std::string> args;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"prog.hxh", "prog.hxl", "ponzer", {"/a", "INHX8S", "prog.out"},
       "Error - Hex file 'prog.hxh' would overwrite the Hex file 'prog.hxl'."},
      {"prog.cod", "prog.lst", "dralm", {"prog.out"},
       "Error - Cod file 'prog.cod' would overwrite the List file 'prog.lst'."},
      {"prog.cod", "prog.asm", "dralm", {"prog.out"},
       "Error - Cod file 'prog.cod' would overwrite the source file 'prog.asm'."},
      // Without a listing the sources are not read, but still not lost.
      {"prog.cod", "prog.asm", "dralm", {"-d", "prog.out"},
       "Error - Cod file 'prog.cod' would overwrite the source file 'prog.asm'."},
      {"t.map", "t.out", "torvan", {"link.lkr", "many.o", "-o", "t.out", "-m", "t.map"},
       "Error - map file 't.map' would overwrite the output file 't.out'."},
      {"evil.lib", "many.o", "kesvo", {"/c", "evil.lib", "many.o"},
       "Error - Library 'evil.lib' would overwrite the member 'many.o'; nothing is written."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.link + (" " + c.args[0]));
    ASSERT_EQ(symlink(c.to, (dir + "/" + c.link).c_str()), 0);
    const std::vector<std::string> before = testing_support::directoryEntries(dir);
    const std::string target = dir + "/" + c.to;
    struct stat st;
    const bool existed = stat(target.c_str(), &st) == 0;
    const std::string bytes = existed ? readFile(target) : "";
    const std::vector<std::string> state = directoryState(dir);
    const ChildEnd end = runTool(dir, c.tool, c.args);
    EXPECT_EQ(end.status, 1) << end.output;
    EXPECT_NE(end.output.find(c.message), std::string::npos) << end.output;
    EXPECT_EQ(testing_support::directoryEntries(dir), before);
    EXPECT_EQ(directoryState(dir), state);
    if (existed) {
      EXPECT_EQ(readFile(target), bytes);
    }
    unlink((dir + "/" + c.link).c_str());
  }
}

}  // namespace

namespace {

// A run whose last output cannot be made (its directory is missing, or it
// leads to a full device) puts none of the others in place: the files of
// the earlier run stay as they were, and the failure is reported once.
TEST_F(FailingWrites, AFailingRunChangesNoneOfItsOutputs) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this host";
  struct Case {
    const char* label;
    const char* tool;
    std::vector<std::string> args;
    std::vector<std::string> kept;  // outputs of the earlier run
    const char* full;               // a name made a link to /dev/full; nullptr: none
    const char* message;
  };
  const std::vector<Case> cases = {
      {"map in a missing directory", "torvan",
       {"link.lkr", "many.o", "-o", "many.out", "-m", "nodir/many.map"}, {"many.out"}, nullptr,
       "Error - Could not open map file 'nodir/many.map' for writing."},
      {"map to a full device", "torvan",
       {"link.lkr", "many.o", "-o", "many.out", "-m", "full.map"}, {"many.out"}, "full.map",
       "Error - Could not write map file 'full.map'."},
      {"listing to a full device", "dralm", {"prog.out"}, {"prog.cod"}, "prog.lst",
       "Error - Could not write list file 'prog.lst'."},
      {"COD file to a full device", "dralm", {"prog.out"}, {"prog.lst"}, "prog.cod",
       "Error - Could not write Cod file 'prog.cod'."},
      {"high bytes to a full device", "ponzer", {"/a", "INHX8S", "prog.out"}, {"prog.hxl"},
       "prog.hxh", "Error - Could not write hex file 'prog.hxh'."},
      {"low bytes to a full device", "ponzer", {"/a", "INHX8S", "prog.out"}, {"prog.hxh"},
       "prog.hxl", "Error - Could not write hex file 'prog.hxl'."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    writeEarlierOutputs(dir, c.kept);
    if (c.full) {
      unlink((dir + "/" + c.full).c_str());
      ASSERT_EQ(symlink("/dev/full", (dir + "/" + c.full).c_str()), 0);
    }
    const std::vector<std::string> before = directoryState(dir);
    const ChildEnd end = runTool(dir, c.tool, c.args);
    EXPECT_EQ(end.signal, 0);
    EXPECT_EQ(end.status, 1) << end.output;
    const std::size_t at = end.output.find(c.message);
    EXPECT_NE(at, std::string::npos) << end.output;
    EXPECT_EQ(end.output.find(c.message, at + 1), std::string::npos) << end.output;
    expectEarlierOutputs(dir, c.kept);
    EXPECT_EQ(directoryState(dir), before);
    if (c.full) unlink((dir + "/" + c.full).c_str());
  }
}

// Each output, named through a link to /dev/stdout, reaches the pipe on
// standard output whole and once, as a regular file would have held it.
TEST_F(FailingWrites, EveryKindOfOutputReachesAPipeWhole) {
  struct Case {
    const char* label;
    const char* tool;
    std::vector<std::string> args;  // quiet: the output alone reaches the pipe
    const char* output;             // named through the link
    const char* stamp;              // the line that holds the time; nullptr: none
    bool sizeOnly;                  // a binary file with the time in it
  };
  const std::vector<Case> cases = {
      {"library", "kesvo", {"/q", "/c", "piped.lib", "many.o"}, "piped.lib", nullptr, false},
      {"HEX file", "ponzer", {"/q", "prog.out"}, "prog.hex", nullptr, false},
      {"low bytes", "ponzer", {"/q", "/a", "INHX8S", "prog.out"}, "prog.hxl", nullptr, false},
      {"COD file", "dralm", {"-q", "-d", "prog.out"}, "prog.cod", nullptr, true},
      {"listing", "dralm", {"-q", "prog.out"}, "prog.lst", kListingStamp, false},
      {"map", "torvan", {"-q", "link.lkr", "many.o", "-o", "many.out", "-m", "many.map"},
       "many.map", "Created", false},
  };
  const auto comparable = [](const Case& c, const std::string& bytes) {
    return c.sizeOnly ? std::to_string(bytes.size()) : withoutStamp(bytes, c.stamp);
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string path = dir + "/" + c.output;
    const ChildEnd normal = runTool(dir, c.tool, c.args);
    ASSERT_EQ(normal.status, 0) << normal.output;
    const std::string expected = comparable(c, readFile(path));
    ASSERT_FALSE(expected.empty());
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(symlink("/dev/stdout", path.c_str()), 0);
    const std::vector<std::string> names = testing_support::directoryEntries(dir);
    ChildLimits piped;
    piped.defaultSignals = true;  // standard output: a pipe this process reads
    const ChildEnd end = testing_support::runChild(dir, toolPath(c.tool), c.args, piped);
    EXPECT_EQ(end.signal, 0);
    EXPECT_EQ(end.status, 0);
    EXPECT_EQ(comparable(c, end.output), expected);
    EXPECT_EQ(testing_support::directoryEntries(dir), names);
    unlink(path.c_str());
  }
}

#if defined(__x86_64__)
// Held at its first write to the temporary file of one of its outputs (or
// to the member kesvo /x creates at its name), each program is sent a
// signal that ends it: it removes what it was writing and ends as the
// signal would have, its earlier outputs and the directory as they were.
TEST_F(FailingWrites, ASignalInTheMiddleOfAnyOutputLeavesNoTemporaryFile) {
  const std::string base = std::filesystem::canonical(dir).string() + "/";
  const NoCoreFiles noCores;
  struct Case {
    const char* tool;
    std::vector<std::string> args;
    const char* where;    // the directory it runs in, under dir
    const char* writing;  // the start of the path it is held at, under dir
    std::vector<std::string> kept;  // outputs of an earlier run
  };
  const std::vector<Case> cases = {
      {"torvan", {"link.lkr", "many.o", "-o", "many.out", "-m", "many.map"}, "", ".many.map.",
       {"many.out", "many.map"}},
      {"torvan", {"link.lkr", "many.o", "-o", "many.out", "-m", "many.map"}, "", ".many.out.",
       {"many.out", "many.map"}},
      {"ponzer", {"prog.out"}, "", ".prog.hex.", {"prog.hex"}},
      {"ponzer", {"/a", "INHX8S", "prog.out"}, "", ".prog.hxh.", {"prog.hxl", "prog.hxh"}},
      {"dralm", {"-d", "prog.out"}, "", ".prog.cod.", {"prog.cod"}},
      {"kesvo", {"/c", "new.lib", "many.o"}, "", ".new.lib.", {"new.lib"}},
      {"kesvo", {"/x", "../many.lib"}, "ex", "ex/many.o", {}},
  };
  for (const Case& c : cases) {
    for (const int sig : {SIGINT, SIGQUIT, SIGUSR2}) {
      SCOPED_TRACE(std::string(c.tool) + " at " + c.writing + ", " + strsignal(sig));
      writeEarlierOutputs(dir, c.kept);
      const std::vector<std::string> before = directoryState(dir);
      const std::string where = dir + "/" + c.where;
      ChildLimits limits = limitsIn(dir);
      limits.traced = true;
      const Child child = testing_support::startChild(where, toolPath(c.tool), c.args, limits);
      ASSERT_GT(child.pid, 0);
      const TracedCall t = signalAtListingWrite(child.pid, sig, base + c.writing, where);
      const ChildEnd end = collectTraced(child, limits, t);
      if (traceRefused(t, end))
        GTEST_SKIP() << "this system does not let a test trace its child";
      ASSERT_TRUE(t.reached) << (t.ended ? "it ended before it wrote there" : t.problem) << "\n"
                             << end.output;
      EXPECT_EQ(end.signal, sig) << end.output;
      expectEarlierOutputs(dir, c.kept);
      EXPECT_EQ(directoryState(dir), before);
    }
  }
}
#endif

}  // namespace

namespace {

// Rewrites each kind of output, found as an earlier run's file with a
// second hard link and set-user-ID (and, when otherOwner, owned by
// kNobody): the file stays the same file, both its names see the new
// contents, its owner and group stay, and set-user-ID is dropped.
void expectOutputsKeepTheirIdentity(const std::string& dir, bool otherOwner) {
  struct Case {
    const char* tool;
    std::vector<std::string> args;
    const char* where;   // the directory it runs in, under dir
    const char* output;  // under dir
  };
  const std::vector<Case> cases = {
      {"torvan", {"link.lkr", "many.o", "-o", "many.out", "-m", "many.map"}, "", "many.out"},
      {"torvan", {"link.lkr", "many.o", "-o", "many.out", "-m", "many.map"}, "", "many.map"},
      {"ponzer", {"prog.out"}, "", "prog.hex"},
      {"ponzer", {"/a", "INHX8S", "prog.out"}, "", "prog.hxh"},
      {"dralm", {"prog.out"}, "", "prog.lst"},
      {"dralm", {"prog.out"}, "", "prog.cod"},
      {"kesvo", {"/c", "new.lib", "many.o"}, "", "new.lib"},
      {"kesvo", {"/x", "../many.lib"}, "ex", "ex/many.o"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    const std::string path = dir + "/" + c.output;
    const std::string second = path + ".2";
    unlink(second.c_str());
    writeEarlierOutputs(dir, {c.output});
    ASSERT_EQ(chmod(path.c_str(), 04750), 0);
    if (otherOwner) {
      ASSERT_EQ(chown(path.c_str(), testing_support::kNobody, testing_support::kNobody), 0);
    }
    ASSERT_EQ(link(path.c_str(), second.c_str()), 0);
    struct stat before;
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    const ChildEnd end = runTool(dir + "/" + c.where, c.tool, c.args);
    EXPECT_EQ(end.status, 0) << end.output;
    struct stat after;
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    const std::string contents = readFile(path);
    EXPECT_NE(contents, "earlier " + std::string(c.output) + "\n");
    EXPECT_EQ(readFile(second), contents);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_nlink, 2u);
    EXPECT_EQ(after.st_mode & 07777, 0750u);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    EXPECT_TRUE(hiddenFiles(dir).empty());
    EXPECT_TRUE(hiddenFiles(dir + "/ex").empty());
  }
}

TEST_F(FailingWrites, AReplacedOutputKeepsItsLinksAndLosesSetUserId) {
  expectOutputsKeepTheirIdentity(dir, false);
}

TEST_F(FailingWrites, AReplacedOutputOfAnotherUserKeepsItsOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "only root may give a file to another user";
  expectOutputsKeepTheirIdentity(dir, true);
}

}  // namespace
