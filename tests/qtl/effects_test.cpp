#include "qtl/effects.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "base/messages.hpp"
#include "support.hpp"

namespace {

// Two traits with genetic correlation rgen and tqtl QTL, effects not drawn yet.
struct two_traits {
  qm::run_parameters p;
  qm::trait_architecture a;
  qm::random_stream rng;
  two_traits(int uncommon, const std::string& rgen, int tqtl) {
    std::string par = qmtest::set_record(qmtest::small_par(), 2, "2 0 0.2 " + std::to_string(uncommon));
    par = qmtest::set_record(par, 4, rgen);
    par = qmtest::set_record(par, 6, "0");
    par = qmtest::set_record(par, 8, "0.3 0.3");
    par = qmtest::set_record(par, 14, "0 " + std::to_string(tqtl) + " 1.0 1.0");
    qmtest::load_par(p, par);
    a.ntrait = 2;
    for (int q = 1; q <= tqtl; ++q) a.qtl_locus.push_back(q);
    a.effects.assign(static_cast<size_t>(tqtl) * 2, 0.0);
    qm::start_stream(rng, p.seed);
  }
  void draw() { qm::draw_effects(p, a, rng); }
};

uint32_t advanced(uint32_t state, uint64_t uniforms) { return qm::mulmod31(state, qm::jump_multiplier(uniforms)); }

double pearson(const std::vector<double>& x, const std::vector<double>& y) {
  const size_t n = x.size();
  double mx = 0, my = 0;
  for (size_t i = 0; i < n; ++i) mx += x[i] / n, my += y[i] / n;
  double sxy = 0, sxx = 0, syy = 0;
  for (size_t i = 0; i < n; ++i) {
    sxy += (x[i] - mx) * (y[i] - my);
    sxx += (x[i] - mx) * (x[i] - mx);
    syy += (y[i] - my) * (y[i] - my);
  }
  return sxy / std::sqrt(sxx * syy);
}

}  // namespace

TEST(EffectsTest, CorrelMatchesPearson) {
  const std::vector<double> x{1.0, 2.5, -0.75, 4.0, 3.25, 0.5, -2.0};
  const std::vector<double> y{0.3, 1.9, 0.2, 2.8, 1.1, -0.4, -1.7};
  std::vector<float> xf(x.begin(), x.end()), yf(y.begin(), y.end()), neg, flat(x.size(), 3.5f);
  for (float v : yf) neg.push_back(-2.0f * v + 1.0f);
  std::vector<double> negd(neg.begin(), neg.end());
  std::vector<double> yd(yf.begin(), yf.end());
  EXPECT_NEAR(qm::pearson_correlation(xf.data(), yf.data(), 7), pearson(x, yd), 1e-5);
  EXPECT_NEAR(qm::pearson_correlation(xf.data(), neg.data(), 7), pearson(x, negd), 1e-5);
  EXPECT_TRUE(std::isnan(qm::pearson_correlation(xf.data(), flat.data(), 7)));
}

TEST(EffectsTest, UncommonSchemeWithoutCorrelation) {
  qmtest::tempdir td;
  qmtest::console_capture cc;
  two_traits f(1, "0", 20);
  const uint32_t before = static_cast<uint32_t>(f.rng.state);
  f.draw();
  EXPECT_EQ(f.a.pcommon, 0.0f);
  EXPECT_EQ(f.a.pspecific, 0.5f);
  EXPECT_EQ(f.a.ncommon, 0);
  EXPECT_EQ(f.a.nspec1, 10);
  EXPECT_EQ(f.a.nspec2, 10);
  for (int q = 1; q <= 20; ++q) {
    EXPECT_EQ(f.a.effect(q, q <= 10 ? 2 : 1), 0.0) << q;
    EXPECT_NE(f.a.effect(q, q <= 10 ? 1 : 2), 0.0) << q;
  }
  // One draw of 20 normals and no check.
  EXPECT_EQ(static_cast<uint32_t>(f.rng.state), advanced(before, 40));
  EXPECT_EQ(cc.text().find("producing"), std::string::npos);
}

TEST(EffectsTest, UncommonSchemeChecksTheCommonQtl) {
  qmtest::tempdir td;
  qmtest::console_capture cc;
  two_traits f(1, "0.5", 20);
  const uint32_t before = static_cast<uint32_t>(f.rng.state);
  f.draw();
  EXPECT_EQ(f.a.rq, 0.5625f);
  EXPECT_EQ(f.a.ncommon, 16);
  EXPECT_EQ(f.a.nspec1, 2);
  EXPECT_EQ(f.a.nspec2, 2);
  for (int q = 17; q <= 20; ++q) EXPECT_EQ(f.a.effect(q, q <= 18 ? 2 : 1), 0.0) << q;

  // The reported line: rq, the correlation of the 16 common QTL, failed draws.
  const std::string out = cc.text();
  const size_t at = out.find(" producing the right correlation of qtl effect!\n");
  ASSERT_NE(at, std::string::npos);
  const std::string last = out.substr(out.rfind('\n', out.size() - 2) + 1);
  std::istringstream in(last);
  float rq = 0, r = 0;
  int ntry = -1;
  in >> rq >> r >> ntry;
  ASSERT_TRUE(in);
  std::vector<float> e1, e2;
  for (int q = 1; q <= 16; ++q) e1.push_back(static_cast<float>(f.a.effect(q, 1))), e2.push_back(static_cast<float>(f.a.effect(q, 2)));
  const float w = qm::pearson_correlation(e1.data(), e2.data(), 16);
  EXPECT_FLOAT_EQ(rq, 0.5625f);
  EXPECT_NEAR(r, w, 1e-6);
  EXPECT_GE(w, 0.5625f - 0.05f);
  EXPECT_LE(w, 0.5625f + 0.05f);
  // Each draw: 16 bivariate normals (102 uniforms) and 4 normals.
  ASSERT_GE(ntry, 0);
  EXPECT_EQ(static_cast<uint32_t>(f.rng.state), advanced(before, static_cast<uint64_t>(ntry + 1) * (16 * 102 + 4 * 2)));
}

TEST(EffectsTest, RefusedSettingsStopBeforeDrawing) {
  qmtest::tempdir td;
  qmtest::console_capture cc;
  for (const char* rgen : {"0.9", "-0.9"}) {
    two_traits f(1, rgen, 10);
    ASSERT_TRUE(qm::msg_open_log("log.txt"));
    const size_t mark = cc.text().size();
    const int32_t before = f.rng.state;
    EXPECT_THROW(f.draw(), qm::run_stop);
    qm::msg_close_log();
    EXPECT_EQ(cc.text().substr(mark), " rq larger than 1.0 to adjust the setting value for genetic correlation!\n");
    EXPECT_EQ(qmtest::read_file("log.txt"), "");
    EXPECT_EQ(f.rng.state, before);
    for (int q = 1; q <= 10; ++q) EXPECT_EQ(f.a.effect(q, 1), 0.0);
  }

  two_traits f(0, "0.5", 10);
  f.p.qtlrule = 1;
  ASSERT_TRUE(qm::msg_open_log("log.txt"));
  const size_t mark = cc.text().size();
  EXPECT_THROW(f.draw(), qm::run_stop);
  qm::msg_close_log();
  const std::string m =
      "please choose normal distribution because of No Mutiple-Gamma for 2 or above traits with uncommon_QTL==0!";
  const std::string out = cc.text().substr(mark);
  EXPECT_NE(out.find(" " + m + "\n"), out.rfind(" " + m + "\n"));  // twice on the screen
  const std::string log = qmtest::read_file("log.txt");
  ASSERT_EQ(log.find(m + "\n "), 0u);
  EXPECT_EQ(log.size(), m.size() + 2 + 19 + 1);  // message, then the " dd/mm/yyyy hh:mm:ss" line
}

TEST(EffectsTest, CorrelationNotANumberIsNeverAccepted) {
  qmtest::tempdir td;
  qmtest::console_capture cc;
  two_traits f(0, "0", 3);
  f.p.qtlp1 = 0.0f;  // trait 1 without variance: its effects are all 0
  const uint32_t before = static_cast<uint32_t>(f.rng.state);
  EXPECT_THROW(f.draw(), qm::run_stop);
  const std::string out = cc.text();
  EXPECT_NE(out.find(" put new seed!\n"), std::string::npos);
  EXPECT_EQ(out.find("producing"), std::string::npos);
  for (int q = 1; q <= 3; ++q) EXPECT_EQ(f.a.effect(q, 1), 0.0);
  // Exactly 10000 draws of 3 bivariate normals.
  EXPECT_EQ(static_cast<uint32_t>(f.rng.state), advanced(before, 10000ull * 3 * 102));
}
