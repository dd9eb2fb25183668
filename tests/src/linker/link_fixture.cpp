#include "link_fixture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "archive.h"
#include "parser.h"

namespace linktest {

namespace {

using Step = int (Linker::*)(String&);

struct PhaseRow {
  Phase phase;
  const char* name;
  Step step;
};

const PhaseRow kPhases[] = {
    {Phase::ReadObjectFiles, "readObjectFiles", &Linker::readObjectFiles},
    {Phase::ReadLibraryFiles, "readLibraryFiles", &Linker::readLibraryFiles},
    {Phase::ImportLibraryMembers, "importLibraryMembers", &Linker::importLibraryMembers},
    {Phase::VerifyProcessor, "verifyProcessor", &Linker::verifyProcessor},
    {Phase::BuildScnTables, "buildScnTables", &Linker::buildScnTables},
    {Phase::VerifyMemoryAttributes, "verifyMemoryAttributes", &Linker::verifyMemoryAttributes},
    {Phase::MapSections, "mapSections", &Linker::mapSections},
    {Phase::VerifyOutputScnCount, "verifyOutputScnCount", &Linker::verifyOutputScnCount},
    {Phase::LoadSections, "loadSections", &Linker::loadSections},
    {Phase::BuildInitTable, "buildInitTable", &Linker::buildInitTable},
    {Phase::RelocateSymbols, "relocateSymbols", &Linker::relocateSymbols},
    {Phase::RelocateLineInfo, "relocateLineInfo", &Linker::relocateLineInfo},
    {Phase::MergeStringTbls, "mergeStringTbls", &Linker::mergeStringTbls},
    {Phase::BuildExtSymDef, "buildExtSymDef", &Linker::buildExtSymDef},
    {Phase::ResolveExternals, "resolveExternals", &Linker::resolveExternals},
    {Phase::VerifyRelocations, "verifyRelocations", &Linker::verifyRelocations},
    {Phase::PatchSections, "patchSections", &Linker::patchSections},
};

int indexOf(Phase phase) { return static_cast<int>(phase); }

void makeParent(const std::string& path) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
}

}  // namespace

const char* phaseName(Phase phase) { return kPhases[indexOf(phase)].name; }

LinkFixture::LinkFixture(const std::string& tag) {
  char buf[4096];
  if (getcwd(buf, sizeof buf)) cOldDir = buf;
  cDir = testing_support::makeTempDir(tag);
  EXPECT_EQ(chdir(cDir.c_str()), 0);
  cScope = std::make_unique<testing_support::DiagnosticsScope>();
  cCapture = std::make_unique<testing_support::OutputCapture>();
  cLinker = std::make_unique<Linker>();
}

LinkFixture::~LinkFixture() {
  cLinker.reset();
  cCapture.reset();
  cScope.reset();
  if (!cOldDir.empty()) {
    EXPECT_EQ(chdir(cOldDir.c_str()), 0);
  }
  std::error_code ignored;
  std::filesystem::remove_all(cDir, ignored);
}

std::string LinkFixture::path(const std::string& relPath) const { return cDir + "/" + relPath; }

void LinkFixture::object(const std::string& relPath, const fixtures::CoffBuilder& b) const {
  makeParent(path(relPath));
  b.writeFile(path(relPath));
}

void LinkFixture::library(const std::string& relPath,
                          const std::vector<const fixtures::CoffBuilder*>& members) const {
  makeParent(path(relPath));
  Archive archive;
  archive.cFileName = path(relPath);
  for (const fixtures::CoffBuilder* b : members) {
    auto member = std::make_unique<Coff>(b->laidOut());
    member->cFileName = b->model().cFileName;
    archive.cMembers.push_back(std::move(member));
  }
  archive.makeSymbols();
  ASSERT_EQ(archive.write(), 1) << "library " << relPath << " not written";
}

void LinkFixture::file(const std::string& relPath, const std::string& bytes) const {
  makeParent(path(relPath));
  testing_support::writeFile(path(relPath), bytes);
}

bool LinkFixture::commands(const std::string& text, const std::string& name) {
  file(name, text);
  testing_support::ExitTrap trap;
  const std::string before = cCapture->text();
  Parser parser;
  try {
    parser.parseCommandFile(path(name), *cLinker);
  } catch (const testing_support::ProcessExit&) {
    cError = cCapture->text().substr(before.size());
    return false;
  }
  return true;
}

bool LinkFixture::runPhase(Phase phase) {
  cError.clear();
  if (!(cLinker.get()->*kPhases[indexOf(phase)].step)(cError)) {
    cFailed = phase;
    return false;
  }
  return true;
}

bool LinkFixture::run(Phase last) {
  for (; cNext <= indexOf(last); ++cNext) {
    if (!runPhase(kPhases[cNext].phase)) {
      ++cNext;
      return false;
    }
  }
  return true;
}

Memory* memoryOf(Linker& l, const String& secName) {
  auto& mem = LinkerTestAccess::scnMem(l);
  auto it = mem.find(secName);
  return it == mem.end() ? nullptr : it->second;
}

long long startOf(Linker& l, const String& secName) {
  Memory* m = memoryOf(l, secName);
  return m ? static_cast<long long>(m->getSecStart(secName)) : -1;
}

}  // namespace linktest
