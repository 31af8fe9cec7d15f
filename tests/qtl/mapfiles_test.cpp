#include "qtl/mapfiles.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "support.hpp"

namespace {

std::vector<std::string> lines_of(const std::string& path) {
  std::istringstream in(qmtest::read_file(path));
  std::vector<std::string> v;
  for (std::string l; std::getline(in, l);) v.push_back(l);
  return v;
}

struct genome {
  qm::run_parameters p;
  qm::trait_architecture a;
  genome(int nchr, int nmpc, int ntrait, int tqtl) {
    p.nchr = nchr;
    p.nmpc = nmpc;
    p.ntrait = a.ntrait = ntrait;
    p.nqtl = tqtl;
    a.qtl_locus.resize(tqtl);
    a.effects.assign(static_cast<size_t>(tqtl) * ntrait, 0.0);
    for (int q = 1; q <= tqtl; ++q) {
      a.qtl_locus[q - 1] = (q * 7) % (nchr * (nmpc - 1)) + 1;  // not sorted by position
      for (int t = 1; t <= ntrait; ++t) a.effect(q, t) = (q % 2 ? -0.125 : 0.75) * q / t;
    }
  }
  void write() { qm::write_map_files(qm::output_folder{}, p, a); }
};

std::string qtl_line(int id, std::initializer_list<double> effects) {
  char b[32];
  std::snprintf(b, sizeof b, "%6d", id);
  std::string s = b;
  for (double e : effects) {
    std::snprintf(b, sizeof b, "%18.12f", e);
    s += b;
  }
  return s;
}

}  // namespace

TEST(MapfilesTest, OneTrait) {
  qmtest::tempdir td;
  genome g(3, 10, 1, 20);
  g.a.effect(4, 1) = 123456.0;  // too wide for 18 characters with 12 decimals
  g.write();
  const auto qmap = lines_of("QMAP.out");
  ASSERT_EQ(qmap.size(), 21u);
  EXPECT_EQ(qmap[0], "     3    10    20");
  EXPECT_EQ(qmap[1], qtl_line(8, {-0.125}));
  EXPECT_EQ(qmap[2], qtl_line(15, {1.5}));
  EXPECT_EQ(qmap[4], "     2" + std::string(18, '*'));
  const auto mmap = lines_of("MMAP.out");
  ASSERT_EQ(mmap.size(), 30u);
  EXPECT_EQ(mmap[0], "chr1-0001 " "    1");
  EXPECT_EQ(mmap[10], "chr2-0001 " "   11");
  EXPECT_EQ(mmap[29], "chr3-0010 " "   30");
}

TEST(MapfilesTest, TwoTraitCounts) {
  qmtest::tempdir td;
  genome g(2, 5, 2, 20);
  g.p.uncommon_QTL = 1;
  g.a.ncommon = 16;
  g.a.nspec1 = 2;
  g.a.nspec2 = 2;
  g.write();
  auto qmap = lines_of("QMAP.out");
  ASSERT_EQ(qmap.size(), 22u);
  const std::string b10(10, ' '), b11(11, ' ');
  EXPECT_EQ(qmap[1], " ratio of QTL:" + b10 + "16/" + b11 + "2 " + b11 + "2");
  EXPECT_EQ(qmap[2], qtl_line(8, {-0.125, -0.0625}));

  g.p.uncommon_QTL = 0;  // every QTL affects both traits: no counts line
  g.write();
  qmap = lines_of("QMAP.out");
  ASSERT_EQ(qmap.size(), 21u);
  EXPECT_EQ(qmap[1], qtl_line(8, {-0.125, -0.0625}));
}

TEST(MapfilesTest, LargeGenomeNamesKeepTheirDigits) {
  qmtest::tempdir td;
  genome g(10, 10000, 1, 1);
  g.write();
  const std::string text = qmtest::read_file("MMAP.out");
  EXPECT_EQ(text.find('*'), std::string::npos);
  const auto mmap = lines_of("MMAP.out");
  ASSERT_EQ(mmap.size(), 100000u);
  EXPECT_EQ(mmap[9998], "chr1-9999 " " 9999");
  EXPECT_EQ(mmap[9999], "chr1-10000 10000");
  EXPECT_EQ(mmap[90000], "chr10-0001 90001");
  EXPECT_EQ(mmap[99999], "chr10-10000 100000");
}

// With dominance each QTL line gives the additive effects of the traits,
// then their dominance effects, in the same format.
TEST(MapfilesTest, DominanceEffectsFollowTheAdditiveOnes) {
  qmtest::tempdir td;
  genome g(2, 5, 2, 6);
  g.a.dominance.assign(12, 0.0);
  for (int q = 1; q <= 6; ++q) {
    g.a.dominance[q - 1] = 0.5 * q;           // trait 1
    g.a.dominance[6 + q - 1] = -0.03125 * q;  // trait 2
  }
  g.write();
  const auto qmap = lines_of("QMAP.out");
  ASSERT_EQ(qmap.size(), 7u);
  EXPECT_EQ(qmap[0], "     2     5     6");
  EXPECT_EQ(qmap[1], qtl_line(8, {-0.125, -0.0625, 0.5, -0.03125}));
  EXPECT_EQ(qmap[6], qtl_line(3, {4.5, 2.25, 3.0, -0.1875}));
}
