#include "output/results.hpp"

#include <cstring>
#include <vector>

#include "output/fixed.hpp"
#include "output/textfile.hpp"

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

void haplotypes(textfile& f, const popstate& p, int32_t g, const arr2<int8_t>& geno, const std::vector<int32_t>& loci) {
  static const allele_text at;
  const size_t n = loci.size();
  for (int h = 1; h <= p.nhap; ++h) {
    const int8_t* a = geno.col(h);
    char* q = tf_room(f, 2 + 24 + 2 + 24 + 2 * n + 1);
    q = put_x(q, 2);
    q = put_id(q, g);
    q = put_x(q, 2);
    q = put_id(q, static_cast<int64_t>(g) * p.idmult + (h + 1) / 2);
    for (size_t k = 0; k < n; ++k) {
      std::memcpy(q, at.t[static_cast<uint8_t>(a[loci[k]])], 2);
      q += 2;
    }
    *q++ = '\n';
    tf_commit(f, q);
    tf_maybe_flush(f);
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

void output(popstate& p, int32_t g) {
  textfile fm, fq, fb;
  tf_open(fm, result_name(g, "MTYPE.out"));
  tf_open(fq, result_name(g, "QTYPE.out"));
  tf_open(fb, result_name(g, "BV.out"));
  std::vector<int32_t> all(static_cast<size_t>(p.nmark)), qtl(static_cast<size_t>(p.tqtl));
  for (int l = 0; l < p.nmark; ++l) all[static_cast<size_t>(l)] = l;
  for (int q = 1; q <= p.tqtl; ++q) qtl[static_cast<size_t>(q - 1)] = p.qtlid(q) - 1;
  bvfile(fb, p, g);
  haplotypes(fm, p, g, p.mtype, all);
  haplotypes(fq, p, g, p.qtype, qtl);
  tf_close(fm);
  tf_close(fq);
  tf_close(fb);
}

}  // namespace qm
