// Helpers shared by the image engine's tests.
#pragma once

#include <QXCore/QXImage.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "tests/support/TempHome.h"

namespace qxtest {

// Tiled records spill under TMPDIR, which the store fixes on first use: one private home per process.
inline TempHome gImageHome;

constexpr int32_t kTiled = 0, kMemory = 1, kSolid = 3;

// Owns an image record; converts to QXImageRef so that it can be passed to the C API directly.
class Image {
 public:
  Image() = default;
  explicit Image(QXImageRef ref) : mRef(ref) {}
  Image(QXRect bounds, int32_t depth, int32_t planes) {
    EXPECT_EQ(QXImageCreateWithParams(bounds, depth, planes, &mRef), 0);
  }
  // A record of the given creation kind, colour space 2.
  Image(int32_t kind, QXRect bounds, int32_t depth, int32_t planes) {
    EXPECT_EQ(QXImageCreateWithParams2(bounds, depth, planes, 2, 0, kind, &mRef), 0);
  }
  ~Image() { reset(); }
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;
  operator QXImageRef() const { return mRef; }
  QXImageRef get() const { return mRef; }
  void reset(QXImageRef ref = nullptr) {
    if (mRef) QXImageRelease(mRef);
    mRef = ref;
  }

 private:
  QXImageRef mRef = nullptr;
};

// Sets the cache budget for one scope and puts a generous one back afterwards.
struct Budget {
  explicit Budget(double bytes) { QXImageSetCacheMemAbsolute(bytes); }
  ~Budget() { QXImageSetCacheMemAbsolute(double(int64_t(1) << 40)); }
};

inline QXImageCacheStatistics Stats() {
  QXImageCacheStatistics s{};
  QXImageGetCacheStatistics(&s);
  return s;
}

// Makes a tile resident (and most recently used) without keeping it.
inline void Touch(QXImageRef image, int32_t row, int32_t col) {
  QXTileRef tile = nullptr;
  EXPECT_EQ(QXImageGetNativeTile(image, row, col, &tile), 0);
  if (tile) QXTileReleaseUse(tile);
}

// Byte i of pixel (x, y); it varies across tiles so that a wrong tile shows.
inline uint8_t Byte(int64_t x, int64_t y, int64_t i) {
  return uint8_t(x * 31 + y * 17 + i * 89 + (x >> 8) * 5 + (y >> 8) * 3);
}

// Packed Byte() pixels of `r` with `colBytes` bytes each.
inline std::vector<uint8_t> Pattern(QXRect r, int32_t colBytes) {
  std::vector<uint8_t> bytes(size_t(r.width) * size_t(r.height) * size_t(colBytes));
  size_t n = 0;
  for (int64_t y = r.y; y < int64_t(r.y) + r.height; ++y)
    for (int64_t x = r.x; x < int64_t(r.x) + r.width; ++x)
      for (int32_t i = 0; i < colBytes; ++i) bytes[n++] = Byte(x, y, i);
  return bytes;
}

inline void Paint(QXImageRef image) {
  const QXRect b = QXImageGetBounds(image);
  ASSERT_EQ(QXImageWrite(image, b, 0, -1, Pattern(b, QXImageGetColBytes(image)).data(), 0), 0);
}

inline std::vector<uint8_t> ReadAll(QXImageRef image) {
  const QXRect b = QXImageGetBounds(image);
  std::vector<uint8_t> bytes(size_t(b.width) * size_t(b.height) * size_t(QXImageGetColBytes(image)), 0xEE);
  EXPECT_EQ(QXImageRead(image, b, 0, -1, bytes.data(), 0), 0);
  return bytes;
}

// Samples of `r` (the whole image by default) as packed values of type T.
template <class T>
std::vector<T> ReadAs(QXImageRef image, QXRect r) {
  std::vector<T> v(size_t(r.width) * size_t(r.height) * size_t(QXImageGetNumPlanes(image)));
  EXPECT_EQ(QXImageRead(image, r, 0, -1, v.data(), 0), 0);
  return v;
}
template <class T>
std::vector<T> ReadAs(QXImageRef image) {
  return ReadAs<T>(image, QXImageGetBounds(image));
}

template <class T>
void WriteAll(QXImageRef image, const std::vector<T>& samples) {
  ASSERT_EQ(QXImageWrite(image, QXImageGetBounds(image), 0, -1, samples.data(), 0), 0);
}

inline std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : v) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    b = uint8_t(x >> 8);
  }
  return v;
}

}  // namespace qxtest
