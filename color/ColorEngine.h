// The colour engine behind profiles and cubes: Little CMS with its errors sent to the log, the
// colour directory, bounded reading of profile files, built-in standard profiles and descriptions.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXBase.h>
#include <lcms2.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cf/CFRef.h"

namespace qxcolor {

using qxcf::CFRef;

constexpr size_t kMaxProfileBytes = 32u * 1024 * 1024;

// The process's Little CMS context; its errors go to the log.
cmsContext Context();

// An open Little CMS profile, closed on destruction.
class Profile {
 public:
  Profile() = default;
  explicit Profile(cmsHPROFILE h) : mHandle(h) {}
  ~Profile() {
    if (mHandle) cmsCloseProfile(mHandle);
  }
  Profile(const Profile&) = delete;
  Profile& operator=(const Profile&) = delete;
  Profile(Profile&& o) noexcept : mHandle(o.mHandle) { o.mHandle = nullptr; }
  cmsHPROFILE get() const { return mHandle; }
  explicit operator bool() const { return mHandle != nullptr; }

 private:
  cmsHPROFILE mHandle = nullptr;
};

// An open transform, deleted on destruction.
class Transform {
 public:
  explicit Transform(cmsHTRANSFORM h) : mHandle(h) {}
  ~Transform() {
    if (mHandle) cmsDeleteTransform(mHandle);
  }
  Transform(const Transform&) = delete;
  Transform& operator=(const Transform&) = delete;
  cmsHTRANSFORM get() const { return mHandle; }
  explicit operator bool() const { return mHandle != nullptr; }

 private:
  cmsHTRANSFORM mHandle = nullptr;
};

Profile OpenProfile(CFDataRef bytes);
// A transform between two profiles in best mode (no black-point compensation); null on failure.
// A `shared` one may run on several threads at once (it keeps no one-pixel cache).
cmsHTRANSFORM CreateTransform(cmsHPROFILE source, cmsUInt32Number inFormat, cmsHPROFILE target,
                              cmsUInt32Number outFormat, cmsUInt32Number intent, bool shared = false);

// Colour model code of an ICC colour space: 1 gray, 2 RGB, 3 CMYK, else 0.
int32_t ModelOfColorSpace(uint32_t space);

// The folders of the colour directory, in search order (only those named; they may not exist).
std::vector<std::string> ColorDirectories();
// A name inside the colour directory is relative and stays inside it.
bool IsSafeName(const std::string& name);
// Every .icc/.icm file of the colour directory as (name relative to its folder, full path), in
// search order: folder by folder, each tree in name order.
std::vector<std::pair<std::string, std::string>> ListProfileFiles();
// The regular file `path` when it holds at most kMaxProfileBytes. 0, EFBIG or errno.
int ReadProfileFile(const std::string& path, CFRef<CFDataRef>& out);
// The first file of that name in the colour directory. 0, EINVAL for a refused name, ENOENT, or
// the read's errno.
int ReadNamedProfile(const std::string& name, CFRef<CFDataRef>& out);

// Built-in version 2.1 profiles for the standard codes srgb, 1998 and prop; null for others.
CFRef<CFDataRef> BuiltInProfile(uint32_t code);
// The display's profile: $QX_DISPLAY_PROFILE, else the built-in sRGB. 0 or the read's errno.
int DisplayProfile(CFRef<CFDataRef>& out);
// "RSWOP.icm" in the colour directory, else the system's default CMYK profile. 0 or ENOENT.
int CMYKProfile(CFRef<CFDataRef>& out);

// A profile's description: the version 2 'desc' text (raw bytes, up to the first zero, at most
// 255) or the text of a version 4 multi-localised one (UTF-8). Nothing when it has none.
struct Description {
  std::string text;
  bool raw = false;  // the bytes of a 'desc' tag, not yet known to be UTF-8
};
std::optional<Description> ReadDescription(cmsHPROFILE profile);

// The UTF-8 bytes of a string, embedded NULs kept (qxfiles::UTF8 stops at one, and a name must not
// pass for a shorter one); text without a UTF-8 form gets a NUL added.
std::string UTF8(CFStringRef string);

}  // namespace qxcolor
