// Genomic prediction by SNP-BLUP on packed marker genotypes.
//
// Model for the reference animals (those with a phenotype):
//   y = 1 mu + Z g + e,  g ~ N(0, I sigma_snp^2),  e ~ N(0, I sigma_e^2),
// z_ij = x_ij - 2 p_j, x_ij the dosage (0, 1, 2 copies of allele 1) of animal
// i at marker j and p_j the frequency of allele 1 in the reference. Following
// VanRaden, sigma_snp^2 = sigma_a^2 / (2 sum_j p_j (1 - p_j)), so
//   lambda_snp = sigma_e^2 / sigma_snp^2 = (1 - h2) / h2 * 2 sum_j p_j (1 - p_j).
// mu and g are solved jointly from
//   [ n     1'Z              ] [mu]   [1'y]
//   [ Z'1   Z'Z + lambda_snp I ] [g ] = [Z'y]
// by conjugate gradients with the diagonal as preconditioner (ebv/pcg.hpp);
// Z'Z is never formed, every iteration makes one product Z w and one Z' t.
// The genomic breeding value of any animal, genotyped or candidate, is
//   GEBV_i = sum_j (x_ij - 2 p_j) g_j   (mu not included).
//
// Why SNP-BLUP rather than GBLUP: with 10,000 reference animals and 10,000
// markers, forming G = Z Z' / k takes n^2 m = 10^12 operations and 800 MB,
// and a GBLUP solved without forming G makes the same two genotype passes
// per iteration as SNP-BLUP. SNP-BLUP then wins on three counts: its
// diagonal preconditioner is worth having (the diagonal of Z'Z follows
// 2 p (1 - p) n, which varies by marker, while the diagonal of G is nearly
// constant), candidates are predicted by one more pass Z_c g without any
// relationship between candidates and reference, and the marker effects can
// be kept from one generation to the next as the start of the next solve.
//
// Genotype storage: the caller's dosages are a row-major uint8 matrix of n
// animals x m markers (entry i * m + j, values 0, 1 or 2). pack_genotypes
// keeps them at 2 bits each, four to a byte (genotype k of a group at bits
// 2k, 2k+1), twice: by animal (rows of ceil(m/4) bytes) for Z w and by
// marker (rows of ceil(n/4) bytes) for Z' t, 4 bits per genotype in all.
// Each product sums, per byte, a value from a 256-entry table built for the
// four genotypes the byte holds, so it reads every genotype once and makes
// one addition per four genotypes.
//
// Sums run in a fixed order: tables entry by entry, a row in blocks of
// groups (four partial sums within a block, added as (s0 + s1) + (s2 + s3),
// then the blocks in order), and the sums over all animals or markers
// serially. Threads share out rows only, so results are the same bits for
// any number of threads.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "ebv/pcg.hpp"

namespace qm {

struct packed_genotypes {
  int64_t n = 0, m = 0;            // animals, markers
  int64_t row_bytes = 0;           // ceil(m / 4)
  int64_t col_bytes = 0;           // ceil(n / 4); 0 when by_marker is not kept
  std::vector<uint8_t> by_animal;  // n rows of row_bytes
  std::vector<uint8_t> by_marker;  // m rows of col_bytes (may be empty)
  int dosage(int64_t i, int64_t j) const {
    return (by_animal[static_cast<size_t>(i * row_bytes + j / 4)] >> (2 * (j % 4))) & 3;
  }
};

// Packs n x m dosages (row-major, 0/1/2; any other value stops the run).
// by_marker is needed for the reference animals only (Z' t products).
packed_genotypes pack_genotypes(const uint8_t* dosage, int64_t n, int64_t m, bool by_marker = true);

// Adds the by-marker copy to genotypes packed by animal only (rows of
// row_bytes in by_animal), e.g. rows gathered from several generations. The
// result is the same as pack_genotypes with by_marker of the same dosages.
void add_marker_major(packed_genotypes& g, int threads = 1);

// 2 p_j of every marker: the mean dosage of the animals.
std::vector<double> centre_2p(const packed_genotypes& g);

// lambda_snp from the heritability and the centres 2 p_j.
double snp_lambda(double h2, std::span<const double> centre);

// out_i = sum_j (x_ij - centre_j) w_j for the animals of g (size g.n).
void z_times(const packed_genotypes& g, std::span<const double> centre, std::span<const double> w,
             std::span<double> out, int threads);
// out_j = sum_i (x_ij - centre_j) t_i for the markers of g (size g.m); needs by_marker.
void zt_times(const packed_genotypes& g, std::span<const double> centre, std::span<const double> t,
              std::span<double> out, int threads);

struct snp_blup_solution {
  double mu = 0.0;
  std::vector<double> effects;  // g_j, one per marker
  std::vector<double> centre;   // 2 p_j of the reference
  double lambda = 0.0;          // lambda_snp used
  pcg_result stats;
};

// SNP-BLUP of the reference animals ref (by_marker kept) with phenotypes y.
// start: empty (all zero) or 1 + m values (mu, then the marker effects) of
// an earlier solve.
snp_blup_solution snp_blup(const packed_genotypes& ref, std::span<const double> y, double h2,
                           std::span<const double> start, const pcg_options& opt);
// The same with the centres and lambda_snp given.
snp_blup_solution snp_blup_solve(const packed_genotypes& ref, std::span<const double> y,
                                 std::span<const double> centre, double lambda, std::span<const double> start,
                                 const pcg_options& opt);

// GEBV of the animals of g (by_animal suffices) from a solution.
std::vector<double> gebv(const packed_genotypes& g, const snp_blup_solution& s, int threads);

}  // namespace qm
