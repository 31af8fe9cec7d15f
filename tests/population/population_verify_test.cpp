// The checks of the haplotype matrices and the population: states the
// generation loop makes pass (the base generation, historical generations
// with many mutants in bytes, the packed population after the recoding, a
// selected one with values), and each kind of damage done on purpose to a
// copy of them is caught with a message that names it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>

#include "base/invariant_error.hpp"
#include "config/stage_plan.hpp"
#include "run/generation.hpp"
#include "support.hpp"

namespace {

using qmtest::set_record;

constexpr auto& fault = qmtest::invariant_fault;

// A matrix of nhap haplotypes of nloci random alleles 1 and 2, in bytes.
void fill_random(qm::haplotype_matrix& m, int32_t nloci, int32_t nhap, uint64_t seed) {
  m.resize(nloci, nhap);
  for (int32_t h = 0; h < nhap; ++h)
    for (int32_t l = 0; l < nloci; ++l) {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      m.at(l, h) = static_cast<int8_t>(1 + ((seed >> 41) & 1u));
    }
}

void copy_matrix(const qm::haplotype_matrix& a, qm::haplotype_matrix& b) {
  if (a.packed()) {
    b.resize_packed(a.loci(), a.haplotypes());
    if (a.haplotypes() > 0) std::memcpy(b.row(0), a.row(0), a.words() * a.haplotypes() * sizeof(uint64_t));
  } else {
    b.resize(a.loci(), a.haplotypes());
    if (a.size() > 0) std::memcpy(b.data(), a.data(), a.size());
  }
}

// A copy to damage (a population holds its matrices on pages of its own).
std::unique_ptr<qm::population> copy_of(const qm::population& p) {
  auto c = std::make_unique<qm::population>();
  c->nind = p.nind;
  copy_matrix(p.markers, c->markers);
  copy_matrix(p.candidates, c->candidates);
  c->parents = p.parents;
  c->sires = p.sires;
  c->dams = p.dams;
  c->tbv = p.tbv;
  c->phenotype = p.phenotype;
  c->marker_alleles = p.marker_alleles;
  c->candidate_alleles = p.candidate_alleles;
  return c;
}

TEST(HaplotypeMatrixVerify, AllelesOfTheByteLayoutWithinTheirRange) {
  qm::haplotype_matrix m;
  fill_random(m, 130, 6, 7);
  EXPECT_EQ(fault([&] { qm::verify(m, "marker", 2); }), "");
  // 1 and 2 pass below any maximum; the first allele outside names itself.
  m.at(5, 3) = 3;
  EXPECT_EQ(fault([&] { qm::verify(m, "marker", 127); }), "");
  EXPECT_EQ(fault([&] { qm::verify(m, "marker", 2); }),
            "locus 6 of haplotype 4 of the marker matrix carries allele 3, outside 1..2");
  m.at(5, 3) = 1;
  m.at(129, 5) = 0;  // the last allele of the last haplotype
  EXPECT_EQ(fault([&] { qm::verify(m, "candidate-locus", 127); }),
            "locus 130 of haplotype 6 of the candidate-locus matrix carries allele 0, outside 1..127");
  m.at(129, 5) = -128;
  EXPECT_EQ(fault([&] { qm::verify(m, "marker"); }),
            "locus 130 of haplotype 6 of the marker matrix carries allele -128, outside 1..127");
  m.at(129, 5) = 127;
  EXPECT_EQ(fault([&] { qm::verify(m, "marker"); }), "");
  // The first fault in haplotype order.
  m.at(100, 1) = 0;
  m.at(3, 2) = 0;
  EXPECT_EQ(fault([&] { qm::verify(m, "marker"); }),
            "locus 101 of haplotype 2 of the marker matrix carries allele 0, outside 1..127");
}

TEST(HaplotypeMatrixVerify, PaddingBitsOfThePackedLayoutClear) {
  // Rows ending inside a word (130, 999 loci), on a word boundary (128) and
  // inside the first word (5).
  for (int32_t nloci : {130, 999, 128, 5}) {
    qm::haplotype_matrix m;
    fill_random(m, nloci, 20, static_cast<uint64_t>(nloci));
    qm::pack_haplotypes(m);
    ASSERT_TRUE(m.packed());
    EXPECT_EQ(fault([&] { qm::verify(m, "marker", 2); }), "") << nloci;
    const size_t last = m.words() - 1;
    const int rest = nloci % 64;
    // The last locus itself is no padding.
    m.row(16)[last] |= uint64_t{1} << ((nloci - 1) % 64);
    EXPECT_EQ(fault([&] { qm::verify(m, "marker", 2); }), "") << nloci;
    if (rest == 0) continue;  // whole words: no bit past the last locus
    for (int bit : {rest, 63}) {
      m.row(16)[last] |= uint64_t{1} << bit;
      EXPECT_EQ(fault([&] { qm::verify(m, "marker", 2); }),
                "haplotype 17 of the marker matrix has bits set past its last locus, " + std::to_string(nloci))
          << nloci << " bit " << bit;
      m.row(16)[last] &= ~(uint64_t{1} << bit);
    }
  }
}

// The state of a small run after some generations of stage 1 (with higher
// mutation rates, so that loci carry many allele numbers), by the
// generation loop itself.
struct stage1_run {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  qmtest::run_setup s;
  explicit stage1_run(int generations, bool packed = true)
      : s(set_record(set_record(qmtest::small_par(), 12, "1.0 0.05 0.08"), 18, "10 20 40 16")) {
    s.params.packed_genome = packed;
    const qm::stage_block& b = s.params.stage1();
    int made = 0;
    qm::planned_stage(1, b, 0).for_each_generation([&](const qm::generation_step& g) {
      if (made++ < generations) qm::run_generation(s.st, b, g, qm::observer_list{});
    });
  }
  qm::population& pop() { return s.st.pop; }
};

qm::population_context context(int32_t previous, int8_t max_allele, int32_t traits = 0) {
  qm::population_context c;
  c.previous_nind = previous;
  c.max_allele = max_allele;
  c.traits = traits;
  return c;
}

TEST(PopulationVerify, StatesOfTheGenerationLoopPass) {
  // The base generation: every animal its own sire and dam.
  stage1_run base(0);
  EXPECT_EQ(fault([&] { qm::verify(base.pop(), context(0, 127)); }), "");
  EXPECT_EQ(base.pop().parents[6].sire, 7);

  // Five historical generations with mutation: bytes, allele numbers above 2
  // at many loci, the carried sets valid.
  stage1_run history(5);
  const qm::population& h = history.pop();
  ASSERT_FALSE(h.markers.packed());
  ASSERT_TRUE(h.marker_alleles.carried_valid);
  int above_two = 0;
  for (int32_t hap = 0; hap < h.haplotypes(); ++hap)
    for (int32_t l = 0; l < h.markers.loci(); ++l) above_two += h.markers.at(l, hap) > 2;
  ASSERT_GT(above_two, 20);
  EXPECT_EQ(fault([&] { qm::verify(h, context(40, 127)); }), "");
  // Their alleles are not those of a recoded population.
  EXPECT_NE(fault([&] { qm::verify(h, context(40, 2)); }).find("outside 1..2"), std::string::npos);

  // After the recoding, packed and in bytes.
  for (bool packed : {true, false}) {
    stage1_run recoded(8, packed);
    ASSERT_EQ(recoded.pop().markers.packed(), packed);
    EXPECT_EQ(fault([&] { qm::verify(recoded.pop(), context(40, 2)); }), "") << packed;
  }

  // The whole run: selected on values of one trait.
  qmtest::tempdir dir;
  qmtest::console_capture con;
  qmtest::run_setup whole(qmtest::small_par());
  for (int stage = 1; stage <= 3; ++stage) whole.run_stage(stage);
  ASSERT_EQ(whole.pop().tbv.size(), 40u);
  EXPECT_EQ(fault([&] { qm::verify(whole.pop(), context(40, 2, 1)); }), "");
  // Values of another number of traits, or not current: no fault for -1 only.
  EXPECT_EQ(fault([&] { qm::verify(whole.pop(), context(40, 2, -1)); }), "");
  EXPECT_EQ(fault([&] { qm::verify(whole.pop(), context(40, 2, 2)); }),
            "the population has 40 true breeding values for 40 animals and 2 traits");
  EXPECT_EQ(fault([&] { qm::verify(whole.pop(), context(40, 2, 0)); }),
            "the population has 40 true breeding values for 40 animals and 0 traits");
}

TEST(PopulationVerify, DamageToHaplotypesAndRegistriesIsCaught) {
  stage1_run history(5);
  const qm::population& valid = history.pop();
  const qm::population_context c = context(40, 127);
  auto caught = [&](const std::function<void(qm::population&)>& damage) {
    std::unique_ptr<qm::population> p = copy_of(valid);
    damage(*p);
    return fault([&] { qm::verify(*p, c); });
  };
  EXPECT_EQ(caught([](qm::population&) {}), "");

  // An allele 0.
  EXPECT_EQ(caught([](qm::population& p) { p.candidates.at(3, 9) = 0; }),
            "locus 4 of haplotype 10 of the candidate-locus matrix carries allele 0, outside 1..127");
  // An allele above the highest number in use at its locus.
  const int top = valid.marker_alleles.top[7];
  ASSERT_LT(top, 127);
  EXPECT_EQ(caught([&](qm::population& p) { p.markers.at(7, 2) = static_cast<int8_t>(top + 1); }),
            "locus 8 of haplotype 3 of the marker matrix carries allele " + std::to_string(top + 1) + ", above " +
                std::to_string(top) + ", the highest number in use there");
  // An allele missing from the carried set of its locus: the set loses the
  // allele of the first haplotype.
  const int a = valid.markers.at(0, 0);
  EXPECT_EQ(caught([&](qm::population& p) { p.marker_alleles.carried[a >> 6] &= ~(uint64_t{1} << (a & 63)); }),
            "locus 1 of haplotype 1 of the marker matrix carries allele " + std::to_string(a) +
                ", which is not in the carried allele set of the locus");
  // Not checked against the sets once they are no longer valid.
  EXPECT_EQ(caught([&](qm::population& p) {
              p.marker_alleles.carried[a >> 6] &= ~(uint64_t{1} << (a & 63));
              p.marker_alleles.carried_valid = false;
            }),
            "");

  // Matrices of the wrong size or layout.
  EXPECT_EQ(caught([](qm::population& p) { p.markers.resize(p.markers.loci(), 78); }),
            "the marker matrix has 78 haplotypes for 40 animals (2 each)");
  EXPECT_EQ(caught([](qm::population& p) { p.nind = 41; }), "the marker matrix has 80 haplotypes for 41 animals (2 each)");
  EXPECT_EQ(caught([](qm::population& p) { p.nind = 0; }), "the population has 0 animals");

  // Registries of the wrong size, or with numbers no locus can have.
  EXPECT_EQ(caught([](qm::population& p) { p.marker_alleles.next.pop_back(); }),
            "the marker allele registry gives next numbers for 43 and highest numbers for 44 of 44 loci");
  EXPECT_EQ(caught([](qm::population& p) { p.candidate_alleles.carried.resize(78); }),
            "the candidate-locus allele registry has carried allele sets of 78 words for 40 loci (2 per locus)");
  EXPECT_EQ(caught([](qm::population& p) { p.marker_alleles.top[3] = 1; }),
            "the marker allele registry gives locus 4 the highest number 1, outside 2..128");
  EXPECT_EQ(caught([](qm::population& p) { p.candidate_alleles.next[39] = 129; }),
            "the candidate-locus allele registry gives locus 40 the next number 129, outside 2..128");
  // Carried sets with numbers no locus carries: 0, or above the highest in use.
  EXPECT_EQ(caught([&](qm::population& p) { p.marker_alleles.carried[2 * 7 + ((top + 1) >> 6)] |= uint64_t{1} << ((top + 1) & 63); }),
            "the marker allele registry has allele " + std::to_string(top + 1) +
                " in the carried set of locus 8, above the highest number in use there, " + std::to_string(top));
  EXPECT_EQ(caught([](qm::population& p) { p.candidate_alleles.carried[0] |= 1u; }),
            "the candidate-locus allele registry has allele 0 in the carried set of locus 1");
}

TEST(PopulationVerify, DamageAfterTheRecodingIsCaught) {
  for (bool packed : {true, false}) {
    stage1_run recoded(8, packed);
    const qm::population& valid = recoded.pop();
    auto caught = [&](const std::function<void(qm::population&)>& damage) {
      std::unique_ptr<qm::population> p = copy_of(valid);
      damage(*p);
      return fault([&] { qm::verify(*p, context(40, 2)); });
    };
    EXPECT_EQ(caught([](qm::population&) {}), "");
    if (packed) {
      // 44 markers: bits 44..63 of a row are padding.
      EXPECT_EQ(caught([](qm::population& p) { p.markers.row(33)[0] |= uint64_t{1} << 44; }),
                "haplotype 34 of the marker matrix has bits set past its last locus, 44");
      EXPECT_EQ(caught([](qm::population& p) { p.candidates.row(79)[0] |= uint64_t{1} << 63; }),
                "haplotype 80 of the candidate-locus matrix has bits set past its last locus, 40");
      EXPECT_EQ(caught([](qm::population& p) { qm::unpack_haplotypes(p.candidates); }),
                "the marker matrix is packed and the candidate-locus matrix in bytes; the two change layout together");
    } else {
      // Alleles 0 and 3 after the recoding.
      EXPECT_EQ(caught([](qm::population& p) { p.markers.at(43, 79) = 3; }),
                "locus 44 of haplotype 80 of the marker matrix carries allele 3, outside 1..2");
      EXPECT_EQ(caught([](qm::population& p) { p.candidates.at(0, 0) = 0; }),
                "locus 1 of haplotype 1 of the candidate-locus matrix carries allele 0, outside 1..2");
      EXPECT_EQ(caught([](qm::population& p) { qm::pack_haplotypes(p.candidates); }),
                "the marker matrix is in bytes and the candidate-locus matrix packed; the two change layout together");
    }
  }
}

TEST(PopulationVerify, DamageToParentsAndSelectionIsCaught) {
  stage1_run history(3);
  const qm::population& valid = history.pop();
  auto caught = [&](const std::function<void(qm::population&)>& damage, qm::population_context c) {
    std::unique_ptr<qm::population> p = copy_of(valid);
    damage(*p);
    return fault([&] { qm::verify(*p, c); });
  };
  const qm::population_context c = context(40, 127);
  // Sires in the list are odd, dams even, as mating and selection make them.
  for (int32_t s : valid.sires) EXPECT_EQ(s % 2, 1);
  for (int32_t d : valid.dams) EXPECT_EQ(d % 2, 0);
  EXPECT_EQ(caught([](qm::population&) {}, c), "");

  // Parent pairs: their count, range and sex.
  EXPECT_EQ(caught([](qm::population& p) { p.parents.pop_back(); }, c),
            "the population has 39 parent pairs for 40 animals");
  EXPECT_EQ(caught([](qm::population& p) { p.parents[4].sire = 0; }, c),
            "animal 5 has sire 0, outside the generation before (1..40)");
  EXPECT_EQ(caught([](qm::population& p) { p.parents[4].dam = 42; }, c),
            "animal 5 has dam 42, outside the generation before (1..40)");
  EXPECT_EQ(caught([](qm::population& p) { p.parents[0].sire = 2; }, c), "animal 1 has sire 2, a female");
  EXPECT_EQ(caught([](qm::population& p) { p.parents[39].dam = 39; }, c), "animal 40 has dam 39, a male");
  // In the base generation every animal is its own sire and dam.
  EXPECT_NE(caught([](qm::population&) {}, context(0, 127)).find("of the base generation has sire"),
            std::string::npos);

  // The sire and dam lists.
  EXPECT_EQ(caught([](qm::population& p) { p.sires[0] = 41; }, c),
            "entry 1 of the sire list is animal 41, outside 1..40");
  EXPECT_EQ(caught([](qm::population& p) { p.dams[2] = 0; }, c), "entry 3 of the dam list is animal 0, outside 1..40");
  EXPECT_EQ(caught([](qm::population& p) { p.sires[3] = 8; }, c),
            "entry 4 of the sire list is animal 8, a female (even number)");
  EXPECT_EQ(caught([](qm::population& p) { p.dams[1] = 7; }, c),
            "entry 2 of the dam list is animal 7, a male (odd number)");
  EXPECT_EQ(caught([](qm::population& p) { p.dams[9] = p.dams[4]; }, c),
            "entry 10 of the dam list is animal " + std::to_string(valid.dams[4]) + ", listed before");
  // From the meiosis to the selection the lists are those of the generation
  // before: checked against its size.
  qm::population_context between = c;
  between.selection_of_previous = true;
  EXPECT_EQ(caught([](qm::population&) {}, between), "");
  between.previous_nind = 41;
  EXPECT_EQ(caught([](qm::population& p) { p.sires[0] = 41; }, between), "");
}

TEST(PopulationVerify, DamageToValuesIsCaught) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  std::string par = set_record(qmtest::small_par(), 2, "2 0 0.2 0");
  par = set_record(set_record(set_record(par, 4, "0.3"), 6, "0.1"), 8, "0.3 0.5");
  qmtest::run_setup whole(par);
  for (int stage = 1; stage <= 3; ++stage) whole.run_stage(stage);
  const qm::population& valid = whole.pop();
  ASSERT_EQ(valid.tbv.size(), 80u);
  auto caught = [&](const std::function<void(qm::population&)>& damage) {
    std::unique_ptr<qm::population> p = copy_of(valid);
    damage(*p);
    return fault([&] { qm::verify(*p, context(40, 2, 2)); });
  };
  EXPECT_EQ(caught([](qm::population&) {}), "");
  EXPECT_EQ(caught([](qm::population& p) { p.phenotype.pop_back(); }),
            "the population has 80 true breeding values and 79 phenotypes");
  EXPECT_EQ(caught([](qm::population& p) {
              p.phenotype.resize(40);
              p.tbv.resize(40);
            }),
            "the population has 40 true breeding values for 40 animals and 2 traits");
  // Animal 3, trait 2: index 40 + 2.
  EXPECT_EQ(caught([](qm::population& p) { p.tbv[42] = std::numeric_limits<double>::quiet_NaN(); }),
            "the true breeding value of animal 3 for trait 2 is nan");
  EXPECT_EQ(caught([](qm::population& p) { p.phenotype[39] = -std::numeric_limits<double>::infinity(); }),
            "the phenotype of animal 40 for trait 1 is -inf");

  // Trait 2 recorded on females: the males' records of it are missing
  // (NaN), and a value there (a record drawn as zero) is a fault; the
  // females' records stay finite.
  const std::vector<qm::recorded_sex> on = {qm::recorded_sex::both, qm::recorded_sex::females};
  auto caught_limited = [&](const std::function<void(qm::population&)>& damage) {
    std::unique_ptr<qm::population> p = copy_of(valid);
    for (int32_t i = 1; i <= 40; i += 2) p->phenotype_of(i, 2) = std::numeric_limits<double>::quiet_NaN();
    damage(*p);
    qm::population_context c = context(40, 2, 2);
    c.recorded_on = on;
    return fault([&] { qm::verify(*p, c); });
  };
  EXPECT_EQ(caught_limited([](qm::population&) {}), "");
  EXPECT_EQ(caught_limited([](qm::population& p) { p.phenotype_of(3, 2) = 0.0; }),
            "animal 3 has the phenotype 0.000000 for trait 2, which its sex does not record (it is missing: NaN)");
  EXPECT_EQ(caught_limited([](qm::population& p) { p.phenotype_of(4, 2) = std::numeric_limits<double>::quiet_NaN(); }),
            "the phenotype of animal 4 for trait 2 is nan");
  // Without the recording sexes, a missing record is a fault as before.
  EXPECT_EQ(caught([](qm::population& p) { p.phenotype_of(3, 2) = std::numeric_limits<double>::quiet_NaN(); }),
            "the phenotype of animal 3 for trait 2 is nan");
}

}  // namespace
