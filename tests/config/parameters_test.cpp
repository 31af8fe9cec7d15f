#include "config/parameters.hpp"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <regex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/messages.hpp"
#include "support.hpp"

namespace {

using qmtest::set_record;
using qmtest::small_par;

const std::regex stamp_tail("\n \\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d\n$");

// nsire, ndam, nind, ngen, nomut, matetype, seltype of a stage block.
std::array<int32_t, 7> stage(const qm::stage_block& b) {
  return {b.nsire, b.ndam, b.nind, b.ngen, b.nomut, b.matetype, b.seltype};
}
using st = std::array<int32_t, 7>;

// The block of stage s as it begins, with the parent lists of the block before.
const qm::stage_block& begin(const qm::run_parameters& p, int s) {
  const qm::stage_block& before = p.stages[static_cast<size_t>(s - 1)].block;
  return qm::enter_stage(p, s, before.nsire, before.ndam);
}

bool names_record(const std::string& msg, int rec) {
  return std::regex_search(msg, std::regex("record " + std::to_string(rec) + "\\b"));
}

// Reads par and expects the run to stop; returns what reached the console.
std::string load_stops(const std::string& par) {
  qmtest::console_capture con;
  qm::run_parameters p;
  EXPECT_THROW(qmtest::load_par(p, par), qm::run_stop);
  return con.text();
}

void expect_rejected(const std::string& par, int rec, const std::string& what) {
  SCOPED_TRACE(what);
  const std::string out = load_stops(par);
  EXPECT_TRUE(names_record(out, rec)) << out;
  EXPECT_TRUE(std::regex_search(out, stamp_tail)) << out;
}

void expect_accepted(const std::string& par, const std::string& what) {
  SCOPED_TRACE(what);
  qmtest::console_capture con;
  qm::run_parameters p;
  EXPECT_NO_THROW(qmtest::load_par(p, par)) << con.text();
}

// Three traits with correlation records separated by commas and tabs.
std::string three_traits() {
  std::string par = set_record(small_par(), 2, "3 0 0.2 0");
  par = set_record(par, 4, "0.1 0.2 0.3");
  par = set_record(par, 6, "0.4,0.5\t0.6");
  return set_record(par, 8, "0.3 0.4 0.5");
}

TEST(ParamsRead, OneTraitRecordsAndDerivedCounts) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  qm::run_parameters p;
  std::string par = set_record(small_par(), 4, "not numbers at all");
  par = set_record(par, 6, "1.5, x, -7");
  qmtest::load_par(p, par);
  EXPECT_EQ(p.ntrait, 1);
  EXPECT_EQ(p.incid, 0.2f);
  EXPECT_TRUE(p.rgen.empty());  // not read with one trait
  EXPECT_TRUE(p.rerr.empty());
  EXPECT_EQ(p.h2, std::vector<float>{0.3f});
  EXPECT_EQ(p.chrlen, 1.0f);
  EXPECT_EQ(p.mutm, 1.0e-3);
  EXPECT_EQ(p.mutq, 2.0e-3);
  EXPECT_EQ(p.seed, 12345);
  EXPECT_EQ(stage(p.stage1()), (st{10, 20, 40, 30, 0, 2, 0}));
  EXPECT_EQ(p.markers(), 44);
  EXPECT_EQ(p.candidate_loci(), 40);
  ASSERT_EQ(p.stages.size(), 4u);  // index 0 unused
  EXPECT_TRUE(p.stages[2].readable && p.stages[3].readable);
  EXPECT_EQ(p.stage1().criterion(), qm::selection_criterion::random);
  EXPECT_EQ(p.stages[2].block.criterion(), qm::selection_criterion::true_value);
  EXPECT_EQ(p.stages[3].block.criterion(), qm::selection_criterion::phenotype);
  EXPECT_EQ(con.text(), "");
}

TEST(ParamsRead, SeveralTraitsCommentsAndSeparators) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  {
    // Two traits; the words after the four values of record 2 are a comment.
    qm::run_parameters p;
    std::string par = set_record(small_par(), 2, "2, 0, 0.1, 1 some words");
    par = set_record(par, 4, "0.5");
    par = set_record(par, 6, "-0.25");
    qmtest::load_par(p, set_record(par, 8, "0.3\t0.4"));
    EXPECT_EQ(p.ntrait, 2);
    EXPECT_EQ(p.incid, 0.1f);
    EXPECT_EQ(p.uncommon_QTL, 1);
    EXPECT_EQ(p.rgen, std::vector<float>{0.5f});
    EXPECT_EQ(p.rerr, std::vector<float>{-0.25f});
    EXPECT_EQ(p.h2, (std::vector<float>{0.3f, 0.4f}));
  }
  {
    // Three traits: pairs (1,2), (1,3), (2,3) in that order.
    qm::run_parameters p;
    qmtest::load_par(p, three_traits());
    EXPECT_EQ(p.rgen, (std::vector<float>{0.1f, 0.2f, 0.3f}));
    EXPECT_EQ(p.rerr, (std::vector<float>{0.4f, 0.5f, 0.6f}));
    EXPECT_EQ(p.h2, (std::vector<float>{0.3f, 0.4f, 0.5f}));
  }
}

TEST(ParamsRead, CarriageReturnsAndContinuedRecords) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  {
    std::string crlf;
    for (char c : small_par()) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    qm::run_parameters p;
    qmtest::load_par(p, crlf);
    EXPECT_EQ(p.seed, 12345);
    EXPECT_EQ(stage(p.stage1()), (st{10, 20, 40, 30, 0, 2, 0}));
    begin(p, 2);
    EXPECT_EQ(stage(begin(p, 3)), (st{10, 20, 40, 2, 0, 2, 2}));
  }
  {
    // Record 10 holds two of its three values; maptype comes from the next
    // record, and every later record moves down by one.
    std::string par = set_record(small_par(), 16, "1 0 777");
    par = set_record(par, 10, "11 4");
    const size_t at = par.find("chromosome length");
    par.insert(at, "1\n");
    qm::run_parameters p;
    qmtest::load_par(p, par);
    EXPECT_EQ(p.nmpc, 11);
    EXPECT_EQ(p.nchr, 4);
    EXPECT_EQ(p.maptype, 1);
    EXPECT_EQ(p.chrlen, 1.0f);
    EXPECT_EQ(p.seed, 777);
    EXPECT_EQ(p.stage1().ngen, 30);
  }
}

TEST(ParamsRead, LaterStageBlocks) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  // Numbers in the stage headings must never be read as values.
  std::string par = set_record(small_par(), 21, "5 5 5 5");
  par = set_record(par, 22, "10 20 60 1");
  par = set_record(par, 23, "6 6 6");
  par = set_record(par, 25, "7 7 7 7");
  par = set_record(par, 26, "12 24 80 2");
  par = set_record(par, 27, "8 8 8");
  qm::run_parameters p;
  qmtest::load_par(p, par);
  EXPECT_EQ(stage(begin(p, 2)), (st{10, 20, 60, 1, 0, 0, 1}));
  EXPECT_EQ(stage(begin(p, 3)), (st{12, 24, 80, 2, 0, 2, 2}));
}

TEST(ParamsRead, FailuresNameFileAndRecord) {
  qmtest::tempdir dir;
  {
    // The file ends after the stage-2 block: the reading stops on it, and a
    // check that reads past it (the block kept unread) stops there as
    // stage 3 begins, with the same message.
    std::string par = small_par();
    par.resize(par.find("stage 3:"));
    const std::string out = load_stops(par);
    EXPECT_NE(out.find("param.par"), std::string::npos) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex("record 2[5-8]\\b"))) << out;
    EXPECT_TRUE(std::regex_search(out, stamp_tail)) << out;
    qmtest::console_capture con;
    qm::run_parameters p;
    p.parafile = "param.par";
    ASSERT_EQ(qm::check_parameters(p).size(), 1u);
    begin(p, 2);
    EXPECT_FALSE(p.stages[3].readable);
    EXPECT_THROW(begin(p, 3), qm::run_stop);
    EXPECT_EQ(con.text(), out);
  }
  {
    const std::string out = load_stops(set_record(small_par(), 10, "11 four 0"));
    EXPECT_NE(out.find("param.par"), std::string::npos) << out;
    EXPECT_TRUE(names_record(out, 10)) << out;
  }
  {
    qmtest::console_capture con;
    qm::run_parameters p;
    p.parafile = "absent.par";
    EXPECT_THROW(qm::read_parameters(p), qm::run_stop);
    EXPECT_NE(con.text().find("absent.par"), std::string::npos) << con.text();
    EXPECT_FALSE(qmtest::file_exists("absent.par"));
  }
}

TEST(ParamsRead, AskfileCutsNameAndPrompts) {
  qmtest::console_capture con;
  std::FILE* in = std::tmpfile();
  ASSERT_NE(in, nullptr);
  std::fputs("abcdefghijklmnopqrstuvwxyz.par\n", in);
  std::rewind(in);
  EXPECT_EQ(qm::askfile(in), "abcdefghijklmnopqrst");
  std::fclose(in);
  EXPECT_EQ(con.text(), " Please input the name of your parameter file.\n");
}

TEST(ParamsCheck, RejectedValuesNameTheirRecord) {
  qmtest::tempdir dir;
  const std::string par = small_par();
  expect_rejected(set_record(par, 2, "0 0 0.2 0"), 2, "ntrait 0");
  expect_rejected(set_record(par, 8, "0"), 8, "h2 0");
  expect_rejected(set_record(par, 8, "1.5"), 8, "h2 1.5");
  expect_rejected(set_record(three_traits(), 4, "0.1 1.2 0.3"), 4, "rgen above 1");
  expect_rejected(set_record(three_traits(), 6, "0.4 0.5 -1.1"), 6, "rerr below -1");
  expect_rejected(set_record(three_traits(), 4, "0.9 -0.9 0.9"), 4, "rgen not positive definite");
  expect_rejected(set_record(par, 2, "1 1 0 0"), 2, "incid 0 with thresh 1");
  expect_rejected(set_record(par, 10, "1 4 0"), 10, "nmpc 1");
  expect_rejected(set_record(par, 12, "0 1.0e-3 2.0e-3"), 12, "chrlen 0");
  expect_rejected(set_record(par, 12, "1.0 2 2.0e-3"), 12, "mutm 2");
  expect_rejected(set_record(set_record(par, 14, "2 10 1.0 1.0"), 16, "2 0 12345"), 14, "qtlrule 2");
  expect_rejected(set_record(three_traits(), 2, "3 0 0.2 1"), 2, "uncommon_QTL 1 with 3 traits");
  expect_rejected(set_record(par, 16, "3 0 -5"), 16, "seed -5");
  expect_rejected(set_record(par, 16, "3 0 2147483647"), 16, "seed 2147483647");
  expect_rejected(set_record(par, 18, "21 20 40 30"), 18, "stage-1 nsire above nind/2");
  expect_rejected(set_record(par, 20, "0 3 0"), 20, "matetype 3");
  expect_rejected(set_record(set_record(par, 18, "4 10 40 30"), 20, "0 0 0"), 20,
                  "matetype 0, ndam not a multiple of nsire");
  // Two bad values: only the earlier record is named.
  const std::string out = load_stops(set_record(set_record(par, 8, "0"), 10, "1 4 0"));
  EXPECT_TRUE(names_record(out, 8)) << out;
  EXPECT_FALSE(names_record(out, 10)) << out;
}

TEST(ParamsCheck, BoundaryValuesAccepted) {
  qmtest::tempdir dir;
  const std::string par = small_par();
  expect_accepted(set_record(par, 8, "1"), "h2 1");
  expect_accepted(set_record(par, 2, "1 0 0 0"), "incid 0 with thresh 0");
  expect_accepted(set_record(set_record(par, 14, "2 10 1.0 1.0"), 16, "1 0 12345"), "qtlrule 2 with one stage");
  expect_accepted(set_record(set_record(par, 18, "4 8 40 30"), 20, "0 0 0"), "matetype 0, ndam 2 * nsire");
}

// Every later block is read and checked with the file: the reading stops on
// the first that cannot be read or breaks a rule, naming its record, with
// the first problem --check reports for the file. A nested stage is held to
// the parent lists of the last stage before it that makes generations.
TEST(ParamsCheck, LaterBlocksStopTheReadingAsTheCheckReportsThem) {
  qmtest::tempdir dir;
  std::string four = set_record(small_par(), 16, "4 0 12345");
  four = set_record(four, 29, "stage 4: nsire ndam nind ngen");
  four = set_record(four, 30, "10 20 40 1");
  four = set_record(four, 31, "stage 4: nomut matetype seltype");
  four = set_record(four, 32, "0 0 2");
  std::string ends_early = set_record(small_par(), 16, "5 0 12345");
  ends_early.resize(ends_early.find("stage 3:"));
  struct fault {
    const char* what;
    std::string par;
    int record;
    const char* says;
  };
  const fault faults[] = {
      {"stage 3 nind 1", set_record(small_par(), 26, "10 20 1 2"), 26, "nind >= 2"},
      {"stage 3 matetype 5", set_record(small_par(), 28, "0 5 2"), 28, "matetype is 0, 1 or 2"},
      {"stage 3 a word", set_record(small_par(), 28, "0 two 2"), 28, "\"two\""},
      // Stage 2 selects 8 sires and 20 dams; nested stage 3 mates them: 20 is no multiple of 8.
      {"stage 3 nested after 8 sires",
       set_record(set_record(set_record(small_par(), 22, "8 20 40 1"), 24, "0 2 1"), 28, "0 0 2"), 28,
       "selected before this stage begins"},
      // Stage 3 makes a generation that selects 8 sires; nested stage 4 mates them.
      {"stage 4 nested after 8 sires", set_record(four, 26, "8 20 40 1"), 32, "selected before this stage begins"},
      {"file ends before stage 3 of 5", ends_early, 25, "Stages 3 to 5 have no blocks."},
  };
  for (const fault& f : faults) {
    SCOPED_TRACE(f.what);
    const std::string out = load_stops(f.par);
    EXPECT_TRUE(names_record(out, f.record)) << out;
    EXPECT_NE(out.find(f.says), std::string::npos) << out;
    EXPECT_TRUE(std::regex_search(out, stamp_tail)) << out;
    qm::run_parameters c;
    c.parafile = "param.par";
    const std::vector<std::string> found = qm::check_parameters(c);
    ASSERT_FALSE(found.empty());
    EXPECT_EQ(out.substr(0, out.find('\n')), " " + found[0]);
  }
  // Stage 3 makes no generation: stage 4 mates the 10 sires and 20 dams of
  // stage 2, not the 8 of the stage-3 block. The run itself agrees: it makes
  // every stage.
  {
    const std::string par = set_record(four, 26, "8 20 40 0");
    qmtest::console_capture con;
    qm::run_parameters p;
    EXPECT_NO_THROW(qmtest::load_par(p, par));
    EXPECT_EQ(con.text(), "");
    qmtest::run_setup run(par);
    for (int s = 1; s <= 4; ++s) EXPECT_NO_THROW(run.run_stage(s)) << "stage " << s;
    EXPECT_EQ(run.pop().sires.size(), 10u);
  }
  // A rule the run checks with a stop of its own (selection needs 3 sires)
  // is left to the run, where it stops with that message; --check reports it.
  {
    const std::string par = set_record(small_par(), 26, "2 20 40 2");
    qmtest::console_capture con;
    qm::run_parameters p;
    EXPECT_NO_THROW(qmtest::load_par(p, par));
    qm::run_parameters c;
    c.parafile = "param.par";
    const std::vector<std::string> found = qm::check_parameters(c);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_NE(found[0].find(qm::stop_text::select_code1), std::string::npos) << found[0];
  }
}

TEST(ParamsCheck, NegativeStageTwoGenerations) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  qm::run_parameters p;
  EXPECT_THROW(qmtest::load_par(p, set_record(small_par(), 22, "10 20 40 -1")), qm::run_stop);
  EXPECT_TRUE(names_record(con.text(), 22)) << con.text();
  EXPECT_NE(con.text().find("ngen >= 0 from stage 2 on"), std::string::npos) << con.text();
}

TEST(ParamsCheck, NestedStageChecksTheParentsSelectedBefore) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  qm::run_parameters p;
  qmtest::load_par(p, qmtest::small_par());  // stage 2: nested mating of 10 sires and 20 dams
  EXPECT_NO_THROW(qm::enter_stage(p, 2, 10, 20));
  EXPECT_EQ(con.text(), "");
  // The first generation of the stage mates the lists of the stage before:
  // 10 dams are not a multiple of 4 sires.
  EXPECT_THROW(qm::enter_stage(p, 2, 4, 10), qm::run_stop);
  EXPECT_TRUE(names_record(con.text(), 24)) << con.text();
  EXPECT_NE(con.text().find("selected before this stage"), std::string::npos) << con.text();
}

// Selection on estimated breeding values needs phenotypes, which begin in
// stage 2: seltype 3 and 4 are refused in the stage-1 block as it is read,
// accepted in later stages, and refused there only with h2(1) = 1.
TEST(ParamsCheck, SelectionOnEstimatedBreedingValues) {
  qmtest::tempdir dir;
  const std::string par = small_par();
  for (const char* t : {"3", "4"}) {
    SCOPED_TRACE(std::string("seltype ") + t);
    const std::string out = load_stops(set_record(par, 20, std::string("0 2 ") + t));
    EXPECT_TRUE(names_record(out, 20)) << out;
    EXPECT_NE(out.find(std::string("seltype = ") + t + " is not allowed"), std::string::npos) << out;
    EXPECT_NE(out.find("stage 1 has no phenotypes"), std::string::npos) << out;

    qmtest::console_capture con;
    qm::run_parameters p;
    qmtest::load_par(p, set_record(set_record(par, 24, std::string("0 0 ") + t), 28, std::string("0 2 ") + t));
    EXPECT_EQ(p.stages[2].block.criterion(), t[0] == '3' ? qm::selection_criterion::pedigree_ebv
                                                          : qm::selection_criterion::genomic_ebv);
    EXPECT_NO_THROW(begin(p, 2));
    EXPECT_NO_THROW(begin(p, 3));
    EXPECT_TRUE(p.some_stage_uses(p.stages[3].block.criterion()));
    EXPECT_FALSE(p.some_stage_uses(qm::selection_criterion::phenotype));
    EXPECT_EQ(con.text(), "");

    // --check finds nothing to report for them from stage 2 on, and the stage-1 refusal.
    qm::run_parameters c;
    c.parafile = "param.par";
    const std::string ok = set_record(par, 28, std::string("0 2 ") + t);
    qmtest::write_file("param.par", ok);
    EXPECT_EQ(qm::check_parameters(c), std::vector<std::string>{});
    qm::run_parameters c1;
    c1.parafile = "param.par";
    qmtest::write_file("param.par", set_record(par, 20, std::string("0 2 ") + t));
    const std::vector<std::string> found = qm::check_parameters(c1);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_TRUE(names_record(found[0], 20)) << found[0];

    // h2(1) = 1 leaves no residual variance for the models.
    const std::string h2_one = load_stops(set_record(ok, 8, "1"));
    EXPECT_TRUE(names_record(h2_one, 28)) << h2_one;
    EXPECT_NE(h2_one.find("h2(1) < 1"), std::string::npos) << h2_one;
  }
  // Other values stay unknown and --check names the run's stop for them.
  qm::run_parameters c;
  c.parafile = "param.par";
  qmtest::write_file("param.par", set_record(par, 28, "0 2 5"));
  const std::vector<std::string> found = qm::check_parameters(c);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_NE(found[0].find("Parameter Error in select_module! code 2"), std::string::npos) << found[0];
}

TEST(ParamsIdmult, LargestStageSizeReadAhead) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  {
    qm::run_parameters p;
    qmtest::load_par(p, set_record(small_par(), 26, "10 20 9999 2"));
    EXPECT_EQ(p.idmult, 10000);
  }
  {
    qm::run_parameters p;
    qmtest::load_par(p, set_record(small_par(), 26, "10 20 10000 2"));
    EXPECT_EQ(p.idmult, 100000);
    EXPECT_EQ(p.stage1().nind, 40);
  }
  EXPECT_EQ(con.text(), "");
}

// A block that cannot be read does not count for the identifiers; a check
// reports it and goes on, a plain read stops on it.
TEST(ParamsIdmult, UnreadableLaterBlockLeftOut) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  std::string par = set_record(small_par(), 26, "10 20 20000 2");
  par = set_record(par, 28, "0 two 2");
  qmtest::write_file("param.par", par);
  qm::run_parameters p;
  p.parafile = "param.par";
  const std::vector<std::string> found = qm::check_parameters(p);
  EXPECT_EQ(p.idmult, 10000);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_TRUE(names_record(found[0], 28)) << found[0];
  EXPECT_EQ(con.text(), "");
  EXPECT_NO_THROW(begin(p, 2));
  EXPECT_EQ(con.text(), "");
  EXPECT_THROW(begin(p, 3), qm::run_stop);
  EXPECT_TRUE(names_record(con.text(), 28)) << con.text();
  const std::string out = load_stops(par);
  EXPECT_NE(out.find(found[0]), std::string::npos) << out;
}

// The mode of a reading belongs to that reading: a --check (every problem
// collected) before, between and after plain reads (stop at the first)
// changes neither what they stop on nor what it finds, and a check that
// itself stops part-way leaves nothing behind.
TEST(ParamsState, CheckAndPlainReadsKeepTheirOwnMode) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  qmtest::write_file("checked.par", set_record(set_record(small_par(), 8, "0"), 10, "1 4 0"));
  qmtest::write_file("read.par", set_record(set_record(small_par(), 12, "0 1.0e-3 2.0e-3"), 16, "3 0 -5"));
  qm::run_parameters staged;  // checked; its stage-2 block stops when the stage begins
  qmtest::write_file("staged.par", set_record(small_par(), 22, "10 20 40 -1"));
  staged.parafile = "staged.par";
  ASSERT_EQ(qm::check_parameters(staged).size(), 1u);
  const auto check = [](const std::string& file) {
    qm::run_parameters c;
    c.parafile = file;
    return qm::check_parameters(c);
  };
  const auto first_stop = [](const std::string& file) -> std::string {
    qm::run_parameters p;
    p.parafile = file;
    try {
      qm::read_parameters(p);
    } catch (const qm::run_stop& s) {
      return s.what();
    }
    return "";
  };
  const auto stage2_stop = [&staged]() -> std::string {
    try {
      begin(staged, 2);
    } catch (const qm::run_stop& s) {
      return s.what();
    }
    return "";
  };

  const std::vector<std::string> found = check("checked.par");
  ASSERT_EQ(found.size(), 2u);
  EXPECT_TRUE(names_record(found[0], 8)) << found[0];
  EXPECT_TRUE(names_record(found[1], 10)) << found[1];
  // read.par has two problems; a plain read stops at the first alone.
  const std::vector<std::string> both = check("read.par");
  ASSERT_EQ(both.size(), 2u);
  const std::string stopped = first_stop("read.par");
  EXPECT_EQ(stopped, both[0]);
  EXPECT_TRUE(names_record(stopped, 12)) << stopped;
  const std::string stage2 = stage2_stop();
  EXPECT_TRUE(names_record(stage2, 22)) << stage2;

  EXPECT_EQ(check("checked.par"), found);
  EXPECT_EQ(first_stop("read.par"), stopped);
  EXPECT_EQ(stage2_stop(), stage2);

  // A check that stops before it reads anything.
  qm::run_parameters absent;
  absent.parafile = "absent.par";
  EXPECT_THROW((void)qm::check_parameters(absent), qm::run_stop);
  EXPECT_EQ(first_stop("read.par"), stopped);
  EXPECT_EQ(stage2_stop(), stage2);
  EXPECT_EQ(check("checked.par"), found);
  EXPECT_EQ(check("read.par"), both);
}

// A --check and plain reads at the same time, in two threads, each of a
// text in memory: the check finds what it finds alone, and every plain read
// stops at its first problem.
TEST(ParamsState, CheckAndPlainReadsAtTheSameTime) {
  qmtest::console_capture con;
  // 300 stages whose later blocks break rules: a long list, a long check.
  std::string many = set_record(small_par(), 16, "300 0 12345");
  for (int s = 4; s <= 300; ++s)
    many += "stage " + std::to_string(s) + "\n10 20 40 -1\nnomut matetype seltype\n0 2 7\n";
  const std::string_view many_text(many);
  const std::string bad = set_record(set_record(small_par(), 12, "0 1.0e-3 2.0e-3"), 16, "3 0 -5");
  const auto check = [&many_text] {
    qm::run_parameters c;
    c.parafile = "many.par";
    return qm::check_parameter_text(c, &many_text);
  };
  const auto first_stop = [&bad]() -> std::string {
    qm::run_parameters p;
    p.parafile = "bad.par";
    try {
      qm::read_parameter_text(p, bad);
    } catch (const qm::run_stop& s) {
      return s.what();
    }
    return "";
  };
  const std::vector<std::string> alone = check();
  ASSERT_GE(alone.size(), 2u * 297u);
  const std::string stopped = first_stop();
  ASSERT_TRUE(names_record(stopped, 12)) << stopped;

  std::atomic<bool> checking{true};
  int same_lists = 0;
  std::thread checker([&] {
    for (int k = 0; k < 10; ++k) same_lists += check() == alone;
    checking = false;
  });
  int reads = 0, same_stops = 0;
  while (checking || reads == 0) {
    same_stops += first_stop() == stopped;
    ++reads;
  }
  checker.join();
  EXPECT_EQ(same_lists, 10);
  EXPECT_EQ(same_stops, reads);
}

}  // namespace
