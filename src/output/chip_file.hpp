// "CHIP.out": the SNP chip of a run that defines one ([chip]), written once
// the chip is chosen in the first generation of stage 2. A header line
// "marker number chromosome position maf", then one line per chip marker in
// map order: its name and number as MMAP.out gives them (chr1-0001, the
// number counted over every chromosome), its chromosome, its position in
// base pairs from the first marker of the chromosome (as mposition.out
// gives it; the PLINK and VCF files add 1), and its minor-allele frequency
// in that generation with six decimals. Fields are separated by one blank.
#pragma once
#include <memory>
#include <string>

#include "base/output_folder.hpp"
#include "population/genome_map.hpp"
#include "population/snp_chip.hpp"
#include "run/observer.hpp"

namespace qm {

inline constexpr const char* chip_file_name = "CHIP.out";

std::unique_ptr<generation_observer> make_chip_file(const output_folder& folder);

// The text of CHIP.out for a chip of map (every line with its newline).
std::string chip_file_text(const genome_map& map, const snp_chip& chip);

}  // namespace qm
