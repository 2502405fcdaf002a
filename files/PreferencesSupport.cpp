// Name checks for preferences and products: a caller's name must not lead a path out of its folder.
#include "files/PreferencesSupport.h"

#include <string_view>

#include "files/CoreFileInternal.h"

namespace {

bool isPiece(std::string_view piece) {
  return !piece.empty() && piece != "." && piece != ".." && piece.find('/') == std::string_view::npos &&
         piece.find('\0') == std::string_view::npos;
}

}  // namespace

bool qx::prefs::isFileName(CFStringRef name) { return name != nullptr && isPiece(qxfiles::UTF8(name)); }

bool qx::prefs::isRelativePartialPath(CFStringRef path) {
  if (path == nullptr) return false;
  std::string text = qxfiles::UTF8(path);
  std::string_view rest(text);
  while (true) {
    size_t slash = rest.find('/');
    if (!isPiece(rest.substr(0, slash))) return false;
    if (slash == std::string_view::npos) return true;
    rest.remove_prefix(slash + 1);
  }
}
