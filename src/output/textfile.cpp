#include "output/textfile.hpp"

#include <cerrno>
#include <cstring>

#include "run/messages.hpp"

namespace qm {

namespace {
constexpr size_t flush_at = size_t{1} << 20;

[[noreturn]] void failed(textfile& t, const char* what) {
  const std::string why = std::strerror(errno);
  if (t.f) std::fclose(t.f);
  t.f = nullptr;
  stop("Result file " + t.name + " cannot be " + what + " (" + why +
       "). Check the free space and the permissions of the working folder.");
}

void write_out(textfile& t) {
  if (!t.buf.empty() && std::fwrite(t.buf.data(), 1, t.buf.size(), t.f) != t.buf.size()) failed(t, "written");
  t.buf.clear();
}
}  // namespace

void tf_open(textfile& t, const std::string& name) {
  t.name = name;
  t.buf.clear();
  t.f = std::fopen(name.c_str(), "w");
  if (!t.f) failed(t, "created");
}

char* tf_room(textfile& t, size_t n) {
  const size_t old = t.buf.size();
  t.buf.resize(old + n);
  return t.buf.data() + old;
}

void tf_commit(textfile& t, char* end) { t.buf.resize(static_cast<size_t>(end - t.buf.data())); }

void tf_line(textfile& t, const std::string& line) {
  t.buf += line;
  t.buf += '\n';
  tf_maybe_flush(t);
}

void tf_maybe_flush(textfile& t) {
  if (t.buf.size() >= flush_at) write_out(t);
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
