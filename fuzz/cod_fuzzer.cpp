// The COD reader and its dump.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <streambuf>

#include "cod.h"
#include "fuzz_support.h"

namespace {

// Takes everything and keeps nothing.
class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::runInput([&] {
    const std::string path = fuzzing::writeWorkFile("fuzz.cod", data, size);
    std::unique_ptr<Cod> cod = Cod::make(path);
    if (!cod) return;
    NullBuffer buffer;
    std::ostream sink(&buffer);
    cod->print(sink);
  });
  return 0;
}
