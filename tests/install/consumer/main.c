/* A program built against the installed QXCore, the way an application would use it. */
#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXCore.h>
#include <stdio.h>

int main(void) {
  char version[32];
  CFStringRef v = QXCoreGetVersionString();
  if (!CFStringGetCString(v, version, sizeof version, kCFStringEncodingUTF8)) return 1;

  CFMutableDictionaryRef d = CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                                       &kCFTypeDictionaryValueCallBacks);
  CFDictionarySetValue(d, CFSTR("a"), CFSTR("1"));
  CFDictionarySetValue(d, CFSTR("b"), kCFBooleanTrue);
  CFDictionarySetValue(d, CFSTR("c"), kCFNull);
  printf("consumer ok: version %s, %ld keys\n", version, (long)CFDictionaryGetCount(d));
  CFRelease(d);
  return 0;
}
