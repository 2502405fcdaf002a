// CBaseProgress: the object behind the QXProgress handle.
#pragma once

#include <QXCore/QXProgress.h>

#include "cf/CFRef.h"
#include "core/Handle.h"

class CBaseProgress final : public CBaseCore {
 public:
  int32_t BeginStage(int32_t stage, CFStringRef stageName, int32_t stageCount);
  int32_t UpdateStage(int32_t value);
  int32_t EndStage() { return Notify(kQXProgressEndStage); }
  // Calls the host's procedure; 0 without one.
  int32_t Notify(int32_t event);

  void SetCallback(QXProgressCallback callback, void* context) {
    mCallback = callback;
    mContext = context;
  }
  void* GetContext() const { return mContext; }
  int32_t GetStage() const { return mStage; }
  void SetStage(int32_t stage) { mStage = stage; }
  CFStringRef GetStageName() const { return mStageName.get(); }
  void SetStageName(CFStringRef name) { mStageName = qxcf::CFRef<CFStringRef>::retain(name); }
  CFStringRef GetTitle() const { return mTitle.get(); }
  void SetTitle(CFStringRef title) { mTitle = qxcf::CFRef<CFStringRef>::retain(title); }
  int32_t GetStageValue() const { return mStageValue; }
  void SetStageValue(int32_t value) { mStageValue = value; }
  int32_t GetStageCount() const { return mStageCount; }
  void SetStageCount(int32_t count) { mStageCount = count; }
  intptr_t GetRefcon() const { return mRefcon; }
  void SetRefcon(intptr_t refcon) { mRefcon = refcon; }

 private:
  QXProgressCallback mCallback = nullptr;
  void* mContext = nullptr;
  int32_t mStage = 0;
  qxcf::CFRef<CFStringRef> mStageName;
  qxcf::CFRef<CFStringRef> mTitle;
  int32_t mStageValue = 0;
  int32_t mStageCount = 0;
  intptr_t mRefcon = 0;
};

namespace qx {
QX_HANDLE_CLASS(__QXProgress, CBaseProgress);
}  // namespace qx
