// A file that appears under its final name only when it is complete.
//
// atomic_file writes to "<name>.tmp" in the same folder; commit() closes it
// and renames it to <name>. Every write, close and rename is checked: a
// failure throws file_error, whose message names the file and says what to
// check, and removes the temporary file. A file that is never committed (an
// exception on the way, for one) is removed when the object goes away, so no
// half-written file is ever left under either name.
//
// The writers of the genotype formats and the run manifest throw file_error
// for every failure, including input they cannot represent; the caller turns
// it into a stop of the run (what() is the message for the user).
#pragma once
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

struct file_error : std::runtime_error {
  file_error(const std::string& file, const std::string& message)
      : std::runtime_error(message), file(file) {}
  std::string file;  // the final name of the file concerned
};

// "Result file NAME cannot be WHAT (strerror(errno)). Check the free space
// and the permissions of the folder." as a file_error.
[[noreturn]] void throw_io_error(const std::string& file, const char* what);

class atomic_file {
 public:
  // Creates "<name>.tmp" (replacing a stale one).
  explicit atomic_file(std::string name);
  ~atomic_file();
  atomic_file(const atomic_file&) = delete;
  atomic_file& operator=(const atomic_file&) = delete;

  // Appends bytes; small pieces collect in a buffer, large ones go straight
  // to the file.
  void write(const void* data, size_t n);
  void write(std::string_view s) { write(s.data(), s.size()); }
  // Sets aside disk space for the n bytes the file will have, when the file
  // system can: a full disk shows at once, and the writes that follow are
  // cheaper. The size of the file is still what is written.
  void reserve(uint64_t n);
  // Writes what is pending, closes, renames to the final name.
  void commit();

  const std::string& name() const { return name_; }
  const std::string& temp_name() const { return temp_; }

 private:
  void flush();
  void put(const char* p, size_t n);
  void fail(const char* what);
  std::string name_, temp_;
  int fd_ = -1;
  std::string buf_;
};

// The temporary name atomic_file uses for name.
std::string temp_name_of(const std::string& name);
// Renames a finished temporary file to its final name; file_error when that
// fails (the temporary file is then removed).
// Renames a complete temporary file to its final name, and remembers the
// name for the run's record (run.json). Every finished file of a run goes
// through here.
void commit_rename(const std::string& temp, const std::string& name);
// The final names of the files finished so far, in the order they were finished.
std::vector<std::string> files_written();
void forget_files_written();

}  // namespace qm
