// qxtool serve and qxtool send: the family's local messaging between two processes. serve runs a
// loopback server, publishes its port in the product's ServerData.plist, echoes every request and
// broadcasts a "tick" each second; send finds the server through that file, sends one message,
// prints the answer and then the broadcasts it receives for a while.
#include <CoreFoundation/CoreFoundation.h>
#include <QXCore/QXProduct.h>
#include <QXCore/QXServer.h>
#include <QXCore/QXServerData.h>
#include <QXCore/QXSocket.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "CFRef.h"
#include "Jobs.h"
#include "core/Handle.h"
#include "net/HttpMessageHandle.h"
#include "net/StreamHandle.h"

using qxcf::adopt;
using qxcf::CFRef;
using Clock = std::chrono::steady_clock;

namespace {

const char kDefaultProduct[] = "com.qxcore.qxtool";
const char kDefaultProductName[] = "qxtool";
constexpr uint32_t kCommandTimeoutSeconds = 10;
constexpr double kMaxSeconds = 7 * 24 * 3600.0;

CFRef<CFStringRef> cfString(const std::string& s) {
  return adopt(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(s.data()),
                                       static_cast<CFIndex>(s.size()), kCFStringEncodingUTF8, false));
}

std::string statusText(QXStatus status) {
  std::string text = std::to_string(status);
  if (status == kQXErrNotConnected) return text + " (the peer closed the connection)";
  if (status == kQXServerErrBadAnswer) return text + " (not an answer of a qxtool server)";
  if (status == kQXErrAPIVersion) return text + " (another API version)";
  if (status == kQXErrInvalidArgument) return text + " (invalid argument)";
  if (status > 0 && status < 4096) return text + " (" + std::strerror(status) + ")";
  return text;
}

// A field's value for people: text as it is, numbers in decimal, anything else as described.
std::string valueText(CFTypeRef value) {
  CFTypeID type = CFGetTypeID(value);
  if (type == CFStringGetTypeID()) return utf8(static_cast<CFStringRef>(value));
  if (type == CFBooleanGetTypeID()) return CFBooleanGetValue(static_cast<CFBooleanRef>(value)) ? "true" : "false";
  if (type == CFDataGetTypeID())
    return std::to_string(CFDataGetLength(static_cast<CFDataRef>(value))) + " bytes of data";
  if (type == CFNumberGetTypeID()) {
    auto number = static_cast<CFNumberRef>(value);
    char text[64];
    if (CFNumberIsFloatType(number)) {
      double d = 0;
      CFNumberGetValue(number, kCFNumberDoubleType, &d);
      std::snprintf(text, sizeof text, "%g", d);
    } else {
      long long n = 0;
      CFNumberGetValue(number, kCFNumberLongLongType, &n);
      std::snprintf(text, sizeof text, "%lld", n);
    }
    return text;
  }
  CFRef<CFStringRef> description = adopt(CFCopyDescription(value));
  return utf8(description.get());
}

// "  key = value" lines, keys sorted, leaving out those already shown.
void printFields(CFDictionaryRef fields, std::initializer_list<CFStringRef> skip) {
  if (fields == nullptr) return;
  CFIndex count = CFDictionaryGetCount(fields);
  std::vector<const void*> keys(static_cast<size_t>(count)), values(static_cast<size_t>(count));
  CFDictionaryGetKeysAndValues(fields, keys.data(), values.data());
  std::vector<std::pair<std::string, std::string>> lines;
  for (CFIndex i = 0; i < count; ++i) {
    auto key = static_cast<CFStringRef>(keys[static_cast<size_t>(i)]);
    if (CFGetTypeID(key) != CFStringGetTypeID()) continue;
    if (std::any_of(skip.begin(), skip.end(),
                    [key](CFStringRef s) { return CFStringCompare(key, s, 0) == kCFCompareEqualTo; }))
      continue;
    lines.emplace_back(utf8(key), valueText(values[static_cast<size_t>(i)]));
  }
  std::sort(lines.begin(), lines.end());
  for (const auto& [key, value] : lines) std::printf("  %s = %s\n", key.c_str(), value.c_str());
}

bool parseSeconds(const char* text, double& out) {
  char* end = nullptr;
  errno = 0;
  double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || errno != 0 || !(value >= 0) || value > kMaxSeconds) return false;
  out = value;
  return true;
}

// The product by its identifier; one this process does not know is registered with the identifier
// as its name and folder, so that every qxtool process names the same folder for it.
bool useProduct(const std::string& id, const char* job, CFRef<CFStringRef>& outID) {
  outID = cfString(id);
  if (!outID) {
    std::fprintf(stderr, "qxtool %s: the product id is not UTF-8\n", job);
    return false;
  }
  if (QXProductGetWithIdentifier(outID.get()) != nullptr) return true;
  CFRef<CFStringRef> name = id == kDefaultProduct ? cfString(kDefaultProductName) : outID;
  QXProductInfo info{};
  info.identifier = outID.get();
  info.name = name.get();
  info.folderName = name.get();
  QXStatus status = QXProductRegister(&info, nullptr);
  if (status != kQXNoErr) {
    std::fprintf(stderr, "qxtool %s: cannot use product '%s': %s\n", job, id.c_str(), statusText(status).c_str());
    return false;
  }
  return true;
}

std::string serverDataPath(CFStringRef productID) {
  CFURLRef folder = nullptr;
  if (QXProductCopyUserFolderURL(QXProductGetWithIdentifier(productID), &folder) != kQXNoErr) return "?";
  CFRef<CFURLRef> held = adopt(folder);
  char path[PATH_MAX];
  if (!CFURLGetFileSystemRepresentation(folder, true, reinterpret_cast<UInt8*>(path), sizeof path)) return "?";
  return std::string(path) + "/ServerData.plist";
}

// ---- serve ----

int gWakeFD = -1;  // the write end of the main loop's wake-up pipe

void onStopSignal(int) {
  int saved = errno;
  char byte = 1;
  (void)!::write(gWakeFD, &byte, 1);
  errno = saved;
}

// Every request is answered with its own fields and result 0; "result" is ours, whatever the
// request carried.
QXStatus echoRequest(QXServerConnectionRef connection, QXHttpMessageRef request, void*) {
  CHTTPMessage* message = qx::fromHandle(request);
  CFDictionaryRef fields = message->GetResponse();
  CBaseResponse response;
  if (fields != nullptr) response.SetFields(fields);
  response.SetResult(0);
  QXStatus status = message->SendResponse(response);
  CFTypeRef name = fields != nullptr ? CFDictionaryGetValue(fields, kParamMsgName) : nullptr;
  std::string what = name != nullptr ? "'" + valueText(name) + "'" : "a request without a name";
  std::printf("serve: echoed %s to %s\n", what.c_str(), utf8(QXServerConnectionGetID(connection)).c_str());
  std::fflush(stdout);
  return status;
}

QXStatus attachEcho(QXServerConnectionRef connection, QXHttpMessageRef, void*) {
  QXServerConnectionCallbacks callbacks{nullptr, echoRequest, nullptr};
  QXServerConnectionSetCallbacks(connection, &callbacks, nullptr);
  return kQXNoErr;
}

void broadcastTick(int32_t count) {
  qx::Ref<CBaseMsg> tick = qx::make<CBaseMsg>(CFSTR("tick"));
  if (!tick) return;
  tick->SetField(CFSTR("count"), static_cast<int>(count));
  QXStatus status = QXServerGetMsgBroadcaster()->SendMessageW(tick.get());
  if (status != kQXNoErr)
    std::fprintf(stderr, "qxtool serve: tick %d not sent: %s\n", count, statusText(status).c_str());
}

// Broadcasts a tick each second until `seconds` have passed (0: no limit) or SIGINT/SIGTERM
// arrives; the number of ticks sent.
int32_t tickUntilStopped(double seconds, int wakeFD) {
  const Clock::time_point start = Clock::now();
  const Clock::time_point end =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  int32_t ticks = 0;
  for (;;) {
    Clock::time_point next = start + std::chrono::seconds(ticks + 1);
    Clock::time_point until = seconds > 0 ? std::min(next, end) : next;
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    pollfd fd{wakeFD, POLLIN, 0};
    int ready = ::poll(&fd, 1, static_cast<int>(std::max<long long>(wait, 0)));
    if (ready > 0) break;  // a stop signal
    if (ready < 0 && errno != EINTR) break;
    Clock::time_point now = Clock::now();
    if (seconds > 0 && now >= end) break;
    if (now >= next) broadcastTick(++ticks);
  }
  return ticks;
}

void serveUsage(FILE* out) {
  std::fputs(
      "usage: qxtool serve [--product ID] [--port N] [--seconds S]\n"
      "  --product ID   the product whose ServerData.plist announces the server (default com.qxcore.qxtool)\n"
      "  --port N       the loopback port (default 0: any free port)\n"
      "  --seconds S    stop after S seconds (default: run until SIGINT or SIGTERM)\n",
      out);
}

}  // namespace

int runServeJob(int argc, char** argv) {
  std::string product = kDefaultProduct;
  long port = 0;
  double seconds = 0;
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    bool hasValue = i + 1 < argc;
    char* end = nullptr;
    if (arg == "--product" && hasValue) {
      product = argv[++i];
    } else if (arg == "--port" && hasValue) {
      port = std::strtol(argv[++i], &end, 10);
      if (end == argv[i] || *end != '\0' || port < 0 || port > 65535) {
        std::fprintf(stderr, "qxtool serve: bad port '%s' (0 ... 65535)\n", argv[i]);
        return 2;
      }
    } else if (arg == "--seconds" && hasValue) {
      if (!parseSeconds(argv[++i], seconds)) {
        std::fprintf(stderr, "qxtool serve: bad number of seconds '%s'\n", argv[i]);
        return 2;
      }
    } else {
      serveUsage(arg == "--help" ? stdout : stderr);
      return arg == "--help" ? 0 : 2;
    }
  }
  CFRef<CFStringRef> productID;
  if (!useProduct(product, "serve", productID)) return 1;

  // The handlers only wake the main loop, so whichever thread the signal lands on, the shutdown
  // runs on this one.
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::fprintf(stderr, "qxtool serve: %s\n", std::strerror(errno));
    return 1;
  }
  gWakeFD = wake[1];
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  struct sigaction oldInt {};
  struct sigaction oldTerm {};
  sigaction(SIGINT, &action, &oldInt);
  sigaction(SIGTERM, &action, &oldTerm);

  QXServerRef server = QXServerCreate();
  QXStatus status = server != nullptr ? QXServerInitialize(server) : kQXErrMemory;
  if (status == kQXNoErr) {
    QXServerSetConnectionCreateCB(server, attachEcho, nullptr);
    status = QXServerStartListening(server, kQXServerListenLoopback, static_cast<uint16_t>(port));
  }
  uint16_t listening = status == kQXNoErr ? QXServerGetListeningPort(server) : 0;
  bool published = false;
  if (status == kQXNoErr) {
    status = QXUtilsWriteServerData(productID.get(), listening);
    published = status == kQXNoErr;
  }
  int rc = 0;
  if (status == kQXNoErr) {
    std::printf("serve: listening on 127.0.0.1:%u, server data in %s\n", listening,
                serverDataPath(productID.get()).c_str());
    std::fflush(stdout);
    int32_t ticks = tickUntilStopped(seconds, wake[0]);
    std::printf("serve: stopping (%d ticks sent)\n", ticks);
    std::fflush(stdout);
  } else {
    std::fprintf(stderr, "qxtool serve: cannot serve on port %ld: %s\n", port, statusText(status).c_str());
    rc = 1;
  }
  // The file goes first, so that no client finds a server that is going away; but only while it is
  // ours: a server started after this one for the same product has replaced it and still runs.
  uint16_t filePort = 0;
  int32_t filePID = 0;
  if (published && QXUtilsReadServerData(productID.get(), &filePort, &filePID) == kQXNoErr && filePort == listening &&
      filePID == static_cast<int32_t>(::getpid()))
    QXUtilsDeleteServerData(productID.get());
  if (server != nullptr) {
    QXServerShutdown(server);
    QXServerSetConnectionCreateCB(server, nullptr, nullptr);
    QXServerRelease(server);
  }
  sigaction(SIGINT, &oldInt, nullptr);
  sigaction(SIGTERM, &oldTerm, nullptr);
  ::close(wake[0]);
  ::close(wake[1]);
  return rc;
}

// ---- send ----

namespace {

void sendUsage(FILE* out) {
  std::fputs(
      "usage: qxtool send [--product ID] [--wait S] NAME [KEY=VALUE...]\n"
      "  --product ID   the product whose ServerData.plist names the server (default com.qxcore.qxtool)\n"
      "  --wait S       print the broadcasts received during S seconds after the answer (default 2)\n",
      out);
}

struct Socket {
  QXSocketRef ref = nullptr;
  qx::Ref<CBaseStream> stream;
};

// A stream over a new socket to 127.0.0.1:port, connected by CBaseServerAPI::Connect.
Socket loopbackSocket(uint16_t port) {
  Socket s;
  s.ref = QXSocketCreate();
  if (s.ref == nullptr) return s;
  QXSocketSetAddressLoopback(s.ref, port);
  QXSocketSetTimeouts(s.ref, kCommandTimeoutSeconds, kCommandTimeoutSeconds);
  s.stream = qx::Ref<CBaseStream>::adopt(qx::fromHandle(QXStreamCreateForSocket(s.ref)));
  return s;
}

// Answers and prints the broadcasts that arrive on the message channel until `seconds` have passed.
// false when the channel failed otherwise than by the server closing it.
bool readBroadcasts(const Socket& channel, double seconds) {
  const Clock::time_point end =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::seconds>(end - Clock::now()).count();
    if (left <= 0) return true;
    // Socket time-outs come in whole seconds: a read may run up to a second past the end, and what
    // arrives then is left alone, as is whatever a timed-out read left unread.
    QXSocketSetTimeouts(channel.ref, kCommandTimeoutSeconds, static_cast<uint32_t>(left));
    CHTTPMessage message(kHTTPMessageRequest);
    QXStatus status = message.Read(channel.stream.get());
    if (Clock::now() >= end) return true;
    if (status == kQXErrNotConnected) {
      std::printf("the server closed the message channel\n");
      return true;
    }
    if (status != kQXNoErr) {
      std::fprintf(stderr, "qxtool send: reading a broadcast: %s\n", statusText(status).c_str());
      return false;
    }
    CFDictionaryRef fields = message.GetResponse();
    CFTypeRef name = fields != nullptr ? CFDictionaryGetValue(fields, kParamMsgName) : nullptr;
    std::printf("message %s\n", name != nullptr ? valueText(name).c_str() : "(without a name)");
    printFields(fields, {kParamMsgName});
    std::fflush(stdout);
    CBaseResponse response;
    response.SetResult(0);
    status = message.SendResponse(response);
    if (status != kQXNoErr) {
      std::fprintf(stderr, "qxtool send: answering a broadcast: %s\n", statusText(status).c_str());
      return false;
    }
  }
}

}  // namespace

int runSendJob(int argc, char** argv) {
  std::string product = kDefaultProduct;
  double wait = 2;
  std::vector<std::string> positional;
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    bool hasValue = i + 1 < argc;
    if (arg == "--product" && hasValue) {
      product = argv[++i];
    } else if (arg == "--wait" && hasValue) {
      if (!parseSeconds(argv[++i], wait)) {
        std::fprintf(stderr, "qxtool send: bad number of seconds '%s'\n", argv[i]);
        return 2;
      }
    } else if (arg.rfind("--", 0) == 0) {
      sendUsage(arg == "--help" ? stdout : stderr);
      return arg == "--help" ? 0 : 2;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.empty() || positional[0].empty()) {
    sendUsage(stderr);
    return 2;
  }
  CFRef<CFStringRef> name = cfString(positional[0]);
  qx::Ref<CBaseMsg> message = qx::make<CBaseMsg>(name.get());
  if (!name || !message) {
    std::fprintf(stderr, "qxtool send: the name is not UTF-8\n");
    return 2;
  }
  for (size_t i = 1; i < positional.size(); ++i) {
    size_t equals = positional[i].find('=');
    CFRef<CFStringRef> key = equals != std::string::npos ? cfString(positional[i].substr(0, equals)) : nullptr;
    CFRef<CFStringRef> value = equals != std::string::npos ? cfString(positional[i].substr(equals + 1)) : nullptr;
    // msg_name is the name itself; a field of that key would silently rename the message.
    if (equals == 0 || !key || !value || CFStringCompare(key.get(), kParamMsgName, 0) == kCFCompareEqualTo) {
      std::fprintf(stderr, "qxtool send: bad field '%s' (KEY=VALUE in UTF-8, KEY not empty nor msg_name)\n",
                   positional[i].c_str());
      return 2;
    }
    message->SetField(key.get(), value.get());
  }

  CFRef<CFStringRef> productID;
  if (!useProduct(product, "send", productID)) return 1;
  uint16_t port = 0;
  int32_t pid = 0;
  QXStatus status = QXUtilsReadServerData(productID.get(), &port, &pid);
  if (status == ENOENT || (status == kQXNoErr && port == 0)) {
    std::fprintf(stderr, "qxtool send: no server for %s: %s %s (is qxtool serve running?)\n", product.c_str(),
                 serverDataPath(productID.get()).c_str(), status == ENOENT ? "does not exist" : "names no port");
    return 1;
  }
  if (status != kQXNoErr) {
    std::fprintf(stderr, "qxtool send: cannot read %s: %s\n", serverDataPath(productID.get()).c_str(),
                 statusText(status).c_str());
    return 1;
  }

  Socket command = loopbackSocket(port), channel = loopbackSocket(port);
  qx::Ref<CBaseServerAPI> api = qx::make<CBaseServerAPI>();
  status = command.stream && channel.stream && api ? kQXNoErr : kQXErrMemory;
  if (status == kQXNoErr) {
    api->SetCmdStream(command.stream.get());
    api->SetMsgStream(channel.stream.get());
    status = api->Connect(0);
  }
  int rc = 1;
  if (status != kQXNoErr) {
    std::fprintf(stderr, "qxtool send: cannot connect to 127.0.0.1:%u (process %d): %s\n", port, pid,
                 statusText(status).c_str());
  } else {
    std::printf("connected to 127.0.0.1:%u as %s\n", port, utf8(api->GetConnectionID()).c_str());
    std::fflush(stdout);
    CHTTPMessage request(nullptr, kURIServer, kCmdMessage), answer(kHTTPMessageResponse);
    status = request.SetContent(message.get());
    if (status == kQXNoErr) status = request.Write(command.stream.get());
    if (status == kQXNoErr) status = answer.Read(command.stream.get());
    CFDictionaryRef fields = status == kQXNoErr ? answer.GetResponse() : nullptr;
    if (status == kQXNoErr && (answer.GetResponseCode() != 200 || fields == nullptr)) status = kQXServerErrBadAnswer;
    if (status == kQXNoErr) status = CBaseResponse(fields).GetResult();
    if (fields != nullptr) {
      std::printf("answer: result %d\n", CBaseResponse(fields).GetResult());
      printFields(fields, {kBaseResponseResult});
      std::fflush(stdout);
    }
    if (status != kQXNoErr) {
      std::fprintf(stderr, "qxtool send: the request failed: %s\n", statusText(status).c_str());
    } else if (readBroadcasts(channel, wait)) {
      rc = 0;
    }
  }
  if (api) api->Disconnect();
  if (command.ref != nullptr) QXSocketRelease(command.ref);
  if (channel.ref != nullptr) QXSocketRelease(channel.ref);
  return rc;
}
