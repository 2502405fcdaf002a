// The jobs qxtool runs; each takes the arguments after its name and returns the exit status. And
// what they share.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <string>

// A string's UTF-8 text ('?' for what cannot be converted); empty for NULL.
inline std::string utf8(CFStringRef s) {
  if (s == nullptr) return {};
  CFIndex length = CFStringGetLength(s), used = 0;
  std::string out(static_cast<size_t>(CFStringGetMaximumSizeForEncoding(length, kCFStringEncodingUTF8)), '\0');
  CFStringGetBytes(s, CFRangeMake(0, length), kCFStringEncodingUTF8, '?', false, reinterpret_cast<UInt8*>(out.data()),
                   static_cast<CFIndex>(out.size()), &used);
  out.resize(static_cast<size_t>(used));
  return out;
}

int runPlistJob(int argc, char** argv);
int runImageDemoJob(int argc, char** argv);
int runImageCommand(int argc, char** argv);
int runPresetsJob(int argc, char** argv);
int runServeJob(int argc, char** argv);
int runSendJob(int argc, char** argv);
