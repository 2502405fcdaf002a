// The zlib codec between memory and streams. Image tile records are zlib streams too, but are
// made and read in memory by libdeflate (utils/Deflate.h); long ones are inflated here.
#include <QXCore/QXStream.h>
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <new>

#include "core/Handle.h"
#include "net/StreamHandle.h"

namespace {

constexpr uInt kDeflateBuffer = 64 * 1024;
constexpr uInt kInflateBuffer = 16 * 1024;

// The one deflate loop. `window(Bytef*& out)` supplies the next kDeflateBuffer bytes of output
// space (0 or a status), `commit(produced)` takes the bytes deflate put there. Stored records
// must not depend on who consumes them, so the output window and the flush sequence are fixed.
template <class Window, class Commit>
int32_t DeflateLoop(const void* source, uint32_t length, Window&& window, Commit&& commit) {
  z_stream stream{};
  if (deflateInit2(&stream, 6, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return kQXErrGeneric;
  // zlib does not write through next_in.
  stream.next_in = const_cast<Bytef*>(static_cast<const Bytef*>(source));
  stream.avail_in = length;
  int32_t status = kQXErrGeneric;
  for (;;) {
    Bytef* out = nullptr;
    status = window(out);
    if (status != 0) break;
    stream.next_out = out;
    stream.avail_out = kDeflateBuffer;
    int result = deflate(&stream, stream.avail_in > 0 ? Z_NO_FLUSH : Z_FINISH);
    if (result == Z_BUF_ERROR && stream.avail_in == 0) result = deflate(&stream, Z_FINISH);
    if (result != Z_OK && result != Z_STREAM_END) {
      status = kQXErrGeneric;
      break;
    }
    status = commit(static_cast<uint64_t>(kDeflateBuffer - stream.avail_out));
    if (status != 0 || result == Z_STREAM_END) break;
  }
  deflateEnd(&stream);
  return status;
}

// The one inflate loop. `more(next, count, remaining)` supplies the next compressed bytes (0 or a
// status); `remaining` is what is left of the record after them.
template <class More>
int32_t InflateLoop(uint64_t length, void* destination, uint32_t capacity, More&& more) {
  z_stream stream{};
  if (inflateInit2(&stream, 15) != Z_OK) return kQXErrGeneric;
  // inflate refuses a null output pointer even with no room behind it; an empty record into an
  // empty destination is still a valid call.
  Bytef none = 0;
  stream.next_out = destination != nullptr ? static_cast<Bytef*>(destination) : &none;
  stream.avail_out = capacity;
  uint64_t remaining = length;
  int32_t status = kQXErrGeneric;
  for (;;) {
    if (stream.avail_in == 0 && remaining > 0) {
      const Bytef* next = nullptr;
      uInt count = 0;
      status = more(next, count, remaining);
      if (status != 0) break;
      // zlib does not write through next_in.
      stream.next_in = const_cast<Bytef*>(next);
      stream.avail_in = count;
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

}  // namespace

QXStatus QXUtilsLZWCompress(const void* source, uint32_t length, CBaseStream* output) {
  if (output == nullptr || (source == nullptr && length > 0)) return kQXErrInvalidArgument;
  std::unique_ptr<Bytef[]> buffer(new (std::nothrow) Bytef[kDeflateBuffer]);
  if (!buffer) return kQXErrMemory;
  return DeflateLoop(
      source, length,
      [&](Bytef*& window) {
        window = buffer.get();
        return int32_t{0};
      },
      [&](uint64_t produced) {
        if (produced == 0) return int32_t{0};
        uint64_t written = produced;
        int32_t status = output->WriteChunk(reinterpret_cast<const char*>(buffer.get()), written);
        if (status == 0 && written != produced) status = kQXErrGeneric;
        return status;
      });
}

QXStatus QXUtilsLZWDecompress(CBaseStream* input, int32_t compressedLength, void* destination, uint32_t capacity) {
  if (input == nullptr || compressedLength < 0 || (destination == nullptr && capacity > 0))
    return kQXErrInvalidArgument;
  std::unique_ptr<Bytef[]> buffer(new (std::nothrow) Bytef[kInflateBuffer]);
  if (!buffer) return kQXErrMemory;
  return InflateLoop(static_cast<uint64_t>(compressedLength), destination, capacity,
                     [&](const Bytef*& next, uInt& count, uint64_t remaining) {
                       uint64_t asked = std::min<uint64_t>(remaining, kInflateBuffer);
                       uint64_t got = asked;
                       int32_t status = input->ReadChunk(reinterpret_cast<char*>(buffer.get()), true, got);
                       if (status != 0) return status;
                       // Only the bytes that arrived go to inflate; a short read is a damaged record.
                       if (got != asked) return int32_t{kQXErrGeneric};
                       next = buffer.get();
                       count = static_cast<uInt>(got);
                       return int32_t{0};
                     });
}

extern "C" {

QX_EXPORT QXStatus QXUtilsLZWCompressToStream(const void* source, uint32_t length, QXStreamRef output) {
  return QXUtilsLZWCompress(source, length, output != nullptr ? qx::fromHandle(output) : nullptr);
}

QX_EXPORT QXStatus QXUtilsLZWDecompressFromStream(QXStreamRef input, int32_t compressedLength, void* destination,
                                                  uint32_t capacity) {
  return QXUtilsLZWDecompress(input != nullptr ? qx::fromHandle(input) : nullptr, compressedLength, destination,
                              capacity);
}

}  // extern "C"
