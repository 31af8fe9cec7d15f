#include "output/classic_files.hpp"

#include "base/fixed.hpp"
#include "base/textfile.hpp"
#include "output/results.hpp"
#include "qtl/genetic_parameters.hpp"
#include "qtl/mapfiles.hpp"

namespace qm {

namespace {

// An integer right-aligned in w, or after one blank when it is wider.
char* put_wide(char* p, int64_t v, int w) {
  char tmp[24];
  char* e = put_imin(tmp, v, 0, 1);
  const int len = static_cast<int>(e - tmp);
  return put_imin(p, v, len < w ? w : len + 1, 1);
}

// The files written once the QTL are chosen: in a run that reaches stage 2.
bool chooses_qtl(const stage_plan& plan) { return plan.reaches(2) && plan.stage(2).readable(); }

class marker_positions_file : public generation_observer {
 public:
  explicit marker_positions_file(const output_folder& folder) : folder_(folder) {}
  void plan_files(const run_parameters& p, const stage_plan&, file_plan& files) const override {
    if (p.maptype == 1) files.names.insert(name);
  }
  void name_patterns(std::vector<file_name_pattern>& patterns) const override { patterns.push_back({name}); }
  void on_map(const run_parameters&, const genome_map& map) override {
    if (map.maptype == 1) write_marker_positions(folder_, map);
  }

 private:
  static constexpr const char* name = "mposition.out";
  output_folder folder_;
};

class qtl_files : public generation_observer {
 public:
  explicit qtl_files(const output_folder& folder) : folder_(folder) {}
  void plan_files(const run_parameters&, const stage_plan& plan, file_plan& files) const override {
    if (chooses_qtl(plan)) files.names.insert(std::begin(file_names), std::end(file_names));
  }
  void name_patterns(std::vector<file_name_pattern>& patterns) const override {
    for (const char* n : file_names) patterns.push_back({n});
  }
  void on_architecture(const generation_view& v) override {
    write_genetic_parameters(folder_, v.params, *v.architecture, v.pop.candidates);
    write_map_files(folder_, v.params, *v.architecture);
  }

 private:
  static constexpr const char* file_names[] = {"Genetic_paramenters.out", "QMAP.out", "MMAP.out"};
  output_folder folder_;
};

// ggMTYPE.out and ggQTYPE.out (haplotypes), or ggBV.out (values), for
// every generation that writes files.
class generation_files : public generation_observer {
 public:
  generation_files(const output_folder& folder, bool haplotypes) : folder_(folder), haplotypes_(haplotypes) {}
  void plan_files(const run_parameters&, const stage_plan& plan, file_plan& files) const override {
    for (const planned_stage& stage : plan)
      stage.for_each_generation([&](const generation_step& g) {
        if (g.files_due)
          for (const char* n : names()) files.names.insert(result_name(g.file_generation, n));
      });
  }
  void name_patterns(std::vector<file_name_pattern>& patterns) const override {
    for (const char* n : names()) patterns.push_back({n, true});
  }
  void on_generation(const generation_view& v) override {
    if (!v.step.files_due) return;
    if (haplotypes_) write_haplotype_files(folder_, v.params, v.pop, *v.architecture, v.step.file_generation);
    else write_value_file(folder_, v.params, v.pop, v.step.file_generation, &v.history);
  }

 private:
  std::vector<const char*> names() const {
    if (haplotypes_) return {"MTYPE.out", "QTYPE.out"};
    return {"BV.out"};
  }
  output_folder folder_;
  bool haplotypes_;
};

}  // namespace

void write_marker_positions(const output_folder& folder, const genome_map& map) {
  textfile f(folder.file("mposition.out"));
  for (size_t m = 0; m < map.markers.size(); ++m) {
    char* q = f.room(3 * 24 + 1);
    q = put_wide(q, static_cast<int64_t>(m) + 1, 6);
    q = put_wide(q, map.markers[m].base_pair, 12);
    q = put_wide(q, map.gap_base_pairs[m], 12);
    *q++ = '\n';
    f.commit(q);
    f.maybe_flush();
  }
  f.finish();
}

void register_classic_files(observer_list& observers, const output_folder& folder) {
  observers.add(std::make_unique<marker_positions_file>(folder));
  observers.add(std::make_unique<qtl_files>(folder));
  observers.add_kind(std::make_unique<generation_files>(folder, true), "haplotypes");
  observers.add_kind(std::make_unique<generation_files>(folder, false), "values");
}

}  // namespace qm
