// Records, messages and responses: shared fields, typed getters, the packed form and its reader.
#include <QXCore/QXMessage.h>
#include <gtest/gtest.h>

#include "tests/net/StreamTestSupport.h"

namespace {

using namespace streamtest;
using qxcf::CFRef;

std::string BigEndian(uint32_t v) { return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }

// A packed body whose fields length is announced `delta` away from the truth.
std::string Packed(const std::string& raw, const std::string& fields, int64_t delta = 0) {
  return BigEndian(uint32_t(raw.size())) + raw + BigEndian(uint32_t(int64_t(fields.size()) + delta)) + fields;
}

const std::string kPlistHead = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";

TEST(Record, PackedMessageRoundTrip) {
  // Three raw bytes beside the fields: 4 + 3 + 4 + P bytes, lengths big-endian.
  CFStringRef name = CFSTR("resize");
  CBaseMsg msg(name);
  const std::string raw("\x01\0\xff", 3);
  msg.SetRawContent(Data(raw).get());
  CFRef<CFDataRef> fields = qxcf::adopt(CFPropertyListCreateXMLData(nullptr, msg.GetInfo()));
  const std::string xml = Bytes(fields.get());
  ASSERT_GT(xml.size(), 100u);
  CFRef<CFDataRef> packed = qxcf::adopt(msg.GetPackedContent());
  EXPECT_EQ(Bytes(packed.get()), std::string("\0\0\0\3", 4) + raw + BigEndian(uint32_t(xml.size())) + xml);

  CFDictionaryRef unpacked = nullptr;
  ASSERT_EQ(QXMessageCopyUnpacked(packed.get(), &unpacked), kQXNoErr);
  CFRef<CFDictionaryRef> info = qxcf::adopt(unpacked);
  EXPECT_EQ(CFDictionaryGetValue(info.get(), CFSTR("--content--")), packed.get());
  CBaseMsg back(info.get());
  EXPECT_EQ(Bytes(back.GetRawContent()), raw);
  EXPECT_TRUE(CFEqual(back.GetMsgName(), name));
  EXPECT_EQ(back.GetFieldCount(), 1);              // neither "raw" nor the whole body stays among the fields
  EXPECT_EQ(CFDictionaryGetCount(info.get()), 3);  // the caller's dictionary is left as it was

  // Fields that are no property list, or a payload whose length does not fit 32 bits, give NULL.
  CBaseMsg bad(CFSTR("x"));
  bad.SetField(CFSTR("null"), kCFNull);
  EXPECT_EQ(bad.GetPackedContent(), nullptr);
  static const UInt8 byte = 0;  // never read: the length is refused first
  CBaseMsg huge(CFSTR("x"));
  huge.SetRawContent(
      qxcf::adopt(CFDataCreateWithBytesNoCopy(nullptr, &byte, CFIndex{1} << 32, kCFAllocatorNull)).get());
  EXPECT_EQ(huge.GetPackedContent(), nullptr);
}

TEST(Record, BadPackedBodiesAreRefused) {
  const std::string dict = kPlistHead + "<dict><key>a</key><string>b</string></dict>\n</plist>\n";
  const struct {
    const char* name;
    std::string body;
  } cases[] = {
      {"empty", ""},
      {"seven bytes", std::string(7, '\0')},
      {"raw length past the end", BigEndian(1) + BigEndian(0)},
      {"raw length near 2^32", BigEndian(0xFFFFFFF8u) + std::string(12, '\0')},
      {"raw length 2^32 - 1", BigEndian(0xFFFFFFFFu) + dict},
      {"fields length one short", Packed("abc", dict, -1)},
      {"fields length one over", Packed("abc", dict, 1)},
      {"fields length huge", Packed("", dict, 0xFFFFFF00ll)},
      {"no fields", Packed("abc", "")},
      {"fields not a dictionary", Packed("", kPlistHead + "<array><string>a</string></array>\n</plist>\n")},
      {"fields not XML", Packed("abc", "hello")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CFDictionaryRef info = reinterpret_cast<CFDictionaryRef>(&c);  // must be cleared
    EXPECT_EQ(QXMessageCopyUnpacked(Data(c.body).get(), &info), kQXHttpErrBadMessage);
    EXPECT_EQ(info, nullptr);
  }
  CFDictionaryRef info = nullptr;
  ASSERT_EQ(QXMessageCopyUnpacked(Data(Packed("", dict)).get(), &info), kQXNoErr);
  CFRelease(info);
  EXPECT_EQ(QXMessageCopyUnpacked(nullptr, &info), kQXErrInvalidArgument);
  EXPECT_EQ(info, nullptr);
}

TEST(Record, SharedRecordsAndTypedGetters) {
  const double twoAndThreeQuarters = 2.75;
  CFRef<CFNumberRef> real = qxcf::adopt(CFNumberCreate(nullptr, kCFNumberDoubleType, &twoAndThreeQuarters));
  const void* keys[] = {CFSTR("text"), CFSTR("real"), CFSTR("word"), CFSTR("flag"), CFSTR("raw"), CFSTR("--content--")};
  const void* values[] = {CFSTR(" -12"), real.get(), CFSTR("abc"), kCFBooleanTrue, CFSTR("not data"), CFSTR("x")};
  CFRef<CFDictionaryRef> shared = qxcf::adopt(
      CFDictionaryCreate(nullptr, keys, values, 6, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));

  const struct {
    const char* key;
    int32_t asInt;
    double asDouble;
  } getters[] = {{"text", -12, -12.0}, {"real", 2, 2.75}, {"word", 0, 0.0}, {"flag", 0, 0.0}, {"none", 0, 0.0}};
  CBaseRecord record(shared.get(), false);
  for (const auto& g : getters) {
    SCOPED_TRACE(g.key);
    EXPECT_EQ(record.GetFieldInt(String(g.key).get()), g.asInt);
    EXPECT_EQ(record.GetFieldDouble(String(g.key).get()), g.asDouble);
  }

  // A setter on a shared record copies first; the caller's dictionary never changes.
  EXPECT_FALSE(record.IsEditable());
  record.SetField(CFSTR("n"), 1u);
  record.SetFields(shared.get());
  EXPECT_TRUE(record.IsEditable());
  EXPECT_EQ(record.GetFieldCount(), 7);
  EXPECT_EQ(CFDictionaryGetCount(shared.get()), 6);
  EXPECT_TRUE(CBaseRecord(nullptr, false).IsEditable());

  // A "raw" that is not data stays a field; the whole body of a packed read never does.
  CBaseMsg msg(shared.get());
  EXPECT_EQ(msg.GetRawContent(), nullptr);
  EXPECT_EQ(msg.GetFieldCount(), 5);
  EXPECT_EQ(CFDictionaryGetCount(shared.get()), 6);

  CBaseResponse response;
  EXPECT_EQ(response.GetResult(), 0);
  response.SetField(kBaseResponseConnectionID, 7);
  EXPECT_EQ(response.GetConnectionID(), nullptr);
  response.SetField(kBaseResponseResult, CFSTR("5"));  // a number's field with a string in it
  EXPECT_EQ(response.GetResult(), 0);
}

}  // namespace
