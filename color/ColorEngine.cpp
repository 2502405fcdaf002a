#include "color/ColorEngine.h"

#include <QXCore/QXLog.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <cwchar>
#include <mutex>

#include "core/Fd.h"
#include "files/CoreFileInternal.h"

namespace qxcolor {

namespace {

void LogEngineError(cmsContext, cmsUInt32Number code, const char* text) {
  QXLogWithParams(1, CFSTR("QXCore"), static_cast<int32_t>(code), CFSTR("Little CMS: %s"), text ? text : "");
}

uint32_t BE32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

CFRef<CFDataRef> SaveProfile(cmsHPROFILE h) {
  cmsUInt32Number size = 0;
  if (!cmsSaveProfileToMem(h, nullptr, &size) || size == 0) return nullptr;
  std::vector<uint8_t> bytes(size);
  if (!cmsSaveProfileToMem(h, bytes.data(), &size)) return nullptr;
  return qxcf::adopt(CFDataCreate(nullptr, bytes.data(), static_cast<CFIndex>(size)));
}

CFRef<CFDataRef> BuildRGB(const cmsCIExyY& white, const cmsCIExyYTRIPLE& primaries, double gamma, uint32_t model,
                          const char* description) {
  cmsToneCurve* curve = cmsBuildGamma(Context(), gamma);
  if (!curve) return nullptr;
  cmsToneCurve* curves[3] = {curve, curve, curve};
  Profile p(cmsCreateRGBProfileTHR(Context(), &white, &primaries, curves));
  cmsFreeToneCurve(curve);
  if (!p) return nullptr;
  cmsSetProfileVersion(p.get(), 2.1);
  cmsSetHeaderModel(p.get(), model);
  if (cmsMLU* mlu = cmsMLUalloc(Context(), 1)) {
    cmsMLUsetASCII(mlu, "en", "US", description);
    cmsWriteTag(p.get(), cmsSigProfileDescriptionTag, mlu);
    cmsMLUfree(mlu);
  }
  return SaveProfile(p.get());
}

CFRef<CFDataRef> BuildSRGB() {
  Profile p(cmsCreate_sRGBProfileTHR(Context()));
  if (!p) return nullptr;
  cmsSetProfileVersion(p.get(), 2.1);
  cmsSetHeaderModel(p.get(), 0x73524742);  // 'sRGB'
  return SaveProfile(p.get());
}

// Walks one folder tree in name order; a folder that cannot be read is passed over.
void Walk(const std::string& root, const std::string& relative, int depth,
          std::vector<std::pair<std::string, std::string>>& out) {
  if (depth > 16) return;
  const std::string folder = relative.empty() ? root : root + "/" + relative;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return;
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
      names.emplace_back(entry->d_name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string rel = relative.empty() ? name : relative + "/" + name;
    const std::string full = root + "/" + rel;
    struct stat st;
    if (::stat(full.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      Walk(root, rel, depth + 1, out);
    } else if (S_ISREG(st.st_mode) && name.size() > 4) {
      std::string ext = name.substr(name.size() - 4);
      for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (ext == ".icc" || ext == ".icm") out.emplace_back(rel, full);
    }
  }
}

}  // namespace

cmsContext Context() {
  static cmsContext context = [] {
    cmsContext c = cmsCreateContext(nullptr, nullptr);
    cmsSetLogErrorHandlerTHR(c, LogEngineError);
    return c;
  }();
  return context;
}

Profile OpenProfile(CFDataRef bytes) {
  if (!bytes || CFDataGetLength(bytes) <= 0) return Profile();
  return Profile(cmsOpenProfileFromMemTHR(Context(), CFDataGetBytePtr(bytes),
                                          static_cast<cmsUInt32Number>(CFDataGetLength(bytes))));
}

cmsHTRANSFORM CreateTransform(cmsHPROFILE source, cmsUInt32Number inFormat, cmsHPROFILE target,
                              cmsUInt32Number outFormat, cmsUInt32Number intent, bool shared) {
  // Little CMS keeps a one-pixel cache in each transform; only a transform without it may run on
  // several threads at once.
  return cmsCreateTransformTHR(Context(), source, inFormat, target, outFormat, intent,
                               cmsFLAGS_HIGHRESPRECALC | (shared ? cmsFLAGS_NOCACHE : 0));
}

int32_t ModelOfColorSpace(uint32_t space) {
  switch (space) {
    case cmsSigGrayData: return 1;
    case cmsSigRgbData: return 2;
    case cmsSigCmykData: return 3;
    default: return 0;
  }
}

std::vector<std::string> ColorDirectories() {
  std::vector<std::string> dirs;
  if (const char* env = ::getenv("QX_COLOR_DIR"); env && *env) dirs.emplace_back(env);
  std::string dataHome;
  if (qxfiles::DataHome(dataHome) == 0) dirs.push_back(dataHome + "/icc");
  dirs.emplace_back("/usr/local/share/color/icc");
  dirs.emplace_back("/usr/share/color/icc");
  return dirs;
}

bool IsSafeName(const std::string& name) {
  if (name.empty() || name[0] == '/' || name.find('\0') != std::string::npos) return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    if (name.compare(start, end - start, "..") == 0 && end - start == 2) return false;
    start = end + 1;
  }
  return true;
}

int ReadProfileFile(const std::string& path, CFRef<CFDataRef>& out) {
  struct stat st;
  qx::Fd fd(qxfiles::OpenRegularFile(path, 0, st));
  if (fd.get() < 0) return errno;
  if (st.st_size <= 0 || static_cast<uint64_t>(st.st_size) > kMaxProfileBytes) return st.st_size <= 0 ? EINVAL : EFBIG;
  std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) break;  // shrank while being read: take what is there
    done += static_cast<size_t>(n);
  }
  out = qxcf::adopt(CFDataCreate(nullptr, bytes.data(), static_cast<CFIndex>(done)));
  return out ? 0 : ENOMEM;
}

int ReadNamedProfile(const std::string& name, CFRef<CFDataRef>& out) {
  if (!IsSafeName(name)) return EINVAL;
  int result = ENOENT;
  for (const std::string& dir : ColorDirectories()) {
    const std::string path = dir + "/" + name;
    if (!qxfiles::Exists(path)) continue;
    result = ReadProfileFile(path, out);
    if (result == 0) return 0;
  }
  return result;
}

CFRef<CFDataRef> BuiltInProfile(uint32_t code) {
  static std::once_flag once[3];
  static CFRef<CFDataRef> profiles[3];
  // Primaries and white points: ITU-R BT.709/D65, Adobe RGB (1998)/D65, ROMM/D50.
  switch (code) {
    case 0x73726762: std::call_once(once[0], [] { profiles[0] = BuildSRGB(); }); return profiles[0];
    case 0x31393938:
      std::call_once(once[1], [] {
        const cmsCIExyY d65 = {0.3127, 0.3290, 1.0};
        const cmsCIExyYTRIPLE adobe = {{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
        profiles[1] = BuildRGB(d65, adobe, 563.0 / 256.0, 0, "Adobe RGB (1998)");
      });
      return profiles[1];
    case 0x70726f70:
      std::call_once(once[2], [] {
        const cmsCIExyY d50 = {0.3457, 0.3585, 1.0};
        const cmsCIExyYTRIPLE romm = {{0.7347, 0.2653, 1.0}, {0.1596, 0.8404, 1.0}, {0.0366, 0.0001, 1.0}};
        profiles[2] = BuildRGB(d50, romm, 1.8, 0x524F4D4D /* 'ROMM' */, "ProPhoto RGB");
      });
      return profiles[2];
    default: return nullptr;
  }
}

int DisplayProfile(CFRef<CFDataRef>& out) {
  if (const char* env = ::getenv("QX_DISPLAY_PROFILE"); env && *env) return ReadProfileFile(env, out);
  out = BuiltInProfile(0x73726762);
  return out ? 0 : ENOMEM;
}

int CMYKProfile(CFRef<CFDataRef>& out) {
  if (ReadNamedProfile("RSWOP.icm", out) == 0) return 0;
  // Ghostscript's default output profile, read where it is installed and never shipped by us.
  for (const char* path :
       {"/usr/share/color/icc/ghostscript/default_cmyk.icc", "/usr/share/ghostscript/iccprofiles/default_cmyk.icc"}) {
    if (ReadProfileFile(path, out) == 0) return 0;
  }
  return ENOENT;
}

std::optional<Description> ReadDescription(cmsHPROFILE profile) {
  const cmsUInt32Number size = cmsReadRawTag(profile, cmsSigProfileDescriptionTag, nullptr, 0);
  if (size < 12 || size > kMaxProfileBytes) return std::nullopt;
  std::vector<uint8_t> tag(size);
  if (cmsReadRawTag(profile, cmsSigProfileDescriptionTag, tag.data(), size) != size) return std::nullopt;
  const uint32_t type = BE32(tag.data());
  if (type == cmsSigTextDescriptionType) {
    const uint64_t count = BE32(tag.data() + 8);
    const size_t available = std::min<uint64_t>({count, size - 12, 255});
    const uint8_t* text = tag.data() + 12;
    const size_t length = std::find(text, text + available, 0) - text;
    return Description{std::string(reinterpret_cast<const char*>(text), length), true};
  }
  if (type == cmsSigMultiLocalizedUnicodeType || type == cmsSigTextType) {
    const cmsUInt32Number bytes = cmsGetProfileInfo(profile, cmsInfoDescription, "en", "US", nullptr, 0);
    if (bytes < sizeof(wchar_t)) return std::nullopt;
    std::vector<wchar_t> wide(bytes / sizeof(wchar_t) + 1, 0);
    cmsGetProfileInfo(profile, cmsInfoDescription, "en", "US", wide.data(), bytes);
    std::string utf8;
    for (const wchar_t* w = wide.data(); *w; ++w) {
      const auto c = static_cast<uint32_t>(*w);
      if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
      if (c < 0x80) {
        utf8 += static_cast<char>(c);
      } else if (c < 0x800) {
        utf8 += static_cast<char>(0xC0 | (c >> 6));
        utf8 += static_cast<char>(0x80 | (c & 0x3F));
      } else if (c < 0x10000) {
        utf8 += static_cast<char>(0xE0 | (c >> 12));
        utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        utf8 += static_cast<char>(0x80 | (c & 0x3F));
      } else {
        utf8 += static_cast<char>(0xF0 | (c >> 18));
        utf8 += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        utf8 += static_cast<char>(0x80 | (c & 0x3F));
      }
    }
    return Description{utf8, false};
  }
  return std::nullopt;
}

std::string UTF8(CFStringRef string) {
  if (!string) return {};
  const CFIndex length = CFStringGetLength(string);
  const CFIndex size = CFStringGetMaximumSizeForEncoding(length, kCFStringEncodingUTF8);
  std::string out(static_cast<size_t>(size), '\0');
  CFIndex used = 0;
  const CFIndex converted = CFStringGetBytes(string, CFRangeMake(0, length), kCFStringEncodingUTF8, 0, false,
                                             reinterpret_cast<UInt8*>(out.data()), size, &used);
  out.resize(static_cast<size_t>(used));
  // Text that has no UTF-8 form (a lone surrogate) must not pass for a shorter name.
  if (converted != length) out.push_back('\0');
  return out;
}

std::vector<std::pair<std::string, std::string>> ListProfileFiles() {
  std::vector<std::pair<std::string, std::string>> files;
  for (const std::string& dir : ColorDirectories()) Walk(dir, "", 0, files);
  return files;
}

}  // namespace qxcolor
