// The PLINK and VCF files of a whole run, read by the real clients (plink2,
// bcftools) and compared with the run's own MTYPE and BV files; the classic
// files do not change with these options.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "genotype_sample.hpp"
#include "output/results.hpp"
#include "support.hpp"

namespace {

// Two stages with files (generations 1, 2, 3), 4 x 11 markers, 40 animals.
struct scenario_run {
  qmtest::tempdir td;
  scenario_run() {
    qmtest::write_file("param.par", qmtest::small_par());
    const std::string bin = std::string("'") + QM_BINARY + "'";
    EXPECT_EQ(std::system((bin + " --outdir plain param.par > /dev/null").c_str()), 0);
    EXPECT_EQ(std::system((bin + " --threads 3 --outdir out --plink-qtl --vcf param.par > /dev/null").c_str()), 0);
  }
};

// Haplotypes of an MTYPE file: identifier and the alleles, one row per haplotype.
std::vector<std::pair<std::string, std::vector<int>>> mtype(const std::string& path) {
  std::vector<std::pair<std::string, std::vector<int>>> rows;
  std::istringstream in(qmtest::read_file(path));
  for (std::string line; std::getline(in, line);) {
    std::istringstream ls(line);
    std::string g, id;
    ls >> g >> id;
    std::vector<int> a;
    for (int x; ls >> x;) a.push_back(x);
    rows.emplace_back(id, a);
  }
  return rows;
}

TEST(GenotypeFiles, ClassicFilesDoNotChange) {
  scenario_run r;
  for (const char* f : {"01MTYPE.out", "01QTYPE.out", "01BV.out", "02BV.out", "03MTYPE.out", "QMAP.out", "MMAP.out",
                        "Genetic_paramenters.out"})
    EXPECT_EQ(qmtest::read_file(std::string("plain/") + f), qmtest::read_file(std::string("out/") + f)) << f;
  // log.txt differs only in its time stamps.
  auto unstamped = [](std::string t) {
    std::istringstream in(t);
    std::string out;
    for (std::string l; std::getline(in, l);)
      if (l.find(':') == std::string::npos) out += l + "\n";
    return out;
  };
  EXPECT_EQ(unstamped(qmtest::read_file("plain/log.txt")), unstamped(qmtest::read_file("out/log.txt")));
}

TEST(GenotypeFiles, Plink2ReadsEveryFilesetAsTheMtypeAndBvFilesSay) {
  if (!qmtest::have_tool("plink2")) return;
  scenario_run r;
  for (int g = 1; g <= 3; ++g) {
    const std::string prefix = "out/" + qm::result_name(g, "geno");
    const auto hap = mtype("out/" + qm::result_name(g, "MTYPE.out"));
    // Frequencies of allele B (allele 2) from plink2 against the MTYPE counts.
    const auto fr = qmtest::run_command("plink2 --silent --threads 1 --bfile " + prefix +
                                        " --nonfounders --freq --out f" + std::to_string(g) + " && cat f" +
                                        std::to_string(g) + ".afreq");
    ASSERT_EQ(fr.status, 0) << prefix;
    const auto t = qmtest::table_of(fr.out);
    size_t marker = 0;
    for (size_t k = 1; k < t.size(); ++k) {
      if (t[k][1].rfind("QTL", 0) == 0) continue;  // QTL variants: checked below
      int twos = 0;
      for (const auto& h : hap) twos += h.second[marker] == 2;
      EXPECT_NEAR(std::stod(t[k][4]), twos / static_cast<double>(hap.size()), 1e-6) << t[k][1];
      EXPECT_EQ(std::stoi(t[k][5]), static_cast<int>(hap.size()));
      ++marker;
    }
    EXPECT_EQ(marker, hap[0].second.size());
    // Samples, sexes and parents as plink2 writes them back.
    const auto fam = qmtest::run_command("plink2 --silent --threads 1 --bfile " + prefix +
                                         " --make-just-fam --out back && cat back.fam");
    ASSERT_EQ(fam.status, 0);
    const auto ft = qmtest::table_of(fam.out);
    std::istringstream bv(qmtest::read_file("out/" + qm::result_name(g, "BV.out")));
    std::string line;
    std::getline(bv, line);
    size_t k = 0;
    for (; std::getline(bv, line); ++k) {
      std::istringstream ls(line);
      std::string id, sire, dam, sex;
      ls >> id >> sire >> dam >> sex;
      ASSERT_LT(k, ft.size());
      EXPECT_EQ(ft[k][1], id);
      EXPECT_EQ(ft[k][2], sire);
      EXPECT_EQ(ft[k][3], dam);
      EXPECT_EQ(ft[k][4], sex);
    }
    EXPECT_EQ(k, ft.size());
  }
  // The QTL variants carry the alleles of the QTYPE file, QTL by QTL.
  const auto q = mtype("out/03QTYPE.out");
  const auto raw = qmtest::run_command(
      "plink2 --silent --threads 1 --bfile out/03geno --snps QTL0001 --export A --out q && cat q.raw");
  ASSERT_EQ(raw.status, 0);
  const auto rt = qmtest::table_of(raw.out);
  ASSERT_EQ(rt.size(), q.size() / 2 + 1);
  for (size_t i = 1; i < rt.size(); ++i) {
    // --export A counts allele A (allele 1) copies.
    const int ones = (q[2 * (i - 1)].second[0] == 1) + (q[2 * (i - 1) + 1].second[0] == 1);
    EXPECT_EQ(std::stoi(rt[i][6]), ones) << i;
  }
}

TEST(GenotypeFiles, BcftoolsReadsThePhasedGenotypesOfTheMtypeFile) {
  if (!qmtest::have_tool("bcftools")) return;
  scenario_run r;
  for (int g = 1; g <= 3; ++g) {
    const std::string vcf = "out/" + qm::result_name(g, "geno.vcf.gz");
    const auto hap = mtype("out/" + qm::result_name(g, "MTYPE.out"));
    const size_t nmark = hap[0].second.size();
    const auto n = qmtest::run_command("bcftools view -H " + vcf + " | wc -l");
    ASSERT_EQ(n.status, 0);
    EXPECT_EQ(std::stoul(n.out), nmark);
    // Every genotype of every marker and animal, sire's haplotype first.
    const auto gt = qmtest::run_command("bcftools query -f '%ID[\\t%GT]\\n' " + vcf);
    ASSERT_EQ(gt.status, 0);
    const auto t = qmtest::table_of(gt.out);
    ASSERT_EQ(t.size(), nmark);
    for (size_t l = 0; l < nmark; ++l) {
      ASSERT_EQ(t[l].size(), 1 + hap.size() / 2);
      for (size_t i = 0; i < hap.size() / 2; ++i) {
        const std::string want = std::to_string(hap[2 * i].second[l] - 1) + "|" + std::to_string(hap[2 * i + 1].second[l] - 1);
        ASSERT_EQ(t[l][1 + i], want) << "marker " << l << " animal " << i;
      }
    }
    // The index answers a region query: chromosome 2 holds 11 markers.
    const auto reg = qmtest::run_command("bcftools view -H -r 2 " + vcf + " | wc -l");
    ASSERT_EQ(reg.status, 0);
    EXPECT_EQ(std::stoul(reg.out), 11u);
    // The header records the program, the parameter file and the seed.
    const auto h = qmtest::run_command("bcftools view -h " + vcf);
    EXPECT_NE(h.out.find("quillmere"), std::string::npos);
    EXPECT_NE(h.out.find("param.par"), std::string::npos);
    EXPECT_NE(h.out.find("12345"), std::string::npos);
  }
}

}  // namespace
