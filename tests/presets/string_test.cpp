// QXString: construction from each text form, search, split, compare and in-place edits.
#include <QXCore/QXPresets.h>
#include <QXCore/QXUtilsMisc.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string str(const QXString& s) {
  char* c = s.utf8Copy();
  std::string out = c != nullptr ? c : "<null>";
  free(c);
  return out;
}

std::vector<std::string> pieces(const std::deque<QXString>& parts) {
  std::vector<std::string> out;
  for (const QXString& p : parts) out.push_back(str(p));
  return out;
}

const unsigned short kAbcUnits[] = {'a', 'b', 'c', 0};

TEST(QXString, ConstructionAndConversions) {
  const unsigned short units[] = {'x', 0x00e9, 'y', 'z'};
  struct Case {
    const char* what;
    QXString s;
    std::string utf8;
  } cases[] = {
      {"empty", QXString(), ""},
      {"utf8", QXString("h\xc3\xa9llo"), "h\xc3\xa9llo"},
      {"units with length", QXString(units, 3), "x\xc3\xa9y"},
      {"negative length", QXString(units, -1), ""},
      {"CFString", QXString(CFSTR("cf")), "cf"},
      {"invalid UTF-8", QXString("ab\xff\xfe"), ""},
      {"truncated UTF-8", QXString("a\xc3"), ""},
      {"path separator", QXString::pathSeparator(), "/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NE(c.s.toCFString(), nullptr);
    EXPECT_EQ(str(c.s), c.utf8);
    EXPECT_EQ(c.s.isEmpty(), c.utf8.empty());
  }
  QXString e("\xc3\xa9");
  EXPECT_EQ(e.size(), 1);  // units, not bytes
  unsigned short* u = e.ucs2Copy();
  EXPECT_EQ(u[0], 0x00e9);
  EXPECT_EQ(u[1], 0);
  free(u);
  // A copy owns its own string.
  QXString a("abc"), b(a);
  b += "d";
  EXPECT_EQ(str(a), "abc");
  EXPECT_NE(a.toCFString(), b.toCFString());
}

TEST(QXString, SearchAcrossArgumentForms) {
  QXString abc("abc"), abcb("abcb");
  struct Case {
    const char* what;
    int got, want;  // truth values as 0/1, indexes as they are
  } cases[] = {
      {"ends ABC not case-sensitive", abc.endsWith("ABC", false), 1},
      {"ends ABC case-sensitive", abc.endsWith("ABC", true), 0},
      {"ends empty text", abc.endsWith(""), 1},
      {"ends longer text", QXString("c").endsWith("abc"), 0},
      {"ends CFString", abc.endsWith(CFSTR("bc")), 1},
      {"ends QXString", abc.endsWith(QXString("BC"), false), 1},
      {"ends units", abc.endsWith(kAbcUnits), 1},
      {"ends one unit", abc.endsWith(static_cast<unsigned short>('c')), 1},
      {"ends invalid UTF-8", abc.endsWith("\xff"), 0},
      {"contains not case-sensitive", abcb.contains(QXString("CB"), false), 1},
      {"contains case-sensitive", abcb.contains(QXString("CB"), true), 0},
      {"first b, int ignored", abcb.indexOf("b", 5), 1},
      {"last b", abcb.lastIndexOf("b", 0), 3},
      {"absent", abcb.indexOf("z"), -1},
      {"absent last", abcb.lastIndexOf(CFSTR("z")), -1},
      {"case-insensitive last", abcb.lastIndexOf(QXString("B"), 0, false), 3},
      {"case-sensitive", abcb.indexOf(QXString("B")), -1},
      {"units", abcb.indexOf(kAbcUnits), 0},
      {"unit", abcb.lastIndexOf(static_cast<unsigned short>('a')), 0},
      {"invalid UTF-8", abcb.indexOf("\xc3"), -1},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
}

TEST(QXString, Split) {
  using V = std::vector<std::string>;
  const unsigned short comma[] = {',', 0};
  struct Case {
    const char* what;
    std::deque<QXString> got;
    V want;
  } cases[] = {
      {"empty pieces kept", QXString("a,,b,").split(","), V{"a", "", "b", ""}},
      {"no separator", QXString("abc").split(CFSTR(",")), V{"abc"}},
      {"QXString separator", QXString(",x").split(QXString(",")), V{"", "x"}},
      {"units separator", QXString("p,q").split(comma), V{"p", "q"}},
      {"unit separator", QXString("a/b/c").split(static_cast<unsigned short>('/')), V{"a", "b", "c"}},
      {"multi-unit separator", QXString("a::b").split("::"), V{"a", "b"}},
      {"invalid separator", QXString("a,b").split("\xff"), V{"a,b"}},
  };
  for (const Case& c : cases) EXPECT_EQ(pieces(c.got), c.want) << c.what;
}

TEST(QXString, EditsAndAssignment) {
  struct Chop {
    int n;
    const char* want;
  } chops[] = {{2, "ab"}, {10, ""}, {4, ""}, {0, "abcd"}, {-3, "abcd"}};
  for (const Chop& c : chops) {
    QXString s("abcd");
    s.chop(c.n);
    EXPECT_EQ(str(s), c.want) << c.n;
  }

  QXString s("a");
  s += CFSTR("b");
  s += QXString("c");
  s += kAbcUnits;
  s += static_cast<unsigned short>('!');
  s += "\xff";  // not text: nothing is appended
  EXPECT_EQ(str(s), "abcabc!");
  s += s;
  EXPECT_EQ(str(s), "abcabc!abcabc!");

  CFStringRef before = s.toCFString();
  s = s;
  EXPECT_EQ(s.toCFString(), before);
  EXPECT_EQ(str(s), "abcabc!abcabc!");
  QXString t("x");
  t = s;
  EXPECT_EQ(str(t), "abcabc!abcabc!");
  t.clear();
  EXPECT_TRUE(t.isEmpty());
  EXPECT_EQ(str(s), "abcabc!abcabc!");
}

TEST(QXString, ComparisonByCodeUnit) {
  struct Case {
    const char *a, *b;
    int order;  // sign of a - b
  } cases[] = {{"B", "a", -1}, {"a", "a", 0}, {"ab", "a", 1}, {"a", "A", 1}, {"", "a", -1}};
  for (const Case& c : cases) {
    QXString a(c.a), b(c.b);
    SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
    EXPECT_EQ(a == b, c.order == 0);
    EXPECT_EQ(a != b, c.order != 0);
    EXPECT_EQ(a < b, c.order < 0);
    EXPECT_EQ(a > b, c.order > 0);
    EXPECT_EQ(a <= b, c.order <= 0);
    EXPECT_EQ(a >= b, c.order >= 0);
  }
}

}  // namespace
