// Fuzzes ReadLine over a memory stream. The first input byte chooses the starting capacity (1-16);
// the buffer is malloc'ed at exactly that size so ASan sees any write past it as it grows. Lines
// are read until a non-zero status, and each one is checked against a plain CR LF split of the
// input: the bytes before the CR of each CR LF, then -1 with the unterminated tail. An overlong
// line must hold exactly the bytes consumed, and the stream must go on right after them.
#include <QXCore/QXStream.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "net_readline_fuzz: %s\n", what);
  std::abort();
}

// Lines as ReadLine must give them, where each starts in the input, and the tail after the last
// CR LF.
std::vector<std::string> plainSplit(const std::string& bytes, std::vector<size_t>& starts, std::string& tail) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t i = start; i + 1 < bytes.size(); ++i) {
    if (bytes[i] == '\r' && bytes[i + 1] == '\n') {
      lines.push_back(bytes.substr(start, i - start));
      starts.push_back(start);
      start = i + 2;
      i = start - 1;
    }
  }
  starts.push_back(start);
  tail = bytes.substr(start);
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  uint64_t capacity = 1 + (data[0] & 15);
  std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string tail;
  std::vector<size_t> starts;
  std::vector<std::string> expected = plainSplit(bytes, starts, tail);

  CFDataRef input =
      CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()), static_cast<CFIndex>(bytes.size()));
  QXStreamRef stream = QXStreamCreateForData(input);
  CFRelease(input);
  if (stream == nullptr || QXStreamOpen(stream) != 0) fail("open");
  char* buffer = static_cast<char*>(std::malloc(capacity));
  if (buffer == nullptr) fail("malloc");

  size_t index = 0;
  int32_t status = 0;
  for (;;) {
    status = QXStreamReadLine(stream, &buffer, &capacity);
    if (capacity > uint64_t{kQXStreamMaxLineLength} + 2 && capacity > 16) fail("capacity beyond the cap");
    const std::string& want = index < expected.size() ? expected[index] : tail;
    // Bytes stored for this line: its CR too, when it has one.
    size_t stored = want.size() + (index < expected.size() ? 1 : 0);
    if (stored > kQXStreamMaxLineLength) {
      if (status != kQXStreamErrLineTooLong) fail("an overlong line passed");
      // The cap, or one byte more when the cap falls just after a CR that no LF follows.
      const std::string line = bytes.substr(starts[index]);
      size_t kept = kQXStreamMaxLineLength + (line[kQXStreamMaxLineLength - 1] == '\r' ? 1 : 0);
      if (std::memcmp(buffer, line.data(), kept) != 0 || buffer[kept] != 0) fail("overlong line differs");
      std::string rest(line.size() - kept + 1, '\0');
      uint64_t count = 0;
      if (QXStreamRead(stream, rest.data(), rest.size(), &count) != 0 || rest.substr(0, count) != line.substr(kept))
        fail("bytes lost after an overlong line");
      std::free(buffer);
      QXStreamRelease(stream);
      return 0;
    }
    if (status != 0) break;
    if (index >= expected.size()) fail("a line where the input has no CR LF left");
    if (want.size() >= capacity || std::memcmp(buffer, want.data(), want.size()) != 0 || buffer[want.size()] != 0)
      fail("line differs from the plain split");
    ++index;
  }
  if (status != -1) fail("end of data is not -1");
  if (index != expected.size()) fail("lines lost");
  if (tail.size() >= capacity || std::memcmp(buffer, tail.data(), tail.size()) != 0 || buffer[tail.size()] != 0)
    fail("tail differs");
  std::free(buffer);
  QXStreamRelease(stream);
  return 0;
}
