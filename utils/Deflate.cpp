#include "utils/Deflate.h"

#include <QXCore/QXBase.h>
#include <libdeflate.h>

#include <new>

namespace {

constexpr int kLevel = 6;

struct Codec {
  libdeflate_compressor* compressor = nullptr;
  libdeflate_decompressor* decompressor = nullptr;
  Codec() = default;
  Codec(const Codec&) = delete;
  Codec& operator=(const Codec&) = delete;
  ~Codec() {
    if (compressor != nullptr) libdeflate_free_compressor(compressor);
    if (decompressor != nullptr) libdeflate_free_decompressor(decompressor);
  }
};

thread_local Codec tCodec;

}  // namespace

namespace qxdeflate {

int32_t ZlibCompress(const void* source, size_t length, std::vector<uint8_t>& out) noexcept {
  out.clear();
  if (source == nullptr && length > 0) return kQXErrInvalidArgument;
  Codec& codec = tCodec;
  if (codec.compressor == nullptr) codec.compressor = libdeflate_alloc_compressor(kLevel);
  if (codec.compressor == nullptr) return kQXErrGeneric;
  try {
    out.resize(libdeflate_zlib_compress_bound(codec.compressor, length));
  } catch (const std::bad_alloc&) {
    return kQXErrMemory;
  }
  // libdeflate reads no input through a null pointer when the length is 0, but wants an address.
  const uint8_t none = 0;
  const size_t produced =
      libdeflate_zlib_compress(codec.compressor, source != nullptr ? source : &none, length, out.data(), out.size());
  out.resize(produced);
  return produced != 0 ? 0 : kQXErrGeneric;
}

int32_t ZlibDecompress(const void* source, size_t length, void* destination, size_t capacity) noexcept {
  if ((source == nullptr && length > 0) || (destination == nullptr && capacity > 0)) return kQXErrInvalidArgument;
  Codec& codec = tCodec;
  if (codec.decompressor == nullptr) codec.decompressor = libdeflate_alloc_decompressor();
  if (codec.decompressor == nullptr) return kQXErrGeneric;
  const uint8_t none = 0;
  uint8_t sink = 0;
  size_t used = 0, produced = 0;
  const libdeflate_result result =
      libdeflate_zlib_decompress_ex(codec.decompressor, source != nullptr ? source : &none, length,
                                    destination != nullptr ? destination : &sink, capacity, &used, &produced);
  // The record must fill the destination exactly and use up every compressed byte.
  return result == LIBDEFLATE_SUCCESS && used == length && produced == capacity ? 0 : kQXErrGeneric;
}

}  // namespace qxdeflate
