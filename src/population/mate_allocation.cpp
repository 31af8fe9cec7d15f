#include "population/mate_allocation.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "base/messages.hpp"

namespace qm {

namespace {

constexpr double unreachable = std::numeric_limits<double>::infinity();

std::string place(int64_t k, size_t n) { return std::to_string(k + 1) + " of " + std::to_string(n); }

// Stops on a problem that is not well formed; what to change is in the text.
void check_problem(const mating_problem& p) {
  const size_t ns = p.sire_matings.size(), nd = p.dam_matings.size();
  int64_t total_sire = 0, total_dam = 0;
  for (size_t i = 0; i < ns; ++i) {
    if (p.sire_matings[i] < 0)
      stop("Mate allocation: sire " + place(static_cast<int64_t>(i), ns) + " has " +
           std::to_string(p.sire_matings[i]) + " matings; give every sire 0 or more.");
    total_sire += p.sire_matings[i];
  }
  for (size_t j = 0; j < nd; ++j) {
    if (p.dam_matings[j] < 0)
      stop("Mate allocation: dam " + place(static_cast<int64_t>(j), nd) + " has " +
           std::to_string(p.dam_matings[j]) + " matings; give every dam 0 or more.");
    total_dam += p.dam_matings[j];
  }
  if (total_sire != total_dam)
    stop("Mate allocation: the sires have " + std::to_string(total_sire) + " matings and the dams " +
         std::to_string(total_dam) + "; make the two sums equal.");
  const size_t pairs = ns * nd;
  if (!p.cost.empty() && p.cost.size() != pairs)
    stop("Mate allocation: the cost table has " + std::to_string(p.cost.size()) + " entries; give one per pair (" +
         std::to_string(pairs) + ", sires times dams) or none.");
  if (!p.allowed.empty() && p.allowed.size() != pairs)
    stop("Mate allocation: the table of allowed pairs has " + std::to_string(p.allowed.size()) +
         " entries; give one per pair (" + std::to_string(pairs) + ", sires times dams) or none.");
  if (!p.cost.empty()) {
    for (size_t k = 0; k < pairs; ++k) {
      if ((p.allowed.empty() || p.allowed[k] != 0) && !std::isfinite(p.cost[k]))
        stop("Mate allocation: the cost of sire " + place(static_cast<int64_t>(k / nd), ns) + " with dam " +
             place(static_cast<int64_t>(k % nd), nd) + " is not a finite number; give a finite cost or forbid the pair.");
    }
  }
}

// The minimum-cost allocation for the costs c (empty: all 0); the total is
// taken over p.cost.
mating_allocation solve(const mating_problem& p, std::span<const double> c) {
  const int32_t ns = static_cast<int32_t>(p.sire_matings.size());
  const int32_t nd = static_cast<int32_t>(p.dam_matings.size());
  const size_t snd = static_cast<size_t>(nd);
  const bool every_pair = p.allowed.empty();
  const uint8_t* allowed = p.allowed.data();
  const double* cost = c.data();
  const bool zero_cost = c.empty();
  auto is_allowed = [&](int32_t i, int32_t j) { return every_pair || allowed[static_cast<size_t>(i) * snd + j] != 0; };
  auto pair_cost = [&](int32_t i, int32_t j) { return zero_cost ? 0.0 : cost[static_cast<size_t>(i) * snd + j]; };

  mating_allocation out;
  auto fail = [&](bool sire, int32_t k) {
    out.complete = false;
    out.unmatched_is_sire = sire;
    out.unmatched = k;
    return out;
  };

  // A parent whose allowed partners have fewer matings in all than it needs.
  if (!every_pair) {
    for (int32_t i = 0; i < ns; ++i) {
      if (p.sire_matings[i] == 0) continue;
      int64_t room = 0;
      for (int32_t j = 0; j < nd; ++j)
        if (is_allowed(i, j)) room += p.dam_matings[j];
      if (room < p.sire_matings[i]) return fail(true, i);
    }
    std::vector<int64_t> room(snd, 0);
    for (int32_t i = 0; i < ns; ++i)
      for (int32_t j = 0; j < nd; ++j)
        if (is_allowed(i, j)) room[j] += p.sire_matings[i];
    for (int32_t j = 0; j < nd; ++j)
      if (room[j] < p.dam_matings[j]) return fail(false, j);
  }

  // Potentials: u of the sires, v of the dams, with f_ij - u_i - v_j >= 0 on
  // every allowed pair and = 0 on every pair with matings.
  std::vector<double> u(static_cast<size_t>(ns), 0.0), v(snd, 0.0);
  for (int32_t j = 0; j < nd; ++j) {
    double m = unreachable;
    for (int32_t i = 0; i < ns; ++i)
      if (is_allowed(i, j)) m = std::min(m, pair_cost(i, j));
    v[j] = m == unreachable ? 0.0 : m;
  }
  for (int32_t i = 0; i < ns; ++i) {
    double m = unreachable;
    for (int32_t j = 0; j < nd; ++j)
      if (is_allowed(i, j)) m = std::min(m, pair_cost(i, j) - v[j]);
    u[i] = m == unreachable ? 0.0 : m;
  }

  // Matings so far: by dam, then sire (a dam's sires are one run of memory).
  std::vector<int32_t> x(static_cast<size_t>(ns) * snd, 0);
  std::vector<int32_t> load(snd, 0);  // matings of each dam so far
  // One search (Dijkstra over the reduced costs): the distance of each dam
  // (final once reached), the distance of each sire reached, the sire each
  // dam is reached from, the dam through which each sire was reached (-1:
  // the sire the path starts at).
  std::vector<double> dist(snd), sire_dist(static_cast<size_t>(ns), 0.0);
  std::vector<int32_t> via_sire(snd), via_dam(static_cast<size_t>(ns), -1);
  std::vector<uint8_t> dam_reached(snd, 0), sire_reached(static_cast<size_t>(ns), 0);
  std::vector<int32_t> sires_reached, dams_reached;
  sires_reached.reserve(static_cast<size_t>(ns));
  dams_reached.reserve(snd);
  // A dam without matings is never on a path.
  for (int32_t j = 0; j < nd; ++j)
    if (p.dam_matings[j] == 0) dam_reached[j] = 1;
  // Dams waiting to be reached, nearest first; among equals one with a free
  // mating (it ends the search), then the lowest index. An entry whose
  // distance has since fallen is passed over.
  struct waiting {
    double d;
    uint8_t full;
    int32_t dam;
    bool operator>(const waiting& o) const {
      if (d != o.d) return d > o.d;
      if (full != o.full) return full > o.full;
      return dam > o.dam;
    }
  };
  std::vector<waiting> queue;
  queue.reserve(snd);
  const auto later = std::greater<waiting>();

  auto scan = [&](int32_t k) {
    const double base = sire_dist[k] - u[k];
    const size_t row = static_cast<size_t>(k) * snd;
    for (int32_t j = 0; j < nd; ++j) {
      if (dam_reached[j] || (!every_pair && allowed[row + j] == 0)) continue;
      const double r = base + ((zero_cost ? 0.0 : cost[row + j]) - v[j]);
      if (r < dist[j]) {
        dist[j] = r;
        via_sire[j] = k;
        queue.push_back({r, static_cast<uint8_t>(load[j] < p.dam_matings[j] ? 0 : 1), j});
        std::push_heap(queue.begin(), queue.end(), later);
      }
    }
  };
  auto reach_sire = [&](int32_t k, int32_t through, double d) {
    sire_reached[k] = 1;
    via_dam[k] = through;
    sire_dist[k] = d;
    sires_reached.push_back(k);
    scan(k);
  };

  for (int32_t root = 0; root < ns; ++root) {
    int32_t left = p.sire_matings[root];
    while (left > 0) {
      std::fill(dist.begin(), dist.end(), unreachable);
      queue.clear();
      reach_sire(root, -1, 0.0);
      int32_t end = -1;
      while (!queue.empty()) {
        std::pop_heap(queue.begin(), queue.end(), later);
        const waiting w = queue.back();
        queue.pop_back();
        if (dam_reached[w.dam] || w.d != dist[w.dam]) continue;
        dam_reached[w.dam] = 1;
        dams_reached.push_back(w.dam);
        if (w.full == 0) {
          end = w.dam;
          break;
        }
        // A dam without a free mating leads on to its sires (at no cost:
        // the pairs with matings are tight).
        const int32_t* column = x.data() + static_cast<size_t>(w.dam) * ns;
        for (int32_t k = 0; k < ns; ++k)
          if (column[k] > 0 && !sire_reached[k]) reach_sire(k, w.dam, w.d);
      }
      // New potentials: everything reached moves by its distance short of
      // the path's end, so that the reduced costs stay >= 0 and the pairs
      // of the path become tight.
      if (end >= 0) {
        const double d_end = dist[end];
        for (int32_t k : sires_reached) u[k] += d_end - sire_dist[k];
        for (int32_t j : dams_reached) v[j] -= d_end - dist[j];
      }
      for (int32_t k : sires_reached) sire_reached[k] = 0;
      for (int32_t j : dams_reached) dam_reached[j] = 0;
      sires_reached.clear();
      dams_reached.clear();
      // Sires 0..root cannot all have their matings: the sires reached ask
      // for more than the dams reached have.
      if (end < 0) return fail(true, root);

      // As many matings as the path carries: the sire's left, the dam's
      // free, the matings of each pair the path takes back.
      int32_t amount = std::min(left, p.dam_matings[end] - load[end]);
      for (int32_t j = end, k = via_sire[j]; k != root; j = via_dam[k], k = via_sire[j])
        amount = std::min(amount, x[static_cast<size_t>(via_dam[k]) * ns + k]);
      load[end] += amount;
      for (int32_t j = end, k = via_sire[j];; j = via_dam[k], k = via_sire[j]) {
        x[static_cast<size_t>(j) * ns + k] += amount;
        if (k == root) break;
        x[static_cast<size_t>(via_dam[k]) * ns + k] -= amount;
      }
      left -= amount;
    }
  }

  int64_t total = 0;
  for (int32_t j = 0; j < nd; ++j) total += p.dam_matings[j];
  out.matings.reserve(static_cast<size_t>(total));
  for (int32_t i = 0; i < ns; ++i)
    for (int32_t j = 0; j < nd; ++j)
      for (int32_t n = x[static_cast<size_t>(j) * ns + i]; n > 0; --n) {
        out.matings.emplace_back(i, j);
        if (!p.cost.empty()) out.total_cost += p.cost[static_cast<size_t>(i) * snd + j];
      }
  return out;
}

}  // namespace

mating_allocation allocate_matings(const mating_problem& p) {
  check_problem(p);
  return solve(p, p.cost);
}

mating_allocation allocate_matings_at_random(const mating_problem& p, random_stream& rng) {
  check_problem(p);
  std::vector<double> drawn(p.sire_matings.size() * p.dam_matings.size());
  for (double& f : drawn) f = next_uniform(rng);
  return solve(p, drawn);
}

}  // namespace qm
