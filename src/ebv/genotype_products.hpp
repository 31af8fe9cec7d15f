// Internal to the genomic solvers (ebv/genomic.cpp, ebv/multi_trait_genomic.cpp):
// the products of packed genotypes with a vector, by 256-entry tables per
// byte of four genotypes, in the fixed order described in ebv/genomic.hpp.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "ebv/genomic.hpp"

namespace qm::snp_products {

inline constexpr int64_t group_block = 16;  // bytes of a row summed as one block (their tables take 32 KB)

// The rows of a matrix laid out for the products of a solve, which reads
// them once per iteration (see tile_rows in ebv/genomic.cpp).
struct tiled_rows {
  int64_t nrows = 0, blocks = 0;  // blocks of group_block bytes per row
  int64_t chunk = 0;              // rows of a part
  std::vector<uint8_t> data;
};

tiled_rows tile_rows(const uint8_t* rows, int64_t nrows, int64_t bytes, int threads);

// Z w (size g.n) on the tiled by-animal rows of g; tab is scratch for the tables.
void z_product_tiled(const packed_genotypes& g, const tiled_rows& rows, std::span<const double> centre,
                     std::span<const double> w, double* out, std::vector<double>& tab, int threads);
// Z' t (size g.m) on the tiled by-marker rows of g.
void zt_product_tiled(const packed_genotypes& g, const tiled_rows& cols, std::span<const double> centre,
                      std::span<const double> t, double* out, std::vector<double>& tab, int threads);

// The values of v added in index order.
double serial_sum(std::span<const double> v);

// Heterozygotes (n1) and homozygotes for allele 1 (n2) at every marker.
void marker_counts(const packed_genotypes& g, std::vector<int64_t>& n1, std::vector<int64_t>& n2);

// Stops unless there is one centre per marker of g.
void check_centre(const packed_genotypes& g, std::span<const double> centre);

}  // namespace qm::snp_products
