// Lookup tables shared by colour profiles and colour cubes: checking a table against its mode and
// grid, building one through a two-profile transform, and the lookups.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXBase.h>
#include <QXCore/QXImage.h>
#include <lcms2.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "cf/CFRef.h"

namespace qxcolor {

// A table in use: immutable once made, shared by the readers that took it.
struct CubeTable {
  qxcf::CFRef<CFDataRef> data;
  int32_t mode = 0;
  int32_t grid = 0;
  uint32_t grid2 = 0, grid3 = 0;
  float scale = 0;
  const uint8_t* bytes = nullptr;
  // Per input value: the byte offsets of the lower and upper corner along each axis, and the
  // fraction between them (the same on every axis).
  uint32_t lower[4][256] = {}, upper[4][256] = {};
  float fraction[256] = {};
};
using CubeTablePtr = std::shared_ptr<const CubeTable>;

// The table an object converts with. Lookups read it without a lock or a reference count, so a
// replaced table is kept until the object goes: a conversion running on another thread finishes
// with the table it took. Replacements are rare (a rebuild, a new grid, the cube setters).
class TableSlot {
 public:
  const CubeTable* Get() const { return mCurrent.load(std::memory_order_acquire); }
  CubeTablePtr Shared() const {
    std::lock_guard<std::mutex> guard(mLock);
    return mShared;
  }
  void Set(CubeTablePtr table) {
    std::lock_guard<std::mutex> guard(mLock);
    if (mShared) mKept.push_back(mShared);
    mShared = std::move(table);
    mCurrent.store(mShared.get(), std::memory_order_release);
  }

 private:
  std::atomic<const CubeTable*> mCurrent{nullptr};
  mutable std::mutex mLock;
  CubeTablePtr mShared;
  std::vector<CubeTablePtr> mKept;
};

// The cube mode and grid for a colour model (1 gray, 2 RGB, 3 CMYK), the grid given for RGB and
// CMYK. False for another model.
bool ModeForModel(int32_t model, int32_t grid, int32_t& mode, int32_t& outGrid);
// The table for `data` when its length is exactly what mode and grid call for (RGB grids 2 ... 256,
// CMYK 2 ... 64, gray 256); kQXErrInvalidArgument otherwise, kQXErrMemory.
QXStatus MakeCubeTable(CFDataRef data, int32_t mode, int32_t grid, CubeTablePtr& out);
// Builds the table of a mode and grid through source -> target (relative colorimetric). 0,
// kQXErrInvalidArgument for a bad grid, kQXErrUnsupportedFormat when the source profile does not
// fit the mode, kQXErrMemory.
QXStatus BuildCubeData(cmsHPROFILE source, cmsHPROFILE target, int32_t mode, int32_t grid, qxcf::CFRef<CFDataRef>& out);

// Lookups; without a table of the right mode they fall back as the public headers say.
void CubeRGB(const CubeTable* table, const uint8_t in[3], uint8_t out[3]);
void CubeCMYK(const CubeTable* table, const uint8_t in[4], uint8_t out[3]);
void CubeGray(const CubeTable* table, uint8_t v, uint8_t out[3]);

// Converts an RGB image in place through an RGB table (see QXColorProfileApplyToImage).
QXStatus ApplyTable(const CubeTable* table, QXImageRef image);

}  // namespace qxcolor
