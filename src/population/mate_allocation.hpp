// Mate allocation: which sire is mated to which dam, given how many matings
// each parent has, so that the sum of a cost over the matings (the
// coancestry of the pair) is as small as it can be.
//
// This is a transportation problem: sire i has a_i matings, dam j has b_j
// (sum a = sum b = M); x_ij >= 0 matings of the pair, row sums a, column
// sums b, x_ij = 0 for a pair that is not allowed, minimum sum x_ij f_ij.
// It is solved exactly by successive shortest augmenting paths with
// potentials (the Hungarian method) on the compact sire x dam table: the
// sires are taken in index order, each path runs from the sire in hand to
// the nearest dam with a free mating (Dijkstra over the reduced costs, the
// dams waiting in a heap) and carries as many matings as the path allows.
// A search scans the row of each sire it reaches, so a problem of M matings
// costs at most O(M S D log D), and far less on costs like coancestries
// (bench/mating_rows.cpp). One thread, no draws: the same
// problem gives the same allocation every time. Among equally near dams one
// with a free mating is taken first, then the lowest index.
#pragma once
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "random/stream.hpp"

namespace qm {

struct mating_problem {
  std::span<const int32_t> sire_matings;  // a, S entries
  std::span<const int32_t> dam_matings;   // b, D entries
  std::span<const double> cost;           // S*D row-major; empty: every cost 0
  std::span<const uint8_t> allowed;       // S*D row-major, 1 allowed; empty: all allowed
};

struct mating_allocation {
  // M pairs (sire index, dam index), 0-based, sorted by sire then dam; a
  // pair mated k times stands k times.
  std::vector<std::pair<int32_t, int32_t>> matings;
  double total_cost = 0;  // sum of the problem's cost over the matings, in their order
  bool complete = true;   // false: no allowed allocation (matings then empty)
  bool unmatched_is_sire = false;
  // The animal that could not be mated, when complete is false. In this
  // order: the first sire whose allowed dams have fewer matings in all than
  // it needs; else the first dam for which the same holds of its allowed
  // sires; else the first sire i such that sires 0..i cannot all have their
  // matings at once.
  int32_t unmatched = -1;
};

// The allocation of minimum total cost. Stops the run on a problem that is
// not well formed (a negative number of matings, sums of sire and dam
// matings that differ, a cost or allowed table of the wrong size, a cost
// that is not a finite number on an allowed pair).
mating_allocation allocate_matings(const mating_problem& p);

// A random allocation under the same rules: the allocation of minimum cost
// for costs drawn from rng, one uniform per pair in row-major order (S*D
// uniforms, the pairs not allowed included). p.cost is not used for the
// choice; total_cost is still its sum over the matings made (0 without).
mating_allocation allocate_matings_at_random(const mating_problem& p, random_stream& rng);

}  // namespace qm
