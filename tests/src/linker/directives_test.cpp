#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "linker.h"

namespace {

// One directive operation and what it must do: accept (empty expect) or
// refuse with exactly that message.
struct Step {
  std::string what;
  std::function<int(Linker&, String&)> apply;
  std::string expect;
};

Memory mem(const char* name, uint32_t start, uint32_t end, char type) {
  return Memory(name, start, end, type, 0, 0, "");
}

Step code(const char* name, uint32_t start, uint32_t end, std::string expect = "") {
  return {std::string("CODEPAGE ") + name,
          [=](Linker& l, String& e) { return l.addCodePage(mem(name, start, end, 0), e); }, expect};
}
Step data(const char* name, uint32_t start, uint32_t end, std::string expect = "") {
  return {std::string("DATABANK ") + name,
          [=](Linker& l, String& e) { return l.addDataBank(mem(name, start, end, 1), e); }, expect};
}
Step share(const char* name, uint32_t start, uint32_t end, std::string expect = "") {
  return {std::string("SHAREBANK ") + name,
          [=](Linker& l, String& e) { return l.addShareBank(mem(name, start, end, 1), e); },
          expect};
}
Step access(const char* name, uint32_t start, uint32_t end, std::string expect = "") {
  return {std::string("ACCESSBANK ") + name,
          [=](Linker& l, String& e) { return l.addAccessBank(mem(name, start, end, 1), e); },
          expect};
}
Step section(const char* name, const char* rom, const char* ram, std::string expect = "") {
  return {std::string("SECTION ") + name,
          [=](Linker& l, String& e) { return l.addSectionDesc(SectionDesc(name, rom, ram), e); },
          expect};
}
Step stack(uint32_t size, const char* ram, std::string expect = "") {
  return {"STACK", [=](Linker& l, String& e) { return l.setStackDesc(StackDesc(size, ram), e); },
          expect};
}
Step heap(uint32_t size, std::string expect = "") {
  return {"HEAP", [=](Linker& l, String& e) { return l.setMinHeapSize(size, e); }, expect};
}
Step object(const char* name, std::string expect = "") {
  return {std::string("object ") + name,
          [=](Linker& l, String& e) { return l.addObjectFile(name, e); }, expect};
}
Step library(const char* name, std::string expect = "") {
  return {std::string("library ") + name,
          [=](Linker& l, String& e) { return l.addLibraryFile(name, e); }, expect};
}
Step mapFile(const char* name, std::string expect = "") {
  return {std::string("map ") + name, [=](Linker& l, String& e) { return l.setMapFile(name, e); },
          expect};
}
Step outFile(const char* name, std::string expect = "") {
  return {std::string("output ") + name,
          [=](Linker& l, String& e) { return l.setOutputFile(name, e); }, expect};
}
Step libPath(const char* dir) {
  return {std::string("libpath ") + dir,
          [=](Linker& l, String& e) { return l.addLibPath(dir, e); }, ""};
}
Step strip(int flag) {
  return {"strip", [=](Linker& l, String& e) { return l.setStrip(flag, e); }, ""};
}

std::string dump(const Linker& l) {
  std::ostringstream os;
  l.print(os);
  return os.str();
}

struct Scenario {
  const char* name;
  std::vector<Step> steps;
};

std::vector<Scenario> scenarios() {
  return {
      {"heap_twice", {heap(32), heap(16, "multiple min heap sizes declared: '32', '16'")}},
      {"map_twice", {mapFile("a.map"), mapFile("b.map", "multiple map files declared: 'a.map', 'b.map'")}},
      {"output_twice",
       {outFile("a.out"), outFile("a.out", "multiple output files declared: 'a.out', 'a.out'")}},
      {"object_twice",
       {object("a.o"), object("./a.o"), object("a.o", "mutliple inclusion of object file 'a.o' ")}},
      {"library_twice",
       {library("x.lib"), library("X.lib"),
        library("x.lib", "mutliple inclusion of library file 'x.lib' ")}},
      {"codepages_side_by_side", {code("p", 0, 0x7FF), code("q", 0x800, 0xFFF)}},
      {"codepage_overlap_is_inclusive",
       {code("p", 0, 0x7FF), code("q", 0x7FF, 0xFFF, "memory 'q' overlaps memory 'p' ")}},
      {"codepage_overlap_names_first_in_order",
       {code("p", 0x100, 0x1FF), code("q", 0, 0xFF), code("r", 0x80, 0x180,
                                                          "memory 'r' overlaps memory 'p' ")}},
      {"codepage_over_several_names_the_first_declared",
       {code("p", 0x300, 0x3FF), code("q", 0x100, 0x1FF), code("r", 0x200, 0x2FF),
        code("w", 0x180, 0x380, "memory 'w' overlaps memory 'p' ")}},
      {"memories_without_locations_overlap_nothing",
       {code("e", 0x10, 0x0F), code("p", 0, 0xFF), data("f", 0x80, 0x7F), data("d", 0, 0xFF),
        share("g", 0x40, 0x3F)}},
      {"codepage_inside_another",
       {code("p", 0, 0xFFF), code("q", 0x10, 0x20, "memory 'q' overlaps memory 'p' ")}},
      {"duplicate_before_overlap",
       {code("p", 0, 0xFF), code("p", 0, 0xFF, "duplicate definition of memory 'p' ")}},
      {"code_and_data_are_separate_spaces",
       {code("p", 0, 0xFF), data("d", 0, 0xFF), share("s", 0, 0xF, "memory 's' overlaps memory 'd' ")}},
      {"data_named_like_codepage",
       {code("p", 0, 0xFF), data("p", 0x100, 0x1FF, "duplicate definition of memory 'p' ")}},
      {"codepage_named_like_accessbank",
       {access("a", 0, 0xF), code("a", 0, 0xFF, "duplicate definition of memory 'a' ")}},
      {"sharebank_repeats",
       {share("s", 0x70, 0x7F), share("s", 0xF0, 0xFF),
        share("s", 0x170, 0x17E, "inconsistent length definitions of SHAREBANK 's' ")}},
      {"sharebank_repeat_overlapping",
       {share("s", 0x70, 0x7F), share("s", 0x78, 0x87, "memory 's' overlaps memory 's' ")}},
      {"sharebank_length_checked_against_each",
       {share("s", 0x70, 0x7F), share("t", 0x80, 0x80), share("s", 0xF0, 0xFF),
        share("s", 0x170, 0x180, "inconsistent length definitions of SHAREBANK 's' ")}},
      {"databank_named_like_sharebank",
       {share("s", 0x70, 0x7F), data("s", 0, 0x1F, "duplicate definition of memory 's' ")}},
      {"sharebank_named_like_databank",
       {data("d", 0, 0x1F), share("d", 0x70, 0x7F, "duplicate definition of memory 'd' ")}},
      {"sharebank_named_like_accessbank",
       {access("a", 0, 0x1F), share("a", 0x70, 0x7F, "duplicate definition of memory 'a' ")}},
      {"accessbank_named_like_sharebank",
       {share("s", 0x70, 0x7F), access("s", 0, 0x1F, "duplicate definition of memory 's' ")}},
      {"data_overlap_order_data_share_access",
       {access("a", 0, 0xF), share("s", 0x10, 0x1F), data("d", 0x20, 0x2F),
        data("x", 0, 0x2F, "memory 'x' overlaps memory 'd' "),
        access("y", 0, 0x1F, "memory 'y' overlaps memory 's' "),
        share("z", 0, 0x3, "memory 'z' overlaps memory 'a' ")}},
      {"data_overlap_at_top_of_space",
       {data("d", 0xFFFFFF00u, 0xFFFFFFFFu),
        data("e", 0xFFFFFFFFu, 0xFFFFFFFFu, "memory 'e' overlaps memory 'd' ")}},
      {"section_memories",
       {code("p", 0, 0xFF), data("d", 0, 0xFF), access("a", 0x100, 0x10F),
        share("s", 0x200, 0x20F), section(".code", "p", ""), section(".udata", "", "d"),
        section(".acc", "", "a"), section(".shr", "", "s"), section(".both", "p", "d"),
        section(".none", "", "")}},
      {"section_rom_names_databank",
       {data("d", 0, 0xFF), section("s", "d", "", "undefined CODEPAGE 'd' for SECTION 's' ")}},
      {"section_ram_names_codepage",
       {code("p", 0, 0xFF),
        section("s", "", "p", "undefined DATABANK/SHAREBANK 'p' for SECTION 's' ")}},
      {"section_rom_checked_before_ram",
       {section("s", "x", "y", "undefined CODEPAGE 'x' for SECTION 's' ")}},
      {"section_twice",
       {code("p", 0, 0xFF), section("s", "p", ""),
        section("s", "nowhere", "", "duplicate definitions of SECTION 's' ")}},
      {"refused_section_leaves_its_name_free",
       {code("p", 0, 0xFF), section("s", "x", "", "undefined CODEPAGE 'x' for SECTION 's' "),
        section("s", "p", ""), section("s", "p", "", "duplicate definitions of SECTION 's' ")}},
      {"section_names_compared_exactly",
       {code("p", 0, 0xFF), section("s", "p", ""), section("S", "p", ""), section("s ", "p", ""),
        section("", "p", ""), section("", "p", "", "duplicate definitions of SECTION '' ")}},
      {"stack_memory_must_exist",
       {stack(0x40, "d", "undefined DATABANK/SHAREBANK 'd' for STACK. "), data("d", 0, 0xFF),
        stack(0x40, "d")}},
      {"stack_in_sharebank_or_accessbank", {access("a", 0, 0xF), stack(8, "a")}},
      {"stack_without_memory", {stack(0, "")}},
      {"stack_twice",
       {stack(0x40, ""), stack(0x40, "nowhere", "multiple STACK definitions ")}},
      {"stack_ram_names_codepage",
       {code("p", 0, 0xFF), stack(4, "p", "undefined DATABANK/SHAREBANK 'p' for STACK. ")}},
      {"paths_and_strip_always_accepted", {libPath("a"), libPath("a"), strip(1), strip(0)}},
  };
}

// Every step is checked on its own: an accepted one returns 1; a refused one
// returns 0, replaces whatever err held with its one message and leaves the
// linker exactly as it was.
TEST(LinkerDirectives, Scenarios) {
  for (const Scenario& s : scenarios()) {
    SCOPED_TRACE(s.name);
    Linker linker;
    for (const Step& step : s.steps) {
      SCOPED_TRACE(step.what);
      std::string before = dump(linker);
      String err = "stale text";
      int result = step.apply(linker, err);
      if (step.expect.empty()) {
        EXPECT_EQ(result, 1);
      } else {
        EXPECT_EQ(result, 0);
        EXPECT_EQ(err, step.expect);
        EXPECT_EQ(dump(linker), before);
      }
    }
  }
}

// Among many SECTION directives a repeat of any one is found, the first and
// the last as well as one in the middle, and refusing it changes nothing.
TEST(LinkerDirectives, RepeatedSectionFoundAmongMany) {
  Linker linker;
  String err;
  ASSERT_EQ(linker.addCodePage(mem("p", 0, 0xFF, 0), err), 1);
  const int kSections = 5000;
  for (int i = 0; i < kSections; ++i)
    ASSERT_EQ(linker.addSectionDesc(SectionDesc("s" + std::to_string(i), "p", ""), err), 1) << i;
  for (int i : {0, kSections / 2, kSections - 1}) {
    SCOPED_TRACE(i);
    const String name = "s" + std::to_string(i);
    err = "stale text";
    EXPECT_EQ(linker.addSectionDesc(SectionDesc(name, "p", ""), err), 0);
    EXPECT_EQ(err, "duplicate definitions of SECTION '" + name + "' ");
  }
  EXPECT_EQ(linker.getSectionDescs().size(), size_t(kSections));
  EXPECT_EQ(linker.addSectionDesc(SectionDesc("s" + std::to_string(kSections), "p", ""), err), 1);
}

TEST(LinkerDirectives, InitialState) {
  Linker linker;
  EXPECT_EQ(linker.minHeapSizeSet(), 0);
  EXPECT_EQ(linker.getMinHeapSize(), 32u);
  EXPECT_EQ(linker.stackDescSet(), 0);
  EXPECT_EQ(linker.getStackDesc().getSize(), 0u);
  EXPECT_EQ(linker.getStackDesc().getRunMemory(), "");
  EXPECT_EQ(linker.getMapFile(), "");
  EXPECT_EQ(linker.getOutputFile(), "");
  EXPECT_EQ(linker.getStrip(), 0);
  EXPECT_TRUE(linker.getCodePages().empty());
  EXPECT_TRUE(linker.getSectionDescs().empty());
}

TEST(LinkerDirectives, AcceptedValuesAreStoredInOrder) {
  Linker linker;
  String err;
  ASSERT_EQ(linker.setMinHeapSize(16, err), 1);
  ASSERT_EQ(linker.setMapFile("m.map", err), 1);
  ASSERT_EQ(linker.setOutputFile("o.out", err), 1);
  ASSERT_EQ(linker.addObjectFile("b.o", err), 1);
  ASSERT_EQ(linker.addObjectFile("a.o", err), 1);
  ASSERT_EQ(linker.addLibraryFile("z.lib", err), 1);
  ASSERT_EQ(linker.addLibPath("d2", err), 1);
  ASSERT_EQ(linker.addLibPath("d1", err), 1);
  ASSERT_EQ(linker.setStrip(1, err), 1);
  Memory page("p", 0, 0x7FF, 0, 1, 1, "0x3FFF");
  ASSERT_EQ(linker.addCodePage(page, err), 1);
  ASSERT_EQ(linker.addShareBank(Memory("s", 0x70, 0x7F, 1, 0, 0, ""), err), 1);
  ASSERT_EQ(linker.addShareBank(Memory("s", 0xF0, 0xFF, 1, 0, 0, ""), err), 1);
  ASSERT_EQ(linker.addSectionDesc(SectionDesc("z", "p", ""), err), 1);
  ASSERT_EQ(linker.addSectionDesc(SectionDesc("a", "p", "s"), err), 1);
  ASSERT_EQ(linker.setStackDesc(StackDesc(0x40, "s"), err), 1);
  EXPECT_EQ(err, "");

  EXPECT_EQ(linker.minHeapSizeSet(), 1);
  EXPECT_EQ(linker.getMinHeapSize(), 16u);
  EXPECT_EQ(linker.getMapFile(), "m.map");
  EXPECT_EQ(linker.getOutputFile(), "o.out");
  EXPECT_EQ(linker.getObjectFiles(), (std::list<String>{"b.o", "a.o"}));
  EXPECT_EQ(linker.getLibraryFiles(), (std::list<String>{"z.lib"}));
  EXPECT_EQ(linker.getLibPaths(), (std::list<String>{"d2", "d1"}));
  EXPECT_EQ(linker.getStrip(), 1);
  ASSERT_EQ(linker.getCodePages().size(), 1u);
  const Memory& stored = linker.getCodePages().front();
  EXPECT_EQ(stored.getName(), "p");
  EXPECT_EQ(stored.getEnd(), 0x7FFu);
  EXPECT_EQ(stored.isProtected(), 1);
  EXPECT_EQ(stored.getFill(), "0x3FFF");
  EXPECT_EQ(linker.getShareBanks().size(), 2u);
  std::vector<std::string> names;
  for (const SectionDesc& d : linker.getSectionDescs()) names.push_back(d.getName());
  EXPECT_EQ(names, (std::vector<std::string>{"z", "a"}));
  EXPECT_EQ(linker.stackDescSet(), 1);
  EXPECT_EQ(linker.getStackDesc().getSize(), 0x40u);
  EXPECT_EQ(linker.getStackDesc().getRunMemory(), "s");
}

TEST(LinkerDirectives, RecordsPrintThemselves) {
  std::ostringstream os;
  SectionDesc(".code", "page", "").print(os);
  StackDesc(0x40, "gpr0").print(os);
  EXPECT_EQ(os.str(),
            "SectionDesc:  cName=.code, cLoadMemory=page, cRunMemory=\n"
            "StackDesc:  cSize=0x00000040, cRunMemory=gpr0\n");
  EXPECT_TRUE(SectionDesc("a", "x", "") == SectionDesc("a", "", "y"));
  EXPECT_TRUE(SectionDesc("a", "", "") < SectionDesc("b", "", ""));
}

}  // namespace
