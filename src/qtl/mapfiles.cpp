#include "qtl/mapfiles.hpp"

#include <string>

#include "base/fixed.hpp"
#include "base/textfile.hpp"

namespace qm {

void write_map_files(const output_folder& folder, const run_parameters& p, const trait_architecture& a) {
  textfile mm(folder.file("MMAP.out"));
  textfile qm_(folder.file("QMAP.out"));

  std::string line;
  add_i(line, p.nchr, 6);
  add_i(line, p.nmpc, 6);
  add_i(line, p.nqtl, 6);
  qm_.line(line);
  if (p.ntrait == 2 && p.uncommon_QTL == 1) {
    line = " ratio of QTL:";
    add_i(line, a.ncommon, 12);
    line += "/";
    add_i(line, a.nspec1, 12);
    line += " ";
    add_i(line, a.nspec2, 12);
    qm_.line(line);
  }
  for (int q = 1; q <= a.nqtl(); ++q) {
    line.clear();
    add_i(line, a.qtl_locus[static_cast<size_t>(q - 1)], 6);
    for (int t = 1; t <= p.ntrait; ++t) add_f(line, a.effect(q, t), 18, 12);
    if (a.with_dominance())
      for (int t = 1; t <= p.ntrait; ++t) add_f(line, a.dominance_effect(q, t), 18, 12);
    qm_.line(line);
  }
  qm_.finish();

  for (int c = 1; c <= p.nchr; ++c) {
    for (int j = 1; j <= p.nmpc; ++j) {
      line = "chr" + std::to_string(c) + "-";
      add_imin(line, j, 4, 4);
      line += line.size() < 10 ? std::string(10 - line.size(), ' ') : std::string(" ");
      add_imin(line, static_cast<int64_t>(c - 1) * p.nmpc + j, 5, 1);
      mm.line(line);
    }
  }
  mm.finish();
}

}  // namespace qm
