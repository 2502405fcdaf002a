// A file descriptor that closes itself, for the sources that work on descriptors directly.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace qx {

class Fd {
 public:
  explicit Fd(int fd = -1) : mFd(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return mFd; }
  // Hands the descriptor over to the caller.
  int release() { return std::exchange(mFd, -1); }
  void reset(int fd = -1) {
    if (mFd >= 0) ::close(mFd);
    mFd = fd;
  }
  // Closes now and reports what closing gave (0 or errno): a failed close may mean lost data.
  int close() {
    int result = mFd >= 0 && ::close(mFd) != 0 ? errno : 0;
    mFd = -1;
    return result;
  }

 private:
  int mFd;
};

}  // namespace qx
