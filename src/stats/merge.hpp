// Merging of replicate run folders (quillmere merge DIR...).
//
// Every folder must hold run.json and summary.csv of a finished run. Of
// run.json (read as output/manifest.hpp reads it) the merge uses the
// version, the parameter file's name and sha256, the seed, the replicate
// and the exit status. The merge refuses, naming the folders and what
// differs: a folder without run.json or summary.csv; a run whose exit_status
// is not 0; folders from different program versions or parameter files
// (sha256); two folders with the same seed (the same run twice); summary.csv
// files whose headers differ.
//
// Nothing under a folder is trusted: run.json, summary.csv and ld_decay.csv
// are read only when they are regular files (a pipe or a device in their
// place is refused without being read, base/input_file.hpp), of at most
// max_run_json_bytes and max_summary_file_bytes. A summary is refused, naming
// its file and line, when a line does not end (a file cut short), a value
// is not a number or NA, a stage or generation is not a whole number in
// range, a generation has two rows, or its generations are not those of the
// first folder's summary (one missing, or one too many). Runs with lines
// (summary.csv with a line column) are refused: their rows are per
// generation and line, which the merge does not yet group.
//
// The output folder may be neither one of the folders merged (by identity:
// "rep-1", "./rep-1/" and a link to it are one folder) nor any folder holding
// run.json: the merge's report.html would replace that run's, which its
// run.json lists with its SHA-256. It is refused before anything is read,
// and made when it does not exist.
//
// The folders are taken in the order of their replicate number (then their
// name), whatever the order they were given in, so the sums are formed in
// one fixed order.
//
// replicates.csv, long layout (one line per generation and statistic, easy
// to load in R with read.csv):
//   stage,generation,column,n,mean,sd,ci_low,ci_high
// stage, generation  the generation as in summary.csv (the lines come in
//                    increasing stage, then generation)
// column             a column of summary.csv after stage and generation, in
//                    the order of summary.csv (nind, tbv_mean_1, ...)
// n                  replicates with a value (not NA) for it
// mean               their mean
// sd                 their standard deviation, divisor n - 1 (NA when n < 2)
// ci_low, ci_high    mean -/+ t(0.975, n - 1) sd / sqrt(n), the 95% confidence
//                    interval of the mean (NA when n < 2); for a value with a
//                    range (a variance, Ne or a count above zero, a proportion
//                    within [0, 1], an accuracy within [-1, 1]) the same on
//                    the log, logit or Fisher-z scale, so that it stays inside
// Before averaging, each replicate's gains, responses and rates of
// inbreeding are worked out from its own summary (derive_scheme_columns):
// replicates that start from different levels are merged on their gains.
// NA where a value is not defined; numbers in the shortest form that reads
// back to the same double.
// When every folder holds ld_decay.csv, replicates_ld.csv gives the same
// statistics per distance bin: bin_low_cm,bin_high_cm,n,mean,sd,ci_low,ci_high.
// report.html shows the results of the scheme over the replicates (mean and
// SD), every replicate as a thin line under the bold mean, with the interval
// as a band on the gains and the other statistics but not on the raw means.
#pragma once
#include <cstdint>
#include <utility>
#include <string>
#include <vector>

#include "stats/report_html.hpp"
#include "stats/scheme_results.hpp"
#include "stats/summary.hpp"

namespace qm {

// What the merge takes from a folder's run.json.
struct run_info {
  std::string folder, version, parameter_name, parameter_sha256;
  int64_t seed = 0, replicate = 0, exit_status = 0;
};
run_info read_run_info(const std::string& folder);
// The most bytes a run.json read by the merge may have (a run that finished
// 100000 files writes about 15 MB).
inline constexpr uint64_t max_run_json_bytes = uint64_t{32} << 20;

// Mean, sd and 95% interval of one statistic of one generation.
struct merged_value {
  int n = 0;
  double mean = 0, sd = 0, ci_low = 0, ci_high = 0;
};
// The range a statistic's values lie in, which its interval keeps to.
enum class value_range : int8_t { any, positive, proportion, correlation };
// The range of a column of summary.csv: positive for variances, effective
// sizes and counts, a proportion for heterozygosities, pedigree inbreeding
// and r^2, a correlation for accuracies, any other value for the rest.
value_range range_of_column(const std::string& name);
// NaN values are left out. The interval keeps to range (see merge.cpp,
// keep_in_range): computed on the log, logit or Fisher-z scale.
merged_value merge_values(const std::vector<double>& v, value_range range = value_range::any);

struct merged_replicates {
  std::vector<run_info> runs;      // in merge order
  std::vector<std::string> header; // of summary.csv
  std::vector<std::pair<int, int>> keys;           // (stage, generation) per row
  std::vector<std::vector<merged_value>> values;   // per row, per column after stage and generation
  std::vector<int> replicates;                     // folders holding each row
  std::vector<summary_table> replicate_rows;       // each replicate's summary with its own gains, merge order
  std::vector<std::vector<headline_result>> headlines;  // each replicate's results (headline_of)
  bool has_ld = false;
  ld_decay ld_shape;                  // stage, generation and bins of the LD decay
  std::vector<merged_value> ld;       // per bin
};

// Reads and checks the folders and merges them; stops the run with a
// message on any refusal.
merged_replicates merge_replicates(const std::vector<std::string>& folders);
std::string replicates_csv(const merged_replicates& m);
std::string replicates_ld_csv(const merged_replicates& m);
replicate_report replicate_report_of(const merged_replicates& m);

// The difference of the means of a and b (NaN values left out) with its 95%
// confidence interval by Welch's t: se = sqrt(sa^2 / na + sb^2 / nb), df by
// the Welch-Satterthwaite formula; NA interval when either has fewer than 2
// values; the difference itself when se is 0.
comparison_row welch_difference(const std::vector<double>& a, const std::vector<double>& b);
// The headline results of two merged schemes compared, in headline order.
std::vector<comparison_row> compare_schemes(const merged_replicates& a, const merged_replicates& b);
// compare.csv: key,n_a,mean_a,sd_a,n_b,mean_b,sd_b,difference,ci_low,ci_high,df
std::string compare_csv(const std::vector<comparison_row>& rows);
// The replicate folders of a scheme's folder: its subfolders that hold
// run.json, by name; stops the run when there is none.
std::vector<std::string> scheme_replicates(const std::string& scheme);
// merge --compare A B: merges the replicates of each scheme and writes
// compare.csv and report.html (both schemes) into outdir.
void compare_command(const std::string& a, const std::string& b, const std::string& outdir = ".");

// Stops the run, naming the folder, when outdir may not take the merge of
// folders (see above).
void check_merge_output_folder(const std::vector<std::string>& folders, const std::string& outdir);
// The merge command: merges the folders and writes replicates.csv,
// replicates_ld.csv (when every folder has its LD decay) and report.html into
// outdir, each under a temporary name first, only once every text is made.
// Running out of memory on the way is a stop like any other.
void merge_command(const std::vector<std::string>& folders, const std::string& outdir = ".");

// The regularized incomplete beta function I_x(a, b), a, b > 0, 0 <= x <= 1.
double incomplete_beta(double a, double b, double x);
// The p-quantile of Student's t distribution with df > 0 degrees of freedom.
double t_quantile(double p, double df);

}  // namespace qm
