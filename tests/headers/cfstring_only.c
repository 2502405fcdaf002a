/* Compiled as C11 with CFString.h as the only include: as on Apple's platforms, it brings in the
 * array, data, dictionary and locale declarations that its own functions use. */
#include <CoreFoundation/CFString.h>

int qx_header_check_cfstring(CFStringRef s, CFLocaleRef locale);
int qx_header_check_cfstring(CFStringRef s, CFLocaleRef locale) {
  CFArrayRef parts = CFStringCreateArrayBySeparatingStrings(NULL, s, CFSTR(","));
  CFDataRef bytes = CFStringCreateExternalRepresentation(NULL, s, kCFStringEncodingUTF8, 0);
  CFDictionaryRef empty =
      CFDictionaryCreate(NULL, NULL, NULL, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  CFIndex n = CFArrayGetCount(parts) + CFDataGetLength(bytes) + CFDictionaryGetCount(empty);
  n += CFStringGetLength(CFLocaleGetIdentifier(locale));
  CFRelease(parts);
  CFRelease(bytes);
  CFRelease(empty);
  return (int)n;
}
