// The product catalogue: lookup and registration, the support folders of every kind, the
// user/global folder mode and the file names derived from a product.
#include <QXCore/QXLocale.h>
#include <QXCore/QXProduct.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <thread>

#include "files/LocaleTesting.h"
#include "files/ProductTesting.h"
#include "tests/files/FileTestSupport.h"

using namespace filetest;
using qxcf::adopt;

// Allocation failure on demand: while set, every C++ allocation of this thread throws (or, for
// the nothrow forms, fails), as it would when memory runs out. Replaces the global operators for
// this test program, the library included.
thread_local bool gFailAllocations = false;

// These operators are the malloc/free pair the warning cannot see through once inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  if (gFailAllocations) throw std::bad_alloc();
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return gFailAllocations ? nullptr : std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return ::operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

// The support folder's path, or "status N" on failure (then the URL must be null).
std::string support(QXProductRef product, bool user, int32_t kind, CFStringRef name = nullptr, bool create = false) {
  CFURLRef url = reinterpret_cast<CFURLRef>(1);
  int32_t status = QXProductGetSupportURLCopy(product, user, kind, name, create, &url);
  CFRef<CFURLRef> owned = adopt(status == 0 ? url : nullptr);
  if (status != 0) return url == nullptr ? "status " + std::to_string(status) : "status with a URL";
  return PathOf(owned.get());
}

std::string userFolder(QXProductRef product) {
  CFURLRef url = nullptr;
  int32_t status = QXProductCopyUserFolderURL(product, &url);
  CFRef<CFURLRef> owned = adopt(url);
  return status == 0 ? PathOf(owned.get()) : "status " + std::to_string(status);
}

QXProductInfo info(CFStringRef identifier, CFStringRef name, CFStringRef folder, CFStringRef ext = nullptr) {
  return {identifier, name, nullptr, folder, nullptr, ext, nullptr, nullptr, 0, false};
}

QXProductRef studio() { return QXProductGetWithIdentifier(CFSTR("com.orvex.studio")); }
QXProductRef frames() { return QXProductGetWithIdentifier(CFSTR("com.orvex.frames")); }

class Product : public ::testing::Test {
 protected:
  void SetUp() override {
    qx::testing::ResetProductCatalogue();
    qx::testing::ResetLocaleState();
    QXLocaleSetDefaultLanguageCode(kQXLocaleLanguageCodeEN);
    user = (home.root() / ".local/share/Orvex Software").string();
    shared = (home.root() / "shared/Orvex Software").string();
  }
  void TearDown() override {
    qx::testing::ResetProductCatalogue();
    qx::testing::ResetLocaleState();
  }
  qxtest::TempHome home;
  std::string user, shared;
};

}  // namespace

TEST_F(Product, LookupAndRegistration) {
  ASSERT_NE(nullptr, studio());
  EXPECT_EQ("ovpreset", Str(QXProductGetPresetExt(studio())));
  EXPECT_NE(QXProductGetPort(studio()), QXProductGetPort(frames()));
  EXPECT_EQ(nullptr, QXProductGetWithIdentifier(CFSTR("com.orvex.nothing")));

  // Strings are copied; unset display and service names fall back to the name.
  CFRef<CFMutableStringRef> name = adopt(CFStringCreateMutable(nullptr, 0));
  CFStringAppend(name.get(), CFSTR("Orvex Lab"));
  QXProductInfo first = info(CFSTR("com.orvex.lab"), name.get(), CFSTR("Lab"), CFSTR("ovlab"));
  QXProductRef lab = nullptr;
  ASSERT_EQ(0, QXProductRegister(&first, &lab));
  CFStringAppend(name.get(), CFSTR(" changed"));
  EXPECT_EQ(lab, QXProductGetWithIdentifier(CFSTR("com.orvex.lab")));
  EXPECT_EQ("Orvex Lab", Str(QXProductGetName(lab)));
  EXPECT_EQ("Orvex Lab", Str(QXProductGetDisplayName(lab)));
  EXPECT_EQ("Orvex Lab", Str(QXProductGetServiceName(lab)));

  // Re-registering replaces the lookup; the old handle keeps its values.
  QXProductInfo again = info(CFSTR("com.orvex.lab"), CFSTR("Orvex Lab 2"), CFSTR("Lab2"));
  QXProductRef lab2 = nullptr;
  ASSERT_EQ(0, QXProductRegister(&again, &lab2));
  EXPECT_EQ(lab2, QXProductGetWithIdentifier(CFSTR("com.orvex.lab")));
  EXPECT_EQ("Lab", Str(QXProductGetFolderName(lab)));
  EXPECT_EQ("Lab2", Str(QXProductGetFolderName(lab2)));
  CFURLRef out = nullptr;
  EXPECT_EQ(kQXErrInvalidArgument, QXProductCopyPresetFileURL(lab2, true, CFSTR("x"), &out)) << "no extension";
  CFRef<CFArrayRef> identifiers = adopt(QXProductCopyIdentifiers());
  EXPECT_EQ(3, CFArrayGetCount(identifiers.get()));

  // Missing required fields, and names that would lead out of the family's folders.
  const QXProductInfo bad[] = {
      info(nullptr, CFSTR("N"), CFSTR("F")),
      info(CFSTR("id"), CFSTR("N"), CFSTR("..")),
      info(CFSTR("id"), CFSTR("../N"), CFSTR("F")),
      info(CFSTR("id"), CFSTR("N"), CFSTR("F"), CFSTR(".ext")),
  };
  for (const QXProductInfo& b : bad) {
    QXProductRef out = lab;
    EXPECT_EQ(kQXErrInvalidArgument, QXProductRegister(&b, &out));
    EXPECT_EQ(nullptr, out);
  }
  EXPECT_EQ(nullptr, QXProductGetWithIdentifier(CFSTR("id")));

  // Memory running out inside the catalogue is -108 (or no result), never an exception thrown
  // through the C interface; the table stays as it was.
  QXProductInfo third = info(CFSTR("com.orvex.third"), CFSTR("Third"), CFSTR("Third"));
  QXProductRef none = lab;
  gFailAllocations = true;
  int32_t status = QXProductRegister(&third, &none);
  gFailAllocations = false;
  EXPECT_EQ(kQXErrMemory, status);
  EXPECT_EQ(nullptr, none);
  EXPECT_EQ(nullptr, QXProductGetWithIdentifier(CFSTR("com.orvex.third")));
  identifiers = adopt(QXProductCopyIdentifiers());
  EXPECT_EQ(3, CFArrayGetCount(identifiers.get()));
  ASSERT_EQ(0, QXProductRegister(&third, &none));
  EXPECT_EQ(none, QXProductGetWithIdentifier(CFSTR("com.orvex.third")));
}

TEST_F(Product, SupportFolderOfEveryKind) {
  const std::string app = user + "/Orvex Studio";
  const std::string extras = user + "/Extras Orvex";
  struct Case {
    int32_t kind;
    bool user;
    CFStringRef name;
    std::string expected;
  } cases[] = {
      {1, true, nullptr, app},
      {1, false, nullptr, shared + "/Orvex Studio"},
      {2, true, CFSTR("ignored"), extras},
      {3, true, nullptr, app + "/Presets"},
      {3, true, CFSTR("Portraits/Warm"), app + "/Presets/Portraits/Warm"},
      {3, false, nullptr, shared + "/Orvex Studio/Presets"},
      {4, true, nullptr, app + "/FilmGrains"},
      {5, true, nullptr, extras + "/Borders"},
      {5, true, CFSTR("Wood"), extras + "/Borders/Small"},
      {6, true, CFSTR("Wood"), extras + "/Borders"},
      {7, true, CFSTR("Wood"), extras + "/Textures/Small"},
      {9, true, nullptr, extras + "/Backgrounds"},
      {9, true, CFSTR("Sky"), extras + "/Backgrounds/Sky"},
      {10, true, nullptr, app + "/FactoryPresets"},
      {11, true, nullptr, app + "/TonerPresets"},
      {12, true, nullptr, app + "/Tutorial"},
      {13, true, nullptr, app + "/DuotonePresets"},
      {14, true, nullptr, app + "/PhotoFilterPresets"},
      {15, true, nullptr, app + "/Favorites"},
      {15, true, CFSTR("Mine"), app + "/Mine"},
      {16, true, nullptr, app + "/Lens Presets"},
      {18, true, nullptr, user + "/Common Orvex"},
      {18, false, nullptr, shared + "/Common Orvex"},
      {17, true, nullptr, "status 1005"},
      {0, true, nullptr, "status 1005"},
      {99, true, nullptr, "status 1005"},
      {3, true, CFSTR("../Escape"), "status 1005"},
      {15, true, CFSTR("/etc"), "status 1005"},
      {9, true, CFSTR("a/../../b"), "status 1005"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, support(studio(), c.user, c.kind, c.name)) << "kind " << c.kind << " " << Str(c.name);
  }
  EXPECT_EQ("status 1005", support(nullptr, true, 1));

  // A product that asks for named sub-folders puts the name after Borders/Textures.
  EXPECT_EQ(extras + "/Borders/Wood/Small", support(frames(), true, 5, CFSTR("Wood")));
  EXPECT_EQ(extras + "/Borders/Wood", support(frames(), true, 6, CFSTR("Wood")));
  EXPECT_EQ(extras + "/Textures/Wood/Small", support(frames(), true, 7, CFSTR("Wood")));
  EXPECT_EQ("status 1005", support(frames(), true, 6, CFSTR("..")));

  // Only the create flag makes the folder itself; the data folder always exists.
  EXPECT_TRUE(fs::is_directory(user));
  EXPECT_FALSE(fs::exists(app + "/TonerPresets"));
  EXPECT_EQ(app + "/Tutorial", support(studio(), true, 12, nullptr, true));
  EXPECT_TRUE(fs::is_directory(app + "/Tutorial"));
  EXPECT_EQ(extras + "/Borders/Wood/Small", support(frames(), true, 5, CFSTR("Wood"), true));
  EXPECT_TRUE(fs::is_directory(extras + "/Borders/Wood/Small"));
}

TEST_F(Product, GermanFolderNames) {
  QXLocaleSetDefaultLanguageCode(kQXLocaleLanguageCodeDE);
  const std::string app = user + "/Orvex Studio";
  EXPECT_EQ(shared + "/Orvex Studio/Presets.de", support(studio(), false, 3));
  EXPECT_EQ(app + "/Presets", support(studio(), true, 3)) << "the user's own presets keep their name";
  EXPECT_EQ(app + "/FactoryPresets.de", support(studio(), true, 10));
  EXPECT_EQ(app + "/FactoryPresets.de/Film", support(studio(), true, 10, CFSTR("Film")));
  EXPECT_EQ(app + "/Favorites.de", support(studio(), true, 15));
}

TEST_F(Product, UserGlobalModeAndUserFolder) {
  EXPECT_EQ(user + "/Orvex Studio", userFolder(studio()));
  EXPECT_TRUE(fs::is_directory(user + "/Orvex Studio"));

  // Both folders lie in the user's data folder; the kept support folders follow the mode.
  QXProductSetUserGlobalFolders(true);
  EXPECT_TRUE(QXProductGetUserGlobalFolders());
  EXPECT_EQ(user + "/user/Orvex Studio", support(studio(), true, 1));
  EXPECT_EQ(user + "/global/Orvex Studio/Presets", support(studio(), false, 3));
  EXPECT_EQ(user + "/global/Extras Orvex", support(studio(), false, 2));
  EXPECT_EQ(user + "/user/Orvex Studio", userFolder(studio()));
  EXPECT_TRUE(fs::is_directory(user + "/user/Orvex Studio"));

  QXProductSetUserGlobalFolders(false);
  EXPECT_EQ(user + "/Orvex Studio", support(studio(), true, 1));
  EXPECT_EQ(shared + "/Orvex Studio", support(studio(), false, 1));
  EXPECT_EQ("status 1005", userFolder(nullptr));
}

TEST_F(Product, DerivedFileNames) {
  CFRef<CFStringRef> prefs = adopt(QXProductCopyPreferenceFolderName(studio()));
  EXPECT_EQ("Orvex Software/Orvex Studio", Str(prefs.get()));

  CFURLRef out = nullptr;
  ASSERT_EQ(0, QXProductCopyLogFileURL(frames(), &out));
  CFRef<CFURLRef> log = adopt(out);
  EXPECT_EQ(user + "/Orvex Frames/Orvex Frames Log.txt", PathOf(log.get()));
  EXPECT_TRUE(fs::is_directory(user + "/Orvex Frames"));

  ASSERT_EQ(0, QXProductCopyPresetFileURL(studio(), false, CFSTR("Warm Sunset"), &out));
  CFRef<CFURLRef> preset = adopt(out);
  EXPECT_EQ(shared + "/Orvex Studio/Presets/Warm Sunset.ovpreset", PathOf(preset.get()));
  EXPECT_EQ(kQXErrInvalidArgument, QXProductCopyPresetFileURL(studio(), true, CFSTR("a/b"), &out));
  EXPECT_EQ(nullptr, out);
}

TEST_F(Product, ConcurrentLookupRegistrationAndModeThreads) {
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::thread writer([&] {
    QXProductInfo lab = info(CFSTR("com.orvex.lab"), CFSTR("Lab"), CFSTR("Lab"));
    for (int i = 0; i < 300; ++i) {
      if (QXProductRegister(&lab, nullptr) != 0) ++bad;
      QXProductSetUserGlobalFolders(i % 2 == 0);
    }
    stop = true;
  });
  auto reader = [&] {
    while (!stop.load()) {
      QXProductRef lab = QXProductGetWithIdentifier(CFSTR("com.orvex.lab"));
      if (lab != nullptr && Str(QXProductGetFolderName(lab)) != "Lab") ++bad;
      std::string path = userFolder(studio());
      if (path != user + "/Orvex Studio" && path != user + "/user/Orvex Studio") ++bad;
    }
  };
  std::thread reader1(reader), reader2(reader);
  writer.join();
  reader1.join();
  reader2.join();
  EXPECT_EQ(0, bad.load());
}
