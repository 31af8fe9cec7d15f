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
void generation(qm::popstate& p, int ntrait) {
  p.nind = 12;
  p.nhap = 24;
  p.nmark = 3;
  p.nqloc = 4;
  p.ntrait = ntrait;
  p.mtype.alloc(3, 24);
  p.qtype.alloc(4, 24);
  for (int h = 1; h <= 24; ++h) {
    for (int l = 1; l <= 3; ++l) p.mtype(l, h) = static_cast<int8_t>(1 + (l + h) % 2);
    for (int l = 1; l <= 4; ++l) p.qtype(l, h) = static_cast<int8_t>(1 + (l * h) % 3 % 2);
  }
  p.tqtl = 2;
  p.qtlid.alloc(2);
  p.qtlid(1) = 3;
  p.qtlid(2) = 1;
  p.ped.alloc(3, 12);
  for (int i = 1; i <= 12; ++i) {
    p.ped(1, i) = i;
    p.ped(2, i) = 2 * (i % 3) + 1;
    p.ped(3, i) = 2 * (i % 5) + 2;
  }
  p.sireid.alloc(3);
  p.damid.alloc(3);
  for (int k = 1; k <= 3; ++k) p.damid(k) = 2 * k;
  p.sireid(1) = 1;
  p.sireid(2) = 5;
  p.sireid(3) = 11;
  p.bv.alloc(12, 2, ntrait);
  for (int i = 1; i <= 12; ++i)
    for (int t = 1; t <= ntrait; ++t) {
      p.bv(i, 1, t) = 0.375 * i - t;
      p.bv(i, 2, t) = -1.0 / (i + t);
    }
}

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

std::string alleles(const qm::arr2<int8_t>& a, std::vector<int> loci, int h) {
  std::string s;
  for (int l : loci) s += " " + std::to_string(a(l, h));
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
  qm::popstate p;
  generation(p, 1);
  p.bv(1, 1, 1) = 123456.0;  // too wide for 18 characters with 12 decimals
  qm::write_generation_files(p, 5);
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
    EXPECT_EQ(mt[h - 1], id + alleles(p.mtype, {1, 2, 3}, h)) << h;
    EXPECT_EQ(qt[h - 1], id + alleles(p.qtype, {3, 1}, h)) << h;
  }
  EXPECT_EQ(mt[22], "  000005  050012 1 2 1");
}

TEST(ResultsTest, GenerationsZeroAndHundred) {
  qmtest::tempdir td;
  qm::popstate p;
  generation(p, 2);
  qm::write_generation_files(p, 0);
  auto bv = lines_of("00BV.out");
  ASSERT_EQ(bv.size(), 13u);
  EXPECT_EQ(bv[0], "     ID   Sire    Dam  Sex Bred     TBV01     Phe01     TBV02     Phe02");
  EXPECT_EQ(bv[12], "  000012  000000  000000  2  0  " + f18(3.5) + "  " + f18(-1.0 / 13) + "  " + f18(2.5) + "  " +
                        f18(-1.0 / 14));
  EXPECT_EQ(lines_of("00MTYPE.out")[23].substr(0, 16), "  000000  000012");
  EXPECT_EQ(lines_of("00QTYPE.out").size(), 24u);

  qm::write_generation_files(p, 100);
  bv = lines_of("100BV.out");
  ASSERT_EQ(bv.size(), 13u);
  EXPECT_EQ(bv[12].substr(0, 31), "  1000012  990001  990006  2  0");
  EXPECT_EQ(lines_of("100MTYPE.out")[23], "  000100  1000012 2 1 2");
  EXPECT_EQ(lines_of("100QTYPE.out")[0].substr(0, 17), "  000100  1000001");
}
