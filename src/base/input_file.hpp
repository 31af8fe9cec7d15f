// Reading a whole input file that comes from outside the program (a file of
// another run, a folder given on the command line), without trusting what
// sits under its name.
//
// read_input_file accepts a regular file (or a symbolic link to one) of at
// most max_bytes and returns its bytes. It refuses, before reading anything:
//   - a name that is not there (input_file_error::missing);
//   - a folder, a pipe (FIFO), a device or a socket (not_regular): stat()
//     finds it before the open, and the open uses O_NONBLOCK and is checked
//     again with fstat(), so a pipe put under the name in between neither
//     blocks the open nor is read;
//   - a file larger than max_bytes (too_large), also one that grows past it
//     while it is read (a file of /proc that says it has 0 bytes, say);
// and a file that cannot be opened or read (unreadable). The message names
// the file and the reason ("rep-1/summary.csv is a pipe (FIFO), not a
// regular file"); the caller adds what to do.
#pragma once
#include <cstdint>
#include <string>

#include "base/atomic_file.hpp"

namespace qm {

struct input_file_error : file_error {
  enum class kind { missing, not_regular, too_large, unreadable };
  input_file_error(const std::string& file, const std::string& message, kind k)
      : file_error(file, message), why(k) {}
  kind why;
};

std::string read_input_file(const std::string& path, uint64_t max_bytes);

// "64 MiB", "512 KiB", "100 bytes": a limit as the messages give it.
std::string byte_limit_text(uint64_t bytes);

}  // namespace qm
