// Reading input files whole: only regular files of a sensible size are
// read, and never past the size they had when opened.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform.h"
#include "support/harness.h"

namespace {

class WholeFileRead : public ::testing::Test {
 protected:
  void SetUp() override { cDir = testing_support::makeTempDir("platform"); }
  void TearDown() override { std::filesystem::remove_all(cDir); }
  std::string path(const std::string& name) const { return cDir + "/" + name; }
  std::string cDir;
};

TEST_F(WholeFileRead, RefusesAnythingButARegularFileOfASensibleSize) {
  testing_support::writeFile(path("plain.o"), "plain");
  ASSERT_EQ(symlink(path("plain.o").c_str(), path("link.o").c_str()), 0);
  ASSERT_EQ(symlink("/dev/zero", path("zero.o").c_str()), 0);
  ASSERT_EQ(mkfifo(path("fifo.o").c_str(), 0600), 0);
  std::filesystem::create_directory(path("dir.o"));
  testing_support::writeFile(path("empty.o"), "");
  {
    const int fd = open(path("huge.o").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, off_t(platform::kMaxInputSize) + 1), 0);
    close(fd);
  }
  {
    const int fd = open(path("largest.o").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 4096), 0);
    close(fd);
  }
  struct Case {
    const char* name;
    platform::ReadResult result;
    std::size_t size;
  } cases[] = {
      {"plain.o", platform::readDone, 5},
      {"link.o", platform::readDone, 5},  // a link to a regular file is that file
      {"empty.o", platform::readDone, 0},
      {"largest.o", platform::readDone, 4096},
      {"missing.o", platform::readNoFile, 0},
      {"zero.o", platform::readNoFile, 0},  // a link to a device
      {"fifo.o", platform::readNoFile, 0},  // no writer: refused, not waited on
      {"dir.o", platform::readNoFile, 0},
      {"huge.o", platform::readNoFile, 0},  // refused unread
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<unsigned char> bytes(3, 'x');
    EXPECT_EQ(platform::readWholeFile(path(c.name), bytes), c.result);
    EXPECT_EQ(bytes.size(), c.size);
    std::vector<unsigned char> again(3, 'x');
    platform::ReadResult result = platform::readFailed;
    EXPECT_EQ(platform::readRegularFile(path(c.name), again, result),
              c.result != platform::readNoFile);
    EXPECT_EQ(again.size(), c.size);
  }
  // A regular file whose read fails at once (a process's memory at
  // address 0): opened, nothing read, the failure told.
  std::vector<unsigned char> failing(3, 'x');
  EXPECT_EQ(platform::readWholeFile("/proc/self/mem", failing), platform::readFailed);
  EXPECT_TRUE(failing.empty());
  std::vector<unsigned char> device;
  EXPECT_EQ(platform::readWholeFile("/dev/zero", device), platform::readNoFile);
  EXPECT_TRUE(device.empty());
}

}  // namespace
