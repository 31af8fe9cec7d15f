// Relationships among the animals a run may choose as parents.
//
// living_relationships keeps the additive (pedigree) relationship matrix A
// among the living animals only: those of the current generation and those
// of earlier generations that are kept. When a generation is born, the new
// matrix follows from the old one alone by the tabular recursion
//   a(i, j) = (a(s_i, s_j) + a(s_i, d_j) + a(d_i, s_j) + a(d_i, d_j)) / 4,
//   a(i, i) = 1 + a(s_i, d_i) / 2,
//   a(i, k) = (a(s_i, k) + a(d_i, k)) / 2            (k kept),
// since every parent of a new animal and every kept animal is living before
// the birth. Cost: O(n^2) time and memory per generation for n living
// animals, whatever the length of the pedigree. The matrix is dense,
// row-major, and exactly symmetric: both halves come from the same sums.
//
// genomic_relationships is the genomic relationship matrix of VanRaden
// (2008), method 1: G = Z Z' / (2 sum_l p_l (1 - p_l)), Z = X - 2p, with X
// the count (0, 1, 2) of allele 2 of every animal at every locus used and p
// the allele-2 frequencies of the base the caller chooses.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "population/pedigree_history.hpp"

namespace qm {

class living_relationships {
 public:
  // Founders: unrelated and not inbred (A = I). Animals are named by their
  // positions in the pedigree_history.
  void start(std::span<const int64_t> founders);
  // The next living set: `kept` (positions of living animals that stay),
  // then `born` (positions of new animals, whose sire and dam, read from h,
  // are living now). Stops when an animal is named twice, a kept animal or a
  // parent is not living, or a newborn is living already.
  void advance(const pedigree_history& h, std::span<const int64_t> kept, std::span<const int64_t> born);

  std::span<const int64_t> animals() const { return animals_; }  // the living set in order
  size_t size() const { return animals_.size(); }
  // A between animals()[i] and animals()[j].
  double at(size_t i, size_t j) const { return a_[i * animals_.size() + j]; }
  // The index in animals() of the animal at this position; -1 when it is not living.
  int64_t index_of(int64_t position) const;
  // A among the given living animals (row-major k x k, k = positions.size())
  // into out; stops when one of them is not living.
  void among(std::span<const int64_t> positions, std::vector<double>& out) const;
  // Bytes held (the matrix, its second buffer, the lists).
  size_t bytes() const;

 private:
  int64_t living_index(int64_t position, const char* role) const;

  std::vector<int64_t> animals_;
  std::vector<std::pair<int64_t, int64_t>> by_position_, next_by_position_;  // (position, index), sorted
  std::vector<double> a_, next_;                          // n x n row-major; next_ the buffer of advance
  std::vector<int64_t> cols_;                             // scratch of advance: old indices per new column
};

// G among the animals whose haplotypes are given: rows[2k] and rows[2k + 1]
// are the two packed rows (haplotype_bits.hpp) of animal k, `words` words
// each; mask (words words) has the bit of every locus used set; p holds the
// allele-2 frequency of every locus (at least as many as the highest locus
// used + 1; only the masked ones are read). out gets the k x k matrix,
// row-major. Loci whose p (1 - p) is 0 add nothing to the denominator (they
// still count in Z); when no locus is left to it, the run stops.
//
// sum_l x_il x_jl is counted exactly with popcounts of the ANDed rows; the
// rest comes from per-animal sums of p_l x_il in locus order, so the result
// has the same bits on any number of threads.
void genomic_relationships(std::span<const uint64_t* const> rows, size_t words, std::span<const uint64_t> mask,
                           std::span<const double> p, std::vector<double>& out, int threads = 1);

}  // namespace qm
