// The one random stream of a run and the draws built on it.
//
// The stream is the multiplicative congruential generator with multiplier
// 16807 and modulus 2^31 - 1. A uniform is the state converted to single
// precision times 2^-31, in single precision, widened to double; so u can be
// exactly 1.0 (states from 2147483584 on). All draws of a run come from one
// stream in program order; their number and order are part of the results.
#pragma once
#include <cstdint>
#include <string>

namespace qm {

struct random_stream {
  int32_t state = 1;  // state of the stream
  int32_t start_seed = 1;  // start value of the run, reported at its end
};

class byte_reader;
class byte_writer;
// The stream in a history file (docs/history_format.md, section RUN): the
// state, then the start seed, as i32. The decoder refuses a state the
// stream cannot have (decode_error).
void encode_random_stream(byte_writer& w, const random_stream& r);
random_stream decode_random_stream(byte_reader& r);

constexpr uint32_t rmod = 2147483647u;  // 2^31 - 1
constexpr uint32_t rmult = 16807u;

// One step of the generator: s * 16807 mod (2^31 - 1), for 1 <= s < 2^31 - 1.
inline uint32_t next_state(uint32_t s) {
  const uint64_t p = static_cast<uint64_t>(s) * rmult;
  const uint32_t r = static_cast<uint32_t>(p & rmod) + static_cast<uint32_t>(p >> 31);
  return r >= rmod ? r - rmod : r;
}

// (a * b) mod (2^31 - 1) for a, b < 2^31.
inline uint32_t mulmod31(uint32_t a, uint32_t b) {
  const uint64_t p = static_cast<uint64_t>(a) * b;
  uint64_t r = (p & rmod) + (p >> 31);
  r = (r & rmod) + (r >> 31);
  return static_cast<uint32_t>(r >= rmod ? r - rmod : r);
}

// 16807^k mod (2^31 - 1): the multiplier that advances the stream by k steps.
uint32_t jump_multiplier(uint64_t k);

// The uniform of a state, in single precision.
inline float uniform_of_state(uint32_t s) { return static_cast<float>(static_cast<int32_t>(s)) * 4.656613e-10f; }

// The smallest state t with uniform_of_state(t) >= x, so that for every state s
// "u < x" holds exactly when s < t. 0 for x <= 0 or x not a number, 2^31 for x > 1.
uint32_t uniform_threshold(double x);

// Start the stream: s != 0 is taken as it is; 0 derives the start value from the clock.
void start_stream(random_stream& r, int32_t s);

inline double next_uniform(random_stream& r) {
  r.state = static_cast<int32_t>(next_state(static_cast<uint32_t>(r.state)));
  return static_cast<double>(uniform_of_state(static_cast<uint32_t>(r.state)));
}

// Advance the stream by k steps without forming the uniforms.
void skip_draws(random_stream& r, uint64_t k);

// a + trunc((b - a + 1) * u), kept within a..b when u = 1.
inline int32_t uniform_int(random_stream& r, int32_t a, int32_t b) {
  const double u = next_uniform(r);
  const int32_t k = a + static_cast<int32_t>(static_cast<double>(b - a + 1) * u);
  return k > b ? b : k;
}

// Standard normal, cosine branch of Box-Muller: two uniforms, radius then angle.
double standard_normal(random_stream& r);

// Gamma variate with shape alpha and rate beta (mean alpha / beta). A negative
// or non-numeric shape stops the run.
double gamma_variate(random_stream& r, float alpha, float beta);

// Cholesky factor L of the n x n matrix v (column-major, lower triangle read),
// in single precision; writes a console line for every non-positive pivot
// (or appends it to notes, one line each, when notes is given).
void cholesky_factor(const float* v, int n, float* l, std::string* notes = nullptr);

// The same factor for a covariance matrix that may be only semidefinite (a
// trait without residual, h2 = 1): a pivot that is not positive gives a zero
// column instead of a division by zero. For a positive-definite v the result
// equals cholesky_factor's bit for bit.
void cholesky_factor_semidefinite(const float* v, int n, float* l);

// One draw x(1..n) of the n-variate normal with mean 0 and covariance v.
// Consumes 2 + 100 (n - 1) uniforms.
void multivariate_normal(random_stream& r, const float* v, int n, float* x);
// The same draw with the Cholesky factor l of v already at hand.
void multivariate_normal_factored(random_stream& r, const float* l, int n, float* x);

}  // namespace qm
