// The history file: the state after stage 1 comes back whole; the bytes
// follow the documented layout (header fields, sections, one bit per locus,
// SHA-256 over everything before it, checked here with the tests' own
// SHA-256) and are those of a file written by an earlier build; and damaged
// files (a flipped byte anywhere, a cut anywhere, another format or program
// version, a length that does not fit) are refused with the message for
// what is wrong, never a crash or a huge allocation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>

#include "run/history_file.hpp"
#include "run/history_state.hpp"
#include "support.hpp"

namespace {

struct saved_run {
  qmtest::tempdir td;
  qmtest::run_setup run{qmtest::small_par()};
  std::vector<qm::stage1_record> records;
  qm::history_extras extras{"    1   generation finished!\n", " console\n", {{"summary", std::string("\0\1", 2)}}};
  std::string bytes;
  saved_run() {
    run.run_stage(1);
    qm::stage1_record r;
    r.name = "stage-1 nind";
    r.record = 18;
    r.integer = 40;
    records.push_back(r);
    r.name = "chrlen";
    r.record = 12;
    r.type = qm::stage1_record::kind::single_real;
    r.real = 0.3f;
    records.push_back(r);
    const qm::history_source s{"param.par", 3, records, run.st.rng, run.st.mutation_on, run.st.map,
                               run.st.pop, run.st.history, extras};
    bytes = qm::encode_history(s);
  }
};

saved_run& saved() {
  static saved_run s;
  return s;
}

uint64_t le64(const std::string& b, size_t at) {
  uint64_t v = 0;
  for (int k = 0; k < 8; ++k) v |= uint64_t{static_cast<uint8_t>(b[at + k])} << (8 * k);
  return v;
}

// The checksum made again after a change, with the tests' own SHA-256.
void reseal(std::string& b) {
  const std::string hex = qmtest::sha256(b.substr(0, b.size() - 32));
  for (size_t k = 0; k < 32; ++k) b[b.size() - 32 + k] = static_cast<char>(std::stoi(hex.substr(2 * k, 2), nullptr, 16));
}

// Offset of the payload of the section with tag, walking the documented layout.
size_t section_at(const std::string& b, const char* tag, uint64_t* length = nullptr) {
  size_t at = 56;
  while (at + 16 <= b.size() - 32) {
    const uint64_t n = le64(b, at + 8);
    if (b.compare(at, 4, tag) == 0) {
      if (length) *length = n;
      return at + 16;
    }
    at += 16 + n;
    at = (at + 7) / 8 * 8;
  }
  ADD_FAILURE() << "no section " << tag;
  return 0;
}

std::string error_of(const std::string& bytes) {
  try {
    qm::decode_history(bytes, "h.qmh");
  } catch (const qm::history_error& e) {
    return e.what();
  }
  return "";
}

// Every part of the state read back against the run's own.
void expect_state_of(const qm::saved_history& h, const qm::run_state& st) {
  EXPECT_EQ(h.rng.state, st.rng.state);
  EXPECT_EQ(h.rng.start_seed, st.rng.start_seed);
  EXPECT_EQ(h.mutation_on, st.mutation_on);
  EXPECT_EQ(h.map.nchr, st.map.nchr);
  EXPECT_EQ(h.map.nmpc, st.map.nmpc);
  EXPECT_EQ(h.map.maptype, st.map.maptype);
  ASSERT_EQ(h.map.nmark(), st.map.nmark());
  ASSERT_EQ(h.map.nqloc(), st.map.nqloc());
  for (int32_t k = 0; k < h.map.nmark(); ++k) {
    EXPECT_EQ(h.map.markers[k].chromosome, st.map.markers[k].chromosome);
    EXPECT_EQ(h.map.markers[k].morgan, st.map.markers[k].morgan);
    EXPECT_EQ(h.map.markers[k].base_pair, st.map.markers[k].base_pair);
  }
  for (int32_t k = 0; k < h.map.nqloc(); ++k) {
    EXPECT_EQ(h.map.candidates[k].morgan, st.map.candidates[k].morgan);
    EXPECT_EQ(h.map.candidates[k].base_pair, st.map.candidates[k].base_pair);
  }
  EXPECT_EQ(h.map.recomb_left, st.map.recomb_left);
  EXPECT_EQ(h.map.recomb_right, st.map.recomb_right);
  EXPECT_EQ(h.map.gap_base_pairs, st.map.gap_base_pairs);
  EXPECT_EQ(h.pop.nind, st.pop.nind);
  EXPECT_EQ(h.pop.sires, st.pop.sires);
  EXPECT_EQ(h.pop.dams, st.pop.dams);
  EXPECT_EQ(h.pop.tbv, st.pop.tbv);
  EXPECT_EQ(h.pop.phenotype, st.pop.phenotype);
  // read back one bit per allele, every allele as saved
  for (auto [read, saved] : {std::pair{&h.pop.markers, &st.pop.markers}, std::pair{&h.pop.candidates, &st.pop.candidates}}) {
    ASSERT_TRUE(read->packed());
    ASSERT_EQ(read->loci(), saved->loci());
    ASSERT_EQ(read->haplotypes(), saved->haplotypes());
    for (int32_t x = 0; x < saved->haplotypes(); ++x)
      for (int32_t l = 0; l < saved->loci(); ++l) ASSERT_EQ(read->allele(l, x), saved->allele(l, x)) << x << " " << l;
  }
  for (auto [read, saved] : {std::pair{&h.pop.marker_alleles, &st.pop.marker_alleles},
                             std::pair{&h.pop.candidate_alleles, &st.pop.candidate_alleles}}) {
    EXPECT_EQ(read->next, saved->next);
    EXPECT_EQ(read->top, saved->top);
  }
  ASSERT_EQ(h.pop.parents.size(), st.pop.parents.size());
  for (size_t i = 0; i < h.pop.parents.size(); ++i) {
    EXPECT_EQ(h.pop.parents[i].sire, st.pop.parents[i].sire);
    EXPECT_EQ(h.pop.parents[i].dam, st.pop.parents[i].dam);
  }
  ASSERT_EQ(h.pedigree.size(), st.history.size());
  ASSERT_EQ(h.pedigree.generations(), st.history.generations());
  for (int64_t k = 1; k <= h.pedigree.size(); ++k) {
    const qm::pedigree_record &a = h.pedigree.at(k), &b = st.history.at(k);
    ASSERT_TRUE(a.sire == b.sire && a.dam == b.dam && a.generation == b.generation && a.number == b.number &&
                a.sex == b.sex)
        << "pedigree record " << k;
  }
}

TEST(HistoryFile, StateComesBackWhole) {
  const saved_run& s = saved();
  const qm::saved_history h = qm::decode_history(s.bytes, "h.qmh");
  const qm::run_state& st = s.run.st;
  EXPECT_EQ(h.program_version, QM_VERSION);
  EXPECT_EQ(h.parameter_file, "param.par");
  EXPECT_EQ(h.replicate, 3);
  ASSERT_EQ(h.records.size(), 2u);
  EXPECT_EQ(h.records[1].text(), "0.3");
  EXPECT_TRUE(h.records[1].same_value(s.records[1]));
  EXPECT_FALSE(h.mutation_on);  // switched off by the recoding generation
  // The base and the 31 generations of ngen 30: 20 with mutation, the recoding one, 10 without.
  EXPECT_EQ(h.pedigree.generations(), 32);
  expect_state_of(h, st);
  EXPECT_EQ(h.extras.log_text, s.extras.log_text);
  EXPECT_EQ(h.extras.console_text, s.extras.console_text);
  EXPECT_EQ(h.extras.observer_sections, s.extras.observer_sections);
}

// tests/data/history/random_map.qmh was written by the build before each
// type encoded its own section (quillmere --save-history random_map.qmh
// random_map.par; 2 chromosomes of 35 markers, so two words a haplotype,
// random gaps, mutation in stage 1). The same run made here gives the same
// bytes from its own state, and the file reads back as that state.
TEST(HistoryFile, TheBytesOfAFileWrittenBefore) {
  qmtest::tempdir td;
  qmtest::console_capture quiet;
  std::string good = qmtest::read_file(QM_TESTDATA "/history/random_map.qmh");
  ASSERT_EQ(good.size(), 23528u);
  ASSERT_EQ(std::string(good.c_str() + 24), "1.0.0");
  if (std::string(QM_VERSION) != "1.0.0") {  // a history is read by the version that made it only
    std::memset(&good[24], 0, 32);
    std::memcpy(&good[24], QM_VERSION, std::strlen(QM_VERSION));
    reseal(good);
  }
  qmtest::run_setup run(qmtest::read_file(QM_TESTDATA "/history/random_map.par"));
  run.run_stage(1);
  const qm::saved_history h = qm::decode_history(good, "random_map.qmh");
  EXPECT_EQ(h.parameter_file, "random_map.par");
  EXPECT_EQ(h.replicate, 0);
  const std::vector<qm::stage1_record> records = qm::stage1_records(run.params);
  ASSERT_EQ(h.records.size(), records.size());
  for (size_t k = 0; k < records.size(); ++k) {
    EXPECT_EQ(h.records[k].name, records[k].name);
    EXPECT_EQ(h.records[k].record, records[k].record);
    EXPECT_TRUE(h.records[k].same_value(records[k])) << records[k].name;
  }
  expect_state_of(h, run.st);
  // What the file covers: random gaps, mutants at some loci, a second word per haplotype.
  EXPECT_EQ(h.map.gap_base_pairs.size(), 70u);
  EXPECT_TRUE(std::any_of(h.pop.marker_alleles.next.begin(), h.pop.marker_alleles.next.end(),
                          [](int16_t n) { return n > 2; }));
  EXPECT_EQ(h.pop.markers.words(), 2u);
  EXPECT_NE(h.extras.log_text.find("Stage 1 finished!"), std::string::npos);
  EXPECT_EQ(h.extras.observer_sections.count("summary"), 1u);

  // Written from the run's own state (the texts of the log and the
  // observers taken from the file).
  const qm::history_source s{h.parameter_file, 0, records, run.st.rng, run.st.mutation_on, run.st.map,
                             run.st.pop, run.st.history, h.extras};
  const std::string bytes = qm::encode_history(s);
  size_t first = 0;
  while (first < bytes.size() && first < good.size() && bytes[first] == good[first]) ++first;
  EXPECT_TRUE(bytes == good) << "sizes " << bytes.size() << " and " << good.size() << ", first difference at byte "
                             << first;
}

TEST(HistoryFile, BytesFollowTheDocumentedLayout) {
  const std::string& b = saved().bytes;
  const qm::population& pop = saved().run.st.pop;
  EXPECT_EQ(b.substr(0, 8), std::string("\x89QMH\r\n\x1a\n", 8));
  EXPECT_EQ(le64(b, 8) & 0xFFFFFFFFu, 1u);  // format version
  EXPECT_EQ(le64(b, 8) >> 32, 9u);          // sections
  EXPECT_EQ(le64(b, 16), b.size());
  EXPECT_EQ(std::string(b.c_str() + 24), QM_VERSION);
  EXPECT_EQ(b.size() % 8, 0u);
  // The checksum is the SHA-256 of everything before it.
  std::string copy = b;
  reseal(copy);
  EXPECT_EQ(copy, b);
  // Marker haplotypes: locus 64w + i of haplotype h is bit i of word w, set for allele 2.
  const size_t at = section_at(b, "HAPM");
  EXPECT_EQ(at % 8, 0u);
  const int32_t nloci = pop.markers.loci();
  ASSERT_EQ(static_cast<int32_t>(le64(b, at) & 0xFFFFFFFFu), nloci);
  ASSERT_EQ(static_cast<int32_t>(le64(b, at) >> 32), pop.haplotypes());
  const uint64_t words = le64(b, at + 8);
  ASSERT_EQ(words, static_cast<uint64_t>((nloci + 63) / 64));
  int twos = 0;
  for (int32_t h = 0; h < pop.haplotypes(); ++h)
    for (int32_t l = 0; l < nloci; ++l) {
      const uint64_t w = le64(b, at + 16 + 8 * (static_cast<size_t>(h) * words + static_cast<size_t>(l / 64)));
      const bool two = (w >> (l % 64)) & 1;
      ASSERT_EQ(two, pop.markers.allele(l, h) == 2) << "haplotype " << h << " locus " << l;
      twos += two;
    }
  EXPECT_GT(twos, 0);  // the history has made the alleles segregate
}

TEST(HistoryFile, EveryFlippedByteIsFoundWithTheRightMessage) {
  const std::string& b = saved().bytes;
  std::mt19937 gen(2026);
  std::vector<size_t> offsets;
  for (size_t k = 0; k < 64; ++k) offsets.push_back(k);  // the whole header, then random bytes
  for (int k = 0; k < 400; ++k) offsets.push_back(gen() % b.size());
  for (size_t at : offsets) {
    std::string d = b;
    d[at] = static_cast<char>(d[at] ^ static_cast<char>(1 + gen() % 255));
    const std::string m = error_of(d);
    ASSERT_FALSE(m.empty()) << "flip at " << at << " was not noticed";
    const char* want = at < 8    ? "is not a Quillmere history file"
                       : at < 12 ? "history-file format"
                       : at >= 16 && at < 24 ? "bytes"
                                              : "SHA-256 checksum does not match";
    EXPECT_NE(m.find(want), std::string::npos) << "flip at " << at << ": " << m;
    EXPECT_NE(m.find("h.qmh"), std::string::npos) << m;
    if (at >= 8) {
      EXPECT_NE(m.find("--save-history"), std::string::npos) << m;
    }
  }
}

TEST(HistoryFile, EveryCutIsFound) {
  const std::string& b = saved().bytes;
  std::mt19937 gen(11);
  std::vector<size_t> cuts = {0, 1, 7, 8, 55, 56, 87, 88, b.size() - 32, b.size() - 1};
  for (int k = 0; k < 300; ++k) cuts.push_back(gen() % b.size());
  for (size_t n : cuts) {
    const std::string m = error_of(b.substr(0, n));
    EXPECT_NE(m.find("is cut short"), std::string::npos) << "cut at " << n << ": " << m;
  }
  EXPECT_NE(error_of(b + "x").find("1 bytes more than its header gives"), std::string::npos);
}

TEST(HistoryFile, OtherVersionsAreRefusedByName) {
  std::string other = saved().bytes;
  std::memset(&other[24], 0, 32);
  std::memcpy(&other[24], "0.9.7", 5);
  reseal(other);
  const std::string m = error_of(other);
  EXPECT_NE(m.find("was made by quillmere 0.9.7; this is quillmere " QM_VERSION), std::string::npos) << m;

  std::string format = saved().bytes;
  format[8] = 2;
  reseal(format);
  EXPECT_NE(error_of(format).find("format 2; this quillmere"), std::string::npos) << error_of(format);
}

TEST(HistoryFile, LengthsThatDoNotFitAreRefusedBeforeAllocating) {
  // Valid checksums over impossible contents: the sections are checked field by field.
  const std::string& b = saved().bytes;
  {
    std::string d = b;
    const size_t at = section_at(d, "POP ");
    for (int k = 0; k < 8; ++k) d[at + 4 + k] = k == 7 ? 0x7f : static_cast<char>(0xff);  // parent pairs: 2^63
    reseal(d);
    EXPECT_NE(error_of(d).find("is damaged"), std::string::npos) << error_of(d);
  }
  {
    std::string d = b;
    const size_t at = section_at(d, "HAPM");
    d[at + 4] = static_cast<char>(0x7f);  // haplotypes
    reseal(d);
    EXPECT_NE(error_of(d).find("is damaged"), std::string::npos) << error_of(d);
  }
  {
    std::string d = b;
    std::memcpy(&d[section_at(d, "MAP ") - 16], "PAM ", 4);
    reseal(d);
    EXPECT_NE(error_of(d).find("section 3 should be MAP"), std::string::npos) << error_of(d);
  }
  {
    std::string d = b;
    const size_t at = section_at(d, "PED ");
    d[at + 4] = 5;  // base generation of 5 animals: the parents of generation 1 lie outside it
    reseal(d);
    EXPECT_NE(error_of(d).find("is damaged"), std::string::npos) << error_of(d);
  }
}

TEST(HistoryFile, WhatATypeRefusesIsNamedWithTheFile) {
  // Valid checksums over values that a type's own decoder refuses.
  const std::string& b = saved().bytes;
  const std::string remake = ". Make it again with --save-history.";
  {
    std::string d = b;
    const size_t at = section_at(d, "RUN ");
    d.replace(at + 8 + 9 + 8, 4, std::string(4, '\0'));  // after "param.par" and the replicate
    reseal(d);
    EXPECT_EQ(error_of(d), "History file h.qmh is damaged: the random stream's state 0 is not one the stream can have" + remake);
  }
  {
    std::string d = b;
    d[section_at(d, "MAP ") + 4] = 12;  // nmpc
    reseal(d);
    EXPECT_EQ(error_of(d), "History file h.qmh is damaged: the genetic map's parts do not fit together" + remake);
  }
  {
    std::string d = b;
    d[section_at(d, "HAPQ")] = 41;  // loci
    reseal(d);
    EXPECT_EQ(error_of(d), "History file h.qmh is damaged: section HAPQ of h.qmh holds 80 haplotypes of 41 loci in 1 words "
                           "each; the map and the population call for 80 of 40" + remake);
  }
}

TEST(HistoryFile, AnAlleleOtherThanOneOrTwoIsNotSaved) {
  qmtest::tempdir td;
  qmtest::console_capture quiet;
  qmtest::run_setup run(qmtest::small_par());  // the base generation, one byte per allele
  ASSERT_FALSE(run.st.pop.candidates.packed());
  run.st.pop.candidates.at(6, 2) = 3;
  const saved_run& s = saved();
  const qm::history_source src{"param.par", 0, s.records, run.st.rng, false, run.st.map,
                               run.st.pop, run.st.history, s.extras};
  try {
    qm::encode_history(src);
    ADD_FAILURE() << "allele 3 was saved";
  } catch (const qm::history_error& e) {
    EXPECT_STREQ(e.what(), "The history cannot be saved: candidate locus 7 of haplotype 3 has allele 3, but at the "
                           "end of stage 1 every locus has the alleles 1 and 2 only.");
  }
}

TEST(HistoryFile, ThroughTheDiskAndItsSizeEstimate) {
  const saved_run& s = saved();
  const qm::history_source src{"param.par", 0, s.records, s.run.st.rng, false, s.run.st.map,
                               s.run.st.pop, s.run.st.history, s.extras};
  qm::write_history_file("h.qmh", src);
  EXPECT_FALSE(qmtest::file_exists("h.qmh.tmp"));
  const qm::saved_history h = qm::read_history_file("h.qmh");
  EXPECT_EQ(h.pop.sires, s.run.st.pop.sires);
  EXPECT_EQ(h.file, "h.qmh");
  const std::string bytes = qmtest::read_file("h.qmh");
  EXPECT_GE(qm::history_file_bytes(40, 44, 40, 31), static_cast<int64_t>(bytes.size()));
  qmtest::write_file("d", "");
  EXPECT_THROW(qm::read_history_file("."), qm::history_error);
  EXPECT_THROW(qm::read_history_file("no such file"), qm::history_error);
}

// From disk the file is read a section at a time: a history with 3 MB of
// log text comes back whole, and a byte changed anywhere, before, in or
// after the long section, is still found by the checksum, also where the
// change makes a section unreadable (the checksum's verdict comes first).
TEST(HistoryFile, ReadFromDiskSectionBySection) {
  const saved_run& s = saved();
  std::string log(3 << 20, 'x');
  for (size_t k = 0; k < log.size(); k += 97) log[k] = '\n';
  const qm::history_extras extras{log, " console\n", {{"summary", "rows"}}};
  const qm::history_source src{"param.par", 0, s.records, s.run.st.rng, false, s.run.st.map,
                               s.run.st.pop, s.run.st.history, extras};
  qm::write_history_file("long.qmh", src);
  const std::string bytes = qmtest::read_file("long.qmh");
  const qm::saved_history h = qm::read_history_file("long.qmh");
  EXPECT_EQ(h.extras.log_text, log);
  EXPECT_EQ(h.extras.observer_sections, extras.observer_sections);
  expect_state_of(h, s.run.st);

  const size_t log_at = section_at(bytes, "LOG ");
  // In RECS (its count: the records no longer fit), in the frame of MAP
  // (its tag), in the log text, in OBS, in the trailer.
  for (size_t at : {size_t{56 + 16}, section_at(bytes, "MAP ") - 16, log_at + 1000000, section_at(bytes, "OBS ") + 2,
                    bytes.size() - 1}) {
    std::string d = bytes;
    d[at] = static_cast<char>(d[at] ^ 0x41);
    qmtest::write_file("bad.qmh", d);
    try {
      qm::read_history_file("bad.qmh");
      ADD_FAILURE() << "a change at byte " << at << " was not found";
    } catch (const qm::history_error& e) {
      EXPECT_EQ(std::string(e.what()),
                "History file bad.qmh is damaged: its SHA-256 checksum does not match its contents (a changed or "
                "lost byte). Make it again with --save-history.")
          << "byte " << at;
    }
  }
  // The same change sealed again is a fault of the section, named.
  std::string d = bytes;
  d[section_at(bytes, "MAP ") - 16] = 'N';
  reseal(d);
  qmtest::write_file("bad.qmh", d);
  try {
    qm::read_history_file("bad.qmh");
    ADD_FAILURE() << "a changed tag was read";
  } catch (const qm::history_error& e) {
    EXPECT_NE(std::string(e.what()).find("History file bad.qmh is damaged: section 3 should be MAP  at byte"),
              std::string::npos)
        << e.what();
  }
}

}  // namespace
