// Meiosis with recombination and mutation, and the allele bookkeeping.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "population/base.hpp"
#include "population/mating.hpp"
#include "population/meiosis.hpp"
#include "run/messages.hpp"
#include "values/selection.hpp"
#include "support.hpp"

namespace {

using qmtest::set_record;

struct fixture {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  qm::popstate p;
  explicit fixture(const std::string& par = qmtest::small_par()) {
    qmtest::load_par(p, par);
    qm::make_base_population(p);
  }
  // Parental haplotype h carries allele h at every locus, so every copy shows its source.
  void label_haplotypes() {
    for (int h = 1; h <= p.nhap; ++h) {
      for (int l = 1; l <= p.nmark; ++l) p.mtype(l, h) = static_cast<int8_t>(h);
      for (int l = 1; l <= p.nqloc; ++l) p.qtype(l, h) = static_cast<int8_t>(h);
    }
  }
};

int32_t state_before(uint32_t target) {
  return static_cast<int32_t>(qm::mulmod31(target, qm::jump_multiplier(qm::rmod - 2)));
}

TEST(Genotype, WholeChromosomesWithoutRecombinationOrMutation) {
  fixture f(set_record(qmtest::small_par(), 12, "1.0 0 0"));
  qm::popstate& p = f.p;
  std::fill(p.recf.data(), p.recf.data() + p.recf.count(), 0.0);
  f.label_haplotypes();
  qm::mate_parents(p, 2, p.nind);
  const int32_t seed0 = p.rng.state;
  qm::make_offspring(p);
  EXPECT_EQ(static_cast<uint32_t>(p.rng.state),
            qm::mulmod31(static_cast<uint32_t>(seed0), qm::jump_multiplier(uint64_t(p.nhap) * p.nchr * (3 + 4 * (p.nmpc - 1)))));
  for (int h = 1; h <= p.nhap; ++h) {
    const int i = (h + 1) / 2, par = h % 2 ? p.ped(2, i) : p.ped(3, i);
    for (int c = 0; c < p.nchr; ++c) {
      const int src = p.mtype(c * p.nmpc + 1, h);
      EXPECT_TRUE(src == 2 * par - 1 || src == 2 * par) << h;
      for (int j = 1; j <= p.nmpc; ++j) EXPECT_EQ(p.mtype(c * p.nmpc + j, h), src);
      for (int j = 1; j < p.nmpc; ++j) EXPECT_EQ(p.qtype(c * (p.nmpc - 1) + j, h), src);
    }
  }
}

TEST(Genotype, MatchesPlainGameteLoop) {
  fixture f(set_record(set_record(qmtest::small_par(), 10, "11 4 1"), 12, "4.0 0 0"));
  qm::popstate& p = f.p;
  f.label_haplotypes();
  qm::mate_parents(p, 2, p.nind);
  p.rng.state = state_before(2147483600u);  // the first uniform is exactly 1.0

  // Reference meiosis: uniforms from next_uniform, plain double comparisons.
  qm::random_stream r = p.rng;
  qm::arr2<int8_t> em, eq;
  em.alloc(p.nmark, p.nhap);
  eq.alloc(p.nqloc, p.nhap);
  for (int h = 1; h <= p.nhap; ++h) {
    const int i = (h + 1) / 2, par = h % 2 ? p.ped(2, i) : p.ped(3, i);
    for (int c = 0; c < p.nchr; ++c) {
      int s = std::min(2, 1 + static_cast<int>(2.0 * qm::next_uniform(r)));
      if (qm::next_uniform(r) < 0.5) s = 3 - s;
      qm::next_uniform(r);  // marker mutation draw (rate 0)
      em(c * p.nmpc + 1, h) = p.mtype(c * p.nmpc + 1, 2 * par - 2 + s);
      for (int j = 2; j <= p.nmpc; ++j) {
        const int k = c * (p.nmpc - 1) + j - 1, m = c * p.nmpc + j;
        if (qm::next_uniform(r) < p.recf(1, k)) s = 3 - s;
        qm::next_uniform(r);
        eq(k, h) = p.qtype(k, 2 * par - 2 + s);
        if (qm::next_uniform(r) < p.recf(2, k)) s = 3 - s;
        qm::next_uniform(r);
        em(m, h) = p.mtype(m, 2 * par - 2 + s);
      }
    }
  }
  qm::make_offspring(p);
  EXPECT_EQ(p.rng.state, r.state);
  int crossovers = 0;
  for (int h = 1; h <= p.nhap; ++h) {
    for (int l = 1; l <= p.nmark; ++l) EXPECT_EQ(p.mtype(l, h), em(l, h)) << l << "," << h;
    for (int l = 1; l <= p.nqloc; ++l) EXPECT_EQ(p.qtype(l, h), eq(l, h)) << l << "," << h;
    for (int l = 2; l <= p.nmark; ++l) crossovers += p.mtype(l, h) != p.mtype(l - 1, h) && (l - 1) % p.nmpc != 0;
  }
  EXPECT_GT(crossovers, 50);  // the map really recombines
}

TEST(Genotype, MutantsAreNumberedAfterTheParents) {
  fixture f;
  qm::popstate& p = f.p;
  // Parents carry 1, 2, 3, 5, 6, 9 at every marker, all 1 at the candidate loci.
  const int carried[6] = {1, 2, 3, 5, 6, 9};
  for (int h = 1; h <= p.nhap; ++h)
    for (int l = 1; l <= p.nmark; ++l) p.mtype(l, h) = static_cast<int8_t>(carried[h % 6]);
  std::fill(p.malle.data(), p.malle.data() + p.malle.count(), int16_t{9});
  qm::allele_bookkeeping(p);  // 4, 7 and 8 lost: next 4, top 9
  ASSERT_EQ(p.malle(1, 1), 4);
  ASSERT_EQ(p.malle(1, 2), 9);
  qm::mate_parents(p, 2, p.nind);
  p.mutm = 1.0;
  p.mutq = 0.0;
  p.threads = 3;  // numbering must not depend on how the work is split
  qm::make_offspring(p);
  const std::set<int> par(carried, carried + 6);
  for (int l = 1; l <= p.nmark; ++l) {
    int want = 4;
    for (int h = 1; h <= p.nhap; ++h) {
      EXPECT_EQ(p.mtype(l, h), want) << l << "," << h;
      do ++want;
      while (par.count(want));
    }
    EXPECT_EQ(p.malle(l, 1), want);
  }
  for (size_t i = 0; i < p.qtype.count(); ++i) EXPECT_EQ(p.qtype.data()[i], 1);

  // Parents with 1, 2 and 4 at candidate locus 5 (next 3, top 4); one
  // offspring, so each locus mutates twice.
  for (int h = 1; h <= p.nhap; ++h)
    for (int l = 1; l <= p.nqloc; ++l) p.qtype(l, h) = static_cast<int8_t>(l == 5 ? (h % 3 == 0 ? 4 : h % 3) : 1);
  std::fill(p.qalle.data(), p.qalle.data() + p.qalle.count(), int16_t{4});
  qm::allele_bookkeeping(p);
  ASSERT_EQ(p.qalle(5, 1), 3);
  ASSERT_EQ(p.qalle(5, 2), 4);
  p.nind = 1;
  p.nhap = 2;
  p.ped.alloc(3, 1);
  p.ped(1, 1) = 1; p.ped(2, 1) = 3; p.ped(3, 1) = 4;
  p.mutm = 0.0;
  p.mutq = 1.0;
  qm::make_offspring(p);
  EXPECT_EQ(p.qtype(5, 1), 3);
  EXPECT_EQ(p.qtype(5, 2), 5);
  EXPECT_EQ(p.qalle(5, 1), 6);
  EXPECT_EQ(p.qtype(6, 1), 2);
  EXPECT_EQ(p.qtype(6, 2), 3);
  EXPECT_EQ(p.qalle(6, 1), 4);
}

TEST(Genotype, AlleleNumbersStopAt127) {
  fixture f;
  qm::popstate& p = f.p;
  p.nind = 1;
  p.nhap = 2;
  p.ped.alloc(3, 1);
  p.ped(1, 1) = 1; p.ped(2, 1) = 1; p.ped(3, 1) = 2;
  p.mutm = 0.0;
  p.mutq = 1.0;
  std::fill(p.qalle.data(), p.qalle.data() + p.qalle.count(), int16_t{126});
  EXPECT_NO_THROW(qm::make_offspring(p));  // 126 and 127 are still allele numbers
  EXPECT_EQ(p.qtype(1, 1), 126);
  EXPECT_EQ(p.qtype(1, 2), 127);
  EXPECT_EQ(f.con.text(), "");
  std::fill(p.qalle.data(), p.qalle.data() + p.qalle.count(), int16_t{127});
  EXPECT_THROW(qm::make_offspring(p), qm::run_stop);
  EXPECT_NE(f.con.text().find("Too many alleles at one locus: allele number above 127."), std::string::npos);
}

TEST(Genotype, NomutAndPedigreeCheck) {
  fixture f;
  qm::popstate& p = f.p;
  qm::mate_parents(p, 2, p.nind);
  p.mutm = p.mutq = 1.0;
  p.nomut = 1;
  qm::make_offspring(p);
  EXPECT_EQ(p.mutm, 0.0);
  EXPECT_EQ(p.mutq, 0.0);
  p.nomut = 0;
  qm::mate_parents(p, 2, p.nind);
  qm::make_offspring(p);
  for (size_t i = 0; i < p.mtype.count(); ++i) ASSERT_EQ(p.mtype.data()[i], 1);
  for (size_t i = 0; i < p.qtype.count(); ++i) ASSERT_EQ(p.qtype.data()[i], 1);

  p.ped.alloc(3, p.nind - 1);
  EXPECT_THROW(qm::make_offspring(p), qm::run_stop);
  EXPECT_NE(f.con.text().find("Parameter Error in genotype_module! code 1"), std::string::npos);
}

TEST(Bookkeeping, NextAndTop) {
  struct locus { int a[6], next, top, want_next, want_top; };
  const locus cases[] = {
      {{1, 2, 3, 5, 5, 1}, 6, 5, 4, 5},  // 4 lost: reused as next; top the largest carried
      {{1, 2, 3, 4, 4, 4}, 5, 4, 5, 4},  // 5 not carried: stays next
      {{2, 3, 4, 2, 3, 4}, 4, 4, 5, 5},  // 2..4 all carried: next = top = hi + 1
      {{1, 1, 1, 1, 1, 1}, 2, 2, 2, 2},  // nothing carried: top 2
      {{1, 3, 1, 3, 1, 1}, 4, 3, 2, 3},  // 2 lost
  };
  qm::arr2<int8_t> geno;
  qm::arr2<int16_t> alle;
  geno.alloc(5, 6);
  alle.alloc(5, 2);
  for (int l = 1; l <= 5; ++l) {
    for (int h = 1; h <= 6; ++h) geno(l, h) = static_cast<int8_t>(cases[l - 1].a[h - 1]);
    alle(l, 1) = cases[l - 1].next;
    alle(l, 2) = cases[l - 1].top;
  }
  qm::bookkeeping(alle, geno);
  for (int l = 1; l <= 5; ++l) {
    EXPECT_EQ(alle(l, 1), cases[l - 1].want_next) << l;
    EXPECT_EQ(alle(l, 2), cases[l - 1].want_top) << l;
  }

  // Every number 2..127 carried: next = top = 128, held without a stop.
  geno.alloc(1, 126);
  alle.alloc(1, 2);
  for (int h = 1; h <= 126; ++h) geno(1, h) = static_cast<int8_t>(h + 1);
  alle(1, 1) = 127;
  alle(1, 2) = 126;
  qm::bookkeeping(alle, geno);
  EXPECT_EQ(alle(1, 1), 128);
  EXPECT_EQ(alle(1, 2), 128);
}

// Stage-1 generations with mutation, as the driver runs them; mtype bytes at the end.
std::string stage1_bytes(int seed) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  qm::popstate p;
  std::string par = set_record(qmtest::small_par(), 12, "1.0 0.02 0.02");
  par = set_record(par, 16, "3 0 " + std::to_string(seed));
  qmtest::load_par(p, set_record(par, 20, "0 1 0"));
  qm::make_base_population(p);
  for (int g = 0; g < 6; ++g) {
    qm::mate_parents(p, p.matetype, p.nind);
    qm::make_offspring(p);
    qm::allele_bookkeeping(p);
    qm::select_parents(p, p.seltype, p.nsire, p.ndam);
  }
  return std::string(reinterpret_cast<const char*>(p.mtype.data()), p.mtype.count());
}

TEST(StageOne, RepeatableFromItsSeed) {
  const std::string a = stage1_bytes(12345), b = stage1_bytes(12345), c = stage1_bytes(777);
  EXPECT_NE(a.find('\2'), std::string::npos);  // mutation happened
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
}

}  // namespace
