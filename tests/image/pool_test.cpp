// The image pool: pinned white images oldest first, format changes, and failures reported.
#include <algorithm>

#include "tests/image/ImageTestSupport.h"

namespace {

using namespace qxtest;

struct Pool {
  Pool() : ref(QXImagePoolCreate()) {}
  ~Pool() { QXImagePoolRelease(ref); }
  operator QXImagePoolRef() const { return ref; }
  QXImagePoolRef ref;
};

Image Acquire(QXImagePoolRef pool) { return Made(QXImagePoolAcquire, pool); }

bool AllBytes(QXImageRef image, uint8_t value) {
  const std::vector<uint8_t> bytes = ReadAll(image);
  return !bytes.empty() && std::all_of(bytes.begin(), bytes.end(), [&](uint8_t b) { return b == value; });
}

// Tiles of the image not resident: 0 when all are, -1 when none is.
int32_t Unloaded(QXImageRef image) {
  const int32_t rows = (QXImageGetHeight(image) + 255) / 256, cols = (QXImageGetWidth(image) + 255) / 256;
  int32_t missing = 0;
  for (int32_t r = 0; r < rows; ++r)
    for (int32_t c = 0; c < cols; ++c) missing += QXImageGetTileLoaded(image, r, c) ? 0 : 1;
  return missing == rows * cols ? -1 : missing;
}
// Pinned and white, as the pool makes them; a fresh image has neither.
bool Pooled(QXImageRef image) { return Unloaded(image) == 0 && AllBytes(image, 0xFF); }
bool Fresh(QXImageRef image) { return Unloaded(image) == -1 && AllBytes(image, 0); }

constexpr QXRect kBounds{10, 20, 600, 300};  // 3 x 2 tiles

TEST(ImagePool, UpdateMakesPinnedWhiteImagesAcquireHandsOutTheOldestUnpinned) {
  Pool pool;
  ASSERT_EQ(QXImagePoolUpdate(pool, 3, kBounds, 8, 3, 2, 0), 0);
  Image first = Acquire(pool);
  const QXRect b = QXImageGetBounds(first);
  EXPECT_TRUE(b.x == kBounds.x && b.y == kBounds.y && b.width == kBounds.width && b.height == kBounds.height);
  EXPECT_TRUE(QXImageGetDepth(first) == 8 && QXImageGetNumPlanes(first) == 3 && QXImageGetColorSpaceType(first) == 2);
  // Two are left: topping up to three makes exactly one more. They come oldest (lowest id) first;
  // once the pool is empty, a new image of the format, neither pinned nor filled.
  ASSERT_EQ(QXImagePoolUpdate(pool, 3, kBounds, 8, 3, 2, 0), 0);
  Image second = Acquire(pool), third = Acquire(pool), fourth = Acquire(pool), fresh = Acquire(pool);
  EXPECT_TRUE(QXImageGetInternalID(first) < QXImageGetInternalID(second) &&
              QXImageGetInternalID(second) < QXImageGetInternalID(third) &&
              QXImageGetInternalID(third) < QXImageGetInternalID(fourth));
  EXPECT_TRUE(Pooled(first) && Pooled(second) && Pooled(third) && Pooled(fourth));
  EXPECT_TRUE(QXImageGetWidth(fresh) == kBounds.width && Fresh(fresh));
  // A pool that already holds enough is left alone.
  ASSERT_EQ(QXImagePoolUpdate(pool, 2, kBounds, 8, 3, 2, 0), 0);
  ASSERT_EQ(QXImagePoolUpdate(pool, 1, kBounds, 8, 3, 2, 0), 0);
  EXPECT_TRUE(Pooled(Acquire(pool)) && Pooled(Acquire(pool)) && Fresh(Acquire(pool)));

  // Another format: the two 8-bit images waiting are dropped and two 16-bit ones made.
  ASSERT_EQ(QXImagePoolUpdate(pool, 3, kBounds, 8, 1, 1, 0), 0);
  const int32_t lastOld = QXImageGetInternalID(Acquire(pool)) + 2;
  ASSERT_EQ(QXImagePoolUpdate(pool, 2, kBounds, 16, 1, 1, 0), 0);
  Image x = Acquire(pool), y = Acquire(pool), z = Acquire(pool);
  EXPECT_TRUE(QXImageGetDepth(x) == 16 && QXImageGetDepth(y) == 16 && QXImageGetInternalID(x) > lastOld);
  EXPECT_TRUE(Pooled(x) && Pooled(y) && Fresh(z));  // the old ones did not come back
  // Each field counts as a change of format: the origin alone empties the pool as well.
  ASSERT_EQ(QXImagePoolUpdate(pool, 1, kBounds, 16, 1, 1, 0), 0);
  ASSERT_EQ(QXImagePoolUpdate(pool, 1, QXRect{0, 0, 600, 300}, 16, 1, 1, 0), 0);
  Image moved = Acquire(pool);
  EXPECT_TRUE(QXImageGetBounds(moved).x == 0 && Pooled(moved));
  ASSERT_EQ(QXImagePoolUpdate(pool, 2, QXRect{0, 0, 600, 300}, 16, 1, 1, 1), 0);
  EXPECT_EQ(QXImageGetTransparency(Acquire(pool)), 1);
  // A tiny budget: loading another image's tiles pushes out an acquired image's tiles (not its
  // pixels); the one still pooled stays pinned.
  Budget budget(256.0 * 256.0);
  ASSERT_EQ(QXImageFill(Image(QXRect{0, 0, 1024, 512}, 8, 1), 7), kQXNoErr);
  EXPECT_NE(Unloaded(first), 0);
  EXPECT_TRUE(AllBytes(first, 0xFF));
  EXPECT_EQ(Unloaded(Acquire(pool)), 0);
}

TEST(ImagePool, FailuresAreReported) {
  Pool pool;
  // A new pool has the empty format: nothing can be made from it.
  EXPECT_EQ(Refusal(QXImagePoolAcquire, pool.ref), kQXErrGeneric);
  EXPECT_EQ(QXImagePoolUpdate(pool, 2, kBounds, 12, 3, 2, 0), kQXErrUnsupportedFormat);
  EXPECT_EQ(QXImagePoolUpdate(pool, 2, QXRect{0, 0, 0, 10}, 8, 3, 2, 0), kQXErrGeneric);
  EXPECT_EQ(QXImagePoolUpdate(pool, 2, kBounds, 8, 33, 2, 0), kQXErrInvalidArgument);
  // Zero images asked for: nothing to make, so nothing fails, but the format is still unusable.
  EXPECT_EQ(QXImagePoolUpdate(pool, 0, kBounds, 8, 33, 2, 0), 0);
  EXPECT_EQ(Refusal(QXImagePoolAcquire, pool.ref), kQXErrInvalidArgument);
  EXPECT_EQ(QXImagePoolUpdate(nullptr, 1, kBounds, 8, 3, 2, 0), kQXErrInvalidArgument);
  EXPECT_EQ(Refusal(QXImagePoolAcquire, nullptr), kQXErrInvalidArgument);
  EXPECT_EQ(QXImagePoolAcquire(pool, nullptr), kQXErrInvalidArgument);
  // Retain and release balance: the pool outlives one extra reference.
  EXPECT_EQ(QXImagePoolRetain(pool), pool.ref);
  QXImagePoolRelease(pool);
  ASSERT_EQ(QXImagePoolUpdate(pool, 1, kBounds, 8, 3, 2, 0), 0);
  EXPECT_TRUE(AllBytes(Acquire(pool), 0xFF));
}

}  // namespace
