// Mating: the parents of every animal of the next generation, drawn from the
// selected parents of the current one. Designs: 0 nested (each sire mated to
// the same number of dams, each dam a family of full sibs), 1 random without
// half- or full-sib matings, 2 random with replacement.
#pragma once
#include <span>
#include <vector>

#include "population/population.hpp"
#include "random/stream.hpp"

namespace qm {

std::vector<parent_pair> mate_parents(const population& current, int32_t matetype, int32_t noff,
                                      random_stream& rng);

// The same from lists of sires and dams (animal numbers of the current
// generation, whose parents are parents_of_current), into out (noff pairs).
void mate_parents(std::span<const int32_t> sires, std::span<const int32_t> dams,
                  std::span<const parent_pair> parents_of_current, int32_t matetype, int32_t noff, random_stream& rng,
                  std::span<parent_pair> out);

// Check of a mating (invariant_error naming the first fault): the pairs are
// parents in current (verify_parents), every sire one of its sire list and
// every dam one of its dam list.
void verify_mating(const population& current, std::span<const parent_pair> offspring);

}  // namespace qm
