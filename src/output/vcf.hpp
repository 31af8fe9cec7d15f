// A generation's marker genotypes as a phased VCF 4.2 file, BGZF-compressed
// (PREFIX.vcf.gz) with a CSI index (PREFIX.vcf.gz.csi), written with htslib.
//
// Header: ##fileformat=VCFv4.2, ##source=quillmere VERSION,
// ##quillmereParameterFile=NAME, ##quillmereSeed=SEED, one ##contig line per
// chromosome with its length in bp, ##reference=NAME when a reference
// sequence is named (nucleotide alleles), FORMAT GT; the samples are the animal
// identifiers. Records: CHROM = chromosome number, POS = position in bp,
// ID = marker name, REF the variant's ref (allele 1, by default "A"), ALT its
// alt (allele 2, by default "B"), QUAL, FILTER and
// INFO missing, GT "a|b" with the sire's haplotype first (0 = allele 1,
// 1 = allele 2). Every record carries both alleles, also at a locus where one
// of them is absent, so the records match the PLINK fileset one to one.
//
// Positions: the caller gives 1-based positions; each must be at least 1 and
// at most its contig's length, and positions must not decrease within a
// chromosome, whose variants come together. Equal positions (markers closer
// than one base pair) are written as they are: VCF allows them, the index
// keeps both, and the marker names tell them apart. Anything else throws
// file_error.
//
// Compression (BGZF level 3) runs on htslib's own thread pool (nthreads
// threads); the bytes do not depend on nthreads. The index is built from the finished file (as
// bcftools index -c does, the same bytes). Both files are written as "<name>.tmp" and renamed when complete;
// every failure throws file_error (run/atomic_file.hpp) naming the file.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "output/genotype_view.hpp"

namespace qm {

struct vcf_header_info {
  std::string version;                // program version, for ##source
  std::string parameter_file;         // name of the parameter file
  int64_t seed = 0;                   // seed in use
  std::vector<int64_t> contig_length;  // chromosome c (1-based) is contig_length[c - 1] bp long
  std::string reference;              // the reference sequence for ##reference; empty: none (A/B alleles)
};

// Writes PREFIX.vcf.gz and PREFIX.vcf.gz.csi; returns the two names.
std::vector<std::string> write_vcf(const std::string& prefix, const genotype_view& g,
                                   const std::vector<variant_info>& variants, const animal_list& animals,
                                   const vcf_header_info& info, int nthreads);

}  // namespace qm
