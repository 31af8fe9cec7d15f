// Threshold traits: trait 1 observed as 0/1 against a threshold fixed once,
// in stage 2, so that a fraction incid of the phenotypes falls below it.
#pragma once
#include "config/parameters.hpp"
#include "population/population.hpp"
#include "qtl/architecture.hpp"

namespace qm {

// Cody's rational approximation of the complementary error function, in
// single precision.
float erfc_cody(float x);
// Inverse complementary error function (rational start, one Halley step).
float erfcinv(float y);

// Fixes the threshold around the mean breeding value of trait 1, prints it,
// and classifies the current generation.
void fix_threshold(const run_parameters& p, trait_architecture& a, population& pop);
// Phenotype of trait 1: 0 below the threshold, 1 otherwise (also when not a number).
void classify_threshold_trait(const trait_architecture& a, population& pop);

}  // namespace qm
