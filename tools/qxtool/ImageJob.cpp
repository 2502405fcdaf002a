// qxtool image-demo: one large 16-bit RGB tiled image through a small tile budget. It is filled and
// read back in bands, so that tiles spill to the disk cache and come back, saved to a file in the
// tile-record format, loaded again, and verified pixel by pixel at each step; the cache's counters,
// the speed of each phase and the peak memory are printed as it goes.
#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXImage.h>
#include <QXCore/QXStream.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "CFRef.h"
#include "Jobs.h"
#include "core/ProgramSupport.h"

using qxcf::adopt;
using qxcf::CFRef;

namespace {

constexpr int32_t kPlanes = 3;
constexpr int32_t kColBytes = kPlanes * 2;
constexpr int32_t kBandRows = kQXImageTileSize;
constexpr int32_t kMaxSide = 1 << 20;  // what a saved image may have
constexpr double kMiB = 1024.0 * 1024.0;

using qx::ImageHolder;
using qx::StreamHolder;

struct Options {
  int32_t width = 8192;
  int32_t height = 8192;
  double budgetMiB = 64;
  std::string dir;  // empty: a temporary folder of our own
  bool keep = false;
};

void usage(FILE* out) {
  std::fputs(
      "usage: qxtool image-demo [--size WxH] [--budget MIB] [--dir DIR] [--keep]\n"
      "  --size WxH     the image (default 8192x8192, 16-bit RGB)\n"
      "  --budget MIB   the tile cache budget in MiB (default 64)\n"
      "  --dir DIR      where the disk cache folder and the saved file go (default: a new temporary folder)\n"
      "  --keep         keep the saved file\n",
      out);
}

bool parseOptions(int argc, char** argv, Options& o) {
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    bool hasValue = i + 1 < argc;
    if (arg == "--size" && hasValue) {
      long w = 0, h = 0;
      char x = 0, extra = 0;
      if (std::sscanf(argv[++i], "%ld%c%ld%c", &w, &x, &h, &extra) != 3 || (x != 'x' && x != 'X') || w < 1 || h < 1 ||
          w > kMaxSide || h > kMaxSide) {
        std::fprintf(stderr, "qxtool image-demo: bad size '%s' (WxH, each 1 ... %d)\n", argv[i], kMaxSide);
        return false;
      }
      o.width = static_cast<int32_t>(w);
      o.height = static_cast<int32_t>(h);
    } else if (arg == "--budget" && hasValue) {
      char* end = nullptr;
      o.budgetMiB = std::strtod(argv[++i], &end);
      if (end == argv[i] || *end != '\0' || !(o.budgetMiB > 0) || o.budgetMiB > 1024.0 * 1024.0) {
        std::fprintf(stderr, "qxtool image-demo: bad budget '%s' (MiB, above 0)\n", argv[i]);
        return false;
      }
    } else if (arg == "--dir" && hasValue) {
      o.dir = argv[++i];
    } else if (arg == "--keep") {
      o.keep = true;
    } else {
      std::fprintf(stderr, "qxtool image-demo: unexpected argument '%s'\n", arg.c_str());
      return false;
    }
  }
  return true;
}

// The sample of plane c at (x, y). The first pixel of every 64 columns carries its own position, so
// a misplaced row, column or tile shows; the pixels between repeat along a row, so that bands
// compress about fourfold and quickly, as smooth image content does.
inline uint16_t sample(uint32_t x, uint32_t y, uint32_t c) {
  if ((x & 63) == 0) return static_cast<uint16_t>(c == 0 ? x : c == 1 ? y : x ^ y ^ 0x5A5A);
  return static_cast<uint16_t>((x & 63) * 997 + y * 13 + c * 7919);
}

void patternRows(int32_t width, int32_t y0, int32_t rows, uint16_t* out) {
  for (int32_t y = y0; y < y0 + rows; ++y)
    for (int32_t x = 0; x < width; ++x)
      for (int32_t c = 0; c < kPlanes; ++c)
        *out++ = sample(static_cast<uint32_t>(x), static_cast<uint32_t>(y), static_cast<uint32_t>(c));
}

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

QXImageCacheStatistics statistics() {
  QXImageCacheStatistics s;
  std::memset(&s, 0, sizeof s);
  QXImageGetCacheStatistics(&s);
  return s;
}

CFRef<CFURLRef> fileURL(const std::string& path, bool isDirectory) {
  return adopt(CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(path.data()),
                                                       static_cast<CFIndex>(path.size()), isDirectory));
}

// One line per phase: its speed and what the tile cache did meanwhile.
void report(const char* phase, double bytes, double secs, const QXImageCacheStatistics& a,
            const QXImageCacheStatistics& b) {
  std::printf("%-12s %8.1f MiB in %6.2f s = %7.1f MiB/s | tiles purged %5" PRId64 ", spilled %5" PRId64
              " (%.1f MiB), reloaded %5" PRId64 " (%.1f MiB)\n",
              phase, bytes / kMiB, secs, secs > 0 ? bytes / kMiB / secs : 0.0, b.tilesPurged - a.tilesPurged,
              b.tilesWritten - a.tilesWritten, static_cast<double>(b.bytesWritten - a.bytesWritten) / kMiB,
              b.tilesReloaded - a.tilesReloaded, static_cast<double>(b.bytesRead - a.bytesRead) / kMiB);
  std::fflush(stdout);
}

class Demo {
 public:
  explicit Demo(const Options& o)
      : mO(o), mRowBytes(size_t(o.width) * kColBytes), mBytes(double(mRowBytes) * o.height) {}

  // 0 when every step succeeded and every pixel matched, 1 otherwise.
  int run(const std::string& savePath) {
    QXImageCacheStatistics start = statistics(), a = start, b;
    int32_t tilesAcross = (mO.width + kQXImageTileSize - 1) / kQXImageTileSize;
    int32_t tilesDown = (mO.height + kQXImageTileSize - 1) / kQXImageTileSize;
    std::printf("image-demo: %d x %d 16-bit RGB = %.1f MiB in %d tiles, tile budget %.1f MiB\n", mO.width, mO.height,
                mBytes / kMiB, tilesAcross * tilesDown, mO.budgetMiB);

    QXImageRef created = nullptr;
    QXStatus status = QXImageCreateWithParams(QXRectMake(0, 0, mO.width, mO.height), 16, kPlanes, &created);
    ImageHolder image(created);
    if (status != 0 || !image) return fail("QXImageCreateWithParams", status);

    auto t = std::chrono::steady_clock::now();
    if (!fill(image.get())) return 1;
    report("fill", mBytes, seconds(t), a, b = statistics());

    a = b;
    t = std::chrono::steady_clock::now();
    if (!verify(image.get(), "verify")) return 1;
    report("verify", mBytes, seconds(t), a, b = statistics());

    a = b;
    t = std::chrono::steady_clock::now();
    {
      StreamHolder stream(QXStreamCreateForFile(fileURL(savePath, false).get(), CFSTR("wb")));
      if (!stream) return fail("QXStreamCreateForFile", kQXErrMemory);
      if ((status = QXStreamOpen(stream.get())) != 0) return fail("opening the file to save", status);
      if ((status = QXImageSaveToStream(image.get(), stream.get())) != 0) return fail("QXImageSaveToStream", status);
      if ((status = QXStreamClose(stream.get())) != 0) return fail("closing the saved file", status);
    }
    double saveSecs = seconds(t);
    struct stat st;
    if (::stat(savePath.c_str(), &st) != 0) return fail("stat of the saved file", errno);
    report("save", mBytes, saveSecs, a, b = statistics());
    std::printf("saved file   %8.1f MiB (compression ratio %.2f)\n", double(st.st_size) / kMiB,
                mBytes / double(st.st_size > 0 ? st.st_size : 1));

    // The original leaves; the loaded copy has the whole budget to itself.
    image.reset();
    a = statistics();
    t = std::chrono::steady_clock::now();
    {
      StreamHolder stream(QXStreamCreateForFile(fileURL(savePath, false).get(), CFSTR("rb")));
      if (!stream) return fail("QXStreamCreateForFile", kQXErrMemory);
      if ((status = QXStreamOpen(stream.get())) != 0) return fail("opening the saved file", status);
      QXImageRef loaded = nullptr;
      // The file is the one just written, and may be larger than the load limit for untrusted
      // streams.
      const uint64_t limit = QXImageGetStreamLoadLimit();
      QXImageSetStreamLoadLimit(UINT64_MAX);
      status = QXImageCreateFromStream(stream.get(), 0, &loaded);
      QXImageSetStreamLoadLimit(limit);
      image.reset(loaded);
      if (status != 0 || !image) return fail("QXImageCreateFromStream", status);
    }
    report("load", mBytes, seconds(t), a, b = statistics());
    if (QXImageGetWidth(image.get()) != mO.width || QXImageGetHeight(image.get()) != mO.height ||
        QXImageGetDepth(image.get()) != 16 || QXImageGetNumPlanes(image.get()) != kPlanes) {
      std::fprintf(stderr, "qxtool image-demo: the loaded image is %d x %d, depth %d, %d planes\n",
                   QXImageGetWidth(image.get()), QXImageGetHeight(image.get()), QXImageGetDepth(image.get()),
                   QXImageGetNumPlanes(image.get()));
      return 1;
    }

    a = b;
    t = std::chrono::steady_clock::now();
    if (!verify(image.get(), "verify load")) return 1;
    report("verify load", mBytes, seconds(t), a, b = statistics());
    image.reset();

    b = statistics();
    std::printf("total: tiles purged %" PRId64 ", written to the disk cache %" PRId64 " (%.1f MiB), reloaded %" PRId64
                " (%.1f MiB), store failures %" PRId64 "\n",
                b.tilesPurged - start.tilesPurged, b.tilesWritten - start.tilesWritten,
                static_cast<double>(b.bytesWritten - start.bytesWritten) / kMiB, b.tilesReloaded - start.tilesReloaded,
                static_cast<double>(b.bytesRead - start.bytesRead) / kMiB, b.storeFailures - start.storeFailures);
    std::printf("peak tile cache use %.1f MiB of a %.1f MiB budget; peak memory (VmHWM) %.1f MiB\n",
                static_cast<double>(b.peakUsed) / kMiB, static_cast<double>(b.budget) / kMiB,
                static_cast<double>(qx::PeakResidentBytes()) / kMiB);
    std::printf("every pixel verified after the spill and after the reload: OK\n");
    return 0;
  }

 private:
  int fail(const char* what, int32_t status) {
    std::fprintf(stderr, "qxtool image-demo: %s failed (status %d)\n", what, status);
    return 1;
  }

  int32_t bandRows(int32_t y) const { return y + kBandRows <= mO.height ? kBandRows : mO.height - y; }

  bool fill(QXImageRef image) {
    std::vector<uint16_t> band(mRowBytes / 2 * kBandRows);
    for (int32_t y = 0; y < mO.height; y += kBandRows) {
      patternRows(mO.width, y, bandRows(y), band.data());
      QXStatus status = QXImageWrite(image, QXRectMake(0, y, mO.width, bandRows(y)), 0, -1, band.data(),
                                     static_cast<int32_t>(mRowBytes));
      if (status != 0) {
        std::fprintf(stderr, "qxtool image-demo: QXImageWrite of rows %d ... %d failed (status %d)\n", y,
                     y + bandRows(y) - 1, status);
        return false;
      }
    }
    return true;
  }

  bool verify(QXImageRef image, const char* phase) {
    std::vector<uint16_t> want(mRowBytes / 2 * kBandRows), got(want.size());
    for (int32_t y = 0; y < mO.height; y += kBandRows) {
      int32_t rows = bandRows(y);
      QXStatus status =
          QXImageRead(image, QXRectMake(0, y, mO.width, rows), 0, -1, got.data(), static_cast<int32_t>(mRowBytes));
      if (status != 0) {
        std::fprintf(stderr, "qxtool image-demo: %s: QXImageRead of rows %d ... %d failed (status %d)\n", phase, y,
                     y + rows - 1, status);
        return false;
      }
      patternRows(mO.width, y, rows, want.data());
      size_t samples = mRowBytes / 2 * size_t(rows);
      if (std::memcmp(want.data(), got.data(), samples * 2) == 0) continue;
      size_t i = 0;
      while (want[i] == got[i]) ++i;
      size_t pixel = i / kPlanes;
      std::fprintf(stderr, "qxtool image-demo: %s: pixel (%zu, %zu) plane %zu is %u, expected %u\n", phase,
                   pixel % size_t(mO.width), size_t(y) + pixel / size_t(mO.width), i % kPlanes, got[i], want[i]);
      return false;
    }
    return true;
  }

  Options mO;
  size_t mRowBytes;
  double mBytes;
};

}  // namespace

int runImageDemoJob(int argc, char** argv) {
  Options o;
  if (argc == 1 && (std::strcmp(argv[0], "--help") == 0 || std::strcmp(argv[0], "-h") == 0)) {
    usage(stdout);
    return 0;
  }
  if (!parseOptions(argc, argv, o)) {
    usage(stderr);
    return 2;
  }

  std::string dir = o.dir;
  bool ownDir = dir.empty();
  if (ownDir) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/qxtool-image-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      std::fprintf(stderr, "qxtool image-demo: cannot make a temporary folder: %s\n", std::strerror(errno));
      return 1;
    }
    dir = pattern;
  } else if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "qxtool image-demo: %s: %s\n", dir.c_str(), std::strerror(errno));
    return 1;
  }
  char resolved[PATH_MAX];
  if (::realpath(dir.c_str(), resolved) == nullptr) {
    std::fprintf(stderr, "qxtool image-demo: %s: %s\n", dir.c_str(), std::strerror(errno));
    return 1;
  }
  dir = resolved;
  std::string savePath = dir + "/image-demo.qxtiles";

  QXImageSetCacheMemAbsolute(o.budgetMiB * kMiB);
  QXImageSetCacheFolderPath(fileURL(dir, true).get());
  std::printf("disk cache folder: %s/QXImageCache-%ld\n", dir.c_str(), static_cast<long>(::getpid()));

  int rc = Demo(o).run(savePath);

  QXImageShutdown();
  std::string cacheFolder = dir + "/QXImageCache-" + std::to_string(::getpid());
  struct stat st;
  if (::lstat(cacheFolder.c_str(), &st) == 0) {
    std::fprintf(stderr, "qxtool image-demo: the disk cache folder is still there after QXImageShutdown\n");
    rc = 1;
  }
  if (o.keep) {
    std::printf("saved file kept: %s\n", savePath.c_str());
  } else {
    ::unlink(savePath.c_str());
    if (ownDir) {
      // The cache leaves its marker file in the base folder by design; this folder is ours.
      ::unlink((dir + "/QXTempCacheFile.txt").c_str());
      ::rmdir(dir.c_str());
    }
  }
  return rc;
}
