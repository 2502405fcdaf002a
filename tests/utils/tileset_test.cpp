// Tile items, tile sets and column sets: order, lookups, duplicates, bounds, copies and dumps.
#include <QXCore/QXTileSet.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/Handle.h"

namespace {

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();

// row, col, type, layerID, maskID: the fields of the item order, in that order.
using Key = std::array<int32_t, 5>;
using Pos = std::array<int32_t, 2>;
using Fields = std::array<int32_t, 4>;

BaseTileItem* itemAt(const BaseTileSet& set, CFIndex i) { return qx::ObjectAt<BaseTileItem>(set.tileItems(), i); }
BaseTileSet* setAt(const BaseTileColumnSet& sets, CFIndex i) { return qx::ObjectAt<BaseTileSet>(sets.columns(), i); }
Key keyOf(const BaseTileItem* t) { return {t->row(), t->col(), t->type(), t->layerID(), t->maskID()}; }
BaseTileItem* add(BaseTileSet& set, Key k) { return set.addTile(k[3], k[4], k[2], k[0], k[1]); }
std::vector<Key> keys(const BaseTileSet& set) {
  std::vector<Key> out;
  for (CFIndex i = 0; i < set.numTiles(); ++i) out.push_back(keyOf(itemAt(set, i)));
  return out;
}
std::vector<Pos> positions(const BaseTileColumnSet& sets) {
  std::vector<Pos> out;
  for (CFIndex i = 0; i < CFArrayGetCount(sets.columns()); ++i)
    out.push_back({setAt(sets, i)->row(), setAt(sets, i)->col()});
  return out;
}
template <class F>
std::string printed(F&& dump) {
  testing::internal::CaptureStdout();
  dump();
  return testing::internal::GetCapturedStdout();
}

TEST(TileSet, ItemOrderLookupsAndDuplicates) {
  // Sorted by row, col, type, layerID, maskID as signed values; extremes catch a comparison by subtraction.
  const std::vector<Key> sorted = {{kMin, 0, 0, 0, 0}, {-1, 5, 0, 0, 0},   {0, -1, 0, 0, 0},
                                   {0, 0, 0, 0, kMin}, {0, 0, 0, 0, kMax}, {0, 0, 0, 1, 0},
                                   {0, 0, 1, -1, 0},   {0, 1, kMin, 0, 0}, {kMax, kMin, 0, 0, 0}};
  BaseTileSet set;
  for (auto k = sorted.rbegin(); k != sorted.rend(); ++k) ASSERT_NE(add(set, *k), nullptr);
  EXPECT_EQ(keys(set), sorted);
  for (size_t i = 0; i < sorted.size(); ++i) {
    const Key& k = sorted[i];
    bool found = false;
    EXPECT_EQ(set.indexOfTile(k[3], k[4], k[2], k[0], k[1], found), CFIndex(i));
    EXPECT_TRUE(found);
    EXPECT_EQ(set.tile(k[3], k[4], k[2], k[0], k[1]), itemAt(set, CFIndex(i)));
    EXPECT_EQ(add(set, k), nullptr) << "duplicate " << i;
  }
  EXPECT_EQ(set.numTiles(), CFIndex(sorted.size()));
  // Absent keys: the insertion position, not found.
  const std::vector<std::pair<Key, CFIndex>> absent = {
      {{kMin, -1, 0, 0, 0}, 0}, {{0, 0, 0, 0, 1}, 4}, {{0, 0, 0, 1, 1}, 6}, {{kMax, kMax, 0, 0, 0}, 9}};
  for (const auto& [k, index] : absent) {
    bool found = true;
    EXPECT_EQ(set.indexOfTile(k[3], k[4], k[2], k[0], k[1], found), index);
    EXPECT_FALSE(found);
  }
  set.clear();
  EXPECT_EQ(set.numTiles(), 0);

  // A position-only set holds no items at all.
  BaseTileSet position(3, 4, true), copy(position);
  bool found = true;
  EXPECT_EQ(position.indexOfTile(0, 0, 0, 0, 0, found), 0);
  EXPECT_FALSE(found);
  EXPECT_EQ(position.tile(0, 0, 0, 0, 0), nullptr);
  EXPECT_EQ(position.addTile(0, 0, 0, 0, 0), nullptr);
  position.clear();
  EXPECT_EQ(position.numTiles() + copy.numTiles(), 0);
  EXPECT_EQ(printed([&] { copy.dump(); }), "(3 4) - \n");
}

TEST(TileSet, ColumnSetsOrderStateAndEquality) {
  BaseTileColumnSet sets;
  EXPECT_FALSE(sets.hasColumns());
  for (Pos p : std::vector<Pos>{{2, 0}, {0, 5}, {-1, 9}, {0, -3}})
    ASSERT_NE(sets.addTile(p[0], p[1], 1, 0, 0, 7, 7), nullptr);
  ASSERT_NE(sets.addTile(2, 0, 1, 0, 0, 7, 8), nullptr);  // joins the existing set
  EXPECT_EQ(sets.addTile(0, 5, 1, 0, 0, 7, 7), nullptr);  // duplicate in an existing set
  EXPECT_EQ(positions(sets), (std::vector<Pos>{{-1, 9}, {0, -3}, {0, 5}, {2, 0}}));
  EXPECT_EQ(setAt(sets, 3)->numTiles(), 2);
  EXPECT_TRUE(setAt(sets, 0)->colState());
  bool found = false;
  EXPECT_EQ(sets.indexOfTileSet(0, 5, found), 2);
  EXPECT_TRUE(found);
  EXPECT_EQ(sets.indexOfTileSet(0, 6, found), 3);
  EXPECT_FALSE(found);
  EXPECT_FALSE(sets.hasIncompleteColumns());
  setAt(sets, 1)->setState(kBaseTileSetStateIncomplete);
  EXPECT_TRUE(sets.hasIncompleteColumns());

  BaseTileColumnSet same, more;
  for (Pos p : positions(sets)) same.addTile(p[0], p[1], 9, 9, 9, 1, 1), more.addTile(p[0], p[1], 9, 9, 9, 1, 1);
  more.addTile(5, 5, 0, 0, 0, 0, 0);
  EXPECT_TRUE(sets.equal(same));
  EXPECT_FALSE(sets.equal(more));
}

TEST(TileSet, BoundingRectIsExactOrSaturated) {
  const std::vector<std::pair<std::vector<Pos>, Fields>> cases = {
      {{}, {0, 0, 0, 0}},
      {{{0, 0}, {1, 2}}, {0, 0, 768, 512}},
      {{{-2, 3}, {1, -1}}, {-256, -512, 1280, 1024}},
      {{{0, (1 << 23) - 1}}, {kMax - 255, 0, 256, 256}},
      {{{-(1 << 23), 1 << 23}}, {kMax, kMin, 256, 256}},
      {{{kMax, kMin}, {kMin, kMax}}, {kMin, kMin, kMax, kMax}},
  };
  for (const auto& [sets, want] : cases) {
    BaseTileColumnSet columns;
    for (Pos p : sets) columns.addTile(p[0], p[1], 0, 0, 0, 0, 0);
    const QXRect r = columns.boundingRect();
    EXPECT_EQ((Fields{r.x, r.y, r.width, r.height}), want) << sets.size() << " sets";
  }
}

TEST(TileSet, CopiesAndAssignmentsAreIndependent) {
  // Self-assignment first, while each object holds the only reference to what it keeps.
  QXImageRef image = nullptr;
  ASSERT_EQ(QXImageCreateMemory(QXRect{0, 0, 2, 3}, 8, 1, 0, 0, nullptr, &image), kQXNoErr);
  BaseTileItem item(5, 6, 7, 8, 9);
  item.setImage(image);
  item.setState(4);
  QXImageRelease(image);
  item = item;
  BaseTileItem copy(item), assigned;
  assigned = item;
  item.setImage(nullptr);
  for (const BaseTileItem* t : {&copy, &assigned}) {
    EXPECT_EQ(keyOf(t), (Key{8, 9, 7, 5, 6}));
    EXPECT_EQ(t->state(), 4);
    EXPECT_EQ(QXImageGetWidth(t->image()), 2);
  }

  BaseTileSet set;
  add(set, {1, 1, 0, 0, 0});
  set = set;
  BaseTileSet setCopy(set), setAssigned;
  setAssigned = set;
  add(setCopy, {2, 2, 0, 0, 0});
  itemAt(setAssigned, 0)->setState(3);
  EXPECT_EQ(keys(set), (std::vector<Key>{{1, 1, 0, 0, 0}}));
  EXPECT_EQ(itemAt(set, 0)->state(), 0);
  EXPECT_EQ(setCopy.numTiles(), 2);

  BaseTileColumnSet columns;
  columns.addTile(0, 0, 0, 0, 0, 1, 1);
  columns = columns;
  BaseTileColumnSet columnsCopy(columns), columnsAssigned;
  columnsAssigned = columns;
  columnsCopy.addTile(0, 0, 0, 0, 0, 2, 2);  // into the copy's own set at (0, 0)
  columnsAssigned.addTile(4, 4, 0, 0, 0, 1, 1);
  EXPECT_EQ(positions(columns), (std::vector<Pos>{{0, 0}}));
  EXPECT_EQ(keys(*setAt(columns, 0)), (std::vector<Key>{{1, 1, 0, 0, 0}}));
  EXPECT_EQ(setAt(columnsCopy, 0)->numTiles(), 2);
}

TEST(TileSet, DumpPrintsEveryItemOnOneLine) {
  BaseTileColumnSet columns;
  columns.addTile(1, 2, 5, 0, 0, 3, 4);
  columns.addTile(1, 2, 6, 0, 0, 3, 5);
  columns.addTile(7, 8, 1, 0, 0, 0, 0);
  EXPECT_EQ(printed([&] { columns.dump(); }),
            "(1 2) - (r:3 c:4 id:5 st:0), (r:3 c:5 id:6 st:0)\n(7 8) - (r:0 c:0 id:1 st:0)\n");
  // Far more than a line buffer of a few thousand bytes would hold.
  BaseTileSet big;
  for (int32_t i = 0; i < 1000; ++i) add(big, {i, -i, 0, kMin, 0});
  const std::string line = printed([&] { big.dump(); });
  EXPECT_TRUE(line.starts_with("(-1 -1) - (r:0 c:0 id:-2147483648 st:0), (r:1 c:-1 "));
  EXPECT_TRUE(line.ends_with(", (r:998 c:-998 id:-2147483648 st:0), (r:999 c:-999 id:-2147483648 st:0)\n"));
}

}  // namespace
