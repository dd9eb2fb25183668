#include "replacement.h"

#include <fcntl.h>

#include <system_error>
#include <thread>

namespace replacement {

String directoryOf(const String& path) {
  std::size_t slash = path.rfind('/');
  if (slash == String::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

String baseOf(const String& path) {
  std::size_t slash = path.rfind('/');
  return slash == String::npos ? path : path.substr(slash + 1);
}

int resolveLinks(const String& path, String& target, struct stat& facts, bool& exists) {
  String current = path;
  for (int hops = 0; hops < 40; ++hops) {
    exists = lstat(current.c_str(), &facts) == 0;
    if (!exists || !S_ISLNK(facts.st_mode)) {
      target = current;
      return 1;
    }
    std::vector<char> buf(static_cast<std::size_t>(facts.st_size > 0 ? facts.st_size : 255) + 2);
    ssize_t n = readlink(current.c_str(), buf.data(), buf.size() - 1);
    if (n < 0 || static_cast<std::size_t>(n) >= buf.size() - 1) return 0;  // gone or changed
    String link(buf.data(), static_cast<std::size_t>(n));
    if (!link.empty() && link[0] != '/') link = directoryOf(current) + "/" + link;
    current = link;
  }
  return 0;
}

mode_t creationMode() {
  mode_t mask = umask(0);
  umask(mask);
  return static_cast<mode_t>(0666 & ~mask);
}

int holdForRelease(const String& path, const struct stat& facts) {
  constexpr off_t kLarge = off_t(1) << 20;
  // Most files replaced are small: those cost no system call here.
  if (!S_ISREG(facts.st_mode) || facts.st_size < kLarge) return -1;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < kLarge) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void releaseLater(int fd) {
  if (fd < 0) return;
  try {
    std::thread([fd] { ::close(fd); }).detach();
  } catch (const std::system_error&) {
    ::close(fd);
  }
}

}  // namespace replacement
