#include "output/textfile.hpp"

#include <cerrno>
#include <cstring>

#include "run/atomic_file.hpp"
#include "run/interrupt.hpp"
#include "run/messages.hpp"

namespace qm {

namespace {
constexpr size_t flush_at = size_t{1} << 22;
long long fault_budget = -1;  // bytes that may still be written; < 0: no fault
}  // namespace

void textfile::inject_write_fault_after(long long n) { fault_budget = n; }

textfile::textfile(std::string name) : name_(std::move(name)), partial_(name_ + ".partial") {
  f_ = std::fopen(partial_.c_str(), "w");
  if (!f_) failed("created", errno);
}

textfile::~textfile() {
  if (finished_) return;
  if (f_) std::fclose(f_);
  std::remove(partial_.c_str());
}

[[noreturn]] void textfile::failed(const char* what, int err) {
  const std::string why = std::strerror(err);
  if (f_) std::fclose(f_);
  f_ = nullptr;
  std::remove(partial_.c_str());
  finished_ = true;
  stop("Result file " + name_ + " cannot be " + what + " (" + why +
       "). Check the free space and the permissions of the output folder.");
}

void textfile::put(const char* data, size_t n) {
  if (n == 0) return;
  stop_if_signalled();
  if (fault_budget >= 0) {
    if (static_cast<long long>(n) > fault_budget) {
      fault_budget = 0;
      failed("written", ENOSPC);
    }
    fault_budget -= static_cast<long long>(n);
  }
  if (std::fwrite(data, 1, n, f_) != n) failed("written", errno);
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
  if (finished_) return;
  write_out();
  const int closed = std::fclose(f_);
  const int err = errno;
  f_ = nullptr;
  if (closed != 0) failed("closed", err);
  try {
    commit_rename(partial_, name_);
  } catch (const file_error&) {
    failed("given its name", errno);
  }
  finished_ = true;
}

}  // namespace qm
