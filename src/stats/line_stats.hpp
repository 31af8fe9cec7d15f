// The statistics of the lines of a generation and of dominance, as plain
// functions of plain views, so that the tests can compare them with a copy
// of the population that holds only one line and with numbers worked out
// by hand.
//
// A line is a block of animals first .. first + animals - 1 of its
// generation (first odd, so that males keep odd numbers within the block);
// its selected parents are a segment of the generation's lists of sires and
// dams.
//
// With dominance the genotypic value GV of an animal is the sum over QTL of
// its additive and dominance contributions; its true breeding value TBV is
// Falconer's breeding value plus the generation's mean, so that the
// dominance deviation is D = GV - TBV.
#pragma once
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "stats/scheme_results.hpp"
#include "stats/summary.hpp"

namespace qm {

// The view of animals first .. first + animals - 1 (numbers from 1) of the
// generation g: its haplotypes 2 (first - 1) .., its rows of values from
// first - 1 on, its part of the pedigree inbreeding. Nothing is copied.
summary_input block_input(const summary_input& g, int32_t first, int32_t animals);

// The selected parents of a block, numbered within it (number - first + 1);
// a parent outside the block (kept from an earlier generation) gets a
// number outside 1 .. animals and is left out by selection_of.
std::vector<int32_t> numbers_in_block(std::span<const int32_t> parents, int32_t first);

// Selection differentials and intensities within a block: the criterion of
// its animals, its selected sires and dams (numbers in the generation), the
// candidates of each sex the smaller sex of the block has.
selection_result selection_in_block(std::span<const double> criterion, std::span<const int32_t> sires,
                                    std::span<const int32_t> dams, int32_t first, int32_t animals);

// Per trait of a block: the mean genotypic value, the variance (divisor
// n - 1) of the dominance deviation D = GV - TBV, and the inbreeding
// depression, the slope of GV on the pedigree F of the animals (NaN without
// F or when F does not vary).
struct dominance_stats {
  double gv_mean = std::numeric_limits<double>::quiet_NaN();
  double dominance_var = std::numeric_limits<double>::quiet_NaN();
  double inbreeding_depression = std::numeric_limits<double>::quiet_NaN();
};
dominance_stats dominance_of(std::span<const double> gv, std::span<const double> tbv, std::span<const double> f);

// Heterosis of a cross: its mean GV minus the mean of its parental lines'
// mean GVs; NaN when either parental mean is NaN.
double heterosis(double cross_mean, double sire_line_mean, double dam_line_mean);
// The heterosis that the allele frequencies predict: sum over QTL of
// d_q (p1_q - p2_q)^2, p1 and p2 the frequencies of one allele in the two
// parental lines.
double predicted_heterosis(std::span<const double> d, std::span<const double> p1, std::span<const double> p2);

}  // namespace qm
