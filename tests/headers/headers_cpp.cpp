// Compiled as C++20: every public header must be valid C++.
#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXCore.h>

int qx_header_check_cpp();
int qx_header_check_cpp() {
  CFRange r = CFRangeMake(1, 2);
  return static_cast<int>(r.location + r.length) + kQXNoErr;
}
