#include "output/run_record.hpp"

#include <algorithm>
#include <filesystem>
#include <vector>

#include "base/atomic_file.hpp"
#include "base/sha256.hpp"
#include "output/manifest.hpp"

namespace qm {

namespace {

class run_record_files : public generation_observer {
 public:
  explicit run_record_files(const run_options& o) : folder_(o.outdir), history_(o.save_history) {}
  void plan_files(const run_parameters&, const stage_plan&, file_plan& files) const override {
    files.names.insert({log_file_name, run_record_name});
    // The history counts as a file of the folder when it is written there.
    if (history_.empty()) return;
    const std::filesystem::path h(history_);
    std::error_code ec;
    if (std::filesystem::equivalent(h.parent_path().empty() ? std::filesystem::path(".") : h.parent_path(),
                                    folder_.directory(), ec))
      files.names.insert(h.filename().string());
  }
  void name_patterns(std::vector<file_name_pattern>& patterns) const override {
    patterns.push_back({log_file_name});
    patterns.push_back({run_record_name});
  }

 private:
  output_folder folder_;
  std::string history_;
};

}  // namespace

std::unique_ptr<generation_observer> make_run_record_files(const run_options& o) {
  return std::make_unique<run_record_files>(o);
}

void write_run_record(const output_folder& folder, const run_options& o, const run_parameters& p,
                      const run_ending& e) {
  run_manifest m;
  m.version = QM_VERSION;
  m.command_line = o.command_line;
  m.parameter_file = p.parafile;
  if (!o.from_history.empty()) m.from_history = o.from_history;
  if (!o.save_history.empty()) m.save_history = o.save_history;
  // Only a regular file the run could read is hashed: a pipe or a device
  // could block or never end.
  std::error_code ec;
  if (!p.parafile.empty() && std::filesystem::is_regular_file(p.parafile, ec) &&
      std::filesystem::file_size(p.parafile, ec) <= static_cast<uintmax_t>(limits::max_file_bytes)) {
    try {
      m.parameter_file_sha256 = sha256_file(p.parafile);
    } catch (const std::exception&) {
    }
  }
  m.seed = e.seed;
  m.threads = p.threads;
  m.replicate = static_cast<int32_t>(p.replicate);
  m.output_files.clear();
  for (const std::string& k : output_kinds())
    if (o.output.wants(k)) m.output_files.push_back(k);
  m.output_generations = o.output.generations.text();
  m.start_time = iso8601_local(e.start);
  m.end_time = iso8601_local(std::time(nullptr));
  m.wall_seconds = e.seconds;
  m.peak_memory_bytes = peak_memory_bytes();
  m.exit_status = e.status;
  if (e.status != 0) m.stop_message = e.stop_message;
  std::vector<std::string> files = files_written();
  const std::string log = folder.file(log_file_name);
  if (std::filesystem::is_regular_file(log, ec)) files.push_back(log);
  std::sort(files.begin(), files.end());
  files.erase(std::unique(files.begin(), files.end()), files.end());
  record_files(m, files, p.threads);
  // Each file by its path from the folder of run.json: its name for the
  // files of the folder, the way to a history saved elsewhere.
  for (manifest_file& f : m.files) {
    const std::filesystem::path from_folder = std::filesystem::relative(f.name, folder.directory(), ec);
    f.name = (ec || from_folder.empty() ? std::filesystem::path(f.name) : from_folder).string();
  }
  std::sort(m.files.begin(), m.files.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  write_manifest(folder.file(run_record_name), m);
}

}  // namespace qm
