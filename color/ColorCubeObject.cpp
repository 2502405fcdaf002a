// Stand-alone colour cubes: a table from one profile to another, applied without the engine.
#include <QXCore/QXColor.h>
#include <QXCore/QXLog.h>

#include <mutex>

#include "cf/CFRef.h"
#include "color/ColorCube.h"
#include "color/ColorEngine.h"
#include "color/ColorProfile.h"
#include "core/Handle.h"

using qxcf::CFRef;

class CImageColorCube : public CBaseCore {
 public:
  CFRef<CFDataRef> mData;
  int32_t mMode = 0;
  int32_t mGrid = kQXColorCubeDefaultGrid;

  qxcolor::TableSlot mTable;

  // The table the fields describe, or none when they disagree.
  void Derive() {
    qxcolor::CubeTablePtr table;
    if (qxcolor::MakeCubeTable(mData.get(), mMode, mGrid, table) != kQXNoErr) table = nullptr;
    mTable.Set(std::move(table));
  }
};

namespace qx {
QX_HANDLE_CLASS(__QXColorCube, CImageColorCube);
}  // namespace qx

namespace {

using qx::fromHandle;
using qx::toHandle;

CImageColorCube* C(QXColorCubeRef cube) { return fromHandle(cube); }

void Report(const char* what, QXStatus status) {
  QXLogWithParams(1, CFSTR("QXCore"), status, CFSTR("Color cube not built: %s"), what);
}

}  // namespace

QX_EXPORT QXColorCubeRef QXColorCubeCreate(void) {
  return toHandle<__QXColorCube>(qx::make<CImageColorCube>().release());
}

QX_EXPORT QXColorCubeRef QXColorCubeCreateFromProfiles(QXColorProfileRef source, QXColorProfileRef destination,
                                                       int32_t model) {
  qx::Ref<CImageColorCube> cube = qx::make<CImageColorCube>();
  if (!cube) return nullptr;
  int32_t mode = 0, grid = 0;
  if (!qxcolor::ModeForModel(model, cube->mGrid, mode, grid)) {
    Report("unknown colour model", kQXErrGeneric);
    return nullptr;
  }
  if (!source || !destination) {
    Report("missing profile", kQXErrInvalidArgument);
    return nullptr;
  }
  CFRef<CFDataRef> fromBytes, toBytes;
  if (fromHandle(source)->NativeBytes(fromBytes) != 0 || fromHandle(destination)->NativeBytes(toBytes) != 0 ||
      !fromBytes || !toBytes) {
    Report("profile without data", kQXErrInvalidProfile);
    return nullptr;
  }
  qxcolor::Profile from = qxcolor::OpenProfile(fromBytes.get()), to = qxcolor::OpenProfile(toBytes.get());
  if (!from || !to) {
    Report("profile not readable", kQXErrInvalidProfile);
    return nullptr;
  }
  if (QXStatus status = qxcolor::BuildCubeData(from.get(), to.get(), mode, grid, cube->mData)) {
    Report("transform failed", status);
    return nullptr;
  }
  cube->mMode = mode;
  cube->mGrid = grid;
  cube->Derive();
  return toHandle<__QXColorCube>(cube.release());
}

QX_EXPORT QXColorCubeRef QXColorCubeRetain(QXColorCubeRef cube) { return cube ? qx::retainHandle(cube) : nullptr; }
QX_EXPORT void QXColorCubeRelease(QXColorCubeRef cube) {
  if (cube) qx::releaseHandle(cube);
}

QX_EXPORT CFDataRef QXColorCubeGetDataRef(QXColorCubeRef cube) { return cube ? C(cube)->mData.get() : nullptr; }
QX_EXPORT const uint8_t* QXColorCubeGetDataPtr(QXColorCubeRef cube) {
  return cube && C(cube)->mData ? CFDataGetBytePtr(C(cube)->mData.get()) : nullptr;
}
QX_EXPORT void QXColorCubeSetData(QXColorCubeRef cube, CFDataRef data) {
  if (!cube) return;
  C(cube)->mData = CFRef<CFDataRef>::retain(data);
  C(cube)->Derive();
}
QX_EXPORT int32_t QXColorCubeGetMode(QXColorCubeRef cube) { return cube ? C(cube)->mMode : 0; }
QX_EXPORT void QXColorCubeSetMode(QXColorCubeRef cube, int32_t mode) {
  if (!cube) return;
  C(cube)->mMode = mode;
  C(cube)->Derive();
}
QX_EXPORT int32_t QXColorCubeGetGridSize(QXColorCubeRef cube) { return cube ? C(cube)->mGrid : 0; }
QX_EXPORT void QXColorCubeSetGridSize(QXColorCubeRef cube, int32_t gridSize) {
  if (!cube) return;
  C(cube)->mGrid = gridSize;
  C(cube)->Derive();
}
QX_EXPORT QXStatus QXColorCubeSetTable(QXColorCubeRef cube, CFDataRef data, int32_t mode, int32_t gridSize) {
  if (!cube) return kQXErrInvalidArgument;
  qxcolor::CubeTablePtr table;
  if (QXStatus status = qxcolor::MakeCubeTable(data, mode, gridSize, table)) return status;
  C(cube)->mData = CFRef<CFDataRef>::retain(data);
  C(cube)->mMode = mode;
  C(cube)->mGrid = gridSize;
  C(cube)->Derive();
  return kQXNoErr;
}

QX_EXPORT QXStatus QXColorCubeConvertRGBToRGB(QXColorCubeRef cube, uint8_t r, uint8_t g, uint8_t b, uint8_t* outR,
                                              uint8_t* outG, uint8_t* outB) {
  uint8_t v[3] = {r, g, b};
  const qxcolor::CubeTable* table = cube ? C(cube)->mTable.Get() : nullptr;
  qxcolor::CubeRGB(table, v, v);
  if (outR) *outR = v[0];
  if (outG) *outG = v[1];
  if (outB) *outB = v[2];
  return kQXNoErr;
}

QX_EXPORT QXStatus QXColorCubeConvertCMYKToRGB(QXColorCubeRef cube, uint8_t c, uint8_t m, uint8_t y, uint8_t k,
                                               uint8_t* outR, uint8_t* outG, uint8_t* outB) {
  const uint8_t in[4] = {c, m, y, k};
  uint8_t v[3];
  const qxcolor::CubeTable* table = cube ? C(cube)->mTable.Get() : nullptr;
  qxcolor::CubeCMYK(table, in, v);
  if (outR) *outR = v[0];
  if (outG) *outG = v[1];
  if (outB) *outB = v[2];
  return kQXNoErr;
}

QX_EXPORT QXStatus QXColorCubeConvertGrayToRGB(QXColorCubeRef cube, uint8_t gray, uint8_t* outR, uint8_t* outG,
                                               uint8_t* outB) {
  uint8_t v[3];
  const qxcolor::CubeTable* table = cube ? C(cube)->mTable.Get() : nullptr;
  qxcolor::CubeGray(table, gray, v);
  if (outR) *outR = v[0];
  if (outG) *outG = v[1];
  if (outB) *outB = v[2];
  return kQXNoErr;
}

QX_EXPORT QXStatus QXColorCubeApplyToImage(QXColorCubeRef cube, QXImageRef image) {
  if (!cube) return kQXErrInvalidArgument;
  return qxcolor::ApplyTable(C(cube)->mTable.Get(), image);
}
