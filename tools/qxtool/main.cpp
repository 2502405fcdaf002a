#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXCore.h>

#include <cstdio>

int main() {
  CFShow(QXCoreGetVersionString());
  return 0;
}
