#include "population/meiosis.hpp"

#include <algorithm>
#include <cstring>

#include "base/messages.hpp"
#include "population/meiosis_packed.hpp"
#include "random/stream_parts.hpp"

namespace qm {

namespace {

// FNV-1a over 64-bit words: the recombination fractions and rates a plan is
// built from.
uint64_t plan_key(const genome_map& map, double mutm, double mutq) {
  uint64_t h = 14695981039346656037ull;
  const auto mix = [&h](uint64_t w) { h = (h ^ w) * 1099511628211ull; };
  const auto mix_double = [&mix](double v) {
    uint64_t w;
    std::memcpy(&w, &v, sizeof w);
    mix(w);
  };
  mix(static_cast<uint64_t>(map.nchr));
  mix(static_cast<uint64_t>(map.nmpc));
  mix_double(mutm);
  mix_double(mutq);
  for (const std::vector<double>* v : {&map.recomb_left, &map.recomb_right}) {
    mix(v->size());
    for (const double x : *v) mix_double(x);
  }
  return h;
}

}  // namespace

const meiosis_plan& offspring_buffers::plan_for(const genome_map& map, double mutm, double mutq) {
  const uint64_t key = plan_key(map, mutm, mutq);
  if (!plan_built_ || key != plan_key_) {
    build_plan(map, mutm, mutq, plan_);
    plan_key_ = key;
    plan_built_ = true;
  }
  return plan_;
}

void make_offspring(population& pop, std::vector<parent_pair> offspring, const genome_map& map, double mutm,
                    double mutq, offspring_buffers& buffers, random_stream& rng, int nthreads, bool bookkeeping) {
  const int32_t nind = static_cast<int32_t>(offspring.size());
  if (nind < 1) stop(stop_text::genotype_code1);
  const int32_t nhap = 2 * nind;
  const meiosis_plan& plan = buffers.plan_for(map, mutm, mutq);
  const uint64_t per_hap = static_cast<uint64_t>(plan.u) * static_cast<uint64_t>(plan.nchr);
  // Parts of consecutive haplotypes; each starts at its own stream position.
  const int parts = std::max(1, std::min(nhap, 8 * std::max(1, nthreads)));
  const int used = std::max(1, std::min(nthreads, parts));  // threads that tally
  if (static_cast<int>(buffers.scratch.size()) < used) buffers.scratch.resize(static_cast<size_t>(used));
  if (pop.markers.packed()) {
    // Two alleles per locus, one bit each: no mutation, no bookkeeping.
    buffers.markers.resize_packed(map.nmark(), nhap, nthreads);
    buffers.candidates.resize_packed(map.nqloc(), nhap, nthreads);
    run_stream_parts_on(nthreads, nhap, parts, per_hap, rng, [&](int, int64_t a, int64_t b, uint32_t st, int t) {
      gametes_packed(pop, offspring, plan, static_cast<int32_t>(a), static_cast<int32_t>(b - 1), st, buffers,
                     buffers.scratch[static_cast<size_t>(t)]);
    });
    pop.marker_alleles.carried_valid = pop.candidate_alleles.carried_valid = false;
  } else {
    offspring_in_bytes(pop, offspring, map, mutm, mutq, plan, buffers, rng, nthreads, bookkeeping, per_hap, parts,
                       used);
  }
  pop.markers.swap(buffers.markers);
  pop.candidates.swap(buffers.candidates);
  pop.parents = std::move(offspring);
  pop.nind = nind;
}

}  // namespace qm
