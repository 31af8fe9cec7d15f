// Choosing and pairing parents beyond truncation and the three classic
// designs: overlapping generations ([stage.ages]), optimum contribution
// selection ([stage.contributions]), the mating rules and minimum-coancestry
// mating. A stage that uses none of them never comes here, and its files
// are those of truncation and the classic designs.
//
// Candidates. With overlapping generations the selected sires and dams of
// earlier generations that are still young enough stay candidates
// (population::kept); they are numbered after the current generation's
// animals and ranked with them on the same criterion: their true breeding
// values and phenotypes as recorded, their EBVs from the current
// evaluation.
//
// Matings. A mating is a family of full sibs. The stage's `dams` matings
// are made in every generation (each selected dam mated once under
// truncation; under optimum contributions each parent gets the number of
// matings its contribution rounds to), and the stage's animals are shared
// among them as evenly as possible (the first ones one more). The matings are
// paired by an exact allocation (population/mate_allocation): the least total
// coancestry of mates for "min_coancestry", a random legal pairing for the
// other designs. The mating rules forbid pairs; "random_avoid_sibs" forbids
// full and half sibs.
//
// Relationships. Pedigree relationships count the animals of the first
// generation of stage 2 as unrelated founders and are kept, dense, for the
// living candidates only (population/relationships). Genomic relationships
// (VanRaden's first method) use the chip or every marker, centred on the
// allele frequencies of the first generation of stage 2.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "config/parameters.hpp"
#include "population/relationships.hpp"

namespace qm {

struct run_state;

// What the last selection by optimum contributions found (for the log and
// summary.csv).
struct contribution_report {
  bool made = false;          // the last selection used optimum contributions
  double value = 0.0;         // c'x
  double coancestry = 0.0;    // c'Ac/2 achieved
  double limit = 0.0;         // C_next
  double current = 0.0;       // C_now: what the last selection reached, or the current generation's mean coancestry
  int32_t sires = 0, dams = 0;  // parents with matings
  bool feasible = true;       // false: the limit is below the least coancestry reachable
};

// What the run keeps for these choices.
struct parent_choice_state {
  living_relationships relationships;  // pedigree, when a stage needs it
  bool relationships_on = false;
  std::vector<double> base_frequency;  // allele 2 per marker, first generation of stage 2 (genomic)
  contribution_report last;
  // The coancestry the last selection reached, when it was by optimum
  // contributions (the C_now of the next).
  bool previous_made = false;
  double previous_coancestry = 0.0;
};

// Whether the parents now selected must be paired by allocation whatever
// the next stage's design: they came with their numbers of matings
// (optimum contributions) or include kept animals.
inline bool parents_allocated(const population& pop) { return !pop.sire_matings.empty() || pop.kept.size() > 0; }

// The first generation of stage 2 is made: its animals become the founders
// of the pedigree relationships, its marker frequencies the base of the
// genomic ones (each only when some stage needs it).
void start_parent_choice(run_state& st);

// The parents of the next generation's animals (numbers among the current
// generation's animals and the kept ones) for a stage that allocates its
// matings (stage_block::allocates_matings). file_generation: that of the
// next generation (the parents' is one less), for the identifiers in messages.
std::vector<parent_pair> pair_parents(run_state& st, const stage_block& b, int64_t file_generation);

// Before the meiosis: the kept animals' haplotypes join the parents'
// generation's, after them, so that parent number nind + k is kept animal k.
void join_kept_haplotypes(run_state& st);
// With kept animals: the offspring go into the pedigree history by their
// parents' positions, and the kept haplotypes join the parents' (above).
void append_with_kept(run_state& st, const std::vector<parent_pair>& offspring);

// The offspring are made (their haplotypes in pop, the parents' still in
// st.buffers): the selected parents that stay candidates under b's ages
// become the kept animals, and the relationships move on to the new
// living animals. parents_nind: the size of the parents' generation.
void renew_candidates(run_state& st, const stage_block& b, int32_t parents_nind);

// Selection for a stage that allocates its matings, or with kept animals:
// truncation (or random choice) among every candidate, or optimum
// contributions. scores: the criterion of the current generation's
// animals (EBVs or the index; empty for the true values and phenotypes).
void select_candidates(run_state& st, const stage_block& b, std::span<const double> scores);

}  // namespace qm
