// File records: ownership of their references, name and date order, file times.
#include <QXCore/QXFileMgr.h>
#include <gtest/gtest.h>

#include "tests/files/FileTestSupport.h"

using namespace filetest;

namespace {

TEST(BaseFile, CopiesShareRetainedReferences) {
  // Counts are checked while shared; a leak or an early release afterwards is the sanitizers' to catch.
  CFRef<CFURLRef> folder = URL("/pics", true);
  CFRef<CFDateRef> date = qxcf::adopt(CFDateCreate(nullptr, 12345.0));
  CBaseFile* original = new CBaseFile(folder.get(), CFSTR("a b.jpg"));
  EXPECT_EQ(PathOf(original->GetLocation()) + " " + Str(original->GetFileName()), "/pics/a b.jpg a b.jpg");
  EXPECT_EQ(original->GetModDate(), nullptr);
  original->SetModDate(date.get());
  CFIndex urlCount = CFGetRetainCount(original->GetLocation()), dateCount = CFGetRetainCount(date.get());
  {
    CBaseFile copy(*original), assigned;
    EXPECT_EQ(copy.GetLocation(), original->GetLocation());
    EXPECT_EQ(copy.GetModDate(), date.get());
    EXPECT_EQ(copy.RefCount(), 1u);
    assigned = copy;
    CBaseFile& same = assigned;
    assigned = same;  // self-assignment keeps the references
    EXPECT_EQ(CFGetRetainCount(date.get()), dateCount + 2);
    EXPECT_EQ(CFGetRetainCount(original->GetLocation()), urlCount + 2);
  }
  EXPECT_EQ(CFGetRetainCount(date.get()), dateCount);
  original->Release();

  // SetLocation(url) takes the name from the URL; SetLocation(folder, name) uses the name given.
  CBaseFile record;
  record.SetLocation(URL("/x/y/IMG_1.CR2").get());
  EXPECT_EQ(Str(record.GetFileName()), "IMG_1.CR2");
  record.SetLocation(folder.get(), CFSTR("B.png"));
  EXPECT_EQ(PathOf(record.GetLocation()) + " " + Str(record.GetFileName()), "/pics/B.png B.png");
}

TEST(BaseFile, NameAndDateOrderAndTheListingsOrder) {
  // Listings sort ASCII names without building strings; the order must be CompareByName's exactly.
  qxtest::TempHome home;
  const fs::path dir = home.root() / "names";
  for (const char* name : {"a_1",  "A-1", "a01", "a1",  "a001b", "A1b",    "a10",    "a9", "Z",  "z",   "_x",
                           "0",    "00",  "007", "x.y", "x",     "X1.jpg", "x1.JPG", "é1", "e1", "E10", "ÉCU",
                           "ecu2", "a1 ", "a 1", "[b]", "~t",    "a2",     "A1",     "e2", "E1"})
    Write(dir / name, "");
  CFArrayRef listed = nullptr;
  ASSERT_EQ(QXFileMgrGetFolderContentsCopy(URL(dir, true).get(), nullptr, kQXFileSortOrderName, &listed), 0);
  CFRef<CFMutableArrayRef> sorted = qxcf::adopt(CFArrayCreateMutableCopy(nullptr, 0, listed));
  CFArraySortValues(sorted.get(), CFRangeMake(0, CFArrayGetCount(sorted.get())), CBaseFile::CompareByNameFunc, nullptr);
  auto name = [](CFArrayRef files, CFIndex i) {
    return Str(static_cast<const CBaseFile*>(CFArrayGetValueAtIndex(files, i))->GetFileName());
  };
  std::string order;
  ASSERT_EQ(CFArrayGetCount(listed), 31);
  for (CFIndex i = 0; i < CFArrayGetCount(listed); ++i) {
    EXPECT_EQ(name(listed, i), name(sorted.get(), i)) << "position " << i;
    order += name(listed, i) + " ";
  }
  CFRelease(listed);
  // Numbers compare by value; case and accents do not separate names, yet forced ordering gives
  // each pair a fixed order.
  auto at = [&](const char* name) { return (" " + order).find(" " + std::string(name) + " "); };
  EXPECT_TRUE(at("A1") < at("a2") && at("a2") < at("a10") && at("E1") < at("e2") && at("é1") < at("e2") &&
              at("e2") < at("E10"))
      << order;
  CBaseFile e1(URL(dir, true).get(), CFSTR("E1")), accented(URL(dir, true).get(), CF("é1").get());
  EXPECT_NE(e1.CompareByName(accented), kCFCompareEqualTo);
  EXPECT_EQ(e1.CompareByName(accented), -accented.CompareByName(e1));
  EXPECT_EQ(CBaseFile::CompareByNameFunc(&e1, &e1, nullptr), kCFCompareEqualTo);

  CFRef<CFDateRef> early = qxcf::adopt(CFDateCreate(nullptr, 1.0)), late = qxcf::adopt(CFDateCreate(nullptr, 2.0));
  CBaseFile a, b;
  EXPECT_EQ(a.CompareByModDate(b), kCFCompareEqualTo);
  a.SetModDate(late.get());
  EXPECT_EQ(b.CompareByModDate(a), kCFCompareLessThan) << "a record without a date sorts first";
  b.SetModDate(early.get());
  EXPECT_EQ(b.CompareByModDate(a), kCFCompareLessThan);
  EXPECT_EQ(a.CompareByModDate(b), kCFCompareGreaterThan);
}

TEST(BaseFile, FileTimesAndLoadInfo) {
  // 2001-01-01 00:00:00.750 UTC is absolute time 0.75; sub-millisecond parts are dropped.
  CFRef<CFDateRef> date = qxcf::adopt(
      CBaseFile::CreateCFDateFromFileTime({static_cast<time_t>(kCFAbsoluteTimeIntervalSince1970), 750999999}));
  EXPECT_DOUBLE_EQ(CFDateGetAbsoluteTime(date.get()), 0.75);
  date = qxcf::adopt(CBaseFile::CreateCFDateFromFileTime({0, 0}));
  EXPECT_DOUBLE_EQ(CFDateGetAbsoluteTime(date.get()), -kCFAbsoluteTimeIntervalSince1970);

  qxtest::TempHome home;
  Write(home.root() / "f.txt", "x");
  SetMTime(home.root() / "f.txt", 1500000000, 5000000);
  CBaseFile file(URL(home.root(), true).get(), CFSTR("f.txt")), missing(URL(home.root(), true).get(), CFSTR("x")), none;
  EXPECT_EQ((Codes{file.LoadInfo(), missing.LoadInfo(), none.LoadInfo()}), (Codes{0, ENOENT, kQXErrGeneric}));
  ASSERT_NE(file.GetModDate(), nullptr);
  EXPECT_DOUBLE_EQ(CFDateGetAbsoluteTime(file.GetModDate()), 1500000000.005 - kCFAbsoluteTimeIntervalSince1970);
  EXPECT_EQ(missing.GetModDate(), nullptr);
}

}  // namespace
