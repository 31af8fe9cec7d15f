// The results of a breeding scheme that a breeder reads, one generation at a
// time: the selection differential and intensity of each sex, the accuracy
// of the selection criterion, the parents used, the rate of inbreeding and
// the effective population size. Plain functions of plain views, so that
// the tests can feed them numbers worked out by hand.
//
// Animals are numbered from 1 as in the result files: the value of animal i
// is at index i - 1, males have odd numbers and females even ones.
#pragma once
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "population/population.hpp"
#include "stats/summary.hpp"

namespace qm {

// Selection differential (mean criterion of the selected animals of a sex
// minus the mean of the candidates of that sex) and intensity (that
// difference over the standard deviation of the criterion among the
// candidates, divisor n - 1). The candidates of each sex are the ones
// selection chooses from: the first candidates_per_sex males (1, 3, 5, ...)
// and females (2, 4, 6, ...), all of them when the generation has as many
// of each sex. The intensity is NaN when the criterion does not vary.
struct selection_result {
  double sel_diff_sires = std::numeric_limits<double>::quiet_NaN();
  double sel_diff_dams = std::numeric_limits<double>::quiet_NaN();
  double intensity_sires = std::numeric_limits<double>::quiet_NaN();
  double intensity_dams = std::numeric_limits<double>::quiet_NaN();
};
selection_result selection_of(std::span<const double> criterion, std::span<const int32_t> sires,
                              std::span<const int32_t> dams, int32_t candidates_per_sex);

// Pearson correlation of x and y (the same length); NaN when either does not
// vary or there are fewer than two values.
double correlation(std::span<const double> x, std::span<const double> y);
// The least-squares slope of y on x: sum (x - mean x)(y - mean y) /
// sum (x - mean x)^2; NaN when x does not vary or there are fewer than two
// points.
double least_squares_slope(std::span<const double> x, std::span<const double> y);

// The parents the animals of a generation came from: distinct sires and
// dams, and the most offspring of one sire and of one dam.
struct parent_use {
  int64_t sires = 0, dams = 0, max_per_sire = 0, max_per_dam = 0;
};
// counts: scratch kept by the caller between generations.
parent_use parent_use_of(std::span<const parent_pair> parents, std::vector<int32_t>& counts);

// The rate of inbreeding from one generation to the next,
// (f - f_before) / (1 - f_before); NaN when either is NaN or f_before >= 1.
double inbreeding_rate(double f, double f_before);
// The effective population size of a rate of inbreeding, 1 / (2 delta_f);
// NaN unless delta_f > 0.
double effective_size(double delta_f);
// The rate of inbreeding over generations: 1 - exp(b), b the least-squares
// slope of ln(1 - f) on the generation over the points whose f is a number
// below 1; NaN with fewer than two such points of different generations.
double inbreeding_rate_by_regression(std::span<const double> generation, std::span<const double> f);

// The results of a whole run that the reports put first, from its rows of
// summary.csv (the rows without values, of the historical generations, are
// left out). Each has a key (also its name in the merge's headline tables),
// a label for people, and its value (NaN when the run does not have it):
//   total_gain_sd_t   gain_sd_t of the last row: the gain in standard
//                     deviations of the base's true breeding values
//   total_gain_t      gain_t of the last row (trait units)
//   accuracy_1, intensity_sires, intensity_dams, response_1
//                     the means over the rows that have them
//   predicted_response_1   the mean over the rows but the last (the
//                     predictions of the responses that were realised)
//   delta_f_pedigree, delta_f_genomic   the rate of inbreeding per generation
//                     over the whole run, by the regression of ln(1 - F) on
//                     the generation (inbreeding_rate_by_regression)
//   ne_pedigree, ne_genomic   1 / (2 delta_f) of those
//   n_sires, n_dams   the means over the rows
//   offspring_per_sire_max, offspring_per_dam_max   the largest over the rows
//   qtl_fixed_up_1, qtl_fixed_down_1   of the last row
// Works out again, within one run's summary, the columns that follow from
// its other columns: gain_t, gain_sd_t and response_t from tbv_mean_t and
// tbv_var_t; delta_f_pedigree, delta_f_genomic, ne_pedigree, ne_genomic and
// their _stage forms from f_pedigree and f_genomic. The base is the first
// row with a mean breeding value; the generation before is the row with
// values before; a stage's regression goes on its last row. Rows without
// values get NA. A column that is there is replaced, one that is not is
// appended. This is what the merge does to each replicate before it averages,
// so that the gains of the replicates are merged, not their raw means.
void derive_scheme_columns(summary_table& t);

struct headline_result {
  std::string key, label;
  double value = std::numeric_limits<double>::quiet_NaN();
};
std::vector<headline_result> headline_of(const summary_table& t);

}  // namespace qm
