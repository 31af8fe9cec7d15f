#include "config/scheme_keys.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace qm {

namespace {

constexpr double no_lower = -std::numeric_limits<double>::infinity();
constexpr double no_upper = std::numeric_limits<double>::infinity();
constexpr double int32_lo = -2147483648.0, int32_hi = 2147483647.0;

float single_of(const std::string& t) { return std::strtof(t.c_str(), nullptr); }
double double_of(const std::string& t) { return std::strtod(t.c_str(), nullptr); }

// The shortest text that reads back as the same value, in TOML's float form.
template <class T>
std::string number_text(T v) {
  char b[64];
  const auto res = std::to_chars(b, b + sizeof b, v);
  std::string s(b, res.ptr);
  if (s.find_first_of(".eEn") == std::string::npos) s += ".0";  // n: inf, nan
  return s;
}

key_value integer_value(int64_t v) {
  key_value k;
  k.integer = v;
  return k;
}
template <class T>
key_value number_value(T v) {
  key_value k;
  k.number = number_text(v);
  return k;
}
key_value flag_value(bool v) {
  key_value k;
  k.flag = v;
  return k;
}
key_value code_value(int32_t v) {
  key_value k;
  k.code = v;
  return k;
}
key_value reals_value(const std::vector<float>& v) {
  key_value k;
  for (float x : v) k.numbers.push_back(number_text(x));
  return k;
}
std::vector<float> reals_of(const key_value& v) {
  std::vector<float> out;
  for (const std::string& t : v.numbers) out.push_back(single_of(t));
  return out;
}

constexpr named_code map_names[] = {{"even", 0}, {"random", 1}, {"none", 2}};
constexpr named_code distribution_names[] = {{"normal", 0}, {"gamma", 1}};
constexpr named_code mating_names[] = {
    {"nested", 0}, {"random_avoid_sibs", 1}, {"random", 2}, {"min_coancestry", min_coancestry_mating}};
constexpr named_code contribution_methods[] = {{"ocs", 1}};
constexpr named_code relationship_names[] = {{"pedigree", 0}, {"genomic", 1}};
constexpr named_code avoid_names[] = {{"full_sibs", 0}, {"half_sibs", 1}, {"parent_offspring", 2}};
constexpr named_code selection_names[] = {{"random", 0},        {"tbv", 1},          {"phenotype", 2},
                                          {"pedigree_blup", 3}, {"genomic_blup", 4}, {"index", 5}};
constexpr named_code index_criterion_names[] = {
    {"tbv", 1}, {"phenotype", 2}, {"pedigree_blup", 3}, {"genomic_blup", 4}};
constexpr named_code sex_names[] = {{"both", 0}, {"females", 1}, {"males", 2}};
constexpr named_code line_mating_names[] = {{"within", 0}, {"cross", 1}};
constexpr named_code line_selection_names[] = {{"random", 0}, {"tbv", 1}, {"phenotype", 2}};

// The item of [traits] dominance or [[line]] being read: the reader adds
// one before it reads the keys of each.
dominance_setting& dominance_item(run_parameters& p) {
  if (p.dominance.empty()) p.dominance.emplace_back();
  return p.dominance.back();
}
line_setting& line_item(run_parameters& p) {
  if (p.lines.empty()) p.lines.emplace_back();
  return p.lines.back();
}
const line_setting& line_item(const run_parameters& p) {
  static const line_setting none;
  return p.lines.empty() ? none : p.lines.back();
}
bool crossing(const run_parameters& p) { return line_item(p).cross(); }
key_value text_value(std::string t) {
  key_value k;
  k.text = std::move(t);
  return k;
}

key_value codes_value(std::vector<int32_t> codes) {
  key_value k;
  k.codes = std::move(codes);
  return k;
}

// A key its table cannot do without (the table itself may be left out).
bool always(const run_parameters&) { return true; }
bool several_stages(const run_parameters& p) { return p.nstage >= 2; }
bool several_traits(const run_parameters& p) { return p.ntrait >= 2; }
bool threshold_on(const run_parameters& p) { return p.thresh == 1; }
bool gamma_effects(const run_parameters& p) { return p.qtlrule == 1; }
bool normal_effects(const run_parameters& p) { return p.qtlrule == 0; }
bool normal_several(const run_parameters& p) { return p.qtlrule == 0 && p.ntrait >= 2 && p.nstage >= 2; }
bool gamma_one_trait(const run_parameters& p) { return p.qtlrule == 1 && p.ntrait == 1 && p.nstage >= 2; }
bool effects_drawn(const run_parameters& p) { return p.nstage >= 2; }

using P = run_parameters;
using B = stage_block;
using V = key_value;

const scheme_key keys[] = {
    // ------------------------------------------------------------ the run
    {"", "title", key_kind::text, 0, 0, false, false, {}, "\"\"", "record 1 (the title line)", "",
     "a title of the run, one line", [](P& p, B&, const V& v) { p.title = v.text; },
     [](const P& p, const B&) {
       V k;
       k.text = p.title;
       return k;
     }},
    {"", "seed", key_kind::integer, 0, 2147483646, false, false, {}, "0", "record 16: seed", "seed",
     "start value of the random stream; 0 takes it from the clock (the log reports the value used)",
     [](P& p, B&, const V& v) { p.seed = static_cast<int32_t>(v.integer); },
     [](const P& p, const B&) { return integer_value(p.seed); }},
    // ------------------------------------------------------------ genome
    {"genome", "markers_per_chromosome", key_kind::integer, 2, int32_hi, false, false, {}, "", "record 10: nmpc",
     "nmpc", "markers on every chromosome; a candidate QTL locus lies between each two neighbours",
     [](P& p, B&, const V& v) { p.nmpc = static_cast<int32_t>(v.integer); },
     [](const P& p, const B&) { return integer_value(p.nmpc); }},
    {"genome", "chromosomes", key_kind::integer, 1, int32_hi, false, false, {}, "", "record 10: nchr", "nchr",
     "number of chromosomes", [](P& p, B&, const V& v) { p.nchr = static_cast<int32_t>(v.integer); },
     [](const P& p, const B&) { return integer_value(p.nchr); }},
    {"genome", "map", key_kind::choice, 0, 0, false, false, map_names, "\"even\"", "record 10: maptype", "maptype",
     "marker map: evenly spaced, random gaps (written to mposition.out), or none (no recombination)",
     [](P& p, B&, const V& v) { p.maptype = v.code; },
     [](const P& p, const B&) { return code_value(p.maptype == 0 || p.maptype == 1 ? p.maptype : 2); }},
    {"genome", "length_morgan", key_kind::single_real, 0, no_upper, true, true, {}, "", "record 12: chrlen", "chrlen",
     "length of every chromosome, in Morgan", [](P& p, B&, const V& v) { p.chrlen = single_of(v.number); },
     [](const P& p, const B&) { return number_value(p.chrlen); }},
    {"genome", "marker_mutation_rate", key_kind::double_real, 0, 1, false, false, {}, "", "record 12: mutm", "mutm",
     "mutation rate per marker and meiosis", [](P& p, B&, const V& v) { p.mutm = double_of(v.number); },
     [](const P& p, const B&) { return number_value(p.mutm); }},
    {"genome", "candidate_qtl_mutation_rate", key_kind::double_real, 0, 1, false, false, {}, "", "record 12: mutq",
     "mutq", "mutation rate per candidate QTL locus and meiosis",
     [](P& p, B&, const V& v) { p.mutq = double_of(v.number); },
     [](const P& p, const B&) { return number_value(p.mutq); }},
    // ------------------------------------------------------------ traits
    {"traits", "count", key_kind::integer, 1, limits::max_traits, false, false, {},
     "the number of heritabilities", "record 2: ntrait", "ntrait", "number of traits",
     [](P& p, B&, const V& v) { p.ntrait = static_cast<int32_t>(v.integer); },
     [](const P& p, const B&) { return integer_value(p.ntrait); }},
    {"traits", "heritability", key_kind::reals, 0, 1, true, false, {}, "", "record 8: h2", "h2",
     "heritability of every trait, trait 1 first (one number for one trait)",
     [](P& p, B&, const V& v) { p.h2 = reals_of(v); }, [](const P& p, const B&) { return reals_value(p.h2); }},
    {"traits", "genetic_correlations", key_kind::correlations, -1, 1, false, false, {},
     "none; needed with two traits or more", "record 4: rgen", "rgen",
     "genetic correlations: the matrix, or its upper triangle row by row (1,2), (1,3) .. (2,3) ..",
     [](P& p, B&, const V& v) { p.rgen = reals_of(v); }, [](const P& p, const B&) { return reals_value(p.rgen); },
     several_traits, several_traits, several_traits, "with one trait there are no correlations"},
    {"traits", "residual_correlations", key_kind::correlations, -1, 1, false, false, {},
     "none; needed with two traits or more", "record 6: rerr", "rerr", "residual correlations, as the genetic ones",
     [](P& p, B&, const V& v) { p.rerr = reals_of(v); }, [](const P& p, const B&) { return reals_value(p.rerr); },
     several_traits, several_traits, several_traits, "with one trait there are no correlations"},
    {"traits", "threshold_trait", key_kind::boolean, 0, 0, false, false, {}, "false", "record 2: thresh", "thresh",
     "trait 1 is a threshold trait: its phenotype is recorded as 0 or 1",
     [](P& p, B&, const V& v) { p.thresh = v.flag ? 1 : 0; },
     [](const P& p, const B&) { return flag_value(p.thresh == 1); }},
    {"traits", "incidence", key_kind::single_real, 0, 1, true, true, {}, "none; needed with threshold_trait = true",
     "record 2: incid", "incid", "threshold trait: the fraction of animals below the threshold",
     [](P& p, B&, const V& v) { p.incid = single_of(v.number); },
     [](const P& p, const B&) { return number_value(p.incid); }, threshold_on, threshold_on},
    {"traits", "uncommon_qtl", key_kind::boolean, 0, 0, false, false, {}, "false", "record 2: uncommon_QTL",
     "uncommon_QTL", "with two traits, part of the QTL affect one trait only",
     [](P& p, B&, const V& v) { p.uncommon_QTL = v.flag ? 1 : 0; },
     [](const P& p, const B&) { return flag_value(p.uncommon_QTL == 1); }},
    {"traits", "recorded_on", key_kind::choices, 0, 0, false, false, sex_names, "\"both\" for every trait", "", "",
     "which animals have a record of each trait, trait 1 first: both sexes, or females or males only (milk, litter "
     "size); a record the other sex lacks is missing in the evaluations and the phenotype index, NaN in BV.out and -9 "
     "in PLINK's .fam",
     [](P& p, B&, const V& v) {
       p.recorded_on.clear();
       for (int32_t c : v.codes) p.recorded_on.push_back(static_cast<recorded_sex>(c));
     },
     [](const P& p, const B&) {
       std::vector<int32_t> codes;
       for (recorded_sex x : p.recorded_on) codes.push_back(static_cast<int32_t>(x));
       codes.resize(static_cast<size_t>(std::max(p.ntrait, 1)), 0);
       return codes_value(codes);
     }},
    // ------------------------------------------------------------ traits.dominance
    {"traits.dominance", "mean", key_kind::double_real, no_lower, no_upper, false, false, {},
     "none; needed in [traits] dominance", "", "",
     "the mean degree of dominance delta of the QTL: each QTL draws delta from a normal distribution and has the "
     "dominance effect d = delta times the size of a (a its additive effect; 0 additive, 1 complete dominance, above 1 "
     "overdominance); one table for every trait, or an array of one table per trait",
     [](P& p, B&, const V& v) { dominance_item(p).mean = double_of(v.number); },
     [](const P& p, const B&) { return number_value(p.dominance.empty() ? 0.0 : p.dominance.front().mean); },
     always},
    {"traits.dominance", "sd", key_kind::double_real, 0, no_upper, false, false, {},
     "none; needed in [traits] dominance", "", "", "the standard deviation of the degrees of dominance",
     [](P& p, B&, const V& v) { dominance_item(p).sd = double_of(v.number); },
     [](const P& p, const B&) { return number_value(p.dominance.empty() ? 0.0 : p.dominance.front().sd); },
     always},
    // ------------------------------------------------------------ qtl
    {"qtl", "count", key_kind::integer, 1, int32_hi, false, false, {}, "none; needed with two stages or more",
     "record 14: nqtl", "nqtl", "number of QTL chosen among the segregating candidate loci",
     [](P& p, B&, const V& v) { p.nqtl = static_cast<int32_t>(v.integer); },
     [](const P& p, const B&) { return integer_value(p.nqtl); }, several_stages, several_stages},
    {"qtl", "distribution", key_kind::choice, 0, 0, false, false, distribution_names, "\"normal\"",
     "record 14: qtlrule", "qtlrule", "distribution of the QTL effects",
     [](P& p, B&, const V& v) { p.qtlrule = v.code; }, [](const P& p, const B&) { return code_value(p.qtlrule); }},
    {"qtl", "variance", key_kind::single_real, 0, no_upper, true, true, {}, "1.0", "record 14: qtlp2 (normal)",
     "qtlp2",
     "normal effects: their variance with one trait; with several, that of trait 2 (trait t >= 3: variance + t - 2)",
     [](P& p, B&, const V& v) { p.qtlp2 = single_of(v.number); },
     [](const P& p, const B&) { return number_value(p.qtlp2); }, nullptr, effects_drawn, normal_effects,
     "it belongs to distribution = \"normal\" (gamma effects have shape and rate)"},
    {"qtl", "variance_trait1", key_kind::single_real, 0, no_upper, true, true, {}, "1.0",
     "record 14: qtlp1 (normal)", "qtlp1", "normal effects with several traits: the variance of trait 1's effects",
     [](P& p, B&, const V& v) { p.qtlp1 = single_of(v.number); },
     [](const P& p, const B&) { return number_value(p.qtlp1); }, nullptr, normal_several, normal_effects,
     "it belongs to distribution = \"normal\" (gamma effects have shape and rate)"},
    {"qtl", "shape", key_kind::single_real, 0, limits::max_gamma_shape, true, false, {}, "0.4",
     "record 14: qtlp1 (gamma)", "qtlp1",
     "gamma effects, one trait: the shape (two traits with uncommon QTL use the shape 0.4)",
     [](P& p, B&, const V& v) { p.qtlp1 = single_of(v.number); },
     [](const P& p, const B&) { return number_value(p.qtlp1); }, nullptr, gamma_one_trait, gamma_effects,
     "it belongs to distribution = \"gamma\" (normal effects have variance and variance_trait1)"},
    {"qtl", "rate", key_kind::single_real, 0, no_upper, true, true, {}, "1.0", "record 14: qtlp2 (gamma)", "qtlp2",
     "gamma effects: the rate", [](P& p, B&, const V& v) { p.qtlp2 = single_of(v.number); },
     [](const P& p, const B&) { return number_value(p.qtlp2); }, nullptr, effects_drawn, gamma_effects,
     "it belongs to distribution = \"gamma\" (normal effects have variance and variance_trait1)"},
    // ------------------------------------------------------------ chip
    {"chip", "markers", key_kind::integer, 1, int32_hi, false, false, {}, "none; needed in [chip]", "", "",
     "markers of the SNP chip, chosen evenly by position among those that reach min_maf in the first generation of "
     "stage 2; genomic BLUP and the PLINK and VCF files use them",
     [](P& p, B&, const V& v) { p.chip_markers = static_cast<int32_t>(v.integer); },
     [](const P& p, const B&) { return integer_value(p.chip_markers); }, always},
    {"chip", "min_maf", key_kind::double_real, 0, 0.5, false, false, {}, "0.01", "", "",
     "the minor-allele frequency a chip marker needs in the first generation of stage 2",
     [](P& p, B&, const V& v) { p.chip_min_maf = double_of(v.number); },
     [](const P& p, const B&) { return number_value(p.chip_min_maf); }},
    // ------------------------------------------------------------ line
    {"line", "name", key_kind::text, 0, 0, false, false, {}, "none; needed in [[line]]", "", "",
     "the name of the line, as the stages, the crosses, summary.csv and the files name it",
     [](P& p, B&, const V& v) { line_item(p).name = v.text; },
     [](const P& p, const B&) { return text_value(line_item(p).name); }, always},
    {"line", "animals", key_kind::integer, 2, limits::max_animals, false, false, {}, "none; needed in [[line]]", "",
     "", "animals of the line born in every generation (an even number: half of each sex)",
     [](P& p, B&, const V& v) { line_item(p).nind = static_cast<int32_t>(v.integer); },
     [](const P& p, const B&) { return integer_value(line_item(p).nind); }, always},
    {"line", "sires", key_kind::integer, 0, limits::max_animals, false, false, {}, "0", "", "",
     "sires selected in the line every generation (at least 3 and at most animals / 2; a cross line: 0 when no "
     "cross takes its sires)",
     [](P& p, B&, const V& v) { line_item(p).nsire = static_cast<int32_t>(v.integer); },
     [](const P& p, const B&) { return integer_value(line_item(p).nsire); }},
    {"line", "dams", key_kind::integer, 0, limits::max_animals, false, false, {}, "0", "", "",
     "dams selected in the line every generation, as sires",
     [](P& p, B&, const V& v) { line_item(p).ndam = static_cast<int32_t>(v.integer); },
     [](const P& p, const B&) { return integer_value(line_item(p).ndam); }},
    {"line", "mating", key_kind::choice, 0, 0, false, false, line_mating_names, "\"within\"", "", "",
     "within: the line's selected sires and dams are mated by the stage's design; cross: the line is made from "
     "the selected sires of sire_line and the selected dams of dam_line",
     [](P& p, B&, const V& v) { line_item(p).crossed = v.code == 1; },
     [](const P& p, const B&) { return code_value(line_item(p).cross() ? 1 : 0); }},
    {"line", "sire_line", key_kind::text, 0, 0, false, false, {}, "none; needed with mating = \"cross\"", "", "",
     "a cross: the line whose selected sires are the sires",
     [](P& p, B&, const V& v) { line_item(p).sire_line_name = v.text; },
     [](const P& p, const B&) { return text_value(line_item(p).sire_line_name); }, crossing, nullptr, crossing,
     "it belongs to a line with mating = \"cross\""},
    {"line", "dam_line", key_kind::text, 0, 0, false, false, {}, "none; needed with mating = \"cross\"", "", "",
     "a cross: the line whose selected dams are the dams (the cross line itself: a backcross)",
     [](P& p, B&, const V& v) { line_item(p).dam_line_name = v.text; },
     [](const P& p, const B&) { return text_value(line_item(p).dam_line_name); }, crossing, nullptr, crossing,
     "it belongs to a line with mating = \"cross\""},
    {"line", "selection", key_kind::choice, 0, 0, false, false, line_selection_names, "the stage's selection", "",
     "", "the line's own criterion, ranked within the line; without it the line ranks on the stage's selection",
     [](P& p, B&, const V& v) { line_item(p).selection = static_cast<selection_criterion>(v.code); },
     [](const P& p, const B&) { return code_value(static_cast<int32_t>(line_item(p).selection)); }},
    // ------------------------------------------------------------ stage
    {"stage", "sires", key_kind::integer, 1, limits::max_animals, false, false, {}, "", "record 4s + 14: nsire",
     "nsire", "sires selected in every generation (stage 1: at most animals / 2)",
     [](P&, B& b, const V& v) { b.nsire = static_cast<int32_t>(v.integer); },
     [](const P&, const B& b) { return integer_value(b.nsire); }},
    {"stage", "dams", key_kind::integer, 1, limits::max_animals, false, false, {}, "", "record 4s + 14: ndam", "ndam",
     "dams selected in every generation (stage 1: at most animals / 2)",
     [](P&, B& b, const V& v) { b.ndam = static_cast<int32_t>(v.integer); },
     [](const P&, const B& b) { return integer_value(b.ndam); }},
    {"stage", "animals", key_kind::integer, 2, limits::max_animals, false, false, {}, "", "record 4s + 14: nind",
     "nind", "animals born in every generation",
     [](P&, B& b, const V& v) { b.nind = static_cast<int32_t>(v.integer); },
     [](const P&, const B& b) { return integer_value(b.nind); }},
    {"stage", "generations", key_kind::integer, int32_lo, int32_hi, false, false, {}, "", "record 4s + 14: ngen",
     "ngen", "generations of the stage (stage 1: the historical generations)",
     [](P&, B& b, const V& v) { b.ngen = static_cast<int32_t>(v.integer); },
     [](const P&, const B& b) { return integer_value(b.ngen); }, nullptr, nullptr, nullptr, {},
     ">= 0 from stage 2 on"},
    {"stage", "mutation", key_kind::boolean, 0, 0, false, false, {}, "true", "record 4s + 16: nomut (1 is false)",
     "nomut", "mutation in the meioses of the stage; false switches it off for the rest of the run",
     [](P&, B& b, const V& v) { b.nomut = v.flag ? 0 : 1; },
     [](const P&, const B& b) { return flag_value(b.nomut != 1); }},
    {"stage", "mating", key_kind::choice, 0, 0, false, false, mating_names, "\"random\"",
     "record 4s + 16: matetype", "matetype",
     "mating design: nested (fixed family sizes), random avoiding half and full sibs, random, or the pairs of least "
     "mean coancestry (min_coancestry, no classic code)",
     [](P&, B& b, const V& v) { b.matetype = v.code; }, [](const P&, const B& b) { return code_value(b.matetype); }},
    {"stage", "selection", key_kind::choice, 0, 0, false, false, selection_names, "\"random\"",
     "record 4s + 16: seltype", "seltype",
     "parents chosen at random or by truncation on trait 1's true breeding value, phenotype, pedigree-BLUP EBV or "
     "genomic-BLUP EBV (the EBVs from stage 2 on), or on an index of every trait (index: the stage's [stage.index])",
     [](P&, B& b, const V& v) { b.seltype = v.code; }, [](const P&, const B& b) { return code_value(b.seltype); }},
    {"stage", "lines", key_kind::names, 0, 0, false, false, {}, "none (one population)", "", "",
     "the lines the stage runs, by the names of their [[line]] tables, from stage 2 on: each is mated and selected "
     "within itself (a cross line is made from its sire and dam lines), and the stage's sires, dams and animals "
     "are those of its lines",
     [](P&, B& b, const V& v) { b.line_names = v.names; },
     [](const P&, const B& b) {
       key_value k;
       k.names = b.line_names;
       return k;
     }},
    // ------------------------------------------------------------ stage.index
    {"stage.index", "criterion", key_kind::choice, 0, 0, false, false, index_criterion_names,
     "none; needed in [stage.index]", "", "",
     "what the index is made of: the true breeding values, the Smith-Hazel index of the own phenotypes, or the EBVs "
     "of one multi-trait pedigree or genomic BLUP evaluation",
     [](P&, B& b, const V& v) { b.index.criterion = static_cast<selection_criterion>(v.code); },
     [](const P&, const B& b) { return code_value(static_cast<int32_t>(b.index.criterion)); }, always},
    {"stage.index", "weights", key_kind::reals, no_lower, no_upper, false, false, {}, "none; needed in [stage.index]",
     "", "",
     "the economic weight of every trait, trait 1 first: the index predicts H = sum of weight x breeding value",
     [](P&, B& b, const V& v) {
       b.index.weights.clear();
       for (float w : reals_of(v)) b.index.weights.push_back(static_cast<double>(w));
     },
     [](const P&, const B& b) {
       std::vector<float> w;
       for (double x : b.index.weights) w.push_back(static_cast<float>(x));
       return reals_value(w);
     },
     always, nullptr, nullptr, {}, "each finite"},
    // ------------------------------------------------------------ stage.contributions
    {"stage.contributions", "method", key_kind::choice, 0, 0, false, false, contribution_methods,
     "none; needed in [stage.contributions]", "", "",
     "optimum contribution selection: the contributions c of the candidates maximise c'x for the stage's criterion x "
     "with the mean coancestry c'Ac/2 of the next generation held to its target",
     [](P&, B& b, const V& v) { b.contributions.on = v.code == 1; },
     [](const P&, const B& b) { return code_value(b.contributions.on ? 1 : 0); }, always},
    {"stage.contributions", "delta_f", key_kind::double_real, 0, 1, true, true, {},
     "none; needed in [stage.contributions]", "", "",
     "the target rate of inbreeding per generation: 1 - C_next = (1 - C_now)(1 - delta_f), C_now the mean "
     "coancestry of the current generation",
     [](P&, B& b, const V& v) { b.contributions.delta_f = double_of(v.number); },
     [](const P&, const B& b) { return number_value(b.contributions.delta_f); }, always},
    {"stage.contributions", "relationship", key_kind::choice, 0, 0, false, false, relationship_names, "\"pedigree\"",
     "", "",
     "the relationships A: of the pedigree from the first generation of stage 2 on, or genomic (VanRaden's first "
     "method, on the chip or every marker, allele frequencies of the first generation of stage 2)",
     [](P&, B& b, const V& v) { b.contributions.relationship = static_cast<relationship_source>(v.code); },
     [](const P&, const B& b) { return code_value(static_cast<int32_t>(b.contributions.relationship)); }},
    {"stage.contributions", "max_offspring", key_kind::integer, 1, limits::max_animals, false, false, {},
     "no limit", "", "", "the most offspring of one animal in a generation",
     [](P&, B& b, const V& v) { b.contributions.max_offspring = static_cast<int32_t>(v.integer); },
     [](const P&, const B& b) { return integer_value(b.contributions.max_offspring); }},
    // ------------------------------------------------------------ stage.mating_rules
    {"stage.mating_rules", "avoid", key_kind::choices, 0, 0, false, false, avoid_names, "none", "", "",
     "pairs of relatives never mated, under any design: full sibs, half sibs, parent and offspring",
     [](P&, B& b, const V& v) {
       for (int32_t c : v.codes) {
         if (c == 0) b.rules.avoid_full_sibs = true;
         if (c == 1) b.rules.avoid_half_sibs = true;
         if (c == 2) b.rules.avoid_parent_offspring = true;
       }
     },
     [](const P&, const B& b) {
       std::vector<int32_t> codes;
       if (b.rules.avoid_full_sibs) codes.push_back(0);
       if (b.rules.avoid_half_sibs) codes.push_back(1);
       if (b.rules.avoid_parent_offspring) codes.push_back(2);
       return codes_value(codes);
     }},
    {"stage.mating_rules", "max_matings_per_sire", key_kind::integer, 1, limits::max_animals, false, false, {},
     "no limit", "", "", "the most matings (families) of one sire in a generation",
     [](P&, B& b, const V& v) { b.rules.max_matings_per_sire = static_cast<int32_t>(v.integer); },
     [](const P&, const B& b) { return integer_value(b.rules.max_matings_per_sire); }},
    // ------------------------------------------------------------ stage.ages
    {"stage.ages", "sire_generations", key_kind::integer, 1, 100, false, false, {}, "1", "", "",
     "for how many generations a sire stays a candidate parent, counted from the generation it was born in (1: "
     "discrete generations)",
     [](P&, B& b, const V& v) { b.ages.sire_generations = static_cast<int32_t>(v.integer); },
     [](const P&, const B& b) { return integer_value(b.ages.sire_generations); }},
    {"stage.ages", "dam_generations", key_kind::integer, 1, 100, false, false, {}, "1", "", "",
     "for how many generations a dam stays a candidate parent, as sire_generations",
     [](P&, B& b, const V& v) { b.ages.dam_generations = static_cast<int32_t>(v.integer); },
     [](const P&, const B& b) { return integer_value(b.ages.dam_generations); }},
};

constexpr std::string_view tables[] = {"genome", "traits", "qtl", "chip", "line", "stage"};
constexpr std::string_view subtables_of_stage[] = {"index", "contributions", "mating_rules", "ages"};

std::string trimmed_number(double v) {
  if (v == std::floor(v) && std::fabs(v) < 1e15) return std::to_string(static_cast<int64_t>(v));
  char b[64];
  const auto res = std::to_chars(b, b + sizeof b, v);
  return std::string(b, res.ptr);
}

}  // namespace

std::span<const scheme_key> scheme_keys() { return keys; }
std::span<const std::string_view> scheme_tables() { return tables; }
std::span<const std::string_view> stage_subtables() { return subtables_of_stage; }

const scheme_key* find_scheme_key(std::string_view table, std::string_view name) {
  for (const scheme_key& k : keys)
    if (k.table == table && k.name == name) return &k;
  return nullptr;
}

std::string key_type_text(const scheme_key& k) {
  switch (k.kind) {
    case key_kind::integer: return "integer";
    case key_kind::single_real: return "number (single precision)";
    case key_kind::double_real: return "number (double precision)";
    case key_kind::boolean: return "boolean";
    case key_kind::choice: return "string or code";
    case key_kind::text: return "string";
    case key_kind::reals: return "array of numbers";
    case key_kind::correlations: return "matrix or upper triangle";
    case key_kind::choices: return "array of strings";
    case key_kind::names: return "array of names";
  }
  return "";
}

std::string key_range_text(const scheme_key& k) {
  if (!k.range_text.empty()) return std::string(k.range_text);
  if (k.kind == key_kind::choice || k.kind == key_kind::choices) {
    std::string s;
    for (const named_code& c : k.choices)
      s += (s.empty() ? "" : ", ") + std::string("\"") + std::string(c.name) + "\"" +
           (k.kind == key_kind::choice ? " (" + std::to_string(c.code) + ")" : "");
    return s;
  }
  if (k.kind == key_kind::boolean) return "true, false";
  if (k.kind == key_kind::text) return "one line";
  if (k.kind == key_kind::names) return "names of [[line]] tables";
  const bool has_lo = k.lo != no_lower && !(k.kind == key_kind::integer && k.lo == int32_lo);
  const bool has_hi = k.hi != no_upper && !(k.kind == key_kind::integer && k.hi == int32_hi);
  const std::string x = k.kind == key_kind::reals || k.kind == key_kind::correlations ? "each" : "x";
  std::string s;
  if (has_lo && has_hi) {
    s = trimmed_number(k.lo) + (k.lo_open ? " < " : " <= ") + x + (k.hi_open ? " < " : " <= ") + trimmed_number(k.hi);
  } else if (has_lo) {
    s = x + (k.lo_open ? " > " : " >= ") + trimmed_number(k.lo);
  } else if (has_hi) {
    s = x + (k.hi_open ? " < " : " <= ") + trimmed_number(k.hi);
  } else {
    s = "any";
  }
  if (k.kind == key_kind::single_real || k.kind == key_kind::double_real) s += ", finite";
  if (k.kind == key_kind::correlations) s += "; a positive-definite correlation matrix";
  return s;
}

std::string scheme_key_table() {
  std::string s =
      "| table | key | type | default | range | classic record | meaning |\n"
      "|---|---|---|---|---|---|---|\n";
  for (const scheme_key& k : keys) {
    const std::string table = k.table.empty()            ? "(top)"
                              : k.table == "stage"         ? "[[stage]]"
                              : k.table == "line"          ? "[[line]]"
                              : k.table == "traits.dominance" ? "[traits] dominance"
                                                           : "[" + std::string(k.table) + "]";
    s += "| " + table + " | `" + std::string(k.name) + "` | " + key_type_text(k) + " | " +
         (k.default_value.empty() ? std::string("required") : std::string(k.default_value)) + " | " +
         key_range_text(k) + " | " + (k.classic.empty() ? std::string("none") : std::string(k.classic)) + " | " +
         std::string(k.meaning) + " |\n";
  }
  return s;
}

namespace {

size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diag = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diag = up;
    }
  }
  return row[b.size()];
}

}  // namespace

std::string nearest_name(std::string_view word, const std::vector<std::string_view>& names) {
  std::string best;
  size_t best_d = 3;
  for (std::string_view n : names) {
    size_t d = edit_distance(word, n);
    if (d >= best_d && word.size() >= 3 && (n.starts_with(word) || word.starts_with(n))) d = 2;
    if (d < best_d) {
      best_d = d;
      best = n;
    }
  }
  return best;
}

}  // namespace qm
