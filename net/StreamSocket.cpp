// The socket stream: every operation goes to the socket object.
#include "net/StreamSocket.h"
#include "net/StreamHandle.h"

QXStatus CBaseStreamSocket::Open() { return mSocket ? mSocket->Open() : kQXErrGeneric; }

void CBaseStreamSocket::Close() {
  if (mSocket) mSocket->Close();
}

QXStatus CBaseStreamSocket::ReadChunk(char* buffer, bool readAll, uint64_t& count) {
  if (!mSocket) {
    count = 0;
    return kQXErrGeneric;
  }
  return mSocket->ReadChunk(buffer, readAll, count);
}

QXStatus CBaseStreamSocket::WriteChunk(const char* buffer, uint64_t& count) {
  if (!mSocket) {
    count = 0;
    return kQXErrGeneric;
  }
  return mSocket->WriteChunk(buffer, count);
}

QXStatus CBaseStreamSocket::ReadChar(char& c) { return mSocket ? mSocket->ReadChar(c) : kQXErrGeneric; }

QX_EXTERN_C_BEGIN

QXStreamRef QXStreamCreateForSocket(QXSocketRef socket) {
  CBaseSocket* object = socket ? qx::fromHandle(socket) : nullptr;
  CBaseStream* stream = qx::make<CBaseStreamSocket>(object).release();
  return qx::toHandle<__QXStream>(stream);
}

QX_EXTERN_C_END
