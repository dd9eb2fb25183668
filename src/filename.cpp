#include "filename.h"

#include "platform.h"

namespace {
bool isSeparator(char c) { return c == '/' || c == '\\'; }
bool isAlnum(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}
char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

int DirInfo::dirExists() const { return platform::directoryExists(cPath); }

void DirInfo::print(std::ostream& os) const {
  os << "name()='" << name() << "' \n";
  os << "dirExists()=" << dirExists() << "\n";
}

FileName::FileName(const String& path) {
  size_t pos = 0;
  if (path.size() >= 2 && path[1] == ':') {
    cDrive = path.substr(0, 2);
    pos = 2;
  }
  size_t lastSep = String::npos;
  for (size_t i = pos; i < path.size(); ++i)
    if (isSeparator(path[i])) lastSep = i;
  size_t nameStart = pos;
  if (lastSep != String::npos) {
    cDir = path.substr(pos, lastSep + 1 - pos);
    nameStart = lastSep + 1;
  }
  String rest = path.substr(nameStart);
  size_t dot = rest.rfind('.');
  if (dot != String::npos) {
    cFname = rest.substr(0, dot);
    cExt = rest.substr(dot);
  } else {
    cFname = rest;
  }
}

int FileName::pathExists() const { return hasPath() && DirInfo(path()).dirExists() ? 1 : 0; }

int FileName::fileExists() const {
  if (!hasName()) return 0;
  return platform::fileExists(testedName());
}

void FileName::print(std::ostream& os) const {
  os << "path()='" << path() << "' \n";
  os << "name()='" << name() << "' \n";
  os << "ext()='" << ext() << "' \n";
  os << "fullName()='" << fullName() << "' \n";
  os << "hasName()=" << hasName() << "\n";
  os << "hasPath()=" << hasPath() << "\n";
  os << "pathExists()=" << pathExists() << "\n";
  os << "fileExists()=" << fileExists() << "\n";
}

int isValidFileName(const String& text) {
  String n = FileName(text).name();
  return !n.empty() && isAlnum(n[0]) ? 1 : 0;
}

int isAllDigits(const String& text) {
  if (text.empty()) return 0;
  for (char c : text)
    if (c < '0' || c > '9') return 0;
  return 1;
}

int isObjectFileName(const String& text) {
  FileName f(text);
  String n = f.name();
  String e = f.ext();
  if (n.size() < 3 || !isAlnum(n[0])) return 0;
  return e.size() == 2 && e[0] == '.' && lower(e[1]) == 'o' ? 1 : 0;
}
