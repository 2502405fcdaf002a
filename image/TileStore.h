// The disk store of purged tiles: one scratch file per tiled record ("Image-<internalID>") in this
// process's folder "QXImageCache-<pid>", each tile at a fixed slot of colBytes x 65536 bytes.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXImage.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "cf/CFRef.h"

class CImageRec;
class CImageTile;

class QX_EXPORT CTileStore : public CBaseCore {
 public:
  virtual int32_t Prepare() = 0;
  // Tiles of one record; each gets a slot on its first write. 0 or the first failure (errno).
  virtual int32_t WriteTiles(CFArrayRef tiles) = 0;
  // The tile's slot into its data (allocSize bytes). ENOENT when the slot holds nothing (never
  // written completely, or its file was deleted); a short read is a failure (EIO).
  virtual int32_t ReadTile(CImageTile* tile) = 0;
  virtual int32_t Flush() = 0;
  virtual int32_t RemoveImage(CImageRec* image) = 0;
  // Whether the tile's slot holds its bytes from a completed write.
  virtual bool Holds(CImageTile* tile) = 0;
};

// Exported for the library's tests only; not part of the public interface.
class QX_EXPORT CTileStoreFile final : public CTileStore {
 public:
  // Files held open at most; opening one more first closes the open file of the earliest item.
  static constexpr size_t kMaxOpenFiles = 100;

  CTileStoreFile();
  ~CTileStoreFile() override;

  int32_t Prepare() override;
  int32_t WriteTiles(CFArrayRef tiles) override;
  int32_t ReadTile(CImageTile* tile) override;
  int32_t Flush() override;
  int32_t RemoveImage(CImageRec* image) override;
  bool Holds(CImageTile* tile) override;

  // The base folder (absolute path); used by the next Prepare only when no folder exists yet.
  void SetBaseFolder(const std::string& path);
  std::string BaseFolder();
  // This process's folder ("" until computed).
  std::string ProcessFolder();
  // Deletes the folders "QXImageCache-<digits>" under the base folder whose process does not run
  // and whose lock is not held, then this process's own folder, whose stored tiles are lost (their
  // reads fail); a later Prepare makes a fresh folder (under the base folder set by then).
  void Shutdown();

  // Files currently open (for tests of the open-file rule).
  size_t OpenFiles();

 private:
  struct Item {
    std::string path;
    int fd = -1;
    bool opened = false;       // the file was opened (and emptied) once; later opens keep its slots
    std::vector<bool> stored;  // slots whose last write to the current file completed
    int32_t nextSlot = 0;
  };

  int32_t PrepareLocked();
  int32_t WriteTilesLocked(CFArrayRef tiles, CFIndex count);
  void ShutdownLocked();
  // The item of `image`, its file open. `create` false gives ENOENT for an image never stored.
  int32_t OpenItemLocked(CImageRec* image, bool create, Item*& out);
  void CloseItem(Item& item);
  // Closes every file and deletes this process's folder. Items keep their next slot, so a tile
  // that still holds an old slot never shares it, but no slot holds data any more.
  void RemoveProcessFolderLocked();

  std::mutex mMutex;
  std::string mBaseFolder;
  std::string mProcessFolder;
  bool mFolderCreated = false;
  int mLockFD = -1;  // advisory lock held on a file in the process folder while it exists
  size_t mOpenFiles = 0;
  std::unordered_map<CImageRec*, Item> mItems;
  std::vector<CImageRec*> mItemOrder;  // in order of creation: the earliest file is closed first
};

namespace qximage {
// The name of this process's cache folder.
QX_EXPORT std::string ProcessFolderName();
// The default base folder: $TMPDIR when absolute, else /tmp.
QX_EXPORT std::string DefaultBaseFolder();
}  // namespace qximage
