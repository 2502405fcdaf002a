// Diagnostics: raw dumps of images and tiles, the coherence map and the cache listing.
#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXFileMgr.h>
#include <QXCore/QXImage.h>
#include <QXCore/QXLog.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "cf/CFRef.h"
#include "tests/image/ImageTestSupport.h"

namespace {

namespace fs = std::filesystem;
using qxcf::CFRef;
using qxtest::Image;

// A fresh folder under the test home, with its URL.
struct Folder {
  Folder() {
    static int counter = 0;
    path = qxtest::gImageHome.root() / ("dumps-" + std::to_string(++counter));
    fs::create_directories(path);
    url = qxcf::adopt(CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(path.c_str()),
                                                              CFIndex(path.string().size()), true));
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path)) names.push_back(entry.path().filename().string());
    return names;
  }
  fs::path path;
  CFRef<CFURLRef> url;
};

std::vector<uint8_t> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(ImageDump, RawFileHoldsEveryRowOfEveryKind) {
  for (int32_t kind : {qxtest::kTiled, qxtest::kMemory}) {
    SCOPED_TRACE(kind);
    Folder folder;
    // Spanning two tile columns, with an origin away from (0, 0).
    Image image;
    QXImageRef ref = nullptr;
    ASSERT_EQ(QXImageCreateWithParams2(QXRect{250, -5, 10, 20}, 16, 1, 1, 0, kind, &ref), 0);
    image.reset(ref);
    qxtest::Paint(image);
    // An older dump of another size is replaced, not appended to.
    { std::ofstream(folder.path / "x-GRAY10x20x16bit.raw") << std::string(1000, 'z'); }

    QXImageDump(image, CFSTR("x"), folder.url.get());
    const std::vector<uint8_t> bytes = ReadFile(folder.path / "x-GRAY10x20x16bit.raw");
    EXPECT_EQ(bytes.size(), 400u);
    EXPECT_EQ(bytes, qxtest::ReadAll(image));
    EXPECT_EQ(folder.Names().size(), 1u);
  }
}

TEST(ImageDump, NamesCarryPrefixColourWordAndFormat) {
  Folder folder;
  struct Case {
    int32_t colorSpaceType, planes, depth;
    const char* name;
  } cases[] = {
      {2, 3, 8, "RGB4x3x8bit.raw"},    {2, 4, 8, "CMYK4x3x8bit.raw"}, {3, 4, 16, "CMYK4x3x16bit.raw"},
      {1, 1, 32, "GRAY4x3x32bit.raw"}, {0, 2, 8, "4x3x8bit.raw"},     {7, 5, 8, "4x3x8bit.raw"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QXImageRef ref = nullptr;
    ASSERT_EQ(
        QXImageCreateWithParams2(QXRect{0, 0, 4, 3}, c.depth, c.planes, c.colorSpaceType, 0, qxtest::kMemory, &ref), 0);
    Image image(ref);
    qxtest::Paint(image);
    // No prefix: no dash either.
    QXImageDump(image, nullptr, folder.url.get());
    const std::vector<uint8_t> bytes = ReadFile(folder.path / c.name);
    EXPECT_EQ(bytes.size(), size_t(4 * 3 * c.planes * c.depth / 8));
    EXPECT_EQ(bytes, qxtest::ReadAll(image));
  }

  // The path forms reach the same file; a solid-fill record dumps zeros.
  QXImageRef ref = nullptr;
  ASSERT_EQ(QXImageCreateWithParams2(QXRect{0, 0, 6, 2}, 8, 3, 2, 0, qxtest::kSolid, &ref), 0);
  Image solid(ref);
  CFRef<CFStringRef> folderPath =
      qxcf::adopt(CFStringCreateWithCString(nullptr, folder.path.c_str(), kCFStringEncodingUTF8));
  QXImageDumpPath(solid, CFSTR("before"), folderPath.get());
  EXPECT_EQ(ReadFile(folder.path / "before-RGB6x2x8bit.raw"), std::vector<uint8_t>(36, 0));
  QXImageDumpPathUTF8(solid, "après", folder.path.c_str());
  EXPECT_EQ(ReadFile(folder.path / "après-RGB6x2x8bit.raw").size(), 36u);
  QXImageDumpPathUTF8(solid, nullptr, folder.path.c_str());
  EXPECT_EQ(ReadFile(folder.path / "RGB6x2x8bit.raw").size(), 36u);
}

TEST(ImageDump, DumpsThatCannotBeMadeLeaveNothingBehind) {
  Folder folder;
  Image image(qxtest::kMemory, QXRect{0, 0, 4, 3}, 8, 3);
  qxtest::Paint(image);
  const size_t before = folder.Names().size();

  // A prefix naming another folder, a missing folder, a null folder, invalid UTF-8.
  fs::create_directories(folder.path / "sub");
  QXImageDump(image, CFSTR("sub/x"), folder.url.get());
  EXPECT_FALSE(fs::exists(folder.path / "sub" / "x-RGB4x3x8bit.raw"));
  QXImageDumpPathUTF8(image, "x", (folder.path / "missing").c_str());
  QXImageDumpPathUTF8(image, "x", nullptr);
  QXImageDump(image, CFSTR("x"), nullptr);
  QXImageDumpPathUTF8(image, "\xff\xfe", folder.path.c_str());
  EXPECT_EQ(folder.Names().size(), before + 1);  // only "sub"

  // A symbolic link standing at the name is replaced; its target is never written through.
  const fs::path target = folder.path / "target";
  { std::ofstream(target) << "keep"; }
  fs::create_symlink(target, folder.path / "x-RGB4x3x8bit.raw");
  QXImageDump(image, CFSTR("x"), folder.url.get());
  EXPECT_FALSE(fs::is_symlink(folder.path / "x-RGB4x3x8bit.raw"));
  EXPECT_EQ(ReadFile(folder.path / "x-RGB4x3x8bit.raw"), qxtest::ReadAll(image));
  EXPECT_EQ(ReadFile(target), std::vector<uint8_t>({'k', 'e', 'e', 'p'}));

  // A memory record without pixels cannot be read: no file rather than a short one.
  QXImageRef empty = nullptr;
  ASSERT_EQ(QXImageCreateMemory(QXRect{0, 0, 4, 3}, 8, 1, 1, 0, nullptr, &empty), 0);
  Image noPixels(empty);
  QXImageDump(noPixels, CFSTR("none"), folder.url.get());
  EXPECT_FALSE(fs::exists(folder.path / "none-GRAY4x3x8bit.raw"));
}

TEST(ImageDump, TileDumpWritesTheTileData) {
  Folder folder;
  QXTileRef tile = QXTileCreateWithParams(0, 0, 16, 8, 3, 8, true);
  ASSERT_NE(tile, nullptr);
  auto* data = static_cast<uint8_t*>(QXTileGetDataPtr(tile));
  ASSERT_NE(data, nullptr);
  for (int i = 0; i < 16 * 8 * 3; ++i) data[i] = uint8_t(i * 7);
  QXTileDumpPathUTF8(tile, "t", folder.path.c_str());
  EXPECT_EQ(ReadFile(folder.path / "t-RGB16x8x8bit.raw"), std::vector<uint8_t>(data, data + 16 * 8 * 3));
  QXTileRelease(tile);

  // Colour words follow the plane count alone.
  QXTileRef grey = QXTileCreateWithParams(0, 0, 2, 2, 1, 16, true);
  QXTileRef two = QXTileCreateWithParams(0, 0, 2, 2, 2, 8, true);
  QXTileRef cmyk = QXTileCreateWithParams(0, 0, 2, 2, 4, 8, true);
  QXTileDump(grey, nullptr, folder.url.get());
  CFRef<CFStringRef> folderPath =
      qxcf::adopt(CFStringCreateWithCString(nullptr, folder.path.c_str(), kCFStringEncodingUTF8));
  QXTileDumpPath(two, CFSTR("p"), folderPath.get());
  QXTileDump(cmyk, CFSTR("c"), folder.url.get());
  EXPECT_EQ(ReadFile(folder.path / "GRAY2x2x16bit.raw").size(), 8u);
  EXPECT_EQ(ReadFile(folder.path / "p-2x2x8bit.raw").size(), 8u);
  EXPECT_EQ(ReadFile(folder.path / "c-CMYK2x2x8bit.raw").size(), 16u);
  QXTileRelease(grey);
  QXTileRelease(two);
  QXTileRelease(cmyk);

  // A tile of an image, held while it is dumped.
  Image image(QXRect{0, 0, 300, 10}, 8, 1);
  qxtest::Paint(image);
  QXTileRef native = nullptr;
  ASSERT_EQ(QXImageGetNativeTile(image, 0, 1, &native), 0);
  const int32_t size = QXTileGetRowBytes(native) * QXTileGetHeight(native);
  std::vector<uint8_t> expected(static_cast<uint8_t*>(QXTileGetDataPtr(native)),
                                static_cast<uint8_t*>(QXTileGetDataPtr(native)) + size);
  QXTileDump(native, CFSTR("n"), folder.url.get());
  QXTileReleaseUse(native);
  char name[64];
  std::snprintf(name, sizeof name, "n-GRAY%dx%dx8bit.raw", QXTileGetWidth(native), QXTileGetHeight(native));
  EXPECT_EQ(ReadFile(folder.path / name), expected);
}

// Collects the lines a logger receives.
struct LogCapture {
  LogCapture() : logger(QXLoggerCreate()) {
    QXLogRemoveAllLoggers();
    const QXLoggerProcs procs{&LogCapture::Log, nullptr, nullptr};
    QXLoggerSetProcs(logger, &procs, this);
    QXLogAddLogger(logger);
  }
  ~LogCapture() {
    QXLogRemoveLogger(logger);
    QXLoggerRelease(logger);
  }
  static void Log(void* context, CFStringRef line) {
    char buffer[512] = {};
    CFStringGetCString(line, buffer, sizeof buffer, kCFStringEncodingUTF8);
    static_cast<LogCapture*>(context)->text += buffer;
  }
  QXLoggerRef logger;
  std::string text;
};

TEST(ImageDump, CoherenceMapShowsEachTileState) {
  Image image(QXRect{0, 0, 700, 300}, 8, 1);  // 3 x 2 tiles
  const uint8_t pixel = 9;
  ASSERT_EQ(QXImageWrite(image, QXRect{0, 0, 1, 1}, 0, 0, &pixel, 0), 0);
  char header[64];
  std::snprintf(header, sizeof header, "Coherence state for image %p\n", static_cast<void*>(image.get()));
  {
    LogCapture log;
    QXImageDumpCoherenceStateTileMap(image);
    EXPECT_EQ(log.text, std::string(header) +
                            "+++++\n"
                            "+s  +   ' ' = tile not yet accessed\n"
                            "+   +   's' = tile's RAM representation most recent\n"
                            "+++++\n");
  }

  // A tile held meanwhile (here by the caller itself) cannot be read safely: unknown, not a hang.
  {
    QXTileRef held = nullptr;
    ASSERT_EQ(QXImageGetNativeTile(image, 1, 2, &held), 0);
    LogCapture log;
    QXImageDumpCoherenceStateTileMap(image);
    QXTileReleaseUse(held);
    EXPECT_NE(log.text.find("\n+s  +   ' '"), std::string::npos) << log.text;
    EXPECT_NE(log.text.find("\n+  ?+   's'"), std::string::npos) << log.text;
  }

  // Every state, and the legend stopping after the fifth row.
  Image tall(QXRect{0, 0, 256, 256 * 6}, 8, 1);
  const int32_t states[] = {kQXTileStateRAMNewest, kQXTileStateVRAMNewest, kQXTileStateCoherent, 42, 0, 0};
  for (int32_t r = 0; r < 5; ++r) {
    QXTileRef tile = nullptr;
    ASSERT_EQ(QXImageGetNativeTile(tall, r, 0, &tile), 0);
    QXTileSetCoherenceState(tile, states[r]);
    QXTileReleaseUse(tile);
  }
  std::snprintf(header, sizeof header, "Coherence state for image %p\n", static_cast<void*>(tall.get()));
  {
    LogCapture log;
    QXImageDumpCoherenceStateTileMap(tall);
    EXPECT_EQ(log.text, std::string(header) +
                            "+++\n"
                            "+s+   ' ' = tile not yet accessed\n"
                            "+v+   's' = tile's RAM representation most recent\n"
                            "+C+   'v' = tile's VRAM representation most recent\n"
                            "+?+   'C' = tile's RAM and VRAM are identical (coherent)\n"
                            "+ +   '?' = error state. Unknown coherence value\n"
                            "+ +\n"
                            "+++\n");
  }

  // Other kinds of record print nothing.
  Image memory(qxtest::kMemory, QXRect{0, 0, 10, 10}, 8, 1);
  LogCapture log;
  QXImageDumpCoherenceStateTileMap(memory);
  QXImageDumpCoherenceStateTileMap(nullptr);
  EXPECT_EQ(log.text, "");
}

struct CacheLine {
  int imageID, slot;
  long long size;
  int width, height;
};

// The listing's tile lines and its summary line, as printed to standard output.
std::vector<CacheLine> DumpCache(std::string& summary, std::string& whole) {
  testing::internal::CaptureStdout();
  QXImageDumpCacheInfo();
  whole = testing::internal::GetCapturedStdout();
  std::vector<CacheLine> lines;
  std::istringstream in(whole);
  for (std::string text; std::getline(in, text);) {
    CacheLine line{};
    if (std::sscanf(text.c_str(), "imageid - %d tileid - %d tilesize %lld width %d height %d", &line.imageID,
                    &line.slot, &line.size, &line.width, &line.height) == 5)
      lines.push_back(line);
    else if (text.rfind("mCacheMem ", 0) == 0)
      summary = text + "\n";
  }
  return lines;
}

std::string Grouped(long long value) {
  std::string digits = std::to_string(value), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

TEST(ImageDump, CacheInfoListsNewestFirstWithGroupedTotals) {
  qxtest::Budget budget(2147483648.0);
  Image older(QXRect{0, 0, 300, 10}, 8, 1), newer(QXRect{0, 0, 20, 30}, 16, 3);
  qxtest::Touch(older, 0, 1);
  qxtest::Touch(older, 0, 0);
  qxtest::Touch(newer, 0, 0);

  std::string summary, whole;
  const std::vector<CacheLine> lines = DumpCache(summary, whole);
  EXPECT_EQ(whole.rfind("---------- Begin Dump -----------\n", 0), 0u);
  EXPECT_NE(whole.find("\n---------- End Dump -----------\n"), std::string::npos);

  // Newest first: newer's tile, then older's (0, 0), then its (0, 1).
  std::vector<CacheLine> ours;
  long long total = 0;
  for (const CacheLine& line : lines) {
    total += line.size;
    if (line.imageID == QXImageGetInternalID(older) || line.imageID == QXImageGetInternalID(newer))
      ours.push_back(line);
  }
  ASSERT_EQ(ours.size(), 3u);
  EXPECT_EQ(ours[0].imageID, QXImageGetInternalID(newer));
  EXPECT_EQ(ours[0].width, 20);
  EXPECT_EQ(ours[0].height, 30);
  QXTileRef tile = nullptr;
  ASSERT_EQ(QXImageGetNativeTile(newer, 0, 0, &tile), 0);
  EXPECT_EQ(ours[0].size, (long long)QXTileGetRowBytes(tile) * QXTileGetHeight(tile));
  QXTileReleaseUse(tile);
  EXPECT_EQ(ours[1].imageID, QXImageGetInternalID(older));
  EXPECT_EQ(ours[2].imageID, QXImageGetInternalID(older));
  EXPECT_EQ(ours[1].width, 300);

  const QXImageCacheStatistics stats = qxtest::Stats();
  EXPECT_EQ(summary, "mCacheMem 2,147,483,648 mCacheMemUsed " + Grouped(stats.used) + " newCacheMem " + Grouped(total) +
                         " numtiles " + Grouped((long long)lines.size()) + "\n");

  // Zero stays 0.
  {
    qxtest::Budget none(0);
    std::string zero, ignored;
    DumpCache(zero, ignored);
    EXPECT_EQ(zero.rfind("mCacheMem 0 mCacheMemUsed ", 0), 0u);
  }
}

}  // namespace
