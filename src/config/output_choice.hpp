// Which result files a run writes: the kinds of file (--files) and the
// generations that get per-generation files (--generations).
//
// Kinds: haplotypes (ggMTYPE.out, ggQTYPE.out), values (ggBV.out), ebv
// (ggEBV.out), plink (ggeno.bed/.bim/.fam), vcf (ggeno.vcf.gz and its
// index), summary (summary.csv, ld_decay.csv), report (report.html). The
// run-wide files (maps, genetic parameters, log.txt, run.json) are always
// written; summary.csv has a row for every generation whatever the
// generations chosen.
//
// Generations: "all", "last" (the last generation with result files),
// "every:N" (the file generations that are multiples of N), or a list of
// numbers and ranges "1,5,10-12" (where "last" may be one of the items), in
// the numbering of the result files.
#pragma once
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace qm {

// Every kind, in the order --help and run.json list them.
const std::vector<std::string>& output_kinds();
// The kinds written when --files is not given (--plink and --vcf add theirs).
const std::vector<std::string>& default_output_kinds();

class generation_choice {
 public:
  // Every generation.
  generation_choice() = default;
  // Reads the text of --generations; the reason it cannot be read otherwise ("" when it can).
  static std::optional<generation_choice> parse(const std::string& choice_text, std::string& why);
  // The text it was read from ("all" by default).
  const std::string& text() const { return text_; }
  bool all() const { return mode_ == mode::all; }
  // Whether file generation g gets its files; last is the last file
  // generation of the run.
  bool contains(int64_t g, int64_t last) const;

 private:
  enum class mode { all, last, every, listed };
  mode mode_ = mode::all;
  int64_t every_ = 1;
  std::vector<std::pair<int64_t, int64_t>> ranges_;  // inclusive
  bool with_last_ = false;                           // "last" among the listed
  std::string text_ = "all";
};

struct output_choice {
  std::set<std::string> kinds{default_output_kinds().begin(), default_output_kinds().end()};
  generation_choice generations;
  // The shape of the PLINK and VCF files: the QTL as variants too, and the
  // parents written in the .fam files (all, or only those in the fileset).
  bool plink_qtl = false, vcf_qtl = false, fam_all_parents = false;
  bool nucleotide = false;  // nucleotide alleles, with the reference genome.fa
  bool all_markers = false;  // every marker in the PLINK and VCF files, also in a run with a SNP chip
  bool wants(const std::string& kind) const { return kinds.count(kind) > 0; }
  // The kinds in the order of output_kinds(), joined by commas.
  std::string kinds_text() const;
  // Reads "plink,summary,report" (or "all"); the reason it cannot be read
  // otherwise.
  static std::optional<std::set<std::string>> parse_kinds(const std::string& text, std::string& why);
};

}  // namespace qm
