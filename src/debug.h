// Named on/off flags guarding trace output and dumps; all start off.
#pragma once

#include "diagnostics.h"

class DebugSwitch {
 public:
  explicit DebugSwitch(const String& name);
  DebugSwitch(const String& name, int value);
  int isOn() const;

 private:
  String cName;
};
