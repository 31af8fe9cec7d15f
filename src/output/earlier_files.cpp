#include "output/earlier_files.hpp"

#include "base/messages.hpp"

namespace qm {

namespace {

class earlier_files_warning : public generation_observer {
 public:
  explicit earlier_files_warning(const output_folder& folder) : folder_(folder) {}
  void on_run_files(const run_files& files) override {
    std::vector<std::string> kept;
    for (const std::string& f : files.found_in(folder_.directory()))
      if (!files.planned.writes(f)) kept.push_back(f);
    if (kept.empty()) return;
    show("Warning: files of an earlier run in this folder will not be replaced by this run: " + list_of_names(kept) +
         ". Move them away, or run with --outdir.");
  }

 private:
  output_folder folder_;
};

}  // namespace

std::unique_ptr<generation_observer> make_earlier_files_warning(const output_folder& folder) {
  return std::make_unique<earlier_files_warning>(folder);
}

}  // namespace qm
