#include "output/results.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "support.hpp"

namespace {

// 12 animals, 3 markers, 4 candidate loci of which 3 and 1 are QTL (in that
// order). Sires 1, 5, 11 and dams 2, 4, 6 were chosen as parents.
struct generation {
  qm::run_parameters p;
  qm::population pop;
  qm::trait_architecture a;
  explicit generation(int ntrait) {
    p.ntrait = a.ntrait = ntrait;
    pop.nind = 12;
    pop.markers.resize(3, 24);
    pop.candidates.resize(4, 24);
    for (int h = 1; h <= 24; ++h) {
      for (int l = 1; l <= 3; ++l) pop.markers.at(l - 1, h - 1) = static_cast<int8_t>(1 + (l + h) % 2);
      for (int l = 1; l <= 4; ++l) pop.candidates.at(l - 1, h - 1) = static_cast<int8_t>(1 + (l * h) % 3 % 2);
    }
    a.qtl_locus = {3, 1};
    a.effects.assign(2 * static_cast<size_t>(ntrait), 0.0);
    for (int i = 1; i <= 12; ++i) pop.parents.push_back({2 * (i % 3) + 1, 2 * (i % 5) + 2});
    pop.dams = {2, 4, 6};
    pop.sires = {1, 5, 11};
    pop.tbv.assign(12 * static_cast<size_t>(ntrait), 0.0);
    pop.phenotype.assign(12 * static_cast<size_t>(ntrait), 0.0);
    for (int i = 1; i <= 12; ++i)
      for (int t = 1; t <= ntrait; ++t) {
        pop.tbv_of(i, t) = 0.375 * i - t;
        pop.phenotype_of(i, t) = -1.0 / (i + t);
      }
  }
  void write(int64_t g) { qm::write_generation_files(qm::output_folder{}, p, pop, a, g); }
};

std::vector<std::string> lines_of(const std::string& path) {
  std::istringstream in(qmtest::read_file(path));
  std::vector<std::string> v;
  for (std::string l; std::getline(in, l);) v.push_back(l);
  return v;
}

std::string f18(double v) {
  char b[40];
  std::snprintf(b, sizeof b, "%18.12f", v);
  return b;
}

// Loci and haplotype 1-based.
std::string alleles(const qm::haplotype_matrix& a, std::vector<int> loci, int h) {
  std::string s;
  for (int l : loci) s += " " + std::to_string(a.at(l - 1, h - 1));
  return s;
}

}  // namespace

TEST(ResultsTest, FileNames) {
  EXPECT_EQ(qm::result_name(0, "MTYPE.out"), "00MTYPE.out");
  EXPECT_EQ(qm::result_name(5, "QTYPE.out"), "05QTYPE.out");
  EXPECT_EQ(qm::result_name(42, "BV.out"), "42BV.out");
  EXPECT_EQ(qm::result_name(100, "BV.out"), "100BV.out");
}

TEST(ResultsTest, GenerationFive) {
  qmtest::tempdir td;
  generation f(1);
  f.pop.tbv_of(1, 1) = 123456.0;  // too wide for 18 characters with 12 decimals
  f.write(5);
  const auto bv = lines_of("05BV.out");
  ASSERT_EQ(bv.size(), 13u);
  EXPECT_EQ(bv[0], "     ID   Sire    Dam  Sex Bred       TBV       Phe");
  EXPECT_EQ(bv[0].size(), 51u);
  // Animal 12: sire 2 * (12 % 3) + 1 = 1, dam 2 * (12 % 5) + 2 = 6.
  EXPECT_EQ(bv[12], "  050012  040001  040006  2  0  " + f18(0.375 * 12 - 1) + "  " + f18(-1.0 / 13));
  EXPECT_EQ(bv[1], "  050001  040003  040004  1  1  " + std::string(18, '*') + "  " + f18(-0.5));
  for (int i = 1; i <= 12; ++i) {
    const bool bred = i == 1 || i == 5 || i == 11 || i == 2 || i == 4 || i == 6;
    EXPECT_EQ(bv[i].substr(24, 6), std::string(i % 2 ? "  1" : "  2") + (bred ? "  1" : "  0")) << i;
  }

  const auto mt = lines_of("05MTYPE.out");
  const auto qt = lines_of("05QTYPE.out");
  ASSERT_EQ(mt.size(), 24u);
  ASSERT_EQ(qt.size(), 24u);
  for (int h = 1; h <= 24; ++h) {
    char id[32];
    std::snprintf(id, sizeof id, "  000005  05%04d", (h + 1) / 2);
    EXPECT_EQ(mt[h - 1], id + alleles(f.pop.markers, {1, 2, 3}, h)) << h;
    EXPECT_EQ(qt[h - 1], id + alleles(f.pop.candidates, {3, 1}, h)) << h;
  }
  EXPECT_EQ(mt[22], "  000005  050012 1 2 1");
}

TEST(ResultsTest, GenerationsZeroAndHundred) {
  qmtest::tempdir td;
  generation f(2);
  f.write(0);
  auto bv = lines_of("00BV.out");
  ASSERT_EQ(bv.size(), 13u);
  EXPECT_EQ(bv[0], "     ID   Sire    Dam  Sex Bred     TBV01     Phe01     TBV02     Phe02");
  EXPECT_EQ(bv[12], "  000012  000000  000000  2  0  " + f18(3.5) + "  " + f18(-1.0 / 13) + "  " + f18(2.5) + "  " +
                        f18(-1.0 / 14));
  EXPECT_EQ(lines_of("00MTYPE.out")[23].substr(0, 16), "  000000  000012");
  EXPECT_EQ(lines_of("00QTYPE.out").size(), 24u);

  f.write(100);
  bv = lines_of("100BV.out");
  ASSERT_EQ(bv.size(), 13u);
  EXPECT_EQ(bv[12].substr(0, 31), "  1000012  990001  990006  2  0");
  EXPECT_EQ(lines_of("100MTYPE.out")[23], "  000100  1000012 2 1 2");
  EXPECT_EQ(lines_of("100QTYPE.out")[0].substr(0, 17), "  000100  1000001");
}

TEST(ResultsTest, SameBytesOnAnyThreadCountAndLargeIdentifiers) {
  qmtest::tempdir td;
  generation f(1);
  f.write(7);
  const std::string one = qmtest::read_file("07MTYPE.out") + qmtest::read_file("07QTYPE.out") + qmtest::read_file("07BV.out");
  f.p.threads = 3;
  f.write(7);
  EXPECT_EQ(qmtest::read_file("07MTYPE.out") + qmtest::read_file("07QTYPE.out") + qmtest::read_file("07BV.out"), one);
  for (const char* n : {"07MTYPE.out.tmp", "07QTYPE.out.tmp", "07BV.out.tmp"})
    EXPECT_FALSE(qmtest::file_exists(n)) << n;
  // The identifier multiplier of a run with larger generations: g * 100000 + i.
  f.p.idmult = 100000;
  f.write(7);
  EXPECT_EQ(lines_of("07BV.out")[12].substr(0, 30), "  700012  600001  600006  2  0");
}

// With dominance a GV column follows each trait's TBV and Phe; with lines
// the line's name ends every line, right-aligned in the widest name.
TEST(ResultsTest, GenotypicValuesAndLines) {
  qmtest::tempdir td;
  generation f(2);
  f.p.dominance = {{0.2, 0.1}, {0.0, 0.3}};
  f.pop.genotypic.assign(24, 0.0);
  for (int i = 1; i <= 12; ++i)
    for (int t = 1; t <= 2; ++t) f.pop.genotypic[(t - 1) * 12 + i - 1] = 0.25 * i + t;
  f.write(3);
  auto bv = lines_of("03BV.out");
  ASSERT_EQ(bv.size(), 13u);
  EXPECT_EQ(bv[0], "     ID   Sire    Dam  Sex Bred     TBV01     Phe01      GV01     TBV02     Phe02      GV02");
  EXPECT_EQ(bv[7], "  030007  020003  020006  1  0  " + f18(0.375 * 7 - 1) + "  " + f18(-1.0 / 8) + "  " + f18(0.25 * 7 + 1) +
                       "  " + f18(0.375 * 7 - 2) + "  " + f18(-1.0 / 9) + "  " + f18(0.25 * 7 + 2));

  f.p.lines.resize(2);
  f.p.lines[0].name = "A";
  f.p.lines[1].name = "Duroc";
  f.pop.lines.resize(2);
  f.pop.lines[0] = {1, 1, 4};  // animals 1..4: Duroc, the second line of the parameters
  f.pop.lines[1] = {0, 5, 8};  // animals 5..12: A
  f.write(3);
  bv = lines_of("03BV.out");
  ASSERT_EQ(bv.size(), 13u);
  EXPECT_EQ(bv[0].substr(bv[0].size() - 7), "   Line");
  for (int i = 1; i <= 12; ++i) EXPECT_EQ(bv[i].substr(bv[i].size() - 7), i <= 4 ? "  Duroc" : "      A") << i;
  for (int i = 1; i <= 12; ++i) EXPECT_EQ(bv[i].size(), 30u + 6 * 20 + 7) << i;

  // Neither key: the classic columns only.
  f.p.dominance.clear();
  f.p.lines.clear();
  f.pop.lines.clear();
  f.write(3);
  EXPECT_EQ(lines_of("03BV.out")[0], "     ID   Sire    Dam  Sex Bred     TBV01     Phe01     TBV02     Phe02");
}
