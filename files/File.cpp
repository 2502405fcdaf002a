// CBaseFile: one entry of a folder listing.
#include <errno.h>
#include <sys/stat.h>

#include <QXCore/QXFileMgr.h>

#include "files/CoreFileInternal.h"

namespace {

// Name order of listings: case- and diacritic-insensitive, digit runs as numbers, and forced
// ordering so that names differing only in case still have a fixed order.
constexpr CFStringCompareFlags kNameOrder =
    kCFCompareCaseInsensitive | kCFCompareNumerically | kCFCompareDiacriticInsensitive | kCFCompareForcedOrdering;
static_assert(kNameOrder == 0x2C1);

template <class T>
void Assign(T& field, T value) {
  if (value) CFRetain(value);
  if (field) CFRelease(field);
  field = value;
}

// Orders null before anything else.
template <class T>
bool CompareNull(T a, T b, CFComparisonResult& result) {
  if (a && b) return false;
  result = a == b ? kCFCompareEqualTo : (a ? kCFCompareGreaterThan : kCFCompareLessThan);
  return true;
}

}  // namespace

CBaseFile::CBaseFile() = default;

CBaseFile::CBaseFile(CFURLRef folder, CFStringRef name) {
  if (!folder || !name) return;
  qxcf::CFRef<CFURLRef> location = qxcf::adopt(CFURLCreateCopyAppendingPathComponent(nullptr, folder, name, false));
  SetLocation(location.get());
}

CBaseFile::CBaseFile(const CBaseFile& other) : CBaseCore() { *this = other; }

CBaseFile& CBaseFile::operator=(const CBaseFile& other) {
  if (this == &other) return *this;
  Assign(mLocation, other.mLocation);
  Assign(mModDate, other.mModDate);
  Assign(mFileName, other.mFileName);
  return *this;
}

CBaseFile::~CBaseFile() {
  if (mLocation) CFRelease(mLocation);
  if (mModDate) CFRelease(mModDate);
  if (mFileName) CFRelease(mFileName);
}

void CBaseFile::Init(CFURLRef location, CFDateRef modDate) {
  SetLocation(location);
  SetModDate(modDate);
}

void CBaseFile::SetLocation(CFURLRef location) {
  Assign(mLocation, location);
  qxcf::CFRef<CFStringRef> name = qxcf::adopt(location ? CFURLCopyLastPathComponent(location) : nullptr);
  Assign(mFileName, name.get());
}

void CBaseFile::SetLocation(CFURLRef folder, CFStringRef name) {
  qxcf::CFRef<CFURLRef> location =
      qxcf::adopt(folder && name ? CFURLCreateCopyAppendingPathComponent(nullptr, folder, name, false) : nullptr);
  Assign(mLocation, location.get());
  Assign(mFileName, name);
}

void CBaseFile::SetModDate(CFDateRef modDate) { Assign(mModDate, modDate); }

void CBaseFile::InitListed(CFURLRef location, CFStringRef name, CFDateRef modDate) {
  Assign(mLocation, location);
  Assign(mFileName, name);
  Assign(mModDate, modDate);
}

QXStatus CBaseFile::LoadInfo() {
  std::string path;
  if (int err = qxfiles::PathFromURL(mLocation, path)) return err;
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return errno;
  qxcf::CFRef<CFDateRef> date = qxcf::adopt(CreateCFDateFromFileTime(st.st_mtim));
  SetModDate(date.get());
  return 0;
}

CFComparisonResult CBaseFile::CompareByName(const CBaseFile& other) const {
  CFComparisonResult result;
  if (CompareNull(mFileName, other.mFileName, result)) return result;
  return CFStringCompare(mFileName, other.mFileName, kNameOrder);
}

CFComparisonResult CBaseFile::CompareByNameFunc(const void* a, const void* b, void*) {
  CFComparisonResult result;
  if (CompareNull(a, b, result)) return result;
  return static_cast<const CBaseFile*>(a)->CompareByName(*static_cast<const CBaseFile*>(b));
}

CFComparisonResult CBaseFile::CompareByModDate(const CBaseFile& other) const {
  CFComparisonResult result;
  if (CompareNull(mModDate, other.mModDate, result)) return result;
  return CFDateCompare(mModDate, other.mModDate, nullptr);
}

CFDateRef CBaseFile::CreateCFDateFromFileTime(const struct timespec& fileTime) {
  // Millisecond precision, as file times were always reported.
  double milliseconds = static_cast<double>(fileTime.tv_nsec / 1000000);
  CFAbsoluteTime at = static_cast<double>(fileTime.tv_sec) - kCFAbsoluteTimeIntervalSince1970 + milliseconds / 1000.0;
  return CFDateCreate(nullptr, at);
}
