// The programs' heap, linked into this test program in place of the
// standard operator new and delete (gtest itself runs on it too).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {

bool aligned(const void* p) { return reinterpret_cast<std::uintptr_t>(p) % 16 == 0; }

TEST(ShortRunHeap, BlocksOfEverySizeAreAlignedAndApart) {
  struct Block {
    unsigned char* p;
    std::size_t size;
  };
  std::vector<Block> blocks;
  for (std::size_t size = 0; size < 1200; size += size < 64 ? 1 : 7) {
    for (int copy = 0; copy < 3; ++copy) {
      auto* p = static_cast<unsigned char*>(::operator new(size));
      ASSERT_TRUE(aligned(p)) << size;
      std::memset(p, int((size + copy) & 0xFF), size);
      blocks.push_back({p, size});
    }
  }
  // Every block still holds its own pattern: none overlaps another or a
  // header.
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const Block& b = blocks[i];
    for (std::size_t k = 0; k < b.size; ++k)
      ASSERT_EQ(b.p[k], (b.size + i % 3) & 0xFF) << b.size;
  }
  // Freed with and without the size, as the library and the compiler do.
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    if (i % 2)
      ::operator delete(blocks[i].p, blocks[i].size);
    else
      ::operator delete(blocks[i].p);
  }
}

TEST(ShortRunHeap, AFreedBlockServesTheNextRequestOfItsSize) {
  void* small = ::operator new(40);
  ::operator delete(small);
  void* again = ::operator new(33);  // the same 48-byte class
  EXPECT_EQ(again, small);
  void* other = ::operator new(100);
  EXPECT_NE(other, small);
  ::operator delete(again);
  ::operator delete(other);

  // Past the largest class, blocks come from malloc and go back to it.
  for (std::size_t size : {std::size_t(504), std::size_t(505), std::size_t(1) << 20}) {
    auto* p = static_cast<char*>(::operator new(size));
    EXPECT_TRUE(aligned(p));
    p[0] = 1;
    p[size - 1] = 2;
    ::operator delete(p);
  }
}

TEST(ShortRunHeap, BlocksMayBeFreedByAnotherThread) {
  std::vector<std::string*> made;
  std::thread maker([&made] {
    for (int i = 0; i < 5000; ++i) made.push_back(new std::string(20 + i % 50, char('a' + i % 26)));
  });
  maker.join();
  std::map<int, std::string> kept;
  for (std::size_t i = 0; i < made.size(); ++i) {
    EXPECT_EQ(made[i]->size(), 20 + i % 50);
    kept[int(i)] = *made[i];
    delete made[i];
  }
  std::thread freer([&kept] { kept.clear(); });
  freer.join();
  std::unique_ptr<int[]> numbers(new int[1000]());
  EXPECT_EQ(numbers[999], 0);
}

TEST(ShortRunHeap, AnImpossibleRequestFails) {
  // Not known to the compiler, which would refuse the request itself.
  volatile std::size_t huge = std::numeric_limits<std::size_t>::max();
  void* p = nullptr;
  EXPECT_THROW(p = ::operator new(huge), std::bad_alloc);
  EXPECT_THROW(p = ::operator new(huge - 8), std::bad_alloc);
  p = ::operator new(huge - 1, std::nothrow);
  EXPECT_EQ(p, nullptr);
}

}  // namespace
