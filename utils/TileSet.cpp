// Tile items, tile sets and column sets: sorted arrays of library objects kept free of duplicates by
// inserting only at the binary-search position. A tile set made from a position alone is a search
// key without an item array, so every path here reads a missing array as an empty one.
#include <QXCore/QXTileSet.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <new>
#include <string>

#include "cf/CFRef.h"
#include "core/Handle.h"

using qxcf::CFRef;

namespace {

template <class T>
const T* Object(const void* value) {
  return static_cast<const T*>(static_cast<const CBaseCore*>(value));
}

const void* Value(const CBaseCore* object) { return object; }

template <class T>
CFComparisonResult Order(T a, T b) {
  return a < b ? kCFCompareLessThan : (b < a ? kCFCompareGreaterThan : kCFCompareEqualTo);
}

CFMutableArrayRef NewArray(CFIndex capacity) {
  return CFArrayCreateMutable(nullptr, capacity, CBaseCore::GetArrayCallbacks());
}

CFIndex Count(CFArrayRef array) { return array ? CFArrayGetCount(array) : 0; }

// The first position whose value does not sort before `value`, and whether the value there is equal.
CFIndex Search(CFArrayRef array, const CBaseCore* value, CFComparatorFunction order, bool& found) {
  found = false;
  const CFIndex count = Count(array);
  if (count == 0 || value == nullptr) return 0;
  const CFIndex index = CFArrayBSearchValues(array, CFRangeMake(0, count), Value(value), order, nullptr);
  found = index < count && order(CFArrayGetValueAtIndex(array, index), Value(value), nullptr) == kCFCompareEqualTo;
  return index;
}

// A new array of copies of `source`'s objects, so that a copy never shares an array, or anything an
// array holds, with its original; NULL for a NULL source.
template <class T>
CFMutableArrayRef CopyObjects(CFArrayRef source) {
  if (source == nullptr) return nullptr;
  const CFIndex count = CFArrayGetCount(source);
  CFRef<CFMutableArrayRef> copy = qxcf::adopt(NewArray(count));
  if (!copy) throw std::bad_alloc();
  for (CFIndex i = 0; i < count; ++i) {
    qx::Ref<T> object = qx::Ref<T>::adopt(new T(*qx::ObjectAt<T>(source, i)));
    CFArrayAppendValue(copy.get(), Value(object.get()));
  }
  if (CFArrayGetCount(copy.get()) != count) throw std::bad_alloc();
  return copy.release();
}

// Installs `next` and releases what `slot` held, in that order.
void Replace(CFMutableArrayRef& slot, CFMutableArrayRef next) {
  CFMutableArrayRef old = slot;
  slot = next;
  if (old) CFRelease(old);
}

int32_t Saturate(int64_t value) {
  return static_cast<int32_t>(
      std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

}  // namespace

// ---- BaseTileItem ----

BaseTileItem::BaseTileItem() = default;

BaseTileItem::BaseTileItem(int32_t layerID, int32_t maskID, BaseTileItemType type, int32_t row, int32_t col) {
  init(layerID, maskID, type, row, col);
}

BaseTileItem::BaseTileItem(const BaseTileItem& other) : CBaseCore() { *this = other; }

BaseTileItem& BaseTileItem::operator=(const BaseTileItem& other) {
  setImage(other.mImage);
  mRow = other.mRow;
  mCol = other.mCol;
  mMark = other.mMark;
  mLayerID = other.mLayerID;
  mMaskID = other.mMaskID;
  mType = other.mType;
  mState = other.mState;
  mStatus = other.mStatus;
  mRefCon = other.mRefCon;
  mRefCon2 = other.mRefCon2;
  mContext = other.mContext;
  return *this;
}

BaseTileItem::~BaseTileItem() { setImage(nullptr); }

void BaseTileItem::init(int32_t layerID, int32_t maskID, BaseTileItemType type, int32_t row, int32_t col) {
  setImage(nullptr);
  mRow = row;
  mCol = col;
  mMark = true;
  mLayerID = layerID;
  mMaskID = maskID;
  mType = type;
  mState = kBaseTileItemStateNone;
  mStatus = kBaseTileItemStatusNone;
  mRefCon = 0;
  mRefCon2 = 0;
  mContext = nullptr;
}

void BaseTileItem::setImage(QXImageRef image) {
  if (image) QXImageRetain(image);
  QXImageRef old = mImage;
  mImage = image;
  if (old) QXImageRelease(old);
}

CFComparisonResult BaseTileItem::compare(const void* a, const void* b, void*) {
  const BaseTileItem* x = Object<BaseTileItem>(a);
  const BaseTileItem* y = Object<BaseTileItem>(b);
  for (CFComparisonResult r : {Order(x->mRow, y->mRow), Order(x->mCol, y->mCol), Order(x->mType, y->mType),
                               Order(x->mLayerID, y->mLayerID), Order(x->mMaskID, y->mMaskID)}) {
    if (r != kCFCompareEqualTo) return r;
  }
  return kCFCompareEqualTo;
}

// ---- BaseTileSet ----

BaseTileSet::BaseTileSet() : mItems(NewArray(0)) {}

BaseTileSet::BaseTileSet(int32_t row, int32_t col, bool colState) : mColState(colState), mRow(row), mCol(col) {}

BaseTileSet::BaseTileSet(const BaseTileSet& other)
    : CBaseCore(),
      mColState(other.mColState),
      mRow(other.mRow),
      mCol(other.mCol),
      mItems(CopyObjects<BaseTileItem>(other.mItems)),
      mState(other.mState) {}

BaseTileSet& BaseTileSet::operator=(const BaseTileSet& other) {
  Replace(mItems, CopyObjects<BaseTileItem>(other.mItems));
  mColState = other.mColState;
  mRow = other.mRow;
  mCol = other.mCol;
  mState = other.mState;
  return *this;
}

BaseTileSet::~BaseTileSet() { Replace(mItems, nullptr); }

BaseTileItem* BaseTileSet::addTile(int32_t layerID, int32_t maskID, BaseTileItemType type, int32_t row, int32_t col) {
  if (mItems == nullptr) return nullptr;
  const BaseTileItem key(layerID, maskID, type, row, col);
  bool found = false;
  const CFIndex index = indexOfTile(&key, found);
  if (found) return nullptr;
  qx::Ref<BaseTileItem> item = qx::make<BaseTileItem>(layerID, maskID, type, row, col);
  if (!item) return nullptr;
  const CFIndex before = CFArrayGetCount(mItems);
  CFArrayInsertValueAtIndex(mItems, index, Value(item.get()));
  // The array now holds its own reference; ours goes when `item` does.
  return CFArrayGetCount(mItems) > before ? item.get() : nullptr;
}

BaseTileItem* BaseTileSet::tile(int32_t layerID, int32_t maskID, BaseTileItemType type, int32_t row,
                                int32_t col) const {
  bool found = false;
  const CFIndex index = indexOfTile(layerID, maskID, type, row, col, found);
  return found ? qx::ObjectAt<BaseTileItem>(mItems, index) : nullptr;
}

CFIndex BaseTileSet::indexOfTile(int32_t layerID, int32_t maskID, BaseTileItemType type, int32_t row, int32_t col,
                                 bool& found) const {
  const BaseTileItem key(layerID, maskID, type, row, col);
  return indexOfTile(&key, found);
}

CFIndex BaseTileSet::indexOfTile(const BaseTileItem* item, bool& found) const {
  return Search(mItems, item, BaseTileItem::compare, found);
}

CFIndex BaseTileSet::numTiles() const { return Count(mItems); }

void BaseTileSet::clear() {
  if (mItems) CFArrayRemoveAllValues(mItems);
}

CFComparisonResult BaseTileSet::compare(const void* a, const void* b, void*) {
  const BaseTileSet* x = Object<BaseTileSet>(a);
  const BaseTileSet* y = Object<BaseTileSet>(b);
  const CFComparisonResult rows = Order(x->mRow, y->mRow);
  return rows != kCFCompareEqualTo ? rows : Order(x->mCol, y->mCol);
}

void BaseTileSet::dump() const {
  char part[96];
  std::snprintf(part, sizeof part, "(%" PRId32 " %" PRId32 ") - ", mRow, mCol);
  std::string line = part;
  const CFIndex count = Count(mItems);
  for (CFIndex i = 0; i < count; ++i) {
    const BaseTileItem* item = qx::ObjectAt<BaseTileItem>(mItems, i);
    std::snprintf(part, sizeof part, "%s(r:%" PRId32 " c:%" PRId32 " id:%" PRId32 " st:%" PRId32 ")", i > 0 ? ", " : "",
                  item->row(), item->col(), item->layerID(), item->state());
    line += part;
  }
  line += '\n';
  std::fputs(line.c_str(), stdout);
  std::fflush(stdout);
}

// ---- BaseTileColumnSet ----

BaseTileColumnSet::BaseTileColumnSet() : mColumns(NewArray(0)) {}

BaseTileColumnSet::BaseTileColumnSet(const BaseTileColumnSet& other)
    : CBaseCore(), mColumns(CopyObjects<BaseTileSet>(other.mColumns)), mMipLevel(other.mMipLevel) {}

BaseTileColumnSet& BaseTileColumnSet::operator=(const BaseTileColumnSet& other) {
  Replace(mColumns, CopyObjects<BaseTileSet>(other.mColumns));
  mMipLevel = other.mMipLevel;
  return *this;
}

BaseTileColumnSet::~BaseTileColumnSet() { Replace(mColumns, nullptr); }

BaseTileItem* BaseTileColumnSet::addTile(int32_t setRow, int32_t setCol, int32_t layerID, int32_t maskID,
                                         BaseTileItemType type, int32_t row, int32_t col) {
  if (mColumns == nullptr) return nullptr;
  bool found = false;
  const CFIndex index = indexOfTileSet(setRow, setCol, found);
  BaseTileSet* set = nullptr;
  if (found) {
    set = qx::ObjectAt<BaseTileSet>(mColumns, index);
  } else {
    qx::Ref<BaseTileSet> created = qx::make<BaseTileSet>();
    if (!created || created->mItems == nullptr) return nullptr;
    created->setColumnPos(setRow, setCol);
    created->mColState = true;
    const CFIndex before = CFArrayGetCount(mColumns);
    CFArrayInsertValueAtIndex(mColumns, index, Value(created.get()));
    if (CFArrayGetCount(mColumns) == before) return nullptr;
    set = created.get();
  }
  return set->addTile(layerID, maskID, type, row, col);
}

CFIndex BaseTileColumnSet::indexOfTileSet(int32_t row, int32_t col, bool& found) const {
  const BaseTileSet key(row, col, false);
  return indexOfTileSet(&key, found);
}

CFIndex BaseTileColumnSet::indexOfTileSet(const BaseTileSet* set, bool& found) const {
  return Search(mColumns, set, BaseTileSet::compare, found);
}

bool BaseTileColumnSet::hasColumns() const { return Count(mColumns) > 0; }

bool BaseTileColumnSet::hasIncompleteColumns() const {
  const CFIndex count = Count(mColumns);
  for (CFIndex i = 0; i < count; ++i) {
    if (qx::ObjectAt<BaseTileSet>(mColumns, i)->state() == kBaseTileSetStateIncomplete) return true;
  }
  return false;
}

bool BaseTileColumnSet::equal(const BaseTileColumnSet& other) const {
  const CFIndex count = Count(mColumns);
  if (count != Count(other.mColumns)) return false;
  for (CFIndex i = 0; i < count; ++i) {
    if (BaseTileSet::compare(CFArrayGetValueAtIndex(mColumns, i), CFArrayGetValueAtIndex(other.mColumns, i), nullptr) !=
        kCFCompareEqualTo)
      return false;
  }
  return true;
}

QXRect BaseTileColumnSet::boundingRect() const {
  const CFIndex count = Count(mColumns);
  if (count == 0) return QXRect{0, 0, 0, 0};
  // In 64 bits: a column of 2^23 already puts a square past the 32-bit range.
  constexpr int64_t kSize = kQXImageTileSize;
  int64_t left = std::numeric_limits<int64_t>::max(), top = left;
  int64_t right = std::numeric_limits<int64_t>::min(), bottom = right;
  for (CFIndex i = 0; i < count; ++i) {
    const BaseTileSet* set = qx::ObjectAt<BaseTileSet>(mColumns, i);
    const int64_t x = int64_t{set->col()} * kSize, y = int64_t{set->row()} * kSize;
    left = std::min(left, x);
    top = std::min(top, y);
    right = std::max(right, x + kSize);
    bottom = std::max(bottom, y + kSize);
  }
  return QXRect{Saturate(left), Saturate(top), Saturate(right - left), Saturate(bottom - top)};
}

void BaseTileColumnSet::dump() const {
  const CFIndex count = Count(mColumns);
  for (CFIndex i = 0; i < count; ++i) qx::ObjectAt<BaseTileSet>(mColumns, i)->dump();
}
