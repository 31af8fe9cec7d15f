// The classic result files as observers of the generation loop:
// "mposition.out" when the map has random gaps; "Genetic_paramenters.out",
// "QMAP.out" and "MMAP.out" once the QTL are chosen; "ggMTYPE.out",
// "ggQTYPE.out" and "ggBV.out" for every generation that writes files.
#pragma once
#include "base/output_folder.hpp"
#include "population/genome_map.hpp"
#include "run/observer.hpp"

namespace qm {

void register_classic_files(observer_list& observers, const output_folder& folder);

// "mposition.out": marker number, position and gap before it in base pairs.
void write_marker_positions(const output_folder& folder, const genome_map& map);

}  // namespace qm
