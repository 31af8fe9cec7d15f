// Conversions of a whole haplotype matrix between its two layouts: one byte
// per allele, and one bit per allele for loci with the alleles 1 and 2 (rows
// as in population/haplotype_bits).
#include <string>
#include <vector>

#include "base/messages.hpp"
#include "base/threads.hpp"
#include "population/population.hpp"

namespace qm {

void pack_haplotypes(haplotype_matrix& geno, int nthreads) {
  if (geno.packed()) return;
  const int32_t nloci = geno.loci(), nhap = geno.haplotypes();
  haplotype_matrix bits;
  bits.resize_packed(nloci, nhap, nthreads);
  std::vector<int64_t> bad(static_cast<size_t>(std::max(1, nhap)), -1);
  run_parallel_ranges(nthreads, nhap, [&](int64_t a, int64_t b) {
    for (int32_t h = static_cast<int32_t>(a); h < b; ++h)
      bad[static_cast<size_t>(h)] = pack_haplotype(geno.column(h), nloci, bits.row(h));
  });
  for (int32_t h = 0; h < nhap; ++h)
    if (bad[static_cast<size_t>(h)] >= 0) {
      const int32_t l = static_cast<int32_t>(bad[static_cast<size_t>(h)]);
      stop("Locus " + std::to_string(l + 1) + " of haplotype " + std::to_string(h + 1) + " carries allele " +
           std::to_string(geno.allele(l, h)) +
           " after the recoding to two alleles; the one-bit layout takes alleles 1 and 2 only.");
    }
  geno.swap(bits);
}

void unpack_haplotypes(haplotype_matrix& geno, int nthreads) {
  if (!geno.packed()) return;
  haplotype_matrix bytes;
  bytes.resize(geno.loci(), geno.haplotypes(), nthreads);
  run_parallel_ranges(nthreads, geno.haplotypes(), [&](int64_t a, int64_t b) {
    for (int32_t h = static_cast<int32_t>(a); h < b; ++h) unpack_haplotype(geno.row(h), geno.loci(), bytes.column(h));
  });
  geno.swap(bytes);
}

}  // namespace qm
