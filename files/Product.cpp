// The product catalogue: the family's applications by identifier.
#include <memory>
#include <vector>

#include "files/CoreFileInternal.h"
#include "files/PreferencesSupport.h"
#include "files/Product.h"
#include "files/ProductTesting.h"

using qxcf::adopt;
using qxcf::CFRef;

namespace {

// Immortal: registered records and the table outlive every static destructor.
struct Catalogue {
  std::vector<CProduct*> products;  // current record per identifier, in first-registration order
  std::vector<CProduct*> retired;   // replaced records, still valid for whoever holds them
};

CFRef<CFStringRef> copyOrNull(CFStringRef s) {
  return s != nullptr ? adopt(CFStringCreateCopy(nullptr, s)) : CFRef<CFStringRef>();
}

bool validExtension(CFStringRef ext) {
  if (ext == nullptr) return true;
  return qx::prefs::isFileName(ext) && CFStringGetCharacterAtIndex(ext, 0) != '.';
}

// Called with the lock held.
int32_t registerLocked(Catalogue& catalogue, const QXProductInfo& info, CProduct** out)
    QX_REQUIRES(qx::product::lock()) {
  if (info.identifier == nullptr || CFStringGetLength(info.identifier) == 0 || !qx::prefs::isFileName(info.name) ||
      !qx::prefs::isFileName(info.folderName) || !validExtension(info.presetExtension)) {
    return kQXErrInvalidArgument;
  }
  // Owned here until published, so that a failed allocation below leaks nothing and leaves the
  // table as it was.
  auto owned = std::make_unique<CProduct>();
  CProduct* product = owned.get();
  product->mIdentifier = copyOrNull(info.identifier);
  product->mName = copyOrNull(info.name);
  product->mDisplayName = copyOrNull(info.displayName != nullptr ? info.displayName : info.name);
  product->mFolderName = copyOrNull(info.folderName);
  product->mVersion = copyOrNull(info.version);
  product->mPresetExt = copyOrNull(info.presetExtension);
  product->mPluginIdentifier = copyOrNull(info.pluginIdentifier);
  product->mServiceName = copyOrNull(info.serviceName != nullptr ? info.serviceName : info.name);
  product->mPort = info.port;
  product->mNamedSubFolders = info.namedSubFolders;
  if (!product->mIdentifier || !product->mName || !product->mFolderName) return kQXErrMemory;
  catalogue.products.reserve(catalogue.products.size() + 1);
  catalogue.retired.reserve(catalogue.retired.size() + 1);
  owned.release();  // nothing below can throw
  bool replaced = false;
  for (CProduct*& existing : catalogue.products) {
    if (CFEqual(existing->mIdentifier.get(), product->mIdentifier.get())) {
      catalogue.retired.push_back(existing);
      existing = product;
      replaced = true;
      break;
    }
  }
  if (!replaced) catalogue.products.push_back(product);
  if (out != nullptr) *out = product;
  return 0;
}

void registerDefaults(Catalogue& catalogue) QX_REQUIRES(qx::product::lock()) {
  const QXProductInfo defaults[] = {
      {CFSTR("com.orvex.studio"), CFSTR("Orvex Studio"), CFSTR("Orvex Studio"), CFSTR("Orvex Studio"), CFSTR("1.0"),
       CFSTR("ovpreset"), CFSTR("com.orvex.studio.plugin"), CFSTR("Orvex Studio"), 52140, false},
      {CFSTR("com.orvex.frames"), CFSTR("Orvex Frames"), CFSTR("Orvex Frames"), CFSTR("Orvex Frames"), CFSTR("1.0"),
       CFSTR("ovframe"), CFSTR("com.orvex.frames.plugin"), CFSTR("Orvex Frames"), 52141, true},
  };
  for (const QXProductInfo& info : defaults) registerLocked(catalogue, info, nullptr);
}

Catalogue& catalogue() {
  static Catalogue* table = [] {
    auto* c = new Catalogue;
    qx::MutexLock guard(qx::product::lock());
    registerDefaults(*c);
    return c;
  }();
  return *table;
}

}  // namespace

qx::Mutex& qx::product::lock() {
  static auto* mutex = new qx::Mutex;
  return *mutex;
}

qx::product::FolderState& qx::product::folderState() {
  static auto* state = new FolderState;
  return *state;
}

CFStringRef QXProductGetFamilyName(void) { return CFSTR("Orvex"); }

CFStringRef QXProductGetServiceType(void) { return CFSTR("_orvex._tcp."); }

QXStatus QXProductRegister(const QXProductInfo* info, QXProductRef* outProduct) {
  return qxfiles::NoThrow([&]() -> int32_t {
    if (outProduct != nullptr) *outProduct = nullptr;
    if (info == nullptr) return kQXErrInvalidArgument;
    Catalogue& table = catalogue();
    qx::MutexLock guard(qx::product::lock());
    CProduct* product = nullptr;
    int32_t status = registerLocked(table, *info, &product);
    if (status == 0 && outProduct != nullptr) *outProduct = qx::toHandle<__QXProduct>(product);
    return status;
  });
}

QXProductRef QXProductGetWithIdentifier(CFStringRef identifier) {
  return qxfiles::NoThrow([&]() -> QXProductRef {
    if (identifier == nullptr) return nullptr;
    Catalogue& table = catalogue();
    qx::MutexLock guard(qx::product::lock());
    for (CProduct* product : table.products) {
      if (CFEqual(product->mIdentifier.get(), identifier)) return qx::toHandle<__QXProduct>(product);
    }
    return nullptr;
  });
}

CFArrayRef QXProductCopyIdentifiers(void) {
  return qxfiles::NoThrow([&]() -> CFArrayRef {
    Catalogue& table = catalogue();
    qx::MutexLock guard(qx::product::lock());
    CFMutableArrayRef identifiers =
        CFArrayCreateMutable(nullptr, static_cast<CFIndex>(table.products.size()), &kCFTypeArrayCallBacks);
    if (identifiers == nullptr) return nullptr;
    for (CProduct* product : table.products) CFArrayAppendValue(identifiers, product->mIdentifier.get());
    return identifiers;
  });
}

namespace {
// The borrowed text of one field of a product record; NULL for a NULL product.
CFStringRef textOf(QXProductRef product, qxcf::CFRef<CFStringRef> CProduct::*field) {
  return product != nullptr ? (qx::fromHandle(product)->*field).get() : nullptr;
}
}  // namespace

CFStringRef QXProductGetIdentifier(QXProductRef product) { return textOf(product, &CProduct::mIdentifier); }
CFStringRef QXProductGetName(QXProductRef product) { return textOf(product, &CProduct::mName); }
CFStringRef QXProductGetDisplayName(QXProductRef product) { return textOf(product, &CProduct::mDisplayName); }
CFStringRef QXProductGetFolderName(QXProductRef product) { return textOf(product, &CProduct::mFolderName); }
CFStringRef QXProductGetVersion(QXProductRef product) { return textOf(product, &CProduct::mVersion); }
CFStringRef QXProductGetPresetExt(QXProductRef product) { return textOf(product, &CProduct::mPresetExt); }
CFStringRef QXProductGetPluginIdentifier(QXProductRef product) { return textOf(product, &CProduct::mPluginIdentifier); }
CFStringRef QXProductGetServiceName(QXProductRef product) { return textOf(product, &CProduct::mServiceName); }
uint16_t QXProductGetPort(QXProductRef product) { return product != nullptr ? qx::fromHandle(product)->mPort : 0; }
bool QXProductUsesNamedSubFolders(QXProductRef product) {
  return product != nullptr && qx::fromHandle(product)->mNamedSubFolders;
}

void qx::testing::ResetProductCatalogue() {
  Catalogue& table = catalogue();
  qx::MutexLock guard(qx::product::lock());
  table.retired.insert(table.retired.end(), table.products.begin(), table.products.end());
  table.products.clear();
  registerDefaults(table);
  qx::product::FolderState& folders = qx::product::folderState();
  folders.userGlobal = false;
  ++folders.generation;
}
