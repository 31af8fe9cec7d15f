#include "stats/summary.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/cpu_features.hpp"
#include "base/messages.hpp"
#include "support.hpp"

namespace {

// A small random population stored the way the simulator stores it:
// haplotype columns with a stride, breeding values and phenotypes
// interleaved per trait (animal fastest), QTL effects per trait.
struct population {
  int n = 0, nm = 0, nc = 0, ntrait = 0;
  size_t mstride = 0, cstride = 0;
  std::vector<int8_t> m, c;
  std::vector<int32_t> qtl;
  std::vector<double> eff, bv, f;

  population(unsigned seed, int n_, int nm_, int nc_, int nq, int ntrait_) : n(n_), nm(nm_), nc(nc_), ntrait(ntrait_) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::normal_distribution<double> z(0.0, 1.0);
    mstride = static_cast<size_t>(nm) + 3;  // a padded column, as a view may have
    cstride = static_cast<size_t>(nc);
    m.assign(mstride * 2 * n, 9);
    c.assign(cstride * 2 * n, 9);
    // Locus frequencies over the whole range, some loci fixed; neighbouring
    // loci copy each other at times so that LD is not only noise.
    std::vector<double> pm(nm), pc(nc);
    for (int l = 0; l < nm; ++l) pm[l] = l % 11 == 3 ? 1.0 : (l % 13 == 5 ? 0.0 : u(rng));
    for (int l = 0; l < nc; ++l) pc[l] = l % 7 == 2 ? 0.0 : u(rng);
    for (int h = 0; h < 2 * n; ++h) {
      for (int l = 0; l < nm; ++l) {
        int8_t a = u(rng) < pm[l] ? 1 : 2;
        if (l > 0 && u(rng) < 0.6) a = m[h * mstride + l - 1];
        m[h * mstride + l] = a;
      }
      for (int l = 0; l < nc; ++l) c[h * cstride + l] = u(rng) < pc[l] ? 1 : 2;
    }
    for (int q = 0; q < nq; ++q) qtl.push_back((q * 5 + 2) % nc);
    eff.resize(static_cast<size_t>(nq) * ntrait);
    for (double& e : eff) e = z(rng);
    bv.resize(static_cast<size_t>(2 * n) * ntrait);
    for (double& x : bv) x = 3.0 + z(rng);
    f.resize(n);
    for (double& x : f) x = 0.25 * u(rng);
  }
  int8_t marker(int h, int l) const { return m[h * mstride + l]; }
  int8_t cand(int h, int l) const { return c[h * cstride + l]; }
  double tbv(int i, int t) const { return bv[static_cast<size_t>(t) * 2 * n + i]; }
  double phe(int i, int t) const { return bv[static_cast<size_t>(t) * 2 * n + n + i]; }

  qm::summary_input view(int stage, int gen) const {
    qm::summary_input g;
    g.stage = stage;
    g.generation = gen;
    g.nanimals = n;
    g.ntrait = ntrait;
    g.markers = {m.data(), nm, mstride};
    g.candidates = {c.data(), nc, cstride};
    g.qtl_locus = qtl;
    g.qtl_effect = {eff.data(), qtl.size()};
    g.tbv = {bv.data(), static_cast<size_t>(2 * n)};
    g.phe = {bv.data() + n, static_cast<size_t>(2 * n)};
    g.f_pedigree = f;
    return g;
  }
};

// r^2 of two markers from the 2 x 2 table of haplotypes.
double r2_table(const population& p, int a, int b) {
  double t[2][2] = {{0, 0}, {0, 0}};
  for (int h = 0; h < 2 * p.n; ++h) t[p.marker(h, a) - 1][p.marker(h, b) - 1] += 1;
  const double N = 2.0 * p.n;
  const double p11 = t[0][0] / N, p12 = t[0][1] / N, p21 = t[1][0] / N, p22 = t[1][1] / N;
  const double D = p11 * p22 - p12 * p21;
  const double pa = p11 + p12, pb = p11 + p21;
  return D * D / (pa * (1 - pa) * pb * (1 - pb));
}

double freq1(const population& p, bool marker, int l) {
  int k = 0;
  for (int h = 0; h < 2 * p.n; ++h) k += (marker ? p.marker(h, l) : p.cand(h, l)) == 1;
  return k / (2.0 * p.n);
}

bool maf_ok(double p) { return std::min(p, 1 - p) >= 0.05; }

}  // namespace

TEST(Summary, TinyPopulationByHand) {
  // Two animals; haplotypes 0,1 belong to animal 0 and 2,3 to animal 1.
  // Markers (4 haplotypes each): m0 = 1 1 2 2, m1 = 1 1 2 2, m2 = 1 2 1 2.
  // QTL 0 at candidate 1 with alleles 1 1 1 2 (p = 0.75), QTL 1 at candidate 0
  // with 1 2 2 1 (p = 0.5).
  const int8_t mk[] = {1, 1, 1, 1, 1, 2, 2, 2, 1, 2, 2, 2};
  const int8_t cd[] = {1, 1, 2, 1, 2, 1, 1, 2};
  const int32_t qtl[] = {1, 0};
  const double eff[] = {2.0, -1.0, 0.5, 0.0};  // trait 1: 2, -1; trait 2: 0.5, 0
  const double tbv[] = {1.0, 4.0, 10.0, 20.0}, phe[] = {0.0, 1.0, 2.0, 6.0}, f[] = {0.25, 0.0};
  qm::summary_input g;
  g.stage = 3;
  g.generation = 4;
  g.nanimals = 2;
  g.ntrait = 2;
  g.markers = {mk, 3, 3};
  g.candidates = {cd, 2, 2};
  g.qtl_locus = qtl;
  g.qtl_effect = {eff, 2};
  g.tbv = {tbv, 2};
  g.phe = {phe, 2};
  g.f_pedigree = f;
  const qm::marker_map map = qm::even_map(1, 3, 0.02);
  qm::summary_engine e;
  const qm::summary_row r = e.compute(g, map);
  // 2 * 0.75 * 0.25 * 2^2 + 2 * 0.5 * 0.5 * 1 = 1.5 + 0.5; trait 2: 0.375 * 0.25.
  EXPECT_DOUBLE_EQ(r.genic_var[0], 2.0);
  EXPECT_DOUBLE_EQ(r.genic_var[1], 0.09375);
  EXPECT_DOUBLE_EQ(r.tbv_mean[0], 2.5);
  EXPECT_DOUBLE_EQ(r.tbv_var[0], 4.5);  // (1.5^2 + 1.5^2) / 1
  EXPECT_DOUBLE_EQ(r.phe_mean[1], 4.0);
  EXPECT_DOUBLE_EQ(r.phe_var[1], 8.0);
  // Animal 0 is homozygous at m0, m1 and heterozygous at m2; animal 1 the same.
  EXPECT_DOUBLE_EQ(r.marker_het_obs, 1.0 / 3.0);
  EXPECT_DOUBLE_EQ(r.marker_het_exp, 0.5);
  // QTL 0: animal 0 (1,1) hom, animal 1 (1,2) het; QTL 1: (1,2) het, (2,1) het.
  EXPECT_DOUBLE_EQ(r.qtl_het_obs, 0.75);
  EXPECT_DOUBLE_EQ(r.qtl_het_exp, (0.375 + 0.5) / 2);
  EXPECT_EQ(r.seg_markers, 3);
  EXPECT_EQ(r.seg_qtl, 2);
  EXPECT_DOUBLE_EQ(r.f_pedigree, 0.125);
  EXPECT_TRUE(std::isnan(r.f_genomic));  // no base yet
  // m0-m1: haplotypes AB AB ab ab -> r^2 = 1; m1-m2: AB Ab aB ab -> 0.
  EXPECT_DOUBLE_EQ(r.ld_r2_adjacent, 0.5);

  // This generation as its own base: H0 = (0.5 * 3 + 0.375 + 0.5) / 5,
  // observed H = (1 + 1 + 3) / (2 animals * 5 loci) = 0.5.
  e.capture_base(g);
  const qm::summary_row b = e.compute(g, map);
  EXPECT_NEAR(b.f_genomic, 1.0 - 0.5 / (2.375 / 5), 1e-15);
}

TEST(Summary, RandomPopulationAgainstBruteForce) {
  const population base(7, 37, 90, 40, 9, 2);   // 74 haplotypes: two words per locus
  const population cur(11, 37, 90, 40, 9, 2);
  // Three chromosomes of 30 markers, random gaps.
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> u(0.0, 0.02);
  std::vector<double> gaps(3 * 29);
  for (double& x : gaps) x = u(rng);
  const qm::marker_map map = qm::map_from_gaps(3, 30, gaps);
  qm::summary_engine e;
  e.capture_base(base.view(2, 1));
  const qm::summary_row r = e.compute(cur.view(3, 2), map);
  const int n = cur.n;
  EXPECT_EQ(r.stage, 3);
  EXPECT_EQ(r.generation, 2);
  EXPECT_EQ(r.nind, n);
  for (int t = 0; t < 2; ++t) {
    double s = 0, ss = 0, sp = 0, ssp = 0;
    for (int i = 0; i < n; ++i) {
      s += cur.tbv(i, t);
      ss += cur.tbv(i, t) * cur.tbv(i, t);
      sp += cur.phe(i, t);
      ssp += cur.phe(i, t) * cur.phe(i, t);
    }
    EXPECT_NEAR(r.tbv_mean[t], s / n, 1e-12);
    EXPECT_NEAR(r.tbv_var[t], (ss - s * s / n) / (n - 1), 1e-10);
    EXPECT_NEAR(r.phe_mean[t], sp / n, 1e-12);
    EXPECT_NEAR(r.phe_var[t], (ssp - sp * sp / n) / (n - 1), 1e-10);
    double gv = 0;
    for (size_t q = 0; q < cur.qtl.size(); ++q) {
      const double p = freq1(cur, false, cur.qtl[q]);
      gv += 2 * p * (1 - p) * cur.eff[t * cur.qtl.size() + q] * cur.eff[t * cur.qtl.size() + q];
    }
    EXPECT_NEAR(r.genic_var[t], gv, 1e-12);
  }
  // Heterozygosity, segregation, genomic inbreeding per animal.
  double hobs = 0, hexp = 0, h0 = 0;
  int seg = 0;
  std::vector<int> hets(n, 0);
  for (int l = 0; l < cur.nm; ++l) {
    const double p = freq1(cur, true, l), p0 = freq1(base, true, l);
    hexp += 2 * p * (1 - p);
    h0 += 2 * p0 * (1 - p0);
    seg += p > 0 && p < 1;
    for (int i = 0; i < n; ++i) {
      const bool het = cur.marker(2 * i, l) != cur.marker(2 * i + 1, l);
      hobs += het;
      hets[i] += het;
    }
  }
  EXPECT_NEAR(r.marker_het_obs, hobs / n / cur.nm, 1e-14);
  EXPECT_NEAR(r.marker_het_exp, hexp / cur.nm, 1e-14);
  EXPECT_EQ(r.seg_markers, seg);
  double qobs = 0, qexp = 0;
  int qseg = 0;
  for (int32_t l : cur.qtl) {
    const double p = freq1(cur, false, l), p0 = freq1(base, false, l);
    qexp += 2 * p * (1 - p);
    h0 += 2 * p0 * (1 - p0);
    qseg += p > 0 && p < 1;
    for (int i = 0; i < n; ++i) {
      const bool het = cur.cand(2 * i, l) != cur.cand(2 * i + 1, l);
      qobs += het;
      hets[i] += het;
    }
  }
  const int nq = static_cast<int>(cur.qtl.size());
  EXPECT_NEAR(r.qtl_het_obs, qobs / n / nq, 1e-14);
  EXPECT_NEAR(r.qtl_het_exp, qexp / nq, 1e-14);
  EXPECT_EQ(r.seg_qtl, qseg);
  const double H0 = h0 / (cur.nm + nq);
  double fg = 0;
  for (int i = 0; i < n; ++i) fg += 1.0 - (static_cast<double>(hets[i]) / (cur.nm + nq)) / H0;
  EXPECT_NEAR(r.f_genomic, fg / n, 1e-12);
  double fp = 0;
  for (double x : cur.f) fp += x;
  EXPECT_NEAR(r.f_pedigree, fp / n, 1e-15);
  // Adjacent LD from 2 x 2 tables.
  double ld = 0;
  int pairs = 0;
  for (int l = 0; l + 1 < cur.nm; ++l) {
    if (l % 30 == 29) continue;  // last marker of a chromosome
    if (!maf_ok(freq1(cur, true, l)) || !maf_ok(freq1(cur, true, l + 1))) continue;
    ld += r2_table(cur, l, l + 1);
    ++pairs;
  }
  ASSERT_GT(pairs, 20);
  EXPECT_NEAR(r.ld_r2_adjacent, ld / pairs, 1e-12);

  // LD decay in 0.5 cM bins up to 3 cM, every pair of one chromosome.
  const qm::ld_decay d = e.decay(cur.view(3, 2), map, {0.5, 6, 0.05});
  std::vector<double> s(6, 0.0);
  std::vector<int64_t> c(6, 0);
  for (int a = 0; a < cur.nm; ++a)
    for (int b = a + 1; b < cur.nm; ++b) {
      if (map.chromosome[a] != map.chromosome[b]) continue;
      if (!maf_ok(freq1(cur, true, a)) || !maf_ok(freq1(cur, true, b))) continue;
      const int bin = static_cast<int>((map.position_cm[b] - map.position_cm[a]) / 0.5);
      if (bin >= 6) continue;
      s[bin] += r2_table(cur, a, b);
      ++c[bin];
    }
  for (int k = 0; k < 6; ++k) {
    EXPECT_EQ(d.pairs[k], c[k]) << k;
    ASSERT_GT(c[k], 0);
    EXPECT_NEAR(d.mean_r2[k], s[k] / c[k], 1e-12) << k;
  }
  // Near markers are in stronger LD than far ones in this population.
  EXPECT_GT(d.mean_r2[0], d.mean_r2[5]);
}

TEST(Summary, SameBitsForAnyThreadCountAndInstructionSet) {
  // More markers than one block of work, more haplotypes than one word.
  const population p(5, 100, 1300, 300, 40, 3);
  const qm::marker_map map = qm::even_map(2, 650, 1.0);
  std::vector<std::vector<double>> rows;
  std::vector<std::vector<double>> decays;
  for (int threads : {1, 2, 3, 0}) {
    qm::use_vector_kernels(threads != 0);  // 0: one thread, baseline instructions only
    qm::summary_engine e;
    e.capture_base(p.view(2, 1), std::max(threads, 1));
    rows.push_back(qm::summary_values(e.compute(p.view(2, 1), map, std::max(threads, 1))));
    decays.push_back(e.decay(p.view(2, 1), map, {}, std::max(threads, 1)).mean_r2);
  }
  qm::use_vector_kernels(true);
  for (int k = 1; k < 4; ++k) {
    ASSERT_EQ(rows[k].size(), rows[0].size());
    EXPECT_EQ(std::memcmp(rows[k].data(), rows[0].data(), rows[0].size() * sizeof(double)), 0);
    EXPECT_EQ(std::memcmp(decays[k].data(), decays[0].data(), decays[0].size() * sizeof(double)), 0);
  }
  const std::vector<std::string> h = qm::summary_header(3);
  const size_t f_genomic = static_cast<size_t>(std::find(h.begin(), h.end(), "f_genomic") - h.begin());
  EXPECT_NEAR(rows[0][f_genomic], 0.0, 0.05);  // f_genomic against itself
}

TEST(Summary, SameResultsFromBitsAsFromBytes) {
  // Haplotypes one bit per allele (allele 2 a set bit): 200 haplotypes, the
  // last word of each locus partly used; 1300 markers, the last group of 64
  // and the last part of the counting partly used; 150 QTL, read bit by bit
  // in parts of 64 (out of locus order past the 60th).
  const population p(5, 100, 1300, 300, 150, 3);
  const qm::marker_map map = qm::even_map(2, 650, 1.0);
  const auto pack = [&](const std::vector<int8_t>& bytes, int nloci, size_t stride, size_t words) {
    std::vector<uint64_t> rows(words * 2 * p.n, 0);
    for (int h = 0; h < 2 * p.n; ++h)
      for (int l = 0; l < nloci; ++l)
        if (bytes[h * stride + l] == 2) rows[h * words + l / 64] |= uint64_t{1} << (l % 64);
    return rows;
  };
  const size_t mw = (p.nm + 63) / 64, cw = (p.nc + 63) / 64;
  const std::vector<uint64_t> mbits = pack(p.m, p.nm, p.mstride, mw), cbits = pack(p.c, p.nc, p.cstride, cw);
  qm::summary_input bits = p.view(2, 1);
  bits.markers = {nullptr, p.nm, mw, mbits.data()};
  bits.candidates = {nullptr, p.nc, cw, cbits.data()};
  for (int threads : {1, 3}) {
    qm::summary_engine from_bytes, from_bits;
    from_bytes.capture_base(p.view(2, 1), threads);
    from_bits.capture_base(bits, threads);
    const std::vector<double> a = qm::summary_values(from_bytes.compute(p.view(2, 1), map, threads));
    const std::vector<double> b = qm::summary_values(from_bits.compute(bits, map, threads));
    ASSERT_EQ(a.size(), b.size());
    EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(double)), 0);
    const std::vector<double> da = from_bytes.decay(p.view(2, 1), map, {}, threads).mean_r2;
    const std::vector<double> db = from_bits.decay(bits, map, {}, threads).mean_r2;
    ASSERT_EQ(da.size(), db.size());
    EXPECT_EQ(std::memcmp(da.data(), db.data(), da.size() * sizeof(double)), 0);
  }
}

TEST(Summary, CsvWrittenUnderATemporaryNameAndReadBack) {
  qmtest::tempdir dir;
  const population p(9, 20, 30, 10, 4, 2);
  const qm::marker_map map = qm::even_map(1, 30, 0.5);
  qm::summary_engine e;
  std::vector<qm::summary_row> rows;
  {
    qm::summary_csv csv;
    csv.open(".", 2);
    for (int g = 1; g <= 3; ++g) {
      rows.push_back(e.compute(p.view(g == 1 ? 2 : 3, g), map));
      csv.append(rows.back());
    }
    EXPECT_TRUE(qmtest::file_exists("summary.csv.part"));
    EXPECT_FALSE(qmtest::file_exists("summary.csv"));
    csv.finish();
  }
  EXPECT_FALSE(qmtest::file_exists("summary.csv.part"));
  const std::string text = qmtest::read_file("summary.csv");
  // The columns of earlier versions keep their names and places; the
  // results of the scheme come after them.
  EXPECT_EQ(text.substr(0, text.find('\n')),
            "stage,generation,nind,tbv_mean_1,tbv_var_1,phe_mean_1,phe_var_1,genic_var_1,"
            "tbv_mean_2,tbv_var_2,phe_mean_2,phe_var_2,genic_var_2,marker_het_obs,marker_het_exp,"
            "qtl_het_obs,qtl_het_exp,seg_markers,seg_qtl,f_genomic,f_pedigree,ld_r2_adjacent,"
            "gain_1,gain_sd_1,response_1,accuracy_1,gain_2,gain_sd_2,response_2,accuracy_2,"
            "sel_diff_sires,sel_diff_dams,intensity_sires,intensity_dams,predicted_response_1,"
            "n_sires,n_dams,offspring_per_sire_max,offspring_per_dam_max,delta_f_pedigree,delta_f_genomic,"
            "ne_pedigree,ne_genomic,delta_f_pedigree_stage,delta_f_genomic_stage,ne_pedigree_stage,"
            "ne_genomic_stage,qtl_fixed_up_1,qtl_fixed_down_1,qtl_fixed_up_2,qtl_fixed_down_2");
  EXPECT_NE(text.find(",NA,"), std::string::npos);  // f_genomic without a base
  const qm::summary_table t = qm::read_summary_csv("summary.csv");
  const qm::summary_table w = qm::summary_table_of(rows, 2);
  ASSERT_EQ(t.header, w.header);
  ASSERT_EQ(t.rows.size(), 3u);
  for (size_t k = 0; k < 3; ++k)
    for (size_t c = 0; c < w.header.size(); ++c) {
      if (std::isnan(w.rows[k][c])) {
        EXPECT_TRUE(std::isnan(t.rows[k][c]));
      } else {
        EXPECT_EQ(t.rows[k][c], w.rows[k][c]) << w.header[c];  // exact round trip
      }
    }
  EXPECT_EQ(t.column("f_pedigree"), 20);
  EXPECT_EQ(t.column("nothing"), -1);

  const qm::ld_decay d = e.decay(p.view(3, 3), map, {1.0, 5, 0.05});
  qm::write_ld_decay_csv("ld_decay.csv", d);
  const qm::ld_decay back = qm::read_ld_decay_csv("ld_decay.csv");
  EXPECT_EQ(back.generation, 3);
  EXPECT_EQ(back.bin_cm, 1.0);
  EXPECT_EQ(back.pairs, d.pairs);
}

TEST(Summary, RefusesInconsistentInputs) {
  qmtest::console_capture quiet;
  qmtest::tempdir dir;
  const population p(1, 10, 20, 10, 3, 1);
  qm::summary_engine e;
  EXPECT_THROW(e.compute(p.view(2, 1), qm::even_map(1, 19, 1.0)), qm::run_stop);
  qm::marker_map bad = qm::even_map(1, 20, 1.0);
  std::swap(bad.position_cm[3], bad.position_cm[4]);
  EXPECT_THROW(e.compute(p.view(2, 1), bad), qm::run_stop);
  e.capture_base(population(1, 10, 21, 10, 3, 1).view(2, 1));
  EXPECT_THROW(e.compute(p.view(2, 1), qm::even_map(1, 20, 1.0)), qm::run_stop);
  qmtest::write_file("s.csv", "stage,generation\n2,x\n");
  EXPECT_THROW(qm::read_summary_csv("s.csv"), qm::run_stop);
  EXPECT_NE(quiet.text().find("s.csv, line 2"), std::string::npos);
}
