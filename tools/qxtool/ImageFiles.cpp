// Image files through libvips. Import pulls the decoded file through vips_sink_disc, which hands
// over bands of rows in order, and writes each band into a tiled record; export gives libvips an
// image whose pixels a generator reads from the record on demand, so the saver pulls strips and
// neither side ever holds the whole image.
#include "ImageFiles.h"

#include <unistd.h>
#include <vips/vips.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace qxfiles {
namespace {

int failWith(const std::string& what, const std::string& why) {
  std::fprintf(stderr, "qxtool image: %s: %s\n", what.c_str(), why.c_str());
  return 1;
}

// libvips' accumulated error lines on one line, each once (a failing writer repeats itself), and
// the buffer cleared for the next call.
std::string vipsError() {
  const std::string buffer = vips_error_buffer();
  vips_error_clear();
  std::vector<std::string> seen;
  std::string text;
  size_t start = 0;
  while (start < buffer.size()) {
    size_t end = buffer.find('\n', start);
    if (end == std::string::npos) end = buffer.size();
    std::string line = buffer.substr(start, end - start);
    start = end + 1;
    if (line.empty() || std::find(seen.begin(), seen.end(), line) != seen.end()) continue;
    text += (text.empty() ? "" : "; ") + line;
    seen.push_back(std::move(line));
  }
  return text.empty() ? "libvips failed" : text;
}

bool vipsReady() {
  static const bool ready = [] {
    if (VIPS_INIT("qxtool") != 0) return false;
    // Every file is read once: cached operations would only hold on to memory.
    vips_cache_set_max(0);
    return true;
  }();
  return ready;
}

struct VipsUnref {
  void operator()(VipsImage* image) const { g_object_unref(image); }
};
using VipsHolder = std::unique_ptr<VipsImage, VipsUnref>;

uint32_t bigEndian32(const std::string& bytes, size_t at) {
  return uint32_t(uint8_t(bytes[at])) << 24 | uint32_t(uint8_t(bytes[at + 1])) << 16 |
         uint32_t(uint8_t(bytes[at + 2])) << 8 | uint32_t(uint8_t(bytes[at + 3]));
}

// Planes of colour (without alpha) that each colour space needs.
int32_t colourPlanes(int32_t colorSpaceType) {
  switch (colorSpaceType) {
    case kQXImageColorSpaceGray: return 1;
    case kQXImageColorSpaceRGB: return 3;
    case kQXImageColorSpaceCMYK: return 4;
    default: return 0;
  }
}

struct ImportTarget {
  QXImageRef image;
  QXStatus status;
};

int writeBand(VipsRegion* region, VipsRect* area, void* a) {
  auto* target = static_cast<ImportTarget*>(a);
  const QXRect rect{area->left, area->top, area->width, area->height};
  target->status = QXImageWrite(target->image, rect, 0, -1, VIPS_REGION_ADDR(region, area->left, area->top),
                                int32_t(VIPS_REGION_LSKIP(region)));
  if (target->status != 0) {
    vips_error("qxtool", "storing the pixels failed (status %d)", int(target->status));
    return -1;
  }
  return 0;
}

int readRegion(VipsRegion* out, void*, void* a, void*, gboolean*) {
  auto image = static_cast<QXImageRef>(a);
  const VipsRect& r = out->valid;
  const QXRect b = QXImageGetBounds(image);
  const QXStatus status = QXImageRead(image, QXRect{b.x + r.left, b.y + r.top, r.width, r.height}, 0, -1,
                                      VIPS_REGION_ADDR(out, r.left, r.top), int32_t(VIPS_REGION_LSKIP(out)));
  if (status != 0) {
    vips_error("qxtool", "reading the pixels failed (status %d)", int(status));
    return -1;
  }
  return 0;
}

}  // namespace

int32_t profileColorSpace(const std::string& bytes) {
  // The header is 128 bytes; its own size field, signature and colour model must agree.
  if (bytes.size() < 132 || bigEndian32(bytes, 0) != bytes.size() || bytes.compare(36, 4, "acsp") != 0) return -1;
  const std::string model = bytes.substr(16, 4);
  if (model == "GRAY") return kQXImageColorSpaceGray;
  if (model == "RGB ") return kQXImageColorSpaceRGB;
  if (model == "CMYK") return kQXImageColorSpaceCMYK;
  return -1;
}

qx::ImageHolder importFile(const std::string& path, std::string& profile) {
  profile.clear();
  if (!vipsReady()) {
    failWith(path, vipsError());
    return {};
  }
  // libvips knows many more formats, some through large libraries (PDF, SVG, ImageMagick) that
  // have no place reading untrusted files here: the file's first bytes choose one of the three
  // loaders qxtool offers, and that loader gets the name as it is (vips_image_new_from_file would
  // read "[...]" in a name as options).
  unsigned char magic[4] = {0, 0, 0, 0};
  {
    FILE* file = std::fopen(path.c_str(), "rbe");
    if (file == nullptr) {
      failWith(path, std::strerror(errno));
      return {};
    }
    const size_t got = std::fread(magic, 1, sizeof magic, file);
    std::fclose(file);
    if (got != sizeof magic) std::memset(magic, 0, sizeof magic);
  }
  const bool png = std::memcmp(magic, "\x89PNG", 4) == 0;
  const bool jpeg = magic[0] == 0xFF && magic[1] == 0xD8 && magic[2] == 0xFF;
  const bool tiff = (magic[0] == 'I' && magic[1] == 'I' && (magic[2] == 42 || magic[2] == 43) && magic[3] == 0) ||
                    (magic[0] == 'M' && magic[1] == 'M' && magic[2] == 0 && (magic[3] == 42 || magic[3] == 43));
  if (!png && !jpeg && !tiff) {
    failWith(path, "not a PNG, TIFF or JPEG file");
    return {};
  }
  // Only the header is read here; pixels are decoded as the sink asks for them. A damaged file
  // must fail rather than import with a grey or black remainder.
  VipsImage* loaded = nullptr;
  const int rc = png    ? vips_pngload(path.c_str(), &loaded, "access", VIPS_ACCESS_SEQUENTIAL, "fail_on",
                                       VIPS_FAIL_ON_ERROR, nullptr)
                 : jpeg ? vips_jpegload(path.c_str(), &loaded, "access", VIPS_ACCESS_SEQUENTIAL, "fail_on",
                                        VIPS_FAIL_ON_ERROR, nullptr)
                        : vips_tiffload(path.c_str(), &loaded, "access", VIPS_ACCESS_SEQUENTIAL, "fail_on",
                                        VIPS_FAIL_ON_ERROR, nullptr);
  VipsHolder in(loaded);
  if (rc != 0 || !in) {
    failWith(path, vipsError());
    return {};
  }
  VipsImage* v = in.get();
  const int64_t width = v->Xsize, height = v->Ysize;
  if (width > kMaxImportSide || height > kMaxImportSide || width * height > kMaxImportPixels) {
    char why[160];
    std::snprintf(why, sizeof why,
                  "%" PRId64 " x %" PRId64 " pixels is more than import takes (%" PRId64 " per side, %" PRId64
                  " in all)",
                  width, height, kMaxImportSide, kMaxImportPixels);
    failWith(path, why);
    return {};
  }
  int32_t depth = 0;
  switch (v->BandFmt) {
    case VIPS_FORMAT_UCHAR: depth = 8; break;
    case VIPS_FORMAT_USHORT: depth = 16; break;
    case VIPS_FORMAT_FLOAT: depth = 32; break;
    default: break;
  }
  if (depth == 0 || v->Coding != VIPS_CODING_NONE || v->Bands < 1 || v->Bands > 32) {
    failWith(path, "samples of this kind are not supported (8- and 16-bit integers and 32-bit floats, 1 ... 32 bands)");
    return {};
  }
  const int32_t planes = v->Bands;
  const int32_t transparency = vips_image_hasalpha(v) ? kQXImageTransparencyAlpha : kQXImageTransparencyNone;
  int32_t colorSpaceType = kQXImageColorSpaceNone;
  switch (v->Type) {
    case VIPS_INTERPRETATION_B_W:
    case VIPS_INTERPRETATION_GREY16: colorSpaceType = kQXImageColorSpaceGray; break;
    case VIPS_INTERPRETATION_sRGB:
    case VIPS_INTERPRETATION_RGB:
    case VIPS_INTERPRETATION_RGB16:
    case VIPS_INTERPRETATION_scRGB: colorSpaceType = kQXImageColorSpaceRGB; break;
    case VIPS_INTERPRETATION_CMYK: colorSpaceType = kQXImageColorSpaceCMYK; break;
    default: break;
  }
  // The embedded profile's model states the colour space, when it fits the planes; a profile that
  // does not describe these pixels is not kept, so export never embeds a wrong one.
  if (vips_image_get_typeof(v, VIPS_META_ICC_NAME)) {
    const void* data = nullptr;
    size_t length = 0;
    if (vips_image_get_blob(v, VIPS_META_ICC_NAME, &data, &length) == 0 && data != nullptr) {
      std::string bytes(static_cast<const char*>(data), length);
      const int32_t fromProfile = profileColorSpace(bytes);
      const int32_t alpha = transparency == kQXImageTransparencyAlpha ? 1 : 0;
      if (fromProfile > 0 && colourPlanes(fromProfile) + alpha == planes) {
        colorSpaceType = fromProfile;
        profile = std::move(bytes);
      } else {
        std::fprintf(stderr, "qxtool image: %s: the embedded ICC profile does not describe its pixels; not kept\n",
                     path.c_str());
      }
    }
    vips_error_clear();
  }

  QXImageRef ref = nullptr;
  const QXStatus status = QXImageCreateWithParams2(QXRect{0, 0, int32_t(width), int32_t(height)}, depth, planes,
                                                   colorSpaceType, transparency, kQXImageSourceTiled, &ref);
  if (status != 0 || ref == nullptr) {
    failWith(path, "cannot make an image of that format (status " + std::to_string(status) + ")");
    return {};
  }
  qx::ImageHolder image(ref);
  ImportTarget target{ref, 0};
  if (vips_sink_disc(v, writeBand, &target) != 0) {
    failWith(path, vipsError());
    profile.clear();
    return {};
  }
  return image;
}

bool exportable(const std::string& out) {
  const size_t dot = out.rfind('.');
  if (dot == std::string::npos) return false;
  std::string suffix = out.substr(dot + 1);
  for (char& c : suffix) c = char(std::tolower(uint8_t(c)));
  return suffix == "png" || suffix == "tif" || suffix == "tiff" || suffix == "jpg" || suffix == "jpeg";
}

int exportFile(QXImageRef image, const std::string& out, const std::string& profile, int jpegQuality) {
  if (!vipsReady()) return failWith(out, vipsError());
  const size_t dot = out.rfind('.');
  std::string suffix = dot == std::string::npos ? std::string() : out.substr(dot + 1);
  for (char& c : suffix) c = char(std::tolower(uint8_t(c)));
  const bool png = suffix == "png", jpeg = suffix == "jpg" || suffix == "jpeg";
  const bool tiff = suffix == "tif" || suffix == "tiff";
  if (!png && !jpeg && !tiff) return failWith(out, "the name must end in .png, .tif, .tiff, .jpg or .jpeg");

  const QXRect b = QXImageGetBounds(image);
  const int32_t depth = QXImageGetDepth(image), planes = QXImageGetNumPlanes(image);
  const int32_t colorSpaceType = QXImageGetColorSpaceType(image);
  if (depth == 32 && !tiff) return failWith(out, "32-bit float images go to TIFF only (or convert-depth 16 first)");
  if (depth != 8 && depth != 16 && depth != 32) return failWith(out, "unsupported sample depth");
  const VipsBandFormat format = depth == 8 ? VIPS_FORMAT_UCHAR : depth == 16 ? VIPS_FORMAT_USHORT : VIPS_FORMAT_FLOAT;
  VipsInterpretation interpretation = VIPS_INTERPRETATION_MULTIBAND;
  if (colorSpaceType == kQXImageColorSpaceCMYK && (planes == 4 || planes == 5))
    interpretation = VIPS_INTERPRETATION_CMYK;
  else if (planes <= 2)
    interpretation = depth == 16 ? VIPS_INTERPRETATION_GREY16 : VIPS_INTERPRETATION_B_W;
  else if (planes <= 4)
    interpretation = depth == 16 ? VIPS_INTERPRETATION_RGB16 : VIPS_INTERPRETATION_sRGB;
  if (!profile.empty()) {
    const int32_t model = profileColorSpace(profile);
    if (model < 0) return failWith(out, "the ICC profile beside the input is not a gray, RGB or CMYK profile");
    const bool cmyk = interpretation == VIPS_INTERPRETATION_CMYK;
    const bool gray = planes <= 2 && !cmyk;
    if ((model == kQXImageColorSpaceCMYK) != cmyk || (model == kQXImageColorSpaceGray) != gray)
      return failWith(out, "the ICC profile beside the input does not describe the image's colours");
  }

  VipsHolder source(vips_image_new());
  constexpr double kPixelsPerMm = 72.0 / 25.4;
  vips_image_init_fields(source.get(), b.width, b.height, planes, format, VIPS_CODING_NONE, interpretation,
                         kPixelsPerMm, kPixelsPerMm);
  if (vips_image_pipelinev(source.get(), VIPS_DEMAND_STYLE_THINSTRIP, nullptr) != 0 ||
      vips_image_generate(source.get(), nullptr, readRegion, nullptr, image, nullptr) != 0)
    return failWith(out, vipsError());
  if (!profile.empty()) vips_image_set_blob_copy(source.get(), VIPS_META_ICC_NAME, profile.data(), profile.size());

  // Written beside the target and renamed into place, so a failure never leaves half a file.
  const std::string partial = out + ".partial-" + std::to_string(::getpid());
  ::unlink(partial.c_str());
  int rc = 0;
  if (png) {
    rc = vips_pngsave(source.get(), partial.c_str(), "compression", 6, nullptr);
  } else if (jpeg) {
    // JPEG has no alpha: composite over white, as the engine's own flattening does.
    VipsArrayDouble* white = vips_array_double_newv(1, depth == 16 ? 65535.0 : 255.0);
    rc = vips_jpegsave(source.get(), partial.c_str(), "Q", jpegQuality, "background", white, nullptr);
    vips_area_unref(VIPS_AREA(white));
  } else {
    // Classic TIFF offsets are 32-bit: past about 4 GiB of samples the file must be BigTIFF.
    const bool big = int64_t(b.width) * b.height * planes * (depth / 8) > (int64_t(3) << 30);
    rc = vips_tiffsave(source.get(), partial.c_str(), "compression", VIPS_FOREIGN_TIFF_COMPRESSION_DEFLATE, "predictor",
                       VIPS_FOREIGN_TIFF_PREDICTOR_HORIZONTAL, "bigtiff", gboolean(big), nullptr);
  }
  std::string why;
  if (rc != 0) why = vipsError();
  if (rc == 0 && std::rename(partial.c_str(), out.c_str()) != 0) {
    why = std::strerror(errno);
    rc = 1;
  }
  if (rc != 0) {
    ::unlink(partial.c_str());
    return failWith(out, "cannot write: " + why);
  }
  return 0;
}

}  // namespace qxfiles
