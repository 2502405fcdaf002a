// Colour profiles: standard and installed ICC profiles, their descriptions, cubes to the display
// and conversions of image pixels between two profiles.
#include "color/ColorProfile.h"

#include <QXCore/QXLog.h>
#include <errno.h>

#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "color/ColorEngine.h"
#include "files/CoreFileInternal.h"

using qx::fromHandle;
using qx::Ref;
using qx::toHandle;
using qxcf::CFRef;

const CFStringRef kQXColorProfileNameSRGB = CFSTR("sRGB Color Space Profile.icm");
const CFStringRef kQXColorProfileNameAdobeRGB1998 = CFSTR("AdobeRGB1998.icc");

namespace {

constexpr uint32_t kSRGB = kQXColorProfileSRGB, kAdobe = kQXColorProfileAdobeRGB, kProPhoto = kQXColorProfileProPhoto;

#define LOG_FAILURE(status) QXLogEvent((status), __FILE__, __LINE__)

CImageColorProfile* P(QXColorProfileRef profile) { return fromHandle(profile); }

// A profile's bytes for a standard name: the file in the colour directory, else the built-in one.
CFRef<CFDataRef> StandardBytes(CFStringRef fileName, uint32_t code) {
  CFRef<CFDataRef> bytes;
  if (qxcolor::ReadNamedProfile(qxcolor::UTF8(fileName), bytes) == 0) return bytes;
  return qxcolor::BuiltInProfile(code);
}

Ref<CImageColorProfile> MakeShared(uint32_t code) {
  Ref<CImageColorProfile> p = qx::make<CImageColorProfile>();
  if (!p) return p;
  CFStringRef file = code == kSRGB    ? kQXColorProfileNameSRGB
                     : code == kAdobe ? kQXColorProfileNameAdobeRGB1998
                                      : CFSTR("ProPhoto.icm");
  p->mICC = StandardBytes(file, code);
  if (!p->mICC) LOG_FAILURE(kQXErrInvalidProfile);
  if (code == kAdobe) {
    p->mName = CFRef<CFStringRef>::retain(kQXColorProfileNameAdobeRGB1998);
  } else {
    p->mStandard = code;
  }
  return p;
}

CImageColorProfile* Shared(uint32_t code) {
  static std::once_flag once[3];
  static CImageColorProfile* shared[3];  // never released: they live as long as the process
  const int i = code == kSRGB ? 0 : code == kAdobe ? 1 : 2;
  std::call_once(once[i], [&] { shared[i] = MakeShared(code).release(); });
  return shared[i];
}

// The description a listing shows for one profile file; nothing when it is not listed.
Ref<CImageColorProfileDesc> DescribeFile(const std::string& name, const std::string& path) {
  CFRef<CFDataRef> bytes;
  if (qxcolor::ReadProfileFile(path, bytes) != 0) return nullptr;
  qxcolor::Profile profile = qxcolor::OpenProfile(bytes.get());
  if (!profile) {
    QXLogWithParams(1, CFSTR("QXCore"), kQXErrInvalidProfile, CFSTR("Color profile is not valid '%s'"), path.c_str());
    return nullptr;
  }
  if (cmsGetDeviceClass(profile.get()) != cmsSigDisplayClass || cmsGetColorSpace(profile.get()) != cmsSigRgbData) {
    return nullptr;
  }
  std::optional<qxcolor::Description> desc = qxcolor::ReadDescription(profile.get());
  if (!desc) return nullptr;
  Ref<CImageColorProfileDesc> result = qx::make<CImageColorProfileDesc>();
  if (!result) return nullptr;
  result->mName = qxcf::adopt(qxfiles::CreateString(name));
  result->mDisplayName = qxcf::adopt(qxfiles::CreateString(desc->text));
  if (!result->mDisplayName) {
    QXLogWithParams(
        1, CFSTR("QXCore"), 0,
        CFSTR("Color profile 'desc' data is not valid '%s' in '%s' (using file name as color profile name)."),
        desc->text.c_str(), path.c_str());
    result->mDisplayName = result->mName;
  }
  if (!result->mName || !result->mDisplayName) return nullptr;
  return result;
}

// The first listed description that `match` accepts.
template <class Match>
QXColorProfileDescRef FindDesc(Match match) {
  CFArrayRef list = nullptr;
  if (QXColorProfileGetICCProfilesCopy(&list) != 0) return nullptr;
  CFRef<CFArrayRef> holder = qxcf::adopt(list);
  for (CFIndex i = 0; i < CFArrayGetCount(list); ++i) {
    auto* desc = qx::ObjectAt<CImageColorProfileDesc>(list, i);
    if (match(desc->mDisplayName.get())) {
      desc->AddRef();
      return toHandle<__QXColorProfileDesc>(desc);
    }
  }
  return nullptr;
}

int32_t ChannelsOf(int32_t model) { return model == 1 ? 1 : model == 2 ? 3 : model == 3 ? 4 : 0; }

cmsUInt32Number PixelFormat(int32_t model, int32_t depth) {
  if (depth == 8) return model == 1 ? TYPE_GRAY_8 : model == 2 ? TYPE_RGB_8 : model == 3 ? TYPE_CMYK_8 : 0;
  if (depth == 16) return model == 1 ? TYPE_GRAY_16 : model == 2 ? TYPE_RGB_16 : 0;
  return 0;
}

}  // namespace

QXStatus CImageColorProfile::NativeBytes(CFRef<CFDataRef>& out) {
  std::lock_guard<std::mutex> guard(mLock);
  if (mICC) {
    out = mICC;
  } else if (mNative) {
    out = mNative;
  } else if (mName) {
    if (int status = qxcolor::ReadNamedProfile(qxcolor::UTF8(mName.get()), mICC)) {
      LOG_FAILURE(status);
      return status;
    }
    out = mICC;
  }
  return kQXNoErr;
}

QXStatus CImageColorProfile::BuildCube(int32_t model) {
  int32_t mode = 0, grid = 0;
  if (!qxcolor::ModeForModel(model, mGrid, mode, grid)) return kQXErrGeneric;
  mMode = mode;
  mGrid = grid;
  if (!mData) {
    CFRef<CFDataRef> source = mICC ? mICC : mNative;
    if (!source && mName) {
      if (int status = qxcolor::ReadNamedProfile(qxcolor::UTF8(mName.get()), mICC)) {
        LOG_FAILURE(status);
        return status;
      }
      source = mICC;
    }
    if (!source) {
      if (mode != 2) return kQXNoErr;
      if (int status = qxcolor::CMYKProfile(source)) return status;  // the formula stays in use
    }
    CFRef<CFDataRef> display;
    if (int status = qxcolor::DisplayProfile(display)) {
      LOG_FAILURE(status);
      return status;
    }
    qxcolor::Profile from = qxcolor::OpenProfile(source.get());
    qxcolor::Profile to = qxcolor::OpenProfile(display.get());
    if (!from || !to) {
      LOG_FAILURE(kQXErrInvalidProfile);
      return kQXErrInvalidProfile;
    }
    if (QXStatus status = qxcolor::BuildCubeData(from.get(), to.get(), mode, grid, mData)) {
      LOG_FAILURE(status);
      return status;
    }
  }
  qxcolor::CubeTablePtr table;
  if (QXStatus status = qxcolor::MakeCubeTable(mData.get(), mMode, mGrid, table)) return status;
  mTable.Set(std::move(table));
  return kQXNoErr;
}

// ---- Creation ----

QX_EXPORT QXColorProfileRef QXColorProfileCreate(void) {
  return toHandle<__QXColorProfile>(qx::make<CImageColorProfile>().release());
}

QX_EXPORT QXColorProfileRef QXColorProfileCreateWithInfo(CFDictionaryRef info) {
  Ref<CImageColorProfile> p = qx::make<CImageColorProfile>();
  if (!p || !info) return toHandle<__QXColorProfile>(p.release());
  auto dataFor = [&](CFStringRef key) -> CFDataRef {
    CFTypeRef value = CFDictionaryGetValue(info, key);
    return value && CFGetTypeID(value) == CFDataGetTypeID() ? static_cast<CFDataRef>(value) : nullptr;
  };
  auto intFor = [&](CFStringRef key) {
    CFTypeRef value = CFDictionaryGetValue(info, key);
    int32_t n = 0;
    if (value && CFGetTypeID(value) == CFNumberGetTypeID() &&
        !CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt32Type, &n)) {
      n = 0;
    }
    return n;
  };
  if (CFDataRef icc = dataFor(CFSTR("icc"))) {
    p->mICC = qxcf::adopt(CFDataCreateCopy(nullptr, icc));
    if (!p->mICC) return nullptr;
  } else if (CFDataRef raw = dataFor(CFSTR("raw"))) {
    p->mData = qxcf::adopt(CFDataCreateCopy(nullptr, raw));
    if (!p->mData) return nullptr;
    p->mGrid = intFor(CFSTR("grid_size"));
    p->mMode = intFor(CFSTR("mode"));
  }
  return toHandle<__QXColorProfile>(p.release());
}

QX_EXPORT QXColorProfileRef QXColorProfileCreateStandard(uint32_t code) {
  if (code == kSRGB || code == kProPhoto || code == kAdobe) {
    CImageColorProfile* shared = Shared(code);
    if (!shared) return nullptr;
    shared->AddRef();
    return toHandle<__QXColorProfile>(shared);
  }
  Ref<CImageColorProfile> p = qx::make<CImageColorProfile>();
  if (!p) return nullptr;
  int status = 0;
  if (code == kQXColorProfileCMYK) {
    status = qxcolor::CMYKProfile(p->mNative);
  } else if (code == kQXColorProfileDisplay) {
    status = qxcolor::DisplayProfile(p->mNative);
  }
  if (status != 0) LOG_FAILURE(status);
  return toHandle<__QXColorProfile>(p.release());
}

QX_EXPORT QXColorProfileRef QXColorProfileCreateDeviceNamed(CFStringRef fileName) {
  if (!fileName) return nullptr;
  CFRef<CFDataRef> bytes;
  if (int status = qxcolor::ReadNamedProfile(qxcolor::UTF8(fileName), bytes)) {
    LOG_FAILURE(status);
    return nullptr;
  }
  Ref<CImageColorProfile> p = qx::make<CImageColorProfile>();
  if (!p) return nullptr;
  p->mICC = std::move(bytes);
  return toHandle<__QXColorProfile>(p.release());
}

QX_EXPORT QXStatus QXColorProfileCreateWithName(CFStringRef displayName, QXColorProfileRef* outProfile) {
  if (!outProfile) return kQXErrInvalidArgument;
  *outProfile = nullptr;
  Ref<CImageColorProfile> p = qx::make<CImageColorProfile>();
  if (!p) return kQXErrMemory;
  if (QXColorProfileDescRef found =
          displayName ? QXColorProfileGetColorProfileDescWithDisplayNameCopy(displayName) : nullptr) {
    Ref<CImageColorProfileDesc> desc = Ref<CImageColorProfileDesc>::adopt(fromHandle(found));
    std::lock_guard<std::mutex> guard(p->mLock);
    p->mName = desc->mName;
    if (QXStatus status = p->BuildCube(kQXImageColorSpaceRGB)) return status;
  }
  *outProfile = toHandle<__QXColorProfile>(p.release());
  return kQXNoErr;
}

QX_EXPORT QXStatus QXColorProfileCreateCopy(QXColorProfileRef profile, QXColorProfileRef* outProfile) {
  if (!outProfile) return kQXErrInvalidArgument;
  *outProfile = nullptr;
  if (!profile) return kQXErrInvalidArgument;
  Ref<CImageColorProfile> p = qx::make<CImageColorProfile>();
  if (!p) return kQXErrMemory;
  CImageColorProfile* source = P(profile);
  {
    std::lock_guard<std::mutex> guard(source->mLock);
    p->mData = source->mData;
    p->mICC = source->mICC;
    p->mMode = source->mMode;
    p->mGrid = source->mGrid;
  }
  p->mTable.Set(source->mTable.Shared());
  *outProfile = toHandle<__QXColorProfile>(p.release());
  return kQXNoErr;
}

QX_EXPORT QXColorProfileRef QXColorProfileRetain(QXColorProfileRef profile) {
  return profile ? qx::retainHandle(profile) : nullptr;
}

QX_EXPORT void QXColorProfileRelease(QXColorProfileRef profile) {
  if (profile) qx::releaseHandle(profile);
}

// ---- Fields ----

// Under the lock: a profile known by name loads its ICC data on demand, and the cube builders
// write the cube data, from other threads.
QX_EXPORT CFDataRef QXColorProfileGetICCData(QXColorProfileRef profile) {
  if (!profile) return nullptr;
  std::lock_guard<std::mutex> guard(P(profile)->mLock);
  return P(profile)->mICC.get();
}
QX_EXPORT void QXColorProfileSetICCData(QXColorProfileRef profile, CFDataRef data) {
  if (!profile) return;
  CFRef<CFDataRef> old;  // released after the lock
  std::lock_guard<std::mutex> guard(P(profile)->mLock);
  old = std::exchange(P(profile)->mICC, CFRef<CFDataRef>::retain(data));
}
QX_EXPORT CFDataRef QXColorProfileGetData(QXColorProfileRef profile) {
  if (!profile) return nullptr;
  std::lock_guard<std::mutex> guard(P(profile)->mLock);
  return P(profile)->mData.get();
}
QX_EXPORT void QXColorProfileSetData(QXColorProfileRef profile, CFDataRef data) {
  if (!profile) return;
  CFRef<CFDataRef> old;
  std::lock_guard<std::mutex> guard(P(profile)->mLock);
  old = std::exchange(P(profile)->mData, CFRef<CFDataRef>::retain(data));
}
QX_EXPORT int32_t QXColorProfileGetMode(QXColorProfileRef profile) { return profile ? P(profile)->mMode : 0; }
QX_EXPORT void QXColorProfileSetMode(QXColorProfileRef profile, int32_t mode) {
  if (profile) P(profile)->mMode = mode;
}
QX_EXPORT int32_t QXColorProfileGetGridSize(QXColorProfileRef profile) { return profile ? P(profile)->mGrid : 0; }
QX_EXPORT void QXColorProfileSetGridSize(QXColorProfileRef profile, int32_t gridSize) {
  if (profile) P(profile)->mGrid = gridSize;
}
QX_EXPORT CFStringRef QXColorProfileGetICCName(QXColorProfileRef profile) {
  return profile ? P(profile)->mName.get() : nullptr;
}
QX_EXPORT void QXColorProfileSetICCName(QXColorProfileRef profile, CFStringRef name) {
  if (profile) P(profile)->mName = CFRef<CFStringRef>::retain(name);
}
QX_EXPORT void QXColorProfileSetICCNameFromDesc(QXColorProfileRef profile, QXColorProfileDescRef desc) {
  if (profile && desc) P(profile)->mName = fromHandle(desc)->mName;
}

// ---- Queries ----

QX_EXPORT CFMutableDictionaryRef QXColorProfileGetInfoCopy(QXColorProfileRef profile) {
  CFMutableDictionaryRef info =
      CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  if (!info || !profile) return info;
  CImageColorProfile* p = P(profile);
  std::lock_guard<std::mutex> guard(p->mLock);
  if (p->mICC) {
    CFDictionarySetValue(info, CFSTR("icc"), p->mICC.get());
  } else if (p->mData) {
    CFDictionarySetValue(info, CFSTR("raw"), p->mData.get());
    for (auto [key, value] : {std::pair{CFSTR("grid_size"), p->mGrid}, std::pair{CFSTR("mode"), p->mMode}}) {
      CFRef<CFNumberRef> number = qxcf::adopt(CFNumberCreate(nullptr, kCFNumberSInt32Type, &value));
      if (number) CFDictionarySetValue(info, key, number.get());
    }
  }
  return info;
}

QX_EXPORT QXStatus QXColorProfileGetICCParams(CFDataRef data, int32_t* outModel, uint32_t* outStandard) {
  if (!data) return kQXErrInvalidArgument;
  if (CFDataGetLength(data) < 128) return kQXErrInvalidProfile;
  const UInt8* h = CFDataGetBytePtr(data);
  if (h[8] != 2 || h[9] != 0x10 || std::memcmp(h + 36, "acsp", 4) != 0) return kQXErrInvalidProfile;
  if (outModel) *outModel = std::memcmp(h + 16, "RGB ", 4) == 0 ? 2 : std::memcmp(h + 16, "CMYK", 4) == 0 ? 3 : 0;
  if (outStandard) {
    *outStandard = std::memcmp(h + 52, "sRGB", 4) == 0 ? kSRGB : std::memcmp(h + 52, "ROMM", 4) == 0 ? kProPhoto : 0;
  }
  return kQXNoErr;
}

QX_EXPORT uint32_t QXColorProfileGetStandard(QXColorProfileRef profile) {
  if (!profile) return 0;
  CImageColorProfile* p = P(profile);
  if (p->mStandard) return p->mStandard;
  if (p->mName && CFStringCompare(p->mName.get(), kQXColorProfileNameAdobeRGB1998, kCFCompareCaseInsensitive) ==
                      kCFCompareEqualTo) {
    return kAdobe;
  }
  return 0;
}

QX_EXPORT bool QXColorProfileIsValid(QXColorProfileRef profile) {
  if (!profile) return false;
  CImageColorProfile* p = P(profile);
  return QXColorProfileGetStandard(profile) != 0 || p->mData || p->mICC || p->mName;
}

QX_EXPORT CFStringRef QXColorProfileGetDisplayNameCopy(QXColorProfileRef profile) {
  if (!profile) return nullptr;
  CFRef<CFDataRef> bytes;
  if (P(profile)->NativeBytes(bytes) != 0 || !bytes) return nullptr;
  qxcolor::Profile h = qxcolor::OpenProfile(bytes.get());
  if (!h) return nullptr;
  std::optional<qxcolor::Description> desc = qxcolor::ReadDescription(h.get());
  return desc ? qxfiles::CreateString(desc->text) : nullptr;
}

QX_EXPORT QXStatus QXColorProfileGetICCProfilesCopy(CFArrayRef* outDescs) {
  if (!outDescs) return kQXErrInvalidArgument;
  *outDescs = nullptr;
  CFMutableArrayRef list = CFArrayCreateMutable(nullptr, 0, QXUtilsGetArrayCallbacks());
  if (!list) return kQXErrMemory;
  std::set<std::string> seen;
  for (const auto& [name, path] : qxcolor::ListProfileFiles()) {
    if (!seen.insert(name).second) continue;
    if (Ref<CImageColorProfileDesc> desc = DescribeFile(name, path)) CFArrayAppendValue(list, desc.get());
  }
  *outDescs = list;
  return kQXNoErr;
}

QX_EXPORT QXColorProfileDescRef QXColorProfileGetColorProfileDescWithDisplayNameCopy(CFStringRef displayName) {
  if (!displayName) return nullptr;
  return FindDesc([&](CFStringRef name) {
    return CFStringCompare(name, displayName, kCFCompareCaseInsensitive) == kCFCompareEqualTo;
  });
}

QX_EXPORT QXColorProfileDescRef QXColorProfileGetSystemProfileDescCopy(void) {
  return FindDesc([](CFStringRef name) { return CFStringHasPrefix(name, CFSTR("sRGB")); });
}

QX_EXPORT QXColorProfileDescRef QXColorProfileGetDefaultProfileDescCopy(void) {
  return QXColorProfileGetSystemProfileDescCopy();
}

// ---- Descriptions ----

QX_EXPORT QXColorProfileDescRef QXColorProfileDescCreate(CFStringRef displayName, CFStringRef name) {
  Ref<CImageColorProfileDesc> desc = qx::make<CImageColorProfileDesc>();
  if (!desc) return nullptr;
  desc->mDisplayName = CFRef<CFStringRef>::retain(displayName);
  desc->mName = CFRef<CFStringRef>::retain(name);
  return toHandle<__QXColorProfileDesc>(desc.release());
}
QX_EXPORT CFStringRef QXColorProfileDescGetDisplayName(QXColorProfileDescRef desc) {
  return desc ? fromHandle(desc)->mDisplayName.get() : nullptr;
}
QX_EXPORT CFStringRef QXColorProfileDescGetName(QXColorProfileDescRef desc) {
  return desc ? fromHandle(desc)->mName.get() : nullptr;
}
QX_EXPORT void QXColorProfileDescSetDisplayName(QXColorProfileDescRef desc, CFStringRef displayName) {
  if (desc) fromHandle(desc)->mDisplayName = CFRef<CFStringRef>::retain(displayName);
}
QX_EXPORT void QXColorProfileDescSetName(QXColorProfileDescRef desc, CFStringRef name) {
  if (desc) fromHandle(desc)->mName = CFRef<CFStringRef>::retain(name);
}
QX_EXPORT QXColorProfileDescRef QXColorProfileDescRetain(QXColorProfileDescRef desc) {
  return desc ? qx::retainHandle(desc) : nullptr;
}
QX_EXPORT void QXColorProfileDescRelease(QXColorProfileDescRef desc) {
  if (desc) qx::releaseHandle(desc);
}

// ---- Conversions ----

QX_EXPORT QXStatus QXColorProfileCreateRGBColorCube(QXColorProfileRef profile, int32_t model) {
  if (!profile) return kQXErrInvalidArgument;
  std::lock_guard<std::mutex> guard(P(profile)->mLock);
  return P(profile)->BuildCube(model);
}

QX_EXPORT QXStatus QXColorProfileCreateRGBColorCube2(QXColorProfileRef profile, int32_t model, int32_t flags) {
  if (!profile) return kQXErrInvalidArgument;
  CImageColorProfile* p = P(profile);
  std::lock_guard<std::mutex> guard(p->mLock);
  if ((flags & kQXColorCubeGrid32) && p->mGrid != 32) {
    p->mData = nullptr;
    p->mGrid = 32;
    p->mTable.Set(nullptr);
  }
  if (flags & (kQXColorCubeBuild | kQXColorCubeBuild2)) return p->BuildCube(model);
  return kQXNoErr;
}

QX_EXPORT QXStatus QXColorProfileConvertRGBToRGB(QXColorProfileRef profile, uint8_t r, uint8_t g, uint8_t b,
                                                 uint8_t* outR, uint8_t* outG, uint8_t* outB) {
  const uint8_t in[3] = {r, g, b};
  uint8_t out[3];
  const qxcolor::CubeTable* table = profile ? P(profile)->mTable.Get() : nullptr;
  qxcolor::CubeRGB(table, in, out);
  if (outR) *outR = out[0];
  if (outG) *outG = out[1];
  if (outB) *outB = out[2];
  return kQXNoErr;
}

QX_EXPORT QXStatus QXColorProfileConvertCMYKToRGB(QXColorProfileRef profile, uint8_t c, uint8_t m, uint8_t y, uint8_t k,
                                                  uint8_t* outR, uint8_t* outG, uint8_t* outB) {
  const uint8_t in[4] = {c, m, y, k};
  uint8_t out[3];
  const qxcolor::CubeTable* table = profile ? P(profile)->mTable.Get() : nullptr;
  qxcolor::CubeCMYK(table, in, out);
  if (outR) *outR = out[0];
  if (outG) *outG = out[1];
  if (outB) *outB = out[2];
  return kQXNoErr;
}

QX_EXPORT QXStatus QXColorProfileConvertGrayToRGB(QXColorProfileRef profile, uint8_t v, uint8_t* outR, uint8_t* outG,
                                                  uint8_t* outB) {
  uint8_t out[3];
  const qxcolor::CubeTable* table = profile ? P(profile)->mTable.Get() : nullptr;
  qxcolor::CubeGray(table, v, out);
  if (outR) *outR = out[0];
  if (outG) *outG = out[1];
  if (outB) *outB = out[2];
  return kQXNoErr;
}

QX_EXPORT QXStatus QXColorProfileApplyToImage(QXColorProfileRef profile, QXImageRef image) {
  if (!profile) return kQXErrInvalidArgument;
  return qxcolor::ApplyTable(P(profile)->mTable.Get(), image);
}

QX_EXPORT QXStatus QXColorProfileConvertProfile(QXColorProfileRef source, QXColorProfileRef destination,
                                                QXImageRef sourceImage, QXImageRef destinationImage, QXRect rect,
                                                int32_t intent) {
  if (!source || !destination || !sourceImage || !destinationImage) return kQXErrInvalidArgument;
  const int32_t depth = QXImageGetDepth(sourceImage), planes = QXImageGetNumPlanes(sourceImage);
  const int32_t alpha = QXImageGetTransparency(sourceImage) ? 1 : 0;
  const int32_t model = QXImageGetColorSpaceType(sourceImage);
  const int32_t colourPlanes = planes - alpha;
  const cmsUInt32Number format = PixelFormat(model, depth);
  if (depth != QXImageGetDepth(destinationImage) || planes != QXImageGetNumPlanes(destinationImage) || format == 0 ||
      colourPlanes != ChannelsOf(model)) {
    return kQXErrUnsupportedFormat;
  }
  rect = QXRectIntersect(QXRectIntersect(rect, QXImageGetBounds(sourceImage)), QXImageGetBounds(destinationImage));
  if (rect.width <= 0 || rect.height <= 0) return kQXErrInvalidArgument;

  CFRef<CFDataRef> fromBytes, toBytes;
  if (QXStatus status = P(source)->NativeBytes(fromBytes)) return status;
  if (QXStatus status = P(destination)->NativeBytes(toBytes)) return status;
  std::unique_ptr<qxcolor::Transform> transform;
  if (fromBytes && toBytes) {
    qxcolor::Profile from = qxcolor::OpenProfile(fromBytes.get()), to = qxcolor::OpenProfile(toBytes.get());
    if (!from || !to) {
      LOG_FAILURE(kQXErrInvalidProfile);
      return kQXErrInvalidProfile;
    }
    if (qxcolor::ModelOfColorSpace(static_cast<uint32_t>(cmsGetColorSpace(from.get()))) != model ||
        qxcolor::ModelOfColorSpace(static_cast<uint32_t>(cmsGetColorSpace(to.get()))) != model) {
      return kQXErrUnsupportedFormat;
    }
    const cmsUInt32Number cmsIntent =
        intent == kQXColorIntentPerceptual ? INTENT_PERCEPTUAL : INTENT_RELATIVE_COLORIMETRIC;
    transform =
        std::make_unique<qxcolor::Transform>(qxcolor::CreateTransform(from.get(), format, to.get(), format, cmsIntent));
    if (!*transform) {
      LOG_FAILURE(kQXErrUnsupportedFormat);
      return kQXErrUnsupportedFormat;
    }
  } else if (sourceImage == destinationImage) {
    return kQXNoErr;  // an empty profile converts nothing
  }

  const bool copyAlpha = alpha && sourceImage != destinationImage;
  const int32_t srcLo = QXImageGetLoPlane(sourceImage), dstLo = QXImageGetLoPlane(destinationImage);
  const int32_t copyPlanes = transform ? colourPlanes : planes;
  std::vector<uint8_t> row;
  try {
    row.resize(static_cast<size_t>(rect.width) * static_cast<size_t>(planes) * static_cast<size_t>(depth / 8));
  } catch (const std::bad_alloc&) {
    return kQXErrMemory;
  }
  for (int32_t y = 0; y < rect.height; ++y) {
    const QXRect line = {rect.x, rect.y + y, rect.width, 1};
    QXStatus status = QXImageRead(sourceImage, line, srcLo, srcLo + copyPlanes - 1, row.data(), 0);
    if (status == 0 && transform) {
      cmsDoTransform(transform->get(), row.data(), row.data(), static_cast<cmsUInt32Number>(rect.width));
    }
    if (status == 0) status = QXImageWrite(destinationImage, line, dstLo, dstLo + copyPlanes - 1, row.data(), 0);
    if (status == 0 && copyAlpha && transform) {
      status = QXImageRead(sourceImage, line, srcLo + colourPlanes, srcLo + colourPlanes, row.data(), 0);
      if (status == 0)
        status = QXImageWrite(destinationImage, line, dstLo + colourPlanes, dstLo + colourPlanes, row.data(), 0);
    }
    if (status != 0) {
      LOG_FAILURE(status);
      return status;
    }
  }
  return kQXNoErr;
}
