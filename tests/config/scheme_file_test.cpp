#include "config/scheme_file.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/messages.hpp"
#include "config/scheme_convert.hpp"
#include "config/scheme_keys.hpp"
#include "support.hpp"

namespace fs = std::filesystem;

namespace {

// A small valid scheme: two traits, three stages.
const std::string scheme = R"(# two traits
title = "test scheme"
seed = 4711

[traits]
heritability = [0.3, 0.5]
genetic_correlations = [[1.0, 0.4], [0.4, 1.0]]
residual_correlations = [0.1]

[genome]
markers_per_chromosome = 11
chromosomes = 4
length_morgan = 1.0
marker_mutation_rate = 1e-3
candidate_qtl_mutation_rate = 2e-3

[qtl]
count = 10

[[stage]]
sires = 20
dams = 40
animals = 100
generations = 10

[[stage]]
sires = 10
dams = 20
animals = 120
generations = 1
mating = "nested"
selection = "tbv"

[[stage]]
sires = 10
dams = 20
animals = 100
generations = 3
mating = 1
selection = "phenotype"
)";

// Every problem --check finds in a text.
std::vector<std::string> problems_of(const std::string& text, const std::string& name = "s.toml") {
  qmtest::console_capture quiet;
  qm::run_parameters p;
  p.parafile = name;
  const std::string_view t(text);
  try {
    return qm::check_parameter_text(p, &t);
  } catch (const qm::run_stop& e) {
    return {e.what()};
  }
}

// The stop of reading a text for a run ("" when it reads).
std::string stop_of(const std::string& text, qm::run_parameters& p, const std::string& name = "s.toml") {
  qmtest::console_capture quiet;
  p.parafile = name;
  try {
    qm::read_parameter_text(p, text);
  } catch (const qm::run_stop& e) {
    return e.what();
  }
  return "";
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return text.replace(at, from.size(), to);
}

// Every value of a run, compared bit for bit (floats as their bits).
void expect_same_values(const qm::run_parameters& a, const qm::run_parameters& b, const std::string& what) {
  SCOPED_TRACE(what);
  const auto bits = [](const std::vector<float>& v) {
    std::vector<uint32_t> out(v.size());
    if (!v.empty()) std::memcpy(out.data(), v.data(), v.size() * sizeof(float));
    return out;
  };
  const auto fbits = [](float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
  };
  const auto dbits = [](double d) {
    uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    return u;
  };
  EXPECT_EQ(a.ntrait, b.ntrait);
  EXPECT_EQ(a.thresh == 1, b.thresh == 1);
  if (a.thresh == 1) {  // used by a threshold trait only
    EXPECT_EQ(fbits(a.incid), fbits(b.incid));
  }
  EXPECT_EQ(a.uncommon_QTL == 1, b.uncommon_QTL == 1);
  EXPECT_EQ(bits(a.rgen), bits(b.rgen));
  EXPECT_EQ(bits(a.rerr), bits(b.rerr));
  EXPECT_EQ(bits(a.h2), bits(b.h2));
  EXPECT_EQ(a.nmpc, b.nmpc);
  EXPECT_EQ(a.nchr, b.nchr);
  EXPECT_EQ(a.maptype, b.maptype);
  EXPECT_EQ(fbits(a.chrlen), fbits(b.chrlen));
  EXPECT_EQ(dbits(a.mutm), dbits(b.mutm));
  EXPECT_EQ(dbits(a.mutq), dbits(b.mutq));
  EXPECT_EQ(a.qtlrule, b.qtlrule);
  EXPECT_EQ(a.nqtl, b.nqtl);
  EXPECT_EQ(fbits(a.qtlp1), fbits(b.qtlp1));
  EXPECT_EQ(fbits(a.qtlp2), fbits(b.qtlp2));
  EXPECT_EQ(a.nstage, b.nstage);
  EXPECT_EQ(a.seed, b.seed);
  EXPECT_EQ(a.idmult, b.idmult);
  ASSERT_EQ(a.stages.size(), b.stages.size());
  for (size_t s = 1; s < a.stages.size(); ++s) {
    const qm::stage_block &x = a.stages[s].block, &y = b.stages[s].block;
    EXPECT_EQ(a.stages[s].readable, b.stages[s].readable) << "stage " << s;
    EXPECT_EQ(std::vector<int32_t>({x.nsire, x.ndam, x.nind, x.ngen, x.nomut == 1, x.matetype, x.seltype}),
              std::vector<int32_t>({y.nsire, y.ndam, y.nind, y.ngen, y.nomut == 1, y.matetype, y.seltype}))
        << "stage " << s;
  }
}

// The parameter files that the classic reader accepts: the examples and
// the valid reference scenarios.
std::vector<std::string> classic_files() {
  std::vector<std::string> out;
  for (const char* dir : {QM_EXAMPLES, QM_TESTDATA "/scenarios"})
    for (const auto& f : fs::directory_iterator(dir))
      if (f.path().extension() == ".par") out.push_back(f.path().string());
  std::sort(out.begin(), out.end());
  return out;
}

TEST(SchemeFile, ReadsEveryKeyAndItsDefaults) {
  qm::run_parameters p;
  ASSERT_EQ(stop_of(scheme, p), "");
  EXPECT_EQ(p.title, "test scheme");
  EXPECT_EQ(p.seed, 4711);
  EXPECT_EQ(p.ntrait, 2);  // from the heritabilities
  EXPECT_EQ(p.h2, (std::vector<float>{0.3f, 0.5f}));
  EXPECT_EQ(p.rgen, (std::vector<float>{0.4f}));  // the matrix as its upper triangle
  EXPECT_EQ(p.rerr, (std::vector<float>{0.1f}));
  EXPECT_EQ(p.thresh, 0);
  EXPECT_EQ(p.uncommon_QTL, 0);
  EXPECT_EQ(p.maptype, 0);  // "even"
  EXPECT_EQ(p.qtlrule, 0);  // "normal", variances 1
  EXPECT_EQ(p.qtlp1, 1.0f);
  EXPECT_EQ(p.qtlp2, 1.0f);
  EXPECT_EQ(p.mutm, 1e-3);
  EXPECT_EQ(p.nstage, 3);
  ASSERT_EQ(p.stages.size(), 4u);
  EXPECT_EQ(p.stages[1].block.matetype, 2);  // "random" by default
  EXPECT_EQ(p.stages[1].block.seltype, 0);
  EXPECT_EQ(p.stages[1].block.nomut, 0);     // mutation on by default
  EXPECT_EQ(p.stages[2].block.matetype, 0);  // "nested"
  EXPECT_EQ(p.stages[2].block.seltype, 1);   // "tbv"
  EXPECT_EQ(p.stages[3].block.matetype, 1);  // the classic code
  EXPECT_EQ(p.stages[3].block.seltype, 2);
  EXPECT_TRUE(p.scheme != nullptr);
}

// A number is converted from its text as the classic reader converts it
// (strtof), not through a double: a decimal just above the midpoint of two
// floats rounds up in one step but to even in two.
TEST(SchemeFile, NumbersAreConvertedFromTheirTextOnce) {
  const std::string text = "0.5000000298023223876953125000000001";
  const float once = std::strtof(text.c_str(), nullptr);
  const float twice = static_cast<float>(std::strtod(text.c_str(), nullptr));
  ASSERT_NE(once, twice) << "the example no longer shows double rounding";
  qm::run_parameters s, c;
  ASSERT_EQ(stop_of(replaced(scheme, "heritability = [0.3, 0.5]", "heritability = [0.3, 0.500_000_029_802_322_387_695_312_500_000_000_1]"), s), "");
  EXPECT_EQ(s.h2[1], once);
  const std::string par = qmtest::set_record(qmtest::small_par(), 8, text);
  ASSERT_EQ(stop_of(par, c, "p.par"), "");
  EXPECT_EQ(c.h2[0], once);
}

TEST(SchemeFile, RecognisesTheKindByContent) {
  using qm::parameter_format;
  EXPECT_EQ(qm::format_of("a.par", scheme), parameter_format::scheme);  // content over extension
  EXPECT_EQ(qm::format_of("run", "[genome]\nchromosomes = 1\n"), parameter_format::scheme);
  EXPECT_EQ(qm::format_of("run", "\n\nseed = 1\n"), parameter_format::scheme);
  EXPECT_EQ(qm::format_of("run.toml", qmtest::small_par()), parameter_format::classic);
  // A title that looks like TOML above a record of numbers: classic, as it does not read as TOML.
  EXPECT_EQ(qm::format_of("run", qmtest::set_record(qmtest::small_par(), 1, "# my run")), parameter_format::classic);
  EXPECT_EQ(qm::format_of("run", qmtest::set_record(qmtest::small_par(), 1, "[run 1]")), parameter_format::classic);
  // Neither: one line of words, binary content.
  EXPECT_EQ(qm::format_of("notes", "hello\n"), parameter_format::neither);
  EXPECT_EQ(qm::format_of("x", std::string("ab\0cd\n1 2\n", 10)), parameter_format::neither);
  // A classic file with a broken record 2 is still classic (its reader says which record).
  EXPECT_EQ(qm::format_of("x.par", "title\nthree traits\n"), parameter_format::classic);
  const std::vector<std::string> found = problems_of("hello\n", "notes");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_NE(found[0].find("neither a scheme file nor a classic parameter file"), std::string::npos);
  EXPECT_NE(found[0].find("[genome]"), std::string::npos);
  EXPECT_NE(found[0].find("ntrait thresh incid uncommon_QTL"), std::string::npos);
}

// Each class of problem: the file, line and column, the key, and what to change.
TEST(SchemeFile, ProblemsNameTheLineColumnAndKey) {
  struct expectation {
    std::string from, to, message;
  };
  const std::vector<expectation> cases = {
      // an unknown key near a known one (line 21 is "sires = 20" of stage 1)
      {"sires = 20\ndams = 40\nanimals = 100\ngenerations = 10", "sire = 50\ndams = 40\nanimals = 100\ngenerations = 10",
       "Scheme file s.toml, line 21, column 1: `[stage] sire = 50`: unknown key `sire`; did you mean `sires`?"},
      // a wrong type
      {"chromosomes = 4", "chromosomes = \"4\"",
       "Scheme file s.toml, line 12, column 1: `[genome] chromosomes = \"4\"`: expected a whole number (x >= 1), not a string."},
      // a value out of range, item by item
      {"heritability = [0.3, 0.5]", "heritability = [0.3, 1.5]",
       "Scheme file s.toml, line 6, column 22: `[traits] heritability = [0.3, 1.5]`: item 2 is 1.5; required: 0 < each <= 1."},
      // a matrix that is not square
      {"[[1.0, 0.4], [0.4, 1.0]]", "[[1.0, 0.4], [0.4]]",
       "Scheme file s.toml, line 7, column 1: `[traits] genetic_correlations = [[1.0, 0.4], [0.4]]`: row 2 has 1 "
       "numbers; a correlation matrix is square (2 rows of 2)."},
      // not symmetric
      {"[[1.0, 0.4], [0.4, 1.0]]", "[[1.0, 0.4], [0.3, 1.0]]",
       "Scheme file s.toml, line 7, column 1: `[traits] genetic_correlations = [[1.0, 0.4], [0.3, 1.0]]`: a "
       "correlation matrix is symmetric; row 1, column 2 is 0.4 but row 2, column 1 is 0.3."},
      // not a correlation matrix (the rule of the classic reader, with the key)
      {"residual_correlations = [0.1]", "residual_correlations = [1.0]",
       "Scheme file s.toml, line 8, column 1: `[traits] residual_correlations` = the given correlations is not "
       "allowed; required: the residual correlations form a positive-definite correlation matrix."},
      // a stage without a required key
      {"sires = 10\ndams = 20\nanimals = 100\ngenerations = 3", "sires = 10\ndams = 20\ngenerations = 3",
       "Scheme file s.toml, line 34, column 1: [[stage]] 3 has no key `animals`, which it needs: animals born in "
       "every generation; integer, 2 <= x <= 100000000."},
      // a name that is not a choice
      {"selection = \"tbv\"", "selection = \"tvb\"",
       "Scheme file s.toml, line 32, column 1: `[[stage]] 2 selection = \"tvb\"`: unknown selection \"tvb\"; did "
       "you mean \"tbv\"? Give one of \"random\" (0), \"tbv\" (1), \"phenotype\" (2), \"pedigree_blup\" (3), "
       "\"genomic_blup\" (4), \"index\" (5)."},
      // a key of another distribution
      {"count = 10\n", "count = 10\nshape = 0.4\n",
       "Scheme file s.toml, line 19, column 1: `[qtl] shape = 0.4`: this key does not belong here: it belongs to "
       "distribution = \"gamma\" (normal effects have variance and variance_trait1)."},
      // a rule between values, on the key of a stage
      {"sires = 20\ndams = 40\nanimals = 100", "sires = 60\ndams = 40\nanimals = 100",
       "Scheme file s.toml, line 21, column 1: `[[stage]] 1 sires` = 60 is not allowed; required: sires <= "
       "animals/2 in stage 1."},
      // a key in the wrong table
      {"[qtl]\n", "[qtl]\nseed = 5\n",
       "Scheme file s.toml, line 18, column 1: `[qtl] seed = 5`: unknown key `seed` here; `seed` is a key of the "
       "run itself: put it above the first table."},
      // a number of traits out of range (sized for one trait while the check goes on)
      {"heritability = [0.3, 0.5]", "heritability = [0.3, 0.5]\ncount = -1",
       "Scheme file s.toml, line 7, column 1: `[traits] count = -1` is out of range; required: 1 <= x <= 100."},
      // not TOML at all
      {"count = 10", "count = [10",
       "Scheme file s.toml, line 20, column 1: Error while parsing array"},
  };
  for (const expectation& c : cases) {
    SCOPED_TRACE(c.to);
    const std::string text = replaced(scheme, c.from, c.to);
    qm::run_parameters p;
    const std::string stopped = stop_of(text, p);
    EXPECT_TRUE(stopped.starts_with(c.message)) << stopped;
    // --check finds the same as its first problem.
    const std::vector<std::string> found = problems_of(text);
    ASSERT_FALSE(found.empty());
    EXPECT_TRUE(found[0].starts_with(c.message)) << found[0];
  }
}

// --check reports every problem at once, in the order of the file, and a
// rule between values is not reported again for a value that is wrong itself.
TEST(SchemeFile, CheckReportsEveryProblemOnce) {
  std::string text = replaced(scheme, "chromosomes = 4", "chromosome = 4");
  text = replaced(text, "heritability = [0.3, 0.5]", "heritability = [0.3, 1.5, 0.2]");
  text = replaced(text, "[0.1]\n\n[genome]", "[0.1]\ncount = 2\n[genome]");  // on the blank line: no line moves
  text = replaced(text, "sires = 10\ndams = 20\nanimals = 120\ngenerations = 1", "sires = 10\ndams = 20\nanimals = \"many\"\ngenerations = 1");
  const std::vector<std::string> found = problems_of(text);
  ASSERT_EQ(found.size(), 4u) << ::testing::PrintToString(found);
  EXPECT_NE(found[0].find("line 6, column 1: `[traits] heritability` has 3 numbers; give one for each of the 2 traits"), std::string::npos);
  EXPECT_NE(found[1].find("line 6, column 22:"), std::string::npos);  // item 2 out of range
  // (no second line saying that chromosomes is missing: the unknown key names it)
  EXPECT_NE(found[2].find("line 12, column 1: `[genome] chromosome = 4`: unknown key `chromosome`; did you mean `chromosomes`?"), std::string::npos);
  EXPECT_NE(found[3].find("`[[stage]] 2 animals = \"many\"`: expected a whole number"), std::string::npos);
}

// Classic -> scheme -> classic: every value of every example and reference
// file reads back with the same bits, and the classic text written from the
// scheme reads back to the same values again.
TEST(SchemeConvert, RoundTripsEveryClassicFile) {
  int converted = 0;
  for (const std::string& file : classic_files()) {
    SCOPED_TRACE(file);
    qm::run_parameters classic;
    if (!stop_of(qmtest::read_file(file), classic, file).empty()) continue;  // refused: see the conformance test
    const std::string toml = qm::scheme_text_of(classic, qmtest::read_file(file), "x.par");
    qm::run_parameters scheme_values;
    const std::string s = stop_of(toml, scheme_values, "x.toml");
    if (classic.stages[1].block.seltype > 4) {  // not a selection the scheme can name: refused on reading
      EXPECT_NE(s.find("is not a code of selection"), std::string::npos) << s;
      continue;
    }
    ASSERT_EQ(s, "") << toml;
    expect_same_values(classic, scheme_values, "classic -> scheme");
    EXPECT_EQ(scheme_values.title, classic.title);
    const qm::classic_conversion back = qm::classic_text_of(scheme_values);
    ASSERT_TRUE(back.without_form.empty());
    qm::run_parameters again;
    ASSERT_EQ(stop_of(back.text, again, "y.par"), "") << back.text;
    expect_same_values(classic, again, "scheme -> classic");
    EXPECT_TRUE(again.warnings.empty()) << again.warnings[0];
    ++converted;
  }
  EXPECT_GE(converted, 25);
}

// Each example scheme says what the classic example of the same name says.
TEST(SchemeConvert, ExamplesInBothFormsAgree) {
  for (const char* name : {"quickstart", "threshold", "two_traits"}) {
    qm::run_parameters classic, scheme_values;
    const std::string dir = QM_EXAMPLES "/";
    ASSERT_EQ(stop_of(qmtest::read_file(dir + name + ".par"), classic, std::string(name) + ".par"), "");
    ASSERT_EQ(stop_of(qmtest::read_file(dir + name + ".toml"), scheme_values, std::string(name) + ".toml"), "");
    expect_same_values(classic, scheme_values, name);
  }
}

// A scheme that gives a key with no classic record cannot be written as a
// classic file, and says which key stands in the way.
TEST(SchemeConvert, NamesKeysWithoutAClassicForm) {
  std::vector<qm::scheme_key> keys(qm::scheme_keys().begin(), qm::scheme_keys().end());
  for (qm::scheme_key& k : keys)
    if (k.table == "stage" && k.name == "mutation") k.classic = {};  // as a key of a later feature would be
  qm::run_parameters with, without;
  ASSERT_EQ(stop_of(replaced(scheme, "generations = 3\n", "generations = 3\nmutation = false\n"), with), "");
  const qm::classic_conversion c = qm::classic_text_of(with, keys);
  EXPECT_TRUE(c.text.empty());
  EXPECT_EQ(c.without_form, std::vector<std::string>{"[stage] mutation"});
  ASSERT_EQ(stop_of(scheme, without), "");
  EXPECT_TRUE(qm::classic_text_of(without, keys).without_form.empty());
}

// A classic record with numbers it does not use is read as before, with a
// warning that names the record and the numbers; words after the values are
// a comment and stay silent.
TEST(ClassicReader, WarnsAboutNumbersARecordDoesNotUse) {
  qm::run_parameters p;
  const std::string comma = qmtest::set_record(qmtest::small_par(), 12, "1.0 1,0e-3 2.0e-3");
  ASSERT_EQ(stop_of(comma, p, "p.par"), "");
  ASSERT_EQ(p.warnings.size(), 1u);
  EXPECT_EQ(p.warnings[0],
            "Parameter file p.par, record 12 holds more values than chrlen, mutm, mutq; these are not used: 2.0e-3. "
            "Check the record: a decimal comma (1,5) reads as two values; write 1.5.");
  EXPECT_EQ(p.mutm, 1.0);  // read as before
  qm::run_parameters q;
  ASSERT_EQ(stop_of(qmtest::set_record(qmtest::small_par(), 12, "1.0 1.0e-3 2.0e-3   chrlen mutm mutq 3"), q, "p.par"), "");
  EXPECT_TRUE(q.warnings.empty());
  // The numbers left are named, not the comment after them.
  qm::run_parameters r;
  ASSERT_EQ(stop_of(qmtest::set_record(qmtest::small_par(), 14, "0 10 1,5 1.0   qtlrule nqtl qtlp1 qtlp2"), r, "p.par"), "");
  ASSERT_EQ(r.warnings.size(), 1u);
  EXPECT_NE(r.warnings[0].find("record 14 holds more values than qtlrule, nqtl, qtlp1, qtlp2; these are not used: 1.0. "),
            std::string::npos)
      << r.warnings[0];
  for (const std::string& file : classic_files()) {
    qm::run_parameters f;
    stop_of(qmtest::read_file(file), f, file);
    EXPECT_TRUE(f.warnings.empty()) << file << ": " << f.warnings[0];
  }
}

// The documentation holds the table the declarations make, and every key
// once; a key that is declared but not documented fails here.
TEST(SchemeKeys, EveryKeyIsDocumented) {
  const std::string doc = qmtest::read_file(QM_SOURCE_DIR "/docs/scheme.md");
  ASSERT_FALSE(doc.empty());
  EXPECT_NE(doc.find(qm::scheme_key_table()), std::string::npos)
      << "docs/scheme.md does not hold the key table of this build; replace it with:\n"
      << qm::scheme_key_table();
  for (const qm::scheme_key& k : qm::scheme_keys()) {
    EXPECT_NE(doc.find("`" + std::string(k.name) + "`"), std::string::npos) << k.name;
    EXPECT_FALSE(k.meaning.empty()) << k.name;
    EXPECT_EQ(qm::find_scheme_key(k.table, k.name), &k) << k.name << " is declared twice";
  }
}

TEST(SchemeKeys, SuggestsTheNearestName) {
  const std::vector<std::string_view> names = {"sires", "dams", "animals", "generations", "selection"};
  EXPECT_EQ(qm::nearest_name("sire", names), "sires");
  EXPECT_EQ(qm::nearest_name("generation", names), "generations");
  EXPECT_EQ(qm::nearest_name("gens", names), "");         // too far
  EXPECT_EQ(qm::nearest_name("anmials", names), "animals");  // a transposition is two edits
  EXPECT_EQ(qm::nearest_name("select", names), "selection");  // a prefix
  EXPECT_EQ(qm::nearest_name("xyz", names), "");
}

}  // namespace

namespace {

// The scheme above with the index, the recording sexes and a chip.
std::string breeding_scheme(const std::string& stage2_selection, const std::string& index_table,
                            const std::string& recorded_on = "", const std::string& chip = "") {
  std::string s = replaced(scheme, "residual_correlations = [0.1]\n", "residual_correlations = [0.1]\n" + recorded_on);
  s = replaced(s, "[qtl]\n", chip + "[qtl]\n");
  return replaced(s, "mating = \"nested\"\nselection = \"tbv\"\n",
                  "mating = \"nested\"\n" + stage2_selection + "\n" + index_table);
}

// A scheme and the beginning of the problem it must be refused with.
struct refusal {
  std::string text, message;
};

void expect_refusals(std::span<const refusal> cases) {
  for (const refusal& c : cases) {
    SCOPED_TRACE(c.message);
    const std::vector<std::string> found = problems_of(c.text);
    ASSERT_FALSE(found.empty());
    bool seen = false;
    for (const std::string& f : found) seen = seen || f.starts_with(c.message);
    EXPECT_TRUE(seen) << found[0];
  }
}

}  // namespace

TEST(SchemeFile, ReadsTheIndexTheRecordingSexesAndTheChip) {
  qm::run_parameters p;
  ASSERT_EQ(stop_of(breeding_scheme("selection = \"index\"",
                                    "[stage.index]\ncriterion = \"pedigree_blup\"\nweights = [1.5, -0.25]\n",
                                    "recorded_on = [\"both\", \"females\"]\n", "[chip]\nmarkers = 20\n"),
                    p),
            "");
  const qm::stage_block& b = p.stages[2].block;
  EXPECT_EQ(b.criterion(), qm::selection_criterion::index);
  EXPECT_EQ(b.evaluated(), qm::selection_criterion::pedigree_ebv);
  EXPECT_EQ(b.index.weights, (std::vector<double>{1.5, -0.25}));
  EXPECT_EQ(p.stages[3].block.criterion(), qm::selection_criterion::phenotype);  // trait 1 is recorded on both
  EXPECT_TRUE(p.some_index_uses(qm::selection_criterion::pedigree_ebv));
  EXPECT_FALSE(p.some_index_uses(qm::selection_criterion::genomic_ebv));
  EXPECT_EQ(p.recorded_on, (std::vector<qm::recorded_sex>{qm::recorded_sex::both, qm::recorded_sex::females}));
  EXPECT_TRUE(p.sex_limited());
  EXPECT_TRUE(p.recorded(2, 4) && !p.recorded(2, 3) && p.recorded(1, 3));  // odd animals are males
  EXPECT_EQ(p.chip_markers, 20);
  EXPECT_EQ(p.chip_min_maf, 0.01);  // the default

  // Without the keys: every animal records every trait, no chip, no index.
  qm::run_parameters plain;
  ASSERT_EQ(stop_of(scheme, plain), "");
  EXPECT_FALSE(plain.sex_limited());
  EXPECT_TRUE(plain.recorded(2, 3));
  EXPECT_EQ(plain.chip_markers, 0);
  EXPECT_FALSE(plain.some_index_uses(qm::selection_criterion::true_value));

  // A scheme with an index has no classic form, and the converter says which keys stand in the way.
  const qm::classic_conversion c = qm::classic_text_of(p);
  EXPECT_TRUE(c.text.empty());
  EXPECT_EQ(c.without_form, (std::vector<std::string>{"[traits] recorded_on", "[chip] markers",
                                                     "[stage.index] criterion", "[stage.index] weights"}));
}

TEST(SchemeFile, RefusesAnIndexOrRecordsThatCannotWork) {
  const std::string idx = "[stage.index]\ncriterion = \"tbv\"\nweights = [1.0, 1.0]\n";
  const refusal cases[] = {
      {breeding_scheme("selection = \"index\"", ""),
       "Scheme file s.toml, line 32, column 1: `[[stage]] 2 selection = \"index\"` needs a [stage.index] table"},
      {breeding_scheme("selection = \"tbv\"", idx),
       "Scheme file s.toml, line 33, column 1: `[[stage]] 2 [stage.index]` belongs to a stage with selection = "
       "\"index\""},
      {breeding_scheme("selection = \"index\"", replaced(idx, "[1.0, 1.0]", "[1.0]")),
       "Scheme file s.toml, line 35, column 1: `[[stage]] 2 index.weights` has 1 numbers; give one economic weight "
       "for each of the 2 traits."},
      {breeding_scheme("selection = \"index\"", replaced(idx, "\"tbv\"", "\"tvb\"")),
       "Scheme file s.toml, line 34, column 1: `[[stage]] 2 index.criterion = \"tvb\"`: unknown criterion \"tvb\"; "
       "did you mean \"tbv\"?"},
      {breeding_scheme("selection = \"index\"", replaced(idx, "weights", "weight")),
       "Scheme file s.toml, line 35, column 1: `[stage.index] weight = [1.0, 1.0]`: unknown key `weight`; did you "
       "mean `weights`?"},
      {breeding_scheme("selection = \"index\"", "[stage.index]\ncriterion = \"tbv\"\n"),
       "Scheme file s.toml, line 33, column 1: [stage.index] of [[stage]] 2 has no key `weights`, which it needs"},
      {breeding_scheme("selection = \"index\"", replaced(idx, "\"tbv\"", "\"random\"")),
       "Scheme file s.toml, line 34, column 1: `[[stage]] 2 index.criterion = \"random\"`: unknown criterion \"random\"; give one of \"tbv\" (1)"},
      {replaced(breeding_scheme("selection = \"tbv\"", ""), "generations = 10\n",
                "generations = 10\nselection = \"index\"\n" + idx),
       "Scheme file s.toml, line 26, column 1: `[[stage]] 1 [stage.index]`: stage 1 makes the historical "
       "generations"},
      {breeding_scheme("selection = \"tbv\"", "", "recorded_on = [\"both\", \"female\"]\n"),
       "Scheme file s.toml, line 9, column 24: `[traits] recorded_on = [\"both\", \"female\"]`: item 2 is "
       "\"female\", which is not one of \"both\", \"females\", \"males\"; did you mean \"females\"?"},
      {breeding_scheme("selection = \"tbv\"", "", "recorded_on = [\"both\"]\n"),
       "Scheme file s.toml, line 9, column 1: `[traits] recorded_on` names 1 sexes; give one for each of the 2 "
       "traits"},
      // stage 3 selects on the phenotype of trait 1, which males do not have
      {breeding_scheme("selection = \"tbv\"", "", "recorded_on = [\"females\", \"both\"]\n"),
       "Scheme file s.toml, line 41, column 1: `[[stage]] 3 selection = \"phenotype\"` ranks on the own phenotype "
       "of trait 1, which only females have"},
      {breeding_scheme("selection = \"tbv\"", "", "", "[chip]\nmin_maf = 0.05\n"),
       "Scheme file s.toml, line 17, column 1: [chip] has no key `markers`, which it needs"},
      {breeding_scheme("selection = \"tbv\"", "", "", "[chip]\nmarkers = 10\nmin_maf = 0.6\n"),
       "Scheme file s.toml, line 19, column 1: `[chip] min_maf = 0.6` is out of range; required: 0 <= x <= 0.5"},
  };
  expect_refusals(cases);
}

// Optimum contributions, the mating rules, minimum-coancestry mating and the
// ages: read into the stage block, refused where they cannot work, and
// named by the converter, which has no classic form for them.
TEST(SchemeFile, ReadsTheChoiceAndPairingOfParents) {
  const std::string tables =
      "[stage.contributions]\nmethod = \"ocs\"\ndelta_f = 0.005\nrelationship = \"genomic\"\nmax_offspring = 12\n"
      "[stage.mating_rules]\navoid = [\"half_sibs\", \"parent_offspring\"]\nmax_matings_per_sire = 30\n"
      "[stage.ages]\nsire_generations = 3\n";
  qm::run_parameters p;
  const auto min_coancestry = [](const std::string& text) {
    return replaced(text, "mating = \"nested\"\nselection = \"tbv\"", "mating = \"min_coancestry\"\nselection = \"tbv\"");
  };
  ASSERT_EQ(stop_of(min_coancestry(breeding_scheme("selection = \"tbv\"", tables)), p), "");
  const qm::stage_block& b = p.stages[2].block;
  EXPECT_TRUE(b.contributions.on);
  EXPECT_EQ(b.contributions.delta_f, 0.005);
  EXPECT_EQ(b.contributions.relationship, qm::relationship_source::genomic);
  EXPECT_EQ(b.contributions.max_offspring, 12);
  EXPECT_FALSE(b.rules.avoid_full_sibs);
  EXPECT_TRUE(b.rules.avoid_half_sibs && b.rules.avoid_parent_offspring);
  EXPECT_EQ(b.rules.max_matings_per_sire, 30);
  EXPECT_EQ(b.ages.sire_generations, 3);
  EXPECT_EQ(b.ages.dam_generations, 1);  // the default
  EXPECT_EQ(b.matetype, qm::min_coancestry_mating);
  EXPECT_TRUE(b.allocates_matings());
  EXPECT_FALSE(p.stages[3].block.allocates_matings());
  EXPECT_TRUE(p.some_stage_relates_by(qm::relationship_source::genomic));
  EXPECT_FALSE(p.some_stage_relates_by(qm::relationship_source::pedigree));
  const qm::classic_conversion c = qm::classic_text_of(p);
  EXPECT_TRUE(c.text.empty());
  EXPECT_NE(std::find(c.without_form.begin(), c.without_form.end(), "[[stage]] mating = \"min_coancestry\""),
            c.without_form.end());
  EXPECT_NE(std::find(c.without_form.begin(), c.without_form.end(), "[stage.ages] sire_generations"),
            c.without_form.end());

  // min_coancestry alone relates by the pedigree; without any table nothing allocates.
  qm::run_parameters q;
  ASSERT_EQ(stop_of(min_coancestry(breeding_scheme("selection = \"tbv\"", "")), q), "");
  EXPECT_TRUE(q.some_stage_relates_by(qm::relationship_source::pedigree));
  qm::run_parameters plain;
  ASSERT_EQ(stop_of(scheme, plain), "");
  EXPECT_FALSE(plain.some_stage_allocates());
}

TEST(SchemeFile, RefusesChoicesOfParentsThatCannotWork) {
  const std::string contributions = "[stage.contributions]\nmethod = \"ocs\"\ndelta_f = 0.01\n";
  const refusal cases[] = {
      {replaced(breeding_scheme("selection = \"tbv\"", ""), "generations = 10\n", "generations = 10\n" + contributions),
       "Scheme file s.toml, line 25, column 1: `[[stage]] 1 [stage.contributions]`: stage 1 makes the historical "
       "generations"},
      {replaced(breeding_scheme("selection = \"tbv\"", ""), "generations = 10\n",
                "generations = 10\nmating = \"min_coancestry\"\n"),
       "Scheme file s.toml, line 25, column 1: `[[stage]] 1 mating = \"min_coancestry\"`: stage 1"},
      {breeding_scheme("selection = \"random\"", contributions),
       "Scheme file s.toml, line 33, column 1: `[[stage]] 2 [stage.contributions]` weighs the candidates by the "
       "stage's selection criterion, but the stage selects at random"},
      {breeding_scheme("selection = \"tbv\"", replaced(contributions, "0.01", "1.0")),
       "Scheme file s.toml, line 35, column 1: `[[stage]] 2 contributions.delta_f = 1.0` is out of range"},
      // stage 2: 120 animals from 20 matings, families of 6
      {breeding_scheme("selection = \"tbv\"", contributions + "max_offspring = 5\n"),
       "Scheme file s.toml, line 36, column 1: `[[stage]] 2 contributions.max_offspring = 5`: a mating of this "
       "stage is a family of up to 6 (120 animals from 20 matings)"},
      {breeding_scheme("selection = \"tbv\"", "[stage.contributions]\ndelta_f = 0.01\n"),
       "Scheme file s.toml, line 33, column 1: [stage.contributions] of [[stage]] 2 has no key `method`"},
      {breeding_scheme("selection = \"tbv\"", "[stage.mating_rules]\navoid = [\"cousins\"]\n"),
       "Scheme file s.toml, line 34, column 10: `[[stage]] 2 mating_rules.avoid = [\"cousins\"]`: item 1 is "
       "\"cousins\""},
      // 20 dams among 10 sires: 2 matings a sire
      {breeding_scheme("selection = \"tbv\"", "[stage.mating_rules]\nmax_matings_per_sire = 1\n"),
       "Scheme file s.toml, line 34, column 1: `[[stage]] 2 mating_rules.max_matings_per_sire = 1`: 20 dams among "
       "10 sires give up to 2 matings to a sire; select at least 20 sires"},
      {breeding_scheme("selection = \"index\"", "[stage.index]\ncriterion = \"phenotype\"\nweights = [1.0, 1.0]\n"
                                                "[stage.ages]\nsire_generations = 2\n"),
       "Scheme file s.toml, line 36, column 1: `[[stage]] 2 [stage.ages]`: parents kept from earlier generations"},
      {breeding_scheme("selection = \"tbv\"", "[stage.ages]\nsire_generations = 0\n"),
       "Scheme file s.toml, line 34, column 1: `[[stage]] 2 ages.sire_generations = 0` is out of range"},
  };
  expect_refusals(cases);
}

// Dominance and lines: read into the parameters (a dominance table for every
// trait or one per trait; lines resolved by name, a stage's numbers the sums
// of its lines), refused where they cannot work, and named by the converter.
namespace {

std::string lines_text(const std::string& lines_tables, const std::string& stage2, const std::string& traits = "") {
  return "[traits]\nheritability = [0.3, 0.2]\ngenetic_correlations = [0.1]\nresidual_correlations = [0.0]\n" +
         traits +
         "[genome]\nmarkers_per_chromosome = 50\nchromosomes = 1\nlength_morgan = 1.0\nmarker_mutation_rate = 1e-3\n"
         "candidate_qtl_mutation_rate = 1e-3\n[qtl]\ncount = 10\n" +
         lines_tables + "[[stage]]\nsires = 20\ndams = 20\nanimals = 40\ngenerations = 10\n[[stage]]\n" + stage2 +
         "generations = 2\nselection = \"tbv\"\n";
}

const std::string two_lines_and_cross =
    "[[line]]\nname = \"A\"\nanimals = 40\nsires = 4\ndams = 10\n"
    "[[line]]\nname = \"B\"\nanimals = 60\nsires = 5\ndams = 12\n"
    "[[line]]\nname = \"AB\"\nmating = \"cross\"\nsire_line = \"A\"\ndam_line = \"B\"\nanimals = 20\n";

// Whether some problem of the text contains every one of the parts.
::testing::AssertionResult refused_with(const std::string& text, std::initializer_list<std::string> parts) {
  const std::vector<std::string> found = problems_of(text);
  for (const std::string& m : found) {
    bool all = true;
    for (const std::string& part : parts) all = all && m.find(part) != std::string::npos;
    if (all) return ::testing::AssertionSuccess();
  }
  std::string list;
  for (const std::string& m : found) list += "\n  " + m;
  return ::testing::AssertionFailure() << "no problem names " << *parts.begin() << "; found:" << list;
}

}  // namespace

TEST(SchemeFile, ReadsDominanceAndLines) {
  qm::run_parameters p;
  ASSERT_EQ(stop_of(lines_text(two_lines_and_cross, "lines = [\"A\", \"B\", \"AB\"]\n",
                               "dominance = { mean = 0.25, sd = 0.5 }\n"),
                    p),
            "");
  ASSERT_EQ(p.dominance.size(), 2u);  // one table for both traits
  EXPECT_EQ(p.dominance[1].mean, 0.25);
  EXPECT_EQ(p.dominance[1].sd, 0.5);
  ASSERT_EQ(p.lines.size(), 3u);
  EXPECT_FALSE(p.lines[0].cross());
  EXPECT_TRUE(p.lines[2].cross());
  EXPECT_EQ(p.lines[2].sire_line, 0);
  EXPECT_EQ(p.lines[2].dam_line, 1);
  EXPECT_EQ(p.lines[2].nsire, 0);  // a terminal cross selects nothing
  const qm::stage_block& b = p.stages[2].block;
  EXPECT_EQ(b.lines, (std::vector<int32_t>{0, 1, 2}));
  EXPECT_EQ(b.nind, 120);
  EXPECT_EQ(b.nsire, 9);
  EXPECT_EQ(b.ndam, 22);
  EXPECT_TRUE(p.some_stage_has_lines());
  const qm::classic_conversion c = qm::classic_text_of(p);
  EXPECT_TRUE(c.text.empty());
  for (const char* named : {"[traits] dominance", "[[line]]", "[stage] lines"})
    EXPECT_NE(std::find(c.without_form.begin(), c.without_form.end(), named), c.without_form.end()) << named;

  // One table per trait.
  qm::run_parameters q;
  ASSERT_EQ(stop_of(lines_text("", "sires = 5\ndams = 10\nanimals = 40\n",
                               "dominance = [{ mean = 0.1, sd = 0.0 }, { mean = -0.2, sd = 0.3 }]\n"),
                    q),
            "");
  ASSERT_EQ(q.dominance.size(), 2u);
  EXPECT_EQ(q.dominance[0].mean, 0.1);
  EXPECT_EQ(q.dominance[1].mean, -0.2);
  EXPECT_EQ(q.dominance[1].sd, 0.3);
  EXPECT_TRUE(q.lines.empty());
  EXPECT_FALSE(q.some_stage_has_lines());
}

TEST(SchemeFile, RefusesDominanceAndLinesThatCannotWork) {
  const std::string run_all = "lines = [\"A\", \"B\", \"AB\"]\n";
  const auto edit = [](std::string text, const std::string& from, const std::string& to) {
    return replaced(text, from, to);
  };
  EXPECT_TRUE(refused_with(lines_text("", "sires = 5\ndams = 10\nanimals = 40\n", "dominance = [{ mean = 0.1, sd = 0.0 }]\n"),
                           {"`[traits] dominance` gives 1 tables", "each of the 2 traits"}));
  EXPECT_TRUE(refused_with(lines_text("", "sires = 5\ndams = 10\nanimals = 40\n", "dominance = { mean = 0.1 }\n"),
                           {"[traits] dominance has no key `sd`"}));
  EXPECT_TRUE(refused_with(lines_text("", "sires = 5\ndams = 10\nanimals = 40\n", "dominance = { mean = 0.1, sd = -1 }\n"),
                           {"dominance.sd = -1` is out of range"}));
  EXPECT_TRUE(refused_with(lines_text("", "sires = 5\ndams = 10\nanimals = 40\n", "dominance = 0.5\n"),
                           {"`[traits] dominance` is a number with a fraction", "give one table for every trait"}));
  EXPECT_TRUE(refused_with(lines_text(edit(two_lines_and_cross, "dam_line = \"B\"", "dam_line = \"Bb\""), run_all),
                           {"dam_line = \"Bb\"", "there is no [[line]] named \"Bb\"; did you mean \"B\"?"}));
  EXPECT_TRUE(refused_with(lines_text(two_lines_and_cross, "lines = [\"A\", \"C\"]\n"),
                           {"`[[stage]] 2 lines`: there is no [[line]] named \"C\""}));
  EXPECT_TRUE(refused_with(lines_text(edit(two_lines_and_cross, "animals = 40", "animals = 41"), run_all),
                           {"animals = 41`: a line has as many males as females"}));
  EXPECT_TRUE(refused_with(lines_text(edit(two_lines_and_cross, "sires = 4", "sires = 2"), run_all),
                           {"(\"A\")` selects 2 sires and 10 dams", "from 3 to animals / 2 (20)"}));
  EXPECT_TRUE(refused_with(lines_text(edit(two_lines_and_cross, "sires = 4\ndams = 10", "sires = 12\ndams = 10"), run_all),
                           {"at least as many dams as sires"}));
  EXPECT_TRUE(refused_with(lines_text(edit(two_lines_and_cross, "sire_line = \"A\"\n", ""), run_all),
                           {"[[line]] 3 has no key `sire_line`"}));
  EXPECT_TRUE(refused_with(lines_text(edit(two_lines_and_cross, "dam_line = \"B\"", "dam_line = \"A\""), run_all),
                           {"sire_line and dam_line name the same line"}));
  EXPECT_TRUE(refused_with(lines_text(edit(two_lines_and_cross, "name = \"B\"", "name = \"A\""), run_all),
                           {"another [[line]] has this name"}));
  EXPECT_TRUE(refused_with(lines_text(edit(two_lines_and_cross, "name = \"AB\"", "name = \"A B\""), "lines = [\"A\", \"B\"]\n"),
                           {"a line's name is one word"}));
  EXPECT_TRUE(refused_with(lines_text(two_lines_and_cross, "lines = [\"A\", \"B\"]\n"),
                           {"(\"AB\")` is run by no stage"}));
  EXPECT_TRUE(refused_with(lines_text(two_lines_and_cross, run_all + "sires = 9\n"),
                           {"a stage with lines takes its sires from its [[line]] tables"}));
  EXPECT_TRUE(refused_with(lines_text(two_lines_and_cross, run_all + "mating = \"nested\"\n"),
                           {"mated \"random\" or \"random_avoid_sibs\""}));
  EXPECT_TRUE(refused_with(lines_text(two_lines_and_cross, run_all + "[stage.mating_rules]\navoid = [\"full_sibs\"]\n"),
                           {"[stage.mating_rules]` with lines"}));
  EXPECT_TRUE(refused_with(edit(lines_text(two_lines_and_cross, run_all), "sires = 20\ndams = 20\nanimals = 40\n", run_all),
                           {"`[[stage]] 1 lines`: stage 1 makes the historical generations"}));
  EXPECT_TRUE(refused_with(lines_text(edit(two_lines_and_cross, "name = \"A\"\nanimals = 40\n",
                                           "name = \"A\"\nanimals = 40\nsire_line = \"B\"\n"),
                                      run_all),
                           {"sire_line", "it belongs to a line with mating = \"cross\""}));
}
