#include "stats/merge.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <functional>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "base/messages.hpp"
#include "output/manifest.hpp"
#include "support.hpp"

namespace {

// run.json as a run writes it (the manifest writer of the program).
void write_run_json(const std::string& path, const std::string& version, const std::string& sha, int seed, int rep,
                    int status) {
  qm::run_manifest m;
  m.version = version;
  m.parameter_file = "two.par";
  m.parameter_file_sha256 = sha;
  m.seed = seed;
  m.replicate = rep;
  m.exit_status = status;
  qm::write_manifest(path, m);
}

// A replicate folder with a one-trait summary of two generations; x is the
// value of tbv_mean_1 in generation 2, f_genomic is NA in generation 1.
void folder(const std::string& d, int rep, double x, const std::string& sha = "ab12", const std::string& version = "1.0.0",
            int status = 0, const std::string& header = "") {
  ::mkdir(d.c_str(), 0755);
  write_run_json(d + "/run.json", version, sha, 1000 + rep, rep, status);
  // The columns up to ld_r2_adjacent: a summary of an earlier version, from
  // which the merge works out the gains itself.
  const std::vector<std::string> h = qm::summary_header(1);
  std::string s;
  for (size_t k = 0; k < h.size() && (k == 0 || h[k - 1] != "ld_r2_adjacent"); ++k) s += (k ? "," : "") + h[k];
  s = (header.empty() ? s : header) + "\n";
  // stage,generation,nind,tbv_mean_1,tbv_var_1,phe_mean_1,phe_var_1,genic_var_1,
  // marker_het_obs,marker_het_exp,qtl_het_obs,qtl_het_exp,seg_markers,seg_qtl,f_genomic,f_pedigree,ld_r2_adjacent
  s += "2,1,100,0,1,0.5,2,1.1,0.3,0.31,0.4,0.41,900,50,NA,0,0.2\n";
  s += "3,2,100," + std::to_string(x) + ",0.9,1,2,1,0.29,0.3,0.39,0.4,899,50," + std::to_string(rep * 0.01) + ",0.01,0.21\n";
  qmtest::write_file(d + "/summary.csv", s);
}

const qm::merged_value& value(const qm::merged_replicates& m, int row, const std::string& col) {
  for (size_t c = 2; c < m.header.size(); ++c)
    if (m.header[c] == col) return m.values[static_cast<size_t>(row)][c - 2];
  throw std::runtime_error("no column " + col);
}

}  // namespace

TEST(StudentT, KnownQuantilesAndIncompleteBeta) {
  // Published two-sided 95% points.
  EXPECT_NEAR(qm::t_quantile(0.975, 2), 4.302653, 5e-7);
  EXPECT_NEAR(qm::t_quantile(0.975, 9), 2.262157, 5e-7);
  EXPECT_NEAR(qm::t_quantile(0.975, 29), 2.045230, 5e-7);
  // Closed forms: df = 1 is the Cauchy distribution, df = 2 has
  // t = (2p - 1) / sqrt(2 p (1 - p)).
  for (double p : {0.6, 0.9, 0.975, 0.995}) {
    EXPECT_NEAR(qm::t_quantile(p, 1), std::tan(std::numbers::pi * (p - 0.5)), 1e-9 * std::tan(std::numbers::pi * (p - 0.5)));
    EXPECT_NEAR(qm::t_quantile(p, 2), (2 * p - 1) / std::sqrt(2 * p * (1 - p)), 1e-10);
    EXPECT_DOUBLE_EQ(qm::t_quantile(1 - p, 7), -qm::t_quantile(p, 7));
  }
  EXPECT_NEAR(qm::t_quantile(0.975, 1e7), 1.959963985, 1e-6);  // the normal quantile
  EXPECT_EQ(qm::t_quantile(0.5, 3), 0.0);
  EXPECT_TRUE(std::isnan(qm::t_quantile(1.0, 3)));
  EXPECT_TRUE(std::isnan(qm::t_quantile(0.9, 0)));
  // I_x(a, 1) = x^a, I_x(1, b) = 1 - (1 - x)^b, I_1/2(a, a) = 1/2.
  EXPECT_NEAR(qm::incomplete_beta(3.5, 1, 0.3), std::pow(0.3, 3.5), 1e-15);
  EXPECT_NEAR(qm::incomplete_beta(1, 4.5, 0.7), 1 - std::pow(0.3, 4.5), 1e-14);
  EXPECT_NEAR(qm::incomplete_beta(7.25, 7.25, 0.5), 0.5, 1e-14);
}

TEST(Merge, MeansSdAndIntervalsByHand) {
  qmtest::tempdir dir;
  folder("rep-1", 1, 1.0);
  folder("rep-2", 2, 2.0);
  folder("rep-10", 10, 4.0);
  const qm::merged_replicates m = qm::merge_replicates({"rep-10", "rep-2", "rep-1"});
  ASSERT_EQ(m.runs.size(), 3u);
  EXPECT_EQ(m.runs[0].folder, "rep-1");  // in replicate order
  EXPECT_EQ(m.runs[2].folder, "rep-10");
  ASSERT_EQ(m.keys.size(), 2u);
  EXPECT_EQ(m.keys[1], std::make_pair(3, 2));
  EXPECT_EQ(m.replicates, (std::vector<int>{3, 3}));
  // 1, 2, 4: mean 7/3, sd sqrt(7/3), interval mean -/+ 4.302653 sd / sqrt(3).
  const qm::merged_value& v = value(m, 1, "tbv_mean_1");
  EXPECT_EQ(v.n, 3);
  EXPECT_NEAR(v.mean, 7.0 / 3, 1e-15);
  EXPECT_NEAR(v.sd, std::sqrt(7.0 / 3), 1e-15);
  EXPECT_NEAR(v.ci_low, 7.0 / 3 - 4.302653 * std::sqrt(7.0 / 3) / std::sqrt(3.0), 1e-6);
  EXPECT_NEAR(v.ci_high, 7.0 / 3 + 4.302653 * std::sqrt(7.0 / 3) / std::sqrt(3.0), 1e-6);
  // The same value everywhere: sd 0, interval the mean itself.
  const qm::merged_value& c = value(m, 0, "genic_var_1");
  EXPECT_DOUBLE_EQ(c.mean, 1.1);
  EXPECT_EQ(c.sd, 0.0);
  EXPECT_EQ(c.ci_low, 1.1);
  // NA everywhere in generation 1.
  EXPECT_EQ(value(m, 0, "f_genomic").n, 0);

  const std::string csv = qm::replicates_csv(m);
  EXPECT_EQ(csv.substr(0, csv.find('\n')), "stage,generation,column,n,mean,sd,ci_low,ci_high");
  EXPECT_NE(csv.find("\n2,1,f_genomic,0,NA,NA,NA,NA\n"), std::string::npos);
  EXPECT_NE(csv.find("\n2,1,nind,3,100,0,100,100\n"), std::string::npos);
  // 15 columns of the summary and the 11 the merge works out from them
  // (gain, gain_sd and response of the trait; delta_f and ne, pedigree and
  // genomic, per generation and over the stage).
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 1 + 2 * (15 + 11));
  // The order of the folders on the command line does not matter.
  EXPECT_EQ(qm::replicates_csv(qm::merge_replicates({"rep-1", "rep-10", "rep-2"})), csv);

  // Two replicates with one value missing: n counts values, not folders.
  std::vector<double> x = {1.0, std::nan(""), 3.0};
  const qm::merged_value w = qm::merge_values(x);
  EXPECT_EQ(w.n, 2);
  EXPECT_DOUBLE_EQ(w.mean, 2.0);
  EXPECT_NEAR(w.ci_high, 2.0 + 12.706204736 * std::sqrt(2.0) / std::sqrt(2.0), 1e-6);
  EXPECT_TRUE(std::isnan(qm::merge_values({5.0}).sd));
}

// A replicate folder of four generations (stages 2 and 3) written in full by
// the summary writer: tbv_mean_1 is level + 0, 1, 3, 4 times scale, the
// variances, inbreeding and heterozygosities vary with the replicate.
void gains_folder(const std::string& d, int rep, double level, double scale) {
  ::mkdir(d.c_str(), 0755);
  write_run_json(d + "/run.json", "1.0.0", "ab12", 2000 + rep, rep, 0);
  std::vector<qm::summary_row> rows;
  const double steps[] = {0, 1, 3, 4};
  for (int g = 1; g <= 4; ++g) {
    qm::summary_row r;
    r.stage = g == 1 ? 2 : 3;
    r.generation = g;
    r.nind = 100;
    r.tbv_mean = {level + scale * steps[g - 1]};
    r.tbv_var = {scale * scale * (1.0 - 0.1 * g)};
    r.phe_mean = {level + scale * steps[g - 1]};
    r.phe_var = {3.0};
    r.genic_var = {0.02 * rep};
    r.marker_het_obs = r.marker_het_exp = 0.01 * rep;
    r.qtl_het_obs = r.qtl_het_exp = 0.3;
    r.f_pedigree = 0.004 * rep * (g - 1);
    r.f_genomic = 0.01 * (g - 1);
    r.ld_r2_adjacent = 0.2;
    r.accuracy = {0.97 + 0.01 * rep};
    rows.push_back(r);
  }
  const qm::summary_table t = qm::summary_table_of(rows, 1);
  std::string s;
  for (size_t k = 0; k < t.header.size(); ++k) s += (k ? "," : "") + t.header[k];
  s += '\n';
  for (const std::vector<double>& r : t.rows) {
    for (size_t k = 0; k < r.size(); ++k) {
      if (k) s += ',';
      qm::append_number(s, r[k]);
    }
    s += '\n';
  }
  qmtest::write_file(d + "/summary.csv", s);
}

// Breeding values are deviations from the heterozygote: each replicate
// starts from a level of its own. The merge works out each replicate's gains
// from its own base, so levels that differ by a constant give the same
// merged gains (and a narrow band) as replicates that start at one level.
TEST(Merge, GainsWithinEachReplicateWhateverItsLevel) {
  qmtest::tempdir dir;
  gains_folder("same-1", 1, 0.0, 1.0);
  gains_folder("same-2", 2, 0.0, 1.1);
  gains_folder("same-3", 3, 0.0, 0.9);
  gains_folder("own-1", 1, 0.10, 1.0);
  gains_folder("own-2", 2, 1.27, 1.1);
  gains_folder("own-3", 3, 2.76, 0.9);
  const qm::merged_replicates a = qm::merge_replicates({"same-1", "same-2", "same-3"});
  const qm::merged_replicates b = qm::merge_replicates({"own-1", "own-2", "own-3"});
  for (const char* col : {"gain_1", "gain_sd_1", "response_1", "delta_f_pedigree", "ne_pedigree"})
    for (int r = 0; r < 4; ++r) {
      const qm::merged_value& x = value(a, r, col);
      const qm::merged_value& y = value(b, r, col);
      EXPECT_EQ(x.n, y.n) << col;
      if (std::isnan(x.mean)) {
        EXPECT_TRUE(std::isnan(y.mean)) << col;
        continue;
      }
      EXPECT_NEAR(x.mean, y.mean, 1e-12) << col << " " << r;
      EXPECT_NEAR(x.ci_low, y.ci_low, 1e-12) << col << " " << r;
      EXPECT_NEAR(x.ci_high, y.ci_high, 1e-12) << col << " " << r;
    }
  // Gains by hand: generation 4 gained 4 x scale, 4 x 1.0 on average; in
  // SD of the base (scale x sqrt(0.9)) that is 4 / sqrt(0.9) in every replicate.
  EXPECT_NEAR(value(b, 3, "gain_1").mean, 4.0, 1e-12);
  EXPECT_NEAR(value(b, 3, "gain_sd_1").mean, 4.0 / std::sqrt(0.9), 1e-12);
  EXPECT_NEAR(value(b, 3, "gain_sd_1").ci_high - value(b, 3, "gain_sd_1").ci_low, 0.0, 1e-12);
  // The raw means are as far apart as the levels: a band there would hide the gain.
  EXPECT_GT(value(b, 0, "tbv_mean_1").sd, 1.0);
  // Each replicate's own rows and results go to the report.
  ASSERT_EQ(b.replicate_rows.size(), 3u);
  ASSERT_EQ(b.headlines.size(), 3u);
  const qm::replicate_report rep = qm::replicate_report_of(b);
  EXPECT_EQ(rep.replicates.size(), 3u);
  ASSERT_FALSE(rep.headline.empty());
  EXPECT_EQ(rep.headline.front().key, "total_gain_sd_1");
  EXPECT_NEAR(rep.headline.front().mean, 4.0 / std::sqrt(0.9), 1e-12);
  const std::string html = qm::render_replicate_report(rep);
  EXPECT_NE(html.find("id=\"table-headline\""), std::string::npos);
  EXPECT_NE(html.find("class=\"thin\""), std::string::npos);
  EXPECT_LT(html.find("id=\"plot-gain\""), html.find("id=\"plot-genetic-trend\""));
}

// Intervals that cannot leave the range of their values.
TEST(Merge, IntervalsStayWithinTheRangeOfTheirValues) {
  // Three small variances and a large one: the plain interval goes below 0.
  const std::vector<double> var = {0.01, 0.02, 0.01, 3.0};
  const qm::merged_value plain = qm::merge_values(var);
  ASSERT_LT(plain.ci_low, 0.0);
  const qm::merged_value pos = qm::merge_values(var, qm::value_range::positive);
  EXPECT_EQ(pos.mean, plain.mean);
  EXPECT_EQ(pos.sd, plain.sd);
  EXPECT_GT(pos.ci_low, 0.0);
  EXPECT_LT(pos.ci_low, pos.mean);
  EXPECT_GT(pos.ci_high, pos.mean);
  // On the log scale by the delta method: mean x exp(-/+ half / mean).
  const double half = plain.ci_high - plain.mean;
  EXPECT_NEAR(pos.ci_low, plain.mean * std::exp(-half / plain.mean), 1e-12);
  EXPECT_NEAR(pos.ci_high, plain.mean * std::exp(half / plain.mean), 1e-12);
  // Proportions stay within [0, 1], correlations within [-1, 1].
  const qm::merged_value p = qm::merge_values({0.001, 0.0, 0.05}, qm::value_range::proportion);
  EXPECT_GT(p.ci_low, 0.0);
  EXPECT_LT(p.ci_high, 1.0);
  const qm::merged_value r = qm::merge_values({0.99, 0.999, 0.8}, qm::value_range::correlation);
  EXPECT_LT(r.ci_high, 1.0);
  EXPECT_GT(r.ci_low, -1.0);
  EXPECT_LT(r.ci_low, r.mean);
  // All on the edge: the edge itself.
  const qm::merged_value z = qm::merge_values({0.0, 0.0, 0.0}, qm::value_range::positive);
  EXPECT_EQ(z.ci_low, 0.0);
  EXPECT_EQ(z.ci_high, 0.0);
  // A value outside the range (a negative "variance"): the plain interval.
  const qm::merged_value o = qm::merge_values({-1.0, 2.0, 3.0}, qm::value_range::positive);
  EXPECT_EQ(o.ci_low, qm::merge_values({-1.0, 2.0, 3.0}).ci_low);
  // Which columns have which range.
  EXPECT_EQ(qm::range_of_column("tbv_var_2"), qm::value_range::positive);
  EXPECT_EQ(qm::range_of_column("ne_pedigree_stage"), qm::value_range::positive);
  EXPECT_EQ(qm::range_of_column("f_pedigree"), qm::value_range::proportion);
  EXPECT_EQ(qm::range_of_column("accuracy_1"), qm::value_range::correlation);
  EXPECT_EQ(qm::range_of_column("f_genomic"), qm::value_range::any);  // may be below 0
  EXPECT_EQ(qm::range_of_column("gain_1"), qm::value_range::any);
}

TEST(Merge, WelchDifferenceByHandAndASchemeAgainstItself) {
  // a: mean 2, var 1; b: mean 5, var 20/3. se^2 = 1/3 + 5/3 = 2;
  // df = 4 / ((1/3)^2 / 2 + (5/3)^2 / 3) = 216 / 53.
  const qm::comparison_row w = qm::welch_difference({1, 2, 3}, {2, 4, 6, 8});
  EXPECT_EQ(w.difference, -3.0);
  EXPECT_NEAR(w.df, 216.0 / 53, 1e-12);
  const double half = qm::t_quantile(0.975, 216.0 / 53) * std::sqrt(2.0);
  EXPECT_GT(half / std::sqrt(2.0), 2.570582);  // between t(0.975, 5) and t(0.975, 4)
  EXPECT_LT(half / std::sqrt(2.0), 2.776445);
  EXPECT_NEAR(w.ci_low, -3.0 - half, 1e-12);
  EXPECT_NEAR(w.ci_high, -3.0 + half, 1e-12);
  EXPECT_TRUE(std::isnan(qm::welch_difference({1}, {2, 3}).ci_low));

  qmtest::tempdir dir;
  gains_folder("a-1", 1, 0.1, 1.0);
  gains_folder("a-2", 2, 1.2, 1.3);
  gains_folder("a-3", 3, 2.4, 0.8);
  const qm::merged_replicates m = qm::merge_replicates({"a-1", "a-2", "a-3"});
  const std::vector<qm::comparison_row> rows = qm::compare_schemes(m, m);
  ASSERT_EQ(rows.size(), m.headlines.front().size());
  int with_interval = 0;
  for (const qm::comparison_row& r : rows) {
    if (std::isnan(r.ci_low)) continue;
    ++with_interval;
    EXPECT_EQ(r.difference, 0.0) << r.key;
    EXPECT_LE(r.ci_low, 0.0) << r.key;
    EXPECT_GE(r.ci_high, 0.0) << r.key;
  }
  EXPECT_GT(with_interval, 5);
  const std::string csv = qm::compare_csv(rows);
  EXPECT_EQ(csv.substr(0, csv.find('\n')), "key,n_a,mean_a,sd_a,n_b,mean_b,sd_b,difference,ci_low,ci_high,df");
  EXPECT_NE(csv.find("\ntotal_gain_sd_1,3,"), std::string::npos);
}

TEST(Merge, CommandWritesTableReportAndLd) {
  qmtest::tempdir dir;
  folder("a", 1, 1.0);
  folder("b", 2, 3.0);
  qm::ld_decay d;
  d.stage = 3;
  d.generation = 2;
  d.bin_cm = 1.0;
  d.pairs = {10, 8};
  d.mean_r2 = {0.4, 0.2};
  qm::write_ld_decay_csv("a/ld_decay.csv", d);
  d.mean_r2 = {0.6, 0.2};
  qm::write_ld_decay_csv("b/ld_decay.csv", d);
  ::mkdir("out", 0755);
  qm::merge_command({"a", "b"}, "out");
  EXPECT_TRUE(qmtest::file_exists("out/replicates.csv"));
  EXPECT_FALSE(qmtest::file_exists("out/replicates.csv.part"));
  const std::string ld = qmtest::read_file("out/replicates_ld.csv");
  EXPECT_NE(ld.find("\n0,1,2,0.5,"), std::string::npos);
  EXPECT_NE(ld.find("\n1,2,2,0.2,0,0.2,0.2\n"), std::string::npos);
  const std::string html = qmtest::read_file("out/report.html");
  EXPECT_EQ(std::system("xmllint --noout out/report.html"), 0);
  EXPECT_NE(html.find("id=\"plot-genetic-trend\""), std::string::npos);
  EXPECT_NE(html.find("class=\"band\""), std::string::npos);
  EXPECT_NE(html.find("class=\"bar\""), std::string::npos);
  EXPECT_NE(html.find("2 replicates of two.par"), std::string::npos);
}

TEST(Merge, RefusesFoldersThatDoNotBelongTogether) {
  qmtest::tempdir dir;
  qmtest::console_capture console;
  folder("r1", 1, 1.0);
  folder("r2", 2, 2.0);
  folder("sha", 3, 2.0, "ffff");
  folder("ver", 4, 2.0, "ab12", "1.1.0");
  folder("bad", 5, 2.0, "ab12", "1.0.0", 1);
  folder("hdr", 6, 2.0, "ab12", "1.0.0", 0, "stage,generation,nind,tbv_mean_1,tbv_var_1,phe_mean_1,phe_var_1,genic_var_1,"
         "marker_het_obs,marker_het_exp,qtl_het_obs,qtl_het_exp,seg_markers,seg_qtl,f_genomic,f_pedigree,ld_r2_x");
  ::mkdir("empty", 0755);
  auto refused = [&](const std::vector<std::string>& f, const std::vector<std::string>& words) {
    const size_t before = console.text().size();
    EXPECT_THROW(qm::merge_replicates(f), qm::run_stop);
    const std::string msg = console.text().substr(before);
    for (const std::string& w : words) EXPECT_NE(msg.find(w), std::string::npos) << "'" << w << "' not in: " << msg;
  };
  refused({"r1", "sha"}, {"different parameter files", "r1", "sha", "ab12", "ffff"});
  refused({"r1", "r2", "ver"}, {"different program versions", "ver", "1.1.0"});
  refused({"r1", "bad"}, {"did not end normally", "bad (exit status 1)"});
  refused({"r1", "hdr"}, {"headers of r1 and hdr differ", "ld_r2_adjacent against ld_r2_x"});
  refused({"r1", "r1"}, {"same run", "seed 1001"});
  refused({"r1", "empty"}, {"empty has no readable run.json"});
  refused({}, {"merge needs the folders"});
  qmtest::write_file("empty/run.json", "{\"version\": \"1.0.0\"");
  refused({"empty"}, {"empty/run.json cannot be read"});
  qmtest::write_file("empty/run.json", "{\"version\": \"1.0.0\", \"parameter_file\": \"x\", \"parameter_file_sha256\": \"y\"}");
  refused({"empty"}, {"empty/run.json cannot be read", "not found"});
  // A well-formed pair still merges.
  EXPECT_EQ(qm::merge_replicates({"r1", "r2"}).runs.size(), 2u);
}

namespace {

// The message of the stop that f makes ("(no stop)" when it makes none).
std::string stop_message(const std::function<void()>& f) {
  qmtest::console_capture console;
  try {
    f();
  } catch (const qm::run_stop&) {
    return console.text();
  }
  return "(no stop)";
}

// Replaces the first occurrence of from in text by to.
std::string with(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

}  // namespace

// A summary damaged on the way, against two intact ones: the merge stops
// naming the file and the line (or the generation missing), whichever
// folder is damaged, instead of merging a made-up generation or counting a
// row twice.
TEST(Merge, RefusesDamagedSummariesNamingFileAndLine) {
  qmtest::tempdir dir;
  folder("r1", 1, 1.0);
  folder("r2", 2, 2.0);
  folder("r3", 3, 4.0);
  const std::string good = qmtest::read_file("r2/summary.csv");
  const std::string row2 = good.substr(good.find("\n2,1,") + 1, good.find("\n3,2,") - good.find("\n2,1,"));
  const std::string row3 = good.substr(good.find("\n3,2,") + 1);
  ASSERT_EQ(good.substr(good.find('\n') + 1), row2 + row3);
  const std::string h = good.substr(0, good.find('\n') + 1);
  const std::pair<std::string, std::string> cases[] = {
      {with(good, "\n3,2,", "\nNA,2,"), "r2/summary.csv, line 3: stage is NA, not a whole number from 1 to 2147483647"},
      {with(good, "\n3,2,", "\n1e10,2,"), "r2/summary.csv, line 3: stage is 1e+10, not a whole number from 1 to 2147483647"},
      {with(good, "\n3,2,", "\n0,2,"), "r2/summary.csv, line 3: stage is 0, not a whole number"},
      {with(good, "\n3,2,", "\n3,2.5,"), "r2/summary.csv, line 3: generation is 2.5, not a whole number from -2147483648"},
      {with(good, "\n3,2,", "\n3,-2147483649,"), "line 3: generation is -2147483649, not a whole number"},
      {with(good, "\n3,2,", "\n3,inf,"), "line 3: generation is inf, not a whole number"},
      {h + row2 + row3 + row3, "r2/summary.csv, line 4: stage 3, generation 2 again (line 3 has it)"},
      {h + row2 + row2 + row3, "r2/summary.csv, line 3: stage 2, generation 1 again (line 2 has it)"},
      {h + row2, "r2/summary.csv has no row for stage 3, generation 2 (r1/summary.csv has it, line 3)"},
      {h + row2 + row3 + with(row3, "3,2,", "3,3,"), "r2/summary.csv, line 4: stage 3, generation 3 is not in r1/summary.csv"},
      {with(good, ",0.9,", ",abc,"), "r2/summary.csv, line 3: \"abc\" in column tbv_var_1 is not a number"},
      {with(good, ",0.9,", ",nan,"), "r2/summary.csv, line 3: \"nan\" in column tbv_var_1 is not a number"},
      {with(good, ",0.9,", ",,"), "r2/summary.csv, line 3: \"\" in column tbv_var_1 is not a number"},
      {with(good, ",0.9,", ",0.9,1,"), "r2/summary.csv, line 3: 18 values for 17 columns"},
      {good.substr(0, good.size() - 1), "r2/summary.csv, line 3 does not end: the file is cut short"},
      {good.substr(0, good.size() - 7), "r2/summary.csv, line 3 does not end: the file is cut short"},
      {with(good, "ld_r2_adjacent", "ld_r2"), "headers of r1 and r2 differ at column 17 (ld_r2_adjacent against ld_r2 in r2/summary.csv, line 1)"},
      {"", "r2/summary.csv is empty"},
  };
  for (const auto& [text, message] : cases) {
    qmtest::write_file("r2/summary.csv", text);
    const std::string got = stop_message([] { qm::merge_replicates({"r3", "r2", "r1"}); });
    EXPECT_NE(got.find(message), std::string::npos) << "expected: " << message << "\ngot: " << got;
  }
  // The first folder is the one compared with: a summary lacking a
  // generation there is found at the other's row.
  qmtest::write_file("r2/summary.csv", good);
  qmtest::write_file("r1/summary.csv", h + row2);
  EXPECT_NE(stop_message([] { qm::merge_replicates({"r1", "r2", "r3"}); })
                .find("r2/summary.csv, line 3: stage 3, generation 2 is not in r1/summary.csv"),
            std::string::npos);
  // Columns named twice or not at all.
  qmtest::write_file("r1/summary.csv", with(good, "ld_r2_adjacent", "f_pedigree"));
  EXPECT_NE(stop_message([] { qm::merge_replicates({"r1", "r2"}); })
                .find("r1/summary.csv, line 1: columns 16 and 17 are both f_pedigree"),
            std::string::npos);
  qmtest::write_file("r1/summary.csv", with(good, ",ld_r2_adjacent", ","));
  EXPECT_NE(stop_message([] { qm::merge_replicates({"r1", "r2"}); }).find("r1/summary.csv, line 1: column 17 has no name"),
            std::string::npos);
  // The files restored, the same folders merge, and nothing was written by the refusals.
  folder("r1", 1, 1.0);
  EXPECT_EQ(qm::merge_replicates({"r1", "r2", "r3"}).replicates, (std::vector<int>{3, 3}));
  EXPECT_FALSE(qmtest::file_exists("replicates.csv"));
  EXPECT_FALSE(qmtest::file_exists("report.html"));
}

// What the writers write reads back: generation numbers that print in
// exponent form (1e+06), NA, an infinite value; and a damaged LD decay file
// is refused like a summary.
TEST(Merge, WholeNumbersAsTheWritersPrintThemAndTheLdDecayChecked) {
  qmtest::tempdir dir;
  for (int rep : {1, 2}) {
    const std::string d = "g" + std::to_string(rep);
    ::mkdir(d.c_str(), 0755);
    write_run_json(d + "/run.json", "1.0.0", "ab12", 2000 + rep, rep, 0);
    qm::summary_csv csv;
    csv.open(d, 1);
    for (int g : {-5, 1000000, 2147483647}) {
      qm::summary_row r;
      r.stage = g < 0 ? 1 : 100000;
      r.generation = g;
      r.nind = 10;
      r.tbv_mean = {rep == 1 ? std::numeric_limits<double>::infinity() : 1.0};
      r.tbv_var = r.phe_mean = r.phe_var = r.genic_var = {0.5};
      r.f_genomic = std::nan("");
      csv.append(r);
    }
    csv.finish();
  }
  const std::string text = qmtest::read_file("g1/summary.csv");
  EXPECT_NE(text.find("\n1e+05,1e+06,10,inf,"), std::string::npos) << text;
  EXPECT_NE(text.find("\n1e+05,2147483647,"), std::string::npos) << text;
  const qm::merged_replicates m = qm::merge_replicates({"g1", "g2"});
  EXPECT_EQ(m.keys, (std::vector<std::pair<int, int>>{{1, -5}, {100000, 1000000}, {100000, 2147483647}}));
  EXPECT_EQ(value(m, 1, "tbv_mean_1").mean, std::numeric_limits<double>::infinity());
  EXPECT_EQ(value(m, 1, "f_genomic").n, 0);

  qm::ld_decay d;
  d.stage = 3;
  d.generation = 2;
  d.pairs = {10, 8};
  d.mean_r2 = {0.4, std::nan("")};
  qm::write_ld_decay_csv("ld.csv", d);
  const std::string ld = qmtest::read_file("ld.csv");
  EXPECT_EQ(qm::read_ld_decay_csv("ld.csv").pairs, d.pairs);
  const std::pair<std::string, std::string> cases[] = {
      {with(ld, "\n3,2,1,2,8,", "\n3,2,1,2,NA,"), "ld.csv, line 3: pairs is NA, not a whole number from 0"},
      {with(ld, "\n3,2,1,2,8,", "\n3,2,1,2,-8,"), "ld.csv, line 3: pairs is -8, not a whole number from 0"},
      {with(ld, "\n3,2,0,", "\nNA,2,0,"), "ld.csv, line 2: stage is NA, not a whole number"},
      {with(ld, "\n3,2,1,2,", "\n3,1,1,2,"), "ld.csv, line 3: the LD decay of another generation than that of line 2"},
      {with(ld, "\n3,2,1,2,", "\n3,2,1,NA,"), "ld.csv, line 3: the bin bounds are not numbers"},
  };
  for (const auto& [bad, message] : cases) {
    qmtest::write_file("ld.csv", bad);
    const std::string got = stop_message([] { qm::read_ld_decay_csv("ld.csv"); });
    EXPECT_NE(got.find(message), std::string::npos) << "expected: " << message << "\ngot: " << got;
  }
}

// Files that are not what their names say are refused without being read:
// a folder, a file beyond its size limit (sparse: nothing of it is on the
// disk), a device in place of ld_decay.csv. Pipes, which could block the
// test, and devices in place of summary.csv and run.json are tried through
// the program with a time limit (tests/main/merge_run_test.cpp).
TEST(Merge, ReadsOnlyRegularFilesWithinTheirLimits) {
  qmtest::tempdir dir;
  folder("r1", 1, 1.0);
  folder("r2", 2, 2.0);
  auto refusal = [](const std::vector<std::string>& f) { return stop_message([&] { qm::merge_replicates(f); }); };
  const std::string summary = qmtest::read_file("r2/summary.csv"), run = qmtest::read_file("r2/run.json");
  ::unlink("r2/summary.csv");
  ASSERT_EQ(::mkdir("r2/summary.csv", 0755), 0);
  EXPECT_NE(refusal({"r1", "r2"}).find("File r2/summary.csv is a folder, not a regular file"), std::string::npos);
  ::rmdir("r2/summary.csv");
  qmtest::write_file("r2/summary.csv", summary);
  ASSERT_EQ(::truncate("r2/summary.csv", static_cast<off_t>(qm::max_summary_file_bytes) + 1), 0);
  EXPECT_NE(refusal({"r1", "r2"}).find("File r2/summary.csv has 67108865 bytes, more than the limit of 64 MiB"),
            std::string::npos);
  qmtest::write_file("r2/summary.csv", summary);

  ASSERT_EQ(::truncate("r2/run.json", static_cast<off_t>(qm::max_run_json_bytes) + 1), 0);
  EXPECT_NE(refusal({"r1", "r2"}).find("File r2/run.json has 33554433 bytes, more than the limit of 32 MiB"),
            std::string::npos);
  // A run.json whose exit status wraps to 0 as a 32-bit number is no normal end.
  qmtest::write_file("r2/run.json", with(run, "\"exit_status\": 0", "\"exit_status\": 4294967296"));
  EXPECT_NE(refusal({"r1", "r2"}).find("\"exit_status\" is 4294967296, not a whole number"), std::string::npos);
  qmtest::write_file("r2/run.json", run);

  ::unlink("r2/ld_decay.csv");
  ASSERT_EQ(::symlink("/dev/zero", "r1/ld_decay.csv"), 0);
  ASSERT_EQ(::symlink("/dev/zero", "r2/ld_decay.csv"), 0);
  EXPECT_NE(refusal({"r1", "r2"}).find("File r1/ld_decay.csv is a device, not a regular file"), std::string::npos);
  ::unlink("r1/ld_decay.csv");
  EXPECT_EQ(qm::merge_replicates({"r1", "r2"}).runs.size(), 2u);  // one folder without it: no LD decay merged
}
