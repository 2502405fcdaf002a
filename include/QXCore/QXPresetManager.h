/*
 * QXPresetManager.h — presets as files: one manager per preset folder (the user's presets, the
 * shared presets, the favourites or the factory presets of an application), categories as
 * sub-folders, and every operation on preset files.
 *
 * Layout, with M the module data path, F the preset folder name, C a category, N a preset name and
 * E the extension: the preset folder is M/F, a category the folder M/F/C and a preset the file
 * M/F/C/N followed by E, the XML property list of the preset's presetData(). A category folder
 * that holds a file named "__exclude" is hidden from getCategories while the exclusion list is in
 * use. Favourites managers map their two categories to two folders: a category whose name holds
 * "Orvex" is M/F itself, any other is U/Favorites in the user's own folder U (the favourites rule;
 * the operations below say where it applies).
 *
 * Names are untrusted: every category and preset name must be one file name — not empty, no "/"
 * or NUL, not starting with ".", at most 255 bytes of UTF-8 together with the extension. An
 * operation given another name does nothing and fails (false, null or an empty list), and so does
 * every operation of a manager without an absolute module path and a valid folder name.
 *
 * Files: a preset file is read only when it is a regular file of at most 16 MiB (nothing else is
 * waited on); files are written whole (a temporary file beside the target, synced, renamed into
 * place), so a reader sees the old preset or the new one. Nothing is replaced unless the operation
 * says so. Failures are logged through QXLog with the texts the family's tools look for.
 *
 * Threads: a manager takes no lock; use one from one thread at a time. Managers on the same folders
 * in different threads or processes see whole files only. The favourites category names are
 * process-wide and read and replaced under a lock.
 *
 * Ownership: presets come from the caller's QXPresetFactory and go back through releasePreset or
 * releasePresetList (which call deletePreset()); copyPresetURL returns a URL the caller releases.
 */
#ifndef QXCORE_QXPRESETMANAGER_H
#define QXCORE_QXPRESETMANAGER_H

#include <QXCore/QXDir.h>
#include <QXCore/QXPresets.h>
#include <QXCore/QXProduct.h>

#if defined(__cplusplus)
#include <deque>

typedef int32_t QXPresetManagerType;
enum {
  kQXPresetManagerNone = -1,     /* not initialised from a product */
  kQXPresetManagerUser = 0,      /* the user's own presets: support folder 3 in the user's data */
  kQXPresetManagerShared = 1,    /* presets of all users: support folder 3 in the shared data */
  kQXPresetManagerFavorites = 2, /* favourites: support folder 15 (shared) and U/Favorites */
  kQXPresetManagerFactory = 3    /* factory presets: support folder 10 (shared) */
};

class QX_EXPORT QXPresetManager {
 public:
  /* "__exclude" */
  static const CFStringRef kExclusionFile;

  /* Type -1, no folders: every operation fails until initialize. */
  QXPresetManager();
  /* initialize(product, user ? kQXPresetManagerUser : kQXPresetManagerShared) */
  QXPresetManager(QXProductRef product, bool user);
  QXPresetManager(QXProductRef product, QXPresetManagerType type);
  QXPresetManager(const QXString& modulePath, const QXString& folderName, const QXString& extension);
  QXPresetManager(const QXPresetManager& other);
  QXPresetManager& operator=(const QXPresetManager& other);
  virtual ~QXPresetManager();

  void initialize(QXProductRef product, bool user);
  /* The folders from the product catalogue: M/F is the support folder of the type (see the enum),
     E the product's preset extension. A favourites manager also finds U (the product's user
     folder, QXProductCopyUserFolderURL), creates U/Favorites and sets the two favourites category
     names to their localised texts (QXLocaleGetString). A failed lookup is logged and leaves the
     folders as they were. */
  void initialize(QXProductRef product, QXPresetManagerType type);
  /* M, F and E as given (E gets a leading "." when it holds none); the exclusion list is in use
     again. M/F is created when missing (a failure is logged; the manager stays usable). */
  void initialize(const QXString& modulePath, const QXString& folderName, const QXString& extension);

  QXString getModuleDataPath() const;
  QXString getPresetFolderName() const;
  QXString getFileExtension() const;
  QXPresetManagerType getType() const;
  bool useCategoryExclusionList() const;
  void setUseCategoryExclusionList(bool use);

  /* The category folders of M/F in the file system's order, excluded ones left out while the
     exclusion list is in use. A favourites manager lists favoritesCategoryName() and, when M/F
     holds a file, sharedFavoritesCategoryName(). Unreadable: empty. */
  std::deque<QXString> getCategories();
  bool categoryExists(const QXString& category);
  /* The regular file M/F/C/N+E exists (no favourites rule). */
  bool presetExists(const QXString& category, const QXString& name);
  /* The favourites become the preset names of the files directly in M/F, sorted by name. */
  void loadFavorites();
  /* Whether the name is among the favourites of the last loadFavorites (compared non-literally). */
  bool checkFavorites(const QXString& name);
  /* The two process-wide favourites category names: "My Favorites" and "Orvex Favorite Looks"
     until a favourites manager is initialised, their localised texts from then on. */
  static QXString favoritesCategoryName();
  static QXString sharedFavoritesCategoryName();

  /* Writes the preset's presetData() as M/F/C/N+E with N its name(), replacing an earlier file of
     that name. The category folder is not created. */
  bool savePreset(const QXString& category, QXPreset* preset);
  /* A new preset from the factory initialised from the file (favourites rule), or null when the
     file is missing or is not a property list holding a dictionary. */
  QXPreset* loadPreset(const QXString& category, QXPresetFactory* factory, const QXString& name);
  /* preset->deletePreset(); nothing for null. */
  void releasePreset(QXPreset* preset);
  /* loadPreset of every name of getPresets, in that order; presets that fail are logged and left
     out. */
  std::deque<QXPreset*> loadCategory(QXPresetFactory* factory, const QXString& category);
  /* loadCategory ordered by each preset's customSortOrder(), ties in listing order. */
  std::deque<QXPreset*> loadCategoryByCustomSortOrder(QXPresetFactory* factory, const QXString& category);
  /* Deletes every preset of the list and empties it. */
  void releasePresetList(std::deque<QXPreset*>& presets);
  /* The names of the category's preset files (favourites rule): files whose names end with E,
     without it, in the file system's order. */
  std::deque<QXString> getPresets(const QXString& category);
  /* getPresets ordered by the "sortOrder" each file holds where QXPreset::initWithPresetData reads
     it ("presetCommonData", else the root; 0 when absent), ties in listing order. Files that
     cannot be read are logged and left out. */
  std::deque<QXString> getPresetsByCustomSortOrder(const QXString& category);
  /* The file URL of the preset (favourites rule), whether or not it exists; null for bad names. */
  CFURLRef copyPresetURL(const QXString& category, const QXString& name);
  /* Loads the preset, stores newName as its name and saves it as newName's file, then deletes the
     old file. Refused when newName's file exists (also when it is the same file under another
     case on a case-insensitive volume); renaming to the same name changes nothing and succeeds
     when the preset exists. A failed save keeps the old file. */
  bool renamePreset(const QXString& category, const QXString& oldName, const QXString& newName,
                    QXPresetFactory* factory);
  /* Reads the preset file at path (a regular file of at most 16 MiB), initialises a new preset
     from it, calls its initializePresetData() and saves it in the category under its stored name
     made into a legal file name (the source file's name when it stores none); when that name is
     taken, the first free of "Name 1", "Name 2"…, which the saved preset then holds. The source
     file stays. */
  bool importPreset(const QXString& path, const QXString& category, QXPresetFactory* factory);
  /* Moves the file to the other category; never replaces (false when the target exists). */
  bool movePreset(const QXString& fromCategory, const QXString& toCategory, const QXString& name);
  /* Copies the file to the other category, replacing an existing copy there as a whole. */
  bool copyPreset(const QXString& fromCategory, const QXString& toCategory, const QXString& name);
  /* Deletes the preset file; true when it is gone (also when it never existed). */
  bool deletePreset(const QXString& category, const QXString& name);
  /* Creates M/F/C (and M/F when missing); true also when it exists. */
  bool addCategory(const QXString& category);
  /* Renames the category folder; never replaces (false when newName exists). */
  bool renameCategory(const QXString& oldName, const QXString& newName);
  /* Removes the category folder with everything in it, never following a symbolic link: a link
     inside, or the category itself being a link, is removed as a link. */
  bool deleteCategory(const QXString& category);
  /* Opens the platform's file browser at M/F. */
  void launchFileBrowser();

 private:
  bool usable() const;
  bool validName(const QXString& name, bool preset) const;
  std::string folderPath(const QXString& category, bool favoritesRule) const;
  std::string presetPath(const QXString& category, const QXString& name, bool favoritesRule) const;
  std::deque<QXString> presetNamesFromFileNames(const std::vector<std::string>& fileNames) const;
  CFMutableDictionaryRef createDictionary(const std::string& path, bool missingIsQuiet) const;
  QXPreset* load(const std::string& path, QXPresetFactory* factory, bool missingIsQuiet) const;
  std::deque<QXPreset*> loadListed(QXPresetFactory* factory, const QXString& category, CFStringRef failure);
  bool write(const std::string& path, QXPreset* preset, bool replace) const;

  QXPresetManagerType mType;
  QXString mModuleDataPath;
  QXString mUserFavoritesPath;
  QXString mPresetFolderName;
  QXString mFileExtension;
  std::deque<QXString> mFavorites;
  bool mUseCategoryExclusionList;
};

#endif /* __cplusplus */

#endif /* QXCORE_QXPRESETMANAGER_H */
