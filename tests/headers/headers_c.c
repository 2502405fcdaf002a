/* Compiled as C11: every public header must be valid C. */
#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXCore.h>

int qx_header_check_c(void);
int qx_header_check_c(void) {
  CFRange r = CFRangeMake(1, 2);
  return (int)(r.location + r.length) + kQXNoErr;
}
