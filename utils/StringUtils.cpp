// Conversions of CFStrings to C buffers and small searches over them.
#include <QXCore/QXUtilsMisc.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr UInt8 kLossByte = '*';

CFStringCompareFlags caseFlags(bool caseSensitive) { return caseSensitive ? 0 : kCFCompareCaseInsensitive; }

bool find(CFStringRef string, CFStringRef part, CFStringCompareFlags flags, CFRange* found) {
  if (string == nullptr || part == nullptr) return false;
  return CFStringFindWithOptions(string, part, CFRangeMake(0, CFStringGetLength(string)), flags, found);
}

}  // namespace

char* QXUtilsGetUTF8StringCopy(CFStringRef string) {
  if (string == nullptr) return nullptr;
  const CFIndex length = CFStringGetLength(string);
  size_t capacity = 6;
  char* buffer = static_cast<char*>(std::malloc(capacity));
  if (buffer == nullptr) return nullptr;
  size_t used = 0;
  CFIndex done = 0;
  // Each piece asks for the whole rest of the string: the conversion then stops only between whole characters
  // (a range cut by a unit count could end between the halves of a surrogate pair and turn both into "*").
  // After one growth by three bytes per remaining unit the rest always fits.
  for (int pass = 0; done < length; ++pass) {
    CFIndex written = 0;
    const CFIndex converted =
        CFStringGetBytes(string, CFRangeMake(done, length - done), kCFStringEncodingUTF8, kLossByte, false,
                         reinterpret_cast<UInt8*>(buffer + used), static_cast<CFIndex>(capacity - 1 - used), &written);
    done += converted;
    used += static_cast<size_t>(written);
    if (done >= length) break;
    if (pass > 0 && converted == 0) {  // cannot happen with the room given; never loop on it
      std::free(buffer);
      return nullptr;
    }
    capacity += 3 * static_cast<size_t>(length - done) + 1;
    char* grown = static_cast<char*>(std::realloc(buffer, capacity));
    if (grown == nullptr) {
      std::free(buffer);
      return nullptr;
    }
    buffer = grown;
  }
  buffer[used] = '\0';
  return buffer;
}

UniChar* QXUtilsGetUniCharStringCopy(CFStringRef string) {
  if (string == nullptr) return nullptr;
  const CFIndex length = CFStringGetLength(string);
  auto* units = static_cast<UniChar*>(std::malloc((static_cast<size_t>(length) + 1) * sizeof(UniChar)));
  if (units == nullptr) return nullptr;
  CFStringGetCharacters(string, CFRangeMake(0, length), units);
  units[length] = 0;
  return units;
}

CFIndex QXUtilsGetUniCharStringLength(const UniChar* units) {
  CFIndex length = 0;
  if (units != nullptr) {
    while (units[length] != 0) ++length;
  }
  return length;
}

bool QXUtilsCFStringContainsString(CFStringRef string, CFStringRef part) {
  return QXUtilsCFStringContains(string, part, false);
}

bool QXUtilsCFStringContains(CFStringRef string, CFStringRef part, bool caseSensitive) {
  return find(string, part, caseFlags(caseSensitive), nullptr);
}

CFIndex QXUtilsCFStringIndexOf(CFStringRef string, CFStringRef part, bool caseSensitive) {
  CFRange found{};
  return find(string, part, caseFlags(caseSensitive), &found) ? found.location : -1;
}

CFIndex QXUtilsCFStringLastIndexOf(CFStringRef string, CFStringRef part, bool caseSensitive) {
  CFRange found{};
  return find(string, part, caseFlags(caseSensitive) | kCFCompareBackwards, &found) ? found.location : -1;
}

bool QXUtilsCFStringEndsWith(CFStringRef string, CFStringRef suffix, bool caseSensitive) {
  if (string == nullptr || suffix == nullptr || CFStringGetLength(suffix) > CFStringGetLength(string)) return false;
  return find(string, suffix, caseFlags(caseSensitive) | kCFCompareBackwards | kCFCompareAnchored, nullptr);
}

void QXUtilsCFStringChop(CFMutableStringRef string, CFIndex count) {
  if (string == nullptr || count <= 0) return;
  const CFIndex length = CFStringGetLength(string);
  if (count > length) count = length;
  CFStringDelete(string, CFRangeMake(length - count, count));
}

CFStringRef QXUtilsCreatePrecomposedStringWithCanonicalMapping(CFStringRef string) {
  return string ? static_cast<CFStringRef>(CFRetain(string)) : nullptr;
}
