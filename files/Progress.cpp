// Progress objects: stages and values reported to the host's procedure.
#include "files/Progress.h"

int32_t CBaseProgress::BeginStage(int32_t stage, CFStringRef stageName, int32_t stageCount) {
  // The host's procedure reads the new stage from the object, so store everything first.
  mStage = stage;
  SetStageName(stageName);
  mStageCount = stageCount;
  mStageValue = 0;
  return Notify(kQXProgressBeginStage);
}

int32_t CBaseProgress::UpdateStage(int32_t value) {
  mStageValue = value;
  return Notify(kQXProgressUpdateStage);
}

int32_t CBaseProgress::Notify(int32_t event) {
  return mCallback ? mCallback(qx::toHandle<__QXProgress>(this), event) : 0;
}

namespace {
CBaseProgress* object(QXProgressRef progress) { return qx::fromHandle(progress); }
}  // namespace

QXProgressRef QXProgressCreate(void) { return qx::toHandle<__QXProgress>(qx::make<CBaseProgress>().release()); }
void QXProgressRetain(QXProgressRef progress) {
  if (progress) qx::retainHandle(progress);
}
void QXProgressRelease(QXProgressRef progress) {
  if (progress) qx::releaseHandle(progress);
}

void QXProgressSetCB(QXProgressRef progress, QXProgressCallback callback, void* context) {
  if (progress) object(progress)->SetCallback(callback, context);
}
void* QXProgressGetContext(QXProgressRef progress) { return progress ? object(progress)->GetContext() : nullptr; }

QXStatus QXProgressDoProgressBeginStage(QXProgressRef progress, int32_t stage, CFStringRef stageName,
                                        int32_t stageCount) {
  return progress ? object(progress)->BeginStage(stage, stageName, stageCount) : 0;
}
QXStatus QXProgressDoProgressUpdateStage(QXProgressRef progress, int32_t value) {
  return progress ? object(progress)->UpdateStage(value) : 0;
}
QXStatus QXProgressDoProgressEndStage(QXProgressRef progress) { return progress ? object(progress)->EndStage() : 0; }
QXStatus QXProgressDoProgress(QXProgressRef progress, int32_t event) {
  return progress ? object(progress)->Notify(event) : 0;
}

int32_t QXProgressGetStage(QXProgressRef progress) { return progress ? object(progress)->GetStage() : 0; }
void QXProgressSetStage(QXProgressRef progress, int32_t stage) {
  if (progress) object(progress)->SetStage(stage);
}
CFStringRef QXProgressGetStageName(QXProgressRef progress) {
  return progress ? object(progress)->GetStageName() : nullptr;
}
void QXProgressSetStageName(QXProgressRef progress, CFStringRef stageName) {
  if (progress) object(progress)->SetStageName(stageName);
}
CFStringRef QXProgressGetTitle(QXProgressRef progress) { return progress ? object(progress)->GetTitle() : nullptr; }
void QXProgressSetTitle(QXProgressRef progress, CFStringRef title) {
  if (progress) object(progress)->SetTitle(title);
}
int32_t QXProgressGetStageValue(QXProgressRef progress) { return progress ? object(progress)->GetStageValue() : 0; }
void QXProgressSetStageValue(QXProgressRef progress, int32_t value) {
  if (progress) object(progress)->SetStageValue(value);
}
int32_t QXProgressGetStageCount(QXProgressRef progress) { return progress ? object(progress)->GetStageCount() : 0; }
void QXProgressSetStageCount(QXProgressRef progress, int32_t stageCount) {
  if (progress) object(progress)->SetStageCount(stageCount);
}
intptr_t QXProgressGetRefcon(QXProgressRef progress) { return progress ? object(progress)->GetRefcon() : 0; }
void QXProgressSetRefcon(QXProgressRef progress, intptr_t refcon) {
  if (progress) object(progress)->SetRefcon(refcon);
}
