#include "output/ebv_file.hpp"

#include <string>

#include "base/fixed.hpp"
#include "base/paths.hpp"
#include "output/results.hpp"
#include "base/textfile.hpp"

namespace qm {

namespace {

struct ebv_file : generation_observer {
  void on_generation(const generation_view& v) override {
    if (v.step.files_due && v.ebv && v.ebv->estimated_for(v.history.generations() - 1))
      write_ebv_file(v.params, *v.ebv, v.step.file_generation);
  }
};

}  // namespace

std::unique_ptr<generation_observer> make_ebv_file() { return std::make_unique<ebv_file>(); }

void write_ebv_file(const run_parameters& p, const ebv_evaluation& e, int64_t g) {
  textfile f(output_path(result_name(g, "EBV.out")));
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

}  // namespace qm
