// Sockets over loopback: addresses, listening, buffered reads, closing, time-outs and resolution.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "net/SocketTesting.h"
#include "tests/log/LogCapture.h"
#include "tests/net/StreamTestSupport.h"

namespace {

using namespace streamtest;

int descriptor(QXSocketRef socket) { return qx::testing::SocketDescriptor(socket); }

constexpr int kNoSocket = -1;

// Owns one socket handle: a new socket unless one is adopted.
struct Socket {
  explicit Socket(QXSocketRef adopted = QXSocketCreate()) : ref(adopted) {}
  ~Socket() {
    if (ref) QXSocketRelease(ref);
  }
  QXSocketRef ref;
};

// The 16 bytes of an IPv4 socket address.
std::string inet(uint16_t port, uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  const uint8_t bytes[16] = {2, 0, static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port), a, b, c, d};
  return std::string(reinterpret_cast<const char*>(bytes), 16);
}

sockaddr_in localAddress(QXSocketRef socket) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  EXPECT_EQ(0, getsockname(descriptor(socket), reinterpret_cast<sockaddr*>(&address), &length));
  return address;
}

// Gives `client` the loopback address of `listener`'s port.
void aimAt(QXSocketRef client, QXSocketRef listener) {
  EXPECT_EQ(0, QXSocketSetAddressLoopback(client, QXSocketGetPort(listener)));
}

QXSocketRef acceptOne(QXSocketRef listener) {
  QXSocketRef accepted = nullptr;
  EXPECT_EQ(0, QXSocketAccept(listener, &accepted));
  return accepted;
}

// A pair on loopback: `client` aimed at `listener` with the given receive time-out set before it
// opens, and unless `open` is false, connected; `server` is the accepted end.
struct Pair {
  explicit Pair(uint32_t clientReceiveTimeout = 0, bool open = true) {
    EXPECT_EQ(0, QXSocketSetAddressLoopback(listener.ref, 0));
    EXPECT_EQ(0, QXSocketListen(listener.ref, 0, 64));
    if (clientReceiveTimeout) QXSocketSetTimeouts(client.ref, 0, clientReceiveTimeout);
    aimAt(client.ref, listener.ref);
    if (!open) return;
    EXPECT_EQ(0, QXSocketOpen(client.ref));
    server.ref = acceptOne(listener.ref);
  }
  Socket listener, client, server{nullptr};
};

QXStatus writeAll(QXSocketRef socket, const std::string& text) {
  uint64_t count = text.size();
  QXStatus status = QXSocketWriteChunk(socket, text.data(), &count);
  EXPECT_EQ(status == 0 ? text.size() : count, count);
  return status;
}

// Reads `size` bytes (or what arrives before the status) into a string.
std::string readChunk(QXSocketRef socket, uint64_t size, bool readAll, QXStatus expected = 0) {
  std::string buffer(size, '\0');
  uint64_t count = size;
  EXPECT_EQ(expected, QXSocketReadChunk(socket, buffer.data(), readAll, &count));
  EXPECT_LE(count, size);
  return buffer.substr(0, count);
}

std::string pattern(size_t size) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return text;
}

long openDescriptors() {
  return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator());
}

}  // namespace

TEST(SocketTest, AddressDataHasTheSocketAddressLayout) {
  Socket s;
  auto address = [&] { return Bytes(QXSocketGetAddressData(s.ref)); };
  EXPECT_EQ("(null)", address());
  EXPECT_EQ(0, QXSocketSetAddressLoopback(s.ref, 80));
  EXPECT_EQ(inet(80, 127, 0, 0, 1), address());
  QXSocketSetAddress(s.ref, CFSTR("10.1.2.3"), 0x1F90);
  EXPECT_EQ(inet(0x1F90, 10, 1, 2, 3), address());
  // Text that is not an address reads as inet_addr reads it.
  QXSocketSetAddress(s.ref, CFSTR("not an address"), 1);
  EXPECT_EQ(inet(1, 255, 255, 255, 255), address());
  EXPECT_EQ(0, QXSocketSetAddressAny(s.ref, 1));
  EXPECT_EQ(inet(1, 0, 0, 0, 0), address());
  QXSocketSetAddressData(s.ref, Data(inet(7, 127, 0, 0, 1)).get());  // the socket holds its own reference
  EXPECT_EQ(inet(7, 127, 0, 0, 1), address());
  EXPECT_EQ(0, QXSocketSetAddressHostName(s.ref, CFSTR("localhost"), 80));
  EXPECT_EQ(inet(80, 127, 0, 0, 1), address());
  // A failed resolution leaves the address alone.
  EXPECT_GT(QXSocketSetAddressHostName(s.ref, CFSTR("no-such-host.invalid"), 81), kQXSocketErrResolveBase);
  EXPECT_EQ(inet(80, 127, 0, 0, 1), address());

  // GetAddrInfo gives dotted IPv4 or a documented code.
  char buffer[16];
  ASSERT_EQ(0, QXSocketGetAddrInfo("localhost", buffer));
  EXPECT_STREQ("127.0.0.1", buffer);
  memcpy(buffer, "untouched", 10);
  QXStatus status = QXSocketGetAddrInfo("no-such-host.invalid", buffer);
  // EAI_NONAME normally; EAI_AGAIN where no resolver answers. Either way in the documented range.
  EXPECT_TRUE(status == kQXSocketErrResolveBase - EAI_NONAME || status == kQXSocketErrResolveBase - EAI_AGAIN)
      << status;
  EXPECT_STREQ("untouched", buffer);

  // NULL resolves this machine's own name, as an explicit lookup of it does.
  char host[256] = {};
  ASSERT_EQ(0, gethostname(host, sizeof host - 1));
  QXStatus own = QXSocketGetAddrInfo(host, buffer);
  EXPECT_EQ(own, QXSocketSetAddressHostName(s.ref, nullptr, 1));
  if (own == 0) {
    in_addr_t ip = inet_addr(buffer);
    EXPECT_EQ(address().substr(4, 4), std::string(reinterpret_cast<const char*>(&ip), 4));
  }
}

TEST(SocketTest, ListenBindsTheAddressAskedForAndFailuresAreLogged) {
  qxtest::LogCapture log;
  Socket any, loopback, second, client;
  ASSERT_EQ(0, QXSocketListen(any.ref, 0, 4));
  sockaddr_in bound = localAddress(any.ref);
  EXPECT_EQ(htonl(INADDR_ANY), bound.sin_addr.s_addr);  // no address set: every interface
  EXPECT_EQ(QXSocketGetPort(any.ref), ntohs(bound.sin_port));
  EXPECT_NE(0, QXSocketGetPort(any.ref));
  ASSERT_EQ(0, QXSocketSetAddressLoopback(loopback.ref, 9));  // the port comes from Listen
  ASSERT_EQ(0, QXSocketListen(loopback.ref, 0, 4));
  bound = localAddress(loopback.ref);
  EXPECT_EQ(htonl(INADDR_LOOPBACK), bound.sin_addr.s_addr);
  EXPECT_EQ(QXSocketGetPort(loopback.ref), ntohs(bound.sin_port));
  EXPECT_NE(9, QXSocketGetPort(loopback.ref));

  // The port is taken: bind fails with the error number in the line.
  ASSERT_EQ(0, QXSocketSetAddressLoopback(second.ref, 0));
  EXPECT_EQ(EADDRINUSE, QXSocketListen(second.ref, QXSocketGetPort(loopback.ref), 4));
  EXPECT_TRUE(log.contains("bind Failed Error Number = " + std::to_string(EADDRINUSE)));
  EXPECT_EQ(kNoSocket, descriptor(second.ref));

  // Accepting on a socket that does not listen fails, logs and leaves the out parameter alone.
  QXSocketRef untouched = loopback.ref;
  EXPECT_NE(0, QXSocketAccept(second.ref, &untouched));
  EXPECT_EQ(loopback.ref, untouched);
  EXPECT_TRUE(log.contains("CBaseSocket::Accept - failed"));

  // Opening without an address, or to a port nobody listens on any more.
  EXPECT_EQ(kQXErrInvalidArgument, QXSocketOpen(client.ref));
  aimAt(client.ref, any.ref);
  QXSocketClose(any.ref);
  EXPECT_EQ(ECONNREFUSED, QXSocketOpen(client.ref));
  EXPECT_EQ(kNoSocket, descriptor(client.ref));
}

TEST(SocketTest, ChunkReadsHandOverCharacterBufferedBytesFirst) {
  Pair pair;
  // Every descriptor is close-on-exec, accepted ones included.
  for (QXSocketRef s : {pair.listener.ref, pair.client.ref, pair.server.ref})
    EXPECT_TRUE(fcntl(descriptor(s), F_GETFD) & FD_CLOEXEC);
  std::string sent = pattern(100);
  ASSERT_EQ(0, writeAll(pair.client.ref, sent));
  char c = 0;
  ASSERT_EQ(0, QXSocketReadChar(pair.server.ref, &c));
  EXPECT_EQ(sent[0], c);
  // 99 bytes are buffered; asking for fewer hands over the first ones and keeps the rest.
  EXPECT_EQ(sent.substr(1, 60), readChunk(pair.server.ref, 60, true));
  ASSERT_EQ(0, QXSocketReadChar(pair.server.ref, &c));
  EXPECT_EQ(sent[61], c);

  // The 38 still buffered come first, the rest is received into the caller's buffer.
  std::string more = pattern(150).substr(50);
  ASSERT_EQ(0, writeAll(pair.client.ref, more));
  EXPECT_EQ(sent.substr(62) + more, readChunk(pair.server.ref, 138, true));

  // readAll false: one receive is enough, even when fewer bytes than asked arrived.
  ASSERT_EQ(0, writeAll(pair.client.ref, "0123456789"));
  EXPECT_EQ("0123456789", readChunk(pair.server.ref, 200, false));
  // A zero-byte read succeeds without touching anything.
  EXPECT_EQ("", readChunk(pair.server.ref, 0, true));
}

TEST(SocketTest, BufferedBytesEndAReadThatNeedNotWait) {
  // A peer sends a line and a few bytes, then waits for the answer: a read that need not fill its
  // buffer returns with the buffered bytes. Time-outs make a regression fail instead of hang.
  Pair pair(1);                                // applied by Open
  QXSocketSetTimeouts(pair.server.ref, 0, 1);  // applied at once to an open socket
  QXStreamRef stream = QXStreamCreateForSocket(pair.server.ref);
  for (bool readAll : {false, true}) {
    SCOPED_TRACE(readAll ? "readAll" : "one receive");
    ASSERT_EQ(0, writeAll(pair.client.ref, "PUT\r\nabc"));
    EXPECT_EQ("PUT", Line(stream, 0, 8));
    // QXStreamRead waits for all it asked for; when time runs out it still tells what it handed over.
    EXPECT_EQ("abc", readAll ? Take(stream, 64, EAGAIN) : readChunk(pair.server.ref, 64, false));
    ASSERT_EQ(0, writeAll(pair.server.ref, "ok"));
    EXPECT_EQ("ok", readChunk(pair.client.ref, 2, true));
  }
  QXStreamRelease(stream);
  // Nothing more: EAGAIN after the time-out, not before; a chunk read tells what did arrive.
  auto start = std::chrono::steady_clock::now();
  char c = 0;
  EXPECT_EQ(EAGAIN, QXSocketReadChar(pair.client.ref, &c));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  ASSERT_EQ(0, writeAll(pair.client.ref, "xyz"));
  EXPECT_EQ("xyz", readChunk(pair.server.ref, 8, true, EAGAIN));
}

TEST(SocketTest, ClosingIsGracefulRepeatableAndReported) {
  // The bytes sent before the peer's close arrive, then both reads report the close.
  Pair closing;
  ASSERT_EQ(0, writeAll(closing.client.ref, "abcde"));
  EXPECT_EQ(0, QXSocketClose(closing.client.ref));
  EXPECT_EQ("abcde", readChunk(closing.server.ref, 16, true, kQXErrNotConnected));
  EXPECT_EQ("", readChunk(closing.server.ref, 4, false, kQXErrNotConnected));
  char c = 0;
  EXPECT_EQ(kQXErrNotConnected, QXSocketReadChar(closing.server.ref, &c));

  Pair pair;  // closing is repeatable
  EXPECT_EQ(0, QXSocketClose(pair.server.ref));
  EXPECT_EQ(0, QXSocketClose(pair.server.ref));
  EXPECT_EQ(kNoSocket, descriptor(pair.server.ref));
  // A closed object has nothing to read from: a failure, not data.
  EXPECT_EQ(EBADF, QXSocketReadChar(pair.server.ref, &c));
  // The peer sees an orderly end of stream (a FIN, not a reset).
  char buffer[4];
  EXPECT_EQ(0, recv(descriptor(pair.client.ref), buffer, sizeof buffer, 0));

  // Writing to the closed peer reports instead of raising SIGPIPE (once the reset has come back).
  std::string chunk = pattern(64 * 1024);
  QXStatus status = 0;
  for (int i = 0; i < 100 && status == 0; ++i) {
    status = writeAll(pair.client.ref, chunk);
    if (status == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(kQXErrNotConnected, status);
}

TEST(SocketTest, ReopeningClosesTheOldDescriptor) {
  Pair pair;
  long before = openDescriptors();
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(0, QXSocketOpen(pair.client.ref));
    QXSocketRelease(acceptOne(pair.listener.ref));
  }
  EXPECT_EQ(before, openDescriptors());
  // Listening again on the same object replaces the listening socket.
  for (int i = 0; i < 20; ++i) ASSERT_EQ(0, QXSocketListen(pair.listener.ref, 0, 4));
  EXPECT_EQ(before, openDescriptors());
}

TEST(SocketTest, CloseDeliversEverythingWrittenThreads) {
  // Unread bytes from the peer and megabytes queued: a plain close would reset and lose the queue.
  Pair pair;
  ASSERT_EQ(0, writeAll(pair.client.ref, "unread by the server"));
  const std::string sent = pattern(8 * 1024 * 1024 + 17);

  std::string received;
  QXStatus endStatus = 0;
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::vector<char> buffer(256 * 1024);
    for (;;) {
      uint64_t count = buffer.size();
      endStatus = QXSocketReadChunk(pair.client.ref, buffer.data(), false, &count);
      received.append(buffer.data(), count);
      if (endStatus != 0) break;
    }
  });
  // Give the peer's bytes time to arrive so that they are pending at the close.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(0, writeAll(pair.server.ref, sent));
  EXPECT_EQ(0, QXSocketClose(pair.server.ref));
  reader.join();
  EXPECT_EQ(kQXErrNotConnected, endStatus);
  EXPECT_EQ(sent.size(), received.size());
  EXPECT_TRUE(sent == received);
}

TEST(SocketTest, SocketStreamForwardsToItsSocket) {
  Pair pair(0, false);
  QXStreamRef stream = QXStreamCreateForSocket(pair.client.ref);
  ASSERT_NE(nullptr, stream);
  EXPECT_EQ(kNoSocket, descriptor(pair.client.ref));  // creating opens nothing
  ASSERT_EQ(0, QXStreamOpen(stream));
  pair.server.ref = acceptOne(pair.listener.ref);

  // Typed writes in the stream's byte order reach the peer as bytes.
  QXStreamSetByteOrder(stream, kQXStreamByteOrderBigEndian);
  ASSERT_EQ(0, QXStreamWriteInt32(stream, 1));
  EXPECT_EQ(std::string("\0\0\0\1", 4), readChunk(pair.server.ref, 4, true));

  // Lines and chunks read through the socket's buffer, in order.
  ASSERT_EQ(0, writeAll(pair.server.ref, "GET / HTTP/1.1\r\n\r\nbody"));
  EXPECT_EQ("GET / HTTP/1.1", Line(stream, 0, 8));
  EXPECT_EQ("", Line(stream));
  EXPECT_EQ("body", Take(stream, 4));

  // No position and no length; never at an end of its own.
  uint64_t value = 77;
  for (QXStatus status :
       {QXStreamGetPos(stream, &value), QXStreamSetPos(stream, 0), QXStreamGetLength2(stream, &value)})
    EXPECT_EQ(kQXErrGeneric, status);
  EXPECT_EQ(77u, value);

  // The peer's close ends the reads; closing the stream closes the socket.
  QXSocketClose(pair.server.ref);
  int32_t number = 0;
  EXPECT_EQ(kQXErrNotConnected, QXStreamReadInt32(stream, &number));
  EXPECT_EQ(0, QXStreamClose(stream));
  EXPECT_EQ(kNoSocket, descriptor(pair.client.ref));
  QXStreamRelease(stream);
  // The stream held its own reference: the socket object is still usable.
  EXPECT_EQ(0, QXSocketClose(pair.client.ref));

  // Without a socket every operation fails.
  StreamPtr empty(QXStreamCreateForSocket(nullptr));
  ASSERT_NE(nullptr, empty);
  EXPECT_EQ((std::vector<QXStatus>{QXStreamOpen(empty.get()), QXStreamWriteInt32(empty.get(), 1)}),
            std::vector<QXStatus>(2, kQXErrGeneric));
}

namespace {
std::atomic<int> gSignals{0};
void countSignal(int) { gSignals.fetch_add(1); }
}  // namespace

TEST(SocketTest, AcceptWaitsPastSignalsThreads) {
  // Installed without SA_RESTART, so the signal interrupts the waiting accept.
  struct sigaction action {
  }, previous{};
  action.sa_handler = countSignal;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(0, sigaction(SIGUSR1, &action, &previous));

  Pair pair(0, false);
  QXSocketRef accepted = nullptr;
  QXStatus status = -1;
  std::thread waiter([&] { status = QXSocketAccept(pair.listener.ref, &accepted); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  pthread_kill(waiter.native_handle(), SIGUSR1);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(0, QXSocketOpen(pair.client.ref));
  waiter.join();
  sigaction(SIGUSR1, &previous, nullptr);

  EXPECT_EQ(1, gSignals.load());
  ASSERT_EQ(0, status);
  ASSERT_NE(nullptr, accepted);
  pair.server.ref = accepted;
  ASSERT_EQ(0, writeAll(pair.client.ref, "x"));
  char c = 0;
  EXPECT_EQ(0, QXSocketReadChar(pair.server.ref, &c));
  EXPECT_EQ('x', c);
}
