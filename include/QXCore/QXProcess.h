/*
 * QXProcess.h — the host's main thread and its run queue, launching and killing processes,
 * modules, and facts about the process and the machine.
 *
 * Main thread. QXProcessInit records the calling thread as the main thread. Any thread may then
 * queue work for it with QXProcessRunOnMainThread; the work runs when the host's event loop calls
 * QXProcessRunMainThreadQueue on the main thread. The loop learns that work is waiting by polling
 * QXProcessGetMainThreadQueueFD (an eventfd that becomes readable), or simply calls
 * QXProcessRunMainThreadQueue on every turn.
 *
 * Unless stated otherwise every function may be called from any thread. Copy and Create results
 * are new references the caller releases; Get results are borrowed.
 */
#ifndef QXCORE_QXPROCESS_H
#define QXCORE_QXPROCESS_H

#include <QXCore/QXBase.h>
#include <stdbool.h>
#include <stddef.h>

/* Work for the main thread: receives the argument and the object given to QXProcessRunOnMainThread. */
typedef void (*QXProcessMainThreadFunction)(void* argument, CFTypeRef object);

/* Flag of QXProcessLaunchApplication2: do not wrap each argument in double quotes in the
   parameter string (the logged command line). The programme receives its arguments unchanged
   either way. */
enum { kQXProcessLaunchNoQuotes = 0x100000 };

QX_EXTERN_C_BEGIN

/* ---- Main thread ---- */

/* The first call records the calling thread as the main thread and creates the run queue; later
   calls do nothing. Returns 0, the errno of creating the eventfd (nothing is recorded then) or
   kQXErrMemory. */
QX_EXPORT QXStatus QXProcessInit(void);
/* Whether the caller is the main thread. Before QXProcessInit it writes "QXProcess has not been
   initialized" to standard error and returns false. */
QX_EXPORT bool QXProcessGetIsMainThread(void);
/* Queues function(argument, object) for the main thread and returns at once. The queue takes over
   the caller's reference to `object` (may be NULL) and releases it after the function has run.
   Called before QXProcessInit, it makes the calling thread the main thread. Returns 0; kQXErrMemory
   when memory runs out (object is released, function never runs); kQXErrInvalidArgument for a NULL
   function. */
QX_EXPORT QXStatus QXProcessRunOnMainThread(QXProcessMainThreadFunction function, void* argument, CFTypeRef object);
/* For the host's event loop, on the main thread: clears the eventfd, then runs, in queue order,
   the items that were queued when it started (items queued meanwhile wait for the next call, also
   when a function runs the queue again itself). A function that throws a C++ exception is logged
   at level 1 and the next item runs. Returns 0; on any other thread, or before QXProcessInit, it
   runs nothing and returns kQXErrGeneric. */
QX_EXPORT QXStatus QXProcessRunMainThreadQueue(void);
/* The run queue's eventfd (non-blocking, close-on-exec): readable while work may be waiting.
   -1 before QXProcessInit. The library owns the descriptor; do not close it. */
QX_EXPORT int QXProcessGetMainThreadQueueFD(void);
QX_EXPORT uint32_t QXProcessGetPID(void);
/* The kernel id of the calling thread (same as QXThreadGetCurrentThreadID). */
QX_EXPORT uint32_t QXProcessGetCurrentThreadID(void);

/* ---- Launching and killing ---- */

/* QXProcessLaunchApplication2(url, arguments, 1, NULL). */
QX_EXPORT QXStatus QXProcessLaunchApplication(CFURLRef url, CFArrayRef arguments);
/* Starts the file at `url` (symbolic links resolved). An executable regular file is started with
   posix_spawn and receives each element of `arguments` as one argv entry: a CFString as it is, a
   CFURL as its file-system path; other elements are skipped. Anything else (a document, a folder)
   is opened with xdg-open, which receives only the path; the process id reported is then that of
   xdg-open. Children are reaped by the library (no zombie is left, SIGCHLD handling is untouched).
   *outPID (when given) is 0 until a child has started. Returns 0 with the child's pid in *outPID;
   kQXErrInvalidArgument for a NULL url; kQXErrGeneric when `url` or a URL argument has no
   file-system path (not a file URL: nothing is started); kQXErrMemory when memory runs out; else
   the errno (ENOENT for a missing file). Every failure is logged at level 1 as "::ShellExecuteEx
   error code: <status>". */
QX_EXPORT QXStatus QXProcessLaunchApplication2(CFURLRef url, CFArrayRef arguments, uint32_t flags, uint32_t* outPID);
/* Sends SIGKILL to the process. A process that cannot be signalled (gone, not ours) and ids that
   do not name one process (0, or above INT_MAX) are left alone. Returns 0. */
QX_EXPORT QXStatus QXProcessKill(uint32_t pid);
/* The main executable's path as a file URL; NULL when it cannot be read. */
QX_EXPORT CFURLRef QXProcessCreateCurrentProcessPath(void);

/* ---- Modules (handles from dlopen) ---- */

/* Loads the library at the URL's path. Returns 0, or kQXErrGeneric with *outModule NULL (the
   dlerror text is logged at level 1), also for a URL that is not a file URL; kQXErrInvalidArgument
   for NULL arguments. */
QX_EXPORT QXStatus QXProcessLoadDylib(CFURLRef url, void** outModule);
QX_EXPORT QXStatus QXProcessLoadFramework(CFURLRef url, void** outModule);
/* Drops one load reference. Returns 0 (also for NULL). */
QX_EXPORT QXStatus QXProcessUnloadDylib(void* module);
/* Looks up a symbol by name (ASCII, at most 255 characters). Returns 0, or kQXErrGeneric with
 *outFunction NULL (logged at level 1); kQXErrInvalidArgument for NULL arguments. */
QX_EXPORT QXStatus QXProcessGetDylibFunctionPointForName(void* module, CFStringRef name, void** outFunction);
QX_EXPORT QXStatus QXProcessGetFunctionPointForName(void* module, CFStringRef name, void** outFunction);
/* Loads the module's own file again, taking one more load reference (release it with
   QXProcessUnloadDylib). Returns 0 or kQXErrGeneric as QXProcessLoadDylib. */
QX_EXPORT QXStatus QXProcessOpenFrameworkAgain(void* module, void** outModule);

/* ---- Facts ---- */

/* The process's arguments without the programme name (argv[1...]); a new array of strings. */
QX_EXPORT CFArrayRef QXProcessGetCmdLineCopy(void);
/* Logical processors online; at least 1. */
QX_EXPORT int32_t QXProcessGetNumProcessors(void);
/* Processor cores (distinct package and core ids); never 0 and never above the logical count. */
QX_EXPORT int32_t QXProcessGetNumPhysicalProcessors(void);
/* Bytes of memory the process can count on: MemTotal less the kernel slab, or the process's
   cgroup memory limit when that is smaller. */
QX_EXPORT uint64_t QXProcessGetPhysicalMem(void);
/* The ids of all running processes: a new set of CFNumbers (kCFNumberSInt32Type). */
QX_EXPORT CFSetRef QXProcessGetPIDSCopy(void);
/* malloc and free. */
QX_EXPORT void* QXProcessAllocateVirtualMemory(size_t size);
QX_EXPORT void QXProcessFreeVirtualMemory(void* memory);
/* Always false on this platform. */
QX_EXPORT bool QXProcessGetSandboxed(void);
/* The login name of the process's user (borrowed, cached); NULL when it cannot be read. */
QX_EXPORT CFStringRef QXProcessGetUserName(void);

/* Application version. Linux executables carry no version resource, so the host states its
   version with QXProcessSetAppVersion (for instance "9.5.1"), best before anything asks for it.
   The string is copied (a mutable string changed later does not change the version). Setting it
   again replaces the cached version, its numeric form and the derived build string.
   Strings returned by the getters stay valid for the life of the process, even after a change. */
QX_EXPORT void QXProcessSetAppVersion(CFStringRef version);
/* Overrides the build string derived from the version with a copy of `build` (NULL goes back to
   the derived one). */
QX_EXPORT void QXProcessSetBuildString(CFStringRef build);
/* The version set by the host (borrowed). Without one it logs "Version should not be NULL." at
   level 1 and returns NULL. */
QX_EXPORT CFStringRef QXProcessGetAppVersion(void);
/* The first three dot-separated parts of the version weighted 100, 10 and 1 ("9.5.1" gives 951,
   "9.5" gives 950). A part that is not an integer stops the sum (logged); 0 is logged as an
   error. A non-zero result is cached until the version changes. */
QX_EXPORT uint32_t QXProcessGetAppVersionBCD(void);
/* "%d.%d.%d.%d" of the first four integer parts of the version (missing parts are 0), or the
   string given to QXProcessSetBuildString; borrowed; NULL without a version. */
QX_EXPORT CFStringRef QXProcessGetBuildString(void);
/* Not available on this platform: NULL and 0. */
QX_EXPORT CFStringRef QXProcessGetCopyHWMachineModel(void);
QX_EXPORT uint32_t QXProcessGetPIDWithAppID(CFStringRef appID);

QX_EXTERN_C_END

#endif /* QXCORE_QXPROCESS_H */
