// run.json: what a run was given, what it wrote and how it ended.
//
// The run fills a run_manifest as it goes and writes it at its end (also
// after a stop) with write_manifest; the merge of replicate runs reads it
// back with read_manifest. JSON object, keys in this order:
//   program ("quillmere"), version, command_line (array of strings),
//   parameter_file, parameter_file_sha256, from_history and save_history
//   (the history files of --from-history and --save-history as the command
//   line gave them; null when not given), seed, threads, replicate,
//   output_files (the kinds of file chosen, --files, as an array),
//   output_generations (--generations as given, "all" by default),
//   start_time, end_time (ISO 8601 local time with its UTC offset,
//   e.g. "2026-03-01T14:05:09+01:00"), wall_seconds,
//   peak_memory_bytes (getrusage ru_maxrss, which Linux gives in KiB, times
//   1024), exit_status, stop_message (null when the run ended normally),
//   files: [{name, size (bytes), sha256}] sorted by name; a name is the
//   path from the folder of run.json (a history saved elsewhere: "../h.qmh").
// A run.json without from_history and save_history (written before they
// were kept) reads as one without histories; one without output_files and
// output_generations as one with the default files of every generation.
// The file is written as "run.json.tmp" and renamed when complete.
#pragma once
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace qm {

struct manifest_file {
  std::string name;
  uint64_t size = 0;
  std::string sha256;
  bool operator==(const manifest_file&) const = default;
};

struct run_manifest {
  std::string version;
  std::vector<std::string> command_line;
  std::string parameter_file;
  std::string parameter_file_sha256;
  std::optional<std::string> from_history, save_history;
  int64_t seed = 0;
  int32_t threads = 1;
  int32_t replicate = 0;
  std::vector<std::string> output_files{"haplotypes", "values", "ebv", "summary", "report"};
  std::string output_generations = "all";
  std::string start_time, end_time;
  double wall_seconds = 0.0;
  int64_t peak_memory_bytes = 0;
  int32_t exit_status = 0;
  std::optional<std::string> stop_message;
  std::vector<manifest_file> files;
  bool operator==(const run_manifest&) const = default;
};

// Size and SHA-256 of a file on disk; file_error (run/atomic_file.hpp) when
// it cannot be read.
manifest_file describe_file(const std::string& path);
// Adds (or, for a name already listed, replaces) the entries of files.
void record_files(run_manifest& m, const std::vector<std::string>& files, int nthreads = 1);

// Local time t as "YYYY-MM-DDThh:mm:ss+hh:mm".
std::string iso8601_local(std::time_t t);
// Peak resident memory of the process so far, in bytes.
int64_t peak_memory_bytes();

// Writes m to path atomically (files sorted by name); file_error on failure.
void write_manifest(const std::string& path, const run_manifest& m);
// Reads a manifest back; file_error naming path when it cannot be read or
// lacks a field.
run_manifest read_manifest(const std::string& path);
// The same from the text of the file read from path (which the messages name).
run_manifest parse_manifest(const std::string& text, const std::string& path);

}  // namespace qm
