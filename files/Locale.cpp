// The interface language and the process-wide table of localised strings.
//
// The state is set up at start-up but read from any thread later, so one lock guards it. Get
// functions hand out borrowed strings; to keep those valid while another thread changes the
// state, a string the state lets go of is retired (kept until the process ends) instead of
// released. Codes are interned, so retiring stays bounded by the number of distinct values.
#include <QXCore/QXLocale.h>

#include <mutex>

#include "cf/CFRef.h"
#include "files/CoreFileInternal.h"
#include "files/LocaleTesting.h"

using qxcf::adopt;
using qxcf::CFRef;

const CFStringRef kQXLocaleLanguageCodeEN = CFSTR("en");
const CFStringRef kQXLocaleLanguageCodeDE = CFSTR("de");

namespace {

struct LocaleState {
  std::mutex lock;
  CFStringRef defaultCode = nullptr;    // interned, borrowed from `interned`
  CFStringRef preferredCode = nullptr;  // interned, borrowed from `interned`
  CFMutableDictionaryRef table = nullptr;
  CFMutableSetRef interned = nullptr;   // every code ever stored; never shrinks
  CFMutableArrayRef retired = nullptr;  // replaced strings, kept for borrowers
};

// Never destroyed: borrowed results must outlive every static destructor.
LocaleState& state() {
  static LocaleState* s = [] {
    auto* st = new LocaleState;
    st->interned = CFSetCreateMutable(nullptr, 0, &kCFTypeSetCallBacks);
    st->retired = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    return st;
  }();
  return *s;
}

// The one immortal object equal to `code`. Called with the lock held.
CFStringRef intern(LocaleState& s, CFStringRef code) {
  if (code == nullptr || s.interned == nullptr) return nullptr;
  if (const void* existing = CFSetGetValue(s.interned, code)) return static_cast<CFStringRef>(existing);
  CFRef<CFStringRef> copy = adopt(CFStringCreateCopy(nullptr, code));
  if (!copy) return nullptr;
  CFSetAddValue(s.interned, copy.get());
  return copy.get();  // the set holds it from now on
}

// The default language in force. Called with the lock held.
CFStringRef defaultCodeLocked(LocaleState& s) {
  if (s.defaultCode != nullptr) return s.defaultCode;
  if (s.preferredCode == nullptr) {
    CFRef<CFStringRef> preferred = adopt(QXLocaleCopyPreferredLanguageCode());
    s.preferredCode = intern(s, preferred ? preferred.get() : kQXLocaleLanguageCodeEN);
  }
  return s.preferredCode != nullptr ? s.preferredCode : kQXLocaleLanguageCodeEN;
}

}  // namespace

CFStringRef QXLocaleCopyCurrentLanguageCode(void) {
  CFRef<CFLocaleRef> locale = adopt(CFLocaleCopyCurrent());
  if (!locale) return nullptr;
  CFTypeRef code = CFLocaleGetValue(locale.get(), kCFLocaleLanguageCode);
  if (code == nullptr || CFGetTypeID(code) != CFStringGetTypeID()) return nullptr;
  return CFStringCreateCopy(nullptr, static_cast<CFStringRef>(code));
}

CFStringRef QXLocaleCopyPreferredLanguageCode(void) {
  CFRef<CFArrayRef> languages = adopt(CFLocaleCopyPreferredLanguages());
  if (languages && CFArrayGetCount(languages.get()) > 0) {
    CFTypeRef first = CFArrayGetValueAtIndex(languages.get(), 0);
    if (first != nullptr && CFGetTypeID(first) == CFStringGetTypeID()) {
      auto language = static_cast<CFStringRef>(first);
      CFIndex length = CFStringGetLength(language);
      if (length > 0) {
        return CFStringCreateWithSubstring(nullptr, language, CFRangeMake(0, length < 2 ? length : 2));
      }
    }
  }
  return QXLocaleCopyCurrentLanguageCode();
}

void QXLocaleSetDefaultLanguageCode(CFStringRef code) {
  qxfiles::NoThrow([&]() -> void {
    LocaleState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    s.defaultCode = intern(s, code);
  });
}

CFStringRef QXLocaleGetDefaultLanguageCode(void) {
  return qxfiles::NoThrow([&]() -> CFStringRef {
    LocaleState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    return defaultCodeLocked(s);
  });
}

void QXLocaleSetString(CFStringRef key, CFStringRef string) {
  qxfiles::NoThrow([&]() -> void {
    if (key == nullptr || string == nullptr) return;
    LocaleState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    CFStringRef language = defaultCodeLocked(s);
    if (s.table == nullptr) {
      s.table = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
      CFRef<CFMutableDictionaryRef> strings = adopt(
          CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
      if (s.table == nullptr || !strings) return;
      CFDictionarySetValue(s.table, language, strings.get());
    }
    auto strings = static_cast<CFMutableDictionaryRef>(const_cast<void*>(CFDictionaryGetValue(s.table, language)));
    if (strings == nullptr) return;  // a language not in force when the table was made keeps nothing

    const void* old = CFDictionaryGetValue(strings, key);
    if (old != nullptr && CFEqual(old, string)) return;
    // Copies, so that a caller's mutable key or string cannot change under the table.
    CFRef<CFStringRef> keyCopy = adopt(CFStringCreateCopy(nullptr, key));
    CFRef<CFStringRef> stringCopy = adopt(CFStringCreateCopy(nullptr, string));
    if (!keyCopy || !stringCopy) return;
    if (old != nullptr) CFArrayAppendValue(s.retired, old);
    CFDictionarySetValue(strings, keyCopy.get(), stringCopy.get());
  });
}

CFStringRef QXLocaleGetString(CFStringRef key) {
  return qxfiles::NoThrow([&]() -> CFStringRef {
    if (key == nullptr) return nullptr;
    LocaleState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.table == nullptr) return key;
    const void* strings = CFDictionaryGetValue(s.table, defaultCodeLocked(s));
    if (strings == nullptr) return key;
    const void* value = CFDictionaryGetValue(static_cast<CFDictionaryRef>(strings), key);
    return value != nullptr ? static_cast<CFStringRef>(value) : key;
  });
}

void qx::testing::ResetLocaleState() {
  LocaleState& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  s.defaultCode = nullptr;
  s.preferredCode = nullptr;
  if (s.table != nullptr) {
    // The strings may still be borrowed by a caller.
    CFArrayAppendValue(s.retired, s.table);
    CFRelease(s.table);
    s.table = nullptr;
  }
}
