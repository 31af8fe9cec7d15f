#include "population/pedigree_history.hpp"

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

}  // namespace qm
