// The phased VCF file, read back by bcftools (and plink2 for the frequencies).
#include "output/vcf.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cmath>
#include <string>
#include <vector>

#include "base/atomic_file.hpp"
#include "output/genotype_sample.hpp"
#include "output/plink.hpp"
#include "support.hpp"

namespace {

using qmtest::population;

qm::vcf_header_info header_of(const population& p) {
  qm::vcf_header_info h;
  h.version = "1.0.0";
  h.parameter_file = "runs/my run.par";
  h.seed = 20261207;
  h.contig_length = p.contig_length;
  return h;
}

std::vector<std::string> listing() {
  std::vector<std::string> v;
  for (auto& row : qmtest::table_of(qmtest::run_command("ls -A").out))
    if (!row.empty()) v.push_back(row[0]);
  return v;
}

// Every record as bcftools reads it: position, name, alleles and the phased
// genotypes of every animal, the sire's haplotype first.
void expect_records(const population& p, const std::string& file) {
  const auto r =
      qmtest::run_command("bcftools query -f '%CHROM\\t%POS\\t%ID\\t%REF\\t%ALT\\t%QUAL[\\t%GT]\\n' " + file);
  ASSERT_EQ(r.status, 0);
  const auto t = qmtest::table_of(r.out);
  ASSERT_EQ(t.size(), p.variants.size());
  for (size_t k = 0; k < t.size(); ++k) {
    const qm::variant_info& v = p.variants[k];
    ASSERT_EQ(t[k].size(), 6 + static_cast<size_t>(p.nanimals));
    EXPECT_EQ(t[k][0], std::to_string(v.chromosome));
    EXPECT_EQ(t[k][1], std::to_string(v.bp));
    EXPECT_EQ(t[k][2], v.name);
    EXPECT_EQ(t[k][3], "A");
    EXPECT_EQ(t[k][4], "B");
    EXPECT_EQ(t[k][5], ".");
    for (int32_t i = 0; i < p.nanimals; ++i) {
      const std::string gt = std::to_string(p.allele(i, 0, static_cast<int32_t>(k)) - 1) + "|" +
                             std::to_string(p.allele(i, 1, static_cast<int32_t>(k)) - 1);
      ASSERT_EQ(t[k][6 + static_cast<size_t>(i)], gt) << v.name << " animal " << i;
    }
  }
}

TEST(Vcf, BcftoolsReadsThePhasedGenotypes) {
  ASSERT_TRUE(qmtest::have_tool("bcftools"));
  ASSERT_TRUE(qmtest::have_tool("bgzip"));
  qmtest::tempdir dir;
  const population p = qmtest::make_population(37, 3, 50, 21, 0, false, false);
  const auto names = qm::write_vcf("gen", p.view(), p.variants, p.animals, header_of(p), 2);
  EXPECT_EQ(names, (std::vector<std::string>{"gen.vcf.gz", "gen.vcf.gz.csi"}));
  EXPECT_EQ(listing(), names);
  // A valid BGZF file.
  EXPECT_EQ(qmtest::run_command("bgzip -t gen.vcf.gz").status, 0);
  EXPECT_EQ(qmtest::run_command("bcftools view -H gen.vcf.gz | wc -l").out, "150\n");
  // Header lines.
  const std::string head = qmtest::run_command("bcftools view -h gen.vcf.gz").out;
  for (const char* line :
       {"##fileformat=VCFv4.2\n", "##source=quillmere 1.0.0\n", "##quillmereParameterFile=runs/my run.par\n",
        "##quillmereSeed=20261207\n", "##contig=<ID=1,length=50500>\n", "##contig=<ID=3,length=50500>\n",
        "##FORMAT=<ID=GT,Number=1,Type=String,"})
    EXPECT_NE(head.find(line), std::string::npos) << line << " missing in\n" << head;
  EXPECT_EQ(head.find("##FILTER"), head.rfind("##FILTER"));
  // Samples in order.
  const auto samples = qmtest::table_of(qmtest::run_command("bcftools query -l gen.vcf.gz").out);
  ASSERT_EQ(samples.size(), 37u);
  for (size_t i = 0; i < samples.size(); ++i) EXPECT_EQ(samples[i][0], p.animals.animals[i].id);
  expect_records(p, "gen.vcf.gz");
}

TEST(Vcf, TheIndexAnswersRegionQueries) {
  ASSERT_TRUE(qmtest::have_tool("bcftools"));
  qmtest::tempdir dir;
  const population p = qmtest::make_population(21, 3, 50, 22, 0, false, false);
  qm::write_vcf("gen", p.view(), p.variants, p.animals, header_of(p), 1);
  // Records per contig from the index alone.
  const auto stats = qmtest::run_command("bcftools index --stats gen.vcf.gz 2>&1");
  ASSERT_EQ(stats.status, 0) << stats.out;
  EXPECT_EQ(qmtest::table_of(stats.out), (std::vector<std::vector<std::string>>{
                                             {"1", "50500", "50"}, {"2", "50500", "50"}, {"3", "50500", "50"}}));
  // Chromosome 2 up to 20000 bp: positions 1, 1001, ..., 20001 less the
  // one that repeats 9001; and a window in the middle of chromosome 3.
  const auto r = qmtest::run_command("bcftools view -H -r 2:1-20000 gen.vcf.gz 2>&1 | cut -f 1-3");
  ASSERT_EQ(r.status, 0);
  const auto t = qmtest::table_of(r.out);
  ASSERT_EQ(t.size(), 20u) << r.out;
  EXPECT_EQ(t.front(), (std::vector<std::string>{"2", "1", "chr2-0001"}));
  EXPECT_EQ(t[9], (std::vector<std::string>{"2", "9001", "chr2-0010"}));
  EXPECT_EQ(t[10], (std::vector<std::string>{"2", "9001", "chr2-0011"}));
  EXPECT_EQ(t.back(), (std::vector<std::string>{"2", "19001", "chr2-0020"}));
  const auto w = qmtest::table_of(qmtest::run_command("bcftools view -H -r 3:30000-33001 gen.vcf.gz | cut -f 3").out);
  EXPECT_EQ(w, (std::vector<std::vector<std::string>>{{"chr3-0031"}, {"chr3-0032"}, {"chr3-0033"}, {"chr3-0034"}}));
  // The same index as bcftools makes.
  ASSERT_EQ(qmtest::run_command("bcftools index -c -o ref.csi gen.vcf.gz").status, 0);
  EXPECT_TRUE(qmtest::read_file("ref.csi") == qmtest::read_file("gen.vcf.gz.csi"));
  // No stale-index warning: the index is not older than the data.
  EXPECT_EQ(qmtest::run_command("bcftools view -H -r 1:1-1 gen.vcf.gz 2>&1 >/dev/null").out, "");
}

TEST(Vcf, ChosenLociAgreeWithThePlinkFileset) {
  ASSERT_TRUE(qmtest::have_tool("bcftools"));
  ASSERT_TRUE(qmtest::have_tool("plink2"));
  qmtest::tempdir dir;
  const population p = qmtest::make_population(38, 3, 50, 23, 4, true, false);
  qm::write_vcf("gen", p.view(), p.variants, p.animals, header_of(p), 3);
  qm::write_plink("gen", p.view(), p.variants, p.animals, 3);
  expect_records(p, "gen.vcf.gz");
  // plink2 reads REF, ALT and the frequency of ALT the same from both files.
  const char* cmd = "plink2 --memory 1000 --threads 1 --silent --nonfounders --freq ";
  ASSERT_EQ(qmtest::run_command(std::string(cmd) + "--vcf gen.vcf.gz --out v").status, 0);
  ASSERT_EQ(qmtest::run_command(std::string(cmd) + "--bfile gen --out b").status, 0);
  const std::string v = qmtest::read_file("v.afreq"), b = qmtest::read_file("b.afreq");
  EXPECT_EQ(qmtest::table_of(v).size(), 151u);
  EXPECT_EQ(v, b);
}

TEST(Vcf, AnyThreadCountGivesTheSameBytes) {
  qmtest::tempdir dir;
  // Enough records for several BGZF blocks.
  const population p = qmtest::make_population(301, 2, 1500, 24, 5, false, false);
  for (int t = 1; t <= 3; ++t) {
    const std::string prefix = "t" + std::to_string(t);
    qm::write_vcf(prefix, p.view(), p.variants, p.animals, header_of(p), t);
  }
  const std::string one = qmtest::read_file("t1.vcf.gz"), one_index = qmtest::read_file("t1.vcf.gz.csi");
  EXPECT_GT(one.size(), size_t{3} << 16);
  for (const char* t : {"t2", "t3"}) {
    EXPECT_TRUE(qmtest::read_file(std::string(t) + ".vcf.gz") == one) << t;
    EXPECT_TRUE(qmtest::read_file(std::string(t) + ".vcf.gz.csi") == one_index) << t;
  }
}

TEST(Vcf, PositionsAndAllelesItCannotWrite) {
  qmtest::tempdir dir;
  const population good = qmtest::make_population(7, 2, 20, 25, 0, false, false);
  auto expect_refused = [](const population& p, const std::string& text) {
    try {
      qm::write_vcf("bad", p.view(), p.variants, p.animals, header_of(p), 2);
      ADD_FAILURE() << "no error; expected " << text;
    } catch (const qm::file_error& e) {
      EXPECT_EQ(e.file, "bad.vcf.gz");
      EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
    }
  };
  population p = good;
  p.variants[4].bp = 2500;
  expect_refused(p, "variant chr1-0005 at 2500 bp follows a variant at 3001 bp on chromosome 1");
  p = good;
  p.variants[0].bp = 0;
  expect_refused(p, "variant chr1-0001 is at 0 bp, outside 1..20500");
  p = good;
  p.variants[19].bp = 20501;
  expect_refused(p, "outside 1..20500");
  p = good;
  std::swap(p.variants[5], p.variants[25]);
  expect_refused(p, "the variants of chromosome 1 do not come together");
  p = good;
  p.contig_length.pop_back();
  expect_refused(p, "variant chr2-0001 is on chromosome 2 but 1 chromosome lengths were given");
  p = good;
  p.animals.animals[3].id = p.animals.animals[2].id;
  expect_refused(p, "the animal identifier 030003 is not unique");
  p = good;
  p.hap[13][17] = 0;
  expect_refused(p, "animal 030007 carries allele 0 at variant chr1-0018");
  EXPECT_TRUE(listing().empty());
  try {
    qm::write_vcf("nowhere/gen", good.view(), good.variants, good.animals, header_of(good), 1);
    ADD_FAILURE() << "no error for a missing folder";
  } catch (const qm::file_error& e) {
    EXPECT_NE(std::string(e.what()).find("nowhere/gen.vcf.gz cannot be created"), std::string::npos) << e.what();
  }
}

// A file size limit below the size of the file: the failed write (in a
// compression thread or in the main one) reaches the caller.
TEST(Vcf, AFailedWriteLeavesNothing) {
  qmtest::tempdir dir;
  const population p = qmtest::make_population(500, 2, 2000, 26, 0, false, false);
  for (int threads : {1, 2}) {
    rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 1 << 18;
    auto* previous = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string file;
    try {
      qm::write_vcf("full", p.view(), p.variants, p.animals, header_of(p), threads);
    } catch (const qm::file_error& e) {
      file = e.file;
    }
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, previous);
    EXPECT_EQ(file, "full.vcf.gz") << threads << " threads";
    EXPECT_TRUE(listing().empty()) << threads << " threads";
  }
}

}  // namespace
