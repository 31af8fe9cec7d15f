#include "run/lines.hpp"

#include <algorithm>

#include "population/mating.hpp"
#include "values/selection.hpp"

namespace qm {

namespace {

// The selected sires (or dams) of line `line` in pop, or every selected one
// when pop has no such line.
std::span<const int32_t> parents_of_line(const population& pop, int32_t line, bool sires) {
  const std::vector<int32_t>& all = sires ? pop.sires : pop.dams;
  for (const line_in_generation& l : pop.lines)
    if (l.line == line)
      return std::span<const int32_t>(all).subspan(static_cast<size_t>(sires ? l.first_sire : l.first_dam),
                                                   static_cast<size_t>(sires ? l.sires : l.dams));
  return all;
}

}  // namespace

std::vector<parent_pair> mate_lines(const run_parameters& p, const stage_block& b, const population& pop,
                                    random_stream& rng, std::vector<line_in_generation>& layout) {
  std::vector<parent_pair> offspring(static_cast<size_t>(b.nind));
  layout.clear();
  int32_t first = 1;
  for (int32_t k : b.lines) {
    const line_setting& l = p.lines[static_cast<size_t>(k)];
    const std::span<const int32_t> sires = parents_of_line(pop, l.cross() ? l.sire_line : k, true);
    const std::span<const int32_t> dams = parents_of_line(pop, l.cross() ? l.dam_line : k, false);
    mate_parents(sires, dams, pop.parents, b.matetype, l.nind, rng,
                 std::span<parent_pair>(offspring).subspan(static_cast<size_t>(first - 1), static_cast<size_t>(l.nind)));
    line_in_generation g;
    g.line = k;
    g.first = first;
    g.animals = l.nind;
    layout.push_back(g);
    first += l.nind;
  }
  return offspring;
}

void select_lines(const run_parameters& p, const stage_block& b, population& pop, random_stream& rng,
                  std::span<const double> scores) {
  std::vector<int32_t> sires, dams;
  population line;
  for (line_in_generation& g : pop.lines) {
    const line_setting& l = p.lines[static_cast<size_t>(g.line)];
    g.first_sire = static_cast<int32_t>(sires.size());
    g.first_dam = static_cast<int32_t>(dams.size());
    g.sires = g.dams = 0;
    if (l.nsire == 0 && l.ndam == 0) continue;  // crossbreds that are not bred from
    const selection_criterion c = l.selection != selection_criterion::unknown ? l.selection : b.criterion();
    // The line as a generation of its own: its animals numbered from 1 (the
    // block starts at an odd number, so the sexes stay), trait 1's values.
    const size_t from = static_cast<size_t>(g.first - 1), n = static_cast<size_t>(g.animals);
    line.nind = g.animals;
    const auto slice = [&](const std::vector<double>& v, std::vector<double>& out) {
      if (v.size() >= from + n)
        out.assign(v.begin() + static_cast<std::ptrdiff_t>(from), v.begin() + static_cast<std::ptrdiff_t>(from + n));
      else
        out.clear();
    };
    slice(pop.tbv, line.tbv);
    slice(pop.phenotype, line.phenotype);
    const std::span<const double> line_scores =
        scores.size() >= from + n ? scores.subspan(from, n) : std::span<const double>();
    select_parents(line, c, l.nsire, l.ndam, rng, line_scores);
    for (int32_t a : line.sires) sires.push_back(a + g.first - 1);
    for (int32_t a : line.dams) dams.push_back(a + g.first - 1);
    g.sires = static_cast<int32_t>(line.sires.size());
    g.dams = static_cast<int32_t>(line.dams.size());
  }
  pop.sires = std::move(sires);
  pop.dams = std::move(dams);
}

}  // namespace qm
