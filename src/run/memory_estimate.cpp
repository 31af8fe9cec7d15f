#include "run/memory_estimate.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/messages.hpp"
#include "config/stage_plan.hpp"
#include "population/haplotype_bits.hpp"
#include "population/pedigree_history.hpp"
#include "run/history_file.hpp"

namespace qm {

int64_t history_file_memory(const run_parameters& p, history_sizing h) {
  if (p.save_history.empty() && p.from_history.empty()) return 0;
  const int64_t of_parameters = history_file_bytes(p.stages[1].block.nind, p.markers(), p.candidate_loci(),
                                                   stage_plan(p).stage(1).generations() + 1);
  if (p.from_history.empty() || h == history_sizing::of_parameters) return of_parameters;
  struct stat st{};
  if (::stat(p.from_history.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return of_parameters;
  return std::max<int64_t>(of_parameters, st.st_size);
}

int64_t estimate_peak_memory(const run_parameters& p, history_sizing h) {
  const int64_t loci = static_cast<int64_t>(p.markers()) + p.candidate_loci();
  // one bit per allele, whole 64-bit words per haplotype and kind of locus
  const int64_t packed_loci = 64 * (haplotype_words(p.markers()) + haplotype_words(p.candidate_loci()));
  const stage_plan plan(p);
  int64_t nind = 0, valued = 0;
  for (const planned_stage& stage : plan) {
    nind = std::max<int64_t>(nind, stage.block().nind);
    if (stage.number() >= 2) valued += stage.block().nind * stage.generations();
  }
  // Bytes until the recoding (stage 1's animals; while they are packed the
  // bits of one generation are there too), then bits when the layout is
  // packed; the summary statistics hold one bit per allele of a generation.
  const int64_t nind1 = p.stages[1].block.nind;
  const int64_t bits = 2 * 2 * nind * packed_loci / 8;
  const int64_t haplotypes =
      p.packed_genome ? std::max(2 * 2 * nind1 * loci + 2 * nind1 * packed_loci / 8, bits) : 2 * 2 * nind * loci;
  const int64_t summary = 2 * nind * (64 * haplotype_words(p.markers()) + p.nqtl) / 8;
  const int64_t bookkeeping = 48 * loci;
  const int64_t history = static_cast<int64_t>(sizeof(pedigree_record)) * plan.animals();
  const int64_t values = 2 * 2 * 8 * nind * static_cast<int64_t>(std::max(1, p.ntrait));
  // file buffers; with two threads or more, also the text waiting for the
  // thread that writes the result files (at most 24 MB)
  const int64_t files = (int64_t{2} << 20) * std::max(1, p.threads) + 4 * (p.markers() + 64) +
                        (p.threads >= 2 ? int64_t{24} << 20 : 0);
  const int64_t program = int64_t{20} << 20;
  int64_t ebv = 0;
  const bool pedigree1 = p.some_stage_uses(selection_criterion::pedigree_ebv);
  const bool genomic1 = p.some_stage_uses(selection_criterion::genomic_ebv);
  const bool pedigree_t = p.some_index_uses(selection_criterion::pedigree_ebv);
  const bool genomic_t = p.some_index_uses(selection_criterion::genomic_ebv);
  const int64_t traits = std::max(1, p.ntrait);
  // A multi-trait solve keeps about seven vectors of T values per unknown
  // group (solution, start, right-hand side and the four of the iteration)
  // and its inverted T x T diagonal block.
  const int64_t group = 8 * (7 * traits + traits * traits);
  if (pedigree1 || genomic1) ebv += 16 * valued;  // the phenotype records
  if (pedigree_t || genomic_t) ebv += (4 + 8 * traits) * valued;  // every trait's phenotypes
  if (pedigree1 || pedigree_t) ebv += 350 * (valued + p.stages[1].block.nind);
  if (pedigree_t) ebv += group * (valued + p.stages[1].block.nind);
  if (genomic1 || genomic_t) {
    const int64_t k = std::max(1, p.gblup_generations);
    // the markers of the chip when there is one, otherwise every marker
    const int64_t used = p.chip_markers > 0 ? std::min<int64_t>(p.chip_markers, p.markers()) : p.markers();
    const int64_t row = (used + 3) / 4;
    const int64_t ref = k * nind;
    ebv += (k + 1) * nind * row + 2 * ref * row + 512 * (ref + used) + 64 * (ref + used);
    if (genomic_t) ebv += 8 * traits * (k + 1) * nind + group * used + 4 * 8 * traits * ref;
  }
  // Choosing and pairing parents: the kept candidates' haplotypes, the
  // pedigree relationships of the living animals (two dense matrices: the
  // kept and the current generation), the relationships among the
  // candidates (with a genomic relationship, also its packed rows).
  int64_t choice = 0;
  if (p.some_stage_allocates()) {
    int64_t kept = 0;
    for (const planned_stage& stage : plan) {
      const stage_block& b = stage.block();
      const int32_t years = std::max(b.ages.sire_generations, b.ages.dam_generations);
      if (years > 1) kept = std::max<int64_t>(kept, static_cast<int64_t>(years - 1) * (b.nsire + b.ndam));
    }
    const int64_t living = nind + kept;
    if (kept > 0) choice += 2 * kept * packed_loci / 8 + 2 * living * packed_loci / 8;  // kept, and the joined copy
    if (p.some_stage_relates_by(relationship_source::pedigree)) choice += 2 * 8 * living * living;
    choice += 8 * living * living;
    if (p.some_stage_relates_by(relationship_source::genomic)) choice += 2 * living * packed_loci / 8;
  }
  const int64_t history_file = history_file_memory(p, h);
  return haplotypes + summary + bookkeeping + history + values + files + program + ebv + choice + history_file;
}

int64_t pages_worth_keeping(const run_parameters& p) {
  constexpr int64_t mb = int64_t{1} << 20;
  const int64_t threads = std::max(1, p.threads);
  int64_t nind = 0;
  for (const planned_stage& stage : stage_plan(p))
    if (stage.number() >= 2) nind = std::max<int64_t>(nind, stage.block().nind);
  // A round of blocks being formatted (two of 1 MB per thread), the buffers
  // of the three files of a generation and those that hash the files at the
  // end (1 MB each), and the text waiting for the writing thread: at most
  // 24 MB, at most a generation's haplotype files.
  const int64_t generation_text = 2 * nind * (2 * (static_cast<int64_t>(p.markers()) + p.nqtl) + 40);
  const int64_t text = (3 * threads + 3) * mb + (p.threads >= 2 ? std::min(24 * mb, generation_text) : 0);
  const int64_t row_bytes =
      p.packed_genome ? 8 * (haplotype_words(p.markers()) + haplotype_words(p.candidate_loci()))
                      : static_cast<int64_t>(p.markers()) + p.candidate_loci();
  return text + 2 * nind * row_bytes;
}

int64_t available_memory() {
  std::FILE* f = std::fopen("/proc/meminfo", "r");
  if (!f) return -1;
  char line[256];
  int64_t kb = -1;
  while (std::fgets(line, sizeof line, f)) {
    long long v = 0;
    if (std::sscanf(line, "MemAvailable: %lld kB", &v) == 1) {
      kb = v;
      break;
    }
  }
  std::fclose(f);
  return kb < 0 ? -1 : kb * 1024;
}

namespace {
std::string megabytes(int64_t b) { return std::to_string((b + (1 << 20) - 1) >> 20) + " MB"; }
}  // namespace

int64_t memory_limit(const run_parameters& p) {
  return p.max_memory_bytes > 0 ? p.max_memory_bytes : available_memory();
}

void check_memory_estimate(const run_parameters& p, history_sizing h) {
  const int64_t need = estimate_peak_memory(p, h);
  const bool explicit_limit = p.max_memory_bytes > 0;
  const int64_t limit = memory_limit(p);
  if (limit < 0 || need <= limit) return;
  stop("This run needs about " + megabytes(need) + " of memory, more than the " + megabytes(limit) +
       (explicit_limit ? " that --max-memory allows" : " available on this machine") +
       ". Reduce nind, the number of markers (nmpc x nchr) or the generations, or raise --max-memory.");
}

}  // namespace qm
