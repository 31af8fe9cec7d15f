// The population's own fields in a history file (section POP): the bytes
// field by field as the format gives them, read back whole; damaged bytes
// give a decode_error that says what is wrong, never a crash or a huge
// allocation.
#include <gtest/gtest.h>

#include <string>

#include "population/population_codec.hpp"
#include "support.hpp"

namespace {

using qmtest::le;
using qmtest::le_f64;

// Four animals after a generation with mutation: 3 markers, 2 candidate loci.
qm::population four_animals() {
  qm::population p;
  p.nind = 4;
  p.parents = {{1, 2}, {3, 2}, {1, 4}, {3, 4}};
  p.sires = {3, 1};
  p.dams = {4};
  p.tbv = {0.5, -1.25, 2.0, 0.0};
  p.phenotype = {1.5, -0.25, 3.0, 1.0};
  p.marker_alleles.next = {2, 4, 3};
  p.marker_alleles.top = {2, 3, 3};
  p.candidate_alleles.next = {5, 2};
  p.candidate_alleles.top = {4, 2};
  return p;
}

std::string encoded(const qm::population& p) {
  std::string out;
  qm::byte_writer w(out);
  qm::encode_population(w, p);
  return out;
}

auto decode_3_2 = [](qm::byte_reader& r) { return qm::decode_population(r, 3, 2); };

TEST(PopulationCodec, BytesAsTheFormatGivesThemAndBack) {
  const qm::population p = four_animals();
  std::string want = le(4, 4) + le(4, 8);
  for (const qm::parent_pair& pp : p.parents) want += le(pp.sire, 4) + le(pp.dam, 4);
  want += le(2, 8) + le(3, 4) + le(1, 4) + le(1, 8) + le(4, 4);
  for (const auto* v : {&p.tbv, &p.phenotype}) {
    want += le(4, 8);
    for (double x : *v) want += le_f64(x);
  }
  want += le(3, 8) + le(2, 2) + le(4, 2) + le(3, 2) + le(3, 8) + le(2, 2) + le(3, 2) + le(3, 2) + le(0, 1);
  want += le(2, 8) + le(5, 2) + le(2, 2) + le(2, 8) + le(4, 2) + le(2, 2) + le(0, 1);
  const std::string bytes = encoded(p);
  ASSERT_EQ(bytes, want);

  qm::byte_reader r(bytes, "section POP of h.qmh");
  const qm::population q = qm::decode_population(r, 3, 2);
  EXPECT_EQ(r.left(), 0u);
  EXPECT_EQ(q.nind, 4);
  ASSERT_EQ(q.parents.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(q.parents[i].sire, p.parents[i].sire);
    EXPECT_EQ(q.parents[i].dam, p.parents[i].dam);
  }
  EXPECT_EQ(q.sires, p.sires);
  EXPECT_EQ(q.dams, p.dams);
  EXPECT_EQ(q.tbv, p.tbv);
  EXPECT_EQ(q.phenotype, p.phenotype);
  EXPECT_EQ(q.marker_alleles.next, p.marker_alleles.next);
  EXPECT_EQ(q.marker_alleles.top, p.marker_alleles.top);
  EXPECT_EQ(q.candidate_alleles.next, p.candidate_alleles.next);
  EXPECT_EQ(q.candidate_alleles.top, p.candidate_alleles.top);
  // The carried sets are not kept: cleared, two words per locus, not valid.
  EXPECT_EQ(q.marker_alleles.carried, std::vector<uint64_t>(6, 0));
  EXPECT_EQ(q.candidate_alleles.carried, std::vector<uint64_t>(4, 0));
  EXPECT_FALSE(q.marker_alleles.carried_valid || q.candidate_alleles.carried_valid);
  EXPECT_EQ(q.markers.loci(), 0);  // the haplotypes have sections of their own
}

TEST(PopulationCodec, DamagedBytesGiveDecodeErrors) {
  const std::string bytes = encoded(four_animals());
  EXPECT_EQ(qmtest::first_cut_accepted(bytes, decode_3_2), -1);

  std::string huge = bytes;  // 2^61 parent pairs
  huge.replace(4, 8, le(uint64_t{1} << 61, 8));
  EXPECT_NE(qmtest::decode_failure(huge, decode_3_2).find("is damaged: it gives 2305843009213693952 parent pairs"),
            std::string::npos);

  std::string one = bytes;
  one[0] = 1;
  EXPECT_EQ(qmtest::decode_failure(one, decode_3_2), "the population has 1 animals");

  std::string outside = bytes;  // the first selected sire: animal 5 of 4
  outside[4 + 8 + 32 + 8] = 5;
  EXPECT_EQ(qmtest::decode_failure(outside, decode_3_2), "a selected parent is animal 5 of 4");

  // The registries against the map: 3 markers given, the map has 4.
  EXPECT_EQ(qmtest::decode_failure(bytes, [](qm::byte_reader& r) { qm::decode_population(r, 4, 2); }),
            "the data gives allele numbers for 3 of 4 loci");

  qm::population valid = four_animals();
  valid.candidate_alleles.carried_valid = true;
  EXPECT_EQ(qmtest::decode_failure(encoded(valid), decode_3_2),
            "the data marks the carried allele sets as valid, which they are not after stage 1");

  qm::population short_of_parents = four_animals();
  short_of_parents.parents.pop_back();
  EXPECT_EQ(qmtest::decode_failure(encoded(short_of_parents), decode_3_2),
            "the population's parents do not match its size");
}

}  // namespace
