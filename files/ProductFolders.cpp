// The family's data folders, the applications' support folders and the file names derived from
// a product record.
#include <QXCore/QXFileMgr.h>
#include <QXCore/QXLocale.h>

#include "files/CoreFileInternal.h"
#include "files/PreferencesSupport.h"
#include "files/Product.h"

using qxcf::adopt;
using qxcf::CFRef;

namespace {

constexpr CFIndex kUser = 1;
constexpr CFIndex kShared = 0;

CFStringRef familyFolderName() { return CFSTR("Orvex Software"); }

CFRef<CFURLRef> appendFolder(const CFRef<CFURLRef>& url, CFStringRef component) {
  if (!url || component == nullptr) return {};
  return adopt(CFURLCreateCopyAppendingPathComponent(nullptr, url.get(), component, true));
}

CFRef<CFURLRef> appendPartialPath(const CFRef<CFURLRef>& url, CFStringRef partialPath) {
  if (!url) return {};
  return adopt(QXFileMgrCreatePathAppendingPartialPath(url.get(), partialPath));
}

bool hasText(CFStringRef s) { return s != nullptr && CFStringGetLength(s) > 0; }

bool defaultLanguageIsGerman() { return CFEqual(QXLocaleGetDefaultLanguageCode(), kQXLocaleLanguageCodeDE); }

// "Presets" or "Presets.de".
CFStringRef localisedFolder(CFStringRef english, CFStringRef german, bool useGerman) {
  return useGerman ? german : english;
}

int32_t dataFolderForMode(bool userGlobal, bool user, CFRef<CFURLRef>& out) {
  int32_t folderType = 0;
  CFRef<CFStringRef> partial;
  if (userGlobal) {
    partial = adopt(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%@%@%@"), familyFolderName(),
                                             QXFileMgrGetPathSeparator(), user ? CFSTR("user") : CFSTR("global")));
  } else {
    folderType = user ? 0 : 1;
    partial = CFRef<CFStringRef>::retain(familyFolderName());
  }
  if (!partial) return kQXErrMemory;
  CFURLRef url = nullptr;
  int32_t status = QXFileMgrGetFolderPathCopy(nullptr, folderType, partial.get(), &url);
  out = adopt(url);
  if (status == 0 && !out) status = kQXErrMemory;
  if (status == 0) status = QXFileMgrCreateDirectory(out.get());
  if (status != 0) out.reset();
  return status;
}

// The application's support folder: the data folder plus the product's folder name, kept in the
// record once found. The folder lookup runs outside the lock; a result computed under a mode that
// has changed meanwhile is handed out once but not kept.
int32_t supportFolder(CProduct* product, bool user, CFRef<CFURLRef>& out) {
  CFIndex slot = user ? kUser : kShared;
  bool userGlobal;
  uint64_t generation;
  {
    qx::MutexLock guard(qx::product::lock());
    qx::product::FolderState& folders = qx::product::folderState();
    if (product->mSupportURL[slot] && product->mCacheGeneration[slot] == folders.generation) {
      out = product->mSupportURL[slot];
      return 0;
    }
    userGlobal = folders.userGlobal;
    generation = folders.generation;
  }
  CFRef<CFURLRef> data;
  int32_t status = dataFolderForMode(userGlobal, user, data);
  if (status != 0) return status;
  out = appendFolder(data, product->mFolderName.get());
  if (!out) return kQXErrMemory;
  qx::MutexLock guard(qx::product::lock());
  if (qx::product::folderState().generation == generation) {
    product->mSupportURL[slot] = out;
    product->mCacheGeneration[slot] = generation;
  }
  return 0;
}

// The extras folder, "Extras Orvex" in the data folder.
CFRef<CFURLRef> extrasFolder(const CFRef<CFURLRef>& data) {
  CFRef<CFStringRef> name =
      adopt(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%@ %@"), CFSTR("Extras"), QXProductGetFamilyName()));
  return appendFolder(data, name.get());
}

// Kinds 5-8: Borders or Textures, then the name when the product asks for named sub-folders,
// then "Small" for kinds 5 and 7 when a name is given.
CFRef<CFURLRef> framingFolder(const CFRef<CFURLRef>& extras, int32_t kind, CFStringRef name, bool namedSubFolders) {
  bool borders = kind == 5 || kind == 6;
  bool small = kind == 5 || kind == 7;
  CFRef<CFURLRef> url = appendFolder(extras, borders ? CFSTR("Borders") : CFSTR("Textures"));
  if (hasText(name)) {
    if (namedSubFolders) url = appendPartialPath(url, name);
    if (small) url = appendFolder(url, CFSTR("Small"));
  }
  return url;
}

bool kindTakesName(int32_t kind, bool namedSubFolders) {
  switch (kind) {
    case 3:
    case 9:
    case 10:
    case 15: return true;
    case 5:
    case 6:
    case 7:
    case 8: return namedSubFolders;
    default: return false;
  }
}

}  // namespace

void QXProductSetUserGlobalFolders(bool on) {
  qxfiles::NoThrow([&]() -> void {
    qx::MutexLock guard(qx::product::lock());
    qx::product::FolderState& folders = qx::product::folderState();
    if (folders.userGlobal == on) return;
    folders.userGlobal = on;
    ++folders.generation;  // every kept support folder names the other mode's folder
  });
}

bool QXProductGetUserGlobalFolders(void) {
  return qxfiles::NoThrow([&]() -> bool {
    qx::MutexLock guard(qx::product::lock());
    return qx::product::folderState().userGlobal;
  });
}

QXStatus QXProductCopyDataFolderURL(bool user, CFURLRef* outURL) {
  return qxfiles::NoThrow([&]() -> int32_t {
    if (outURL == nullptr) return kQXErrInvalidArgument;
    *outURL = nullptr;
    CFRef<CFURLRef> url;
    int32_t status = dataFolderForMode(QXProductGetUserGlobalFolders(), user, url);
    *outURL = url.release();
    return status;
  });
}

QXStatus QXProductGetSupportURLCopy(QXProductRef product, bool user, int32_t kind, CFStringRef name, bool create,
                                    CFURLRef* outURL) {
  return qxfiles::NoThrow([&]() -> int32_t {
    if (outURL == nullptr) return kQXErrInvalidArgument;
    *outURL = nullptr;
    if (product == nullptr || kind < 1 || kind > 18 || kind == 17) return kQXErrInvalidArgument;
    CProduct* record = qx::fromHandle(product);
    bool named = hasText(name);
    if (named && kindTakesName(kind, record->mNamedSubFolders) && !qx::prefs::isRelativePartialPath(name)) {
      return kQXErrInvalidArgument;
    }

    CFRef<CFURLRef> url;
    int32_t status = 0;
    if (kind == 2 || (kind >= 5 && kind <= 9) || kind == 18) {
      CFRef<CFURLRef> data;
      status = dataFolderForMode(QXProductGetUserGlobalFolders(), user, data);
      if (status != 0) return status;
      if (kind == 18) {
        CFRef<CFStringRef> common =
            adopt(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("Common %@"), QXProductGetFamilyName()));
        url = appendFolder(data, common.get());
      } else if (kind == 2) {
        url = extrasFolder(data);
      } else if (kind == 9) {
        url = appendFolder(extrasFolder(data), CFSTR("Backgrounds"));
        if (named) url = appendPartialPath(url, name);
      } else {
        url = framingFolder(extrasFolder(data), kind, name, record->mNamedSubFolders);
      }
    } else {
      CFRef<CFURLRef> support;
      status = supportFolder(record, user, support);
      if (status != 0) return status;
      switch (kind) {
        case 1: url = support; break;
        case 3:
          url = appendFolder(
              support, localisedFolder(CFSTR("Presets"), CFSTR("Presets.de"), !user && defaultLanguageIsGerman()));
          if (named) url = appendPartialPath(url, name);
          break;
        case 4: url = appendFolder(support, CFSTR("FilmGrains")); break;
        case 10:
          url = appendFolder(
              support, localisedFolder(CFSTR("FactoryPresets"), CFSTR("FactoryPresets.de"), defaultLanguageIsGerman()));
          if (named) url = appendPartialPath(url, name);
          break;
        case 11: url = appendFolder(support, CFSTR("TonerPresets")); break;
        case 12: url = appendFolder(support, CFSTR("Tutorial")); break;
        case 13: url = appendFolder(support, CFSTR("DuotonePresets")); break;
        case 14: url = appendFolder(support, CFSTR("PhotoFilterPresets")); break;
        case 15:
          url = named ? appendPartialPath(support, name)
                      : appendFolder(support, localisedFolder(CFSTR("Favorites"), CFSTR("Favorites.de"),
                                                              defaultLanguageIsGerman()));
          break;
        case 16: url = appendFolder(support, CFSTR("Lens Presets")); break;
        default: return kQXErrInvalidArgument;
      }
    }
    if (!url) return kQXErrMemory;
    if (create) {
      status = QXFileMgrCreateDirectory(url.get());
      if (status != 0) return status;
    }
    *outURL = url.release();
    return 0;
  });
}

QXStatus QXProductCopyUserFolderURL(QXProductRef product, CFURLRef* outURL) {
  return qxfiles::NoThrow([&]() -> int32_t {
    if (outURL == nullptr) return kQXErrInvalidArgument;
    *outURL = nullptr;
    if (product == nullptr) return kQXErrInvalidArgument;
    CFRef<CFURLRef> url;
    int32_t status = supportFolder(qx::fromHandle(product), true, url);
    if (status == 0) status = QXFileMgrCreateDirectory(url.get());
    if (status == 0) *outURL = url.release();
    return status;
  });
}

CFStringRef QXProductCopyPreferenceFolderName(QXProductRef product) {
  if (product == nullptr) return nullptr;
  return CFStringCreateWithFormat(nullptr, nullptr, CFSTR("Orvex Software%@%@"), QXFileMgrGetPathSeparator(),
                                  QXProductGetFolderName(product));
}

CFStringRef QXProductCopyLogFileName(QXProductRef product) {
  if (product == nullptr) return nullptr;
  return CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%@ Log.txt"), QXProductGetName(product));
}

QXStatus QXProductCopyLogFileURL(QXProductRef product, CFURLRef* outURL) {
  if (outURL == nullptr) return kQXErrInvalidArgument;
  *outURL = nullptr;
  CFURLRef folderOut = nullptr;
  int32_t status = QXProductCopyUserFolderURL(product, &folderOut);
  CFRef<CFURLRef> folder = adopt(folderOut);
  if (status != 0) return status;
  CFRef<CFStringRef> name = adopt(QXProductCopyLogFileName(product));
  if (!name) return kQXErrMemory;
  *outURL = CFURLCreateCopyAppendingPathComponent(nullptr, folder.get(), name.get(), false);
  return *outURL != nullptr ? 0 : kQXErrMemory;
}

QXStatus QXProductCopyPresetFileURL(QXProductRef product, bool user, CFStringRef presetName, CFURLRef* outURL) {
  if (outURL == nullptr) return kQXErrInvalidArgument;
  *outURL = nullptr;
  CFStringRef ext = QXProductGetPresetExt(product);
  if (ext == nullptr || !qx::prefs::isFileName(presetName)) return kQXErrInvalidArgument;
  CFURLRef folderOut = nullptr;
  int32_t status = QXProductGetSupportURLCopy(product, user, 3, nullptr, false, &folderOut);
  CFRef<CFURLRef> folder = adopt(folderOut);
  if (status != 0) return status;
  CFRef<CFStringRef> fileName = adopt(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%@.%@"), presetName, ext));
  if (!fileName) return kQXErrMemory;
  *outURL = CFURLCreateCopyAppendingPathComponent(nullptr, folder.get(), fileName.get(), false);
  return *outURL != nullptr ? 0 : kQXErrMemory;
}
