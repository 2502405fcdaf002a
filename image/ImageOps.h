// Helpers shared by the pixel operations: format checks, the plain band copy and nearest-pixel
// scaling. Bands and scratch are in PixelBand.h, work for the thread pool in PoolTasks.h.
#pragma once

#include <QXCore/QXImage.h>

#include <cstdint>

#include "image/ImageRec.h"

namespace qximage {

// 0 when the record has whole-byte samples (1, 2 or 4 bytes) and at least one plane, else
// kQXErrUnsupportedFormat.
int32_t CheckFormat(const CImageRec& image);
// 0 when both records can exchange pixels as they are (same depth and planes), else
// kQXErrUnsupportedFormat.
int32_t CheckSameFormat(const CImageRec& a, const CImageRec& b);

// Plain copy of `sourceRect` of `source` to `destinationRect` of `destination`, in bands through
// Read and Write (all planes). Unequal sizes give kQXErrInvalidArgument. Both rectangles are
// clipped to both images together, so the pixels that lie in both are copied and nothing else.
// Overlapping rectangles of one record copy correctly. No record lock is held across two calls.
int32_t CopyRect(CImageRec* source, QXRect sourceRect, CImageRec* destination, QXRect destinationRect);

// Nearest-pixel scaling of `sourceRect` into `destinationRect` (any depth). Source positions
// outside the source image are clamped to its edge; destination pixels outside the destination
// image are skipped.
int32_t ResampleNearest(CImageRec* source, QXRect sourceRect, CImageRec* destination, QXRect destinationRect);

}  // namespace qximage
