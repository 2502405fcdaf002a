// The kept large buffers. Each block carries its capacity in a header before the bytes handed out,
// so that a CFData deallocator, which is given only the pointer, can give it back.
#include "net/LargeBuffers.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

struct alignas(16) Header {
  size_t capacity;
};

struct Kept {
  std::mutex lock;
  std::vector<Header*> blocks;
  size_t bytes = 0;
};

Kept& TheKept() {
  static Kept* const kept = new Kept();  // never destroyed: blocks may come back during exit
  return *kept;
}

void* BytesOf(Header* header) { return header + 1; }
Header* HeaderOf(void* bytes) { return static_cast<Header*>(bytes) - 1; }

}  // namespace

void* qxnet::AcquireLargeBuffer(size_t size, size_t& capacity) {
  if (size >= kLargeBufferMin) {
    Kept& kept = TheKept();
    std::lock_guard<std::mutex> hold(kept.lock);
    // The smallest kept block that fits, unless it is more than twice what is asked.
    auto best = kept.blocks.end();
    for (auto it = kept.blocks.begin(); it != kept.blocks.end(); ++it) {
      size_t c = (*it)->capacity;
      if (c >= size && c / 2 <= size && (best == kept.blocks.end() || c < (*best)->capacity)) best = it;
    }
    if (best != kept.blocks.end()) {
      Header* header = *best;
      kept.blocks.erase(best);
      kept.bytes -= header->capacity;
      capacity = header->capacity;
      return BytesOf(header);
    }
  }
  if (size > SIZE_MAX - sizeof(Header)) return nullptr;
  auto* header = static_cast<Header*>(std::malloc(sizeof(Header) + std::max<size_t>(size, 1)));
  if (header == nullptr) return nullptr;
  header->capacity = std::max<size_t>(size, 1);
  capacity = header->capacity;
  return BytesOf(header);
}

void qxnet::ReleaseLargeBuffer(void* block) {
  if (block == nullptr) return;
  Header* header = HeaderOf(block);
  if (header->capacity >= kLargeBufferMin) {
    Kept& kept = TheKept();
    std::lock_guard<std::mutex> hold(kept.lock);
    if (kept.bytes + header->capacity <= kMaxKeptBytes) {
      kept.blocks.push_back(header);
      kept.bytes += header->capacity;
      return;
    }
  }
  std::free(header);
}

void* qxnet::GrowLargeBuffer(void* block, size_t used, size_t size, size_t& capacity) {
  if (block != nullptr && HeaderOf(block)->capacity >= size) {
    capacity = HeaderOf(block)->capacity;
    return block;
  }
  size_t grown = 0;
  void* bigger = AcquireLargeBuffer(size, grown);
  if (bigger == nullptr) return nullptr;
  if (used > 0) std::memcpy(bigger, block, used);
  ReleaseLargeBuffer(block);
  capacity = grown;
  return bigger;
}

namespace {

CFAllocatorRef Deallocator() {
  static const CFAllocatorRef allocator = [] {
    CFAllocatorContext context = {};
    // CFAllocatorCreate wants an allocate function; data made with this one never allocates.
    context.allocate = [](CFIndex, CFOptionFlags, void*) -> void* { return nullptr; };
    context.deallocate = [](void* bytes, void*) { qxnet::ReleaseLargeBuffer(bytes); };
    return CFAllocatorCreate(nullptr, &context);
  }();
  return allocator;
}

}  // namespace

CFDataRef qxnet::CreateDataWithLargeBuffer(void* block, size_t length) {
  if (block == nullptr) return nullptr;
  CFAllocatorRef deallocator = Deallocator();
  CFDataRef data = deallocator != nullptr
                       ? CFDataCreateWithBytesNoCopy(nullptr, static_cast<const UInt8*>(block),
                                                     static_cast<CFIndex>(length), deallocator)
                       : CFDataCreate(nullptr, static_cast<const UInt8*>(block), static_cast<CFIndex>(length));
  if (data == nullptr || deallocator == nullptr) ReleaseLargeBuffer(block);
  return data;
}

void qxnet::DropKeptLargeBuffers() {
  std::vector<Header*> blocks;
  {
    Kept& kept = TheKept();
    std::lock_guard<std::mutex> hold(kept.lock);
    blocks.swap(kept.blocks);
    kept.bytes = 0;
  }
  for (Header* header : blocks) std::free(header);
}
