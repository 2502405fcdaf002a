// CBaseStreamSocket: a stream over a connected socket object. It has no position or length; its
// reads wait on the peer, and its end is reported by the reads (kQXErrNotConnected), not by IsEOF.
#pragma once

#include <QXCore/QXSocket.h>
#include <QXCore/QXStream.h>

#include "core/Handle.h"
#include "net/Socket.h"

class CBaseStreamSocket final : public CBaseStream {
 public:
  CBaseStreamSocket() = default;
  explicit CBaseStreamSocket(CBaseSocket* socket) { SetSocket(socket); }

  // Connects the socket (QXSocketOpen); kQXErrGeneric without a socket.
  QXStatus Open() override;
  void Close() override;
  QXStatus ReadChunk(char* buffer, bool readAll, uint64_t& count) override;
  QXStatus WriteChunk(const char* buffer, uint64_t& count) override;
  QXStatus ReadChar(char& c) override;
  bool IsEOF() override { return false; }

  CBaseSocket* GetSocket() const { return mSocket.get(); }
  // Retains the new socket and releases the previous one.
  void SetSocket(CBaseSocket* socket) { mSocket = qx::Ref<CBaseSocket>::retain(socket); }

 private:
  qx::Ref<CBaseSocket> mSocket;
};
