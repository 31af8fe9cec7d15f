#include "ebv/evaluation.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/fixed.hpp"
#include "base/messages.hpp"
#include "base/threads.hpp"
#include "ebv/animal_model.hpp"
#include "ebv/multi_trait_genomic.hpp"
#include "ebv/multi_trait_model.hpp"
#include "pedigree/inbreeding.hpp"

namespace qm {

namespace {

constexpr int32_t pack_chunk = 64;  // animals packed by one part of the work

void not_converged(const char* what, int32_t g, const pcg_result& r) {
  std::string s = "Warning: the ";
  s += what;
  s += " equations of generation " + std::to_string(g) + " stopped after " + std::to_string(r.iterations) +
       " iterations with a relative residual of ";
  add_f(s, r.rel_residual, 12, 10);
  s += " (the criterion is 1e-10); their estimates are used as they are.";
  show(s);
}

// The alleles of haplotype h at the loci of pick, in that order, into out.
void gather_alleles(const haplotype_matrix& m, int32_t h, std::span<const int32_t> pick, int8_t* out) {
  if (m.packed()) {
    const uint64_t* row = m.row(h);
    for (size_t k = 0; k < pick.size(); ++k) {
      const int32_t l = pick[k];
      out[k] = static_cast<int8_t>(1 + ((row[l >> 6] >> (l & 63)) & 1u));
    }
    return;
  }
  const int8_t* col = m.column(h);
  for (size_t k = 0; k < pick.size(); ++k) out[k] = col[pick[k]];
}

}  // namespace

packed_genotypes pack_marker_dosages(const haplotype_matrix& markers, int32_t nind, int threads,
                                     std::span<const int32_t> pick) {
  if (markers.haplotypes() < 2 * nind)
    stop("genomic prediction: " + std::to_string(markers.haplotypes()) + " marker haplotypes for " +
         std::to_string(nind) + " animals");
  packed_genotypes g;
  g.n = nind;
  g.m = pick.empty() ? markers.loci() : static_cast<int64_t>(pick.size());
  g.row_bytes = (g.m + 3) / 4;
  g.by_animal.assign(static_cast<size_t>(g.n * g.row_bytes), 0);
  const int parts = (nind + pack_chunk - 1) / pack_chunk;
  const auto body = [&](int k) {
    const int32_t a = k * pack_chunk, e = std::min(nind, a + pack_chunk);
    // the two haplotypes unpacked when they are kept one bit per allele,
    // or their picked alleles
    const bool gather = !pick.empty();
    std::vector<int8_t> u0(gather ? static_cast<size_t>(g.m) : markers.packed() ? static_cast<size_t>(markers.loci()) : 0),
        u1(u0.size());
    for (int32_t i = a; i < e; ++i) {  // animal i + 1: haplotypes 2i and 2i + 1
      const int8_t* h0;
      const int8_t* h1;
      if (gather) {
        gather_alleles(markers, 2 * i, pick, u0.data());
        gather_alleles(markers, 2 * i + 1, pick, u1.data());
        h0 = u0.data();
        h1 = u1.data();
      } else {
        h0 = markers.read(2 * i, u0.data());
        h1 = markers.read(2 * i + 1, u1.data());
      }
      uint8_t* row = g.by_animal.data() + static_cast<int64_t>(i) * g.row_bytes;
      int64_t j = 0;
#if defined(__SSE2__)
      // Sixteen markers at a time: the dosages as bytes, then four of them
      // (a 32-bit lane) folded into the low byte of the lane, and the four
      // low bytes packed together.
      const __m128i one = _mm_set1_epi8(1);
      for (; j + 16 <= g.m; j += 16) {
        const __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h0 + j));
        const __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h1 + j));
        const __m128i d = _mm_add_epi8(_mm_and_si128(_mm_cmpeq_epi8(a0, one), one),
                                       _mm_and_si128(_mm_cmpeq_epi8(a1, one), one));
        __m128i v = _mm_or_si128(_mm_or_si128(d, _mm_srli_epi32(d, 6)),
                                 _mm_or_si128(_mm_srli_epi32(d, 12), _mm_srli_epi32(d, 18)));
        v = _mm_and_si128(v, _mm_set1_epi32(255));
        v = _mm_packs_epi32(v, v);
        v = _mm_packus_epi16(v, v);
        const int32_t four = _mm_cvtsi128_si32(v);
        std::memcpy(row + j / 4, &four, 4);
      }
#endif
      for (; j + 4 <= g.m; j += 4) {
        unsigned b = 0;
        for (int q = 0; q < 4; ++q)
          b |= static_cast<unsigned>((h0[j + q] == 1) + (h1[j + q] == 1)) << (2 * q);
        row[j / 4] = static_cast<uint8_t>(b);
      }
      for (; j < g.m; ++j)
        row[j / 4] = static_cast<uint8_t>(row[j / 4] | (((h0[j] == 1) + (h1[j] == 1)) << (2 * (j % 4))));
    }
  };
  run_parallel(threads < 1 ? 1 : threads, parts, [&body](int k) { body(k); });
  return g;
}

void ebv_evaluation::plan(const run_parameters& p, int32_t historical_generations) {
  *this = ebv_evaluation{};
  const bool single_pedigree = p.some_stage_uses(selection_criterion::pedigree_ebv);
  const bool single_genomic = p.some_stage_uses(selection_criterion::genomic_ebv);
  const bool multi_pedigree = p.some_index_uses(selection_criterion::pedigree_ebv);
  const bool multi_genomic = p.some_index_uses(selection_criterion::genomic_ebv);
  single_used_ = single_pedigree || single_genomic;
  pedigree_used_ = single_pedigree || multi_pedigree;
  genomic_used_ = single_genomic || multi_genomic;
  traits_ = multi_pedigree || multi_genomic ? std::max(1, p.ntrait) : 0;
  historical_ = std::max(0, historical_generations);
  reference_generations_ = std::max(1, p.gblup_generations);
}

int64_t ebv_evaluation::genotype_bytes() const {
  int64_t b = 0;
  for (const genotyped_generation& x : geno_) b += static_cast<int64_t>(x.g.by_animal.size());
  return b;
}

std::span<const double> ebv_evaluation::scores_for(selection_criterion c, int32_t g) const {
  if (!selects_on_ebv(c) || c != method_ || !estimated_for(g)) return {};
  return ebv_;
}

void ebv_evaluation::record_generation(const population& pop, const pedigree_history& h, int threads) {
  if (!active()) return;
  const int32_t g = h.generations() - 1;
  if (g == recorded_generation_) return;  // recorded already
  if (h.size_of(g) != pop.nind || pop.phenotype.size() < static_cast<size_t>(pop.nind))
    stop("breeding-value estimation: generation " + std::to_string(g) + " has " + std::to_string(h.size_of(g)) +
         " animals in the pedigree history but " + std::to_string(pop.nind) + " with phenotypes");
  if (!based_) {  // the first generation of stage 2
    based_ = true;
    const int32_t base_generation = historical_ == 0 ? 0 : std::max(0, g - historical_);
    offset_ = h.first_of(base_generation) - 1;
  }
  const int64_t first = h.first_of(g);
  if (first + pop.nind - 1 - offset_ > std::numeric_limits<int32_t>::max())
    stop("breeding-value estimation: more than 2147483647 animals in the pedigree; run fewer or smaller generations");
  recorded_generation_ = g;
  recorded_first_ = first;
  recorded_n_ = pop.nind;
  if (single_used_)
    for (int32_t i = 1; i <= pop.nind; ++i) {
      const double y = pop.phenotype_of(i, 1);
      if (std::isnan(y)) continue;  // not recorded
      rec_animal_.push_back(static_cast<int32_t>(first + i - 1 - offset_));
      rec_y_.push_back(y);
    }
  if (traits_ > 0) {
    if (pop.phenotype.size() < static_cast<size_t>(pop.nind) * static_cast<size_t>(traits_))
      stop("breeding-value estimation: generation " + std::to_string(g) + " has phenotypes of fewer than " +
           std::to_string(traits_) + " traits");
    for (int32_t i = 1; i <= pop.nind; ++i) {
      bool any = false;
      for (int32_t t = 1; t <= traits_; ++t) any = any || !std::isnan(pop.phenotype_of(i, t));
      if (!any) continue;
      trait_animal_.push_back(static_cast<int32_t>(first + i - 1 - offset_));
      for (int32_t t = 1; t <= traits_; ++t) trait_y_.push_back(pop.phenotype_of(i, t));
    }
  }
  if (genomic_used_) {
    genotyped_generation x;
    x.g = pack_marker_dosages(pop.markers, pop.nind, threads, markers_);
    x.y.assign(pop.phenotype.begin(), pop.phenotype.begin() + pop.nind);
    if (traits_ > 0) {
      x.traits.resize(static_cast<size_t>(pop.nind) * static_cast<size_t>(traits_));
      for (int32_t i = 1; i <= pop.nind; ++i)
        for (int32_t t = 1; t <= traits_; ++t)
          x.traits[static_cast<size_t>(i - 1) * static_cast<size_t>(traits_) + static_cast<size_t>(t - 1)] =
              pop.phenotype_of(i, t);
    }
    geno_.push_back(std::move(x));
    while (static_cast<int32_t>(geno_.size()) > reference_generations_) geno_.pop_front();
  }
}

void ebv_evaluation::estimate(selection_criterion c, const pedigree_history& h, double h2, int threads) {
  const int32_t g = h.generations() - 1;
  if (recorded_generation_ != g)
    stop("breeding-value estimation: generation " + std::to_string(g) +
         " has no recorded phenotypes; estimated breeding values need the phenotypes of stage 2 and later");
  if (c == selection_criterion::pedigree_ebv && pedigree_used_ && single_used_) {
    estimate_pedigree(h, h2, threads);
  } else if (c == selection_criterion::genomic_ebv && genomic_used_ && single_used_) {
    estimate_genomic(h2, threads);
  } else {
    stop("breeding-value estimation: seltype " + std::to_string(static_cast<int>(c)) +
         " was not planned for this run");
  }
  method_ = c;
  estimated_generation_ = g;
}

void ebv_evaluation::append_pedigree(const pedigree_history& h) {
  // The new animals of the history, parents before the pedigree base unknown.
  const int64_t n = h.size() - offset_;
  if (static_cast<int64_t>(sire_.size()) == n) return;
  for (int64_t k = static_cast<int64_t>(sire_.size()) + 1; k <= n; ++k) {
    const pedigree_record& r = h.at(offset_ + k);
    sire_.push_back(r.sire > offset_ ? static_cast<int32_t>(r.sire - offset_) : 0);
    dam_.push_back(r.dam > offset_ ? static_cast<int32_t>(r.dam - offset_) : 0);
  }
  inbreeding_append(sire_, dam_, f_);
  ainverse_append(ainv_, sire_, dam_, f_);
}

double ebv_evaluation::pedigree_ebv_at(int64_t k) const {
  const int64_t a = k - offset_;  // pedigree animal, from 1
  if (a < 1 || static_cast<size_t>(a) >= prev_x_.size())
    stop("breeding-value estimation: animal " + std::to_string(k) + " of the history has no pedigree-BLUP EBV");
  return prev_x_[static_cast<size_t>(a)];
}

double ebv_evaluation::trait_ebv_at(int64_t k, int32_t t) const {
  const int64_t a = k - offset_;
  const size_t at = static_cast<size_t>(a) * static_cast<size_t>(traits_) + static_cast<size_t>(t - 1);
  if (a < 1 || t < 1 || t > traits_ || at >= prev_trait_x_.size())
    stop("breeding-value estimation: animal " + std::to_string(k) + " of the history has no multi-trait pedigree-BLUP EBV");
  return prev_trait_x_[at];
}

void ebv_evaluation::estimate_pedigree(const pedigree_history& h, double h2, int threads) {
  append_pedigree(h);

  pcg_options opt;
  opt.tol = ebv_tolerance;
  opt.max_iter = ebv_max_iterations;
  opt.threads = threads;
  const std::vector<double> start = prev_x_.empty() ? std::vector<double>{} : extend_start(prev_x_, 1, sire_, dam_);
  const animal_records rec{rec_animal_, rec_y_, {}, 1};
  animal_model_solution sol = solve_animal_model(ainv_, lambda_from_h2(h2), rec, start, opt);
  stats_ = sol.stats;
  if (!stats_.converged) not_converged("pedigree-BLUP", recorded_generation_, stats_);
  const std::span<const double> a = sol.ebv();
  const size_t from = static_cast<size_t>(recorded_first_ - offset_ - 1);
  ebv_.assign(a.begin() + static_cast<std::ptrdiff_t>(from),
              a.begin() + static_cast<std::ptrdiff_t>(from + static_cast<size_t>(recorded_n_)));
  prev_x_ = std::move(sol.x);
}

packed_genotypes ebv_evaluation::reference(bool multi, std::vector<double>& y, int threads) const {
  // The kept generations, oldest first, rows one after the other; an animal
  // without a record (of trait 1, or of any trait for multi) is left out.
  packed_genotypes ref;
  ref.m = geno_.back().g.m;
  ref.row_bytes = geno_.back().g.row_bytes;
  const size_t width = multi ? static_cast<size_t>(traits_) : 1;
  const auto recorded = [&](const genotyped_generation& x, int64_t i) {
    if (!multi) return !std::isnan(x.y[static_cast<size_t>(i)]);
    for (size_t t = 0; t < width; ++t)
      if (!std::isnan(x.traits[static_cast<size_t>(i) * width + t])) return true;
    return false;
  };
  for (const genotyped_generation& x : geno_) {
    if (x.g.m != ref.m) stop("genomic prediction: the generations differ in their number of markers");
    for (int64_t i = 0; i < x.g.n; ++i) ref.n += recorded(x, i);
  }
  ref.by_animal.resize(static_cast<size_t>(ref.n * ref.row_bytes));
  y.clear();
  y.reserve(static_cast<size_t>(ref.n) * width);
  size_t at = 0;
  for (const genotyped_generation& x : geno_) {
    const std::vector<double>& v = multi ? x.traits : x.y;
    int64_t i = 0;
    while (i < x.g.n) {  // runs of recorded animals copied at once
      if (!recorded(x, i)) {
        ++i;
        continue;
      }
      int64_t e = i + 1;
      while (e < x.g.n && recorded(x, e)) ++e;
      const size_t bytes = static_cast<size_t>((e - i) * ref.row_bytes);
      std::memcpy(ref.by_animal.data() + at, x.g.by_animal.data() + static_cast<size_t>(i * ref.row_bytes), bytes);
      at += bytes;
      y.insert(y.end(), v.begin() + static_cast<std::ptrdiff_t>(static_cast<size_t>(i) * width),
               v.begin() + static_cast<std::ptrdiff_t>(static_cast<size_t>(e) * width));
      i = e;
    }
  }
  if (ref.n == 0) stop("genomic prediction: no animal of the reference generations has a record");
  add_marker_major(ref, threads);
  return ref;
}

void ebv_evaluation::estimate_genomic(double h2, int threads) {
  std::vector<double> y;
  const packed_genotypes ref = reference(false, y, threads);

  pcg_options opt;
  opt.tol = ebv_tolerance;
  opt.max_iter = ebv_max_iterations;
  opt.threads = threads;
  const snp_blup_solution sol = snp_blup(ref, y, h2, prev_snp_, opt);
  stats_ = sol.stats;
  if (!stats_.converged) not_converged("SNP-BLUP", recorded_generation_, stats_);
  ebv_ = gebv(geno_.back().g, sol, threads);
  prev_snp_.assign(1, sol.mu);
  prev_snp_.insert(prev_snp_.end(), sol.effects.begin(), sol.effects.end());
  last_snp_ = sol;
}

std::vector<double> ebv_evaluation::genomic_ebvs_of(const haplotype_matrix& markers, int32_t n, int threads) const {
  if (last_snp_.effects.empty()) stop("breeding-value estimation: no genomic estimate to give animals of earlier generations GEBVs");
  if (n == 0) return {};
  return gebv(pack_marker_dosages(markers, n, threads, markers_), last_snp_, threads);
}

std::vector<double> ebv_evaluation::genomic_trait_ebvs_of(const haplotype_matrix& markers, int32_t n,
                                                          int threads) const {
  if (last_trait_snp_.x.empty())
    stop("breeding-value estimation: no multi-trait genomic estimate to give animals of earlier generations GEBVs");
  if (n == 0) return {};
  return multi_trait_gebv(pack_marker_dosages(markers, n, threads, markers_), last_trait_snp_, threads);
}

std::span<const double> ebv_evaluation::current_trait(int32_t t) const {
  if (t < 1 || t > traits_ || trait_ebv_.empty()) return {};
  const size_t n = trait_ebv_.size() / static_cast<size_t>(traits_);
  return {trait_ebv_.data() + static_cast<size_t>(t - 1) * n, n};
}

std::vector<double> ebv_evaluation::index_of(std::span<const double> weights) const {
  if (trait_ebv_.empty()) return {};
  if (static_cast<int32_t>(weights.size()) != traits_)
    stop("breeding-value estimation: an index of " + std::to_string(weights.size()) + " weights for " +
         std::to_string(traits_) + " traits; give one weight per trait");
  const size_t n = trait_ebv_.size() / static_cast<size_t>(traits_);
  std::vector<double> v(n, 0.0);
  for (size_t i = 0; i < n; ++i) {
    double s = 0.0;
    for (size_t t = 0; t < weights.size(); ++t) s += weights[t] * trait_ebv_[t * n + i];
    v[i] = s;
  }
  return v;
}

void ebv_evaluation::estimate_traits(selection_criterion c, const pedigree_history& h, std::span<const double> g0,
                                     std::span<const double> r0, int threads) {
  const int32_t g = h.generations() - 1;
  if (recorded_generation_ != g)
    stop("breeding-value estimation: generation " + std::to_string(g) +
         " has no recorded phenotypes; estimated breeding values need the phenotypes of stage 2 and later");
  if (traits_ == 0 || !((c == selection_criterion::pedigree_ebv && pedigree_used_) ||
                        (c == selection_criterion::genomic_ebv && genomic_used_)))
    stop("breeding-value estimation: a multi-trait evaluation by seltype " + std::to_string(static_cast<int>(c)) +
         " was not planned for this run");
  const size_t tt = static_cast<size_t>(traits_) * static_cast<size_t>(traits_);
  if (g0.size() != tt || r0.size() != tt)
    stop("breeding-value estimation: covariance matrices of " + std::to_string(g0.size()) + " and " +
         std::to_string(r0.size()) + " entries for " + std::to_string(traits_) + " traits");
  pcg_options opt;
  opt.tol = ebv_tolerance;
  opt.max_iter = ebv_max_iterations;
  opt.threads = threads;
  const size_t n = static_cast<size_t>(recorded_n_);
  trait_ebv_.assign(n * static_cast<size_t>(traits_), 0.0);
  if (c == selection_criterion::pedigree_ebv) {
    append_pedigree(h);
    const std::vector<double> start =
        prev_trait_x_.empty() ? std::vector<double>{} : extend_trait_start(prev_trait_x_, traits_, sire_, dam_);
    const trait_records rec{traits_, trait_animal_, trait_y_};
    multi_trait_solution sol = solve_multi_trait_model(ainv_, g0, r0, rec, start, opt);
    traits_stats_ = sol.stats;
    if (!traits_stats_.converged) not_converged("multi-trait pedigree-BLUP", recorded_generation_, traits_stats_);
    const int64_t from = recorded_first_ - offset_ - 1;
    for (int32_t t = 0; t < traits_; ++t)
      for (size_t i = 0; i < n; ++i) trait_ebv_[static_cast<size_t>(t) * n + i] = sol.ebv(from + static_cast<int64_t>(i), t);
    prev_trait_x_ = std::move(sol.x);
  } else {
    std::vector<double> y;
    const packed_genotypes ref = reference(true, y, threads);
    const std::vector<double> centre = centre_2p(ref);
    const int64_t dim = static_cast<int64_t>(traits_) * (1 + ref.m);
    const std::span<const double> start =
        static_cast<int64_t>(prev_trait_snp_.size()) == dim ? std::span<const double>(prev_trait_snp_) : std::span<const double>{};
    multi_trait_snp_solution sol = multi_trait_snp_blup(ref, y, traits_, centre, g0, r0, start, opt);
    traits_stats_ = sol.stats;
    if (!traits_stats_.converged) not_converged("multi-trait SNP-BLUP", recorded_generation_, traits_stats_);
    trait_ebv_ = multi_trait_gebv(geno_.back().g, sol, threads);
    last_trait_snp_ = sol;
    prev_trait_snp_ = std::move(sol.x);
  }
  traits_method_ = c;
  traits_generation_ = g;
}

}  // namespace qm
