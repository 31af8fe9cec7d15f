// The population's parts in a history file (docs/history_format.md):
// section POP (everything but the haplotypes: size, parents, selected
// parents, values, allele registries) and sections HAPM and HAPQ (one
// haplotype matrix each, at one bit per locus, so that its words start
// 8-byte aligned in the file and pass to a packed matrix word for word).
//
// Apart from population.hpp, which nearly every module includes and whose
// types stay free of file concerns; only the history file and the tests
// include this.
//
// Every decoder checks each count against the bytes left before it
// allocates, and the values against each other and against the sizes the
// caller gives (the map's loci, the population's haplotypes); what does not
// fit is a decode_error.
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/byte_codec.hpp"
#include "population/population.hpp"

namespace qm {

// next and top of every locus (arrays of i16), then whether the carried
// sets are valid (u8). The decoder takes nloci of each array and refuses
// valid carried sets: after stage 1 they are not kept.
void encode_allele_registry(byte_writer& w, const allele_registry& a);
allele_registry decode_allele_registry(byte_reader& r, size_t nloci);

// nind, the parents of every animal, the selected sires and dams, the true
// breeding values and phenotypes, the marker and candidate-locus registries;
// the haplotype matrices are left out (decoded empty).
void encode_population(byte_writer& w, const population& pop);
population decode_population(byte_reader& r, size_t marker_loci, size_t candidate_loci);

// Loci (i32), haplotypes (i32), words per haplotype (u64), then the rows.
// A matrix in the bytes layout is packed row by row as it is written; a
// locus with an allele other than 1 or 2 is an encode_error naming it as
// locus_kind ("marker"), its number and its haplotype's. The decoder gives
// a packed matrix of the loci and haplotypes the caller expects, its words
// as the file has them: verify (population.hpp) tells whether the bits past
// the last locus are clear.
void encode_haplotype_matrix(byte_writer& w, const haplotype_matrix& m, const char* locus_kind);
haplotype_matrix decode_haplotype_matrix(byte_reader& r, int32_t loci, int32_t haplotypes);

}  // namespace qm
