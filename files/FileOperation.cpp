// QXFileOperation: batches of copy and move commands, performed by the library itself with
// rename on collision and no prompts.
#include <errno.h>
#include <limits.h>
#include <stdlib.h>

#include <QXCore/QXFileMgr.h>

#include <vector>

#include "core/Handle.h"
#include "files/CoreFileInternal.h"

using qxcf::CFRef;
using namespace qxfiles;

namespace {

enum CommandKind : int32_t { kCopy = 1, kMove = 2, kDelete = 3 };

class BaseFileOperationCmd : public CBaseCore {
 public:
  BaseFileOperationCmd(int32_t kind, CFArrayRef items, CFURLRef destination)
      : mKind(kind),
        mItems(qxcf::adopt(CFArrayCreateCopy(nullptr, items))),
        mDestination(CFRef<CFURLRef>::retain(destination)) {}

  int32_t kind() const { return mKind; }
  CFArrayRef items() const { return mItems.get(); }
  CFURLRef destination() const { return mDestination.get(); }
  bool valid() const { return mItems.get() != nullptr; }

 private:
  int32_t mKind;
  CFRef<CFArrayRef> mItems;  // a copy: the caller may go on changing a mutable array
  CFRef<CFURLRef> mDestination;
};

// True when `inner` is `outer` or lies inside it (both resolved), which would make a copy of a
// folder into itself recurse without end.
bool Contains(const std::string& outer, const std::string& inner) {
  char* a = ::realpath(outer.c_str(), nullptr);
  char* b = ::realpath(inner.c_str(), nullptr);
  bool inside = false;
  if (a && b) {
    std::string o = a, i = b;
    inside = i == o || (i.size() > o.size() && i.compare(0, o.size(), o) == 0 && (o == "/" || i[o.size()] == '/'));
  }
  ::free(a);
  ::free(b);
  return inside;
}

}  // namespace

class BaseFileOperation : public CBaseCore {
 public:
  int32_t AddCommand(int32_t kind, CFArrayRef items, CFURLRef destination) {
    if (!items) return EINVAL;
    qx::Ref<BaseFileOperationCmd> command = qx::make<BaseFileOperationCmd>(kind, items, destination);
    if (!command || !command->valid()) return kQXErrMemory;
    try {
      mCommands.push_back(std::move(command));
    } catch (...) {
      return kQXErrMemory;
    }
    return 0;
  }

  virtual int32_t PerformOperations(CBaseCore* progress) {
    mProgress = qx::Ref<CBaseCore>::retain(progress);
    for (const auto& command : mCommands) {
      if (int32_t err = Perform(*command.get())) return err;
    }
    return 0;
  }

 private:
  static int32_t Perform(const BaseFileOperationCmd& command) {
    std::string folder;
    if (command.kind() != kDelete) {
      if (int err = PathFromURL(command.destination(), folder)) return err;
      // The destination is made when missing, as a batch copy into a new folder expects.
      if (int err = MakeDirectories(folder)) return err;
      if (!IsDirectory(folder)) return ENOTDIR;
    }
    CFArrayRef items = command.items();
    for (CFIndex i = 0; i < CFArrayGetCount(items); ++i) {
      auto item = static_cast<CFURLRef>(CFArrayGetValueAtIndex(items, i));
      if (!item || CFGetTypeID(item) != CFURLGetTypeID()) return EINVAL;
      std::string source;
      if (int err = PathFromURL(item, source)) return err;
      int err = command.kind() == kDelete ? RemoveTree(source) : PerformItem(command.kind(), source, folder);
      if (err) return err;
    }
    return 0;
  }

  static int32_t PerformItem(int32_t kind, const std::string& source, const std::string& folder) {
    struct stat st;
    if (::lstat(source.c_str(), &st) != 0) return errno;
    std::string name = LastComponent(source);
    std::string target = JoinPath(folder, name);
    const bool sameFolder = Contains(ParentPath(source), folder) && Contains(folder, ParentPath(source));
    if (kind == kMove && sameFolder) return 0;  // already where it should go
    if (S_ISDIR(st.st_mode) && Contains(source, folder)) return EINVAL;
    // Rename on collision with the library's unique-name rule: "Photo copy.jpg" for a copy beside
    // its original, "Photo 1.jpg" for an item that meets another of its name. The rule works on
    // the name's bytes, so names that are not UTF-8 are renamed as well. Neither the copy nor the
    // move replaces anything, so an item that appears at the chosen name meanwhile is kept and
    // the next free name is taken.
    for (int attempt = 0;; ++attempt) {
      if (Exists(target)) {
        std::string unique;
        if (!UniqueName(folder, name, !S_ISDIR(st.st_mode), sameFolder ? "copy" : nullptr, {}, unique)) return EINVAL;
        target = JoinPath(folder, unique);
      }
      RaceHook("FileOperation.target", target);
      int err = kind == kCopy ? CopyTreeNoReplace(source, target) : MoveItem(source, target, false);
      if (err != EEXIST || attempt >= 100 || !Exists(target)) return err;
    }
  }

  qx::Ref<CBaseCore> mProgress;  // kept for the caller; nothing reports to it
  std::vector<qx::Ref<BaseFileOperationCmd>> mCommands;
};

namespace qx {
QX_HANDLE_CLASS(__QXFileOperation, BaseFileOperation);
}

QXFileOperationRef QXFileOperationCreate(void) {
  return qx::toHandle<__QXFileOperation>(qx::make<BaseFileOperation>().release());
}
void QXFileOperationRetain(QXFileOperationRef operation) { qx::retainHandle(operation); }
void QXFileOperationRelease(QXFileOperationRef operation) { qx::releaseHandle(operation); }

QXStatus QXFileOperationCopyItems(QXFileOperationRef operation, CFArrayRef items, CFURLRef destination) {
  return NoThrow([&] { return qx::fromHandle(operation)->AddCommand(kCopy, items, destination); });
}

QXStatus QXFileOperationMoveItems(QXFileOperationRef operation, CFArrayRef items, CFURLRef destination) {
  return NoThrow([&] { return qx::fromHandle(operation)->AddCommand(kMove, items, destination); });
}

QXStatus QXFileOperationPerformOperations(QXFileOperationRef operation, void* progress) {
  return NoThrow([&] { return qx::fromHandle(operation)->PerformOperations(static_cast<CBaseCore*>(progress)); });
}
