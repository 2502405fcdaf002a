// qxtool image import/export: PNG, TIFF and JPEG files through libvips, a band at a time.
// libvips is qxtool's file-format layer only; the library itself never links it.
#pragma once

#include <QXCore/QXImage.h>

#include <cstdint>
#include <string>

#include "core/ProgramSupport.h"

namespace qxfiles {

// Largest image import accepts: each side at most 2^20 (the engine's limit) and at most 2^31
// pixels in all, which keeps the tiles of a 16-bit RGBA image within the default load limit.
constexpr int64_t kMaxImportSide = int64_t(1) << 20;
constexpr int64_t kMaxImportPixels = int64_t(1) << 31;
constexpr int kDefaultJpegQuality = 90;

// The image file at `path` as a new tiled record. Its embedded ICC profile, if any, goes to
// `profile` (cleared otherwise), and its colour model sets the record's colour space. On failure
// prints the reason and returns null.
qx::ImageHolder importFile(const std::string& path, std::string& profile);

// Writes the image to `out` in the format of its suffix (.png, .tif/.tiff, .jpg/.jpeg), embedding
// `profile` when it is not empty. Written beside `out` and renamed into place. 0 or 1.
int exportFile(QXImageRef image, const std::string& out, const std::string& profile, int jpegQuality);

// Whether `out`'s suffix names a format exportFile writes.
bool exportable(const std::string& out);

// The colour-space code (kQXImageColorSpace...) of an ICC profile's colour model, or -1 when the
// bytes are not a profile of a gray, RGB or CMYK model.
int32_t profileColorSpace(const std::string& bytes);

}  // namespace qxfiles
