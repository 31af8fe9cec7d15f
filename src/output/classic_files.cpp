#include "output/classic_files.hpp"

#include "base/fixed.hpp"
#include "base/paths.hpp"
#include "output/results.hpp"
#include "base/textfile.hpp"
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

struct marker_positions_file : generation_observer {
  void on_map(const run_parameters&, const genome_map& map) override {
    if (map.maptype == 1) write_marker_positions(map);
  }
};

struct qtl_files : generation_observer {
  void on_architecture(const generation_view& v) override {
    write_genetic_parameters(v.params, *v.architecture, v.pop.candidates);
    write_map_files(v.params, *v.architecture);
  }
};

struct generation_files : generation_observer {
  void on_generation(const generation_view& v) override {
    if (v.step.files_due) write_generation_files(v.params, v.pop, *v.architecture, v.step.file_generation);
  }
};

}  // namespace

void write_marker_positions(const genome_map& map) {
  textfile f(output_path("mposition.out"));
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

void register_classic_files(observer_list& observers) {
  observers.add(std::make_unique<marker_positions_file>());
  observers.add(std::make_unique<qtl_files>());
  observers.add(std::make_unique<generation_files>());
}

}  // namespace qm
