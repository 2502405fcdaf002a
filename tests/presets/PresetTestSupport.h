// Helpers shared by the preset tests: the text of QXStrings and of lists of them.
#pragma once

#include <QXCore/QXPresets.h>

#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

namespace presettest {

inline std::string Text(const QXString& s) {
  char* utf8 = s.utf8Copy();
  std::string out = utf8 != nullptr ? utf8 : "(null)";
  std::free(utf8);
  return out;
}

inline std::vector<std::string> Texts(const std::deque<QXString>& list) {
  std::vector<std::string> out;
  for (const QXString& s : list) out.push_back(Text(s));
  return out;
}

}  // namespace presettest
