// HTTP messages against plain C, in the same run: the connect request built, written into a memory
// stream and read back from one (command and version taken from the result), against snprintf of
// the same bytes parsed back with memchr and strtol; and a 1 MiB packed message set as content,
// written, read back and unpacked, against two memcpy of the same bytes.
// Each benchmark checks its result once before timing and cheaply in the loop, so a broken path
// stops with an error instead of looking fast.
// With glibc's default settings the megabyte buffers freed at the end of each round trip go back
// to the kernel, so the next one pays a page fault per 4 KiB of fresh memory (the anchor reuses
// warm buffers). GLIBC_TUNABLES=glibc.malloc.trim_threshold=268435456:glibc.malloc.mmap_threshold=268435456
// shows the steady state of a process that keeps its heap.
#include <QXCore/QXMessage.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cf/CFRef.h"
#include "core/Handle.h"

namespace {

using qxcf::adopt;
using qxcf::CFRef;

// The body Write gives a request without content: an empty dictionary as an XML property list.
constexpr char kEmptyPlist[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n<dict/>\n</plist>\n";

std::string Bytes(CFDataRef data) {
  if (data == nullptr) return {};
  return {reinterpret_cast<const char*>(CFDataGetBytePtr(data)), static_cast<size_t>(CFDataGetLength(data))};
}

bool Equal(CFStringRef a, CFStringRef b) { return a != nullptr && CFStringCompare(a, b, 0) == kCFCompareEqualTo; }

// ---- The connect request ----

struct ConnectResult {
  std::string wire;  // the bytes written
  bool commandIsConnect = false;
  int version = 0;
  std::string body;
};

ConnectResult ConnectRoundTrip() {
  ConnectResult r;
  CHTTPMessage request(nullptr, kURIServer, kCmdConnect);
  request.SetParam(kParamAPIVersion, 1);
  qx::Ref<CBaseStreamMemory> out = qx::make<CBaseStreamMemory>();
  out->Open();
  if (request.Write(out.get()) != kQXNoErr) return r;
  r.wire = Bytes(out->GetData());
  qx::Ref<CBaseStreamMemory> in = qx::make<CBaseStreamMemory>(out->GetData());
  CHTTPMessage received(kHTTPMessageRequest);
  if (received.Read(in.get()) != kQXNoErr) return r;
  r.commandIsConnect = Equal(received.GetParamCmd(), kCmdConnect);
  r.version = received.GetParamInt(kParamAPIVersion);
  r.body = Bytes(received.GetRawContent());
  return r;
}

// What the anchor takes from the bytes: views into its buffer and the version as a number.
struct PlainRequest {
  const char* method = nullptr;
  size_t methodLength = 0;
  const char* path = nullptr;
  size_t pathLength = 0;
  const char* command = nullptr;
  size_t commandLength = 0;
  long version = -1;
  const char* contentType = nullptr;
  size_t contentTypeLength = 0;
  const char* body = nullptr;
  long bodyLength = -1;
};

int PlainWrite(char* buffer, size_t capacity) {
  return std::snprintf(buffer, capacity,
                       "GET /%s?cmd=%s&api-version=%d HTTP/1.1\r\nContent-Type: %s\r\nContent-Length: %zu\r\n\r\n%s",
                       "server", "connect", 1, "text/xml; charset=UTF8", sizeof kEmptyPlist - 1, kEmptyPlist);
}

// The start line, its query pairs, the two headers and the body by its length; false when the
// bytes are not such a request.
bool PlainParse(const char* p, size_t length, PlainRequest& r) {
  const char* end = p + length;
  const char* eol = static_cast<const char*>(std::memchr(p, '\r', static_cast<size_t>(end - p)));
  if (eol == nullptr || eol + 1 >= end || eol[1] != '\n') return false;
  const char* space = static_cast<const char*>(std::memchr(p, ' ', static_cast<size_t>(eol - p)));
  if (space == nullptr) return false;
  r.method = p;
  r.methodLength = static_cast<size_t>(space - p);
  const char* target = space + 1;
  const char* targetEnd = static_cast<const char*>(std::memchr(target, ' ', static_cast<size_t>(eol - target)));
  if (targetEnd == nullptr || *target != '/') return false;
  const char* question = static_cast<const char*>(std::memchr(target, '?', static_cast<size_t>(targetEnd - target)));
  r.path = target + 1;
  r.pathLength = static_cast<size_t>((question != nullptr ? question : targetEnd) - r.path);
  for (const char* pair = question != nullptr ? question + 1 : targetEnd; pair < targetEnd;) {
    const char* amp = static_cast<const char*>(std::memchr(pair, '&', static_cast<size_t>(targetEnd - pair)));
    const char* pairEnd = amp != nullptr ? amp : targetEnd;
    const char* equals = static_cast<const char*>(std::memchr(pair, '=', static_cast<size_t>(pairEnd - pair)));
    if (equals != nullptr) {
      auto keyLength = static_cast<size_t>(equals - pair);
      if (keyLength == 3 && std::memcmp(pair, "cmd", 3) == 0) {
        r.command = equals + 1;
        r.commandLength = static_cast<size_t>(pairEnd - r.command);
      } else if (keyLength == 11 && std::memcmp(pair, "api-version", 11) == 0) {
        r.version = std::strtol(equals + 1, nullptr, 10);
      }
    }
    pair = pairEnd + 1;
  }
  for (p = eol + 2;;) {
    eol = static_cast<const char*>(std::memchr(p, '\r', static_cast<size_t>(end - p)));
    if (eol == nullptr || eol + 1 >= end || eol[1] != '\n') return false;
    if (eol == p) break;
    const char* colon = static_cast<const char*>(std::memchr(p, ':', static_cast<size_t>(eol - p)));
    if (colon == nullptr) return false;
    const char* value = colon + 1;
    while (value < eol && *value == ' ') ++value;
    auto nameLength = static_cast<size_t>(colon - p);
    if (nameLength == 12 && std::memcmp(p, "Content-Type", 12) == 0) {
      r.contentType = value;
      r.contentTypeLength = static_cast<size_t>(eol - value);
    } else if (nameLength == 14 && std::memcmp(p, "Content-Length", 14) == 0) {
      r.bodyLength = std::strtol(value, nullptr, 10);
    }
    p = eol + 2;
  }
  r.body = eol + 2;
  return r.bodyLength >= 0 && r.bodyLength <= end - r.body;
}

void BM_HttpConnectRoundTrip(benchmark::State& state) {
  ConnectResult check = ConnectRoundTrip();
  char plain[1024];
  int plainLength = PlainWrite(plain, sizeof plain);
  // The anchor builds exactly the bytes the message writes, so both do the same work.
  if (check.wire != std::string(plain, static_cast<size_t>(plainLength)) || !check.commandIsConnect ||
      check.version != 1 || check.body != kEmptyPlist) {
    state.SkipWithError("the connect request does not round-trip");
    return;
  }
  for (auto _ : state) {
    CHTTPMessage request(nullptr, kURIServer, kCmdConnect);
    request.SetParam(kParamAPIVersion, 1);
    qx::Ref<CBaseStreamMemory> out = qx::make<CBaseStreamMemory>();
    out->Open();
    QXStatus written = request.Write(out.get());
    qx::Ref<CBaseStreamMemory> in = qx::make<CBaseStreamMemory>(out->GetData());
    CHTTPMessage received(kHTTPMessageRequest);
    QXStatus read = received.Read(in.get());
    CFStringRef command = received.GetParamCmd();
    int version = received.GetParamInt(kParamAPIVersion);
    benchmark::DoNotOptimize(command);
    if (written != kQXNoErr || read != kQXNoErr || version != 1) state.SkipWithError("round trip");
  }
}
BENCHMARK(BM_HttpConnectRoundTrip)->Unit(benchmark::kMicrosecond);

void BM_HttpConnectPlainAnchor(benchmark::State& state) {
  char buffer[1024];
  PlainRequest check;
  int checkLength = PlainWrite(buffer, sizeof buffer);
  if (!PlainParse(buffer, static_cast<size_t>(checkLength), check) || check.commandLength != 7 ||
      std::memcmp(check.command, "connect", 7) != 0 || check.version != 1 ||
      check.bodyLength != static_cast<long>(sizeof kEmptyPlist - 1)) {
    state.SkipWithError("the anchor does not parse its own request");
    return;
  }
  for (auto _ : state) {
    int length = PlainWrite(buffer, sizeof buffer);
    benchmark::ClobberMemory();
    PlainRequest r;
    bool parsed = PlainParse(buffer, static_cast<size_t>(length), r);
    benchmark::DoNotOptimize(r);
    if (!parsed || r.version != 1) state.SkipWithError("parse");
  }
}
BENCHMARK(BM_HttpConnectPlainAnchor)->Unit(benchmark::kMicrosecond);

// ---- A 1 MiB packed message ----

constexpr size_t kRawSize = 1u << 20;

CFDataRef RawPayload() {
  static CFDataRef data = [] {
    std::vector<UInt8> b(kRawSize);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<UInt8>(i * 131 + (i >> 9));
    return CFDataCreate(nullptr, b.data(), static_cast<CFIndex>(b.size()));
  }();
  return data;
}

qx::Ref<CBaseMsg> PackedMessage() {
  qx::Ref<CBaseMsg> message = qx::make<CBaseMsg>(CFSTR("tile"));
  message->SetField(kParamID, 42);
  message->SetField(kParamTaskID, CFSTR("task-7"));
  message->SetField(CFSTR("width"), 512);
  message->SetField(CFSTR("scale"), 0.5);
  message->SetRawContent(RawPayload());
  return message;
}

// Set as content, written, read back, unpacked into a message: its raw content, or NULL.
CFRef<CFDataRef> PackedRoundTrip(CBaseMsg& message) {
  CHTTPMessage out(nullptr, kURIServer, kCmdMessage);
  if (out.SetContent(&message) != kQXNoErr) return {};
  qx::Ref<CBaseStreamMemory> wire = qx::make<CBaseStreamMemory>();
  wire->Open();
  if (out.Write(wire.get()) != kQXNoErr) return {};
  qx::Ref<CBaseStreamMemory> in = qx::make<CBaseStreamMemory>(wire->GetData());
  CHTTPMessage received(kHTTPMessageRequest);
  if (received.Read(in.get()) != kQXNoErr) return {};
  CFDictionaryRef info = received.GetResponse();
  if (info == nullptr) return {};
  qx::Ref<CBaseMsg> back = qx::make<CBaseMsg>(info);
  if (!Equal(back->GetMsgName(), CFSTR("tile")) || back->GetFieldInt(kParamID) != 42) return {};
  return CFRef<CFDataRef>::retain(back->GetRawContent());
}

void BM_HttpPacked1MRoundTrip(benchmark::State& state) {
  qx::Ref<CBaseMsg> message = PackedMessage();
  CFRef<CFDataRef> check = PackedRoundTrip(*message);
  if (!check || !CFEqual(check.get(), RawPayload())) {
    state.SkipWithError("the packed message does not round-trip");
    return;
  }
  CFRef<CFDataRef> packed = adopt(message->GetPackedContent());
  for (auto _ : state) {
    CFRef<CFDataRef> raw = PackedRoundTrip(*message);
    // Its length and last byte: a cheap sign that the whole payload came back.
    if (!raw || CFDataGetLength(raw.get()) != static_cast<CFIndex>(kRawSize) ||
        CFDataGetBytePtr(raw.get())[kRawSize - 1] != CFDataGetBytePtr(RawPayload())[kRawSize - 1])
      state.SkipWithError("round trip");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * CFDataGetLength(packed.get()));
}
BENCHMARK(BM_HttpPacked1MRoundTrip)->Unit(benchmark::kMicrosecond);

void BM_HttpPacked1MMemcpyAnchor(benchmark::State& state) {
  CFRef<CFDataRef> packed = adopt(PackedMessage()->GetPackedContent());
  if (!packed) {
    state.SkipWithError("pack");
    return;
  }
  auto size = static_cast<size_t>(CFDataGetLength(packed.get()));
  std::vector<UInt8> wire(size), back(size);
  for (auto _ : state) {
    std::memcpy(wire.data(), CFDataGetBytePtr(packed.get()), size);
    benchmark::ClobberMemory();
    std::memcpy(back.data(), wire.data(), size);
    benchmark::DoNotOptimize(back.data());
  }
  if (std::memcmp(back.data(), CFDataGetBytePtr(packed.get()), size) != 0) state.SkipWithError("copy");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_HttpPacked1MMemcpyAnchor)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
