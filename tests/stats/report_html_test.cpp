#include "stats/report_html.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "support.hpp"

namespace {

// A run of two traits over six generations; f_genomic is NA in the first.
qm::run_report sample_run() {
  qm::run_report r;
  r.title = "Run <two_traits.par> & more";
  r.summary.header = qm::summary_header(2);
  for (int g = 1; g <= 6; ++g) {
    std::vector<double> v = {g == 1 ? 2.0 : 3.0, double(g), 400};
    for (int t = 1; t <= 2; ++t)
      for (double x : {0.3 * g * t, 1.0 * t - 0.05 * g, 0.3 * g * t + 0.1, 3.0 * t, 1.1 * t - 0.04 * g}) v.push_back(x);
    for (double x : {0.3 - 0.01 * g, 0.31 - 0.01 * g, 0.4 - 0.02 * g, 0.41 - 0.02 * g, 900.0 - g, 50.0 - g,
                     g == 1 ? std::nan("") : 0.02 * g, 0.015 * g, 0.1 + 0.01 * g})
      v.push_back(x);
    // The results of the scheme: gains of 0.3 g t in SD units, accuracy,
    // intensities, parents, inbreeding rates.
    for (int t = 1; t <= 2; ++t)
      for (double x : {0.3 * (g - 1) * t, 0.3 * (g - 1) * t, g == 1 ? std::nan("") : 0.3 * t, 0.5 + 0.01 * g})
        v.push_back(x);
    for (double x : {1.0, 0.5, 1.4, 0.8, 0.2, 20.0, 40.0, 30.0, 12.0, g == 1 ? std::nan("") : 0.015,
                     g == 1 ? std::nan("") : 0.02, g == 1 ? std::nan("") : 33.3, g == 1 ? std::nan("") : 25.0,
                     g == 6 ? 0.015 : std::nan(""), g == 6 ? 0.02 : std::nan(""), g == 6 ? 33.3 : std::nan(""),
                     g == 6 ? 25.0 : std::nan(""), double(g), 0.0, double(g), 1.0})
      v.push_back(x);
    r.summary.rows.push_back(v);
  }
  r.qtl.qtl = {4, 9};
  r.qtl.effect = {0.8, -0.5};
  r.qtl.generation = {1, 2, 3, 4, 5, 6};
  r.qtl.frequency = {{0.5, 0.6, 0.7, 0.8, 0.9, 1.0}, {0.5, 0.4, 0.3, 0.3, 0.2, 0.1}};
  r.ld.stage = 3;
  r.ld.generation = 6;
  r.ld.bin_cm = 1.0;
  for (int b = 0; b < 20; ++b) {
    r.ld.pairs.push_back(100 - b);
    r.ld.mean_r2.push_back(0.3 * std::exp(-0.2 * b));
  }
  r.genetics.ntrait = 2;
  r.genetics.additive_cov = {1, 0.42, 0.42, 2};
  r.genetics.additive_cor = {1, 0.3, 0.3, 1};
  r.genetics.residual_cov = {2.3, 0.1, 0.1, 4.6};
  r.genetics.h2 = {0.3, 0.3};
  r.settings = {{"parameter file", "two_traits.par"}, {"seed", "20261207"}, {"note", "a<b & \"c\""}};
  return r;
}

// Checks that text parses as XML, has the plots and refers to nothing outside.
void self_contained_xml(const std::string& html) {
  qmtest::tempdir dir;
  qmtest::write_file("report.html", html);
  EXPECT_EQ(std::system("xmllint --noout report.html"), 0) << "report.html is not well-formed XML";
  for (const char* id : {"plot-genetic-trend", "plot-variance", "plot-heterozygosity", "plot-inbreeding",
                         "plot-ld-adjacent", "plot-ld-decay", "table-settings"})
    EXPECT_NE(html.find(std::string("id=\"") + id + "\""), std::string::npos) << id;
  EXPECT_NE(html.find("<svg"), std::string::npos);
  EXPECT_EQ(html.find("http"), std::string::npos);
  EXPECT_EQ(html.find("src="), std::string::npos);
  EXPECT_EQ(html.find("url("), std::string::npos);
  EXPECT_EQ(html.find("@import"), std::string::npos);
  EXPECT_EQ(html.find("<script"), std::string::npos);
  const std::regex href("href=\"([^\"]*)\"");
  for (auto it = std::sregex_iterator(html.begin(), html.end(), href); it != std::sregex_iterator(); ++it)
    EXPECT_EQ((*it)[1].str().substr(0, 1), "#") << (*it)[0];
}

// The points of the first polyline inside the figure with the given id.
std::vector<std::pair<double, double>> first_line(const std::string& html, const std::string& id) {
  const size_t f = html.find("id=\"" + id + "\"");
  const size_t p = html.find("points=\"", html.find("<polyline", f)) + 8;
  const std::string pts = html.substr(p, html.find('"', p) - p);
  std::vector<std::pair<double, double>> v;
  const std::regex xy("(-?[0-9.]+),(-?[0-9.]+)");
  for (auto it = std::sregex_iterator(pts.begin(), pts.end(), xy); it != std::sregex_iterator(); ++it)
    v.push_back({std::stod((*it)[1]), std::stod((*it)[2])});
  return v;
}

}  // namespace

TEST(ReportHtml, RunReportIsSelfContainedXmlWithEveryPlot) {
  const qm::run_report r = sample_run();
  const std::string html = qm::render_run_report(r);
  self_contained_xml(html);
  EXPECT_NE(html.find("id=\"table-genetic\""), std::string::npos);
  EXPECT_NE(html.find("Run &lt;two_traits.par&gt; &amp; more"), std::string::npos);
  EXPECT_NE(html.find("a&lt;b &amp; &quot;c&quot;"), std::string::npos);
  // Axis labels with units.
  for (const char* label : {"generation", "mean (trait units)", "marker distance (cM)", "inbreeding coefficient (0-1)"})
    EXPECT_NE(html.find(std::string(">") + label + "<"), std::string::npos) << label;
  // The genetic trend of trait 1 has one point per generation, left to right,
  // rising upwards on the page (the mean rises).
  const auto pts = first_line(html, "plot-genetic-trend");
  ASSERT_EQ(pts.size(), 6u);
  for (size_t k = 1; k < pts.size(); ++k) {
    EXPECT_GT(pts[k].first, pts[k - 1].first);
    EXPECT_LT(pts[k].second, pts[k - 1].second);
  }
  // A value that is NA starts the line later: genomic inbreeding has 5 points.
  const size_t f = html.find("id=\"plot-inbreeding\"");
  const size_t second = html.find("<polyline", html.find("<polyline", f) + 1);
  const std::string pts2 = html.substr(second, html.find("/>", second) - second);
  EXPECT_EQ(std::count(pts2.begin(), pts2.end(), ','), 5);
  EXPECT_EQ(first_line(html, "plot-ld-decay").size(), 20u);

  // The results come first: the headline table, then the plots that answer
  // a breeder's questions, then the rest.
  for (const char* id : {"table-headline", "plot-gain", "plot-response", "plot-accuracy", "plot-delta-f", "plot-ne",
                         "plot-parents", "plot-qtl-frequencies"})
    EXPECT_LT(html.find(std::string("id=\"") + id + "\""), html.find("id=\"table-glance\"")) << id;
  // Total gain of trait 2 in SD of the base: 0.3 x 5 x 2.
  EXPECT_NE(html.find("total gain, trait 2 (SD of the base&#39;s breeding values)</td><td>3</td>"), std::string::npos);
  // The gain of trait 1 rises from 0 on the page; the prediction is drawn a
  // generation later than the row it was made in (7 points from 2 to 7).
  const auto gain = first_line(html, "plot-gain");
  ASSERT_EQ(gain.size(), 6u);
  EXPECT_LT(gain.back().second, gain.front().second);
  const size_t resp = html.find("id=\"plot-response\"");
  const size_t predicted = html.find("<polyline", html.find("<polyline", resp) + 1);
  const std::string pp = html.substr(predicted, html.find("/>", predicted) - predicted);
  EXPECT_EQ(std::count(pp.begin(), pp.end(), ','), 6);
  EXPECT_EQ(first_line(html, "plot-qtl-frequencies").size(), 6u);
}

TEST(ReportHtml, ReplicateReportAndEmptyInputsStayWellFormed) {
  const qm::run_report run = sample_run();
  qm::replicate_report r;
  r.title = "3 replicates";
  r.mean = r.ci_low = r.ci_high = run.summary;
  for (auto& row : r.ci_low.rows)
    for (size_t c = 2; c < row.size(); ++c) row[c] -= 0.01;
  for (auto& row : r.ci_high.rows)
    for (size_t c = 2; c < row.size(); ++c) row[c] += 0.01;
  r.n = std::vector<int>(6, 3);
  r.ld_mean = run.ld;
  r.ld_low.assign(20, 0.0);
  r.ld_high.assign(20, 0.5);
  r.settings = {{"replicates", "3"}};
  r.replicates = {run.summary, run.summary, run.summary};
  r.headline = {{"total_gain_sd_1", "total gain, trait 1", 3, 1.5, 0.1}};
  const std::string html = qm::render_replicate_report(r);
  // Each replicate a thin line in the gain plot, under the bold mean; the
  // raw means without a band.
  const size_t gain = html.find("id=\"plot-gain\""), gain_end = html.find("</figure>", gain);
  size_t thin = 0;
  for (size_t p = html.find("class=\"thin\"", gain); p < gain_end; p = html.find("class=\"thin\"", p + 1)) ++thin;
  EXPECT_EQ(thin, 6u);  // three replicates, two traits
  EXPECT_LT(html.find("class=\"band\"", gain), gain_end);
  const size_t trend = html.find("id=\"plot-genetic-trend\"");
  EXPECT_GT(html.find("class=\"band\"", trend), html.find("</figure>", trend));
  EXPECT_NE(html.find("id=\"table-headline\""), std::string::npos);

  // An interval far wider than the values (Ne of few replicates on the log
  // scale) is cut at the frame instead of flattening the lines.
  qm::replicate_report wide = r;
  const int ne = wide.ci_high.column("ne_pedigree");
  wide.ci_high.rows[3][static_cast<size_t>(ne)] = 1e7;
  const std::string w = qm::render_replicate_report(wide);
  const size_t fig = w.find("id=\"plot-ne\""), fig_end = w.find("</figure>", fig);
  const size_t poly = w.find("<polygon", fig);
  ASSERT_LT(poly, fig_end);
  const size_t p0 = w.find("points=\"", poly) + 8;
  const std::string band = w.substr(p0, w.find('"', p0) - p0);
  const std::regex xy("(-?[0-9.]+),(-?[0-9.]+)");
  for (auto it = std::sregex_iterator(band.begin(), band.end(), xy); it != std::sregex_iterator(); ++it) {
    EXPECT_GE(std::stod((*it)[2]), 16.0);  // the frame: y from 16 to 280
    EXPECT_LE(std::stod((*it)[2]), 280.0);
  }
  // The mean line (33.3 throughout, the axis from 0) keeps a height of its own.
  const std::string mean_line = w.substr(w.find("<polyline class=\"series\"", fig), 400);
  const std::smatch first = *std::sregex_iterator(mean_line.begin(), mean_line.end(), xy);
  EXPECT_LT(std::stod(first[2]), 250.0);
  self_contained_xml(html);
  EXPECT_NE(html.find("id=\"table-replicates\""), std::string::npos);
  EXPECT_NE(html.find("class=\"band\""), std::string::npos);
  size_t bars = 0;
  for (size_t p = 0; (p = html.find("class=\"bar\"", p)) != std::string::npos; ++p) ++bars;
  EXPECT_EQ(bars, 20u);

  qm::run_report empty;
  empty.title = "nothing";
  empty.summary.header = qm::summary_header(1);
  const std::string e = qm::render_run_report(empty);
  self_contained_xml(e);
  EXPECT_NE(e.find("no values"), std::string::npos);
  EXPECT_NE(e.find("LD decay was not computed"), std::string::npos);
}
