// Profiles made by Little CMS for the colour tests, and the same conversions done by Little CMS.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXColor.h>
#include <gtest/gtest.h>
#include <lcms2.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "cf/CFRef.h"
#include "tests/color/ColorProfiles.h"
#include "tests/image/ImageTestSupport.h"

namespace colortest {

using qxcf::adopt;
using qxcf::CFRef;
inline CFRef<CFDataRef> Data(const Bytes& b) {
  return adopt(CFDataCreate(nullptr, b.data(), static_cast<CFIndex>(b.size())));
}
inline Bytes Bytes2(const Bytes& b, size_t at, std::initializer_list<uint8_t> patch) {
  Bytes out = b;
  std::copy(patch.begin(), patch.end(), out.begin() + static_cast<long>(at));
  return out;
}
struct ProfileRef {
  QXColorProfileRef ref;
  explicit ProfileRef(QXColorProfileRef r) : ref(r) {}
  explicit ProfileRef(const Bytes& icc) : ref(QXColorProfileCreate()) {
    QXColorProfileSetICCData(ref, Data(icc).get());
  }
  ~ProfileRef() { QXColorProfileRelease(ref); }
  operator QXColorProfileRef() const { return ref; }
};

// The same pixels through a Little CMS transform made here.
template <class T>
std::vector<T> Direct(const Bytes& from, const Bytes& to, cmsUInt32Number format, std::vector<T> pixels, size_t count,
                      cmsUInt32Number intent = INTENT_RELATIVE_COLORIMETRIC, cmsUInt32Number outFormat = 0) {
  cmsHPROFILE a = cmsOpenProfileFromMem(from.data(), static_cast<cmsUInt32Number>(from.size()));
  cmsHPROFILE b = cmsOpenProfileFromMem(to.data(), static_cast<cmsUInt32Number>(to.size()));
  cmsHTRANSFORM t = cmsCreateTransform(a, format, b, outFormat ? outFormat : format, intent, cmsFLAGS_HIGHRESPRECALC);
  EXPECT_NE(t, nullptr);
  const cmsUInt32Number f = outFormat ? outFormat : format;
  std::vector<T> out(count * (T_CHANNELS(f) + T_EXTRA(f)));
  if (t) cmsDoTransform(t, pixels.data(), out.data(), static_cast<cmsUInt32Number>(count));
  cmsDeleteTransform(t);
  cmsCloseProfile(a);
  cmsCloseProfile(b);
  return out;
}

// All pixels of an image, and an image of `width` columns at `origin` holding `pixels`.
template <class T>
std::vector<T> ReadAll(QXImageRef image) {
  std::vector<T> pixels(static_cast<size_t>(QXImageGetWidth(image)) * QXImageGetHeight(image) *
                        QXImageGetNumPlanes(image));
  EXPECT_EQ(QXImageRead(image, QXImageGetBounds(image), 0, -1, pixels.data(), 0), kQXNoErr);
  return pixels;
}
template <class T>
qxtest::Image Filled(int32_t depth, int32_t planes, int32_t model, int32_t alpha, const std::vector<T>& pixels,
                     int32_t width, int32_t source = kQXImageSourceMemory, QXPoint origin = {0, 0}) {
  const QXRect bounds = {origin.x, origin.y, width, static_cast<int32_t>(pixels.size() / planes / width)};
  QXImageRef image = nullptr;
  EXPECT_EQ(QXImageCreateWithParams2(bounds, depth, planes, model, alpha, source, &image), kQXNoErr);
  EXPECT_EQ(QXImageWrite(image, bounds, 0, -1, pixels.data(), 0), kQXNoErr);
  return qxtest::Image(image);
}

}  // namespace colortest
