// A whole dralm run on an executable: the COD file and the listing. The
// input is the executable followed by the source files it names (see
// fuzzing::writeWorkFiles), so the listing reads sources, expands included
// files and follows the list control.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "coff.h"
#include "coff2cod.h"
#include "diagnostics.h"
#include "fuzz_support.h"

namespace {

// A COD file has a directory block, with tables of its own, for every
// 64 KB window of addresses up to the highest one a section reaches. A
// sound executable of a few hundred bytes can thus make a COD file of tens
// of megabytes; on a loaded machine one such input costs more than the
// fuzzer's time limit. Executables reaching past this many windows are
// left out: their cost is size, not new paths.
constexpr std::uint64_t kMaxWindows = 1024;

bool withinBound(const Coff& coff) {
  std::uint64_t windows = 0;
  for (const auto& section : coff.cScnHdr) {
    // Two bytes per address at most.
    const std::uint64_t end =
        2 * std::uint64_t{section.second.s_paddr} + section.second.s_size;
    windows = std::max(windows, (end >> 16) + 1);
  }
  return windows <= kMaxWindows;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::runInput([&] {
    fuzzing::writeWorkFiles("fuzz.out", data, size);
    // The steps of the program's main, which ends through the exit instead.
    std::unique_ptr<Coff> coff = Coff::make("fuzz.out");
    if (!coff || !withinBound(*coff)) return;
    auto cod = std::make_unique<Coff2Cod>();
    if (!cod->init(*coff, 60, false)) return;
    if (cod->preWrite()) cod->write();
  });
  return 0;
}
