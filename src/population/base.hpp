// The base generation and the genetic map.
//
// Markers 1..nmark and candidate-QTL loci 1..nqloc are numbered chromosome by
// chromosome; candidate locus j of chromosome c lies between markers j and
// j + 1 of that chromosome. recf(1,k) and recf(2,k) are the recombination
// fractions between candidate locus k and its left and right marker.
#pragma once
#include "run/state.hpp"

namespace qm {

// Every allele 1, every base individual its own sire and dam, the first
// parent lists, and the map: even spacing (maptype 0), random gaps written
// to "mposition.out" (maptype 1), or no recombination (any other value).
void make_base_population(popstate& p);

// Haldane's map function: recombination fraction of a distance in Morgan.
double haldane(double x);

}  // namespace qm
