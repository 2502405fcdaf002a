#include <QXCore/QXPresets.h>

QXPresetData::QXPresetData() = default;
QXPresetData::QXPresetData(CFDictionaryRef dictionary) : QXDictionary(dictionary) {}
QXPresetData::QXPresetData(CFMutableDictionaryRef dictionary) : QXDictionary(dictionary) {}
QXPresetData::~QXPresetData() = default;

CFMutableDictionaryRef QXPresetData::getPresetData() const { return mutableDictionary(); }
CFMutableDictionaryRef QXPresetData::copyPresetData() const { return copyDictionary(); }

QXString QXPresetData::getQXStringValue(const void* key, const QXString& defaultValue) const {
  CFStringRef s = getStringValue(key, nullptr);
  return s != nullptr ? QXString(s) : defaultValue;
}

// The QXString's own string is mutable and stays with its owner; storing it would let later
// edits of the QXString change the preset behind its back.
void QXPresetData::setQXStringValue(const void* key, const QXString& value) {
  CFStringRef copy = CFStringCreateCopy(kCFAllocatorDefault, value.toCFString());
  if (copy == nullptr) return;
  setStringValue(key, copy);
  CFRelease(copy);
}
