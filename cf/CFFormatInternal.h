// The format engine behind CFStringCreateWithFormat and CFStringAppendFormat.
//
// The engine reads its arguments through ArgSource, so the va_list entry points and the fuzz
// target (which builds typed arguments from raw bytes) run exactly the same parsing and output
// code. Arguments are always requested in order of position; for positional formats the whole
// format is checked first, so an inconsistent format never fetches a single argument.
#pragma once

#include <CoreFoundation/CFString.h>

#include <cstdarg>
#include <cstdint>

// Exported (though internal) so the fuzz target can drive the engine with its own ArgSource.
#define QXCF_FORMAT_API __attribute__((visibility("default")))

namespace qxcf::format {

// The C type an argument was passed as. Distinct pointer kinds let a synthetic source hand out
// pointers that are valid for what the conversion will read.
enum class ArgType : uint8_t {
  kInt,         // int (hh, h, none; c, C, lc, and '*' widths)
  kLong,        // long (l; D U O)
  kLongLong,    // long long (ll, q, L on integers)
  kIntMax,      // intmax_t (j)
  kSize,        // size_t (z)
  kPtrDiff,     // ptrdiff_t (t)
  kDouble,      // double (e f g a, with or without l)
  kLongDouble,  // long double (L)
  kPointer,     // void*, only printed (p)
  kCString,     // NUL-terminated UTF-8 bytes, or at most precision bytes (s)
  kUniString,   // NUL-terminated UniChar array, or at most precision units (S, ls)
  kObject,      // CFTypeRef (@)
};

struct ArgValue {
  union {
    int64_t i;  // every integer type, sign-extended from its own width
    double d;
    long double ld;
    const void* p;
  };
};

class ArgSource {
 public:
  // Fetches the next argument as `type`. Returning false fails the whole format.
  virtual bool next(ArgType type, ArgValue& out) = 0;

 protected:
  ~ArgSource() = default;
};

// Reads from a va_list (copied, so the caller's list is left as it was).
class VaListSource final : public ArgSource {
 public:
  explicit VaListSource(va_list args) { va_copy(args_, args); }
  ~VaListSource() { va_end(args_); }
  VaListSource(const VaListSource&) = delete;
  VaListSource& operator=(const VaListSource&) = delete;
  bool next(ArgType type, ArgValue& out) override;

 private:
  va_list args_;
};

// Formats into a new immutable string (owned). NULL when the format is invalid (see
// CFStringFormat.cpp for what counts as invalid), the arguments run out, or the result would be
// larger than the engine allows.
QXCF_FORMAT_API CFStringRef createWithFormat(CFAllocatorRef alloc, CFStringRef format, ArgSource& args);

// Appends to target; on failure target keeps its previous contents and false is returned.
QXCF_FORMAT_API bool appendFormat(CFMutableStringRef target, CFStringRef format, ArgSource& args);

}  // namespace qxcf::format
