// A hash map in one flat array (open addressing, linear probing), for the
// link's big name tables: tens of thousands of insertions and lookups, no
// erasure, and a node allocation per entry would cost more than the lookup.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

// A fast hash of a text, eight bytes at a time.
inline std::size_t hashText(std::string_view text) {
  uint64_t h = 0x9E3779B97F4A7C15ull ^ text.size();
  const char* p = text.data();
  const std::size_t size = text.size();
  std::size_t n = size;
  while (n > 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = (h ^ w) * 0xFF51AFD7ED558CCDull;
    h ^= h >> 32;
    p += 8;
    n -= 8;
  }
  // The last one to eight bytes: as the text's last eight when it has
  // them, else byte by byte.
  uint64_t w = 0;
  if (size >= 8) {
    std::memcpy(&w, text.data() + size - 8, 8);
  } else {
    for (std::size_t i = 0; i < n; ++i) w |= uint64_t(static_cast<unsigned char>(p[i])) << (8 * i);
  }
  // A full final mix: the table takes the low bits, and the bytes that
  // tell names apart are often the last, which land in the high bits of w.
  h ^= w;
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  h ^= h >> 33;
  return static_cast<std::size_t>(h);
}

struct TextHash {
  std::size_t operator()(std::string_view text) const { return hashText(text); }
};

template <class Key, class Value, class Hash>
class FlatMap {
 public:
  std::size_t size() const { return cSize; }
  bool empty() const { return cSize == 0; }

  void reserve(std::size_t count) {
    std::size_t capacity = 16;
    while (capacity < count * 2) capacity *= 2;
    if (capacity > cSlots.size()) rehash(capacity);
  }

  // The value of key, inserted as value when the map lacks it; second is
  // true for an insertion.
  std::pair<Value*, bool> emplace(const Key& key, const Value& value) {
    return emplace(key, value, Hash()(key));
  }
  // The same with the key's hash (hashOf) already known.
  std::pair<Value*, bool> emplace(const Key& key, const Value& value, std::size_t hash) {
    if ((cSize + 1) * 2 > cSlots.size()) rehash(cSlots.empty() ? 16 : cSlots.size() * 2);
    Slot& slot = probe(key, hash);
    if (slot.used()) return {&slot.value, false};
    slot.tag = tagOf(hash);
    slot.key = key;
    slot.value = value;
    ++cSize;
    return {&slot.value, true};
  }

  Value* find(const Key& key) { return find(key, Hash()(key)); }
  const Value* find(const Key& key) const { return const_cast<FlatMap*>(this)->find(key); }
  Value* find(const Key& key, std::size_t hash) {
    if (cSlots.empty()) return nullptr;
    Slot& slot = probe(key, hash);
    return slot.used() ? &slot.value : nullptr;
  }
  const Value* find(const Key& key, std::size_t hash) const {
    return const_cast<FlatMap*>(this)->find(key, hash);
  }

  std::size_t hashOf(const Key& key) const { return Hash()(key); }
  // Asks for the slot a key of this hash starts its probe at, so that a run
  // of lookups waits on memory once instead of once per lookup.
  void prefetch(std::size_t hash) const {
    if (!cSlots.empty()) __builtin_prefetch(&cSlots[hash & (cSlots.size() - 1)]);
  }

  // The key a lookup of this hash will most likely compare with: that of
  // the first entry on its probe path whose kept hash bits match; null when
  // none does. For keys that point at their text elsewhere, asking for that
  // text ahead lets a run of lookups wait on memory once instead of once
  // per lookup.
  const Key* likelyKey(std::size_t hash) const {
    if (cSlots.empty()) return nullptr;
    const std::size_t mask = cSlots.size() - 1;
    const uint32_t tag = tagOf(hash);
    for (std::size_t i = hash & mask; cSlots[i].used(); i = (i + 1) & mask)
      if (cSlots[i].tag == tag) return &cSlots[i].key;
    return nullptr;
  }

  // Every entry, in no particular order.
  template <class F>
  void forEach(F f) {
    for (Slot& slot : cSlots)
      if (slot.used()) f(slot.key, slot.value);
  }

 private:
  // The low 31 bits of the key's hash are kept, so most slots of other
  // keys are passed over without comparing keys; the top bit marks the slot
  // used, so no flag takes room of its own. (No table has 2^31 slots, so
  // the kept bits still give a slot's first place.)
  static uint32_t tagOf(std::size_t hash) { return static_cast<uint32_t>(hash) | 0x80000000u; }
  struct Slot {
    Key key{};
    uint32_t tag = 0;  // 0 for a free slot
    bool used() const { return tag != 0; }
    Value value{};  // last, so a small value packs beside the tag
  };

  Slot& probe(const Key& key, std::size_t hash) {
    const std::size_t mask = cSlots.size() - 1;
    const uint32_t tag = tagOf(hash);
    std::size_t i = hash & mask;
    while (cSlots[i].used() && !(cSlots[i].tag == tag && cSlots[i].key == key)) i = (i + 1) & mask;
    return cSlots[i];
  }

  void rehash(std::size_t capacity) {
    std::vector<Slot> old(capacity);
    old.swap(cSlots);
    for (Slot& slot : old)
      if (slot.used()) {
        const std::size_t mask = cSlots.size() - 1;
        std::size_t i = slot.tag & mask;
        while (cSlots[i].used()) i = (i + 1) & mask;
        cSlots[i] = std::move(slot);
      }
  }

  std::vector<Slot> cSlots;
  std::size_t cSize = 0;
};
