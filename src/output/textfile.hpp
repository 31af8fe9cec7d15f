// A result file written through one buffer: lines are composed with the
// fixed-width primitives and the buffer goes to the file in large blocks.
//
// The file itself is an atomic_file (run/atomic_file): the text goes to
// "NAME.tmp" in the same folder; finish() writes what is pending, closes the
// file, checks every step and only then renames it to NAME. A file that is
// never finished (the run stopped while it was being written) is removed by
// the destructor, so no file is left cut short under its final name. Any
// failure stops the run naming the file.
#pragma once
#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "run/atomic_file.hpp"

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
  void commit(char* end) { len_ = static_cast<size_t>(end - buf_.get()); }
  void line(std::string_view text);  // text plus newline
  // Hands the buffer to the file when it has grown large.
  void maybe_flush();
  // Writes what is pending, then n characters from data directly.
  void write(const char* data, size_t n);
  // Writes what is pending, closes the file and gives it its final name.
  void finish();

  const std::string& name() const { return name_; }

  // Tests: the next files fail with "No space left on device" once they
  // have written more than n bytes in all (n < 0 switches this off).
  static void inject_write_fault_after(long long n);

 private:
  void write_out();
  void put(const char* data, size_t n);

  std::string name_;
  std::unique_ptr<atomic_file> file_;
  std::unique_ptr<char[]> buf_;  // pending text: len_ characters of cap_
  size_t len_ = 0, cap_ = 0;
};

}  // namespace qm
