// Reference counting, constants, allocators and the polymorphic functions.
#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include <unistd.h>
#include "CFTestSupport.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace qxtest;

namespace {

struct AllocCounts {
  std::atomic<int> allocs{0};
  std::atomic<int> frees{0};
  std::atomic<int> reallocs{0};
  std::atomic<int> infoRetains{0};
  std::atomic<int> infoReleases{0};
};

void* countingAlloc(CFIndex size, CFOptionFlags, void* info) {
  static_cast<AllocCounts*>(info)->allocs++;
  return std::malloc(static_cast<size_t>(size));
}
void* countingRealloc(void* p, CFIndex size, CFOptionFlags, void* info) {
  static_cast<AllocCounts*>(info)->reallocs++;
  return std::realloc(p, static_cast<size_t>(size));
}
void countingFree(void* p, void* info) {
  static_cast<AllocCounts*>(info)->frees++;
  std::free(p);
}
const void* countingRetain(const void* info) {
  static_cast<AllocCounts*>(const_cast<void*>(info))->infoRetains++;
  return info;
}
void countingRelease(const void* info) { static_cast<AllocCounts*>(const_cast<void*>(info))->infoReleases++; }

CFAllocatorRef makeCountingAllocator(AllocCounts& counts) {
  CFAllocatorContext ctx = {
      0, &counts, countingRetain, countingRelease, nullptr, countingAlloc, countingRealloc, countingFree, nullptr};
  return CFAllocatorCreate(kCFAllocatorDefault, &ctx);
}

}  // namespace

TEST(Runtime, RetainReleaseAndImmortalConstants) {
  CFStringRef s = CFStringCreateWithCString(nullptr, "counted", kCFStringEncodingUTF8);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(CFGetRetainCount(s), 1);
  EXPECT_EQ(CFRetain(s), s);
  EXPECT_EQ(CFGetRetainCount(s), 2);
  CFRelease(s);
  EXPECT_EQ(CFGetRetainCount(s), 1);
  CFRelease(s);  // freed: ASan reports a leak or double free if the count was off

  // Constants survive any number of releases and report a very large count.
  CFStringRef k = CFSTR("immortal");
  for (int i = 0; i < 10; ++i) CFRelease(k);
  EXPECT_GT(CFGetRetainCount(k), 1 << 30);
  EXPECT_EQ(CFStringGetLength(k), 8);
  CFRelease(kCFNull);
  CFRelease(kCFAllocatorSystemDefault);
  EXPECT_EQ(CFGetTypeID(kCFNull), CFNullGetTypeID());
}

TEST(Runtime, ConstantStringsAreInternedAcrossThreads) {
  EXPECT_EQ(CFSTR("interned"), CFSTR("interned"));
  std::string heap = "inter";
  heap += "ned";
  EXPECT_EQ(__CFStringMakeConstantString(heap.c_str()), CFSTR("interned"));
  heap[0] = 'X';  // the constant keeps its own copy of the text
  EXPECT_STREQ(CFStringGetCStringPtr(CFSTR("interned"), kCFStringEncodingUTF8), "interned");
  EXPECT_NE(CFSTR("a"), CFSTR("b"));
  // Text that is not UTF-8 is taken as Latin-1; its bytes are then no C string of the contents.
  CFStringRef latin = __CFStringMakeConstantString("caf\xe9");
  EXPECT_EQ(CFStringGetLength(latin), 4);
  EXPECT_EQ(CFStringGetCharacterAtIndex(latin, 3), 0xE9);
  EXPECT_EQ(CFStringGetCStringPtr(latin, kCFStringEncodingUTF8), nullptr);

  // Racing threads interning the same new texts must all get one object per text.
  constexpr int kThreads = 4, kTexts = 200;
  std::vector<std::vector<CFStringRef>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &seen] {
      for (int i = 0; i < kTexts; ++i) {
        std::string text = "race-" + std::to_string(i);
        seen[t].push_back(__CFStringMakeConstantString(text.c_str()));
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int i = 0; i < kTexts; ++i) {
    for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t][i], seen[0][i]);
  }
  std::set<CFStringRef> distinct(seen[0].begin(), seen[0].end());
  EXPECT_EQ(distinct.size(), static_cast<size_t>(kTexts));
}

TEST(Runtime, ExportedStringConstantsBehaveLikeCFSTR) {
  for (CFStringRef k : {kCFErrorDomainCocoa, kCFLocaleLanguageCode, kCFBundleIdentifierKey,
                        kCFNumberFormatterGroupingSeparator, kCFTimeZoneSystemTimeZoneDidChangeNotification}) {
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(CFGetTypeID(k), CFStringGetTypeID());
    EXPECT_GT(CFGetRetainCount(k), 1 << 30);
    CFRelease(k);  // immortal
    const char* text = CFStringGetCStringPtr(k, kCFStringEncodingUTF8);
    ASSERT_NE(text, nullptr);
    CFStringRef same = CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8);
    EXPECT_TRUE(CFEqual(k, same));
    EXPECT_EQ(CFHash(k), CFHash(same));
    CFRelease(same);
  }
  EXPECT_TRUE(CFEqual(kCFErrorDomainCocoa, CFSTR("NSCocoaErrorDomain")));
}

TEST(Runtime, ConcurrentRetainReleaseKeepsTheCount) {
  CFStringRef s = CFStringCreateWithCString(nullptr, "shared", kCFStringEncodingUTF8);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([s] {
      for (int i = 0; i < 20000; ++i) {
        CFRetain(s);
        CFRelease(s);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(CFGetRetainCount(s), 1);
  CFRelease(s);
}

TEST(Runtime, TypeIdentifiersAndDescriptions) {
  EXPECT_EQ(CFGetTypeID(CFSTR("x")), CFStringGetTypeID());
  EXPECT_NE(CFStringGetTypeID(), CFNullGetTypeID());
  CFStringRef name = CFCopyTypeIDDescription(CFStringGetTypeID());
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(utf8(name), "CFString");
  CFRelease(name);
  EXPECT_EQ(CFCopyTypeIDDescription(0), nullptr);
  EXPECT_EQ(CFCopyTypeIDDescription(100000), nullptr);

  // CFCopyDescription of a string is its text; of other objects a non-empty description.
  CFStringRef d = CFCopyDescription(CFSTR("plain"));
  EXPECT_EQ(utf8(d), "plain");
  CFRelease(d);
  CFStringRef nd = CFCopyDescription(kCFNull);
  EXPECT_GT(CFStringGetLength(nd), 0);
  CFRelease(nd);
}

TEST(Runtime, EqualityAndHashOfStrings) {
  CFStringRef a = CFStringCreateWithCString(nullptr, "Grüße", kCFStringEncodingUTF8);
  CFStringRef b = CFStringCreateWithCString(nullptr, "Grüße", kCFStringEncodingUTF8);
  CFStringRef c = CFStringCreateWithCString(nullptr, "Grüsse", kCFStringEncodingUTF8);
  ASSERT_TRUE(a && b && c);
  EXPECT_NE(a, b);
  EXPECT_TRUE(CFEqual(a, b));
  EXPECT_EQ(CFHash(a), CFHash(b));
  EXPECT_FALSE(CFEqual(a, c));
  EXPECT_FALSE(CFEqual(a, kCFNull));  // different types are never equal
  EXPECT_FALSE(CFEqual(a, nullptr));
  // Empty strings, whatever their storage, are equal and hash alike.
  CFMutableStringRef emptyMutable = CFStringCreateMutable(nullptr, 0);
  EXPECT_TRUE(CFEqual(emptyMutable, CFSTR("")));
  EXPECT_EQ(CFHash(emptyMutable), CFHash(CFSTR("")));
  CFRelease(emptyMutable);
  // A constant and a created string with the same text are equal and hash alike.
  CFStringRef k = CFStringCreateWithCString(nullptr, "interned", kCFStringEncodingUTF8);
  EXPECT_TRUE(CFEqual(k, CFSTR("interned")));
  EXPECT_EQ(CFHash(k), CFHash(CFSTR("interned")));
  CFRelease(a);
  CFRelease(b);
  CFRelease(c);
  CFRelease(k);
}

TEST(Runtime, AllocatorsHonourTheirContexts) {
  AllocCounts counts;
  CFAllocatorRef alloc = makeCountingAllocator(counts);
  ASSERT_NE(alloc, nullptr);
  EXPECT_EQ(counts.infoRetains, 1);
  EXPECT_EQ(CFGetTypeID(alloc), CFAllocatorGetTypeID());

  void* p = CFAllocatorAllocate(alloc, 64, 0);
  ASSERT_NE(p, nullptr);
  p = CFAllocatorReallocate(alloc, p, 4096, 0);
  ASSERT_NE(p, nullptr);
  CFAllocatorDeallocate(alloc, p);
  EXPECT_EQ(counts.allocs, 1);
  EXPECT_EQ(counts.reallocs, 1);
  EXPECT_EQ(counts.frees, 1);
  EXPECT_EQ(CFAllocatorAllocate(alloc, 0, 0), nullptr);
  EXPECT_EQ(CFAllocatorReallocate(alloc, CFAllocatorAllocate(alloc, 8, 0), 0, 0), nullptr);  // frees
  EXPECT_EQ(counts.frees, 2);

  // Objects made with a custom allocator come from it, keep it alive, and go back to it.
  CFStringRef s = CFStringCreateWithCString(alloc, "from a custom allocator", kCFStringEncodingUTF8);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(CFGetAllocator(s), alloc);
  int before = counts.frees;
  CFRelease(alloc);  // the string still holds it
  EXPECT_EQ(counts.infoReleases, 0);
  CFRelease(s);
  EXPECT_EQ(counts.frees, before + 1);
  EXPECT_EQ(counts.infoReleases, 1);  // the allocator itself went with its last user

  // The null allocator gives and frees nothing; system allocators are interchangeable.
  EXPECT_EQ(CFAllocatorAllocate(kCFAllocatorNull, 16, 0), nullptr);
  CFAllocatorDeallocate(kCFAllocatorNull, &counts);  // must not free a stack address
  void* m = CFAllocatorAllocate(kCFAllocatorMalloc, 16, 0);
  CFAllocatorDeallocate(kCFAllocatorSystemDefault, m);
  EXPECT_EQ(CFStringCreateWithCString(kCFAllocatorNull, "x", kCFStringEncodingUTF8), nullptr);
  EXPECT_EQ(CFGetAllocator(CFSTR("x")), kCFAllocatorSystemDefault);

  CFAllocatorContext incomplete = {};
  EXPECT_EQ(CFAllocatorCreate(nullptr, &incomplete), nullptr);
}

TEST(Runtime, CFShowWritesTheFormattingDescriptionToStandardError) {
  char path[] = "/tmp/qxcf-show-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  std::fflush(stderr);
  int saved = dup(2);
  dup2(fd, 2);
  CFShow(CFSTR("shown ünïcode"));
  CFShow(nullptr);
  const UniChar odd[] = {'a', 0xD800, 'b', 0, 'c'};  // a lone surrogate and a NUL still show
  CFStringRef oddString = CFStringCreateWithCharacters(nullptr, odd, 5);
  CFShow(oddString);
  CFRelease(oddString);
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  FILE* f = std::fopen(path, "rb");
  char buf[256] = {};
  size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  close(fd);
  unlink(path);
  EXPECT_EQ(std::string(buf, n), std::string("shown ünïcode\n(null)\na\uFFFDb\0c\n", 31));
}
