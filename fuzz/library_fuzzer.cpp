// The library reader: the archive, its members and the symbol index.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "archive.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::runInput([&] {
    const std::string path = fuzzing::writeWorkFile("fuzz.lib", data, size);
    std::unique_ptr<Archive> archive = Archive::make(path);
    if (!archive) return;
    // What the linker asks of a library.
    for (const auto& entry : archive->symbols()) {
      if (!archive->hasSymbol(entry.first)) continue;
      std::unique_ptr<Coff> member = archive->getMember(entry.first);
    }
  });
  return 0;
}
