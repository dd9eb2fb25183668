#include "fuzz_support.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "diagnostics.h"
#include "platform.h"

namespace fuzzing {
namespace {

namespace fs = std::filesystem;

struct Scratch {
  std::string root;
  std::string work;
  std::string fixed;
  std::string home;  // the current directory outside runInput
};

void die(const char* what) {
  std::fprintf(stderr, "fuzz: %s\n", what);
  std::abort();
}

void unwindingExit(int status) {
  // An assertion exits with 255 like a fatal diagnostic, but no file
  // contents may ever reach one.
  if (platform::assertionFailures() != 0) die("assertion failed on this input");
  throw ExitUnwind{status};
}

void removeScratch();

Scratch& scratch() {
  static Scratch* s = [] {
    auto* made = new Scratch;
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/toolchain-fuzz.XXXXXX";
    if (!mkdtemp(pattern.data())) die("cannot make the scratch directory");
    made->root = pattern;
    made->work = made->root + "/work";
    made->fixed = made->root + "/fixed";
    std::error_code ec;
    fs::create_directory(made->work, ec);
    fs::create_directory(made->fixed, ec);
    char cwd[4096];
    made->home = getcwd(cwd, sizeof cwd) ? cwd : ".";
    platform::setExitFunction(unwindingExit);
    std::atexit(removeScratch);
    return made;
  }();
  return *s;
}

void removeScratch() {
  std::error_code ec;
  fs::remove_all(scratch().root, ec);
}

void writeBytes(const std::string& path, const char* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data, static_cast<std::streamsize>(size));
  out.close();
  if (!out) die("cannot write into the scratch directory");
}

}  // namespace

const std::string& workDir() { return scratch().work; }
const std::string& fixedDir() { return scratch().fixed; }

std::string writeWorkFile(const std::string& name, const std::uint8_t* data, std::size_t size) {
  const std::string path = workDir() + "/" + name;
  writeBytes(path, reinterpret_cast<const char*>(data), size);
  return path;
}

void writeWorkFiles(const std::string& firstName, const std::uint8_t* data, std::size_t size) {
  const char* const begin = reinterpret_cast<const char*>(data);
  const char* const end = begin + size;
  const std::size_t separator = std::strlen(kFileSeparator);
  auto next = [&](const char* from) {
    return std::search(from, end, kFileSeparator, kFileSeparator + separator);
  };
  const char* cut = next(begin);
  writeBytes(workDir() + "/" + firstName, begin, static_cast<std::size_t>(cut - begin));
  while (cut != end) {
    const char* name = cut + separator;
    const char* nameEnd = std::find(name, end, '\n');
    const char* body = nameEnd == end ? end : nameEnd + 1;
    cut = next(body);
    const std::string fileName(name, nameEnd);
    const bool plain =
        !fileName.empty() && fileName.size() <= 64 && fileName != "." && fileName != ".." &&
        fileName != firstName &&
        std::all_of(fileName.begin(), fileName.end(), [](char c) {
          return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '.' || c == '_' || c == '-';
        });
    if (plain) writeBytes(workDir() + "/" + fileName, body, static_cast<std::size_t>(cut - body));
  }
}

std::string writeFixedFile(const std::string& name, const std::string& text) {
  const std::string path = fixedDir() + "/" + name;
  writeBytes(path, text.data(), text.size());
  return path;
}

void beginInput() {
  Scratch& s = scratch();
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(s.work, ec)) fs::remove_all(e, ec);
  if (chdir(s.work.c_str()) != 0) die("cannot enter the work directory");
  resetDiagnostics();
  setQuiet(1);
}

void endInput() {
  if (chdir(scratch().home.c_str()) != 0) die("cannot leave the work directory");
  resetDiagnostics();
}

}  // namespace fuzzing
