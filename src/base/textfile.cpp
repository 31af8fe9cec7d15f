#include "base/textfile.hpp"

#include <cerrno>
#include <cstring>

#include "base/interrupt.hpp"
#include "base/messages.hpp"

namespace qm {

namespace {
constexpr size_t flush_at = size_t{1} << 22;
constexpr size_t flush_at_background = size_t{1} << 20;  // smaller blocks keep the queue moving
long long fault_budget = -1;  // bytes that may still be written; < 0: no fault
std::shared_ptr<write_queue> background;  // the queue of new files, while writing in the background
}  // namespace

void textfile::inject_write_fault_after(long long n) { fault_budget = n; }

namespace {
// Any failure of the file stops the run with the file's own message.
[[noreturn]] void stop_with(const file_error& e) { stop(e.what()); }

void stop_if_failed(const std::shared_ptr<write_queue>& q) {
  if (q && q->failed()) stop(q->failure());
}
}  // namespace

void textfile::write_in_background(bool on) {
  if (on) {
    if (!background) background = std::make_shared<write_queue>();
    return;
  }
  if (!background) return;
  background->settle();
  background.reset();  // the thread ends with the last file that uses it
}

bool textfile::writing_in_background() { return background != nullptr; }

void textfile::settle() {
  if (!background) return;
  background->settle();
  stop_if_failed(background);
}

void textfile::stop_if_background_failed() { stop_if_failed(background); }

void textfile::when_written(std::function<void()> fn) {
  if (background)
    background->when_done(std::move(fn));
  else
    fn();
}

textfile::textfile(std::string name) : name_(std::move(name)), queue_(background) {
  if (queue_) {
    stop_if_failed(queue_);
    queued_ = queue_->open(name_);
    return;
  }
  try {
    file_ = std::make_unique<atomic_file>(name_);
  } catch (const file_error& e) {
    open_ = false;
    stop_with(e);
  }
}

textfile::~textfile() {
  // An unfinished file is removed: directly by its atomic_file, in the
  // background after the blocks that wait for it.
  if (queue_ && open_) queue_->abandon(queued_);
  return_block(std::move(buf_));
}

void textfile::charge(size_t n) {
  if (fault_budget < 0) return;
  if (static_cast<long long>(n) > fault_budget) {
    fault_budget = 0;
    open_ = false;
    file_.reset();
    if (queue_) queue_->abandon(queued_);
    errno = ENOSPC;
    try {
      throw_io_error(name_, "written");
    } catch (const file_error& e) {
      stop_with(e);
    }
  }
  fault_budget -= static_cast<long long>(n);
}

void textfile::put(const char* data, size_t n) {
  if (n == 0) return;
  if (queue_) {
    block b = spare_block(n);
    std::memcpy(b.text.get(), data, n);
    b.len = n;
    return hand_over(std::move(b));
  }
  stop_if_signalled();
  charge(n);
  try {
    file_->write(data, n);
  } catch (const file_error& e) {
    open_ = false;
    file_.reset();
    stop_with(e);
  }
}

// A block for the writing thread.
void textfile::hand_over(block&& b) {
  stop_if_signalled();
  stop_if_failed(queue_);
  charge(b.len);
  queue_->write(queued_, std::move(b));
}

void textfile::write_out() {
  if (buf_.len == 0) return;
  if (queue_) {
    hand_over(std::move(buf_));
    buf_ = block{};
    return;
  }
  put(buf_.text.get(), buf_.len);
  buf_.len = 0;
}

char* textfile::room(size_t n) {
  if (buf_.len + n > buf_.cap()) {
    size_t cap = buf_.cap() ? buf_.cap() : 1 << 16;
    while (cap < buf_.len + n) cap *= 2;
    block b = spare_block(cap);
    if (buf_.len) std::memcpy(b.text.get(), buf_.text.get(), buf_.len);
    b.len = buf_.len;
    return_block(std::move(buf_));
    buf_ = std::move(b);
  }
  return buf_.text.get() + buf_.len;
}

void textfile::line(std::string_view text) {
  char* p = room(text.size() + 1);
  std::memcpy(p, text.data(), text.size());
  p[text.size()] = '\n';
  commit(p + text.size() + 1);
  maybe_flush();
}

void textfile::maybe_flush() {
  if (buf_.len >= (queue_ ? flush_at_background : flush_at)) write_out();
}

void textfile::write(const char* data, size_t n) {
  write_out();
  put(data, n);
}

void textfile::write(block&& b) {
  write_out();
  if (b.len == 0) return return_block(std::move(b));
  if (queue_) return hand_over(std::move(b));
  put(b.text.get(), b.len);
  return_block(std::move(b));
}

void textfile::finish() {
  if (!open_) return;
  write_out();
  if (queue_) {
    stop_if_failed(queue_);
    queue_->commit(queued_);
    open_ = false;
    return;
  }
  try {
    file_->commit();
  } catch (const file_error& e) {
    open_ = false;
    file_.reset();
    stop_with(e);
  }
  open_ = false;
  file_.reset();
}

}  // namespace qm
