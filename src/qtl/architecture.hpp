// The trait architecture, fixed once in stage 2: which candidate loci are
// QTL, their effects on every trait, the residual covariance of the traits
// and its Cholesky factor, and the threshold of a 0/1 trait.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace qm {

struct trait_architecture {
  int32_t ntrait = 0;
  std::vector<int32_t> qtl_locus;  // candidate-locus number (1-based) of each QTL, in the order drawn
  std::vector<double> effects;     // index (t - 1) * nqtl + (q - 1)
  // Dominance effects d of every QTL on every trait (index as effects);
  // empty when every QTL acts additively.
  std::vector<double> dominance;
  // Two traits with uncommon QTL: the numbers of common and trait-specific
  // QTL, their shares and the correlation of the common effects.
  int32_t ncommon = 0, nspec1 = 0, nspec2 = 0;
  float pcommon = 0.0f, pspecific = 0.0f, rq = 0.0f;
  // Residual covariance matrix (ntrait x ntrait, column-major) and its
  // Cholesky factor (a zero column for a trait without residual, h2 = 1).
  std::vector<float> residual_covariance, residual_factor;
  float threshold = 0.0f;  // of trait 1 when it is a 0/1 trait
  // The realised additive and the residual covariance matrices of the
  // generation where the QTL were chosen (ntrait x ntrait, column-major, as
  // Genetic_paramenters.out gives them): the G and R of the selection index
  // and of the multi-trait evaluations.
  std::vector<double> base_genetic_covariance, base_residual_covariance;

  int32_t nqtl() const { return static_cast<int32_t>(qtl_locus.size()); }
  bool with_dominance() const { return !dominance.empty(); }
  double dominance_effect(int32_t q, int32_t t) const {
    return dominance[static_cast<size_t>(t - 1) * qtl_locus.size() + (q - 1)];
  }
  double& effect(int32_t q, int32_t t) { return effects[static_cast<size_t>(t - 1) * qtl_locus.size() + (q - 1)]; }
  double effect(int32_t q, int32_t t) const { return effects[static_cast<size_t>(t - 1) * qtl_locus.size() + (q - 1)]; }
};

}  // namespace qm
