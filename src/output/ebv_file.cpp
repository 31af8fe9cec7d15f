#include "output/ebv_file.hpp"

#include <string>
#include <vector>

#include "base/fixed.hpp"
#include "base/textfile.hpp"

namespace qm {

namespace {

class ebv_file : public generation_observer {
 public:
  explicit ebv_file(const output_folder& folder) : folder_(folder) {}
  // Every generation with files of a stage that selects on EBVs.
  void plan_files(const run_parameters&, const stage_plan& plan, file_plan& files) const override {
    for (const planned_stage& stage : plan)
      if (selects_on_ebv(stage.block().evaluated()))
        stage.for_each_generation([&](const generation_step& g) {
          if (g.files_due) files.names.insert(result_name(g.file_generation, name));
        });
  }
  void name_patterns(std::vector<file_name_pattern>& patterns) const override { patterns.push_back({name, true}); }
  void on_generation(const generation_view& v) override {
    if (!v.step.files_due || !v.ebv) return;
    const int32_t g = v.history.generations() - 1;
    const stage_block& b = v.params.stages[static_cast<size_t>(v.step.stage)].block;
    if (b.criterion() == selection_criterion::index) {
      if (selects_on_ebv(b.index.criterion) && v.ebv->traits_estimated_for(g))
        write_trait_ebv_file(folder_, v.params, *v.ebv, b.index.weights, v.step.file_generation);
    } else if (v.ebv->estimated_for(g)) {
      write_ebv_file(folder_, v.params, *v.ebv, v.step.file_generation);
    }
  }

 private:
  static constexpr const char* name = "EBV.out";
  output_folder folder_;
};

}  // namespace

std::unique_ptr<generation_observer> make_ebv_file(const output_folder& folder) {
  return std::make_unique<ebv_file>(folder);
}

void write_ebv_file(const output_folder& folder, const run_parameters& p, const ebv_evaluation& e, int64_t g) {
  textfile f(folder.file(result_name(g, "EBV.out")));
  std::string head;
  add_a(head, "ID", 7);
  add_a(head, "EBV", 20);
  add_a(head, "Iter", 8);
  f.line(head);
  const std::span<const double> ebv = e.current();
  const int64_t self = g * p.idmult;
  const int iterations = e.stats().iterations;
  for (size_t k = 0; k < ebv.size(); ++k) {
    char* q = f.room(26 + 20 + 8 + 1);
    q = put_x(q, 2);
    q = put_imin(q, self + static_cast<int64_t>(k) + 1, 6, 6);
    q = put_x(q, 2);
    q = put_f(q, ebv[k], 18, 12);
    q = put_i(q, iterations, 8);
    *q++ = '\n';
    f.commit(q);
    f.maybe_flush();
  }
  f.finish();
}

void write_trait_ebv_file(const output_folder& folder, const run_parameters& p, const ebv_evaluation& e,
                          std::span<const double> weights, int64_t g) {
  textfile f(folder.file(result_name(g, "EBV.out")));
  const int32_t traits = e.traits();
  std::string head;
  add_a(head, "ID", 7);
  for (int32_t t = 1; t <= traits; ++t) add_a(head, "EBV_" + std::to_string(t), 20);
  add_a(head, "Index", 20);
  add_a(head, "Iter", 8);
  f.line(head);
  std::vector<std::span<const double>> ebv;
  for (int32_t t = 1; t <= traits; ++t) ebv.push_back(e.current_trait(t));
  const std::vector<double> index = e.index_of(weights);
  const int64_t self = g * p.idmult;
  const int iterations = e.traits_stats().iterations;
  for (size_t k = 0; k < index.size(); ++k) {
    char* q = f.room(26 + 20 * (static_cast<size_t>(traits) + 1) + 8 + 1);
    q = put_x(q, 2);
    q = put_imin(q, self + static_cast<int64_t>(k) + 1, 6, 6);
    for (int32_t t = 0; t < traits; ++t) {
      q = put_x(q, 2);
      q = put_f(q, ebv[static_cast<size_t>(t)][k], 18, 12);
    }
    q = put_x(q, 2);
    q = put_f(q, index[k], 18, 12);
    q = put_i(q, iterations, 8);
    *q++ = '\n';
    f.commit(q);
    f.maybe_flush();
  }
  f.finish();
}

}  // namespace qm
