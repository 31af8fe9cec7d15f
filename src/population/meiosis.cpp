#include "population/meiosis.hpp"

#include <algorithm>

#include "run/messages.hpp"

namespace qm {

void build_maptable(const popstate& p, maptable& m) {
  m.t.resize(static_cast<size_t>(2) * static_cast<size_t>(p.nqloc));
  for (int k = 1; k <= p.nqloc; ++k) {
    m.t[2 * static_cast<size_t>(k - 1)] = uthreshold(p.recf(1, k));
    m.t[2 * static_cast<size_t>(k - 1) + 1] = uthreshold(p.recf(2, k));
  }
}

uint32_t gametes(popstate& p, const maptable& m, uint32_t tmm, uint32_t tmq, int32_t h0, int32_t h1,
                 uint32_t st, std::vector<mutant>& out) {
  const uint32_t half = uthreshold(0.5);
  const int nmpc = p.nmpc, gaps = p.nmpc - 1;
  const uint32_t* tr = m.t.data();
  for (int32_t h = h0; h <= h1; ++h) {
    const int32_t i = (h + 1) / 2;
    const int32_t par = (h & 1) ? p.ped(2, i) : p.ped(3, i);
    const int8_t* msrc[2] = {p.mtype.col(2 * par - 1), p.mtype.col(2 * par)};
    const int8_t* qsrc[2] = {p.qtype.col(2 * par - 1), p.qtype.col(2 * par)};
    int8_t* mo = p.mtypenew.col(h);
    int8_t* qo = p.qtypenew.col(h);
    for (int c = 0; c < p.nchr; ++c) {
      const int mb = c * nmpc, qb = c * gaps;
      st = rstep(st);
      unsigned s = st < half ? 0u : 1u;
      st = rstep(st);
      s ^= st < half;
      st = rstep(st);
      if (st < tmm) {
        mo[mb] = 0;
        out.push_back({h, mb + 1, 1});
      } else {
        mo[mb] = msrc[s][mb];
      }
      for (int j = 0; j < gaps; ++j) {
        const int k = qb + j, mk = mb + j + 1;
        st = rstep(st);
        s ^= st < tr[2 * k];
        st = rstep(st);
        if (st < tmq) {
          qo[k] = 0;
          out.push_back({h, k + 1, 0});
        } else {
          qo[k] = qsrc[s][k];
        }
        st = rstep(st);
        s ^= st < tr[2 * k + 1];
        st = rstep(st);
        if (st < tmm) {
          mo[mk] = 0;
          out.push_back({h, mk + 1, 1});
        } else {
          mo[mk] = msrc[s][mk];
        }
      }
    }
  }
  return st;
}

namespace {

// Allele numbers carried at one locus of a generation, as a 128-bit set.
struct alleleset {
  uint64_t w[2] = {0, 0};
  bool has(int v) const { return v >= 0 && v < 128 && ((w[v >> 6] >> (v & 63)) & 1u); }
};

alleleset carried(const arr2<int8_t>& geno, int l) {
  alleleset a;
  const int8_t* g = geno.data() + (l - 1);
  const size_t stride = static_cast<size_t>(geno.n1);
  for (int h = 0; h < geno.n2; ++h) {
    const unsigned v = static_cast<uint8_t>(g[h * stride]) & 127u;
    a.w[v >> 6] |= uint64_t{1} << (v & 63);
  }
  return a;
}

// Gives every listed mutant its allele number, in haplotype order: the
// locus's next number, which then moves on to the first number that no
// parental haplotype carries at that locus.
void number_mutants(popstate& p, const std::vector<mutant>& list) {
  std::vector<alleleset> mpres, qpres;
  std::vector<char> mdone, qdone;
  for (const mutant& e : list) {
    const bool mk = e.marker != 0;
    arr2<int16_t>& alle = mk ? p.malle : p.qalle;
    const arr2<int8_t>& parents = mk ? p.mtype : p.qtype;
    std::vector<alleleset>& pres = mk ? mpres : qpres;
    std::vector<char>& done = mk ? mdone : qdone;
    if (pres.empty()) {
      pres.resize(static_cast<size_t>(parents.n1) + 1);
      done.assign(static_cast<size_t>(parents.n1) + 1, 0);
    }
    const size_t l = static_cast<size_t>(e.locus);
    if (!done[l]) {
      pres[l] = carried(parents, e.locus);
      done[l] = 1;
    }
    const int next = alle(e.locus, 1);
    if (next > 127) stop("Too many alleles at one locus: allele number above 127.");
    (mk ? p.mtypenew : p.qtypenew)(e.locus, e.h) = static_cast<int8_t>(next);
    int v = next + 1;
    while (v <= 127 && pres[l].has(v)) ++v;
    alle(e.locus, 1) = static_cast<int16_t>(v);
  }
}

}  // namespace

void genotype(popstate& p) {
  if (p.ped.n2 != p.nind) stop("Parameter Error in genotype_module! code 1");
  p.mtypenew.shape(p.nmark, p.nhap);
  p.qtypenew.shape(p.nqloc, p.nhap);
  if (p.nomut == 1) p.mutm = p.mutq = 0.0;
  maptable m;
  build_maptable(p, m);
  std::vector<mutant> list;
  const uint32_t st = gametes(p, m, uthreshold(p.mutm), uthreshold(p.mutq), 1, p.nhap,
                              static_cast<uint32_t>(p.rng.rseed), list);
  p.rng.rseed = static_cast<int32_t>(st);
  number_mutants(p, list);
  p.mtype.swap(p.mtypenew);
  p.qtype.swap(p.qtypenew);
}

void bookkeeping(arr2<int16_t>& alle, const arr2<int8_t>& geno) {
  const int nloc = geno.n1;
  std::vector<uint64_t> lo(static_cast<size_t>(nloc), 0), hi(static_cast<size_t>(nloc), 0);
  for (int h = 1; h <= geno.n2; ++h) {
    const int8_t* g = geno.col(h);
    for (int l = 0; l < nloc; ++l) {
      const unsigned v = static_cast<uint8_t>(g[l]) & 127u;
      const uint64_t bit = uint64_t{1} << (v & 63);
      const uint64_t up = v >> 6;
      lo[static_cast<size_t>(l)] |= bit & (up - 1);
      hi[static_cast<size_t>(l)] |= bit & (0 - up);
    }
  }
  for (int l = 1; l <= nloc; ++l) {
    const int hiv = std::max<int>(alle(l, 1), alle(l, 2));
    alleleset a;
    a.w[0] = lo[static_cast<size_t>(l - 1)];
    a.w[1] = hi[static_cast<size_t>(l - 1)];
    int first_missing = 0, last_carried = 2;
    for (int v = 2; v <= hiv; ++v) {
      if (a.has(v)) last_carried = v;
      else if (first_missing == 0) first_missing = v;
    }
    if (first_missing != 0) {
      alle(l, 1) = static_cast<int16_t>(first_missing);
      alle(l, 2) = static_cast<int16_t>(last_carried);
    } else {
      alle(l, 1) = alle(l, 2) = static_cast<int16_t>(hiv + 1);
    }
  }
}

}  // namespace qm
