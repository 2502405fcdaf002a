// The records of the product catalogue and the lock that guards the catalogue's shared state.
#pragma once

#include <QXCore/QXProduct.h>

#include <cstdint>
#include <mutex>

#include "cf/CFRef.h"
#include "core/Handle.h"
#include "core/ThreadAnnotations.h"

namespace qx::product {
// Guards the catalogue table, the folder mode and every record's folder cache.
qx::Mutex& lock();
}  // namespace qx::product

// One application of the family. The fields are fixed when the record is registered; records
// are never destroyed, so handles and borrowed strings stay valid for the life of the process.
class CProduct {
 public:
  qxcf::CFRef<CFStringRef> mIdentifier;
  qxcf::CFRef<CFStringRef> mName;
  qxcf::CFRef<CFStringRef> mDisplayName;
  qxcf::CFRef<CFStringRef> mFolderName;
  qxcf::CFRef<CFStringRef> mVersion;
  qxcf::CFRef<CFStringRef> mPresetExt;
  qxcf::CFRef<CFStringRef> mPluginIdentifier;
  qxcf::CFRef<CFStringRef> mServiceName;
  uint16_t mPort = 0;
  bool mNamedSubFolders = false;

  // The support folders (index 1: user data, 0: shared data) once found, valid while
  // mCacheGeneration equals the catalogue's folder generation.
  qxcf::CFRef<CFURLRef> mSupportURL[2] QX_GUARDED_BY(qx::product::lock());
  uint64_t mCacheGeneration[2] QX_GUARDED_BY(qx::product::lock()) = {0, 0};
};

namespace qx {
QX_HANDLE_CLASS(__QXProduct, CProduct);

namespace product {

// The folder mode and the generation that changes whenever cached folders become stale (a mode
// change, a test reset).
struct FolderState {
  bool userGlobal = false;
  uint64_t generation = 1;
};
FolderState& folderState() QX_REQUIRES(lock());

}  // namespace product
}  // namespace qx
