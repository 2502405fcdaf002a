// The locale state is process-wide: every test starts from a reset state, in one process or alone.
#include <QXCore/QXLocale.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "cf/CFRef.h"
#include "files/LocaleTesting.h"
#include "tests/files/FileTestSupport.h"

using filetest::Str;
using qxcf::adopt;
using qxcf::CFRef;

namespace {

// Clears every variable the language is read from, then sets the given ones.
using Environment = std::vector<std::pair<const char*, const char*>>;

void setLanguageEnvironment(const Environment& values) {
  for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(name);
  for (const auto& [name, value] : values) setenv(name, value, 1);
}

class Locale : public ::testing::Test {
 protected:
  void SetUp() override { qx::testing::ResetLocaleState(); }
  void TearDown() override { qx::testing::ResetLocaleState(); }
};

}  // namespace

TEST_F(Locale, LanguageFromEnvironmentCachedAndOverridable) {
  struct Case {
    Environment environment;
    const char* preferred;
    const char* current;
  } cases[] = {
      {{{"LANGUAGE", "de_DE:en"}, {"LANG", "fr_FR.UTF-8"}}, "de", "fr"},
      {{{"LC_MESSAGES", "pt_BR.UTF-8"}, {"LANG", "it_IT.UTF-8"}}, "pt", "it"},
      {{{"LANG", "es_ES.UTF-8"}}, "es", "es"},
      {{}, "en", "en"},
  };
  for (const Case& c : cases) {
    setLanguageEnvironment(c.environment);
    EXPECT_EQ(c.preferred, Str(adopt(QXLocaleCopyPreferredLanguageCode()).get()));
    EXPECT_EQ(c.current, Str(adopt(QXLocaleCopyCurrentLanguageCode()).get()));
  }

  setLanguageEnvironment({{"LANGUAGE", "de_DE:en"}});
  EXPECT_EQ("de", Str(QXLocaleGetDefaultLanguageCode()));
  setLanguageEnvironment({{"LANGUAGE", "fr"}});
  EXPECT_EQ("de", Str(QXLocaleGetDefaultLanguageCode())) << "the preferred code is kept from the first call";

  // The code set by the caller wins whatever the system says, and is copied.
  CFRef<CFMutableStringRef> code = adopt(CFStringCreateMutableCopy(nullptr, 0, CFSTR("en")));
  QXLocaleSetDefaultLanguageCode(code.get());
  CFStringAppend(code.get(), CFSTR("-GB"));
  CFStringRef borrowed = QXLocaleGetDefaultLanguageCode();
  EXPECT_TRUE(CFEqual(borrowed, kQXLocaleLanguageCodeEN));
  // Clearing it brings back the cached preferred code; the earlier borrowed string stays valid.
  QXLocaleSetDefaultLanguageCode(nullptr);
  EXPECT_EQ("de", Str(QXLocaleGetDefaultLanguageCode()));
  EXPECT_EQ("en", Str(borrowed));
}

TEST_F(Locale, StringTableKeepsOnlyTheFirstLanguage) {
  QXLocaleSetDefaultLanguageCode(kQXLocaleLanguageCodeEN);
  CFStringRef key = CFSTR("Favorites.My"), other = CFSTR("Other");
  EXPECT_EQ(key, QXLocaleGetString(key)) << "no table yet: the key itself";
  QXLocaleSetString(key, CFSTR("My Favorites"));
  CFStringRef first = QXLocaleGetString(key);
  EXPECT_EQ("My Favorites", Str(first));
  EXPECT_EQ(CFSTR("Never set"), QXLocaleGetString(CFSTR("Never set")));
  // Replacing a string does not invalidate what an earlier Get handed out.
  QXLocaleSetString(key, CFSTR("Favourites"));
  EXPECT_EQ("Favourites", Str(QXLocaleGetString(key)));
  EXPECT_EQ("My Favorites", Str(first));

  // German was not in force when the table was made: its strings are not kept, and lookups
  // under German find nothing.
  QXLocaleSetDefaultLanguageCode(kQXLocaleLanguageCodeDE);
  QXLocaleSetString(key, CFSTR("Meine Favoriten"));
  QXLocaleSetString(other, CFSTR("Andere"));
  EXPECT_EQ(key, QXLocaleGetString(key));
  QXLocaleSetDefaultLanguageCode(kQXLocaleLanguageCodeEN);
  EXPECT_EQ("Favourites", Str(QXLocaleGetString(key)));
  EXPECT_EQ(other, QXLocaleGetString(other));
  EXPECT_EQ(nullptr, QXLocaleGetString(nullptr));
}

TEST_F(Locale, ConcurrentSettersAndGettersThreads) {
  QXLocaleSetDefaultLanguageCode(kQXLocaleLanguageCodeEN);
  QXLocaleSetString(CFSTR("Key"), CFSTR("A"));
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        QXLocaleSetString(CFSTR("Key"), (i + t) % 2 ? CFSTR("A") : CFSTR("B"));
        QXLocaleSetDefaultLanguageCode(i % 3 ? kQXLocaleLanguageCodeEN : kQXLocaleLanguageCodeDE);
      }
    });
  }
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      while (!stop.load()) {
        std::string value = Str(QXLocaleGetString(CFSTR("Key")));
        std::string language = Str(QXLocaleGetDefaultLanguageCode());
        if ((value != "A" && value != "B" && value != "Key") || (language != "en" && language != "de")) ++bad;
      }
    });
  }
  threads[0].join();
  threads[1].join();
  stop = true;
  threads[2].join();
  threads[3].join();
  EXPECT_EQ(0, bad.load());
}
