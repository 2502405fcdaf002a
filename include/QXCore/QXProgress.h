/*
 * QXProgress.h — progress objects: a worker announces the stages and values of a long operation,
 * and each announcement calls the host's procedure, whose status the worker passes on (non-zero
 * asks it to stop, for instance).
 *
 * Every function accepts a NULL progress object and then does nothing (getters give 0 or NULL),
 * so workers can be called without progress reporting. A progress object takes no lock: use one
 * from one thread at a time. The callback runs on the announcing thread.
 */
#ifndef QXCORE_QXPROGRESS_H
#define QXCORE_QXPROGRESS_H

#include <QXCore/QXBase.h>
#include <stdint.h>

typedef struct __QXProgress* QXProgressRef;

/* Event codes passed to the callback by the stage functions. */
enum { kQXProgressBeginStage = 1, kQXProgressUpdateStage = 2, kQXProgressEndStage = 3 };

/* The host's procedure: reads what it needs from the object and returns a status. */
typedef QXStatus (*QXProgressCallback)(QXProgressRef progress, int32_t event);

QX_EXTERN_C_BEGIN

/* A new progress object, all fields zero, or NULL when memory runs out. */
QX_EXPORT QXProgressRef QXProgressCreate(void);
QX_EXPORT void QXProgressRetain(QXProgressRef progress);
QX_EXPORT void QXProgressRelease(QXProgressRef progress);
QX_EXPORT void QXProgressSetCB(QXProgressRef progress, QXProgressCallback callback, void* context);
QX_EXPORT void* QXProgressGetContext(QXProgressRef progress);

/* Stores the stage, its name (retained) and count, sets the value to 0, then calls the callback
   with 1. Each announcing function returns the callback's status, or 0 without a callback. */
QX_EXPORT QXStatus QXProgressDoProgressBeginStage(QXProgressRef progress, int32_t stage, CFStringRef stageName,
                                                  int32_t stageCount);
/* Stores the value, then calls the callback with 2. */
QX_EXPORT QXStatus QXProgressDoProgressUpdateStage(QXProgressRef progress, int32_t value);
/* Calls the callback with 3. */
QX_EXPORT QXStatus QXProgressDoProgressEndStage(QXProgressRef progress);
/* Calls the callback with `event`. */
QX_EXPORT QXStatus QXProgressDoProgress(QXProgressRef progress, int32_t event);

/* Plain fields; the setters call nothing. String getters return borrowed references, string
   setters retain the new value and release the old one. */
QX_EXPORT int32_t QXProgressGetStage(QXProgressRef progress);
QX_EXPORT void QXProgressSetStage(QXProgressRef progress, int32_t stage);
QX_EXPORT CFStringRef QXProgressGetStageName(QXProgressRef progress);
QX_EXPORT void QXProgressSetStageName(QXProgressRef progress, CFStringRef stageName);
QX_EXPORT CFStringRef QXProgressGetTitle(QXProgressRef progress);
QX_EXPORT void QXProgressSetTitle(QXProgressRef progress, CFStringRef title);
QX_EXPORT int32_t QXProgressGetStageValue(QXProgressRef progress);
QX_EXPORT void QXProgressSetStageValue(QXProgressRef progress, int32_t value);
QX_EXPORT int32_t QXProgressGetStageCount(QXProgressRef progress);
QX_EXPORT void QXProgressSetStageCount(QXProgressRef progress, int32_t stageCount);
QX_EXPORT intptr_t QXProgressGetRefcon(QXProgressRef progress);
QX_EXPORT void QXProgressSetRefcon(QXProgressRef progress, intptr_t refcon);

QX_EXTERN_C_END

#endif /* QXCORE_QXPROGRESS_H */
