// A whole dralm run on an executable: the COD file and the listing.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "coff.h"
#include "coff2cod.h"
#include "diagnostics.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::runInput([&] {
    fuzzing::writeWorkFile("fuzz.out", data, size);
    // The steps of the program's main, which ends through the exit instead.
    std::unique_ptr<Coff> coff = Coff::make("fuzz.out");
    if (!coff) return;
    auto cod = std::make_unique<Coff2Cod>();
    if (!cod->init(*coff, 60, false)) return;
    if (cod->preWrite()) cod->write();
  });
  return 0;
}
