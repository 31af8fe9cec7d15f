// Meiosis with recombination and mutation: whole generations made by
// make_offspring, mutants numbered after the parents, and stage 1 repeatable
// on any thread count. (The allele bookkeeping alone: meiosis_bytes_test.cpp.)
#include "population/meiosis.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "base/messages.hpp"
#include "config/stage_plan.hpp"
#include "population/mating.hpp"
#include "run/generation.hpp"
#include "support.hpp"
#include "values/selection.hpp"

namespace {

using qmtest::set_record;

std::vector<int8_t> bytes(const qm::haplotype_matrix& m) { return {m.data(), m.data() + m.size()}; }

struct fixture {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  qmtest::run_setup s;
  qm::population& pop;
  explicit fixture(const std::string& par = qmtest::small_par()) : s(par), pop(s.st.pop) {}
  // Parental haplotype column h carries allele h + 1 at every locus, so every copy shows its source.
  void label_haplotypes() {
    for (int h = 0; h < pop.haplotypes(); ++h) {
      std::fill(pop.markers.column(h), pop.markers.column(h) + pop.markers.loci(), static_cast<int8_t>(h + 1));
      std::fill(pop.candidates.column(h), pop.candidates.column(h) + pop.candidates.loci(), static_cast<int8_t>(h + 1));
    }
  }
  std::vector<qm::parent_pair> mate(int matetype) { return qm::mate_parents(pop, matetype, pop.nind, s.st.rng); }
  void offspring(std::vector<qm::parent_pair> o, double mutm, double mutq, int threads = 1) {
    qm::make_offspring(pop, std::move(o), {s.st.map, mutm, mutq}, s.st.buffers, s.st.rng, threads);
  }
};

int32_t state_before(uint32_t target) {
  return static_cast<int32_t>(qm::mulmod31(target, qm::jump_multiplier(qm::rmod - 2)));
}

// The parent (a number in the previous generation) that gave offspring haplotype column h.
int32_t source_parent(const std::vector<qm::parent_pair>& o, int h) {
  return h % 2 ? o[h / 2].dam : o[h / 2].sire;
}

TEST(Meiosis, WholeChromosomesWithoutRecombinationOrMutation) {
  fixture f(set_record(qmtest::small_par(), 12, "1.0 0 0"));
  qm::population& pop = f.pop;
  std::fill(f.s.st.map.recomb_left.begin(), f.s.st.map.recomb_left.end(), 0.0);
  std::fill(f.s.st.map.recomb_right.begin(), f.s.st.map.recomb_right.end(), 0.0);
  f.label_haplotypes();
  const std::vector<qm::parent_pair> o = f.mate(2);
  const int32_t seed0 = f.s.st.rng.state;
  f.offspring(o, 0.0, 0.0);
  const int nmpc = 11, nchr = 4, nhap = 80;
  EXPECT_EQ(static_cast<uint32_t>(f.s.st.rng.state),
            qm::mulmod31(static_cast<uint32_t>(seed0), qm::jump_multiplier(uint64_t(nhap) * nchr * (3 + 4 * (nmpc - 1)))));
  ASSERT_EQ(pop.parents.size(), o.size());
  for (size_t i = 0; i < o.size(); ++i) {
    EXPECT_EQ(pop.parents[i].sire, o[i].sire);
    EXPECT_EQ(pop.parents[i].dam, o[i].dam);
  }
  for (int h = 0; h < nhap; ++h) {
    const int par = source_parent(o, h);
    for (int c = 0; c < nchr; ++c) {
      const int src = pop.markers.at(c * nmpc, h);
      EXPECT_TRUE(src == 2 * par - 1 || src == 2 * par) << h;
      for (int j = 0; j < nmpc; ++j) EXPECT_EQ(pop.markers.at(c * nmpc + j, h), src);
      for (int j = 0; j < nmpc - 1; ++j) EXPECT_EQ(pop.candidates.at(c * (nmpc - 1) + j, h), src);
    }
  }
}

TEST(Meiosis, MatchesPlainGameteLoop) {
  fixture f(set_record(set_record(qmtest::small_par(), 10, "11 4 1"), 12, "4.0 0 0"));
  qm::population& pop = f.pop;
  const qm::genome_map& map = f.s.st.map;
  f.label_haplotypes();
  const std::vector<qm::parent_pair> o = f.mate(2);
  f.s.st.rng.state = state_before(2147483600u);  // the first uniform is exactly 1.0
  const int nmpc = 11, nchr = 4, nhap = 80, nmark = 44, nqloc = 40;

  // Reference meiosis: uniforms from next_uniform, plain double comparisons.
  qm::random_stream r = f.s.st.rng;
  std::vector<int8_t> em(nmark * nhap), eq(nqloc * nhap);
  for (int h = 0; h < nhap; ++h) {
    const int par = source_parent(o, h);
    for (int c = 0; c < nchr; ++c) {
      int s = std::min(2, 1 + static_cast<int>(2.0 * qm::next_uniform(r)));
      if (qm::next_uniform(r) < 0.5) s = 3 - s;
      qm::next_uniform(r);  // marker mutation draw (rate 0)
      const int col0 = 2 * par - 3;  // column of strand s is col0 + s
      em[h * nmark + c * nmpc] = pop.markers.at(c * nmpc, col0 + s);
      for (int j = 1; j < nmpc; ++j) {
        const int k = c * (nmpc - 1) + j - 1, m = c * nmpc + j;
        if (qm::next_uniform(r) < map.recomb_left[k]) s = 3 - s;
        qm::next_uniform(r);
        eq[h * nqloc + k] = pop.candidates.at(k, col0 + s);
        if (qm::next_uniform(r) < map.recomb_right[k]) s = 3 - s;
        qm::next_uniform(r);
        em[h * nmark + m] = pop.markers.at(m, col0 + s);
      }
    }
  }
  f.offspring(o, 0.0, 0.0, 3);
  EXPECT_EQ(f.s.st.rng.state, r.state);
  EXPECT_EQ(bytes(pop.markers), em);
  EXPECT_EQ(bytes(pop.candidates), eq);
  int crossovers = 0;
  for (int h = 0; h < nhap; ++h)
    for (int l = 1; l < nmark; ++l) crossovers += pop.markers.at(l, h) != pop.markers.at(l - 1, h) && l % nmpc != 0;
  EXPECT_GT(crossovers, 50);  // the map really recombines
}

TEST(Meiosis, MutantsAreNumberedAfterTheParents) {
  fixture f;
  qm::population& pop = f.pop;
  // Parents carry 1, 2, 3, 5, 6, 9 at every marker, all 1 at the candidate loci.
  const int carried[6] = {1, 2, 3, 5, 6, 9};
  for (int h = 0; h < 80; ++h)
    for (int l = 0; l < 44; ++l) pop.markers.at(l, h) = static_cast<int8_t>(carried[(h + 1) % 6]);
  std::fill(pop.marker_alleles.next.begin(), pop.marker_alleles.next.end(), int16_t{9});
  std::fill(pop.marker_alleles.top.begin(), pop.marker_alleles.top.end(), int16_t{9});
  qm::allele_bookkeeping(pop, 1);  // 4, 7 and 8 lost: next 4, top 9
  ASSERT_EQ(pop.marker_alleles.next[0], 4);
  ASSERT_EQ(pop.marker_alleles.top[0], 9);
  // Numbering must not depend on how the work is split.
  f.offspring(f.mate(2), 1.0, 0.0, 3);
  const std::set<int> par(carried, carried + 6);
  for (int l = 0; l < 44; ++l) {
    int want = 4;
    for (int h = 0; h < 80; ++h) {
      EXPECT_EQ(pop.markers.at(l, h), want) << l << "," << h;
      do ++want;
      while (par.count(want));
    }
    EXPECT_EQ(pop.marker_alleles.next[l], want);
  }
  for (size_t i = 0; i < pop.candidates.size(); ++i) EXPECT_EQ(pop.candidates.data()[i], 1);
  EXPECT_FALSE(pop.marker_alleles.carried_valid);  // the sets described the parents

  // Parents with 1, 2 and 4 at candidate locus 5 (next 3, top 4); one
  // offspring, so each locus mutates twice. The carried sets of the parents
  // are either kept by the bookkeeping or found afresh: the same numbers.
  for (bool kept : {true, false}) {
    for (int h = 0; h < pop.haplotypes(); ++h)
      for (int l = 0; l < 40; ++l) {
        const int n = h + 1;
        pop.candidates.at(l, h) = static_cast<int8_t>(l == 4 ? (n % 3 == 0 ? 4 : n % 3) : 1);
      }
    std::fill(pop.candidate_alleles.next.begin(), pop.candidate_alleles.next.end(), int16_t{4});
    std::fill(pop.candidate_alleles.top.begin(), pop.candidate_alleles.top.end(), int16_t{4});
    qm::allele_bookkeeping(pop, 1);
    ASSERT_EQ(pop.candidate_alleles.next[4], 3);
    ASSERT_EQ(pop.candidate_alleles.top[4], 4);
    ASSERT_EQ(pop.candidate_alleles.next[5], 2);
    pop.candidate_alleles.carried_valid = kept;
    f.offspring({{3, 4}}, 0.0, 1.0);
    ASSERT_EQ(pop.nind, 1);
    EXPECT_EQ(pop.candidates.at(4, 0), 3) << kept;
    EXPECT_EQ(pop.candidates.at(4, 1), 5) << kept;
    EXPECT_EQ(pop.candidate_alleles.next[4], 6) << kept;
    EXPECT_EQ(pop.candidates.at(5, 0), 2) << kept;
    EXPECT_EQ(pop.candidates.at(5, 1), 3) << kept;
    EXPECT_EQ(pop.candidate_alleles.next[5], 4) << kept;
    if (kept) {
      // Back to 40 animals for the second round.
      f.offspring(std::vector<qm::parent_pair>(40, {1, 1}), 0.0, 0.0);
    }
  }
}

TEST(Meiosis, AlleleNumbersStopAt127) {
  fixture f;
  qm::population& pop = f.pop;
  std::fill(pop.candidate_alleles.next.begin(), pop.candidate_alleles.next.end(), int16_t{126});
  EXPECT_NO_THROW(f.offspring({{1, 2}}, 0.0, 1.0));  // 126 and 127 are still allele numbers
  EXPECT_EQ(pop.candidates.at(0, 0), 126);
  EXPECT_EQ(pop.candidates.at(0, 1), 127);
  EXPECT_EQ(f.con.text(), "");
  std::fill(pop.candidate_alleles.next.begin(), pop.candidate_alleles.next.end(), int16_t{127});
  EXPECT_THROW(f.offspring({{1, 1}}, 0.0, 1.0), qm::run_stop);
  EXPECT_NE(f.con.text().find("Too many alleles at one locus: allele number above 127."), std::string::npos);
}

TEST(Meiosis, NoOffspringStops) {
  fixture f;
  EXPECT_THROW(f.offspring({}, 0.0, 0.0), qm::run_stop);
  EXPECT_NE(f.con.text().find("Parameter Error in genotype_module! code 1"), std::string::npos);
}

// The largest allele number in a matrix.
// The largest and smallest allele of a matrix in either layout.
int highest(const qm::haplotype_matrix& m) {
  int v = 0;
  for (int32_t h = 0; h < m.haplotypes(); ++h)
    for (int32_t l = 0; l < m.loci(); ++l) v = std::max<int>(v, m.allele(l, h));
  return v;
}
int lowest(const qm::haplotype_matrix& m) {
  int v = 127;
  for (int32_t h = 0; h < m.haplotypes(); ++h)
    for (int32_t l = 0; l < m.loci(); ++l) v = std::min<int>(v, m.allele(l, h));
  return v;
}

TEST(Meiosis, NoNewAlleleAfterTheRecodingGeneration) {
  // High mutation rates: new alleles in every historical generation with
  // mutation; the recoding generation leaves alleles 1 and 2, and the ten
  // generations after it add none.
  fixture f(set_record(set_record(qmtest::small_par(), 12, "1.0 0.05 0.05"), 18, "10 20 40 14"));
  qm::run_state& st = f.s.st;
  const qm::stage_block& b = f.s.params.stage1();
  qm::planned_stage(1, b, 0).for_each_generation([&](const qm::generation_step& g) {
    qm::run_generation(st, b, g, qm::observer_list{});
    switch (g.kind) {
      case qm::generation_kind::history_with_mutation:
        EXPECT_TRUE(st.mutation_on);
        EXPECT_GT(highest(st.pop.markers), 2);
        EXPECT_GT(highest(st.pop.candidates), 2);
        break;
      default:
        EXPECT_FALSE(st.mutation_on);
        EXPECT_EQ(highest(st.pop.markers), 2) << "generation " << g.number;
        EXPECT_EQ(highest(st.pop.candidates), 2) << "generation " << g.number;
        EXPECT_GE(lowest(st.pop.markers), 1);
        // from the recoding on, one bit per allele
        EXPECT_TRUE(st.pop.markers.packed());
        EXPECT_TRUE(st.pop.candidates.packed());
        break;
    }
  });

  // nomut 1: no mutant in the whole stage, so every locus keeps one allele
  // (the recoding turns the absent allele 2 into 1 and the carried 1 into 2).
  fixture off(set_record(set_record(set_record(qmtest::small_par(), 12, "1.0 0.05 0.05"), 18, "10 20 40 14"), 20,
                         "1 2 0"));
  off.s.run_stage(1);
  EXPECT_FALSE(off.s.st.mutation_on);
  for (const qm::haplotype_matrix* m : {&off.s.st.pop.markers, &off.s.st.pop.candidates}) {
    EXPECT_EQ(lowest(*m), 2);
    EXPECT_EQ(highest(*m), 2);
  }
}

// Historical generations with mutation, as the generation loop makes them;
// marker bytes at the end.
std::vector<int8_t> stage1_bytes(int seed, int threads) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  std::string par = set_record(qmtest::small_par(), 12, "1.0 0.02 0.02");
  par = set_record(par, 16, "3 0 " + std::to_string(seed));
  qmtest::run_setup s(set_record(par, 20, "0 1 0"), threads);
  const qm::stage_block& b = s.params.stage1();
  for (int g = 1; g <= 6; ++g) {
    qm::generation_step step;
    step.number = g;
    qm::run_generation(s.st, b, step, qm::observer_list{});
  }
  return bytes(s.st.pop.markers);
}

TEST(StageOne, RepeatableFromItsSeedOnAnyThreadCount) {
  const std::vector<int8_t> a = stage1_bytes(12345, 1), b = stage1_bytes(12345, 3), c = stage1_bytes(777, 1);
  EXPECT_NE(std::find(a.begin(), a.end(), 2), a.end());  // mutation happened
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
}

}  // namespace
