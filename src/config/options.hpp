// The command line of quillmere.
//
//   quillmere [OPTIONS] [PARAMETER_FILE]
//   quillmere merge DIR...
//   quillmere merge --compare SCHEME_A SCHEME_B
//   quillmere convert FILE [-o OUT]
//
// Options take their value as "--name value" or "--name=value". An option
// that cannot be understood stops with exit status 2 before anything runs.
#pragma once
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "config/output_choice.hpp"

namespace qm {

struct run_options {
  std::string parafile;               // empty: asked for at the prompt
  int threads = 1;                    // default: the cores the process may run on
  std::string outdir;                 // empty: the working folder (classic mode)
  bool overwrite = false;             // remove result files of an earlier run from outdir
  std::optional<int32_t> seed;        // replaces the seed record of the file
  int64_t replicate = 0;              // replicate number; 0 is the file's own seed
  int64_t replicate_last = 0;         // --replicate K-L: the last of the range (0: one replicate)
  bool plink = false, plink_qtl = false, vcf = false;
  // Files for other tools (output/genotype_files.hpp): --vcf-qtl, the alleles
  // ("AB" or "nucleotide"), and the parents in .fam ("fileset": those in the
  // fileset, others as 0; "all": every parent).
  bool vcf_qtl = false;
  std::string alleles = "AB";
  std::string fam_parents = "fileset";
  bool all_markers = false;           // every marker in the PLINK and VCF files, not only the SNP chip's
  bool history_summary = false;       // summary rows for the historical generations too
  bool check_only = false;            // --check: validate the file and exit
  output_choice output;               // --files, --generations (--plink and --vcf add their kinds)
  bool quiet = false;                 // --quiet: no per-generation lines on the console
  int64_t max_disk_mb = 0;            // --max-disk; 0: the free space of the output folder's disk
  std::string save_history;           // --save-history: the state at the end of stage 1 goes here
  std::string from_history;           // --from-history: start at stage 2 from this saved state
  int64_t max_memory_mb = 0;          // 0: the machine's available memory
  int gblup_generations = 3;          // reference generations of genomic BLUP
  std::string genome_layout = "packed";  // "packed" or "bytes" from the recoding on
  std::vector<std::string> command_line;
  // convert subcommand: a classic parameter file as a scheme file, or back
  bool convert = false;
  std::string convert_file, convert_out;
  // merge subcommand
  bool merge = false;
  std::vector<std::string> merge_folders;
  std::string merge_outdir = ".";
  bool merge_compare = false;  // --compare: the two folders are schemes, each a folder of replicate folders
};

// Parses argv. Returns the exit status to end with (0 after --help or
// --version, 2 for a command line that cannot be understood, with its
// message on messages), or nothing when the run should go on. Every option
// that takes a value refuses an empty one; numbers are whole numbers in
// decimal digits (010 is ten; 0x10, 1e3, 4x are refused).
std::optional<int> parse_options(int argc, char** argv, run_options& o, std::FILE* messages = stderr);

// The option of `names` nearest to `word` (edit distance, a swap of two
// neighbouring letters counting one), or "" when none is near enough.
std::string nearest_option(const std::string& word, const std::vector<std::string>& names);

// The cores this process may run on.
int default_threads();

}  // namespace qm
