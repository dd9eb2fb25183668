// A whole ponzer run on an executable, in each of the three formats.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "converter.h"
#include "fuzz_support.h"

namespace {

int runPonzer(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return runHexConverter(static_cast<int>(args.size()), argv.data());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  for (const char* format : {"INHX32", "INHX8M", "INHX8S"}) {
    fuzzing::runInput([&] {
      fuzzing::writeWorkFile("fuzz.out", data, size);
      runPonzer({"ponzer", "-q", "-a", format, "fuzz.out"});
    });
  }
  return 0;
}
