#include "base/messages.hpp"

#include <charconv>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

namespace qm {

std::string shortest_text(float v) {
  char b[64];
  const auto r = std::to_chars(b, b + sizeof b, v);
  return std::string(b, r.ptr);
}

std::string shortest_text(double v) {
  char b[64];
  const auto r = std::to_chars(b, b + sizeof b, v);
  return std::string(b, r.ptr);
}

namespace {
std::FILE* logf = nullptr;
std::FILE* consolef = nullptr;

std::FILE* console() { return consolef ? consolef : stdout; }

bool capturing = false;
captured_text captured;

std::string_view trim_right(std::string_view s) {
  size_t n = s.size();
  while (n > 0 && s[n - 1] == ' ') --n;
  return s.substr(0, n);
}

std::tm local_now() {
  const std::time_t t = std::time(nullptr);
  std::tm lt{};
  localtime_r(&t, &lt);
  return lt;
}

void put_line(std::FILE* f, std::string_view lead, std::string_view text) {
  std::fwrite(lead.data(), 1, lead.size(), f);
  std::fwrite(text.data(), 1, text.size(), f);
  std::fputc('\n', f);
}

// A log or console that can no longer be written stops the run: the
// message goes to standard error, the one channel left.
[[noreturn]] void lost(const char* what, int err) {
  std::fprintf(stderr, "quillmere: %s cannot be written (%s). Check the free space of the output folder.\n", what,
               std::strerror(err));
  throw run_stop(std::string(what) + " cannot be written");
}

// Whether standard error leads where standard output does (one terminal, or
// 2>&1): then a line on standard output is on standard error already.
bool standard_streams_shared() {
  struct stat out{}, err{};
  return fstat(fileno(stdout), &out) == 0 && fstat(fileno(stderr), &err) == 0 && out.st_dev == err.st_dev &&
         out.st_ino == err.st_ino;
}

// A stop's text on standard error, the channel a shell or a scheduler keeps
// for faults, when the console is standard output. Written before the log
// and the console, so that it arrives even when they can no longer be
// written (a full disk). A console set by msg_set_console (--check's
// standard error, a reading kept quiet, a test's capture) takes it alone.
void stop_to_standard_error(std::string_view text) {
  if ((consolef && consolef != stdout) || standard_streams_shared()) return;
  if (isatty(fileno(stderr))) std::fputs("\r\033[K", stderr);  // a progress line may stand there
  std::fprintf(stderr, "quillmere: %.*s\n", static_cast<int>(text.size()), text.data());
  std::fflush(stderr);
}

void flush_or_stop(std::FILE*& f, const char* what, bool is_log) {
  if (std::fflush(f) == 0 && !std::ferror(f)) return;
  const int err = errno;
  if (is_log) {
    std::fclose(f);
    f = nullptr;
  }
  lost(what, err);
}
}  // namespace

bool msg_open_log(const char* path) {
  msg_close_log();
  logf = std::fopen(path, "w");
  return logf != nullptr;
}

bool msg_close_log() {
  if (!logf) return true;
  const bool ok = std::fflush(logf) == 0 && !std::ferror(logf);
  const bool closed = std::fclose(logf) == 0;
  logf = nullptr;
  return ok && closed;
}

void msg_set_console(std::FILE* f) { consolef = f; }

namespace {
bool quiet_console = false;  // --quiet
}  // namespace

std::string clock_hms() {
  const std::tm lt = local_now();
  char b[16];
  std::snprintf(b, sizeof b, "%02d:%02d:%02d", lt.tm_hour, lt.tm_min, lt.tm_sec);
  return b;
}

namespace {
// show(): the line in the log, on the console when on_console, and in a
// history's capture as the console has it without --quiet.
void show_line(std::string_view text, bool stamp, bool on_console) {
  const std::string_view t = trim_right(text);
  char ts[40] = "";
  if (stamp) {
    const std::tm lt = local_now();
    std::snprintf(ts, sizeof ts, "%02d/%02d/%04d %02d:%02d:%02d", lt.tm_mday, lt.tm_mon + 1,
                  lt.tm_year + 1900, lt.tm_hour, lt.tm_min, lt.tm_sec);
  }
  if (logf) {
    put_line(logf, "", t);
    if (stamp) put_line(logf, " ", ts);
    flush_or_stop(logf, "log.txt", true);
  }
  if (on_console) {
    std::FILE* c = console();
    put_line(c, " ", t);
    if (stamp) put_line(c, " ", ts);
    flush_or_stop(c, "the console (standard output)", false);
  }
  if (capturing) {
    captured.log.append(t).push_back('\n');
    captured.console.append(" ").append(t).push_back('\n');
    if (stamp) {
      captured.log.append(" ").append(ts).push_back('\n');
      captured.console.append(" ").append(ts).push_back('\n');
    }
  }
}

}  // namespace

void show(std::string_view text, bool stamp) { show_line(text, stamp, true); }

void msg_set_quiet(bool quiet) { quiet_console = quiet; }

void show_per_generation(std::string_view text) { show_line(text, false, !quiet_console); }

void say(std::string_view text) {
  std::FILE* c = console();
  put_line(c, " ", text);
  flush_or_stop(c, "the console (standard output)", false);
  if (capturing) captured.console.append(" ").append(text).push_back('\n');
}

void warn(std::string_view text) {
  if (consolef && consolef != stdout) {
    std::fprintf(consolef, " warning: %.*s\n", static_cast<int>(text.size()), text.data());
    std::fflush(consolef);
    return;
  }
  if (isatty(fileno(stderr))) std::fputs("\r\033[K", stderr);
  std::fprintf(stderr, "quillmere: warning: %.*s\n", static_cast<int>(text.size()), text.data());
  std::fflush(stderr);
}

void console_blank_line() {
  std::FILE* c = console();
  std::fputc('\n', c);
  flush_or_stop(c, "the console (standard output)", false);
  if (capturing) captured.console.push_back('\n');
}

void msg_capture_begin() {
  captured = {};
  capturing = true;
}

captured_text msg_capture_end() {
  capturing = false;
  return std::move(captured);
}

void msg_replay(std::string_view log_text, std::string_view console_text) {
  if (logf && !log_text.empty()) {
    std::fwrite(log_text.data(), 1, log_text.size(), logf);
    flush_or_stop(logf, "log.txt", true);
  }
  if (!console_text.empty()) {
    std::FILE* c = console();
    if (!quiet_console) {
      std::fwrite(console_text.data(), 1, console_text.size(), c);
    } else {
      // Without the lines of the generations.
      for (size_t at = 0; at < console_text.size();) {
        size_t end = console_text.find('\n', at);
        end = end == std::string_view::npos ? console_text.size() : end + 1;
        std::string_view line = console_text.substr(at, end - at);
        if (line.ends_with('\n')) line.remove_suffix(1);
        line = trim_right(line);
        if (!line.ends_with(generation_line_end)) std::fwrite(console_text.data() + at, 1, end - at, c);
        at = end;
      }
    }
    flush_or_stop(c, "the console (standard output)", false);
  }
}

void stop(std::string_view text) { stop(text, stop_display::log_with_stamp); }

void stop(std::string_view text, stop_display how) {
  stop_to_standard_error(text);
  switch (how) {
    case stop_display::log_with_stamp:
      show(text, true);
      break;
    case stop_display::console_only:
      say(text);
      break;
    case stop_display::log_with_stamp_and_echo:
      show(text, true);
      say(text);
      break;
  }
  throw run_stop(std::string(text));
}

void stop_by_signal(std::string_view text, int signal) {
  stop_to_standard_error(text);
  show(text, true);
  run_stop e{std::string(text)};
  e.signal = signal;
  throw e;
}

}  // namespace qm
