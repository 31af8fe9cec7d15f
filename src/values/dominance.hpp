// Values of a generation whose QTL have dominance effects ([traits]
// dominance). With n the copies of allele 2 an animal carries at a QTL (0, 1,
// 2), a its additive and d its dominance effect, and p the frequency of
// allele 2 in the animal's own generation (within its line, when the
// generation has lines), q = 1 - p:
//
//   genotypic value  g(n)  = a (n - 1) + d [n == 1]
//   breeding value   bv(n) = M + alpha (n - 2p),  alpha = a + d (q - p),
//                    M = a (p - q) + 2 d p q (the mean of g under Hardy-Weinberg)
//
// so that bv = g - D, D the dominance deviation (Falconer and Mackay,
// chapters 7 and 8). With d = 0, bv(n) = a (n - 1), the additive value.
#pragma once
#include <cmath>
#include <cstdint>
#include <vector>

#include "config/parameters.hpp"
#include "population/population.hpp"
#include "qtl/architecture.hpp"
#include "random/stream.hpp"

namespace qm {

// The uniforms one animal's residuals take from the stream (one normal, or
// one multivariate draw of ntrait), and the residual SD of a single trait
// (the genetic variance is 1): the same with and without dominance.
inline uint64_t residual_uniforms_per_animal(int ntrait) {
  return ntrait == 1 ? 2 : 2 + 100 * static_cast<uint64_t>(ntrait - 1);
}
inline float single_trait_residual_sd(float h2) { return std::sqrt(1.0f / h2 - 1.0f); }

// The values of one genotype class of one QTL: genotypic and breeding value.
struct genotype_class_value {
  double genotypic = 0.0, breeding = 0.0;
};

// The three classes n = 0, 1, 2 of a QTL with effects a, d at allele-2 frequency p.
void genotype_class_values(double a, double d, double p, genotype_class_value out[3]);

// The blocks of animals whose allele frequencies are counted apart: one per
// line of the generation, in the order of pop.lines, or the whole generation
// when it has no lines. Each block is [first, first + animals); the blocks
// follow each other from animal 1 to nind (invariant_error otherwise).
struct animal_block {
  int32_t first = 1, animals = 0;
};
std::vector<animal_block> frequency_blocks(const population& pop);

// Copies of allele 2 at every QTL within each block: counts[b * nqtl + q - 1]
// for block b (0-based), integers, so any split over threads gives the same.
std::vector<int64_t> qtl_allele_counts(const haplotype_matrix& candidates, const std::vector<int32_t>& qtl_locus,
                                       const std::vector<animal_block>& blocks, int nthreads);

// Genotypic values (pop.genotypic), breeding values (pop.tbv) and
// phenotypes (genotypic value plus the residual, drawn as compute_values
// draws it) of the current generation. Needs a.with_dominance().
void compute_dominance_values(const run_parameters& p, const trait_architecture& a, population& pop,
                              random_stream& rng);

}  // namespace qm
