#include "base/folder_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace qm {

folder_lock::~folder_lock() { release(); }

folder_lock::folder_lock(folder_lock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

folder_lock& folder_lock::operator=(folder_lock&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

namespace {

// The process number a holder wrote into the lock file, or "" when none can
// be read yet (the holder is between taking the lock and writing it).
std::string holder_of(int fd) {
  char buf[32];
  const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
  if (n <= 0) return "";
  std::string s(buf, static_cast<size_t>(n));
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  for (char c : s)
    if (c < '0' || c > '9') return "";
  return s;
}

}  // namespace

bool folder_lock::take(const std::string& folder, std::string& why, bool& held_by_other) {
  release();
  held_by_other = false;
  const std::string path = (folder.empty() ? std::string(".") : folder) + "/" + folder_lock_name;
  // A holder removes the file when it ends; a lock taken on a file that was
  // removed meanwhile guards nothing, so the lock counts only while the
  // name still leads to the locked file.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
      why = std::strerror(errno);
      return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int err = errno;
      if (err == EWOULDBLOCK) {
        held_by_other = true;
        std::string pid;
        for (int k = 0; k < 50 && (pid = holder_of(fd)).empty(); ++k) ::usleep(2000);
        why = pid.empty() ? "another process" : "process " + pid;
      } else {
        why = std::strerror(err);
      }
      ::close(fd);
      return false;
    }
    struct stat by_fd, by_name;
    if (::fstat(fd, &by_fd) == 0 && ::lstat(path.c_str(), &by_name) == 0 && by_fd.st_dev == by_name.st_dev &&
        by_fd.st_ino == by_name.st_ino) {
      const std::string pid = std::to_string(::getpid()) + "\n";
      if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        // The lock holds without the number; a second run then names no process.
      }
      fd_ = fd;
      path_ = path;
      return true;
    }
    ::close(fd);  // removed by its holder meanwhile: try the new one
  }
  why = "the lock file keeps changing";
  return false;
}

void folder_lock::release() {
  if (fd_ < 0) return;
  ::unlink(path_.c_str());
  ::close(fd_);
  fd_ = -1;
}

}  // namespace qm
