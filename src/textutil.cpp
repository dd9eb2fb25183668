#include "textutil.h"

#include <cstdio>

namespace {

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

// The standard unsigned conversion, held to 32 bits by hand (the host's
// unsigned long is 64 bits wide).
uint32_t convert(const String& text, size_t pos, int base) {
  size_t i = pos;
  while (i < text.size() && isSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // In base 16 an optional "0x" may lead the digits.
  if (base == 16 && i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
      i + 2 < text.size() && digitValue(text[i + 2]) < 16)
    i += 2;
  uint64_t value = 0;
  bool overflow = false;
  for (; i < text.size(); ++i) {
    int d = digitValue(text[i]);
    if (d >= base) break;
    if (!overflow) {
      value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
      if (value > 0xFFFFFFFFull) overflow = true;
    }
  }
  if (overflow) return 0xFFFFFFFFu;
  uint32_t v = static_cast<uint32_t>(value);
  return negative ? static_cast<uint32_t>(0u - v) : v;
}

}  // namespace

uint32_t parseNumber(const String& text) {
  if (text.size() >= 3 && (text[1] == 'x' || text[1] == 'X')) return convert(text, 2, 16);
  return convert(text, 0, 10);
}

std::list<String> splitString(const String& text, char separator) {
  std::list<String> pieces;
  String current;
  for (char c : text) {
    if (c == separator) {
      pieces.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) pieces.push_back(current);
  return pieces;
}

bool readToken(std::istream& in, String& token) {
  token.clear();
  while (in.good()) {
    int c = in.peek();
    if (c == std::char_traits<char>::eof() || !isSpace(static_cast<char>(c))) break;
    in.get();
  }
  bool inQuotes = false;
  bool appended = false;
  for (;;) {
    int c = in.get();
    if (c == std::char_traits<char>::eof() || in.fail()) break;
    char ch = static_cast<char>(c);
    if (ch == '"') {
      inQuotes = !inQuotes;
      continue;
    }
    if (!inQuotes && isSpace(ch)) break;
    token += ch;
    appended = true;
  }
  return appended && !inQuotes;
}

String hexString(uint32_t value, int count) {
  static const uint32_t masks[] = {0xFFu, 0xFFFFu, 0xFFFFFFu, 0xFFFFFFFFu};
  if (count < 1 || count > 4) return "<NaN>";
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%0*lx", 2 * count,
                static_cast<unsigned long>(value & masks[count - 1]));
  return buf;
}

String hexAtLeast(uint64_t value, int digits) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%0*llx", digits < 1 ? 1 : digits > 16 ? 16 : digits,
                static_cast<unsigned long long>(value));
  return buf;
}

uint32_t byteSwap32(uint32_t v) {
  return ((v & 0xFFu) << 24) | ((v & 0xFF00u) << 8) | ((v >> 8) & 0xFF00u) | (v >> 24);
}

String quote(const String& text) { return "\"" + text + "\""; }

String stripQuotes(const String& text) {
  String out;
  for (char c : text)
    if (c != '"') out += c;
  return out;
}
