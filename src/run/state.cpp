#include "run/state.hpp"

#include <algorithm>

namespace qm {

void alloc_state(popstate& p) {
  p.nmark = p.nmpc * p.nchr;
  p.nqloc = (p.nmpc - 1) * p.nchr;
  p.nhap = 2 * p.nind;
  p.ped.alloc(3, p.nind);
  p.pednew.alloc(3, p.nind);
  p.sireid.alloc(p.nsire);
  p.damid.alloc(p.ndam);
  p.malle.alloc(p.nmark, 2);
  p.qalle.alloc(p.nqloc, 2);
  p.mtype.alloc(p.nmark, p.nhap);
  p.qtype.alloc(p.nqloc, p.nhap);
  p.mtypenew.shape(p.nmark, p.nhap);
  p.qtypenew.shape(p.nqloc, p.nhap);
  p.recf.alloc(2, p.nqloc);
  p.bv.alloc(p.nind, 2, p.ntrait);
  std::fill(p.malle.data(), p.malle.data() + p.malle.count(), int16_t{2});
  std::fill(p.qalle.data(), p.qalle.data() + p.qalle.count(), int16_t{2});
}

void release_state(popstate& p) {
  p.rgen.release();
  p.rerr.release();
  p.h2.release();
  p.mtype.release();
  p.qtype.release();
  p.mtypenew.release();
  p.qtypenew.release();
  p.malle.release();
  p.qalle.release();
  p.recf.release();
  p.ped.release();
  p.pednew.release();
  p.sireid.release();
  p.damid.release();
  p.bv.release();
  p.qtlid.release();
  p.qeff.release();
  p.rescov.release();
}

}  // namespace qm
