// Threshold traits: trait 1 observed as 0/1 against a threshold fixed once,
// in stage 2, so that a fraction incid of the phenotypes falls below it.
#pragma once
#include "run/state.hpp"

namespace qm {

// Cody's rational approximation of the complementary error function, in
// single precision.
float erfc_cody(float x);
// Inverse complementary error function (rational start, one Halley step).
float erfcinv(float y);

// Fixes thrval around the mean breeding value of trait 1, prints it, and
// classifies the current generation.
void fix_threshold(popstate& p);
// Phenotype of trait 1: 0 below thrval, 1 otherwise (also when not a number).
void classify_threshold_trait(popstate& p);

}  // namespace qm
