#include "output/size_estimate.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "config/stage_plan.hpp"

namespace qm {

namespace {

int64_t digits(int64_t v) {
  int64_t d = 1;
  for (v = v < 0 ? -v : v; v >= 10; v /= 10) ++d;
  return d;
}

// Bytes of the identifiers of animals 1..n of file generation g, each
// zero-padded to six digits or as wide as it needs.
int64_t identifier_bytes(int64_t g, int64_t idmult, int64_t n) {
  int64_t bytes = 0, first = g * idmult + 1, last = g * idmult + n;
  for (int64_t from = first; from <= last;) {
    const int64_t w = std::max<int64_t>(6, digits(from));
    int64_t upto = last;
    if (w > 6 || digits(last) > 6) {
      int64_t limit = 1;
      for (int64_t k = 0; k < w; ++k) limit *= 10;
      upto = std::min(last, limit - 1);
    } else {
      upto = last;
    }
    bytes += (upto - from + 1) * w;
    from = upto + 1;
  }
  return bytes;
}

// A marker line of a .bim: chromosome, name chrC-NNNN, centimorgans (up to
// six decimals, trailing zeros dropped), base pair + 1, the alleles; for
// markers spaced evenly along chromosomes of chrlen Morgan.
int64_t bim_bytes(const run_parameters& p, int64_t extra_variants) {
  int64_t bytes = 0;
  const int64_t n = p.nmpc;
  char cm[64];
  for (int64_t j = 0; j < n; ++j) {
    const double f = n > 1 ? static_cast<double>(j) / static_cast<double>(n - 1) : 0.0;
    const double morgan = f * p.chrlen;
    std::snprintf(cm, sizeof cm, "%.6f", 100.0 * morgan);
    std::string t = cm;
    while (!t.empty() && t.back() == '0') t.pop_back();
    if (!t.empty() && t.back() == '.') t.pop_back();
    const int64_t bp = static_cast<int64_t>(morgan * 1e8) + 1;
    bytes += static_cast<int64_t>(t.size()) + digits(bp) + 3 + std::max<int64_t>(4, digits(j + 1)) + 5 + 5;
  }
  int64_t chromosome_digits = 0;
  for (int64_t c = 1; c <= p.nchr; ++c) chromosome_digits += 2 * digits(c);
  bytes = bytes * p.nchr + chromosome_digits * n;
  // A QTL line is as long as a marker line, its name QTLnnnn as long as chrC-NNNN less one.
  if (extra_variants > 0 && p.markers() > 0) bytes += extra_variants * (bytes / p.markers());
  return bytes;
}

// The expected heterozygosity of the markers after stage 1: mutation
// (rate mutm) and drift (the effective size 4 S D / (S + D) of stage 1's
// sires S and dams D) from a population of one allele, over the
// generations with mutation: theta / (1 + theta) x (1 - exp(-t / 2 Ne)),
// theta = 4 Ne mutm.
double expected_heterozygosity(const run_parameters& p) {
  const stage_block& b = p.stage1();
  const double s = std::max(1, b.nsire), d = std::max(1, b.ndam);
  const double ne = 4.0 * s * d / (s + d);
  const double theta = 4.0 * ne * p.mutm;
  const double t = std::max(0, b.ngen - 10);
  return theta / (1.0 + theta) * (1.0 - std::exp(-t / (2.0 * ne)));
}

// The markers of the PLINK and VCF files: the SNP chip's, when the run has
// one and --all-markers is not given, otherwise every marker.
int64_t written_markers(const run_parameters& p, const output_choice& c) {
  if (p.chip_markers > 0 && !c.all_markers) return std::min<int64_t>(p.chip_markers, p.markers());
  return p.markers();
}

// The .bim lines of the markers written and extra_variants QTL: those of
// every marker, scaled to the chip's share of them.
int64_t written_bim_bytes(const run_parameters& p, const output_choice& c, int64_t extra_variants) {
  const int64_t all = bim_bytes(p, 0), markers = p.markers(), written = written_markers(p, c);
  const int64_t of_markers = markers > 0 && written != markers
                                 ? static_cast<int64_t>(static_cast<double>(all) * static_cast<double>(written) /
                                                        static_cast<double>(markers))
                                 : all;
  const int64_t line = markers > 0 ? all / markers : 0;
  return of_markers + extra_variants * line;
}

}  // namespace

std::string byte_text(int64_t bytes) {
  const char* units[] = {"B", "kB", "MB", "GB", "TB"};
  double v = static_cast<double>(bytes);
  int u = 0;
  while (v >= 1000.0 && u < 4) {
    v /= 1000.0;
    ++u;
  }
  char b[32];
  if (u == 0) std::snprintf(b, sizeof b, "%lld B", static_cast<long long>(bytes));
  else std::snprintf(b, sizeof b, v < 10 ? "%.2f %s" : v < 100 ? "%.1f %s" : "%.0f %s", v, units[u]);
  return b;
}

std::map<std::string, int64_t> generation_file_sizes(const run_parameters& p, const output_choice& c,
                                                     const stage_block& b, const generation_step& g) {
  std::map<std::string, int64_t> sizes;
  if (!g.files_due) return sizes;
  const int64_t markers = p.markers(), nqtl = p.nqtl, ntrait = std::max(1, p.ntrait);
  const int64_t n = b.nind, gen = g.file_generation;
  const int64_t gen_width = std::max<int64_t>(6, digits(gen));
  const int64_t ids = identifier_bytes(gen, p.idmult, n);
  const int64_t parent_ids = gen == 0 ? 6 * 2 * n : 2 * identifier_bytes(gen - 1, p.idmult, n);
  if (c.wants("haplotypes"))
    sizes["haplotypes"] = 2 * (2 * n * (2 + gen_width + 2 + 1) + 2 * ids) + 2 * n * 2 * (markers + nqtl);
  if (c.wants("values")) {
    const int64_t head = 7 * 3 + 5 * 2 + ntrait * 20 + 1;
    sizes["values"] = head + n * (2 + 2 + 2 + 3 + 3 + 1 + 40 * ntrait) + ids + parent_ids;
  }
  if (c.wants("ebv") && g.stage >= 2 && selects_on_ebv(b.criterion())) sizes["ebv"] = 36 + n * (2 + 2 + 18 + 8 + 1) + ids;
  // An index over a multi-trait evaluation: one EBV column per trait and the index.
  if (c.wants("ebv") && g.stage >= 2 && b.criterion() == selection_criterion::index && selects_on_ebv(b.evaluated()))
    sizes["ebv"] = 7 + 20 * (ntrait + 1) + 8 + 1 + n * (2 + 20 * (ntrait + 1) + 8 + 1) + ids;
  if (c.wants("plink")) {
    const int64_t variants = written_markers(p, c) + (c.plink_qtl ? nqtl : 0);
    const int64_t phenotype = p.thresh == 1 ? 1 : 19;
    // The parents are of the generation before, outside the fileset: "0"
    // unless every parent is written.
    const int64_t parents = gen == 0 || !c.fam_all_parents ? 2 * n : parent_ids;
    const int64_t fam = n * (2 + 1 + 1 + 1 + 1 + 1 + phenotype + 1) + ids + parents;
    sizes["plink"] = 3 + variants * ((n + 3) / 4) + written_bim_bytes(p, c, c.plink_qtl ? nqtl : 0) + fam;
  }
  if (c.wants("vcf")) {
    // Compressed, a line costs about 25 bytes and 0.9 bytes per animal
    // and unit of the markers' expected heterozygosity (lines of one
    // allele compress to almost nothing); the index about 9 bytes a marker.
    const double h = expected_heterozygosity(p);
    const int64_t variants = written_markers(p, c) + (c.vcf_qtl ? nqtl : 0);
    sizes["vcf"] = static_cast<int64_t>(static_cast<double>(variants) * (25.0 + 0.9 * static_cast<double>(n) * h)) +
                   9 * variants + 1500 + ids;
  }
  return sizes;
}

size_estimate estimate_file_sizes(const run_parameters& p, const output_choice& c) {
  size_estimate e;
  const stage_plan plan(p);
  const stage_plan chosen = plan.with_files_chosen(c.generations);
  const int64_t markers = p.markers(), nqtl = p.nqtl, ntrait = std::max(1, p.ntrait);
  const int64_t generations = plan.generations();
  // summary.csv has a row for every generation with files, chosen or not.
  int64_t rows = 0;
  for (const planned_stage& stage : plan)
    stage.for_each_generation([&](const generation_step& g) { rows += g.files_due ? 1 : 0; });
  for (const planned_stage& stage : chosen)
    stage.for_each_generation([&](const generation_step& g) {
      for (const auto& [kind, bytes] : generation_file_sizes(p, c, stage.block(), g)) {
        kind_size& k = e.kinds[kind];
        k.total += bytes;
        ++k.generations;
        k.per_generation = std::max(k.per_generation, bytes);
      }
    });
  // summary.csv: its header and a row per generation with files, shorter
  // after the first twenty (fewer digits once QTL are fixed); ld_decay.csv
  // about 700 bytes. report.html: the page, a table row per generation and
  // plots that grow to their full size within the first twenty rows.
  // Measured on runs of 1 to 3 traits and 3 to 101 rows.
  const double nt = static_cast<double>(ntrait), r = static_cast<double>(rows);
  if (c.wants("summary")) {
    kind_size& k = e.kinds["summary"];
    const double early = std::min(r, 21.0), late = r - early;
    k.total = static_cast<int64_t>(280 + 70 * nt + early * (330 + 170 * nt) + late * (220 + 110 * nt) + 700);
    k.generations = rows;
    k.per_generation = rows > 0 ? static_cast<int64_t>(330 + 170 * nt) : 0;
  }
  if (c.wants("report")) {
    kind_size& k = e.kinds["report"];
    const double per_row = 360 * (1 + 0.25 * (nt - 1));
    k.total = static_cast<int64_t>(34000 + 2700 * nt + per_row * r + 6000 * (1 - std::exp(-std::max(0.0, r - 3) / 5)));
    k.generations = rows;
    k.per_generation = rows > 0 ? static_cast<int64_t>(per_row) : 0;
  }
  // Run-wide: MMAP.out (16 bytes a marker), QMAP.out (18 bytes a QTL and
  // trait), the genetic parameters, mposition.out (43 bytes a marker with a
  // random map), log.txt (its heading and 29 bytes a generation), run.json
  // (its fields and 130 bytes a file).
  int64_t files = 5;
  for (const auto& [kind, k] : e.kinds) {
    const int64_t per = kind == "haplotypes" || kind == "vcf" ? 2 : kind == "plink" ? 3 : 1;
    files += kind == "summary" || kind == "report" ? 2 : per * k.generations;
  }
  e.run_wide = 16 * markers + 370 + 18 * nqtl * ntrait + 150 + 60 * ntrait * ntrait +
               (p.maptype == 1 ? 43 * markers : 0) + 900 + 29 * generations + 700 + 130 * files;
  // genome.fa (nucleotide alleles, written with the first PLINK or VCF
  // files): a line of 60 bases and a line end for every 60 base pairs of the
  // chromosomes (10^8 a Morgan), compressed to about a hundredth since
  // nearly every line repeats the one before, 16 bytes of .gzi for every
  // block of 65280 bytes of text, and about 7 bytes for every locus with its
  // bases. Measured: 5.0 MB for 5 x 1 Morgan with 1005 loci.
  const bool genotype_files = e.kinds.count("plink") > 0 || e.kinds.count("vcf") > 0;
  if (c.nucleotide && genotype_files) {
    const double text = static_cast<double>(p.nchr) * static_cast<double>(p.chrlen) * 1e8 * 61.0 / 60.0;
    e.reference = static_cast<int64_t>(text / 100.0 + 16.0 * text / 65280.0) +
                  7 * (markers + static_cast<int64_t>(p.candidate_loci())) + 100 * p.nchr;
  }
  e.total = e.run_wide + e.reference;
  for (const auto& [kind, k] : e.kinds) e.total += k.total;
  return e;
}

}  // namespace qm
