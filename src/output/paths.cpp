#include "output/paths.hpp"

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

}  // namespace qm
