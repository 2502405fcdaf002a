// Gives a test process a private home: HOME, the XDG folders, TMPDIR and the library's shared
// data folder all point into a fresh temporary folder that is removed afterwards (and the
// variables are put back), so no test touches the real user's files. Create one before anything
// reads those variables (the library caches some folders for the life of the process).
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace qxtest {

class TempHome {
 public:
  TempHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qxtest-home-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::system_error(errno, std::generic_category(), "mkdtemp");
    mRoot = pattern;
    set("HOME", mRoot);
    set("XDG_DATA_HOME", mRoot / ".local/share");
    set("XDG_CONFIG_HOME", mRoot / ".config");
    set("XDG_CACHE_HOME", mRoot / ".cache");
    set("XDG_DATA_DIRS", mRoot / "usr/share");
    set("QX_SHARED_DATA_DIR", mRoot / "shared");
    set("TMPDIR", mRoot / "tmp");
    std::filesystem::create_directories(mRoot / "tmp");
  }
  ~TempHome() {
    for (auto it = mSaved.rbegin(); it != mSaved.rend(); ++it) {
      if (it->second) {
        setenv(it->first.c_str(), it->second->c_str(), 1);
      } else {
        unsetenv(it->first.c_str());
      }
    }
    std::error_code ignored;
    std::filesystem::remove_all(mRoot, ignored);
  }
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::filesystem::path& root() const { return mRoot; }

 private:
  void set(const char* name, const std::filesystem::path& value) {
    const char* old = getenv(name);
    mSaved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    setenv(name, value.c_str(), 1);
  }
  std::filesystem::path mRoot;
  std::vector<std::pair<std::string, std::optional<std::string>>> mSaved;
};

}  // namespace qxtest
