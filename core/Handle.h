// The handle convention in one place: a handle is the address of its CBaseCore object typed as a
// pointer to an opaque struct, and Ref<T> holds one reference to a library object.
#pragma once

#include <CoreFoundation/CFArray.h>
#include <QXCore/QXBase.h>

#include <utility>

namespace qx {

// Maps a handle struct to its class; specialised once per family with QX_HANDLE_CLASS.
template <class Handle>
struct HandleClass;

#define QX_HANDLE_CLASS(Handle, Class) \
  template <>                          \
  struct HandleClass<Handle> {         \
    using type = Class;                \
  }

// Round trips through reinterpret_cast are exact: the handle value is only ever produced from an
// object of the mapped class.
template <class Handle>
typename HandleClass<Handle>::type* fromHandle(Handle* handle) noexcept {
  return reinterpret_cast<typename HandleClass<Handle>::type*>(handle);
}

template <class Handle>
Handle* toHandle(typename HandleClass<Handle>::type* object) noexcept {
  return reinterpret_cast<Handle*>(object);
}

// The family verbs: every <Family>Retain / <Family>Release forwards here.
template <class Handle>
Handle* retainHandle(Handle* handle) noexcept {
  fromHandle(handle)->AddRef();
  return handle;
}

template <class Handle>
void releaseHandle(Handle* handle) noexcept {
  fromHandle(handle)->Release();
}

// Owns one reference to a CBaseCore object.
template <class T>
class Ref {
 public:
  constexpr Ref() noexcept = default;
  constexpr Ref(std::nullptr_t) noexcept {}
  // Takes over a reference the caller owns (a new object, a Copy result).
  static Ref adopt(T* object) noexcept { return Ref(object); }
  // Adds a reference of its own.
  static Ref retain(T* object) noexcept {
    if (object) object->AddRef();
    return Ref(object);
  }

  Ref(const Ref& other) noexcept : mObject(other.mObject) {
    if (mObject) mObject->AddRef();
  }
  Ref(Ref&& other) noexcept : mObject(std::exchange(other.mObject, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(mObject, other.mObject);
    return *this;
  }
  ~Ref() {
    if (mObject) mObject->Release();
  }

  T* get() const noexcept { return mObject; }
  T* operator->() const noexcept { return mObject; }
  T& operator*() const noexcept { return *mObject; }
  explicit operator bool() const noexcept { return mObject != nullptr; }
  [[nodiscard]] T* release() noexcept { return std::exchange(mObject, nullptr); }

 private:
  explicit Ref(T* object) noexcept : mObject(object) {}
  T* mObject = nullptr;
};

// Object `index` of a CF array made with QXUtilsGetArrayCallbacks, whose values are CBaseCore
// pointers; borrowed.
template <class T>
T* ObjectAt(CFArrayRef array, CFIndex index) noexcept {
  return static_cast<T*>(static_cast<CBaseCore*>(const_cast<void*>(CFArrayGetValueAtIndex(array, index))));
}

// Creates a library object without throwing: null when memory runs out.
template <class T, class... Args>
Ref<T> make(Args&&... args) noexcept {
  try {
    return Ref<T>::adopt(new T(std::forward<Args>(args)...));
  } catch (...) {
    return nullptr;
  }
}

}  // namespace qx
