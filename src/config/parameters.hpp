// The run's parameters and its stage plan: read once from the parameter file
// (the file is read whole at the start; every stage block is taken from that
// copy), then immutable for the rest of the run.
//
// Layout of the file: 20 records plus 4 per further stage. Headings are
// skipped whole; value records hold blank-, tab- or comma-separated values,
// and text after the values a read needs is ignored. A read that needs more
// values than its record holds continues on the next record. Every failure
// stops the run with a message naming the file, the record and what was
// expected there; values that have no defined run are rejected as the block
// is read. The blocks of the later stages are read and checked at the start
// too, so that a fault in one of them stops the run before its first
// generation; they are checked again as their stage begins.
#pragma once
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

// Upper limits checked when the file is read. No real study comes near them;
// they keep a mistyped value from running for hours or allocating the
// machine's memory before any other check can speak.
namespace limits {
inline constexpr int32_t max_traits = 100;             // correlations and factors grow as ntrait^2 and ntrait^3
inline constexpr int32_t max_stages = 100000;          // every stage block is kept in memory
inline constexpr int32_t max_animals = 100000000;      // nind; twice it must count haplotypes in 32 bits
inline constexpr double max_gamma_shape = 10000.0;     // a gamma draw takes time in proportion to its shape
inline constexpr int64_t max_file_bytes = 64 << 20;    // the parameter file
}  // namespace limits

// How the parents of the next generation are chosen.
enum class selection_criterion : int8_t {
  random = 0,      // at random within each sex
  true_value = 1,  // truncation on the true breeding value of trait 1
  phenotype = 2,   // truncation on the phenotype of trait 1
  pedigree_ebv = 3,  // truncation on the pedigree-BLUP EBV of trait 1 (stage 2 on)
  genomic_ebv = 4,   // truncation on the SNP-BLUP EBV of trait 1 (stage 2 on)
  index = 5,         // truncation on an index of every trait (scheme files: the stage's [stage.index])
  unknown = -1,    // any other value: the run stops when it selects
};

// Whether the criterion selects on estimated breeding values.
inline bool selects_on_ebv(selection_criterion c) {
  return c == selection_criterion::pedigree_ebv || c == selection_criterion::genomic_ebv;
}

// Selection on an index of the traits: the aggregate genotype H = sum of
// weight_t a_t, predicted from the values of the criterion (true breeding
// values, the Smith-Hazel index of the own phenotypes, or the EBVs of one
// multi-trait evaluation).
struct selection_index {
  selection_criterion criterion = selection_criterion::unknown;  // true_value, phenotype, pedigree_ebv, genomic_ebv
  std::vector<double> weights;                                     // one economic weight per trait
};

// Optimum contribution selection ([stage.contributions] of a scheme file):
// the contributions c of the candidates maximise c'x for the stage's
// criterion x subject to c'Ac/2 <= C_next, 1 - C_next = (1 - C_now)(1 - delta_f).
enum class relationship_source : int8_t { pedigree = 0, genomic = 1 };
struct optimum_contributions_setting {
  bool on = false;                                           // method = "ocs"
  double delta_f = 0.0;                                      // target rate of inbreeding per generation
  relationship_source relationship = relationship_source::pedigree;
  int32_t max_offspring = 0;                                 // per animal; 0: no limit
};

// Mating rules ([stage.mating_rules]): pairs of relatives never mated, and
// the most matings (families) of one sire in a generation (0: no limit).
struct mating_rules {
  bool avoid_full_sibs = false, avoid_half_sibs = false, avoid_parent_offspring = false;
  int32_t max_matings_per_sire = 0;
  bool any() const { return avoid_full_sibs || avoid_half_sibs || avoid_parent_offspring || max_matings_per_sire > 0; }
};

// Overlapping generations ([stage.ages]): for how many generations a selected
// sire or dam stays a candidate parent (1: only in the generation it was born).
struct parent_ages {
  int32_t sire_generations = 1, dam_generations = 1;
  bool overlapping() const { return sire_generations > 1 || dam_generations > 1; }
};

// Dominance ([traits] dominance): the degree of dominance delta of every QTL
// is drawn from a normal distribution of this mean and SD; the dominance
// effect of the QTL is d = delta |a|, a its additive effect.
struct dominance_setting {
  double mean = 0.0, sd = 0.0;
};

// A line ([[line]] of a scheme file): a part of the population that is
// mated and selected within itself in the stages that name it. A cross line
// (sire_line and dam_line set) is made each generation from the selected
// sires of one line and the selected dams of another (or of itself: a
// backcross); its own selected parents serve only the crosses that name it.
struct line_setting {
  std::string name;
  int32_t nind = 0, nsire = 0, ndam = 0;
  bool crossed = false;  // mating = "cross"
  // A cross: indices into run_parameters::lines (resolved after reading);
  // -1 for a line mated within itself.
  int32_t sire_line = -1, dam_line = -1;
  std::string sire_line_name, dam_line_name;  // as written (resolved after reading)
  // The line's own criterion (random, tbv or phenotype); unknown: the stage's.
  selection_criterion selection = selection_criterion::unknown;
  bool cross() const { return crossed; }
};

// The mating design of a scheme file's "min_coancestry" (no classic code).
inline constexpr int32_t min_coancestry_mating = 3;

// The values of one stage block of the parameter file.
struct stage_block {
  int32_t nsire = 0, ndam = 0, nind = 0, ngen = 0;
  int32_t nomut = 0, matetype = 0, seltype = 0;  // seltype as written
  selection_index index = {};                     // [stage.index] of a scheme file; unset otherwise
  optimum_contributions_setting contributions = {};  // [stage.contributions]; off otherwise
  mating_rules rules = {};                           // [stage.mating_rules]; none otherwise
  parent_ages ages = {};                             // [stage.ages]; 1 and 1 otherwise
  // The lines the stage runs (indices into run_parameters::lines, in the
  // order their blocks of animals take in every generation); empty: one
  // population. With lines, nsire, ndam and nind are the sums over them.
  std::vector<int32_t> lines = {};
  std::vector<std::string> line_names = {};  // as written (resolved after reading)
  // Whether the stage's parents are chosen or paired by anything beyond
  // truncation and the three classic designs: such a stage pairs its
  // matings by allocation (population/mate_allocation).
  bool allocates_matings() const {
    return contributions.on || rules.any() || ages.overlapping() || matetype == min_coancestry_mating;
  }
  // seltype as a criterion: 5 is the index only where the stage has one
  // (a classic block has none, and its seltype 5 stays unknown).
  selection_criterion criterion() const;
  // The values the stage ranks on: the criterion, or the index's own.
  selection_criterion evaluated() const {
    return criterion() == selection_criterion::index ? index.criterion : criterion();
  }
};

// Which animals have a record of a trait.
enum class recorded_sex : int8_t { both = 0, females = 1, males = 2 };

// A stage block as found in the file: its values, or the message that
// reports why it cannot be read (the stop of read_parameters, a problem
// of --check).
struct stage_entry {
  bool readable = false;
  stage_block block;
  std::string read_error;
};

// Where the values of a scheme file stand, for the messages about them
// (config/scheme_file.hpp).
struct scheme_places;

struct run_parameters {
  std::string parafile;
  // A scheme file (TOML): the places of its values; null for a classic file.
  std::shared_ptr<const scheme_places> scheme;
  std::string title;  // the title line of a classic file, the title key of a scheme
  // Warnings of the reading (a classic record with values it does not use).
  std::vector<std::string> warnings;
  // Traits.
  int32_t ntrait = 0, thresh = 0, uncommon_QTL = 0;
  float incid = 0.0f;
  std::vector<float> rgen, rerr;  // pairs (1,2), (1,3), ..., (n-1,n)
  std::vector<float> h2;          // trait 1 first
  // Genome.
  int32_t nmpc = 0, nchr = 0, maptype = 0;
  float chrlen = 0.0f;
  double mutm = 0.0, mutq = 0.0;
  // Records: which sex has a phenotype of trait t (recorded_on[t - 1]);
  // empty, or every entry both, when every animal has every record.
  std::vector<recorded_sex> recorded_on;
  // SNP chip ([chip]): chip_markers markers chosen among those whose minor
  // allele reaches chip_min_maf in the first generation of stage 2; 0: no
  // chip (genomic BLUP and the genotype files use every marker).
  int32_t chip_markers = 0;
  double chip_min_maf = 0.0;
  // Dominance: one setting per trait; empty: every QTL acts additively.
  std::vector<dominance_setting> dominance;
  bool dominance_for_every_trait = false;  // one [traits] dominance table for all traits (while reading)
  // Lines ([[line]]), in the order of the file.
  std::vector<line_setting> lines;
  // QTL effects.
  int32_t qtlrule = 0, nqtl = 0;
  float qtlp1 = 0.0f, qtlp2 = 0.0f;
  // Run.
  int32_t nstage = 0, spare = 0, seed = 0;
  std::vector<stage_entry> stages;  // stages[s] for s = 1..nstage (index 0 unused)
  int64_t idmult = 10000;           // identifiers in the result files: g * idmult + i
  int threads = 1;                  // threads the engine may use
  // From the command line: generations whose animals form the reference of
  // genomic BLUP (the current one and the K - 1 before it).
  int32_t gblup_generations = 3;
  // From the command line: a seed that replaces the one of record 16.
  std::optional<int32_t> seed_from_command_line;
  // From the command line: replicate K of the scheme (0: the file's own seed).
  int64_t replicate = 0;
  // From the command line: the largest peak memory allowed (0: what the machine has).
  int64_t max_memory_bytes = 0;
  // From the command line: haplotypes one bit per allele from the recoding
  // on (false: one byte per allele throughout, for comparisons).
  bool packed_genome = true;
  // From the command line: the history file written at the end of stage 1
  // (--save-history) and the one the run starts from (--from-history).
  std::string save_history, from_history;

  int32_t markers() const { return nmpc * nchr; }
  int32_t candidate_loci() const { return (nmpc - 1) * nchr; }
  const stage_block& stage1() const { return stages[1].block; }
  // Whether a stage block that can be read selects with criterion c.
  bool some_stage_uses(selection_criterion c) const;
  // Whether one selects on an index whose values come from criterion c.
  bool some_index_uses(selection_criterion c) const;
  bool with_dominance() const { return !dominance.empty(); }
  // Whether some stage runs lines.
  bool some_stage_has_lines() const;
  // Whether some stage pairs its matings by allocation (stage_block::allocates_matings).
  bool some_stage_allocates() const;
  // Whether some stage needs the relationships of its candidates from source
  // r: its contributions, or (pedigree) its min_coancestry mating or mating
  // rules without contributions of the other source.
  bool some_stage_relates_by(relationship_source r) const;
  // Whether animal i (odd: male, even: female) has a record of trait t.
  bool recorded(int32_t t, int32_t i) const {
    if (recorded_on.empty()) return true;
    const recorded_sex s = recorded_on[static_cast<size_t>(t - 1)];
    return s == recorded_sex::both || (s == recorded_sex::males) == ((i & 1) == 1);
  }
  // Whether some trait is recorded on one sex only.
  bool sex_limited() const {
    for (recorded_sex s : recorded_on)
      if (s != recorded_sex::both) return true;
    return false;
  }
};

// The records of a parameter text: its lines, line ends (and a carriage
// return before them) removed.
std::vector<std::string> records_of(std::string_view text);

// Prompts on the console and reads the parameter-file name (cut to 20
// characters) from in; empty when nothing could be read.
std::string askfile(std::FILE* in);

// Reads the parameter file named by p.parafile (prompting on standard input
// when it is empty) and stops on its first problem: the run-wide records and
// the stage-1 block, then every later block in stage order (one that cannot
// be read, or breaks a rule of its block with the parent lists the stage
// before it selects), each with the message --check gives for it. The rules
// that the run checks with stops of its own (selection, more sires than
// dams, the effect draws) are left to the run.
void read_parameters(run_parameters& p);

// The same from a text already in memory (p.parafile names it in messages).
void read_parameter_text(run_parameters& p, std::string_view text);

// --check: reads the whole file and collects every problem instead of
// stopping at the first: the rules checked as the file is read, those of
// every later stage block, and the rules the run would stop on (selection,
// mating, seltype, effect draws). A file that cannot be opened still stops.
std::vector<std::string> check_parameters(run_parameters& p);
// The same for a text in memory (null: the file p.parafile).
std::vector<std::string> check_parameter_text(run_parameters& p, const std::string_view* text);

// The block of stage s (s >= 2) as the stage begins: stops with the reason
// when it could not be read or breaks a rule. nsire_now and ndam_now are the
// lengths of the parent lists that the first generation of the stage mates.
// read_parameters has checked the block already with the lengths the stages
// before it select; this holds it to the lists the run has.
const stage_block& enter_stage(const run_parameters& p, int s, int32_t nsire_now, int32_t ndam_now);

}  // namespace qm
