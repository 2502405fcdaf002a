#include <QXCore/QXBase.h>
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "core/Handle.h"

namespace {

// Counts destructions so tests can see exactly when the last reference went.
struct Probe : CBaseCore {
  explicit Probe(int* destroyed) : mDestroyed(destroyed) {}
  ~Probe() override { ++*mDestroyed; }
  int* mDestroyed;
};

TEST(BaseCore, CountsHoldersAndAtomics) {
  int destroyed = 0;
  auto* p = new Probe(&destroyed);
  p->AddRef();
  EXPECT_EQ(p->RefCount(), 2u);
  p->Release();
  EXPECT_EQ(std::pair(p->RefCount(), destroyed), std::pair(1u, 0));
  p->Release();
  EXPECT_EQ(destroyed, 1);

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
  EXPECT_EQ(destroyed, 2);

  int32_t v = 5;
  EXPECT_EQ(QXUtilsAtomicIncrement32(&v), 6);
  v = INT32_MIN + 1;
  EXPECT_EQ(QXUtilsAtomicDecrement32(&v), INT32_MIN);
  EXPECT_EQ(v, INT32_MIN);
}

TEST(BaseCore, ArraysAndDictionariesOwnTheirObjects) {
  int destroyed = 0;
  auto* a = new Probe(&destroyed);
  auto* b = new Probe(&destroyed);
  CFMutableArrayRef array = CFArrayCreateMutable(nullptr, 0, QXUtilsGetArrayCallbacks());
  for (Probe* p : {a, b, a}) CFArrayAppendValue(array, p);
  // Identity is the only equality: a second object is never "equal" to the first.
  Probe stranger(&destroyed);
  EXPECT_EQ(CFArrayGetCountOfValue(array, CFRangeMake(0, 3), a), 2);
  EXPECT_FALSE(CFArrayContainsValue(array, CFRangeMake(0, 3), &stranger));

  CFMutableDictionaryRef dict =
      CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, QXUtilsGetDictionaryValueCallbacks());
  CFDictionarySetValue(dict, CFSTR("b"), b);
  CFDictionarySetValue(dict, CFSTR("b"), a);  // replacing releases the old value
  EXPECT_EQ(std::pair(a->RefCount(), b->RefCount()), std::pair(4u, 2u));
  a->Release();
  b->Release();
  CFRelease(array);
  EXPECT_EQ(destroyed, 1);  // b went with the array
  CFRelease(dict);
  EXPECT_EQ(destroyed, 2);
}

// The nodes from front to back (a few at most, should the links run in a circle); every link must agree
// with its neighbour's, the ends and the size.
std::vector<CBaseNode*> walk(const CBaseList& list) {
  std::vector<CBaseNode*> nodes;
  for (CBaseNode* node = list.GetFront(); node && nodes.size() < 8; node = node->GetNext()) {
    EXPECT_EQ(node->GetPrevious(), nodes.empty() ? nullptr : nodes.back());
    nodes.push_back(node);
  }
  EXPECT_EQ(list.GetBack(), nodes.empty() ? nullptr : nodes.back());
  EXPECT_EQ(list.GetSize(), static_cast<int32_t>(nodes.size()));
  return nodes;
}

TEST(BaseList, LinksBothEnds) {
  using Nodes = std::vector<CBaseNode*>;
  CBaseList list;
  EXPECT_EQ(list.PopFront(), nullptr);
  EXPECT_EQ(list.PopBack(), nullptr);

  CBaseNode a, b, c;
  list.PushFront(&a);
  EXPECT_EQ(walk(list), Nodes{&a});
  list.PushBack(&b);
  list.PushFront(&c);
  EXPECT_EQ(walk(list), (Nodes{&c, &a, &b}));
  list.Remove(&a);
  EXPECT_EQ(walk(list), (Nodes{&c, &b}));
  EXPECT_TRUE(!a.GetInContainer() && !a.GetNext() && !a.GetPrevious());
  EXPECT_EQ(list.PopBack(), &b);
  EXPECT_EQ(walk(list), Nodes{&c});
  EXPECT_EQ(list.PopFront(), &c);
  EXPECT_EQ(walk(list), Nodes{});

  {
    CBaseList scoped;
    scoped.PushBack(&a);
    scoped.PushBack(&b);
    scoped.Remove(&a);
    EXPECT_EQ(walk(scoped), Nodes{&b});
  }
  EXPECT_TRUE(b.GetInContainer());  // a list never touches its nodes when it goes
}

// Callers watch standard output for these lines when hunting list corruption.
TEST(BaseList, DiagnosticLinesForBrokenLinks) {
  CBaseNode a, b, c;
  CBaseList list;
  testing::internal::CaptureStdout();
  list.PushBack(&a);
  list.PushBack(&b);
  list.PushFront(&c);
  list.Remove(&c);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  // Cut the front's link behind the list's back: the next change reports it.
  a.SetNext(nullptr);
  testing::internal::CaptureStdout();
  list.PushBack(&c);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "this should not happen\n");

  CBaseList other;
  CBaseNode x, y, z;
  other.PushBack(&x);
  other.PushBack(&y);
  other.PushBack(&z);
  x.SetNext(nullptr);
  testing::internal::CaptureStdout();
  other.Remove(&x);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "dont this this should happen\n");
}

}  // namespace
