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

}  // namespace colortest
