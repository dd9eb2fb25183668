// The linker command-file parser, handing its directives to a real linker.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz_support.h"
#include "linker.h"
#include "parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::runInput([&] {
    fuzzing::writeWorkFile("fuzz.lkr", data, size);
    auto linker = std::make_unique<Linker>();
    auto parser = std::make_unique<Parser>();
    // By name, so that it is found the way the command line finds it.
    parser->parseCommandFile("fuzz.lkr", *linker);
  });
  return 0;
}
