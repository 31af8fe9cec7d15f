// Console and log messages.
//
// show() writes a line to log.txt (without trailing blanks) and the same line
// to the console with one leading blank; with a time stamp, the line
// " dd/mm/yyyy hh:mm:ss" follows in both places. stop() shows a message with
// the time stamp and ends the run (the driver's caller turns run_stop into
// exit status 1).
#pragma once
#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qm {

struct run_stop : std::runtime_error {
  explicit run_stop(const std::string& what) : std::runtime_error(what) {}
};

// Opens (replaces) the log file; false when it cannot be created.
bool msg_open_log(const char* path);
void msg_close_log();
// Where console lines go (standard output unless a test redirects them).
void msg_set_console(std::FILE* f);

void show(std::string_view text, bool stamp = false);
// A free-format console line that does not reach the log.
void say(std::string_view text);
// An empty console line (no leading blank), for the end summary.
void console_blank_line();
// show(text) with the time stamp, then end the run.
[[noreturn]] void stop(std::string_view text);

// Local wall-clock time as hh:mm:ss.
std::string clock_hms();

}  // namespace qm
