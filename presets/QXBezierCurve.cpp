#include <QXCore/QXPresets.h>

#include <algorithm>
#include <cmath>
#include <limits>

const CFStringRef QXBezierCurve::kVersionKey = CFSTR("curveVersion");
const CFStringRef QXBezierCurve::kIdKey = CFSTR("id");
const CFStringRef QXBezierCurve::kSelectedControlPointsKey = CFSTR("selectedControlPoint");
const CFStringRef QXBezierCurve::kControlPointCountKey = CFSTR("controlPointCount");
const CFStringRef QXBezierCurve::kControlPointsKey = CFSTR("controlPoints");
const CFStringRef QXBezierCurve::kControlPointXKey = CFSTR("controlPointX");
const CFStringRef QXBezierCurve::kControlPointYKey = CFSTR("controlPointY");

namespace {

constexpr QXPointF kEmptySlot{-1.0f, -1.0f};

// Float to int conversions that cannot overflow: NaN gives 0, the rest saturates.
int saturate(double v) {
  if (std::isnan(v)) return 0;
  if (v <= static_cast<double>(std::numeric_limits<int>::min())) return std::numeric_limits<int>::min();
  if (v >= static_cast<double>(std::numeric_limits<int>::max())) return std::numeric_limits<int>::max();
  return static_cast<int>(v);
}
int nearest(double v) { return saturate(std::floor(v + 0.5)); }

float unit(float v) { return std::isnan(v) ? 0.0f : std::clamp(v, 0.0f, 1.0f); }

// A slot as the curve may hold it: empty for x below 0, otherwise both coordinates in 0 to 1.
QXPointF sound(QXPointF p) {
  if (p.x < 0.0f) return kEmptySlot;
  return QXPointF{unit(p.x), unit(p.y)};
}

bool active(QXPointF p) { return p.x >= 0.0f; }

}  // namespace

QXBezierCurve::QXBezierCurve(int id, int sampleCount, int controlPointCount)
    : mId(id),
      mSelectedControlPoint(0),
      mControlPointCount(std::clamp(controlPointCount, 0, kMaxControlPointCount)),
      mSampleCount(std::clamp(sampleCount, 0, kMaxSampleCount)),
      mMinX(0.0f),
      mMaxX(1.0f) {
  reset();
  mInitialSearchDistance = 2.0f * static_cast<float>(mSampleCount);
  mPixelScale = static_cast<float>(mSampleCount) - 0.001f;
}

QXBezierCurve::QXBezierCurve(const QXBezierCurve& other) : QXBezierCurve(0, 0, 0) { *this = other; }

QXBezierCurve::~QXBezierCurve() = default;

QXBezierCurve& QXBezierCurve::operator=(const QXBezierCurve& other) {
  if (this == &other) return *this;
  mId = other.mId;
  mSelectedControlPoint = other.mSelectedControlPoint;
  mControlPoints = other.mControlPoints;
  mSamples = other.mSamples;
  mControlPointCount = other.mControlPointCount;
  mSampleCount = other.mSampleCount;
  mMinX = other.mMinX;
  mMaxX = other.mMaxX;
  mInitialSearchDistance = other.mInitialSearchDistance;
  mPixelScale = other.mPixelScale;
  return *this;
}

bool QXBezierCurve::pointVectorCompare(const std::vector<QXPointF>& a, const std::vector<QXPointF>& b) const {
  if (a.size() != b.size()) return false;
  size_t count = std::min(a.size(), static_cast<size_t>(mControlPointCount));
  for (size_t i = 0; i < count; ++i) {
    if (!(a[i].x == b[i].x && a[i].y == b[i].y)) return false;
  }
  return true;
}

bool QXBezierCurve::operator==(const QXBezierCurve& other) const {
  if (this == &other) return true;
  return mId == other.mId && mSelectedControlPoint == other.mSelectedControlPoint &&
         mControlPointCount == other.mControlPointCount && mSampleCount == other.mSampleCount && mMinX == other.mMinX &&
         mMaxX == other.mMaxX && mInitialSearchDistance == other.mInitialSearchDistance &&
         mPixelScale == other.mPixelScale && pointVectorCompare(mControlPoints, other.mControlPoints) &&
         mSamples == other.mSamples;
}
bool QXBezierCurve::operator!=(const QXBezierCurve& other) const { return !(*this == other); }

void QXBezierCurve::reset() {
  int n = mSampleCount;
  mSamples.resize(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) mSamples[i] = n == 1 ? 1.0f : static_cast<float>(n - 1 - i) / static_cast<float>(n - 1);
  mControlPoints.assign(static_cast<size_t>(mControlPointCount), kEmptySlot);
}

int QXBezierCurve::id() const { return mId; }
void QXBezierCurve::setId(int id) { mId = id; }
int QXBezierCurve::selectedControlPoint() const { return mSelectedControlPoint; }
void QXBezierCurve::setSelectedControlPoint(int slot) { mSelectedControlPoint = slot; }
int QXBezierCurve::controlPointCount() const { return mControlPointCount; }
int QXBezierCurve::sampleCount() const { return mSampleCount; }
int QXBezierCurve::curvePointCount() const { return mSampleCount; }

void QXBezierCurve::getControlPoints(std::vector<QXPointF>& out) const { out = mControlPoints; }

void QXBezierCurve::setControlPoints(const std::vector<QXPointF>& points) {
  size_t count = std::min(points.size(), static_cast<size_t>(kMaxControlPointCount));
  mControlPoints.resize(count);
  for (size_t i = 0; i < count; ++i) mControlPoints[i] = sound(points[i]);
  mControlPointCount = static_cast<int>(count);
}

void QXBezierCurve::setSamples(const std::vector<float>& samples) {
  std::copy_n(samples.begin(), std::min(samples.size(), mSamples.size()), mSamples.begin());
}

void QXBezierCurve::getSamples(std::vector<float>& out) const {
  out.insert(out.end(), mSamples.begin(), mSamples.end());
}

void QXBezierCurve::getSamplePoints(std::vector<unsigned char>& out) const {
  out.resize(mSamples.size());
  for (size_t i = 0; i < mSamples.size(); ++i) {
    out[i] = static_cast<unsigned char>(std::clamp(saturate(static_cast<double>(mSamples[i] * mPixelScale)), 0, 255));
  }
}

void QXBezierCurve::getActiveControlPoints(std::vector<QXPoint>& out) const {
  out.clear();
  for (const QXPointF& p : mControlPoints) {
    if (active(p)) out.push_back(convertPercentToPixels(p));
  }
}

QXPointF QXBezierCurve::convertPixelsToPercent(QXPoint pixels) const {
  if (mSampleCount < 2) return QXPointF{0.0f, 0.0f};
  float last = static_cast<float>(mSampleCount - 1);
  return QXPointF{static_cast<float>(pixels.x) / last, static_cast<float>(pixels.y) / last};
}

QXPoint QXBezierCurve::convertPercentToPixels(QXPointF percent) const {
  return QXPoint{saturate(static_cast<double>(percent.x * mPixelScale)),
                 saturate(static_cast<double>(percent.y * mPixelScale))};
}

void QXBezierCurve::setControlPoint(int slot, QXPoint pixels) {
  if (slot < 0 || slot >= mControlPointCount) return;
  mSelectedControlPoint = slot;
  mControlPoints[slot] = sound(convertPixelsToPercent(pixels));
}

void QXBezierCurve::clearControlPoint(int slot) {
  if (slot >= 0 && slot < mControlPointCount) mControlPoints[slot] = kEmptySlot;
}

bool QXBezierCurve::isValidControlPoint(QXPointF point) const { return active(point); }
int QXBezierCurve::minControlPointX() const { return saturate(static_cast<double>(mPixelScale * mMinX)); }
int QXBezierCurve::maxControlPointX() const { return saturate(static_cast<double>(mPixelScale * mMaxX)); }

int QXBezierCurve::curveIndex(float x) const {
  return std::clamp(nearest(static_cast<double>(x) * (mSampleCount - 1)), 0, std::max(mSampleCount - 1, 0));
}
float QXBezierCurve::curveAt(float x) const { return mSampleCount > 0 ? mSamples[curveIndex(x)] : 0.0f; }
float QXBezierCurve::curveAt(int index) const { return index >= 0 && index < mSampleCount ? mSamples[index] : 0.0f; }

int QXBezierCurve::pointIndex(float x) const {
  return std::clamp(nearest(static_cast<double>(x) * (mControlPointCount - 1)), 0, std::max(mControlPointCount - 1, 0));
}
QXPointF QXBezierCurve::pointAt(float x) const { return pointAt(pointIndex(x)); }
QXPointF QXBezierCurve::pointAt(int slot) const {
  return slot >= 0 && slot < mControlPointCount ? mControlPoints[slot] : kEmptySlot;
}

int QXBezierCurve::getClosestControlPoint(float xPixels) const {
  double x = mSampleCount > 1 ? static_cast<double>(xPixels) / (mSampleCount - 1) : 0.0;
  double best = mInitialSearchDistance;
  int bestSlot = 0;
  for (int i = 0; i < mControlPointCount; ++i) {
    if (!active(mControlPoints[i])) continue;
    double d = std::fabs(x - static_cast<double>(mControlPoints[i].x));
    if (d < best) {
      best = d;
      bestSlot = i;
    }
  }
  if (mControlPointCount == 0 || best <= 1.0 / (2.0 * mControlPointCount)) return bestSlot;
  return pointIndex(static_cast<float>(x));
}

void QXBezierCurve::calculateCurve() {
  mActive.clear();
  for (const QXPointF& p : mControlPoints) {
    if (active(p)) mActive.push_back(p);
  }
  if (mActive.empty() || mSampleCount == 0) return;
  // Two points at one x would make a segment of zero width (a division by zero); the first in
  // slot order is kept.
  auto byX = [](QXPointF a, QXPointF b) { return a.x < b.x; };
  if (!std::is_sorted(mActive.begin(), mActive.end(), byX)) std::stable_sort(mActive.begin(), mActive.end(), byX);
  mActive.erase(std::unique(mActive.begin(), mActive.end(), [](QXPointF a, QXPointF b) { return a.x == b.x; }),
                mActive.end());

  const int n = static_cast<int>(mActive.size());
  const QXPointF first = mActive.front(), last = mActive.back();
  std::fill(mSamples.begin(), mSamples.begin() + curveIndex(first.x), first.y);
  std::fill(mSamples.begin() + curveIndex(last.x), mSamples.end(), last.y);
  if (mSampleCount > 1) {
    for (int k = 0; k + 1 < n; ++k) plotCurve(std::max(k - 1, 0), k, k + 1, std::min(k + 2, n - 1));
  }
  for (const QXPointF& p : mActive) mSamples[curveIndex(p.x)] = p.y;
}

// One cubic segment from active point i1 to i2, its inner ordinates shaped by the neighbours i0
// and i3 (i0 == i1 on the first segment, i3 == i2 on the last). Slopes are taken in double
// precision: points may be as close as the smallest float apart.
void QXBezierCurve::plotCurve(int i0, int i1, int i2, int i3) {
  const QXPointF p0 = mActive[i0], p1 = mActive[i1], p2 = mActive[i2], p3 = mActive[i3];
  const double dx = static_cast<double>(p2.x) - p1.x, dy = static_cast<double>(p2.y) - p1.y;
  const bool firstSegment = i0 == i1, lastSegment = i2 == i3;
  auto slope = [](QXPointF a, QXPointF b) {
    return (static_cast<double>(b.y) - a.y) / (static_cast<double>(b.x) - a.x);
  };
  double c1, c2;
  if (firstSegment && lastSegment) {
    c1 = p1.y + dy / 3;
    c2 = p1.y + 2 * dy / 3;
  } else if (firstSegment) {
    c2 = p2.y - slope(p1, p3) * dx / 3;
    c1 = p1.y + (c2 - p1.y) * 0.5;
  } else if (lastSegment) {
    c1 = p1.y + slope(p0, p2) * dx / 3;
    c2 = p2.y + (c1 - p2.y) * 0.5;
  } else {
    c1 = p1.y + slope(p0, p2) * dx / 3;
    c2 = p2.y - slope(p1, p3) * dx / 3;
  }

  // Beyond 1e30 an ordinate only pushes samples further past the clamp, and the single-precision
  // sums below cannot overflow.
  const float fc1 = static_cast<float>(std::clamp(c1, -1e30, 1e30));
  const float fc2 = static_cast<float>(std::clamp(c2, -1e30, 1e30));
  const int last = mSampleCount - 1;
  const int start = curveIndex(p1.x);
  const int end = std::min(nearest(static_cast<double>(last) * dx), last - start);
  const float fdx = static_cast<float>(dx), flast = static_cast<float>(last);
  float* out = mSamples.data() + start;
  // Branch-free, so that the loop vectorises.
  for (int s = 0; s <= end; ++s) {
    float t = (static_cast<float>(s) / fdx) / flast;
    float u = 1.0f - t;
    float y = u * u * u * p1.y + 3.0f * (u * u * t) * fc1 + 3.0f * (u * t * t) * fc2 + t * t * t * p2.y;
    y = y > 0.0f ? y : 0.0f;
    out[s] = y < 1.0f ? y : 1.0f;
  }
}

CFMutableDictionaryRef QXBezierCurve::presetData() {
  QXPresetData* data = commonData();
  data->setIntValue(kVersionKey, kVersion);
  data->setIntValue(kIdKey, mId);
  data->setIntValue(kSelectedControlPointsKey, mSelectedControlPoint);
  data->setIntValue(kControlPointCountKey, mControlPointCount);
  CFMutableArrayRef points = CFArrayCreateMutable(kCFAllocatorDefault, mControlPointCount, &kCFTypeArrayCallBacks);
  if (points != nullptr) {
    for (const QXPointF& p : mControlPoints) {
      QXDictionary slot;
      slot.setFloatValue(kControlPointXKey, p.x);
      slot.setFloatValue(kControlPointYKey, p.y);
      if (slot.mutableDictionary() != nullptr) CFArrayAppendValue(points, slot.mutableDictionary());
    }
    data->setArrayValue(kControlPointsKey, points);
    CFRelease(points);
  }
  return data->getPresetData();
}

void QXBezierCurve::initWithPresetData(CFMutableDictionaryRef data) {
  if (data == nullptr) return;
  QXPreset::initWithPresetData(data);
  QXPresetData source(data);
  mId = source.getIntValue(kIdKey, 0);
  mSelectedControlPoint = source.getIntValue(kSelectedControlPointsKey, 0);
  mControlPointCount = std::clamp(source.getIntValue(kControlPointCountKey, 0), 0, kMaxControlPointCount);
  CFArrayRef points = source.getArrayValue(kControlPointsKey);
  if (points != nullptr) {
    // Slots the file does not give stay empty: a slot padded as (0, 0) would count as a point.
    mControlPoints.assign(static_cast<size_t>(mControlPointCount), kEmptySlot);
    CFIndex given = std::min<CFIndex>(CFArrayGetCount(points), mControlPointCount);
    for (CFIndex i = 0; i < given; ++i) {
      CFTypeRef item = CFArrayGetValueAtIndex(points, i);
      if (item == nullptr || CFGetTypeID(item) != CFDictionaryGetTypeID()) continue;
      QXDictionary slot(static_cast<CFDictionaryRef>(item));
      mControlPoints[i] =
          sound(QXPointF{slot.getFloatValue(kControlPointXKey, -1.0f), slot.getFloatValue(kControlPointYKey, -1.0f)});
    }
  } else {
    mControlPoints.resize(static_cast<size_t>(mControlPointCount), kEmptySlot);
  }
  calculateCurve();
}

void QXBezierCurve::deletePreset() { Release(); }
