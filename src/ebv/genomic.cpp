#include "ebv/genomic.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>

#include "base/messages.hpp"
#include "base/threads.hpp"
#include "ebv/genotype_products.hpp"

namespace qm {

namespace snp_products {

// The table values of eight consecutive packed bytes v (a group's table is
// 256 entries), added in a fixed order to four running sums.
inline void add_eight_groups(const double* tg, uint64_t v, double& s0, double& s1, double& s2, double& s3) {
  s0 += tg[v & 255];
  s1 += tg[256 + ((v >> 8) & 255)];
  s2 += tg[512 + ((v >> 16) & 255)];
  s3 += tg[768 + ((v >> 24) & 255)];
  s0 += tg[1024 + ((v >> 32) & 255)];
  s1 += tg[1280 + ((v >> 40) & 255)];
  s2 += tg[1536 + ((v >> 48) & 255)];
  s3 += tg[1792 + (v >> 56)];
}

constexpr int64_t row_chunk = 256;   // rows of one part of the work
constexpr int64_t pack_tile = 64;    // groups of four animals packed together by marker
constexpr int64_t transpose_chunk = 16;  // bytes of a row copied at a time by add_marker_major

// tab[256 g + b]: the sum over the four genotypes of byte b of group g of
// dosage_k * v[4 g + k], added in the order k = 0, 1, 2, 3.
void build_tables(std::span<const double> v, int64_t groups, std::vector<double>& tab, int threads) {
  tab.resize(static_cast<size_t>(groups * 256));
  const int64_t len = static_cast<int64_t>(v.size());
  const int parts = static_cast<int>((groups + group_block - 1) / group_block);
  const auto body = [&](int k) {
    const int64_t g0 = k * group_block, g1 = std::min(groups, g0 + group_block);
    double a[4][4];
    for (int64_t g = g0; g < g1; ++g) {
      for (int q = 0; q < 4; ++q) {
        const int64_t j = 4 * g + q;
        const double w = j < len ? v[static_cast<size_t>(j)] : 0.0;
        a[q][0] = 0.0;
        a[q][1] = w;
        a[q][2] = w + w;
        a[q][3] = 0.0;
      }
      // The partial sums of the first two and three genotypes first: the
      // same additions in the same order, a third of them.
      double p2[16], p3[64];
      for (int b = 0; b < 16; ++b) p2[b] = a[0][b & 3] + a[1][b >> 2];
      for (int b = 0; b < 64; ++b) p3[b] = p2[b & 15] + a[2][b >> 4];
      double* t = tab.data() + g * 256;
      for (int b = 0; b < 256; ++b) t[b] = p3[b & 63] + a[3][b >> 6];
    }
  };
  run_parallel(threads, parts, [&body](int k) { body(k); });  // one reference: no allocation
}

// out[r] = sum over the bytes g of row r of tab[256 g + row[g]], by blocks of
// group_block bytes, each block in four interleaved partial sums.
void table_rows(const uint8_t* rows, int64_t nrows, int64_t bytes, const double* tab, double* out, int threads) {
  const int parts = static_cast<int>((nrows + row_chunk - 1) / row_chunk);
  const auto body = [&](int k) {
    const int64_t r0 = k * row_chunk, r1 = std::min(nrows, r0 + row_chunk);
    for (int64_t r = r0; r < r1; ++r) out[r] = 0.0;
    for (int64_t gb = 0; gb < bytes; gb += group_block) {
      const int64_t len = std::min(group_block, bytes - gb);
      const double* tb = tab + gb * 256;
      for (int64_t r = r0; r < r1; ++r) {
        const uint8_t* row = rows + r * bytes + gb;
        double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
        int64_t g = 0;
        for (; g + 8 <= len; g += 8) {
          uint64_t v;
          std::memcpy(&v, row + g, 8);
          const double* tg = tb + g * 256;
          add_eight_groups(tg, v, s0, s1, s2, s3);
        }
        for (; g + 4 <= len; g += 4) {
          s0 += tb[g * 256 + row[g]];
          s1 += tb[(g + 1) * 256 + row[g + 1]];
          s2 += tb[(g + 2) * 256 + row[g + 2]];
          s3 += tb[(g + 3) * 256 + row[g + 3]];
        }
        if (g < len) s0 += tb[g * 256 + row[g]];
        if (g + 1 < len) s1 += tb[(g + 1) * 256 + row[g + 1]];
        if (g + 2 < len) s2 += tb[(g + 2) * 256 + row[g + 2]];
        out[r] += (s0 + s1) + (s2 + s3);
      }
    }
  };
  run_parallel(threads, parts, [&body](int k) { body(k); });
}

// The rows of a matrix laid out for the products of a solve, which reads
// them once per iteration: part by part (chunk rows), within a part block by
// block (group_block bytes of every row of the part, the last block padded
// with zero bytes), so that a part reads its bytes in the order it uses them
// instead of one short piece of every row per block. A zero byte adds entry
// 0 of its table, which is 0 for every group, so the sums are those
// table_rows makes of the rows as stored, bit for bit.
//
// A part uses the 32 KB of tables of one block for all its rows before it
// moves on, so the tables are read from beyond the first-level cache once
// per part and block: with 256 rows (4 KB of genotypes per block) that
// traffic was eight times the genotypes, and at 10,000 animals x 50,000
// markers Z w spent 1.3 ns per byte; with 4096 rows it is half the
// genotypes and 0.4 ns per byte. Smaller references take smaller parts, so
// that two threads still get eight parts to share. The part size changes
// which thread makes a row, never how its sum is made.

constexpr int64_t tiled_chunk_most = 4096;  // rows of a part of a large tiled matrix
constexpr int64_t tiled_chunk_least = 256;

int64_t tiled_chunk(int64_t nrows) {
  const int64_t eighth = (nrows / 8 + tiled_chunk_least - 1) / tiled_chunk_least * tiled_chunk_least;
  return std::clamp(eighth, tiled_chunk_least, tiled_chunk_most);
}

tiled_rows tile_rows(const uint8_t* rows, int64_t nrows, int64_t bytes, int threads) {
  tiled_rows t;
  t.nrows = nrows;
  t.blocks = (bytes + group_block - 1) / group_block;
  t.chunk = tiled_chunk(nrows);
  const int64_t width = t.blocks * group_block;
  t.data.assign(static_cast<size_t>(nrows * width), 0);
  const int parts = static_cast<int>((nrows + t.chunk - 1) / t.chunk);
  const auto body = [&](int k) {
    const int64_t r0 = k * t.chunk, nr = std::min(nrows, r0 + t.chunk) - r0;
    uint8_t* base = t.data.data() + r0 * width;
    for (int64_t i = 0; i < nr; ++i) {
      const uint8_t* src = rows + (r0 + i) * bytes;
      for (int64_t b = 0; b < t.blocks; ++b) {
        const int64_t len = std::min(group_block, bytes - b * group_block);
        std::memcpy(base + (b * nr + i) * group_block, src + b * group_block, static_cast<size_t>(len));
      }
    }
  };
  run_parallel(threads, parts, [&body](int k) { body(k); });
  return t;
}

// table_rows on the tiled copy; tab holds the tables of t.blocks * group_block groups.
void table_rows_tiled(const tiled_rows& t, const double* tab, double* out, int threads) {
  const int parts = static_cast<int>((t.nrows + t.chunk - 1) / t.chunk);
  const int64_t width = t.blocks * group_block;
  const auto body = [&](int k) {
    const int64_t r0 = k * t.chunk, nr = std::min(t.nrows, r0 + t.chunk) - r0;
    const uint8_t* base = t.data.data() + r0 * width;
    double* o = out + r0;
    for (int64_t i = 0; i < nr; ++i) o[i] = 0.0;
    for (int64_t b = 0; b < t.blocks; ++b) {
      const uint8_t* blk = base + b * nr * group_block;
      const double* tb = tab + b * group_block * 256;
      for (int64_t i = 0; i < nr; ++i) {
        const uint8_t* row = blk + i * group_block;
        double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
        for (int64_t g = 0; g < group_block; g += 8) {
          uint64_t v;
          std::memcpy(&v, row + g, 8);
          const double* tg = tb + g * 256;
          add_eight_groups(tg, v, s0, s1, s2, s3);
        }
        o[i] += (s0 + s1) + (s2 + s3);
      }
    }
  };
  run_parallel(threads, parts, [&body](int k) { body(k); });
}

double serial_sum(std::span<const double> v) {
  double s = 0.0;
  for (const double x : v) s += x;
  return s;
}

// Z w with the tables in tab.
void z_product(const packed_genotypes& g, std::span<const double> centre, std::span<const double> w, double* out,
               std::vector<double>& tab, int threads) {
  build_tables(w, g.row_bytes, tab, threads);
  table_rows(g.by_animal.data(), g.n, g.row_bytes, tab.data(), out, threads);
  double c = 0.0;
  for (int64_t j = 0; j < g.m; ++j) c += centre[static_cast<size_t>(j)] * w[static_cast<size_t>(j)];
  for (int64_t i = 0; i < g.n; ++i) out[i] -= c;
}

// Z w on the tiled rows of g.
void z_product_tiled(const packed_genotypes& g, const tiled_rows& rows, std::span<const double> centre,
                     std::span<const double> w, double* out, std::vector<double>& tab, int threads) {
  build_tables(w, rows.blocks * group_block, tab, threads);
  table_rows_tiled(rows, tab.data(), out, threads);
  double c = 0.0;
  for (int64_t j = 0; j < g.m; ++j) c += centre[static_cast<size_t>(j)] * w[static_cast<size_t>(j)];
  for (int64_t i = 0; i < g.n; ++i) out[i] -= c;
}

// Z' t on the tiled by-marker rows of g.
void zt_product_tiled(const packed_genotypes& g, const tiled_rows& cols, std::span<const double> centre,
                      std::span<const double> t, double* out, std::vector<double>& tab, int threads) {
  build_tables(t, cols.blocks * group_block, tab, threads);
  table_rows_tiled(cols, tab.data(), out, threads);
  const double s = serial_sum(t);
  for (int64_t j = 0; j < g.m; ++j) out[j] -= centre[static_cast<size_t>(j)] * s;
}

// Z' t with the tables in tab.
void zt_product(const packed_genotypes& g, std::span<const double> centre, std::span<const double> t, double* out,
                std::vector<double>& tab, int threads) {
  build_tables(t, g.col_bytes, tab, threads);
  table_rows(g.by_marker.data(), g.m, g.col_bytes, tab.data(), out, threads);
  const double s = serial_sum(t);
  for (int64_t j = 0; j < g.m; ++j) out[j] -= centre[static_cast<size_t>(j)] * s;
}

void check_centre(const packed_genotypes& g, std::span<const double> centre) {
  if (static_cast<int64_t>(centre.size()) != g.m)
    stop("genomic prediction: " + std::to_string(centre.size()) + " marker centres for " + std::to_string(g.m) +
         " markers; use the centres of the reference animals at the same markers");
}

}  // namespace snp_products

using namespace snp_products;

packed_genotypes pack_genotypes(const uint8_t* dosage, int64_t n, int64_t m, bool by_marker) {
  if (n < 0 || m < 0) stop("genomic prediction: negative number of animals or markers");
  packed_genotypes g;
  g.n = n;
  g.m = m;
  g.row_bytes = (m + 3) / 4;
  g.by_animal.assign(static_cast<size_t>(n * g.row_bytes), 0);
  unsigned bad = 0;
  for (int64_t i = 0; i < n; ++i) {
    const uint8_t* x = dosage + i * m;
    uint8_t* row = g.by_animal.data() + i * g.row_bytes;
    int64_t j = 0;
    for (; j + 4 <= m; j += 4) {
      bad |= (x[j] > 2) | (x[j + 1] > 2) | (x[j + 2] > 2) | (x[j + 3] > 2);
      row[j / 4] = static_cast<uint8_t>(x[j] | (x[j + 1] << 2) | (x[j + 2] << 4) | (x[j + 3] << 6));
    }
    for (; j < m; ++j) {
      bad |= x[j] > 2;
      row[j / 4] = static_cast<uint8_t>(row[j / 4] | ((x[j] & 3) << (2 * (j % 4))));
    }
  }
  if (bad)
    for (int64_t i = 0; i < n; ++i)
      for (int64_t j = 0; j < m; ++j)
        if (dosage[i * m + j] > 2)
          stop("genomic prediction: animal " + std::to_string(i + 1) + " has dosage " +
               std::to_string(dosage[i * m + j]) + " at marker " + std::to_string(j + 1) +
               "; dosages count copies of allele 1 and must be 0, 1 or 2");
  if (by_marker) {
    g.col_bytes = (n + 3) / 4;
    g.by_marker.assign(static_cast<size_t>(m * g.col_bytes), 0);
    // Tiles of pack_tile groups of four animals: one cache line written per
    // marker, the rows read a line at a time.
    for (int64_t h0 = 0; h0 < g.col_bytes; h0 += pack_tile) {
      const int64_t h1 = std::min(g.col_bytes, h0 + pack_tile);
      for (int64_t j = 0; j < m; ++j) {
        uint8_t* col = g.by_marker.data() + j * g.col_bytes;
        for (int64_t h = h0; h < h1; ++h) {
          unsigned b = 0;
          for (int q = 0; q < 4; ++q) {
            const int64_t i = 4 * h + q;
            if (i < n) b |= static_cast<unsigned>(dosage[i * m + j]) << (2 * q);
          }
          col[h] = static_cast<uint8_t>(b);
        }
      }
    }
  }
  return g;
}

void add_marker_major(packed_genotypes& g, int threads) {
  if (g.row_bytes != (g.m + 3) / 4 || static_cast<int64_t>(g.by_animal.size()) != g.n * g.row_bytes)
    stop("genomic prediction: packed genotypes of " + std::to_string(g.n) + " animals and " + std::to_string(g.m) +
         " markers hold " + std::to_string(g.by_animal.size()) + " bytes; give ceil(markers / 4) bytes per animal");
  g.col_bytes = (g.n + 3) / 4;
  g.by_marker.assign(static_cast<size_t>(g.m * g.col_bytes), 0);
  // Tiles of pack_tile groups of four animals. The four bytes of a group
  // that hold markers 4 jb .. 4 jb + 3 become four bytes, one per marker,
  // each holding the group's four animals: spread[b] puts the genotype of
  // marker k of byte b into byte k of a word, and the four animals' words
  // are shifted into place.
  static const auto spread = [] {
    std::array<uint32_t, 256> t{};
    for (unsigned b = 0; b < 256; ++b)
      for (unsigned k = 0; k < 4; ++k) t[b] |= ((b >> (2 * k)) & 3u) << (8 * k);
    return t;
  }();
  // The bytes of a tile are first copied, transpose_chunk bytes of
  // each row, into a small local block, so that every row is read a piece at
  // a time rather than a byte at a time.
  const int tiles = static_cast<int>((g.col_bytes + pack_tile - 1) / pack_tile);
  const auto body = [&g](int t) {
    const int64_t h0 = t * pack_tile, h1 = std::min(g.col_bytes, h0 + pack_tile);
    uint8_t local[4 * pack_tile][transpose_chunk];
    for (int64_t jb0 = 0; jb0 < g.row_bytes; jb0 += transpose_chunk) {
      const int64_t len = std::min(transpose_chunk, g.row_bytes - jb0);
      for (int64_t i = 4 * h0; i < std::min(g.n, 4 * h1); ++i)
        std::memcpy(local[i - 4 * h0], g.by_animal.data() + i * g.row_bytes + jb0, static_cast<size_t>(len));
      for (int64_t jb = jb0; jb < jb0 + len; ++jb) {
        const int64_t j0 = 4 * jb;
        const int nk = static_cast<int>(std::min<int64_t>(4, g.m - j0));
        uint8_t* col = g.by_marker.data() + j0 * g.col_bytes;
        for (int64_t h = h0; h < h1; ++h) {
          uint32_t w = 0;
          for (int q = 0; q < 4; ++q) {
            const int64_t i = 4 * h + q;
            if (i >= g.n) break;
            w |= spread[local[i - 4 * h0][jb - jb0]] << (2 * q);
          }
          for (int k = 0; k < nk; ++k) col[k * g.col_bytes + h] = static_cast<uint8_t>(w >> (8 * k));
        }
      }
    }
  };
  run_parallel(threads < 1 ? 1 : threads, tiles, [&body](int t) { body(t); });
}

namespace snp_products {

// Heterozygotes (n1) and homozygotes for allele 1 (n2) at every marker.
void marker_counts(const packed_genotypes& g, std::vector<int64_t>& n1, std::vector<int64_t>& n2) {
  n1.assign(static_cast<size_t>(g.m), 0);
  n2.assign(static_cast<size_t>(g.m), 0);
  if (!g.by_marker.empty()) {
    // Per byte of four animals: its heterozygotes and homozygotes.
    uint8_t het[256], hom[256];
    for (int b = 0; b < 256; ++b) {
      het[b] = hom[b] = 0;
      for (int q = 0; q < 4; ++q) {
        const int x = (b >> (2 * q)) & 3;
        het[b] = static_cast<uint8_t>(het[b] + (x == 1));
        hom[b] = static_cast<uint8_t>(hom[b] + (x == 2));
      }
    }
    for (int64_t j = 0; j < g.m; ++j) {
      const uint8_t* col = g.by_marker.data() + j * g.col_bytes;
      int64_t a = 0, b = 0;
      for (int64_t h = 0; h < g.col_bytes; ++h) a += het[col[h]], b += hom[col[h]];
      n1[static_cast<size_t>(j)] = a;
      n2[static_cast<size_t>(j)] = b;
    }
    return;
  }
  for (int64_t i = 0; i < g.n; ++i) {
    const uint8_t* row = g.by_animal.data() + i * g.row_bytes;
    for (int64_t j = 0; j < g.m; ++j) {
      const int x = (row[j / 4] >> (2 * (j % 4))) & 3;
      n1[static_cast<size_t>(j)] += x == 1;
      n2[static_cast<size_t>(j)] += x == 2;
    }
  }
}

}  // namespace snp_products

std::vector<double> centre_2p(const packed_genotypes& g) {
  if (g.n == 0) stop("genomic prediction: no animals to take allele frequencies from");
  std::vector<int64_t> n1, n2;
  marker_counts(g, n1, n2);
  std::vector<double> c(static_cast<size_t>(g.m));
  for (size_t j = 0; j < c.size(); ++j)
    c[j] = static_cast<double>(n1[j] + 2 * n2[j]) / static_cast<double>(g.n);
  return c;
}

double snp_lambda(double h2, std::span<const double> centre) {
  if (!(h2 > 0.0 && h2 < 1.0))
    stop("genomic prediction: heritability " + std::to_string(h2) + " gives no variance ratio; use 0 < h2 < 1");
  double k = 0.0;  // 2 sum p (1 - p) = sum c (1 - c / 2)
  for (const double c : centre) k += c * (1.0 - 0.5 * c);
  if (!(k > 0.0))
    stop("genomic prediction: no marker segregates in the reference animals; give polymorphic markers");
  return (1.0 - h2) / h2 * k;
}

void z_times(const packed_genotypes& g, std::span<const double> centre, std::span<const double> w,
             std::span<double> out, int threads) {
  check_centre(g, centre);
  if (static_cast<int64_t>(w.size()) != g.m || static_cast<int64_t>(out.size()) != g.n)
    stop("genomic prediction: Z w needs one value per marker and gives one per animal");
  std::vector<double> tab;
  z_product(g, centre, w, out.data(), tab, threads < 1 ? 1 : threads);
}

void zt_times(const packed_genotypes& g, std::span<const double> centre, std::span<const double> t,
              std::span<double> out, int threads) {
  check_centre(g, centre);
  if (g.col_bytes == 0 && g.n > 0)
    stop("genomic prediction: the genotypes were packed without the marker-major copy; pack them with by_marker");
  if (static_cast<int64_t>(t.size()) != g.n || static_cast<int64_t>(out.size()) != g.m)
    stop("genomic prediction: Z' t needs one value per animal and gives one per marker");
  std::vector<double> tab;
  zt_product(g, centre, t, out.data(), tab, threads < 1 ? 1 : threads);
}

snp_blup_solution snp_blup_solve(const packed_genotypes& ref, std::span<const double> y,
                                 std::span<const double> centre, double lambda, std::span<const double> start,
                                 const pcg_options& opt) {
  check_centre(ref, centre);
  const int64_t n = ref.n, m = ref.m;
  if (n == 0) stop("genomic prediction: no reference animals");
  if (ref.col_bytes == 0)
    stop("genomic prediction: the reference genotypes were packed without the marker-major copy; pack them with by_marker");
  if (static_cast<int64_t>(y.size()) != n)
    stop("genomic prediction: " + std::to_string(y.size()) + " phenotypes for " + std::to_string(n) +
         " reference animals; give one phenotype per reference animal");
  for (size_t i = 0; i < y.size(); ++i)
    if (!std::isfinite(y[i]))
      stop("genomic prediction: phenotype of reference animal " + std::to_string(i + 1) +
           " is not a finite number; leave the animal out of the reference");
  if (!(lambda > 0.0) || !std::isfinite(lambda))
    stop("genomic prediction: variance ratio " + std::to_string(lambda) + " is not positive");
  if (!start.empty() && static_cast<int64_t>(start.size()) != 1 + m)
    stop("genomic prediction: a start of " + std::to_string(start.size()) + " values for " + std::to_string(m) +
         " markers; give mu and one effect per marker");
  const int th = opt.threads < 1 ? 1 : opt.threads;

  // Diagonal: n for mu, sum_i z_ij^2 + lambda for marker j, from the counts
  // of heterozygotes and of homozygotes for allele 1.
  std::vector<int64_t> n1, n2;
  marker_counts(ref, n1, n2);
  std::vector<double> diag(static_cast<size_t>(1 + m)), rhs(static_cast<size_t>(1 + m));
  diag[0] = static_cast<double>(n);
  for (int64_t j = 0; j < m; ++j) {
    const double c = centre[static_cast<size_t>(j)];
    const double k1 = static_cast<double>(n1[static_cast<size_t>(j)]);
    const double k2 = static_cast<double>(n2[static_cast<size_t>(j)]);
    const double k0 = static_cast<double>(n) - k1 - k2;
    diag[static_cast<size_t>(1 + j)] = ((k0 * (c * c) + k1 * ((1.0 - c) * (1.0 - c))) + k2 * ((2.0 - c) * (2.0 - c))) + lambda;
  }
  // Every iteration reads both copies of the genotypes once: tiled copies
  // for the duration of the solve.
  const tiled_rows by_animal = tile_rows(ref.by_animal.data(), n, ref.row_bytes, th);
  const tiled_rows by_marker = tile_rows(ref.by_marker.data(), m, ref.col_bytes, th);
  std::vector<double> tab;
  rhs[0] = serial_sum(y);
  zt_product_tiled(ref, by_marker, centre, y, rhs.data() + 1, tab, th);

  std::vector<double> t(static_cast<size_t>(n));
  const auto apply = [&](const double* v, double* q) {
    const std::span<const double> w(v + 1, static_cast<size_t>(m));
    z_product_tiled(ref, by_animal, centre, w, t.data(), tab, th);
    for (int64_t i = 0; i < n; ++i) t[static_cast<size_t>(i)] = v[0] + t[static_cast<size_t>(i)];
    zt_product_tiled(ref, by_marker, centre, t, q + 1, tab, th);
    q[0] = serial_sum(t);
    for (int64_t j = 0; j < m; ++j) q[1 + j] += lambda * v[1 + j];
  };

  snp_blup_solution s;
  s.centre.assign(centre.begin(), centre.end());
  s.lambda = lambda;
  std::vector<double> x(static_cast<size_t>(1 + m), 0.0);
  std::copy(start.begin(), start.end(), x.begin());
  s.stats = pcg_solve(apply, diag, rhs, x, opt);
  s.mu = x[0];
  s.effects.assign(x.begin() + 1, x.end());
  return s;
}

snp_blup_solution snp_blup(const packed_genotypes& ref, std::span<const double> y, double h2,
                           std::span<const double> start, const pcg_options& opt) {
  const std::vector<double> c = centre_2p(ref);
  return snp_blup_solve(ref, y, c, snp_lambda(h2, c), start, opt);
}

std::vector<double> gebv(const packed_genotypes& g, const snp_blup_solution& s, int threads) {
  std::vector<double> out(static_cast<size_t>(g.n));
  z_times(g, s.centre, s.effects, out, threads);
  return out;
}

}  // namespace qm
