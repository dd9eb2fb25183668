#include "debug.h"

#include <map>

namespace {
std::map<String, int>& registry() {
  static std::map<String, int> gDebugSwitches;
  return gDebugSwitches;
}
}  // namespace

DebugSwitch::DebugSwitch(const String& name) : cName(name) { registry().emplace(name, 0); }

DebugSwitch::DebugSwitch(const String& name, int value) : cName(name) { registry()[name] = value; }

int DebugSwitch::isOn() const { return registry()[cName]; }
