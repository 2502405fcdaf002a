#include <QXCore/QXPresets.h>

#include <unordered_set>
#include <vector>

#include "presets/PresetFile.h"

const CFStringRef QXPreset::kNameKey = CFSTR("presetName");
const CFStringRef QXPreset::kAuthorKey = CFSTR("author");
const CFStringRef QXPreset::kDescriptionKey = CFSTR("description");
const CFStringRef QXPreset::kFactoryPresetKey = CFSTR("isFactoryPreset");
const CFStringRef QXPreset::kSortOrderKey = CFSTR("sortOrder");
const CFStringRef QXPreset::kFreeKey = CFSTR("free");
const CFStringRef QXPreset::kPropertiesKey = CFSTR("properties");
const CFStringRef QXPreset::kCommonDataKey = CFSTR("presetCommonData");

QXPresetModule::~QXPresetModule() = default;
void QXPresetModule::initializePresetData() {}
void QXPresetModule::applyToImage(struct __QXImage*, struct __QXImage*, int, struct __QXImage*, struct __QXImage*,
                                  QXRect, int) {}

QXPresetFactory::~QXPresetFactory() = default;

namespace {

// A preset data object over its own copy of `source`'s dictionary (an empty one when there is
// none).
QXPresetData* copyOf(const QXPresetData* source) {
  CFMutableDictionaryRef copy = source != nullptr ? source->copyPresetData() : nullptr;
  if (copy == nullptr) return new QXPresetData();
  auto* data = new QXPresetData(copy);
  CFRelease(copy);
  return data;
}

// Whether `target` is `root` or lies anywhere inside it (dictionaries and arrays).
bool reaches(CFTypeRef root, CFTypeRef target) {
  std::vector<CFTypeRef> pending{root};
  std::unordered_set<CFTypeRef> seen;
  std::vector<const void*> items;
  while (!pending.empty()) {
    CFTypeRef node = pending.back();
    pending.pop_back();
    if (node == target) return true;
    if (!seen.insert(node).second) continue;
    CFTypeID type = CFGetTypeID(node);
    if (type == CFDictionaryGetTypeID()) {
      auto dict = static_cast<CFDictionaryRef>(node);
      items.resize(static_cast<size_t>(CFDictionaryGetCount(dict)));
      CFDictionaryGetKeysAndValues(dict, nullptr, items.data());
    } else if (type == CFArrayGetTypeID()) {
      auto array = static_cast<CFArrayRef>(node);
      items.resize(static_cast<size_t>(CFArrayGetCount(array)));
      CFArrayGetValues(array, CFRangeMake(0, CFArrayGetCount(array)), items.data());
    } else {
      continue;
    }
    pending.insert(pending.end(), items.begin(), items.end());
  }
  return false;
}

}  // namespace

QXPreset::QXPreset() : mCommonData(new QXPresetData()) {}
QXPreset::QXPreset(const QXPreset& other) : QXPresetModule(other), mCommonData(copyOf(other.mCommonData)) {}

QXPreset& QXPreset::operator=(const QXPreset& other) {
  if (this == &other) return *this;
  QXPresetData* copy = copyOf(other.mCommonData);
  delete mCommonData;
  mCommonData = copy;
  return *this;
}

QXPreset::~QXPreset() { delete mCommonData; }

QXString QXPreset::name() const { return mCommonData->getQXStringValue(kNameKey, QXString()); }
QXString QXPreset::author() const { return mCommonData->getQXStringValue(kAuthorKey, QXString()); }
QXString QXPreset::description() const { return mCommonData->getQXStringValue(kDescriptionKey, QXString()); }
void QXPreset::setName(const QXString& name) { mCommonData->setQXStringValue(kNameKey, name); }
void QXPreset::setAuthor(const QXString& author) { mCommonData->setQXStringValue(kAuthorKey, author); }
void QXPreset::setDescription(const QXString& description) {
  mCommonData->setQXStringValue(kDescriptionKey, description);
}
bool QXPreset::isFactoryPreset() const { return mCommonData->getBooleanValue(kFactoryPresetKey, false); }
void QXPreset::setFactoryPreset(bool value) { mCommonData->setBooleanValue(kFactoryPresetKey, value); }
bool QXPreset::freePreset() const { return mCommonData->getBooleanValue(kFreeKey, false); }
void QXPreset::setFreePreset(bool value) { mCommonData->setBooleanValue(kFreeKey, value); }
int QXPreset::customSortOrder() const { return mCommonData->getIntValue(kSortOrderKey, 0); }
void QXPreset::setCustomSortOrder(int order) { mCommonData->setIntValue(kSortOrderKey, order); }
int QXPreset::properties() const { return mCommonData->getIntValue(kPropertiesKey, 0); }
void QXPreset::setProperties(int properties) { mCommonData->setIntValue(kPropertiesKey, properties); }

void QXPreset::initWithPresetData(CFMutableDictionaryRef data) {
  if (data == nullptr) return;
  QXPresetData source(qxpresets::CommonData(data));
  for (CFStringRef key : {kNameKey, kAuthorKey, kDescriptionKey}) {
    CFStringRef text = source.getStringValue(key, nullptr);
    // A copy, so that a mutable string of the caller's dictionary cannot change the preset later.
    CFStringRef copy = text != nullptr ? CFStringCreateCopy(kCFAllocatorDefault, text) : nullptr;
    if (copy == nullptr) continue;
    mCommonData->setStringValue(key, copy);
    CFRelease(copy);
  }
  for (CFStringRef key : {kFactoryPresetKey, kFreeKey}) {
    if (source.getBooleanValue(key, false)) mCommonData->setBooleanValue(key, true);
  }
  for (CFStringRef key : {kSortOrderKey, kPropertiesKey}) {
    int value = source.getIntValue(key, 0);
    if (value != 0) mCommonData->setIntValue(key, value);
  }
}

CFMutableDictionaryRef QXPreset::presetData() { return mCommonData->getPresetData(); }

void QXPreset::addModuleData(CFMutableDictionaryRef moduleData) {
  CFMutableDictionaryRef common = mCommonData->getPresetData();
  if (moduleData == nullptr || common == nullptr || reaches(common, moduleData)) return;
  CFDictionarySetValue(moduleData, kCommonDataKey, common);
}

void QXPreset::deletePreset() { delete this; }
