// The population of the current generation: its haplotypes, its pedigree
// within the run (parents as numbers in the generation before), the parents
// selected from it, its values, and the allele bookkeeping of the
// historical generations.
//
// Animals are numbered 1..nind within their generation; odd numbers are
// males, even numbers females. Animal i owns haplotype columns 2i - 2 (from
// its sire) and 2i - 1 (from its dam), counted from 0.
#pragma once
#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "base/page_pool.hpp"
#include "config/parameters.hpp"
#include "population/haplotype_bits.hpp"

namespace qm {

// Alleles of one kind of locus for every haplotype, in one of two layouts.
//
// Bytes: nloci bytes per haplotype, haplotype after haplotype; any allele
// number 1..127 (the layout of the historical generations with mutation).
//
// Packed: one bit per allele, for loci with the two alleles 1 and 2 (the
// layout from the recoding on): bit l % 64 of word l / 64 of a haplotype's
// row is set when its allele at locus l is 2. Every row is whole words, and
// the bits past the last locus are 0.
//
// resize keeps the storage when it is large enough and leaves the contents
// undefined, for matrices that are overwritten whole every generation. New
// storage is made present on up to `threads` threads of the pool (from the
// run's own thread only).
class haplotype_matrix {
 public:
  void resize(int32_t nloci, int32_t nhaplotypes, int threads = 1) {
    const size_t n = static_cast<size_t>(nloci) * static_cast<size_t>(nhaplotypes);
    bits_.reset();
    if (n > data_.size() || n == 0) data_.reset(n, n, threads);
    packed_ = false;
    nloci_ = nloci;
    nhap_ = nhaplotypes;
  }
  // The packed layout; the bytes are given up.
  void resize_packed(int32_t nloci, int32_t nhaplotypes, int threads = 1) {
    const size_t w = words_for(nloci);
    const size_t n = w * static_cast<size_t>(nhaplotypes);
    data_.reset();
    if (n > bits_.size() || n == 0) bits_.reset(n, n, threads);
    packed_ = true;
    nloci_ = nloci;
    nhap_ = nhaplotypes;
  }
  void fill(int8_t v) { std::fill(data_.get(), data_.get() + size(), v); }
  void release() {
    data_.reset();
    bits_.reset();
    nloci_ = nhap_ = 0;
    packed_ = false;
  }
  void swap(haplotype_matrix& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(bits_, o.bits_);
    std::swap(nloci_, o.nloci_);
    std::swap(nhap_, o.nhap_);
    std::swap(packed_, o.packed_);
  }
  int32_t loci() const { return nloci_; }
  int32_t haplotypes() const { return nhap_; }
  bool packed() const { return packed_; }
  // Bytes of the alleles in the layout in use.
  size_t bytes() const { return packed_ ? words() * nhap_ * sizeof(uint64_t) : size(); }
  size_t size() const { return static_cast<size_t>(nloci_) * static_cast<size_t>(nhap_); }
  // Elements held by the storage of each layout: at least what the extents
  // need in the layout in use (size() bytes, or words() x haplotypes()
  // words), none in the other.
  size_t stored_bytes() const { return data_.size(); }
  size_t stored_words() const { return bits_.size(); }

  // Bytes layout. Haplotype h (0-based): nloci contiguous alleles.
  int8_t* column(int32_t h) { return data_.get() + static_cast<size_t>(h) * static_cast<size_t>(nloci_); }
  const int8_t* column(int32_t h) const { return data_.get() + static_cast<size_t>(h) * static_cast<size_t>(nloci_); }
  // Allele at locus l of haplotype h, both 0-based.
  int8_t& at(int32_t l, int32_t h) { return column(h)[l]; }
  int8_t at(int32_t l, int32_t h) const { return column(h)[l]; }
  int8_t* data() { return data_.get(); }
  const int8_t* data() const { return data_.get(); }

  // Packed layout. The row of haplotype h: words() words.
  static size_t words_for(int32_t nloci) { return static_cast<size_t>(haplotype_words(nloci)); }
  size_t words() const { return packed_ ? words_for(nloci_) : 0; }
  uint64_t* row(int32_t h) { return bits_.get() + static_cast<size_t>(h) * words(); }
  const uint64_t* row(int32_t h) const { return bits_.get() + static_cast<size_t>(h) * words(); }

  // Either layout: the allele at locus l of haplotype h.
  int8_t allele(int32_t l, int32_t h) const {
    if (packed_) return static_cast<int8_t>(1 + ((row(h)[l >> 6] >> (l & 63)) & 1u));
    return column(h)[l];
  }
  // The alleles of haplotype h as bytes: its column, or the row unpacked
  // into scratch (nloci bytes).
  const int8_t* read(int32_t h, int8_t* scratch) const {
    if (!packed_) return column(h);
    unpack_bits(row(h), 0, nloci_, scratch);
    return scratch;
  }

 private:
  page_array<int8_t> data_;
  page_array<uint64_t> bits_;
  int32_t nloci_ = 0, nhap_ = 0;
  bool packed_ = false;

 public:
  // Loci l0..l1-1 of a packed row as alleles 1 and 2 into out[0..l1-l0).
  static void unpack_bits(const uint64_t* row, int32_t l0, int32_t l1, int8_t* out) {
    unpack_haplotype_range(row, l0, l1, out);
  }
};

// The packed layout of a bytes matrix whose alleles are all 1 or 2 (the
// bytes are given up); a locus with another allele stops the run.
void pack_haplotypes(haplotype_matrix& geno, int nthreads = 1);
// The bytes layout of a packed matrix (tests and comparisons).
void unpack_haplotypes(haplotype_matrix& geno, int nthreads = 1);

// The parents of an animal: numbers in the generation before (in the base
// generation every animal is its own sire and dam).
struct parent_pair {
  int32_t sire = 0, dam = 0;
};

// The allele numbers of every locus during the historical generations:
// next[l] is the number the next mutant at locus l gets, top[l] the
// highest number in use; carried holds the allele numbers carried at each
// locus of the current generation as two 64-bit words per locus, valid
// while carried_valid is true.
struct allele_registry {
  std::vector<int16_t> next, top;
  std::vector<uint64_t> carried;
  bool carried_valid = false;
  void reset(int32_t nloci) {
    next.assign(static_cast<size_t>(nloci), int16_t{2});
    top.assign(static_cast<size_t>(nloci), int16_t{2});
    carried.assign(2 * static_cast<size_t>(nloci), 0);
    for (size_t l = 0; l < carried.size(); l += 2) carried[l] = 2;  // only allele 1
    carried_valid = true;
  }
};

// Sex of animal number i (1-based) of a generation.
enum class sex : int8_t { male = 1, female = 2 };
inline sex sex_of(int32_t i) { return (i & 1) ? sex::male : sex::female; }

// Selected animals of earlier generations that are still candidate parents
// (overlapping generations): in the lists of selected parents and in the
// pedigree of the next generation they are numbered nind + 1, nind + 2, ...
// after the animals of the current generation. Each keeps its place in the
// pedigree history, the generation it was born in, its sex, its true
// breeding values and phenotypes (ntrait each) and its two haplotypes
// (rows 2k and 2k + 1 of each matrix, the layout of the population's).
struct kept_animals {
  std::vector<int64_t> position;
  std::vector<int32_t> born;
  std::vector<int8_t> male;
  std::vector<double> tbv, phenotype;
  haplotype_matrix markers, candidates;
  int32_t size() const { return static_cast<int32_t>(position.size()); }
  void clear() {
    position.clear();
    born.clear();
    male.clear();
    tbv.clear();
    phenotype.clear();
    markers.release();
    candidates.release();
  }
};

// A line in one generation: its block of animals (numbers first ..
// first + animals - 1, first odd) and, once the generation has selected,
// its parents in the lists of selected sires and dams (positions from 0).
struct line_in_generation {
  int32_t line = 0;  // index into run_parameters::lines
  int32_t first = 1, animals = 0;
  int32_t first_sire = 0, sires = 0, first_dam = 0, dams = 0;
};

struct population {
  int32_t nind = 0;
  haplotype_matrix markers, candidates;  // candidates: the candidate-QTL loci
  std::vector<parent_pair> parents;      // index: animal number - 1
  std::vector<int32_t> sires, dams;      // selected parents (animal numbers)
  // Matings of each selected parent (parallel to sires and dams) when its
  // numbers were chosen with the parents (optimum contributions); empty otherwise.
  std::vector<int32_t> sire_matings, dam_matings;
  kept_animals kept;                     // earlier generations' candidates (empty without [stage.ages])
  // The kept animals as they were when this generation was mated: its
  // parents numbered past the generation before are these (positions and sexes).
  std::vector<int64_t> parents_kept_position;
  std::vector<int8_t> parents_kept_male;
  // True breeding values and phenotypes: index (t - 1) * nind + (i - 1).
  std::vector<double> tbv, phenotype;
  // Genotypic values (additive and dominance), index as tbv, with
  // dominance; empty when every QTL acts additively (the genotypic value is
  // then the true breeding value).
  std::vector<double> genotypic;
  // The lines of the generation, in the order of their blocks; empty: one population.
  std::vector<line_in_generation> lines;
  allele_registry marker_alleles, candidate_alleles;

  int32_t haplotypes() const { return 2 * nind; }
  // Candidate parents: the current generation and the kept animals.
  int32_t candidate_count() const { return nind + kept.size(); }
  bool is_male(int32_t i) const {
    return i <= nind ? sex_of(i) == sex::male : kept.male[static_cast<size_t>(i - nind - 1)] != 0;
  }
  double& tbv_of(int32_t i, int32_t t) { return tbv[static_cast<size_t>(t - 1) * nind + (i - 1)]; }
  double tbv_of(int32_t i, int32_t t) const { return tbv[static_cast<size_t>(t - 1) * nind + (i - 1)]; }
  double& phenotype_of(int32_t i, int32_t t) { return phenotype[static_cast<size_t>(t - 1) * nind + (i - 1)]; }
  double phenotype_of(int32_t i, int32_t t) const { return phenotype[static_cast<size_t>(t - 1) * nind + (i - 1)]; }
  // Animals of each sex that can be selected: as many as the smaller sex has.
  int32_t candidates_per_sex() const {
    int32_t males = 0, females = 0;
    for (int32_t i = 1; i <= nind; ++i) (sex_of(i) == sex::male ? males : females) += 1;
    return std::min(males, females);
  }
};

// ---- Checks of the invariants of the types above. Each throws
// invariant_error (base/invariant_error.hpp) naming the first fault it finds
// with its numbers; each is one pass over the data.

// The extents of m against its storage; in the bytes layout every allele in
// 1..max_allele (127 in the historical generations, 2 from the recoding on);
// in the packed layout every bit past the last locus of a row clear. name:
// the matrix in messages ("marker", "candidate-locus").
void verify(const haplotype_matrix& m, std::string_view name, int8_t max_allele = 127);

// The parents of a generation: in the base generation (previous_nind 0)
// every animal its own sire and dam; otherwise numbers 1..previous_nind in
// the generation before, sires males (odd) and dams females (even).
// kept_male: the sexes of the parents numbered previous_nind + 1, ... (kept
// from earlier generations; empty: none).
void verify_parents(std::span<const parent_pair> parents, int32_t previous_nind,
                    std::span<const int8_t> kept_male = {});

// What a check of a population takes from its caller, which the population
// itself does not know.
struct population_context {
  // Animals of the generation before, which the parents are numbers in; 0
  // for the base generation.
  int32_t previous_nind = 0;
  // The sire and dam lists are still those chosen from the generation
  // before (from the meiosis until this generation's selection).
  bool selection_of_previous = false;
  // The sexes of the kept animals numbered after the generation before
  // (the parents' numbering), and after the current generation (the lists
  // chosen from it).
  std::span<const int8_t> previous_kept_male = {}, kept_male = {};
  // The highest allele number: 127 before the recoding, 2 from it on.
  int8_t max_allele = 127;
  // Traits of the values of this generation (0: it has none), or -1 when the
  // values may still be those of an earlier generation (not checked then).
  int32_t traits = -1;
  // The sex that records each trait (empty: every animal records every
  // trait): a record an animal does not have is NaN, every other finite.
  std::span<const recorded_sex> recorded_on = {};
  // Every allele of the bytes layout too (a pass over the matrices); off
  // after a step that changed no haplotype.
  bool alleles = true;
};

// Both matrices with 2 haplotypes per animal, in the same layout, and (with
// c.alleles) their alleles within the registries: at most the highest
// number in use at the locus, and one of the carried set while the sets are
// valid; the registries sized to the loci, their numbers 2..128, their
// carried sets holding numbers 1..top only; nind parent pairs
// (verify_parents); the sire and dam lists without repeats, sires males and
// dams females of the generation they were chosen from; as many phenotypes
// as true values, nind x traits of them, finite.
void verify(const population& pop, const population_context& c);

}  // namespace qm
