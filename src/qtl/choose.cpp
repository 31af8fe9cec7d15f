#include "qtl/choose.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "output/fixed.hpp"
#include "population/recode.hpp"
#include "qtl/effects.hpp"
#include "qtl/report.hpp"
#include "run/messages.hpp"

namespace qm {

float qtl_weight(const popstate& p, int l) {
  int64_t c = 0;
  for (int h = 1; h <= p.nhap; ++h) c += p.qtype(l, h) == 1;
  const float f = static_cast<float>(c) / static_cast<float>(p.nhap);
  return (f + f) * (1.0f - f);
}

namespace {

// Step 1: every segregating candidate locus recoded (the allele nearest one
// half, the higher number on a tie, becomes 1). Returns the segregating loci.
std::vector<int32_t> segregating(popstate& p) {
  const std::vector<int8_t> code = recode_loci(p.qtype, p.nqloc, p.threads, [&](int l, const uint32_t* c) {
    const unsigned first = static_cast<uint8_t>(p.qtype(l, 1)) & 127u;
    return c[first] == static_cast<uint32_t>(p.nhap) ? 0 : nearest_half(c, 1, p.qalle(l, 2), p.nhap);
  });
  std::vector<int32_t> seg;
  for (int l = 1; l <= p.nqloc; ++l)
    if (code[static_cast<size_t>(l)] != 0) seg.push_back(l);
  return seg;
}

// Step 6: effects scaled to the target variances.
void scale_effects(popstate& p) {
  std::vector<float> w(static_cast<size_t>(p.tqtl) + 1);
  for (int q = 1; q <= p.tqtl; ++q) w[static_cast<size_t>(q)] = qtl_weight(p, p.qtlid(q));
  for (int t = 1; t <= p.ntrait; ++t) {
    float v = 0.0f;
    for (int q = 1; q <= p.tqtl; ++q)
      v = static_cast<float>(static_cast<double>(v) + p.qeff(q, t) * p.qeff(q, t) * static_cast<double>(w[static_cast<size_t>(q)]));
    const float target = p.ntrait == 1 ? 1.0f : static_cast<float>(t);
    const float s = std::sqrt(target / v);
    for (int q = 1; q <= p.tqtl; ++q) p.qeff(q, t) = p.qeff(q, t) * static_cast<double>(s);
  }
}

}  // namespace

void choose_qtl(popstate& p) {
  const std::vector<int32_t> qcand = segregating(p);
  p.carried_ok = false;
  p.tqtl = static_cast<int32_t>(qcand.size());
  if (p.tqtl < 1) stop("No QTL generated! Task failed!");
  if (p.tqtl < p.nqtl) stop("tqtl litter than qtlp1");

  std::vector<char> taken(static_cast<size_t>(p.tqtl) + 1, 0);
  p.qtlid.alloc(p.nqtl);
  for (int q = 1; q <= p.nqtl; ++q) {
    int32_t i;
    do {
      const double u = next_uniform(p.rng);
      i = static_cast<int32_t>(static_cast<double>(p.tqtl) * u) + 1;
      if (i > p.tqtl) i = p.tqtl;
    } while (taken[static_cast<size_t>(i)]);
    taken[static_cast<size_t>(i)] = 1;
    p.qtlid(q) = qcand[static_cast<size_t>(i - 1)];
  }
  p.tqtl = p.nqtl;
  p.qeff.alloc(p.tqtl, p.ntrait);

  draw_effects(p);
  scale_effects(p);
  genetic_report(p);

  std::string m = "Total QTL number = ";
  add_imin(m, p.tqtl, 5, 1);
  show(m);
}

}  // namespace qm
