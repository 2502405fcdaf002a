// The preset manager on real folders under a private home: folders from the product catalogue,
// categories and favourites, every preset operation and its refusals, hostile names that must
// leave the whole tree untouched, threads, and preset folders shared with Python's plistlib.
#include <QXCore/QXLocale.h>
#include <QXCore/QXPresetManager.h>
#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "presets/PresetFile.h"
#include "tests/files/FileTestSupport.h"
#include "tests/log/LogCapture.h"
#include "tests/net/StreamTestSupport.h"
#include "tests/presets/PresetTestSupport.h"

namespace {

using namespace filetest;

using presettest::Text;
using presettest::Texts;

struct CurveFactory : QXPresetFactory {
  QXPreset* createPreset() override { return new QXBezierCurve(0, 256, 8); }
};

// Writes a preset file as the library does, with the given name and sort order.
void Save(const fs::path& path, const char* name, int sortOrder) {
  QXPreset p;
  p.setName(name);
  p.setCustomSortOrder(sortOrder);
  fs::create_directories(path.parent_path());
  ASSERT_EQ(qxpresets::WritePresetFile(path.string(), p.presetData()), 0);
}

// Every entry below root with its kind, size and contents: what "nothing changed" is checked on.
std::map<std::string, std::string> Tree(const fs::path& root) {
  std::map<std::string, std::string> tree;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const fs::path& p = it->path();
    tree[p.string()] = fs::is_symlink(p)     ? "link " + fs::read_symlink(p).string()
                       : fs::is_directory(p) ? "dir"
                                             : Read(p);
  }
  return tree;
}

class PresetManagerTest : public ::testing::Test {
 protected:
  qxtest::TempHome home;
  fs::path module = home.root() / "module";
  fs::path presets = module / "Presets";
  QXPresetManager manager{module.c_str(), "Presets", "ext"};
  CurveFactory factory;
};

TEST_F(PresetManagerTest, FoldersFromTheProductCatalogue) {
  QXProductInfo info{CFSTR("com.orvex.presetlab"),
                     CFSTR("Preset Lab"),
                     nullptr,
                     CFSTR("PresetLab"),
                     CFSTR("1"),
                     CFSTR("qxp"),
                     nullptr,
                     nullptr,
                     0,
                     false};
  QXProductRef product = nullptr;
  ASSERT_EQ(QXProductRegister(&info, &product), 0);
  QXLocaleSetString(CFSTR("My Favorites"), CFSTR("Meine Favoriten"));
  struct Case {
    QXPresetManagerType type;
    bool user;
    int32_t kind;
  } cases[] = {{kQXPresetManagerUser, true, kQXProductSupportPresets},
               {kQXPresetManagerShared, false, kQXProductSupportPresets},
               {kQXPresetManagerFavorites, false, kQXProductSupportFavorites},
               {kQXPresetManagerFactory, false, kQXProductSupportFactoryPresets}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    QXPresetManager m(product, c.type);
    CFURLRef support = nullptr;
    ASSERT_EQ(QXProductGetSupportURLCopy(product, c.user, c.kind, nullptr, false, &support), 0);
    std::string expected = Own(support);
    EXPECT_EQ(Text(m.getModuleDataPath()) + "/" + Text(m.getPresetFolderName()), expected);
    EXPECT_EQ(Text(m.getFileExtension()), ".qxp");
    EXPECT_TRUE(fs::is_directory(expected));
  }
  EXPECT_EQ(Text(QXPresetManager::favoritesCategoryName()), "Meine Favoriten");
  EXPECT_EQ(Text(QXPresetManager::sharedFavoritesCategoryName()), "Orvex Favorite Looks");

  // Favourites: "Orvex" categories are the shared folder, any other the user's Favorites folder.
  QXPresetManager favorites(product, kQXPresetManagerFavorites);
  fs::path shared = Text(favorites.getModuleDataPath()) + "/" + Text(favorites.getPresetFolderName());
  CFURLRef user = nullptr;
  ASSERT_EQ(QXProductCopyUserFolderURL(product, &user), 0);
  fs::path mine = fs::path(Own(user)) / "Favorites";
  EXPECT_TRUE(fs::is_directory(mine));
  EXPECT_EQ(Texts(favorites.getCategories()), (std::vector<std::string>{"Meine Favoriten"}));
  Save(shared / "Look.qxp", "Look", 0);
  Save(mine / "Own.qxp", "Own", 0);
  EXPECT_EQ(Texts(favorites.getCategories()), (std::vector<std::string>{"Meine Favoriten", "Orvex Favorite Looks"}));
  EXPECT_EQ(Texts(favorites.getPresets("Orvex Favorite Looks")), (std::vector<std::string>{"Look"}));
  EXPECT_EQ(Texts(favorites.getPresets("Meine Favoriten")), (std::vector<std::string>{"Own"}));
  EXPECT_EQ(Own(favorites.copyPresetURL("Meine Favoriten", "Own")), (mine / "Own.qxp").string());
  QXPreset* own = favorites.loadPreset("Any", &factory, "Own");
  ASSERT_NE(own, nullptr);
  favorites.releasePreset(own);
  favorites.loadFavorites();
  EXPECT_TRUE(favorites.checkFavorites("Look"));
  EXPECT_FALSE(favorites.checkFavorites("Own"));
}

TEST_F(PresetManagerTest, CategoriesExclusionAndFavorites) {
  EXPECT_TRUE(fs::is_directory(presets));
  EXPECT_EQ(Text(QXPresetManager(module.c_str(), "P", "a.b").getFileExtension()), "a.b");
  for (const char* c : {"A", "B", "C"}) EXPECT_TRUE(manager.addCategory(c));
  Write(presets / "B" / "__exclude", "");
  Write(presets / "C" / "__Exclude", "");
  fs::create_directories(presets / "D" / "__exclude");  // a folder is no marker
  auto sorted = [](std::deque<QXString> list) {
    std::vector<std::string> v = Texts(list);
    std::sort(v.begin(), v.end());
    return v;
  };
  EXPECT_EQ(sorted(manager.getCategories()), (std::vector<std::string>{"A", "C", "D"}));
  manager.setUseCategoryExclusionList(false);
  EXPECT_EQ(sorted(manager.getCategories()), (std::vector<std::string>{"A", "B", "C", "D"}));
  EXPECT_TRUE(manager.categoryExists("B"));

  EXPECT_FALSE(manager.checkFavorites("x"));
  for (const char* f : {"x10.ext", "x9.ext", "Y.ext", "z.EXT", ".h.ext"}) Write(presets / f, "");
  manager.loadFavorites();
  EXPECT_TRUE(manager.checkFavorites("x9") && manager.checkFavorites("Y"));
  EXPECT_FALSE(manager.checkFavorites("z"));
}

TEST_F(PresetManagerTest, PresetOperations) {
  ASSERT_TRUE(manager.addCategory("C"));
  ASSERT_TRUE(manager.addCategory("D"));
  QXBezierCurve curve(5, 256, 8);
  curve.setControlPoints({{0.0f, 0.1f}, {1.0f, 0.9f}});
  curve.calculateCurve();
  curve.setName("Warm");
  curve.setAuthor("Ann");
  EXPECT_TRUE(manager.savePreset("C", &curve));
  EXPECT_FALSE(manager.savePreset("Missing", &curve)) << "the category folder is not created";
  auto* loaded = static_cast<QXBezierCurve*>(manager.loadPreset("C", &factory, "Warm"));
  ASSERT_NE(loaded, nullptr);
  EXPECT_TRUE(*loaded == curve && Text(loaded->author()) == "Ann");
  manager.releasePreset(loaded);
  EXPECT_EQ(manager.loadPreset("C", &factory, "Missing"), nullptr);

  // Only files ending with the extension are presets; names come from the file names.
  for (const char* f : {"y.EXT", "z.txt", "w", "ext", "a.b.ext"}) Write(presets / "C" / f, "");
  Save(presets / "C" / "s2.ext", "Stored name", 2);
  Save(presets / "C" / "s1.ext", "s1", 1);
  std::deque<QXString> names = manager.getPresets("C");
  std::vector<std::string> sortedNames = Texts(names);
  std::sort(sortedNames.begin(), sortedNames.end());
  EXPECT_EQ(sortedNames, (std::vector<std::string>{"Warm", "a.b", "s1", "s2"}));
  // Sort order 0 for Warm, none for the empty a.b (unreadable: left out), ties in listing order.
  EXPECT_EQ(Texts(manager.getPresetsByCustomSortOrder("C")), (std::vector<std::string>{"Warm", "s1", "s2"}));
  qxtest::LogCapture log;
  std::deque<QXPreset*> list = manager.loadCategoryByCustomSortOrder(&factory, "C");
  EXPECT_EQ(list.size(), 3u);
  EXPECT_EQ(Text(list.back()->name()), "Stored name");
  EXPECT_TRUE(log.contains("QXPresetManager::loadDictionary presetFile did not create the dictionary from the xml."));
  EXPECT_TRUE(log.contains("QXPresetManager::loadCategoryByCustomSortOrder failed to load preset."));
  manager.releasePresetList(list);
  EXPECT_TRUE(list.empty());
  // Only regular files of at most 16 MiB are read; a FIFO is never waited on.
  ASSERT_EQ(::mkfifo((presets / "C" / "fifo.ext").c_str(), 0600), 0);
  fs::resize_file(presets / "C" / "s1.ext", (16 << 20) + 1);
  EXPECT_EQ(manager.loadPreset("C", &factory, "fifo"), nullptr);
  EXPECT_EQ(manager.loadPreset("C", &factory, "s1"), nullptr);
  EXPECT_TRUE(log.contains("QXPresetManager::read invalid file size."));
  Save(presets / "C" / "s1.ext", "s1", 1);
  fs::remove(presets / "C" / "fifo.ext");

  // Nothing is silently replaced.
  Save(presets / "D" / "Warm.ext", "Warm", 7);
  EXPECT_FALSE(manager.movePreset("C", "D", "Warm"));
  EXPECT_FALSE(manager.renamePreset("C", "s1", "Warm", &factory));
  EXPECT_FALSE(manager.renameCategory("C", "D"));
  EXPECT_TRUE(manager.presetExists("C", "s1") && manager.presetExists("C", "Warm"));
  EXPECT_TRUE(manager.renamePreset("C", "s1", "s1", &factory));
  EXPECT_TRUE(manager.renamePreset("C", "s1", "Cool", &factory));
  EXPECT_FALSE(manager.presetExists("C", "s1"));
  QXPreset* cool = manager.loadPreset("C", &factory, "Cool");
  ASSERT_NE(cool, nullptr);
  EXPECT_EQ(Text(cool->name()), "Cool");
  manager.releasePreset(cool);
  EXPECT_TRUE(manager.copyPreset("C", "D", "Warm"));  // copying replaces, as a whole
  EXPECT_EQ(Read(presets / "C" / "Warm.ext"), Read(presets / "D" / "Warm.ext"));
  EXPECT_TRUE(manager.movePreset("C", "D", "Cool"));
  EXPECT_FALSE(manager.movePreset("C", "D", "Cool"));
  EXPECT_TRUE(manager.deletePreset("C", "Warm"));
  EXPECT_TRUE(manager.deletePreset("C", "Warm"));

  // Imports keep the stored name made legal, and never take a name that is in use.
  Save(home.root() / "in.plist", "../Warm", 0);
  Write(home.root() / "array.plist", "<plist><array/></plist>");
  EXPECT_TRUE(manager.importPreset((home.root() / "in.plist").c_str(), "D", &factory));
  EXPECT_TRUE(manager.importPreset((home.root() / "in.plist").c_str(), "D", &factory));
  EXPECT_FALSE(manager.importPreset((home.root() / "array.plist").c_str(), "D", &factory));
  EXPECT_EQ(Names(presets / "D"), (std::vector<std::string>{"Cool.ext", "Warm 1.ext", "Warm 2.ext", "Warm.ext"}));
  QXPreset* imported = manager.loadPreset("D", &factory, "Warm 2");
  ASSERT_NE(imported, nullptr);
  EXPECT_EQ(Text(imported->name()), "Warm 2");
  manager.releasePreset(imported);

  // Deleting a category never follows a link out of it.
  Write(home.root() / "outside" / "keep.ext", "keep");
  fs::create_directory_symlink(home.root() / "outside", presets / "D" / "link");
  fs::create_directory_symlink(home.root() / "outside", presets / "Linked");
  EXPECT_TRUE(manager.deleteCategory("D"));
  EXPECT_TRUE(manager.deleteCategory("Linked"));
  EXPECT_EQ(Read(home.root() / "outside" / "keep.ext"), "keep");
  EXPECT_EQ(Names(presets), (std::vector<std::string>{"C"}));
}

TEST_F(PresetManagerTest, HostileNamesTouchNothing) {
  ASSERT_TRUE(manager.addCategory("C"));
  Save(presets / "C" / "p.ext", "p", 0);
  Save(home.root() / "x.ext", "x", 0);
  const unsigned short nul[] = {'a', 0, 'b'};
  const std::vector<QXString> bad = {"",
                                     ".",
                                     "..",
                                     "../x",
                                     "a/b",
                                     ".hidden",
                                     "../../module",
                                     QXString(nul, 3),
                                     QXString(std::string(256, 'n').c_str())};
  QXPresetManager unusable[] = {QXPresetManager("", "Presets", "ext"), QXPresetManager(module.c_str(), "", "ext"),
                                QXPresetManager("relative", "Presets", "ext"),
                                QXPresetManager(module.c_str(), "..", "ext")};
  const auto before = Tree(home.root());
  QXPreset named;
  for (const QXString& b : bad) {
    SCOPED_TRACE(Text(b));
    named.setName(b);
    EXPECT_FALSE(manager.savePreset("C", &named) || manager.savePreset(b, &named));
    EXPECT_FALSE(manager.deleteCategory(b) || manager.addCategory(b) || manager.categoryExists(b));
    EXPECT_FALSE(manager.renameCategory("C", b) || manager.renameCategory(b, "E"));
    EXPECT_FALSE(manager.deletePreset("C", b) || manager.deletePreset(b, "p"));
    EXPECT_FALSE(manager.movePreset("C", b, "p") || manager.copyPreset("C", b, "p") || manager.movePreset(b, "C", "x"));
    EXPECT_FALSE(manager.renamePreset("C", "p", b, &factory) || manager.importPreset(b, "C", &factory));
    EXPECT_EQ(manager.loadPreset(b, &factory, "p"), nullptr);
    EXPECT_EQ(manager.copyPresetURL("C", b), nullptr);
    EXPECT_TRUE(manager.getPresets(b).empty());
  }
  named.setName("p");
  for (QXPresetManager& m : unusable) {
    EXPECT_FALSE(m.addCategory("C") || m.deleteCategory("C") || m.savePreset("C", &named) || m.deletePreset("C", "p"));
    EXPECT_TRUE(m.getCategories().empty());
  }
  EXPECT_EQ(Tree(home.root()), before);
}

// Two managers on one category in two threads: a reader always finds a whole preset.
TEST_F(PresetManagerTest, SaveAndLoadInTwoThreads) {
  ASSERT_TRUE(manager.addCategory("C"));
  QXPreset first;
  first.setName("Shared");
  ASSERT_TRUE(manager.savePreset("C", &first));
  std::atomic<int> failures{0};
  std::thread writer([&] {
    QXPresetManager other(module.c_str(), "Presets", "ext");
    QXBezierCurve c(0, 256, 8);
    c.setName("Shared");
    for (int i = 1; i <= 200; ++i) {
      c.setCustomSortOrder(i);
      if (!other.savePreset("C", &c)) failures++;
    }
  });
  for (int i = 0; i < 200; ++i) {
    QXPreset* p = manager.loadPreset("C", &factory, "Shared");
    if (p == nullptr) failures++;
    manager.releasePreset(p);
  }
  writer.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(Texts(manager.getPresetsByCustomSortOrder("C")), (std::vector<std::string>{"Shared"}));
}

// A preset folder written by Python is read here, and what is written here Python reads.
TEST_F(PresetManagerTest, PresetFoldersSharedWithPlistlib) {
  if (!streamtest::Installed("python3")) GTEST_SKIP() << "python3 is not installed";
  ASSERT_TRUE(manager.addCategory("Py"));
  std::string folder = (presets / "Py").string();
  auto [out, code] = streamtest::Command(
      "python3 -c 'import plistlib,sys\n"
      "for i,o in enumerate([3,1,2]):\n"
      "  d={\"presetName\":\"py%d\"%i,\"sortOrder\":o} if i else "
      "{\"presetCommonData\":{\"presetName\":\"py0\",\"sortOrder\":o}}\n"
      "  plistlib.dump(d,open(sys.argv[1]+\"/py%d.ext\"%i,\"wb\"))' " +
      folder);
  ASSERT_EQ(code, 0) << out;
  EXPECT_EQ(Texts(manager.getPresetsByCustomSortOrder("Py")), (std::vector<std::string>{"py1", "py2", "py0"}));
  std::deque<QXPreset*> list = manager.loadCategoryByCustomSortOrder(&factory, "Py");
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(Text(list.front()->name()), "py1");
  list.front()->setName("from library <&>");
  ASSERT_TRUE(manager.savePreset("Py", list.front()));
  manager.releasePresetList(list);
  auto [read, status] = streamtest::Command(
      "python3 -c 'import plistlib,sys; d=plistlib.load(open(sys.argv[1],\"rb\")); "
      "print(d[\"presetName\"], d[\"sortOrder\"], d[\"controlPointCount\"])' '" +
      folder + "/from library <&>.ext'");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(read, "from library <&> 1 0\n");
}

}  // namespace
