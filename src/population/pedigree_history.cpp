#include "population/pedigree_history.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "base/byte_codec.hpp"
#include "base/invariant_error.hpp"

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

void pedigree_history::append_positions(std::span<const int64_t> sires, std::span<const int64_t> dams) {
  const int32_t g = generations();
  first_.push_back(size() + 1);
  for (size_t k = 0; k < sires.size(); ++k) {
    const int32_t i = static_cast<int32_t>(k) + 1;
    records_.push_back({sires[k], dams[k], g, i, static_cast<int8_t>(sex_of(i))});
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

pedigree_history decode_pedigree_history(byte_reader& r, int32_t most_per_generation) {
  pedigree_history h;
  const int32_t gens = r.i32();
  if (gens < 1) throw decode_error("the pedigree has no generation");
  int32_t before = r.i32();
  const auto too_many = [&](int32_t g, int64_t n) {
    return decode_error("generation " + std::to_string(g) + " of the pedigree has " + std::to_string(n) +
                        " animals, more than the " + std::to_string(most_per_generation) + " a generation can have");
  };
  if (before < 1) throw decode_error("the base generation has " + std::to_string(before) + " animals");
  if (before > most_per_generation) throw too_many(0, before);
  h.start(before);
  std::vector<parent_pair> parents;
  for (int32_t g = 1; g < gens; ++g) {
    const size_t n = r.count(8, "parent pairs");
    if (n < 1) throw decode_error("generation " + std::to_string(g) + " of the pedigree is empty");
    if (n > static_cast<size_t>(most_per_generation)) throw too_many(g, static_cast<int64_t>(n));
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

pedigree_history pedigree_history::from_parts(std::vector<pedigree_record> records, std::vector<int64_t> first) {
  pedigree_history h;
  h.records_ = std::move(records);
  h.first_ = std::move(first);
  return h;
}

void verify(const pedigree_history& h, int32_t from_generation, int32_t parent_generations) {
  using std::to_string;
  const auto fail = [](const std::string& what) { throw invariant_error(what); };
  const int32_t gens = h.generations();
  const int64_t n = h.size();
  if (gens == 0) {
    if (n != 0) fail("the pedigree history has no generation but " + to_string(n) + " records");
    return;
  }
  if (h.first_of(0) != 1)
    fail("generation 0 of the pedigree history starts at position " + to_string(h.first_of(0)) + ", not 1");
  for (int32_t g = 1; g < gens; ++g)
    if (h.first_of(g) <= h.first_of(g - 1))
      fail("generation " + to_string(g) + " of the pedigree history starts at position " + to_string(h.first_of(g)) +
           ", not after generation " + to_string(g - 1) + " at " + to_string(h.first_of(g - 1)));
  if (h.first_of(gens - 1) > n)
    fail("generation " + to_string(gens - 1) + " of the pedigree history starts at position " +
         to_string(h.first_of(gens - 1)) + ", past its last record, " + to_string(n));
  for (int32_t g = std::max(from_generation, 0); g < gens; ++g) {
    const int64_t first = h.first_of(g), end = g + 1 < gens ? h.first_of(g + 1) : n + 1;
    // The generation before: positions lo..hi.
    const int64_t lo = g > 0 ? h.first_of(std::max(0, g - std::max(1, parent_generations))) : 0, hi = first - 1;
    for (int64_t k = first; k < end; ++k) {
      const pedigree_record& r = h.at(k);
      const int32_t number = static_cast<int32_t>(k - first + 1);
      const int8_t s = static_cast<int8_t>(sex_of(number));
      const auto record = [&] { return "record " + to_string(k) + " of the pedigree history"; };
      if (r.generation != g || r.number != number || r.sex != s)
        fail(record() + " is animal " + to_string(r.number) + " of generation " + to_string(r.generation) + " with sex " +
             to_string(r.sex) + "; its position makes it animal " + to_string(number) + " of generation " +
             to_string(g) + " with sex " + to_string(s));
      const auto animal = [&] {
        return record() + " (animal " + to_string(number) + " of generation " + to_string(g) + ")";
      };
      if (g == 0) {
        if (r.sire != 0 || r.dam != 0)
          fail(animal() + " has sire " + to_string(r.sire) + " and dam " + to_string(r.dam) +
               "; the base generation has no known parents");
        continue;
      }
      for (const auto& [parent, want] : {std::pair{r.sire, sex::male}, std::pair{r.dam, sex::female}}) {
        const char* which = want == sex::male ? " has sire " : " has dam ";
        if (parent < lo || parent > hi)
          fail(animal() + which + to_string(parent) + ", outside generation" +
               (parent_generations > 1 ? "s " + to_string(std::max(0, g - parent_generations)) + ".." : " ") +
               to_string(g - 1) + " (positions " + to_string(lo) + ".." + to_string(hi) + ")");
        if (h.at(parent).sex != static_cast<int8_t>(want))
          fail(animal() + which + to_string(parent) + (want == sex::male ? ", a female" : ", a male"));
      }
    }
  }
}

}  // namespace qm
