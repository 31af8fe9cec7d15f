// The PLINK and VCF files of a whole run, read by the real clients (plink2,
// bcftools) and compared with the run's own MTYPE and BV files; the classic
// files do not change with these options.
#include <gtest/gtest.h>

#include <algorithm>
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
// plain: no genotype files; out: PLINK with the QTL and VCF, .fam parents
// outside the fileset as 0. With nucleotides and every parent, nuc and ab
// differ in the alleles alone.
struct scenario_run {
  qmtest::tempdir td;
  explicit scenario_run(bool with_alleles = false) {
    qmtest::write_file("param.par", qmtest::small_par());
    const std::string bin = std::string("'") + QM_BINARY + "'";
    EXPECT_EQ(std::system((bin + " --outdir plain param.par > /dev/null").c_str()), 0);
    EXPECT_EQ(std::system((bin + " --threads 3 --outdir out --plink-qtl --vcf param.par > /dev/null").c_str()), 0);
    if (!with_alleles) return;
    const std::string both = " --plink-qtl --vcf-qtl --fam-parents all param.par > /dev/null";
    EXPECT_EQ(std::system((bin + " --outdir nuc --alleles nucleotide" + both).c_str()), 0);
    EXPECT_EQ(std::system((bin + " --outdir ab" + both).c_str()), 0);
  }
};

std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> v;
  for (auto& row : qmtest::table_of(qmtest::run_command("ls " + folder).out))
    if (!row.empty()) v.push_back(row[0]);
  return v;
}

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

// A log without its time stamps (every line with a colon).
std::string unstamped(const std::string& t) {
  std::istringstream in(t);
  std::string out;
  for (std::string l; std::getline(in, l);)
    if (l.find(':') == std::string::npos) out += l + "\n";
  return out;
}

TEST(GenotypeFiles, ClassicFilesDoNotChange) {
  scenario_run r;
  for (const char* f : {"01MTYPE.out", "01QTYPE.out", "01BV.out", "02BV.out", "03MTYPE.out", "QMAP.out", "MMAP.out",
                        "Genetic_paramenters.out"})
    EXPECT_EQ(qmtest::read_file(std::string("plain/") + f), qmtest::read_file(std::string("out/") + f)) << f;
  // log.txt differs only in its time stamps.
  EXPECT_EQ(unstamped(qmtest::read_file("plain/log.txt")), unstamped(qmtest::read_file("out/log.txt")));
}

TEST(GenotypeFiles, Plink2ReadsEveryFilesetAsTheMtypeAndBvFilesSayWithoutNonfounders) {
  if (!qmtest::have_tool("plink2")) return;
  scenario_run r;
  for (int g = 1; g <= 3; ++g) {
    const std::string prefix = "out/" + qm::result_name(g, "geno");
    const auto hap = mtype("out/" + qm::result_name(g, "MTYPE.out"));
    // Frequencies of allele B (allele 2) from plink2 against the MTYPE counts.
    // No --nonfounders: the parents are not in the fileset, so every animal
    // is a founder.
    const auto fr = qmtest::run_command("plink2 --silent --threads 1 --bfile " + prefix + " --freq --out f" +
                                        std::to_string(g) + " && cat f" + std::to_string(g) + ".afreq");
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
      EXPECT_EQ(ft[k][2], "0");
      EXPECT_EQ(ft[k][3], "0");
      EXPECT_NE(sire, "0");  // the BV file names them
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

// The .bim without its allele columns, and the VCF records without REF and ALT.
std::string bim_positions(const std::string& file) {
  std::string out;
  for (const auto& row : qmtest::table_of(qmtest::read_file(file))) {
    EXPECT_EQ(row.size(), 6u);
    for (size_t c = 0; c < 4 && c < row.size(); ++c) out += row[c] + "\t";
    out += "\n";
  }
  return out;
}

TEST(GenotypeFiles, NucleotideAllelesChangeTheAllelesAlone) {
  scenario_run r(true);
  // Every file of the run but the allele letters is byte for byte the same.
  const std::vector<std::string> ab = names_in("ab"), nuc = names_in("nuc");
  std::vector<std::string> extra;
  for (const std::string& n : nuc)
    if (std::find(ab.begin(), ab.end(), n) == ab.end()) extra.push_back(n);
  EXPECT_EQ(extra, (std::vector<std::string>{"genome.fa", "genome.fa.fai", "genome.fa.gzi"}));
  int compared = 0;
  for (const std::string& n : ab) {
    if (n == "log.txt" || n == "run.json" || n.find("geno.bim") != std::string::npos ||
        n.find("geno.vcf.gz") != std::string::npos)
      continue;
    EXPECT_EQ(qmtest::read_file("ab/" + n), qmtest::read_file("nuc/" + n)) << n;
    ++compared;
  }
  EXPECT_GE(compared, 20);
  for (int g = 1; g <= 3; ++g) {
    const std::string prefix = qm::result_name(g, "geno");
    EXPECT_EQ(bim_positions("ab/" + prefix + ".bim"), bim_positions("nuc/" + prefix + ".bim"));
    if (!qmtest::have_tool("bcftools")) continue;
    const std::string q = "bcftools query -f '%CHROM\\t%POS\\t%ID[\\t%GT]\\n' ";
    const auto a = qmtest::run_command(q + "ab/" + prefix + ".vcf.gz");
    const auto b = qmtest::run_command(q + "nuc/" + prefix + ".vcf.gz");
    ASSERT_EQ(a.status, 0);
    EXPECT_EQ(a.out, b.out);
    // The .bim and the VCF name the same bases: A1 is ALT, A2 is REF.
    const auto alleles = qmtest::run_command("bcftools query -f '%ID\\t%ALT\\t%REF\\n' nuc/" + prefix + ".vcf.gz");
    std::string from_bim;
    for (const auto& row : qmtest::table_of(qmtest::read_file("nuc/" + prefix + ".bim")))
      from_bim += row[1] + "\t" + row[4] + "\t" + row[5] + "\n";
    EXPECT_EQ(alleles.out, from_bim);
  }
  // The default letters stay A and B.
  for (const auto& row : qmtest::table_of(qmtest::read_file("ab/03geno.bim")))
    EXPECT_EQ(row[4] + row[5], "BA");
  // log.txt differs in its time stamps only.
  EXPECT_EQ(unstamped(qmtest::read_file("ab/log.txt")), unstamped(qmtest::read_file("nuc/log.txt")));
}

TEST(GenotypeFiles, BcftoolsChecksTheNucleotideVcfAgainstGenomeFaAndCountsTransitions) {
  if (!qmtest::have_tool("bcftools")) return;
  scenario_run r(true);
  for (int g = 1; g <= 3; ++g) {
    const std::string vcf = "nuc/" + qm::result_name(g, "geno.vcf.gz");
    const auto norm = qmtest::run_command("bcftools norm --check-ref e -f nuc/genome.fa " + vcf +
                                          " -Ou -o /dev/null 2>&1");
    EXPECT_EQ(norm.status, 0) << norm.out;
    // bcftools stats: every record a SNP, each a transition or a transversion.
    const auto st = qmtest::run_command("bcftools stats " + vcf);
    ASSERT_EQ(st.status, 0);
    long snps = -1, ts = -1, tv = -1;
    for (const auto& row : qmtest::table_of(st.out)) {
      if (row.size() >= 6 && row[0] == "SN" && row[4] == "SNPs:") snps = std::stol(row[5]);  // "number of SNPs:"
      if (row.size() >= 5 && row[0] == "TSTV") ts = std::stol(row[2]), tv = std::stol(row[3]);
    }
    const auto n = qmtest::run_command("bcftools view -H " + vcf + " | wc -l");
    EXPECT_EQ(snps, std::stol(n.out));
    EXPECT_EQ(ts + tv, snps);
    EXPECT_GT(ts, 0);
    EXPECT_GT(tv, 0);
  }
  // The check is real: the A/B file fails it against the same reference.
  const auto ab = qmtest::run_command("bcftools norm --check-ref e -f nuc/genome.fa ab/03geno.vcf.gz -Ou -o /dev/null 2>&1");
  EXPECT_NE(ab.status, 0);
  // The header names the reference.
  const auto h = qmtest::run_command("bcftools view -h nuc/03geno.vcf.gz");
  EXPECT_NE(h.out.find("##reference=genome.fa"), std::string::npos);
}

TEST(GenotypeFiles, VcfQtlAddsTheQtlAsPlinkQtlDoes) {
  if (!qmtest::have_tool("bcftools")) return;
  scenario_run r(true);
  for (const char* folder : {"ab", "nuc"}) {
    const std::string f = folder;
    // The same variants in the same order in both formats, the QTL among them.
    const auto ids = qmtest::run_command("bcftools query -f '%ID\\n' " + f + "/03geno.vcf.gz");
    std::string from_bim;
    int qtl = 0;
    for (const auto& row : qmtest::table_of(qmtest::read_file(f + "/03geno.bim"))) {
      from_bim += row[1] + "\n";
      qtl += row[1].rfind("QTL", 0) == 0;
    }
    EXPECT_EQ(ids.out, from_bim) << f;
    EXPECT_GT(qtl, 0);
  }
  // The genotypes of QTL0001 are those of the QTYPE file, haplotype by haplotype.
  const auto q = mtype("ab/03QTYPE.out");
  const auto gt = qmtest::run_command("bcftools query -i 'ID=\"QTL0001\"' -f '[%GT\\t]\\n' ab/03geno.vcf.gz");
  ASSERT_EQ(gt.status, 0);
  const auto t = qmtest::table_of(gt.out);
  ASSERT_EQ(t.size(), 1u);
  ASSERT_EQ(t[0].size(), q.size() / 2);
  for (size_t i = 0; i < t[0].size(); ++i)
    EXPECT_EQ(t[0][i], std::to_string(q[2 * i].second[0] - 1) + "|" + std::to_string(q[2 * i + 1].second[0] - 1)) << i;
  // --fam-parents all: the parents of the BV file.
  std::istringstream bv(qmtest::read_file("ab/02BV.out"));
  std::string line;
  std::getline(bv, line);
  const auto fam = qmtest::table_of(qmtest::read_file("ab/02geno.fam"));
  for (size_t k = 0; std::getline(bv, line); ++k) {
    std::istringstream ls(line);
    std::string id, sire, dam;
    ls >> id >> sire >> dam;
    ASSERT_LT(k, fam.size());
    EXPECT_EQ(fam[k][1] + " " + fam[k][2] + " " + fam[k][3], id + " " + sire + " " + dam);
  }
}

}  // namespace
