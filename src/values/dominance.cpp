#include "values/dominance.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "base/invariant_error.hpp"
#include "base/messages.hpp"
#include "base/threads.hpp"
#include "random/stream_parts.hpp"

namespace qm {

void genotype_class_values(double a, double d, double p, genotype_class_value out[3]) {
  const double q = 1.0 - p;
  const double alpha = a + d * (q - p);
  const double mean = a * (p - q) + 2.0 * d * p * q;
  for (int n = 0; n <= 2; ++n) {
    out[n].genotypic = a * static_cast<double>(n - 1) + (n == 1 ? d : 0.0);
    out[n].breeding = mean + alpha * (static_cast<double>(n) - 2.0 * p);
  }
}

std::vector<animal_block> frequency_blocks(const population& pop) {
  std::vector<animal_block> blocks;
  if (pop.lines.empty()) {
    blocks.push_back({1, pop.nind});
    return blocks;
  }
  int32_t next = 1;
  for (size_t k = 0; k < pop.lines.size(); ++k) {
    const line_in_generation& l = pop.lines[k];
    if (l.first != next || l.animals < 0)
      throw invariant_error("block " + std::to_string(k + 1) + " of the lines of the generation starts at animal " +
                            std::to_string(l.first) + " with " + std::to_string(l.animals) + " animals, not at " +
                            std::to_string(next));
    blocks.push_back({l.first, l.animals});
    next += l.animals;
  }
  if (next != pop.nind + 1)
    throw invariant_error("the lines of the generation hold " + std::to_string(next - 1) + " animals, not " +
                          std::to_string(pop.nind));
  return blocks;
}

namespace {

// Where the QTL sit in a packed row: word and bit of each.
struct qtl_positions {
  std::vector<uint32_t> word, shift, locus;  // locus: 0-based candidate locus
  explicit qtl_positions(const std::vector<int32_t>& qtl_locus) {
    for (int32_t l1 : qtl_locus) {
      const uint32_t l = static_cast<uint32_t>(l1 - 1);
      locus.push_back(l);
      word.push_back(l >> 6);
      shift.push_back(l & 63u);
    }
  }
};

// Copies of allele 2 at every QTL of animals a..b (1-based, inclusive) added to c[0..nq).
void count_range(const haplotype_matrix& m, const qtl_positions& qp, int32_t a, int32_t b, int32_t* c) {
  const size_t nq = qp.locus.size();
  if (m.packed()) {
    const uint32_t* w = qp.word.data();
    const uint32_t* s = qp.shift.data();
    for (int32_t i = a; i <= b; ++i) {
      const uint64_t* r1 = m.row(2 * i - 2);
      const uint64_t* r2 = m.row(2 * i - 1);
      for (size_t q = 0; q < nq; ++q)
        c[q] += static_cast<int32_t>(((r1[w[q]] >> s[q]) & 1u) + ((r2[w[q]] >> s[q]) & 1u));
    }
    return;
  }
  const uint32_t* l = qp.locus.data();
  for (int32_t i = a; i <= b; ++i) {
    const int8_t* x1 = m.column(2 * i - 2);
    const int8_t* x2 = m.column(2 * i - 1);
    for (size_t q = 0; q < nq; ++q) c[q] += x1[l[q]] + x2[l[q]] - 2;
  }
}

// The class values of the genotypes n_at(q) of QTL 0..nq-1 summed into g
// and v: four partial sums (QTL q goes to sum q % 4, in QTL order), then
// (s0 + s1) + (s2 + s3). A fixed order, so every run gives the same bits;
// four chains of additions instead of one keep the adder busy.
template <class N>
inline void four_sums(size_t nq, const genotype_class_value* tab, N n_at, double& g, double& v) {
  double g0 = 0.0, g1 = 0.0, g2 = 0.0, g3 = 0.0, v0 = 0.0, v1 = 0.0, v2 = 0.0, v3 = 0.0;
  size_t q = 0;
  for (; q + 4 <= nq; q += 4) {
    const genotype_class_value& e0 = tab[3 * q + n_at(q)];
    const genotype_class_value& e1 = tab[3 * (q + 1) + n_at(q + 1)];
    const genotype_class_value& e2 = tab[3 * (q + 2) + n_at(q + 2)];
    const genotype_class_value& e3 = tab[3 * (q + 3) + n_at(q + 3)];
    g0 += e0.genotypic;
    v0 += e0.breeding;
    g1 += e1.genotypic;
    v1 += e1.breeding;
    g2 += e2.genotypic;
    v2 += e2.breeding;
    g3 += e3.genotypic;
    v3 += e3.breeding;
  }
  for (size_t k = 0; q < nq; ++q, ++k) {
    const genotype_class_value& e = tab[3 * q + n_at(q)];
    (k == 0 ? g0 : k == 1 ? g1 : g2) += e.genotypic;
    (k == 0 ? v0 : k == 1 ? v1 : v2) += e.breeding;
  }
  g = (g0 + g1) + (g2 + g3);
  v = (v0 + v1) + (v2 + v3);
}

// Genotypic and breeding value of one animal for one trait: the class
// values of its genotype at every QTL.
inline void sum_classes(const haplotype_matrix& m, const qtl_positions& qp, const genotype_class_value* tab, int32_t i,
                        double& gv, double& bv) {
  const size_t nq = qp.locus.size();
  double g = 0.0, v = 0.0;
  if (m.packed()) {
    const uint64_t* r1 = m.row(2 * i - 2);
    const uint64_t* r2 = m.row(2 * i - 1);
    const uint32_t* w = qp.word.data();
    const uint32_t* s = qp.shift.data();
    const auto n_at = [&](size_t q) { return ((r1[w[q]] >> s[q]) & 1u) + ((r2[w[q]] >> s[q]) & 1u); };
    four_sums(nq, tab, n_at, g, v);
  } else {
    const int8_t* x1 = m.column(2 * i - 2);
    const int8_t* x2 = m.column(2 * i - 1);
    const uint32_t* l = qp.locus.data();
    const auto n_at = [&](size_t q) { return static_cast<size_t>(x1[l[q]] + x2[l[q]] - 2); };
    four_sums(nq, tab, n_at, g, v);
  }
  gv = g;
  bv = v;
}

}  // namespace

std::vector<int64_t> qtl_allele_counts(const haplotype_matrix& candidates, const std::vector<int32_t>& qtl_locus,
                                       const std::vector<animal_block>& blocks, int nthreads) {
  const size_t nq = qtl_locus.size();
  const qtl_positions qp(qtl_locus);
  // Parts of consecutive animals within one block each.
  struct part {
    size_t block;
    int32_t a, b;
  };
  std::vector<part> parts;
  const int32_t per_block = std::max(1, 4 * nthreads);
  for (size_t k = 0; k < blocks.size(); ++k) {
    const int32_t n = blocks[k].animals;
    const int32_t np = std::max(1, std::min(n, per_block));
    for (int32_t j = 0; j < np; ++j) {
      const int32_t a = blocks[k].first + static_cast<int32_t>(static_cast<int64_t>(n) * j / np);
      const int32_t b = blocks[k].first + static_cast<int32_t>(static_cast<int64_t>(n) * (j + 1) / np) - 1;
      if (b >= a) parts.push_back({k, a, b});
    }
  }
  std::vector<int32_t> part_counts(parts.size() * nq, 0);
  run_parallel(nthreads, static_cast<int>(parts.size()), [&](int k) {
    const part& pt = parts[static_cast<size_t>(k)];
    count_range(candidates, qp, pt.a, pt.b, part_counts.data() + static_cast<size_t>(k) * nq);
  });
  std::vector<int64_t> counts(blocks.size() * nq, 0);
  for (size_t k = 0; k < parts.size(); ++k)
    for (size_t q = 0; q < nq; ++q) counts[parts[k].block * nq + q] += part_counts[k * nq + q];
  return counts;
}

void compute_dominance_values(const run_parameters& p, const trait_architecture& a, population& pop,
                              random_stream& rng) {
  const int n = p.ntrait;
  const size_t nq = static_cast<size_t>(a.nqtl());
  const std::vector<animal_block> blocks = frequency_blocks(pop);
  const std::vector<int64_t> counts = qtl_allele_counts(pop.candidates, a.qtl_locus, blocks, p.threads);

  // The class values of every block, trait and QTL: tables[((b * n + t - 1) * nq + q - 1) * 3 + copies].
  std::vector<genotype_class_value> tables(blocks.size() * static_cast<size_t>(n) * nq * 3);
  for (size_t b = 0; b < blocks.size(); ++b) {
    const double haplotypes = 2.0 * static_cast<double>(blocks[b].animals);
    for (int t = 1; t <= n; ++t)
      for (size_t q = 1; q <= nq; ++q) {
        const double freq = blocks[b].animals > 0 ? static_cast<double>(counts[b * nq + q - 1]) / haplotypes : 0.0;
        genotype_class_values(a.effect(static_cast<int32_t>(q), t), a.dominance_effect(static_cast<int32_t>(q), t), freq,
                              &tables[((b * static_cast<size_t>(n) + static_cast<size_t>(t - 1)) * nq + q - 1) * 3]);
      }
  }

  pop.tbv.assign(static_cast<size_t>(pop.nind) * n, 0.0);
  pop.genotypic.assign(static_cast<size_t>(pop.nind) * n, 0.0);
  pop.phenotype.assign(static_cast<size_t>(pop.nind) * n, 0.0);
  const qtl_positions qp(a.qtl_locus);
  // The residuals exactly as without dominance: the same draws per animal.
  const uint64_t per = residual_uniforms_per_animal(n);
  const float s1 = n == 1 ? single_trait_residual_sd(p.h2[0]) : 0.0f;
  const int parts = std::max(1, std::min(pop.nind, 4 * p.threads));
  run_stream_parts(p.threads, pop.nind, parts, per, rng, [&](int, int64_t a0, int64_t b0, uint32_t st) {
    random_stream r;
    r.state = static_cast<int32_t>(st);
    std::vector<float> e(static_cast<size_t>(n));
    size_t b = 0;
    for (int i = static_cast<int>(a0) + 1; i <= static_cast<int>(b0); ++i) {
      while (i >= blocks[b].first + blocks[b].animals) ++b;
      if (n == 1) {
        double gv, bv;
        sum_classes(pop.candidates, qp, &tables[b * nq * 3], i, gv, bv);
        const size_t k = static_cast<size_t>(i - 1);
        pop.genotypic[k] = gv;
        pop.tbv[k] = bv;
        const float z = static_cast<float>(standard_normal(r));
        pop.phenotype[k] = gv + static_cast<double>(z * s1);
        continue;
      }
      multivariate_normal_factored(r, a.residual_factor.data(), n, e.data());
      for (int t = 1; t <= n; ++t) {
        double gv, bv;
        sum_classes(pop.candidates, qp, &tables[(b * static_cast<size_t>(n) + static_cast<size_t>(t - 1)) * nq * 3], i, gv,
                    bv);
        const size_t k = static_cast<size_t>(t - 1) * static_cast<size_t>(pop.nind) + static_cast<size_t>(i - 1);
        pop.genotypic[k] = gv;
        pop.tbv[k] = bv;
        pop.phenotype[k] = gv + static_cast<double>(e[static_cast<size_t>(t - 1)]);
      }
    }
  });
}

}  // namespace qm
