#include "output/results.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "output/fixed.hpp"
#include "output/textfile.hpp"
#include "run/threads.hpp"

namespace qm {

std::string result_name(int32_t g, const char* name) {
  std::string s;
  add_imin(s, g, 2, 2);
  return s + name;
}

namespace {

// An identifier: zero-padded to six digits, or as many as it needs.
inline char* put_id(char* p, int64_t v) { return put_imin(p, v, 6, 6); }

// I2 of every allele value.
struct allele_text {
  char t[256][2];
  allele_text() {
    for (int v = -128; v < 128; ++v) {
      char tmp[2];
      put_i(tmp, v, 2);
      std::memcpy(t[static_cast<uint8_t>(v)], tmp, 2);
    }
  }
};

// The alleles of n loci as I2 fields: a blank and a digit for 0..9 (sixteen
// at a time), the table for other values.
char* put_alleles(char* q, const int8_t* a, size_t n) {
  static const allele_text at;
  size_t k = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_set1_epi8('0'), blank = _mm_set1_epi8(' '), nine = _mm_set1_epi8(9);
  for (; k + 16 <= n; k += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + k));
    // a byte of 0..9 is unchanged by the unsigned minimum with 9
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(v, nine), v)) != 0xffff) break;
    const __m128i d = _mm_add_epi8(v, zero);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(q), _mm_unpacklo_epi8(blank, d));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(q + 16), _mm_unpackhi_epi8(blank, d));
    q += 32;
  }
#endif
  for (; k < n; ++k) {
    std::memcpy(q, at.t[static_cast<uint8_t>(a[k])], 2);
    q += 2;
  }
  return q;
}

// One line of a haplotype file: generation, identifier, alleles.
char* hap_line(char* q, const popstate& p, int32_t g, int h, const int8_t* col, const int32_t* pick, size_t n,
               int8_t* scratch) {
  q = put_x(q, 2);
  q = put_id(q, g);
  q = put_x(q, 2);
  q = put_id(q, static_cast<int64_t>(g) * p.idmult + (h + 1) / 2);
  if (pick) {
    for (size_t k = 0; k < n; ++k) scratch[k] = col[pick[k]];
    q = put_alleles(q, scratch, n);
  } else {
    q = put_alleles(q, col, n);
  }
  *q++ = '\n';
  return q;
}

// The haplotype lines of a generation, formatted in parallel in batches of
// consecutive haplotypes and written in order.
void haplotypes(textfile& f, const popstate& p, int32_t g, const arr2<int8_t>& geno, const int32_t* pick, size_t n) {
  const size_t line_max = 2 + 24 + 2 + 24 + 2 * n + 1;
  const int per_part = static_cast<int>(std::max<size_t>(1, (size_t{1} << 20) / line_max));
  const int parts_per_round = std::max(1, 2 * p.threads);
  std::vector<std::unique_ptr<char[]>> buf(static_cast<size_t>(parts_per_round));
  std::vector<size_t> used(static_cast<size_t>(parts_per_round));
  std::vector<std::vector<int8_t>> scratch(static_cast<size_t>(parts_per_round), std::vector<int8_t>(n));
  for (int h0 = 1; h0 <= p.nhap; h0 += per_part * parts_per_round) {
    run_parallel(p.threads, parts_per_round, [&](int k) {
      const int a = h0 + k * per_part, b = std::min(p.nhap, a + per_part - 1);
      used[static_cast<size_t>(k)] = 0;
      if (a > b) return;
      if (!buf[static_cast<size_t>(k)]) buf[static_cast<size_t>(k)].reset(new char[static_cast<size_t>(per_part) * line_max]);
      char* q0 = buf[static_cast<size_t>(k)].get();
      char* q = q0;
      for (int h = a; h <= b; ++h) q = hap_line(q, p, g, h, geno.col(h), pick, n, scratch[static_cast<size_t>(k)].data());
      used[static_cast<size_t>(k)] = static_cast<size_t>(q - q0);
    });
    for (int k = 0; k < parts_per_round; ++k) tf_write(f, buf[static_cast<size_t>(k)].get(), used[static_cast<size_t>(k)]);
  }
}

void bvfile(textfile& f, const popstate& p, int32_t g) {
  std::string head;
  add_a(head, "ID", 7);
  add_a(head, "Sire", 7);
  add_a(head, "Dam", 7);
  add_a(head, "Sex", 5);
  add_a(head, "Bred", 5);
  if (p.ntrait == 1) {
    add_a(head, "TBV", 10);
    add_a(head, "Phe", 10);
  } else {
    for (int t = 1; t <= p.ntrait; ++t) {
      std::string tb = "TBV", ph = "Phe";
      add_imin(tb, t, 2, 2);
      add_imin(ph, t, 2, 2);
      add_a(head, tb, 10);
      add_a(head, ph, 10);
    }
  }
  tf_line(f, head);
  std::vector<char> bred(static_cast<size_t>(p.nind) + 1, 0);
  for (int k = 1; k <= p.sireid.size(); ++k)
    if (p.sireid(k) >= 1 && p.sireid(k) <= p.nind) bred[static_cast<size_t>(p.sireid(k))] = 1;
  for (int k = 1; k <= p.damid.size(); ++k)
    if (p.damid(k) >= 1 && p.damid(k) <= p.nind) bred[static_cast<size_t>(p.damid(k))] = 1;
  const int64_t self = static_cast<int64_t>(g) * p.idmult;
  const int64_t prev = static_cast<int64_t>(g - 1) * p.idmult;
  for (int i = 1; i <= p.nind; ++i) {
    char* q = tf_room(f, 3 * 26 + 6 + static_cast<size_t>(p.ntrait) * 40 + 1);
    q = put_x(q, 2);
    q = put_id(q, p.ped(1, i) + self);
    q = put_x(q, 2);
    q = put_id(q, g == 0 ? 0 : p.ped(2, i) + prev);
    q = put_x(q, 2);
    q = put_id(q, g == 0 ? 0 : p.ped(3, i) + prev);
    q = put_i(q, (i & 1) ? 1 : 2, 3);
    q = put_i(q, bred[static_cast<size_t>(i)], 3);
    for (int t = 1; t <= p.ntrait; ++t) {
      q = put_x(q, 2);
      q = put_f(q, p.bv(i, 1, t), 18, 12);
      q = put_x(q, 2);
      q = put_f(q, p.bv(i, 2, t), 18, 12);
    }
    *q++ = '\n';
    tf_commit(f, q);
    tf_maybe_flush(f);
  }
}

}  // namespace

void write_generation_files(popstate& p, int32_t g) {
  textfile fm, fq, fb;
  tf_open(fm, result_name(g, "MTYPE.out"));
  tf_open(fq, result_name(g, "QTYPE.out"));
  tf_open(fb, result_name(g, "BV.out"));
  std::vector<int32_t> qtl(static_cast<size_t>(p.tqtl));
  for (int q = 1; q <= p.tqtl; ++q) qtl[static_cast<size_t>(q - 1)] = p.qtlid(q) - 1;
  bvfile(fb, p, g);
  haplotypes(fm, p, g, p.mtype, nullptr, static_cast<size_t>(p.nmark));
  haplotypes(fq, p, g, p.qtype, qtl.data(), qtl.size());
  tf_close(fm);
  tf_close(fq);
  tf_close(fb);
}

}  // namespace qm
