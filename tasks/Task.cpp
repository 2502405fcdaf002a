// The task base class: identity, priority, names and the hooks a queue calls around a run.
#include <QXCore/QXThreads.h>

namespace {

void replaceString(CFStringRef& field, CFStringRef value) {
  if (value) CFRetain(value);
  if (field) CFRelease(field);
  field = value;
}

}  // namespace

CBaseTask::CBaseTask() = default;

CBaseTask::~CBaseTask() {
  if (mKey) CFRelease(mKey);
  if (mDisplayName) CFRelease(mDisplayName);
}

int32_t CBaseTask::Compare(CBaseTask* other) {
  if (other == nullptr) return 0;
  if (mPriority < other->mPriority) return 1;
  if (mPriority > other->mPriority) return -1;
  if (other->mSubmitTime > mSubmitTime) return -1;
  if (mSubmitTime > other->mSubmitTime) return 1;
  return 0;
}

void CBaseTask::SetKey(CFStringRef key) { replaceString(mKey, key); }

void CBaseTask::SetDisplayName(CFStringRef name) { replaceString(mDisplayName, name); }
