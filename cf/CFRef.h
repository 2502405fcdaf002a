// CFRef<T>: owns one reference to a CoreFoundation object and releases it on destruction.
// The library's own code holds CF objects through this instead of pairing retain and release by hand.
#pragma once

#include <CoreFoundation/CFBase.h>

#include <utility>

namespace qxcf {

template <class T>
class CFRef {
 public:
  constexpr CFRef() noexcept = default;
  constexpr CFRef(std::nullptr_t) noexcept {}
  // Takes ownership of a reference the caller already owns (the result of a Create/Copy).
  static CFRef adopt(T ref) noexcept { return CFRef(ref, Adopt{}); }
  // Adds a reference of its own to a borrowed object.
  static CFRef retain(T ref) noexcept {
    if (ref) CFRetain(ref);
    return CFRef(ref, Adopt{});
  }

  CFRef(const CFRef& other) noexcept : ref_(other.ref_) {
    if (ref_) CFRetain(ref_);
  }
  CFRef(CFRef&& other) noexcept : ref_(std::exchange(other.ref_, nullptr)) {}
  CFRef& operator=(CFRef other) noexcept {
    std::swap(ref_, other.ref_);
    return *this;
  }
  ~CFRef() {
    if (ref_) CFRelease(ref_);
  }

  T get() const noexcept { return ref_; }
  explicit operator bool() const noexcept { return ref_ != nullptr; }
  // Hands the reference to the caller (for returning from a Create/Copy function).
  [[nodiscard]] T release() noexcept { return std::exchange(ref_, nullptr); }
  void reset(T adopted = nullptr) noexcept { *this = CFRef(adopted, Adopt{}); }

 private:
  struct Adopt {};
  CFRef(T ref, Adopt) noexcept : ref_(ref) {}
  T ref_ = nullptr;
};

template <class T>
CFRef<T> adopt(T ref) noexcept {
  return CFRef<T>::adopt(ref);
}

}  // namespace qxcf
