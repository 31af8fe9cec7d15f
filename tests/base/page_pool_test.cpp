// The page pool: pages given back serve the next buffers without new page
// faults, in pieces or joined, while kept plus used bytes never exceed the
// most used at once, and the kept bytes stay under the limit. New pages the
// caller is about to write are present without a fault each, also when
// they are shared out among threads.
#include "base/page_pool.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "base/threads.hpp"

namespace {

constexpr size_t mb = size_t{1} << 20;

long minor_faults() {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  return u.ru_minflt;
}

uintptr_t address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// Pages of [p, p + n) in memory now (n a whole number of pages).
size_t resident_pages(const void* p, size_t n) {
  std::vector<unsigned char> in(n / 4096);
  if (mincore(const_cast<void*>(p), n, in.data()) != 0) return 0;
  size_t k = 0;
  for (unsigned char c : in) k += c & 1;
  return k;
}

// Whether this system makes pages present ahead of a write (Linux 5.14+).
bool system_populates_ahead() {
#ifndef MADV_POPULATE_WRITE
  constexpr int MADV_POPULATE_WRITE = 23;
#endif
  void* p = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return false;
  const bool ok = madvise(p, 4096, MADV_POPULATE_WRITE) == 0;
  munmap(p, 4096);
  return ok;
}

// Every test starts from an empty pool with the default limit.
class PagePool : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!qm::pages_kept_for_reuse()) GTEST_SKIP() << "buffers come from operator new in this build";
    qm::set_page_limit(64 * mb);
    qm::drop_kept_pages();
  }
  void TearDown() override {
    qm::set_page_limit(64 * mb);
    qm::drop_kept_pages();
  }
};

TEST_F(PagePool, PagesGivenBackAreUsedAgainWithoutFaults) {
  qm::page_array<char> a(8 * mb);
  std::memset(a.get(), 1, 8 * mb);
  const uintptr_t old = address(a.get());
  a.reset();
  EXPECT_EQ(qm::kept_page_bytes(), 8 * mb);

  // Two smaller buffers are pieces of the old one; touching them costs no
  // fault, where new pages would cost one per page (2048 for 8 MB).
  const long before = minor_faults();
  qm::page_array<char> b(3 * mb), c(5 * mb);
  std::memset(b.get(), 2, 3 * mb);
  std::memset(c.get(), 3, 5 * mb);
  EXPECT_LT(minor_faults() - before, 64);
  EXPECT_GE(address(b.get()), old);
  EXPECT_LE(address(b.get()) + 3 * mb, old + 8 * mb);
  EXPECT_GE(address(c.get()), old);
  EXPECT_LE(address(c.get()) + 5 * mb, old + 8 * mb);
  EXPECT_EQ(qm::kept_page_bytes(), 0u);

  // Given back side by side, the pieces join and serve one 8 MB buffer.
  b.reset();
  c.reset();
  qm::page_array<uint64_t> d(mb);  // 8 MB
  EXPECT_EQ(address(d.get()), old);
  EXPECT_EQ(qm::kept_page_bytes(), 0u);
}

TEST_F(PagePool, NewPagesAboutToBeWrittenArePresentAtOnceAndNoOthers) {
  if (sysconf(_SC_PAGESIZE) != 4096 || !system_populates_ahead()) GTEST_SKIP() << "no populate-ahead here";
  // 8 MB of new pages, of which the caller writes the first 1 MB next: that
  // megabyte is in memory before any write, so writing it costs no fault
  // (256 otherwise); most of the other 7 MB is not (a huge page may cover
  // up to 2 MB past the boundary).
  qm::page_array<char> a(8 * mb, mb);
  EXPECT_EQ(resident_pages(a.get(), mb), mb / 4096);
  EXPECT_LT(resident_pages(a.get() + mb, 7 * mb), 7 * mb / 4096 / 2);
  const long before = minor_faults();
  std::memset(a.get(), 5, mb);
  EXPECT_LT(minor_faults() - before, 16);
  a.reset();
  // Kept pages are handed out as they are: nothing new is mapped.
  qm::page_array<char> b(8 * mb, 8 * mb);
  EXPECT_EQ(qm::kept_page_bytes(), 0u);
  EXPECT_EQ(resident_pages(b.get(), mb), mb / 4096);
}

TEST_F(PagePool, PagesSharedOutAmongThreadsAreAllPresentUpToTheLastWritten) {
  if (sysconf(_SC_PAGESIZE) != 4096 || !system_populates_ahead()) GTEST_SKIP() << "no populate-ahead here";
  // The written part ends inside a page and splits into pieces that do not
  // fall on whole megabytes, so a piece that stops a page short or starts a
  // page late leaves a page out.
  const size_t written = 5 * mb + 3 * 4096 + 100;
  const size_t present = (written + 4095) / 4096;
  for (int threads : {2, 3, 7}) {
    SCOPED_TRACE(threads);
    qm::page_array<char> a(12 * mb, written, threads);
    EXPECT_EQ(resident_pages(a.get(), present * 4096), present);
    EXPECT_LT(resident_pages(a.get() + 8 * mb, 4 * mb), 4 * mb / 4096 / 2);
    a.reset();
    qm::drop_kept_pages();
  }
  // Less than a megabyte per thread: one call on the caller's thread.
  qm::page_array<char> small(2 * mb, mb + 4096, 4);
  EXPECT_EQ(resident_pages(small.get(), mb + 4096), (mb + 4096) / 4096);
  small.reset();
  qm::drop_kept_pages();
  // From inside a part of a parallel job, the pages are made present inline.
  std::vector<size_t> seen(2, 0);
  qm::run_parallel(2, 2, [&](int k) {
    qm::page_array<char> b(3 * mb, 3 * mb, 2);
    seen[static_cast<size_t>(k)] = resident_pages(b.get(), 3 * mb);
  });
  EXPECT_EQ(seen[0], 3 * mb / 4096);
  EXPECT_EQ(seen[1], 3 * mb / 4096);
}

TEST_F(PagePool, KeptAndUsedNeverExceedTheMostUsedAtOnce) {
  // 6 MB used at most, then 6 MB kept.
  std::vector<qm::page_array<char>> held;
  for (int k = 0; k < 3; ++k) held.emplace_back(2 * mb);
  held.clear();
  ASSERT_EQ(qm::kept_page_bytes(), 6 * mb);
  // A request larger than every kept piece gives back as many kept bytes as
  // it maps anew (here all 6 MB), so kept plus used stays within the most
  // used at once.
  qm::page_array<char> big(10 * mb);
  EXPECT_EQ(qm::kept_page_bytes(), 0u);
  big.reset();
  EXPECT_EQ(qm::kept_page_bytes(), 10 * mb);
  qm::page_array<char> small(mb);
  qm::page_array<char> larger(12 * mb);  // 10 MB kept minus 1 MB used: 9 MB, all given back
  EXPECT_EQ(qm::kept_page_bytes(), 0u);
}

TEST_F(PagePool, KeepsNoMoreThanTheLimit) {
  qm::set_page_limit(3 * mb);
  {
    qm::page_array<char> a(2 * mb), b(2 * mb);
  }
  EXPECT_EQ(qm::kept_page_bytes(), 3 * mb);
  // A lower limit gives back what is over it at once.
  qm::set_page_limit(mb);
  EXPECT_EQ(qm::kept_page_bytes(), mb);
  qm::set_page_limit(0);
  EXPECT_EQ(qm::kept_page_bytes(), 0u);
  { qm::page_array<char> c(mb); }
  EXPECT_EQ(qm::kept_page_bytes(), 0u);
}

TEST_F(PagePool, SmallBuffersTakeWholePagesAndMovesHandOver) {
  qm::page_array<int8_t> a(1);
  a[0] = 7;
  qm::page_array<int8_t> b = std::move(a);
  EXPECT_FALSE(a);
  EXPECT_EQ(b[0], 7);
  EXPECT_EQ(b.size(), 1u);
  b.reset();
  EXPECT_EQ(qm::kept_page_bytes() % 4096, 0u);
  EXPECT_GE(qm::kept_page_bytes(), 1u);
  qm::page_array<int8_t> none(0);
  EXPECT_FALSE(none);
}

TEST_F(PagePool, ThreadsNeverShareABuffer) {
  // Four threads take and give back buffers of many sizes; each fills its
  // buffer with its own mark and finds it whole before giving it back.
  std::vector<std::thread> threads;
  std::vector<int> broken(4, 0);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t, &broken] {
      for (int round = 0; round < 300; ++round) {
        const size_t n = 4096 * static_cast<size_t>(1 + (round * 7 + t * 13) % 64);
        qm::page_array<unsigned char> a(n);
        std::memset(a.get(), t + 1, n);
        std::this_thread::yield();
        for (size_t i = 0; i < n; i += 512)
          if (a[i] != t + 1) ++broken[static_cast<size_t>(t)];
      }
    });
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(broken[static_cast<size_t>(t)], 0) << "thread " << t;
  EXPECT_LE(qm::kept_page_bytes(), 64 * mb);
}

}  // namespace
