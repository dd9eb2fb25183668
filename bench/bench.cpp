// Benchmark of the whole tool chain at three scales (1x, 2x, 4x).
//
// Generates synthetic work with the fixture builder into a scratch
// directory, runs the built programs on it and prints, for every tool and
// scale, the wall time (the fastest of a few runs) and the peak memory above
// the baseline of the same program started with no arguments. Then it checks
// the targets: the 1x link under 0.1 s, every 4x time at most 4.5 times its
// 1x time, and the peak memory of a link under 10 times its inputs.
//
//   toolchain_bench [--scaling [-t seconds]] [-b bin-dir] [-w work-dir] [-r runs] [-k]
//                   [--old-dralm path]
//
// Then, at 1x, it runs programs side by side, alternately, and prints the
// ratio of their median times: `kesvo /t` against `ar t` and `kesvo /x`
// into an empty directory against `ar x` on the same members, `ponzer`
// against `objcopy -I binary -O ihex` on the same program bytes (each at
// most 1; a tool not installed is skipped), `dralm -d` against the dralm
// of another build given by --old-dralm (at most 1; skipped without it)
// and the `dralm` listing against `dralm -d` (at most 4).
//
// -w keeps the generated files in work-dir (default: a fresh directory under
// $TMPDIR, removed at the end unless -k); -r sets the runs per measurement
// (default 5). The exit status is 0 when every target is met, 1 when one is
// missed and 2 when a program fails or the work cannot be generated.
//
// --scaling instead grows each dimension of the work alone (objects,
// symbols, relocations, sections, CODEPAGEs, SECTION lines, libraries,
// library members, listing size, a refused COD file, HEX ranges) from n to
// 4n and 16n and prints the growth of its time from n to 16n, which must be
// at most 20; a run is stopped after -t seconds (default 10), and -r
// defaults to 3.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <signal.h>
#include <time.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "fixtures/coff_builder.h"

#ifndef TOOL_BIN_DIR_DEFAULT
#define TOOL_BIN_DIR_DEFAULT "."
#endif

namespace {

using fixtures::Bytes;
using fixtures::CoffBuilder;

// XQD01: the byte-addressed 16-bit core, 21-bit program addresses.
constexpr std::uint32_t kProcessor = 0xD001;
constexpr std::uint32_t kProgramEnd = 0x1FFFFF;

constexpr std::uint16_t kRelocCall = 1;
constexpr std::uint16_t kRelocCall2 = 14;

// Instruction words; the linker fills in the call targets.
constexpr std::uint16_t kReturn = 0x0012;
constexpr std::uint16_t kCallLow = 0xEC00;
constexpr std::uint16_t kCallHigh = 0xF000;

// Work at 1x; every count is multiplied by the scale.
constexpr int kObjects = 2000;
constexpr int kMembers = 500;
constexpr int kLabels = 25;  // labels and calls per object
constexpr int kLibMembers = 1000;
constexpr std::uint32_t kCodeBytes = 512 * 1024;
constexpr std::uint32_t kInhx8mBytes = 16 * 1024;  // 64 KB, the whole reach, at 4x
constexpr std::uint32_t kInhx8sBytes = 32 * 1024;  // 128 KB at 4x

const int kScales[] = {1, 2, 4};

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "toolchain_bench: %s\n", what.c_str());
  std::exit(2);
}

void put(Bytes& b, std::uint16_t w) {
  b.push_back(static_cast<unsigned char>(w & 0xFF));
  b.push_back(static_cast<unsigned char>(w >> 8));
}

void makeDir(const std::string& path) {
  if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) fail("cannot create " + path);
}

void writeText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (out.fail()) fail("cannot write " + path);
}

std::uint64_t fileSize(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) fail("cannot stat " + path);
  return static_cast<std::uint64_t>(st.st_size);
}

std::string objectName(int i) { return "f" + std::to_string(i) + ".o"; }
std::string memberName(int k) { return "m" + std::to_string(k) + ".o"; }
// Names longer than eight characters, so they live in the string tables.
std::string objectLabel(int i, int j) {
  return "obj" + std::to_string(i) + "_entry" + std::to_string(j);
}
std::string memberLabel(int k, int j) {
  return "lib" + std::to_string(k) + "_entry" + std::to_string(j);
}

// One relocatable code section: label j on a RETURN at 6j, then a two-word
// CALL to targets[j] with its RELOCT_CALL and RELOCT_CALL2 records.
CoffBuilder codeObject(const std::string& file, int number,
                       const std::vector<std::string>& targets,
                       std::string (*label)(int, int)) {
  CoffBuilder b(file);
  b.processor(kProcessor, 8, 8);
  Bytes code;
  for (int j = 0; j < kLabels; ++j) {
    put(code, kReturn);
    put(code, kCallLow);
    put(code, kCallHigh);
  }
  b.section(".code", scnCode, 0, code);
  for (int j = 0; j < kLabels; ++j)
    b.externDef(label(number, j), 1, static_cast<std::uint32_t>(6 * j));
  for (int j = 0; j < kLabels; ++j) {
    const std::uint32_t ref = b.externRef(targets[j]);
    const auto at = static_cast<std::uint32_t>(6 * j + 2);
    b.relocation(".code", at, ref, kRelocCall);
    b.relocation(".code", at + 2, ref, kRelocCall2);
  }
  return b;
}

struct LinkWork {
  std::vector<std::string> objects;
  std::vector<std::string> members;
  std::uint64_t inputBytes = 0;
};

// Objects call labels of other objects spread over the whole set; the
// first members/2 objects also call member 2i, so half the library is
// imported (members call back into objects only, pulling in nothing more).
LinkWork makeLinkWork(const std::string& dir, int scale) {
  LinkWork w;
  const int n = kObjects * scale;
  const int m = kMembers * scale;
  for (int i = 0; i < n; ++i) {
    std::vector<std::string> targets;
    for (int j = 0; j < kLabels; ++j) {
      if (j == 0 && i < m / 2)
        targets.push_back(memberLabel(2 * i, 0));
      else
        targets.push_back(objectLabel((i + 1 + j * 79) % n, (j * 7) % kLabels));
    }
    w.objects.push_back(objectName(i));
    codeObject(objectName(i), i, targets, objectLabel).writeFile(dir + "/" + objectName(i));
  }
  for (int k = 0; k < m; ++k) {
    std::vector<std::string> targets;
    for (int j = 0; j < kLabels; ++j) targets.push_back(objectLabel((k * 3 + j * 83) % n, j));
    w.members.push_back(memberName(k));
    codeObject(memberName(k), k, targets, memberLabel).writeFile(dir + "/" + memberName(k));
  }
  std::string lkr =
      "// Synthetic link: one code page over the whole program memory.\n"
      "LIBPATH .\n"
      "CODEPAGE NAME=program START=0x0 END=0x" +
      [] {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%X", kProgramEnd);
        return std::string(buf);
      }() +
      "\n";
  for (std::size_t i = 0; i < w.objects.size(); i += 40) {
    lkr += "FILES";
    for (std::size_t k = i; k < std::min(w.objects.size(), i + 40); ++k) lkr += " " + w.objects[k];
    lkr += "\n";
  }
  lkr += "FILES members.lib\n";
  writeText(dir + "/link.lkr", lkr);
  return w;
}

// A linked CoreD executable: 64 KB sections of code at consecutive
// addresses, a label every 64 bytes, and a line record for every word from
// one source file per section (written too, and all of them listed).
void makeExecutable(const std::string& dir, const std::string& name, std::uint32_t bytes) {
  CoffBuilder b(name);
  b.processor(kProcessor, 8, 8);
  b.flags(kFileExecutable);
  const std::uint32_t chunk = 64 * 1024;
  const std::uint32_t sections = (bytes + chunk - 1) / chunk;
  std::vector<std::string> names;
  std::string raw;  // the program's bytes alone, for a converter of raw bytes
  for (std::uint32_t s = 0; s < sections; ++s) {
    const std::uint32_t size = std::min(chunk, bytes - s * chunk);
    Bytes code;
    for (std::uint32_t a = 0; a < size; a += 2)
      put(code, static_cast<std::uint16_t>((a & 0x3F) == 0x3E ? kReturn : 0x0E00 | (a & 0xFF)));
    names.push_back(".code" + std::to_string(s));
    raw.append(code.begin(), code.end());
    b.section(names.back(), scnCode, s * chunk, code, kScnAbsolute);
  }
  writeText(dir + "/" + name.substr(0, name.rfind('.')) + ".bin", raw);
  for (std::uint32_t s = 0; s < sections; ++s) {
    const std::uint32_t size = std::min(chunk, bytes - s * chunk);
    const std::string source = "src" + std::to_string(s) + ".asm";
    const std::uint32_t file = b.file(source);
    std::string text;
    for (std::uint32_t a = 0; a < size; a += 2) {
      if ((a & 0x3F) == 0) {
        const std::string label = "s" + std::to_string(s) + "_" + std::to_string(a);
        b.label(label, static_cast<std::int16_t>(s + 1), s * chunk + a);
        text += label + "\n";
      }
      b.lineNumber(names[s], file, static_cast<std::uint16_t>(a / 2 + 1), s * chunk + a);
      text += "        instruction " + std::to_string(a / 2) + "\n";
    }
    // Each file's symbols end with its ".eof", or the listing takes every
    // line record for the first file's.
    b.symbol(".eof", 0, kScnNumDebug, kClassFile);
    writeText(dir + "/" + source, text);
  }
  b.writeFile(dir + "/" + name);
}

// ---------------------------------------------------------------- running

// The programs are started by a launcher process forked before any work
// is generated: a child's peak memory starts from the memory of the process
// it was forked from, so forking from the small launcher keeps the baseline
// small and the same for every run.
struct Reply {
  double seconds;
  double userSeconds;
  double systemSeconds;
  long maxRssKb;
  int status;
  bool timedOut;
};

int gRequests = -1;  // to the launcher
int gReplies = -1;

bool readAll(int fd, void* data, std::size_t size) {
  auto* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = read(fd, p, size);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool writeAll(int fd, const void* data, std::size_t size) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(fd, p, size);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// A request: the count of strings, then each as its length and bytes:
// time limit in milliseconds (0 for none), directory, log file, program,
// arguments.
bool readRequest(int fd, std::vector<std::string>& strings) {
  std::uint32_t count = 0;
  if (!readAll(fd, &count, sizeof count)) return false;
  strings.assign(count, std::string());
  for (std::string& text : strings) {
    std::uint32_t length = 0;
    if (!readAll(fd, &length, sizeof length)) return false;
    text.resize(length);
    if (length > 0 && !readAll(fd, text.data(), length)) return false;
  }
  return true;
}

// Waits for the child; past the limit (when there is one) kills it.
bool waitFor(pid_t pid, long limitMs, const sigset_t& childSignal, int& status,
             struct rusage& usage, bool& timedOut) {
  timedOut = false;
  if (limitMs <= 0) return wait4(pid, &status, 0, &usage) == pid;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  for (;;) {
    const pid_t done = wait4(pid, &status, WNOHANG, &usage);
    if (done == pid) return true;
    if (done < 0) return false;
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) {
      kill(pid, SIGKILL);
      timedOut = true;
      return wait4(pid, &status, 0, &usage) == pid;
    }
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    const struct timespec wait = {static_cast<time_t>(ns / 1000000000),
                                  static_cast<long>(ns % 1000000000)};
    sigtimedwait(&childSignal, nullptr, &wait);  // woken by the child's end
  }
}

[[noreturn]] void launcher(int requests, int replies) {
  // SIGCHLD stays pending while blocked, so a wait with a limit wakes
  // when the child ends instead of polling.
  sigset_t childSignal;
  sigemptyset(&childSignal);
  sigaddset(&childSignal, SIGCHLD);
  sigprocmask(SIG_BLOCK, &childSignal, nullptr);
  std::vector<std::string> strings;
  while (readRequest(requests, strings)) {
    Reply reply{0, 0, 0, 0, 127, false};
    if (strings.size() >= 4) {
      const long limitMs = std::atol(strings[0].c_str());
      std::vector<char*> argv;
      for (std::size_t i = 3; i < strings.size(); ++i) argv.push_back(strings[i].data());
      argv.push_back(nullptr);
      const auto begin = std::chrono::steady_clock::now();
      const pid_t pid = fork();
      if (pid == 0) {
        sigprocmask(SIG_UNBLOCK, &childSignal, nullptr);
        const int fd = open(strings[2].c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (fd < 0 || chdir(strings[1].c_str()) != 0) _exit(127);
        dup2(fd, 1);
        dup2(fd, 2);
        close(fd);
        execv(argv[0], argv.data());
        _exit(127);
      }
      int status = 0;
      struct rusage usage;
      bool timedOut = false;
      if (pid > 0 && waitFor(pid, limitMs, childSignal, status, usage, timedOut)) {
        const auto end = std::chrono::steady_clock::now();
        reply.timedOut = timedOut;
        reply.seconds = std::chrono::duration<double>(end - begin).count();
        reply.userSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6;
        reply.systemSeconds = usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
        reply.maxRssKb = usage.ru_maxrss;
        reply.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
    }
    if (!writeAll(replies, &reply, sizeof reply)) break;
  }
  _exit(0);
}

void startLauncher() {
  int requests[2], replies[2];
  if (pipe(requests) != 0 || pipe(replies) != 0) fail("pipe failed");
  const pid_t pid = fork();
  if (pid < 0) fail("fork failed");
  if (pid == 0) {
    close(requests[1]);
    close(replies[0]);
    launcher(requests[0], replies[1]);
  }
  close(requests[0]);
  close(replies[1]);
  gRequests = requests[1];
  gReplies = replies[0];
}

struct Run {
  double seconds = 0;
  double userSeconds = 0;
  double systemSeconds = 0;
  long maxRssKb = 0;
  bool timedOut = false;
};

// Runs bin/tool with args in dir, output to dir/tool.log; fails the
// benchmark on an exit status other than the expected one (any when
// expected is negative). A run past limitMs (when not 0) is killed and
// comes back timed out.
Run runProgram(const std::string& program, const std::string& dir, const std::string& tool,
               const std::vector<std::string>& args, int expected = 0, long limitMs = 0) {
  const std::string log = dir + "/" + tool + ".log";
  std::vector<std::string> strings = {std::to_string(limitMs), dir, log, program};
  strings.insert(strings.end(), args.begin(), args.end());
  std::string request;
  auto put32 = [&request](std::uint32_t v) {
    request.append(reinterpret_cast<const char*>(&v), sizeof v);
  };
  put32(static_cast<std::uint32_t>(strings.size()));
  for (const std::string& text : strings) {
    put32(static_cast<std::uint32_t>(text.size()));
    request += text;
  }
  Reply reply;
  if (!writeAll(gRequests, request.data(), request.size()) ||
      !readAll(gReplies, &reply, sizeof reply))
    fail("the launcher stopped");
  if (reply.timedOut) return {reply.seconds, reply.userSeconds, reply.systemSeconds, 0, true};
  if (expected >= 0 && reply.status != expected) {
    std::string line = tool;
    for (const std::string& a : args) line += " " + a;
    fail(line + " in " + dir + " ended with status " + std::to_string(reply.status) + " (see " +
         log + ")");
  }
  return {reply.seconds, reply.userSeconds, reply.systemSeconds, reply.maxRssKb, false};
}

Run runTool(const std::string& bin, const std::string& dir, const std::string& tool,
            const std::vector<std::string>& args, int expected = 0, long limitMs = 0) {
  return runProgram(bin + "/" + tool, dir, tool, args, expected, limitMs);
}

struct Measurement {
  std::string tool;
  std::string work;
  int scale;
  double seconds;
  double userSeconds;    // of the fastest run
  double systemSeconds;  // of the fastest run
  long peakKb;           // above the baseline
  std::uint64_t inputBytes;
};

struct Bench {
  std::string bin;
  int runs = 5;
  std::vector<Measurement> results;

  long baselineKb(const std::string& dir, const std::string& tool) {
    long best = 0;
    for (int r = 0; r < runs; ++r) {
      const long kb = runTool(bin, dir, tool, {}, -1).maxRssKb;
      best = r == 0 ? kb : std::min(best, kb);
    }
    return best;
  }

  // The fastest of the runs, and the largest peak; prepare runs before each.
  template <class Prepare>
  void measure(const std::string& tool, const std::string& work, int scale,
               const std::string& dir, const std::vector<std::string>& args,
               std::uint64_t inputBytes, Prepare prepare) {
    const long base = baselineKb(dir, tool);
    Run best;
    long peak = 0;
    for (int r = 0; r < runs; ++r) {
      prepare();
      const Run run = runTool(bin, dir, tool, args);
      if (r == 0 || run.seconds < best.seconds) best = run;
      peak = std::max(peak, run.maxRssKb);
    }
    results.push_back({tool, work, scale, best.seconds, best.userSeconds, best.systemSeconds,
                       std::max(0L, peak - base), inputBytes});
    std::printf("  %-7s %-10s %dx  %8llu KB  %9.4f s  %7.3f s  %7.3f s  %8ld KB\n", tool.c_str(),
                work.c_str(), scale, static_cast<unsigned long long>(inputBytes / 1024),
                best.seconds, best.userSeconds, best.systemSeconds, results.back().peakKb);
    std::fflush(stdout);
  }
  void measure(const std::string& tool, const std::string& work, int scale,
               const std::string& dir, const std::vector<std::string>& args,
               std::uint64_t inputBytes = 0) {
    measure(tool, work, scale, dir, args, inputBytes, [] {});
  }

  const Measurement* find(const std::string& tool, const std::string& work, int scale) const {
    for (const Measurement& m : results)
      if (m.tool == tool && m.work == work && m.scale == scale) return &m;
    return nullptr;
  }
};

// ------------------------------------------------------------ comparisons

// One side of a comparison: a program (a path), its arguments, the
// directory it runs in and what is done before each run (untimed).
struct Side {
  std::string label;
  std::string program;
  std::string dir;
  std::vector<std::string> args;
  std::function<void()> prepare;
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Runs the two sides alternately, runs times each, and prints the medians
// of their wall times and the ratio a/b, with the goal it is held to.
bool compare(const std::string& work, const Side& a, const Side& b, int runs, double goal) {
  std::vector<double> ta, tb;
  for (int r = 0; r < runs; ++r) {
    for (const Side* side : {&a, &b}) {
      if (side->prepare) side->prepare();
      const std::string tool = side->program.substr(side->program.rfind('/') + 1);
      const Run run = runProgram(side->program, side->dir, tool, side->args);
      (side == &a ? ta : tb).push_back(run.seconds);
    }
  }
  const double ma = median(ta), mb = median(tb);
  const double ratio = mb > 0 ? ma / mb : 0;
  const bool ok = ratio <= goal;
  std::printf("  %-34s %-26s %8.4f s  %8.4f s  %5.2f  (at most %.0f) %s\n", work.c_str(),
              (a.label + " / " + b.label).c_str(), ma, mb, ratio, goal, ok ? "ok" : "MISSED");
  std::fflush(stdout);
  return ok;
}

// The path of a program found on PATH, or an empty text.
std::string onPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string rest = path ? path : "/usr/bin:/bin";
  for (std::size_t from = 0; from <= rest.size();) {
    std::size_t end = rest.find(':', from);
    if (end == std::string::npos) end = rest.size();
    const std::string candidate =
        (end > from ? rest.substr(from, end - from) : std::string(".")) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    from = end + 1;
  }
  return std::string();
}

void removeTree(const std::string& dir) {
  const pid_t pid = fork();
  if (pid == 0) {
    execlp("rm", "rm", "-rf", dir.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  if (pid > 0) waitpid(pid, &status, 0);
}

// ---------------------------------------------------------------- scaling

// The scaling mode: each dimension of the work alone at n, 4n and 16n, and
// its growth from n to 16n, which must stay at or below 20 (linear, with
// room for the cache). A run past the time limit is stopped and shown as
// "> T s"; its growth is then at least the limit over the time at n.

constexpr double kScalingTarget = 20;

std::string hexText(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%X", v);
  return buf;
}

// The command file's head: LIBPATH and one CODEPAGE over the whole program
// memory.
std::string linkHead() {
  return "LIBPATH .\nCODEPAGE NAME=program START=0x0 END=" + hexText(kProgramEnd) + "\n";
}

// FILES lines of at most 40 names each.
std::string filesLines(const std::vector<std::string>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); i += 40) {
    text += "FILES";
    for (std::size_t k = i; k < std::min(names.size(), i + 40); ++k) text += " " + names[k];
    text += "\n";
  }
  return text;
}

// One object of count code sections of size bytes each: absolute ones 4
// bytes apart from address 0, or for the linker to place.
void codeSections(const std::string& dir, int count, std::uint32_t size, bool absolute) {
  CoffBuilder b("abs.o");
  b.processor(kProcessor, 8, 8);
  Bytes code;
  while (code.size() < size) put(code, kReturn);
  code.resize(size);
  for (int i = 0; i < count; ++i)
    b.section("a" + std::to_string(i), scnCode,
              absolute ? static_cast<std::uint32_t>(4 * i) : 0, code,
              absolute ? kScnAbsolute : 0);
  b.writeFile(dir + "/abs.o");
  writeText(dir + "/link.lkr", linkHead() + "FILES abs.o\n");
}

// A small object of one relocatable code section.
void smallObject(const std::string& dir, const std::string& name, const std::string& label) {
  CoffBuilder b(name);
  b.processor(kProcessor, 8, 8);
  Bytes code;
  put(code, kReturn);
  put(code, kReturn);
  b.section(".code", scnCode, 0, code);
  b.externDef(label, 1, 0);
  b.writeFile(dir + "/" + name);
}

// count CODEPAGEs of 512 bytes, and a 256-byte section for each.
void codePages(const std::string& dir, int count) {
  CoffBuilder b("pages.o");
  b.processor(kProcessor, 8, 8);
  Bytes code;
  while (code.size() < 256) put(code, kReturn);
  for (int i = 0; i < count; ++i) b.section("p" + std::to_string(i), scnCode, 0, code);
  b.writeFile(dir + "/pages.o");
  std::string lkr = "LIBPATH .\n";
  for (int i = 0; i < count; ++i) {
    const auto start = static_cast<std::uint32_t>(512 * i);
    lkr += "CODEPAGE NAME=page" + std::to_string(i) + " START=" + hexText(start) +
           " END=" + hexText(start + 511) + "\n";
  }
  writeText(dir + "/link.lkr", lkr + "FILES pages.o\n");
}

// count SECTION directives, each naming a section of the one object.
void sectionLines(const std::string& dir, int count) {
  smallObject(dir, "small.o", "entry");
  std::string lkr = linkHead();
  for (int i = 0; i < count; ++i)
    lkr += "SECTION NAME=s" + std::to_string(i) + " ROM=program\n";
  writeText(dir + "/link.lkr", lkr + "FILES small.o\n");
}

// count command files, each named by an INCLUDE line of the one the link
// reads.
void includedFiles(const std::string& dir, int count) {
  smallObject(dir, "small.o", "entry");
  std::string lkr = linkHead();
  for (int i = 0; i < count; ++i) {
    const std::string name = "inc" + std::to_string(i) + ".lkr";
    writeText(dir + "/" + name, "// " + std::to_string(i) + "\n");
    lkr += "INCLUDE " + name + "\n";
  }
  writeText(dir + "/link.lkr", lkr + "FILES small.o\n");
}

// count libraries of one member each, library i defining a label of its
// own; the object calls every label, so each pending name is looked up
// among all the libraries listed before the one that has it. The libraries
// are copies of one, the label's number written over (names of one length,
// so nothing else in the file moves).
std::string libraryLabel(int i) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "e%06d_entry", i);
  return buf;
}

void libraries(const std::string& dir, int count, const std::string& bin) {
  smallObject(dir, "member.o", libraryLabel(0));
  runTool(bin, dir, "kesvo", {"/q", "/c", "lib0.lib", "member.o"});
  const std::string bytes = [&dir] {
    std::ifstream in(dir + "/lib0.lib", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }();
  const std::string first = libraryLabel(0);
  std::vector<std::string> names = {"main.o"};
  for (int i = 0; i < count; ++i) {
    names.push_back("lib" + std::to_string(i) + ".lib");
    if (i == 0) continue;
    std::string copy = bytes;
    const std::string label = libraryLabel(i);
    for (std::size_t at = copy.find(first); at != std::string::npos; at = copy.find(first, at))
      copy.replace(at, label.size(), label);
    writeText(dir + "/" + names.back(), copy);
  }
  CoffBuilder b("main.o");
  b.processor(kProcessor, 8, 8);
  Bytes code;
  put(code, kReturn);
  for (int i = 0; i < count; ++i) {
    put(code, kCallLow);
    put(code, kCallHigh);
  }
  b.section(".code", scnCode, 0, code);
  for (int i = 0; i < count; ++i) {
    const std::uint32_t ref = b.externRef(libraryLabel(i));
    const auto at = static_cast<std::uint32_t>(2 + 4 * i);
    b.relocation(".code", at, ref, kRelocCall);
    b.relocation(".code", at + 2, ref, kRelocCall2);
  }
  b.writeFile(dir + "/main.o");
  writeText(dir + "/link.lkr", linkHead() + filesLines(names));
}

// count members for kesvo, each with a label of its own, and the library
// of them.
std::vector<std::string> members(const std::string& dir, int count, const std::string& bin) {
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) {
    names.push_back(memberName(i));
    smallObject(dir, names.back(), "member" + std::to_string(i) + "_entry");
  }
  std::vector<std::string> args = {"/q", "/c", "members.lib"};
  args.insert(args.end(), names.begin(), names.end());
  runTool(bin, dir, "kesvo", args);
  return names;
}

// A CoreD executable of bytes of code in one section from one source file,
// a label every labelStep bytes and a line record for every word; with
// lines false, code only.
void executable(const std::string& dir, const std::string& name, std::uint32_t bytes,
                std::uint32_t labelStep, bool lines) {
  CoffBuilder b(name);
  b.processor(kProcessor, 8, 8);
  b.flags(kFileExecutable);
  const std::uint32_t chunk = 64 * 1024;
  std::vector<std::string> names;
  for (std::uint32_t s = 0; s * chunk < bytes; ++s) {
    const std::uint32_t size = std::min(chunk, bytes - s * chunk);
    Bytes code;
    for (std::uint32_t a = 0; a < size; a += 2)
      put(code, static_cast<std::uint16_t>(a % labelStep == labelStep - 2 ? kReturn
                                                                           : 0x0E00 | (a & 0xFF)));
    names.push_back(".code" + std::to_string(s));
    b.section(names.back(), scnCode, s * chunk, code, kScnAbsolute);
  }
  if (lines) {
    const std::uint32_t file = b.file("main.asm");
    std::string text;
    for (std::uint32_t a = 0; a < bytes; a += 2) {
      const auto section = static_cast<std::int16_t>(a / chunk + 1);
      if (a % labelStep == 0) {
        const std::string label = "l" + std::to_string(a);
        b.label(label, section, a);
        text += label + "\n";
      }
      b.lineNumber(names[a / chunk], file, static_cast<std::uint16_t>(a / 2 + 1), a);
      text += "        instruction " + std::to_string(a / 2) + "\n";
    }
    b.symbol(".eof", 0, kScnNumDebug, kClassFile);
    writeText(dir + "/main.asm", text);
  }
  b.writeFile(dir + "/" + name);
}

// An executable of count two-word sections spread over the 64 KB windows
// up to the last one a COD file can address, each with a label and a line
// record: its COD file would need a directory block for every window and
// more, past what 16-bit block numbers reach.
void spreadExecutable(const std::string& dir, int count) {
  CoffBuilder b("spread.out");
  b.processor(kProcessor, 8, 8);
  b.flags(kFileExecutable);
  Bytes code;
  put(code, 0x0E00);
  put(code, kReturn);
  std::vector<std::uint32_t> addresses;
  for (int i = 0; i < count; ++i) {
    const auto window = static_cast<std::uint32_t>(std::uint64_t(65535) * (i + 1) / count);
    addresses.push_back(window << 16);
    b.section("w" + std::to_string(i), scnCode, addresses.back(), code, kScnAbsolute);
  }
  const std::uint32_t file = b.file("spread.asm");
  for (int i = 0; i < count; ++i) {
    b.label("w" + std::to_string(i) + "_entry", static_cast<std::int16_t>(i + 1), addresses[i]);
    b.lineNumber("w" + std::to_string(i), file, static_cast<std::uint16_t>(i % 60000 + 1),
                 addresses[i]);
  }
  b.symbol(".eof", 0, kScnNumDebug, kClassFile);
  b.writeFile(dir + "/spread.out");
}

// A link of objects: count objects of labels labels each, every label
// followed by calls CALLs (two relocations each) to labels of other
// objects.
void linkObjects(const std::string& dir, int count, int labels, int calls) {
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) {
    CoffBuilder b(objectName(i));
    b.processor(kProcessor, 8, 8);
    Bytes code;
    for (int j = 0; j < labels; ++j) {
      put(code, kReturn);
      for (int k = 0; k < calls; ++k) {
        put(code, kCallLow);
        put(code, kCallHigh);
      }
    }
    b.section(".code", scnCode, 0, code);
    const std::uint32_t step = 2 + 4 * static_cast<std::uint32_t>(calls);
    for (int j = 0; j < labels; ++j)
      b.externDef(objectLabel(i, j), 1, step * static_cast<std::uint32_t>(j));
    for (int j = 0; j < labels; ++j)
      for (int k = 0; k < calls; ++k) {
        const int target = (i + 1 + j * 79 + k * 13) % count;
        const std::uint32_t ref = b.externRef(objectLabel(target, (j + k) % labels));
        const std::uint32_t at =
            step * static_cast<std::uint32_t>(j) + 2 + 4 * static_cast<std::uint32_t>(k);
        b.relocation(".code", at, ref, kRelocCall);
        b.relocation(".code", at + 2, ref, kRelocCall2);
      }
    names.push_back(objectName(i));
    b.writeFile(dir + "/" + names.back());
  }
  writeText(dir + "/link.lkr", linkHead() + filesLines(names));
}

struct Dimension {
  std::string name;
  std::array<int, 3> counts;  // at n, 4n and 16n
  std::string tool;
  int expected;  // exit status
  // Writes the work for count into dir and returns the arguments.
  std::function<std::vector<std::string>(const std::string& dir, int count)> make;
  bool freshDirectory = false;  // each run in an empty directory "out"
};

// A dimension of the link: write makes the objects and the command file
// link.lkr for the count, and torvan links them with a map.
Dimension linkDimension(const std::string& name, std::array<int, 3> counts,
                        std::function<void(const std::string& dir, int count)> write) {
  return {name, counts, "torvan", 0, [write](const std::string& dir, int count) {
            write(dir, count);
            return std::vector<std::string>{"-q", "link.lkr", "-o", "link.out", "-m", "link.map"};
          }};
}

struct Timing {
  double seconds = 0;
  bool timedOut = false;
};

// The fastest of the runs; a run over a second, or one stopped, is not
// repeated.
Timing timeDimension(const std::string& bin, const std::string& dir, const Dimension& d,
                     const std::vector<std::string>& args, int runs, long limitMs) {
  Timing best;
  int used = 0;
  for (int r = 0; r < runs; ++r) {
    std::string where = dir;
    if (d.freshDirectory) {
      where = dir + "/out";
      std::rename(where.c_str(), (dir + "/used" + std::to_string(used++)).c_str());
      makeDir(where);
    }
    const Run run = runTool(bin, where, d.tool, args, d.expected, limitMs);
    if (run.timedOut) return {limitMs / 1000.0, true};
    if (r == 0 || run.seconds < best.seconds) best.seconds = run.seconds;
    if (run.seconds > 1) break;
  }
  return best;
}

int scalingMode(const std::string& bin, const std::string& work, int runs, long limitMs) {
  const std::vector<Dimension> dimensions = {
      linkDimension("link: objects", {1000, 4000, 16000},
                    [](const std::string& dir, int c) { linkObjects(dir, c, 2, 1); }),
      linkDimension("link: symbols", {20000, 80000, 320000},
                    [](const std::string& dir, int c) { linkObjects(dir, 10, c / 10, 0); }),
      linkDimension("link: relocations", {40000, 160000, 640000},
                    [](const std::string& dir, int c) { linkObjects(dir, 10, 10, c / 200); }),
      linkDimension("absolute sections", {1000, 4000, 16000},
                    [](const std::string& dir, int c) { codeSections(dir, c, 2, true); }),
      linkDimension("3-byte absolute sections", {1000, 4000, 16000},
                    [](const std::string& dir, int c) { codeSections(dir, c, 3, true); }),
      linkDimension("3-byte sections, placed", {1000, 4000, 16000},
                    [](const std::string& dir, int c) { codeSections(dir, c, 3, false); }),
      linkDimension("CODEPAGEs", {250, 1000, 4000},
                    [](const std::string& dir, int c) { codePages(dir, c); }),
      linkDimension("SECTION lines", {4000, 16000, 64000},
                    [](const std::string& dir, int c) { sectionLines(dir, c); }),
      linkDimension("INCLUDEd command files", {1000, 4000, 16000},
                    [](const std::string& dir, int c) { includedFiles(dir, c); }),
      linkDimension("libraries", {1000, 4000, 16000},
                    [&bin](const std::string& dir, int c) { libraries(dir, c, bin); }),
      {"kesvo /r all members", {1250, 5000, 20000}, "kesvo", 0,
       [&bin](const std::string& dir, int c) {
         std::vector<std::string> args = {"/q", "/r", "members.lib"};
         const std::vector<std::string> names = members(dir, c, bin);
         args.insert(args.end(), names.begin(), names.end());
         return args;
       }},
      {"kesvo /x all names", {1250, 5000, 20000}, "kesvo", 0,
       [&bin](const std::string& dir, int c) {
         std::vector<std::string> args = {"/q", "/x", "../members.lib"};
         const std::vector<std::string> names = members(dir, c, bin);
         args.insert(args.end(), names.begin(), names.end());
         return args;
       },
       true},
      {"listing: KB, label/8 B", {8, 32, 128}, "dralm", 0,
       [](const std::string& dir, int c) {
         executable(dir, "list.out", static_cast<std::uint32_t>(c) * 1024, 8, true);
         return std::vector<std::string>{"-q", "list.out"};
       }},
      {"COD refused: sections", {1000, 4000, 16000}, "dralm", 1,
       [](const std::string& dir, int c) {
         spreadExecutable(dir, c);
         return std::vector<std::string>{"-q", "spread.out"};
       }},
      {"ponzer /r ranges", {312, 1250, 5000}, "ponzer", 0,
       [](const std::string& dir, int c) {
         const std::uint32_t bytes = 2 << 20;  // a million words
         executable(dir, "image.out", bytes, 64, false);
         std::vector<std::string> args = {"/q"};
         const std::uint32_t step = bytes / static_cast<std::uint32_t>(c);
         for (std::uint32_t k = 0; k < static_cast<std::uint32_t>(c); ++k) {
           args.push_back("/r");
           args.push_back(hexText(k * step) + "-" + hexText(k * step + step / 2 - 1));
         }
         args.push_back("image.out");
         return args;
       }},
  };

  std::printf("Scaling: programs in %s, work in %s, fastest of %d runs, limit %.0f s\n\n",
              bin.c_str(), work.c_str(), runs, limitMs / 1000.0);
  std::printf("  %-26s %7s %7s %7s  %9s %9s %9s  %7s  %s\n", "dimension", "n", "4n", "16n",
              "n", "4n", "16n", "growth", "");
  std::fflush(stdout);
  bool met = true;
  int index = 0;
  for (const Dimension& d : dimensions) {
    Timing t[3];
    const std::array<int, 3>& counts = d.counts;
    for (int k = 0; k < 3; ++k) {
      const std::string dir =
          work + "/s" + std::to_string(index) + "_" + std::to_string(counts[k]);
      makeDir(dir);
      const std::vector<std::string> args = d.make(dir, counts[k]);
      t[k] = timeDimension(bin, dir, d, args, runs, limitMs);
    }
    auto cell = [](const Timing& x) {
      char buf[32];
      if (x.timedOut)
        std::snprintf(buf, sizeof buf, "> %.0f s", x.seconds);
      else
        std::snprintf(buf, sizeof buf, "%.4f s", x.seconds);
      return std::string(buf);
    };
    const double growth = t[2].seconds / std::max(t[0].seconds, 1e-6);
    const bool ok = !t[2].timedOut && growth <= kScalingTarget;
    met = met && ok;
    char growthText[32];
    std::snprintf(growthText, sizeof growthText, "%s%.1f", t[2].timedOut ? "> " : "", growth);
    std::printf("  %-26s %7d %7d %7d  %9s %9s %9s  %7s  %s\n", d.name.c_str(), counts[0],
                counts[1], counts[2], cell(t[0]).c_str(), cell(t[1]).c_str(),
                cell(t[2]).c_str(), growthText, ok ? "ok" : "over");
    std::fflush(stdout);
    ++index;
  }
  std::printf("\nTarget: growth 16n/n at most %.0f in every dimension: %s\n", kScalingTarget,
              met ? "met" : "MISSED");
  return met ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  startLauncher();
  std::string bin = TOOL_BIN_DIR_DEFAULT;
  std::string work;
  int runs = 0;  // 5, or 3 when scaling
  bool keep = false;
  bool scaling = false;
  long limitMs = 10000;
  std::string oldDralm;  // another build's dralm, to compare with
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--scaling") {
      scaling = true;
    } else if (a == "-t" && i + 1 < argc) {
      limitMs = std::max(1L, std::atol(argv[++i])) * 1000;
    } else if (a == "-b" && i + 1 < argc) {
      bin = argv[++i];
    } else if (a == "-w" && i + 1 < argc) {
      work = argv[++i];
      keep = true;
    } else if (a == "-r" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (a == "-k") {
      keep = true;
    } else if (a == "--old-dralm" && i + 1 < argc) {
      oldDralm = argv[++i];
    } else {
      std::fprintf(stderr,
                   "Usage: toolchain_bench [--scaling [-t seconds]] [-b bin-dir] [-w work-dir] "
                   "[-r runs] [-k] [--old-dralm path]\n");
      return 2;
    }
  }
  if (runs == 0) runs = scaling ? 3 : 5;
  if (work.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/toolchain_bench.XXXXXX";
    if (!mkdtemp(pattern.data())) fail("cannot create a scratch directory");
    work = pattern;
  } else {
    makeDir(work);
  }
  char absolute[4096];
  if (!realpath(work.c_str(), absolute)) fail("cannot resolve " + work);
  work = absolute;
  if (realpath(bin.c_str(), absolute)) bin = absolute;
  if (!oldDralm.empty() && realpath(oldDralm.c_str(), absolute)) oldDralm = absolute;

  if (scaling) {
    const int status = scalingMode(bin, work, runs, limitMs);
    if (!keep) removeTree(work);
    return status;
  }

  Bench bench;
  bench.bin = bin;
  bench.runs = runs;
  std::printf("Tool chain benchmark: programs in %s, work in %s, fastest of %d runs\n\n",
              bin.c_str(), work.c_str(), runs);
  std::printf("  %-7s %-10s %-2s  %11s  %11s  %9s  %9s  %11s\n", "tool", "work", "", "input",
              "wall time", "user", "system", "peak memory");

  for (int scale : kScales) {
    const std::string dir = work + "/x" + std::to_string(scale);
    makeDir(dir);

    // The link.
    const LinkWork link = makeLinkWork(dir, scale);
    std::vector<std::string> libArgs = {"/q", "/c", "members.lib"};
    libArgs.insert(libArgs.end(), link.members.begin(), link.members.end());
    runTool(bin, dir, "kesvo", libArgs);
    std::uint64_t inputs = fileSize(dir + "/link.lkr") + fileSize(dir + "/members.lib");
    for (const std::string& o : link.objects) inputs += fileSize(dir + "/" + o);
    bench.measure("torvan", "link", scale, dir,
                  {"-q", "link.lkr", "-o", "link.out", "-m", "link.map"}, inputs);

    // The librarian, on the first objects of the link.
    std::vector<std::string> create = {"/q", "/c", "bench.lib"};
    for (int i = 0; i < kLibMembers * scale; ++i) create.push_back(link.objects[i]);
    std::uint64_t members = 0;
    for (std::size_t i = 3; i < create.size(); ++i) members += fileSize(dir + "/" + create[i]);
    bench.measure("kesvo", "create", scale, dir, create, members);
    const std::uint64_t library = fileSize(dir + "/bench.lib");
    // The listing is printed (into the run's log file), as a user sees it.
    bench.measure("kesvo", "list", scale, dir, {"/t", "bench.lib"}, library);
    // Extraction into an empty directory, and again over the files of the
    // run before. Each run's directory is moved aside rather than removed:
    // on some file systems creating files right after thousands were
    // removed costs time that grows with the count removed, which would be
    // the benchmark's doing, not the librarian's.
    const std::string out = dir + "/extract";
    makeDir(out);
    int used = 0;
    bench.measure("kesvo", "extract", scale, out, {"/q", "/x", "../bench.lib"}, library,
                  [&out, &used, &dir] {
                    std::rename(out.c_str(), (dir + "/used" + std::to_string(used++)).c_str());
                    makeDir(out);
                  });
    bench.measure("kesvo", "re-extract", scale, out, {"/q", "/x", "../bench.lib"}, library);

    // The converters.
    const std::uint32_t code = kCodeBytes * scale;
    makeExecutable(dir, "code.out", code);
    bench.measure("ponzer", "INHX32", scale, dir, {"/q", "code.out"}, code);
    bench.measure("dralm", "COD", scale, dir, {"/q", "code.out"}, code);
    bench.measure("dralm", "COD -d", scale, dir, {"/q", "-d", "code.out"}, code);
    const std::uint32_t m8 = kInhx8mBytes * scale;
    const std::uint32_t s8 = kInhx8sBytes * scale;
    makeExecutable(dir, "small.out", m8);
    makeExecutable(dir, "split.out", s8);
    bench.measure("ponzer", "INHX8M", scale, dir, {"/q", "/a", "INHX8M", "small.out"}, m8);
    bench.measure("ponzer", "INHX8S", scale, dir, {"/q", "/a", "INHX8S", "split.out"}, s8);
  }

  // Side by side with the standard tools on the same work at 1x.
  const int compareRuns = 2 * runs + 1;
  std::printf("\nSide by side at 1x, alternating, median of %d runs each:\n\n", compareRuns);
  std::printf("  %-34s %-26s %10s  %10s  %5s\n", "work", "a / b", "a", "b", "a/b");
  bool sideBySide = true;
  {
    const std::string dir = work + "/x1";
    const std::string ar = onPath("ar");
    const std::string objcopy = onPath("objcopy");
    if (ar.empty()) {
      std::printf("  (ar not installed: its rows are skipped)\n");
    } else {
      std::vector<std::string> arCreate = {"rc", "bench.a"};
      for (int i = 0; i < kLibMembers; ++i) arCreate.push_back(objectName(i));
      runProgram(ar, dir, "ar", arCreate);
      sideBySide &= compare("list 1,000 members (printed)",
                            {"kesvo /t", bin + "/kesvo", dir, {"/t", "bench.lib"}, nullptr},
                            {"ar t", ar, dir, {"t", "bench.a"}, nullptr}, compareRuns, 1);
      // Each side extracts into an empty directory of its own, the one
      // before moved aside (see the extraction rows above).
      int used = 0;
      auto fresh = [&dir, &used](const std::string& out) {
        return [&dir, &used, out] {
          std::rename(out.c_str(), (dir + "/side" + std::to_string(used++)).c_str());
          makeDir(out);
        };
      };
      const std::string kx = dir + "/kx", ax = dir + "/ax";
      makeDir(kx);
      makeDir(ax);
      sideBySide &= compare(
          "extract 1,000 members, empty dir",
          {"kesvo /x", bin + "/kesvo", kx, {"/q", "/x", "../bench.lib"}, fresh(kx)},
          {"ar x", ar, ax, {"x", "../bench.a"}, fresh(ax)}, compareRuns, 1);
    }
    if (objcopy.empty()) {
      std::printf("  (objcopy not installed: its row is skipped)\n");
    } else {
      sideBySide &= compare("Intel HEX of 512 KB",
                            {"ponzer", bin + "/ponzer", dir, {"/q", "code.out"}, nullptr},
                            {"objcopy", objcopy, dir,
                             {"-I", "binary", "-O", "ihex", "code.bin", "code.ihex"}, nullptr},
                            compareRuns, 1);
    }
    if (oldDralm.empty()) {
      std::printf("  (no --old-dralm: the row against an older dralm is skipped)\n");
    } else {
      sideBySide &= compare("COD file alone, 512 KB",
                            {"dralm -d", bin + "/dralm", dir, {"/q", "-d", "code.out"}, nullptr},
                            {"older dralm -d", oldDralm, dir, {"/q", "-d", "code.out"}, nullptr},
                            compareRuns, 1);
    }
    sideBySide &= compare("COD + listing vs COD alone, 512 KB",
                          {"dralm", bin + "/dralm", dir, {"/q", "code.out"}, nullptr},
                          {"dralm -d", bin + "/dralm", dir, {"/q", "-d", "code.out"}, nullptr},
                          compareRuns, 4);
  }

  // Targets.
  std::printf("\nTargets:\n");
  bool met = true;
  auto sideNote = sideBySide ? "every side-by-side ratio at or under its goal"
                             : "a side-by-side ratio over its goal";
  std::printf("  [%s] %s\n", sideBySide ? "ok" : "MISSED", sideNote);
  met = met && sideBySide;
  auto check = [&met](bool ok, const std::string& text) {
    std::printf("  [%s] %s\n", ok ? "ok" : "MISSED", text.c_str());
    met = met && ok;
  };
  char line[256];
  const Measurement* link1 = bench.find("torvan", "link", 1);
  std::snprintf(line, sizeof line, "1x link in %.4f s (under 0.1 s)", link1->seconds);
  check(link1->seconds < 0.1, line);
  for (const Measurement& m : bench.results) {
    if (m.scale != 4) continue;
    const Measurement* one = bench.find(m.tool, m.work, 1);
    if (!one) continue;
    const double ratio = m.seconds / one->seconds;
    std::snprintf(line, sizeof line, "%s %s: 4x/1x time %.2f (at most 4.5)", m.tool.c_str(),
                  one->work.c_str(), ratio);
    check(ratio <= 4.5, line);
  }
  for (const Measurement& m : bench.results) {
    if (m.tool != "torvan") continue;
    const double ratio = m.peakKb * 1024.0 / static_cast<double>(m.inputBytes);
    std::snprintf(line, sizeof line,
                  "%dx link peak %ld KB over %llu KB of inputs: %.2f times (under 10)", m.scale,
                  m.peakKb, static_cast<unsigned long long>(m.inputBytes / 1024), ratio);
    check(ratio < 10, line);
  }
  if (!keep) removeTree(work);
  return met ? 0 : 1;
}
