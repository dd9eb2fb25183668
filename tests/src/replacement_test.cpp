// Holding a file that is about to be replaced, so that letting it go costs
// the writer nothing.
#include "replacement.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/harness.h"

using namespace testing_support;

namespace {

TEST(Replacement, OnlyALargeRegularFileIsHeldForRelease) {
  const std::string dir = makeTempDir("release");
  writeFile(dir + "/small", std::string(4096, 'x'));
  writeFile(dir + "/large", std::string(1u << 20, 'x'));
  ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink("large", (dir + "/link").c_str()), 0);
  struct Case {
    const char* name;
    bool held;
  };
  const Case cases[] = {
      {"large", true},  {"small", false}, {"fifo", false},
      {"link", false},  // callers hold the target a link leads to, never the link
      {"missing", false}, {"", false},   // the directory itself
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    // As callers do: the facts of the name, taken without following a link.
    struct stat facts {};
    lstat((dir + "/" + k.name).c_str(), &facts);
    const int fd = replacement::holdForRelease(dir + "/" + k.name, facts);
    EXPECT_EQ(fd >= 0, k.held);
    if (fd < 0) continue;
    // Held, the file outlives its name until released.
    ASSERT_EQ(unlink((dir + "/" + k.name).c_str()), 0);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(st.st_size, off_t(1) << 20);
    replacement::releaseLater(fd);
  }
  replacement::releaseLater(-1);  // nothing held, nothing done
}

}  // namespace
