// Diagnostics: raw pixel dumps of images and tiles, the coherence map and the cache listing.
//
// Dumps report nothing to the caller. A dump that cannot be completed removes its partial file, so
// a file whose name promises width x height pixels never holds fewer.
#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXFileMgr.h>
#include <QXCore/QXImage.h>
#include <QXCore/QXLog.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "cf/CFRef.h"
#include "files/CoreFileInternal.h"
#include "image/ImageRec.h"
#include "image/ImageTile.h"
#include "image/TileCache.h"
#include "utils/GroupedDecimal.h"

using qxcf::CFRef;

namespace {

// "<prefix>-<word><w>x<h>x<depth>bit.raw"; empty when the prefix would leave the folder.
std::string DumpName(CFStringRef prefix, const char* word, int32_t width, int32_t height, int32_t depth) {
  std::string name;
  if (prefix) {
    name = qxfiles::UTF8(prefix);
    // A prefix is part of one file name; a slash would put the file somewhere else.
    if (name.find('/') != std::string::npos) return std::string();
    name += '-';
  }
  char tail[96];
  std::snprintf(tail, sizeof tail, "%s%" PRId32 "x%" PRId32 "x%" PRId32 "bit.raw", word, width, height, depth);
  return name + tail;
}

const char* ImageColourWord(int32_t colorSpaceType, int32_t planes) {
  switch (colorSpaceType) {
    case kQXImageColorSpaceGray: return "GRAY";
    case kQXImageColorSpaceRGB: return planes <= 3 ? "RGB" : "CMYK";
    case kQXImageColorSpaceCMYK: return "CMYK";
    default: return "";
  }
}

const char* TileColourWord(int32_t planes) {
  switch (planes) {
    case 1: return "GRAY";
    case 3: return "RGB";
    case 4: return "CMYK";
    default: return "";
  }
}

// A dump file being written: the old file of that name is deleted first, and the new one is
// created without following a symbolic link planted in its place meanwhile.
class DumpFile {
 public:
  DumpFile(CFURLRef folder, const std::string& name) {
    std::string folderPath;
    if (folder == nullptr || name.empty() || qxfiles::PathFromURL(folder, folderPath) != 0) return;
    mPath = qxfiles::JoinPath(folderPath, name);
    if (::unlink(mPath.c_str()) != 0 && errno != ENOENT) return;
    mFD = ::open(mPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  }
  ~DumpFile() {
    if (mFD < 0) return;
    const bool closed = ::close(mFD) == 0;
    if (mFailed || !closed) ::unlink(mPath.c_str());
  }
  DumpFile(const DumpFile&) = delete;
  DumpFile& operator=(const DumpFile&) = delete;

  bool IsOpen() const { return mFD >= 0; }
  void Fail() { mFailed = true; }

  bool Write(const uint8_t* bytes, size_t count) {
    while (count > 0) {
      const ssize_t written = ::write(mFD, bytes, count);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        mFailed = true;
        return false;
      }
      bytes += written;
      count -= size_t(written);
    }
    return true;
  }

 private:
  std::string mPath;
  int mFD = -1;
  bool mFailed = false;
};

// The tile's state, read under its use lock so that a purge cannot change it meanwhile. A tile
// held elsewhere the whole time (possibly by the caller, whose hold cannot be waited out) shows
// as unknown instead of blocking the map.
int32_t ReadCoherenceState(CImageTile* tile, bool& known) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (tile->TryAcquireUse()) {
      const int32_t state = tile->mCoherenceState;
      tile->ReleaseUse();
      known = true;
      return state;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  known = false;
  return 0;
}

char CoherenceChar(int32_t state) {
  switch (state) {
    case 0: return ' ';
    case kQXTileStateRAMNewest: return 's';
    case kQXTileStateVRAMNewest: return 'v';
    case kQXTileStateCoherent: return 'C';
    default: return '?';
  }
}

void LogLine(const std::string& text) {
  const QXLogStyle style{false, false, false, false, false, 4};
  CFRef<CFStringRef> line = qxcf::adopt(qxfiles::CreateString(text));
  if (line) QXLogWithStyle(&style, CFSTR("%@"), line.get());
}

std::string Grouped(int64_t value) {
  CFRef<CFStringRef> text = qxcf::adopt(QXCreateGroupedDecimal(value));
  return qxfiles::UTF8(text.get());
}

CFStringRef CreateOptionalString(const char* utf8) {
  return utf8 ? CFStringCreateWithCString(nullptr, utf8, kCFStringEncodingUTF8) : nullptr;
}

CFURLRef CreateFolderURL(CFStringRef folderPath) {
  return folderPath ? QXFileMgrCreateFileSystemRepresentation(folderPath, true) : nullptr;
}

void DumpTile(CImageTile* tile, CFStringRef prefix, CFURLRef folder) {
  DumpFile file(folder, DumpName(prefix, TileColourWord(tile->mPlanes), tile->mWidth, tile->mHeight, tile->mDepth));
  if (!file.IsOpen()) return;
  const uint8_t* data = tile->DataPtr();
  if (data && tile->mAllocSize > 0) file.Write(data, size_t(tile->mAllocSize));
}

}  // namespace

void CImageRec::Dump(CFStringRef prefix, CFURLRef folder) {
  const int32_t width = mBounds.width, height = mBounds.height;
  if (width < 1 || height < 1 || mRowBytes < 1) return;
  DumpFile file(folder, DumpName(prefix, ImageColourWord(mColorSpaceType, NumPlanes()), width, height, mDepth));
  if (!file.IsOpen()) return;
  // Zeroed once: a solid-fill record's reads leave the buffer as it is.
  std::vector<uint8_t> row;
  try {
    row.assign(size_t(mRowBytes), 0);
  } catch (...) {
    file.Fail();
    return;
  }
  for (int32_t y = 0; y < height; ++y) {
    const QXRect rect{mBounds.x, mBounds.y + y, width, 1};
    if (Read(rect, mLoPlane, mHiPlane, row.data(), 0, 0) != 0) {
      file.Fail();
      return;
    }
    if (!file.Write(row.data(), row.size())) return;
  }
}

void CImageRecFile::DumpCoherenceStateTileMap() {
  // Not under the record's lock: the caller may hold one of our tiles while another thread waits
  // for it inside that lock. The tiles are retained, so a reshape meanwhile frees none of them.
  std::vector<qx::Ref<CImageTile>> tiles;
  int32_t rows = 0, cols = 0;
  if (!CopyGrid(tiles, rows, cols)) return;
  char header[64];
  std::snprintf(header, sizeof header, "Coherence state for image %p\n", static_cast<void*>(this));
  LogLine(header);
  const std::string border = std::string(size_t(cols) + 2, '+') + "\n";
  LogLine(border);
  static const char* const kLegend[] = {
      "   ' ' = tile not yet accessed",
      "   's' = tile's RAM representation most recent",
      "   'v' = tile's VRAM representation most recent",
      "   'C' = tile's RAM and VRAM are identical (coherent)",
      "   '?' = error state. Unknown coherence value",
  };
  for (int32_t r = 0; r < rows; ++r) {
    std::string line = "+";
    for (int32_t c = 0; c < cols; ++c) {
      CImageTile* tile = tiles[size_t(r) * size_t(cols) + size_t(c)].get();
      bool known = false;
      const int32_t state = tile ? ReadCoherenceState(tile, known) : 0;
      line += known ? CoherenceChar(state) : '?';
    }
    line += '+';
    if (r < 5) line += kLegend[r];
    line += '\n';
    LogLine(line);
  }
  LogLine(border);
}

void CImageCacheMgr::DumpInfo(std::FILE* out) {
  qx::MutexLock lock(mMutex);
  std::fputs("---------- Begin Dump -----------\n", out);
  int64_t listedBytes = 0;
  int64_t listedTiles = 0;
  for (CBaseNode* node = mLRU.GetFront(); node != nullptr; node = node->GetNext()) {
    auto* tile = static_cast<CImageTile*>(node);
    const CImageRec* parent = tile->mParent;
    const int64_t size = tile->Bytes();
    std::fprintf(
        out, "imageid - %" PRId32 " tileid - %" PRId32 " tilesize %" PRId64 " width %" PRId32 " height %" PRId32 "\n",
        parent ? parent->mInternalID : 0, tile->mStoreSlot, size, parent ? parent->mBounds.width : 0,
        parent ? parent->mBounds.height : 0);
    listedBytes += size;
    ++listedTiles;
  }
  std::fprintf(out, "mCacheMem %s mCacheMemUsed %s newCacheMem %s numtiles %s\n", Grouped(Budget()).c_str(),
               Grouped(mCacheMemUsed).c_str(), Grouped(listedBytes).c_str(), Grouped(listedTiles).c_str());
  std::fputs("---------- End Dump -----------\n", out);
  std::fflush(out);
}

// ---- The C interface ----

extern "C" {

QX_EXPORT void QXImageDump(QXImageRef image, CFStringRef prefix, CFURLRef folder) {
  if (image) qx::fromHandle(image)->Dump(prefix, folder);
}

QX_EXPORT void QXImageDumpPath(QXImageRef image, CFStringRef prefix, CFStringRef folderPath) {
  CFRef<CFURLRef> folder = qxcf::adopt(CreateFolderURL(folderPath));
  if (folder) QXImageDump(image, prefix, folder.get());
}

QX_EXPORT void QXImageDumpPathUTF8(QXImageRef image, const char* prefix, const char* folderPath) {
  CFRef<CFStringRef> prefixString = qxcf::adopt(CreateOptionalString(prefix));
  CFRef<CFStringRef> folderString = qxcf::adopt(CreateOptionalString(folderPath));
  // Text that is not UTF-8 names no file.
  if (prefix && !prefixString) return;
  QXImageDumpPath(image, prefixString.get(), folderString.get());
}

QX_EXPORT void QXTileDump(QXTileRef tile, CFStringRef prefix, CFURLRef folder) {
  if (tile) DumpTile(qx::fromHandle(tile), prefix, folder);
}

QX_EXPORT void QXTileDumpPath(QXTileRef tile, CFStringRef prefix, CFStringRef folderPath) {
  CFRef<CFURLRef> folder = qxcf::adopt(CreateFolderURL(folderPath));
  if (folder) QXTileDump(tile, prefix, folder.get());
}

QX_EXPORT void QXTileDumpPathUTF8(QXTileRef tile, const char* prefix, const char* folderPath) {
  CFRef<CFStringRef> prefixString = qxcf::adopt(CreateOptionalString(prefix));
  CFRef<CFStringRef> folderString = qxcf::adopt(CreateOptionalString(folderPath));
  if (prefix && !prefixString) return;
  QXTileDumpPath(tile, prefixString.get(), folderString.get());
}

QX_EXPORT void QXImageDumpCoherenceStateTileMap(QXImageRef image) {
  if (image) qx::fromHandle(image)->DumpCoherenceStateTileMap();
}

QX_EXPORT void QXImageDumpCacheInfo(void) { CImageCacheMgr::Get().DumpInfo(stdout); }

}  // extern "C"
