// --save-history and --from-history through the executable: for reference
// scenarios, a run started from a saved history writes every file of the
// uninterrupted run (result files, log.txt but its time lines, summary.csv,
// ld_decay.csv, report.html, PLINK and VCF files) byte for byte at 1, 2 and
// 3 threads; saving changes nothing in the run that saves; a damaged or
// unfitting history stops the run before any file is written; replicates
// on one history repeat themselves, differ, and merge.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "run/history_file.hpp"
#include "support.hpp"

namespace fs = std::filesystem;

namespace {

struct result {
  int status;
  std::string out, err;
};

result run(const std::string& folder, const std::string& args) {
  fs::create_directories(folder);
  const std::string cmd = "cd '" + folder + "' && '" + QM_BINARY + "' " + args +
                          " > stdout.txt 2> stderr.txt < /dev/null";
  const int rc = std::system(cmd.c_str());
  return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, qmtest::read_file(folder + "/stdout.txt"),
          qmtest::read_file(folder + "/stderr.txt")};
}

// Several runs side by side, each "folder|arguments".
void run_all(const std::vector<std::pair<std::string, std::string>>& runs) {
  std::string all;
  for (const auto& [folder, args] : runs) {
    fs::create_directories(folder);
    all += "(cd '" + folder + "' && '" + QM_BINARY + "' " + args + " > stdout.txt 2> stderr.txt < /dev/null; echo $? > status) & ";
  }
  ASSERT_EQ(std::system((all + "wait").c_str()), 0);
}

std::string masked_log(const std::string& path) {
  static const std::regex stamp(R"( \d{2}/\d{2}/\d{4} \d{2}:\d{2}:\d{2})");
  static const std::regex runtime(R"(         \d{2}:\d{2}:\d{2} --> \d{2}:\d{2}:\d{2})");
  const std::string t = qmtest::read_file(path);
  std::string out;
  size_t at = 0;
  while (at < t.size()) {
    size_t nl = t.find('\n', at);
    if (nl == std::string::npos) nl = t.size();
    const std::string line = t.substr(at, nl - at);
    out += std::regex_match(line, stamp) ? " <time stamp>" : std::regex_match(line, runtime) ? "         <run time>" : line;
    out += '\n';
    at = nl + 1;
  }
  return out;
}

// Every file of a against b: the same names, the same bytes (log.txt with
// its time lines masked); run.json and the test's own files left out.
void same_files(const std::string& a, const std::string& b, const std::string& what) {
  std::set<std::string> na, nb;
  const std::set<std::string> skip = {"run.json", "stdout.txt", "stderr.txt", "status", "param.par", "h.qmh"};
  for (const auto& e : fs::directory_iterator(a))
    if (!skip.count(e.path().filename().string())) na.insert(e.path().filename().string());
  for (const auto& e : fs::directory_iterator(b))
    if (!skip.count(e.path().filename().string())) nb.insert(e.path().filename().string());
  EXPECT_EQ(na, nb) << what;
  for (const std::string& f : na) {
    if (!nb.count(f)) continue;
    if (f == "log.txt")
      EXPECT_EQ(masked_log(a + "/" + f), masked_log(b + "/" + f)) << what << ": log.txt";
    else
      EXPECT_TRUE(qmtest::read_file(a + "/" + f) == qmtest::read_file(b + "/" + f)) << what << ": " << f << " differs";
  }
}

class HistoryScenario : public ::testing::TestWithParam<std::string> {};

TEST_P(HistoryScenario, ResumedRunEqualsUninterruptedRun) {
  const std::string name = GetParam();
  qmtest::tempdir td;
  const std::string par = qmtest::read_file(QM_TESTDATA "/scenarios/" + name + ".par");
  ASSERT_FALSE(par.empty());
  qmtest::write_file("param.par", par);
  const std::string p = " ../param.par";
  // The saving run and the plain one; the history is made without
  // --history-summary and used with and without it.
  run_all({{"plain", "--threads 2" + p},
           {"plain_hs", "--threads 1 --history-summary --plink --vcf-qtl --alleles nucleotide" + p},
           {"saving", "--threads 3 --save-history ../h.qmh" + p},
           {"saving_bytes", "--threads 2 --genome-layout bytes --save-history ../hb.qmh" + p}});
  const std::string status = qmtest::read_file("plain/status");
  ASSERT_FALSE(status.empty());
  EXPECT_EQ(qmtest::read_file("saving/status"), status) << qmtest::read_file("saving/stderr.txt");
  same_files("plain", "saving", name + ": saving a history changes the run");
  // The file is the same whichever layout the run kept its haplotypes in.
  EXPECT_TRUE(qmtest::read_file("h.qmh") == qmtest::read_file("hb.qmh")) << name;
  run_all({{"from1", "--threads 1 --from-history ../h.qmh" + p},
           {"from2", "--threads 2 --from-history ../h.qmh" + p},
           {"from3", "--threads 3 --from-history ../h.qmh" + p},
           {"from_hs", "--threads 2 --history-summary --plink --vcf-qtl --alleles nucleotide --from-history ../h.qmh" + p},
           {"from_bytes", "--threads 2 --genome-layout bytes --from-history ../h.qmh" + p}});
  for (int t = 1; t <= 3; ++t) {
    const std::string f = "from" + std::to_string(t);
    EXPECT_EQ(qmtest::read_file(f + "/status"), status) << qmtest::read_file(f + "/stderr.txt");
    same_files("plain", f, name + ", resumed at " + std::to_string(t) + " threads");
  }
  same_files("plain", "from_bytes", name + ", resumed into the bytes layout");
  same_files("plain_hs", "from_hs", name + ", resumed with --history-summary, --plink, --vcf-qtl and nucleotide alleles");
  // The history file is one of the run's results, named by its path from
  // the run's folder, and run.json keeps the path as given.
  EXPECT_NE(qmtest::read_file("saving/run.json").find("\"name\": \"../h.qmh\""), std::string::npos);
  EXPECT_NE(qmtest::read_file("saving/run.json").find("\"save_history\": \"../h.qmh\""), std::string::npos);
  EXPECT_NE(qmtest::read_file("from1/run.json").find("\"from_history\": \"../h.qmh\""), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, HistoryScenario,
                         ::testing::Values("v01_one_trait_normal", "v03_two_traits_common", "v07_threshold_trait",
                                           "v08_random_map", "v11_four_stages", "v15_gamma_erlang_stage2_ngen3",
                                           "i15_more_sires_than_dams"),
                         [](const ::testing::TestParamInfo<std::string>& i) { return i.param; });

// A history of the small test parameter file, made once in the working folder.
void make_history() {
  qmtest::write_file("param.par", qmtest::small_par());
  const result r = run(".", "--save-history h.qmh --outdir made param.par");
  ASSERT_EQ(r.status, 0) << r.err;
}

TEST(HistoryRun, DamagedOrUnfittingHistoryStopsBeforeAnythingIsWritten) {
  qmtest::tempdir td;
  make_history();
  const std::string good = qmtest::read_file("h.qmh");
  struct bad {
    std::string file, par, message;
  };
  std::string flipped = good;
  flipped[good.size() / 2] = static_cast<char>(flipped[good.size() / 2] ^ 0x10);
  const std::string other_stage1 = qmtest::set_record(qmtest::small_par(), 18, "10 20 40 25");
  const std::vector<bad> cases = {
      {flipped, qmtest::small_par(), "is damaged: its SHA-256 checksum does not match"},
      {good.substr(0, good.size() - 100), qmtest::small_par(), "is cut short"},
      {"not a history\n", qmtest::small_par(), "is not a Quillmere history file"},
      {good, other_stage1, "was made with stage-1 ngen = 30; the parameter file other.par has 25 (record 18)"},
  };
  for (const bad& c : cases) {
    qmtest::write_file("bad.qmh", c.file);
    qmtest::write_file("other.par", c.par);
    const result r = run(".", "--from-history bad.qmh --outdir out other.par");
    EXPECT_EQ(r.status, 1) << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists("out")) << c.message << ": the output folder was made";
  }
  // The same checks with --check, which reports instead of running.
  const result chk = run(".", "--check --from-history bad.qmh other.par");
  EXPECT_EQ(chk.status, 1);
  EXPECT_NE(chk.out.find("(record 18)"), std::string::npos) << chk.out;
  const result fits = run(".", "--check --from-history h.qmh param.par");
  EXPECT_EQ(fits.status, 0) << fits.out;
  EXPECT_NE(fits.out.find("history file h.qmh fits it"), std::string::npos) << fits.out;
}

// Histories edited and sealed again (the checksum has no key, anyone can
// make it again): the values are checked for what they mean before any
// file is made. Each of these once crashed a run, hung it, or made it take
// gigabytes after it had written log.txt and run.json.
TEST(HistoryRun, EditedAndResealedHistoriesStopBeforeAnythingIsWritten) {
  qmtest::tempdir td;
  make_history();
  const std::string good = qmtest::read_file("h.qmh");
  using qmtest::le;
  const std::string map = qmtest::history_payload(good, "MAP ");
  // Marker k (from 0) of the map: chromosome i32, Morgan f64, base pairs i64,
  // after nchr, nmpc, maptype and the count.
  const auto marker_at = [](int k) { return static_cast<size_t>(12 + 8 + 20 * k); };
  const auto with_map = [&](int k, size_t field, const std::string& bytes) {
    std::string m = map;
    m.replace(marker_at(k) + field, 8, bytes);
    return qmtest::with_history_payload(good, "MAP ", m);
  };
  // The population: nind, its 40 parent pairs, then the 10 selected sires.
  const std::string pop = qmtest::history_payload(good, "POP ");
  const size_t sires_at = 4 + 8 + 8 * 40;
  ASSERT_EQ(pop.substr(sires_at, 8), le(10, 8));
  const std::string no_sires = pop.substr(0, sires_at) + le(0, 8) + pop.substr(sires_at + 8 + 4 * 10);
  std::string ped = qmtest::history_payload(good, "PED ");
  ped.replace(4, 4, le(100000000, 4));  // the base generation: 10^8 animals
  // The summary rows without the last one (84 bytes a row).
  const std::string obs = qmtest::history_payload(good, "OBS ");
  ASSERT_EQ(obs.substr(4, 8 + 7), le(7, 8) + "summary");
  const std::string rows = obs.substr(4 + 15 + 8);
  ASSERT_EQ(rows.substr(0, 8), le(31, 8));
  const std::string fewer = le(30, 8) + rows.substr(8, rows.size() - 8 - 84);
  const std::string obs_fewer = obs.substr(0, 4 + 15) + le(fewer.size(), 8) + fewer;
  // Row 3 with an infinite marker heterozygosity, row 5 with a QTL one (no
  // QTL are chosen in stage 1): per row stage, generation, nind, then the
  // marker and QTL heterozygosities.
  std::string odd_values = obs;
  const size_t row0 = 4 + 15 + 8 + 8;
  odd_values.replace(row0 + 84 * 2 + 12, 8, qmtest::le_f64(INFINITY));
  std::string qtl_value = obs;
  qtl_value.replace(row0 + 84 * 4 + 12 + 16, 8, qmtest::le_f64(0.25));

  struct edited {
    std::string name, file, options, message;
  };
  const double nan = std::nan("");
  const std::vector<edited> cases = {
      {"NaN position", with_map(1, 4, qmtest::le_f64(nan)), "",
       "is damaged: marker 2 (marker 2 of chromosome 1) lies at nan Morgan."},
      {"no sires", qmtest::with_history_payload(good, "POP ", no_sires), "",
       "is damaged: it lists 0 selected sires and 20 selected dams; stage 1 selects nsire = 10 and ndam = 20."},
      {"a base of 10^8", qmtest::with_history_payload(good, "PED ", ped), "--max-memory 100",
       "is damaged: generation 0 of the pedigree has 100000000 animals, more than the 40 a generation can have."},
      {"base pair 2^62", with_map(1, 12, le(uint64_t{1} << 62, 8)), "--vcf",
       "is damaged: marker 2 (marker 2 of chromosome 1) lies at base pair 4611686018427387904, which its position "
       "of 0.10000000000000001 Morgan does not give (10000000 at most)."},
      {"base pair 2^40", with_map(43, 12, le(uint64_t{1} << 40, 8)), "--vcf",
       "is damaged: marker 44 (marker 11 of chromosome 4) lies at base pair 1099511627776, which its position of 1 "
       "Morgan does not give (100000000 at most)."},
      {"a summary row less", qmtest::with_history_payload(good, "OBS ", obs_fewer), "--history-summary",
       "is damaged: it holds 30 summary rows for 31 generations of stage 1."},
      {"an infinite heterozygosity", qmtest::with_history_payload(good, "OBS ", odd_values), "",
       "is damaged: summary row 3 holds values that no generation of stage 1 has."},
      {"a QTL heterozygosity", qmtest::with_history_payload(good, "OBS ", qtl_value), "",
       "is damaged: summary row 5 holds values that no generation of stage 1 has."},
  };
  for (const edited& c : cases) {
    qmtest::write_file("bad.qmh", c.file);
    const result r = run(".", "--from-history bad.qmh --outdir out " + c.options + " param.par");
    EXPECT_EQ(r.status, 1) << c.name << ": " << r.err;
    EXPECT_EQ(r.err.rfind("quillmere: History file bad.qmh " + c.message, 0), 0u) << c.name << ": " << r.err;
    EXPECT_NE(r.err.find("Make it again with --save-history."), std::string::npos) << c.name << ": " << r.err;
    EXPECT_FALSE(fs::exists("out")) << c.name << ": the output folder was made";
    EXPECT_FALSE(fs::exists("log.txt")) << c.name;
    // --check finds the same.
    const result chk = run(".", "--check --from-history bad.qmh " + c.options + " param.par");
    EXPECT_EQ(chk.status, 1) << c.name << ": " << chk.out;
    EXPECT_NE(chk.out.find("History file bad.qmh " + c.message), std::string::npos) << c.name << ": " << chk.out;
  }
}

// A file larger than the memory the run may use is refused from its size,
// before a byte of it is read: here 1.5 GB, sparse, against --max-memory 100
// (a run of the parameter file with a history of its own needs about 50 MB).
// With --check the estimate counts the file. So is a file larger than a
// history of the parameter file can be, whatever the memory.
TEST(HistoryRun, AFileLargerThanTheMemoryIsRefusedBeforeItIsRead) {
  qmtest::tempdir td;
  make_history();
  fs::copy_file("h.qmh", "big.qmh");
  fs::resize_file("big.qmh", uint64_t{1536} << 20);
  const result r = run(".", "--from-history big.qmh --max-memory 100 --outdir out param.par");
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.err.rfind("quillmere: History file big.qmh has 1536 MB; with it the run needs about ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find("MB of memory, more than the 100 MB that --max-memory allows. A history of param.par has about "
                       "1 MB: give the history made from this parameter file, or make it again with --save-history."),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists("out"));
  const result chk = run(".", "--check --from-history big.qmh --max-memory 100 param.par");
  EXPECT_EQ(chk.status, 1);
  EXPECT_NE(chk.out.find("History file big.qmh has 1536 MB"), std::string::npos) << chk.out;
  // Within the memory, it is still more than a history of the parameter file can have.
  const result more = run(".", "--check --from-history big.qmh --max-memory 4000 param.par");
  EXPECT_EQ(more.status, 1);
  EXPECT_NE(more.out.find("History file big.qmh has 1610612736 bytes, more than a history of param.par can have"),
            std::string::npos)
      << more.out;
  // The good file fits, and --check's estimate holds the file.
  const result fits = run(".", "--check --from-history h.qmh --max-memory 100 param.par");
  EXPECT_EQ(fits.status, 0) << fits.out;

  // Whatever the memory, a file larger than a history of the parameter file
  // can be is refused from its size: one byte more than the most, not the most.
  const int64_t most = qm::most_history_file_bytes(40, 44, 40, 32);
  EXPECT_LT(static_cast<int64_t>(fs::file_size("h.qmh")), most);
  fs::resize_file("big.qmh", static_cast<uintmax_t>(most + 1));
  const result over = run(".", "--check --from-history big.qmh param.par");
  EXPECT_EQ(over.status, 1);
  EXPECT_NE(over.out.find("History file big.qmh has " + std::to_string(most + 1) +
                          " bytes, more than a history of param.par can have (" + std::to_string(most) +
                          "): it is another file, or was changed."),
            std::string::npos)
      << over.out;
  fs::resize_file("big.qmh", static_cast<uintmax_t>(most));
  const result at_most = run(".", "--check --from-history big.qmh param.par");
  EXPECT_EQ(at_most.status, 1);
  EXPECT_NE(at_most.out.find("bytes more than its header gives"), std::string::npos) << at_most.out;
}

// Histories of a replicate and of a seed from the clock fit their
// parameter file: the start seed they keep is the one those give.
TEST(HistoryRun, HistoriesOfAReplicateAndOfTheClockFit) {
  qmtest::tempdir td;
  qmtest::write_file("param.par", qmtest::small_par());
  qmtest::write_file("clock.par", qmtest::set_record(qmtest::small_par(), 16, "3 0 0"));
  run_all({{".", "--save-history rep.qmh --replicate 2 --outdir r2 param.par"},
           {"c", "--save-history ../clock.qmh --outdir . ../clock.par"}});
  for (const auto& [file, par] : {std::pair{"rep.qmh", "param.par"}, std::pair{"clock.qmh", "clock.par"}}) {
    const result r = run(".", std::string("--check --from-history ") + file + " " + par);
    EXPECT_EQ(r.status, 0) << file << ": " << r.out;
  }
  // The replicate's history is not the history of replicate 0.
  std::string other = qmtest::read_file("rep.qmh");
  std::string run_section = qmtest::history_payload(other, "RUN ");
  run_section.replace(8 + 9, 8, qmtest::le(0, 8));  // after "param.par": replicate 0
  qmtest::write_file("rep0.qmh", qmtest::with_history_payload(other, "RUN ", run_section));
  const result r = run(".", "--check --from-history rep0.qmh param.par");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("History file rep0.qmh is damaged: its random stream started from seed"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("but seed 12345 gives 12345."), std::string::npos) << r.out;
}

TEST(HistoryRun, LaterStagesMayDifferAndReplicatesShareTheHistory) {
  qmtest::tempdir td;
  make_history();
  // Another scheme on the same history: stage 3 selects on the phenotype for 4 generations.
  qmtest::write_file("scheme.par", qmtest::set_record(qmtest::set_record(qmtest::small_par(), 26, "10 20 40 4"), 28, "0 1 1"));
  const result r = run(".", "--from-history h.qmh --outdir scheme scheme.par");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(qmtest::file_exists("scheme/05BV.out"));
  EXPECT_EQ(qmtest::read_file("scheme/01BV.out"), qmtest::read_file("made/01BV.out"));  // stage 2 is the same

  // Replicates 1 and 2 of the later stages (folders rep-1, rep-2), 1 again elsewhere.
  run_all({{".", "--from-history h.qmh --replicate 1 param.par"},
           {"again", "--from-history ../h.qmh --replicate 1 --outdir . ../param.par"},
           {"two", "--from-history ../h.qmh --replicate 2 --outdir ../rep-2 ../param.par"}});
  ASSERT_EQ(qmtest::read_file("status"), "0\n") << qmtest::read_file("stderr.txt");
  for (const char* f : {"01BV.out", "03MTYPE.out", "summary.csv"}) {
    EXPECT_EQ(qmtest::read_file(std::string("rep-1/") + f), qmtest::read_file(std::string("again/") + f)) << f;
    EXPECT_NE(qmtest::read_file(std::string("rep-1/") + f), qmtest::read_file(std::string("made/") + f)) << f;
    EXPECT_NE(qmtest::read_file(std::string("rep-1/") + f), qmtest::read_file(std::string("rep-2/") + f)) << f;
  }
  // The map and the stage-1 log are the history's.
  EXPECT_EQ(qmtest::read_file("rep-2/MMAP.out").empty(), false);
  const result m = run(".", "merge rep-1 rep-2 made");
  EXPECT_EQ(m.status, 0) << m.err;
  EXPECT_TRUE(qmtest::file_exists("replicates.csv"));
}

TEST(HistoryRun, OptionsThatCannotGoTogether) {
  qmtest::tempdir td;
  qmtest::write_file("param.par", qmtest::small_par());
  const std::pair<const char*, const char*> cases[] = {
      {"--save-history h.qmh --from-history h.qmh", "names the file that --from-history reads"},
      {"--save-history ./h.qmh --from-history h.qmh", "names the file that --from-history reads"},
      {"--save-history a.qmh --from-history h.qmh", "cannot be given together"},
      {"--check --save-history a.qmh", "--check runs no generation"},
  };
  for (const auto& [args, message] : cases) {
    const result r = run(".", std::string(args) + " param.par");
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_NE(r.err.find(message), std::string::npos) << args << ": " << r.err;
  }
  EXPECT_FALSE(qmtest::file_exists("log.txt"));
  // A folder that does not exist is found before stage 1 is made.
  const result r = run(".", "--save-history nowhere/h.qmh param.par");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("the folder of the history file nowhere/h.qmh does not exist"), std::string::npos) << r.err;
  fs::create_directory("folder");
  const result f = run(".", "--save-history folder param.par");
  EXPECT_EQ(f.status, 1);
  EXPECT_NE(f.err.find("names a folder"), std::string::npos) << f.err;
  EXPECT_FALSE(qmtest::file_exists("log.txt"));
}

}  // namespace
