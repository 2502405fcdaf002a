// The zlib codec between memory buffers, for callers that compress or inflate away from the
// stream (the image saver deflates tile copies on pool threads). The bytes and the acceptance
// rules are those of QXUtilsLZWCompress and QXUtilsLZWDecompress: one deflate loop and one
// inflate loop serve both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qxzlib {

// Replaces `out` with the zlib record of `length` bytes (its capacity is kept for reuse).
// 0, kQXErrGeneric when zlib fails, kQXErrMemory when memory runs out.
int32_t Compress(const void* source, uint32_t length, std::vector<uint8_t>& out) noexcept;

// Inflates one zlib record of `length` bytes into `destination`, which the record must fill
// exactly while using up every byte (an empty record into a NULL destination of capacity 0 is
// fine). 0, kQXErrGeneric for anything else, kQXErrInvalidArgument for NULL with a length or
// capacity, kQXErrMemory when memory runs out.
int32_t Decompress(const void* source, size_t length, void* destination, uint32_t capacity) noexcept;

}  // namespace qxzlib
