// qxtool image: the image engine from the shell. Reads files in the tile-record format and raw
// pixel dumps (whose names carry width, height, depth and a colour word), runs one operation and
// writes the result in either form. Work goes through tiled records in bands, so images larger
// than memory pass through the tile cache and its disk store.
#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXFileMgr.h>
#include <QXCore/QXImage.h>
#include <QXCore/QXStream.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <type_traits>
#include <vector>

#include "CFRef.h"
#include "ImageFiles.h"
#include "Jobs.h"
#include "core/ProgramSupport.h"

using qxcf::adopt;
using qxcf::CFRef;

namespace {

constexpr int32_t kMaxSide = 1 << 20;
constexpr int32_t kTile = kQXImageTileSize;
constexpr size_t kBandBytes = size_t(64) << 20;  // raw files move through bands of at most this

using qx::ImageHolder;
using qx::StreamHolder;

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using FileHolder = std::unique_ptr<FILE, FileCloser>;

void usage(FILE* out) {
  std::fputs(
      "usage: qxtool image COMMAND [OPTIONS] FILE...\n"
      "\n"
      "commands:\n"
      "  info FILE...                       size, depth, planes, colour space, tiles and solid tiles\n"
      "  scale (--size WxH | --factor F) FILE -o OUT\n"
      "                                     interpolating resample to a new size\n"
      "  canvas --bounds X,Y,W,H [--mode N] FILE -o OUT\n"
      "                                     new canvas: mode 0 keeps pixels in place, 1 centres the\n"
      "                                     image, 2 only reshapes\n"
      "  rotate cw|ccw|180 FILE -o OUT      rotate by 90 degrees clockwise, anticlockwise, or 180\n"
      "  mips FILE -o OUT                   the halvings down to 1 x 1; level N goes to OUT-mipN\n"
      "  crop X,Y,W,H FILE -o OUT           the rectangle (outside the image: transparent white)\n"
      "  convert-depth 8|16 FILE -o OUT     a copy at another sample depth\n"
      "  import IN OUT                      a PNG, TIFF or JPEG file as a tile-record file (or raw\n"
      "                                     dump); its ICC profile goes to OUT.icc\n"
      "  export [--quality N] IN OUT        IN as OUT.png, .tif/.tiff or .jpg/.jpeg (JPEG quality\n"
      "                                     1 ... 100, default 90), embedding IN.icc if present\n"
      "\n"
      "files:\n"
      "  Tile-record files (any name), or raw pixel dumps named [PREFIX-][GRAY|RGB|CMYK]WxHxDbit.raw.\n"
      "  OUT ending in .raw is written raw, named OUT-<colour><W>x<H>x<D>bit.raw unless its name\n"
      "  already states the result's format; any other OUT is a tile-record file.\n"
      "\n"
      "options:\n"
      "  -o OUT               the output file\n"
      "  --planes N           planes of a raw input (default: GRAY 1, RGB 3, CMYK 4)\n"
      "  --color-space N      colour space of a raw input (default: GRAY 1, RGB 2, CMYK 3, none 0)\n"
      "  --budget MIB         the tile cache's memory budget (default half the memory); tiles\n"
      "                       beyond it spill to the disk cache under $TMPDIR\n"
      "\n"
      "exit status: 0 done, 1 an operation or file failed, 2 bad usage\n",
      out);
}

double millis(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

std::string formatTime(double ms) {
  char text[32];
  if (ms >= 1000)
    std::snprintf(text, sizeof text, "%.2f s", ms / 1000);
  else
    std::snprintf(text, sizeof text, "%.1f ms", ms);
  return text;
}

std::string baseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool endsWith(const std::string& text, const char* suffix) {
  const size_t n = std::strlen(suffix);
  return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

// "12" as an int in [lo, hi].
bool parseInt(const std::string& text, int64_t lo, int64_t hi, int32_t& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < lo || value > hi) return false;
  out = int32_t(value);
  return true;
}

// "a<sep>b<sep>..." as `count` ints.
bool parseInts(const std::string& text, char sep, int count, int32_t* out, int64_t lo, int64_t hi) {
  size_t start = 0;
  for (int i = 0; i < count; ++i) {
    const size_t end = i + 1 < count ? text.find(sep, start) : text.size();
    if (end == std::string::npos) return false;
    if (!parseInt(text.substr(start, end - start), lo, hi, out[i])) return false;
    start = end + 1;
  }
  return true;
}

// "X,Y,W,H" with W and H at least 1.
bool parseRect(const std::string& text, QXRect& out) {
  int32_t v[4] = {0, 0, 0, 0};
  size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    const size_t end = i < 3 ? text.find(',', start) : text.size();
    if (end == std::string::npos) return false;
    if (!parseInt(text.substr(start, end - start), i < 2 ? -kMaxSide : 1, kMaxSide, v[i])) return false;
    start = end + 1;
  }
  out = QXRect{v[0], v[1], v[2], v[3]};
  return true;
}

CFRef<CFURLRef> fileURL(const std::string& path) {
  CFRef<CFStringRef> string = adopt(CFStringCreateWithCString(nullptr, path.c_str(), kCFStringEncodingUTF8));
  if (!string) return CFRef<CFURLRef>();
  return adopt(QXFileMgrCreateFileSystemRepresentation(string.get(), false));
}

const char* colourWord(int32_t colorSpaceType, int32_t planes) {
  switch (colorSpaceType) {
    case 1: return "GRAY";
    case 2: return planes <= 3 ? "RGB" : "CMYK";
    case 3: return "CMYK";
    default: return "";
  }
}

const char* colourName(int32_t colorSpaceType) {
  switch (colorSpaceType) {
    case 1: return "grey";
    case 2: return "RGB";
    case 3: return "CMYK";
    default: return "unspecified";
  }
}

struct Settings {
  std::string out;
  int32_t planes = 0;           // 0: from the raw name
  int32_t colorSpaceType = -1;  // -1: from the raw name
};

// What a raw dump's name says about its pixels.
struct RawFormat {
  std::string prefix;
  std::string word;
  int32_t width = 0, height = 0, depth = 0;
};

bool parseRawName(const std::string& path, RawFormat& f) {
  static const std::regex pattern("^(?:(.*)-)?(GRAY|RGB|CMYK)?([0-9]{1,7})x([0-9]{1,7})x(8|16|32)bit\\.raw$");
  std::smatch m;
  const std::string name = baseName(path);
  if (!std::regex_match(name, m, pattern)) return false;
  f.prefix = m[1].str();
  f.word = m[2].str();
  return parseInt(m[3].str(), 1, kMaxSide, f.width) && parseInt(m[4].str(), 1, kMaxSide, f.height) &&
         parseInt(m[5].str(), 8, 32, f.depth);
}

class Tool {
 public:
  explicit Tool(Settings s) : mS(std::move(s)) {}

  // Reads FILE into a new tiled record; prints the reason and returns null on failure.
  ImageHolder load(const std::string& path) {
    if (endsWith(path, ".raw")) return loadRaw(path);
    StreamHolder stream(QXStreamCreateForFile(fileURL(path).get(), CFSTR("rb")));
    if (!stream) return failNull(path, "out of memory", kQXErrMemory);
    if (int32_t status = QXStreamOpen(stream.get())) return failNull(path, errnoText(status), status);
    QXImageRef image = nullptr;
    const int32_t status = QXImageCreateFromStream(stream.get(), 0, &image);
    QXStreamClose(stream.get());
    if (status != 0) return failNull(path, "not a readable tile-record file", status);
    return ImageHolder(image);
  }

  // Writes the image to OUT in the form its name asks for; 0 or 1.
  int save(QXImageRef image, const std::string& out) {
    if (endsWith(out, ".raw")) return saveRaw(image, out);
    ImageHolder tiled;
    if (QXImageGetDataSourceType(image) != kQXImageSourceTiled) {
      // Only tiled records save to streams: copy the pixels into one.
      const QXRect b = QXImageGetBounds(image);
      QXImageRef copy = nullptr;
      int32_t status = QXImageCreateWithParams2(b, QXImageGetDepth(image), QXImageGetNumPlanes(image),
                                                QXImageGetColorSpaceType(image), QXImageGetTransparency(image),
                                                kQXImageSourceTiled, &copy);
      if (status != 0 || copy == nullptr) return fail(out, "cannot make a tiled copy", status);
      tiled.reset(copy);
      if ((status = QXImageBlit(image, b, copy, b, 0)) != 0) return fail(out, "copying into a tiled record", status);
      image = copy;
    }
    // Written beside the target and renamed into place, so a failure never leaves half a file.
    const std::string partial = out + ".partial-" + std::to_string(::getpid());
    int32_t status = 0;
    {
      StreamHolder stream(QXStreamCreateForFile(fileURL(partial).get(), CFSTR("wb")));
      if (!stream) return fail(out, "out of memory", kQXErrMemory);
      if ((status = QXStreamOpen(stream.get())) != 0) return fail(out, errnoText(status), status);
      status = QXImageSaveToStream(image, stream.get());
      // The last buffered bytes are written by the close: its failure leaves a short file.
      const int32_t closed = QXStreamClose(stream.get());
      if (status == 0) status = closed;
    }
    if (status == 0 && std::rename(partial.c_str(), out.c_str()) != 0) status = errno;
    if (status != 0) {
      ::unlink(partial.c_str());
      return fail(out, "cannot write", status);
    }
    std::printf("wrote %s (%s)\n", out.c_str(), describe(image).c_str());
    return 0;
  }

  // OUT for one level of a chain: "x.qxtiles" gives "x-mip3.qxtiles", "x.raw" gives "x-mip3.raw".
  static std::string levelPath(const std::string& out, int level) {
    const std::string tag = "-mip" + std::to_string(level);
    const std::string name = baseName(out);
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return out + tag;
    return out.substr(0, out.size() - (name.size() - dot)) + tag + name.substr(dot);
  }

  static std::string describe(QXImageRef image) {
    char text[128];
    std::snprintf(text, sizeof text, "%" PRId32 " x %" PRId32 ", %" PRId32 "-bit, %" PRId32 " planes",
                  QXImageGetWidth(image), QXImageGetHeight(image), QXImageGetDepth(image), QXImageGetNumPlanes(image));
    return text;
  }

  static std::string size(QXImageRef image) {
    return std::to_string(QXImageGetWidth(image)) + "x" + std::to_string(QXImageGetHeight(image));
  }

  int info(const std::string& path) {
    ImageHolder image = load(path);
    if (!image) return 1;
    QXImageRef im = image.get();
    const QXRect b = QXImageGetBounds(im);
    const int32_t cols = (b.width + kQXImageTileSize - 1) / kQXImageTileSize;
    const int32_t rows = (b.height + kQXImageTileSize - 1) / kQXImageTileSize;
    int64_t solid = 0;
    if (int32_t status = countSolidTiles(im, rows, cols, solid)) return fail(path, "reading the pixels", status);
    std::printf("%s\n", path.c_str());
    std::printf("  size          %" PRId32 " x %" PRId32 "\n", b.width, b.height);
    std::printf("  depth         %" PRId32 "-bit%s\n", QXImageGetDepth(im), QXImageGetDepth(im) == 32 ? " float" : "");
    std::printf("  planes        %" PRId32 "\n", QXImageGetNumPlanes(im));
    std::printf("  colour space  %" PRId32 " (%s), transparency %" PRId32 "\n", QXImageGetColorSpaceType(im),
                colourName(QXImageGetColorSpaceType(im)), QXImageGetTransparency(im));
    std::printf("  tiles         %" PRId32 " x %" PRId32 " = %" PRId64 " of %d x %d pixels\n", cols, rows,
                int64_t(cols) * rows, kQXImageTileSize, kQXImageTileSize);
    std::printf("  solid tiles   %" PRId64 " (every pixel the same)\n", solid);
    return 0;
  }

  int fail(const std::string& what, const std::string& why, int32_t status) {
    if (status != 0)
      std::fprintf(stderr, "qxtool image: %s: %s (status %" PRId32 ")\n", what.c_str(), why.c_str(), status);
    else
      std::fprintf(stderr, "qxtool image: %s: %s\n", what.c_str(), why.c_str());
    return 1;
  }

 private:
  ImageHolder failNull(const std::string& what, const std::string& why, int32_t status) {
    fail(what, why, status);
    return ImageHolder();
  }

  static std::string errnoText(int32_t status) {
    return status > 0 ? std::strerror(status) : std::string("cannot open");
  }

  static int32_t countSolidTiles(QXImageRef image, int32_t rows, int32_t cols, int64_t& solid) {
    const QXRect b = QXImageGetBounds(image);
    const size_t colBytes = size_t(QXImageGetColBytes(image));
    std::vector<uint8_t> tile;
    for (int32_t r = 0; r < rows; ++r) {
      for (int32_t c = 0; c < cols; ++c) {
        const int32_t x = b.x + c * kQXImageTileSize, y = b.y + r * kQXImageTileSize;
        const QXRect t{x, y, std::min(kTile, b.x + b.width - x), std::min(kTile, b.y + b.height - y)};
        tile.resize(size_t(t.width) * size_t(t.height) * colBytes);
        if (int32_t status = QXImageRead(image, t, 0, -1, tile.data(), 0)) return status;
        bool same = true;
        for (size_t i = colBytes; i < tile.size() && same; i += colBytes)
          same = std::memcmp(tile.data(), tile.data() + i, colBytes) == 0;
        solid += same;
      }
    }
    return 0;
  }

  // Rows per band for images of `rowBytes`: at least one, at most a tile's height.
  static int32_t bandRows(int64_t rowBytes) {
    return int32_t(std::clamp<int64_t>(int64_t(kBandBytes) / std::max<int64_t>(rowBytes, 1), 1, kTile));
  }

  ImageHolder loadRaw(const std::string& path) {
    RawFormat f;
    if (!parseRawName(path, f))
      return failNull(path, "a raw file's name must end in [GRAY|RGB|CMYK]WxHxDbit.raw (D 8, 16 or 32)", 0);
    int32_t planes = mS.planes;
    if (planes == 0) planes = f.word == "GRAY" ? 1 : f.word == "RGB" ? 3 : f.word == "CMYK" ? 4 : 0;
    if (planes == 0) return failNull(path, "the name states no colour: give --planes N", 0);
    int32_t colorSpaceType = mS.colorSpaceType;
    if (colorSpaceType < 0)
      colorSpaceType = f.word == "GRAY"   ? kQXImageColorSpaceGray
                       : f.word == "RGB"  ? kQXImageColorSpaceRGB
                       : f.word == "CMYK" ? kQXImageColorSpaceCMYK
                                          : kQXImageColorSpaceNone;

    FileHolder file(std::fopen(path.c_str(), "rbe"));
    if (!file) return failNull(path, std::strerror(errno), 0);
    struct stat st;
    if (::fstat(::fileno(file.get()), &st) != 0) return failNull(path, std::strerror(errno), 0);
    const int64_t rowBytes = int64_t(f.width) * planes * (f.depth / 8);
    const int64_t expected = rowBytes * f.height;
    if (!S_ISREG(st.st_mode) || int64_t(st.st_size) != expected) {
      char why[160];
      std::snprintf(why, sizeof why, "holds %lld bytes, but %d x %d x %d planes at %d bits need %lld",
                    (long long)st.st_size, f.width, f.height, planes, f.depth, (long long)expected);
      return failNull(path, why, 0);
    }
    QXImageRef ref = nullptr;
    int32_t status = QXImageCreateWithParams2(QXRect{0, 0, f.width, f.height}, f.depth, planes, colorSpaceType,
                                              kQXImageTransparencyNone, kQXImageSourceTiled, &ref);
    if (status != 0 || ref == nullptr) return failNull(path, "cannot make an image of that format", status);
    ImageHolder image(ref);
    const int32_t band = bandRows(rowBytes);
    std::vector<uint8_t> buffer(size_t(rowBytes) * size_t(band));
    for (int32_t y = 0; y < f.height; y += band) {
      const int32_t n = std::min(band, f.height - y);
      if (std::fread(buffer.data(), size_t(rowBytes), size_t(n), file.get()) != size_t(n))
        return failNull(path, "short read", 0);
      if ((status = QXImageWrite(ref, QXRect{0, y, f.width, n}, 0, -1, buffer.data(), 0)) != 0)
        return failNull(path, "storing the pixels", status);
    }
    return image;
  }

  int saveRaw(QXImageRef image, const std::string& out) {
    const QXRect b = QXImageGetBounds(image);
    const int32_t depth = QXImageGetDepth(image), planes = QXImageGetNumPlanes(image);
    const char* word = colourWord(QXImageGetColorSpaceType(image), planes);
    // The name must carry the format so that the file can be read back.
    std::string path = out;
    RawFormat f;
    if (!parseRawName(out, f) || f.width != b.width || f.height != b.height || f.depth != depth || f.word != word) {
      char tail[96];
      std::snprintf(tail, sizeof tail, "-%s%" PRId32 "x%" PRId32 "x%" PRId32 "bit.raw", word, b.width, b.height, depth);
      path = out.substr(0, out.size() - 4) + tail;
    }
    const std::string partial = path + ".partial-" + std::to_string(::getpid());
    ::unlink(partial.c_str());
    FileHolder file(std::fopen(partial.c_str(), "wbex"));
    if (!file) return fail(path, std::strerror(errno), 0);
    const int64_t rowBytes = int64_t(QXImageGetColBytes(image)) * b.width;
    const int32_t band = bandRows(rowBytes);
    std::vector<uint8_t> buffer(size_t(rowBytes) * size_t(band));
    int32_t status = 0;
    for (int32_t y = 0; y < b.height && status == 0; y += band) {
      const int32_t n = std::min(band, b.height - y);
      status = QXImageRead(image, QXRect{b.x, b.y + y, b.width, n}, 0, -1, buffer.data(), 0);
      if (status == 0 && std::fwrite(buffer.data(), size_t(rowBytes), size_t(n), file.get()) != size_t(n))
        status = errno ? errno : EIO;
    }
    if (std::fclose(file.release()) != 0 && status == 0) status = errno ? errno : EIO;
    if (status == 0 && std::rename(partial.c_str(), path.c_str()) != 0) status = errno;
    if (status != 0) {
      ::unlink(partial.c_str());
      return fail(path, "cannot write", status);
    }
    std::printf("wrote %s (%s)\n", path.c_str(), describe(image).c_str());
    return 0;
  }

  Settings mS;
};

// Everything after the command: options in any order, the rest positional.
struct Args {
  Settings settings;
  std::vector<std::string> positional;
  std::string size, factor, bounds, mode, quality;
  int32_t budgetMiB = 0;  // 0: the cache's default
};

bool takeValue(int argc, char** argv, int& i, std::string& out) {
  if (i + 1 >= argc) {
    std::fprintf(stderr, "qxtool image: %s needs a value\n", argv[i]);
    return false;
  }
  out = argv[++i];
  return true;
}

// 0, or 2 with a message for a bad option.
int parseArgs(int argc, char** argv, Args& a) {
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    std::string value;
    if (arg == "-o") {
      if (!takeValue(argc, argv, i, a.settings.out)) return 2;
    } else if (arg == "--planes") {
      if (!takeValue(argc, argv, i, value) || !parseInt(value, 1, 32, a.settings.planes)) {
        std::fprintf(stderr, "qxtool image: --planes takes 1 ... 32\n");
        return 2;
      }
    } else if (arg == "--color-space") {
      if (!takeValue(argc, argv, i, value) || !parseInt(value, 0, INT32_MAX, a.settings.colorSpaceType)) {
        std::fprintf(stderr, "qxtool image: --color-space takes a number >= 0\n");
        return 2;
      }
    } else if (arg == "--size") {
      if (!takeValue(argc, argv, i, a.size)) return 2;
    } else if (arg == "--factor") {
      if (!takeValue(argc, argv, i, a.factor)) return 2;
    } else if (arg == "--bounds") {
      if (!takeValue(argc, argv, i, a.bounds)) return 2;
    } else if (arg == "--mode") {
      if (!takeValue(argc, argv, i, a.mode)) return 2;
    } else if (arg == "--budget") {
      if (!takeValue(argc, argv, i, value) || !parseInt(value, 16, INT32_MAX, a.budgetMiB)) {
        std::fprintf(stderr, "qxtool image: --budget takes MiB, at least 16\n");
        return 2;
      }
    } else if (arg == "--quality") {
      if (!takeValue(argc, argv, i, a.quality)) return 2;
    } else if (arg.size() > 1 && arg[0] == '-' && !(arg[1] >= '0' && arg[1] <= '9')) {
      std::fprintf(stderr, "qxtool image: unknown option '%s'\n", arg.c_str());
      return 2;
    } else {
      a.positional.push_back(arg);
    }
  }
  return 0;
}

int usageError(const char* message) {
  std::fprintf(stderr, "qxtool image: %s\n", message);
  usage(stderr);
  return 2;
}

// A transform's one input and its output.
int needOneFileAndOutput(const Args& a, size_t params) {
  if (a.positional.size() != params + 1) return usageError("give exactly one FILE");
  if (a.settings.out.empty()) return usageError("give the output with -o OUT");
  return 0;
}

int runScale(Tool& tool, const Args& a) {
  if (int rc = needOneFileAndOutput(a, 0)) return rc;
  if (a.size.empty() == a.factor.empty()) return usageError("scale takes one of --size WxH and --factor F");
  int32_t size[2] = {0, 0};
  double factor = 0;
  if (!a.size.empty() && !parseInts(a.size, 'x', 2, size, 1, kMaxSide))
    return usageError("--size takes WxH, each 1 ... 1048576");
  if (!a.factor.empty()) {
    char* end = nullptr;
    factor = std::strtod(a.factor.c_str(), &end);
    if (*end != '\0' || !(factor > 0) || !std::isfinite(factor)) return usageError("--factor takes a number > 0");
  }
  const std::string& in = a.positional[0];
  ImageHolder source = tool.load(in);
  if (!source) return 1;
  QXImageRef s = source.get();
  const QXRect b = QXImageGetBounds(s);
  if (factor > 0) {
    const double w = std::max(1.0, std::round(b.width * factor)), h = std::max(1.0, std::round(b.height * factor));
    if (w > kMaxSide || h > kMaxSide) return tool.fail(in, "the scaled size is too large", 0);
    size[0] = int32_t(w);
    size[1] = int32_t(h);
  }
  QXImageRef d = nullptr;
  int32_t status =
      QXImageCreateWithParams2(QXRect{0, 0, size[0], size[1]}, QXImageGetDepth(s), QXImageGetNumPlanes(s),
                               QXImageGetColorSpaceType(s), QXImageGetTransparency(s), kQXImageSourceTiled, &d);
  if (status != 0 || d == nullptr) return tool.fail(in, "cannot make the scaled image", status);
  ImageHolder destination(d);
  const auto t = std::chrono::steady_clock::now();
  status = QXImageBlit(s, b, d, QXRect{0, 0, size[0], size[1]}, 0);
  const double ms = millis(t);
  if (status != 0) return tool.fail(in, "scaling", status);
  std::printf("scale  %s -> %s (interpolating) in %s\n", Tool::size(s).c_str(), Tool::size(d).c_str(),
              formatTime(ms).c_str());
  return tool.save(d, a.settings.out);
}

int runCanvas(Tool& tool, const Args& a) {
  if (int rc = needOneFileAndOutput(a, 0)) return rc;
  QXRect r{};
  if (!parseRect(a.bounds, r)) return usageError("canvas needs --bounds X,Y,W,H (W and H 1 ... 1048576)");
  int32_t mode = 0;
  if (!a.mode.empty() && !parseInt(a.mode, 0, 2, mode)) return usageError("--mode takes 0, 1 or 2");
  ImageHolder image = tool.load(a.positional[0]);
  if (!image) return 1;
  const std::string before = Tool::size(image.get());
  const auto t = std::chrono::steady_clock::now();
  const int32_t status = QXImageResize(image.get(), r, mode);
  const double ms = millis(t);
  if (status != 0) return tool.fail(a.positional[0], "changing the canvas", status);
  std::printf("canvas %s -> %s (mode %d) in %s\n", before.c_str(), Tool::size(image.get()).c_str(), mode,
              formatTime(ms).c_str());
  return tool.save(image.get(), a.settings.out);
}

// The commands that make a new image from one file: loads `path`, times `make`, prints the line
// `report` writes (given the input, the result and the time taken) and saves the result.
template <class Make, class Report>
int transform(Tool& tool, const Args& a, const std::string& path, const char* doing, Make make, Report report) {
  ImageHolder image = tool.load(path);
  if (!image) return 1;
  QXImageRef out = nullptr;
  const auto t = std::chrono::steady_clock::now();
  const QXStatus status = make(image.get(), &out);
  const double ms = millis(t);
  ImageHolder result(out);
  if (status != 0 || out == nullptr) return tool.fail(path, doing, status);
  report(image.get(), out, formatTime(ms).c_str());
  return tool.save(out, a.settings.out);
}

int runRotate(Tool& tool, const Args& a) {
  if (int rc = needOneFileAndOutput(a, 1)) return rc;
  const std::string& how = a.positional[0];
  QXStatus (*rotate)(QXImageRef, int32_t, QXImageRef*) = nullptr;
  if (how == "cw") rotate = QXImageRotate90CW;
  if (how == "ccw") rotate = QXImageRotate90CCW;
  if (how == "180") rotate = QXImageRotate180;
  if (rotate == nullptr) return usageError("rotate takes cw, ccw or 180");
  return transform(
      tool, a, a.positional[1], "rotating",
      [&](QXImageRef in, QXImageRef* out) { return rotate(in, kQXImageSourceTiled, out); },
      [&](QXImageRef in, QXImageRef out, const char* time) {
        std::printf("rotate %s %s -> %s in %s\n", how.c_str(), Tool::size(in).c_str(), Tool::size(out).c_str(), time);
      });
}

int runMips(Tool& tool, const Args& a) {
  if (int rc = needOneFileAndOutput(a, 0)) return rc;
  ImageHolder image = tool.load(a.positional[0]);
  if (!image) return 1;
  CFArrayRef mips = nullptr;
  const auto t = std::chrono::steady_clock::now();
  const int32_t status = QXImageCreateMips(image.get(), &mips);
  const double ms = millis(t);
  CFRef<CFArrayRef> held = adopt(mips);
  if (status != 0 || mips == nullptr) return tool.fail(a.positional[0], "making the mip chain", status);
  const CFIndex count = CFArrayGetCount(mips);
  std::printf("mips   %s: %ld levels down to %s in %s\n", Tool::size(image.get()).c_str(), long(count),
              Tool::size(static_cast<QXImageRef>(const_cast<void*>(CFArrayGetValueAtIndex(mips, count - 1)))).c_str(),
              formatTime(ms).c_str());
  // Level 0 is the input itself.
  int rc = 0;
  for (CFIndex i = 1; i < count; ++i) {
    auto* level = static_cast<QXImageRef>(const_cast<void*>(CFArrayGetValueAtIndex(mips, i)));
    rc |= tool.save(level, Tool::levelPath(a.settings.out, int(i)));
  }
  return rc;
}

int runCrop(Tool& tool, const Args& a) {
  if (int rc = needOneFileAndOutput(a, 1)) return rc;
  QXRect r{};
  if (!parseRect(a.positional[0], r)) return usageError("crop takes X,Y,W,H (W and H 1 ... 1048576)");
  return transform(
      tool, a, a.positional[1], "cropping",
      [&](QXImageRef in, QXImageRef* out) { return QXImageCreateCrop(in, r, out); },
      [](QXImageRef in, QXImageRef out, const char* time) {
        std::printf("crop   %s -> %s in %s\n", Tool::size(in).c_str(), Tool::size(out).c_str(), time);
      });
}

int runConvertDepth(Tool& tool, const Args& a) {
  if (int rc = needOneFileAndOutput(a, 1)) return rc;
  int32_t depth = 0;
  if (a.positional[0] != "8" && a.positional[0] != "16") return usageError("convert-depth takes 8 or 16");
  parseInt(a.positional[0], 8, 16, depth);
  return transform(
      tool, a, a.positional[1], "converting the depth",
      [&](QXImageRef in, QXImageRef* out) { return QXImageConvertToDepth(in, depth, out); },
      [](QXImageRef in, QXImageRef out, const char* time) {
        std::printf("depth  %" PRId32 "-bit -> %" PRId32 "-bit in %s\n", QXImageGetDepth(in), QXImageGetDepth(out),
                    time);
      });
}

// IN and OUT of import and export: two files, or one and -o OUT.
bool inAndOut(const Args& a, std::string& in, std::string& out) {
  if (a.positional.size() == 2 && a.settings.out.empty()) {
    in = a.positional[0];
    out = a.positional[1];
    return true;
  }
  if (a.positional.size() == 1 && !a.settings.out.empty()) {
    in = a.positional[0];
    out = a.settings.out;
    return true;
  }
  return false;
}

// Profiles are a few KiB; anything near this is not one.
constexpr long kMaxProfileBytes = 64L << 20;

// The whole of a regular file of at most kMaxProfileBytes; false with errno set otherwise
// (ENOENT when there is none).
bool readProfileFile(const std::string& path, std::string& bytes) {
  FileHolder file(std::fopen(path.c_str(), "rbe"));
  if (!file) return false;
  struct stat st;
  if (::fstat(::fileno(file.get()), &st) != 0) return false;
  if (!S_ISREG(st.st_mode) || st.st_size > kMaxProfileBytes) {
    errno = EFBIG;
    return false;
  }
  bytes.resize(size_t(st.st_size));
  if (std::fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) {
    errno = EIO;
    return false;
  }
  return true;
}

int runImport(Tool& tool, const Args& a) {
  std::string in, out;
  if (!inAndOut(a, in, out)) return usageError("import takes IN OUT");
  std::string profile;
  const auto t = std::chrono::steady_clock::now();
  ImageHolder image = qxfiles::importFile(in, profile);
  if (!image) return 1;
  const double ms = millis(t);
  std::printf("import %s: %s, colour space %s%s in %s\n", baseName(in).c_str(), Tool::describe(image.get()).c_str(),
              colourName(QXImageGetColorSpaceType(image.get())), profile.empty() ? "" : " (from its ICC profile)",
              formatTime(ms).c_str());
  // The profile is written first and renamed into place only with the image, so OUT.icc always
  // belongs to the OUT beside it; a stale one from an earlier import is removed.
  const std::string icc = out + ".icc";
  const std::string iccPartial = icc + ".partial-" + std::to_string(::getpid());
  if (!profile.empty()) {
    ::unlink(iccPartial.c_str());
    FileHolder file(std::fopen(iccPartial.c_str(), "wbex"));
    bool ok = file && std::fwrite(profile.data(), 1, profile.size(), file.get()) == profile.size();
    if (file && std::fclose(file.release()) != 0) ok = false;
    if (!ok) {
      const int error = errno ? errno : EIO;
      ::unlink(iccPartial.c_str());
      return tool.fail(icc, std::strerror(error), 0);
    }
  }
  if (int rc = tool.save(image.get(), out)) {
    ::unlink(iccPartial.c_str());
    return rc;
  }
  if (profile.empty()) {
    if (::unlink(icc.c_str()) != 0 && errno != ENOENT) return tool.fail(icc, "cannot remove the old profile", errno);
    return 0;
  }
  if (std::rename(iccPartial.c_str(), icc.c_str()) != 0) {
    const int error = errno;
    ::unlink(iccPartial.c_str());
    return tool.fail(icc, std::strerror(error), 0);
  }
  std::printf("wrote %s (%zu bytes)\n", icc.c_str(), profile.size());
  return 0;
}

int runExport(Tool& tool, const Args& a) {
  std::string in, out;
  if (!inAndOut(a, in, out)) return usageError("export takes IN OUT");
  if (!qxfiles::exportable(out)) return usageError("export writes OUT ending in .png, .tif, .tiff, .jpg or .jpeg");
  int32_t quality = qxfiles::kDefaultJpegQuality;
  if (!a.quality.empty() && !parseInt(a.quality, 1, 100, quality)) return usageError("--quality takes 1 ... 100");
  std::string profile;
  if (!readProfileFile(in + ".icc", profile) && errno != ENOENT) return tool.fail(in + ".icc", std::strerror(errno), 0);
  ImageHolder image = tool.load(in);
  if (!image) return 1;
  const auto t = std::chrono::steady_clock::now();
  if (int rc = qxfiles::exportFile(image.get(), out, profile, quality)) return rc;
  std::printf("wrote %s (%s%s) in %s\n", out.c_str(), Tool::describe(image.get()).c_str(),
              profile.empty() ? "" : ", ICC profile embedded", formatTime(millis(t)).c_str());
  return 0;
}

int dispatch(const std::string& command, const Args& a) {
  Tool tool(a.settings);
  if (command == "info") {
    if (a.positional.empty()) return usageError("info needs at least one FILE");
    int rc = 0;
    for (const std::string& path : a.positional) rc |= tool.info(path);
    return rc;
  }
  if (command == "scale") return runScale(tool, a);
  if (command == "canvas") return runCanvas(tool, a);
  if (command == "rotate") return runRotate(tool, a);
  if (command == "mips") return runMips(tool, a);
  if (command == "crop") return runCrop(tool, a);
  if (command == "convert-depth") return runConvertDepth(tool, a);
  if (command == "import") return runImport(tool, a);
  if (command == "export") return runExport(tool, a);
  std::fprintf(stderr, "qxtool image: unknown command '%s'\n", command.c_str());
  usage(stderr);
  return 2;
}

}  // namespace

int runImageCommand(int argc, char** argv);

int runImageCommand(int argc, char** argv) {
  if (argc < 1) {
    usage(stderr);
    return 2;
  }
  const std::string command = argv[0];
  if (command == "help" || command == "--help" || command == "-h") {
    usage(stdout);
    return 0;
  }
  Args args;
  if (int rc = parseArgs(argc - 1, argv + 1, args)) return rc;
  if (args.budgetMiB > 0) QXImageSetCacheMemAbsolute(double(args.budgetMiB) * 1048576.0);
  const int rc = dispatch(command, args);
  // The tile cache's disk folder belongs to this run only.
  QXImageShutdown();
  return rc;
}
