// Lines: parts of the population that are mated and selected apart in the
// stages that name them. Every generation of such a stage is made of one
// block of animals per line, in the order of the stage's lines; a line mated
// within itself takes the sires and dams its own block selected in the
// generation before, a cross line the sires of its sire line and the dams
// of its dam line. A line the generation before did not have (the first
// generation with lines, or a line that joins later) takes the whole lists
// of selected sires or dams instead: the lines start as samples of one
// population.
#pragma once
#include <span>
#include <vector>

#include "config/parameters.hpp"
#include "population/population.hpp"
#include "random/stream.hpp"

namespace qm {

// The parents of the next generation of stage block b, line by line, from
// the selected parents of pop (the current generation); layout receives the
// next generation's blocks (their selected parents still empty).
std::vector<parent_pair> mate_lines(const run_parameters& p, const stage_block& b, const population& pop,
                                    random_stream& rng, std::vector<line_in_generation>& layout);

// The selection of pop's lines: within each block, on the line's own
// criterion or the stage's (scores: the stage's EBVs or index of every
// animal, when it ranks on them). pop.sires and pop.dams become the lines'
// selected parents one line after the other, and each line's entry of
// pop.lines records its part of them.
void select_lines(const run_parameters& p, const stage_block& b, population& pop, random_stream& rng,
                  std::span<const double> scores);

}  // namespace qm
