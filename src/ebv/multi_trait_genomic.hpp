// Multi-trait SNP-BLUP on packed marker genotypes: T traits evaluated
// jointly,
//
//   y_it = mu_t + sum_j z_ij g_jt + e_it,   g_j ~ N(0, G0 / k),   var(e_i) = R0,
//
// with z_ij = x_ij - 2 p_j as in single-trait SNP-BLUP (ebv/genomic.hpp),
// k = 2 sum_j p_j (1 - p_j) (VanRaden: the marker effects of a trait share
// its genetic variance), G0 and R0 the T x T genetic and residual covariance
// matrices. A reference animal may lack any of its records: its residual
// covariance is R0 restricted to the traits it has, R_i^-1 as in
// ebv/multi_trait_model.hpp (a row without any record adds nothing). The
// mixed-model equations are
//
//   [ sum_i R_i^-1       sum_i R_i^-1 z_i'                   ] [mu]   [ sum_i R_i^-1 y_i     ]
//   [ sum_i z_i R_i^-1   sum_i (z_i z_i') (x) R_i^-1 + I (x) k G0^-1 ] [g ] = [ sum_i z_i (x) R_i^-1 y_i ]
//
// with z_i the centred genotypes of animal i. The unknowns are interleaved by
// marker: x = (mu_1 .. mu_T, g_1,1 .. g_1,T, g_2,1 .. g_2,T, ..., g_m,T).
//
// Every product with the coefficient matrix makes T products Z w_t and T
// products Z' s_t with the packed tables of ebv/genomic.cpp (w_t the effects
// of trait t, s_t = trait t of R_i^-1 (mu + Z_i g)), so an iteration costs
// about T single-trait iterations. The preconditioner inverts the T x T
// diagonal blocks: sum_i z_ij^2 R_i^-1 + k G0^-1 for marker j, from the
// genotype counts of each record pattern, and sum_i R_i^-1 for the means.
// Sums run in the fixed order of ebv/genomic.hpp and ebv/pcg.hpp, so the
// solution is the same bits for any number of threads.
//
// The genomic breeding value of trait t of any animal is
//   GEBV_it = sum_j (x_ij - 2 p_j) g_jt   (mu not included).
#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "ebv/genomic.hpp"
#include "ebv/multi_trait_model.hpp"
#include "ebv/pcg.hpp"

namespace qm {

struct multi_trait_snp_solution {
  int32_t traits = 1;
  int64_t markers = 0;
  std::vector<double> x;       // the means, then the traits of every marker
  std::vector<double> centre;  // 2 p_j of the reference
  double k = 0.0;              // 2 sum_j p_j (1 - p_j)
  pcg_result stats;
  double mean(int32_t t) const { return x[static_cast<size_t>(t)]; }
  double effect(int64_t j, int32_t t) const { return x[static_cast<size_t>((j + 1) * traits + t)]; }
  // The effects of trait t, one per marker.
  std::vector<double> effects(int32_t t) const;
};

// 2 sum_j p_j (1 - p_j) from the centres 2 p_j (stops when no marker segregates).
double snp_scale(std::span<const double> centre);

// Multi-trait SNP-BLUP of the reference animals ref (by_marker kept) with
// records y (y[i * T + t], NaN: not recorded), centres of the markers and
// T x T covariance matrices g0, r0 (column-major). start: empty (all zero)
// or T (1 + m) values of an earlier solve.
multi_trait_snp_solution multi_trait_snp_blup(const packed_genotypes& ref, std::span<const double> y,
                                              int32_t traits, std::span<const double> centre,
                                              std::span<const double> g0, std::span<const double> r0,
                                              std::span<const double> start, const pcg_options& opt,
                                              block_choice pre = block_choice::blocks);

// GEBVs of the animals of g (by_animal suffices): out[t * g.n + i] for trait t.
std::vector<double> multi_trait_gebv(const packed_genotypes& g, const multi_trait_snp_solution& s, int threads);

}  // namespace qm
