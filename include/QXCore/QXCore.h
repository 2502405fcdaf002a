/*
 * QXCore.h — the library's umbrella header: includes every public family header.
 */
#ifndef QXCORE_QXCORE_H
#define QXCORE_QXCORE_H

#include <QXCore/QXBase.h>

#endif /* QXCORE_QXCORE_H */
