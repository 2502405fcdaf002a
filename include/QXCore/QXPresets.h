/*
 * QXPresets.h — the value classes that presets are made of: QXString (text over one
 * CoreFoundation mutable string), QXDictionary (typed values in one CoreFoundation dictionary) and
 * QXVariant (a tagged value of one of ten kinds).
 *
 * Lengths, indexes and counts of QXString are in UTF-16 code units. The path separator is "/".
 *
 * Untrusted input: preset dictionaries come from files that users share, so every QXDictionary
 * getter checks the type of the stored object and gives the default (or null) for a value of the
 * wrong kind, a missing key, a null key or a null dictionary. Text that is not valid UTF-8 reads as
 * no text: a QXString made from it is empty and a search for it finds nothing.
 *
 * Ownership: getters of CoreFoundation objects return borrowed objects (valid while the entry is
 * not replaced); functions named copy or Copy return what the caller releases (CFRelease) or frees
 * (free). Nothing throws except std::bad_alloc from the standard containers.
 *
 * Threads: none of these classes locks; one thread at a time uses an object. Distinct objects are
 * independent, except that copies of a QXDictionary share its dictionary.
 */
#ifndef QXCORE_QXPRESETS_H
#define QXCORE_QXPRESETS_H

#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXBase.h>

#if defined(__cplusplus)
#include <deque>
#include <vector>

class QX_EXPORT QXString {
 public:
  QXString();
  QXString(const QXString& other);
  /* Exactly length units from units; a null pointer or a negative length gives an empty string. */
  QXString(const unsigned short* units, int length);
  /* A mutable copy; the argument is not retained. Null gives an empty string. */
  QXString(CFStringRef string);
  /* NUL-terminated UTF-8; null or invalid UTF-8 gives an empty string. */
  QXString(const char* utf8);
  ~QXString();

  /* The owned string, not retained; invalid after clear() or assignment. */
  CFStringRef toCFString() const;
  operator CFStringRef() const;
  /* A malloc'ed NUL-terminated UTF-8 copy; the caller frees it. */
  char* utf8Copy() const;
  operator char*() const;
  /* A malloc'ed array of size() + 1 units, NUL-terminated; the caller frees it. */
  unsigned short* ucs2Copy() const;
  /* "/" */
  static QXString pathSeparator();

  int size() const;
  bool isEmpty() const;

  /* An empty text ends every string. The int of indexOf and lastIndexOf is accepted and ignored:
     the search always spans the whole string. They return the match's index or -1. */
  bool endsWith(CFStringRef text, bool caseSensitive = true) const;
  bool endsWith(const QXString& text, bool caseSensitive = true) const;
  bool endsWith(const unsigned short* text, bool caseSensitive = true) const;
  bool endsWith(const char* text, bool caseSensitive = true) const;
  bool endsWith(unsigned short unit, bool caseSensitive = true) const;
  int indexOf(CFStringRef text, int from = 0, bool caseSensitive = true) const;
  int indexOf(const QXString& text, int from = 0, bool caseSensitive = true) const;
  int indexOf(const unsigned short* text, int from = 0, bool caseSensitive = true) const;
  int indexOf(const char* text, int from = 0, bool caseSensitive = true) const;
  int indexOf(unsigned short unit, int from = 0, bool caseSensitive = true) const;
  int lastIndexOf(CFStringRef text, int from = 0, bool caseSensitive = true) const;
  int lastIndexOf(const QXString& text, int from = 0, bool caseSensitive = true) const;
  int lastIndexOf(const unsigned short* text, int from = 0, bool caseSensitive = true) const;
  int lastIndexOf(const char* text, int from = 0, bool caseSensitive = true) const;
  int lastIndexOf(unsigned short unit, int from = 0, bool caseSensitive = true) const;
  bool contains(const QXString& text, bool caseSensitive = true) const;

  /* The pieces between separators in order, empty pieces included; the whole string when the
     separator does not occur (or is empty or invalid). */
  std::deque<QXString> split(CFStringRef separator) const;
  std::deque<QXString> split(const QXString& separator) const;
  std::deque<QXString> split(const unsigned short* separator) const;
  std::deque<QXString> split(const char* separator) const;
  std::deque<QXString> split(unsigned short separator) const;

  /* Replaces the owned string by a new empty one. */
  void clear();
  /* Deletes the last n units in place (all of them when n >= size(); nothing when n < 0). The
     text is owned through a pointer, so this is const. */
  void chop(int n) const;

  QXString& operator=(const QXString& other);
  QXString& operator+=(CFStringRef text);
  QXString& operator+=(const QXString& text);
  QXString& operator+=(const unsigned short* text);
  QXString& operator+=(const char* text);
  QXString& operator+=(unsigned short unit);

  /* Exact comparison of the UTF-16 units ("B" < "a"). */
  bool operator==(const QXString& other) const;
  bool operator!=(const QXString& other) const;
  bool operator<(const QXString& other) const;
  bool operator>(const QXString& other) const;
  bool operator<=(const QXString& other) const;
  bool operator>=(const QXString& other) const;

 private:
  CFMutableStringRef mString;
};

/* Typed values in one CoreFoundation dictionary. Numbers are CFNumbers, read back converted to
   the requested type (2.75 reads as int 2); booleans are kCFBooleanTrue/False. The destructor
   releases the object's reference and never empties the dictionary, which others may still hold.
   Copies share the dictionary (each holds its own reference); key and value caches are not
   copied. */
class QX_EXPORT QXDictionary {
 public:
  /* A new empty mutable dictionary (CFType key and value callbacks). */
  QXDictionary();
  /* Read-only: setters do nothing on such an object. The dictionary is retained (may be null). */
  QXDictionary(CFDictionaryRef dictionary);
  /* Read and write; the dictionary is retained (may be null). */
  QXDictionary(CFMutableDictionaryRef dictionary);
  QXDictionary(const QXDictionary& other);
  QXDictionary& operator=(const QXDictionary& other);
  virtual ~QXDictionary();

  /* The stored value, or the default when the key is absent or holds another kind of object. */
  bool getBooleanValue(const void* key, bool defaultValue) const;
  char getCharValue(const void* key, char defaultValue) const;
  short getShortValue(const void* key, short defaultValue) const;
  int getIntValue(const void* key, int defaultValue) const;
  long getLongValue(const void* key, long defaultValue) const;
  float getFloatValue(const void* key, float defaultValue) const;
  double getDoubleValue(const void* key, double defaultValue) const;
  CFNumberRef getNumberValue(const void* key, CFNumberRef defaultValue) const;
  CFStringRef getStringValue(const void* key, CFStringRef defaultValue) const;
  /* Null when absent or not an array / not a dictionary. */
  CFArrayRef getArrayValue(const void* key) const;
  CFDictionaryRef getDictionaryValue(const void* key) const;

  /* Setters store a new CFNumber/CFBoolean, or the given object itself (retained, not copied). A
     null key or value, or an object without a mutable dictionary, stores nothing. */
  void setBooleanValue(const void* key, bool value);
  void setCharValue(const void* key, char value);
  void setShortValue(const void* key, short value);
  void setIntValue(const void* key, int value);
  void setLongValue(const void* key, long value);
  void setFloatValue(const void* key, float value);
  void setDoubleValue(const void* key, double value);
  void setNumberValue(const void* key, CFNumberRef value);
  void setStringValue(const void* key, CFStringRef value);
  void setArrayValue(const void* key, CFArrayRef value);
  void setDictionaryValue(const void* key, CFDictionaryRef value);

  unsigned char containsKey(const void* key) const;
  unsigned char containsValue(const void* value) const;

  /* Not retained; null for a read-only object. */
  CFMutableDictionaryRef mutableDictionary() const;
  /* A new mutable copy the caller releases; null when there is no dictionary. */
  CFMutableDictionaryRef copyDictionary() const;
  static CFMutableDictionaryRef copyDictionary(CFDictionaryRef dictionary);

  /* All keys (values) in an array owned by this object, valid until the next call of the same
     operation or destruction; null for an empty dictionary. Keys of one call and values of
     another correspond by position while the dictionary is unchanged. */
  CFArrayRef getKeys();
  CFArrayRef getValues();

 private:
  const void* getValue(const void* key) const;
  void setValue(const void* key, const void* value);
  void resetKeysArray();
  void resetValuesArray();

  CFMutableDictionaryRef mMutableDict;
  CFDictionaryRef mDict;
  CFMutableArrayRef mKeys;
  CFMutableArrayRef mValues;
  bool mOwnsContents;
};

#endif /* __cplusplus */

#endif /* QXCORE_QXPRESETS_H */
