// Buffers for message bodies of a quarter megabyte and more, kept for reuse once freed.
//
// A body freed at the end of one exchange is usually followed by one of the same size: freed to
// glibc, a megabyte block goes back to the kernel (it is above the mmap and trim thresholds) and
// the next one pays a page fault per 4 KiB — far more than copying the bytes. A few recently freed
// blocks (at most kMaxKeptBytes in all) stay mapped here instead.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <cstddef>

namespace qxnet {

// Smaller blocks are left to malloc, which keeps them itself.
constexpr size_t kLargeBufferMin = 256 * 1024;
constexpr size_t kMaxKeptBytes = 64u << 20;

// A block of at least `size` bytes (its usable capacity in `capacity`), taken from the kept ones
// when one fits; null when memory runs out. Give it back with ReleaseLargeBuffer, or hand it to
// CFData with LargeBufferDeallocator.
void* AcquireLargeBuffer(size_t size, size_t& capacity);
void ReleaseLargeBuffer(void* block);
// Grows a block to at least `size`, keeping its first `used` bytes; the old block is released.
// Null (and the old block untouched) when memory runs out.
void* GrowLargeBuffer(void* block, size_t used, size_t size, size_t& capacity);
// Immutable data over the first `length` bytes of a block, which it takes over (also on failure:
// the block is then released); null when memory runs out.
CFDataRef CreateDataWithLargeBuffer(void* block, size_t length);
// Kept blocks are freed (for tests and for hosts that want the memory back).
void DropKeptLargeBuffers();

}  // namespace qxnet
