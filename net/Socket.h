// CBaseSocket: the object behind the QXSocket handle, also used directly by the socket stream.
#pragma once

#include <QXCore/QXSocket.h>

#include <atomic>
#include <mutex>

#include "cf/CFRef.h"
#include "core/Handle.h"

class CBaseSocket final : public CBaseCore {
 public:
  static constexpr size_t kReceiveBufferSize = 32768;
  static constexpr int kNoSocket = -1;

  CBaseSocket() = default;
  // Takes over an accepted descriptor.
  explicit CBaseSocket(int descriptor) : mSocket(descriptor) {}
  ~CBaseSocket() override;

  void SetAddressData(CFDataRef data) { mAddressData = qxcf::CFRef<CFDataRef>::retain(data); }
  CFDataRef GetAddressData() const { return mAddressData.get(); }
  // Sets 16-byte address data from an address and port, both in network order.
  QXStatus SetAddress(uint32_t networkAddress, uint16_t port);
  void SetTimeouts(uint32_t sendSeconds, uint32_t receiveSeconds);
  // As SetTimeouts in milliseconds; 0 clears a time-out of an open socket.
  void SetTimeoutsMS(uint32_t sendMS, uint32_t receiveMS);
  // May be called from any thread: shuts the open socket down both ways, so that a read or accept
  // blocked in another thread returns (on Linux closing from another thread does not wake it).
  void Interrupt();

  QXStatus Open();
  QXStatus Listen(uint16_t port, int32_t backlog);
  QXStatus Accept(CBaseSocket*& outSocket);
  uint16_t GetPort() const { return mPort; }
  QXStatus ReadChunk(char* buffer, bool readAll, uint64_t& count);
  QXStatus ReadChar(char& c);
  QXStatus WriteChunk(const char* buffer, uint64_t& count);
  QXStatus Close();

  int GetDescriptor() const { return mSocket.load(std::memory_order_relaxed); }

 private:
  void ApplyTimeouts();
  void CloseDescriptor();
  void EmptyBuffer() { mBufferEnd = mBufferPos = 0; }

  // Changed only by the owning thread, and under mCloseLock, so Interrupt never reaches a
  // descriptor that was closed and reused.
  std::atomic<int> mSocket{kNoSocket};
  std::mutex mCloseLock;
  uint64_t mBufferEnd = 0;
  uint64_t mBufferPos = 0;
  qxcf::CFRef<CFDataRef> mAddressData;
  uint32_t mSendTimeoutMS = 0;
  uint32_t mReceiveTimeoutMS = 0;
  uint16_t mPort = 0;
  char mBuffer[kReceiveBufferSize];
};

namespace qx {
QX_HANDLE_CLASS(__QXSocket, CBaseSocket);
}  // namespace qx
