// The meiosis engine against the plain description of a gamete: mutant
// numbers in haplotype order with many mutations per locus, the bookkeeping
// gathered during the copy against the one read from the haplotypes, the
// plain loops against the vector kernels, and results that do not depend on
// the thread count. (The kernel alone: meiosis_events_test.cpp.)
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "base/cpu_features.hpp"
#include "population/mating.hpp"
#include "population/meiosis.hpp"
#include "support.hpp"
#include "values/selection.hpp"

namespace {

using qmtest::set_record;

// The described gamete walk, one uniform at a time, with each mutant
// numbered at once by scanning the parental generation.
void reference_offspring(qm::run_state& st, const std::vector<qm::parent_pair>& o, double mutm, double mutq) {
  qm::population& pop = st.pop;
  const qm::genome_map& map = st.map;
  const int nmark = map.nmark(), nqloc = map.nqloc(), nmpc = map.nmpc, nchr = map.nchr;
  const int nhap = 2 * static_cast<int>(o.size());
  std::vector<int8_t> mo(static_cast<size_t>(nmark) * nhap), qo(static_cast<size_t>(nqloc) * nhap);
  auto mutate = [&](qm::allele_registry& alle, const qm::haplotype_matrix& par, int l) {
    const int next = alle.next[l];
    int v = next + 1;
    for (bool carried = true; carried && v <= 127;) {
      carried = false;
      for (int h = 0; h < par.haplotypes() && !carried; ++h) carried = par.at(l, h) == v;
      if (carried) ++v;
    }
    alle.next[l] = static_cast<int16_t>(v);
    return static_cast<int8_t>(next);
  };
  qm::random_stream& r = st.rng;
  for (int h = 0; h < nhap; ++h) {
    const int par = h % 2 ? o[h / 2].dam : o[h / 2].sire;
    const int col0 = 2 * par - 3;  // the parent's strand s (1 or 2) is column col0 + s
    for (int c = 0; c < nchr; ++c) {
      int s = qm::uniform_int(r, 1, 2);
      if (qm::next_uniform(r) < 0.5) s = 3 - s;
      const int m1 = c * nmpc;
      mo[static_cast<size_t>(h) * nmark + m1] =
          qm::next_uniform(r) < mutm ? mutate(pop.marker_alleles, pop.markers, m1) : pop.markers.at(m1, col0 + s);
      for (int j = 1; j < nmpc; ++j) {
        const int k = c * (nmpc - 1) + j - 1, m = c * nmpc + j;
        if (qm::next_uniform(r) < map.recomb_left[k]) s = 3 - s;
        qo[static_cast<size_t>(h) * nqloc + k] =
            qm::next_uniform(r) < mutq ? mutate(pop.candidate_alleles, pop.candidates, k) : pop.candidates.at(k, col0 + s);
        if (qm::next_uniform(r) < map.recomb_right[k]) s = 3 - s;
        mo[static_cast<size_t>(h) * nmark + m] =
            qm::next_uniform(r) < mutm ? mutate(pop.marker_alleles, pop.markers, m) : pop.markers.at(m, col0 + s);
      }
    }
  }
  pop.markers.resize(nmark, nhap);
  pop.candidates.resize(nqloc, nhap);
  std::copy(mo.begin(), mo.end(), pop.markers.data());
  std::copy(qo.begin(), qo.end(), pop.candidates.data());
  pop.parents = o;
  pop.nind = static_cast<int32_t>(o.size());
}

std::vector<int8_t> bytes(const qm::haplotype_matrix& m) { return {m.data(), m.data() + m.size()}; }

// Several historical generations with a random map and high mutation rates,
// by the engine with the given thread count (its bookkeeping gathered during
// the copy or read afterwards), or by the reference.
enum class engine { reference, separate, gathered };

struct history {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  std::unique_ptr<qmtest::run_setup> s;
  history(int threads, engine how, const std::string& rates = "1.0 0.05 0.08", const std::string& map = "21 3 1") {
    const bool reference = how == engine::reference;
    std::string par = set_record(qmtest::small_par(), 10, map);
    par = set_record(par, 12, rates);
    par = set_record(par, 18, "10 20 60 30");
    s = std::make_unique<qmtest::run_setup>(par, threads);
    qm::run_state& st = s->st;
    const qm::stage_block& b = s->params.stage1();
    for (int g = 0; g < 6; ++g) {
      std::vector<qm::parent_pair> o = qm::mate_parents(st.pop, b.matetype, b.nind, st.rng);
      if (reference) {
        reference_offspring(st, o, s->params.mutm, s->params.mutq);
        qm::bookkeeping(st.pop.marker_alleles, st.pop.markers);
        qm::bookkeeping(st.pop.candidate_alleles, st.pop.candidates);
      } else if (how == engine::separate) {
        qm::make_offspring(st.pop, std::move(o), {st.map, s->params.mutm, s->params.mutq}, st.buffers, st.rng, threads);
        qm::allele_bookkeeping(st.pop, threads);
      } else {
        qm::make_offspring(st.pop, std::move(o), {st.map, s->params.mutm, s->params.mutq}, st.buffers, st.rng, threads,
                           true);
        // The gathered sets are those of the haplotypes made.
        for (auto [geno, alle] : {std::pair{&st.pop.markers, &st.pop.marker_alleles},
                                  std::pair{&st.pop.candidates, &st.pop.candidate_alleles}}) {
          std::vector<uint64_t> read;
          qm::carried_sets(*geno, read);
          EXPECT_TRUE(alle->carried_valid);
          EXPECT_EQ(alle->carried, read) << "generation " << g;
        }
      }
      qm::select_parents(st.pop, b.criterion(), b.nsire, b.ndam, st.rng);
    }
  }
  const qm::population& pop() const { return s->st.pop; }
};

TEST(MeiosisEngine, SameAllelesAsTheDescribedWalkWithManyMutations) {
  history ref(1, engine::reference), one(1, engine::separate), three(3, engine::separate),
      gathered1(1, engine::gathered), gathered3(3, engine::gathered);
  // The rates give several mutants per locus and generation: most markers
  // carry four or more allele numbers at once.
  int many = 0;
  const int nmark = ref.pop().markers.loci();
  for (int l = 0; l < nmark; ++l) many += ref.pop().marker_alleles.top[l] >= 5;
  EXPECT_GT(many, nmark / 2);
  for (const history* e : {&one, &three, &gathered1, &gathered3}) {
    EXPECT_EQ(bytes(e->pop().markers), bytes(ref.pop().markers));
    EXPECT_EQ(bytes(e->pop().candidates), bytes(ref.pop().candidates));
    EXPECT_EQ(e->pop().marker_alleles.next, ref.pop().marker_alleles.next);
    EXPECT_EQ(e->pop().marker_alleles.top, ref.pop().marker_alleles.top);
    EXPECT_EQ(e->pop().candidate_alleles.next, ref.pop().candidate_alleles.next);
    EXPECT_EQ(e->pop().candidate_alleles.top, ref.pop().candidate_alleles.top);
    EXPECT_EQ(e->s->st.rng.state, ref.s->st.rng.state);
  }
}

TEST(MeiosisEngine, PlainLoopsMakeTheSameGenerations) {
  // The whole engine without its vector kernels, as on a processor without
  // AVX2: the same haplotypes, allele numbers and bookkeeping, bit for bit;
  // short chromosomes with many mutants, and long ones (rows stored past the
  // caches in whole cache lines) on an even map.
  for (const auto& [rates, map] : {std::pair<std::string, std::string>{"1.0 0.2 0.2", "21 3 1"},
                                   std::pair<std::string, std::string>{"2.0 0.001 0.002", "700 2 0"}}) {
    history vec(2, engine::gathered, rates, map);
    qm::use_vector_kernels(false);
    history plain1(1, engine::gathered, rates, map), plain3(3, engine::gathered, rates, map);
    qm::use_vector_kernels(true);
    for (const history* e : {&plain1, &plain3}) {
      EXPECT_EQ(bytes(e->pop().markers), bytes(vec.pop().markers)) << map;
      EXPECT_EQ(bytes(e->pop().candidates), bytes(vec.pop().candidates)) << map;
      EXPECT_EQ(e->pop().marker_alleles.next, vec.pop().marker_alleles.next) << map;
      EXPECT_EQ(e->pop().marker_alleles.top, vec.pop().marker_alleles.top) << map;
      EXPECT_EQ(e->pop().marker_alleles.carried, vec.pop().marker_alleles.carried) << map;
      EXPECT_EQ(e->pop().candidate_alleles.carried, vec.pop().candidate_alleles.carried) << map;
      EXPECT_EQ(e->s->st.rng.state, vec.s->st.rng.state) << map;
    }
  }
  // The long chromosomes against the described walk as well.
  history ref(1, engine::reference, "2.0 0.001 0.002", "700 2 0"), made(3, engine::gathered, "2.0 0.001 0.002", "700 2 0");
  EXPECT_EQ(bytes(made.pop().markers), bytes(ref.pop().markers));
  EXPECT_EQ(bytes(made.pop().candidates), bytes(ref.pop().candidates));
  EXPECT_EQ(made.pop().candidate_alleles.next, ref.pop().candidate_alleles.next);
}

TEST(MeiosisEngine, GatheredBookkeepingWithAlleleNumbersAbove16) {
  // Mutation rates high enough that many loci carry allele numbers of 16 and
  // more, which the gathered tallies leave to a second look.
  history ref(1, engine::reference, "1.0 0.2 0.2"), gathered(2, engine::gathered, "1.0 0.2 0.2");
  int big = 0;
  const qm::population& p = ref.pop();
  for (int l = 0; l < p.candidates.loci(); ++l)
    for (int h = 0; h < p.candidates.haplotypes(); ++h) big += p.candidates.at(l, h) >= 16;
  EXPECT_GT(big, 100);
  EXPECT_EQ(bytes(gathered.pop().markers), bytes(ref.pop().markers));
  EXPECT_EQ(bytes(gathered.pop().candidates), bytes(ref.pop().candidates));
  EXPECT_EQ(gathered.pop().marker_alleles.next, ref.pop().marker_alleles.next);
  EXPECT_EQ(gathered.pop().marker_alleles.top, ref.pop().marker_alleles.top);
  EXPECT_EQ(gathered.pop().candidate_alleles.next, ref.pop().candidate_alleles.next);
  EXPECT_EQ(gathered.pop().candidate_alleles.top, ref.pop().candidate_alleles.top);
}

}  // namespace
