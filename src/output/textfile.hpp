// A result file written through one buffer: lines are composed with the
// fixed-width primitives, the buffer goes to the file in large blocks, and a
// file that cannot be created or written stops the run naming it.
#pragma once
#include <cstdio>
#include <memory>
#include <string>

namespace qm {

struct textfile {
  std::FILE* f = nullptr;
  std::string name;
  std::unique_ptr<char[]> buf;  // pending text: len characters of cap
  size_t len = 0, cap = 0;
};

// Creates (or replaces) the file name.
void tf_open(textfile& t, const std::string& name);
// Room for at least n more characters at the end of the buffer; returns where
// to write. tf_commit(t, end) then keeps what was written up to end.
char* tf_room(textfile& t, size_t n);
inline void tf_commit(textfile& t, char* end) { t.len = static_cast<size_t>(end - t.buf.get()); }
void tf_line(textfile& t, const std::string& line);  // line plus newline
// Hands the buffer to the file when it has grown large.
void tf_maybe_flush(textfile& t);
// Writes what is pending, then n characters from data directly.
void tf_write(textfile& t, const char* data, size_t n);
// Writes what is pending and closes; stops the run when anything failed.
void tf_close(textfile& t);

}  // namespace qm
