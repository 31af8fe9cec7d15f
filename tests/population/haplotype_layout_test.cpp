// The one-bit layout of the haplotypes against the one-byte layout: segment
// copies at every bit offset, packing and unpacking, a matrix in a history
// file from either layout, allele counts and the recoding, and whole
// generations of meiosis made in either layout from the same parents
// (chromosome ends inside a word, on a word boundary, and across several
// words).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/cpu_features.hpp"
#include "base/invariant_error.hpp"
#include "base/messages.hpp"
#include "population/mating.hpp"
#include "population/meiosis.hpp"
#include "population/population_codec.hpp"
#include "population/recode.hpp"
#include "support.hpp"
#include "values/selection.hpp"

namespace {

using qmtest::set_record;

struct lcg {
  uint64_t s;
  uint64_t next() { return s = s * 6364136223846793005ull + 1442695040888963407ull; }
  int allele() { return 1 + static_cast<int>((next() >> 41) & 1u); }
};

void fill_random(qm::haplotype_matrix& m, uint64_t seed) {
  lcg r{seed};
  for (int32_t h = 0; h < m.haplotypes(); ++h)
    for (int32_t l = 0; l < m.loci(); ++l) m.at(l, h) = static_cast<int8_t>(r.allele());
}

// Every allele of a in either layout equals that of b.
::testing::AssertionResult same_alleles(const qm::haplotype_matrix& a, const qm::haplotype_matrix& b) {
  if (a.loci() != b.loci() || a.haplotypes() != b.haplotypes())
    return ::testing::AssertionFailure() << "shapes differ";
  for (int32_t h = 0; h < a.haplotypes(); ++h)
    for (int32_t l = 0; l < a.loci(); ++l)
      if (a.allele(l, h) != b.allele(l, h))
        return ::testing::AssertionFailure() << "locus " << l << " of haplotype " << h << ": " << int(a.allele(l, h))
                                             << " against " << int(b.allele(l, h));
  return ::testing::AssertionSuccess();
}

TEST(HaplotypeLayout, SegmentCopiesAtEveryBitOffset) {
  constexpr int words = 4, bits = 64 * words;
  lcg r{12345};
  std::vector<uint64_t> src(words), dst(words), before(words);
  for (int l0 = 0; l0 <= bits; ++l0)
    for (int l1 = l0; l1 <= bits; ++l1) {
      for (int w = 0; w < words; ++w) src[w] = r.next(), before[w] = dst[w] = r.next();
      qm::copy_bits(dst.data(), src.data(), l0, l1);
      // bit by bit: inside the segment from src, outside unchanged
      for (int l = 0; l < bits; ++l) {
        const uint64_t want = ((l >= l0 && l < l1 ? src : before)[l / 64] >> (l % 64)) & 1u;
        ASSERT_EQ((dst[l / 64] >> (l % 64)) & 1u, want) << "segment " << l0 << ".." << l1 << ", bit " << l;
      }
    }
}

TEST(HaplotypeLayout, PackAndUnpackKeepEveryAllele) {
  for (int nloci : {1, 63, 64, 65, 200, 1000}) {
    qm::haplotype_matrix bytes, packed;
    bytes.resize(nloci, 6);
    fill_random(bytes, static_cast<uint64_t>(nloci));
    packed.resize(nloci, 6);
    std::copy(bytes.data(), bytes.data() + bytes.size(), packed.data());
    qm::pack_haplotypes(packed, 2);
    ASSERT_TRUE(packed.packed());
    EXPECT_EQ(packed.words(), static_cast<size_t>((nloci + 63) / 64));
    EXPECT_EQ(packed.bytes(), packed.words() * 8 * 6);
    EXPECT_TRUE(same_alleles(packed, bytes)) << nloci << " loci";
    for (int32_t h = 0; h < 6; ++h) {
      // the bits past the last locus are 0
      if (nloci % 64) {
        EXPECT_EQ(packed.row(h)[packed.words() - 1] >> (nloci % 64), 0u);
      }
      // any range unpacks to the alleles of the bytes
      for (int l0 = 0; l0 < nloci; l0 += 7) {
        const int l1 = std::min(nloci, l0 + 1 + (l0 * 13) % 90);
        std::vector<int8_t> out(static_cast<size_t>(l1 - l0));
        qm::haplotype_matrix::unpack_bits(packed.row(h), l0, l1, out.data());
        EXPECT_EQ(out, std::vector<int8_t>(bytes.column(h) + l0, bytes.column(h) + l1)) << l0 << ".." << l1;
      }
    }
    qm::unpack_haplotypes(packed, 3);
    ASSERT_FALSE(packed.packed());
    EXPECT_EQ(std::vector<int8_t>(packed.data(), packed.data() + packed.size()),
              std::vector<int8_t>(bytes.data(), bytes.data() + bytes.size()));
  }
}

TEST(HaplotypeLayout, PackingStopsAtAnAlleleOtherThanOneOrTwo) {
  qmtest::console_capture con;
  qm::haplotype_matrix m;
  m.resize(100, 4);
  m.fill(1);
  m.at(70, 3) = 3;
  try {
    qm::pack_haplotypes(m);
    FAIL() << "allele 3 was packed";
  } catch (const qm::run_stop& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("Locus 71 of haplotype 4 carries allele 3"), std::string::npos) << what;
  }
  EXPECT_FALSE(m.packed());  // left as it was
}

std::string encoded(const qm::haplotype_matrix& m, const char* kind = "marker") {
  std::string out;
  qm::byte_writer w(out);
  qm::encode_haplotype_matrix(w, m, kind);
  return out;
}

TEST(HaplotypeMatrixCodec, EitherLayoutGivesTheDocumentedBitsAndBack) {
  for (int nloci : {1, 64, 70, 130}) {
    qm::haplotype_matrix bytes, packed;
    bytes.resize(nloci, 6);
    fill_random(bytes, 99 + static_cast<uint64_t>(nloci));
    packed.resize(nloci, 6);
    std::copy(bytes.data(), bytes.data() + bytes.size(), packed.data());
    qm::pack_haplotypes(packed);
    // Locus l of a haplotype: bit l % 64 of its word l / 64, set for allele 2.
    const size_t words = static_cast<size_t>((nloci + 63) / 64);
    std::string want = qmtest::le(static_cast<uint64_t>(nloci), 4) + qmtest::le(6, 4) + qmtest::le(words, 8);
    for (int32_t h = 0; h < 6; ++h) {
      std::vector<uint64_t> row(words, 0);
      for (int32_t l = 0; l < nloci; ++l)
        if (bytes.at(l, h) == 2) row[static_cast<size_t>(l / 64)] |= uint64_t{1} << (l % 64);
      for (uint64_t x : row) want += qmtest::le(x, 8);
    }
    ASSERT_EQ(encoded(bytes), want) << nloci << " loci";
    ASSERT_EQ(encoded(packed), want) << nloci << " loci";

    // The rows come back word for word and pass verify.
    {
      qm::byte_reader r(want, "section HAPM of h.qmh");
      const qm::haplotype_matrix back = qm::decode_haplotype_matrix(r, nloci, 6);
      EXPECT_EQ(r.left(), 0u);
      ASSERT_TRUE(back.packed());
      EXPECT_TRUE(same_alleles(back, bytes)) << nloci << " loci";
      for (int32_t h = 0; h < 6; ++h)
        for (size_t w = 0; w < words; ++w) EXPECT_EQ(back.row(h)[w], packed.row(h)[w]) << nloci << " loci";
      EXPECT_NO_THROW(qm::verify(back, "marker", 2));
    }
    // A bit set past the last locus is kept as read, and verify names it
    // (a file the program writes has none).
    if (nloci % 64) {
      std::string junk = want;
      junk[16 + 8 * (words * 4 + words) - 1] |= char(0x80);  // haplotype 5
      qm::byte_reader r(junk, "section HAPM of h.qmh");
      const qm::haplotype_matrix back = qm::decode_haplotype_matrix(r, nloci, 6);
      EXPECT_TRUE(same_alleles(back, bytes)) << nloci << " loci";
      try {
        qm::verify(back, "marker", 2);
        ADD_FAILURE() << "a padding bit passed, " << nloci << " loci";
      } catch (const qm::invariant_error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "haplotype 5 of the marker matrix has bits set past its last locus, " + std::to_string(nloci));
      }
    }
  }
}

TEST(HaplotypeMatrixCodec, WrongAllelesAndDamagedBytesAreRefused) {
  qm::haplotype_matrix m;
  m.resize(100, 4);
  m.fill(1);
  m.at(70, 3) = 3;
  try {
    encoded(m, "candidate locus");
    FAIL() << "allele 3 was encoded";
  } catch (const qm::encode_error& e) {
    EXPECT_STREQ(e.what(), "candidate locus 71 of haplotype 4 has allele 3");
  }

  m.at(70, 3) = 2;
  const std::string bytes = encoded(m);
  auto decode = [](qm::byte_reader& r) { qm::decode_haplotype_matrix(r, 100, 4); };
  EXPECT_EQ(qmtest::first_cut_accepted(bytes, decode), -1);
  // Other sizes than the map and the population give.
  EXPECT_EQ(qmtest::decode_failure(bytes, [](qm::byte_reader& r) { qm::decode_haplotype_matrix(r, 100, 6); }),
            "the data holds 4 haplotypes of 100 loci in 2 words each; the map and the population call for 6 of 100");
  std::string words = bytes;
  words[8] = 3;
  EXPECT_EQ(qmtest::decode_failure(words, decode),
            "the data holds 4 haplotypes of 100 loci in 3 words each; the map and the population call for 4 of 100");
  // A population of 10^8 animals that the bytes cannot hold: refused before
  // its 1.6 GB of rows are allocated.
  std::string many = bytes;
  many.replace(4, 4, qmtest::le(200000000, 4));
  EXPECT_EQ(qmtest::decode_failure(many, [](qm::byte_reader& r) { qm::decode_haplotype_matrix(r, 100, 200000000); }),
            "the data ends before its last haplotype");
}

TEST(HaplotypeLayout, CountsAndRecodingAsInBytes) {
  // Loci at which allele 1 or 2 is nearer one half, fixed loci, and a block
  // boundary of the counts (512 loci) inside the matrix.
  const int nloci = 700, nhap = 10;
  qm::haplotype_matrix bytes, packed;
  bytes.resize(nloci, nhap);
  fill_random(bytes, 99);
  for (int h = 0; h < nhap; ++h) bytes.at(5, h) = 2, bytes.at(600, h) = 1;  // fixed
  for (int h = 0; h < 3; ++h) bytes.at(7, h) = 2;
  for (int h = 3; h < nhap; ++h) bytes.at(7, h) = 1;  // allele 2 rare
  packed.resize(nloci, nhap);
  std::copy(bytes.data(), bytes.data() + bytes.size(), packed.data());
  qm::pack_haplotypes(packed);
  std::vector<uint32_t> cb, cp;
  for (auto [l0, l1] : {std::pair{0, nloci - 1}, std::pair{63, 64}, std::pair{100, 130}, std::pair{699, 699}}) {
    qm::count_alleles(bytes, l0, l1, cb);
    qm::count_alleles(packed, l0, l1, cp);
    EXPECT_EQ(cb, cp) << l0 << ".." << l1;
  }
  // The choice of the QTL's recoding: the allele nearest one half becomes 1.
  // As the QTL choice does: a fixed locus keeps its code.
  const auto pick = [&](const qm::haplotype_matrix& m) {
    return [&](int l, const uint32_t* c) {
      return c[m.allele(l, 0)] == static_cast<uint32_t>(nhap) ? 0 : qm::nearest_half(c, 1, 2, nhap);
    };
  };
  const std::vector<int8_t> code_b = qm::recode_loci(bytes, 1, pick(bytes));
  const std::vector<int8_t> code_p = qm::recode_loci(packed, 2, pick(packed));
  EXPECT_EQ(code_b, code_p);
  EXPECT_TRUE(same_alleles(packed, bytes));
  // With two alleles both are equally near one half, and the higher number
  // wins the tie: a segregating locus swaps its alleles; a fixed one stays.
  EXPECT_EQ(code_p[7], 2);
  EXPECT_EQ(packed.allele(7, 0), 1);
  EXPECT_EQ(packed.allele(7, 5), 2);
  EXPECT_EQ(code_p[5], 0);
  EXPECT_EQ(packed.allele(5, 0), 2);
}

// Two copies of a run with the same map and parents, one kept one byte per
// allele and one bit per allele, bred for several generations without
// mutation.
struct twin_runs {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  std::unique_ptr<qmtest::run_setup> bytes, bits;
  twin_runs(const std::string& map, int threads, bool vector) {
    qm::use_vector_kernels(vector);
    std::string par = set_record(qmtest::small_par(), 10, map);
    par = set_record(par, 12, "1.0 0.0 0.0");
    par = set_record(par, 18, "10 20 60 30");
    bytes = std::make_unique<qmtest::run_setup>(par, threads);
    bits = std::make_unique<qmtest::run_setup>(par, threads);
    for (qmtest::run_setup* s : {bytes.get(), bits.get()}) {
      fill_random(s->st.pop.markers, 7);
      fill_random(s->st.pop.candidates, 8);
    }
    qm::pack_haplotypes(bits->st.pop.markers, threads);
    qm::pack_haplotypes(bits->st.pop.candidates, threads);
    for (int g = 0; g < 4; ++g)
      for (qmtest::run_setup* s : {bytes.get(), bits.get()}) {
        qm::run_state& st = s->st;
        const qm::stage_block& b = s->params.stage1();
        std::vector<qm::parent_pair> o = qm::mate_parents(st.pop, b.matetype, b.nind, st.rng);
        qm::make_offspring(st.pop, std::move(o), {st.map, 0.0, 0.0}, st.buffers, st.rng, threads);
        qm::select_parents(st.pop, b.criterion(), b.nsire, b.ndam, st.rng);
      }
    qm::use_vector_kernels(true);
  }
};

TEST(HaplotypeLayout, MeiosisInBitsMakesTheSameGametesAsInBytes) {
  // nmpc 65: 65 markers and 64 candidate loci per chromosome, so the
  // chromosome ends fall at every offset within the words; nmpc 64 and 33
  // put some ends on word boundaries; "21 3 1" is a map of uneven fractions.
  for (const char* map : {"65 3 0", "64 4 0", "33 5 0", "21 3 1", "300 2 0"})
    for (int threads : {1, 3})
      for (bool vector : {true, false}) {
        twin_runs r(map, threads, vector);
        const qm::population& a = r.bytes->st.pop;
        const qm::population& b = r.bits->st.pop;
        ASSERT_TRUE(b.markers.packed());
        ASSERT_FALSE(a.markers.packed());
        EXPECT_TRUE(same_alleles(b.markers, a.markers)) << map << ", " << threads << " threads";
        EXPECT_TRUE(same_alleles(b.candidates, a.candidates)) << map << ", " << threads << " threads";
        EXPECT_EQ(r.bits->st.rng.state, r.bytes->st.rng.state);
        // recombination happened: offspring are not copies of one parental strand
        int differ = 0;
        for (int32_t l = 0; l < a.markers.loci(); ++l) differ += a.markers.allele(l, 0) != a.markers.allele(l, 2);
        EXPECT_GT(differ, 0);
        for (int32_t h = 0; h < b.markers.haplotypes(); ++h)
          if (b.markers.loci() % 64) {
            EXPECT_EQ(b.markers.row(h)[b.markers.words() - 1] >> (b.markers.loci() % 64), 0u);
          }
      }
}

}  // namespace
