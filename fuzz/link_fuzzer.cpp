// A whole link under a fixed command file: every phase, the executable and
// the map file. The input is the first object followed by a second object
// and a library (see fuzzing::writeWorkFiles and kLinkCommands), so the
// link resolves across files and imports library members.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "diagnostics.h"
#include "fuzz_support.h"
#include "link_commands.h"
#include "linker.h"
#include "parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string commands =
      fuzzing::writeFixedFile("fuzz_link.lkr", fuzzing::kLinkCommands);
  fuzzing::runInput([&] {
    fuzzing::writeWorkFiles("fuzz.o", data, size);
    auto linker = std::make_unique<Linker>();
    auto parser = std::make_unique<Parser>();
    String err;
    if (!parser->parseCommandFile(commands, *linker)) return;
    if (!linker->setOutputFile("fuzz.cof", err) || !linker->setMapFile("fuzz.map", err)) return;
    linker->link(err);
  });
  return 0;
}
