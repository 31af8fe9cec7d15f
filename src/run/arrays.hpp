// Owned arrays with 1-based, column-major (first index fastest) access.
//
// alloc() gives an array its extents (a negative extent counts as 0) and
// zero-fills it; shape() only changes the extents, keeping the storage when it
// is large enough and leaving the contents undefined, for buffers that are
// overwritten whole (the haplotypes of each generation). release() frees it.
#pragma once
#include <algorithm>
#include <cstddef>
#include <memory>

namespace qm {

template <class T>
struct buffer {
  std::unique_ptr<T[]> p;
  size_t n = 0, cap = 0;
  void reshape(size_t count) {
    if (count > cap || count == 0) {
      p.reset(count ? new T[count] : nullptr);
      cap = count;
    }
    n = count;
  }
  void zero() { std::fill(p.get(), p.get() + n, T{}); }
  void release() { p.reset(); n = cap = 0; }
  T* data() { return p.get(); }
  const T* data() const { return p.get(); }
};

inline size_t extent(long long e) { return e > 0 ? static_cast<size_t>(e) : 0; }

template <class T>
struct arr1 {
  buffer<T> b;
  int n1 = 0;
  void alloc(long long e1) { shape(e1); b.zero(); }
  void shape(long long e1) { n1 = static_cast<int>(extent(e1)); b.reshape(extent(e1)); }
  void release() { b.release(); n1 = 0; }
  bool allocated() const { return b.p != nullptr; }
  T& operator()(int i) { return b.p[i - 1]; }
  const T& operator()(int i) const { return b.p[i - 1]; }
  T* data() { return b.data(); }
  const T* data() const { return b.data(); }
  int size() const { return n1; }
};

template <class T>
struct arr2 {
  buffer<T> b;
  int n1 = 0, n2 = 0;
  void alloc(long long e1, long long e2) { shape(e1, e2); b.zero(); }
  void shape(long long e1, long long e2) {
    n1 = static_cast<int>(extent(e1));
    n2 = static_cast<int>(extent(e2));
    b.reshape(static_cast<size_t>(n1) * static_cast<size_t>(n2));
  }
  void release() { b.release(); n1 = n2 = 0; }
  bool allocated() const { return b.p != nullptr; }
  T& operator()(int i, int j) { return b.p[static_cast<size_t>(i - 1) + static_cast<size_t>(j - 1) * n1]; }
  const T& operator()(int i, int j) const { return b.p[static_cast<size_t>(i - 1) + static_cast<size_t>(j - 1) * n1]; }
  // Start of column j (contiguous, n1 elements).
  T* col(int j) { return b.p.get() + static_cast<size_t>(j - 1) * n1; }
  const T* col(int j) const { return b.p.get() + static_cast<size_t>(j - 1) * n1; }
  T* data() { return b.data(); }
  const T* data() const { return b.data(); }
  size_t count() const { return b.n; }
  void swap(arr2& o) { std::swap(b, o.b); std::swap(n1, o.n1); std::swap(n2, o.n2); }
};

template <class T>
struct arr3 {
  buffer<T> b;
  int n1 = 0, n2 = 0, n3 = 0;
  void alloc(long long e1, long long e2, long long e3) {
    n1 = static_cast<int>(extent(e1));
    n2 = static_cast<int>(extent(e2));
    n3 = static_cast<int>(extent(e3));
    b.reshape(static_cast<size_t>(n1) * n2 * n3);
    b.zero();
  }
  void release() { b.release(); n1 = n2 = n3 = 0; }
  bool allocated() const { return b.p != nullptr; }
  T& operator()(int i, int j, int k) {
    return b.p[static_cast<size_t>(i - 1) + static_cast<size_t>(n1) * (static_cast<size_t>(j - 1) + static_cast<size_t>(n2) * (k - 1))];
  }
  const T& operator()(int i, int j, int k) const {
    return b.p[static_cast<size_t>(i - 1) + static_cast<size_t>(n1) * (static_cast<size_t>(j - 1) + static_cast<size_t>(n2) * (k - 1))];
  }
  T* data() { return b.data(); }
};

}  // namespace qm
