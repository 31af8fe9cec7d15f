#include "values/optimum_contributions.hpp"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <queue>
#include <set>
#include <string>

#include "base/messages.hpp"

namespace qm {

namespace {

constexpr double half = 0.5;

enum : int8_t { at_zero = 0, is_free = 1, at_upper = 2 };

void check_problem(const contribution_problem& p) {
  const size_t n = p.value.size();
  if (n == 0) stop("Optimum contributions: there are no candidates; give at least one male and one female.");
  if (p.relationship.size() != n * n)
    stop("Optimum contributions: the relationship matrix has " + std::to_string(p.relationship.size()) +
         " entries for " + std::to_string(n) + " candidates; give n*n of them (row by row).");
  if (p.male.size() != n)
    stop("Optimum contributions: " + std::to_string(p.male.size()) + " sexes for " + std::to_string(n) +
         " candidates; give one (1 male, 0 female) for each.");
  if (!p.upper.empty() && p.upper.size() != n)
    stop("Optimum contributions: " + std::to_string(p.upper.size()) + " upper bounds for " + std::to_string(n) +
         " candidates; give one for each or none.");
  if (!std::isfinite(p.coancestry_limit) || p.coancestry_limit < 0)
    stop("Optimum contributions: the coancestry limit must be a finite number >= 0.");
  double usum[2] = {0, 0};
  int count[2] = {0, 0};
  for (size_t i = 0; i < n; ++i) {
    const int8_t s = p.male[i];
    if (s != 0 && s != 1)
      stop("Optimum contributions: the sex of candidate " + std::to_string(i + 1) + " is " + std::to_string(s) +
           "; give 1 for a male and 0 for a female.");
    if (!std::isfinite(p.value[i]))
      stop("Optimum contributions: the value of candidate " + std::to_string(i + 1) +
           " is not a finite number; give every candidate a value.");
    const double u = p.upper.empty() ? half : p.upper[i];
    if (!(u >= 0) || std::isnan(u))
      stop("Optimum contributions: the upper bound of candidate " + std::to_string(i + 1) +
           " must be a number >= 0.");
    ++count[s];
    usum[s] += std::min(u, half);
  }
  if (count[0] == 0 || count[1] == 0)
    stop("Optimum contributions: the candidates need at least one male and one female.");
  for (int s = 0; s < 2; ++s)
    if (usum[s] < half * (1 - 1e-12))
      stop(std::string("Optimum contributions: the upper bounds of the ") + (s ? "males" : "females") +
           " add up to less than 1/2; raise them or add candidates of that sex.");
  for (size_t i = 0; i < n; ++i) {
    const double d = p.relationship[i * n + i];
    if (!std::isfinite(d) || d <= 0)
      stop("Optimum contributions: the relationship of candidate " + std::to_string(i + 1) +
           " with itself must be a finite number > 0.");
    for (size_t j = 0; j < i; ++j) {
      const double a = p.relationship[i * n + j], b = p.relationship[j * n + i];
      if (!std::isfinite(a) || !std::isfinite(b))
        stop("Optimum contributions: the relationship matrix has an entry that is not a finite number (row " +
             std::to_string(i + 1) + ").");
      if (std::abs(a - b) > 1e-12 * (std::abs(a) + std::abs(b)) + 1e-300)
        stop("Optimum contributions: the relationship matrix is not symmetric (candidates " + std::to_string(j + 1) +
             " and " + std::to_string(i + 1) + "); give a symmetric matrix.");
    }
  }
}

// The answer without the coancestry limit: in each sex the best candidates,
// in the order of their values (ties to the lower index), each up to its
// bound, until the sex has 1/2.
std::vector<double> linear_answer(const contribution_problem& p, std::span<const double> u) {
  const size_t n = p.value.size();
  std::vector<double> c(n, 0.0);
  std::vector<int> order(n);
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return p.value[a] > p.value[b]; });
  double left[2] = {half, half};
  for (int i : order) {
    const int s = p.male[i];
    if (left[s] <= 0) continue;
    c[i] = std::min(u[i], left[s]);
    left[s] -= c[i];
    if (left[s] < 1e-15) left[s] = 0;
  }
  return c;
}

double quadratic(std::span<const double> A, const std::vector<double>& c) {
  const size_t n = c.size();
  double q = 0;
  for (size_t i = 0; i < n; ++i) {
    if (c[i] == 0) continue;
    double r = 0;
    for (size_t j = 0; j < n; ++j)
      if (c[j] != 0) r += A[i * n + j] * c[j];
    q += c[i] * r;
  }
  return q;
}

// One solve on a free set F (the others at 0 or, in U, at their bound):
// c_F = t g + h, and the t that puts the coancestry on the limit.
struct free_solve {
  bool factorised = false;
  bool slack = false;       // the objective is flat on the free set and the limit is not reached
  bool infeasible = false;  // the least coancestry of this set is above the limit (t = 0)
  double t = 0;             // the root (0 when infeasible; unused when slack)
  Eigen::VectorXd g, h;     // in the order of F
};

// Which of the candidates are free, at 0 and at their bound.
struct active_set {
  std::vector<int8_t> status;
  std::vector<int> F, U;
  void lists() {
    F.clear();
    U.clear();
    for (int i = 0; i < static_cast<int>(status.size()); ++i) {
      if (status[i] == is_free) F.push_back(i);
      if (status[i] == at_upper) U.push_back(i);
    }
  }
};

class searcher {
 public:
  searcher(const contribution_problem& p, std::span<const double> u)
      : p_(p), u_(u), n_(static_cast<int>(p.value.size())), A_(p.relationship) {
    double m = 0;
    for (int i = 0; i < n_; ++i) m += a(i, i);
    mean_diag_ = m / n_;
    for (int i = 0; i < n_; ++i) xscale_ = std::max(xscale_, std::abs(p_.value[i]));
    if (xscale_ == 0) xscale_ = 1;
  }

  contribution_result run() {
    double eps = 0;
    for (;;) {
      ridge_ = eps * mean_diag_;
      contribution_result r;
      if (search(r)) {
        r.ridge = ridge_;
        return r;
      }
      eps = eps == 0 ? 1e-7 : eps * 10;
      if (eps > 1.5e-4)
        stop("Optimum contributions: the relationship matrix is not positive semidefinite (no Cholesky factor even "
             "with a ridge of 1e-4 times its mean diagonal); check the matrix.");
    }
  }

 private:
  // no factor of a free block at this ridge
  struct not_factorised {};

  double a(int i, int j) const { return A_[static_cast<size_t>(i) * n_ + j] + (i == j ? ridge_ : 0.0); }

  free_solve solve(const active_set& s) const {
    const std::vector<int>&F = s.F, &U = s.U;
    free_solve out;
    const int f = static_cast<int>(F.size());
    double bp[2] = {half, half};
    for (int j : U) bp[p_.male[j]] -= u_[j];
    Eigen::MatrixXd B(f, f);
    for (int q = 0; q < f; ++q)
      for (int k = 0; k < f; ++k) B(k, q) = a(F[k], F[q]);
    Eigen::LLT<Eigen::MatrixXd> llt(B);
    if (llt.info() != Eigen::Success) throw not_factorised{};
    {
      const auto L = llt.matrixLLT().diagonal();
      double lo = std::numeric_limits<double>::infinity(), hi = 0;
      for (int k = 0; k < f; ++k) {
        lo = std::min(lo, L[k] * L[k]);
        hi = std::max(hi, B(k, k));
      }
      if (!(lo > 1e-9 * hi)) throw not_factorised{};
    }
    // right-hand sides: x, the female and male indicators, r = A_FU u_U
    Eigen::MatrixXd R(f, 4);
    for (int k = 0; k < f; ++k) {
      const int i = F[k];
      R(k, 0) = p_.value[i];
      R(k, 1) = p_.male[i] ? 0.0 : 1.0;
      R(k, 2) = p_.male[i] ? 1.0 : 0.0;
      double r = 0;
      for (int j : U) r += a(i, j) * u_[j];
      R(k, 3) = r;
    }
    const Eigen::MatrixXd PR = llt.solve(R);
    // Q = M'PM, M'Px, M'Pr by sex (0 female, 1 male)
    double Q[2][2] = {{0, 0}, {0, 0}}, Mx[2] = {0, 0}, Mr[2] = {0, 0};
    for (int k = 0; k < f; ++k) {
      const int sx = p_.male[F[k]];
      Q[sx][0] += PR(k, 1);
      Q[sx][1] += PR(k, 2);
      Mx[sx] += PR(k, 0);
      Mr[sx] += PR(k, 3);
    }
    const double det = Q[0][0] * Q[1][1] - Q[0][1] * Q[1][0];
    const double S[2][2] = {{Q[1][1] / det, -Q[0][1] / det}, {-Q[1][0] / det, Q[0][0] / det}};
    double mu0[2], nu[2];
    for (int sx = 0; sx < 2; ++sx) {
      mu0[sx] = S[sx][0] * Mx[0] + S[sx][1] * Mx[1];
      nu[sx] = S[sx][0] * (bp[0] + Mr[0]) + S[sx][1] * (bp[1] + Mr[1]);
    }
    Eigen::VectorXd& g = out.g;
    Eigen::VectorXd& h = out.h;
    g.resize(f);
    h.resize(f);
    double gsum[2] = {0, 0}, hsum[2] = {0, 0}, xsum[2] = {0, 0};
    int count[2] = {0, 0};
    for (int k = 0; k < f; ++k) {
      const int sx = p_.male[F[k]];
      g[k] = PR(k, 0) - PR(k, 1) * mu0[0] - PR(k, 2) * mu0[1];
      h[k] = PR(k, 1) * nu[0] + PR(k, 2) * nu[1] - PR(k, 3);
      gsum[sx] += g[k];
      hsum[sx] += h[k];
      xsum[sx] += p_.value[F[k]];
      ++count[sx];
    }
    // The sex sums (0 for g, the 1/2 left for h) hold in exact arithmetic;
    // what rounding leaves of them, in an ill-conditioned block, is spread
    // evenly over the free candidates of the sex.
    double dev = 0;
    for (int k = 0; k < f; ++k) {
      const int sx = p_.male[F[k]];
      g[k] -= gsum[sx] / count[sx];
      h[k] += (bp[sx] - hsum[sx]) / count[sx];
      dev = std::max(dev, std::abs(p_.value[F[k]] - xsum[sx] / count[sx]));
    }
    // the coancestry (times 2) of t g + h is qa t^2 + 2 qb t + k: k the least
    // of the set (t = 0), qb = 0 in exact arithmetic and kept as computed
    const Eigen::VectorXd Bg = B * g;
    double k = h.dot(B * h) + 2 * h.dot(R.col(3));
    for (int i : U)
      for (int j : U) k += u_[i] * a(i, j) * u_[j];
    const double qa = g.dot(Bg), qb = h.dot(Bg) + g.dot(R.col(3));
    const double room = 2 * p_.coancestry_limit - k;
    out.factorised = true;
    if (room < 0) {
      out.infeasible = true;
      out.t = 0;
    } else if (dev <= 1e-12 * xscale_ || !(qa > 0)) {
      out.slack = true;
    } else {
      out.t = (-qb + std::sqrt(std::max(qb * qb + qa * room, 0.0))) / qa;
      if (!(out.t >= 0)) out.t = 0;
    }
    return out;
  }

  // The contributions of every candidate from the free ones' c_F.
  void fill(const active_set& s, const Eigen::VectorXd& cF, std::vector<double>& c) const {
    std::fill(c.begin(), c.end(), 0.0);
    for (int j : s.U) c[j] = u_[j];
    for (size_t k = 0; k < s.F.size(); ++k) c[s.F[k]] = cF[static_cast<Eigen::Index>(k)];
  }

  // The derivative of the Lagrangian (times t) of every candidate at c:
  // t x_i - (Ac)_i + kappa_s, with kappa_s from the free candidates of sex s
  // (where it is 0; their mean, against rounding). With slack: x_i -
  // kappa_s. Returns the candidate at a bound whose condition fails most
  // (relative to the size of the terms), -1 when none; all such candidates
  // in `wrong`.
  int worst_condition(const active_set& s, const std::vector<double>& c, double t, bool slack,
                      std::vector<int>& wrong) const {
    wrong.clear();
    std::vector<int> support;
    for (int j = 0; j < n_; ++j)
      if (c[j] != 0) support.push_back(j);
    const auto ac_of = [&](int i) {
      double ac = 0;
      for (int j : support) ac += a(i, j) * c[j];
      return ac;
    };
    double kappa[2] = {0, 0};
    int nfree[2] = {0, 0};
    for (int i : s.F) {
      const int sx = p_.male[i];
      kappa[sx] += slack ? p_.value[i] : ac_of(i) - t * p_.value[i];
      ++nfree[sx];
    }
    for (int sx = 0; sx < 2; ++sx) kappa[sx] /= nfree[sx];
    int worst = -1;
    double worst_size = 0;
    for (int i = 0; i < n_; ++i) {
      if (s.status[i] == is_free) continue;
      const int sx = p_.male[i];
      double d, scale;
      if (slack) {
        d = p_.value[i] - kappa[sx];
        scale = std::abs(p_.value[i]) + std::abs(kappa[sx]);
      } else {
        const double ac = ac_of(i);
        d = t * p_.value[i] - ac + kappa[sx];
        scale = t * std::abs(p_.value[i]) + std::abs(ac) + std::abs(kappa[sx]);
      }
      if (!(s.status[i] == at_zero ? d > 1e-10 * scale : d < -1e-10 * scale)) continue;
      wrong.push_back(i);
      const double size = std::abs(d) / scale;
      if (size > worst_size) worst_size = size, worst = i;
    }
    return worst;
  }

  bool search(contribution_result& r) {
    try {
      if (!p_.bracketed_only && meuwissen(r)) return true;
      r.rounds = 0;
      r.bracketed = true;
      return verified(r);
    } catch (const not_factorised&) {
      return false;
    }
  }

  // The Lagrangian method: every round solves the free set with the t that
  // meets the limit, sets the negative contributions to 0 and those above
  // their bound to the bound; when all are in range, the candidates whose
  // conditions fail are freed again. False when a set of the candidates
  // comes back (the rounds would cycle) or after too many rounds.
  bool meuwissen(contribution_result& r) {
    active_set s;
    s.status.assign(static_cast<size_t>(n_), is_free);
    std::set<std::vector<int8_t>> seen;
    std::vector<double> c(static_cast<size_t>(n_), 0.0);
    std::vector<int> wrong;
    const int max_rounds = 50 + n_ / 10;
    for (r.rounds = 1; r.rounds <= max_rounds; ++r.rounds) {
      if (!seen.insert(s.status).second) return false;
      s.lists();
      const free_solve fs = solve(s);
      const Eigen::VectorXd cF = fs.slack ? fs.h : Eigen::VectorXd(fs.t * fs.g + fs.h);
      // out of range: below 0, or above the bound (taken only while the sex
      // keeps some of its 1/2; the largest of each sex stays free)
      bool changed = false;
      int stay[2] = {0, 0}, largest[2] = {-1, -1};
      std::vector<std::pair<double, int>> over;
      for (size_t k = 0; k < s.F.size(); ++k) {
        const int i = s.F[k], sx = p_.male[i];
        const double v = cF[static_cast<Eigen::Index>(k)];
        if (largest[sx] < 0 || v > c[largest[sx]]) largest[sx] = i;
        c[i] = v;
        if (v > u_[i]) over.emplace_back(v - u_[i], i);
      }
      for (int i : s.F) {
        if (c[i] < 0 && i != largest[p_.male[i]]) {
          s.status[i] = at_zero;
          changed = true;
        } else {
          ++stay[p_.male[i]];
        }
      }
      std::stable_sort(over.begin(), over.end(), [](const auto& x, const auto& y) { return x.first > y.first; });
      double taken[2] = {0, 0};
      for (int j : s.U) taken[p_.male[j]] += u_[j];
      for (const auto& [excess, i] : over) {
        const int sx = p_.male[i];
        if (taken[sx] + u_[i] >= half * (1 - 1e-12)) continue;
        taken[sx] += u_[i];
        --stay[sx];
        s.status[i] = at_upper;
        changed = true;
        // the last free candidate of its sex went to its bound: the rest
        // of the sex's 1/2 needs candidates from those at 0 again
        if (stay[sx] == 0)
          for (int j = 0; j < n_; ++j)
            if (p_.male[j] == sx && s.status[j] == at_zero) s.status[j] = is_free, ++stay[sx];
      }
      if (changed) continue;
      for (size_t k = 0; k < s.F.size(); ++k) {
        const int i = s.F[k];
        c[i] = std::clamp(cF[static_cast<Eigen::Index>(k)], 0.0, u_[i]);
      }
      for (int i = 0; i < n_; ++i)
        if (s.status[i] != is_free) c[i] = s.status[i] == at_upper ? u_[i] : 0.0;
      worst_condition(s, c, fs.t, fs.slack, wrong);
      if (!wrong.empty()) {
        for (int i : wrong) s.status[i] = is_free;
        continue;
      }
      r.c = c;
      r.feasible = !fs.infeasible;
      r.binding = !fs.slack && !fs.infeasible;
      return true;
    }
    return false;
  }

  // The quadratic programme at a fixed t, max t x'c - c'Ac/2 under the sex
  // sums and the bounds, by a primal active-set method from the feasible c
  // with its set s: step to the solution of the free set or, when that leaves
  // the range, as far as the first bound (which joins the set); at the
  // solution of the free set, free the candidate whose condition fails most.
  // Each step makes the objective no worse and no set comes twice, so it
  // ends. The order of every choice is fixed (ties to the lower index).
  void programme(double t, active_set& s, std::vector<double>& c, int& rounds) {
    std::vector<int> wrong;
    const int max_steps = 20 * n_ + 100;
    for (int step = 0;; ++step) {
      if (step > max_steps)
        stop("Optimum contributions: the search did not settle after " + std::to_string(max_steps) +
             " steps; check that the relationship matrix is symmetric and positive semidefinite.");
      s.lists();
      ++rounds;
      const free_solve fs = solve(s);
      const Eigen::VectorXd target = t * fs.g + fs.h;
      double alpha = 1;
      int block = -1;
      for (size_t k = 0; k < s.F.size(); ++k) {
        const int i = s.F[k];
        const double to = target[static_cast<Eigen::Index>(k)], from = c[i], dv = to - from;
        if (to < 0 && dv < 0) {
          const double al = std::max(from, 0.0) / -dv;
          if (al < alpha) alpha = al, block = i;
        } else if (to > u_[i] && dv > 0) {
          const double al = std::max(u_[i] - from, 0.0) / dv;
          if (al < alpha) alpha = al, block = i;
        }
      }
      for (size_t k = 0; k < s.F.size(); ++k) {
        const int i = s.F[k];
        c[i] = block < 0 ? target[static_cast<Eigen::Index>(k)] : c[i] + alpha * (target[static_cast<Eigen::Index>(k)] - c[i]);
        c[i] = std::clamp(c[i], 0.0, u_[i]);
      }
      if (block >= 0) {
        const bool low = target[std::lower_bound(s.F.begin(), s.F.end(), block) - s.F.begin()] < 0;
        c[block] = low ? 0.0 : u_[block];
        int others = 0;
        for (int i : s.F)
          if (i != block && p_.male[i] == p_.male[block]) ++others;
        if (others > 0) {
          s.status[block] = low ? at_zero : at_upper;
          continue;
        }
      }
      const int worst = worst_condition(s, c, t, false, wrong);
      if (worst < 0) return;
      s.status[worst] = is_free;
    }
  }

  // The sure way: for a fixed t the quadratic programme above has one
  // solution c(t), whose coancestry grows with t. The t that puts it on the
  // limit is bracketed, and tried from the root of the current set (exact
  // once the set is the one of the optimum) or else by halving the bracket
  // (by factors of 4 while it is open at an end). Every programme starts
  // from the solution of the one before. The answer is a solution of the
  // programme at t that meets the conditions of every candidate, with the
  // coancestry on the limit; or, when the bracket closes on t = 0 and the
  // least coancestry is above the limit, that least-coancestry solution.
  bool verified(contribution_result& r) {
    std::vector<double> c = linear_answer(p_, u_);
    active_set s;
    s.status.assign(static_cast<size_t>(n_), at_zero);
    int partial[2] = {-1, -1}, last[2] = {-1, -1};
    for (int i = 0; i < n_; ++i) {
      if (c[i] == 0) continue;
      const int sx = p_.male[i];
      s.status[i] = c[i] == u_[i] ? at_upper : is_free;
      if (s.status[i] == is_free) partial[sx] = i;
      last[sx] = i;
    }
    for (int sx = 0; sx < 2; ++sx)
      if (partial[sx] < 0) s.status[last[sx]] = is_free;
    const double limit = 2 * p_.coancestry_limit;
    const auto coancestry2 = [&](const std::vector<double>& v) {
      double q = 0;
      for (int i = 0; i < n_; ++i) {
        if (v[i] == 0) continue;
        double row = 0;
        for (int j = 0; j < n_; ++j)
          if (v[j] != 0) row += a(i, j) * v[j];
        q += v[i] * row;
      }
      return q;
    };
    const double first = 1 / xscale_, floor = 1e-12 / xscale_;
    double lo = 0, hi = std::numeric_limits<double>::infinity();
    bool lo_known = false;  // a solution at lo is kept
    std::vector<double> c_lo;
    for (int tries = 0; tries < 500; ++tries) {
      s.lists();
      const free_solve fs = solve(s);
      double t;
      bool root = false;
      if (!fs.slack && !fs.infeasible && fs.t > lo && fs.t < hi) {
        t = fs.t;
        root = true;
      } else if (!std::isfinite(hi)) {
        t = lo > 0 ? 4 * lo : first;
      } else if (lo == 0) {
        t = hi > floor ? hi / 4 : 0;
      } else {
        t = lo + (hi - lo) / 2;
      }
      const std::vector<int8_t> before = s.status;
      programme(t, s, c, r.rounds);
      const double k = coancestry2(c);
      if (root && s.status == before) {
        r.c = c;
        r.binding = true;
        return true;
      }
      if (k <= limit) {
        lo = t;
        c_lo = c;
        lo_known = true;
      } else if (t == 0) {  // the least coancestry is above the limit
        r.c = c;
        r.feasible = false;
        return true;
      } else {
        hi = t;
      }
      if ((std::isfinite(hi) && lo_known && hi - lo <= 1e-15 * hi) || (!std::isfinite(hi) && lo > 1e15 * first))
        break;
    }
    if (!lo_known)
      stop("Optimum contributions: the search did not settle; check that the relationship matrix is symmetric and "
           "positive semidefinite.");
    // the bracket closed without a root of a set inside it: a kink of c(t)
    // at the limit, or the limit never reached (slack)
    r.c = c_lo;
    r.binding = std::isfinite(hi);
    return true;
  }

  const contribution_problem& p_;
  std::span<const double> u_;
  int n_;
  std::span<const double> A_;
  double mean_diag_ = 0, xscale_ = 0, ridge_ = 0;
};

}  // namespace

contribution_result optimum_contributions(const contribution_problem& p) {
  check_problem(p);
  const size_t n = p.value.size();
  std::vector<double> u(n, half);
  if (!p.upper.empty())
    for (size_t i = 0; i < n; ++i) u[i] = std::min(p.upper[i], half);
  contribution_result r;
  r.c = linear_answer(p, u);
  double q = quadratic(p.relationship, r.c) / 2;
  if (q > p.coancestry_limit) {
    r = searcher(p, u).run();
    q = quadratic(p.relationship, r.c) / 2;
  }
  r.coancestry = q;
  r.value = 0;
  for (size_t i = 0; i < n; ++i) r.value += r.c[i] * p.value[i];
  return r;
}

std::vector<int32_t> whole_matings(std::span<const double> c, std::span<const int8_t> male, int32_t matings,
                                   int32_t cap_male, int32_t cap_female) {
  const size_t n = c.size();
  if (male.size() != n)
    stop("Matings from contributions: " + std::to_string(male.size()) + " sexes for " + std::to_string(n) +
         " contributions; give one for each.");
  if (matings < 0 || cap_male < 0 || cap_female < 0)
    stop("Matings from contributions: the number of matings and the caps must be >= 0.");
  double sum[2] = {0, 0};
  int64_t room[2] = {0, 0};
  for (size_t i = 0; i < n; ++i) {
    if (male[i] != 0 && male[i] != 1)
      stop("Matings from contributions: the sex of animal " + std::to_string(i + 1) +
           " must be 1 (male) or 0 (female).");
    if (!std::isfinite(c[i]) || c[i] < 0)
      stop("Matings from contributions: the contribution of animal " + std::to_string(i + 1) +
           " must be a finite number >= 0.");
    sum[male[i]] += c[i];
    const int32_t cap = male[i] ? cap_male : cap_female;
    if (c[i] > 0) room[male[i]] += cap > 0 ? cap : matings;
  }
  std::vector<int32_t> out(n, 0);
  if (matings == 0) return out;
  for (int s = 0; s < 2; ++s) {
    const char* sex = s ? "males" : "females";
    if (std::abs(sum[s] - half) > 1e-9)
      stop(std::string("Matings from contributions: the contributions of the ") + sex + " add up to " +
           shortest_text(sum[s]) + ", not 1/2; give contributions of 1/2 in each sex.");
    if (room[s] < matings)
      stop(std::string("Matings from contributions: the ") + sex + " with a contribution can take only " +
           std::to_string(room[s]) + " of the " + std::to_string(matings) + " matings under the cap of " +
           std::to_string(s ? cap_male : cap_female) + " per animal; raise the cap or select more " + sex + ".");
  }
  // claim of an animal: its share minus the matings it has; the next mating
  // goes to the largest claim among those below their cap (ties: lower index)
  struct entry {
    double claim;
    size_t i;
    bool operator<(const entry& o) const { return claim < o.claim || (claim == o.claim && i > o.i); }
  };
  for (int s = 0; s < 2; ++s) {
    const int32_t cap = s ? cap_male : cap_female;
    const int64_t limit = cap > 0 ? cap : matings;
    std::priority_queue<entry> heap;
    int64_t given = 0;
    for (size_t i = 0; i < n; ++i) {
      if (male[i] != s || c[i] <= 0) continue;
      const double share = c[i] * 2.0 * matings;
      const int64_t fl = std::min<int64_t>(static_cast<int64_t>(std::floor(share)), limit);
      out[i] = static_cast<int32_t>(fl);
      given += fl;
      if (fl < limit) heap.push({share - static_cast<double>(fl), i});
    }
    // the floors can pass the total only through the rounding of the shares:
    // take back from the animal most above its share (ties: lower index)
    while (given > matings) {
      size_t best = n;
      double most = 0;
      for (size_t i = 0; i < n; ++i) {
        if (male[i] != s || out[i] == 0) continue;
        const double above = static_cast<double>(out[i]) - c[i] * 2.0 * matings;
        if (best == n || above > most) most = above, best = i;
      }
      --out[best];
      --given;
    }
    while (given < matings) {
      const entry e = heap.top();
      heap.pop();
      ++out[e.i];
      ++given;
      if (out[e.i] < limit) heap.push({e.claim - 1.0, e.i});
    }
  }
  return out;
}

}  // namespace qm
