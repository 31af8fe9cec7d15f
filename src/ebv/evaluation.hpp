// Estimated breeding values for selection: of trait 1 (seltype 3: pedigree
// BLUP, seltype 4: genomic BLUP by SNP-BLUP), and of every trait for a stage
// that selects on an index of EBVs; and what they need from the generations
// before: part of the run state.
//
// What is kept follows the stage plan, read once at the start (plan):
//   - no stage selects on EBVs: nothing at all, every call returns at once;
//   - some stage uses seltype 3 or 4: the recorded phenotypes of trait 1 of
//     every animal of every generation from stage 2 on, whatever the
//     seltype of the generation's own stage;
//   - some stage selects on an index of EBVs: the phenotypes of every trait
//     of every animal with any record, from stage 2 on;
//   - pedigree BLUP somewhere (seltype 3 or an index over it): the pedigree
//     (see below), its inbreeding coefficients and A^-1, both appended
//     generation by generation (pedigree/inbreeding.hpp, ebv/ainverse.hpp),
//     and the last solution;
//   - genomic BLUP somewhere: the marker dosages of the last K generations
//     (K = --gblup-generations), packed at 2 bits each, and the last marker
//     effects.
//
// Pedigree BLUP: y = mu + a + e for the phenotypes of trait 1 of every
// generation from stage 2 on, var(a) = A sigma_a^2, lambda = (1 - h2)/h2
// with the h2(1) of the run (ebv/animal_model.hpp). The pedigree starts
// historical_generations stage-1 generations before stage 2: the animals of
// the oldest of them are its founders (unrelated, not inbred), and every
// later animal has both parents in it. Animal k of the pedigree is the
// animal at history position offset + k.
//
// Genomic BLUP: SNP-BLUP (ebv/genomic.hpp) with the animals of the current
// generation and the K - 1 generations before it (those recorded, from
// stage 2 on) as reference, markers centred by their frequencies in that
// reference, VanRaden's lambda from h2(1); the candidates are the current
// generation, whose GEBVs are Z_c g. The dosage of a marker is the number
// of copies of allele 1 on the animal's two haplotypes (after the recoding
// generation every marker carries allele 1 or 2). With a SNP chip
// (use_markers) the markers are the chip's alone.
//
// A phenotype that is not recorded (NaN: a trait recorded on one sex only)
// is left out: the animal has no record of trait 1 in pedigree BLUP, and is
// no reference animal of genomic BLUP (it remains a candidate).
//
// Multi-trait evaluations, for stages that select on an index of EBVs
// (selection = "index" with criterion pedigree_blup or genomic_blup): the
// phenotypes of every trait are kept (NaN where not recorded) and all
// traits are evaluated jointly with the genetic and residual covariance
// matrices G0 and R0 the caller gives (ebv/multi_trait_model.hpp,
// ebv/multi_trait_genomic.hpp): an animal with some record is a record row
// of the pedigree model and a reference animal of SNP-BLUP, with the
// traits it lacks missing. The multi-trait estimate is kept apart from the
// single-trait one, so a run may select on seltype 3 in one stage and on an
// index in another.
//
// Every solve is warm-started from the solution of the previous estimate
// of the same kind (the pedigree solution widened to the new animals by
// parent averages) and stops when ||r|| / ||b|| < 1e-10. Their sums run in a
// fixed order, so the EBVs are the same bits for any number of threads.
#pragma once
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "config/parameters.hpp"
#include "ebv/ainverse.hpp"
#include "ebv/genomic.hpp"
#include "ebv/multi_trait_genomic.hpp"
#include "ebv/pcg.hpp"
#include "population/pedigree_history.hpp"
#include "population/population.hpp"

namespace qm {

// Stopping rule and iteration limit of both solves.
inline constexpr double ebv_tolerance = 1e-10;
inline constexpr int ebv_max_iterations = 5000;

class ebv_evaluation {
 public:
  // Decides what the run keeps from the stages that can be read.
  // historical_generations (>= 1): stage-1 generations that enter the
  // pedigree, 0 for the whole history from the base generation on.
  void plan(const run_parameters& p, int32_t historical_generations = 1);
  // Whether anything is kept.
  bool active() const { return pedigree_used_ || genomic_used_; }
  bool keeps_pedigree() const { return pedigree_used_; }
  bool keeps_genotypes() const { return genomic_used_; }
  // Whether the phenotypes of every trait are kept for a multi-trait evaluation.
  bool keeps_traits() const { return traits_ > 0; }

  // The markers genomic BLUP uses from the next recorded generation on
  // (0-based offsets, ascending): a SNP chip; empty for every marker.
  void use_markers(std::span<const int32_t> markers) { markers_.assign(markers.begin(), markers.end()); }
  std::span<const int32_t> markers_used() const { return markers_; }

  // Called once the values of a generation of stage 2 or later are final
  // (the current generation of pop, the last of h): keeps its trait-1
  // phenotypes (of every trait for a multi-trait evaluation) and, for
  // genomic BLUP, its packed marker dosages.
  void record_generation(const population& pop, const pedigree_history& h, int threads);

  // EBVs of trait 1 of the generation recorded last, by criterion c
  // (pedigree_ebv or genomic_ebv), with heritability h2 (0 < h2 < 1).
  void estimate(selection_criterion c, const pedigree_history& h, double h2, int threads);

  // EBVs of every trait of the generation recorded last from one
  // multi-trait evaluation by criterion c (pedigree_ebv or genomic_ebv),
  // planned through an index. g0, r0: the T x T genetic and residual
  // covariance matrices (column-major, T = ntrait).
  void estimate_traits(selection_criterion c, const pedigree_history& h, std::span<const double> g0,
                       std::span<const double> r0, int threads);
  // Results of the last multi-trait estimate: whether it belongs to
  // generation g, the EBVs of trait t (1..T) of its animals (animal i at
  // index i - 1), the index sum_t w_t EBV_t of every animal, the criterion
  // and the solve.
  bool traits_estimated_for(int32_t g) const { return traits_generation_ >= 0 && traits_generation_ == g; }
  std::span<const double> current_trait(int32_t t) const;
  std::vector<double> index_of(std::span<const double> weights) const;
  int32_t traits() const { return traits_; }
  selection_criterion traits_method() const { return traits_method_; }
  const pcg_result& traits_stats() const { return traits_stats_; }

  // Results of the last single-trait estimate.
  // Whether it belongs to generation g of the history (0 = base).
  bool estimated_for(int32_t g) const { return estimated_generation_ >= 0 && estimated_generation_ == g; }
  // EBV of animal i of that generation at index i - 1.
  std::span<const double> current() const { return ebv_; }
  selection_criterion method() const { return method_; }
  const pcg_result& stats() const { return stats_; }
  // EBVs of an animal of an earlier generation (history position k, in the
  // pedigree) from the last pedigree estimate: of trait 1 (single-trait),
  // of trait t (1..T) of the multi-trait one.
  double pedigree_ebv_at(int64_t k) const;
  double trait_ebv_at(int64_t k, int32_t t) const;
  // GEBVs of the first n animals of a haplotype matrix (animals of earlier
  // generations) from the last genomic estimate: of trait 1 (n values), of
  // every trait (trait-major, T x n).
  std::vector<double> genomic_ebvs_of(const haplotype_matrix& markers, int32_t n, int threads) const;
  std::vector<double> genomic_trait_ebvs_of(const haplotype_matrix& markers, int32_t n, int threads) const;
  // The scores select_parents needs for criterion c: current() for the EBV
  // criteria when they were estimated for generation g, otherwise empty.
  std::span<const double> scores_for(selection_criterion c, int32_t g) const;

  // What is kept, for tests and the memory estimate.
  int64_t pedigree_animals() const { return static_cast<int64_t>(sire_.size()); }
  int64_t pedigree_offset() const { return offset_; }
  int64_t records() const { return static_cast<int64_t>(rec_y_.size()); }
  int32_t genotyped_generations() const { return static_cast<int32_t>(geno_.size()); }
  int64_t genotype_bytes() const;
  const sym_csr& ainverse() const { return ainv_; }
  std::span<const double> inbreeding() const { return f_; }
  std::span<const int32_t> record_animals() const { return rec_animal_; }
  std::span<const double> record_values() const { return rec_y_; }
  // Multi-trait record rows: pedigree animal and T values (NaN missing).
  std::span<const int32_t> trait_record_animals() const { return trait_animal_; }
  std::span<const double> trait_record_values() const { return trait_y_; }

 private:
  void estimate_pedigree(const pedigree_history& h, double h2, int threads);
  void estimate_genomic(double h2, int threads);
  void append_pedigree(const pedigree_history& h);
  // The kept generations as one reference (rows with a record), and their phenotypes.
  packed_genotypes reference(bool multi, std::vector<double>& y, int threads) const;

  bool pedigree_used_ = false, genomic_used_ = false;
  bool single_used_ = false;     // some stage selects on seltype 3 or 4
  int32_t traits_ = 0;           // traits of the multi-trait evaluations (0: none planned)
  int32_t historical_ = 1;       // stage-1 generations in the pedigree (0: all)
  int32_t reference_generations_ = 3;
  bool based_ = false;           // the pedigree base is fixed (at the first record)
  int64_t offset_ = 0;           // history position of pedigree animal k is offset_ + k

  // Last recorded generation.
  int32_t recorded_generation_ = -1;
  int64_t recorded_first_ = 0;   // its first history position
  int32_t recorded_n_ = 0;

  // Phenotypes of trait 1 from stage 2 on, by pedigree animal number.
  std::vector<int32_t> rec_animal_;
  std::vector<double> rec_y_;
  // Multi-trait: animals with any record, and their T phenotypes each.
  std::vector<int32_t> trait_animal_;
  std::vector<double> trait_y_;

  // Pedigree BLUP.
  std::vector<int32_t> sire_, dam_;
  std::vector<double> f_;
  sym_csr ainv_;
  std::vector<double> prev_x_;   // mu, then one value per pedigree animal
  std::vector<double> prev_trait_x_;  // T means, then T values per pedigree animal

  // Genomic BLUP: the last K generations, oldest first.
  struct genotyped_generation {
    packed_genotypes g;          // by animal only
    std::vector<double> y;       // trait 1 (NaN: not recorded)
    std::vector<double> traits;  // multi-trait: T per animal (NaN: not recorded)
  };
  std::deque<genotyped_generation> geno_;
  std::vector<int32_t> markers_;  // the chip's markers; empty: every marker
  std::vector<double> prev_snp_;  // mu, then one effect per marker
  std::vector<double> prev_trait_snp_;  // T means, then T effects per marker
  snp_blup_solution last_snp_;          // the last genomic estimates (their centres and effects)
  multi_trait_snp_solution last_trait_snp_;

  // Last estimate.
  int32_t estimated_generation_ = -1;
  selection_criterion method_ = selection_criterion::unknown;
  std::vector<double> ebv_;
  pcg_result stats_;

  // Last multi-trait estimate.
  int32_t traits_generation_ = -1;
  selection_criterion traits_method_ = selection_criterion::unknown;
  std::vector<double> trait_ebv_;  // T x the animals of the generation, trait-major
  pcg_result traits_stats_;
};

// The marker dosages (copies of allele 1) of the animals of a generation,
// packed by animal at 2 bits each (by_marker not kept): of the markers
// listed in pick (0-based offsets, in that order), or of every marker when
// pick is empty.
packed_genotypes pack_marker_dosages(const haplotype_matrix& markers, int32_t nind, int threads,
                                     std::span<const int32_t> pick = {});

}  // namespace qm
