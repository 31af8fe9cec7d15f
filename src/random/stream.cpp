#include "random/stream.hpp"

#include <chrono>
#include <cmath>
#include <ctime>
#include <string>
#include <vector>

#include "base/byte_codec.hpp"
#include "base/fixed.hpp"
#include "base/messages.hpp"

namespace qm {

uint32_t jump_multiplier(uint64_t k) {
  uint32_t result = 1, base = rmult;
  while (k != 0) {
    if (k & 1) result = mulmod31(result, base);
    base = mulmod31(base, base);
    k >>= 1;
  }
  return result;
}

void skip_draws(random_stream& r, uint64_t k) {
  r.state = static_cast<int32_t>(mulmod31(static_cast<uint32_t>(r.state), jump_multiplier(k)));
}

uint32_t uniform_threshold(double x) {
  if (!(x > 0.0)) return 0;  // also for NaN: u < NaN never holds
  if (x > 1.0) return 1u << 31;
  uint32_t lo = 0, hi = 1u << 31;  // uniform_of_state(hi) = 1 >= x; find the first t with uniform_of_state(t) >= x
  while (lo < hi) {
    const uint32_t mid = lo + (hi - lo) / 2;
    if (static_cast<double>(uniform_of_state(mid)) >= x) hi = mid; else lo = mid + 1;
  }
  return lo;
}

void encode_random_stream(byte_writer& w, const random_stream& r) {
  w.i32(r.state);
  w.i32(r.start_seed);
}

random_stream decode_random_stream(byte_reader& r) {
  random_stream s;
  s.state = r.i32();
  s.start_seed = r.i32();
  if (s.state < 1 || static_cast<uint32_t>(s.state) >= rmod)
    throw decode_error("the random stream's state " + std::to_string(s.state) + " is not one the stream can have");
  return s;
}

void start_stream(random_stream& r, int32_t s) {
  if (s != 0) {
    r.start_seed = s;
  } else {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm lt{};
    localtime_r(&t, &lt);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    float v = static_cast<float>(ms) * 1000000.0f;
    v = v + static_cast<float>(lt.tm_mday) * 10000.0f;
    v = v + static_cast<float>(lt.tm_min) * 100.0f;
    v = v + static_cast<float>(lt.tm_sec);
    r.start_seed = static_cast<int32_t>(v);
  }
  r.state = r.start_seed;
}

double standard_normal(random_stream& r) {
  const double u1 = next_uniform(r);
  const double l = std::log(u1);
  const double u2 = next_uniform(r);
  return std::sqrt(-2.0 * l) * std::cos(u2 * 6.283185005187988);
}

namespace {
// u1, then 50 more uniforms of which only the last is kept.
inline void two_of_51(random_stream& r, double& u1, double& u2) {
  u1 = next_uniform(r);
  skip_draws(r, 49);
  u2 = next_uniform(r);
}
}  // namespace

double gamma_variate(random_stream& r, float alphaf, float betaf) {
  const double alpha = alphaf, beta = betaf;
  if (std::isnan(alpha) || alpha < 0.0) stop(stop_text::gamma_parameter);
  if (alpha > 1.0 && alpha - std::trunc(alpha) == 0.0) {
    // Erlang: a sum of n exponentials.
    const int64_t n = static_cast<int64_t>(alpha);
    double s = 0.0;
    for (int64_t i = 0; i < n; ++i) s += std::log(next_uniform(r));
    return s / (-beta);
  }
  if (alpha > 1.0) {
    // Cheng's rejection method GB.
    const double s = std::sqrt(2.0 * alpha - 1.0);
    const double d = 1.0 + std::log(4.5);
    const double c = alpha + s;
    for (;;) {
      double u1, u2;
      two_of_51(r, u1, u2);
      const double v = std::log(u1 / (1.0 - u1)) / s;
      const double x = alpha * std::exp(v);
      const double z = u1 * u1 * u2;
      const double rr = c * v - 1.3862943649291992 + alpha - x;
      if (d - 4.5 * z + rr >= 0.0) return x / beta;
      if (rr >= std::log(z)) return x / beta;
    }
  }
  // Ahrens and Dieter's rejection method GS, 0 <= alpha <= 1.
  const double b = 1.0 + alpha / 2.718281828459045;
  for (;;) {
    double u1, u2;
    two_of_51(r, u1, u2);
    const double p = b * u1;
    if (p <= 1.0) {
      const double x = std::pow(p, 1.0 / alpha);
      if (std::exp(-x) >= u2) return x / beta;
    } else {
      const double x = -std::log((b - p) / alpha);
      if (std::pow(x, alpha - 1.0) >= u2) return x / beta;
    }
  }
}

namespace {
void note(std::string* notes, const std::string& line) {
  if (notes) *notes += line + "\n";
  else say(line);
}

void pivot_message(int i, std::string* notes) {
  std::string s = "Cholesky decomposition failed for the";
  add_i(s, i, 12);
  s += "*";
  add_i(s, i, 12);
  s += "element no more than 0 ";
  note(notes, s);
}
}  // namespace

void cholesky_factor(const float* v, int n, float* l, std::string* notes) {
  auto V = [&](int i, int j) { return v[(i - 1) + (j - 1) * n]; };
  auto L = [&](int i, int j) -> float& { return l[(i - 1) + (j - 1) * n]; };
  for (int k = 0; k < n * n; ++k) l[k] = 0.0f;
  if (n < 1) return;
  if (V(1, 1) <= 0.0f) note(notes, "Cholesky decomposition failed for the first element no more than 0 ");
  L(1, 1) = std::sqrt(V(1, 1));
  for (int j = 2; j <= n; ++j) L(j, 1) = V(j, 1) / L(1, 1);
  for (int i = 2; i <= n; ++i) {
    float sq = 0.0f;
    for (int k = 1; k < i; ++k) sq += L(i, k) * L(i, k);
    const float d = V(i, i) - sq;
    if (d <= 0.0f) pivot_message(i, notes);
    L(i, i) = std::sqrt(d);
    for (int j = i + 1; j <= n; ++j) {
      float sp = 0.0f;
      for (int k = 1; k < i; ++k) sp += L(j, k) * L(i, k);
      L(j, i) = (V(j, i) - sp) / L(i, i);
    }
  }
  if (n == 1) {
    // The last column is also column 1: the single pivot is tested twice.
    const float d = V(1, 1) - 0.0f;
    if (d <= 0.0f) pivot_message(1, notes);
    L(1, 1) = std::sqrt(d);
  }
}

void cholesky_factor_semidefinite(const float* v, int n, float* l) {
  auto V = [&](int i, int j) { return v[(i - 1) + (j - 1) * n]; };
  auto L = [&](int i, int j) -> float& { return l[(i - 1) + (j - 1) * n]; };
  for (int k = 0; k < n * n; ++k) l[k] = 0.0f;
  for (int i = 1; i <= n; ++i) {
    float sq = 0.0f;
    for (int k = 1; k < i; ++k) sq += L(i, k) * L(i, k);
    const float d = V(i, i) - sq;
    if (!(d > 0.0f)) continue;  // no variance left: the column stays zero
    L(i, i) = std::sqrt(d);
    for (int j = i + 1; j <= n; ++j) {
      float sp = 0.0f;
      for (int k = 1; k < i; ++k) sp += L(j, k) * L(i, k);
      L(j, i) = (V(j, i) - sp) / L(i, i);
    }
  }
}

namespace {
// The independent normals: the first, then every 50th of the following ones.
void normals(random_stream& r, int n, float* z) {
  if (n >= 1) z[0] = static_cast<float>(standard_normal(r));
  for (int i = 2; i <= n; ++i) {
    skip_draws(r, 98);  // 49 normals drawn and discarded
    z[i - 1] = static_cast<float>(standard_normal(r));
  }
}

void combine(const float* l, int n, const float* z, float* x) {
  for (int j = 1; j <= n; ++j) {
    float s = 0.0f;
    for (int k = 1; k <= j; ++k) s += l[(j - 1) + (k - 1) * n] * z[k - 1];
    x[j - 1] = s;
  }
}
}  // namespace

void multivariate_normal_factored(random_stream& r, const float* l, int n, float* x) {
  float zs[16];
  std::vector<float> zv;
  float* z = zs;
  if (n > 16) {
    zv.resize(static_cast<size_t>(n));
    z = zv.data();
  }
  normals(r, n, z);
  combine(l, n, z, x);
}

void multivariate_normal(random_stream& r, const float* v, int n, float* x) {
  std::vector<float> z(static_cast<size_t>(n > 0 ? n : 0));
  std::vector<float> l(static_cast<size_t>(n > 0 ? n * n : 0));
  normals(r, n, z.data());
  cholesky_factor(v, n, l.data());
  combine(l.data(), n, z.data(), x);
}

}  // namespace qm
