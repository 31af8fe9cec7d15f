// The meiosis engine against the plain description of a gamete: integer
// thresholds at their boundaries, mutant numbers in haplotype order with many
// mutations per locus, and results that do not depend on the thread count.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "population/mating.hpp"
#include "population/meiosis.hpp"
#include "values/selection.hpp"
#include "support.hpp"

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
// by the engine with the given thread count, or by the reference.
struct history {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  std::unique_ptr<qmtest::run_setup> s;
  history(int threads, bool reference) {
    std::string par = set_record(qmtest::small_par(), 10, "21 3 1");
    par = set_record(par, 12, "1.0 0.05 0.08");
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
      } else {
        qm::make_offspring(st.pop, std::move(o), st.map, s->params.mutm, s->params.mutq, st.buffers, st.rng, threads);
        qm::allele_bookkeeping(st.pop, threads);
      }
      qm::select_parents(st.pop, b.criterion(), b.nsire, b.ndam, st.rng);
    }
  }
  const qm::population& pop() const { return s->st.pop; }
};

TEST(MeiosisEngine, SameAllelesAsTheDescribedWalkWithManyMutations) {
  history ref(1, true), one(1, false), three(3, false);
  // The rates give several mutants per locus and generation: most markers
  // carry four or more allele numbers at once.
  int many = 0;
  const int nmark = ref.pop().markers.loci();
  for (int l = 0; l < nmark; ++l) many += ref.pop().marker_alleles.top[l] >= 5;
  EXPECT_GT(many, nmark / 2);
  for (const history* e : {&one, &three}) {
    EXPECT_EQ(bytes(e->pop().markers), bytes(ref.pop().markers));
    EXPECT_EQ(bytes(e->pop().candidates), bytes(ref.pop().candidates));
    EXPECT_EQ(e->pop().marker_alleles.next, ref.pop().marker_alleles.next);
    EXPECT_EQ(e->pop().marker_alleles.top, ref.pop().marker_alleles.top);
    EXPECT_EQ(e->pop().candidate_alleles.next, ref.pop().candidate_alleles.next);
    EXPECT_EQ(e->pop().candidate_alleles.top, ref.pop().candidate_alleles.top);
    EXPECT_EQ(e->s->st.rng.state, ref.s->st.rng.state);
  }
}

TEST(MeiosisEngine, ThresholdsOfARunSitAtTheirBoundaries) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  qmtest::run_setup s(set_record(set_record(qmtest::small_par(), 10, "21 3 1"), 12, "1.0 1.0e-3 2.0e-3"));
  const qm::genome_map& map = s.st.map;
  const qm::run_parameters& p = s.params;
  qm::meiosis_plan plan;
  qm::build_plan(map, p.mutm, p.mutq, plan);
  ASSERT_FALSE(plan.same_rows);  // a random map: every chromosome its own row
  ASSERT_EQ(plan.u, 3 + 4 * 20);
  ASSERT_EQ(plan.upad % 8, 0);
  ASSERT_GE(plan.upad, plan.u);
  // u < x must hold exactly for the states below the threshold of x.
  auto check = [](uint32_t t, double x) {
    if (t > 1) {
      EXPECT_LT(static_cast<double>(qm::uniform_of_state(t - 1)), x) << x;
    }
    if (t < qm::rmod) {
      EXPECT_GE(static_cast<double>(qm::uniform_of_state(t)), x) << x;
    }
  };
  const int gaps = p.nmpc - 1;
  for (int c = 0; c < p.nchr; ++c) {
    const uint32_t* t = plan.thr.data() + static_cast<size_t>(c) * plan.upad;
    check(t[0], 0.5);
    check(t[1], 0.5);
    check(t[2], p.mutm);
    for (int j = 0; j < gaps; ++j) {
      const int k = c * gaps + j;
      check(t[3 + 4 * j], map.recomb_left[k]);
      check(t[4 + 4 * j], p.mutq);
      check(t[5 + 4 * j], map.recomb_right[k]);
      check(t[6 + 4 * j], p.mutm);
    }
    for (int i = plan.u; i < plan.upad; ++i) EXPECT_EQ(t[i], 0u);  // padding never fires
  }
  // An even map has one row for every chromosome.
  qmtest::run_setup even(qmtest::small_par());
  qm::build_plan(even.st.map, 0.0, 0.0, plan);
  EXPECT_TRUE(plan.same_rows);
}

TEST(MeiosisEngine, VectorAndPlainKernelsAgree) {
  // Random thresholds, and start states that run through the u = 1 states.
  uint32_t seed = 987654321;
  auto next = [&] { return seed = qm::next_state(seed); };
  for (int upad : {8, 16, 24, 64, 72, 8000}) {
    std::vector<uint32_t> thr(static_cast<size_t>(upad) + 8, 0);
    for (int i = 0; i < upad; ++i) thr[static_cast<size_t>(i)] = next() % 3 == 0 ? next() : next() >> 4;
    for (uint32_t st : {uint32_t{1}, uint32_t{2147483583}, uint32_t{2147483646}, next(), next()}) {
      std::vector<uint64_t> a(static_cast<size_t>(upad / 64 + 2), ~uint64_t{0}), b = a;
      qm::event_bits(st, thr.data(), upad, a.data(), true);
      qm::event_bits(st, thr.data(), upad, b.data(), false);
      uint32_t s = st;
      for (int i = 0; i < upad; ++i) {
        s = qm::next_state(s);
        ASSERT_EQ((a[static_cast<size_t>(i / 64)] >> (i % 64)) & 1u, uint64_t{s < thr[static_cast<size_t>(i)]})
            << "upad " << upad << " position " << i;
        ASSERT_EQ((b[static_cast<size_t>(i / 64)] >> (i % 64)) & 1u, uint64_t{s < thr[static_cast<size_t>(i)]});
      }
    }
  }
}

}  // namespace
