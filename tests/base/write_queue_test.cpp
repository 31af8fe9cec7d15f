// The thread that writes result files: the files in the order given with
// exactly their text, a bounded amount of text waiting, and a failure that
// leaves no part of the failing file and nothing after it.
#include "base/write_queue.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "base/atomic_file.hpp"
#include "support.hpp"

namespace fs = std::filesystem;

namespace {

// A block of exactly the size of s.
qm::text_block block_of(const std::string& s) {
  qm::text_block b;
  b.text.reset(s.size());
  std::memcpy(b.text.get(), s.data(), s.size());
  b.len = s.size();
  return b;
}

bool listed(const std::string& name) {
  const std::vector<std::string> w = qm::files_written();
  return std::find(w.begin(), w.end(), name) != w.end();
}

int temporary_files() {
  int n = 0;
  for (const auto& f : fs::directory_iterator(".")) n += f.path().filename().string().ends_with(".tmp");
  return n;
}

TEST(WriteQueue, FilesInOrderWithTheirTextAndTheSameNameAgain) {
  qmtest::tempdir dir;
  qm::forget_files_written();
  std::string big;
  for (int k = 0; big.size() < (size_t{3} << 20); ++k) big += "line " + std::to_string(k) + "\n";
  std::atomic<int> seen_complete{-1};
  {
    qm::write_queue q(size_t{1} << 20);
    const qm::write_queue::file_ref a = q.open("a.out");
    for (size_t at = 0; at < big.size(); at += 100000) q.write(a, block_of(big.substr(at, 100000)));
    q.commit(a);
    // The same name three times: each file is created after the one before got its name.
    for (int round = 0; round < 3; ++round) {
      const qm::write_queue::file_ref b = q.open("b.out");
      q.write(b, block_of("round " + std::to_string(round) + "\n"));
      q.commit(b);
    }
    // Runs once the files before it are complete under their names.
    q.when_done([&] {
      seen_complete = qmtest::read_file("a.out") == big && qmtest::read_file("b.out") == "round 2\n";
    });
    const qm::write_queue::file_ref c = q.open("c.out");
    q.write(c, block_of("never finished\n"));
    q.abandon(c);
    q.settle();
    EXPECT_TRUE(q.failure().empty());
    EXPECT_LE(q.waiting_peak(), size_t{1} << 20);  // 100 kB blocks below the bound of 1 MB
  }
  EXPECT_EQ(seen_complete, 1);
  EXPECT_EQ(qmtest::read_file("a.out"), big);
  EXPECT_EQ(qmtest::read_file("b.out"), "round 2\n");
  EXPECT_FALSE(qmtest::file_exists("c.out"));
  EXPECT_EQ(temporary_files(), 0);
  EXPECT_TRUE(listed("a.out"));
  EXPECT_TRUE(listed("b.out"));
  EXPECT_FALSE(listed("c.out"));
}

// The text handed over and not yet written never exceeds the bound (a block
// larger than the bound waits alone), and what is written is complete.
TEST(WriteQueue, WaitingTextStaysWithinItsBound) {
  qmtest::tempdir dir;
  const size_t mb = size_t{1} << 20;
  std::string want;
  {
    qm::write_queue q(4 * mb);
    const qm::write_queue::file_ref f = q.open("big.out");
    for (int k = 0; k < 40; ++k) {
      const std::string s(mb, static_cast<char>('a' + k % 26));
      want += s;
      q.write(f, block_of(s));
    }
    q.settle();
    EXPECT_LE(q.waiting_peak(), 4 * mb);
    const std::string huge(6 * mb, 'z');  // larger than the bound: it waits alone
    want += huge;
    q.write(f, block_of(huge));
    q.write(f, block_of("end\n"));
    want += "end\n";
    q.commit(f);
    q.settle();
    EXPECT_EQ(q.waiting_peak(), 6 * mb);
  }
  EXPECT_EQ(qmtest::read_file("big.out"), want);
}

// A write that fails on the thread (the temporary name leads to /dev/full,
// a disk that is always full): the message names the file and says what
// to check; the failing file and every later one leave nothing behind; the
// file committed before stays; what waits for completion never runs.
TEST(WriteQueue, FailureOnTheThreadLeavesNoPartOfAnyLaterFile) {
  qmtest::tempdir dir;
  qm::forget_files_written();
  fs::create_symlink("/dev/full", "full.out.tmp");
  bool ran = false;
  {
    qm::write_queue q;
    const qm::write_queue::file_ref ok = q.open("ok.out");
    q.write(ok, block_of("fits\n"));
    q.commit(ok);
    const qm::write_queue::file_ref bad = q.open("full.out");
    q.write(bad, block_of(std::string(1 << 20, 'x')));
    q.commit(bad);
    q.when_done([&] { ran = true; });
    const qm::write_queue::file_ref later = q.open("later.out");
    q.write(later, block_of("after the failure\n"));
    q.commit(later);
    q.settle();
    ASSERT_TRUE(q.failed());
    EXPECT_EQ(q.failure(),
              "Result file full.out cannot be written (No space left on device). Check the free space and the "
              "permissions of the folder.");
  }
  EXPECT_FALSE(ran);
  EXPECT_EQ(qmtest::read_file("ok.out"), "fits\n");
  EXPECT_FALSE(fs::exists(fs::symlink_status("full.out.tmp")));
  EXPECT_FALSE(qmtest::file_exists("full.out"));
  EXPECT_FALSE(qmtest::file_exists("later.out"));
  EXPECT_EQ(temporary_files(), 0);
  EXPECT_TRUE(listed("ok.out"));
  EXPECT_FALSE(listed("full.out"));
  EXPECT_FALSE(listed("later.out"));
}

TEST(WriteQueue, FileThatCannotBeCreatedIsTheFailure) {
  qmtest::tempdir dir;
  qm::write_queue q;
  const qm::write_queue::file_ref f = q.open("no_such_folder/x.out");
  q.write(f, block_of("text\n"));
  q.commit(f);
  q.settle();
  EXPECT_NE(q.failure().find("Result file no_such_folder/x.out cannot be created (No such file or directory)"),
            std::string::npos)
      << q.failure();
  EXPECT_FALSE(fs::exists("no_such_folder"));
}

}  // namespace
