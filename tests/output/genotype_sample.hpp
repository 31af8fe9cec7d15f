// A small random population for the tests of the genotype writers, and a
// way to run the client programs (plink2, bcftools) that read the files back.
#pragma once
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "output/genotype_view.hpp"

namespace qmtest {

struct population {
  int32_t nanimals = 0, nloci = 0;
  std::vector<std::vector<int8_t>> hap;  // 2 * nanimals columns of nloci alleles
  mutable std::vector<const int8_t*> ptr;  // set by view(), so that copies point to their own columns
  std::vector<int32_t> pick;             // empty: every locus is a variant
  std::vector<qm::variant_info> variants;
  qm::animal_list animals;
  std::vector<int64_t> contig_length;

  qm::genotype_view view() const {
    ptr.clear();
    for (const auto& h : hap) ptr.push_back(h.data());
    qm::genotype_view g;
    g.nanimals = nanimals;
    g.nloci = nloci;
    g.haplotype = ptr.data();
    g.pick = pick.empty() ? nullptr : pick.data();
    g.nvariants = static_cast<int32_t>(variants.size());
    return g;
  }
  int32_t locus(int32_t k) const { return pick.empty() ? k : pick[static_cast<size_t>(k)]; }
  // Allele (1 or 2) of animal i's haplotype from its sire (s = 0) or dam (s = 1) at variant k.
  int allele(int32_t i, int s, int32_t k) const { return hap[static_cast<size_t>(2 * i + s)][static_cast<size_t>(locus(k))]; }
  // Copies of allele 2 carried by animal i at variant k.
  int dosage2(int32_t i, int32_t k) const { return allele(i, 0, k) + allele(i, 1, k) - 2; }
};

// nanimals animals on nchr chromosomes of per_chr variants. Every 7th variant
// is monomorphic (alternately for allele 1 and 2); the others have a random
// frequency. With extra > 0, every extra-th locus is not a variant (a pick
// skips it). Sexes alternate 1, 2; parents are "0" for every 5th animal.
// Phenotypes: 0/1 for a threshold trait, normal otherwise; every 11th animal
// has none (NaN) when with_missing. Positions: 1000 bp apart from 1, with
// the 10th and 11th variant of each chromosome at the same position.
inline population make_population(int32_t nanimals, int32_t nchr, int32_t per_chr, uint64_t seed, int32_t extra,
                                  bool threshold, bool with_missing) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::normal_distribution<double> n01(0.0, 1.0);
  population p;
  p.nanimals = nanimals;
  const int32_t nvar = nchr * per_chr;
  std::vector<int32_t> loci;
  for (int32_t l = 0; static_cast<int32_t>(loci.size()) < nvar; ++l)
    if (extra <= 0 || l % extra != extra - 1) loci.push_back(l);
  p.nloci = loci.back() + 1 + (extra > 0 ? 1 : 0);
  if (extra > 0) p.pick = loci;
  std::vector<double> freq(static_cast<size_t>(p.nloci));
  for (int32_t l = 0; l < p.nloci; ++l) freq[static_cast<size_t>(l)] = u(rng);
  for (int32_t k = 0; k < nvar; k += 7) freq[static_cast<size_t>(loci[static_cast<size_t>(k)])] = (k / 7) % 2 ? 1.0 : 0.0;
  p.hap.assign(static_cast<size_t>(2 * nanimals), std::vector<int8_t>(static_cast<size_t>(p.nloci)));
  for (auto& h : p.hap)
    for (int32_t l = 0; l < p.nloci; ++l) h[static_cast<size_t>(l)] = u(rng) < freq[static_cast<size_t>(l)] ? 2 : 1;
  for (int32_t c = 1; c <= nchr; ++c) {
    for (int32_t j = 0; j < per_chr; ++j) {
      qm::variant_info v;
      v.chromosome = c;
      char name[32];
      std::snprintf(name, sizeof name, "chr%d-%04d", c, j + 1);
      v.name = name;
      v.bp = 1 + 1000 * static_cast<int64_t>(j == 10 ? 9 : j);
      v.cm = 0.1 * j + 0.05 * c + 4e-7 * (j % 3);
      p.variants.push_back(v);
    }
    p.contig_length.push_back(1000 * static_cast<int64_t>(per_chr) + 500);
  }
  p.animals.threshold_trait = threshold;
  for (int32_t i = 0; i < nanimals; ++i) {
    qm::animal_info a;
    char id[32];
    std::snprintf(id, sizeof id, "%02d%04d", 3, i + 1);
    a.id = id;
    if (i % 5 != 0) {
      std::snprintf(id, sizeof id, "%02d%04d", 2, 2 * (i % 7) + 1);
      a.sire = id;
      std::snprintf(id, sizeof id, "%02d%04d", 2, 2 * (i % 9) + 2);
      a.dam = id;
    }
    a.sex = i % 2 ? 2 : 1;
    a.phenotype = threshold ? (u(rng) < 0.3 ? 1.0 : 0.0) : n01(rng) * 3.0 + 0.25;
    if (with_missing && i % 11 == 3) a.phenotype = std::nan("");
    p.animals.animals.push_back(a);
  }
  return p;
}

struct command_result {
  int status = -1;
  std::string out;
};

// Runs a shell command, collecting its standard output.
inline command_result run_command(const std::string& cmd) {
  command_result r;
  std::FILE* f = popen(cmd.c_str(), "r");
  if (!f) return r;
  char buf[1 << 16];
  size_t k;
  while ((k = std::fread(buf, 1, sizeof buf, f)) > 0) r.out.append(buf, k);
  r.status = pclose(f);
  return r;
}

// True when the program is on the PATH; a failure of the calling test
// otherwise (these tests need the real clients).
inline bool have_tool(const std::string& tool) {
  if (run_command("command -v " + tool + " >/dev/null 2>&1").status == 0) return true;
  ADD_FAILURE() << tool << " is not installed; run scripts/setup.sh (it installs plink2, bcftools and tabix).";
  return false;
}

inline std::vector<std::vector<std::string>> table_of(const std::string& text) {
  std::vector<std::vector<std::string>> t;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::istringstream ls(line);
    std::vector<std::string> row;
    for (std::string w; ls >> w;) row.push_back(w);
    t.push_back(row);
  }
  return t;
}

}  // namespace qmtest
