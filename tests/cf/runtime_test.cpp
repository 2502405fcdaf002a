// Reference counting, constants, allocators and the polymorphic functions.
#include <set>

#include "CFTestSupport.h"

using namespace qxtest;

namespace {

TEST(Runtime, RetainCountsTypesAndEquality) {
  CFStringRef s = createString("Grüße");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(CFGetRetainCount(s), 1);
  EXPECT_EQ(CFRetain(s), s);
  EXPECT_EQ(CFGetRetainCount(s), 2);
  CFRelease(s);
  EXPECT_EQ(CFGetRetainCount(s), 1);
  auto same = S("Grüße");
  EXPECT_SAME(s, same.get());
  EXPECT_FALSE(CFEqual(s, S("Grüsse").get()));
  EXPECT_FALSE(CFEqual(s, kCFNull));  // different types are never equal
  EXPECT_FALSE(CFEqual(s, nullptr));
  CFRelease(s);  // freed: ASan reports a leak or double free if the count was off
  // Empty strings, whatever their storage, are equal and hash alike; so are a constant and a
  // created string with the same text.
  auto emptyMutable = adopt(CFStringCreateMutable(nullptr, 0));
  EXPECT_SAME(emptyMutable.get(), CFSTR(""));
  EXPECT_SAME(S("interned").get(), CFSTR("interned"));

  // Constants survive any number of releases and report a very large count.
  for (CFTypeRef c : {CFTypeRef(CFSTR("immortal")), CFTypeRef(kCFNull), CFTypeRef(kCFBooleanTrue),
                      CFTypeRef(kCFAllocatorSystemDefault), CFTypeRef(kCFErrorDomainCocoa)}) {
    for (int i = 0; i < 10; ++i) CFRelease(c);
    EXPECT_GT(CFGetRetainCount(c), 1 << 30);
  }
  EXPECT_EQ(CFStringGetLength(CFSTR("immortal")), 8);
  EXPECT_TRUE(CFBooleanGetValue(kCFBooleanTrue) && !CFEqual(kCFBooleanTrue, kCFBooleanFalse));
  EXPECT_FALSE(CFEqual(kCFBooleanTrue, make(kCFNumberSInt32Type, 1).get()));

  EXPECT_EQ(take(CFCopyTypeIDDescription(CFStringGetTypeID())), "CFString");
  EXPECT_EQ(CFCopyTypeIDDescription(0), nullptr);
  EXPECT_EQ(CFCopyTypeIDDescription(100000), nullptr);
  // CFCopyDescription of a string is its text; of other objects a non-empty description.
  EXPECT_EQ(describe(CFSTR("plain")), "plain");
  EXPECT_FALSE(describe(kCFNull).empty());
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
  EXPECT_EQ(units(latin), u"café");
  EXPECT_EQ(CFStringGetCStringPtr(latin, kCFStringEncodingUTF8), nullptr);

  // Racing threads interning the same new texts must all get one object per text.
  constexpr int kThreads = 4, kTexts = 200;
  std::vector<std::vector<CFStringRef>> seen(kThreads);
  onThreads(kThreads, [&seen](int t) {
    for (int i = 0; i < kTexts; ++i)
      seen[t].push_back(__CFStringMakeConstantString(("race-" + std::to_string(i)).c_str()));
  });
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t], seen[0]);
  EXPECT_EQ(std::set<CFStringRef>(seen[0].begin(), seen[0].end()).size(), static_cast<size_t>(kTexts));
}

TEST(Runtime, ConcurrentRetainReleaseKeepsTheCount) {
  auto s = S("shared");
  onThreads(4, [&s](int) {
    for (int i = 0; i < 20000; ++i) CFRelease(CFRetain(s.get()));
  });
  EXPECT_EQ(CFGetRetainCount(s.get()), 1);
}

struct AllocCounts {
  std::atomic<int> allocs{0}, frees{0}, reallocs{0}, infoRetains{0}, infoReleases{0};
};
AllocCounts& counts(const void* info) { return *static_cast<AllocCounts*>(const_cast<void*>(info)); }

TEST(Runtime, AllocatorsHonourTheirContexts) {
  AllocCounts c;
  CFAllocatorContext ctx = {0,
                            &c,
                            [](const void* info) { return counts(info).infoRetains++, info; },
                            [](const void* info) { counts(info).infoReleases++; },
                            nullptr,
                            [](CFIndex size, CFOptionFlags, void* info) {
                              counts(info).allocs++;
                              return std::malloc(static_cast<size_t>(size));
                            },
                            [](void* p, CFIndex size, CFOptionFlags, void* info) {
                              counts(info).reallocs++;
                              return std::realloc(p, static_cast<size_t>(size));
                            },
                            [](void* p, void* info) {
                              counts(info).frees++;
                              std::free(p);
                            },
                            nullptr};
  CFAllocatorRef alloc = CFAllocatorCreate(kCFAllocatorDefault, &ctx);
  ASSERT_NE(alloc, nullptr);
  EXPECT_EQ(c.infoRetains, 1);
  EXPECT_EQ(CFGetTypeID(alloc), CFAllocatorGetTypeID());

  void* p = CFAllocatorAllocate(alloc, 64, 0);
  ASSERT_NE(p, nullptr);
  p = CFAllocatorReallocate(alloc, p, 4096, 0);
  ASSERT_NE(p, nullptr);
  CFAllocatorDeallocate(alloc, p);
  EXPECT_EQ(std::make_tuple(c.allocs.load(), c.reallocs.load(), c.frees.load()), std::make_tuple(1, 1, 1));
  EXPECT_EQ(CFAllocatorAllocate(alloc, 0, 0), nullptr);
  EXPECT_EQ(CFAllocatorReallocate(alloc, CFAllocatorAllocate(alloc, 8, 0), 0, 0), nullptr);  // frees
  EXPECT_EQ(c.frees, 2);

  // Objects made with a custom allocator come from it, keep it alive, and go back to it.
  CFStringRef s = CFStringCreateWithCString(alloc, "from a custom allocator", kCFStringEncodingUTF8);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(CFGetAllocator(s), alloc);
  CFRelease(alloc);  // the string still holds it
  EXPECT_EQ(c.infoReleases, 0);
  CFRelease(s);
  EXPECT_EQ(c.frees, 3);
  EXPECT_EQ(c.infoReleases, 1);  // the allocator itself went with its last user

  // The null allocator gives and frees nothing; system allocators are interchangeable.
  EXPECT_EQ(CFAllocatorAllocate(kCFAllocatorNull, 16, 0), nullptr);
  CFAllocatorDeallocate(kCFAllocatorNull, &c);  // must not free a stack address
  CFAllocatorDeallocate(kCFAllocatorSystemDefault, CFAllocatorAllocate(kCFAllocatorMalloc, 16, 0));
  EXPECT_EQ(CFStringCreateWithCString(kCFAllocatorNull, "x", kCFStringEncodingUTF8), nullptr);
  EXPECT_EQ(CFGetAllocator(CFSTR("x")), kCFAllocatorSystemDefault);
  CFAllocatorContext incomplete = {};
  EXPECT_EQ(CFAllocatorCreate(nullptr, &incomplete), nullptr);
}

TEST(Runtime, CFShowWritesTheFormattingDescriptionToStandardError) {
  testing::internal::CaptureStderr();
  CFShow(CFSTR("shown ünïcode"));
  CFShow(nullptr);
  CFShow(S(std::u16string_view(u"a\xD800"
                               u"b\0c",
                               5))
             .get());  // a lone surrogate and a NUL still show
  EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string("shown ünïcode\n(null)\na\uFFFDb\0c\n", 31));
}

}  // namespace
