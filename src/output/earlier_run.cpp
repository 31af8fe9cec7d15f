#include "output/earlier_run.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "base/atomic_file.hpp"
#include "base/input_file.hpp"
#include "config/parameters.hpp"
#include "output/manifest.hpp"
#include "output/run_record.hpp"

namespace qm {

namespace {

namespace fs = std::filesystem;

// A name run.json may list: a file directly inside the folder.
bool plain_name(const std::string& n) {
  return !n.empty() && n != "." && n != ".." && n.find('/') == std::string::npos;
}

// The files the folder's run.json lists, by name; false when there is no
// run.json that can be read (missing, not a regular file, too large to be
// one, or not a run record).
bool read_record(const output_folder& folder, std::map<std::string, manifest_file>& listed, bool& stopped_early) {
  const std::string path = folder.file(run_record_name);
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;  // a link is not the run's record
  try {
    run_manifest m = parse_manifest(read_input_file(path, limits::max_file_bytes), path);
    stopped_early = m.exit_status != 0 && std::all_of(m.files.begin(), m.files.end(), [](const manifest_file& f) {
                      return f.name == log_file_name;
                    });
    for (manifest_file& f : m.files)
      if (plain_name(f.name)) listed.emplace(f.name, std::move(f));
  } catch (const file_error&) {
    return false;
  }
  return true;
}

// Whether the file still has the size and content the record gives.
bool unchanged(const std::string& path, uint64_t size, const manifest_file& recorded) {
  if (size != recorded.size) return false;
  try {
    return describe_file(path).sha256 == recorded.sha256;
  } catch (const file_error&) {
    return false;
  }
}

}  // namespace

folder_survey survey_output_folder(const output_folder& folder, const run_files& files,
                                   const std::vector<std::string>& named_files, bool check_contents) {
  folder_survey s;
  std::map<std::string, manifest_file> listed;
  s.recorded = read_record(folder, listed, s.stopped_before_results);

  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder.directory(), ec)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());

  const auto is_named = [&](const std::string& path) {
    return std::any_of(named_files.begin(), named_files.end(), [&](const std::string& named) {
      std::error_code ec2;
      return !named.empty() && fs::equivalent(path, named, ec2);
    });
  };
  const auto final_planned = [&](const std::string& n) { return files.planned.names.count(n) != 0; };

  bool record_removable = false;
  for (const std::string& n : names) {
    const std::string path = folder.file(n);
    struct stat st;
    const bool regular = ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    const bool written_by_this_run = files.planned.writes(n);
    if (!regular || is_named(path)) {
      if (written_by_this_run) s.in_the_way.push_back(n);
      continue;
    }
    if (!s.recorded) {
      // A classic folder: the names this run declares.
      if (written_by_this_run) {
        s.earlier.push_back(n);
        s.removable.push_back(n);
      }
      continue;
    }
    if (n == run_record_name) {
      s.earlier.push_back(n);
      record_removable = true;
      continue;
    }
    const auto entry = listed.find(n);
    if (entry != listed.end()) {
      s.earlier.push_back(n);
      if (!check_contents) continue;
      if (unchanged(path, static_cast<uint64_t>(st.st_size), entry->second)) {
        s.removable.push_back(n);
      } else {
        s.changed.push_back(n);
        if (written_by_this_run) s.in_the_way.push_back(n);
      }
      continue;
    }
    // Leftovers under temporary names: of a listed file or of run.json, or
    // a name this run writes only on the way.
    const std::string final_name(final_name_of(n));
    const bool leftover = (!final_name.empty() && (listed.count(final_name) || final_name == run_record_name)) ||
                          (written_by_this_run && !final_planned(n));
    if (leftover) {
      s.earlier.push_back(n);
      s.removable.push_back(n);
    } else if (written_by_this_run) {
      s.in_the_way.push_back(n);
    }
  }
  // run.json goes last, so that a removal cut short leaves a record of what remains.
  if (record_removable) s.removable.push_back(run_record_name);
  return s;
}

}  // namespace qm
