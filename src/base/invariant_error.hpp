// The error of a check of the run's data (the verify functions beside the
// haplotype matrices, the population and the pedigree history): what() says
// which part is wrong and how, with its numbers ("haplotype 17 of the marker
// matrix has bits set past its last locus, 999"), so that a caller can show
// it to the user, stop the run with it, or reject a file that holds such data.
#pragma once
#include <stdexcept>
#include <string>

namespace qm {

struct invariant_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace qm
