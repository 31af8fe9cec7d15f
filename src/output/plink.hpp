// A generation's marker genotypes as a PLINK 1 binary fileset:
// PREFIX.bed (SNP-major, magic 0x6c 0x1b 0x01), PREFIX.bim, PREFIX.fam.
//
// Alleles (see genotype_view.hpp): .bim column 5 (A1) is the variant's alt
// letter ("B" by default) = allele 2 and column 6 (A2) its ref letter ("A")
// = allele 1. PLINK 1.9 counts A1, allele 2; plink2 reads A1 as ALT and A2
// as REF, so it sees REF / ALT exactly as in the VCF file, and its --freq
// gives the frequency of allele 2. In .bed each
// genotype is 00 (two copies of allele 2), 10 (one of each) or 11 (two copies
// of allele 1); 01 (missing) is never written. Animals fill a byte from its
// low bits up; the last byte of a variant is padded with 00.
//
// .fam: family "1" for every animal (one population), the identifier, sire
// and dam as the animal list gives them ("0" unknown), sex 1 male / 2 female
// / 0 unknown,
// and the phenotype of trait 1: for a threshold trait PLINK's case/control
// coding (1 = control, phenotype 0; 2 = case, phenotype 1), otherwise the
// value as the shortest decimal that reads back to the same double. -9
// (missing) only for an animal without a phenotype (NaN). Note that PLINK
// reads a quantitative column whose values are all 0, 1, 2 or -9 as
// case/control.
//
// Reading it with plink2: every animal with a known sire or dam counts as a
// non-founder (also when the parents are not in the file), and --freq uses
// founders only unless given --nonfounders; the genotype files of a run
// therefore write a parent outside the fileset as "0" (see
// unknown_parents_outside). --export A counts REF (allele 1) unless told
// otherwise with --export-allele.
//
// .bim: chromosome number, name, position in cM rounded to six decimals
// (1e-8 Morgan; trailing zeros left out), position in bp, alt, ref. PLINK's
// default chromosome set is human's, where 23 and up mean X, Y, the
// pseudo-autosomal regions and MT (plink2 then drops heterozygous X
// genotypes of males): read a fileset of more than 22 chromosomes with
// plink2 --chr-set N no-xy.
//
// The files are written as "<name>.tmp" and renamed when complete; every
// failure throws file_error (run/atomic_file.hpp) naming the file. The .bed
// bytes do not depend on nthreads.
#pragma once
#include <string>
#include <vector>

#include "output/genotype_view.hpp"

namespace qm {

// Writes the fileset; returns the names of the three files written.
std::vector<std::string> write_plink(const std::string& prefix, const genotype_view& g,
                                     const std::vector<variant_info>& variants, const animal_list& animals,
                                     int nthreads);

// The .bed rows (without the three magic bytes) of variants v0..v0+nv-1:
// nv rows of (nanimals + 3) / 4 bytes into out. wide = false keeps to the
// 16-byte kernel where the processor would allow the 32-byte one (both give
// the same bytes). False when an allele other than 1 or 2 was met.
bool pack_bed_rows(const genotype_view& g, int32_t v0, int32_t nv, uint8_t* out, bool wide = true);

}  // namespace qm
