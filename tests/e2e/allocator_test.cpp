// The programs under another allocator than the C library's, as memory
// profilers and hardened systems preload one: every output must be what a
// plain run writes. A program that replaced only some forms of operator new
// and delete would hand blocks from one allocator to the other and crash.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "coff.h"
#include "fixtures/coff_builder.h"
#include "support/harness.h"

using fixtures::Bytes;
using fixtures::CoffBuilder;

namespace {

#if defined(__SANITIZE_ADDRESS__)
TEST(Allocator, PreloadedAllocatorWritesTheSameOutputs) {
  GTEST_SKIP() << "the sanitizer's allocator cannot be preloaded over";
}
#else
const char kPreloaded[] = "/usr/lib/x86_64-linux-gnu/libjemalloc.so.2";

constexpr std::uint32_t kProcessor = 0xD001;  // byte-addressed 16-bit core
constexpr std::uint16_t kRelocCall = 1;
constexpr std::uint16_t kRelocCall2 = 14;
constexpr int kObjects = 24;  // enough for the input read-ahead threads to work
constexpr int kMembers = 6;
constexpr int kLabels = 8;

std::string label(const std::string& file, int j) { return file + "_entry" + std::to_string(j); }

void put(Bytes& b, std::uint16_t w) {
  b.push_back(static_cast<unsigned char>(w & 0xFF));
  b.push_back(static_cast<unsigned char>(w >> 8));
}

// One code section: label j on a RETURN, then a two-word CALL to
// targets[j]; a line record per word from the file's own source.
void writeObject(const std::string& dir, const std::string& name,
                 const std::vector<std::string>& targets) {
  CoffBuilder b(name + ".o");
  b.processor(kProcessor, 8, 8);
  Bytes code;
  for (int j = 0; j < kLabels; ++j) {
    put(code, 0x0012);
    put(code, 0xEC00);
    put(code, 0xF000);
  }
  b.section(".code", scnCode, 0, code);
  const std::uint32_t file = b.file(name + ".asm");
  std::string source;
  for (int j = 0; j < kLabels; ++j) {
    b.externDef(label(name, j), 1, static_cast<std::uint32_t>(6 * j));
    for (int w = 0; w < 3; ++w) {
      const auto line = static_cast<std::uint16_t>(3 * j + w + 1);
      b.lineNumber(".code", file, line, static_cast<std::uint32_t>(6 * j + 2 * w));
      source += "        word " + std::to_string(line) + "\n";
    }
  }
  b.symbol(".eof", 0, kScnNumDebug, kClassFile);
  for (int j = 0; j < kLabels; ++j) {
    const std::uint32_t ref = b.externRef(targets[static_cast<std::size_t>(j)]);
    const auto at = static_cast<std::uint32_t>(6 * j + 2);
    b.relocation(".code", at, ref, kRelocCall);
    b.relocation(".code", at + 2, ref, kRelocCall2);
  }
  b.writeFile(dir + "/" + name + ".o");
  testing_support::writeFile(dir + "/" + name + ".asm", source);
}

// Objects calling one another and every other library member.
void writeInputs(const std::string& dir) {
  std::string lkr = "LIBPATH .\nCODEPAGE NAME=program START=0x0 END=0x1FFFFF\nFILES";
  for (int i = 0; i < kObjects; ++i) {
    std::vector<std::string> targets;
    for (int j = 0; j < kLabels; ++j) {
      if (j == 0 && i < kMembers)
        targets.push_back(label("m" + std::to_string(i - i % 2), 1));
      else
        targets.push_back(label("f" + std::to_string((i + 1 + 5 * j) % kObjects), j));
    }
    writeObject(dir, "f" + std::to_string(i), targets);
    lkr += " f" + std::to_string(i) + ".o";
  }
  for (int k = 0; k < kMembers; ++k) {
    std::vector<std::string> targets;
    for (int j = 0; j < kLabels; ++j) targets.push_back(label("f" + std::to_string(k + j), j));
    writeObject(dir, "m" + std::to_string(k), targets);
  }
  testing_support::writeFile(dir + "/link.lkr", lkr + "\nFILES members.lib\n");
}

// The outputs with their time stamps blanked.
std::string normalised(const std::string& path) {
  std::string bytes = testing_support::readFile(path);
  const std::string extension = std::filesystem::path(path).extension().string();
  if (extension == ".out" && bytes.size() >= 8) bytes.replace(4, 4, 4, '\0');
  if (extension == ".cod" && bytes.size() >= 330) bytes.replace(320, 10, 10, '\0');
  for (const char* stamped : {"Created", "Listing File Generated"}) {
    const std::size_t at = bytes.find(stamped);
    if ((extension == ".map" || extension == ".lst") && at != std::string::npos)
      bytes.erase(at, bytes.find('\n', at) - at);
  }
  return bytes;
}

// The chain in dir with the environment setting env added (none when
// empty); the printed output of every run, in order.
std::string runChain(const std::string& dir, const std::string& env) {
  std::string memberArgs;
  for (int k = 0; k < kMembers; ++k) memberArgs += " m" + std::to_string(k) + ".o";
  const std::vector<std::string> commands = {
      "kesvo /c members.lib" + memberArgs,
      "kesvo /t members.lib",
      "torvan link.lkr -o prog.out -m prog.map",
      "ponzer prog.out",
      "ponzer /a INHX8S /r 0x0-0x7f prog.out",
      "dralm prog.out",
  };
  testing_support::ChildLimits limits;
  limits.environment.push_back("TZ=UTC");
  if (!env.empty()) limits.environment.push_back(env);
  std::string printed;
  for (const std::string& command : commands) {
    std::vector<std::string> args = testing_support::splitWords(command);
    const std::string program = testing_support::toolPath(args.front());
    args.erase(args.begin());
    const testing_support::ChildEnd r = testing_support::runChild(dir, program, args, limits);
    EXPECT_EQ(r.status, 0) << env << " " << command << "\n" << r.output;
    printed += "== " + command + "\n" + r.output;
  }
  return printed;
}

TEST(Allocator, PreloadedAllocatorWritesTheSameOutputs) {
  ASSERT_TRUE(std::filesystem::exists(kPreloaded))
      << kPreloaded << " is missing (apt-get install libjemalloc2)";
  const std::string dir = testing_support::makeTempDir("allocator");
  const std::string plain = dir + "/plain";
  const std::string preloaded = dir + "/preloaded";
  for (const std::string& d : {plain, preloaded}) {
    std::filesystem::create_directory(d);
    writeInputs(d);
  }
  EXPECT_EQ(runChain(preloaded, std::string("LD_PRELOAD=") + kPreloaded), runChain(plain, ""));
  for (const char* output : {"prog.out", "prog.map", "prog.hex", "prog.hxl", "prog.hxh",
                             "prog.cod", "prog.lst"}) {
    SCOPED_TRACE(output);
    const std::string a = plain + "/" + output;
    ASSERT_TRUE(std::filesystem::exists(a));
    ASSERT_TRUE(std::filesystem::exists(preloaded + "/" + output));
    EXPECT_EQ(normalised(preloaded + "/" + output), normalised(a));
  }
  const std::string listing = testing_support::readFile(plain + "/prog.lst");
  EXPECT_NE(listing.find("word 24"), std::string::npos) << "the sources are listed";
  std::filesystem::remove_all(dir);
}
#endif

}  // namespace
