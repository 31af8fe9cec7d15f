// Result files written on a thread of their own.
//
// A write_queue takes jobs for any number of files and carries them out in
// the order given, on one thread: create the file (an atomic_file, so the
// text goes to NAME.tmp), append blocks of text, commit it (close, and
// rename to NAME through commit_rename, so the run's record lists it), or
// abandon it (NAME.tmp is removed). Since the jobs run in order, a name
// written again (a later stage rewriting a result file) is created only after
// its earlier file got its name.
//
// After the first failure the thread writes nothing more: the failing file's
// temporary file is gone (atomic_file removes it), every later file is
// abandoned, and the files committed before it stay complete. The message of
// the failure (naming the file and what to check) waits for the calling side,
// which stops the run with it.
//
// The text waiting for the thread is bounded: a push waits while other blocks
// of more than max_waiting bytes in all are queued. Written blocks give their
// pages back to the page pool, where the next blocks find them.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/page_pool.hpp"

namespace qm {

class atomic_file;

// len characters of text in a buffer of cap().
struct text_block {
  page_array<char> text;
  size_t len = 0;
  size_t cap() const { return text.size(); }
};

// A block with room for at least n characters, in whole megabytes so that
// the pages of any block given back serve the next one.
text_block spare_block(size_t n);
// Gives a block's pages back to the pool.
void return_block(text_block&& b);

class write_queue {
 public:
  // A file of the queue; what it holds is used on the queue's thread only.
  struct file {
    std::string name;
    std::unique_ptr<atomic_file> out;
  };
  using file_ref = std::shared_ptr<file>;

  explicit write_queue(size_t max_waiting = size_t{24} << 20);
  // Carries out every job left, then ends the thread.
  ~write_queue();
  write_queue(const write_queue&) = delete;
  write_queue& operator=(const write_queue&) = delete;

  file_ref open(std::string name);
  void write(const file_ref& f, text_block&& b);
  void commit(const file_ref& f);
  void abandon(const file_ref& f);
  // fn runs on the queue's thread once every job given before it is done,
  // unless one of them failed (then never).
  void when_done(std::function<void()> fn);

  // Waits until every job given so far is done.
  void settle();
  // The message of the first failure; empty while there is none.
  std::string failure() const;
  bool failed() const;

  // Tests: the most text that waited at once (bytes of the blocks queued).
  size_t waiting_peak() const;

 private:
  enum class kind { open, data, commit, abandon, call };
  struct job {
    kind k = kind::data;
    file_ref f;
    text_block b;
    std::function<void()> fn;
  };
  void push(job j);
  void run();
  void carry_out(job& j);

  const size_t max_waiting_;
  mutable std::mutex mu_;
  std::condition_variable work_, room_, done_;
  std::deque<job> queue_;
  std::thread thread_;
  size_t waiting_ = 0, peak_ = 0;
  bool busy_ = false, quit_ = false;
  std::string failure_;
};

}  // namespace qm
