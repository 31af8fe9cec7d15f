// The base generation and the genetic map.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <vector>

#include "population/base.hpp"
#include "support.hpp"

namespace {

using qmtest::set_record;

TEST(BaseSet, EvenMapMonomorphicBaseAndParentLists) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  qm::popstate p;
  qmtest::load_par(p, qmtest::small_par());  // nmpc 11, chrlen 1.0, maptype 0, nind 40
  p.mtype(3, 5) = 7;
  const int32_t seed0 = p.rng.state;
  qm::make_base_population(p);
  // h = 0.5 / 10 in single precision = 0.05000000074505806, then Haldane.
  for (size_t i = 0; i < p.recf.count(); ++i) EXPECT_DOUBLE_EQ(p.recf.data()[i], 0.04758129165617664);
  EXPECT_EQ(p.rng.state, seed0);
  EXPECT_FALSE(qmtest::file_exists("mposition.out"));
  for (size_t i = 0; i < p.mtype.count(); ++i) EXPECT_EQ(p.mtype.data()[i], 1);
  for (size_t i = 0; i < p.qtype.count(); ++i) EXPECT_EQ(p.qtype.data()[i], 1);
  for (int i = 1; i <= p.nind; ++i)
    for (int r = 1; r <= 3; ++r) EXPECT_EQ(p.ped(r, i), i);
  ASSERT_EQ(p.sireid.size(), 10);
  ASSERT_EQ(p.damid.size(), 20);
  for (int k = 1; k <= 10; ++k) EXPECT_EQ(p.sireid(k), 2 * k - 1);
  for (int k = 1; k <= 20; ++k) EXPECT_EQ(p.damid(k), 2 * k);

  // nind 7 with lists of 5: only three males and three females exist to fill them.
  p.nind = 7;
  p.nsire = p.ndam = 5;
  p.ped.alloc(3, 7);
  p.mtype.alloc(p.nmark, 14);
  p.qtype.alloc(p.nqloc, 14);
  qm::make_base_population(p);
  ASSERT_EQ(p.sireid.size(), 5);
  for (int k = 1; k <= 3; ++k) EXPECT_EQ(p.sireid(k), 2 * k - 1);
  for (int k = 1; k <= 3; ++k) EXPECT_EQ(p.damid(k), 2 * k);
}

TEST(BaseSet, RandomMapFileAndGaps) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  qm::popstate p;
  qmtest::load_par(p, set_record(set_record(qmtest::small_par(), 10, "6 3 1"), 12, "1.5 1.0e-3 2.0e-3"));
  const int gaps = p.nmpc - 1;
  const int32_t seed0 = p.rng.state;
  qm::make_base_population(p);

  // Reference draws of the map: gaps (u1, u2), scaled to chrlen, then one
  // uniform per candidate locus; recf compared after undoing Haldane.
  qm::random_stream r;
  r.state = seed0;
  const double d = static_cast<double>(1.5f / 5.0f);
  std::vector<long long> bp;
  for (int c = 1; c <= p.nchr; ++c) {
    std::vector<double> g(gaps);
    double s = 0.0, total = 0.0;
    for (double& x : g) {
      const double u1 = qm::next_uniform(r), u2 = qm::next_uniform(r);
      s += x = (std::log(u2) / -1.0) * (d / 2.0) + u1 * d;
    }
    for (int j = 0; j < gaps; ++j) {
      total += g[j] *= 1.5 / s;
      bp.push_back(static_cast<long long>(g[j] * 1e8));
      const int k = (c - 1) * gaps + j + 1;
      const double x1 = -0.5 * std::log(1.0 - 2.0 * p.recf(1, k)), x2 = -0.5 * std::log(1.0 - 2.0 * p.recf(2, k));
      EXPECT_NEAR(x1 + x2, g[j], 1e-12) << "locus " << k;
      EXPECT_NEAR(x2, qm::next_uniform(r) * g[j], 1e-12) << "locus " << k;
    }
    EXPECT_NEAR(total, 1.5, 1e-12);
  }
  EXPECT_EQ(static_cast<uint32_t>(p.rng.state),
            qm::mulmod31(static_cast<uint32_t>(seed0), qm::jump_multiplier(3ull * gaps * p.nchr)));

  std::istringstream in(qmtest::read_file("mposition.out"));
  std::string line;
  long long n = 0, pos = 0;
  size_t gi = 0;
  while (std::getline(in, line)) {
    ++n;
    ASSERT_EQ(line.size(), 30u) << line;  // widths 6, 12, 12
    long long num, at, gap;
    std::istringstream(line) >> num >> at >> gap;
    EXPECT_EQ(num, n);
    if ((n - 1) % p.nmpc == 0) {  // first marker of a chromosome
      EXPECT_EQ(at, 0);
      EXPECT_EQ(gap, 0);
      pos = 0;
    } else {
      EXPECT_EQ(at, pos += gap);
      EXPECT_LE(at, 150000000LL);
      ASSERT_LT(gi, bp.size());
      EXPECT_EQ(gap, bp[gi++]);
    }
  }
  EXPECT_EQ(n, p.nmark);
}

TEST(BaseSet, OtherMaptypeMeansNoRecombination) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  qm::popstate p;
  qmtest::load_par(p, set_record(qmtest::small_par(), 10, "11 4 2"));
  std::fill(p.recf.data(), p.recf.data() + p.recf.count(), 0.3);
  const int32_t seed0 = p.rng.state;
  qm::make_base_population(p);
  for (size_t i = 0; i < p.recf.count(); ++i) EXPECT_EQ(p.recf.data()[i], 0.0);
  EXPECT_EQ(p.rng.state, seed0);
  EXPECT_FALSE(qmtest::file_exists("mposition.out"));
}

}  // namespace
