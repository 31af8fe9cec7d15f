// Per-generation summary statistics of a population, computed from a plain
// view of the generation (no simulator state), and summary.csv.
//
// summary.csv: one header line, then one line per generation, comma
// separated, no quoting, in the order the generations were computed.
// Columns (t = 1..ntrait, each block of five repeated per trait in trait
// order):
//   stage           stage of the generation (2, 3, ...)
//   generation      generation number as in the result file names
//   nind            animals in the generation (n)
//   tbv_mean_t      mean true breeding value of trait t
//   tbv_var_t       variance of the true breeding values of trait t,
//                   divisor n - 1 (as R's var); NA when n < 2
//   phe_mean_t      mean phenotype of trait t
//   phe_var_t       variance of the phenotypes of trait t, divisor n - 1
//   genic_var_t     genic variance: sum over QTL q of 2 p_q (1 - p_q) a_qt^2,
//                   p_q the frequency of allele 1 at QTL q among the 2n
//                   haplotypes, a_qt the effect of QTL q on trait t
//   marker_het_obs  mean over markers of the observed heterozygosity (share
//                   of animals whose two alleles differ)
//   marker_het_exp  mean over markers of 2 p (1 - p), p the frequency of
//                   allele 1 among the 2n haplotypes (no small-sample factor)
//   qtl_het_obs     the same two means over the QTL
//   qtl_het_exp
//   seg_markers     markers at which both alleles occur
//   seg_qtl         QTL at which both alleles occur
//   f_genomic       1 - H / H0 over markers and QTL pooled: H the observed
//                   heterozygosity of this generation averaged over animals
//                   and loci, H0 the average over the same loci of
//                   2 p0 (1 - p0), p0 the allele-1 frequency in the base
//                   generation (captured once, the stage-2 generation). As H0
//                   is common to all animals this is also the mean over
//                   animals of 1 - H_i / H0. NA before a base is captured or
//                   when H0 = 0.
//   f_pedigree      mean pedigree inbreeding coefficient of the animals (NA
//                   when none was given)
//   ld_r2_adjacent  mean r^2 over pairs of adjacent markers on the same
//                   chromosome whose minor allele frequencies are both
//                   >= 0.05; r^2 = D^2 / (pA (1-pA) pB (1-pB)) from the 2n
//                   haplotypes, D = pAB - pA pB; NA when no pair qualifies
// Then the results of the scheme (filled by the run's observer, NA in a
// historical row; stats/scheme_results.hpp computes them, docs/results.md gives
// each one's formula): per trait gain_t, gain_sd_t, response_t, accuracy_t;
// sel_diff_sires, sel_diff_dams, intensity_sires, intensity_dams,
// predicted_response_1, n_sires, n_dams, offspring_per_sire_max,
// offspring_per_dam_max, delta_f_pedigree, delta_f_genomic, ne_pedigree,
// ne_genomic, delta_f_pedigree_stage, delta_f_genomic_stage,
// ne_pedigree_stage, ne_genomic_stage; per trait qtl_fixed_up_t,
// qtl_fixed_down_t (counted by summary_engine::compute). Then the columns of
// the run's own choices (summary_row::extra): with dominance, per trait
// gv_mean_t, dominance_var_t, inbreeding_depression_t (and heterosis_t,
// heterosis_predicted_t with a cross line; stats/line_stats.hpp); optimum
// contributions; the parents' ages.
// In a run with lines the text column line follows generation: the line's
// name, NA on a row of no line; the row's statistics are those of the
// line's animals (stats/line_stats.hpp, block_input).
// Numbers are written in the shortest form that reads back to the same
// double (std::to_chars), never in a locale-dependent form; an undefined
// value is written NA (as R reads it).
//
// All sums run in a fixed order (animals, then loci, then QTL, in index
// order); the allele counts are exact integers, so splitting the work over
// threads (words of 64 haplotypes, fixed blocks of loci) does not change a
// single bit of the results.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

// Haplotypes stored as columns: haplotype h (0-based) is nloci alleles (1 or
// 2) starting at data + h * stride. Animal i owns haplotypes 2i and 2i + 1.
// Or, with bits set, one bit per allele: haplotype h is stride 64-bit words
// from bits + h * stride, bit l % 64 of word l / 64 set for allele 2.
struct hap_columns {
  const int8_t* data = nullptr;
  int nloci = 0;
  size_t stride = 0;
  const uint64_t* bits = nullptr;
  const int8_t* hap(int h) const { return data + static_cast<size_t>(h) * stride; }
  const uint64_t* bit_row(int h) const { return bits + static_cast<size_t>(h) * stride; }
};

// A matrix of doubles with one column per trait: the value of row k for
// trait t (both 0-based) is data[t * trait_stride + k].
struct per_trait {
  const double* data = nullptr;
  size_t trait_stride = 0;
  double operator()(int k, int t) const { return data[static_cast<size_t>(t) * trait_stride + static_cast<size_t>(k)]; }
};

// One generation as the statistics see it.
struct summary_input {
  int stage = 0, generation = 0;
  int nanimals = 0;
  int ntrait = 0;
  hap_columns markers;
  hap_columns candidates;              // candidate QTL loci
  std::span<const int32_t> qtl_locus;  // 0-based candidate column of each QTL
  per_trait qtl_effect;                // effect of QTL q on trait t
  per_trait tbv, phe;                  // true breeding value, phenotype of animal i
  std::span<const double> f_pedigree;  // per animal; empty when not known
};

// Chromosome and position (centimorgan) of every marker, markers of one
// chromosome consecutive and in map order.
struct marker_map {
  std::vector<int32_t> chromosome;
  std::vector<double> position_cm;
};

// nchr chromosomes of nmpc markers; gap_morgan holds the nmpc - 1 distances
// (Morgan) between neighbouring markers of chromosome 1, then chromosome 2,
// ... Positions start at 0 on each chromosome.
marker_map map_from_gaps(int nchr, int nmpc, std::span<const double> gap_morgan);
// Evenly spaced markers on chromosomes of length chrlen Morgan.
marker_map even_map(int nchr, int nmpc, double chrlen_morgan);

// Allele-1 frequencies of the base generation, for f_genomic.
struct base_frequencies {
  std::vector<double> marker_p, qtl_p;
  double het_sum = 0.0;  // sum over markers then QTL of 2 p0 (1 - p0)
  bool captured = false;
};

struct summary_row {
  int stage = 0, generation = 0, nind = 0;
  // The name of the line the row is of, in a run with lines (the column
  // line, right after generation); empty for a row of a whole generation
  // (written NA).
  std::string line;
  std::vector<double> tbv_mean, tbv_var, phe_mean, phe_var, genic_var;  // per trait
  double marker_het_obs = 0, marker_het_exp = 0, qtl_het_obs = 0, qtl_het_exp = 0;
  int64_t seg_markers = 0, seg_qtl = 0;
  double f_genomic = 0, f_pedigree = 0, ld_r2_adjacent = 0;
  // The results of the scheme; a per-trait vector shorter than the traits
  // (empty) stands for NA.
  std::vector<double> gain, gain_sd, response, accuracy;  // per trait
  double sel_diff_sires = not_a_number, sel_diff_dams = not_a_number;
  double intensity_sires = not_a_number, intensity_dams = not_a_number;
  double predicted_response_1 = not_a_number;
  double n_sires = not_a_number, n_dams = not_a_number;
  double offspring_per_sire_max = not_a_number, offspring_per_dam_max = not_a_number;
  double delta_f_pedigree = not_a_number, delta_f_genomic = not_a_number;
  double ne_pedigree = not_a_number, ne_genomic = not_a_number;
  double delta_f_pedigree_stage = not_a_number, delta_f_genomic_stage = not_a_number;
  double ne_pedigree_stage = not_a_number, ne_genomic_stage = not_a_number;
  std::vector<double> qtl_fixed_up, qtl_fixed_down;  // per trait
  // The columns of the run's own choices after the others (optimum
  // contributions, parent ages), in the order of their names; NA where missing.
  std::vector<double> extra;
  static constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();
};

// Mean r^2 by marker distance: bin k holds the pairs of markers of one
// chromosome whose distance d (cM) satisfies k * bin_cm <= d < (k + 1) *
// bin_cm, both with minor allele frequency >= min_maf.
struct ld_settings {
  double bin_cm = 1.0;
  int nbins = 20;
  double min_maf = 0.05;
};
struct ld_decay {
  int stage = 0, generation = 0;
  double bin_cm = 1.0;
  std::vector<int64_t> pairs;   // per bin
  std::vector<double> mean_r2;  // per bin, NaN when the bin has no pair
};

// The column names of summary.csv for ntrait traits.
// extra: the names of the columns of summary_row::extra; line: the text
// column line after generation (a run with lines).
std::vector<std::string> summary_header(int ntrait, std::span<const std::string> extra = {}, bool line = false);
// A row as the values of its numeric columns (NaN for NA), in column order;
// the line column, which is text, is not among them.
std::vector<double> summary_values(const summary_row& r);

// Computes the statistics of generations. Keeps its bit buffers between
// calls, so that once the sizes are known a generation allocates only small
// bookkeeping (the thread hand-off, and the vectors of a new summary_row;
// pass the same row to the three-argument compute to reuse it).
class summary_engine {
 public:
  // Takes g's allele frequencies as the base for f_genomic from now on.
  void capture_base(const summary_input& g, int threads = 1);
  const base_frequencies& base() const { return base_; }
  void set_base(base_frequencies b) { base_ = std::move(b); }

  // The statistics of generation g; map must describe g's markers.
  summary_row compute(const summary_input& g, const marker_map& map, int threads = 1);
  void compute(const summary_input& g, const marker_map& map, summary_row& out, int threads = 1);

  // The frequency of allele 1 at QTL q (0-based) among the haplotypes of the
  // generation last computed.
  double qtl_frequency(int q) const { return static_cast<double>(qcount_[static_cast<size_t>(q)]) / nhap_; }

  // LD decay of generation g.
  ld_decay decay(const summary_input& g, const marker_map& map, const ld_settings& s = {},
                 int threads = 1);

 private:
  void count(const summary_input& g, int threads);
  int nhap_ = 0, nwords_ = 0;
  std::vector<uint64_t> mbits_, qbits_;  // allele-1 bits: locus l, word w at l * nwords_ + w
  std::vector<int32_t> mcount_, mhet_, qcount_, qhet_;
  std::vector<int32_t> qorder_;  // QTL of each block by increasing candidate column  // per locus: allele-1 count, heterozygous animals
  std::vector<double> blocksum_;
  base_frequencies base_;
};

// r^2 from the counts of one pair of loci among n haplotypes: nA and nB
// haplotypes carry allele 1 at the loci, nAB at both. NaN when a locus is
// monomorphic.
double r2_from_counts(int64_t n, int64_t nA, int64_t nB, int64_t nAB);

// Appends v in the shortest form that reads back to the same double; NA for NaN.
void append_number(std::string& s, double v);

// summary.csv, written while the run goes on: open() creates DIR/summary.csv.part
// with the header, append() adds one generation and flushes it, finish()
// closes and renames it to summary.csv. A run that stops early leaves only
// summary.csv.part (the generations completed), never a partial summary.csv.
class summary_csv {
 public:
  summary_csv() = default;
  summary_csv(const summary_csv&) = delete;
  summary_csv& operator=(const summary_csv&) = delete;
  ~summary_csv();
  // line: the file has the text column line after generation, holding
  // each row's summary_row::line (NA when empty).
  void open(const std::string& dir, int ntrait, std::span<const std::string> extra = {}, bool line = false);
  void append(const summary_row& r);
  void finish();
  const std::string& final_path() const { return path_; }

 private:
  std::FILE* f_ = nullptr;
  std::string path_, part_, line_;
  int ntrait_ = 0;
  size_t columns_ = 0;
  bool line_column_ = false;
};

// summary.csv read back: the header and one vector of values per line
// (NA as NaN). A column named line holds text (the line of the row in a run
// with lines): its cells are NaN among the values and its texts are kept
// aside in line_names ("" for NA).
struct summary_table {
  std::vector<std::string> header;
  std::vector<std::vector<double>> rows;
  std::vector<size_t> lines;  // the line of each row in its file (read back only)
  std::vector<std::string> line_names;  // per row, with a line column; empty otherwise
  int column(std::string_view name) const;  // -1 when absent
  bool has_lines() const { return column("line") >= 0; }
};
summary_table summary_table_of(const std::vector<summary_row>& rows, int ntrait,
                               std::span<const std::string> extra = {}, bool line = false);
// The most bytes a summary file (summary.csv, ld_decay.csv) read back may
// have: a generation takes about 300 bytes with one trait and 10 KB with
// 100, so 64 MiB holds over 6000 generations of 100 traits.
inline constexpr uint64_t max_summary_file_bytes = uint64_t{64} << 20;
// Reads a summary file: a regular file (see base/input_file.hpp) of at most
// max_summary_file_bytes whose every line ends with a newline, with as many
// values on each line as the header has columns, each a number or NA. Stops
// the run naming the file, and the line, on a fault.
summary_table read_summary_csv(const std::string& path);
// Cell (r, c) of a table read back, a whole number from lo to hi; stops the
// run naming the file, the line and the column when it is anything else.
int64_t whole_cell(const summary_table& t, size_t r, size_t c, int64_t lo, int64_t hi, const std::string& path);

// ld_decay.csv: bin_low_cm,bin_high_cm,pairs,mean_r2 (one line per bin),
// written under a temporary name and renamed.
void write_ld_decay_csv(const std::string& path, const ld_decay& d);
// Reads ld_decay.csv back (as read_summary_csv); stage, generation and pairs
// must be whole numbers, the stage and generation those of the first line.
ld_decay read_ld_decay_csv(const std::string& path);

// Writes text to path through path + ".part" and a rename; stops the run
// naming the file when that fails.
void write_file_atomic(const std::string& path, std::string_view text);

}  // namespace qm
