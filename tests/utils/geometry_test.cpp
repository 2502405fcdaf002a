// Geometry: rectangles, conversions, transforms, preview scenes, levels and tiles.
#include <QXCore/QXUtils.h>
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace {

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

using Fields = std::array<int32_t, 4>;
using FFields = std::array<float, 4>;
using Pair = std::array<int32_t, 2>;
Fields fields(QXRect r) { return {r.x, r.y, r.width, r.height}; }
FFields fields(QXRectF r) { return {r.x, r.y, r.width, r.height}; }
Pair fields(QXPoint p) { return {p.x, p.y}; }

// Rows, then columns.
Pair tileDimensions(QXRect rect, int32_t tileSize) {
  int32_t rows = -1, cols = -1;
  QXUtilsCalcTileDimensions(rect, tileSize, &rows, &cols);
  return {rows, cols};
}

// Every listed predicate gives `want`; a failure names its place in the list.
void expectAll(bool want, std::initializer_list<bool> results) {
  for (size_t i = 0; i < results.size(); ++i) EXPECT_EQ(results.begin()[i], want) << "item " << i;
}

void expectNear(QXPointF p, float x, float y, float tolerance = 1e-4f) {
  EXPECT_NEAR(p.x, x, tolerance);
  EXPECT_NEAR(p.y, y, tolerance);
}

void expectNear(QXAffineTransform t, std::array<float, 6> want, float tolerance = 1e-5f) {
  const std::array<float, 6> got = {t.a, t.b, t.c, t.d, t.tx, t.ty};
  for (size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(got[i], want[i], tolerance) << "component " << i;
}

QXAffineTransform shift(float dx, float dy) { return QXAffineTransformMake(0, 1, 1, 0, 0, dx, dy); }

TEST(Geometry, RectanglesPointsConversionsAndTolerances) {
  // Inclusive maxima for integer rectangles, exclusive for floating ones.
  EXPECT_EQ(QXRectGetMaxX(QXRectMake(5, 6, 10, 20)), 14);
  EXPECT_EQ(QXRectGetMaxY(QXRectMake(5, 6, 10, 20)), 25);
  EXPECT_EQ(QXRectFGetMaxX(QXRectFMake(5, 6, 10, 20)), 15.0f);

  EXPECT_EQ(fields(QXRectIntersect({0, 0, 10, 10}, {10, 0, 5, 5})), (Fields{10, 0, 0, 5}));
  EXPECT_EQ(fields(QXRectIntersect({0, 0, 10, 10}, {20, 20, 5, 5})), (Fields{0, 0, 0, 0}));
  EXPECT_EQ(fields(QXRectIntersect({0, 0, 10, 10}, {5, 3, 10, 10})), (Fields{5, 3, 5, 7}));
  EXPECT_EQ(fields(QXRectIntersect({5, 3, 10, 10}, {0, 0, 10, 10})), (Fields{5, 3, 5, 7}));
  EXPECT_EQ(fields(QXRectFIntersect({0, 0, 10, 10}, {10, 0, 5, 5})), (FFields{10, 0, 0, 5}));
  EXPECT_EQ(fields(QXRectFIntersect({0, 0, 10, 10}, {10.5f, 0, 5, 5})), (FFields{0, 0, 0, 0}));
  EXPECT_EQ(fields(QXRectFIntersect({0.5f, 0.5f, 2, 2}, {1, 1, 4, 4})), (FFields{1, 1, 1.5f, 1.5f}));

  // An empty first rectangle yields the second one untouched, even when that is empty or negative too.
  EXPECT_EQ(fields(QXRectSupersect({3, 3, 0, 7}, {1, 2, -5, 0})), (Fields{1, 2, -5, 0}));
  EXPECT_EQ(fields(QXRectSupersect({1, 2, 3, 4}, {9, 9, 9, 0})), (Fields{1, 2, 3, 4}));
  EXPECT_EQ(fields(QXRectSupersect({0, 0, 10, 10}, {5, 5, 10, 10})), (Fields{0, 0, 15, 15}));
  // A negative width is not empty and takes part with its own (lower) last column.
  EXPECT_EQ(fields(QXRectSupersect({0, 0, -5, 3}, {1, 1, 2, 2})), (Fields{0, 0, 3, 3}));

  EXPECT_EQ(fields(QXRectOutset({10, 10, 5, 5}, 2)), (Fields{8, 8, 9, 9}));
  EXPECT_EQ(fields(QXRectOutset({10, 10, 5, 5}, -2)), (Fields{12, 12, 1, 1}));
  EXPECT_EQ(fields(QXRectFOutset({1, 1, 2, 2}, 0.5f)), (FFields{0.5f, 0.5f, 3, 3}));

  // Proportional fit keeps the aspect, is placed at the origin and never centred.
  EXPECT_EQ(fields(QXRectFitInRectProportional({0, 0, 400, 200}, {0, 0, 100, 100})), (Fields{0, 0, 100, 50}));
  EXPECT_EQ(fields(QXRectFitInRectProportional({7, 7, 100, 400}, {50, 50, 100, 100})), (Fields{0, 0, 25, 100}));
  EXPECT_EQ(fields(QXRectFitInRectProportional({0, 0, 3, 2}, {0, 0, 100, 100})), (Fields{0, 0, 100, 66}));
  EXPECT_EQ(fields(QXPointAdd({3, -4}, {-5, 6})), (Pair{-2, 2}));

  // Rounded: plus one half in double, then truncation toward zero.
  EXPECT_EQ(fields(QXRectFToRoundedQXRect({2.5f, 2.4f, -0.7f, -1.2f})), (Fields{3, 2, 0, 0}));
  EXPECT_EQ(fields(QXRectFToRoundedQXRect({-1.6f, 0.2f, 1.0f, 1.0f})), (Fields{-1, 0, 1, 1}));
  // 0.49999997f + 0.5 would round up to 1 in single precision; in double it stays below 1.
  EXPECT_EQ(QXRectFToRoundedQXRect({0.49999997f, 0, 0, 0}).x, 0);
  // Round out: the smallest integer rectangle holding the floating one.
  EXPECT_EQ(fields(QXRectFToRoundOutQXRect({0.2f, 0.2f, 1.0f, 1.0f})), (Fields{0, 0, 2, 2}));
  EXPECT_EQ(fields(QXRectFToRoundOutQXRect({-0.5f, -1.5f, 1.0f, 0.5f})), (Fields{-1, -2, 2, 1}));
  EXPECT_EQ(fields(QXRectFToRoundOutQXRect({1, 2, 3, 4})), (Fields{1, 2, 3, 4}));
  // Plain truncation, each field on its own.
  EXPECT_EQ(fields(QXRectFToQXRect({-0.5f, 1.9f, 2.9f, 3.1f})), (Fields{0, 1, 2, 3}));
  EXPECT_EQ(fields(QXPointFToQXPoint({-2.7f, 3.9f})), (Pair{-2, 3}));
  EXPECT_EQ(fields(QXRectScale({3, -3, 10, 7}, 0.5f)), (Fields{1, -1, 5, 3}));
  EXPECT_EQ(fields(QXRectFScale({1, -2, 3, 4}, 1.5f)), (FFields{1.5f, -3, 4.5f, 6}));
  EXPECT_EQ(fields(QXRectToQXRectF({-3, 4, 5, 6})), (FFields{-3, 4, 5, 6}));

  // Containment shares the last column and row. QXPointFEqual is strict below 1e-6 on each axis;
  // QXUtilsIsFloatEqual is inclusive of its epsilon.
  expectAll(true, {QXRectEmpty({4, 4, 5, 0}), QXRectInRect({2, 2, 3, 3}, {0, 0, 5, 5}),
                   QXRectInRect({0, 0, 5, 5}, {0, 0, 5, 5}), QXPointInRect({9, 9}, {0, 0, 10, 10}),
                   QXPointInRect({0, 0}, {0, 0, 10, 10}), QXPointFInRectF({9.999f, 9.999f}, {0, 0, 10, 10}),
                   QXPointFInRectF({0.0f, 0.0f}, {0, 0, 10, 10}), QXPointFEqual({1.0f, 2.0f}, {1.0000005f, 2.0000005f}),
                   QXUtilsIsFloatEqual(1.0f, 1.5f, 0.5f), QXUtilsIsFloatEqual(-1.0f, 1.0f, 2.0f),
                   QXSizeEqual({3, 4}, {3, 4})});
  // A negative width is not empty.
  expectAll(false, {QXRectEmpty({0, 0, -5, 3}), QXRectInRect({2, 2, 4, 3}, {0, 0, 5, 5}),
                    QXRectInRect({-1, 0, 2, 2}, {0, 0, 5, 5}), QXRectInRect({10, 0, 1, 1}, {0, 0, 5, 5}),
                    QXPointInRect({10, 9}, {0, 0, 10, 10}), QXPointInRect({5, -1}, {0, 0, 10, 10}),
                    QXPointFInRectF({10.0f, 9.0f}, {0, 0, 10, 10}), QXPointFEqual({1.0f, 0}, {1.000002f, 0}),
                    QXPointFEqual({0, 1.0f}, {0, 1.000002f}), QXPointFEqual({kNaN, 0}, {kNaN, 0}),
                    QXUtilsIsFloatEqual(1.0f, 1.5f, 0.49f), QXUtilsIsFloatEqual(kNaN, kNaN, 1.0f),
                    QXSizeEqual({3, 4}, {4, 3})});
}

TEST(Geometry, AffineTransforms) {
  const QXRect rect = {10, 20, 30, 40};
  // Edges within 1/256 of a whole pixel snap back; beyond it the rectangle spreads by a pixel.
  EXPECT_EQ(fields(QXAffineTransformTransformRect(rect, shift(0.001f, 0.001f))), fields(rect));
  EXPECT_EQ(fields(QXAffineTransformTransformRect(rect, shift(-0.001f, -0.001f))), fields(rect));
  EXPECT_EQ(fields(QXAffineTransformTransformRect(rect, shift(0.01f, 0))), (Fields{10, 20, 31, 40}));
  EXPECT_EQ(fields(QXAffineTransformTransformRect(rect, shift(-0.01f, 0))), (Fields{9, 20, 31, 40}));

  // 90 degrees about the centre (50, 50), then an offset: the corner (0, 0) goes to (100, 0) + offset.
  const QXAffineTransform turn = QXAffineTransformMake(90, 1, 1, 50, 50, 5, -3);
  expectNear(QXAffineTransformTransformPointF({0, 0}, turn), 105, -3);
  expectNear(QXAffineTransformTransformPointF({50, 50}, turn), 55, 47);
  // The single-precision rotation is not exact; the snap tolerance absorbs it.
  const QXAffineTransform quarter = QXAffineTransformMake(90, 1, 1, 0, 0, 0, 0);
  EXPECT_EQ(fields(QXAffineTransformTransformRect({0, 0, 100, 50}, quarter)), (Fields{-50, 0, 50, 100}));
  // Scaling happens about the centre too.
  expectNear(QXAffineTransformTransformPointF({20, 10}, QXAffineTransformMake(0, 2, 3, 10, 10, 0, 0)), 30, 10);

  // 100 x 50 into 200 x 200, proportional: the larger scale (4) on both axes, centres aligned.
  const QXAffineTransform fit =
      QXAffineTransformMakeResize({0, 0, 100, 50}, {0, 0, 200, 200}, false, false, 0, 1, 1, true);
  expectNear(fit, {4, 0, 0, 4, -100, 0});
  expectNear(QXAffineTransformTransformPointF({50, 25}, fit), 100, 100);
  expectNear(QXAffineTransformMakeResize({0, 0, 100, 50}, {0, 0, 200, 200}, false, false, 0, 1, 1, false),
             {2, 0, 0, 4, 0, 0});
  // Rotated by 90 degrees, a 100 x 50 source fills a 50 x 100 destination exactly.
  const QXAffineTransform upright =
      QXAffineTransformMakeResize({0, 0, 100, 50}, {0, 0, 50, 100}, false, false, 90, 1, 1, false);
  EXPECT_EQ(fields(QXAffineTransformTransformRect({0, 0, 100, 50}, upright)), (Fields{0, 0, 50, 100}));
  // A horizontal flip mirrors about the destination's centre.
  const QXAffineTransform mirror =
      QXAffineTransformMakeResize({0, 0, 100, 50}, {0, 0, 100, 50}, true, false, 0, 1, 1, false);
  expectNear(QXAffineTransformTransformPointF({10, 5}, mirror), 90, 5);

  // Concat(t1, t2) applies t2 first.
  const QXAffineTransform twice = QXAffineTransformMake(0, 2, 2, 0, 0, 0, 0);
  expectNear(QXAffineTransformTransformPointF({1, 1}, QXAffineTransformConcat(twice, shift(10, 0))), 22, 2);
  expectNear(QXAffineTransformTransformPointF({1, 1}, QXAffineTransformConcat(shift(10, 0), twice)), 12, 2);

  const QXAffineTransform t = QXAffineTransformMake(30, 2, 3, 10, 20, 5, -7);
  const QXAffineTransform inverse = QXAffineTransformInvert(t);
  expectNear(QXAffineTransformTransformPointF(QXAffineTransformTransformPointF({3, 4}, t), inverse), 3, 4);
  expectNear(QXAffineTransformConcat(inverse, t), {1, 0, 0, 1, 0, 0}, 1e-4f);
  // A singular transform has no inverse; the result says so with non-finite components.
  EXPECT_FALSE(std::isfinite(QXAffineTransformInvert({0, 0, 0, 0, 1, 1}).a));
}

TEST(Geometry, PreviewScenes) {
  const QXPreviewScene identity = QXPreviewSceneIdentity();
  EXPECT_EQ(fields(QXPreviewSceneGetQXRect(identity)), (Fields{0, 0, 0, 0}));
  EXPECT_EQ((std::array{identity.magX, identity.magY}), (std::array{1.0f, 1.0f}));

  // round() adds one half and truncates toward zero: -0.7 gives 0, 9.3 gives 9, 2.5 gives 3, -1.6 gives -1.
  QXPreviewScene scene = {-0.7f, 2.5f, 10, -4.1f, 1, 1};
  EXPECT_EQ(
      (std::array{QXPreviewSceneGetLeftCol(scene), QXPreviewSceneGetRightCol(scene), QXPreviewSceneGetTopRow(scene),
                  QXPreviewSceneGetBottomRow(scene), QXPreviewSceneGetNumCols(scene), QXPreviewSceneGetNumRows(scene)}),
      (std::array{0, 9, 3, -1, 9, -4}));

  scene = {10, 20, 100, 50, 1, 1};
  QXPreviewSceneSetMag(&scene, 0.5f);
  EXPECT_EQ(fields(QXPreviewSceneGetQXRect(scene)), (Fields{5, 10, 50, 25}));
  EXPECT_EQ(scene.width, 100.0f);
  // Re-expressed at other magnifications, the scene covers the same preview pixels.
  QXPreviewSceneNormalizeToMag(&scene, 0.25f, 2.0f);
  EXPECT_EQ((std::array{scene.magX, scene.magY, scene.x, scene.height}), (std::array{0.25f, 2.0f, 20.0f, 12.5f}));
  EXPECT_EQ(fields(QXPreviewSceneGetQXRect(scene)), (Fields{5, 10, 50, 25}));
  QXPreviewSceneSetMag(nullptr, 2);
  QXPreviewSceneNormalizeToMag(nullptr, 2, 2);
}

TEST(Geometry, LevelsMagnificationsAndTiles) {
  // Beyond the float range the magnification saturates to 0 or infinity, INT32_MIN included.
  EXPECT_EQ(
      (std::vector{QXUtilsLevelToMag(0), QXUtilsLevelToMag(1), QXUtilsLevelToMag(2), QXUtilsLevelToMag(-1),
                   QXUtilsLevelToMag(-2), QXUtilsLevelToMag(13), QXUtilsLevelToMag(-127), QXUtilsLevelToMag(200),
                   QXUtilsLevelToMag(kMax), QXUtilsLevelToMag(-200), QXUtilsLevelToMag(kMin)}),
      (std::vector{1.0f, 0.5f, 0.25f, 2.0f, 4.0f, 1.0f / 8192.0f, std::ldexp(1.0f, 127), 0.0f, 0.0f, kInf, kInf}));

  // floor(-log2(mag)): the largest level whose magnification is not below mag, also just off a power of two.
  // Outside the precondition (0, negative, NaN, infinity) the answers are still defined.
  const float above = std::nextafter(0.125f, 1.0f), below = std::nextafter(0.125f, 0.0f);
  const float tiny = std::numeric_limits<float>::denorm_min();
  const std::pair<float, int32_t> mags[] = {{1.0f, 0},   {0.5f, 1},    {0.3f, 1},  {0.25f, 2}, {0.26f, 1},
                                            {2.0f, -1},  {3.0f, -2},   {1.5f, -1}, {above, 2}, {below, 3},
                                            {tiny, 149}, {0.0f, kMax}, {-1.0f, 0}, {kNaN, 0},  {kInf, kMin}};
  for (auto [mag, level] : mags) EXPECT_EQ(QXUtilsMagToLevel(mag), level) << mag;
  // Every exact mip magnification maps back to its own level (a single-precision log ratio misses 13, 15, 26...).
  for (int32_t level = -127; level <= 127; ++level) EXPECT_EQ(QXUtilsMagToLevel(QXUtilsLevelToMag(level)), level);

  EXPECT_EQ(fields(QXUtilsCalcTileRange({300, 0, 300, 256}, 256)), (Fields{1, 0, 2, 1}));
  EXPECT_EQ(fields(QXUtilsCalcTileBoundingRectangle({300, 0, 300, 256}, 256)), (Fields{256, 0, 512, 256}));
  EXPECT_EQ(fields(QXUtilsCalcTileRange({255, 255, 2, 2}, 256)), (Fields{0, 0, 2, 2}));
  EXPECT_EQ(fields(QXUtilsCalcTileBoundingRectangle({255, 511, 2, 1}, 256)), (Fields{0, 256, 512, 256}));
  EXPECT_EQ(tileDimensions({0, 0, 300, 256}, 256), (Pair{1, 2}));
  EXPECT_EQ(tileDimensions({9, 9, 512, 513}, 256), (Pair{3, 2}));
  EXPECT_EQ(tileDimensions({0, 0, 0, 0}, 256), (Pair{0, 0}));
  int32_t cols = -1;
  QXUtilsCalcTileDimensions({0, 0, 1, 1}, 256, nullptr, &cols);
  EXPECT_EQ(cols, 1);
}

TEST(Geometry, ExtremeValuesWrapOrSaturate) {
  // Integer sums wrap at 32 bits instead of being undefined.
  EXPECT_EQ(QXRectGetMaxX({10, 0, kMax, 1}), kMin + 8);
  EXPECT_EQ(fields(QXRectIntersect({10, 0, kMax, 5}, {0, 0, 100, 5})), (Fields{10, 0, kMax, 5}));
  EXPECT_EQ(fields(QXPointAdd({kMax, kMin}, {1, -1})), (Pair{kMin, kMax}));
  EXPECT_EQ(fields(QXRectOutset({kMin, 0, kMax, 0}, 1)), (Fields{kMax, -1, kMin + 1, 2}));
  EXPECT_FALSE(QXPointInRect({kMax, 0}, {10, 0, kMax, 1}));

  // Float-to-int conversions saturate; NaN gives 0.
  EXPECT_EQ(fields(QXRectFToQXRect({kNaN, 1e20f, -1e20f, kInf})), (Fields{0, kMax, kMin, kMax}));
  EXPECT_EQ(fields(QXRectFToQXRect({2147483520.0f, -2147483648.0f, 2147483648.0f, -2147483904.0f})),
            (Fields{2147483520, kMin, kMax, kMin}));
  EXPECT_EQ(fields(QXRectFToRoundedQXRect({kNaN, 1e20f, -1e20f, 0.5f})), (Fields{0, kMax, kMin, 1}));
  const QXRect roundOut = QXRectFToRoundOutQXRect({-1e20f, kNaN, 1, 1});
  EXPECT_EQ((Pair{roundOut.x, roundOut.y}), (Pair{kMin, 0}));
  EXPECT_EQ(fields(QXRectScale({kMax, 1, -kMax, 1}, 4)), (Fields{kMax, 4, kMin, 4}));
  EXPECT_EQ(QXPointFToQXPoint({kNaN, -1e30f}).y, kMin);
  EXPECT_EQ(QXPreviewSceneGetRightCol({0, 0, 1e30f, 0, 1, 1}), kMax);
  EXPECT_EQ(fields(QXAffineTransformTransformRect({0, 0, kMax, kMax}, QXAffineTransformMake(0, 4, 4, 0, 0, 0, 0))),
            (Fields{0, 0, kMax, kMax}));
  // Bounds far beyond any finite sentinel still bound the rectangle.
  const QXRectF far = QXAffineTransformTransformRectF({2e10f, -3e10f, 1e9f, 1e9f}, QXAffineTransformIdentity());
  EXPECT_EQ((std::array{far.x, far.y}), (std::array{2e10f, -3e10f}));

  // Divisions: INT32_MIN / -1 wraps to INT32_MIN; a zero divisor gives a defined all-zero result.
  EXPECT_EQ(fields(QXRectFitInRectProportional({0, 0, 1, -1}, {0, 0, 0, kMin})), (Fields{0, 0, kMin, kMin}));
  EXPECT_EQ(fields(QXRectFitInRectProportional({0, 0, 0, 10}, {0, 0, 100, 100})), (Fields{0, 0, 0, 0}));
  EXPECT_EQ(fields(QXRectFitInRectProportional({0, 0, 10, 0}, {0, 0, 100, 100})), (Fields{0, 0, 0, 0}));
  EXPECT_EQ(fields(QXUtilsCalcTileRange({kMin, 0, 1, 1}, -1)), (Fields{kMin, 0, 1, 1}));
  EXPECT_EQ(fields(QXUtilsCalcTileRange({300, 0, 300, 256}, 0)), (Fields{0, 0, 0, 0}));
  EXPECT_EQ(fields(QXUtilsCalcTileBoundingRectangle({300, 0, 300, 256}, 0)), (Fields{0, 0, 0, 0}));
  EXPECT_EQ(tileDimensions({0, 0, 300, 256}, 0), (Pair{0, 0}));
  EXPECT_EQ(tileDimensions({0, 0, kMin, kMin}, -1), (Pair{kMin, kMin}));
}

}  // namespace
