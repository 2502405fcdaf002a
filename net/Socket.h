// CBaseSocket: the object behind the QXSocket handle, also used directly by the socket stream.
#pragma once

#include <QXCore/QXSocket.h>

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

  QXStatus Open();
  QXStatus Listen(uint16_t port, int32_t backlog);
  QXStatus Accept(CBaseSocket*& outSocket);
  uint16_t GetPort() const { return mPort; }
  QXStatus ReadChunk(char* buffer, bool readAll, uint64_t& count);
  QXStatus ReadChar(char& c);
  QXStatus WriteChunk(const char* buffer, uint64_t& count);
  QXStatus Close();

  int GetDescriptor() const { return mSocket; }

 private:
  void ApplyTimeouts();
  void EmptyBuffer() { mBufferEnd = mBufferPos = 0; }

  int mSocket = kNoSocket;
  uint64_t mBufferEnd = 0;
  uint64_t mBufferPos = 0;
  qxcf::CFRef<CFDataRef> mAddressData;
  uint32_t mSendTimeout = 0;
  uint32_t mReceiveTimeout = 0;
  uint16_t mPort = 0;
  char mBuffer[kReceiveBufferSize];
};

namespace qx {
QX_HANDLE_CLASS(__QXSocket, CBaseSocket);
}  // namespace qx
