#include "population/mating.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "base/invariant_error.hpp"
#include "base/messages.hpp"

namespace qm {

namespace {

struct mating {
  std::span<const int32_t> sires, dams;
  std::span<const parent_pair> parents;  // of the current generation
  random_stream& rng;
  std::span<parent_pair> out;
  int32_t sire(int32_t k) const { return sires[static_cast<size_t>(k - 1)]; }
  int32_t dam(int32_t k) const { return dams[static_cast<size_t>(k - 1)]; }
  void set_child(int32_t k, int32_t s, int32_t d) { out[static_cast<size_t>(k - 1)] = {s, d}; }
};

void nested(mating& p, int32_t noff, int32_t nsire, int32_t ndam, int32_t litter, int32_t dps, bool equal) {
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
      for (int32_t o = 0; o < fam; ++o) p.set_child(++k, p.sire(i), p.dam(d));
    }
  }
}

// Design 1. Returns false when the call has to start over.
bool avoid_sibs(mating& p, int32_t noff, int32_t nsire, int32_t ndam, int32_t litter, int32_t cap) {
  std::vector<int32_t> suse(static_cast<size_t>(nsire) + 1, 0), duse(static_cast<size_t>(ndam) + 1, 0);
  int refusals = 0;
  for (int32_t k = 1; k <= noff; ++k) {
    int32_t s;
    do s = uniform_int(p.rng, 1, nsire);
    while (suse[static_cast<size_t>(s)] >= cap);
    const int32_t sire = p.sire(s);
    const parent_pair& gs = p.parents[static_cast<size_t>(sire - 1)];
    for (;;) {
      int32_t d;
      do d = uniform_int(p.rng, 1, ndam);
      while (duse[static_cast<size_t>(d)] >= litter);
      const int32_t dam = p.dam(d);
      const parent_pair& gd = p.parents[static_cast<size_t>(dam - 1)];
      if (gd.sire != gs.sire && gd.dam != gs.dam) {
        ++suse[static_cast<size_t>(s)];
        ++duse[static_cast<size_t>(d)];
        p.set_child(k, sire, dam);
        break;
      }
      if (++refusals == 100) return false;
    }
  }
  return true;
}

void random_pairs(mating& p, int32_t noff, int32_t nsire, int32_t ndam) {
  for (int32_t k = 1; k <= noff; ++k) {
    const int32_t sire = p.sire(uniform_int(p.rng, 1, nsire));
    const int32_t dam = p.dam(uniform_int(p.rng, 1, ndam));
    p.set_child(k, sire, dam);
  }
}

}  // namespace

std::vector<parent_pair> mate_parents(const population& current, int32_t matetype, int32_t noff,
                                      random_stream& rng) {
  std::vector<parent_pair> offspring(static_cast<size_t>(noff));
  mate_parents(current.sires, current.dams, current.parents, matetype, noff, rng, offspring);
  return offspring;
}

void mate_parents(std::span<const int32_t> sires, std::span<const int32_t> dams,
                  std::span<const parent_pair> parents_of_current, int32_t matetype, int32_t noff, random_stream& rng,
                  std::span<parent_pair> offspring) {
  const int32_t nsire = static_cast<int32_t>(sires.size());
  const int32_t ndam = static_cast<int32_t>(dams.size());
  mating p{sires, dams, parents_of_current, rng, offspring};
  for (int warnings = 0;;) {
    if (ndam < nsire) stop(stop_text::more_sires_than_dams);
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
        if (++warnings == 1000) stop(stop_text::sib_mating_unavoidable);
        continue;
      }
    } else if (matetype == 2) {
      random_pairs(p, noff, nsire, ndam);
    }
    break;
  }
}

void verify_mating(const population& current, std::span<const parent_pair> offspring) {
  if (current.nind < 1)
    throw invariant_error("the generation of the parents has " + std::to_string(current.nind) + " animals");
  verify_parents(offspring, current.nind, current.kept.male);
  // A bit per candidate of current (its animals and the kept ones) for each list.
  const size_t words = static_cast<size_t>(current.candidate_count()) / 64 + 1;
  std::vector<uint64_t> in_sires(words, 0), in_dams(words, 0);
  const auto mark = [&](std::vector<uint64_t>& bits, const std::vector<int32_t>& list) {
    for (int32_t a : list)
      if (a >= 1 && a <= current.candidate_count()) bits[static_cast<size_t>(a) >> 6] |= uint64_t{1} << (a & 63);
  };
  mark(in_sires, current.sires);
  mark(in_dams, current.dams);
  for (size_t k = 0; k < offspring.size(); ++k) {
    const struct {
      int32_t a;
      const std::vector<uint64_t>& bits;
      const char* which;
    } parents[] = {{offspring[k].sire, in_sires, "sire"}, {offspring[k].dam, in_dams, "dam"}};
    for (const auto& p : parents)
      if (!((p.bits[static_cast<size_t>(p.a) >> 6] >> (p.a & 63)) & 1u))
        throw invariant_error("offspring " + std::to_string(k + 1) + " has " + p.which + " " + std::to_string(p.a) +
                              ", who is not in the " + p.which + " list");
  }
}

}  // namespace qm
