// The bytes the files of a run will take, worked out from its parameters
// and the choice of output before it starts (--check, and the check of the
// free space on the output folder's disk).
//
// The text files have fixed-width lines, so most sizes follow from the
// counts: a haplotype line is 2 + 6 + 2 + 6 + 2 x loci + 1 bytes (wider
// identifiers when they need more digits), a ggBV.out line 31 + 40 x traits,
// a ggEBV.out line 37, a .bed 3 + variants x ceil(animals / 4). The lines of
// a .bim, a .fam and summary.csv are estimated from the widths of their
// fields; the compressed VCF from the expected heterozygosity of the
// markers (the least exact of the estimates: within about 15 % on the runs
// it was measured on, fixed markers compress to almost nothing); report.html
// and the run-wide files (maps, genetic parameters, log.txt, run.json) from
// their fixed part and their part per generation, locus or file.
#pragma once
#include <cstdint>
#include <map>
#include <string>

#include "config/output_choice.hpp"
#include "config/parameters.hpp"
#include "config/stage_plan.hpp"

namespace qm {

struct kind_size {
  int64_t total = 0;           // bytes of every file of the kind
  int64_t generations = 0;     // generations with files of the kind
  int64_t per_generation = 0;  // bytes of one generation's files (the largest)
};

struct size_estimate {
  std::map<std::string, kind_size> kinds;  // the chosen kinds, by name
  int64_t run_wide = 0;                    // maps, genetic parameters, log.txt, run.json
  int64_t reference = 0;                   // genome.fa with its indexes (nucleotide alleles)
  int64_t total = 0;
};

size_estimate estimate_file_sizes(const run_parameters& p, const output_choice& c);

// The bytes of the per-generation files of generation step g (of stage
// block b), by kind; none when g.files_due is false.
std::map<std::string, int64_t> generation_file_sizes(const run_parameters& p, const output_choice& c,
                                                     const stage_block& b, const generation_step& g);

// "123 MB" style: B, kB, MB, GB with three significant digits.
std::string byte_text(int64_t bytes);

}  // namespace qm
