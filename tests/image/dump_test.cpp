// Diagnostics: raw dumps of images and tiles, the coherence map and the cache listing.
#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXImage.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "cf/CFRef.h"
#include "tests/image/ImageTestSupport.h"
#include "tests/log/LogCapture.h"

namespace {

namespace fs = std::filesystem;
using namespace qxtest;

// A fresh folder under the test home, with its URL and path string.
struct Folder {
  Folder() {
    static int counter = 0;
    path = gImageHome.root() / ("dumps-" + std::to_string(++counter));
    fs::create_directories(path);
    url = qxcf::adopt(CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(path.c_str()),
                                                              CFIndex(path.string().size()), true));
    string = qxcf::adopt(CFStringCreateWithCString(nullptr, path.c_str(), kCFStringEncodingUTF8));
  }
  size_t Count() const { return size_t(std::distance(fs::directory_iterator(path), fs::directory_iterator())); }
  fs::path path;
  qxcf::CFRef<CFURLRef> url;
  qxcf::CFRef<CFStringRef> string;
};

std::vector<uint8_t> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(ImageDump, RawFileHoldsEveryRowOfEveryKind) {
  for (int32_t kind : {kTiled, kMemory}) {
    SCOPED_TRACE(kind);
    Folder folder;
    // Spanning two tile columns, with an origin away from (0, 0).
    QXImageRef ref = nullptr;
    ASSERT_EQ(QXImageCreateWithParams2(QXRect{250, -5, 10, 20}, 16, 1, 1, 0, kind, &ref), 0);
    Image image(ref);
    Paint(image);
    // An older dump of another size is replaced, not appended to.
    std::ofstream(folder.path / "x-GRAY10x20x16bit.raw") << std::string(1000, 'z');
    QXImageDump(image, CFSTR("x"), folder.url.get());
    const std::vector<uint8_t> bytes = ReadFile(folder.path / "x-GRAY10x20x16bit.raw");
    EXPECT_EQ(bytes.size(), 400u);
    EXPECT_EQ(bytes, ReadAll(image));
    EXPECT_EQ(folder.Count(), 1u);
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
    ASSERT_EQ(QXImageCreateWithParams2(QXRect{0, 0, 4, 3}, c.depth, c.planes, c.colorSpaceType, 0, kMemory, &ref), 0);
    Image image(ref);
    Paint(image);
    QXImageDump(image, nullptr, folder.url.get());  // no prefix: no dash either
    EXPECT_EQ(ReadFile(folder.path / c.name), ReadAll(image));
  }
  // The path forms reach the same file; a solid-fill record dumps zeros.
  Image solid(kSolid, QXRect{0, 0, 6, 2}, 8, 3);
  QXImageDumpPath(solid, CFSTR("before"), folder.string.get());
  EXPECT_EQ(ReadFile(folder.path / "before-RGB6x2x8bit.raw"), std::vector<uint8_t>(36, 0));
  QXImageDumpPathUTF8(solid, "après", folder.path.c_str());
  EXPECT_EQ(ReadFile(folder.path / "après-RGB6x2x8bit.raw").size(), 36u);
  QXImageDumpPathUTF8(solid, nullptr, folder.path.c_str());
  EXPECT_EQ(ReadFile(folder.path / "RGB6x2x8bit.raw").size(), 36u);
}

TEST(ImageDump, DumpsThatCannotBeMadeLeaveNothingBehind) {
  Folder folder;
  Image image(kMemory, QXRect{0, 0, 4, 3}, 8, 3);
  Paint(image);
  // A prefix naming another folder, a missing folder, a null folder, invalid UTF-8.
  fs::create_directories(folder.path / "sub");
  QXImageDump(image, CFSTR("sub/x"), folder.url.get());
  QXImageDumpPathUTF8(image, "x", (folder.path / "missing").c_str());
  QXImageDumpPathUTF8(image, "x", nullptr);
  QXImageDump(image, CFSTR("x"), nullptr);
  QXImageDumpPathUTF8(image, "\xff\xfe", folder.path.c_str());
  EXPECT_FALSE(fs::exists(folder.path / "sub" / "x-RGB4x3x8bit.raw"));
  EXPECT_EQ(folder.Count(), 1u);  // only "sub"
  // A symbolic link standing at the name is replaced; its target is never written through.
  const fs::path target = folder.path / "target";
  std::ofstream(target) << "keep";
  fs::create_symlink(target, folder.path / "x-RGB4x3x8bit.raw");
  QXImageDump(image, CFSTR("x"), folder.url.get());
  EXPECT_FALSE(fs::is_symlink(folder.path / "x-RGB4x3x8bit.raw"));
  EXPECT_EQ(ReadFile(folder.path / "x-RGB4x3x8bit.raw"), ReadAll(image));
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
  // Colour words follow the plane count alone; every form of the call.
  QXTileRef rgb = QXTileCreateWithParams(0, 0, 16, 8, 3, 8, true),
            grey = QXTileCreateWithParams(0, 0, 2, 2, 1, 16, true),
            two = QXTileCreateWithParams(0, 0, 2, 2, 2, 8, true), cmyk = QXTileCreateWithParams(0, 0, 2, 2, 4, 8, true);
  ASSERT_TRUE(rgb && grey && two && cmyk);
  auto* data = static_cast<uint8_t*>(QXTileGetDataPtr(rgb));
  ASSERT_NE(data, nullptr);
  for (int i = 0; i < 16 * 8 * 3; ++i) data[i] = uint8_t(i * 7);
  QXTileDumpPathUTF8(rgb, "t", folder.path.c_str());
  QXTileDump(grey, nullptr, folder.url.get());
  QXTileDumpPath(two, CFSTR("p"), folder.string.get());
  QXTileDump(cmyk, CFSTR("c"), folder.url.get());
  EXPECT_EQ(ReadFile(folder.path / "t-RGB16x8x8bit.raw"), std::vector<uint8_t>(data, data + 16 * 8 * 3));
  EXPECT_EQ(ReadFile(folder.path / "GRAY2x2x16bit.raw").size(), 8u);
  EXPECT_EQ(ReadFile(folder.path / "p-2x2x8bit.raw").size(), 8u);
  EXPECT_EQ(ReadFile(folder.path / "c-CMYK2x2x8bit.raw").size(), 16u);
  for (QXTileRef t : {rgb, grey, two, cmyk}) QXTileRelease(t);
  // A tile of an image, held while it is dumped.
  Image image(QXRect{0, 0, 300, 10}, 8, 1);
  Paint(image);
  QXTileRef native = nullptr;
  ASSERT_EQ(QXImageGetNativeTile(image, 0, 1, &native), 0);
  const auto* bytes = static_cast<uint8_t*>(QXTileGetDataPtr(native));
  const std::vector<uint8_t> expected(bytes, bytes + QXTileGetRowBytes(native) * QXTileGetHeight(native));
  QXTileDump(native, CFSTR("n"), folder.url.get());
  char name[64];
  std::snprintf(name, sizeof name, "n-GRAY%dx%dx8bit.raw", QXTileGetWidth(native), QXTileGetHeight(native));
  QXTileReleaseUse(native);
  EXPECT_EQ(ReadFile(folder.path / name), expected);
}

// Everything logged by one coherence map.
std::string CoherenceMap(QXImageRef image) {
  LogCapture log;
  QXImageDumpCoherenceStateTileMap(image);
  std::string text;
  for (const std::string& line : log.lines()) text += line;
  return text;
}

std::string Header(QXImageRef image) {
  char header[64];
  std::snprintf(header, sizeof header, "Coherence state for image %p\n", static_cast<void*>(image));
  return header;
}

TEST(ImageDump, CoherenceMapShowsEachTileState) {
  Image image(QXRect{0, 0, 700, 300}, 8, 1);  // 3 x 2 tiles
  const uint8_t pixel = 9;
  ASSERT_EQ(QXImageWrite(image, QXRect{0, 0, 1, 1}, 0, 0, &pixel, 0), 0);
  EXPECT_EQ(CoherenceMap(image), Header(image) +
                                     "+++++\n"
                                     "+s  +   ' ' = tile not yet accessed\n"
                                     "+   +   's' = tile's RAM representation most recent\n"
                                     "+++++\n");
  // A tile held meanwhile (here by the caller itself) cannot be read safely: unknown, not a hang.
  QXTileRef held = nullptr;
  ASSERT_EQ(QXImageGetNativeTile(image, 1, 2, &held), 0);
  const std::string text = CoherenceMap(image);
  QXTileReleaseUse(held);
  EXPECT_NE(text.find("\n+s  +   ' '"), std::string::npos) << text;
  EXPECT_NE(text.find("\n+  ?+   's'"), std::string::npos) << text;

  // Every state, and the legend stopping after the fifth row.
  Image tall(QXRect{0, 0, 256, 256 * 6}, 8, 1);
  const int32_t states[] = {kQXTileStateRAMNewest, kQXTileStateVRAMNewest, kQXTileStateCoherent, 42};
  for (int32_t r = 0; r < 4; ++r) {
    QXTileRef tile = nullptr;
    ASSERT_EQ(QXImageGetNativeTile(tall, r, 0, &tile), 0);
    QXTileSetCoherenceState(tile, states[r]);
    QXTileReleaseUse(tile);
  }
  EXPECT_EQ(CoherenceMap(tall), Header(tall) +
                                    "+++\n"
                                    "+s+   ' ' = tile not yet accessed\n"
                                    "+v+   's' = tile's RAM representation most recent\n"
                                    "+C+   'v' = tile's VRAM representation most recent\n"
                                    "+?+   'C' = tile's RAM and VRAM are identical (coherent)\n"
                                    "+ +   '?' = error state. Unknown coherence value\n"
                                    "+ +\n"
                                    "+++\n");
  // Other kinds of record print nothing.
  Image memory(kMemory, QXRect{0, 0, 10, 10}, 8, 1);
  EXPECT_EQ(CoherenceMap(memory) + CoherenceMap(nullptr), "");
}

std::string CacheListing() {
  testing::internal::CaptureStdout();
  QXImageDumpCacheInfo();
  return testing::internal::GetCapturedStdout();
}

std::string Grouped(long long value) {
  std::string digits = std::to_string(value), out;
  for (size_t i = 0; i < digits.size(); ++i)
    out += (i > 0 && (digits.size() - i) % 3 == 0 ? "," : "") + digits.substr(i, 1);
  return out;
}

TEST(ImageDump, CacheInfoListsNewestFirstWithGroupedTotals) {
  Budget budget(2147483648.0);
  Image older(QXRect{0, 0, 300, 10}, 8, 1), newer(QXRect{0, 0, 20, 30}, 16, 3);
  Touch(older, 0, 1);
  Touch(older, 0, 0);
  Touch(newer, 0, 0);
  const std::string whole = CacheListing();
  EXPECT_EQ(whole.rfind("---------- Begin Dump -----------\n", 0), 0u);
  EXPECT_NE(whole.find("\n---------- End Dump -----------\n"), std::string::npos);
  // Tile lines ("id width height size" of ours), their total and count, and the summary line.
  std::vector<std::string> ours;
  long long total = 0, tiles = 0;
  std::string summary;
  std::istringstream in(whole);
  for (std::string text; std::getline(in, text);) {
    int id, slot, width, height;
    long long size;
    if (std::sscanf(text.c_str(), "imageid - %d tileid - %d tilesize %lld width %d height %d", &id, &slot, &size,
                    &width, &height) == 5) {
      total += size, ++tiles;
      if (id == QXImageGetInternalID(older) || id == QXImageGetInternalID(newer))
        ours.push_back(std::to_string(id) + " " + std::to_string(width) + " " + std::to_string(height) + " " +
                       std::to_string(size));
    } else if (text.rfind("mCacheMem ", 0) == 0) {
      summary = text;
    }
  }
  // Newest first: newer's whole tile, then older's two.
  const std::string o = std::to_string(QXImageGetInternalID(older)) + " 300 10 65536";
  EXPECT_EQ(ours, (std::vector<std::string>{std::to_string(QXImageGetInternalID(newer)) + " 20 30 393216", o, o}));
  EXPECT_EQ(summary, "mCacheMem 2,147,483,648 mCacheMemUsed " + Grouped(Stats().used) + " newCacheMem " +
                         Grouped(total) + " numtiles " + Grouped(tiles));
  // Zero stays 0.
  Budget none(0);
  EXPECT_NE(CacheListing().find("\nmCacheMem 0 mCacheMemUsed "), std::string::npos);
}

}  // namespace
