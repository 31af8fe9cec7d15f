#include "output/genotype_view.hpp"

#include <cmath>
#include <string>
#include <unordered_set>

#include "base/atomic_file.hpp"

namespace qm {

namespace {

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool plain_text(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) return false;
  return true;
}

[[noreturn]] void bad(const std::string& file, const std::string& what) {
  throw file_error(file, "Result file " + file + " cannot be written: " + what);
}

}  // namespace

void unknown_parents_outside(animal_list& animals) {
  std::unordered_set<std::string> ids;
  ids.reserve(animals.animals.size());
  for (const animal_info& a : animals.animals) ids.insert(a.id);
  for (animal_info& a : animals.animals) {
    if (!ids.count(a.sire)) a.sire = "0";
    if (!ids.count(a.dam)) a.dam = "0";
  }
}

void check_genotypes(const std::string& file, const genotype_view& g, const std::vector<variant_info>& variants,
                     const animal_list& animals) {
  if (g.nanimals < 0 || g.nloci < 0 || g.nvariants < 0) bad(file, "negative count of animals, loci or variants.");
  if (!g.pick && g.nvariants != g.nloci)
    bad(file, std::to_string(g.nvariants) + " variants requested from " + std::to_string(g.nloci) +
                  " loci without a choice of loci.");
  if (g.nanimals > 0 && g.nvariants > 0 && !g.haplotype && !g.bits) bad(file, "no haplotypes given.");
  if (variants.size() != static_cast<size_t>(g.nvariants))
    bad(file, std::to_string(variants.size()) + " variant descriptions for " + std::to_string(g.nvariants) +
                  " variants.");
  if (animals.animals.size() != static_cast<size_t>(g.nanimals))
    bad(file, std::to_string(animals.animals.size()) + " animal descriptions for " + std::to_string(g.nanimals) +
                  " animals.");
  if (g.pick)
    for (int32_t k = 0; k < g.nvariants; ++k)
      if (g.pick[k] < 0 || g.pick[k] >= g.nloci)
        bad(file, "variant " + std::to_string(k + 1) + " refers to locus " + std::to_string(g.pick[k] + 1) +
                      " of " + std::to_string(g.nloci) + ".");
  for (const variant_info& v : variants) {
    if (!plain_text(v.name)) bad(file, "the variant name \"" + v.name + "\" is empty or contains blanks.");
    if (v.chromosome < 1) bad(file, "variant " + v.name + " is on chromosome " + std::to_string(v.chromosome) + ".");
    if (!std::isfinite(v.cm)) bad(file, "variant " + v.name + " has no finite map position.");
    if (!is_letter(v.ref) || !is_letter(v.alt) || v.ref == v.alt)
      bad(file, "variant " + v.name + " needs two different letters as its alleles, not \"" + std::string(1, v.ref) +
                    "\" and \"" + std::string(1, v.alt) + "\".");
  }
  for (const animal_info& a : animals.animals) {
    if (!plain_text(a.family)) bad(file, "the family \"" + a.family + "\" is empty or contains blanks.");
    if (!plain_text(a.id) || !plain_text(a.sire) || !plain_text(a.dam))
      bad(file, "the animal identifier \"" + a.id + "\" (sire \"" + a.sire + "\", dam \"" + a.dam +
                    "\") is empty or contains blanks.");
    if (a.sex < 0 || a.sex > 2) bad(file, "animal " + a.id + " has sex code " + std::to_string(a.sex) + ".");
    if (std::isinf(a.phenotype)) bad(file, "animal " + a.id + " has an infinite phenotype.");
    if (animals.threshold_trait && !std::isnan(a.phenotype) && a.phenotype != 0.0 && a.phenotype != 1.0)
      bad(file, "animal " + a.id + " has the phenotype " + std::to_string(a.phenotype) +
                    " for a 0/1 threshold trait.");
  }
}

void throw_bad_allele(const std::string& file, const genotype_view& g, const std::vector<variant_info>& variants,
                      const animal_list& animals) {
  for (int32_t k = 0; k < g.nvariants; ++k) {
    const int32_t l = g.pick ? g.pick[k] : k;
    for (int32_t h = 0; h < 2 * g.nanimals; ++h) {
      const int a = g.allele(h, l);
      if (a != 1 && a != 2)
        bad(file, "animal " + animals.animals[static_cast<size_t>(h / 2)].id + " carries allele " +
                      std::to_string(a) + " at variant " + variants[static_cast<size_t>(k)].name +
                      ". PLINK and VCF files take two alleles per locus (1 and 2); write the markers "
                      "of a run with more alleles in the classic haplotype files only.");
    }
  }
  bad(file, "an allele other than 1 or 2 was met but not found again.");
}

}  // namespace qm
