// The genetic map: markers 1..nmark and candidate-QTL loci 1..nqloc,
// numbered chromosome by chromosome; candidate locus j of a chromosome lies
// between its markers j and j + 1.
//
// Positions: in Morgan from the first marker of the chromosome, and in base
// pairs at 1 Morgan = 10^8 base pairs. With random gaps (maptype 1) the
// marker positions in base pairs are the ones "mposition.out" lists (the sum
// of the truncated gaps); with even spacing (maptype 0, and also without
// recombination) marker j of a chromosome lies at (j - 1) chrlen / (nmpc - 1)
// Morgan, truncated to whole base pairs. A candidate locus lies at the
// position its recombination split gives (the midpoint for even spacing).
#pragma once
#include <cstdint>
#include <vector>

#include "config/parameters.hpp"
#include "random/stream.hpp"

namespace qm {

struct locus_position {
  int32_t chromosome = 0;  // 1..nchr
  double morgan = 0.0;     // from the first marker of the chromosome
  int64_t base_pair = 0;
};

struct genome_map {
  int32_t nchr = 0, nmpc = 0, maptype = 0;
  std::vector<locus_position> markers;     // index: marker number - 1
  std::vector<locus_position> candidates;  // index: candidate-locus number - 1
  // Recombination fractions between each candidate locus and its left and
  // right marker (index: candidate-locus number - 1).
  std::vector<double> recomb_left, recomb_right;
  // With random gaps: the gap before each marker in base pairs (0 for the
  // first marker of a chromosome), as "mposition.out" lists it.
  std::vector<int64_t> gap_base_pairs;

  int32_t nmark() const { return static_cast<int32_t>(markers.size()); }
  int32_t nqloc() const { return static_cast<int32_t>(candidates.size()); }
  // Length of chromosome c (1-based) in base pairs: the position of its last marker.
  int64_t chromosome_base_pairs(int32_t c) const { return markers[static_cast<size_t>(c) * nmpc - 1].base_pair; }
};

// The map of the run: even spacing (maptype 0), random gaps drawn from the
// stream (maptype 1), or no recombination (any other value).
genome_map build_genome_map(const run_parameters& p, random_stream& rng);

// Haldane's map function: recombination fraction of a distance in Morgan.
double haldane(double x);

class byte_reader;
class byte_writer;
// The map in a history file (docs/history_format.md, section MAP): nchr,
// nmpc and maptype, the markers and the candidate loci, the recombination
// fractions, the gaps. The decoder checks every count against the bytes
// left before it allocates, and that the parts fit together (decode_error).
void encode_genome_map(byte_writer& w, const genome_map& m);
genome_map decode_genome_map(byte_reader& r);

// ---- Check of the invariants of a map of chromosomes of chrlen Morgan, as
// build_genome_map makes it (invariant_error naming the first fault, one
// pass over the loci): nchr and nmpc and the counts of loci, fractions and
// gaps that they give; every locus on the chromosome its number gives; on
// every chromosome the first marker at 0, the markers in order (finite
// positions, never decreasing: two loci may share a position, since a gap
// in base pairs is truncated and a random gap can be split at its end),
// each candidate locus between its two markers, every position within the
// chromosome (chrlen Morgan, and the base pairs that gives); base pairs as
// the map makes them from Morgans (10^8 a Morgan, truncated; with random
// gaps truncated gap by gap, so at most one less per gap); recombination
// fractions from 0 to 0.5 (0 without recombination); with random gaps the
// gap before each marker the difference of its base pairs and the last.
void verify(const genome_map& m, double chrlen);

}  // namespace qm
