// The result files of one generation g: "ggMTYPE.out" (marker haplotypes),
// "ggQTYPE.out" (QTL haplotypes) and "ggBV.out" (pedigree, sex, selection
// mark, true breeding values and phenotypes; with dominance the genotypic
// value of each trait after its pair, with lines the line of each animal).
#pragma once
#include <string>

#include "base/output_folder.hpp"
#include "config/parameters.hpp"
#include "population/pedigree_history.hpp"
#include "population/population.hpp"
#include "qtl/architecture.hpp"

namespace qm {

// The haplotype files alone (ggMTYPE.out, ggQTYPE.out), and the value file
// alone (ggBV.out): the same bytes as write_generation_files writes.
void write_haplotype_files(const output_folder& folder, const run_parameters& p, const population& pop,
                           const trait_architecture& a, int64_t g);
// h: the pedigree history, for the identifiers of parents kept from earlier
// generations (null: every parent is of the generation before).
void write_value_file(const output_folder& folder, const run_parameters& p, const population& pop, int64_t g,
                      const pedigree_history* h = nullptr);

void write_generation_files(const output_folder& folder, const run_parameters& p, const population& pop,
                            const trait_architecture& a, int64_t g, const pedigree_history* h = nullptr);

}  // namespace qm
