#include "output/manifest.hpp"

#include "base/threads.hpp"

#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>
#include <type_traits>

#include "base/atomic_file.hpp"
#include "base/sha256.hpp"

namespace qm {

manifest_file describe_file(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    const std::string why = std::strerror(errno);
    throw file_error(path, "File " + path + " cannot be found for the run record (" + why + ").");
  }
  manifest_file f;
  f.name = path;
  f.size = static_cast<uint64_t>(st.st_size);
  f.sha256 = sha256_file(path);
  return f;
}

void record_files(run_manifest& m, const std::vector<std::string>& files, int nthreads) {
  // The files are hashed side by side, the largest first, so that no thread
  // is left alone with a large file at the end; each part describes its own
  // file.
  std::vector<uint64_t> size(files.size(), 0);
  for (size_t k = 0; k < files.size(); ++k) {
    struct stat st;
    if (::stat(files[k].c_str(), &st) == 0) size[k] = static_cast<uint64_t>(st.st_size);
  }
  std::vector<size_t> order(files.size());
  for (size_t k = 0; k < order.size(); ++k) order[k] = k;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return size[a] > size[b]; });
  std::vector<manifest_file> described(files.size());
  std::vector<std::string> errors(files.size());
  run_parallel(nthreads, static_cast<int>(files.size()), [&](int part) {
    const size_t k = order[static_cast<size_t>(part)];
    try {
      described[k] = describe_file(files[k]);
    } catch (const file_error& e) {
      errors[k] = e.what();
    }
  });
  for (size_t k = 0; k < files.size(); ++k)
    if (!errors[k].empty()) throw file_error(files[k], errors[k]);
  for (size_t k = 0; k < files.size(); ++k) {
    const std::string& name = files[k];
    manifest_file d = std::move(described[k]);
    auto it = std::find_if(m.files.begin(), m.files.end(), [&](const manifest_file& f) { return f.name == name; });
    if (it != m.files.end())
      *it = std::move(d);
    else
      m.files.push_back(std::move(d));
  }
}

std::string iso8601_local(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char b[64];
  const size_t n = std::strftime(b, sizeof b, "%Y-%m-%dT%H:%M:%S", &tm);
  long off = tm.tm_gmtoff;
  const char sign = off < 0 ? '-' : '+';
  if (off < 0) off = -off;
  char z[48];
  std::snprintf(z, sizeof z, "%c%02ld:%02ld", sign, off / 3600 % 100, off % 3600 / 60);
  return std::string(b, n) + z;
}

int64_t peak_memory_bytes() {
  struct rusage ru;
  if (getrusage(RUSAGE_SELF, &ru) != 0) return 0;
  return static_cast<int64_t>(ru.ru_maxrss) * 1024;
}

namespace {

nlohmann::ordered_json text_or_null(const std::optional<std::string>& text) {
  return text ? nlohmann::ordered_json(*text) : nlohmann::ordered_json(nullptr);
}

// A text or null under key; an absent key reads as null.
std::optional<std::string> optional_text(const nlohmann::json& j, const char* key) {
  const auto it = j.find(key);
  if (it == j.end() || it->is_null()) return std::nullopt;
  return it->get<std::string>();
}

}  // namespace

void write_manifest(const std::string& path, const run_manifest& m) {
  std::vector<manifest_file> files = m.files;
  std::stable_sort(files.begin(), files.end(),
                   [](const manifest_file& a, const manifest_file& b) { return a.name < b.name; });
  nlohmann::ordered_json j;
  j["program"] = "quillmere";
  j["version"] = m.version;
  j["command_line"] = m.command_line;
  j["parameter_file"] = m.parameter_file;
  j["parameter_file_sha256"] = m.parameter_file_sha256;
  j["from_history"] = text_or_null(m.from_history);
  j["save_history"] = text_or_null(m.save_history);
  j["seed"] = m.seed;
  j["threads"] = m.threads;
  j["replicate"] = m.replicate;
  j["output_files"] = m.output_files;
  j["output_generations"] = m.output_generations;
  j["start_time"] = m.start_time;
  j["end_time"] = m.end_time;
  j["wall_seconds"] = m.wall_seconds;
  j["peak_memory_bytes"] = m.peak_memory_bytes;
  j["exit_status"] = m.exit_status;
  j["stop_message"] = text_or_null(m.stop_message);
  j["files"] = nlohmann::ordered_json::array();
  for (const manifest_file& f : files)
    j["files"].push_back(nlohmann::ordered_json{{"name", f.name}, {"size", f.size}, {"sha256", f.sha256}});
  // Texts that are not valid UTF-8 (a file name, say) are written with the
  // replacement character rather than refused.
  const std::string text = j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
  atomic_file out(path);
  out.write(text);
  out.commit();
}

run_manifest read_manifest(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    const std::string why = std::strerror(errno);
    throw file_error(path, "Run record " + path + " cannot be opened (" + why + ").");
  }
  std::stringstream ss;
  ss << in.rdbuf();
  return parse_manifest(ss.str(), path);
}

namespace {

// The integer under key, which must be a JSON integer in the range of T: a
// conversion would wrap 4294967296 to 0 and make an exit status look normal.
template <class T>
T whole_field(const nlohmann::json& j, const char* key, const std::string& path) {
  const nlohmann::json& v = j.at(key);
  bool fits = false;
  if (v.is_number_unsigned())
    fits = v.get<uint64_t>() <= static_cast<uint64_t>(std::numeric_limits<T>::max());
  else if (v.is_number_integer())
    fits = std::is_signed_v<T> && v.get<int64_t>() >= static_cast<int64_t>(std::numeric_limits<T>::min()) &&
           v.get<int64_t>() <= static_cast<int64_t>(std::numeric_limits<T>::max());
  if (!fits) {
    std::string shown = v.dump();
    if (shown.size() > 40) shown = shown.substr(0, 36) + " ...";
    throw file_error(path, "Run record " + path + " cannot be read: \"" + key + "\" is " + shown +
                               ", not a whole number from " + std::to_string(std::numeric_limits<T>::min()) + " to " +
                               std::to_string(std::numeric_limits<T>::max()) +
                               ". Give the run.json that quillmere wrote, unchanged.");
  }
  return std::is_signed_v<T> && !v.is_number_unsigned() ? static_cast<T>(v.get<int64_t>())
                                                         : static_cast<T>(v.get<uint64_t>());
}

}  // namespace

run_manifest parse_manifest(const std::string& text, const std::string& path) {
  run_manifest m;
  try {
    const nlohmann::json j = nlohmann::json::parse(text);
    j.at("version").get_to(m.version);
    j.at("command_line").get_to(m.command_line);
    j.at("parameter_file").get_to(m.parameter_file);
    j.at("parameter_file_sha256").get_to(m.parameter_file_sha256);
    m.from_history = optional_text(j, "from_history");
    m.save_history = optional_text(j, "save_history");
    m.seed = whole_field<int64_t>(j, "seed", path);
    m.threads = whole_field<int32_t>(j, "threads", path);
    m.replicate = j.contains("replicate") ? whole_field<int32_t>(j, "replicate", path) : 0;
    if (j.contains("output_files")) j.at("output_files").get_to(m.output_files);
    if (j.contains("output_generations")) j.at("output_generations").get_to(m.output_generations);
    j.at("start_time").get_to(m.start_time);
    j.at("end_time").get_to(m.end_time);
    j.at("wall_seconds").get_to(m.wall_seconds);
    m.peak_memory_bytes = whole_field<int64_t>(j, "peak_memory_bytes", path);
    m.exit_status = whole_field<int32_t>(j, "exit_status", path);
    (void)j.at("stop_message");  // required, unlike the history keys
    m.stop_message = optional_text(j, "stop_message");
    for (const nlohmann::json& f : j.at("files"))
      m.files.push_back(manifest_file{f.at("name").get<std::string>(), whole_field<uint64_t>(f, "size", path),
                                      f.at("sha256").get<std::string>()});
  } catch (const nlohmann::json::exception& e) {
    throw file_error(path, "Run record " + path + " cannot be read: " + e.what() +
                               ". Give the run.json that quillmere wrote, unchanged.");
  }
  return m;
}

}  // namespace qm
