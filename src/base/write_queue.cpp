#include "base/write_queue.hpp"

#include <signal.h>

#include <algorithm>
#include <exception>
#include <vector>

#include "base/atomic_file.hpp"
#include "base/threads.hpp"

namespace qm {

text_block spare_block(size_t n) {
  constexpr size_t unit = size_t{1} << 20;
  text_block b;
  b.text.reset((std::max<size_t>(n, 1) + unit - 1) / unit * unit, n);
  return b;
}

void return_block(text_block&& b) {
  b.text.reset();
  b.len = 0;
}

write_queue::write_queue(size_t max_waiting) : max_waiting_(max_waiting) {}

write_queue::~write_queue() {
  {
    std::lock_guard<std::mutex> l(mu_);
    quit_ = true;
  }
  work_.notify_one();
  if (thread_.joinable()) thread_.join();  // the thread leaves once the queue is empty
}

void write_queue::push(job j) {
  std::unique_lock<std::mutex> l(mu_);
  if (!thread_.joinable()) {
    thread_ = std::thread([this] {
      // SIGINT and SIGTERM go to the run's own threads, which stop the run.
      sigset_t s;
      sigemptyset(&s);
      sigaddset(&s, SIGINT);
      sigaddset(&s, SIGTERM);
      pthread_sigmask(SIG_BLOCK, &s, nullptr);
      run();
    });
  }
  const size_t n = j.b.cap();
  room_.wait(l, [&] { return waiting_ == 0 || waiting_ + n <= max_waiting_; });
  waiting_ += n;
  if (waiting_ > peak_) peak_ = waiting_;
  queue_.push_back(std::move(j));
  work_.notify_one();
}

write_queue::file_ref write_queue::open(std::string name) {
  file_ref f = std::make_shared<file>();
  f->name = std::move(name);
  push({kind::open, f, {}, {}});
  return f;
}

void write_queue::write(const file_ref& f, text_block&& b) {
  if (b.len == 0) return return_block(std::move(b));
  push({kind::data, f, std::move(b), {}});
}

void write_queue::commit(const file_ref& f) { push({kind::commit, f, {}, {}}); }

void write_queue::abandon(const file_ref& f) { push({kind::abandon, f, {}, {}}); }

void write_queue::when_done(std::function<void()> fn) { push({kind::call, nullptr, {}, std::move(fn)}); }

void write_queue::settle() {
  std::unique_lock<std::mutex> l(mu_);
  done_.wait(l, [&] { return queue_.empty() && !busy_; });
}

std::string write_queue::failure() const {
  std::lock_guard<std::mutex> l(mu_);
  return failure_;
}

bool write_queue::failed() const {
  std::lock_guard<std::mutex> l(mu_);
  return !failure_.empty();
}

size_t write_queue::waiting_peak() const {
  std::lock_guard<std::mutex> l(mu_);
  return peak_;
}

void write_queue::carry_out(job& j) {
  const bool stopped = failed();
  try {
    switch (j.k) {
      case kind::open:
        if (!stopped) j.f->out = std::make_unique<atomic_file>(j.f->name);
        break;
      case kind::data:
        if (!stopped && j.f->out) j.f->out->write(j.b.text.get(), j.b.len);
        break;
      case kind::commit:
        if (!stopped && j.f->out) j.f->out->commit();
        j.f->out.reset();  // after a failure: removes the temporary file
        break;
      case kind::abandon:
        j.f->out.reset();
        break;
      case kind::call:
        if (!stopped) j.fn();
        break;
    }
  } catch (const std::exception& e) {
    if (j.f) j.f->out.reset();
    const std::string what = e.what();
    std::lock_guard<std::mutex> l(mu_);
    if (failure_.empty())
      failure_ = dynamic_cast<const file_error*>(&e) || !j.f
                     ? what
                     : "Result file " + j.f->name + " cannot be written (" + what + ").";
  }
}

void write_queue::run() {
  std::unique_lock<std::mutex> l(mu_);
  for (;;) {
    work_.wait(l, [&] { return quit_ || !queue_.empty(); });
    if (queue_.empty()) return;
    job j = std::move(queue_.front());
    queue_.pop_front();
    busy_ = true;
    l.unlock();
    {
      background_work working;
      carry_out(j);
    }
    const size_t n = j.b.cap();
    return_block(std::move(j.b));
    j = job{};  // the file reference goes before the queue says it is done
    l.lock();
    waiting_ -= n;
    busy_ = false;
    room_.notify_all();
    if (queue_.empty()) done_.notify_all();
  }
}

}  // namespace qm
