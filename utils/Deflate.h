// zlib records between memory buffers, made and read by libdeflate (about twice zlib's speed at
// the same ratio), for the image saver and loader. The records are ordinary zlib streams that any
// zlib reader inflates, and QXUtilsLZWDecompress reads; the bytes differ from those of
// QXUtilsLZWCompress, which stays on zlib.
//
// Each thread keeps one compressor and one decompressor, made on first use and freed when the
// thread ends: they are not thread-safe, hold nothing from one call to the next, and are costly to
// make. Records therefore do not depend on the thread that makes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qxdeflate {

// Replaces `out` with the zlib record (level 6) of `length` bytes; its capacity is kept for reuse.
// 0, kQXErrGeneric when no compressor can be made or libdeflate fails, kQXErrMemory when `out`
// cannot grow.
int32_t ZlibCompress(const void* source, size_t length, std::vector<uint8_t>& out) noexcept;

// Inflates one zlib record of `length` bytes into `destination`, which the record must fill
// exactly while using up every byte. 0, kQXErrGeneric for anything else (a corrupt, short or long
// record, or no decompressor), kQXErrInvalidArgument for NULL with a length or capacity. On failure
// `destination` may hold part of the record.
int32_t ZlibDecompress(const void* source, size_t length, void* destination, size_t capacity) noexcept;

}  // namespace qxdeflate
