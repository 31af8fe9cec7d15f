#include "run/generation.hpp"

#include <algorithm>
#include <string>

#include "base/fixed.hpp"
#include "base/interrupt.hpp"
#include "base/messages.hpp"
#include "base/textfile.hpp"
#include "base/threads.hpp"
#include "population/mating.hpp"
#include "population/meiosis.hpp"
#include "population/recode.hpp"
#include "population/snp_chip.hpp"
#include "qtl/choose.hpp"
#include "qtl/genetic_parameters.hpp"
#include "random/replicate.hpp"
#include "run/lines.hpp"
#include "run/parent_choice.hpp"
#include "run/verify_state.hpp"
#include "values/breeding_values.hpp"
#include "values/selection.hpp"
#include "values/selection_index.hpp"
#include "values/threshold.hpp"

namespace qm {

void generation_message(int64_t g) {
  std::string s;
  add_imin(s, g, 5, 1);
  s += generation_line_end;
  show_per_generation(s);
}

namespace {

// Checked builds: the state is verified after every step (check_state
// stops the run at a fault). CMake sets QM_VERIFY for this file only.
#ifndef QM_VERIFY
#define QM_VERIFY 0
#endif
constexpr bool verify_each_step = QM_VERIFY != 0;

// Every allele of m set to v, in parallel.
void fill_alleles(haplotype_matrix& m, int8_t v, int threads) {
  run_parallel_ranges(threads, m.haplotypes(), [&](int64_t a, int64_t b) {
    std::fill(m.column(static_cast<int32_t>(a)), m.column(static_cast<int32_t>(b - 1)) + m.loci(), v);
  });
}

}  // namespace

void start_population(run_state& st, const observer_list& observers) {
  const run_parameters& p = st.params;
  const stage_block& b = p.stage1();
  start_stream(st.rng, p.seed);
  if (p.replicate > 0) start_stream(st.rng, replicate_seed(st.rng.start_seed, p.replicate));
  st.map = build_genome_map(p, st.rng);
  observers.map_built(p, st.map);
  population& pop = st.pop;
  pop.nind = b.nind;
  pop.markers.resize(st.map.nmark(), pop.haplotypes(), p.threads);
  pop.candidates.resize(st.map.nqloc(), pop.haplotypes(), p.threads);
  fill_alleles(pop.markers, 1, p.threads);
  fill_alleles(pop.candidates, 1, p.threads);
  pop.marker_alleles.reset(st.map.nmark());
  pop.candidate_alleles.reset(st.map.nqloc());
  pop.parents.resize(static_cast<size_t>(b.nind));
  for (int32_t i = 1; i <= b.nind; ++i) pop.parents[static_cast<size_t>(i - 1)] = {i, i};
  pop.sires.clear();
  pop.dams.clear();
  for (int32_t k = 1; k <= b.nsire && k <= b.nind / 2; ++k) pop.sires.push_back(2 * k - 1);
  for (int32_t k = 1; k <= b.ndam && k <= b.nind / 2; ++k) pop.dams.push_back(2 * k);
  st.history.start(b.nind);
  st.history.reserve(stage_plan(p).animals());
  st.mutation_on = b.nomut != 1;
  st.ebv.plan(p);
  if constexpr (verify_each_step) check_state(st, run_step::start, 127);
}

void run_generation(run_state& st, const stage_block& b, const generation_step& step, const observer_list& observers) {
  const run_parameters& p = st.params;
  population& pop = st.pop;
  stop_if_signalled();
  textfile::stop_if_background_failed();
  if (step.kind == generation_kind::recoding) st.mutation_on = false;
  const bool mutate = st.mutation_on && step.kind == generation_kind::history_with_mutation;
  // Checked builds: the highest allele number before this generation's
  // recoding and after it (any number until the recoding, 1 and 2 from then on).
  const bool recoded_before = step.kind != generation_kind::history_with_mutation && step.kind != generation_kind::recoding;
  const int8_t max_allele_before = recoded_before ? 2 : 127;
  const int8_t max_allele_after = step.kind == generation_kind::history_with_mutation ? 127 : 2;

  // Stages 2 on may choose and pair parents beyond the classic designs, and
  // parents kept from earlier generations are always paired so.
  const bool with_values = step.kind == generation_kind::qtl_choice || step.kind == generation_kind::selection;
  const bool allocating = (with_values && b.allocates_matings()) || parents_allocated(pop);
  const int32_t parents_nind = pop.nind;
  std::vector<line_in_generation> lines;  // of the generation made now
  std::vector<parent_pair> offspring = allocating        ? pair_parents(st, b, step.file_generation)
                                       : !b.lines.empty() ? mate_lines(p, b, pop, st.rng, lines)
                                                          : mate_parents(pop, b.matetype, b.nind, st.rng);
  if (pop.kept.size() > 0)
    append_with_kept(st, offspring);
  else
    st.history.append(offspring);
  if constexpr (verify_each_step) check_state(st, run_step::mating, max_allele_before, offspring);
  // A historical generation with mutation keeps its allele bookkeeping, which
  // the meiosis gathers while it copies the haplotypes.
  const bool history = step.kind == generation_kind::history_with_mutation;
  pop.parents_kept_position = pop.kept.position;
  pop.parents_kept_male = pop.kept.male;
  make_offspring(pop, std::move(offspring), {st.map, mutate ? p.mutm : 0.0, mutate ? p.mutq : 0.0}, st.buffers,
                 st.rng, p.threads, history);
  pop.lines = std::move(lines);
  if (step.kind == generation_kind::selection &&
      (st.choice.relationships_on || b.ages.overlapping() || pop.kept.size() > 0))
    renew_candidates(st, b, parents_nind);
  if constexpr (verify_each_step) check_state(st, run_step::meiosis, max_allele_before);

  switch (step.kind) {
    case generation_kind::history_with_mutation:
      break;
    case generation_kind::recoding:
      recode_to_two_alleles(pop.markers, pop.marker_alleles, p.threads);
      recode_to_two_alleles(pop.candidates, pop.candidate_alleles, p.threads);
      pop.marker_alleles.carried_valid = pop.candidate_alleles.carried_valid = false;
      if (p.packed_genome) {
        // Two alleles per locus from here on: one bit each. The buffers hold
        // the parents, no longer needed: their pages go first, and the bits
        // are made in them.
        st.buffers.markers.release();
        st.buffers.candidates.release();
        pack_haplotypes(pop.markers, p.threads);
        pack_haplotypes(pop.candidates, p.threads);
      }
      if constexpr (verify_each_step) check_state(st, run_step::recoding, 2);
      break;
    case generation_kind::history_without_mutation:
      break;
    case generation_kind::qtl_choice: {
      // The chip comes first: a run short of markers for it stops before
      // any file of stage 2 is written. It draws nothing.
      st.chip = choose_snp_chip(p, st.map, pop.markers, p.threads);
      st.ebv.use_markers(st.chip.markers);
      start_parent_choice(st);
      st.architecture = choose_qtl(p, pop, st.rng);
      {
        const realised_parameters r = realised_genetic_parameters(p, *st.architecture, pop.candidates);
        st.architecture->base_genetic_covariance.assign(r.additive_cov.begin(), r.additive_cov.end());
        st.architecture->base_residual_covariance.assign(r.residual_cov.begin(), r.residual_cov.end());
      }
      const generation_view fixed{step,       p,       st.map,           pop, &*st.architecture,
                                  st.history, &st.ebv, st.rng.start_seed, {}, &st.chip};
      observers.architecture_fixed(fixed);
      compute_values(p, *st.architecture, pop, st.rng);
      if (p.thresh == 1) fix_threshold(p, *st.architecture, pop);
      hide_unrecorded_phenotypes(p, pop);
      show("Getbv passed.");
      break;
    }
    case generation_kind::selection:
      compute_values(p, *st.architecture, pop, st.rng);
      if (p.thresh == 1) classify_threshold_trait(*st.architecture, pop);
      hide_unrecorded_phenotypes(p, pop);
      break;
  }
  // Selection on EBVs: every generation with values is recorded; the stage's
  // own criterion decides whether this one is evaluated.
  const selection_criterion criterion = b.criterion();
  const int32_t current = st.history.generations() - 1;
  if (step.kind == generation_kind::qtl_choice || step.kind == generation_kind::selection)
    st.ebv.record_generation(pop, st.history, p.threads);
  if (selects_on_ebv(criterion)) st.ebv.estimate(criterion, st.history, p.h2[0], p.threads);
  std::span<const double> scores = st.ebv.scores_for(criterion, current);
  st.index_scores.clear();
  if (criterion == selection_criterion::index) {
    if (!st.architecture) stop("Selection on an index needs the values of stage 2 and later.");
    if (selects_on_ebv(b.index.criterion)) {
      st.ebv.estimate_traits(b.index.criterion, st.history, st.architecture->base_genetic_covariance,
                             st.architecture->base_residual_covariance, p.threads);
      st.index_scores = st.ebv.index_of(b.index.weights);
    } else {
      index_of_values(p, b.index, *st.architecture, pop, st.index_scores);
    }
    scores = st.index_scores;
  }
  if ((with_values && b.allocates_matings()) || pop.kept.size() > 0)
    select_candidates(st, b, scores);
  else {
    // Truncation and the classic designs: no numbers of matings go with the lists.
    pop.sire_matings.clear();
    pop.dam_matings.clear();
    st.choice.last.made = st.choice.previous_made = false;
    if (pop.lines.empty())
      select_parents(pop, criterion, b.nsire, b.ndam, st.rng, scores);
    else
      select_lines(p, b, pop, st.rng, scores);
  }
  if constexpr (verify_each_step) check_state(st, run_step::selection, max_allele_after);
  const generation_view done{step,       p,       st.map,           pop,             st.architecture ? &*st.architecture : nullptr,
                             st.history, &st.ebv, st.rng.start_seed, st.index_scores, &st.chip, &st.choice.last};
  observers.generation_done(done);
  generation_message(step.number);
  note_generation_done(step.stage, step.number);
}

}  // namespace qm
