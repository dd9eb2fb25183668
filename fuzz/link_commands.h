// The command file of the link fuzz target, shared with the seed generator
// so the seed objects fit its memories: program memory with a reset vector
// and a filled page, two data banks with a common area, a stack; the input's
// two objects and its library.
#pragma once

namespace fuzzing {

inline constexpr const char* kLinkCommands =
    "LIBPATH    .\n"
    "CODEPAGE   NAME=vectors  START=0x0    END=0x3    PROTECTED\n"
    "CODEPAGE   NAME=page0    START=0x4    END=0x7FF  FILL=0x3FFF\n"
    "DATABANK   NAME=sfr0     START=0x0    END=0x1F   PROTECTED\n"
    "DATABANK   NAME=gpr0     START=0x20   END=0x6F\n"
    "DATABANK   NAME=sfr1     START=0x80   END=0x9F   PROTECTED\n"
    "DATABANK   NAME=gpr1     START=0xA0   END=0xEF\n"
    "SHAREBANK  NAME=common   START=0x70   END=0x7F\n"
    "SECTION    NAME=.reset   ROM=vectors\n"
    "STACK      SIZE=0x10     RAM=gpr1\n"
    "FILES      fuzz.o second.o\n"
    "FILES      fuzz.lib\n";

}  // namespace fuzzing
