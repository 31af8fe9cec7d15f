#include "output/results.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/fixed.hpp"
#include "base/textfile.hpp"
#include "base/threads.hpp"

namespace qm {

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
// h: haplotype column (from 0). The alleles are those of loci pick[0..n) or,
// without pick, of loci 0..n-1; scratch holds n bytes (and, for a packed
// matrix without pick, is where the row is unpacked).
char* hap_line(char* q, int64_t idmult, int64_t g, int h, const haplotype_matrix& geno, const int32_t* pick,
               size_t n, int8_t* scratch) {
  q = put_x(q, 2);
  q = put_id(q, g);
  q = put_x(q, 2);
  q = put_id(q, g * idmult + h / 2 + 1);
  const int8_t* alleles = scratch;
  if (pick) {
    // only the picked loci: a packed row is not unpacked
    for (size_t k = 0; k < n; ++k) scratch[k] = geno.allele(pick[k], h);
  } else {
    alleles = geno.read(h, scratch);
  }
  q = put_alleles(q, alleles, n);
  *q++ = '\n';
  return q;
}

// The lines of items first..first+n-1, formatted in parallel in blocks of
// consecutive items (about 1 MB of text each, every part of a round busy),
// which the file takes over in order. format(k, a, b, q) writes the lines of
// items a..b at q for part k of a round and returns their end; no line is
// longer than line_max.
template <class Format>
void lines_in_blocks(textfile& f, int threads, int64_t first, int64_t n, size_t line_max, Format&& format) {
  const int parts_per_round = std::max(1, 2 * threads);
  const int64_t per_part = std::max<int64_t>(
      1, std::min<int64_t>(static_cast<int64_t>((size_t{1} << 20) / line_max), (n + parts_per_round - 1) / parts_per_round));
  std::vector<textfile::block> buf(static_cast<size_t>(parts_per_round));
  const int64_t last = first + n - 1;
  for (int64_t i0 = first; i0 <= last; i0 += per_part * parts_per_round) {
    for (textfile::block& b : buf)
      if (!b.text) b = textfile::spare(static_cast<size_t>(per_part) * line_max);
    run_parallel(threads, parts_per_round, [&](int k) {
      const int64_t a = i0 + k * per_part, b = std::min(last, a + per_part - 1);
      textfile::block& out = buf[static_cast<size_t>(k)];
      out.len = a > b ? 0 : static_cast<size_t>(format(k, a, b, out.text.get()) - out.text.get());
    });
    for (textfile::block& b : buf)
      if (b.len > 0) f.write(std::move(b));
  }
  for (textfile::block& b : buf) return_block(std::move(b));
}

// The haplotype lines of a generation.
void haplotypes(textfile& f, const run_parameters& p, int64_t g, const haplotype_matrix& geno, const int32_t* pick,
                size_t n) {
  const size_t line_max = 2 + 24 + 2 + 24 + 2 * n + 1;
  // per part of a round: the picked alleles, or a packed row unpacked
  const size_t scratch_size = std::max(n, geno.packed() ? static_cast<size_t>(geno.loci()) : size_t{0});
  std::vector<std::vector<int8_t>> scratch(static_cast<size_t>(std::max(1, 2 * p.threads)),
                                           std::vector<int8_t>(scratch_size));
  lines_in_blocks(f, p.threads, 0, geno.haplotypes(), line_max, [&](int k, int64_t a, int64_t b, char* q) {
    for (int64_t h = a; h <= b; ++h)
      q = hap_line(q, p.idmult, g, static_cast<int>(h), geno, pick, n, scratch[static_cast<size_t>(k)].data());
    return q;
  });
}

// The file identifier of a parent of animal i (file generation g): from the
// pedigree history, which knows parents kept from earlier generations too;
// without it, number n of the generation before.
int64_t parent_id(const run_parameters& p, const pedigree_history* h, int64_t g, int32_t i, int32_t n, bool sire) {
  if (!h) return (g - 1) * p.idmult + n;
  const pedigree_record& child = h->at(h->position_in_current(i));
  return h->file_identifier(sire ? child.sire : child.dam, g, p.idmult);
}

void bvfile(textfile& f, const run_parameters& p, const population& pop, int64_t g, const pedigree_history* h) {
  std::string head;
  add_a(head, "ID", 7);
  add_a(head, "Sire", 7);
  add_a(head, "Dam", 7);
  add_a(head, "Sex", 5);
  add_a(head, "Bred", 5);
  // With dominance a genotypic value follows each trait's pair; with lines
  // the line's name ends the line, right-aligned in the widest name.
  const bool gv = p.with_dominance();
  const std::vector<double>& genotypic = pop.genotypic.empty() ? pop.tbv : pop.genotypic;
  size_t name_width = 4;
  for (const line_in_generation& l : pop.lines)
    name_width = std::max(name_width, p.lines[static_cast<size_t>(l.line)].name.size());
  if (p.ntrait == 1) {
    add_a(head, "TBV", 10);
    add_a(head, "Phe", 10);
    if (gv) add_a(head, "GV", 10);
  } else {
    for (int t = 1; t <= p.ntrait; ++t) {
      std::string tb = "TBV", ph = "Phe", gt = "GV";
      add_imin(tb, t, 2, 2);
      add_imin(ph, t, 2, 2);
      add_imin(gt, t, 2, 2);
      add_a(head, tb, 10);
      add_a(head, ph, 10);
      if (gv) add_a(head, gt, 10);
    }
  }
  if (!pop.lines.empty()) {
    head += "  ";
    add_a(head, "Line", static_cast<int>(name_width));
  }
  f.line(head);
  std::vector<char> bred(static_cast<size_t>(pop.nind) + 1, 0);
  for (const std::vector<int32_t>* list : {&pop.sires, &pop.dams})
    for (int32_t a : *list)
      if (a >= 1 && a <= pop.nind) bred[static_cast<size_t>(a)] = 1;
  const int64_t self = g * p.idmult;
  const size_t line_max =
      3 * 26 + 6 + static_cast<size_t>(p.ntrait) * (gv ? 60 : 40) + (pop.lines.empty() ? 0 : 2 + name_width) + 1;
  lines_in_blocks(f, p.threads, 1, pop.nind, line_max, [&](int, int64_t a, int64_t b, char* q) {
    size_t line = 0;
    for (int i = static_cast<int>(a); i <= b; ++i) {
      const parent_pair& pp = pop.parents[static_cast<size_t>(i - 1)];
      q = put_x(q, 2);
      q = put_id(q, i + self);
      q = put_x(q, 2);
      q = put_id(q, g == 0 ? 0 : parent_id(p, h, g, i, pp.sire, true));
      q = put_x(q, 2);
      q = put_id(q, g == 0 ? 0 : parent_id(p, h, g, i, pp.dam, false));
      q = put_i(q, (i & 1) ? 1 : 2, 3);
      q = put_i(q, bred[static_cast<size_t>(i)], 3);
      for (int t = 1; t <= p.ntrait; ++t) {
        q = put_x(q, 2);
        q = put_f(q, pop.tbv_of(i, t), 18, 12);
        q = put_x(q, 2);
        q = put_f(q, pop.phenotype_of(i, t), 18, 12);
        if (gv) {
          q = put_x(q, 2);
          q = put_f(q, genotypic[static_cast<size_t>(t - 1) * static_cast<size_t>(pop.nind) + static_cast<size_t>(i - 1)], 18, 12);
        }
      }
      if (!pop.lines.empty()) {
        while (line + 1 < pop.lines.size() && i >= pop.lines[line].first + pop.lines[line].animals) ++line;
        q = put_x(q, 2);
        q = put_a(q, p.lines[static_cast<size_t>(pop.lines[line].line)].name, static_cast<int>(name_width));
      }
      *q++ = '\n';
    }
    return q;
  });
}

}  // namespace

void write_haplotype_files(const output_folder& folder, const run_parameters& p, const population& pop,
                           const trait_architecture& a, int64_t g) {
  textfile fm(folder.file(result_name(g, "MTYPE.out")));
  textfile fq(folder.file(result_name(g, "QTYPE.out")));
  std::vector<int32_t> qtl(static_cast<size_t>(a.nqtl()));
  for (int q = 0; q < a.nqtl(); ++q) qtl[static_cast<size_t>(q)] = a.qtl_locus[static_cast<size_t>(q)] - 1;
  haplotypes(fm, p, g, pop.markers, nullptr, static_cast<size_t>(pop.markers.loci()));
  haplotypes(fq, p, g, pop.candidates, qtl.data(), qtl.size());
  fm.finish();
  fq.finish();
}

void write_value_file(const output_folder& folder, const run_parameters& p, const population& pop, int64_t g,
                      const pedigree_history* h) {
  textfile fb(folder.file(result_name(g, "BV.out")));
  bvfile(fb, p, pop, g, h);
  fb.finish();
}

void write_generation_files(const output_folder& folder, const run_parameters& p, const population& pop,
                            const trait_architecture& a, int64_t g, const pedigree_history* h) {
  textfile fm(folder.file(result_name(g, "MTYPE.out")));
  textfile fq(folder.file(result_name(g, "QTYPE.out")));
  textfile fb(folder.file(result_name(g, "BV.out")));
  std::vector<int32_t> qtl(static_cast<size_t>(a.nqtl()));
  for (int q = 0; q < a.nqtl(); ++q) qtl[static_cast<size_t>(q)] = a.qtl_locus[static_cast<size_t>(q)] - 1;
  bvfile(fb, p, pop, g, h);
  haplotypes(fm, p, g, pop.markers, nullptr, static_cast<size_t>(pop.markers.loci()));
  haplotypes(fq, p, g, pop.candidates, qtl.data(), qtl.size());
  fm.finish();
  fq.finish();
  fb.finish();
}

}  // namespace qm
