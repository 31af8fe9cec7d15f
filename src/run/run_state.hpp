// The typed state of a run: the immutable parameters, the genetic map, the
// population of the current generation, the pedigree history, the trait
// architecture once it is fixed, the breeding-value estimation (what
// selection on EBVs keeps from generation to generation), and the one
// random stream. The driver owns
// one; each step takes what it only reads as const and what it changes by
// reference.
#pragma once
#include <optional>

#include "config/parameters.hpp"
#include "ebv/evaluation.hpp"
#include "population/genome_map.hpp"
#include "population/meiosis.hpp"
#include "population/pedigree_history.hpp"
#include "population/population.hpp"
#include "population/snp_chip.hpp"
#include "qtl/architecture.hpp"
#include "run/parent_choice.hpp"
#include "random/stream.hpp"

namespace qm {

struct run_state {
  explicit run_state(const run_parameters& p) : params(p) {}
  const run_parameters& params;
  genome_map map;
  population pop;
  pedigree_history history;
  std::optional<trait_architecture> architecture;
  // Phenotypes, pedigree and genotypes for seltype 3 and 4; empty when no
  // stage uses them.
  ebv_evaluation ebv;
  // The index of every animal of the current generation when its stage
  // selects on an index (index i - 1 for animal i); empty otherwise.
  std::vector<double> index_scores;
  // The SNP chip, chosen in the first generation of stage 2 when the run
  // defines one ([chip]); empty before and otherwise.
  snp_chip chip;
  // Relationships and the report of optimum contributions, for stages that
  // choose or pair parents beyond truncation and the classic designs.
  parent_choice_state choice;
  random_stream rng;
  // Mutation happens in the historical generations until the recoding
  // generation, or not at all when the stage-1 block switches it off.
  bool mutation_on = true;
  offspring_buffers buffers;  // the haplotypes of the generation being made
};

}  // namespace qm
