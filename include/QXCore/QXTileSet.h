/*
 * QXTileSet.h — bookkeeping of the tiles of a layered image that a host renders or exchanges: a
 * tile item names one tile of one layer and mask and may carry an image; a tile set is the sorted
 * collection of items of one column position; a column set is the sorted collection of tile sets
 * at one mip level.
 *
 * Order: items ascend by row, then col, type, layerID and maskID; tile sets by row, then col (all
 * compared as signed integers). Every insertion happens at its binary-search position, so lookups
 * are binary searches and no collection holds two equal entries. Changing the row, col, type or IDs
 * of an item that a set holds (or the position of a set that a column set holds) breaks that order.
 *
 * Ownership: a tile set holds one reference to each of its items, a column set one to each of its
 * tile sets, an item one to its image. Items, sets and arrays handed out are borrowed: valid while
 * their holder keeps them (until clear, assignment or the holder's end). A copy is independent of
 * its original: it has its own arrays and its own copies of the items and sets; only images are
 * shared (retained). Copies throw std::bad_alloc when memory runs out; an assignment then leaves
 * its target unchanged.
 *
 * Threads: nothing here is locked; one thread at a time uses an object and what it holds.
 */
#ifndef QXCORE_QXTILESET_H
#define QXCORE_QXTILESET_H

#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXBase.h>
#include <QXCore/QXImage.h>
#include <QXCore/QXUtils.h>
#include <stdbool.h>
#include <stdint.h>

/* The kind, state and status of an item are the caller's; the library only stores and orders them. */
typedef int32_t BaseTileItemType;
typedef int32_t BaseTileItemState;
typedef int32_t BaseTileItemStatus;
enum { kBaseTileItemTypeNone = 0, kBaseTileItemStateNone = 0, kBaseTileItemStatusNone = 0 };

/* The state of a tile set; BaseTileColumnSet::hasIncompleteColumns looks for the incomplete one. */
typedef int32_t BaseTileSetState;
enum { kBaseTileSetStateNone = 0, kBaseTileSetStateComplete = 1, kBaseTileSetStateIncomplete = 2 };

#if defined(__cplusplus)

/* One tile of one layer and mask at a row and column, with an optional image and caller values. */
class QX_EXPORT BaseTileItem : public CBaseCore {
 public:
  /* row, col, layerID and maskID -1; mark true; no image; everything else 0 or NULL. */
  BaseTileItem();
  /* The given identity; mark true; no image; state, status, refCons and context 0 or NULL. */
  BaseTileItem(int32_t layerID, int32_t maskID, BaseTileItemType type, int32_t row, int32_t col);
  /* Field by field, the image retained; the copy starts with one reference of its own. */
  BaseTileItem(const BaseTileItem& other);
  /* Field by field; the new image is retained before the old one is released (self-assignment is safe). */
  BaseTileItem& operator=(const BaseTileItem& other);
  /* Releases the image. */
  ~BaseTileItem() override;

  int32_t row() const { return mRow; }
  void setRow(int32_t row) { mRow = row; }
  int32_t col() const { return mCol; }
  void setCol(int32_t col) { mCol = col; }
  bool mark() const { return mMark; }
  void setMark(bool mark) { mMark = mark; }
  int32_t layerID() const { return mLayerID; }
  void setLayerID(int32_t layerID) { mLayerID = layerID; }
  int32_t maskID() const { return mMaskID; }
  void setMaskID(int32_t maskID) { mMaskID = maskID; }
  BaseTileItemType type() const { return mType; }
  void setType(BaseTileItemType type) { mType = type; }
  BaseTileItemState state() const { return mState; }
  void setState(BaseTileItemState state) { mState = state; }
  BaseTileItemStatus status() const { return mStatus; }
  void setStatus(BaseTileItemStatus status) { mStatus = status; }
  int32_t refCon() const { return mRefCon; }
  void setRefCon(int32_t refCon) { mRefCon = refCon; }
  int32_t refCon2() const { return mRefCon2; }
  void setRefCon2(int32_t refCon2) { mRefCon2 = refCon2; }
  void* context() const { return mContext; }
  void setContext(void* context) { mContext = context; }
  /* Borrowed; NULL when there is none. */
  QXImageRef image() const { return mImage; }
  /* Retains `image` (NULL clears) before releasing the old one. */
  void setImage(QXImageRef image);

  /* The item order over two BaseTileItem pointers (as CBaseCore pointers, the way the library's
     arrays store them): kCFCompareLessThan, kCFCompareEqualTo or kCFCompareGreaterThan. `context`
     is ignored. A CFComparatorFunction. */
  static CFComparisonResult compare(const void* a, const void* b, void* context);

 protected:
  /* As the constructor with the same arguments; releases the image the item held. */
  void init(int32_t layerID, int32_t maskID, BaseTileItemType type, int32_t row, int32_t col);

 private:
  QXImageRef mImage = nullptr;
  int32_t mRow = -1;
  int32_t mCol = -1;
  bool mMark = true;
  int32_t mLayerID = -1;
  int32_t mMaskID = -1;
  BaseTileItemType mType = kBaseTileItemTypeNone;
  BaseTileItemState mState = kBaseTileItemStateNone;
  BaseTileItemStatus mStatus = kBaseTileItemStatusNone;
  int32_t mRefCon = 0;
  int32_t mRefCon2 = 0;
  void* mContext = nullptr;
};

/* The items of one column position, sorted and free of duplicates. A set made from a position
   alone has no item array: it is a search key, takes no tiles, and every operation sees it empty. */
class QX_EXPORT BaseTileSet : public CBaseCore {
 public:
  /* No items; row and col -1; colState false; state kBaseTileSetStateNone. */
  BaseTileSet();
  /* A position without an item array (see the class comment). */
  BaseTileSet(int32_t row, int32_t col, bool colState);
  /* Copies of the other set's items in an array of its own (none when the other has none). */
  BaseTileSet(const BaseTileSet& other);
  /* As the copy constructor; the copy is made before the old items go (self-assignment is safe). */
  BaseTileSet& operator=(const BaseTileSet& other);
  ~BaseTileSet() override;

  /* A new item with these values at its sorted place, held by the set: the caller does not release
     it. NULL when an equal item (same row, col, type, layerID and maskID) is present, for a set
     without an item array, or when memory runs out. */
  BaseTileItem* addTile(int32_t layerID, int32_t maskID, BaseTileItemType type, int32_t row, int32_t col);
  /* The equal item (borrowed), or NULL. */
  BaseTileItem* tile(int32_t layerID, int32_t maskID, BaseTileItemType type, int32_t row, int32_t col) const;
  /* Where such an item is or would be inserted: the first position whose item does not sort
     before it. `found` tells whether the item there is equal. 0 and false for an empty set or a
     NULL item. */
  CFIndex indexOfTile(int32_t layerID, int32_t maskID, BaseTileItemType type, int32_t row, int32_t col,
                      bool& found) const;
  CFIndex indexOfTile(const BaseTileItem* item, bool& found) const;
  CFIndex numTiles() const;
  /* The sorted items, borrowed: an array with QXUtilsGetArrayCallbacks whose values are the items
     as CBaseCore pointers. NULL for a set without an item array. */
  CFArrayRef tileItems() const { return mItems; }
  /* Removes (releases) every item. */
  void clear();

  int32_t row() const { return mRow; }
  int32_t col() const { return mCol; }
  void setColumnPos(int32_t row, int32_t col) {
    mRow = row;
    mCol = col;
  }
  bool colState() const { return mColState; }
  BaseTileSetState state() const { return mState; }
  void setState(BaseTileSetState state) { mState = state; }

  /* The set order (row, then col) over two BaseTileSet pointers stored as CBaseCore pointers;
     `context` is ignored. A CFComparatorFunction. */
  static CFComparisonResult compare(const void* a, const void* b, void* context);

  /* Prints one line to standard output: "(row col) - " and, for each item, "(r:row c:col id:layerID
     st:state)", separated by ", ". The whole line is printed, however many items there are. */
  void dump() const;

 private:
  friend class BaseTileColumnSet;

  bool mColState = false;
  int32_t mRow = -1;
  int32_t mCol = -1;
  CFMutableArrayRef mItems = nullptr;
  BaseTileSetState mState = kBaseTileSetStateNone;
};

/* The tile sets of one mip level, sorted by position and free of duplicates. */
class QX_EXPORT BaseTileColumnSet : public CBaseCore {
 public:
  /* No tile sets; mip level -1. */
  BaseTileColumnSet();
  /* Copies of the other's tile sets (each with copies of its items) in an array of its own. */
  BaseTileColumnSet(const BaseTileColumnSet& other);
  /* As the copy constructor; the copy is made before the old sets go (self-assignment is safe). */
  BaseTileColumnSet& operator=(const BaseTileColumnSet& other);
  ~BaseTileColumnSet() override;

  /* Adds the item to the tile set at (setRow, setCol), which is created first (colState true, empty)
     and inserted at its sorted place when there is none. The result is that set's addTile: the new
     item (borrowed), or NULL for a duplicate or when memory runs out. */
  BaseTileItem* addTile(int32_t setRow, int32_t setCol, int32_t layerID, int32_t maskID, BaseTileItemType type,
                        int32_t row, int32_t col);
  /* Where the set at (row, col) is or would be inserted; `found` tells whether it is there. */
  CFIndex indexOfTileSet(int32_t row, int32_t col, bool& found) const;
  /* The sorted tile sets, borrowed, stored as the items of tileItems are. */
  CFArrayRef columns() const { return mColumns; }
  bool hasColumns() const;
  /* True when some tile set has state kBaseTileSetStateIncomplete. */
  bool hasIncompleteColumns() const;
  int32_t mipLevel() const { return mMipLevel; }
  void setMipLevel(int32_t mipLevel) { mMipLevel = mipLevel; }

  /* True when both hold as many tile sets and, position by position, the sets have the same row
     and col; their items are not compared. */
  bool equal(const BaseTileColumnSet& other) const;
  /* The union of the sets' squares {col x 256, row x 256, 256, 256}, in pixels of this mip level;
     {0, 0, 0, 0} without sets. Each field is computed exactly and clamped to the 32-bit range, so
     sets at extreme rows or columns give a saturated rectangle rather than a wrapped one. */
  QXRect boundingRect() const;
  /* One line per tile set, as BaseTileSet::dump prints it. */
  void dump() const;

 protected:
  CFIndex indexOfTileSet(const BaseTileSet* set, bool& found) const;

 private:
  CFMutableArrayRef mColumns = nullptr;
  int32_t mMipLevel = -1;
};

#endif /* __cplusplus */

#endif /* QXCORE_QXTILESET_H */
