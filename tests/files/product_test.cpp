// The product catalogue, its support folders and the file names derived from a product.
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

const std::string kInvalid = Status(kQXErrInvalidArgument);

// The support folder's path, or "status N" on failure.
std::string support(QXProductRef product, bool user, int32_t kind, CFStringRef name = nullptr, bool create = false) {
  CFURLRef url = reinterpret_cast<CFURLRef>(1);  // must be cleared on failure
  return PathOr(QXProductGetSupportURLCopy(product, user, kind, name, create, &url), &url);
}

std::string userFolder(QXProductRef product) {
  CFURLRef url = nullptr;
  return PathOr(QXProductCopyUserFolderURL(product, &url), &url);
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
  EXPECT_NE(QXProductGetPort(studio()), QXProductGetPort(frames()));
  EXPECT_EQ(nullptr, QXProductGetWithIdentifier(CFSTR("com.orvex.nothing")));

  // Strings are copied; unset display and service names fall back to the name.
  CFRef<CFMutableStringRef> name = adopt(CFStringCreateMutableCopy(nullptr, 0, CFSTR("Orvex Lab")));
  QXProductInfo first = info(CFSTR("com.orvex.lab"), name.get(), CFSTR("Lab"), CFSTR("ovlab"));
  QXProductRef lab = nullptr;
  ASSERT_EQ(0, QXProductRegister(&first, &lab));
  CFStringAppend(name.get(), CFSTR(" changed"));
  EXPECT_EQ(lab, QXProductGetWithIdentifier(CFSTR("com.orvex.lab")));
  for (auto getter : {QXProductGetName, QXProductGetDisplayName, QXProductGetServiceName})
    EXPECT_EQ("Orvex Lab", Str(getter(lab)));

  // Re-registering replaces the lookup; the old handle keeps its values.
  QXProductInfo again = info(CFSTR("com.orvex.lab"), CFSTR("Orvex Lab 2"), CFSTR("Lab2"));
  QXProductRef lab2 = nullptr;
  ASSERT_EQ(0, QXProductRegister(&again, &lab2));
  EXPECT_EQ(lab2, QXProductGetWithIdentifier(CFSTR("com.orvex.lab")));
  EXPECT_EQ(Str(QXProductGetFolderName(lab)) + " " + Str(QXProductGetFolderName(lab2)), "Lab Lab2");
  CFURLRef out = nullptr;
  EXPECT_EQ(kInvalid, PathOr(QXProductCopyPresetFileURL(lab2, true, CFSTR("x"), &out), &out)) << "no extension";
  EXPECT_EQ(3, Count(QXProductCopyIdentifiers()));

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
  EXPECT_EQ(3, Count(QXProductCopyIdentifiers()));
  ASSERT_EQ(0, QXProductRegister(&third, &none));
  EXPECT_EQ(none, QXProductGetWithIdentifier(CFSTR("com.orvex.third")));
}

TEST_F(Product, SupportFolderOfEveryKind) {
  const std::string app = user + "/Orvex Studio";
  const std::string extras = user + "/Extras Orvex";
  QXProductRef s = studio(), f = frames();
  // A product that asks for named sub-folders (frames) puts the name after Borders/Textures.
  const std::tuple<QXProductRef, int32_t, bool, CFStringRef, std::string> cases[] = {
      {s, 1, true, nullptr, app},
      {s, 1, false, nullptr, shared + "/Orvex Studio"},
      {s, 2, true, CFSTR("ignored"), extras},
      {s, 3, true, nullptr, app + "/Presets"},
      {s, 3, true, CFSTR("Portraits/Warm"), app + "/Presets/Portraits/Warm"},
      {s, 3, false, nullptr, shared + "/Orvex Studio/Presets"},
      {s, 4, true, nullptr, app + "/FilmGrains"},
      {s, 5, true, nullptr, extras + "/Borders"},
      {s, 5, true, CFSTR("Wood"), extras + "/Borders/Small"},
      {s, 6, true, CFSTR("Wood"), extras + "/Borders"},
      {s, 7, true, CFSTR("Wood"), extras + "/Textures/Small"},
      {s, 9, true, nullptr, extras + "/Backgrounds"},
      {s, 9, true, CFSTR("Sky"), extras + "/Backgrounds/Sky"},
      {s, 10, true, nullptr, app + "/FactoryPresets"},
      {s, 11, true, nullptr, app + "/TonerPresets"},
      {s, 12, true, nullptr, app + "/Tutorial"},
      {s, 13, true, nullptr, app + "/DuotonePresets"},
      {s, 14, true, nullptr, app + "/PhotoFilterPresets"},
      {s, 15, true, nullptr, app + "/Favorites"},
      {s, 15, true, CFSTR("Mine"), app + "/Mine"},
      {s, 16, true, nullptr, app + "/Lens Presets"},
      {s, 18, true, nullptr, user + "/Common Orvex"},
      {s, 18, false, nullptr, shared + "/Common Orvex"},
      {s, 17, true, nullptr, kInvalid},
      {s, 0, true, nullptr, kInvalid},
      {s, 99, true, nullptr, kInvalid},
      {s, 3, true, CFSTR("../Escape"), kInvalid},
      {s, 15, true, CFSTR("/etc"), kInvalid},
      {s, 9, true, CFSTR("a/../../b"), kInvalid},
      {nullptr, 1, true, nullptr, kInvalid},
      {f, 5, true, CFSTR("Wood"), extras + "/Borders/Wood/Small"},
      {f, 6, true, CFSTR("Wood"), extras + "/Borders/Wood"},
      {f, 7, true, CFSTR("Wood"), extras + "/Textures/Wood/Small"},
      {f, 6, true, CFSTR(".."), kInvalid}};
  for (const auto& [product, kind, inUser, name, expected] : cases)
    EXPECT_EQ(expected, support(product, inUser, kind, name)) << "kind " << kind << " " << Str(name);

  // Only the create flag makes the folder itself; the data folder always exists.
  EXPECT_TRUE(fs::is_directory(user));
  EXPECT_FALSE(fs::exists(app + "/TonerPresets"));
  EXPECT_EQ(app + "/Tutorial", support(studio(), true, 12, nullptr, true));
  EXPECT_TRUE(fs::is_directory(app + "/Tutorial"));
  EXPECT_EQ(extras + "/Borders/Wood/Small", support(frames(), true, 5, CFSTR("Wood"), true));
  EXPECT_TRUE(fs::is_directory(extras + "/Borders/Wood/Small"));

  // In German the kept preset folders get their suffix; the user's own presets keep their name.
  QXLocaleSetDefaultLanguageCode(kQXLocaleLanguageCodeDE);
  EXPECT_EQ(shared + "/Orvex Studio/Presets.de", support(studio(), false, 3));
  EXPECT_EQ(app + "/Presets", support(studio(), true, 3));
  EXPECT_EQ(app + "/FactoryPresets.de/Film", support(studio(), true, 10, CFSTR("Film")));
  EXPECT_EQ(app + "/Favorites.de", support(studio(), true, 15));
}

TEST_F(Product, UserGlobalModeUserFolderAndDerivedFileNames) {
  EXPECT_EQ(user + "/Orvex Studio", userFolder(studio()));
  EXPECT_TRUE(fs::is_directory(user + "/Orvex Studio"));

  // Both folders lie in the user's data folder; the kept support folders follow the mode.
  QXProductSetUserGlobalFolders(true);
  EXPECT_EQ(user + "/user/Orvex Studio", support(studio(), true, 1));
  EXPECT_EQ(user + "/global/Orvex Studio/Presets", support(studio(), false, 3));
  EXPECT_EQ(user + "/global/Extras Orvex", support(studio(), false, 2));
  EXPECT_EQ(user + "/user/Orvex Studio", userFolder(studio()));
  EXPECT_TRUE(fs::is_directory(user + "/user/Orvex Studio"));

  QXProductSetUserGlobalFolders(false);
  EXPECT_EQ(user + "/Orvex Studio", support(studio(), true, 1));
  EXPECT_EQ(shared + "/Orvex Studio", support(studio(), false, 1));
  EXPECT_EQ(kInvalid, userFolder(nullptr));

  EXPECT_EQ("Orvex Software/Orvex Studio", Str(adopt(QXProductCopyPreferenceFolderName(studio())).get()));
  CFURLRef out = nullptr;
  EXPECT_EQ(user + "/Orvex Frames/Orvex Frames Log.txt", PathOr(QXProductCopyLogFileURL(frames(), &out), &out));
  EXPECT_TRUE(fs::is_directory(user + "/Orvex Frames"));
  EXPECT_EQ(shared + "/Orvex Studio/Presets/Warm Sunset.ovpreset",
            PathOr(QXProductCopyPresetFileURL(studio(), false, CFSTR("Warm Sunset"), &out), &out));
  EXPECT_EQ(kInvalid, PathOr(QXProductCopyPresetFileURL(studio(), true, CFSTR("a/b"), &out), &out));
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
