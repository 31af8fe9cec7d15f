#include "base/paths.hpp"

#include <algorithm>
#include <filesystem>

namespace qm {

namespace {
std::string folder_;
}  // namespace

void set_output_folder(std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  folder_ = std::move(folder);
}

const std::string& output_folder() { return folder_; }

std::string output_path(std::string_view name) {
  if (folder_.empty() || folder_ == ".") return std::string(name);
  return folder_ + "/" + std::string(name);
}

bool is_run_file(std::string_view n) {
  auto ends = [&](std::string_view t) { return n.size() >= t.size() && n.substr(n.size() - t.size()) == t; };
  if (ends(".partial") || ends(".part") || ends(".tmp")) return true;
  for (std::string_view exact : {"log.txt", "run.json", "summary.csv", "report.html", "ld_decay.csv",
                                 "replicates.csv", "replicates_ld.csv"})
    if (n == exact) return true;
  for (std::string_view suffix : {".out", "geno.bed", "geno.bim", "geno.fam", "geno.vcf.gz", "geno.vcf.gz.csi",
                                  "geno.vcf.gz.tbi", "geno.log"})
    if (ends(suffix)) return true;
  return false;
}

std::vector<std::string> run_files_in(const std::string& folder) {
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
