// CFStringCreateWithFormat / CFStringAppendFormat: printf parity, %@ and the CF-only conversions,
// positional arguments, and formats that must fail instead of misreading arguments.
#include <locale.h>

#include <cfloat>
#include <climits>
#include <cstdarg>
#include <cstdio>

#include "CFTestSupport.h"

using namespace qxtest;

namespace {

// Formats with our engine; "<NULL>" when the result is NULL.
std::string F(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  CFStringRef r = CFStringCreateWithFormatAndArguments(nullptr, nullptr, S(format).get(), ap);
  va_end(ap);
  return take(r);
}

// The same through vsnprintf, the reference for every numeric conversion.
std::string P(const char* format, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, format);
  int n = std::vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  return std::string(buf, static_cast<size_t>(n));
}

#define EXPECT_PRINTF(...) EXPECT_EQ(F(__VA_ARGS__), P(__VA_ARGS__)) << #__VA_ARGS__

}  // namespace

TEST(Format, IntegersMatchPrintf) {
  EXPECT_PRINTF("%d %i %d %d", 0, -1, INT_MAX, INT_MIN);
  EXPECT_PRINTF("[%5d] [%-5d] [%05d] [%+d] [% d] [%+05d]", 42, 42, -42, 5, 5, 7);
  EXPECT_PRINTF("[%.3d] [%.0d] [%8.3d] [%-8.3d]", 7, 0, -7, 7);
  EXPECT_PRINTF("%hhd %hhu %hd %hu", 300, 511, 70000, 70000);
  EXPECT_PRINTF("%ld %lu %lld %llu", LONG_MIN, ULONG_MAX, LLONG_MAX, ULLONG_MAX);
  EXPECT_PRINTF("%qd %qu", -5LL, 5ULL);
  EXPECT_PRINTF("%jd %ju %zd %zu %td", INTMAX_MIN, UINTMAX_MAX, static_cast<ssize_t>(-3), SIZE_MAX,
                static_cast<ptrdiff_t>(-9));
  EXPECT_PRINTF("%u %x %X %o", 4294967295u, 0xdeadbeefu, 0xdeadbeefu, 8u);
  EXPECT_PRINTF("[%#x] [%#X] [%#o] [%#.0o] [%#x] [%#10x] [%-#10x]", 255u, 255u, 8u, 0u, 0u, 255u, 255u);
  EXPECT_PRINTF("%lx %llX %hx %hhx", ULONG_MAX, 0x123456789abcULL, 0x12345u, 0x1ffu);
  EXPECT_PRINTF("%'d %'u", 1234567, 7654321u);  // no grouping in the C locale
  EXPECT_PRINTF("[%*d] [%-*d] [%*d] [%.*d] [%.*d]", 6, 42, 6, 42, -6, 42, 4, 3, -1, 3);
  // BSD's long forms.
  EXPECT_EQ(F("%D %U %O", -5L, 6UL, 8UL), P("%ld %lu %lo", -5L, 6UL, 8UL));
}

TEST(Format, FloatingPointMatchesPrintf) {
  EXPECT_PRINTF("[%.2f] [%10.3f] [%-10.3f] [%010.2f] [%+.1e] [% f]", 3.14159, 3.14159, 3.14159, -3.14159, 5.5, 1.0);
  EXPECT_PRINTF("%#g %#.0f %.0f %.0f %g %g", 1.0, 3.0, 2.5, 3.5, 100000.0, 1000000.0);
  EXPECT_PRINTF("%a %A %.3a %La", 1.0, -0.1, 3.0, 1.5L);
  EXPECT_PRINTF("%f %F %e %g %f %F", INFINITY, -INFINITY, NAN, -NAN, -0.0, 1e300);
  EXPECT_PRINTF("%Lf %Le %LG %lf %lg", 1.5L, 1e4000L, 2.25L, 2.5, 0.1);
  EXPECT_PRINTF("[%*.*f] [%-*.*e] [%.*g]", 12, 4, 2.0 / 3, 12, 2, 1e5, -1, 1.0 / 3);
  // Plain conversions take a different route from flagged ones: both must agree with printf.
  const double values[] = {0.0,    -0.0, 1.0,     -1.5,    0.1,      1e-7,    123456789.0, 9.5,      2.5e-308,
                           5e-324, 1e21, 1e300,   DBL_MAX, -DBL_MIN, 0.99999, 999999.5,    1e15 / 3, INFINITY,
                           NAN,    -NAN, 1.0 / 3, 100.0,   1e-5,     0.5,     7.0e22};
  const char* formats[] = {"%f",    "%e",     "%g",     "%E",     "%G",     "%F",  "%.0f",  "%.0e",   "%.0g", "%.1g",
                           "%.17g", "%.100f", "%.101f", "%-14g|", "%14.3e", "%+g", "%#.3g", "%08.2f", "%lf",  "%.3a"};
  for (double v : values) {
    for (const char* f : formats) EXPECT_EQ(F(f, v), P(f, v)) << f << " " << v;
  }
}

TEST(Format, CharactersStringsAndPointersMatchPrintf) {
  EXPECT_PRINTF("%c%c [%5c] [%-3c]", 'A', 'z', 'x', 'y');
  EXPECT_PRINTF("%s [%10s] [%-10s] [%.3s] [%5.1s] [%.0s]", "hello", "hi", "hi", "abcdef", "xyz", "gone");
  int local = 0;
  EXPECT_PRINTF("%p [%20p] [%-20p]", static_cast<void*>(&local), static_cast<void*>(&local),
                static_cast<void*>(&local));
  EXPECT_PRINTF("100%% %d%%", 5);
  // Where glibc prints "(nil)", CoreFoundation callers get the pointer form.
  EXPECT_EQ(F("%p|%5p|%-5p|", nullptr, nullptr, nullptr), "0x0|  0x0|0x0  |");
  EXPECT_EQ(F("%s|%.2s", static_cast<char*>(nullptr), static_cast<char*>(nullptr)), "(null)|(n");
}

TEST(Format, ObjectsInsertTheirFormattingDescription) {
  EXPECT_EQ(F("<%@>", CFSTR("text")), "<text>");
  EXPECT_EQ(F("<%@>", nullptr), "<(null)>");
  EXPECT_EQ(F("[%8@] [%-8@] [%.2@] [%6.3@]", CFSTR("abc"), CFSTR("abc"), CFSTR("abc"), CFSTR("abcdef")),
            "[     abc] [abc     ] [ab] [   abc]");
  EXPECT_EQ(F("[%8@]", nullptr), "[  (null)]");

  EXPECT_EQ(F("%@!", adopt(CFStringCreateMutableCopy(nullptr, 0, CFSTR("mutable"))).get()), "mutable!");
  EXPECT_EQ(F("%@ %@ [%4@]", num(1).get(), real(2.75).get(), num(1).get()), "1 2.75 [   1]");
  EXPECT_EQ(F("%@/%@", kCFBooleanTrue, kCFBooleanFalse), "true/false");
  auto url = adopt(CFURLCreateWithString(nullptr, CFSTR("http://example.com/a%20b?q=1"), nullptr));
  EXPECT_EQ(F("url=%@", url.get()), "url=http://example.com/a%20b?q=1");
}

TEST(Format, UnicodeConversionsAndText) {
  const UniChar word[] = {'G', 0x00FC, 0xD83D, 0xDE00, '!', 0};  // "Gü😀!"
  EXPECT_EQ(F("%S|%ls", word, word), "Gü😀!|Gü😀!");
  EXPECT_EQ(F("[%7S] [%-7S]", word, word), "[  Gü😀!] [Gü😀!  ]");
  // Precision bounds the read (no terminator needed) and never splits a surrogate pair.
  const UniChar unterminated[] = {'a', 'b', 'c'};
  EXPECT_EQ(F("%.2S|%.3S", unterminated, word), "ab|Gü");
  EXPECT_EQ(F("%S", static_cast<UniChar*>(nullptr)), "(null)");
  EXPECT_EQ(F("%C%C%C", static_cast<UniChar>(0x00E9), static_cast<UniChar>('x'), static_cast<UniChar>(0x20AC)), "éx€");
  EXPECT_EQ(F("%lc|%3C|", 0x1F600, static_cast<UniChar>('z')), "😀|  z|");

  // Non-ASCII and surrogate pairs in the format pass through; arguments in UTF-8 are decoded.
  EXPECT_EQ(F("Grüße 😀 %d € %s", 3, "żółw 🐢"), "Grüße 😀 3 € żółw 🐢");
  // Invalid UTF-8 becomes U+FFFD per byte; a sequence cut by the precision is dropped.
  EXPECT_EQ(F("%s|%s", "a\xffz", "\xe2\x82"), "a\xEF\xBF\xBDz|\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(F("[%.1s] [%.2s] [%.3s] [%.4s]", "é", "a€", "a€", "a€"), "[] [a] [a] [a€]");
  // A lone byte above ASCII is not a character.
  EXPECT_EQ(F("%c", 0xE9), "\xEF\xBF\xBD");

  // The format can be any CFString, including one with a lone surrogate.
  auto r = adopt(CFStringCreateWithFormat(nullptr, nullptr, S(u"\xD800%d").get(), 7));
  ASSERT_TRUE(r);
  EXPECT_EQ(units(r.get()), std::u16string(u"\xD800") + u"7");
}

TEST(Format, PositionalArguments) {
  EXPECT_EQ(F("%2$@ %1$d", 5, CFSTR("x")), "x 5");
  EXPECT_EQ(F("%1$d %1$d %2$s", 9, "s"), "9 9 s");
  EXPECT_EQ(F("[%2$*1$d] [%3$.*1$f]", 5, 42, 3.14159), "[   42] [3.14159]");
  EXPECT_EQ(F("100%% %1$s", "sure"), "100% sure");
  EXPECT_EQ(F("%3$s%2$s%1$s", "a", "b", "c"), "cba");
  EXPECT_EQ(F("%2$lld %1$Lf", 1.5L, 1LL << 40), "1099511627776 1.500000");
}

TEST(Format, InvalidFormatsGiveNullAndNeverWrite) {
  // Inconsistent positions (position 2's type unknown in "%1$d %3$d"), unknown or cut conversions,
  // a conversion character outside ASCII and unbounded widths fail before any argument is read.
  for (const char* bad : {"%1$d %d", "%d %1$d", "%1$d %3$d", "%0$d", "%1$d %1$s", "%1$d %1$ld", "%5000$d", "%1$*d",
                          "%*1$d", "%k", "trailing %", "%5%", "%l", "%é", "%1000001d", "%99999999999999999999999d"}) {
    EXPECT_EQ(F(bad, 1, 2, 3), "<NULL>") << bad;
  }
  int target = 1234;
  EXPECT_EQ(F("abc%n", &target), "<NULL>");
  EXPECT_EQ(F("%hhn", &target), "<NULL>");
  EXPECT_EQ(target, 1234);
  EXPECT_EQ(CFStringCreateWithFormat(nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(F("%.1000001f", 1.0), "<NULL>");
  EXPECT_EQ(F("%*d", INT_MAX, 1), "<NULL>");
  EXPECT_EQ(F("%*d", INT_MIN, 1), "<NULL>");
  EXPECT_EQ(F("%1000001@", CFSTR("x")), "<NULL>");
}

TEST(Format, PlainFormatsAndLongResults) {
  EXPECT_EQ(F("no conversions here"), "no conversions here");
  EXPECT_EQ(F(""), "");
  std::string longText(5000, 'q');
  longText += "é";
  EXPECT_EQ(F("<%s>", longText.c_str()), "<" + longText + ">");
  std::string longFormat(1000, 'z');
  EXPECT_EQ(F((longFormat + "%d" + longFormat).c_str(), 7), longFormat + "7" + longFormat);
  // An embedded NUL character is kept.
  auto r = adopt(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("a%cb"), 0));
  ASSERT_TRUE(r);
  EXPECT_EQ(units(r.get()), std::u16string(u"a\0b", 3));
  // Widths are bounded, but generous; a string's precision only limits how much is read.
  std::string wide = F("%1000000d", 5);
  EXPECT_EQ(wide.size(), 1000000u);
  EXPECT_EQ(wide.back(), '5');
  EXPECT_EQ(F("%-200000s|", "x").size(), 200001u);
  EXPECT_EQ(F("%.2000000000s", "abc"), "abc");
}

TEST(Format, AppendFormat) {
  auto m = adopt(CFStringCreateMutableCopy(nullptr, 0, CFSTR("start:")));
  CFStringAppendFormat(m.get(), nullptr, CFSTR("%d-%@-%s"), 1, CFSTR("two"), "drei");
  EXPECT_EQ(utf8(m.get()), "start:1-two-drei");
  // A failing format leaves the string as it was, even after output was produced.
  int untouched = 7;
  CFStringAppendFormat(m.get(), nullptr, CFSTR("%300d then %n"), 1, &untouched);
  EXPECT_EQ(utf8(m.get()), "start:1-two-drei");
  EXPECT_EQ(untouched, 7);
  CFStringAppendFormat(m.get(), nullptr, CFSTR("%600d"), 9);  // longer than the internal buffer
  EXPECT_EQ(CFStringGetLength(m.get()), 16 + 600);
  // The string itself as format and as argument.
  auto self = adopt(CFStringCreateMutableCopy(nullptr, 0, CFSTR("ab")));
  CFStringAppendFormat(self.get(), nullptr, self.get());
  EXPECT_EQ(utf8(self.get()), "abab");
  for (int i = 0; i < 8; ++i)
    CFStringAppendFormat(self.get(), nullptr, CFSTR("%@|"), self.get());  // grows past the buffer
  EXPECT_EQ(CFStringGetLength(self.get()), (4 + 1) * 256 - 1);
}

TEST(Format, NumbersIgnoreTheProcessLocale) {
  const char* names[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "de_DE"};
  locale_t comma = static_cast<locale_t>(nullptr);
  for (const char* n : names) {
    comma = newlocale(LC_ALL_MASK, n, static_cast<locale_t>(nullptr));
    if (comma != static_cast<locale_t>(nullptr)) break;
  }
  if (comma == static_cast<locale_t>(nullptr)) GTEST_SKIP() << "no locale with a decimal comma installed";
  locale_t previous = uselocale(comma);
  std::string ours = F("%.2f %g", 1.5, 0.25);
  uselocale(previous);
  freelocale(comma);
  EXPECT_EQ(ours, "1.50 0.25");
}
