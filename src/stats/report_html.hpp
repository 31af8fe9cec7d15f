// report.html: one self-contained page that shows a run (or the mean of
// several replicate runs) at a glance. Everything is inline: the plots are
// SVG drawn here, the style is a <style> block, there is no script and no
// reference to any other file or address. The page is well-formed XML
// (XHTML syntax: every element closed, only the XML entities and numeric
// character references), so an XML parser reads it.
//
// Plots, each an <svg> inside a <figure> with an id:
//   plot-genetic-trend   mean true breeding value (solid) and mean phenotype
//                        (dashed) of every trait against the generation
//   plot-variance        genetic variance (variance of the true breeding
//                        values, solid) and genic variance (dashed)
//   plot-heterozygosity  observed and expected heterozygosity of markers and QTL
//   plot-inbreeding      pedigree and genomic inbreeding
//   plot-ld-adjacent     mean r^2 of adjacent markers
//   plot-ld-decay        mean r^2 by marker distance in the last generation
// With dominance (columns gv_mean_t of summary.csv):
//   plot-genotypic       mean genotypic value (dashed) beside the mean true
//                        breeding value (solid) of every trait
//   plot-inbreeding-depression   the slope of GV on F of every trait
//   plot-heterosis       realised (solid) and predicted (dashed) heterosis of
//                        the crosses, with a cross line
// A run with lines (a column line in its summary): one curve per line in
// every plot over the generations, the results of the scheme per line in
// table-headline, and table-glance-1, -2, ... per line.
// Tables: table-glance (first and last generation), table-genetic (realised
// genetic parameters, run report), table-settings (the run's settings),
// table-replicates (replicate report: replicates behind each generation).
// A replicate report draws the 95% confidence interval of each mean as a band
// (over generations) or as interval bars (LD decay).
#pragma once
#include <string>
#include <cstdint>
#include <utility>
#include <vector>

#include "stats/summary.hpp"

namespace qm {

// Realised genetic parameters; every matrix ntrait x ntrait, row-major,
// empty when not known.
struct genetic_parameters {
  int ntrait = 0;
  std::vector<double> additive_cov, additive_cor, residual_cov, residual_cor;
  std::vector<double> h2;
};

using settings_list = std::vector<std::pair<std::string, std::string>>;

// The frequency of the allele that raises trait 1 at some QTL, generation
// by generation.
struct qtl_trajectories {
  std::vector<int32_t> qtl;                    // QTL numbers
  std::vector<double> effect;                  // their effects on trait 1
  std::vector<int64_t> generation;             // generation numbers of the files
  std::vector<std::vector<double>> frequency;  // per QTL, per generation
};

struct run_report {
  std::string title;
  summary_table summary;  // the rows of summary.csv
  ld_decay ld;            // no bins: the LD decay plot says it was not computed
  genetic_parameters genetics;
  qtl_trajectories qtl;   // empty: the plot says there are none
  settings_list settings;
};

// One result of a scheme (headline_of) over its replicates: the mean and
// the standard deviation among the replicates.
struct headline_spread {
  std::string key, label;
  int n = 0;
  double mean = 0, sd = 0;
};

// The means of several replicates. mean, ci_low and ci_high have the header
// of summary.csv and one row per generation (stage and generation in their
// first two columns in all three); n gives the replicates behind each row.
// replicates holds each replicate's own rows (drawn as thin lines), headline
// the results of the scheme over the replicates.
struct replicate_report {
  std::string title;
  summary_table mean, ci_low, ci_high;
  std::vector<summary_table> replicates;
  std::vector<headline_spread> headline;
  std::vector<int> n;
  ld_decay ld_mean;                    // mean r^2 per bin; no bins when absent
  std::vector<double> ld_low, ld_high; // its 95% interval per bin
  settings_list settings;
};

// Two schemes side by side (merge --compare): the difference of the means of
// each headline result, first scheme minus second, with its 95% Welch
// interval, and both schemes' means in the same plots.
struct comparison_row {
  std::string key, label;
  int n_a = 0, n_b = 0;
  double mean_a = 0, sd_a = 0, mean_b = 0, sd_b = 0;
  double difference = 0, ci_low = 0, ci_high = 0, df = 0;
};
struct compare_report {
  std::string title, name_a, name_b;
  replicate_report a, b;
  std::vector<comparison_row> rows;
  settings_list settings;
};

std::string render_run_report(const run_report& r);
std::string render_compare_report(const compare_report& r);
std::string render_replicate_report(const replicate_report& r);

// Writes a rendered page under a temporary name and renames it to path.
void write_report(const std::string& path, const std::string& html);

}  // namespace qm
