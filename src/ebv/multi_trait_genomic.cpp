#include "ebv/multi_trait_genomic.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "base/messages.hpp"
#include "base/threads.hpp"
#include "ebv/genotype_products.hpp"

namespace qm {

using namespace snp_products;

std::vector<double> multi_trait_snp_solution::effects(int32_t t) const {
  std::vector<double> e(static_cast<size_t>(markers));
  for (int64_t j = 0; j < markers; ++j) e[static_cast<size_t>(j)] = effect(j, t);
  return e;
}

double snp_scale(std::span<const double> centre) {
  double k = 0.0;  // 2 sum p (1 - p) = sum c (1 - c / 2)
  for (const double c : centre) k += c * (1.0 - 0.5 * c);
  if (!(k > 0.0))
    stop("genomic prediction: no marker segregates in the reference animals; give polymorphic markers");
  return k;
}

namespace {

// Sum over the animals of each record pattern of z_ij^2 at every marker:
// out[q * m + j] for pattern q, from its heterozygotes and homozygotes for
// allele 1 (the by-marker bytes masked to the pattern's animals).
std::vector<double> squares_by_pattern(const packed_genotypes& ref, std::span<const double> centre,
                                       const record_patterns& pat, int threads) {
  const int64_t n = ref.n, m = ref.m;
  const int32_t np = pat.count();
  std::vector<double> out(static_cast<size_t>(np * m), 0.0);
  const auto fill = [&](int32_t q, const std::vector<int64_t>& n1, const std::vector<int64_t>& n2) {
    const double nq = static_cast<double>(pat.rows[static_cast<size_t>(q)]);
    for (int64_t j = 0; j < m; ++j) {
      const double c = centre[static_cast<size_t>(j)];
      const double k1 = static_cast<double>(n1[static_cast<size_t>(j)]);
      const double k2 = static_cast<double>(n2[static_cast<size_t>(j)]);
      const double k0 = nq - k1 - k2;
      out[static_cast<size_t>(q * m + j)] =
          (k0 * (c * c) + k1 * ((1.0 - c) * (1.0 - c))) + k2 * ((2.0 - c) * (2.0 - c));
    }
  };
  std::vector<int64_t> n1, n2;
  if (np == 1) {
    marker_counts(ref, n1, n2);
    fill(0, n1, n2);
    return out;
  }
  uint8_t het[256], hom[256];
  for (int b = 0; b < 256; ++b) {
    het[b] = hom[b] = 0;
    for (int s = 0; s < 4; ++s) {
      const int x = (b >> (2 * s)) & 3;
      het[b] = static_cast<uint8_t>(het[b] + (x == 1));
      hom[b] = static_cast<uint8_t>(hom[b] + (x == 2));
    }
  }
  std::vector<uint8_t> mask(static_cast<size_t>(ref.col_bytes));
  for (int32_t q = 0; q < np; ++q) {
    std::fill(mask.begin(), mask.end(), uint8_t{0});
    for (int64_t i = 0; i < n; ++i)
      if (pat.of_row[static_cast<size_t>(i)] == q) mask[static_cast<size_t>(i / 4)] |= static_cast<uint8_t>(3u << (2 * (i % 4)));
    n1.assign(static_cast<size_t>(m), 0);
    n2.assign(static_cast<size_t>(m), 0);
    // Integer counts, marker by marker: any sharing of the markers gives the same.
    constexpr int64_t chunk = 256;
    const auto body = [&](int part) {
      const int64_t j0 = part * chunk, j1 = std::min(m, j0 + chunk);
      for (int64_t j = j0; j < j1; ++j) {
        const uint8_t* col = ref.by_marker.data() + j * ref.col_bytes;
        int64_t a = 0, b = 0;
        for (int64_t h = 0; h < ref.col_bytes; ++h) {
          const uint8_t v = static_cast<uint8_t>(col[h] & mask[static_cast<size_t>(h)]);
          a += het[v], b += hom[v];
        }
        n1[static_cast<size_t>(j)] = a;
        n2[static_cast<size_t>(j)] = b;
      }
    };
    run_parallel(threads, static_cast<int>((m + chunk - 1) / chunk), [&body](int part) { body(part); });
    fill(q, n1, n2);
  }
  return out;
}

}  // namespace

multi_trait_snp_solution multi_trait_snp_blup(const packed_genotypes& ref, std::span<const double> y,
                                              int32_t traits, std::span<const double> centre,
                                              std::span<const double> g0, std::span<const double> r0,
                                              std::span<const double> start, const pcg_options& opt,
                                              block_choice pre) {
  check_centre(ref, centre);
  const int64_t n = ref.n, m = ref.m, T = traits;
  if (n == 0) stop("genomic prediction: no reference animals");
  if (ref.col_bytes == 0)
    stop("genomic prediction: the reference genotypes were packed without the marker-major copy; pack them with by_marker");
  if (T < 1 || static_cast<int64_t>(y.size()) != n * T)
    stop("genomic prediction: " + std::to_string(y.size()) + " record values for " + std::to_string(n) +
         " reference animals and " + std::to_string(traits) + " traits; give one value (NaN when missing) per animal and trait");
  for (size_t i = 0; i < y.size(); ++i)
    if (std::isinf(y[i]))
      stop("genomic prediction: record " + std::to_string(i % static_cast<size_t>(T) + 1) + " of reference animal " +
           std::to_string(i / static_cast<size_t>(T) + 1) + " is infinite");
  const int64_t dim = T * (1 + m);
  if (!start.empty() && static_cast<int64_t>(start.size()) != dim)
    stop("genomic prediction: a start of " + std::to_string(start.size()) + " values for " + std::to_string(traits) +
         " traits and " + std::to_string(m) + " markers; give the means and every trait of every marker");
  const std::vector<double> ginv = covariance_inverse(g0, traits, "genetic covariance");
  const record_patterns pat = find_record_patterns(y, traits, r0);
  const double k = snp_scale(centre);
  const int th = opt.threads < 1 ? 1 : opt.threads;
  const size_t tt = static_cast<size_t>(T * T);

  // Diagonal blocks.
  std::vector<double> blocks(static_cast<size_t>(1 + m) * tt, 0.0);
  for (int32_t q = 0; q < pat.count(); ++q) {
    const double w = static_cast<double>(pat.rows[static_cast<size_t>(q)]);
    for (size_t e = 0; e < tt; ++e) blocks[e] += w * pat.rinv(q)[e];
  }
  for (int64_t t = 0; t < T; ++t)
    if (!(blocks[static_cast<size_t>(t * T + t)] > 0.0))
      stop("genomic prediction: trait " + std::to_string(t + 1) +
           " has no record in the reference; every trait of the evaluation needs records");
  {
    const std::vector<double> sq = squares_by_pattern(ref, centre, pat, th);
    for (int64_t j = 0; j < m; ++j) {
      double* b = blocks.data() + static_cast<size_t>(j + 1) * tt;
      for (size_t e = 0; e < tt; ++e) b[e] = k * ginv[e];
      for (int32_t q = 0; q < pat.count(); ++q) {
        const double s = sq[static_cast<size_t>(q * m + j)];
        const double* ri = pat.rinv(q);
        for (size_t e = 0; e < tt; ++e) b[e] += s * ri[e];
      }
    }
  }
  if (pre == block_choice::diagonal)
    for (int64_t g = 0; g <= m; ++g)
      for (int64_t r = 0; r < T; ++r)
        for (int64_t c = 0; c < T; ++c)
          if (r != c) blocks[static_cast<size_t>(g) * tt + static_cast<size_t>(c * T + r)] = 0.0;
  const block_diagonal pm = invert_blocks(blocks, traits, "the traits of unknown group", th);
  blocks = {};

  const tiled_rows by_animal = tile_rows(ref.by_animal.data(), n, ref.row_bytes, th);
  const tiled_rows by_marker = tile_rows(ref.by_marker.data(), m, ref.col_bytes, th);
  std::vector<double> tab;
  // Trait-major work vectors: w (T x m), u and s (T x n), h (T x m).
  std::vector<double> w(static_cast<size_t>(T * m)), u(static_cast<size_t>(T * n)), s(static_cast<size_t>(T * n)),
      h(static_cast<size_t>(T * m));
  const auto span_of = [](std::vector<double>& v, int64_t t, int64_t len) {
    return std::span<double>(v.data() + t * len, static_cast<size_t>(len));
  };
  // s_i = R_i^-1 (mu + u_i), trait-major; records missing in a pattern have zero rows and columns.
  const auto residual_weights = [&](const double* mu, bool with_u) {
    for (int64_t i = 0; i < n; ++i) {
      const double* ri = pat.rinv(pat.of_row[static_cast<size_t>(i)]);
      for (int64_t t = 0; t < T; ++t) {
        double a = 0.0;
        for (int64_t c = 0; c < T; ++c) {
          const double v = with_u ? mu[c] + u[static_cast<size_t>(c * n + i)] : mu[i * T + c];
          a += ri[static_cast<size_t>(c * T + t)] * v;
        }
        s[static_cast<size_t>(t * n + i)] = a;
      }
    }
  };

  // Right-hand side: the records with the missing ones as 0.
  std::vector<double> rhs(static_cast<size_t>(dim), 0.0);
  {
    std::vector<double> y0(y.begin(), y.end());
    for (double& v : y0)
      if (std::isnan(v)) v = 0.0;
    residual_weights(y0.data(), false);
    for (int64_t t = 0; t < T; ++t) {
      rhs[static_cast<size_t>(t)] = serial_sum(span_of(s, t, n));
      zt_product_tiled(ref, by_marker, centre, span_of(s, t, n), h.data() + t * m, tab, th);
      for (int64_t j = 0; j < m; ++j) rhs[static_cast<size_t>(T * (j + 1) + t)] = h[static_cast<size_t>(t * m + j)];
    }
  }

  const auto apply = [&](const double* v, double* q) {
    for (int64_t j = 0; j < m; ++j)
      for (int64_t t = 0; t < T; ++t) w[static_cast<size_t>(t * m + j)] = v[T * (j + 1) + t];
    for (int64_t t = 0; t < T; ++t)
      z_product_tiled(ref, by_animal, centre, span_of(w, t, m), u.data() + t * n, tab, th);
    residual_weights(v, true);
    for (int64_t t = 0; t < T; ++t) {
      q[t] = serial_sum(span_of(s, t, n));
      zt_product_tiled(ref, by_marker, centre, span_of(s, t, n), h.data() + t * m, tab, th);
    }
    for (int64_t j = 0; j < m; ++j) {
      const double* vj = v + T * (j + 1);
      double* qj = q + T * (j + 1);
      for (int64_t t = 0; t < T; ++t) {
        double g = 0.0;
        for (int64_t c = 0; c < T; ++c) g += ginv[static_cast<size_t>(c * T + t)] * vj[c];
        qj[t] = h[static_cast<size_t>(t * m + j)] + k * g;
      }
    }
  };

  multi_trait_snp_solution sol;
  sol.traits = traits;
  sol.markers = m;
  sol.centre.assign(centre.begin(), centre.end());
  sol.k = k;
  sol.x.assign(static_cast<size_t>(dim), 0.0);
  std::copy(start.begin(), start.end(), sol.x.begin());
  sol.stats = pcg_solve_blocks(apply, pm, rhs, sol.x, opt);
  return sol;
}

std::vector<double> multi_trait_gebv(const packed_genotypes& g, const multi_trait_snp_solution& s, int threads) {
  std::vector<double> out(static_cast<size_t>(g.n * s.traits));
  for (int32_t t = 0; t < s.traits; ++t) {
    const std::vector<double> e = s.effects(t);
    z_times(g, s.centre, e, std::span<double>(out.data() + t * g.n, static_cast<size_t>(g.n)), threads);
  }
  return out;
}

}  // namespace qm
