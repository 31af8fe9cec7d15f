#include "stats/line_stats.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <Eigen/Dense>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/messages.hpp"
#include "base/output_folder.hpp"
#include "output/manifest.hpp"
#include "stats/merge.hpp"
#include "stats/summary_observer.hpp"
#include "support.hpp"

namespace {

// Two values equal, NaN equal to NaN.
void expect_same(double a, double b, const std::string& what) {
  if (std::isnan(a) || std::isnan(b)) {
    EXPECT_TRUE(std::isnan(a) && std::isnan(b)) << what << ": " << a << " against " << b;
  } else {
    EXPECT_EQ(a, b) << what;
  }
}

// A random generation with its haplotypes in the byte layout (padded
// columns) and in the bit layout, values of two traits and inbreeding.
struct generation {
  int n = 0, nm = 0, nc = 0, ntrait = 2;
  size_t mstride = 0, cstride = 0, mwords = 0, cwords = 0;
  std::vector<int8_t> m, c;
  std::vector<uint64_t> mbits, cbits;
  std::vector<int32_t> qtl;
  std::vector<double> eff, tbv, phe, f;

  generation(unsigned seed, int n_, int nm_, int nc_, int nq) : n(n_), nm(nm_), nc(nc_) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::normal_distribution<double> z(0.0, 1.0);
    mstride = static_cast<size_t>(nm) + 5;
    cstride = static_cast<size_t>(nc) + 1;
    m.assign(mstride * 2 * n, 7);
    c.assign(cstride * 2 * n, 7);
    // Animals of the first blocks carry allele 1 more often than those of
    // the last: the lines differ in their frequencies.
    for (int h = 0; h < 2 * n; ++h) {
      const double lean = static_cast<double>(h) / (2.0 * n);
      for (int l = 0; l < nm; ++l) {
        int8_t a = u(rng) < 0.8 - 0.6 * lean ? 1 : 2;
        if (l > 0 && u(rng) < 0.5) a = m[h * mstride + l - 1];
        m[h * mstride + l] = a;
      }
      for (int l = 0; l < nc; ++l) c[h * cstride + l] = u(rng) < 0.7 - 0.5 * lean ? 1 : 2;
    }
    // A marker fixed in the first half only, so that the lines differ in the
    // segregating loci too.
    for (int h = 0; h < n; ++h) m[h * mstride + 3] = 1;
    mwords = (static_cast<size_t>(nm) + 63) / 64;
    cwords = (static_cast<size_t>(nc) + 63) / 64;
    mbits.assign(mwords * 2 * n, 0);
    cbits.assign(cwords * 2 * n, 0);
    for (int h = 0; h < 2 * n; ++h) {
      for (int l = 0; l < nm; ++l)
        if (m[h * mstride + l] == 2) mbits[h * mwords + l / 64] |= uint64_t{1} << (l % 64);
      for (int l = 0; l < nc; ++l)
        if (c[h * cstride + l] == 2) cbits[h * cwords + l / 64] |= uint64_t{1} << (l % 64);
    }
    for (int q = 0; q < nq; ++q) qtl.push_back((q * 3 + 1) % nc);
    eff.resize(static_cast<size_t>(nq) * ntrait);
    for (double& e : eff) e = z(rng);
    tbv.resize(static_cast<size_t>(n) * ntrait);
    phe.resize(static_cast<size_t>(n) * ntrait);
    for (double& x : tbv) x = 2.0 + z(rng);
    for (double& x : phe) x = -1.0 + 2.0 * z(rng);
    f.resize(n);
    for (double& x : f) x = 0.3 * u(rng);
  }

  qm::summary_input view(bool bits) const {
    qm::summary_input g;
    g.stage = 3;
    g.generation = 7;
    g.nanimals = n;
    g.ntrait = ntrait;
    if (bits) {
      g.markers = {nullptr, nm, mwords, mbits.data()};
      g.candidates = {nullptr, nc, cwords, cbits.data()};
    } else {
      g.markers = {m.data(), nm, mstride};
      g.candidates = {c.data(), nc, cstride};
    }
    g.qtl_locus = qtl;
    g.qtl_effect = {eff.data(), qtl.size()};
    g.tbv = {tbv.data(), static_cast<size_t>(n)};
    g.phe = {phe.data(), static_cast<size_t>(n)};
    g.f_pedigree = f;
    return g;
  }

  // A generation of only animals first .. first + animals - 1, copied.
  generation only(int first, int animals) const {
    generation g = *this;
    g.n = animals;
    const size_t h0 = 2 * static_cast<size_t>(first - 1), nh = 2 * static_cast<size_t>(animals);
    g.m.assign(m.begin() + static_cast<std::ptrdiff_t>(h0 * mstride), m.begin() + static_cast<std::ptrdiff_t>((h0 + nh) * mstride));
    g.c.assign(c.begin() + static_cast<std::ptrdiff_t>(h0 * cstride), c.begin() + static_cast<std::ptrdiff_t>((h0 + nh) * cstride));
    g.mbits.assign(mbits.begin() + static_cast<std::ptrdiff_t>(h0 * mwords),
                   mbits.begin() + static_cast<std::ptrdiff_t>((h0 + nh) * mwords));
    g.cbits.assign(cbits.begin() + static_cast<std::ptrdiff_t>(h0 * cwords),
                   cbits.begin() + static_cast<std::ptrdiff_t>((h0 + nh) * cwords));
    g.tbv.clear();
    g.phe.clear();
    for (int t = 0; t < ntrait; ++t)
      for (int i = first - 1; i < first - 1 + animals; ++i) {
        g.tbv.push_back(tbv[static_cast<size_t>(t * n + i)]);
        g.phe.push_back(phe[static_cast<size_t>(t * n + i)]);
      }
    g.f.assign(f.begin() + first - 1, f.begin() + first - 1 + animals);
    return g;
  }
};

}  // namespace

// The view of a line's block gives every statistic that a generation made
// of only that line's animals gives, in both haplotype layouts and at one
// and two threads; the base of the genomic inbreeding is the whole
// generation's in both.
TEST(LineStats, BlockViewEqualsCopyOfTheLine) {
  const generation whole(31, 45, 150, 90, 12);
  const qm::marker_map map = qm::even_map(3, 50, 1.0);
  for (bool bits : {false, true})
    for (int threads : {1, 2}) {
      qm::summary_engine e;
      e.capture_base(whole.view(bits), threads);
      const int blocks[][2] = {{1, 15}, {17, 20}, {37, 9}};
      for (const auto& b : blocks) {
        const generation copy = whole.only(b[0], b[1]);
        qm::summary_engine alone;
        alone.set_base(e.base());
        const std::vector<double> want = qm::summary_values(alone.compute(copy.view(bits), map, threads));
        const std::vector<double> got =
            qm::summary_values(e.compute(qm::block_input(whole.view(bits), b[0], b[1]), map, threads));
        ASSERT_EQ(got.size(), want.size());
        const std::vector<std::string> h = qm::summary_header(2);
        for (size_t k = 0; k < got.size(); ++k)
          expect_same(got[k], want[k], h[k] + " of the block from " + std::to_string(b[0]) + (bits ? ", bits" : ""));
        EXPECT_EQ(got[2], b[1]);
        // The QTL frequencies of the block are those of the copy.
        for (int q = 0; q < static_cast<int>(whole.qtl.size()); ++q) {
          int ones = 0;
          for (int h = 0; h < 2 * b[1]; ++h) ones += copy.c[static_cast<size_t>(h) * copy.cstride + whole.qtl[q]] == 1;
          EXPECT_DOUBLE_EQ(e.qtl_frequency(q), ones / (2.0 * b[1]));
        }
      }
    }
}

// Selection within a line: its selected parents against its own candidates
// of each sex, worked out here animal by animal; a parent kept from an
// earlier generation (numbered past the generation) is left out.
TEST(LineStats, SelectionWithinTheBlock) {
  std::vector<double> crit(30);
  for (size_t i = 0; i < crit.size(); ++i) crit[i] = std::sin(1.7 * static_cast<double>(i) + 0.3) * 4.0;
  const int first = 11, animals = 12;  // animals 11 .. 22: males 11, 13, .., 21; females 12, .., 22
  const std::vector<int32_t> sires = {13, 19, 31}, dams = {12, 16, 22};
  const qm::selection_result r = qm::selection_in_block(crit, sires, dams, first, animals);
  const auto value = [&](int a) { return crit[static_cast<size_t>(a - 1)]; };
  for (int sex = 0; sex < 2; ++sex) {
    std::vector<double> cand;
    for (int a = first + sex; a < first + animals; a += 2) cand.push_back(value(a));
    ASSERT_EQ(cand.size(), 6u);
    double mean = 0;
    for (double x : cand) mean += x;
    mean /= 6;
    double ss = 0;
    for (double x : cand) ss += (x - mean) * (x - mean);
    const double sd = std::sqrt(ss / 5);
    const double chosen = sex == 0 ? (value(13) + value(19)) / 2 : (value(12) + value(16) + value(22)) / 3;
    EXPECT_NEAR(sex == 0 ? r.sel_diff_sires : r.sel_diff_dams, chosen - mean, 1e-12);
    EXPECT_NEAR(sex == 0 ? r.intensity_sires : r.intensity_dams, (chosen - mean) / sd, 1e-12);
  }
  EXPECT_EQ(qm::numbers_in_block(sires, first), (std::vector<int32_t>{3, 9, 21}));
}

// The slope of GV on F against the least-squares solution of [1 F] b = GV
// (Eigen); the dominance variance against its definition; no slope when F
// is constant or missing.
TEST(LineStats, SlopeAndDominanceStatistics) {
  std::mt19937_64 rng(5);
  std::normal_distribution<double> z(0.0, 1.0);
  const int n = 23;
  std::vector<double> f(n), gv(n), tbv(n);
  Eigen::MatrixXd x(n, 2);
  Eigen::VectorXd y(n);
  for (int i = 0; i < n; ++i) {
    f[i] = 0.05 * (i % 7) + 0.01 * z(rng) * z(rng);
    tbv[i] = z(rng);
    gv[i] = tbv[i] - 3.0 * f[i] + 0.4 * z(rng);
    x(i, 0) = 1.0;
    x(i, 1) = f[i];
    y(i) = gv[i];
  }
  const Eigen::VectorXd b = x.colPivHouseholderQr().solve(y);
  EXPECT_NEAR(qm::least_squares_slope(f, gv), b(1), 1e-10);
  const qm::dominance_stats s = qm::dominance_of(gv, tbv, f);
  EXPECT_NEAR(s.inbreeding_depression, b(1), 1e-10);
  double mgv = 0, md = 0;
  for (int i = 0; i < n; ++i) {
    mgv += gv[i];
    md += gv[i] - tbv[i];
  }
  mgv /= n;
  md /= n;
  double v = 0;
  for (int i = 0; i < n; ++i) v += (gv[i] - tbv[i] - md) * (gv[i] - tbv[i] - md);
  EXPECT_NEAR(s.gv_mean, mgv, 1e-12);
  EXPECT_NEAR(s.dominance_var, v / (n - 1), 1e-12);
  // A known line: GV = 2 - 5 F exactly.
  const std::vector<double> fx = {0, 0.125, 0.25, 0.5}, gx = {2, 1.375, 0.75, -0.5};
  EXPECT_DOUBLE_EQ(qm::least_squares_slope(fx, gx), -5.0);
  const std::vector<double> flat(4, 0.0);
  EXPECT_TRUE(std::isnan(qm::least_squares_slope(flat, gx)));
  EXPECT_TRUE(std::isnan(qm::dominance_of(gx, gx, {}).inbreeding_depression));
  EXPECT_EQ(qm::dominance_of(gx, gx, {}).dominance_var, 0.0);
  EXPECT_TRUE(std::isnan(qm::dominance_of(std::vector<double>{1.0}, std::vector<double>{1.0}, {}).dominance_var));
}

// Two lines and their cross built by hand at three QTL: line A fixed for
// allele 1 at QTL 1 and 3, line B fixed for allele 2 at QTL 1, both at
// frequency 1/2 in Hardy-Weinberg proportions at QTL 2, B at 1/2 at QTL 3;
// the cross has exactly the genotypes of the union of their gametes. The
// genotypic values (11: -a, 12: d, 22: +a) are summed here, so the realised
// heterosis is Falconer's sum of d y^2: d1 + d3 / 4.
TEST(LineStats, HeterosisOfAHandBuiltCross) {
  const double a[3] = {1.0, 0.6, 2.0}, d[3] = {0.8, -0.3, 1.2};
  // Haplotype pairs of the 4 animals of each block, one string per QTL.
  const std::vector<std::vector<std::pair<int, int>>> lineA = {{{1, 1}, {1, 1}, {1, 1}, {1, 1}},
                                                               {{1, 1}, {1, 2}, {2, 1}, {2, 2}},
                                                               {{1, 1}, {1, 1}, {1, 1}, {1, 1}}};
  const std::vector<std::vector<std::pair<int, int>>> lineB = {{{2, 2}, {2, 2}, {2, 2}, {2, 2}},
                                                               {{1, 1}, {1, 2}, {2, 1}, {2, 2}},
                                                               {{1, 1}, {1, 2}, {2, 1}, {2, 2}}};
  const std::vector<std::vector<std::pair<int, int>>> cross = {{{2, 1}, {2, 1}, {2, 1}, {2, 1}},
                                                               {{1, 1}, {1, 2}, {2, 1}, {2, 2}},
                                                               {{1, 1}, {2, 1}, {1, 1}, {2, 1}}};
  // One generation of 12 animals: A 1..4, B 5..8, cross 9..12; candidate
  // loci = the 3 QTL.
  std::vector<int8_t> c(3 * 24);
  std::vector<double> gv(12), tbv(12, 0.0);
  const std::vector<std::vector<std::pair<int, int>>>* blocks[] = {&lineA, &lineB, &cross};
  for (int b = 0; b < 3; ++b)
    for (int i = 0; i < 4; ++i) {
      const int animal = 4 * b + i;
      double g = 0;
      for (int q = 0; q < 3; ++q) {
        const auto [x, y] = (*blocks[b])[q][i];
        c[static_cast<size_t>(2 * animal) * 3 + q] = static_cast<int8_t>(x);
        c[static_cast<size_t>(2 * animal + 1) * 3 + q] = static_cast<int8_t>(y);
        g += x != y ? d[q] : (x == 2 ? a[q] : -a[q]);
      }
      gv[animal] = g;
    }
  const auto mean = [&](int b) { return (gv[4 * b] + gv[4 * b + 1] + gv[4 * b + 2] + gv[4 * b + 3]) / 4; };
  const double realised = qm::heterosis(mean(2), mean(0), mean(1));
  EXPECT_NEAR(realised, d[0] + d[2] / 4, 1e-12);
  // The frequencies through the statistics' view of each block.
  std::vector<int8_t> markers(2 * 12 * 2, 1);
  const std::vector<int32_t> qtl = {0, 1, 2};
  const std::vector<double> eff = {a[0], a[1], a[2]};
  qm::summary_input g;
  g.stage = 3;
  g.generation = 1;
  g.nanimals = 12;
  g.ntrait = 1;
  g.markers = {markers.data(), 2, 2};
  g.candidates = {c.data(), 3, 3};
  g.qtl_locus = qtl;
  g.qtl_effect = {eff.data(), 3};
  g.tbv = g.phe = {tbv.data(), 12};
  const qm::marker_map map = qm::even_map(1, 2, 1.0);
  qm::summary_engine e;
  std::vector<double> p[2];
  for (int b = 0; b < 2; ++b) {
    e.compute(qm::block_input(g, 4 * b + 1, 4), map);
    for (int q = 0; q < 3; ++q) p[b].push_back(e.qtl_frequency(q));
  }
  EXPECT_EQ(p[0], (std::vector<double>{1.0, 0.5, 1.0}));
  EXPECT_EQ(p[1], (std::vector<double>{0.0, 0.5, 0.5}));
  const std::vector<double> dv(d, d + 3);
  EXPECT_NEAR(qm::predicted_heterosis(dv, p[0], p[1]), realised, 1e-12);
  EXPECT_DOUBLE_EQ(qm::predicted_heterosis(dv, p[1], p[0]), qm::predicted_heterosis(dv, p[0], p[1]));
  EXPECT_TRUE(std::isnan(qm::heterosis(1.0, std::nan(""), 0.0)));
}

// summary.csv of a run with lines: the text column line after generation
// (NA on a row of no line), read back with the names aside and the numbers
// where they were; without lines the file has no such column and its rows
// are the numbers of summary_values.
TEST(LineStats, LineColumnWrittenAndReadBack) {
  qmtest::tempdir dir;
  const std::vector<std::string> extra = {"gv_mean_1"};
  qm::summary_row r;
  r.stage = 3;
  r.generation = 4;
  r.nind = 20;
  r.tbv_mean = {1.5};
  r.tbv_var = {0.25};
  r.phe_mean = {2.5};
  r.phe_var = {1.0};
  r.genic_var = {0.125};
  r.extra = {0.75};
  qm::summary_row s = r;
  s.line = "north";
  s.nind = 10;
  {
    qm::summary_csv csv;
    csv.open(".", 1, extra, true);
    csv.append(r);
    csv.append(s);
    csv.finish();
  }
  const std::string text = qmtest::read_file("summary.csv");
  EXPECT_EQ(text.substr(0, text.find('\n')).rfind("stage,generation,line,nind,tbv_mean_1,", 0), 0u);
  EXPECT_NE(text.find("\n3,4,NA,20,1.5,0.25,2.5,1,0.125,"), std::string::npos);
  EXPECT_NE(text.find("\n3,4,north,10,1.5,"), std::string::npos);
  const qm::summary_table t = qm::read_summary_csv("summary.csv");
  ASSERT_EQ(t.rows.size(), 2u);
  EXPECT_TRUE(t.has_lines());
  EXPECT_EQ(t.line_names, (std::vector<std::string>{"", "north"}));
  EXPECT_EQ(t.column("line"), 2);
  EXPECT_EQ(t.rows[1][static_cast<size_t>(t.column("nind"))], 10);
  EXPECT_EQ(t.rows[1][static_cast<size_t>(t.column("gv_mean_1"))], 0.75);
  EXPECT_TRUE(std::isnan(t.rows[1][2]));
  // The table made from the rows is the one read back.
  const qm::summary_table made = qm::summary_table_of({r, s}, 1, extra, true);
  EXPECT_EQ(made.header, t.header);
  EXPECT_EQ(made.line_names, t.line_names);
  for (size_t k = 0; k < made.header.size(); ++k) expect_same(made.rows[1][k], t.rows[1][k], made.header[k]);

  // Without lines: the header of summary_header and the numbers of summary_values.
  {
    qm::summary_csv csv;
    csv.open(".", 1, extra);
    csv.append(s);
    csv.finish();
  }
  std::string want;
  const std::vector<std::string> h = qm::summary_header(1, extra);
  for (size_t k = 0; k < h.size(); ++k) want += (k ? "," : "") + h[k];
  want += '\n';
  const std::vector<double> v = qm::summary_values(s);
  for (size_t k = 0; k < v.size(); ++k) {
    if (k) want += ',';
    qm::append_number(want, v[k]);
  }
  want += '\n';
  EXPECT_EQ(qmtest::read_file("summary.csv"), want);
  EXPECT_FALSE(qm::read_summary_csv("summary.csv").has_lines());
}

// The merge refuses runs with lines, naming the file, instead of averaging
// the rows of different lines of a generation together.
TEST(LineStats, MergeRefusesRunsWithLines) {
  qmtest::tempdir dir;
  const std::vector<std::string> h = qm::summary_header(1, {}, true);
  std::string head;
  for (size_t k = 0; k < h.size(); ++k) head += (k ? "," : "") + h[k];
  for (int rep = 1; rep <= 2; ++rep) {
    const std::string d = "r" + std::to_string(rep);
    ::mkdir(d.c_str(), 0755);
    qm::run_manifest m;
    m.version = "1.0.0";
    m.parameter_file = "lines.toml";
    m.parameter_file_sha256 = "ab12";
    m.seed = 1000 + rep;
    m.replicate = rep;
    m.exit_status = 0;
    qm::write_manifest(d + "/run.json", m);
    std::string s = head + "\n";
    for (const char* line : {"A", "B"}) {
      s += std::string("2,1,") + line + ",10";
      for (size_t k = 4; k < h.size(); ++k) s += ",0.5";
      s += "\n";
    }
    qmtest::write_file(d + "/summary.csv", s);
  }
  std::string message = "(no stop)";
  {
    qmtest::console_capture console;
    try {
      qm::merge_replicates({"r1", "r2"});
    } catch (const qm::run_stop&) {
      message = console.text();
    }
  }
  EXPECT_NE(message.find("merge does not yet combine runs with lines"), std::string::npos) << message;
  EXPECT_NE(message.find("r1/summary.csv"), std::string::npos) << message;
}

namespace {

// Hands every generation with files on to the summary observer as a
// generation of three lines (north: animals 1-14, south: 15-28, and their
// cross: 29-40) with selected parents inside each line's block, genotypic
// values TBV + sum of d over the animal's heterozygous QTL, and dominance
// effects d in the architecture. The run's own selected parents are put
// back after the call, so the run goes on as without it; what was handed on
// is kept.
struct handed_on {
  int stage = 0;
  std::vector<double> tbv, phenotype, genotypic;
  std::vector<int32_t> sire_of, sires, dams;
  std::vector<qm::line_in_generation> lines;
  std::vector<int8_t> alleles;  // QTL q of animal i: 2 (i - 1) nqtl + 2 (q - 1) and the next
};
struct three_lines : qm::generation_observer {
  qm::generation_observer* summary;
  std::vector<handed_on> seen;
  qm::trait_architecture arch;
  bool without_south = false;  // north 1-28 and the cross, no south
  explicit three_lines(qm::generation_observer* s, bool no_south = false) : summary(s), without_south(no_south) {}
  void on_architecture(const qm::generation_view& v) override { summary->on_architecture(v); }
  void on_generation(const qm::generation_view& v) override {
    if (!v.step.files_due || !v.architecture) return summary->on_generation(v);
    qm::population& pop = const_cast<qm::population&>(v.pop);  // the test's own run
    std::vector<int32_t> sires = pop.sires, dams = pop.dams;
    pop.lines = {{0, 1, 14, 0, 3, 0, 2}, {1, 15, 14, 3, 2, 2, 3}, {2, 29, 12, 5, 1, 5, 2}};
    if (without_south) pop.lines = {{0, 1, 28, 0, 5, 0, 5}, {2, 29, 12, 5, 1, 5, 2}};
    pop.sires = {1, 5, 11, 15, 21, 33};
    pop.dams = {2, 8, 16, 18, 28, 30, 40};
    arch = *v.architecture;
    arch.dominance.resize(arch.effects.size());
    for (size_t q = 0; q < arch.dominance.size(); ++q) arch.dominance[q] = 0.5 + 0.1 * static_cast<double>(q % 4);
    handed_on h;
    h.stage = v.step.stage;
    h.genotypic = pop.tbv;
    for (int32_t i = 1; i <= pop.nind; ++i)
      for (int32_t q = 1; q <= arch.nqtl(); ++q) {
        const int32_t l = arch.qtl_locus[static_cast<size_t>(q - 1)] - 1;
        const int8_t x = pop.candidates.allele(l, 2 * i - 2), y = pop.candidates.allele(l, 2 * i - 1);
        h.alleles.push_back(x);
        h.alleles.push_back(y);
        if (x != y) h.genotypic[static_cast<size_t>(i - 1)] += arch.dominance_effect(q, 1);
      }
    pop.genotypic = h.genotypic;
    h.tbv = pop.tbv;
    h.phenotype = pop.phenotype;
    for (const qm::parent_pair& pp : pop.parents) h.sire_of.push_back(pp.sire);
    h.sires = pop.sires;
    h.dams = pop.dams;
    h.lines = pop.lines;
    seen.push_back(h);
    const qm::generation_view w{v.step, v.params, v.map, v.pop, &arch, v.history, v.ebv, v.seed, v.index,
                                v.chip, v.contributions};
    summary->on_generation(w);
    pop.sires = sires;
    pop.dams = dams;
    pop.lines.clear();
    pop.genotypic.clear();
  }
};

double block_mean(const std::vector<double>& v, int first, int animals) {
  double s = 0;
  for (int i = first - 1; i < first - 1 + animals; ++i) s += v[static_cast<size_t>(i)];
  return s / animals;
}

}  // namespace

// A run whose generations with files are split into two lines and their
// cross: one row per generation and line, each with the statistics of its
// own animals (worked out here from the population handed on), gains from
// the line's own first generation, selection within the line, and the
// heterosis of the cross realised and predicted from the lines' QTL
// frequencies.
TEST(LineStats, SummaryRowsPerLineOfARun) {
  qmtest::tempdir dir;
  qmtest::console_capture console;
  qmtest::run_setup r(qmtest::small_par());
  r.params.lines.resize(3);
  const char* line_names[] = {"north", "south", "cross"};
  for (size_t k = 0; k < 3; ++k) r.params.lines[k].name = line_names[k];
  r.params.lines[2].crossed = true;
  r.params.lines[2].sire_line = 0;
  r.params.lines[2].dam_line = 1;
  r.params.dominance = {{0.5, 0.1}};
  for (int s : {2, 3}) r.params.stages[static_cast<size_t>(s)].block.lines = {0, 1, 2};
  auto summary = qm::make_summary_observer(qm::output_folder("."), false);
  three_lines* fwd = nullptr;
  qm::observer_list obs;
  {
    auto f = std::make_unique<three_lines>(summary.get());
    fwd = f.get();
    obs.add_every_generation(std::move(f));
  }
  summary->on_map(r.params, r.st.map);
  // The summary has seen a run with lines; the run itself mates one
  // population, and the forwarder hands the summary its three lines.
  for (int s : {2, 3}) r.params.stages[static_cast<size_t>(s)].block.lines.clear();
  for (int s = 1; s <= 3; ++s) r.run_stage(s, obs);
  summary->on_run_end(r.params, true);

  const qm::summary_table t = qm::read_summary_csv("summary.csv");
  ASSERT_EQ(fwd->seen.size(), 3u);
  ASSERT_EQ(t.rows.size(), 9u);
  EXPECT_EQ(t.column("line"), 2);
  const auto cell = [&](size_t row, const std::string& name) {
    const int c = t.column(name);
    EXPECT_GE(c, 0) << name;
    return c < 0 ? std::nan("") : t.rows[row][static_cast<size_t>(c)];
  };
  const int firsts[] = {1, 15, 29}, sizes[] = {14, 14, 12};
  const char* names[] = {"north", "south", "cross"};
  std::vector<double> first_mean(3);
  for (size_t g = 0; g < 3; ++g) {
    const handed_on& pop = fwd->seen[g];
    const qm::trait_architecture& a = fwd->arch;
    std::vector<std::vector<double>> p(3);
    std::vector<double> gv_mean(3);
    for (size_t k = 0; k < 3; ++k) {
      const size_t row = 3 * g + k;
      const int first = firsts[k], n = sizes[k];
      EXPECT_EQ(t.line_names[row], names[k]);
      EXPECT_EQ(cell(row, "nind"), n);
      const double m = block_mean(pop.tbv, first, n);
      EXPECT_NEAR(cell(row, "tbv_mean_1"), m, 1e-12);
      double ss = 0, dd = 0, dmean = 0;
      for (int i = first; i < first + n; ++i) dmean += pop.genotypic[i - 1] - pop.tbv[i - 1];
      dmean /= n;
      for (int i = first; i < first + n; ++i) {
        ss += (pop.tbv[i - 1] - m) * (pop.tbv[i - 1] - m);
        const double e = pop.genotypic[i - 1] - pop.tbv[i - 1] - dmean;
        dd += e * e;
      }
      EXPECT_NEAR(cell(row, "tbv_var_1"), ss / (n - 1), 1e-12);
      gv_mean[k] = block_mean(pop.genotypic, first, n);
      EXPECT_NEAR(cell(row, "gv_mean_1"), gv_mean[k], 1e-12);
      EXPECT_NEAR(cell(row, "dominance_var_1"), dd / (n - 1), 1e-12);
      // Gains from the line's own first generation.
      if (g == 0) first_mean[k] = m;
      EXPECT_NEAR(cell(row, "gain_1"), m - first_mean[k], 1e-12);
      if (g == 0) {
        EXPECT_TRUE(std::isnan(cell(row, "response_1")));
      }
      // QTL heterozygosity and frequencies of the block.
      double het = 0;
      for (int32_t q = 1; q <= a.nqtl(); ++q) {
        int ones = 0, h = 0;
        for (int i = first; i < first + n; ++i) {
          const size_t at = 2 * (static_cast<size_t>(i - 1) * static_cast<size_t>(a.nqtl()) + static_cast<size_t>(q - 1));
          const int8_t x = pop.alleles[at], y = pop.alleles[at + 1];
          ones += (x == 1) + (y == 1);
          h += x != y;
        }
        p[k].push_back(ones / (2.0 * n));
        het += static_cast<double>(h) / n;
      }
      EXPECT_NEAR(cell(row, "qtl_het_obs"), het / a.nqtl(), 1e-12);
      // Distinct sires of the block's animals.
      std::set<int32_t> sires;
      for (int i = first; i < first + n; ++i) sires.insert(pop.sire_of[static_cast<size_t>(i - 1)]);
      EXPECT_EQ(cell(row, "n_sires"), static_cast<double>(sires.size()));
      // Selection within the line on the stage's criterion (stage 2: TBV, stage 3: phenotype).
      const std::vector<double>& crit = pop.stage == 2 ? pop.tbv : pop.phenotype;
      const qm::line_in_generation& l = pop.lines[k];
      double chosen = 0, cand = 0;
      for (int32_t j = 0; j < l.sires; ++j) chosen += crit[static_cast<size_t>(pop.sires[l.first_sire + j] - 1)];
      chosen /= l.sires;
      for (int i = first; i < first + n; i += 2) cand += crit[static_cast<size_t>(i - 1)];
      cand /= n / 2;
      EXPECT_NEAR(cell(row, "sel_diff_sires"), chosen - cand, 1e-12) << names[k] << " generation " << g;
    }
    // Heterosis on the cross's row only.
    for (size_t k = 0; k < 2; ++k) {
      EXPECT_TRUE(std::isnan(cell(3 * g + k, "heterosis_1")));
      EXPECT_TRUE(std::isnan(cell(3 * g + k, "heterosis_predicted_1")));
    }
    EXPECT_NEAR(cell(3 * g + 2, "heterosis_1"), gv_mean[2] - (gv_mean[0] + gv_mean[1]) / 2, 1e-12);
    double predicted = 0;
    for (int32_t q = 1; q <= a.nqtl(); ++q) {
      const double y = p[0][static_cast<size_t>(q - 1)] - p[1][static_cast<size_t>(q - 1)];
      predicted += a.dominance_effect(q, 1) * y * y;
    }
    EXPECT_NEAR(cell(3 * g + 2, "heterosis_predicted_1"), predicted, 1e-12);
  }
  // The base generation's animals are not inbred: no slope of GV on F there.
  for (size_t k = 0; k < 3; ++k) EXPECT_TRUE(std::isnan(cell(k, "inbreeding_depression_1")));
  // The report draws one curve per line.
  const std::string html = qmtest::read_file("report.html");
  EXPECT_NE(html.find("line north: trait 1"), std::string::npos);
  EXPECT_NE(html.find("line cross: trait 1: realised"), std::string::npos);
  EXPECT_NE(html.find("id=\"plot-heterosis\""), std::string::npos);
  EXPECT_NE(html.find("id=\"table-glance-3\""), std::string::npos);
  if (std::system("command -v xmllint > /dev/null") == 0) {
    EXPECT_EQ(std::system("xmllint --noout report.html"), 0) << "report.html is not well-formed XML";
  }
  // The table of results has a column per line.
  EXPECT_NE(html.find("<th>line north</th><th>line south</th><th>line cross</th>"), std::string::npos);
}

// A cross whose dam line is not in the generation has no heterosis, while
// its own statistics stay; the line column names the lines present.
TEST(LineStats, HeterosisNeedsBothParentalLines) {
  qmtest::tempdir dir;
  qmtest::console_capture console;
  qmtest::run_setup r(qmtest::small_par());
  r.params.lines.resize(3);
  const char* line_names[] = {"north", "south", "cross"};
  for (size_t k = 0; k < 3; ++k) r.params.lines[k].name = line_names[k];
  r.params.lines[2].crossed = true;
  r.params.lines[2].sire_line = 0;
  r.params.lines[2].dam_line = 1;
  r.params.dominance = {{0.5, 0.1}};
  r.params.stages[2].block.lines = {0, 2};
  auto summary = qm::make_summary_observer(qm::output_folder("."), false);
  qm::observer_list obs;
  obs.add_every_generation(std::make_unique<three_lines>(summary.get(), true));
  summary->on_map(r.params, r.st.map);
  // The summary has seen a run with lines; the run itself mates one
  // population, and the forwarder hands the summary its three lines.
  for (int s : {2, 3}) r.params.stages[static_cast<size_t>(s)].block.lines.clear();
  for (int s = 1; s <= 2; ++s) r.run_stage(s, obs);
  summary->on_run_end(r.params, true);
  const qm::summary_table t = qm::read_summary_csv("summary.csv");
  ASSERT_EQ(t.rows.size(), 2u);
  EXPECT_EQ(t.line_names, (std::vector<std::string>{"north", "cross"}));
  EXPECT_EQ(t.rows[0][static_cast<size_t>(t.column("nind"))], 28);
  for (size_t k = 0; k < 2; ++k) {
    EXPECT_TRUE(std::isnan(t.rows[k][static_cast<size_t>(t.column("heterosis_1"))]));
    EXPECT_TRUE(std::isnan(t.rows[k][static_cast<size_t>(t.column("heterosis_predicted_1"))]));
    EXPECT_FALSE(std::isnan(t.rows[k][static_cast<size_t>(t.column("gv_mean_1"))]));
  }
}
