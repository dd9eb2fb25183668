#include "converter.h"
#include "platform.h"

int main(int argc, char** argv) {
  platform::openStandardDescriptors();
  platform::tuneHeapForShortRun();
  platform::installEndHandlers();
  return runHexConverter(argc, argv);
}
