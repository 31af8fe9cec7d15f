// Console and log messages.
//
// A log or console that cannot be written stops the run (exit status 1),
// with a message on standard error.
//
// Every stop also writes "quillmere: TEXT" to standard error, before the log
// and the console, unless the console is not standard output (set by
// msg_set_console: it then takes the stop alone) or standard error leads to
// the same place as standard output (a terminal, 2>&1), where the console
// line stands already.
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
  int signal = 0;  // the signal (SIGINT, SIGTERM) that stopped the run, or 0
};

// Opens (replaces) the log file; false when it cannot be created.
bool msg_open_log(const char* path);
// Closes the log; false when what was pending could not be written.
bool msg_close_log();
// Where console lines go (standard output unless a test redirects them).
void msg_set_console(std::FILE* f);

void show(std::string_view text, bool stamp = false);
// --quiet: the lines of show_per_generation stay off the console, also
// when msg_replay writes a history's console text again.
void msg_set_quiet(bool quiet);
// The end of the line each generation shows: "    N" + this.
inline constexpr std::string_view generation_line_end = "   generation finished!";
// A line of every generation: as show(text), but not on the console under
// --quiet (log.txt has it either way).
void show_per_generation(std::string_view text);
// A free-format console line that does not reach the log.
void say(std::string_view text);
// A warning that is not part of the run's log or console (they stay as
// stored logs have them): "quillmere: warning: TEXT" on standard error,
// unless the console has been set elsewhere (a reading kept quiet, a test's
// capture: it then goes there, as a console line).
void warn(std::string_view text);
// An empty console line (no leading blank), for the end summary.
void console_blank_line();
// Saving a history: from msg_capture_begin() on, every line that reaches
// log.txt and the console is also kept, exactly as written, until
// msg_capture_end() returns it. A run that starts from the history writes
// the same text again with msg_replay, so that its log is the one the
// uninterrupted run writes.
struct captured_text {
  std::string log, console;
};
void msg_capture_begin();
captured_text msg_capture_end();
void msg_replay(std::string_view log_text, std::string_view console_text);
// The one stop path of the run: show(text) with the time stamp, then end
// the run (the caller of the driver turns run_stop into exit status 1).
[[noreturn]] void stop(std::string_view text);

// How a stop message reaches the user, where a stored log fixes it.
enum class stop_display {
  log_with_stamp,           // log and console, time-stamp line after it (every stop but the two below)
  console_only,             // console only, no time stamp, nothing in the log
  log_with_stamp_and_echo,  // as log_with_stamp, then the text once more on the console
};
[[noreturn]] void stop(std::string_view text, stop_display how);
// A signal ends the run: as stop(text), with the signal in the run_stop.
[[noreturn]] void stop_by_signal(std::string_view text, int signal);

// The stop messages of the run. Their wording is kept exactly as it is:
// stored logs of earlier runs are compared line by line with new ones.
namespace stop_text {
inline constexpr std::string_view more_sires_than_dams = "No. sire larger than dam. Program cannot run.";
inline constexpr std::string_view genotype_code1 = "Parameter Error in genotype_module! code 1";
inline constexpr std::string_view no_qtl = "No QTL generated! Task failed!";
inline constexpr std::string_view too_few_qtl = "tqtl litter than qtlp1";
inline constexpr std::string_view gamma_several_traits =
    "please choose normal distribution because of No Mutiple-Gamma for 2 or above traits with uncommon_QTL==0!";
inline constexpr std::string_view correlations_not_reached = "put new seed!";
inline constexpr std::string_view gamma_parameter = "RANDOM GAMMA DISTRIBUTION parameter error!";
inline constexpr std::string_view select_code1 = "Parameter error in select_module! code 1";
inline constexpr std::string_view select_code2 = "Parameter Error in select_module! code 2";
inline constexpr std::string_view sib_mating_unavoidable = "Sib mate cannot be avoided. Program cannot run.";
inline constexpr std::string_view too_many_alleles = "Too many alleles at one locus: allele number above 127.";
inline constexpr std::string_view rq_above_one =
    "rq larger than 1.0 to adjust the setting value for genetic correlation!";
}  // namespace stop_text

// The shortest decimal text that reads back as v (1e-45, 0.3).
std::string shortest_text(float v);
std::string shortest_text(double v);

// Local wall-clock time as hh:mm:ss.
std::string clock_hms();

}  // namespace qm
