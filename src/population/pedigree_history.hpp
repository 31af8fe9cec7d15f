// Every animal of the run from the base generation on, in the order the
// generations were made: its generation, its number within it, its sex and
// its parents as positions in this history (0 for the unknown parents of the
// base generation). An animal's position is its identity for pedigree work
// (inbreeding, relationship matrices); its identifier in the result files is
// g * idmult + number for the generations that write files.
//
// Size: 32 bytes per animal, so nind x (generations + 1) x 32 bytes; a
// 1000-animal run of 1000 generations keeps 32 MB. Room for the whole run is
// reserved at its start (reserve), so the records are never copied to a
// larger array while the run goes on.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "population/population.hpp"

namespace qm {

struct pedigree_record {
  int64_t sire = 0, dam = 0;  // positions (1-based) in the history; 0 unknown
  int32_t generation = 0;     // 0 for the base, then one more for every generation made
  int32_t number = 0;         // 1..nind within the generation
  int8_t sex = 0;             // 1 male, 2 female
};

class pedigree_history {
 public:
  // The base generation: nind animals without known parents.
  void start(int32_t nind);
  // Room for this many animals in all, so that the history never moves.
  void reserve(int64_t animals);
  // A new generation whose parents (numbers in the previous generation) are given.
  void append(const std::vector<parent_pair>& parents);
  // A new generation whose parents are given by their positions.
  void append_positions(std::span<const int64_t> sires, std::span<const int64_t> dams);
  // A history from its parts as they are given (the records, and the first
  // position of every generation), unchecked: verify tells whether they fit.
  static pedigree_history from_parts(std::vector<pedigree_record> records, std::vector<int64_t> first);

  int64_t size() const { return static_cast<int64_t>(records_.size()); }
  int32_t generations() const { return static_cast<int32_t>(first_.size()); }  // including the base
  // The record at position k (1-based).
  const pedigree_record& at(int64_t k) const { return records_[static_cast<size_t>(k - 1)]; }
  // Position of the first animal of generation g (0 = base), and the size of g.
  int64_t first_of(int32_t g) const { return first_[static_cast<size_t>(g)]; }
  int32_t size_of(int32_t g) const;
  // Position of animal i (1-based) of the current generation.
  int64_t position_in_current(int32_t i) const { return first_.back() + i - 1; }
  // The identifier in the result files (generation x idmult + number) of
  // the animal at position k, when the last generation has file generation
  // last_file_generation.
  int64_t file_identifier(int64_t k, int64_t last_file_generation, int64_t idmult) const {
    const pedigree_record& r = at(k);
    return (last_file_generation - (generations() - 1 - r.generation)) * idmult + r.number;
  }

 private:
  std::vector<pedigree_record> records_;
  std::vector<int64_t> first_;  // first position of each generation
};

class byte_reader;
class byte_writer;
// The history in a history file (docs/history_format.md, section PED): the
// number of generations, the size of the base, then the parents of each
// later generation as numbers in the generation before; the rest of every
// record follows from these. The decoder checks every count against the
// bytes left and every parent against the generation before, and refuses a
// generation of more than most_per_generation animals before it makes their
// records (the size of the base is a number only, backed by no bytes)
// (decode_error).
void encode_pedigree_history(byte_writer& w, const pedigree_history& h);
pedigree_history decode_pedigree_history(byte_reader& r, int32_t most_per_generation);

// ---- Check of the invariants (invariant_error naming the first fault, one
// pass over the records): generation 0 starts at position 1 and every
// generation after the one before, none empty, the last within the records;
// every record has the generation and number its position gives and the
// sex of that number; the base generation has no parents, every later
// record a male sire and a female dam in the generation before. The records
// of the generations from from_generation on only (the offsets of all): the
// generations before, once checked, do not change.
// With parent_generations > 1 (overlapping generations) a parent may be of
// any of that many generations before its offspring.
void verify(const pedigree_history& h, int32_t from_generation = 0, int32_t parent_generations = 1);

}  // namespace qm
