// A COFF string table in memory: string-table offsets mapped to their
// strings, in offset order, with the operations of an ordered map.
//
// The entries lie in one array. Tables are read from files, merged and
// rebuilt in offset order, so entries arrive at the end and take 40 bytes
// each instead of a tree node of 80, and walking a table walks memory in
// order. An entry that arrives out of order is put in its place, moving
// those after it. As with any array, adding an entry may move the others:
// a reference to a string of a table is good only until the table grows.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <utility>
#include <vector>

#include "diagnostics.h"

class StringTable {
 public:
  using value_type = std::pair<std::uint32_t, String>;
  using iterator = std::vector<value_type>::iterator;
  using const_iterator = std::vector<value_type>::const_iterator;
  using const_reverse_iterator = std::vector<value_type>::const_reverse_iterator;

  StringTable() = default;
  StringTable(std::initializer_list<value_type> entries) {
    for (const value_type& entry : entries) emplace(entry.first, entry.second);
  }

  bool empty() const { return cEntries.empty(); }
  std::size_t size() const { return cEntries.size(); }
  void clear() { cEntries.clear(); }
  void reserve(std::size_t count) { cEntries.reserve(count); }

  iterator begin() { return cEntries.begin(); }
  iterator end() { return cEntries.end(); }
  const_iterator begin() const { return cEntries.begin(); }
  const_iterator end() const { return cEntries.end(); }
  const_iterator cbegin() const { return cEntries.cbegin(); }
  const_iterator cend() const { return cEntries.cend(); }
  const_reverse_iterator rbegin() const { return cEntries.rbegin(); }
  const_reverse_iterator rend() const { return cEntries.rend(); }

  const_iterator lower_bound(std::uint32_t offset) const {
    return std::lower_bound(cEntries.begin(), cEntries.end(), offset, before);
  }
  iterator lower_bound(std::uint32_t offset) {
    return std::lower_bound(cEntries.begin(), cEntries.end(), offset, before);
  }
  const_iterator find(std::uint32_t offset) const {
    const auto it = lower_bound(offset);
    return it != end() && it->first == offset ? it : end();
  }
  iterator find(std::uint32_t offset) {
    const auto it = lower_bound(offset);
    return it != end() && it->first == offset ? it : end();
  }
  std::size_t count(std::uint32_t offset) const { return find(offset) != end() ? 1 : 0; }

  const String& at(std::uint32_t offset) const {
    const auto it = find(offset);
    if (it == end()) throw std::out_of_range("StringTable::at");
    return it->second;
  }
  String& operator[](std::uint32_t offset) { return emplace(offset, String()).first->second; }

  // The entry of offset, added as text when the table has none; second is
  // true for an addition.
  std::pair<iterator, bool> emplace(std::uint32_t offset, String text) {
    if (cEntries.empty() || cEntries.back().first < offset) {
      cEntries.emplace_back(offset, std::move(text));
      return {cEntries.end() - 1, true};
    }
    const auto it = lower_bound(offset);
    if (it != end() && it->first == offset) return {it, false};
    return {cEntries.emplace(it, offset, std::move(text)), true};
  }
  // The same; the hint is where the caller expects the entry (the end, for
  // entries in order) and is not needed.
  iterator emplace_hint(const_iterator, std::uint32_t offset, String text) {
    return emplace(offset, std::move(text)).first;
  }

  bool operator==(const StringTable& o) const { return cEntries == o.cEntries; }
  bool operator!=(const StringTable& o) const { return !(*this == o); }

 private:
  static bool before(const value_type& entry, std::uint32_t offset) { return entry.first < offset; }

  std::vector<value_type> cEntries;
};
