#include "base/input_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qm {

namespace {

using kind = input_file_error::kind;

[[noreturn]] void refuse(const std::string& path, const std::string& text, kind k) {
  throw input_file_error(path, path + " " + text, k);
}

void check_kind(const std::string& path, const struct stat& st) {
  if (S_ISREG(st.st_mode)) return;
  const char* what = S_ISDIR(st.st_mode)                           ? "a folder"
                     : S_ISFIFO(st.st_mode)                        ? "a pipe (FIFO)"
                     : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "a device"
                     : S_ISSOCK(st.st_mode)                        ? "a socket"
                                                                   : "something else";
  refuse(path, std::string("is ") + what + ", not a regular file", kind::not_regular);
}

void check_size(const std::string& path, const struct stat& st, uint64_t max_bytes) {
  if (st.st_size >= 0 && static_cast<uint64_t>(st.st_size) <= max_bytes) return;
  refuse(path,
         "has " + std::to_string(st.st_size) + " bytes, more than the limit of " + byte_limit_text(max_bytes),
         kind::too_large);
}

struct fd_closer {
  int fd;
  ~fd_closer() { ::close(fd); }
};

}  // namespace

std::string byte_limit_text(uint64_t bytes) {
  if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  if (bytes >= (1u << 10) && bytes % (1u << 10) == 0) return std::to_string(bytes >> 10) + " KiB";
  return std::to_string(bytes) + " bytes";
}

std::string read_input_file(const std::string& path, uint64_t max_bytes) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) {
    const int e = errno;
    refuse(path, std::string("cannot be opened (") + std::strerror(e) + ")",
           e == ENOENT || e == ENOTDIR ? kind::missing : kind::unreadable);
  }
  check_kind(path, st);
  check_size(path, st, max_bytes);
  // O_NONBLOCK: should a pipe have taken the file's place since the stat,
  // the open returns at once instead of waiting for a writer; the fstat
  // below then refuses it.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) refuse(path, std::string("cannot be opened (") + std::strerror(errno) + ")", kind::unreadable);
  const fd_closer close_at_end{fd};
  if (::fstat(fd, &st) != 0) refuse(path, std::string("cannot be read (") + std::strerror(errno) + ")", kind::unreadable);
  check_kind(path, st);
  check_size(path, st, max_bytes);

  std::string text;
  text.reserve(static_cast<size_t>(st.st_size));
  char buf[1 << 16];
  for (;;) {
    const ssize_t k = ::read(fd, buf, sizeof buf);
    if (k < 0 && errno == EINTR) continue;
    if (k < 0) refuse(path, std::string("cannot be read (") + std::strerror(errno) + ")", kind::unreadable);
    if (k == 0) break;
    if (static_cast<uint64_t>(k) > max_bytes - text.size())
      refuse(path, "grew past the limit of " + byte_limit_text(max_bytes) + " while it was read", kind::too_large);
    text.append(buf, static_cast<size_t>(k));
  }
  return text;
}

}  // namespace qm
