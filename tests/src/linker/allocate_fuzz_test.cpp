// Section allocation inputs found by fuzzing.
#include <gtest/gtest.h>

#include <string>

#include "link_fixture.h"

using fixtures::CoffBuilder;
using linktest::LinkFixture;
using linktest::Phase;

namespace {

// Writes noname.o: a code section, then a section of type whose inline
// name starts with a zero byte, so that it reads back as the empty name
// (the builder writes an empty name as a string-table reference).
void writeUnnamed(LinkFixture& f, int type) {
  CoffBuilder b("noname.o");
  b.processor(0xB001, 14, 8);
  b.section(".code", scnCode, 0, {0x00, 0x00});
  if (type == scnUData)
    b.udata(".other", 4);
  else
    b.section(".other", type, 0, {0x05, 0x06});
  fixtures::Bytes bytes = b.bytes();
  const std::size_t secondName = 20 + 16 + 40;
  ASSERT_EQ(bytes[secondName + 1], 'o');
  bytes[secondName] = 0;
  f.file("noname.o", std::string(bytes.begin(), bytes.end()));
  ASSERT_TRUE(f.commands("FILES noname.o\n"
                         "CODEPAGE NAME=page START=0x0 END=0x7FF\n"
                         "DATABANK NAME=gpr0 START=0x20 END=0x6F\n"))
      << f.error();
}

// An unnamed initialised-data section reached an assertion while its ROM
// image ("_i", which names no image) was placed; an unnamed uninitialised
// one was placed into a range that then still counted as free, and loading
// it reached an assertion. No section without a name can be placed.
TEST(MapSectionsFuzz, UnnamedSectionsAreRefused) {
  for (int type : {scnCode, scnIData, scnUData, scnRomData}) {
    SCOPED_TRACE(type);
    LinkFixture f;
    writeUnnamed(f, type);
    EXPECT_FALSE(f.run(Phase::PatchSections));
    EXPECT_EQ(f.failedPhase(), Phase::MapSections);
    EXPECT_EQ(f.error(),
              "section '' in file './noname.o' has no name, and the linker places sections by "
              "name.");
  }
}

}  // namespace
