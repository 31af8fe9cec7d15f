// What the genotype writers (PLINK, VCF) read: a view of one generation's
// haplotypes plus plain descriptions of the variants and the animals. The
// view owns nothing; the arrays it points to must outlive the write.
//
// Alleles are coded 1 and 2. Both formats name them the same way, by the
// letters of the variant (by default "A" and "B"; with --alleles nucleotide
// the bases of output/reference_genome.hpp):
//   allele 1 -> ref (VCF REF, PLINK A2 / plink2 REF)
//   allele 2 -> alt (VCF ALT, PLINK A1 / plink2 ALT, the counted allele)
// so a genotype's dosage in either format is its number of copies of allele 2.
// A locus carrying any other allele value cannot be written; the writers
// throw file_error naming the animal and the variant.
#pragma once
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace qm {

struct genotype_view {
  int32_t nanimals = 0;  // animal i (0-based) owns haplotypes 2i (from its sire) and 2i+1 (from its dam)
  int32_t nloci = 0;     // loci per haplotype column
  const int8_t* const* haplotype = nullptr;  // haplotype[h]: nloci alleles, each 1 or 2
  // Or one bit per allele (haplotype null): bits[h] is the row of haplotype
  // h, bit l % 64 of word l / 64 set when its allele at locus l is 2.
  const uint64_t* const* bits = nullptr;
  const int32_t* pick = nullptr;  // variant k is locus pick[k] (0-based); null = all loci in order
  int32_t nvariants = 0;          // variants written (nloci when pick is null)
  // The allele of haplotype h at locus l, in either layout.
  int32_t allele(int32_t h, int32_t l) const {
    return bits ? 1 + static_cast<int32_t>((bits[h][l >> 6] >> (l & 63)) & 1u) : haplotype[h][l];
  }
};

// One written variant (marker).
struct variant_info {
  int32_t chromosome = 0;  // 1, 2, ...
  std::string name;        // e.g. "chr1-0001"; no blanks
  double cm = 0.0;         // position in centimorgan
  int64_t bp = 0;          // position in base pairs (1-based in VCF)
  char ref = 'A';          // allele 1
  char alt = 'B';          // allele 2
};

// One animal, with the texts of the classic BV file.
struct animal_info {
  std::string family = "1";  // PLINK's family: the line's name in a run with lines
  std::string id;          // e.g. "050012"
  std::string sire = "0";  // "0" when unknown
  std::string dam = "0";
  int32_t sex = 0;         // 1 male, 2 female, 0 unknown
  double phenotype = std::numeric_limits<double>::quiet_NaN();  // trait 1; NaN = none
};

struct animal_list {
  std::vector<animal_info> animals;  // one per animal of the view, in its order
  bool threshold_trait = false;      // trait 1 is a 0/1 threshold trait
};

// Writes every sire and dam that is not one of the list's animals as "0"
// (unknown), as PLINK expects of a parent outside the fileset: the animals
// whose parents are both outside count as founders.
void unknown_parents_outside(animal_list& animals);

// Checks counts, the choice of loci and the descriptions against each other
// (names and identifiers non-empty without blanks, sex 0..2, a threshold
// phenotype 0, 1 or NaN); file_error naming file otherwise. Alleles are
// checked by the writers as they go.
void check_genotypes(const std::string& file, const genotype_view& g, const std::vector<variant_info>& variants,
                     const animal_list& animals);
// Finds the first allele other than 1 or 2 (variant by variant, haplotype by
// haplotype) and throws file_error naming file, the animal and the variant.
[[noreturn]] void throw_bad_allele(const std::string& file, const genotype_view& g,
                                   const std::vector<variant_info>& variants, const animal_list& animals);

}  // namespace qm
