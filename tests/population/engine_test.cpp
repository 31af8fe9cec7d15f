// The meiosis engine against the plain description of a gamete: integer
// thresholds at their boundaries, mutant numbers in haplotype order with many
// mutations per locus, and results that do not depend on the thread count.
#include <gtest/gtest.h>

#include <vector>

#include "population/base.hpp"
#include "population/mating.hpp"
#include "population/meiosis.hpp"
#include "values/selection.hpp"
#include "support.hpp"

namespace {

using qmtest::set_record;

// The described gamete walk, one uniform at a time, with each mutant
// numbered at once by scanning the parental generation.
void reference_genotype(qm::popstate& p) {
  if (p.nomut == 1) p.mutm = p.mutq = 0.0;
  qm::arr2<int8_t> mo, qo;
  mo.alloc(p.nmark, p.nhap);
  qo.alloc(p.nqloc, p.nhap);
  auto mutate = [&](qm::arr2<int16_t>& alle, const qm::arr2<int8_t>& par, int l) {
    const int next = alle(l, 1);
    int v = next + 1;
    for (bool carried = true; carried && v <= 127;) {
      carried = false;
      for (int h = 1; h <= par.n2 && !carried; ++h) carried = par(l, h) == v;
      if (carried) ++v;
    }
    alle(l, 1) = static_cast<int16_t>(v);
    return static_cast<int8_t>(next);
  };
  for (int h = 1; h <= p.nhap; ++h) {
    const int i = (h + 1) / 2, par = h % 2 ? p.ped(2, i) : p.ped(3, i);
    for (int c = 1; c <= p.nchr; ++c) {
      int s = qm::uniform_int(p.rng, 1, 2);
      if (qm::next_uniform(p.rng) < 0.5) s = 3 - s;
      const int m1 = (c - 1) * p.nmpc + 1;
      mo(m1, h) = qm::next_uniform(p.rng) < p.mutm ? mutate(p.malle, p.mtype, m1) : p.mtype(m1, 2 * par - 2 + s);
      for (int j = 2; j <= p.nmpc; ++j) {
        const int k = (c - 1) * (p.nmpc - 1) + j - 1, m = (c - 1) * p.nmpc + j;
        if (qm::next_uniform(p.rng) < p.recf(1, k)) s = 3 - s;
        qo(k, h) = qm::next_uniform(p.rng) < p.mutq ? mutate(p.qalle, p.qtype, k) : p.qtype(k, 2 * par - 2 + s);
        if (qm::next_uniform(p.rng) < p.recf(2, k)) s = 3 - s;
        mo(m, h) = qm::next_uniform(p.rng) < p.mutm ? mutate(p.malle, p.mtype, m) : p.mtype(m, 2 * par - 2 + s);
      }
    }
  }
  p.mtype.swap(mo);
  p.qtype.swap(qo);
}

bool same_bytes(const qm::arr2<int8_t>& a, const qm::arr2<int8_t>& b) {
  return a.n1 == b.n1 && a.n2 == b.n2 && std::equal(a.data(), a.data() + a.count(), b.data());
}

// Several historical generations with a random map and high mutation rates,
// by the engine with the given thread count, or by the reference.
struct history {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  qm::popstate p;
  history(int threads, bool reference) {
    std::string par = set_record(qmtest::small_par(), 10, "21 3 1");
    par = set_record(par, 12, "1.0 0.05 0.08");
    par = set_record(par, 18, "10 20 60 30");
    qmtest::load_par(p, par);
    p.threads = threads;
    qm::make_base_population(p);
    for (int g = 0; g < 6; ++g) {
      qm::mate_parents(p, p.matetype, p.nind);
      if (reference) {
        reference_genotype(p);
        qm::bookkeeping(p.malle, p.mtype);
        qm::bookkeeping(p.qalle, p.qtype);
      } else {
        qm::make_offspring(p);
        qm::allele_bookkeeping(p);
      }
      qm::select_parents(p, p.seltype, p.nsire, p.ndam);
    }
  }
};

TEST(MeiosisEngine, SameAllelesAsTheDescribedWalkWithManyMutations) {
  history ref(1, true), one(1, false), three(3, false);
  // The rates give several mutants per locus and generation: most markers
  // carry four or more allele numbers at once.
  int many = 0;
  for (int l = 1; l <= ref.p.nmark; ++l) many += ref.p.malle(l, 2) >= 5;
  EXPECT_GT(many, ref.p.nmark / 2);
  for (const history* e : {&one, &three}) {
    EXPECT_TRUE(same_bytes(e->p.mtype, ref.p.mtype));
    EXPECT_TRUE(same_bytes(e->p.qtype, ref.p.qtype));
    EXPECT_TRUE(std::equal(e->p.malle.data(), e->p.malle.data() + e->p.malle.count(), ref.p.malle.data()));
    EXPECT_TRUE(std::equal(e->p.qalle.data(), e->p.qalle.data() + e->p.qalle.count(), ref.p.qalle.data()));
    EXPECT_EQ(e->p.rng.state, ref.p.rng.state);
  }
}

TEST(MeiosisEngine, ThresholdsOfARunSitAtTheirBoundaries) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  qm::popstate p;
  qmtest::load_par(p, set_record(set_record(qmtest::small_par(), 10, "21 3 1"), 12, "1.0 1.0e-3 2.0e-3"));
  qm::make_base_population(p);
  qm::meiosis_plan plan;
  qm::build_plan(p, p.mutm, p.mutq, plan);
  ASSERT_FALSE(plan.same_rows);  // a random map: every chromosome its own row
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
      const int k = c * gaps + j + 1;
      check(t[3 + 4 * j], p.recf(1, k));
      check(t[4 + 4 * j], p.mutq);
      check(t[5 + 4 * j], p.recf(2, k));
      check(t[6 + 4 * j], p.mutm);
    }
    for (int i = plan.u; i < plan.upad; ++i) EXPECT_EQ(t[i], 0u);  // padding never fires
  }
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
