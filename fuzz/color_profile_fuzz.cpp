// Fuzzes profile loading and description reading: arbitrary bytes as a profile's ICC data, then
// every query and a conversion, which must not read outside the bytes whatever they declare.
#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXColor.h>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size heap copy, so that ASan sees any read past the end.
  CFDataRef bytes = CFDataCreate(nullptr, data, static_cast<CFIndex>(size));
  const void* keys[] = {CFSTR("icc")};
  const void* values[] = {bytes};
  CFDictionaryRef info =
      CFDictionaryCreate(nullptr, keys, values, 1, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  QXColorProfileRef profile = QXColorProfileCreateWithInfo(info);
  int32_t model = 0;
  uint32_t standard = 0;
  QXColorProfileGetICCParams(QXColorProfileGetICCData(profile), &model, &standard);
  if (CFStringRef name = QXColorProfileGetDisplayNameCopy(profile)) CFRelease(name);
  if (CFMutableDictionaryRef copy = QXColorProfileGetInfoCopy(profile)) CFRelease(copy);
  (void)QXColorProfileGetStandard(profile);
  (void)QXColorProfileIsValid(profile);

  // A one-pixel conversion to itself exercises opening and transforming the profile.
  QXImageRef image = nullptr;
  const int32_t colourSpace = model == 3 ? kQXImageColorSpaceCMYK : kQXImageColorSpaceRGB;
  const int32_t planes = model == 3 ? 4 : 3;
  if (QXImageCreateWithParams2(QXRect{0, 0, 2, 1}, 8, planes, colourSpace, 0, kQXImageSourceMemory, &image) == 0) {
    QXColorProfileConvertProfile(profile, profile, image, image, QXRect{0, 0, 2, 1}, 0);
    QXImageRelease(image);
  }
  QXColorProfileRelease(profile);
  CFRelease(info);
  CFRelease(bytes);
  return 0;
}
