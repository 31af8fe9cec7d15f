#include "run/state.hpp"

namespace qm {

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
