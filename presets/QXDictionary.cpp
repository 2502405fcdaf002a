#include <QXCore/QXPresets.h>

#include <vector>

namespace {

template <typename T>
T numberOr(const void* value, CFNumberType type, T defaultValue) {
  if (value == nullptr || CFGetTypeID(value) != CFNumberGetTypeID()) return defaultValue;
  T result = defaultValue;
  // A lossy conversion still gives the converted value (2.75 reads as 2).
  CFNumberGetValue(static_cast<CFNumberRef>(value), type, &result);
  return result;
}

const void* ofType(const void* value, CFTypeID type) {
  return value != nullptr && CFGetTypeID(value) == type ? value : nullptr;
}

// Released, not emptied: a caller that retained an array we handed out keeps its contents.
void releaseArray(CFMutableArrayRef& array) {
  if (array == nullptr) return;
  CFRelease(array);
  array = nullptr;
}

}  // namespace

QXDictionary::QXDictionary()
    : mMutableDict(CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                             &kCFTypeDictionaryValueCallBacks)),
      mDict(mMutableDict),
      mKeys(nullptr),
      mValues(nullptr),
      mOwnsContents(true) {}

QXDictionary::QXDictionary(CFDictionaryRef dictionary)
    : mMutableDict(nullptr), mDict(dictionary), mKeys(nullptr), mValues(nullptr), mOwnsContents(false) {
  if (mDict != nullptr) CFRetain(mDict);
}

QXDictionary::QXDictionary(CFMutableDictionaryRef dictionary)
    : mMutableDict(dictionary), mDict(dictionary), mKeys(nullptr), mValues(nullptr), mOwnsContents(false) {
  if (mDict != nullptr) CFRetain(mDict);
}

QXDictionary::QXDictionary(const QXDictionary& other)
    : mMutableDict(other.mMutableDict), mDict(other.mDict), mKeys(nullptr), mValues(nullptr), mOwnsContents(false) {
  if (mDict != nullptr) CFRetain(mDict);
}

QXDictionary& QXDictionary::operator=(const QXDictionary& other) {
  if (this == &other) return *this;
  if (other.mDict != nullptr) CFRetain(other.mDict);
  if (mDict != nullptr) CFRelease(mDict);
  mMutableDict = other.mMutableDict;
  mDict = other.mDict;
  mOwnsContents = false;
  resetKeysArray();
  resetValuesArray();
  return *this;
}

// Only our reference goes: a caller may still hold the dictionary (a copy of this object, a
// preset, a CFRetain), so emptying it here would silently lose that caller's data.
QXDictionary::~QXDictionary() {
  if (mDict != nullptr) CFRelease(mDict);
  resetKeysArray();
  resetValuesArray();
}

const void* QXDictionary::getValue(const void* key) const {
  if (mDict == nullptr || key == nullptr) return nullptr;
  return CFDictionaryGetValue(mDict, key);
}

void QXDictionary::setValue(const void* key, const void* value) {
  if (mMutableDict == nullptr || key == nullptr || value == nullptr) return;
  CFDictionarySetValue(mMutableDict, key, value);
}

bool QXDictionary::getBooleanValue(const void* key, bool defaultValue) const {
  const void* v = ofType(getValue(key), CFBooleanGetTypeID());
  return v != nullptr ? CFBooleanGetValue(static_cast<CFBooleanRef>(v)) != 0 : defaultValue;
}
char QXDictionary::getCharValue(const void* key, char d) const { return numberOr(getValue(key), kCFNumberCharType, d); }
short QXDictionary::getShortValue(const void* key, short d) const {
  return numberOr(getValue(key), kCFNumberShortType, d);
}
int QXDictionary::getIntValue(const void* key, int d) const { return numberOr(getValue(key), kCFNumberIntType, d); }
long QXDictionary::getLongValue(const void* key, long d) const { return numberOr(getValue(key), kCFNumberLongType, d); }
float QXDictionary::getFloatValue(const void* key, float d) const {
  return numberOr(getValue(key), kCFNumberFloatType, d);
}
double QXDictionary::getDoubleValue(const void* key, double d) const {
  return numberOr(getValue(key), kCFNumberDoubleType, d);
}
CFNumberRef QXDictionary::getNumberValue(const void* key, CFNumberRef d) const {
  const void* v = ofType(getValue(key), CFNumberGetTypeID());
  return v != nullptr ? static_cast<CFNumberRef>(v) : d;
}
CFStringRef QXDictionary::getStringValue(const void* key, CFStringRef d) const {
  const void* v = ofType(getValue(key), CFStringGetTypeID());
  return v != nullptr ? static_cast<CFStringRef>(v) : d;
}
CFArrayRef QXDictionary::getArrayValue(const void* key) const {
  return static_cast<CFArrayRef>(ofType(getValue(key), CFArrayGetTypeID()));
}
CFDictionaryRef QXDictionary::getDictionaryValue(const void* key) const {
  return static_cast<CFDictionaryRef>(ofType(getValue(key), CFDictionaryGetTypeID()));
}

namespace {
template <typename T>
void setNumber(CFMutableDictionaryRef dict, const void* key, CFNumberType type, T value) {
  if (dict == nullptr || key == nullptr) return;
  CFNumberRef n = CFNumberCreate(kCFAllocatorDefault, type, &value);
  if (n == nullptr) return;
  CFDictionarySetValue(dict, key, n);
  CFRelease(n);
}
}  // namespace

void QXDictionary::setBooleanValue(const void* key, bool value) {
  setValue(key, value ? kCFBooleanTrue : kCFBooleanFalse);
}
void QXDictionary::setCharValue(const void* key, char v) { setNumber(mMutableDict, key, kCFNumberCharType, v); }
void QXDictionary::setShortValue(const void* key, short v) { setNumber(mMutableDict, key, kCFNumberShortType, v); }
void QXDictionary::setIntValue(const void* key, int v) { setNumber(mMutableDict, key, kCFNumberIntType, v); }
void QXDictionary::setLongValue(const void* key, long v) { setNumber(mMutableDict, key, kCFNumberLongType, v); }
void QXDictionary::setFloatValue(const void* key, float v) { setNumber(mMutableDict, key, kCFNumberFloatType, v); }
void QXDictionary::setDoubleValue(const void* key, double v) { setNumber(mMutableDict, key, kCFNumberDoubleType, v); }
void QXDictionary::setNumberValue(const void* key, CFNumberRef v) { setValue(key, v); }
void QXDictionary::setStringValue(const void* key, CFStringRef v) { setValue(key, v); }
void QXDictionary::setArrayValue(const void* key, CFArrayRef v) { setValue(key, v); }
// A dictionary that contains itself would never be freed and could not be written out.
void QXDictionary::setDictionaryValue(const void* key, CFDictionaryRef v) {
  if (v == mDict) return;
  setValue(key, v);
}

unsigned char QXDictionary::containsKey(const void* key) const {
  return mDict != nullptr && key != nullptr && CFDictionaryContainsKey(mDict, key) ? 1 : 0;
}
unsigned char QXDictionary::containsValue(const void* value) const {
  return mDict != nullptr && value != nullptr && CFDictionaryContainsValue(mDict, value) ? 1 : 0;
}

CFMutableDictionaryRef QXDictionary::mutableDictionary() const { return mMutableDict; }
CFMutableDictionaryRef QXDictionary::copyDictionary() const { return copyDictionary(mDict); }
CFMutableDictionaryRef QXDictionary::copyDictionary(CFDictionaryRef dictionary) {
  if (dictionary == nullptr) return nullptr;
  return CFDictionaryCreateMutableCopy(kCFAllocatorDefault, CFDictionaryGetCount(dictionary), dictionary);
}

namespace {
CFMutableArrayRef collect(CFDictionaryRef dict, bool keys) {
  CFIndex count = dict != nullptr ? CFDictionaryGetCount(dict) : 0;
  if (count <= 0) return nullptr;
  std::vector<const void*> k(static_cast<size_t>(count)), v(static_cast<size_t>(count));
  CFDictionaryGetKeysAndValues(dict, k.data(), v.data());
  CFMutableArrayRef array = CFArrayCreateMutable(kCFAllocatorDefault, count, &kCFTypeArrayCallBacks);
  if (array == nullptr) return nullptr;
  for (const void* item : keys ? k : v) CFArrayAppendValue(array, item);
  return array;
}
}  // namespace

CFArrayRef QXDictionary::getKeys() {
  resetKeysArray();
  mKeys = collect(mDict, true);
  return mKeys;
}
CFArrayRef QXDictionary::getValues() {
  resetValuesArray();
  mValues = collect(mDict, false);
  return mValues;
}

void QXDictionary::resetKeysArray() { releaseArray(mKeys); }
void QXDictionary::resetValuesArray() { releaseArray(mValues); }
