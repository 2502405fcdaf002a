// Reading an HTTP message from a stream: start line, headers, and a body given by Content-Length
// or in chunks. The bytes come from other processes, so every line, the headers in all and the
// body have caps, and a body grows only as its bytes arrive.
#include <QXCore/QXMessage.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "net/HttpMessageState.h"
#include "net/LargeBuffers.h"
#include "net/ServerInternal.h"

static_assert(int{kQXHttpErrTooLarge} == int{kQXStreamErrLineTooLong}, "an overlong line keeps the stream's status");
static_assert(int{kQXHttpMaxLineLength} == int{kQXStreamMaxLineLength}, "the stream's line cap is the message's");

using qxcf::adopt;
using qxcf::CFRef;

namespace {

std::atomic<uint64_t> gMaxContentLength{kQXHttpDefaultMaxContentLength};

constexpr uint64_t kNoLength = std::numeric_limits<uint64_t>::max();

std::string_view Trim(std::string_view text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == text.npos) return {};
  size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

// Plain decimal or hexadecimal digits, at least one; a value too large for 64 bits saturates (it
// is above any cap).
bool ParseDigits(std::string_view text, unsigned base, uint64_t& value) {
  if (text.empty()) return false;
  value = 0;
  for (char c : text) {
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;
    }
    value = value > (kNoLength - digit) / base ? kNoLength : value * base + digit;
  }
  return true;
}

// Lines of one message through the stream's own ReadLine (which caps each line), with the header
// caps on top.
class LineReader {
 public:
  explicit LineReader(CBaseStream& stream) : mStream(stream), mBuffer(static_cast<char*>(std::malloc(4))) {}
  ~LineReader() { std::free(mBuffer); }
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  QXStatus Next(std::string_view& line) {
    if (mBuffer == nullptr) return kQXErrMemory;
    QXStatus status = mStream.ReadLine(mBuffer, mCapacity);
    if (status != 0) return status;
    line = std::string_view(mBuffer, std::strlen(mBuffer));
    return line.size() > kQXHttpMaxLineLength ? kQXHttpErrTooLarge : 0;
  }
  // A header or trailer line, counted against the header caps.
  QXStatus NextHeader(std::string_view& line) {
    QXStatus status = Next(line);
    if (status != 0) return status;
    mHeaderBytes += line.size() + 2;
    if (++mHeaderLines > kQXHttpMaxHeaderLines + 1 || mHeaderBytes > kQXHttpMaxHeaderBytes) return kQXHttpErrTooLarge;
    return 0;
  }

 private:
  CBaseStream& mStream;
  char* mBuffer;
  uint64_t mCapacity = 4;
  uint64_t mHeaderLines = 0;  // the empty line that ends the headers is one of them
  uint64_t mHeaderBytes = 0;
};

// A body as it arrives: a block that grows without being zero-filled first (large ones come from
// the kept buffers), handed over as immutable data when complete.
class BodyBuffer {
 public:
  BodyBuffer() = default;
  ~BodyBuffer() { qxnet::ReleaseLargeBuffer(mBytes); }
  BodyBuffer(const BodyBuffer&) = delete;
  BodyBuffer& operator=(const BodyBuffer&) = delete;

  uint64_t Size() const { return mSize; }
  char* End() { return static_cast<char*>(mBytes) + mSize; }
  void Grow(uint64_t count) { mSize += count; }

  // Room for `more` bytes after the end; false when memory runs out.
  bool Reserve(uint64_t more) {
    if (more <= mCapacity - mSize) return true;
    if (more > std::numeric_limits<size_t>::max() / 2 - mSize) return false;
    // Many small chunks must not cost a reallocation each.
    uint64_t wanted = std::max(mSize + more, mCapacity + mCapacity / 2);
    size_t capacity = 0;
    void* bytes = qxnet::GrowLargeBuffer(mBytes, mSize, wanted, capacity);
    if (bytes == nullptr) return false;
    mBytes = bytes;
    mCapacity = capacity;
    return true;
  }

  // The bytes as data that gives them back when it goes; null when empty or memory runs out.
  CFDataRef Release() {
    if (mSize == 0) return nullptr;
    return qxnet::CreateDataWithLargeBuffer(std::exchange(mBytes, nullptr), mSize);
  }

 private:
  void* mBytes = nullptr;
  uint64_t mSize = 0;
  uint64_t mCapacity = 0;
};

// Appends `length` bytes from the stream, growing the body as they arrive: a peer that announces
// more than it sends costs no more memory than it sent.
QXStatus AppendBody(CBaseStream& stream, uint64_t length, BodyBuffer& body) {
  // A stream that knows its length and position (memory, files) holds the bytes already: one step.
  uint64_t size = 0, at = 0;
  const bool there = stream.GetLength(size) == 0 && stream.GetPos(at) == 0 && size >= at && size - at >= length;
  // Otherwise (a socket) the body grows as bytes arrive, from at most 16 MiB reserved up front:
  // reserved pages cost no memory until written, so a peer that announces more than it sends costs
  // no more than it sent, and a message of up to that size is read without a reallocation.
  const uint64_t firstStep = there ? length : std::min<uint64_t>(length, 16u << 20);
  while (length > 0) {
    uint64_t step = std::min(length, std::max(firstStep, body.Size()));
    if (!body.Reserve(step)) return kQXErrMemory;
    uint64_t count = step;
    QXStatus status = stream.ReadChunk(body.End(), true, count);
    if (count > step) count = 0;
    body.Grow(count);
    if (status != 0) return status;
    if (count == 0) return kQXErrGeneric;  // the stream ended first
    length -= count;
  }
  return 0;
}

QXStatus ReadChunkedBody(CBaseStream& stream, LineReader& lines, BodyBuffer& body) {
  uint64_t cap = QXHttpGetMaxContentLength();
  for (;;) {
    std::string_view line;
    QXStatus status = lines.Next(line);
    if (status != 0) return status;
    uint64_t size = 0;
    if (!ParseDigits(Trim(line.substr(0, line.find(';'))), 16, size)) return kQXHttpErrBadMessage;
    if (size == 0) break;
    if (size > cap - body.Size()) return kQXHttpErrTooLarge;
    status = AppendBody(stream, size, body);
    if (status != 0) return status;
    status = lines.Next(line);
    if (status != 0) return status;
    if (!line.empty()) return kQXHttpErrBadMessage;
  }
  // Trailer fields are read and dropped; they count against the header caps.
  for (;;) {
    std::string_view line;
    QXStatus status = lines.NextHeader(line);
    if (status != 0) return status;
    if (line.empty()) return 0;
  }
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  for (;;) {
    size_t at = text.find(separator);
    pieces.push_back(text.substr(0, at));
    if (at == text.npos) return pieces;
    text.remove_prefix(at + 1);
  }
}

// NULL for a malformed escape: such a value is left out.
CFStringRef CreateUnescaped(std::string_view text) {
  CFRef<CFStringRef> raw = adopt(qxhttp::CreateString(text));
  if (!raw || text.find('%') == text.npos) return raw.release();
  return CFURLCreateStringByReplacingPercentEscapes(nullptr, raw.get(), CFSTR(""));
}

QXStatus ParseStartLine(qxhttp::MessageState& s, std::string_view line) {
  std::vector<std::string_view> words = Split(line, ' ');
  if (s.type != kHTTPMessageRequest) {
    uint64_t code = 0;
    bool valid = words.size() > 1 && ParseDigits(words[1], 10, code) && code <= INT32_MAX;
    s.responseCode = valid ? static_cast<int32_t>(code) : 0;
    return 0;
  }
  CFRef<CFStringRef> method = adopt(qxhttp::CreateString(words[0]));
  if (!method) return kQXErrMemory;
  s.method = method;
  if (words.size() < 2) return 0;
  std::string_view target = words[1];
  if (!target.empty() && target.front() == '/') target.remove_prefix(1);
  size_t question = target.find('?');
  CFRef<CFStringRef> uri = adopt(qxhttp::CreateString(target.substr(0, question)));
  if (!uri) return kQXErrMemory;
  s.uriParts.reset(qxhttp::CreateParts(uri.get()));
  if (!s.uriParts) return kQXErrMemory;
  s.uri = uri;
  if (question == target.npos) return 0;
  return qxhttp::ParseQuery(target.substr(question + 1), s.params.get());
}

}  // namespace

namespace qxhttp {

QXStatus ParseQuery(std::string_view query, CFMutableDictionaryRef params) {
  // The arrays this query grows, by key: appending in place keeps a query that repeats one key
  // thousands of times linear.
  CFRef<CFMutableDictionaryRef> grown =
      adopt(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  if (!grown) return kQXErrMemory;
  for (std::string_view piece : Split(query, '&')) {
    std::vector<std::string_view> pair = Split(piece, '=');
    if (pair.size() != 2) continue;
    CFRef<CFStringRef> key = adopt(CreateUnescaped(pair[0]));
    CFRef<CFStringRef> value = adopt(CreateUnescaped(pair[1]));
    if (!key || !value) continue;
    CFTypeRef existing = CFDictionaryGetValue(params, key.get());
    if (existing == nullptr) {
      CFDictionarySetValue(params, key.get(), value.get());
      continue;
    }
    auto values = static_cast<CFMutableArrayRef>(const_cast<void*>(CFDictionaryGetValue(grown.get(), key.get())));
    if (values == nullptr) {
      CFRef<CFMutableArrayRef> made;
      if (qxmsg::IsArray(existing)) {
        made.reset(CFArrayCreateMutableCopy(nullptr, 0, static_cast<CFArrayRef>(existing)));
      } else {
        made.reset(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
        if (made) CFArrayAppendValue(made.get(), existing);
      }
      if (!made) return kQXErrMemory;
      CFDictionarySetValue(grown.get(), key.get(), made.get());
      CFDictionarySetValue(params, key.get(), made.get());
      values = made.get();
    }
    CFArrayAppendValue(values, value.get());
  }
  return 0;
}

CFArrayRef CreateParts(CFStringRef uri) {
  CFRef<CFMutableArrayRef> parts = adopt(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
  if (!parts) return nullptr;
  std::string text = UTF8(uri);
  for (std::string_view piece : Split(text, '/')) {
    CFRef<CFStringRef> part = adopt(CreateString(piece));
    if (!part) return nullptr;
    CFArrayAppendValue(parts.get(), part.get());
  }
  return parts.release();
}

}  // namespace qxhttp

QX_EXPORT void QXHttpSetMaxContentLength(uint64_t bytes) { gMaxContentLength.store(bytes, std::memory_order_relaxed); }
QX_EXPORT uint64_t QXHttpGetMaxContentLength(void) { return gMaxContentLength.load(std::memory_order_relaxed); }

QXStatus CHTTPMessage::Read(CBaseStream* stream) {
  State& s = *mState;
  // Nothing of an earlier message survives into this one; the type and method stay (a response's
  // method is not on its start line).
  qxhttp::MessageState fresh;
  fresh.type = s.type;
  fresh.method = s.method;
  static_cast<qxhttp::MessageState&>(s) = std::move(fresh);
  s.stream = qx::Ref<CBaseStream>::retain(stream);
  if (stream == nullptr) return kQXErrGeneric;
  // On a client's message channel, reading the answer ends the exchange its request began.
  qxnet::ExchangeEnd exchange(stream);
  try {
    s.headers.reset(qxhttp::NewDictionary());
    s.params.reset(qxhttp::NewDictionary());
    if (!s.headers || !s.params) return kQXErrMemory;
    LineReader lines(*stream);
    std::string_view line;
    QXStatus status = lines.Next(line);
    if (status != 0) return status;
    if (line.empty()) return kQXErrGeneric;
    status = ParseStartLine(s, line);
    if (status != 0) return status;

    uint64_t length = kNoLength;
    for (;;) {
      status = lines.NextHeader(line);
      if (status != 0) return status;
      if (line.empty()) break;
      size_t colon = line.find(':');
      std::string_view name = Trim(line.substr(0, colon == line.npos ? 0 : colon));
      if (name.empty()) continue;  // not a header; nothing to take from it
      std::string_view value = Trim(line.substr(colon + 1));
      CFRef<CFStringRef> nameText = adopt(qxhttp::CreateString(name));
      CFRef<CFStringRef> valueText = adopt(qxhttp::CreateString(value));
      if (!nameText || !valueText) return kQXErrMemory;
      SetHeader(nameText.get(), valueText.get());
      if (qxhttp::EqualsNoCase(name, "Content-Length")) {
        uint64_t announced = 0;
        if (!ParseDigits(value, 10, announced) || (length != kNoLength && announced != length))
          return kQXHttpErrBadMessage;
        if (announced > QXHttpGetMaxContentLength()) return kQXHttpErrTooLarge;
        length = announced;
      } else if (qxhttp::EqualsNoCase(name, "Transfer-Encoding")) {
        // Only chunked is decoded; any other coding leaves the body's end unknown.
        if (!qxhttp::EqualsNoCase(value, "chunked")) return kQXHttpErrBadMessage;
        s.chunked = true;
      } else if (qxhttp::EqualsNoCase(name, "Host")) {
        s.host = valueText;
      } else if (qxhttp::EqualsNoCase(name, "Content-Type")) {
        s.contentType.reset(qxhttp::CreateString(value.substr(0, value.find_first_of(" \t"))));
      }
    }
    // Both at once is how one peer is made to see a different body than the next.
    if (s.chunked && length != kNoLength) return kQXHttpErrBadMessage;
    if (!s.chunked && (length == kNoLength || length == 0)) return 0;
    // A client that asks first (curl does, for large bodies) would otherwise wait a second before
    // sending the body; only a peer on a socket can be answered.
    CFStringRef expect = qxhttp::FindHeader(s.headers.get(), CFSTR("Expect"));
    if (s.type == kHTTPMessageRequest && expect != nullptr && qxnet::SocketOf(stream) != nullptr &&
        qxhttp::EqualsNoCase(qxhttp::UTF8(expect), "100-continue")) {
      static constexpr char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
      uint64_t count = sizeof kContinue - 1;
      status = stream->WriteChunk(kContinue, count);
      if (status != 0) return status;
    }

    BodyBuffer body;
    status = s.chunked ? ReadChunkedBody(*stream, lines, body) : AppendBody(*stream, length, body);
    if (status != 0) return status;
    s.contentLength = body.Size();
    if (s.contentLength > 0) {
      s.content.reset(body.Release());
      if (!s.content) return kQXErrMemory;
      s.contentIsOurs = true;
    }
    return 0;
  } catch (const std::bad_alloc&) {
    return kQXErrMemory;
  }
}

char* CHTTPMessage::ReadLine(const char* buffer, uint64_t& position, uint64_t length) {
  if (buffer == nullptr || position >= length) return nullptr;
  const char* begin = buffer + position;
  uint64_t left = length - position;
  for (uint64_t i = 0; i + 1 < left; ++i) {
    if (begin[i] != '\r' || begin[i + 1] != '\n') continue;
    position += i + 2;
    if (i == 0) return nullptr;
    auto* line = static_cast<char*>(std::malloc(i + 1));
    if (line == nullptr) return nullptr;
    std::memcpy(line, begin, i);
    line[i] = '\0';
    return line;
  }
  return nullptr;
}
