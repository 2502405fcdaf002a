// 256 MiB over loopback TCP in 64 KiB chunks, one thread writing and one reading: through socket
// streams (QXStreamWrite / QXStreamRead) and through the socket objects themselves, against plain
// send and recv on an equally configured connection, in the same run.
#include <QXCore/QXSocket.h>
#include <QXCore/QXStream.h>
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

namespace {

constexpr uint64_t kTotal = 256ull << 20;
constexpr size_t kChunk = 64 << 10;

// A connected loopback pair of QXSocket objects, made once per benchmark run.
struct QXPair {
  QXPair() {
    QXSocketRef listener = QXSocketCreate();
    client = QXSocketCreate();
    if (!listener || !client || QXSocketSetAddressLoopback(listener, 0) != 0 || QXSocketListen(listener, 0, 1) != 0)
      abort();
    QXSocketSetAddressLoopback(client, QXSocketGetPort(listener));
    if (QXSocketOpen(client) != 0 || QXSocketAccept(listener, &server) != 0) abort();
    QXSocketRelease(listener);
  }
  ~QXPair() {
    QXSocketRelease(client);
    QXSocketRelease(server);
  }
  QXSocketRef client = nullptr;
  QXSocketRef server = nullptr;
};

// The same connection made with the plain interface (TCP_NODELAY on both ends, as ours).
struct RawPair {
  RawPair() {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int on = 1;
    setsockopt(listener, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      abort();
    client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) abort();
    server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (server < 0) abort();
    close(listener);
  }
  ~RawPair() {
    close(client);
    close(server);
  }
  int client = -1;
  int server = -1;
};

void BM_SocketTransfer(benchmark::State& state) {
  QXPair pair;
  std::vector<char> out(kChunk, 'q'), in(kChunk);
  for (auto _ : state) {
    std::thread writer([&] {
      for (uint64_t done = 0; done < kTotal; done += kChunk) {
        uint64_t count = kChunk;
        if (QXSocketWriteChunk(pair.client, out.data(), &count) != 0) abort();
      }
    });
    for (uint64_t done = 0; done < kTotal; done += kChunk) {
      uint64_t count = kChunk;
      if (QXSocketReadChunk(pair.server, in.data(), true, &count) != 0) abort();
    }
    writer.join();
    benchmark::DoNotOptimize(in.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}
BENCHMARK(BM_SocketTransfer)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SocketStreamTransfer(benchmark::State& state) {
  QXPair pair;
  QXStreamRef writing = QXStreamCreateForSocket(pair.client);
  QXStreamRef reading = QXStreamCreateForSocket(pair.server);
  if (!writing || !reading) abort();
  std::vector<char> out(kChunk, 'q'), in(kChunk);
  for (auto _ : state) {
    std::thread writer([&] {
      for (uint64_t done = 0; done < kTotal; done += kChunk) {
        if (QXStreamWrite(writing, out.data(), kChunk) != 0) abort();
      }
    });
    for (uint64_t done = 0; done < kTotal; done += kChunk) {
      uint64_t count = 0;
      if (QXStreamRead(reading, in.data(), kChunk, &count) != 0 || count != kChunk) abort();
    }
    writer.join();
    benchmark::DoNotOptimize(in.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
  QXStreamRelease(writing);
  QXStreamRelease(reading);
}
BENCHMARK(BM_SocketStreamTransfer)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RawSendRecvAnchor(benchmark::State& state) {
  RawPair pair;
  std::vector<char> out(kChunk, 'q'), in(kChunk);
  for (auto _ : state) {
    std::thread writer([&] {
      for (uint64_t done = 0; done < kTotal; done += kChunk) {
        for (size_t sent = 0; sent < kChunk;) {
          ssize_t n = send(pair.client, out.data() + sent, kChunk - sent, MSG_NOSIGNAL);
          if (n <= 0) abort();
          sent += static_cast<size_t>(n);
        }
      }
    });
    for (uint64_t done = 0; done < kTotal; done += kChunk) {
      for (size_t got = 0; got < kChunk;) {
        ssize_t n = recv(pair.server, in.data() + got, kChunk - got, 0);
        if (n <= 0) abort();
        got += static_cast<size_t>(n);
      }
    }
    writer.join();
    benchmark::DoNotOptimize(in.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}
BENCHMARK(BM_RawSendRecvAnchor)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
