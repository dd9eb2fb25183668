// The COFF reader and verifier on an object file image.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "coff.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::runInput([&] {
    const std::vector<unsigned char> bytes(data, data + size);
    std::unique_ptr<Coff> coff = Coff::make(bytes, 0, "fuzz.o");
    if (coff) coff->verify();
  });
  return 0;
}
