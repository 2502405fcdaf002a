#include <CoreFoundation/CFData.h>

#include "CFRef.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using qxcf::adopt;
using qxcf::CFRef;

namespace {

std::string bytes(CFDataRef d) {
  return std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(d)), static_cast<size_t>(CFDataGetLength(d)));
}

const UInt8* u8(const char* s) { return reinterpret_cast<const UInt8*>(s); }

struct Counts {
  int deallocs = 0;
  void* lastFreed = nullptr;
};

void* countingAlloc(CFIndex size, CFOptionFlags, void*) { return std::malloc(static_cast<size_t>(size)); }
void countingDealloc(void* p, void* info) {
  auto* c = static_cast<Counts*>(info);
  ++c->deallocs;
  c->lastFreed = p;
  std::free(p);
}

TEST(CFData, CreateCopyEqualityAndHash) {
  CFRef<CFDataRef> a = adopt(CFDataCreate(nullptr, u8("abc\0def"), 7));
  ASSERT_TRUE(a);
  EXPECT_EQ(bytes(a.get()), std::string("abc\0def", 7));
  CFRef<CFDataRef> copy = adopt(CFDataCreateCopy(nullptr, a.get()));
  EXPECT_NE(CFDataGetBytePtr(copy.get()), CFDataGetBytePtr(a.get()));
  EXPECT_TRUE(CFEqual(a.get(), copy.get()));
  EXPECT_EQ(CFHash(a.get()), CFHash(copy.get()));
  CFRef<CFMutableDataRef> m = adopt(CFDataCreateMutableCopy(nullptr, 0, a.get()));
  EXPECT_TRUE(CFEqual(a.get(), m.get()));  // mutability does not matter
  EXPECT_EQ(CFHash(a.get()), CFHash(m.get()));
  CFRef<CFDataRef> other = adopt(CFDataCreate(nullptr, u8("abc\0deg"), 7));
  EXPECT_FALSE(CFEqual(a.get(), other.get()));
  CFRef<CFDataRef> shorter = adopt(CFDataCreate(nullptr, u8("abc"), 3));
  EXPECT_FALSE(CFEqual(a.get(), shorter.get()));

  // Equal data beyond the hashed prefix still hash alike; a difference past it only affects equality.
  std::vector<UInt8> big(1000, 7);
  CFRef<CFDataRef> b1 = adopt(CFDataCreate(nullptr, big.data(), 1000));
  big[999] = 8;
  CFRef<CFDataRef> b2 = adopt(CFDataCreate(nullptr, big.data(), 1000));
  EXPECT_FALSE(CFEqual(b1.get(), b2.get()));

  CFRef<CFDataRef> empty = adopt(CFDataCreate(nullptr, nullptr, 0));
  ASSERT_TRUE(empty);
  EXPECT_EQ(CFDataGetLength(empty.get()), 0);
  EXPECT_NE(CFDataGetBytePtr(empty.get()), nullptr);
  EXPECT_EQ(CFDataCreate(nullptr, nullptr, 5), nullptr);
  EXPECT_EQ(CFDataCreate(nullptr, u8("x"), -1), nullptr);

  UInt8 out[4] = {9, 9, 9, 9};
  CFDataGetBytes(a.get(), CFRangeMake(4, 3), out);
  EXPECT_EQ(std::memcmp(out, "def\x09", 4), 0);
  CFDataGetBytes(a.get(), CFRangeMake(5, 3), out);  // past the end: nothing copied
  EXPECT_EQ(std::memcmp(out, "def\x09", 4), 0);
  CFDataGetBytes(a.get(), CFRangeMake(-1, 2), out);
  EXPECT_EQ(std::memcmp(out, "def\x09", 4), 0);
}

TEST(CFData, NoCopyHonoursTheDeallocator) {
  Counts counts;
  CFAllocatorContext ctx{};
  ctx.info = &counts;
  ctx.allocate = countingAlloc;
  ctx.deallocate = countingDealloc;
  CFRef<CFAllocatorRef> custom = adopt(CFAllocatorCreate(nullptr, &ctx));
  ASSERT_TRUE(custom);

  auto* block = static_cast<UInt8*>(std::malloc(4));
  std::memcpy(block, "wxyz", 4);
  CFDataRef d = CFDataCreateWithBytesNoCopy(nullptr, block, 4, custom.get());
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(CFDataGetBytePtr(d), block);  // not copied
  CFRef<CFDataRef> copy = adopt(CFDataCreateCopy(nullptr, d));
  CFRelease(d);
  EXPECT_EQ(counts.deallocs, 1);
  EXPECT_EQ(counts.lastFreed, block);
  EXPECT_EQ(bytes(copy.get()), "wxyz");  // the copy owned its own bytes

  // kCFAllocatorNull: the caller keeps the bytes.
  UInt8 stack[3] = {1, 2, 3};
  CFDataRef borrowed = CFDataCreateWithBytesNoCopy(nullptr, stack, 3, kCFAllocatorNull);
  ASSERT_NE(borrowed, nullptr);
  EXPECT_EQ(CFDataGetBytePtr(borrowed), stack);
  CFRelease(borrowed);  // must not free stack memory (ASan would report it)
  EXPECT_EQ(counts.deallocs, 1);

  // NULL and the default allocator free with free(); ASan reports a leak otherwise.
  CFRelease(CFDataCreateWithBytesNoCopy(nullptr, static_cast<UInt8*>(std::malloc(8)), 8, nullptr));
  CFRelease(CFDataCreateWithBytesNoCopy(nullptr, static_cast<UInt8*>(std::malloc(8)), 8, kCFAllocatorDefault));
  CFRelease(CFDataCreateWithBytesNoCopy(nullptr, static_cast<UInt8*>(std::malloc(8)), 8, kCFAllocatorMalloc));

  // The object itself from a custom allocator: storage returns to it.
  int before = counts.deallocs;
  CFRelease(CFDataCreate(custom.get(), u8("abc"), 3));
  EXPECT_EQ(counts.deallocs, before + 1);
}

TEST(CFData, MutableEditing) {
  CFRef<CFMutableDataRef> m = adopt(CFDataCreateMutable(nullptr, 2));  // a hint, not a limit
  ASSERT_TRUE(m);
  CFDataAppendBytes(m.get(), u8("hello"), 5);
  CFDataAppendBytes(m.get(), u8(" world"), 6);
  EXPECT_EQ(bytes(m.get()), "hello world");

  CFDataSetLength(m.get(), 5);
  EXPECT_EQ(bytes(m.get()), "hello");
  CFDataSetLength(m.get(), 7);  // bytes cut off before must come back as zeros
  EXPECT_EQ(bytes(m.get()), std::string("hello\0\0", 7));
  CFDataSetLength(m.get(), 5);
  CFDataIncreaseLength(m.get(), 3);
  EXPECT_EQ(bytes(m.get()), std::string("hello\0\0\0", 8));
  CFDataSetLength(m.get(), 5);

  CFDataReplaceBytes(m.get(), CFRangeMake(1, 3), u8("ipp"), 3);
  EXPECT_EQ(bytes(m.get()), "hippo");
  CFDataReplaceBytes(m.get(), CFRangeMake(0, 1), u8("wh"), 2);
  EXPECT_EQ(bytes(m.get()), "whippo");
  CFDataReplaceBytes(m.get(), CFRangeMake(6, 0), u8("tamus"), 5);
  EXPECT_EQ(bytes(m.get()), "whippotamus");
  CFDataDeleteBytes(m.get(), CFRangeMake(0, 2));
  EXPECT_EQ(bytes(m.get()), "ippotamus");
  CFDataReplaceBytes(m.get(), CFRangeMake(3, 6), nullptr, 0);
  EXPECT_EQ(bytes(m.get()), "ipp");

  // The source may be the data's own bytes, even when the edit grows and reallocates it.
  for (int i = 0; i < 6; ++i) {
    CFDataReplaceBytes(m.get(), CFRangeMake(0, 0), CFDataGetBytePtr(m.get()), CFDataGetLength(m.get()));
  }
  EXPECT_EQ(CFDataGetLength(m.get()), 3 * 64);
  EXPECT_EQ(bytes(m.get()).substr(0, 9), "ippippipp");

  // Out-of-range edits are refused rather than corrupting memory.
  std::string before = bytes(m.get());
  CFDataReplaceBytes(m.get(), CFRangeMake(190, 5), u8("zz"), 2);
  CFDataDeleteBytes(m.get(), CFRangeMake(-1, 2));
  CFDataSetLength(m.get(), -4);
  EXPECT_EQ(bytes(m.get()), before);

  // Immutable data is never changed through the mutable API.
  CFRef<CFDataRef> fixed = adopt(CFDataCreate(nullptr, u8("abc"), 3));
  CFDataAppendBytes(const_cast<CFMutableDataRef>(fixed.get()), u8("d"), 1);
  EXPECT_EQ(bytes(fixed.get()), "abc");

  CFRef<CFMutableDataRef> big = adopt(CFDataCreateMutable(nullptr, CFIndex{1} << 50));  // absurd hint is fine
  ASSERT_TRUE(big);
  CFDataIncreaseLength(big.get(), 100000);
  EXPECT_EQ(CFDataGetLength(big.get()), 100000);
  EXPECT_EQ(CFDataGetBytePtr(big.get())[99999], 0);
}

TEST(CFData, Find) {
  CFRef<CFDataRef> hay = adopt(CFDataCreate(nullptr, u8("abcabcab"), 8));
  CFRef<CFDataRef> abc = adopt(CFDataCreate(nullptr, u8("abc"), 3));
  CFRef<CFDataRef> ab = adopt(CFDataCreate(nullptr, u8("ab"), 2));
  CFRange all = CFRangeMake(0, 8);
  CFRange r = CFDataFind(hay.get(), abc.get(), all, 0);
  EXPECT_EQ(r.location, 0);
  EXPECT_EQ(r.length, 3);
  EXPECT_EQ(CFDataFind(hay.get(), abc.get(), all, kCFDataSearchBackwards).location, 3);
  EXPECT_EQ(CFDataFind(hay.get(), ab.get(), all, kCFDataSearchBackwards | kCFDataSearchAnchored).location, 6);
  EXPECT_EQ(CFDataFind(hay.get(), abc.get(), CFRangeMake(1, 7), kCFDataSearchAnchored).location, kCFNotFound);
  EXPECT_EQ(CFDataFind(hay.get(), abc.get(), CFRangeMake(1, 7), 0).location, 3);
  EXPECT_EQ(CFDataFind(hay.get(), abc.get(), CFRangeMake(4, 4), 0).location, kCFNotFound);
  EXPECT_EQ(CFDataFind(hay.get(), abc.get(), CFRangeMake(4, 9), 0).location, kCFNotFound);  // invalid range

  // Inputs that make naive or skip-table searches quadratic still give the right answer.
  std::string as(65536, 'a');
  std::string needle = "b" + std::string(255, 'a'), tail = std::string(255, 'a') + "b";
  CFRef<CFDataRef> flat = adopt(CFDataCreate(nullptr, u8(as.c_str()), static_cast<CFIndex>(as.size())));
  CFRef<CFDataRef> headB = adopt(CFDataCreate(nullptr, u8(needle.c_str()), static_cast<CFIndex>(needle.size())));
  CFRef<CFDataRef> tailB = adopt(CFDataCreate(nullptr, u8(tail.c_str()), static_cast<CFIndex>(tail.size())));
  CFRange whole = CFRangeMake(0, static_cast<CFIndex>(as.size()));
  for (CFDataSearchFlags f : {CFDataSearchFlags{0}, CFDataSearchFlags{kCFDataSearchBackwards}}) {
    EXPECT_EQ(CFDataFind(flat.get(), headB.get(), whole, f).location, kCFNotFound);
    EXPECT_EQ(CFDataFind(flat.get(), tailB.get(), whole, f).location, kCFNotFound);
  }
  as[40000] = 'b';
  flat = adopt(CFDataCreate(nullptr, u8(as.c_str()), static_cast<CFIndex>(as.size())));
  EXPECT_EQ(CFDataFind(flat.get(), headB.get(), whole, 0).location, 40000);
  EXPECT_EQ(CFDataFind(flat.get(), headB.get(), whole, kCFDataSearchBackwards).location, 40000);
  EXPECT_EQ(CFDataFind(flat.get(), tailB.get(), whole, kCFDataSearchBackwards).location, 40000 - 255);

  // Against a plain scan over a two-letter alphabet, where overlapping partial matches abound.
  std::srand(7);
  for (int round = 0; round < 300; ++round) {
    std::string h(static_cast<size_t>(std::rand() % 40), 'a'), nd(static_cast<size_t>(1 + std::rand() % 5), 'a');
    for (char& c : h) c = static_cast<char>('a' + std::rand() % 2);
    for (char& c : nd) c = static_cast<char>('a' + std::rand() % 2);
    CFRef<CFDataRef> hd = adopt(CFDataCreate(nullptr, u8(h.data()), static_cast<CFIndex>(h.size())));
    CFRef<CFDataRef> nn = adopt(CFDataCreate(nullptr, u8(nd.data()), static_cast<CFIndex>(nd.size())));
    CFRange range = CFRangeMake(0, static_cast<CFIndex>(h.size()));
    size_t first = h.find(nd), last = h.rfind(nd);
    EXPECT_EQ(CFDataFind(hd.get(), nn.get(), range, 0).location,
              first == std::string::npos ? CFIndex{kCFNotFound} : static_cast<CFIndex>(first))
        << h << " / " << nd;
    EXPECT_EQ(CFDataFind(hd.get(), nn.get(), range, kCFDataSearchBackwards).location,
              last == std::string::npos ? CFIndex{kCFNotFound} : static_cast<CFIndex>(last))
        << h << " / " << nd;
  }
}

}  // namespace
