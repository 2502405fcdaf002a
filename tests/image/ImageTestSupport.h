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

// Creation kinds, sample depths.
constexpr int32_t kTiled = 0, kMemory = 1, kSolid = 3;
constexpr int32_t kPixelKinds[] = {kMemory, kTiled};
constexpr int32_t kAllKinds[] = {kMemory, kTiled, kSolid};
constexpr int32_t kDepths[] = {8, 16, 32};
constexpr int32_t kTile = kQXImageTileSize;

// Owns an image record; converts to QXImageRef so that it can be passed to the C API directly.
class Image {
 public:
  Image() = default;
  explicit Image(QXImageRef ref) : mRef(ref) {}
  Image(QXRect bounds, int32_t depth, int32_t planes) {
    EXPECT_EQ(QXImageCreateWithParams(bounds, depth, planes, &mRef), 0);
  }
  Image(int32_t kind, QXRect bounds, int32_t depth, int32_t planes, int32_t colorSpace = 2, int32_t transparency = 0) {
    EXPECT_EQ(QXImageCreateWithParams2(bounds, depth, planes, colorSpace, transparency, kind, &mRef), 0);
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

// The image f(args..., &out) hands out; it must succeed.
template <class F, class... A>
Image Made(F f, A... args) {
  QXImageRef out = nullptr;
  EXPECT_EQ(f(args..., &out), 0);
  return Image(out);
}

// The status of f(args..., &out), which must hand out nothing when it fails.
template <class F, class... A>
QXStatus Refusal(F f, A... args) {
  QXImageRef out = reinterpret_cast<QXImageRef>(&out);
  const QXStatus status = f(args..., &out);
  EXPECT_TRUE(status == 0 || out == nullptr) << status;
  Image made(status == 0 ? out : nullptr);
  return status;
}

// A memory record without a buffer: its reads and writes fail.
inline Image NoPixels(QXRect bounds, int32_t depth, int32_t planes) {
  return Made(QXImageCreateMemory, bounds, depth, planes, 1, 0, nullptr);
}

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

// A tile of a tiled record, its use lock held while this lives.
class NativeTile {
 public:
  NativeTile(QXImageRef image, int32_t row, int32_t col) {
    EXPECT_EQ(QXImageGetNativeTile(image, row, col, &mRef), kQXNoErr) << row << "," << col;
  }
  ~NativeTile() {
    if (mRef) QXTileReleaseUse(mRef);
  }
  NativeTile(const NativeTile&) = delete;
  NativeTile& operator=(const NativeTile&) = delete;
  operator QXTileRef() const { return mRef; }
  uint8_t* data() const { return static_cast<uint8_t*>(QXTileGetDataPtr(mRef)); }
  // Gives up the use lock early.
  void release() {
    if (mRef) QXTileReleaseUse(mRef);
    mRef = nullptr;
  }

 private:
  QXTileRef mRef = nullptr;
};

// Makes a tile resident (and most recently used) without keeping it.
inline void Touch(QXImageRef image, int32_t row, int32_t col) { NativeTile tile(image, row, col); }

// The status of asking for a tile outside the grid: nothing is handed out.
inline QXStatus TileRefusal(QXImageRef image, int32_t row, int32_t col) {
  QXTileRef tile = reinterpret_cast<QXTileRef>(&tile);
  const QXStatus status = QXImageGetNativeTile(image, row, col, &tile);
  EXPECT_TRUE(status != kQXNoErr && tile == nullptr) << row << "," << col << " gave " << status;
  return status;
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

// Samples of `r` (the whole image by default) as packed values of type T.
template <class T = uint8_t>
std::vector<T> ReadAs(QXImageRef image, QXRect r) {
  std::vector<T> v(size_t(r.width) * size_t(r.height) * size_t(QXImageGetColBytes(image)) / sizeof(T), T(0xEE));
  EXPECT_EQ(QXImageRead(image, r, 0, -1, v.data(), 0), 0);
  return v;
}
template <class T = uint8_t>
std::vector<T> ReadAs(QXImageRef image) {
  return ReadAs<T>(image, QXImageGetBounds(image));
}
inline std::vector<uint8_t> ReadAll(QXImageRef image) { return ReadAs<uint8_t>(image); }

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

// Random bytes over the whole image; returns them.
inline std::vector<uint8_t> PaintRandom(QXImageRef image, uint32_t seed) {
  const QXRect b = QXImageGetBounds(image);
  const auto bytes = RandomBytes(size_t(b.width) * size_t(b.height) * size_t(QXImageGetColBytes(image)), seed);
  WriteAll(image, bytes);
  return bytes;
}

}  // namespace qxtest
