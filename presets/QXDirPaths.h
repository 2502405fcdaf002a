// Path building shared by QXDir and QXFile.
#pragma once

#include <QXCore/QXPresets.h>

namespace qxpresets {

// Appends `part` to `text` with one "/" between them: none when either is empty or the text
// already ends with one. An empty base therefore never turns a relative name into one at the root.
inline void AppendPathPart(QXString& text, const QXString& part) {
  if (part.isEmpty()) return;
  if (!text.isEmpty() && !text.endsWith(static_cast<unsigned short>('/'))) text += "/";
  text += part;
}

}  // namespace qxpresets
