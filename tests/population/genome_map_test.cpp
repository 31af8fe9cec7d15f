// The genetic map, its bytes in a history file, and the base generation
// that start_population makes on it.
#include "population/genome_map.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <vector>

#include "base/byte_codec.hpp"
#include "base/invariant_error.hpp"
#include "output/classic_files.hpp"
#include "run/generation.hpp"
#include "support.hpp"

namespace {

using qmtest::set_record;

// Morgan distance of a recombination fraction (Haldane's function undone).
double distance_of(double r) { return -0.5 * std::log(1.0 - 2.0 * r); }

TEST(GenomeMap, EvenSpacing) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  qmtest::run_setup s(qmtest::small_par());  // nmpc 11, nchr 4, chrlen 1.0, maptype 0
  const qm::genome_map& m = s.st.map;
  ASSERT_EQ(m.nmark(), 44);
  ASSERT_EQ(m.nqloc(), 40);
  // Half a gap, 0.5 / 10 in single precision = 0.05000000074505806, then Haldane.
  for (int k = 0; k < 40; ++k) {
    EXPECT_DOUBLE_EQ(m.recomb_left[k], 0.04758129165617664);
    EXPECT_DOUBLE_EQ(m.recomb_right[k], 0.04758129165617664);
  }
  EXPECT_EQ(s.st.rng.state, 12345);  // an even map draws nothing
  for (int c = 1; c <= 4; ++c) {
    for (int j = 1; j <= 11; ++j) {
      const qm::locus_position& x = m.markers[(c - 1) * 11 + j - 1];
      EXPECT_EQ(x.chromosome, c);
      EXPECT_NEAR(x.morgan, 0.1 * (j - 1), 1e-12);
      EXPECT_NEAR(static_cast<double>(x.base_pair), 1e7 * (j - 1), 1.0);
    }
    for (int j = 1; j <= 10; ++j) {
      const qm::locus_position& x = m.candidates[(c - 1) * 10 + j - 1];
      EXPECT_EQ(x.chromosome, c);
      EXPECT_NEAR(x.morgan, 0.1 * (j - 1) + 0.05, 1e-8);  // the midpoint of its gap
      EXPECT_NEAR(static_cast<double>(x.base_pair), 1e7 * (j - 1) + 5e6, 2.0);
    }
    EXPECT_NEAR(static_cast<double>(m.chromosome_base_pairs(c)), 1e8, 1.0);
  }
  EXPECT_NEAR(qm::haldane(0.05), 0.5 * (1.0 - std::exp(-0.1)), 1e-15);
}

TEST(GenomeMap, RandomGapsAndTheirFile) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  const std::string par = set_record(set_record(qmtest::small_par(), 10, "6 3 1"), 12, "1.5 1.0e-3 2.0e-3");
  qmtest::run_setup s(par);
  const qm::genome_map& m = s.st.map;
  const int gaps = 5, nchr = 3;
  ASSERT_EQ(m.nmark(), 18);
  ASSERT_EQ(m.nqloc(), 15);
  ASSERT_EQ(m.gap_base_pairs.size(), 18u);

  // Reference draws of the map: gaps (u1, u2) scaled to chrlen, then one
  // uniform per candidate locus that splits its gap.
  qm::random_stream r;
  qm::start_stream(r, 12345);
  const double d = static_cast<double>(1.5f / 5.0f);
  for (int c = 1; c <= nchr; ++c) {
    std::vector<double> g(gaps);
    double sum = 0.0, total = 0.0;
    for (double& x : g) {
      const double u1 = qm::next_uniform(r), u2 = qm::next_uniform(r);
      sum += x = (std::log(u2) / -1.0) * (d / 2.0) + u1 * d;
    }
    const qm::locus_position& first = m.markers[(c - 1) * 6];
    EXPECT_EQ(first.morgan, 0.0);
    EXPECT_EQ(first.base_pair, 0);
    EXPECT_EQ(m.gap_base_pairs[(c - 1) * 6], 0);
    int64_t bp = 0;
    for (int j = 0; j < gaps; ++j) {
      total += g[j] *= 1.5 / sum;
      const int k = (c - 1) * gaps + j;
      const double left = distance_of(m.recomb_left[k]), right = distance_of(m.recomb_right[k]);
      EXPECT_NEAR(left + right, g[j], 1e-12) << "locus " << k + 1;
      EXPECT_NEAR(right, qm::next_uniform(r) * g[j], 1e-12) << "locus " << k + 1;
      const qm::locus_position& before = m.markers[(c - 1) * 6 + j];
      const qm::locus_position& after = m.markers[(c - 1) * 6 + j + 1];
      EXPECT_NEAR(after.morgan - before.morgan, g[j], 1e-12);
      EXPECT_NEAR(m.candidates[k].morgan - before.morgan, left, 1e-12);
      EXPECT_EQ(m.candidates[k].chromosome, c);
      EXPECT_EQ(m.gap_base_pairs[(c - 1) * 6 + j + 1], static_cast<int64_t>(g[j] * 1e8));
      bp += m.gap_base_pairs[(c - 1) * 6 + j + 1];
      EXPECT_EQ(after.base_pair, bp);
      EXPECT_GE(m.candidates[k].base_pair, before.base_pair);
      EXPECT_LE(m.candidates[k].base_pair, after.base_pair);
    }
    EXPECT_NEAR(total, 1.5, 1e-12);
    EXPECT_EQ(m.chromosome_base_pairs(c), bp);
    EXPECT_LE(bp, 150000000);
  }
  // The map takes three uniforms per gap, then the base generation starts.
  EXPECT_EQ(s.st.rng.state, r.state);
  EXPECT_EQ(static_cast<uint32_t>(s.st.rng.state), qm::mulmod31(12345u, qm::jump_multiplier(3ull * gaps * nchr)));

  // mposition.out lists every marker with its position and the gap before it.
  qm::write_marker_positions(qm::output_folder{}, m);
  std::istringstream in(qmtest::read_file("mposition.out"));
  std::string line;
  long long n = 0;
  while (std::getline(in, line)) {
    ++n;
    ASSERT_EQ(line.size(), 30u) << line;  // widths 6, 12, 12
    long long num, at, gap;
    std::istringstream(line) >> num >> at >> gap;
    EXPECT_EQ(num, n);
    EXPECT_EQ(at, m.markers[n - 1].base_pair);
    EXPECT_EQ(gap, m.gap_base_pairs[n - 1]);
  }
  EXPECT_EQ(n, 18);
}

TEST(GenomeMap, OtherMaptypeMeansNoRecombination) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  qmtest::run_setup s(set_record(qmtest::small_par(), 10, "11 4 2"));
  const qm::genome_map& m = s.st.map;
  ASSERT_EQ(m.nqloc(), 40);
  for (int k = 0; k < 40; ++k) {
    EXPECT_EQ(m.recomb_left[k], 0.0);
    EXPECT_EQ(m.recomb_right[k], 0.0);
  }
  EXPECT_EQ(s.st.rng.state, 12345);
  // Positions as for even spacing.
  EXPECT_NEAR(m.markers[12].morgan, 0.1, 1e-12);
  EXPECT_NEAR(m.candidates[12].morgan, 0.25, 1e-8);
}

// Two chromosomes of three markers with random gaps, made by hand.
qm::genome_map two_chromosomes() {
  qm::genome_map m;
  m.nchr = 2;
  m.nmpc = 3;
  m.maptype = 1;
  for (int32_t c = 1; c <= 2; ++c) {
    const double g1 = 0.25 * c, g2 = 0.375;
    const int64_t b1 = 25000000 * c, b2 = 37500000;
    m.markers.push_back({c, 0.0, 0});
    m.markers.push_back({c, g1, b1});
    m.markers.push_back({c, g1 + g2, b1 + b2});
    m.candidates.push_back({c, 0.1, 10000000});
    m.candidates.push_back({c, g1 + 0.3, b1 + 30000000});
    m.recomb_left.insert(m.recomb_left.end(), {qm::haldane(0.1), qm::haldane(0.3)});
    m.recomb_right.insert(m.recomb_right.end(), {qm::haldane(g1 - 0.1), qm::haldane(g2 - 0.3)});
    m.gap_base_pairs.insert(m.gap_base_pairs.end(), {0, b1, b2});
  }
  return m;
}

std::string encoded(const qm::genome_map& m) {
  std::string out;
  qm::byte_writer w(out);
  qm::encode_genome_map(w, m);
  return out;
}

void expect_same_map(const qm::genome_map& a, const qm::genome_map& b) {
  EXPECT_EQ(a.nchr, b.nchr);
  EXPECT_EQ(a.nmpc, b.nmpc);
  EXPECT_EQ(a.maptype, b.maptype);
  for (auto [x, y] : {std::pair{&a.markers, &b.markers}, std::pair{&a.candidates, &b.candidates}}) {
    ASSERT_EQ(x->size(), y->size());
    for (size_t k = 0; k < x->size(); ++k) {
      EXPECT_EQ((*x)[k].chromosome, (*y)[k].chromosome) << k;
      EXPECT_EQ((*x)[k].morgan, (*y)[k].morgan) << k;
      EXPECT_EQ((*x)[k].base_pair, (*y)[k].base_pair) << k;
    }
  }
  EXPECT_EQ(a.recomb_left, b.recomb_left);
  EXPECT_EQ(a.recomb_right, b.recomb_right);
  EXPECT_EQ(a.gap_base_pairs, b.gap_base_pairs);
}

qm::genome_map decoded(const std::string& bytes) {
  qm::byte_reader r(bytes, "section MAP of h.qmh");
  qm::genome_map m = qm::decode_genome_map(r);
  EXPECT_EQ(r.left(), 0u);
  return m;
}

TEST(GenomeMapCodec, BytesAsTheFormatGivesThemAndBack) {
  using qmtest::le, qmtest::le_f64;
  const qm::genome_map m = two_chromosomes();
  std::string want = le(2, 4) + le(3, 4) + le(1, 4);
  for (const auto* v : {&m.markers, &m.candidates}) {
    want += le(v->size(), 8);
    for (const qm::locus_position& l : *v) want += le(l.chromosome, 4) + le_f64(l.morgan) + le(l.base_pair, 8);
  }
  for (const auto* v : {&m.recomb_left, &m.recomb_right}) {
    want += le(v->size(), 8);
    for (double x : *v) want += le_f64(x);
  }
  want += le(6, 8);
  for (int64_t x : m.gap_base_pairs) want += le(static_cast<uint64_t>(x), 8);
  const std::string bytes = encoded(m);
  EXPECT_EQ(bytes, want);
  // 12 + 8 + 20 M + 8 + 20 Q + 2 (8 + 8 Q) + 8 + 8 M for M = 6 markers, Q = 4 candidate loci
  EXPECT_EQ(bytes.size(), 12u + 8 + 120 + 8 + 80 + 2 * (8 + 32) + 8 + 48);
  expect_same_map(decoded(bytes), m);

  // A map of the run: even spacing, no gaps kept.
  qmtest::tempdir dir;
  qmtest::console_capture con;
  qmtest::run_setup s(qmtest::small_par());
  ASSERT_TRUE(s.st.map.gap_base_pairs.empty());
  expect_same_map(decoded(encoded(s.st.map)), s.st.map);
}

TEST(GenomeMapCodec, DamagedBytesGiveDecodeErrors) {
  const std::string bytes = encoded(two_chromosomes());
  auto decode = [](qm::byte_reader& r) { qm::decode_genome_map(r); };
  EXPECT_EQ(qmtest::first_cut_accepted(bytes, decode), -1);

  std::string huge = bytes;  // the marker count, 2^62: refused before anything is allocated
  huge.replace(12, 8, qmtest::le(uint64_t{1} << 62, 8));
  EXPECT_NE(qmtest::decode_failure(huge, decode).find("is damaged: it gives 4611686018427387904 loci of 20 bytes"),
            std::string::npos)
      << qmtest::decode_failure(huge, decode);

  std::string nmpc = bytes;  // four markers per chromosome: the six markers no longer fit
  nmpc[4] = 4;
  EXPECT_EQ(qmtest::decode_failure(nmpc, decode), "the genetic map's parts do not fit together");

  std::string chromosome = bytes;  // the second marker on chromosome 3 of 2
  chromosome[20 + 20] = 3;
  EXPECT_EQ(qmtest::decode_failure(chromosome, decode), "a locus of the map lies on no chromosome");
}

// The message of the invariant_error of verify ("" when none).
std::string fault(const qm::genome_map& m, double chrlen) {
  try {
    qm::verify(m, chrlen);
  } catch (const qm::invariant_error& e) {
    return e.what();
  }
  return "";
}

// Every map the program makes passes: even, random and recombination-free
// maps over a spread of sizes, lengths and seeds; among them chromosomes so
// short that their gaps truncate to 0 base pairs (ties) and maps whose
// positions are sums of thousands of rounded gaps.
TEST(GenomeMapVerify, MapsTheProgramMakesPass) {
  int checked = 0;
  for (int32_t maptype : {0, 1, 2})
    for (int32_t nmpc : {2, 3, 11, 2000})
      for (float chrlen : {1e-9f, 0.013f, 1.0f, 3.7f, 40.0f})
        for (int32_t seed : {1, 12345, 2147483646, 777}) {
          if (maptype != 1 && seed != 1) continue;  // nothing drawn
          qm::run_parameters p;
          p.nmpc = nmpc;
          p.nchr = nmpc > 100 ? 1 : 3;
          p.maptype = maptype;
          p.chrlen = chrlen;
          qm::random_stream r;
          qm::start_stream(r, seed);
          const qm::genome_map m = qm::build_genome_map(p, r);
          ASSERT_EQ(fault(m, chrlen), "") << "maptype " << maptype << ", nmpc " << nmpc << ", chrlen " << chrlen
                                          << ", seed " << seed;
          ++checked;
        }
  EXPECT_EQ(checked, 3 * 4 * 5 + 4 * 5 * 3);
  // Short chromosomes do give ties in base pairs.
  qm::run_parameters p;
  p.nmpc = 50;
  p.nchr = 1;
  p.maptype = 1;
  p.chrlen = 1e-7f;
  qm::random_stream r;
  qm::start_stream(r, 99);
  const qm::genome_map m = qm::build_genome_map(p, r);
  EXPECT_EQ(m.markers[10].base_pair, m.markers[11].base_pair);
  EXPECT_EQ(fault(m, p.chrlen), "");
  EXPECT_EQ(fault(two_chromosomes(), 1.0), "");
}

TEST(GenomeMapVerify, EachFaultIsNamed) {
  const double nan = std::nan("");
  const struct {
    void (*damage)(qm::genome_map&);
    const char* message;
  } cases[] = {
      {[](qm::genome_map& m) { m.markers[4].morgan = std::nan(""); },
       "marker 5 (marker 2 of chromosome 2) lies at nan Morgan"},
      {[](qm::genome_map& m) { m.markers[2].morgan = 1.5; },
       "marker 3 (marker 3 of chromosome 1) lies at 1.5 Morgan, outside its chromosome (0..1.0000009"},
      {[](qm::genome_map& m) { m.markers[1].morgan = -0.25; }, "lies at -0.25 Morgan, outside its chromosome"},
      // Base pairs that no position in Morgan gives: 2^62, 2^40, and two
      // more than 0.25 Morgan give.
      {[](qm::genome_map& m) { m.markers[1].base_pair = int64_t{1} << 62; },
       "marker 2 (marker 2 of chromosome 1) lies at base pair 4611686018427387904, which its position of 0.25 Morgan "
       "does not give (25000000 at most, one less for each gap before it)"},
      {[](qm::genome_map& m) { m.candidates[3].base_pair = int64_t{1} << 40; },
       "candidate locus 4 (between markers 2 and 3 of chromosome 2) lies at base pair 1099511627776"},
      {[](qm::genome_map& m) { m.markers[1].base_pair += 2; }, "lies at base pair 25000002, which its position"},
      {[](qm::genome_map& m) { m.markers[1].base_pair -= 4; }, "lies at base pair 24999996, which its position"},
      // Out of order, or a chromosome that does not begin at its first marker.
      {[](qm::genome_map& m) {
         m.markers[2].morgan = 0.2;
         m.markers[2].base_pair = 20000000;
       },
       "marker 3 (marker 3 of chromosome 1) lies at 0.20000000000000001 Morgan (base pair 20000000), before the "
       "marker ahead of it at 0.25 (25000000)"},
      {[](qm::genome_map& m) {
         m.markers[3].morgan = 0.01;
         m.markers[3].base_pair = 1000000;
       },
       "marker 4 (marker 1 of chromosome 2) lies at 0.01 Morgan and base pair 1000000; a chromosome begins at its "
       "first marker"},
      {[](qm::genome_map& m) { m.candidates[0] = {1, 0.3, 30000000}; },
       "candidate locus 1 (between markers 1 and 2 of chromosome 1) lies at 0.29999999999999999 Morgan (base pair "
       "30000000), outside its markers at 0 and 0.25 (0 and 25000000)"},
      {[](qm::genome_map& m) { m.markers[5].chromosome = 1; }, "marker 6 (marker 3 of chromosome 2) lies on chromosome 1, not 2"},
      {[](qm::genome_map& m) { m.recomb_left[2] = 0.6; },
       "the recombination fraction between candidate locus 3 (between markers 1 and 2 of chromosome 2) and its left "
       "marker is 0.59999999999999998, outside 0..0.5"},
      {[](qm::genome_map& m) { m.recomb_right[1] = std::nan(""); }, "and its right marker is nan, outside 0..0.5"},
      {[](qm::genome_map& m) { m.gap_base_pairs[4] = 1; },
       "the gap before marker 5 (marker 2 of chromosome 2) is 1 base pairs; its position gives 50000000"},
      {[](qm::genome_map& m) { m.gap_base_pairs.clear(); }, "the map has 0 gaps for 6 markers with maptype 1"},
      {[](qm::genome_map& m) { m.maptype = 2; }, "the map has 6 gaps for 6 markers with maptype 2"},
      {[](qm::genome_map& m) { m.candidates.pop_back(); },
       "the map has 6 markers and 3 candidate loci for 2 chromosomes of 3 markers"},
      {[](qm::genome_map& m) { m.recomb_right.pop_back(); }, "the map has 4 and 3 recombination fractions for 4"},
  };
  for (const auto& c : cases) {
    qm::genome_map m = two_chromosomes();
    c.damage(m);
    EXPECT_NE(fault(m, 1.0).find(c.message), std::string::npos) << fault(m, 1.0) << "\nwanted: " << c.message;
  }
  // Without recombination every fraction is 0.
  qm::genome_map flat = two_chromosomes();
  flat.maptype = 2;
  flat.gap_base_pairs.clear();
  EXPECT_NE(fault(flat, 1.0).find("and its left marker is 0.09063462346"), std::string::npos)
      << fault(flat, 1.0);
  for (double& r : flat.recomb_left) r = 0.0;
  for (double& r : flat.recomb_right) r = 0.0;
  EXPECT_EQ(fault(flat, 1.0), "");
  // The chromosome length bounds every position: 0.875 Morgan fits 0.875, not 0.8.
  EXPECT_EQ(fault(two_chromosomes(), 0.875), "");
  EXPECT_NE(fault(two_chromosomes(), 0.8)
                .find("marker 6 (marker 3 of chromosome 2) lies at 0.875 Morgan, outside its chromosome (0..0.8000007"),
            std::string::npos)
      << fault(two_chromosomes(), 0.8);
  EXPECT_NE(fault(two_chromosomes(), nan).find("the chromosomes are nan Morgan long"), std::string::npos);
}

TEST(StartPopulation, MonomorphicBaseAndParentLists) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  qmtest::run_setup s(qmtest::small_par());  // nind 40, nsire 10, ndam 20
  const qm::population& pop = s.st.pop;
  ASSERT_EQ(pop.nind, 40);
  ASSERT_EQ(pop.markers.loci(), 44);
  ASSERT_EQ(pop.markers.haplotypes(), 80);
  ASSERT_EQ(pop.candidates.loci(), 40);
  ASSERT_EQ(pop.candidates.haplotypes(), 80);
  for (size_t i = 0; i < pop.markers.size(); ++i) EXPECT_EQ(pop.markers.data()[i], 1);
  for (size_t i = 0; i < pop.candidates.size(); ++i) EXPECT_EQ(pop.candidates.data()[i], 1);
  ASSERT_EQ(pop.parents.size(), 40u);
  for (int i = 1; i <= 40; ++i) {
    EXPECT_EQ(pop.parents[i - 1].sire, i);  // every base animal is its own sire and dam
    EXPECT_EQ(pop.parents[i - 1].dam, i);
  }
  ASSERT_EQ(pop.sires.size(), 10u);
  ASSERT_EQ(pop.dams.size(), 20u);
  for (int k = 1; k <= 10; ++k) EXPECT_EQ(pop.sires[k - 1], 2 * k - 1);
  for (int k = 1; k <= 20; ++k) EXPECT_EQ(pop.dams[k - 1], 2 * k);
  // Only allele 1 is carried; the next mutant at every locus gets 2.
  for (const qm::allele_registry* a : {&pop.marker_alleles, &pop.candidate_alleles}) {
    EXPECT_TRUE(a->carried_valid);
    for (size_t l = 0; l < a->next.size(); ++l) {
      EXPECT_EQ(a->next[l], 2);
      EXPECT_EQ(a->top[l], 2);
      EXPECT_EQ(a->carried[2 * l], 2u);
      EXPECT_EQ(a->carried[2 * l + 1], 0u);
    }
  }
  EXPECT_EQ(pop.marker_alleles.next.size(), 44u);
  EXPECT_EQ(pop.candidate_alleles.next.size(), 40u);
  EXPECT_EQ(s.st.history.size(), 40);
  EXPECT_EQ(s.st.history.generations(), 1);
  EXPECT_TRUE(s.st.mutation_on);
  EXPECT_FALSE(s.st.architecture.has_value());
  EXPECT_EQ(con.text(), "");

  // nomut 1 in stage 1 switches mutation off from the start.
  qmtest::run_setup off(set_record(qmtest::small_par(), 20, "1 2 0"));
  EXPECT_FALSE(off.st.mutation_on);
}

TEST(StartPopulation, ListsLimitedToTheAnimalsOfEachSex) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  qm::run_parameters p;
  qmtest::load_par(p, qmtest::small_par());
  // nind 7 with lists of 5: only three males and three females can fill them.
  qm::stage_block& b = p.stages[1].block;
  b.nind = 7;
  b.nsire = b.ndam = 5;
  qm::run_state st(p);
  qm::start_population(st, qm::observer_list{});
  EXPECT_EQ(st.pop.sires, (std::vector<int32_t>{1, 3, 5}));
  EXPECT_EQ(st.pop.dams, (std::vector<int32_t>{2, 4, 6}));
  EXPECT_EQ(st.pop.markers.haplotypes(), 14);
  EXPECT_EQ(st.pop.candidates_per_sex(), 3);
}

}  // namespace
