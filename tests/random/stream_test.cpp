#include "random/stream.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "base/byte_codec.hpp"
#include "base/messages.hpp"
#include "support.hpp"

namespace {

// The generator written plainly: double-precision fmod step, single-precision scaling.
int32_t ref_step(int32_t s) { return static_cast<int32_t>(std::fmod(static_cast<double>(s) * 16807.0, 2147483647.0)); }
double ref_u(int32_t s) { return static_cast<double>(static_cast<float>(s) * 4.656613e-10f); }
double ref_next(int32_t& s) { return ref_u(s = ref_step(s)); }
double ref_stdnorm(int32_t& s) {
  const double l = std::log(ref_next(s));
  return std::sqrt(-2.0 * l) * std::cos(ref_next(s) * 6.283185005187988);
}

// Number of single steps from state a to state b, or -1 beyond limit.
long steps_between(int32_t a, int32_t b, long limit) {
  for (long k = 0; k <= limit; ++k, a = ref_step(a))
    if (a == b) return k;
  return -1;
}

// The state whose successor is t (the inverse of 16807 is 16807^(m-2) mod m).
int32_t state_before(int32_t t) {
  const uint64_t m = 2147483647u;
  uint64_t inv = 1, b = 16807;
  for (uint64_t e = m - 2; e; e >>= 1, b = b * b % m)
    if (e & 1) inv = inv * b % m;
  return static_cast<int32_t>(static_cast<uint64_t>(t) * inv % m);
}

std::string pivot_line(const std::string& i) {
  const std::string pad(12 - i.size(), ' ');
  return " Cholesky decomposition failed for the" + pad + i + "*" + pad + i + "element no more than 0 \n";
}
const std::string first_line = " Cholesky decomposition failed for the first element no more than 0 \n";

}  // namespace

TEST(RandomStream, KnownStatesAndUniformsFromOne) {
  qm::random_stream r;
  qm::start_stream(r, 1);
  EXPECT_EQ(r.state, 1);
  EXPECT_EQ(qm::next_uniform(r), 7.8263692557811737e-06);
  EXPECT_EQ(r.state, 16807);
  EXPECT_EQ(qm::next_uniform(r), 0.1315377950668335);
  EXPECT_EQ(r.state, 282475249);
  qm::next_uniform(r);
  EXPECT_EQ(r.state, 1622650073);
  qm::next_uniform(r);
  EXPECT_EQ(r.state, 984943658);
  for (int i = 5; i <= 10000; ++i) qm::next_uniform(r);
  EXPECT_EQ(r.state, 1043618065);
  EXPECT_EQ(r.start_seed, 1);

  qm::start_stream(r, 1);
  const double z = qm::standard_normal(r);
  EXPECT_EQ(z, 3.2852859391878946);
  EXPECT_EQ(static_cast<float>(z), 3.28528595f);
  EXPECT_EQ(r.state, 282475249);  // radius and angle

  // Start value 0 reads the clock: the day of month alone gives at least 10000.
  qm::start_stream(r, 0);
  EXPECT_GE(r.start_seed, 10000);
  EXPECT_EQ(r.state, r.start_seed);
}

TEST(RandomStream, DrawsMatchTheFmodStepAlsoNearOne) {
  for (int32_t start : {1, 12345, 2147483646, 2147483583}) {
    qm::random_stream r;
    qm::start_stream(r, start);
    int32_t s = start;
    for (int i = 0; i < 200000; ++i) {
      ASSERT_EQ(qm::next_uniform(r), ref_next(s)) << start << " draw " << i;
      ASSERT_EQ(r.state, s);
    }
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(qm::standard_normal(r), ref_stdnorm(s)) << start << " normal " << i;
  }
  qm::random_stream r;
  r.state = state_before(2147483584);
  ASSERT_EQ(ref_step(r.state), 2147483584);
  EXPECT_EQ(qm::next_uniform(r), 1.0);
  r.state = state_before(2147483583);
  EXPECT_EQ(qm::next_uniform(r), 0.99999994039535522);
  EXPECT_EQ(r.state, 2147483583);
}

TEST(RandomStream, RandunifRangeEqualBoundsAndClamp) {
  qm::random_stream r;
  qm::start_stream(r, 987654);
  int32_t s = 987654;
  for (int i = 0; i < 20000; ++i) {
    const int32_t a = -3 + i % 7, b = a + i % 50;
    const int32_t k = qm::uniform_int(r, a, b);
    ASSERT_EQ(k, a + static_cast<int32_t>(static_cast<double>(b - a + 1) * ref_next(s)));
    ASSERT_TRUE(k >= a && k <= b);
  }
  const int32_t before = r.state;
  EXPECT_EQ(qm::uniform_int(r, 7, 7), 7);
  EXPECT_EQ(r.state, ref_step(before));  // one uniform all the same
  // u = 1 gives the upper bound and no extra draw.
  r.state = state_before(2147483584);
  EXPECT_EQ(qm::uniform_int(r, 1, 10), 10);
  EXPECT_EQ(r.state, 2147483584);
  r.state = state_before(2147483600);
  EXPECT_EQ(qm::uniform_int(r, 0, 2147483646), 2147483646);
}

TEST(RandomStream, JumpAndSkipEqualSingleSteps) {
  // From state 1, k steps reach 16807^k; from a state b they reach b * 16807^k,
  // also from the states whose uniform is exactly 1 (C1).
  int32_t a = 1;
  long done = 0;
  for (long k : {0L, 1L, 2L, 1000L, 10000000L}) {
    for (; done < k; ++done) a = ref_step(a);
    EXPECT_EQ(qm::jump_multiplier(static_cast<uint64_t>(k)), static_cast<uint32_t>(a)) << k;
    for (uint64_t b : {uint64_t{123456789}, uint64_t{2147483584}, uint64_t{2147483646}}) {
      qm::random_stream r;
      r.state = static_cast<int32_t>(b);
      qm::skip_draws(r, static_cast<uint64_t>(k));
      EXPECT_EQ(r.state, static_cast<int32_t>(static_cast<uint64_t>(a) * b % 2147483647u)) << k << " from " << b;
    }
  }
  // Near the edge, the jump agrees with single steps state by state.
  int32_t s = 2147483646;
  for (int k = 1; k <= 100000; ++k) {
    s = ref_step(s);
    ASSERT_EQ(qm::mulmod31(2147483646u, qm::jump_multiplier(static_cast<uint64_t>(k))), static_cast<uint32_t>(s)) << k;
  }
}

TEST(RandomStream, UniformThresholds) {
  // Below 2^30 states round to multiples of 64 in single precision; the tie
  // 2^30 - 32 rounds up to 2^30, whose uniform is exactly 0.5.
  EXPECT_EQ(qm::uniform_threshold(0.5), 1073741792u);
  EXPECT_EQ(qm::uniform_threshold(1.0), 2147483584u);
  EXPECT_EQ(qm::uniform_threshold(0.0), 0u);
  EXPECT_EQ(qm::uniform_threshold(-0.25), 0u);
  EXPECT_EQ(qm::uniform_threshold(std::numeric_limits<double>::quiet_NaN()), 0u);
  EXPECT_EQ(qm::uniform_threshold(1.5), 2147483648u);
  for (double x : {0.5, 0.04758129165617664, 1e-3, 0.3, 0.9999999, 1.0, 2.0e-9}) {
    const uint32_t t = qm::uniform_threshold(x);
    ASSERT_GT(t, 0u);
    EXPECT_LT(ref_u(static_cast<int32_t>(t - 1)), x) << x;
    EXPECT_GE(ref_u(static_cast<int32_t>(t)), x) << x;
    EXPECT_GE(ref_u(static_cast<int32_t>(t + 1)), x) << x;
  }
}

TEST(RandomStream, GammaMomentsMatchTheDistribution) {
  // Gamma(alpha, rate beta): mean alpha / beta, variance alpha / beta^2,
  // excess kurtosis 6 / alpha. The sample mean and variance of n draws lie
  // within five standard errors of them, for shapes below 1, at 1, whole
  // shapes (a sum of exponentials) and other shapes above 1.
  const float beta = 1.5f;
  const int n = 40000;
  qm::random_stream r;
  qm::start_stream(r, 4242);
  for (float alpha : {0.25f, 0.4f, 1.0f, 1.5f, 2.0f, 3.0f, 7.25f}) {
    double sum = 0.0, sq = 0.0, least = 1.0;
    std::vector<double> x(n);
    for (int i = 0; i < n; ++i) {
      x[i] = qm::gamma_variate(r, alpha, beta);
      sum += x[i];
      least = std::min(least, x[i]);
    }
    const double mean = sum / n;
    for (double v : x) sq += (v - mean) * (v - mean);
    const double var = sq / (n - 1);
    const double a = alpha, b = beta, want_mean = a / b, want_var = a / (b * b);
    const double se_mean = std::sqrt(want_var / n);
    const double se_var = want_var * std::sqrt((2.0 + 6.0 / a) / n);
    EXPECT_GE(least, 0.0) << alpha;
    EXPECT_NEAR(mean, want_mean, 5.0 * se_mean) << "alpha " << alpha;
    EXPECT_NEAR(var, want_var, 5.0 * se_var) << "alpha " << alpha;
  }
}

TEST(RandomStream, GammaUniformCountsAndEdges) {
  // Whole shapes above 1 take exactly alpha uniforms; every other shape
  // takes 51 per attempt of its rejection method (the first and the 51st).
  qm::random_stream r;
  qm::start_stream(r, 4242);
  for (int i = 0; i < 300; ++i) {
    for (float alpha : {2.0f, 3.0f, 1.0f, 0.4f, 1.5f, 7.25f, 0.0f}) {
      const int32_t before = r.state;
      const double g = qm::gamma_variate(r, alpha, 1.5f);
      const long used = steps_between(before, r.state, 51 * 200);
      if (alpha == 2.0f || alpha == 3.0f) {
        ASSERT_EQ(used, static_cast<long>(alpha));
      } else {
        ASSERT_TRUE(used > 0 && used % 51 == 0) << alpha << " used " << used;
      }
      if (alpha == 0.0f) {
        ASSERT_EQ(g, 0.0);  // the distribution degenerates to 0
      }
    }
  }
  // Erlang(2, 1.5) from known uniforms: -(log u1 + log u2) / 1.5.
  qm::start_stream(r, 777);
  int32_t s = 777;
  const double u1 = ref_next(s), u2 = ref_next(s);
  EXPECT_DOUBLE_EQ(qm::gamma_variate(r, 2.0f, 1.5f), -(std::log(u1) + std::log(u2)) / 1.5);

  // The rate is not checked: 0 gives infinity, a negative rate flips the sign.
  EXPECT_TRUE(std::isinf(qm::gamma_variate(r, 1.5f, 0.0f)));
  qm::random_stream r2 = r;
  EXPECT_EQ(qm::gamma_variate(r, 1.5f, -1.0f), -qm::gamma_variate(r2, 1.5f, 1.0f));

  for (float bad : {-0.5f, std::numeric_limits<float>::quiet_NaN()}) {
    qmtest::console_capture cap;
    EXPECT_THROW(qm::gamma_variate(r, bad, 1.0f), qm::run_stop);
    EXPECT_EQ(cap.text().rfind(" RANDOM GAMMA DISTRIBUTION parameter error!\n", 0), 0u) << cap.text();
  }
}

TEST(RandomStream, MultinormDrawsAndUniformCounts) {
  qmtest::console_capture cap;
  qm::random_stream r;
  qm::start_stream(r, 1);
  const float v1[] = {4.0f};
  float x[3], l[4];
  qm::multivariate_normal(r, v1, 1, x);
  EXPECT_EQ(x[0], 2.0f * static_cast<float>(3.2852859391878946));
  EXPECT_EQ(r.state, 282475249);

  // z(1) and the 50th normal after it; 102 uniforms.
  int32_t s = r.state;
  const int32_t before = s;
  const float z1 = static_cast<float>(ref_stdnorm(s));
  float z2 = 0.0f;
  for (int i = 0; i < 50; ++i) z2 = static_cast<float>(ref_stdnorm(s));
  const float id[] = {1, 0, 0, 1};
  qm::multivariate_normal(r, id, 2, x);
  EXPECT_EQ(x[0], z1);
  EXPECT_EQ(x[1], z2);
  EXPECT_EQ(steps_between(before, r.state, 1000), 102);

  // V = L L' with L = (2 0; 1 3), exact in single precision: x = (2 z1, z1 + 3 z2).
  const float v2[] = {4, 2, 2, 10};
  qm::cholesky_factor(v2, 2, l);
  EXPECT_EQ(l[0], 2.0f);
  EXPECT_EQ(l[1], 1.0f);
  EXPECT_EQ(l[3], 3.0f);
  qm::random_stream r2 = r;
  qm::multivariate_normal(r2, id, 2, x);
  const float w1 = x[0], w2 = x[1];
  qm::multivariate_normal(r, v2, 2, x);
  EXPECT_EQ(x[0], 2.0f * w1);
  EXPECT_EQ(x[1], w1 + 3.0f * w2);

  const float id3[] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  const int32_t b3 = r.state;
  qm::multivariate_normal(r, id3, 3, x);
  EXPECT_EQ(steps_between(b3, r.state, 1000), 202);
  EXPECT_EQ(cap.text(), "");
}

TEST(RandomStream, CholeskyPivotMessages) {
  float l[4], x[2];
  {
    qmtest::console_capture cap;
    const float v[] = {0.0f, 0.0f, 0.0f, 1.0f};
    qm::cholesky_factor(v, 2, l);
    EXPECT_EQ(cap.text(), first_line);
    EXPECT_EQ(l[0], 0.0f);
    EXPECT_FALSE(std::isfinite(l[1]));
  }
  {
    qmtest::console_capture cap;
    const float v[] = {-1.0f};
    qm::random_stream r;
    qm::start_stream(r, 77);
    qm::multivariate_normal(r, v, 1, x);
    EXPECT_EQ(cap.text(), first_line + pivot_line("1"));
    EXPECT_TRUE(std::isnan(x[0]));
  }
  {
    qmtest::console_capture cap;
    const float v[] = {1.0f, 2.0f, 2.0f, 1.0f};  // second leading minor -3
    qm::random_stream r;
    qm::start_stream(r, 77);
    int32_t s = 77;
    const float z1 = static_cast<float>(ref_stdnorm(s));
    qm::multivariate_normal(r, v, 2, x);
    EXPECT_EQ(cap.text(), pivot_line("2"));
    EXPECT_EQ(x[0], z1);
    EXPECT_TRUE(std::isnan(x[1]));
  }
}

// The stream in a history file: state then start seed, as i32; a state the
// generator cannot reach is refused, the extreme ones it can are not.
TEST(StreamCodec, StateAndStartSeedAndBack) {
  auto encoded = [](int32_t state, int32_t start) {
    std::string out;
    qm::byte_writer w(out);
    qm::encode_random_stream(w, qm::random_stream{state, start});
    return out;
  };
  auto decode = [](qm::byte_reader& r) { qm::decode_random_stream(r); };
  ASSERT_EQ(encoded(123456789, -7), qmtest::le(123456789, 4) + qmtest::le(static_cast<uint32_t>(-7), 4));
  for (int32_t state : {1, 16807, 2147483646}) {
    const std::string bytes = encoded(state, 4711);
    qm::byte_reader r(bytes, "section RUN of h.qmh");
    const qm::random_stream back = qm::decode_random_stream(r);
    EXPECT_EQ(back.state, state);
    EXPECT_EQ(back.start_seed, 4711);
    EXPECT_EQ(r.left(), 0u);
    EXPECT_EQ(qmtest::first_cut_accepted(bytes, decode), -1);
  }
  for (int32_t state : {0, -5, 2147483647})
    EXPECT_EQ(qmtest::decode_failure(encoded(state, 4711), decode),
              "the random stream's state " + std::to_string(state) + " is not one the stream can have");
}
