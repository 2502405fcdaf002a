// CFData: creation, copies, custom deallocators, mutable editing and search.
#include "CFTestSupport.h"

using namespace qxtest;

namespace {

const UInt8* u8(const char* s) { return reinterpret_cast<const UInt8*>(s); }

struct Counts {
  int deallocs = 0;
  void* lastFreed = nullptr;
};

TEST(CFData, CreateCopyEqualityAndHash) {
  auto a = blob(std::string("abc\0def", 7));
  ASSERT_TRUE(a);
  EXPECT_EQ(bytesOf(a.get()), std::string("abc\0def", 7));
  auto copy = adopt(CFDataCreateCopy(nullptr, a.get()));
  EXPECT_NE(CFDataGetBytePtr(copy.get()), CFDataGetBytePtr(a.get()));
  auto m = adopt(CFDataCreateMutableCopy(nullptr, 0, a.get()));
  for (CFDataRef same : {copy.get(), static_cast<CFDataRef>(m.get())}) {  // mutability does not matter
    EXPECT_SAME(a.get(), same);
  }
  EXPECT_FALSE(CFEqual(a.get(), blob(std::string("abc\0deg", 7)).get()));
  EXPECT_FALSE(CFEqual(a.get(), blob("abc").get()));
  // A difference past the hashed prefix still counts for equality.
  std::string big(1000, 7);
  auto b1 = blob(big);
  big[999] = 8;
  EXPECT_FALSE(CFEqual(b1.get(), blob(big).get()));

  auto empty = adopt(CFDataCreate(nullptr, nullptr, 0));
  ASSERT_TRUE(empty);
  EXPECT_EQ(CFDataGetLength(empty.get()), 0);
  EXPECT_NE(CFDataGetBytePtr(empty.get()), nullptr);
  EXPECT_EQ(CFDataCreate(nullptr, nullptr, 5), nullptr);
  EXPECT_EQ(CFDataCreate(nullptr, u8("x"), -1), nullptr);

  UInt8 out[4] = {9, 9, 9, 9};
  CFDataGetBytes(a.get(), CFRangeMake(4, 3), out);
  EXPECT_EQ(std::memcmp(out, "def\x09", 4), 0);
  CFDataGetBytes(a.get(), CFRangeMake(5, 3), out);  // past the end: nothing copied
  CFDataGetBytes(a.get(), CFRangeMake(-1, 2), out);
  EXPECT_EQ(std::memcmp(out, "def\x09", 4), 0);
}

TEST(CFData, NoCopyHonoursTheDeallocator) {
  Counts counts;
  CFAllocatorContext ctx{};
  ctx.info = &counts;
  ctx.allocate = [](CFIndex size, CFOptionFlags, void*) { return std::malloc(static_cast<size_t>(size)); };
  ctx.deallocate = [](void* p, void* info) {
    auto* c = static_cast<Counts*>(info);
    ++c->deallocs;
    c->lastFreed = p;
    std::free(p);
  };
  auto custom = adopt(CFAllocatorCreate(nullptr, &ctx));
  ASSERT_TRUE(custom);

  auto* block = static_cast<UInt8*>(std::malloc(4));
  std::memcpy(block, "wxyz", 4);
  CFDataRef d = CFDataCreateWithBytesNoCopy(nullptr, block, 4, custom.get());
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(CFDataGetBytePtr(d), block);  // not copied
  auto copy = adopt(CFDataCreateCopy(nullptr, d));
  CFRelease(d);
  EXPECT_EQ(counts.deallocs, 1);
  EXPECT_EQ(counts.lastFreed, block);
  EXPECT_EQ(bytesOf(copy.get()), "wxyz");  // the copy owned its own bytes

  // kCFAllocatorNull: the caller keeps the bytes (ASan would report freeing stack memory).
  UInt8 stack[3] = {1, 2, 3};
  auto borrowed = adopt(CFDataCreateWithBytesNoCopy(nullptr, stack, 3, kCFAllocatorNull));
  EXPECT_EQ(CFDataGetBytePtr(borrowed.get()), stack);
  borrowed.reset();
  EXPECT_EQ(counts.deallocs, 1);

  // NULL and the default allocator free with free(); ASan reports a leak otherwise.
  for (CFAllocatorRef a : {CFAllocatorRef{nullptr}, kCFAllocatorDefault, kCFAllocatorMalloc}) {
    CFRelease(CFDataCreateWithBytesNoCopy(nullptr, static_cast<UInt8*>(std::malloc(8)), 8, a));
  }
  // The object itself from a custom allocator: storage returns to it.
  CFRelease(CFDataCreate(custom.get(), u8("abc"), 3));
  EXPECT_EQ(counts.deallocs, 2);
}

TEST(CFData, MutableEditing) {
  auto m = adopt(CFDataCreateMutable(nullptr, 2));  // a hint, not a limit
  ASSERT_TRUE(m);
  CFDataAppendBytes(m.get(), u8("hello"), 5);
  CFDataAppendBytes(m.get(), u8(" world"), 6);
  EXPECT_EQ(bytesOf(m.get()), "hello world");
  CFDataSetLength(m.get(), 5);
  EXPECT_EQ(bytesOf(m.get()), "hello");
  CFDataSetLength(m.get(), 7);  // bytes cut off before must come back as zeros
  EXPECT_EQ(bytesOf(m.get()), std::string("hello\0\0", 7));
  CFDataSetLength(m.get(), 5);
  CFDataIncreaseLength(m.get(), 3);
  EXPECT_EQ(bytesOf(m.get()), std::string("hello\0\0\0", 8));
  CFDataSetLength(m.get(), 5);

  using E = std::tuple<CFIndex, CFIndex, const char*, const char*>;
  for (const auto& [at, length, with, result] :
       {E{1, 3, "ipp", "hippo"}, E{0, 1, "wh", "whippo"}, E{6, 0, "tamus", "whippotamus"},
        E{0, 2, nullptr, "ippotamus"}, E{3, 6, "", "ipp"}}) {
    if (with == nullptr) {
      CFDataDeleteBytes(m.get(), CFRangeMake(at, length));
    } else {
      CFDataReplaceBytes(m.get(), CFRangeMake(at, length), *with ? u8(with) : nullptr,
                         static_cast<CFIndex>(std::strlen(with)));
    }
    EXPECT_EQ(bytesOf(m.get()), result);
  }

  // The source may be the data's own bytes, even when the edit grows and reallocates it.
  for (int i = 0; i < 6; ++i) {
    CFDataReplaceBytes(m.get(), CFRangeMake(0, 0), CFDataGetBytePtr(m.get()), CFDataGetLength(m.get()));
  }
  EXPECT_EQ(CFDataGetLength(m.get()), 3 * 64);
  EXPECT_EQ(bytesOf(m.get()).substr(0, 9), "ippippipp");

  // Out-of-range edits are refused rather than corrupting memory.
  std::string before = bytesOf(m.get());
  CFDataReplaceBytes(m.get(), CFRangeMake(190, 5), u8("zz"), 2);
  CFDataDeleteBytes(m.get(), CFRangeMake(-1, 2));
  CFDataSetLength(m.get(), -4);
  EXPECT_EQ(bytesOf(m.get()), before);

  // Immutable data is never changed through the mutable API.
  auto fixed = blob("abc");
  CFDataAppendBytes(const_cast<CFMutableDataRef>(fixed.get()), u8("d"), 1);
  EXPECT_EQ(bytesOf(fixed.get()), "abc");

  auto big = adopt(CFDataCreateMutable(nullptr, CFIndex{1} << 50));  // absurd hint is fine
  ASSERT_TRUE(big);
  CFDataIncreaseLength(big.get(), 100000);
  EXPECT_EQ(CFDataGetLength(big.get()), 100000);
  EXPECT_EQ(CFDataGetBytePtr(big.get())[99999], 0);
}

TEST(CFData, Find) {
  auto hay = blob("abcabcab"), abc = blob("abc"), ab = blob("ab");
  CFRange r = CFDataFind(hay.get(), abc.get(), CFRangeMake(0, 8), 0);
  EXPECT_EQ(std::make_pair(r.location, r.length), std::make_pair(CFIndex{0}, CFIndex{3}));
  // {needle, location, length, flags, index found}; the last range reaches past the end.
  using F = std::tuple<CFDataRef, CFIndex, CFIndex, CFDataSearchFlags, CFIndex>;
  for (const auto& [needle, at, length, flags, found] :
       {F{abc.get(), 0, 8, kCFDataSearchBackwards, 3},
        F{ab.get(), 0, 8, kCFDataSearchBackwards | kCFDataSearchAnchored, 6},
        F{abc.get(), 1, 7, kCFDataSearchAnchored, kCFNotFound}, F{abc.get(), 1, 7, 0, 3},
        F{abc.get(), 4, 4, 0, kCFNotFound}, F{abc.get(), 4, 9, 0, kCFNotFound}}) {
    EXPECT_EQ(CFDataFind(hay.get(), needle, CFRangeMake(at, length), flags).location, found) << at;
  }

  // Inputs that make naive or skip-table searches quadratic still give the right answer.
  std::string as(65536, 'a');
  auto headB = blob("b" + std::string(255, 'a')), tailB = blob(std::string(255, 'a') + "b");
  CFRange whole = CFRangeMake(0, static_cast<CFIndex>(as.size()));
  auto flat = blob(as);
  for (CFDataSearchFlags f : {CFDataSearchFlags{0}, CFDataSearchFlags{kCFDataSearchBackwards}}) {
    EXPECT_EQ(CFDataFind(flat.get(), headB.get(), whole, f).location, kCFNotFound);
    EXPECT_EQ(CFDataFind(flat.get(), tailB.get(), whole, f).location, kCFNotFound);
  }
  as[40000] = 'b';
  flat = blob(as);
  EXPECT_EQ(CFDataFind(flat.get(), headB.get(), whole, 0).location, 40000);
  EXPECT_EQ(CFDataFind(flat.get(), headB.get(), whole, kCFDataSearchBackwards).location, 40000);
  EXPECT_EQ(CFDataFind(flat.get(), tailB.get(), whole, kCFDataSearchBackwards).location, 40000 - 255);

  // Against a plain scan over a two-letter alphabet, where overlapping partial matches abound.
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    std::string h(rng() % 40, 'a'), nd(1 + rng() % 5, 'a');
    for (char& c : h) c = static_cast<char>('a' + rng() % 2);
    for (char& c : nd) c = static_cast<char>('a' + rng() % 2);
    CFRange range = CFRangeMake(0, static_cast<CFIndex>(h.size()));
    auto expect = [](size_t at) { return at == std::string::npos ? CFIndex{kCFNotFound} : static_cast<CFIndex>(at); };
    EXPECT_EQ(CFDataFind(blob(h).get(), blob(nd).get(), range, 0).location, expect(h.find(nd))) << h << " / " << nd;
    EXPECT_EQ(CFDataFind(blob(h).get(), blob(nd).get(), range, kCFDataSearchBackwards).location, expect(h.rfind(nd)))
        << h << " / " << nd;
  }
}

}  // namespace
