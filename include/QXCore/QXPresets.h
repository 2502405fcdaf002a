/*
 * QXPresets.h — the value classes that presets are made of: QXString (text over one
 * CoreFoundation mutable string), QXDictionary and QXPresetData (typed values in one CoreFoundation
 * dictionary), QXColor (an RGBA colour kept in such a dictionary) and QXVariant (a tagged value of
 * one of ten kinds, which may hold a reference-counted QXVariantObjectInterface), and the preset
 * classes: QXPresetModule, QXPreset, QXPresetFactory and the tone curve QXBezierCurve.
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
#include <QXCore/QXUtils.h>

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

/* The dictionary that holds a preset's state. */
class QX_EXPORT QXPresetData : public QXDictionary {
 public:
  QXPresetData();
  QXPresetData(CFDictionaryRef dictionary);
  QXPresetData(CFMutableDictionaryRef dictionary);
  ~QXPresetData() override;

  /* Same as mutableDictionary() and copyDictionary(). */
  CFMutableDictionaryRef getPresetData() const;
  CFMutableDictionaryRef copyPresetData() const;
  /* A new QXString copied from the string under the key, or a copy of the default when the key is
     absent or holds no string. */
  QXString getQXStringValue(const void* key, const QXString& defaultValue) const;
  /* Stores an immutable copy of the text, so later edits of the QXString leave the dictionary
     alone. */
  void setQXStringValue(const void* key, const QXString& value);
};

/* An RGBA colour with components on the scale 0 to 255, kept as 32-bit numbers under "red",
   "green", "blue" and "alpha" of its own QXPresetData. Components are not clamped. Absent
   components read as 0, 0, 0 and alpha 255; a component stored as something other than a number
   reads as its default too. */
class QX_EXPORT QXColor {
 public:
  static const int kDefaultR = 0, kDefaultG = 0, kDefaultB = 0, kDefaultAlpha = 255;
  static const CFStringRef kRKey, kGKey, kBKey, kAlphaKey, kVersionKey; /* "red" … "qColorVersion" */

  QXColor();
  QXColor(int r, int g, int b, int a);
  QXColor(const QXColor& other);
  virtual ~QXColor();

  virtual bool isValid();
  /* setRgb(0, 0, 0, 255) */
  virtual void clear();
  virtual int red() const;
  virtual int green() const;
  virtual int blue() const;
  virtual int alpha() const;
  /* The component divided by 255. */
  virtual float redF() const;
  virtual float greenF() const;
  virtual float blueF() const;
  virtual float alphaF() const;
  virtual void setRed(int value);
  virtual void setGreen(int value);
  virtual void setBlue(int value);
  virtual void setAlpha(int value);
  virtual void setRgb(int r, int g, int b, int a);
  virtual QXColor& operator=(const QXColor& other);
  /* Equal components, whatever else the dictionaries hold. */
  virtual bool operator==(const QXColor& other) const;
  virtual bool operator!=(const QXColor& other) const;
  /* Takes the four components from the dictionary (defaults for absent or non-number values);
     other keys of the colour's own dictionary stay. Null does nothing. */
  virtual void initWithPresetData(CFMutableDictionaryRef data);
  /* Stores "qColorVersion" = 1 and returns the colour's own dictionary (not retained). */
  virtual CFMutableDictionaryRef presetData();
  /* Destroys the object (delete this). */
  virtual void deletePreset();

 private:
  QXPresetData* mData;
};

/* Base of objects that a QXVariant may hold; starts with one reference. */
class QX_EXPORT QXVariantObjectInterface : public CBaseCore {
 public:
  QXVariantObjectInterface() = default;
  ~QXVariantObjectInterface() override;
};

/* A tagged value. The numeric accessors return the stored member whatever the kind (zero for
   members of another kind); the object kind holds one reference to its object. */
class QX_EXPORT QXVariant {
 public:
  enum Kind {
    kNone = 0,
    kInt32 = 1,
    kInt64 = 2,
    kFloat = 3,
    kDouble = 4,
    kBool = 5,
    kColor = 6,
    kString = 7,
    kStringList = 8,
    kIntVector = 9,
    kObjectPtr = 10
  };

  QXVariant();
  QXVariant(int value);
  QXVariant(long long value);
  QXVariant(float value);
  QXVariant(double value);
  QXVariant(bool value);
  QXVariant(const QXColor& value);
  QXVariant(const QXString& value);
  /* A string kind, so that text never turns into a bool by pointer conversion. */
  QXVariant(const char* utf8);
  QXVariant(const std::deque<QXString>& value);
  QXVariant(const std::vector<int>& value);
  /* Takes a reference (AddRef); null gives a variant of no kind. */
  QXVariant(QXVariantObjectInterface* object);
  QXVariant(const QXVariant& other);
  /* Takes the new object's reference before dropping the old one, so self-assignment and
     assigning a variant that holds the same object are safe. */
  QXVariant& operator=(const QXVariant& other);
  ~QXVariant();

  int kind() const;
  bool isInt32() const;
  bool isInt64() const;
  bool isFloat() const;
  bool isDouble() const;
  bool isBool() const;
  bool isColor() const;
  bool isString() const;
  bool isStringList() const;
  bool isIntVector() const;
  bool isObjectPtr() const;

  int int32Value() const;
  long long int64Value() const;
  float floatValue() const;
  double doubleValue() const;
  bool boolValue() const;
  QXColor colorValue() const;
  QXString stringValue() const;
  std::deque<QXString> stringListValue() const;
  std::vector<int> intVectorValue() const;
  /* Borrowed: no new reference. */
  QXVariantObjectInterface* objectPtr() const;

 private:
  void init();

  int32_t mKind;
  int32_t mInt32;
  int64_t mInt64;
  float mFloat;
  double mDouble;
  bool mBool;
  QXColor mColor;
  QXString mString;
  std::deque<QXString> mStringList;
  std::vector<int> mIntVector;
  QXVariantObjectInterface* mObject;
};

struct __QXImage;

/* Anything that can be initialised from, and turned into, a property-list dictionary. */
class QX_EXPORT QXPresetModule {
 public:
  virtual ~QXPresetModule();
  /* Takes the state from a dictionary, which stays the caller's. */
  virtual void initWithPresetData(CFMutableDictionaryRef data) = 0;
  /* Called by the preset manager on an imported preset before it is saved; does nothing here. */
  virtual void initializePresetData();
  /* The dictionary that represents the state; owned by the module, not retained. */
  virtual CFMutableDictionaryRef presetData() = 0;
  /* The applications' own image operation; does nothing here. */
  virtual void applyToImage(struct __QXImage* source, struct __QXImage* destination, int mode,
                            struct __QXImage* mask, struct __QXImage* extra, QXRect rect, int flags);
  /* Destroys the module. */
  virtual void deletePreset() = 0;
};

/* A preset: a module that carries the common descriptive data of presets in its own QXPresetData
   (keys "presetName", "author", "description", "isFactoryPreset", "sortOrder", "free",
   "properties"). A plain QXPreset saves that dictionary as its file; a subclass with settings of
   its own stores it under "presetCommonData" of its dictionary through addModuleData. */
class QX_EXPORT QXPreset : public QXPresetModule {
 public:
  static const CFStringRef kNameKey, kAuthorKey, kDescriptionKey, kFactoryPresetKey, kSortOrderKey, kFreeKey,
      kPropertiesKey, kCommonDataKey; /* "presetName" … "presetCommonData" */

  QXPreset();
  /* A copy owns a copy of the common data: the two presets never share or destroy each other's. */
  QXPreset(const QXPreset& other);
  QXPreset& operator=(const QXPreset& other);
  ~QXPreset() override;

  /* Strings read as the empty string, flags as false and numbers as 0 when absent or of another
     kind. The string setters store an immutable copy. */
  QXString name() const;
  QXString author() const;
  QXString description() const;
  void setName(const QXString& name);
  void setAuthor(const QXString& author);
  void setDescription(const QXString& description);
  virtual bool isFactoryPreset() const;
  void setFactoryPreset(bool value);
  bool freePreset() const;
  void setFreePreset(bool value);
  int customSortOrder() const;
  void setCustomSortOrder(int order);
  int properties() const;
  void setProperties(int properties);

  /* Takes the common fields from data["presetCommonData"] when that is a dictionary, otherwise
     from data itself. Strings replace the current ones; "isFactoryPreset" and "free" are taken
     only when true, "sortOrder" and "properties" only when not 0, so absent or default values
     keep what the preset held. Values of the wrong kind and unknown keys are ignored; null does
     nothing. */
  void initWithPresetData(CFMutableDictionaryRef data) override;
  /* The common data itself (not retained); valid while the preset lives. */
  CFMutableDictionaryRef presetData() override;
  /* Stores the common data under "presetCommonData" of moduleData. Refused (nothing stored) when
     moduleData is null or is, or lies within, the common data: a dictionary that contains itself
     is never freed and cannot be written out. */
  virtual void addModuleData(CFMutableDictionaryRef moduleData);
  /* delete this. */
  void deletePreset() override;

 protected:
  QXPresetData* commonData() const { return mCommonData; }

 private:
  QXPresetData* mCommonData;
};

/* Makes empty presets of an application's own kind for the preset manager. */
class QX_EXPORT QXPresetFactory {
 public:
  virtual ~QXPresetFactory();
  /* A new empty preset the caller destroys with deletePreset(), or null. */
  virtual QXPreset* createPreset() = 0;
};

/* A tone curve over the unit interval: control points in M slots (coordinates 0 to 1; an empty
   slot holds (-1, -1)) and a table of N samples computed by calculateCurve as a chain of cubic
   segments through the active points, flat outside them. "Pixel" coordinates run from 0 to N - 1.
   Saved as a preset: the curve keys below stand next to the common data; samples are recomputed
   on load.

   Untrusted input: N and M are bounded (0 to kMaxSampleCount and 0 to kMaxControlPointCount;
   below 0 reads as 0), and every control point that enters the curve (setControlPoints,
   setControlPoint, a loaded dictionary) is made sound on the way in: x NaN becomes 0, x above 1
   becomes 1, x below 0 (including -inf) an empty slot; y is clamped to 0 to 1 (NaN becomes 0).
   calculateCurve orders the active points by x and keeps the first of points that share an x.
   The slot vector always holds M entries and the sample table N, so no index from outside can
   reach past them: out-of-range slots and samples read as an empty slot and 0, and writes to
   them do nothing.

   Reference counted (starts at one): deletePreset() and the last Release() destroy it. */
class QX_EXPORT QXBezierCurve : public QXPreset, public QXVariantObjectInterface {
 public:
  static constexpr int kVersion = 2;
  static constexpr int kMaxSampleCount = 65536;
  static constexpr int kMaxControlPointCount = 1024;
  /* "curveVersion", "id", "selectedControlPoint", "controlPointCount", "controlPoints",
     "controlPointX", "controlPointY" */
  static const CFStringRef kVersionKey, kIdKey, kSelectedControlPointsKey, kControlPointCountKey, kControlPointsKey,
      kControlPointXKey, kControlPointYKey;

  /* Samples fall from 1 to 0 and every slot is empty (see reset). */
  QXBezierCurve(int id = 0, int sampleCount = 0, int controlPointCount = 0);
  /* A new object (one reference) equal to other; the common preset data is not copied. */
  QXBezierCurve(const QXBezierCurve& other);
  ~QXBezierCurve() override;
  /* Copies the curve, not the common preset data (name and the rest). */
  QXBezierCurve& operator=(const QXBezierCurve& other);
  /* Same curve: counts, id, selected slot, slots and samples equal (floats exactly). The common
     preset data is not compared. */
  bool operator==(const QXBezierCurve& other) const;
  bool operator!=(const QXBezierCurve& other) const;

  /* Samples become the falling ramp (N - 1 - i) / (N - 1) (1 for N = 1); all slots empty. Does
     not recompute the curve. */
  void reset();

  int id() const;
  void setId(int id);
  int selectedControlPoint() const;
  void setSelectedControlPoint(int slot);
  int controlPointCount() const;
  int sampleCount() const;
  int curvePointCount() const;

  void getControlPoints(std::vector<QXPointF>& out) const;
  /* Replaces the slots; M becomes the vector's size (at most kMaxControlPointCount, the rest is
     dropped). */
  void setControlPoints(const std::vector<QXPointF>& points);
  /* Replaces the first min(size, N) samples; the table keeps its N entries. */
  void setSamples(const std::vector<float>& samples);
  /* Appends the N samples (out is not emptied first). */
  void getSamples(std::vector<float>& out) const;
  /* Replaces out with one byte per sample: the integer part of sample x (N - 0.001), saturated
     to 0 to 255 (with N = 256 a sample of 1 gives 255). */
  void getSamplePoints(std::vector<unsigned char>& out) const;
  /* Replaces out with the active slots in slot order, in pixels (truncated). */
  void getActiveControlPoints(std::vector<QXPoint>& out) const;

  /* pixels / (N - 1) (0 when N < 2); percent x (N - 0.001), truncated and saturated. */
  QXPointF convertPixelsToPercent(QXPoint pixels) const;
  QXPoint convertPercentToPixels(QXPointF percent) const;
  /* Selects the slot and stores the pixel point there in percent. */
  void setControlPoint(int slot, QXPoint pixels);
  void clearControlPoint(int slot);
  /* x >= 0 */
  bool isValidControlPoint(QXPointF point) const;
  int minControlPointX() const;
  int maxControlPointX() const;

  /* round(x (N - 1)), halves upwards, within 0 to N - 1. */
  int curveIndex(float x) const;
  float curveAt(float x) const;
  float curveAt(int index) const;
  /* round(x (M - 1)), halves upwards, within 0 to M - 1: the slot of a percent x. */
  int pointIndex(float x) const;
  QXPointF pointAt(float x) const;
  QXPointF pointAt(int slot) const;
  /* The nearest active slot within half a slot width (1 / 2M) of the pixel x, ties to the lower
     slot; otherwise the slot where a new point at that x would go. */
  int getClosestControlPoint(float xPixels) const;

  /* Recomputes the samples from the active points; with none, the samples stay as they are. */
  void calculateCurve();

  /* Writes the curve keys ("curveVersion" = 2, id, selected slot, M and the M slots, empty ones
     included, as 32-bit floats) into the common data and returns it (not retained). */
  CFMutableDictionaryRef presetData() override;
  /* The common data, then id, selected slot, M (0 when absent or of another kind) and the slots
     from "controlPoints" (a slot that the array does not give, or gives without an x, is empty);
     without "controlPoints" the current slots are kept (cut or padded with empty ones to M).
     Then calculateCurve. Null does nothing. */
  void initWithPresetData(CFMutableDictionaryRef data) override;
  /* Release(): a variant may still hold the curve. */
  void deletePreset() override;

 private:
  bool pointVectorCompare(const std::vector<QXPointF>& a, const std::vector<QXPointF>& b) const;
  void plotCurve(int i0, int i1, int i2, int i3);

  int mId;
  int mSelectedControlPoint;
  std::vector<QXPointF> mControlPoints;
  std::vector<float> mSamples;
  int mControlPointCount;
  int mSampleCount;
  float mMinX;
  float mMaxX;
  float mInitialSearchDistance;
  float mPixelScale;
  std::vector<QXPointF> mActive;  // working set of calculateCurve: ordered, distinct x
};

#endif /* __cplusplus */

#endif /* QXCORE_QXPRESETS_H */
