// Nucleotide alleles (--alleles nucleotide) and the reference sequence that
// goes with them.
//
// Every locus of the map gets a reference base (allele 1) and an alternative
// base (allele 2). Both are a function of the run's seed, the chromosome and
// the base-pair position alone: a hash, not a draw from the run's random
// stream, so the run and all its other files stay exactly as without the
// option, and two loci at the same position (markers closer than one base
// pair, a candidate locus on a marker) get the same bases. The reference base
// is A, C, G or T with equal chances; the alternative base is the transition
// partner (A<->G, C<->T) with chance 2/3 and one of the two transversions with
// chance 1/6 each, so transitions outnumber transversions about 2 to 1 as in
// real SNP panels.
//
// genome.fa holds the reference sequence: one record per chromosome, named
// by its number as in the VCF and .bim files, as long as its VCF contig (the
// last marker's base pair + 1), with the reference base at the 1-based
// position of every marker and candidate QTL locus and N everywhere else, 60
// bases a line. At 10^8 base pairs per Morgan the text would be about as
// large as the genome, nearly all N, so it is BGZF-compressed (the format
// bgzip writes; zcat shows the text), about 100-fold, and comes with its two
// indexes,
// genome.fa.fai and genome.fa.gzi, which htslib-based tools (bcftools norm
// -f, samtools faidx) read as they are.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "population/genome_map.hpp"

namespace qm {

struct nucleotide_pair {
  char ref = 'A';
  char alt = 'C';
};

// The bases of the locus at 1-based position pos of chromosome chromosome in
// a run with this seed.
nucleotide_pair bases_at(int64_t seed, int32_t chromosome, int64_t pos);

// True for a transition (A<->G, C<->T).
bool is_transition(char a, char b);

inline constexpr const char* reference_fasta_name = "genome.fa";
inline constexpr const char* reference_index_names[] = {"genome.fa.fai", "genome.fa.gzi"};

// Writes PATH (genome.fa), PATH.fai and PATH.gzi for the map of a run with
// this seed; each is written as NAME.tmp and renamed when all three are
// complete. file_error naming the file on any failure. The bytes depend on
// the seed and the map only. The BGZF blocks are made here (the text is
// nearly all repeats of one line): about 0.06 s per 10^8 base pairs.
void write_reference_genome(const std::string& path, const genome_map& map, int64_t seed);

}  // namespace qm
