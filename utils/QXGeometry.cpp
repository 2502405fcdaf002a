// Geometry value types and the free functions over them.
//
// Integer results wrap at 32 bits: sums and products are formed in uint32_t and converted back, which is well
// defined in C++20, so a rectangle near INT32_MAX gives a wrapped answer rather than undefined behaviour.
// Float-to-int conversions saturate for the same reason. Single-precision steps stay in float (the
// library is built without contraction, so x86-64 and arm64 agree); the "+0.5 then truncate" rules widen to double.
#include <QXCore/QXUtils.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>

static_assert(sizeof(QXRect) == 16 && sizeof(QXRectF) == 16, "rectangles are four 32-bit fields");
static_assert(sizeof(QXPoint) == 8 && sizeof(QXPointF) == 8 && sizeof(QXSize) == 8, "points are two 32-bit fields");
static_assert(sizeof(QXAffineTransform) == 24 && sizeof(QXPreviewScene) == 24, "six 32-bit fields");

namespace {

constexpr int32_t wrapAdd(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
constexpr int32_t wrapSub(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}
constexpr int32_t wrapMul(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

// Truncating division; the one unrepresentable quotient, INT32_MIN / -1, wraps to INT32_MIN. The divisor must
// not be 0 (callers check).
constexpr int32_t wrapDiv(int32_t a, int32_t b) { return b == -1 ? wrapSub(0, a) : a / b; }
constexpr int32_t wrapRem(int32_t a, int32_t b) { return b == -1 ? 0 : a % b; }

// The last column (or row) of an inclusive span: origin + extent - 1.
constexpr int32_t lastOf(int32_t origin, int32_t extent) { return wrapSub(wrapAdd(origin, extent), 1); }

// Truncation toward zero that saturates instead of being undefined: NaN gives 0.
int32_t saturatingTrunc(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483648.0) return std::numeric_limits<int32_t>::max();
  if (v < -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

// The library's rounding: widen to double, add one half, truncate toward zero (so -0.7 and -1.2 give 0).
int32_t roundHalfUp(float v) { return saturatingTrunc(static_cast<double>(v) + 0.5); }

// IEEE division with a zero divisor spelled out (infinity or NaN), so it never relies on the compiler's choice.
float ieeeDiv(float a, float b) {
  if (b != 0.0f) return a / b;
  if (a == 0.0f || std::isnan(a)) return std::numeric_limits<float>::quiet_NaN();
  return std::signbit(a) != std::signbit(b) ? -std::numeric_limits<float>::infinity()
                                            : std::numeric_limits<float>::infinity();
}

// Degrees to radians, computed in double and then rounded to float.
float radiansOf(double degrees) { return static_cast<float>(degrees * std::numbers::pi / 180.0); }

struct Bounds {
  // Starting from the infinities (rather than a finite sentinel such as 1e10) keeps corners beyond any sentinel
  // inside the result; NaN corners are skipped either way.
  float minX = std::numeric_limits<float>::infinity();
  float minY = std::numeric_limits<float>::infinity();
  float maxX = -std::numeric_limits<float>::infinity();
  float maxY = -std::numeric_limits<float>::infinity();

  void add(QXPointF p) {
    if (p.x < minX) minX = p.x;
    if (p.x > maxX) maxX = p.x;
    if (p.y < minY) minY = p.y;
    if (p.y > maxY) maxY = p.y;
  }
};

// Local rather than the exported QXAffineTransformTransformPointF, which is reached through the PLT.
QXPointF apply(const QXAffineTransform& t, float x, float y) {
  return {t.a * x + t.b * y + t.tx, t.c * x + t.d * y + t.ty};
}

Bounds transformedBounds(float x0, float y0, float x1, float y1, const QXAffineTransform& t) {
  Bounds bounds;
  bounds.add(apply(t, x0, y0));
  bounds.add(apply(t, x0, y1));
  bounds.add(apply(t, x1, y0));
  bounds.add(apply(t, x1, y1));
  return bounds;
}

// Rounds half away from zero; applied to values that are already whole it only converts them.
int32_t roundHalfAway(float v) {
  const double w = v;
  return saturatingTrunc(w < 0.0 ? w - 0.5 : w + 0.5);
}

}  // namespace

// --- Construction and access -----------------------------------------------------------------------------------

QXRect QXRectMake(int32_t x, int32_t y, int32_t width, int32_t height) { return {x, y, width, height}; }
QXRectF QXRectFMake(float x, float y, float width, float height) { return {x, y, width, height}; }
QXPoint QXPointMake(int32_t x, int32_t y) { return {x, y}; }
QXPointF QXPointFMake(float x, float y) { return {x, y}; }

int32_t QXRectGetMinX(QXRect rect) { return rect.x; }
int32_t QXRectGetMinY(QXRect rect) { return rect.y; }
int32_t QXRectGetMaxX(QXRect rect) { return lastOf(rect.x, rect.width); }
int32_t QXRectGetMaxY(QXRect rect) { return lastOf(rect.y, rect.height); }
float QXRectFGetMinX(QXRectF rect) { return rect.x; }
float QXRectFGetMinY(QXRectF rect) { return rect.y; }
float QXRectFGetMaxX(QXRectF rect) { return rect.x + rect.width; }
float QXRectFGetMaxY(QXRectF rect) { return rect.y + rect.height; }

bool QXRectEmpty(QXRect rect) { return rect.width == 0 || rect.height == 0; }

bool QXRectEqual(QXRect a, QXRect b) { return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height; }

bool QXSizeEqual(QXSize a, QXSize b) { return a.width == b.width && a.height == b.height; }

bool QXPointFEqual(QXPointF a, QXPointF b) {
  const float dx = std::fabs(a.x - b.x);
  const float dy = std::fabs(a.y - b.y);
  return dx < 1e-6 && dy < 1e-6;
}

QXPoint QXPointAdd(QXPoint a, QXPoint b) { return {wrapAdd(a.x, b.x), wrapAdd(a.y, b.y)}; }
QXPointF QXPointFAdd(QXPointF a, QXPointF b) { return {a.x + b.x, a.y + b.y}; }

bool QXUtilsIsFloatEqual(float a, float b, float epsilon) { return std::fabs(a - b) <= epsilon; }

// --- Rectangle operations --------------------------------------------------------------------------------------

QXRect QXRectIntersect(QXRect a, QXRect b) {
  const int32_t x = a.x > b.x ? a.x : b.x;
  const int32_t y = a.y > b.y ? a.y : b.y;
  const int32_t aMaxX = lastOf(a.x, a.width), bMaxX = lastOf(b.x, b.width);
  const int32_t aMaxY = lastOf(a.y, a.height), bMaxY = lastOf(b.y, b.height);
  const int32_t maxX = aMaxX < bMaxX ? aMaxX : bMaxX;
  const int32_t maxY = aMaxY < bMaxY ? aMaxY : bMaxY;
  const int32_t width = wrapAdd(wrapSub(maxX, x), 1);
  const int32_t height = wrapAdd(wrapSub(maxY, y), 1);
  if (width < 0 || height < 0) return {0, 0, 0, 0};
  return {x, y, width, height};
}

QXRectF QXRectFIntersect(QXRectF a, QXRectF b) {
  const float x = a.x > b.x ? a.x : b.x;
  const float y = a.y > b.y ? a.y : b.y;
  const float aMaxX = a.x + a.width, bMaxX = b.x + b.width;
  const float aMaxY = a.y + a.height, bMaxY = b.y + b.height;
  const float width = (aMaxX < bMaxX ? aMaxX : bMaxX) - x;
  const float height = (aMaxY < bMaxY ? aMaxY : bMaxY) - y;
  if (width < 0.0f || height < 0.0f) return {0.0f, 0.0f, 0.0f, 0.0f};
  return {x, y, width, height};
}

QXRect QXRectSupersect(QXRect a, QXRect b) {
  if (a.width == 0 || a.height == 0) return b;
  if (b.width == 0 || b.height == 0) return a;
  const int32_t x = a.x < b.x ? a.x : b.x;
  const int32_t y = a.y < b.y ? a.y : b.y;
  const int32_t aMaxX = lastOf(a.x, a.width), bMaxX = lastOf(b.x, b.width);
  const int32_t aMaxY = lastOf(a.y, a.height), bMaxY = lastOf(b.y, b.height);
  const int32_t maxX = aMaxX > bMaxX ? aMaxX : bMaxX;
  const int32_t maxY = aMaxY > bMaxY ? aMaxY : bMaxY;
  return {x, y, wrapAdd(wrapSub(maxX, x), 1), wrapAdd(wrapSub(maxY, y), 1)};
}

QXRect QXRectOutset(QXRect rect, int32_t d) {
  const int32_t twice = wrapMul(2, d);
  return {wrapSub(rect.x, d), wrapSub(rect.y, d), wrapAdd(rect.width, twice), wrapAdd(rect.height, twice)};
}

QXRectF QXRectFOutset(QXRectF rect, float d) {
  // The extents grow by 2.0 * d formed in double, so a large d does not overflow before the sum.
  const double twice = 2.0 * d;
  return {rect.x - d, rect.y - d, static_cast<float>(rect.width + twice), static_cast<float>(rect.height + twice)};
}

QXRect QXRectScale(QXRect rect, float s) {
  const auto scale = [s](int32_t v) { return saturatingTrunc(static_cast<float>(v) * s); };
  return {scale(rect.x), scale(rect.y), scale(rect.width), scale(rect.height)};
}

QXRectF QXRectFScale(QXRectF rect, float s) { return {rect.x * s, rect.y * s, rect.width * s, rect.height * s}; }

bool QXRectInRect(QXRect inner, QXRect outer) {
  const int32_t innerMaxX = lastOf(inner.x, inner.width), innerMaxY = lastOf(inner.y, inner.height);
  const int32_t outerMaxX = lastOf(outer.x, outer.width), outerMaxY = lastOf(outer.y, outer.height);
  return inner.x >= outer.x && inner.x <= outerMaxX && inner.y >= outer.y && inner.y <= outerMaxY &&
         innerMaxX <= outerMaxX && innerMaxY <= outerMaxY;
}

QXRect QXRectFitInRectProportional(QXRect source, QXRect bounds) {
  if (source.width == 0 || source.height == 0) return {0, 0, 0, 0};
  int32_t width = wrapDiv(wrapMul(bounds.height, source.width), source.height);
  int32_t height = bounds.height;
  if (width > bounds.width) {
    width = bounds.width;
    height = wrapDiv(wrapMul(bounds.width, source.height), source.width);
  }
  return {0, 0, width, height};
}

bool QXPointInRect(QXPoint point, QXRect rect) {
  return point.x >= rect.x && point.x <= lastOf(rect.x, rect.width) && point.y >= rect.y &&
         point.y <= lastOf(rect.y, rect.height);
}

bool QXPointFInRectF(QXPointF point, QXRectF rect) {
  return point.x >= rect.x && point.x < rect.x + rect.width && point.y >= rect.y && point.y < rect.y + rect.height;
}

// --- Conversions -----------------------------------------------------------------------------------------------

QXPointF QXPointToQXPointF(QXPoint point) { return {static_cast<float>(point.x), static_cast<float>(point.y)}; }

QXPoint QXPointFToQXPoint(QXPointF point) { return {saturatingTrunc(point.x), saturatingTrunc(point.y)}; }

QXRectF QXRectToQXRectF(QXRect rect) {
  return {static_cast<float>(rect.x), static_cast<float>(rect.y), static_cast<float>(rect.width),
          static_cast<float>(rect.height)};
}

QXRect QXRectFToQXRect(QXRectF rect) {
  return {saturatingTrunc(rect.x), saturatingTrunc(rect.y), saturatingTrunc(rect.width), saturatingTrunc(rect.height)};
}

QXRect QXRectFToRoundedQXRect(QXRectF rect) {
  return {roundHalfUp(rect.x), roundHalfUp(rect.y), roundHalfUp(rect.width), roundHalfUp(rect.height)};
}

QXRect QXRectFToRoundOutQXRect(QXRectF rect) {
  const int32_t x = saturatingTrunc(std::floor(rect.x));
  const int32_t y = saturatingTrunc(std::floor(rect.y));
  const int32_t right = saturatingTrunc(std::ceil(rect.x + rect.width));
  const int32_t bottom = saturatingTrunc(std::ceil(rect.y + rect.height));
  return {x, y, wrapSub(right, x), wrapSub(bottom, y)};
}

// --- Affine transforms -----------------------------------------------------------------------------------------

QXAffineTransform QXAffineTransformIdentity(void) { return {1.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f}; }

QXAffineTransform QXAffineTransformMake(float angleDegrees, float scaleX, float scaleY, float centerX, float centerY,
                                        float offsetX, float offsetY) {
  const float theta = radiansOf(angleDegrees);
  const float s = std::sin(theta);
  const float c = std::cos(theta);
  QXAffineTransform t;
  t.a = c * scaleX;
  t.b = -(s * scaleY);
  t.c = s * scaleX;
  t.d = c * scaleY;
  t.tx = centerX + offsetX - t.a * centerX - t.b * centerY;
  t.ty = centerY + offsetY - t.c * centerX - t.d * centerY;
  return t;
}

QXAffineTransform QXAffineTransformMakeResize(QXRect source, QXRect destination, bool flipHorizontal, bool flipVertical,
                                              int32_t angleDegrees, float scaleX, float scaleY, bool proportional) {
  const float fx = flipHorizontal ? -1.0f : 1.0f;
  const float fy = flipVertical ? -1.0f : 1.0f;
  const float theta = radiansOf(angleDegrees);
  const float c = std::cos(theta);
  const float s = std::sin(theta);
  QXAffineTransform t = {c * fx, -(s * fx), s * fy, c * fy, 0.0f, 0.0f};

  const QXRect bounds = QXAffineTransformTransformRect(source, t);
  float sx = ieeeDiv(static_cast<float>(destination.width) * scaleX, static_cast<float>(bounds.width));
  float sy = ieeeDiv(static_cast<float>(destination.height) * scaleY, static_cast<float>(bounds.height));
  if (proportional) sx = sy = sx > sy ? sx : sy;

  t.a *= sx;
  t.b *= sx;
  t.c *= sy;
  t.d *= sy;
  t.tx = static_cast<float>((destination.x + 0.5 * destination.width) - (bounds.x + 0.5 * bounds.width) * sx);
  t.ty = static_cast<float>((destination.y + 0.5 * destination.height) - (bounds.y + 0.5 * bounds.height) * sy);
  return t;
}

QXAffineTransform QXAffineTransformConcat(QXAffineTransform t1, QXAffineTransform t2) {
  QXAffineTransform t;
  t.a = t1.a * t2.a + t1.b * t2.c;
  t.b = t1.a * t2.b + t1.b * t2.d;
  t.c = t1.c * t2.a + t1.d * t2.c;
  t.d = t1.c * t2.b + t1.d * t2.d;
  t.tx = t1.a * t2.tx + t1.b * t2.ty + t1.tx;
  t.ty = t1.c * t2.tx + t1.d * t2.ty + t1.ty;
  return t;
}

QXAffineTransform QXAffineTransformInvert(QXAffineTransform t) {
  const float det = t.a * t.d - t.b * t.c;
  const float k = ieeeDiv(1.0f, det);
  QXAffineTransform inv;
  inv.a = t.d * k;
  inv.b = -t.b * k;
  inv.c = -t.c * k;
  inv.d = t.a * k;
  inv.tx = -(t.tx * inv.a + t.ty * inv.b);
  inv.ty = -(t.tx * inv.c + t.ty * inv.d);
  return inv;
}

QXPointF QXAffineTransformTransformPointF(QXPointF point, QXAffineTransform t) { return apply(t, point.x, point.y); }

QXRectF QXAffineTransformTransformRectF(QXRectF rect, QXAffineTransform t) {
  const Bounds b = transformedBounds(rect.x, rect.y, rect.x + rect.width, rect.y + rect.height, t);
  return {b.minX, b.minY, b.maxX - b.minX, b.maxY - b.minY};
}

QXRect QXAffineTransformTransformRect(QXRect rect, QXAffineTransform t) {
  // The far corners are summed in integers, so they lie on the exclusive edges.
  const Bounds b = transformedBounds(static_cast<float>(rect.x), static_cast<float>(rect.y),
                                     static_cast<float>(wrapAdd(rect.x, rect.width)),
                                     static_cast<float>(wrapAdd(rect.y, rect.height)), t);
  constexpr float kTolerance = 1.0f / 256.0f;
  const int32_t x = roundHalfAway(std::floor(b.minX + kTolerance));
  const int32_t y = roundHalfAway(std::floor(b.minY + kTolerance));
  const int32_t right = roundHalfAway(std::ceil(b.maxX - kTolerance));
  const int32_t bottom = roundHalfAway(std::ceil(b.maxY - kTolerance));
  return {x, y, wrapSub(right, x), wrapSub(bottom, y)};
}

// --- Preview scenes --------------------------------------------------------------------------------------------

QXPreviewScene QXPreviewSceneIdentity(void) { return {0.0f, 0.0f, 0.0f, 0.0f, 1.0f, 1.0f}; }

void QXPreviewSceneSetMag(QXPreviewScene* scene, float mag) {
  if (scene == nullptr) return;
  scene->magX = mag;
  scene->magY = mag;
}

void QXPreviewSceneNormalizeToMag(QXPreviewScene* scene, float newMagX, float newMagY) {
  if (scene == nullptr) return;
  const float rx = ieeeDiv(scene->magX, newMagX);
  const float ry = ieeeDiv(scene->magY, newMagY);
  scene->x *= rx;
  scene->width *= rx;
  scene->y *= ry;
  scene->height *= ry;
  scene->magX = newMagX;
  scene->magY = newMagY;
}

int32_t QXPreviewSceneGetLeftCol(QXPreviewScene scene) { return roundHalfUp(scene.x * scene.magX); }
int32_t QXPreviewSceneGetRightCol(QXPreviewScene scene) { return roundHalfUp((scene.x + scene.width) * scene.magX); }
int32_t QXPreviewSceneGetTopRow(QXPreviewScene scene) { return roundHalfUp(scene.y * scene.magY); }
int32_t QXPreviewSceneGetBottomRow(QXPreviewScene scene) { return roundHalfUp((scene.y + scene.height) * scene.magY); }

int32_t QXPreviewSceneGetNumCols(QXPreviewScene scene) {
  return wrapSub(roundHalfUp((scene.x + scene.width) * scene.magX), roundHalfUp(scene.x * scene.magX));
}

int32_t QXPreviewSceneGetNumRows(QXPreviewScene scene) {
  return wrapSub(roundHalfUp((scene.y + scene.height) * scene.magY), roundHalfUp(scene.y * scene.magY));
}

QXRect QXPreviewSceneGetQXRect(QXPreviewScene scene) {
  return {roundHalfUp(scene.x * scene.magX), roundHalfUp(scene.y * scene.magY), QXPreviewSceneGetNumCols(scene),
          QXPreviewSceneGetNumRows(scene)};
}

// --- Levels, magnifications and tiles --------------------------------------------------------------------------

float QXUtilsLevelToMag(int32_t level) {
  // |level| in unsigned arithmetic, so INT32_MIN has a magnitude too.
  uint32_t n = level < 0 ? 0u - static_cast<uint32_t>(level) : static_cast<uint32_t>(level);
  float p = 1.0f;
  float base = 2.0f;
  while (n != 0) {
    if ((n & 1u) != 0) p *= base;
    base *= base;
    n >>= 1;
  }
  const float inverse = 1.0f / p;  // p is at least 1: 0 only once p has overflowed to infinity
  return level >= 0 ? inverse : ieeeDiv(1.0f, inverse);
}

int32_t QXUtilsMagToLevel(float mag) {
  // floor(-log2(mag)) read off the binary exponent: exact, where logf(mag) / logf(2) lands just below a whole
  // number for some powers of two (2^-13 would give level 12) and breaks the round trip with QXUtilsLevelToMag.
  if (std::isnan(mag) || mag < 0.0f) return 0;
  if (mag == 0.0f) return std::numeric_limits<int32_t>::max();
  if (std::isinf(mag)) return std::numeric_limits<int32_t>::min();
  int exponent = 0;
  const float mantissa = std::frexp(mag, &exponent);  // mag = mantissa * 2^exponent, mantissa in [0.5, 1)
  return mantissa == 0.5f ? 1 - exponent : -exponent;
}

void QXUtilsCalcTileDimensions(QXRect rect, int32_t tileSize, int32_t* outTileRows, int32_t* outTileCols) {
  const auto count = [tileSize](int32_t extent) -> int32_t {
    if (tileSize == 0) return 0;
    const int32_t n = wrapDiv(extent, tileSize);
    return wrapRem(extent, tileSize) != 0 ? wrapAdd(n, 1) : n;
  };
  if (outTileRows != nullptr) *outTileRows = count(rect.height);
  if (outTileCols != nullptr) *outTileCols = count(rect.width);
}

QXRect QXUtilsCalcTileRange(QXRect rect, int32_t tileSize) {
  if (tileSize == 0) return {0, 0, 0, 0};
  const int32_t x = wrapDiv(rect.x, tileSize);
  const int32_t y = wrapDiv(rect.y, tileSize);
  const int32_t width = wrapAdd(wrapSub(wrapDiv(lastOf(rect.x, rect.width), tileSize), x), 1);
  const int32_t height = wrapAdd(wrapSub(wrapDiv(lastOf(rect.y, rect.height), tileSize), y), 1);
  return {x, y, width, height};
}

QXRect QXUtilsCalcTileBoundingRectangle(QXRect rect, int32_t tileSize) {
  const QXRect range = QXUtilsCalcTileRange(rect, tileSize);
  return {wrapMul(range.x, tileSize), wrapMul(range.y, tileSize), wrapMul(range.width, tileSize),
          wrapMul(range.height, tileSize)};
}
