// Bands of pixels for the pixel operations: scratch memory that never throws, bands of whole rows
// for copies and resampling, and the walk over an image in blocks whose size is bounded whatever
// the image's shape.
#pragma once

#include <QXCore/QXImage.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "image/ImageRec.h"

namespace qximage::band {

struct FreeBytes {
  void operator()(uint8_t* p) const { std::free(p); }
};
using Bytes = std::unique_ptr<uint8_t, FreeBytes>;

// Zeroed bytes unless `zeroed` is false (a solid-fill record's Read leaves the buffer as it was),
// or null.
inline Bytes Scratch(int64_t bytes, bool zeroed = true) {
  const size_t size = size_t(std::max<int64_t>(bytes, 1));
  return Bytes(static_cast<uint8_t*>(zeroed ? std::calloc(size, 1) : std::malloc(size)));
}

// Scratch a band of whole rows may hold; bands grow to this instead of stopping at 256 rows, so
// memory stays bounded whatever the row size (at least one row is always taken).
constexpr int64_t kRowsBudget = int64_t(4) << 20;

// Rows per band for rows of `rowBytes`: as many as kRowsBudget holds, at least one.
inline int32_t RowsFor(int64_t rowBytes, int32_t height) {
  return int32_t(std::clamp<int64_t>(kRowsBudget / std::max<int64_t>(rowBytes, 1), 1, std::max(height, 1)));
}

// Scratch per buffer of a block. A band of 256 rows of an 8000-pixel 16-bit RGB image (12 MB)
// fits, so such images go through in whole-width bands; wider images are split into column
// chunks. The largest pixel (32 planes of 4 bytes) still fits 256 x 256 pixels, so a block is
// never narrower than a tile unless the image is.
constexpr int64_t kBudget = int64_t(16) << 20;

// Block size for pixels of `colBytes` over `bounds`: up to 256 rows (one row of tiles) and as many
// columns as the budget allows, in whole tiles unless the image is narrower.
struct Blocks {
  int32_t width = 0;
  int32_t height = 0;
  int64_t Bytes(int32_t colBytes) const { return int64_t(width) * height * colBytes; }
};

inline Blocks BlocksFor(QXRect bounds, int32_t colBytes, int64_t budget = kBudget) {
  Blocks b;
  b.height = std::min<int32_t>(bounds.height, kTile);
  int64_t cols = budget / (int64_t(std::max(colBytes, 1)) * std::max(b.height, 1));
  if (cols >= kTile) cols -= cols % kTile;
  b.width = int32_t(std::clamp<int64_t>(cols, std::min(bounds.width, kTile), std::max(bounds.width, 1)));
  return b;
}

// Calls `step(rect)` for each block of `bounds`, rows of blocks from the top, aligned with the tile
// grid counted from the bounds' origin; stops at the first non-zero status and returns it.
template <class Step>
int32_t ForEachBlock(QXRect bounds, Blocks blocks, Step&& step) {
  for (int64_t y = 0; y < bounds.height; y += blocks.height) {
    const int32_t h = int32_t(std::min<int64_t>(blocks.height, bounds.height - y));
    for (int64_t x = 0; x < bounds.width; x += blocks.width) {
      const int32_t w = int32_t(std::min<int64_t>(blocks.width, bounds.width - x));
      if (int32_t status = step(QXRect{int32_t(bounds.x + x), int32_t(bounds.y + y), w, h})) return status;
    }
  }
  return 0;
}

}  // namespace qximage::band
