// The zlib codec between memory and streams (the format of compressed image tiles).
#include <QXCore/QXStream.h>
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <new>

#include "core/Handle.h"
#include "files/StreamHandle.h"

namespace {

constexpr uInt kDeflateBuffer = 64 * 1024;
constexpr uInt kInflateBuffer = 16 * 1024;

}  // namespace

int32_t QXUtilsLZWCompress(const void* source, uint32_t length, CBaseStream* output) {
  if (output == nullptr || (source == nullptr && length > 0)) return kQXErrInvalidArgument;
  std::unique_ptr<Bytef[]> buffer(new (std::nothrow) Bytef[kDeflateBuffer]);
  if (!buffer) return kQXErrMemory;
  z_stream stream{};
  if (deflateInit2(&stream, 6, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return kQXErrGeneric;
  // zlib does not write through next_in.
  stream.next_in = const_cast<Bytef*>(static_cast<const Bytef*>(source));
  stream.avail_in = length;
  int32_t status = kQXErrGeneric;
  for (;;) {
    stream.next_out = buffer.get();
    stream.avail_out = kDeflateBuffer;
    int result = deflate(&stream, stream.avail_in > 0 ? Z_NO_FLUSH : Z_FINISH);
    if (result == Z_BUF_ERROR && stream.avail_in == 0) result = deflate(&stream, Z_FINISH);
    if (result != Z_OK && result != Z_STREAM_END) break;
    uint64_t produced = kDeflateBuffer - stream.avail_out;
    uint64_t written = produced;
    status = produced > 0 ? output->WriteChunk(reinterpret_cast<const char*>(buffer.get()), written) : 0;
    if (status == 0 && written != produced) status = kQXErrGeneric;
    if (status != 0 || result == Z_STREAM_END) break;
    status = kQXErrGeneric;
  }
  deflateEnd(&stream);
  return status;
}

int32_t QXUtilsLZWDecompress(CBaseStream* input, int32_t compressedLength, void* destination, uint32_t capacity) {
  if (input == nullptr || compressedLength < 0 || (destination == nullptr && capacity > 0))
    return kQXErrInvalidArgument;
  std::unique_ptr<Bytef[]> buffer(new (std::nothrow) Bytef[kInflateBuffer]);
  if (!buffer) return kQXErrMemory;
  z_stream stream{};
  if (inflateInit2(&stream, 15) != Z_OK) return kQXErrGeneric;
  stream.next_out = static_cast<Bytef*>(destination);
  stream.avail_out = capacity;
  uint64_t remaining = static_cast<uint64_t>(compressedLength);
  int32_t status = kQXErrGeneric;
  for (;;) {
    if (stream.avail_in == 0 && remaining > 0) {
      uint64_t count = std::min<uint64_t>(remaining, kInflateBuffer);
      uint64_t asked = count;
      status = input->ReadChunk(reinterpret_cast<char*>(buffer.get()), true, count);
      if (status != 0) break;
      // Only the bytes that arrived go to inflate; a short read is a damaged record.
      if (count != asked) {
        status = kQXErrGeneric;
        break;
      }
      stream.next_in = buffer.get();
      stream.avail_in = static_cast<uInt>(count);
      remaining -= count;
    }
    int result = inflate(&stream, remaining > 0 ? Z_PARTIAL_FLUSH : Z_FINISH);
    if (result == Z_OK) continue;
    // The record must fill the destination exactly and use up every compressed byte.
    status =
        (result == Z_STREAM_END && stream.avail_out == 0 && stream.avail_in == 0 && remaining == 0) ? 0 : kQXErrGeneric;
    break;
  }
  inflateEnd(&stream);
  return status;
}

extern "C" {

QX_EXPORT int32_t QXUtilsLZWCompressToStream(const void* source, uint32_t length, QXStreamRef output) {
  return QXUtilsLZWCompress(source, length, output != nullptr ? qx::fromHandle(output) : nullptr);
}

QX_EXPORT int32_t QXUtilsLZWDecompressFromStream(QXStreamRef input, int32_t compressedLength, void* destination,
                                                 uint32_t capacity) {
  return QXUtilsLZWDecompress(input != nullptr ? qx::fromHandle(input) : nullptr, compressedLength, destination,
                              capacity);
}

}  // extern "C"
