// The SNP chip of a run ([chip] markers, min_maf): the markers that genomic
// BLUP and the PLINK and VCF files use, chosen once, from the marker
// haplotypes of the first generation of stage 2 (the generation whose QTL
// are chosen; every marker then carries alleles 1 and 2). The choice draws
// nothing from the random stream.
//
// The rule, exactly:
//   1. Eligible markers: those whose minor-allele frequency in that
//      generation, min(q, 1 - q) with q the share of its 2 nind haplotypes
//      carrying allele 2, is at least min_maf and above 0 (a chip marker
//      segregates).
//   2. Markers per chromosome: the chip's n markers are shared among the
//      chromosomes in proportion to their lengths (the base pair of their
//      last marker; equal shares when every length is 0) by largest
//      remainder: each gets the whole part of its quota, and the markers
//      left over go one each to the largest remainders, ties to the lower
//      chromosome. A chromosome whose share exceeds its eligible markers
//      keeps them all; the markers it cannot take are shared again, by the
//      same rule, among the chromosomes not yet limited, and so on until no
//      share exceeds its chromosome's eligible markers. Every chromosome
//      limited in a round is limited at once.
//   3. Markers on a chromosome of length L (base pairs) with a share of k:
//      the k targets are the centres of k equal segments, at
//      (2i + 1) L / (2k) for i = 0..k-1; in that order, each target takes
//      the eligible marker not yet taken that is nearest to it in base pairs
//      (the distance compared exactly, in integers), ties to the lower
//      marker number.
// The chip lists its markers in map order.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "config/parameters.hpp"
#include "population/genome_map.hpp"
#include "population/population.hpp"

namespace qm {

struct snp_chip {
  std::vector<int32_t> markers;  // 0-based marker offsets, ascending
  std::vector<double> maf;       // the minor-allele frequency of each in the generation it was chosen from
  bool defined() const { return !markers.empty(); }
  int32_t size() const { return static_cast<int32_t>(markers.size()); }
};

// The minor-allele frequency of every marker of m (alleles 1 and 2, either
// layout): min(q, 1 - q), q the share of the haplotypes that carry allele 2.
std::vector<double> minor_allele_frequencies(const haplotype_matrix& m, int threads = 1);

// Whether a marker of minor-allele frequency maf may be on a chip of min_maf.
inline bool chip_eligible(double maf, double min_maf) { return maf > 0.0 && maf >= min_maf; }

// Step 2 of the rule: the share of each chromosome (index c - 1) of n
// markers, given the chromosome lengths and the eligible markers of each.
// The eligible markers in total must be at least n.
std::vector<int32_t> chip_shares(std::span<const int64_t> lengths, std::span<const int32_t> eligible, int32_t n);

// Step 3 for one chromosome: positions (base pairs, not decreasing) of its
// eligible markers, the chromosome's length and its share k (at most
// positions.size()); the indexes into positions of the markers taken,
// ascending.
std::vector<int32_t> spread_on_chromosome(std::span<const int64_t> positions, int64_t length, int32_t k);

// The markers of a chip of n markers from the frequencies of every marker
// of map (the whole rule); eligible_count tells how many were eligible.
// Empty when fewer than n are eligible.
std::vector<int32_t> choose_chip_markers(const genome_map& map, std::span<const double> maf, double min_maf,
                                         int32_t n, int32_t& eligible_count);

// The chip of run p from the markers of the first generation of stage 2;
// an empty chip when p defines none. Stops the run when fewer markers than
// p.chip_markers reach p.chip_min_maf, with the number that do and what to
// change.
snp_chip choose_snp_chip(const run_parameters& p, const genome_map& map, const haplotype_matrix& markers,
                         int threads = 1);

// The chip's invariants against a map of nmark markers and its min_maf: as
// many frequencies as markers, markers ascending without repeats and within
// the map, every frequency from min_maf (and above 0) to 0.5
// (invariant_error naming the first fault).
void verify(const snp_chip& chip, int32_t nmark, double min_maf);

}  // namespace qm
