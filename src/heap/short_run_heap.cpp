// The programs' operator new and delete. A run lasts a fraction of a second
// and makes hundreds of thousands of small blocks (map nodes, names, record
// lists), most of which live until it ends; the general-purpose allocator
// spends more on each of them than the tools spend using it. Here a small
// block is cut from a chunk in a few instructions, a freed one waits on a
// list of blocks of its size for the next request of that size, and large
// blocks are left to malloc. Chunks are never handed back: the process ends
// soon. Each thread has its own chunk and lists, so no lock is taken; a
// block freed by another thread than its maker joins the freeing thread's
// list.
//
// Every block carries its size class in the 8 bytes before it (0 for a
// block from malloc), so a delete that does not know the size finds it,
// and every block is aligned to 16 bytes as operator new must give.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

constexpr std::size_t kGranule = 16;
constexpr std::size_t kClasses = 33;  // blocks of 16 to 512 bytes, header included
constexpr std::size_t kLargestBlock = (kClasses - 1) * kGranule;
constexpr std::size_t kHeader = 8;
constexpr std::size_t kChunk = std::size_t(1) << 20;
constexpr std::uint64_t kFromMalloc = 0;

struct Heap {
  char* next;  // the next block's header
  char* end;
  void* freed[kClasses];  // the first freed block of each class; each holds the next
};

// Zero-initialised, so it needs no constructor and works before main.
thread_local Heap tHeap;

std::uint64_t& headerOf(void* block) {
  return *reinterpret_cast<std::uint64_t*>(static_cast<char*>(block) - kHeader);
}

void* fromMalloc(std::size_t size) {
  // Sixteen bytes in front keep the block aligned; the header is the last
  // eight of them.
  if (size > SIZE_MAX - 2 * kHeader) throw std::bad_alloc();
  char* memory = static_cast<char*>(std::malloc(size + 2 * kHeader));
  if (!memory) throw std::bad_alloc();
  void* block = memory + 2 * kHeader;
  headerOf(block) = kFromMalloc;
  return block;
}

void* allocate(std::size_t size) {
  if (size > kLargestBlock - kHeader) return fromMalloc(size);
  const std::size_t sizeClass = (size + kHeader + kGranule - 1) / kGranule;  // 1 .. 32
  Heap& heap = tHeap;
  if (void* block = heap.freed[sizeClass]) {
    heap.freed[sizeClass] = *static_cast<void**>(block);
    return block;
  }
  const std::size_t bytes = sizeClass * kGranule;
  if (static_cast<std::size_t>(heap.end - heap.next) < bytes) {
    char* chunk = static_cast<char*>(std::malloc(kChunk));
    if (!chunk) throw std::bad_alloc();
    // malloc aligns to 16: the first header at 8 puts the first block at 16,
    // and blocks of whole granules keep every later one there too.
    heap.next = chunk + kHeader;
    heap.end = chunk + kChunk;
  }
  void* block = heap.next + kHeader;
  heap.next += bytes;
  headerOf(block) = sizeClass;
  return block;
}

void release(void* block) noexcept {
  if (!block) return;
  const std::uint64_t sizeClass = headerOf(block);
  if (sizeClass == kFromMalloc) {
    std::free(static_cast<char*>(block) - 2 * kHeader);
    return;
  }
  Heap& heap = tHeap;
  *static_cast<void**>(block) = heap.freed[sizeClass];
  heap.freed[sizeClass] = block;
}

}  // namespace

// The array, nothrow and sized forms of the standard library call these.
void* operator new(std::size_t size) { return allocate(size); }
void operator delete(void* block) noexcept { release(block); }
void operator delete(void* block, std::size_t) noexcept { release(block); }
