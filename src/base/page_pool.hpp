// Large buffers whose pages are used again.
//
// A page the process touches for the first time costs a fault, some 2 to
// 4 us on a virtual machine (about 1 ms per MB). A run gives up large arrays
// and soon needs as much again: the stage-1 haplotypes in bytes make way
// for the packed ones at the recoding, and text blocks of the result files
// come and go every generation. Buffers given back are kept, whole or in
// pieces, and handed out again before new pages are mapped.
//
// The pool never makes the process larger than it would be without it: a
// request that no kept piece can serve first gives back to the system as
// many kept bytes as it maps anew, so that kept plus used bytes stay within
// the largest amount used at once so far. At most a limit of bytes is kept
// (set_page_limit: a run sets what its later generations will ask again).
// Contents of a buffer are undefined: what was there before.
//
// Under AddressSanitizer every buffer comes from operator new, so that
// reads past its end are still caught.
#pragma once
#include <algorithm>
#include <cstddef>
#include <type_traits>
#include <utility>

namespace qm {

// At least n bytes (n > 0), page-aligned; throws std::bad_alloc when the
// system has no memory left. written: how many bytes from the start the
// caller writes next. New pages among them are made present in one call
// into the system rather than by a fault each (about half the cost per
// page); the rest fault in when first touched. With threads > 1, a call
// made from the run's own thread (not from a writing thread) shares a large
// amount of new pages out among that many threads of the pool.
void* take_pages(size_t n, size_t written = 0, int threads = 1);
// Gives back what take_pages(n) returned, with the same n.
void give_pages(void* p, size_t n) noexcept;
// The most bytes kept for reuse (64 MB until set); what is kept beyond a
// lower limit goes back to the system at once.
void set_page_limit(size_t bytes);
// Bytes kept for reuse now.
size_t kept_page_bytes();
// Gives every kept byte back to the system.
void drop_kept_pages();
// False where buffers come from operator new (AddressSanitizer).
bool pages_kept_for_reuse();

// An owned array of n trivial elements in pages of the pool.
template <class T>
class page_array {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  page_array() = default;
  explicit page_array(size_t n, size_t written = 0, int threads = 1) { reset(n, written, threads); }
  page_array(page_array&& o) noexcept : p_(std::exchange(o.p_, nullptr)), n_(std::exchange(o.n_, 0)) {}
  page_array& operator=(page_array&& o) noexcept {
    if (this != &o) {
      reset();
      p_ = std::exchange(o.p_, nullptr);
      n_ = std::exchange(o.n_, 0);
    }
    return *this;
  }
  page_array(const page_array&) = delete;
  page_array& operator=(const page_array&) = delete;
  ~page_array() { reset(); }

  // Gives the pages back.
  void reset() noexcept {
    if (p_) give_pages(p_, n_ * sizeof(T));
    p_ = nullptr;
    n_ = 0;
  }
  // n elements, contents undefined (none for n = 0); the caller writes the
  // first `written` of them next (see take_pages).
  void reset(size_t n, size_t written = 0, int threads = 1) {
    reset();
    if (n == 0) return;
    p_ = static_cast<T*>(take_pages(n * sizeof(T), std::min(written, n) * sizeof(T), threads));
    n_ = n;
  }
  T* get() const { return p_; }
  size_t size() const { return n_; }
  explicit operator bool() const { return p_ != nullptr; }
  T& operator[](size_t i) const { return p_[i]; }

 private:
  T* p_ = nullptr;
  size_t n_ = 0;
};

}  // namespace qm
