// Optimum contribution selection and whole matings from contributions,
// against enumeration with dense solves, closed forms and hand counts.
#include "values/optimum_contributions.hpp"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

#include "base/messages.hpp"

namespace {

// A small portable stream: uniforms and normals from mt19937_64's raw bits.
struct stream {
  std::mt19937_64 g;
  explicit stream(uint64_t seed) : g(seed) {}
  double uniform() { return static_cast<double>(g() >> 11) * 0x1.0p-53; }
  int below(int k) { return static_cast<int>(g() % static_cast<uint64_t>(k)); }
  double normal() {
    const double u1 = 1.0 - uniform(), u2 = uniform();
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
  }
};

using matrix = Eigen::MatrixXd;
using vec = Eigen::VectorXd;

// The additive relationships (tabular method) of the last n animals of a
// pedigree: 6 founders, then generations of 6 from random parents of the
// generation before (sire from its first half, dam from its second).
std::vector<double> pedigree_relationship(int n, stream& s) {
  const int per = 6, gens = 1 + (n + per - 1) / per + 1;
  const int total = per * gens;
  std::vector<int> sire(total, -1), dam(total, -1);
  for (int i = per; i < total; ++i) {
    const int base = (i / per - 1) * per;
    sire[i] = base + s.below(per / 2);
    dam[i] = base + per / 2 + s.below(per / 2);
  }
  matrix A = matrix::Zero(total, total);
  for (int i = 0; i < total; ++i) {
    for (int j = 0; j < i; ++j) {
      double v = 0;
      if (sire[i] >= 0) v += 0.5 * A(j, sire[i]);
      if (dam[i] >= 0) v += 0.5 * A(j, dam[i]);
      A(i, j) = A(j, i) = v;
    }
    A(i, i) = 1.0 + (sire[i] >= 0 ? 0.5 * A(sire[i], dam[i]) : 0.0);
  }
  std::vector<double> out(static_cast<size_t>(n) * n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) out[static_cast<size_t>(i) * n + j] = A(total - n + i, total - n + j);
  return out;
}

// L L' + d I with L random normal (n x k), scaled to a diagonal near 1.
std::vector<double> factor_relationship(int n, int k, double d, stream& s) {
  matrix L(n, k);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < k; ++j) L(i, j) = s.normal() / std::sqrt(static_cast<double>(k));
  const matrix A = L * L.transpose() + d * matrix::Identity(n, n);
  std::vector<double> out(static_cast<size_t>(n) * n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) out[static_cast<size_t>(i) * n + j] = A(i, j);
  return out;
}

matrix as_matrix(const std::vector<double>& A, int n) {
  matrix M(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) M(i, j) = A[static_cast<size_t>(i) * n + j];
  return M;
}

double half_quadratic(const std::vector<double>& A, const std::vector<double>& c) {
  const int n = static_cast<int>(c.size());
  double q = 0;
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) q += c[i] * A[static_cast<size_t>(i) * n + j] * c[j];
  return q / 2;
}

// The best of every assignment of the candidates to 0, free or the bound:
// on the free ones, c = c0 + N z (c0 meets the sex sums, the columns of N
// span the directions that keep them), and the best z on the ellipsoid
// z'Hz + 2q'z + k <= 0 is its centre plus the step along H^-1 w that reaches
// the surface (w = N'x). Also the least coancestry over the assignments.
struct enumeration {
  bool found = false;
  double best = -1e300;
  std::vector<double> c;
  double least_coancestry = 1e300;
  std::vector<double> least_c;
};

enumeration enumerate(const std::vector<double>& x, const std::vector<double>& Av, const std::vector<int8_t>& male,
                      const std::vector<double>& u, double C) {
  const int n = static_cast<int>(x.size());
  const matrix A = as_matrix(Av, n);
  enumeration e;
  int codes = 1;
  for (int i = 0; i < n; ++i) codes *= 3;
  std::vector<int> st(n);
  for (int code = 0; code < codes; ++code) {
    int r = code;
    for (int i = 0; i < n; ++i) st[i] = r % 3, r /= 3;
    std::vector<int> F;
    double usum[2] = {0, 0};
    int nfree[2] = {0, 0};
    for (int i = 0; i < n; ++i) {
      if (st[i] == 1) F.push_back(i), ++nfree[male[i]];
      if (st[i] == 2) usum[male[i]] += u[i];
    }
    bool ok = true;
    for (int s = 0; s < 2; ++s) {
      if (usum[s] > 0.5 + 1e-12) ok = false;
      if (nfree[s] == 0 && std::abs(usum[s] - 0.5) > 1e-12) ok = false;
    }
    if (!ok) continue;
    const int f = static_cast<int>(F.size());
    vec cfix = vec::Zero(n);
    for (int i = 0; i < n; ++i)
      if (st[i] == 2) cfix[i] = u[i];
    vec c0 = vec::Zero(f), xf(f), r0(f);
    for (int k = 0; k < f; ++k) {
      const int s = male[F[k]];
      c0[k] = (0.5 - usum[s]) / nfree[s];
      xf[k] = x[F[k]];
      r0[k] = A.row(F[k]).dot(cfix);
    }
    matrix AF(f, f);
    for (int a = 0; a < f; ++a)
      for (int b = 0; b < f; ++b) AF(a, b) = A(F[a], F[b]);
    // null-space basis: e_k - e_first within each sex
    std::vector<int> first(2, -1);
    std::vector<std::pair<int, int>> cols;
    for (int k = 0; k < f; ++k) {
      const int s = male[F[k]];
      if (first[s] < 0)
        first[s] = k;
      else
        cols.emplace_back(k, first[s]);
    }
    matrix N = matrix::Zero(f, static_cast<int>(cols.size()));
    for (size_t j = 0; j < cols.size(); ++j) N(cols[j].first, j) = 1, N(cols[j].second, j) = -1;
    const double k0 = c0.dot(AF * c0) + 2 * c0.dot(r0) + cfix.dot(A * cfix) - 2 * C;
    vec cf = c0, cmin = c0;
    bool reachable = true;
    double kcentre = k0 + 2 * C;  // twice the least coancestry of the assignment
    if (N.cols() > 0) {
      const matrix H = N.transpose() * AF * N;
      const vec q = N.transpose() * (AF * c0 + r0);
      const Eigen::LDLT<matrix> ldlt(H);
      const vec z0 = -ldlt.solve(q);
      const double rho = q.dot(-z0) - k0;
      kcentre = k0 + 2 * C - q.dot(-z0);
      cmin = c0 + N * z0;
      const vec w = N.transpose() * xf;
      const vec Hw = ldlt.solve(w);
      const double wHw = w.dot(Hw);
      if (rho >= -1e-13) {
        vec z = z0;
        if (wHw > 1e-300) z += std::sqrt(std::max(rho, 0.0) / wHw) * Hw;
        cf = c0 + N * z;
      } else {
        reachable = false;
      }
    } else if (k0 > 1e-13) {
      reachable = false;
    }
    const auto in_range = [&](const vec& v) {
      for (int k = 0; k < f; ++k)
        if (v[k] < -1e-11 || v[k] > u[F[k]] + 1e-11) return false;
      return true;
    };
    const auto full = [&](const vec& v) {
      std::vector<double> c(n);
      for (int i = 0; i < n; ++i) c[i] = cfix[i];
      for (int k = 0; k < f; ++k) c[F[k]] = v[k];
      return c;
    };
    if (in_range(cmin) && kcentre / 2 < e.least_coancestry) {
      e.least_coancestry = kcentre / 2;
      e.least_c = full(cmin);
    }
    if (reachable && in_range(cf)) {
      const std::vector<double> c = full(cf);
      double v = 0;
      for (int i = 0; i < n; ++i) v += c[i] * x[i];
      if (v > e.best) e.best = v, e.c = c, e.found = true;
    }
  }
  return e;
}

struct case_data {
  std::vector<double> x, A, u;
  std::vector<int8_t> male;
  double C = 0;
  qm::contribution_problem problem(bool bracketed = false) const { return {x, A, male, u, C, bracketed}; }
};

void expect_meets_constraints(const case_data& d, const qm::contribution_result& r, double slack = 1e-12) {
  const int n = static_cast<int>(d.x.size());
  ASSERT_EQ(r.c.size(), static_cast<size_t>(n));
  double sum[2] = {0, 0};
  for (int i = 0; i < n; ++i) {
    EXPECT_GE(r.c[i], 0.0);
    if (!d.u.empty()) {
      EXPECT_LE(r.c[i], d.u[i] + 1e-15);
    }
    sum[d.male[i]] += r.c[i];
  }
  EXPECT_NEAR(sum[0], 0.5, 1e-12);
  EXPECT_NEAR(sum[1], 0.5, 1e-12);
  EXPECT_NEAR(r.coancestry, half_quadratic(d.A, r.c), 1e-13);
  if (r.feasible) {
    EXPECT_LE(r.coancestry, d.C + slack);
  }
  double v = 0;
  for (int i = 0; i < n; ++i) v += r.c[i] * d.x[i];
  EXPECT_NEAR(r.value, v, 1e-13);
}

// Equal contributions within each sex: 1/(2 n_s) each.
double equal_coancestry(const case_data& d) {
  const int n = static_cast<int>(d.x.size());
  int count[2] = {0, 0};
  for (int8_t s : d.male) ++count[s];
  std::vector<double> c(n);
  for (int i = 0; i < n; ++i) c[i] = 0.5 / count[d.male[i]];
  return half_quadratic(d.A, c);
}

// The best of each sex up to its bound, by a plain scan for the largest
// value left (ties: lower index).
std::vector<double> truncation(const case_data& d) {
  const int n = static_cast<int>(d.x.size());
  std::vector<double> c(n, 0.0);
  for (int s = 0; s < 2; ++s) {
    double left = 0.5;
    std::vector<bool> used(n, false);
    while (left > 1e-15) {
      int best = -1;
      for (int i = 0; i < n; ++i)
        if (d.male[i] == s && !used[i] && (best < 0 || d.x[i] > d.x[best])) best = i;
      used[best] = true;
      const double ub = d.u.empty() ? 0.5 : std::min(0.5, d.u[best]);
      c[best] = std::min(ub, left);
      left -= c[best];
    }
  }
  return c;
}

case_data random_case(int n, int kind, bool bounds, double where, stream& s) {
  case_data d;
  d.A = kind == 0 ? pedigree_relationship(n, s) : factor_relationship(n, 3, 0.3 + s.uniform(), s);
  for (int i = 0; i < n; ++i) {
    d.x.push_back(s.normal());
    d.male.push_back(static_cast<int8_t>(i % 2 == 0 ? 1 : 0));
  }
  if (s.below(3) == 0) std::swap(d.male[0], d.male[1]);
  if (bounds) {
    int count[2] = {0, 0};
    for (int8_t m : d.male) ++count[m];
    for (int i = 0; i < n; ++i) {
      const double lo = 0.5 / count[d.male[i]];
      d.u.push_back(lo + (0.3 - lo) * s.uniform() + 0.02);
    }
  }
  const double keq = equal_coancestry(d);
  const double klp = half_quadratic(d.A, truncation(d));
  d.C = keq + where * (klp - keq);
  return d;
}

}  // namespace

// Every assignment enumerated: the solver's gain equals the best one (pedigree
// and factor relationship matrices, with and without bounds, limits from just
// above the equal-contribution coancestry to near the truncation answer).
TEST(OptimumContributions, MatchesEnumerationOfEveryActiveSet) {
  stream s(20261209);
  const double wheres[] = {-0.02, 0.05, 0.2, 0.5, 0.9};
  int cases = 0, binding = 0, at_bound = 0, infeasible = 0;
  for (int rep = 0; rep < 12; ++rep)
    for (double where : wheres) {
      const int n = rep < 10 ? 8 : 10;
      const case_data d = random_case(n, rep % 2, rep % 4 >= 2, where, s);
      const enumeration e = enumerate(d.x, d.A, d.male, d.u.empty() ? std::vector<double>(n, 0.5) : d.u, d.C);
      for (bool bracketed : {false, true}) {
        const qm::contribution_result r = qm::optimum_contributions(d.problem(bracketed));
        SCOPED_TRACE("rep " + std::to_string(rep) + " where " + std::to_string(where) +
                     (bracketed ? " bracketed" : ""));
        if (e.found) {
          EXPECT_TRUE(r.feasible);
          EXPECT_NEAR(r.value, e.best, 1e-9);
        } else {  // the limit is below the least coancestry
          EXPECT_FALSE(r.feasible);
          EXPECT_NEAR(r.coancestry, e.least_coancestry, 1e-12);
          ++infeasible;
        }
        expect_meets_constraints(d, r);
        ++cases;
        binding += r.binding;
        for (int i = 0; i < n; ++i)
          if (!d.u.empty() && r.c[i] == d.u[i]) ++at_bound;
      }
    }
  EXPECT_EQ(cases, 120);
  EXPECT_GT(binding, 80);   // most limits bind
  EXPECT_GT(at_bound, 10);  // and the bounds are reached in some
  EXPECT_LT(infeasible, 24);
}

// Many small cases: now and then the rounds of the Lagrangian method cycle
// (bounds and the limit change several candidates at once) and the search
// goes on by the bracketed programme; every answer is still the best of
// the enumeration.
TEST(OptimumContributions, CyclingRoundsStillReachTheOptimum) {
  stream s(2);
  const double wheres[] = {-0.02, 0.05, 0.2, 0.5, 0.9};
  int fell_back = 0;
  for (int rep = 0; rep < 40; ++rep)
    for (double where : wheres) {
      const int n = 5 + rep % 5;
      const case_data d = random_case(n, rep % 2, rep % 4 >= 2, where, s);
      const enumeration e = enumerate(d.x, d.A, d.male, d.u.empty() ? std::vector<double>(n, 0.5) : d.u, d.C);
      const qm::contribution_result r = qm::optimum_contributions(d.problem());
      SCOPED_TRACE("rep " + std::to_string(rep) + " where " + std::to_string(where));
      EXPECT_EQ(r.feasible, e.found);
      if (e.found) {
        EXPECT_NEAR(r.value, e.best, 1e-9);
      } else {
        EXPECT_NEAR(r.coancestry, e.least_coancestry, 1e-12);
      }
      expect_meets_constraints(d, r);
      fell_back += r.bracketed;
    }
  EXPECT_GE(fell_back, 1);
}

// A limit above the coancestry of the truncation answer: the best of each sex
// up to its bound, constraint not binding.
TEST(OptimumContributions, LargeLimitGivesTheLinearAnswer) {
  stream s(7);
  for (int rep = 0; rep < 4; ++rep) {
    case_data d = random_case(12, rep % 2, rep >= 2, 0.0, s);
    const std::vector<double> t = truncation(d);
    d.C = half_quadratic(d.A, t) * 1.0001;
    const qm::contribution_result r = qm::optimum_contributions(d.problem());
    EXPECT_FALSE(r.binding);
    EXPECT_TRUE(r.feasible);
    EXPECT_EQ(r.rounds, 0);
    for (size_t i = 0; i < t.size(); ++i) EXPECT_NEAR(r.c[i], t[i], 1e-15);
    expect_meets_constraints(d, r);
  }
  // no bounds: one male and one female, each 1/2
  case_data d = random_case(12, 0, false, 0.0, s);
  d.C = 10;
  const qm::contribution_result r = qm::optimum_contributions(d.problem());
  EXPECT_EQ(std::count(r.c.begin(), r.c.end(), 0.5), 2);
}

// A limit below the least reachable coancestry: not feasible, and c is the
// least-coancestry answer. Without bounds and with all contributions
// positive it is A^-1 M (M'A^-1 M)^-1 (1/2, 1/2)' (dense solve); with
// bounds, the least coancestry over every enumerated assignment.
TEST(OptimumContributions, TinyLimitGivesTheLeastCoancestry) {
  stream s(99);
  for (int rep = 0; rep < 3; ++rep) {
    case_data d = random_case(9, 1, false, 0.0, s);
    d.C = 1e-4;
    const int n = 9;
    const matrix A = as_matrix(d.A, n);
    matrix M = matrix::Zero(n, 2);
    for (int i = 0; i < n; ++i) M(i, d.male[i]) = 1;
    const matrix AiM = A.ldlt().solve(M);
    const vec c = AiM * (M.transpose() * AiM).ldlt().solve(vec::Constant(2, 0.5));
    ASSERT_GT(c.minCoeff(), 0.0);  // the formula holds when every candidate contributes
    const qm::contribution_result r = qm::optimum_contributions(d.problem());
    EXPECT_FALSE(r.feasible);
    EXPECT_FALSE(r.binding);
    for (int i = 0; i < n; ++i) EXPECT_NEAR(r.c[i], c[i], 1e-12);
    EXPECT_NEAR(r.coancestry, c.dot(A * c) / 2, 1e-13);
    expect_meets_constraints(d, r);
  }
  for (int rep = 0; rep < 3; ++rep) {
    case_data d = random_case(8, rep % 2, true, 0.0, s);
    d.C = 1e-4;
    const qm::contribution_result r = qm::optimum_contributions(d.problem());
    const enumeration e = enumerate(d.x, d.A, d.male, d.u, d.C);
    EXPECT_FALSE(e.found);
    EXPECT_FALSE(r.feasible);
    EXPECT_NEAR(r.coancestry, e.least_coancestry, 1e-12);
    for (int i = 0; i < 8; ++i) EXPECT_NEAR(r.c[i], e.least_c[i], 1e-9);
    expect_meets_constraints(d, r);
  }
}

// Unrelated candidates (A = I), no bounds. The conditions x_i - lambda c_i -
// mu_s = 0 on the selected give c_i = (x_i - mu_s)/lambda for the k_s best of
// sex s and 0 for the rest. With xbar_s and SS_s the mean and the sum of
// squares about it of the k_s best, the sex sum gives mu_s = xbar_s -
// lambda/(2 k_s), and sum c^2 = 2C gives
//   lambda^2 = sum_s SS_s / (2C - sum_s 1/(4 k_s)).
// The right (k_m, k_f) is the one where every selected x exceeds mu_s and
// no other does.
TEST(OptimumContributions, UnrelatedCandidatesFollowTheClosedForm) {
  stream s(3);
  const int n = 14;
  for (int rep = 0; rep < 5; ++rep) {
    case_data d;
    d.A.assign(n * n, 0.0);
    for (int i = 0; i < n; ++i) {
      d.A[i * n + i] = 1;
      d.x.push_back(s.normal());
      d.male.push_back(static_cast<int8_t>(i < 6 ? 1 : 0));
    }
    d.C = 0.5 * (1.0 / 6 + 1.0 / 8) / 4 * (1.2 + 1.2 * rep);  // between equal shares (x1) and truncation (x6.9)
    std::vector<int> sorted[2];
    for (int i = 0; i < n; ++i) sorted[d.male[i]].push_back(i);
    for (auto& v : sorted) std::sort(v.begin(), v.end(), [&](int a, int b) { return d.x[a] > d.x[b]; });
    std::vector<double> expect;
    int found = 0;
    for (int km = 1; km <= 6; ++km)
      for (int kf = 1; kf <= 8; ++kf) {
        const int k[2] = {kf, km};
        double ss = 0, mean[2], room = 2 * d.C;
        for (int sx = 0; sx < 2; ++sx) {
          double m = 0;
          for (int j = 0; j < k[sx]; ++j) m += d.x[sorted[sx][j]];
          mean[sx] = m / k[sx];
          for (int j = 0; j < k[sx]; ++j) ss += std::pow(d.x[sorted[sx][j]] - mean[sx], 2);
          room -= 1.0 / (4 * k[sx]);
        }
        if (room <= 0) continue;
        const double lambda = std::sqrt(ss / room);
        bool ok = true;
        std::vector<double> c(n, 0.0);
        for (int sx = 0; sx < 2; ++sx) {
          const double mu = mean[sx] - lambda / (2 * k[sx]);
          for (int j = 0; j < static_cast<int>(sorted[sx].size()); ++j) {
            const double xi = d.x[sorted[sx][j]];
            if (j < k[sx] ? xi <= mu : xi > mu) ok = false;
            if (j < k[sx]) c[sorted[sx][j]] = (xi - mu) / lambda;
          }
        }
        if (ok) expect = c, ++found;
      }
    ASSERT_EQ(found, 1);
    const qm::contribution_result r = qm::optimum_contributions(d.problem());
    EXPECT_TRUE(r.binding);
    for (int i = 0; i < n; ++i) EXPECT_NEAR(r.c[i], expect[i], 1e-12);
    EXPECT_NEAR(r.coancestry, d.C, 1e-14);
  }
  // textbook: two males and two females of equal merit share equally, and
  // c'c/2 = 4 (1/4)^2 / 2 = 1/8 is the least coancestry
  case_data d;
  d.A = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  d.x = {1, 1, 2, 2};
  d.male = {1, 1, 0, 0};
  d.C = 0.125;
  const qm::contribution_result r = qm::optimum_contributions(d.problem());
  for (double c : r.c) EXPECT_NEAR(c, 0.25, 1e-15);
  EXPECT_TRUE(r.feasible);
  d.C = 0.12;
  EXPECT_FALSE(qm::optimum_contributions(d.problem()).feasible);
}

// Tied values, unrelated candidates: the best value, 0.5 * 1 + 0.5 * 2 =
// 1.5, is reached by any split within each sex; equal shares of 1/6
// have c'c/2 = 6/36/2 = 1/12, within a limit of 0.1, so the limit does not
// bind although the truncation answer (1/4) is above it.
TEST(OptimumContributions, TiesLeaveTheLimitSlack) {
  case_data d;
  const int n = 6;
  d.A.assign(n * n, 0.0);
  for (int i = 0; i < n; ++i) d.A[i * n + i] = 1;
  d.x = {1, 1, 1, 2, 2, 2};
  d.male = {1, 1, 1, 0, 0, 0};
  d.C = 0.1;
  for (bool bracketed : {false, true}) {
    const qm::contribution_result r = qm::optimum_contributions(d.problem(bracketed));
    EXPECT_FALSE(r.binding);
    EXPECT_TRUE(r.feasible);
    EXPECT_NEAR(r.value, 1.5, 1e-14);
    expect_meets_constraints(d, r);
  }
}

// A singular genomic-like matrix (rank 4 for 8 candidates): a ridge makes it
// solvable; the answer is the optimum for A + ridge I, and meets the limit
// with A itself.
TEST(OptimumContributions, SingularMatrixGetsARidge) {
  stream s(11);
  case_data d = random_case(8, 1, false, 0.3, s);
  d.A = factor_relationship(8, 4, 0.0, s);
  const double keq = equal_coancestry(d), klp = half_quadratic(d.A, truncation(d));
  d.C = keq + 0.3 * (klp - keq);
  double mean_diag = 0;
  for (int i = 0; i < 8; ++i) mean_diag += d.A[i * 9] / 8;
  for (bool bracketed : {false, true}) {
    const qm::contribution_result r = qm::optimum_contributions(d.problem(bracketed));
    EXPECT_GT(r.ridge, 0.0);
    EXPECT_LE(r.ridge, 1e-4 * mean_diag * 1.0001);
    expect_meets_constraints(d, r);
    std::vector<double> ridged = d.A;
    for (int i = 0; i < 8; ++i) ridged[i * 9] += r.ridge;
    const enumeration e = enumerate(d.x, ridged, d.male, std::vector<double>(8, 0.5), d.C);
    ASSERT_TRUE(e.found);
    EXPECT_NEAR(r.value, e.best, 1e-6);
  }
}

// The same input gives the same bits; the order of the search is fixed.
TEST(OptimumContributions, SameBitsEveryTime) {
  stream s(5);
  const case_data d = random_case(60, 0, true, 0.2, s);
  const qm::contribution_result a = qm::optimum_contributions(d.problem());
  const qm::contribution_result b = qm::optimum_contributions(d.problem());
  ASSERT_EQ(a.c.size(), b.c.size());
  EXPECT_EQ(std::memcmp(a.c.data(), b.c.data(), a.c.size() * sizeof(double)), 0);
  EXPECT_EQ(a.rounds, b.rounds);
  expect_meets_constraints(d, a);
}

TEST(OptimumContributions, InputThatDoesNotFitStops) {
  case_data d;
  d.A = {1, 0, 0, 1};
  d.x = {1, 2};
  d.male = {1, 0};
  d.C = 0.2;
  EXPECT_NO_THROW(qm::optimum_contributions(d.problem()));
  const auto stops = [](case_data e) {
    EXPECT_THROW(qm::optimum_contributions(e.problem()), qm::run_stop);
  };
  case_data e = d;
  e.A = {1, 0, 0};
  stops(e);  // A of the wrong size
  e = d;
  e.male = {1, 1};
  stops(e);  // no female
  e = d;
  e.x = {1, std::nan("")};
  stops(e);
  e = d;
  e.A = {1, 0.1, 0.2, 1};
  stops(e);  // not symmetric
  e = d;
  e.u = {0.4, 0.5};
  stops(e);  // the male bound cannot reach 1/2
  e = d;
  e.C = -1;
  stops(e);
  e = d;
  e.u = {0.5};
  stops(e);  // bounds of the wrong size
}

namespace {

// Matings one at a time to the animal whose share exceeds what it has most
// (ties: lower index), never above the cap, only to animals with a share:
// floors first (a claim of 1 or more beats any remainder), then the largest
// remainders, as the rule asks.
std::vector<int32_t> one_at_a_time(const std::vector<double>& c, const std::vector<int8_t>& male, int m, int cm,
                                   int cf) {
  std::vector<int32_t> out(c.size(), 0);
  for (int s = 0; s < 2; ++s) {
    const int cap = s ? cm : cf;
    for (int k = 0; k < m; ++k) {
      int best = -1;
      double claim = 0;
      for (size_t i = 0; i < c.size(); ++i) {
        if (male[i] != s || c[i] <= 0 || (cap > 0 && out[i] >= cap)) continue;
        const double ci = c[i] * 2 * m - out[i];
        if (best < 0 || ci > claim) best = static_cast<int>(i), claim = ci;
      }
      ++out[best];
    }
  }
  return out;
}

}  // namespace

// Hand counts: shares 3.5, 1.75, 1.75 of 7 give floors 3, 1, 1 and the two
// remainders .75 one each; a cap of 3 on shares 4, 2, 2 of 8 leaves one
// mating to the tie of remainders 0 and 0, which goes to the lower index.
TEST(WholeMatings, FloorsThenLargestRemainders) {
  const std::vector<int8_t> male = {1, 1, 1, 0, 0};
  const std::vector<double> c = {0.25, 0.125, 0.125, 0.3, 0.2};
  EXPECT_EQ(qm::whole_matings(c, male, 7, 0, 0), (std::vector<int32_t>{3, 2, 2, 4, 3}));
  // female shares 4.2, 2.8: floors 4, 2, remainders .2, .8 -> 4, 3
  EXPECT_EQ(qm::whole_matings(c, male, 8, 3, 0), (std::vector<int32_t>{3, 3, 2, 5, 3}));
  // a cap of 2 on the males leaves room for 6 of 7 only
  EXPECT_THROW(qm::whole_matings(c, male, 7, 2, 0), qm::run_stop);
  // a male with no contribution takes none, also under a cap
  const std::vector<double> c2 = {0.5, 0.0, 0.0, 0.25, 0.25};
  EXPECT_THROW(qm::whole_matings(c2, male, 5, 4, 0), qm::run_stop);
  EXPECT_EQ(qm::whole_matings(c2, male, 4, 4, 0), (std::vector<int32_t>{4, 0, 0, 2, 2}));
  // contributions that do not make 1/2 per sex
  EXPECT_THROW(qm::whole_matings(std::vector<double>{0.5, 0.1, 0, 0.25, 0.25}, male, 4, 0, 0), qm::run_stop);
  EXPECT_TRUE(qm::whole_matings(c, male, 0, 0, 0) == std::vector<int32_t>(5, 0));
}

// Random contributions, with and without caps: the totals per sex, the caps,
// and the same numbers as handing the matings out one at a time.
TEST(WholeMatings, AgreeWithOneAtATime) {
  stream s(17);
  for (int rep = 0; rep < 200; ++rep) {
    const int n = 3 + s.below(20);
    std::vector<int8_t> male(n);
    std::vector<double> c(n, 0.0);
    for (int i = 0; i < n; ++i) male[i] = static_cast<int8_t>(i % 2);
    for (int sx = 0; sx < 2; ++sx) {
      double sum = 0;
      for (int i = 0; i < n; ++i)
        if (male[i] == sx && s.below(3) > 0) c[i] = s.uniform() + 0.01, sum += c[i];
      if (sum == 0) c[sx] = 1, sum = 1;
      for (int i = 0; i < n; ++i)
        if (male[i] == sx) c[i] *= 0.5 / sum;
    }
    const int m = 1 + s.below(60);
    int selected[2] = {0, 0};
    for (int i = 0; i < n; ++i) selected[male[i]] += c[i] > 0;
    const int cm = rep % 3 == 0 ? 0 : (m + selected[1] - 1) / selected[1] + s.below(3);
    const int cf = rep % 2 == 0 ? 0 : (m + selected[0] - 1) / selected[0] + s.below(3);
    const std::vector<int32_t> got = qm::whole_matings(c, male, m, cm, cf);
    EXPECT_EQ(got, one_at_a_time(c, male, m, cm, cf));
    int total[2] = {0, 0};
    for (int i = 0; i < n; ++i) {
      total[male[i]] += got[i];
      if (c[i] == 0) {
        EXPECT_EQ(got[i], 0);
      }
      const int cap = male[i] ? cm : cf;
      if (cap > 0) {
        EXPECT_LE(got[i], cap);
      }
    }
    EXPECT_EQ(total[0], m);
    EXPECT_EQ(total[1], m);
  }
}

// Twelve candidates, the most the enumeration of every active set covers
// here (3^12 assignments): a pedigree and a factor relationship matrix,
// one with bounds, limits in the middle of their range.
TEST(OptimumContributions, MatchesEnumerationWithTwelveCandidates) {
  stream s(12);
  for (int kind : {0, 1}) {
    const case_data d = random_case(12, kind, kind == 1, 0.3, s);
    const enumeration e = enumerate(d.x, d.A, d.male, d.u.empty() ? std::vector<double>(12, 0.5) : d.u, d.C);
    ASSERT_TRUE(e.found);
    const qm::contribution_result r = qm::optimum_contributions(d.problem());
    SCOPED_TRACE("kind " + std::to_string(kind));
    EXPECT_TRUE(r.feasible);
    EXPECT_NEAR(r.value, e.best, 1e-9);
    expect_meets_constraints(d, r);
  }
}
