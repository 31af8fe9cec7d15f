// The genotype files that other tools read, for every generation that writes
// result files: with --plink a PLINK 1 binary fileset NNgeno.bed/.bim/.fam
// of the markers; with --vcf a phased, BGZF-compressed NNgeno.vcf.gz with its
// .csi index. --plink-qtl and --vcf-qtl add the QTL as variants named
// QTL0001, ... in the order of QMAP.out, placed by position among the markers.
//
// Alleles: by default allele 1 is "A", allele 2 is "B" (VCF REF A, ALT B;
// PLINK A1 = B, A2 = A, so plink2 reads the same REF/ALT). With --alleles
// nucleotide each locus has a reference and an alternative base instead
// (output/reference_genome.hpp), and the run writes genome.fa with its
// indexes once, with its first genotype files; nothing else of the run
// changes. Positions: the base pair of the map plus 1 (1-based, so the first
// marker of a chromosome is at 1), and centimorgans in the .bim. Samples: the
// identifiers of NNBV.out, family "1", sire and dam, sex, the phenotype of
// trait 1 (case 2 / control 1 for a threshold trait). A parent who is not in
// the fileset is written as 0 (unknown), as PLINK expects; --fam-parents all
// writes every parent as NNBV.out gives it (0 in generation 0). VCF genotypes
// are "a|b" with the haplotype from the sire first.
//
// Markers: in a run with a SNP chip ([chip]) the files hold the chip's
// markers only, in map order (with --plink-qtl and --vcf-qtl the QTL among
// them); --all-markers writes every marker.
#pragma once
#include <memory>

#include "config/options.hpp"
#include "run/observer.hpp"

namespace qm {

std::unique_ptr<generation_observer> make_genotype_files(const run_options& o);

}  // namespace qm
