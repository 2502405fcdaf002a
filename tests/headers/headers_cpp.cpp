// Compiled as C++20: every public header must be valid C++.
#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXCore.h>

int qx_header_check_cpp();
int qx_header_check_cpp() {
  CFRange r = CFRangeMake(1, 2);
  QXRect q = QXRectIntersect(QXRectMake(0, 0, 10, 10), QXRectMake(5, 5, 10, 10));
  int (*push)(void (*)(void*), void*) = QXThreadPoolPush;
  return static_cast<int>(r.location + r.length) + kQXNoErr + q.width + (push != nullptr);
}
