#include "qtl/mapfiles.hpp"

#include <string>

#include "output/fixed.hpp"
#include "output/textfile.hpp"

namespace qm {

void write_map_files(popstate& p) {
  textfile mm, qm_;
  tf_open(mm, "MMAP.out");
  tf_open(qm_, "QMAP.out");

  std::string line;
  add_i(line, p.nchr, 6);
  add_i(line, p.nmpc, 6);
  add_i(line, p.nqtl, 6);
  tf_line(qm_, line);
  if (p.ntrait == 2 && p.uncommon_QTL == 1) {
    line = " ratio of QTL:";
    add_i(line, p.ncommon, 12);
    line += "/";
    add_i(line, p.nspec1, 12);
    line += " ";
    add_i(line, p.nspec2, 12);
    tf_line(qm_, line);
  }
  for (int q = 1; q <= p.tqtl; ++q) {
    line.clear();
    add_i(line, p.qtlid(q), 6);
    for (int t = 1; t <= p.ntrait; ++t) add_f(line, p.qeff(q, t), 18, 12);
    tf_line(qm_, line);
  }
  tf_close(qm_);

  for (int c = 1; c <= p.nchr; ++c) {
    for (int j = 1; j <= p.nmpc; ++j) {
      line = "chr" + std::to_string(c) + "-";
      add_imin(line, j, 4, 4);
      line += line.size() < 10 ? std::string(10 - line.size(), ' ') : std::string(" ");
      add_imin(line, static_cast<int64_t>(c - 1) * p.nmpc + j, 5, 1);
      tf_line(mm, line);
    }
  }
  tf_close(mm);
}

}  // namespace qm
