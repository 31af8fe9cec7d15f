#include "output/plink.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "run/atomic_file.hpp"
#include "run/threads.hpp"

namespace qm {

namespace {

// Variants per block: the unit of transposition and of parallel work. A block
// of 1000 animals is 64 rows of 250 bytes, which stays in the first-level
// cache while it is filled column by column.
constexpr int32_t block = 64;
// Bytes of .bed formed before they are written.
constexpr size_t batch_bytes = size_t{4} << 20;

const int8_t twos[block] = {2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
                            2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
                            2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2};

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
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), r);
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
#endif

// Rows v0 .. v0+nv-1 (nv <= block) of .bed into out (nv rows of rowbytes).
// scratch: 8 x block bytes for gathered or short columns. False when an
// allele outside 1..2 was met.
bool pack_block(const genotype_view& g, int32_t v0, int32_t nv, uint8_t* out, size_t rowbytes, int8_t* scratch) {
  const int32_t nhap = 2 * g.nanimals;
  const bool direct = !g.pick && nv == block;
  if (!direct) std::fill(scratch, scratch + 8 * block, int8_t{2});
  bad_bits bad;
  alignas(16) uint8_t packed[block];
  for (int32_t q = 0; q < static_cast<int32_t>(rowbytes); ++q) {
    const int8_t* h[8];
    for (int32_t j = 0; j < 8; ++j) {
      const int32_t hap = 8 * q + j;
      if (hap >= nhap) {
        h[j] = twos;  // the padding animals of the last byte: code 00
      } else if (direct) {
        h[j] = g.haplotype[hap] + v0;
      } else {
        int8_t* d = scratch + j * block;
        const int8_t* col = g.haplotype[hap];
        if (g.pick) {
          const int32_t* pk = g.pick + v0;
          for (int32_t v = 0; v < nv; ++v) d[v] = col[pk[v]];
        } else {
          std::memcpy(d, col + v0, static_cast<size_t>(nv));
        }
        h[j] = d;
      }
    }
    for (int32_t off = 0; off < block; off += 16) pack16(h, off, packed + off, bad.v);
    uint8_t* o = out + q;
    for (int32_t v = 0; v < nv; ++v, o += rowbytes) *o = packed[v];
  }
  return !bad.any();
}

void add_int(std::string& s, int64_t v) {
  char b[24];
  const auto r = std::to_chars(b, b + sizeof b, v);
  s.append(b, r.ptr);
}

// Shortest decimal that reads back to v.
void add_real(std::string& s, double v) {
  char b[40];
  const auto r = std::to_chars(b, b + sizeof b, v);
  s.append(b, r.ptr);
}

void write_bed(atomic_file& f, const genotype_view& g, const std::vector<variant_info>& variants,
               const animal_list& animals, int nthreads) {
  const uint8_t magic[3] = {0x6c, 0x1b, 0x01};
  f.write(magic, 3);
  const size_t rowbytes = (static_cast<size_t>(g.nanimals) + 3) / 4;
  if (rowbytes == 0 || g.nvariants == 0) return;
  const int32_t batch_blocks = static_cast<int32_t>(
      std::max<size_t>(1, std::min<size_t>(batch_bytes / (rowbytes * block), (g.nvariants + block - 1) / block)));
  std::unique_ptr<uint8_t[]> buf(new uint8_t[static_cast<size_t>(batch_blocks) * block * rowbytes]);
  std::unique_ptr<int8_t[]> scratch(new int8_t[static_cast<size_t>(batch_blocks) * 8 * block]);
  std::vector<char> ok(static_cast<size_t>(batch_blocks));
  for (int32_t v0 = 0; v0 < g.nvariants; v0 += batch_blocks * block) {
    const int32_t nb = std::min<int32_t>(batch_blocks, (g.nvariants - v0 + block - 1) / block);
    run_parallel(nthreads, nb, [&](int k) {
      const int32_t a = v0 + k * block, nv = std::min<int32_t>(block, g.nvariants - a);
      ok[static_cast<size_t>(k)] = pack_block(g, a, nv, buf.get() + static_cast<size_t>(k) * block * rowbytes,
                                              rowbytes, scratch.get() + static_cast<size_t>(k) * 8 * block);
    });
    for (int32_t k = 0; k < nb; ++k)
      if (!ok[static_cast<size_t>(k)]) throw_bad_allele(f.name(), g, variants, animals);
    const int32_t nv = std::min<int32_t>(nb * block, g.nvariants - v0);
    f.write(buf.get(), static_cast<size_t>(nv) * rowbytes);
  }
}

void write_bim(atomic_file& f, const std::vector<variant_info>& variants) {
  std::string s;
  for (const variant_info& v : variants) {
    add_int(s, v.chromosome);
    s += '\t';
    s += v.name;
    s += '\t';
    add_real(s, v.cm);
    s += '\t';
    add_int(s, v.bp);
    s += "\tB\tA\n";
    if (s.size() >= (size_t{1} << 16)) {
      f.write(s);
      s.clear();
    }
  }
  f.write(s);
}

void write_fam(atomic_file& f, const animal_list& animals) {
  std::string s;
  for (const animal_info& a : animals.animals) {
    s += "1\t";
    s += a.id;
    s += '\t';
    s += a.sire;
    s += '\t';
    s += a.dam;
    s += '\t';
    add_int(s, a.sex);
    s += '\t';
    if (std::isnan(a.phenotype))
      s += "-9";
    else if (animals.threshold_trait)
      s += a.phenotype == 1.0 ? '2' : '1';
    else
      add_real(s, a.phenotype);
    s += '\n';
    if (s.size() >= (size_t{1} << 16)) {
      f.write(s);
      s.clear();
    }
  }
  f.write(s);
}

}  // namespace

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
