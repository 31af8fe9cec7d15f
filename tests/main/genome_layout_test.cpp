// The two haplotype layouts end to end with the real program: a run kept
// one bit per allele from the recoding on writes every file exactly as the
// run kept one byte per allele: classic files, summary, report, PLINK with
// QTL, VCF, and selection on pedigree and genomic EBVs.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "support.hpp"

namespace fs = std::filesystem;

namespace {

using qmtest::set_record;

int run(const std::string& args) { return qmtest::run_program(args); }

// log.txt without its line of start and end times.
std::string log_without_times(const std::string& path) {
  std::istringstream in(qmtest::read_file(path));
  std::string line, out;
  while (std::getline(in, line))
    if (line.find("-->") == std::string::npos) out += line + "\n";
  return out;
}

TEST(GenomeLayout, BitsAndBytesWriteTheSameFiles) {
  qmtest::tempdir td;
  // Four stages: phenotypic selection, then genomic and pedigree EBVs;
  // 60 markers per chromosome so that rows cross word boundaries.
  std::string par = set_record(qmtest::small_par(), 10, "61 3 1");
  par = set_record(par, 12, "1.0 5.0e-2 5.0e-2");
  par = set_record(par, 16, "4 0 4711");
  par = set_record(par, 28, "0 2 4");
  par = set_record(par, 29, "stage 4: nsire ndam nind ngen");
  par = set_record(par, 30, "10 20 40 2");
  par = set_record(par, 31, "stage 4: nomut matetype seltype");
  par = set_record(par, 32, "0 2 3");
  qmtest::write_file("param.par", par);
  for (const char* threads : {"1", "3"}) {
    const std::string common = std::string(" --threads ") + threads + " --plink-qtl --vcf --history-summary param.par";
    ASSERT_EQ(run("--outdir bits --overwrite --genome-layout packed" + common), 0) << qmtest::read_file("stderr.txt");
    ASSERT_EQ(run("--outdir bytes --overwrite --genome-layout bytes" + common), 0) << qmtest::read_file("stderr.txt");
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator("bits")) names.insert(e.path().filename().string());
    for (const auto& e : fs::directory_iterator("bytes")) names.insert(e.path().filename().string());
    // every kind of file is there
    for (const char* want : {"05MTYPE.out", "05QTYPE.out", "05geno.bed", "05geno.vcf.gz", "summary.csv", "report.html"})
      EXPECT_EQ(names.count(want), 1u) << want;
    for (const std::string& n : names) {
      if (n == "run.json") continue;  // times
      ASSERT_TRUE(qmtest::file_exists("bits/" + n)) << n;
      ASSERT_TRUE(qmtest::file_exists("bytes/" + n)) << n;
      if (n == "log.txt") {
        EXPECT_EQ(log_without_times("bits/log.txt"), log_without_times("bytes/log.txt"));
        continue;
      }
      EXPECT_TRUE(qmtest::read_file("bits/" + n) == qmtest::read_file("bytes/" + n)) << n << " differs";
    }
  }
}

// The estimate of --check covers the peak that run.json reports, and is not
// far above it, in both layouts; the bits take a fraction of the bytes.
TEST(GenomeLayout, MemoryEstimateCoversThePeakInBothLayouts) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers' shadow memory is not part of the estimate";
#endif
  qmtest::tempdir td;
  // 50 historical animals, then 3000 animals on 10 x 400 markers: the
  // haplotypes of the later stages are most of the memory.
  std::string par = set_record(qmtest::small_par(), 10, "400 10 0");
  par = set_record(par, 18, "10 20 50 20");
  par = set_record(par, 22, "100 1500 3000 1");
  par = set_record(par, 26, "100 1500 3000 1");
  qmtest::write_file("param.par", par);
  double peak[2] = {0, 0};
  for (int bits = 0; bits < 2; ++bits) {
    const std::string layout = bits ? " --genome-layout packed" : " --genome-layout bytes";
    ASSERT_EQ(run("--check --threads 2" + layout + " param.par"), 0) << qmtest::read_file("stderr.txt");
    const std::string out = qmtest::read_file("stdout.txt");
    const size_t at = out.find("needs about ");
    ASSERT_NE(at, std::string::npos) << out;
    const double estimate = std::stod(out.substr(at + 12));
    ASSERT_EQ(run("--outdir out --overwrite --threads 2" + layout + " param.par"), 0) << qmtest::read_file("stderr.txt");
    const nlohmann::json j = nlohmann::json::parse(qmtest::read_file("out/run.json"));
    peak[bits] = j.at("peak_memory_bytes").get<double>() / (1 << 20);
    EXPECT_GE(estimate, peak[bits]) << layout;
    std::printf("%s: estimate %.0f MB, peak %.0f MB\n", layout.c_str(), estimate, peak[bits]);
    EXPECT_LE(estimate, 1.5 * peak[bits] + 10) << layout;
  }
  // The layouts themselves, without the text that waits for the writing
  // thread of a two-thread run (the same 24 MB at most in either layout).
  double alone[2] = {0, 0};
  for (int bits = 0; bits < 2; ++bits) {
    const std::string layout = bits ? " --genome-layout packed" : " --genome-layout bytes";
    ASSERT_EQ(run("--outdir out --overwrite --threads 1" + layout + " param.par"), 0) << qmtest::read_file("stderr.txt");
    alone[bits] = nlohmann::json::parse(qmtest::read_file("out/run.json")).at("peak_memory_bytes").get<double>() / (1 << 20);
  }
  EXPECT_LT(alone[1], alone[0] / 3) << "bits " << alone[1] << " MB, bytes " << alone[0] << " MB";
}

}  // namespace
