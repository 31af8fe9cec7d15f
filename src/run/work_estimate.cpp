#include "run/work_estimate.hpp"

#include <algorithm>

namespace qm {

namespace {

// Seconds per unit of work at one thread, measured by
// bench/estimate_check.py on the development machine (two shared cores,
// 2026-12; the runs took 1.3 to 2.8 times as long while the other work on
// the machine was heavy, and the constants are a quarter above the times
// of a quiet machine): the stage-1 run "hist" gives the byte layout, "later" (without
// and with its 1.3 GB of result files) the packed alleles, the values and
// the text, "pblup" and "gsmall" the two EBV models. Draws are too few to
// measure apart; theirs is the cost of one draw of the stream with its use.
struct work_constants {
  static constexpr double allele_bytes = 0.9e-9;
  static constexpr double allele_packed = 0.68e-9;
  static constexpr double draw = 2.2e-8;
  static constexpr double value = 0.68e-9;
  static constexpr double text_byte = 2.5e-9;
  static constexpr double pedigree_animal = 2.0e-6;
  static constexpr double genomic_cell = 2.1e-8;
  // bench/run: OcsSolve/2000 225 ms, Relationships/2000 10.8 ms for
  // 2000 x 2000 cells, GenomicRelationships/2000x10000 249 ms; a quarter
  // added as above.
  static constexpr double contribution_cube = 3.5e-11;
  static constexpr double relationship_cell = 3.4e-9;
  static constexpr double genomic_pair_word = 1.0e-9;
};

}  // namespace

double generation_work::seconds() const {
  using c = work_constants;
  return alleles_bytes * c::allele_bytes + alleles_packed * c::allele_packed + draws * c::draw +
         values * c::value + text * c::text_byte + pedigree_ebv * c::pedigree_animal +
         genomic_ebv * c::genomic_cell + contributions * c::contribution_cube +
         relationship_cells * c::relationship_cell + genomic_relationship * c::genomic_pair_word;
}

double generation_work::text_seconds() const { return text * work_constants::text_byte; }

generation_work work_of_generation(const run_parameters& p, const stage_block& b, const generation_step& g,
                                   int64_t animals_evaluated) {
  generation_work w;
  const double n = b.nind, loci = static_cast<double>(p.markers()) + p.candidate_loci();
  const double alleles = 2.0 * n * loci;
  const bool bytes = g.kind == generation_kind::history_with_mutation || (!p.packed_genome && g.stage >= 1);
  (bytes ? w.alleles_bytes : w.alleles_packed) = alleles;
  w.draws = 2.0 * n * p.nchr * (static_cast<double>(p.chrlen) + 1.0);
  if (g.kind == generation_kind::history_with_mutation) w.draws += alleles * (p.mutm + p.mutq) / 2.0;
  if (g.files_due) w.values = alleles;
  if (g.stage >= 2) {
    const selection_criterion c = b.criterion();
    if (c == selection_criterion::pedigree_ebv) w.pedigree_ebv = static_cast<double>(animals_evaluated);
    if (c == selection_criterion::genomic_ebv) {
      const double reference = std::min<double>(static_cast<double>(animals_evaluated), n * p.gblup_generations);
      w.genomic_ebv = reference * p.markers();
    }
    // The candidates: the generation and the parents kept from earlier ones.
    const int32_t years = std::max(b.ages.sire_generations, b.ages.dam_generations);
    const double candidates = n + static_cast<double>(years - 1) * (b.nsire + b.ndam);
    if (p.some_stage_relates_by(relationship_source::pedigree)) w.relationship_cells = candidates * candidates;
    if (b.contributions.on) {
      w.contributions = candidates * candidates * candidates;
      if (b.contributions.relationship == relationship_source::genomic) {
        const double used = p.chip_markers > 0 ? std::min(p.chip_markers, p.markers()) : p.markers();
        w.genomic_relationship = candidates * candidates / 2.0 * (used / 64.0 + 1.0);
      }
    }
  }
  return w;
}

double thread_factor(int threads) {
  // About 40 % of the time shrinks with more threads on a machine shared with
  // other work (measured at 1 and 2 threads, bench/estimate_check.py).
  return 0.6 + 0.4 / std::max(1, threads);
}

double estimate_seconds(const run_parameters& p, const std::vector<generation_work>& work) {
  double s = 0;
  for (const generation_work& w : work) s += w.seconds();
  return s * thread_factor(p.threads);
}

}  // namespace qm
