#include "output/earlier_files.hpp"

#include "base/paths.hpp"
#include "output/results.hpp"
#include "config/stage_plan.hpp"
#include "base/messages.hpp"

namespace qm {

std::set<std::string> planned_file_names(const run_parameters& p, const run_options& o) {
  std::set<std::string> names = {"log.txt", "run.json", "summary.csv", "summary.csv.part", "ld_decay.csv", "report.html"};
  if (p.maptype == 1) names.insert("mposition.out");
  if (p.nstage >= 2) names.insert({"QMAP.out", "MMAP.out", "Genetic_paramenters.out"});
  int64_t made = 1;
  for (int s = 2; s <= p.nstage; ++s) {
    const stage_entry& e = p.stages[static_cast<size_t>(s)];
    if (!e.readable) break;  // the run stops there
    for (const plan_segment& seg : stage_segments(s, e.block, made)) {
      for (int64_t k = 0; k < seg.count; ++k) {
        const int64_t g = step_of(s, seg, k).file_generation;
        for (const char* n : {"MTYPE.out", "QTYPE.out", "BV.out"}) names.insert(result_name(g, n));
        if (selects_on_ebv(e.block.criterion())) names.insert(result_name(g, "EBV.out"));
        if (o.plink)
          for (const char* n : {"geno.bed", "geno.bim", "geno.fam"}) names.insert(result_name(g, n));
        if (o.vcf)
          for (const char* n : {"geno.vcf.gz", "geno.vcf.gz.csi"}) names.insert(result_name(g, n));
      }
    }
    if (s >= 3) made += e.block.ngen;
  }
  return names;
}

namespace {

class earlier_files_warning : public generation_observer {
 public:
  explicit earlier_files_warning(const run_options& o) : options_(o) {}
  void on_map(const run_parameters& p, const genome_map&) override {
    const std::set<std::string> planned = planned_file_names(p, options_);
    std::string list;
    int n = 0;
    for (const std::string& f : run_files_in(output_folder())) {
      if (planned.count(f)) continue;
      if (++n <= 12) list += (n > 1 ? ", " : "") + f;
    }
    if (n == 0) return;
    if (n > 12) list += ", ... (" + std::to_string(n) + " files)";
    show("Warning: files of an earlier run in this folder will not be replaced by this run: " + list +
         ". Move them away, or run with --outdir.");
  }

 private:
  run_options options_;
};

}  // namespace

std::unique_ptr<generation_observer> make_earlier_files_warning(const run_options& o) {
  return std::make_unique<earlier_files_warning>(o);
}

}  // namespace qm
