#include "base/atomic_file.hpp"

#include <mutex>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qm {

namespace {
constexpr size_t buffer_limit = size_t{1} << 20;
}

void throw_io_error(const std::string& file, const char* what) {
  const std::string why = std::strerror(errno);
  throw file_error(file, "Result file " + file + " cannot be " + what + " (" + why +
                             "). Check the free space and the permissions of the folder.");
}

std::string temp_name_of(const std::string& name) { return name + ".tmp"; }

namespace {
std::mutex written_mu;  // result files get their names on more than one thread
std::vector<std::string> written;
}  // namespace

void commit_rename(const std::string& temp, const std::string& name) {
  if (std::rename(temp.c_str(), name.c_str()) != 0) {
    const int e = errno;
    ::unlink(temp.c_str());
    errno = e;
    throw_io_error(name, "given its name");
  }
  std::lock_guard<std::mutex> l(written_mu);
  written.push_back(name);
}

std::vector<std::string> files_written() {
  std::lock_guard<std::mutex> l(written_mu);
  return written;
}
void forget_files_written() {
  std::lock_guard<std::mutex> l(written_mu);
  written.clear();
}

atomic_file::atomic_file(std::string name) : name_(std::move(name)), temp_(temp_name_of(name_)) {
  fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd_ < 0) throw_io_error(name_, "created");
  buf_.reserve(buffer_limit);
}

atomic_file::~atomic_file() {
  if (fd_ >= 0) {
    ::close(fd_);
    ::unlink(temp_.c_str());
  }
}

void atomic_file::fail(const char* what) {
  const int e = errno;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  ::unlink(temp_.c_str());
  errno = e;
  throw_io_error(name_, what);
}

void atomic_file::write(const void* data, size_t n) {
  if (fd_ < 0) throw file_error(name_, "Result file " + name_ + " is written after it was closed.");
  // Small pieces are gathered; a large one goes straight to the file (a copy
  // into the buffer would cost more than the call it saves).
  if (n < buffer_limit / 4 && buf_.size() + n <= buffer_limit) {
    buf_.append(static_cast<const char*>(data), n);
    return;
  }
  flush();
  put(static_cast<const char*>(data), n);
}

void atomic_file::flush() {
  put(buf_.data(), buf_.size());
  buf_.clear();
}

void atomic_file::put(const char* p, size_t n) {
  while (n > 0) {
    const ssize_t k = ::write(fd_, p, n);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) {
      if (k == 0) errno = EIO;
      fail("written");
    }
    p += k;
    n -= static_cast<size_t>(k);
  }
}

void atomic_file::reserve(uint64_t n) {
  if (fd_ < 0 || n == 0) return;
  // The file's size stays what is written; callers reserve the final size.
  if (::fallocate(fd_, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(n)) != 0 && errno != EOPNOTSUPP &&
      errno != ENOSYS && errno != EINVAL)
    fail("written");
}

void atomic_file::commit() {
  if (fd_ < 0) throw file_error(name_, "Result file " + name_ + " is closed twice.");
  flush();
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) {
    const int e = errno;
    ::unlink(temp_.c_str());
    errno = e;
    throw_io_error(name_, "closed");
  }
  commit_rename(temp_, name_);
}

}  // namespace qm
