// The sort used wherever a caller's comparator decides the order.
//
// std::sort and std::stable_sort assume a strict weak ordering and may step outside the range
// when a comparator breaks it (one answering at random, or not antisymmetric). This merge sort
// checks every index against the bounds of its runs, so whatever the comparator answers, values
// are only permuted: an inconsistent comparator gives some order, never a foreign value.
#pragma once

#include <algorithm>
#include <cstddef>

namespace qxcf {

// Sorts values[0, n) stably by less(a, b) ("a goes before b"), using scratch (n slots) as the
// second buffer of the merges.
template <class T, class Less>
void stableSort(T* values, size_t n, T* scratch, Less less) {
  constexpr size_t kRun = 8;  // insertion-sorted runs before merging
  for (size_t lo = 0; lo < n; lo += kRun) {
    size_t hi = std::min(n, lo + kRun);
    for (size_t i = lo + 1; i < hi; ++i) {
      T v = values[i];
      size_t j = i;
      for (; j > lo && less(v, values[j - 1]); --j) values[j] = values[j - 1];
      values[j] = v;
    }
  }
  T* from = values;
  T* to = scratch;
  for (size_t width = kRun; width < n; width *= 2) {
    for (size_t lo = 0; lo < n; lo += 2 * width) {
      size_t mid = std::min(n, lo + width), hi = std::min(n, lo + 2 * width);
      size_t i = lo, j = mid, k = lo;
      // Equal values: the left run's first, which keeps the sort stable.
      while (i < mid && j < hi) to[k++] = less(from[j], from[i]) ? from[j++] : from[i++];
      while (i < mid) to[k++] = from[i++];
      while (j < hi) to[k++] = from[j++];
    }
    std::swap(from, to);
  }
  if (from != values) std::copy(from, from + n, values);
}

}  // namespace qxcf
