// Image records: the abstract record every pixel operation is written against, and its three kinds.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXImage.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "core/Handle.h"

class CBaseStream;
class CImageTile;

// Limits every record keeps, so that rowBytes, tile offsets and buffer sizes fit their types.
namespace qximage {
constexpr int32_t kTile = kQXImageTileSize;
constexpr int32_t kMaxPlanes = 32;
constexpr int64_t kMaxTiles = int64_t(1) << 20;
}  // namespace qximage

class QX_EXPORT CImageRec : public CBaseCore {
 public:
  CImageRec();
  ~CImageRec() override;

  virtual int32_t Purge() { return 0; }
  virtual int32_t PurgeTile(CImageTile*) { return 0; }
  virtual int32_t AdjustBounds(QXRect bounds, int32_t loPlane, int32_t hiPlane);
  virtual int32_t CreateLike(QXRect bounds, int32_t depth, int32_t planes, int32_t colorSpaceType, int32_t transparency,
                             bool allocate, CImageRec** out) = 0;
  virtual void* LockBuffer() = 0;
  virtual void UnlockBuffer() = 0;
  virtual int32_t Fill(uint8_t value);
  virtual int32_t Read(QXRect rect, int32_t loPlane, int32_t hiPlane, void* buffer, int32_t rowBytes,
                       int32_t flags) = 0;
  virtual int32_t Write(QXRect rect, int32_t loPlane, int32_t hiPlane, const void* buffer, int32_t rowBytes,
                        int32_t flags) = 0;
  // Writes the pixels, row by row, to a raw file named after the format in `folder`.
  virtual void Dump(CFStringRef prefix, CFURLRef folder);
  virtual void DumpCoherenceStateTileMap() {}
  virtual int32_t ReadFromStream(CBaseStream*) { return kQXErrNotOffered; }
  virtual int32_t Init(QXRect bounds, int32_t depth, int32_t planes, int32_t colorSpaceType, int32_t transparency,
                       int32_t dataSourceType, bool allocate);
  virtual int32_t GetNativeTile(int32_t row, int32_t col, int32_t flags, CImageTile** out);
  virtual bool GetTileLoaded(int32_t, int32_t) { return true; }
  virtual bool TileInUse() { return false; }
  virtual int32_t SetKeepResident(int32_t flag);
  virtual int32_t SaveToStream(CBaseStream*) { return kQXErrNotOffered; }
  // Scales `sourceRect` of this record into `destinationRect` of `destination` with the
  // interpolating resampler.
  virtual int32_t Resample(QXRect sourceRect, CImageRec* destination, QXRect destinationRect);
  virtual int32_t Allocate() = 0;

  // The checks of Init and AdjustBounds without their effects.
  static int32_t CheckInit(QXRect bounds, int32_t depth, int32_t planes);
  int32_t CheckAdjust(QXRect bounds, int32_t loPlane, int32_t hiPlane) const;

  int32_t NumPlanes() const { return mPlaneBytes > 0 ? mColBytes / mPlaneBytes : 0; }
  void SetName(CFStringRef name);

  std::recursive_mutex& Mutex() { return mMutex; }

  QXRect mBounds{0, 0, 0, 0};
  int32_t mLoPlane = 0;
  int32_t mHiPlane = 0;
  int32_t mPlaneBytes = 0;
  int32_t mColBytes = 0;
  int32_t mRowBytes = 0;
  int32_t mSize = 0;
  double mRate = 0;
  int16_t mPadding = -2;
  int32_t mDepth = 0;
  int32_t mID = 0;
  int32_t mInternalID;
  void* mRefCon = nullptr;
  int32_t mRefCon2 = 0;
  int32_t mMipLevel = 0;
  int32_t mType = 0;
  int32_t mColorSpaceType = 0;
  int32_t mTransparency = 0;
  int32_t mDataSourceType = kQXImageSourceNone;
  CFStringRef mName = nullptr;
  // Read by the cache's purge walk without the record's lock.
  std::atomic<int32_t> mKeepResident{0};

 protected:
  std::recursive_mutex mMutex;
};

// What a transfer resolved from its arguments: the part of the request that lies inside the
// image, where that part starts in the caller's buffer, and the sample layout on both sides.
struct QXTransfer {
  QXRect area{};             // the clipped rectangle, in image coordinates
  int32_t planes = 0;        // planes transferred
  int32_t planeOffset = 0;   // bytes from the start of an image pixel to the first plane transferred
  int32_t bufSample = 0;     // bytes per sample in the buffer
  int64_t bufRowBytes = 0;   // bytes between buffer rows
  int64_t bufOffset = 0;     // offset of area's first pixel in the buffer
  int32_t flag = 0;          // the one conversion that applies (16-bit images only)
  bool wholePixels = false;  // every plane of the image and no conversion: rows copy as blocks
};

namespace qximage {

// GetNativeTile flag of the library's own callers, never taken from applications: the caller
// writes every byte of the tile before releasing it, so new storage is not cleared and a purged
// tile is not read back from the store.
constexpr int32_t kTileOverwrite = 0x40000000;

// Resolves and validates a Read/Write request against `image`: kQXErrInvalidArgument for an
// empty rectangle or a plane range outside the image; 0 with an empty `area` when the request
// misses the image.
int32_t ResolveTransfer(const CImageRec& image, QXRect rect, int32_t loPlane, int32_t hiPlane, int32_t rowBytes,
                        int32_t flags, bool write, QXTransfer& out);
// Copies `width` pixels of one row from `from` (a pixel every `fromStep` bytes) to `to` (every
// `toStep` bytes): the transfer's planes of each, converted by its flag. Reads and writes are this
// one routine with the image and buffer sides swapped.
void CopyRow(const QXTransfer& t, int32_t planeBytes, const uint8_t* from, size_t fromStep, uint8_t* to, size_t toStep,
             int32_t width);
// One row between image memory (pixels of `colBytes`) and a buffer, in either direction.
inline void ReadRow(const QXTransfer& t, const uint8_t* image, int32_t colBytes, int32_t planeBytes, uint8_t* buffer,
                    int32_t width) {
  CopyRow(t, planeBytes, image + t.planeOffset, size_t(colBytes), buffer, size_t(t.planes) * size_t(t.bufSample),
          width);
}
inline void WriteRow(const QXTransfer& t, uint8_t* image, int32_t colBytes, int32_t planeBytes, const uint8_t* buffer,
                     int32_t width) {
  CopyRow(t, planeBytes, buffer, size_t(t.planes) * size_t(t.bufSample), image + t.planeOffset, size_t(colBytes),
          width);
}
// The intersection of two rectangles; width and height 0 when they do not meet.
QXRect Intersect(QXRect a, QXRect b);

}  // namespace qximage

class QX_EXPORT CImageRecMemory final : public CImageRec {
 public:
  ~CImageRecMemory() override;

  int32_t AdjustBounds(QXRect bounds, int32_t loPlane, int32_t hiPlane) override;
  int32_t CreateLike(QXRect bounds, int32_t depth, int32_t planes, int32_t colorSpaceType, int32_t transparency,
                     bool allocate, CImageRec** out) override;
  void* LockBuffer() override { return mBuffer; }
  void UnlockBuffer() override {}
  int32_t Read(QXRect rect, int32_t loPlane, int32_t hiPlane, void* buffer, int32_t rowBytes, int32_t flags) override;
  int32_t Write(QXRect rect, int32_t loPlane, int32_t hiPlane, const void* buffer, int32_t rowBytes,
                int32_t flags) override;
  int32_t Allocate() override { return Allocate(true); }
  // `zeroed` false only for a buffer the caller fills whole at once.
  int32_t Allocate(bool zeroed);

  // Lends a caller's buffer (never freed by the record).
  void Lend(void* buffer) {
    mBuffer = static_cast<uint8_t*>(buffer);
    mOwnsBuffer = false;
  }

  uint8_t* mBuffer = nullptr;
  bool mOwnsBuffer = false;
};

class QX_EXPORT CImageRecSolidFill final : public CImageRec {
 public:
  int32_t CreateLike(QXRect bounds, int32_t depth, int32_t planes, int32_t colorSpaceType, int32_t transparency,
                     bool allocate, CImageRec** out) override;
  void* LockBuffer() override { return nullptr; }
  void UnlockBuffer() override {}
  int32_t Read(QXRect, int32_t, int32_t, void*, int32_t, int32_t) override { return 0; }
  int32_t Write(QXRect, int32_t, int32_t, const void*, int32_t, int32_t) override { return 0; }
  int32_t Allocate() override { return 0; }
};

class QX_EXPORT CImageRecFile final : public CImageRec {
 public:
  CImageRecFile();
  ~CImageRecFile() override;

  int32_t Purge() override;
  int32_t PurgeTile(CImageTile* tile) override;
  int32_t AdjustBounds(QXRect bounds, int32_t loPlane, int32_t hiPlane) override;
  int32_t CreateLike(QXRect bounds, int32_t depth, int32_t planes, int32_t colorSpaceType, int32_t transparency,
                     bool allocate, CImageRec** out) override;
  void* LockBuffer() override { return nullptr; }
  void UnlockBuffer() override {}
  int32_t Fill(uint8_t value) override;
  int32_t Read(QXRect rect, int32_t loPlane, int32_t hiPlane, void* buffer, int32_t rowBytes, int32_t flags) override;
  int32_t Write(QXRect rect, int32_t loPlane, int32_t hiPlane, const void* buffer, int32_t rowBytes,
                int32_t flags) override;
  int32_t ReadFromStream(CBaseStream* stream) override;
  void DumpCoherenceStateTileMap() override;
  int32_t Init(QXRect bounds, int32_t depth, int32_t planes, int32_t colorSpaceType, int32_t transparency,
               int32_t dataSourceType, bool allocate) override;
  int32_t GetNativeTile(int32_t row, int32_t col, int32_t flags, CImageTile** out) override;
  bool GetTileLoaded(int32_t row, int32_t col) override;
  bool TileInUse() override;
  int32_t SetKeepResident(int32_t flag) override;
  int32_t SaveToStream(CBaseStream* stream) override;
  int32_t Allocate() override { return 0; }

  int32_t TileRows() const { return mTileRows; }
  int32_t TileCols() const { return mTileCols; }
  int32_t TileCount() const { return mTileCount; }
  CImageTile* TileAt(int32_t index) const { return mTiles[size_t(index)]; }
  // The grid as it is now, each tile retained, without the record's lock (a reshape may replace
  // the grid meanwhile). False when memory runs out.
  bool CopyGrid(std::vector<qx::Ref<CImageTile>>& tiles, int32_t& rows, int32_t& cols);

 private:
  // Builds an empty grid for the current geometry (the old one must be gone): 0 or kQXErrMemory.
  int32_t BuildGrid();
  // Leaves the cache and the store, tells the listeners and releases every tile.
  void DestroyGrid();
  // Walks the tiles a clipped transfer touches, each resident and held; `copy` gets the tile and
  // the part of the transfer's area inside it.
  template <class Copy>
  int32_t ForEachTile(const QXTransfer& t, bool write, Copy&& copy);

  // The grid is replaced under both the record's lock and mGridMutex, so it may be read under
  // either. mGridMutex is a leaf, held only while the grid is swapped, copied or scanned: the
  // queries a thread holding one of our tiles may make take it instead of the record's lock.
  std::mutex mGridMutex;
  int32_t mTileCount = 0;
  int32_t mTileRows = 0;
  int32_t mTileCols = 0;
  std::vector<CImageTile*> mTiles;
};

namespace qx {
QX_HANDLE_CLASS(__QXImage, CImageRec);
}  // namespace qx

namespace qximage {

// A new record of one kind, initialised: the one way every kind and the C interface create them.
// `out` holds one reference on success, null otherwise.
template <class Record>
int32_t MakeRecord(QXRect bounds, int32_t depth, int32_t planes, int32_t colorSpaceType, int32_t transparency,
                   int32_t dataSourceType, bool allocate, CImageRec** out) {
  *out = nullptr;
  qx::Ref<Record> image = qx::make<Record>();
  if (!image) return kQXErrMemory;
  if (int32_t status = image->Init(bounds, depth, planes, colorSpaceType, transparency, dataSourceType, allocate))
    return status;
  *out = image.release();
  return 0;
}

}  // namespace qximage
