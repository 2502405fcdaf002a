#include "color/ColorCube.h"

#include <QXCore/QXLog.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "color/ColorEngine.h"
#include "image/PoolTasks.h"

namespace qxcolor {

namespace {

constexpr int32_t kModeRGB = 1, kModeCMYK = 2, kModeGray = 3;

bool GridAllowed(int32_t mode, int32_t grid) {
  switch (mode) {
    case kModeRGB: return grid >= 2 && grid <= 256;
    case kModeCMYK: return grid >= 2 && grid <= 64;
    case kModeGray: return grid == 256;
    default: return false;
  }
}

uint64_t TableBytes(int32_t mode, int32_t grid) {
  const uint64_t g = static_cast<uint64_t>(grid);
  return mode == kModeRGB ? g * g * g * 3 : mode == kModeCMYK ? g * g * g * g * 3 : 768;
}

// Grid value of index i, in single precision as the table layout fixes it.
std::vector<uint8_t> GridValues(int32_t grid) {
  std::vector<uint8_t> values(static_cast<size_t>(grid));
  const float step = 255.0f / static_cast<float>(grid - 1);
  for (int32_t i = 0; i < grid; ++i) values[i] = static_cast<uint8_t>(static_cast<float>(i) * step + 0.5f);
  return values;
}

uint8_t Blend(float f, uint8_t lower, uint8_t upper) {
  const float sum = (1.0f - f) * static_cast<float>(lower) + f * static_cast<float>(upper);
  return static_cast<uint8_t>(static_cast<double>(sum) + 0.5);
}

}  // namespace

bool ModeForModel(int32_t model, int32_t grid, int32_t& mode, int32_t& outGrid) {
  switch (model) {
    case 1: mode = kModeGray, outGrid = 256; return true;
    case 2: mode = kModeRGB, outGrid = grid; return true;
    case 3: mode = kModeCMYK, outGrid = grid; return true;
    default: return false;
  }
}

QXStatus MakeCubeTable(CFDataRef data, int32_t mode, int32_t grid, CubeTablePtr& out) {
  if (!data || !GridAllowed(mode, grid)) return kQXErrInvalidArgument;
  if (static_cast<uint64_t>(CFDataGetLength(data)) != TableBytes(mode, grid)) return kQXErrInvalidArgument;
  auto table = std::shared_ptr<CubeTable>(new (std::nothrow) CubeTable);
  if (!table) return kQXErrMemory;
  table->data = qxcf::CFRef<CFDataRef>::retain(data);
  table->mode = mode;
  table->grid = grid;
  table->grid2 = static_cast<uint32_t>(grid * grid);
  table->grid3 = table->grid2 * static_cast<uint32_t>(grid);
  table->scale = static_cast<float>(grid - 1) / 255.0f;
  table->bytes = CFDataGetBytePtr(data);
  if (mode != kModeGray) {
    const auto g = static_cast<uint32_t>(grid);
    for (int v = 0; v < 256; ++v) {
      const float x = static_cast<float>(v) * table->scale;
      const float fl = std::floor(x);
      const uint32_t i = static_cast<uint32_t>(static_cast<int32_t>(fl) & 0xFF);
      const uint32_t u = std::min(i + 1, g - 1);
      table->fraction[v] = x - fl;
      uint32_t stride = 3;  // bytes per entry, then per step along the next axis
      for (int axis = 0; axis < 4; ++axis, stride *= g) {
        table->lower[axis][v] = i * stride;
        table->upper[axis][v] = u * stride;
      }
    }
  }
  out = std::move(table);
  return kQXNoErr;
}

QXStatus BuildCubeData(cmsHPROFILE source, cmsHPROFILE target, int32_t mode, int32_t grid,
                       qxcf::CFRef<CFDataRef>& out) {
  if (!GridAllowed(mode, grid)) return kQXErrInvalidArgument;
  // Rows of the RGB cube are 32-bit quads whose fourth byte is ignored; CMYK rows hold complements
  // of the grid values, so that index 0 is full ink.
  const cmsUInt32Number inFormat = mode == kModeRGB ? TYPE_RGBA_8 : mode == kModeCMYK ? TYPE_CMYK_8 : TYPE_GRAY_8;
  const cmsUInt32Number outFormat = mode == kModeRGB ? TYPE_RGBA_8 : TYPE_RGB_8;
  Transform transform(CreateTransform(source, inFormat, target, outFormat, INTENT_RELATIVE_COLORIMETRIC, true));
  if (!transform) return kQXErrUnsupportedFormat;

  const uint64_t total = TableBytes(mode, grid);
  // Not zero-filled: every byte is written below, and the building threads take the first-touch
  // page faults of their own slices in parallel (a 64^4 table is 48 MiB).
  std::unique_ptr<uint8_t, decltype(&std::free)> bytes(static_cast<uint8_t*>(std::malloc(total)), &std::free);
  if (!bytes) return kQXErrMemory;
  uint8_t* table = bytes.get();
  // The finished table as immutable data that frees the block.
  auto finish = [&]() -> QXStatus {
    CFDataRef data = CFDataCreateWithBytesNoCopy(nullptr, table, static_cast<CFIndex>(total), kCFAllocatorDefault);
    if (data == nullptr) return kQXErrMemory;
    (void)bytes.release();
    out = qxcf::adopt(data);
    return kQXNoErr;
  };
  const std::vector<uint8_t> v = GridValues(grid);
  const auto g = static_cast<size_t>(grid);

  if (mode == kModeGray) {
    cmsDoTransform(transform.get(), v.data(), table, 256);
    return finish();
  }
  // One g x g plane per job index (c3 for RGB, c4 for CMYK) on the shared pool. Little CMS runs
  // one transform made without its pixel cache on several threads at once; each index fills its
  // own slice of the table.
  std::atomic<bool> failed{false};
  auto plane = [&](int32_t index) {
    const auto outer = static_cast<size_t>(index);
    try {
      std::vector<uint8_t> in(g * g * 4), result(mode == kModeRGB ? g * g * 4 : 0);
      const size_t inner = mode == kModeRGB ? 1 : g;
      for (size_t c3 = 0; c3 < inner; ++c3) {
        for (size_t c2 = 0; c2 < g; ++c2) {
          for (size_t c1 = 0; c1 < g; ++c1) {
            uint8_t* px = &in[(c2 * g + c1) * 4];
            if (mode == kModeRGB) {
              px[0] = v[c1], px[1] = v[c2], px[2] = v[outer], px[3] = 0xFF;
            } else {
              px[0] = static_cast<uint8_t>(~v[c1]), px[1] = static_cast<uint8_t>(~v[c2]);
              px[2] = static_cast<uint8_t>(~v[c3]), px[3] = static_cast<uint8_t>(~v[outer]);
            }
          }
        }
        if (mode == kModeRGB) {
          cmsDoTransform(transform.get(), in.data(), result.data(), static_cast<cmsUInt32Number>(g * g));
          uint8_t* dst = table + outer * g * g * 3;
          for (size_t p = 0; p < g * g; ++p) std::copy_n(&result[p * 4], 3, dst + p * 3);
        } else {
          cmsDoTransform(transform.get(), in.data(), table + ((outer * g + c3) * g * g) * 3,
                         static_cast<cmsUInt32Number>(g * g));
        }
      }
    } catch (const std::bad_alloc&) {
      failed = true;
    }
  };
  qximage::ParallelJob job;
  job.Start(grid, plane);
  job.Finish();
  if (failed) return kQXErrMemory;
  return finish();
}

void CubeRGB(const CubeTable* t, const uint8_t in[3], uint8_t out[3]) {
  if (!t || t->mode != kModeRGB) {
    std::copy_n(in, 3, out);
    return;
  }
  const uint32_t lo = t->lower[0][in[0]] + t->lower[1][in[1]] + t->lower[2][in[2]];
  const uint32_t hi = t->upper[0][in[0]] + t->upper[1][in[1]] + t->upper[2][in[2]];
  const float f[3] = {t->fraction[in[0]], t->fraction[in[1]], t->fraction[in[2]]};
  for (int n = 0; n < 3; ++n) out[n] = Blend(f[n], t->bytes[lo + n], t->bytes[hi + n]);
}

void CubeCMYK(const CubeTable* t, const uint8_t in[4], uint8_t out[3]) {
  if (!t || t->mode != kModeCMYK) {
    for (int n = 0; n < 3; ++n) out[n] = static_cast<uint8_t>(255 - std::min(in[n] + in[3], 255));
    return;
  }
  // The fourth input picks its layer without a fraction of its own.
  const size_t lo = size_t{t->lower[0][in[0]]} + t->lower[1][in[1]] + t->lower[2][in[2]] + t->lower[3][in[3]];
  const size_t hi = size_t{t->upper[0][in[0]]} + t->upper[1][in[1]] + t->upper[2][in[2]] + t->upper[3][in[3]];
  const float f[3] = {t->fraction[in[0]], t->fraction[in[1]], t->fraction[in[2]]};
  for (int n = 0; n < 3; ++n) out[n] = Blend(f[n], t->bytes[lo + n], t->bytes[hi + n]);
}

void CubeGray(const CubeTable* t, uint8_t v, uint8_t out[3]) {
  if (!t || t->mode != kModeGray) {
    out[0] = out[1] = out[2] = v;
    return;
  }
  std::copy_n(t->bytes + size_t{v} * 3, 3, out);
}

}  // namespace qxcolor

namespace qxcolor {

QXStatus ApplyTable(const CubeTable* table, QXImageRef image) {
  if (!image) return kQXErrInvalidArgument;
  if (QXImageGetColorSpaceType(image) != kQXImageColorSpaceRGB) return kQXErrGeneric;
  const int32_t depth = QXImageGetDepth(image), planes = QXImageGetNumPlanes(image);
  if ((depth != 8 && depth != 16) || planes < 3) return kQXErrUnsupportedFormat;
  // Without a table every pixel would come back as it was, or for 16 bits without its low byte.
  if (!table || table->mode != kModeRGB) return kQXNoErr;
  const QXRect bounds = QXImageGetBounds(image);
  const auto width = static_cast<size_t>(bounds.width), stride = static_cast<size_t>(planes);
  std::vector<uint16_t> row;
  try {
    row.resize(width * stride);
  } catch (const std::bad_alloc&) {
    return kQXErrMemory;
  }
  auto* bytes = reinterpret_cast<uint8_t*>(row.data());
  const int32_t lo = QXImageGetLoPlane(image);
  for (int32_t y = 0; y < bounds.height; ++y) {
    const QXRect line = {bounds.x, bounds.y + y, bounds.width, 1};
    if (QXStatus status = QXImageRead(image, line, lo, -1, row.data(), 0)) return status;
    for (size_t px = 0; px < width; ++px) {
      if (depth == 8) {
        uint8_t* s = bytes + px * stride;
        CubeRGB(table, s, s);
      } else {
        uint16_t* s = row.data() + px * stride;
        uint8_t v[3] = {static_cast<uint8_t>(s[0] >> 8), static_cast<uint8_t>(s[1] >> 8),
                        static_cast<uint8_t>(s[2] >> 8)};
        CubeRGB(table, v, v);
        for (int n = 0; n < 3; ++n) s[n] = static_cast<uint16_t>(v[n] * 257);
      }
    }
    if (QXStatus status = QXImageWrite(image, line, lo, -1, row.data(), 0)) return status;
  }
  return kQXNoErr;
}

}  // namespace qxcolor
