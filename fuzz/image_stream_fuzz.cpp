// Fuzzes the tile-record reader: QXImageCreateFromStream over a memory stream of the input. A
// stream that loads must describe a sane image whose every pixel can be read; a small one must
// also save and load again to the same pixels. A failure must hand out no image. Build the library
// with QX_FUZZING so that headers are capped at small images.
//
// Built a second time with QX_FUZZ_LOAD_LIMIT (bytes) as image_stream_limit_fuzz: setting that load
// limit lifts the fuzzing build's caps, so only what bounds a release build bounds the loader, and
// tiles spill through a small cache budget to the disk store under $TMPDIR. Neither the image a load
// yields nor what it writes to the store may exceed the load limit.
#include <QXCore/QXImage.h>
#include <QXCore/QXStream.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "image_stream_fuzz: %s\n", what);
  std::abort();
}

QXStreamRef StreamOver(const uint8_t* bytes, size_t size) {
  CFMutableDataRef data = CFDataCreateMutable(nullptr, 0);
  if (size > 0) CFDataAppendBytes(data, bytes, static_cast<CFIndex>(size));
  QXStreamRef stream = QXStreamCreateForData(data);
  CFRelease(data);
  if (stream == nullptr || QXStreamOpen(stream) != 0) fail("open");
  return stream;
}

constexpr size_t kKeptPixelBytes = size_t{1} << 20;

// Every pixel, read in bands of 16 rows; kept (for a round trip) only up to kKeptPixelBytes, else
// each band overwrites the last.
std::vector<uint8_t> ReadAll(QXImageRef image) {
  QXRect b = QXImageGetBounds(image);
  size_t rowBytes = static_cast<size_t>(b.width) * static_cast<size_t>(QXImageGetColBytes(image));
  bool keep = rowBytes * static_cast<size_t>(b.height) <= kKeptPixelBytes;
  std::vector<uint8_t> pixels(rowBytes * static_cast<size_t>(keep ? b.height : 16));
  for (int32_t y = 0; y < b.height; y += 16) {
    QXRect band{0, y, b.width, b.height - y < 16 ? b.height - y : 16};
    uint8_t* at = pixels.data() + (keep ? rowBytes * static_cast<size_t>(y) : 0);
    if (QXImageRead(image, band, 0, -1, at, 0) != 0) fail("read");
  }
  if (!keep) pixels.clear();
  return pixels;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool once = [] {
#ifdef QX_FUZZ_LOAD_LIMIT
    QXImageSetStreamLoadLimit(QX_FUZZ_LOAD_LIMIT);
    QXImageSetCacheMemAbsolute(16.0 * 1024 * 1024);
    std::atexit(QXImageShutdown);  // the store's folder goes with the process
#else
    // No disk store: dirty tiles stay resident, and the fuzzing caps keep that small.
    QXImageSetTileStoreType(kQXImageStoreNone);
#endif
    return true;
  }();
  (void)once;

  QXStreamRef stream = StreamOver(data, size);
  QXImageRef image = reinterpret_cast<QXImageRef>(uintptr_t{1});
  QXImageCacheStatistics before{}, after{};
  QXImageGetCacheStatistics(&before);
  int32_t status = QXImageCreateFromStream(stream, 0, &image);
  QXImageGetCacheStatistics(&after);
  QXStreamRelease(stream);
  const uint64_t limit = QXImageGetStreamLoadLimit();
  if (static_cast<uint64_t>(after.bytesWritten - before.bytesWritten) > limit)
    fail("the load stored more than the limit");
  if (status != 0) {
    if (image != nullptr) fail("an image after a failure");
    return 0;
  }
  if (image == nullptr) fail("no image after success");
  QXRect b = QXImageGetBounds(image);
  int32_t depth = QXImageGetDepth(image), planes = QXImageGetNumPlanes(image);
  if (b.x != 0 || b.y != 0 || b.width < 1 || b.height < 1 || (depth != 8 && depth != 16 && depth != 32) || planes < 1 ||
      planes > 32)
    fail("insane geometry accepted");
  uint64_t tiles = static_cast<uint64_t>((b.width + 255) / 256) * static_cast<uint64_t>((b.height + 255) / 256);
  if (tiles * static_cast<uint64_t>(QXImageGetColBytes(image)) * 65536 > limit) fail("an image above the load limit");
  std::vector<uint8_t> pixels = ReadAll(image);

  if (!pixels.empty()) {
    QXStreamRef saved = StreamOver(nullptr, 0);
    if (QXImageSaveToStream(image, saved) != 0) fail("save");
    if (QXStreamSetPos(saved, 0) != 0) fail("rewind");
    QXImageRef again = nullptr;
    if (QXImageCreateFromStream(saved, 0, &again) != 0) fail("load what was saved");
    if (ReadAll(again) != pixels) fail("round trip differs");
    QXImageRelease(again);
    QXStreamRelease(saved);
  }
  QXImageRelease(image);
  return 0;
}
