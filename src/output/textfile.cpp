#include "output/textfile.hpp"

#include <cerrno>
#include <cstring>

#include "run/interrupt.hpp"
#include "run/messages.hpp"

namespace qm {

namespace {
constexpr size_t flush_at = size_t{1} << 22;
long long fault_budget = -1;  // bytes that may still be written; < 0: no fault
}  // namespace

void textfile::inject_write_fault_after(long long n) { fault_budget = n; }

namespace {
// Any failure of the file stops the run with the file's own message.
[[noreturn]] void stop_with(const file_error& e) { stop(e.what()); }
}  // namespace

textfile::textfile(std::string name) : name_(std::move(name)) {
  try {
    file_ = std::make_unique<atomic_file>(name_);
  } catch (const file_error& e) {
    stop_with(e);
  }
}

textfile::~textfile() = default;  // an unfinished atomic_file removes its temporary file

void textfile::put(const char* data, size_t n) {
  if (n == 0) return;
  stop_if_signalled();
  if (fault_budget >= 0) {
    if (static_cast<long long>(n) > fault_budget) {
      fault_budget = 0;
      file_.reset();
      errno = ENOSPC;
      try {
        throw_io_error(name_, "written");
      } catch (const file_error& e) {
        stop_with(e);
      }
    }
    fault_budget -= static_cast<long long>(n);
  }
  try {
    file_->write(data, n);
  } catch (const file_error& e) {
    file_.reset();
    stop_with(e);
  }
}

void textfile::write_out() {
  put(buf_.get(), len_);
  len_ = 0;
}

char* textfile::room(size_t n) {
  if (len_ + n > cap_) {
    size_t cap = cap_ ? cap_ : 1 << 16;
    while (cap < len_ + n) cap *= 2;
    std::unique_ptr<char[]> b(new char[cap]);
    if (len_) std::memcpy(b.get(), buf_.get(), len_);
    buf_ = std::move(b);
    cap_ = cap;
  }
  return buf_.get() + len_;
}

void textfile::line(std::string_view text) {
  char* p = room(text.size() + 1);
  std::memcpy(p, text.data(), text.size());
  p[text.size()] = '\n';
  commit(p + text.size() + 1);
  maybe_flush();
}

void textfile::maybe_flush() {
  if (len_ >= flush_at) write_out();
}

void textfile::write(const char* data, size_t n) {
  write_out();
  put(data, n);
}

void textfile::finish() {
  if (!file_) return;
  write_out();
  try {
    file_->commit();
  } catch (const file_error& e) {
    file_.reset();
    stop_with(e);
  }
  file_.reset();
}

}  // namespace qm
