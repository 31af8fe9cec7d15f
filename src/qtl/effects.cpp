#include "qtl/effects.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "base/fixed.hpp"
#include "base/messages.hpp"

namespace qm {

float pearson_correlation(const float* x, const float* y, int n) {
  float sx = 0.0f, sy = 0.0f, sxy = 0.0f, sxx = 0.0f, syy = 0.0f;
  for (int i = 0; i < n; ++i) {
    sx += x[i];
    sy += y[i];
    sxy += x[i] * y[i];
    sxx += x[i] * x[i];
    syy += y[i] * y[i];
  }
  const float nn = static_cast<float>(n);
  return (nn * sxy - sx * sy) / (std::sqrt(nn * sxx - sx * sx) * std::sqrt(nn * syy - sy * sy));
}

namespace {

enum qclass { common = 0, spec1 = 1, spec2 = 2 };

bool uncommon_scheme(const run_parameters& p) { return p.ntrait == 2 && p.uncommon_QTL == 1; }

// Classes of the QTL in the uncommon scheme, for one draw.
std::vector<int> classes(const run_parameters& p, trait_architecture& a) {
  if (a.pcommon != 0.0f) {
    a.rq = (a.pspecific + a.pcommon) * p.rgen[0] / a.pcommon;
    if (std::fabs(a.rq) > 1.0f) stop(stop_text::rq_above_one, stop_display::console_only);
  }
  a.ncommon = a.nspec1 = a.nspec2 = 0;
  std::vector<int> cls(static_cast<size_t>(a.nqtl()) + 1);
  const float tt = static_cast<float>(a.nqtl());
  for (int q = 1; q <= a.nqtl(); ++q) {
    const float k = static_cast<float>(q);
    if (k <= tt * a.pcommon) {
      cls[static_cast<size_t>(q)] = common;
      ++a.ncommon;
    } else if (k <= tt * (a.pspecific + a.pcommon)) {
      cls[static_cast<size_t>(q)] = spec1;
      ++a.nspec1;
    } else {
      cls[static_cast<size_t>(q)] = spec2;
      ++a.nspec2;
    }
  }
  return cls;
}

double signed_gamma(const run_parameters& p, random_stream& rng, float shape) {
  const double g = gamma_variate(rng, shape, p.qtlp2);
  const double u = next_uniform(rng);
  return u <= 0.5 ? -g : g;
}

// One complete draw of qeff.
void draw(const run_parameters& p, trait_architecture& a, random_stream& rng) {
  if (p.ntrait == 1) {
    for (int q = 1; q <= a.nqtl(); ++q) {
      if (p.qtlrule == 0) {
        const float z = static_cast<float>(standard_normal(rng));
        a.effect(q, 1) = std::sqrt(p.qtlp2) * z;
      } else if (p.qtlrule == 1) {
        a.effect(q, 1) = signed_gamma(p, rng, p.qtlp1);
      }
    }
    return;
  }
  if (uncommon_scheme(p)) {
    const std::vector<int> cls = classes(p, a);
    float v2[4];
    v2[0] = p.qtlp1;
    v2[3] = p.qtlp2;
    v2[1] = v2[2] = std::sqrt(p.qtlp1 * p.qtlp2) * a.rq;
    const float abs_rq = std::fabs(a.rq);
    for (int q = 1; q <= a.nqtl(); ++q) {
      const int c = cls[static_cast<size_t>(q)];
      if (p.qtlrule == 0) {
        if (c == common) {
          float x[2];
          multivariate_normal(rng, v2, 2, x);
          a.effect(q, 1) = x[0];
          a.effect(q, 2) = x[1];
        } else {
          const float z = static_cast<float>(standard_normal(rng));
          a.effect(q, 1) = c == spec1 ? static_cast<double>(std::sqrt(p.qtlp1) * z) : 0.0;
          a.effect(q, 2) = c == spec2 ? static_cast<double>(std::sqrt(p.qtlp2) * z) : 0.0;
        }
      } else if (p.qtlrule == 1) {
        if (c == common) {
          const double g0 = gamma_variate(rng, 0.4f * abs_rq, p.qtlp2);
          const double g1 = gamma_variate(rng, 0.4f * (1.0f - abs_rq), p.qtlp2);
          const double g2 = gamma_variate(rng, 0.4f * (1.0f - abs_rq), p.qtlp2);
          a.effect(q, 1) = g0 + g1;
          a.effect(q, 2) = g0 + g2;
          if (next_uniform(rng) > 0.5) {
            a.effect(q, 1) = -a.effect(q, 1);
            a.effect(q, 2) = -a.effect(q, 2);
          }
          if (a.rq < 0.0f) a.effect(q, 1) = -a.effect(q, 1);
        } else {
          const double e = signed_gamma(p, rng, 0.4f);
          a.effect(q, 1) = c == spec1 ? e : 0.0;
          a.effect(q, 2) = c == spec2 ? e : 0.0;
        }
      }
    }
    return;
  }
  if (p.uncommon_QTL != 0) return;  // no other scheme (rejected when the file is read)
  if (p.qtlrule == 1) {
    stop(stop_text::gamma_several_traits, stop_display::log_with_stamp_and_echo);
  }
  if (p.qtlrule != 0) return;
  const int n = p.ntrait;
  std::vector<float> vn(static_cast<size_t>(n) * n), x(static_cast<size_t>(n));
  auto V = [&](int i, int j) -> float& { return vn[static_cast<size_t>(i - 1) + static_cast<size_t>(j - 1) * n]; };
  V(1, 1) = p.qtlp1;
  V(2, 2) = p.qtlp2;
  for (int t = 3; t <= n; ++t) V(t, t) = p.qtlp2 + static_cast<float>(t - 2);
  int pr = 0;
  for (int i = 1; i < n; ++i)
    for (int j = i + 1; j <= n; ++j) V(i, j) = V(j, i) = std::sqrt(V(i, i) * V(j, j)) * p.rgen[static_cast<size_t>(pr++)];
  for (int q = 1; q <= a.nqtl(); ++q) {
    multivariate_normal(rng, vn.data(), n, x.data());
    for (int t = 1; t <= n; ++t) a.effect(q, t) = x[static_cast<size_t>(t - 1)];
  }
}

// The check of a draw; true when it is accepted.
bool accepted(const run_parameters& p, const trait_architecture& a, int ntry) {
  if (p.ntrait == 1) return true;
  const bool unc = uncommon_scheme(p);
  if (p.uncommon_QTL != 0 && a.rq == 0.0f) return true;
  const int w = unc ? static_cast<int>(static_cast<float>(a.nqtl()) * a.pcommon) : a.nqtl();
  const int n = p.ntrait;
  std::vector<float> e(static_cast<size_t>(w > 0 ? w : 0) * n);
  for (int t = 1; t <= n; ++t)
    for (int k = 1; k <= w; ++k)
      e[static_cast<size_t>(k - 1) + static_cast<size_t>(t - 1) * w] = static_cast<float>(a.effect(k, t));
  auto col = [&](int t) { return e.data() + static_cast<size_t>(t - 1) * w; };
  std::string line;
  if (unc) {
    const float r = pearson_correlation(col(1), col(2), w);
    if (!(a.rq - 0.05f <= r && r <= a.rq + 0.05f)) return false;
    list_real(line, a.rq);
    list_real(line, r);
  } else {
    const int np = n * (n - 1) / 2;
    std::vector<float> rc(static_cast<size_t>(np));
    int pr = 0;
    for (int i = 1; i < n; ++i) {
      for (int j = i + 1; j <= n; ++j) {
        const float r = pearson_correlation(col(i), col(j), w);
        const float g = p.rgen[static_cast<size_t>(pr++)];
        if (!(r >= g - 0.05f && r <= g + 0.05f)) return false;  // not a number fails too
        rc[static_cast<size_t>(pr - 1)] = r;
      }
    }
    for (int k = 1; k <= np; ++k) list_real(line, p.rgen[static_cast<size_t>(k - 1)]);
    for (int k = 0; k < np; ++k) list_real(line, rc[static_cast<size_t>(k)]);
  }
  show("producing the right correlation of qtl effect!", true);
  list_int(line, ntry);
  say(line.substr(1));
  return true;
}

}  // namespace

void draw_effects(const run_parameters& p, trait_architecture& a, random_stream& rng) {
  if (uncommon_scheme(p)) {
    if (p.rgen[0] != 0.0f) {
      a.pcommon = 0.8f;
      a.pspecific = 0.1f;
    } else {
      a.pcommon = 0.0f;
      a.pspecific = 0.5f;
    }
  }
  for (int ntry = 0;;) {
    draw(p, a, rng);
    if (accepted(p, a, ntry)) return;
    if (++ntry >= 10000) stop(stop_text::correlations_not_reached);
  }
}

}  // namespace qm
