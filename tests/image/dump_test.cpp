// Diagnostics: raw dumps of images and tiles, the coherence map and the cache listing.
#include <CoreFoundation/CoreFoundation.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>

#include "cf/CFRef.h"
#include "tests/image/ImageTestSupport.h"
#include "tests/log/LogCapture.h"

namespace {

namespace fs = std::filesystem;
using namespace qxtest;
using Bytes = std::vector<uint8_t>;

// A fresh folder under the test home, with its URL and path string.
struct Folder {
  Folder() {
    static int counter = 0;
    fs::create_directories(path = gImageHome.root() / ("dumps-" + std::to_string(++counter)));
    url = qxcf::adopt(CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(path.c_str()),
                                                              CFIndex(path.string().size()), true));
    string = qxcf::adopt(CFStringCreateWithCString(nullptr, path.c_str(), kCFStringEncodingUTF8));
  }
  size_t Count() const { return size_t(std::distance(fs::directory_iterator(path), fs::directory_iterator())); }
  Bytes Read(const std::string& name) const {
    std::ifstream in(path / name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  fs::path path;
  qxcf::CFRef<CFURLRef> url;
  qxcf::CFRef<CFStringRef> string;
};

TEST(ImageDump, NamesCarryPrefixColourWordAndFormat) {
  Folder folder;
  // Two tile columns and an origin away from (0, 0); an older dump of another size is replaced, not
  // appended to. Without a prefix there is no dash either.
  std::ofstream(folder.path / "x-GRAY10x20x16bit.raw") << std::string(1000, 'z');
  const std::tuple<int32_t, int32_t, int32_t, int32_t, QXRect, CFStringRef, const char*> cases[] = {
      {kTiled, 1, 1, 16, {250, -5, 10, 20}, CFSTR("x"), "x-GRAY10x20x16bit.raw"},
      {kMemory, 1, 1, 16, {250, -5, 10, 20}, CFSTR("x"), "x-GRAY10x20x16bit.raw"},
      {kMemory, 2, 3, 8, {0, 0, 4, 3}, nullptr, "RGB4x3x8bit.raw"},
      {kMemory, 2, 4, 8, {0, 0, 4, 3}, nullptr, "CMYK4x3x8bit.raw"},
      {kMemory, 3, 4, 16, {0, 0, 4, 3}, nullptr, "CMYK4x3x16bit.raw"},
      {kMemory, 1, 1, 32, {0, 0, 4, 3}, nullptr, "GRAY4x3x32bit.raw"},
      {kMemory, 0, 2, 8, {0, 0, 4, 3}, nullptr, "4x3x8bit.raw"},
      {kMemory, 7, 5, 8, {0, 0, 4, 3}, nullptr, "4x3x8bit.raw"},
  };
  for (const auto& [kind, colorSpaceType, planes, depth, bounds, prefix, name] : cases) {
    SCOPED_TRACE(name);
    Image image(kind, bounds, depth, planes, colorSpaceType);
    Paint(image);
    QXImageDump(image, prefix, folder.url.get());
    EXPECT_EQ(folder.Read(name), ReadAll(image));
  }
  EXPECT_EQ(folder.Count(), 6u);
  // The path forms reach the same file; a solid-fill record dumps zeros.
  Image solid(kSolid, QXRect{0, 0, 6, 2}, 8, 3);
  QXImageDumpPath(solid, CFSTR("before"), folder.string.get());
  EXPECT_EQ(folder.Read("before-RGB6x2x8bit.raw"), Bytes(36, 0));
  QXImageDumpPathUTF8(solid, "après", folder.path.c_str());
  QXImageDumpPathUTF8(solid, nullptr, folder.path.c_str());
  EXPECT_TRUE(folder.Read("après-RGB6x2x8bit.raw").size() == 36u && folder.Read("RGB6x2x8bit.raw").size() == 36u);
  // A prefix naming another folder, a missing folder, invalid UTF-8, no pixels: no file at all.
  Image rgb(kMemory, QXRect{0, 0, 4, 3}, 8, 3);
  Paint(rgb);
  const size_t count = folder.Count();
  fs::create_directories(folder.path / "sub");
  QXImageDump(rgb, CFSTR("sub/x"), folder.url.get());
  QXImageDumpPathUTF8(rgb, "x", (folder.path / "missing").c_str());
  QXImageDump(rgb, CFSTR("x"), nullptr);
  QXImageDumpPathUTF8(rgb, "x", nullptr);
  QXImageDumpPathUTF8(rgb, "\xff\xfe", folder.path.c_str());
  QXImageDump(NoPixels(QXRect{0, 0, 4, 3}, 8, 1), CFSTR("none"), folder.url.get());
  EXPECT_TRUE(folder.Count() == count + 1 && fs::is_empty(folder.path / "sub"));
  // A symbolic link standing at the name is replaced; its target is never written through.
  std::ofstream(folder.path / "target") << "keep";
  fs::create_symlink(folder.path / "target", folder.path / "x-RGB4x3x8bit.raw");
  QXImageDump(rgb, CFSTR("x"), folder.url.get());
  EXPECT_FALSE(fs::is_symlink(folder.path / "x-RGB4x3x8bit.raw"));
  EXPECT_EQ(folder.Read("x-RGB4x3x8bit.raw"), ReadAll(rgb));
  EXPECT_EQ(folder.Read("target"), Bytes({'k', 'e', 'e', 'p'}));
}

TEST(ImageDump, TileDumpWritesTheTileData) {
  Folder folder;
  // Colour words follow the plane count alone; every form of the call.
  QXTileRef rgb = QXTileCreateWithParams(0, 0, 16, 8, 3, 8, true),
            grey = QXTileCreateWithParams(0, 0, 2, 2, 1, 16, true),
            two = QXTileCreateWithParams(0, 0, 2, 2, 2, 8, true), cmyk = QXTileCreateWithParams(0, 0, 2, 2, 4, 8, true);
  auto* data = static_cast<uint8_t*>(QXTileGetDataPtr(rgb));
  for (int i = 0; i < 16 * 8 * 3; ++i) data[i] = uint8_t(i * 7);
  QXTileDumpPathUTF8(rgb, "t", folder.path.c_str());
  QXTileDump(grey, nullptr, folder.url.get());
  QXTileDumpPath(two, CFSTR("p"), folder.string.get());
  QXTileDump(cmyk, CFSTR("c"), folder.url.get());
  EXPECT_EQ(folder.Read("t-RGB16x8x8bit.raw"), Bytes(data, data + 16 * 8 * 3));
  EXPECT_EQ(folder.Read("GRAY2x2x16bit.raw").size(), 8u);
  EXPECT_EQ(folder.Read("p-2x2x8bit.raw").size(), 8u);
  EXPECT_EQ(folder.Read("c-CMYK2x2x8bit.raw").size(), 16u);
  for (QXTileRef t : {rgb, grey, two, cmyk}) QXTileRelease(t);
  // A tile of an image, held while it is dumped.
  Image image(QXRect{0, 0, 300, 10}, 8, 1);
  Paint(image);
  NativeTile native(image, 0, 1);
  QXTileDump(native, CFSTR("n"), folder.url.get());
  EXPECT_EQ(folder.Read("n-GRAY256x256x8bit.raw"), Bytes(native.data(), native.data() + 65536));
}

// Everything logged by one coherence map, after its header line.
std::string CoherenceMap(QXImageRef image) {
  LogCapture log;
  QXImageDumpCoherenceStateTileMap(image);
  std::string text;
  for (const std::string& line : log.lines()) text += line;
  char header[64];
  std::snprintf(header, sizeof header, "Coherence state for image %p\n", static_cast<void*>(image));
  return text.rfind(header, 0) == 0 ? text.substr(strlen(header)) : "no header: " + text;
}

TEST(ImageDump, CoherenceMapShowsEachTileState) {
  Image image(QXRect{0, 0, 700, 300}, 8, 1);  // 3 x 2 tiles
  const uint8_t pixel = 9;
  ASSERT_EQ(QXImageWrite(image, QXRect{0, 0, 1, 1}, 0, 0, &pixel, 0), 0);
  EXPECT_EQ(CoherenceMap(image),
            "+++++\n"
            "+s  +   ' ' = tile not yet accessed\n"
            "+   +   's' = tile's RAM representation most recent\n"
            "+++++\n");
  // A tile held meanwhile (here by the caller itself) cannot be read safely: unknown, not a hang.
  NativeTile held(image, 1, 2);
  const std::string text = CoherenceMap(image);
  held.release();
  EXPECT_NE(text.find("\n+s  +   ' '"), std::string::npos) << text;
  EXPECT_NE(text.find("\n+  ?+   's'"), std::string::npos) << text;
  // Every state, and the legend stopping after the fifth row.
  Image tall(QXRect{0, 0, 256, 256 * 6}, 8, 1);
  const int32_t states[] = {kQXTileStateRAMNewest, kQXTileStateVRAMNewest, kQXTileStateCoherent, 42};
  for (int32_t r = 0; r < 4; ++r) QXTileSetCoherenceState(NativeTile(tall, r, 0), states[r]);
  EXPECT_EQ(CoherenceMap(tall),
            "+++\n"
            "+s+   ' ' = tile not yet accessed\n"
            "+v+   's' = tile's RAM representation most recent\n"
            "+C+   'v' = tile's VRAM representation most recent\n"
            "+?+   'C' = tile's RAM and VRAM are identical (coherent)\n"
            "+ +   '?' = error state. Unknown coherence value\n"
            "+ +\n"
            "+++\n");
  // Other kinds of record print nothing.
  LogCapture log;
  QXImageDumpCoherenceStateTileMap(Image(kMemory, QXRect{0, 0, 10, 10}, 8, 1));
  QXImageDumpCoherenceStateTileMap(nullptr);
  EXPECT_TRUE(log.lines().empty());
}

std::string CacheListing() {
  testing::internal::CaptureStdout();
  QXImageDumpCacheInfo();
  return testing::internal::GetCapturedStdout();
}

TEST(ImageDump, CacheInfoListsNewestFirstWithGroupedTotals) {
  Budget budget(2147483648.0);
  Image older(QXRect{0, 0, 300, 10}, 8, 1), newer(QXRect{0, 0, 20, 30}, 16, 3);
  Touch(older, 0, 1);
  Touch(older, 0, 0);
  Touch(newer, 0, 0);
  // The only resident tiles, newest first: newer's whole tile, then older's two (in no slot yet).
  auto line = [](QXImageRef image, const char* rest) {
    return "imageid - " + std::to_string(QXImageGetInternalID(image)) + " tileid - -1 tilesize " + rest + "\n";
  };
  EXPECT_EQ(CacheListing(), "---------- Begin Dump -----------\n" + line(newer, "393216 width 20 height 30") +
                                line(older, "65536 width 300 height 10") + line(older, "65536 width 300 height 10") +
                                "mCacheMem 2,147,483,648 mCacheMemUsed 524,288 newCacheMem 524,288 numtiles 3\n"
                                "---------- End Dump -----------\n");
  Budget none(0);
  EXPECT_NE(CacheListing().find("\nmCacheMem 0 mCacheMemUsed "), std::string::npos);  // zero stays 0
}

}  // namespace
