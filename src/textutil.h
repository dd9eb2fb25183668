// Small text jobs shared by the parsers, dumps and writers.
#pragma once

#include <cstdint>
#include <istream>
#include <list>
#include <string>

#include "diagnostics.h"

// Reads "0x..." in base 16 (second character 'x' or 'X', three or more
// characters), anything else in base 10, with the rules of the standard
// unsigned conversion kept to 32 bits: white space skipped, a sign accepted
// (minus negates modulo 2^32), digits up to the first non-digit, no digits
// 0, anything beyond 32 bits 0xFFFFFFFF.
uint32_t parseNumber(const String& text);

// Pieces between separators; a trailing empty piece is dropped.
std::list<String> splitString(const String& text, char separator);

// One white-space-delimited token with double-quoted stretches.
bool readToken(std::istream& in, String& token);

// "0x" and 2 x count lower-case digits of the low count bytes; count 1 to 4,
// else "<NaN>".
String hexString(uint32_t value, int count);

// "0x" and every significant lower-case digit of value, padded with zeros
// to at least digits digits.
String hexAtLeast(uint64_t value, int digits);

uint32_t byteSwap32(uint32_t value);

String quote(const String& text);
String stripQuotes(const String& text);

// A section name paired with an address, ordered by the address alone.
struct ScnAddr {
  String cName;
  uint32_t cAddress = 0;

  ScnAddr() = default;
  ScnAddr(const String& name, uint32_t address) : cName(name), cAddress(address) {}

  bool operator<(const ScnAddr& o) const { return cAddress < o.cAddress; }
  bool operator>(const ScnAddr& o) const { return cAddress > o.cAddress; }
};
