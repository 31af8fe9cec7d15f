#include "output/textfile.hpp"

#include <cerrno>
#include <cstring>

#include "run/messages.hpp"

namespace qm {

namespace {
constexpr size_t flush_at = size_t{1} << 22;

[[noreturn]] void failed(textfile& t, const char* what) {
  const std::string why = std::strerror(errno);
  if (t.f) std::fclose(t.f);
  t.f = nullptr;
  stop("Result file " + t.name + " cannot be " + what + " (" + why +
       "). Check the free space and the permissions of the working folder.");
}

void write_out(textfile& t) {
  if (t.len != 0 && std::fwrite(t.buf.get(), 1, t.len, t.f) != t.len) failed(t, "written");
  t.len = 0;
}
}  // namespace

void tf_open(textfile& t, const std::string& name) {
  t.name = name;
  t.len = 0;
  t.f = std::fopen(name.c_str(), "w");
  if (!t.f) failed(t, "created");
}

char* tf_room(textfile& t, size_t n) {
  if (t.len + n > t.cap) {
    size_t cap = t.cap ? t.cap : 1 << 16;
    while (cap < t.len + n) cap *= 2;
    std::unique_ptr<char[]> b(new char[cap]);
    if (t.len) std::memcpy(b.get(), t.buf.get(), t.len);
    t.buf = std::move(b);
    t.cap = cap;
  }
  return t.buf.get() + t.len;
}

void tf_line(textfile& t, const std::string& line) {
  char* p = tf_room(t, line.size() + 1);
  std::memcpy(p, line.data(), line.size());
  p[line.size()] = '\n';
  tf_commit(t, p + line.size() + 1);
  tf_maybe_flush(t);
}

void tf_maybe_flush(textfile& t) {
  if (t.len >= flush_at) write_out(t);
}

void tf_write(textfile& t, const char* data, size_t n) {
  write_out(t);
  if (n != 0 && std::fwrite(data, 1, n, t.f) != n) failed(t, "written");
}

void tf_close(textfile& t) {
  if (!t.f) return;
  write_out(t);
  if (std::fclose(t.f) != 0) {
    t.f = nullptr;
    failed(t, "closed");
  }
  t.f = nullptr;
}

}  // namespace qm
