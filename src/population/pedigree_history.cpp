#include "population/pedigree_history.hpp"

#include <string>

#include "base/byte_codec.hpp"

namespace qm {

void pedigree_history::start(int32_t nind) {
  records_.clear();
  first_.assign(1, 1);
  records_.reserve(static_cast<size_t>(nind));
  for (int32_t i = 1; i <= nind; ++i) records_.push_back({0, 0, 0, i, static_cast<int8_t>(sex_of(i))});
}

void pedigree_history::reserve(int64_t animals) {
  if (animals > 0) records_.reserve(static_cast<size_t>(animals));
}

void pedigree_history::append(const std::vector<parent_pair>& parents) {
  const int64_t before = first_.back();
  const int32_t g = generations();
  first_.push_back(size() + 1);
  for (size_t k = 0; k < parents.size(); ++k) {
    const int32_t i = static_cast<int32_t>(k) + 1;
    records_.push_back({before + parents[k].sire - 1, before + parents[k].dam - 1, g, i, static_cast<int8_t>(sex_of(i))});
  }
}

int32_t pedigree_history::size_of(int32_t g) const {
  const int64_t end = static_cast<size_t>(g) + 1 < first_.size() ? first_[static_cast<size_t>(g) + 1] : size() + 1;
  return static_cast<int32_t>(end - first_of(g));
}

void encode_pedigree_history(byte_writer& w, const pedigree_history& h) {
  w.i32(h.generations());
  w.i32(h.size_of(0));
  for (int32_t g = 1; g < h.generations(); ++g) {
    const int64_t first = h.first_of(g), before = h.first_of(g - 1);
    const int32_t n = h.size_of(g);
    w.u64(static_cast<uint64_t>(n));
    for (int32_t i = 0; i < n; ++i) {
      const pedigree_record& r = h.at(first + i);
      w.i32(static_cast<int32_t>(r.sire - before + 1));
      w.i32(static_cast<int32_t>(r.dam - before + 1));
    }
  }
}

pedigree_history decode_pedigree_history(byte_reader& r) {
  pedigree_history h;
  const int32_t gens = r.i32();
  if (gens < 1) throw decode_error("the pedigree has no generation");
  int32_t before = r.i32();
  if (before < 1 || before > 100000000) throw decode_error("the base generation has " + std::to_string(before) + " animals");
  h.start(before);
  std::vector<parent_pair> parents;
  for (int32_t g = 1; g < gens; ++g) {
    const size_t n = r.count(8, "parent pairs");
    if (n < 1) throw decode_error("generation " + std::to_string(g) + " of the pedigree is empty");
    parents.resize(n);
    for (parent_pair& pp : parents) {
      pp.sire = r.i32();
      pp.dam = r.i32();
      if (pp.sire < 1 || pp.sire > before || pp.dam < 1 || pp.dam > before)
        throw decode_error("generation " + std::to_string(g) + " of the pedigree has a parent outside the generation before");
    }
    h.append(parents);
    before = static_cast<int32_t>(n);
  }
  return h;
}

}  // namespace qm
