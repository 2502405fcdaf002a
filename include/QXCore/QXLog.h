/*
 * QXLog.h — the process-wide log manager and its loggers.
 *
 * Every logging function formats one line and hands it to each registered logger, in
 * registration order, under the manager's lock (lines from different threads never interleave).
 * A line is: indent, thread tag "[%c%d] " ('m' on the main thread), the prefix
 * "%d-%d-%d %d:%02d:%2.0f %@ - " (local date and time, source), the message, " Error Number = %d"
 * when an error number is given, and a line feed when the style asks for one.
 *
 * Levels: lower is more severe (1 errors, 4 ordinary messages); anything above 4 is dropped.
 * Logging never reports failure: a bad format or a logger that cannot write gives no output.
 * All functions may be called from any thread. A logger's procedures run with the manager's lock
 * held; a line logged from inside a logger's log procedure (same thread) is dropped.
 */
#ifndef QXCORE_QXLOG_H
#define QXCORE_QXLOG_H

#include <QXCore/QXBase.h>
#include <stdarg.h>
#include <stdbool.h>

typedef struct __QXLogger* QXLoggerRef;

typedef struct QXLogStyle {
  bool newline;    /* a line feed ends the line */
  bool timestamp;  /* the date, time and source prefix is written */
  bool threadTag;  /* the thread tag is written */
  bool indent;     /* the line is indented by the thread's indent */
  bool indentWrap; /* the process-wide indent counter goes back to 1 after 100 */
  int32_t level;   /* severity: 1 error ... 4 ordinary; above 4 is dropped */
} QXLogStyle;

/* Procedures of an external logger; each may be NULL. */
typedef void (*QXLoggerLogProc)(void* context, CFStringRef line);
typedef void (*QXLoggerStartupProc)(void* context);
typedef void (*QXLoggerShutdownProc)(void* context);
typedef struct QXLoggerProcs {
  QXLoggerLogProc log;
  QXLoggerStartupProc startup;
  QXLoggerShutdownProc shutdown;
} QXLoggerProcs;

#ifndef QX_PRINTF_FORMAT
#if defined(__GNUC__)
#define QX_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define QX_PRINTF_FORMAT(f, a)
#endif
#endif

QX_EXTERN_C_BEGIN

/* Newline and timestamp on, thread tag, indent and wrap off, level 4. */
QX_EXPORT QXLogStyle QXLogGetDefaultLogStyle(void);
/* A CF format (%@ allowed) with the default style, no source, no error number. */
QX_EXPORT void QXLog(CFStringRef format, ...);
QX_EXPORT void QXLogV(CFStringRef format, va_list arguments);
QX_EXPORT void QXLogWithStyle(const QXLogStyle* style, CFStringRef format, ...);
QX_EXPORT void QXLogWithStyleV(const QXLogStyle* style, CFStringRef format, va_list arguments);
/* Newline and timestamp on, the other flags off, at `level`, under `source` (NULL: the source set
   with QXLogSetSource, else "Orvex"); an error number other than 0 is appended to the line. */
QX_EXPORT void QXLogWithParams(int32_t level, CFStringRef source, int32_t error, CFStringRef format, ...);
QX_EXPORT void QXLogWithParamsV(int32_t level, CFStringRef source, int32_t error, CFStringRef format,
                                va_list arguments);
/* printf-style UTF-8 text, logged with thread tag and wrapping indent and no line feed of its own
   (end the text with "\n"). At most 2,047 bytes are kept: a longer message is cut at a character
   boundary and ends with a line feed. */
QX_EXPORT void QXLogUTF8(const char* format, ...) QX_PRINTF_FORMAT(1, 2);
/* "Event (<error>) on line <line> of <file>\n" at level 1 under `source`. */
QX_EXPORT void QXLogError(CFStringRef source, int32_t error, const char* file, int32_t line);
/* "Event (<error>) on line <line> of <file>\n" at level 4 under the default source. */
QX_EXPORT void QXLogEvent(int32_t error, const char* file, int32_t line);
/* The default source for lines without one (retained; NULL clears it). */
QX_EXPORT void QXLogSetSource(CFStringRef source);

/* Registers a logger (retained) and calls its Startup. The logger stays registered whatever Startup
   returns: a file logger whose file cannot be opened stays registered and writes nothing. */
QX_EXPORT void QXLogAddLogger(QXLoggerRef logger);
/* When the logger is registered: calls its Shutdown and unregisters it (released). Otherwise
   nothing happens. */
QX_EXPORT void QXLogRemoveLogger(QXLoggerRef logger);
/* Unregisters every logger without calling Shutdown (a file logger closes its file when its last
   reference goes). */
QX_EXPORT void QXLogRemoveAllLoggers(void);
/* Registers a file logger for `url`, which is emptied at once. With NULL: when no logger is
   registered yet, the file "orvexLog.txt" in the user's data folder, "Orvex Software"; otherwise
   nothing. Returns 0; the status of finding the default file; kQXErrGeneric for a URL that is not a
   file URL, or the errno of opening the file (nothing is registered then, so a later call with NULL
   still creates the default logger); kQXErrMemory when memory runs out. */
QX_EXPORT QXStatus QXLogAddFileLogger(CFURLRef url);
/* The URL of `fileName` in the user's data folder, "Orvex Software" (and `subFolder` when not
   NULL), creating the folders. Returns 0, or the errno of finding or creating the folder with
   *outURL NULL; kQXErrInvalidArgument (*outURL NULL) for a NULL outURL, a fileName that is not one
   file name (NULL, empty, ".", "..", or containing "/") or a subFolder that is not a relative
   partial path of such names ("Logs/Today"; nothing absolute, no ".."). */
QX_EXPORT QXStatus QXLogGetLogFilePathCopy(CFStringRef subFolder, CFStringRef fileName, CFURLRef* outURL);

/* A new external logger without procedures, or NULL when memory runs out. */
QX_EXPORT QXLoggerRef QXLoggerCreate(void);
/* Sets the procedures (copied; NULL clears them) and the context given to each. Only external
   loggers (from QXLoggerCreate) take procedures. */
QX_EXPORT void QXLoggerSetProcs(QXLoggerRef logger, const QXLoggerProcs* procs, void* context);
QX_EXPORT void QXLoggerRetain(QXLoggerRef logger);
QX_EXPORT void QXLoggerRelease(QXLoggerRef logger);

QX_EXTERN_C_END

#if defined(__cplusplus)
#include <stdio.h>

/* A destination for log lines. Log receives each line with the manager's lock held; it must not
   log (such lines are dropped). */
class QX_EXPORT CBaseLogger : public CBaseCore {
 public:
  virtual void Log(CFStringRef line) = 0;
  /* Called when registered; returns 0 or an errno. */
  virtual QXStatus Startup() = 0;
  /* Called when unregistered by QXLogRemoveLogger. */
  virtual void Shutdown() = 0;
};

/* Writes lines as UTF-8 to a file, flushing each. */
class QX_EXPORT CBaseLoggerFile : public CBaseLogger {
 public:
  explicit CBaseLoggerFile(CFURLRef url); /* retains url */
  ~CBaseLoggerFile() override;
  void Log(CFStringRef line) override;
  /* Writes "CBaseLoggerFile::Startup> Logging to file \"<path>\"\n" to standard output and opens
     the file for writing, emptying it. Returns 0, kQXErrGeneric for a URL that is not a file URL,
     or the errno (the logger then writes nothing). */
  QXStatus Startup() override;
  void Shutdown() override;

 private:
  CFURLRef mURL;
  FILE* mFile = nullptr;
};

/* Hands lines to the host's procedures. */
class QX_EXPORT CBaseLoggerExternal : public CBaseLogger {
 public:
  void Log(CFStringRef line) override;
  /* Calls the startup procedure; returns 0. An exception thrown by a procedure is swallowed. */
  QXStatus Startup() override;
  void Shutdown() override;
  void SetProcs(const QXLoggerProcs* procs, void* context);

 private:
  QXLoggerProcs mProcs = {nullptr, nullptr, nullptr};
  void* mContext = nullptr;
};
#endif /* __cplusplus */

#endif /* QXCORE_QXLOG_H */
