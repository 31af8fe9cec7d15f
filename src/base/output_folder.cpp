#include "base/output_folder.hpp"

#include <algorithm>
#include <filesystem>

#include "base/atomic_file.hpp"
#include "base/fixed.hpp"

namespace qm {

output_folder::output_folder(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path == ".") path.clear();
  path_ = std::move(path);
}

std::string output_folder::file(std::string_view name) const {
  if (path_.empty()) return std::string(name);
  return path_ + "/" + std::string(name);
}

std::string result_name(int64_t g, std::string_view name) {
  std::string s;
  add_imin(s, g, 2, 2);
  return s.append(name);
}

bool file_name_pattern::matches(std::string_view file) const {
  if (!numbered) return file == name;
  if (file.size() < name.size() + 2 || file.substr(file.size() - name.size()) != name) return false;
  const std::string_view digits = file.substr(0, file.size() - name.size());
  return std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string list_of_names(const std::vector<std::string>& names) {
  std::string list;
  for (size_t k = 0; k < names.size() && k < 12; ++k) list += (k ? ", " : "") + names[k];
  if (names.size() > 12) list += ", ... (" + std::to_string(names.size()) + " files)";
  return list;
}

std::string_view final_name_of(std::string_view name) {
  const std::string suffix = temp_name_of("");
  if (name.size() <= suffix.size() || name.substr(name.size() - suffix.size()) != suffix) return {};
  return name.substr(0, name.size() - suffix.size());
}

bool file_plan::writes(std::string_view file) const {
  const auto in = [](const std::set<std::string>& s, std::string_view n) { return s.find(std::string(n)) != s.end(); };
  if (in(names, file) || in(passing, file)) return true;
  const std::string_view final_name = final_name_of(file);
  return !final_name.empty() && in(names, final_name);
}

bool run_files::is_run_file(std::string_view name) const {
  const auto shaped = [this](std::string_view n) {
    return std::any_of(patterns.begin(), patterns.end(), [n](const file_name_pattern& p) { return p.matches(n); });
  };
  if (shaped(name)) return true;
  const std::string_view final_name = final_name_of(name);
  return !final_name.empty() && shaped(final_name);
}

std::vector<std::string> run_files::found_in(const std::string& folder) const {
  std::vector<std::string> found;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(folder.empty() ? "." : folder, ec)) {
    const std::string n = e.path().filename().string();
    if (e.is_regular_file(ec) && is_run_file(n)) found.push_back(n);
  }
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace qm
