// The genotype files that other tools read, for every generation that writes
// result files: with --plink a PLINK 1 binary fileset NNgeno.bed/.bim/.fam
// of the markers (--plink-qtl adds the QTL as variants named QTL0001, ... in
// the order of QMAP.out, placed by position among the markers); with --vcf a
// phased, BGZF-compressed NNgeno.vcf.gz with its .csi index.
//
// Alleles: allele 1 is "A", allele 2 is "B" (VCF REF A, ALT B; PLINK A1 = B,
// A2 = A, so plink2 reads the same REF/ALT). Positions: the base pair of the
// map plus 1 (1-based, so the first marker of a chromosome is at 1), and
// centimorgans in the .bim. Samples: the identifiers of NNBV.out, family "1",
// sire and dam (0 in generation 0), sex, the phenotype of trait 1 (case 2 /
// control 1 for a threshold trait). VCF genotypes are "a|b" with the
// haplotype from the sire first.
#pragma once
#include <memory>

#include "config/options.hpp"
#include "run/observer.hpp"

namespace qm {

// The PLINK fileset (kind "plink"), and the VCF (kind "vcf"), of every
// generation that writes files.
std::unique_ptr<generation_observer> make_plink_files(const run_options& o);
std::unique_ptr<generation_observer> make_vcf_files(const run_options& o);

}  // namespace qm
