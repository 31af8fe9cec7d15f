#include "values/breeding_values.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "base/messages.hpp"
#include "base/threads.hpp"
#include "random/stream_parts.hpp"
#include "values/dominance.hpp"

namespace qm {

float genotypic_value(const haplotype_matrix& candidates, const trait_architecture& a, int i, int t) {
  // The sum over the QTL of x a_q, x = allele1 + allele2 - 3 (-1, 0, 1).
  const auto sum = [&](auto x_at) {
    float g = 0.0f;
    for (int q = 1; q <= a.nqtl(); ++q) {
      const int x = x_at(a.qtl_locus[static_cast<size_t>(q - 1)] - 1);
      g = static_cast<float>(static_cast<double>(g) + static_cast<double>(x) * a.effect(q, t));
    }
    return g;
  };
  if (candidates.packed()) {  // x = bit1 + bit2 - 1
    const uint64_t* b1 = candidates.row(2 * i - 2);
    const uint64_t* b2 = candidates.row(2 * i - 1);
    return sum([&](int l) { return static_cast<int>(((b1[l >> 6] >> (l & 63)) & 1u) + ((b2[l >> 6] >> (l & 63)) & 1u)) - 1; });
  }
  const int8_t* x1 = candidates.column(2 * i - 2);
  const int8_t* x2 = candidates.column(2 * i - 1);
  return sum([&](int l) { return x1[l] + x2[l] - 3; });
}

namespace {

// Additive values: TBV = the sum of x a over the QTL (single precision),
// phenotype = TBV + residual.
void additive_values(const run_parameters& p, const trait_architecture& a, population& pop, random_stream& rng) {
  const int n = p.ntrait;
  pop.tbv.assign(static_cast<size_t>(pop.nind) * n, 0.0);
  pop.phenotype.assign(static_cast<size_t>(pop.nind) * n, 0.0);
  // Uniforms per animal: one normal, or one multivariate draw.
  const uint64_t per = residual_uniforms_per_animal(n);
  const float s1 = n == 1 ? single_trait_residual_sd(p.h2[0]) : 0.0f;
  const int parts = std::max(1, std::min(pop.nind, 4 * p.threads));
  run_stream_parts(p.threads, pop.nind, parts, per, rng, [&](int, int64_t a0, int64_t b0, uint32_t st) {
    random_stream r;
    r.state = static_cast<int32_t>(st);
    std::vector<float> g(static_cast<size_t>(n)), e(static_cast<size_t>(n));
    for (int i = static_cast<int>(a0) + 1; i <= static_cast<int>(b0); ++i) {
      if (n == 1) {
        const float gi = genotypic_value(pop.candidates, a, i, 1);
        pop.tbv_of(i, 1) = gi;
        const float z = static_cast<float>(standard_normal(r));
        pop.phenotype_of(i, 1) = static_cast<double>(gi + z * s1);
        continue;
      }
      for (int t = 1; t <= n; ++t) g[static_cast<size_t>(t - 1)] = genotypic_value(pop.candidates, a, i, t);
      multivariate_normal_factored(r, a.residual_factor.data(), n, e.data());
      for (int t = 1; t <= n; ++t) {
        pop.tbv_of(i, t) = g[static_cast<size_t>(t - 1)];
        pop.phenotype_of(i, t) = static_cast<double>(g[static_cast<size_t>(t - 1)] + e[static_cast<size_t>(t - 1)]);
      }
    }
  });
}

// Values that are not finite numbers never reach a file.
void check_values(const run_parameters& p, const population& pop) {
  const int n = p.ntrait;
  for (int t = 1; t <= n; ++t) {
    for (int i = 1; i <= pop.nind; ++i) {
      if (std::isfinite(pop.tbv_of(i, t)) && std::isfinite(pop.phenotype_of(i, t))) continue;
      stop("The " + std::string(std::isfinite(pop.tbv_of(i, t)) ? "phenotype" : "true breeding value") + " of animal " +
           std::to_string(i) + " for trait " + std::to_string(t) +
           " is not a finite number. Check h2 (record 8) and the QTL effect parameters qtlp1 and qtlp2 (record 14).");
    }
  }
}

}  // namespace

void compute_values(const run_parameters& p, const trait_architecture& a, population& pop, random_stream& rng) {
  if (a.with_dominance())
    compute_dominance_values(p, a, pop, rng);
  else
    additive_values(p, a, pop, rng);
  check_values(p, pop);
}

void hide_unrecorded_phenotypes(const run_parameters& p, population& pop) {
  if (!p.sex_limited()) return;
  for (int t = 1; t <= p.ntrait; ++t)
    for (int i = 1; i <= pop.nind; ++i)
      if (!p.recorded(t, i)) pop.phenotype_of(i, t) = std::numeric_limits<double>::quiet_NaN();
}

}  // namespace qm
