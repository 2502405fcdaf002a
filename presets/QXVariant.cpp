#include <QXCore/QXPresets.h>

QXVariantObjectInterface::~QXVariantObjectInterface() = default;

QXVariant::QXVariant() { init(); }
QXVariant::QXVariant(int value) {
  init();
  mKind = kInt32;
  mInt32 = value;
}
QXVariant::QXVariant(long long value) {
  init();
  mKind = kInt64;
  mInt64 = value;
}
QXVariant::QXVariant(float value) {
  init();
  mKind = kFloat;
  mFloat = value;
}
QXVariant::QXVariant(double value) {
  init();
  mKind = kDouble;
  mDouble = value;
}
QXVariant::QXVariant(bool value) {
  init();
  mKind = kBool;
  mBool = value;
}
QXVariant::QXVariant(const QXColor& value) {
  init();
  mKind = kColor;
  mColor = value;
}
QXVariant::QXVariant(const QXString& value) {
  init();
  mKind = kString;
  mString = value;
}
QXVariant::QXVariant(const char* utf8) : QXVariant(QXString(utf8)) {}
QXVariant::QXVariant(const std::deque<QXString>& value) {
  init();
  mKind = kStringList;
  mStringList = value;
}
QXVariant::QXVariant(const std::vector<int>& value) {
  init();
  mKind = kIntVector;
  mIntVector = value;
}
QXVariant::QXVariant(QXVariantObjectInterface* object) {
  init();
  if (object == nullptr) return;
  object->AddRef();
  mKind = kObjectPtr;
  mObject = object;
}
QXVariant::QXVariant(const QXVariant& other) {
  init();
  *this = other;
}

QXVariant& QXVariant::operator=(const QXVariant& other) {
  if (this == &other) return *this;
  // Retain first: other may hold the very object this variant is about to drop.
  QXVariantObjectInterface* incoming = other.mKind == kObjectPtr ? other.mObject : nullptr;
  if (incoming != nullptr) incoming->AddRef();
  QXVariantObjectInterface* outgoing = mKind == kObjectPtr ? mObject : nullptr;
  init();
  switch (other.mKind) {
    case kInt32: mInt32 = other.mInt32; break;
    case kInt64: mInt64 = other.mInt64; break;
    case kFloat: mFloat = other.mFloat; break;
    case kDouble: mDouble = other.mDouble; break;
    case kBool: mBool = other.mBool; break;
    case kColor: mColor = other.mColor; break;
    case kString: mString = other.mString; break;
    case kStringList: mStringList = other.mStringList; break;
    case kIntVector: mIntVector = other.mIntVector; break;
    case kObjectPtr: mObject = incoming; break;
    default: break;
  }
  mKind = other.mKind;
  if (outgoing != nullptr) outgoing->Release();
  return *this;
}

QXVariant::~QXVariant() {
  if (mKind == kObjectPtr && mObject != nullptr) mObject->Release();
}

void QXVariant::init() {
  mKind = kNone;
  mInt32 = 0;
  mInt64 = 0;
  mFloat = 0;
  mDouble = 0;
  mBool = false;
  mColor.clear();
  mString.clear();
  mStringList.clear();
  mIntVector.clear();
  mObject = nullptr;
}

int QXVariant::kind() const { return mKind; }
bool QXVariant::isInt32() const { return mKind == kInt32; }
bool QXVariant::isInt64() const { return mKind == kInt64; }
bool QXVariant::isFloat() const { return mKind == kFloat; }
bool QXVariant::isDouble() const { return mKind == kDouble; }
bool QXVariant::isBool() const { return mKind == kBool; }
bool QXVariant::isColor() const { return mKind == kColor; }
bool QXVariant::isString() const { return mKind == kString; }
bool QXVariant::isStringList() const { return mKind == kStringList; }
bool QXVariant::isIntVector() const { return mKind == kIntVector; }
bool QXVariant::isObjectPtr() const { return mKind == kObjectPtr; }

int QXVariant::int32Value() const { return mInt32; }
long long QXVariant::int64Value() const { return mInt64; }
float QXVariant::floatValue() const { return mFloat; }
double QXVariant::doubleValue() const { return mDouble; }
bool QXVariant::boolValue() const { return mBool; }
QXColor QXVariant::colorValue() const { return mColor; }
QXString QXVariant::stringValue() const { return mString; }
std::deque<QXString> QXVariant::stringListValue() const { return mStringList; }
std::vector<int> QXVariant::intVectorValue() const { return mIntVector; }
QXVariantObjectInterface* QXVariant::objectPtr() const { return mObject; }
