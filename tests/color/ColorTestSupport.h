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

namespace colortest {

using qxcf::adopt;
using qxcf::CFRef;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kModelSRGB = 0x73524742, kModelROMM = 0x524F4D4D;

inline Bytes Save(cmsHPROFILE h, double version = 2.1) {
  cmsSetProfileVersion(h, version);
  cmsUInt32Number size = 0;
  cmsSaveProfileToMem(h, nullptr, &size);
  Bytes bytes(size);
  cmsSaveProfileToMem(h, bytes.data(), &size);
  cmsCloseProfile(h);
  return bytes;
}

inline void Describe(cmsHPROFILE h, const char* text) {
  cmsMLU* mlu = cmsMLUalloc(nullptr, 1);
  cmsMLUsetASCII(mlu, "en", "US", text);
  cmsWriteTag(h, cmsSigProfileDescriptionTag, mlu);
  cmsMLUfree(mlu);
}

inline cmsHPROFILE RGB(const cmsCIExyYTRIPLE& primaries, double gamma, uint32_t model, const char* text) {
  cmsCIExyY white;
  cmsWhitePointFromTemp(&white, 6504);
  cmsToneCurve* curve = cmsBuildGamma(nullptr, gamma);
  cmsToneCurve* curves[3] = {curve, curve, curve};
  cmsHPROFILE h = cmsCreateRGBProfile(&white, &primaries, curves);
  cmsFreeToneCurve(curve);
  cmsSetHeaderModel(h, model);
  Describe(h, text);
  return h;
}

inline cmsHPROFILE SRGB(const char* text = "Test sRGB") {
  cmsHPROFILE h = cmsCreate_sRGBProfile();
  cmsSetHeaderModel(h, kModelSRGB);
  Describe(h, text);
  return h;
}
inline cmsHPROFILE SRGBWide(const wchar_t* text) {
  cmsHPROFILE h = cmsCreate_sRGBProfile();
  cmsMLU* mlu = cmsMLUalloc(nullptr, 1);
  cmsMLUsetWide(mlu, "en", "US", text);
  cmsWriteTag(h, cmsSigProfileDescriptionTag, mlu);
  cmsMLUfree(mlu);
  return h;
}
inline Bytes AdobeRGB() {
  return Save(RGB({{0.64, 0.33, 1}, {0.21, 0.71, 1}, {0.15, 0.06, 1}}, 563.0 / 256, 0, "Adobe"));
}
inline cmsHPROFILE ROMM() {
  return RGB({{0.7347, 0.2653, 1}, {0.1596, 0.8404, 1}, {0.0366, 0.0001, 1}}, 1.8, kModelROMM, "Test ROMM");
}
inline cmsHPROFILE Gray() {
  cmsToneCurve* curve = cmsBuildGamma(nullptr, 2.2);
  cmsHPROFILE h = cmsCreateGrayProfile(cmsD50_xyY(), curve);
  cmsFreeToneCurve(curve);
  return h;
}

// A small CMYK printer profile: ink darkens lightness, black twice as much as the others.
inline int InkToLab(const cmsUInt16Number in[], cmsUInt16Number out[], void*) {
  double light = 1;
  for (int n = 0; n < 4; ++n) light *= 1 - (n == 3 ? 0.9 : 0.45) * in[n] / 65535.0;
  out[0] = static_cast<cmsUInt16Number>(light * 65535), out[1] = out[2] = 0x8080;
  return 1;
}
inline int LabToInk(const cmsUInt16Number in[], cmsUInt16Number out[], void*) {
  out[0] = out[1] = out[2] = 0;
  out[3] = static_cast<cmsUInt16Number>(std::min(65535.0, (65535 - in[0]) / 0.9));
  return 1;
}
inline cmsHPROFILE CMYK() {
  cmsHPROFILE h = cmsCreateProfilePlaceholder(nullptr);
  cmsSetDeviceClass(h, cmsSigOutputClass);
  cmsSetColorSpace(h, cmsSigCmykData);
  cmsSetPCS(h, cmsSigLabData);
  cmsPipeline* toLab = cmsPipelineAlloc(nullptr, 4, 3);
  cmsStage* clut = cmsStageAllocCLut16bit(nullptr, 5, 4, 3, nullptr);
  cmsStageSampleCLut16bit(clut, InkToLab, nullptr, 0);
  cmsPipelineInsertStage(toLab, cmsAT_END, clut);
  cmsWriteTag(h, cmsSigAToB0Tag, toLab);
  cmsPipeline* toInk = cmsPipelineAlloc(nullptr, 3, 4);
  cmsStage* back = cmsStageAllocCLut16bit(nullptr, 9, 3, 4, nullptr);
  cmsStageSampleCLut16bit(back, LabToInk, nullptr, 0);
  cmsPipelineInsertStage(toInk, cmsAT_END, back);
  for (cmsTagSignature sig : {cmsSigBToA0Tag, cmsSigBToA1Tag}) cmsWriteTag(h, sig, toInk);
  cmsPipelineFree(toLab);
  cmsPipelineFree(toInk);
  Describe(h, "Test CMYK");
  return h;
}

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
