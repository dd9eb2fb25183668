#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "link_fixture.h"

using fixtures::CoffBuilder;
using linktest::LinkFixture;
using linktest::Phase;

namespace {

CoffBuilder object(const std::string& name) {
  CoffBuilder b(name);
  b.processor(0xB001, 14, 8);
  b.section(".code", scnCode, 0, std::vector<unsigned char>(8, 0));
  return b;
}

// The table goes to a page of its own, so .code starts at 0x100.
const char* kMemories =
    "CODEPAGE NAME=page START=0x100 END=0x6FF\n"
    "CODEPAGE NAME=cin START=0x700 END=0x7FF PROTECTED\n"
    "SECTION NAME=.cinit ROM=cin\n"
    "DATABANK NAME=gpr START=0xA0 END=0xEF\n";

struct Outcome {
  bool ok = false;
  std::string error;
  std::map<std::string, std::uint32_t> values;  // by symbol name, b.o's records
};

// Links a.o and b.o through external resolution; each builder is shaped by
// its function. The values are those of b.o's symbols afterwards.
Outcome resolve(const std::function<void(CoffBuilder&)>& shapeA,
                const std::function<void(CoffBuilder&)>& shapeB, const std::string& extra) {
  LinkFixture f;
  CoffBuilder a = object("a.o");
  CoffBuilder b = object("b.o");
  shapeA(a);
  shapeB(b);
  f.object("a.o", a);
  f.object("b.o", b);
  Outcome out;
  if (!f.commands(std::string("FILES a.o b.o\n") + kMemories + extra)) {
    out.error = "commands refused: " + f.error();
    return out;
  }
  out.ok = f.run(Phase::ResolveExternals);
  out.error = f.error();
  const Coff& coff = *LinkerTestAccess::coffs(f.linker()).at(1);
  for (std::size_t i = 0; i < coff.cSymbolTbl.size(); ++i) {
    if (coff.cAuxKind[i] != auxNone) continue;
    const syment s = syment::decode(coff.cSymbolTbl[i]);
    out.values[coff.getName(s)] = s.n_value;
  }
  return out;
}

// A symbol whose name, short as it is, lives in the string table.
syment tableSpelt(CoffBuilder& b, const String& name, std::int16_t scnum, std::uint32_t value,
                  std::uint8_t sclass) {
  syment sym = b.makeSymbol(name, value, scnum, sclass);
  sym.set_n_offset(b.addString(name));
  return sym;
}

TEST(ResolveExternals, DefinitionsReferencesAndTheirMessages) {
  using Shape = std::function<void(CoffBuilder&)>;
  const Shape nothing = [](CoffBuilder&) {};
  struct Case {
    const char* what;
    Shape a, b;
    std::string commands;
    std::string error;  // empty: success
    std::map<std::string, std::uint32_t> values;
  };
  const std::vector<Case> cases = {
      {"reference takes the relocated definition of another file",
       [](CoffBuilder& a) { a.externDef("main", 1, 2); },
       [](CoffBuilder& b) { b.externRef("main"); },
       "",
       "",
       {{"main", 0x102}}},
      {"two definitions of main: the second file in input order",
       [](CoffBuilder& a) { a.externDef("main", 1, 0); },
       [](CoffBuilder& b) { b.externDef("main", 1, 0); },
       "",
       "symbol 'main' has multiple definitions.",
       {}},
      {"a static and an external of one name do not collide",
       [](CoffBuilder& a) { a.symbol("count", 1, 1, kClassStatic); },
       [](CoffBuilder& b) {
         b.externDef("count", 1, 3);
         b.externRef("count");
       },
       "",
       "",
       {{"count", 0x107}}},
      {"_stksize without STACK is unresolved",
       nothing,
       [](CoffBuilder& b) { b.externRef("_stksize"); },
       "",
       "could not resolve symbol '_stksize' in file './b.o'.",
       {}},
      {"the first unresolved reference only",
       [](CoffBuilder& a) { a.externRef("first"); },
       [](CoffBuilder& b) { b.externRef("second"); },
       "",
       "could not resolve symbol 'first' in file './a.o'.",
       {}},
      {"_stack and _stksize from the placed stack",
       nothing,
       [](CoffBuilder& b) {
         b.externRef("_stack");
         b.externRef("_stksize");
       },
       "STACK SIZE=0x40 RAM=gpr\n",
       "",
       {{"_stack", 0xA0}, {"_stksize", 0x40}}},
      {"_cinit is the start of the table",
       nothing,
       [](CoffBuilder& b) { b.externRef("_cinit"); },
       "",
       "",
       {{"_cinit", 0x700}}},
      {"an input defining _cinit",
       nothing,
       [](CoffBuilder& b) { b.externDef("_cinit", 1, 0); },
       "",
       "symbol '_cinit' has multiple definitions.",
       {}},
      {"an input defining _stack with a STACK directive",
       nothing,
       [](CoffBuilder& b) { b.externDef("_stack", 1, 0); },
       "STACK SIZE=0x10\n",
       "symbol '_stack' has multiple definitions.",
       {}},
      {"an input defining _stksize with a STACK directive",
       nothing,
       [](CoffBuilder& b) { b.externDef("_stksize", 1, 0); },
       "STACK SIZE=0x10\n",
       "symbol '_stksize' has multiple definitions.",
       {}},
      {"without STACK an input's _stack and _stksize are ordinary definitions",
       [](CoffBuilder& a) {
         a.externDef("_stack", 1, 2);
         a.externDef("_stksize", 1, 4);
       },
       [](CoffBuilder& b) {
         b.externRef("_stack");
         b.externRef("_stksize");
       },
       "",
       "",
       {{"_stack", 0x102}, {"_stksize", 0x104}}},
      {"a short name spelt through the string table meets its inline spelling",
       [](CoffBuilder& a) { a.rawRecord(tableSpelt(a, "main", 1, 2, kClassExternal).record()); },
       [](CoffBuilder& b) { b.externRef("main"); },
       "",
       "",
       {{"main", 0x102}}},
      {"and is a second definition of it",
       [](CoffBuilder& a) { a.externDef("main", 1, 0); },
       [](CoffBuilder& b) { b.rawRecord(tableSpelt(b, "main", 1, 0, kClassExternal).record()); },
       "",
       "symbol 'main' has multiple definitions.",
       {}},
      {"inline bytes after the first zero play no part",
       [](CoffBuilder& a) { a.externDef("main", 1, 2); },
       [](CoffBuilder& b) {
         syment ref = b.makeSymbol("main", 0, kScnNumUndefined, kClassExternal);
         ref.n_name[5] = 'x';
         b.rawRecord(ref.record());
       },
       "",
       "",
       {{"main", 0x102}}},
      {"long names are read through the merged table",
       [](CoffBuilder& a) { a.externDef("a_rather_long_name", 1, 1); },
       [](CoffBuilder& b) { b.externRef("a_rather_long_name"); },
       "",
       "",
       {{"a_rather_long_name", 0x101}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome out = resolve(c.a, c.b, c.commands);
    if (c.error.empty()) {
      ASSERT_TRUE(out.ok) << out.error;
      for (const auto& v : c.values) EXPECT_EQ(out.values.at(v.first), v.second) << v.first;
    } else {
      EXPECT_FALSE(out.ok);
      EXPECT_EQ(out.error, c.error);
    }
  }
}

// A reference changes only its value; the map names definitions by input
// position and record index.
TEST(ResolveExternals, ReferenceKeepsItsKindAndTheMapHoldsPositions) {
  LinkFixture f;
  CoffBuilder a = object("a.o");
  a.function("fn", 1, 4);
  const std::uint32_t def = a.externDef("main", 1, 0);
  CoffBuilder b = object("b.o");
  const std::uint32_t ref = b.symbol("main", 0, kScnNumUndefined, kClassExternal, kTypeFunction);
  f.object("a.o", a);
  f.object("b.o", b);
  ASSERT_TRUE(f.commands(std::string("FILES a.o b.o\n") + kMemories + "STACK SIZE=0x10\n"));
  ASSERT_TRUE(f.run(Phase::ResolveExternals)) << f.error();
  const syment s = syment::decode(LinkerTestAccess::coffs(f.linker())[1]->cSymbolTbl[ref]);
  EXPECT_EQ(s.n_value, 0x100u);
  EXPECT_EQ(s.n_scnum, kScnNumUndefined);
  EXPECT_EQ(s.n_sclass, kClassExternal);
  EXPECT_EQ(s.n_type, kTypeFunction);

  const auto& defs = LinkerTestAccess::extSymDef(f.linker());
  ASSERT_EQ(defs.size(), 5u);  // _cinit, _stack, _stksize, fn, main
  EXPECT_EQ(LinkerTestAccess::extSymDefOf(f.linker(), "main"),
            &LinkerTestAccess::coffs(f.linker())[0]->cSymbolTbl[def]);
  EXPECT_EQ(LinkerTestAccess::extSymDefOf(f.linker(), "_stack"),
            &LinkerTestAccess::stackSymbol(f.linker()));  // the linker's own
  const syment stack = syment::decode(LinkerTestAccess::stackSymbol(f.linker()));
  EXPECT_EQ(stack.n_sclass, kClassExternal);
  EXPECT_EQ(stack.n_scnum, kScnNumUndefined);
  EXPECT_EQ(stack.n_numaux, 0);
}

TEST(ResolveExternals, DefinitionFromALibraryMember) {
  LinkFixture f;
  CoffBuilder main = object("main.o");
  const std::uint32_t ref = main.externRef("helper");
  CoffBuilder member = object("helper.o");
  member.externDef("helper", 1, 1);
  f.object("main.o", main);
  f.library("libs/util.lib", {&member});
  ASSERT_TRUE(f.commands(std::string("LIBPATH libs\nFILES main.o util.lib\n") + kMemories));
  ASSERT_TRUE(f.run(Phase::ResolveExternals)) << f.error();
  ASSERT_EQ(LinkerTestAccess::coffs(f.linker()).size(), 2u);
  // The member's piece of .code follows main's four words.
  EXPECT_EQ(syment::decode(LinkerTestAccess::coffs(f.linker())[0]->cSymbolTbl[ref]).n_value,
            0x105u);
}

}  // namespace
