// What every fuzz target shares: the exit function that unwinds back to the
// target, a scratch directory of this process for the files the tools read
// and write, and the reset of the diagnostics before each input.
//
//   extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
//     fuzzing::runInput([&] {
//       const std::string path = fuzzing::writeWorkFile("in.o", data, size);
//       std::unique_ptr<Coff> coff = Coff::make(path);
//       ...
//     });
//     return 0;
//   }
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace fuzzing {

// An input of several files: the first file's bytes, then for each further
// file this separator, its name, a new line and its bytes:
//   <first file>\n%%file main.asm\n<its text>\n%%file util.lib\n<its bytes>
inline constexpr char kFileSeparator[] = "\n%%file ";

// The input of the files, the first one's name left out (seed generator).
inline std::string joinFiles(const std::string& first,
                             const std::vector<std::pair<std::string, std::string>>& others) {
  std::string input = first;
  for (const auto& file : others) input += kFileSeparator + file.first + "\n" + file.second;
  return input;
}

// Writes the first file of the input as firstName and the others under
// their own names into the work directory. A name that is not a plain file
// name of letters, digits, '.', '_' and '-' (or is firstName) is passed
// over, so nothing is written outside the directory.
void writeWorkFiles(const std::string& firstName, const std::uint8_t* data, std::size_t size);

// Thrown by the installed exit function; runInput catches it.
struct ExitUnwind {
  int status;
};

// The directory that is the current directory while an input runs (emptied
// before each one), and one for files a target sets up once and keeps.
const std::string& workDir();
const std::string& fixedDir();

// Writes bytes into the work directory; returns the full path.
std::string writeWorkFile(const std::string& name, const std::uint8_t* data, std::size_t size);
// Writes text into the fixed directory; returns the full path.
std::string writeFixedFile(const std::string& name, const std::string& text);

// Runs body for one input: fresh quiet diagnostics, an empty work directory
// as the current directory, every exit of the tool chain unwound back here.
// Returns the exit status body ended with, or -1 when it returned. An
// assertion reached from the input aborts the process, so the fuzzer keeps
// the input as a crash.
void beginInput();
void endInput();
template <class Body>
int runInput(Body&& body) {
  beginInput();
  int status = -1;
  try {
    body();
  } catch (const ExitUnwind& e) {
    status = e.status;
  }
  endInput();
  return status;
}

}  // namespace fuzzing
