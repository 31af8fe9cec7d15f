// The PLINK fileset, read back by plink2.
#include "output/plink.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cmath>
#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "base/atomic_file.hpp"
#include "output/genotype_sample.hpp"
#include "support.hpp"

namespace {

using qmtest::population;

const char* plink2_cmd = "plink2 --memory 1000 --threads 1 --silent ";

// plink2 counts frequencies over founders only, and every animal with a
// known parent is a non-founder for it (also when the parent is not in the
// file): --nonfounders counts the whole generation.
void expect_frequencies(const population& p, const std::string& prefix) {
  const auto r = qmtest::run_command(std::string(plink2_cmd) + "--bfile " + prefix + " --nonfounders --freq --out " +
                                     prefix + "_f");
  ASSERT_EQ(r.status, 0) << qmtest::read_file(prefix + "_f.log");
  const auto t = qmtest::table_of(qmtest::read_file(prefix + "_f.afreq"));
  ASSERT_EQ(t.size(), p.variants.size() + 1);
  EXPECT_EQ(t[0], (std::vector<std::string>{"#CHROM", "ID", "REF", "ALT", "ALT_FREQS", "OBS_CT"}));
  for (size_t k = 0; k < p.variants.size(); ++k) {
    const auto& row = t[k + 1];
    ASSERT_EQ(row.size(), 6u);
    EXPECT_EQ(row[0], std::to_string(p.variants[k].chromosome));
    EXPECT_EQ(row[1], p.variants[k].name);
    EXPECT_EQ(row[2], "A");
    EXPECT_EQ(row[3], "B");
    int twos = 0;
    for (int32_t i = 0; i < p.nanimals; ++i) twos += p.dosage2(i, static_cast<int32_t>(k));
    EXPECT_NEAR(std::stod(row[4]), static_cast<double>(twos) / (2.0 * p.nanimals), 1e-5) << p.variants[k].name;
    EXPECT_EQ(row[5], std::to_string(2 * p.nanimals));
  }
}

// Identifiers, parents, sexes and phenotypes as plink2 read them, and the
// allele counts of --export A (plink2 counts REF, allele 1, there).
void expect_samples_and_dosages(const population& p, const std::string& prefix) {
  const auto r = qmtest::run_command(std::string(plink2_cmd) + "--bfile " + prefix + " --export A --out " + prefix + "_x");
  ASSERT_EQ(r.status, 0) << qmtest::read_file(prefix + "_x.log");
  const auto t = qmtest::table_of(qmtest::read_file(prefix + "_x.raw"));
  ASSERT_EQ(t.size(), static_cast<size_t>(p.nanimals) + 1);
  ASSERT_EQ(t[0].size(), 6 + p.variants.size());
  for (size_t k = 0; k < p.variants.size(); ++k) EXPECT_EQ(t[0][6 + k], p.variants[k].name + "_A");
  for (int32_t i = 0; i < p.nanimals; ++i) {
    const auto& row = t[static_cast<size_t>(i) + 1];
    const qm::animal_info& a = p.animals.animals[static_cast<size_t>(i)];
    ASSERT_EQ(row.size(), 6 + p.variants.size());
    EXPECT_EQ(row[0], "1");
    EXPECT_EQ(row[1], a.id);
    EXPECT_EQ(row[2], a.sire);
    EXPECT_EQ(row[3], a.dam);
    EXPECT_EQ(row[4], std::to_string(a.sex));
    if (std::isnan(a.phenotype))
      EXPECT_EQ(row[5], "-9") << a.id;
    else if (p.animals.threshold_trait)
      EXPECT_EQ(row[5], a.phenotype == 1.0 ? "2" : "1") << a.id;
    else
      EXPECT_NEAR(std::stod(row[5]), a.phenotype, 1e-5 * (1 + std::fabs(a.phenotype))) << a.id;
    for (size_t k = 0; k < p.variants.size(); ++k)
      ASSERT_EQ(row[6 + k], std::to_string(2 - p.dosage2(i, static_cast<int32_t>(k))))
          << "animal " << a.id << " variant " << p.variants[k].name;
  }
}

// Names in the working directory.
std::vector<std::string> listing() {
  std::vector<std::string> v;
  for (auto& row : qmtest::table_of(qmtest::run_command("ls -A").out))
    if (!row.empty()) v.push_back(row[0]);
  return v;
}

TEST(Plink, Plink2ReadsTheFilesetAsWritten) {
  ASSERT_TRUE(qmtest::have_tool("plink2"));
  qmtest::tempdir dir;
  // 37 animals: the last byte of each variant holds one animal.
  population p = qmtest::make_population(37, 3, 50, 11, 0, false, true);
  // Values with few decimals, tiny, large and negative ones among the
  // random phenotypes.
  const double special[] = {-1.5, 0.0, 2.25, 1e-7, -0.000001, 123456.789, 1e12 / 3, -0.0, 5e-324, 0.1};
  for (size_t k = 0; k < std::size(special); ++k) p.animals.animals[2 * k + 1].phenotype = special[k];
  const auto names = qm::write_plink("gen", p.view(), p.variants, p.animals, 2);
  EXPECT_EQ(names, (std::vector<std::string>{"gen.bed", "gen.bim", "gen.fam"}));
  const std::string bed = qmtest::read_file("gen.bed");
  ASSERT_EQ(bed.size(), 3 + 150u * 10);
  EXPECT_EQ(bed.substr(0, 3), std::string("\x6c\x1b\x01", 3));
  EXPECT_EQ(listing(), (std::vector<std::string>{"gen.bed", "gen.bim", "gen.fam"}));
  // Positions to six decimals; phenotypes read back to the same doubles.
  const auto bim = qmtest::table_of(qmtest::read_file("gen.bim"));
  ASSERT_EQ(bim.size(), p.variants.size());
  for (size_t k = 0; k < bim.size(); ++k) {
    const qm::variant_info& v = p.variants[k];
    EXPECT_EQ(bim[k], (std::vector<std::string>{std::to_string(v.chromosome), v.name, bim[k][2],
                                                std::to_string(v.bp), "B", "A"}));
    EXPECT_NEAR(std::strtod(bim[k][2].c_str(), nullptr), v.cm, 5.000001e-7) << bim[k][2];
    EXPECT_LE(bim[k][2].size(), bim[k][2].find('.') + 7) << bim[k][2];
  }
  EXPECT_EQ(bim[0][2], "0.05");      // 0.05
  EXPECT_EQ(bim[2][2], "0.250001");  // 0.2500008
  EXPECT_EQ(bim[50][2], "0.1");      // 0.1 (chromosome 2)
  EXPECT_EQ(bim[51][2], "0.2");      // 0.2000004
  const auto fam = qmtest::table_of(qmtest::read_file("gen.fam"));
  ASSERT_EQ(fam.size(), 37u);
  for (size_t i = 0; i < fam.size(); ++i) {
    const double ph = p.animals.animals[i].phenotype;
    if (std::isnan(ph))
      EXPECT_EQ(fam[i][5], "-9");
    else
      EXPECT_EQ(std::strtod(fam[i][5].c_str(), nullptr), ph) << fam[i][5];
  }
  for (size_t k = 0; k < std::size(special); ++k) {
    const std::string& text = fam[2 * k + 1][5];
    if (special[k] == -1.5) {
      EXPECT_EQ(text, "-1.5");
    } else if (special[k] == 123456.789) {
      EXPECT_EQ(text, "123456.789");
    } else if (special[k] == 0.1) {
      EXPECT_EQ(text, "0.1");
    }
  }
  expect_frequencies(p, "gen");
  expect_samples_and_dosages(p, "gen");
  // plink2 writes the same fam back.
  const auto r = qmtest::run_command(std::string(plink2_cmd) + "--bfile gen --make-just-fam --out back");
  ASSERT_EQ(r.status, 0);
  const auto back = qmtest::table_of(qmtest::read_file("back.fam"));
  ASSERT_EQ(back.size(), fam.size());
  for (size_t i = 0; i < fam.size(); ++i)
    for (int c = 0; c < 5; ++c) EXPECT_EQ(back[i][static_cast<size_t>(c)], fam[i][static_cast<size_t>(c)]);
}

// The .bed rows straight from the format's definition: animal i of a row in
// bits 2(i mod 4) of byte i / 4; 00 two copies of A1 (allele 2), 10 one of
// each, 11 two copies of A2 (allele 1); zero bits after the last animal.
std::vector<uint8_t> bed_rows(const population& p) {
  const size_t rowbytes = (static_cast<size_t>(p.nanimals) + 3) / 4;
  std::vector<uint8_t> r(rowbytes * p.variants.size(), 0);
  for (size_t k = 0; k < p.variants.size(); ++k)
    for (int32_t i = 0; i < p.nanimals; ++i) {
      const int d = p.dosage2(i, static_cast<int32_t>(k));
      const int code = d == 2 ? 0 : d == 1 ? 2 : 3;
      r[k * rowbytes + static_cast<size_t>(i / 4)] |= static_cast<uint8_t>(code << (2 * (i % 4)));
    }
  return r;
}

// Both kernels against the definition, for animal counts around the runs of
// 64 animals moved together and variant counts around the runs of 16 and 32
// variants and the blocks of 1024.
TEST(Plink, BedRowsFollowTheFormat) {
  for (int32_t n : {1, 3, 4, 5, 63, 64, 65, 67, 130}) {
    for (int32_t per_chr : {7, 16, 31, 33, 50, 700}) {
      for (int32_t extra : {0, 4}) {
        const population p = qmtest::make_population(n, 2, per_chr, 100 + n + per_chr, extra, false, false);
        const std::vector<uint8_t> want = bed_rows(p);
        for (bool wide : {true, false}) {
          std::vector<uint8_t> got(want.size(), 0xee);
          EXPECT_TRUE(qm::pack_bed_rows(p.view(), 0, p.view().nvariants, got.data(), wide));
          ASSERT_EQ(got, want) << n << " animals, " << 2 * per_chr << " variants, extra " << extra << ", wide "
                               << wide;
        }
        // A range that starts inside the first block.
        if (per_chr == 700) {
          const size_t rowbytes = (static_cast<size_t>(n) + 3) / 4;
          std::vector<uint8_t> part(rowbytes * 1300);
          EXPECT_TRUE(qm::pack_bed_rows(p.view(), 77, 1300, part.data()));
          EXPECT_TRUE(std::equal(part.begin(), part.end(), want.begin() + 77 * rowbytes));
        }
      }
    }
  }
  population p = qmtest::make_population(70, 1, 40, 99, 0, false, false);
  p.hap[69][39] = 3;
  std::vector<uint8_t> got(18 * 40);
  EXPECT_FALSE(qm::pack_bed_rows(p.view(), 0, 40, got.data(), true));
  EXPECT_FALSE(qm::pack_bed_rows(p.view(), 0, 40, got.data(), false));
  EXPECT_TRUE(qm::pack_bed_rows(p.view(), 0, 39, got.data(), true));
}

// 131 animals: two runs of 64 animals moved 16 bytes at a time and three
// animals in a last, partial byte.
TEST(Plink, DosagesOfALargerGeneration) {
  ASSERT_TRUE(qmtest::have_tool("plink2"));
  qmtest::tempdir dir;
  const population p = qmtest::make_population(131, 3, 50, 17, 0, false, false);
  qm::write_plink("mid", p.view(), p.variants, p.animals, 2);
  expect_samples_and_dosages(p, "mid");
  const population q = qmtest::make_population(131, 3, 100, 18, 5, false, false);
  qm::write_plink("midpick", q.view(), q.variants, q.animals, 2);
  expect_samples_and_dosages(q, "midpick");
}

TEST(Plink, ChosenLociAndAThresholdTrait) {
  ASSERT_TRUE(qmtest::have_tool("plink2"));
  qmtest::tempdir dir;
  // Every 4th locus is left out; 38 animals leave two in the last byte.
  const population p = qmtest::make_population(38, 3, 50, 12, 4, true, true);
  ASSERT_FALSE(p.pick.empty());
  qm::write_plink("thr", p.view(), p.variants, p.animals, 3);
  EXPECT_EQ(qmtest::read_file("thr.bed").size(), 3 + 150u * 10);
  expect_frequencies(p, "thr");
  expect_samples_and_dosages(p, "thr");
  // plink2 sees a case/control phenotype: cases and controls as given.
  int cases = 0, controls = 0;
  for (const auto& a : p.animals.animals)
    if (!std::isnan(a.phenotype)) (a.phenotype == 1.0 ? cases : controls)++;
  const std::string log = qmtest::read_file("thr_x.log");
  EXPECT_NE(log.find("(" + std::to_string(cases) + " cases, " + std::to_string(controls) + " controls)"),
            std::string::npos)
      << log;
}

TEST(Plink, SeveralBatchesAndAnyThreadCountGiveTheSameBytes) {
  ASSERT_TRUE(qmtest::have_tool("plink2"));
  qmtest::tempdir dir;
  // 1001 animals x 20000 variants: 5 MB of .bed, more than one write batch,
  // and a last block of 32 variants.
  const population big = qmtest::make_population(1001, 2, 10000, 13, 0, false, false);
  qm::write_plink("t1", big.view(), big.variants, big.animals, 1);
  qm::write_plink("t2", big.view(), big.variants, big.animals, 2);
  qm::write_plink("t3", big.view(), big.variants, big.animals, 3);
  for (const char* ext : {".bed", ".bim", ".fam"}) {
    EXPECT_EQ(qmtest::sha256(qmtest::read_file(std::string("t1") + ext)),
              qmtest::sha256(qmtest::read_file(std::string("t2") + ext)));
    EXPECT_EQ(qmtest::sha256(qmtest::read_file(std::string("t1") + ext)),
              qmtest::sha256(qmtest::read_file(std::string("t3") + ext)));
  }
  EXPECT_EQ(qmtest::read_file("t1.bed").size(), 3 + 20000u * 251);
  expect_frequencies(big, "t1");
  // And the small population with a choice of loci.
  const population p = qmtest::make_population(37, 3, 50, 14, 3, false, false);
  qm::write_plink("s1", p.view(), p.variants, p.animals, 1);
  qm::write_plink("s3", p.view(), p.variants, p.animals, 3);
  EXPECT_EQ(qmtest::read_file("s1.bed"), qmtest::read_file("s3.bed"));
}

TEST(Plink, FailuresNameTheFileAndLeaveNothing) {
  qmtest::tempdir dir;
  population p = qmtest::make_population(9, 1, 20, 15, 0, false, false);
  // An allele the format cannot hold.
  p.hap[5][7] = 3;
  try {
    qm::write_plink("bad", p.view(), p.variants, p.animals, 2);
    ADD_FAILURE() << "no error for allele 3";
  } catch (const qm::file_error& e) {
    EXPECT_EQ(e.file, "bad.bed");
    EXPECT_NE(std::string(e.what()).find("animal 030003 carries allele 3 at variant chr1-0008"), std::string::npos)
        << e.what();
  }
  EXPECT_TRUE(listing().empty());
  p.hap[5][7] = 1;
  // Descriptions that do not fit the view.
  population q = p;
  q.variants.pop_back();
  EXPECT_THROW(qm::write_plink("bad", q.view(), q.variants, q.animals, 1), qm::file_error);
  q = p;
  q.animals.animals[2].id = "03 0003";
  EXPECT_THROW(qm::write_plink("bad", q.view(), q.variants, q.animals, 1), qm::file_error);
  q = p;
  q.animals.threshold_trait = true;
  EXPECT_THROW(qm::write_plink("bad", q.view(), q.variants, q.animals, 1), qm::file_error);
  // Allele letters: two different letters.
  for (const auto& [ref, alt] : {std::pair{'G', 'G'}, std::pair{'A', '\t'}, std::pair{'0', 'C'}}) {
    q = p;
    q.variants[3].ref = ref;
    q.variants[3].alt = alt;
    try {
      qm::write_plink("bad", q.view(), q.variants, q.animals, 1);
      ADD_FAILURE() << "no error for alleles " << ref << " " << alt;
    } catch (const qm::file_error& e) {
      EXPECT_NE(std::string(e.what()).find("variant chr1-0004 needs two different letters as its alleles"),
                std::string::npos)
          << e.what();
    }
  }
  EXPECT_TRUE(listing().empty());
  // A folder that does not exist.
  try {
    qm::write_plink("nowhere/gen", p.view(), p.variants, p.animals, 1);
    ADD_FAILURE() << "no error for a missing folder";
  } catch (const qm::file_error& e) {
    EXPECT_EQ(e.file, "nowhere/gen.bed");
    EXPECT_NE(std::string(e.what()).find("nowhere/gen.bed cannot be created"), std::string::npos) << e.what();
  }
  // A write that fails on the way: a file size limit below the .bed size.
  const population big = qmtest::make_population(400, 1, 30000, 16, 0, false, false);
  rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  rlimit small = old;
  small.rlim_cur = 1 << 20;
  auto* previous = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string what;
  try {
    qm::write_plink("full", big.view(), big.variants, big.animals, 2);
  } catch (const qm::file_error& e) {
    what = e.what();
  }
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, previous);
  EXPECT_NE(what.find("full.bed cannot be written (File too large)"), std::string::npos) << what;
  EXPECT_TRUE(listing().empty());
}

// Letters of the variants in the .bim, and parents outside the fileset as
// unknown: plink2 reads the letters as REF and ALT, and without
// --nonfounders counts exactly the animals whose parents are both outside.
TEST(Plink, AlleleLettersAndParentsOutsideTheFileset) {
  ASSERT_TRUE(qmtest::have_tool("plink2"));
  qmtest::tempdir dir;
  population p = qmtest::make_population(30, 2, 12, 21, 0, false, false);
  const char letters[][2] = {{'A', 'G'}, {'C', 'T'}, {'T', 'A'}, {'G', 'C'}};
  for (size_t k = 0; k < p.variants.size(); ++k) {
    p.variants[k].ref = letters[k % 4][0];
    p.variants[k].alt = letters[k % 4][1];
  }
  // Animals 10..19 are offspring of animals 0 and 1 of the list (sire, dam
  // or both); the others' parents are in another generation.
  for (size_t i = 10; i < 20; ++i) {
    if (i % 3 != 2) p.animals.animals[i].sire = p.animals.animals[0].id;
    if (i % 3 != 1) p.animals.animals[i].dam = p.animals.animals[1].id;
  }
  qm::animal_list before = p.animals;
  qm::unknown_parents_outside(p.animals);
  std::vector<char> founder(30);
  for (size_t i = 0; i < 30; ++i) {
    const qm::animal_info &a = p.animals.animals[i], &b = before.animals[i];
    EXPECT_EQ(a.sire, b.sire == p.animals.animals[0].id ? b.sire : "0") << i;
    EXPECT_EQ(a.dam, b.dam == p.animals.animals[1].id ? b.dam : "0") << i;
    founder[i] = a.sire == "0" && a.dam == "0";
  }
  EXPECT_EQ(std::count(founder.begin(), founder.end(), 1), 20);
  qm::write_plink("gen", p.view(), p.variants, p.animals, 1);
  const auto r = qmtest::run_command(std::string(plink2_cmd) + "--bfile gen --freq --out f");
  ASSERT_EQ(r.status, 0) << qmtest::read_file("f.log");
  const auto t = qmtest::table_of(qmtest::read_file("f.afreq"));
  ASSERT_EQ(t.size(), p.variants.size() + 1);
  for (size_t k = 0; k < p.variants.size(); ++k) {
    EXPECT_EQ(t[k + 1][2], std::string(1, p.variants[k].ref));
    EXPECT_EQ(t[k + 1][3], std::string(1, p.variants[k].alt));
    int twos = 0;
    for (int32_t i = 0; i < 30; ++i)
      if (founder[static_cast<size_t>(i)]) twos += p.dosage2(i, static_cast<int32_t>(k));
    EXPECT_NEAR(std::stod(t[k + 1][4]), twos / 40.0, 1e-5) << p.variants[k].name;
    EXPECT_EQ(t[k + 1][5], "40");
  }
}

}  // namespace
