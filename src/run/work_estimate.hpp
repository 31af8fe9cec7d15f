// The work of a run, counted from its parameters before it starts, and the
// time it will take on this machine: for --check, and for the progress line,
// which weighs each generation by its share of the work rather than
// counting generations.
//
// Counts per generation (g animals, L = markers + candidate loci):
//   alleles    2 g L alleles made by meiosis, in the byte layout (stage 1
//              until the recoding) or the packed one (after it)
//   draws      random draws: the crossovers (chromosome length in Morgan
//              per chromosome and gamete, plus one) and, while mutation is
//              on, the mutations (2 g L mutm)
//   values     2 g L alleles that the values and the summary go through, in a
//              generation with result files (stage 2 on)
//   text       the bytes of the result files of the generation
//   ebv        pedigree BLUP: the animals of the pedigree; genomic BLUP:
//              reference animals x markers
// Seconds are the counts times constants measured by bench/estimate_check.py
// on the development machine (work_constants in work_estimate.cpp).
#pragma once
#include <cstdint>
#include <vector>

#include "config/parameters.hpp"
#include "config/stage_plan.hpp"

namespace qm {

struct generation_work {
  double alleles_bytes = 0, alleles_packed = 0, draws = 0, values = 0, text = 0, pedigree_ebv = 0,
         genomic_ebv = 0;
  // Choosing parents: optimum contributions (candidates cubed, the
  // factorisation of their relationships), the pedigree relationships of the
  // living animals (cells of the matrix made anew), genomic relationships
  // (pairs of candidates x 64-marker words).
  double contributions = 0, relationship_cells = 0, genomic_relationship = 0;
  // The time it takes by the measured constants, at one thread.
  double seconds() const;
  // The part of seconds() that is the text of the files.
  double text_seconds() const;
};

// The work of every generation of the plan of p, in plan order; text_bytes
// gives the bytes of result files of a generation step (0 without files).
template <class TextBytes>
std::vector<generation_work> work_of_run(const run_parameters& p, TextBytes&& text_bytes);

// The work of one generation of stage block b.
generation_work work_of_generation(const run_parameters& p, const stage_block& b, const generation_step& g,
                                   int64_t animals_evaluated);

// The share of the one-thread time a run takes at this many threads.
double thread_factor(int threads);

// The run's seconds at p.threads threads (the one-thread seconds times
// thread_factor).
double estimate_seconds(const run_parameters& p, const std::vector<generation_work>& work);

template <class TextBytes>
std::vector<generation_work> work_of_run(const run_parameters& p, TextBytes&& text_bytes) {
  std::vector<generation_work> w;
  int64_t evaluated = 0;
  for (const planned_stage& st : stage_plan(p))
    st.for_each_generation([&](const generation_step& g) {
      if (g.stage >= 2) evaluated += st.block().nind;
      generation_work x = work_of_generation(p, st.block(), g, evaluated);
      x.text = static_cast<double>(text_bytes(st.block(), g));
      w.push_back(x);
    });
  return w;
}

}  // namespace qm
