// A result file written through one buffer: lines are composed with the
// fixed-width primitives and the buffer goes to the file in large blocks.
//
// The file itself is an atomic_file (run/atomic_file): the text goes to
// "NAME.tmp" in the same folder; finish() writes what is pending, closes the
// file, checks every step and only then renames it to NAME. A file that is
// never finished (the run stopped while it was being written) is removed by
// the destructor, so no file is left cut short under its final name. Any
// failure stops the run naming the file.
//
// Writing in the background (runs of two threads or more): between
// write_in_background(true) and (false) the text of every new textfile goes
// to the disk on a thread of its own (a write_queue), in order, while the run
// goes on; finish() leaves the closing and renaming to that thread too. A
// failure there stops the run at the next call of any textfile, at
// stop_if_background_failed() or at settle(), with the same message as in
// the foreground; the failing file and every file after it are removed, the
// files finished before it keep their names. At most 24 MB of text wait for
// that thread at a time.
#pragma once
#include <cstddef>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "base/atomic_file.hpp"
#include "base/write_queue.hpp"

namespace qm {

class textfile {
 public:
  // Creates NAME.tmp (replacing one left by an earlier run).
  explicit textfile(std::string name);
  ~textfile();
  textfile(const textfile&) = delete;
  textfile& operator=(const textfile&) = delete;

  // Room for at least n more characters at the end of the buffer; returns
  // where to write. commit(end) then keeps what was written up to end.
  char* room(size_t n);
  void commit(char* end) { buf_.len = static_cast<size_t>(end - buf_.text.get()); }
  void line(std::string_view text);  // text plus newline
  // Hands the buffer to the file when it has grown large.
  void maybe_flush();
  // Writes what is pending, then n characters from data directly.
  void write(const char* data, size_t n);
  // Text composed elsewhere, in a block from spare(): the file takes it over
  // after what is pending.
  using block = text_block;
  static block spare(size_t n) { return spare_block(n); }
  void write(block&& b);
  // Writes what is pending, closes the file and gives it its final name.
  void finish();

  const std::string& name() const { return name_; }

  // Tests: the next files fail with "No space left on device" once they
  // have written more than n bytes in all (n < 0 switches this off).
  static void inject_write_fault_after(long long n);

  // The files created from now on are written in the background (on) or
  // directly (off, the default). Switching off waits for the files handed
  // over and reports nothing; call settle() first to hear of a failure.
  static void write_in_background(bool on);
  static bool writing_in_background();
  // Waits until every file handed over is written; stops the run when one
  // of them failed.
  static void settle();
  // Stops the run when writing in the background has failed.
  static void stop_if_background_failed();
  // fn runs once every file finished so far has its final name: at once
  // when the files are written directly, else on the writing thread; never
  // after a failure there.
  static void when_written(std::function<void()> fn);

 private:
  void write_out();
  void put(const char* data, size_t n);
  void charge(size_t n);  // the injected fault's budget
  void hand_over(block&& b);

  std::string name_;
  std::unique_ptr<atomic_file> file_;        // written directly
  std::shared_ptr<write_queue> queue_;       // or in the background:
  write_queue::file_ref queued_;             // this file there
  bool open_ = true;                         // neither finished nor failed
  text_block buf_;  // pending text
};

}  // namespace qm
