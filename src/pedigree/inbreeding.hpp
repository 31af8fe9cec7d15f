// Inbreeding coefficients of a pedigree by the method of Meuwissen and Luo
// (1992).
//
// Animals are numbered 1..n so that parents come before their offspring;
// sire[k] and dam[k] are the parents of animal k + 1 (0 = unknown), and
// f[k] is the inbreeding coefficient of animal k + 1.
//
// For every animal i the row of L (A = L D L') is traced back through its
// ancestors, largest number first (a bit set of pending ancestors scanned
// downwards: parents have smaller numbers than their offspring), and
//   F_i = sum over j of L_ij^2 D_j - 1,  D_j = 1/2 - (F_sire + F_dam)/4,
// with F = -1 standing for an unknown parent (D = 1 for a base animal,
// 3/4 - F_parent/4 with one known parent). An animal with an unknown parent
// has F = 0; an animal with the same parents as the animal just before it
// takes its F. Each value is computed by the same steps in the same order
// whether animals come all at once or in appended batches, so the two forms
// give identical bits.
//
// Cost: for each new animal, A operations where A is the number of its
// distinct ancestors (full sibs numbered one after the other are computed
// once) plus a scan of n / 64 words of the bit set at most, plus O(n) to set
// up two work arrays of the whole pedigree. Appending
// a generation therefore costs nothing for the old animals themselves; only
// the depth of the new animals' pedigrees matters. In a closed population A
// grows with the generations until it reaches the number of animals that
// left offspring, so the cost of one more generation grows with the depth of
// the pedigree, not with the number of animals already computed.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

namespace qm {

// F of animals 1..n.
std::vector<double> inbreeding(std::span<const int32_t> sire, std::span<const int32_t> dam);

// f holds F of animals 1..m (m = f.size() <= n = sire.size()); appends F of
// animals m+1..n. The old values are neither read beyond the ancestors of
// the new animals nor changed.
void inbreeding_append(std::span<const int32_t> sire, std::span<const int32_t> dam, std::vector<double>& f);

// Stops the run with a message when the pedigree cannot be used: sizes of
// sire and dam differ, or a parent number is negative or not smaller than
// its offspring's.
void check_pedigree(std::span<const int32_t> sire, std::span<const int32_t> dam);

}  // namespace qm
