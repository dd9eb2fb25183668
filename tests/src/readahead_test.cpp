#include "readahead.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/harness.h"

namespace {

using testing_support::makeTempDir;
using testing_support::writeFile;

// A list long enough for the threads to start, with files of every kind a
// command line may name among plain ones.
struct Inputs {
  std::vector<std::string> paths;
  std::string fifo;
};

Inputs makeInputs(const std::string& tag, std::size_t count) {
  const std::string dir = makeTempDir(tag);
  Inputs in;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string path = dir + "/f" + std::to_string(i) + ".o";
    switch (i % 10) {
      case 3: break;  // missing
      case 5: mkdir(path.c_str(), 0755); break;  // a directory
      case 7: writeFile(path, std::string()); break;  // empty
      default: writeFile(path, std::string(i * 37 % 5000 + 1, char('a' + i % 26)));
    }
    in.paths.push_back(path);
  }
  in.fifo = dir + "/pipe";
  mkfifo(in.fifo.c_str(), 0644);
  return in;
}

TEST(ReadAhead, GivesWhatAPlainReadGives) {
  const Inputs in = makeInputs("readahead", 100);
  for (std::size_t window : {std::size_t(1), std::size_t(7), std::size_t(256)}) {
    SCOPED_TRACE(window);
    ReadAhead files(in.paths, window);
    std::vector<unsigned char> got;
    std::vector<unsigned char> expected;
    for (std::size_t i = 0; i < in.paths.size(); ++i) {
      SCOPED_TRACE(in.paths[i]);
      const platform::ReadResult result = files.take(i, got);
      EXPECT_EQ(result, platform::readWholeFile(in.paths[i], expected));
      EXPECT_EQ(got, expected);
    }
  }
}

TEST(ReadAhead, ShortListsAreReadByTheCaller) {
  const Inputs in = makeInputs("readshort", 4);
  ReadAhead files(in.paths);
  EXPECT_EQ(files.threads(), 0u);
  std::vector<unsigned char> got;
  EXPECT_EQ(files.take(0, got), platform::readDone);
  EXPECT_EQ(got.size(), 1u);
  EXPECT_EQ(files.take(3, got), platform::readNoFile);  // skipping ahead reads in place
  EXPECT_EQ(files.take(9, got), platform::readNoFile);  // past the list
}

TEST(ReadAhead, LeftEarlyWithAPipeAhead) {
  // A link that stops early must not wait on the threads, even when a later
  // input is a pipe nobody writes to. Run in a child, so that a hang shows
  // as a failure instead of stopping the tests.
  Inputs in = makeInputs("readpipe", 40);
  in.paths[20] = in.fifo;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    {
      ReadAhead files(in.paths, 64);
      std::vector<unsigned char> got;
      for (std::size_t i = 0; i < 20; ++i) files.take(i, got);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the threads reach the pipe
    }
    _exit(0);
  }
  int status = 0;
  pid_t done = 0;
  for (int tries = 0; tries < 500 && done == 0; ++tries) {
    done = waitpid(child, &status, WNOHANG);
    if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (done == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    FAIL() << "the reader waited on the pipe";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
