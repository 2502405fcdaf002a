/*
 * QXCore.h — the library's umbrella header: includes every public family header.
 */
#ifndef QXCORE_QXCORE_H
#define QXCORE_QXCORE_H

#include <QXCore/QXBase.h>
#include <QXCore/QXColor.h>
#include <QXCore/QXDir.h>
#include <QXCore/QXPresetManager.h>
#include <QXCore/QXFileMgr.h>
#include <QXCore/QXFileWatcher.h>
#include <QXCore/QXImage.h>
#include <QXCore/QXLocale.h>
#include <QXCore/QXLog.h>
#include <QXCore/QXMessage.h>
#include <QXCore/QXPresets.h>
#include <QXCore/QXProcess.h>
#include <QXCore/QXProduct.h>
#include <QXCore/QXProgress.h>
#include <QXCore/QXServer.h>
#include <QXCore/QXServerData.h>
#include <QXCore/QXSocket.h>
#include <QXCore/QXStream.h>
#include <QXCore/QXThreads.h>
#include <QXCore/QXTileSet.h>
#include <QXCore/QXUnzip.h>
#include <QXCore/QXUtils.h>
#include <QXCore/QXUtilsMisc.h>

#endif /* QXCORE_QXCORE_H */
