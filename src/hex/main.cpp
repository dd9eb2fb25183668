#include "converter.h"
#include "platform.h"

int main(int argc, char** argv) {
  platform::openStandardDescriptors();
  // No heap tuning: the converter holds a megabyte or two, where large
  // pages measured no gain.
  platform::installEndHandlers();
  return runHexConverter(argc, argv);
}
