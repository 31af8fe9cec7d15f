#include "base/page_pool.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <mutex>
#include <new>

#include "base/threads.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define QM_PAGES_FROM_NEW 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QM_PAGES_FROM_NEW 1
#endif
#endif

namespace qm {

#if defined(QM_PAGES_FROM_NEW)

void* take_pages(size_t n, size_t, int) { return ::operator new(n); }
void give_pages(void* p, size_t) noexcept { ::operator delete(p); }
size_t kept_page_bytes() { return 0; }
void drop_kept_pages() {}
void set_page_limit(size_t) {}
bool pages_kept_for_reuse() { return false; }

#else

namespace {

size_t page_bytes() {
  static const size_t p = [] {
    const long s = sysconf(_SC_PAGESIZE);
    return s > 0 ? static_cast<size_t>(s) : size_t{4096};
  }();
  return p;
}

#ifdef MADV_POPULATE_WRITE
constexpr int populate_write = MADV_POPULATE_WRITE;
#else
constexpr int populate_write = 23;  // Linux 5.14 and later
#endif

size_t whole_pages(size_t n) { return (n + page_bytes() - 1) / page_bytes() * page_bytes(); }

// Makes n bytes of new pages at p present; a large amount in one piece per
// thread (at least 1 MB each), as the kernel fills pages of one mapping on
// several processors at once.
void make_present(char* p, size_t n, int threads) {
  constexpr size_t least_per_thread = size_t{1} << 20;
  const int pieces = static_cast<int>(std::min<size_t>(std::max(1, threads), n / least_per_thread));
  if (pieces <= 1) {
    madvise(p, n, populate_write);
    return;
  }
  // Piece k covers [edge(k), edge(k + 1)): whole pages, the last up to n.
  const size_t pages = n / page_bytes();
  const auto edge = [&](int k) {
    return k == pieces ? n : pages * static_cast<size_t>(k) / static_cast<size_t>(pieces) * page_bytes();
  };
  run_parallel(pieces, pieces, [&](int k) { madvise(p + edge(k), edge(k + 1) - edge(k), populate_write); });
}

// Kept pieces by address; neighbours are joined, so no two touch.
struct kept_pieces {
  std::mutex mu;
  std::map<uintptr_t, size_t> pieces;
  size_t bytes = 0;
  size_t limit = size_t{64} << 20;

  void unmap(uintptr_t a, size_t n) { munmap(reinterpret_cast<void*>(a), n); }

  // Gives back kept bytes, from the lowest address, until at most keep are left.
  void drop_down_to(size_t keep) {
    while (bytes > keep && !pieces.empty()) {
      auto first = pieces.begin();
      const size_t m = std::min(first->second, bytes - keep);
      unmap(first->first + first->second - m, m);
      bytes -= m;
      if (m == first->second)
        pieces.erase(first);
      else
        first->second -= m;
    }
  }

  // The smallest kept piece of at least n bytes, or the end.
  std::map<uintptr_t, size_t>::iterator best_fit(size_t n) {
    auto best = pieces.end();
    for (auto it = pieces.begin(); it != pieces.end(); ++it)
      if (it->second >= n && (best == pieces.end() || it->second < best->second)) best = it;
    return best;
  }

  void keep(uintptr_t a, size_t n) {
    auto next = pieces.lower_bound(a);
    if (next != pieces.end() && a + n == next->first) {
      n += next->second;
      next = pieces.erase(next);
    }
    if (next != pieces.begin()) {
      auto prev = std::prev(next);
      if (prev->first + prev->second == a) {
        prev->second += n;
        return;
      }
    }
    pieces.emplace(a, n);
  }
};

// Never destroyed: arrays of static objects may be given back after main.
kept_pieces& kept() {
  static kept_pieces* k = new kept_pieces;
  return *k;
}

}  // namespace

void* take_pages(size_t n, size_t written, int threads) {
  n = whole_pages(n);
  kept_pieces& k = kept();
  {
    std::lock_guard<std::mutex> l(k.mu);
    auto it = k.best_fit(n);
    if (it != k.pieces.end()) {
      const uintptr_t a = it->first;
      const size_t have = it->second;
      k.pieces.erase(it);
      if (have > n) k.pieces.emplace(a + n, have - n);
      k.bytes -= n;
      return reinterpret_cast<void*>(a);
    }
    // New pages: as many kept bytes go back to the system first.
    k.drop_down_to(k.bytes > n ? k.bytes - n : 0);
  }
  void* p = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  // A system without MADV_POPULATE_WRITE (before Linux 5.14) refuses it, and
  // the pages fault in as they are touched.
  if (written > 0) make_present(static_cast<char*>(p), std::min(n, whole_pages(written)), threads);
  return p;
}

void give_pages(void* p, size_t n) noexcept {
  if (!p) return;
  n = whole_pages(n);
  const uintptr_t a = reinterpret_cast<uintptr_t>(p);
  kept_pieces& k = kept();
  std::lock_guard<std::mutex> l(k.mu);
  // What does not fit under the limit goes back to the system.
  const size_t room = k.bytes < k.limit ? k.limit - k.bytes : 0;
  const size_t keep = std::min(n, room / page_bytes() * page_bytes());
  if (keep < n) k.unmap(a + keep, n - keep);
  if (keep == 0) return;
  k.keep(a, keep);
  k.bytes += keep;
}

bool pages_kept_for_reuse() { return true; }

void set_page_limit(size_t bytes) {
  kept_pieces& k = kept();
  std::lock_guard<std::mutex> l(k.mu);
  k.limit = bytes;
  k.drop_down_to(bytes);
}

size_t kept_page_bytes() {
  kept_pieces& k = kept();
  std::lock_guard<std::mutex> l(k.mu);
  return k.bytes;
}

void drop_kept_pages() {
  kept_pieces& k = kept();
  std::lock_guard<std::mutex> l(k.mu);
  k.drop_down_to(0);
}

#endif

}  // namespace qm
