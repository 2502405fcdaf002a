#include <QXCore/QXPresets.h>

const CFStringRef QXColor::kRKey = CFSTR("red");
const CFStringRef QXColor::kGKey = CFSTR("green");
const CFStringRef QXColor::kBKey = CFSTR("blue");
const CFStringRef QXColor::kAlphaKey = CFSTR("alpha");
const CFStringRef QXColor::kVersionKey = CFSTR("qColorVersion");

QXColor::QXColor() : mData(new QXPresetData()) {}
QXColor::QXColor(int r, int g, int b, int a) : mData(new QXPresetData()) {
  setRed(r);
  setGreen(g);
  setBlue(b);
  setAlpha(a);
}
QXColor::QXColor(const QXColor& other) : mData(new QXPresetData()) { *this = other; }
QXColor::~QXColor() { delete mData; }

bool QXColor::isValid() { return mData != nullptr; }
void QXColor::clear() { setRgb(0, 0, 0, 255); }

int QXColor::red() const { return mData->getIntValue(kRKey, kDefaultR); }
int QXColor::green() const { return mData->getIntValue(kGKey, kDefaultG); }
int QXColor::blue() const { return mData->getIntValue(kBKey, kDefaultB); }
int QXColor::alpha() const { return mData->getIntValue(kAlphaKey, kDefaultAlpha); }
float QXColor::redF() const { return static_cast<float>(red() / 255.0); }
float QXColor::greenF() const { return static_cast<float>(green() / 255.0); }
float QXColor::blueF() const { return static_cast<float>(blue() / 255.0); }
float QXColor::alphaF() const { return static_cast<float>(alpha() / 255.0); }

void QXColor::setRed(int value) { mData->setIntValue(kRKey, value); }
void QXColor::setGreen(int value) { mData->setIntValue(kGKey, value); }
void QXColor::setBlue(int value) { mData->setIntValue(kBKey, value); }
void QXColor::setAlpha(int value) { mData->setIntValue(kAlphaKey, value); }
void QXColor::setRgb(int r, int g, int b, int a) {
  setRed(r);
  setGreen(g);
  setBlue(b);
  setAlpha(a);
}

QXColor& QXColor::operator=(const QXColor& other) {
  if (this == &other) return *this;
  int a = other.alpha(), b = other.blue(), g = other.green(), r = other.red();
  setRgb(r, g, b, a);
  return *this;
}

bool QXColor::operator==(const QXColor& other) const {
  if (this == &other) return true;
  return red() == other.red() && green() == other.green() && blue() == other.blue() && alpha() == other.alpha();
}
bool QXColor::operator!=(const QXColor& other) const { return !(*this == other); }

void QXColor::initWithPresetData(CFMutableDictionaryRef data) {
  if (data == nullptr) return;
  QXPresetData source(data);  // holds a reference while reading
  setRgb(source.getIntValue(kRKey, kDefaultR), source.getIntValue(kGKey, kDefaultG),
         source.getIntValue(kBKey, kDefaultB), source.getIntValue(kAlphaKey, kDefaultAlpha));
}

CFMutableDictionaryRef QXColor::presetData() {
  mData->setIntValue(kVersionKey, 1);
  return mData->getPresetData();
}

void QXColor::deletePreset() { delete this; }
