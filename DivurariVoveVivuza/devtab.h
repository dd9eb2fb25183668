// Processor table: every processor the tools know, with its core family,
// model name, the processor code carried in object files, and the geometry
// of its program and data memory.
//
// All functions are pure. A ProcId outside 1 to 131 is an internal error: it
// fails TOOL_ASSERT and, should the exit function return, the lookup gives 0
// (a null pointer for procName). Callers get ids from procIdFromCoffType
// (after procIsKnownCoffType) or from procIdFromName.
#pragma once

#include <cstdint>

// Row number of the processor table, 1 to 131.
using ProcId = std::uint8_t;

// Core family: the key every instruction operation dispatches on.
using CoreFamily = std::uint8_t;
constexpr CoreFamily CoreB = 1;  // 14-bit words
constexpr CoreFamily CoreC = 2;  // 16-bit words
constexpr CoreFamily CoreA = 3;  // 12-bit words
constexpr CoreFamily CoreD = 4;  // 16-bit words, byte-addressed program memory

constexpr ProcId kProcIdFirst = 1;
constexpr ProcId kProcIdLast = 131;

CoreFamily procFamily(ProcId id);
// Upper-case model name owned by the table; never freed or changed.
const char* procName(ProcId id);
// Processor code of the COFF optional header (proc_type).
std::uint16_t procCoffType(ProcId id);

// Id of the row with that code; an unknown code fails the assertion and gives
// 0, so test procIsKnownCoffType first.
ProcId procIdFromCoffType(std::uint16_t coffType);
// 1 if some row has that code, else 0. Never asserts.
int procIsKnownCoffType(std::uint16_t coffType);
// 1 and the id in *id when text equals a model name (letters A to Z compared
// without case, nothing trimmed); else 0 and *id untouched. Never asserts.
int procIdFromName(const char* text, ProcId* id);

// Bank and offset of a data address by the family's shift and mask; no range
// check, so addresses beyond data memory give banks beyond procNumBanks - 1.
std::uint32_t procBankOf(ProcId id, std::uint32_t address);
std::uint32_t procBankOffset(ProcId id, std::uint32_t address);
// 1 if the address's offset in its bank is at least the row's first
// general-purpose offset (always 1 on CoreD).
int procIsGeneralPurpose(ProcId id, std::uint32_t address);

// Sizes and page sizes count program-memory locations, data and bank sizes
// count bytes.
std::uint32_t procRomWidthBits(ProcId id);
std::uint32_t procRamWidthBits(ProcId id);
std::uint32_t procNumPages(ProcId id);
std::uint32_t procProgramSize(ProcId id);
std::uint32_t procPageSize(ProcId id);
std::uint32_t procNumBanks(ProcId id);
std::uint32_t procDataSize(ProcId id);
std::uint32_t procBankSize(ProcId id);
std::uint32_t procMaxProgramAddress(ProcId id);
std::uint32_t procMaxDataAddress(ProcId id);
