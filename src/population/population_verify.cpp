// Checks of the haplotype matrices and the population (population.hpp).
// Messages are in lower case without a final stop, to be embedded in the
// caller's sentence; animals, haplotypes and loci are counted from 1 there.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "base/invariant_error.hpp"
#include "population/population.hpp"

namespace qm {

namespace {

using std::to_string;

[[noreturn]] void fail(const std::string& what) { throw invariant_error(what); }

std::string matrix_name(std::string_view name) { return "the " + std::string(name) + " matrix"; }

std::string shape(const haplotype_matrix& m) {
  return to_string(m.haplotypes()) + " haplotypes of " + to_string(m.loci()) + " loci";
}

void check_extents(const haplotype_matrix& m, std::string_view name) {
  if (m.loci() < 0 || m.haplotypes() < 0) fail(matrix_name(name) + " has " + shape(m));
  if (m.packed()) {
    const size_t need = m.words() * static_cast<size_t>(m.haplotypes());
    if (m.stored_words() < need)
      fail(matrix_name(name) + " holds " + to_string(m.stored_words()) + " words for " + shape(m) + " (" +
           to_string(need) + " needed)");
    if (m.stored_bytes() != 0)
      fail(matrix_name(name) + " is packed but keeps " + to_string(m.stored_bytes()) + " bytes of the byte layout");
  } else {
    if (m.stored_bytes() < m.size())
      fail(matrix_name(name) + " holds " + to_string(m.stored_bytes()) + " bytes for " + shape(m) + " (" +
           to_string(m.size()) + " needed)");
    if (m.stored_words() != 0)
      fail(matrix_name(name) + " is in bytes but keeps " + to_string(m.stored_words()) + " words of the packed layout");
  }
}

// Bits past the last locus of every packed row.
void check_padding(const haplotype_matrix& m, std::string_view name) {
  const int rest = m.loci() % 64;
  if (!m.packed() || rest == 0) return;
  const size_t last = m.words() - 1;
  const uint64_t past = ~uint64_t{0} << rest;
  for (int32_t h = 0; h < m.haplotypes(); ++h)
    if (m.row(h)[last] & past)
      fail("haplotype " + to_string(h + 1) + " of " + matrix_name(name) + " has bits set past its last locus, " +
           to_string(m.loci()));
}

// The alleles of the bytes layout: each in 1..max_allele, and with a
// registry (checked before: its numbers are 2..128, its carried sets hold
// numbers 1..top only) at most its highest number at the locus and, while
// its carried sets are valid, one of the carried set. Each row is first
// checked in one pass without branches; only a row with a fault is searched.
void check_alleles(const haplotype_matrix& m, std::string_view name, int8_t max_allele, const allele_registry* reg) {
  if (m.packed()) return;
  const int32_t nloci = m.loci();
  const uint8_t width = static_cast<uint8_t>(max_allele);  // allele - 1 < width for 1..max_allele
  // After the recoding (max_allele 2) the registry's numbers, 2 or more, add nothing.
  const int16_t* top = reg && max_allele > 2 ? reg->top.data() : nullptr;
  const uint64_t* carried = reg && reg->carried_valid ? reg->carried.data() : nullptr;
  auto in_set = [&](int32_t l, int8_t v) {
    const unsigned a = static_cast<uint8_t>(v) & 127u;
    return ((carried[2 * static_cast<size_t>(l) + (a >> 6)] >> (a & 63)) & 1u) != 0;
  };
  for (int32_t h = 0; h < m.haplotypes(); ++h) {
    const int8_t* g = m.column(h);
    bool bad = false;
    if (carried) {
      // In the set: 0 and numbers above top are in none. Numbers from 128 on
      // (negative alleles) are above any maximum.
      for (int32_t l = 0; l < nloci; ++l) {
        const unsigned u = static_cast<uint8_t>(g[l]);
        bad |= (u > width) | !((carried[2 * static_cast<size_t>(l) + ((u >> 6) & 1u)] >> (u & 63)) & 1u);
      }
    } else if (top) {
      for (int32_t l = 0; l < nloci; ++l) bad |= (g[l] < 1) | (g[l] > max_allele) | (g[l] > top[l]);
    } else {
      for (int32_t l = 0; l < nloci; ++l) bad |= static_cast<uint8_t>(g[l] - 1) >= width;
    }
    if (!bad) continue;
    for (int32_t l = 0; l < nloci; ++l) {
      const auto where = [&] {
        return "locus " + to_string(l + 1) + " of haplotype " + to_string(h + 1) + " of " + matrix_name(name) +
               " carries allele " + to_string(g[l]);
      };
      if (static_cast<uint8_t>(g[l] - 1) >= width) fail(where() + ", outside 1.." + to_string(max_allele));
      if (top && g[l] > top[l]) fail(where() + ", above " + to_string(top[l]) + ", the highest number in use there");
      if (carried && !in_set(l, g[l])) fail(where() + ", which is not in the carried allele set of the locus");
    }
  }
}

void check_registry(const allele_registry& reg, int32_t nloci, std::string_view name) {
  const auto what = [&] { return "the " + std::string(name) + " allele registry"; };
  const size_t n = static_cast<size_t>(nloci);
  if (reg.next.size() != n || reg.top.size() != n)
    fail(what() + " gives next numbers for " + to_string(reg.next.size()) + " and highest numbers for " +
         to_string(reg.top.size()) + " of " + to_string(nloci) + " loci");
  if (reg.carried_valid && reg.carried.size() != 2 * n)
    fail(what() + " has carried allele sets of " + to_string(reg.carried.size()) + " words for " + to_string(nloci) +
         " loci (2 per locus)");
  for (size_t l = 0; l < n; ++l) {
    if (reg.next[l] < 2 || reg.next[l] > 128)
      fail(what() + " gives locus " + to_string(l + 1) + " the next number " + to_string(reg.next[l]) +
           ", outside 2..128");
    if (reg.top[l] < 2 || reg.top[l] > 128)
      fail(what() + " gives locus " + to_string(l + 1) + " the highest number " + to_string(reg.top[l]) +
           ", outside 2..128");
    if (!reg.carried_valid) continue;
    // The carried set: numbers 1..top only.
    const int top = std::min<int>(reg.top[l], 127);
    const uint64_t w[2] = {reg.carried[2 * l], reg.carried[2 * l + 1]};
    const uint64_t allowed[2] = {top >= 63 ? ~uint64_t{1} : ((uint64_t{2} << top) - 2),
                                 top >= 127 ? ~uint64_t{0} : top >= 64 ? (uint64_t{2} << (top - 64)) - 1 : 0};
    for (int k = 0; k < 2; ++k)
      if (w[k] & ~allowed[k]) {
        const int a = 64 * k + __builtin_ctzll(w[k] & ~allowed[k]);
        fail(what() + " has allele " + to_string(a) + " in the carried set of locus " + to_string(l + 1) +
             (a == 0 ? "" : ", above the highest number in use there, " + to_string(reg.top[l])));
      }
  }
}

// A list of selected parents: animals 1..nind of one sex, none twice
// (seen: a bit per animal, shared by the two sexes, whose numbers differ).
void check_selected(const std::vector<int32_t>& list, sex s, int32_t nind, std::vector<uint64_t>& seen,
                    std::span<const int8_t> kept_male) {
  const char* which = s == sex::male ? "sire" : "dam";
  for (size_t k = 0; k < list.size(); ++k) {
    const int32_t a = list[k];
    const auto entry = [&] {
      return "entry " + to_string(k + 1) + " of the " + which + " list is animal " + to_string(a);
    };
    const int32_t top = nind + static_cast<int32_t>(kept_male.size());
    if (a < 1 || a > top) fail(entry() + ", outside 1.." + to_string(top));
    if (a <= nind && sex_of(a) != s)
      fail(entry() + (s == sex::male ? ", a female (even number)" : ", a male (odd number)"));
    if (a > nind && (kept_male[static_cast<size_t>(a - nind - 1)] != 0) != (s == sex::male))
      fail(entry() + (s == sex::male ? ", a kept female" : ", a kept male"));
    uint64_t& w = seen[static_cast<size_t>(a) >> 6];
    const uint64_t bit = uint64_t{1} << (a & 63);
    if (w & bit) fail(entry() + ", listed before");
    w |= bit;
  }
}

void check_values(const population& pop, int32_t traits, std::span<const recorded_sex> recorded_on) {
  if (pop.tbv.size() != pop.phenotype.size())
    fail("the population has " + to_string(pop.tbv.size()) + " true breeding values and " +
         to_string(pop.phenotype.size()) + " phenotypes");
  if (traits < 0) return;
  const size_t want = static_cast<size_t>(pop.nind) * static_cast<size_t>(traits);
  if (pop.tbv.size() != want)
    fail("the population has " + to_string(pop.tbv.size()) + " true breeding values for " + to_string(pop.nind) +
         " animals and " + to_string(traits) + " traits");
  for (size_t k = 0; k < want; ++k) {
    const size_t i = k % static_cast<size_t>(pop.nind) + 1, t = k / static_cast<size_t>(pop.nind) + 1;
    const recorded_sex by = t <= recorded_on.size() ? recorded_on[t - 1] : recorded_sex::both;
    const bool recorded = by == recorded_sex::both || (by == recorded_sex::males) == ((i & 1) == 1);
    const bool tbv_ok = std::isfinite(pop.tbv[k]);
    if (tbv_ok && !recorded) {
      if (std::isnan(pop.phenotype[k])) continue;
      fail("animal " + to_string(i) + " has the phenotype " + to_string(pop.phenotype[k]) + " for trait " +
           to_string(t) + ", which its sex does not record (it is missing: NaN)");
    }
    if (tbv_ok && std::isfinite(pop.phenotype[k])) continue;
    fail(std::string(tbv_ok ? "the phenotype" : "the true breeding value") + " of animal " + to_string(i) +
         " for trait " + to_string(t) + " is " + to_string(tbv_ok ? pop.phenotype[k] : pop.tbv[k]));
  }
}

}  // namespace

void verify(const haplotype_matrix& m, std::string_view name, int8_t max_allele) {
  check_extents(m, name);
  check_padding(m, name);
  check_alleles(m, name, max_allele, nullptr);
}

void verify_parents(std::span<const parent_pair> parents, int32_t previous_nind, std::span<const int8_t> kept_male) {
  const int32_t top = previous_nind + static_cast<int32_t>(kept_male.size());
  for (size_t k = 0; k < parents.size(); ++k) {
    const int32_t i = static_cast<int32_t>(k) + 1;
    const parent_pair& p = parents[k];
    const auto animal = [&] { return "animal " + to_string(i); };
    if (previous_nind == 0) {
      if (p.sire != i || p.dam != i)
        fail(animal() + " of the base generation has sire " + to_string(p.sire) + " and dam " + to_string(p.dam) +
             "; there every animal is its own sire and dam");
      continue;
    }
    for (const auto& [parent, s] : {std::pair{p.sire, sex::male}, std::pair{p.dam, sex::female}}) {
      const char* which = s == sex::male ? " has sire " : " has dam ";
      if (parent < 1 || parent > top)
        fail(animal() + which + to_string(parent) + ", outside the generation before (1.." + to_string(previous_nind) +
             ")" + (kept_male.empty() ? "" : " and the kept animals (.." + to_string(top) + ")"));
      const bool male = parent <= previous_nind ? sex_of(parent) == sex::male
                                                : kept_male[static_cast<size_t>(parent - previous_nind - 1)] != 0;
      if (male != (s == sex::male))
        fail(animal() + which + to_string(parent) + (s == sex::male ? ", a female" : ", a male"));
    }
  }
}

void verify(const population& pop, const population_context& c) {
  if (pop.nind < 1) fail("the population has " + to_string(pop.nind) + " animals");
  const struct {
    const haplotype_matrix& m;
    const allele_registry& reg;
    const char* name;
  } parts[] = {{pop.markers, pop.marker_alleles, "marker"}, {pop.candidates, pop.candidate_alleles, "candidate-locus"}};
  for (const auto& part : parts) {
    if (part.m.haplotypes() != pop.haplotypes())
      fail(matrix_name(part.name) + " has " + to_string(part.m.haplotypes()) + " haplotypes for " +
           to_string(pop.nind) + " animals (2 each)");
    check_extents(part.m, part.name);
    check_registry(part.reg, part.m.loci(), part.name);
  }
  if (pop.markers.packed() != pop.candidates.packed())
    fail(std::string("the marker matrix is ") + (pop.markers.packed() ? "packed" : "in bytes") +
         " and the candidate-locus matrix " + (pop.candidates.packed() ? "packed" : "in bytes") +
         "; the two change layout together");
  for (const auto& part : parts) {
    check_padding(part.m, part.name);
    if (c.alleles) check_alleles(part.m, part.name, c.max_allele, &part.reg);
  }

  if (pop.parents.size() != static_cast<size_t>(pop.nind))
    fail("the population has " + to_string(pop.parents.size()) + " parent pairs for " + to_string(pop.nind) +
         " animals");
  verify_parents(pop.parents, c.previous_nind, c.previous_kept_male);

  const int32_t chosen_from = c.selection_of_previous ? c.previous_nind : pop.nind;
  const std::span<const int8_t> kept = c.selection_of_previous ? c.previous_kept_male : c.kept_male;
  std::vector<uint64_t> seen(static_cast<size_t>(std::max(chosen_from, 0) + kept.size()) / 64 + 1, 0);
  check_selected(pop.sires, sex::male, chosen_from, seen, kept);
  check_selected(pop.dams, sex::female, chosen_from, seen, kept);

  check_values(pop, c.traits, c.recorded_on);
}

}  // namespace qm
