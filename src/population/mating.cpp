#include "population/mating.hpp"

#include <cmath>
#include <vector>

#include "run/messages.hpp"

namespace qm {

namespace {

void set_child(popstate& p, int32_t k, int32_t sire, int32_t dam) {
  p.pednew(1, k) = k;
  p.pednew(2, k) = sire;
  p.pednew(3, k) = dam;
}

void nested(popstate& p, int32_t noff, int32_t nsire, int32_t ndam, int32_t litter, int32_t dps, bool equal) {
  std::vector<char> used(static_cast<size_t>(ndam) + 1, 0);
  int32_t k = 0;
  for (int32_t i = 1; i <= nsire; ++i) {
    for (int32_t j = 1; j <= dps; ++j) {
      int32_t d;
      do d = uniform_int(p.rng, 1, ndam);
      while (used[static_cast<size_t>(d)]);
      used[static_cast<size_t>(d)] = 1;
      int32_t fam = litter;
      if (!equal && i == nsire && j == dps) fam = noff - (ndam - 1) * litter;
      for (int32_t o = 0; o < fam; ++o) set_child(p, ++k, p.sireid(i), p.damid(d));
    }
  }
}

// Design 1. Returns false when the call has to start over.
bool avoid_sibs(popstate& p, int32_t noff, int32_t nsire, int32_t ndam, int32_t litter, int32_t cap) {
  std::vector<int32_t> suse(static_cast<size_t>(nsire) + 1, 0), duse(static_cast<size_t>(ndam) + 1, 0);
  int refusals = 0;
  for (int32_t k = 1; k <= noff; ++k) {
    int32_t s;
    do s = uniform_int(p.rng, 1, nsire);
    while (suse[static_cast<size_t>(s)] >= cap);
    const int32_t sire = p.sireid(s);
    const int32_t ss = p.ped(2, sire), sd = p.ped(3, sire);
    for (;;) {
      int32_t d;
      do d = uniform_int(p.rng, 1, ndam);
      while (duse[static_cast<size_t>(d)] >= litter);
      const int32_t dam = p.damid(d);
      if (p.ped(2, dam) != ss && p.ped(3, dam) != sd) {
        ++suse[static_cast<size_t>(s)];
        ++duse[static_cast<size_t>(d)];
        set_child(p, k, sire, dam);
        break;
      }
      if (++refusals == 100) return false;
    }
  }
  return true;
}

void random_pairs(popstate& p, int32_t noff, int32_t nsire, int32_t ndam) {
  for (int32_t k = 1; k <= noff; ++k) {
    const int32_t sire = p.sireid(uniform_int(p.rng, 1, nsire));
    const int32_t dam = p.damid(uniform_int(p.rng, 1, ndam));
    set_child(p, k, sire, dam);
  }
}

}  // namespace

void mate_parents(popstate& p, int32_t matetype, int32_t noff) {
  const int32_t nsire = p.sireid.size(), ndam = p.damid.size();
  p.pednew.alloc(3, noff);
  for (int warnings = 0;;) {
    if (ndam < nsire) stop("No. sire larger than dam. Program cannot run.");
    const float q = static_cast<float>(noff) / static_cast<float>(ndam);
    const int32_t litter = static_cast<int32_t>(std::ceil(q));
    const int32_t dps = static_cast<int32_t>(std::ceil(static_cast<float>(ndam) / static_cast<float>(nsire)));
    const bool equal = q == std::trunc(q);
    if (!equal) show("litter size may not be equal for different families.");
    if (matetype == 0) {
      nested(p, noff, nsire, ndam, litter, dps, equal);
    } else if (matetype == 1) {
      if (!avoid_sibs(p, noff, nsire, ndam, litter, dps * litter)) {
        show("Sib mate may not be avoided.");
        if (++warnings == 1000) stop("Sib mate cannot be avoided. Program cannot run.");
        continue;
      }
    } else if (matetype == 2) {
      random_pairs(p, noff, nsire, ndam);
    }
    break;
  }
  p.ped.alloc(3, noff);
  std::copy(p.pednew.data(), p.pednew.data() + p.pednew.count(), p.ped.data());
}

}  // namespace qm
