// The files a run writes around its generations: log.txt, opened before the
// parameter file is read, and run.json, written after the run (also after a
// stop): what ran, with which seed and threads, how long, how much memory,
// every file it finished (size and SHA-256), and how it ended.
#pragma once
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "base/output_folder.hpp"
#include "config/options.hpp"
#include "config/parameters.hpp"
#include "run/observer.hpp"

namespace qm {

inline constexpr const char* log_file_name = "log.txt";
inline constexpr const char* run_record_name = "run.json";

// Declares log.txt and run.json, and the history file that --save-history
// writes when it lies in the output folder.
std::unique_ptr<generation_observer> make_run_record_files(const run_options& o);

// How a run ended, for its record.
struct run_ending {
  std::time_t start = 0;
  double seconds = 0.0;
  int32_t seed = 0;  // the seed the stream started from (0: it did not start)
  int status = 0;
  std::string stop_message;  // of a run that stopped
};

// Writes run.json into folder; file_error when it cannot be written.
void write_run_record(const output_folder& folder, const run_options& o, const run_parameters& p,
                      const run_ending& e);

}  // namespace qm
