// summary.csv of a whole run against the run's own result files: every
// column recomputed here from the MTYPE, QTYPE, QMAP and BV files, by
// straightforward loops that share nothing with the statistics code.
#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
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

// One generation of a BV file: per animal its sire and dam identifiers,
// sex, whether it was selected, and per trait its TBV and phenotype.
struct bv_generation {
  std::vector<std::string> id, sire, dam;
  std::vector<int> sex, bred;
  std::vector<std::vector<double>> tbv, phe;  // per trait, per animal
};
bv_generation bv_file(const std::string& path, int ntrait) {
  bv_generation g;
  g.tbv.resize(static_cast<size_t>(ntrait));
  g.phe.resize(static_cast<size_t>(ntrait));
  std::istringstream in(qmtest::read_file(path));
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::string id, sire, dam;
    int sex, bred;
    ls >> id >> sire >> dam >> sex >> bred;
    g.id.push_back(id);
    g.sire.push_back(sire);
    g.dam.push_back(dam);
    g.sex.push_back(sex);
    g.bred.push_back(bred);
    for (int t = 0; t < ntrait; ++t) {
      double a, p;
      ls >> a >> p;
      g.tbv[static_cast<size_t>(t)].push_back(a);
      g.phe[static_cast<size_t>(t)].push_back(p);
    }
  }
  return g;
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

// Genomic inbreeding of a generation against the first one (base_p, set
// from the first call), markers and QTL pooled: 1 - observed / base
// expected heterozygosity.
double genomic_inbreeding(const het& hm, const het& hq, std::vector<double>& base_p) {
  std::vector<double> p = hm.p;
  p.insert(p.end(), hq.p.begin(), hq.p.end());
  if (base_p.empty()) base_p = p;
  double h0 = 0;
  for (double x : base_p) h0 += 2 * x * (1 - x);
  h0 /= static_cast<double>(base_p.size());
  const double hobs = (hm.obs * static_cast<double>(hm.p.size()) + hq.obs * static_cast<double>(hq.p.size())) /
                      static_cast<double>(p.size());
  return 1 - hobs / h0;
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
    const bv_generation bv = bv_file("out/" + qm::result_name(g, "BV.out"), 1);
    const std::vector<double>& tbv = bv.tbv[0];
    const std::vector<double>& phe = bv.phe[0];
    const size_t n = tbv.size();
    EXPECT_EQ(s.at(r, "nind"), static_cast<double>(n));
    // The BV file keeps 12 decimals: means and variances agree to that.
    EXPECT_NEAR(s.at(r, "tbv_mean_1"), mean(tbv), 1e-9);
    EXPECT_NEAR(s.at(r, "tbv_var_1"), var(tbv), 1e-9);
    EXPECT_NEAR(s.at(r, "phe_mean_1"), mean(phe), 1e-9);
    EXPECT_NEAR(s.at(r, "phe_var_1"), var(phe), 1e-9);

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
    EXPECT_NEAR(s.at(r, "f_genomic"), genomic_inbreeding(hm, hq, base_p), 1e-12);

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

// ---- The results of the scheme, recomputed from the result files.

std::vector<double> ebv_file(const std::string& path) {
  std::vector<double> e;
  std::istringstream in(qmtest::read_file(path));
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::string id;
    double x;
    ls >> id >> x;
    e.push_back(x);
  }
  return e;
}

double sd(const std::vector<double>& x) { return std::sqrt(var(x)); }
double cor(const std::vector<double>& x, const std::vector<double>& y) {
  const double mx = mean(x), my = mean(y);
  double xy = 0, xx = 0, yy = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    xy += (x[i] - mx) * (y[i] - my);
    xx += (x[i] - mx) * (x[i] - mx);
    yy += (y[i] - my) * (y[i] - my);
  }
  return xy / std::sqrt(xx * yy);
}
// Slope of the least-squares line of y on x.
double slope(const std::vector<double>& x, const std::vector<double>& y) {
  const double mx = mean(x), my = mean(y);
  double xy = 0, xx = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    xy += (x[i] - mx) * (y[i] - my);
    xx += (x[i] - mx) * (x[i] - mx);
  }
  return xy / xx;
}
// Expects a column to be NA (want NaN) or to agree with want to 1e-9.
void expect_value(const csv_table& s, size_t r, const std::string& col, double want) {
  const double got = s.at(r, col);
  if (std::isnan(want)) EXPECT_TRUE(std::isnan(got)) << col << " of row " << r << " is " << got << ", not NA";
  else EXPECT_NEAR(got, want, 1e-9) << col << " of row " << r;
}

// Two traits; stage 2 selects on the phenotype, stage 3 on pedigree EBVs,
// stage 4 at random, stage 5 on the true breeding value; 6 sires and 12
// dams of 30 candidates of each sex.
std::string scheme_par() {
  return "Every selection criterion\n"
         "2 0 0.2 0   ntrait thresh incid uncommon_QTL\n"
         "genetic correlations\n0.5\n"
         "residual correlations\n0.2\n"
         "heritabilities\n0.3 0.5\n"
         "markers per chromosome, chromosomes, maptype\n50 4 0\n"
         "chromosome length, mutation rates\n1.0 1.0e-3 2.0e-3\n"
         "qtlrule nqtl qtlp1 qtlp2\n0 20 1.0 1.0\n"
         "nstage spare seed\n5 0 777\n"
         "stage 1: nsire ndam nind ngen\n10 20 60 20\nstage 1: nomut matetype seltype\n0 2 0\n"
         "stage 2: nsire ndam nind ngen\n6 12 60 1\nstage 2: nomut matetype seltype\n0 2 2\n"
         "stage 3: nsire ndam nind ngen\n6 12 60 3\nstage 3: nomut matetype seltype\n0 2 3\n"
         "stage 4: nsire ndam nind ngen\n6 12 60 2\nstage 4: nomut matetype seltype\n0 2 0\n"
         "stage 5: nsire ndam nind ngen\n6 12 60 2\nstage 5: nomut matetype seltype\n0 2 1\n";
}

TEST(SummaryFromFiles, ResultsOfTheSchemeMatchTheResultFiles) {
  qmtest::tempdir td;
  qmtest::write_file("param.par", scheme_par());
  const std::string cmd = std::string("'") + QM_BINARY + "' --outdir out param.par > /dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  const csv_table s = read_csv("out/summary.csv");
  ASSERT_EQ(s.rows.size(), 8u);
  const int nt = 2;
  // The stage and the seltype of every generation, as the parameter file has them.
  const std::vector<int> stage_of = {0, 2, 3, 3, 3, 4, 4, 5, 5}, seltype_of = {0, 2, 3, 3, 3, 0, 0, 1, 1};

  std::vector<double> effect_1, effect_2;  // QMAP.out: locus, effect on trait 1, on trait 2
  {
    std::istringstream in(qmtest::read_file("out/QMAP.out"));
    int nchr, nmpc, nqtl;
    in >> nchr >> nmpc >> nqtl;
    for (int q = 0; q < nqtl; ++q) {
      int locus;
      double a1, a2;
      in >> locus >> a1 >> a2;
      effect_1.push_back(a1);
      effect_2.push_back(a2);
    }
  }

  // Pedigree inbreeding by the tabular method over every animal since
  // generation 1 (its animals the unrelated base).
  std::map<std::string, size_t> index;
  std::vector<std::vector<double>> a;  // relationships, a[i][j] for j <= i
  const auto rel = [&](long i, long j) {
    if (i < 0 || j < 0) return 0.0;
    return i >= j ? a[static_cast<size_t>(i)][static_cast<size_t>(j)] : a[static_cast<size_t>(j)][static_cast<size_t>(i)];
  };
  std::vector<bv_generation> gens(9);
  std::vector<double> f_ped(9), f_gen(9);
  std::vector<double> base_p;
  for (int g = 1; g <= 8; ++g) {
    gens[static_cast<size_t>(g)] = bv_file("out/" + qm::result_name(g, "BV.out"), nt);
    const bv_generation& b = gens[static_cast<size_t>(g)];
    double fs = 0;
    for (size_t i = 0; i < b.id.size(); ++i) {
      const long sire = g == 1 ? -1 : static_cast<long>(index.at(b.sire[i]));
      const long dam = g == 1 ? -1 : static_cast<long>(index.at(b.dam[i]));
      const long k = static_cast<long>(a.size());
      std::vector<double> row(static_cast<size_t>(k) + 1);
      for (long j = 0; j < k; ++j) row[static_cast<size_t>(j)] = 0.5 * (rel(sire, j) + rel(dam, j));
      row[static_cast<size_t>(k)] = 1.0 + 0.5 * rel(sire, dam);
      fs += row[static_cast<size_t>(k)] - 1.0;
      a.push_back(std::move(row));
      index[b.id[i]] = static_cast<size_t>(k);
    }
    f_ped[static_cast<size_t>(g)] = fs / static_cast<double>(b.id.size());
    // Genomic inbreeding against generation 1, markers and QTL pooled.
    const het hm = heterozygosity(haplotypes("out/" + qm::result_name(g, "MTYPE.out")));
    const het hq = heterozygosity(haplotypes("out/" + qm::result_name(g, "QTYPE.out")));
    f_gen[static_cast<size_t>(g)] = genomic_inbreeding(hm, hq, base_p);

    // QTL fixed for the allele that raises (lowers) each trait: allele 2
    // adds the effect, allele 1 takes it away.
    double up[2] = {0, 0}, down[2] = {0, 0};
    for (size_t q = 0; q < hq.p.size(); ++q) {
      if (hq.p[q] != 0.0 && hq.p[q] != 1.0) continue;
      const bool allele2 = hq.p[q] == 0.0;
      for (int t = 0; t < nt; ++t) {
        const double e = t == 0 ? effect_1[q] : effect_2[q];
        if (e != 0) ((e > 0) == allele2 ? up : down)[t] += 1;
      }
    }
    const size_t r = static_cast<size_t>(g - 1);
    for (int t = 0; t < nt; ++t) {
      expect_value(s, r, "qtl_fixed_up_" + std::to_string(t + 1), up[t]);
      expect_value(s, r, "qtl_fixed_down_" + std::to_string(t + 1), down[t]);
    }
  }

  for (int g = 1; g <= 8; ++g) {
    const size_t r = static_cast<size_t>(g - 1);
    const bv_generation& b = gens[static_cast<size_t>(g)];
    const bv_generation& base = gens[1];
    for (int t = 0; t < nt; ++t) {
      const std::string k = std::to_string(t + 1);
      const double gain = mean(b.tbv[t]) - mean(base.tbv[t]);
      expect_value(s, r, "gain_" + k, gain);
      expect_value(s, r, "gain_sd_" + k, gain / sd(base.tbv[t]));
      expect_value(s, r, "response_" + k, g == 1 ? std::nan("") : mean(b.tbv[t]) - mean(gens[g - 1].tbv[t]));
    }
    // The criterion of the stage: phenotype, EBV (the EBV file), none, TBV.
    std::vector<double> c;
    const int seltype = seltype_of[static_cast<size_t>(g)];
    if (seltype == 2) c = b.phe[0];
    if (seltype == 3) {
      EXPECT_TRUE(qmtest::file_exists("out/" + qm::result_name(g, "EBV.out")));
      c = ebv_file("out/" + qm::result_name(g, "EBV.out"));
    }
    if (seltype == 1) c = b.tbv[0];
    double is = std::nan(""), id = std::nan("");
    if (c.empty()) {
      for (const char* col : {"accuracy_1", "accuracy_2", "sel_diff_sires", "sel_diff_dams", "intensity_sires",
                              "intensity_dams", "predicted_response_1"})
        expect_value(s, r, col, std::nan(""));
    } else {
      ASSERT_EQ(c.size(), b.id.size());
      for (int t = 0; t < nt; ++t) expect_value(s, r, "accuracy_" + std::to_string(t + 1), cor(c, b.tbv[t]));
      for (int sex = 1; sex <= 2; ++sex) {
        std::vector<double> all, chosen;
        for (size_t i = 0; i < c.size(); ++i)
          if (b.sex[i] == sex) {
            all.push_back(c[i]);
            if (b.bred[i]) chosen.push_back(c[i]);
          }
        ASSERT_EQ(chosen.size(), sex == 1 ? 6u : 12u);
        const double diff = mean(chosen) - mean(all);
        expect_value(s, r, sex == 1 ? "sel_diff_sires" : "sel_diff_dams", diff);
        expect_value(s, r, sex == 1 ? "intensity_sires" : "intensity_dams", diff / sd(all));
        (sex == 1 ? is : id) = diff / sd(all);
      }
      expect_value(s, r, "predicted_response_1", (is + id) / 2 * cor(c, b.tbv[0]) * sd(b.tbv[0]));
    }
    // Parents used and their largest families.
    std::map<std::string, int> per_sire, per_dam;
    for (size_t i = 0; i < b.id.size(); ++i) {
      ++per_sire[b.sire[i]];
      ++per_dam[b.dam[i]];
    }
    int top_sire = 0, top_dam = 0;
    for (const auto& [id_, n] : per_sire) top_sire = std::max(top_sire, n);
    for (const auto& [id_, n] : per_dam) top_dam = std::max(top_dam, n);
    expect_value(s, r, "n_sires", static_cast<double>(per_sire.size()));
    expect_value(s, r, "n_dams", static_cast<double>(per_dam.size()));
    expect_value(s, r, "offspring_per_sire_max", top_sire);
    expect_value(s, r, "offspring_per_dam_max", top_dam);

    // Inbreeding and its rate, from the pedigree and the genotypes.
    expect_value(s, r, "f_pedigree", f_ped[static_cast<size_t>(g)]);
    for (const char* kind : {"pedigree", "genomic"}) {
      const std::vector<double>& f = std::string(kind) == "pedigree" ? f_ped : f_gen;
      double df = std::nan("");
      if (g > 1) df = (f[static_cast<size_t>(g)] - f[static_cast<size_t>(g - 1)]) / (1 - f[static_cast<size_t>(g - 1)]);
      expect_value(s, r, std::string("delta_f_") + kind, df);
      expect_value(s, r, std::string("ne_") + kind, df > 0 ? 1 / (2 * df) : std::nan(""));
      // Over the stage, on the row of its last generation.
      double df_stage = std::nan("");
      const int st = stage_of[static_cast<size_t>(g)];
      if (g == 8 || stage_of[static_cast<size_t>(g + 1)] != st) {
        std::vector<double> x, y;
        for (int h = 1; h <= g; ++h)
          if (stage_of[static_cast<size_t>(h)] == st) {
            x.push_back(h);
            y.push_back(std::log(1 - f[static_cast<size_t>(h)]));
          }
        if (x.size() > 1) df_stage = 1 - std::exp(slope(x, y));
      }
      expect_value(s, r, std::string("delta_f_") + kind + "_stage", df_stage);
      expect_value(s, r, std::string("ne_") + kind + "_stage", df_stage > 0 ? 1 / (2 * df_stage) : std::nan(""));
    }
  }
  // The run's results lead its report.
  const std::string html = qmtest::read_file("out/report.html");
  EXPECT_LT(html.find("table-headline"), html.find("table-glance"));
  EXPECT_NE(html.find("plot-qtl-frequencies"), std::string::npos);
}

// Truncation selection on the phenotype (h2 0.3) of 5000 animals, the best
// 10% of the males and 50% of the females: the breeder's equation predicts
// the response of the next generation. Over 20 seeds the mean of realised
// minus predicted is within three standard errors of 0, and the response is
// clearly there (the test could tell a wrong prediction).
TEST(SummaryFromFiles, BreedersEquationPredictsTheFirstResponse) {
  qmtest::tempdir td;
  std::vector<double> diff, realised;
  for (int seed = 1; seed <= 20; ++seed) {
    const std::string par =
        "Truncation on phenotype\n1 0 0.2 0   ntrait thresh incid uncommon_QTL\n"
        "genetic correlations\n\nresidual correlations\n\nheritabilities\n0.3\n"
        "markers per chromosome, chromosomes, maptype\n100 4 0\n"
        "chromosome length, mutation rates\n1.0 1.0e-3 2.0e-3\n"
        "qtlrule nqtl qtlp1 qtlp2\n0 100 1.0 1.0\n"
        "nstage spare seed\n3 0 " + std::to_string(1000 + seed) + "\n"
        "stage 1: nsire ndam nind ngen\n20 40 400 40\nstage 1: nomut matetype seltype\n0 2 0\n"
        "stage 2: nsire ndam nind ngen\n250 1250 5000 1\nstage 2: nomut matetype seltype\n0 2 2\n"
        "stage 3: nsire ndam nind ngen\n250 1250 5000 1\nstage 3: nomut matetype seltype\n0 2 2\n";
    qmtest::write_file("param.par", par);
    const std::string out = "s" + std::to_string(seed);
    const std::string cmd = std::string("'") + QM_BINARY + "' --threads 2 --outdir " + out + " param.par > /dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << seed;
    const csv_table s = read_csv(out + "/summary.csv");
    ASSERT_EQ(s.rows.size(), 2u);
    EXPECT_NEAR(s.at(0, "intensity_sires"), 1.755, 0.1);  // 10% of a normal: 1.755
    EXPECT_NEAR(s.at(0, "intensity_dams"), 0.798, 0.05);  // 50%: 0.798
    realised.push_back(s.at(1, "response_1"));
    diff.push_back(s.at(1, "response_1") - s.at(0, "predicted_response_1"));
  }
  const double se = sd(diff) / std::sqrt(static_cast<double>(diff.size()));
  EXPECT_LT(std::fabs(mean(diff)), 3 * se) << "mean difference " << mean(diff) << ", se " << se;
  EXPECT_GT(mean(realised), 10 * se);  // a response well above the error of the test
}

// Random selection of 25 sires and 25 dams (N = 50) for 20 generations:
// the pedigree rate of inbreeding over the stage gives Ne within 15% of N
// (Wright: 4 Nm Nf / (Nm + Nf) = 50), in each of three seeds.
TEST(SummaryFromFiles, RandomMatingOfNParentsGivesNeNearN) {
  qmtest::tempdir td;
  for (int seed = 1; seed <= 3; ++seed) {
    const std::string par =
        "Random mating\n1 0 0.2 0   ntrait thresh incid uncommon_QTL\n"
        "genetic correlations\n\nresidual correlations\n\nheritabilities\n0.3\n"
        "markers per chromosome, chromosomes, maptype\n100 4 0\n"
        "chromosome length, mutation rates\n1.0 1.0e-3 2.0e-3\n"
        "qtlrule nqtl qtlp1 qtlp2\n0 20 1.0 1.0\n"
        "nstage spare seed\n3 0 " + std::to_string(seed) + "\n"
        "stage 1: nsire ndam nind ngen\n20 40 400 40\nstage 1: nomut matetype seltype\n0 2 0\n"
        "stage 2: nsire ndam nind ngen\n25 25 100 1\nstage 2: nomut matetype seltype\n0 2 0\n"
        "stage 3: nsire ndam nind ngen\n25 25 100 20\nstage 3: nomut matetype seltype\n0 2 0\n";
    qmtest::write_file("param.par", par);
    const std::string out = "n" + std::to_string(seed);
    ASSERT_EQ(std::system((std::string("'") + QM_BINARY + "' --outdir " + out + " param.par > /dev/null").c_str()), 0);
    const csv_table s = read_csv(out + "/summary.csv");
    ASSERT_EQ(s.rows.size(), 21u);
    EXPECT_NEAR(s.at(20, "ne_pedigree_stage"), 50.0, 7.5) << "seed " << seed;
    EXPECT_TRUE(std::isnan(s.at(19, "ne_pedigree_stage")));  // only the stage's last row
    EXPECT_TRUE(std::isnan(s.at(20, "accuracy_1")));         // no criterion under random selection
    EXPECT_TRUE(std::isnan(s.at(20, "intensity_sires")));
  }
}

}  // namespace
