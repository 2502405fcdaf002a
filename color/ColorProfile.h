// Colour profiles and their descriptions behind the QXColorProfile and QXColorProfileDesc handles.
#pragma once

#include <QXCore/QXColor.h>

#include <mutex>

#include "cf/CFRef.h"
#include "color/ColorCube.h"
#include "core/Handle.h"

class CImageColorProfile : public CBaseCore {
 public:
  // Field access; the lock guards them against the cube builders and on-demand loading.
  std::mutex mLock;
  qxcf::CFRef<CFDataRef> mData;  // cube data as set or built; not in use until checked
  qxcf::CFRef<CFDataRef> mICC;
  int32_t mMode = 0;
  int32_t mGrid = kQXColorCubeDefaultGrid;
  qxcf::CFRef<CFStringRef> mName;
  qxcf::CFRef<CFDataRef> mNative;  // bytes of a profile opened without keeping them as ICC data
  uint32_t mStandard = 0;          // set on the shared standard profiles only

  // The table in use; see TableSlot.
  qxcolor::TableSlot mTable;

  // The bytes that stand for the profile: ICC data, else bytes opened earlier, else the named
  // file (then kept as ICC data). 0 with null when there are none, else the read's error.
  QXStatus NativeBytes(qxcf::CFRef<CFDataRef>& out);
  QXStatus BuildCube(int32_t model);  // with mLock held
};

class CImageColorProfileDesc : public CBaseCore {
 public:
  qxcf::CFRef<CFStringRef> mDisplayName;
  qxcf::CFRef<CFStringRef> mName;
};

namespace qx {
QX_HANDLE_CLASS(__QXColorProfile, CImageColorProfile);
QX_HANDLE_CLASS(__QXColorProfileDesc, CImageColorProfileDesc);
}  // namespace qx
