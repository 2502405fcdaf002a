// Memory for tile storage and memory records.
//
// Blocks below 64 KiB come from malloc; blocks up to 2 MiB are carved from slabs of four huge pages,
// so a new tile costs a share of one page fault per 2 MiB instead of one per 4 KiB (each costs
// microseconds on a virtual machine); larger blocks are mappings of their own.
//
// Freed memory is kept for reuse: slabs whose blocks are all free and freed large blocks. A new
// record then takes pages the process already holds instead of fresh ones from the system, which
// must zero them and, on a virtual machine that has handed freed memory back to its host, fault
// each huge page in from the host (a third of a second for a 300 MB image). What is kept is bounded
// by what the image cache's budget leaves beside the memory handed out, at most 1 GiB and never
// less than 16 MiB, and goes back to the system after ten seconds unused (checked whenever a block
// of 64 KiB or more is taken or freed), when the budget changes and at QXImageShutdown. Slab blocks
// start on 64-byte boundaries, larger blocks on pages.
#pragma once

#include <QXCore/QXBase.h>

#include <cstddef>

namespace qximage {

// A block of `size` bytes, zero when `zeroed` (contents undefined otherwise); null when memory runs
// out. Thread-safe.
QX_EXPORT void* AllocateBlock(size_t size, bool zeroed) noexcept;
// Gives back a block of AllocateBlock, with the size it was asked with; null is ignored.
QX_EXPORT void FreeBlock(void* block, size_t size) noexcept;

// Gives kept memory back to the system: all of it, or what exceeds the bound the budget now sets.
QX_EXPORT void TrimKeptMemory(bool all) noexcept;
// Bytes freed and kept for reuse.
QX_EXPORT size_t KeptMemoryBytes() noexcept;

}  // namespace qximage
