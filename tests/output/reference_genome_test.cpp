// Nucleotide alleles and genome.fa: the bases against their stated
// distribution, and the compressed reference read back by gzip and by
// htslib's own FASTA reader, and compared with a plain FASTA built here base
// by base.
#include "output/reference_genome.hpp"

#include <gtest/gtest.h>
#include <htslib/bgzf.h>
#include <htslib/faidx.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/atomic_file.hpp"
#include "output/genotype_sample.hpp"
#include "support.hpp"

namespace {

TEST(ReferenceGenome, BasesFollowTheirDistributionAndDependOnSeedAndPositionOnly) {
  const std::string acgt = "ACGT";
  std::map<char, int> refs;
  int transitions = 0, n = 0, differ = 0;
  for (int32_t c = 1; c <= 3; ++c)
    for (int64_t pos = 1; pos <= 20000; ++pos) {
      const qm::nucleotide_pair b = qm::bases_at(4711, c, pos);
      ASSERT_NE(acgt.find(b.ref), std::string::npos);
      ASSERT_NE(acgt.find(b.alt), std::string::npos);
      ASSERT_NE(b.ref, b.alt);
      const qm::nucleotide_pair again = qm::bases_at(4711, c, pos);
      ASSERT_EQ(again.ref, b.ref);
      ASSERT_EQ(again.alt, b.alt);
      ++refs[b.ref];
      transitions += qm::is_transition(b.ref, b.alt);
      differ += qm::bases_at(4712, c, pos).ref != b.ref;
      ++n;
    }
  // Each base a quarter of the references; transitions two thirds; another
  // seed changes three quarters of the references (five standard errors).
  for (char x : acgt) EXPECT_NEAR(refs[x], n / 4.0, 5 * std::sqrt(n * 0.25 * 0.75)) << x;
  EXPECT_NEAR(transitions, n * 2.0 / 3.0, 5 * std::sqrt(n * 2.0 / 9.0));
  EXPECT_NEAR(differ, n * 0.75, 5 * std::sqrt(n * 0.25 * 0.75));
  // Chromosomes do not repeat each other.
  int same = 0;
  for (int64_t pos = 1; pos <= 4000; ++pos) same += qm::bases_at(4711, 1, pos).ref == qm::bases_at(4711, 2, pos).ref;
  EXPECT_NEAR(same, 1000, 5 * std::sqrt(4000 * 0.25 * 0.75));
  EXPECT_TRUE(qm::is_transition('A', 'G') && qm::is_transition('T', 'C'));
  EXPECT_FALSE(qm::is_transition('A', 'C') || qm::is_transition('G', 'T') || qm::is_transition('A', 'A'));
}

// A map of two chromosomes: the first long enough for several batches of
// lines and ending inside a line, the second short, with a candidate locus
// on a marker's position and markers closer than one base pair.
qm::genome_map small_map() {
  qm::genome_map m;
  m.nchr = 2;
  m.nmpc = 5;
  const int64_t bp1[] = {0, 61, 999999, 1000000, 2345677};
  const int64_t bp2[] = {0, 0, 59, 60, 119};
  for (int64_t b : bp1) m.markers.push_back({1, b * 1e-8, b});
  for (int64_t b : bp2) m.markers.push_back({2, b * 1e-8, b});
  for (int64_t b : {30, 999999, 2000000, 2345000}) m.candidates.push_back({1, b * 1e-8, b});
  for (int64_t b : {0, 30, 59, 100}) m.candidates.push_back({2, b * 1e-8, b});
  return m;
}

// The same FASTA text, built base by base.
std::string plain_fasta(const qm::genome_map& m, int64_t seed) {
  std::string out;
  for (int32_t c = 1; c <= m.nchr; ++c) {
    std::string seq(static_cast<size_t>(m.chromosome_base_pairs(c) + 1), 'N');
    for (const auto* loci : {&m.markers, &m.candidates})
      for (const qm::locus_position& l : *loci)
        if (l.chromosome == c) seq[static_cast<size_t>(l.base_pair)] = qm::bases_at(seed, c, l.base_pair + 1).ref;
    out += ">" + std::to_string(c) + "\n";
    for (size_t i = 0; i < seq.size(); i += 60) out += seq.substr(i, 60) + "\n";
  }
  return out;
}

std::string decompressed(const std::string& file) {
  BGZF* f = bgzf_open(file.c_str(), "r");
  EXPECT_NE(f, nullptr);
  if (!f) return "";
  EXPECT_EQ(bgzf_compression(f), 2);  // BGZF
  std::string out;
  char buf[1 << 16];
  ssize_t k;
  while ((k = bgzf_read(f, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(k));
  bgzf_close(f);
  return out;
}

TEST(ReferenceGenome, TheFastaHoldsTheReferenceBaseAtEveryLocusAndItsIndexesAreHtslibs) {
  qmtest::tempdir dir;
  const qm::genome_map m = small_map();
  qm::write_reference_genome("genome.fa", m, 99);
  const std::string want = plain_fasta(m, 99);
  EXPECT_EQ(decompressed("genome.fa"), want);
  // htslib's own index of the plain text is the one written.
  qmtest::write_file("plain.fa", want);
  ASSERT_EQ(fai_build("plain.fa"), 0);
  EXPECT_EQ(qmtest::read_file("genome.fa.fai"), qmtest::read_file("plain.fa.fai"));
  EXPECT_EQ(qmtest::read_file("genome.fa.fai").substr(0, 15), "1\t2345678\t3\t60\t");
  // Random access through both indexes: every locus.
  faidx_t* fai = fai_load("genome.fa");
  ASSERT_NE(fai, nullptr);
  EXPECT_EQ(faidx_nseq(fai), 2);
  EXPECT_EQ(faidx_seq_len(fai, "1"), 2345678);
  EXPECT_EQ(faidx_seq_len(fai, "2"), 120);
  for (const auto* loci : {&m.markers, &m.candidates})
    for (const qm::locus_position& l : *loci) {
      hts_pos_t len = 0;
      const std::string chr = std::to_string(l.chromosome);
      const hts_pos_t from = l.base_pair > 0 ? l.base_pair - 1 : 0;
      char* s = faidx_fetch_seq64(fai, chr.c_str(), from, l.base_pair, &len);
      ASSERT_NE(s, nullptr);
      EXPECT_EQ(s[len - 1], qm::bases_at(99, l.chromosome, l.base_pair + 1).ref) << chr << ":" << l.base_pair + 1;
      std::free(s);
    }
  fai_destroy(fai);
  // gzip reads it too (and checks every block's CRC-32).
  const auto gz = qmtest::run_command("gzip -t genome.fa 2>&1 && gzip -dc < genome.fa");
  EXPECT_EQ(gz.status, 0) << gz.out.substr(0, 200);
  EXPECT_EQ(gz.out, want);
  // The blocks, and the .gzi: one entry per block with its end in the file
  // and in the text; the file ends with the empty end-of-file block.
  const std::string file = qmtest::read_file("genome.fa"), gzi = qmtest::read_file("genome.fa.gzi");
  auto le = [](const std::string& b, size_t at, int bytes) {
    uint64_t v = 0;
    for (int k = bytes - 1; k >= 0; --k) v = v << 8 | static_cast<uint8_t>(b[at + static_cast<size_t>(k)]);
    return v;
  };
  std::vector<std::pair<uint64_t, uint64_t>> ends;
  uint64_t at = 0, text = 0;
  while (at + 28 <= file.size()) {
    ASSERT_EQ(file.substr(at, 4), std::string("\x1f\x8b\x08\x04", 4)) << at;
    ASSERT_EQ(file.substr(at + 12, 2), "BC");
    const uint64_t size = le(file, at + 16, 2) + 1, isize = le(file, at + size - 4, 4);
    at += size;
    text += isize;
    if (isize > 0) ends.emplace_back(at, text);
    EXPECT_LE(isize, 0xff00u);
  }
  EXPECT_EQ(at, file.size());
  EXPECT_EQ(text, want.size());
  EXPECT_GE(ends.size(), 36u);  // 2.4 MB of text
  ASSERT_EQ(gzi.size(), 8 + 16 * ends.size());
  EXPECT_EQ(le(gzi, 0, 8), ends.size());
  for (size_t k = 0; k < ends.size(); ++k) {
    EXPECT_EQ(le(gzi, 8 + 16 * k, 8), ends[k].first) << k;
    EXPECT_EQ(le(gzi, 16 + 16 * k, 8), ends[k].second) << k;
  }
  EXPECT_EQ(file.substr(file.size() - 28, 18), std::string("\x1f\x8b\x08\x04\0\0\0\0\0\xff\x06\0BC\x02\0\x1b\0", 18));
  // Nearly all N: over 100 times smaller than the text (a 258-byte copy
  // takes 17 bits).
  EXPECT_LT(file.size() * 100, want.size());
  // Only the three files, and the bytes depend on the seed.
  EXPECT_FALSE(qmtest::file_exists("genome.fa.tmp") || qmtest::file_exists("genome.fa.gzi.tmp"));
  EXPECT_TRUE(qmtest::file_exists("genome.fa.gzi"));
  const std::string first = qmtest::read_file("genome.fa");
  qm::write_reference_genome("genome.fa", m, 99);
  EXPECT_EQ(qmtest::read_file("genome.fa"), first);
  qm::write_reference_genome("genome.fa", m, 100);
  EXPECT_EQ(decompressed("genome.fa"), plain_fasta(m, 100));
  EXPECT_NE(plain_fasta(m, 100), want);
  // A folder that is not there: the error names the file.
  try {
    qm::write_reference_genome("nowhere/genome.fa", m, 99);
    ADD_FAILURE() << "no error for a missing folder";
  } catch (const qm::file_error& e) {
    EXPECT_NE(std::string(e.what()).find("nowhere/genome.fa cannot be created"), std::string::npos) << e.what();
  }
}

}  // namespace
