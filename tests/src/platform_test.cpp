// Reading input files whole or line by line: only regular files of a
// sensible size are read, and never past the size they had when opened.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <string_view>
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
    platform::LineReader lines;
    EXPECT_EQ(lines.open(path(c.name)), c.result != platform::readNoFile);
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

// Every line of path as the reader gives it, and whether a read failed.
std::vector<std::string> linesOf(const std::string& path, bool& failed) {
  std::vector<std::string> lines;
  platform::LineReader reader;
  failed = !reader.open(path);
  std::string_view line;
  while (!failed && reader.next(line)) lines.emplace_back(line);
  if (reader.failed()) failed = true;
  return lines;
}

// Lines split as the listing has always split them, wherever the reads
// of the file's chunks cut them.
TEST_F(WholeFileRead, LinesEndAtANewLineWithOneReturnBeforeItDropped) {
  const std::size_t chunk = platform::LineReader::kChunk;
  using Lines = std::vector<std::string>;
  struct Case {
    const char* name;
    std::string bytes;
    Lines lines;
  };
  std::vector<Case> cases = {
      {"empty", "", {}},
      {"no end", "one", {"one"}},
      {"ends", "one\ntwo\n", {"one", "two"}},
      {"empty lines", "\n\n", {"", ""}},
      {"returns", "one\r\ntwo\r\nlast\r", {"one", "two", "last"}},
      {"one return dropped", "one\r\r\n", {"one\r"}},
      {"return within", "o\rne\n\r", {"o\rne", ""}},
      {"nul bytes", std::string("a\0b\n\0", 5), {std::string("a\0b", 3), std::string(1, '\0')}},
      {"return ends a chunk", std::string(chunk - 1, 'x') + "\r\ny",
       {std::string(chunk - 1, 'x'), "y"}},
      {"chunk-long line", std::string(chunk, 'x') + "\ny\n", {std::string(chunk, 'x'), "y"}},
      {"chunk-long last line", "y\n" + std::string(chunk, 'x'), {"y", std::string(chunk, 'x')}},
  };
  // Lines longer than a chunk between short ones, the last without an end.
  Case mixed{"long and short", "", {}};
  for (std::size_t length : {std::size_t(3), chunk + 1, std::size_t(0), 3 * chunk + 5,
                             std::size_t(7), std::size_t(2), 2 * chunk - 1}) {
    mixed.lines.push_back(std::string(length, char('a' + mixed.lines.size())));
    mixed.bytes += mixed.lines.back() + "\n";
  }
  mixed.bytes.pop_back();
  cases.push_back(mixed);
  // Short lines across several chunks.
  Case many{"many short lines", "", {}};
  for (int i = 0; many.bytes.size() < 3 * chunk; ++i) {
    many.lines.push_back("line " + std::to_string(i));
    many.bytes += many.lines.back() + (i % 2 ? "\r\n" : "\n");
  }
  cases.push_back(many);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::writeFile(path("source.asm"), c.bytes);
    bool failed = true;
    EXPECT_EQ(linesOf(path("source.asm"), failed), c.lines);
    EXPECT_FALSE(failed);
  }
}

// A file that grows after it was opened is read as it was; one that
// shrinks ends early, its last line cut where the file now ends. A read
// that fails (a process's memory at address 0) is told, not taken for
// the end.
TEST_F(WholeFileRead, LinesAreReadUpToTheSizeTheFileHadWhenOpened) {
  struct Case {
    const char* name;
    std::string later;  // the file's bytes once opened
    std::vector<std::string> lines;
  } cases[] = {
      {"grown", "one\ntwo\nthree\n", {"one", "two"}},
      {"shrunk", "one\ntw", {"one", "tw"}},
      {"emptied", "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::writeFile(path("source.asm"), "one\ntwo\n");
    platform::LineReader reader;
    ASSERT_TRUE(reader.open(path("source.asm")));
    // Written in place: the open reader's file is the one changed.
    const int fd = open(path("source.asm").c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, c.later.data(), c.later.size()), ssize_t(c.later.size()));
    close(fd);
    std::vector<std::string> lines;
    std::string_view line;
    while (reader.next(line)) lines.emplace_back(line);
    EXPECT_EQ(lines, c.lines);
    EXPECT_FALSE(reader.failed());
  }
  platform::LineReader failing;
  ASSERT_TRUE(failing.open("/proc/self/mem"));
  std::string_view line;
  EXPECT_FALSE(failing.next(line));
  EXPECT_TRUE(failing.failed());
}

}  // namespace
