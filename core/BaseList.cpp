// The intrusive doubly linked list, with the diagnostic lines callers watch for corruption.
#include <QXCore/QXBase.h>

#include <cstdio>

namespace {
// Callers watch standard output for these lines when hunting list corruption; keep them verbatim.
void diagnose(const CBaseList& list, int32_t size, const char* line) {
  const CBaseNode* front = list.GetFront();
  if (front && !front->GetNext() && size >= 2) std::fputs(line, stdout);
}
}  // namespace

CBaseNode::~CBaseNode() = default;

void CBaseList::PushFront(CBaseNode* node) {
  node->SetPrevious(nullptr);
  node->SetNext(mFront);
  if (mFront) mFront->SetPrevious(node);
  mFront = node;
  if (!mBack) mBack = node;
  node->SetInContainer(true);
  diagnose(*this, mSize, "should not happend\n");
  ++mSize;
}

void CBaseList::PushBack(CBaseNode* node) {
  node->SetNext(nullptr);
  node->SetPrevious(mBack);
  if (mBack) mBack->SetNext(node);
  mBack = node;
  if (!mFront) mFront = node;
  node->SetInContainer(true);
  ++mSize;
  diagnose(*this, mSize, "this should not happen\n");
}

void CBaseList::Remove(CBaseNode* node) {
  if (node == mFront && !node->GetNext() && mSize >= 2) std::fputs("dont this this should happen\n", stdout);
  CBaseNode* previous = node->GetPrevious();
  CBaseNode* next = node->GetNext();
  if (previous) previous->SetNext(next);
  if (next) next->SetPrevious(previous);
  if (mFront == node) mFront = next;
  if (mBack == node) mBack = previous;
  node->SetNext(nullptr);
  node->SetPrevious(nullptr);
  node->SetInContainer(false);
  --mSize;
  diagnose(*this, mSize, "this should not happen\n");
}

CBaseNode* CBaseList::PopFront() {
  CBaseNode* node = mFront;
  if (node) Remove(node);
  return node;
}

CBaseNode* CBaseList::PopBack() {
  CBaseNode* node = mBack;
  if (node) Remove(node);
  return node;
}
