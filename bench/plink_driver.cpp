// Writes the PLINK fileset "gen" of a random generation into the working
// directory and prints the time the write took and the peak memory before
// and after it. Usage: qm_plink_driver ANIMALS CHROMOSOMES MARKERS THREADS
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "base/atomic_file.hpp"
#include "output/plink.hpp"

namespace {
long peak_kib() {
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: qm_plink_driver ANIMALS CHROMOSOMES MARKERS THREADS\n");
    return 2;
  }
  const int nind = std::atoi(argv[1]), nchr = std::atoi(argv[2]), nmpc = std::atoi(argv[3]);
  const int threads = std::atoi(argv[4]);
  const int nloci = nchr * nmpc;
  std::vector<std::vector<int8_t>> hap(static_cast<size_t>(2 * nind), std::vector<int8_t>(static_cast<size_t>(nloci)));
  std::mt19937_64 rng(7);
  for (auto& h : hap)
    for (int8_t& a : h) a = static_cast<int8_t>(1 + (rng() >> 63));
  std::vector<const int8_t*> cols;
  for (auto& h : hap) cols.push_back(h.data());
  qm::genotype_view g;
  g.nanimals = nind;
  g.nloci = g.nvariants = nloci;
  g.haplotype = cols.data();
  std::vector<qm::variant_info> variants(static_cast<size_t>(nloci));
  for (int l = 0; l < nloci; ++l) {
    qm::variant_info& v = variants[static_cast<size_t>(l)];
    v.chromosome = 1 + l / nmpc;
    v.name = "chr" + std::to_string(v.chromosome) + "-" + std::to_string(1 + l % nmpc);
    v.cm = 0.1 * (l % nmpc);
    v.bp = 1 + 100000 * static_cast<int64_t>(l % nmpc);
  }
  qm::animal_list animals;
  for (int i = 1; i <= nind; ++i) {
    qm::animal_info a;
    a.id = std::to_string(10000 + i);
    a.sex = (i & 1) ? 1 : 2;
    a.phenotype = 0.001 * i;
    animals.animals.push_back(a);
  }
  const long before = peak_kib();
  const auto t0 = std::chrono::steady_clock::now();
  try {
    qm::write_plink("gen", g, variants, animals, threads);
  } catch (const qm::file_error& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("write_plink: %.4f s; peak memory %ld KiB before the write, %ld KiB after\n", s, before, peak_kib());
  return 0;
}
