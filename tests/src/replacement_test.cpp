// Holding a file that is about to be replaced, so that letting it go costs
// the writer nothing.
#include "replacement.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "platform.h"
#include "support/harness.h"

using namespace testing_support;

namespace {

// The names in dir that begin with '.' ("." and ".." aside).
std::vector<std::string> hiddenIn(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  while (d) {
    const dirent* e = readdir(d);
    if (!e) break;
    const std::string name = e->d_name;
    if (name[0] == '.' && name != "." && name != "..") names.push_back(name);
  }
  if (d) closedir(d);
  return names;
}

mode_t modeOf(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

bool isLink(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Written, closed and committed: the new contents take the old file's place
// (through a link, keeping the link), with the old file's permission bits,
// or those of a plain create for a new file.
TEST(OutputFile, ACommittedFileReplacesTheOldOneKeepingItsMode) {
  const std::string dir = makeTempDir("output");
  writeFile(dir + "/old", "old contents");
  chmod((dir + "/old").c_str(), 0604);
  writeFile(dir + "/target", "old target");
  chmod((dir + "/target").c_str(), 0640);
  ASSERT_EQ(symlink("target", (dir + "/link").c_str()), 0);
  struct Case {
    const char* name;
    const char* changed;  // the file that gets the contents
    mode_t mode;
  };
  const Case cases[] = {
      {"old", "old", 0604},
      {"new", "new", replacement::creationMode()},
      {"link", "target", 0640},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    replacement::OutputFile out(dir + "/" + k.name);
    ASSERT_EQ(out.open(), 1);
    ASSERT_EQ(std::fputs("new contents", out.file()) >= 0, true);
    EXPECT_EQ(hiddenIn(dir).size(), 1u);
    ASSERT_EQ(out.close(), 1);
    ASSERT_EQ(out.commit(), 1);
    EXPECT_EQ(readFile(dir + "/" + k.changed), "new contents");
    EXPECT_EQ(modeOf(dir + "/" + k.changed), k.mode);
    EXPECT_TRUE(hiddenIn(dir).empty());
  }
  EXPECT_TRUE(isLink(dir + "/link"));
}

// How a file is before it is replaced, and what its mode becomes.
struct IdentityCase {
  const char* name;
  mode_t mode;       // before
  bool otherOwner;   // owned by kNobody before (root only)
  bool hardLink;     // a second name, "<name>.2", before
  bool viaDescriptor;
  mode_t expectedMode;
};

// Replaces dir/<k.name>, made as k says, and checks that it is still that
// file with the new contents.
void expectIdentityKept(const std::string& dir, const IdentityCase& k) {
  SCOPED_TRACE(k.name);
  const std::string path = dir + "/" + k.name;
  writeFile(path, "old contents");
  ASSERT_EQ(chmod(path.c_str(), k.mode), 0);
  if (k.otherOwner) {
    ASSERT_EQ(chown(path.c_str(), kNobody, kNobody), 0);
  }
  if (k.hardLink) {
    ASSERT_EQ(link(path.c_str(), (path + ".2").c_str()), 0);
  }
  struct stat before;
  ASSERT_EQ(stat(path.c_str(), &before), 0);
  int held = -1;
  std::string name = path;
  if (k.viaDescriptor) {
    held = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(held, 0);
    name = "/dev/fd/" + std::to_string(held);
  }
  {
    replacement::OutputFile out(name);
    ASSERT_EQ(out.open(), 1);
    std::fputs("new contents", out.file());
    ASSERT_EQ(out.close(), 1);
    ASSERT_EQ(out.commit(), 1);
  }
  if (held >= 0) ::close(held);
  struct stat after;
  ASSERT_EQ(stat(path.c_str(), &after), 0);
  EXPECT_EQ(readFile(path), "new contents");
  EXPECT_EQ(after.st_mode & 07777, k.expectedMode);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_gid, before.st_gid);
  EXPECT_EQ(after.st_nlink, before.st_nlink);
  if (k.hardLink) {
    EXPECT_EQ(readFile(path + ".2"), "new contents");
  }
  if (k.hardLink || k.viaDescriptor) {
    EXPECT_EQ(after.st_ino, before.st_ino);
  }
  EXPECT_TRUE(hiddenIn(dir).empty());
}

// A replaced file keeps what makes it that file: its other hard links see
// the new contents, its permission bits stay but for set-user-ID and
// set-group-ID; a name that stands for a descriptor is written in place,
// the file behind it keeping its inode.
TEST(OutputFile, AReplacedFileKeepsItsLinksAndModeLessSetId) {
  const std::string dir = makeTempDir("identity");
  const IdentityCase cases[] = {
      {"plain", 0640, false, false, false, 0640},
      {"setid", 04750, false, false, false, 0750},
      {"setgid", 02755, false, false, false, 0755},
      {"linked", 0644, false, true, false, 0644},
      {"descriptor", 0600, false, false, true, 0600},
  };
  for (const IdentityCase& k : cases) expectIdentityKept(dir, k);
}

// Run by root, a replaced file of another user stays that user's (and
// loses set-user-ID), with its hard links.
TEST(OutputFile, AReplacedFileOfAnotherUserKeepsItsOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "only root may give a file to another user";
  const std::string dir = makeTempDir("identity");
  const IdentityCase cases[] = {
      {"foreign", 04750, true, false, false, 0750},
      {"foreignlinked", 0640, true, true, false, 0640},
  };
  for (const IdentityCase& k : cases) expectIdentityKept(dir, k);
}

// Dropped before its commit, or refused at the open, an output changes
// nothing and leaves nothing behind.
TEST(OutputFile, AnUncommittedOrRefusedFileChangesNothing) {
  const std::string dir = makeTempDir("output");
  writeFile(dir + "/old", "old contents");
  {
    replacement::OutputFile out(dir + "/old");
    ASSERT_EQ(out.open(), 1);
    std::fputs("half of it", out.file());
  }
  {
    replacement::OutputFile out(dir + "/new");
    ASSERT_EQ(out.open(), 1);
    ASSERT_EQ(out.close(), 1);  // closed, never committed
  }
  EXPECT_EQ(readFile(dir + "/old"), "old contents");
  EXPECT_EQ(platform::fileExists(dir + "/new"), 0);
  EXPECT_TRUE(hiddenIn(dir).empty());

  ASSERT_EQ(symlink("loop", (dir + "/loop").c_str()), 0);
  EXPECT_EQ(replacement::OutputFile(dir + "/loop").open(), 0);
  EXPECT_EQ(replacement::OutputFile(dir + "/missing/file").open(), 0);
  EXPECT_EQ(readFile(dir + "/old"), "old contents");
  EXPECT_TRUE(hiddenIn(dir).empty());
}

// A file its user may not write stays as it is, though its directory would
// take a new one. Run as an ordinary user, whom the bits bind (root they
// would not).
TEST(OutputFile, AFileThatMayNotBeWrittenIsRefused) {
  const std::string dir = makeTempDir("readonly");
  writeFile(dir + "/old", "old contents");
  ASSERT_TRUE(giveToUnprivileged(dir));
  ASSERT_TRUE(giveToUnprivileged(dir + "/old"));
  ASSERT_EQ(chmod((dir + "/old").c_str(), 0444), 0);
  ChildLimits asUser;
  asUser.unprivileged = true;
  const ChildEnd end = runInChild(
      dir,
      [&] {
        replacement::OutputFile writable(dir + "/new");
        if (writable.open() != 1) return 1;  // the directory takes a new file
        return replacement::OutputFile(dir + "/old").open() == 0 ? 0 : 2;
      },
      asUser);
  EXPECT_EQ(end.status, 0) << end.output;
  EXPECT_EQ(readFile(dir + "/old"), "old contents");
  EXPECT_EQ(modeOf(dir + "/old"), 0444u);
  EXPECT_FALSE(platform::fileExists(dir + "/new"));
  EXPECT_TRUE(hiddenIn(dir).empty());
}

// A pipe or a device has no contents to lose: it is written in place,
// with no temporary file.
TEST(OutputFile, ADeviceOrAPipeIsWrittenInPlace) {
  const std::string dir = makeTempDir("output");
  ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
  const int reader = ::open((dir + "/fifo").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  replacement::OutputFile out(dir + "/fifo");
  ASSERT_EQ(out.open(), 1);
  std::fputs("through", out.file());
  EXPECT_TRUE(hiddenIn(dir).empty());
  EXPECT_EQ(out.close(), 1);
  EXPECT_EQ(out.commit(), 1);
  char buf[16] = {};
  EXPECT_EQ(::read(reader, buf, sizeof buf), 7);
  EXPECT_EQ(std::string(buf), "through");
  ::close(reader);

  replacement::OutputFile null("/dev/null");
  ASSERT_EQ(null.open(), 1);
  EXPECT_EQ(null.close(), 1);
  EXPECT_EQ(null.commit(), 1);
}

// The listed temporary files are what a signal (or an exit that unwinds
// nothing) removes; a committed or discarded one is no longer listed.
TEST(OutputFile, PendingTemporaryFilesAreRemovedOnRequest) {
  const std::string dir = makeTempDir("pending");
  replacement::TempFile kept(dir + "/kept");
  ASSERT_EQ(kept.open(), 1);
  ASSERT_EQ(kept.close(), 1);
  ASSERT_EQ(kept.commit(nullptr), 1);
  replacement::TempFile first(dir + "/first");
  replacement::TempFile second(dir + "/second");
  ASSERT_EQ(first.open(), 1);
  ASSERT_EQ(second.open(), 1);
  EXPECT_EQ(hiddenIn(dir).size(), 2u);
  replacement::removePending();
  EXPECT_TRUE(hiddenIn(dir).empty());
  EXPECT_EQ(platform::fileExists(dir + "/kept"), 1);
}

// Stands for a failed internal check in the signal table below.
constexpr int kFailedCheck = -1;

// In a child: a temporary file being written when a signal comes, when the
// process ends without unwinding, or when an internal check fails, is
// removed, and the signal still ends the process (a failed check ends it
// with status 255). (That an ignored signal stays ignored is seen in the
// programs' own runs, where the handlers are set up afresh.)
TEST(OutputFile, ASignalOrAnExitRemovesThePendingFile) {
  for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGXFSZ, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM,
                        SIGVTALRM, SIGPROF, SIGXCPU, SIGABRT, 0, kFailedCheck}) {
    SCOPED_TRACE(sig);
    // A signal this process was started to ignore is ignored by the child
    // too, handler or not.
    struct sigaction inherited {};
    if (sig > 0 && sigaction(sig, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN)
      continue;
    const std::string dir = makeTempDir("signal");
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // No core file from the signals that dump one, no report on the
      // test's own error stream.
      const struct rlimit noCore = {0, 0};
      setrlimit(RLIMIT_CORE, &noCore);
      const int quiet = ::open("/dev/null", O_WRONLY);
      if (quiet < 0 || dup2(quiet, 2) < 0) _exit(102);
      replacement::TempFile temp(dir + "/out");
      if (!temp.open()) _exit(100);
      std::fputs("half of it", temp.file());
      if (sig > 0) raise(sig);
      if (sig == kFailedCheck) {
        const int never = 0;
        TOOL_ASSERT(never == 1);
      }
      platform::exitProcess(5);
      _exit(101);
    }
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    if (sig > 0) {
      ASSERT_TRUE(WIFSIGNALED(st)) << st;
      EXPECT_EQ(WTERMSIG(st), sig);
    } else {
      ASSERT_TRUE(WIFEXITED(st)) << st;
      EXPECT_EQ(WEXITSTATUS(st), sig == kFailedCheck ? 255 : 5);
    }
    EXPECT_TRUE(hiddenIn(dir).empty());
    EXPECT_TRUE(directoryEntries(dir).empty());
  }
}

TEST(OutputFile, SameFileFollowsLinksAndPassesOverDevices) {
  const std::string dir = makeTempDir("same");
  writeFile(dir + "/a", "a");
  writeFile(dir + "/b", "b");
  ASSERT_EQ(symlink("a", (dir + "/link").c_str()), 0);
  ASSERT_EQ(link((dir + "/a").c_str(), (dir + "/hard").c_str()), 0);
  struct Case {
    std::string first, second;
    int same;
  };
  const Case cases[] = {
      {dir + "/a", dir + "/a", 1},       {dir + "/a", dir + "/./a", 1},
      {dir + "/a", dir + "/link", 1},    {dir + "/a", dir + "/hard", 1},
      {dir + "/a", dir + "/b", 0},       {dir + "/a", dir + "/missing", 0},
      {dir + "/missing", dir + "/missing", 1},
      {"/dev/null", "/dev/null", 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.first + " " + k.second);
    EXPECT_EQ(replacement::sameFile(k.first, k.second), k.same);
  }
}

}  // namespace
