// Fuzzes the XML property-list reader with every mutability option. Whatever it accepts must
// survive a round trip: written again, read again and CFEqual to the first result, with the second
// write byte-identical to the first, and a deep copy equal too. Whatever it refuses must come with
// an error message.
#include <CoreFoundation/CoreFoundation.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "cf_plist_fuzz: %s\n", what);
  std::abort();
}

bool sameBytes(CFDataRef a, CFDataRef b) {
  return CFDataGetLength(a) == CFDataGetLength(b) &&
         std::memcmp(CFDataGetBytePtr(a), CFDataGetBytePtr(b), static_cast<size_t>(CFDataGetLength(a))) == 0;
}

void roundTrip(CFDataRef input, CFOptionFlags option) {
  CFStringRef error = nullptr;
  CFPropertyListRef first = CFPropertyListCreateFromXMLData(nullptr, input, option, &error);
  if (first == nullptr) {
    if (error == nullptr || CFStringGetLength(error) == 0) fail("refused without an error message");
    CFRelease(error);
    return;
  }
  if (error != nullptr) fail("error string set on success");
  if (!CFPropertyListIsValid(first, kCFPropertyListXMLFormat_v1_0)) fail("parsed value is not a valid plist");

  CFDataRef xml = CFPropertyListCreateXMLData(nullptr, first);
  if (xml == nullptr) fail("cannot write what was read");
  CFPropertyListRef second = CFPropertyListCreateFromXMLData(nullptr, xml, option, &error);
  if (second == nullptr) {
    std::fwrite(CFDataGetBytePtr(xml), 1, static_cast<size_t>(CFDataGetLength(xml)), stderr);
    fail("cannot read what was written");
  }
  if (!CFEqual(first, second)) fail("round trip changed the value");
  CFDataRef again = CFPropertyListCreateXMLData(nullptr, second);
  if (again == nullptr || !sameBytes(xml, again)) fail("second write differs from the first");

  CFPropertyListRef copy = CFPropertyListCreateDeepCopy(nullptr, first, option);
  if (copy == nullptr || !CFEqual(copy, first)) fail("deep copy differs");

  CFRelease(copy);
  CFRelease(again);
  CFRelease(second);
  CFRelease(xml);
  CFRelease(first);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CFDataRef input = CFDataCreate(nullptr, data, static_cast<CFIndex>(size));
  if (input == nullptr) return 0;
  for (CFOptionFlags option :
       {kCFPropertyListImmutable, kCFPropertyListMutableContainers, kCFPropertyListMutableContainersAndLeaves}) {
    roundTrip(input, option);
  }
  // The CFError entry point agrees with the error-string one.
  CFErrorRef error = nullptr;
  CFPropertyListRef v = CFPropertyListCreateWithData(nullptr, input, 0, nullptr, &error);
  if ((v == nullptr) == (error == nullptr)) fail("CreateWithData: result and error disagree");
  if (v != nullptr) CFRelease(v);
  if (error != nullptr) CFRelease(error);
  CFRelease(input);
  return 0;
}
