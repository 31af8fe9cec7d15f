// Relationships among candidate parents: the living-set recursion against
// the tabular method over the whole pedigree (random pedigrees with
// overlapping generations, inbreeding, selfing) and against relationships
// worked by hand; the genomic matrix against its definition computed from
// unpacked dosages, its bits on any number of threads and without popcnt,
// a property every G with sample frequencies has, and the stops.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "base/cpu_features.hpp"
#include "base/messages.hpp"
#include "population/relationships.hpp"
#include "support.hpp"

namespace {

// ---- living_relationships

// A pedigree grown generation by generation from a set of living animals:
// every generation keeps a random part of the living set (in random order)
// and adds newborns whose parents are drawn from the whole living set, so
// that parents may come from several generations back and matings of
// relatives (parent-offspring, sibs, now and then selfing) occur.
struct grown_pedigree {
  std::vector<qm::pedigree_record> records;
  std::vector<int64_t> first;
  std::vector<int64_t> founders;
  std::vector<std::vector<int64_t>> kept, born;  // per generation after the founders

  qm::pedigree_history history() const { return qm::pedigree_history::from_parts(records, first); }
};

grown_pedigree grow(int32_t nfounders, int32_t generations, uint32_t seed) {
  std::mt19937 g(seed);
  grown_pedigree p;
  p.first.push_back(1);
  for (int32_t i = 1; i <= nfounders; ++i) {
    p.records.push_back({0, 0, 0, i, static_cast<int8_t>(1 + i % 2)});
    p.founders.push_back(i);
  }
  std::vector<int64_t> living = p.founders;
  for (int32_t gen = 1; gen <= generations; ++gen) {
    std::shuffle(living.begin(), living.end(), g);
    const size_t nkeep = g() % (living.size() + 1);
    std::vector<int64_t> kept(living.begin(), living.begin() + static_cast<std::ptrdiff_t>(nkeep));
    const int32_t nborn = 3 + static_cast<int32_t>(g() % 8);
    std::vector<int64_t> born;
    p.first.push_back(static_cast<int64_t>(p.records.size()) + 1);
    for (int32_t i = 1; i <= nborn; ++i) {
      const int64_t s = living[g() % living.size()];
      int64_t d = living[g() % living.size()];
      if (d == s && g() % 4 != 0) d = living[g() % living.size()];  // selfing now and then
      p.records.push_back({s, d, gen, i, static_cast<int8_t>(1 + i % 2)});
      born.push_back(static_cast<int64_t>(p.records.size()));
    }
    p.kept.push_back(kept);
    p.born.push_back(born);
    living = kept;
    living.insert(living.end(), born.begin(), born.end());
  }
  return p;
}

// A of every animal of the pedigree by the tabular method (animals in
// position order, parents before offspring).
std::vector<double> tabular(const grown_pedigree& p) {
  const size_t n = p.records.size();
  std::vector<double> a(n * n, 0.0);
  for (size_t j = 0; j < n; ++j) {
    const int64_t s = p.records[j].sire - 1, d = p.records[j].dam - 1;
    for (size_t i = 0; i < j; ++i) {
      const double v = 0.5 * ((s >= 0 ? a[i * n + static_cast<size_t>(s)] : 0.0) +
                              (d >= 0 ? a[i * n + static_cast<size_t>(d)] : 0.0));
      a[i * n + j] = a[j * n + i] = v;
    }
    a[j * n + j] = 1.0 + (s >= 0 && d >= 0 ? 0.5 * a[static_cast<size_t>(s) * n + static_cast<size_t>(d)] : 0.0);
  }
  return a;
}

TEST(LivingRelationships, EqualsTheTabularMatrixOfTheWholePedigree) {
  int inbred = 0, old_parents = 0;
  for (uint32_t seed : {1u, 2u, 3u, 4u, 5u}) {
    const grown_pedigree p = grow(6 + static_cast<int32_t>(seed), 12, seed);
    const qm::pedigree_history h = p.history();
    const std::vector<double> t = tabular(p);
    const size_t all = p.records.size();
    qm::living_relationships rel;
    rel.start(p.founders);
    for (size_t gen = 0; gen <= p.kept.size(); ++gen) {
      if (gen > 0) rel.advance(h, p.kept[gen - 1], p.born[gen - 1]);
      // The living set, in the order given.
      std::vector<int64_t> expect = gen == 0 ? p.founders : p.kept[gen - 1];
      if (gen > 0) expect.insert(expect.end(), p.born[gen - 1].begin(), p.born[gen - 1].end());
      ASSERT_EQ(std::vector<int64_t>(rel.animals().begin(), rel.animals().end()), expect);
      const size_t n = expect.size();
      for (size_t i = 0; i < n; ++i) {
        EXPECT_EQ(rel.index_of(expect[i]), static_cast<int64_t>(i));
        for (size_t j = 0; j < n; ++j) {
          const size_t pi = static_cast<size_t>(expect[i] - 1), pj = static_cast<size_t>(expect[j] - 1);
          ASSERT_NEAR(rel.at(i, j), t[pi * all + pj], 1e-12) << "seed " << seed << " generation " << gen;
          ASSERT_EQ(rel.at(i, j), rel.at(j, i));
        }
        inbred += rel.at(i, i) > 1.0;
      }
      if (gen > 0)
        for (int64_t b : p.born[gen - 1])
          old_parents += h.at(b).sire <= p.first[gen - 1] - 1 || h.at(b).dam <= p.first[gen - 1] - 1;
      // Animals that died are no longer found.
      for (int64_t pos = 1; pos <= static_cast<int64_t>(all); ++pos)
        if (std::find(expect.begin(), expect.end(), pos) == expect.end()) {
          EXPECT_EQ(rel.index_of(pos), -1);
        }
    }
  }
  EXPECT_GT(inbred, 20);       // the recursion met inbred animals
  EXPECT_GT(old_parents, 20);  // and parents of generations before the last
}

TEST(LivingRelationships, AmongGivesTheSubmatrixInTheOrderAsked) {
  const grown_pedigree p = grow(8, 6, 11);
  const qm::pedigree_history h = p.history();
  const std::vector<double> t = tabular(p);
  const size_t all = p.records.size();
  qm::living_relationships rel;
  rel.start(p.founders);
  for (size_t gen = 0; gen < p.kept.size(); ++gen) rel.advance(h, p.kept[gen], p.born[gen]);
  std::vector<int64_t> pick(rel.animals().begin(), rel.animals().end());
  std::mt19937 g(3);
  std::shuffle(pick.begin(), pick.end(), g);
  pick.resize(pick.size() * 2 / 3);
  std::vector<double> sub;
  rel.among(pick, sub);
  ASSERT_EQ(sub.size(), pick.size() * pick.size());
  for (size_t i = 0; i < pick.size(); ++i)
    for (size_t j = 0; j < pick.size(); ++j)
      EXPECT_NEAR(sub[i * pick.size() + j],
                  t[static_cast<size_t>(pick[i] - 1) * all + static_cast<size_t>(pick[j] - 1)], 1e-12);
  EXPECT_GE(rel.bytes(), rel.size() * rel.size() * sizeof(double));
}

TEST(LivingRelationships, RelationshipsWorkedByHand) {
  // 1, 2 founders; 3 and 4 full sibs of 1 x 2; 5 = 3 x 4 (F = 1/4);
  // 6 = 1 x 5 (sire is the grandsire of its dam); 7 = 5 x 5 (selfing).
  std::vector<qm::pedigree_record> r = {{0, 0, 0, 1, 1}, {0, 0, 0, 2, 2}, {1, 2, 1, 1, 1}, {1, 2, 1, 2, 2},
                                        {3, 4, 2, 1, 1}, {1, 5, 3, 1, 1}, {5, 5, 3, 2, 2}};
  const qm::pedigree_history h = qm::pedigree_history::from_parts(r, {1, 3, 5, 6});
  qm::living_relationships rel;
  const std::vector<int64_t> founders = {1, 2};
  rel.start(founders);
  EXPECT_EQ(rel.at(0, 0), 1.0);
  EXPECT_EQ(rel.at(0, 1), 0.0);
  rel.advance(h, std::vector<int64_t>{1}, std::vector<int64_t>{3, 4});
  EXPECT_EQ(rel.at(0, 1), 0.5);  // parent and offspring
  EXPECT_EQ(rel.at(1, 2), 0.5);  // full sibs
  EXPECT_EQ(rel.at(1, 1), 1.0);
  rel.advance(h, std::vector<int64_t>{1}, std::vector<int64_t>{5});
  EXPECT_EQ(rel.at(1, 1), 1.25);  // offspring of full sibs
  EXPECT_EQ(rel.at(0, 1), 0.5);   // grandsire through both parents: (1/2 + 1/2) / 2
  rel.advance(h, std::vector<int64_t>{}, std::vector<int64_t>{6, 7});
  // a(1,5) = 1/2, so F(6) = 1/4: a66 = 1.25; a67 = (a(1,5) + a(5,5)) / 2 = 0.875;
  // selfing: a77 = 1 + a55 / 2 = 1.625.
  EXPECT_EQ(rel.at(0, 0), 1.25);
  EXPECT_EQ(rel.at(0, 1), 0.875);
  EXPECT_EQ(rel.at(1, 1), 1.625);
  EXPECT_EQ(rel.index_of(5), -1);
}

TEST(LivingRelationships, StopsOnAnimalsThatAreNotLivingOrNamedTwice) {
  qmtest::console_capture con;
  std::vector<qm::pedigree_record> r = {{0, 0, 0, 1, 1}, {0, 0, 0, 2, 2}, {0, 0, 0, 3, 1},
                                        {1, 2, 1, 1, 1}, {1, 9, 1, 2, 2}, {3, 2, 1, 3, 1}};
  const qm::pedigree_history h = qm::pedigree_history::from_parts(r, {1, 4});
  const auto stops = [&](const std::function<void(qm::living_relationships&)>& f, const std::string& text) {
    qm::living_relationships rel;
    rel.start(std::vector<int64_t>{1, 2});
    try {
      f(rel);
      ADD_FAILURE() << "no stop for: " << text;
    } catch (const qm::run_stop& e) {
      EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
    }
  };
  stops([&](auto& rel) { rel.advance(h, std::vector<int64_t>{3}, std::vector<int64_t>{4}); }, "kept animal 3");
  stops([&](auto& rel) { rel.advance(h, std::vector<int64_t>{}, std::vector<int64_t>{6}); }, "sire 3");
  stops([&](auto& rel) { rel.advance(h, std::vector<int64_t>{}, std::vector<int64_t>{5}); }, "dam 9");
  stops([&](auto& rel) { rel.advance(h, std::vector<int64_t>{}, std::vector<int64_t>{2}); }, "newborn 2 is living");
  stops([&](auto& rel) { rel.advance(h, std::vector<int64_t>{}, std::vector<int64_t>{7}); }, "newborn 7 is not in");
  stops([&](auto& rel) { rel.advance(h, std::vector<int64_t>{1, 1}, std::vector<int64_t>{4}); }, "named twice");
  stops([&](auto& rel) { rel.advance(h, std::vector<int64_t>{}, std::vector<int64_t>{4, 4}); }, "animal 4 is named twice");
  stops([&](auto& rel) {
    std::vector<double> out;
    rel.among(std::vector<int64_t>{2, 5}, out);
  }, "animal 5");
}

// ---- genomic_relationships

struct genotypes {
  int64_t n = 0, loci = 0, words = 0;
  std::vector<uint64_t> bits;      // 2n rows of `words` words
  std::vector<std::vector<int>> x;  // dosage of allele 2, x[k][l]
  std::vector<const uint64_t*> rows() const {
    std::vector<const uint64_t*> r;
    for (int64_t h = 0; h < 2 * n; ++h) r.push_back(bits.data() + h * words);
    return r;
  }
};

// Random haplotypes of n animals at `loci` loci; frequencies differ from
// locus to locus, some loci are fixed for either allele.
genotypes random_genotypes(int64_t n, int64_t loci, uint32_t seed) {
  std::mt19937 g(seed);
  genotypes G;
  G.n = n;
  G.loci = loci;
  G.words = qm::haplotype_words(loci);
  G.bits.assign(static_cast<size_t>(2 * n * G.words), 0);
  G.x.assign(static_cast<size_t>(n), std::vector<int>(static_cast<size_t>(loci), 0));
  std::vector<double> q(static_cast<size_t>(loci));
  for (auto& v : q) {
    const int kind = static_cast<int>(g() % 8);
    v = kind == 0 ? 0.0 : kind == 1 ? 1.0 : std::uniform_real_distribution<double>(0, 1)(g);
  }
  for (int64_t k = 0; k < n; ++k)
    for (int h = 0; h < 2; ++h) {
      std::vector<int8_t> a(static_cast<size_t>(loci));
      for (int64_t l = 0; l < loci; ++l) {
        a[static_cast<size_t>(l)] = std::uniform_real_distribution<double>(0, 1)(g) < q[static_cast<size_t>(l)] ? 2 : 1;
        G.x[static_cast<size_t>(k)][static_cast<size_t>(l)] += a[static_cast<size_t>(l)] == 2;
      }
      EXPECT_EQ(qm::pack_haplotype(a.data(), loci, G.bits.data() + (2 * k + h) * G.words), -1);
    }
  return G;
}

// G from its definition, one locus at a time.
std::vector<double> g_by_definition(const genotypes& G, const std::vector<uint64_t>& mask, const std::vector<double>& p) {
  std::vector<int64_t> used;
  double het = 0.0;
  for (int64_t l = 0; l < G.loci; ++l)
    if ((mask[static_cast<size_t>(l / 64)] >> (l % 64)) & 1u) {
      used.push_back(l);
      het += p[static_cast<size_t>(l)] * (1.0 - p[static_cast<size_t>(l)]);
    }
  const size_t n = static_cast<size_t>(G.n);
  std::vector<double> out(n * n);
  for (size_t i = 0; i < n; ++i)
    for (size_t j = 0; j < n; ++j) {
      double s = 0.0;
      for (int64_t l : used) {
        const double c = 2.0 * p[static_cast<size_t>(l)];
        s += (G.x[i][static_cast<size_t>(l)] - c) * (G.x[j][static_cast<size_t>(l)] - c);
      }
      out[i * n + j] = s / (2.0 * het);
    }
  return out;
}

// A mask with whole words, empty words and single loci.
std::vector<uint64_t> chip_mask(int64_t loci, uint32_t seed) {
  std::mt19937 g(seed);
  std::vector<uint64_t> m(static_cast<size_t>(qm::haplotype_words(loci)), 0);
  for (size_t w = 0; w < m.size(); ++w) {
    const int kind = static_cast<int>(w % 5);
    m[w] = kind == 0   ? ~uint64_t{0}
           : kind == 1 ? 0
           : kind == 4 ? uint64_t{1} << (g() % 64)
                       : (uint64_t{g()} << 32 | g()) & (uint64_t{g()} << 32 | g());
  }
  if (loci % 64) m.back() &= ~uint64_t{0} >> (64 - loci % 64);
  return m;
}

TEST(GenomicRelationships, EqualsTheDefinitionOnMaskedLoci) {
  for (auto [n, loci] : {std::pair<int64_t, int64_t>{1, 70}, {33, 300}, {70, 1000}, {65, 4100}}) {
    const genotypes G = random_genotypes(n, loci, static_cast<uint32_t>(n * 7 + loci));
    const std::vector<uint64_t> mask = chip_mask(loci, static_cast<uint32_t>(loci));
    std::mt19937 g(static_cast<uint32_t>(n));
    std::vector<double> p(static_cast<size_t>(loci));
    for (size_t l = 0; l < p.size(); ++l) p[l] = l % 9 == 0 ? static_cast<double>(l % 2) : std::uniform_real_distribution<double>(0.02, 0.98)(g);
    const std::vector<double> expect = g_by_definition(G, mask, p);
    const auto rows = G.rows();
    std::vector<double> got;
    qm::genomic_relationships(rows, static_cast<size_t>(G.words), mask, p, got, 1);
    ASSERT_EQ(got.size(), expect.size());
    for (size_t k = 0; k < got.size(); ++k) ASSERT_NEAR(got[k], expect[k], 1e-12) << n << " x " << loci << " at " << k;

    // Every mask bit set: all loci, whole words.
    std::vector<uint64_t> all(static_cast<size_t>(G.words), ~uint64_t{0});
    if (loci % 64) all.back() = ~uint64_t{0} >> (64 - loci % 64);
    qm::genomic_relationships(rows, static_cast<size_t>(G.words), all, p, got, 1);
    const std::vector<double> expect_all = g_by_definition(G, all, p);
    for (size_t k = 0; k < got.size(); ++k) ASSERT_NEAR(got[k], expect_all[k], 1e-12);
  }
}

TEST(GenomicRelationships, SameBitsOnAnyThreadsAndWithoutPopcnt) {
  // Enough loci for the long rows of the vector path (groups of 16 vectors)
  // and the rest after the last group.
  const genotypes G = random_genotypes(97, 6000, 5);
  const std::vector<uint64_t> mask = chip_mask(6000, 9);
  std::vector<double> p(6000, 0.3);
  const auto rows = G.rows();
  std::vector<double> one, two, three, plain;
  qm::genomic_relationships(rows, static_cast<size_t>(G.words), mask, p, one, 1);
  qm::genomic_relationships(rows, static_cast<size_t>(G.words), mask, p, two, 2);
  qm::genomic_relationships(rows, static_cast<size_t>(G.words), mask, p, three, 3);
  qm::use_vector_kernels(false);
  qm::genomic_relationships(rows, static_cast<size_t>(G.words), mask, p, plain, 2);
  qm::use_vector_kernels(true);
  ASSERT_EQ(one.size(), 97u * 97u);
  for (const auto* v : {&two, &three, &plain}) {
    ASSERT_EQ(v->size(), one.size());
    EXPECT_EQ(std::memcmp(v->data(), one.data(), one.size() * sizeof(double)), 0);
  }
  for (size_t i = 0; i < 97; ++i)
    for (size_t j = 0; j < 97; ++j) ASSERT_EQ(one[i * 97 + j], one[j * 97 + i]);
}

TEST(GenomicRelationships, WithSampleFrequenciesEveryRowOfZSumsToZero) {
  // With p the allele-2 frequencies of the animals themselves, the columns
  // of Z sum to zero, so every row of G does, and the mean diagonal is
  // 1 + the mean of the (genomic) inbreeding, which here, with the
  // denominator from the same frequencies, is sum_l sum_i z_il^2 / (n 2 sum p q).
  const int64_t n = 60, loci = 900;
  const genotypes G = random_genotypes(n, loci, 21);
  std::vector<uint64_t> all(static_cast<size_t>(G.words), ~uint64_t{0});
  all.back() = ~uint64_t{0} >> (64 - loci % 64);
  std::vector<double> p(static_cast<size_t>(loci), 0.0);
  for (int64_t l = 0; l < loci; ++l) {
    for (int64_t k = 0; k < n; ++k) p[static_cast<size_t>(l)] += G.x[static_cast<size_t>(k)][static_cast<size_t>(l)];
    p[static_cast<size_t>(l)] /= 2.0 * n;
  }
  std::vector<double> g;
  qm::genomic_relationships(G.rows(), static_cast<size_t>(G.words), all, p, g, 2);
  for (int64_t i = 0; i < n; ++i) {
    double s = 0.0;
    for (int64_t j = 0; j < n; ++j) s += g[static_cast<size_t>(i * n + j)];
    EXPECT_NEAR(s, 0.0, 1e-10) << i;
  }
  // Under Hardy-Weinberg (random union of the haplotypes drawn) the
  // diagonal averages about 1.
  double d = 0.0;
  for (int64_t i = 0; i < n; ++i) d += g[static_cast<size_t>(i * n + i)];
  EXPECT_NEAR(d / n, 1.0, 0.05);
}

TEST(GenomicRelationships, StopsWithoutVariationOrOnMismatchedInput) {
  qmtest::console_capture con;
  const genotypes G = random_genotypes(4, 100, 2);
  const auto rows = G.rows();
  std::vector<uint64_t> mask(2, ~uint64_t{0});
  mask[1] = (uint64_t{1} << 36) - 1;
  std::vector<double> fixed(100, 0.0), out;
  for (size_t l = 0; l < 100; l += 3) fixed[l] = 1.0;
  const auto stops = [&](const std::function<void()>& f, const std::string& text) {
    try {
      f();
      ADD_FAILURE() << "no stop for: " << text;
    } catch (const qm::run_stop& e) {
      EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
    }
  };
  stops([&] { qm::genomic_relationships(rows, 2, mask, fixed, out); }, "no locus used varies");
  std::vector<double> p(100, 0.5);
  stops([&] { qm::genomic_relationships(std::span(rows).first(3), 2, mask, p, out); }, "every animal needs two");
  stops([&] { qm::genomic_relationships(rows, 2, std::span(mask).first(1), p, out); }, "mask has 1 words");
  stops([&] { qm::genomic_relationships(rows, 2, mask, std::span(p).first(80), out); }, "locus 81 is used");
  p[50] = 1.5;
  stops([&] { qm::genomic_relationships(rows, 2, mask, p, out); }, "locus 51 is not between 0 and 1");
}

}  // namespace
