// The resamplers behind blits, crops and mips.
//
// The interpolating resampler blends a 2 x 2 neighbourhood in double precision and must give the
// same value, bit for bit, as the plain per-pixel formula; everything here is arranged around that:
//  - the (row, fy) and (column, fx) sequences are computed once, serially, exactly as the formula
//    steps them, and each pixel evaluates the formula's terms in its order, never fused into
//    multiply-adds (the library is built with -ffp-contract=off);
//  - the calling thread does every Read and Write, a band at a time, and pool workers compute only
//    from band buffers (a worker calling Read would wait on locks the caller may hold). The next
//    band is read, and the previous one written, while the workers compute the current one;
//  - a band holds only the source rows its destination rows use, so a large reduction reads two
//    rows out of every `ratio` rather than all of them; bands are bounded in bytes
//    (band::kRowsBudget), not to 256 rows;
//  - where fx and fy are both exactly 0.5 (every pixel of an exact 2:1 reduction, and of mips whose
//    sizes divide exactly) the formula is exactly (a + b + d + e) >> 2, computed in integers.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "image/ImageOps.h"
#include "image/ImageRec.h"
#include "image/PixelBand.h"
#include "image/PoolTasks.h"

namespace {

using qximage::Intersect;
namespace band = qximage::band;

// The source index and fraction used by each destination row or column, for the part of the
// destination that lies inside the destination image. Indices are relative to the readable source
// area (the source rectangle clipped to the source image), clamped to it.
struct Axis {
  std::vector<int32_t> i0, i1;
  std::vector<double> f, oneMinusF;
};

// sourceStart/sourceLength: the source rectangle on this axis; readStart/readLength: the part of
// it inside the source image; keep [keepFrom, keepTo) of the destination's `destinationLength`.
// `rows` applies the row rule (the first index never passes the second-to-last row).
void BuildAxis(bool interpolate, bool rows, int64_t sourceStart, int32_t sourceLength, int32_t destinationLength,
               int64_t readStart, int32_t readLength, int32_t keepFrom, int32_t keepTo, Axis& axis) {
  const double ratio = double(sourceLength) / double(destinationLength);
  const size_t kept = size_t(keepTo - keepFrom);
  axis.i0.resize(kept);
  axis.i1.resize(kept);
  axis.f.resize(kept);
  axis.oneMinusF.resize(kept);
  auto toRead = [&](int64_t index) {
    const int64_t absolute = sourceStart + index;
    return int32_t(std::clamp<int64_t>(absolute, readStart, readStart + readLength - 1) - readStart);
  };
  double f = interpolate ? (ratio - 1) * 0.5 : 0.0;
  int64_t at = 0;
  const int64_t lastIndex = sourceLength - 1;
  const int64_t rowLimit = std::max<int64_t>(sourceLength - 2, 0);
  for (int32_t k = 0; k < keepTo; ++k) {
    while (f > 1) {
      at += 1;
      if (rows && interpolate && at > rowLimit) at = rowLimit;
      f -= 1;
    }
    if (at > lastIndex) at = lastIndex;  // rounding of the running sum only
    if (k >= keepFrom) {
      const size_t i = size_t(k - keepFrom);
      axis.i0[i] = toRead(at);
      axis.i1[i] = interpolate ? toRead(std::min(at + 1, lastIndex)) : axis.i0[i];
      axis.f[i] = f;
      axis.oneMinusF[i] = 1 - f;
    }
    f += ratio;
  }
}

// ---- Row kernels: one destination row from source rows r0 and r1 ----

template <class T>
constexpr double kMax = T(~T(0));

// The written formula: samples as doubles, the terms in their order, +0.5, truncation, >> 2, clamp.
template <class T>
void InterpolateRow(const T* r0, const T* r1, double fy, double oneMinusFy, const Axis& cols, int32_t planes, T* out) {
  const size_t n = cols.i0.size();
  for (size_t k = 0; k < n; ++k) {
    const T* a = r0 + size_t(cols.i0[k]) * size_t(planes);
    const T* b = r0 + size_t(cols.i1[k]) * size_t(planes);
    const T* d = r1 + size_t(cols.i0[k]) * size_t(planes);
    const T* e = r1 + size_t(cols.i1[k]) * size_t(planes);
    const double fx = cols.f[k], oneMinusFx = cols.oneMinusF[k];
    for (int32_t p = 0; p < planes; ++p) {
      const double av = a[p], bv = b[p], dv = d[p], ev = e[p];
      const double v = (dv + ev) * fy + (av + bv) * oneMinusFy + (av + dv) * oneMinusFx + (bv + ev) * fx + 0.5;
      int64_t q = static_cast<int64_t>(v) >> 2;
      q = std::clamp<int64_t>(q, 0, int64_t(kMax<T>));
      out[size_t(k) * size_t(planes) + size_t(p)] = T(q);
    }
  }
}

// Floats: the same weights, divided by 4.0, neither rounded nor clamped.
void InterpolateRowFloat(const float* r0, const float* r1, double fy, double oneMinusFy, const Axis& cols,
                         int32_t planes, float* out) {
  const size_t n = cols.i0.size();
  for (size_t k = 0; k < n; ++k) {
    const float* a = r0 + size_t(cols.i0[k]) * size_t(planes);
    const float* b = r0 + size_t(cols.i1[k]) * size_t(planes);
    const float* d = r1 + size_t(cols.i0[k]) * size_t(planes);
    const float* e = r1 + size_t(cols.i1[k]) * size_t(planes);
    const double fx = cols.f[k], oneMinusFx = cols.oneMinusF[k];
    for (int32_t p = 0; p < planes; ++p) {
      const double av = a[p], bv = b[p], dv = d[p], ev = e[p];
      const double v = (dv + ev) * fy + (av + bv) * oneMinusFy + (av + dv) * oneMinusFx + (bv + ev) * fx;
      out[size_t(k) * size_t(planes) + size_t(p)] = float(v / 4.0);
    }
  }
}

// fx = fy = 0.5: the formula is exactly (a + b + d + e) >> 2 (every term is a small integer or
// half of one, so the double sum is exact). Any columns.
template <class T>
void HalfRowGather(const T* r0, const T* r1, const Axis& cols, int32_t planes, T* out) {
  const size_t n = cols.i0.size();
  for (size_t k = 0; k < n; ++k) {
    const size_t c0 = size_t(cols.i0[k]) * size_t(planes), c1 = size_t(cols.i1[k]) * size_t(planes);
    for (int32_t p = 0; p < planes; ++p)
      out[k * size_t(planes) + size_t(p)] =
          T((uint32_t(r0[c0 + size_t(p)]) + r0[c1 + size_t(p)] + r1[c0 + size_t(p)] + r1[c1 + size_t(p)]) >> 2);
  }
}

// The same for an exact 2:1 column step (columns 2k and 2k + 1): contiguous, so the compiler
// vectorises it (SSE2/NEON baseline); a fixed plane count lets it pair the samples.
template <class T, int kPlanes>
void HalfRowPairs(const T* __restrict r0, const T* __restrict r1, size_t pixels, T* __restrict out) {
  using Sum = std::conditional_t<sizeof(T) == 1, uint16_t, uint32_t>;
  const size_t samples = pixels * kPlanes;
  for (size_t i = 0; i < samples; ++i) {
    const size_t k = i / kPlanes, p = i % kPlanes;
    const size_t s = 2 * k * kPlanes + p;
    out[i] = T((Sum(r0[s]) + Sum(r0[s + kPlanes]) + Sum(r1[s]) + Sum(r1[s + kPlanes])) >> 2);
  }
}

template <class T>
void HalfRowPairsAny(const T* r0, const T* r1, size_t pixels, int32_t planes, T* out) {
  switch (planes) {
    case 1: return HalfRowPairs<T, 1>(r0, r1, pixels, out);
    case 2: return HalfRowPairs<T, 2>(r0, r1, pixels, out);
    case 3: return HalfRowPairs<T, 3>(r0, r1, pixels, out);
    case 4: return HalfRowPairs<T, 4>(r0, r1, pixels, out);
    default:
      for (size_t k = 0; k < pixels; ++k)
        for (int32_t p = 0; p < planes; ++p) {
          const size_t s = 2 * k * size_t(planes) + size_t(p);
          out[k * size_t(planes) + size_t(p)] =
              T((uint32_t(r0[s]) + r0[s + size_t(planes)] + r1[s] + r1[s + size_t(planes)]) >> 2);
        }
  }
}

// Nearest pixel: whole pixels copied as bytes.
void NearestRow(const uint8_t* r0, const Axis& cols, int32_t colBytes, uint8_t* out) {
  const size_t n = cols.i0.size();
  for (size_t k = 0; k < n; ++k)
    std::memcpy(out + k * size_t(colBytes), r0 + size_t(cols.i0[k]) * size_t(colBytes), size_t(colBytes));
}

// ---- The band engine ----

struct Band {
  int32_t j0 = 0, j1 = 0;         // destination rows (indices into the row axis)
  std::vector<int32_t> rows;      // distinct source rows read (readable-area relative), ascending
  std::vector<int32_t> at0, at1;  // per destination row: slots in `rows` of its two source rows
  int32_t slot = 0;               // which of the two buffer sets
};

class Resampler {
 public:
  Resampler(CImageRec* source, CImageRec* destination, bool interpolate)
      : mSource(source), mDestination(destination), mInterpolate(interpolate) {}

  int32_t Run(QXRect sourceRect, QXRect destinationRect) {
    if (sourceRect.width < 1 || sourceRect.height < 1 || destinationRect.width < 1 || destinationRect.height < 1)
      return 0;
    if (int32_t status = qximage::CheckSameFormat(*mSource, *mDestination)) return status;
    mRead = Intersect(sourceRect, mSource->mBounds);
    const QXRect written = Intersect(destinationRect, mDestination->mBounds);
    if (mRead.width < 1 || written.width < 1) return 0;  // nothing of either lies in its image
    mWritten = written;

    BuildAxis(mInterpolate, false, sourceRect.x, sourceRect.width, destinationRect.width, mRead.x, mRead.width,
              written.x - destinationRect.x, written.x - destinationRect.x + written.width, mCols);
    BuildAxis(mInterpolate, true, sourceRect.y, sourceRect.height, destinationRect.height, mRead.y, mRead.height,
              written.y - destinationRect.y, written.y - destinationRect.y + written.height, mRows);
    Classify();

    mColBytes = mSource->mColBytes;
    mSourceRowBytes = size_t(mRead.width) * size_t(mColBytes);
    mDestinationRowBytes = size_t(written.width) * size_t(mColBytes);
    mSourceRowsCap = int32_t(std::max<int64_t>(2, band::kRowsBudget / int64_t(mSourceRowBytes)));
    mDestinationRowsCap = int32_t(std::max<int64_t>(1, band::kRowsBudget / int64_t(mDestinationRowBytes)));
    mSourceRowsCap = std::min(mSourceRowsCap, std::max(2, int32_t(2 * mRows.i0.size())));
    mDestinationRowsCap = std::min(mDestinationRowsCap, int32_t(mRows.i0.size()));
    for (int i = 0; i < 2; ++i) {
      // Zeroed: a solid-fill source leaves its reads untouched, so they read as zeros.
      mSourceBuffers[i] = band::Scratch(int64_t(mSourceRowsCap) * int64_t(mSourceRowBytes));
      mDestinationBuffers[i] = band::Scratch(int64_t(mDestinationRowsCap) * int64_t(mDestinationRowBytes), false);
      if (!mSourceBuffers[i] || !mDestinationBuffers[i]) return kQXErrNoScratch;
    }
    return Pipeline();
  }

 private:
  // Which kernel each row can use.
  void Classify() {
    mColumnsHalf = true;
    for (size_t k = 0; k < mCols.f.size() && mColumnsHalf; ++k) mColumnsHalf = mCols.f[k] == 0.5;
    mColumnsPairs = mColumnsHalf;
    for (size_t k = 0; k < mCols.i0.size() && mColumnsPairs; ++k)
      mColumnsPairs = mCols.i0[k] == mCols.i0[0] + 2 * int32_t(k) && mCols.i1[k] == mCols.i0[k] + 1;
  }

  // The band of destination rows starting at j, as many as the buffers hold.
  void Plan(int32_t j, Band& band) {
    band.j0 = j;
    band.rows.clear();
    band.at0.clear();
    band.at1.clear();
    const int32_t end = int32_t(mRows.i0.size());
    // Rows arrive in ascending order, so a row already in the band is one of its last two.
    auto find = [&](int32_t row) {
      const int32_t n = int32_t(band.rows.size());
      for (int32_t s = n - 1; s >= std::max(0, n - 2); --s)
        if (band.rows[size_t(s)] == row) return s;
      return -1;
    };
    auto slotOf = [&](int32_t row) {
      const int32_t s = find(row);
      if (s >= 0) return s;
      band.rows.push_back(row);
      return int32_t(band.rows.size()) - 1;
    };
    while (j < end && j - band.j0 < mDestinationRowsCap) {
      const int32_t r0 = mRows.i0[size_t(j)], r1 = mRows.i1[size_t(j)];
      const int32_t fresh = (find(r0) < 0 ? 1 : 0) + (r1 != r0 && find(r1) < 0 ? 1 : 0);
      if (j > band.j0 && int32_t(band.rows.size()) + fresh > mSourceRowsCap) break;
      band.at0.push_back(slotOf(r0));
      band.at1.push_back(slotOf(r1));
      ++j;
    }
    band.j1 = j;
  }

  // Reads each run of consecutive source rows with one Read.
  int32_t ReadBand(const Band& band) {
    uint8_t* buffer = mSourceBuffers[band.slot].get();
    const size_t n = band.rows.size();
    for (size_t s = 0; s < n;) {
      size_t e = s + 1;
      while (e < n && band.rows[e] == band.rows[e - 1] + 1) ++e;
      const QXRect rect{mRead.x, mRead.y + band.rows[s], mRead.width, int32_t(e - s)};
      if (int32_t status = mSource->Read(rect, mSource->mLoPlane, mSource->mHiPlane, buffer + s * mSourceRowBytes,
                                         int32_t(mSourceRowBytes), 0))
        return status;
      s = e;
    }
    return 0;
  }

  int32_t WriteBand(const Band& band) {
    const QXRect rect{mWritten.x, mWritten.y + band.j0, mWritten.width, band.j1 - band.j0};
    return mDestination->Write(rect, mDestination->mLoPlane, mDestination->mHiPlane,
                               mDestinationBuffers[band.slot].get(), int32_t(mDestinationRowBytes), 0);
  }

  void ComputeRow(const Band& band, int32_t j) {
    const uint8_t* source = mSourceBuffers[band.slot].get();
    const size_t i = size_t(j - band.j0);
    const uint8_t* r0 = source + size_t(band.at0[i]) * mSourceRowBytes;
    const uint8_t* r1 = source + size_t(band.at1[i]) * mSourceRowBytes;
    uint8_t* out = mDestinationBuffers[band.slot].get() + i * mDestinationRowBytes;
    const int32_t planes = mSource->NumPlanes();
    if (!mInterpolate) return NearestRow(r0, mCols, mColBytes, out);
    const double fy = mRows.f[size_t(j)], oneMinusFy = mRows.oneMinusF[size_t(j)];
    switch (mSource->mPlaneBytes) {
      case 1: return Interpolate<uint8_t>(r0, r1, fy, oneMinusFy, planes, out);
      case 2: return Interpolate<uint16_t>(r0, r1, fy, oneMinusFy, planes, out);
      default:
        return InterpolateRowFloat(reinterpret_cast<const float*>(r0), reinterpret_cast<const float*>(r1), fy,
                                   oneMinusFy, mCols, planes, reinterpret_cast<float*>(out));
    }
  }

  template <class T>
  void Interpolate(const uint8_t* r0b, const uint8_t* r1b, double fy, double oneMinusFy, int32_t planes,
                   uint8_t* outb) {
    const T* r0 = reinterpret_cast<const T*>(r0b);
    const T* r1 = reinterpret_cast<const T*>(r1b);
    T* out = reinterpret_cast<T*>(outb);
    if (fy == 0.5 && mColumnsHalf) {
      if (mColumnsPairs)
        return HalfRowPairsAny<T>(r0 + size_t(mCols.i0[0]) * size_t(planes), r1 + size_t(mCols.i0[0]) * size_t(planes),
                                  mCols.i0.size(), planes, out);
      return HalfRowGather<T>(r0, r1, mCols, planes, out);
    }
    InterpolateRow<T>(r0, r1, fy, oneMinusFy, mCols, planes, out);
  }

  int32_t Pipeline() {
    const int32_t end = int32_t(mRows.i0.size());
    // Chunks of about 64 KiB of output, so both threads get work even in small bands.
    const int32_t rowsPerChunk = int32_t(std::max<size_t>(1, (size_t(64) << 10) / mDestinationRowBytes));
    Band bands[2];
    bands[0].slot = 0;
    bands[1].slot = 1;
    Band* current = &bands[0];
    Band* previous = nullptr;
    Plan(0, *current);
    int32_t status = ReadBand(*current);
    qximage::ParallelJob job;
    while (status == 0) {
      Band& band = *current;
      const int32_t chunks = (band.j1 - band.j0 + rowsPerChunk - 1) / rowsPerChunk;
      job.Start(chunks, [this, &band, rowsPerChunk](int32_t chunk) {
        const int32_t from = band.j0 + chunk * rowsPerChunk;
        const int32_t to = std::min(band.j1, from + rowsPerChunk);
        for (int32_t j = from; j < to; ++j) ComputeRow(band, j);
      });
      if (previous != nullptr) status = WriteBand(*previous);
      Band* next = band.j1 < end ? (current == &bands[0] ? &bands[1] : &bands[0]) : nullptr;
      if (next != nullptr && status == 0) {
        Plan(band.j1, *next);
        status = ReadBand(*next);
      }
      job.Finish();
      if (status != 0) break;
      previous = current;
      current = next;
      if (current == nullptr) {
        status = WriteBand(*previous);
        break;
      }
    }
    return status;
  }

  CImageRec* mSource;
  CImageRec* mDestination;
  bool mInterpolate;
  QXRect mRead{}, mWritten{};
  Axis mCols, mRows;
  bool mColumnsHalf = false, mColumnsPairs = false;
  int32_t mColBytes = 0;
  size_t mSourceRowBytes = 0, mDestinationRowBytes = 0;
  int32_t mSourceRowsCap = 0, mDestinationRowsCap = 0;
  band::Bytes mSourceBuffers[2], mDestinationBuffers[2];
};

int32_t RunResampler(CImageRec* source, QXRect sourceRect, CImageRec* destination, QXRect destinationRect,
                     bool interpolate) {
  if (source == nullptr || destination == nullptr) return kQXErrInvalidArgument;
  try {
    Resampler resampler(source, destination, interpolate);
    return resampler.Run(sourceRect, destinationRect);
  } catch (const std::bad_alloc&) {
    return kQXErrNoScratch;
  }
}

}  // namespace

int32_t CImageRec::Resample(QXRect sourceRect, CImageRec* destination, QXRect destinationRect) {
  return RunResampler(this, sourceRect, destination, destinationRect, true);
}

namespace qximage {

int32_t ResampleNearest(CImageRec* source, QXRect sourceRect, CImageRec* destination, QXRect destinationRect) {
  return RunResampler(source, sourceRect, destination, destinationRect, false);
}

}  // namespace qximage
