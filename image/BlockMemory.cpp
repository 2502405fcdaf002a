// Slabs, large blocks and the memory kept for reuse (see BlockMemory.h).
#include "image/BlockMemory.h"

#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "image/TileCache.h"

namespace qximage {
namespace {

#if defined(__SANITIZE_ADDRESS__)
// Under AddressSanitizer every block comes from malloc, so overruns of tile storage are caught.
constexpr bool kPlainHeap = true;
#else
constexpr bool kPlainHeap = false;
#endif

using Clock = std::chrono::steady_clock;

// Below this, blocks come from malloc; above, from whole pages.
constexpr size_t kMapThreshold = 64 * 1024;
constexpr size_t kHugeThreshold = 4u << 20;
constexpr size_t kHugePage = 2u << 20;
constexpr size_t kSlabBytes = 4 * kHugePage;
constexpr size_t kSlabMaxBlock = kSlabBytes / 4;
// Kept whatever the budget, so that a tile freed and made again does not map a slab each time.
constexpr size_t kKeepFloor = 2 * kSlabBytes;
constexpr size_t kKeepCeiling = size_t(1) << 30;
constexpr auto kKeepFor = std::chrono::seconds(10);

struct Slab {
  uint8_t* base;
  size_t blockSize = 0;
  uint32_t capacity = 0;
  uint32_t used = 0;
  uint32_t carved = 0;   // blocks from here on were never handed out at this block size
  size_t untouched = 0;  // bytes from here on were never handed out since the slab was mapped: zero
  std::vector<uint32_t> returned;
};

// A slab with no block in use, or a freed large block, waiting to be used again.
struct Kept {
  void* block;
  size_t size;
  Slab* slab;  // null for a large block
  Clock::time_point since;
};

struct Memory {
  std::mutex mutex;
  std::vector<Slab*> all;                                   // sorted by base, for the lookup on free
  std::unordered_map<size_t, std::vector<Slab*>> withRoom;  // per block size, the carved slabs not full
  std::vector<Kept> kept;                                   // oldest first
  size_t keptBytes = 0;
  size_t outBytes = 0;  // mapped bytes handed out
};

// The order of Memory::all.
bool BaseBefore(const Slab* a, const Slab* b) { return a->base < b->base; }

Memory& TheMemory() {
  static Memory* memory = new Memory;  // outlives every static that frees tiles
  return *memory;
}

size_t KeepBound(const Memory& m) {
  const int64_t budget = CImageCacheMgr::Get().Budget();
  const size_t room = budget > int64_t(m.outBytes) ? size_t(budget) - m.outBytes : 0;
  return std::clamp(room, kKeepFloor, kKeepCeiling);
}

void Unmap(Memory& m, const Kept& k) {
  if (k.slab != nullptr) {
    auto at = std::lower_bound(m.all.begin(), m.all.end(), k.slab, BaseBefore);
    if (at != m.all.end() && *at == k.slab) m.all.erase(at);
    delete k.slab;
  }
  munmap(k.block, k.size);
}

// Gives back what has waited too long, then the oldest until `extra` more bytes fit the bound.
void Trim(Memory& m, size_t extra, bool all) {
  const Clock::time_point expired = Clock::now() - kKeepFor;
  const size_t bound = all ? 0 : KeepBound(m);
  size_t n = 0;
  while (n < m.kept.size() && (all || m.kept[n].since < expired || m.keptBytes + extra > bound)) {
    Unmap(m, m.kept[n]);
    m.keptBytes -= m.kept[n].size;
    ++n;
  }
  m.kept.erase(m.kept.begin(), m.kept.begin() + std::ptrdiff_t(n));
}

// Keeps a free slab or large block for reuse, or gives it back when it does not fit the bound.
void Keep(Memory& m, Kept k) {
  const bool fits = k.size <= KeepBound(m);
  Trim(m, fits ? k.size : 0, false);
  if (fits) {
    try {
      m.kept.push_back(k);
      m.keptBytes += k.size;
      return;
    } catch (...) {
    }
  }
  Unmap(m, k);
}

// The newest kept entry that is a slab (`size` 0) or a large block of exactly `size`.
bool TakeKept(Memory& m, size_t size, Kept& out) {
  for (size_t i = m.kept.size(); i-- > 0;) {
    const Kept& k = m.kept[i];
    if (size == 0 ? k.slab != nullptr : (k.slab == nullptr && k.size == size)) {
      out = k;
      m.kept.erase(m.kept.begin() + std::ptrdiff_t(i));
      m.keptBytes -= out.size;
      return true;
    }
  }
  return false;
}

Slab* NewSlab(Memory& m) noexcept {
  // Mapped with room to align the slab to a huge page.
  void* raw = mmap(nullptr, kSlabBytes + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  uintptr_t aligned = (start + kHugePage - 1) & ~uintptr_t(kHugePage - 1);
  if (aligned > start) munmap(raw, aligned - start);
  if (size_t tail = kHugePage - (aligned - start)) munmap(reinterpret_cast<void*>(aligned + kSlabBytes), tail);
  auto* base = reinterpret_cast<uint8_t*>(aligned);
  madvise(base, kSlabBytes, MADV_HUGEPAGE);
  Slab* slab = new (std::nothrow) Slab{base, 0, 0, 0, 0, 0, {}};
  if (slab != nullptr) {
    auto at = std::upper_bound(m.all.begin(), m.all.end(), slab, BaseBefore);
    try {
      m.all.insert(at, slab);
      return slab;
    } catch (...) {
      delete slab;
    }
  }
  munmap(base, kSlabBytes);
  return nullptr;
}

// A block of `size` from a slab, or null when no slab can be had. `zero` tells whether it was never
// handed out since the slab was mapped.
void* TakeFromSlab(Memory& m, size_t size, bool& zero) noexcept {
  std::vector<Slab*>* room;
  try {
    room = &m.withRoom[size];
    room->reserve(room->size() + 1);
  } catch (...) {
    return nullptr;
  }
  if (room->empty()) {
    Kept k;
    Slab* slab = TakeKept(m, 0, k) ? k.slab : NewSlab(m);
    if (slab == nullptr) return nullptr;
    slab->blockSize = size;
    slab->capacity = uint32_t(kSlabBytes / size);
    slab->used = slab->carved = 0;
    slab->returned.clear();
    room->push_back(slab);
  }
  Slab* slab = room->back();
  uint32_t index;
  if (slab->returned.empty()) {
    index = slab->carved++;
    const size_t end = size_t(index + 1) * size;
    zero = end - size >= slab->untouched;
    slab->untouched = std::max(slab->untouched, end);
  } else {
    index = slab->returned.back();
    slab->returned.pop_back();
    zero = false;
  }
  if (++slab->used == slab->capacity) room->pop_back();
  m.outBytes += size;
  return slab->base + size_t(index) * size;
}

// Gives a block back to its slab; false when it does not come from one.
bool ReturnToSlab(Memory& m, void* block) noexcept {
  auto* p = static_cast<uint8_t*>(block);
  auto it =
      std::upper_bound(m.all.begin(), m.all.end(), p, [](const uint8_t* q, const Slab* s) { return q < s->base; });
  if (it == m.all.begin()) return false;
  Slab* slab = *--it;
  if (p >= slab->base + kSlabBytes) return false;
  if (slab->used == 0) return true;  // a second free of a block: ignored rather than unmapped
  m.outBytes -= slab->blockSize;
  std::vector<Slab*>& room = m.withRoom[slab->blockSize];  // exists: the slab was carved for it
  // On memory exhaustion the block (or the slab) stays out of use: a little memory lost, nothing
  // corrupted.
  try {
    slab->returned.push_back(uint32_t(size_t(p - slab->base) / slab->blockSize));
    if (slab->used == slab->capacity) room.push_back(slab);
  } catch (...) {
    return true;
  }
  if (--slab->used > 0) return true;
  room.erase(std::find(room.begin(), room.end(), slab));
  slab->returned.clear();
  Keep(m, Kept{slab->base, kSlabBytes, slab, Clock::now()});
  return true;
}

}  // namespace

void* AllocateBlock(size_t size, bool zeroed) noexcept {
  if (size == 0) return nullptr;
  if (kPlainHeap || size < kMapThreshold) return zeroed ? std::calloc(1, size) : std::malloc(size);
  Memory& m = TheMemory();
  void* block = nullptr;
  bool zero = false;
  {
    std::lock_guard<std::mutex> lock(m.mutex);
    if (!m.kept.empty()) Trim(m, 0, false);
    // Slab blocks start on 64-byte boundaries whatever their size: pixels of any sample size stay
    // aligned, and no two blocks share a cache line.
    if (size <= kSlabMaxBlock) block = TakeFromSlab(m, (size + 63) & ~size_t(63), zero);
    Kept k;
    if (block == nullptr && TakeKept(m, size, k)) {
      block = k.block;
      m.outBytes += size;
    }
  }
  if (block != nullptr) {
    if (zeroed && !zero) std::memset(block, 0, size);
    return block;
  }
  block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return nullptr;  // fresh pages are zero
  // Whole images in one buffer fault in far fewer pages when huge pages are on offer.
  if (size >= kHugeThreshold) madvise(block, size, MADV_HUGEPAGE);
  // A new block is about to be written whole: its pages are made present in one call rather than
  // one fault per page. Kernels without the advice fault as before.
  madvise(block, size, MADV_POPULATE_WRITE);
  std::lock_guard<std::mutex> lock(m.mutex);
  m.outBytes += size;
  return block;
}

void FreeBlock(void* block, size_t size) noexcept {
  if (block == nullptr) return;
  if (kPlainHeap || size < kMapThreshold) {
    std::free(block);
    return;
  }
  Memory& m = TheMemory();
  std::lock_guard<std::mutex> lock(m.mutex);
  if (!m.kept.empty()) Trim(m, 0, false);
  if (size <= kSlabMaxBlock && ReturnToSlab(m, block)) return;
  m.outBytes -= size;
  Keep(m, Kept{block, size, nullptr, Clock::now()});
}

void TrimKeptMemory(bool all) noexcept {
  Memory& m = TheMemory();
  std::lock_guard<std::mutex> lock(m.mutex);
  Trim(m, 0, all);
}

size_t KeptMemoryBytes() noexcept {
  Memory& m = TheMemory();
  std::lock_guard<std::mutex> lock(m.mutex);
  return m.keptBytes;
}

}  // namespace qximage
