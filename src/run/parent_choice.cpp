#include "run/parent_choice.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "base/fixed.hpp"
#include "base/messages.hpp"
#include "population/mate_allocation.hpp"
#include "run/run_state.hpp"
#include "values/optimum_contributions.hpp"
#include "values/selection.hpp"

namespace qm {

namespace {

// History position of candidate i (current generation first, then the kept animals).
int64_t position_of(const run_state& st, int32_t i) {
  const population& pop = st.pop;
  return i <= pop.nind ? st.history.position_in_current(i) : pop.kept.position[static_cast<size_t>(i - pop.nind - 1)];
}

// The identifier in the result files of the animal at history position k,
// when the last generation of the history has file generation `file_generation`.
std::string identifier_of(const run_state& st, int64_t k, int64_t file_generation) {
  const int64_t id = st.history.file_identifier(k, file_generation, st.params.idmult);
  return std::to_string(id) + " (animal " + std::to_string(id % st.params.idmult) + " of generation " +
         std::to_string(id / st.params.idmult) + ")";
}

// The two haplotype rows of candidate i, packed (bytes layouts are packed
// into scratch first).
void candidate_rows(const run_state& st, int32_t i, std::vector<const uint64_t*>& rows,
                    std::vector<std::vector<uint64_t>>& scratch) {
  const population& pop = st.pop;
  const haplotype_matrix& m = i <= pop.nind ? pop.markers : pop.kept.markers;
  const int32_t h0 = i <= pop.nind ? 2 * (i - 1) : 2 * (i - pop.nind - 1);
  for (int32_t h = h0; h < h0 + 2; ++h) {
    if (m.packed()) {
      rows.push_back(m.row(h));
      continue;
    }
    std::vector<uint64_t>& w = scratch.emplace_back(haplotype_matrix::words_for(m.loci()), 0);
    const int8_t* col = m.column(h);
    for (int32_t l = 0; l < m.loci(); ++l)
      if (col[l] == 2) w[static_cast<size_t>(l) >> 6] |= uint64_t{1} << (l & 63);
    rows.push_back(w.data());
  }
}

// The relationship matrix (row-major) among the candidates listed, from the
// source the stage uses.
void relationships_among(const run_state& st, relationship_source source, std::span<const int32_t> who,
                         std::vector<double>& out) {
  if (source == relationship_source::pedigree) {
    if (!st.choice.relationships_on)
      stop("Pedigree relationships of the candidates are not kept in this run; this is a fault of the program, "
           "please report it with the scheme file.");
    std::vector<int64_t> positions;
    positions.reserve(who.size());
    for (int32_t i : who) positions.push_back(position_of(st, i));
    st.choice.relationships.among(positions, out);
    return;
  }
  const size_t words = haplotype_matrix::words_for(st.map.nmark());
  std::vector<uint64_t> mask(words, 0);
  if (st.chip.defined()) {
    for (int32_t l : st.chip.markers) mask[static_cast<size_t>(l) >> 6] |= uint64_t{1} << (l & 63);
  } else {
    for (int32_t l = 0; l < st.map.nmark(); ++l) mask[static_cast<size_t>(l) >> 6] |= uint64_t{1} << (l & 63);
  }
  std::vector<const uint64_t*> rows;
  std::vector<std::vector<uint64_t>> scratch;
  scratch.reserve(2 * who.size());
  for (int32_t i : who) candidate_rows(st, i, rows, scratch);
  std::vector<double> p = st.choice.base_frequency;
  p.resize(words * 64, 0.0);
  genomic_relationships(rows, words, mask, p, out, st.params.threads);
}

// The score of every candidate on the stage's criterion.
std::vector<double> candidate_scores(const run_state& st, const stage_block& b, std::span<const double> scores) {
  const population& pop = st.pop;
  const int32_t n = pop.candidate_count();
  const int32_t nt = st.params.ntrait;
  std::vector<double> x(static_cast<size_t>(n), 0.0);
  const selection_criterion c = b.criterion();
  for (int32_t i = 1; i <= pop.nind; ++i) {
    double v = 0.0;
    if (c == selection_criterion::true_value && pop.tbv.size() >= static_cast<size_t>(pop.nind)) v = pop.tbv_of(i, 1);
    else if (c == selection_criterion::phenotype && pop.phenotype.size() >= static_cast<size_t>(pop.nind))
      v = pop.phenotype_of(i, 1);
    else if (!scores.empty()) v = scores[static_cast<size_t>(i - 1)];
    x[static_cast<size_t>(i - 1)] = v;
  }
  // Kept animals: their own values, or EBVs of the current evaluation (GEBVs
  // from their genotypes and the last marker effects).
  const int32_t nk = pop.kept.size();
  std::vector<double> gebv;
  if (nk > 0 && c == selection_criterion::genomic_ebv) gebv = st.ebv.genomic_ebvs_of(pop.kept.markers, nk, st.params.threads);
  if (nk > 0 && c == selection_criterion::index && b.index.criterion == selection_criterion::genomic_ebv)
    gebv = st.ebv.genomic_trait_ebvs_of(pop.kept.markers, nk, st.params.threads);
  for (int32_t k = 0; k < nk; ++k) {
    const size_t at = static_cast<size_t>(k) * static_cast<size_t>(nt);
    const int64_t pos = pop.kept.position[static_cast<size_t>(k)];
    double v = 0.0;
    switch (c) {
      case selection_criterion::random: break;
      case selection_criterion::true_value: v = pop.kept.tbv[at]; break;
      case selection_criterion::phenotype: v = pop.kept.phenotype[at]; break;
      case selection_criterion::pedigree_ebv: v = st.ebv.pedigree_ebv_at(pos); break;
      case selection_criterion::genomic_ebv: v = gebv[static_cast<size_t>(k)]; break;
      case selection_criterion::index:
        for (int32_t t = 0; t < nt; ++t) {
          double a = 0.0;
          switch (b.index.criterion) {
            case selection_criterion::true_value: a = pop.kept.tbv[at + static_cast<size_t>(t)]; break;
            case selection_criterion::pedigree_ebv: a = st.ebv.trait_ebv_at(pos, t + 1); break;
            case selection_criterion::genomic_ebv:
              a = gebv[static_cast<size_t>(t) * static_cast<size_t>(nk) + static_cast<size_t>(k)];
              break;
            default:
              stop("Overlapping generations: kept candidates cannot be ranked on an index of phenotypes; "
                   "select on an index of tbv, pedigree_blup or genomic_blup, or keep discrete generations.");
          }
          v += b.index.weights[static_cast<size_t>(t)] * a;
        }
        break;
      default:
        stop("Overlapping generations: kept candidates cannot be ranked on this stage's criterion.");
    }
    x[static_cast<size_t>(pop.nind + k)] = v;
  }
  return x;
}

// Truncation (or a random choice) within each sex among every candidate:
// the scores are rounded to float and sorted by the heapsort of the
// classic selection, so equal scores are placed the same way.
void truncation_among(run_state& st, const stage_block& b, const std::vector<double>& x) {
  population& pop = st.pop;
  const int32_t n = pop.candidate_count();
  for (const bool male : {false, true}) {
    std::vector<int32_t>& list = male ? pop.sires : pop.dams;
    const int32_t want = male ? b.nsire : b.ndam;
    std::vector<int32_t> id;
    std::vector<float> score;
    for (int32_t i = 1; i <= n; ++i)
      if (pop.is_male(i) == male) {
        id.push_back(i);
        score.push_back(static_cast<float>(x[static_cast<size_t>(i - 1)]));
      }
    const int32_t have = static_cast<int32_t>(id.size());
    if (have < want || want < 3)
      stop("Selection among " + std::to_string(have) + (male ? " male" : " female") + " candidates of " +
           std::to_string(want) + (male ? " sires" : " dams") + ": select at least 3 and at most the candidates "
           "of the sex (the animals of the generation and the kept ones).");
    list.clear();
    if (b.criterion() == selection_criterion::random) {
      std::vector<char> taken(static_cast<size_t>(have), 0);
      for (int32_t k = 0; k < want; ++k) {
        int32_t j;
        do j = uniform_int(st.rng, 1, have) - 1;
        while (taken[static_cast<size_t>(j)]);
        taken[static_cast<size_t>(j)] = 1;
        list.push_back(id[static_cast<size_t>(j)]);
      }
      continue;
    }
    heapsort_by_score(have, score.data(), id.data());
    for (int32_t k = 1; k <= want; ++k) list.push_back(id[static_cast<size_t>(have - k)]);
  }
}

// Matings of the stage: `dams` of them (at least one, at most the animals).
int32_t matings_of(const stage_block& b) { return std::clamp(b.ndam, 1, b.nind); }

void optimum_contributions_among(run_state& st, const stage_block& b, const std::vector<double>& x) {
  population& pop = st.pop;
  const int32_t n = pop.candidate_count();
  std::vector<int32_t> all(static_cast<size_t>(n));
  std::vector<int8_t> male(static_cast<size_t>(n));
  for (int32_t i = 1; i <= n; ++i) {
    all[static_cast<size_t>(i - 1)] = i;
    male[static_cast<size_t>(i - 1)] = pop.is_male(i) ? 1 : 0;
  }
  std::vector<double> a;
  relationships_among(st, b.contributions.relationship, all, a);
  // C_now: the coancestry the last selection by optimum contributions
  // reached, so that the parents' coancestry grows by delta_f a generation
  // (the self-coancestry of new animals would otherwise add about 1/(4N) to
  // every step); before the first one, the mean coancestry of the current
  // generation (self-coancestries included).
  double c_now = st.choice.previous_coancestry;
  if (!st.choice.previous_made) {
    double sum = 0.0;
    for (int32_t i = 0; i < pop.nind; ++i)
      for (int32_t j = 0; j < pop.nind; ++j) sum += a[static_cast<size_t>(i) * static_cast<size_t>(n) + static_cast<size_t>(j)];
    c_now = sum / 2.0 / (static_cast<double>(pop.nind) * static_cast<double>(pop.nind));
  }
  const double limit = 1.0 - (1.0 - c_now) * (1.0 - b.contributions.delta_f);

  const int32_t m = matings_of(b);
  const int32_t family = (b.nind + m - 1) / m;
  int32_t cap = 0;  // matings of one animal
  if (b.contributions.max_offspring > 0) cap = std::max(1, b.contributions.max_offspring / family);
  int32_t cap_male = cap;
  if (b.rules.max_matings_per_sire > 0)
    cap_male = cap_male > 0 ? std::min(cap_male, b.rules.max_matings_per_sire) : b.rules.max_matings_per_sire;
  std::vector<double> upper;
  if (cap > 0 || cap_male > 0) {
    upper.resize(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) {
      const int32_t c = male[static_cast<size_t>(i)] ? cap_male : cap;
      upper[static_cast<size_t>(i)] = c > 0 ? static_cast<double>(c) / (2.0 * m) : 1.0;
    }
  }
  contribution_problem problem;
  problem.value = x;
  problem.relationship = a;
  problem.male = male;
  problem.upper = upper;
  problem.coancestry_limit = limit;
  const contribution_result r = optimum_contributions(problem);
  const std::vector<int32_t> counts = whole_matings(r.c, male, m, cap_male, cap);
  pop.sires.clear();
  pop.dams.clear();
  pop.sire_matings.clear();
  pop.dam_matings.clear();
  for (int32_t i = 1; i <= n; ++i) {
    const int32_t k = counts[static_cast<size_t>(i - 1)];
    if (k == 0) continue;
    (male[static_cast<size_t>(i - 1)] ? pop.sires : pop.dams).push_back(i);
    (male[static_cast<size_t>(i - 1)] ? pop.sire_matings : pop.dam_matings).push_back(k);
  }
  contribution_report& rep = st.choice.last;
  rep.made = true;
  rep.value = r.value;
  rep.coancestry = r.coancestry;
  rep.limit = limit;
  rep.current = c_now;
  rep.sires = static_cast<int32_t>(pop.sires.size());
  rep.dams = static_cast<int32_t>(pop.dams.size());
  rep.feasible = r.feasible;
  st.choice.previous_made = true;
  st.choice.previous_coancestry = r.coancestry;
  show("Optimum contributions: criterion c'x = " + shortest_text(r.value) + ", coancestry c'Ac/2 = " +
       shortest_text(r.coancestry) + " (limit " + shortest_text(limit) + ", from " + shortest_text(c_now) +
       "), " + std::to_string(rep.sires) + " sires and " + std::to_string(rep.dams) + " dams with matings" +
       (r.feasible ? "." : "; the limit is below the least coancestry the candidates allow, so the contributions "
                           "of least coancestry are used."));
}

// Whether the candidates at history positions s and d are relatives the
// rules keep apart.
bool forbidden(const pedigree_history& h, int64_t s, int64_t d, const mating_rules& rules, bool avoid_sibs) {
  const pedigree_record& rs = h.at(s);
  const pedigree_record& rd = h.at(d);
  const bool same_sire = rs.sire != 0 && rs.sire == rd.sire;
  const bool same_dam = rs.dam != 0 && rs.dam == rd.dam;
  if ((rules.avoid_full_sibs || avoid_sibs) && same_sire && same_dam) return true;
  if ((rules.avoid_half_sibs || avoid_sibs) && same_sire != same_dam) return true;
  if (rules.avoid_parent_offspring && (rd.sire == s || rs.dam == d)) return true;
  return false;
}

}  // namespace

void start_parent_choice(run_state& st) {
  const run_parameters& p = st.params;
  const population& pop = st.pop;
  if (p.some_stage_relates_by(relationship_source::pedigree)) {
    std::vector<int64_t> founders(static_cast<size_t>(pop.nind));
    for (int32_t i = 1; i <= pop.nind; ++i) founders[static_cast<size_t>(i - 1)] = st.history.position_in_current(i);
    st.choice.relationships.start(founders);
    st.choice.relationships_on = true;
  }
  if (p.some_stage_relates_by(relationship_source::genomic)) {
    const haplotype_matrix& m = pop.markers;
    st.choice.base_frequency.assign(static_cast<size_t>(m.loci()), 0.0);
    for (int32_t l = 0; l < m.loci(); ++l) {
      int64_t twos = 0;
      for (int32_t h = 0; h < m.haplotypes(); ++h) twos += m.allele(l, h) == 2;
      st.choice.base_frequency[static_cast<size_t>(l)] = static_cast<double>(twos) / m.haplotypes();
    }
  }
}

std::vector<parent_pair> pair_parents(run_state& st, const stage_block& b, int64_t file_generation) {
  const int64_t parents_file_generation = file_generation - 1;
  population& pop = st.pop;
  const std::vector<int32_t>& sires = pop.sires;
  const std::vector<int32_t>& dams = pop.dams;
  const size_t ns = sires.size(), nd = dams.size();
  if (ns == 0 || nd == 0) stop("Mating: no sires or no dams were selected; select at least one of each.");
  // Matings of every parent: as chosen with the parents, or each dam once
  // and the sires as evenly as possible (the first ones one more).
  std::vector<int32_t> a(pop.sire_matings), d(pop.dam_matings);
  if (a.size() != ns || d.size() != nd) {
    d.assign(nd, 1);
    a.assign(ns, static_cast<int32_t>(nd / ns));
    for (size_t i = 0; i < nd % ns; ++i) ++a[i];
  }
  int64_t m = 0;
  for (int32_t k : d) m += k;
  if (b.rules.max_matings_per_sire > 0)
    for (size_t i = 0; i < ns; ++i)
      if (a[i] > b.rules.max_matings_per_sire)
        stop("Mating: sire " + identifier_of(st, position_of(st, sires[i]), parents_file_generation) + " would have " + std::to_string(a[i]) +
             " matings, more than max_matings_per_sire = " + std::to_string(b.rules.max_matings_per_sire) +
             "; select more sires or allow more matings.");
  // Positions of the parents, for the rules and the relationships.
  std::vector<int64_t> ps(ns), pd(nd);
  for (size_t i = 0; i < ns; ++i) ps[i] = position_of(st, sires[i]);
  for (size_t j = 0; j < nd; ++j) pd[j] = position_of(st, dams[j]);
  const bool avoid_sibs = b.matetype == 1;
  const bool rules = avoid_sibs || b.rules.avoid_full_sibs || b.rules.avoid_half_sibs || b.rules.avoid_parent_offspring;
  std::vector<uint8_t> allowed;
  if (rules) {
    allowed.assign(ns * nd, 1);
    for (size_t i = 0; i < ns; ++i)
      for (size_t j = 0; j < nd; ++j)
        if (forbidden(st.history, ps[i], pd[j], b.rules, avoid_sibs)) allowed[i * nd + j] = 0;
  }
  mating_problem problem;
  problem.sire_matings = a;
  problem.dam_matings = d;
  problem.allowed = allowed;
  mating_allocation result;
  if (b.matetype == min_coancestry_mating) {
    std::vector<double> cost;
    // The first generation of stage 2 is mated before the founders of the
    // relationships are fixed: every pair then counts as unrelated.
    const relationship_source source = b.contributions.on ? b.contributions.relationship : relationship_source::pedigree;
    const bool known = source == relationship_source::genomic ? !st.choice.base_frequency.empty()
                                                              : st.choice.relationships_on;
    if (known) {
      std::vector<int32_t> who(sires);
      who.insert(who.end(), dams.begin(), dams.end());
      std::vector<double> rel;
      relationships_among(st, source, who, rel);
      const size_t n = who.size();
      cost.resize(ns * nd);
      for (size_t i = 0; i < ns; ++i)
        for (size_t j = 0; j < nd; ++j) cost[i * nd + j] = rel[i * n + ns + j] / 2.0;
    }
    problem.cost = cost;
    result = allocate_matings(problem);
  } else {
    result = allocate_matings_at_random(problem, st.rng);
  }
  if (!result.complete) {
    const int64_t who = result.unmatched_is_sire ? ps[static_cast<size_t>(result.unmatched)]
                                                 : pd[static_cast<size_t>(result.unmatched)];
    stop(std::string("Mating: ") + (result.unmatched_is_sire ? "sire " : "dam ") + identifier_of(st, who, parents_file_generation) +
         " could not be mated: every pairing left breaks the mating rules (avoid). Select more parents, or "
         "avoid fewer relatives.");
  }
  // Every mating a family; the animals shared as evenly as possible.
  std::vector<parent_pair> offspring;
  offspring.reserve(static_cast<size_t>(b.nind));
  const int64_t per = b.nind / m, extra = b.nind % m;
  for (size_t k = 0; k < result.matings.size(); ++k) {
    const auto [i, j] = result.matings[k];
    const int64_t size = per + (static_cast<int64_t>(k) < extra ? 1 : 0);
    for (int64_t o = 0; o < size; ++o)
      offspring.push_back({sires[static_cast<size_t>(i)], dams[static_cast<size_t>(j)]});
  }
  if (offspring.size() != static_cast<size_t>(b.nind))
    stop("Mating: " + std::to_string(offspring.size()) + " offspring planned for " + std::to_string(b.nind) +
         " animals; this is a fault of the program, please report it with the scheme file.");
  return offspring;
}

void append_with_kept(run_state& st, const std::vector<parent_pair>& offspring) {
  std::vector<int64_t> sires(offspring.size()), dams(offspring.size());
  for (size_t k = 0; k < offspring.size(); ++k) {
    sires[k] = position_of(st, offspring[k].sire);
    dams[k] = position_of(st, offspring[k].dam);
  }
  st.history.append_positions(sires, dams);
  join_kept_haplotypes(st);
}

void join_kept_haplotypes(run_state& st) {
  population& pop = st.pop;
  const int32_t k = pop.kept.size();
  if (k == 0) return;
  for (const auto& [mine, kept] : {std::pair{&pop.markers, &pop.kept.markers}, std::pair{&pop.candidates, &pop.kept.candidates}}) {
    haplotype_matrix joined;
    const int32_t nh = mine->haplotypes();
    if (mine->packed()) {
      joined.resize_packed(mine->loci(), nh + 2 * k, st.params.threads);
      const size_t w = mine->words();
      std::copy(mine->row(0), mine->row(0) + w * static_cast<size_t>(nh), joined.row(0));
      std::copy(kept->row(0), kept->row(0) + w * static_cast<size_t>(2 * k), joined.row(nh));
    } else {
      joined.resize(mine->loci(), nh + 2 * k, st.params.threads);
      std::copy(mine->column(0), mine->column(0) + mine->size(), joined.column(0));
      std::copy(kept->column(0), kept->column(0) + kept->size(), joined.column(nh));
    }
    mine->swap(joined);
  }
}

void renew_candidates(run_state& st, const stage_block& b, int32_t parents_nind) {
  population& pop = st.pop;
  const int32_t nt = st.params.ntrait;
  const haplotype_matrix& pm = st.buffers.markers;  // the parents' haplotypes, kept animals after the generation's
  const haplotype_matrix& pc = st.buffers.candidates;
  const int32_t now = st.history.generations() - 1;  // the new generation
  kept_animals next;
  const kept_animals& old = pop.kept;
  std::vector<int32_t> stay;
  for (const bool male : {true, false}) {
    const int32_t years = male ? b.ages.sire_generations : b.ages.dam_generations;
    for (int32_t i : male ? pop.sires : pop.dams) {
      const int32_t born = i <= parents_nind ? now - 1 : old.born[static_cast<size_t>(i - parents_nind - 1)];
      if (now - born < years) stay.push_back(i);
    }
  }
  std::sort(stay.begin(), stay.end());
  const int32_t k = static_cast<int32_t>(stay.size());
  if (k > 0) {
    if (pm.packed()) {
      next.markers.resize_packed(pm.loci(), 2 * k);
      next.candidates.resize_packed(pc.loci(), 2 * k);
    } else {
      next.markers.resize(pm.loci(), 2 * k);
      next.candidates.resize(pc.loci(), 2 * k);
    }
  }
  for (int32_t s = 0; s < k; ++s) {
    const int32_t i = stay[static_cast<size_t>(s)];
    const bool current = i <= parents_nind;
    const size_t o = static_cast<size_t>(i - parents_nind - 1);
    next.position.push_back(current ? st.history.first_of(now - 1) + i - 1 : old.position[o]);
    next.born.push_back(current ? now - 1 : old.born[o]);
    next.male.push_back(current ? static_cast<int8_t>(sex_of(i) == sex::male) : old.male[o]);
    for (int32_t t = 1; t <= nt; ++t) {
      const size_t at = static_cast<size_t>(t - 1) * static_cast<size_t>(parents_nind) + static_cast<size_t>(i - 1);
      const bool values = pop.tbv.size() >= static_cast<size_t>(parents_nind) * static_cast<size_t>(nt);
      next.tbv.push_back(current ? (values ? pop.tbv[at] : 0.0) : old.tbv[o * static_cast<size_t>(nt) + static_cast<size_t>(t - 1)]);
      next.phenotype.push_back(current ? (values ? pop.phenotype[at] : 0.0)
                                       : old.phenotype[o * static_cast<size_t>(nt) + static_cast<size_t>(t - 1)]);
    }
    // Parent number i owns haplotypes 2i - 2 and 2i - 1 of the parents' matrices.
    for (int32_t h = 0; h < 2; ++h) {
      const int32_t from = 2 * (i - 1) + h, to = 2 * s + h;
      for (const auto& [src, dst] : {std::pair{&pm, &next.markers}, std::pair{&pc, &next.candidates}}) {
        if (src->packed())
          std::copy(src->row(from), src->row(from) + src->words(), dst->row(to));
        else
          std::copy(src->column(from), src->column(from) + src->loci(), dst->column(to));
      }
    }
  }
  pop.kept = std::move(next);
  if (st.choice.relationships_on) {
    std::vector<int64_t> born(static_cast<size_t>(pop.nind));
    for (int32_t i = 1; i <= pop.nind; ++i) born[static_cast<size_t>(i - 1)] = st.history.position_in_current(i);
    st.choice.relationships.advance(st.history, pop.kept.position, born);
  }
}

void select_candidates(run_state& st, const stage_block& b, std::span<const double> scores) {
  population& pop = st.pop;
  pop.sire_matings.clear();
  pop.dam_matings.clear();
  st.choice.last.made = false;
  if (!b.contributions.on) st.choice.previous_made = false;
  const std::vector<double> x = candidate_scores(st, b, scores);
  if (b.contributions.on) {
    optimum_contributions_among(st, b, x);
    return;
  }
  truncation_among(st, b, x);
}

}  // namespace qm
