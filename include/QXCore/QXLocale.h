/*
 * QXLocale.h — the interface language, the process-wide table of localised strings, and
 * CBasePreferences, an application's settings kept as a property-list file.
 *
 * The QXLocale functions may be called from any thread; the process-wide state is guarded by one
 * lock. Strings returned by the Get functions are borrowed but stay valid for the life of the
 * process (a replaced value is retired, not released), so a caller never needs to retain them.
 */
#ifndef QXCORE_QXLOCALE_H
#define QXCORE_QXLOCALE_H

#include <QXCore/QXBase.h>
#include <stdbool.h>

QX_EXTERN_C_BEGIN

/* "en" and "de". */
QX_EXPORT extern const CFStringRef kQXLocaleLanguageCodeEN;
QX_EXPORT extern const CFStringRef kQXLocaleLanguageCodeDE;

/* The first two characters of the user's first preferred language (LANGUAGE, else LC_ALL,
   LC_MESSAGES, LANG; "de_DE:en" gives "de"), or the current locale's language code when there is
   none. Computed at each call; a new reference. */
QX_EXPORT CFStringRef QXLocaleCopyPreferredLanguageCode(void);
/* The language code of the current locale (LC_ALL, else LANG; "en" when unset); a new reference,
   NULL only when memory runs out. */
QX_EXPORT CFStringRef QXLocaleCopyCurrentLanguageCode(void);
/* Sets the interface language (copied; NULL clears it, so the preferred language applies again). */
QX_EXPORT void QXLocaleSetDefaultLanguageCode(CFStringRef code);
/* The code set by QXLocaleSetDefaultLanguageCode, else the preferred language code as computed at
   the first call of this function (cached for the life of the process). Borrowed; never NULL. */
QX_EXPORT CFStringRef QXLocaleGetDefaultLanguageCode(void);
/* Stores `string` under `key` for the default language now in force. The table is made at the
   first call and holds only the language in force then: strings set later under another default
   language are dropped. NULL arguments are ignored. */
QX_EXPORT void QXLocaleSetString(CFStringRef key, CFStringRef string);
/* The string stored under `key` for the default language now in force, else `key` itself.
   Borrowed. */
QX_EXPORT CFStringRef QXLocaleGetString(CFStringRef key);

QX_EXTERN_C_END

#if defined(__cplusplus)
/* An application's settings: a dictionary kept as an XML property list in a file below
   <user data folder>/Orvex Software. One object is used by one thread at a time. */
class QX_EXPORT CBasePreferences {
 public:
  CBasePreferences();
  virtual ~CBasePreferences();
  CBasePreferences(const CBasePreferences&) = delete;
  CBasePreferences& operator=(const CBasePreferences&) = delete;

  /* Points the object at <user data folder>/Orvex Software[/folder]/fileName, creating the folder,
     and loads the file. `folder` may be NULL or a relative partial path ("A/B"); fileName is one
     file name. A missing file gives empty values; so does a file that cannot be read, is not a
     regular file (a FIFO is not waited on) or is not a property-list dictionary (status 0 still:
     the application starts with defaults, and Synchronize keeps such a file as
     "<fileName>.unreadable", or "<fileName>.unreadable 1", 2... when that is taken, never replacing
     an earlier one). Returns 0, the errno of finding or creating the folder (values and location
     unchanged), or kQXErrInvalidArgument for a NULL file name, a name with "/" or a ".."
     component. */
  QXStatus SetLocationUrl(CFStringRef folder, CFStringRef fileName);
  /* Remembers fileName as the object's name, then SetLocationUrl. */
  QXStatus SetLocation(CFStringRef folder, CFStringRef fileName);
  /* The value stored under key with one more reference (the caller releases it), or NULL. */
  CFPropertyListRef CopyAppValue(CFStringRef key) const;
  /* Stores value under key (retained); a NULL value removes the key. A NULL key is ignored. */
  void SetAppValue(CFStringRef key, CFPropertyListRef value);
  /* Writes the values as an XML property list to the file: a temporary file in the same folder is written, flushed
     to disk and renamed over the file, so readers and crashes never see half a file. An existing file keeps its
     permission bits; a new one gets the umask's. Returns 0, kQXErrInvalidArgument before any successful
     SetLocation, the property-list writer's failure as kQXErrGeneric (a value that is not a property list), or the
     errno of writing. */
  QXStatus Synchronize();

  /* The file name last given to SetLocation (borrowed; NULL before). */
  CFStringRef GetName() const { return mName; }
  /* The file's URL (borrowed; NULL before a successful SetLocation). */
  CFURLRef GetFileURL() const { return mFileURL; }

 private:
  CFStringRef mName = nullptr;
  CFMutableDictionaryRef mValues = nullptr;
  CFURLRef mFileURL = nullptr;
  bool mKeepUnreadable = false; /* the file exists but could not be read: keep it aside on write */
};
#endif /* __cplusplus */

#endif /* QXCORE_QXLOCALE_H */
