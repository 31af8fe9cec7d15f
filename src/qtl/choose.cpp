#include "qtl/choose.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "base/fixed.hpp"
#include "base/messages.hpp"
#include "population/recode.hpp"
#include "qtl/effects.hpp"

namespace qm {

float qtl_weight(const haplotype_matrix& candidates, int l) {
  int64_t c = 0;
  const int32_t nhap = candidates.haplotypes();
  for (int h = 0; h < nhap; ++h) c += candidates.allele(l - 1, h) == 1;
  const float f = static_cast<float>(c) / static_cast<float>(nhap);
  return (f + f) * (1.0f - f);
}

float target_variance(const run_parameters& p, int t) { return p.ntrait == 1 ? 1.0f : static_cast<float>(t); }

namespace {

// Every segregating candidate locus recoded (the allele nearest one half,
// the higher number on a tie, becomes 1). Returns the segregating loci
// (1-based numbers).
std::vector<int32_t> segregating(population& pop, int nthreads) {
  haplotype_matrix& q = pop.candidates;
  const int32_t nhap = q.haplotypes();
  const std::vector<int8_t> code = recode_loci(q, nthreads, [&](int l, const uint32_t* c) {
    const unsigned first = static_cast<uint8_t>(q.allele(l, 0)) & 127u;
    return c[first] == static_cast<uint32_t>(nhap)
               ? 0
               : nearest_half(c, 1, pop.candidate_alleles.top[static_cast<size_t>(l)], nhap);
  });
  std::vector<int32_t> seg;
  for (size_t l = 0; l < code.size(); ++l)
    if (code[l] != 0) seg.push_back(static_cast<int32_t>(l) + 1);
  return seg;
}

// Effects scaled to the target variances.
void scale_effects(const run_parameters& p, trait_architecture& a, const haplotype_matrix& candidates) {
  const int32_t nq = a.nqtl();
  std::vector<float> w(static_cast<size_t>(nq) + 1);
  for (int q = 1; q <= nq; ++q) w[static_cast<size_t>(q)] = qtl_weight(candidates, a.qtl_locus[static_cast<size_t>(q - 1)]);
  for (int t = 1; t <= p.ntrait; ++t) {
    float v = 0.0f;
    for (int q = 1; q <= nq; ++q)
      v = static_cast<float>(static_cast<double>(v) + a.effect(q, t) * a.effect(q, t) * static_cast<double>(w[static_cast<size_t>(q)]));
    const float s = std::sqrt(target_variance(p, t) / v);
    for (int q = 1; q <= nq; ++q) a.effect(q, t) = a.effect(q, t) * static_cast<double>(s);
  }
}

// The residual covariance matrix: variances (1/h2 - 1) times the additive
// target, covariances from the residual correlations; and its factor.
void residual_covariance(const run_parameters& p, trait_architecture& a) {
  const int n = p.ntrait;
  a.residual_covariance.assign(static_cast<size_t>(n) * n, 0.0f);
  auto R = [&](int i, int j) -> float& { return a.residual_covariance[static_cast<size_t>(i - 1) + static_cast<size_t>(j - 1) * n]; };
  for (int i = 1; i <= n; ++i) R(i, i) = (1.0f / p.h2[static_cast<size_t>(i - 1)] - 1.0f) * target_variance(p, i);
  int pr = 0;
  for (int i = 1; i < n; ++i) {
    for (int j = i + 1; j <= n; ++j) {
      const float r = p.rerr[static_cast<size_t>(pr++)];
      R(i, j) = R(j, i) = std::sqrt(R(i, i) * R(j, j)) * r;
    }
  }
  for (int t = 1; t <= n; ++t)
    if (!std::isfinite(R(t, t)))
      stop("The residual variance of trait " + std::to_string(t) + " is not a finite number: h2(" + std::to_string(t) +
           ") = " + shortest_text(p.h2[static_cast<size_t>(t - 1)]) +
           " is too small. Give a heritability of at least 1e-6 in record 8.");
  // A trait with h2 = 1 has no residual: its column of the factor is zero.
  a.residual_factor.assign(static_cast<size_t>(n) * n, 0.0f);
  if (n >= 2) cholesky_factor_semidefinite(a.residual_covariance.data(), n, a.residual_factor.data());
}

// Effects that cannot be scaled (a distribution so narrow that every draw
// is 0 or below the smallest number) stop the run naming the parameters.
void check_effects(const run_parameters& p, const trait_architecture& a) {
  for (int t = 1; t <= p.ntrait; ++t)
    for (int q = 1; q <= a.nqtl(); ++q)
      if (!std::isfinite(a.effect(q, t)))
        stop("The QTL effects of trait " + std::to_string(t) + " cannot be scaled to their variance (qtlp1 = " +
             shortest_text(p.qtlp1) + ", qtlp2 = " + shortest_text(p.qtlp2) +
             " in record 14 give effects that are all 0 or not finite). Give larger values of qtlp1 and qtlp2.");
}

}  // namespace

void draw_dominance(const run_parameters& p, trait_architecture& a, random_stream& rng) {
  if (!p.with_dominance()) return;
  if (p.dominance.size() != static_cast<size_t>(p.ntrait))
    stop("[traits] dominance gives " + std::to_string(p.dominance.size()) + " tables for " + std::to_string(p.ntrait) +
         " traits. Give one table for every trait, or an array of one table per trait.");
  const int32_t nq = a.nqtl();
  a.dominance.assign(static_cast<size_t>(nq) * p.ntrait, 0.0);
  for (int t = 1; t <= p.ntrait; ++t) {
    const dominance_setting& s = p.dominance[static_cast<size_t>(t - 1)];
    for (int q = 1; q <= nq; ++q) {
      const double delta = s.mean + s.sd * standard_normal(rng);
      a.dominance[static_cast<size_t>(t - 1) * static_cast<size_t>(nq) + static_cast<size_t>(q - 1)] =
          delta * std::fabs(a.effect(q, t));
    }
  }
}

trait_architecture choose_qtl(const run_parameters& p, population& pop, random_stream& rng) {
  const std::vector<int32_t> qcand = segregating(pop, p.threads);
  pop.candidate_alleles.carried_valid = false;
  const int32_t nseg = static_cast<int32_t>(qcand.size());
  if (nseg < 1) stop(stop_text::no_qtl);
  if (nseg < p.nqtl) stop(stop_text::too_few_qtl);

  trait_architecture a;
  a.ntrait = p.ntrait;
  std::vector<char> taken(static_cast<size_t>(nseg) + 1, 0);
  a.qtl_locus.resize(static_cast<size_t>(p.nqtl));
  for (int q = 1; q <= p.nqtl; ++q) {
    int32_t i;
    do {
      const double u = next_uniform(rng);
      i = static_cast<int32_t>(static_cast<double>(nseg) * u) + 1;
      if (i > nseg) i = nseg;
    } while (taken[static_cast<size_t>(i)]);
    taken[static_cast<size_t>(i)] = 1;
    a.qtl_locus[static_cast<size_t>(q - 1)] = qcand[static_cast<size_t>(i - 1)];
  }
  a.effects.assign(static_cast<size_t>(p.nqtl) * p.ntrait, 0.0);

  draw_effects(p, a, rng);
  scale_effects(p, a, pop.candidates);
  check_effects(p, a);
  draw_dominance(p, a, rng);
  residual_covariance(p, a);

  std::string m = "Total QTL number = ";
  add_imin(m, a.nqtl(), 5, 1);
  show(m);
  return a;
}

}  // namespace qm
