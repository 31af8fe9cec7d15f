#include "qtl/choose.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "run/messages.hpp"
#include "support.hpp"

namespace {

// 40 individuals (80 haplotypes) and 40 candidate loci, all fixed for allele 1.
void monomorphic(qm::popstate& p, const std::string& par) {
  qmtest::load_par(p, par);
  for (int l = 1; l <= p.nqloc; ++l) {
    p.qalle(l, 2) = 1;
    for (int h = 1; h <= p.nhap; ++h) p.qtype(l, h) = 1;
  }
}

// Allele 2 on c haplotypes of locus l, spread over the population.
void segregate(qm::popstate& p, int l, int c) {
  p.qalle(l, 2) = 2;
  for (int k = 0; k < c; ++k) p.qtype(l, 1 + (k * 7 + l) % p.nhap) = 2;
}

// Additive variance of trait t: sum of qeff^2 * 2p(1 - p), p counted afresh.
double additive_variance(const qm::popstate& p, int t) {
  double v = 0.0;
  for (int q = 1; q <= p.tqtl; ++q) {
    int c = 0;
    for (int h = 1; h <= p.nhap; ++h) c += p.qtype(p.qtlid(q), h) == 1;
    const double f = static_cast<double>(c) / p.nhap;
    v += p.qeff(q, t) * p.qeff(q, t) * 2.0 * f * (1.0 - f);
  }
  return v;
}

}  // namespace

TEST(GetqtlTest, RecodesSegregatingLociAndTakesThemAll) {
  qmtest::tempdir td;
  qmtest::console_capture cc;
  qm::popstate p;
  monomorphic(p, qmtest::set_record(qmtest::small_par(), 14, "0 3 1.0 1.0"));
  // Locus 5: alleles 1, 2, 3 at frequencies 0.2, 0.45, 0.35.
  p.qalle(5, 2) = 3;
  for (int h = 1; h <= 80; ++h) p.qtype(5, h) = h <= 16 ? 1 : h <= 52 ? 2 : 3;
  // Locus 6: every haplotype carries allele 2.
  p.qalle(6, 2) = 2;
  for (int h = 1; h <= 80; ++h) p.qtype(6, h) = 2;
  // Locus 9: alleles 1 and 2 at 0.625 and 0.375, a tie broken towards allele 2.
  for (int h = 1; h <= 30; ++h) p.qtype(9, h) = 2;
  p.qalle(9, 2) = 2;
  segregate(p, 31, 12);

  ASSERT_TRUE(qm::msg_open_log("log.txt"));
  qm::choose_qtl(p);
  qm::msg_close_log();

  for (int h = 1; h <= 80; ++h) {
    EXPECT_EQ(p.qtype(5, h), h > 16 && h <= 52 ? 1 : 2) << h;
    EXPECT_EQ(p.qtype(6, h), 2) << h;
    EXPECT_EQ(p.qtype(9, h), h <= 30 ? 1 : 2) << h;
  }
  EXPECT_FLOAT_EQ(qm::qtl_weight(p, 5), 0.495f);
  EXPECT_FLOAT_EQ(qm::qtl_weight(p, 9), 0.46875f);
  ASSERT_EQ(p.tqtl, 3);
  std::vector<int> ids{p.qtlid(1), p.qtlid(2), p.qtlid(3)};
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<int>{5, 9, 31}));
  // The text padded to 19 characters, then the count in 5.
  const std::string line = std::string("Total QTL number =") + " " + "    3" + "\n";
  EXPECT_NE(cc.text().find(" " + line), std::string::npos) << cc.text();
  EXPECT_NE(qmtest::read_file("log.txt").find(line), std::string::npos);
}

TEST(GetqtlTest, TooFewSegregatingLociStop) {
  qmtest::tempdir td;
  qmtest::console_capture cc;
  qm::popstate p;
  monomorphic(p, qmtest::set_record(qmtest::small_par(), 14, "0 3 1.0 1.0"));
  EXPECT_THROW(qm::choose_qtl(p), qm::run_stop);
  EXPECT_NE(cc.text().find(" No QTL generated! Task failed!\n"), std::string::npos);

  qm::popstate p2;
  monomorphic(p2, qmtest::set_record(qmtest::small_par(), 14, "0 3 1.0 1.0"));
  segregate(p2, 4, 10);
  segregate(p2, 17, 40);
  EXPECT_THROW(qm::choose_qtl(p2), qm::run_stop);
  EXPECT_NE(cc.text().find(" tqtl litter than qtlp1\n"), std::string::npos);
}

TEST(GetqtlTest, UniformOfOneChoosesTheLastCandidate) {
  qmtest::tempdir td;
  qmtest::console_capture cc;
  qm::popstate p;
  monomorphic(p, qmtest::set_record(qmtest::small_par(), 14, "0 1 1.0 1.0"));
  segregate(p, 4, 10);
  segregate(p, 11, 20);
  segregate(p, 27, 30);
  // The state before 2147483600: the next uniform is exactly 1.0.
  const uint32_t s = qm::mulmod31(2147483600u, qm::jump_multiplier(2147483645ull));
  ASSERT_EQ(qm::next_state(s), 2147483600u);
  p.rng.state = static_cast<int32_t>(s);
  qm::choose_qtl(p);
  EXPECT_EQ(p.qtlid(1), 27);
}

TEST(GetqtlTest, EffectsScaledToTargetVariances) {
  const std::string par = qmtest::set_record(qmtest::small_par(), 14, "0 30 1.0 1.0");
  std::string three = qmtest::set_record(par, 2, "3 0 0.2 0");
  three = qmtest::set_record(three, 4, "0.5 0.5 0.5");
  three = qmtest::set_record(three, 6, "0 0 0");
  three = qmtest::set_record(three, 8, "0.3 0.3 0.3");
  std::string two = qmtest::set_record(par, 2, "2 0 0.2 1");
  two = qmtest::set_record(two, 4, "0");
  two = qmtest::set_record(two, 6, "0.1");
  two = qmtest::set_record(two, 8, "0.3 0.3");
  for (const std::string& text : {par, three, two}) {
    qmtest::tempdir td;
    qmtest::console_capture cc;
    qm::popstate p;
    monomorphic(p, text);
    for (int l = 1; l <= 40; ++l) segregate(p, l, 2 * l - 1);
    qm::choose_qtl(p);
    ASSERT_EQ(p.tqtl, 30);
    for (int t = 1; t <= p.ntrait; ++t) {
      const double target = p.ntrait == 1 ? 1.0 : t;
      EXPECT_NEAR(additive_variance(p, t), target, 1e-5 * target) << "ntrait " << p.ntrait << " trait " << t;
    }
    if (p.ntrait == 2) {  // no QTL affects both traits: covariance and correlation exactly 0
      EXPECT_NE(qmtest::read_file("Genetic_paramenters.out")
                    .find("matrix:\n      1.0000000\t      0.0000000\t\n      0.0000000\t      2.0000000\t\n"
                          "Realized Additive Correlation matrix:\n      1.0000000\t      0.0000000\t\n"),
                std::string::npos);
    }
  }
}
