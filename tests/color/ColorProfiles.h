// ICC profiles made with Little CMS for the colour tests and benchmarks: sRGB and ROMM (v2.1 or
// v4), Adobe RGB, gray, and a small CMYK printer profile.
#pragma once

#include <lcms2.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace colortest {

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

}  // namespace colortest
