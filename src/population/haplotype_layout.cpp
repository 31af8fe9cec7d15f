// Conversions of a whole haplotype matrix between its two layouts: one byte
// per allele, and one bit per allele for loci with the alleles 1 and 2 (rows
// as in population/haplotype_bits); and a matrix in a history file, which
// holds the rows of the second layout word for word.
#include <string>
#include <vector>

#include "base/messages.hpp"
#include "base/threads.hpp"
#include "population/population.hpp"
#include "population/population_codec.hpp"

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

void encode_haplotype_matrix(byte_writer& w, const haplotype_matrix& m, const char* locus_kind) {
  const int64_t nw = haplotype_words(m.loci());
  w.i32(m.loci());
  w.i32(m.haplotypes());
  w.u64(static_cast<uint64_t>(nw));
  if (m.packed()) {  // the rows are the file's words
    for (int32_t h = 0; h < m.haplotypes(); ++h) w.u64s(m.row(h), static_cast<size_t>(nw));
    return;
  }
  std::vector<uint64_t> words(static_cast<size_t>(nw));
  for (int32_t h = 0; h < m.haplotypes(); ++h) {
    const int64_t bad = pack_haplotype(m.column(h), m.loci(), words.data());
    if (bad >= 0)
      throw encode_error(std::string(locus_kind) + " " + std::to_string(bad + 1) + " of haplotype " +
                         std::to_string(h + 1) + " has allele " + std::to_string(m.column(h)[bad]));
    w.u64s(words.data(), words.size());
  }
}

haplotype_matrix decode_haplotype_matrix(byte_reader& r, int32_t loci, int32_t haplotypes) {
  const int32_t nloci = r.i32(), nhap = r.i32();
  const uint64_t nw = r.u64();
  if (nloci != loci || nhap != haplotypes || nw != static_cast<uint64_t>(haplotype_words(nloci)))
    throw decode_error(r.label() + " holds " + std::to_string(nhap) + " haplotypes of " + std::to_string(nloci) +
                       " loci in " + std::to_string(nw) + " words each; the map and the population call for " +
                       std::to_string(haplotypes) + " of " + std::to_string(loci));
  if (nw > 0 && static_cast<uint64_t>(nhap) > r.left() / 8 / nw)
    throw decode_error(r.label() + " ends before its last haplotype");
  // Read into the packed layout (the run unpacks it when it keeps bytes),
  // word for word: bits set past the last locus are kept for verify to find.
  haplotype_matrix m;
  m.resize_packed(nloci, nhap);
  for (int32_t h = 0; h < nhap; ++h) r.u64s(m.row(h), static_cast<size_t>(nw));
  return m;
}

}  // namespace qm
