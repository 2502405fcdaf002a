// IPv4 TCP sockets over the POSIX interface.
#include "net/Socket.h"

#include "net/SocketTesting.h"

#include <QXCore/QXLog.h>
#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace {

// Largest count handed to one send or recv call.
constexpr uint64_t kMaxTransfer = 1u << 30;

QXStatus resolveStatus(int eaiError) { return kQXSocketErrResolveBase - eaiError; }

// The first IPv4 address of `name` in network order, resolved without shared static state.
QXStatus resolveIPv4(const char* name, in_addr& out) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_V4MAPPED;
  addrinfo* results = nullptr;
  int error = getaddrinfo(name, nullptr, &hints, &results);
  if (error != 0) return resolveStatus(error);
  QXStatus status = kQXSocketErrNoIPv4Address;
  for (addrinfo* info = results; info; info = info->ai_next) {
    if (info->ai_family == AF_INET && info->ai_addr && info->ai_addrlen >= sizeof(sockaddr_in)) {
      sockaddr_in address;
      memcpy(&address, info->ai_addr, sizeof address);
      out = address.sin_addr;
      status = kQXNoErr;
      break;
    }
  }
  freeaddrinfo(results);
  return status;
}

int newTcpSocket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP); }

// A reset or a vanished peer means the same to callers as an orderly close.
QXStatus peerStatus(int error) {
  return (error == EPIPE || error == ECONNRESET) ? static_cast<QXStatus>(kQXErrNotConnected) : error;
}

void setTimeout(int descriptor, int option, uint32_t milliseconds) {
  timeval value{};
  value.tv_sec = static_cast<time_t>(milliseconds / 1000);
  value.tv_usec = static_cast<suseconds_t>(milliseconds % 1000 * 1000);
  (void)setsockopt(descriptor, SOL_SOCKET, option, &value, sizeof value);
}

// A connect interrupted by a signal goes on in the background; wait for its outcome.
int finishInterruptedConnect(int descriptor) {
  pollfd entry{descriptor, POLLOUT, 0};
  int ready;
  do {
    ready = poll(&entry, 1, -1);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return errno;
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

void logFailure(int32_t error, CFStringRef text) { QXLogWithParams(1, nullptr, error, CFSTR("%@"), text); }

}  // namespace

CBaseSocket::~CBaseSocket() { Close(); }

QXStatus CBaseSocket::SetAddress(uint32_t networkAddress, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = port;
  address.sin_addr.s_addr = networkAddress;
  CFDataRef data = CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(&address), sizeof address);
  if (!data) return kQXErrMemory;
  mAddressData = qxcf::adopt(data);
  return kQXNoErr;
}

void CBaseSocket::SetTimeouts(uint32_t sendSeconds, uint32_t receiveSeconds) {
  // Zero keeps the platform's default; only a time-out that is set is applied.
  mSendTimeoutMS = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{sendSeconds} * 1000, UINT32_MAX));
  mReceiveTimeoutMS = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{receiveSeconds} * 1000, UINT32_MAX));
  ApplyTimeouts();
}

void CBaseSocket::SetTimeoutsMS(uint32_t sendMS, uint32_t receiveMS) {
  mSendTimeoutMS = sendMS;
  mReceiveTimeoutMS = receiveMS;
  if (mSocket == kNoSocket) return;
  setTimeout(mSocket, SO_SNDTIMEO, sendMS);
  setTimeout(mSocket, SO_RCVTIMEO, receiveMS);
}

void CBaseSocket::ApplyTimeouts() {
  if (mSocket == kNoSocket) return;
  if (mSendTimeoutMS != 0) setTimeout(mSocket, SO_SNDTIMEO, mSendTimeoutMS);
  if (mReceiveTimeoutMS != 0) setTimeout(mSocket, SO_RCVTIMEO, mReceiveTimeoutMS);
}

void CBaseSocket::Interrupt() {
  std::lock_guard<std::mutex> hold(mCloseLock);
  int descriptor = mSocket.load();
  if (descriptor != kNoSocket) (void)shutdown(descriptor, SHUT_RDWR);
}

void CBaseSocket::CloseDescriptor() {
  std::lock_guard<std::mutex> hold(mCloseLock);
  ::close(mSocket.load());
  mSocket = kNoSocket;
}

QXStatus CBaseSocket::Open() {
  Close();
  sockaddr_in address{};
  if (!mAddressData || CFDataGetLength(mAddressData.get()) != sizeof address) return kQXErrInvalidArgument;
  memcpy(&address, CFDataGetBytePtr(mAddressData.get()), sizeof address);
  if (address.sin_family != AF_INET) return kQXErrInvalidArgument;

  mSocket = newTcpSocket();
  if (mSocket < 0) {
    int error = errno;
    mSocket = kNoSocket;
    return error;
  }
  ApplyTimeouts();
  int on = 1;
  int error = 0;
  if (setsockopt(mSocket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
    error = errno;
  } else if (connect(mSocket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error = errno;
    if (error == EINTR) error = finishInterruptedConnect(mSocket);
    // A send time-out that runs out during connect leaves it in progress.
    if (error == EINPROGRESS) error = ETIMEDOUT;
  }
  if (error != 0) {
    CloseDescriptor();
  }
  return error;
}

QXStatus CBaseSocket::Listen(uint16_t port, int32_t backlog) {
  Close();
  mSocket = newTcpSocket();
  if (mSocket < 0) {
    int error = errno;
    mSocket = kNoSocket;
    return error;
  }
  auto fail = [this](CFStringRef text) {
    int error = errno;
    logFailure(error, text);
    CloseDescriptor();
    return error;
  };
  int on = 1;
  if (setsockopt(mSocket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
    return fail(CFSTR("setsockopt(mSocket, IPPROTO_TCP, TCP_NODELAY Failed"));
  }
  // A restarted server must get its port back while old connections sit in TIME_WAIT.
  (void)setsockopt(mSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);

  // Bind the interface that was asked for: a loopback server stays unreachable from the network.
  sockaddr_in address{};
  if (mAddressData && CFDataGetLength(mAddressData.get()) == sizeof address) {
    memcpy(&address, CFDataGetBytePtr(mAddressData.get()), sizeof address);
  }
  if (address.sin_family != AF_INET) address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  memset(address.sin_zero, 0, sizeof address.sin_zero);
  if (bind(mSocket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return fail(CFSTR("bind Failed"));
  }
  socklen_t length = sizeof address;
  if (getsockname(mSocket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return fail(CFSTR("CBaseSocket::GetPort getsockname - failed"));
  }
  mPort = ntohs(address.sin_port);
  if (listen(mSocket, backlog) != 0) return fail(CFSTR("listen Failed"));
  return kQXNoErr;
}

QXStatus CBaseSocket::Accept(CBaseSocket*& outSocket) {
  int descriptor;
  do {
    descriptor = accept4(mSocket, nullptr, nullptr, SOCK_CLOEXEC);
  } while (descriptor < 0 && (errno == EINTR || errno == ECONNABORTED));
  if (descriptor < 0) {
    int error = errno;
    logFailure(error, CFSTR("CBaseSocket::Accept - failed"));
    return error;
  }
  auto accepted = qx::make<CBaseSocket>(descriptor);
  if (!accepted) {
    ::close(descriptor);
    logFailure(kQXErrMemory, CFSTR("CBaseSocket::Accept - failed"));
    return kQXErrMemory;
  }
  outSocket = accepted.release();
  return kQXNoErr;
}

QXStatus CBaseSocket::ReadChunk(char* buffer, bool readAll, uint64_t& count) {
  uint64_t wanted = count;
  count = 0;
  if (wanted > 0 && mBufferPos < mBufferEnd) {
    // Buffered bytes go first; any beyond the request stay for the next read.
    uint64_t taken = std::min(wanted, mBufferEnd - mBufferPos);
    memcpy(buffer, mBuffer + mBufferPos, taken);
    mBufferPos += taken;
    if (mBufferPos == mBufferEnd) EmptyBuffer();
    count = taken;
    wanted -= taken;
    // Buffered bytes are a delivery: waiting for more here would hang a peer that sent all it had
    // and now waits for our answer.
    if (!readAll) return kQXNoErr;
  }
  while (wanted > 0) {
    ssize_t received = recv(mSocket, buffer + count, std::min(wanted, kMaxTransfer), 0);
    if (received < 0) {
      if (errno == EINTR) continue;
      EmptyBuffer();
      return peerStatus(errno);
    }
    if (received == 0) {
      EmptyBuffer();
      return kQXErrNotConnected;
    }
    count += static_cast<uint64_t>(received);
    wanted -= static_cast<uint64_t>(received);
    if (!readAll) break;
  }
  return kQXNoErr;
}

QXStatus CBaseSocket::ReadChar(char& c) {
  if (mBufferPos >= mBufferEnd) {
    ssize_t received;
    do {
      received = recv(mSocket, mBuffer, sizeof mBuffer, 0);
    } while (received < 0 && errno == EINTR);
    if (received <= 0) {
      EmptyBuffer();
      return received == 0 ? static_cast<QXStatus>(kQXErrNotConnected) : peerStatus(errno);
    }
    mBufferEnd = static_cast<uint64_t>(received);
    mBufferPos = 0;
  }
  c = mBuffer[mBufferPos++];
  return kQXNoErr;
}

QXStatus CBaseSocket::WriteChunk(const char* buffer, uint64_t& count) {
  uint64_t wanted = count;
  count = 0;
  while (count < wanted) {
    ssize_t sent = send(mSocket, buffer + count, std::min(wanted - count, kMaxTransfer), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return peerStatus(errno);
    }
    count += static_cast<uint64_t>(sent);
  }
  return kQXNoErr;
}

QXStatus CBaseSocket::Close() {
  EmptyBuffer();
  if (mSocket == kNoSocket) return kQXNoErr;
  // Queue the FIN behind everything written. Closing with unread incoming bytes would make the
  // kernel reset the connection and drop what is still queued for sending, so take in what has
  // already arrived (without waiting) before closing.
  (void)shutdown(mSocket, SHUT_WR);
  for (int round = 0; round < 64; ++round) {
    ssize_t received = recv(mSocket, mBuffer, sizeof mBuffer, MSG_DONTWAIT);
    if (received > 0) continue;
    if (received < 0 && errno == EINTR) continue;
    break;
  }
  EmptyBuffer();
  CloseDescriptor();
  return kQXNoErr;
}

int qx::testing::SocketDescriptor(QXSocketRef socket) { return qx::fromHandle(socket)->GetDescriptor(); }

// ---------------------------------------------------------------------------------------------
// The C interface.

QX_EXTERN_C_BEGIN

QXStatus QXSocketInitialize(void) { return kQXNoErr; }

QXSocketRef QXSocketCreate(void) { return qx::toHandle<__QXSocket>(qx::make<CBaseSocket>().release()); }
void QXSocketRetain(QXSocketRef socket) { qx::retainHandle(socket); }
void QXSocketRelease(QXSocketRef socket) { qx::releaseHandle(socket); }

void QXSocketSetAddress(QXSocketRef socket, CFStringRef address, uint16_t port) {
  char text[256] = "";
  if (address && !CFStringGetCString(address, text, sizeof text, kCFStringEncodingUTF8)) text[0] = '\0';
  (void)qx::fromHandle(socket)->SetAddress(inet_addr(text), htons(port));
}

QXStatus QXSocketSetAddressHostName(QXSocketRef socket, CFStringRef hostName, uint16_t port) {
  char name[NI_MAXHOST] = "";
  if (hostName) {
    if (!CFStringGetCString(hostName, name, sizeof name, kCFStringEncodingUTF8)) return resolveStatus(EAI_NONAME);
  } else {
    if (gethostname(name, sizeof name - 1) != 0) return errno;
    name[sizeof name - 1] = '\0';
  }
  in_addr address{};
  QXStatus status = resolveIPv4(name, address);
  if (status != kQXNoErr) return status;
  return qx::fromHandle(socket)->SetAddress(address.s_addr, htons(port));
}

QXStatus QXSocketSetAddressLoopback(QXSocketRef socket, uint16_t port) {
  return qx::fromHandle(socket)->SetAddress(htonl(INADDR_LOOPBACK), htons(port));
}

QXStatus QXSocketSetAddressAny(QXSocketRef socket, uint16_t port) {
  return qx::fromHandle(socket)->SetAddress(htonl(INADDR_ANY), htons(port));
}

void QXSocketSetAddressData(QXSocketRef socket, CFDataRef addressData) {
  qx::fromHandle(socket)->SetAddressData(addressData);
}

CFDataRef QXSocketGetAddressData(QXSocketRef socket) { return qx::fromHandle(socket)->GetAddressData(); }

void QXSocketSetTimeouts(QXSocketRef socket, uint32_t sendSeconds, uint32_t receiveSeconds) {
  qx::fromHandle(socket)->SetTimeouts(sendSeconds, receiveSeconds);
}

QXStatus QXSocketOpen(QXSocketRef socket) { return qx::fromHandle(socket)->Open(); }

QXStatus QXSocketListen(QXSocketRef socket, uint16_t port, int32_t backlog) {
  return qx::fromHandle(socket)->Listen(port, backlog);
}

QXStatus QXSocketAccept(QXSocketRef socket, QXSocketRef* outSocket) {
  if (!outSocket) return kQXErrInvalidArgument;
  CBaseSocket* accepted = nullptr;
  QXStatus status = qx::fromHandle(socket)->Accept(accepted);
  if (status == kQXNoErr) *outSocket = qx::toHandle<__QXSocket>(accepted);
  return status;
}

uint16_t QXSocketGetPort(QXSocketRef socket) { return qx::fromHandle(socket)->GetPort(); }

QXStatus QXSocketReadChunk(QXSocketRef socket, void* buffer, bool readAll, uint64_t* count) {
  if (!count) return kQXErrInvalidArgument;
  return qx::fromHandle(socket)->ReadChunk(static_cast<char*>(buffer), readAll, *count);
}

QXStatus QXSocketReadChar(QXSocketRef socket, char* byte) {
  if (!byte) return kQXErrInvalidArgument;
  return qx::fromHandle(socket)->ReadChar(*byte);
}

QXStatus QXSocketWriteChunk(QXSocketRef socket, const void* buffer, uint64_t* count) {
  if (!count) return kQXErrInvalidArgument;
  return qx::fromHandle(socket)->WriteChunk(static_cast<const char*>(buffer), *count);
}

QXStatus QXSocketClose(QXSocketRef socket) { return qx::fromHandle(socket)->Close(); }

QXStatus QXSocketGetAddrInfo(const char* name, char* buffer) {
  if (!name || !buffer) return kQXErrInvalidArgument;
  in_addr address{};
  QXStatus status = resolveIPv4(name, address);
  if (status != kQXNoErr) return status;
  char text[INET_ADDRSTRLEN];
  if (!inet_ntop(AF_INET, &address, text, sizeof text)) return errno;
  memcpy(buffer, text, strlen(text) + 1);
  return kQXNoErr;
}

QX_EXTERN_C_END
