// Shared between the property-list entry points (CFPropertyList.cpp), the XML writer and the XML
// reader.
#pragma once

#include <CoreFoundation/CFNumber.h>
#include <CoreFoundation/CFPropertyList.h>

#include <cstdint>
#include <string>

namespace qxcf {

// Containers nested deeper than this are refused by the reader, the writer, the deep copy and the
// validity check alike, so whatever we write we can read back, and a container that holds itself
// ends in a failure instead of a stack overflow.
inline constexpr int kMaxPropertyListDepth = 512;

// The 128-bit number type is the one way a CFNumber holds an unsigned 64-bit value above INT64_MAX.
inline constexpr CFNumberType kNumberSInt128Type = kCFNumberSInt128Type;
using SInt128Value = CFSInt128Struct;

// Appends the XML document for plist to out. On failure returns false and sets error (out then
// holds a partial document).
bool writeXMLPropertyList(CFPropertyListRef plist, std::string& out, std::string& error);

// Parses an XML property-list document. Returns the value (owned) or NULL with error set to a
// message that names the line.
CFPropertyListRef readXMLPropertyList(CFAllocatorRef allocator, const char* bytes, size_t count,
                                      CFOptionFlags mutability, std::string& error);

}  // namespace qxcf
