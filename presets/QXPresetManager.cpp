#include <QXCore/QXLocale.h>
#include <QXCore/QXLog.h>
#include <QXCore/QXPresetManager.h>
#include <QXCore/QXUtilsMisc.h>
#include <errno.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "cf/CFRef.h"
#include "files/CoreFileInternal.h"
#include "presets/PresetFile.h"

using qxcf::adopt;
using qxcf::CFRef;

const CFStringRef QXPresetManager::kExclusionFile = CFSTR("__exclude");

namespace {

void logText(CFStringRef text) { QXLog(CFSTR("%@"), text); }

std::string utf8(const QXString& s) { return qxfiles::UTF8(s.toCFString()); }

// The favourites category names, shared by every manager of the process.
struct FavoritesNames {
  std::mutex lock;
  QXString mine{"My Favorites"};
  QXString shared{"Orvex Favorite Looks"};
};
FavoritesNames& favoritesNames() {
  static FavoritesNames* names = new FavoritesNames;  // never destroyed: managers may outlive exit
  return *names;
}

bool isRegularFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// One file name, as every category and preset name must be before it is joined into a path.
bool isOneName(const std::string& name, size_t extraBytes) {
  return !name.empty() && name[0] != '.' && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos && name.size() + extraBytes <= NAME_MAX;
}

}  // namespace

QXPresetManager::QXPresetManager() : mType(kQXPresetManagerNone), mUseCategoryExclusionList(true) {}

QXPresetManager::QXPresetManager(QXProductRef product, bool user) : QXPresetManager() { initialize(product, user); }

QXPresetManager::QXPresetManager(QXProductRef product, QXPresetManagerType type) : QXPresetManager() {
  initialize(product, type);
}

QXPresetManager::QXPresetManager(const QXString& modulePath, const QXString& folderName, const QXString& extension)
    : QXPresetManager() {
  initialize(modulePath, folderName, extension);
}

QXPresetManager::QXPresetManager(const QXPresetManager& other) = default;
QXPresetManager& QXPresetManager::operator=(const QXPresetManager& other) = default;
QXPresetManager::~QXPresetManager() = default;

void QXPresetManager::initialize(QXProductRef product, bool user) {
  initialize(product, user ? kQXPresetManagerUser : kQXPresetManagerShared);
}

void QXPresetManager::initialize(QXProductRef product, QXPresetManagerType type) {
  mType = type;
  int32_t kind = type == kQXPresetManagerFavorites ? kQXProductSupportFavorites
                 : type == kQXPresetManagerFactory ? kQXProductSupportFactoryPresets
                                                   : kQXProductSupportPresets;
  CFURLRef found = nullptr;
  if (QXProductGetSupportURLCopy(product, type == kQXPresetManagerUser, kind, nullptr, false, &found) != 0) {
    logText(CFSTR("QXPresetManager::initialize QXProductGetSupportURLCopy failed."));
    return;
  }
  CFRef<CFURLRef> url = adopt(found);
  std::string path;
  if (qxfiles::PathFromURL(url.get(), path) != 0) {
    logText(CFSTR("QXPresetManager::initialize QXProductGetSupportURLCopy failed."));
    return;
  }
  CFRef<CFStringRef> module = adopt(qxfiles::CreateString(qxfiles::ParentPath(path)));
  CFRef<CFStringRef> folder = adopt(qxfiles::CreateString(qxfiles::LastComponent(path)));
  CFStringRef extension = QXProductGetPresetExt(product);
  initialize(QXString(module.get()), QXString(folder.get()), QXString(extension != nullptr ? extension : CFSTR("")));
  if (type != kQXPresetManagerFavorites) return;

  CFURLRef userFolder = nullptr;
  std::string userPath;
  if (QXProductCopyUserFolderURL(product, &userFolder) != 0 ||
      qxfiles::PathFromURL(adopt(userFolder).get(), userPath) != 0) {
    logText(CFSTR("QXPresetManager::initialize QXProductGetSupportURLCopy for User failed."));
    return;
  }
  CFRef<CFStringRef> userText = adopt(qxfiles::CreateString(userPath));
  mUserFavoritesPath = QXString(userText.get());
  if (qxfiles::MakeDirectories(qxfiles::JoinPath(userPath, "Favorites")) != 0)
    logText(CFSTR("QXPresetManager::QXPresetManager presetDir does not exist."));
  FavoritesNames& names = favoritesNames();
  std::lock_guard<std::mutex> hold(names.lock);
  names.mine = QXString(QXLocaleGetString(CFSTR("My Favorites")));
  names.shared = QXString(QXLocaleGetString(CFSTR("Orvex Favorite Looks")));
}

void QXPresetManager::initialize(const QXString& modulePath, const QXString& folderName, const QXString& extension) {
  mModuleDataPath = modulePath;
  mUseCategoryExclusionList = true;
  mFileExtension = extension;
  if (extension.indexOf(static_cast<unsigned short>('.')) < 0) {
    mFileExtension = QXString(".");
    mFileExtension += extension;
  }
  mPresetFolderName = folderName;
  if (usable() && qxfiles::MakeDirectories(folderPath(QXString(), false)) != 0)
    logText(CFSTR("QXPresetManager::QXPresetManager presetDir does not exist."));
}

QXString QXPresetManager::getModuleDataPath() const { return mModuleDataPath; }
QXString QXPresetManager::getPresetFolderName() const { return mPresetFolderName; }
QXString QXPresetManager::getFileExtension() const { return mFileExtension; }
QXPresetManagerType QXPresetManager::getType() const { return mType; }
bool QXPresetManager::useCategoryExclusionList() const { return mUseCategoryExclusionList; }
void QXPresetManager::setUseCategoryExclusionList(bool use) { mUseCategoryExclusionList = use; }

QXString QXPresetManager::favoritesCategoryName() {
  FavoritesNames& names = favoritesNames();
  std::lock_guard<std::mutex> hold(names.lock);
  return names.mine;
}
QXString QXPresetManager::sharedFavoritesCategoryName() {
  FavoritesNames& names = favoritesNames();
  std::lock_guard<std::mutex> hold(names.lock);
  return names.shared;
}

// An absolute module path and a folder name that is one name: anything else would put the preset
// folder wherever the process happens to stand, or make it the module folder itself.
bool QXPresetManager::usable() const {
  std::string module = utf8(mModuleDataPath);
  return !module.empty() && module[0] == '/' && isOneName(utf8(mPresetFolderName), 0);
}

bool QXPresetManager::validName(const QXString& name, bool preset) const {
  return usable() && isOneName(utf8(name), preset ? utf8(mFileExtension).size() : 0);
}

// M/F, M/F/C, or with the favourites rule M/F or U/Favorites. An empty category names M/F.
std::string QXPresetManager::folderPath(const QXString& category, bool favoritesRule) const {
  std::string folder = qxfiles::JoinPath(utf8(mModuleDataPath), utf8(mPresetFolderName));
  if (favoritesRule && mType == kQXPresetManagerFavorites) {
    if (category.indexOf("Orvex") >= 0) return folder;
    return qxfiles::JoinPath(utf8(mUserFavoritesPath), "Favorites");
  }
  return category.isEmpty() ? folder : qxfiles::JoinPath(folder, utf8(category));
}

std::string QXPresetManager::presetPath(const QXString& category, const QXString& name, bool favoritesRule) const {
  return qxfiles::JoinPath(folderPath(category, favoritesRule), utf8(name) + utf8(mFileExtension));
}

// A file is a preset when its name is a preset name followed by the extension; the name is what
// comes before it.
std::deque<QXString> QXPresetManager::presetNamesFromFileNames(const std::vector<std::string>& fileNames) const {
  std::deque<QXString> names;
  const std::string extension = utf8(mFileExtension);
  for (const std::string& file : fileNames) {
    if (file.size() <= extension.size() || file.compare(file.size() - extension.size(), extension.size(), extension))
      continue;
    std::string name = file.substr(0, file.size() - extension.size());
    if (!isOneName(name, extension.size())) continue;
    CFRef<CFStringRef> text = adopt(qxfiles::CreateString(name));
    if (text) names.emplace_back(text.get());
  }
  return names;
}

std::deque<QXString> QXPresetManager::getCategories() {
  std::deque<QXString> categories;
  if (!usable()) return categories;
  if (mType == kQXPresetManagerFavorites) {
    categories.push_back(favoritesCategoryName());
    std::vector<std::string> files;
    if (qxpresets::ListFolder(folderPath(QXString(), false), qxpresets::kListFiles, files) == 0 && !files.empty())
      categories.push_back(sharedFavoritesCategoryName());
    return categories;
  }
  const std::string folder = folderPath(QXString(), false);
  std::vector<std::string> names;
  qxpresets::ListFolder(folder, qxpresets::kListFolders, names);
  const std::string marker = qxfiles::UTF8(kExclusionFile);
  for (const std::string& name : names) {
    if (mUseCategoryExclusionList && isRegularFile(folder + "/" + name + "/" + marker)) continue;
    CFRef<CFStringRef> text = adopt(qxfiles::CreateString(name));
    if (text) categories.emplace_back(text.get());
  }
  return categories;
}

bool QXPresetManager::categoryExists(const QXString& category) {
  return validName(category, false) && qxfiles::IsDirectory(folderPath(category, false));
}

bool QXPresetManager::presetExists(const QXString& category, const QXString& name) {
  return validName(category, false) && validName(name, true) && isRegularFile(presetPath(category, name, false));
}

void QXPresetManager::loadFavorites() {
  std::vector<std::string> files;
  if (usable()) qxpresets::ListFolder(folderPath(QXString(), false), qxpresets::kListFiles, files);
  std::deque<QXString> names = presetNamesFromFileNames(files);
  std::stable_sort(names.begin(), names.end(), [](const QXString& a, const QXString& b) {
    return CFStringCompare(a.toCFString(), b.toCFString(), kCFCompareCaseInsensitive | kCFCompareNumerically) ==
           kCFCompareLessThan;
  });
  mFavorites = std::move(names);
}

bool QXPresetManager::checkFavorites(const QXString& name) {
  return std::any_of(mFavorites.begin(), mFavorites.end(), [&](const QXString& favorite) {
    return CFStringCompare(favorite.toCFString(), name.toCFString(), kCFCompareNonliteral) == kCFCompareEqualTo;
  });
}

// The file's dictionary, or null (logged). A missing file is quiet when the caller expects that.
CFMutableDictionaryRef QXPresetManager::createDictionary(const std::string& path, bool missingIsQuiet) const {
  CFMutableDictionaryRef dict = nullptr;
  QXStatus status = qxpresets::ReadPresetFile(path, &dict);
  if (status == 0) return dict;
  if (status == ENOENT && missingIsQuiet) return nullptr;
  if (status == kQXErrUnsupportedFormat)
    logText(CFSTR("QXPresetManager::loadDictionary presetFile did not create the dictionary from the xml."));
  else if (status == EFBIG)
    logText(CFSTR("QXPresetManager::read invalid file size."));
  else
    logText(CFSTR("QXPresetManager::read inFile not opened for reading."));
  return nullptr;
}

QXPreset* QXPresetManager::load(const std::string& path, QXPresetFactory* factory, bool missingIsQuiet) const {
  if (factory == nullptr) return nullptr;
  CFRef<CFMutableDictionaryRef> dict = adopt(createDictionary(path, missingIsQuiet));
  if (!dict) {
    if (!(missingIsQuiet && !qxfiles::Exists(path)))
      logText(CFSTR("QXPresetManager::load presetFile did not create the dictionary from the xml."));
    return nullptr;
  }
  QXPreset* preset = factory->createPreset();
  if (preset == nullptr) {
    logText(CFSTR("QXPresetManager::load Could not create effectStack."));
    return nullptr;
  }
  preset->initWithPresetData(dict.get());
  return preset;
}

bool QXPresetManager::write(const std::string& path, QXPreset* preset, bool replace) const {
  CFMutableDictionaryRef data = preset->presetData();
  if (data == nullptr) {
    logText(CFSTR("QXPresetManager::savePreset preset not created."));
    return false;
  }
  QXStatus status = qxpresets::WritePresetFile(path, data, replace);
  if (status == kQXErrUnsupportedFormat)
    logText(CFSTR("QXPresetManager::savePreset xml not created."));
  else if (status == ENOENT || status == EACCES || status == ENOTDIR || status == EROFS || status == EEXIST)
    logText(CFSTR("QXPresetManager::write inFile not opened for writing."));
  else if (status != 0)
    logText(CFSTR("QXPresetManager::write inFile did not write all the data."));
  return status == 0;
}

bool QXPresetManager::savePreset(const QXString& category, QXPreset* preset) {
  if (preset == nullptr || !validName(category, false) || !validName(preset->name(), true)) return false;
  return write(presetPath(category, preset->name(), false), preset, true);
}

QXPreset* QXPresetManager::loadPreset(const QXString& category, QXPresetFactory* factory, const QXString& name) {
  if (!validName(category, false) || !validName(name, true)) return nullptr;
  return load(presetPath(category, name, true), factory, true);
}

void QXPresetManager::releasePreset(QXPreset* preset) {
  if (preset != nullptr) preset->deletePreset();
}

// loadPreset of every name of getPresets in order; each failure is logged as `failure`.
std::deque<QXPreset*> QXPresetManager::loadListed(QXPresetFactory* factory, const QXString& category,
                                                  CFStringRef failure) {
  std::deque<QXPreset*> presets;
  for (const QXString& name : getPresets(category)) {
    if (QXPreset* preset = loadPreset(category, factory, name)) {
      presets.push_back(preset);
    } else {
      logText(failure);
    }
  }
  return presets;
}

std::deque<QXPreset*> QXPresetManager::loadCategory(QXPresetFactory* factory, const QXString& category) {
  return loadListed(factory, category, CFSTR("QXPresetManager::loadCategory failed to load preset."));
}

std::deque<QXPreset*> QXPresetManager::loadCategoryByCustomSortOrder(QXPresetFactory* factory,
                                                                     const QXString& category) {
  std::deque<QXPreset*> presets =
      loadListed(factory, category, CFSTR("QXPresetManager::loadCategoryByCustomSortOrder failed to load preset."));
  std::stable_sort(presets.begin(), presets.end(),
                   [](const QXPreset* a, const QXPreset* b) { return a->customSortOrder() < b->customSortOrder(); });
  return presets;
}

void QXPresetManager::releasePresetList(std::deque<QXPreset*>& presets) {
  for (QXPreset* preset : presets) releasePreset(preset);
  presets.clear();
}

std::deque<QXString> QXPresetManager::getPresets(const QXString& category) {
  if (!validName(category, false)) return {};
  std::vector<std::string> files;
  qxpresets::ListFolder(folderPath(category, true), qxpresets::kListFiles, files);
  return presetNamesFromFileNames(files);
}

std::deque<QXString> QXPresetManager::getPresetsByCustomSortOrder(const QXString& category) {
  std::deque<QXString> names = getPresets(category);
  std::vector<std::pair<int, size_t>> order;
  order.reserve(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    CFRef<CFMutableDictionaryRef> dict = adopt(createDictionary(presetPath(category, names[i], true), false));
    if (!dict) {
      logText(CFSTR("QXPresetManager::getPresetsByCustomSortOrder failed to create dictionary."));
      continue;
    }
    QXPresetData source(qxpresets::CommonData(dict.get()));
    order.emplace_back(source.getIntValue(QXPreset::kSortOrderKey, 0), i);
  }
  std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::deque<QXString> sorted;
  for (const auto& entry : order) sorted.push_back(names[entry.second]);
  return sorted;
}

CFURLRef QXPresetManager::copyPresetURL(const QXString& category, const QXString& name) {
  if (!validName(category, false) || !validName(name, true)) return nullptr;
  return qxfiles::CreateURLFromPath(presetPath(category, name, true), false);
}

bool QXPresetManager::renamePreset(const QXString& category, const QXString& oldName, const QXString& newName,
                                   QXPresetFactory* factory) {
  if (!validName(category, false) || !validName(oldName, true) || !validName(newName, true)) return false;
  if (oldName == newName) return presetExists(category, oldName);
  QXPreset* preset = loadPreset(category, factory, oldName);
  if (preset == nullptr) {
    logText(CFSTR("QXPresetManager::renamePreset preset not loaded."));
    return false;
  }
  preset->setName(newName);
  // Never onto an existing file: on a case-insensitive volume "look" is the file "Look" itself,
  // and saving then deleting the old name would delete the only copy.
  bool saved = write(presetPath(category, newName, false), preset, false);
  preset->deletePreset();
  if (!saved) {
    logText(CFSTR("QXPresetManager::renamePreset preset not saved."));
    return false;
  }
  return deletePreset(category, oldName);
}

bool QXPresetManager::importPreset(const QXString& path, const QXString& category, QXPresetFactory* factory) {
  if (!validName(category, false) || factory == nullptr) return false;
  const std::string source = utf8(path);
  QXPreset* preset = source.empty() ? nullptr : load(source, factory, false);
  if (preset == nullptr) {
    logText(CFSTR("QXPresetManager::importPreset preset not saved."));
    return false;
  }
  preset->initializePresetData();

  // The stored name is the file name to be: made legal, and never one that is taken.
  std::string name = utf8(preset->name());
  if (name.empty()) {
    name = qxfiles::LastComponent(source);
    if (size_t dot = name.rfind('.'); dot != std::string::npos && dot > 0) name.erase(dot);
  }
  CFRef<CFStringRef> text = adopt(qxfiles::CreateString(name));
  CFRef<CFStringRef> legal = adopt(text ? CBaseCoreFile::CreateLegalFileName(text.get()) : nullptr);
  name = legal ? qxfiles::UTF8(legal.get()) : std::string();
  name.erase(0, name.find_first_not_of(". "));
  const std::string extension = utf8(mFileExtension);
  // Room for the extension and a " 99" of the unique name, cut at a character boundary.
  if (name.size() + extension.size() + 8 > NAME_MAX) {
    size_t keep = NAME_MAX - extension.size() - 8;
    while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
    name.resize(keep);
  }
  if (name.empty()) name = "Preset";

  const std::string folder = folderPath(category, false);
  bool saved = false;
  // Another writer may take a free name between the look and the write: then look again.
  for (int attempt = 0; attempt < 8 && !saved; ++attempt) {
    std::string unique;
    if (!qxfiles::UniqueName(folder, name + extension, true, nullptr, {}, unique)) break;
    CFRef<CFStringRef> chosen = adopt(qxfiles::CreateString(unique.substr(0, unique.size() - extension.size())));
    if (!chosen) break;
    preset->setName(QXString(chosen.get()));
    QXStatus status = qxpresets::WritePresetFile(qxfiles::JoinPath(folder, unique), preset->presetData(), false);
    saved = status == 0;
    if (status != 0 && status != EEXIST) break;
  }
  preset->deletePreset();
  if (!saved) logText(CFSTR("QXPresetManager::importPreset preset not saved."));
  return saved;
}

bool QXPresetManager::movePreset(const QXString& fromCategory, const QXString& toCategory, const QXString& name) {
  if (!validName(fromCategory, false) || !validName(toCategory, false) || !validName(name, true)) return false;
  return qxfiles::MoveItem(presetPath(fromCategory, name, false), presetPath(toCategory, name, false), false) == 0;
}

bool QXPresetManager::copyPreset(const QXString& fromCategory, const QXString& toCategory, const QXString& name) {
  if (!validName(fromCategory, false) || !validName(toCategory, false) || !validName(name, true)) return false;
  return qxfiles::CopyFile(presetPath(fromCategory, name, false), presetPath(toCategory, name, false)) == 0;
}

bool QXPresetManager::deletePreset(const QXString& category, const QXString& name) {
  if (!validName(category, false) || !validName(name, true)) return false;
  const std::string path = presetPath(category, name, false);
  if (::unlink(path.c_str()) == 0) return true;
  return errno == ENOENT;
}

bool QXPresetManager::addCategory(const QXString& category) {
  return validName(category, false) && qxfiles::MakeDirectories(folderPath(category, false)) == 0;
}

bool QXPresetManager::renameCategory(const QXString& oldName, const QXString& newName) {
  if (!validName(oldName, false) || !validName(newName, false)) return false;
  return qxfiles::RenameNoReplace(folderPath(oldName, false), folderPath(newName, false)) == 0;
}

bool QXPresetManager::deleteCategory(const QXString& category) {
  return validName(category, false) && qxfiles::RemoveTree(folderPath(category, false)) == 0;
}

void QXPresetManager::launchFileBrowser() {
  if (!usable()) return;
  CFRef<CFURLRef> url = adopt(qxfiles::CreateURLFromPath(folderPath(QXString(), false), true));
  if (url) QXUtilsLaunchFileBrowserAtLocation(url.get());
}
