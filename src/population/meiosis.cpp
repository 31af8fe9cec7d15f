#include "population/meiosis.hpp"

#include <algorithm>
#include <cstring>

#include "base/messages.hpp"
#include "population/meiosis_packed.hpp"

namespace qm {

namespace {

// FNV-1a over 64-bit words: the recombination fractions and rates a plan is
// built from.
uint64_t plan_key(const meiosis_rates& rates) {
  const genome_map& map = rates.map;
  uint64_t h = 14695981039346656037ull;
  const auto mix = [&h](uint64_t w) { h = (h ^ w) * 1099511628211ull; };
  const auto mix_double = [&mix](double v) {
    uint64_t w;
    std::memcpy(&w, &v, sizeof w);
    mix(w);
  };
  mix(static_cast<uint64_t>(map.nchr));
  mix(static_cast<uint64_t>(map.nmpc));
  mix_double(rates.mutm);
  mix_double(rates.mutq);
  for (const std::vector<double>* v : {&map.recomb_left, &map.recomb_right}) {
    mix(v->size());
    for (const double x : *v) mix_double(x);
  }
  return h;
}

}  // namespace

const meiosis_plan& offspring_buffers::plan_for(const meiosis_rates& rates) {
  const uint64_t key = plan_key(rates);
  if (!plan_built_ || key != plan_key_) {
    build_plan(rates.map, rates.mutm, rates.mutq, plan_);
    plan_key_ = key;
    plan_built_ = true;
  }
  return plan_;
}

void make_offspring(population& pop, std::vector<parent_pair> offspring, const meiosis_rates& rates,
                    offspring_buffers& buffers, random_stream& rng, int nthreads, bool bookkeeping) {
  const int32_t nind = static_cast<int32_t>(offspring.size());
  if (nind < 1) stop(stop_text::genotype_code1);
  const int32_t nhap = 2 * nind;
  const meiosis_plan& plan = buffers.plan_for(rates);
  offspring_job job{pop, offspring, rates, plan, buffers, rng};
  job.nthreads = nthreads;
  job.per_hap = static_cast<uint64_t>(plan.u) * static_cast<uint64_t>(plan.nchr);
  // Parts of consecutive haplotypes; each starts at its own stream position.
  job.parts = std::max(1, std::min(nhap, 8 * std::max(1, nthreads)));
  job.used = std::max(1, std::min(nthreads, job.parts));
  if (static_cast<int>(buffers.scratch.size()) < job.used) buffers.scratch.resize(static_cast<size_t>(job.used));
  if (pop.markers.packed()) {
    offspring_in_bits(job);  // two alleles per locus, one bit each: no mutation, no bookkeeping
  } else {
    offspring_in_bytes(job, bookkeeping);
  }
  pop.markers.swap(buffers.markers);
  pop.candidates.swap(buffers.candidates);
  pop.parents = std::move(offspring);
  pop.nind = nind;
}

}  // namespace qm
