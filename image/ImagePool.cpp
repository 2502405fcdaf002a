// The image pool: ready-made tiled images of one format, pinned and filled ahead of need so that a
// host can hand one out without waiting for tiles to load. One thread uses a pool at a time.
#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXImage.h>

#include "cf/CFRef.h"
#include "core/Handle.h"
#include "image/ImageRec.h"

class ImagePool : public CBaseCore {
 public:
  ImagePool() : mImages(CFArrayCreateMutable(kCFAllocatorDefault, 0, QXUtilsGetArrayCallbacks())) {}
  ~ImagePool() override {
    if (mImages) CFRelease(mImages);
  }
  ImagePool(const ImagePool&) = delete;
  ImagePool& operator=(const ImagePool&) = delete;

  bool Valid() const { return mImages != nullptr; }

  int32_t Update(int32_t count, QXRect bounds, int32_t depth, int32_t planes, int32_t colorSpaceType,
                 int32_t transparency) {
    if (bounds.x != mBounds.x || bounds.y != mBounds.y || bounds.width != mBounds.width ||
        bounds.height != mBounds.height || depth != mDepth || planes != mPlanes || colorSpaceType != mColorSpaceType ||
        transparency != mTransparency) {
      mBounds = bounds;
      mDepth = depth;
      mPlanes = planes;
      mColorSpaceType = colorSpaceType;
      mTransparency = transparency;
      CFArrayRemoveAllValues(mImages);
    }
    while (CFArrayGetCount(mImages) < count) {
      qx::Ref<CImageRec> image;
      if (int32_t status = Make(image)) return status;
      // A pool image that is not pinned and filled would make its taker wait after all, so a
      // failure of either is reported and the image is not kept.
      if (int32_t status = image->SetKeepResident(1)) return status;
      if (int32_t status = image->Fill(255)) return status;
      CFArrayAppendValue(mImages, static_cast<CBaseCore*>(image.get()));
    }
    return 0;
  }

  int32_t Acquire(QXImageRef* out) {
    if (CFArrayGetCount(mImages) == 0) {
      qx::Ref<CImageRec> image;
      if (int32_t status = Make(image)) return status;
      *out = qx::toHandle<__QXImage>(image.release());
      return 0;
    }
    qx::Ref<CImageRec> image = qx::Ref<CImageRec>::retain(qx::ObjectAt<CImageRec>(mImages, 0));
    CFArrayRemoveValueAtIndex(mImages, 0);
    // Its tiles may be purged again from now on.
    if (int32_t status = image->SetKeepResident(0)) return status;
    *out = qx::toHandle<__QXImage>(image.release());
    return 0;
  }

 private:
  // A tiled record of the pool's format with its grid allocated; not pinned, not filled.
  int32_t Make(qx::Ref<CImageRec>& out) {
    CImageRec* image = nullptr;
    const int32_t status = qximage::MakeRecord<CImageRecFile>(mBounds, mDepth, mPlanes, mColorSpaceType, mTransparency,
                                                              kQXImageSourceTiled, true, &image);
    out = qx::Ref<CImageRec>::adopt(image);
    return status;
  }

  CFMutableArrayRef mImages;  // oldest first; the array holds one reference to each
  QXRect mBounds{0, 0, 0, 0};
  int32_t mDepth = 0;
  int32_t mPlanes = 0;
  int32_t mColorSpaceType = 0;
  int32_t mTransparency = 0;
};

namespace qx {
QX_HANDLE_CLASS(__QXImagePool, ImagePool);
}  // namespace qx

extern "C" {

QX_EXPORT QXImagePoolRef QXImagePoolCreate(void) {
  qx::Ref<ImagePool> pool = qx::make<ImagePool>();
  if (!pool || !pool->Valid()) return nullptr;
  return qx::toHandle<__QXImagePool>(pool.release());
}

QX_EXPORT QXImagePoolRef QXImagePoolRetain(QXImagePoolRef pool) { return pool ? qx::retainHandle(pool) : nullptr; }

QX_EXPORT void QXImagePoolRelease(QXImagePoolRef pool) {
  if (pool) qx::releaseHandle(pool);
}

QX_EXPORT QXStatus QXImagePoolUpdate(QXImagePoolRef pool, int32_t count, QXRect bounds, int32_t depth, int32_t planes,
                                     int32_t colorSpaceType, int32_t transparency) {
  if (pool == nullptr) return kQXErrInvalidArgument;
  return qx::fromHandle(pool)->Update(count, bounds, depth, planes, colorSpaceType, transparency);
}

QX_EXPORT QXStatus QXImagePoolAcquire(QXImagePoolRef pool, QXImageRef* outImage) {
  if (outImage == nullptr) return kQXErrInvalidArgument;
  *outImage = nullptr;
  if (pool == nullptr) return kQXErrInvalidArgument;
  return qx::fromHandle(pool)->Acquire(outImage);
}

}  // extern "C"
