#include "converter.h"

int main(int argc, char** argv) { return runHexConverter(argc, argv); }
