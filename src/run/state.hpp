// The population state: every parameter, derived count, array and run
// counter of a run. The driver owns one; every step receives it by reference
// and changes it in place. Arrays are 1-based and column-major; individual i
// owns haplotype columns 2i - 1 (from its sire) and 2i (from its dam).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "random/stream.hpp"
#include "run/arrays.hpp"

namespace qm {

// The values of one stage block of the parameter file.
struct stageblock {
  bool ok = false;  // false when the block could not be read ahead
  int32_t nsire = 0, ndam = 0, nind = 0, ngen = 0;
  int32_t nomut = 0, matetype = 0, seltype = 0;
};

struct popstate {
  // Parameter file.
  std::string parafile;
  int32_t ntrait = 0, thresh = 0, uncommon_QTL = 0;
  float incid = 0.0f;
  arr1<float> rgen, rerr, h2;
  int32_t nmpc = 0, nchr = 0, maptype = 0;
  float chrlen = 0.0f;
  double mutm = 0.0, mutq = 0.0;
  int32_t qtlrule = 0, nqtl = 0;
  float qtlp1 = 0.0f, qtlp2 = 0.0f;
  int32_t nstage = 0, spare = 0, seed = 0;
  // Parameters of the current stage.
  int32_t nsire = 0, ndam = 0, nind = 0, ngen = 0, nomut = 0, matetype = 0, seltype = 0;

  // Derived counts and run counters.
  int32_t nmark = 0, nqloc = 0, nhap = 0;
  int32_t tqtl = 0, ncommon = 0, nspec1 = 0, nspec2 = 0;
  float pcommon = 0.0f, pspecific = 0.0f, rq = 0.0f;
  int32_t igen = 0, gensum = 0;
  float thrval = 0.0f;

  // Genomes and pedigree of the current generation, and the offspring buffers.
  arr2<int8_t> mtype, qtype, mtypenew, qtypenew;
  arr2<int16_t> malle, qalle;  // (l,1) next allele number, (l,2) highest in use
  arr2<double> recf;           // (1,k) left and (2,k) right of candidate locus k
  arr2<int32_t> ped, pednew;   // (1,i) i, (2,i) sire, (3,i) dam
  arr1<int32_t> sireid, damid;
  arr3<double> bv;             // (i,1,t) true breeding value, (i,2,t) phenotype

  // Allele numbers carried at each locus of the current generation, as sets
  // of two 64-bit words per locus (markers, candidate loci). The allele
  // bookkeeping keeps them for the mutants of the next generation; they hold
  // only while carried_ok is true.
  std::vector<uint64_t> mcarried, qcarried;
  bool carried_ok = false;

  // QTL architecture, fixed in stage 2.
  arr1<int32_t> qtlid;
  arr2<double> qeff;
  arr2<float> rescov;

  // The random stream.
  random_stream rng;

  // Stage blocks 1..nstage as read ahead by readpara (index 0 unused).
  std::vector<stageblock> stages;
  // Identifier multiplier of the result files: g * idmult + i.
  int64_t idmult = 10000;
  // Threads the engine may use.
  int threads = 1;
};

// Derived counts and the arrays of a run, sized by the parameters and the
// current stage; allele bookkeeping set to 2 everywhere.
void alloc_state(popstate& p);
// Release every array of the state.
void release_state(popstate& p);

}  // namespace qm
