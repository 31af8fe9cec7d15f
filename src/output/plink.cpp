#include "output/plink.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "base/atomic_file.hpp"
#include "base/cpu_features.hpp"
#include "base/threads.hpp"
#include "population/population.hpp"

namespace qm {

namespace {

// Variants per block: the unit of parallel work. A block is formed sixteen
// groups of four animals at a time: their eight haplotypes each are read in
// runs of up to 1024 bytes (while the next group's are fetched), packed, and
// transposed into the block of .bed (1024 rows of 250 bytes for 1000
// animals), which stays in the second-level cache. Reading the haplotypes
// once, in long runs, is most of the cost.
constexpr int32_t block = 1024;
// Bytes of .bed formed before they are written.
constexpr size_t batch_bytes = size_t{4} << 20;

struct twos_t {
  int8_t v[block];
  twos_t() { std::fill(v, v + block, int8_t{2}); }
};
const twos_t twos;

// Work space of one part: gathered columns of a group of four animals, and
// the packed bytes of sixteen groups.
struct scratch_t {
  alignas(32) int8_t col[8][block];
  alignas(32) uint8_t packed[16][block];
};

// The .bed bytes of four animals (haplotypes h[0..7], sire's first) at 16
// consecutive variants from offset off. With x the copies of allele 1
// (4 - a - b), the code is 0 -> 00, 1 -> 10, 2 -> 11, i.e. x + min(x, 1).
// bad collects bits of any allele outside 1..2.
#if defined(__SSE2__)
inline __m128i code16(const int8_t* a, const int8_t* b, __m128i& bad) {
  const __m128i one = _mm_set1_epi8(1), four = _mm_set1_epi8(4), high = _mm_set1_epi8(static_cast<char>(0xfe));
  const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
  const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
  bad = _mm_or_si128(bad, _mm_and_si128(_mm_or_si128(_mm_sub_epi8(va, one), _mm_sub_epi8(vb, one)), high));
  const __m128i x = _mm_sub_epi8(four, _mm_add_epi8(va, vb));
  return _mm_add_epi8(x, _mm_min_epu8(x, one));
}

inline void pack16(const int8_t* const h[8], int32_t off, uint8_t* out, __m128i& bad) {
  // Codes are at most 3 (when the alleles are valid), so the 16-bit shifts
  // move no bit across a byte.
  const __m128i c0 = code16(h[0] + off, h[1] + off, bad);
  const __m128i c1 = code16(h[2] + off, h[3] + off, bad);
  const __m128i c2 = code16(h[4] + off, h[5] + off, bad);
  const __m128i c3 = code16(h[6] + off, h[7] + off, bad);
  const __m128i r = _mm_or_si128(_mm_or_si128(c0, _mm_slli_epi16(c1, 2)),
                                 _mm_or_si128(_mm_slli_epi16(c2, 4), _mm_slli_epi16(c3, 6)));
  _mm_store_si128(reinterpret_cast<__m128i*>(out), r);
}

// Rows: packed[j] + off, 16 bytes of group j (j = 0..15) at 16 variants.
// Writes variant i's bytes of the 16 groups to out + i * stride, i < n.
inline void transpose16(const uint8_t (*packed)[block], int32_t off, uint8_t* out, size_t stride, int32_t n) {
  __m128i a[16], b[16];
#pragma GCC unroll 16
  for (int j = 0; j < 16; ++j) a[j] = _mm_load_si128(reinterpret_cast<const __m128i*>(packed[j] + off));
  // After round r, b[k] holds 2^r-byte runs of consecutive groups; the runs
  // of variants 0..7 (low halves) come first.
#pragma GCC unroll 8
  for (int k = 0; k < 8; ++k) {
    b[k] = _mm_unpacklo_epi8(a[2 * k], a[2 * k + 1]);      // variants 0..7, groups 2k, 2k+1
    b[k + 8] = _mm_unpackhi_epi8(a[2 * k], a[2 * k + 1]);  // variants 8..15
  }
#pragma GCC unroll 4
  for (int k = 0; k < 4; ++k) {
    a[k] = _mm_unpacklo_epi16(b[2 * k], b[2 * k + 1]);           // variants 0..3, groups 4k..4k+3
    a[k + 4] = _mm_unpackhi_epi16(b[2 * k], b[2 * k + 1]);       // variants 4..7
    a[k + 8] = _mm_unpacklo_epi16(b[2 * k + 8], b[2 * k + 9]);   // variants 8..11
    a[k + 12] = _mm_unpackhi_epi16(b[2 * k + 8], b[2 * k + 9]);  // variants 12..15
  }
  // a[4v + k]: variants 4v..4v+3, groups 4k..4k+3.
#pragma GCC unroll 4
  for (int v = 0; v < 4; ++v) {
#pragma GCC unroll 2
    for (int k = 0; k < 2; ++k) {
      b[4 * v + k] = _mm_unpacklo_epi32(a[4 * v + 2 * k], a[4 * v + 2 * k + 1]);      // variants 4v, 4v+1; groups 8k..8k+7
      b[4 * v + k + 2] = _mm_unpackhi_epi32(a[4 * v + 2 * k], a[4 * v + 2 * k + 1]);  // variants 4v+2, 4v+3
    }
  }
#pragma GCC unroll 4
  for (int v = 0; v < 4; ++v) {
    a[4 * v] = _mm_unpacklo_epi64(b[4 * v], b[4 * v + 1]);
    a[4 * v + 1] = _mm_unpackhi_epi64(b[4 * v], b[4 * v + 1]);
    a[4 * v + 2] = _mm_unpacklo_epi64(b[4 * v + 2], b[4 * v + 3]);
    a[4 * v + 3] = _mm_unpackhi_epi64(b[4 * v + 2], b[4 * v + 3]);
  }
  if (n == 16) {
#pragma GCC unroll 16
    for (int i = 0; i < 16; ++i) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i * stride), a[i]);
  } else {
    for (int i = 0; i < n; ++i) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i * stride), a[i]);
  }
}

struct bad_bits {
  __m128i v = _mm_setzero_si128();
  bool any() const { return _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())) != 0xffff; }
};
#else
struct bad_bits {
  uint8_t v = 0;
  bool any() const { return v != 0; }
};

inline uint8_t code1(int8_t a, int8_t b, uint8_t& bad) {
  bad |= static_cast<uint8_t>((static_cast<uint8_t>(a - 1) | static_cast<uint8_t>(b - 1)) & 0xfe);
  const uint8_t x = static_cast<uint8_t>(4 - a - b);
  return static_cast<uint8_t>(x + (x != 0));
}

inline void pack16(const int8_t* const h[8], int32_t off, uint8_t* out, uint8_t& bad) {
  for (int32_t v = off; v < off + 16; ++v)
    *out++ = static_cast<uint8_t>(code1(h[0][v], h[1][v], bad) | code1(h[2][v], h[3][v], bad) << 2 |
                                  code1(h[4][v], h[5][v], bad) << 4 | code1(h[6][v], h[7][v], bad) << 6);
}

inline void transpose16(const uint8_t (*packed)[block], int32_t off, uint8_t* out, size_t stride, int32_t n) {
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < 16; ++j) out[i * stride + j] = packed[j][off + i];
}
#endif

// The packed bytes of group q (animals 4q..4q+3) at variants v0..v0+nv-1
// into packed[0..nv) (rounded up to 16).
inline void pack_group(const genotype_view& g, int32_t q, int32_t v0, int32_t nv, scratch_t& s, uint8_t* packed,
                       bad_bits& bad) {
  const int32_t nhap = 2 * g.nanimals;
  const int8_t* h[8];
  if (g.bits) {
    // One bit per allele: the alleles unpacked (or gathered) into the
    // scratch columns, whose rest holds 2s.
    for (int32_t j = 0; j < 8; ++j) {
      const int32_t hap = 8 * q + j;
      if (hap >= nhap) {
        h[j] = twos.v;
        continue;
      }
      const uint64_t* row = g.bits[hap];
      if (g.pick) {
        const int32_t* pk = g.pick + v0;
        for (int32_t v = 0; v < nv; ++v) s.col[j][v] = static_cast<int8_t>(1 + ((row[pk[v] >> 6] >> (pk[v] & 63)) & 1u));
      } else {
        haplotype_matrix::unpack_bits(row, v0, v0 + nv, s.col[j]);
      }
      h[j] = s.col[j];
    }
    for (int32_t off = 0; off < nv; off += 16) pack16(h, off, packed + off, bad.v);
    return;
  }
  if (g.pick) {
    // Gathered columns; the rest of each scratch column holds 2s.
    for (int32_t j = 0; j < 8; ++j) {
      const int32_t hap = 8 * q + j;
      if (hap >= nhap) {
        h[j] = twos.v;  // the padding animals of the last byte: code 00
        continue;
      }
      const int8_t* col = g.haplotype[hap];
      const int32_t* pk = g.pick + v0;
      for (int32_t v = 0; v < nv; ++v) s.col[j][v] = col[pk[v]];
      h[j] = s.col[j];
    }
    for (int32_t off = 0; off < nv; off += 16) pack16(h, off, packed + off, bad.v);
    return;
  }
  for (int32_t j = 0; j < 8; ++j) {
    const int32_t hap = 8 * q + j;
    h[j] = hap < nhap ? g.haplotype[hap] + v0 : twos.v;
  }
  // Whole runs of 16 straight from the columns. While this group is packed,
  // the columns of the next one are fetched (one cache line of each of its
  // eight haplotypes per 64 variants).
  const int32_t whole = nv & ~15;
  if (8 * q + 15 < nhap) {
    const int8_t* const* next = g.haplotype + 8 * q + 8;
    for (int32_t off = 0; off < whole; off += 64) {
      for (int32_t j = 0; j < 8; ++j) __builtin_prefetch(next[j] + v0 + off);
      for (int32_t o = off; o < off + 64 && o < whole; o += 16) pack16(h, o, packed + o, bad.v);
    }
  } else {
    for (int32_t off = 0; off < whole; off += 16) pack16(h, off, packed + off, bad.v);
  }
  if (whole < nv) {
    // The last few variants of the column, padded with 2s.
    const int8_t* t[8];
    for (int32_t j = 0; j < 8; ++j) {
      std::fill(s.col[j], s.col[j] + 16, int8_t{2});
      std::memcpy(s.col[j], h[j] + whole, static_cast<size_t>(nv - whole));
      t[j] = s.col[j];
    }
    pack16(t, 0, packed + whole, bad.v);
  }
}

#if defined(__x86_64__)
// The AVX2 forms of code16, pack16 and transpose16: 32 variants at a time.
__attribute__((target("avx2"))) inline __m256i code32(const int8_t* a, const int8_t* b, __m256i& bad) {
  const __m256i one = _mm256_set1_epi8(1), four = _mm256_set1_epi8(4),
                high = _mm256_set1_epi8(static_cast<char>(0xfe));
  const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a));
  const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b));
  bad = _mm256_or_si256(bad, _mm256_and_si256(_mm256_or_si256(_mm256_sub_epi8(va, one), _mm256_sub_epi8(vb, one)), high));
  const __m256i x = _mm256_sub_epi8(four, _mm256_add_epi8(va, vb));
  return _mm256_add_epi8(x, _mm256_min_epu8(x, one));
}

__attribute__((target("avx2"))) inline void pack32(const int8_t* const h[8], int32_t off, uint8_t* out, __m256i& bad) {
  const __m256i c0 = code32(h[0] + off, h[1] + off, bad);
  const __m256i c1 = code32(h[2] + off, h[3] + off, bad);
  const __m256i c2 = code32(h[4] + off, h[5] + off, bad);
  const __m256i c3 = code32(h[6] + off, h[7] + off, bad);
  const __m256i r = _mm256_or_si256(_mm256_or_si256(c0, _mm256_slli_epi16(c1, 2)),
                                    _mm256_or_si256(_mm256_slli_epi16(c2, 4), _mm256_slli_epi16(c3, 6)));
  _mm256_store_si256(reinterpret_cast<__m256i*>(out), r);
}

// The unpacks work within each 128-bit lane, so this is transpose16 twice:
// the low lanes give variants 0..15, the high lanes variants 16..31.
__attribute__((target("avx2"))) inline void transpose32(const uint8_t (*packed)[block], int32_t off, uint8_t* out,
                                                        size_t stride) {
  __m256i a[16], b[16];
#pragma GCC unroll 16
  for (int j = 0; j < 16; ++j) a[j] = _mm256_load_si256(reinterpret_cast<const __m256i*>(packed[j] + off));
#pragma GCC unroll 8
  for (int k = 0; k < 8; ++k) {
    b[k] = _mm256_unpacklo_epi8(a[2 * k], a[2 * k + 1]);
    b[k + 8] = _mm256_unpackhi_epi8(a[2 * k], a[2 * k + 1]);
  }
#pragma GCC unroll 4
  for (int k = 0; k < 4; ++k) {
    a[k] = _mm256_unpacklo_epi16(b[2 * k], b[2 * k + 1]);
    a[k + 4] = _mm256_unpackhi_epi16(b[2 * k], b[2 * k + 1]);
    a[k + 8] = _mm256_unpacklo_epi16(b[2 * k + 8], b[2 * k + 9]);
    a[k + 12] = _mm256_unpackhi_epi16(b[2 * k + 8], b[2 * k + 9]);
  }
#pragma GCC unroll 4
  for (int v = 0; v < 4; ++v) {
#pragma GCC unroll 2
    for (int k = 0; k < 2; ++k) {
      b[4 * v + k] = _mm256_unpacklo_epi32(a[4 * v + 2 * k], a[4 * v + 2 * k + 1]);
      b[4 * v + k + 2] = _mm256_unpackhi_epi32(a[4 * v + 2 * k], a[4 * v + 2 * k + 1]);
    }
  }
#pragma GCC unroll 4
  for (int v = 0; v < 4; ++v) {
    a[4 * v] = _mm256_unpacklo_epi64(b[4 * v], b[4 * v + 1]);
    a[4 * v + 1] = _mm256_unpackhi_epi64(b[4 * v], b[4 * v + 1]);
    a[4 * v + 2] = _mm256_unpacklo_epi64(b[4 * v + 2], b[4 * v + 3]);
    a[4 * v + 3] = _mm256_unpackhi_epi64(b[4 * v + 2], b[4 * v + 3]);
  }
#pragma GCC unroll 16
  for (int i = 0; i < 16; ++i) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i * stride), _mm256_castsi256_si128(a[i]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + (i + 16) * stride), _mm256_extracti128_si256(a[i], 1));
  }
}

// pack_group for whole columns (no choice of loci), 32 variants at a time.
__attribute__((target("avx2"))) void pack_group_avx2(const genotype_view& g, int32_t q, int32_t v0, int32_t nv,
                                                     scratch_t& s, uint8_t* packed, bad_bits& bad, __m256i& bad32) {
  const int32_t nhap = 2 * g.nanimals;
  const int8_t* h[8];
  for (int32_t j = 0; j < 8; ++j) {
    const int32_t hap = 8 * q + j;
    h[j] = hap < nhap ? g.haplotype[hap] + v0 : twos.v;
  }
  const int32_t whole = nv & ~31;
  if (8 * q + 15 < nhap) {
    const int8_t* const* next = g.haplotype + 8 * q + 8;
    for (int32_t off = 0; off < whole; off += 64) {
      for (int32_t j = 0; j < 8; ++j) __builtin_prefetch(next[j] + v0 + off);
      pack32(h, off, packed + off, bad32);
      if (off + 32 < whole) pack32(h, off + 32, packed + off + 32, bad32);
    }
  } else {
    for (int32_t off = 0; off < whole; off += 32) pack32(h, off, packed + off, bad32);
  }
  int32_t off = whole;
  if (off + 16 <= nv) {
    pack16(h, off, packed + off, bad.v);
    off += 16;
  }
  if (off < nv) {
    const int8_t* t[8];
    for (int32_t j = 0; j < 8; ++j) {
      std::fill(s.col[j], s.col[j] + 16, int8_t{2});
      std::memcpy(s.col[j], h[j] + off, static_cast<size_t>(nv - off));
      t[j] = s.col[j];
    }
    pack16(t, 0, packed + off, bad.v);
  }
}

// pack_block for whole columns with AVX2.
__attribute__((target("avx2"))) bool pack_block_avx2(const genotype_view& g, int32_t v0, int32_t nv, uint8_t* out,
                                                     size_t rowbytes, scratch_t& s) {
  bad_bits bad;
  __m256i bad32 = _mm256_setzero_si256();
  const int32_t ngroups = static_cast<int32_t>(rowbytes);
  const int32_t whole = nv & ~31;
  int32_t q = 0;
  for (; q + 16 <= ngroups; q += 16) {
    for (int32_t j = 0; j < 16; ++j) pack_group_avx2(g, q + j, v0, nv, s, s.packed[j], bad, bad32);
    for (int32_t off = 0; off < whole; off += 32) transpose32(s.packed, off, out + off * rowbytes + q, rowbytes);
    for (int32_t off = whole; off < nv; off += 16)
      transpose16(s.packed, off, out + off * rowbytes + q, rowbytes, std::min<int32_t>(16, nv - off));
  }
  for (; q < ngroups; ++q) {
    pack_group_avx2(g, q, v0, nv, s, s.packed[0], bad, bad32);
    uint8_t* o = out + q;
    for (int32_t v = 0; v < nv; ++v, o += rowbytes) *o = s.packed[0][v];
  }
  return !bad.any() && _mm256_testz_si256(bad32, bad32);
}
#endif

// Rows v0 .. v0+nv-1 (nv <= block) of .bed into out (nv rows of rowbytes).
// Sixteen groups at a time are packed and then transposed 16 x 16; the
// groups left over are stored byte by byte. With a choice of loci the
// columns are gathered first. False when an allele outside 1..2 was met.
bool pack_block(const genotype_view& g, int32_t v0, int32_t nv, uint8_t* out, size_t rowbytes, scratch_t& s,
                bool wide) {
#if defined(__x86_64__)
  if (wide && !g.pick && !g.bits && avx2_enabled()) return pack_block_avx2(g, v0, nv, out, rowbytes, s);
#else
  (void)wide;
#endif
  if ((g.pick || g.bits) && nv < block)
    for (auto& c : s.col) std::fill(c, c + block, int8_t{2});
  bad_bits bad;
  const int32_t ngroups = static_cast<int32_t>(rowbytes);
  int32_t q = 0;
  for (; q + 16 <= ngroups; q += 16) {
    for (int32_t j = 0; j < 16; ++j) pack_group(g, q + j, v0, nv, s, s.packed[j], bad);
    for (int32_t off = 0; off < nv; off += 16)
      transpose16(s.packed, off, out + off * rowbytes + q, rowbytes, std::min<int32_t>(16, nv - off));
  }
  for (; q < ngroups; ++q) {
    pack_group(g, q, v0, nv, s, s.packed[0], bad);
    uint8_t* o = out + q;
    for (int32_t v = 0; v < nv; ++v, o += rowbytes) *o = s.packed[0][v];
  }
  return !bad.any();
}

char* put_int(char* p, int64_t v) { return std::to_chars(p, p + 24, v).ptr; }

// The shortest decimal that reads back to v (possibly with an exponent).
// Room: 40.
char* put_real(char* p, double v) { return std::to_chars(p, p + 40, v).ptr; }

// v rounded to six decimals, in fixed notation without trailing zeros
// (values beyond 1e12 in magnitude, and NaN, in the shortest form). Room: 40.
char* put_fixed6(char* p, double v) {
  if (!(std::fabs(v) < 1e12)) return put_real(p, v);
  int64_t n = std::llround(v * 1e6);
  if (n < 0) {
    *p++ = '-';
    n = -n;
  }
  p = put_int(p, n / 1000000);
  int64_t frac = n % 1000000;
  if (frac != 0) {
    int digits = 6;
    while (frac % 10 == 0) frac /= 10, --digits;
    *p++ = '.';
    for (int d = digits - 1; d >= 0; --d, frac /= 10) p[d] = static_cast<char>('0' + frac % 10);
    p += digits;
  }
  return p;
}

// Lines of text collected in a buffer and handed to the file in blocks.
struct line_buffer {
  atomic_file& f;
  std::unique_ptr<char[]> buf{new char[size_t{1} << 17]};
  size_t len = 0;
  // Room for n characters.
  char* room(size_t n) {
    if (len + n > (size_t{1} << 17)) {
      f.write(buf.get(), len);
      len = 0;
      if (n > (size_t{1} << 17)) throw file_error(f.name(), "Result file " + f.name() + " has a line too long.");
    }
    return buf.get() + len;
  }
  void done(char* end) { len = static_cast<size_t>(end - buf.get()); }
  void flush() { f.write(buf.get(), len); len = 0; }
};

inline char* put_text(char* p, const std::string& t) {
  std::memcpy(p, t.data(), t.size());
  return p + t.size();
}

void write_bed(atomic_file& f, const genotype_view& g, const std::vector<variant_info>& variants,
               const animal_list& animals, int nthreads) {
  const uint8_t magic[3] = {0x6c, 0x1b, 0x01};
  const size_t rowbytes = (static_cast<size_t>(g.nanimals) + 3) / 4;
  f.reserve(3 + rowbytes * static_cast<size_t>(g.nvariants));
  f.write(magic, 3);
  if (rowbytes == 0 || g.nvariants == 0) return;
  const int32_t batch_blocks = static_cast<int32_t>(
      std::max<size_t>(1, std::min<size_t>(batch_bytes / (rowbytes * block), (g.nvariants + block - 1) / block)));
  std::unique_ptr<uint8_t[]> buf(new uint8_t[static_cast<size_t>(batch_blocks) * block * rowbytes]);
  std::unique_ptr<scratch_t[]> scratch(new scratch_t[static_cast<size_t>(batch_blocks)]);
  std::vector<char> ok(static_cast<size_t>(batch_blocks));
  for (int32_t v0 = 0; v0 < g.nvariants; v0 += batch_blocks * block) {
    const int32_t nb = std::min<int32_t>(batch_blocks, (g.nvariants - v0 + block - 1) / block);
    run_parallel(nthreads, nb, [&](int k) {
      const int32_t a = v0 + k * block, nv = std::min<int32_t>(block, g.nvariants - a);
      ok[static_cast<size_t>(k)] = pack_block(g, a, nv, buf.get() + static_cast<size_t>(k) * block * rowbytes,
                                              rowbytes, scratch[static_cast<size_t>(k)], true);
    });
    for (int32_t k = 0; k < nb; ++k)
      if (!ok[static_cast<size_t>(k)]) throw_bad_allele(f.name(), g, variants, animals);
    const int32_t nv = std::min<int32_t>(nb * block, g.nvariants - v0);
    f.write(buf.get(), static_cast<size_t>(nv) * rowbytes);
  }
}

void write_bim(atomic_file& f, const std::vector<variant_info>& variants) {
  line_buffer b{f};
  for (const variant_info& v : variants) {
    char* p = b.room(v.name.size() + 100);
    p = put_int(p, v.chromosome);
    *p++ = '\t';
    p = put_text(p, v.name);
    *p++ = '\t';
    p = put_fixed6(p, v.cm);
    *p++ = '\t';
    p = put_int(p, v.bp);
    p[0] = '\t';
    p[1] = v.alt;
    p[2] = '\t';
    p[3] = v.ref;
    p[4] = '\n';
    b.done(p + 5);
  }
  b.flush();
}

void write_fam(atomic_file& f, const animal_list& animals) {
  line_buffer b{f};
  for (const animal_info& a : animals.animals) {
    char* p = b.room(a.family.size() + a.id.size() + a.sire.size() + a.dam.size() + 100);
    p = put_text(p, a.family);
    *p++ = '\t';
    p = put_text(p, a.id);
    *p++ = '\t';
    p = put_text(p, a.sire);
    *p++ = '\t';
    p = put_text(p, a.dam);
    *p++ = '\t';
    p = put_int(p, a.sex);
    *p++ = '\t';
    if (std::isnan(a.phenotype)) {
      *p++ = '-';
      *p++ = '9';
    } else if (animals.threshold_trait) {
      *p++ = a.phenotype == 1.0 ? '2' : '1';
    } else {
      p = put_real(p, a.phenotype);
    }
    *p++ = '\n';
    b.done(p);
  }
  b.flush();
}

}  // namespace

bool pack_bed_rows(const genotype_view& g, int32_t v0, int32_t nv, uint8_t* out, bool wide) {
  const size_t rowbytes = (static_cast<size_t>(g.nanimals) + 3) / 4;
  if (rowbytes == 0) return true;
  std::unique_ptr<scratch_t> s(new scratch_t);
  bool ok = true;
  for (int32_t a = v0; a < v0 + nv; a += block)
    ok = pack_block(g, a, std::min<int32_t>(block, v0 + nv - a), out + static_cast<size_t>(a - v0) * rowbytes,
                    rowbytes, *s, wide) && ok;
  return ok;
}

std::vector<std::string> write_plink(const std::string& prefix, const genotype_view& g,
                                     const std::vector<variant_info>& variants, const animal_list& animals,
                                     int nthreads) {
  const std::string bed = prefix + ".bed", bim = prefix + ".bim", fam = prefix + ".fam";
  check_genotypes(bed, g, variants, animals);
  for (const variant_info& v : variants)
    if (v.bp < 0)
      throw file_error(bim, "Result file " + bim + " cannot be written: variant " + v.name +
                                " has a negative position in base pairs.");
  // All three are complete before any of them takes its name.
  atomic_file fbed(bed), fbim(bim), ffam(fam);
  write_bed(fbed, g, variants, animals, std::max(1, nthreads));
  write_bim(fbim, variants);
  write_fam(ffam, animals);
  fbed.commit();
  fbim.commit();
  ffam.commit();
  return {bed, bim, fam};
}

}  // namespace qm
