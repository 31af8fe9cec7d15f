// SNP-BLUP on packed genotypes: packing, a dense solve of the same equations,
// the equivalent GBLUP, threads and warm starts.
#include "ebv/genomic.hpp"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "base/messages.hpp"
#include "support.hpp"

namespace {

struct sample {
  int64_t n = 0, m = 0;
  std::vector<uint8_t> x;  // n x m dosages, row-major
  std::vector<double> y;
};

// Dosages from per-marker frequencies (marker 3 monomorphic), phenotypes
// from 20 causal markers plus noise.
sample make_sample(int64_t n, int64_t m, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::normal_distribution<double> nd;
  std::vector<double> p(static_cast<size_t>(m));
  for (auto& v : p) v = 0.05 + 0.9 * u(rng);
  if (m > 3) p[3] = 0.0;
  sample s{n, m, std::vector<uint8_t>(static_cast<size_t>(n * m)), std::vector<double>(static_cast<size_t>(n))};
  for (int64_t i = 0; i < n; ++i)
    for (int64_t j = 0; j < m; ++j)
      s.x[static_cast<size_t>(i * m + j)] = static_cast<uint8_t>((u(rng) < p[static_cast<size_t>(j)]) + (u(rng) < p[static_cast<size_t>(j)]));
  std::vector<double> eff(static_cast<size_t>(m), 0.0);
  for (int q = 0; q < 20; ++q) eff[rng() % static_cast<uint32_t>(m)] = nd(rng);
  for (int64_t i = 0; i < n; ++i) {
    double g = 0.0;
    for (int64_t j = 0; j < m; ++j) g += s.x[static_cast<size_t>(i * m + j)] * eff[static_cast<size_t>(j)];
    s.y[static_cast<size_t>(i)] = 5.0 + g + 2.0 * nd(rng);
  }
  return s;
}

Eigen::MatrixXd dosages(const sample& s) {
  Eigen::MatrixXd x(s.n, s.m);
  for (int64_t i = 0; i < s.n; ++i)
    for (int64_t j = 0; j < s.m; ++j) x(i, j) = s.x[static_cast<size_t>(i * s.m + j)];
  return x;
}

}  // namespace

TEST(GenomicTest, PackingKeepsEveryDosage) {
  const sample s = make_sample(7, 11, 1);
  const qm::packed_genotypes g = qm::pack_genotypes(s.x.data(), s.n, s.m);
  EXPECT_EQ(g.row_bytes, 3);
  EXPECT_EQ(g.col_bytes, 2);
  EXPECT_EQ(g.by_animal.size(), 21u);  // 2 bits a genotype, rows padded to bytes
  for (int64_t i = 0; i < s.n; ++i)
    for (int64_t j = 0; j < s.m; ++j) {
      EXPECT_EQ(g.dosage(i, j), s.x[static_cast<size_t>(i * s.m + j)]);
      EXPECT_EQ((g.by_marker[static_cast<size_t>(j * g.col_bytes + i / 4)] >> (2 * (i % 4))) & 3,
                s.x[static_cast<size_t>(i * s.m + j)]);
    }
  qmtest::console_capture cc;
  std::vector<uint8_t> bad = s.x;
  bad[15] = 3;
  EXPECT_THROW(qm::pack_genotypes(bad.data(), s.n, s.m), qm::run_stop);
}

// Rows gathered by animal and given their by-marker copy afterwards hold
// the same bytes as packing the dosages at once, across tile edges (256
// animals) and for any number of threads.
TEST(GenomicTest, MarkerMajorFromRows) {
  for (const auto& [n, m] : {std::pair<int64_t, int64_t>{1, 1}, {7, 11}, {257, 9}, {1030, 64}, {513, 3}}) {
    const sample s = make_sample(n, m, static_cast<uint32_t>(n + m));
    const qm::packed_genotypes want = qm::pack_genotypes(s.x.data(), n, m);
    for (int threads : {1, 3}) {
      qm::packed_genotypes g = qm::pack_genotypes(s.x.data(), n, m, false);
      EXPECT_EQ(g.col_bytes, 0);
      EXPECT_TRUE(g.by_marker.empty());
      qm::add_marker_major(g, threads);
      EXPECT_EQ(g.col_bytes, want.col_bytes) << n << " x " << m;
      EXPECT_EQ(g.by_marker, want.by_marker) << n << " x " << m << ", " << threads << " threads";
    }
  }
  qmtest::console_capture cc;
  const sample s = make_sample(5, 6, 9);
  qm::packed_genotypes g = qm::pack_genotypes(s.x.data(), 5, 6, false);
  g.by_animal.pop_back();  // a row cut short
  EXPECT_THROW(qm::add_marker_major(g), qm::run_stop);
}

// The equations written out densely and solved directly; then the same GEBV
// from GBLUP with G = Z Z' / (2 sum p (1 - p)) and lambda = (1 - h2) / h2.
TEST(GenomicTest, DenseSolveAndEquivalentGblup) {
  const double h2 = 0.4;
  for (const auto& [n, m] : std::vector<std::pair<int64_t, int64_t>>{{120, 203}, {210, 80}}) {
    const int64_t ncand = 30;
    const sample all = make_sample(n + ncand, m, static_cast<uint32_t>(n));
    const sample ref{n, m, std::vector<uint8_t>(all.x.begin(), all.x.begin() + n * m),
                     std::vector<double>(all.y.begin(), all.y.begin() + n)};
    const sample cand{ncand, m, std::vector<uint8_t>(all.x.begin() + n * m, all.x.end()), {}};
    const qm::packed_genotypes g = qm::pack_genotypes(ref.x.data(), n, m);
    const qm::snp_blup_solution s = qm::snp_blup(g, ref.y, h2, {}, qm::pcg_options{});
    EXPECT_TRUE(s.stats.converged);

    const Eigen::MatrixXd x = dosages(ref);
    Eigen::VectorXd p(m);
    double k = 0.0;
    for (int64_t j = 0; j < m; ++j) {
      p(j) = x.col(j).sum() / (2.0 * static_cast<double>(n));
      k += 2.0 * p(j) * (1.0 - p(j));
    }
    const double lambda = (1.0 - h2) / h2 * k;  // VanRaden's sigma_snp^2 = sigma_a^2 / (2 sum p q)
    EXPECT_NEAR(s.lambda, lambda, 1e-9 * lambda);
    const Eigen::MatrixXd z = x.rowwise() - 2.0 * p.transpose();
    Eigen::MatrixXd c(m + 1, m + 1);
    c(0, 0) = static_cast<double>(n);
    c.block(0, 1, 1, m) = z.colwise().sum();
    c.block(1, 0, m, 1) = z.colwise().sum().transpose();
    c.block(1, 1, m, m) = z.transpose() * z + lambda * Eigen::MatrixXd::Identity(m, m);
    const Eigen::VectorXd yv = Eigen::Map<const Eigen::VectorXd>(ref.y.data(), n);
    Eigen::VectorXd rhs(m + 1);
    rhs(0) = yv.sum();
    rhs.tail(m) = z.transpose() * yv;
    const Eigen::VectorXd direct = c.ldlt().solve(rhs);
    EXPECT_NEAR(s.mu, direct(0), 1e-6);
    for (int64_t j = 0; j < m; ++j) ASSERT_NEAR(s.effects[static_cast<size_t>(j)], direct(1 + j), 1e-6) << j;
    EXPECT_EQ(s.effects[3], 0.0);  // the monomorphic marker

    // GBLUP: a = G (G + lambda_a I)^-1 (y - 1 mu), mu by GLS; candidates through G_cr.
    const double la = (1.0 - h2) / h2;
    const Eigen::MatrixXd grr = z * z.transpose() / k;
    const Eigen::MatrixXd zc = dosages(cand).rowwise() - 2.0 * p.transpose();
    const Eigen::MatrixXd gcr = zc * z.transpose() / k;
    const Eigen::LDLT<Eigen::MatrixXd> v((grr + la * Eigen::MatrixXd::Identity(n, n)).ldlt());
    const Eigen::VectorXd ones = Eigen::VectorXd::Ones(n);
    const double mu = ones.dot(v.solve(yv)) / ones.dot(v.solve(ones));
    const Eigen::VectorXd alpha = v.solve(yv - mu * ones);
    const Eigen::VectorXd a_ref = grr * alpha, a_cand = gcr * alpha;
    EXPECT_NEAR(s.mu, mu, 1e-6);
    const std::vector<double> ge_ref = qm::gebv(g, s, 1);
    const qm::packed_genotypes gc = qm::pack_genotypes(cand.x.data(), ncand, m, false);
    const std::vector<double> ge_cand = qm::gebv(gc, s, 1);
    for (int64_t i = 0; i < n; ++i) ASSERT_NEAR(ge_ref[static_cast<size_t>(i)], a_ref(i), 1e-6);
    for (int64_t i = 0; i < ncand; ++i) ASSERT_NEAR(ge_cand[static_cast<size_t>(i)], a_cand(i), 1e-6);
  }
}

TEST(GenomicTest, SameBitsForAnyThreadCount) {
  // Several row parts, blocks of bytes and table parts in both directions.
  const sample s = make_sample(700, 610, 9);
  const qm::packed_genotypes g = qm::pack_genotypes(s.x.data(), s.n, s.m);
  qm::snp_blup_solution first;
  std::vector<double> first_gebv;
  for (const int th : {1, 2, 3}) {
    qm::pcg_options opt;
    opt.threads = th;
    const qm::snp_blup_solution r = qm::snp_blup(g, s.y, 0.3, {}, opt);
    const std::vector<double> ge = qm::gebv(g, r, th);
    EXPECT_TRUE(r.stats.converged);
    if (th == 1) {
      first = r;
      first_gebv = ge;
    } else {
      EXPECT_EQ(r.stats.iterations, first.stats.iterations);
      EXPECT_EQ(r.mu, first.mu);
      EXPECT_EQ(r.effects, first.effects) << th << " threads";
      EXPECT_EQ(ge, first_gebv) << th << " threads";
    }
  }
}

TEST(GenomicTest, WarmStartFromSmallerReference) {
  // The reference grows by a generation; the earlier effects start the solve.
  const sample s = make_sample(900, 400, 12);
  const qm::packed_genotypes before = qm::pack_genotypes(s.x.data(), 700, s.m);
  const qm::packed_genotypes after = qm::pack_genotypes(s.x.data(), s.n, s.m);
  const qm::snp_blup_solution prev = qm::snp_blup(before, std::span<const double>(s.y.data(), 700), 0.3, {}, {});
  std::vector<double> start(1 + static_cast<size_t>(s.m));
  start[0] = prev.mu;
  std::copy(prev.effects.begin(), prev.effects.end(), start.begin() + 1);
  const qm::snp_blup_solution cold = qm::snp_blup(after, s.y, 0.3, {}, {});
  const qm::snp_blup_solution warm = qm::snp_blup(after, s.y, 0.3, start, {});
  EXPECT_TRUE(cold.stats.converged);
  EXPECT_TRUE(warm.stats.converged);
  EXPECT_LT(warm.stats.iterations, cold.stats.iterations);
  EXPECT_NEAR(warm.mu, cold.mu, 1e-8);
  for (int64_t j = 0; j < s.m; ++j) ASSERT_NEAR(warm.effects[static_cast<size_t>(j)], cold.effects[static_cast<size_t>(j)], 1e-8);
}

// A reference large enough that the solve's copies of the genotypes are cut
// into parts of more than 256 rows (by animal and by marker, the last part
// short): the solution is, bit for bit, that of the same conjugate gradients
// made with the plain products z_times and zt_times of the packed rows.
TEST(GenomicTest, SolveInLargePartsMatchesPlainProducts) {
  const sample s = make_sample(2600, 2300, 31);
  const qm::packed_genotypes g = qm::pack_genotypes(s.x.data(), s.n, s.m);
  const std::vector<double> c = qm::centre_2p(g);
  const double lambda = qm::snp_lambda(0.3, c);
  const size_t n = static_cast<size_t>(s.n), m = static_cast<size_t>(s.m);

  // The equations of snp_blup_solve, written with the public products.
  std::vector<double> diag(1 + m), rhs(1 + m), t(n);
  diag[0] = static_cast<double>(s.n);
  for (size_t j = 0; j < m; ++j) {
    double k[3] = {0.0, 0.0, 0.0};
    for (size_t i = 0; i < n; ++i) k[s.x[i * m + j]] += 1.0;
    const double cj = c[j];
    diag[1 + j] = ((k[0] * (cj * cj) + k[1] * ((1.0 - cj) * (1.0 - cj))) + k[2] * ((2.0 - cj) * (2.0 - cj))) + lambda;
  }
  rhs[0] = 0.0;
  for (const double v : s.y) rhs[0] += v;
  qm::zt_times(g, c, s.y, std::span<double>(rhs).subspan(1), 1);
  const auto apply = [&](const double* v, double* q) {
    qm::z_times(g, c, std::span<const double>(v + 1, m), t, 1);
    for (double& x : t) x = v[0] + x;
    qm::zt_times(g, c, t, std::span<double>(q + 1, m), 1);
    q[0] = 0.0;
    for (const double x : t) q[0] += x;
    for (size_t j = 0; j < m; ++j) q[1 + j] += lambda * v[1 + j];
  };
  std::vector<double> want(1 + m, 0.0);
  const qm::pcg_result plain = qm::pcg_solve(apply, diag, rhs, want, qm::pcg_options{});
  ASSERT_TRUE(plain.converged);

  for (const int th : {1, 2}) {
    qm::pcg_options opt;
    opt.threads = th;
    const qm::snp_blup_solution r = qm::snp_blup_solve(g, s.y, c, lambda, {}, opt);
    EXPECT_EQ(r.stats.iterations, plain.iterations) << th << " threads";
    EXPECT_EQ(r.mu, want[0]) << th << " threads";
    EXPECT_TRUE(std::equal(r.effects.begin(), r.effects.end(), want.begin() + 1)) << th << " threads";
  }
}
