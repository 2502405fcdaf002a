#include <QXCore/QXBase.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "core/Handle.h"

namespace {

// Counts destructions so tests can see exactly when the last reference went.
struct Probe : CBaseCore {
  explicit Probe(int* destroyed) : mDestroyed(destroyed) {}
  ~Probe() override { ++*mDestroyed; }
  int* mDestroyed;
};

TEST(BaseCore, CountsAndDeletesAtZero) {
  int destroyed = 0;
  auto* p = new Probe(&destroyed);
  EXPECT_EQ(p->RefCount(), 1u);
  p->AddRef();
  EXPECT_EQ(p->RefCount(), 2u);
  p->Release();
  EXPECT_EQ(p->RefCount(), 1u);
  EXPECT_EQ(destroyed, 0);
  p->Release();
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(CBaseCore::Initialize(7), 0);
}

TEST(BaseCore, ArraysAndDictionariesOwnTheirObjects) {
  int destroyed = 0;
  auto* a = new Probe(&destroyed);
  auto* b = new Probe(&destroyed);
  CFMutableArrayRef array = CFArrayCreateMutable(nullptr, 0, QXUtilsGetArrayCallbacks());
  CFArrayAppendValue(array, a);
  CFArrayAppendValue(array, b);
  CFArrayAppendValue(array, a);
  EXPECT_EQ(a->RefCount(), 3u);
  EXPECT_EQ(b->RefCount(), 2u);

  // Identity is the only equality: a second object is never "equal" to the first.
  CFRange all = CFRangeMake(0, CFArrayGetCount(array));
  EXPECT_EQ(CFArrayGetFirstIndexOfValue(array, all, b), 1);
  EXPECT_EQ(CFArrayGetCountOfValue(array, all, a), 2);
  int otherDestroyed = 0;
  Probe stranger(&otherDestroyed);
  EXPECT_FALSE(CFArrayContainsValue(array, all, &stranger));
  EXPECT_EQ(CBaseCore::CFArrayCopyDescriptionCallBack(a), nullptr);

  CFArrayRemoveValueAtIndex(array, 0);
  EXPECT_EQ(a->RefCount(), 2u);

  CFMutableDictionaryRef dict =
      CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, QXUtilsGetDictionaryValueCallbacks());
  CFDictionarySetValue(dict, CFSTR("b"), b);
  EXPECT_EQ(b->RefCount(), 3u);
  CFDictionarySetValue(dict, CFSTR("b"), a);  // replacing releases the old value
  EXPECT_EQ(b->RefCount(), 2u);
  EXPECT_EQ(a->RefCount(), 3u);

  a->Release();
  b->Release();
  EXPECT_EQ(destroyed, 0);
  CFRelease(array);
  EXPECT_EQ(destroyed, 1);  // b went with the array
  CFRelease(dict);
  EXPECT_EQ(destroyed, 2);
  EXPECT_EQ(QXUtilsGetArrayCallbacks(), CBaseCore::GetArrayCallbacks());
  EXPECT_EQ(QXUtilsGetDictionaryValueCallbacks(), CBaseCore::GetDictionaryValueCallbacks());
}

TEST(BaseCore, RefHolderBalancesCounts) {
  int destroyed = 0;
  {
    auto held = qx::Ref<Probe>::adopt(new Probe(&destroyed));
    auto copy = held;
    EXPECT_EQ(held->RefCount(), 2u);
    auto moved = std::move(copy);
    EXPECT_FALSE(copy);
    EXPECT_EQ(held->RefCount(), 2u);
    Probe* raw = moved.release();
    EXPECT_EQ(raw->RefCount(), 2u);
    raw->Release();
  }
  EXPECT_EQ(destroyed, 1);
}

TEST(BaseCore, AtomicCounters) {
  int32_t v = 5;
  EXPECT_EQ(QXUtilsAtomicIncrement32(&v), 6);
  EXPECT_EQ(v, 6);
  v = 1;
  EXPECT_EQ(QXUtilsAtomicDecrement32(&v), 0);
  EXPECT_EQ(v, 0);
  v = INT32_MIN + 1;
  EXPECT_EQ(QXUtilsAtomicDecrement32(&v), INT32_MIN);
}

struct Item : CBaseNode {
  int value = 0;
};

// Runs `body` with standard output captured into the returned string.
template <class F>
std::string captureStdout(F body) {
  std::fflush(stdout);
  char* buffer = nullptr;
  size_t size = 0;
  FILE* memory = open_memstream(&buffer, &size);
  FILE* saved = stdout;
  stdout = memory;
  body();
  std::fflush(stdout);
  stdout = saved;
  std::fclose(memory);
  std::string text(buffer, size);
  std::free(buffer);
  return text;
}

TEST(BaseList, LinksBothEnds) {
  CBaseList list;
  EXPECT_EQ(list.PopFront(), nullptr);
  EXPECT_EQ(list.PopBack(), nullptr);
  EXPECT_EQ(list.GetSize(), 0);

  Item a, b, c;
  list.PushFront(&a);
  EXPECT_EQ(list.GetFront(), &a);
  EXPECT_EQ(list.GetBack(), &a);
  list.PushBack(&b);
  list.PushFront(&c);  // c a b
  EXPECT_EQ(list.GetSize(), 3);
  EXPECT_EQ(list.GetFront(), &c);
  EXPECT_EQ(c.GetNext(), &a);
  EXPECT_EQ(a.GetPrevious(), &c);
  EXPECT_EQ(a.GetNext(), &b);
  EXPECT_EQ(list.GetBack(), &b);

  list.Remove(&a);  // c b
  EXPECT_EQ(c.GetNext(), &b);
  EXPECT_EQ(b.GetPrevious(), &c);
  EXPECT_FALSE(a.GetInContainer());
  EXPECT_EQ(a.GetNext(), nullptr);
  EXPECT_EQ(a.GetPrevious(), nullptr);

  EXPECT_EQ(list.PopBack(), &b);
  EXPECT_EQ(list.GetFront(), &c);
  EXPECT_EQ(list.GetBack(), &c);
  EXPECT_EQ(list.PopFront(), &c);
  EXPECT_EQ(list.GetFront(), nullptr);
  EXPECT_EQ(list.GetBack(), nullptr);
  EXPECT_EQ(list.GetSize(), 0);

  {
    CBaseList scoped;
    scoped.PushBack(&a);
    scoped.PushBack(&b);
    scoped.Remove(&a);
    EXPECT_EQ(scoped.GetFront(), &b);
    EXPECT_EQ(scoped.GetBack(), &b);
    EXPECT_EQ(scoped.GetSize(), 1);
  }
  EXPECT_TRUE(b.GetInContainer());  // a list never touches its nodes when it goes
}

TEST(BaseList, DiagnosticLinesForBrokenLinks) {
  Item a, b, c;
  CBaseList list;
  std::string healthy = captureStdout([&] {
    list.PushBack(&a);
    list.PushBack(&b);
    list.PushFront(&c);
    list.Remove(&c);
  });
  EXPECT_EQ(healthy, "");

  // Cut the front's link behind the list's back: the next change reports it.
  a.SetNext(nullptr);
  std::string broken = captureStdout([&] { list.PushBack(&c); });
  EXPECT_EQ(broken, "this should not happen\n");

  CBaseList other;
  Item x, y, z;
  other.PushBack(&x);
  other.PushBack(&y);
  other.PushBack(&z);
  x.SetNext(nullptr);
  broken = captureStdout([&] { other.Remove(&x); });
  EXPECT_EQ(broken, "dont this this should happen\n");
}

}  // namespace
