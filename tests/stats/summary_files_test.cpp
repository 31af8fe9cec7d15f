// summary.csv of a whole run against the run's own result files: every
// column recomputed here from the MTYPE, QTYPE, QMAP and BV files, by
// straightforward loops that share nothing with the statistics code.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "output/results.hpp"
#include "support.hpp"

namespace {

struct csv_table {
  std::vector<std::string> header;
  std::vector<std::vector<std::string>> rows;
  double at(size_t r, const std::string& col) const {
    for (size_t c = 0; c < header.size(); ++c)
      if (header[c] == col) return rows[r][c] == "NA" ? std::nan("") : std::stod(rows[r][c]);
    ADD_FAILURE() << "no column " << col;
    return 0;
  }
};

csv_table read_csv(const std::string& path) {
  csv_table t;
  std::istringstream in(qmtest::read_file(path));
  std::string line;
  bool first = true;
  while (std::getline(in, line)) {
    std::vector<std::string> cells;
    std::stringstream ss(line);
    for (std::string c; std::getline(ss, c, ',');) cells.push_back(c);
    if (first) t.header = cells;
    else t.rows.push_back(cells);
    first = false;
  }
  return t;
}

// Haplotypes of a result file: rows of alleles (two rows per animal).
std::vector<std::vector<int>> haplotypes(const std::string& path) {
  std::vector<std::vector<int>> h;
  std::istringstream in(qmtest::read_file(path));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::string gen, id;
    ls >> gen >> id;
    std::vector<int> a;
    for (int x; ls >> x;) a.push_back(x);
    h.push_back(a);
  }
  return h;
}

struct bv_rows {
  std::vector<double> tbv, phe;
};
bv_rows values(const std::string& path) {
  bv_rows v;
  std::istringstream in(qmtest::read_file(path));
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::string id, sire, dam;
    int sex, bred;
    double t, p;
    ls >> id >> sire >> dam >> sex >> bred >> t >> p;
    v.tbv.push_back(t);
    v.phe.push_back(p);
  }
  return v;
}

double mean(const std::vector<double>& x) {
  double s = 0;
  for (double v : x) s += v;
  return s / static_cast<double>(x.size());
}
double var(const std::vector<double>& x) {
  const double m = mean(x);
  double s = 0;
  for (double v : x) s += (v - m) * (v - m);
  return s / static_cast<double>(x.size() - 1);
}

// Observed and expected heterozygosity, segregating loci.
struct het {
  double obs = 0, exp = 0;
  int seg = 0;
  std::vector<double> p;  // allele-1 frequency per locus
};
het heterozygosity(const std::vector<std::vector<int>>& h) {
  het r;
  const size_t nl = h[0].size(), na = h.size() / 2;
  for (size_t l = 0; l < nl; ++l) {
    int ones = 0, hets = 0;
    for (size_t i = 0; i < na; ++i) {
      ones += (h[2 * i][l] == 1) + (h[2 * i + 1][l] == 1);
      hets += h[2 * i][l] != h[2 * i + 1][l];
    }
    const double p = ones / (2.0 * na);
    r.p.push_back(p);
    r.obs += hets / static_cast<double>(na);
    r.exp += 2 * p * (1 - p);
    r.seg += ones > 0 && ones < static_cast<int>(2 * na);
  }
  r.obs /= static_cast<double>(nl);
  r.exp /= static_cast<double>(nl);
  return r;
}

TEST(SummaryFromFiles, EveryColumnMatchesTheResultFiles) {
  qmtest::tempdir td;
  qmtest::write_file("param.par", qmtest::small_par());  // one trait, 4 x 11 markers, stages 2 and 3
  const std::string cmd = std::string("'") + QM_BINARY + "' --outdir out param.par > /dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  const csv_table s = read_csv("out/summary.csv");
  ASSERT_EQ(s.rows.size(), 3u);  // stage 2 (generation 1), stage 3 (generations 2 and 3)

  // QTL: candidate locus and effect, from QMAP.out (first line: nchr nmpc nqtl).
  std::vector<double> effect;
  {
    std::istringstream in(qmtest::read_file("out/QMAP.out"));
    int nchr, nmpc, nqtl;
    in >> nchr >> nmpc >> nqtl;
    for (int q = 0; q < nqtl; ++q) {
      int locus;
      double e;
      in >> locus >> e;
      effect.push_back(e);
    }
  }
  std::vector<double> base_p;  // marker then QTL frequencies of the first generation
  for (size_t r = 0; r < s.rows.size(); ++r) {
    const int g = static_cast<int>(s.at(r, "generation"));
    const auto m = haplotypes("out/" + qm::result_name(g, "MTYPE.out"));
    const auto q = haplotypes("out/" + qm::result_name(g, "QTYPE.out"));
    const bv_rows v = values("out/" + qm::result_name(g, "BV.out"));
    const size_t n = v.tbv.size();
    EXPECT_EQ(s.at(r, "nind"), static_cast<double>(n));
    // The BV file keeps 12 decimals: means and variances agree to that.
    EXPECT_NEAR(s.at(r, "tbv_mean_1"), mean(v.tbv), 1e-9);
    EXPECT_NEAR(s.at(r, "tbv_var_1"), var(v.tbv), 1e-9);
    EXPECT_NEAR(s.at(r, "phe_mean_1"), mean(v.phe), 1e-9);
    EXPECT_NEAR(s.at(r, "phe_var_1"), var(v.phe), 1e-9);

    const het hm = heterozygosity(m), hq = heterozygosity(q);
    EXPECT_NEAR(s.at(r, "marker_het_obs"), hm.obs, 1e-12);
    EXPECT_NEAR(s.at(r, "marker_het_exp"), hm.exp, 1e-12);
    EXPECT_NEAR(s.at(r, "qtl_het_obs"), hq.obs, 1e-12);
    EXPECT_NEAR(s.at(r, "qtl_het_exp"), hq.exp, 1e-12);
    EXPECT_EQ(s.at(r, "seg_markers"), hm.seg);
    EXPECT_EQ(s.at(r, "seg_qtl"), hq.seg);

    // Genic variance: sum over QTL of 2p(1-p)a^2 (QMAP keeps 12 decimals).
    double genic = 0;
    for (size_t k = 0; k < effect.size(); ++k) genic += 2 * hq.p[k] * (1 - hq.p[k]) * effect[k] * effect[k];
    EXPECT_NEAR(s.at(r, "genic_var_1"), genic, 1e-9);

    // Genomic inbreeding against the first generation, markers and QTL pooled.
    std::vector<double> p = hm.p;
    p.insert(p.end(), hq.p.begin(), hq.p.end());
    if (r == 0) base_p = p;
    double h0 = 0;
    for (double x : base_p) h0 += 2 * x * (1 - x);
    h0 /= static_cast<double>(base_p.size());
    const double hobs = (hm.obs * static_cast<double>(hm.p.size()) + hq.obs * static_cast<double>(hq.p.size())) /
                        static_cast<double>(p.size());
    EXPECT_NEAR(s.at(r, "f_genomic"), 1 - hobs / h0, 1e-12);

    // r^2 of adjacent markers (11 per chromosome), both with MAF >= 0.05.
    const size_t nh = m.size();
    double sum = 0;
    int pairs = 0;
    for (size_t l = 0; l + 1 < m[0].size(); ++l) {
      if ((l + 1) % 11 == 0) continue;  // the next marker is on the next chromosome
      const double pa = hm.p[l], pb = hm.p[l + 1];
      if (std::min(pa, 1 - pa) < 0.05 || std::min(pb, 1 - pb) < 0.05) continue;
      int both = 0;
      for (size_t h = 0; h < nh; ++h) both += m[h][l] == 1 && m[h][l + 1] == 1;
      const double d = both / static_cast<double>(nh) - pa * pb;
      sum += d * d / (pa * (1 - pa) * pb * (1 - pb));
      ++pairs;
    }
    if (pairs > 0) EXPECT_NEAR(s.at(r, "ld_r2_adjacent"), sum / pairs, 1e-12);
    else EXPECT_TRUE(std::isnan(s.at(r, "ld_r2_adjacent")));
  }
  // The first generation with files is the pedigree base: not inbred.
  EXPECT_EQ(s.at(0, "f_pedigree"), 0.0);
  EXPECT_GE(s.at(2, "f_pedigree"), 0.0);
  EXPECT_TRUE(qmtest::file_exists("out/report.html"));
  EXPECT_TRUE(qmtest::file_exists("out/ld_decay.csv"));
}

// With --history-summary every historical generation has a row too, without
// values (NA), and the rows of the generations with files are unchanged.
TEST(SummaryFromFiles, HistoryRowsComeFirstAndLeaveTheOthersAlone) {
  qmtest::tempdir td;
  qmtest::write_file("param.par", qmtest::small_par());
  const std::string bin = std::string("'") + QM_BINARY + "'";
  ASSERT_EQ(std::system((bin + " --outdir a param.par > /dev/null").c_str()), 0);
  ASSERT_EQ(std::system((bin + " --outdir b --history-summary param.par > /dev/null").c_str()), 0);
  const csv_table a = read_csv("a/summary.csv"), b = read_csv("b/summary.csv");
  ASSERT_EQ(b.rows.size(), a.rows.size() + 31);  // stage 1 of ngen 30: 20 + 1 + 10 generations
  for (size_t r = 0; r < 31; ++r) {
    EXPECT_EQ(b.rows[r][0], "1");
    EXPECT_TRUE(std::isnan(b.at(r, "tbv_mean_1")));
    EXPECT_TRUE(std::isnan(b.at(r, "f_pedigree")));
  }
  for (size_t r = 0; r < a.rows.size(); ++r) EXPECT_EQ(b.rows[r + 31], a.rows[r]);
  EXPECT_EQ(qmtest::read_file("a/01BV.out"), qmtest::read_file("b/01BV.out"));
}

}  // namespace
