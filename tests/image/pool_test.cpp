// The image pool: pinned, filled images handed out oldest first, a format change that empties the
// pool, new images when it is empty, and failures reported instead of swallowed.
#include <QXCore/QXImage.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "tests/image/ImageTestSupport.h"

namespace {

using qxtest::Image;

// Owns a pool.
class Pool {
 public:
  Pool() : mRef(QXImagePoolCreate()) {}
  ~Pool() { QXImagePoolRelease(mRef); }
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;
  operator QXImagePoolRef() const { return mRef; }

 private:
  QXImagePoolRef mRef;
};

Image Acquire(QXImagePoolRef pool, QXStatus expected = 0) {
  QXImageRef ref = nullptr;
  EXPECT_EQ(QXImagePoolAcquire(pool, &ref), expected);
  return Image(ref);
}

bool AllBytes(QXImageRef image, uint8_t value) {
  const std::vector<uint8_t> bytes = qxtest::ReadAll(image);
  return !bytes.empty() && std::all_of(bytes.begin(), bytes.end(), [&](uint8_t b) { return b == value; });
}

bool AllTilesLoaded(QXImageRef image) {
  const int32_t rows = (QXImageGetHeight(image) + 255) / 256, cols = (QXImageGetWidth(image) + 255) / 256;
  for (int32_t r = 0; r < rows; ++r)
    for (int32_t c = 0; c < cols; ++c)
      if (!QXImageGetTileLoaded(image, r, c)) return false;
  return true;
}

bool AnyTileLoaded(QXImageRef image) {
  const int32_t rows = (QXImageGetHeight(image) + 255) / 256, cols = (QXImageGetWidth(image) + 255) / 256;
  for (int32_t r = 0; r < rows; ++r)
    for (int32_t c = 0; c < cols; ++c)
      if (QXImageGetTileLoaded(image, r, c)) return true;
  return false;
}

constexpr QXRect kBounds{10, 20, 600, 300};  // 3 x 2 tiles

TEST(ImagePool, UpdateMakesPinnedWhiteImagesAndAcquireHandsOutTheOldest) {
  Pool pool;
  ASSERT_EQ(QXImagePoolUpdate(pool, 3, kBounds, 8, 3, 2, 0), 0);

  // The three waiting images, oldest first; they were made in that order, so their ids rise.
  Image first = Acquire(pool);
  ASSERT_TRUE(first.get());
  EXPECT_EQ(QXImageGetDataSourceType(first), kQXImageSourceTiled);
  QXRect b = QXImageGetBounds(first);
  EXPECT_EQ(b.x, kBounds.x);
  EXPECT_EQ(b.y, kBounds.y);
  EXPECT_EQ(b.width, kBounds.width);
  EXPECT_EQ(b.height, kBounds.height);
  EXPECT_EQ(QXImageGetDepth(first), 8);
  EXPECT_EQ(QXImageGetNumPlanes(first), 3);
  EXPECT_EQ(QXImageGetColorSpaceType(first), 2);
  EXPECT_TRUE(AllTilesLoaded(first));
  EXPECT_TRUE(AllBytes(first, 0xFF));

  // Two are left: topping up to three makes exactly one more.
  ASSERT_EQ(QXImagePoolUpdate(pool, 3, kBounds, 8, 3, 2, 0), 0);
  Image second = Acquire(pool), third = Acquire(pool), fourth = Acquire(pool);
  EXPECT_LT(QXImageGetInternalID(first), QXImageGetInternalID(second));
  EXPECT_LT(QXImageGetInternalID(second), QXImageGetInternalID(third));
  EXPECT_LT(QXImageGetInternalID(third), QXImageGetInternalID(fourth));
  for (QXImageRef image : {second.get(), third.get(), fourth.get()}) EXPECT_TRUE(AllBytes(image, 0xFF));

  // Empty now: a new image of the format, neither pinned nor filled.
  Image fresh = Acquire(pool);
  ASSERT_TRUE(fresh.get());
  EXPECT_EQ(QXImageGetWidth(fresh), kBounds.width);
  EXPECT_EQ(QXImageGetNumPlanes(fresh), 3);
  EXPECT_FALSE(AnyTileLoaded(fresh));
  EXPECT_TRUE(AllBytes(fresh, 0));

  // A pool that already holds enough is left alone.
  ASSERT_EQ(QXImagePoolUpdate(pool, 2, kBounds, 8, 3, 2, 0), 0);
  ASSERT_EQ(QXImagePoolUpdate(pool, 1, kBounds, 8, 3, 2, 0), 0);
  Image a = Acquire(pool), c = Acquire(pool), d = Acquire(pool);
  EXPECT_TRUE(AllBytes(a, 0xFF));
  EXPECT_TRUE(AllBytes(c, 0xFF));
  EXPECT_FALSE(AnyTileLoaded(d));
}

TEST(ImagePool, AnotherFormatEmptiesThePoolBeforeRefilling) {
  Pool pool;
  ASSERT_EQ(QXImagePoolUpdate(pool, 3, kBounds, 8, 1, 1, 0), 0);
  Image old = Acquire(pool);
  const int32_t lastOld = QXImageGetInternalID(old) + 2;

  // Two 8-bit images wait; a 16-bit update drops them and makes two of its own.
  ASSERT_EQ(QXImagePoolUpdate(pool, 2, kBounds, 16, 1, 1, 0), 0);
  Image x = Acquire(pool), y = Acquire(pool), z = Acquire(pool);
  EXPECT_EQ(QXImageGetDepth(x), 16);
  EXPECT_EQ(QXImageGetDepth(y), 16);
  EXPECT_GT(QXImageGetInternalID(x), lastOld);
  EXPECT_TRUE(AllBytes(x, 0xFF));
  EXPECT_TRUE(AllBytes(y, 0xFF));
  EXPECT_FALSE(AnyTileLoaded(z));  // the old ones did not come back

  // Each field counts as a change of format: the origin alone empties the pool as well.
  ASSERT_EQ(QXImagePoolUpdate(pool, 1, kBounds, 16, 1, 1, 0), 0);
  ASSERT_EQ(QXImagePoolUpdate(pool, 1, QXRect{0, 0, 600, 300}, 16, 1, 1, 0), 0);
  Image moved = Acquire(pool);
  EXPECT_EQ(QXImageGetBounds(moved).x, 0);
  EXPECT_TRUE(AllBytes(moved, 0xFF));
  ASSERT_EQ(QXImagePoolUpdate(pool, 1, QXRect{0, 0, 600, 300}, 16, 1, 1, 1), 0);
  Image transparent = Acquire(pool);
  EXPECT_EQ(QXImageGetTransparency(transparent), 1);
}

TEST(ImagePool, AcquiredImagesMayBePurgedWhilePooledOnesStayPinned) {
  Pool pool;
  ASSERT_EQ(QXImagePoolUpdate(pool, 2, QXRect{0, 0, 512, 512}, 8, 1, 1, 0), 0);
  Image taken = Acquire(pool);
  ASSERT_TRUE(AllTilesLoaded(taken));

  // A tiny budget: loading another image's tiles pushes out every unpinned tile.
  {
    qxtest::Budget budget(256.0 * 256.0);
    Image other(QXRect{0, 0, 1024, 512}, 8, 1);
    ASSERT_EQ(QXImageFill(other, 7), 0);
    EXPECT_FALSE(AllTilesLoaded(taken));
    // Pixels survive the purge.
    EXPECT_TRUE(AllBytes(taken, 0xFF));
    Image waiting = Acquire(pool);
    EXPECT_TRUE(AllTilesLoaded(waiting));
  }
}

TEST(ImagePool, FailuresAreReported) {
  Pool pool;
  // A new pool has the empty format: nothing can be made from it.
  QXImageRef out = reinterpret_cast<QXImageRef>(&pool);
  EXPECT_EQ(QXImagePoolAcquire(pool, &out), kQXErrGeneric);
  EXPECT_EQ(out, nullptr);

  EXPECT_EQ(QXImagePoolUpdate(pool, 2, kBounds, 12, 3, 2, 0), kQXErrUnsupportedFormat);
  EXPECT_EQ(QXImagePoolUpdate(pool, 2, QXRect{0, 0, 0, 10}, 8, 3, 2, 0), kQXErrGeneric);
  EXPECT_EQ(QXImagePoolUpdate(pool, 2, kBounds, 8, 33, 2, 0), kQXErrInvalidArgument);
  // Zero images asked for: nothing to make, so nothing fails.
  EXPECT_EQ(QXImagePoolUpdate(pool, 0, kBounds, 8, 33, 2, 0), 0);
  EXPECT_EQ(QXImagePoolAcquire(pool, &out), kQXErrInvalidArgument);
  EXPECT_EQ(out, nullptr);

  EXPECT_EQ(QXImagePoolUpdate(nullptr, 1, kBounds, 8, 3, 2, 0), kQXErrInvalidArgument);
  EXPECT_EQ(QXImagePoolAcquire(nullptr, &out), kQXErrInvalidArgument);
  EXPECT_EQ(QXImagePoolAcquire(pool, nullptr), kQXErrInvalidArgument);

  // Retain and release balance: the pool outlives one extra reference.
  EXPECT_EQ(QXImagePoolRetain(pool), static_cast<QXImagePoolRef>(pool));
  QXImagePoolRelease(pool);
  ASSERT_EQ(QXImagePoolUpdate(pool, 1, kBounds, 8, 3, 2, 0), 0);
  Image ok = Acquire(pool);
  EXPECT_TRUE(AllBytes(ok, 0xFF));
}

}  // namespace
