#include "run/verify_state.hpp"

#include <algorithm>
#include <string>

#include "base/invariant_error.hpp"
#include "base/messages.hpp"
#include "population/mating.hpp"

namespace qm {

namespace {

using std::to_string;

[[noreturn]] void fail(const std::string& what) { throw invariant_error(what); }

// The records of generation g of h have the parents pairs (numbers in
// generation g - 1) as positions.
void check_records(const pedigree_history& h, int32_t g, std::span<const parent_pair> pairs, const char* whose,
                   std::span<const int64_t> kept_position) {
  if (h.size_of(g) != static_cast<int32_t>(pairs.size()))
    fail("generation " + to_string(g) + " of the pedigree history has " + to_string(h.size_of(g)) + " animals, " +
         whose + " " + to_string(pairs.size()));
  const int64_t first = h.first_of(g), before = h.first_of(g - 1);
  for (size_t k = 0; k < pairs.size(); ++k) {
    const pedigree_record& r = h.at(first + static_cast<int64_t>(k));
    const int32_t n_before = h.size_of(g - 1);
    const auto position = [&](int32_t n) {
      return n <= n_before || kept_position.empty() ? before + n - 1
                                                     : kept_position[static_cast<size_t>(n - n_before - 1)];
    };
    const int64_t sire = position(pairs[k].sire), dam = position(pairs[k].dam);
    if (r.sire != sire || r.dam != dam)
      fail("animal " + to_string(k + 1) + " of generation " + to_string(g) + " has sire " + to_string(pairs[k].sire) +
           " and dam " + to_string(pairs[k].dam) + " in " + whose + ", positions " + to_string(sire) + " and " +
           to_string(dam) + " of the pedigree history, which has " + to_string(r.sire) + " and " + to_string(r.dam));
  }
}

const char* step_name(run_step s) {
  switch (s) {
    case run_step::start: return "start";
    case run_step::mating: return "mating";
    case run_step::meiosis: return "meiosis";
    case run_step::recoding: return "recoding";
    case run_step::selection: return "selection";
  }
  return "?";
}

}  // namespace

void verify_state(const run_state& st, run_step step, int8_t max_allele, std::span<const parent_pair> offspring) {
  const pedigree_history& h = st.history;
  const population& pop = st.pop;
  const int32_t last = h.generations() - 1;
  // The map is made once, before the base generation.
  if (step == run_step::start) verify(st.map, st.params.chrlen);
  // The records of the history are checked once, when their generation is
  // new: at the start, and after its mating.
  int32_t ages = 1;
  for (size_t s = 1; s < st.params.stages.size(); ++s)
    ages = std::max({ages, st.params.stages[s].block.ages.sire_generations, st.params.stages[s].block.ages.dam_generations});
  verify(h, step == run_step::start ? 0 : step == run_step::mating ? last : last + 1, ages);
  if (step == run_step::mating) {
    // The population is still the parents', as the last selection left it.
    verify_mating(pop, offspring);
    if (last < 1) fail("after the mating the pedigree history has " + to_string(h.generations()) + " generations");
    check_records(h, last, offspring, "the mating", pop.kept.position);
    return;
  }
  if (last < 0 || (step == run_step::start && last != 0))
    fail("after the " + std::string(step_name(step)) + " the pedigree history has " + to_string(h.generations()) +
         " generations");
  if (h.size_of(last) != pop.nind)
    fail("generation " + to_string(last) + " of the pedigree history has " + to_string(h.size_of(last)) +
         " animals, the population " + to_string(pop.nind));

  const bool between = step == run_step::meiosis || step == run_step::recoding;
  population_context c;
  c.previous_nind = last > 0 ? h.size_of(last - 1) : 0;
  c.selection_of_previous = between;
  c.previous_kept_male = pop.parents_kept_male;
  c.kept_male = pop.kept.male;
  c.max_allele = max_allele;
  c.traits = between ? -1 : st.architecture ? st.architecture->ntrait : 0;
  c.recorded_on = st.params.recorded_on;
  // The selection changes no haplotype: they were checked after the meiosis
  // (and the recoding).
  c.alleles = step != run_step::selection;
  verify(pop, c);
  if (pop.markers.loci() != st.map.nmark() || pop.candidates.loci() != st.map.nqloc())
    fail("the population has " + to_string(pop.markers.loci()) + " markers and " + to_string(pop.candidates.loci()) +
         " candidate loci, the map " + to_string(st.map.nmark()) + " and " + to_string(st.map.nqloc()));
  if (last > 0) check_records(h, last, pop.parents, "the population", pop.parents_kept_position);
  if (st.chip.defined()) {
    verify(st.chip, st.map.nmark(), st.params.chip_min_maf);
    if (st.chip.size() != st.params.chip_markers)
      fail("the SNP chip has " + to_string(st.chip.size()) + " markers, the run asks for " +
           to_string(st.params.chip_markers));
  }
}

void check_state(const run_state& st, run_step step, int8_t max_allele, std::span<const parent_pair> offspring) {
  try {
    verify_state(st, step, max_allele, offspring);
  } catch (const invariant_error& e) {
    const int32_t g = st.history.generations() - 1;
    const std::string when = step == run_step::start
                                 ? "after the base generation was made"
                                 : "after the " + std::string(step_name(step)) + " of generation " + to_string(g);
    stop("Internal error " + when + ": " + e.what() +
         ". The data of the run are not what the program makes of them; please report this with the parameter file.");
  }
}

}  // namespace qm
