// The population in a history file, but for its haplotype matrices
// (population/haplotype_layout.cpp): section POP of docs/history_format.md.
#include <string>

#include "population/population_codec.hpp"

namespace qm {

namespace {

// The largest population a history holds.
constexpr int32_t most_animals = 100000000;

}  // namespace

void encode_allele_registry(byte_writer& w, const allele_registry& a) {
  w.u64(a.next.size());
  for (int16_t v : a.next) w.i16(v);
  w.u64(a.top.size());
  for (int16_t v : a.top) w.i16(v);
  // The carried sets are kept only while mutation goes on; after the
  // recoding generation they no longer describe the alleles.
  w.u8(a.carried_valid ? 1 : 0);
}

allele_registry decode_allele_registry(byte_reader& r, size_t nloci) {
  allele_registry a;
  for (std::vector<int16_t>* v : {&a.next, &a.top}) {
    const size_t n = r.count(2, "allele numbers");
    if (n != nloci)
      throw decode_error(r.label() + " gives allele numbers for " + std::to_string(n) + " of " + std::to_string(nloci) +
                         " loci");
    v->resize(n);
    for (int16_t& x : *v) x = r.i16();
  }
  if (r.u8() != 0)
    throw decode_error(r.label() + " marks the carried allele sets as valid, which they are not after stage 1");
  a.carried.assign(2 * nloci, 0);
  a.carried_valid = false;
  return a;
}

void encode_population(byte_writer& w, const population& pop) {
  w.i32(pop.nind);
  w.u64(pop.parents.size());
  for (const parent_pair& pp : pop.parents) {
    w.i32(pp.sire);
    w.i32(pp.dam);
  }
  for (const auto* v : {&pop.sires, &pop.dams}) {
    w.u64(v->size());
    for (int32_t x : *v) w.i32(x);
  }
  for (const auto* v : {&pop.tbv, &pop.phenotype}) {
    w.u64(v->size());
    for (double x : *v) w.f64(x);
  }
  encode_allele_registry(w, pop.marker_alleles);
  encode_allele_registry(w, pop.candidate_alleles);
}

population decode_population(byte_reader& r, size_t marker_loci, size_t candidate_loci) {
  population pop;
  pop.nind = r.i32();
  if (pop.nind < 2 || pop.nind > most_animals)
    throw decode_error("the population has " + std::to_string(pop.nind) + " animals");
  pop.parents.resize(r.count(8, "parent pairs"));
  for (parent_pair& pp : pop.parents) {
    pp.sire = r.i32();
    pp.dam = r.i32();
  }
  for (std::vector<int32_t>* v : {&pop.sires, &pop.dams}) {
    v->resize(r.count(4, "selected parents"));
    for (int32_t& x : *v) {
      x = r.i32();
      if (x < 1 || x > pop.nind)
        throw decode_error("a selected parent is animal " + std::to_string(x) + " of " + std::to_string(pop.nind));
    }
  }
  for (std::vector<double>* v : {&pop.tbv, &pop.phenotype}) {
    v->resize(r.count(8, "values"));
    for (double& x : *v) x = r.f64();
  }
  pop.marker_alleles = decode_allele_registry(r, marker_loci);
  pop.candidate_alleles = decode_allele_registry(r, candidate_loci);
  if (pop.parents.size() != static_cast<size_t>(pop.nind))
    throw decode_error("the population's parents do not match its size");
  return pop;
}

}  // namespace qm
