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
// Tables: table-glance (first and last generation), table-genetic (realised
// genetic parameters, run report), table-settings (the run's settings),
// table-replicates (replicate report: replicates behind each generation).
// A replicate report draws the 95% confidence interval of each mean as a band
// (over generations) or as interval bars (LD decay).
#pragma once
#include <string>
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

struct run_report {
  std::string title;
  summary_table summary;  // the rows of summary.csv
  ld_decay ld;            // no bins: the LD decay plot says it was not computed
  genetic_parameters genetics;
  settings_list settings;
};

// The means of several replicates. mean, ci_low and ci_high have the header
// of summary.csv and one row per generation (stage and generation in their
// first two columns in all three); n gives the replicates behind each row.
struct replicate_report {
  std::string title;
  summary_table mean, ci_low, ci_high;
  std::vector<int> n;
  ld_decay ld_mean;                    // mean r^2 per bin; no bins when absent
  std::vector<double> ld_low, ld_high; // its 95% interval per bin
  settings_list settings;
};

std::string render_run_report(const run_report& r);
std::string render_replicate_report(const replicate_report& r);

// Writes a rendered page under a temporary name and renames it to path.
void write_report(const std::string& path, const std::string& html);

}  // namespace qm
